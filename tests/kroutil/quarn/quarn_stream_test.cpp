// Quarn container and sound tracks on hand-built files: each open failure and its text, the
// index rules, the input buffer and the preload boundary, scaling modes, the three sources, and
// the sound packets of a frame decoded through the transform decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/mem_block.h"
#include "bytes/byte_order.h"
#include "kroutil/output/audio_encoder.h"
#include "kroutil/quarn.h"
#include "platform/fs.h"
#include "tests/kroutil/quarn/quarn_fixture.h"
#include "tests/support/test_support.h"

namespace {

using namespace quarntest;
using testsupport::TempDir;


// Frames of the given sizes with no sound and no picture data worth decoding.
std::vector<Bytes> plainFrames(std::initializer_list<uint32_t> sizes) {
    std::vector<Bytes> f;
    for (uint32_t s : sizes) f.emplace_back(s, uint8_t(0x55));
    return f;
}

QuarnStream* openImage(const Bytes& b, uint32_t flags = 0) {
    return QuarnStreamOpenSized(b.data(), flags | QUARN_OPEN_MEMORY, b.size());
}

TEST(QuarnOpen, EachFailureHasItsText) {
    TempDir dir;
    Fixture good;
    good.frames = plainFrames({10, 20, 30});
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"short header", [](Bytes& b) { b.resize(43); }, "Not a Quarn file."},
        {"wrong magic", [](Bytes& b) { b[3] = 'j'; }, "Not a Quarn file."},
        {"no frames", [](Bytes& b) { setWord(b, 8, 0); }, "The file doesn't contain any compressed frames yet."},
        {"width 0", [](Bytes& b) { setWord(b, 20, 0); }, "The file has a corrupt header."},
        {"height 32768", [](Bytes& b) { setWord(b, 24, 32768); }, "The file has a corrupt header."},
        {"largest above data size", [](Bytes& b) { setWord(b, 12, uint32_t(b.size())); }, "The file has a corrupt header."},
        {"fewer entries than frames", [](Bytes& b) { setWord(b, 16, 2); }, "The file has a corrupt header."},
        {"over a million entries", [](Bytes& b) { setWord(b, 16, 1000001); }, "The file has a corrupt header."},
        {"rate numerator 0", [](Bytes& b) { setWord(b, 28, 0); }, "The file has a corrupt header."},
        {"rate denominator 0", [](Bytes& b) { setWord(b, 32, 0); }, "The file has a corrupt header."},
        {"257 tracks", [](Bytes& b) { setWord(b, 40, 257); }, "The file has a corrupt header."},
        {"data size below the index", [](Bytes& b) { setWord(b, 4, 11); setWord(b, 12, 11); }, "The file has a corrupt header."},
        {"index cut short", [](Bytes& b) { b.resize(50); }, "Error reading Quarn header."},
        {"positions going back", [](Bytes& b) { setWord(b, 44 + 4, bytes::load32le(b.data() + 44 + 8) + 2); },
         "This file has bad frame size data."},
        // 61 then 60: the same position, the first with the key mark.
        {"differs only in bit 0", [](Bytes& b) { setWord(b, 44 + 4, bytes::load32le(b.data() + 44) - 1); },
         "This file has bad frame size data."},
        {"frame above the largest", [](Bytes& b) { setWord(b, 12, 29); }, "This file has bad frame size data."},
    };
    for (const Case& c : cases) {
        Bytes b = good.build();
        c.damage(b);
        std::string path = dir.file("bad.qrn");
        testsupport::writeFile(path, b);
        for (bool memory : {false, true}) {
            QuarnStream* s = memory ? openImage(b) : QuarnStreamOpen(path.c_str(), 0);
            EXPECT_EQ(s, nullptr) << c.what;
            EXPECT_STREQ(QuarnLastError(), c.text) << c.what << (memory ? " (memory)" : " (file)");
            QuarnStreamClose(s);
        }
    }
    EXPECT_EQ(QuarnStreamOpen(dir.file("missing.qrn").c_str(), 0), nullptr);
    EXPECT_STREQ(QuarnLastError(), "Error opening file.");
    // A good open clears the text.
    Bytes b = good.build();
    QuarnStream* s = openImage(b);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(QuarnLastError(), "");
    QuarnStreamClose(s);
}

