// Every still-image loader on the same bytes: the bytes go to a file, each format's info call
// says what to allocate, and the loader fills an image of that size and then a smaller one whose
// area starts inside it (so that clipping to the area is exercised too).
#include <cstdio>
#include <string>

#include <unistd.h>

#include "fuzz/image_formats.h"

namespace {
const std::string& inputPath() {
    static const std::string path = "/tmp/fuzz_image_load_" + std::to_string(getpid()) + ".bin";
    return path;
}
const std::vector<fuzzimg::Format>& table() {
    static const std::vector<fuzzimg::Format> t = fuzzimg::formats();
    return t;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(inputPath().c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    const char* name = inputPath().c_str();
    for (const auto& format : table()) {
        fuzzimg::Size s;
        if (format.info(name, &s) != IMG_OK) continue;
        // Pictures larger than 4 megapixels only cost time here.
        if (s.width <= 0 || s.height <= 0 || int64_t(s.width) * s.height > (1 << 22)) continue;
        ImageDescriptor img{};
        if (allocimage(&img, s.width, s.height, s.bits) == IMG_OK) {
            format.load(name, &img);
            freeimage(&img);
        }
        const int32_t w = s.width / 2 + 1, h = s.height / 2 + 1;
        if (allocimage(&img, w + 3, h + 2, s.bits) == IMG_OK) {
            img.x1 = 3, img.y1 = 2, img.x2 = w + 2, img.y2 = h + 1;
            format.load(name, &img);
            freeimage(&img);
        }
    }
    if (LoadTgaWithAlpha) {
        ImageDescriptor img{}, alpha{};
        if (allocimage(&img, 16, 16, 24) == IMG_OK && allocimage(&alpha, 9, 20, 8) == IMG_OK) LoadTgaWithAlpha(name, &img, &alpha);
        freeimage(&img);
        freeimage(&alpha);
    }
    return 0;
}
