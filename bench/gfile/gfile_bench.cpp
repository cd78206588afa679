// Graphics input, side by side with ImageMagick's convert where it has a counterpart:
//   (a) GFileGet of a 1920x1080 24-bit still scaled to 960x540 with the cubic filter, ms per
//       frame, next to convert -filter Mitchell -resize 960x540 on the same picture;
//   (b) a 640x480 photo-like picture reduced to 256 colours and mapped (8-bit output, computed
//       palette), ms per frame and PSNR, next to convert +dither -colors 256;
//   (c) frames per second of GFileGet delivering a 640x480 Torvex source as true colour.
// The peer's times are whole commands (start, read, work, write); its read-and-write-only time
// is printed too, so the work alone can be judged.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "encoder/torvex_writer.h"
#include "kroutil/gfile.h"
#include "kroutil/image.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
double ms(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

const char* const kUsage =
    "usage: bench_gfile [FRAMES]\n"
    "  Times graphics input: a 1920x1080 still scaled to 960x540 (cubic), a 640x480 picture\n"
    "  reduced to 256 colours, a 640x480 Torvex source delivered as true colour; FRAMES\n"
    "  repetitions (default 10), next to ImageMagick's convert when it is installed.\n";
const char* const kConvert = "/usr/bin/convert";

// Smooth colour fields with fine texture, roughly what a photograph gives the histogram.
void photo(ImageDescriptor& img, int w, int h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-6, 6);
    allocimage(&img, w, h, 24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double fx = double(x) / w, fy = double(y) / h;
            double r = 128 + 110 * std::sin(6.0 * fx + 2.0 * fy);
            double g = 128 + 100 * std::sin(4.0 * fy - 3.0 * fx + 1.0);
            double b = 128 + 90 * std::cos(5.0 * fx * fy + 9.0 * fy);
            uint8_t* p = img.pixels + int64_t(h - 1 - y) * img.row_bytes + 3 * x;
            auto clamp = [](double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
            p[0] = clamp(b + noise(rng));
            p[1] = clamp(g + noise(rng));
            p[2] = clamp(r + noise(rng));
        }
}

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// PSNR of a picture against the 24-bit image (both w x h), the picture given as 0x00RRGGBB.
double psnr(const ImageDescriptor& ref, const std::vector<uint32_t>& rgb, int w, int h) {
    double se = 0;
    for (int y = 0; y < h; ++y) {
        const uint8_t* p = ref.pixels + int64_t(h - 1 - y) * ref.row_bytes;
        for (int x = 0; x < w; ++x) {
            uint32_t v = rgb[size_t(y) * w + x];
            for (int k = 0; k < 3; ++k) {
                double d = double(p[3 * x + k]) - double((v >> (8 * k)) & 255);
                se += d * d;
            }
        }
    }
    return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (se / (3.0 * w * h)));
}

