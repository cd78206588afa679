// GIF over memory, below the file-level entry points of gif.cpp: the block scan, LZW decoding
// into rows, and the LZW encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kroimg {

constexpr int32_t kGifOk = 0;
constexpr int32_t kGifNotGif = -17;
constexpr int32_t kGifTruncated = -62;
constexpr int32_t kGifMemory = -14;

// What the scan found about the logical screen and the first image.
struct GifStructure {
    int32_t version = 0;                 // 87 or 89
    uint32_t screenWidth = 0, screenHeight = 0;
    uint8_t screenPacked = 0;
    const uint8_t* globalTable = nullptr;  // RGB triples
    uint32_t globalEntries = 0;
    // First image.
    uint32_t left = 0, top = 0, width = 0, height = 0;
    uint8_t imagePacked = 0;
    const uint8_t* localTable = nullptr;
    uint32_t localEntries = 0;
    bool interlaced = false;
    int32_t transparent = -1;
    uint32_t disposal = 0, userInput = 0, delay = 0;
    uint8_t codeSize = 0;
    size_t dataOffset = 0;  // first sub-block of the LZW data
};

// Reads the header and the blocks up to the first image's LZW data. kGifNotGif for a file that
// is not a GIF or has no image; kGifTruncated when it ends before the first image's data.
int32_t gifReadStructure(const uint8_t* file, size_t size, GifStructure* out);

// Counts the images up to the trailer (or up to where the scan ends without one).
int32_t gifCountImages(const uint8_t* file, size_t size, int32_t* count);

// Joins the data sub-blocks starting at `offset`; sets *cut when the file ends inside the chain.
void gifGatherSubBlocks(const uint8_t* file, size_t size, size_t offset, std::vector<uint8_t>* data, bool* cut);

// Receives decoded row `n` (in the order of the data, before interlace mapping) of `width`
// pixel bytes.
using GifRowSink = void (*)(void* context, uint32_t row, const uint8_t* pixels);

// Decodes LZW data of the given minimum code size into rows of `width` pixels, stopping at the
// end code or after `rowsWanted` rows. Returns kGifOk, or kGifTruncated when the data ran out or
// went wrong first (the rows already delivered stay).
int32_t gifDecodeLzw(const uint8_t* data, size_t size, uint8_t codeSize, uint32_t width, uint32_t rowsWanted,
                     GifRowSink sink, void* context);

// The picture row of decoded row n of an interlaced image `height` rows high.
uint32_t gifInterlacedRow(uint32_t n, uint32_t height);

// Encodes rows of pixels (each below 2^codeSize) as LZW data for minimum code size `codeSize`:
// a clear code first and again whenever the table is full, the end code last. The packed bytes
// are appended to `out`.
using GifPixelSource = void (*)(void* context, uint32_t row, uint8_t* pixels);
void gifEncodeLzw(uint8_t codeSize, uint32_t width, uint32_t height, GifPixelSource source, void* context,
                  std::vector<uint8_t>* out);

}  // namespace kroimg
