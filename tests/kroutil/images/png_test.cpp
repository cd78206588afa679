// PNG reading and writing: the conformance suite against an independent reader, damaged and
// hand-made files, and written files read back by us and by independent tools.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bytes/byte_order.h"
#include "image_test_util.h"
#include "kroutil/images/png_codec.h"

using namespace imgtest;

namespace {

// Runs a command printing a PNM picture (P4, P5 or P6; 16-bit samples keep their high byte) and
// returns it as RGB.
bool pnmFromCommand(const std::string& command, Rgb* out) {
    FILE* p = popen(command.c_str(), "r");
    if (!p) return false;
    std::vector<uint8_t> b;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) b.insert(b.end(), buf, buf + n);
    if (pclose(p) != 0) return false;
    size_t i = 0;
    auto token = [&]() {
        while (i < b.size() && (isspace(b[i]) || b[i] == '#')) {
            if (b[i] == '#')
                while (i < b.size() && b[i] != '\n') ++i;
            else
                ++i;
        }
        std::string t;
        while (i < b.size() && !isspace(b[i])) t += char(b[i++]);
        return t;
    };
    const std::string magic = token();
    const int w = std::atoi(token().c_str()), h = std::atoi(token().c_str());
    const int maxval = magic == "P4" ? 1 : std::atoi(token().c_str());
    ++i;
    if (w <= 0 || h <= 0 || maxval <= 0) return false;
    out->width = w;
    out->height = h;
    out->pixels.clear();
    if (magic == "P4") {
        const size_t rowBytes = (size_t(w) + 7) / 8;
        if (b.size() < i + rowBytes * h) return false;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t v = (b[i + y * rowBytes + x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
                out->pixels.insert(out->pixels.end(), {v, v, v});
            }
        return true;
    }
    const int channels = magic == "P6" ? 3 : magic == "P5" ? 1 : 0;
    const size_t bytesPer = maxval > 255 ? 2 : 1;
    if (!channels || b.size() < i + size_t(w) * h * channels * bytesPer) return false;
    for (size_t k = 0; k < size_t(w) * h; ++k)
        for (int c = 0; c < 3; ++c) {
            const size_t at = i + (k * channels + (channels == 3 ? c : 0)) * bytesPer;
            uint8_t v = b[at];
            if (bytesPer == 1 && maxval != 255) v = uint8_t(v * 255 / maxval);
            out->pixels.push_back(v);
        }
    return true;
}

std::string pilRgbCommand(const std::string& path) {
    return std::string(kPython) +
           " -c \"import sys;from PIL import Image;im=Image.open(sys.argv[1]).convert('RGB');"
           "sys.stdout.buffer.write(b'P6 %d %d 255\\n'%im.size+im.tobytes())\" " +
           quoted(path);
}

std::vector<std::string> suiteFiles(bool damaged) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(testdata("pngsuite"))) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() != ".png") continue;
        if ((name[0] == 'x') == damaged) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Loads a PNG into an image of the depth its record asks for.
int32_t loadPng(const std::string& path, Image& img, PngInfoRecord* rec = nullptr) {
    PngInfoRecord r{};
    if (int32_t e = PngInfo(path.c_str(), &r)) return e;
    if (rec) *rec = r;
    EXPECT_EQ(allocimage(img.get(), r.width, r.height, r.alloc_bits), IMG_OK);
    return LoadPngFile(path.c_str(), img.get());
}

// ---- hand-made files ---------------------------------------------------------------------------

void appendChunk(std::vector<uint8_t>& f, const char* type, const std::vector<uint8_t>& data) {
    uint8_t head[8];
    bytes::store32be(head, uint32_t(data.size()));
    std::memcpy(head + 4, type, 4);
    f.insert(f.end(), head, head + 8);
    f.insert(f.end(), data.begin(), data.end());
    uLong crc = crc32(0, head + 4, 4);
    if (!data.empty()) crc = crc32(crc, data.data(), uInt(data.size()));  // a null buffer resets the CRC
    uint8_t tail[4];
    bytes::store32be(tail, uint32_t(crc));
    f.insert(f.end(), tail, tail + 4);
}