TEST(QuarnOpen, IndexKeyBitsFramesAndExtraEntries) {
    Fixture f;
    f.frames = plainFrames({10, 0, 30, 8});
    f.keys = {true, false, true, false};
    f.entries = 7;
    f.extraIndex = {5, 3, 1};  // past the frames: read, never checked
    Bytes b = f.build();
    QuarnStream* s = openImage(b);
    ASSERT_NE(s, nullptr) << QuarnLastError();
    EXPECT_EQ(s->frames, 4u);
    EXPECT_EQ(s->indexEntries, 7u);
    EXPECT_EQ(s->frameIndex[5], 5u);
    EXPECT_FALSE(s->allKeyFrames);
    const uint32_t dataStart = 44 + 4 * 8;
    struct Expect {
        uint32_t pos, size, key;
    };
    const Expect want[4] = {{dataStart, 10, 1}, {dataStart + 10, 0, 0}, {dataStart + 10, 30, 1}, {dataStart + 40, 8, 0}};
    for (uint32_t i = 0; i < 4; ++i) {
        if (i) {
            EXPECT_EQ(QuarnAdvance(s), 1);
        }
        EXPECT_EQ(s->currentFrame, i + 1);
        EXPECT_EQ(s->framePos, want[i].pos);
        EXPECT_EQ(s->frameSize, want[i].size);
        EXPECT_EQ(s->frameKey, want[i].key);
        EXPECT_EQ(s->frameBytes, want[i].size);
        if (want[i].size) {
            EXPECT_EQ(s->frameData[0], 0x55);
        }
    }
    EXPECT_EQ(QuarnAdvance(s), 0);  // the last frame stays current
    EXPECT_EQ(s->currentFrame, 4u);
    EXPECT_EQ(QuarnGotoFrame(s, 0), 1);
    EXPECT_EQ(s->currentFrame, 1u);
    QuarnStreamClose(s);

    f.keys.clear();
    f.frames = plainFrames({10, 2, 30, 8});  // a key frame cannot be empty: its position would repeat
    b = f.build();
    s = openImage(b);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->allKeyFrames);
    QuarnStreamClose(s);
}

// 30 frames per second; the busiest second (frames 10 to 39) holds `busy` bytes; trailing bytes
// bring the data size to dataSize.
Fixture busyFile(uint32_t busy, uint32_t dataSize) {
    Fixture f;
    for (int i = 0; i < 60; ++i) f.frames.emplace_back(1000, uint8_t(i));
    uint32_t each = busy / 30 & ~1u;
    for (int i = 10; i < 40; ++i) f.frames[i].assign(i == 10 ? busy - 29 * each : each, uint8_t(i));
    Bytes b = f.build();
    f.trailing = dataSize + 8 - uint32_t(b.size());
    return f;
}

