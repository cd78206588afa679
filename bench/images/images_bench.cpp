// Still-image figures on a 3000 x 2000 picture: BMP, PCX and TGA load and save in MB/s (of the
// image's pixel bytes) next to ImageMagick's convert reading the same files, and reduction to
// 256 colours next to convert's +dither -colors 256, with the PSNR of both.
//
// Usage: bench_images [work folder]   (default: a fresh folder under /tmp)
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "kroutil/image.h"

namespace {

constexpr int32_t kWidth = 3000, kHeight = 2000;
const char* kConvert = "/usr/bin/convert";

double seconds(const std::function<void()>& f, int repeats) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

uint8_t* row(ImageDescriptor& d, int32_t y) { return d.pixels + int64_t(kHeight - 1 - y) * d.row_bytes; }

// A photo-like picture: smooth light and colour fields, edges and fine noise.
void makePicture(ImageDescriptor& img) {
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0, 4);
    for (int32_t y = 0; y < kHeight; ++y) {
        uint8_t* p = row(img, y);
        for (int32_t x = 0; x < kWidth; ++x) {
            const double fx = x / double(kWidth), fy = y / double(kHeight);
            double r = 128 + 100 * std::sin(6.0 * fx + 2.0 * fy) * std::cos(3.0 * fy);
            double g = 120 + 90 * std::sin(4.0 * fy + 1.0) * std::sin(5.0 * fx);
            double b = 110 + 80 * std::cos(7.0 * fx * fy + fx);
            if ((x / 250 + y / 250) % 5 == 0) r = 255 - r, b = 30;
            const double n = noise(rng);
            auto clamp = [](double v) { return uint8_t(std::clamp(v, 0.0, 255.0)); };
            p[3 * x] = clamp(b + n), p[3 * x + 1] = clamp(g + n), p[3 * x + 2] = clamp(r + n);
        }
    }
}

double psnr(ImageDescriptor& a, const std::vector<uint8_t>& rgbTopDown) {
    double se = 0;
    for (int32_t y = 0; y < kHeight; ++y) {
        const uint8_t* p = row(a, y);
        const uint8_t* q = &rgbTopDown[size_t(y) * kWidth * 3];
        for (int32_t x = 0; x < kWidth; ++x)
            for (int k = 0; k < 3; ++k) {
                const double d = double(p[3 * x + k]) - q[3 * x + 2 - k];
                se += d * d;
            }
    }
    return 10 * std::log10(255.0 * 255.0 / (se / (3.0 * kWidth * kHeight)));
}

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// The header's next number, past white space and comment lines (the peer copies the TGA's ID
// text into one).
int ppmNumber(FILE* f) {
    int c = std::fgetc(f);
    while (c == '#' || std::isspace(c)) {
        if (c == '#')
            while (c != '\n' && c != EOF) c = std::fgetc(f);
        c = std::fgetc(f);
    }
    int v = -1;
    for (; c >= '0' && c <= '9'; c = std::fgetc(f)) v = (v < 0 ? 0 : v * 10) + (c - '0');
    return v;  // the one white-space character after it is used up
}

