#include "kroutil/input/frame_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

using namespace kro;

namespace {

uint32_t argb(uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
    return (a << 24) | (r << 16) | (g << 8) | b;
}

FrameView view32(const std::vector<uint32_t>& px, int32_t w, int32_t h) {
    return FrameView{reinterpret_cast<const uint8_t*>(px.data()), w, h, 32, ptrdiff_t(w) * 4, nullptr};
}

std::vector<uint32_t> pixelsOf(const FrameView& v) {
    std::vector<uint32_t> out(size_t(v.width) * v.height);
    for (int32_t y = 0; y < v.height; ++y) readPixels(v, y, 0, v.width, out.data() + size_t(y) * v.width);
    return out;
}

// Independent reference of the resampler: the filters written from their definitions, the
// centres from the scale, reflection at the edges, each output sample normalised.
double refWeight(int filter, double x) {
    double a = std::fabs(x);
    if (filter == 1) return a < 1 ? 1 - a : 0;
    if (filter == 2) return (x > -0.5 && x <= 0.5) ? 1 : 0;
    const double B = 1.0 / 3, C = 1.0 / 3;
    if (a < 1) return ((12 - 9 * B - 6 * C) * a * a * a + (-18 + 12 * B + 6 * C) * a * a + (6 - 2 * B)) / 6;
    if (a < 2)
        return ((-B - 6 * C) * a * a * a + (6 * B + 30 * C) * a * a + (-12 * B - 48 * C) * a + (8 * B + 24 * C)) / 6;
    return 0;
}

std::vector<std::vector<std::pair<int, double>>> refAxis(int n, int m, int filter) {
    std::vector<std::vector<std::pair<int, double>>> taps(m);
    if (n == m) {
        for (int i = 0; i < m; ++i) taps[i] = {{i, 1.0}};
        return taps;
    }
    double e = (n == 1 || m == 1) ? double(m) / n : double(m - 1) / (n - 1);
    double r = filter == 0 ? 2 : filter == 1 ? 1 : 0.5;
    for (int i = 0; i < m; ++i) {
        double c = i / e, sum = 0;
        double reach = e >= 1 ? r : r / e;
        for (int j = int(std::ceil(c - reach)); j <= int(std::floor(c + reach)); ++j) {
            double w = e >= 1 ? refWeight(filter, c - j) : e * refWeight(filter, (c - j) * e);
            int k = j;
            while (k < 0 || k >= n) {
                if (n == 1) { k = 0; break; }
                k = k < 0 ? -k : 2 * (n - 1) - k;
            }
            taps[i].push_back({k, w});
            sum += w;
        }
        for (auto& t : taps[i]) t.second /= sum;
    }
    return taps;
}

std::vector<uint32_t> refScale(const std::vector<uint32_t>& src, int w, int h, int ow, int oh, int filter) {
    auto hx = refAxis(w, ow, filter), vy = refAxis(h, oh, filter);
    std::vector<uint32_t> out(size_t(ow) * oh);
    for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
            uint32_t px = 0;
            for (int s = 0; s < 32; s += 8) {
                double v = 0;
                for (auto [sy, wy] : vy[y])
                    for (auto [sx, wx] : hx[x]) v += wy * wx * double((src[size_t(sy) * w + sx] >> s) & 255);
                // Nearest, halves down.
                uint32_t c = v <= 0 ? 0 : v >= 254.5 ? 255 : uint32_t(std::ceil(v - 0.5));
                px |= c << s;
            }
            out[size_t(y) * ow + x] = px;
        }
    return out;
}

int maxChannelDiff(uint32_t a, uint32_t b) {
    int m = 0;
    for (int s = 0; s < 32; s += 8) m = std::max(m, std::abs(int((a >> s) & 255) - int((b >> s) & 255)));
    return m;
}

}  // namespace

