// Sound output: the process-wide back-end (wave output or the streaming buffer) that plays the
// tracks' rings and reports how much of each has been heard; that count paces the video.
#pragma once

#include <cstdint>

#include "codec/audio/torvex_track.h"

namespace torvex {

struct TorvexSoundOps {
    bool (*openTrack)(TorvexTrack* track, uint32_t openFlags);
    void (*closeTrack)(TorvexTrack* track);
    uint32_t (*playPosition)(TorvexTrack* track);
    void (*reset)(TorvexTrack* track);
    void (*pause)(TorvexTrack* track);
    bool (*resume)(TorvexTrack* track);
    void (*setVolumePan)(TorvexTrack* track, uint32_t volume, uint32_t pan);
    void (*service)();
};

// The chosen back-end's operations, or null while none is chosen.
const TorvexSoundOps* TorvexSoundBackend();
bool TorvexSoundIsDirectSound();

// Chooses the streaming-buffer back-end (always available here). The object argument stands for
// a caller's device object and is only remembered. If a back-end was chosen already, says
// whether it is this one.
int TorvexSelectDirectSound(void* directSound);
// Chooses wave output; 1 if installed now, 0 if a back-end was chosen already.
int TorvexSelectWaveOut();
// The window the sound belongs to (kept for the back-end; no effect on this platform's mixer).
void TorvexSoundWindow(uintptr_t window);
// Services the back-end when a track is open; returns value unchanged.
uintptr_t TorvexServiceSound(uintptr_t value);

// Count of tracks open on the back-end in all files; the track set-up counts them.
uint32_t TorvexOpenTrackCount();
void TorvexSoundCountTrack(int delta);

// Tests: forget the chosen back-end (all tracks must be closed).
void TorvexSoundResetForTest();

// The 128-step logarithmic attenuation used for buffer volume (0..65535 -> hundredths of dB).
int32_t TorvexVolumeToHundredthsDb(uint32_t volume);
int32_t TorvexPanToBufferPan(uint32_t pan);

}  // namespace torvex
