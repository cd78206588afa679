// Graphics input: sources of every kind through GFileOpen and GFileGet, the range, rate, size and
// placement arithmetic, lists and numbered sequences, the status messages, and the switches of
// GFileCommandLine.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bytes/byte_order.h"
#include "encoder/torvex_writer.h"
#include "kroutil/gfile.h"
#include "kroutil/flic.h"
#include "kroutil/image.h"
#include "kroutil/output/avi_writer.h"
#include "kroutil/quarn.h"
#include "kroutil/util/status_send.h"
#include "tests/kroutil/quarn/quarn_fixture.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::TempDir;

// ---- the status log ---------------------------------------------------------------------------

struct Message {
    std::string text;
    int32_t level;
};
std::vector<Message> gLog;
int32_t gCancelAt = -1;  // answer "cancel" to the progress text with this index

int32_t logStatus(const char* text, int32_t level) {
    gLog.push_back({text ? text : "", level});
    return gCancelAt >= 0 && int32_t(gLog.size()) - 1 == gCancelAt ? 1 : 0;
}

// ---- fixtures -------------------------------------------------------------------------------------

// A raw frame file: one palette, then per frame a tag: 1 with pixels (value = frame number + x),
// or 2 (repeat the previous picture).
Bytes rawFile(uint32_t frames, uint32_t w, uint32_t h, int32_t rate, const std::vector<uint32_t>& tags = {}) {
    Bytes b(20);
    std::memcpy(b.data(), "RAWB", 4);
    bytes::store32le(&b[4], frames);
    bytes::store32le(&b[8], w);
    bytes::store32le(&b[12], h);
    bytes::store32le(&b[16], uint32_t(rate));
    for (uint32_t k = 0; k < frames; ++k) {
        uint32_t tag = k < tags.size() ? tags[k] : 1;
        if (k == 0) {
            b.insert(b.end(), 4, 0);  // tag 0: palette
            for (int i = 0; i < 256; ++i) {
                b.push_back(uint8_t(i));
                b.push_back(uint8_t(255 - i));
                b.push_back(uint8_t(i / 2));
            }
        }
        uint8_t t[4];
        bytes::store32le(t, tag);
        b.insert(b.end(), t, t + 4);
        if (tag == 1)
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) b.push_back(uint8_t(k * 10 + x + y * 3));
    }
    return b;
}

uint32_t rawColour(uint32_t index) { return index << 16 | (255 - index) << 8 | index / 2; }

uint32_t canvasPixel(const GFile* g, int32_t x, int32_t y) {
    uint32_t v;
    std::memcpy(&v, g->canvasBuffer + int64_t(y) * g->canvasPitch + int64_t(x) * 4, 4);
    return v;
}

struct Opened {
    GFile* g = nullptr;
    ~Opened() { GFileClose(g); }
};

GFile* openPlain(const std::string& name, int32_t flags = 0, int32_t sn = 0, int32_t sd = 0, int32_t on = 0,
                 int32_t od = 0, int32_t ws = 0, int32_t hs = 0, int32_t x = 0, int32_t y = 0, int32_t cw = 0,
                 int32_t ch = 0, int32_t first = 0, int32_t last = 0) {
    return GFileOpen(name.c_str(), flags, sn, sd, on, od, ws, hs, x, y, cw, ch, first, last, 0, 0, 256, 0, 0, 0, "",
                     nullptr, logStatus);
}

// The first pixel of every delivered frame (a frame's identity in the fixtures).
std::vector<uint32_t> firstPixels(GFile* g) {
    std::vector<uint32_t> out;
    while (g->outputFrameCounter < g->outputFrameCount) {
        EXPECT_EQ(GFileGet(g, 0, 0, 0, 100, 1.0f, 0), 1);
        out.push_back(canvasPixel(g, 0, 0));
    }
    return out;
}

class GFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        gLog.clear();
        gCancelAt = -1;
        kro::statusResetWarnOnce();
    }
    TempDir dir;
};

// ---- raw frame files, rates and the message log ---------------------------------------------------

TEST_F(GFileTest, RawFramesTagsAndMessages) {
    // 25 frames per second is a rate field of 4000; frame 2 repeats frame 1 (tag 2).
    testsupport::writeFile(dir.file("a.raw"), rawFile(3, 5, 2, 4000, {1, 2, 1}));
    Opened o;
    o.g = openPlain(dir.file("a.raw"));
    ASSERT_NE(o.g, nullptr);
    GFile* g = o.g;
    EXPECT_EQ(g->kind, GFILE_KIND_RAW);
    EXPECT_STREQ(g->typeName, "");
    EXPECT_EQ(g->sourceWidth, 5);
    EXPECT_EQ(g->canvasPitch, 8 * 4);
    EXPECT_EQ(g->fileRateNum, 25);
    EXPECT_EQ(g->fileRateDen, 1);
    EXPECT_EQ(g->outputRateField, -4000);
    EXPECT_EQ(g->outputFrameCount, 3);
    EXPECT_EQ(g->trueColour, 1);
    EXPECT_EQ(firstPixels(g), (std::vector<uint32_t>{rawColour(0), rawColour(0), rawColour(20)}));
    EXPECT_EQ(canvasPixel(g, 4, 1), rawColour(20 + 4 + 3));
    ASSERT_EQ(gLog.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(gLog[k].text, "Processing frame " + std::to_string(k + 1) + " of 3...");
        EXPECT_EQ(gLog[k].level, 0);
    }
}

TEST_F(GFileTest, RawRateZeroRunsAtFifteen) {
    testsupport::writeFile(dir.file("z.raw"), rawFile(2, 4, 4, 0));
    Opened o;
    o.g = openPlain(dir.file("z.raw"));
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->fileRateNum, 15);
    EXPECT_EQ(o.g->fileRateDen, 1);
    EXPECT_EQ(o.g->outputRateField, -6666);
}

