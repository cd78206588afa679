// Script bitmaps and the BITMAP* commands.
#include "player/runtime/bitmaps.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/mem_block.h"
#include "codec/blit/blitter.h"
#include "player/engine/script.h"
#include "player/runtime/screen_draw.h"
#include "player/runtime/screen_window.h"
#include "player/runtime/text.h"

namespace runtime {

BitmapTable gBitmaps;

Bitmap* createBitmap(uint32_t width, uint32_t height) {
    // Sizes are kept to what a signed 32-bit coordinate can reach, and the pixels to one block.
    if (width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) return nullptr;
    uint64_t bytes = uint64_t(width) * height;
    if (bytes >= 0xFFFFFFFFu) return nullptr;
    auto* b = static_cast<Bitmap*>(TorvexMemAlloc(sizeof(Bitmap)));
    if (!b) return nullptr;
    b->width = width;
    b->height = height;
    b->palette = nullptr;
    b->pixels = nullptr;
    if (bytes) {
        b->pixels = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(bytes)));
        if (!b->pixels) {
            TorvexMemFree(b);
            return nullptr;
        }
    }
    return b;
}

void destroyBitmap(Bitmap* b) {
    if (!b) return;
    TorvexMemFree(b->pixels);
    TorvexMemFree(b->palette);
    TorvexMemFree(b);
}

int allocBitmapSlot(uint32_t width, uint32_t height) {
    for (int i = 0; i < kBitmapSlots; ++i) {
        if (gBitmaps.slots[i]) continue;
        Bitmap* b = createBitmap(width, height);
        if (!b) return -1;
        gBitmaps.slots[i] = b;
        return i;
    }
    return -1;
}

void (*gBitmapFreedHook)(const Bitmap* bitmap) = nullptr;

void freeBitmapSlot(int slot) {
    if (slot < 0 || slot >= kBitmapSlots) return;
    if (gBitmapFreedHook && gBitmaps.slots[slot]) gBitmapFreedHook(gBitmaps.slots[slot]);
    destroyBitmap(gBitmaps.slots[slot]);
    gBitmaps.slots[slot] = nullptr;
}

bool bitmapSlotUsed(int slot) { return slot >= 0 && slot < kBitmapSlots && gBitmaps.slots[slot]; }
Bitmap* bitmapInSlot(int slot) { return bitmapSlotUsed(slot) ? gBitmaps.slots[slot] : nullptr; }

void freeAllBitmaps() {
    for (int i = 0; i < kBitmapSlots; ++i) freeBitmapSlot(i);
}

uint8_t* ensureBitmapPalette(Bitmap* b) {
    if (!b->palette) {
        b->palette = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(kBitmapPaletteBlock)));
        if (b->palette) std::memset(b->palette, 0, kBitmapPaletteBlock);
    }
    return b->palette;
}

