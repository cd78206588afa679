// The transform audio decoder: one per transform-coded track.
//
// A block holds, per coded channel, two leading coefficients as 29-bit float fields, one
// quantiser index per band and the remaining coefficients in runs of 8-coefficient groups.
// Blocks overlap by 1/16 of their length; the decoder blends the overlap.
#pragma once

#include <cstdint>

namespace torvex {

struct TorvexAudioDecoder;

// variant: 1 = DCT (each channel transformed alone), 0 = real DFT (the channels interleaved as
// one signal). Null for channel counts other than 1 and 2, a rate of 0 or above 2^24 - 1, or no
// memory.
TorvexAudioDecoder* TorvexAudioDecoderCreate(uint32_t rate, uint32_t channels, uint32_t variant);
void TorvexAudioDecoderFree(TorvexAudioDecoder* dec);

// Decodes one block from [in, end). On success *pcm points at the block's 16-bit interleaved
// samples (valid until the next call), *bytes is their byte length and *next the first byte of
// the following block (blocks are padded to 32 bits). A block that runs past end delivers
// nothing and returns false; the decoder's state is then unchanged.
bool TorvexAudioDecodeBlock(TorvexAudioDecoder* dec, const uint8_t* in, const uint8_t* end, const int16_t** pcm,
                            uint32_t* bytes, const uint8_t** next);

// Sizes, for callers that plan buffers: the bytes one block delivers and the coefficients (N)
// of one transform.
uint32_t TorvexAudioDecoderBlockBytes(const TorvexAudioDecoder* dec);
uint32_t TorvexAudioDecoderTransformLength(const TorvexAudioDecoder* dec);
uint32_t TorvexAudioDecoderBandCount(const TorvexAudioDecoder* dec);
const uint32_t* TorvexAudioDecoderEdges(const TorvexAudioDecoder* dec);

}  // namespace torvex
