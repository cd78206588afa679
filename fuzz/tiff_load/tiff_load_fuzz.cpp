// Fuzz bytes as a TIFF file: the info record, then loading into an image of the size it gives, into
// a smaller image whose area starts inside it (clipping, and the orientation of a square area), and
// with the alpha samples kept.
#include <algorithm>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "kroutil/image.h"
#include "kroutil/images/tiff_load.h"

namespace {
const std::string& inputPath() {
    static const std::string path = "/tmp/fuzz_tiff_load_" + std::to_string(getpid()) + ".tif";
    return path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(inputPath().c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    const char* name = inputPath().c_str();
    TiffInfo info{};
    if (tiffinfo(name, &info) != IMG_OK) {
        // The loader checks the header itself too.
        ImageDescriptor img{};
        if (allocimage(&img, 8, 8, 8) == IMG_OK) loadtif(name, &img);
        freeimage(&img);
        return 0;
    }
    if (info.width <= 0 || info.height <= 0 || int64_t(info.width) * info.height > (1 << 22)) return 0;
    const int32_t bits = info.alloc_bits;
    ImageDescriptor img{};
    if (allocimage(&img, info.width, info.height, bits) == IMG_OK) {
        loadtif(name, &img);
        freeimage(&img);
    }
    const int32_t side = std::min(info.width, info.height) / 2 + 1;
    ImageDescriptor alpha{};
    if (allocimage(&img, side + 5, side + 3, bits) == IMG_OK && allocimage(&alpha, side, side + 1, 8) == IMG_OK) {
        img.x1 = 5, img.y1 = 3, img.x2 = side + 4, img.y2 = side + 2;
        kroimg::loadTiffWithAlpha(name, &img, &alpha);
    }
    freeimage(&img);
    freeimage(&alpha);
    return 0;
}
