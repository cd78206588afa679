// The display surface: the presentation window's 8-bit frame buffer, its hardware palette and
// the back-end that shows it.
//
// On this desktop (true colour, DIB sections available, no direct video memory) back-ends 4
// and 5 draw through the platform's display service, 1 and 2 show the buffer scaled over the
// whole desktop, and 3 is never available. No colours are reserved for the system, so every
// palette entry belongs to the script; a palette change makes the next present repaint the
// whole buffer.
#pragma once

#include <cstddef>
#include <cstdint>

struct TorvexBlitter;

namespace runtime {

enum DisplayBackend : int32_t {
    BACKEND_AUTOMATIC = 0,
    BACKEND_FULLSCREEN_320X240 = 1,
    BACKEND_FULLSCREEN_320X200 = 2,
    BACKEND_FULLSCREEN_320X200_DIRECT = 3,
    BACKEND_DIBS = 4,
    BACKEND_WING = 5,
};

// Creation flags beside the back-end number in the low bits.
constexpr uint32_t kSurfaceBackendMask = 0x1F;
constexpr uint32_t kSurfaceNoDirectDraw = 0x80;
constexpr uint32_t kSurfaceSmooth2x = 0x100;
constexpr uint32_t kSurfaceInterlaced2x = 0x200;

// present's result when it showed the whole buffer instead of the rectangle asked for.
constexpr int kPresentedWhole = 256;

// Largest buffer side the display service takes.
constexpr int32_t kMaxSurfaceSide = 16384;

enum QueueMode : int32_t { QUEUE_DRAW = 0, QUEUE_DRAIN = 1, QUEUE_COLLECT = 2 };

struct QueuedRect {
    int32_t destX, destY, x, y, width, height;
};

struct DisplaySurface {
    int32_t bottomUp;
    int32_t rectMode;  // dirty-rectangle mode for animation frames
    int32_t backend;
    int32_t fullScreen;
    int32_t width, height;
    int32_t pitch;  // width rounded up to a multiple of 8
    int32_t scaled;
    int32_t displayWidth, displayHeight;
    int32_t displayColours;
    int32_t paletteEntries;
    int32_t freeEntries;
    int32_t firstFree, lastFree;
    uint8_t palette[256 * 4];  // blue, green, red, 0
    int32_t blitterPaletteFlags;
    int32_t repaintPending;
    int32_t everShown;
    uint8_t* bits;
    uintptr_t hPalette;  // logical palette handle, 0 until first needed
    int32_t active;
    uintptr_t window;
    int32_t attached;  // the buffer is the one the window shows
    uint32_t blitMode;
    TorvexBlitter* blitter;  // never made here: no direct screen access on this desktop
    int32_t clipComputed;
    int32_t foreground;
    int32_t queueMode;
    QueuedRect* queueBase;
    int32_t queueCapacity;
    int32_t queueCount;
    uintptr_t queueDC;
};

// Null when the back-end is not available, the size is not positive or too large, or memory
// runs out. On success the window shows the new buffer (cleared to colour 0).
DisplaySurface* createSurface(uintptr_t window, uint32_t backendAndFlags, int32_t width, int32_t height,
                              int32_t displayWidth, int32_t displayHeight);
void destroySurface(DisplaySurface* surface);
// Called by destroySurface before the buffer goes, so that nothing that points into it (an
// animation's screen target) writes there again. Null = nothing to tell.
extern void (*gSurfaceDestroyedHook)(const DisplaySurface* surface);
// Shows the rectangle (buffer coordinates, clipped by the display service); kPresentedWhole
// when the whole buffer was shown instead, else 0. In collect mode the rectangle is queued.
int present(DisplaySurface* surface, uintptr_t dc, int32_t destX, int32_t destY, int32_t x, int32_t y, int32_t width,
            int32_t height);
inline int presentAll(DisplaySurface* s) { return s ? present(s, 0, 0, 0, 0, 0, s->width, s->height) : 0; }
// Collect mode allocates the queue once; drain draws every queued rectangle with one call.
void beginCollect(DisplaySurface* surface);
int drainQueue(DisplaySurface* surface);
// rgb256: 256 red-green-blue triples. Nonzero when a blitter rebuilt its tables.
uint32_t setPalette(DisplaySurface* surface, const uint8_t* rgb256);
int realizePalette(DisplaySurface* surface);
void clearSurface(DisplaySurface* surface, uint8_t colour);
// text holds at least 128 bytes; returns it.
char* describe(const DisplaySurface* surface, char* text);

// Address of buffer pixel (x, y) of a surface (row flipped when bottomUp); no range check.
inline uint8_t* pixelAddress(const DisplaySurface* s, int32_t x, int32_t y) {
    int32_t row = s->bottomUp ? s->height - 1 - y : y;
    return s->bits + size_t(row) * size_t(s->pitch) + size_t(x);
}

}  // namespace runtime
