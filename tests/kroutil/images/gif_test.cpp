// GIF reading, counting and writing: the conformance files against independent readers, cut-off
// and hand-made data, and written files read back by us and by giftopnm.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "image_test_util.h"

using namespace imgtest;

namespace {

std::string gifPath(const std::string& name) { return testdata("gif/" + name); }

int32_t loadGifSized(const std::string& path, Image& img, GifInfo* info = nullptr) {
    GifInfo i{};
    if (int32_t e = gifinfo(path.c_str(), &i)) return e;
    if (info) *info = i;
    EXPECT_EQ(allocimage(img.get(), std::max(i.width, 1), std::max(i.height, 1), i.alloc_bits), IMG_OK);
    return loadgif(path.c_str(), img.get());
}

std::vector<std::string> suiteGifs() {
    std::vector<std::string> names;
    for (const char* dir : {"wuffs", "wuffs/artificial-gif", "libtiff"})
        for (const auto& e : std::filesystem::directory_iterator(gifPath(dir)))
            if (e.path().extension() == ".gif") names.push_back(std::string(dir) + "/" + e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A GIF file around LZW data of the given code size: a global table of 2^bits grey entries.
std::vector<uint8_t> gifAround(uint16_t w, uint16_t h, int bits, uint8_t codeSize, const std::vector<uint8_t>& lzw,
                               bool interlaced = false) {
    std::vector<uint8_t> f = {'G', 'I', 'F', '8', '9', 'a', uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8),
                              uint8_t(0x80 | (bits - 1)), 0, 0};
    for (int i = 0; i < (1 << bits); ++i) f.insert(f.end(), {uint8_t(i), uint8_t(i), uint8_t(i)});
    f.insert(f.end(), {',', 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), uint8_t(interlaced ? 0x40 : 0)});
    f.push_back(codeSize);
    for (size_t at = 0; at < lzw.size(); at += 255) {
        const size_t n = std::min<size_t>(255, lzw.size() - at);
        f.push_back(uint8_t(n));
        f.insert(f.end(), lzw.begin() + at, lzw.begin() + at + n);
    }
    f.push_back(0);
    f.push_back(';');
    return f;
}

// A plain LZW encoder of our own for fixtures: no clear code after the first, so that a long
// input fills the table and the rest goes on with 12-bit codes (the deferred clear).
std::vector<uint8_t> lzwWithoutReset(const std::vector<uint8_t>& pixels, int codeSize) {
    testsupport::LsbBitWriter out;
    const unsigned clear = 1u << codeSize;
    unsigned next = clear + 2, width = codeSize + 1;
    std::map<std::pair<int, int>, unsigned> table;
    out.put(clear, width);
    int cur = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        auto it = table.find({cur, pixels[i]});
        if (it != table.end()) {
            cur = int(it->second);
            continue;
        }
        out.put(unsigned(cur), width);
        if (next < 4096) {
            table[{cur, pixels[i]}] = next++;
            if (next > (1u << width) && width < 12) ++width;
        }
        cur = pixels[i];
    }
    out.put(unsigned(cur), width);
    if (next >= (1u << width) && width < 12) ++width;
    out.put(clear + 1, width);
    return out.bytes;
}

}  // namespace

TEST(GifSuite, EverySingleImageFileDecodesLikeGiftopnm) {
    IMGTEST_REQUIRE_TOOL("giftopnm");
    int compared = 0;
    for (const std::string& name : suiteGifs()) {
        SCOPED_TRACE(name);
        int32_t count = 0;
        if (CountGifImages(gifPath(name).c_str(), &count) != IMG_OK || count != 1) continue;
        Rgb expected;
        if (!rgbFromCommand("giftopnm " + quoted(gifPath(name)) + " 2>/dev/null", &expected)) continue;
        Image img;
        ASSERT_EQ(loadGifSized(gifPath(name), img), IMG_OK);
        EXPECT_EQ(maxDifference(areaRgb(img.d), expected), 0);
        ++compared;
    }
    EXPECT_GE(compared, 14);
}

