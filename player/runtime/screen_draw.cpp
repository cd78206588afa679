// Screen drawing, the script palette and its fades.
#include "player/runtime/screen_draw.h"

#include <algorithm>
#include <cstring>

#include "codec/blit/blitter.h"
#include "kroutil/kro_timer.h"
#include "platform/clock.h"
#include "player/engine/program.h"
#include "player/engine/script.h"
#include "player/runtime/screen_window.h"

namespace runtime {

DrawState gDraw;

void resetDrawState() { gDraw = DrawState{}; }

void applyPalette(const uint8_t* rgb) {
    for (int i = 0; i < 256; ++i)
        if (!gDraw.paletteLock[i]) std::memcpy(gDraw.screenPalette + i * 3, rgb + i * 3, 3);
}

void applyPaletteGrey(uint8_t v) {
    for (int i = 0; i < 256; ++i)
        if (!gDraw.paletteLock[i]) std::memset(gDraw.screenPalette + i * 3, v, 3);
}

void showScreenPalette() {
    if (gScreen.surface) setPalette(gScreen.surface, gDraw.screenPalette);
}

void buildDefaultPalette(uint8_t* rgb) {
    for (int i = 0; i < 256; ++i) {
        uint8_t level = uint8_t(i & 63);
        uint8_t* e = rgb + i * 3;
        e[0] = (i < 64 || (i >= 64 && i < 128)) ? level : 0;
        e[1] = (i < 64 || (i >= 128 && i < 192)) ? level : 0;
        e[2] = (i < 64 || i >= 192) ? level : 0;
    }
}

namespace {

// Plots only inside the buffer.
inline void plot(DisplaySurface* s, int64_t x, int64_t y, uint8_t colour) {
    if (x < 0 || y < 0 || x >= s->width || y >= s->height) return;
    *pixelAddress(s, int32_t(x), int32_t(y)) = colour;
}

// A horizontal run [x0, x1] of row y, cut at the buffer.
void hline(DisplaySurface* s, int64_t x0, int64_t x1, int64_t y, uint8_t colour) {
    if (y < 0 || y >= s->height) return;
    if (x0 > x1) std::swap(x0, x1);
    x0 = std::max<int64_t>(x0, 0);
    x1 = std::min<int64_t>(x1, s->width - 1);
    if (x0 > x1) return;
    std::memset(pixelAddress(s, int32_t(x0), int32_t(y)), colour, size_t(x1 - x0 + 1));
}

void vline(DisplaySurface* s, int64_t x, int64_t y0, int64_t y1, uint8_t colour) {
    if (x < 0 || x >= s->width) return;
    if (y0 > y1) std::swap(y0, y1);
    y0 = std::max<int64_t>(y0, 0);
    y1 = std::min<int64_t>(y1, s->height - 1);
    for (int64_t y = y0; y <= y1; ++y) *pixelAddress(s, int32_t(x), int32_t(y)) = colour;
}

// Present for a rectangle given in 64-bit coordinates, cut to the buffer first.
void presentClipped(DisplaySurface* s, int64_t x, int64_t y, int64_t w, int64_t h) {
    int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
    int64_t x1 = std::min<int64_t>(x + w, s->width), y1 = std::min<int64_t>(y + h, s->height);
    if (x0 >= x1 || y0 >= y1) return;
    present(s, 0, 0, 0, int32_t(x0), int32_t(y0), int32_t(x1 - x0), int32_t(y1 - y0));
}

}  // namespace

void drawLine(DisplaySurface* s, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint8_t colour) {
    if (!s) return;
    if (y2 < y1) {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    int64_t dx = int64_t(x2) - x1, dy = int64_t(y2) - y1;
    int64_t step = dx <= 0 ? -1 : 1;
    int64_t adx = dx < 0 ? -dx : dx;
    int64_t x = x1, y = y1;
    if (adx > dy) {
        int64_t error = 2 * dy - adx;
        for (int64_t i = 0; i <= adx; ++i) {
            plot(s, x, y, colour);
            if (error >= 0) {
                ++y;
                error -= 2 * adx;
            }
            x += step;
            error += 2 * dy;
        }
    } else {
        int64_t error = 2 * adx - dy;
        for (int64_t i = 0; i <= dy; ++i) {
            plot(s, x, y, colour);
            if (error >= 0) {
                x += step;
                error -= 2 * dy;
            }
            ++y;
            error += 2 * adx;
        }
    }
}

void drawBox(DisplaySurface* s, int32_t x, int32_t y, int32_t w, int32_t h, uint8_t colour) {
    if (!s || w < 1 || h < 1) return;
    int64_t right = int64_t(x) + w - 1, bottom = int64_t(y) + h - 1;
    hline(s, x, right, y, colour);
    vline(s, right, y, bottom, colour);
    hline(s, x, right, bottom, colour);
    vline(s, x, y, bottom, colour);
    presentClipped(s, x, y, w, h);
}

void drawFilledBox(DisplaySurface* s, int32_t x, int32_t y, int32_t w, int32_t h, uint8_t colour) {
    if (!s) return;
    // Compared unsigned: a negative position counts as beyond the edge.
    if (uint32_t(x) >= uint32_t(s->width) || uint32_t(y) >= uint32_t(s->height)) return;
    if (w < 1 || h < 1) return;
    if (int64_t(x) + w > s->width) w = s->width - x;
    if (int64_t(y) + h > s->height) h = s->height - y;
    for (int32_t row = y; row < y + h; ++row) std::memset(pixelAddress(s, x, row), colour, size_t(w));
    present(s, 0, 0, 0, x, y, w, h);
}

void screenCopyRect(DisplaySurface* s, const uint8_t* image, int32_t imageX, int32_t imageY, int32_t width,
                    int32_t height, int32_t imageStride, int32_t screenX, int32_t screenY, CopyMode mode,
                    uint8_t key, const uint8_t* second) {
    if (!s || !image) return;
    if (uint32_t(screenX) >= uint32_t(s->width) || uint32_t(screenY) >= uint32_t(s->height)) return;
    if (width < 1 || height < 1) return;
    if (int64_t(screenX) + width > s->width) width = s->width - screenX;
    if (int64_t(screenY) + height > s->height) height = s->height - screenY;
    if ((mode == COPY_MASK || mode == COPY_MERGE) && !second) mode = COPY_PLAIN;
    for (int32_t r = 0; r < height; ++r) {
        size_t at = size_t(imageY + r) * size_t(imageStride) + size_t(imageX);
        const uint8_t* src = image + at;
        uint8_t* dst = pixelAddress(s, screenX, screenY + r);
        switch (mode) {
            case COPY_PLAIN: TorvexCopyRect(dst, 0, src, 0, width, 1); break;
            case COPY_TRANSPARENT: TorvexCopyKeyed(dst, 0, src, 0, width, 1, key); break;
            case COPY_MASK: TorvexCopyKeyedMask(dst, 0, src, 0, width, 1, key, second + at); break;
            case COPY_MERGE: TorvexMergeKeyed(dst, 0, src, 0, width, 1, key, second + at); break;
        }
    }
    present(s, 0, 0, 0, screenX, screenY, width, height);
}

void screenReadRect(const DisplaySurface* s, uint8_t* image, int32_t imageX, int32_t imageY, int32_t width,
                    int32_t height, int32_t imageStride, int32_t screenX, int32_t screenY) {
    if (!s || !image || width < 1 || height < 1) return;
    // Only the part that lies inside the buffer is read; the image keeps the rest.
    int64_t x0 = std::max<int64_t>(screenX, 0), y0 = std::max<int64_t>(screenY, 0);
    int64_t x1 = std::min<int64_t>(int64_t(screenX) + width, s->width);
    int64_t y1 = std::min<int64_t>(int64_t(screenY) + height, s->height);
    if (x0 >= x1 || y0 >= y1) return;
    for (int64_t y = y0; y < y1; ++y) {
        uint8_t* dst = image + size_t(imageY + (y - screenY)) * size_t(imageStride) + size_t(imageX + (x0 - screenX));
        std::memcpy(dst, pixelAddress(s, int32_t(x0), int32_t(y)), size_t(x1 - x0));
    }
}

// ---- fades ----------------------------------------------------------------------------------

namespace {

void showFadeStep(const uint8_t* rgb) {
    applyPalette(rgb);
    DisplaySurface* s = gScreen.surface;
    if (!s) return;
    setPalette(s, gDraw.screenPalette);
    realizePalette(s);
    if (s->displayColours != 256) presentAll(s);
}

void waitUntil(uint32_t deadline) {
    for (;;) {
        engine::PumpMessages();
        // Wrapping difference: the timer may pass 2^32 during a fade.
        int32_t left = int32_t(deadline - KroTimerRead());
        if (left <= 0) return;
        // Short sleeps keep the window answering while the step waits.
        plat::sleepMs(uint32_t(left < 10 ? left : 10));
    }
}

}  // namespace

void fadeIn(const uint8_t* target) {
    uint32_t t = KroTimerRead();
    uint8_t step[256 * 3];
    for (int k = 63; k >= 3; k -= 4) {
        for (int i = 0; i < 256 * 3; ++i) step[i] = target[i] > k ? uint8_t(target[i] - k) : 0;
        showFadeStep(step);
        t += uint32_t(gDraw.fadeSpeed);
        waitUntil(t);
    }
    showFadeStep(target);
    ++gDraw.paletteGeneration;
}

void fadeOut() {
    uint8_t p[256 * 3];
    std::memcpy(p, gDraw.screenPalette, sizeof p);
    uint32_t t = KroTimerRead();
    for (int n = 0; n < 16; ++n) {
        for (uint8_t& c : p) c = c > 4 ? uint8_t(c - 4) : 0;
        showFadeStep(p);
        t += uint32_t(gDraw.fadeSpeed);
        waitUntil(t);
    }
    ++gDraw.paletteGeneration;
}

// ---- commands -------------------------------------------------------------------------------

namespace {

using engine::kLineSize;

void hidePointer(int64_t x, int64_t y, int64_t w, int64_t h) {
    // The pointer code works in 32-bit rectangles; the rectangle is only a hint for it.
    auto c = [](int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); };
    gPointerHooks.hideIfOverlapping(c(x), c(y), c(w), c(h));
}

int32_t scriptX(int32_t x) { return int32_t(uint32_t(x) + uint32_t(gDraw.originX)); }
int32_t scriptY(int32_t y) { return int32_t(uint32_t(y) + uint32_t(gDraw.originY)); }

void cmdScreenAdjustXY() {
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    gDraw.originX = x;
    gDraw.originY = y;
    gTextOutput.x = x;
    gTextOutput.y = y;
}

// SCREENBOX and SCREENFILLEDBOX: x, y, width, height, colour.
template <void (*draw)(DisplaySurface*, int32_t, int32_t, int32_t, int32_t, uint8_t)>
void screenBoxCommand() {
    int32_t x = scriptX(engine::fetchNumber());
    int32_t y = scriptY(engine::fetchNumber());
    int32_t w = engine::fetchNumber();
    int32_t h = engine::fetchNumber();
    uint8_t colour = uint8_t(engine::fetchNumber());
    requireWindow();
    hidePointer(x, y, w, h);
    draw(gScreen.surface, x, y, w, h, colour);
}
void cmdScreenBox() { screenBoxCommand<drawBox>(); }

void clearScreen(uint8_t colour) {
    if (engine::gProgram.mousePresent) gPointerHooks.takeOff();
    clearSurface(gScreen.surface, colour);
}

void cmdScreenClear() {
    uint8_t colour = uint8_t(engine::fetchNumber());
    requireWindow();
    clearScreen(colour);
}

void cmdScreenFadeOutClear() {
    uint8_t colour = uint8_t(engine::fetchNumber());
    requireWindow();
    fadeOut();
    if (!gScreen.window || !gScreen.surface) return;  // the window went away while fading
    clearScreen(colour);
}

void cmdScreenFadeSpeed() { gDraw.fadeSpeed = engine::fetchNumber(); }

void cmdScreenFilledBox() { screenBoxCommand<drawFilledBox>(); }

void cmdScreenForcePaletteZeroBlack() {
    bool on = engine::fetchNumber() != 0;
    if (on) {
        gDraw.screenPalette[0] = gDraw.screenPalette[1] = gDraw.screenPalette[2] = 0;
        showScreenPalette();
    }
    gDraw.paletteLock[0] = on ? 1 : 0;
}

void cmdScreenGetBrightest() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, TorvexBrightestColor(gDraw.screenPalette));
}

