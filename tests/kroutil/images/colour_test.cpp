// Colour conversion between true colour and colour tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "image_test_util.h"

using imgtest::Image;
using imgtest::Rgb;

namespace {

void setPixel(ImageDescriptor& d, int32_t x, int32_t y, uint8_t r, uint8_t g, uint8_t b) {
    const auto* h = static_cast<const KroBitmapInfoHeader*>(d.header);
    uint8_t* p = d.pixels + int64_t(h->height - 1 - y) * d.row_bytes + 3 * x;
    p[0] = b, p[1] = g, p[2] = r;
}

// The photo of the PCX set as a 24-bit image.
void loadPhoto(Image& img) {
    const std::string path = imgtest::testdata("pcx/commons-imaging/oregon-small.pcx");
    ASSERT_EQ(allocimage(&img.d, 300, 225, 24), IMG_OK);
    ASSERT_EQ(loadpcx(path.c_str(), &img.d), IMG_OK);
}

double psnr(const Rgb& a, const Rgb& b) {
    double se = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) se += (double(a.pixels[i]) - b.pixels[i]) * (double(a.pixels[i]) - b.pixels[i]);
    return 10 * std::log10(255.0 * 255.0 / (se / double(a.pixels.size())));
}

TEST(ColourToTable, SingleColourFillsTheTable) {
    Image src(9, 5, 24), dst(9, 5, 8);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 9; ++x) setPixel(src.d, x, y, 200, 100, 50);
    ASSERT_EQ(convertrgbtopal(16, &src, &dst), IMG_OK);
    EXPECT_EQ(dst.d.colors, 16);
    EXPECT_FALSE(dst.d.flags & IMAGE_FLAG_GREY);
    // The cell's 5-bit values widened: 200 >> 3 = 25 -> 206, 100 >> 3 = 12 -> 99, 50 >> 3 = 6 -> 49.
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(dst.d.palette[4 * i + 2], 206) << i;
        EXPECT_EQ(dst.d.palette[4 * i + 1], 99) << i;
        EXPECT_EQ(dst.d.palette[4 * i + 0], 49) << i;
    }
    EXPECT_EQ(imgtest::areaIndices(dst.d), std::vector<uint8_t>(45, 0));
}

// A cell's count stops at 65534: here it decides a box's average. Four cells: C (0, 248, 0) and
// D (40, 248, 0) with 66000 pixels each, A (0, 0, 0) with 90000 and B (240, 0, 0) with 30000.
// Green has the widest range; C and D take the first box, A and B the second, whose red average
// is 30 * 30000 / (65534 + 30000) = 9 (uncapped it would be 7).
TEST(ColourToTable, CountCapWeighsTheAverage) {
    Image src(600, 420, 24), dst(600, 420, 8);
    int32_t k = 0;
    for (int y = 0; y < 420; ++y)
        for (int x = 0; x < 600; ++x, ++k) {
            if (k < 66000) setPixel(src.d, x, y, 0, 248, 0);
            else if (k < 132000) setPixel(src.d, x, y, 40, 248, 0);
            else if (k < 222000) setPixel(src.d, x, y, 0, 0, 0);
            else setPixel(src.d, x, y, 240, 0, 0);
        }
    ASSERT_EQ(convertrgbtopal(2, &src, &dst), IMG_OK);
    EXPECT_EQ(dst.d.palette[4 * 1 + 2], (9 << 3) | (9 >> 2));
    EXPECT_EQ(dst.d.palette[4 * 1 + 1], 0);
    // First box: red (0 + 5) / 2 = 2 -> 16, green 31 -> 255.
    EXPECT_EQ(dst.d.palette[4 * 0 + 2], 16);
    EXPECT_EQ(dst.d.palette[4 * 0 + 1], 255);
}

TEST(ColourToTable, PhotoAtSeveralSizes) {
    Image photo;
    loadPhoto(photo);
    const Rgb original = imgtest::areaRgb(photo.d);
    for (int32_t n : {2, 16, 256}) {
        SCOPED_TRACE(n);
        Image dst(300, 225, 8);
        ASSERT_EQ(convertrgbtopal(n, &photo, &dst), IMG_OK);
        EXPECT_EQ(dst.d.colors, n);
        const auto indices = imgtest::areaIndices(dst.d);
        for (uint8_t i : indices) ASSERT_LT(i, n);
        // One cell, one index: pixels that differ only in their three low bits per channel.
        std::map<uint32_t, uint8_t> byCell;
        for (size_t p = 0; p < indices.size(); ++p) {
            const uint8_t* c = &original.pixels[3 * p];
            const uint32_t cell = uint32_t(c[0] >> 3) << 10 | uint32_t(c[1] >> 3) << 5 | uint32_t(c[2] >> 3);
            auto [it, fresh] = byCell.emplace(cell, indices[p]);
            ASSERT_EQ(it->second, indices[p]) << "pixel " << p;
        }
        if (n == 256) {
            const double q = psnr(imgtest::areaRgb(dst.d), original);
            std::printf("photo at 256 colours: PSNR %.2f dB\n", q);
            EXPECT_GT(q, 30.0);
        }
    }
}

