// The image core: allocation and release, the check, the row store, the flip, the grey rule.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image_test_util.h"
#include "kroutil/images/image_core.h"

using imgtest::Image;

namespace {

const KroBitmapInfoHeader& hdr(const ImageDescriptor& d) { return *static_cast<const KroBitmapInfoHeader*>(d.header); }

TEST(ImageAlloc, DepthsSizesAndDefaults) {
    struct Case {
        int32_t w, h, bits;
        int32_t result, bitCount, rowBytes, colors;
        bool grey;
    };
    const Case cases[] = {
        {1, 1, 1, IMG_OK, 1, 4, 2, true},
        {33, 2, 1, IMG_OK, 1, 8, 2, true},
        {5, 3, 4, IMG_OK, 8, 8, 256, true},  // 4 bits become 8
        {5, 3, 8, IMG_OK, 8, 8, 256, true},
        {5, 3, 16, IMG_OK, 16, 12, 0, true},
        {5, 3, 24, IMG_OK, 24, 16, 0, false},
        {5, 3, 32, IMGERR_DEPTH, 0, 0, 0, false},
        {5, 3, 2, IMGERR_DEPTH, 0, 0, 0, false},
        {0, 3, 8, IMGERR_AREA, 0, 0, 0, false},
        {5, -1, 8, IMGERR_AREA, 0, 0, 0, false},
        {-5, 3, 24, IMGERR_AREA, 0, 0, 0, false},
        {70000, 70000, 24, IMGERR_MEMORY, 0, 0, 0, false},     // 14.7 GB: 64-bit size, refused
        {INT32_MAX, 1, 24, IMGERR_MEMORY, 0, 0, 0, false},     // row size beyond 32 bits
        {46341, 46341, 8, IMGERR_MEMORY, 0, 0, 0, false},      // just above 2^31 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "x" << c.bits);
        ImageDescriptor d;
        std::memset(&d, 0x5A, sizeof d);
        ASSERT_EQ(allocimage(&d, c.w, c.h, c.bits), c.result);
        if (c.result != IMG_OK) {
            ImageDescriptor zero{};
            EXPECT_EQ(std::memcmp(&d, &zero, sizeof d), 0) << "a refused allocation leaves the descriptor cleared";
            continue;
        }
        EXPECT_EQ(hdr(d).size, 40u);
        EXPECT_EQ(hdr(d).bit_count, c.bitCount);
        EXPECT_EQ(hdr(d).width, c.w);
        EXPECT_EQ(hdr(d).height, c.h);
        EXPECT_EQ(hdr(d).size_image, uint32_t(c.rowBytes * c.h));
        EXPECT_EQ(hdr(d).clr_used, uint32_t(c.colors));
        EXPECT_EQ(d.row_bytes, c.rowBytes);
        EXPECT_EQ(d.colors, c.colors);
        EXPECT_EQ((d.flags & IMAGE_FLAG_GREY) != 0, c.grey);
        EXPECT_EQ(d.x1, 0);
        EXPECT_EQ(d.y1, 0);
        EXPECT_EQ(d.x2, c.w - 1);
        EXPECT_EQ(d.y2, c.h - 1);
        EXPECT_EQ(d.dib, nullptr);
        EXPECT_EQ(d.palette, static_cast<uint8_t*>(d.header) + 40);
        for (int32_t i = 0; i < c.colors; ++i) {
            const uint8_t level = uint8_t(c.bitCount == 1 ? i * 255 : i);
            EXPECT_EQ(d.palette[4 * i], level);
            EXPECT_EQ(d.palette[4 * i + 1], level);
            EXPECT_EQ(d.palette[4 * i + 2], level);
            EXPECT_EQ(d.palette[4 * i + 3], 0);
        }
        for (int32_t i = 0; i < c.rowBytes * c.h; ++i) ASSERT_EQ(d.pixels[i], 0) << "pixels start zeroed";
        EXPECT_EQ(freeimage(&d), 0);
    }
}

TEST(ImageAlloc, FreeReleasesOnlyItsOwnBlocks) {
    ImageDescriptor d{};
    ASSERT_EQ(allocimage(&d, 4, 4, 8), IMG_OK);
    ImageDescriptor copy = d;
    EXPECT_EQ(freeimage(&d), 0);
    EXPECT_EQ(d.header, nullptr);
    EXPECT_EQ(d.pixels, nullptr);
    EXPECT_NE(freeimage(&d), 0) << "second call: null header";
    EXPECT_NE(freeimage(&copy), 0) << "a stale copy names a block that is gone";
    KroBitmapInfoHeader foreign{};
    uint8_t pixels[16] = {};
    ImageDescriptor other{};
    other.header = &foreign;
    other.pixels = pixels;
    EXPECT_NE(freeimage(&other), 0) << "a header the library did not allocate";
    EXPECT_EQ(other.header, &foreign) << "and the descriptor is left alone";
    EXPECT_NE(freeimage(nullptr), 0);
}

TEST(ImageCheck, AreaRules) {
    struct Case {
        const char* what;
        int32_t bits, x1, y1, x2, y2;
        int32_t result;
        int32_t nx1, ny1, nx2, ny2;  // the area after the call
    };
    const Case cases[] = {
        {"whole image", 8, 0, 0, 9, 7, IMG_OK, 0, 0, 9, 7},
        {"reversed corners are swapped", 8, 9, 7, 2, 1, IMG_OK, 2, 1, 9, 7},
        {"negative corner", 8, -1, 0, 9, 7, IMGERR_AREA, -1, 0, 9, 7},
        {"negative after swapping", 8, 3, 2, 5, -4, IMGERR_AREA, 3, -4, 5, 2},
        {"right edge outside", 8, 0, 0, 10, 7, IMGERR_AREA, 0, 0, 10, 7},
        {"bottom edge outside", 24, 0, 0, 9, 8, IMGERR_AREA, 0, 0, 9, 8},
        {"depth outside the set", 16, 0, 0, 9, 7, IMGERR_DEPTH, 0, 0, 9, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image img(10, 8, c.bits);
        img.d.x1 = c.x1, img.d.y1 = c.y1, img.d.x2 = c.x2, img.d.y2 = c.y2;
        EXPECT_EQ(kroimg::checkImage(img.get(), kroimg::kDepthsBmpPcxGif), c.result);
        EXPECT_EQ(img.d.x1, c.nx1);
        EXPECT_EQ(img.d.y1, c.ny1);
        EXPECT_EQ(img.d.x2, c.nx2);
        EXPECT_EQ(img.d.y2, c.ny2);
    }
    Image img(10, 8, 8);
    ImageDescriptor d = img.d;
    d.pixels = nullptr;
    EXPECT_EQ(kroimg::checkImage(&d, kroimg::kDepthsBmpPcxGif), IMGERR_AREA);
    d = img.d;
    d.row_bytes = 9;
    EXPECT_EQ(kroimg::checkImage(&d, kroimg::kDepthsBmpPcxGif), IMGERR_AREA);
    static_cast<KroBitmapInfoHeader*>(img.d.header)->compression = 1;
    EXPECT_EQ(kroimg::checkImage(img.get(), kroimg::kDepthsBmpPcxGif), IMGERR_PACKED);
    static_cast<KroBitmapInfoHeader*>(img.d.header)->compression = 0;

    // 1-bit rows: 17 pixels need 3 bytes; 2 bytes (17 / 8 rounded down) is too few.
    Image mono(17, 2, 1);
    mono.d.row_bytes = 2;
    EXPECT_EQ(kroimg::checkImage(mono.get(), kroimg::kDepthsBmpPcxGif), IMGERR_AREA);
    mono.d.row_bytes = 3;
    EXPECT_EQ(kroimg::checkImage(mono.get(), kroimg::kDepthsBmpPcxGif), IMG_OK);
    mono.d.row_bytes = 4;
}

// A 1-bit row stored at any x1 and read back from there is unchanged, and the pixels around the
// area are left alone.
TEST(ImageRows, OneBitRealignmentAtEveryColumn) {
    std::mt19937 rng(7);
    for (int32_t width : {1, 7, 8, 9, 23, 64}) {
        for (int32_t x1 = 0; x1 < 17; ++x1) {
            SCOPED_TRACE(testing::Message() << "width " << width << " x1 " << x1);
            Image img(x1 + width + 11, 3, 1);
            // Surrounding bits set, so that an overwrite outside the area shows.
            for (int32_t i = 0; i < img.d.row_bytes * 3; ++i) img.d.pixels[i] = 0xFF;
            img.d.x1 = x1;
            img.d.x2 = x1 + width - 1;
            img.d.y1 = img.d.y2 = 1;
            std::vector<uint8_t> row(kroimg::packedRowBytes(width, 1));
            for (auto& b : row) b = uint8_t(rng());
            if (width % 8) row.back() &= uint8_t(0xFF00 >> (width % 8));
            kroimg::storeRow(img.get(), 1, row.data(), width);
            std::vector<uint8_t> back(row.size(), 0xEE);
            kroimg::loadRow(img.get(), 1, back.data());
            EXPECT_EQ(back, row);
            img.d.x1 = 0;
            img.d.x2 = hdr(img.d).width - 1;
            const auto all = imgtest::areaIndices(img.d);
            for (int32_t x = 0; x <= img.d.x2; ++x) {
                const bool inside = x >= x1 && x < x1 + width;
                if (!inside) EXPECT_EQ(all[x], 1) << "column " << x;
                else EXPECT_EQ(all[x], row[(x - x1) / 8] >> (7 - (x - x1) % 8) & 1);
            }
        }
    }
}

TEST(ImageRows, StoreKeepsToTheAreaWidth) {
    Image img(6, 2, 24);
    img.d.x1 = 2;
    img.d.x2 = 3;
    const uint8_t row[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    kroimg::storeRow(img.get(), 0, row, 4);
    const uint8_t* r = kroimg::rowPointer(img.get(), 0);
    const uint8_t want[18] = {0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(r, want, 18), 0);
}

TEST(ImageFlip, CopiesUpsideDownAlsoInPlace) {
    for (int bits : {1, 8, 24}) {
        SCOPED_TRACE(bits);
        Image a(13, 5, bits), b(13, 5, bits);
        for (int32_t i = 0; i < a.d.row_bytes * 5; ++i) a.d.pixels[i] = uint8_t(i * 37 + 1);
        const auto before = imgtest::areaRgb(a.d);
        ASSERT_EQ(kroimg::flipVertical(a.get(), b.get()), IMG_OK);
        const auto flipped = imgtest::areaRgb(b.d);
        ASSERT_EQ(kroimg::flipVertical(a.get(), a.get()), IMG_OK);
        EXPECT_EQ(imgtest::areaRgb(a.d), flipped);
        const size_t line = size_t(13) * 3;
        for (int y = 0; y < 5; ++y)
            EXPECT_EQ(std::memcmp(&flipped.pixels[y * line], &before.pixels[(4 - y) * line], line), 0) << "row " << y;
    }
    Image a(4, 4, 8), c(4, 4, 24);
    EXPECT_EQ(kroimg::flipVertical(a.get(), c.get()), IMGERR_DEPTH);
}

TEST(ImageGrey, RampRule) {
    struct Case {
        int bits;
        int step;
    };
    for (Case c : {Case{1, 255}, Case{2, 85}, Case{3, 36}, Case{4, 17}, Case{5, 8}, Case{6, 4}, Case{7, 2}, Case{8, 1}}) {
        SCOPED_TRACE(c.bits);
        std::vector<uint8_t> quads(4 << c.bits);
        for (int i = 0; i < 1 << c.bits; ++i) quads[4 * i] = quads[4 * i + 1] = quads[4 * i + 2] = uint8_t(i * c.step);
        EXPECT_TRUE(kroimg::isGreyTable(quads.data(), 1 << c.bits, c.bits));
        quads[4] ^= 1;
        EXPECT_FALSE(kroimg::isGreyTable(quads.data(), 1 << c.bits, c.bits));
    }
}

}  // namespace
