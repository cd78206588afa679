// RLA reader. Each scanline holds, one after the other, run-length-coded blocks: one per colour
// channel, one for the matte, then one per byte plane of each auxiliary channel. A block is a
// 16-bit big-endian byte count and packets (n < 0: -n literal bytes; n >= 0: the next byte
// n + 1 times) giving one byte per pixel.
//
// Scanline offsets and run lengths come from the file: anything pointing outside the data or
// past the line ends that scanline, whose remaining pixels stay cleared.
#include "kroutil/input/rla_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/mem_block.h"
#include "bytes/byte_order.h"

namespace {

constexpr uint32_t kHeaderSize = 740;
constexpr uint32_t kMaxSide = 4096;
constexpr uint32_t kNoLine = 0xFFFFFFFFu;

// Auxiliary channels in bit order, with the byte planes each takes per pixel.
constexpr char kChannelLetters[] = "ZEOUNRCBIGTVWM";
constexpr uint8_t kChannelPlanes[14] = {4, 1, 2, 8, 4, 4, 1, 3, 2, 3, 3, 8, 3, 2};
constexpr uint32_t kDepth = 1u << 0;
constexpr uint32_t kMotion = 1u << 3;
constexpr uint32_t kNormal = 1u << 4;

// Decodes one block into every fourth byte of dst (width pixels). False when the block does
// not fit in the data.
bool decodeBlock(bytes::ByteReader& r, uint8_t* dst, uint32_t width, uint32_t stride) {
    uint32_t count = r.u16be();
    const uint8_t* block = r.take(count);
    if (!block) return false;
    bytes::ByteReader b(block, count);
    uint32_t x = 0;
    while (x < width && b.has(1)) {
        int8_t n = int8_t(b.u8());
        if (n < 0) {
            uint32_t length = uint32_t(-int32_t(n));
            const uint8_t* src = b.take(length);
            if (!src) return false;
            length = std::min(length, width - x);
            for (uint32_t k = 0; k < length; ++k) dst[size_t(x + k) * stride] = src[k];
            x += length;
        } else {
            uint32_t length = std::min<uint32_t>(uint32_t(n) + 1, width - x);
            uint8_t value = b.u8();
            if (!b.ok()) return false;
            for (uint32_t k = 0; k < length; ++k) dst[size_t(x + k) * stride] = value;
            x += length;
        }
    }
    return true;
}

// Decodes a channel of `planes` byte planes into plane-interleaved values (most significant
// byte first) of `planes` bytes per pixel.
bool decodePlanes(bytes::ByteReader& r, uint8_t* values, uint32_t width, uint32_t planes) {
    for (uint32_t p = 0; p < planes; ++p)
        if (!decodeBlock(r, values + p, width, planes)) return false;
    return true;
}

float floatAt(const uint8_t* p) {
    uint32_t bits = bytes::load32be(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

uint8_t depthByte(float d) {
    if (std::isnan(d)) d = 0;
    if (d >= 0) return 255;
    if (d <= -1000) return 0;
    return uint8_t(std::lround((double(d) + 1000) * 255 / 1000 + 0.5));
}

uint8_t motionByte(float v) {
    if (!std::isfinite(v) || v <= 0) return 0;  // undefined motion shows as none
    if (v >= 1) return 255;
    return uint8_t(std::lround(double(v) * 255 + 0.5));
}

void decodeLine(const RlaImage* im, bytes::ByteReader& r, uint8_t* row, uint8_t* scratch) {
    const uint32_t w = im->width;
    const size_t panel = size_t(w) * 4;
    // Red, green, blue in the file; blue, green, red on the canvas.
    for (uint32_t c = 0; c < 3; ++c)
        if (!decodeBlock(r, row + (2 - c), w, 4)) return;
    if (im->matte && !decodeBlock(r, row + 3, w, 4)) return;
    const bool depth = im->channels & kDepth;
    for (uint32_t k = 0; k < 14; ++k) {
        uint32_t bit = 1u << k;
        if (!(im->channels & bit)) continue;
        uint32_t planes = kChannelPlanes[k];
        if (!decodePlanes(r, scratch, w, planes)) return;
        if (bit == kDepth) {
            for (uint32_t x = 0; x < w; ++x) row[panel + x * 4 + 3] = depthByte(floatAt(scratch + x * 4));
        } else if (bit == kMotion) {
            uint8_t* firstPanel = row + panel * (depth ? 3 : 2);
            uint8_t* secondPanel = row + panel * (depth ? 2 : 1);
            for (uint32_t x = 0; x < w; ++x) {
                firstPanel[x * 4 + 3] = motionByte(floatAt(scratch + x * 8));
                secondPanel[x * 4 + 3] = motionByte(floatAt(scratch + x * 8 + 4));
            }
        } else if (bit == kNormal) {
            for (uint32_t x = 0; x < w; ++x) {
                uint32_t v = bytes::load32be(scratch + x * 4);
                const uint8_t parts[3] = {uint8_t(v >> 22), uint8_t(v >> 12), uint8_t(v >> 2)};
                for (uint32_t p = 0; p < 3; ++p) std::memset(row + panel * (p + 1) + x * 4, parts[p], 3);
            }
        }
    }
}

}  // namespace

RlaImage* rlaOpen(const char* name) {
    KroFile* file = name ? KroFileOpen(4096, name, KRO_FILE_READ) : nullptr;
    if (!file) return nullptr;
    uint8_t header[kHeaderSize];
    if (KroFileGet(file, header, kHeaderSize) != kHeaderSize) {
        KroFileClose(file);
        return nullptr;
    }
    bytes::ByteReader h(header, kHeaderSize, bytes::Endian::big);
    h.seek(8);
    int32_t left = h.s16(), right = h.s16(), bottom = h.s16(), top = h.s16();
    h.seek(20);
    uint16_t colourChannels = h.u16();
    uint16_t matteChannels = h.u16();
    h.seek(26);
    int16_t revision = int16_t(h.u16());
    h.seek(658);
    uint16_t colourBits = h.u16();
    h.seek(662);
    uint16_t matteBits = h.u16();
    uint32_t width = uint32_t(std::abs(right - left)) + 1;
    uint32_t height = uint32_t(std::abs(bottom - top)) + 1;
    // The matte depth means nothing in a file without a matte.
    bool valid = width <= kMaxSide && height <= kMaxSide && colourChannels == 3 && (revision == -2 || revision == -3) &&
                 colourBits == 8 && (matteChannels == 0 || matteBits == 8);
    if (!valid) {
        KroFileClose(file);
        return nullptr;
    }

    uint32_t channels = 0;
    const char* text = reinterpret_cast<const char*>(header + 400);
    const char* paren = static_cast<const char*>(std::memchr(text, '(', strnlen(text, 64)));
    if (paren)
        for (const char* c = paren + 1; c < text + 64 && *c; ++c)
            if (const char* at = std::strchr(kChannelLetters, *c); at && *c)
                channels |= 1u << (at - kChannelLetters);
    uint32_t panels = 1;
    if ((channels & kNormal) || ((channels & kDepth) && (channels & kMotion)))
        panels = 4;
    else if (channels & (kDepth | kMotion))
        panels = 3;

    auto* im = static_cast<RlaImage*>(TorvexMemAlloc(sizeof(RlaImage)));
    auto* table = static_cast<uint32_t*>(TorvexMemAlloc(height * 4));
    auto* raw = static_cast<uint8_t*>(TorvexMemAlloc(height * 4));
    if (!im || !table || !raw || KroFileGet(file, raw, height * 4) != height * 4) {
        TorvexMemFree(im);
        TorvexMemFree(table);
        TorvexMemFree(raw);
        KroFileClose(file);
        return nullptr;
    }
    uint64_t dataStart = kHeaderSize + uint64_t(height) * 4;
    for (uint32_t i = 0; i < height; ++i) {
        uint32_t offset = bytes::load32be(raw + i * 4);
        uint32_t row = bottom < top ? height - 1 - i : i;
        table[row] = offset >= dataStart ? uint32_t(offset - dataStart) : kNoLine;
    }
    TorvexMemFree(raw);
    *im = RlaImage{width, height, panels, file, channels, matteChannels != 0, table, dataStart};
    return im;
}

bool rlaRead(RlaImage* im, uint8_t* picture, uint32_t rowBytes) {
    if (!im || !picture) return false;
    uint64_t fileSize = KroFileSize(im->file);
    uint64_t dataSize = fileSize > im->dataStart ? fileSize - im->dataStart : 0;
    if (dataSize >= 0xFFFFFFFFu) return false;
    auto* data = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(std::max<uint64_t>(dataSize, 1))));
    auto* scratch = static_cast<uint8_t*>(TorvexMemAlloc(im->width * 8));
    bool ok = data && scratch;
    if (ok) {
        KroFileSetPos(im->file, im->dataStart);
        dataSize = KroFileGet(im->file, data, uint32_t(dataSize));
        const size_t rowSize = size_t(im->width) * im->panels * 4;
        for (uint32_t y = 0; y < im->height; ++y) {
            uint8_t* row = picture + size_t(y) * rowBytes;
            std::memset(row, 0, rowSize);
            uint32_t offset = im->lineOffsets[y];
            if (offset == kNoLine || offset >= dataSize) continue;
            bytes::ByteReader r(data + offset, size_t(dataSize - offset), bytes::Endian::big);
            decodeLine(im, r, row, scratch);
        }
    }
    TorvexMemFree(data);
    TorvexMemFree(scratch);
    return ok;
}

void rlaClose(RlaImage* im) {
    if (!im) return;
    KroFileClose(im->file);
    TorvexMemFree(im->lineOffsets);
    TorvexMemFree(im);
}
