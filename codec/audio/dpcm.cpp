#include "codec/audio/dpcm.h"

#include <cstring>

#include "bytes/bit_reader.h"

namespace torvex {
namespace {

using Bits = bytes::BitReaderLsb;

// A byte tree in 2 KB: 511 nodes of two 16-bit entries. An internal node holds its children's
// node numbers; a leaf holds kLeaf | value in its first entry.
constexpr uint16_t kLeaf = 0x8000;
constexpr uint32_t kMaxNodes = 511;

struct ByteTree {
    uint16_t* nodes;  // 2 x kMaxNodes entries
};

bool readTree(Bits& b, ByteTree& t) {
    uint32_t count = 1;
    uint32_t pending[kMaxNodes];  // slots (node * 2 + side) waiting for a subtree
    uint32_t top = 0;
    // The root is node 0; reading a subtree fills one slot.
    auto fill = [&](uint32_t node) -> bool {
        if (b.bit()) {
            if (count + 2 > kMaxNodes) return false;
            uint32_t zero = count++, one = count++;
            t.nodes[2 * node] = uint16_t(zero);
            t.nodes[2 * node + 1] = uint16_t(one);
            if (top + 2 > kMaxNodes) return false;
            pending[top++] = one;
            pending[top++] = zero;  // the 0-branch subtree comes first in the stream
        } else {
            t.nodes[2 * node] = uint16_t(kLeaf | b.get(8));
            t.nodes[2 * node + 1] = 0;
        }
        return !b.overrun();
    };
    if (!fill(0)) return false;
    while (top) {
        if (!fill(pending[--top])) return false;
    }
    return b.bit() == 0 && !b.overrun();
}

inline uint32_t walkFrom(Bits& b, const ByteTree& t, uint32_t n) {
    while (!(t.nodes[2 * n] & kLeaf)) {
        n = t.nodes[2 * n + b.bit()];
        if (b.overrun()) return 0;
    }
    return t.nodes[2 * n] & 0xFF;
}

// The first 8 bits of a code looked up at once: for each pattern of the next 8 bits (first bit
// in bit 0) either the value and its code length, or the node the walk reaches after 8 bits.
// Built from the tree for each chunk; the walk goes on bit by bit only for longer codes and in
// the last bytes of the input, so the values and the bits taken are the walk's own.
constexpr uint32_t kPeekBits = 8;
constexpr uint32_t kTableLeaf = 1u << 16;

struct PeekTable {
    uint32_t entry[1u << kPeekBits];  // leaf: kTableLeaf | length << 8 | value; else the node
};

void buildPeekTable(const ByteTree& t, PeekTable& table) {
    struct Step {
        uint16_t node;
        uint8_t depth;
        uint8_t code;  // the bits so far, first in bit 0
    };
    Step stack[2 * kPeekBits + 2];
    uint32_t top = 0;
    stack[top++] = {0, 0, 0};
    while (top) {
        Step s = stack[--top];
        uint16_t first = t.nodes[2 * s.node];
        bool leaf = first & kLeaf;
        if (leaf || s.depth == kPeekBits) {
            uint32_t e = leaf ? kTableLeaf | uint32_t(s.depth) << 8 | (first & 0xFFu) : s.node;
            for (uint32_t k = s.code; k < (1u << kPeekBits); k += 1u << s.depth) table.entry[k] = e;
            continue;
        }
        // Node numbers come from the tree reader and stay below kMaxNodes.
        stack[top++] = {t.nodes[2 * s.node + 1], uint8_t(s.depth + 1), uint8_t(s.code | 1u << s.depth)};
        stack[top++] = {t.nodes[2 * s.node], uint8_t(s.depth + 1), s.code};
    }
}

// Past the end of the input the reader yields zero bits and counts them, so a code cut by the end
// leaves the reader overrun (the caller's test) whichever path decoded it.
inline uint32_t decodeValue(Bits& b, const ByteTree& t, const PeekTable& table) {
    uint32_t e = table.entry[b.peek(kPeekBits)];
    if (e & kTableLeaf) {
        b.skip((e >> 8) & 0xFF);
        return e & 0xFF;
    }
    b.skip(kPeekBits);
    return walkFrom(b, t, e);
}

}  // namespace

DpcmStatus TorvexDecodeDpcm(const uint8_t* in, const uint8_t* end, uint32_t unpacked, bool stereo, bool sixteenBit,
                            uint8_t* scratch, DpcmOutput& out, uint32_t* written) {
    *written = 0;
    if (!in || end < in || !scratch || out.ringEnd <= out.ringStart || out.write < out.ringStart || out.write >= out.ringEnd)
        return DpcmStatus::Malformed;
    Bits b(in, size_t(end - in));
    if (!b.bit()) return b.overrun() ? DpcmStatus::Malformed : DpcmStatus::NoData;
    bool s = b.bit(), w = b.bit();
    if (b.overrun() || s != stereo || w != sixteenBit) return DpcmStatus::Malformed;
    const uint32_t channels = stereo ? 2 : 1;
    const uint32_t treeCount = channels * (sixteenBit ? 2 : 1);
    ByteTree trees[4];
    PeekTable tables[4];
    for (uint32_t i = 0; i < treeCount; ++i) {
        trees[i].nodes = reinterpret_cast<uint16_t*>(scratch + 2048 * i);
        b.bit();  // the encoder's has-values bit; the tree follows in every case
        if (!readTree(b, trees[i])) return DpcmStatus::Malformed;
    }
    const uint32_t frameBytes = channels * (sixteenBit ? 2 : 1);
    const uint32_t frames = unpacked / frameBytes;
    if (frames == 0) return DpcmStatus::Decoded;
    if (frames > 1)
        for (uint32_t i = 0; i < treeCount; ++i) buildPeekTable(trees[i], tables[i]);

    uint32_t sample[2] = {0, 0};
    // First frame raw, right channel first; 16-bit values high byte first.
    for (int c = int(channels) - 1; c >= 0; --c) {
        if (sixteenBit) {
            uint32_t hi = b.get(8), lo = b.get(8);
            sample[c] = hi << 8 | lo;
        } else {
            sample[c] = b.get(8);
        }
    }
    if (b.overrun()) return DpcmStatus::Malformed;
    uint8_t* p = out.write;
    auto put = [&](uint32_t v) {
        *p++ = uint8_t(v);
        if (p == out.ringEnd) p = out.ringStart;
    };
    for (uint32_t f = 0;; ++f) {
        for (uint32_t c = 0; c < channels; ++c) {
            put(sample[c]);
            if (sixteenBit) put(sample[c] >> 8);
        }
        *written += frameBytes;
        if (f + 1 == frames) break;
        for (uint32_t c = 0; c < channels; ++c) {
            if (sixteenBit) {
                uint32_t lo = decodeValue(b, trees[2 * c], tables[2 * c]);
                uint32_t hi = decodeValue(b, trees[2 * c + 1], tables[2 * c + 1]);
                sample[c] = (sample[c] + (lo | hi << 8)) & 0xFFFF;
            } else {
                sample[c] = (sample[c] + decodeValue(b, trees[c], tables[c])) & 0xFF;
            }
        }
        if (b.overrun()) {
            out.write = p;
            return DpcmStatus::Malformed;
        }
    }
    out.write = p;
    return DpcmStatus::Decoded;
}

}  // namespace torvex
