// The display surface over the platform's display service.
#include "player/runtime/display_surface.h"

#include <cstdio>
#include <cstring>

#include "base/mem_block.h"
#include "codec/blit/blitter.h"
#include "platform/display.h"
#include "platform/window.h"

namespace runtime {

namespace {

struct SurfaceGlobals {
    bool desktopKnown = false;
    int32_t displayColours = 0;
    int32_t paletteEntries = 256;
    int32_t staticPerEnd = 0;  // static colours at each end of the palette (256-colour desktops only)
    uintptr_t nextPalette = 0x5000;  // logical palette handles are just distinct numbers here
};
SurfaceGlobals gSurfaces;

void learnDesktop() {
    if (gSurfaces.desktopKnown) return;
    int depth = plat::desktopColorDepth();
    if (depth < 1) depth = 1;
    if (depth > 24) depth = 24;
    gSurfaces.displayColours = int32_t(1) << depth;
    gSurfaces.paletteEntries = gSurfaces.displayColours < 256 ? gSurfaces.displayColours : 256;
    // Only a desktop of exactly 256 colours keeps static colours in the hardware palette.
    gSurfaces.staticPerEnd = gSurfaces.displayColours == 256 ? 10 : 0;
    gSurfaces.desktopKnown = true;
}

bool backendAvailable(int32_t backend, int32_t width, int32_t height) {
    switch (backend) {
        case BACKEND_FULLSCREEN_320X240: return width <= 320 && height <= 240;
        case BACKEND_FULLSCREEN_320X200: return width <= 320 && height <= 200;
        case BACKEND_FULLSCREEN_320X200_DIRECT: return false;  // no direct video memory here
        case BACKEND_DIBS:
        case BACKEND_WING: return true;
        default: return false;
    }
}

void pushPaletteToWindow(DisplaySurface* s) {
    if (s->attached) plat::setPaletteQuads(s->window, 0, s->paletteEntries, s->palette);
}

void ensureLogicalPalette(DisplaySurface* s) {
    if (s->hPalette) return;
    s->hPalette = ++gSurfaces.nextPalette;
    pushPaletteToWindow(s);
}

}  // namespace

DisplaySurface* createSurface(uintptr_t window, uint32_t backendAndFlags, int32_t width, int32_t height,
                              int32_t displayWidth, int32_t displayHeight) {
    if (!plat::isWindow(window)) return nullptr;
    if (width <= 0 || height <= 0 || width > kMaxSurfaceSide || height > kMaxSurfaceSide) return nullptr;
    learnDesktop();
    const int32_t reserved = gSurfaces.staticPerEnd;

    int32_t requested = int32_t(backendAndFlags & kSurfaceBackendMask);
    int32_t backend = 0;
    if (requested == BACKEND_AUTOMATIC) {
        backend = backendAvailable(BACKEND_WING, width, height) ? BACKEND_WING : BACKEND_DIBS;
    } else if (backendAvailable(requested, width, height)) {
        backend = requested;
    } else {
        return nullptr;
    }

    auto* s = static_cast<DisplaySurface*>(TorvexMemAlloc(sizeof(DisplaySurface)));
    if (!s) return nullptr;
    std::memset(s, 0, sizeof *s);
    if (backend == BACKEND_FULLSCREEN_320X240 && height <= 200) height = 204;
    s->backend = backend;
    s->width = width;
    s->height = height;
    s->pitch = (width + 7) & ~7;
    s->displayWidth = displayWidth > 0 ? displayWidth : width;
    s->displayHeight = displayHeight > 0 ? displayHeight : height;
    s->scaled = (s->displayWidth != width || s->displayHeight != height) ? 1 : 0;
    s->displayColours = gSurfaces.displayColours;
    s->paletteEntries = gSurfaces.paletteEntries;
    s->blitterPaletteFlags = kPalFourComponents | kPalBlueFirst;
    int32_t cells = (height / 4) * (width / 64);
    s->queueCapacity = cells < 32 ? 16 : cells / 2;
    s->window = window;
    s->foreground = 1;

    if (s->backend <= BACKEND_FULLSCREEN_320X200) {
        s->firstFree = 0;
        s->lastFree = 256;
        s->rectMode = 1;
        s->fullScreen = 1;
        s->bottomUp = 1;
    } else {
        s->firstFree = reserved;
        s->lastFree = s->paletteEntries - reserved;
        s->rectMode = s->backend == BACKEND_DIBS ? 1 : 0;
        s->bottomUp = 0;  // top-down bitmaps: DIB sections exist on this system
    }
    s->freeEntries = s->lastFree - s->firstFree;

    size_t bytes = size_t(s->pitch) * size_t(s->height);
    s->bits = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(bytes)));
    if (!s->bits) {
        TorvexMemFree(s);
        return nullptr;
    }
    std::memset(s->bits, 0, bytes);

    if (!plat::attachFrameBuffer(window, s->bits, s->width, s->height, s->pitch, s->bottomUp != 0)) {
        TorvexMemFree(s->bits);
        TorvexMemFree(s);
        return nullptr;
    }
    s->attached = 1;
    if (s->fullScreen) {
        // The window itself covers the desktop and shows the buffer scaled.
        plat::showWindow(window, plat::SW_SHOW);
        if (!plat::setFullScreen(window, true)) {
            plat::detachFrameBuffer(window);
            TorvexMemFree(s->bits);
            TorvexMemFree(s);
            return nullptr;
        }
        plat::setForegroundWindow(window);
        plat::setFocus(window);
        s->active = plat::getActiveWindow() == window ? 1 : 0;
    }
    return s;
}

void (*gSurfaceDestroyedHook)(const DisplaySurface* surface) = nullptr;

