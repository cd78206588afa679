// Blitting 8-bit indexed pictures to 8-bit or 16-bit surfaces at 1x or 2x (plain, interlaced
// or smoothed), and the small pixel helpers of the drawing code.
#pragma once

#include <cstdint>

struct TorvexBlitter;

// Blit flags: values from 0x40000000 on give a 16-bit destination (from 0xC0000000: 5-6-5
// pixels; 0x80000000-0xBFFFFFFF: 5-5-5; below 0x80000000: no colour table is built); 0x4 2x
// smoothed, 0x8 2x interlaced, 0x2 2x (in that order of precedence).
constexpr uint32_t kBlit2x = 0x2;
constexpr uint32_t kBlitSmooth = 0x4;
constexpr uint32_t kBlitInterlaced = 0x8;
constexpr uint32_t kBlit16Bit = 0x40000000;
constexpr uint32_t kBlit555 = 0x80000000;
constexpr uint32_t kBlit565 = 0xC0000000;

// Palette flags: 0x1 16-bit components (low byte used), 0x2 blue first, 0x4 four components per
// entry, 0x8 (with 0x4) the pad component first.
constexpr uint32_t kPal16BitComponents = 0x1;
constexpr uint32_t kPalBlueFirst = 0x2;
constexpr uint32_t kPalFourComponents = 0x4;
constexpr uint32_t kPalPadFirst = 0x8;

TorvexBlitter* TorvexBlitterCreate(uint32_t blitFlags);
void TorvexBlitterFree(TorvexBlitter* b);
// 0 when the blitter keeps no palette (8-bit modes without smoothing) or the palette did not
// change; otherwise the new change count, after the colour tables were brought up to date.
uint32_t TorvexBlitterSetPalette(TorvexBlitter* b, const void* palette, uint32_t paletteFlags);
// destX and destY count source pixels: 2x modes land at twice them. Pitches are in bytes.
void TorvexBlitterDraw(TorvexBlitter* b, void* dest, int32_t destPitch, int32_t destX, int32_t destY, const uint8_t* src,
                       int32_t srcPitch, int32_t srcX, int32_t srcY, int32_t width, int32_t height);
// The mode's name (text holds at least 32 bytes); returns text.
char* TorvexBlitterDescribe(const TorvexBlitter* b, char* text);
int TorvexBlitterMode(const TorvexBlitter* b);

// 0 forbids the wide code paths, 1 allows them, anything else asks. Returns 1 when they are used.
int TorvexUseMmx(int mode);

// Called right before and right after the long smoothing-table rebuild, so that sound keeps
// playing; the sound output installs it.
using TorvexSoundServiceHook = void (*)();
void TorvexBlitterSetSoundHook(TorvexSoundServiceHook hook);

// Rows of width bytes; after each row dest moves on by width + destSkip, src by width + srcSkip.
void TorvexCopyRect(uint8_t* dest, int32_t destSkip, const uint8_t* src, int32_t srcSkip, int32_t width, int32_t height);
// As TorvexCopyRect, leaving out source bytes equal to key.
void TorvexCopyKeyed(uint8_t* dest, int32_t destSkip, const uint8_t* src, int32_t srcSkip, int32_t width, int32_t height,
                     uint8_t key);
// dest = src where src is not key, else the byte of back at the same place (src and back move
// alike).
void TorvexMergeKeyed(uint8_t* dest, int32_t destSkip, const uint8_t* src, int32_t skip, int32_t width, int32_t height,
                      uint8_t key, const uint8_t* back);
// dest = src wherever the mask byte at the same place is not key (src and mask move alike).
void TorvexCopyKeyedMask(uint8_t* dest, int32_t destSkip, const uint8_t* src, int32_t skip, int32_t width, int32_t height,
                         uint8_t key, const uint8_t* mask);
void TorvexReplaceByte(uint8_t* buffer, uint32_t count, uint8_t from, uint8_t to);
// palette: 256 x (red, green, blue).
int TorvexDarkestColor(const uint8_t* palette);
int TorvexBrightestColor(const uint8_t* palette);