void copyBitmapToBitmap(Bitmap* d, const Bitmap* s, const Bitmap* second, int32_t x, int32_t y, BitmapCopyMode mode,
                        uint8_t key) {
    if (!d || !s) return;
    if (mode == BCOPY_MASK || mode == BCOPY_MERGE) {
        if (!second || second->width != s->width || second->height != s->height) return;
    }
    // Coordinates compared unsigned: negative ones count as too large.
    const uint32_t ux = uint32_t(x), uy = uint32_t(y);
    uint32_t dx, dy, sx, sy, w, h;
    if (d->width >= s->width && d->height >= s->height) {
        if (ux >= d->width || uy >= d->height) return;
        dx = ux, dy = uy, sx = 0, sy = 0;
        w = std::min(s->width, d->width - ux);
        h = std::min(s->height, d->height - uy);
    } else {
        if (ux >= s->width || uy >= s->height) return;
        dx = 0, dy = 0, sx = ux, sy = uy;
        w = std::min(std::min(d->width, s->width), s->width - ux);
        h = std::min(std::min(d->height, s->height), s->height - uy);
    }
    if (!w || !h || !d->pixels || !s->pixels) return;
    // A bitmap copied onto itself (or onto its mask) reads from a copy, so that rows written
    // early are not read again.
    std::vector<uint8_t> srcCopy, secondCopy;
    const uint8_t* src = s->pixels;
    const uint8_t* sec = second ? second->pixels : nullptr;
    const size_t srcBytes = size_t(s->width) * s->height;
    if (src == d->pixels) {
        srcCopy.assign(src, src + srcBytes);
        src = srcCopy.data();
    }
    if (sec && sec == d->pixels) {
        secondCopy.assign(sec, sec + srcBytes);
        sec = secondCopy.data();
    }
    const size_t srcAt = size_t(sy) * s->width + sx;
    uint8_t* dst = d->pixels + size_t(dy) * d->width + dx;
    const int32_t dSkip = int32_t(d->width - w), sSkip = int32_t(s->width - w);
    switch (mode) {
        case BCOPY_PLAIN: TorvexCopyRect(dst, dSkip, src + srcAt, sSkip, int32_t(w), int32_t(h)); break;
        case BCOPY_TRANSPARENT: TorvexCopyKeyed(dst, dSkip, src + srcAt, sSkip, int32_t(w), int32_t(h), key); break;
        case BCOPY_MASK:
            TorvexCopyKeyedMask(dst, dSkip, src + srcAt, sSkip, int32_t(w), int32_t(h), key, sec + srcAt);
            break;
        case BCOPY_MERGE:
            TorvexMergeKeyed(dst, dSkip, src + srcAt, sSkip, int32_t(w), int32_t(h), key, sec + srcAt);
            break;
    }
}

void drawImageLine(uint8_t* pixels, uint32_t width, uint32_t height, int64_t x1, int64_t y1, int64_t x2, int64_t y2,
                   uint8_t colour) {
    if (!pixels) return;
    if (y2 < y1) {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    const int64_t dx = x2 - x1, dy = y2 - y1;
    const int64_t step = dx <= 0 ? -1 : 1;
    const int64_t adx = dx < 0 ? -dx : dx;
    const int64_t w = width, h = height;
    auto plot = [&](int64_t x, int64_t y) {
        if (x >= 0 && y >= 0 && x < w && y < h) pixels[size_t(y) * width + size_t(x)] = colour;
    };
    // The stepping line's minor coordinate after k steps is floor((2 minor k + major) /
    // (2 major)), so only the steps whose major coordinate lies inside the image are walked:
    // far-away end points cost nothing.
    if (adx > dy) {
        const int64_t kLo = step > 0 ? std::max<int64_t>(0, -x1) : std::max<int64_t>(0, x1 - w + 1);
        const int64_t kHi = step > 0 ? std::min<int64_t>(adx, w - 1 - x1) : std::min<int64_t>(adx, x1);
        for (int64_t k = kLo; k <= kHi; ++k)
            plot(x1 + step * k, y1 + int64_t((__int128(2) * dy * k + adx) / (__int128(2) * adx)));
    } else if (dy == 0) {
        plot(x1, y1);
    } else {
        const int64_t kLo = std::max<int64_t>(0, -y1), kHi = std::min<int64_t>(dy, h - 1 - y1);
        for (int64_t k = kLo; k <= kHi; ++k)
            plot(x1 + step * int64_t((__int128(2) * adx * k + dy) / (__int128(2) * dy)), y1 + k);
    }
}

// ---- commands -------------------------------------------------------------------------------

namespace {

using engine::kLineSize;

// A bitmap handle parameter, validated at once.
int fetchSlot() {
    char text[kLineSize];
    if (engine::FetchParam(text, true) != engine::PARAM_NUMBER)
        engine::CommandError("  Needed a number in command:\r\n    ");
    return engine::ValidateBitmapNumber(text, false, bitmapSlotUsed);
}
Bitmap* fetchBitmap() { return gBitmaps.slots[fetchSlot()]; }

int32_t scriptX(int32_t x) { return int32_t(uint32_t(x) + uint32_t(gDraw.originX)); }
int32_t scriptY(int32_t y) { return int32_t(uint32_t(y) + uint32_t(gDraw.originY)); }

void hideFor(int32_t x, int32_t y, const Bitmap* b) {
    gPointerHooks.hideIfOverlapping(x, y, int32_t(b->width), int32_t(b->height));
}

void cmdAlloc() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    int32_t w = engine::fetchNumber();
    int32_t h = engine::fetchNumber();
    // Negative sizes make no bitmap, as a full table does.
    int slot = (w < 0 || h < 0) ? -1 : allocBitmapSlot(uint32_t(w), uint32_t(h));
    engine::SetVariableNumber(var, slot < 0 ? 0 : kBitmapHandleBase + slot);
}

void cmdFree() {
    char var[kLineSize], value[kLineSize];
    engine::fetchVariableName(var);
    engine::GetVariable(value, var);
    int slot = engine::ValidateBitmapNumber(value, false, bitmapSlotUsed);
    freeBitmapSlot(slot);
    engine::SetVariable(var, "");
}

void cmdWidth() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, int32_t(fetchBitmap()->width));
}