TEST_F(GFileTest, RateConversionRepeatsOrDropsFrames) {
    testsupport::writeFile(dir.file("r.raw"), rawFile(6, 4, 1, 4000));  // 25 fps, frames 0..5
    struct Case {
        int32_t on, od;
        std::vector<uint32_t> frames;
    } cases[] = {
        {50, 1, {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5}},
        {25, 2, {0, 2, 4}},
        {0, 0, {0, 1, 2, 3, 4, 5}},
    };
    for (const Case& c : cases) {
        Opened o;
        o.g = openPlain(dir.file("r.raw"), 0, 0, 0, c.on, c.od);
        ASSERT_NE(o.g, nullptr);
        std::vector<uint32_t> expect;
        for (uint32_t f : c.frames) expect.push_back(rawColour(f * 10));
        EXPECT_EQ(firstPixels(o.g), expect) << c.on << "/" << c.od;
        if (c.on) {
            EXPECT_EQ(o.g->outputRateField, -int32_t(100000 * c.od / c.on));
        }
    }
}

TEST_F(GFileTest, RangeAndReset) {
    testsupport::writeFile(dir.file("r.raw"), rawFile(6, 4, 1, 4000));
    Opened o;
    o.g = openPlain(dir.file("r.raw"), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 4);
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->framesInRange, 2);
    EXPECT_EQ(firstPixels(o.g), (std::vector<uint32_t>{rawColour(20), rawColour(30)}));
    // Progress counts from the file's first frame.
    EXPECT_EQ(gLog.back().text, "Processing frame 4 of 4...");
    GFileReset(o.g);
    EXPECT_EQ(canvasPixel(o.g, 0, 0), 0u);
    EXPECT_EQ(firstPixels(o.g), (std::vector<uint32_t>{rawColour(20), rawColour(30)}));
    // A last frame past the end and a first frame after the last are limited.
    Opened wide;
    wide.g = openPlain(dir.file("r.raw"), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 2);
    ASSERT_NE(wide.g, nullptr);
    EXPECT_EQ(wide.g->framesInRange, 1);
    EXPECT_EQ(firstPixels(wide.g), (std::vector<uint32_t>{rawColour(50)}));
}

TEST_F(GFileTest, CancelFromProgress) {
    testsupport::writeFile(dir.file("c.raw"), rawFile(3, 4, 1, 4000));
    Opened o;
    o.g = openPlain(dir.file("c.raw"));
    ASSERT_NE(o.g, nullptr);
    gCancelAt = 1;
    EXPECT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 1);
    EXPECT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 0);
    EXPECT_EQ(o.g->outputFrameCounter, 1);
}

// ---- size and placement ----------------------------------------------------------------------------

TEST_F(GFileTest, SizeSpecs) {
    testsupport::writeFile(dir.file("s.raw"), rawFile(1, 300, 200, 4000));
    struct Case {
        int32_t ws, hs, flags, w, h;
    } cases[] = {
        {0, 0, 0, 300, 200},      {-1500, 0, 0, 150, 200}, {-2, -1, 0, 600, 400}, {-1, 100, 0, 150, 100},
        {-1, -1, 0, 300, 200},    {120, 0, GFILE_HALF_WIDTH | GFILE_HALF_HEIGHT, 60, 100},
        {-2500, -1, 0, 450, 300}, {1, 1, GFILE_HALF_WIDTH | GFILE_HALF_HEIGHT, 1, 1},
    };
    for (const Case& c : cases) {
        Opened o;
        o.g = openPlain(dir.file("s.raw"), c.flags, 0, 0, 0, 0, c.ws, c.hs);
        ASSERT_NE(o.g, nullptr);
        EXPECT_EQ(o.g->scaledWidth, c.w) << c.ws << " " << c.hs;
        EXPECT_EQ(o.g->scaledHeight, c.h) << c.ws << " " << c.hs;
        EXPECT_EQ(o.g->canvasWidth, c.w);
        EXPECT_EQ(o.g->widthSpec, c.ws);
    }
}

TEST_F(GFileTest, CanvasAboveLimitIsRefused) {
    testsupport::writeFile(dir.file("s.raw"), rawFile(1, 20, 4, 4000));
    EXPECT_EQ(openPlain(dir.file("s.raw"), 0, 0, 0, 0, 0, 0, 0, 0, 0, 16385, 10), nullptr);
    EXPECT_EQ(openPlain(dir.file("s.raw"), 0, 0, 0, 0, 0, -1000, 0), nullptr);
    ASSERT_FALSE(gLog.empty());
    EXPECT_EQ(gLog.back().text, "Out of memory");
    EXPECT_EQ(gLog.back().level, 2);
}

TEST_F(GFileTest, PlacementClipsAtTheLeft) {
    testsupport::writeFile(dir.file("p.raw"), rawFile(1, 20, 3, 4000));
    Opened o;
    o.g = openPlain(dir.file("p.raw"), 0, 0, 0, 0, 0, 0, 0, -10, 1, 20, 5);
    ASSERT_NE(o.g, nullptr);
    GFile* g = o.g;
    EXPECT_EQ(g->visibleWidth, 10);
    EXPECT_EQ(g->leftMargin, 10);
    EXPECT_EQ(g->visibleHeight, 3);
    ASSERT_EQ(GFileGet(g, 0, 0, 0, 100, 1.0f, 0), 1);
    for (int x = 0; x < 10; ++x) EXPECT_EQ(canvasPixel(g, x, 1), rawColour(uint32_t(x + 10)));
    for (int x = 10; x < 20; ++x) EXPECT_EQ(canvasPixel(g, x, 1), 0u);
    for (int x = 0; x < 20; ++x) EXPECT_EQ(canvasPixel(g, x, 0), 0u);
    EXPECT_EQ(canvasPixel(g, 0, 3), rawColour(10 + 6));
}

// ---- 8-bit output of 8-bit sources -------------------------------------------------------------------

TEST_F(GFileTest, EightBitSourcePassesItsPalette) {
    testsupport::writeFile(dir.file("e.raw"), rawFile(2, 6, 2, 4000));
    Opened o;
    o.g = GFileOpen(dir.file("e.raw").c_str(), 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 256, 0, 0, 0, nullptr,
                    nullptr, logStatus);
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->trueColour, 0);
    EXPECT_EQ(o.g->canvasPitch, 8);
    ASSERT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 1);
    for (int x = 0; x < 6; ++x) EXPECT_EQ(o.g->canvasBuffer[8 + x], uint8_t(x + 3));
    EXPECT_EQ(o.g->workingPalette[3 * 7], 7);
    EXPECT_EQ(o.g->workingPalette[3 * 7 + 1], 248);
}

