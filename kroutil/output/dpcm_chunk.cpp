#include "kroutil/output/dpcm_chunk.h"

#include <cstddef>
#include <vector>

#include "kroutil/huffman.h"

namespace torvex {

uint32_t TorvexWriteDpcmChunk(KroFile* f, const uint8_t* pcm, uint32_t bytes, bool stereo, bool sixteenBit) {
    if (!f || !pcm) return 0;
    const uint32_t channels = stereo ? 2 : 1;
    const uint32_t frameBytes = channels * (sixteenBit ? 2 : 1);
    const uint32_t frames = bytes / frameBytes;
    const uint32_t treeCount = channels * (sixteenBit ? 2 : 1);
    auto sampleAt = [&](uint32_t frame, uint32_t c) -> uint32_t {
        const uint8_t* s = pcm + size_t(frame) * frameBytes + c * (sixteenBit ? 2 : 1);
        return sixteenBit ? uint32_t(s[0] | s[1] << 8) : s[0];
    };
    // Delta streams in tree order: per channel (left first) the byte, or the low and high byte.
    std::vector<uint8_t> streams[4];
    for (uint32_t i = 1; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c) {
            uint32_t d = (sampleAt(i, c) - sampleAt(i - 1, c)) & (sixteenBit ? 0xFFFF : 0xFF);
            if (sixteenBit) {
                streams[2 * c].push_back(uint8_t(d));
                streams[2 * c + 1].push_back(uint8_t(d >> 8));
            } else {
                streams[c].push_back(uint8_t(d));
            }
        }
    HuffEncoder* trees[4] = {};
    bool ok = true;
    for (uint32_t t = 0; t < treeCount && ok; ++t) {
        trees[t] = HuffOpen(1);
        ok = trees[t] != nullptr;
    }
    uint64_t start = KroFileGetPos(f);
    if (ok) {
        KroFilePutBits(f, 1, 1);
        KroFilePutBits(f, stereo ? 1 : 0, 1);
        KroFilePutBits(f, sixteenBit ? 1 : 0, 1);
        for (uint32_t t = 0; t < treeCount && ok; ++t) {
            HuffSetOutput(trees[t], f);
            HuffInitStats(trees[t]);
            for (uint8_t v : streams[t]) HuffAddStat(trees[t], v);
            // The reader takes a tree in every case; an unused one gets a single symbol.
            if (streams[t].empty()) HuffAddStat(trees[t], 0);
            ok = HuffStartEncode(trees[t]) >= 0;
        }
    }
    if (ok && frames) {
        for (int c = int(channels) - 1; c >= 0; --c) {
            uint32_t v = sampleAt(0, uint32_t(c));
            if (sixteenBit) {
                KroFilePutBits(f, v >> 8, 8);
                KroFilePutBits(f, v & 0xFF, 8);
            } else {
                KroFilePutBits(f, v, 8);
            }
        }
        size_t at[4] = {0, 0, 0, 0};
        for (uint32_t i = 1; i < frames; ++i)
            for (uint32_t c = 0; c < channels; ++c) {
                if (sixteenBit) {
                    HuffEncode(trees[2 * c], streams[2 * c][at[2 * c]++]);
                    HuffEncode(trees[2 * c + 1], streams[2 * c + 1][at[2 * c + 1]++]);
                } else {
                    HuffEncode(trees[c], streams[c][at[c]++]);
                }
            }
    }
    for (auto* t : trees) HuffClose(t);
    if (!ok) {
        KroFileSetPos(f, start);  // the caller writes the raw chunk over what went out
        return 0;
    }
    KroFileByteAlign(f);
    while ((KroFileGetPos(f) - start) % 4) KroFilePut8(f, 0);
    return uint32_t(KroFileGetPos(f) - start);
}

}  // namespace torvex
