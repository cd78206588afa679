// Files on disk: buffering modes, play order with and without a ring frame, handles not at
// position 0, seeking, the silent clock and the debug messages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/timer.h"
#include "codec/torvex.h"
#include "encoder/torvex_writer.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "tests/codec/content.h"
#include "tests/support/test_support.h"

using namespace tvxtest;

namespace {

std::string writeAnimation(const testsupport::TempDir& dir, const std::string& name, const Animation& a,
                           TorvexWriterOptions options = {}) {
    std::vector<TorvexWriterFrame> frames;
    for (size_t k = 0; k < a.pixels.size(); ++k) frames.push_back({a.pixels[k].data(), a.palettes[k].data(), false});
    std::string path = dir.file(name);
    std::string error;
    EXPECT_TRUE(TorvexWrite(path, a.width, a.height, frames, options, &error)) << error;
    return path;
}

// Decodes `count` frames in play order, returning each picture and the frame index it had.
struct Played {
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<uint32_t> indexes;
    std::vector<std::vector<uint8_t>> palettes;
};

// readAheads: calls of TorvexReadAhead between frames, as a waiting player makes them.
Played play(TorvexFile* f, size_t count, int readAheads = 0) {
    Played p;
    std::vector<uint8_t> px(size_t(f->header.width) * f->header.height, 0);
    TorvexSetTarget(f, 0, 0, int32_t(f->header.width), int32_t(f->header.height), px.data(), 0);
    for (size_t k = 0; k < count; ++k) {
        TorvexDecodeFrame(f);
        p.pictures.push_back(px);
        p.indexes.push_back(f->frameIndex);
        p.palettes.emplace_back(f->palette, f->palette + 768);
        for (int i = 0; i < readAheads; ++i) TorvexReadAhead(f);
        TorvexAdvance(f);
    }
    return p;
}

}  // namespace

// Indexes 0 .. frames-1, the ring frame, then 1, 2, ...; the ring frame shows frame 0 again.
// Without a ring the index after the last frame is 0 and the palette starts from zero again.
TEST(TorvexFileTest, PlayOrderWithAndWithoutRing) {
    testsupport::TempDir dir;
    Animation a = makeAnimation(36, 20, 5);
    TorvexWriterOptions ring;
    ring.ring = true;
    for (bool withRing : {true, false}) {
        std::string path = writeAnimation(dir, withRing ? "r.tvx" : "n.tvx", a, withRing ? ring : TorvexWriterOptions{});
        TorvexFile* f = TorvexOpen(path.c_str(), 0, -1);
        ASSERT_NE(f, nullptr);
        Played p = play(f, 9);
        std::vector<uint32_t> want = withRing ? std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 1, 2, 3}
                                              : std::vector<uint32_t>{0, 1, 2, 3, 4, 0, 1, 2, 3};
        EXPECT_EQ(p.indexes, want);
        for (size_t k = 0; k < 9; ++k) {
            size_t source = sourceOf(k, 5, withRing);
            EXPECT_EQ(p.pictures[k], a.pixels[source]) << withRing << " " << k;
            uint8_t shown[768];
            TorvexWriterShownPalette(a.palettes[source].data(), shown);
            EXPECT_EQ(std::memcmp(p.palettes[k].data(), shown, 768), 0) << withRing << " " << k;
        }
        TorvexClose(f);
    }
}