namespace {

// Runs one processor and returns its picture's pixels.
std::vector<uint32_t> run(uint32_t flags, int32_t w, int32_t h, const FrameView& src, const FrameArgs& args = {}) {
    FrameProcessor p;
    p.configure(flags, w, h);
    EXPECT_TRUE(p.process(src, args));
    return pixelsOf(p.picture());
}

std::vector<uint32_t> randomPicture(int32_t w, int32_t h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> px(size_t(w) * h);
    for (auto& p : px) p = rng();
    return px;
}

}  // namespace

TEST(FrameScaler, TwoToThreePlacesCentresAtZeroHalfAndOne) {
    for (ScaleFilter f : {ScaleFilter::Cubic, ScaleFilter::Triangle, ScaleFilter::Box}) {
        AxisScaler s = buildAxisScaler(2, 3, f);
        ASSERT_FALSE(s.identity);
        ASSERT_EQ(s.first.size(), 4u);
        // The middle sample sits halfway: symmetric weights on 0 and 1 (box takes the left).
        double w0 = 0, w1 = 0;
        for (int32_t k = s.first[1]; k < s.first[2]; ++k) (s.source[k] == 0 ? w0 : w1) += s.weight[k];
        if (f == ScaleFilter::Box) {
            EXPECT_DOUBLE_EQ(w0, 1.0);
        } else {
            EXPECT_DOUBLE_EQ(w0, 0.5);
            EXPECT_DOUBLE_EQ(w1, 0.5);
        }
    }
    // The triangle puts the ends exactly on the source samples.
    AxisScaler t = buildAxisScaler(2, 3, ScaleFilter::Triangle);
    EXPECT_EQ(t.first[1] - t.first[0], 1);
    EXPECT_EQ(t.source[t.first[0]], 0);
    EXPECT_EQ(t.source[t.first[2]], 1);
}

TEST(FrameScaler, TapsStayInsideTinySourcesAndSumToOne) {
    for (ScaleFilter f : {ScaleFilter::Cubic, ScaleFilter::Triangle, ScaleFilter::Box})
        for (int32_t n : {1, 2, 3, 7})
            for (int32_t m : {1, 2, 3, 5, 40}) {
                AxisScaler s = buildAxisScaler(n, m, f);
                if (s.identity) continue;
                for (int32_t i = 0; i < m; ++i) {
                    double sum = 0;
                    ASSERT_LT(s.first[i], s.first[i + 1]);
                    for (int32_t k = s.first[i]; k < s.first[i + 1]; ++k) {
                        ASSERT_GE(s.source[k], 0);
                        ASSERT_LT(s.source[k], n);
                        sum += s.weight[k];
                    }
                    EXPECT_NEAR(sum, 1.0, 1e-12) << n << "->" << m;
                }
            }
}

TEST(FrameScaler, RoundingRule) {
    struct Case { double v; int out; } cases[] = {
        {-3.0, 0}, {0.0, 0}, {0.2, 0}, {0.5, 0}, {0.5000011, 1}, {1.49, 1}, {1.51, 2},
        {254.4, 254}, {254.5, 255}, {300.0, 255}, {NAN, 0},
    };
    for (auto c : cases) EXPECT_EQ(roundChannel(c.v), c.out) << c.v;
}

TEST(FrameProcess, TriangleTwoByTwoToThreeByThreeExact) {
    std::vector<uint32_t> src = {argb(0, 0, 10, 200), argb(255, 100, 20, 0), argb(0, 51, 30, 100),
                                 argb(255, 255, 41, 3)};
    FrameProcessor p;
    p.configure(kFlagTriangle, 3, 3);
    ASSERT_TRUE(p.process(view32(src, 2, 2), FrameArgs{}));
    ASSERT_TRUE(p.ranStages());
    EXPECT_EQ(pixelsOf(p.picture()), refScale(src, 2, 2, 3, 3, 1));
    // The centre averages all four; 0+255+0+255 -> 127.5 rounds down (halves go down).
    EXPECT_EQ(p.picture().depth, 32);
    EXPECT_EQ(readPixel(p.picture(), 1, 1) >> 24, 127u);
}