// ---- computed palettes ------------------------------------------------------------------------------------

// A 24-bit BMP of 5 x 4 pixels in five colours, one column each.
const uint8_t kFive[5][3] = {{255, 0, 0}, {0, 0, 255}, {12, 200, 40}, {100, 100, 100}, {248, 248, 0}};

std::string fiveColourBmp(const TempDir& dir) {
    ImageDescriptor img{};
    EXPECT_EQ(allocimage(&img, 5, 4, 24), IMG_OK);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            uint8_t* q = img.pixels + y * img.row_bytes + 3 * x;
            q[0] = kFive[x][2];
            q[1] = kFive[x][1];
            q[2] = kFive[x][0];
        }
    std::string name = dir.file("five.bmp");
    EXPECT_EQ(WriteBmpFile(name.c_str(), &img, 0), IMG_OK);
    freeimage(&img);
    return name;
}

TEST_F(GFileTest, DeepSourceGetsAComputedPalette) {
    std::string name = fiveColourBmp(dir);
    struct Case {
        int32_t start, count, option;
        bool system;
    } cases[] = {{0, 256, 0, true}, {20, 200, 0, true}, {0, 8, 2, false}};
    for (const Case& c : cases) {
        gLog.clear();
        Opened o;
        o.g = GFileOpen(name.c_str(), 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, c.start, c.count, 0, c.option, 0,
                        nullptr, nullptr, logStatus);
        ASSERT_NE(o.g, nullptr);
        ASSERT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 1);
        EXPECT_EQ(o.g->newPalette, 1);
        // Every pixel's entry holds its colour (6-bit exact), inside the range.
        for (int x = 0; x < 5; ++x) {
            uint8_t e = o.g->canvasBuffer[x];
            EXPECT_GE(e, c.start);
            EXPECT_LT(e, c.start + c.count);
            for (int k = 0; k < 3; ++k) EXPECT_EQ(o.g->workingPalette[3 * e + k] >> 2, kFive[x][k] >> 2) << x;
        }
        const uint8_t* pal = o.g->workingPalette;
        bool systemThere = pal[3 * 1] == 128 && pal[3 * 1 + 1] == 0 && pal[3 * 255] == 255 && pal[3 * 255 + 1] == 255;
        EXPECT_EQ(systemThere, c.system) << c.start;
    }
    // The analysis reports its frames and its reduction.
    bool analysing = false, reducing = false;
    for (const Message& m : gLog) {
        if (m.text == "Analyzing colors in frame 1 of 1...") analysing = m.level == 1;
        if (m.text.rfind("Reducing the number of colors (", 0) == 0) reducing = true;
    }
    EXPECT_TRUE(analysing);
    EXPECT_TRUE(reducing);
}

TEST_F(GFileTest, PaletteFileDefinesThePalette) {
    std::string five = fiveColourBmp(dir);
    testsupport::writeFile(dir.file("g.raw"), rawFile(2, 4, 1, 4000));
    Opened o;
    o.g = GFileOpen(dir.file("g.raw").c_str(), 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 256, 0, 2, 0, five.c_str(),
                    nullptr, logStatus);
    ASSERT_NE(o.g, nullptr);
    ASSERT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 1);
    // Every entry used comes from the five colours of the palette picture.
    for (int x = 0; x < 4; ++x) {
        const uint8_t* c = o.g->workingPalette + 3 * o.g->canvasBuffer[x];
        bool known = false;
        for (const auto& f : kFive) known |= c[0] >> 2 == f[0] >> 2 && c[1] >> 2 == f[1] >> 2 && c[2] >> 2 == f[2] >> 2;
        EXPECT_TRUE(known) << x;
    }
    Opened bad;
    bad.g = GFileOpen(dir.file("g.raw").c_str(), 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 256, 0, 2, 0,
                      dir.file("nopal.bmp").c_str(), nullptr, logStatus);
    ASSERT_NE(bad.g, nullptr);
    EXPECT_EQ(GFileGet(bad.g, 0, 0, 0, 100, 1.0f, 0), 0);
    EXPECT_EQ(gLog.back().text, "Error opening palette graphics file.");
    EXPECT_EQ(gLog.back().level, 2);
}

TEST_F(GFileTest, MethodTwoAnalysesUpToAPaletteChange) {
    // Frames 1-2 carry one palette, frame 3 brings another.
    Bytes raw = rawFile(2, 4, 1, 4000);
    Bytes more = {0, 0, 0, 0};
    for (int i = 0; i < 768; ++i) more.push_back(uint8_t(255 - i % 256));
    more.insert(more.end(), {1, 0, 0, 0, 9, 9, 9, 9});
    raw.insert(raw.end(), more.begin(), more.end());
    bytes::store32le(&raw[4], 3);
    testsupport::writeFile(dir.file("m.raw"), raw);
    Opened o;
    o.g = GFileOpen(dir.file("m.raw").c_str(), 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 100, 0, 256, 0, 2, 2, nullptr,
                    nullptr, logStatus);
    ASSERT_NE(o.g, nullptr);
    for (int k = 0; k < 3; ++k) ASSERT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 1);
    int analysed = 0, palettes = 0;
    for (const Message& m : gLog) {
        if (m.text.rfind("Analyzing colors in frame", 0) == 0) ++analysed;
        if (m.text.rfind("Analyzing colors in frame", 0) == 0 && m.level == 1) ++palettes;
    }
    EXPECT_EQ(palettes, 2);  // frames 1-2, then frame 3
    EXPECT_EQ(analysed, 4);  // frames 1, 2, the pending 3 that ends the first, and 3 again
}

// ---- Torvex sources -------------------------------------------------------------------------------------

