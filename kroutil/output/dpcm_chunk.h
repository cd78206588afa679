// DPCM-Huffman coding of one audio chunk, the inverse of the codec's DPCM decoder: lossless, or
// with deltas rounded to coarser steps within a tolerance.
#pragma once

#include <cstdint>

#include "kroutil/huffman.h"
#include "kroutil/kro_file.h"

namespace torvex {

// How much a delta may lose: c = delta AND mask unless the reconstruction would then miss the
// sample by more than tolerance (or leave the sample range), when the exact delta is used.
struct DpcmQuantiser {
    int32_t mask = -1;  // all ones: lossless
    int32_t tolerance = 0;
};

// Writes the chunk's bitstream for pcm (whole sample frames: 8-bit unsigned or 16-bit signed
// little-endian, interleaved left first) at the file's current position, padded with zero bits
// to a multiple of 4 bytes from where it started. Every tree is written, also when the chunk
// holds a single sample frame. A tree that would need codes deeper than the encoder allows is
// built again from scaled-down counts, so the chunk always decodes. Returns the bytes written,
// or 0 when memory runs out (the file is then back at the starting position). encoders: four
// byte-symbol encoders of the caller to use (else the chunk opens its own).
uint32_t TorvexWriteDpcmChunk(KroFile* f, const uint8_t* pcm, uint32_t bytes, bool stereo, bool sixteenBit,
                              DpcmQuantiser quantiser = {}, HuffEncoder* const* encoders = nullptr);

}  // namespace torvex
