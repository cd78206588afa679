// The writer against the decoder, and the tvx tool's encode/dump round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec/torvex.h"
#include "encoder/torvex_writer.h"
#include "tests/codec/content.h"
#include "tests/support/test_support.h"

using namespace tvxtest;
namespace fs = std::filesystem;

namespace {

struct Config {
    int version;
    TorvexDisplay display;
    bool ring;
    uint32_t width, height;  // displayed
};

std::string describe(const Config& c) {
    std::ostringstream s;
    s << "TVX" << c.version << " display " << int(c.display) << (c.ring ? " ring " : " ") << c.width << "x" << c.height;
    return s.str();
}

const Config kConfigs[] = {
    {2, TorvexDisplay::Normal, false, 36, 20},     {4, TorvexDisplay::Normal, true, 37, 22},
    {2, TorvexDisplay::Interlaced, true, 42, 24},  {4, TorvexDisplay::Interlaced, false, 64, 16},
    {2, TorvexDisplay::Doubled, false, 29, 18},    {4, TorvexDisplay::Doubled, true, 100, 32},
    {4, TorvexDisplay::Normal, false, 3, 9},       // no whole block column: nothing is painted
};

// What the decoder shows for a source picture: the block grid of the stored rows, spread over
// the display rows as the mode says; everything else stays 0.
std::vector<uint8_t> expected(const Animation& a, size_t k, const Config& c) {
    bool halved = c.display != TorvexDisplay::Normal;
    uint32_t stored = halved ? c.height / 2 : c.height;
    uint32_t gridW = c.width / 4 * 4, gridH = stored / 4 * 4;
    std::vector<uint8_t> out(size_t(c.width) * c.height, 0);
    for (uint32_t y = 0; y < c.height; ++y) {
        uint32_t r = halved ? y / 2 : y;
        if (r >= gridH) continue;
        if (c.display == TorvexDisplay::Interlaced && y % 2) continue;
        for (uint32_t x = 0; x < gridW; ++x)
            out[size_t(y) * c.width + x] = a.pixels[k][size_t(halved ? 2 * r : r) * c.width + x];
    }
    return out;
}

}  // namespace

// Every block type, both versions, all display modes, odd sizes, with and without a ring frame;
// playback past the end loops as a player does.
TEST(TorvexWriterTest, DecodesBackExactly) {
    testsupport::TempDir dir;
    for (const Config& c : kConfigs) {
        SCOPED_TRACE(describe(c));
        const uint32_t n = 6;
        Animation a = makeAnimation(c.width, c.height, n, c.width * 31 + c.height, c.display != TorvexDisplay::Normal);
        std::vector<TorvexWriterFrame> frames;
        for (size_t k = 0; k < n; ++k) frames.push_back({a.pixels[k].data(), a.palettes[k].data(), false});
        TorvexWriterOptions o;
        o.version = c.version;
        o.display = c.display;
        o.ring = c.ring;
        std::string path = dir.file("w.tvx");
        TorvexWriterStats st;
        std::string error;
        ASSERT_TRUE(TorvexWrite(path, c.width, c.height, frames, o, &error, &st)) << error;
        if (c.width >= 16) {
            for (int kind = 0; kind < 4; ++kind) EXPECT_GT(st.blocks[kind], 0u) << "block type " << kind;
            if (c.version == 4) {
                EXPECT_TRUE(st.fullModes[0] && st.fullModes[1] && st.fullModes[2]);
            }
        }
        std::vector<unsigned char> image = testsupport::readFile(path);
        TorvexFile* f = TorvexOpenSized(image.data(), kTvxFromMemory, -1, image.size());
        ASSERT_NE(f, nullptr);
        if (c.width * c.height >= 1024) {
            // Repeated values made the encoder give escapes codes: some leaf is a cache slot.
            bool slotLeaf = false;
            for (const TorvexTree& t : f->trees->tree)
                for (uint32_t i = 0; t.present && i < t.tableEntries; ++i)
                    slotLeaf |= (t.table[i] & 0x80000000u) && ((t.table[i] >> 16) & 3);
            EXPECT_TRUE(slotLeaf);
        }
        EXPECT_EQ(f->header.width, c.width);
        EXPECT_EQ(f->header.height, c.height);
        std::vector<uint8_t> px(size_t(c.width) * c.height, 0);
        TorvexSetTarget(f, 0, 0, int32_t(c.width), int32_t(c.height), px.data(), 0);
        size_t played = n + (c.ring ? 1 : 0) + 4;
        for (size_t k = 0; k < played; ++k) {
            size_t source = sourceOf(k, n, c.ring);
            TorvexDecodeFrame(f);
            ASSERT_EQ(px, expected(a, source, c)) << "played frame " << k;
            uint8_t shown[768];
            TorvexWriterShownPalette(a.palettes[source].data(), shown);
            ASSERT_EQ(std::memcmp(f->palette, shown, 768), 0) << "played frame " << k;
            TorvexAdvance(f);
        }
        TorvexClose(f);
    }
}

