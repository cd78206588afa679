// The bit writer's common case, inline for the coders' per-symbol loops (a call per code word
// was a large share of encoding time). Same bytes and state as KroFilePutBits, which uses it too.
#pragma once

#include <cstdint>
#include <cstring>

#include "kroutil/kro_file.h"

// Writes count (1..32) bits when the file is open in write mode with room in its buffer for a
// whole 8-byte store; otherwise does nothing and returns false. Whole bytes go out, the rest
// stays pending in bit_byte.
inline bool KroFilePutBitsFast(KroFile* f, uint32_t value, uint32_t count) {
    if (!f || f->handle == -1 || !f->writing || !f->buffer || count - 1u >= 32u ||
        f->buffer_fill - f->buffer_pos < 8)
        return false;
    uint64_t acc = (f->bit_count ? uint64_t(f->bit_byte) : 0) |
                   (uint64_t(value & (~uint32_t(0) >> (32 - count))) << f->bit_count);
    uint32_t total = f->bit_count + count;
    uint32_t bytes = total / 8;
    std::memcpy(f->buffer + f->buffer_pos, &acc, 8);  // only `bytes` of them count
    f->buffer_pos += bytes;
    f->bit_count = total & 7;
    f->bit_byte = uint32_t(bytes < 8 ? (acc >> (8 * bytes)) & 0xFF : 0);
    return true;
}

inline void KroFilePutBitsInline(KroFile* f, uint32_t value, uint32_t count) {
    if (!KroFilePutBitsFast(f, value, count)) KroFilePutBits(f, value, count);
}