TEST_F(GFileTest, TorvexDeliversTheDecodedFrames) {
    const uint32_t w = 16, h = 8;
    std::vector<Bytes> pics, pals;
    std::vector<TorvexWriterFrame> frames;
    for (int k = 0; k < 4; ++k) {
        Bytes px(w * h), pal(768);
        for (uint32_t i = 0; i < w * h; ++i) px[i] = uint8_t((i * 7 + k * 31) & 255);
        for (int i = 0; i < 768; ++i) pal[i] = uint8_t(i * (k + 1));
        pics.push_back(px);
        pals.push_back(pal);
    }
    for (int k = 0; k < 4; ++k) frames.push_back({pics[k].data(), pals[k].data(), false});
    TorvexWriterOptions options;
    options.frameRate = 40;  // 25 frames per second
    std::string error;
    ASSERT_TRUE(TorvexWrite(dir.file("t.tvx"), w, h, frames, options, &error)) << error;
    // The name without its extension finds the file.
    Opened o;
    o.g = openPlain(dir.file("t"), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0);
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->kind, GFILE_KIND_TORVEX);
    EXPECT_STREQ(o.g->typeName, "Torvex");
    EXPECT_EQ(o.g->fileRateNum, 25);
    EXPECT_EQ(o.g->outputFrameCount, 3);
    for (int k = 1; k < 4; ++k) {
        ASSERT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 1);
        uint8_t shown[768];
        TorvexWriterShownPalette(pals[k].data(), shown);
        for (uint32_t i = 0; i < w * h; ++i) {
            const uint8_t* c = shown + 3 * pics[k][i];
            uint32_t want = uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
            ASSERT_EQ(canvasPixel(o.g, int32_t(i % w), int32_t(i / w)), want) << "frame " << k << " pixel " << i;
        }
    }
    ASSERT_GE(gLog.size(), 2u);
    EXPECT_EQ(gLog[0].text, "Processing frame 2 of 4...");
    EXPECT_EQ(gLog[1].text, "Skipping frame 1...");
    EXPECT_EQ(gLog[1].level, 1);
}

// A program file whose string resource 2 names the offset of the video appended to it.
Bytes programWithVideo(const Bytes& video, uint32_t offset) {
    Bytes b(offset, 0);
    b[0] = 'M';
    b[1] = 'Z';
    bytes::store32le(&b[0x3C], 0x40);
    std::memcpy(&b[0x40], "PE\0\0", 4);
    bytes::store16le(&b[0x44], 0x14C);
    bytes::store16le(&b[0x46], 1);     // one section
    bytes::store16le(&b[0x54], 224);   // optional header size
    bytes::store16le(&b[0x58], 0x10B);
    bytes::store32le(&b[0x58 + 96 + 16], 0x1000);  // resources at 0x1000
    bytes::store32le(&b[0x58 + 96 + 20], 0x200);
    uint8_t* sec = &b[0x58 + 224];
    bytes::store32le(sec + 8, 0x200);
    bytes::store32le(sec + 12, 0x1000);
    bytes::store32le(sec + 16, 0x200);
    bytes::store32le(sec + 20, 0x200);
    uint8_t* r = &b[0x200];
    auto directory = [&](uint32_t at, uint32_t id, uint32_t to) {
        bytes::store16le(r + at + 14, 1);
        bytes::store32le(r + at + 16, id);
        bytes::store32le(r + at + 20, to);
    };
    directory(0x00, 6, 0x80000018);  // strings
    directory(0x18, 1, 0x80000030);  // ids 0-15
    directory(0x30, 0x409, 0x48);    // the language's data
    std::string text = "video:" + std::to_string(offset);
    bytes::store32le(r + 0x48, 0x1000 + 0x58);
    bytes::store32le(r + 0x4C, uint32_t(32 + 2 * text.size()));
    uint8_t* t = r + 0x58 + 4;  // strings 0 and 1 are empty
    bytes::store16le(t, uint16_t(text.size()));
    for (size_t i = 0; i < text.size(); ++i) t[2 + 2 * i] = uint8_t(text[i]);
    b.insert(b.end(), video.begin(), video.end());
    return b;
}

TEST_F(GFileTest, VideoInsideAProgramFile) {
    Bytes px(64, 7), pal(768, 40);
    std::string error;
    ASSERT_TRUE(TorvexWrite(dir.file("v.tvx"), 8, 8, {{px.data(), pal.data(), false}, {px.data(), pal.data(), false}},
                            {}, &error))
        << error;
    testsupport::writeFile(dir.file("show.exe"), programWithVideo(testsupport::readFile(dir.file("v.tvx")), 4096));
    Opened o;
    o.g = openPlain(dir.file("show.exe"));
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->kind, GFILE_KIND_TORVEX);
    EXPECT_EQ(o.g->outputFrameCount, 2);
    uint32_t grey = 0x282828u;  // 40 stays 40 through the 6-bit palette
    EXPECT_EQ(firstPixels(o.g), (std::vector<uint32_t>{grey, grey}));
    // A program without the resource is not a picture source.
    Bytes plain = programWithVideo({}, 4096);
    plain[0x200 + 0x10] = 5;  // the root names no string table
    testsupport::writeFile(dir.file("plain.exe"), plain);
    EXPECT_EQ(openPlain(dir.file("plain.exe")), nullptr);
}

// ---- Flic sources ------------------------------------------------------------------------------------------

TEST_F(GFileTest, FlicFramesFromTheFirstOfTheRange) {
    std::string name = dir.file("anim.flc");
    KroOFlic* out = KroOFlicCreate(name.c_str(), 6, 4, -4000);  // 25 frames per second
    ASSERT_NE(out, nullptr);
    Bytes pal(768);
    for (int i = 0; i < 768; ++i) pal[i] = uint8_t(i / 3);
    for (int k = 0; k < 4; ++k) {
        Bytes px(24, uint8_t(10 + k));
        ASSERT_EQ(KroOFlicPutNext(out, px.data(), k == 0 ? pal.data() : nullptr), 1);
    }
    ASSERT_GT(KroOFlicClose(out), 0u);
    Opened o;
    o.g = openPlain(dir.file("anim"), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0);
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->kind, GFILE_KIND_FLIC);
    EXPECT_STREQ(o.g->typeName, "Flic");
    EXPECT_EQ(o.g->fileRateNum, 25);
    EXPECT_EQ(firstPixels(o.g), (std::vector<uint32_t>{12u * 0x010101u, 13u * 0x010101u}));
    GFileReset(o.g);
    EXPECT_EQ(firstPixels(o.g), (std::vector<uint32_t>{12u * 0x010101u, 13u * 0x010101u}));
}

