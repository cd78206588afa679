// The audio tracks of an open Torvex file: opening them, feeding each frame's chunks into
// their rings, extraction for the library's sound reader, the sound clock and pause/resume.
#pragma once

#include <cstdint>

#include "codec/audio/torvex_track.h"

struct TorvexFile;

// Opens track t of the file on the sound back-end (wave output unless one was chosen); false
// when the track is unusable or a buffer, decoder or device cannot be had.
bool TorvexOpenTrack(TorvexFile* file, int track, uint32_t headerPeriod, uint32_t effectivePeriod);
// Closes and frees every open track of the file.
void TorvexCloseTracks(TorvexFile* file);
// Moves the current frame's audio into the rings.
void TorvexFeedAudio(TorvexFile* file);
// The most sound one frame's chunk may claim to hold; a larger claim is damage, and the chunk
// counts as empty.
constexpr uint32_t kTorvexLargestUnpacked = 64u << 20;
// The bytes TorvexExtractAudio delivers for the current frame's chunk of the lowest track in
// trackMask: 0 without a chunk (or with an empty or damaged one). A transform-coded chunk
// delivers whole blocks, so this can exceed its unpacked length by less than a block.
uint32_t TorvexExtractRoom(uint32_t trackMask, TorvexFile* file);
// Decodes the current frame's chunk of the lowest track in trackMask into dest, writing at
// most capacity bytes; returns the bytes delivered.
uint32_t TorvexExtractAudio(uint32_t trackMask, TorvexFile* file, void* dest, uint32_t capacity);
// Back at frame 0: rings emptied, expected positions and totals zeroed, the back-end reset.
void TorvexResetTracks(TorvexFile* file);
// on = 0 pauses, on > 0 resumes, on < 0 resumes with a silent cushion. 1, or 0 when resuming
// failed (the file stays paused) or for a null file.
int32_t TorvexSetSoundActive(TorvexFile* file, int32_t on);

// The sound clock, for pacing: whether the primary track has fallen half a second behind the
// frame being shown (and then the sync is given up for this frame), and whether the frame is
// not yet due (1) by the primary track's play position.
bool TorvexAudioLate(TorvexFile* file);
int32_t TorvexAudioIsEarly(TorvexFile* file);
// Whether the primary track's sound has played out short of the frame being shown (the frame
// brought none, nothing is queued, everything written was played): its clock would never reach
// the frame's time. Then *dueIn is how long until the frame is due (10 us units).
bool TorvexAudioRanOut(TorvexFile* file, uint32_t* dueIn);
torvex::TorvexTrack* TorvexGetTrack(TorvexFile* file, int track);
uint32_t TorvexTrackPlayPosition(TorvexFile* file, int track);
bool TorvexAnyTrackOpen(const TorvexFile* file);
// Whether every open track has played all that was written to it.
bool TorvexSoundPlayedOut(TorvexFile* file);
// One frame period plus the longest queue lead of the open tracks, in milliseconds: the longest
// the sound written ahead of a frame can take to play.
uint32_t TorvexSoundDrainLimitMs(TorvexFile* file);
