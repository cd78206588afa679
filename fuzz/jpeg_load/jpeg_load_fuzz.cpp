// Fuzz bytes through LoadJpegMemory into an image of the size the headers give (limited so that
// a run stays fast) and into a small image with an offset area, at the depth the stream needs
// and at the other one.
#include <cstddef>
#include <cstdint>

#include "kroutil/image.h"
#include "kroutil/images/jpeg/jpeg_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    torvex::jpeg::HeaderInfo info;
    int32_t rc = torvex::jpeg::probeFrame(data, size, &info);
    // Huge pictures are legal and cheap to describe; their decoding time is not what is tested.
    if (rc == 0 && int64_t(info.width) * info.height > (1 << 22)) return 0;
    const int32_t bits = info.components == 1 ? 8 : 24;
    int32_t w = rc == 0 ? info.width : 64, h = rc == 0 ? info.height : 64;
    ImageDescriptor large{}, small{};
    if (allocimage(&large, w + 3, h + 2, bits) == IMG_OK) {
        LoadJpegMemory(data, uint32_t(size), &large);
        freeimage(&large);
    }
    if (allocimage(&small, 13, 11, size & 1 ? 24 : bits) == IMG_OK) {
        small.x1 = 2, small.y1 = 3, small.x2 = 10, small.y2 = 9;
        LoadJpegMemory(data, uint32_t(size), &small);
        freeimage(&small);
    }
    return 0;
}
