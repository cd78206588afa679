// The AVI reader on hand-built files: every stored pixel layout, every index layout, palette
// changes, RLE8 with repeats and random access, streams that start late, undecodable
// compressions and damaged files.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kroutil/input/avi_reader.h"
#include "tests/kroutil/avi/avi_build.h"
#include "tests/support/test_support.h"

namespace {

using namespace avibuild;

// Rows given top row first, stored bottom-up (or top-down) with rows padded to 4 bytes.
Bytes storeRows(const std::vector<Bytes>& topDown, bool keepTopDown) {
    size_t stride = (topDown[0].size() + 3) / 4 * 4;
    Bytes out;
    for (size_t k = 0; k < topDown.size(); ++k) {
        const Bytes& row = topDown[keepTopDown ? k : topDown.size() - 1 - k];
        Bytes padded = row;
        padded.resize(stride, 0xEE);
        append(out, padded);
    }
    return out;
}

Bytes words(std::initializer_list<uint16_t> v) {
    Bytes b;
    for (uint16_t x : v) put16(b, x);
    return b;
}

// The delivered row y counted from the top, without padding.
Bytes topRow(const kro::AviFrame* f, int y) {
    int32_t h = f->header->height;
    const uint8_t* p = f->pixels + size_t(h - 1 - y) * f->stride;
    return Bytes(p, p + size_t(f->header->width) * f->header->bit_count / 8);
}

Bytes grayTable(int n) {
    Bytes t;
    for (int i = 0; i < n; ++i) {
        uint8_t v = uint8_t(i * 10);
        t.insert(t.end(), {v, uint8_t(v + 1), uint8_t(v + 2), 0});
    }
    return t;
}

Bytes oneVideoFile(int32_t w, int32_t h, uint32_t bits, uint32_t compression, const Bytes& extra,
                   const std::vector<Piece>& pieces, IndexKind kind = IndexKind::Relative, const char* handler = "DIB ") {
    StreamHeader sh;
    sh.handler = handler;
    sh.length = uint32_t(pieces.size());
    Bytes strl = list("LIST", "strl", {strh(sh), strfBitmap(w, h, bits, compression, extra)});
    return file(avih(66667, uint32_t(pieces.size()), 1, uint32_t(w), uint32_t(h < 0 ? -h : h)), {strl}, movi(pieces),
                kind);
}

struct Opened {
    Bytes bytes;
    kro::AviReader* r = nullptr;
    explicit Opened(Bytes b) : bytes(std::move(b)) { r = kro::aviOpenMemory(bytes.data(), bytes.size()); }
    ~Opened() { kro::aviClose(r); }
};

TEST(AviReader, StoredLayoutsComeOutAsBottomUpDibs) {
    struct Case {
        const char* name;
        uint32_t bits, compression;
        Bytes extra;
        bool topDown;
        std::vector<Bytes> stored;    // top row first, as the picture looks
        uint32_t outBits;
        std::vector<Bytes> expected;  // top row first
    };
    Bytes masks565, masks555;
    for (uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) put32(masks565, m);
    for (uint32_t m : {0x7C00u, 0x03E0u, 0x001Fu}) put32(masks555, m);
    const std::vector<Bytes> rgb24{{1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12, 13, 14, 15, 16, 17, 18}};
    const std::vector<Case> cases{
        {"8-bit", 8, kro::kAviRgb, grayTable(4), false, {{0, 1, 2}, {3, 2, 1}}, 8, {{0, 1, 2}, {3, 2, 1}}},
        {"555", 16, kro::kAviRgb, {}, false,
         {words({0x7C00, 0x03E0, 0x001F}), words({0x4210, 0x7FFF, 0})}, 24,
         {{0, 0, 255, 0, 255, 0, 255, 0, 0}, {132, 132, 132, 255, 255, 255, 0, 0, 0}}},
        {"555 bitfields", 16, kro::kAviBitfields, masks555, false,
         {words({0x7C00, 0x03E0, 0x001F}), words({0x4210, 0x7FFF, 0})}, 24,
         {{0, 0, 255, 0, 255, 0, 255, 0, 0}, {132, 132, 132, 255, 255, 255, 0, 0, 0}}},
        {"565", 16, kro::kAviBitfields, masks565, false,
         {words({0xF800, 0x07E0, 0x001F}), words({0x8410, 0xFFFF, 0})}, 24,
         {{0, 0, 255, 0, 255, 0, 255, 0, 0}, {132, 130, 132, 255, 255, 255, 0, 0, 0}}},
        {"24-bit", 24, kro::kAviRgb, {}, false, rgb24, 24, rgb24},
        {"24-bit top-down", 24, kro::kAviRgb, {}, true, rgb24, 24, rgb24},
        {"32-bit", 32, kro::kAviRgb, {}, false, {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}},
         32, {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Opened f(oneVideoFile(3, c.topDown ? -2 : 2, c.bits, c.compression, c.extra,
                              {{"00db", storeRows(c.stored, c.topDown)}}));
        ASSERT_NE(f.r, nullptr);
        const kro::AviVideoInfo& v = kro::aviVideo(f.r);
        EXPECT_TRUE(v.decodable);
        EXPECT_EQ(v.width, 3);
        EXPECT_EQ(v.height, 2);
        EXPECT_EQ(v.topDown, c.topDown);
        EXPECT_EQ(v.outBits, c.outBits);
        const kro::AviFrame* fr = kro::aviReadFrame(f.r, 0);
        ASSERT_NE(fr, nullptr) << kro::aviError(f.r);
        EXPECT_EQ(fr->header->height, 2);
        EXPECT_EQ(fr->header->bit_count, c.outBits);
        EXPECT_EQ(fr->stride % 4, 0u);
        for (int y = 0; y < 2; ++y) EXPECT_EQ(topRow(fr, y), c.expected[size_t(y)]) << "row " << y;
        if (c.outBits == 8) {
            ASSERT_NE(fr->colors, nullptr);
            EXPECT_EQ(Bytes(fr->colors, fr->colors + 16), grayTable(4));
        }
    }
}

// Two 8-bit frames with a palette change between them, a sound stream, in every index layout.
TEST(AviReader, EveryIndexLayoutGivesTheSameFramesPalettesAndSound) {
    Bytes pc{1, 2, 0, 0, 200, 201, 202, 0, 210, 211, 212, 0};  // entries 1 and 2 become R,G,B
    Bytes sound1{1, 0, 2, 0, 3, 0, 4, 0}, sound2{5, 0, 6, 0};
    std::vector<Piece> pieces{{"01wb", sound1}, {"00db", storeRows({{0, 1, 2}}, false)},
                              {"00pc", pc, 0x100},  {"01wb", sound2},
                              {"00db", storeRows({{2, 1, 0}}, false)}};
    struct Layout {
        const char* name;
        IndexKind kind;
        bool rec;
    } layouts[] = {{"relative idx1", IndexKind::Relative, false},
                   {"absolute idx1", IndexKind::Absolute, false},
                   {"no index", IndexKind::None, false},
                   {"rec groups with idx1", IndexKind::Relative, true},
                   {"rec groups, no index", IndexKind::None, true}};
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.name);
        StreamHeader vs;
        vs.length = 2;
        StreamHeader as;
        as.type = "auds";
        as.handler = "\0\0\0\0";
        as.scale = 2;
        as.rate = 22050 * 2;
        as.sampleSize = 2;
        Bytes v = list("LIST", "strl", {strh(vs), strfBitmap(3, 1, 8, 0, grayTable(3))});
        Bytes a = list("LIST", "strl", {strh(as), strfWave(1, 22050, 16)});
        Opened f(file(avih(66667, 2, 2, 3, 1), {v, a}, movi(pieces, l.rec), l.kind));
        ASSERT_NE(f.r, nullptr);
        EXPECT_EQ(kro::aviVideo(f.r).frames, 2u);
        EXPECT_EQ(kro::aviVideo(f.r).rateNum, 15u);
        EXPECT_EQ(kro::aviVideo(f.r).rateDen, 1u);
        EXPECT_TRUE(kro::aviVideo(f.r).paletteChanges);
        // Backwards first, so the palette has to be undone.
        const kro::AviFrame* fr = kro::aviReadFrame(f.r, 1);
        ASSERT_NE(fr, nullptr);
        EXPECT_EQ(topRow(fr, 0), (Bytes{2, 1, 0}));
        EXPECT_EQ(Bytes(fr->colors, fr->colors + 12), (Bytes{0, 1, 2, 0, 202, 201, 200, 0, 212, 211, 210, 0}));
        EXPECT_EQ(fr->storedBytes, 4u);
        fr = kro::aviReadFrame(f.r, 0);
        ASSERT_NE(fr, nullptr);
        EXPECT_EQ(topRow(fr, 0), (Bytes{0, 1, 2}));
        EXPECT_EQ(Bytes(fr->colors, fr->colors + 12), (Bytes{0, 1, 2, 0, 10, 11, 12, 0, 20, 21, 22, 0}));

        ASSERT_EQ(kro::aviSoundCount(f.r), 1u);
        const kro::AviSoundInfo* s = kro::aviSound(f.r, 0);
        EXPECT_TRUE(s->pcm);
        EXPECT_EQ(s->samples, 6u);
        EXPECT_EQ(s->stream, 1u);
        uint8_t buf[16] = {};
        // Across the chunk boundary: samples 3 and 4.
        EXPECT_EQ(kro::aviReadSound(f.r, 0, 3, buf, 2), 2u);
        EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{4, 0, 5, 0}));
        EXPECT_EQ(kro::aviReadSound(f.r, 0, 4, buf, 8), 2u);  // stops at the end
        EXPECT_EQ(kro::aviReadSound(f.r, 0, 6, buf, 8), 0u);
    }
}

