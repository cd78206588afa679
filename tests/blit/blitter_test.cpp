// Every blit mode against a plain per-pixel reference written from the mode's description, with
// the wide paths both on and off.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "codec/blit/blitter.h"

namespace {

struct Picture {
    int w, h;
    std::vector<uint8_t> px;
};

Picture randomPicture(int w, int h, unsigned seed, int colours = 256) {
    std::mt19937 rng(seed);
    Picture p{w, h, std::vector<uint8_t>(size_t(w) * h)};
    for (auto& v : p.px) v = uint8_t(rng() % unsigned(colours));
    return p;
}

std::vector<uint8_t> randomPalette(unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> pal(768);
    for (auto& v : pal) v = uint8_t(rng());
    return pal;
}

uint16_t pixel565(const uint8_t* c) { return uint16_t((c[0] >> 3) << 11 | (c[1] >> 2) << 5 | (c[2] >> 3)); }

// Reference 8-bit smoothing entry: brute-force nearest, ties to the lower red then lower index
// (the order in which a red-sorted scan meets equal distances).
uint8_t nearest(const std::vector<uint8_t>& pal, int r, int g, int b) {
    int best = 1 << 30, bi = 0;
    int bestRed = 256;
    for (int i = 0; i < 256; ++i) {
        int dr = pal[3 * i] - r, dg = pal[3 * i + 1] - g, db = pal[3 * i + 2] - b;
        int d = dr * dr + dg * dg + db * db;
        if (d < best || (d == best && (pal[3 * i] < bestRed))) {
            best = d;
            bi = i;
            bestRed = pal[3 * i];
        }
    }
    return uint8_t(bi);
}

TEST(Blitter, ModesAndNames) {
    struct Case {
        uint32_t flags;
        int mode;
        const char* name;
    } cases[] = {{0, 0, "8-bit 1x"},
                 {kBlit2x, 1, "8-bit 2x using MMX"},
                 {kBlit2x | kBlitInterlaced, 2, "8-bit 2x Interlaced using MMX"},
                 {kBlitSmooth | kBlitInterlaced, 3, "8-bit 2x Smoothing"},
                 {kBlit565, 6, "16-bit 1x"},
                 {kBlit555 | kBlit2x, 7, "16-bit 2x using MMX"},
                 {kBlit565 | kBlitInterlaced, 8, "16-bit 2x Interlaced using MMX"},
                 {kBlit565 | kBlitSmooth, 9, "16-bit 2x Smoothing"}};
    ASSERT_EQ(TorvexUseMmx(2), 1);
    for (const auto& c : cases) {
        TorvexBlitter* b = TorvexBlitterCreate(c.flags);
        ASSERT_NE(b, nullptr);
        char text[64];
        EXPECT_EQ(TorvexBlitterMode(b), c.mode);
        EXPECT_STREQ(TorvexBlitterDescribe(b, text), c.name);
        TorvexBlitterFree(b);
    }
    TorvexUseMmx(0);
    TorvexBlitter* b = TorvexBlitterCreate(kBlit2x);
    char text[64];
    EXPECT_STREQ(TorvexBlitterDescribe(b, text), "8-bit 2x");
    TorvexBlitterFree(b);
    TorvexUseMmx(1);
}

TEST(Blitter, PaletteChangesAndLayouts) {
    auto pal = randomPalette(3);
    TorvexBlitter* b = TorvexBlitterCreate(kBlit565);
    EXPECT_EQ(TorvexBlitterSetPalette(b, pal.data(), 0), 1u);  // the first palette always counts
    EXPECT_EQ(TorvexBlitterSetPalette(b, pal.data(), 0), 0u);
    // The same colours as blue-green-red-pad entries with 16-bit components: no change.
    std::vector<uint16_t> wide(256 * 4);
    for (int i = 0; i < 256; ++i) {
        wide[4 * i] = uint16_t(0xAB00 | pal[3 * i + 2]);
        wide[4 * i + 1] = uint16_t(0xCD00 | pal[3 * i + 1]);
        wide[4 * i + 2] = uint16_t(pal[3 * i]);
        wide[4 * i + 3] = 0x77;
    }
    EXPECT_EQ(TorvexBlitterSetPalette(b, wide.data(), kPal16BitComponents | kPalBlueFirst | kPalFourComponents), 0u);
    // Pad first, red first.
    std::vector<uint8_t> padded(1024);
    for (int i = 0; i < 256; ++i) {
        padded[4 * i] = 9;
        std::memcpy(&padded[4 * i + 1], &pal[3 * i], 3);
    }
    padded[1] ^= 1;  // one component differs
    EXPECT_EQ(TorvexBlitterSetPalette(b, padded.data(), kPalFourComponents | kPalPadFirst), 2u);
    TorvexBlitterFree(b);
    TorvexBlitter* plain = TorvexBlitterCreate(kBlit2x);
    EXPECT_EQ(TorvexBlitterSetPalette(plain, pal.data(), 0), 0u);  // no palette kept
    TorvexBlitterFree(plain);
}

TEST(Blitter, EveryModeMatchesTheReference) {
    auto pal = randomPalette(5);
    auto src = randomPicture(53, 29, 7);
    const int sx = 3, sy = 2, w = 37, h = 21, dx = 4, dy = 1;
    for (uint32_t flags : {0u, kBlit2x, kBlitInterlaced, kBlitSmooth, kBlit565, kBlit555 | kBlit2x, kBlit565 | kBlitInterlaced,
                           kBlit565 | kBlitSmooth}) {
        std::vector<std::vector<uint8_t>> results;
        for (int wideOn : {1, 0}) {
            TorvexUseMmx(wideOn);
            TorvexBlitter* b = TorvexBlitterCreate(flags);
            TorvexBlitterSetPalette(b, pal.data(), 0);
            int mode = TorvexBlitterMode(b);
            int bytes = mode >= 6 ? 2 : 1, scale = mode % 6 ? 2 : 1;
            int pitch = (dx + w) * scale * bytes + 6;
            std::vector<uint8_t> dest(size_t(pitch) * (dy + h) * scale, 0x5A);
            TorvexBlitterDraw(b, dest.data(), pitch, dx, dy, src.px.data(), src.w, sx, sy, w, h);
            // The reference.
            std::vector<uint8_t> want(dest.size(), 0x5A);
            auto put = [&](int x, int y, uint32_t v) {
                uint8_t* p = &want[size_t(y) * pitch + size_t(x) * bytes];
                if (bytes == 1) *p = uint8_t(v);
                else std::memcpy(p, &v, 2);
            };
            auto colour = [&](uint8_t i) -> uint32_t {
                if (bytes == 1) return i;
                return flags >= kBlit565 ? pixel565(&pal[3 * i])
                                         : uint32_t((pal[3 * i] >> 3) << 10 | (pal[3 * i + 1] >> 3) << 5 | (pal[3 * i + 2] >> 3));
            };
            auto smooth = [&](uint8_t a, uint8_t c) -> uint32_t {
                if (bytes == 1) {
                    if (a == c) return a;
                    return nearest(pal, (pal[3 * a] + pal[3 * c]) / 2, (pal[3 * a + 1] + pal[3 * c + 1]) / 2,
                                   (pal[3 * a + 2] + pal[3 * c + 2]) / 2);
                }
                uint8_t m[3];
                for (int k = 0; k < 3; ++k) m[k] = uint8_t(((pal[3 * a + k] & 0xFE) + (pal[3 * c + k] & 0xFE)) / 2);
                return pixel565(m);
            };
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    uint8_t p = src.px[size_t(sy + y) * src.w + sx + x];
                    uint8_t l = x ? src.px[size_t(sy + y) * src.w + sx + x - 1] : p;
                    uint8_t a = y ? src.px[size_t(sy + y - 1) * src.w + sx + x] : p;
                    int ox = (dx + x) * scale, oy = (dy + y) * scale;
                    switch (mode % 6) {
                        case 0: put(ox, oy, colour(p)); break;
                        case 1: put(ox, oy, colour(p)), put(ox + 1, oy, colour(p)), put(ox, oy + 1, colour(p)), put(ox + 1, oy + 1, colour(p)); break;
                        case 2: put(ox, oy, colour(p)), put(ox + 1, oy, colour(p)); break;
                        case 3:
                            put(ox, oy, smooth(l, a)), put(ox + 1, oy, smooth(p, a)), put(ox, oy + 1, smooth(p, l));
                            put(ox + 1, oy + 1, bytes == 1 ? p : smooth(p, p));
                            break;
                    }
                }
            ASSERT_EQ(dest, want) << "flags " << std::hex << flags << " wide " << wideOn;
            results.push_back(dest);
            TorvexBlitterFree(b);
        }
        EXPECT_EQ(results[0], results[1]);
    }
    TorvexUseMmx(1);
}

