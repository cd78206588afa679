// The built-in 8x16 font (codes 32 to 175 in code page 437 order).
#pragma once

#include <cstdint>

constexpr int kBuiltinFontFirst = 32;
constexpr int kBuiltinFontGlyphs = 144;  // codes 32 .. 175
// One byte a row, top row first; the leftmost pixel is the top bit.
extern const uint8_t kBuiltinFont[kBuiltinFontGlyphs][16];
