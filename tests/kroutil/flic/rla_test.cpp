// RLA reading, on files from a small generator: colour and matte on the blue-green-red-alpha
// canvas, both scanline orders, the auxiliary panels and their conversions, the header's
// refusals and damaged scanlines.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "bytes/byte_order.h"
#include "kroutil/input/rla_reader.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::TempDir;

struct RlaHeader {
    int16_t left = 0, right = 3, bottom = 0, top = 1;
    uint16_t colourChannels = 3, matteChannels = 1;
    int16_t revision = -3;
    uint16_t colourBits = 8, matteBits = 8;
    std::string program;
};

// One plane as a block: runs for three or more equal bytes, literals otherwise.
Bytes encodeBlock(const Bytes& plane) {
    Bytes packets;
    size_t i = 0;
    while (i < plane.size()) {
        size_t run = 1;
        while (i + run < plane.size() && run < 128 && plane[i + run] == plane[i]) ++run;
        if (run >= 3) {
            packets.push_back(uint8_t(run - 1));
            packets.push_back(plane[i]);
            i += run;
            continue;
        }
        size_t length = 0;
        while (i + length < plane.size() && length < 128 &&
               !(i + length + 2 < plane.size() && plane[i + length] == plane[i + length + 1] &&
                 plane[i + length] == plane[i + length + 2]))
            ++length;
        packets.push_back(uint8_t(-int(length)));
        packets.insert(packets.end(), plane.begin() + long(i), plane.begin() + long(i + length));
        i += length;
    }
    Bytes block{uint8_t(packets.size() >> 8), uint8_t(packets.size())};
    block.insert(block.end(), packets.begin(), packets.end());
    return block;
}

// Byte planes of big-endian 32-bit values, most significant first.
std::vector<Bytes> planes32(const std::vector<uint32_t>& values) {
    std::vector<Bytes> planes(4);
    for (uint32_t v : values)
        for (int p = 0; p < 4; ++p) planes[size_t(p)].push_back(uint8_t(v >> (24 - 8 * p)));
    return planes;
}

uint32_t floatBits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

std::vector<Bytes> floatPlanes(const std::vector<float>& values) {
    std::vector<uint32_t> bits;
    for (float f : values) bits.push_back(floatBits(f));
    return planes32(bits);
}

// The file: header, offset table, then each scanline's blocks (planes) in table order.
// rawLines replaces the encoded data of a scanline when not empty.
Bytes rlaFile(const RlaHeader& h, const std::vector<std::vector<Bytes>>& lines, uint32_t tableEntries = 0) {
    Bytes f(740);
    auto put16 = [&](size_t at, uint16_t v) { bytes::store16be(&f[at], v); };
    put16(8, uint16_t(h.left));
    put16(10, uint16_t(h.right));
    put16(12, uint16_t(h.bottom));
    put16(14, uint16_t(h.top));
    put16(20, h.colourChannels);
    put16(22, h.matteChannels);
    put16(26, uint16_t(h.revision));
    std::memcpy(&f[400], h.program.data(), std::min<size_t>(h.program.size(), 64));
    put16(658, h.colourBits);
    put16(662, h.matteBits);
    uint32_t entries = tableEntries ? tableEntries : uint32_t(lines.size());
    size_t table = f.size();
    f.resize(f.size() + entries * 4);
    for (size_t i = 0; i < lines.size(); ++i) {
        bytes::store32be(&f[table + i * 4], uint32_t(f.size()));
        for (const Bytes& plane : lines[i]) {
            Bytes b = encodeBlock(plane);
            f.insert(f.end(), b.begin(), b.end());
        }
    }
    return f;
}

struct Opened {
    RlaImage* image = nullptr;
    Bytes picture;
    uint32_t rowBytes = 0;
    explicit Opened(const Bytes& file) {
        testsupport::writeFile(dir.file("x.rla"), file);
        image = rlaOpen(dir.file("x.rla").c_str());
        if (!image) return;
        rowBytes = image->width * image->panels * 4;
        picture.assign(size_t(rowBytes) * image->height, 0xEE);
        ok = rlaRead(image, picture.data(), rowBytes);
    }
    ~Opened() { rlaClose(image); }
    uint8_t at(uint32_t row, uint32_t panel, uint32_t x, uint32_t byte) const {
        return picture[size_t(row) * rowBytes + (size_t(panel) * image->width + x) * 4 + byte];
    }
    TempDir dir;
    bool ok = false;
};