TEST(QuarnOpen, InputBufferFromTheBusiestSecondAndThePreloadBoundary) {
    TempDir dir;
    struct Case {
        uint32_t busy, dataSize, buffer, preloaded;
    };
    const Case cases[] = {
        {100000, 295829, 266240, 1},   // 295829 / 10 x 9 = 266238: read whole
        {100000, 295830, 266240, 0},   // 266247: buffered
        {300000, 500000, 397312, 0},   // 393216 + 4096
        {300000, 441459, 397312, 1},
        {300000, 441460, 397312, 0},
    };
    for (const Case& c : cases) {
        Fixture f = busyFile(c.busy, c.dataSize);
        Bytes b = f.build();
        ASSERT_EQ(b.size(), c.dataSize + 8u);
        std::string path = dir.file("busy.qrn");
        testsupport::writeFile(path, b);
        QuarnStream* s = QuarnStreamOpen(path.c_str(), 0);
        ASSERT_NE(s, nullptr) << QuarnLastError();
        EXPECT_EQ(s->peakSecond, c.busy) << c.busy;
        EXPECT_EQ(s->peakSecondStart, 10u);
        EXPECT_EQ(s->bufferSize, c.buffer) << c.busy << " " << c.dataSize;
        EXPECT_EQ(s->preloaded, c.preloaded) << c.busy << " " << c.dataSize;
        // Every frame reads back, forwards and after a jump back, whichever way it is held.
        for (uint32_t i = 0; i < 60; ++i) {
            if (i) {
                ASSERT_EQ(QuarnAdvance(s), 1);
            }
            ASSERT_EQ(s->frameBytes, f.frames[i].size());
            EXPECT_EQ(s->frameData[0], uint8_t(i));
            EXPECT_EQ(s->frameData[s->frameBytes - 1], uint8_t(i));
        }
        ASSERT_EQ(QuarnGotoFrame(s, 12), 1);
        EXPECT_EQ(s->frameData[0], 11);
        QuarnStreamClose(s);
    }
}

TEST(QuarnOpen, ShortFilesAndFewFrames) {
    // Fewer frames than a second: the peak is the average rate. A file cut inside its last
    // frame opens, and that frame reports the bytes it has.
    Fixture f;
    f.frames = plainFrames({100, 200, 300});
    Bytes b = f.build();
    b.resize(b.size() - 50);
    setWord(b, 4, uint32_t(b.size()) + 42);  // the header still claims the whole
    QuarnStream* s = QuarnStreamOpenSized(b.data(), QUARN_OPEN_MEMORY, b.size());
    ASSERT_NE(s, nullptr) << QuarnLastError();
    EXPECT_EQ(s->peakSecond, 600u * 30 / 3);
    EXPECT_EQ(QuarnGotoFrame(s, 3), 0);
    EXPECT_EQ(s->frameBytes, 250u);
    QuarnStreamClose(s);
}

TEST(QuarnOpen, DisplaySizeFromScalingModes) {
    struct Case {
        uint32_t fileMode, callerMode, width, height;
    };
    const Case cases[] = {{0, 0, 8, 6},  {1, 0, 8, 12}, {2, 0, 8, 12}, {3, 0, 16, 6}, {4, 0, 16, 12},
                          {5, 0, 16, 12}, {6, 0, 8, 6}, {4, 7, 8, 6},  {0, 3, 16, 6}, {1, 4, 16, 12}};
    for (const Case& c : cases) {
        Fixture f;
        f.frames = plainFrames({4});
        f.flags = c.fileMode << 28;
        Bytes b = f.build();
        QuarnStream* s = openImage(b, QUARN_OPEN_SCALING(c.callerMode));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->displayWidth, c.width) << c.fileMode << "/" << c.callerMode;
        EXPECT_EQ(s->displayHeight, c.height) << c.fileMode << "/" << c.callerMode;
        EXPECT_EQ(s->width, 8u);
        EXPECT_EQ(s->height, 6u);
        QuarnStreamClose(s);
    }
}

TEST(QuarnOpen, EffectiveVideoFlags) {
    struct Case {
        char revision;
        uint32_t fileFlags, openFlags, want;
    };
    const uint32_t A = QUARN_VIDEO_ALPHA, G = QUARN_VIDEO_GREY, N = QUARN_VIDEO_NO_LUMA_SIZE, O = QUARN_VIDEO_OLD_REVISION;
    const Case cases[] = {
        {'i', A | G, QUARN_OPEN_ALPHA, A | G},
        {'i', A, 0, 0},                 // alpha not asked for
        {'i', 0, QUARN_OPEN_ALPHA, 0},  // asked for, but the file has none
        {'h', 0, 0, N},
        {'g', G, 0, N | O | G},
        {'f', 0, N | G, N | O},         // the caller cannot set the file's own bits
    };
    for (const Case& c : cases) {
        Fixture f;
        f.revision = c.revision;
        f.flags = c.fileFlags;
        f.frames = plainFrames({4});
        Bytes b = f.build();
        QuarnStream* s = openImage(b, c.openFlags);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->videoFlags & (A | G | N | O), c.want) << c.revision << " " << c.fileFlags;
        EXPECT_EQ(s->fileHasAlpha, (c.fileFlags & A) ? 1u : 0u);
        EXPECT_EQ(s->revision, uint32_t(c.revision));
        QuarnStreamClose(s);
    }
}

