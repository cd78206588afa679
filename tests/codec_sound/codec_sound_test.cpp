// Torvex files with sound, written by our writer and played through the codec on the headless
// mixer and the virtual clock: extraction gives the tracks back, and the sound paces the frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "base/mem_block.h"
#include "base/timer.h"
#include "codec/audio/sound_backend.h"
#include "codec/torvex_tracks.h"
#include "codec/torvex.h"
#include "encoder/torvex_writer.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/fs.h"
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
    std::string write(uint32_t frames, std::vector<TorvexWriterTrack> tracks, int32_t rate = -6667, bool ring = false) {
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
        options.ring = ring;
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
    t.pcm = testsupport::sinePcm(rate, channels, bits, seconds, 300, 200, 0.3);
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
            uint32_t n = TorvexExtractAudio(1u << t, f, buf.data(), uint32_t(buf.size()));
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

// Extraction never writes past the room it is given; a transform chunk whose unpacked length
// ends inside a block keeps that block whole; unpacked lengths of all ones or beyond any sane
// size count as empty.
TEST_F(CodecSound, ExtractionIsBounded) {
    std::vector<TorvexWriterTrack> tracks = {sine(11025, 1, 8, 1.0, TorvexAudioCoding::Raw),
                                             sine(22050, 2, 16, 1.0, TorvexAudioCoding::Dpcm),
                                             sine(22050, 1, 16, 1.0, TorvexAudioCoding::Dct)};
    std::string path = write(15, tracks);
    TorvexFile* f = TorvexOpen(path.c_str(), 0, 0);
    ASSERT_NE(f, nullptr);
    const uint32_t block = (1024 - 64) * 2;  // what a 22050 Hz mono block delivers
    std::vector<uint8_t> buf(1 << 20);
    for (int t = 0; t < 3; ++t) {
        SCOPED_TRACE(t);
        uint32_t room = TorvexExtractRoom(1u << t, f);
        ASSERT_GT(room, 1000u);
        std::fill(buf.begin(), buf.end(), 0xA5);
        EXPECT_EQ(TorvexExtractAudio(1u << t, f, buf.data(), 999), 999u);
        EXPECT_TRUE(std::all_of(buf.begin() + 999, buf.end(), [](uint8_t b) { return b == 0xA5; }));
    }
    uint8_t* chunk = f->audioChunk[2];
    ASSERT_NE(chunk, nullptr);
    uint32_t unpacked = uint32_t(chunk[4] | chunk[5] << 8 | chunk[6] << 16 | uint32_t(chunk[7]) << 24);
    ASSERT_EQ(unpacked % block, 0u);
    auto setUnpacked = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) chunk[4 + i] = uint8_t(v >> (8 * i));
    };
    setUnpacked(unpacked - 100);
    EXPECT_EQ(TorvexExtractRoom(4, f), unpacked);
    EXPECT_EQ(TorvexExtractAudio(4, f, buf.data(), uint32_t(buf.size())), unpacked);
    for (uint32_t damaged : {0xFFFFFFFFu, kTorvexLargestUnpacked + 1, 0u}) {
        setUnpacked(damaged);
        EXPECT_EQ(TorvexExtractRoom(4, f), 0u) << damaged;
        EXPECT_EQ(TorvexExtractAudio(4, f, buf.data(), uint32_t(buf.size())), 0u) << damaged;
    }
    TorvexClose(f);
}

