// GIF over memory: the block scan, LZW decoding into rows, and the LZW encoder.
#include "kroutil/images/gif_codec.h"

#include <cstring>
#include <memory>
#include <new>

#include "bytes/bit_reader.h"
#include "bytes/byte_order.h"

namespace kroimg {

namespace {

constexpr uint32_t kMaxCodes = 4096;

// Skips a chain of data sub-blocks; false when the file ends inside it.
bool skipSubBlocks(const uint8_t* file, size_t size, size_t* pos) {
    for (;;) {
        if (*pos >= size) return false;
        uint8_t n = file[(*pos)++];
        if (n == 0) return true;
        if (size - *pos < n) return false;
        *pos += n;
    }
}

// Reads the header and the screen descriptor; leaves *pos behind the global table.
int32_t readScreen(const uint8_t* file, size_t size, GifStructure* s, size_t* pos) {
    if (size < 3 || std::memcmp(file, "GIF", 3) != 0) return kGifNotGif;
    int32_t version = 0;
    for (size_t i = 3; i < size && i < 6 && file[i] >= '0' && file[i] <= '9'; ++i) version = version * 10 + (file[i] - '0');
    s->version = version;
    if (size < 13) return kGifNotGif;
    s->screenWidth = bytes::load16le(file + 6);
    s->screenHeight = bytes::load16le(file + 8);
    s->screenPacked = file[10];
    *pos = 13;
    if (s->screenPacked & 0x80) {
        uint32_t entries = 2u << (s->screenPacked & 7);
        if (size - *pos < size_t(entries) * 3) return kGifTruncated;
        s->globalTable = file + *pos;
        s->globalEntries = entries;
        *pos += size_t(entries) * 3;
    }
    return kGifOk;
}

// Reads an image descriptor (after its ',') and its local table; leaves *pos at the code size byte.
bool readImageDescriptor(const uint8_t* file, size_t size, GifStructure* s, size_t* pos) {
    if (size - *pos < 9) return false;
    const uint8_t* d = file + *pos;
    s->left = bytes::load16le(d);
    s->top = bytes::load16le(d + 2);
    s->width = bytes::load16le(d + 4);
    s->height = bytes::load16le(d + 6);
    s->imagePacked = d[8];
    s->interlaced = (d[8] & 0x40) != 0;
    *pos += 9;
    if (d[8] & 0x80) {
        uint32_t entries = 2u << (d[8] & 7);
        if (size - *pos < size_t(entries) * 3) return false;
        s->localTable = file + *pos;
        s->localEntries = entries;
        *pos += size_t(entries) * 3;
    }
    return true;
}

}  // namespace

int32_t gifReadStructure(const uint8_t* file, size_t size, GifStructure* out) {
    GifStructure s;
    size_t pos = 0;
    int32_t r = readScreen(file, size, &s, &pos);
    if (r != kGifOk) return r;
    for (;;) {
        if (pos >= size) return kGifTruncated;
        uint8_t block = file[pos++];
        if (block == 0x21) {
            if (pos >= size) return kGifTruncated;
            uint8_t label = file[pos++];
            if (label == 0xF9 && pos < size && file[pos] >= 4 && size - pos > 4) {
                const uint8_t* g = file + pos + 1;
                s.disposal = (g[0] >> 2) & 7;
                s.userInput = (g[0] >> 1) & 1;
                s.delay = bytes::load16le(g + 1);
                s.transparent = (g[0] & 1) ? g[3] : -1;
            }
            if (!skipSubBlocks(file, size, &pos)) return kGifTruncated;
        } else if (block == 0x2C) {
            if (!readImageDescriptor(file, size, &s, &pos) || pos >= size) return kGifTruncated;
            s.codeSize = file[pos++];
            s.dataOffset = pos;
            *out = s;
            return kGifOk;
        } else {
            // The trailer, or a byte that starts no block: there is no image to read.
            return kGifNotGif;
        }
    }
}

int32_t gifCountImages(const uint8_t* file, size_t size, int32_t* count) {
    GifStructure s;
    size_t pos = 0;
    int32_t r = readScreen(file, size, &s, &pos);
    if (r == kGifNotGif) return r;
    int32_t images = 0;
    bool complete = false;
    while (r == kGifOk && pos < size) {
        uint8_t block = file[pos++];
        if (block == 0x21) {
            if (pos >= size) break;
            ++pos;
            if (!skipSubBlocks(file, size, &pos)) break;
        } else if (block == 0x2C) {
            if (!readImageDescriptor(file, size, &s, &pos) || pos >= size) break;
            ++pos;  // code size
            ++images;
            if (!skipSubBlocks(file, size, &pos)) break;
        } else {
            complete = block == 0x3B;
            break;
        }
    }
    // A file cut off after its images still tells how many it has.
    if (!complete && images == 0) return kGifTruncated;
    *count = images;
    return kGifOk;
}

void gifGatherSubBlocks(const uint8_t* file, size_t size, size_t offset, std::vector<uint8_t>* data, bool* cut) {
    data->clear();
    *cut = false;
    size_t pos = offset;
    // First the total, so that the data are copied once.
    size_t total = 0;
    for (;;) {
        if (pos >= size) {
            *cut = true;
            break;
        }
        uint8_t n = file[pos++];
        if (n == 0) break;
        size_t have = size - pos < n ? size - pos : n;
        total += have;
        pos += have;
        if (have < n) {
            *cut = true;
            break;
        }
    }
    data->resize(total);
    pos = offset;
    size_t at = 0;
    while (at < total) {
        uint8_t n = file[pos++];
        size_t have = total - at < n ? total - at : n;
        std::memcpy(data->data() + at, file + pos, have);
        at += have;
        pos += have;
    }
}

uint32_t gifInterlacedRow(uint32_t n, uint32_t height) {
    uint32_t p1 = (height + 7) / 8;
    if (n < p1) return 8 * n;
    uint32_t p2 = p1 + (height > 4 ? (height + 3) / 8 : 0);
    if (n < p2) return 8 * (n - p1) + 4;
    uint32_t p3 = p2 + (height >= 3 ? (height + 1) / 4 : 0);
    if (n < p3) return 4 * (n - p2) + 2;
    return 2 * (n - p3) + 1;
}

int32_t gifDecodeLzw(const uint8_t* data, size_t size, uint8_t codeSize, uint32_t width, uint32_t rowsWanted,
                     GifRowSink sink, void* context) {
    if (rowsWanted == 0 || width == 0) return kGifOk;
    if (codeSize < 1 || codeSize > 8) return kGifNotGif;
    // Each table entry: its prefix code, last byte, first byte and length. Strings are written
    // backwards straight into the pixel buffer, which keeps room for the longest one.
    struct Tables {
        uint16_t prefix[kMaxCodes];
        uint16_t length[kMaxCodes];
        uint8_t suffix[kMaxCodes];
        uint8_t first[kMaxCodes];
    };
    std::unique_ptr<Tables> t(new (std::nothrow) Tables);
    size_t blockRows = 65536 / width + 1;
    size_t cap = size_t(width) * blockRows;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[cap + kMaxCodes]);
    if (!t || !buf) return kGifMemory;