// The picture of a file any still reader of the library reads, as 0x00RRGGBB.
bool loadAny(const std::string& name, std::vector<uint32_t>& out, int w, int h) {
    GFile* g = GFileOpen(name.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 256, 0, 0, 0, nullptr, nullptr, nullptr);
    if (!g || g->canvasWidth != w || g->canvasHeight != h || !GFileGet(g, 0, 0, 0, 100, 1.0f, 0)) {
        GFileClose(g);
        return false;
    }
    out.resize(size_t(w) * h);
    for (int y = 0; y < h; ++y) std::memcpy(&out[size_t(y) * w], g->canvasBuffer + int64_t(y) * g->canvasPitch, size_t(w) * 4);
    GFileClose(g);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bench::checkArgs(argc, argv, 1, kUsage);
    int frames = argc > 1 ? int(bench::positiveWhole(argv[1], "FRAMES", 10000, kUsage)) : 10;
    fs::path dir = fs::temp_directory_path() / ("bench_gfile_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    bool peer = fs::exists(kConvert);
    std::printf("graphics input; %d repetitions each; best of the repetitions\n", frames);

    // (a) Scaling a 1920x1080 still to 960x540 with the cubic filter.
    {
        ImageDescriptor big{};
        photo(big, 1920, 1080, 1);
        std::string in = (dir / "big.bmp").string();
        WriteBmpFile(in.c_str(), &big, 0);
        freeimage(&big);
        double best = 1e30, bestOpen = 1e30;
        for (int k = 0; k < frames; ++k) {
            auto t0 = Clock::now();
            GFile* g = GFileOpen(in.c_str(), 0, 0, 0, 0, 0, 960, 540, 0, 0, 0, 0, 0, 0, 0, 0, 256, 0, 0, 0, nullptr,
                                 nullptr, nullptr);
            if (!g) return std::fprintf(stderr, "cannot open %s\n", in.c_str()), 1;
            GFileGet(g, 0, 0, 0, 100, 1.0f, 0);  // loads and scales
            bestOpen = std::min(bestOpen, ms(t0));
            GFileReset(g);
            auto t1 = Clock::now();
            GFileGet(g, 0, 0, 0, 100, 1.0f, 0);  // scales the loaded picture
            best = std::min(best, ms(t1));
            GFileClose(g);
        }
        std::printf("\n(a) 1920x1080 24-bit still to 960x540, cubic\n");
        std::printf("  GFileGet (scale and canvas)          %9.2f ms per frame\n", best);
        std::printf("  GFileOpen + GFileGet (with loading)  %9.2f ms per frame\n", bestOpen);
        if (peer) {
            double whole = 1e30, io = 1e30;
            std::string out = (dir / "peer.bmp").string();
            for (int k = 0; k < std::min(frames, 5); ++k) {
                auto t0 = Clock::now();
                run(std::string(kConvert) + " " + in + " -filter Mitchell -resize 960x540 " + out);
                whole = std::min(whole, ms(t0));
                t0 = Clock::now();
                run(std::string(kConvert) + " " + in + " " + out);
                io = std::min(io, ms(t0));
            }
            std::printf("  convert -filter Mitchell -resize      %9.2f ms whole command (read and write alone %.2f ms)\n",
                        whole, io);
            std::printf("  ratio (convert's resize work / GFileGet)  %.1fx; target at least 2x\n",
                        (whole - io) / best);
        } else {
            std::printf("  (ImageMagick convert not installed: no peer figures)\n");
        }
    }

    // (b) A 640x480 picture reduced to 256 colours.
    {
        ImageDescriptor pic{};
        photo(pic, 640, 480, 2);
        std::string in = (dir / "photo.bmp").string();
        WriteBmpFile(in.c_str(), &pic, 0);
        double best = 1e30, ours = 0;
        for (int k = 0; k < frames; ++k) {
            GFile* g = GFileOpen(in.c_str(), 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 256, 0, 2, 0, nullptr,
                                 nullptr, nullptr);
            if (!g) return std::fprintf(stderr, "cannot open %s\n", in.c_str()), 1;
            GFileGet(g, 0, 0, 0, 100, 1.0f, 0);  // the still loads once; the palette work is timed below
            GFileReset(g);
            auto t0 = Clock::now();
            GFileGet(g, 0, 0, 0, 100, 1.0f, 0);
            best = std::min(best, ms(t0));
            std::vector<uint32_t> rgb(640 * 480);
            for (int y = 0; y < 480; ++y)
                for (int x = 0; x < 640; ++x) {
                    const uint8_t* c = g->workingPalette + 3 * g->canvasBuffer[int64_t(y) * g->canvasPitch + x];
                    rgb[size_t(y) * 640 + x] = uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
                }
            ours = psnr(pic, rgb, 640, 480);
            GFileClose(g);
        }
        std::printf("\n(b) 640x480 picture to 256 colours (histogram, reduction, placement, mapping)\n");
        std::printf("  GFileGet, 8-bit output               %9.2f ms per frame, PSNR %.2f dB\n", best, ours);
        if (peer) {
            double whole = 1e30, io = 1e30;
            std::string out = (dir / "peer.png");
            for (int k = 0; k < std::min(frames, 5); ++k) {
                auto t0 = Clock::now();
                run(std::string(kConvert) + " " + in + " +dither -colors 256 " + out);
                whole = std::min(whole, ms(t0));
                t0 = Clock::now();
                run(std::string(kConvert) + " " + in + " " + (dir / "plain.png").string());
                io = std::min(io, ms(t0));
            }
            std::vector<uint32_t> theirs;
            double peerPsnr = loadAny(out, theirs, 640, 480) ? psnr(pic, theirs, 640, 480) : -1;
            std::printf("  convert +dither -colors 256          %9.2f ms whole command (read and write alone %.2f ms), PSNR %.2f dB\n",
                        whole, io, peerPsnr);
            std::printf("  ratio (convert's whole command / GFileGet)  %.1fx; (its work alone) %.1fx; target at least 10x\n",
                        whole / best, (whole - io) / best);
        } else {
            std::printf("  (ImageMagick convert not installed: no peer figures)\n");
        }
        freeimage(&pic);
    }

    // (c) A 640x480 Torvex source delivered as true colour.
    {
        const int w = 640, h = 480, n = 60;
        std::vector<std::vector<uint8_t>> pics(n, std::vector<uint8_t>(size_t(w) * h));
        std::vector<uint8_t> pal(768);
        for (int i = 0; i < 768; ++i) pal[i] = uint8_t(i * 7);
        std::vector<TorvexWriterFrame> list;
        for (int k = 0; k < n; ++k) {
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) pics[k][size_t(y) * w + x] = uint8_t((x + 2 * k) / 8 + (y / 8) * 3);
            list.push_back({pics[k].data(), pal.data(), false});
        }
        std::string in = (dir / "clip.tvx").string();
        std::string error;
        TorvexWriterOptions options;
        if (!TorvexWrite(in, w, h, list, options, &error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
        GFile* g = GFileOpen(in.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 256, 0, 0, 0, nullptr, nullptr,
                             nullptr);
        if (!g) return std::fprintf(stderr, "cannot open %s\n", in.c_str()), 1;
        double best = 0;
        for (int k = 0; k < std::max(1, frames / 5); ++k) {
            GFileReset(g);
            auto t0 = Clock::now();
            int delivered = 0;
            while (g->outputFrameCounter < g->outputFrameCount && GFileGet(g, 0, 0, 0, 100, 1.0f, 0)) ++delivered;
            best = std::max(best, delivered * 1000.0 / ms(t0));
        }
        GFileClose(g);
        std::printf("\n(c) 640x480 Torvex source, %d frames, true colour\n", n);
        std::printf("  GFileGet                             %9.1f frames per second\n", best);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
