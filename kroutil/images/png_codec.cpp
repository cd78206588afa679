// PNG over memory: the chunk walk, inflate over the IDAT chain, unfiltering, Adam7, the row
// conversions into the image's depths, and the writer's filtering and deflate.
#include "kroutil/images/png_codec.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "bytes/byte_order.h"

namespace kroimg {

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// Decoded images above this many bytes are refused: rows and offsets stay within 32 bits.
constexpr uint64_t kMaxRawBytes = uint64_t(1) << 31;

struct Layout {
    uint8_t colorType, depth, allocBits, samples;
};
constexpr Layout kLayouts[15] = {
    {0, 1, 1, 1},  {0, 2, 8, 1},  {0, 4, 8, 1},  {0, 8, 8, 1},  {0, 16, 8, 1},
    {2, 8, 24, 3}, {2, 16, 24, 3}, {3, 1, 1, 1},  {3, 2, 8, 1},  {3, 4, 8, 1},
    {3, 8, 8, 1},  {4, 8, 8, 2},  {4, 16, 8, 2}, {6, 8, 24, 4}, {6, 16, 24, 4},
};

int findLayout(uint8_t colorType, uint8_t depth) {
    for (int i = 0; i < 15; ++i)
        if (kLayouts[i].colorType == colorType && kLayouts[i].depth == depth) return i;
    return -1;
}

constexpr uint32_t chunkType(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) << 24 | uint32_t(uint8_t(b)) << 16 | uint32_t(uint8_t(c)) << 8 | uint8_t(d);
}
constexpr uint32_t kIHDR = chunkType('I', 'H', 'D', 'R');
constexpr uint32_t kPLTE = chunkType('P', 'L', 'T', 'E');
constexpr uint32_t kIDAT = chunkType('I', 'D', 'A', 'T');
constexpr uint32_t kIEND = chunkType('I', 'E', 'N', 'D');
constexpr uint32_t kTRNS = chunkType('t', 'R', 'N', 'S');
constexpr uint32_t kBKGD = chunkType('b', 'K', 'G', 'D');
constexpr uint32_t kGAMA = chunkType('g', 'A', 'M', 'A');
constexpr uint32_t kSBIT = chunkType('s', 'B', 'I', 'T');
constexpr uint32_t kPHYS = chunkType('p', 'H', 'Y', 's');
constexpr uint32_t kOFFS = chunkType('o', 'F', 'F', 's');

uint32_t chunkCrc(const uint8_t* typeAndData, size_t n) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (n > 0) {
        uInt step = n > 0x40000000u ? 0x40000000u : uInt(n);
        crc = crc32(crc, typeAndData, step);
        typeAndData += step;
        n -= step;
    }
    return uint32_t(crc);
}

// Adam7: where each pass's pixels lie in the picture.
constexpr uint32_t kPassX0[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr uint32_t kPassDx[7] = {8, 8, 4, 4, 2, 2, 1};
constexpr uint32_t kPassY0[7] = {0, 0, 4, 0, 2, 0, 1};
constexpr uint32_t kPassDy[7] = {8, 8, 8, 4, 4, 2, 2};

uint32_t passSize(uint32_t full, uint32_t start, uint32_t step) {
    return full > start ? (full - start + step - 1) / step : 0;
}

}  // namespace

