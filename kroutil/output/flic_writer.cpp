// Flic writer: 8-bit FLC animations, each frame stored as the smallest chunk the encoders make.
//
// Frame 1 is a byte run or a plain copy; later frames are nothing (unchanged), a byte delta
// (320 x 200 only, the size older players expect it at) or a word delta, falling back to the
// frame-1 forms when the delta is no smaller. At close the ring frame leads from the last
// picture back to the first, so that players can loop without decoding frame 1 again.
//
// The encoders treat positions past the end of a line as differing from everything: none of
// them reads outside the picture, whatever the width.
#include "kroutil/flic.h"

#include <algorithm>
#include <cstring>

#include "base/mem_block.h"
#include "bytes/byte_order.h"

struct KroOFlic {
    KroFile* file;
    uint32_t width;
    uint32_t height;
    bool error;
    uint32_t frames;
    uint8_t* previous;  // width x height each
    uint8_t* first;
    uint8_t* work;
    uint32_t frame2Offset;
    uint8_t palette[768];  // all zero until a palette is given
    uint8_t firstPalette[768];
    // Our own bookkeeping.
    uint64_t position;  // bytes written so far
    uint8_t header[128];
    char name[KRO_FILE_NAME_SIZE];
};

namespace {

constexpr uint32_t kMaxSide = 8192;
constexpr uint32_t kMaxFrames = 65535;
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;
constexpr uint16_t kFrameType = 0xF1FA;
constexpr uint32_t kFileBuffer = 64000;

enum ChunkType : uint16_t { kPalette256 = 4, kWordDelta = 7, kByteDelta = 12, kByteRun = 15, kCopy = 16 };

bool hasExtension(const char* name) {
    const char* dot = std::strrchr(name, '.');
    if (!dot) return false;
    return !std::strchr(dot, '/') && !std::strchr(dot, '\\');
}

// Bounded output: a write that would make the data reach the limit fails the encoding.
struct Out {
    uint8_t* data;
    size_t limit;
    size_t pos = 0;
    bool room(size_t n) const { return pos + n < limit; }
    void put(uint8_t b) { data[pos++] = b; }
    void put16(uint16_t v) {
        bytes::store16le(data + pos, v);
        pos += 2;
    }
    void put(const uint8_t* src, size_t n) {
        std::memcpy(data + pos, src, n);
        pos += n;
    }
};

// Byte run: per line a packet-count byte left 0, then runs (count, byte) of two or more equal
// bytes and literals (-length, bytes) of bytes each followed by a different one. 0 when the
// output would reach the limit.
size_t encodeByteRun(const uint8_t* picture, uint32_t width, uint32_t height, uint8_t* out, size_t limit) {
    Out o{out, limit};
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = picture + size_t(y) * width;
        if (!o.room(1)) return 0;
        o.put(0);
        uint32_t x = 0;
        while (x < width) {
            uint8_t b = row[x];
            uint32_t run = 1;
            while (run < 127 && x + run < width && row[x + run] == b) ++run;
            if (run >= 2) {
                if (!o.room(2)) return 0;
                o.put(uint8_t(run));
                o.put(b);
                x += run;
                continue;
            }
            uint32_t length = 0;
            while (length < 127 && x + length < width && (x + length + 1 == width || row[x + length] != row[x + length + 1]))
                ++length;
            if (!o.room(1 + length)) return 0;
            o.put(uint8_t(-int32_t(length)));
            o.put(row + x, length);
            x += length;
        }
    }
    return o.pos;
}

// The last position of a line that differs from the previous picture, or -1.
int32_t lastDifference(const uint8_t* row, const uint8_t* prev, uint32_t width) {
    int32_t x = int32_t(width);
    while (x >= 8 && std::memcmp(row + x - 8, prev + x - 8, 8) == 0) x -= 8;
    while (x > 0 && row[x - 1] == prev[x - 1]) --x;
    return x - 1;
}

