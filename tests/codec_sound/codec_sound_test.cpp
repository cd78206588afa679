// Torvex files with sound, written by our writer and played through the codec on the headless
// mixer and the virtual clock: extraction gives the tracks back, and the sound paces the frames.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/timer.h"
#include "codec/audio/sound_backend.h"
#include "codec/audio/torvex_tracks.h"
#include "codec/torvex.h"
#include "encoder/torvex_writer.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "tests/support/test_support.h"

namespace {

class CodecSound : public ::testing::Test {
protected:
    void SetUp() override {
        plat::setVirtualClock(true);
        plat::audioShutdown();
        plat::setAudioBackendForTest(plat::AudioBackend::Null);
        KroTimerReset();
        torvex::TorvexSoundResetForTest();
    }
    void TearDown() override {
        torvex::TorvexSoundResetForTest();
        plat::audioShutdown();
        plat::setVirtualClock(false);
        KroTimerReset();
    }

    testsupport::TempDir dir;

    // A small animation of `frames` frames at 15 frames a second with the given tracks.
    std::string write(uint32_t frames, std::vector<TorvexWriterTrack> tracks, int32_t rate = -6667) {
        const uint32_t w = 32, h = 16;
        std::vector<std::vector<uint8_t>> pictures(frames, std::vector<uint8_t>(w * h));
        std::vector<uint8_t> palette(768);
        for (int i = 0; i < 768; ++i) palette[size_t(i)] = uint8_t(i * 5);
        std::vector<TorvexWriterFrame> list;
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t i = 0; i < w * h; ++i) pictures[f][i] = uint8_t((i + f * 7) % 13);
            list.push_back({pictures[f].data(), palette.data(), false});
        }
        TorvexWriterOptions options;
        options.frameRate = rate;
        options.tracks = std::move(tracks);
        std::string path = dir.file("sound.tvx");
        std::string error;
        EXPECT_TRUE(TorvexWrite(path, w, h, list, options, &error)) << error;
        return path;
    }
};

TorvexWriterTrack sine(uint32_t rate, uint32_t channels, uint32_t bits, double seconds, TorvexAudioCoding coding) {
    TorvexWriterTrack t;
    t.rate = rate, t.channels = channels, t.bits = bits, t.coding = coding;
    for (size_t i = 0; i < size_t(rate * seconds); ++i)
        for (uint32_t c = 0; c < channels; ++c) {
            double v = 0.3 * std::sin(2 * M_PI * (300 + 200 * c) * double(i) / rate);
            if (bits == 8) {
                t.pcm.push_back(uint8_t(128 + int(v * 127)));
            } else {
                int16_t s = int16_t(v * 32767);
                t.pcm.push_back(uint8_t(s));
                t.pcm.push_back(uint8_t(uint16_t(s) >> 8));
            }
        }
    return t;
}

TEST_F(CodecSound, ExtractionGivesRawAndDpcmTracksBackBitForBit) {
    std::vector<TorvexWriterTrack> tracks = {sine(11025, 1, 8, 1.0, TorvexAudioCoding::Raw),
                                             sine(22050, 2, 16, 1.0, TorvexAudioCoding::Dpcm),
                                             sine(22050, 1, 16, 1.0, TorvexAudioCoding::Dct)};
    std::string path = write(15, tracks);
    TorvexFile* f = TorvexOpen(path.c_str(), 0, 0);
    ASSERT_NE(f, nullptr);
    std::vector<std::vector<uint8_t>> got(3);
    std::vector<uint8_t> buf(1 << 20);
    for (uint32_t i = 0; i < f->header.frames; ++i) {
        for (int t = 0; t < 3; ++t) {
            uint32_t n = TorvexExtractAudio(1u << t, f, buf.data());
            got[size_t(t)].insert(got[size_t(t)].end(), buf.begin(), buf.begin() + n);
        }
        TorvexAdvance(f);
    }
    EXPECT_EQ(got[0], tracks[0].pcm);
    EXPECT_EQ(got[1], tracks[1].pcm);
    // The transform track: whole blocks, at least the sound given, close to it.
    ASSERT_GE(got[2].size(), tracks[2].pcm.size());
    double sig = 0, err = 0;
    for (size_t i = 0; i + 1 < tracks[2].pcm.size(); i += 2) {
        double a = int16_t(tracks[2].pcm[i] | tracks[2].pcm[i + 1] << 8), b = int16_t(got[2][i] | got[2][i + 1] << 8);
        sig += a * a, err += (a - b) * (a - b);
    }
    EXPECT_GT(10 * std::log10(sig / err), 25.0);
    TorvexClose(f);
}

