// GIF files: the info record, loading the first image into a 1- or 8-bit image, counting the
// images, and writing a single-image file.
#include <algorithm>
#include <cstring>
#include <vector>

#include "kroutil/images/gif_codec.h"
#include "kroutil/images/image_core.h"

using namespace kroimg;

namespace {

int32_t readGif(const char* name, std::vector<uint8_t>& bytes) {
    InputFile in;
    if (int32_t e = in.open(name)) return e;
    return in.readRest(0, bytes);
}

struct StoreContext {
    ImageDescriptor* img;
    uint32_t width;        // of the GIF image
    uint32_t height;
    uint32_t storedRows;
    bool interlaced;
    bool oneBit;
    std::vector<uint8_t> packed;
};

void storeGifRow(void* context, uint32_t n, const uint8_t* pixels) {
    auto* c = static_cast<StoreContext*>(context);
    uint32_t row = c->interlaced ? gifInterlacedRow(n, c->height) : n;
    if (row >= c->storedRows) return;
    if (c->oneBit) {
        // A 1-bit image keeps the low bit of each index.
        std::fill(c->packed.begin(), c->packed.end(), 0);
        for (uint32_t x = 0; x < c->width; ++x) c->packed[x >> 3] |= uint8_t((pixels[x] & 1) << (7 - (x & 7)));
        pixels = c->packed.data();
    }
    storeRow(c->img, areaRow(c->img, row), pixels, c->width);
}

struct SourceContext {
    ImageDescriptor* img;
    bool oneBit;
    std::vector<uint8_t> row;
};

void gifSourceRow(void* context, uint32_t y, uint8_t* pixels) {
    auto* c = static_cast<SourceContext*>(context);
    const int32_t w = areaWidth(c->img);
    if (!c->oneBit) {
        loadRow(c->img, c->img->y1 + int32_t(y), pixels);
        return;
    }
    loadRow(c->img, c->img->y1 + int32_t(y), c->row.data());
    for (int32_t x = 0; x < w; ++x) pixels[x] = (c->row[size_t(x) >> 3] >> (7 - (x & 7))) & 1;
}

}  // namespace

KRO_API int32_t gifinfo(const char* name, GifInfo* info) {
    if (!info) return IMGERR_PARAMETER;
    return guarded([&]() -> int32_t {
        std::lock_guard lock(formatLock(Format::gif));
        std::vector<uint8_t> bytes;
        if (int32_t e = readGif(name, bytes)) return e;
        GifStructure s;
        if (int32_t e = gifReadStructure(bytes.data(), bytes.size(), &s)) return e;
        std::memset(info, 0, sizeof *info);
        info->width = int32_t(s.width);
        info->height = int32_t(s.height);
        info->color_resolution = ((s.screenPacked >> 4) & 7) + 1;
        info->bits_per_pixel = (s.imagePacked & 0x80) ? (s.imagePacked & 7) + 1 : (s.screenPacked & 7) + 1;
        info->transparent = s.transparent;
        info->interlaced = s.interlaced ? 1 : 0;
        info->code_size = s.codeSize;
        info->version = s.version;
        info->alloc_bits = info->bits_per_pixel == 1 ? 1 : 8;
        return IMG_OK;
    });
}