TEST(FrameProcess, UniformPictureSurvivesEveryFilter) {
    std::vector<uint32_t> src(13 * 9, argb(200, 17, 128, 255));
    for (uint32_t flags : {0u, kFlagTriangle, kFlagBox})
        for (auto [w, h] : {std::pair{5, 4}, std::pair{31, 20}, std::pair{1, 1}}) {
            FrameProcessor p;
            p.configure(flags, w, h);
            ASSERT_TRUE(p.process(view32(src, 13, 9), FrameArgs{}));
            for (uint32_t px : pixelsOf(p.picture())) ASSERT_EQ(px, src[0]) << flags << " " << w;
        }
}

TEST(FrameProcess, RandomCubicUpAndDownWithinOne) {
    std::mt19937 rng(7);
    std::vector<uint32_t> src(17 * 11);
    for (auto& px : src) px = rng();
    for (auto [w, h] : {std::pair{40, 23}, std::pair{6, 4}, std::pair{17, 30}, std::pair{3, 11}}) {
        FrameProcessor p;
        p.configure(0, w, h);
        ASSERT_TRUE(p.process(view32(src, 17, 11), FrameArgs{}));
        auto got = pixelsOf(p.picture());
        auto want = refScale(src, 17, 11, w, h, 0);
        for (size_t i = 0; i < got.size(); ++i) ASSERT_LE(maxChannelDiff(got[i], want[i]), 1) << w << "x" << h;
    }
}

TEST(FrameProcess, VectorAndPlainScalersAgreeBitForBit) {
    auto src = randomPicture(37, 23, 11);
    for (uint32_t flags : {0u, kFlagTriangle, kFlagBox})
        for (auto [w, h] : {std::pair{80, 9}, std::pair{12, 50}, std::pair{37, 7}, std::pair{5, 23}}) {
            auto fast = run(flags, w, h, view32(src, 37, 23));
            gScalerPlainOnly = true;
            auto plain = run(flags, w, h, view32(src, 37, 23));
            gScalerPlainOnly = false;
            ASSERT_EQ(fast, plain) << flags << " " << w << "x" << h;
        }
}

TEST(FrameProcess, SourceDepthsReadAlike) {
    // One 2x1 picture in every depth: red-ish and blue-ish.
    uint8_t palette[768] = {};
    palette[3 * 1] = 0xF8; palette[3 * 1 + 1] = 0x08; palette[3 * 1 + 2] = 0x10;
    palette[3 * 2] = 0x00; palette[3 * 2 + 1] = 0x80; palette[3 * 2 + 2] = 0xF8;
    const uint32_t want[2] = {argb(0, 0xF8, 0x08, 0x10), argb(0, 0x00, 0x80, 0xF8)};
    uint8_t p8[2] = {1, 2};
    uint8_t p4[1] = {0x21};
    uint8_t p24[6] = {0x10, 0x08, 0xF8, 0xF8, 0x80, 0x00};
    auto w555 = [](uint32_t r, uint32_t g, uint32_t b) { return uint16_t((r >> 3) << 10 | (g >> 3) << 5 | b >> 3); };
    uint16_t a = w555(0xF8, 0x08, 0x10), b = w555(0x00, 0x80, 0xF8);
    uint8_t p16[4] = {uint8_t(a), uint8_t(a >> 8), uint8_t(b), uint8_t(b >> 8)};
    FrameView views[] = {{p8, 2, 1, 8, 2, palette}, {p4, 2, 1, 4, 1, palette}, {p24, 2, 1, 24, 6, nullptr},
                         {p16, 2, 1, 16, 4, nullptr}};
    for (const FrameView& v : views) {
        EXPECT_EQ(readPixel(v, 0, 0), want[0]) << v.depth;
        EXPECT_EQ(readPixel(v, 1, 0), want[1]) << v.depth;
        uint32_t canvas[2] = {};
        convertToCanvas32(v, 0, 0, 2, 1, canvas, 8, true);
        EXPECT_EQ(canvas[0], want[0]);
        EXPECT_EQ(canvas[1], want[1]);
    }
}

