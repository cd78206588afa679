// Byte order and bounded byte reading: the one place where file data becomes integers.
//
// Header-only and free of dependencies, so that every layer (the platform layer included) can use
// it. Loads and stores work on unaligned bytes; ByteReader never reads outside its span: a read
// past the end yields zero bytes and clears ok(), so a parser can read a whole header and test
// once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bytes {

inline uint16_t load16le(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint16_t load16be(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t load32le(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint32_t load32be(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint64_t load64le(const uint8_t* p) { return load32le(p) | uint64_t(load32le(p + 4)) << 32; }
inline uint64_t load64be(const uint8_t* p) { return uint64_t(load32be(p)) << 32 | load32be(p + 4); }

inline void store16le(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void store16be(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void store32le(uint8_t* p, uint32_t v) {
    store16le(p, uint16_t(v));
    store16le(p + 2, uint16_t(v >> 16));
}
inline void store32be(uint8_t* p, uint32_t v) {
    store16be(p, uint16_t(v >> 16));
    store16be(p + 2, uint16_t(v));
}
inline void store64le(uint8_t* p, uint64_t v) {
    store32le(p, uint32_t(v));
    store32le(p + 4, uint32_t(v >> 32));
}
inline void store64be(uint8_t* p, uint64_t v) {
    store32be(p, uint32_t(v >> 32));
    store32be(p + 4, uint32_t(v));
}

// Appends to a growing byte container (a std::vector<uint8_t>, say), for writers that build a
// header field by field.
template <class Bytes>
inline void append16le(Bytes& v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
template <class Bytes>
inline void append32le(Bytes& v, uint32_t x) {
    append16le(v, uint16_t(x));
    append16le(v, uint16_t(x >> 16));
}

enum class Endian { little, big };

// Reads integers and byte runs from a span [data, data + size), in one byte order (switchable, as
// a file may announce its order in its first bytes).
struct ByteReader {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    Endian order = Endian::little;
    bool good = true;  // false once any read or seek went past the end

    ByteReader() = default;
    ByteReader(const void* d, size_t n, Endian e = Endian::little)
        : data(static_cast<const uint8_t*>(d)), size(n), order(e) {}

    bool ok() const { return good; }
    size_t remaining() const { return pos < size ? size - pos : 0; }
    bool has(size_t n) const { return n <= remaining(); }

    // Moves to an absolute offset; past the end marks the reader bad and leaves it at the end.
    bool seek(size_t offset) {
        if (offset > size) {
            good = false;
            pos = size;
            return false;
        }
        pos = offset;
        return true;
    }
    bool skip(size_t n) {
        if (!has(n)) return seek(size + 1);
        pos += n;
        return true;
    }
    // A pointer to the next n bytes, or null (and the reader bad) when fewer remain.
    const uint8_t* take(size_t n) {
        if (!has(n)) {
            good = false;
            pos = size;
            return nullptr;
        }
        const uint8_t* p = data + pos;
        pos += n;
        return p;
    }
    // Copies n bytes; missing bytes read as zero.
    bool read(void* dst, size_t n) {
        const uint8_t* p = take(n);
        if (p) {
            std::memcpy(dst, p, n);
            return true;
        }
        std::memset(dst, 0, n);
        return false;
    }

    uint8_t u8() {
        const uint8_t* p = take(1);
        return p ? *p : 0;
    }
    uint16_t u16le() {
        const uint8_t* p = take(2);
        return p ? load16le(p) : 0;
    }
    uint16_t u16be() {
        const uint8_t* p = take(2);
        return p ? load16be(p) : 0;
    }
    uint32_t u32le() {
        const uint8_t* p = take(4);
        return p ? load32le(p) : 0;
    }
    uint32_t u32be() {
        const uint8_t* p = take(4);
        return p ? load32be(p) : 0;
    }
    uint64_t u64le() {
        const uint8_t* p = take(8);
        return p ? load64le(p) : 0;
    }
    uint64_t u64be() {
        const uint8_t* p = take(8);
        return p ? load64be(p) : 0;
    }
    // In the reader's own order.
    uint16_t u16() { return order == Endian::little ? u16le() : u16be(); }
    uint32_t u32() { return order == Endian::little ? u32le() : u32be(); }
    uint64_t u64() { return order == Endian::little ? u64le() : u64be(); }
    int16_t s16() { return int16_t(u16()); }
    int32_t s32() { return int32_t(u32()); }
};

}  // namespace bytes
