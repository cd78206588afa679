// Lossless DPCM-Huffman coding of one audio chunk, the inverse of the codec's DPCM decoder.
#pragma once

#include <cstdint>

#include "kroutil/kro_file.h"

namespace torvex {

// Writes the chunk's bitstream for pcm (whole sample frames: 8-bit unsigned or 16-bit signed
// little-endian, interleaved left first) at the file's current position, padded with zero bits
// to a multiple of 4 bytes from where it started. Every tree is written, also when the chunk
// holds a single sample frame. Returns the bytes written, or 0 when no code could be built (a
// code deeper than the encoder allows); the file is then back at the starting position and the
// caller stores the chunk raw over whatever went out.
uint32_t TorvexWriteDpcmChunk(KroFile* f, const uint8_t* pcm, uint32_t bytes, bool stereo, bool sixteenBit);

}  // namespace torvex