TEST(QuarnOpen, FromAHandleAtItsPosition) {
    TempDir dir;
    Fixture f;
    f.frames = plainFrames({10, 20});
    Bytes b = f.build();
    Bytes withPrefix(1000, 0xEE);
    withPrefix.insert(withPrefix.end(), b.begin(), b.end());
    std::string path = dir.file("embedded.bin");
    testsupport::writeFile(path, withPrefix);
    plat::FileHandle h = plat::fileOpen(path, plat::Access::Read, true);
    ASSERT_NE(h, plat::kInvalidFile);
    ASSERT_TRUE(plat::fileSeek(h, 1000));
    QuarnStream* s = QuarnStreamOpen(reinterpret_cast<void*>(intptr_t(h)), QUARN_OPEN_HANDLE | QUARN_OPEN_NO_FILL);
    ASSERT_NE(s, nullptr) << QuarnLastError();
    ASSERT_EQ(QuarnAdvance(s), 1);
    EXPECT_EQ(s->frameBytes, 20u);
    EXPECT_EQ(s->frameData[19], 0x55);
    QuarnStreamClose(s);
    // The caller's handle stays open.
    EXPECT_TRUE(plat::fileSeek(h, 0));
    plat::fileClose(h);
}

// ---------------------------------------------------------------------------------------------
// Sound.

// Transform blocks for 16-bit PCM, as a packet body: the decoded byte count, then the blocks.
Bytes encodePacket(const Bytes& pcm, uint32_t rate, uint32_t channels, uint32_t variant, uint32_t claimed = 0) {
    torvex::TorvexAudioEncoder* enc = torvex::TorvexAudioEncoderCreate(rate, channels, variant);
    EXPECT_NE(enc, nullptr);
    Bytes blocks;
    size_t taken = 0;
    uint32_t delivered = 0;
    while (delivered < pcm.size()) {
        uint32_t want = torvex::TorvexAudioEncoderNextInputBytes(enc);
        uint32_t offset = torvex::TorvexAudioEncoderBlockBytes(enc) - want;
        uint32_t got = uint32_t(std::min<size_t>(want, pcm.size() - taken));
        std::copy(pcm.begin() + taken, pcm.begin() + taken + got, torvex::TorvexAudioEncoderInput(enc) + offset);
        taken += got;
        const uint8_t* out;
        uint32_t outBytes;
        uint32_t d = torvex::TorvexAudioEncodeBlock(enc, got, 0, &out, &outBytes);
        if (!d) break;
        blocks.insert(blocks.end(), out, out + outBytes);
        delivered += torvex::TorvexAudioEncoderBlockBytes(enc) - torvex::TorvexAudioEncoderOverlapBytes(enc);
    }
    torvex::TorvexAudioEncoderFree(enc);
    Bytes packet;
    put32(packet, claimed ? claimed : uint32_t(pcm.size()));
    packet.insert(packet.end(), blocks.begin(), blocks.end());
    return packet;
}

Bytes frameOf(const std::vector<Bytes>& packets, size_t videoBytes = 3) {
    Bytes f;
    for (auto& p : packets) {
        put32(f, uint32_t(p.size()));
        f.insert(f.end(), p.begin(), p.end());
    }
    f.insert(f.end(), videoBytes, uint8_t(0xAB));
    return f;
}

// Loud square steps with silence between: full scale both ways and zero.
Bytes steps(uint32_t frames, uint32_t channels) {
    Bytes pcm;
    for (uint32_t i = 0; i < frames; ++i) {
        uint32_t phase = (i / 1024) % 4;
        int16_t v = phase == 1 ? 32767 : phase == 3 ? -32768 : 0;
        for (uint32_t c = 0; c < channels; ++c) {
            pcm.push_back(uint8_t(uint16_t(v)));
            pcm.push_back(uint8_t(uint16_t(v) >> 8));
        }
    }
    return pcm;
}