// Frames RLE8-coded over the previous picture, with a repeat (zero-size chunk) and a key frame
// later on; read out of order.
TEST(AviReader, Rle8DrawsOverThePreviousFrameAndRepeatsEmptyChunks) {
    // 4 x 2 picture. Frame 0 (key): bottom row 5 5 5 5, top row literal 1 2 3 4.
    Bytes f0{4, 5, 0, 0, 0, 4, 1, 2, 3, 4, 0, 1};
    // Frame 1: move 2 right on the bottom row, write 9 9; end of picture leaves the rest.
    Bytes f1{0, 2, 2, 0, 2, 9, 0, 1};
    // Frame 3 (key): an end of line first, then the top row 7 7 7 7 (bottom row untouched: zero).
    Bytes f3{0, 0, 4, 7, 0, 1};
    std::vector<Piece> pieces{{"00dc", f0, 0x10}, {"00dc", f1, 0}, {"00dc", {}, 0}, {"00dc", f3, 0x10}};
    Opened f(oneVideoFile(4, 2, 8, kro::kAviRle8, grayTable(10), pieces, IndexKind::Relative, "mrle"));
    ASSERT_NE(f.r, nullptr);
    ASSERT_TRUE(kro::aviVideo(f.r).decodable);
    struct Want {
        uint32_t frame;
        Bytes top, bottom;
    } wants[] = {{2, {1, 2, 3, 4}, {5, 5, 9, 9}}, {0, {1, 2, 3, 4}, {5, 5, 5, 5}}, {3, {7, 7, 7, 7}, {0, 0, 0, 0}},
                 {1, {1, 2, 3, 4}, {5, 5, 9, 9}}, {2, {1, 2, 3, 4}, {5, 5, 9, 9}}, {3, {7, 7, 7, 7}, {0, 0, 0, 0}}};
    for (const Want& w : wants) {
        SCOPED_TRACE(w.frame);
        const kro::AviFrame* fr = kro::aviReadFrame(f.r, w.frame);
        ASSERT_NE(fr, nullptr) << kro::aviError(f.r);
        EXPECT_EQ(topRow(fr, 0), w.top);
        EXPECT_EQ(topRow(fr, 1), w.bottom);
        EXPECT_EQ(fr->storedBytes, kro::aviFrameStoredSize(f.r, w.frame));
    }
    EXPECT_EQ(kro::aviFrameStoredSize(f.r, 2), 0u);
}

