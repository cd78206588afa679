// The transform audio encoder: turns blocks of 16-bit PCM into the transform-coded blocks the
// Torvex audio decoder reads.
//
// Use: create; fill input(enc) with blockBytes(enc) bytes for the first block, then with
// inputBytes(enc) bytes at input(enc) + overlapBytes(enc) for every later block (the overlap is
// kept by the encoder); encode each block; free.
#pragma once

#include <cstdint>

namespace torvex {

struct TorvexAudioEncoder;

// variant 1 = DCT (each channel alone), 0 = real DFT (the channels interleaved as one signal).
// Null for channel counts other than 1 and 2, a rate of 0 or above 2^24 - 1, or no memory.
TorvexAudioEncoder* TorvexAudioEncoderCreate(uint32_t rate, uint32_t channels, uint32_t variant);
void TorvexAudioEncoderFree(TorvexAudioEncoder* enc);

uint8_t* TorvexAudioEncoderInput(TorvexAudioEncoder* enc);  // B bytes
uint32_t TorvexAudioEncoderBlockBytes(const TorvexAudioEncoder* enc);    // B
uint32_t TorvexAudioEncoderOverlapBytes(const TorvexAudioEncoder* enc);  // B / 16
// Bytes to read for the next block: B for the first, B - B/16 afterwards.
uint32_t TorvexAudioEncoderNextInputBytes(const TorvexAudioEncoder* enc);

// Encodes the block now in the input buffer (bytesRead new bytes; fewer than asked at the end
// of a sound, where the last sample is repeated). quality 0..99: larger allows more noise.
// Sets *out (inside the encoder, valid until the next call) and *outBytes (a multiple of 4) and
// returns the PCM bytes this block stands for.
uint32_t TorvexAudioEncodeBlock(TorvexAudioEncoder* enc, uint32_t bytesRead, uint32_t quality, const uint8_t** out,
                                uint32_t* outBytes);

}  // namespace torvex