TEST(FrameProcess, NothingSelectedHandsBackTheSource) {
    uint8_t px[6] = {1, 2, 3, 4, 5, 6};
    uint8_t palette[768] = {};
    FrameView v{px, 3, 2, 8, 3, palette};
    FrameProcessor p;
    p.configure(kFlagKeepAlpha, 3, 2);
    FrameArgs args;
    args.gamma = 1.00005f;  // inside the tolerance: off
    ASSERT_TRUE(p.process(v, args));
    EXPECT_FALSE(p.ranStages());
    EXPECT_EQ(p.picture().pixels, px);
    EXPECT_EQ(p.picture().depth, 8);
}

TEST(FrameProcess, ColourStagesOverAllValues) {
    // One row of all 256 grey levels with alpha 77, then each stage alone against its formula.
    std::vector<uint32_t> src(256);
    for (uint32_t c = 0; c < 256; ++c) src[c] = argb(77, c, c, c);
    struct Case {
        const char* name;
        FrameArgs args;
        int (*want)(int);
    } cases[] = {
        {"levels 64", [] { FrameArgs a; a.levels = 64; return a; }(),
         [](int c) { return c >= 191 ? 255 : c > 64 ? (c - 64) * 255 / 127 : 0; }},
        {"levels 300 counts as 128", [] { FrameArgs a; a.levels = 300; return a; }(),
         [](int c) { return c >= 127 ? 255 : 0; }},
        {"brightness 200", [] { FrameArgs a; a.brightness = 200; return a; }(),
         [](int c) { return std::min(255, c * 2); }},
        {"brightness 37", [] { FrameArgs a; a.brightness = 37; return a; }(), [](int c) { return c * 37 / 100; }},
        {"brightness -5 is off", [] { FrameArgs a; a.brightness = -5; return a; }(), [](int c) { return c; }},
        {"gamma 2.2", [] { FrameArgs a; a.gamma = 2.2f; return a; }(),
         [](int c) { return int(std::floor(255.0 * std::pow(c / 255.0, double(2.2f)) + 0.5)); }},
        {"gamma 0.45", [] { FrameArgs a; a.gamma = 0.45f; return a; }(),
         [](int c) { return std::min(255, int(std::floor(255.0 * std::pow(c / 255.0, double(0.45f)) + 0.5))); }},
        {"gamma 1.00005 is off", [] { FrameArgs a; a.gamma = 1.00005f; return a; }(), [](int c) { return c; }},
        {"gamma -1 is off", [] { FrameArgs a; a.gamma = -1.0f; return a; }(), [](int c) { return c; }},
        {"gamma NaN is off", [] { FrameArgs a; a.gamma = NAN; return a; }(), [](int c) { return c; }},
        {"threshold 10", [] { FrameArgs a; a.threshold = 10; return a; }(), [](int c) { return c <= 10 ? 0 : c; }},
    };
    for (const Case& k : cases) {
        FrameProcessor p;
        p.configure(0, 256, 1);
        ASSERT_TRUE(p.process(view32(src, 256, 1), k.args));
        auto got = pixelsOf(p.picture());
        for (int c = 0; c < 256; ++c) {
            uint32_t v = uint32_t(k.want(c));
            ASSERT_EQ(got[c], argb(77, v, v, v)) << k.name << " at " << c;
        }
    }
}

TEST(FrameProcess, ThresholdNeedsAllThreeChannels) {
    std::vector<uint32_t> src = {argb(9, 10, 10, 10), argb(9, 11, 0, 0), argb(9, 0, 0, 11)};
    FrameProcessor p;
    p.configure(0, 3, 1);
    FrameArgs a;
    a.threshold = 10;
    ASSERT_TRUE(p.process(view32(src, 3, 1), a));
    EXPECT_EQ(pixelsOf(p.picture()), (std::vector<uint32_t>{argb(9, 0, 0, 0), src[1], src[2]}));
}