// Automatic ring sizing, the explicit sizes, and the switch to load-all when four fifths of the
// data fit the ring (the handle is then closed at open).
TEST(TorvexFileTest, BufferingModes) {
    testsupport::TempDir dir;
    Animation big = makeAnimation(64, 64, 24, 3);
    for (auto& px : big.pixels)  // mostly noise, so frames are large
        for (size_t i = 0; i < px.size(); ++i)
            if (i % 7) px[i] = uint8_t(i * 2654435761u >> 13);
    TorvexWriterOptions unpaced;
    unpaced.frameRate = 0;
    unpaced.ring = true;
    std::string path = writeAnimation(dir, "big.tvx", big, unpaced);
    struct Case {
        int32_t ring;
        uint32_t flags;
        bool loadAll;
        uint32_t size;
    };
    for (Case c : {Case{-1, 0, false, 12288}, Case{0, 0, false, 8192}, Case{5000, 0, false, 8192},
                   Case{20000, 0, false, 20480}, Case{-1, kTvxFillRing, false, 12288}, Case{1 << 24, 0, true, 0},
                   Case{-1, kTvxLoadAll, true, 0}}) {
        TorvexFile* f = TorvexOpen(path.c_str(), c.flags, c.ring);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->period, 0u);
        EXPECT_EQ(bool(f->openFlags & kTvxLoadAll), c.loadAll) << c.ring;
        if (!c.loadAll) {
            EXPECT_EQ(f->ringSize, c.size) << c.ring;
        }
        EXPECT_EQ(f->handle == -1, c.loadAll);
        if (c.flags & kTvxFillRing) {
            EXPECT_GE(f->ringHeld, f->ringSize - 4096);
        }
        // Through the ring frame and round again, reading ahead between frames.
        Played p = play(f, 52, c.ring == 20000 ? 3 : 1);
        for (size_t k = 0; k < 52; ++k)
            ASSERT_EQ(p.pictures[k], big.pixels[sourceOf(k, 24, true)]) << c.ring << " " << k;
        EXPECT_EQ(f->readError, 0u);
        EXPECT_GT(f->stats.memPeak, uint32_t(sizeof(TorvexFile)));
        TorvexClose(f);
    }
    Animation small = makeAnimation(16, 16, 3);
    std::string smallPath = writeAnimation(dir, "small.tvx", small);
    TorvexFile* f = TorvexOpen(smallPath.c_str(), 0, -1);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->openFlags & kTvxLoadAll);
    EXPECT_EQ(f->handle, -1);
    TorvexClose(f);
}

// A caller's handle positioned inside a bigger file: every position counts from there, the
// handle stays open, and seeking in the ring lands on the right frames.
TEST(TorvexFileTest, HandleNotAtStartAndSeeking) {
    testsupport::TempDir dir;
    Animation a = makeAnimation(64, 48, 12, 11);
    for (auto& px : a.pixels)
        for (size_t i = 0; i < px.size(); i += 3) px[i] = uint8_t(i * 40503u >> 7);
    std::string inner = writeAnimation(dir, "inner.tvx", a);
    std::vector<unsigned char> bytes = testsupport::readFile(inner);
    std::vector<unsigned char> outer(1234 + bytes.size(), 0x5A);
    std::memcpy(outer.data() + 1234, bytes.data(), bytes.size());
    testsupport::writeFile(dir.file("outer.bin"), outer);
    plat::FileHandle h = plat::fileOpen(dir.file("outer.bin"), plat::Access::Read, true);
    ASSERT_NE(h, plat::kInvalidFile);
    ASSERT_TRUE(plat::fileSeek(h, 1234));
    TorvexFile* f = TorvexOpen(reinterpret_cast<const void*>(intptr_t(h)), kTvxFromHandle, 8192);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->startPos, 1234u);
    EXPECT_FALSE(f->openFlags & kTvxLoadAll);
    Played p = play(f, 12);
    for (size_t k = 0; k < 12; ++k) ASSERT_EQ(p.pictures[k], a.pixels[k]) << k;
    // Seek forward and back: the loaded frame is the one stored at that index.
    TorvexFile* ref = TorvexOpen(inner.c_str(), kTvxLoadAll, -1);
    ASSERT_NE(ref, nullptr);
    for (uint32_t n : {9u, 3u, 4u, 12u, 1u, 7u}) {
        TorvexSeek(f, n);
        TorvexSeek(ref, n);
        ASSERT_EQ(f->frameIndex, n - 1);
        ASSERT_EQ(f->frameSize, ref->frameSize);
        ASSERT_EQ(std::memcmp(f->frame, ref->frame, f->frameSize), 0) << n;
        EXPECT_EQ(std::memcmp(f->palette, ref->palette, 768), 0) << n;
    }
    TorvexClose(ref);
    TorvexClose(f);
    EXPECT_GE(plat::fileTell(h), 0);  // still open: the caller owns it
    plat::fileClose(h);
    // The caller's record with the handle in its first word; close leaves the block alone.
    std::vector<uint64_t> block(kTorvexRecordSize / 8 + 1, 0);
    h = plat::fileOpen(inner, plat::Access::Read, true);
    uint32_t word = uint32_t(h);
    std::memcpy(block.data(), &word, 4);
    f = TorvexOpen(block.data(), kTvxFromHandle | kTvxCallerRecord, -1);
    ASSERT_EQ(static_cast<void*>(f), static_cast<void*>(block.data()));
    Played q = play(f, 2);
    EXPECT_EQ(q.pictures[1], a.pixels[1]);
    TorvexClose(f);
    plat::fileClose(h);
}