TEST(QuarnAudio, SixteenAndEightBitFromTheSamePacket) {
    Bytes pcm = steps(8192, 2);
    Bytes packet = encodePacket(pcm, 22050, 2, 1, 16384);
    const uint32_t rate = 22050;
    Fixture f;
    f.tracks = {{16384, rate | QUARN_AUDIO_DCT | QUARN_AUDIO_STEREO | QUARN_AUDIO_16BIT, 1},
                {16384, rate | QUARN_AUDIO_DCT | QUARN_AUDIO_STEREO, 2}};
    f.frames = {frameOf({packet, packet})};
    Bytes b = f.build();
    QuarnStream* s = openImage(b);
    ASSERT_NE(s, nullptr) << QuarnLastError();
    QuarnAudioTrack* t16 = QuarnOpenAudioTrack(s, 0);
    QuarnAudioTrack* t8 = QuarnOpenAudioTrack(s, 1);
    ASSERT_NE(t16, nullptr);
    ASSERT_NE(t8, nullptr);
    EXPECT_EQ(t16->bitsPerSample, 16u);
    EXPECT_EQ(t8->bitsPerSample, 8u);
    EXPECT_EQ(t16->channels, 2u);
    EXPECT_EQ(t16->sampleRate, rate);
    EXPECT_EQ(t16->bufferSize, 16384u);
    EXPECT_EQ(t8->bufferSize, 8192u);
    std::vector<int16_t> out16(8192);
    Bytes out8(8192);
    ASSERT_EQ(QuarnExtractAudio(t16, out16.data()), 16384u);
    ASSERT_EQ(QuarnExtractAudio(t8, out8.data()), 8192u);
    bool sawMin = false, sawMax = false, sawZero = false;
    for (size_t k = 0; k < 8192; ++k) {
        ASSERT_EQ(out8[k], uint8_t((uint16_t(out16[k]) >> 8) + 128)) << k;
        sawMin = sawMin || out16[k] == -32768;
        sawMax = sawMax || out16[k] == 32767;
        sawZero = sawZero || out16[k] == 0;
    }
    // The mapping above covers the extremes: -32768 gives 0, 0 gives 128, 32767 gives 255.
    EXPECT_TRUE(sawMin && sawMax && sawZero) << out16[300] << " " << out16[3000] << " " << out16[7000];
    QuarnCloseAudioTrack(t16);
    QuarnCloseAudioTrack(t8);
    QuarnStreamClose(s);
}

TEST(QuarnAudio, PacketsThatAreEmptyMissingOrDamaged) {
    const uint32_t fmt = 11025 | QUARN_AUDIO_DFT | QUARN_AUDIO_16BIT;
    Bytes pcm = steps(4096, 1);
    Bytes packet = encodePacket(pcm, 11025, 1, 0, 2000);
    Bytes overlong = frameOf({packet, packet});
    setWord(overlong, 4 + packet.size(), uint32_t(packet.size() + 10));  // runs past the frame
    Bytes claimsTooMuch = encodePacket(pcm, 11025, 1, 0, 50000);
    Fixture f;
    f.tracks = {{3000, fmt, 7}, {2000, fmt, 9}};
    f.frames = {frameOf({packet, Bytes{}}),   // track 1 silent in this frame
                frameOf({Bytes{}, packet}),   // and present in the next
                overlong,
                frameOf({packet, Bytes{0, 0, 0, 0}}),  // D = 0
                frameOf({packet, claimsTooMuch}),
                Bytes{1, 0}};                 // too short for a length
    Bytes b = f.build();
    QuarnStream* s = openImage(b);
    ASSERT_NE(s, nullptr) << QuarnLastError();
    QuarnAudioTrack* t = QuarnOpenAudioTrack(s, 1);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->bufferSize, 2000u);
    std::vector<uint8_t> out(t->bufferSize + 64, 0xCD);
    const uint32_t want[6] = {0, 2000, 0, 0, 2000, 0};
    for (int i = 0; i < 6; ++i) {
        if (i) {
                ASSERT_EQ(QuarnAdvance(s), 1);
            }
        EXPECT_EQ(QuarnExtractAudio(t, out.data()), want[i]) << "frame " << i + 1;
    }
    // Nothing past the track's buffer was touched.
    for (size_t k = t->bufferSize; k < out.size(); ++k) ASSERT_EQ(out[k], 0xCD);
    EXPECT_EQ(QuarnExtractAudio(t, nullptr), 0u);
    EXPECT_EQ(QuarnExtractAudio(nullptr, out.data()), 0u);
    QuarnCloseAudioTrack(t);
    QuarnStreamClose(s);
}

