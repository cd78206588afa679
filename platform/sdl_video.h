// The SDL2 video back-end behind the window and display services (internal to platform/;
// this header deliberately includes no SDL header).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win_defs.h"

namespace plat::sdlv {

// Starts SDL's video once; false when there is no usable display.
bool init();
bool available();

bool createWindow(HWND id, const char* title, int32_t clientX, int32_t clientY, int32_t width,
                  int32_t height, bool caption, bool topmost);
void destroyWindow(HWND id);
void setTitle(HWND id, const char* title);
void setGeometry(HWND id, int32_t clientX, int32_t clientY, int32_t width, int32_t height);
void show(HWND id, bool visible, bool minimized);
void raise(HWND id);
void setTopmost(HWND id, bool topmost);

// The buffer size shown in the window (texture size); 0 detaches.
bool setBufferSize(HWND id, int32_t width, int32_t height);
// Converts the rectangle of the 8-bit top-down image (pitch = buffer width) through the
// palette (0x00RRGGBB entries) into the texture; the screen is refreshed at the next flush.
void updateRect(HWND id, const uint8_t* pixels, int32_t pitch, int32_t x, int32_t y, int32_t w,
                int32_t h, const uint32_t* palette);
void flush(bool force);
// On: full screen in the desktop's own mode (a mode width or height of 0), or in the nearest
// screen mode of at least modeWidth x modeHeight; *modeTaken (may be null) tells whether such a
// mode was found and set, else the desktop's mode is used. Off gives the desktop its mode back.
bool setFullScreen(HWND id, bool on, int32_t modeWidth, int32_t modeHeight, bool* modeTaken);
bool isFullScreen(HWND id);
bool desktopSize(int32_t* width, int32_t* height);
// Moves the pointer to a point of the buffer (client coordinates).
void warpMouse(HWND id, int32_t x, int32_t y);
void showCursor(bool visible);

// The SDL_Window* of a window as an opaque pointer (null when it has none).
void* nativeWindow(HWND id);

// Queues an SDL key event as the keyboard would give it (tests): key by SDL's key name ("F1",
// "Return", "A", "Left"), mods bits 1 Shift, 2 Control, 4 Alt. False for an unknown name.
bool pushTestKey(HWND id, const char* keyName, int mods, bool down);
// Queues SDL text input (UTF-8), as typing gives it.
bool pushTestText(HWND id, const char* utf8);

// Resizes the real window only, as a user dragging its border would (tests).
void resizeDrawable(HWND id, int32_t width, int32_t height);
// Draws the window now and reads back its drawable area as 0x00RRGGBB pixels (tests).
bool readPixels(HWND id, std::vector<uint32_t>* pixels, int32_t* width, int32_t* height);

// Collects SDL events and turns them into messages (call on the thread that started video).
void pump();

// Maps a point of the window's drawable area to buffer coordinates (for tests of the letterbox
// arithmetic): scale and offsets as used for drawing.
struct Placement {
    int32_t x = 0, y = 0, w = 0, h = 0;  // destination rectangle of the buffer
};
Placement placeBuffer(int32_t windowW, int32_t windowH, int32_t bufferW, int32_t bufferH);

}  // namespace plat::sdlv