// One frame of one colour: a lone type value (a tree of one leaf, 20 bytes of node storage) and
// three absent trees (12 bytes each).
TEST(TorvexWriterTest, LoneValueAndAbsentTrees) {
    testsupport::TempDir dir;
    std::vector<uint8_t> px(16 * 16, 77), pal(768, 128);
    TorvexWriterStats st;
    std::string error;
    ASSERT_TRUE(TorvexWrite(dir.file("one.tvx"), 16, 16, {{px.data(), pal.data(), false}}, {}, &error, &st)) << error;
    EXPECT_EQ(st.treeSizes[kTreeMap], 12u);
    EXPECT_EQ(st.treeSizes[kTreeColour], 12u);
    EXPECT_EQ(st.treeSizes[kTreeFull], 12u);
    EXPECT_EQ(st.treeSizes[kTreeType], 20u);
    TorvexFile* f = TorvexOpen(dir.file("one.tvx").c_str(), 0, -1);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> out(16 * 16, 0);
    TorvexSetTarget(f, 0, 0, 16, 16, out.data(), 0);
    TorvexDecodeFrame(f);
    EXPECT_EQ(out, px);
    EXPECT_EQ(f->palette[0], 130);  // 128 >> 2 = 32, shown as 130
    TorvexClose(f);
}

// Noise of 255 colours: a full tree of thousands of long codes, decoded through the wide table.
TEST(TorvexWriterTest, NoisyPictures) {
    testsupport::TempDir dir;
    const uint32_t w = 320, h = 160;
    std::vector<std::vector<uint8_t>> pixels(3, std::vector<uint8_t>(w * h));
    std::vector<uint8_t> pal(768, 9);
    uint32_t s = 1;
    for (auto& px : pixels)
        for (auto& v : px) v = uint8_t(nextRandom(s) % 255);
    std::vector<TorvexWriterFrame> frames;
    for (auto& px : pixels) frames.push_back({px.data(), pal.data(), false});
    std::string error;
    ASSERT_TRUE(TorvexWrite(dir.file("n.tvx"), w, h, frames, {}, &error)) << error;
    TorvexFile* f = TorvexOpen(dir.file("n.tvx").c_str(), 0, -1);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->trees->tree[kTreeFull].tableBits, 16);
    std::vector<uint8_t> out(w * h, 0);
    TorvexSetTarget(f, 0, 0, w, h, out.data(), 0);
    for (int k = 0; k < 3; ++k) {
        TorvexDecodeFrame(f);
        ASSERT_EQ(out, pixels[size_t(k)]) << k;
        TorvexAdvance(f);
    }
    TorvexClose(f);
}