TEST(QuarnAudio, TracksThatCannotOpenAndTheLaterOfTwoIdentifiers) {
    Fixture f;
    f.tracks = {{100, 8000 | QUARN_AUDIO_16BIT, 5},  // neither transform variant
                {100, 8000 | QUARN_AUDIO_DCT, 5},
                {100, 8000 | QUARN_AUDIO_DFT | QUARN_AUDIO_DCT, 5},
                {100, 0 | QUARN_AUDIO_DCT, 6}};      // rate 0
    f.frames = plainFrames({16});
    Bytes b = f.build();
    QuarnStream* s = openImage(b);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(QuarnOpenAudioTrack(s, 0), nullptr);
    EXPECT_EQ(QuarnOpenAudioTrack(s, 3), nullptr);
    EXPECT_EQ(QuarnOpenAudioTrack(s, 4), nullptr);
    EXPECT_EQ(QuarnOpenAudioTrack(nullptr, 0), nullptr);
    EXPECT_EQ(QuarnFindTrack(s, 5), 2);
    EXPECT_EQ(QuarnFindTrack(s, 6), 3);
    EXPECT_EQ(QuarnFindTrack(s, 8), -1);
    QuarnAudioTrack* t = QuarnOpenAudioTrack(s, 2);  // bit 31 wins over bit 28
    ASSERT_NE(t, nullptr);
    QuarnCloseAudioTrack(t);
    QuarnCloseAudioTrack(nullptr);
    QuarnStreamClose(s);
}

TEST(QuarnOpen, EveryAllocationAndReadFailureIsClean) {
    TempDir dir;
    Fixture f;
    Bytes pcm = steps(2048, 1);
    Bytes packet = encodePacket(pcm, 8000, 1, 1, 1000);
    f.tracks = {{1000, 8000 | QUARN_AUDIO_DCT | QUARN_AUDIO_16BIT, 0}};
    f.frames = {frameOf({packet}), frameOf({packet})};
    f.trailing = 400000;  // buffered, not read whole
    std::string path = dir.file("a.qrn");
    testsupport::writeFile(path, f.build());
    struct Switch {
        const char* what;
        void (*failAt)(uint64_t);
    };
    for (const Switch& sw : {Switch{"allocation", TorvexMemFailAt}, Switch{"file", plat::setFileFaultAt}}) {
        for (uint64_t n = 1; n < 50; ++n) {
            sw.failAt(n);
            QuarnStream* s = QuarnStreamOpen(path.c_str(), 0);
            std::vector<uint8_t> out(1000);
            if (s) {
                QuarnAudioTrack* t = QuarnOpenAudioTrack(s, 0);
                QuarnExtractAudio(t, out.data());
                QuarnAdvance(s);
                QuarnExtractAudio(t, out.data());
                QuarnCloseAudioTrack(t);
                QuarnStreamClose(s);
            } else {
                std::string e = QuarnLastError();
                EXPECT_TRUE(e == "Out of memory." || e == "Error opening file." || e == "Not a Quarn file." ||
                            e == "Error reading Quarn header.")
                    << sw.what << " " << n << ": " << e;
            }
            sw.failAt(0);
        }
    }
}

}  // namespace