// Byte delta (320 x 200): first changed line, line count, then per line packets of (skip,
// n > 0 literal bytes | n < 0 run byte). 0 when the output would exceed the limit.
size_t encodeByteDelta(const uint8_t* picture, const uint8_t* previous, uint32_t width, uint32_t height,
                       uint8_t* out, size_t limit) {
    auto lineSame = [&](uint32_t y) {
        return std::memcmp(picture + size_t(y) * width, previous + size_t(y) * width, width) == 0;
    };
    uint32_t f = 0;
    while (f < height && lineSame(f)) ++f;
    if (f == height) return 0;
    uint32_t l = height - 1;
    while (lineSame(l)) --l;
    Out o{out, limit + 1};  // this encoding may use exactly the limit
    if (!o.room(4)) return 0;
    o.put16(uint16_t(f));
    o.put16(uint16_t(l - f + 1));
    const int32_t w = int32_t(width);
    for (uint32_t y = f; y <= l; ++y) {
        const uint8_t* row = picture + size_t(y) * width;
        const uint8_t* prev = previous + size_t(y) * width;
        // Four bytes from t equal to the previous picture's / all equal; past the line: no.
        auto sameAsPrevious4 = [&](int32_t t) { return t + 4 <= w && std::memcmp(row + t, prev + t, 4) == 0; };
        auto allEqual4 = [&](int32_t t) {
            return t + 4 <= w && row[t] == row[t + 1] && row[t] == row[t + 2] && row[t] == row[t + 3];
        };
        if (!o.room(1)) return 0;
        size_t countAt = o.pos;
        o.put(0);
        int32_t q = lastDifference(row, prev, width);
        uint32_t packets = 0;
        int32_t x = 0;
        while (x <= q) {
            int32_t skip = 0;
            while (skip < 255 && row[x] == prev[x]) ++skip, ++x;
            if (!o.room(1)) return 0;
            o.put(uint8_t(skip));
            if (allEqual4(x)) {
                int32_t run = 1;
                while (x + run <= q && run < 127 && row[x + run] == row[x] && !sameAsPrevious4(x + run)) ++run;
                if (!o.room(2)) return 0;
                o.put(uint8_t(-run));
                o.put(row[x]);
                x += run;
            } else {
                int32_t length = 1;
                for (int32_t t = x + 1; t < w && length < 127; ++t, ++length)
                    if (sameAsPrevious4(t) || (t + 3 < q && allEqual4(t))) break;
                if (!o.room(1 + size_t(length))) return 0;
                o.put(uint8_t(length));
                o.put(row + x, size_t(length));
                x += length;
            }
            // A line's packets are counted in one byte.
            if (++packets > 255) return 0;
            out[countAt] = uint8_t(packets);
        }
    }
    return o.pos;
}

// Word delta: the count of lines that carry packets, then per changed line the unchanged lines
// before it as minus their number, the packet count and packets of (skip in bytes, n > 0 literal
// words | n < 0 run word). 0 when the output would reach the limit.
size_t encodeWordDelta(const uint8_t* picture, const uint8_t* previous, uint32_t width, uint32_t height,
                       uint8_t* out, size_t limit) {
    Out o{out, limit};
    if (!o.room(2)) return 0;
    o.put16(0);
    const int32_t words = int32_t(width / 2);
    uint32_t lines = 0;
    uint32_t unchanged = 0;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = picture + size_t(y) * width;
        const uint8_t* prev = previous + size_t(y) * width;
        int32_t last = lastDifference(row, prev, width);
        if (last < 0) {
            ++unchanged;
            continue;
        }
        int32_t s = last / 2;
        auto word = [&](int32_t i) { return bytes::load16le(row + 2 * i); };
        auto same = [&](int32_t i) { return i < words && std::memcmp(row + 2 * i, prev + 2 * i, 2) == 0; };
        auto sameAsPrevious2 = [&](int32_t t) { return same(t) && same(t + 1); };
        auto equal3 = [&](int32_t t) { return t + 2 < words && word(t) == word(t + 1) && word(t) == word(t + 2); };
        if (unchanged) {
            if (!o.room(2)) return 0;
            o.put16(uint16_t(-int32_t(unchanged)));
            unchanged = 0;
        }
        if (!o.room(2)) return 0;
        size_t countAt = o.pos;
        o.put16(0);
        ++lines;
        uint32_t packets = 0;
        int32_t x = 0;
        while (x <= s) {
            int32_t skip = 0;
            while (skip < 127 && same(x)) ++skip, ++x;
            if (!o.room(1)) return 0;
            o.put(uint8_t(skip * 2));
            if (x == s || (x + 1 < words && word(x) == word(x + 1))) {
                int32_t run = 1;
                while (x + run <= s && run < 127 && word(x + run) == word(x) && !sameAsPrevious2(x + run)) ++run;
                if (!o.room(3)) return 0;
                o.put(uint8_t(-run));
                o.put(row + 2 * x, 2);
                x += run;
            } else {
                int32_t length = 1;
                for (int32_t t = x + 1; t <= s && length < 127; ++t, ++length)
                    if (sameAsPrevious2(t) || ((s - t) * 2 > 4 && equal3(t))) break;
                if (!o.room(1 + 2 * size_t(length))) return 0;
                o.put(uint8_t(length));
                o.put(row + 2 * x, 2 * size_t(length));
                x += length;
            }
            ++packets;
        }
        bytes::store16le(out + countAt, uint16_t(packets));
    }
    bytes::store16le(out, uint16_t(lines));
    return o.pos;
}

