// Flic reader: FLI and FLC animations decoded frame by frame into a caller's 8-bit picture.
//
// Files are hostile input. Every size in a frame is checked against the frame's data and the
// picture: a chunk shorter than its own header, a byte run of length 0, or lines and packets
// beyond the picture end that frame where they stand, so a damaged frame never loops or writes
// outside the picture; the frames after it are read as usual.
#include "kroutil/flic.h"

#include <algorithm>
#include <cstring>

#include "base/mem_block.h"
#include "bytes/byte_order.h"

struct KroFlicPrivate {
    char name[KRO_FILE_NAME_SIZE];
    uint8_t* frame;  // the current frame's chunk data
    uint32_t frameRoom;
    uint64_t fileSize;
};

namespace {

constexpr uint16_t kFliMagic = 0xAF11;
constexpr uint16_t kFlcMagic = 0xAF12;
constexpr uint16_t kFrameType = 0xF1FA;
constexpr uint32_t kMaxSide = 8192;
constexpr uint32_t kHeaderSize = 128;
constexpr uint32_t kFrameHeaderSize = 16;

enum ChunkType : uint16_t {
    kWordDelta = 7,
    kPalette256 = 4,
    kPalette64 = 11,
    kByteDelta = 12,
    kBlack = 13,
    kByteRun = 15,
    kCopy = 16,
};

bool hasExtension(const char* name) {
    const char* dot = std::strrchr(name, '.');
    if (!dot) return false;
    return !std::strchr(dot, '/') && !std::strchr(dot, '\\');
}

KroFile* openNamed(const char* name, char* opened) {
    size_t n = std::strlen(name);
    if (n >= KRO_FILE_NAME_SIZE) return nullptr;
    if (hasExtension(name)) {
        std::memcpy(opened, name, n + 1);
        return KroFileOpen(4096, opened, KRO_FILE_READ);
    }
    if (n + 4 >= KRO_FILE_NAME_SIZE) return nullptr;
    for (const char* ext : {".flc", ".fli"}) {
        std::memcpy(opened, name, n);
        std::memcpy(opened + n, ext, 5);
        if (KroFile* f = KroFileOpen(4096, opened, KRO_FILE_READ)) return f;
    }
    return nullptr;
}

// One frame's decoding state: the picture and its geometry.
struct Target {
    uint8_t* picture;
    uint32_t pitch;
    uint32_t width;
    uint32_t height;
    uint8_t* row(uint32_t y) const { return picture + size_t(y) * pitch; }
};

// Writes n copies of value at x of a row, or the part of them inside the picture's width.
void fillClipped(uint8_t* row, uint32_t x, uint32_t n, uint8_t value, uint32_t width) {
    if (x >= width) return;
    std::memset(row + x, value, std::min(n, width - x));
}

void copyClipped(uint8_t* row, uint32_t x, const uint8_t* src, uint32_t n, uint32_t width) {
    if (x >= width) return;
    std::memcpy(row + x, src, std::min(n, width - x));
}

// Palette packets: entries to skip, entries to set (0 = 256), then their components. Entries
// past the 256th and components past the data are not stored. True when an entry was set.
bool applyPalette(uint8_t* palette, bytes::ByteReader& r, bool sixBit) {
    uint32_t packets = r.u16le();
    uint32_t index = 0;
    bool changed = false;
    for (uint32_t p = 0; p < packets && r.has(2); ++p) {
        index += r.u8();
        uint32_t count = r.u8();
        if (count == 0) count = 256;
        for (uint32_t k = 0; k < count; ++k, ++index) {
            const uint8_t* rgb = r.take(3);
            if (!rgb || index >= 256) return changed;
            for (int c = 0; c < 3; ++c)
                palette[index * 3 + c] = sixBit ? uint8_t(rgb[c] << 2 | rgb[c] >> 4) : rgb[c];
            changed = true;
        }
    }
    return changed;
}

// The decoders return false when the frame must end (its data is damaged).

bool decodeByteDelta(const Target& t, bytes::ByteReader& r) {
    uint32_t y = r.u16le();
    uint32_t lines = r.u16le();
    if (!r.ok()) return false;
    for (uint32_t l = 0; l < lines; ++l, ++y) {
        if (y >= t.height || !r.has(1)) return false;
        uint8_t* row = t.row(y);
        uint32_t packets = r.u8();
        uint32_t x = 0;
        for (uint32_t p = 0; p < packets; ++p) {
            x += r.u8();
            int8_t n = int8_t(r.u8());
            if (!r.ok() || (n != 0 && x >= t.width)) return false;
            if (n > 0) {
                const uint8_t* src = r.take(uint32_t(n));
                if (!src) return false;
                copyClipped(row, x, src, uint32_t(n), t.width);
                x += uint32_t(n);
            } else if (n < 0) {
                uint8_t value = r.u8();
                if (!r.ok()) return false;
                fillClipped(row, x, uint32_t(-n), value, t.width);
                x += uint32_t(-n);
            }
        }
    }
    return true;
}

bool decodeWordDelta(const Target& t, bytes::ByteReader& r) {
    uint32_t lines = r.u16le();
    uint32_t y = 0;
    for (uint32_t l = 0; l < lines; ++l, ++y) {
        uint32_t packets = 0;
        for (;;) {
            if (y >= t.height || !r.has(2)) return false;
            uint16_t word = r.u16le();
            if ((word & 0xC000) == 0xC000) {
                y += 0x10000u - word;  // minus the word lines skipped
            } else if ((word & 0xC000) == 0x8000) {
                t.row(y)[t.width - 1] = uint8_t(word);
            } else {
                packets = word;
                break;
            }
        }
        uint8_t* row = t.row(y);
        uint32_t x = 0;
        for (uint32_t p = 0; p < packets; ++p) {
            x += r.u8();
            int8_t n = int8_t(r.u8());
            if (!r.ok() || (n != 0 && x >= t.width)) return false;
            if (n > 0) {
                const uint8_t* src = r.take(uint32_t(n) * 2);
                if (!src) return false;
                copyClipped(row, x, src, uint32_t(n) * 2, t.width);
                x += uint32_t(n) * 2;
            } else if (n < 0) {
                const uint8_t* word = r.take(2);
                if (!word) return false;
                for (int k = 0; k < -n; ++k, x += 2) {
                    if (x < t.width) row[x] = word[0];
                    if (x + 1 < t.width) row[x + 1] = word[1];
                }
            }
        }
    }
    return true;
}

bool decodeByteRun(const Target& t, bytes::ByteReader& r) {
    for (uint32_t y = 0; y < t.height; ++y) {
        uint8_t* row = t.row(y);
        r.skip(1);  // the old packet count, which writers do not keep reliably
        uint32_t x = 0;
        while (x < t.width) {
            int8_t n = int8_t(r.u8());
            if (!r.ok() || n == 0) return false;
            if (n < 0) {
                const uint8_t* src = r.take(uint32_t(-n));
                if (!src) return false;
                copyClipped(row, x, src, uint32_t(-n), t.width);
                x += uint32_t(-n);
            } else {
                uint8_t value = r.u8();
                if (!r.ok()) return false;
                fillClipped(row, x, uint32_t(n), value, t.width);
                x += uint32_t(n);
            }
        }
    }
    return true;
}

bool decodeCopy(const Target& t, bytes::ByteReader& r) {
    for (uint32_t y = 0; y < t.height; ++y) {
        uint32_t n = uint32_t(std::min<size_t>(t.width, r.remaining()));
        std::memcpy(t.row(y), r.take(n), n);
        if (n < t.width) return false;
    }
    return true;
}

// Applies a frame's chunks; true when one of them set palette entries.
bool applyChunks(KroFlic* flic, const Target& t, const uint8_t* data, uint32_t size, uint32_t chunks) {
    bytes::ByteReader frame(data, size);
    bool paletteChanged = false;
    for (uint32_t c = 0; c < chunks && frame.has(6); ++c) {
        uint32_t chunkSize = frame.u32le();
        uint16_t type = frame.u16le();
        if (chunkSize < 6) break;
        uint32_t length = uint32_t(std::min<size_t>(chunkSize - 6, frame.remaining()));
        bytes::ByteReader r(frame.take(length), length);
        bool goOn = true;
        switch (type) {
        case kPalette256:
        case kPalette64:
            paletteChanged |= applyPalette(flic->palette, r, type == kPalette64);
            break;
        case kByteDelta:
            goOn = decodeByteDelta(t, r);
            break;
        case kWordDelta:
            goOn = decodeWordDelta(t, r);
            break;
        case kBlack:
            for (uint32_t y = 0; y < t.height; ++y) std::memset(t.row(y), 0, t.width);
            break;
        case kByteRun:
            goOn = decodeByteRun(t, r);
            break;
        case kCopy:
            goOn = decodeCopy(t, r);
            break;
        default:
            break;  // stamps and unknown chunks: skipped by their size
        }
        if (!goOn) break;
    }
    return paletteChanged;
}

void clearPadding(const KroFlic* flic, uint8_t* picture) {
    if (flic->pitch > flic->width)
        for (uint32_t y = 0; y < flic->height; ++y)
            std::memset(picture + size_t(y) * flic->pitch + flic->width, 0, flic->pitch - flic->width);
    size_t rows = flic->roundedHeight - flic->height;
    std::memset(picture + size_t(flic->height) * flic->pitch, 0, rows * flic->pitch);
}

bool growFrameBuffer(KroFlicPrivate* p, uint32_t size) {
    if (size <= p->frameRoom) return true;
    uint32_t room = std::max<uint32_t>(size, 65536);
    auto* block = static_cast<uint8_t*>(TorvexMemAlloc(room));
    if (!block) return false;
    TorvexMemFree(p->frame);
    p->frame = block;
    p->frameRoom = room;
    return true;
}

void rewind(KroFlic* flic) {
    KroFileSetPos(flic->file, flic->frame1Offset);
    flic->framesRead = 0;
}

}  // namespace

