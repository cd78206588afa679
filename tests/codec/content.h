// Generated animations for the writer and round-trip tests: every block type, both full-block
// shortcuts, palettes that change by keeps, copies and literals.
#pragma once

#include <cstdint>
#include <vector>

namespace tvxtest {

struct Animation {
    uint32_t width = 0, height = 0;  // displayed
    std::vector<std::vector<uint8_t>> pixels;
    std::vector<std::vector<uint8_t>> palettes;
};

inline uint32_t nextRandom(uint32_t& s) {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
}

// Regions, by block column modulo 6: solid, two-colour, noise, fat pixels (2x2), paired rows, and
// a moving bar; the static background repeats between frames so skips occur.
// With `halved` the content is laid out for half the height and each row shown twice, as
// interlaced and doubled files store it.
inline Animation makeAnimation(uint32_t width, uint32_t displayedHeight, uint32_t frames, uint32_t seed = 7,
                               bool halved = false) {
    Animation a;
    a.width = width;
    a.height = displayedHeight;
    uint32_t height = halved ? displayedHeight / 2 : displayedHeight;
    uint32_t s = seed;
    std::vector<uint8_t> base(768);
    for (auto& v : base) v = uint8_t(nextRandom(s));
    for (uint32_t k = 0; k < frames; ++k) {
        std::vector<uint8_t> px(size_t(width) * height);
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                uint32_t bx = x / 4, by = y / 4;
                uint32_t region = (bx + by) % 6;
                bool moving = bx == (k * 2 + by) % (width / 4 + 1);
                uint8_t v;
                if (moving) v = uint8_t(200 + (x + y) % 3);
                else if (region == 0) v = uint8_t(bx * 7 + by);
                else if (region == 1) v = ((x * 3 + y * 5 + bx) % 4 == 0) ? uint8_t(10 + by) : uint8_t(40);
                else if (region == 2) v = (k % 3 == 0 || by % 2) ? uint8_t(nextRandom(s)) : uint8_t((x * y) % 251);
                else if (region == 3) v = uint8_t((x / 2) * 13 + (y / 2) * 29 + (k / 2) * 3);
                else if (region == 4) v = uint8_t(x * 17 + (y / 2) * 5 + (k % 2));
                else v = uint8_t(90 + (x % 4) * 2 + (k % 2));
                px[size_t(y) * width + x] = v;
            }
        }
        if (halved) {
            std::vector<uint8_t> shown(size_t(width) * displayedHeight, 0);
            for (uint32_t y = 0; y < displayedHeight; ++y)
                for (uint32_t x = 0; x < width; ++x) shown[size_t(y) * width + x] = px[size_t(y / 2) * width + x];
            px = shown;
        }
        a.pixels.push_back(px);
        std::vector<uint8_t> pal = base;
        if (k % 3 == 1) {
            // a rotated stretch (copies) and a few new colours (literals)
            for (int i = 0; i < 40; ++i)
                for (int c = 0; c < 3; ++c) pal[3 * (100 + i) + c] = base[3 * (101 + i + k % 5) + c];
            for (int i = 0; i < 3; ++i) pal[3 * (250 + i)] = uint8_t(nextRandom(s));
        }
        a.palettes.push_back(pal);
    }
    return a;
}

// The stored frame a looping player shows at play position k: 0 .. n-1, then with a ring frame
// (which shows frame 0) ring, 1 .. n-1, ring, ...; without one 0 .. n-1 again.
inline size_t sourceOf(size_t k, size_t n, bool ring) {
    if (!ring) return k % n;
    if (k < n) return k;
    return (k - n) % n;
}

}  // namespace tvxtest
