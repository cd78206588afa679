// Decoder behaviour on hand-built files: caches, runs, palettes, dirty rectangles, 16-bit output
// and damaged data.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "codec/torvex.h"
#include "tests/codec/tvx_build.h"

using namespace tvxtest;

namespace {

// Trees in the file's order; absent ones write a single 0 bit.
struct Trees {
    ValueTree* tree[4] = {nullptr, nullptr, nullptr, nullptr};  // map, colour, full, type
    std::vector<uint8_t> block;
    uint32_t sizes[4] = {12, 12, 12, 12};
    void build() {
        BitWriter w;
        for (int k = 0; k < 4; ++k) {
            if (!tree[k]) {
                w.put(0, 1);
                continue;
            }
            tree[k]->write(w);
            sizes[k] = tree[k]->storage();
        }
        block = w.bytes;
    }
};

struct Opened {
    std::vector<uint8_t> image;
    TorvexFile* f = nullptr;
    explicit Opened(const FileLayout& layout, uint32_t flags = 0) {
        image = buildFile(layout);
        f = TorvexOpenSized(image.data(), kTvxFromMemory | flags, -1, image.size());
    }
    ~Opened() { TorvexClose(f); }
};

std::vector<uint8_t> videoOf(BitWriter& w) {
    w.align4();
    return w.bytes;
}

void layOut(FileLayout& s, Trees& t, uint32_t width, uint32_t height) {
    t.build();
    s.width = width;
    s.height = height;
    s.treeBlock = t.block;
    std::memcpy(s.treeSizes, t.sizes, sizeof t.sizes);
}

// Type leaves used below.
constexpr uint32_t kMono1 = 0 | 0 << 2;       // mono, run 1
constexpr uint32_t kSkip2048 = 2 | 63 << 2;   // skip, run 2048
uint32_t solid(uint32_t run, uint32_t colour) { return 3 | (run - 1) << 2 | colour << 8; }

}  // namespace

// The cache: slots start at 0 every frame, a slot leaf returns the slot's value, repeats of
// slot 0 leave it alone; mono pixels follow the pattern bit 4 x row + column.
TEST(TorvexDecode, CacheSlotsPatternsAndRuns) {
    ValueTree map, colour, type;
    map.leaves = {{0x0012}};  // lone leaf: pixels (0,1) and (1,0) take the high byte
    colour.leaves = {{0x7711}, {0x8822}, {0, 0}, {0, 1}};
    type.leaves = {{kMono1}, {kSkip2048}, {solid(2, 0x55)}};
    Trees t;
    t.tree[kTreeMap] = &map;
    t.tree[kTreeColour] = &colour;
    t.tree[kTreeType] = &type;
    FileLayout s;
    layOut(s, t, 16, 4);  // four blocks in one row
    BitWriter f0, f1;
    auto mono = [&](BitWriter& w, size_t colourLeaf) {
        w.putCode(type.code(0));
        w.putCode(colour.code(colourLeaf));
    };
    mono(f0, 2);  // slot 0 -> 0 on first use
    mono(f0, 0);  // 0x7711
    mono(f0, 1);  // 0x8822
    mono(f0, 3);  // slot 1 -> 0x7711 (cache was 8822, 7711, 0)
    mono(f1, 3);  // new frame: slot 1 is 0 again
    f1.putCode(type.code(2));  // two solid blocks
    f1.putCode(type.code(1));  // skip 2048: cut at the last block
    s.frames = {videoOf(f0), videoOf(f1)};
    Opened o(s);
    ASSERT_NE(o.f, nullptr);
    std::vector<uint8_t> px(16 * 4, 0xEE);
    ASSERT_EQ(TorvexSetTarget(o.f, 0, 0, 16, 4, px.data(), 0), 1);
    EXPECT_EQ(TorvexDecodeFrame(o.f), 0);
    auto at = [&](int x, int y) { return px[y * 16 + x]; };
    const uint8_t lows[4] = {0x00, 0x11, 0x22, 0x11}, highs[4] = {0x00, 0x77, 0x88, 0x77};
    for (int b = 0; b < 4; ++b) {
        EXPECT_EQ(at(4 * b + 1, 0), highs[b]) << b;
        EXPECT_EQ(at(4 * b, 1), highs[b]) << b;
        EXPECT_EQ(at(4 * b, 0), lows[b]) << b;
        EXPECT_EQ(at(4 * b + 3, 3), lows[b]) << b;
    }
    TorvexTree& c = o.f->trees->tree[kTreeColour];
    EXPECT_EQ(c.cache[0], 0x7711u);
    EXPECT_EQ(c.cache[1], 0x8822u);
    EXPECT_EQ(c.cache[2], 0x7711u);
    TorvexAdvance(o.f);
    TorvexDecodeFrame(o.f);
    EXPECT_EQ(at(0, 0), 0x00);
    EXPECT_EQ(at(4, 0), 0x55);
    EXPECT_EQ(at(11, 3), 0x55);
    EXPECT_EQ(at(13, 0), 0x77);  // skipped block keeps frame 0's pixels
}