int32_t pngReadStructure(const uint8_t* file, size_t size, PngStructure* out) {
    PngStructure s;
    if (size < 8 || std::memcmp(file, kSignature, 8) != 0) return kPngBad;
    size_t pos = 8;
    bool seenHeader = false, seenEnd = false, seenIdat = false;
    while (!seenEnd) {
        if (size - pos < 12) return kPngBad;  // the file ends inside a chunk
        uint32_t length = bytes::load32be(file + pos);
        uint32_t type = bytes::load32be(file + pos + 4);
        if (length > 0x7FFFFFFFu || size - pos - 12 < length) return kPngBad;
        const uint8_t* data = file + pos + 8;
        // IDAT's CRC is checked by the loader as its data are used.
        if (type != kIDAT && chunkCrc(file + pos + 4, size_t(length) + 4) != bytes::load32be(data + length))
            return kPngBad;
        if (!seenHeader && type != kIHDR) return kPngBad;
        switch (type) {
        case kIHDR: {
            if (seenHeader || length != 13) return kPngBad;
            seenHeader = true;
            s.width = bytes::load32be(data);
            s.height = bytes::load32be(data + 4);
            s.depth = data[8];
            s.colorType = data[9];
            s.interlaced = data[12];
            if (s.width == 0 || s.height == 0 || s.width > 0x7FFFFFFFu || s.height > 0x7FFFFFFFu) return kPngBad;
            s.layout = findLayout(s.colorType, s.depth);
            if (s.layout < 0 || data[10] != 0 || data[11] != 0 || s.interlaced > 1) return kPngBad;
            const Layout& l = kLayouts[s.layout];
            s.allocBits = l.allocBits;
            s.samples = l.samples;
            s.bitsPerPixel = uint32_t(l.depth) * l.samples;
            s.rowBytes = (uint64_t(s.width) * s.bitsPerPixel + 7) / 8;
            if ((s.rowBytes + 1) * s.height > kMaxRawBytes) return kPngBad;
            break;
        }
        case kPLTE:
            if (!s.palette) {
                s.palette = data;
                s.paletteEntries = length / 3 > 256 ? 256 : length / 3;
            }
            break;
        case kIDAT:
            if (!seenIdat) {
                seenIdat = true;
                s.firstIdat = pos;
            }
            break;
        case kIEND:
            seenEnd = true;
            break;
        case kTRNS:
            if (s.hasTrns || length > 256) break;
            s.hasTrns = true;
            s.trnsBytes = length;
            if (s.colorType == 3) {
                uint32_t smallest = 256;
                for (uint32_t i = 0; i < length; ++i)
                    if (data[i] < smallest) {
                        smallest = data[i];
                        s.trnsIndex = int32_t(i);
                    }
            } else {
                for (uint32_t i = 0; i < 3 && 2 * i + 1 < length; ++i) s.trnsValues[i] = bytes::load16be(data + 2 * i);
            }
            break;
        case kBKGD:
            if (s.hasBkgd || length > 6) break;
            s.hasBkgd = true;
            s.bkgdLength = length;
            if (length == 1) {
                s.bkgd[0] = data[0];
            } else {
                for (uint32_t i = 0; 2 * i + 1 < length; ++i) {
                    uint16_t v = bytes::load16be(data + 2 * i);
                    std::memcpy(s.bkgd + 2 * i, &v, 2);
                }
            }
            break;
        case kGAMA:
            if (length >= 4) {
                s.hasGamma = true;
                s.gamma = bytes::load32be(data);
            }
            break;
        case kSBIT:
            s.sbitLength = length > 4 ? 4 : length;
            std::memcpy(s.sbit, data, s.sbitLength);
            break;
        case kPHYS:
            if (length >= 9) {
                s.hasPhys = true;
                s.physX = bytes::load32be(data);
                s.physY = bytes::load32be(data + 4);
                s.physUnit = data[8];
            }
            break;
        case kOFFS:
            if (length >= 9) {
                s.hasOffs = true;
                s.offsX = int32_t(bytes::load32be(data));
                s.offsY = int32_t(bytes::load32be(data + 4));
                s.offsUnit = data[8];
            }
            break;
        default:
            // Bit 5 of the first type byte marks an ancillary chunk, which may be skipped; a
            // critical chunk we do not know means we cannot show the picture faithfully.
            if (!(type & 0x20000000u)) return kPngBad;
            break;
        }
        pos += size_t(length) + 12;
    }
    // Without image data, or a palette image without its palette, there is nothing to show.
    if (!seenIdat) return kPngBad;
    if (s.colorType == 3 && s.paletteEntries == 0) return kPngBad;
    *out = s;
    return kPngOk;
}