std::vector<uint8_t> ihdr(uint32_t w, uint32_t h, uint8_t depth, uint8_t colorType, uint8_t interlace = 0) {
    std::vector<uint8_t> d(13, 0);
    bytes::store32be(d.data(), w);
    bytes::store32be(d.data() + 4, h);
    d[8] = depth;
    d[9] = colorType;
    d[12] = interlace;
    return d;
}

std::vector<uint8_t> zlibOf(const std::vector<uint8_t>& raw) {
    uLongf n = compressBound(uLong(raw.size()));
    std::vector<uint8_t> out(n);
    EXPECT_EQ(compress(out.data(), &n, raw.data(), uLong(raw.size())), Z_OK);
    out.resize(n);
    return out;
}

struct Chunk {
    const char* type;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> pngOf(const std::vector<Chunk>& chunks) {
    std::vector<uint8_t> f = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (const Chunk& c : chunks) appendChunk(f, c.type, c.data);
    return f;
}

// A 4x2 8-bit grey picture with filter None: rows 10 20 30 40 / 50 60 70 80.
const std::vector<uint8_t> kGreyRaw = {0, 10, 20, 30, 40, 0, 50, 60, 70, 80};

// Parses a file's chunks: (type, length) in order.
std::vector<std::pair<std::string, uint32_t>> chunkList(const std::vector<uint8_t>& f) {
    std::vector<std::pair<std::string, uint32_t>> out;
    for (size_t pos = 8; pos + 12 <= f.size();) {
        const uint32_t n = bytes::load32be(f.data() + pos);
        out.emplace_back(std::string(reinterpret_cast<const char*>(f.data() + pos + 4), 4), n);
        pos += 12 + size_t(n);
    }
    return out;
}

// The inflated image data of a file (all IDAT chunks joined).
std::vector<uint8_t> inflatedData(const std::vector<uint8_t>& f) {
    std::vector<uint8_t> z;
    for (size_t pos = 8; pos + 12 <= f.size();) {
        const uint32_t n = bytes::load32be(f.data() + pos);
        if (std::memcmp(f.data() + pos + 4, "IDAT", 4) == 0) z.insert(z.end(), f.begin() + pos + 8, f.begin() + pos + 8 + n);
        pos += 12 + size_t(n);
    }
    std::vector<uint8_t> out(1 << 24);
    uLongf n = uLongf(out.size());
    EXPECT_EQ(uncompress(out.data(), &n, z.data(), uLong(z.size())), Z_OK);
    out.resize(n);
    return out;
}

}  // namespace

// ---- the conformance suite -----------------------------------------------------------------------

TEST(PngSuite, EveryValidFileDecodesLikeAnIndependentReader) {
    IMGTEST_REQUIRE_TOOL("pngtopnm");
    IMGTEST_REQUIRE_TOOL(kPython);
    const auto files = suiteFiles(false);
    ASSERT_GT(files.size(), 150u);
    for (const std::string& name : files) {
        SCOPED_TRACE(name);
        const std::string path = testdata("pngsuite/" + name);
        Image img;
        PngInfoRecord rec{};
        ASSERT_EQ(loadPng(path, img, &rec), IMG_OK);
        // pngtopnm scales samples down to their significant bits when sBIT says there are fewer;
        // those files are compared with PIL, which keeps the stored samples as we do.
        const int sampleBits = rec.color_type == 3 ? 8 : rec.bit_depth;
        bool fewerBits = false;
        for (int i = 0; i < 4; ++i) {
            const uint8_t s = reinterpret_cast<const uint8_t*>(&rec.sbit)[i];
            fewerBits |= s != 0 && s < sampleBits;
        }
        Rgb expected;
        ASSERT_TRUE(pnmFromCommand(fewerBits ? pilRgbCommand(path) : "pngtopnm " + quoted(path) + " 2>/dev/null",
                                   &expected));
        EXPECT_EQ(maxDifference(areaRgb(img.d), expected), 0);
        // Palette layouts keep the file's indices and table; grey layouts get the grey ramp.
        EXPECT_EQ((img.d.flags & IMAGE_FLAG_GREY) != 0, rec.color_type == 0 || rec.color_type == 4);
    }
}

