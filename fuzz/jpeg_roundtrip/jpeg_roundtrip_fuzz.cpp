// Random pictures through the writer and back: the first bytes choose the size, depth (grey,
// colour-mapped, true colour) and quality, the rest are the pixels. The file must load again at
// the same size; a picture written at quality 100 comes back close to what was written.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "kroutil/image.h"

namespace {
std::string tempName() {
    static std::string name = "/tmp/fuzz_jpeg_roundtrip_" + std::to_string(getpid()) + ".jpg";
    return name;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int32_t w = 1 + data[0] % 70, h = 1 + data[1] % 70;
    const int kind = data[2] % 3;  // 0 grey, 1 colour-mapped, 2 true colour
    const int32_t quality = int32_t(data[3] % 110) - 2;
    data += 4;
    size -= 4;
    ImageDescriptor img{};
    if (allocimage(&img, w, h, kind == 2 ? 24 : 8) != IMG_OK) return 0;
    size_t n = size_t(img.row_bytes) * size_t(h);
    for (size_t i = 0; i < n && size; ++i) img.pixels[i] = data[i % size];
    if (kind == 1) {
        img.flags = 0;
        for (int32_t i = 0; i < 256 * 4 && size; ++i) img.palette[i] = data[(i * 7) % size];
    }
    const std::string name = tempName();
    int32_t rc = WriteJpegFile(name.c_str(), &img, quality);
    if (rc != IMG_OK) std::abort();
    JpegInfo info;
    if (jpeginfo(name.c_str(), &info) != IMG_OK || info.width != w || info.height != h) std::abort();
    ImageDescriptor back{};
    if (allocimage(&back, w, h, info.alloc_bits) == IMG_OK) {
        if (loadjpg(name.c_str(), &back) != IMG_OK) std::abort();
        if (kind == 0 && quality >= 100) {
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    int a = img.pixels[size_t(y) * img.row_bytes + x], b = back.pixels[size_t(y) * back.row_bytes + x];
                    if (a - b > 8 || b - a > 8) std::abort();
                }
        }
        freeimage(&back);
    }
    std::remove(name.c_str());
    freeimage(&img);
    return 0;
}
