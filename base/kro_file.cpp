// Buffered file and bit I/O.
#include "kroutil/kro_file.h"

#include <algorithm>
#include <cstring>

#include "base/kro_file_bits.h"
#include "base/mem_block.h"
#include "platform/fs.h"

namespace {

constexpr uint64_t kSizeUnknown = ~uint64_t(0);
constexpr uint32_t kMinBuffer = 4096;

bool isOpen(const KroFile* f) { return f && f->handle != plat::kInvalidFile; }

uint32_t capacityFor(int32_t requested) {
    // Magnitude in the unsigned type: -2^31 has no positive int32.
    uint32_t m = requested < 0 ? 0u - uint32_t(requested) : uint32_t(requested);
    return std::max(m, kMinBuffer);
}

// Allocates a missing buffer; on failure the handle goes unbuffered for good.
void ensureBuffer(KroFile* f) {
    if (f->buffer_block || f->buffer_size == 0) return;
    void* block = TorvexMemAlloc(f->buffer_size + 4095u);
    if (!block) {
        f->buffer_size = f->buffer_fill = f->buffer_pos = 0;
        return;
    }
    f->buffer_block = block;
    f->buffer = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(block) + 4095u) & ~uintptr_t(4095));
}

uint32_t osRead(KroFile* f, void* dest, uint32_t count) {
    int64_t n = plat::fileRead(f->handle, dest, count);
    return n > 0 ? uint32_t(n) : 0u;
}

uint32_t osWrite(KroFile* f, const void* src, uint32_t count) {
    int64_t n = plat::fileWrite(f->handle, src, count);
    uint32_t done = n > 0 ? uint32_t(n) : 0u;
    if (done < count) f->write_error = 1;
    return done;
}

KroFile* newRecord(int32_t bufferSize, const char* name) {
    if (!name || std::strlen(name) >= KRO_FILE_NAME_SIZE) return nullptr;
    auto* f = static_cast<KroFile*>(TorvexMemAlloc(sizeof(KroFile)));
    if (!f) return nullptr;
    std::memset(f, 0, sizeof *f);
    f->handle = plat::kInvalidFile;
    f->buffer_size = capacityFor(bufferSize);
    std::strcpy(f->name, name);
    f->known_size = kSizeUnknown;
    return f;
}

KroFile* finishOpen(KroFile* f, int32_t bufferSize, plat::FileHandle h) {
    if (h == plat::kInvalidFile) {
        TorvexMemFree(f);
        return nullptr;
    }
    f->handle = h;
    if (bufferSize == 0) ensureBuffer(f);
    return f;
}

void freeBuffer(KroFile* f) {
    TorvexMemFree(f->buffer_block);
    f->buffer_block = nullptr;
    f->buffer = nullptr;
}

// Writes the buffered data of write mode.
void writeBuffer(KroFile* f) {
    if (!f->writing || f->buffer_pos == 0) return;
    f->file_pos += osWrite(f, f->buffer, f->buffer_pos);
    f->buffer_pos = 0;
}

void putZeros(KroFile* f, uint64_t count) {
    static const uint8_t zeros[4096] = {};
    while (count) {
        uint32_t n = uint32_t(std::min<uint64_t>(count, sizeof zeros));
        KroFilePutNB(f, zeros, n);
        count -= n;
    }
}

}  // namespace

extern "C" KRO_API uint64_t KroFileSetPos(KroFile* f, uint64_t pos);
extern "C" KRO_API void KroFileFlush(KroFile* f, int32_t commit);
extern "C" KRO_API uint64_t KroFileGetPos(KroFile* f);

