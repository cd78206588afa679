#include "kroutil/input/palette.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using namespace kro;

namespace {

using Rgb = std::array<uint8_t, 3>;

Rgb entry(const uint8_t* palette, int e) { return {palette[3 * e], palette[3 * e + 1], palette[3 * e + 2]}; }

struct Log {
    std::vector<std::pair<std::string, int32_t>> messages;
    int32_t cancelAfter = -1;  // answer non-zero to this message number
    PaletteProgress fn() {
        return [this](const char* text, int32_t level) {
            messages.push_back({text, level});
            return int32_t(cancelAfter >= 0 && int32_t(messages.size()) > cancelAfter);
        };
    }
};

// Colours whose channels are multiples of 4 survive the 6-bit codes unchanged.
Rgb six(uint8_t r, uint8_t g, uint8_t b) { return {uint8_t(r & 0xFC), uint8_t(g & 0xFC), uint8_t(b & 0xFC)}; }

}  // namespace

TEST(PaletteReduce, FiveColoursIntoEightMakeFiveBoxes) {
    // Channels below 64 expand back to themselves from 6 bits, whichever way a mean is made.
    const Rgb colours[5] = {six(0, 0, 0), six(60, 0, 0), six(0, 60, 0), six(0, 0, 60), six(32, 32, 32)};
    Histogram h;
    ASSERT_TRUE(h.valid());
    uint64_t n = 1;
    for (const Rgb& c : colours) h.add(colourCode(c[0], c[1], c[2]), n++ * 10);
    uint8_t palette[768];
    std::fill(palette, palette + 768, uint8_t(0x55));
    Log log;
    ReduceResult r = reducePalette(h, palette, 20, 8, 0, 0, nullptr, log.fn());
    EXPECT_EQ(r.boxes, 5);
    EXPECT_FALSE(r.cancelled);
    // Each colour is its own box, exactly (means of single colours are their own values).
    std::multiset<Rgb> got, want(std::begin(colours), std::end(colours));
    int untouched = 0;
    for (int e = 20; e < 28; ++e) {
        Rgb c = entry(palette, e);
        if (c == Rgb{0x55, 0x55, 0x55}) ++untouched;
        else got.insert(c);
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(untouched, 3);  // slots without a colour keep theirs
    for (int e : {19, 28}) EXPECT_EQ(entry(palette, e), (Rgb{0x55, 0x55, 0x55}));
    // Four splits, each announced, the first at level 1; then one placement text.
    ASSERT_EQ(log.messages.size(), 6u);  // 4 splits + the fifth attempt that finds nothing + placing
    EXPECT_EQ(log.messages[0], (std::pair<std::string, int32_t>{"Reducing the number of colors (1%)...", 1}));
    EXPECT_EQ(log.messages[1], (std::pair<std::string, int32_t>{"Reducing the number of colors (13%)...", 0}));
    EXPECT_EQ(log.messages[5], (std::pair<std::string, int32_t>{"Minimizing palette changes...", 1}));
}

TEST(PaletteReduce, SystemColoursStayAndAreNotRepeated) {
    uint8_t palette[768] = {};
    ReservedEntries res = reservedEntries(0, 256, 0);
    EXPECT_EQ(res.low, 10);
    EXPECT_EQ(res.high, 10);
    writeSystemColours(palette);
    // A picture of a gradient plus pure white, a system colour.
    Histogram h;
    for (uint32_t g = 0; g < 64; ++g) h.add(colourCode(0, g * 4, 200), 100);
    h.add(colourCode(255, 255, 255), 5000);
    ReduceResult r = reducePalette(h, palette, res.start, res.count, res.low, res.high, nullptr, {});
    EXPECT_EQ(r.boxes, 64);  // white is shown by entry 255 already
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(entry(palette, i), (Rgb{kSystemColours[i][0], kSystemColours[i][1], kSystemColours[i][2]}));
        EXPECT_EQ(entry(palette, 246 + i),
                  (Rgb{kSystemColours[10 + i][0], kSystemColours[10 + i][1], kSystemColours[10 + i][2]}));
    }
    for (int e = 10; e < 246; ++e) EXPECT_NE(entry(palette, e), (Rgb{255, 255, 255})) << e;
}

