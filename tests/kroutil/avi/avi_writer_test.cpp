// The AVI writer: every file it makes passes the independent structure check (which also
// compares every frame, palette and sample with what was written) and reads back through our
// reader to the same frames and sound; small parts and a file past 1 GiB exercise the
// large-file extension; bad arguments and failed writes leave no file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kroutil/input/avi_reader.h"
#include "kroutil/output/avi_writer.h"
#include "platform/fs.h"
#include "tests/kroutil/avi/avi_check.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::TempDir;

struct Clip {
    const char* name;
    int32_t width, height;
    uint32_t bits;
    uint32_t frames;
    uint32_t soundRate = 0, soundBits = 0, soundChannels = 0;
    uint64_t partLimit = kro::kAviPartLimit;
    uint32_t rateNum = 15, rateDen = 1;

    uint32_t stride() const { return (bits * uint32_t(width) + 31) / 32 * 4; }
    uint32_t block() const { return soundBits * soundChannels / 8; }
    // Frame k as stored: bottom-up rows, padding zero.
    Bytes frame(uint32_t k) const {
        Bytes b(size_t(stride()) * uint32_t(height), 0);
        uint32_t used = uint32_t(width) * bits / 8;
        for (int32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < used; ++x) b[size_t(y) * stride() + x] = uint8_t(x * 7 + uint32_t(y) * 13 + k * 31);
        return b;
    }
    // A new palette every third frame.
    Bytes colors(uint32_t k) const {
        Bytes c(1024, 0);
        uint32_t g = k / 3;
        for (uint32_t i = 0; i < 256; ++i) {
            c[i * 4] = uint8_t(i + g * 5);
            c[i * 4 + 1] = uint8_t(255 - i);
            c[i * 4 + 2] = uint8_t(i * 3 + g);
        }
        return c;
    }
    // Sound delivered after frame k: a varying whole number of sample frames.
    uint32_t soundBytes(uint32_t k) const { return block() ? ((k * 37) % 500 + 1) * block() : 0; }
    static uint8_t soundByte(uint64_t pos) { return uint8_t(pos * 131 + (pos >> 9)); }
};

void writeClip(const Clip& c, const std::string& path, Bytes* allSound = nullptr) {
    kro::AviWriterVideo v;
    v.width = c.width;
    v.height = c.height;
    v.bits = c.bits;
    v.rateNum = c.rateNum;
    v.rateDen = c.rateDen;
    kro::AviWriter* w = kro::aviWriterCreate(path.c_str(), v, c.partLimit);
    ASSERT_NE(w, nullptr);
    if (c.soundRate) {
        ASSERT_TRUE(kro::aviWriterSetSound(w, c.soundRate, c.soundBits, c.soundChannels, 1000));
    }
    uint64_t soundPos = 0;
    for (uint32_t k = 0; k < c.frames; ++k) {
        Bytes px = c.frame(k);
        Bytes pal = c.colors(k);
        ASSERT_EQ(kro::aviWriterPutFrame(w, px.data(), c.bits == 8 ? pal.data() : nullptr), px.size());
        if (c.soundRate) {
            Bytes s(c.soundBytes(k));
            for (uint8_t& b : s) b = Clip::soundByte(soundPos++);
            if (allSound) allSound->insert(allSound->end(), s.begin(), s.end());
            ASSERT_EQ(kro::aviWriterPutSound(w, s.data(), uint32_t(s.size())), s.size());
        }
    }
    EXPECT_FALSE(kro::aviWriterFailed(w));
    EXPECT_GT(kro::aviWriterClose(w), 0u);
}

