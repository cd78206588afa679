// PNG reading and writing over memory, below the file-level entry points of png.cpp.
//
// Kept apart from the descriptor so that the chunk walk and the IDAT chain can be driven
// directly (the inflate-chain fuzz target does) and so that the row work can be measured alone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kroimg {

// What the chunk walk found. Pointers point into the caller's file bytes.
struct PngStructure {
    uint32_t width = 0, height = 0;
    uint8_t depth = 0, colorType = 0, interlaced = 0;
    int layout = -1;               // row of the layout table, 0..14
    uint32_t allocBits = 0;        // 1, 8 or 24
    uint32_t samples = 0;          // samples per pixel
    uint32_t bitsPerPixel = 0;     // depth x samples
    uint64_t rowBytes = 0;         // bytes of one file row, without its filter byte
    const uint8_t* palette = nullptr;  // PLTE data (RGB triples), first PLTE only
    uint32_t paletteEntries = 0;       // at most 256
    size_t firstIdat = 0;              // offset of the first IDAT chunk (its length field)
    // Ancillary chunks.
    bool hasTrns = false;
    int32_t trnsIndex = 0;         // palette images: the first entry with the smallest alpha
    uint16_t trnsValues[3] = {};   // grey or colour images: the transparent sample values
    uint32_t trnsBytes = 0;
    bool hasBkgd = false;
    uint32_t bkgdLength = 0;
    uint8_t bkgd[6] = {};          // 16-bit values in machine order
    bool hasGamma = false;
    uint32_t gamma = 0;
    uint32_t sbitLength = 0;
    uint8_t sbit[4] = {};
    bool hasPhys = false;
    uint32_t physX = 0, physY = 0;
    uint8_t physUnit = 0;
    bool hasOffs = false;
    int32_t offsX = 0, offsY = 0;
    uint8_t offsUnit = 0;
};

// Result codes of this layer (the image library's values).
constexpr int32_t kPngOk = 0;
constexpr int32_t kPngBad = -63;
constexpr int32_t kPngMemory = -14;
constexpr int32_t kPngDeflate = -64;

// Walks signature and chunks up to IEND; checks every chunk's CRC except IDAT's.
int32_t pngReadStructure(const uint8_t* file, size_t size, PngStructure* out);

// Receives picture row `row` converted to the image's form: 1-bit rows packed from the most
// significant bit, 8-bit rows one byte a pixel, 24-bit rows blue, green, red. The row holds the
// file's full width.
using PngRowSink = void (*)(void* context, uint32_t row, const uint8_t* pixels);

// Inflates the IDAT chain and hands every picture row below `storedRows` to the sink (all rows
// are inflated and checked whether stored or not). Palette indices beyond the PLTE read as 0.
int32_t pngDecodeRows(const uint8_t* file, size_t size, const PngStructure& png, uint32_t storedRows,
                      PngRowSink sink, void* context);

// The writer's layouts.
struct PngWriteLayout {
    uint32_t width = 0, height = 0;
    uint8_t depth = 8;      // 1 or 8
    uint8_t colorType = 2;  // 0, 2 or 3
    const uint8_t* paletteRgb = nullptr;  // colour type 3: entries as red, green, blue
    uint32_t paletteEntries = 0;
    bool interlaced = false;
    int filter = -1;        // -1 adaptive, else 0..4 (only grey and true colour rows are filtered)
};

// Supplies picture row `row` in file order (packed 1-bit, grey or index bytes, or red, green,
// blue) into `out`, which has room for the file row.
using PngRowSource = void (*)(void* context, uint32_t row, uint8_t* out);
// Takes bytes of the file; returns false when they could not all be written.
using PngOutput = bool (*)(void* context, const uint8_t* data, size_t size);

// Writes the whole file: signature, IHDR, PLTE, pHYs, IDAT chunks of 8192 bytes, IEND.
// Returns kPngOk, kPngMemory, kPngDeflate, or -3 when output failed.
int32_t pngEncode(const PngWriteLayout& layout, PngRowSource source, void* sourceContext, PngOutput output,
                  void* outputContext);

// The adaptive choice: the filter whose output has the smallest sum of bytes taken as signed
// magnitudes, the lowest number on ties. Exposed for tests.
int pngChooseFilter(const uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp);

}  // namespace kroimg
