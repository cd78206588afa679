// What the picture plane writer and decoder share: the plane tags, the predictions, the slice
// height and the colour conversion. docs/quarn-planes.md describes the bitstream.
#pragma once

#include <cstdint>

namespace quarn {

constexpr uint8_t kPlaneMark = 'P';
constexpr uint8_t kPlaneConstant = 'C';  // one value for every sample
constexpr uint8_t kPlaneSpatial = 'K';   // predicted from the samples left, above and above-left
constexpr uint8_t kPlaneTemporal = 'D';  // predicted from the same sample of the previous frame

// A slice's values share one code. The encoder's code lengths stay within 30 bits as long as a
// slice has fewer values than the 33rd Fibonacci number; 2^20 keeps well below it.
constexpr uint32_t kSliceValues = 1u << 20;

inline uint32_t sliceRows(uint32_t width, uint32_t height) {
    uint32_t rows = kSliceValues / (width ? width : 1);
    if (rows < 1) rows = 1;
    if (rows > height) rows = height;
    if (rows > 65535) rows = 65535;
    return rows;
}

inline uint32_t chromaSide(uint32_t side) { return (side + 1) / 2; }

// The spatial prediction of sample (x, y) in a plane of rows `stride` apart: 128 for the first
// sample, the left one along the first row, the one above down the first column, elsewhere the
// median of left, above and left + above - above-left.
inline uint8_t predictSpatial(const uint8_t* plane, uint32_t stride, uint32_t x, uint32_t y) {
    if (y == 0) return x == 0 ? 128 : plane[x - 1];
    const uint8_t* row = plane + size_t(y) * stride;
    const uint8_t* up = row - stride;
    if (x == 0) return up[0];
    int a = row[x - 1], b = up[x], c = up[x - 1];
    int lo = a < b ? a : b, hi = a < b ? b : a;
    if (c >= hi) return uint8_t(lo);
    if (c <= lo) return uint8_t(hi);
    return uint8_t(a + b - c);
}

// Colour: full-range luma and chroma in 16-bit fixed point. Grey (r = g = b) gives y = r and
// both chroma values 128, and comes back exactly.
inline uint8_t clampByte(int32_t v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

inline uint8_t lumaOf(uint32_t r, uint32_t g, uint32_t b) { return uint8_t((19595 * r + 38470 * g + 7471 * b + 32768) >> 16); }
inline uint8_t blueDiffOf(int32_t r, int32_t g, int32_t b) {
    return clampByte(128 + ((-11059 * r - 21709 * g + 32768 * b + 32768) >> 16));
}
inline uint8_t redDiffOf(int32_t r, int32_t g, int32_t b) {
    return clampByte(128 + ((32768 * r - 27439 * g - 5329 * b + 32768) >> 16));
}

// Back to red, green and blue: 1.402, 0.344136, 0.714136 and 1.772 in 16-bit fixed point.
constexpr int32_t kCrToR = 91881, kCbToG = 22554, kCrToG = 46802, kCbToB = 116130;
inline uint32_t rgbOf(int32_t y, int32_t cb, int32_t cr) {
    cb -= 128;
    cr -= 128;
    int32_t r = y + ((kCrToR * cr + 32768) >> 16);
    int32_t g = y - ((kCbToG * cb + kCrToG * cr + 32768) >> 16);
    int32_t b = y + ((kCbToB * cb + 32768) >> 16);
    return uint32_t(clampByte(r)) << 16 | uint32_t(clampByte(g)) << 8 | clampByte(b);
}

}  // namespace quarn