// A continuation part without the streams' own indexes: idx1 covers the first part, the rest is
// found by walking the later movi lists.
TEST(AviReader, ContinuationPartsWithoutTheirIndexesAreWalked) {
    Bytes strl = list("LIST", "strl", {strh({}), strfBitmap(1, 1, 8, 0, grayTable(4))});
    Bytes first = file(avih(0, 1, 1, 1, 1), {strl}, movi({{"00db", {1, 0, 0, 0}}}), IndexKind::Relative);
    append(first, list("RIFF", "AVIX", {movi({{"00db", {2, 0, 0, 0}}, {"00pc", {3, 1, 0, 0, 9, 9, 9, 0}}, {"00db", {3, 0, 0, 0}}}).list}));
    Opened f(first);
    ASSERT_NE(f.r, nullptr);
    ASSERT_EQ(kro::aviVideo(f.r).frames, 3u);
    for (uint32_t k = 0; k < 3; ++k) {
        const kro::AviFrame* fr = kro::aviReadFrame(f.r, k);
        ASSERT_NE(fr, nullptr);
        EXPECT_EQ(fr->pixels[0], k + 1);
        EXPECT_EQ(fr->colors[12], k == 2 ? 9 : 30);  // entry 3 changes before the last frame
    }
}

TEST(AviReader, StreamsThatStartLate) {
    StreamHeader vs;
    vs.start = 5;
    vs.scale = 1001;
    vs.rate = 30000;
    StreamHeader as;
    as.type = "auds";
    as.scale = 1;
    as.rate = 8000;
    as.start = 3;
    as.sampleSize = 1;
    Bytes v = list("LIST", "strl", {strh(vs), strfBitmap(1, 1, 24, 0)});
    Bytes a = list("LIST", "strl", {strh(as), strfWave(1, 8000, 8)});
    Opened f(file(avih(0, 1, 2, 1, 1), {v, a}, movi({{"00db", {9, 8, 7, 0}}, {"01wb", {10, 20, 30}}}), IndexKind::None));
    ASSERT_NE(f.r, nullptr);
    EXPECT_EQ(kro::aviVideo(f.r).start, 5u);
    EXPECT_EQ(kro::aviVideo(f.r).rateNum, 30000u);
    EXPECT_EQ(kro::aviVideo(f.r).rateDen, 1001u);
    const kro::AviSoundInfo* s = kro::aviSound(f.r, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->start, 3u);
    EXPECT_EQ(s->samples, 3u);
    uint8_t buf[8];
    std::memset(buf, 0x55, sizeof buf);
    // From position 1: two samples of 8-bit silence, then the stored ones.
    EXPECT_EQ(kro::aviReadSound(f.r, 0, 1, buf, 8), 5u);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{0x80, 0x80, 10, 20, 30, 0x55}));
}