TEST(RlaReader, ColourAndMatteInBothScanlineOrders) {
    // 4 x 2 pixels; scanline s holds red 10 + x + 4s, green 100 + s, blue x * 3, matte 200 + x.
    std::vector<std::vector<Bytes>> lines;
    for (uint8_t s = 0; s < 2; ++s) {
        Bytes r, g, b, m;
        for (uint8_t x = 0; x < 4; ++x) {
            r.push_back(uint8_t(10 + x + 4 * s));
            g.push_back(uint8_t(100 + s));
            b.push_back(uint8_t(x * 3));
            m.push_back(uint8_t(200 + x));
        }
        lines.push_back({r, g, b, m});
    }
    struct Case {
        int16_t bottom, top;
        uint32_t rowOfFirstScanline;
    };
    for (Case c : {Case{0, 1, 1}, Case{1, 0, 0}}) {
        SCOPED_TRACE(c.bottom);
        RlaHeader h;
        h.bottom = c.bottom;
        h.top = c.top;
        Opened o(rlaFile(h, lines));
        ASSERT_NE(o.image, nullptr);
        ASSERT_TRUE(o.ok);
        EXPECT_EQ(o.image->width, 4u);
        EXPECT_EQ(o.image->height, 2u);
        EXPECT_EQ(o.image->panels, 1u);
        for (uint32_t s = 0; s < 2; ++s) {
            uint32_t row = s == 0 ? c.rowOfFirstScanline : 1 - c.rowOfFirstScanline;
            for (uint32_t x = 0; x < 4; ++x) {
                EXPECT_EQ(o.at(row, 0, x, 2), 10 + x + 4 * s) << "red in byte 2";
                EXPECT_EQ(o.at(row, 0, x, 1), 100 + s);
                EXPECT_EQ(o.at(row, 0, x, 0), x * 3) << "blue in byte 0";
                EXPECT_EQ(o.at(row, 0, x, 3), 200 + x);
            }
        }
    }
}

TEST(RlaReader, DepthAndMotionPanels) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<float> depth = {-250, -5000, 3, nan, -1000, -0.001f};
    const std::vector<uint8_t> depthBytes = {192, 0, 255, 255, 0, 255};
    const std::vector<float> motionA = {0.5f, nan, -1, 1, inf, 0.25f};
    const std::vector<float> motionB = {2, inf, 0.25f, 0.999f, -inf, 0};
    const std::vector<uint8_t> motionABytes = {128, 0, 0, 255, 0, 64};
    const std::vector<uint8_t> motionBBytes = {255, 0, 64, 255, 0, 0};
    const Bytes red = {1, 2, 3, 4, 5, 6};
    Bytes edges(6, 77);  // E: one plane, decoded and dropped between Z and U

    struct Case {
        std::string program;
        bool withDepth;
        uint32_t panels, motionAPanel, motionBPanel;
    };
    const Case cases[] = {{"scene (ZEU)", true, 4, 3, 2}, {"(EU) done", false, 3, 2, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        RlaHeader h;
        h.right = 5;
        h.top = 0;
        h.matteChannels = 0;
        h.matteBits = 0;  // no matte: its depth field does not matter
        h.program = c.program;
        std::vector<Bytes> line = {red, Bytes(6, 0), Bytes(6, 0)};
        if (c.withDepth)
            for (const Bytes& p : floatPlanes(depth)) line.push_back(p);
        line.push_back(edges);
        std::vector<uint32_t> motion;
        for (size_t x = 0; x < 6; ++x) {
            motion.push_back(floatBits(motionA[x]));
            motion.push_back(floatBits(motionB[x]));
        }
        // Two floats per pixel, 8 planes: each float's 4 bytes are consecutive planes.
        std::vector<Bytes> motionPlanes(8);
        for (size_t x = 0; x < 6; ++x)
            for (int p = 0; p < 8; ++p) motionPlanes[size_t(p)].push_back(uint8_t(motion[x * 2 + p / 4] >> (24 - 8 * (p % 4))));
        for (const Bytes& p : motionPlanes) line.push_back(p);
        Opened o(rlaFile(h, {line}));
        ASSERT_NE(o.image, nullptr);
        ASSERT_TRUE(o.ok);
        EXPECT_EQ(o.image->panels, c.panels);
        for (uint32_t x = 0; x < 6; ++x) {
            SCOPED_TRACE(x);
            EXPECT_EQ(o.at(0, 0, x, 2), red[x]);
            EXPECT_EQ(o.at(0, 0, x, 3), 0) << "no matte";
            if (c.withDepth) {
                EXPECT_EQ(o.at(0, 1, x, 3), depthBytes[x]);
            }
            EXPECT_EQ(o.at(0, c.motionAPanel, x, 3), motionABytes[x]);
            EXPECT_EQ(o.at(0, c.motionBPanel, x, 3), motionBBytes[x]);
        }
    }
}

TEST(RlaReader, NormalPanels) {
    const std::vector<uint32_t> normals = {0x12u << 22 | 0x34u << 12 | 0x56u << 2, 0xFFFFFFFFu};
    RlaHeader h;
    h.right = 1;
    h.top = 0;
    h.program = "(N)";
    std::vector<Bytes> line = {Bytes{9, 9}, Bytes{8, 8}, Bytes{7, 7}, Bytes{255, 128}};
    for (const Bytes& p : planes32(normals)) line.push_back(p);
    Opened o(rlaFile(h, {line}));
    ASSERT_NE(o.image, nullptr);
    EXPECT_EQ(o.image->panels, 4u);
    const uint8_t expected[2][3] = {{0x12, 0x34, 0x56}, {0xFF, 0xFF, 0xFF}};
    for (uint32_t x = 0; x < 2; ++x)
        for (uint32_t p = 1; p < 4; ++p)
            for (uint32_t b = 0; b < 3; ++b) EXPECT_EQ(o.at(0, p, x, b), expected[x][p - 1]) << x << " " << p;
    EXPECT_EQ(o.at(0, 0, 1, 3), 128);
}

