// BMP reading and writing, against the conformance suite and independent readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bytes/byte_order.h"
#include "image_test_util.h"
#include "tests/support/test_support.h"

using imgtest::Image;
using imgtest::Rgb;

namespace {

int32_t allocBitsFor(int32_t fileBits) { return fileBits == 1 ? 1 : fileBits <= 8 ? 8 : 24; }

// Loads a BMP the way a caller does: the header tells what to allocate.
int32_t loadAsCaller(const std::string& path, Image& img) {
    KroBitmapInfoHeader info{};
    if (int32_t e = bmpinfo(path.c_str(), &info)) return e;
    if (int32_t e = allocimage(&img.d, info.width, info.height, allocBitsFor(info.bit_count))) return e;
    return loadbmp(path.c_str(), &img.d);
}

std::string suite(const std::string& name) { return imgtest::testdata("bmp/bmpsuite/" + name); }

// A BMP file in memory: 14-byte file header, an info header of headerSize bytes (the 40-byte
// fields first), then `extra` (masks or colour table), then the pixel rows.
std::vector<unsigned char> makeBmp(int32_t w, int32_t h, int bits, uint32_t compression, uint32_t headerSize,
                                   const std::vector<uint8_t>& extra, const std::vector<uint8_t>& pixels) {
    std::vector<unsigned char> f(14 + headerSize);
    f[0] = 'B', f[1] = 'M';
    bytes::store32le(&f[10], uint32_t(14 + headerSize + extra.size()));
    bytes::store32le(&f[14], headerSize);
    bytes::store32le(&f[18], uint32_t(w));
    bytes::store32le(&f[22], uint32_t(h));
    bytes::store16le(&f[26], 1);
    bytes::store16le(&f[28], uint16_t(bits));
    bytes::store32le(&f[30], compression);
    f.insert(f.end(), extra.begin(), extra.end());
    f.insert(f.end(), pixels.begin(), pixels.end());
    bytes::store32le(&f[2], uint32_t(f.size()));
    return f;
}

// Every picture of the suite's good set reads as ImageMagick reads it, pixel for pixel; the two
// files with the 12-byte core header as well.
TEST(BmpLoad, GoodSuiteMatchesImageMagick) {
    IMGTEST_REQUIRE_TOOL(imgtest::kConvert);
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(suite("g"))) files.push_back(e.path().string());
    for (const char* core : {"bmp/libtiff/palette-1c-8b.bmp", "bmp/libtiff/rgb-3c-8b.bmp"}) files.push_back(imgtest::testdata(core));
    ASSERT_GE(files.size(), 29u);
    for (const auto& f : files) {
        SCOPED_TRACE(f);
        Image img;
        ASSERT_EQ(loadAsCaller(f, img), IMG_OK);
        Rgb ref;
        ASSERT_TRUE(imgtest::rgbFromCommand(imgtest::convertCommand(f), &ref));
        EXPECT_EQ(imgtest::maxDifference(imgtest::areaRgb(img.d), ref), 0);
    }
}