// Display overrides and storage modes: interlaced rows go to every second line, doubled rows
// twice, and 0x300000 shows an interlaced file at its stored height.
TEST(TorvexFileTest, DisplayModesAndOverrides) {
    testsupport::TempDir dir;
    Animation a = makeAnimation(20, 16, 2, 5);
    TorvexWriterOptions inter;
    inter.display = TorvexDisplay::Interlaced;
    std::string path = writeAnimation(dir, "i.tvx", a, inter);
    struct Case {
        uint32_t flags;
        uint32_t height;
        int mode;  // 0 normal (stored rows), 1 interlaced, 2 doubled
    };
    for (Case c : {Case{0, 16, 1}, Case{kTvxForceNormal, 8, 0}, Case{kTvxForceDoubled, 16, 2}}) {
        TorvexFile* f = TorvexOpen(path.c_str(), c.flags, -1);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->header.height, c.height);
        Played p = play(f, 1);
        // Frame 1 repaints a few blocks; its rectangles come in display rows.
        std::vector<uint8_t> px(size_t(20) * c.height, 0);
        TorvexSetTarget(f, 0, 0, 20, int32_t(c.height), px.data(), 0);
        TorvexDecodeFrame(f);
        ASSERT_EQ(TorvexNextDirtyRect(f, 1), 1);
        EXPECT_EQ(f->rectY % (c.mode ? 8 : 4), 0);
        EXPECT_EQ(f->rectHeight % (c.mode ? 8 : 4), 0);
        EXPECT_LE(uint32_t(f->rectY + f->rectHeight), c.height);
        for (uint32_t y = 0; y < c.height; ++y) {
            uint32_t storedRow = c.mode == 0 ? y : y / 2;
            bool painted = c.mode != 1 || y % 2 == 0;
            for (uint32_t x = 0; x < 20; ++x) {
                uint8_t want = painted ? a.pixels[0][size_t(2 * storedRow) * 20 + x] : 0;
                ASSERT_EQ(p.pictures[0][size_t(y) * 20 + x], want) << c.flags << " " << x << "," << y;
            }
        }
        TorvexClose(f);
    }
}

// The clock of a silent file: unpaced files are always due; a paced one waits a period from the
// first call, catches up when a little behind and restarts when far behind.
TEST(TorvexFileTest, SilentPacing) {
    plat::setVirtualClock(true);
    KroTimerReset();
    KroTimerRead();
    testsupport::TempDir dir;
    Animation a = makeAnimation(8, 8, 3);
    TorvexWriterOptions unpaced;
    unpaced.frameRate = 0;
    TorvexFile* f0 = TorvexOpen(writeAnimation(dir, "u.tvx", a, unpaced).c_str(), 0, -1);
    ASSERT_NE(f0, nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(TorvexIsEarly(f0), 0);
    TorvexClose(f0);
    TorvexWriterOptions paced;
    paced.frameRate = -6660;
    TorvexFile* f = TorvexOpen(writeAnimation(dir, "p.tvx", a, paced).c_str(), 0, -1);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->period, 6660u);
    uint32_t start = KroTimerRead() * 100;
    EXPECT_EQ(TorvexIsEarly(f), 1);
    EXPECT_EQ(f->nextTime, start + 6660);
    plat::virtualAdvanceMs(60);
    EXPECT_EQ(TorvexIsEarly(f), 1);
    plat::virtualAdvanceMs(7);
    EXPECT_EQ(TorvexIsEarly(f), 0);
    EXPECT_EQ(f->nextTime, start + 6700 + 6660);  // on time: a period from now
    EXPECT_EQ(TorvexIsEarly(f), 0);               // released until the next advance
    TorvexAdvance(f);
    EXPECT_EQ(TorvexIsEarly(f), 1);
    plat::virtualAdvanceMs(67 + 70);  // between one and two periods late: catch up
    uint32_t before = f->nextTime;
    EXPECT_EQ(TorvexIsEarly(f), 0);
    EXPECT_EQ(f->nextTime, before + 6660);
    TorvexAdvance(f);
    plat::virtualAdvanceMs(1000);
    EXPECT_EQ(TorvexIsEarly(f), 0);
    EXPECT_EQ(f->nextTime, KroTimerRead() * 100 + 6660);
    TorvexClose(f);
    plat::setVirtualClock(false);
    KroTimerReset();
}

