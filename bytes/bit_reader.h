// Bounded bit readers over a byte span, least significant bit first and most significant bit first.
//
// Both keep up to 64 bits in a register and refill eight bytes at a time away from the end of the
// span. Bits past the end read as zero and are counted, so a decoder tests overrun() once where it
// is convenient instead of at every read. peek/get take 0 to 32 bits at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bytes {

namespace detail {
inline uint64_t loadNative64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
}  // namespace detail

// First bit of each byte is bit 0; a value of n bits has its first bit read in bit 0.
struct BitReaderLsb {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;      // next byte to load (passes size: those bytes load as zero)
    uint64_t buf = 0;    // unread bits, next in bit 0
    uint32_t count = 0;  // valid bits in buf

    BitReaderLsb() = default;
    BitReaderLsb(const void* d, size_t n) : data(static_cast<const uint8_t*>(d)), size(n) {}

    // After refill at least 56 bits are in buf (the eight-byte load adds whole bytes: from 0 or 8
    // loaded bits it ends at exactly 56).
    inline void refill() {
        if (count > 56) return;
        if (pos + 8 <= size) {
            uint64_t v = detail::loadNative64(data + pos);
            if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
            buf |= v << count;
            pos += (63 - count) >> 3;
            count |= 56;
        } else {
            while (count <= 56) {
                uint64_t b = pos < size ? data[pos] : 0;
                buf |= b << count;
                ++pos;
                count += 8;
            }
        }
    }
    inline uint32_t peek(uint32_t n) {
        refill();
        return uint32_t(buf & ((uint64_t(1) << n) - 1));
    }
    inline void skip(uint32_t n) {
        refill();
        buf >>= n;
        count -= n;
    }
    inline uint32_t get(uint32_t n) {
        uint32_t v = peek(n);
        buf >>= n;
        count -= n;
        return v;
    }
    inline uint32_t bit() { return get(1); }
    // For hot loops that take several short values per refill: ensure(n) refills only when fewer
    // than n (at most 56) bits are loaded; peekLoaded/skipLoaded then work on the loaded bits.
    inline void ensure(uint32_t n) {
        if (count < n) refill();
    }
    inline uint32_t peekLoaded(uint32_t n) const { return uint32_t(buf & ((uint64_t(1) << n) - 1)); }
    inline void skipLoaded(uint32_t n) {
        buf >>= n;
        count -= n;
    }
    // Bits consumed so far.
    uint64_t position() const { return uint64_t(pos) * 8 - count; }
    // True once more bits were consumed than the span holds.
    bool overrun() const { return position() > uint64_t(size) * 8; }
    // Drops the bits up to the next byte boundary.
    void alignToByte() { skip(uint32_t(position() & 7 ? 8 - (position() & 7) : 0)); }
};

// First bit of each byte is bit 7; a value of n bits has its first bit read as its top bit.
struct BitReaderMsb {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    uint64_t buf = 0;    // unread bits, next in bit 63
    uint32_t count = 0;

    BitReaderMsb() = default;
    BitReaderMsb(const void* d, size_t n) : data(static_cast<const uint8_t*>(d)), size(n) {}

    inline void refill() {
        if (count > 56) return;
        if (pos + 8 <= size) {
            uint64_t v = detail::loadNative64(data + pos);
            if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
            buf |= v >> count;
            pos += (63 - count) >> 3;
            count |= 56;
        } else {
            while (count <= 56) {
                uint64_t b = pos < size ? data[pos] : 0;
                buf |= b << (56 - count);
                ++pos;
                count += 8;
            }
        }
    }
    inline uint32_t peek(uint32_t n) {
        refill();
        return n ? uint32_t(buf >> (64 - n)) : 0;
    }
    inline void skip(uint32_t n) {
        refill();
        buf = n < 64 ? buf << n : 0;
        count -= n;
    }
    inline uint32_t get(uint32_t n) {
        uint32_t v = peek(n);
        buf = n < 64 ? buf << n : 0;
        count -= n;
        return v;
    }
    inline uint32_t bit() { return get(1); }
    uint64_t position() const { return uint64_t(pos) * 8 - count; }
    bool overrun() const { return position() > uint64_t(size) * 8; }
    void alignToByte() { skip(uint32_t(position() & 7 ? 8 - (position() & 7) : 0)); }
};

}  // namespace bytes
