// PCX reading and writing.
#include <gtest/gtest.h>

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

std::string pcx(const std::string& name) { return imgtest::testdata("pcx/commons-imaging/" + name); }

int32_t loadAsCaller(const std::string& path, Image& img) {
    PcxInfo info{};
    if (int32_t e = pcxinfo(path.c_str(), &info)) return e;
    if (int32_t e = allocimage(&img.d, info.width, info.height, info.alloc_bits)) return e;
    return loadpcx(path.c_str(), &img.d);
}

// Every file of the set loads or is refused as its layout says; what loads reads as an
// independent reader reads it (a version 3 file has no colour table of its own; ImageMagick then
// takes the header's colours anyway, PIL shows black and white as we do).
TEST(PcxLoad, LayoutsOfTheSet) {
    struct Case {
        const char* file;
        int32_t result;
        int32_t bits;
        bool pil = false;
    };
    const Case cases[] = {
        {"1plane1bppCompressed.pcx", IMG_OK, 1, true},
        {"1plane4bppCompressed.pcx", IMG_OK, 8},
        {"4plane1bppCompressed.pcx", IMG_OK, 8},
        {"1plane8bppCompressed.pcx", IMG_OK, 8},
        {"3plane8bppCompressed.pcx", IMG_OK, 24},
        {"oregon-small.pcx", IMG_OK, 24},
        {"1plane1bppUncompressed.pcx", IMGERR_NOT_PCX, 0},  // encoding byte 0
        {"1plane8bppUncompressed.pcx", IMGERR_NOT_PCX, 0},
        {"3plane8bppUncompressed.pcx", IMGERR_NOT_PCX, 0},
        {"1plane2bppCompressed.pcx", IMGERR_NOT_PCX, 0},
        {"2plane1bppCompressed.pcx", IMGERR_NOT_PCX, 0},
        {"3plane1bppCompressed.pcx", IMGERR_NOT_PCX, 0},
        {"1plane24bppCompressed.pcx", IMGERR_NOT_PCX, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Image img;
        ASSERT_EQ(loadAsCaller(pcx(c.file), img), c.result);
        if (c.result != IMG_OK) continue;
        EXPECT_EQ(static_cast<const KroBitmapInfoHeader*>(img.d.header)->bit_count, c.bits);
        if (!imgtest::haveTool(c.pil ? imgtest::kPython : imgtest::kConvert)) {
            if (testsupport::underCi()) ADD_FAILURE() << "missing oracle";
            continue;
        }
        Rgb ref;
        ASSERT_TRUE(imgtest::rgbFromCommand(c.pil ? imgtest::pilCommand(pcx(c.file)) : imgtest::convertCommand(pcx(c.file)), &ref));
        EXPECT_EQ(imgtest::maxDifference(imgtest::areaRgb(img.d), ref), 0);
    }
    PcxInfo info{};
    ASSERT_EQ(pcxinfo(pcx("4plane1bppCompressed.pcx").c_str(), &info), IMG_OK);
    EXPECT_EQ(info.version, 5);
    EXPECT_EQ(info.width, 10);
    EXPECT_EQ(info.height, 10);
    EXPECT_EQ(info.bits, 1);
    EXPECT_EQ(info.planes, 4);
    EXPECT_EQ(info.alloc_bits, 8);
    ASSERT_EQ(pcxinfo(pcx("oregon-small.pcx").c_str(), &info), IMG_OK);
    EXPECT_EQ(info.width, 300);
    EXPECT_EQ(info.height, 225);
    EXPECT_EQ(info.alloc_bits, 24);
}

// A hand-made file: 128-byte header, then the coded lines, then an optional tail.
std::vector<unsigned char> makePcx(int version, int bits, int planes, int xmin, int ymin, int xmax, int ymax, int bpl,
                                   const std::vector<uint8_t>& data, const std::vector<uint8_t>& tail = {},
                                   const std::vector<uint8_t>& headerColours = {}) {
    std::vector<unsigned char> f(128, 0);
    f[0] = 10, f[1] = uint8_t(version), f[2] = 1, f[3] = uint8_t(bits);
    bytes::store16le(&f[4], uint16_t(xmin));
    bytes::store16le(&f[6], uint16_t(ymin));
    bytes::store16le(&f[8], uint16_t(xmax));
    bytes::store16le(&f[10], uint16_t(ymax));
    std::copy(headerColours.begin(), headerColours.end(), f.begin() + 16);
    f[65] = uint8_t(planes);
    bytes::store16le(&f[66], uint16_t(bpl));
    f.insert(f.end(), data.begin(), data.end());
    f.insert(f.end(), tail.begin(), tail.end());
    return f;
}

TEST(PcxLoad, HeadersTablesAndRuns) {
    testsupport::TempDir dir;
    const std::string path = dir.file("t.pcx");
    PcxInfo info{};
    struct Bad {
        const char* what;
        std::vector<unsigned char> file;
    };
    const Bad bad[] = {
        {"reversed columns", makePcx(5, 8, 1, 5, 0, 4, 0, 2, {1, 2})},
        {"reversed rows", makePcx(5, 8, 1, 0, 3, 1, 2, 2, {1, 2})},
        {"line shorter than its pixels", makePcx(5, 8, 1, 0, 0, 3, 0, 2, {1, 2, 3, 4})},
        {"1-bit line too short", makePcx(5, 1, 1, 0, 0, 16, 0, 2, {1, 2, 3, 4})},
        {"2 planes of 8 bits", makePcx(5, 8, 2, 0, 0, 1, 0, 2, {1, 2, 3, 4})},
        {"no run-length coding", [] { auto f = makePcx(5, 8, 1, 0, 0, 1, 0, 2, {1, 2}); f[2] = 0; return f; }()},
        {"not a PCX", [] { auto f = makePcx(5, 8, 1, 0, 0, 1, 0, 2, {1, 2}); f[0] = 9; return f; }()},
        {"short header", std::vector<unsigned char>(100, 10)},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        testsupport::writeFile(path, b.file);
        EXPECT_EQ(pcxinfo(path.c_str(), &info), IMGERR_NOT_PCX);
        Image img(4, 4, 8);
        EXPECT_EQ(loadpcx(path.c_str(), &img), IMGERR_NOT_PCX);
    }

    // A run that reaches into the next line, and a literal byte below 192; 3 x 2 pixels with
    // 4 bytes a line.
    std::vector<uint8_t> tail(769, 0);
    tail[0] = 12;
    for (int i = 0; i < 256; ++i) tail[1 + 3 * i] = uint8_t(i), tail[2 + 3 * i] = uint8_t(255 - i), tail[3 + 3 * i] = 7;
    testsupport::writeFile(path, makePcx(5, 8, 1, 10, 20, 12, 21, 4, {0xC6, 0x55, 0x09, 0xC1, 0xC8}, tail));
    ASSERT_EQ(pcxinfo(path.c_str(), &info), IMG_OK);
    EXPECT_EQ(info.width, 3);
    EXPECT_EQ(info.height, 2);
    Image img(3, 2, 8);
    ASSERT_EQ(loadpcx(path.c_str(), &img), IMG_OK);
    EXPECT_EQ(imgtest::areaIndices(img.d), (std::vector<uint8_t>{0x55, 0x55, 0x55, 0x55, 0x55, 0x09}));
    EXPECT_EQ(img.d.colors, 256);
    EXPECT_EQ(img.d.palette[4 * 0x55 + 2], 0x55);  // red
    EXPECT_EQ(img.d.palette[4 * 0x55 + 1], 0xAA);  // green
    EXPECT_EQ(img.d.palette[4 * 0x55 + 0], 7);     // blue

    // Colour tables by version and layout.
    std::vector<uint8_t> header16(48);
    for (int i = 0; i < 48; ++i) header16[i] = uint8_t(i * 5);
    std::vector<uint8_t> equalPair(6, 9);
    struct TableCase {
        const char* what;
        std::vector<unsigned char> file;
        int32_t bits;
        int32_t colors;
        bool grey;
        uint8_t red1;  // red of entry 1
    };
    const TableCase tables[] = {
        {"version 3, 256 colours: grey", makePcx(3, 8, 1, 0, 0, 1, 0, 2, {1, 2}, tail), 8, 256, true, 1},
        {"version 5, 256 colours without the marker: header colours",
         makePcx(5, 8, 1, 0, 0, 1, 0, 2, {1, 2}, std::vector<uint8_t>(769, 1), header16), 8, 16, false, 15},
        {"version 5, 4 planes: header colours", makePcx(5, 1, 4, 0, 0, 1, 0, 2, {0, 0, 0, 0, 0, 0, 0, 0}, {}, header16), 8, 16,
         false, 15},
        {"version 3, 4 planes: built-in colours", makePcx(3, 1, 4, 0, 0, 1, 0, 2, {0, 0, 0, 0, 0, 0, 0, 0}), 8, 16, false, 0},
        {"version 2, 4 bits: header colours", makePcx(2, 4, 1, 0, 0, 1, 0, 2, {0x12, 0}, {}, header16), 8, 16, false, 15},
        {"version 5, 1 bit, two equal entries: grey", makePcx(5, 1, 1, 0, 0, 1, 0, 2, {0x80, 0}, {}, equalPair), 1, 2, true,
         255},
        {"version 5, 1 bit, two colours", makePcx(5, 1, 1, 0, 0, 1, 0, 2, {0x80, 0}, {}, header16), 1, 2, false, 15},
    };
    for (const TableCase& t : tables) {
        SCOPED_TRACE(t.what);
        testsupport::writeFile(path, t.file);
        Image im(2, 1, t.bits);
        ASSERT_EQ(loadpcx(path.c_str(), &im), IMG_OK);
        EXPECT_EQ(im.d.colors, t.colors);
        EXPECT_EQ((im.d.flags & IMAGE_FLAG_GREY) != 0, t.grey);
        EXPECT_EQ(im.d.palette[4 + 2], t.red1);
    }
    // The built-in 16 colours in full.
    testsupport::writeFile(path, makePcx(0, 4, 1, 0, 0, 1, 0, 2, {0x12, 0}));
    Image builtIn(2, 1, 8);
    ASSERT_EQ(loadpcx(path.c_str(), &builtIn), IMG_OK);
    const uint8_t expected[16][3] = {{0, 0, 0},      {0, 0, 168},    {0, 168, 0},    {0, 168, 168},
                                     {168, 0, 0},    {168, 0, 168},  {168, 84, 0},   {168, 168, 168},
                                     {84, 84, 84},   {84, 84, 252},  {84, 252, 84},  {84, 252, 252},
                                     {252, 84, 84},  {252, 84, 252}, {252, 252, 84}, {252, 252, 252}};
    for (int i = 0; i < 16; ++i)
        for (int k = 0; k < 3; ++k) EXPECT_EQ(builtIn.d.palette[4 * i + 2 - k], expected[i][k]) << i;
    EXPECT_EQ(imgtest::areaIndices(builtIn.d), (std::vector<uint8_t>{1, 2}));

    // The data end inside the second line: the first line stays, the call says so.
    testsupport::writeFile(path, makePcx(5, 8, 1, 0, 0, 1, 1, 2, {3, 4, 5}));
    Image cut(2, 2, 8);
    EXPECT_EQ(loadpcx(path.c_str(), &cut), IMGERR_TRUNCATED);
    EXPECT_EQ(imgtest::areaIndices(cut.d), (std::vector<uint8_t>{3, 4, 5, 0}));
    // Depth must fit the layout.
    Image wrong(3, 2, 24);
    testsupport::writeFile(path, makePcx(5, 8, 1, 0, 0, 1, 0, 2, {1, 2}));
    EXPECT_EQ(loadpcx(path.c_str(), &wrong), IMGERR_DEPTH);
}

TEST(PcxLoad, WorkingAreaTakesTheTopLeftPart) {
    Image whole;
    ASSERT_EQ(loadAsCaller(pcx("oregon-small.pcx"), whole), IMG_OK);
    const Rgb full = imgtest::areaRgb(whole.d);
    Image part(300, 225, 24);
    part.d.x1 = 7, part.d.y1 = 9, part.d.x2 = 106, part.d.y2 = 58;
    ASSERT_EQ(loadpcx(pcx("oregon-small.pcx").c_str(), &part), IMG_OK);
    const Rgb got = imgtest::areaRgb(part.d);
    for (int y = 0; y < 50; ++y) ASSERT_EQ(std::memcmp(&got.pixels[size_t(y) * 300], &full.pixels[size_t(y) * 900], 300), 0) << y;
}

TEST(PcxWrite, ReadsBackHereAndElsewhere) {
    struct Case {
        int32_t bits;
        int32_t colors;  // -1: keep the grey table; 0: no table
        int32_t w, h, x1, y1, x2, y2;
    };
    const Case cases[] = {
        {1, -1, 21, 5, 0, 0, 20, 4}, {1, 2, 40, 6, 3, 1, 30, 5},    {8, 16, 17, 5, 0, 0, 16, 4},
        {8, 256, 70, 9, 2, 3, 66, 8}, {8, 200, 64, 3, 0, 0, 63, 2}, {8, 0, 9, 4, 0, 0, 8, 3},
    };
    testsupport::TempDir dir;
    std::mt19937 rng(3);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, colours " << c.colors << ", from " << c.x1);
        Image img(c.w, c.h, c.bits);
        for (int32_t i = 0; i < img.d.row_bytes * c.h; ++i) img.d.pixels[i] = uint8_t(rng() % 3 ? rng() % 256 : 0xC0 + rng() % 64);
        if (c.colors >= 0) img.d.colors = c.colors;
        if (c.colors > 0)
            for (int32_t i = 0; i < 4 * c.colors; ++i) img.d.palette[i] = uint8_t(rng());
        if (c.bits == 8 && c.colors > 0)
            for (int32_t i = 0; i < img.d.row_bytes * c.h; ++i) img.d.pixels[i] = uint8_t(img.d.pixels[i] % c.colors);
        img.d.x1 = c.x1, img.d.y1 = c.y1, img.d.x2 = c.x2, img.d.y2 = c.y2;
        const std::string path = dir.file("w.pcx");
        ASSERT_EQ(WritePcxFile(path.c_str(), &img), IMG_OK);
        const auto file = testsupport::readFile(path);
        EXPECT_EQ(file[1], c.colors == 0 ? 3 : 5);
        if (c.bits == 8) {
            // Every 8-bit file ends with the marked 256-entry table, whatever its colour count.
            ASSERT_GE(file.size(), 128u + 769u);
            EXPECT_EQ(file[file.size() - 769], 12);
        }
        Image back;
        ASSERT_EQ(loadAsCaller(path, back), IMG_OK);
        EXPECT_EQ(imgtest::areaIndices(back.d), imgtest::areaIndices(img.d));
        const Rgb want = imgtest::areaRgb(img.d);
        if (c.colors != 0) EXPECT_EQ(imgtest::areaRgb(back.d), want);
        for (const std::string& tool : {std::string("pcxtoppm"), std::string(imgtest::kPython)}) {
            if (!imgtest::haveTool(tool)) {
                if (testsupport::underCi()) ADD_FAILURE() << "missing " << tool;
                continue;
            }
            if (c.colors == 0 && c.bits == 8) continue;  // no table of its own: readers differ
            if (c.bits == 1 && c.colors > 0 && tool != "pcxtoppm") continue;  // PIL shows 1-bit files black and white
            Rgb ref;
            ASSERT_TRUE(imgtest::rgbFromCommand(
                tool == "pcxtoppm" ? "pcxtoppm " + imgtest::quoted(path) + " 2>/dev/null" : imgtest::pilCommand(path), &ref))
                << tool;
            EXPECT_EQ(ref, want) << tool;
        }
    }
    Image rgb(4, 4, 24);
    EXPECT_EQ(WritePcxFile(dir.file("rgb.pcx").c_str(), &rgb), IMGERR_DEPTH);
    EXPECT_FALSE(std::filesystem::exists(dir.file("rgb.pcx")));
    Image grey16(4, 4, 16);
    EXPECT_EQ(WritePcxFile(dir.file("g16.pcx").c_str(), &grey16), IMGERR_DEPTH);
    EXPECT_FALSE(std::filesystem::exists(dir.file("g16.pcx")));
    Image ok(4, 4, 8);
    EXPECT_EQ(WritePcxFile(dir.file("none/x.pcx").c_str(), &ok), IMGERR_CREATE);
}

}  // namespace