// ---- Quarn sources ---------------------------------------------------------------------------------------

// Grey pictures with alpha come back exactly from the plane decoder; each frame differs.
std::vector<std::vector<uint32_t>> writeQuarn(const std::string& path, uint32_t w, uint32_t h, uint32_t count) {
    std::vector<std::vector<uint32_t>> frames;
    QuarnWriter* q = QuarnWriterCreate(path.c_str(), w, h, 25, 2, QUARN_WRITE_ALPHA, count, 2);
    EXPECT_NE(q, nullptr);
    if (!q) return frames;
    for (uint32_t k = 0; k < count; ++k) {
        std::vector<uint32_t> px(size_t(w) * h);
        for (uint32_t i = 0; i < px.size(); ++i) {
            uint32_t v = (i * 13 + k * 40) & 255, a = (i * 5 + k) & 255;
            px[i] = a << 24 | v << 16 | v << 8 | v;
        }
        EXPECT_EQ(QuarnWriterPutFrame(q, px.data(), int32_t(w * 4)), 1);
        frames.push_back(std::move(px));
    }
    EXPECT_EQ(QuarnWriterClose(q), 1);
    return frames;
}

std::vector<uint32_t> canvasPicture(const GFile* g, uint32_t w, uint32_t h) {
    std::vector<uint32_t> out;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) out.push_back(canvasPixel(g, int32_t(x), int32_t(y)));
    return out;
}

TEST_F(GFileTest, QuarnDeliversTheWrittenFrames) {
    const uint32_t w = 10, h = 6;
    auto frames = writeQuarn(dir.file("clip.qrn"), w, h, 5);
    ASSERT_EQ(frames.size(), 5u);
    // The name without its extension finds the file; frames 2 to 5, alpha kept.
    Opened o;
    o.g = openPlain(dir.file("clip"), GFILE_KEEP_ALPHA, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0);
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->kind, GFILE_KIND_QUARN);
    EXPECT_STREQ(o.g->typeName, "Quarn");
    EXPECT_EQ(o.g->bitsPerPixel, 32);
    EXPECT_EQ(o.g->hasAlpha, 1);
    EXPECT_EQ(o.g->hasSound, 0);
    EXPECT_EQ(o.g->fileRateNum, 25);
    EXPECT_EQ(o.g->fileRateDen, 2);
    EXPECT_EQ(o.g->outputFrameCount, 4);
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t k = 1; k < 5; ++k) {
            ASSERT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 1);
            EXPECT_EQ(canvasPicture(o.g, w, h), frames[k]) << "pass " << pass << " frame " << k + 1;
        }
        GFileReset(o.g);
    }
    EXPECT_EQ(gLog[1].text, "Skipping frame 1...");
}

// Planes the decoder cannot read: a file whose first frame cannot be decoded is not taken; a
// damaged later frame shows the last good one until the next key frame. The warning comes once.
TEST_F(GFileTest, QuarnFramesTheDecoderCannotRead) {
    const std::string warning =
        "Crashed while reading this Quarn file (possibly corrupted)!!\n\nThe Kro Video Tools will attempt to work "
        "around the crash.";
    auto warnings = [&] {
        int n = 0;
        for (const Message& m : gLog) n += m.text == warning && m.level == 4;
        return n;
    };
    quarntest::Fixture f;
    f.flags = QUARN_VIDEO_GREY;
    f.frames = {{7, 0, 0, 0, 'X', 'C', 1, 0}};
    testsupport::writeFile(dir.file("foreign.qrn"), f.build());
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(openPlain(dir.file("foreign.qrn")), nullptr);
        EXPECT_EQ(gLog.back().text, "Error opening: " + dir.file("foreign.qrn"));
    }
    EXPECT_EQ(warnings(), 1);

    gLog.clear();
    kro::statusResetWarnOnce();
    const uint32_t w = 4, h = 4;
    auto frames = writeQuarn(dir.file("damaged.qrn"), w, h, 3);
    Bytes file = testsupport::readFile(dir.file("damaged.qrn"));
    ASSERT_GT(file.size(), 56u);
    // Frame 2's picture mark (after its luma size field) becomes one the decoder does not know.
    uint32_t second = bytes::load32le(&file[48]) & ~1u;
    ASSERT_LT(second + 5, file.size());
    file[second + 4] = 'X';
    file[second + 5] = 'X';
    testsupport::writeFile(dir.file("damaged.qrn"), file);
    Opened o;
    o.g = openPlain(dir.file("damaged.qrn"), GFILE_KEEP_ALPHA);
    ASSERT_NE(o.g, nullptr);
    // Frame 3 is a key frame: the pictures come back there.
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 1);
        EXPECT_EQ(canvasPicture(o.g, w, h), frames[k == 1 ? 0 : k]) << "frame " << k + 1;
    }
    EXPECT_EQ(warnings(), 1);
}

// ---- AVI and sound-only sources -------------------------------------------------------------------------

TEST_F(GFileTest, AviFramesAndRange) {
    kro::AviWriterVideo video;
    video.width = 6;
    video.height = 3;
    video.bits = 24;
    video.rateNum = 30000;
    video.rateDen = 1001;
    std::string name = dir.file("clip.avi");
    kro::AviWriter* w = kro::aviWriterCreate(name.c_str(), video);
    ASSERT_NE(w, nullptr);
    Bytes rows(size_t(3) * 20);  // bottom-up rows of 6 x 3 bytes, padded to 20
    for (int k = 0; k < 5; ++k) {
        std::fill(rows.begin(), rows.end(), 0);
        rows[2 * 20 + 0] = uint8_t(k);       // top-left pixel: blue = k
        rows[2 * 20 + 2] = uint8_t(10 * k);  // red
        ASSERT_GT(kro::aviWriterPutFrame(w, rows.data(), nullptr), 0u);
    }
    ASSERT_GT(kro::aviWriterClose(w), 0u);
    Opened o;
    o.g = openPlain(dir.file("clip"), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 4);
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->kind, GFILE_KIND_AVI);
    EXPECT_STREQ(o.g->typeName, "AVI");
    EXPECT_EQ(o.g->fileRateNum, 30000);
    EXPECT_EQ(o.g->fileRateDen, 1001);
    EXPECT_EQ(firstPixels(o.g), (std::vector<uint32_t>{0x0A0001u, 0x140002u, 0x1E0003u}));
}

