// The JPEG calls of the image interface: header, load from a file or from memory, write.
#include <cstring>
#include <vector>

#include "kroutil/image.h"
#include "kroutil/images/image_core.h"
#include "kroutil/images/jpeg/jpeg_internal.h"
#include "kroutil/images/jpeg/jpeg_load.h"

namespace {

using namespace torvex::jpeg;

void toRecord(const HeaderInfo& h, JpegInfo* info) {
    info->frame_type = h.frameType;
    info->width = h.width;
    info->height = h.height;
    info->components = h.components;
    info->precision = h.precision;
    for (int i = 0; i < 4; ++i) info->sampling[i] = h.sampling[i];
    info->alloc_bits = h.bitsPerPixel;
}

// Decodes a stream held in memory into the image's area (the caller holds the JPEG lock and has
// checked the image).
int32_t loadStream(const uint8_t* data, size_t size, ImageDescriptor* img, const LoadOptions& opts) {
    HeaderInfo h;
    int32_t rc = probeFrame(data, size, &h);
    if (rc != kOk) return rc;
    const int32_t bits = kroimg::imageBits(img);
    if ((h.components == 1) != (bits == 8)) return IMGERR_DEPTH;
    const int32_t bytesPerPixel = bits / 8;
    JpegOutput out;
    out.first = kroimg::rowPointer(img, img->y1) + ptrdiff_t(img->x1) * bytesPerPixel;
    out.stride = -ptrdiff_t(img->row_bytes);  // rows are stored bottom-up
    out.width = kroimg::areaWidth(img);
    out.height = kroimg::areaHeight(img);
    out.channels = bytesPerPixel;
    rc = decodeJpeg(data, size, out, opts);
    if (rc == kOk && h.components == 1) kroimg::setGreyTable(img);
    return rc;
}

}  // namespace

namespace kroimg {

int32_t loadJpegMemory(const void* data, uint32_t length, ImageDescriptor* img, bool convertFromYcc) {
    if (!data) return IMGERR_BAD_SOURCE;
    return guarded([&]() -> int32_t {
        std::lock_guard lock(formatLock(Format::jpeg));
        if (int32_t e = checkImage(img, kDepthsTgaJpegColour)) return e;
        LoadOptions opts;
        opts.honourNoTransform = false;  // memory streams are always converted, unless asked not to
        opts.raw = !convertFromYcc;
        return loadStream(static_cast<const uint8_t*>(data), length, img, opts);
    });
}

}  // namespace kroimg

extern "C" {

KRO_API int32_t jpeginfo(const char* name, JpegInfo* info) {
    if (!info) return IMGERR_PARAMETER;
    return kroimg::guarded([&]() -> int32_t {
        std::lock_guard lock(kroimg::formatLock(kroimg::Format::jpeg));
        std::memset(info, 0, sizeof *info);
        info->frame_type = -1;
        kroimg::InputFile in;
        if (int32_t e = in.open(name)) return e;
        // The headers are usually in the first few kilobytes: read more only when they go on.
        std::vector<uint8_t> data;
        for (uint64_t want = 65536;; want *= 4) {
            if (int32_t e = in.readRest(0, data, want)) return e;
            HeaderInfo h;
            int32_t rc = readHeaderInfo(data.data(), data.size(), &h);
            if (rc == kOk || data.size() >= in.size) {
                toRecord(h, info);
                return rc;
            }
        }
    });
}

KRO_API int32_t loadjpg(const char* name, ImageDescriptor* img) {
    return kroimg::guarded([&]() -> int32_t {
        std::lock_guard lock(kroimg::formatLock(kroimg::Format::jpeg));
        kroimg::InputFile in;
        if (int32_t e = in.open(name)) return e;
        if (int32_t e = kroimg::checkImage(img, kroimg::kDepthsTgaJpegColour)) return e;
        std::vector<uint8_t> data;
        if (int32_t e = in.readRest(0, data)) return e;
        return loadStream(data.data(), data.size(), img, LoadOptions{});
    });
}

KRO_API int32_t LoadJpegMemory(const void* data, uint32_t length, ImageDescriptor* img) {
    return kroimg::loadJpegMemory(data, length, img, true);
}

KRO_API int32_t WriteJpegFile(const char* name, ImageDescriptor* img, int32_t quality) {
    return kroimg::guarded([&]() -> int32_t {
        std::lock_guard lock(kroimg::formatLock(kroimg::Format::jpeg));
        if (int32_t e = kroimg::checkImage(img, kroimg::kDepthsTgaJpegColour)) return e;
        const int32_t w = kroimg::areaWidth(img), h = kroimg::areaHeight(img);
        if (w > 65535 || h > 65535) return IMGERR_TOO_LARGE;
        const int32_t bytesPerPixel = kroimg::imageBits(img) / 8;
        JpegInput in;
        in.first = kroimg::rowPointer(img, img->y1) + ptrdiff_t(img->x1) * bytesPerPixel;
        in.stride = -ptrdiff_t(img->row_bytes);
        in.width = w;
        in.height = h;
        in.channels = bytesPerPixel;
        if (bytesPerPixel == 1 && !(img->flags & IMAGE_FLAG_GREY)) {
            // A colour-mapped image is written as colour, through its table.
            if (!img->palette || img->colors <= 0) return IMGERR_AREA;
            in.palette = img->palette;
            in.colors = img->colors;
        }
        kroimg::OutputFile out;
        if (int32_t e = out.create(name)) return e;
        ByteSink sink;
        sink.ctx = &out;
        sink.write = [](void* ctx, const uint8_t* p, size_t n) { return static_cast<kroimg::OutputFile*>(ctx)->put(p, n); };
        int32_t rc = encodeJpeg(in, quality, sink);
        if (rc != kOk) return rc;  // the file goes with `out`
        return out.finish();
    });
}

}  // extern "C"
