#include "codec/audio/sound_backend.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/mem_block.h"
#include "base/timer.h"
#include "platform/clock.h"
#include "platform/profile.h"

namespace torvex {
namespace {

enum class Kind { None, WaveOut, DirectSound };

struct SoundState {
    Kind kind = Kind::None;
    const TorvexSoundOps* ops = nullptr;
    uint32_t openTracks = 0;
    void* directSound = nullptr;     // the caller's object, only remembered
    bool objectExists = false;       // stands for the device object created here
    bool objectCreatedHere = false;
    uintptr_t window = 0;
    bool primaryFormatPending = false;
    TorvexTrack* dsTracks = nullptr;
    TorvexTrack* waveTracks = nullptr;
    uint32_t nextDsService = 0;
    bool nextDsServiceSet = false;
    // Guards the buffer list and every buffer call between the caller's thread and the timer:
    // the service only tries it and returns at once when somebody holds it.
    std::mutex busy;
    // The periodic service thread (real clock only; on the virtual clock the callers' own
    // service calls keep the buffers filled).
    std::thread timer;
    std::mutex timerLock;
    std::condition_variable timerWake;
    bool timerStop = false;
};
SoundState sound;

bool debugOn() { return (plat::profileGetInt("Torvex", "Debug", 0) & 0xFF) == 1; }

void debug(const char* text) {
    if (debugOn()) plat::debugOutput(text);
}

void debugNumber(const char* text, long long n) {
    if (!debugOn()) return;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s%lld\r\n", text, n);
    plat::debugOutput(buf);
}

uint32_t now() { return KroTimerRead(); }

void silence(TorvexTrack* t, uint8_t* p, uint32_t n) { std::memset(p, t->sixteenBit ? 0 : 0x80, n); }

plat::WAVEFORMATEX formatOf(const TorvexTrack* t) {
    plat::WAVEFORMATEX f;
    f.nChannels = uint16_t(t->stereo ? 2 : 1);
    f.wBitsPerSample = uint16_t(t->sixteenBit ? 16 : 8);
    f.nSamplesPerSec = t->playbackRate;
    f.nBlockAlign = uint16_t(f.nChannels * f.wBitsPerSample / 8);
    f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
    return f;
}

void listRemove(TorvexTrack*& head, TorvexTrack* t) {
    for (TorvexTrack** p = &head; *p; p = &(*p)->next)
        if (*p == t) {
            *p = t->next;
            t->next = nullptr;
            return;
        }
}

// ---- streaming buffer back-end ------------------------------------------------------------

void dsServiceLocked();

void timerLoop() {
    std::unique_lock lk(sound.timerLock);
    while (!sound.timerStop) {
        sound.timerWake.wait_for(lk, std::chrono::milliseconds(75));
        if (sound.timerStop) break;
        lk.unlock();
        if (sound.busy.try_lock()) {
            dsServiceLocked();
            sound.busy.unlock();
        }
        lk.lock();
    }
}

void startTimer() {
    if (plat::clockIsVirtual() || sound.timer.joinable()) return;
    sound.timerStop = false;
    sound.timer = std::thread(timerLoop);
}

// Called without the busy lock held (the timer thread takes it).
void stopTimer() {
    if (!sound.timer.joinable()) return;
    {
        std::lock_guard g(sound.timerLock);
        sound.timerStop = true;
    }
    sound.timerWake.notify_all();
    sound.timer.join();
}

bool dsCreateBuffer(TorvexTrack* t) {
    if (!sound.objectExists) {
        sound.objectExists = true;
        sound.objectCreatedHere = true;
        sound.primaryFormatPending = true;
        debugNumber("Using lpDS: ", 1);
    }
    plat::WAVEFORMATEX f = formatOf(t);
    plat::HRESULT hr = plat::soundBufferCreate(&f, t->bufferSize, t->bufferFlags, &t->buffer);
    if (hr != plat::DS_OK) {
        hr = plat::soundBufferCreate(&f, t->bufferSize, t->bufferFlags & ~plat::DSBCAPS_GLOBALFOCUS, &t->buffer);
        if (hr != plat::DS_OK) {
            debugNumber("Unable to create sound buffer - Error #: ", hr);
            t->buffer = 0;
            if (sound.objectCreatedHere && !sound.dsTracks) sound.objectExists = false;
            return false;
        }
    }
    static uint32_t created = 0;
    debugNumber("Created sound buffer #:", ++created);
    t->stopped = 1;
    t->tailStart = 0;
    t->tailEnd = kNoTail;
    t->writeOffset = 0;
    t->freeBytes = t->bufferSize;
    t->lastPlayCursor = 0;
    t->lastReported = t->lastReportedTime = t->highestReported = 0;
    return true;
}

bool dsOpen(TorvexTrack* t, uint32_t openFlags) {
    t->bufferSize = (t->bytesPerSecond / 2 + 4095) & ~4095u;
    if (t->bufferSize == 0) return false;
    debug("Using DirectSound\n\r\n");
    t->bufferFlags = plat::DSBCAPS_GETCURRENTPOSITION2 | plat::DSBCAPS_GLOBALFOCUS;
    if (openFlags & 0x20) t->bufferFlags |= plat::DSBCAPS_CTRLPAN;
    if (openFlags & 0x40) t->bufferFlags |= plat::DSBCAPS_CTRLVOLUME;
    std::lock_guard g(sound.busy);
    if (!dsCreateBuffer(t)) return false;
    t->bytesWritten = 0;
    bool first = sound.dsTracks == nullptr;
    t->next = sound.dsTracks;
    sound.dsTracks = t;
    if (first) startTimer();
    return true;
}

// Whether the play cursor p lies in the tail [start, end) of a circular buffer.
bool inTail(uint32_t p, uint32_t start, uint32_t end) {
    if (start <= end) return p >= start && p < end;
    return p >= start || p < end;
}

void dsStopAndRewind(TorvexTrack* t) {
    plat::soundBufferStop(t->buffer);
    plat::soundBufferSetCurrentPosition(t->buffer, 0);
    t->stopped = 1;
    t->freeBytes = t->bufferSize;
    t->writeOffset = 0;
    t->tailEnd = kNoTail;
}

void dsWrite(TorvexTrack* t, const uint8_t* ringData, uint32_t n, bool fromRing) {
    void *p1, *p2;
    uint32_t n1, n2;
    if (plat::soundBufferLock(t->buffer, t->writeOffset, n, &p1, &n1, &p2, &n2, 0) != plat::DS_OK) return;
    if (fromRing) {
        trackTake(t, static_cast<uint8_t*>(p1), n1);
        if (p2) trackTake(t, static_cast<uint8_t*>(p2), n2);
    } else {
        (void)ringData;
        silence(t, static_cast<uint8_t*>(p1), n1);
        if (p2) silence(t, static_cast<uint8_t*>(p2), n2);
    }
    plat::soundBufferUnlock(t->buffer, p1, n1, p2, n2);
    t->writeOffset = (t->writeOffset + n) % t->bufferSize;
    // Only the track's own bytes count for the play position, as with wave output, and the
    // silence tail does not take free space: the position keeps moving with the last of the
    // sound (instead of standing still for the tail's length) and stops where the sound ends,
    // and free reaching the buffer size tells that the sound has played out.
    if (fromRing) {
        t->bytesWritten += n;
        t->freeBytes -= n;
    }
}

void dsServiceTrack(TorvexTrack* t) {
    if (!t->buffer) return;
    const uint32_t size = t->bufferSize;
    if (t->stopped) {
        t->freeBytes = size;
        t->writeOffset = 0;
    } else {
        uint32_t play = 0, write = 0, p2 = 0, w2 = 0;
        plat::soundBufferGetCurrentPosition(t->buffer, &play, &write);
        // Read until two readings agree closely.
        for (int tries = 0; tries < 8; ++tries) {
            plat::soundBufferGetCurrentPosition(t->buffer, &p2, &w2);
            uint32_t dp = (p2 + size - play) % size, dw = (w2 + size - write) % size;
            bool close = std::min(dp, size - dp) <= 1023 && std::min(dw, size - dw) <= 1023;
            play = p2;
            write = w2;
            if (close) break;
        }
        uint32_t played = (play + size - t->lastPlayCursor) % size;
        bool tailHit = t->tailEnd != kNoTail && inTail(play, t->tailStart, t->tailEnd);
        if (tailHit || uint64_t(t->freeBytes) + played >= size) {
            t->underrun.store(1);
            dsStopAndRewind(t);
            t->lastPlayCursor = 0;
        } else {
            t->freeBytes += played;
            t->lastPlayCursor = play;
        }
    }
    bool wrote = false;
    if (t->freeBytes > size / 4 && t->tailEnd == kNoTail) {
        uint32_t held = t->held.load();
        if (held > 3) {
            uint32_t n = std::min(t->freeBytes, held) & ~3u;
            dsWrite(t, nullptr, n, true);
            wrote = n > 0;
        } else if (!t->stopped && uint64_t(t->freeBytes) * 5 > uint64_t(size) * 4) {
            // The sound ran out: the last bytes, then a quarter buffer of silence, so that the
            // buffer does not loop over old sound before the underrun is noticed.
            if (held) dsWrite(t, nullptr, held, true);
            uint32_t quiet = std::min((size / 4) & ~3u, t->freeBytes);
            t->tailStart = t->writeOffset;
            dsWrite(t, nullptr, quiet, false);
            t->tailEnd = t->writeOffset;
            t->underrun.store(1);
        }
    }
    if (t->stopped && wrote) {
        sound.primaryFormatPending = false;  // the mixer has no primary buffer to set
        plat::soundBufferSetCurrentPosition(t->buffer, 0);
        plat::soundBufferPlay(t->buffer, plat::DSBPLAY_LOOPING);
        t->stopped = 0;
        t->lastPlayCursor = 0;
    }
}

void dsServiceLocked() {
    uint32_t t = now();
    if (sound.nextDsServiceSet && int32_t(t - sound.nextDsService) < 0) return;
    sound.nextDsService = t + 10;
    sound.nextDsServiceSet = true;
    for (TorvexTrack* tr = sound.dsTracks; tr; tr = tr->next) dsServiceTrack(tr);
}

void dsService() {
    if (!sound.busy.try_lock()) return;
    dsServiceLocked();
    sound.busy.unlock();
}

uint32_t dsPosition(TorvexTrack* t) {
    std::lock_guard g(sound.busy);
    int64_t played = t->buffer ? int64_t(t->bytesWritten) + t->freeBytes - t->bufferSize : t->bytesWritten;
    uint32_t value = uint32_t(std::max<int64_t>(0, played));
    uint32_t time = now();
    if (value == t->lastReported && value != 0) {
        uint64_t more = uint64_t(time - t->lastReportedTime) * t->bytesPerSecond / 1000;
        value = uint32_t(std::min<uint64_t>(uint64_t(t->lastReported) + more, t->bytesWritten));
    } else {
        t->lastReported = value;
        t->lastReportedTime = time;
    }
    if (value < t->highestReported) return t->highestReported;
    t->highestReported = value;
    return value;
}

void dsReset(TorvexTrack* t) {
    std::lock_guard g(sound.busy);
    if (t->buffer) dsStopAndRewind(t);
    t->lastPlayCursor = 0;
    t->lastReported = t->lastReportedTime = t->highestReported = 0;
    t->bytesWritten = 0;
}

void dsRelease(TorvexTrack* t) {
    if (t->buffer) plat::soundBufferRelease(t->buffer);
    t->buffer = 0;
}

void dsPause(TorvexTrack* t) {
    std::lock_guard g(sound.busy);
    if (t->buffer) plat::soundBufferStop(t->buffer);
    dsRelease(t);
    bool anyLeft = false;
    for (TorvexTrack* x = sound.dsTracks; x; x = x->next) anyLeft |= x->buffer != 0;
    if (sound.objectCreatedHere && !anyLeft) sound.objectExists = false;
}

bool dsResume(TorvexTrack* t) {
    std::lock_guard g(sound.busy);
    if (t->buffer) return true;
    return dsCreateBuffer(t);
}

void dsClose(TorvexTrack* t) {
    bool empty;
    {
        std::lock_guard g(sound.busy);
        listRemove(sound.dsTracks, t);
        empty = sound.dsTracks == nullptr;
    }
    if (empty) stopTimer();
    std::lock_guard g(sound.busy);
    dsRelease(t);
    if (!sound.dsTracks && sound.objectCreatedHere) {
        sound.objectExists = false;
        sound.primaryFormatPending = false;
    }
}

void dsVolumePan(TorvexTrack* t, uint32_t volume, uint32_t pan) {
    std::lock_guard g(sound.busy);
    t->volume = volume;
    t->pan = pan;
    if (!t->buffer) return;
    if (t->bufferFlags & plat::DSBCAPS_CTRLVOLUME) plat::soundBufferSetVolume(t->buffer, TorvexVolumeToHundredthsDb(volume));
    if (t->bufferFlags & plat::DSBCAPS_CTRLPAN) plat::soundBufferSetPan(t->buffer, TorvexPanToBufferPan(pan));
}

const TorvexSoundOps kDirectSoundOps = {dsOpen, dsClose, dsPosition, dsReset, dsPause, dsResume, dsVolumePan, dsService};

// ---- wave output back-end -------------------------------------------------------------------

bool headerDone(const plat::WAVEHDR& h) { return (h.dwFlags.load() & plat::WHDR_DONE) != 0; }

bool waveOpenDevice(TorvexTrack* t) {
    plat::WAVEFORMATEX f = formatOf(t);
    plat::MMRESULT r = plat::waveOutOpen(&t->device, plat::WAVE_MAPPER, &f, nullptr, 0, plat::CALLBACK_NULL);
    if (r != plat::MMSYSERR_NOERROR) {
        debugNumber("WaveOut open failed - error #: ", r);
        t->device = 0;
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        plat::WAVEHDR& h = t->headers[i];
        h.lpData = reinterpret_cast<char*>(t->headerData + size_t(i) * t->chunkSize);
        h.dwBufferLength = t->chunkSize;
        h.dwFlags.store(0);
        plat::waveOutPrepareHeader(t->device, &h, sizeof h);
    }
    t->headers[1].dwFlags.fetch_or(plat::WHDR_DONE);
    // A first block of four silent bytes tells that the device really plays.
    silence(t, t->headerData, 4);
    t->headers[0].dwBufferLength = 4;
    plat::waveOutWrite(t->device, &t->headers[0], sizeof t->headers[0]);
    uint32_t start = plat::tickCount();
    while (!headerDone(t->headers[0]) && plat::tickCount() - start < 1000) {
        plat::audioUpdate();
        plat::sleepMs(1);
    }
    if (!headerDone(t->headers[0])) {
        plat::waveOutReset(t->device);
        for (auto& h : t->headers) plat::waveOutUnprepareHeader(t->device, &h, sizeof h);
        plat::waveOutClose(t->device);
        t->device = 0;
        return false;
    }
    t->bytesPlayed = t->startTime = t->duration = t->inFlight = t->everSent = 0;
    return true;
}

bool waveOpen(TorvexTrack* t, uint32_t openFlags) {
    t->chunkSize = (t->bytesPerSecond / 4 + 4095) & ~4095u;
    if (t->chunkSize == 0) return false;
    t->headerData = static_cast<uint8_t*>(TorvexMemAlloc(2 * t->chunkSize + 64));
    if (!t->headerData) return false;
    debug("Using standard waveOut\r\n");
    t->openFlags = openFlags;
    if (!waveOpenDevice(t)) {
        TorvexMemFree(t->headerData);
        t->headerData = nullptr;
        return false;
    }
    t->next = sound.waveTracks;
    sound.waveTracks = t;
    return true;
}

void waveServiceTrack(TorvexTrack* t) {
    if (!t->device) return;
    plat::audioUpdate();
    // Both blocks back means the device ran dry, but only once it was given sound: a device
    // that has not started yet would have the next frame pad its sound with silence.
    if (t->everSent && headerDone(t->headers[0]) && headerDone(t->headers[1])) t->underrun.store(1);
    uint32_t held = t->held.load();
    if (held <= 3) return;
    plat::WAVEHDR* h = headerDone(t->headers[0]) ? &t->headers[0] : headerDone(t->headers[1]) ? &t->headers[1] : nullptr;
    if (!h) return;
    uint32_t n = std::min(held, t->chunkSize);
    auto* data = reinterpret_cast<uint8_t*>(h->lpData);
    n = trackTake(t, data, n);
    silence(t, data + n, t->chunkSize - n);
    h->dwBufferLength = n;
    h->dwFlags.fetch_and(~plat::WHDR_DONE);
    plat::waveOutWrite(t->device, h, sizeof *h);
    uint32_t time = now();
    if (t->inFlight == 0) {
        t->startTime = time;
        t->inFlight = n;
    } else if (int32_t(time - t->startTime - t->duration) > 0) {
        t->bytesPlayed += t->inFlight;
        t->startTime = time;
        t->inFlight = n;
    } else {
        t->inFlight += n;
    }
    t->duration = uint32_t(uint64_t(t->inFlight) * 1000 / t->bytesPerSecond);
    t->everSent = 1;
}

void waveService() {
    for (TorvexTrack* t = sound.waveTracks; t; t = t->next) waveServiceTrack(t);
}

uint32_t wavePosition(TorvexTrack* t) {
    waveServiceTrack(t);
    if (!t->everSent) return 0;
    uint32_t elapsed = now() - t->startTime;
    uint32_t flying = elapsed < t->duration ? uint32_t(uint64_t(t->inFlight) * elapsed / t->duration) : t->inFlight;
    return t->bytesPlayed + flying;
}

void waveReset(TorvexTrack* t) {
    if (t->device) plat::waveOutReset(t->device);
    t->bytesPlayed = t->startTime = t->duration = t->inFlight = t->everSent = 0;
}

void waveShutDevice(TorvexTrack* t) {
    if (!t->device) return;
    plat::waveOutReset(t->device);
    uint32_t start = plat::tickCount();
    while (!(headerDone(t->headers[0]) && headerDone(t->headers[1])) && plat::tickCount() - start < 1000) plat::sleepMs(1);
    for (auto& h : t->headers) plat::waveOutUnprepareHeader(t->device, &h, sizeof h);
    plat::waveOutClose(t->device);
    t->device = 0;
}

void wavePause(TorvexTrack* t) { waveShutDevice(t); }

bool waveResume(TorvexTrack* t) { return t->device || waveOpenDevice(t); }

void waveClose(TorvexTrack* t) {
    waveShutDevice(t);
    TorvexMemFree(t->headerData);
    t->headerData = nullptr;
    listRemove(sound.waveTracks, t);
}

void waveVolumePan(TorvexTrack* t, uint32_t volume, uint32_t pan) {
    volume = std::min<uint32_t>(volume, 65535);
    pan = std::min<uint32_t>(pan, 65535);
    t->volume = volume;
    t->pan = pan;
    uint32_t right = pan < 32768 ? pan * volume / 32768 : volume;
    uint32_t left = pan > 32768 ? volume * (65536 - pan) / 32768 : volume;
    if (t->device) plat::waveOutSetVolume(t->device, std::min<uint32_t>(left, 65535) | std::min<uint32_t>(right, 65535) << 16);
}

const TorvexSoundOps kWaveOutOps = {waveOpen, waveClose, wavePosition, waveReset, wavePause, waveResume, waveVolumePan, waveService};

}  // namespace

uint32_t trackTake(TorvexTrack* t, uint8_t* dest, uint32_t n) {
    n = std::min(n, t->held.load());
    uint8_t* r = trackReadPos(t);
    uint32_t first = std::min<uint32_t>(n, uint32_t(t->ringEnd - r));
    std::memcpy(dest, r, first);
    std::memcpy(dest + first, t->ringStart, n - first);
    t->held.fetch_sub(n);
    return n;
}

const TorvexSoundOps* TorvexSoundBackend() { return sound.ops; }
bool TorvexSoundIsDirectSound() { return sound.kind == Kind::DirectSound; }

int TorvexSelectDirectSound(void* directSound) {
    if (sound.kind != Kind::None) return sound.kind == Kind::DirectSound ? 1 : 0;
    sound.directSound = directSound;
    sound.objectExists = directSound != nullptr;
    sound.objectCreatedHere = false;
    sound.kind = Kind::DirectSound;
    sound.ops = &kDirectSoundOps;
    return 1;
}

int TorvexSelectWaveOut() {
    if (sound.kind != Kind::None) return 0;
    sound.kind = Kind::WaveOut;
    sound.ops = &kWaveOutOps;
    return 1;
}

void TorvexSoundWindow(uintptr_t window) {
    sound.window = window;
    if (sound.objectExists) debugNumber("DirectSound using HWND: ", (long long)window);
}

uintptr_t TorvexServiceSound(uintptr_t value) {
    if (sound.ops && (sound.dsTracks || sound.waveTracks)) sound.ops->service();
    return value;
}

uint32_t TorvexOpenTrackCount() { return sound.openTracks; }

void TorvexSoundResetForTest() {
    stopTimer();
    sound.kind = Kind::None;
    sound.ops = nullptr;
    sound.openTracks = 0;
    sound.dsTracks = sound.waveTracks = nullptr;
    sound.objectExists = sound.objectCreatedHere = false;
    sound.nextDsServiceSet = false;
}

void TorvexSoundCountTrack(int delta) { sound.openTracks = uint32_t(int32_t(sound.openTracks) + delta); }

int32_t TorvexVolumeToHundredthsDb(uint32_t volume) {
    uint32_t step = std::min<uint32_t>(volume, 65535) >> 9;  // 0 .. 127
    if (step == 0) return plat::DSBVOLUME_MIN;
    double db = 20.0 * std::log10(double(step) / 127.0);
    return std::max(plat::DSBVOLUME_MIN, int32_t(std::lround(db * 100)));
}

int32_t TorvexPanToBufferPan(uint32_t pan) {
    uint32_t step = std::min<uint32_t>(pan, 65535) >> 9;  // 0 .. 127, 64 = centre
    if (step == 64) return plat::DSBPAN_CENTER;
    // The far side is attenuated: towards the left the right channel, and the other way round.
    if (step < 64) return TorvexVolumeToHundredthsDb(step * 1024);
    return -TorvexVolumeToHundredthsDb(std::min<uint32_t>((127 - step) * 1024, 65535));
}

}  // namespace torvex
