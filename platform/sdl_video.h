// The SDL2 video back-end's own hooks for tests (its rows are in window_backend.h and
// display_backend.h; this header deliberately includes no SDL header).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win_defs.h"

namespace plat::sdlv {

// Queues an SDL key event as the keyboard would give it (tests): key by SDL's key name ("F1",
// "Return", "A", "Left"), mods bits 1 Shift, 2 Control, 4 Alt. False for an unknown name.
bool pushTestKey(HWND id, const char* keyName, int mods, bool down);
// Queues SDL text input (UTF-8), as typing gives it.
bool pushTestText(HWND id, const char* utf8);

// Resizes the real window only, as a user dragging its border would (tests).
void resizeDrawable(HWND id, int32_t width, int32_t height);

// Maps a point of the window's drawable area to buffer coordinates (for tests of the letterbox
// arithmetic): scale and offsets as used for drawing.
struct Placement {
    int32_t x = 0, y = 0, w = 0, h = 0;  // destination rectangle of the buffer
};
Placement placeBuffer(int32_t windowW, int32_t windowH, int32_t bufferW, int32_t bufferH);

// The whole multiple a presentation's window opens at: wanted (TORVEX_SCALE's text) when it
// is a number of at least 1, else the largest that fits within three quarters of the desktop;
// at least 1, and never beyond a window side of 16384.
int32_t chooseScale(int32_t pictureW, int32_t pictureH, int32_t desktopW, int32_t desktopH, const char* wanted);

}  // namespace plat::sdlv