KRO_API KroFlic* KroFlicOpen(const char* name) {
    if (!name) return nullptr;
    auto* p = static_cast<KroFlicPrivate*>(TorvexMemAlloc(sizeof(KroFlicPrivate)));
    if (!p) return nullptr;
    std::memset(p, 0, sizeof(*p));
    KroFile* file = openNamed(name, p->name);
    uint8_t header[kHeaderSize];
    if (!file || KroFileGet(file, header, kHeaderSize) != kHeaderSize) {
        KroFileClose(file);
        TorvexMemFree(p);
        return nullptr;
    }
    bytes::ByteReader h(header, kHeaderSize);
    uint32_t headerSize = h.u32le();
    uint16_t magic = h.u16le();
    uint16_t frames = h.u16le();
    uint16_t width = h.u16le();
    uint16_t height = h.u16le();
    uint16_t depth = h.u16le();
    h.seek(16);
    uint32_t speed = h.u32le();
    h.seek(26);
    int32_t exact = h.s32();
    h.seek(80);
    uint32_t frame1 = h.u32le();

    bool fli = magic == kFliMagic;
    bool usable = (fli || (magic == kFlcMagic && depth == 8)) && frames > 0 && width >= 1 && width <= kMaxSide &&
                  height >= 1 && height <= kMaxSide;
    if (!usable) {
        KroFileClose(file);
        TorvexMemFree(p);
        return nullptr;
    }
    int32_t rate;
    if (fli) {
        // 1/70 s units; a period beyond the field's range is held at its largest value.
        uint64_t period = uint64_t(speed) * 100000 / 70;
        rate = -int32_t(std::min<uint64_t>(period, INT32_MAX));
        frame1 = kHeaderSize;
    } else {
        uint32_t ms = (speed == 0 || speed > 30000) ? 200 : speed;
        rate = -int32_t(ms * 100);
        // Our writer keeps the exact period beside the rounded milliseconds.
        if (exact < 0 && -int64_t(exact) / 100 == int64_t(speed)) rate = exact;
        // Some writers leave the offset of frame 1 empty; their frames follow the header.
        if (frame1 == 0) frame1 = kHeaderSize;
    }

    auto* flic = static_cast<KroFlic*>(TorvexMemAlloc(sizeof(KroFlic)));
    if (!flic) {
        KroFileClose(file);
        TorvexMemFree(p);
        return nullptr;
    }
    std::memset(flic, 0, sizeof(*flic));
    flic->headerSize = headerSize;
    flic->pitch = (width + 3u) & ~3u;
    flic->roundedHeight = (height + 3u) & ~3u;
    flic->frameCount = frames;
    flic->frameRate = rate;
    flic->width = width;
    flic->height = height;
    flic->file = file;
    flic->frame1Offset = frame1;
    flic->priv = p;
    p->fileSize = KroFileSize(file);
    rewind(flic);
    return flic;
}