TEST(PaletteReduce, ReservedEntryCounts) {
    struct Case { int32_t start, count, option, low, high; } cases[] = {
        {0, 256, 0, 10, 10}, {0, 256, 1, 10, 10}, {0, 256, 2, 0, 0}, {20, 200, 0, 0, 0},
        {5, 100, 0, 5, 0},   {200, 56, 0, 0, 10}, {0, 4, 0, 4, 0},   {250, 100, 0, 0, 6},
        {-3, 300, 0, 10, 10},
    };
    for (auto c : cases) {
        ReservedEntries r = reservedEntries(c.start, c.count, c.option);
        EXPECT_EQ(r.low, c.low) << c.start << "," << c.count;
        EXPECT_EQ(r.high, c.high) << c.start << "," << c.count;
        EXPECT_LE(r.start + r.count, 256);
    }
}

TEST(PaletteReduce, GradientIntoSixteenIsEven) {
    Histogram h;
    for (uint32_t g = 0; g < 64; ++g) h.add(colourCode(g * 4, g * 4, g * 4), 50);
    uint8_t palette[768] = {};
    ReduceResult r = reducePalette(h, palette, 0, 16, 0, 0, nullptr, {});
    ASSERT_EQ(r.boxes, 16);
    std::set<int> levels;
    for (int e = 0; e < 16; ++e) {
        Rgb c = entry(palette, e);
        EXPECT_EQ(c[0], c[1]);
        EXPECT_EQ(c[1], c[2]);
        levels.insert(c[0]);
    }
    EXPECT_EQ(levels.size(), 16u);
    // Every level of the ramp finds an entry close by: boxes of about four levels.
    for (int v = 0; v < 256; v += 4) {
        int nearest = 255;
        for (int l : levels) nearest = std::min(nearest, std::abs(l - v));
        EXPECT_LE(nearest, 12) << v;
    }
}

TEST(PaletteReduce, CancelKeepsTheBoxesMadeSoFar) {
    Histogram h;
    for (uint32_t g = 0; g < 64; ++g) h.add(colourCode(g * 4, 0, 0), 1);
    uint8_t palette[768] = {};
    Log log;
    log.cancelAfter = 3;  // the fourth split text asks to stop
    ReduceResult r = reducePalette(h, palette, 0, 32, 0, 0, nullptr, log.fn());
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.boxes, 4);
    EXPECT_EQ(log.messages.back().first, "Minimizing palette changes...");
}

TEST(PaletteReduce, PlacementFollowsWhatTheScreenUses) {
    // The previous palette: greens, with blue at 3 and red at 5. The new colours are red and
    // blue. When every entry is in use they go where they already are; when only 3 and 5 are
    // in use, those stay as they are and the new colours take unused entries.
    for (bool allUsed : {true, false}) {
        uint8_t palette[768] = {};
        for (int e = 0; e < 8; ++e) palette[3 * e + 1] = uint8_t(30 * e);
        palette[3 * 3 + 1] = 0; palette[3 * 3 + 2] = 252;
        palette[3 * 5 + 1] = 0; palette[3 * 5 + 0] = 252;
        uint8_t before[768];
        std::copy(palette, palette + 768, before);
        uint64_t weights[256] = {};
        for (int e = 0; e < 8; ++e) weights[e] = allUsed ? 1 : (e == 3 || e == 5) ? 1000 : 0;
        Histogram h;
        h.add(colourCode(252, 0, 0), 10);
        h.add(colourCode(0, 0, 252), 10);
        ASSERT_EQ(reducePalette(h, palette, 0, 8, 0, 0, weights, {}).boxes, 2);
        int changed = 0;
        std::set<Rgb> placed;
        for (int e = 0; e < 8; ++e)
            if (entry(palette, e) != entry(before, e)) {
                ++changed;
                placed.insert(entry(palette, e));
            }
        if (allUsed) {
            EXPECT_EQ(entry(palette, 3), (Rgb{0, 0, 255}));
            EXPECT_EQ(entry(palette, 5), (Rgb{255, 0, 0}));
            EXPECT_EQ(changed, 2);
        } else {
            EXPECT_EQ(entry(palette, 3), entry(before, 3));
            EXPECT_EQ(entry(palette, 5), entry(before, 5));
            EXPECT_EQ(placed, (std::set<Rgb>{{0, 0, 255}, {255, 0, 0}}));
        }
    }
}

TEST(PaletteReduce, EmptyHistogramWritesNothing) {
    Histogram h;
    uint8_t palette[768];
    std::fill(palette, palette + 768, uint8_t(9));
    Log log;
    EXPECT_EQ(reducePalette(h, palette, 0, 256, 0, 0, nullptr, log.fn()).boxes, 0);
    EXPECT_TRUE(log.messages.empty());
    EXPECT_TRUE(std::all_of(palette, palette + 768, [](uint8_t v) { return v == 9; }));
}

