// SOUND and its tone.
#include "player/runtime/sound_command.h"

#include <cmath>
#include <vector>

#include "kroutil/kro_timer.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "player/engine/program.h"
#include "player/engine/script.h"

namespace runtime {

namespace {

constexpr uint32_t kToneRate = 44100;
constexpr uint32_t kBlockFrames = kToneRate / 10;  // 100 ms a block; two blocks take turns
constexpr double kAmplitude = 8000.0;
constexpr uint32_t kRampFrames = kToneRate / 200;  // 5 ms in and out, so the tone does not click

// One step of a wait: the whole rest on the virtual clock (it moves only when we sleep), short
// sleeps on the real one so the window keeps answering.
void waitStep(uint32_t deadline) {
    int32_t left = int32_t(deadline - KroTimerRead());
    if (left <= 0) return;
    plat::sleepMs(plat::clockIsVirtual() ? uint32_t(left) : uint32_t(left < 10 ? left : 10));
}

bool waitRound(uint32_t deadline) {
    engine::gHooks.serviceSound();
    waitStep(deadline);
    engine::gHooks.pumpMessages();
    engine::CountStep();
    return engine::gScript.control != engine::kEndAll;
}

struct ToneBlock {
    std::vector<uint8_t> data;
    plat::WAVEHDR header;
    bool queued = false;
};

// Fills a block with the tone's frames from `from` on; returns the frames written.
uint32_t fillBlock(ToneBlock& b, double frequency, uint64_t from, uint64_t total) {
    uint64_t n = total - from < kBlockFrames ? total - from : kBlockFrames;
    b.data.resize(size_t(n) * 2);
    const double step = 6.283185307179586 * frequency / double(kToneRate);
    for (uint64_t i = 0; i < n; ++i) {
        uint64_t k = from + i;
        double ramp = 1.0;
        if (k < kRampFrames) ramp = double(k) / kRampFrames;
        if (total - k < kRampFrames) ramp = std::min(ramp, double(total - k) / kRampFrames);
        // The phase from the frame number keeps blocks joined without a step.
        auto v = int16_t(std::lround(kAmplitude * ramp * std::sin(step * double(k % (uint64_t(kToneRate) * 1000)))));
        b.data[size_t(i) * 2] = uint8_t(uint16_t(v) & 0xFF);
        b.data[size_t(i) * 2 + 1] = uint8_t(uint16_t(v) >> 8);
    }
    return uint32_t(n);
}

void cmdSound() {
    int32_t frequency = engine::fetchNumber();
    int32_t ms = engine::fetchNumber();
    if (engine::gProgram.systemIsNT) playTone(frequency, ms);
    else silentWait(ms);
}

}  // namespace

void silentWait(int32_t ms) {
    if (ms <= 0) return;  // a negative length would be a wait of nearly 50 days: none instead
    uint32_t deadline = KroTimerRead() + uint32_t(ms);
    while (int32_t(deadline - KroTimerRead()) > 0)
        if (!waitRound(deadline)) return;
}

void playTone(int32_t frequency, int32_t ms) {
    if (ms <= 0) return;
    if (frequency < 37 || frequency > 32767) {
        silentWait(ms);
        return;
    }
    plat::WAVEFORMATEX format;
    format.nChannels = 1;
    format.nSamplesPerSec = kToneRate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = kToneRate * 2;
    plat::HWAVEOUT out = 0;
    if (plat::waveOutOpen(&out, plat::WAVE_MAPPER, &format, nullptr, 0, plat::CALLBACK_NULL) != plat::MMSYSERR_NOERROR) {
        silentWait(ms);
        return;
    }
    const uint64_t total = uint64_t(ms) * kToneRate / 1000;
    uint64_t written = 0;
    ToneBlock blocks[2];
    auto refill = [&]() {
        for (ToneBlock& b : blocks) {
            if (b.queued && !(b.header.dwFlags.load() & plat::WHDR_DONE)) continue;
            if (b.queued) {
                plat::waveOutUnprepareHeader(out, &b.header, sizeof b.header);
                b.queued = false;
            }
            if (written >= total) continue;
            uint32_t n = fillBlock(b, double(frequency), written, total);
            b.header.lpData = reinterpret_cast<char*>(b.data.data());
            b.header.dwBufferLength = n * 2;
            b.header.dwFlags = 0;
            if (plat::waveOutPrepareHeader(out, &b.header, sizeof b.header) != plat::MMSYSERR_NOERROR) continue;
            if (plat::waveOutWrite(out, &b.header, sizeof b.header) != plat::MMSYSERR_NOERROR) {
                plat::waveOutUnprepareHeader(out, &b.header, sizeof b.header);
                continue;
            }
            b.queued = true;
            written += n;
        }
    };
    refill();
    // The tone lasts its length on the clock; the blocks are refilled as they finish.
    const uint32_t deadline = KroTimerRead() + uint32_t(ms);
    const uint32_t blockMs = kBlockFrames * 1000 / kToneRate;
    while (int32_t(deadline - KroTimerRead()) > 0) {
        // Wake at least once a block so the next one is queued before the device runs dry.
        uint32_t next = KroTimerRead() + blockMs / 2;
        if (!waitRound(int32_t(next - deadline) < 0 ? next : deadline)) break;
        plat::audioUpdate();
        refill();
    }
    plat::audioUpdate();
    plat::waveOutReset(out);
    for (ToneBlock& b : blocks)
        if (b.queued) plat::waveOutUnprepareHeader(out, &b.header, sizeof b.header);
    plat::waveOutClose(out);
}

void registerSoundCommand() { engine::registerCommand(engine::CommandOwner::Sound, "SOUND", cmdSound); }

}  // namespace runtime