TEST(GifSuite, ImageCountsMatchAnIndependentReader) {
    IMGTEST_REQUIRE_TOOL(kPython);
    for (const std::string& name : suiteGifs()) {
        SCOPED_TRACE(name);
        const std::string command = std::string(kPython) +
                                    " -c \"import sys;from PIL import Image;print(Image.open(sys.argv[1]).n_frames)\" " +
                                    quoted(gifPath(name)) + " 2>/dev/null";
        FILE* p = popen(command.c_str(), "r");
        ASSERT_NE(p, nullptr);
        int theirs = -1;
        const bool read = fscanf(p, "%d", &theirs) == 1;
        pclose(p);
        int32_t ours = -1;
        const int32_t r = CountGifImages(gifPath(name).c_str(), &ours);
        if (!read) {
            // A file without any image: nothing to count in it either way.
            EXPECT_TRUE(r != IMG_OK || ours == 0);
            continue;
        }
        ASSERT_EQ(r, IMG_OK);
        EXPECT_EQ(ours, theirs);
    }
    int32_t n = 0;
    ASSERT_EQ(CountGifImages(gifPath("wuffs/muybridge.gif").c_str(), &n), IMG_OK);
    EXPECT_EQ(n, 15);
}

TEST(GifSuite, InfoRecords) {
    struct Case {
        const char* name;
        int32_t transparent, interlaced, version;
    };
    const Case cases[] = {
        {"libtiff/palette-1c-8b.gif", -1, 0, 87},
        {"wuffs/artificial-gif/transparent-index.gif", -1, 0, 89},  // its first GCE sets no transparency
        {"wuffs/hippopotamus.masked-with-muybridge.gif", 0xD3, 0, 89},
        {"wuffs/hippopotamus.interlaced.gif", -1, 1, 89},
        {"wuffs/pjw-thumbnail.gif", -1, 0, 89},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GifInfo info{};
        ASSERT_EQ(gifinfo(gifPath(c.name).c_str(), &info), IMG_OK);
        EXPECT_EQ(info.transparent, c.transparent);
        EXPECT_EQ(info.interlaced, c.interlaced);
        EXPECT_EQ(info.version, c.version);
        EXPECT_EQ(info.alloc_bits, info.bits_per_pixel == 1 ? 1 : 8);
        EXPECT_GE(info.code_size, 2);
    }
    GifInfo one{};
    ASSERT_EQ(gifinfo(gifPath("wuffs/pjw-thumbnail.gif").c_str(), &one), IMG_OK);
    EXPECT_EQ(one.bits_per_pixel, 1);
    EXPECT_EQ(one.alloc_bits, 1);
    GifInfo info{};
    EXPECT_EQ(gifinfo(gifPath("wuffs/artificial-gif/no-frames.gif").c_str(), &info), IMGERR_NOT_GIF);
    EXPECT_EQ(gifinfo(testdata("pngsuite/basn0g01.png").c_str(), &info), IMGERR_NOT_GIF);
    EXPECT_EQ(gifinfo(gifPath("none.gif").c_str(), &info), IMGERR_OPEN);
}

TEST(GifRead, InterlacedEqualsRegularAlsoIntoAShortArea) {
    Image regular, interlaced;
    ASSERT_EQ(loadGifSized(gifPath("wuffs/hippopotamus.regular.gif"), regular), IMG_OK);
    ASSERT_EQ(loadGifSized(gifPath("wuffs/hippopotamus.interlaced.gif"), interlaced), IMG_OK);
    EXPECT_EQ(areaRgb(regular.d), areaRgb(interlaced.d));
    // Into an image of the top rows only: the later passes still bring the odd rows.
    const int32_t w = regular.d.x2 + 1;
    for (int32_t rows : {1, 2, 5, 10}) {
        SCOPED_TRACE(rows);
        Image top(w, rows, 8);
        std::memset(top.d.pixels, 0xEE, size_t(top.d.row_bytes) * rows);
        ASSERT_EQ(loadgif(gifPath("wuffs/hippopotamus.interlaced.gif").c_str(), top.get()), IMG_OK);
        regular.d.y2 = rows - 1;
        EXPECT_EQ(areaIndices(top.d), areaIndices(regular.d));
    }
}