// Palette commands read the old palette; two 0xFF bytes keep everything yet still flag a new
// palette; a frame of one long skip run paints nothing and reports one empty rectangle.
TEST(TorvexDecode, PaletteCommandsAndPaletteOnlyFrames) {
    ValueTree type;
    type.leaves = {{kSkip2048}};
    Trees t;
    t.tree[kTreeType] = &type;
    FileLayout s;
    layOut(s, t, 16, 8);
    std::vector<uint8_t> p0 = {2, 63, 0, 32, 10, 20, 30, 0xFD};  // 2 literals, keep 126 (then keep to the end below)
    p0.push_back(0xFF);
    while (p0.size() % 4) p0.push_back(0);
    p0[0] = uint8_t(p0.size() / 4);
    std::vector<uint8_t> p1 = {1, 0xFF, 0xFF, 0};
    std::vector<uint8_t> p2 = {2, 0x80, 0x41, 0, 0xFF, 0xFF, 0, 0};  // keep 1, copy old[0..1] to 1..2
    BitWriter v;
    v.putCode(type.code(0));  // lone leaf: no bits at all
    std::vector<uint8_t> video = videoOf(v);
    auto frame = [&](std::vector<uint8_t> pal) {
        pal.insert(pal.end(), video.begin(), video.end());
        return pal;
    };
    s.frames = {frame(p0), frame(p1), frame(p2), frame({})};
    s.types = {1, 1, 1, 0};
    Opened o(s);
    ASSERT_NE(o.f, nullptr);
    std::vector<uint8_t> px(16 * 8, 0);
    TorvexSetTarget(o.f, 0, 0, 16, 8, px.data(), 0);
    EXPECT_EQ(o.f->newPalette, 1u);  // frame 0's palette is new at open
    const uint8_t first[6] = {255, 0, 130, 40, 81, 121};
    EXPECT_EQ(std::memcmp(o.f->palette, first, 6), 0);
    TorvexDecodeFrame(o.f);
    TorvexAdvance(o.f);
    EXPECT_EQ(o.f->newPalette, 1u);
    EXPECT_EQ(std::memcmp(o.f->palette, first, 6), 0);
    TorvexDecodeFrame(o.f);
    ASSERT_EQ(TorvexNextDirtyRect(o.f, 0), 1);
    EXPECT_EQ(o.f->rectX | o.f->rectY | o.f->rectWidth | o.f->rectHeight, 0);
    EXPECT_EQ(TorvexNextDirtyRect(o.f, 0), 0);
    TorvexAdvance(o.f);
    const uint8_t copied[9] = {255, 0, 130, 255, 0, 130, 40, 81, 121};
    EXPECT_EQ(std::memcmp(o.f->palette, copied, 9), 0);
    TorvexAdvance(o.f);
    EXPECT_EQ(o.f->newPalette, 0u);
    TorvexDecodeFrame(o.f);
    EXPECT_EQ(TorvexNextDirtyRect(o.f, 1), 0);  // nothing painted, palette unchanged
}