TEST_F(GFileTest, WaveIsASoundOnlySource) {
    // One second of 8-bit mono sound at 8000 Hz: 16 frames of 1/15 s.
    Bytes wav = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
                 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0, 'd', 'a', 't', 'a', 0x40, 0x1F, 0, 0};
    wav.resize(wav.size() + 8000, 128);
    bytes::store32le(&wav[4], uint32_t(wav.size() - 8));
    testsupport::writeFile(dir.file("s.wav"), wav);
    Opened o;
    o.g = openPlain(dir.file("s.wav"));
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->kind, GFILE_KIND_SOUND);
    EXPECT_STREQ(o.g->typeName, "Sound-only");
    EXPECT_EQ(o.g->hasSound, 1);
    EXPECT_EQ(o.g->canvasWidth, 4);
    EXPECT_EQ(o.g->outputFrameCount, 16);
    EXPECT_EQ(firstPixels(o.g).size(), 16u);
}

// ---- lists and sequences --------------------------------------------------------------------------------

TEST_F(GFileTest, ListJoinsItsEntries) {
    testsupport::writeFile(dir.file("ten.raw"), rawFile(10, 4, 2, 4000));
    testsupport::writeFile(dir.file("five.raw"), rawFile(5, 4, 2, 4000));
    testsupport::writeText(dir.file("both.lst"), "# two sources\nten.raw\n\n" + dir.file("five.raw") + " /S2 /E3\nfive.raw /L2 /E1\n");
    Opened o;
    o.g = openPlain(dir.file("both.lst"));
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->kind, GFILE_KIND_LIST);
    EXPECT_STREQ(o.g->typeName, "List");
    std::vector<uint32_t> expect;
    for (uint32_t k = 0; k < 10; ++k) expect.push_back(rawColour(k * 10));
    expect.push_back(rawColour(10));
    expect.push_back(rawColour(20));
    expect.push_back(rawColour(0));
    expect.push_back(rawColour(0));
    EXPECT_EQ(firstPixels(o.g), expect);
    GFileReset(o.g);
    EXPECT_EQ(firstPixels(o.g).size(), 14u);
}

TEST_F(GFileTest, EightBitListOfMixedDepthsAndSizes) {
    std::string five = fiveColourBmp(dir);
    testsupport::writeFile(dir.file("two.raw"), rawFile(2, 3, 2, 4000));
    testsupport::writeText(dir.file("mix.lst"), "two.raw\nfive.bmp\n");
    Opened o;
    o.g = GFileOpen(dir.file("mix.lst").c_str(), 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 256, 0, 2, 0, nullptr,
                    nullptr, logStatus);
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(o.g->canvasWidth, 5);
    EXPECT_EQ(o.g->canvasHeight, 4);
    EXPECT_EQ(o.g->bitsPerPixel, 24);
    EXPECT_EQ(o.g->outputFrameCount, 3);
    for (int k = 0; k < 3; ++k) ASSERT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 1);
    // The last frame is the five-colour picture, each colour exact to 6 bits.
    for (int x = 0; x < 5; ++x) {
        const uint8_t* c = o.g->workingPalette + 3 * o.g->canvasBuffer[o.g->canvasPitch + x];
        for (int k = 0; k < 3; ++k) EXPECT_EQ(c[k] >> 2, kFive[x][k] >> 2) << x;
    }
}

TEST_F(GFileTest, ListOfTenAndFiveGivesFifteen) {
    testsupport::writeFile(dir.file("ten.raw"), rawFile(10, 4, 2, 4000));
    testsupport::writeFile(dir.file("five.raw"), rawFile(5, 4, 2, 4000));
    testsupport::writeText(dir.file("l.lst"), "ten.raw\nfive.raw\n");
    Opened o;
    o.g = openPlain(dir.file("l.lst"), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 12);
    ASSERT_NE(o.g, nullptr);
    EXPECT_EQ(firstPixels(o.g), (std::vector<uint32_t>{rawColour(80), rawColour(90), rawColour(0), rawColour(10)}));
    Opened all;
    all.g = openPlain(dir.file("l.lst"));
    ASSERT_NE(all.g, nullptr);
    EXPECT_EQ(all.g->outputFrameCount, 15);
}

TEST_F(GFileTest, ListFailures) {
    testsupport::writeText(dir.file("empty.lst"), "# nothing\n\n");
    testsupport::writeText(dir.file("self.lst"), "self.lst\n");
    testsupport::writeText(dir.file("missing.lst"), "nothere.raw\n");
    EXPECT_EQ(openPlain(dir.file("empty.lst")), nullptr);
    EXPECT_EQ(gLog.back().text, "No files in the list file.");
    EXPECT_EQ(gLog.back().level, 2);
    gLog.clear();
    EXPECT_EQ(openPlain(dir.file("self.lst")), nullptr);
    EXPECT_EQ(gLog.back().level, 2);
    EXPECT_EQ(openPlain(dir.file("missing.lst")), nullptr);
    EXPECT_EQ(openPlain(dir.file("gone.lst")), nullptr);
    EXPECT_EQ(gLog.back().text, "Error opening: " + dir.file("gone.lst"));
}