TEST(PaletteHistogram, RowsOfEveryDepthCountTheTopSixBits) {
    uint8_t palette[768] = {};
    palette[3 * 7] = 0xFF; palette[3 * 7 + 1] = 0x81; palette[3 * 7 + 2] = 0x03;
    const uint32_t code = colourCode(0xFF, 0x81, 0x03);
    uint8_t p8[2] = {7, 7};
    uint8_t p4[1] = {0x77};
    uint8_t p24[6] = {0x03, 0x81, 0xFF, 0x03, 0x81, 0xFF};
    uint8_t p32[8] = {0x03, 0x81, 0xFF, 0x12, 0x03, 0x81, 0xFF, 0x99};
    // 5-5-5 keeps 5 bits: 0xFF -> 31 -> 62 as 6 bits, 0x81 -> 16 -> 32, 0x03 -> 0.
    uint16_t w = uint16_t(31 << 10 | 16 << 5 | 0);
    uint8_t p16[4] = {uint8_t(w), uint8_t(w >> 8), uint8_t(w), uint8_t(w >> 8)};
    struct Case { FrameView v; uint32_t code; } cases[] = {
        {{p8, 2, 1, 8, 2, palette}, code},   {{p4, 2, 1, 4, 1, palette}, code},
        {{p24, 2, 1, 24, 6, nullptr}, code}, {{p32, 2, 1, 32, 8, nullptr}, code},
        {{p16, 2, 1, 16, 4, nullptr}, (62u << 12) | (32u << 6)},
    };
    for (const Case& c : cases) {
        Histogram h;
        h.addView(c.v, 0, 0, 2, 1);
        EXPECT_EQ(h.count(c.code), 2u) << c.v.depth;
        h.addView(c.v, 1, 0, 5, 3);  // clipped to the one pixel inside
        EXPECT_EQ(h.count(c.code), 3u) << c.v.depth;
    }
}

TEST(PaletteMapping, RemapTablePrefersExactThenNearby) {
    uint8_t source[768], working[768];
    for (int j = 0; j < 256; ++j)
        for (int c = 0; c < 3; ++c) source[3 * j + c] = working[3 * j + c] = uint8_t(j);
    uint8_t table[256];
    // The whole palette: identity.
    buildRemapTable(source, working, 0, 256, table);
    for (int j = 0; j < 256; ++j) ASSERT_EQ(table[j], j);
    // Entries 10..19 only: colours outside go to the nearest entry in range.
    buildRemapTable(source, working, 10, 10, table);
    EXPECT_EQ(table[0], 10);
    EXPECT_EQ(table[15], 15);
    EXPECT_EQ(table[255], 19);
    // Two entries with the colour of source 40: the one closer in position wins.
    working[3 * 12] = working[3 * 12 + 1] = working[3 * 12 + 2] = 40;
    working[3 * 18] = working[3 * 18 + 1] = working[3 * 18 + 2] = 40;
    buildRemapTable(source, working, 10, 10, table);
    EXPECT_EQ(table[40], 18);
}

TEST(PaletteMapping, DeepColoursFindNearestAndCacheFollowsThePalette) {
    uint8_t palette[768] = {};
    auto set = [&](int e, uint8_t r, uint8_t g, uint8_t b) {
        palette[3 * e] = r; palette[3 * e + 1] = g; palette[3 * e + 2] = b;
    };
    set(4, 255, 0, 0);
    set(5, 0, 255, 0);
    set(6, 0, 255, 0);  // a duplicate: the first one wins
    set(9, 0, 0, 255);  // outside the range
    ColourMapper m;
    ASSERT_TRUE(m.setPalette(palette, 4, 3));
    EXPECT_EQ(m.map(colourCode(250, 10, 0)), 4);
    EXPECT_EQ(m.map(colourCode(0, 200, 30)), 5);
    EXPECT_EQ(m.map(colourCode(0, 0, 255)), 4);  // as far from red as from green: the first
    uint8_t p24[9] = {0, 0, 250, 0, 250, 0, 0, 0, 0};
    uint8_t out[3] = {};
    m.mapView(FrameView{p24, 3, 1, 24, 9, nullptr}, 0, 0, 3, 1, out, 3);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(out[1], 5);
    EXPECT_EQ(out[2], 4);
    // A palette change clears the cache.
    set(5, 0, 0, 0);
    ASSERT_TRUE(m.setPalette(palette, 4, 3));
    EXPECT_EQ(m.map(colourCode(0, 0, 0)), 5);
    EXPECT_EQ(m.map(colourCode(0, 200, 30)), 6);
}