std::vector<uint8_t> readPpm(const std::string& path) {
    std::vector<uint8_t> data;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return data;
    const bool p6 = std::fgetc(f) == 'P' && std::fgetc(f) == '6';
    const int w = p6 ? ppmNumber(f) : 0, h = p6 ? ppmNumber(f) : 0, maxval = p6 ? ppmNumber(f) : 0;
    if (w == kWidth && h == kHeight && maxval == 255) {
        data.resize(size_t(w) * h * 3);
        if (std::fread(data.data(), 1, data.size(), f) != data.size()) data.clear();
    }
    std::fclose(f);
    return data;
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "Usage: bench_images [work folder]\n"
        "Prints BMP, PCX and TGA save and load speeds of a 3000 x 2000 picture and its reduction to 256\n"
        "colours, next to ImageMagick's convert when it is installed. The files go to the work folder\n"
        "(default: a folder under the temporary directory) and are deleted at the end.\n";
    bench::checkArgs(argc, argv, 1, usage);
    const std::string dir = argc > 1 ? argv[1] : (std::filesystem::temp_directory_path() / "bench_images").string();
    // Only what this run creates is deleted at the end: a folder given by the user keeps its files.
    const bool madeDir = std::filesystem::create_directories(dir);
    std::vector<std::string> made;
    ImageDescriptor rgb{}, pal{};
    if (allocimage(&rgb, kWidth, kHeight, 24) || allocimage(&pal, kWidth, kHeight, 8)) return 1;
    makePicture(rgb);
    const double rgbMB = 3.0 * kWidth * kHeight / 1e6, palMB = 1.0 * kWidth * kHeight / 1e6;
    const bool haveConvert = std::filesystem::exists(kConvert);
    std::printf("picture %d x %d; MB/s of pixel bytes (24-bit %.1f MB, 8-bit %.1f MB); best of 5 (of 3 for reductions and convert)\n", kWidth, kHeight, rgbMB,
                palMB);

    // Reduction first: the 8-bit files are written from its result.
    const double tq = seconds([&] { convertrgbtopal(256, &rgb, &pal); }, 3);
    ImageDescriptor back{};
    allocimage(&back, kWidth, kHeight, 24);
    convertpaltorgb(&pal, &back);
    std::vector<uint8_t> original(size_t(kWidth) * kHeight * 3);
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x)
            for (int k = 0; k < 3; ++k) original[(size_t(y) * kWidth + x) * 3 + k] = row(rgb, y)[3 * x + 2 - k];
    const double ours = psnr(back, original);
    std::printf("\n%-34s %10s %10s\n", "256 colours", "seconds", "PSNR dB");
    std::printf("%-34s %10.3f %10.2f\n", "convertrgbtopal", tq, ours);

    struct Case {
        const char* label;
        const char* file;
        ImageDescriptor* img;
        double mb;
        std::function<int32_t(const char*, ImageDescriptor*)> write, load;
    };
    const Case cases[] = {
        {"BMP 24-bit", "p24.bmp", &rgb, rgbMB, [](const char* n, ImageDescriptor* d) { return WriteBmpFile(n, d, 0); }, loadbmp},
        {"BMP 8-bit", "p8.bmp", &pal, palMB, [](const char* n, ImageDescriptor* d) { return WriteBmpFile(n, d, 0); }, loadbmp},
        {"BMP 8-bit RLE8", "p8rle.bmp", &pal, palMB, [](const char* n, ImageDescriptor* d) { return WriteBmpFile(n, d, 1); },
         loadbmp},
        {"TGA 24-bit", "p24.tga", &rgb, rgbMB, [](const char* n, ImageDescriptor* d) { return WriteTgaFile(n, d, 0); }, loadtga},
        {"TGA 24-bit RLE", "p24rle.tga", &rgb, rgbMB, [](const char* n, ImageDescriptor* d) { return WriteTgaFile(n, d, 1); },
         loadtga},
        {"PCX 8-bit", "p8.pcx", &pal, palMB, WritePcxFile, loadpcx},
    };
    std::printf("\n%-34s %10s %10s %16s\n", "format", "save MB/s", "load MB/s", "convert read MB/s");
    for (const Case& c : cases) {
        const std::string path = dir + "/" + c.file;
        made.push_back(path);
        int32_t e = 0;
        const double ts = seconds([&] { e |= c.write(path.c_str(), c.img); }, 5);
        ImageDescriptor in{};
        allocimage(&in, kWidth, kHeight, c.img == &rgb ? 24 : 8);
        const double tl = seconds([&] { e |= c.load(path.c_str(), &in); }, 5);
        freeimage(&in);
        double tc = 0;
        if (haveConvert) tc = seconds([&] { run(std::string(kConvert) + " " + path + " null:"); }, 3);
        std::printf("%-34s %10.0f %10.0f %16s%s\n", c.label, c.mb / ts, c.mb / tl,
                    haveConvert ? std::to_string(int(c.mb / tc)).c_str() : "-", e ? "  (failed)" : "");
    }
    // A 24-bit PCX (three planes) written by the peer, read by both.
    if (haveConvert) {
        const std::string ppm = dir + "/p24.ppm", pcx = dir + "/p24.pcx";
        made.insert(made.end(), {ppm, pcx, dir + "/q.ppm"});
        // The peer's input is the picture itself, so that its PSNR depends on no reader but its own.
        if (FILE* f = std::fopen(ppm.c_str(), "wb")) {
            std::fprintf(f, "P6\n%d %d\n255\n", kWidth, kHeight);
            std::fwrite(original.data(), 1, original.size(), f);
            std::fclose(f);
        }
        run(std::string(kConvert) + " " + ppm + " " + pcx);
        ImageDescriptor in{};
        allocimage(&in, kWidth, kHeight, 24);
        int32_t e = 0;
        const double tl = seconds([&] { e |= loadpcx(pcx.c_str(), &in); }, 5);
        freeimage(&in);
        const double tc = seconds([&] { run(std::string(kConvert) + " " + pcx + " null:"); }, 3);
        std::printf("%-34s %10s %10.0f %16.0f%s\n", "PCX 24-bit (3 planes, peer-written)", "-", rgbMB / tl, rgbMB / tc,
                    e ? "  (failed)" : "");

        // The peer's reduction, with the time of the same read and write without it subtracted.
        const std::string out = dir + "/q.ppm";
        const double tBase = seconds([&] { run(std::string(kConvert) + " " + ppm + " -depth 8 " + out); }, 3);
        const double tPeer = seconds([&] { run(std::string(kConvert) + " " + ppm + " +dither -colors 256 -depth 8 " + out); }, 3);
        const auto quantised = readPpm(out);
        double peerPsnr = 0;
        if (!quantised.empty()) {
            ImageDescriptor q{};
            allocimage(&q, kWidth, kHeight, 24);
            for (int32_t y = 0; y < kHeight; ++y)
                for (int32_t x = 0; x < kWidth; ++x)
                    for (int k = 0; k < 3; ++k) row(q, y)[3 * x + k] = quantised[(size_t(y) * kWidth + x) * 3 + 2 - k];
            peerPsnr = psnr(q, original);
            freeimage(&q);
        }
        std::printf("\n%-34s %10s %10s\n", "256 colours", "seconds", "PSNR dB");
        std::printf("%-34s %10.3f %10.2f\n", "convertrgbtopal", tq, ours);
        std::printf("%-34s %10.3f %10.2f   (whole command %.3f s, read and write alone %.3f s)\n", "convert +dither -colors 256",
                    std::max(0.0, tPeer - tBase), peerPsnr, tPeer, tBase);
    } else {
        std::printf("(ImageMagick convert not installed: no peer figures)\n");
    }
    freeimage(&back);
    freeimage(&rgb);
    freeimage(&pal);
    std::error_code ignored;
    for (const std::string& f : made) std::filesystem::remove(f, ignored);
    if (madeDir) std::filesystem::remove(dir, ignored);
    return 0;
}
