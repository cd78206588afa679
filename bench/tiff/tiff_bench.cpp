// TIFF decoding next to the system's TIFF library doing the same work in this program: LZW and
// PackBits strips of a 3000 x 2000 24-bit photo-like picture, and a Group 4 page of 2480 x 3508
// pixels. Figures are the best of several runs, in MB/s of decoded pixel bytes; the ratio is our
// speed over the peer's (target: at least 1.0).
//
// Both sides start from the file on disk. Ours is loadtif into an image (24-bit rows turned to
// blue, green, red and stored bottom-up, as the peer's loop below does too), except for 24-bit
// PackBits, which loadtif does not take (the format table has PackBits only up to 8 bits): there
// our strip decoder runs over the file's strips, next to the peer's strip reads.
#include <tiffio.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "kroutil/image.h"
#include "kroutil/images/tiff_codec.h"

namespace {

constexpr int kW = 3000, kH = 2000;
constexpr int kPageW = 2480, kPageH = 3508;

uint32_t rnd(uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

// Smooth value noise in three channels with a little grain (compresses like a photograph).
std::vector<uint8_t> photo() {
    uint32_t s = 2024;
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
    std::vector<uint8_t> rgb(acc.size());
    for (size_t i = 0; i < acc.size(); ++i)
        rgb[i] = uint8_t(std::clamp(acc[i] * 110.f + float(int(rnd(s) % 7) - 3), 0.f, 255.f));
    return rgb;
}

// A typed page: margins, lines of words made of letter-sized strokes and bowls, a rule and a
// block of a picture's dither. Black is 1, rows packed.
std::vector<uint8_t> page() {
    const size_t rowBytes = (kPageW + 7) / 8;
    std::vector<uint8_t> bits(rowBytes * kPageH, 0);
    auto set = [&](int x, int y) {
        if (x >= 0 && x < kPageW && y >= 0 && y < kPageH) bits[size_t(y) * rowBytes + x / 8] |= uint8_t(0x80 >> (x & 7));
    };
    uint32_t s = 77;
    for (int line = 0; line < 70; ++line) {
        const int base = 250 + line * 44;
        int x = 200;
        while (x < kPageW - 260) {
            const int letters = 2 + int(rnd(s) % 8);
            for (int l = 0; l < letters; ++l) {
                const int kind = int(rnd(s) % 4), h = kind == 3 ? 30 : 21;
                for (int y = base - h; y < base; ++y)
                    for (int t = 0; t < 3; ++t) {
                        set(x + t, y);
                        if (kind >= 1) set(x + 12 + t, y);
                        if (kind == 2 && (y == base - h || y == base - 1)) for (int u = 0; u < 14; ++u) set(x + u, y);
                    }
                if (kind == 1) for (int u = 0; u < 14; ++u) set(x + u, base - 11), set(x + u, base - 12);
                x += 19;
            }
            x += 17;
        }
    }
    for (int y = 3300; y < 3304; ++y)
        for (int x = 200; x < kPageW - 200; ++x) set(x, y);
    for (int y = 3320; y < 3450; ++y)
        for (int x = 1400; x < 2200; ++x)
            if (((x * 13 + y * 7) ^ (x * y)) % 5 == 0) set(x, y);
    return bits;
}

double bestMs(int runs, const std::function<void()>& f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_tiff: %s\n", what);
    std::exit(1);
}

// Writes a file with the peer library: rows of `rowBytes`, the given layout.
void peerWrite(const std::string& path, const std::vector<uint8_t>& rows, int w, int h, int samples, int bits,
               int compression, int rowsPerStrip) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) fail("cannot create a file");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, samples == 3 ? PHOTOMETRIC_RGB : bits == 1 ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    const size_t rowBytes = (size_t(w) * samples * bits + 7) / 8;
    for (int y = 0; y < h; ++y)
        if (TIFFWriteScanline(t, const_cast<uint8_t*>(rows.data() + size_t(y) * rowBytes), uint32_t(y), 0) < 0) fail("peer write failed");
    TIFFClose(t);
}

// The peer's read of every strip, each decoded strip's rows then placed as our loader places them.
void peerRead(const std::string& path, std::vector<uint8_t>& image, bool bgr) {
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t) fail("peer open failed");
    uint32_t w = 0, h = 0, rps = 0;
    uint16_t spp = 1, bps = 1;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
    const size_t rowBytes = (size_t(w) * spp * bps + 7) / 8, imageRow = (rowBytes + 3) & ~size_t(3);
    std::vector<uint8_t> strip(size_t(TIFFStripSize(t)));
    image.assign(imageRow * h, 0);
    for (uint32_t s = 0; s < TIFFNumberOfStrips(t); ++s) {
        const tmsize_t n = TIFFReadEncodedStrip(t, s, strip.data(), tmsize_t(strip.size()));
        if (n < 0) fail("peer strip read failed");
        for (uint32_t r = 0; r < rps && s * rps + r < h; ++r) {
            const uint8_t* src = strip.data() + size_t(r) * rowBytes;
            uint8_t* dst = image.data() + size_t(h - 1 - (s * rps + r)) * imageRow;
            if (!bgr) {
                std::memcpy(dst, src, rowBytes);
                continue;
            }
            for (uint32_t x = 0; x < w; ++x) dst[3 * x] = src[3 * x + 2], dst[3 * x + 1] = src[3 * x + 1], dst[3 * x + 2] = src[3 * x];
        }
    }
    TIFFClose(t);
}