TEST(PngSuite, InterlacedFilesEqualTheirTwins) {
    int pairs = 0;
    for (const std::string& name : suiteFiles(false)) {
        if (name.compare(0, 4, "basi") != 0) continue;
        SCOPED_TRACE(name);
        Image a, b;
        ASSERT_EQ(loadPng(testdata("pngsuite/" + name), a), IMG_OK);
        ASSERT_EQ(loadPng(testdata("pngsuite/basn" + name.substr(4)), b), IMG_OK);
        EXPECT_EQ(areaRgb(a.d), areaRgb(b.d));
        ++pairs;
    }
    EXPECT_GE(pairs, 15);
}

TEST(PngSuite, EveryDamagedFileIsRefused) {
    const auto files = suiteFiles(true);
    ASSERT_GE(files.size(), 14u);
    for (const std::string& name : files) {
        SCOPED_TRACE(name);
        // Into the depth the file asks for when its chunks can be read at all.
        PngInfoRecord rec{};
        const bool described = PngInfo(testdata("pngsuite/" + name).c_str(), &rec) == IMG_OK;
        Image img(32, 32, described ? rec.alloc_bits : 8);
        EXPECT_EQ(LoadPngFile(testdata("pngsuite/" + name).c_str(), img.get()), IMGERR_BAD_PNG);
    }
}

TEST(PngInfoRecordTest, AncillaryChunksAndLayout) {
    PngInfoRecord r{};
    // 24-bit RGB with tRNS and bKGD colours and gAMA 1.0.
    ASSERT_EQ(PngInfo(testdata("pngsuite/tbrn2c08.png").c_str(), &r), IMG_OK);
    EXPECT_EQ(r.width, 32);
    EXPECT_EQ(r.layout, 5);
    EXPECT_EQ(r.alloc_bits, 24);
    EXPECT_EQ(r.samples, 3);
    EXPECT_EQ(r.file_pixel_bits, 24);
    EXPECT_EQ(r.file_row_bytes, 96);
    EXPECT_EQ(r.trns_seen, 1);
    EXPECT_EQ(r.trns_bytes, 6);
    uint16_t trns[3], bkgd[3];
    std::memcpy(trns, r.trns_data, 6);
    std::memcpy(bkgd, r.bkgd_data, 6);
    EXPECT_EQ(trns[0], 0xFF);
    EXPECT_EQ(trns[2], 0xFF);
    EXPECT_EQ(r.bkgd_seen, 1);
    EXPECT_EQ(r.bkgd_length, 6);
    EXPECT_EQ(bkgd[0], 0xFF);
    EXPECT_EQ(bkgd[1], 0);
    EXPECT_EQ(r.gamma, 100000);
    // pHYs 1x4 per unknown unit, and the layouts of sub-byte grey and interlaced palette files.
    ASSERT_EQ(PngInfo(testdata("pngsuite/cdfn2c08.png").c_str(), &r), IMG_OK);
    EXPECT_EQ(r.phys_x, 1);
    EXPECT_EQ(r.phys_y, 4);
    EXPECT_EQ(r.phys_unit, 0);
    EXPECT_EQ(r.trns_seen, 0);
    ASSERT_EQ(PngInfo(testdata("pngsuite/basn0g02.png").c_str(), &r), IMG_OK);
    EXPECT_EQ(r.layout, 1);
    EXPECT_EQ(r.alloc_bits, 8);
    EXPECT_EQ(r.file_row_bytes, 8);
    ASSERT_EQ(PngInfo(testdata("pngsuite/basi3p01.png").c_str(), &r), IMG_OK);
    EXPECT_EQ(r.layout, 7);
    EXPECT_EQ(r.alloc_bits, 1);
    EXPECT_EQ(r.interlaced, 1);
    // Palette tRNS: the index of the first entry with the smallest alpha.
    ASSERT_EQ(PngInfo(testdata("pngsuite/tbbn3p08.png").c_str(), &r), IMG_OK);
    EXPECT_EQ(r.trns_seen, 1);
    EXPECT_EQ(r.trns_data[0], 0);
}

