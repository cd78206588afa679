// Speed of the frame chain's scalers (source megapixels per second, per filter) and of the
// palette work on a 640 x 480 24-bit frame: counting colours, reducing them to 256 entries with
// the system colours kept, placing them, and mapping the frame onto the palette (with the PSNR
// of the mapped frame). The frame is a synthetic photo-like picture, or a binary PPM given.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kroutil/input/frame_process.h"
#include "kroutil/input/palette.h"

namespace {

using Clock = std::chrono::steady_clock;
double ms(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

void usage(int code) {
    std::fprintf(code ? stderr : stdout,
                 "usage: bench_frame_process [--frames N] [--ppm FILE] [--palette-only]\n"
                 "  Scales a 1920x1080 24-bit picture to 960x540 and a 640x480 one to 1280x960 with\n"
                 "  each filter, N times each (default 10), printing ms per frame and source Mpixel/s;\n"
                 "  then reduces a 640x480 24-bit frame (FILE, a binary PPM, cropped or tiled to\n"
                 "  640x480, or a synthetic photo) to 256 colours and maps it, printing ms per frame\n"
                 "  for each phase and the PSNR of the mapped frame.\n");
    std::exit(code);
}

// Smooth colour fields with fine texture, roughly what a photograph gives the histogram.
std::vector<uint8_t> photo(int w, int h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-6, 6);
    std::vector<uint8_t> px(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double fx = double(x) / w, fy = double(y) / h;
            double r = 128 + 110 * std::sin(6.0 * fx + 2.0 * fy);
            double g = 128 + 100 * std::sin(4.0 * fy - 3.0 * fx + 1.0);
            double b = 128 + 90 * std::cos(5.0 * fx * fy + 9.0 * fy);
            uint8_t* p = &px[(size_t(y) * w + x) * 3];
            auto clamp = [](double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
            p[0] = clamp(b + noise(rng));
            p[1] = clamp(g + noise(rng));
            p[2] = clamp(r + noise(rng));
        }
    return px;
}

bool readPpm(const char* name, int w, int h, std::vector<uint8_t>& out) {
    FILE* f = std::fopen(name, "rb");
    if (!f) return false;
    int pw = 0, ph = 0, maxv = 0;
    bool ok = std::fscanf(f, "P6 %d %d %d", &pw, &ph, &maxv) == 3 && maxv == 255 && pw > 0 && ph > 0 &&
              pw <= 20000 && ph <= 20000;
    std::vector<uint8_t> rgb;
    if (ok) {
        std::fgetc(f);
        rgb.resize(size_t(pw) * ph * 3);
        ok = std::fread(rgb.data(), 1, rgb.size(), f) == rgb.size();
    }
    std::fclose(f);
    if (!ok) return false;
    out.resize(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* s = &rgb[(size_t(y % ph) * pw + x % pw) * 3];
            uint8_t* d = &out[(size_t(y) * w + x) * 3];
            d[0] = s[2], d[1] = s[1], d[2] = s[0];
        }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 10;
    const char* ppm = nullptr;
    bool scaling = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") usage(0);
        else if (a == "--frames" && i + 1 < argc) {
            frames = std::atoi(argv[++i]);
            if (frames < 1 || frames > 100000) usage(2);
        } else if (a == "--ppm" && i + 1 < argc) ppm = argv[++i];
        else if (a == "--palette-only") scaling = false;
        else usage(2);
    }

    if (scaling) std::printf("scaling (24-bit source, %d frames each)\n", frames);
    struct Size { int sw, sh, dw, dh; } sizes[] = {{1920, 1080, 960, 540}, {640, 480, 1280, 960}};
    for (const Size& s : sizes) {
        if (!scaling) break;
        std::vector<uint8_t> src = photo(s.sw, s.sh, 1);
        const kro::FrameView v{src.data(), s.sw, s.sh, 24, ptrdiff_t(s.sw) * 3, nullptr};
        struct Filter { const char* name; uint32_t flags; } filters[] = {
            {"cubic", 0}, {"triangle", kro::kFlagTriangle}, {"box", kro::kFlagBox}};
        for (const Filter& f : filters) {
            kro::FrameProcessor p;
            p.configure(f.flags, s.dw, s.dh);
            p.process(v, {});  // builds the scalers and the work pictures
            auto t = Clock::now();
            for (int k = 0; k < frames; ++k) p.process(v, {});
            double each = ms(t) / frames;
            std::printf("  %4dx%-4d -> %4dx%-4d %-8s %8.2f ms/frame %8.1f Mpixel/s\n", s.sw, s.sh, s.dw, s.dh, f.name,
                        each, double(s.sw) * s.sh / each / 1000.0);
        }
    }

    const int w = 640, h = 480;
    std::vector<uint8_t> frame;
    if (ppm && !readPpm(ppm, w, h, frame)) {
        std::fprintf(stderr, "cannot read %s as a binary PPM\n", ppm);
        return 1;
    }
    if (!ppm) frame = photo(w, h, 2);
    const kro::FrameView v{frame.data(), w, h, 24, ptrdiff_t(w) * 3, nullptr};
    double tCount = 0, tReduce = 0, tMap = 0, psnr = 0;
    int boxes = 0;
    size_t distinct = 0;
    std::vector<uint8_t> mapped(size_t(w) * h);
    // Kept from frame to frame, as a record keeps them.
    kro::Histogram hist;
    kro::ColourMapper mapper;
    for (int k = 0; k < frames; ++k) {
        uint8_t palette[768] = {};
        auto t = Clock::now();
        hist.clear();
        hist.addView(v, 0, 0, w, h);
        tCount += ms(t);
        distinct = 0;
        for (uint32_t c = 0; c < kro::kColourCodes; ++c) distinct += hist.count(c) != 0;
        kro::ReservedEntries res = kro::reservedEntries(0, 256, 0);
        kro::writeSystemColours(palette);
        uint64_t weights[256];
        kro::usageWeights(nullptr, 0, 0, 0, uint64_t(w) * h, weights);
        t = Clock::now();
        boxes = kro::reducePalette(hist, palette, res.start, res.count, res.low, res.high, weights, {}).boxes;
        tReduce += ms(t);
        t = Clock::now();
        mapper.setPalette(palette, 0, 256);
        mapper.clear();  // cold: every colour searched afresh
        mapper.mapView(v, 0, 0, w, h, mapped.data(), w);
        tMap += ms(t);
        double se = 0;
        for (size_t i = 0; i < mapped.size(); ++i)
            for (int c = 0; c < 3; ++c) {
                double d = double(frame[3 * i + c]) - palette[3 * mapped[i] + (2 - c)];
                se += d * d;
            }
        psnr = 10 * std::log10(255.0 * 255.0 / (se / (3.0 * mapped.size())));
    }
    std::printf("palette of a %dx%d 24-bit frame (%s, %zu distinct 6-bit colours, %d boxes)\n", w, h,
                ppm ? ppm : "synthetic photo", distinct, boxes);
    std::printf("  count %.2f ms, reduce and place %.2f ms, map %.2f ms: %.2f ms/frame, PSNR %.2f dB\n",
                tCount / frames, tReduce / frames, tMap / frames, (tCount + tReduce + tMap) / frames, psnr);
    return 0;
}