void cmdScreenGetDarkest() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, TorvexDarkestColor(gDraw.screenPalette));
}

void cmdScreenGetPixel() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    int32_t x = scriptX(engine::fetchNumber());
    int32_t y = scriptY(engine::fetchNumber());
    requireWindow();
    hidePointer(x, y, 1, 1);
    DisplaySurface* s = gScreen.surface;
    // Outside the buffer there is no pixel to read: colour 0.
    int value = 0;
    if (uint32_t(x) < uint32_t(s->width) && uint32_t(y) < uint32_t(s->height)) value = *pixelAddress(s, x, y);
    engine::SetVariableNumber(var, value);
}

void cmdScreenLine() {
    int32_t x1 = scriptX(engine::fetchNumber());
    int32_t y1 = scriptY(engine::fetchNumber());
    int32_t x2 = scriptX(engine::fetchNumber());
    int32_t y2 = scriptY(engine::fetchNumber());
    uint8_t colour = uint8_t(engine::fetchNumber());
    requireWindow();
    DisplaySurface* s = gScreen.surface;
    // End points beyond an edge (negative ones count as beyond, compared unsigned) move onto
    // the last column or row.
    auto clampX = [s](int32_t v) { return uint32_t(v) >= uint32_t(s->width) ? s->width - 1 : v; };
    auto clampY = [s](int32_t v) { return uint32_t(v) >= uint32_t(s->height) ? s->height - 1 : v; };
    x1 = clampX(x1);
    x2 = clampX(x2);
    y1 = clampY(y1);
    y2 = clampY(y2);
    int32_t left = std::min(x1, x2), top = std::min(y1, y2);
    int32_t w = std::abs(x2 - x1) + 1, h = std::abs(y2 - y1) + 1;
    hidePointer(left, top, w, h);
    drawLine(s, x1, y1, x2, y2, colour);
    present(s, 0, 0, 0, left, top, w, h);
}