void cmdHeight() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, int32_t(fetchBitmap()->height));
}

void cmdClear() {
    Bitmap* b = fetchBitmap();
    uint8_t colour = uint8_t(engine::fetchNumber());
    if (b->pixels) std::memset(b->pixels, colour, size_t(b->width) * b->height);
}

void cmdChangeColor() {
    Bitmap* b = fetchBitmap();
    uint8_t from = uint8_t(engine::fetchNumber());
    uint8_t to = uint8_t(engine::fetchNumber());
    if (b->pixels) TorvexReplaceByte(b->pixels, b->width * b->height, from, to);
}

// The pixel at (x, y) pulled onto the last column and row (coordinates compared unsigned, so
// negative ones land there too); null for a bitmap without pixels.
uint8_t* clampedPixel(Bitmap* b, int32_t x, int32_t y) {
    if (!b->pixels) return nullptr;
    uint32_t cx = std::min(uint32_t(x), b->width - 1), cy = std::min(uint32_t(y), b->height - 1);
    return b->pixels + size_t(cy) * b->width + cx;
}

void cmdSetPixel() {
    Bitmap* b = fetchBitmap();
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    uint8_t colour = uint8_t(engine::fetchNumber());
    if (uint8_t* p = clampedPixel(b, x, y)) *p = colour;
}

void cmdGetPixel() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    Bitmap* b = fetchBitmap();
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    uint8_t* p = clampedPixel(b, x, y);
    engine::SetVariableNumber(var, p ? *p : 0);
}

void cmdLine() {
    Bitmap* b = fetchBitmap();
    int32_t x1 = engine::fetchNumber(), y1 = engine::fetchNumber();
    int32_t x2 = engine::fetchNumber(), y2 = engine::fetchNumber();
    uint8_t colour = uint8_t(engine::fetchNumber());
    drawImageLine(b->pixels, b->width, b->height, x1, y1, x2, y2, colour);
}

void cmdBox() {
    Bitmap* b = fetchBitmap();
    int64_t x = engine::fetchNumber(), y = engine::fetchNumber();
    int64_t w = engine::fetchNumber(), h = engine::fetchNumber();
    uint8_t colour = uint8_t(engine::fetchNumber());
    drawImageLine(b->pixels, b->width, b->height, x, y, x + w, y, colour);
    drawImageLine(b->pixels, b->width, b->height, x + w, y, x + w, y + h, colour);
    drawImageLine(b->pixels, b->width, b->height, x + w, y + h, x, y + h, colour);
    drawImageLine(b->pixels, b->width, b->height, x, y + h, x, y, colour);
}

void cmdFilledBox() {
    Bitmap* b = fetchBitmap();
    int64_t x = engine::fetchNumber(), y = engine::fetchNumber();
    int64_t w = engine::fetchNumber(), h = engine::fetchNumber();
    uint8_t colour = uint8_t(engine::fetchNumber());
    if (!b->pixels || w < 1 || h < 1) return;
    // Only the part inside the bitmap is filled.
    int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
    int64_t x1 = std::min<int64_t>(x + w, b->width), y1 = std::min<int64_t>(y + h, b->height);
    for (int64_t row = y0; row < y1 && x0 < x1; ++row)
        std::memset(b->pixels + size_t(row) * b->width + size_t(x0), colour, size_t(x1 - x0));
}