TEST(AviReader, OtherCompressionsOpenButFramesAreUndecodable) {
    Opened f(oneVideoFile(320, 240, 24, 0x44434241 /* "ABCD" */, {}, {{"00dc", Bytes(100, 1)}, {"00dc", Bytes(50, 2)}}));
    ASSERT_NE(f.r, nullptr);
    const kro::AviVideoInfo& v = kro::aviVideo(f.r);
    EXPECT_FALSE(v.decodable);
    EXPECT_EQ(v.width, 320);
    EXPECT_EQ(v.frames, 2u);
    EXPECT_EQ(kro::aviFrameStoredSize(f.r, 1), 50u);
    EXPECT_EQ(kro::aviReadFrame(f.r, 0), nullptr);
    EXPECT_STRNE(kro::aviError(f.r), "");
}

TEST(AviReader, NotAnAviIsRefusedWithAReason) {
    Bytes wav = list("RIFF", "WAVE", {chunk("fmt ", Bytes(16, 0))});
    const char* why = nullptr;
    EXPECT_EQ(kro::aviOpenMemory(wav.data(), wav.size(), &why), nullptr);
    ASSERT_NE(why, nullptr);
    EXPECT_STRNE(why, "");
    Bytes noStreams = list("RIFF", "AVI ", {list("LIST", "hdrl", {avih(0, 0, 0, 0, 0)})});
    EXPECT_EQ(kro::aviOpenMemory(noStreams.data(), noStreams.size()), nullptr);
    EXPECT_EQ(kro::aviOpen("/nonexistent/x.avi", &why), nullptr);
}