// With one pixel per colour cell no pixel meets the cache, so every index is the search's own
// answer: an entry at the smallest distance.
TEST(ColourToTable, SearchFindsTheNearestEntry) {
    std::mt19937 rng(5);
    Image src(64, 64, 24), dst(64, 64, 8);
    std::vector<uint32_t> cells(32768);
    for (uint32_t i = 0; i < cells.size(); ++i) cells[i] = i;
    std::shuffle(cells.begin(), cells.end(), rng);
    for (int i = 0; i < 4096; ++i) {
        const uint32_t c = cells[size_t(i)];
        setPixel(src.d, i % 64, i / 64, uint8_t((c >> 10) << 3 | rng() % 8), uint8_t((c >> 5 & 31) << 3 | rng() % 8),
                 uint8_t((c & 31) << 3 | rng() % 8));
    }
    for (int32_t n : {3, 37, 256}) {
        SCOPED_TRACE(n);
        ASSERT_EQ(convertrgbtopal(n, &src, &dst), IMG_OK);
        const Rgb in = imgtest::areaRgb(src.d);
        const auto idx = imgtest::areaIndices(dst.d);
        for (size_t p = 0; p < idx.size(); ++p) {
            auto dist = [&](int e) {
                int d = 0;
                for (int k = 0; k < 3; ++k) {
                    const int diff = int(in.pixels[3 * p + k]) - int(dst.d.palette[4 * e + 2 - k]);
                    d += diff * diff;
                }
                return d;
            };
            int best = INT32_MAX;
            for (int e = 0; e < n; ++e) best = std::min(best, dist(e));
            ASSERT_EQ(dist(idx[p]), best) << "pixel " << p;
        }
    }
}

TEST(ColourToTable, RefusalsAndCommonArea) {
    Image rgb(8, 8, 24), pal(8, 8, 8), pal2(8, 8, 8);
    struct Case {
        const char* what;
        int32_t n;
        ImageDescriptor* src;
        ImageDescriptor* dst;
        int32_t result;
    };
    const Case cases[] = {
        {"one colour", 1, &rgb, &pal, IMGERR_PARAMETER},
        {"257 colours", 257, &rgb, &pal, IMGERR_PARAMETER},
        {"8-bit source", 16, &pal2, &pal, IMGERR_DEPTH},
        {"24-bit destination", 16, &rgb, &rgb, IMGERR_DEPTH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(convertrgbtopal(c.n, c.src, c.dst), c.result);
    }
    ImageDescriptor noTable = pal.d;
    noTable.palette = nullptr;
    EXPECT_EQ(convertrgbtopal(16, &rgb, &noTable), IMGERR_AREA);
    EXPECT_EQ(convertpaltorgb(&noTable, &rgb), IMGERR_AREA);
    EXPECT_EQ(convertpaltorgb(&rgb, &rgb), IMGERR_DEPTH);
    EXPECT_EQ(convertpaltorgb(&pal, &pal2), IMGERR_DEPTH);

    // Areas of different sizes: only the common top-left part is written.
    Image photo;
    loadPhoto(photo);
    photo.d.x1 = 10, photo.d.y1 = 20, photo.d.x2 = 109, photo.d.y2 = 69;  // 100 x 50
    Image small(60, 80, 8);
    for (int32_t i = 0; i < small.d.row_bytes * 80; ++i) small.d.pixels[i] = 0xEE;
    small.d.x1 = 5, small.d.y1 = 3, small.d.x2 = 44, small.d.y2 = 77;  // 40 x 75
    ASSERT_EQ(convertrgbtopal(256, &photo, &small), IMG_OK);
    small.d.x1 = 0, small.d.y1 = 0, small.d.x2 = 59, small.d.y2 = 79;
    const auto idx = imgtest::areaIndices(small.d);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 60; ++x) {
            const bool inside = x >= 5 && x < 45 && y >= 3 && y < 53;
            if (!inside) ASSERT_EQ(idx[size_t(y) * 60 + x], 0xEE) << x << "," << y;
        }
}

TEST(TableToColour, ExactThroughTheTable) {
    std::mt19937 rng(9);
    Image src(37, 11, 8);
    for (int32_t i = 0; i < src.d.row_bytes * 11; ++i) src.d.pixels[i] = uint8_t(rng());
    for (int32_t i = 0; i < 1024; ++i) src.d.palette[i] = uint8_t(rng());
    src.d.x1 = 4, src.d.y1 = 2, src.d.x2 = 30, src.d.y2 = 9;
    Image dst(50, 20, 24);
    dst.d.x1 = 1, dst.d.y1 = 5, dst.d.x2 = 27, dst.d.y2 = 12;
    ASSERT_EQ(convertpaltorgb(&src, &dst), IMG_OK);
    EXPECT_EQ(imgtest::areaRgb(dst.d), imgtest::areaRgb(src.d));
    // And back: a table built from those colours maps each pixel to an entry of its colour.
    Image again(27, 8, 8);
    ASSERT_EQ(convertrgbtopal(256, &dst, &again), IMG_OK);
    EXPECT_GT(psnr(imgtest::areaRgb(again.d), imgtest::areaRgb(src.d)), 20.0);
}

}  // namespace