TEST(FrameProcess, SofteningWhereScalingChangesLittle) {
    auto src = randomPicture(100, 100, 3);
    const FrameView v = view32(src, 100, 100);
    FrameArgs soft;
    // 100 -> 90 changes the width by 10 percent: 5 percent softening is already there.
    soft.softening = 1280;
    EXPECT_EQ(run(0, 90, 100, v, soft), run(0, 90, 100, v));
    // 10 percent softening without scaling: down to 90 wide and back, in two scalings.
    soft.softening = 2560;
    FrameProcessor first;
    first.configure(0, 90, 100);
    ASSERT_TRUE(first.process(v, {}));
    EXPECT_EQ(run(0, 100, 100, v, soft), run(0, 100, 100, first.picture()));
    // Vertical softening sits in the high half.
    soft.softening = 2560u << 16;
    first.configure(0, 100, 90);
    ASSERT_TRUE(first.process(v, {}));
    EXPECT_EQ(run(0, 100, 100, v, soft), run(0, 100, 100, first.picture()));
}

TEST(FrameProcess, BlendAloneSoftensVerticallyByHalf) {
    auto src = randomPicture(6, 8, 4);
    const FrameView v = view32(src, 6, 8);
    FrameProcessor half;
    half.configure(kFlagTriangle, 6, 4);
    ASSERT_TRUE(half.process(v, {}));
    EXPECT_EQ(run(kFlagTriangle | kFlagFieldBlend, 6, 8, v), run(kFlagTriangle, 6, 8, half.picture()));
    // Halving the height already blends the fields.
    EXPECT_EQ(run(kFlagTriangle | kFlagFieldBlend, 6, 4, v), run(kFlagTriangle, 6, 4, v));
}

TEST(FrameProcess, DeInterlaceKeepsOneFieldAndInterpolates) {
    // A 1 x 5 grey column with rows 0, 40, 80, 120, 160.
    std::vector<uint32_t> src;
    for (uint32_t y = 0; y < 5; ++y) src.push_back(argb(0, 40 * y, 40 * y, 40 * y));
    struct Case {
        uint32_t flags;
        std::vector<uint32_t> rows;
    } cases[] = {
        {kFlagKeepField1, {0, 40, 80, 120, 160}},
        {kFlagKeepField2, {40, 80, 120, 120, 120}},
        // Blended: row 0 -> (3*0 + 40)/4 = 10, row 2 -> (240 + 120)/4 = 90, row 4 -> (480 + 120)/4 = 150.
        {kFlagKeepField1 | kFlagFieldBlend, {10, 50, 90, 120, 150}},
        // Rows 1 and 3 blend with the rows above: (120 + 0)/4 = 30, (360 + 80)/4 = 110.
        {kFlagKeepField2 | kFlagFieldBlend, {30, 70, 110, 110, 110}},
    };
    for (const Case& c : cases) {
        auto got = run(c.flags, 1, 5, view32(src, 1, 5));
        ASSERT_EQ(got.size(), 5u);
        for (int y = 0; y < 5; ++y) EXPECT_EQ(got[y], argb(0, c.rows[y], c.rows[y], c.rows[y])) << c.flags << " row " << y;
    }
    // One row: nothing to de-interlace.
    std::vector<uint32_t> one = {argb(1, 2, 3, 4)};
    FrameProcessor p;
    p.configure(kFlagKeepField2, 1, 1);
    ASSERT_TRUE(p.process(view32(one, 1, 1), {}));
    EXPECT_FALSE(p.ranStages());
}

