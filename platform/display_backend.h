// The display service's back-end table: how a window's presented picture reaches a real screen.
//
// The service keeps each window's picture (a top-down copy of what was presented) and palette,
// and writes the capture files; a back-end only shows them. Rows: "headless" (shows nothing)
// and "sdl", chosen together with the window back-end (backend_choice.cpp). A new kind of
// picture (say true colour) is one more entry here and one more function in each row.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/display.h"  // PaletteEntry, convertIndexedRect
#include "platform/win_defs.h"

namespace plat {

struct DisplayBackendOps {
    const char* name;
    // The picture's size (0 x 0: the window shows none). scaleToDesktop: on a screen, open the
    // window at a whole multiple of the size that suits the desktop (a presentation); otherwise
    // at its own size.
    bool (*setPictureSize)(HWND id, int32_t width, int32_t height, bool scaleToDesktop);
    // A rectangle of the top-down 8-bit picture (pitch = picture width) through the palette
    // (0x00RRGGBB entries); shown at the next flush.
    void (*updateRect)(HWND id, const uint8_t* pixels, int32_t pitch, int32_t x, int32_t y, int32_t w,
                       int32_t h, const uint32_t* palette);
    // Shows what was updated; without force at most every few milliseconds.
    void (*flush)(bool force);
    // On: full screen in the desktop's own mode (a mode of 0 x 0), or in the nearest screen mode
    // of at least modeWidth x modeHeight; *modeTaken (may be null) tells whether such a mode was
    // set. Off gives the desktop its mode back. False when the screen refused.
    bool (*setFullScreen)(HWND id, bool on, int32_t modeWidth, int32_t modeHeight, bool* modeTaken);
    // What the screen shows of the window as 0x00RRGGBB pixels. Null in a row without a screen:
    // the service then gives the presented picture itself.
    bool (*readPixels)(HWND id, std::vector<uint32_t>* pixels, int32_t* width, int32_t* height);
};

// The chosen row (the same decision as the window back-end).
const DisplayBackendOps& displayOps();

extern const DisplayBackendOps kHeadlessDisplayOps;
extern const DisplayBackendOps kSdlDisplayOps;

}  // namespace plat
