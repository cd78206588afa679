// Targa files: header, loading (colour-mapped, grey and true-colour, plain and run-length, both
// vertical origins, alpha into a second image) and writing of 24-bit images.
#include <algorithm>
#include <cstring>
#include <vector>

#include "bytes/byte_order.h"
#include "kroutil/images/image_core.h"

namespace kroimg {
namespace {

constexpr uint32_t kHeaderBytes = 18;
constexpr char kIdText[] = "Zovira Image";
constexpr uint32_t kIdBytes = 46;
constexpr char kFooterSignature[] = "TRUEVISION-XFILE.";  // with its zero byte: 18 bytes

struct TgaFile {
    TgaInfo info{};
    uint64_t mapOffset = 0;
    uint64_t dataOffset = 0;
};

// The pairs of image type and pixel depth the reader takes.
bool supportedPair(int32_t type, int32_t depth) {
    switch (type & 7) {
        case 1:
        case 3: return depth == 8 || depth == 16;
        case 2: return depth == 16 || depth == 24 || depth == 32;
        default: return false;
    }
}

// IMG_OK or IMGERR_BAD_TGA.
int32_t readHeader(InputFile& in, TgaFile& tga) {
    uint8_t h[kHeaderBytes];
    if (in.readAt(0, h, sizeof h) != sizeof h) return IMGERR_BAD_TGA;
    TgaInfo& info = tga.info;
    info.id_length = h[0];
    info.colormap_type = h[1];
    info.image_type = h[2];
    info.colormap_first = bytes::load16le(h + 3);
    info.colormap_length = bytes::load16le(h + 5);
    info.colormap_bits = h[7];
    info.width = bytes::load16le(h + 12);
    info.height = bytes::load16le(h + 14);
    info.pixel_depth = h[16];
    info.alpha_bits = h[17] & 15;
    info.origin = (h[17] >> 4) & 3;
    info.interleave = h[17] & 0xC0;
    const bool grey16 = (info.image_type & 7) == 3 && info.pixel_depth == 16;
    const bool mapped16 = (info.image_type & 7) == 1 && info.pixel_depth == 16;
    info.alloc_bits = info.pixel_depth == 8 || grey16 || mapped16 ? 8 : 24;
    if (info.image_type == 0 || info.image_type > 11) return IMGERR_BAD_TGA;
    tga.mapOffset = kHeaderBytes + uint64_t(info.id_length);
    const uint64_t mapBytes = info.colormap_type == 1 ? uint64_t(info.colormap_bits + 7) / 8 * uint64_t(info.colormap_length) : 0;
    tga.dataOffset = tga.mapOffset + mapBytes;
    return IMG_OK;
}

// A 5-5-5 value as blue, green, red.
inline void from555(uint32_t v, uint8_t* bgr) {
    bgr[0] = uint8_t(v << 3);
    bgr[1] = uint8_t((v >> 2) & 0xF8);
    bgr[2] = uint8_t((v >> 7) & 0xF8);
}

void readColourMap(ImageDescriptor* img, const TgaFile& tga, InputFile& in) {
    const TgaInfo& info = tga.info;
    const int32_t entryBytes = (info.colormap_bits + 7) / 8;
    if (info.colormap_type != 1 || (info.image_type & 7) != 1 || info.colormap_length == 0 ||
        (entryBytes != 2 && entryBytes != 3 && entryBytes != 4)) {
        setGreyTable(img);
        return;
    }
    const int32_t n = std::min(info.colormap_length, 256);
    std::vector<uint8_t> raw(size_t(n) * size_t(entryBytes), 0);
    in.readAt(tga.mapOffset, raw.data(), raw.size());
    std::vector<uint8_t> quads(size_t(n) * 4, 0);
    for (int32_t i = 0; i < n; ++i) {
        const uint8_t* e = &raw[size_t(i) * size_t(entryBytes)];
        if (entryBytes == 2) from555(bytes::load16le(e), &quads[4 * i]);
        else std::memcpy(&quads[4 * i], e, 3);
    }
    setColourTable(img, quads.data(), n);
}

int32_t loadTga(const char* name, ImageDescriptor* img, ImageDescriptor* alpha) {
    InputFile in;
    if (int32_t e = in.open(name)) return e;
    TgaFile tga;
    if (int32_t e = readHeader(in, tga)) return e;
    if (int32_t e = checkImage(img, kDepthsTgaJpegColour)) return e;
    if (alpha) {
        if (int32_t e = checkImage(alpha, depthBit(8))) return e;
    }
    const TgaInfo& info = tga.info;
    const int32_t kind = info.image_type & 7;
    if (kind == 2 && imageBits(img) != 24) return IMGERR_DEPTH;
    if ((kind == 1 || kind == 3) && imageBits(img) != 8) return IMGERR_DEPTH;
    if (kind != 1 && kind != 2 && kind != 3) return IMGERR_BAD_TGA;
    if (info.interleave || info.width == 0 || info.height == 0 || info.width >= 32768 || info.height >= 32768)
        return IMGERR_BAD_TGA;
    if (!supportedPair(info.image_type, info.pixel_depth)) return IMGERR_BAD_TGA;
    if (imageBits(img) == 8 && !img->palette) return IMGERR_AREA;

    const int32_t width = info.width, height = info.height;
    const int32_t pixelBytes = info.pixel_depth / 8;
    const bool topFirst = info.origin & 2;
    const bool rle = info.image_type >= 9;
    const int64_t stored = std::min<int64_t>(width, areaWidth(img));
    const int64_t alphaStored = alpha ? std::min<int64_t>(width, areaWidth(alpha)) : 0;
    const bool grey16 = kind == 3 && pixelBytes == 2;

    std::vector<uint8_t> data;
    const uint64_t plainBytes = uint64_t(width) * uint64_t(height) * uint64_t(pixelBytes);
    // Run-length data are at most one packet byte per pixel longer than plain data.
    if (int32_t e = in.readRest(tga.dataOffset, data, rle ? plainBytes + uint64_t(width) * uint64_t(height) : plainBytes))
        return e;

    std::vector<uint8_t> line(size_t(width) * size_t(pixelBytes)), row(size_t(stored) * (imageBits(img) / 8)),
        alphaRow(size_t(std::max<int64_t>(alphaStored, 1)));
    auto storeLine = [&](int32_t fileLine) {
        const int64_t t = topFirst ? fileLine : int64_t(height) - 1 - fileLine;
        const int32_t y = areaRow(img, t);
        const uint8_t* l = line.data();
        if (y >= 0) {
            if (pixelBytes == 1 || pixelBytes == 3) {
                storeRow(img, y, l, stored);
            } else if (pixelBytes == 2 && kind == 2) {
                for (int64_t x = 0; x < stored; ++x) from555(bytes::load16le(l + 2 * x), &row[size_t(3 * x)]);
                storeRow(img, y, row.data(), stored);
            } else if (pixelBytes == 2) {
                // Grey with alpha, or a 16-bit colour index (its low byte).
                for (int64_t x = 0; x < stored; ++x) row[size_t(x)] = l[2 * x];
                storeRow(img, y, row.data(), stored);
            } else {
                for (int64_t x = 0; x < stored; ++x) std::memcpy(&row[size_t(3 * x)], l + 4 * x, 3);
                storeRow(img, y, row.data(), stored);
            }
        }
        if (alpha && (pixelBytes == 4 || grey16)) {
            const int32_t ay = areaRow(alpha, t);
            if (ay >= 0) {
                for (int64_t x = 0; x < alphaStored; ++x) alphaRow[size_t(x)] = l[pixelBytes * x + pixelBytes - 1];
                storeRow(alpha, ay, alphaRow.data(), alphaStored);
            }
        }
    };

    int32_t result = IMG_OK;
    const size_t lineBytes = line.size();
    if (!rle) {
        const size_t lines = std::min<size_t>(data.size() / lineBytes, size_t(height));
        if (lines < size_t(height)) result = IMGERR_TRUNCATED;
        for (size_t i = 0; i < lines; ++i) {
            std::memcpy(line.data(), data.data() + i * lineBytes, lineBytes);
            storeLine(int32_t(i));
        }
    } else {
        size_t p = 0, filled = 0;
        int32_t fileLine = 0;
        uint32_t repeat = 0, literal = 0;  // what is left of the current packet (packets span lines)
        const uint8_t* repeatPixel = nullptr;
        while (fileLine < height) {
            if (!repeat && !literal) {
                if (p >= data.size()) break;
                const uint8_t packet = data[p++];
                if (packet & 0x80) {
                    if (data.size() - p < size_t(pixelBytes)) break;
                    repeatPixel = &data[p];
                    p += size_t(pixelBytes);
                    repeat = (packet & 0x7F) + 1u;
                } else {
                    literal = (packet & 0x7F) + 1u;
                }
            }
            if (repeat) {
                std::memcpy(&line[filled], repeatPixel, size_t(pixelBytes));
                --repeat;
            } else {
                if (data.size() - p < size_t(pixelBytes)) break;
                std::memcpy(&line[filled], &data[p], size_t(pixelBytes));
                p += size_t(pixelBytes);
                --literal;
            }
            filled += size_t(pixelBytes);
            if (filled == lineBytes) {
                storeLine(fileLine++);
                filled = 0;
            }
        }
        if (fileLine < height) {
            // The data ended inside this line: its decoded part is kept.
            if (filled) {
                std::fill(line.begin() + std::ptrdiff_t(filled), line.end(), 0);
                storeLine(fileLine);
            }
            result = IMGERR_TRUNCATED;
        }
    }
    if (imageBits(img) == 8) {
        readColourMap(img, tga, in);
    } else {
        img->colors = 0;
        img->flags &= ~IMAGE_FLAG_GREY;
    }
    return result;
}

int32_t writeTga(const char* name, ImageDescriptor* img, bool rle) {
    if (int32_t e = checkImage(img, kDepthsTgaJpegColour)) return e;
    if (imageBits(img) != 24) return IMGERR_DEPTH;
    const int32_t w = areaWidth(img), hgt = areaHeight(img);
    if (w > 65535 || hgt > 65535) return IMGERR_TOO_LARGE;
    OutputFile out;
    if (int32_t e = out.create(name)) return e;
    uint8_t h[kHeaderBytes + kIdBytes] = {};
    h[0] = uint8_t(kIdBytes);
    h[2] = rle ? 10 : 2;
    bytes::store16le(h + 12, uint16_t(w));
    bytes::store16le(h + 14, uint16_t(hgt));
    h[16] = 24;
    std::memcpy(h + kHeaderBytes, kIdText, sizeof kIdText - 1);
    out.put(h, sizeof h);
    const size_t rowLen = size_t(w) * 3;
    std::vector<uint8_t> row(rowLen), coded;
    for (int32_t y = img->y2; y >= img->y1 && !out.failed; --y) {
        loadRow(img, y, row.data());
        if (!rle) {
            out.put(row.data(), rowLen);
            continue;
        }
        coded.clear();
        const uint8_t* p = row.data();
        int32_t i = 0;
        while (i < w) {
            int32_t run = 1;
            while (i + run < w && run < 128 && std::memcmp(p + 3 * (i + run), p + 3 * i, 3) == 0) ++run;
            if (run >= 2) {
                coded.push_back(uint8_t(0x80 | (run - 1)));
                coded.insert(coded.end(), p + 3 * i, p + 3 * i + 3);
                i += run;
                continue;
            }
            // Literal pixels up to the next pair of equal ones.
            int32_t j = i + 1;
            while (j < w && j - i < 128 && !(j + 1 < w && std::memcmp(p + 3 * j, p + 3 * (j + 1), 3) == 0)) ++j;
            coded.push_back(uint8_t(j - i - 1));
            coded.insert(coded.end(), p + 3 * i, p + 3 * j);
            i = j;
        }
        out.put(coded.data(), coded.size());
    }
    uint8_t footer[26] = {};
    std::memcpy(footer + 8, kFooterSignature, sizeof kFooterSignature);
    out.put(footer, sizeof footer);
    return out.finish();
}

}  // namespace
}  // namespace kroimg

using namespace kroimg;

KRO_API int32_t tgainfo(const char* name, TgaInfo* info) {
    if (!info) return IMGERR_PARAMETER;
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::tga));
        InputFile in;
        if (int32_t e = in.open(name)) return e;
        TgaFile tga;
        if (int32_t e = readHeader(in, tga)) return e;
        *info = tga.info;
        return IMG_OK;
    });
}

KRO_API int32_t loadtga(const char* name, ImageDescriptor* img) {
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::tga));
        return loadTga(name, img, nullptr);
    });
}

KRO_API int32_t LoadTgaWithAlpha(const char* name, ImageDescriptor* img, ImageDescriptor* alpha) {
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::tga));
        return loadTga(name, img, alpha);
    });
}

KRO_API int32_t WriteTgaFile(const char* name, ImageDescriptor* img, int32_t rle) {
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::tga));
        return writeTga(name, img, rle != 0);
    });
}