KRO_API int32_t loadgif(const char* name, ImageDescriptor* img) {
    return guarded([&]() -> int32_t {
        std::lock_guard lock(formatLock(Format::gif));
        if (int32_t e = checkImage(img, kDepthsBmpPcxGif)) return e;
        if (imageBits(img) == 24) return IMGERR_DEPTH;
        std::vector<uint8_t> bytes;
        if (int32_t e = readGif(name, bytes)) return e;
        GifStructure s;
        if (int32_t e = gifReadStructure(bytes.data(), bytes.size(), &s)) return e;
        if (s.codeSize < 1 || s.codeSize > 8) return IMGERR_NOT_GIF;

        // The table is set before the pixels, so that a cut-off file still has it.
        const uint8_t* table = s.localTable ? s.localTable : s.globalTable;
        const uint32_t entries = s.localTable ? s.localEntries : s.globalEntries;
        if (table) {
            uint8_t quads[256 * 4] = {};
            for (uint32_t i = 0; i < entries; ++i) {
                quads[4 * i] = table[3 * i + 2];
                quads[4 * i + 1] = table[3 * i + 1];
                quads[4 * i + 2] = table[3 * i];
            }
            setColourTable(img, quads, int32_t(entries));
        } else {
            setGreyTable(img);
        }

        StoreContext c{img, s.width, s.height, 0, s.interlaced, imageBits(img) == 1, {}};
        c.storedRows = uint32_t(std::min<int64_t>(areaHeight(img), s.height));
        if (c.oneBit) c.packed.resize((size_t(s.width) + 7) / 8);
        // An interlaced picture taller than the area is decoded until every stored row has
        // arrived (the later passes fill rows the first ones skipped).
        uint32_t rowsWanted = c.storedRows;
        if (s.interlaced && c.storedRows < s.height) {
            rowsWanted = 0;
            for (uint32_t n = 0; n < s.height; ++n)
                if (gifInterlacedRow(n, s.height) < c.storedRows) rowsWanted = n + 1;
        }
        std::vector<uint8_t> data;
        bool cut = false;
        gifGatherSubBlocks(bytes.data(), bytes.size(), s.dataOffset, &data, &cut);
        int32_t r = gifDecodeLzw(data.data(), data.size(), s.codeSize, s.width, rowsWanted, storeGifRow, &c);
        if (r == kGifMemory) return IMGERR_MEMORY;
        return r == kGifOk ? IMG_OK : IMGERR_TRUNCATED;
    });
}

KRO_API int32_t CountGifImages(const char* name, int32_t* count) {
    if (!count) return IMGERR_PARAMETER;
    return guarded([&]() -> int32_t {
        std::lock_guard lock(formatLock(Format::gif));
        std::vector<uint8_t> bytes;
        if (int32_t e = readGif(name, bytes)) return e;
        return gifCountImages(bytes.data(), bytes.size(), count);
    });
}

KRO_API int32_t WriteGifFile(const char* name, ImageDescriptor* img) {
    return guarded([&]() -> int32_t {
        std::lock_guard lock(formatLock(Format::gif));
        if (int32_t e = checkImage(img, kDepthsBmpPcxGif)) return e;
        const int32_t bits = imageBits(img);
        if (bits == 24) return IMGERR_DEPTH;
        const int32_t b = bits == 1 ? 1 : 8;
        const int32_t entries = 1 << b;
        if (img->colors > entries) return IMGERR_AREA;
        const int32_t w = areaWidth(img), h = areaHeight(img);
        if (w > 65535 || h > 65535) return IMGERR_TOO_LARGE;
        if (img->colors <= 0) return IMGERR_PARAMETER;
        if (!img->palette) return IMGERR_AREA;

        std::vector<uint8_t> file;
        file.reserve(size_t(w) * h / 2 + 1024);
        const uint8_t head[13] = {'G', 'I', 'F', '8', '7', 'a', uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8),
                                  uint8_t(0x80 + (((b - 1) * 16) & 0x70) + (b - 1)), 0, 0};
        file.insert(file.end(), head, head + 13);
        // All 2^b entries of the table; entries the image has no room for are black.
        const int32_t have = tableCapacity(img);
        for (int32_t i = 0; i < entries; ++i) {
            const uint8_t* q = img->palette + 4 * i;
            const bool in = i < have;
            file.push_back(in ? q[2] : 0);
            file.push_back(in ? q[1] : 0);
            file.push_back(in ? q[0] : 0);
        }
        const uint8_t descriptor[10] = {',', 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 0};
        file.insert(file.end(), descriptor, descriptor + 10);
        const uint8_t codeSize = b == 1 ? 2 : 8;
        file.push_back(codeSize);

        SourceContext sc{img, b == 1, std::vector<uint8_t>(packedRowBytes(w, bits))};
        std::vector<uint8_t> codes;
        gifEncodeLzw(codeSize, uint32_t(w), uint32_t(h), gifSourceRow, &sc, &codes);
        for (size_t at = 0; at < codes.size();) {
            const size_t n = std::min<size_t>(254, codes.size() - at);
            file.push_back(uint8_t(n));
            file.insert(file.end(), codes.begin() + at, codes.begin() + at + n);
            at += n;
        }
        file.push_back(0);
        file.push_back(';');

        OutputFile out;
        if (int32_t e = out.create(name)) return e;
        out.put(file.data(), file.size());
        return out.finish();
    });
}
