// Flic frames per second written and read, at 320 x 200 (byte deltas) and 640 x 480 (word
// deltas), for a typical animation (a sprite moving over a still background) and for noise
// (no delta pays, every frame stored whole), next to a memcpy of the same frames.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kroutil/flic.h"

namespace {

using Clock = std::chrono::steady_clock;
using Frames = std::vector<std::vector<uint8_t>>;

double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void usage() {
    std::printf(
        "usage: bench_flic [--frames N] [--dir DIR]\n"
        "  Writes and reads Flic animations of N frames (default 300) in DIR (default /tmp) and\n"
        "  prints frames per second for each size and content, with a memcpy of the same frames.\n"
        "  Targets: writing at least 3000 frames/s at 320x200 and 600 at 640x480 for the sprite\n"
        "  animation; reading at least 5 times as fast as writing.\n");
}

Frames spriteFrames(uint32_t w, uint32_t h, uint32_t count) {
    std::vector<uint8_t> background(size_t(w) * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            background[size_t(y) * w + x] = uint8_t(16 + (y * 96 / h) + ((x / 16 + y / 16) % 2) * 8);
    Frames frames;
    int32_t sx = 0, sy = 0, dx = 3, dy = 2;
    const int32_t size = 32;
    for (uint32_t k = 0; k < count; ++k) {
        std::vector<uint8_t> pic = background;
        for (int32_t y = 0; y < size; ++y)
            for (int32_t x = 0; x < size; ++x)
                if ((x - 16) * (x - 16) + (y - 16) * (y - 16) < 256)
                    pic[size_t(sy + y) * w + size_t(sx + x)] = uint8_t(200 + (x + y + int32_t(k)) % 40);
        frames.push_back(std::move(pic));
        sx += dx, sy += dy;
        if (sx < 0 || sx + size > int32_t(w)) dx = -dx, sx += 2 * dx;
        if (sy < 0 || sy + size > int32_t(h)) dy = -dy, sy += 2 * dy;
    }
    return frames;
}

Frames noiseFrames(uint32_t w, uint32_t h, uint32_t count) {
    std::mt19937 rng(5);
    Frames frames(count, std::vector<uint8_t>(size_t(w) * h));
    for (auto& f : frames)
        for (auto& b : f) b = uint8_t(rng());
    return frames;
}

volatile uint8_t sink;

void run(const char* what, uint32_t w, uint32_t h, const Frames& frames, const std::string& path) {
    std::vector<uint8_t> palette(768);
    for (int i = 0; i < 768; ++i) palette[size_t(i)] = uint8_t(i * 5);
    const double n = double(frames.size());

    auto start = Clock::now();
    KroOFlic* out = KroOFlicCreate(path.c_str(), int32_t(w), int32_t(h), -6667);
    if (!out) {
        std::fprintf(stderr, "cannot create %s\n", path.c_str());
        std::exit(1);
    }
    for (const auto& f : frames) KroOFlicPutNext(out, f.data(), palette.data());
    uint32_t size = KroOFlicClose(out);
    double written = n / seconds(start);

    start = Clock::now();
    KroFlic* in = KroFlicOpen(path.c_str());
    if (!in) {
        std::fprintf(stderr, "cannot read %s back\n", path.c_str());
        std::exit(1);
    }
    std::vector<uint8_t> picture(size_t(in->pitch) * in->roundedHeight);
    for (size_t k = 0; k < frames.size(); ++k) KroFlicGetNext(in, picture.data());
    KroFlicClose(in);
    double read = n / seconds(start);
    sink = picture[picture.size() / 2];

    std::vector<uint8_t> copy(size_t(w) * h);
    start = Clock::now();
    for (const auto& f : frames) {
        std::memcpy(copy.data(), f.data(), copy.size());
        sink = copy[size_t(sink) % copy.size()];
    }
    double copied = n / seconds(start);

    std::printf("%-7s %4ux%-4u  write %8.0f frames/s   read %8.0f frames/s (%5.1f x write)   memcpy %8.0f frames/s   %7.1f KB/frame\n",
                what, w, h, written, read, read / written, copied, size / n / 1024);
    std::remove(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t count = 300;
    std::string dir = "/tmp";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else if (a == "--frames" && i + 1 < argc) {
            count = uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else {
            usage();
            return 2;
        }
    }
    if (count == 0) count = 1;
    const std::string path = dir + "/torvex-bench-flic.flc";
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{320, 200}, {640, 480}}) {
        run("sprite", w, h, spriteFrames(w, h, count), path);
        run("noise", w, h, noiseFrames(w, h, count), path);
    }
    return 0;
}
