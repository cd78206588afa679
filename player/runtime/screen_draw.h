// Drawing on the presentation screen: the script palette with its lock table, the drawing
// origin, lines, boxes, pixels, rectangle copies to and from the buffer, and palette fades.
#pragma once

#include <cstdint>

#include "player/runtime/display_surface.h"

namespace runtime {

struct DrawState {
    uint8_t screenPalette[256 * 3] = {};  // red, green, blue
    uint8_t paletteLock[256] = {};        // 1 = entry locked
    int32_t paletteGeneration = 0;
    int32_t originX = 0, originY = 0;     // added to every script screen coordinate
    int32_t fadeSpeed = 15;               // milliseconds per fade step
};
extern DrawState gDraw;

// Copies every unlocked entry of rgb256 into the screen palette.
void applyPalette(const uint8_t* rgb256);
// Sets every unlocked entry to (v, v, v).
void applyPaletteGrey(uint8_t v);
// The screen palette to the surface (when one exists).
void showScreenPalette();
// The palette SCREENGRAPHICS starts with: grey, red, green and blue ramps of 64 entries.
void buildDefaultPalette(uint8_t* rgb256);

// Bresenham line from (x1, y1) to (x2, y2), both included. Points outside the surface are
// skipped, so any coordinates are safe.
void drawLine(DisplaySurface* s, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint8_t colour);
// Outline of w x h at (x, y), clipped to the buffer, then presented. Nothing for w or h < 1.
void drawBox(DisplaySurface* s, int32_t x, int32_t y, int32_t w, int32_t h, uint8_t colour);
// Filled rectangle cut at the buffer edges, then presented.
void drawFilledBox(DisplaySurface* s, int32_t x, int32_t y, int32_t w, int32_t h, uint8_t colour);

enum CopyMode { COPY_PLAIN = 0, COPY_TRANSPARENT = 1, COPY_MASK = 2, COPY_MERGE = 3 };
// An image rectangle (rows imageStride bytes apart, top row first) to (screenX, screenY) of the
// buffer, cut at the right and bottom edge, combined by mode (transparent: key pixels of the
// image are left out; mask: pixels are copied where the second image is not key; merge: key
// pixels of the image take the second image's pixel), then presented. Nothing when the target
// lies beyond the buffer or left of / above it.
void screenCopyRect(DisplaySurface* s, const uint8_t* image, int32_t imageX, int32_t imageY, int32_t width,
                    int32_t height, int32_t imageStride, int32_t screenX, int32_t screenY, CopyMode mode,
                    uint8_t key, const uint8_t* second);
// A buffer rectangle into an image; parts outside the buffer leave the image as it was.
void screenReadRect(const DisplaySurface* s, uint8_t* image, int32_t imageX, int32_t imageY, int32_t width,
                    int32_t height, int32_t imageStride, int32_t screenX, int32_t screenY);

// Palette fades over 16 steps of the fade speed each, deadlines counted from the start.
void fadeIn(const uint8_t* targetRgb256);
void fadeOut();

void registerDrawCommands();
void resetDrawState();

}  // namespace runtime