TEST(FrameProcess, AlphaPremultiplyAndDivide) {
    std::vector<uint32_t> src = {argb(128, 200, 255, 0), argb(0, 9, 9, 9), argb(255, 7, 8, 9),
                                 argb(100, 50, 100, 255)};
    const FrameView v = view32(src, 4, 1);
    // Premultiplied as read, with or without a scaler (4 -> 4 wide, or via 4 x 2 triangle).
    const std::vector<uint32_t> pre = {argb(128, 100, 128, 0), argb(0, 0, 0, 0), argb(255, 7, 8, 9),
                                       argb(100, 19, 39, 100)};
    EXPECT_EQ(run(kFlagPremultiply, 4, 1, v), pre);
    auto tall = run(kFlagPremultiply | kFlagTriangle, 4, 2, v);
    EXPECT_EQ(std::vector<uint32_t>(tall.begin(), tall.begin() + 4), pre);
    // Divided: 50 x 255 / 100 = 127, above the alpha clamps to 255, alpha 0 untouched.
    EXPECT_EQ(run(kFlagDivideAlpha, 4, 1, v),
              (std::vector<uint32_t>{argb(128, 255, 255, 0), argb(0, 9, 9, 9), argb(255, 7, 8, 9),
                                     argb(100, 127, 255, 255)}));
    // Sources without alpha are not premultiplied.
    uint8_t p24[3] = {10, 20, 30};
    FrameProcessor p;
    p.configure(kFlagPremultiply, 1, 1);
    ASSERT_TRUE(p.process(FrameView{p24, 1, 1, 24, 3, nullptr}, {}));
    EXPECT_FALSE(p.ranStages());
}

TEST(FrameProcess, MedianOfNeighbourhoodAgainstSorting) {
    auto src = randomPicture(7, 6, 5);
    FrameArgs a;
    a.median = 1;
    auto got = run(0, 7, 6, view32(src, 7, 6), a);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 7; ++x) {
            uint32_t want = src[size_t(y) * 7 + x];
            if (x > 0 && x < 6 && y > 0 && y < 5) {
                want = 0;
                for (int s = 0; s < 32; s += 8) {
                    std::vector<uint32_t> nine;
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) nine.push_back((src[size_t(y + dy) * 7 + x + dx] >> s) & 255);
                    std::sort(nine.begin(), nine.end());
                    want |= nine[4] << s;
                }
            }
            ASSERT_EQ(got[size_t(y) * 7 + x], want) << x << "," << y;
        }
    // Pictures thinner than three are copied.
    auto thin = randomPicture(2, 5, 6);
    EXPECT_EQ(run(0, 2, 5, view32(thin, 2, 5), a), thin);
}

TEST(FrameProcess, ScalersFollowTheSourceSize) {
    // One processor fed frames of changing size gives what fresh processors give.
    auto a = randomPicture(9, 7, 8), b = randomPicture(4, 13, 9);
    FrameProcessor p;
    p.configure(0, 6, 6);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(p.process(view32(a, 9, 7), {}));
        EXPECT_EQ(pixelsOf(p.picture()), run(0, 6, 6, view32(a, 9, 7)));
        ASSERT_TRUE(p.process(view32(b, 4, 13), {}));
        EXPECT_EQ(pixelsOf(p.picture()), run(0, 6, 6, view32(b, 4, 13)));
    }
}

TEST(FrameProcess, ChainOrderGammaBeforeThresholdBeforeLevels) {
    // Gamma 2 takes 40 to 6, under the threshold 10; levels 20 would have kept 40 (-> 23).
    std::vector<uint32_t> src = {argb(5, 40, 40, 40)};
    FrameArgs a;
    a.gamma = 2.0f;
    a.threshold = 10;
    a.levels = 20;
    a.brightness = 50;
    EXPECT_EQ(run(0, 1, 1, view32(src, 1, 1), a), (std::vector<uint32_t>{argb(5, 0, 0, 0)}));
    a.threshold = 0;
    // 40 -> gamma 6 -> levels 0 -> brightness 0; 200 -> 157 -> (137 x 255 / 215 = 162) -> 81.
    src.push_back(argb(5, 200, 200, 200));
    EXPECT_EQ(run(0, 2, 1, view32(src, 2, 1), a), (std::vector<uint32_t>{argb(5, 0, 0, 0), argb(5, 81, 81, 81)}));
}