// The questionable and the bad sets: each file loads or is refused with its code, never more. A
// loaded file is compared with the independent reader that reads it (ImageMagick rounds n-bit
// fields by scaling where we widen by repeating bits, hence the small tolerances; some files are
// read differently by every reader and are only loaded).
TEST(BmpLoad, QuestionableAndBadFiles) {
    struct Case {
        const char* file;
        int32_t result;
        const char* oracle;  // "im", "pil" or "" (none agrees)
        int tolerance;
    };
    const Case cases[] = {
        {"q/pal1huffmsb.bmp", IMGERR_COMPRESSION, "", 0},  // Huffman-coded 1-bit data
        {"q/pal1p1.bmp", IMG_OK, "im", 0},
        {"q/pal2.bmp", IMGERR_DEPTH, "", 0},
        {"q/pal2color.bmp", IMGERR_DEPTH, "", 0},
        {"q/pal4rlecut.bmp", IMGERR_COMPRESSION, "", 0},  // RLE4 deltas are refused
        {"q/pal4rletrns.bmp", IMGERR_COMPRESSION, "", 0},
        {"q/pal8offs.bmp", IMG_OK, "im", 0},
        {"q/pal8os2-hs.bmp", IMG_OK, "pil", 0},
        {"q/pal8os2-sz.bmp", IMG_OK, "pil", 0},
        {"q/pal8os2sp.bmp", IMG_OK, "im", 0},
        {"q/pal8os2v2-16.bmp", IMG_OK, "im", 0},  // 16-byte header: the fields it lacks are 0
        {"q/pal8os2v2-40sz.bmp", IMG_OK, "pil", 0},
        {"q/pal8os2v2-sz.bmp", IMG_OK, "pil", 0},
        {"q/pal8os2v2.bmp", IMG_OK, "pil", 0},
        {"q/pal8oversizepal.bmp", IMG_OK, "", 0},
        {"q/pal8rlecut.bmp", IMG_OK, "", 0},
        {"q/pal8rletrns.bmp", IMG_OK, "im", 0},
        {"q/rgb16-231.bmp", IMG_OK, "", 0},
        {"q/rgb16-3103.bmp", IMG_OK, "", 0},
        {"q/rgb16faketrns.bmp", IMG_OK, "im", 0},
        {"q/rgb24jpeg.bmp", IMGERR_COMPRESSION, "", 0},
        {"q/rgb24largepal.bmp", IMG_OK, "im", 0},
        {"q/rgb24lprof.bmp", IMG_OK, "im", 0},
        {"q/rgb24png.bmp", IMGERR_COMPRESSION, "", 0},
        {"q/rgb24rle24.bmp", IMGERR_COMPRESSION, "", 0},
        {"q/rgb32-111110.bmp", IMG_OK, "im", 1},
        {"q/rgb32-7187.bmp", IMG_OK, "im", 2},
        {"q/rgb32-xbgr.bmp", IMG_OK, "im", 0},
        {"q/rgb32fakealpha.bmp", IMG_OK, "im", 0},
        {"q/rgb32h52.bmp", IMG_OK, "im", 0},
        {"q/rgba16-1924.bmp", IMG_OK, "", 0},
        {"q/rgba16-4444.bmp", IMG_OK, "", 0},
        {"q/rgba16-5551.bmp", IMG_OK, "im", 0},
        {"q/rgba32-1.bmp", IMG_OK, "im", 0},
        {"q/rgba32-1010102.bmp", IMG_OK, "im", 1},
        {"q/rgba32-2.bmp", IMG_OK, "im", 0},
        {"q/rgba32-61754.bmp", IMG_OK, "", 0},
        {"q/rgba32-81284.bmp", IMG_OK, "im", 1},
        {"q/rgba32abf.bmp", IMGERR_COMPRESSION, "", 0},
        {"q/rgba32h56.bmp", IMG_OK, "im", 0},
        {"q/rgba64.bmp", IMGERR_DEPTH, "", 0},
        {"b/badbitcount.bmp", IMGERR_DEPTH, "", 0},
        {"b/badbitssize.bmp", IMG_OK, "im", 0},
        {"b/baddens1.bmp", IMG_OK, "im", 0},
        {"b/baddens2.bmp", IMG_OK, "im", 0},
        {"b/badfilesize.bmp", IMG_OK, "pil", 0},
        {"b/badheadersize.bmp", IMG_OK, "im", 0},
        {"b/badpalettesize.bmp", IMG_OK, "", 0},
        {"b/badplanes.bmp", IMG_OK, "pil", 0},
        {"b/badrle.bmp", IMG_OK, "", 0},  // overrunning runs end the picture
        {"b/badrle4.bmp", IMG_OK, "", 0},
        {"b/badrle4bis.bmp", IMGERR_COMPRESSION, "", 0},
        {"b/badrle4ter.bmp", IMGERR_COMPRESSION, "", 0},
        {"b/badrlebis.bmp", IMG_OK, "", 0},
        {"b/badrleter.bmp", IMGERR_COMPRESSION, "", 0},
        {"b/badwidth.bmp", IMGERR_NOT_BMP, "", 0},
        {"b/pal8badindex.bmp", IMG_OK, "pil", 0},
        {"b/reallybig.bmp", IMGERR_MEMORY, "", 0},  // the caller's allocation is refused
        {"b/rgb16-880.bmp", IMG_OK, "im", 0},
        {"b/rletopdown.bmp", IMG_OK, "", 0},
        {"b/shortfile.bmp", IMGERR_TRUNCATED, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Image img;
        ASSERT_EQ(loadAsCaller(suite(c.file), img), c.result);
        const std::string oracle = c.oracle;
        if (oracle.empty()) continue;
        if (!imgtest::haveTool(oracle == "im" ? imgtest::kConvert : imgtest::kPython)) {
            if (testsupport::underCi()) ADD_FAILURE() << "missing oracle";
            continue;
        }
        Rgb ref;
        ASSERT_TRUE(imgtest::rgbFromCommand(
            oracle == "im" ? imgtest::convertCommand(suite(c.file)) : imgtest::pilCommand(suite(c.file)), &ref));
        const int diff = imgtest::maxDifference(imgtest::areaRgb(img.d), ref);
        EXPECT_GE(diff, 0);
        EXPECT_LE(diff, c.tolerance);
    }
    // The bad set is covered whole.
    size_t bad = 0;
    for (const auto& e : std::filesystem::directory_iterator(suite("b"))) bad += e.path().extension() == ".bmp";
    EXPECT_EQ(bad, size_t(std::count_if(std::begin(cases), std::end(cases), [](const Case& c) { return c.file[0] == 'b'; })));
}

TEST(BmpInfo, HeadersAreCompleted) {
    struct Case {
        const char* file;
        int32_t width, height, bits;
        uint32_t compression, used, important, sizeImage;
    };
    const Case cases[] = {
        {"bmp/libtiff/palette-1c-8b.bmp", 0, 0, 8, 0, 256, 256, 0},  // core header: sizes checked below
        {"bmp/bmpsuite/g/pal8os2.bmp", 127, 64, 8, 0, 256, 256, 128 * 64},
        {"bmp/bmpsuite/g/pal8topdown.bmp", 127, 64, 8, 0, 252, 252, 128 * 64},  // negative height made positive
        {"bmp/bmpsuite/g/pal4rle.bmp", 127, 64, 4, 2, 12, 12, 3734},
        {"bmp/bmpsuite/g/rgb24.bmp", 127, 64, 24, 0, 0, 0, 384 * 64},
        {"bmp/bmpsuite/g/pal8-0.bmp", 127, 64, 8, 0, 256, 256, 128 * 64},  // used 0 becomes 2^8
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        KroBitmapInfoHeader h{};
        ASSERT_EQ(bmpinfo(imgtest::testdata(c.file).c_str(), &h), IMG_OK);
        EXPECT_EQ(h.size, 40u);
        if (c.width) {
            EXPECT_EQ(h.width, c.width);
            EXPECT_EQ(h.height, c.height);
        } else {
            EXPECT_GT(h.width, 0);
            EXPECT_GT(h.height, 0);
        }
        EXPECT_EQ(h.bit_count, c.bits);
        EXPECT_EQ(h.compression, c.compression);
        EXPECT_EQ(h.clr_used, c.used);
        EXPECT_EQ(h.clr_important, c.important);
        if (c.sizeImage) EXPECT_EQ(h.size_image, c.sizeImage);
    }
    testsupport::TempDir dir;
    KroBitmapInfoHeader h{};
    EXPECT_EQ(bmpinfo(dir.file("missing.bmp").c_str(), &h), IMGERR_OPEN);
    testsupport::writeFile(dir.file("short.bmp"), {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0});
    EXPECT_EQ(bmpinfo(dir.file("short.bmp").c_str(), &h), IMGERR_NOT_BMP);
    auto notBm = makeBmp(2, 2, 24, 0, 40, {}, std::vector<uint8_t>(16));
    notBm[1] = 'A';
    testsupport::writeFile(dir.file("ba.bmp"), notBm);
    EXPECT_EQ(bmpinfo(dir.file("ba.bmp").c_str(), &h), IMGERR_NOT_BMP);
    testsupport::writeFile(dir.file("zero.bmp"), makeBmp(0, 2, 24, 0, 40, {}, std::vector<uint8_t>(16)));
    EXPECT_EQ(bmpinfo(dir.file("zero.bmp").c_str(), &h), IMGERR_NOT_BMP);
}

// Bit-field channels: (pixel AND mask) moved down, wider fields keep their top 8 bits, narrower
// ones repeat their bits, an empty mask gives 0. The masks are read right behind the first 40
// header bytes also when the header is longer (there they are part of it).
TEST(BmpLoad, BitFieldMasks) {
    struct Case {
        const char* what;
        int bits;
        uint32_t mask, value;
        uint8_t expected;
    };
    const Case cases[] = {
        {"5 bits, 31", 16, 0x7C00, 31u << 10, 255},
        {"5 bits, 16", 16, 0x7C00, 16u << 10, 132},
        {"6 bits, 32", 16, 0x07E0, 32u << 5, 130},
        {"6 bits, 63", 16, 0x07E0, 63u << 5, 255},
        {"3 bits, 5", 16, 0x0007, 5, 182},
        {"1 bit", 16, 0x8000, 0x8000, 255},
        {"empty mask", 16, 0, 0xFFFF, 0},
        {"10 bits keep the top 8", 32, 0x3FF00000, 0x2AAu << 20, 0xAA},
        {"8 bits", 32, 0xFF00, 0x7F00, 0x7F},
        {"4 bits", 32, 0xF, 0x9, 0x99},
        {"16 bits", 32, 0xFFFF0000, 0xFEDCu << 16, 0xFE},
    };
    testsupport::TempDir dir;
    for (uint32_t headerSize : {40u, 108u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << ", header " << headerSize);
            // The mask under test is the red one; green and blue take fixed fields of their own
            // that the value leaves at 0 where possible.
            std::vector<uint8_t> masks(12);
            bytes::store32le(&masks[0], c.mask);
            std::vector<uint8_t> extra;
            if (headerSize == 40) {
                extra = masks;
            }
            std::vector<uint8_t> pixels(4, 0);
            if (c.bits == 16) bytes::store16le(&pixels[0], uint16_t(c.value));
            else bytes::store32le(&pixels[0], c.value);
            auto file = makeBmp(1, 1, c.bits, 3, headerSize, extra, pixels);
            if (headerSize == 108) {
                std::copy(masks.begin(), masks.end(), file.begin() + 54);
                // Behind the longer header sit bytes that are no masks.
                file.insert(file.begin() + 14 + 108, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
                bytes::store32le(&file[10], 14 + 108 + 12);
            }
            testsupport::writeFile(dir.file("m.bmp"), file);
            Image img(1, 1, 24);
            ASSERT_EQ(loadbmp(dir.file("m.bmp").c_str(), &img), IMG_OK);
            EXPECT_EQ(img.d.pixels[2], c.expected) << "red";
            EXPECT_EQ(img.d.pixels[1], 0) << "green (empty mask)";
            EXPECT_EQ(img.d.pixels[0], 0) << "blue (empty mask)";
        }
    }
    // Without bit fields a 16-bit file is 5-5-5.
    std::vector<uint8_t> px(4);
    bytes::store16le(&px[0], uint16_t(31u << 10 | 16u << 5 | 1));
    testsupport::writeFile(dir.file("555.bmp"), makeBmp(1, 1, 16, 0, 40, {}, px));
    Image img(1, 1, 24);
    ASSERT_EQ(loadbmp(dir.file("555.bmp").c_str(), &img), IMG_OK);
    EXPECT_EQ(img.d.pixels[2], 255);
    EXPECT_EQ(img.d.pixels[1], 132);
    EXPECT_EQ(img.d.pixels[0], 8);
}

TEST(BmpLoad, DepthsColourTablesAndOrientation) {
    struct Case {
        const char* file;
        int32_t bits;
        int32_t result;
        int32_t colors;
        bool grey;
    };
    const Case cases[] = {
        {"g/pal4.bmp", 8, IMG_OK, 12, false},  // 4-bit pixels into an 8-bit image, entries 0-11 in use
        {"g/pal4gs.bmp", 8, IMG_OK, 12, false},
        {"g/pal8gs.bmp", 8, IMG_OK, 252, false},  // grey entries, but not the 256-level ramp
        {"g/pal1.bmp", 1, IMG_OK, 2, true},       // black and white: the 1-bit ramp
        {"g/pal1bg.bmp", 1, IMG_OK, 2, false},
        {"g/rgb24.bmp", 8, IMGERR_DEPTH, 256, true},
        {"g/pal8.bmp", 24, IMGERR_DEPTH, 0, false},
        {"g/pal8.bmp", 1, IMGERR_DEPTH, 2, true},
        {"g/rgb16.bmp", 24, IMG_OK, 0, false},
        {"g/rgb32.bmp", 24, IMG_OK, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Image img(127, 64, c.bits);
        ASSERT_EQ(loadbmp(suite(c.file).c_str(), &img), c.result);
        EXPECT_EQ(img.d.colors, c.colors);
        EXPECT_EQ((img.d.flags & IMAGE_FLAG_GREY) != 0, c.grey);
    }
    // A top-down file loads upright: the same pixels as its bottom-up twin.
    Image up(127, 64, 8), down(127, 64, 8);
    ASSERT_EQ(loadbmp(suite("g/pal8.bmp").c_str(), &up), IMG_OK);
    ASSERT_EQ(loadbmp(suite("g/pal8topdown.bmp").c_str(), &down), IMG_OK);
    EXPECT_EQ(imgtest::areaIndices(up.d), imgtest::areaIndices(down.d));
    // A file with the full grey ramp comes back grey-scale.
    testsupport::TempDir dir;
    Image grey(3, 2, 8);
    ASSERT_EQ(WriteBmpFile(dir.file("grey.bmp").c_str(), &grey, 0), IMG_OK);
    Image greyBack(3, 2, 8);
    greyBack.d.flags = 0;
    ASSERT_EQ(loadbmp(dir.file("grey.bmp").c_str(), &greyBack), IMG_OK);
    EXPECT_EQ(greyBack.d.colors, 256);
    EXPECT_TRUE(greyBack.d.flags & IMAGE_FLAG_GREY);
    Image noFile(4, 4, 8);
    EXPECT_EQ(loadbmp(suite("g/none.bmp").c_str(), &noFile), IMGERR_OPEN);
}

// The picture's top-left corner goes to (x1, y1) and only the area is written, for every decoding
// method, with a larger image (pixels around the area untouched) and with a smaller area (the
// picture's top-left part).
TEST(BmpLoad, WorkingArea) {
    struct Case {
        const char* file;
        int32_t bits;
    };
    const Case cases[] = {{"g/pal1.bmp", 1},  {"g/pal4.bmp", 8},       {"g/pal4rle.bmp", 8}, {"g/pal8.bmp", 8},
                          {"g/pal8rle.bmp", 8}, {"g/pal8topdown.bmp", 8}, {"g/rgb16.bmp", 24}, {"g/rgb24.bmp", 24},
                          {"g/rgb32bf.bmp", 24}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Image whole(127, 64, c.bits);
        ASSERT_EQ(loadbmp(suite(c.file).c_str(), &whole), IMG_OK);
        const Rgb full = imgtest::areaRgb(whole.d);
        for (int32_t x1 : {0, 3, 13}) {
            SCOPED_TRACE(x1);
            // Larger image: the picture at (x1, 5).
            Image big(140 + x1, 80, c.bits);
            for (int32_t i = 0; i < big.d.row_bytes * 80; ++i) big.d.pixels[i] = 0xA5;
            // Compared as stored values: the load replaces the colour table.
            auto stored = [&]() {
                if (c.bits == 24) return imgtest::areaRgb(big.d).pixels;
                return imgtest::areaIndices(big.d);
            };
            const auto before = stored();
            big.d.x1 = x1, big.d.y1 = 5, big.d.x2 = x1 + 126, big.d.y2 = 68;
            ASSERT_EQ(loadbmp(suite(c.file).c_str(), &big), IMG_OK);
            EXPECT_EQ(imgtest::areaRgb(big.d), full);
            big.d.x1 = 0, big.d.y1 = 0, big.d.x2 = 139 + x1, big.d.y2 = 79;
            const auto after = stored();
            const int32_t W = 140 + x1;
            const size_t per = c.bits == 24 ? 3 : 1;
            for (int32_t y = 0; y < 80; ++y)
                for (int32_t x = 0; x < W; ++x) {
                    if (x >= x1 && x < x1 + 127 && y >= 5 && y < 69) continue;
                    const size_t i = per * (size_t(y) * W + x);
                    ASSERT_EQ(std::memcmp(&after[i], &before[i], per), 0) << x << "," << y;
                }
            // Smaller area: the top-left 50 x 20 of the picture.
            Image small(127, 64, c.bits);
            small.d.x1 = x1, small.d.y1 = 2, small.d.x2 = x1 + 49, small.d.y2 = 21;
            ASSERT_EQ(loadbmp(suite(c.file).c_str(), &small), IMG_OK);
            const Rgb part = imgtest::areaRgb(small.d);
            for (int32_t y = 0; y < 20; ++y)
                ASSERT_EQ(std::memcmp(&part.pixels[size_t(y) * 150], &full.pixels[size_t(y) * 381], 150), 0) << y;
        }
    }
}

// Random pictures with runs of every length, so that RLE8 meets literal stretches, pairs and
// long runs.
void fillRandom(ImageDescriptor* d, uint32_t seed) {
    std::mt19937 rng(seed);
    const auto* h = static_cast<const KroBitmapInfoHeader*>(d->header);
    const size_t n = size_t(d->row_bytes) * size_t(h->height);
    for (size_t i = 0; i < n;) {
        const size_t run = rng() % 4 == 0 ? 1 + rng() % 300 : 1;
        const uint8_t v = uint8_t(rng() % 7 == 0 ? 0 : rng());
        for (size_t k = 0; k < run && i < n; ++k) d->pixels[i++] = v;
    }
    if (h->bit_count <= 8)
        for (int32_t i = 0; i < d->colors; ++i)
            for (int k = 0; k < 3; ++k) d->palette[4 * i + k] = uint8_t(rng());
}

TEST(BmpWrite, EveryDepthAndCodingReadsBack) {
    struct Case {
        int32_t bits;
        int32_t rle;
        int32_t w, h, x1, y1, x2, y2;
    };
    const Case cases[] = {
        {1, 0, 37, 9, 0, 0, 36, 8},   {1, 0, 70, 9, 5, 2, 47, 8},  {8, 0, 33, 7, 0, 0, 32, 6},
        {8, 0, 33, 7, 3, 1, 29, 5},   {24, 0, 31, 6, 0, 0, 30, 5}, {24, 0, 31, 6, 2, 1, 28, 4},
        {8, 1, 301, 7, 0, 0, 300, 6}, {8, 1, 45, 9, 6, 2, 40, 8},  {8, 1, 5, 3, 0, 0, 4, 2},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, rle " << c.rle << ", area from " << c.x1);
        Image img(c.w, c.h, c.bits);
        fillRandom(&img, uint32_t(c.w * 7 + c.bits));
        img.d.x1 = c.x1, img.d.y1 = c.y1, img.d.x2 = c.x2, img.d.y2 = c.y2;
        const Rgb want = imgtest::areaRgb(img.d);
        const std::string path = dir.file("w.bmp");
        ASSERT_EQ(WriteBmpFile(path.c_str(), &img, c.rle), IMG_OK);
        const auto file = testsupport::readFile(path);
        ASSERT_GE(file.size(), 54u);
        EXPECT_EQ(bytes::load32le(&file[2]), file.size());
        EXPECT_EQ(bytes::load32le(&file[30]), uint32_t(c.rle ? 1 : 0));
        EXPECT_EQ(bytes::load32le(&file[10]), 54u + 4 * bytes::load32le(&file[46]));
        Image back;
        ASSERT_EQ(loadAsCaller(path, back), IMG_OK);
        EXPECT_EQ(imgtest::areaRgb(back.d), want);
        if (c.bits <= 8) EXPECT_EQ(imgtest::areaIndices(back.d), imgtest::areaIndices(img.d));
        for (const std::string& tool : {std::string(imgtest::kPython), std::string(imgtest::kConvert)}) {
            if (!imgtest::haveTool(tool)) {
                if (testsupport::underCi()) ADD_FAILURE() << "missing " << tool;
                continue;
            }
            Rgb ref;
            ASSERT_TRUE(imgtest::rgbFromCommand(tool == imgtest::kPython ? imgtest::pilCommand(path) : imgtest::convertCommand(path), &ref))
                << tool;
            EXPECT_EQ(ref, want) << tool;
        }
        if (!imgtest::haveTool("bmptopnm")) {
            if (testsupport::underCi()) ADD_FAILURE() << "missing bmptopnm";
        } else if (c.rle == 0) {
            Rgb ref;
            ASSERT_TRUE(imgtest::rgbFromCommand("bmptopnm " + imgtest::quoted(path) + " 2>/dev/null | ppmtoppm", &ref));
            EXPECT_EQ(ref, want) << "bmptopnm";
        }
    }
}

TEST(BmpWrite, RefusalsLeaveNoFile) {
    struct Case {
        const char* what;
        int32_t bits;
        int32_t rle;
        int32_t result;
    };
    const Case cases[] = {
        {"RLE8 of a 24-bit image", 24, 1, IMGERR_COMPRESSION},
        {"RLE8 of a 1-bit image", 1, 1, IMGERR_COMPRESSION},
        {"a 16-bit image", 16, 0, IMGERR_DEPTH},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image img(8, 8, c.bits);
        const std::string path = dir.file("no.bmp");
        EXPECT_EQ(WriteBmpFile(path.c_str(), &img, c.rle), c.result);
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    Image img(8, 8, 8);
    EXPECT_EQ(WriteBmpFile(dir.file("no/such/dir.bmp").c_str(), &img, 0), IMGERR_CREATE);
    img.d.x2 = 8;
    EXPECT_EQ(WriteBmpFile(dir.file("area.bmp").c_str(), &img, 0), IMGERR_AREA);
    EXPECT_FALSE(std::filesystem::exists(dir.file("area.bmp")));
}

}  // namespace