// Palette chunk data for a change from current to next: 0 when nothing changed. The first
// frame sends all 256 entries in one packet; later frames send the runs of changed entries.
size_t encodePalette(const uint8_t* current, const uint8_t* next, bool firstFrame, uint8_t* out) {
    if (std::memcmp(current, next, 768) == 0) return 0;
    if (firstFrame) {
        bytes::store16le(out, 1);
        out[2] = 0;
        out[3] = 0;  // 0 entries = 256
        std::memcpy(out + 4, next, 768);
        return 772;
    }
    size_t pos = 2;
    uint32_t packets = 0;
    uint32_t previousEnd = 0;
    for (uint32_t i = 0; i < 256;) {
        if (std::memcmp(current + i * 3, next + i * 3, 3) == 0) {
            ++i;
            continue;
        }
        uint32_t end = i;
        while (end < 256 && std::memcmp(current + end * 3, next + end * 3, 3) != 0) ++end;
        out[pos++] = uint8_t(i - previousEnd);
        out[pos++] = uint8_t(end - i);  // 256 is stored as 0
        std::memcpy(out + pos, next + i * 3, (end - i) * 3);
        pos += (end - i) * 3;
        ++packets;
        previousEnd = end;
        i = end;
    }
    bytes::store16le(out, uint16_t(packets));
    return pos;
}

void write(KroOFlic* o, const void* data, uint32_t size) {
    if (o->error) return;
    if (o->position + size > kMaxFileSize) {
        o->error = true;
        return;
    }
    KroFilePut(o->file, data, size);
    o->position += size;
    if (o->file->write_error) o->error = true;
}

// Appends one frame showing picture with palette (null: unchanged), delta against the previous
// picture unless it is frame 1.
void writeFrame(KroOFlic* o, const uint8_t* picture, const uint8_t* palette, bool firstFrame) {
    const size_t area = size_t(o->width) * o->height;
    uint8_t paletteChunk[6 + 2 + 256 * 2 + 768];
    size_t paletteSize = palette ? encodePalette(o->palette, palette, firstFrame, paletteChunk + 6) : 0;
    if (paletteSize) {
        bytes::store32le(paletteChunk, uint32_t(paletteSize + 6));
        bytes::store16le(paletteChunk + 4, kPalette256);
        std::memcpy(o->palette, palette, 768);
    }

    uint16_t pictureType = 0;
    const uint8_t* pictureData = o->work;
    size_t pictureSize = 0;
    if (!firstFrame && std::memcmp(picture, o->previous, area) != 0) {
        if (o->width == 320 && o->height == 200) {
            pictureSize = encodeByteDelta(picture, o->previous, o->width, o->height, o->work, area);
            pictureType = kByteDelta;
        } else {
            pictureSize = encodeWordDelta(picture, o->previous, o->width, o->height, o->work, area);
            pictureType = kWordDelta;
        }
    }
    if (firstFrame || (pictureSize == 0 && pictureType != 0)) {
        pictureSize = encodeByteRun(picture, o->width, o->height, o->work, area);
        pictureType = kByteRun;
        if (pictureSize == 0) {
            pictureData = picture;
            pictureSize = area;
            pictureType = kCopy;
        }
    }

    uint8_t header[16] = {};
    uint8_t chunkHeader[6];
    uint64_t frameSize = 16 + (paletteSize ? paletteSize + 6 : 0) + (pictureSize ? pictureSize + 6 : 0);
    if (frameSize > kMaxFileSize) {
        o->error = true;
        return;
    }
    bytes::store32le(header, uint32_t(frameSize));
    bytes::store16le(header + 4, kFrameType);
    bytes::store16le(header + 6, uint16_t((paletteSize ? 1 : 0) + (pictureSize ? 1 : 0)));
    write(o, header, 16);
    if (paletteSize) write(o, paletteChunk, uint32_t(paletteSize + 6));
    if (pictureSize) {
        bytes::store32le(chunkHeader, uint32_t(pictureSize + 6));
        bytes::store16le(chunkHeader + 4, pictureType);
        write(o, chunkHeader, 6);
        write(o, pictureData, uint32_t(pictureSize));
    }
    std::memcpy(o->previous, picture, area);
}