TEST_F(GFileTest, SequencesUpDownAndOpenEnded) {
    for (int n = 9; n <= 11; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "pic%02d.raw", n);
        testsupport::writeFile(dir.file(name), rawFile(1, 2, 1, 4000, {}));
        // Each file's first pixel tells its number: rewrite its first pixel.
        Bytes b = testsupport::readFile(dir.file(name));
        b[20 + 4 + 768 + 4] = uint8_t(n);
        testsupport::writeFile(dir.file(name), b);
    }
    struct Case {
        std::string pattern;
        std::vector<uint32_t> numbers;
    } cases[] = {
        {"pic??.raw*9-11", {9, 10, 11}},
        {"pic??.raw*11-9", {11, 10, 9}},
        {"pic??.raw*10", {10, 11}},
        {"pic?.raw*10-11", {10, 11}},  // two digits widen the name
    };
    for (const Case& c : cases) {
        Opened o;
        o.g = openPlain(dir.file(c.pattern));
        ASSERT_NE(o.g, nullptr) << c.pattern;
        std::vector<uint32_t> expect;
        for (uint32_t n : c.numbers) expect.push_back(rawColour(n));
        EXPECT_EQ(firstPixels(o.g), expect) << c.pattern;
    }
    EXPECT_EQ(openPlain(dir.file("pic??.raw*12")), nullptr);
    EXPECT_EQ(openPlain(dir.file("pic??.raw*10-12")), nullptr);
}

// ---- bad input ---------------------------------------------------------------------------------------------

TEST_F(GFileTest, UnreadableAndDamagedSources) {
    testsupport::writeText(dir.file("junk.dat"), "this is not a picture at all");
    Bytes raw = rawFile(3, 4, 4, 4000);
    raw.resize(raw.size() - 20);  // the last frame is cut short
    testsupport::writeFile(dir.file("cut.raw"), raw);
    EXPECT_EQ(openPlain(dir.file("junk.dat")), nullptr);
    EXPECT_EQ(gLog.back().text, "Error opening: " + dir.file("junk.dat"));
    EXPECT_EQ(openPlain(dir.file("none.bmp")), nullptr);
    EXPECT_EQ(gLog.back().level, 2);
    Opened o;
    o.g = openPlain(dir.file("cut.raw"));
    ASSERT_NE(o.g, nullptr);
    std::vector<uint32_t> got = firstPixels(o.g);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1], rawColour(10));
    EXPECT_EQ(GFileGet(nullptr, 0, 0, 0, 100, 1.0f, 0), 0);
    GFileReset(nullptr);
    GFileClose(nullptr);
}

// ---- still images ----------------------------------------------------------------------------------------

// The loader's own picture of a still, as 0x00RRGGBB.
bool loadDirect(const std::string& path, std::vector<uint32_t>& out, int32_t& w, int32_t& h) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    int32_t bits = 0;
    w = h = 0;
    if (ext == ".bmp") {
        KroBitmapInfoHeader i{};
        if (bmpinfo(path.c_str(), &i)) return false;
        w = i.width, h = i.height, bits = i.bit_count == 1 ? 1 : i.bit_count <= 8 ? 8 : 24;
    } else if (ext == ".pcx") {
        PcxInfo i{};
        if (pcxinfo(path.c_str(), &i)) return false;
        w = i.width, h = i.height, bits = i.alloc_bits;
    } else if (ext == ".tga") {
        TgaInfo i{};
        if (tgainfo(path.c_str(), &i)) return false;
        w = i.width, h = i.height, bits = i.alloc_bits;
    } else if (ext == ".gif") {
        GifInfo i{};
        int32_t n = 0;
        if (gifinfo(path.c_str(), &i) || CountGifImages(path.c_str(), &n) || n != 1) return false;
        w = i.width, h = i.height, bits = i.alloc_bits;
    } else if (ext == ".jpg" || ext == ".jpeg") {
        JpegInfo i{};
        if (jpeginfo(path.c_str(), &i)) return false;
        w = i.width, h = i.height, bits = i.alloc_bits;
    } else if (ext == ".tif" || ext == ".tiff") {
        TiffInfo i{};
        if (tiffinfo(path.c_str(), &i)) return false;
        w = i.width, h = i.height, bits = i.alloc_bits;
    } else if (ext == ".png") {
        PngInfoRecord i{};
        if (PngInfo(path.c_str(), &i)) return false;
        w = i.width, h = i.height, bits = i.alloc_bits;
    } else {
        return false;
    }
    if (w < 1 || h < 1 || w > 8192 || h > 8192) return false;
    ImageDescriptor img{};
    if (allocimage(&img, w, h, bits)) return false;
    int32_t e = ext == ".bmp"   ? loadbmp(path.c_str(), &img)
                : ext == ".pcx" ? loadpcx(path.c_str(), &img)
                : ext == ".tga" ? loadtga(path.c_str(), &img)
                : ext == ".gif" ? loadgif(path.c_str(), &img)
                : ext == ".png" ? LoadPngFile(path.c_str(), &img)
                : ext == ".tif" || ext == ".tiff" ? loadtif(path.c_str(), &img)
                                : loadjpg(path.c_str(), &img);
    if (e != IMG_OK) {
        freeimage(&img);
        return false;
    }
    out.assign(size_t(w) * h, 0);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = img.pixels + int64_t(h - 1 - y) * img.row_bytes;
        for (int32_t x = 0; x < w; ++x) {
            uint32_t v;
            if (bits == 24) {
                v = uint32_t(row[3 * x]) | uint32_t(row[3 * x + 1]) << 8 | uint32_t(row[3 * x + 2]) << 16;
            } else if (bits == 16) {
                v = uint32_t(row[2 * x + 1]) * 0x010101u;  // grey levels: the high byte
            } else {
                int32_t index = bits == 1 ? (row[x >> 3] >> (7 - (x & 7))) & 1 : row[x];
                const uint8_t* q = img.palette + 4 * index;
                v = uint32_t(q[0]) | uint32_t(q[1]) << 8 | uint32_t(q[2]) << 16;
            }
            out[size_t(y) * w + x] = v;
        }
    }
    freeimage(&img);
    return true;
}

