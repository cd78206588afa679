#include "codec/transform/audio_decoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "base/mem_block.h"
#include "bytes/bit_reader.h"
#include "codec/transform/audio_tables.h"
#include "codec/transform/transform.h"

namespace torvex {

struct TorvexAudioDecoder {
    uint32_t frameLength;      // d, per channel
    uint32_t transformLength;  // N
    uint32_t channels;
    uint32_t variant;          // 1 DCT, 0 real DFT
    uint32_t codedChannels;    // transforms per block
    uint32_t halfRate;
    uint32_t bands;
    uint32_t edges[kBandCount + 1];
    float scale;
    uint32_t overlap;  // M, interleaved samples
    bool firstBlock;
    float* coeff;      // N
    float* signal;     // N
    int16_t* rounded;  // N: one channel's samples before they are interleaved (DCT stereo)
    int16_t* out;      // d x channels
    int16_t* tail;     // M
};

namespace {

float leadingCoefficient(uint32_t field) {
    uint32_t e = field & 31, mant = (field >> 5) & 0x7FFFFF;
    // Exponents above 23 continue the power-of-two rule.
    float v = std::ldexp(float(mant), int(e) - 23);
    return (field >> 28) & 1 ? -v : v;
}

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

TorvexAudioDecoder* TorvexAudioDecoderCreate(uint32_t rate, uint32_t channels, uint32_t variant) {
    if (rate == 0 || rate > 0xFFFFFF || channels < 1 || channels > 2) return nullptr;
    auto* dec = static_cast<TorvexAudioDecoder*>(TorvexMemAlloc(sizeof(TorvexAudioDecoder)));
    if (!dec) return nullptr;
    std::memset(dec, 0, sizeof *dec);
    dec->variant = variant ? 1 : 0;
    dec->channels = channels;
    dec->frameLength = frameLengthFor(rate);
    uint32_t codedRate = rate;
    if (dec->variant) {
        dec->transformLength = dec->frameLength;
        dec->codedChannels = channels;
    } else {
        dec->transformLength = dec->frameLength * channels;
        dec->codedChannels = 1;
        codedRate = rate * channels;
    }
    uint32_t n = dec->transformLength;
    dec->halfRate = (codedRate + 1) / 2;
    dec->bands = uint32_t(bandCountFor(dec->halfRate));
    for (uint32_t k = 0; k < dec->bands; ++k)
        dec->edges[k] = 2 * std::max<uint32_t>(1, uint32_t(uint64_t(n / 2) * kBandFrequency[k] / dec->halfRate));
    dec->edges[dec->bands] = n;
    dec->scale = float(2.0 / std::sqrt(double(n)));
    dec->overlap = dec->frameLength / 16 * channels;
    dec->firstBlock = true;
    size_t samples = size_t(dec->frameLength) * channels;
    dec->coeff = static_cast<float*>(TorvexMemAlloc(uint32_t(n * sizeof(float))));
    dec->signal = static_cast<float*>(TorvexMemAlloc(uint32_t(n * sizeof(float))));
    dec->rounded = static_cast<int16_t*>(TorvexMemAlloc(uint32_t(n * sizeof(int16_t))));
    dec->out = static_cast<int16_t*>(TorvexMemAlloc(uint32_t(samples * 2)));
    dec->tail = static_cast<int16_t*>(TorvexMemAlloc(uint32_t(dec->overlap * 2)));
    if (!dec->coeff || !dec->signal || !dec->rounded || !dec->out || !dec->tail) {
        TorvexAudioDecoderFree(dec);
        return nullptr;
    }
    return dec;
}

void TorvexAudioDecoderFree(TorvexAudioDecoder* dec) {
    if (!dec) return;
    TorvexMemFree(dec->coeff);
    TorvexMemFree(dec->signal);
    TorvexMemFree(dec->rounded);
    TorvexMemFree(dec->out);
    TorvexMemFree(dec->tail);
    TorvexMemFree(dec);
}

uint32_t TorvexAudioDecoderBlockBytes(const TorvexAudioDecoder* dec) {
    return dec ? (dec->frameLength * dec->channels - dec->overlap) * 2 : 0;
}
uint32_t TorvexAudioDecoderTransformLength(const TorvexAudioDecoder* dec) { return dec ? dec->transformLength : 0; }
uint32_t TorvexAudioDecoderBandCount(const TorvexAudioDecoder* dec) { return dec ? dec->bands : 0; }
const uint32_t* TorvexAudioDecoderEdges(const TorvexAudioDecoder* dec) { return dec ? dec->edges : nullptr; }

bool TorvexAudioDecodeBlock(TorvexAudioDecoder* dec, const uint8_t* in, const uint8_t* end, const int16_t** pcm,
                            uint32_t* bytes, const uint8_t** next) {
    if (!dec || !in || end < in) return false;
    const float* q = quantTable();
    const uint32_t n = dec->transformLength;
    const uint32_t samples = dec->frameLength * dec->channels;
    // Bits past the end read as zero; the block is refused once any of them was used.
    bytes::BitReaderLsb br(in, size_t(end - in));
    if (dec->variant) br.get(2);
    for (uint32_t ch = 0; ch < dec->codedChannels; ++ch) {
        float* c = dec->coeff;
        std::memset(c, 0, n * sizeof(float));
        c[0] = leadingCoefficient(br.get(29));
        c[1] = leadingCoefficient(br.get(29));
        float quant[kBandCount];
        for (uint32_t k = 0; k < dec->bands; ++k) quant[k] = q[std::min<uint32_t>(br.get(8), kQuantSteps - 1)];
        uint32_t band = 0;  // edges[0] is 2: every coded coefficient has a band
        uint32_t pos = 2;
        while (pos < n && !br.overrun()) {
            uint32_t runEnd = br.get(1) ? pos + 8 * kRunGroups[br.get(4)] : pos + 8;
            runEnd = std::min(runEnd, n);
            uint32_t width = br.get(4);
            if (width == 0) {
                pos = runEnd;
                continue;
            }
            while (pos < runEnd && !br.overrun()) {
                while (band + 1 < dec->bands && pos >= dec->edges[band + 1]) ++band;
                // The stretch of this run that lies in one band shares its step.
                uint32_t stop = band + 1 < dec->bands ? std::min(runEnd, dec->edges[band + 1]) : runEnd;
                const float step = quant[band];
                const uint64_t mask = (uint64_t(1) << width) - 1;
                // A refill leaves at least 56 bits in the reader's register: as many coefficients
                // as surely fit in them are taken from it without branches (a zero has no sign
                // bit, and its value is +0 either way). Past the end the register holds zeros,
                // and the overrun test below refuses the block.
                const uint32_t fit = 56 / (width + 1);
                while (pos < stop && !br.overrun()) {
                    br.refill();
                    uint64_t window = br.buf;
                    uint32_t used = 0;
                    const uint32_t last = std::min(stop, pos + fit);
                    for (; pos < last; ++pos) {
                        uint32_t v = uint32_t(window & mask);
                        uint32_t nonzero = v != 0;
                        uint32_t sign = uint32_t(window >> width) & nonzero;
                        uint32_t bits = std::bit_cast<uint32_t>(float(v) * step) | sign << 31;
                        c[pos] = std::bit_cast<float>(bits);
                        window >>= width + nonzero;
                        used += width + nonzero;
                    }
                    br.buf = window;
                    br.count -= used;
                }
            }
        }
        if (br.overrun()) return false;
        if (dec->variant) dctInverse(c, dec->signal, n);
        else realDftInverse(c, dec->signal, n);
        // 16-bit samples, rounded to nearest (ties to even), clamped; channels interleaved.
        // Adding and taking away 1.5 x 2^23 rounds a float of magnitude below 2^22 to an integer
        // as the default rounding mode does (ties to even), in a loop the compiler vectorises.
        const uint32_t stride = dec->codedChannels;
        const float scale = dec->scale;
        const float* signal = dec->signal;
        int16_t* out = stride == 1 ? dec->out : dec->rounded;
        for (uint32_t t = 0; t < n; ++t) {
            float s = std::min(32767.0f, std::max(-32768.0f, signal[t] * scale));
            float r = (s + 12582912.0f) - 12582912.0f;
            out[t] = int16_t(int32_t(r));
        }
        if (stride != 1)
            for (uint32_t t = 0; t < n; ++t) dec->out[size_t(t) * stride + ch] = out[t];
    }
    const uint32_t m = dec->overlap;
    if (!dec->firstBlock) {
        if (std::has_single_bit(m)) {
            // M is a power of two for every frame length: the floor division is a shift
            // (arithmetic on negative values, which rounds towards minus infinity).
            const int shift = std::countr_zero(m);
            for (uint32_t i = 0; i < m; ++i)
                dec->out[i] = int16_t((int32_t(dec->tail[i]) * int32_t(m - i) + int32_t(dec->out[i]) * int32_t(i)) >> shift);
        } else {
            for (uint32_t i = 0; i < m; ++i)
                dec->out[i] = int16_t(floorDiv(int64_t(dec->tail[i]) * (m - i) + int64_t(dec->out[i]) * i, m));
        }
    }
    std::memcpy(dec->tail, dec->out + (samples - m), m * 2);
    dec->firstBlock = false;
    *pcm = dec->out;
    *bytes = (samples - m) * 2;
    *next = in + (br.position() + 31) / 32 * 4;
    return true;
}

}  // namespace torvex
