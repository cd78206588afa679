// Pacing and control: decoding the current frame, advancing, seeking and the clock of files
// without sound. (The sound clock joins with the audio part; the primary track is then set.)
#include "codec/torvex.h"
#include "kroutil/kro_timer.h"

int32_t TorvexDecodeFrame(TorvexFile* f) {
    if (!f || f->readError) return 0;
    uint32_t start = KroTimerRead();
    if (f->stats.framesDecoded == 0) f->stats.firstDecodeTime = start;
    f->stats.frameStart = start;
    if (f->newPalette) f->consumedPalette = f->frameIndex;
    ++f->stats.framesDecoded;
    // Without a primary track nothing can be late: the late check needs the sound's position.
    int32_t late = 0;
    bool skip = late && !(f->openFlags & kTvxNeverSkip);
    if (skip) {
        ++f->stats.framesSkipped;
    } else {
        uint32_t t0 = KroTimerRead();
        TorvexDrawFrame(f);
        f->stats.videoMs += KroTimerRead() - t0;
    }
    return late;
}

void TorvexAdvance(TorvexFile* f) {
    if (!f) return;
    if (f->readError) {
        ++f->frameIndex;
        return;
    }
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
}

int32_t TorvexIsEarly(TorvexFile* f) {
    if (!f || f->readError) return 0;
    if (f->released) return 0;
    // Unpaced files are always due; the first call must not hold them back a frame either.
    if (f->period == 0) return 0;
    uint32_t now = KroTimerRead() * 100u;
    if (f->nextTime == 0xFFFFFFFFu) {
        f->nextTime = now + f->period;
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
