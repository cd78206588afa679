// PNG files: the info record, loading into a 1-, 8- or 24-bit image, and writing.
#include <algorithm>
#include <cstring>
#include <vector>

#include "kroutil/images/image_core.h"
#include "kroutil/images/png_codec.h"

using namespace kroimg;

namespace {

int32_t readPng(const char* name, std::vector<uint8_t>& bytes, PngStructure* png) {
    InputFile in;
    if (int32_t e = in.open(name)) return e;
    if (int32_t e = in.readRest(0, bytes)) return e;
    return pngReadStructure(bytes.data(), bytes.size(), png) == kPngOk ? IMG_OK : IMGERR_BAD_PNG;
}

struct StoreContext {
    ImageDescriptor* img;
    int64_t width;
};

void storePngRow(void* context, uint32_t row, const uint8_t* pixels) {
    auto* c = static_cast<StoreContext*>(context);
    storeRow(c->img, areaRow(c->img, row), pixels, c->width);
}

struct RowContext {
    ImageDescriptor* img;
    int32_t bits;
};

void pngSourceRow(void* context, uint32_t row, uint8_t* out) {
    auto* c = static_cast<RowContext*>(context);
    loadRow(c->img, c->img->y1 + int32_t(row), out);
    if (c->bits == 24) {
        const int32_t w = areaWidth(c->img);
        for (int32_t x = 0; x < w; ++x) std::swap(out[3 * x], out[3 * x + 2]);
    }
}

bool pngPut(void* context, const uint8_t* data, size_t size) { return static_cast<OutputFile*>(context)->put(data, size); }

}  // namespace

KRO_API int32_t PngInfo(const char* name, PngInfoRecord* info) {
    if (!info) return IMGERR_PARAMETER;
    return guarded([&]() -> int32_t {
        std::lock_guard lock(formatLock(Format::png));
        std::vector<uint8_t> bytes;
        PngStructure s;
        if (int32_t e = readPng(name, bytes, &s)) return e;
        std::memset(info, 0, sizeof *info);
        info->width = int32_t(s.width);
        info->height = int32_t(s.height);
        info->bit_depth = s.depth;
        info->alloc_bits = int32_t(s.allocBits);
        info->color_type = s.colorType;
        info->interlaced = s.interlaced;
        info->layout = s.layout;
        info->samples = int32_t(s.samples);
        info->file_pixel_bits = int32_t(s.bitsPerPixel);
        info->file_row_bytes = int32_t(s.rowBytes);
        if (s.hasTrns) {
            info->trns_seen = 1;
            info->trns_bytes = int32_t(s.trnsBytes);
            if (s.colorType == 3) info->trns_data[0] = s.trnsIndex;
            else std::memcpy(info->trns_data, s.trnsValues, sizeof s.trnsValues);
        }
        if (s.hasBkgd) {
            info->bkgd_seen = 1;
            info->bkgd_length = int32_t(s.bkgdLength);
            std::memcpy(info->bkgd_data, s.bkgd, sizeof s.bkgd);
        }
        info->gamma = int32_t(s.gamma);
        std::memcpy(&info->sbit, s.sbit, sizeof s.sbit);
        if (s.hasPhys) {
            info->phys_x = int32_t(s.physX);
            info->phys_y = int32_t(s.physY);
            info->phys_unit = s.physUnit;
        }
        if (s.hasOffs) {
            info->offs_x = s.offsX;
            info->offs_y = s.offsY;
            info->offs_unit = s.offsUnit;
        }
        return IMG_OK;
    });
}

KRO_API int32_t LoadPngFile(const char* name, ImageDescriptor* img) {
    return guarded([&]() -> int32_t {
        std::lock_guard lock(formatLock(Format::png));
        if (int32_t e = checkImage(img, kDepthsPng)) return e;
        std::vector<uint8_t> bytes;
        PngStructure s;
        if (int32_t e = readPng(name, bytes, &s)) return e;
        // Rows are stored in the layout's own depth; into any other depth they would not fit.
        if (uint32_t(imageBits(img)) != s.allocBits) return IMGERR_DEPTH;
        if (s.colorType == 3) {
            uint8_t quads[256 * 4] = {};
            for (uint32_t i = 0; i < s.paletteEntries; ++i) {
                quads[4 * i] = s.palette[3 * i + 2];
                quads[4 * i + 1] = s.palette[3 * i + 1];
                quads[4 * i + 2] = s.palette[3 * i];
            }
            setColourTable(img, quads, int32_t(s.paletteEntries));
        } else {
            setGreyTable(img);
        }
        StoreContext c{img, int64_t(s.width)};
        uint32_t rows = uint32_t(std::min<int64_t>(areaHeight(img), s.height));
        int32_t r = pngDecodeRows(bytes.data(), bytes.size(), s, rows, storePngRow, &c);
        if (r == kPngMemory) return IMGERR_MEMORY;
        return r == kPngOk ? IMG_OK : IMGERR_BAD_PNG;
    });
}

KRO_API int32_t WritePngFile(const char* name, ImageDescriptor* img, int32_t options) {
    return guarded([&]() -> int32_t {
        std::lock_guard lock(formatLock(Format::png));
        if (int32_t e = checkImage(img, kDepthsPng)) return e;
        const int32_t bits = imageBits(img);
        PngWriteLayout layout;
        layout.width = uint32_t(areaWidth(img));
        layout.height = uint32_t(areaHeight(img));
        layout.interlaced = (options & 1) != 0;
        // Option bits 1-3: 0 adaptive, then None, Sub, Up, Average, Paeth; 12 and 14 name no filter.
        const int32_t filterOption = options & 14;
        if (filterOption > 10) return IMGERR_PARAMETER;
        layout.filter = filterOption == 0 ? -1 : filterOption / 2 - 1;
        uint8_t rgb[256 * 3];
        if (bits == 24) {
            layout.colorType = 2;
        } else if (bits == 8 && (img->flags & IMAGE_FLAG_GREY)) {
            layout.colorType = 0;
        } else {
            layout.colorType = 3;
            layout.depth = uint8_t(bits);
            // Never an empty PLTE (a grey ramp stands in for a missing table) and never more
            // entries than the depth can index.
            const int32_t limit = 1 << bits;
            if (img->colors > 0 && !img->palette) return IMGERR_AREA;
            if (img->colors > 0) {
                const int32_t n = std::min(std::min(img->colors, limit), tableCapacity(img));
                for (int32_t i = 0; i < n; ++i) {
                    rgb[3 * i] = img->palette[4 * i + 2];
                    rgb[3 * i + 1] = img->palette[4 * i + 1];
                    rgb[3 * i + 2] = img->palette[4 * i];
                }
                layout.paletteEntries = uint32_t(n);
            }
            if (layout.paletteEntries == 0) {
                const int32_t step = bits == 1 ? 255 : 1;
                for (int32_t i = 0; i < limit; ++i) rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = uint8_t(i * step);
                layout.paletteEntries = uint32_t(limit);
            }
            layout.paletteRgb = rgb;
        }
        OutputFile out;
        if (int32_t e = out.create(name)) return e;
        RowContext rc{img, bits};
        int32_t r = pngEncode(layout, pngSourceRow, &rc, pngPut, &out);
        if (r != kPngOk) return r == kPngMemory ? IMGERR_MEMORY : r == kPngDeflate ? IMGERR_DEFLATE : IMGERR_WRITE;
        return out.finish();
    });
}