void destroySurface(DisplaySurface* s) {
    if (!s) return;
    if (gSurfaceDestroyedHook) gSurfaceDestroyedHook(s);
    if (s->fullScreen && plat::isWindow(s->window)) plat::setFullScreen(s->window, false);
    if (s->attached && plat::isWindow(s->window)) plat::detachFrameBuffer(s->window);
    TorvexBlitterFree(s->blitter);
    TorvexMemFree(s->queueBase);
    TorvexMemFree(s->bits);
    TorvexMemFree(s);
}

void beginCollect(DisplaySurface* s) {
    if (!s) return;
    if (!s->queueBase) {
        s->queueBase = static_cast<QueuedRect*>(TorvexMemAlloc(uint32_t(s->queueCapacity) * sizeof(QueuedRect)));
        if (!s->queueBase) return;  // without a queue every rectangle is drawn at once
    }
    s->queueCount = 0;
    s->queueMode = QUEUE_COLLECT;
}

int drainQueue(DisplaySurface* s) {
    if (!s) return 0;
    s->queueMode = QUEUE_DRAIN;
    int r = present(s, s->queueDC, 0, 0, 0, 0, 0, 0);
    s->queueMode = QUEUE_DRAW;
    s->queueCount = 0;
    return r;
}

int present(DisplaySurface* s, uintptr_t dc, int32_t destX, int32_t destY, int32_t x, int32_t y, int32_t w,
            int32_t h) {
    if (!s) return 0;
    if (s->queueMode == QUEUE_COLLECT && s->queueBase && s->queueCount < s->queueCapacity) {
        s->queueBase[s->queueCount++] = QueuedRect{destX, destY, x, y, w, h};
        s->queueDC = dc;
        return 0;
    }
    s->everShown = 1;
    if (!s->attached) return 0;
    if (s->fullScreen) {
        // The whole buffer goes to the full-screen picture every time.
        plat::presentAll(s->window);
        if (s->queueMode == QUEUE_DRAIN) s->queueCount = 0;
        return kPresentedWhole;
    }
    ensureLogicalPalette(s);
    int result = 0;
    bool whole = false;
    if (s->repaintPending) {
        s->repaintPending = 0;
        whole = true;
        result = kPresentedWhole;
    }
    if (whole) {
        plat::presentRect(s->window, destX, destY, s->width, s->height);
    } else if (s->queueMode == QUEUE_DRAIN && s->queueBase) {
        for (int32_t i = 0; i < s->queueCount; ++i) {
            const QueuedRect& r = s->queueBase[i];
            plat::presentRect(s->window, r.destX + r.x, r.destY + r.y, r.width, r.height);
        }
    } else if (s->queueMode != QUEUE_DRAIN) {
        plat::presentRect(s->window, destX + x, destY + y, w, h);
    }
    if (s->queueMode == QUEUE_DRAIN) s->queueCount = 0;
    return result;
}

uint32_t setPalette(DisplaySurface* s, const uint8_t* rgb) {
    if (!s || !rgb) return 0;
    if (s->paletteEntries < 256) {
        s->everShown = 1;
        return 0;
    }
    for (int32_t i = s->firstFree; i < s->lastFree; ++i) {
        uint8_t red = rgb[i * 3], green = rgb[i * 3 + 1], blue = rgb[i * 3 + 2];
        // A script colour equal to an upper static colour would be merged with it by the
        // system: nudge red until it differs from all of them.
        for (int32_t k = s->lastFree; k < 256; ++k) {
            const uint8_t* e = s->palette + k * 4;
            if (e[2] == red && e[1] == green && e[0] == blue) red = (red & 3) == 3 ? uint8_t(red - 1) : uint8_t(red + 1);
        }
        uint8_t* e = s->palette + i * 4;
        e[0] = blue;
        e[1] = green;
        e[2] = red;
        e[3] = 0;
    }
    uint32_t rebuilt = 0;
    if (!s->fullScreen) {
        s->hPalette = ++gSurfaces.nextPalette;  // a new logical palette replaces the old one
    }
    pushPaletteToWindow(s);
    s->everShown = 1;
    if (s->displayColours > 256) s->repaintPending = 1;
    if (s->blitter) rebuilt = TorvexBlitterSetPalette(s->blitter, s->palette, uint32_t(s->blitterPaletteFlags));
    return rebuilt;
}

int realizePalette(DisplaySurface* s) {
    if (!s || s->fullScreen) return 0;
    // The window's palette follows every setPalette already; realising only makes sure there is
    // one and repaints what was shown with an older one.
    ensureLogicalPalette(s);
    if (s->everShown && plat::isWindow(s->window)) plat::invalidateRect(s->window, nullptr, false);
    return s->freeEntries;
}

void clearSurface(DisplaySurface* s, uint8_t colour) {
    if (!s) return;
    std::memset(s->bits, colour, size_t(s->pitch) * size_t(s->height));
    presentAll(s);
}

char* describe(const DisplaySurface* s, char* text) {
    static const char* const kNames[] = {"Automatic",  "Full screen 320x240", "Full screen 320x200",
                                         "Full screen 320x200 direct", "Standard Windows DIBs", "DIBSection"};
    text[0] = 0;
    if (!s || s->backend < 0 || s->backend > 5) return text;
    std::snprintf(text, 128, "%s", kNames[s->backend]);
    if (s->blitter && s->clipComputed) {
        char mode[64];
        TorvexBlitterDescribe(s->blitter, mode);
        size_t n = std::strlen(text);
        std::snprintf(text + n, 128 - n, " with accelerated blitting (%s)", mode);
    }
    return text;
}

}  // namespace runtime