// Entries without sound leave their track numbers out of the file: tracks 0 and 3 only are
// declared, open and play; and with the lowest entries empty, the first given track is the
// primary one.
TEST_F(CodecSound, EmptyTrackEntriesAreLeftOut) {
    TorvexWriterTrack a = sine(22050, 1, 16, 1.0, TorvexAudioCoding::Raw), b = sine(11025, 2, 8, 1.0, TorvexAudioCoding::Dpcm);
    TorvexWriterTrack tiny = sine(22050, 2, 16, 0.0, TorvexAudioCoding::Raw);
    tiny.pcm = {1, 2, 3};  // less than one sample frame
    struct Case {
        std::vector<TorvexWriterTrack> list;
        uint32_t declared;
        int primary;
    };
    for (const Case& c : {Case{{a, {}, {}, b}, 0x9, 0}, Case{{{}, tiny, a, {}, {}, {}, b}, 0x44, 2}}) {
        SCOPED_TRACE(c.declared);
        std::string path = write(15, c.list);
        TorvexFile* f = TorvexOpen(path.c_str(), 0x7Fu * kTvxTrack0, -1);
        ASSERT_NE(f, nullptr);
        for (int t = 0; t < kTvxTracks; ++t) {
            bool want = (c.declared >> t) & 1;
            EXPECT_EQ(f->header.audioFormat[t] != 0, want) << "track " << t;
            EXPECT_EQ((f->openFlags & (kTvxTrack0 << t)) != 0, want) << "track " << t;
            if (!want) {
                EXPECT_EQ(f->header.audioChunkSize[t], 0u) << "track " << t;
            }
        }
        EXPECT_EQ(f->primaryTrack, c.primary);
        std::vector<uint8_t> got[kTvxTracks];
        std::vector<uint8_t> buf(1 << 20);
        for (uint32_t i = 0; i < f->header.frames; ++i) {
            for (int t = 0; t < kTvxTracks; ++t) {
                uint32_t n = TorvexExtractAudio(1u << t, f, buf.data(), uint32_t(buf.size()));
                got[t].insert(got[t].end(), buf.begin(), buf.begin() + n);
            }
            TorvexDecodeFrame(f);
            while (TorvexIsEarly(f)) plat::sleepMs(1);
            if (i + 1 < f->header.frames) TorvexAdvance(f);
        }
        for (int t = 0; t < kTvxTracks; ++t)
            EXPECT_EQ(got[t], (c.declared >> t) & 1 ? c.list[size_t(t)].pcm : std::vector<uint8_t>()) << "track " << t;
        // Both tracks went to the sound output whole.
        for (int t = 0; t < kTvxTracks; ++t)
            if ((c.declared >> t) & 1) {
                EXPECT_EQ(TorvexGetTrack(f, t)->totalWritten, c.list[size_t(t)].pcm.size()) << "track " << t;
            }
        TorvexClose(f);
    }
}

// The caller's loop of the pacing rules: frame n is shown when n/15 s of sound has played; when
// the sound ends before the frames, the timer keeps the pace from there.
TEST_F(CodecSound, SoundPacesTheFrames) {
    for (double seconds : {2.0, 0.6})
        for (bool directSound : {false, true}) {
            SCOPED_TRACE(std::to_string(seconds) + " s of sound" + (directSound ? ", streaming buffer" : ", wave output"));
            torvex::TorvexSoundResetForTest();
            if (directSound) torvex::TorvexSelectDirectSound(nullptr);
            std::string path = write(30, {sine(22050, 2, 16, seconds, TorvexAudioCoding::Dpcm)});
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
                if (i + 1 < 30) TorvexAdvance(f);
            }
            // The timer rounds each period up to its millisecond: a third of one per frame.
            for (uint32_t n = 1; n < 30; ++n) {
                double pastTheSound = std::max(0.0, n - seconds * 15);
                EXPECT_NEAR(double(shownAt[n]), n * 66.67, 3.0 + pastTheSound / 3) << "frame " << n;
            }
            TorvexClose(f);
        }
}

// A track of silence with a short 2 kHz burst starting exactly at frame k's time (frames of
// `period` seconds) for each k in `at`.
TorvexWriterTrack bursts(uint32_t rate, uint32_t channels, double seconds, const std::vector<int>& at, TorvexAudioCoding coding,
                         double period = 0.06667) {
    TorvexWriterTrack t;
    t.rate = rate, t.channels = channels, t.bits = 16, t.coding = coding;
    size_t n = size_t(rate * seconds);
    std::vector<int16_t> x(n, 0);
    for (int k : at) {
        size_t from = size_t(std::llround(k * period * rate));
        for (size_t i = from; i < from + rate / 40 && i < n; ++i) x[i] = int16_t(12000 * std::sin(2 * M_PI * 2000 * double(i - from) / rate));
    }
    for (int16_t v : x)
        for (uint32_t c = 0; c < channels; ++c) {
            t.pcm.push_back(uint8_t(v));
            t.pcm.push_back(uint8_t(uint16_t(v) >> 8));
        }
    return t;
}

