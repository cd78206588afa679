// Shared between the window service, the display, the input sources and the back-ends; not
// for use outside platform/.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win_defs.h"

namespace plat::win {

struct KeyMods {
    bool shift = false;
    bool ctrl = false;
    bool alt = false;
};

// Where input goes when a source does not name a window: the focus window, else the active
// window, else the newest visible top-level window (0 when there is none).
HWND inputTarget();

// Turn input into queued messages for hwnd (any thread). Coordinates are client coordinates.
void deliverKey(HWND hwnd, int virtualKey, bool down, KeyMods mods, bool repeat, bool extended);
void deliverChar(HWND hwnd, uint32_t ch, bool alt);
void deliverMouseMove(HWND hwnd, int32_t x, int32_t y);
void deliverButton(HWND hwnd, int button /*0 left, 1 right*/, bool down, int32_t x, int32_t y);
void deliverClose(HWND hwnd);
// The desktop gave activation to hwnd (active) or took it away from the application.
void deliverActivation(HWND hwnd, bool active);
void deliverExpose(HWND hwnd);
// The user minimised or restored the window.
void deliverMinimized(HWND hwnd, bool minimized);
// The user moved the window: new client origin on the screen.
void deliverMovedBySystem(HWND hwnd, int32_t clientX, int32_t clientY);

KeyMods currentMods();
int cursorDisplayCount();  // showCursor's count (pointer shown while >= 0)
// Sets the latest known modifier state (after an injected key press given with flags).
void setAsyncMods(KeyMods mods);
bool clientOrigin(HWND hwnd, POINT* pt);
bool clientSize(HWND hwnd, int32_t* width, int32_t* height);
bool desktopSize(int32_t* width, int32_t* height);

// One line in the capture log (no-op without TORVEX_CAPTURE).
void logEvent(const std::string& line);

}  // namespace plat::win

namespace plat {
// Called by the window service when a window goes away (display.cpp).
void displayWindowDestroyed(HWND hwnd);
// Called from peek/get on the thread that owns windows: back-end events, injected input, and
// pending screen updates (display.cpp, input.cpp).
void pumpInjectedInput();
void displayFlushPending();
}  // namespace plat