void cmdText() {
    Bitmap* b = fetchBitmap();
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    char text[kLineSize];
    engine::fetchAny(text);
    drawText(text, std::strlen(text), b->pixels, b->width, b->height, x, y);
}

void cmdGetPalette() {
    Bitmap* b = fetchBitmap();
    if (uint8_t* p = ensureBitmapPalette(b)) std::memcpy(p, gDraw.screenPalette, 768);
}

void cmdSetPalette() {
    Bitmap* b = fetchBitmap();
    if (!b->palette || std::memcmp(b->palette, gDraw.screenPalette, 768) == 0) return;
    applyPalette(b->palette);
    showScreenPalette();
    ++gDraw.paletteGeneration;
}

void cmdFadeInPalette() {
    Bitmap* b = fetchBitmap();
    if (!b->palette) return;
    if (gScreen.surface) {
        fadeIn(b->palette);
        return;
    }
    // Without a window there is nothing to fade: the palette takes effect at once.
    applyPalette(b->palette);
    ++gDraw.paletteGeneration;
}

void cmdPaletteToPalette() {
    Bitmap* d = fetchBitmap();
    Bitmap* s = fetchBitmap();
    if (d == s) return;
    if (!s->palette) {
        TorvexMemFree(d->palette);
        d->palette = nullptr;
        return;
    }
    if (uint8_t* p = ensureBitmapPalette(d)) std::memcpy(p, s->palette, 768);
}

void cmdGetPaletteValue() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    Bitmap* b = fetchBitmap();
    int32_t index = engine::fetchNumber();
    int32_t value = 0;
    // Entries outside the table have no value.
    if (b->palette && index >= 0 && index < 256) {
        const uint8_t* e = b->palette + index * 3;
        value = int32_t(e[0]) + int32_t(e[1]) * 256 + int32_t(e[2]) * 65536;
    }
    engine::SetVariableNumber(var, value);
}

void cmdSetPaletteValue() {
    Bitmap* b = fetchBitmap();
    int32_t index = engine::fetchNumber();
    int32_t value = engine::fetchNumber();
    if (index < 0 || index > 255) return;  // no such entry: nothing changes
    uint8_t* p = ensureBitmapPalette(b);
    if (!p) return;
    p[index * 3] = uint8_t(value & 0xFF);
    p[index * 3 + 1] = uint8_t((value >> 8) & 0xFF);
    p[index * 3 + 2] = uint8_t((value >> 16) & 0xFF);
}

void cmdBrightest() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    Bitmap* b = fetchBitmap();
    engine::SetVariableNumber(var, b->palette ? TorvexBrightestColor(b->palette) : 0);
}

void cmdDarkest() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    Bitmap* b = fetchBitmap();
    engine::SetVariableNumber(var, b->palette ? TorvexDarkestColor(b->palette) : 0);
}

void cmdToBitmap() {
    Bitmap* d = fetchBitmap();
    Bitmap* s = fetchBitmap();
    int32_t x = engine::fetchNumber(), y = engine::fetchNumber();
    copyBitmapToBitmap(d, s, nullptr, x, y, BCOPY_PLAIN, 0);
}

void cmdToBitmapTrans() {
    Bitmap* d = fetchBitmap();
    Bitmap* s = fetchBitmap();
    int32_t x = engine::fetchNumber(), y = engine::fetchNumber();
    uint8_t key = uint8_t(engine::fetchNumber());
    copyBitmapToBitmap(d, s, nullptr, x, y, BCOPY_TRANSPARENT, key);
}

void toBitmapWithSecond(BitmapCopyMode mode) {
    Bitmap* d = fetchBitmap();
    Bitmap* s = fetchBitmap();
    Bitmap* second = fetchBitmap();
    int32_t x = engine::fetchNumber(), y = engine::fetchNumber();
    uint8_t key = uint8_t(engine::fetchNumber());
    copyBitmapToBitmap(d, s, second, x, y, mode, key);
}
void cmdToBitmapMask() { toBitmapWithSecond(BCOPY_MASK); }
void cmdToBitmapMerge() { toBitmapWithSecond(BCOPY_MERGE); }