TEST_F(GFileTest, EveryReadableStillOpensWithTheLoadersPixels) {
    namespace fs = std::filesystem;
    int compared = 0;
    for (const char* folder : {"bmp", "gif", "pcx", "tga", "jpeg", "pngsuite", "tiff"}) {
        fs::path root = fs::path(GFILE_TESTDATA) / folder;
        if (!fs::exists(root)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) continue;
            std::string path = entry.path().string();
            std::vector<uint32_t> want;
            int32_t w, h;
            if (!loadDirect(path, want, w, h)) continue;
            Opened o;
            o.g = openPlain(path);
            ASSERT_NE(o.g, nullptr) << path;
            ASSERT_EQ(o.g->canvasWidth, w) << path;
            ASSERT_EQ(o.g->canvasHeight, h) << path;
            ASSERT_EQ(GFileGet(o.g, 0, 0, 0, 100, 1.0f, 0), 1) << path;
            bool same = true;
            for (int32_t y = 0; y < h && same; ++y)
                for (int32_t x = 0; x < w && same; ++x) same = canvasPixel(o.g, x, y) == want[size_t(y) * w + x];
            EXPECT_TRUE(same) << path;
            ++compared;
        }
    }
    EXPECT_GT(compared, 300);
}

// ---- the switches ------------------------------------------------------------------------------------------

TEST(GFileCommandLine, SwitchExamples) {
    struct Case {
        const char* line;
        int32_t flags, sn, sd, on, od;
    } cases[] = {
        {"in.avi", 0, 0, 0, 0, 0},
        {"in /Z1", 1, 0, 0, 0, 0},
        {"in /Z10101", GFILE_COMMAND_LINE_BIT | GFILE_TRIANGLE | 1, 0, 0, 0, 0},
        {"in /Z3203", GFILE_KEEP_ALPHA | GFILE_PREMULTIPLY | GFILE_DIVIDE_ALPHA | GFILE_BOX | 3, 0, 0, 0, 0},
        {"in /Z2009 /;9", GFILE_KEEP_ALPHA | GFILE_PREMULTIPLY | 1 | GFILE_FIELD_1 | GFILE_FIELD_BLEND, 0, 0, 0, 0},
        {"in /;2", GFILE_FIELD_2, 0, 0, 0, 0},
        {"in /F25 /A12.5", 0, 25, 1, 25, 2},
        {"in /F-40", 0, 25, 1, 0, 0},       // 40 ms per frame
        {"in /F-0.5", 0, 2000, 1, 0, 0},    // half a millisecond is still a period
        {"in /A-4000", 0, 0, 0, 25, 1},     // 10-microsecond units below -1500
        {"in /F29.97", 0, 2997, 100, 0, 0},
    };
    for (const Case& c : cases) {
        char line[256];
        std::snprintf(line, sizeof line, "%s", c.line);
        int32_t flags = -1, sn = -1, sd = -1, on = -1, od = -1;
        GFileCommandLine(line, &flags, &sn, &sd, &on, &od, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(flags, c.flags) << c.line;
        EXPECT_EQ(sn, c.sn) << c.line;
        EXPECT_EQ(sd, c.sd) << c.line;
        EXPECT_EQ(on, c.on) << c.line;
        EXPECT_EQ(od, c.od) << c.line;
        std::string rest = line;
        rest.erase(rest.find_last_not_of(' ') + 1);
        EXPECT_EQ(rest, std::strchr(c.line, '/') ? "in" : c.line) << c.line;
    }
}

TEST(GFileCommandLine, ProcessingSizesAndPalette) {
    char line[256] = "movie.tvx /~1 /:1280 /{16 /[150 /]22;10 /}8 /(-1.5 /)-1 /X-10 /Y4 /W640 /H480 /S5 /E9 "
                     "/U0 /Q64 /$4 /D1 /T2 /&pal.bmp";
    int32_t v[21];
    float gamma = 0;
    uint8_t option = 9, mode = 9;
    char file[64];
    GFileCommandLine(line, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &gamma, &v[9], &v[10], &v[11],
                     &v[12], &v[13], &v[14], &v[15], &v[16], &v[17], &v[18], &v[19], &v[20], &v[0], &option, &mode, file);
    EXPECT_EQ(v[5], 1);
    EXPECT_EQ(v[6], 1280);
    EXPECT_EQ(v[7], 16);
    EXPECT_EQ(v[8], 150);
    EXPECT_FLOAT_EQ(gamma, 2.2f);
    EXPECT_EQ(v[9], 8);
    EXPECT_EQ(v[10], -2500);  // 1.5 times the source width
    EXPECT_EQ(v[11], -1);     // proportional
    EXPECT_EQ(v[12], -10);
    EXPECT_EQ(v[13], 4);
    EXPECT_EQ(v[14], 640);
    EXPECT_EQ(v[15], 480);
    EXPECT_EQ(v[16], 5);
    EXPECT_EQ(v[17], 9);
    EXPECT_EQ(v[18], 65536);
    EXPECT_EQ(v[19], 96);  // (256 - 64) / 2
    EXPECT_EQ(v[20], 64);
    EXPECT_EQ(v[0], 4);
    EXPECT_EQ(option, 1);
    EXPECT_EQ(mode, 2);
    EXPECT_STREQ(file, "pal.bmp");
    EXPECT_EQ(std::string(line).substr(0, 10), "movie.tvx ");
    EXPECT_EQ(std::string(line).find('/'), std::string::npos);

    char defaults[16] = "x";
    int32_t brightness = 0, threshold = 9, count = 0, start = 0, width = 7;
    float g = 0;
    GFileCommandLine(defaults, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &brightness, &g,
                     &threshold, &width, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &start,
                     &count, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(brightness, 100);
    EXPECT_FLOAT_EQ(g, 1.0f);
    EXPECT_EQ(threshold, 0);
    EXPECT_EQ(width, 0);
    EXPECT_EQ(count, 256);
    EXPECT_EQ(start, 0);

    char wide[64] = "a /I250 /Q300 /(-2 /)100";
    int32_t s = 0, q = 0, ws = 0, hs = 0;
    GFileCommandLine(wide, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, &ws, &hs, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &s, &q, nullptr,
                     nullptr, nullptr, nullptr);
    EXPECT_EQ(q, 256);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(ws, -3000);  // twice the width
    EXPECT_EQ(hs, 100);
}

}  // namespace