namespace {

// Hands out the data of consecutive IDAT chunks, checking each one's CRC as it is entered.
struct IdatChain {
    const uint8_t* file;
    size_t size;
    size_t next;  // offset of the next chunk
    bool crcFailed = false;

    bool advance(const uint8_t** data, uInt* length) {
        for (;;) {
            if (size - next < 12) return false;
            uint32_t n = bytes::load32be(file + next);
            if (bytes::load32be(file + next + 4) != kIDAT || n > 0x7FFFFFFFu || size - next - 12 < n) return false;
            if (chunkCrc(file + next + 4, size_t(n) + 4) != bytes::load32be(file + next + 8 + n)) {
                crcFailed = true;
                return false;
            }
            *data = file + next + 8;
            *length = n;
            next += size_t(n) + 12;
            if (n > 0) return true;
        }
    }
};

struct Inflater {
    z_stream z{};
    IdatChain chain;
    bool open = false;
    bool ended = false;

    explicit Inflater(const IdatChain& c) : chain(c) {}
    ~Inflater() {
        if (open) inflateEnd(&z);
    }
    bool start() {
        if (inflateInit2(&z, 15) != Z_OK) return false;
        open = true;
        return true;
    }
    // Fills exactly n bytes; false when the data are damaged, run out or end before.
    bool read(uint8_t* out, size_t n) {
        while (n > 0) {
            uInt step = n > 0x40000000u ? 0x40000000u : uInt(n);
            z.next_out = out;
            z.avail_out = step;
            while (z.avail_out > 0) {
                if (ended) return false;
                if (z.avail_in == 0) {
                    const uint8_t* d;
                    uInt len;
                    if (!chain.advance(&d, &len)) return false;
                    z.next_in = const_cast<Bytef*>(d);
                    z.avail_in = len;
                }
                int r = inflate(&z, Z_NO_FLUSH);
                if (r == Z_STREAM_END) {
                    ended = true;
                    if (z.avail_out > 0) return false;
                } else if (r != Z_OK && r != Z_BUF_ERROR) {
                    return false;
                }
            }
            out += step;
            n -= step;
        }
        return true;
    }
    // After the last row the stream must end, with no further image bytes and no bytes left
    // in the IDAT data behind it.
    bool finish() {
        uint8_t extra;
        while (!ended) {
            z.next_out = &extra;
            z.avail_out = 1;
            if (z.avail_in == 0) {
                const uint8_t* d;
                uInt len;
                if (!chain.advance(&d, &len)) return false;
                z.next_in = const_cast<Bytef*>(d);
                z.avail_in = len;
            }
            int r = inflate(&z, Z_NO_FLUSH);
            if (z.avail_out == 0) return false;
            if (r == Z_STREAM_END) ended = true;
            else if (r != Z_OK && r != Z_BUF_ERROR) return false;
        }
        if (z.avail_in > 0) return false;
        const uint8_t* d;
        uInt len;
        return !chain.advance(&d, &len) && !chain.crcFailed;
    }
};

// Undoing the filters. `prev` is the row above in the same pass (zeros for the first row).
template <unsigned Bpp>
void unfilterSub(uint8_t* cur, size_t n) {
    for (size_t i = Bpp; i < n; ++i) cur[i] = uint8_t(cur[i] + cur[i - Bpp]);
}
void unfilterUp(uint8_t* cur, const uint8_t* prev, size_t n) {
    for (size_t i = 0; i < n; ++i) cur[i] = uint8_t(cur[i] + prev[i]);
}
template <unsigned Bpp>
void unfilterAverage(uint8_t* cur, const uint8_t* prev, size_t n) {
    size_t first = n < Bpp ? n : Bpp;
    for (size_t i = 0; i < first; ++i) cur[i] = uint8_t(cur[i] + (prev[i] >> 1));
    for (size_t i = Bpp; i < n; ++i) cur[i] = uint8_t(cur[i] + ((unsigned(cur[i - Bpp]) + prev[i]) >> 1));
}
inline uint8_t paethPredict(int a, int b, int c) {
    int pa = std::abs(b - c);
    int pb = std::abs(a - c);
    int pc = std::abs(a + b - 2 * c);
    int ab = pb < pa ? b : a;
    int pab = pb < pa ? pb : pa;
    return uint8_t(pc < pab ? c : ab);
}
template <unsigned Bpp>
void unfilterPaeth(uint8_t* cur, const uint8_t* prev, size_t n) {
    size_t first = n < Bpp ? n : Bpp;
    for (size_t i = 0; i < first; ++i) cur[i] = uint8_t(cur[i] + prev[i]);
    for (size_t i = Bpp; i < n; ++i) cur[i] = uint8_t(cur[i] + paethPredict(cur[i - Bpp], prev[i], prev[i - Bpp]));
}

template <unsigned Bpp>
void unfilterRowT(uint8_t filter, uint8_t* cur, const uint8_t* prev, size_t n) {
    switch (filter) {
    case 1: unfilterSub<Bpp>(cur, n); break;
    case 2: unfilterUp(cur, prev, n); break;
    case 3: unfilterAverage<Bpp>(cur, prev, n); break;
    case 4: unfilterPaeth<Bpp>(cur, prev, n); break;
    default: break;  // 0, and unknown filters read as None
    }
}

void unfilterRow(uint8_t filter, uint8_t* cur, const uint8_t* prev, size_t n, unsigned bpp) {
    switch (bpp) {
    case 1: unfilterRowT<1>(filter, cur, prev, n); break;
    case 2: unfilterRowT<2>(filter, cur, prev, n); break;
    case 3: unfilterRowT<3>(filter, cur, prev, n); break;
    case 4: unfilterRowT<4>(filter, cur, prev, n); break;
    case 6: unfilterRowT<6>(filter, cur, prev, n); break;
    default: unfilterRowT<8>(filter, cur, prev, n); break;
    }
}

// Turns unfiltered file rows into the image's form.
struct RowConverter {
    const PngStructure& png;
    uint8_t indexMap[256];  // palette indices beyond the PLTE read as 0
    std::unique_ptr<uint8_t[]> out;
    bool ok = false;

