// Windows bitmap files: header, loading (plain, RLE4, RLE8, bit fields, core headers, top-down
// files) and writing (plain or RLE8).
#include <algorithm>
#include <cstring>
#include <vector>

#include "bytes/byte_order.h"
#include "kroutil/images/image_core.h"

namespace kroimg {
namespace {

constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint32_t kInfoBytes = 40;
// Bit-field masks sit right behind the 40-byte part of the header, whatever its full size: inside
// the longer headers, in front of the colour table after a 40-byte one.
constexpr uint32_t kMaskOffset = kFileHeaderBytes + kInfoBytes;

struct BmpFile {
    KroBitmapInfoHeader info{};
    uint32_t headerSize = 0;
    uint32_t dataOffset = 0;
    uint32_t tableOffset = 0;
    uint32_t entryBytes = 4;
    bool topDown = false;
    uint32_t masks[3] = {};  // red, green, blue
};

// Reads and completes the headers: IMG_OK, IMGERR_NOT_BMP.
int32_t readHeader(InputFile& in, BmpFile& bmp) {
    uint8_t head[kMaskOffset + 12] = {};
    const size_t got = in.readAt(0, head, sizeof head);
    bytes::ByteReader r(head, got);
    if (r.u16le() != 0x4D42) return IMGERR_NOT_BMP;  // "BM"
    r.skip(8);
    bmp.dataOffset = r.u32le();
    bmp.headerSize = r.u32le();
    if (!r.ok()) return IMGERR_NOT_BMP;
    const bool core = bmp.headerSize < 13;
    // The header must be there; a header shorter than 40 bytes (and not a core one) leaves the
    // fields it does not hold at 0 instead of taking colour table bytes for them.
    const uint32_t need = kFileHeaderBytes + (core ? 12 : std::min(bmp.headerSize, kInfoBytes));
    if (got < need) return IMGERR_NOT_BMP;
    KroBitmapInfoHeader& h = bmp.info;
    if (core) {
        h.width = bytes::load16le(head + 18);
        h.height = bytes::load16le(head + 20);
        h.planes = bytes::load16le(head + 22);
        h.bit_count = bytes::load16le(head + 24);
        bmp.entryBytes = 3;
    } else {
        uint8_t info[kInfoBytes] = {};
        std::memcpy(info, head + kFileHeaderBytes, std::min(bmp.headerSize, kInfoBytes));
        h.width = int32_t(bytes::load32le(info + 4));
        h.height = int32_t(bytes::load32le(info + 8));
        h.planes = bytes::load16le(info + 12);
        h.bit_count = bytes::load16le(info + 14);
        h.compression = bytes::load32le(info + 16);
        h.size_image = bytes::load32le(info + 20);
        h.x_pels_per_meter = int32_t(bytes::load32le(info + 24));
        h.y_pels_per_meter = int32_t(bytes::load32le(info + 28));
        h.clr_used = bytes::load32le(info + 32);
        h.clr_important = bytes::load32le(info + 36);
    }
    h.size = kInfoBytes;
    // A picture without columns or rows is no bitmap (and -2^31 rows cannot be turned around).
    if (h.width <= 0 || h.height == 0 || h.height == INT32_MIN) return IMGERR_NOT_BMP;
    if (h.height < 0) {
        bmp.topDown = true;
        h.height = -h.height;
    }
    const uint32_t bits = h.bit_count;
    if (h.clr_used == 0 && bits < 16) h.clr_used = 1u << bits;
    if (h.clr_important == 0) h.clr_important = h.clr_used;
    if (h.size_image == 0) {
        const uint64_t size = (uint64_t(bits) * uint64_t(h.width) + 31) / 32 * uint64_t(h.height) * 4;
        h.size_image = uint32_t(std::min<uint64_t>(size, UINT32_MAX));
    }
    bmp.tableOffset = kFileHeaderBytes + (core ? 12 : bmp.headerSize);
    if ((bits == 16 || bits == 32) && h.compression == 3) {
        for (int c = 0; c < 3; ++c) bmp.masks[c] = got >= kMaskOffset + 4 * c + 4 ? bytes::load32le(head + kMaskOffset + 4 * c) : 0;
    } else if (bits == 16) {
        bmp.masks[0] = 0x7C00, bmp.masks[1] = 0x03E0, bmp.masks[2] = 0x001F;
    } else if (bits == 32) {
        bmp.masks[0] = 0xFF0000, bmp.masks[1] = 0xFF00, bmp.masks[2] = 0xFF;
    }
    return IMG_OK;
}

// One colour channel of a bit-field pixel: the masked bits, made 8 bits wide. Masks wider than 8
// bits keep their top 8 bits, narrower ones repeat their bits downwards (5 bits: v << 3 | v >> 2).
struct Channel {
    uint32_t mask = 0;
    int32_t shift = 0;  // lowest set bit
    int32_t width = 0;  // lowest to highest set bit
    uint8_t widen[256] = {};

