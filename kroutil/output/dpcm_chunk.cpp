#include "kroutil/output/dpcm_chunk.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "kroutil/huffman.h"

namespace torvex {

uint32_t TorvexWriteDpcmChunk(KroFile* f, const uint8_t* pcm, uint32_t bytes, bool stereo, bool sixteenBit,
                              DpcmQuantiser quantiser, HuffEncoder* const* encoders) {
    if (!f || !pcm) return 0;
    const uint32_t channels = stereo ? 2 : 1;
    const uint32_t frameBytes = channels * (sixteenBit ? 2 : 1);
    const uint32_t frames = bytes / frameBytes;
    const uint32_t treeCount = channels * (sixteenBit ? 2 : 1);
    const int32_t low = sixteenBit ? -32768 : 0, high = sixteenBit ? 32767 : 255;
    auto sampleAt = [&](uint32_t frame, uint32_t c) -> int32_t {
        const uint8_t* s = pcm + size_t(frame) * frameBytes + c * (sixteenBit ? 2 : 1);
        return sixteenBit ? int32_t(int16_t(uint16_t(s[0] | s[1] << 8))) : int32_t(s[0]);
    };
    // Delta symbols in tree order: per channel (left first) the byte, or the low and high byte.
    // The deltas follow the reconstruction, as the decoder will see it.
    std::vector<uint8_t> streams[4];
    for (auto& s : streams) s.reserve(frames);
    int32_t previous[2] = {0, 0};
    for (uint32_t c = 0; c < channels && frames; ++c) previous[c] = sampleAt(0, c);
    for (uint32_t i = 1; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c) {
            int32_t v = sampleAt(i, c), p = previous[c];
            int32_t d = v - p;
            int32_t q = d & quantiser.mask;
            int32_t r = p + q;
            // A rounded delta that misses by too much, or that would wrap past full scale into
            // a click, gives way to the exact one.
            if (r < low || r > high || (r > v ? r - v : v - r) > quantiser.tolerance) {
                q = d;
                r = v;
            }
            previous[c] = r;
            if (sixteenBit) {
                streams[2 * c].push_back(uint8_t(q));
                streams[2 * c + 1].push_back(uint8_t(uint32_t(q) >> 8));
            } else {
                streams[c].push_back(uint8_t(q));
            }
        }
    std::vector<uint32_t> counts[4];
    for (uint32_t t = 0; t < treeCount; ++t) {
        counts[t].assign(256, 0);
        for (uint8_t v : streams[t]) ++counts[t][v];
        // The reader takes a tree in every case; an unused one gets a single symbol.
        if (streams[t].empty()) counts[t][0] = 1;
    }
    HuffEncoder* trees[4] = {};
    HuffEncoder* own[4] = {};
    for (uint32_t t = 0; t < treeCount; ++t) {
        trees[t] = encoders && encoders[t] ? encoders[t] : (own[t] = HuffOpen(1));
        if (!trees[t]) {
            for (auto* h : own) HuffClose(h);
            return 0;
        }
    }
    const uint64_t start = KroFileGetPos(f);
    // Counts halved (never to zero) until every tree's codes fit.
    for (uint32_t shift = 0;; ++shift) {
        KroFileSetPos(f, start);
        KroFilePutBits(f, 1, 1);
        KroFilePutBits(f, stereo ? 1 : 0, 1);
        KroFilePutBits(f, sixteenBit ? 1 : 0, 1);
        bool fits = true;
        for (uint32_t t = 0; t < treeCount && fits; ++t) {
            HuffSetOutput(trees[t], f);
            HuffInitStats(trees[t]);
            for (uint32_t v = 0; v < 256; ++v) {
                uint32_t n = counts[t][v];
                if (!n) continue;
                // Scaled counts stay above zero, so every used symbol keeps a code.
                if (shift) n = shift >= 32 ? 1 : std::max(n >> shift, 1u);
                for (uint32_t k = 0; k < n; ++k) HuffAddStat(trees[t], v);
            }
            fits = HuffStartEncode(trees[t]) >= 0;
        }
        if (fits) break;
    }
    if (frames) {
        for (int c = int(channels) - 1; c >= 0; --c) {
            uint32_t v = uint32_t(sampleAt(0, uint32_t(c)));
            if (sixteenBit) {
                KroFilePutBits(f, (v >> 8) & 0xFF, 8);
                KroFilePutBits(f, v & 0xFF, 8);
            } else {
                KroFilePutBits(f, v, 8);
            }
        }
        size_t at = 0;
        for (uint32_t i = 1; i < frames; ++i, ++at)
            for (uint32_t t = 0; t < treeCount; ++t) HuffEncode(trees[t], streams[t][at]);
    }
    for (auto* h : own) HuffClose(h);
    KroFileByteAlign(f);
    while ((KroFileGetPos(f) - start) % 4) KroFilePut8(f, 0);
    return uint32_t(KroFileGetPos(f) - start);
}

}  // namespace torvex