// The caller's loop of the pacing rules: frame n is shown when n/15 s of sound has played.
TEST_F(CodecSound, SoundPacesTheFrames) {
    for (bool directSound : {false, true}) {
        torvex::TorvexSoundResetForTest();
        if (directSound) torvex::TorvexSelectDirectSound(nullptr);
        std::string path = write(30, {sine(22050, 2, 16, 2.0, TorvexAudioCoding::Dpcm)});
        TorvexFile* f = TorvexOpen(path.c_str(), kTvxTrack0, -1);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(f->primaryTrack, 0);
        EXPECT_NE(f->openFlags & kTvxTrack0, 0u);
        std::vector<uint32_t> shownAt;
        uint32_t start = KroTimerRead();
        for (uint32_t i = 0; i < 30; ++i) {
            TorvexDecodeFrame(f);
            shownAt.push_back(KroTimerRead() - start);
            int guard = 0;
            while (TorvexIsEarly(f) && guard++ < 100000) plat::sleepMs(1);
            TorvexAdvance(f);
        }
        // Frame n appears about n x 66.7 ms in (the first frames start the sound).
        for (uint32_t n = 5; n < 30; ++n)
            EXPECT_NEAR(double(shownAt[n]), n * 66.67, 70.0) << "frame " << n << (directSound ? " streaming" : " wave");
        TorvexClose(f);
    }
}

TEST_F(CodecSound, LateFramesAreSkippedUnlessNeverSkip) {
    for (uint32_t flags : {0u, uint32_t(kTvxNeverSkip)}) {
        torvex::TorvexSoundResetForTest();
        std::string path = write(30, {sine(22050, 1, 16, 2.0, TorvexAudioCoding::Raw)});
        TorvexFile* f = TorvexOpen(path.c_str(), kTvxTrack0 | flags, -1);
        ASSERT_NE(f, nullptr);
        uint32_t lateFrames = 0;
        for (uint32_t i = 0; i < 30; ++i) {
            if (TorvexDecodeFrame(f)) ++lateFrames;
            // Once the caller falls far behind: it keeps servicing the sound (as the player does
            // between commands) but shows no frame for 900 ms.
            for (int k = 0; k < (i == 10 ? 90 : 1); ++k) {
                torvex::TorvexServiceSound(0);
                plat::sleepMs(10);
            }
            while (TorvexIsEarly(f)) plat::sleepMs(1);
            TorvexAdvance(f);
        }
        EXPECT_GT(lateFrames, 0u);
        if (flags) EXPECT_EQ(f->stats.framesSkipped, 0u);
        else EXPECT_EQ(f->stats.framesSkipped, lateFrames);
        TorvexClose(f);
    }
}

TEST_F(CodecSound, PauseKeepsTheCushionAndResumeAfterASeekSilencesIt) {
    std::string path = write(30, {sine(22050, 1, 16, 2.0, TorvexAudioCoding::Raw)});
    TorvexFile* f = TorvexOpen(path.c_str(), kTvxTrack0, -1);
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 10; ++i) {
        TorvexDecodeFrame(f);
        while (TorvexIsEarly(f)) plat::sleepMs(1);
        TorvexAdvance(f);
    }
    torvex::TorvexTrack* t = TorvexGetTrack(f, 0);
    ASSERT_EQ(TorvexSetSoundActive(f, 0), 1);
    EXPECT_EQ(t->held.load(), 0u);
    // Resuming at the same frame: the cushion holds the sound that was there.
    uint8_t* w = t->writePos;
    uint32_t lead = t->audioLead;
    uint8_t* from = w - t->ringStart >= lead ? w - lead : t->ringEnd - (lead - uint32_t(w - t->ringStart));
    uint8_t before = *from;
    ASSERT_EQ(TorvexSetSoundActive(f, 1), 1);
    EXPECT_GT(t->held.load(), 0u);  // the cushion is back (less what the device took at once)
    EXPECT_EQ(*from, before);
    // Pause, seek elsewhere, resume: the cushion is silence.
    TorvexSetSoundActive(f, 0);
    TorvexSeek(f, 20);
    w = t->writePos;
    from = w - t->ringStart >= lead ? w - lead : t->ringEnd - (lead - uint32_t(w - t->ringStart));
    TorvexSetSoundActive(f, 1);
    bool silent = true;
    for (uint32_t i = 0; i < 64; ++i) {
        uint8_t* p = from + i < t->ringEnd ? from + i : t->ringStart + (from + i - t->ringEnd);
        silent &= *p == 0;
    }
    EXPECT_TRUE(silent);
    TorvexClose(f);
}

}  // namespace