// Width 100: 25 blocks a row, so group 1 (blocks 16-31) spans two block rows.
TEST(TorvexDecode, DirtyRectanglesAcrossBlockRows) {
    ValueTree type;
    type.leaves = {{2 | 15 << 2}, {solid(16, 9)}, {kSkip2048}};
    Trees t;
    t.tree[kTreeType] = &type;
    FileLayout s;
    layOut(s, t, 100, 8);
    BitWriter v;
    v.putCode(type.code(0));
    v.putCode(type.code(1));
    v.putCode(type.code(2));
    s.frames = {videoOf(v), videoOf(v)};
    Opened o(s);
    ASSERT_NE(o.f, nullptr);
    std::vector<uint8_t> px(100 * 8, 0);
    TorvexSetTarget(o.f, 0, 0, 100, 8, px.data(), 0);
    TorvexDecodeFrame(o.f);
    EXPECT_EQ(TorvexNextDirtyRect(o.f, 2), 0);  // mode 2 gathers nothing while a frame is fresh
    struct R {
        int x, y, w, h;
    };
    std::vector<R> got;
    while (TorvexNextDirtyRect(o.f, 0)) got.push_back({o.f->rectX, o.f->rectY, o.f->rectWidth, o.f->rectHeight});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].x, 64);
    EXPECT_EQ(got[0].w, 36);
    EXPECT_EQ(got[0].y, 0);
    EXPECT_EQ(got[0].h, 4);
    EXPECT_EQ(got[1].x, 0);
    EXPECT_EQ(got[1].w, 32);  // 28 rounded up to a multiple of 8
    EXPECT_EQ(got[1].y, 4);
    EXPECT_EQ(px[64], 9);
    EXPECT_EQ(px[63], 0);
    EXPECT_EQ(px[100 * 4 + 27], 9);
    EXPECT_EQ(px[100 * 4 + 28], 0);
    // Mode 1: one bounding box; a target offset moves it and the 8-pixel alignment follows it.
    std::vector<uint8_t> big(120 * 12, 0);
    TorvexSetTarget(o.f, 3, 2, 120, 12, big.data(), 0);
    TorvexAdvance(o.f);
    TorvexDecodeFrame(o.f);
    ASSERT_EQ(TorvexNextDirtyRect(o.f, 1), 1);
    EXPECT_EQ(o.f->rectX, 3);
    EXPECT_EQ(o.f->rectY, 2);
    EXPECT_EQ(o.f->rectWidth, 100);
    EXPECT_EQ(o.f->rectHeight, 8);
    EXPECT_EQ(TorvexNextDirtyRect(o.f, 1), 0);
    EXPECT_EQ(big[2 * 120 + 3 + 64], 9);
}

// 16-bit output converts through the palette; skipped blocks keep the colours they were drawn
// with after the palette changes; bottom-up targets start at the last row.
TEST(TorvexDecode, SixteenBitAndBottomUpTargets) {
    ValueTree type;
    type.leaves = {{solid(4, 1)}, {kSkip2048}};
    Trees t;
    t.tree[kTreeType] = &type;
    FileLayout s;
    layOut(s, t, 16, 4);
    BitWriter a, b;
    a.putCode(type.code(0));
    b.putCode(type.code(1));
    std::vector<uint8_t> f0 = {2, 0, 0, 0, 63, 0, 0, 0xFF}, f1 = {2, 0x80, 0, 0, 63, 0xFF, 0, 0};
    std::vector<uint8_t> va = videoOf(a), vb = videoOf(b);
    f0.insert(f0.end(), va.begin(), va.end());
    f1.insert(f1.end(), vb.begin(), vb.end());
    s.frames = {f0, f1};
    s.types = {1, 1};
    struct Case {
        uint32_t flags;
        uint16_t red, blue;
    };
    for (Case c : {Case{0x80000000u, 0x7C00, 0x001F}, Case{0xC0000000u, 0xF800, 0x001F}}) {
        Opened o(s);
        ASSERT_NE(o.f, nullptr);
        std::vector<uint16_t> px(16 * 4, 0);
        TorvexSetTarget(o.f, 0, 0, 32, 4, px.data(), c.flags);
        TorvexDecodeFrame(o.f);
        EXPECT_EQ(px[0], c.red);
        EXPECT_EQ(px[63], c.red);
        TorvexAdvance(o.f);
        TorvexDecodeFrame(o.f);
        EXPECT_EQ(px[17], c.red);
        EXPECT_EQ(o.f->colourTable[1], c.blue);
    }
    // Bottom-up, y = 0: the picture's top row lands in the buffer's last row.
    ValueTree rows;
    rows.leaves = {{solid(1, 5)}, {solid(1, 6)}};
    Trees t2;
    t2.tree[kTreeType] = &rows;
    FileLayout s2;
    layOut(s2, t2, 4, 8);
    BitWriter v;
    v.putCode(rows.code(0));
    v.putCode(rows.code(1));
    s2.frames = {videoOf(v)};
    Opened o(s2);
    ASSERT_NE(o.f, nullptr);
    std::vector<uint8_t> px(4 * 10, 0);
    TorvexSetTarget(o.f, 0, 0, 4, 10, px.data(), 1);
    TorvexDecodeFrame(o.f);
    EXPECT_EQ(px[9 * 4], 5);  // top block row, bottom of memory
    EXPECT_EQ(px[6 * 4], 5);
    EXPECT_EQ(px[5 * 4], 6);
    EXPECT_EQ(px[2 * 4], 6);
    EXPECT_EQ(px[1 * 4], 0);
}

