// The sound side of the Torvex writer: a track's PCM cut into one audio chunk per frame, stored
// raw, DPCM-Huffman coded (lossless) or transform coded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class TorvexAudioCoding { Raw, Dpcm, Dct, Dft };

struct TorvexWriterTrack {
    // 8-bit unsigned or 16-bit signed little-endian, interleaved. A track without a whole
    // sample frame of sound is left out of the file (not declared in the header).
    std::vector<uint8_t> pcm;
    uint32_t rate = 22050;
    uint32_t channels = 1;     // 1 or 2
    uint32_t bits = 16;        // 8 or 16
    TorvexAudioCoding coding = TorvexAudioCoding::Raw;
    uint32_t quality = 0;      // transform coding: 0 (best) .. 99
};

struct TorvexTrackChunks {
    uint32_t format = 0;                     // the header's audio format word
    uint32_t largest = 0;                    // the largest chunk's length
    std::vector<std::vector<uint8_t>> chunk; // per frame, whole chunks; empty = none
};

// Cuts the track into `frames` chunks (period in 10 us units; with 0 everything goes into the
// first frame). Frame 0 carries the lead the player queues ahead of the picture (one period
// plus a second of sound), every later frame one period; the sound that outlasts the frames
// goes into the last one. The sound at time s is thus played when frame s / period is shown.
// False with a message for unusable tracks (transform coding needs 16-bit sound at a rate of
// at least 16000 Hz).
bool TorvexBuildTrackChunks(const TorvexWriterTrack& track, uint32_t frames, uint32_t period, TorvexTrackChunks* out,
                            std::string* error);
