// Both sound back-ends on the headless mixer and the virtual clock: buffer sizes, the play
// position as the clock of the video, underruns and the silence tail.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/timer.h"
#include "codec/audio/sound_backend.h"
#include "platform/audio.h"
#include "platform/clock.h"

namespace {

using namespace torvex;

class SoundBackend : public ::testing::Test {
protected:
    void SetUp() override {
        plat::setVirtualClock(true);
        plat::audioShutdown();
        plat::setAudioBackendForTest(plat::AudioBackend::Null);
        KroTimerReset();
        KroTimerRead();
        TorvexSoundResetForTest();
    }
    void TearDown() override {
        TorvexSoundResetForTest();
        plat::audioShutdown();
        plat::setVirtualClock(false);
        KroTimerReset();
    }

    // A 22050 Hz 16-bit stereo track with a ring of two seconds.
    struct Track {
        TorvexTrack t{};
        std::vector<uint8_t> ring;
        Track() : ring(88200 * 2) {
            t.ringStart = ring.data();
            t.ringEnd = ring.data() + ring.size();
            t.writePos = ring.data();
            t.ringSize = uint32_t(ring.size());
            t.bytesPerSecond = 88200;
            t.playbackRate = 22050;
            t.sixteenBit = t.stereo = 1;
            t.tailEnd = kNoTail;
        }
        void feed(uint32_t bytes) {
            for (uint32_t i = 0; i < bytes; ++i) {
                *t.writePos++ = uint8_t(i * 7 + 1);
                if (t.writePos == t.ringEnd) t.writePos = t.ringStart;
            }
            t.held.fetch_add(bytes);
        }
    };

    // Runs the caller's loop for ms milliseconds in 10 ms steps.
    static void run(uint32_t ms) {
        for (uint32_t i = 0; i < ms; i += 10) {
            TorvexServiceSound(0);
            plat::sleepMs(10);
        }
    }
};

TEST_F(SoundBackend, SelectionIsForTheWholeRun) {
    EXPECT_EQ(TorvexSelectWaveOut(), 1);
    EXPECT_EQ(TorvexSelectDirectSound(nullptr), 0);  // waveOut stays
    EXPECT_FALSE(TorvexSoundIsDirectSound());
    EXPECT_EQ(TorvexSelectWaveOut(), 0);
    TorvexSoundResetForTest();
    EXPECT_EQ(TorvexSelectDirectSound(nullptr), 1);
    EXPECT_EQ(TorvexSelectDirectSound(nullptr), 1);
    EXPECT_EQ(TorvexSelectWaveOut(), 0);
}

TEST_F(SoundBackend, WaveOutChunksAndPositionFollowTheClock) {
    TorvexSelectWaveOut();
    Track tr;
    const TorvexSoundOps* ops = TorvexSoundBackend();
    ASSERT_TRUE(ops->openTrack(&tr.t, 0));
    EXPECT_EQ(tr.t.chunkSize, 24576u);
    tr.feed(88200);  // one second
    EXPECT_EQ(ops->playPosition(&tr.t), 0u);
    run(500);
    uint32_t pos = ops->playPosition(&tr.t);
    EXPECT_NEAR(double(pos), 44100.0, 4410.0);  // half a second of sound, within 50 ms
    uint32_t last = pos;
    for (int i = 0; i < 40; ++i) {
        run(20);
        uint32_t p = ops->playPosition(&tr.t);
        EXPECT_GE(p, last);
        last = p;
    }
    run(1000);
    EXPECT_EQ(ops->playPosition(&tr.t), 88200u);  // all of it, and no more
    EXPECT_EQ(tr.t.underrun.load(), 1u);
    ops->closeTrack(&tr.t);
}

TEST_F(SoundBackend, StreamingBufferPlaysDrainsIntoASilenceTailAndRestarts) {
    TorvexSelectDirectSound(nullptr);
    Track tr;
    const TorvexSoundOps* ops = TorvexSoundBackend();
    ASSERT_TRUE(ops->openTrack(&tr.t, 0x40));
    EXPECT_EQ(tr.t.bufferSize, 45056u);
    tr.feed(88200);
    run(300);
    uint32_t pos = ops->playPosition(&tr.t);
    EXPECT_NEAR(double(pos), 0.3 * 88200, 0.06 * 88200);
    uint32_t last = 0;
    for (int i = 0; i < 100; ++i) {
        run(10);
        uint32_t p = ops->playPosition(&tr.t);
        ASSERT_GE(p, last);
        last = p;
    }
    // The second's end: the silence tail plays, the underrun is seen and the buffer stops.
    run(1500);
    EXPECT_EQ(tr.t.underrun.load(), 1u);
    EXPECT_EQ(tr.t.stopped, 1u);
    EXPECT_EQ(tr.t.held.load(), 0u);
    EXPECT_GE(ops->playPosition(&tr.t), 88200u);
    // New data starts the buffer again from its beginning.
    tr.t.underrun.store(0);
    tr.feed(20000);
    TorvexServiceSound(0);
    plat::sleepMs(10);
    TorvexServiceSound(0);
    EXPECT_EQ(tr.t.stopped, 0u);
    EXPECT_EQ(tr.t.held.load(), 0u);
    ops->reset(&tr.t);
    EXPECT_EQ(ops->playPosition(&tr.t), 0u);
    ops->closeTrack(&tr.t);
}

TEST_F(SoundBackend, TimerThreadFillsTheBufferOnTheRealClock) {
    plat::setVirtualClock(false);
    plat::audioShutdown();
    KroTimerReset();
    KroTimerRead();
    TorvexSelectDirectSound(nullptr);
    Track tr;
    const TorvexSoundOps* ops = TorvexSoundBackend();
    ASSERT_TRUE(ops->openTrack(&tr.t, 0));
    tr.feed(8820 * 3);  // 0.3 s
    // Nobody calls the service here: the periodic thread must take the data and start playing.
    for (int i = 0; i < 40 && tr.t.held.load() != 0; ++i) plat::sleepMs(10);
    EXPECT_EQ(tr.t.held.load(), 0u);
    EXPECT_EQ(tr.t.stopped, 0u);
    ops->closeTrack(&tr.t);
}

TEST(SoundMapping, VolumeAndPanAreLogarithmicIn128Steps) {
    EXPECT_EQ(TorvexVolumeToHundredthsDb(65535), 0);
    EXPECT_EQ(TorvexVolumeToHundredthsDb(0), -10000);
    EXPECT_EQ(TorvexVolumeToHundredthsDb(511), -10000);  // step 0
    EXPECT_NEAR(TorvexVolumeToHundredthsDb(32768), -600, 10);  // half the amplitude: about -6 dB
    int32_t last = -10001;
    for (uint32_t v = 0; v < 65536; v += 512) {
        int32_t db = TorvexVolumeToHundredthsDb(v);
        EXPECT_GE(db, last);
        last = db;
    }
    EXPECT_EQ(TorvexPanToBufferPan(32768), 0);
    EXPECT_LT(TorvexPanToBufferPan(0), -9000);
    EXPECT_GT(TorvexPanToBufferPan(65535), 9000);
}

}  // namespace
