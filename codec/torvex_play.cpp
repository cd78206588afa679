// Pacing and control: decoding the current frame, advancing, seeking, and the clock: the
// primary track's play position when the file has sound, else the millisecond timer.
#include "codec/torvex.h"
#include "codec/audio/sound_backend.h"
#include "codec/torvex_tracks.h"
#include "kroutil/kro_timer.h"
#include "platform/clock.h"

int32_t TorvexDecodeFrame(TorvexFile* f) {
    if (!f || f->readError) return 0;
    uint32_t start = KroTimerRead();
    if (f->stats.framesDecoded == 0) f->stats.firstDecodeTime = start;
    f->stats.frameStart = start;
    if (f->newPalette) f->consumedPalette = f->frameIndex;
    ++f->stats.framesDecoded;
    uint32_t audioStart = KroTimerRead();
    TorvexFeedAudio(f);
    f->stats.audioMs += KroTimerRead() - audioStart;
    int32_t late = f->period != 0 && TorvexAudioLate(f) ? 1 : 0;
    bool skip = late && !(f->openFlags & kTvxNeverSkip);
    if (skip) {
        ++f->stats.framesSkipped;
    } else {
        uint32_t t0 = KroTimerRead();
        TorvexDrawFrame(f);
        f->stats.videoMs += KroTimerRead() - t0;
    }
    if (TorvexAnyTrackOpen(f)) torvex::TorvexServiceSound(0);
    return late;
}

void TorvexAdvance(TorvexFile* f) {
    if (!f) return;
    if (f->readError) {
        ++f->frameIndex;
        return;
    }
    bool sound = TorvexAnyTrackOpen(f);
    if (sound) torvex::TorvexServiceSound(0);
    uint32_t elapsed = KroTimerRead() - f->stats.frameStart;
    if (elapsed > f->stats.slowestMs) {
        f->stats.slowestMs = elapsed;
        f->stats.slowestFrame = f->frameIndex;
    }
    f->loadOffset += f->frameSize;  // load-all: the next frame follows this one
    ++f->frameIndex;
    // The ring frame follows the last frame in the stream, so it loads like any other; past it
    // (or past the last frame without one) parsing wraps and seeks.
    if (f->frameIndex < f->tableCount) TorvexLoadFrame(f);
    TorvexParseFrame(f);
    if (sound) torvex::TorvexServiceSound(0);
}

int32_t TorvexIsEarly(TorvexFile* f) {
    if (!f || f->readError) return 0;
    uint32_t firstWait = f->period;
    if (TorvexAnyTrackOpen(f)) {
        torvex::TorvexServiceSound(0);
        if (f->primaryTrack >= 0) {
            // Frames past the end of the sound are paced by the timer, continuing from where
            // the sound clock would have put the frame; the sound clock stands still there.
            if (!TorvexAudioRanOut(f, &firstWait)) {
                f->nextTime = 0xFFFFFFFFu;
                return TorvexAudioIsEarly(f);
            }
        }
    }
    if (f->released) return 0;
    // Unpaced files are always due; the first call must not hold them back a frame either.
    if (f->period == 0) return 0;
    uint32_t now = KroTimerRead() * 100u;
    if (f->nextTime == 0xFFFFFFFFu) {
        f->nextTime = now + firstWait;
        TorvexReadAhead(f);
        return 1;
    }
    if (int32_t(now - f->nextTime) < 0) {
        TorvexReadAhead(f);
        return 1;
    }
    uint32_t d = now - f->nextTime;
    uint32_t p = f->period;
    if (p <= d && d <= 2 * p) f->nextTime += p;  // catching up
    else f->nextTime = now + p;                   // on time, or too far behind to catch up
    if (p) f->released = 1;
    return 0;
}

void TorvexSeek(TorvexFile* f, uint32_t frameNumber) {
    if (!f || f->readError) return;
    uint32_t index = frameNumber ? frameNumber - 1 : 0;
    if (index == f->frameIndex) return;
    f->frameIndex = index;
    // Indexes past the stored frames wrap as parsing does at the end of playback.
    if (index < f->tableCount) TorvexSeekFrame(f);
    TorvexParseFrame(f);
}

void TorvexFinishSound(TorvexFile* f, bool (*stop)(void*), void* context) {
    if (!f || f->paused || !TorvexAnyTrackOpen(f)) return;
    const uint32_t limit = TorvexSoundDrainLimitMs(f), start = KroTimerRead();
    for (;;) {
        torvex::TorvexServiceSound(0);
        if (TorvexSoundPlayedOut(f) || KroTimerRead() - start >= limit) return;
        if (stop && stop(context)) return;
        plat::sleepMs(1);
    }
}
