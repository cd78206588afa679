// PNG decode and encode and GIF decode of a 3000 x 2000 photo-like picture, each next to the
// system's PNG or GIF library doing the same work in this program. Figures are the best of
// several runs, in milliseconds; the ratio is peer time over ours (above 1: we are faster).
//
// The picture: smooth fractal value noise in three channels with a little grain, which
// compresses and filters much like a photograph (a flat or random picture would not).
#include <gif_lib.h>
#include <png.h>
#include <zlib.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "kroutil/image.h"

namespace {

constexpr int kW = 3000, kH = 2000;

uint32_t rnd(uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

// Top-down RGB.
std::vector<uint8_t> photo() {
    uint32_t s = 2024;
    std::vector<uint8_t> rgb(size_t(kW) * kH * 3);
    // Value noise: lattices of random values at several scales, bilinearly interpolated.
    std::vector<float> acc(size_t(kW) * kH * 3, 0.f);
    float amp = 1.f;
    for (int cell = 400; cell >= 6; cell /= 2, amp *= 0.55f) {
        const int gw = kW / cell + 2, gh = kH / cell + 2;
        std::vector<float> grid(size_t(gw) * gh * 3);
        for (auto& g : grid) g = float(rnd(s) % 1000) / 1000.f;
        for (int y = 0; y < kH; ++y) {
            const float fy = float(y) / cell;
            const int gy = int(fy);
            const float ty = fy - gy;
            for (int x = 0; x < kW; ++x) {
                const float fx = float(x) / cell;
                const int gx = int(fx);
                const float tx = fx - gx;
                for (int c = 0; c < 3; ++c) {
                    auto at = [&](int i, int j) { return grid[(size_t(j) * gw + i) * 3 + c]; };
                    const float v = (at(gx, gy) * (1 - tx) + at(gx + 1, gy) * tx) * (1 - ty) +
                                    (at(gx, gy + 1) * (1 - tx) + at(gx + 1, gy + 1) * tx) * ty;
                    acc[(size_t(y) * kW + x) * 3 + c] += amp * v;
                }
            }
        }
    }
    for (size_t i = 0; i < acc.size(); ++i) {
        const float v = acc[i] * 110.f + float(int(rnd(s) % 7) - 3);
        rgb[i] = uint8_t(std::clamp(v, 0.f, 255.f));
    }
    return rgb;
}

double bestMs(int runs, const std::function<void()>& f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, ms);
    }
    return best;
}

void fail(const char* what) {
    std::fprintf(stderr, "bench_png_gif: %s\n", what);
    std::exit(1);
}

// ---- the peer PNG library -----------------------------------------------------------------------

void peerPngWrite(const std::string& path, const std::vector<uint8_t>& rgb) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot create the peer's PNG");
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    if (setjmp(png_jmpbuf(p))) fail("peer PNG write failed");
    png_init_io(p, f);
    png_set_IHDR(p, info, kW, kH, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    // The same deflate settings as ours: level 6, 15-bit window, memory level 8, filtered
    // strategy, and the adaptive filter choice over all five filters.
    png_set_compression_level(p, 6);
    png_set_compression_window_bits(p, 15);
    png_set_compression_mem_level(p, 8);
    png_set_compression_strategy(p, Z_FILTERED);
    png_set_filter(p, 0, PNG_ALL_FILTERS);
    png_set_compression_buffer_size(p, 8192);
    png_write_info(p, info);
    for (int y = 0; y < kH; ++y) png_write_row(p, rgb.data() + size_t(y) * kW * 3);
    png_write_end(p, info);
    png_destroy_write_struct(&p, &info);
    std::fclose(f);
}

// Decodes into bottom-up blue, green, red rows as our loader does.
void peerPngRead(const std::string& path, std::vector<uint8_t>& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) fail("cannot open the PNG");
    png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    if (setjmp(png_jmpbuf(p))) fail("peer PNG read failed");
    png_init_io(p, f);
    png_read_info(p, info);
    png_set_bgr(p);
    const size_t rowBytes = (size_t(kW) * 3 + 3) & ~size_t(3);
    out.resize(rowBytes * kH);
    for (int y = 0; y < kH; ++y) png_read_row(p, out.data() + size_t(kH - 1 - y) * rowBytes, nullptr);
    png_read_end(p, nullptr);
    png_destroy_read_struct(&p, &info, nullptr);
    std::fclose(f);
}

// ---- the peer GIF library -------------------------------------------------------------------------