TEST(Blitter, OnePixelWideSmoothingUsesItselfAsLeftNeighbour) {
    std::vector<uint8_t> pal(768, 0);
    for (int i = 0; i < 256; ++i) pal[3 * i] = pal[3 * i + 1] = pal[3 * i + 2] = uint8_t(i);  // a grey ramp
    TorvexBlitter* b = TorvexBlitterCreate(kBlitSmooth);
    TorvexBlitterSetPalette(b, pal.data(), 0);
    const uint8_t column[3] = {10, 30, 50};
    uint8_t dest[2 * 6] = {};
    TorvexBlitterDraw(b, dest, 2, 0, 0, column, 1, 0, 0, 1, 3);
    // Row 0: A = P, L = P, so all four are P. Row 1: top = T[P][A] = 20, bottom-left = T[P][P].
    const uint8_t want[12] = {10, 10, 10, 10, 20, 20, 30, 30, 40, 40, 50, 50};
    EXPECT_EQ(std::vector<uint8_t>(dest, dest + 12), std::vector<uint8_t>(want, want + 12));
    TorvexBlitterFree(b);
}

TEST(PixelHelpers, KeyedCopiesAndColours) {
    auto src = randomPicture(40, 5, 1, 4), back = randomPicture(40, 5, 2), mask = randomPicture(40, 5, 3, 3);
    for (int wideOn : {1, 0}) {
        TorvexUseMmx(wideOn);
        std::vector<uint8_t> d1(200, 7), d2(200, 7), d3(200, 7), d4(200, 7);
        TorvexCopyKeyed(d1.data(), 0, src.px.data(), 0, 40, 5, 2);
        TorvexMergeKeyed(d2.data(), 0, src.px.data(), 0, 40, 5, 2, back.px.data());
        TorvexCopyKeyedMask(d3.data(), 0, src.px.data(), 0, 40, 5, 1, mask.px.data());
        TorvexCopyKeyed(d4.data(), 0, src.px.data(), 0, 40, 5, 99);  // no byte has the key
        for (size_t i = 0; i < 200; ++i) {
            ASSERT_EQ(d1[i], src.px[i] == 2 ? 7 : src.px[i]);
            ASSERT_EQ(d2[i], src.px[i] == 2 ? back.px[i] : src.px[i]);
            ASSERT_EQ(d3[i], mask.px[i] == 1 ? 7 : src.px[i]);
        }
        EXPECT_EQ(d4, src.px);
    }
    TorvexUseMmx(1);
    // Skips: a 3x2 rectangle inside 5-wide rows.
    const uint8_t s[10] = {1, 2, 3, 9, 9, 4, 5, 6, 9, 9};
    uint8_t d[10] = {};
    TorvexCopyRect(d, 2, s, 2, 3, 2);
    EXPECT_EQ(std::vector<uint8_t>(d, d + 10), (std::vector<uint8_t>{1, 2, 3, 0, 0, 4, 5, 6, 0, 0}));
    uint8_t r[5] = {1, 2, 1, 3, 1};
    TorvexReplaceByte(r, 5, 1, 8);
    EXPECT_EQ(std::vector<uint8_t>(r, r + 5), (std::vector<uint8_t>{8, 2, 8, 3, 8}));

    std::vector<uint8_t> pal(768, 128);
    for (int k = 0; k < 3; ++k) pal[30 + k] = pal[60 + k] = 255;  // entries 10 and 20 pure white
    EXPECT_EQ(TorvexBrightestColor(pal.data()), 20);
    for (int k = 0; k < 3; ++k) pal[15 + k] = pal[45 + k] = 0;  // entries 5 and 15 pure black
    EXPECT_EQ(TorvexDarkestColor(pal.data()), 5);
}

}  // namespace