TEST(GifRead, CutOffFilesKeepTheirRowsAndTable) {
    Image full;
    ASSERT_EQ(loadGifSized(gifPath("wuffs/hippopotamus.interlaced.gif"), full), IMG_OK);
    GifInfo info{};
    ASSERT_EQ(gifinfo(gifPath("wuffs/hippopotamus.interlaced.truncated.gif").c_str(), &info), IMG_OK);
    Image cut(info.width, info.height, 8);
    std::memset(cut.d.pixels, 0xEE, size_t(cut.d.row_bytes) * info.height);
    ASSERT_EQ(loadgif(gifPath("wuffs/hippopotamus.interlaced.truncated.gif").c_str(), cut.get()), IMGERR_TRUNCATED);
    EXPECT_EQ(cut.d.colors, full.d.colors);
    EXPECT_EQ(std::memcmp(cut.d.palette, full.d.palette, 4 * size_t(full.d.colors)), 0);
    // Every row is either the complete file's row or untouched.
    const auto a = areaIndices(cut.d), b = areaIndices(full.d);
    int decoded = 0, untouched = 0;
    for (int32_t y = 0; y < info.height; ++y) {
        const auto row = a.begin() + size_t(y) * info.width;
        if (std::equal(row, row + info.width, b.begin() + size_t(y) * info.width)) ++decoded;
        else if (std::all_of(row, row + info.width, [](uint8_t v) { return v == 0xEE; })) ++untouched;
        else ADD_FAILURE() << "row " << y << " is partly written";
    }
    EXPECT_GT(decoded, 0);
    EXPECT_GT(untouched, 0);
    // Files whose data stop short of the picture, or break off in bad codes.
    for (const char* name : {"pixel-data-none.gif", "pixel-data-not-enough.gif"}) {
        SCOPED_TRACE(name);
        Image img;
        EXPECT_EQ(loadGifSized(gifPath(std::string("wuffs/artificial-gif/") + name), img), IMGERR_TRUNCATED);
    }
    // Data going on past the picture are not needed and not read.
    Image more;
    EXPECT_EQ(loadGifSized(gifPath("wuffs/artificial-gif/pixel-data-too-much-bad-lzw.gif"), more), IMG_OK);
}

TEST(GifRead, HandMadeLzwStreams) {
    testsupport::TempDir dir;
    const std::string path = dir.file("h.gif");
    std::mt19937 rng(7);
    // Enough varied pixels to fill the table several times over without a clear code.
    std::vector<uint8_t> pixels(256 * 96);
    for (auto& p : pixels) p = uint8_t(rng() % 200);
    const auto deferred = lzwWithoutReset(pixels, 8);
    // clear, 1, 2, then code 7 > next free code 6 (code size 2: clear 4, end 5).
    testsupport::LsbBitWriter bad;
    for (unsigned c : {4u, 1u, 2u, 7u}) bad.put(c, 3);
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"deferred clear code", gifAround(256, 96, 8, 8, deferred), IMG_OK},
        {"code above the next free code", gifAround(256, 96, 2, 2, bad.bytes), IMGERR_TRUNCATED},
        {"data cut in the middle", gifAround(256, 96, 8, 8, std::vector<uint8_t>(deferred.begin(), deferred.begin() + 3000)),
         IMGERR_TRUNCATED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::writeFile(path, c.file);
        Image img(256, 96, 8);
        ASSERT_EQ(loadgif(path.c_str(), img.get()), c.result);
        if (c.result == IMG_OK) {
            EXPECT_EQ(areaIndices(img.d), pixels);
        }
    }
    // The fixture itself is a valid file for an independent reader.
    IMGTEST_REQUIRE_TOOL("giftopnm");
    testsupport::writeFile(path, gifAround(256, 96, 8, 8, deferred));
    Rgb theirs;
    ASSERT_TRUE(rgbFromCommand("giftopnm " + quoted(path), &theirs));
    for (size_t i = 0; i < pixels.size(); ++i) ASSERT_EQ(theirs.pixels[3 * i], pixels[i]) << i;
}