    explicit RowConverter(const PngStructure& p) : png(p) {
        for (unsigned i = 0; i < 256; ++i) indexMap[i] = i < png.paletteEntries ? uint8_t(i) : 0;
        size_t outBytes = png.allocBits == 24 ? size_t(png.width) * 3 : png.allocBits == 8 ? png.width : size_t(png.rowBytes);
        out.reset(new (std::nothrow) uint8_t[outBytes + 8]);
        ok = out != nullptr;
    }

    // Returns the converted row (which may be `row` itself when no work is needed).
    const uint8_t* convert(const uint8_t* row) {
        uint32_t w = png.width;
        uint8_t* o = out.get();
        switch (png.layout) {
        case 0:
        case 3:
            return row;
        case 7:
            if (png.paletteEntries >= 2) return row;
            std::memset(o, 0, size_t(png.rowBytes));
            return o;
        case 1:
            for (uint32_t x = 0; x < w; ++x) o[x] = uint8_t(((row[x >> 2] >> (6 - 2 * (x & 3))) & 3) * 85);
            return o;
        case 2:
            for (uint32_t x = 0; x < w; ++x) o[x] = uint8_t(((row[x >> 1] >> (4 - 4 * (x & 1))) & 15) * 17);
            return o;
        case 4:
            for (uint32_t x = 0; x < w; ++x) o[x] = row[2 * size_t(x)];
            return o;
        case 8:
            for (uint32_t x = 0; x < w; ++x) o[x] = indexMap[(row[x >> 2] >> (6 - 2 * (x & 3))) & 3];
            return o;
        case 9:
            for (uint32_t x = 0; x < w; ++x) o[x] = indexMap[(row[x >> 1] >> (4 - 4 * (x & 1))) & 15];
            return o;
        case 10:
            if (png.paletteEntries == 256) return row;
            for (uint32_t x = 0; x < w; ++x) o[x] = indexMap[row[x]];
            return o;
        case 11:
            for (uint32_t x = 0; x < w; ++x) o[x] = row[2 * size_t(x)];
            return o;
        case 12:
            for (uint32_t x = 0; x < w; ++x) o[x] = row[4 * size_t(x)];
            return o;
        case 5:
            for (uint32_t x = 0; x < w; ++x, row += 3, o += 3) {
                o[0] = row[2];
                o[1] = row[1];
                o[2] = row[0];
            }
            return out.get();
        case 6:
            for (uint32_t x = 0; x < w; ++x, row += 6, o += 3) {
                o[0] = row[4];
                o[1] = row[2];
                o[2] = row[0];
            }
            return out.get();
        case 13:
            for (uint32_t x = 0; x < w; ++x, row += 4, o += 3) {
                o[0] = row[2];
                o[1] = row[1];
                o[2] = row[0];
            }
            return out.get();
        default:  // 14
            for (uint32_t x = 0; x < w; ++x, row += 8, o += 3) {
                o[0] = row[4];
                o[1] = row[2];
                o[2] = row[0];
            }
            return out.get();
        }
    }
};

// Copies pixel `from` of a packed or byte row to pixel `to` of another row of the same depth.
inline void copyPixel(const uint8_t* src, uint32_t from, uint8_t* dst, uint32_t to, uint32_t bitsPerPixel) {
    if (bitsPerPixel >= 8) {
        uint32_t b = bitsPerPixel / 8;
        std::memcpy(dst + size_t(to) * b, src + size_t(from) * b, b);
        return;
    }
    uint32_t perByte = 8 / bitsPerPixel;
    uint32_t mask = (1u << bitsPerPixel) - 1;
    uint32_t v = (src[from / perByte] >> (8 - bitsPerPixel * (from % perByte + 1))) & mask;
    uint32_t shift = 8 - bitsPerPixel * (to % perByte + 1);
    uint8_t& d = dst[to / perByte];
    d = uint8_t((d & ~(mask << shift)) | v << shift);
}

int32_t decodeStraight(Inflater& inf, const PngStructure& png, uint32_t storedRows, RowConverter& conv,
                       PngRowSink sink, void* context) {
    size_t rowLen = size_t(png.rowBytes) + 1;
    unsigned bpp = png.bitsPerPixel < 8 ? 1 : png.bitsPerPixel / 8;
    // Several rows are inflated at a time; slot 0 keeps the row above the block.
    size_t blockRows = (256 * 1024) / rowLen;
    if (blockRows < 1) blockRows = 1;
    if (blockRows > png.height) blockRows = png.height;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[(blockRows + 1) * rowLen]);
    if (!buf) return kPngMemory;
    std::memset(buf.get(), 0, rowLen);
    for (uint32_t y = 0; y < png.height;) {
        size_t rows = png.height - y < blockRows ? png.height - y : blockRows;
        if (!inf.read(buf.get() + rowLen, rows * rowLen)) return kPngBad;
        for (size_t r = 1; r <= rows; ++r, ++y) {
            uint8_t* row = buf.get() + r * rowLen;
            unfilterRow(row[0], row + 1, row + 1 - rowLen, rowLen - 1, bpp);
            if (y < storedRows) sink(context, y, conv.convert(row + 1));
        }
        std::memcpy(buf.get(), buf.get() + rows * rowLen, rowLen);
    }
    return kPngOk;
}