void freeRecord(KroOFlic* o) {
    TorvexMemFree(o->previous);
    TorvexMemFree(o->first);
    TorvexMemFree(o->work);
    TorvexMemFree(o);
}

}  // namespace

KRO_API KroOFlic* KroOFlicCreate(const char* name, int32_t width, int32_t height, int32_t rate) {
    if (!name || width < 1 || height < 1 || uint32_t(width) > kMaxSide || uint32_t(height) > kMaxSide || (width & 1))
        return nullptr;
    auto* o = static_cast<KroOFlic*>(TorvexMemAlloc(sizeof(KroOFlic)));
    if (!o) return nullptr;
    std::memset(o, 0, sizeof(*o));
    size_t n = std::strlen(name);
    bool extension = hasExtension(name);
    if (n + (extension ? 0 : 4) >= KRO_FILE_NAME_SIZE) {
        freeRecord(o);
        return nullptr;
    }
    std::memcpy(o->name, name, n);
    if (!extension) std::memcpy(o->name + n, ".flc", 4);
    o->width = uint32_t(width);
    o->height = uint32_t(height);
    size_t area = size_t(width) * size_t(height);
    o->previous = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(area)));
    o->first = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(area)));
    o->work = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(area)));
    if (!o->previous || !o->first || !o->work) {
        freeRecord(o);
        return nullptr;
    }
    o->file = KroFileCreate(kFileBuffer, o->name);
    if (!o->file) {
        freeRecord(o);
        return nullptr;
    }
    bool is320x200 = width == 320 && height == 200;
    uint8_t* h = o->header;
    bytes::store16le(h + 4, 0xAF12);
    bytes::store16le(h + 8, uint16_t(width));
    bytes::store16le(h + 10, uint16_t(height));
    bytes::store16le(h + 12, 8);
    bytes::store16le(h + 14, 3);
    bytes::store32le(h + 16, uint32_t(rate < 0 ? rate / -100 : rate));
    bytes::store32le(h + 26, uint32_t(rate < 0 ? rate : 0));
    bytes::store16le(h + 38, is320x200 ? 6 : 1);
    bytes::store16le(h + 40, is320x200 ? 5 : 1);
    bytes::store32le(h + 80, 128);
    write(o, h, 128);
    if (o->error) {
        KroFileClose(o->file);
        KroFileErase(o->name);
        freeRecord(o);
        return nullptr;
    }
    return o;
}

KRO_API int32_t KroOFlicPutNext(KroOFlic* o, const uint8_t* picture, const uint8_t* palette) {
    if (!o || !picture) return 0;
    if (o->frames >= kMaxFrames) o->error = true;
    if (o->error) return 0;
    bool firstFrame = o->frames == 0;
    writeFrame(o, picture, palette, firstFrame);
    if (firstFrame) {
        std::memcpy(o->first, picture, size_t(o->width) * o->height);
        std::memcpy(o->firstPalette, o->palette, 768);
        o->frame2Offset = uint32_t(o->position);
    }
    ++o->frames;
    return o->error ? 0 : 1;
}

KRO_API uint32_t KroOFlicClose(KroOFlic* o) {
    if (!o) return 0;
    if (o->frames > 0) writeFrame(o, o->first, o->firstPalette, false);
    uint8_t* h = o->header;
    bytes::store32le(h, uint32_t(o->position));
    bytes::store16le(h + 6, uint16_t(o->frames));
    bytes::store32le(h + 84, o->frame2Offset);
    if (!o->error) {
        KroFileSetPos(o->file, 0);
        KroFilePut(o->file, h, 128);
        KroFileFlush(o->file, 0);
        if (o->file->write_error) o->error = true;
    }
    KroFileClose(o->file);
    uint32_t size = uint32_t(o->position);
    if (o->error) {
        KroFileErase(o->name);
        size = 0;
    }
    freeRecord(o);
    return size;
}