// ---- hand-made files: the chunk rules and the image data's ends ---------------------------------

TEST(PngRead, DamagedAndUnusualFiles) {
    const auto idat = zlibOf(kGreyRaw);
    std::vector<uint8_t> unfinished;  // the stream flushed but never ended
    {
        z_stream z{};
        deflateInit(&z, 6);
        unfinished.resize(256);
        z.next_in = const_cast<Bytef*>(kGreyRaw.data());
        z.avail_in = uInt(kGreyRaw.size());
        z.next_out = unfinished.data();
        z.avail_out = 256;
        deflate(&z, Z_SYNC_FLUSH);
        unfinished.resize(256 - z.avail_out);
        deflateEnd(&z);
    }
    auto longer = kGreyRaw;
    longer.insert(longer.end(), {0, 1, 2, 3, 4});
    const std::vector<uint8_t> shorter(kGreyRaw.begin(), kGreyRaw.end() - 1);
    std::vector<uint8_t> trailing = idat;
    trailing.push_back(0);
    const std::vector<uint8_t> half1(idat.begin(), idat.begin() + 5), half2(idat.begin() + 5, idat.end());
    const auto grey = ihdr(4, 2, 8, 0);
    struct Case {
        const char* what;
        std::vector<Chunk> chunks;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"plain", {{"IHDR", grey}, {"IDAT", idat}, {"IEND", {}}}, IMG_OK},
        {"IDAT split over chunks, one empty", {{"IHDR", grey}, {"IDAT", half1}, {"IDAT", {}}, {"IDAT", half2}, {"IEND", {}}}, IMG_OK},
        {"unknown ancillary chunk", {{"IHDR", grey}, {"zzZz", {1, 2}}, {"IDAT", idat}, {"IEND", {}}}, IMG_OK},
        {"unknown critical chunk", {{"IHDR", grey}, {"ZZZZ", {1, 2}}, {"IDAT", idat}, {"IEND", {}}}, IMGERR_BAD_PNG},
        {"no IDAT", {{"IHDR", grey}, {"IEND", {}}}, IMGERR_BAD_PNG},
        {"no IEND", {{"IHDR", grey}, {"IDAT", idat}}, IMGERR_BAD_PNG},
        {"IHDR not first", {{"gAMA", {0, 1, 0x86, 0xA0}}, {"IHDR", grey}, {"IDAT", idat}, {"IEND", {}}}, IMGERR_BAD_PNG},
        {"palette image without PLTE", {{"IHDR", ihdr(4, 2, 8, 3)}, {"IDAT", idat}, {"IEND", {}}}, IMGERR_BAD_PNG},
        {"data end before the last row", {{"IHDR", grey}, {"IDAT", zlibOf(shorter)}, {"IEND", {}}}, IMGERR_BAD_PNG},
        {"data go on after the last row", {{"IHDR", grey}, {"IDAT", zlibOf(longer)}, {"IEND", {}}}, IMGERR_BAD_PNG},
        {"stream never ends", {{"IHDR", grey}, {"IDAT", unfinished}, {"IEND", {}}}, IMGERR_BAD_PNG},
        {"bytes behind the stream", {{"IHDR", grey}, {"IDAT", trailing}, {"IEND", {}}}, IMGERR_BAD_PNG},
        {"IDAT chain broken by another chunk", {{"IHDR", grey}, {"IDAT", half1}, {"tEXt", {'a', 0, 'b'}}, {"IDAT", half2}, {"IEND", {}}}, IMGERR_BAD_PNG},
        {"rows above 2^31 bytes", {{"IHDR", ihdr(0x40000000, 4, 16, 6)}, {"IDAT", idat}, {"IEND", {}}}, IMGERR_BAD_PNG},
        {"grey with alpha at 4 bits, a pair that does not exist", {{"IHDR", ihdr(4, 2, 4, 4)}, {"IDAT", idat}, {"IEND", {}}}, IMGERR_BAD_PNG},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.file("case.png");
        testsupport::writeFile(path, pngOf(c.chunks));
        Image img(4, 2, 8);
        ASSERT_EQ(LoadPngFile(path.c_str(), img.get()), c.result);
        if (c.result == IMG_OK) {
            EXPECT_EQ(areaIndices(img.d), std::vector<uint8_t>({10, 20, 30, 40, 50, 60, 70, 80}));
        }
    }
}