KRO_API int32_t KroFlicGetNext(KroFlic* flic, uint8_t* picture) {
    if (!flic || !picture || !flic->file) return 0;
    KroFlicPrivate* p = flic->priv;
    if (flic->framesRead >= flic->frameCount) rewind(flic);
    if (flic->framesRead == 0) std::memset(picture, 0, size_t(flic->pitch) * flic->roundedHeight);
    ++flic->framesRead;
    flic->lastFrameSize = 0;

    // Frames of other types (prefix and private chunks) are passed over by their size.
    uint8_t header[kFrameHeaderSize];
    uint32_t size = 0;
    for (;;) {
        uint64_t at = KroFileGetPos(flic->file);
        if (KroFileGet(flic->file, header, kFrameHeaderSize) != kFrameHeaderSize) return 1;
        size = bytes::load32le(header);
        if (bytes::load16le(header + 4) == kFrameType) break;
        if (size < kFrameHeaderSize || at + size > p->fileSize) return 1;
        KroFileSetPos(flic->file, at + size);
    }
    uint64_t left = p->fileSize - std::min(p->fileSize, KroFileGetPos(flic->file));
    uint32_t dataSize = size > kFrameHeaderSize ? size - kFrameHeaderSize : 0;
    dataSize = uint32_t(std::min<uint64_t>(dataSize, left));
    bool paletteChanged = false;
    if (dataSize > 0) {
        if (!growFrameBuffer(p, dataSize)) return 1;
        dataSize = KroFileGet(flic->file, p->frame, dataSize);
        flic->lastFrameSize = dataSize;
        Target t{picture, flic->pitch, flic->width, flic->height};
        paletteChanged = applyChunks(flic, t, p->frame, dataSize, bytes::load16le(header + 6));
    }
    clearPadding(flic, picture);
    return paletteChanged ? 2 : 1;
}

KRO_API int32_t KroFlicGoto(KroFlic* flic, uint32_t frame, uint8_t* picture) {
    if (!flic || !picture || !flic->file) return 0;
    frame = std::min(frame, flic->frameCount);
    if (flic->framesRead >= frame) rewind(flic);
    int32_t result = 1;
    while (flic->framesRead < frame)
        if (KroFlicGetNext(flic, picture) == 2) result = 2;
    return result;
}

KRO_API uint8_t* KroFlicGetPalette(KroFlic* flic) { return flic ? flic->palette : nullptr; }

KRO_API char* KroFlicGetName(KroFlic* flic, char* dest) {
    if (!flic || !flic->file) return nullptr;
    if (!dest) return flic->priv->name;
    std::memcpy(dest, flic->priv->name, std::strlen(flic->priv->name) + 1);
    return dest;
}

KRO_API void KroFlicClose(KroFlic* flic) {
    if (!flic) return;
    KroFileClose(flic->file);
    if (flic->priv) TorvexMemFree(flic->priv->frame);
    TorvexMemFree(flic->priv);
    TorvexMemFree(flic);
}
