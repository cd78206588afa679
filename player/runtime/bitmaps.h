// Script bitmaps: the 128-slot table (handles 9000 + slot), bitmap records with an optional
// palette, the copies between bitmaps and to the screen, and the BITMAP* commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace runtime {

constexpr int kBitmapSlots = 128;
constexpr int32_t kBitmapHandleBase = 9000;
// The palette block holds one byte more than 256 entries, so that a four-byte read at the last
// entry stays inside it.
constexpr size_t kBitmapPaletteBlock = 769;

struct Bitmap {
    uint8_t* pixels;  // width x height bytes, top row first; null when the size is 0
    uint32_t width, height;
    uint8_t* palette;  // null, or 768 bytes (red, green, blue) in a block of 769
};

struct BitmapTable {
    Bitmap* slots[kBitmapSlots] = {};
};
extern BitmapTable gBitmaps;

// A record outside the table (pixels not cleared); null when memory runs out or the size does
// not fit in memory.
Bitmap* createBitmap(uint32_t width, uint32_t height);
void destroyBitmap(Bitmap* bitmap);
// The lowest free slot with a new bitmap; -1 when every slot is in use or memory runs out.
int allocBitmapSlot(uint32_t width, uint32_t height);
void freeBitmapSlot(int slot);
// Called by freeBitmapSlot before the bitmap goes, so that nothing keeps writing into it (an
// animation decoding into it). Null = nothing to tell.
extern void (*gBitmapFreedHook)(const Bitmap* bitmap);
bool bitmapSlotUsed(int slot);
// The bitmap of a slot, null when the slot is out of range or empty.
Bitmap* bitmapInSlot(int slot);
// Frees every bitmap (program end, tests).
void freeAllBitmaps();
// The bitmap's palette, made (all black) when it has none; null when memory ran out.
uint8_t* ensureBitmapPalette(Bitmap* bitmap);

enum BitmapCopyMode { BCOPY_PLAIN, BCOPY_TRANSPARENT, BCOPY_MASK, BCOPY_MERGE };
// Bitmap to bitmap with the placement rules of the copy commands: a destination at least as
// large as the source receives it at (x, y); otherwise (x, y) is a point of the source whose
// part from there goes to the destination's corner. Mask and merge need a second image of the
// source's size, else nothing happens.
void copyBitmapToBitmap(Bitmap* dest, const Bitmap* src, const Bitmap* second, int32_t x, int32_t y,
                        BitmapCopyMode mode, uint8_t key);

// A line in an image of width x height pixels (rows width bytes apart); points outside it are
// left out.
void drawImageLine(uint8_t* pixels, uint32_t width, uint32_t height, int64_t x1, int64_t y1, int64_t x2, int64_t y2,
                   uint8_t colour);

void registerBitmapCommands();

}  // namespace runtime