    const uint32_t clear = 1u << codeSize;
    const uint32_t end = clear + 1;
    for (uint32_t i = 0; i < clear; ++i) {
        t->prefix[i] = 0;
        t->length[i] = 1;
        t->suffix[i] = uint8_t(i);
        t->first[i] = uint8_t(i);
    }
    uint32_t bits = codeSize + 1u;
    uint32_t next = clear + 2;
    int32_t prev = -1;
    size_t fill = 0;
    uint32_t rowsDone = 0;
    bool failed = false;
    bytes::BitReaderLsb br(data, size);
    uint8_t* out = buf.get();

    // Pixels still to decode beyond the rows delivered and those waiting in the buffer.
    const uint64_t wanted = uint64_t(width) * rowsWanted;
    while (uint64_t(rowsDone) * width + fill < wanted) {
        uint32_t code = br.get(bits);
        if (br.overrun()) {
            failed = true;  // the data ran out
            break;
        }
        if (code == clear) {
            bits = codeSize + 1u;
            next = clear + 2;
            prev = -1;
            continue;
        }
        if (code == end) break;
        uint32_t len;
        if (prev < 0) {
            if (code >= clear) {
                failed = true;
                break;
            }
            out[fill] = uint8_t(code);
            len = 1;
        } else {
            if (code > next || (code == next && next >= kMaxCodes)) {
                failed = true;
                break;
            }
            if (next < kMaxCodes) {
                // The new entry is the previous string plus the first byte of this one (of the
                // previous one itself when the code is the entry being defined).
                uint8_t f = code < next ? t->first[code] : t->first[prev];
                t->prefix[next] = uint16_t(prev);
                t->suffix[next] = f;
                t->first[next] = t->first[prev];
                t->length[next] = uint16_t(t->length[prev] + 1);
                ++next;
                // A full table stops growing; valid files may still defer their clear code.
                if (next >= (1u << bits) && bits < 12) ++bits;
            }
            len = t->length[code];
            uint8_t* p = out + fill + len - 1;
            uint32_t c = code;
            for (uint32_t i = 0; i < len; ++i) {
                *p-- = t->suffix[c];
                c = t->prefix[c];
            }
        }
        prev = int32_t(code);
        fill += len;
        if (fill >= cap) {
            size_t rows = fill / width;
            size_t r = 0;
            for (; r < rows && rowsDone < rowsWanted; ++r, ++rowsDone) sink(context, rowsDone, out + r * width);
            std::memmove(out, out + rows * width, fill - rows * width);
            fill -= rows * width;
        }
    }
    size_t rows = fill / width;
    for (size_t r = 0; r < rows && rowsDone < rowsWanted; ++r, ++rowsDone) sink(context, rowsDone, out + r * width);
    return failed || rowsDone < rowsWanted ? kGifTruncated : kGifOk;
}