TEST(FrameCanvas, ConversionsClipAndKeepAlphaOnRequest) {
    std::vector<uint32_t> src = {argb(9, 1, 2, 3), argb(8, 4, 5, 6), argb(7, 7, 8, 9), argb(6, 10, 11, 12)};
    const FrameView v = view32(src, 2, 2);
    uint32_t canvas[3 * 3];
    // Placed one column left of the picture: canvas column 0 stays as it was.
    std::fill(canvas, canvas + 9, 0xDEADBEEFu);
    convertToCanvas32(v, -1, 0, 3, 3, canvas, 12, false);
    EXPECT_EQ(canvas[0], 0xDEADBEEFu);
    EXPECT_EQ(canvas[1], 0x00010203u);
    EXPECT_EQ(canvas[2], 0x00040506u);
    EXPECT_EQ(canvas[5], 0x000A0B0Cu);
    EXPECT_EQ(canvas[7], 0xDEADBEEFu);  // row 2 lies below the picture
    convertToCanvas32(v, 0, 1, 2, 1, canvas, 12, true);
    EXPECT_EQ(canvas[0], argb(7, 7, 8, 9));
    // 4-bit pixels, low nibble first, through a remap table.
    uint8_t nib[2] = {0x21, 0x03};
    uint8_t remap[256];
    for (int i = 0; i < 256; ++i) remap[i] = uint8_t(100 + i);
    uint8_t out8[3] = {};
    convertToCanvas8(FrameView{nib, 3, 1, 4, 2, nullptr}, 0, 0, 3, 1, out8, 3, remap);
    EXPECT_EQ(out8[0], 101);
    EXPECT_EQ(out8[1], 102);
    EXPECT_EQ(out8[2], 103);
    // 24-bit conversion of a part of a processed picture.
    FrameProcessor p;
    p.configure(kFlagDivideAlpha, 2, 2);
    ASSERT_TRUE(p.process(v, {}));
    const FrameView* packed = p.packed24(1, 0, 5, 2);
    ASSERT_NE(packed, nullptr);
    EXPECT_EQ(packed->width, 1);
    EXPECT_EQ(packed->height, 2);
    EXPECT_EQ(packed->depth, 24);
    EXPECT_EQ(readPixel(*packed, 0, 1), readPixel(p.picture(), 1, 1) & 0xFFFFFFu);
    EXPECT_EQ(p.packed24(2, 0, 1, 1), nullptr);
}

TEST(FrameProcess, ExtremeSettingsOnTinyPictures) {
    // Every stage at once, softening beyond 100 percent, pictures of one and two pixels: the
    // result has the scaled size and (under the sanitizers) nothing is read or written outside.
    auto src = randomPicture(2, 2, 13);
    const uint32_t all = kFlagKeepField2 | kFlagFieldBlend | kFlagPremultiply | kFlagDivideAlpha;
    FrameArgs a;
    a.median = 1;
    a.softening = 0xFFFFFFFFu;
    a.levels = 1000;
    a.brightness = 1000000;
    a.gamma = 1e30f;
    a.threshold = 1 << 30;
    for (uint32_t filter : {0u, kFlagTriangle, kFlagBox})
        for (auto [sw, sh] : {std::pair{1, 1}, std::pair{1, 2}, std::pair{2, 1}, std::pair{2, 2}})
            for (auto [w, h] : {std::pair{1, 1}, std::pair{3, 1}, std::pair{1, 5}, std::pair{0, -4}}) {
                FrameProcessor p;
                p.configure(all | filter, w, h);
                ASSERT_TRUE(p.process(view32(src, sw, sh), a));
                EXPECT_EQ(p.picture().width, std::max(w, 1));
                EXPECT_EQ(p.picture().height, std::max(h, 1));
                EXPECT_EQ(p.picture().depth, 32);
            }
    FrameProcessor p;
    p.configure(0, 4, 4);
    EXPECT_FALSE(p.process(FrameView{}, {}));
    EXPECT_EQ(p.picture().pixels, nullptr);
}