TEST(PngRead, CrcOfEveryChunkIsChecked) {
    const auto idat = zlibOf(kGreyRaw);
    const std::vector<uint8_t> half1(idat.begin(), idat.begin() + 5), half2(idat.begin() + 5, idat.end());
    const auto file = pngOf({{"IHDR", ihdr(4, 2, 8, 0)}, {"gAMA", {0, 1, 0x86, 0xA0}}, {"IDAT", half1}, {"IDAT", half2}, {"IEND", {}}});
    testsupport::TempDir dir;
    const std::string path = dir.file("crc.png");
    // The CRC's last byte of each chunk in turn.
    size_t pos = 8;
    for (const auto& [type, length] : chunkList(file)) {
        SCOPED_TRACE(type);
        auto bad = file;
        bad[pos + 8 + length + 3] ^= 1;
        testsupport::writeFile(path, bad);
        Image img(4, 2, 8);
        EXPECT_EQ(LoadPngFile(path.c_str(), img.get()), IMGERR_BAD_PNG);
        pos += 12 + length;
    }
}

TEST(PngRead, PaletteIndicesBeyondThePaletteReadAsEntryZero) {
    // Two entries, pixels 0, 1, 2, 255.
    const auto file = pngOf({{"IHDR", ihdr(4, 1, 8, 3)},
                             {"PLTE", {10, 20, 30, 40, 50, 60}},
                             {"IDAT", zlibOf({0, 0, 1, 2, 255})},
                             {"IEND", {}}});
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("p.png"), file);
    Image img(4, 1, 8);
    ASSERT_EQ(LoadPngFile(dir.file("p.png").c_str(), img.get()), IMG_OK);
    EXPECT_EQ(areaIndices(img.d), std::vector<uint8_t>({0, 1, 0, 0}));
    EXPECT_EQ(img.d.colors, 2);
    EXPECT_EQ(img.d.palette[4], 60);  // entry 1: blue, green, red
    EXPECT_EQ(img.d.palette[6], 40);
}

TEST(PngRead, AreaOffsetAndDepthOfTheImage) {
    const std::string path = testdata("pngsuite/basn0g01.png");  // 32x32, 1 bit
    Image whole;
    ASSERT_EQ(loadPng(path, whole), IMG_OK);
    const auto all = areaIndices(whole.d);
    // Into a wider image at column 3, row 2: bit-aligned, and only the area's 10x5 pixels.
    Image img(40, 40, 1);
    img.d.x1 = 3, img.d.y1 = 2, img.d.x2 = 12, img.d.y2 = 6;
    ASSERT_EQ(LoadPngFile(path.c_str(), img.get()), IMG_OK);
    img.d.x1 = 0, img.d.y1 = 0, img.d.x2 = 39, img.d.y2 = 39;
    const auto got = areaIndices(img.d);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            const bool inside = x >= 3 && x <= 12 && y >= 2 && y <= 6;
            ASSERT_EQ(got[y * 40 + x], inside ? all[(y - 2) * 32 + (x - 3)] : 0) << x << "," << y;
        }
    // A depth other than the layout's would not hold the rows.
    Image wrong(32, 32, 24);
    EXPECT_EQ(LoadPngFile(path.c_str(), wrong.get()), IMGERR_DEPTH);
    Image any(8, 8, 8);
    EXPECT_EQ(LoadPngFile(testdata("pngsuite/missing.png").c_str(), any.get()), IMGERR_OPEN);
}

// ---- writing ----------------------------------------------------------------------------------------