TEST(PaletteMapping, VectorAndPlainSearchesAgree) {
    std::mt19937 rng(12);
    for (auto [start, count] : {std::pair{0, 256}, std::pair{10, 236}, std::pair{37, 5}, std::pair{200, 17}}) {
        uint8_t palette[768];
        // Few distinct values, so that ties between entries are common.
        for (auto& v : palette) v = uint8_t((rng() % 6) * 51);
        ColourMapper fast, plain;
        ASSERT_TRUE(fast.setPalette(palette, start, count));
        ASSERT_TRUE(plain.setPalette(palette, start, count));
        for (int i = 0; i < 4000; ++i) {
            const uint32_t code = rng() % kColourCodes;
            const uint8_t a = fast.map(code);
            gMapperPlainOnly = true;
            const uint8_t b = plain.map(code);
            gMapperPlainOnly = false;
            ASSERT_EQ(a, b) << start << "+" << count << " code " << code;
            ASSERT_GE(a, start);
            ASSERT_LT(a, start + count);
        }
    }
}

namespace {

// A plain reference of the splitting, written from the rules: errors summed colour by colour
// with the weights 30, 58, 12 about the truncated mean, all 512 thresholds tried in order.
struct RefColour {
    int r, g, b;
    uint64_t n;
};

struct RefBox {
    std::vector<RefColour> colours;
    int mean[3];
    uint64_t error;
    bool split = false;
    std::vector<RefColour> in, out;
    int inMean[3], outMean[3];
    uint64_t inError = 0, outError = 0;
};

void refMean(const std::vector<RefColour>& cs, int mean[3]) {
    uint64_t n = 0, s[3] = {0, 0, 0};
    for (auto& c : cs) n += c.n, s[0] += c.n * c.r, s[1] += c.n * c.g, s[2] += c.n * c.b;
    for (int k = 0; k < 3; ++k) mean[k] = int(s[k] * 4 / n);
}

uint64_t refError(const std::vector<RefColour>& cs, const int mean[3]) {
    uint64_t e = 0;
    for (auto& c : cs) {
        int64_t dr = c.r - (mean[0] >> 2), dg = c.g - (mean[1] >> 2), db = c.b - (mean[2] >> 2);
        e += c.n * uint64_t(30 * dr * dr + 58 * dg * dg + 12 * db * db);
    }
    return e;
}

void refBestSplit(RefBox& box) {
    box.split = box.colours.size() >= 2;
    if (box.colours.size() <= 2) {
        const RefColour& a = box.colours[0];
        const RefColour& b = box.colours.size() == 2 ? box.colours[1] : a;
        box.in = {a};
        box.out = {b};
        int am[3] = {a.r, a.g, a.b}, bm[3] = {b.r, b.g, b.b};
        for (int k = 0; k < 3; ++k) box.inMean[k] = (am[k] << 2) | (am[k] >> 4), box.outMean[k] = (bm[k] << 2) | (bm[k] >> 4);
        box.inError = box.outError = 0;
        return;
    }
    bool found = false;
    uint64_t best = 0;
    for (int i = 0; i < 512; ++i) {
        int t = i % 64;
        int R = (i & 64) ? 63 : t, G = (i & 128) ? 63 : t, B = (i & 256) ? 63 : t;
        std::vector<RefColour> in, out;
        for (auto& c : box.colours) (c.r <= R && c.g <= G && c.b <= B ? in : out).push_back(c);
        if (in.empty() || out.empty()) continue;
        int im[3], om[3];
        refMean(in, im);
        refMean(out, om);
        uint64_t sum = refError(in, im) + refError(out, om);
        if (!found || sum < best) {
            found = true;
            best = sum;
            box.in = in, box.out = out;
            std::copy(im, im + 3, box.inMean);
            std::copy(om, om + 3, box.outMean);
            box.inError = refError(in, im), box.outError = refError(out, om);
        }
    }
}

std::multiset<Rgb> refReduce(const std::vector<RefColour>& colours, int wanted) {
    std::vector<RefBox> boxes(1);
    boxes[0].colours = colours;
    refMean(colours, boxes[0].mean);
    boxes[0].error = refError(colours, boxes[0].mean);
    refBestSplit(boxes[0]);
    while (int(boxes.size()) < wanted) {
        int chosen = -1;
        int64_t most = 0;
        for (size_t b = 0; b < boxes.size(); ++b) {
            int64_t r = boxes[b].split ? int64_t(boxes[b].error) - int64_t(boxes[b].inError + boxes[b].outError) : 0;
            if (chosen < 0 || r > most) chosen = int(b), most = r;
        }
        if (most <= 0) break;
        RefBox out;
        RefBox& box = boxes[size_t(chosen)];
        out.colours = box.out;
        std::copy(box.outMean, box.outMean + 3, out.mean);
        out.error = box.outError;
        box.colours = box.in;
        std::copy(box.inMean, box.inMean + 3, box.mean);
        box.error = box.inError;
        refBestSplit(box);
        refBestSplit(out);
        boxes.push_back(out);
    }
    std::multiset<Rgb> means;
    for (auto& b : boxes) means.insert(Rgb{uint8_t(b.mean[0]), uint8_t(b.mean[1]), uint8_t(b.mean[2])});
    return means;
}

}  // namespace