namespace {

// Packs codes least significant bit first.
struct CodePacker {
    std::vector<uint8_t>* out;
    uint64_t acc = 0;
    uint32_t count = 0;
    void put(uint32_t code, uint32_t bits) {
        acc |= uint64_t(code) << count;
        count += bits;
        while (count >= 8) {
            out->push_back(uint8_t(acc));
            acc >>= 8;
            count -= 8;
        }
    }
    void flush() {
        if (count) out->push_back(uint8_t(acc));
        acc = 0;
        count = 0;
    }
};

// The encoder's string table: (prefix code, pixel) -> code, open addressing. Entries carry a
// generation so that a reset costs nothing until the generations wrap.
struct StringTable {
    static constexpr uint32_t kSlots = 16384;
    uint32_t keys[kSlots];
    uint16_t codes[kSlots];
    uint32_t generation = 1;

    StringTable() { std::memset(keys, 0, sizeof keys); }
    void reset() {
        if (++generation == 4096) {
            std::memset(keys, 0, sizeof keys);
            generation = 1;
        }
    }
    static uint32_t slot(uint32_t key) { return (key * 2654435761u) >> 18; }
    int32_t find(uint32_t key) const {
        uint32_t stamped = generation << 20 | key;
        for (uint32_t i = slot(key);; i = (i + 1) & (kSlots - 1)) {
            if (keys[i] == stamped) return codes[i];
            if (keys[i] >> 20 != generation) return -1;
        }
    }
    void insert(uint32_t key, uint16_t code) {
        uint32_t i = slot(key);
        while (keys[i] >> 20 == generation) i = (i + 1) & (kSlots - 1);
        keys[i] = generation << 20 | key;
        codes[i] = code;
    }
};

}  // namespace

void gifEncodeLzw(uint8_t codeSize, uint32_t width, uint32_t height, GifPixelSource source, void* context,
                  std::vector<uint8_t>* out) {
    const uint32_t clear = 1u << codeSize;
    const uint32_t end = clear + 1;
    std::unique_ptr<StringTable> table(new StringTable);
    std::vector<uint8_t> row(width);
    CodePacker pack{out};
    uint32_t bits = codeSize + 1u;
    uint32_t next = clear + 2;
    pack.put(clear, bits);
    int32_t cur = -1;
    for (uint32_t y = 0; y < height; ++y) {
        source(context, y, row.data());
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t p = row[x];
            if (cur < 0) {
                cur = int32_t(p);
                continue;
            }
            uint32_t key = uint32_t(cur) << 8 | p;
            int32_t found = table->find(key);
            if (found >= 0) {
                cur = found;
                continue;
            }
            pack.put(uint32_t(cur), bits);
            if (next < kMaxCodes) {
                table->insert(key, uint16_t(next));
                ++next;
                if (next > (1u << bits) && bits < 12) ++bits;
            } else {
                // The table holds every 12-bit code: start again.
                pack.put(clear, bits);
                table->reset();
                bits = codeSize + 1u;
                next = clear + 2;
            }
            cur = int32_t(p);
        }
    }
    if (cur >= 0) {
        pack.put(uint32_t(cur), bits);
        // The reader adds an entry for this last code before it reads the end code.
        if (next >= (1u << bits) && bits < 12) ++bits;
    }
    pack.put(end, bits);
    pack.flush();
}

}  // namespace kroimg