int32_t decodeInterlaced(Inflater& inf, const PngStructure& png, uint32_t storedRows, RowConverter& conv,
                         PngRowSink sink, void* context) {
    size_t fullRow = size_t(png.rowBytes);
    unsigned bpp = png.bitsPerPixel < 8 ? 1 : png.bitsPerPixel / 8;
    // The passes are gathered into the whole picture in file form, then converted row by row.
    uint32_t keepRows = storedRows < png.height ? storedRows : png.height;
    std::unique_ptr<uint8_t[]> picture(new (std::nothrow) uint8_t[fullRow * keepRows + 1]);
    std::unique_ptr<uint8_t[]> rows(new (std::nothrow) uint8_t[2 * (fullRow + 1) + 16]);
    if (!picture || !rows) return kPngMemory;
    std::memset(picture.get(), 0, fullRow * keepRows + 1);
    for (int p = 0; p < 7; ++p) {
        uint32_t pw = passSize(png.width, kPassX0[p], kPassDx[p]);
        uint32_t ph = passSize(png.height, kPassY0[p], kPassDy[p]);
        // An empty pass has no rows at all, not even filter bytes.
        if (pw == 0 || ph == 0) continue;
        size_t len = (uint64_t(pw) * png.bitsPerPixel + 7) / 8;
        uint8_t* prev = rows.get();
        uint8_t* cur = rows.get() + len + 1;
        std::memset(prev, 0, len + 1);
        for (uint32_t r = 0; r < ph; ++r) {
            if (!inf.read(cur, len + 1)) return kPngBad;
            unfilterRow(cur[0], cur + 1, prev + 1, len, bpp);
            uint32_t y = kPassY0[p] + r * kPassDy[p];
            if (y < keepRows) {
                uint8_t* dst = picture.get() + size_t(y) * fullRow;
                for (uint32_t i = 0, x = kPassX0[p]; i < pw; ++i, x += kPassDx[p])
                    copyPixel(cur + 1, i, dst, x, png.bitsPerPixel);
            }
            uint8_t* t = prev;
            prev = cur;
            cur = t;
        }
    }
    for (uint32_t y = 0; y < keepRows; ++y) sink(context, y, conv.convert(picture.get() + size_t(y) * fullRow));
    return kPngOk;
}

}  // namespace

