// PC Paintbrush files: header, loading of the 1-, 4-, 8-bit, 4-plane and 3-plane layouts, writing
// of 1- and 8-bit images.
#include <algorithm>
#include <cstring>
#include <vector>

#include "bytes/byte_order.h"
#include "kroutil/images/image_core.h"

namespace kroimg {
namespace {

constexpr uint32_t kHeaderBytes = 128;

// The 16 colours a 16-colour file shows when it brings no table of its own (red, green, blue).
constexpr uint8_t kBuiltIn16[16][3] = {
    {0, 0, 0},     {0, 0, 168},   {0, 168, 0},   {0, 168, 168}, {168, 0, 0},   {168, 0, 168},
    {168, 84, 0},  {168, 168, 168}, {84, 84, 84}, {84, 84, 252}, {84, 252, 84}, {84, 252, 252},
    {252, 84, 84}, {252, 84, 252}, {252, 252, 84}, {252, 252, 252},
};

struct PcxFile {
    PcxInfo info{};
    uint8_t header[kHeaderBytes] = {};
};

// IMG_OK or IMGERR_NOT_PCX.
int32_t readHeader(InputFile& in, PcxFile& pcx) {
    if (in.readAt(0, pcx.header, kHeaderBytes) != kHeaderBytes) return IMGERR_NOT_PCX;
    const uint8_t* h = pcx.header;
    if (h[0] != 10 || h[2] != 1) return IMGERR_NOT_PCX;
    const int32_t xmin = bytes::load16le(h + 4), ymin = bytes::load16le(h + 6);
    const int32_t xmax = bytes::load16le(h + 8), ymax = bytes::load16le(h + 10);
    PcxInfo& info = pcx.info;
    info.version = h[1];
    info.width = xmax - xmin + 1;
    info.height = ymax - ymin + 1;
    info.bits = h[3];
    info.planes = h[65];
    info.bytes_per_line = bytes::load16le(h + 66);
    info.palette_info = bytes::load16le(h + 68);
    // Reversed corners would give no picture, a line shorter than its pixels would make rows
    // borrow bytes of the next plane or line.
    if (xmax < xmin || ymax < ymin) return IMGERR_NOT_PCX;
    if (int64_t(info.bytes_per_line) < (int64_t(info.width) * info.bits + 7) / 8) return IMGERR_NOT_PCX;
    const int32_t b = info.bits, p = info.planes;
    if (b == 1 && p == 1) info.alloc_bits = 1;
    else if ((b == 4 && p == 1) || (b == 1 && p == 4) || (b == 8 && p == 1)) info.alloc_bits = 8;
    else if (b == 8 && p == 3) info.alloc_bits = 24;
    else return IMGERR_NOT_PCX;
    return IMG_OK;
}

void setTable(ImageDescriptor* img, const PcxFile& pcx, InputFile& in) {
    const PcxInfo& info = pcx.info;
    const bool sixteen = (info.bits == 4 && info.planes == 1) || (info.bits == 1 && info.planes == 4);
    std::vector<uint8_t> quads;
    auto fromTriples = [&](const uint8_t* rgb, int32_t n) {
        quads.assign(size_t(n) * 4, 0);
        for (int32_t i = 0; i < n; ++i) {
            quads[4 * i] = rgb[3 * i + 2];
            quads[4 * i + 1] = rgb[3 * i + 1];
            quads[4 * i + 2] = rgb[3 * i];
        }
    };
    if ((info.version == 2 || info.version == 5) && info.alloc_bits != 24) {
        if (info.alloc_bits == 8 && !sixteen) {
            uint8_t tail[769] = {};
            if (in.size >= sizeof tail + kHeaderBytes && in.readAt(in.size - sizeof tail, tail, sizeof tail) == sizeof tail &&
                tail[0] == 12)
                fromTriples(tail + 1, 256);
            else
                fromTriples(pcx.header + 16, 16);
        } else {
            fromTriples(pcx.header + 16, info.alloc_bits == 1 ? 2 : 16);
            // Many writers leave the header colours of a two-colour file at zero.
            if (quads.size() == 8 && std::memcmp(&quads[0], &quads[4], 3) == 0) quads.clear();
        }
    }
    if (quads.empty() && sixteen) fromTriples(&kBuiltIn16[0][0], 16);
    if (quads.empty()) setGreyTable(img);
    else setColourTable(img, quads.data(), int32_t(quads.size() / 4));
}

int32_t loadPcx(const char* name, ImageDescriptor* img) {
    InputFile in;
    if (int32_t e = in.open(name)) return e;
    PcxFile pcx;
    if (int32_t e = readHeader(in, pcx)) return e;
    if (int32_t e = checkImage(img, kDepthsBmpPcxGif)) return e;
    const PcxInfo& info = pcx.info;
    if (imageBits(img) != info.alloc_bits) return IMGERR_DEPTH;
    if (info.alloc_bits != 24 && !img->palette) return IMGERR_AREA;

    const int32_t rows = std::min(info.height, areaHeight(img));
    const int64_t stored = std::min<int64_t>(info.width, areaWidth(img));
    const size_t bpl = size_t(info.bytes_per_line), lineBytes = bpl * size_t(info.planes);
    std::vector<uint8_t> data;
    if (int32_t e = in.readRest(kHeaderBytes, data)) return e;
    std::vector<uint8_t> line(lineBytes), row(size_t(stored) * (info.alloc_bits == 24 ? 3 : 1) + 1);
    size_t p = 0;
    // A run may reach into the next line: what is left of it waits here.
    uint32_t pending = 0;
    uint8_t pendingValue = 0;
    int32_t result = IMG_OK;
    for (int32_t r = 0; r < rows; ++r) {
        size_t filled = 0;
        while (filled < lineBytes) {
            if (pending) {
                const size_t n = std::min<size_t>(pending, lineBytes - filled);
                std::memset(&line[filled], pendingValue, n);
                filled += n;
                pending -= uint32_t(n);
                continue;
            }
            if (p >= data.size()) break;
            const uint8_t b = data[p++];
            if ((b & 0xC0) == 0xC0) {
                if (p >= data.size()) break;
                pending = b & 0x3F;
                pendingValue = data[p++];
            } else {
                line[filled++] = b;
            }
        }
        if (filled < lineBytes) {
            // The data ended inside this line: what came of it is kept, the rest stays as it was.
            std::fill(line.begin() + std::ptrdiff_t(filled), line.end(), 0);
            result = IMGERR_TRUNCATED;
        }
        const uint8_t* l = line.data();
        if (info.alloc_bits == 1 || (info.bits == 8 && info.planes == 1)) {
            storeRow(img, img->y1 + r, l, stored);
        } else if (info.bits == 4) {
            for (int64_t x = 0; x < stored; ++x) row[size_t(x)] = uint8_t(x & 1 ? l[x / 2] & 15 : l[x / 2] >> 4);
            storeRow(img, img->y1 + r, row.data(), stored);
        } else if (info.planes == 4) {
            for (int64_t x = 0; x < stored; ++x) {
                const int shift = 7 - int(x & 7);
                uint8_t v = 0;
                for (int pl = 0; pl < 4; ++pl) v |= uint8_t(((l[bpl * pl + size_t(x / 8)] >> shift) & 1) << pl);
                row[size_t(x)] = v;
            }
            storeRow(img, img->y1 + r, row.data(), stored);
        } else {
            for (int64_t x = 0; x < stored; ++x) {
                row[size_t(3 * x)] = l[2 * bpl + size_t(x)];
                row[size_t(3 * x + 1)] = l[bpl + size_t(x)];
                row[size_t(3 * x + 2)] = l[size_t(x)];
            }
            storeRow(img, img->y1 + r, row.data(), stored);
        }
        if (result != IMG_OK) break;
    }
    if (info.alloc_bits == 24) {
        img->colors = 0;
        img->flags &= ~IMAGE_FLAG_GREY;
    } else {
        setTable(img, pcx, in);
    }
    return result;
}

void encodeLine(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
    size_t i = 0;
    while (i < n) {
        size_t run = 1;
        while (i + run < n && run < 63 && p[i + run] == p[i]) ++run;
        if (run == 1 && p[i] < 0xC0) {
            out.push_back(p[i]);
        } else {
            out.push_back(uint8_t(0xC0 + run));
            out.push_back(p[i]);
        }
        i += run;
    }
}

int32_t writePcx(const char* name, ImageDescriptor* img) {
    if (int32_t e = checkImage(img, kDepthsBmpPcxGif)) return e;
    const int32_t bits = imageBits(img);
    if (bits == 24) return IMGERR_DEPTH;
    const int32_t w = areaWidth(img), hgt = areaHeight(img);
    if (w > 65535 || hgt > 65535) return IMGERR_TOO_LARGE;
    const bool hasTable = img->colors > 0 && img->palette;
    OutputFile out;
    if (int32_t e = out.create(name)) return e;
    uint8_t h[kHeaderBytes] = {};
    h[0] = 10;
    h[1] = hasTable ? 5 : 3;
    h[2] = 1;
    h[3] = uint8_t(bits);
    bytes::store16le(h + 4, uint16_t(img->x1));
    bytes::store16le(h + 6, uint16_t(img->y1));
    bytes::store16le(h + 8, uint16_t(img->x2));
    bytes::store16le(h + 10, uint16_t(img->y2));
    bytes::store16le(h + 12, 640);
    bytes::store16le(h + 14, 480);
    if (hasTable && (bits == 1 || img->colors <= 16)) {
        const int32_t n = std::min(img->colors, 16);
        for (int32_t i = 0; i < n; ++i) {
            h[16 + 3 * i] = img->palette[4 * i + 2];
            h[17 + 3 * i] = img->palette[4 * i + 1];
            h[18 + 3 * i] = img->palette[4 * i];
        }
    }
    h[65] = 1;
    const size_t rowLen = packedRowBytes(w, bits);
    const size_t bpl = (rowLen + 1) & ~size_t(1);
    bytes::store16le(h + 66, uint16_t(bpl));
    bytes::store16le(h + 68, 1);
    out.put(h, sizeof h);
    std::vector<uint8_t> row(bpl, 0), coded;
    for (int32_t y = img->y1; y <= img->y2 && !out.failed; ++y) {
        loadRow(img, y, row.data());
        coded.clear();
        encodeLine(row.data(), bpl, coded);
        out.put(coded.data(), coded.size());
    }
    // Every 8-bit file carries the full table at its end: readers of 256-colour files look for it
    // there whatever the colour count. Without a table of its own the image is grey.
    if (bits == 8) {
        uint8_t table[769] = {12};
        for (int32_t i = 0; i < 256; ++i) {
            if (hasTable) {
                if (i >= img->colors) break;
                table[1 + 3 * i] = img->palette[4 * i + 2];
                table[2 + 3 * i] = img->palette[4 * i + 1];
                table[3 + 3 * i] = img->palette[4 * i];
            } else {
                table[1 + 3 * i] = table[2 + 3 * i] = table[3 + 3 * i] = uint8_t(i);
            }
        }
        out.put(table, sizeof table);
    }
    return out.finish();
}

}  // namespace
}  // namespace kroimg

using namespace kroimg;

KRO_API int32_t pcxinfo(const char* name, PcxInfo* info) {
    if (!info) return IMGERR_PARAMETER;
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::pcx));
        InputFile in;
        if (int32_t e = in.open(name)) return e;
        PcxFile pcx;
        if (int32_t e = readHeader(in, pcx)) return e;
        *info = pcx.info;
        return IMG_OK;
    });
}

KRO_API int32_t loadpcx(const char* name, ImageDescriptor* img) {
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::pcx));
        return loadPcx(name, img);
    });
}

KRO_API int32_t WritePcxFile(const char* name, ImageDescriptor* img) {
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::pcx));
        return writePcx(name, img);
    });
}