// Where the bursts begin in a mix (left channel, sample frames): the first loud sample after at
// least 40 ms of quiet.
std::vector<uint64_t> onsets(const std::vector<int16_t>& left, uint32_t rate) {
    std::vector<uint64_t> out;
    size_t quiet = rate;
    for (size_t i = 0; i < left.size(); ++i) {
        if (std::abs(int(left[i])) > 3000) {
            if (quiet >= rate / 25) out.push_back(i);
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return out;
}

std::vector<int16_t> wavLeft(const std::string& path) {
    std::vector<unsigned char> b = testsupport::readFile(path);
    std::vector<int16_t> left;
    if (b.size() < 44) return left;
    for (size_t i = 44; i + 3 < b.size(); i += 4) left.push_back(int16_t(b[i] | b[i + 1] << 8));
    return left;
}

// The caller's loop on the headless mix written to a file, both back-ends and the codings:
// each frame is shown when the mix reaches the sound stored for its time. (Files without sound
// queued ahead of the picture, or a device that reports running dry before it started, pad a
// cushion of silence after frame 0 and put the sound a second behind.)
TEST_F(CodecSound, TheSoundOfEachFramePlaysWhenTheFrameIsShown) {
    const std::vector<int> at = {0, 3, 8, 14, 21, 29};
    struct Case {
        TorvexAudioCoding coding;
        uint32_t rate, channels;
        int32_t period = 6667;  // 10 us units
    };
    // At 30 frames a second a 44100 Hz stereo transform block outlasts a frame period.
    for (bool directSound : {false, true})
        for (Case c : {Case{TorvexAudioCoding::Raw, 22050, 1}, Case{TorvexAudioCoding::Dpcm, 11025, 2},
                       Case{TorvexAudioCoding::Dct, 44100, 2}, Case{TorvexAudioCoding::Dft, 22050, 1},
                       Case{TorvexAudioCoding::Dct, 44100, 2, 3333}}) {
            SCOPED_TRACE(std::string(directSound ? "streaming buffer " : "wave output ") + std::to_string(int(c.coding)) + " " +
                         std::to_string(c.rate) + " Hz, period " + std::to_string(c.period));
            std::string mix = dir.file("mix.wav");
            torvex::TorvexSoundResetForTest();
            plat::audioShutdown();
            plat::setAudioBackendForTest(plat::AudioBackend::Wav, mix);
            if (directSound) torvex::TorvexSelectDirectSound(nullptr);
            std::string path = write(30, {bursts(c.rate, c.channels, 30 * c.period / 1e5, at, c.coding, c.period / 1e5)}, -c.period);
            TorvexFile* f = TorvexOpen(path.c_str(), kTvxTrack0, -1);
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(f->primaryTrack, 0);
            std::vector<uint64_t> shownAt;  // in mixed sample frames
            for (uint32_t i = 0; i < 30; ++i) {
                TorvexDecodeFrame(f);
                plat::audioUpdate();
                shownAt.push_back(plat::audioFramesMixed());
                int guard = 0;
                while (TorvexIsEarly(f) && guard++ < 10000) plat::sleepMs(1);
                if (i + 1 < 30) TorvexAdvance(f);  // past the last frame it would start again
            }
            for (int k = 0; k < 300; ++k) {  // the last burst plays out
                torvex::TorvexServiceSound(0);
                plat::sleepMs(1);
            }
            EXPECT_EQ(f->stats.framesSkipped, 0u);
            // Nothing was cut or padded on the way.
            EXPECT_EQ(TorvexGetTrack(f, 0)->cuts, 0u);
            EXPECT_EQ(TorvexGetTrack(f, 0)->paddings, 0u);
            TorvexClose(f);
            torvex::TorvexSoundResetForTest();
            const uint32_t rate = plat::audioDeviceRate();
            plat::audioShutdown();
            std::vector<uint64_t> heard = onsets(wavLeft(mix), rate);
            ASSERT_EQ(heard.size(), at.size());
            for (size_t i = 0; i < at.size(); ++i) {
                double offsetMs = (double(heard[i]) - double(shownAt[size_t(at[i])])) * 1000.0 / rate;
                std::printf("  %s coding %d %5u Hz %4.1f ms frames: burst of frame %2d heard %+6.1f ms after it was shown\n",
                            directSound ? "streaming" : "wave     ", int(c.coding), c.rate, c.period / 100.0, at[i], offsetMs);
                // Measured within 2 ms (the mix's resampler and 1 ms polling).
                EXPECT_LE(std::fabs(offsetMs), 5.0) << "frame " << at[i];
            }
        }
}

// Looping through the ring frame: it repeats frame 0's sound, and the second pass (the ring
// frame, then frames 1 on) keeps its sound in time as the first did.
TEST_F(CodecSound, ALoopThroughTheRingFrameStaysInTime) {
    const std::vector<int> at = {0, 4, 9};
    for (bool directSound : {false, true})
        for (TorvexAudioCoding coding : {TorvexAudioCoding::Raw, TorvexAudioCoding::Dct}) {
            SCOPED_TRACE(std::string(directSound ? "streaming buffer, coding " : "wave output, coding ") + std::to_string(int(coding)));
            std::string mix = dir.file("loop.wav");
            torvex::TorvexSoundResetForTest();
            plat::audioShutdown();
            plat::setAudioBackendForTest(plat::AudioBackend::Wav, mix);
            if (directSound) torvex::TorvexSelectDirectSound(nullptr);
            std::string path = write(15, {bursts(22050, 1, 1.0, at, coding)}, -6667, true);
            TorvexFile* f = TorvexOpen(path.c_str(), kTvxTrack0, -1);
            ASSERT_NE(f, nullptr);
            std::vector<uint64_t> shownAt;
            std::vector<uint32_t> index;
            for (uint32_t i = 0; i < 30; ++i) {  // frames 0..14, the ring frame, frames 1..14
                index.push_back(f->frameIndex);
                TorvexDecodeFrame(f);
                plat::audioUpdate();
                shownAt.push_back(plat::audioFramesMixed());
                int guard = 0;
                while (TorvexIsEarly(f) && guard++ < 10000) plat::sleepMs(1);
                if (i + 1 < 30) TorvexAdvance(f);
            }
            ASSERT_EQ(index[15], 15u);
            ASSERT_EQ(index[16], 1u);
            for (int k = 0; k < 300; ++k) {
                torvex::TorvexServiceSound(0);
                plat::sleepMs(1);
            }
            EXPECT_EQ(TorvexGetTrack(f, 0)->cuts, 0u);
            EXPECT_EQ(TorvexGetTrack(f, 0)->paddings, 0u);
            TorvexClose(f);
            torvex::TorvexSoundResetForTest();
            const uint32_t rate = plat::audioDeviceRate();
            plat::audioShutdown();
            std::vector<uint64_t> heard = onsets(wavLeft(mix), rate);
            const std::vector<int> decodes = {0, 4, 9, 15, 19, 24};  // the bursts' frames in both passes
            ASSERT_EQ(heard.size(), decodes.size());
            for (size_t i = 0; i < decodes.size(); ++i) {
                double offsetMs = (double(heard[i]) - double(shownAt[size_t(decodes[i])])) * 1000.0 / rate;
                // The streaming buffer stopped when the first pass's sound ran out and starts
                // again at its next service: up to 10 ms late at the ring frame.
                EXPECT_LE(std::fabs(offsetMs), directSound ? 12.0 : 5.0) << "decode " << decodes[i] << ": " << offsetMs << " ms";
            }
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

namespace {

// Fault injection: each allocation, and each file read, of opening a file with sound and playing
// it through fails in turn. Every run ends with the documented failure (no file record, or a
// frame that reports the read error) or plays on without what failed, frees what it took (the
// sanitizer build checks) and never crashes; once the fault lies past the last one asked for,
// the run goes through whole.
TEST_F(CodecSound, EveryFailedAllocationOrFileReadFailsCleanly) {
    const std::string path = write(15, {sine(22050, 2, 16, 1.0, TorvexAudioCoding::Dpcm),
                                        sine(22050, 1, 16, 1.0, TorvexAudioCoding::Dct)});
    auto play = [&](uint32_t flags) {
        TorvexFile* f = TorvexOpen(path.c_str(), flags, -1);
        if (!f) return false;
        bool whole = true;
        std::vector<uint8_t> buf(1 << 20);  // room for the first frame's lead of sound
        for (uint32_t i = 0; i < f->header.frames && whole; ++i) {
            TorvexExtractAudio(1, f, buf.data(), uint32_t(buf.size()));
            TorvexDecodeFrame(f);
            whole = !f->readError;
            if (i + 1 < f->header.frames) TorvexAdvance(f);
        }
        whole = whole && TorvexAnyTrackOpen(f);
        TorvexClose(f);
        return whole;
    };
    struct Switch {
        const char* what;
        void (*set)(uint64_t);
        uint64_t (*count)();
    };
    for (const Switch& s : {Switch{"allocation", TorvexMemFailAt, TorvexMemAllocations},
                            Switch{"file read", plat::setFileFaultAt, plat::fileTransfers}})
        for (uint32_t flags : {kTvxTrack0 * 3, kTvxTrack0 * 3 | kTvxLoadAll}) {
            SCOPED_TRACE(std::string(s.what) + (flags & kTvxLoadAll ? ", load-all" : ", streamed"));
            uint64_t n = 1;
            for (; n < 100000; ++n) {
                s.set(n);
                bool whole = play(flags);
                uint64_t reached = s.count();
                s.set(0);
                torvex::TorvexSoundResetForTest();
                if (n > reached) {
                    EXPECT_TRUE(whole) << "no fault reached, yet the play failed";
                    break;
                }
            }
            EXPECT_GT(n, 2u);
            EXPECT_LT(n, 100000u);
        }
}

}  // namespace