TEST(TorvexWriterTest, RefusesUnusableInput) {
    testsupport::TempDir dir;
    std::vector<uint8_t> px(8 * 9), pal(768);
    std::string error;
    TorvexWriterOptions o;
    EXPECT_FALSE(TorvexWrite(dir.file("a.tvx"), 8, 9, {}, o, &error));
    o.display = TorvexDisplay::Interlaced;
    EXPECT_FALSE(TorvexWrite(dir.file("a.tvx"), 8, 9, {{px.data(), pal.data(), false}}, o, &error));
    EXPECT_FALSE(error.empty());
    o.display = TorvexDisplay::Normal;
    o.version = 3;
    EXPECT_FALSE(TorvexWrite(dir.file("a.tvx"), 8, 9, {{px.data(), pal.data(), false}}, o, &error));
    EXPECT_FALSE(fs::exists(dir.file("a.tvx")));
    o.version = 2;
    EXPECT_FALSE(TorvexWrite(dir.file("no/such/dir/a.tvx"), 8, 9, {{px.data(), pal.data(), false}}, o, &error));
}

// ---- the tool -----------------------------------------------------------------------------------

namespace {

// Runs tvx; its output lands in a file of the calling test's own folder (tests run in parallel).
int run(const std::string& args, std::string* output = nullptr) {
    static const unsigned tag = std::random_device{}();
    static int calls = 0;
    std::string out = testing::TempDir() + "/tvx_out_" + std::to_string(tag) + "_" + std::to_string(calls++) + ".txt";
    int rc = std::system((std::string(TVX_PATH) + " " + args + " >" + out + " 2>&1").c_str());
    if (output) {
        std::ifstream in(out);
        std::stringstream ss;
        ss << in.rdbuf();
        *output = ss.str();
    }
    std::remove(out.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// All files of a folder, by name.
std::vector<std::pair<std::string, std::vector<unsigned char>>> contents(const std::string& d) {
    std::vector<std::pair<std::string, std::vector<unsigned char>>> all;
    for (auto& e : fs::directory_iterator(d)) all.push_back({e.path().filename().string(), testsupport::readFile(e.path().string())});
    std::sort(all.begin(), all.end());
    return all;
}

void writeFrames(const Animation& a, const std::string& d) {
    fs::create_directories(d);
    for (size_t k = 0; k < a.pixels.size(); ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "/frame_%05zu", k);
        testsupport::writeFile(d + name + ".idx", a.pixels[k]);
        testsupport::writeFile(d + name + ".pal", a.palettes[k]);
    }
}

}  // namespace

// tvx dump of tvx encode of a dump reproduces the dump byte for byte, also when playback loops.
TEST(TvxTool, EncodeDumpRoundTrip) {
    testsupport::TempDir dir;
    int i = 0;
    for (const Config& c : kConfigs) {
        SCOPED_TRACE(describe(c));
        std::string base = dir.file("c" + std::to_string(i++));
        Animation a = makeAnimation(c.width, c.height, 5, c.width + 7 * c.height, c.display != TorvexDisplay::Normal);
        writeFrames(a, base + "/src");
        std::string opts = " --version " + std::to_string(c.version) + (c.ring ? " --ring" : "") +
                           (c.display == TorvexDisplay::Interlaced ? " --interlaced" : "") +
                           (c.display == TorvexDisplay::Doubled ? " --doubled" : "") + " --rate -6660";
        std::string size = " --size " + std::to_string(c.width) + "x" + std::to_string(c.height);
        std::string out;
        ASSERT_EQ(run("encode --frames " + base + "/src " + base + "/a.tvx" + opts + size, &out), 0) << out;
        ASSERT_EQ(run("dump " + base + "/a.tvx " + base + "/d1", &out), 0) << out;
        ASSERT_EQ(run("encode --frames " + base + "/d1 " + base + "/b.tvx", &out), 0) << out;
        ASSERT_EQ(run("dump " + base + "/b.tvx " + base + "/d2", &out), 0) << out;
        auto d1 = contents(base + "/d1");
        EXPECT_EQ(d1.size(), 2 * (5 + (c.ring ? 1 : 0)) + 1);
        EXPECT_TRUE(d1 == contents(base + "/d2"));
        ASSERT_EQ(run("dump " + base + "/a.tvx " + base + "/l1 --frames 14", &out), 0) << out;
        ASSERT_EQ(run("dump " + base + "/b.tvx " + base + "/l2 --frames 14", &out), 0) << out;
        auto l1 = contents(base + "/l1");
        EXPECT_EQ(l1.size(), 29u);
        EXPECT_TRUE(l1 == contents(base + "/l2"));
        // A looped dump encodes back to the same file: its info.json tells the stored frames.
        ASSERT_EQ(run("encode --frames " + base + "/l1 " + base + "/c.tvx", &out), 0) << out;
        ASSERT_EQ(run("dump " + base + "/c.tvx " + base + "/l3 --frames 14", &out), 0) << out;
        EXPECT_TRUE(l1 == contents(base + "/l3"));
        // The looped frames are the stored ones again, in a looping player's order.
        for (int k = 0; k < 14; ++k) {
            size_t source = sourceOf(size_t(k), 5, c.ring);
            char name[32];
            std::snprintf(name, sizeof name, "/l1/frame_%05d.idx", k);
            ASSERT_EQ(testsupport::readFile(base + name), expected(a, source, c)) << k;
        }
    }
}

TEST(TvxTool, InfoAndBadFiles) {
    testsupport::TempDir dir;
    Animation a = makeAnimation(40, 24, 3);
    writeFrames(a, dir.file("src"));
    std::string out;
    ASSERT_EQ(run("encode --frames " + dir.file("src") + " " + dir.file("a.tvx") + " --size 40x12 --version 4", &out), 1);
    EXPECT_NE(out.find("not 40 x 12"), std::string::npos) << out;
    ASSERT_EQ(run("encode --frames " + dir.file("src") + " " + dir.file("a.tvx") + " --size 40x24 --doubled --rate 40", &out), 0)
        << out;
    ASSERT_EQ(run("info " + dir.file("a.tvx"), &out), 0);
    for (const char* want : {"TVX2", "40 x 12", "40 x 24 (doubled)", "frames:          3", "40.000 ms per frame",
                             "tracks:          none", "largest frame:", "one-second peak:", "load-all"})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    testsupport::writeText(dir.file("x.tvx"), "not a torvex file at all");
    EXPECT_EQ(run("info " + dir.file("x.tvx"), &out), 1);
    EXPECT_NE(out.find("not a Torvex file"), std::string::npos) << out;
    std::vector<unsigned char> bytes = testsupport::readFile(dir.file("a.tvx"));
    bytes.resize(bytes.size() - 40);
    testsupport::writeFile(dir.file("cut.tvx"), bytes);
    EXPECT_EQ(run("dump " + dir.file("cut.tvx") + " " + dir.file("cutdump"), &out), 1);
    EXPECT_NE(out.find("truncated"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(dir.file("cutdump")));  // a failed dump leaves nothing behind
    bytes.resize(110);
    testsupport::writeFile(dir.file("head.tvx"), bytes);
    EXPECT_EQ(run("dump " + dir.file("head.tvx") + " " + dir.file("hd"), &out), 1);
    EXPECT_NE(out.find("damaged"), std::string::npos) << out;
    EXPECT_EQ(run("info " + dir.file("missing.tvx"), &out), 1);
    EXPECT_EQ(run("--help", &out), 0);
    EXPECT_NE(out.find("tvx dump FILE OUTDIR"), std::string::npos);
    // A command's --help shows the text, which says what encode's numbers mean.
    EXPECT_EQ(run("encode --help", &out), 0);
    for (const char* want : {"milliseconds", "6 bits per channel", "keep none of it"})
        EXPECT_NE(out.find(want), std::string::npos) << want;
    EXPECT_EQ(run("frobnicate", &out), 2);
}