avicheck::Result check(const Clip& c, const std::string& path, uint32_t frameStep = 1) {
    avicheck::Expect e;
    e.width = c.width;
    e.height = c.height;
    e.bits = c.bits;
    e.rateNum = c.rateNum;
    e.rateDen = c.rateDen;
    e.frames = c.frames;
    e.sound = c.soundRate != 0;
    e.soundRate = c.soundRate;
    e.soundBits = c.soundBits;
    e.soundChannels = c.soundChannels;
    uint32_t badFrames = 0, badPalettes = 0;
    uint64_t badSound = 0;
    avicheck::Checker checker;
    avicheck::Result r = checker.run(
        path, e,
        [&](uint32_t k, const Bytes& px, const Bytes& colors) {
            if (k % frameStep && k + 1 != c.frames) return;
            if (px != c.frame(k)) ++badFrames;
            if (c.bits == 8) {
                Bytes want = c.colors(k);
                if (colors != want) ++badPalettes;
            }
        },
        [&](uint64_t at, const Bytes& d) {
            for (size_t i = 0; i < d.size(); ++i) badSound += d[i] != Clip::soundByte(at + i);
        });
    if (badFrames) r.problems.push_back(std::to_string(badFrames) + " frames differ");
    if (badPalettes) r.problems.push_back(std::to_string(badPalettes) + " palettes differ");
    if (badSound) r.problems.push_back(std::to_string(badSound) + " sound bytes differ");
    return r;
}

// Our reader over the same file: every frame (or every step-th), its palette, all the sound.
void readBack(const Clip& c, const std::string& path, const Bytes& sound, uint32_t frameStep = 1) {
    const char* why = nullptr;
    kro::AviReader* r = kro::aviOpen(path.c_str(), &why);
    ASSERT_NE(r, nullptr) << why;
    const kro::AviVideoInfo& v = kro::aviVideo(r);
    EXPECT_EQ(v.frames, c.frames);
    EXPECT_EQ(v.width, c.width);
    EXPECT_EQ(v.height, c.height);
    EXPECT_EQ(v.outBits, c.bits);
    EXPECT_EQ(v.rateNum, c.rateNum);
    EXPECT_EQ(v.rateDen, c.rateDen);
    EXPECT_EQ(v.handler, 0x20424944u);  // "DIB "
    std::vector<uint32_t> which;
    for (uint32_t k = 0; k < c.frames; k += frameStep) which.push_back(k);
    if (which.back() != c.frames - 1) which.push_back(c.frames - 1);
    for (uint32_t k : which) {
        const kro::AviFrame* f = kro::aviReadFrame(r, k);
        ASSERT_NE(f, nullptr) << "frame " << k << ": " << kro::aviError(r);
        Bytes want = c.frame(k);
        uint32_t used = uint32_t(c.width) * c.bits / 8;
        for (int32_t y = 0; y < c.height; ++y)
            ASSERT_EQ(0, std::memcmp(f->pixels + size_t(y) * f->stride, want.data() + size_t(y) * c.stride(), used))
                << "frame " << k << " row " << y;
        if (c.bits == 8) {
            Bytes pal = c.colors(k);
            for (int i = 0; i < 256; ++i) pal[size_t(i) * 4 + 3] = 0;
            ASSERT_EQ(Bytes(f->colors, f->colors + 1024), pal) << "palette of frame " << k;
        }
    }
    if (c.soundRate) {
        ASSERT_EQ(kro::aviSoundCount(r), 1u);
        const kro::AviSoundInfo* s = kro::aviSound(r, 0);
        EXPECT_EQ(s->rate, c.soundRate);
        EXPECT_EQ(s->bits, c.soundBits);
        EXPECT_EQ(s->channels, c.soundChannels);
        ASSERT_EQ(s->samples * c.block(), sound.size());
        // In uneven pieces, so that reads cross chunk boundaries.
        Bytes got(sound.size());
        uint64_t pos = 0;
        uint32_t piece = 333;
        while (pos < s->samples) {
            uint32_t n = kro::aviReadSound(r, 0, pos, got.data() + pos * c.block(), piece);
            ASSERT_GT(n, 0u);
            pos += n;
        }
        EXPECT_TRUE(got == sound);
    } else {
        EXPECT_EQ(kro::aviSoundCount(r), 0u);
    }
    kro::aviClose(r);
}