void oursLoad(const std::string& path, ImageDescriptor* img) {
    if (loadtif(path.c_str(), img) != IMG_OK) fail("loadtif failed");
}

// Our strip decoder over every strip of the file (read whole, as loadtif does).
void oursPackBitsStrips(const std::string& path, std::vector<uint8_t>& out) {
    TIFF* t = TIFFOpen(path.c_str(), "r");  // only for the strip table, before the clock matters
    if (!t) fail("open failed");
    uint32_t h = 0, rps = 0;
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
    uint64_t* offsets = nullptr;
    uint64_t* counts = nullptr;
    TIFFGetField(t, TIFFTAG_STRIPOFFSETS, &offsets);
    TIFFGetField(t, TIFFTAG_STRIPBYTECOUNTS, &counts);
    const uint32_t strips = TIFFNumberOfStrips(t);
    std::vector<uint64_t> off(offsets, offsets + strips), cnt(counts, counts + strips);
    TIFFClose(t);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) fail("open failed");
    std::vector<uint8_t> file;
    std::fseek(f, 0, SEEK_END);
    file.resize(size_t(std::ftell(f)));
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(file.data(), 1, file.size(), f) != file.size()) fail("read failed");
    std::fclose(f);
    const size_t rowBytes = size_t(kW) * 3;
    out.resize(rowBytes * h);
    for (uint32_t s = 0; s < strips; ++s) {
        const size_t rows = std::min<size_t>(rps, h - size_t(s) * rps);
        const auto r = kroimg::unpackBits(file.data() + off[s], cnt[s], out.data() + size_t(s) * rps * rowBytes, rows * rowBytes);
        if (r.status != kroimg::StripStatus::ok) fail("PackBits strip failed");
    }
}

void report(const char* what, double mb, double oursMs, double peerMs) {
    std::printf("%-34s ours %8.1f MB/s   peer %8.1f MB/s   ratio %.2f\n", what, mb / (oursMs / 1000), mb / (peerMs / 1000),
                peerMs / oursMs);
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage = "usage: bench_tiff [runs]\n  runs: timed runs per figure, the best is kept (default 5)\n";
    bench::checkArgs(argc, argv, 1, usage);
    const int runs = argc > 1 ? int(bench::positive(argv[1], "runs", usage)) : 5;
    TIFFSetWarningHandler(nullptr);
    char dirTemplate[] = "/tmp/bench_tiff_XXXXXX";
    if (!mkdtemp(dirTemplate)) fail("no temporary folder");
    const std::string dir = dirTemplate;

    const std::vector<uint8_t> rgb = photo();
    const double rgbMb = double(kW) * kH * 3 / 1e6;
    const std::string lzw = dir + "/lzw.tif", packbits = dir + "/packbits.tif", fax = dir + "/g4.tif";
    // Strips of eight rows (72 KB decoded), a common layout.
    peerWrite(lzw, rgb, kW, kH, 3, 8, COMPRESSION_LZW, 8);
    peerWrite(packbits, rgb, kW, kH, 3, 8, COMPRESSION_PACKBITS, 8);
    std::vector<uint8_t> bits = page();
    peerWrite(fax, bits, kPageW, kPageH, 1, 1, COMPRESSION_CCITTFAX4, kPageH);

    std::vector<uint8_t> peer;
    ImageDescriptor img{};
    if (allocimage(&img, kW, kH, 24) != IMG_OK) fail("no image");
    // Both sides must have decoded the same picture.
    oursLoad(lzw, &img);
    peerRead(lzw, peer, true);
    if (std::memcmp(img.pixels, peer.data(), peer.size()) != 0) fail("LZW pictures differ");
    report("LZW 24-bit 3000x2000 (loadtif)", rgbMb, bestMs(runs, [&] { oursLoad(lzw, &img); }),
           bestMs(runs, [&] { peerRead(lzw, peer, true); }));

    std::vector<uint8_t> ours;
    oursPackBitsStrips(packbits, ours);
    peerRead(packbits, peer, false);
    for (int y = 0; y < kH; ++y)
        if (std::memcmp(ours.data() + size_t(y) * kW * 3, peer.data() + size_t(kH - 1 - y) * kW * 3, size_t(kW) * 3) != 0)
            fail("PackBits pictures differ");
    report("PackBits 24-bit 3000x2000 (strips)", rgbMb, bestMs(runs, [&] { oursPackBitsStrips(packbits, ours); }),
           bestMs(runs, [&] { peerRead(packbits, peer, false); }));
    freeimage(&img);

    if (allocimage(&img, kPageW, kPageH, 1) != IMG_OK) fail("no page image");
    oursLoad(fax, &img);
    peerRead(fax, peer, false);
    // The file is white-is-zero: our image keeps the file's bits with a white-first table.
    if (std::memcmp(img.pixels, peer.data(), peer.size()) != 0) fail("G4 pages differ");
    const double pageMb = double((kPageW + 7) / 8) * kPageH / 1e6;
    report("G4 page 2480x3508 (loadtif)", pageMb, bestMs(runs, [&] { oursLoad(fax, &img); }),
           bestMs(runs, [&] { peerRead(fax, peer, false); }));
    freeimage(&img);
    std::remove(lzw.c_str());
    std::remove(packbits.c_str());
    std::remove(fax.c_str());
    rmdir(dir.c_str());
    return 0;
}