// Debug output (profile "Torvex"/"Debug" = 1): the open and close messages and the failures.
TEST(TorvexFileTest, DebugMessages) {
    testsupport::TempDir dir;
    testsupport::writeText(dir.file("win.ini"), "[Torvex]\nDebug=1\n");
    setenv("TORVEX_PROFILE", dir.file("win.ini").c_str(), 1);
    plat::profileReload();
    TorvexDebugReset();
    Animation a = makeAnimation(8, 8, 1);
    std::string path = writeAnimation(dir, "d.tvx", a);
    testsupport::writeText(dir.file("bad.tvx"), "RIFF....................................................................................................................");
    testing::internal::CaptureStderr();
    TorvexFile* f = TorvexOpen(path.c_str(), 0, -1);
    TorvexClose(f);
    EXPECT_EQ(TorvexOpen(dir.file("missing.tvx").c_str(), 0, -1), nullptr);
    EXPECT_EQ(TorvexOpen(dir.file("bad.tvx").c_str(), 0, -1), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    std::string addr = std::to_string(reinterpret_cast<uintptr_t>(f));
    EXPECT_NE(err.find("TorvexOpen - file: " + path + "\r\n"), std::string::npos) << err;
    EXPECT_NE(err.find("TorvexOpen returned: " + addr + "\r\n"), std::string::npos) << err;
    EXPECT_NE(err.find("TorvexClose: " + addr + "\r\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Couldn't open the Torvex file\r\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Wasn't a Torvex file\r\n"), std::string::npos) << err;
    unsetenv("TORVEX_PROFILE");
    plat::profileReload();
    TorvexDebugReset();
    testing::internal::CaptureStderr();
    TorvexClose(TorvexOpen(path.c_str(), 0, -1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Every painter: 8-bit and 16-bit output, top-down and bottom-up, in each display mode, all
// agree with the plain 8-bit picture (16-bit through the palette, bottom-up mirrored).
TEST(TorvexFileTest, PaintersAgree) {
    testsupport::TempDir dir;
    for (TorvexDisplay display : {TorvexDisplay::Normal, TorvexDisplay::Interlaced, TorvexDisplay::Doubled}) {
        for (int version : {2, 4}) {
            Animation a = makeAnimation(44, 24, 4, 17, display != TorvexDisplay::Normal);
            // One palette throughout: 16-bit skips keep old colours by design (tested elsewhere).
            for (auto& p : a.palettes) p = a.palettes[0];
            TorvexWriterOptions o;
            o.display = display;
            o.version = version;
            std::string path = writeAnimation(dir, "p.tvx", a, o);
            TorvexFile* plain = TorvexOpen(path.c_str(), kTvxTrackBits, -1);
            ASSERT_NE(plain, nullptr);
            EXPECT_EQ(plain->openFlags & kTvxTrackBits, 0u);  // no sound yet: track requests stay clear
            EXPECT_EQ(plain->primaryTrack, -1);
            const uint32_t w = 44, h = 24;
            for (uint32_t flags : {0x00000001u, 0xC0000000u, 0x80000001u}) {
                TorvexFile* f = TorvexOpen(path.c_str(), 0, -1);
                ASSERT_NE(f, nullptr);
                bool sixteen = flags >= 0x40000000u, bottomUp = flags & 1;
                std::vector<uint8_t> ref(w * h, 0);
                std::vector<uint16_t> out16(w * h, 0);
                std::vector<uint8_t> out8(w * h, 0);
                TorvexSeek(plain, 1);
                TorvexSetTarget(plain, 0, 0, w, h, ref.data(), 0);
                if (sixteen) TorvexSetTarget(f, 0, 0, w * 2, h, out16.data(), flags);
                else TorvexSetTarget(f, 0, 0, w, h, out8.data(), flags);
                for (int k = 0; k < 4; ++k) {
                    TorvexDecodeFrame(plain);
                    TorvexDecodeFrame(f);
                    for (uint32_t y = 0; y < h; ++y)
                        for (uint32_t x = 0; x < w; ++x) {
                            uint32_t row = bottomUp ? h - 1 - y : y;
                            uint32_t got = sixteen ? out16[row * w + x] : out8[row * w + x];
                            uint8_t v = ref[y * w + x];
                            const uint8_t* c = f->palette + 3 * v;
                            uint32_t want = v;
                            if (flags >> 24 == 0xC0) want = uint32_t((c[0] >> 3) << 11 | (c[1] >> 2) << 5 | (c[2] >> 3));
                            if (flags >> 24 == 0x80) want = uint32_t((c[0] >> 3) << 10 | (c[1] >> 3) << 5 | (c[2] >> 3));
                            bool unpainted = display == TorvexDisplay::Interlaced && y % 2;
                            if (unpainted) want = 0;
                            ASSERT_EQ(got, want) << int(display) << " " << flags << " frame " << k << " " << x << "," << y;
                        }
                    TorvexAdvance(plain);
                    TorvexAdvance(f);
                }
                TorvexClose(f);
            }
            TorvexClose(plain);
        }
    }
}
