// Hand-built Quarn files for the tests: the container laid out field by field.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bytes/byte_order.h"

namespace quarntest {

using Bytes = std::vector<uint8_t>;

inline void put32(Bytes& b, uint32_t v) {
    uint8_t w[4];
    bytes::store32le(w, v);
    b.insert(b.end(), w, w + 4);
}

struct Track {
    uint32_t largest = 0, format = 0, id = 0;
};

// A file laid out as the container has it; frames are raw byte strings (an odd one gets a zero
// byte, since bit 0 of a position is the key mark), index words get the key bit from keys (all
// key frames by default). Header fields may be overridden after build().
struct Fixture {
    char revision = 'i';
    uint32_t width = 8, height = 6, rateNum = 30, rateDen = 1, flags = 0;
    int64_t largest = -1;       // -1: the real largest frame
    int64_t entries = -1;       // -1: frames
    std::vector<Track> tracks;
    std::vector<Bytes> frames;
    std::vector<bool> keys;
    uint32_t trailing = 0;      // bytes after the last frame
    std::vector<uint32_t> extraIndex;  // index words past the frames' end entry

    Bytes build() const {
        std::vector<Bytes> frames = this->frames;
        for (auto& f : frames)
            if (f.size() & 1) f.push_back(0);
        uint32_t n = uint32_t(frames.size());
        uint32_t e = entries < 0 ? n : uint32_t(entries);
        uint32_t t = uint32_t(tracks.size());
        uint32_t pos = 44 + 12 * t + 4 * (e + 1);
        std::vector<uint32_t> index;
        uint32_t big = 0;
        for (uint32_t i = 0; i < n; ++i) {
            bool key = keys.empty() ? true : keys[i];
            index.push_back(pos | (key ? 1u : 0u));
            pos += uint32_t(frames[i].size());
            big = std::max<uint32_t>(big, uint32_t(frames[i].size()));
        }
        index.push_back(pos | 1u);
        for (uint32_t x : extraIndex) index.push_back(x);
        while (index.size() < e + 1) index.push_back(pos | 1u);
        uint32_t fileSize = pos + trailing;
        Bytes b;
        b.insert(b.end(), {'Q', 'R', 'N', uint8_t(revision)});
        for (uint32_t v : {fileSize - 8, n, largest < 0 ? big : uint32_t(largest), e, width, height, rateNum, rateDen,
                           flags, t})
            put32(b, v);
        for (auto& tr : tracks) put32(b, tr.largest);
        for (auto& tr : tracks) put32(b, tr.format);
        for (auto& tr : tracks) put32(b, tr.id);
        for (uint32_t i = 0; i < e + 1; ++i) put32(b, index[i]);
        for (auto& f : frames) b.insert(b.end(), f.begin(), f.end());
        b.resize(fileSize, 0);
        return b;
    }
};

inline void setWord(Bytes& b, size_t offset, uint32_t v) { bytes::store32le(b.data() + offset, v); }

}  // namespace quarntest