// Damage: the reader fails where the data are missing, serves what is there, never reads past
// its buffers (the sanitizer build checks that).
TEST(AviReader, DamagedFilesFailCleanly) {
    Bytes f0 = storeRows({{1, 2, 3}, {4, 5, 6}}, false);
    Bytes good = oneVideoFile(3, 2, 8, 0, grayTable(8), {{"00db", f0}, {"00db", f0}, {"01wb", {1, 2}}});

    // Every cut of the file: open fails or succeeds, every frame reads or fails, no crash.
    for (size_t cut = 0; cut <= good.size(); ++cut) {
        Bytes part(good.begin(), good.begin() + long(cut));
        kro::AviReader* r = kro::aviOpenMemory(part.data(), part.size());
        if (!r) continue;
        for (uint32_t k = 0; k < kro::aviVideo(r).frames; ++k) {
            const kro::AviFrame* fr = kro::aviReadFrame(r, k);
            if (fr) {
                EXPECT_EQ(topRow(fr, 1), (Bytes{4, 5, 6}));
            }
        }
        kro::aviClose(r);
    }

    // An index entry pointing past the end, and one whose size runs past the end.
    Movi m = movi({{"00db", f0}, {"00db", f0}});
    m.index[1].offset = 0x7FFFFFF0;
    Bytes strl = list("LIST", "strl", {strh({}), strfBitmap(3, 2, 8, 0)});
    Bytes bad = file(avih(0, 2, 1, 3, 2), {strl}, m, IndexKind::Relative);
    {
        Opened f(bad);
        ASSERT_NE(f.r, nullptr);
        EXPECT_NE(kro::aviReadFrame(f.r, 0), nullptr);
        EXPECT_EQ(kro::aviReadFrame(f.r, 1), nullptr);
        EXPECT_STRNE(kro::aviError(f.r), "");
    }
    m = movi({{"00db", f0}});
    m.index[0].size = 0xFFFFFFF0u;
    {
        Opened f(file(avih(0, 2, 1, 3, 2), {strl}, m, IndexKind::Relative));
        ASSERT_NE(f.r, nullptr);
        EXPECT_EQ(kro::aviReadFrame(f.r, 0), nullptr);
    }
    // A frame too short for its rows, and a frame size no one can allocate.
    {
        Opened f(oneVideoFile(3, 2, 8, 0, {}, {{"00db", Bytes(5, 1)}}));
        ASSERT_NE(f.r, nullptr);
        EXPECT_EQ(kro::aviReadFrame(f.r, 0), nullptr);
    }
    {
        Opened f(oneVideoFile(30000000, 30000000, 24, 0, {}, {{"00db", Bytes(5, 1)}}));
        ASSERT_NE(f.r, nullptr);
        EXPECT_FALSE(kro::aviVideo(f.r).decodable);
        EXPECT_EQ(kro::aviReadFrame(f.r, 0), nullptr);
    }
}

}  // namespace