TEST(GifRead, OneBitTargetKeepsTheLowBit) {
    Image eight;
    ASSERT_EQ(loadGifSized(gifPath("wuffs/bricks-nodither.gif"), eight), IMG_OK);
    Image one(eight.d.x2 + 1, eight.d.y2 + 1, 1);
    ASSERT_EQ(loadgif(gifPath("wuffs/bricks-nodither.gif").c_str(), one.get()), IMG_OK);
    auto expected = areaIndices(eight.d);
    for (auto& v : expected) v &= 1;
    EXPECT_EQ(areaIndices(one.d), expected);
    Image rgb(8, 8, 24);
    EXPECT_EQ(loadgif(gifPath("wuffs/bricks-nodither.gif").c_str(), rgb.get()), IMGERR_DEPTH);
}

TEST(GifWrite, WrittenFilesReadBackIdentically) {
    IMGTEST_REQUIRE_TOOL("giftopnm");
    testsupport::TempDir dir;
    const std::string path = dir.file("w.gif");
    struct Case {
        const char* what;
        int32_t bits, width, height, x1;
        bool noise;
    };
    const Case cases[] = {
        {"8-bit noise (many table resets)", 8, 300, 200, 0, true},
        {"8-bit smooth, area at column 3", 8, 157, 33, 3, false},
        {"1-bit, area at column 5", 1, 203, 41, 5, true},
        {"1-bit single pixel", 1, 1, 1, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image img(c.width, c.height, c.bits);
        std::mt19937 rng(c.width);
        for (int32_t y = 0; y < c.height; ++y)
            for (int32_t i = 0; i < img.d.row_bytes; ++i)
                img.d.pixels[size_t(y) * img.d.row_bytes + i] = c.noise ? uint8_t(rng()) : uint8_t((i + y) / 9);
        for (int i = 0; i < img.d.colors; ++i) img.d.palette[4 * i + 1] = uint8_t(255 - i);  // not grey
        img.d.x1 = c.x1;
        ASSERT_EQ(WriteGifFile(path.c_str(), img.get()), IMG_OK);
        const auto file = testsupport::readFile(path);
        ASSERT_GT(file.size(), 13u);
        EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "GIF87a");
        EXPECT_EQ(file[10], c.bits == 1 ? 0x80 : 0xF7);
        const size_t table = 3u << (c.bits == 1 ? 1 : 8);
        EXPECT_EQ(file[13 + table + 10], c.bits == 1 ? 2 : 8);  // the code size byte
        // Sub-blocks of at most 254 bytes.
        for (size_t pos = 13 + table + 11; pos < file.size() && file[pos] != 0; pos += 1 + file[pos])
            EXPECT_LE(file[pos], 254);
        const Rgb expected = areaRgb(img.d);
        Rgb theirs;
        ASSERT_TRUE(rgbFromCommand("giftopnm " + quoted(path) + " 2>/dev/null | ppmtoppm", &theirs));
        EXPECT_EQ(maxDifference(theirs, expected), 0);
        Image back(c.width - c.x1, c.height, c.bits);
        ASSERT_EQ(loadgif(path.c_str(), back.get()), IMG_OK);
        EXPECT_EQ(areaIndices(back.d), areaIndices(img.d));
        EXPECT_EQ(std::memcmp(back.d.palette, img.d.palette, 4 * size_t(img.d.colors)), 0);
    }
}

TEST(GifWrite, RefusalsLeaveNoFile) {
    testsupport::TempDir dir;
    const std::string path = dir.file("no.gif");
    Image rgb(4, 4, 24);
    EXPECT_EQ(WriteGifFile(path.c_str(), rgb.get()), IMGERR_DEPTH);
    Image none(4, 4, 8);
    none.d.colors = 0;
    EXPECT_EQ(WriteGifFile(path.c_str(), none.get()), IMGERR_PARAMETER);
    Image many(4, 4, 1);
    many.d.colors = 3;
    EXPECT_EQ(WriteGifFile(path.c_str(), many.get()), IMGERR_AREA);
    EXPECT_FALSE(std::filesystem::exists(path));
}
