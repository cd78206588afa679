// Shared between the window service, the display, the input sources and the back-end choice;
// not for use outside platform/. What back-ends may call is in window_backend.h.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win_defs.h"
#include "platform/window_backend.h"

namespace plat::win {

// Sets the latest known modifier state (after an injected key press given with flags).
void setAsyncMods(KeyMods mods);
bool clientOrigin(HWND hwnd, POINT* pt);
bool clientSize(HWND hwnd, int32_t* width, int32_t* height);
bool desktopSize(int32_t* width, int32_t* height);
// The desktop's size is asked of the back-end again (after the back-end changed).
void forgetDesktopSize();

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
// The dialog back-end's input and the panels' paced views (panel.cpp); a panel goes with its
// window.
void dialogPoll();
void panelWindowDestroyed(HWND hwnd);
}  // namespace plat
