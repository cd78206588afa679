// The still-image formats the fuzz targets drive, as one table. Every format's functions are
// referenced weakly: a format whose file is not in the library yet has null entries and is left
// out, so a new format joins the targets by being built, with no edit here.
#pragma once

#include <cstdint>
#include <vector>

#include "kroutil/image.h"

extern "C" {
__attribute__((weak)) int32_t bmpinfo(const char*, KroBitmapInfoHeader*);
__attribute__((weak)) int32_t loadbmp(const char*, ImageDescriptor*);
__attribute__((weak)) int32_t WriteBmpFile(const char*, ImageDescriptor*, int32_t);
__attribute__((weak)) int32_t pcxinfo(const char*, PcxInfo*);
__attribute__((weak)) int32_t loadpcx(const char*, ImageDescriptor*);
__attribute__((weak)) int32_t WritePcxFile(const char*, ImageDescriptor*);
__attribute__((weak)) int32_t tgainfo(const char*, TgaInfo*);
__attribute__((weak)) int32_t loadtga(const char*, ImageDescriptor*);
__attribute__((weak)) int32_t LoadTgaWithAlpha(const char*, ImageDescriptor*, ImageDescriptor*);
__attribute__((weak)) int32_t WriteTgaFile(const char*, ImageDescriptor*, int32_t);
__attribute__((weak)) int32_t gifinfo(const char*, GifInfo*);
__attribute__((weak)) int32_t loadgif(const char*, ImageDescriptor*);
__attribute__((weak)) int32_t WriteGifFile(const char*, ImageDescriptor*);
__attribute__((weak)) int32_t CountGifImages(const char*, int32_t*);
__attribute__((weak)) int32_t tiffinfo(const char*, TiffInfo*);
__attribute__((weak)) int32_t loadtif(const char*, ImageDescriptor*);
__attribute__((weak)) int32_t WriteTiffFile(const char*, ImageDescriptor*, int32_t);
__attribute__((weak)) int32_t jpeginfo(const char*, JpegInfo*);
__attribute__((weak)) int32_t loadjpg(const char*, ImageDescriptor*);
__attribute__((weak)) int32_t WriteJpegFile(const char*, ImageDescriptor*, int32_t);
__attribute__((weak)) int32_t PngInfo(const char*, PngInfoRecord*);
__attribute__((weak)) int32_t LoadPngFile(const char*, ImageDescriptor*);
__attribute__((weak)) int32_t WritePngFile(const char*, ImageDescriptor*, int32_t);
}

namespace fuzzimg {

// What an info call tells the caller to allocate.
struct Size {
    int32_t width = 0, height = 0, bits = 0;
};

struct Format {
    const char* name;
    bool present;
    int32_t (*info)(const char*, Size*);            // IMG_OK and the size to allocate
    int32_t (*load)(const char*, ImageDescriptor*);
    int32_t (*write)(const char*, ImageDescriptor*, int32_t option);
    bool lossless;
    std::vector<int32_t> options;                    // writer options worth trying
    // 1-bit pictures are kept as black and white only: entry 0 is black when it is black in the
    // image, white otherwise, and entry 1 the other one.
    bool bilevelBlackWhite = false;
};

inline std::vector<Format> formats() {
    std::vector<Format> f;
    f.push_back({"bmp", bmpinfo && loadbmp && WriteBmpFile,
                 [](const char* n, Size* s) {
                     KroBitmapInfoHeader h{};
                     int32_t e = bmpinfo(n, &h);
                     *s = {h.width, h.height, h.bit_count == 1 ? 1 : h.bit_count <= 8 ? 8 : 24};
                     return e;
                 },
                 [](const char* n, ImageDescriptor* d) { return loadbmp(n, d); },
                 [](const char* n, ImageDescriptor* d, int32_t o) { return WriteBmpFile(n, d, o); }, true, {0, 1}});
    f.push_back({"pcx", pcxinfo && loadpcx && WritePcxFile,
                 [](const char* n, Size* s) {
                     PcxInfo h{};
                     int32_t e = pcxinfo(n, &h);
                     *s = {h.width, h.height, h.alloc_bits};
                     return e;
                 },
                 [](const char* n, ImageDescriptor* d) { return loadpcx(n, d); },
                 [](const char* n, ImageDescriptor* d, int32_t) { return WritePcxFile(n, d); }, true, {0}});
    f.push_back({"tga", tgainfo && loadtga && WriteTgaFile,
                 [](const char* n, Size* s) {
                     TgaInfo h{};
                     int32_t e = tgainfo(n, &h);
                     *s = {h.width, h.height, h.alloc_bits};
                     return e;
                 },
                 [](const char* n, ImageDescriptor* d) { return loadtga(n, d); },
                 [](const char* n, ImageDescriptor* d, int32_t o) { return WriteTgaFile(n, d, o); }, true, {0, 1}});
    f.push_back({"gif", gifinfo && loadgif && WriteGifFile,
                 [](const char* n, Size* s) {
                     GifInfo h{};
                     int32_t e = gifinfo(n, &h);
                     *s = {h.width, h.height, h.alloc_bits};
                     if (e == IMG_OK && CountGifImages) {
                         int32_t count = 0;
                         CountGifImages(n, &count);
                     }
                     return e;
                 },
                 [](const char* n, ImageDescriptor* d) { return loadgif(n, d); },
                 [](const char* n, ImageDescriptor* d, int32_t) { return WriteGifFile(n, d); }, true, {0}});
    f.push_back({"tiff", tiffinfo && loadtif && WriteTiffFile,
                 [](const char* n, Size* s) {
                     TiffInfo h{};
                     int32_t e = tiffinfo(n, &h);
                     *s = {h.width, h.height, h.alloc_bits};
                     return e;
                 },
                 [](const char* n, ImageDescriptor* d) { return loadtif(n, d); },
                 [](const char* n, ImageDescriptor* d, int32_t o) { return WriteTiffFile(n, d, o); }, true,
                 {0, 1, 2, 3, 4, 5, 16, 32}, true});
    f.push_back({"jpeg", jpeginfo && loadjpg && WriteJpegFile,
                 [](const char* n, Size* s) {
                     JpegInfo h{};
                     int32_t e = jpeginfo(n, &h);
                     *s = {h.width, h.height, h.alloc_bits};
                     return e;
                 },
                 [](const char* n, ImageDescriptor* d) { return loadjpg(n, d); },
                 [](const char* n, ImageDescriptor* d, int32_t o) { return WriteJpegFile(n, d, o); }, false, {75, 10}});
    f.push_back({"png", PngInfo && LoadPngFile && WritePngFile,
                 [](const char* n, Size* s) {
                     PngInfoRecord h{};
                     int32_t e = PngInfo(n, &h);
                     *s = {h.width, h.height, h.alloc_bits};
                     return e;
                 },
                 [](const char* n, ImageDescriptor* d) { return LoadPngFile(n, d); },
                 [](const char* n, ImageDescriptor* d, int32_t o) { return WritePngFile(n, d, o); }, true, {0, 1, 10}});
    std::erase_if(f, [](const Format& x) { return !x.present; });
    return f;
}

}  // namespace fuzzimg