TEST(PaletteReduce, SplitsAsThePlainRulesDo) {
    std::mt19937 rng(21);
    const uint32_t keepDefault = gPaletteKeepBuckets;
    for (int round = 0; round < 16; ++round) {
        // Half the rounds with large boxes keeping their sums from split to split.
        gPaletteKeepBuckets = round % 4 < 2 ? keepDefault : 6;
        // Clustered colours with uneven counts; channels below 63 so that no mean can be white.
        std::vector<RefColour> colours;
        Histogram h;
        const int clusters = 2 + int(rng() % 5);
        for (int k = 0; k < clusters; ++k) {
            int cr = int(rng() % 50), cg = int(rng() % 50), cb = int(rng() % 50);
            for (int j = 0; j < 25; ++j) {
                int r = cr + int(rng() % 12), g = cg + int(rng() % 12), b = cb + int(rng() % 12);
                uint32_t code = uint32_t(r << 12 | g << 6 | b);
                uint64_t n = 1 + rng() % (round % 2 ? 1000 : 3);
                if (h.count(code) == 0) colours.push_back({r, g, b, 0});
                h.add(code, n);
            }
        }
        std::sort(colours.begin(), colours.end(), [](auto& a, auto& b) {
            return std::tie(a.r, a.g, a.b) < std::tie(b.r, b.g, b.b);
        });
        for (auto& c : colours) c.n = h.count(uint32_t(c.r << 12 | c.g << 6 | c.b));
        const int wanted = 3 + int(rng() % 40);
        uint8_t palette[768];
        std::fill(palette, palette + 768, uint8_t(255));
        ReduceResult r = reducePalette(h, palette, 0, wanted, 0, 0, nullptr, {});
        std::multiset<Rgb> got;
        for (int e = 0; e < wanted; ++e)
            if (entry(palette, e) != Rgb{255, 255, 255}) got.insert(entry(palette, e));
        const std::multiset<Rgb> want = refReduce(colours, wanted);
        EXPECT_EQ(r.boxes, int(want.size())) << "round " << round;
        EXPECT_EQ(got, want) << "round " << round;
    }
    gPaletteKeepBuckets = keepDefault;
}

TEST(PaletteReduce, RangesBeyondThePaletteAreClamped) {
    struct Case { int32_t start, count, low, high; int first, last; } cases[] = {
        {250, 100, 0, 0, 250, 255},  // runs off the end: entries 250..255 only
        {-20, 30, 0, 0, 0, 9},       // starts before 0: entries 0..9
        {100, 10, 50, 50, 0, -1},    // everything reserved: nothing computed
    };
    for (const Case& c : cases) {
        Histogram h;
        for (uint32_t v = 0; v < 64; ++v) h.add(colourCode(v * 4, 0, 100), 1 + v);
        uint8_t palette[768];
        std::fill(palette, palette + 768, uint8_t(1));
        ReduceResult r = reducePalette(h, palette, c.start, c.count, c.low, c.high, nullptr, {});
        EXPECT_EQ(r.boxes, c.last - c.first + 1) << c.start;
        for (int e = 0; e < 256; ++e) {
            const bool inRange = e >= c.first && e <= c.last;
            EXPECT_EQ(entry(palette, e) != (Rgb{1, 1, 1}), inRange) << c.start << " entry " << e;
        }
    }
    Histogram h;
    EXPECT_TRUE(reducePalette(h, nullptr, 0, 256, 0, 0, nullptr, {}).failed);
}