void cmdFromScreen() {
    Bitmap* b = fetchBitmap();
    int32_t x = scriptX(engine::fetchNumber());
    int32_t y = scriptY(engine::fetchNumber());
    requireWindow();
    if (!b->pixels) return;
    // The pointer is not part of the picture.
    hideFor(x, y, b);
    screenReadRect(gScreen.surface, b->pixels, 0, 0, int32_t(b->width), int32_t(b->height), int32_t(b->width), x, y);
}

void toScreen(Bitmap* b, const Bitmap* second, int32_t x, int32_t y, CopyMode mode, uint8_t key) {
    requireWindow();
    if (!b->pixels) return;
    if (second && (second->width != b->width || second->height != b->height || !second->pixels)) return;
    hideFor(x, y, b);
    screenCopyRect(gScreen.surface, b->pixels, 0, 0, int32_t(b->width), int32_t(b->height), int32_t(b->width), x, y,
                   mode, key, second ? second->pixels : nullptr);
}

void cmdToScreen() {
    Bitmap* b = fetchBitmap();
    int32_t x = scriptX(engine::fetchNumber()), y = scriptY(engine::fetchNumber());
    toScreen(b, nullptr, x, y, COPY_PLAIN, 0);
}

void cmdToScreenTrans() {
    Bitmap* b = fetchBitmap();
    int32_t x = scriptX(engine::fetchNumber()), y = scriptY(engine::fetchNumber());
    uint8_t key = uint8_t(engine::fetchNumber());
    toScreen(b, nullptr, x, y, COPY_TRANSPARENT, key);
}

void toScreenWithSecond(CopyMode mode) {
    Bitmap* b = fetchBitmap();
    Bitmap* second = fetchBitmap();
    int32_t x = scriptX(engine::fetchNumber()), y = scriptY(engine::fetchNumber());
    uint8_t key = uint8_t(engine::fetchNumber());
    toScreen(b, second, x, y, mode, key);
}
void cmdToScreenMask() { toScreenWithSecond(COPY_MASK); }
void cmdToScreenMerge() { toScreenWithSecond(COPY_MERGE); }

void cmdList() {
    requireWindow();
    std::vector<std::string> lines;
    for (int i = 0; i < kBitmapSlots; ++i) {
        const Bitmap* b = gBitmaps.slots[i];
        if (!b) continue;
        char line[96];
        std::snprintf(line, sizeof line, "Number: %i  Width: %i  Height: %i", kBitmapHandleBase + i, int(b->width),
                      int(b->height));
        lines.push_back(line);
    }
    engine::WriteListing(lines, false);
}

}  // namespace

void registerBitmapCommands() {
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPALLOC", cmdAlloc);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPFREE", cmdFree);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPWIDTH", cmdWidth);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPHEIGHT", cmdHeight);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPCLEAR", cmdClear);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPCHANGECOLOR", cmdChangeColor);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPSETPIXEL", cmdSetPixel);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPGETPIXEL", cmdGetPixel);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPLINE", cmdLine);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPBOX", cmdBox);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPFILLEDBOX", cmdFilledBox);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPTEXT", cmdText);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPGETPALETTE", cmdGetPalette);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPSETPALETTE", cmdSetPalette);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPFADEINPALETTE", cmdFadeInPalette);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPPALETTETOPALETTE", cmdPaletteToPalette);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPGETPALETTEVALUE", cmdGetPaletteValue);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPSETPALETTEVALUE", cmdSetPaletteValue);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPGETBRIGHTESTPALETTEINDEX", cmdBrightest);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPGETDARKESTPALETTEINDEX", cmdDarkest);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPTOBITMAP", cmdToBitmap);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPTOBITMAPTRANS", cmdToBitmapTrans);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPTOBITMAPMASK", cmdToBitmapMask);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPTOBITMAPMERGE", cmdToBitmapMerge);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPFROMSCREEN", cmdFromScreen);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPTOSCREEN", cmdToScreen);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPTOSCREENTRANS", cmdToScreenTrans);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPTOSCREENMASK", cmdToScreenMask);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPTOSCREENMERGE", cmdToScreenMerge);
    engine::registerCommand(engine::CommandOwner::Bitmaps, "BITMAPLIST", cmdList);
}

}  // namespace runtime
