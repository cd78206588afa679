// Small images made from the fuzz bytes go through every still-image writer and back through
// the format's own info call and loader; lossless formats must give the same picture back.
#include <cstring>
#include <string>

#include <unistd.h>

#include "fuzz/image_formats.h"

namespace {
const std::string& outputPath(const char* format) {
    static std::string path;
    path = "/tmp/fuzz_image_roundtrip_" + std::to_string(getpid()) + "." + format;
    return path;
}

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t next() {
        if (!n) return 0;
        --n;
        return *p++;
    }
};

// The picture of an image's area through its colour table, as 0x00RRGGBB values.
std::vector<uint32_t> areaColours(const ImageDescriptor& d) {
    std::vector<uint32_t> out;
    const auto* h = static_cast<const KroBitmapInfoHeader*>(d.header);
    for (int32_t y = d.y1; y <= d.y2; ++y) {
        const uint8_t* row = d.pixels + int64_t(h->height - 1 - y) * d.row_bytes;
        for (int32_t x = d.x1; x <= d.x2; ++x) {
            const uint8_t* q;
            if (h->bit_count == 24) q = row + 3 * x;
            else q = d.palette + 4 * (h->bit_count == 1 ? (row[x / 8] >> (7 - x % 8)) & 1 : row[x]);
            out.push_back(uint32_t(q[2]) << 16 | uint32_t(q[1]) << 8 | q[0]);
        }
    }
    return out;
}
// The picture of a 1-bit image's area in black and white: index 0 is black when its entry is.
std::vector<uint32_t> blackWhite(const ImageDescriptor& d) {
    const bool zeroIsBlack = (d.palette[0] | d.palette[1] | d.palette[2]) == 0;
    std::vector<uint32_t> out;
    const auto* h = static_cast<const KroBitmapInfoHeader*>(d.header);
    for (int32_t y = d.y1; y <= d.y2; ++y) {
        const uint8_t* row = d.pixels + int64_t(h->height - 1 - y) * d.row_bytes;
        for (int32_t x = d.x1; x <= d.x2; ++x) {
            const bool one = (row[x / 8] >> (7 - x % 8)) & 1;
            out.push_back(one == zeroIsBlack ? 0xFFFFFFu : 0);
        }
    }
    return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    static const int32_t depths[3] = {1, 8, 24};
    const int32_t bits = depths[in.next() % 3];
    const int32_t w = 1 + in.next() % 64, h = 1 + in.next() % 32;
    const int32_t x1 = in.next() % w, y1 = in.next() % h;
    const int32_t colors = bits == 24 ? 0 : 1 + in.next() % (bits == 1 ? 2 : 256);
    ImageDescriptor img{};
    if (allocimage(&img, w, h, bits) != IMG_OK) return 0;
    img.x1 = x1, img.y1 = y1;
    img.colors = colors;
    for (int32_t i = 0; i < 4 * colors; ++i) img.palette[i] = (i & 3) == 3 ? 0 : in.next();
    const size_t pixelBytes = size_t(img.row_bytes) * size_t(h);
    for (size_t i = 0; i < pixelBytes; ++i) {
        uint8_t v = in.next();
        // Indices inside the table, so that every reader can show them.
        if (bits == 8 && colors) v = uint8_t(v % colors);
        img.pixels[i] = v;
    }
    if (bits == 1 && colors == 1) img.colors = 2;
    // Two equal entries of a 1-bit table read back as no table (black and white): keep them apart.
    if (bits == 1 && std::memcmp(img.palette, img.palette + 4, 3) == 0) img.palette[4] ^= 0x80;
    // Random tables are no grey ramp (a grey image would be written as grey levels).
    img.flags = 0;
    const auto want = areaColours(img);
    for (const auto& format : fuzzimg::formats()) {
        for (int32_t option : format.options) {
            const char* name = outputPath(format.name).c_str();
            if (format.write(name, &img, option) != IMG_OK) {
                if (access(name, F_OK) == 0) __builtin_trap();  // a failed writer leaves no file
                continue;
            }
            fuzzimg::Size s;
            if (format.info(name, &s) != IMG_OK) __builtin_trap();
            if (s.width != img.x2 - img.x1 + 1 || s.height != img.y2 - img.y1 + 1) __builtin_trap();
            ImageDescriptor back{};
            if (allocimage(&back, s.width, s.height, s.bits) != IMG_OK) __builtin_trap();
            const int32_t r = format.load(name, &back);
            if (r != IMG_OK) __builtin_trap();
            if (format.lossless && areaColours(back) != (bits == 1 && format.bilevelBlackWhite ? blackWhite(img) : want))
                __builtin_trap();
            freeimage(&back);
            unlink(name);
        }
    }
    freeimage(&img);
    return 0;
}