    explicit Channel(uint32_t m) : mask(m) {
        if (!m) return;
        shift = __builtin_ctz(m);
        width = 32 - __builtin_clz(m) - shift;
        if (width <= 8) {
            for (uint32_t v = 0; v < (1u << width); ++v) {
                uint32_t out = 0;
                for (int32_t s = 8 - width; s > -width; s -= width) out |= s >= 0 ? v << s : v >> -s;
                widen[v] = uint8_t(out);
            }
        }
    }
    uint8_t operator()(uint32_t pixel) const {
        if (!mask) return 0;
        const uint32_t v = (pixel & mask) >> shift;
        return width <= 8 ? widen[v] : uint8_t(v >> (width - 8));
    }
};

// RLE4 and RLE8 into rows of one byte per pixel, of which the first storeWidth are kept. Rows
// are handed to `store` bottom row first; a row cut short by the end of the data is handed over
// as far as it came. IMG_OK (also when a run or an overlong line ends the picture early),
// IMGERR_COMPRESSION (a delta that moves down in RLE8, any delta in RLE4), IMGERR_TRUNCATED (the
// data ended before the end-of-bitmap mark and before the last row).
template <class Store>
int32_t decodeRle(const std::vector<uint8_t>& data, int32_t width, int32_t height, int32_t storeWidth, bool four,
                  Store&& store) {
    std::vector<uint8_t> row(size_t(storeWidth), 0);
    size_t p = 0;
    int32_t x = 0, line = 0;
    auto put = [&](int32_t at, uint8_t v) {
        if (at < storeWidth) row[size_t(at)] = v;
    };
    auto finish = [&](int32_t result) {
        store(line, row.data());
        return result;
    };
    while (line < height) {
        if (data.size() - p < 2) return finish(IMGERR_TRUNCATED);
        const uint8_t count = data[p], value = data[p + 1];
        p += 2;
        if (count) {
            if (int64_t(x) + count > width) return finish(IMG_OK);
            for (int32_t i = 0; i < count; ++i) put(x + i, four ? uint8_t(i & 1 ? value & 15 : value >> 4) : value);
            x += count;
            continue;
        }
        if (value == 0) {
            store(line, row.data());
            std::fill(row.begin(), row.end(), 0);
            x = 0;
            ++line;
        } else if (value == 1) {
            return finish(IMG_OK);
        } else if (value == 2) {
            if (data.size() - p < 2) return finish(IMGERR_TRUNCATED);
            const uint8_t dx = data[p], dy = data[p + 1];
            p += 2;
            if (four || dy != 0) return IMGERR_COMPRESSION;
            if (int64_t(x) + dx > width) return finish(IMG_OK);
            x += dx;
        } else {
            const size_t n = value;
            const size_t bytesUsed = four ? (n + 1) / 2 : n;
            const size_t padded = (bytesUsed + 1) & ~size_t(1);
            if (int64_t(x) + int64_t(n) > width) return finish(IMG_OK);
            if (data.size() - p < bytesUsed) return finish(IMGERR_TRUNCATED);
            for (size_t i = 0; i < n; ++i)
                put(x + int32_t(i), four ? uint8_t(i & 1 ? data[p + i / 2] & 15 : data[p + i / 2] >> 4) : data[p + i]);
            x += int32_t(n);
            p += std::min(padded, data.size() - p);
        }
    }
    return IMG_OK;
}

int32_t loadBmp(const char* name, ImageDescriptor* img) {
    InputFile in;
    if (int32_t e = in.open(name)) return e;
    BmpFile bmp;
    if (int32_t e = readHeader(in, bmp)) return e;
    if (int32_t e = checkImage(img, kDepthsBmpPcxGif)) return e;
    const KroBitmapInfoHeader& h = bmp.info;
    const int32_t bits = h.bit_count, imgBits = imageBits(img);
    const uint32_t c = h.compression;
    // Embedded JPEG or PNG streams, RLE24 and the like: the compression is what cannot be read,
    // whatever the bit count says (often 0 for such files).
    if (c > 3) return IMGERR_COMPRESSION;
    // The 64-byte header of the other bitmap family uses compression 3 for Huffman-coded 1-bit
    // data, which plain reading would turn into noise.
    if (bits == 1 && c == 3 && bmp.headerSize == 64) return IMGERR_COMPRESSION;
    const bool depthFits = bits == imgBits || (bits == 4 && imgBits == 8) || ((bits == 16 || bits == 32) && imgBits == 24);
    if (!depthFits) return IMGERR_DEPTH;
    if (imgBits != 24 && !img->palette) return IMGERR_AREA;
    enum class Method { plain, nibbles, rle4, rle8, masked } method;
    if (bits == 1 && c <= 3) method = Method::plain;
    else if (bits == 4 && c == 0) method = Method::nibbles;
    else if (bits == 4 && c == 2) method = Method::rle4;
    else if (bits == 8 && c == 0) method = Method::plain;
    else if (bits == 8 && c == 1) method = Method::rle8;
    else if (bits == 16 && (c == 0 || c == 3)) method = Method::masked;
    else if (bits == 24 && c <= 3) method = Method::plain;
    else if (bits == 32 && (c == 0 || c == 3)) method = Method::masked;
    else return IMGERR_COMPRESSION;

    const int32_t width = h.width, height = h.height;
    // File rows come bottom row first (top row first in a top-down file); the picture's top row
    // goes to the area's top row y1, and only the area's rows are kept.
    auto targetRow = [&](int32_t line) { return areaRow(img, bmp.topDown ? line : int64_t(height) - 1 - line); };
    const int64_t stored = std::min<int64_t>(width, areaWidth(img));
    int32_t result = IMG_OK;

    if (method == Method::rle4 || method == Method::rle8) {
        std::vector<uint8_t> data;
        if (int32_t e = in.readRest(bmp.dataOffset, data)) return e;
        result = decodeRle(data, width, height, int32_t(stored), method == Method::rle4, [&](int32_t line, const uint8_t* row) {
            storeRow(img, targetRow(line), row, stored);
        });
        if (result == IMGERR_COMPRESSION) return result;
    } else {
        const uint64_t stride = (uint64_t(bits) * uint64_t(width) + 31) / 32 * 4;
        std::vector<uint8_t> data;
        if (int32_t e = in.readRest(bmp.dataOffset, data, stride * uint64_t(height))) return e;
        const Channel red(bmp.masks[0]), green(bmp.masks[1]), blue(bmp.masks[2]);
        std::vector<uint8_t> row;
        if (method != Method::plain) row.resize(size_t(stored) * (imgBits / 8));
        const uint64_t rowsThere = data.size() / stride;
        if (rowsThere < uint64_t(height)) result = IMGERR_TRUNCATED;
        for (int32_t line = 0; line < int32_t(std::min<uint64_t>(rowsThere, uint64_t(height))); ++line) {
            const int32_t y = targetRow(line);
            if (y < 0) continue;
            const uint8_t* src = data.data() + stride * uint64_t(line);
            switch (method) {
                case Method::plain:
                    storeRow(img, y, src, stored);
                    continue;
                case Method::nibbles:
                    for (int64_t x = 0; x < stored; ++x) row[size_t(x)] = uint8_t(x & 1 ? src[x / 2] & 15 : src[x / 2] >> 4);
                    break;
                case Method::masked:
                    for (int64_t x = 0; x < stored; ++x) {
                        const uint32_t v = bits == 16 ? bytes::load16le(src + 2 * x) : bytes::load32le(src + 4 * x);
                        row[size_t(3 * x)] = blue(v);
                        row[size_t(3 * x + 1)] = green(v);
                        row[size_t(3 * x + 2)] = red(v);
                    }
                    break;
                default:
                    break;
            }
            storeRow(img, y, row.data(), stored);
        }
    }

    if (bits < 16) {
        const uint32_t entries = std::min<uint32_t>(h.clr_used, 256);
        std::vector<uint8_t> raw(size_t(entries) * bmp.entryBytes);
        raw.resize(in.readAt(bmp.tableOffset, raw.data(), raw.size()));
        std::vector<uint8_t> quads(size_t(entries) * 4, 0);
        for (uint32_t i = 0; i < entries && (i + 1) * bmp.entryBytes <= raw.size(); ++i)
            std::memcpy(&quads[4 * i], &raw[i * bmp.entryBytes], 3);
        setColourTable(img, quads.data(), int32_t(entries));
    } else {
        img->colors = 0;
        img->flags &= ~IMAGE_FLAG_GREY;
    }
    return result;
}

// RLE8 of one row: runs of equal bytes, single bytes as absolute stretches of three or more.
void encodeRle8(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
    size_t i = 0;
    while (i < n) {
        size_t run = 1;
        while (i + run < n && run < 255 && p[i + run] == p[i]) ++run;
        if (run >= 2) {
            out.push_back(uint8_t(run));
            out.push_back(p[i]);
            i += run;
            continue;
        }
        size_t j = i;
        while (j < n && j - i < 255 && (j + 1 >= n || p[j] != p[j + 1])) ++j;
        const size_t len = j - i;
        if (len >= 3) {
            out.push_back(0);
            out.push_back(uint8_t(len));
            out.insert(out.end(), p + i, p + j);
            if (len & 1) out.push_back(0);
        } else {
            for (size_t k = i; k < j; ++k) {
                out.push_back(1);
                out.push_back(p[k]);
            }
        }
        i = j;
    }
    out.push_back(0);
    out.push_back(0);
}

int32_t writeBmp(const char* name, ImageDescriptor* img, bool rle8) {
    if (int32_t e = checkImage(img, kDepthsBmpPcxGif)) return e;
    const int32_t bits = imageBits(img);
    if (rle8 && bits != 8) return IMGERR_COMPRESSION;
    const KroBitmapInfoHeader* ih = headerOf(img);
    int32_t entries = 0;
    if (bits < 16) {
        const int64_t headerEntries = ih->clr_used ? int64_t(ih->clr_used) : int64_t(1) << bits;
        entries = int32_t(std::clamp<int64_t>(std::min<int64_t>(headerEntries, img->colors), 0, 256));
        if (entries && !img->palette) return IMGERR_AREA;
    }
    const int32_t w = areaWidth(img), hgt = areaHeight(img);
    OutputFile out;
    if (int32_t e = out.create(name)) return e;
    uint8_t head[54] = {};
    out.put(head, sizeof head);
    for (int32_t i = 0; i < entries; ++i) {
        const uint8_t quad[4] = {img->palette[4 * i], img->palette[4 * i + 1], img->palette[4 * i + 2], 0};
        out.put(quad, 4);
    }
    const uint32_t dataOffset = 54 + 4 * uint32_t(entries);
    const size_t rowLen = packedRowBytes(w, bits);
    const size_t padded = (rowLen + 3) & ~size_t(3);
    std::vector<uint8_t> row(padded, 0), coded;
    for (int32_t y = img->y2; y >= img->y1 && !out.failed; --y) {
        loadRow(img, y, row.data());
        if (!rle8) {
            out.put(row.data(), padded);
            continue;
        }
        // Only the picture's own width: a run into the row padding is refused by other readers.
        coded.clear();
        encodeRle8(row.data(), rowLen, coded);
        if (y == img->y1) {
            coded.push_back(0);
            coded.push_back(1);
        }
        out.put(coded.data(), coded.size());
    }
    const uint64_t fileSize = out.position();
    if (fileSize > UINT32_MAX) {
        out.discard();
        return IMGERR_TOO_LARGE;
    }
    bytes::store16le(head, 0x4D42);
    bytes::store32le(head + 2, uint32_t(fileSize));
    bytes::store32le(head + 10, dataOffset);
    bytes::store32le(head + 14, 40);
    bytes::store32le(head + 18, uint32_t(w));
    bytes::store32le(head + 22, uint32_t(hgt));
    bytes::store16le(head + 26, 1);
    bytes::store16le(head + 28, uint16_t(bits));
    bytes::store32le(head + 30, rle8 ? 1 : 0);
    bytes::store32le(head + 34, uint32_t(fileSize - dataOffset));
    bytes::store32le(head + 38, uint32_t(ih->x_pels_per_meter));
    bytes::store32le(head + 42, uint32_t(ih->y_pels_per_meter));
    bytes::store32le(head + 46, uint32_t(entries));
    bytes::store32le(head + 50, uint32_t(entries));
    out.putAt(0, head, sizeof head);
    return out.finish();
}

}  // namespace
}  // namespace kroimg

using namespace kroimg;

KRO_API int32_t bmpinfo(const char* name, KroBitmapInfoHeader* info) {
    if (!info) return IMGERR_PARAMETER;
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::bmp));
        InputFile in;
        if (int32_t e = in.open(name)) return e;
        BmpFile bmp;
        if (int32_t e = readHeader(in, bmp)) return e;
        *info = bmp.info;
        return IMG_OK;
    });
}

KRO_API int32_t loadbmp(const char* name, ImageDescriptor* img) {
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::bmp));
        return loadBmp(name, img);
    });
}

KRO_API int32_t WriteBmpFile(const char* name, ImageDescriptor* img, int32_t rle8) {
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::bmp));
        return writeBmp(name, img, rle8 != 0);
    });
}