int32_t pngDecodeRows(const uint8_t* file, size_t size, const PngStructure& png, uint32_t storedRows,
                      PngRowSink sink, void* context) {
    RowConverter conv(png);
    if (!conv.ok) return kPngMemory;
    Inflater inf(IdatChain{file, size, png.firstIdat});
    if (!inf.start()) return kPngMemory;
    int32_t r = png.interlaced ? decodeInterlaced(inf, png, storedRows, conv, sink, context)
                               : decodeStraight(inf, png, storedRows, conv, sink, context);
    if (r != kPngOk) return r;
    return inf.finish() ? kPngOk : kPngBad;
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

inline uint32_t magnitude(uint8_t b) { return b < 128 ? b : 256u - b; }

// Filters `row` (n bytes) with `filter` into `out`; returns the sum of signed magnitudes.
template <unsigned Bpp>
uint32_t filterRowT(int filter, const uint8_t* row, const uint8_t* prev, size_t n, uint8_t* out) {
    uint32_t sum = 0;
    size_t first = n < Bpp ? n : Bpp;
    switch (filter) {
    case 0:
        for (size_t i = 0; i < n; ++i) sum += magnitude(out[i] = row[i]);
        break;
    case 1:
        for (size_t i = 0; i < first; ++i) sum += magnitude(out[i] = row[i]);
        for (size_t i = Bpp; i < n; ++i) sum += magnitude(out[i] = uint8_t(row[i] - row[i - Bpp]));
        break;
    case 2:
        for (size_t i = 0; i < n; ++i) sum += magnitude(out[i] = uint8_t(row[i] - prev[i]));
        break;
    case 3:
        for (size_t i = 0; i < first; ++i) sum += magnitude(out[i] = uint8_t(row[i] - (prev[i] >> 1)));
        for (size_t i = Bpp; i < n; ++i)
            sum += magnitude(out[i] = uint8_t(row[i] - ((unsigned(row[i - Bpp]) + prev[i]) >> 1)));
        break;
    default:
        for (size_t i = 0; i < first; ++i) sum += magnitude(out[i] = uint8_t(row[i] - prev[i]));
        for (size_t i = Bpp; i < n; ++i)
            sum += magnitude(out[i] = uint8_t(row[i] - paethPredict(row[i - Bpp], prev[i], prev[i - Bpp])));
        break;
    }
    return sum;
}

uint32_t filterRow(int filter, const uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp, uint8_t* out) {
    return bpp == 3 ? filterRowT<3>(filter, row, prev, n, out) : filterRowT<1>(filter, row, prev, n, out);
}

struct ChunkWriter {
    PngOutput output;
    void* context;
    bool failed = false;

    void chunk(uint32_t type, const uint8_t* data, size_t n) {
        if (failed) return;
        uint8_t head[8];
        bytes::store32be(head, uint32_t(n));
        bytes::store32be(head + 4, type);
        uLong crc = crc32(0L, head + 4, 4);
        if (n) crc = crc32(crc, data, uInt(n));
        uint8_t tail[4];
        bytes::store32be(tail, uint32_t(crc));
        if (!output(context, head, 8) || (n && !output(context, data, n)) || !output(context, tail, 4)) failed = true;
    }
};

constexpr size_t kIdatSize = 8192;

struct Deflater {
    z_stream z{};
    bool open = false;
    ChunkWriter& writer;
    uint8_t buffer[kIdatSize];

    explicit Deflater(ChunkWriter& w) : writer(w) {}
    ~Deflater() {
        if (open) deflateEnd(&z);
    }
    bool start(bool filtered) {
        if (deflateInit2(&z, 6, Z_DEFLATED, 15, 8, filtered ? Z_FILTERED : Z_DEFAULT_STRATEGY) != Z_OK) return false;
        open = true;
        z.next_out = buffer;
        z.avail_out = kIdatSize;
        return true;
    }
    // Returns kPngOk, kPngDeflate or -3 (output failed).
    int32_t put(const uint8_t* data, size_t n, bool last) {
        z.next_in = const_cast<Bytef*>(data);
        z.avail_in = uInt(n);
        for (;;) {
            int r = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            if (r == Z_STREAM_ERROR) return kPngDeflate;
            if (z.avail_out == 0) {
                writer.chunk(kIDAT, buffer, kIdatSize);
                if (writer.failed) return -3;
                z.next_out = buffer;
                z.avail_out = kIdatSize;
                continue;
            }
            if (last ? r == Z_STREAM_END : z.avail_in == 0) break;
            if (r != Z_OK && r != Z_BUF_ERROR) return kPngDeflate;
        }
        if (last && z.avail_out < kIdatSize) {
            writer.chunk(kIDAT, buffer, kIdatSize - z.avail_out);
            if (writer.failed) return -3;
        }
        return kPngOk;
    }
};

}  // namespace

