// Audio service on the virtual clock: wave blocks completing on time, buffer cursors and
// controls, the WAV written by the headless mixer, and the resampler's quality.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/clock.h"
#include "tests/support/test_support.h"

using namespace plat;

namespace {

WAVEFORMATEX pcm(uint32_t rate, int channels, int bits) {
    WAVEFORMATEX f;
    f.nChannels = uint16_t(channels);
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = uint16_t(bits);
    f.nBlockAlign = uint16_t(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

class AudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        audioShutdown();
        setVirtualClock(true);
        setAudioBackendForTest(AudioBackend::Null);
    }
    void TearDown() override {
        audioShutdown();
        setVirtualClock(false);
    }
    static void advance(uint32_t ms) {
        sleepMs(ms);
        audioUpdate();
    }
};

struct DoneLog {
    std::vector<std::pair<uint32_t, WAVEHDR*>> calls;
};
void doneProc(HWAVEOUT, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t) {
    reinterpret_cast<DoneLog*>(instance)->calls.push_back({msg, reinterpret_cast<WAVEHDR*>(p1)});
}

TEST_F(AudioTest, WaveBlocksCompleteInOrderAtTheirPlayingTime) {
    // 22050 Hz mono goes through the resampler, 44100 Hz stereo passes straight.
    struct Case {
        uint32_t rate;
        int channels, bits;
    };
    for (Case c : {Case{44100, 2, 16}, Case{22050, 1, 16}, Case{11025, 1, 8}}) {
        SCOPED_TRACE(c.rate);
        DoneLog log;
        WAVEFORMATEX f = pcm(c.rate, c.channels, c.bits);
        HWAVEOUT dev = 0;
        ASSERT_EQ(waveOutOpen(&dev, WAVE_MAPPER, &f, doneProc, uintptr_t(&log), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
        uint32_t tenth = f.nAvgBytesPerSec / 10;
        std::vector<char> a(tenth, 0), b(tenth, 0);
        WAVEHDR ha, hb;
        ha.lpData = a.data();
        ha.dwBufferLength = tenth;
        hb.lpData = b.data();
        hb.dwBufferLength = tenth;
        EXPECT_EQ(waveOutWrite(dev, &ha, sizeof ha), WAVERR_UNPREPARED);
        ASSERT_EQ(waveOutPrepareHeader(dev, &ha, sizeof ha), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutPrepareHeader(dev, &hb, sizeof hb), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(dev, &ha, sizeof ha), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(dev, &hb, sizeof hb), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutWrite(dev, &ha, sizeof ha), WAVERR_STILLPLAYING);
        EXPECT_EQ(waveOutUnprepareHeader(dev, &ha, sizeof ha), WAVERR_STILLPLAYING);

        advance(98);
        EXPECT_FALSE(ha.dwFlags & WHDR_DONE);
        EXPECT_TRUE(ha.dwFlags & WHDR_INQUEUE);
        advance(3);
        EXPECT_TRUE(ha.dwFlags & WHDR_DONE);
        EXPECT_FALSE(ha.dwFlags & WHDR_INQUEUE);
        EXPECT_FALSE(hb.dwFlags & WHDR_DONE);
        uint64_t pos = 0;
        waveOutGetPosition(dev, &pos);
        EXPECT_GE(pos, tenth);
        EXPECT_LE(pos, tenth + tenth / 20);
        EXPECT_EQ(waveOutClose(dev), WAVERR_STILLPLAYING);
        advance(100);
        EXPECT_TRUE(hb.dwFlags & WHDR_DONE);
        waveOutGetPosition(dev, &pos);
        EXPECT_EQ(pos, 2u * tenth) << "a starved device does not count time";

        ASSERT_EQ(log.calls.size(), 3u);
        EXPECT_EQ(log.calls[0].first, WOM_OPEN);
        EXPECT_EQ(log.calls[1].first, WOM_DONE);
        EXPECT_EQ(log.calls[1].second, &ha);
        EXPECT_EQ(log.calls[2].second, &hb);

        // Reset finishes queued blocks at once and starts counting from 0.
        waveOutWrite(dev, &ha, sizeof ha);
        advance(10);
        EXPECT_EQ(waveOutReset(dev), MMSYSERR_NOERROR);
        EXPECT_TRUE(ha.dwFlags & WHDR_DONE);
        waveOutGetPosition(dev, &pos);
        EXPECT_EQ(pos, 0u);
        EXPECT_EQ(waveOutUnprepareHeader(dev, &ha, sizeof ha), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutClose(dev), MMSYSERR_NOERROR);
        EXPECT_EQ(log.calls.back().first, WOM_CLOSE);
        EXPECT_EQ(waveOutWrite(dev, &hb, sizeof hb), MMSYSERR_INVALHANDLE);
    }
}

TEST_F(AudioTest, PausedDeviceHoldsItsPositionAndBadRequestsAreRefused) {
    WAVEFORMATEX f = pcm(44100, 2, 16);
    HWAVEOUT dev = 0;
    ASSERT_EQ(waveOutOpen(&dev, 0, &f, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    std::vector<char> data(17640, 0);  // 100 ms
    WAVEHDR h;
    h.lpData = data.data();
    h.dwBufferLength = uint32_t(data.size());
    waveOutPrepareHeader(dev, &h, sizeof h);
    waveOutWrite(dev, &h, sizeof h);
    advance(50);
    waveOutPause(dev);
    advance(500);
    uint64_t pos = 0;
    waveOutGetPosition(dev, &pos);
    EXPECT_EQ(pos, 8820u);
    waveOutRestart(dev);
    advance(50);
    EXPECT_TRUE(h.dwFlags & WHDR_DONE);
    waveOutClose(dev);

    struct Bad {
        int channels, bits;
        uint32_t rate;
        uint16_t align;
    };
    for (Bad b : {Bad{3, 16, 44100, 6}, Bad{2, 12, 44100, 3}, Bad{2, 16, 44100, 2}, Bad{1, 8, 500, 1},
                  Bad{1, 8, 400000, 1}}) {
        WAVEFORMATEX g = pcm(b.rate, b.channels, b.bits);
        g.nBlockAlign = b.align;
        EXPECT_EQ(waveOutOpen(&dev, 0, &g, nullptr, 0, 0), WAVERR_BADFORMAT) << b.channels << " " << b.bits;
        HSOUNDBUFFER sb;
        EXPECT_EQ(soundBufferCreate(&g, 4096, 0, &sb), DSERR_BADFORMAT);
    }
    EXPECT_EQ(waveOutOpen(&dev, 3, &f, nullptr, 0, 0), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutOpen(&dev, 0, &f, nullptr, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutOpen(nullptr, 0, &f, nullptr, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutSetVolume(HWAVEOUT(0x12345), 0), MMSYSERR_INVALHANDLE);
}

TEST_F(AudioTest, StreamingBufferCursorsLoopStopAndLock) {
    // 22050 Hz 16-bit stereo, half a second: 44100 bytes.
    WAVEFORMATEX f = pcm(22050, 2, 16);
    HSOUNDBUFFER b = 0;
    ASSERT_EQ(soundBufferCreate(&f, 44102, DSBCAPS_CTRLVOLUME, &b), DS_OK);
    uint32_t size = 0, play = 1, write = 1, status = 9;
    soundBufferGetSize(b, &size);
    EXPECT_EQ(size, 44100u) << "whole sample frames";
    soundBufferGetCurrentPosition(b, &play, &write);
    EXPECT_EQ(play, 0u);
    EXPECT_EQ(write, 0u);
    advance(100);
    soundBufferGetCurrentPosition(b, &play, &write);
    EXPECT_EQ(write, 0u) << "stopped buffers do not move";

    ASSERT_EQ(soundBufferPlay(b, DSBPLAY_LOOPING), DS_OK);
    soundBufferGetStatus(b, &status);
    EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
    advance(250);
    soundBufferGetCurrentPosition(b, &play, &write);
    // 250 ms = 22050 bytes taken; what is heard lags by what the filter holds (17 frames).
    EXPECT_NEAR(double(write), 22050.0, 8.0);
    EXPECT_EQ(write - play, 17u * 4);
    EXPECT_EQ(play % 4, 0u);
    advance(375);  // 625 ms: wrapped once
    soundBufferGetCurrentPosition(b, &play, &write);
    EXPECT_NEAR(double(write), 11025.0, 8.0);

    // A lock across the end comes in two parts.
    void *p1, *p2;
    uint32_t n1, n2;
    ASSERT_EQ(soundBufferLock(b, 44000, 300, &p1, &n1, &p2, &n2, 0), DS_OK);
    EXPECT_EQ(n1, 100u);
    EXPECT_EQ(n2, 200u);
    EXPECT_EQ(soundBufferUnlock(b, p1, n1, p2, n2), DS_OK);
    EXPECT_EQ(soundBufferUnlock(b, static_cast<char*>(p1) + 1, n1, p2, n2), DSERR_INVALIDPARAM);
    EXPECT_EQ(soundBufferLock(b, 44100, 4, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(soundBufferLock(b, 0, 44101, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    ASSERT_EQ(soundBufferLock(b, 123, 8, &p1, &n1, nullptr, nullptr, DSBLOCK_ENTIREBUFFER), DS_OK);
    EXPECT_EQ(n1, 44100u);
    uint8_t* base = static_cast<uint8_t*>(p1);
    ASSERT_EQ(soundBufferLock(b, 0, 8, &p1, &n1, &p2, &n2, DSBLOCK_FROMWRITECURSOR), DS_OK);
    soundBufferGetCurrentPosition(b, &play, &write);
    EXPECT_EQ(static_cast<uint8_t*>(p1) - base, ptrdiff_t(write));
    soundBufferUnlock(b, p1, n1, p2, n2);

    // Stop keeps the position; set position moves it; non-looping play stops at the end.
    soundBufferStop(b);
    soundBufferGetCurrentPosition(b, &play, &write);
    advance(100);
    uint32_t play2, write2;
    soundBufferGetCurrentPosition(b, &play2, &write2);
    EXPECT_EQ(write2, write);
    EXPECT_EQ(soundBufferSetCurrentPosition(b, 40001), DS_OK);
    soundBufferGetCurrentPosition(b, &play, &write);
    EXPECT_EQ(write, 40000u);
    EXPECT_EQ(soundBufferSetCurrentPosition(b, 44100), DSERR_INVALIDPARAM);
    soundBufferPlay(b, 0);
    advance(60);  // 4100 bytes left = 46 ms
    soundBufferGetStatus(b, &status);
    EXPECT_EQ(status, 0u);
    soundBufferGetCurrentPosition(b, &play, &write);
    EXPECT_EQ(write, 0u);

    // Controls need their capability and stay in range.
    EXPECT_EQ(soundBufferSetVolume(b, -10001), DSERR_INVALIDPARAM);
    EXPECT_EQ(soundBufferSetVolume(b, -600), DS_OK);
    int32_t v = 0;
    soundBufferGetVolume(b, &v);
    EXPECT_EQ(v, -600);
    EXPECT_NE(soundBufferSetPan(b, 0), DS_OK) << "created without pan control";
    EXPECT_EQ(soundBufferRelease(b), DS_OK);
    EXPECT_EQ(soundBufferPlay(b, 0), DSERR_INVALIDPARAM);
    HSOUNDBUFFER none;
    EXPECT_EQ(soundBufferCreate(&f, 3, 0, &none), DSERR_INVALIDPARAM);
    EXPECT_EQ(soundBufferCreate(&f, DSBSIZE_MAX + 1, 0, &none), DSERR_INVALIDPARAM);
}

// ---- the WAV back-end ----------------------------------------------------------------------

struct Wav {
    uint32_t rate = 0;
    int channels = 0, bits = 0;
    std::vector<int16_t> samples;
};
Wav readWav(const std::string& path) {
    Wav w;
    auto b = testsupport::readFile(path);
    if (b.size() < 44 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVEfmt ", 8)) return w;
    auto le32 = [&](size_t at) { return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) | (uint32_t(b[at + 3]) << 24); };
    w.channels = b[22];
    w.rate = le32(24);
    w.bits = b[34];
    uint32_t n = le32(40);
    if (44 + size_t(n) > b.size() || le32(4) != 36 + n) return Wav{};
    for (size_t i = 0; i + 1 < n; i += 2) w.samples.push_back(int16_t(uint16_t(b[44 + i]) | (uint16_t(b[45 + i]) << 8)));
    return w;
}

TEST_F(AudioTest, WavBackEndWritesExactlyWhatWasQueuedInTime) {
    testsupport::TempDir dir;
    std::string path = dir.file("mix.wav");
    audioShutdown();
    setAudioBackendForTest(AudioBackend::Wav, path);
    EXPECT_STREQ(audioBackendName(), "wav");

    advance(20);  // 882 frames of silence before anything plays
    std::mt19937 rng(3);
    std::vector<int16_t> stereo(4410 * 2);
    for (auto& s : stereo) s = int16_t(rng());
    std::vector<uint8_t> mono8(2205);
    for (auto& s : mono8) s = uint8_t(rng());

    WAVEFORMATEX f16 = pcm(44100, 2, 16);
    HWAVEOUT dev;
    ASSERT_EQ(waveOutOpen(&dev, 0, &f16, nullptr, 0, 0), MMSYSERR_NOERROR);
    WAVEHDR h;
    h.lpData = reinterpret_cast<char*>(stereo.data());
    h.dwBufferLength = uint32_t(stereo.size() * 2);
    waveOutPrepareHeader(dev, &h, sizeof h);
    waveOutWrite(dev, &h, sizeof h);
    advance(150);
    EXPECT_TRUE(h.dwFlags & WHDR_DONE);
    waveOutClose(dev);

    // 8-bit mono at the same rate, through a buffer panned hard left at full volume.
    WAVEFORMATEX f8 = pcm(44100, 1, 8);
    HSOUNDBUFFER b;
    ASSERT_EQ(soundBufferCreate(&f8, 2205, DSBCAPS_CTRLPAN, &b), DS_OK);
    void *p1, *p2;
    uint32_t n1, n2;
    soundBufferLock(b, 0, 2205, &p1, &n1, &p2, &n2, 0);
    std::memcpy(p1, mono8.data(), n1);
    soundBufferUnlock(b, p1, n1, p2, n2);
    soundBufferSetPan(b, DSBPAN_LEFT);
    soundBufferPlay(b, 0);
    advance(100);
    audioShutdown();

    Wav w = readWav(path);
    ASSERT_EQ(w.rate, 44100u);
    ASSERT_EQ(w.channels, 2);
    ASSERT_EQ(w.bits, 16);
    // 20 + 150 + 100 ms of mix.
    ASSERT_EQ(w.samples.size(), size_t(44100 * 270 / 1000) * 2);
    for (size_t i = 0; i < 882 * 2; i++) ASSERT_EQ(w.samples[i], 0) << i;
    for (size_t i = 0; i < stereo.size(); i++) ASSERT_EQ(w.samples[882 * 2 + i], stereo[i]) << i;
    size_t bufferStart = 882 + 6615;  // after 170 ms
    for (size_t i = 0; i < mono8.size(); i++) {
        ASSERT_EQ(w.samples[(bufferStart + i) * 2], (int(mono8[i]) - 128) * 256) << i;
        ASSERT_EQ(w.samples[(bufferStart + i) * 2 + 1], 0) << "panned hard left";
    }
}

TEST_F(AudioTest, WavThatCannotBeCreatedFallsBackToTimingOnly) {
    audioShutdown();
    setAudioBackendForTest(AudioBackend::Wav, "/nonexistent-dir/x.wav");
    EXPECT_STREQ(audioBackendName(), "null");
    WAVEFORMATEX f = pcm(44100, 1, 16);
    HWAVEOUT dev;
    ASSERT_EQ(waveOutOpen(&dev, 0, &f, nullptr, 0, 0), MMSYSERR_NOERROR);
    std::vector<char> d(882, 0);
    WAVEHDR h;
    h.lpData = d.data();
    h.dwBufferLength = 882;
    waveOutPrepareHeader(dev, &h, sizeof h);
    waveOutWrite(dev, &h, sizeof h);
    advance(11);
    EXPECT_TRUE(h.dwFlags & WHDR_DONE);
    waveOutClose(dev);
}

TEST_F(AudioTest, OnTheRealClockTheMixerRunsByItself) {
    audioShutdown();
    setVirtualClock(false);
    setAudioBackendForTest(AudioBackend::Null);
    static std::atomic<int> doneCalls;
    doneCalls = 0;
    auto countDone = [](HWAVEOUT, uint32_t msg, uintptr_t, uintptr_t, uintptr_t) {
        if (msg == WOM_DONE) doneCalls++;
    };
    WAVEFORMATEX f = pcm(22050, 1, 8);
    HWAVEOUT dev;
    ASSERT_EQ(waveOutOpen(&dev, 0, &f, countDone, 0, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    std::vector<char> d(1102, char(0x80));  // 50 ms
    WAVEHDR h;
    h.lpData = d.data();
    h.dwBufferLength = uint32_t(d.size());
    waveOutPrepareHeader(dev, &h, sizeof h);
    waveOutWrite(dev, &h, sizeof h);
    uint32_t start = tickCount();
    // No audio call in the loop: the mixing thread completes the block and runs the callback.
    while (!(h.dwFlags & WHDR_DONE) && tickCount() - start < 2000) sleepMs(2);
    uint32_t took = tickCount() - start;
    EXPECT_TRUE(h.dwFlags & WHDR_DONE);
    EXPECT_GE(took, 45u);
    EXPECT_LT(took, 1000u);
    while (doneCalls.load() == 0 && tickCount() - start < 2000) sleepMs(2);
    EXPECT_EQ(doneCalls.load(), 1) << "the callback runs on the mixing thread";
    waveOutClose(dev);
}

// ---- resampling quality ----------------------------------------------------------------------

// Signal-to-noise ratio of y against the best-fitting sine of frequency f (rate r), skipping
// the ends where the filter sees the signal start and stop.
double sineSnr(const std::vector<float>& y, int channels, double f, double r) {
    size_t n = y.size() / size_t(channels);
    size_t lo = n / 10, hi = n - n / 10;
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    for (size_t i = lo; i < hi; i++) {
        double s = std::sin(2 * M_PI * f * double(i) / r), c = std::cos(2 * M_PI * f * double(i) / r);
        double v = y[i * size_t(channels)];
        ss += s * s;
        sc += s * c;
        cc += c * c;
        ys += v * s;
        yc += v * c;
    }
    double det = ss * cc - sc * sc;
    double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double sig = 0, err = 0;
    for (size_t i = lo; i < hi; i++) {
        double fit = a * std::sin(2 * M_PI * f * double(i) / r) + b * std::cos(2 * M_PI * f * double(i) / r);
        double v = y[i * size_t(channels)];
        sig += fit * fit;
        err += (v - fit) * (v - fit);
    }
    return 10 * std::log10(sig / std::max(err, 1e-30));
}

std::vector<float> sine(double f, double rate, size_t frames, int channels, double amp = 0.5) {
    std::vector<float> v(frames * size_t(channels));
    for (size_t i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++) v[i * size_t(channels) + size_t(c)] = float(amp * std::sin(2 * M_PI * f * double(i) / rate));
    return v;
}

double rms(const std::vector<float>& y) {
    double s = 0;
    for (size_t i = y.size() / 10; i < y.size() - y.size() / 10; i++) s += double(y[i]) * y[i];
    return std::sqrt(s / double(y.size() - y.size() / 5));
}

TEST(Resampler, SineSurvivesRateChangesWithHighSnr) {
    struct Case {
        uint32_t from, to;
        double freq;
        double minSnr;
    };
    // Thresholds sit about 5 dB under the measured figures (86.9, 85.8, 90.9, 96.9, 100.2 and
    // 98.8 dB); a linear interpolator stays below 50 dB on the first case.
    const Case cases[] = {
        {22050, 44100, 1000, 82}, {11025, 44100, 440, 80}, {48000, 44100, 1000, 85},
        {44100, 48000, 5000, 90}, {8000, 44100, 3000, 95}, {22050, 48000, 7000, 93},
    };
    for (const Case& c : cases) {
        auto in = sine(c.freq, c.from, c.from / 2, 2);
        auto out = resampleFrames(in.data(), c.from / 2, 2, c.from, c.to);
        ASSERT_EQ(out.size(), size_t(uint64_t(c.from / 2) * c.to / c.from) * 2);
        double snr = sineSnr(out, 2, c.freq, c.to);
        std::printf("resample %u -> %u, %.0f Hz: SNR %.1f dB\n", c.from, c.to, c.freq, snr);
        EXPECT_GT(snr, c.minSnr) << c.from << " -> " << c.to;
        EXPECT_NEAR(rms(out), 0.5 / std::sqrt(2.0), 0.01) << "passband gain";
    }
    // The filter's delay is taken out: output frame j sits at input time j x from / to.
    auto in = sine(1000, 22050, 22050, 1);
    auto out = resampleFrames(in.data(), in.size(), 1, 22050, 44100);
    EXPECT_NEAR(out[44100 / 2 + 1], 0.5 * std::sin(2 * M_PI * 1000 * (44100 / 2 + 1) / 44100.0), 1e-3);
}

TEST(Resampler, DownsamplingRemovesWhatWouldAlias) {
    // 15 kHz cannot exist at 22050 Hz; a plain interpolator would fold it to 7050 Hz.
    auto in = sine(15000, 48000, 24000, 1);
    auto out = resampleFrames(in.data(), in.size(), 1, 48000, 22050);
    double level = 20 * std::log10(rms(out) / (0.5 / std::sqrt(2.0)));
    std::printf("15 kHz after 48000 -> 22050: %.1f dB\n", level);
    EXPECT_LT(level, -60.0);
}

}  // namespace
