// TIFF strip codings with byte output: PackBits and LZW, both ways, and the bit reversal of fill
// order 2.
#include <array>
#include <cstring>

#include "bytes/bit_reader.h"
#include "kroutil/images/tiff_codec.h"

namespace kroimg {

namespace {

constexpr uint32_t kClear = 256;
constexpr uint32_t kEnd = 257;
constexpr uint32_t kFirstFree = 258;
constexpr uint32_t kMaxCodes = 4096;

const std::array<uint8_t, 256>& reversedBytes() {
    static const std::array<uint8_t, 256> table = [] {
        std::array<uint8_t, 256> t{};
        for (int i = 0; i < 256; ++i) {
            uint8_t r = 0;
            for (int b = 0; b < 8; ++b)
                if (i & (1 << b)) r |= uint8_t(0x80 >> b);
            t[size_t(i)] = r;
        }
        return t;
    }();
    return table;
}

// Codes most significant bit first into a byte vector.
struct MsbWriter {
    std::vector<uint8_t>& out;
    uint64_t acc = 0;
    uint32_t count = 0;
    void put(uint32_t code, uint32_t width) {
        acc = acc << width | code;
        count += width;
        while (count >= 8) {
            count -= 8;
            out.push_back(uint8_t(acc >> count));
        }
    }
    void flush() {
        if (count) out.push_back(uint8_t(acc << (8 - count)));
        count = 0;
    }
};

}  // namespace

void reverseBits(uint8_t* data, size_t size) {
    const auto& t = reversedBytes();
    for (size_t i = 0; i < size; ++i) data[i] = t[data[i]];
}

// ---- PackBits ------------------------------------------------------------------------------------

StripResult unpackBits(const uint8_t* src, size_t size, uint8_t* out, size_t outSize) {
    size_t at = 0, pos = 0;
    while (pos < outSize) {
        if (at >= size) return {StripStatus::truncated, pos};
        const int32_t n = int8_t(src[at++]);
        if (n >= 0) {
            const size_t count = size_t(n) + 1;
            const size_t have = std::min(count, size - at);
            const size_t take = std::min(have, outSize - pos);
            std::memcpy(out + pos, src + at, take);
            pos += take;
            at += have;
            if (have < count && pos < outSize) return {StripStatus::truncated, pos};
        } else if (n != -128) {  // -128 is a no-op
            if (at >= size) return {StripStatus::truncated, pos};
            const size_t take = std::min(size_t(1 - n), outSize - pos);
            std::memset(out + pos, src[at++], take);
            pos += take;
        }
    }
    return {StripStatus::ok, pos};
}

void packBitsRow(const uint8_t* src, size_t size, std::vector<uint8_t>& out) {
    size_t i = 0;
    while (i < size) {
        size_t run = 1;
        while (i + run < size && run < 128 && src[i + run] == src[i]) ++run;
        if (run >= 3 || (run == 2 && i + run == size)) {
            out.push_back(uint8_t(1 - int32_t(run)));
            out.push_back(src[i]);
            i += run;
            continue;
        }
        // Literal bytes up to the next run of three or 128 bytes.
        size_t n = 0;
        while (i + n < size && n < 128) {
            if (i + n + 2 < size && src[i + n] == src[i + n + 1] && src[i + n] == src[i + n + 2]) break;
            ++n;
        }
        if (n == 0) n = 1;
        out.push_back(uint8_t(n - 1));
        out.insert(out.end(), src + i, src + i + n);
        i += n;
    }
}

// ---- LZW -----------------------------------------------------------------------------------------

StripResult lzwDecode(const uint8_t* src, size_t size, uint8_t* out, size_t outSize) {
    // The old coding puts the first clear code in the low bits: 0x00 then an odd byte.
    if (size >= 2 && src[0] == 0 && (src[1] & 1)) return {StripStatus::damaged, 0};
    // Every string of the table is a stretch of the output already written: the previous string
    // followed by one more byte. A code is then its offset and length in the output.
    uint32_t offsets[kMaxCodes];
    uint16_t lengths[kMaxCodes];
    bytes::BitReaderMsb bits(src, size);
    const uint64_t totalBits = uint64_t(size) * 8;
    uint32_t next = kFirstFree, width = 9;
    bool havePrevious = false;
    size_t prevOff = 0;
    uint32_t prevLen = 0;
    size_t pos = 0;
    while (pos < outSize) {
        if (bits.position() + width > totalBits) return {StripStatus::truncated, pos};
        const uint32_t code = bits.get(width);
        if (code == kEnd) return {StripStatus::truncated, pos};
        if (code == kClear) {
            next = kFirstFree;
            width = 9;
            havePrevious = false;
            continue;
        }
        const size_t start = pos;
        uint32_t len;
        if (code < 256) {
            out[pos++] = uint8_t(code);
            len = 1;
        } else if (!havePrevious) {
            return {StripStatus::damaged, pos};
        } else if (code < next) {
            len = lengths[code];
            const size_t from = offsets[code];
            if (len <= 16 && pos + 16 <= outSize) {
                // Both loads happen before the stores; bytes past len are rewritten later.
                uint64_t a, b;
                std::memcpy(&a, out + from, 8);
                std::memcpy(&b, out + from + 8, 8);
                std::memcpy(out + pos, &a, 8);
                std::memcpy(out + pos + 8, &b, 8);
                pos += len;
            } else {
                const size_t take = std::min<size_t>(len, outSize - pos);
                std::memcpy(out + pos, out + from, take);
                pos += take;
            }
        } else if (code == next) {
            // The string being defined: the previous one and its own first byte.
            len = prevLen + 1;
            const size_t take = std::min<size_t>(prevLen, outSize - pos);
            std::memmove(out + pos, out + prevOff, take);
            pos += take;
            if (pos < outSize) out[pos++] = out[prevOff];
        } else {
            return {StripStatus::damaged, pos};
        }
        if (havePrevious && next < kMaxCodes) {
            offsets[next] = uint32_t(prevOff);
            lengths[next] = uint16_t(prevLen + 1);
            ++next;
            if (next >= (1u << width) - 1 && width < 12) ++width;
        }
        havePrevious = true;
        prevOff = start;
        prevLen = len;
        if (start > UINT32_MAX - 8) return {StripStatus::damaged, pos};  // offsets are 32-bit
    }
    return {StripStatus::ok, pos};
}

void lzwEncode(const uint8_t* src, size_t size, std::vector<uint8_t>& out) {
    MsbWriter w{out};
    uint32_t width = 9, next = kFirstFree;
    w.put(kClear, width);
    if (size == 0) {
        w.put(kEnd, width);
        w.flush();
        return;
    }
    // Open addressing on (prefix, byte); a generation number empties the table at a clear code.
    constexpr uint32_t kSlots = 1 << 13;
    struct Slot {
        uint32_t key;
        uint16_t code;
        uint16_t generation;
    };
    std::vector<Slot> slots(kSlots, Slot{0, 0, 0});
    uint16_t generation = 1;
    auto reset = [&] {
        next = kFirstFree;
        width = 9;
        if (++generation == 0) {
            std::fill(slots.begin(), slots.end(), Slot{0, 0, 0});
            generation = 1;
        }
    };
    // After each table entry: a clear code when the table is full, else the wider code one
    // entry before the decoder needs it (the decoder's table lags one code behind).
    auto grow = [&] {
        ++next;
        if (next == kMaxCodes - 2) {
            w.put(kClear, width);
            reset();
        } else if (next == (1u << width)) {
            ++width;
        }
    };
    uint32_t prefix = src[0];
    for (size_t i = 1; i < size; ++i) {
        const uint8_t c = src[i];
        const uint32_t key = prefix << 8 | c;
        uint32_t h = (key * 2654435761u) >> (32 - 13);
        bool found = false;
        while (slots[h].generation == generation) {
            if (slots[h].key == key) {
                prefix = slots[h].code;
                found = true;
                break;
            }
            h = (h + 1) & (kSlots - 1);
        }
        if (found) continue;
        w.put(prefix, width);
        slots[h] = Slot{key, uint16_t(next), generation};
        grow();
        prefix = c;
    }
    w.put(prefix, width);
    grow();
    w.put(kEnd, width);
    w.flush();
}

}  // namespace kroimg