int pngChooseFilter(const uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[n + 1]);
    if (!scratch) return 0;
    int best = 0;
    uint32_t bestSum = 0xFFFFFFFFu;
    for (int f = 0; f < 5; ++f) {
        uint32_t s = filterRow(f, row, prev, n, bpp, scratch.get());
        if (s < bestSum) {
            bestSum = s;
            best = f;
        }
    }
    return best;
}

int32_t pngEncode(const PngWriteLayout& layout, PngRowSource source, void* sourceContext, PngOutput output,
                  void* outputContext) {
    ChunkWriter w{output, outputContext};
    if (!output(outputContext, kSignature, 8)) return -3;
    uint8_t ihdr[13];
    bytes::store32be(ihdr, layout.width);
    bytes::store32be(ihdr + 4, layout.height);
    ihdr[8] = layout.depth;
    ihdr[9] = layout.colorType;
    ihdr[10] = 0;
    ihdr[11] = 0;
    ihdr[12] = layout.interlaced ? 1 : 0;
    w.chunk(kIHDR, ihdr, 13);
    if (layout.colorType == 3) w.chunk(kPLTE, layout.paletteRgb, size_t(layout.paletteEntries) * 3);
    uint8_t phys[9];
    bytes::store32be(phys, 11812);
    bytes::store32be(phys + 4, 11812);
    phys[8] = 1;
    w.chunk(kPHYS, phys, 9);
    if (w.failed) return -3;

    unsigned bitsPerPixel = layout.colorType == 2 ? 24 : layout.depth;
    unsigned bpp = bitsPerPixel < 8 ? 1 : bitsPerPixel / 8;
    // Palette images and images below 8 bits are not filtered.
    bool filterable = layout.colorType != 3 && layout.depth == 8;
    int fixedFilter = filterable ? layout.filter : 0;
    Deflater d(w);
    if (!d.start(fixedFilter != 0)) return kPngMemory;

    size_t fullRow = (size_t(layout.width) * bitsPerPixel + 7) / 8;
    // Rows: the picture row as given, the previous row of the pass, and a batch of filtered rows
    // (filter byte + data) handed to deflate together.
    size_t batchCap = 64 * 1024 > fullRow + 1 ? 64 * 1024 : fullRow + 1;
    std::unique_ptr<uint8_t[]> mem(new (std::nothrow) uint8_t[3 * (fullRow + 8) + batchCap + 5 * (fullRow + 8)]);
    if (!mem) return kPngMemory;
    uint8_t* picRow = mem.get();
    uint8_t* cur = picRow + fullRow + 8;
    uint8_t* prev = cur + fullRow + 8;
    uint8_t* batch = prev + fullRow + 8;
    uint8_t* trial = batch + batchCap;  // adaptive: one output per filter
    size_t batchFill = 0;

    for (int p = layout.interlaced ? 0 : 6; p < 7; ++p) {
        uint32_t x0 = layout.interlaced ? kPassX0[p] : 0, dx = layout.interlaced ? kPassDx[p] : 1;
        uint32_t y0 = layout.interlaced ? kPassY0[p] : 0, dy = layout.interlaced ? kPassDy[p] : 1;
        uint32_t pw = passSize(layout.width, x0, dx);
        uint32_t ph = passSize(layout.height, y0, dy);
        if (pw == 0 || ph == 0) continue;
        size_t len = (size_t(pw) * bitsPerPixel + 7) / 8;
        std::memset(prev, 0, len);
        for (uint32_t r = 0; r < ph; ++r) {
            uint32_t y = y0 + r * dy;
            if (dx == 1) {
                source(sourceContext, y, cur);
            } else {
                source(sourceContext, y, picRow);
                std::memset(cur, 0, len);
                for (uint32_t i = 0, x = x0; i < pw; ++i, x += dx) copyPixel(picRow, x, cur, i, bitsPerPixel);
            }
            if (batchFill + len + 1 > batchCap) {
                int32_t e = d.put(batch, batchFill, false);
                if (e) return e;
                batchFill = 0;
            }
            uint8_t* o = batch + batchFill;
            int f = fixedFilter;
            if (f < 0) {
                uint32_t bestSum = 0xFFFFFFFFu;
                for (int k = 0; k < 5; ++k) {
                    uint32_t s = filterRow(k, cur, prev, len, bpp, trial + k * (fullRow + 8));
                    if (s < bestSum) {
                        bestSum = s;
                        f = k;
                    }
                }
                std::memcpy(o + 1, trial + f * (fullRow + 8), len);
            } else {
                filterRow(f, cur, prev, len, bpp, o + 1);
            }
            o[0] = uint8_t(f);
            batchFill += len + 1;
            uint8_t* t = prev;
            prev = cur;
            cur = t;
        }
    }
    int32_t e = d.put(batch, batchFill, true);
    if (e) return e;
    w.chunk(kIEND, nullptr, 0);
    return w.failed ? -3 : kPngOk;
}

}  // namespace kroimg