namespace {

// A picture with smooth and noisy parts, so that every filter gets chosen somewhere.
void paint(Image& img, uint32_t seed) {
    std::mt19937 rng(seed);
    const auto& h = *static_cast<const KroBitmapInfoHeader*>(img.d.header);
    for (int32_t y = 0; y < h.height; ++y) {
        uint8_t* row = img.d.pixels + int64_t(h.height - 1 - y) * img.d.row_bytes;
        for (int32_t i = 0; i < img.d.row_bytes; ++i)
            row[i] = y % 3 == 0 ? uint8_t(rng()) : uint8_t(i * 3 + y * 5 + (y / 7));
    }
}

struct WriteLayout {
    const char* what;
    int32_t bits;
    bool grey;
    int32_t colors;
    int expectedType;
};

}  // namespace

TEST(PngWrite, EveryLayoutFilterAndInterlaceReadsBackIdentically) {
    IMGTEST_REQUIRE_TOOL("pngtopnm");
    IMGTEST_REQUIRE_TOOL("pngcheck");
    IMGTEST_REQUIRE_TOOL(kPython);
    const WriteLayout layouts[] = {
        {"24-bit", 24, false, 0, 2},
        {"8-bit grey", 8, true, 256, 0},
        {"8-bit palette", 8, false, 256, 3},
        {"1-bit", 1, false, 2, 3},
    };
    testsupport::TempDir dir;
    for (const WriteLayout& l : layouts) {
        for (int32_t options : {0, 1, 2, 4, 6, 8, 10, 11}) {
            SCOPED_TRACE(std::string(l.what) + " options " + std::to_string(options));
            // An area inside a larger image, starting at an odd column.
            Image img(301, 97, l.bits);
            paint(img, uint32_t(options));
            if (!l.grey && l.bits == 8)
                for (int i = 0; i < 256; ++i) {
                    img.d.palette[4 * i] = uint8_t(i * 7);
                    img.d.palette[4 * i + 1] = uint8_t(255 - i);
                    img.d.palette[4 * i + 2] = uint8_t(i * 13);
                }
            if (!l.grey) img.d.flags = 0;
            img.d.x1 = 5, img.d.y1 = 3, img.d.x2 = 300, img.d.y2 = 96;
            const std::string path = dir.file("w.png");
            ASSERT_EQ(WritePngFile(path.c_str(), img.get(), options), IMG_OK);
            const auto file = testsupport::readFile(path);
            const auto expected = areaRgb(img.d);

            // The chunks: IHDR, PLTE only for palettes, pHYs, IDATs of 8192 bytes but the last.
            const auto chunks = chunkList(std::vector<uint8_t>(file.begin(), file.end()));
            ASSERT_GE(chunks.size(), 4u);
            EXPECT_EQ(file[8 + 8 + 9], l.expectedType);
            EXPECT_EQ(file[8 + 8 + 12], options & 1);
            bool seenPlte = false;
            size_t idats = 0, lastIdat = 0;
            for (size_t i = 0; i < chunks.size(); ++i) {
                if (chunks[i].first == "PLTE") {
                    seenPlte = true;
                    EXPECT_EQ(chunks[i].second, uint32_t(3 * (1 << l.bits)));
                }
                if (chunks[i].first == "IDAT") ++idats, lastIdat = i;
            }
            EXPECT_EQ(seenPlte, l.expectedType == 3);
            for (size_t i = 0; i < lastIdat; ++i)
                if (chunks[i].first == "IDAT") {
                    EXPECT_EQ(chunks[i].second, 8192u);
                }
            EXPECT_EQ(chunks.back().first, "IEND");
            if (l.bits == 24) {
                EXPECT_GT(idats, 2u);
            }

            // The filters: fixed ones used on every row of grey and RGB images; None elsewhere.
            if (!(options & 1)) {
                const auto raw = inflatedData(file);
                const size_t rowLen = 1 + (size_t(296) * (l.bits == 24 ? 24 : l.bits) + 7) / 8;
                ASSERT_EQ(raw.size(), rowLen * 94);
                const int fixed = (options & 14) / 2 - 1;
                std::vector<int> used(5, 0);
                for (size_t r = 0; r < 94; ++r) used.at(raw[r * rowLen])++;
                if (l.expectedType == 3) {
                    EXPECT_EQ(used[0], 94);
                } else if (fixed >= 0) {
                    EXPECT_EQ(used[fixed], 94);
                } else {
                    EXPECT_GE(std::count_if(used.begin(), used.end(), [](int n) { return n > 0; }), 2);
                }
            }

            Image back(296, 94, l.bits);
            ASSERT_EQ(LoadPngFile(path.c_str(), back.get()), IMG_OK);
            EXPECT_EQ(areaRgb(back.d), expected);
            Rgb theirs;
            ASSERT_TRUE(pnmFromCommand("pngtopnm " + quoted(path) + " 2>/dev/null", &theirs));
            EXPECT_EQ(maxDifference(theirs, expected), 0);
            if (options == 0) {
                ASSERT_TRUE(pnmFromCommand(pilRgbCommand(path), &theirs));
                EXPECT_EQ(maxDifference(theirs, expected), 0);
            }
            EXPECT_EQ(std::system(("pngcheck -q " + quoted(path) + " >/dev/null").c_str()), 0);
        }
    }
}