namespace {

// Read mode -> write mode at the same logical position. The read side's partial byte does
// not carry over.
void enterWriteMode(KroFile* f) {
    if (f->writing) return;
    if (f->buffer_size) {
        uint64_t pos = KroFileGetPos(f);
        f->buffer_pos = 0;
        f->bit_count = 0;
        f->writing = 1;
        f->buffer_fill = f->buffer_size;
        KroFileSetPos(f, pos);
    } else {
        f->writing = 1;
        f->bit_count = 0;
    }
}

// Write mode -> read mode at the same logical position (pending bits go out first).
void enterReadMode(KroFile* f) {
    if (!f->writing) return;
    uint64_t pos = KroFileGetPos(f);
    KroFileFlush(f, 0);
    if (f->known_size != kSizeUnknown && KroFileGetPos(f) > f->known_size) f->known_size = KroFileGetPos(f);
    f->writing = 0;
    f->buffer_fill = f->buffer_size;
    f->buffer_pos = f->buffer_fill;
    KroFileSetPos(f, pos);
}

}  // namespace

extern "C" {

KRO_API KroFile* KroFileOpen(int32_t bufferSize, const char* name, uint32_t mode) {
    if (!name || (mode != KRO_FILE_READ && mode != KRO_FILE_READWRITE)) return nullptr;
    KroFile* f = newRecord(bufferSize, name);
    if (!f) return nullptr;
    auto access = mode == KRO_FILE_READ ? plat::Access::Read : plat::Access::ReadWrite;
    f->buffer_pos = f->buffer_fill = f->buffer_size;  // read mode, buffer empty
    return finishOpen(f, bufferSize, plat::fileOpen(name, access, true));
}

static KroFile* createFile(int32_t bufferSize, const char* name, bool allowReaders) {
    KroFile* f = newRecord(bufferSize, name);
    if (!f) return nullptr;
    f->writing = 1;
    f->buffer_pos = 0;
    f->buffer_fill = f->buffer_size;
    return finishOpen(f, bufferSize, plat::fileCreate(name, allowReaders, true));
}

KRO_API KroFile* KroFileCreate(int32_t bufferSize, const char* name) { return createFile(bufferSize, name, false); }
KRO_API KroFile* KroFileCreateWithRead(int32_t bufferSize, const char* name) { return createFile(bufferSize, name, true); }

KRO_API void KroFileClose(KroFile* f) {
    if (!f) return;
    if (isOpen(f)) {
        KroFileFlush(f, 0);
        plat::fileClose(f->handle);
    }
    f->handle = plat::kInvalidFile;
    freeBuffer(f);
    TorvexMemFree(f);
}

KRO_API uint64_t KroFileGetPos(KroFile* f) {
    if (!isOpen(f)) return 0;
    if (f->writing) return f->file_pos + f->buffer_pos;
    return f->file_pos - f->buffer_fill + f->buffer_pos - (f->bit_count ? 1 : 0);
}

KRO_API void KroFileFlush(KroFile* f, int32_t commit) {
    if (!isOpen(f)) return;
    if (f->writing && f->bit_count) KroFileByteAlign(f);
    f->bit_count = 0;
    if (!f->writing) return;
    writeBuffer(f);
    if (commit) plat::fileFlush(f->handle, true);
}

KRO_API uint64_t KroFileSetPos(KroFile* f, uint64_t pos) {
    if (!isOpen(f)) return 0;
    uint64_t c = KroFileGetPos(f);
    if (pos == c) return c;
    if (f->known_size != kSizeUnknown && c > f->known_size) f->known_size = c;
    bool served = false;
    if (f->writing) {
        KroFileFlush(f, 0);
    } else if (pos >= f->file_pos - f->buffer_fill && pos < f->file_pos && f->buffer_pos < f->buffer_fill) {
        f->buffer_pos = uint32_t(pos - (f->file_pos - f->buffer_fill));
        served = true;
    } else {
        f->buffer_pos = f->buffer_fill;
    }
    if (!served) {
        plat::fileSeek(f->handle, pos);
        f->file_pos = pos;
    }
    f->bit_count = 0;
    return c;
}

KRO_API uint32_t KroFileGetNB(KroFile* f, void* dest, uint32_t count) {
    if (!isOpen(f) || count == 0 || !dest) return 0;
    enterReadMode(f);
    ensureBuffer(f);
    auto* out = static_cast<uint8_t*>(dest);
    uint32_t total = 0;
    for (;;) {
        uint32_t k = std::min(count, f->buffer_fill - f->buffer_pos);
        if (k) {
            std::memcpy(out, f->buffer + f->buffer_pos, k);
            f->buffer_pos += k;
            out += k;
            count -= k;
            total += k;
        }
        if (count == 0) return total;
        if (count < f->buffer_fill) {
            uint32_t got = osRead(f, f->buffer, f->buffer_size);
            f->buffer_fill = got;
            f->file_pos += got;
            f->buffer_pos = 0;
            if (got == 0) return total;
            continue;
        }
        // At least a buffer's worth: straight into the destination.
        uint32_t got = osRead(f, out, count);
        f->file_pos += got;
        return total + got;
    }
}

KRO_API uint32_t KroFilePutNB(KroFile* f, const void* src, uint32_t count) {
    if (!isOpen(f) || count == 0 || !src) return 0;
    enterWriteMode(f);
    ensureBuffer(f);
    auto* in = static_cast<const uint8_t*>(src);
    uint32_t total = 0;
    for (;;) {
        uint32_t room = f->buffer_fill - f->buffer_pos;
        if (room && (f->buffer_pos || count <= f->buffer_fill)) {
            uint32_t k = std::min(count, room);
            std::memcpy(f->buffer + f->buffer_pos, in, k);
            f->buffer_pos += k;
            in += k;
            count -= k;
            total += k;
        }
        if (count == 0) return total;
        writeBuffer(f);
        if (count < f->buffer_size) continue;
        uint32_t done = osWrite(f, in, count);
        f->file_pos += done;
        return total + done;
    }
}

KRO_API uint32_t KroFileGet(KroFile* f, void* dest, uint32_t count) {
    if (isOpen(f)) enterReadMode(f);
    uint32_t n = KroFileGetNB(f, dest, count);
    if (n && f->bit_count) {
        auto* p = static_cast<uint8_t*>(dest);
        uint32_t shift = f->bit_count;
        uint32_t rest = f->bit_byte >> shift;
        uint8_t last = p[n - 1];
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t b = p[i];
            p[i] = uint8_t(rest | (b << (8 - shift)));
            rest = b >> shift;
        }
        f->bit_byte = last;
    }
    return n;
}