// Damaged video: absent trees read as 0, data that ends inside a run stops before the block it
// cannot complete, and nothing outside the picture is written.
TEST(TorvexDecode, DamagedVideoStopsCleanly) {
    ValueTree type, full;
    type.leaves = {{1 | 3 << 2}, {kMono1}, {kMono1}};  // full run 4 (code 00), mono (code 01)
    full.leaves = {{0x0403}, {0x0201}};
    Trees t;
    t.tree[kTreeFull] = &full;
    t.tree[kTreeType] = &type;
    FileLayout s;
    layOut(s, t, 16, 4);
    BitWriter mono;
    mono.putCode(type.code(1));  // mono with absent colour and map trees: all 0, no bits
    mono.putCode(type.code(1));
    mono.putCode(type.code(1));
    mono.putCode(type.code(1));
    // frame 1: 4 zero bytes = a full run of 4 whose fourth block needs bits 27-34
    s.frames = {videoOf(mono), std::vector<uint8_t>(4, 0), {}};
    Opened o(s);
    ASSERT_NE(o.f, nullptr);
    std::vector<uint8_t> px(16 * 6, 0xEE);
    TorvexSetTarget(o.f, 0, 1, 16, 6, px.data(), 0);
    TorvexDecodeFrame(o.f);
    for (int i = 16; i < 16 * 5; ++i) ASSERT_EQ(px[i], 0) << i;
    TorvexAdvance(o.f);
    std::fill(px.begin(), px.end(), 0xEE);
    TorvexDecodeFrame(o.f);
    const uint8_t row[4] = {0x03, 0x04, 0x03, 0x04};  // every value decodes as 0x0403
    EXPECT_EQ(std::memcmp(&px[16], row, 4), 0);
    EXPECT_EQ(px[16 * 4 + 11], 0x04);
    EXPECT_EQ(px[16 + 12], 0xEE);  // the fourth block never completed
    for (int i = 0; i < 16; ++i) EXPECT_EQ(px[i], 0xEE);
    for (int i = 16 * 5; i < 16 * 6; ++i) EXPECT_EQ(px[i], 0xEE);
    TorvexAdvance(o.f);
    std::fill(px.begin(), px.end(), 0xEE);
    TorvexDecodeFrame(o.f);  // an empty frame: full run of zero-bits that cannot complete
    for (uint8_t v : px) ASSERT_EQ(v, 0xEE);
}

// Files that cannot be opened give null; a tree is accepted exactly when its declared node
// storage is large enough.
TEST(TorvexOpenDamage, RejectsWhatCannotBeRead) {
    ValueTree type;
    type.leaves = {{kSkip2048}, {kMono1}, {solid(1, 3)}};  // two internal nodes: 32 bytes
    Trees t;
    t.tree[kTreeType] = &type;
    FileLayout good;
    layOut(good, t, 16, 4);
    good.frames = {{}};
    {
        Opened o(good);
        EXPECT_NE(o.f, nullptr);
    }
    struct Case {
        const char* what;
        std::function<void(FileLayout&)> layout;
        std::function<void(std::vector<uint8_t>&)> image;
    };
    auto none = [](auto&) {};
    std::vector<Case> cases = {
        {"wrong magic", [](FileLayout& s) { s.magic = "TVX3"; }, none},
        {"short header", none, [](std::vector<uint8_t>& img) { img.resize(60); }},
        {"tables past the end", none, [](std::vector<uint8_t>& img) { img[12] = 0xFF; img[13] = 0x7F; }},
        {"tree block cut", none, [](std::vector<uint8_t>& img) { img.erase(img.end() - 2, img.end()); }},
        {"tree larger than declared", [](FileLayout& s) { s.treeSizes[kTreeType] = 31; }, none},
        {"no frames", [](FileLayout& s) { s.frames.clear(); }, none},
        {"absurd width", [](FileLayout& s) { s.width = 0x40000000; }, none},
        {"tree bits cut", [](FileLayout& s) { s.treeBlock.resize(3); }, none},
    };
    for (auto& c : cases) {
        FileLayout s = good;
        c.layout(s);
        std::vector<uint8_t> img = buildFile(s);
        c.image(img);
        TorvexFile* f = TorvexOpenSized(img.data(), kTvxFromMemory, -1, img.size());
        EXPECT_EQ(f, nullptr) << c.what;
        TorvexClose(f);
    }
    FileLayout roomy = good;
    roomy.treeSizes[kTreeType] = 32;
    Opened o(roomy);
    EXPECT_NE(o.f, nullptr);
    EXPECT_EQ(TorvexOpen(nullptr, 0, -1), nullptr);
    TorvexClose(nullptr);
}

