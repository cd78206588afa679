// Speed of every blit mode on a 640x480 8-bit picture, with and without the wide paths, in
// source megapixels per second; and the keyed copy.
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench/bench_args.h"
#include "codec/blit/blitter.h"

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    bench::checkArgs(argc, argv, 0,
                     "Usage: bench_blit\n"
                     "Prints the speed of every blit mode on a 640 x 480 8-bit picture, with and without\n"
                     "the wide paths, in source megapixels per second, and of the keyed copy.\n");
    const int w = 640, h = 480;
    std::vector<uint8_t> src(size_t(w) * h);
    uint32_t seed = 7;
    for (auto& p : src) p = uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
    std::vector<uint8_t> palette(768);
    for (int i = 0; i < 768; ++i) palette[size_t(i)] = uint8_t(i * 37);
    std::vector<uint8_t> dest(size_t(w) * 2 * 2 * h * 2);
    struct Mode {
        uint32_t flags;
    } modes[] = {{0}, {kBlit2x}, {kBlitInterlaced}, {kBlitSmooth}, {kBlit565}, {kBlit565 | kBlit2x}, {kBlit565 | kBlitInterlaced},
                 {kBlit565 | kBlitSmooth}};
    std::printf("640 x 480 source, Mpixel/s of source pixels\n");
    for (int wide : {1, 0}) {
        TorvexUseMmx(wide);
        for (const auto& m : modes) {
            TorvexBlitter* b = TorvexBlitterCreate(m.flags);
            TorvexBlitterSetPalette(b, palette.data(), 0);
            char name[64];
            TorvexBlitterDescribe(b, name);
            int mode = TorvexBlitterMode(b);
            int pitch = w * (mode >= 6 ? 2 : 1) * (mode % 6 ? 2 : 1);
            int frames = 0;
            auto t0 = Clock::now();
            double s = 0;
            do {
                TorvexBlitterDraw(b, dest.data(), pitch, 0, 0, src.data(), w, 0, 0, w, h);
                ++frames;
                s = std::chrono::duration<double>(Clock::now() - t0).count();
            } while (s < 0.3);
            std::printf("%-32s %8.0f Mpixel/s\n", name, double(frames) * w * h / s / 1e6);
            TorvexBlitterFree(b);
        }
        int frames = 0;
        auto t0 = Clock::now();
        double s = 0;
        do {
            TorvexCopyKeyed(dest.data(), 0, src.data(), 0, w, h, 0);
            ++frames;
            s = std::chrono::duration<double>(Clock::now() - t0).count();
        } while (s < 0.3);
        std::printf("%-32s %8.0f Mpixel/s\n", wide ? "keyed copy (wide)" : "keyed copy", double(frames) * w * h / s / 1e6);
    }
    TorvexUseMmx(1);
    return 0;
}