KRO_API uint32_t KroFilePut(KroFile* f, const void* src, uint32_t count) {
    if (!isOpen(f) || !src) return 0;
    enterWriteMode(f);
    if (!f->bit_count) return KroFilePutNB(f, src, count);
    const auto* p = static_cast<const uint8_t*>(src);
    uint8_t chunk[4096];
    uint32_t total = 0;
    uint32_t shift = f->bit_count;
    while (count) {
        uint32_t n = std::min<uint32_t>(count, sizeof chunk);
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t acc = (uint32_t(p[i]) << shift) | f->bit_byte;
            chunk[i] = uint8_t(acc);
            f->bit_byte = acc >> 8;
        }
        total += KroFilePutNB(f, chunk, n);
        p += n;
        count -= n;
    }
    return total;
}

// Little-endian value of n bytes; missing bytes at the end of the file read as zero.
[[gnu::noinline]] static uint32_t getValue(KroFile* f, uint32_t n) {
    if (!isOpen(f)) return 0;
    uint8_t b[4] = {0, 0, 0, 0};
    if (!f->writing && !f->bit_count && f->buffer_fill - f->buffer_pos >= n) {
        std::memcpy(b, f->buffer + f->buffer_pos, n);
        f->buffer_pos += n;
    } else {
        KroFileGet(f, b, n);
    }
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

[[gnu::noinline]] static uint32_t putValue(KroFile* f, uint32_t value, uint32_t n) {
    if (!isOpen(f)) return value;
    uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    if (f->writing && !f->bit_count && f->buffer && f->buffer_fill - f->buffer_pos >= n) {
        std::memcpy(f->buffer + f->buffer_pos, b, n);
        f->buffer_pos += n;
    } else {
        KroFilePut(f, b, n);
    }
    return value;
}

// The byte accessors' fast paths need no open test: only an open record has buffered bytes
// (read mode) or buffer room with a buffer (write mode).
KRO_API uint32_t KroFileGet8(KroFile* f) {
    if (f && f->buffer_pos < f->buffer_fill && !(f->writing | f->bit_count)) return f->buffer[f->buffer_pos++];
    return getValue(f, 1);
}
KRO_API uint32_t KroFileGet16(KroFile* f) { return getValue(f, 2); }
KRO_API uint32_t KroFileGet32(KroFile* f) { return getValue(f, 4); }

KRO_API uint32_t KroFilePut8(KroFile* f, uint32_t value) {
    if (f && f->buffer_pos < f->buffer_fill && f->writing && !f->bit_count && f->buffer) {
        f->buffer[f->buffer_pos++] = uint8_t(value);
        return value;
    }
    return putValue(f, value, 1);
}
KRO_API uint32_t KroFilePut16(KroFile* f, uint32_t value) { return putValue(f, value, 2); }
KRO_API uint32_t KroFilePut32(KroFile* f, uint32_t value) { return putValue(f, value, 4); }

KRO_API uint32_t KroFileGetBits(KroFile* f, uint32_t count) {
    if (!isOpen(f) || count == 0) return 0;
    // Bits written but not yet out must not be read back as if they were the file's.
    enterReadMode(f);
    count = ((count - 1) & 31) + 1;
    if (!f->writing && f->buffer_fill - f->buffer_pos >= 8) {
        // Fast path with the same outcome as the byte-wise rules below: the stream continues
        // with the partial byte's unused bits, then the buffered bytes.
        uint64_t window;
        std::memcpy(&window, f->buffer + f->buffer_pos, 8);
        uint32_t avail = (8 - f->bit_count) & 7;
        uint64_t stream = avail ? (uint64_t(f->bit_byte >> f->bit_count) | (window << avail)) : window;
        uint32_t value = uint32_t(stream & (~uint64_t(0) >> (64 - count)));
        if (count > avail) {
            f->buffer_pos += (count - avail + 7) / 8;
            f->bit_byte = f->buffer[f->buffer_pos - 1];
        }
        f->bit_count = (f->bit_count + count) & 7;
        return value;
    }
    switch (count) {
        case 32: return KroFileGet32(f);
        case 24: return getValue(f, 3);
        case 16: return KroFileGet16(f);
        case 8: return KroFileGet8(f);
        default: break;
    }
    uint32_t low = 0, whole = 0;
    if (count > 24) {
        low = getValue(f, 3);
        whole = 24;
    } else if (count > 16) {
        low = KroFileGet16(f);
        whole = 16;
    } else if (count > 8) {
        low = KroFileGet8(f);
        whole = 8;
    }
    uint32_t r = count - whole;
    uint32_t avail = (8 - f->bit_count) & 7;
    uint32_t bits = avail ? (f->bit_byte >> f->bit_count) : 0;
    if (avail < r) {
        uint8_t b = 0;
        KroFileGetNB(f, &b, 1);
        f->bit_byte = b;
        bits |= uint32_t(b) << avail;
    }
    f->bit_count = (f->bit_count + r) & 7;
    return low | ((bits & ((1u << r) - 1)) << whole);
}

KRO_API void KroFilePutBits(KroFile* f, uint32_t value, uint32_t count) {
    if (!isOpen(f) || count == 0) return;
    // Switch before merging: the read side's partial byte is no pending output, and a switch
    // later would drop the bits merged now.
    enterWriteMode(f);
    count = ((count - 1) & 31) + 1;
    if (KroFilePutBitsFast(f, value, count)) return;
    switch (count) {
        case 32: KroFilePut32(f, value); return;
        case 24: putValue(f, value, 3); return;
        case 16: KroFilePut16(f, value); return;
        case 8: KroFilePut8(f, value); return;
        default: break;
    }
    uint32_t whole = 0;
    if (count > 24) {
        putValue(f, value, 3);
        whole = 24;
    } else if (count > 16) {
        KroFilePut16(f, value);
        whole = 16;
    } else if (count > 8) {
        KroFilePut8(f, value);
        whole = 8;
    }
    uint32_t r = count - whole;
    value >>= whole;
    uint32_t acc = (f->bit_count ? f->bit_byte : 0u) | ((value & ((1u << r) - 1)) << f->bit_count);
    f->bit_count += r;
    if (f->bit_count >= 8) {
        uint8_t b = uint8_t(acc);
        KroFilePutNB(f, &b, 1);
        f->bit_count &= 7;
        f->bit_byte = acc >> 8;
    } else {
        f->bit_byte = acc;
    }
}

KRO_API uint64_t KroFileBitPos(KroFile* f) { return isOpen(f) ? f->bit_count : 0; }

KRO_API void KroFileByteAlign(KroFile* f) {
    if (!isOpen(f)) return;
    if (f->writing && f->bit_count) KroFilePutBits(f, 0, 8 - f->bit_count);
    f->bit_count = 0;
}

KRO_API uint64_t KroFileSize(KroFile* f) {
    if (!isOpen(f)) return 0;
    if (f->known_size == kSizeUnknown) {
        int64_t s = plat::fileSize(f->handle);
        f->known_size = s < 0 ? 0 : uint64_t(s);
    }
    return std::max(f->known_size, KroFileGetPos(f));
}

KRO_API void KroFileAlign(KroFile* f, uint32_t alignment) {
    if (!isOpen(f)) return;
    KroFileByteAlign(f);
    if (alignment <= 1) return;  // 0 is treated as 1: every position is aligned
    uint64_t p = KroFileGetPos(f);
    uint64_t rem = p % alignment;
    if (rem == 0) return;
    uint64_t target = p + alignment - rem;
    uint64_t size = KroFileSize(f);
    if (target <= size) {
        KroFileSetPos(f, target);
        return;
    }
    KroFileSetPos(f, size);
    putZeros(f, target - size);
}

KRO_API int32_t KroFileIsInBuffer(KroFile* f, uint64_t pos) {
    if (!isOpen(f) || f->writing) return 0;
    return pos >= f->file_pos - f->buffer_fill && pos < f->file_pos && f->buffer_pos < f->buffer_fill;
}

KRO_API int32_t KroFileAtEnd(KroFile* f) {
    if (!isOpen(f)) return 1;
    if (f->known_size == kSizeUnknown) KroFileSize(f);
    return KroFileGetPos(f) >= f->known_size;
}

KRO_API char* KroFileGetName(KroFile* f, char* dest) {
    if (!isOpen(f)) return nullptr;
    if (dest) std::strcpy(dest, f->name);
    return f->name;
}

KRO_API char* KroFileGetLine(KroFile* f, char* dest, uint32_t destSize) {
    if (!dest) return dest;
    if (destSize < 2 || !isOpen(f)) {
        if (destSize) dest[0] = 0;
        return dest;
    }
    uint32_t n = 0;
    while (n < destSize - 1 && !KroFileAtEnd(f)) {
        char c = char(KroFileGet8(f));
        dest[n++] = c;
        if (c == '\n') break;
    }
    while (n && (dest[n - 1] == '\n' || dest[n - 1] == '\r')) --n;
    dest[n] = 0;
    return dest;
}

KRO_API uint32_t KroFileGetTime(KroFile* f) {
    if (!isOpen(f)) return 0;
    return uint32_t(plat::fileGetWriteTime(f->handle) >> 32);
}

KRO_API void KroFileSetTime(KroFile* f, uint32_t time) {
    if (!isOpen(f)) return;
    KroFileFlush(f, 0);
    plat::fileSetTimes(f->handle, uint64_t(time) << 32);
}

KRO_API int32_t KroFileErase(const char* name) {
    if (!name) return 2;
    return int32_t(plat::fileErase(name));
}

KRO_API int32_t KroFileRename(const char* newName, const char* existingName) {
    if (!newName || !existingName) return 2;
    return int32_t(plat::fileRename(newName, existingName));
}

}  // extern "C"
