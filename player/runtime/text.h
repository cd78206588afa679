// Text on the presentation screen and in bitmaps: the process-wide font (the built-in 8x16
// one or one cut from a bitmap), drawText, screenText and the TEXT* commands.
#pragma once

#include <cstddef>
#include <cstdint>

namespace runtime {

struct Bitmap;

struct Font {
    int32_t glyphWidth = 8;
    int32_t glyphHeight = 16;
    int32_t firstChar = 32;
    int32_t lastChar = 175;
    const uint8_t* bits = nullptr;  // null: the built-in glyphs
    uint8_t* customBits = nullptr;  // owned, when cut from a bitmap
};
extern Font gFont;

// Bytes of one glyph row.
inline int64_t fontRowBytes(const Font& f) { return (int64_t(f.glyphWidth) + 7) / 8; }

// The n characters of text side by side from (x, y) of an image of width x height pixels (rows
// width bytes apart) in the current font and text colours; pixels outside the image are left
// out.
void drawText(const char* text, size_t n, uint8_t* image, uint32_t width, uint32_t height, int64_t x, int64_t y);
// Writes at the text position and advances it: "\n" a new line (no scrolling), backspace (8)
// erases the cell before the position, anything else is drawn as far as it fits on the line.
void screenText(const char* text);

// Cuts a font out of a bitmap: glyph width w, height h, codes first .. last. False (and the
// font unchanged) when a size is below 1, last < first, or the bitmap cannot hold the glyphs.
bool fontFromBitmap(const Bitmap& bitmap, int32_t w, int32_t h, int32_t first, int32_t last);
void builtinFont();

// Text for the print file when printing is active, else on the screen (TEXT and TEXTBEGIN).
void printText(const char* text, bool newLine);

void registerTextCommands();

}  // namespace runtime