// A frame table that promises more than the file holds: the file opens, and playback stops
// at the missing frame without drawing; the caller's loop still ends.
TEST(TorvexOpenDamage, MissingFrameDataStopsPlayback) {
    ValueTree type;
    type.leaves = {{solid(4, 7)}};
    Trees t;
    t.tree[kTreeType] = &type;
    FileLayout s;
    layOut(s, t, 16, 4);
    s.frames = {std::vector<uint8_t>(4, 0), std::vector<uint8_t>(4000, 0)};
    std::vector<uint8_t> img = buildFile(s);
    img.resize(img.size() - 3000);
    TorvexFile* f = TorvexOpenSized(img.data(), kTvxFromMemory, -1, img.size());
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> px(64, 0);
    TorvexSetTarget(f, 0, 0, 16, 4, px.data(), 0);
    TorvexDecodeFrame(f);
    EXPECT_EQ(px[0], 7);
    TorvexAdvance(f);
    EXPECT_EQ(f->readError, 1u);
    std::fill(px.begin(), px.end(), 0);
    EXPECT_EQ(TorvexDecodeFrame(f), 0);
    EXPECT_EQ(px[0], 0);
    EXPECT_EQ(TorvexIsEarly(f), 0);
    TorvexSeek(f, 1);
    EXPECT_EQ(f->frameIndex, 1u);
    TorvexAdvance(f);
    EXPECT_EQ(f->frameIndex, 2u);
    TorvexClose(f);
}

// The sizing figures: largest raw entry, the busiest second among the windows that start at
// entries 1 .. n-1-F (flag bits counted), and the whole total when the file is shorter than F.
TEST(TorvexOpenSizing, LargestFrameAndOneSecondPeak) {
    ValueTree type;
    type.leaves = {{kSkip2048}};
    Trees t;
    t.tree[kTreeType] = &type;
    FileLayout s;
    layOut(s, t, 16, 4);
    for (uint32_t size : {1000u, 4u, 8u, 400u, 16u, 8u, 4u, 8u, 4u, 2000u}) s.frames.push_back(std::vector<uint8_t>(size, 0));
    s.frameRate = 250;  // four frames a second
    std::vector<uint8_t> img = buildFile(s);
    img[kTvxHeaderSize + 5 * 4] |= 1;  // entry 5 reads 9: its flag bit counts in the figures only
    TorvexFile* f = TorvexOpenSized(img.data(), kTvxFromMemory, -1, img.size());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->largestFrame, 2000u);
    EXPECT_EQ(f->peakSecond, 8u + 400 + 16 + 9);  // window 2..5; windows 0 and 6 are not considered
    EXPECT_EQ(f->peakSecondStart, 3u);
    EXPECT_EQ(f->stats.averageFrameSize, 3453u / 10);
    TorvexSeek(f, 6);
    EXPECT_EQ(f->frameSize, 8u);
    TorvexClose(f);
    s.frameRate = 0;
    img = buildFile(s);
    f = TorvexOpenSized(img.data(), kTvxFromMemory, -1, img.size());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->peakSecond, 3452u);
    EXPECT_EQ(f->peakSecondStart, 1u);
    TorvexClose(f);
}