TEST(PngWrite, PaletteNeverEmptyNorLongerThanTheDepthAllows) {
    testsupport::TempDir dir;
    const std::string path = dir.file("p.png");
    struct Case {
        int32_t bits, colors;
        uint32_t plteEntries;
    };
    for (const Case c : {Case{8, 0, 256}, Case{1, 0, 2}, Case{1, 5, 2}, Case{8, 16, 16}}) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, colors " + std::to_string(c.colors));
        Image img(9, 4, c.bits);
        img.d.flags = 0;
        img.d.colors = c.colors;
        ASSERT_EQ(WritePngFile(path.c_str(), img.get(), 0), IMG_OK);
        bool seen = false;
        for (const auto& [type, length] : chunkList(testsupport::readFile(path)))
            if (type == "PLTE") {
                seen = true;
                EXPECT_EQ(length, 3 * c.plteEntries);
            }
        EXPECT_TRUE(seen);
        Image back(9, 4, c.bits);
        ASSERT_EQ(LoadPngFile(path.c_str(), back.get()), IMG_OK);
        // colors 0: the grey ramp was written, and reads back as grey.
        if (c.colors == 0) {
            EXPECT_EQ(back.d.flags & IMAGE_FLAG_GREY, IMAGE_FLAG_GREY);
        }
    }
}

TEST(PngWrite, RefusalsLeaveNoFile) {
    testsupport::TempDir dir;
    const std::string path = dir.file("no.png");
    Image grey16(8, 8, 16);
    EXPECT_EQ(WritePngFile(path.c_str(), grey16.get(), 0), IMGERR_DEPTH);
    Image rgb(8, 8, 24);
    EXPECT_EQ(WritePngFile(path.c_str(), rgb.get(), 12), IMGERR_PARAMETER);
    EXPECT_EQ(WritePngFile(path.c_str(), rgb.get(), 14), IMGERR_PARAMETER);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(WritePngFile(dir.file("no/such/dir.png").c_str(), rgb.get(), 0), IMGERR_CREATE);
}

TEST(PngWrite, AdaptiveChoiceTakesTheSmallestSignedSum) {
    struct Case {
        const char* what;
        std::vector<uint8_t> row, prev;
        unsigned bpp;
        int filter;
    };
    const std::vector<Case> cases = {
        {"all zero: every sum 0, the lowest filter", {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, 1, 0},
        {"bytes of 255 count as 1 each; Sub leaves one", {255, 255, 255, 255, 255, 255}, {0, 0, 0, 0, 0, 0}, 1, 1},
        {"a ramp: Sub", {10, 20, 30, 40, 50, 60}, {0, 0, 0, 0, 0, 0}, 1, 1},
        {"the row above repeated: Up", {9, 200, 3, 77, 140, 18}, {9, 200, 3, 77, 140, 18}, 1, 2},
        {"pixels of three bytes repeating: Sub", {1, 2, 3, 1, 2, 3, 1, 2, 3}, {90, 80, 70, 60, 50, 40, 30, 20, 10}, 3, 1},
        {"half the sum of left and above: Average", {20, 30, 40, 50}, {40, 40, 40, 40}, 1, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(kroimg::pngChooseFilter(c.row.data(), c.prev.data(), c.row.size(), c.bpp), c.filter);
    }
}