void cmdScreenPaletteLock() {
    int32_t first = engine::fetchNumber();
    int32_t count = engine::fetchNumber();
    uint8_t flag = engine::fetchNumber() != 0 ? 1 : 0;
    // The range is cut to the table: entries before 0 or after 255 do not exist.
    int64_t from = std::max<int64_t>(first, 0);
    int64_t to = std::min<int64_t>(int64_t(first) + count, 256);
    for (int64_t i = from; i < to; ++i) gDraw.paletteLock[i] = flag;
}

void cmdScreenSetPixel() {
    int32_t x = scriptX(engine::fetchNumber());
    int32_t y = scriptY(engine::fetchNumber());
    uint8_t colour = uint8_t(engine::fetchNumber());
    requireWindow();
    hidePointer(x, y, 1, 1);
    DisplaySurface* s = gScreen.surface;
    if (uint32_t(x) >= uint32_t(s->width) || uint32_t(y) >= uint32_t(s->height)) return;
    *pixelAddress(s, x, y) = colour;
    present(s, 0, 0, 0, x, y, 1, 1);
}

}  // namespace

void registerDrawCommands() {
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENADJUSTXY", cmdScreenAdjustXY);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENBOX", cmdScreenBox);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENCLEAR", cmdScreenClear);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENFADEOUTCLEAR", cmdScreenFadeOutClear);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENFADESPEED", cmdScreenFadeSpeed);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENFILLEDBOX", cmdScreenFilledBox);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENFORCEPALETTEZEROBLACK", cmdScreenForcePaletteZeroBlack);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENGETBRIGHTESTPALETTEINDEX", cmdScreenGetBrightest);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENGETDARKESTPALETTEINDEX", cmdScreenGetDarkest);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENGETPIXEL", cmdScreenGetPixel);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENLINE", cmdScreenLine);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENPALETTELOCK", cmdScreenPaletteLock);
    engine::registerCommand(engine::CommandOwner::Draw, "SCREENSETPIXEL", cmdScreenSetPixel);
}

}  // namespace runtime