TEST(AviWriter, RoundTripsPassTheStructureCheckAndReadBack) {
    const Clip clips[] = {
        {"8-bit with palette changes, odd width", 7, 5, 8, 10},
        {"24-bit, odd width, stereo 16-bit sound", 13, 3, 24, 8, 22050, 16, 2},
        {"8-bit, mono 8-bit sound (odd chunk sizes)", 5, 4, 8, 6, 11025, 8, 1, kro::kAviPartLimit, 30000, 1001},
        {"24-bit, one frame", 2, 2, 24, 1},
        {"24-bit in small parts, with sound", 100, 60, 24, 40, 8000, 16, 1, 64 << 10},
        {"8-bit in small parts, palette changes", 64, 64, 8, 30, 0, 0, 0, 20 << 10},
    };
    TempDir dir;
    for (const Clip& c : clips) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file(std::string(c.name).substr(0, 12) + ".avi");
        Bytes sound;
        writeClip(c, path, &sound);
        avicheck::Result r = check(c, path);
        EXPECT_TRUE(r.ok()) << r.text();
        if (c.partLimit != kro::kAviPartLimit) {
            EXPECT_GT(r.parts, 2u);
        } else {
            EXPECT_EQ(r.parts, 1u);
        }
        if (c.bits == 8) {
            EXPECT_EQ(r.paletteChanges, (c.frames - 1) / 3);
        }
        readBack(c, path, sound);
    }
}

TEST(AviWriter, AFilePastOneGibibyteContinuesInFurtherParts) {
    // 1200 frames of 640 x 480 x 24 bits: 1.1 GB, so the first part fills and a second follows.
    Clip c{"large", 640, 480, 24, 1200, 8000, 8, 1};
    TempDir dir;
    std::string path = dir.file("large.avi");
    Bytes sound;
    writeClip(c, path, &sound);
    avicheck::Result r = check(c, path, 97);
    EXPECT_TRUE(r.ok()) << r.text();
    EXPECT_EQ(r.parts, 2u);
    readBack(c, path, sound, 97);
    std::remove(path.c_str());
}

TEST(AviWriter, BadArgumentsAndFailedWritesLeaveNoFile) {
    TempDir dir;
    std::string path = dir.file("bad.avi");
    struct Bad {
        int32_t w, h;
        uint32_t bits, num, den;
    } bads[] = {{0, 10, 24, 15, 1}, {10, -1, 24, 15, 1}, {10, 10, 16, 15, 1}, {10, 10, 8, 0, 1},
                {10, 10, 8, 15, 0}, {40000, 10, 24, 15, 1}};
    for (const Bad& b : bads) {
        kro::AviWriterVideo v{b.w, b.h, b.bits, b.num, b.den};
        EXPECT_EQ(kro::aviWriterCreate(path.c_str(), v), nullptr);
        EXPECT_FALSE(plat::pathExists(path));
    }
    kro::AviWriterVideo v{4, 4, 24, 15, 1};
    EXPECT_EQ(kro::aviWriterCreate(dir.file("missing/dir.avi").c_str(), v), nullptr);

    kro::AviWriter* w = kro::aviWriterCreate(path.c_str(), v);
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(kro::aviWriterSetSound(w, 22050, 12, 2, 0));
    EXPECT_FALSE(kro::aviWriterSetSound(w, 22050, 16, 3, 0));
    EXPECT_TRUE(kro::aviWriterSetSound(w, 22050, 16, 2, 0));
    EXPECT_FALSE(kro::aviWriterSetSound(w, 22050, 16, 2, 0));  // only one sound stream
    EXPECT_EQ(kro::aviWriterPutSound(w, "abc", 3), 0u);        // less than a sample frame
    kro::aviWriterClose(w);

    // A write the file refuses, at each of the first transfers in turn: the writer reports the
    // failure and removes the file.
    Bytes frame(1 << 20, 7);
    kro::AviWriterVideo big{512, 512, 24, 15, 1};
    for (uint64_t n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        kro::AviWriter* fw = kro::aviWriterCreate(path.c_str(), big);
        ASSERT_NE(fw, nullptr);
        plat::setFileFaultAt(n);
        for (int k = 0; k < 3; ++k) kro::aviWriterPutFrame(fw, frame.data(), nullptr);
        EXPECT_EQ(kro::aviWriterClose(fw), 0u);
        plat::setFileFaultAt(0);
        EXPECT_FALSE(plat::pathExists(path));
    }
}

}  // namespace