TEST(RlaReader, PanelsFromTheProgramText) {
    const std::pair<std::string, uint32_t> cases[] = {
        {"", 1}, {"ZU without parenthesis", 1}, {"(B)", 1}, {"(Z)", 3}, {"(U)", 3},
        {"(ZU)", 4}, {"(N)", 4}, {"a(b) (Z", 3}, {"x(GZ", 3},
    };
    for (const auto& [program, panels] : cases) {
        RlaHeader h;
        h.program = program;
        Opened o(rlaFile(h, {{}, {}}));
        ASSERT_NE(o.image, nullptr) << program;
        EXPECT_EQ(o.image->panels, panels) << program;
    }
}

TEST(RlaReader, HeaderRules) {
    struct Case {
        const char* what;
        RlaHeader h;
        bool opens;
        uint32_t width = 0, height = 0;
    };
    auto with = [](auto change) {
        RlaHeader h;
        change(h);
        return h;
    };
    const Case cases[] = {
        {"640 x 480 window", with([](RlaHeader& h) { h.right = 639, h.top = 479; }), true, 640, 480},
        {"window given right to left", with([](RlaHeader& h) { h.left = 9, h.right = 0; }), true, 10, 2},
        {"no matte, matte depth 0", with([](RlaHeader& h) { h.matteChannels = 0, h.matteBits = 0; }), true, 4, 2},
        {"revision -2", with([](RlaHeader& h) { h.revision = -2; }), true, 4, 2},
        {"4 colour channels", with([](RlaHeader& h) { h.colourChannels = 4; }), false},
        {"revision 0", with([](RlaHeader& h) { h.revision = 0; }), false},
        {"16-bit colour", with([](RlaHeader& h) { h.colourBits = 16; }), false},
        {"16-bit matte", with([](RlaHeader& h) { h.matteBits = 16; }), false},
        {"4097 wide", with([](RlaHeader& h) { h.right = 4096; }), false},
        {"4097 high", with([](RlaHeader& h) { h.top = 4096; }), false},
    };
    for (const Case& c : cases) {
        uint32_t height = uint32_t(std::abs(c.h.top - c.h.bottom)) + 1;
        std::vector<std::vector<Bytes>> noLines;
        Opened o(rlaFile(c.h, noLines, std::min<uint32_t>(height, 5000)));
        EXPECT_EQ(o.image != nullptr, c.opens) << c.what;
        if (o.image) {
            EXPECT_EQ(o.image->width, c.width) << c.what;
            EXPECT_EQ(o.image->height, c.height) << c.what;
        }
    }
    RlaHeader h;
    Bytes cut = rlaFile(h, {{}, {}});
    cut.resize(740 + 4);  // the offset table ends early
    Opened shortTable(cut);
    EXPECT_EQ(shortTable.image, nullptr);
    cut.resize(700);
    Opened shortHeader(cut);
    EXPECT_EQ(shortHeader.image, nullptr);
}

TEST(RlaReader, DamagedScanlinesEndAndStayCleared) {
    RlaHeader h;  // 4 x 2, bottom < top: table entry 0 is row 1
    Bytes full = {1, 2, 3, 4};
    std::vector<std::vector<Bytes>> lines = {{full, full, full, full}, {full, full, full, full}};
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::vector<uint8_t> row1Red;  // red of the damaged scanline's row
    };
    const size_t data = 740 + 8;
    const Case cases[] = {
        {"offset past the file", [](Bytes& f) { bytes::store32be(&f[740], 0x7FFFFFF0); }, {0, 0, 0, 0}},
        {"offset inside the header", [](Bytes& f) { bytes::store32be(&f[740], 12); }, {0, 0, 0, 0}},
        {"block longer than the data", [&](Bytes& f) { bytes::store16be(&f[data], 0xFFFF); }, {0, 0, 0, 0}},
        // The first block's literal claims 100 bytes: red stops there; the rest stays cleared.
        {"literal past its block", [&](Bytes& f) { f[data + 2] = uint8_t(-100); }, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        Bytes file = rlaFile(h, lines);
        c.damage(file);
        Opened o(file);
        ASSERT_NE(o.image, nullptr) << c.what;
        EXPECT_TRUE(o.ok) << c.what;
        for (uint32_t x = 0; x < 4; ++x) {
            EXPECT_EQ(o.at(1, 0, x, 2), c.row1Red[x]) << c.what;
            EXPECT_EQ(o.at(1, 0, x, 3), 0) << c.what << ": the rest of the scanline stays cleared";
            EXPECT_EQ(o.at(0, 0, x, 2), full[x]) << c.what << ": the other scanline is whole";
        }
    }
}

}  // namespace
