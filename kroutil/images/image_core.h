// The still-image library's shared core: what every format's reader and writer uses.
//
// A reader:
//   std::lock_guard lock(kroimg::formatLock(kroimg::Format::gif));
//   kroimg::InputFile in;                       // open: IMGERR_OPEN
//   if (int32_t e = in.open(name)) return e;
//   if (int32_t e = kroimg::checkImage(img, kroimg::kDepthsBmpPcxGif)) return e;
//   ... decode each file row into a buffer in the image's own depth (1-bit: leftmost pixel in
//   the top bit of byte 0), then kroimg::storeRow(img, kroimg::areaRow(img, r), row, pixels) ...
//   kroimg::setColourTable(img, entries, n) or kroimg::setGreyTable(img);
// A writer:
//   check the image, then kroimg::OutputFile out; out.create(name) (IMGERR_CREATE); put(...);
//   take each area row with kroimg::loadRow(img, y, buffer); return out.finish().
//   Any return before finish() deletes the file (the destructor does it).
//
// Locks: one per format, taken for the whole call. The TIFF reader calls the JPEG memory loader
// while it holds the TIFF lock, so the order is always TIFF before JPEG; no other format's call
// takes a second format's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "kroutil/image.h"
#include "kroutil/kro_file.h"

namespace kroimg {

// ---- depths and checks -------------------------------------------------------------------------

constexpr uint32_t depthBit(int32_t bits) { return bits >= 0 && bits < 32 ? 1u << bits : 0u; }
// The depths each family accepts (a set of depthBit values).
constexpr uint32_t kDepthsBmpPcxGif = depthBit(1) | depthBit(8) | depthBit(24);  // also the vertical flip
constexpr uint32_t kDepthsTgaJpegColour = depthBit(8) | depthBit(24);
constexpr uint32_t kDepthsTiff = depthBit(1) | depthBit(8) | depthBit(16) | depthBit(24);
constexpr uint32_t kDepthsPng = depthBit(1) | depthBit(8) | depthBit(24);

inline const KroBitmapInfoHeader* headerOf(const ImageDescriptor* img) {
    return static_cast<const KroBitmapInfoHeader*>(img->header);
}
inline KroBitmapInfoHeader* headerOf(ImageDescriptor* img) { return static_cast<KroBitmapInfoHeader*>(img->header); }
inline int32_t imageWidth(const ImageDescriptor* img) { return headerOf(img)->width; }
inline int32_t imageHeight(const ImageDescriptor* img) { return headerOf(img)->height; }
inline int32_t imageBits(const ImageDescriptor* img) { return headerOf(img)->bit_count; }
inline int32_t areaWidth(const ImageDescriptor* img) { return img->x2 - img->x1 + 1; }
inline int32_t areaHeight(const ImageDescriptor* img) { return img->y2 - img->y1 + 1; }

// The check every reader and writer makes first: null descriptor, pixels or header, a negative
// corner, an area outside the image or a row_bytes too small for the width give IMGERR_AREA
// (reversed corners are swapped in the descriptor first); a compressed header IMGERR_PACKED; a
// depth outside `depths` IMGERR_DEPTH. After IMG_OK the area lies inside the image and every row
// pointer below is valid.
int32_t checkImage(ImageDescriptor* img, uint32_t depths);

// Row y of the image, counted from the top (0 <= y < height).
inline uint8_t* rowPointer(const ImageDescriptor* img, int32_t y) {
    return img->pixels + int64_t(imageHeight(img) - 1 - y) * img->row_bytes;
}
// The image row where row r of the picture (counted from its top) goes: y1 + r, or -1 when r is
// outside the area's height.
inline int32_t areaRow(const ImageDescriptor* img, int64_t r) {
    return r >= 0 && r < areaHeight(img) ? int32_t(img->y1 + r) : -1;
}
// Bytes of a row of `pixels` pixels at `bits` per pixel (1-bit rows rounded up to whole bytes).
inline size_t packedRowBytes(int64_t pixels, int32_t bits) { return size_t((pixels * bits + 7) / 8); }

// Stores one decoded row into image row y (top-counted; -1 is ignored) at column x1: at most the
// area's width of its `pixels` pixels. `src` is in the image's depth; a 1-bit row starts with
// its first pixel in the top bit of src[0] and is realigned so that it lands at bit x1.
void storeRow(ImageDescriptor* img, int32_t y, const uint8_t* src, int64_t pixels);
// The area's part of image row y as a row of areaWidth pixels starting at dst[0] (1-bit rows
// realigned so that column x1 is the top bit of dst[0]; the bits past the width are 0). dst holds
// packedRowBytes(areaWidth, bits) bytes.
void loadRow(const ImageDescriptor* img, int32_t y, uint8_t* dst);

// ---- colour tables -------------------------------------------------------------------------------

// The number of table entries an image of this depth has room for (2^bits below 16 bits, else 0),
// limited to what its header says when that is smaller.
int32_t tableCapacity(const ImageDescriptor* img);
// Whether a table of `colors` quads is the grey ramp of `bits` per pixel.
bool isGreyTable(const uint8_t* quads, int32_t colors, int32_t bits);
// The default grey table of the image's depth: table, colors and IMAGE_FLAG_GREY (16-bit: the
// flag alone; 24-bit: no table, flag clear).
void setGreyTable(ImageDescriptor* img);
// Copies up to the table's capacity of blue, green, red, 0 quads, sets colors and the grey flag
// by the grey-scale rule.
void setColourTable(ImageDescriptor* img, const uint8_t* quads, int32_t count);
// Sets the grey flag by the grey-scale rule from the image's own table.
void updateGreyFlag(ImageDescriptor* img);

// ---- vertical flip -------------------------------------------------------------------------------

// Copies the common area of src upside down into dst's area (src and dst may be the same image).
// Both are checked (1, 8, 24 bits); unequal depths give IMGERR_DEPTH.
int32_t flipVertical(ImageDescriptor* src, ImageDescriptor* dst);

// ---- locks ------------------------------------------------------------------------------------------

enum class Format { bmp, pcx, tga, gif, tiff, jpeg, png, colourMap, count };
std::mutex& formatLock(Format f);

// ---- files ------------------------------------------------------------------------------------------

// An input file read through the buffered file layer; closed when the object goes away.
struct InputFile {
    KroFile* file = nullptr;
    uint64_t size = 0;

    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // IMG_OK or IMGERR_OPEN.
    int32_t open(const char* name, int32_t bufferSize = 1 << 17);
    // Reads up to n bytes at the current position; the count read.
    size_t read(void* dst, size_t n);
    // Reads up to n bytes at offset; the count read (0 past the end).
    size_t readAt(uint64_t offset, void* dst, size_t n);
    // The whole file from offset on (at most maxBytes) into out: IMG_OK or IMGERR_MEMORY.
    int32_t readRest(uint64_t offset, std::vector<uint8_t>& out, uint64_t maxBytes = UINT64_MAX);
    uint64_t position() const;
    void seek(uint64_t offset);
};

// A writer's output file: created by create(), deleted again unless finish() succeeds.
struct OutputFile {
    KroFile* file = nullptr;
    char name[KRO_FILE_NAME_SIZE] = {};
    bool failed = false;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Closes and deletes the file when finish() did not succeed.
    ~OutputFile();

    // IMG_OK or IMGERR_CREATE.
    int32_t create(const char* fileName, int32_t bufferSize = 1 << 17);
    // Appends n bytes; false (and the file marked failed) on a short write.
    bool put(const void* src, size_t n);
    bool put8(uint8_t v) { return put(&v, 1); }
    // Writes n bytes at offset, then returns to the end.
    bool putAt(uint64_t offset, const void* src, size_t n);
    uint64_t position() const;
    // Closes the file: IMG_OK, or IMGERR_WRITE (and the file deleted) after any short write.
    int32_t finish();
    // Closes and deletes the file now.
    void discard();
};

// Runs a call body, turning an escaped allocation failure into IMGERR_MEMORY (no exception
// leaves the library).
template <class Body>
int32_t guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return IMGERR_MEMORY;
    } catch (...) {
        return IMGERR_MEMORY;
    }
}

}  // namespace kroimg
