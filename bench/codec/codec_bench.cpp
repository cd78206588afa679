// Decoding speed of 640 x 480 animations written by the writer: (a) noise, mostly full blocks,
// (b) a sprite moving over a still background, (c) palette changes only; and as a yardstick the
// same number of 640 x 480 memcpys.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "codec/torvex.h"
#include "encoder/torvex_writer.h"

namespace {

constexpr uint32_t kW = 640, kH = 480;

uint32_t rnd(uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

struct Clip {
    std::vector<std::vector<uint8_t>> pixels, palettes;
};

Clip noise(uint32_t frames, uint32_t colours) {
    Clip c;
    uint32_t s = 12345;
    std::vector<uint8_t> pal(768);
    for (auto& v : pal) v = uint8_t(rnd(s));
    for (uint32_t k = 0; k < frames; ++k) {
        std::vector<uint8_t> px(kW * kH);
        // At most 255 colours: with all 256 every 16-bit pair would occur and leave the full
        // tree no value for its escapes.
        for (auto& v : px) v = uint8_t((rnd(s) >> 7) % colours);
        c.pixels.push_back(px);
        c.palettes.push_back(pal);
    }
    return c;
}

std::vector<uint8_t> background() {
    std::vector<uint8_t> px(kW * kH);
    uint32_t s = 99;
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            uint32_t region = (x / 80 + y / 60) % 4;
            uint8_t v = region == 0 ? uint8_t(x / 80 * 9 + y / 60)
                        : region == 1 ? uint8_t(((x ^ y) & 4) ? 20 : 30)
                        : region == 2 ? uint8_t(40 + (x + y) / 16 % 32)
                                      : uint8_t(rnd(s) % 16 + 100);
            px[y * kW + x] = v;
        }
    return px;
}

Clip sprite(uint32_t frames) {
    Clip c;
    std::vector<uint8_t> bg = background(), pal(768);
    for (int i = 0; i < 768; ++i) pal[i] = uint8_t(i * 7);
    for (uint32_t k = 0; k < frames; ++k) {
        std::vector<uint8_t> px = bg;
        uint32_t sx = (k * 6) % (kW - 64), sy = (k * 4) % (kH - 64);
        for (uint32_t y = 0; y < 64; ++y)
            for (uint32_t x = 0; x < 64; ++x) {
                uint32_t dx = x - 32, dy = y - 32;
                if (dx * dx + dy * dy < 30 * 30) px[(sy + y) * kW + sx + x] = uint8_t(200 + (x * 3 + y * 5 + k) % 40);
            }
        c.pixels.push_back(px);
        c.palettes.push_back(pal);
    }
    return c;
}

Clip paletteOnly(uint32_t frames) {
    Clip c;
    std::vector<uint8_t> bg = background(), base(768);
    for (int i = 0; i < 768; ++i) base[i] = uint8_t(i * 13);
    for (uint32_t k = 0; k < frames; ++k) {
        std::vector<uint8_t> pal(768);
        for (int i = 0; i < 256; ++i)
            for (int ch = 0; ch < 3; ++ch) pal[3 * i + ch] = base[3 * ((i + k) % 256) + ch];
        c.pixels.push_back(bg);
        c.palettes.push_back(pal);
    }
    return c;
}

std::vector<uint8_t> writeClip(const Clip& c, const std::string& path) {
    std::vector<TorvexWriterFrame> frames;
    for (size_t k = 0; k < c.pixels.size(); ++k) frames.push_back({c.pixels[k].data(), c.palettes[k].data(), false});
    TorvexWriterOptions o;
    o.version = 4;
    o.frameRate = 0;
    std::string error;
    if (!TorvexWrite(path, kW, kH, frames, o, &error)) {
        std::fprintf(stderr, "writing failed: %s\n", error.c_str());
        std::exit(1);
    }
    FILE* in = std::fopen(path.c_str(), "rb");
    std::vector<uint8_t> image;
    uint8_t buf[65536];
    size_t n;
    while (in && (n = std::fread(buf, 1, sizeof buf, in)) > 0) image.insert(image.end(), buf, buf + n);
    if (in) std::fclose(in);
    std::remove(path.c_str());
    return image;
}

double seconds(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

// Frames per second playing the image in a loop (decode, drain the dirty rectangles, advance).
double decodeRate(const std::vector<uint8_t>& image, uint32_t& checksum) {
    TorvexFile* f = TorvexOpenSized(image.data(), kTvxFromMemory, -1, image.size());
    if (!f) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    std::vector<uint8_t> screen(kW * kH, 0);
    TorvexSetTarget(f, 0, 0, kW, kH, screen.data(), 0);
    uint64_t frames = 0;
    auto start = std::chrono::steady_clock::now();
    double t = 0;
    while ((t = seconds(start)) < 1.5 || frames < 20) {
        for (int i = 0; i < 10; ++i) {
            TorvexDecodeFrame(f);
            while (TorvexNextDirtyRect(f, 0)) checksum += uint32_t(f->rectWidth);
            TorvexAdvance(f);
            ++frames;
        }
    }
    checksum += screen[12345];
    TorvexClose(f);
    return double(frames) / t;
}

double memcpyRate(uint64_t count) {
    std::vector<uint8_t> a(kW * kH, 1), b(kW * kH, 2);
    auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < count; ++i) {
        a[i % a.size()] = uint8_t(i);
        std::memcpy(b.data(), a.data(), a.size());
        asm volatile("" : : "r"(b.data()) : "memory");  // keep every copy
    }
    return double(count) / seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "Usage: bench_codec [a|a'|b|c]\n"
        "Prints the decoding speed in frames per second of 640 x 480 Torvex animations: (a) noise of\n"
        "16 colours, (a') of 255 colours, (b) a sprite over a still background, (c) palette changes\n"
        "only, each beside the memcpy rate of a frame. A letter runs that case alone (for profiling).\n";
    bench::checkArgs(argc, argv, 1, usage);
    std::string only = argc > 1 ? argv[1] : "";
    if (!only.empty() && only != "a" && only != "a'" && only != "b" && only != "c") {
        std::fprintf(stderr, "unknown case: %s\n", only.c_str());
        bench::usageExit(usage, 2);
    }
    std::string tmp = (std::filesystem::temp_directory_path() / "torvex_bench.tvx").string();
    struct Case {
        const char* name;
        Clip clip;
        double target;
    };
    std::printf("Torvex decoding, %u x %u, 8-bit target, load-all from memory\n", kW, kH);
    Case cases[] = {{"(a) noise of 16 colours, full blocks", noise(24, 16), 1000},
                    {"(a') noise of 255 colours, full blocks", noise(24, 255), 0},
                    {"(b) sprite over a still background", sprite(60), 5000},
                    {"(c) palette changes only", paletteOnly(60), 0}};
    uint32_t checksum = 0;
    for (Case& c : cases) {
        if (!only.empty() && std::string(c.name).rfind("(" + only + ")", 0) != 0) continue;
        std::vector<uint8_t> image = writeClip(c.clip, tmp);
        double rate = decodeRate(image, checksum);
        double copies = memcpyRate(uint64_t(rate * 1.5) + 100);
        std::printf("%-38s %10.0f frames/s  (%.3f x the %0.f memcpys/s of a 640x480 frame; %zu bytes for %zu frames)",
                    c.name, rate, rate / copies, copies, image.size(), c.clip.pixels.size());
        if (c.target > 0) std::printf("  target %.0f: %s", c.target, rate >= c.target ? "met" : "NOT met");
        std::printf("\n");
    }
    std::printf("(checksum %u)\n", checksum);
    return 0;
}
