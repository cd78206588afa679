// JPEG reading and writing: pixels against the standard command-line decoder, bytes against its
// encoder, the refusals, partial files, areas, and the scalar and vector paths.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "image_test_util.h"
#include "kroutil/images/jpeg/jpeg_internal.h"
#include "kroutil/images/jpeg/jpeg_load.h"

namespace fs = std::filesystem;
using imgtest::Image;
using imgtest::Rgb;

namespace {

const std::string kDjpeg = "JSIMD_FORCENONE=1 djpeg -dct int -nosmooth ";

std::vector<uint8_t> readAll(const std::string& path) { return testsupport::readFile(path); }

// The peer's pixels; warnings (a file cut short) do not count as failure.
bool djpegPixels(const std::string& file, Rgb* out) {
    return imgtest::rgbFromCommand(kDjpeg + imgtest::quoted(file) + " 2>/dev/null; exit 0", out);
}
// The coefficients as the peer reads them, shown without the peer's smoothing of incomplete
// progressive pictures: the lossless transcoder writes them as a sequential file first.
bool djpegUnsmoothed(const std::string& file, Rgb* out) {
    return imgtest::rgbFromCommand("jpegtran -copy none " + imgtest::quoted(file) + " 2>/dev/null | " + kDjpeg, out);
}

struct Loaded {
    int32_t rc = 0;
    Rgb rgb;
};

// Loads a file into a fresh image of the size and depth jpeginfo reports, every pixel first set
// to `fill`.
Loaded loadFile(const std::string& path, uint8_t fill = 0x5A, bool scalar = false) {
    Loaded r;
    JpegInfo info;
    EXPECT_EQ(jpeginfo(path.c_str(), &info), IMG_OK) << path;
    Image img(info.width, info.height, info.alloc_bits);
    std::memset(img.d.pixels, fill, size_t(img.d.row_bytes) * size_t(info.height));
    torvex::jpeg::gForceScalar = scalar;
    r.rc = loadjpg(path.c_str(), &img);
    torvex::jpeg::gForceScalar = false;
    r.rgb = imgtest::areaRgb(img.d);
    return r;
}

std::vector<std::string> jpegFiles() {
    std::vector<std::string> files;
    for (auto& e : fs::recursive_directory_iterator(imgtest::testdata("jpeg"))) {
        std::string ext = e.path().extension().string();
        if (e.is_regular_file() && (ext == ".jpg" || ext == ".jpeg")) files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

// What the reader must answer for a file the Part refuses; IMG_OK for the files it decodes.
int32_t expectedRefusal(const std::string& f) {
    if (contains(f, "arithmetic/") || contains(f, "lossless_") || contains(f, "/ls/") || contains(f, "x12_") ||
        contains(f, "testimgari") || contains(f, "monkey12"))
        return IMGERR_BAD_JPEG;
    if (contains(f, "_dnl")) return IMGERR_AREA;  // height 0: the lines are counted at the end
    return IMG_OK;
}

}  // namespace

// Every decodable file of the conformance folders gives the standard decoder's pixels exactly,
// through loadjpg and LoadJpegMemory, on the scalar and the vector paths.
TEST(JpegRead, EveryConformanceFileMatchesTheStandardDecoder) {
    IMGTEST_REQUIRE_TOOL("djpeg");
    IMGTEST_REQUIRE_TOOL("jpegtran");
    int compared = 0;
    for (const std::string& f : jpegFiles()) {
        SCOPED_TRACE(f);
        const int32_t refusal = expectedRefusal(f);
        if (refusal != IMG_OK) {
            Image img(8, 8, 24);
            EXPECT_EQ(loadjpg(f.c_str(), &img), refusal);
            continue;
        }
        Loaded ours = loadFile(f);
        if (contains(f, "cmyk")) continue;  // a fourth component is ignored here: see FourComponents
        Rgb ref;
        if (contains(f, "progressive.scan") || contains(f, "progressive.truncated")) {
            ASSERT_TRUE(djpegUnsmoothed(f, &ref));
            EXPECT_EQ(ours.rc, contains(f, "truncated") ? IMGERR_TRUNCATED : IMG_OK);
            EXPECT_TRUE(ours.rgb == ref);
        } else if (contains(f, "default.truncated")) {
            continue;  // TruncatedBaselineKeepsItsCompleteMcus
        } else {
            ASSERT_TRUE(djpegPixels(f, &ref));
            EXPECT_EQ(ours.rc, IMG_OK);
            EXPECT_TRUE(ours.rgb == ref) << "max difference " << imgtest::maxDifference(ours.rgb, ref);
        }
        EXPECT_TRUE(loadFile(f, 0x5A, true).rgb == ours.rgb) << "scalar and vector paths differ";
        // The memory loader gives the same (its colour streams are always converted, which only
        // differs for the Adobe-marked red, green, blue files).
        if (!contains(f, "_rgb")) {
            std::vector<uint8_t> bytes = readAll(f);
            JpegInfo info;
            ASSERT_EQ(jpeginfo(f.c_str(), &info), IMG_OK);
            Image img(info.width, info.height, info.alloc_bits);
            std::memset(img.d.pixels, 0x5A, size_t(img.d.row_bytes) * size_t(info.height));
            EXPECT_EQ(LoadJpegMemory(bytes.data(), uint32_t(bytes.size()), &img), ours.rc);
            EXPECT_TRUE(imgtest::areaRgb(img.d) == ours.rgb);
        }
        ++compared;
    }
    EXPECT_GT(compared, 100);  // the folder was found and read
}

TEST(JpegRead, TruncatedBaselineKeepsItsCompleteMcus) {
    IMGTEST_REQUIRE_TOOL("djpeg");
    const std::string f = imgtest::testdata("jpeg/wuffs/peacock.default.truncated.jpeg");
    Loaded ours = loadFile(f, 0x5A);
    EXPECT_EQ(ours.rc, IMGERR_TRUNCATED);
    Rgb ref;
    ASSERT_TRUE(djpegPixels(f, &ref));
    ASSERT_EQ(ref.width, ours.rgb.width);
    const int w = ours.rgb.width, h = ours.rgb.height, mcu = 16;
    auto px = [&](const Rgb& p, int x, int y) { return &p.pixels[(size_t(y) * w + x) * 3]; };
    auto untouched = [&](int x, int y) { return px(ours.rgb, x, y)[0] == 0x5A && px(ours.rgb, x, y)[1] == 0x5A; };
    // Rows of complete MCU rows equal the peer; in the next MCU row a run of complete MCUs from
    // the left; everything after keeps its old value.
    int firstOpen = 0;
    while (firstOpen < h && !untouched(w - 1, firstOpen)) ++firstOpen;
    ASSERT_GT(firstOpen, 0);
    ASSERT_LT(firstOpen, h);
    EXPECT_EQ(firstOpen % mcu, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            bool stored = y < firstOpen || (y < firstOpen + mcu && !untouched(x - x % mcu, firstOpen));
            if (stored)
                ASSERT_EQ(std::memcmp(px(ours.rgb, x, y), px(ref, x, y), 3), 0) << x << "," << y;
            else
                ASSERT_TRUE(untouched(x, y)) << x << "," << y;
        }
}

// The four-component files load from their first three components, without conversion (their
// Adobe marker says so); the standard decoder turns CMYK into RGB instead, so the check is that
// every coding of the same picture gives the same pixels.
TEST(JpegRead, FourComponents) {
    const char* files[] = {"baseline/32x32x8_cmyk.jpg", "baseline/32x32x8_cmyk_interleaved.jpg",
                           "extended_huffman/32x32x8_cmyk.jpg", "progressive_huffman/32x32x8_cmyk.jpg",
                           "progressive_huffman/32x32x8_cmyk_interleaved.jpg"};
    Loaded first = loadFile(imgtest::testdata(std::string("jpeg/jpegsuite/") + files[0]));
    ASSERT_EQ(first.rc, IMG_OK);
    for (const char* f : files) {
        SCOPED_TRACE(f);
        Loaded l = loadFile(imgtest::testdata(std::string("jpeg/jpegsuite/") + f));
        EXPECT_EQ(l.rc, IMG_OK);
        EXPECT_TRUE(l.rgb == first.rgb);
    }
}

TEST(JpegInfoTest, HeadersAndFrameTypes) {
    struct Case {
        const char* file;
        int32_t rc, type, width, height, components, sampling0, bits;
    } cases[] = {
        {"wuffs/peacock.s2x2-420.jpeg", IMG_OK, 0, 100, 75, 3, 0x22, 24},
        {"wuffs/peacock.progressive.jpeg", IMG_OK, 2, 100, 75, 3, 0x22, 24},
        {"wuffs/peacock.grayscale.jpeg", IMG_OK, 0, 100, 75, 1, 0x11, 8},
        {"jpegsuite/extended_arithmetic/32x32x8_ycbcr.jpg", IMG_OK, 9, 32, 32, 3, 0x11, 24},
        {"jpegsuite/progressive_arithmetic/32x32x8_ycbcr.jpg", IMG_OK, 10, 32, 32, 3, 0x11, 24},
        {"jpegsuite/lossless_huffman/32x32x8_grayscale.jpg", IMG_OK, 3, 32, 32, 1, 0x11, 8},
        {"jpegsuite/baseline/32x32x8_dnl.jpg", IMG_OK, 0, 32, 0, 1, 0x11, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        JpegInfo info;
        ASSERT_EQ(jpeginfo(imgtest::testdata(std::string("jpeg/") + c.file).c_str(), &info), c.rc);
        EXPECT_EQ(info.frame_type, c.type);
        EXPECT_EQ(info.width, c.width);
        EXPECT_EQ(info.height, c.height);
        EXPECT_EQ(info.components, c.components);
        EXPECT_EQ(info.precision, 8);
        EXPECT_EQ(info.sampling[0], c.sampling0);
        EXPECT_EQ(info.alloc_bits, c.bits);
    }
    JpegInfo info;
    EXPECT_EQ(jpeginfo("/nonexistent/x.jpg", &info), IMGERR_OPEN);
}

namespace {

std::vector<uint8_t> peacock420() { return readAll(imgtest::testdata("jpeg/wuffs/peacock.s2x2-420.jpeg")); }

int32_t loadBytes(const std::vector<uint8_t>& bytes, int32_t bits, Rgb* rgb = nullptr, int w = 100, int h = 75) {
    Image img(w, h, bits);
    int32_t rc = LoadJpegMemory(bytes.data(), uint32_t(bytes.size()), &img);
    if (rgb) *rgb = imgtest::areaRgb(img.d);
    return rc;
}

// Offsets of the first segment with this marker code (at its 0xFF).
size_t findMarker(const std::vector<uint8_t>& b, uint8_t code) {
    for (size_t i = 2; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == code) return i;
    return std::string::npos;
}

}  // namespace

// Streams the reader refuses, each made from a good file by changing the bytes that matter.
TEST(JpegRead, RefusalsOfCraftedStreams) {
    const std::vector<uint8_t> good = peacock420();
    const std::vector<uint8_t> prog = readAll(imgtest::testdata("jpeg/wuffs/peacock.progressive.jpeg"));
    const size_t sof = findMarker(good, 0xC0), sos = findMarker(good, 0xDA);
    const size_t psos = findMarker(prog, 0xDA);
    ASSERT_NE(sof, std::string::npos);
    ASSERT_NE(psos, std::string::npos);
    const size_t pss = psos + 5 + 2 * prog[psos + 4];  // the first scan's spectral start
    struct Case {
        const char* what;
        bool progressive;
        size_t at;
        uint8_t value;
        int32_t rc;
    } cases[] = {
        {"12-bit precision", false, sof + 4, 12, IMGERR_BAD_JPEG},
        {"two components", false, sof + 9, 2, IMGERR_BAD_JPEG},
        {"height 0", false, sof + 5, 0, IMGERR_AREA},
        {"sampling factor 5", false, sof + 11, 0x51, IMGERR_BAD_JPEG},
        {"fractional ratio 3:2", false, sof + 14, 0x31, IMGERR_BAD_JPEG},
        {"undefined quantisation table", false, sof + 12, 3, IMGERR_BAD_JPEG},
        {"scan names an unknown component", false, sos + 5, 9, IMGERR_BAD_JPEG},
        {"scan uses an undefined Huffman table", false, sos + 6, 0x22, IMGERR_BAD_JPEG},
        {"lossless frame", false, sof + 1, 0xC3, IMGERR_BAD_JPEG},
        {"arithmetic frame", false, sof + 1, 0xC9, IMGERR_BAD_JPEG},
        {"DC scan ending above 0", true, pss + 1, 5, IMGERR_BAD_JPEG},
        {"low bit above 13", true, pss + 2, 0x0E, IMGERR_BAD_JPEG},
        {"refinement not by one bit", true, pss + 2, 0x20, IMGERR_BAD_JPEG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> b = c.progressive ? prog : good;
        b[c.at] = c.value;
        if (std::string(c.what) == "height 0") b[sof + 6] = 0;
        EXPECT_EQ(loadBytes(b, 24), c.rc);
    }
    // Not a stream at all, leading garbage, and the depth rules.
    std::vector<uint8_t> garbage = {'J', 'U', 'N', 'K'};
    garbage.insert(garbage.end(), good.begin(), good.end());
    Rgb a, b;
    EXPECT_EQ(loadBytes(garbage, 24, &a), IMG_OK);
    EXPECT_EQ(loadBytes(good, 24, &b), IMG_OK);
    EXPECT_TRUE(a == b);
    std::vector<uint8_t> noSoi(good.begin() + 2, good.end());
    EXPECT_EQ(loadBytes(noSoi, 24), IMGERR_BAD_JPEG);
    EXPECT_EQ(loadBytes(std::vector<uint8_t>(good.begin(), good.begin() + 300), 24), IMGERR_BAD_JPEG);
    EXPECT_EQ(loadBytes(good, 8), IMGERR_DEPTH);
    EXPECT_EQ(loadBytes(readAll(imgtest::testdata("jpeg/wuffs/peacock.grayscale.jpeg")), 24), IMGERR_DEPTH);
    Image img(100, 75, 24);
    EXPECT_EQ(LoadJpegMemory(nullptr, 10, &img), IMGERR_BAD_SOURCE);
}

namespace {

// One 8x8 grey block coded with a one-code DC table of the given counts and symbols and an AC
// table holding only the end of block; the scan is the one-bit DC code, one magnitude bit and
// the end of block.
std::vector<uint8_t> oneBlockGrey(const std::vector<uint8_t>& dcCounts, const std::vector<uint8_t>& dcSymbols) {
    std::vector<uint8_t> b = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    b.insert(b.end(), 64, 1);
    b.insert(b.end(), {0xFF, 0xC0, 0x00, 0x0B, 8, 0x00, 8, 0x00, 8, 1, 1, 0x11, 0});
    std::vector<uint8_t> dc = {0x00};
    dc.insert(dc.end(), dcCounts.begin(), dcCounts.end());
    dc.resize(17, 0);
    dc.insert(dc.end(), dcSymbols.begin(), dcSymbols.end());
    b.insert(b.end(), {0xFF, 0xC4, 0x00, uint8_t(2 + dc.size())});
    b.insert(b.end(), dc.begin(), dc.end());
    b.insert(b.end(), {0xFF, 0xC4, 0x00, 20, 0x10, 1});
    b.insert(b.end(), 15, 0);
    b.push_back(0x00);
    b.insert(b.end(), {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0, 0x5F, 0xFF, 0xD9});
    return b;
}

}  // namespace

// Huffman tables: counts that over-fill a code length are refused before their entries are laid
// out; a DC symbol above 15 is damaged data (the block is not stored) whether its code is short
// enough for the one-lookup path or not.
TEST(JpegRead, HuffmanTableRefusals) {
    struct Case {
        const char* what;
        std::vector<uint8_t> counts, symbols;
        int32_t rc;
    } cases[] = {
        {"a valid one-code table", {1}, {0x01}, IMG_OK},
        {"three codes of one bit", {3}, {0x01, 0x02, 0x03}, IMGERR_BAD_JPEG},
        {"five codes of two bits after none of one", {0, 5}, {1, 2, 3, 4, 5}, IMGERR_BAD_JPEG},
        {"DC symbol with a run nibble", {1}, {0x11}, IMGERR_TRUNCATED},
        {"DC symbol 16", {1}, {0x10}, IMGERR_TRUNCATED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image img(8, 8, 8);
        std::memset(img.d.pixels, 0x5A, size_t(img.d.row_bytes) * 8);
        std::vector<uint8_t> b = oneBlockGrey(c.counts, c.symbols);
        EXPECT_EQ(LoadJpegMemory(b.data(), uint32_t(b.size()), &img), c.rc);
        // The valid block's DC of +1 at quantiser 1 is a flat 128; a refused one stores nothing.
        EXPECT_EQ(img.d.pixels[0], c.rc == IMG_OK ? 128 : 0x5A);
    }
}

// Every prefix of a progressive and of a restart-coded file loads or fails cleanly; a cut after
// the headers is never reported as success for a sequential file.
TEST(JpegRead, EveryPrefixFailsCleanly) {
    for (const char* f : {"jpegsuite/progressive_huffman/32x32x8_ycbcr_2x2_1x1_1x1.jpg",
                          "jpegsuite/baseline/32x32x8_restarts.jpg", "jpegsuite/baseline/32x32x8_ycbcr.jpg"}) {
        SCOPED_TRACE(f);
        std::vector<uint8_t> whole = readAll(imgtest::testdata(std::string("jpeg/") + f));
        const bool progressive = contains(f, "progressive");
        JpegInfo info;
        ASSERT_EQ(jpeginfo(imgtest::testdata(std::string("jpeg/") + f).c_str(), &info), IMG_OK);
        for (size_t n = 1; n < whole.size(); ++n) {
            std::vector<uint8_t> part(whole.begin(), whole.begin() + n);
            Image img(32, 32, info.alloc_bits);
            int32_t rc = LoadJpegMemory(part.data(), uint32_t(part.size()), &img);
            if (progressive) {
                EXPECT_TRUE(rc == IMG_OK || rc == IMGERR_TRUNCATED || rc == IMGERR_BAD_JPEG) << n << ": " << rc;
            } else if (n + 2 < whole.size()) {
                EXPECT_TRUE(rc == IMGERR_TRUNCATED || rc == IMGERR_BAD_JPEG) << n << ": " << rc;
            }
        }
    }
}

// Areas: a smaller area is filled exactly; a larger one keeps its pixels outside the picture.
TEST(JpegRead, WorkingAreas) {
    const std::string f = imgtest::testdata("jpeg/wuffs/peacock.s2x2-420.jpeg");
    Loaded whole = loadFile(f);
    ASSERT_EQ(whole.rc, IMG_OK);
    struct Case {
        int imgW, imgH, x1, y1, x2, y2;
    } cases[] = {{60, 40, 5, 3, 41, 30}, {130, 90, 10, 7, 129, 89}, {100, 75, 0, 0, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.imgW);
        Image img(c.imgW, c.imgH, 24);
        std::memset(img.d.pixels, 0x33, size_t(img.d.row_bytes) * size_t(c.imgH));
        img.d.x1 = c.x1, img.d.y1 = c.y1, img.d.x2 = c.x2, img.d.y2 = c.y2;
        ASSERT_EQ(loadjpg(f.c_str(), &img), IMG_OK);
        img.d.x1 = 0, img.d.y1 = 0, img.d.x2 = c.imgW - 1, img.d.y2 = c.imgH - 1;
        Rgb all = imgtest::areaRgb(img.d);
        for (int y = 0; y < c.imgH; ++y)
            for (int x = 0; x < c.imgW; ++x) {
                int px = x - c.x1, py = y - c.y1;
                bool inside = x >= c.x1 && x <= c.x2 && y >= c.y1 && y <= c.y2 && px < 100 && py < 75;
                const uint8_t* got = &all.pixels[(size_t(y) * c.imgW + x) * 3];
                if (inside)
                    ASSERT_EQ(std::memcmp(got, &whole.rgb.pixels[(size_t(py) * 100 + px) * 3], 3), 0);
                else
                    ASSERT_TRUE(got[0] == 0x33 && got[1] == 0x33 && got[2] == 0x33) << x << "," << y;
            }
    }
}

// Where this reader and the standard tools differ on purpose.
TEST(JpegRead, ColourSpaceChoices) {
    IMGTEST_REQUIRE_TOOL("djpeg");
    testsupport::TempDir dir;
    std::vector<uint8_t> base = readAll(imgtest::testdata("jpeg/wuffs/peacock.s1x1-444.jpeg"));
    ASSERT_EQ(base[2], 0xFF);
    ASSERT_EQ(base[3], 0xE0);  // a JFIF file
    // JFIF with an Adobe marker, transform 0: red, green, blue here; the standard tools convert.
    const uint8_t app14[] = {0xFF, 0xEE, 0, 14, 'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 0};
    std::vector<uint8_t> marked(base.begin(), base.begin() + 2);
    marked.insert(marked.end(), app14, app14 + sizeof app14);
    marked.insert(marked.end(), base.begin() + 2, base.end());
    const std::string markedPath = dir.file("marked.jpg");
    testsupport::writeFile(markedPath, marked);
    Image raw(100, 75, 24);
    ASSERT_EQ(kroimg::loadJpegMemory(base.data(), uint32_t(base.size()), &raw, false), IMG_OK);
    Loaded l = loadFile(markedPath);
    EXPECT_EQ(l.rc, IMG_OK);
    EXPECT_TRUE(l.rgb == imgtest::areaRgb(raw.d));
    Rgb ref;
    ASSERT_TRUE(djpegPixels(markedPath, &ref));
    EXPECT_FALSE(l.rgb == ref);
    Rgb viaMemory;
    EXPECT_EQ(loadBytes(marked, 24, &viaMemory), IMG_OK);  // the memory loader always converts
    EXPECT_TRUE(viaMemory == ref);
    // Component identifiers 'R', 'G', 'B' without an Adobe marker stay YCbCr here.
    std::vector<uint8_t> ids = base;
    size_t sof = findMarker(ids, 0xC0), sos = findMarker(ids, 0xDA);
    for (int i = 0; i < 3; ++i) {
        ids[sof + 10 + 3 * i] = uint8_t("RGB"[i]);
        ids[sos + 5 + 2 * i] = uint8_t("RGB"[i]);
    }
    const std::string idsPath = dir.file("ids.jpg");
    testsupport::writeFile(idsPath, ids);
    Loaded asYcc = loadFile(idsPath);
    ASSERT_TRUE(djpegPixels(imgtest::testdata("jpeg/wuffs/peacock.s1x1-444.jpeg"), &ref));
    EXPECT_TRUE(asYcc.rgb == ref);
}

// The transform's 32-bit path agrees with the 64-bit one up to its bound (separable sign
// patterns at the bound drive every intermediate to its extreme), and vector paths agree with
// the scalar ones.
TEST(JpegTransform, PathsAgree) {
    using namespace torvex::jpeg;
    std::mt19937 rng(7);
    alignas(32) int32_t blk[64];
    uint8_t a[64], b[64], c[64];
    for (int pattern = 0; pattern < 256 * 4; ++pattern) {
        for (int r = 0; r < 8; ++r)
            for (int k = 0; k < 8; ++k) {
                int sr = (pattern >> r & 1) ? -1 : 1, sc = ((pattern * 37 >> k) & 1) ? -1 : 1;
                blk[r * 8 + k] = pattern < 256 ? 1024 * sr * sc : int32_t(rng() % 2049) - 1024;
            }
        idctBlockScalar(blk, a, 8, 1024);
        idctBlockScalar(blk, b, 8, 1u << 20);  // forces 64-bit arithmetic
        gForceScalar = false;
        idctBlock(blk, c, 8, 1024);
        ASSERT_EQ(std::memcmp(a, b, 64), 0) << pattern;
        ASSERT_EQ(std::memcmp(a, c, 64), 0) << pattern;
    }
    // Crafted huge coefficients: no overflow, and the range table's wrap as with exact arithmetic.
    for (int k = 0; k < 64; ++k) blk[k] = (k % 3 == 0) ? 2147385345 : -2147385345 + k;
    idctBlock(blk, a, 8, 2147385345u);
    std::vector<uint8_t> y(4099), cb(4099), cr(4099), o1(3 * 4099), o2(3 * 4099);
    for (size_t i = 0; i < y.size(); ++i) y[i] = uint8_t(rng()), cb[i] = uint8_t(rng()), cr[i] = uint8_t(rng());
    yccToBgrRowScalar(y.data(), cb.data(), cr.data(), o1.data(), int(y.size()));
    yccToBgrRow(y.data(), cb.data(), cr.data(), o2.data(), int(y.size()));
    EXPECT_EQ(o1, o2);
}

namespace {

void writePgm(const std::string& path, int w, int h, const std::vector<uint8_t>& grey) {
    std::string hdr = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    std::vector<uint8_t> bytes(hdr.begin(), hdr.end());
    bytes.insert(bytes.end(), grey.begin(), grey.end());
    testsupport::writeFile(path, bytes);
}

// A picture with smooth areas, edges and noise: a crop of the test photo, or made up.
Rgb makePicture(int w, int h, uint32_t seed) {
    Rgb p;
    p.width = w;
    p.height = h;
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int edge = (x / 13 + y / 7) % 2 ? 60 : 0;
            p.pixels.push_back(uint8_t((x * 255) / w / 2 + edge + rng() % 20));
            p.pixels.push_back(uint8_t((y * 255) / h / 2 + rng() % 30));
            p.pixels.push_back(uint8_t(((x + y) * 3) % 256));
        }
    return p;
}

}  // namespace

// Written files equal the standard encoder's bytes but for the JFIF minor version (byte 12), and
// read back identically through both decoders.
TEST(JpegWrite, BytesMatchTheStandardEncoder) {
    IMGTEST_REQUIRE_TOOL("cjpeg");
    IMGTEST_REQUIRE_TOOL("djpeg");
    testsupport::TempDir dir;
    Rgb photo;
    ASSERT_TRUE(imgtest::rgbFromCommand("cat " + imgtest::quoted(imgtest::testdata("jpeg/libjpeg-turbo/testorig.ppm")),
                                        &photo));
    struct Case {
        const char* name;
        int w, h;
        bool grey;
    } cases[] = {{"colour-64x48", 64, 48, false}, {"photo-224x144", 224, 144, false}, {"grey-37x29", 37, 29, true},
                 {"grey-photo-227x149", 227, 149, true}, {"colour-16x16", 16, 16, false}, {"grey-1x1", 1, 1, true}};
    for (const Case& c : cases) {
        Rgb pic = makePicture(c.w, c.h, uint32_t(c.w));
        if (contains(c.name, "photo")) {
            for (int y = 0; y < c.h; ++y)
                std::memcpy(&pic.pixels[size_t(y) * c.w * 3], &photo.pixels[size_t(y) * photo.width * 3], size_t(c.w) * 3);
        }
        Image img(c.w, c.h, c.grey ? 8 : 24);
        std::vector<uint8_t> grey;
        for (int y = 0; y < c.h; ++y) {
            uint8_t* row = img.d.pixels + size_t(c.h - 1 - y) * img.d.row_bytes;
            for (int x = 0; x < c.w; ++x) {
                const uint8_t* p = &pic.pixels[(size_t(y) * c.w + x) * 3];
                if (c.grey) {
                    row[x] = uint8_t((p[0] + p[1] * 2 + p[2]) / 4);
                    grey.push_back(row[x]);
                } else {
                    row[3 * x] = p[2], row[3 * x + 1] = p[1], row[3 * x + 2] = p[0];
                }
            }
        }
        const std::string src = dir.file(std::string(c.name) + (c.grey ? ".pgm" : ".ppm"));
        if (c.grey)
            writePgm(src, c.w, c.h, grey);
        else
            imgtest::writePpm(src, pic);
        for (int q : {2, 30, 75, 100}) {
            SCOPED_TRACE(std::string(c.name) + " q" + std::to_string(q));
            const std::string ours = dir.file("ours.jpg"), theirs = dir.file("theirs.jpg");
            ASSERT_EQ(WriteJpegFile(ours.c_str(), &img, q), IMG_OK);
            const std::string cmd = "cjpeg -dct int -quality " + std::to_string(q) + " " + imgtest::quoted(src) +
                                    " > " + imgtest::quoted(theirs) + " 2>/dev/null";
            ASSERT_EQ(std::system(cmd.c_str()), 0);
            std::vector<uint8_t> a = readAll(ours), b = readAll(theirs);
            ASSERT_EQ(a.size(), b.size());
            ASSERT_GT(a.size(), 12u);
            EXPECT_EQ(a[12], 2);
            a[12] = b[12];
            EXPECT_TRUE(a == b);
            Loaded back = loadFile(ours);
            EXPECT_EQ(back.rc, IMG_OK);
            Rgb ref;
            ASSERT_TRUE(djpegPixels(ours, &ref));
            EXPECT_TRUE(back.rgb == ref);
        }
    }
}

TEST(JpegWrite, TablesFramesAndRefusals) {
    testsupport::TempDir dir;
    const std::string f = dir.file("w.jpg");
    Image colour(40, 24, 24), grey(40, 24, 8);
    auto segments = [&](uint8_t code) {
        std::vector<uint8_t> b = readAll(f);
        int n = 0;
        for (size_t i = 2; i + 3 < b.size();) {
            if (b[i] != 0xFF) break;
            if (b[i + 1] == code) ++n;
            if (b[i + 1] == 0xDA) break;
            i += 2 + (size_t(b[i + 2]) << 8 | b[i + 3]);
        }
        return n;
    };
    // Quality 100 and above: every table entry 1.
    for (int q : {100, 250}) {
        ASSERT_EQ(WriteJpegFile(f.c_str(), &colour, q), IMG_OK);
        std::vector<uint8_t> b = readAll(f);
        size_t dqt = findMarker(b, 0xDB);
        EXPECT_EQ(b[dqt + 4], 0);
        EXPECT_TRUE(std::all_of(b.begin() + long(dqt) + 5, b.begin() + long(dqt) + 69, [](uint8_t v) { return v == 1; }));
    }
    // Quality 10: 16-bit tables and an extended sequential frame.
    ASSERT_EQ(WriteJpegFile(f.c_str(), &colour, 10), IMG_OK);
    std::vector<uint8_t> b = readAll(f);
    EXPECT_NE(findMarker(b, 0xC1), std::string::npos);
    EXPECT_EQ(findMarker(b, 0xC0), std::string::npos);
    EXPECT_EQ(b[findMarker(b, 0xDB) + 4], 0x10);
    // Grey: one component, the luminance tables only.
    ASSERT_EQ(WriteJpegFile(f.c_str(), &grey, 75), IMG_OK);
    EXPECT_EQ(segments(0xDB), 1);
    EXPECT_EQ(segments(0xC4), 2);
    JpegInfo info;
    ASSERT_EQ(jpeginfo(f.c_str(), &info), IMG_OK);
    EXPECT_EQ(info.components, 1);
    // A colour-mapped 8-bit image is written in colour.
    Image mapped(40, 24, 8);
    mapped.d.palette[4 * 7 + 2] = 200;  // entry 7: red
    mapped.d.flags = 0;
    std::memset(mapped.d.pixels, 7, size_t(mapped.d.row_bytes) * 24);
    ASSERT_EQ(WriteJpegFile(f.c_str(), &mapped, 90), IMG_OK);
    ASSERT_EQ(jpeginfo(f.c_str(), &info), IMG_OK);
    EXPECT_EQ(info.components, 3);
    EXPECT_EQ(segments(0xDB), 2);
    // Depths the writer refuses leave no file.
    std::remove(f.c_str());
    Image one(16, 16, 1), sixteen(16, 16, 16);
    EXPECT_EQ(WriteJpegFile(f.c_str(), &one, 75), IMGERR_DEPTH);
    EXPECT_EQ(WriteJpegFile(f.c_str(), &sixteen, 75), IMGERR_DEPTH);
    EXPECT_FALSE(fs::exists(f));
    EXPECT_EQ(WriteJpegFile(dir.file("no/such/dir.jpg").c_str(), &colour, 75), IMGERR_CREATE);
}

// The writer divides by multiplying with a reciprocal; that must round exactly as the division
// (a + d / 2) / d for every divisor its tables can give and every coefficient magnitude. Both
// sides are non-decreasing steps in a, so agreeing at both ends of every step is agreeing
// everywhere.
TEST(JpegWrite, ReciprocalQuantisationIsExact) {
    std::vector<uint32_t> divisors = {32767};
    for (uint32_t e = 1; e < 4096; ++e) divisors.push_back(8 * e);
    for (uint32_t d : divisors) {
        std::vector<uint32_t> points = {0, 32767};
        for (uint32_t b = d - d / 2; b <= 32767; b += d) points.insert(points.end(), {b - 1, b});
        for (uint32_t a : points)
            ASSERT_EQ(torvex::jpeg::quantiseMagnitude(a, d), (a + d / 2) / d) << "a=" << a << " d=" << d;
    }
}