void peerGifRead(const std::string& path, std::vector<uint8_t>& out) {
    int err = 0;
    GifFileType* g = DGifOpenFileName(path.c_str(), &err);
    if (!g) fail("peer GIF open failed");
    GifRecordType type;
    const size_t rowBytes = (size_t(kW) + 3) & ~size_t(3);
    out.resize(rowBytes * kH);
    do {
        if (DGifGetRecordType(g, &type) == GIF_ERROR) fail("peer GIF record failed");
        if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(g) == GIF_ERROR) fail("peer GIF descriptor failed");
            for (int y = 0; y < g->Image.Height; ++y)
                if (DGifGetLine(g, out.data() + size_t(kH - 1 - y) * rowBytes, g->Image.Width) == GIF_ERROR)
                    fail("peer GIF line failed");
            break;
        }
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* ext;
            DGifGetExtension(g, &code, &ext);
            while (ext) DGifGetExtensionNext(g, &ext);
        }
    } while (type != TERMINATE_RECORD_TYPE);
    DGifCloseFile(g, &err);
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "Usage: bench_png_gif [runs]\n"
        "Prints PNG encode and decode and GIF decode times of a 3000 x 2000 photo-like picture in ms,\n"
        "next to the system's PNG and GIF libraries doing the same work, with the ratios and their\n"
        "targets. runs: how many times each is timed, the best counting (default 3).\n";
    bench::checkArgs(argc, argv, 1, usage);
    const int runs = argc > 1 ? int(bench::positiveWhole(argv[1], "runs", 100, usage)) : 3;
    const auto dir = std::filesystem::temp_directory_path() / ("bench_png_gif_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string oursPng = (dir / "ours.png").string(), peerPng = (dir / "peer.png").string();
    const std::string gifPath = (dir / "photo.gif").string();

    const std::vector<uint8_t> rgb = photo();
    ImageDescriptor img{};
    if (allocimage(&img, kW, kH, 24) != IMG_OK) fail("allocimage");
    for (int y = 0; y < kH; ++y) {
        uint8_t* row = img.pixels + size_t(kH - 1 - y) * img.row_bytes;
        for (int x = 0; x < kW; ++x) {
            const uint8_t* p = rgb.data() + (size_t(y) * kW + x) * 3;
            row[3 * x] = p[2], row[3 * x + 1] = p[1], row[3 * x + 2] = p[0];
        }
    }

    std::printf("picture: %d x %d, 24 bits, photo-like; best of %d runs\n", kW, kH, runs);

    // PNG encode: adaptive filters, level 6.
    const double encOurs = bestMs(runs, [&] {
        if (WritePngFile(oursPng.c_str(), &img, 0) != IMG_OK) fail("WritePngFile");
    });
    const double encPeer = bestMs(runs, [&] { peerPngWrite(peerPng, rgb); });
    std::printf("PNG encode  ours %8.1f ms (%9zu bytes)  peer %8.1f ms (%9zu bytes)  ratio %.2fx  target >= 1.0x\n",
                encOurs, size_t(std::filesystem::file_size(oursPng)), encPeer,
                size_t(std::filesystem::file_size(peerPng)), encPeer / encOurs);

    // PNG decode of the peer's file (24-bit, adaptive filters) by both.
    ImageDescriptor back{};
    if (allocimage(&back, kW, kH, 24) != IMG_OK) fail("allocimage");
    std::vector<uint8_t> peerOut;
    const double decOurs = bestMs(runs, [&] {
        if (LoadPngFile(peerPng.c_str(), &back) != IMG_OK) fail("LoadPngFile");
    });
    const double decPeer = bestMs(runs, [&] { peerPngRead(peerPng, peerOut); });
    if (std::memcmp(peerOut.data(), back.pixels, peerOut.size()) != 0) fail("PNG decodes differ");
    std::printf("PNG decode  ours %8.1f ms                    peer %8.1f ms                    ratio %.2fx  target >= 1.0x\n",
                decOurs, decPeer, decPeer / decOurs);

    // GIF: the picture in 256 colours (3-3-2 levels with a little ordered dither), written by us.
    ImageDescriptor pal{};
    if (allocimage(&pal, kW, kH, 8) != IMG_OK) fail("allocimage");
    for (int i = 0; i < 256; ++i) {
        pal.palette[4 * i] = uint8_t((i & 3) * 85);
        pal.palette[4 * i + 1] = uint8_t(((i >> 2) & 7) * 255 / 7);
        pal.palette[4 * i + 2] = uint8_t((i >> 5) * 255 / 7);
    }
    pal.flags = 0;
    static const int kDither[4] = {0, 16, 8, 24};
    for (int y = 0; y < kH; ++y) {
        uint8_t* row = pal.pixels + size_t(kH - 1 - y) * pal.row_bytes;
        for (int x = 0; x < kW; ++x) {
            const uint8_t* p = rgb.data() + (size_t(y) * kW + x) * 3;
            const int d = kDither[(x & 1) | (y & 1) << 1];
            const int r = std::min(7, (p[0] + d) * 7 / 255), g = std::min(7, (p[1] + d) * 7 / 255),
                      b = std::min(3, (p[2] + d) * 3 / 255);
            row[x] = uint8_t(r << 5 | g << 2 | b);
        }
    }
    if (WriteGifFile(gifPath.c_str(), &pal) != IMG_OK) fail("WriteGifFile");
    ImageDescriptor gifBack{};
    if (allocimage(&gifBack, kW, kH, 8) != IMG_OK) fail("allocimage");
    const double gifOurs = bestMs(runs, [&] {
        if (loadgif(gifPath.c_str(), &gifBack) != IMG_OK) fail("loadgif");
    });
    const double gifPeer = bestMs(runs, [&] { peerGifRead(gifPath, peerOut); });
    if (std::memcmp(peerOut.data(), gifBack.pixels, peerOut.size()) != 0) fail("GIF decodes differ");
    std::printf("GIF decode  ours %8.1f ms (%9zu bytes)  peer %8.1f ms                    ratio %.2fx  target >= 1.5x\n",
                gifOurs, size_t(std::filesystem::file_size(gifPath)), gifPeer, gifPeer / gifOurs);

    freeimage(&img);
    freeimage(&back);
    freeimage(&pal);
    freeimage(&gifBack);
    std::filesystem::remove_all(dir);
    return 0;
}
