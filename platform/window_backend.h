// The window service's back-end table: what a back-end does for the windows the service keeps,
// and what the service offers back-ends in return (turning their input into messages).
//
// The service keeps every window's state itself (rectangles in screen coordinates, styles,
// queues); a back-end only mirrors it on a real screen. The rows are "headless" (nothing to
// mirror) and "sdl"; one is chosen once, at first use (see backend_choice.cpp).
#pragma once

#include <cstdint>

#include "platform/win_defs.h"

namespace plat {

struct WindowBackendOps {
    const char* name;
    // False when the back-end cannot run here (no display); called before any other entry.
    bool (*start)();
    // The real window for a service window: its client area at (clientX, clientY), size
    // width x height, hidden. False when it cannot be made (the service then fails creation).
    bool (*createWindow)(HWND id, const char* title, int32_t clientX, int32_t clientY, int32_t width,
                         int32_t height, bool caption, bool topmost);
    void (*destroyWindow)(HWND id);
    void (*setTitle)(HWND id, const char* title);
    void (*setGeometry)(HWND id, int32_t clientX, int32_t clientY, int32_t width, int32_t height);
    void (*show)(HWND id, bool visible, bool minimized);
    void (*raise)(HWND id);
    void (*setTopmost)(HWND id, bool topmost);
    // Puts the pointer on a client point of the window.
    void (*warpMouse)(HWND id, int32_t x, int32_t y);
    void (*showCursor)(bool visible);
    bool (*desktopSize)(int32_t* width, int32_t* height);
    // Collects the back-end's input and turns it into messages (the service calls it whenever
    // a thread peeks or gets messages; a back-end bound to one thread ignores other threads).
    void (*pump)();
    // The back-end's own object for a window (a native window for native message boxes), or null.
    void* (*nativeWindow)(HWND id);
    // How long getMessage sleeps between looks at the queue while nothing arrives.
    int waitSliceMs;
};

// The chosen row (decided at the first call).
const WindowBackendOps& windowOps();

// The rows.
extern const WindowBackendOps kHeadlessWindowOps;
extern const WindowBackendOps kSdlWindowOps;

}  // namespace plat

// What the service offers back-ends and the other input sources.
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
// The user asked for full screen to be switched (Alt+Enter).
void deliverFullScreenToggle(HWND hwnd);

KeyMods currentMods();
int cursorDisplayCount();  // showCursor's count (pointer shown while >= 0)
// True when the window's class cursor hides the pointer over it.
bool hidesPointer(HWND hwnd);
// Whether the service has the window in full screen (a move then is not the user's).
bool inFullScreen(HWND hwnd);

}  // namespace plat::win
