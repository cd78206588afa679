// Windows and messages: window classes with a window procedure, top-level windows, a
// message queue per thread, timers, focus and activation, the cursor and key state.
//
// Two back-ends share these semantics: "sdl" shows real windows, "headless" keeps them only
// in memory. TORVEX_VIDEO=sdl|headless chooses; without it SDL is used when DISPLAY or
// WAYLAND_DISPLAY is set and SDL's video starts, otherwise headless. Input from either back-end
// (or injected, see input.h) arrives as the desktop system's key, character, mouse, close,
// activation and paint messages.
//
// Geometry: window rectangles are in screen coordinates of a desktop (the real one under SDL,
// 1920x1080 headless unless TORVEX_DESKTOP=WxH says otherwise). The frame around the client area is computed from the style bits
// (caption 20 pixels high; a dialog or modal frame 3 pixels, a thick frame 4, a plain border 1)
// the same way in both back-ends, so positions computed by callers are reproducible.
//
// Threads: a window belongs to the thread that created it; messages posted to it go to that
// thread's queue. Under SDL, windows and their display are used from the thread that created
// the first window (SDL's video runs there). sendMessage calls the procedure directly on the calling thread. Back-end
// input is collected whenever the owning thread peeks or gets messages.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win_defs.h"

namespace plat {

struct WNDCLASS {
    uint32_t style = 0;
    WNDPROC lpfnWndProc = nullptr;
    uintptr_t hInstance = 0;
    uintptr_t hIcon = 0;
    uintptr_t hCursor = 0;
    uintptr_t hbrBackground = 0;
    const char* lpszClassName = nullptr;
};

struct PAINTSTRUCT {
    uintptr_t hdc = 0;  // the window handle; the display service needs no device context
    bool fErase = false;
    RECT rcPaint;
};

// ---- classes and windows --------------------------------------------------------------------
// 0 when the name is missing, has no procedure, or is already registered.
ATOM registerClass(const WNDCLASS& wc);
// False while windows of the class exist or when it is unknown.
bool unregisterClass(const char* className);

// Sends WM_CREATE (lParam = CREATESTRUCT*); a procedure answering -1 makes creation fail (0).
// WS_VISIBLE shows and activates the window at once.
HWND createWindowEx(uint32_t exStyle, const char* className, const char* title, uint32_t style,
                    int32_t x, int32_t y, int32_t width, int32_t height, HWND owner,
                    void* createParam);
// Sends WM_DESTROY (after taking away focus and activation), then the handle is dead. Windows
// owned by it are destroyed first.
bool destroyWindow(HWND hwnd);
bool isWindow(HWND hwnd);

// Sends WM_WINDOWPOSCHANGING (the procedure may adjust the WINDOWPOS), applies the result, then
// sends WM_WINDOWPOSCHANGED, WM_MOVE and WM_SIZE when position or size changed.
bool setWindowPos(HWND hwnd, HWND insertAfter, int32_t x, int32_t y, int32_t cx, int32_t cy,
                  UINT flags);
bool moveWindow(HWND hwnd, int32_t x, int32_t y, int32_t width, int32_t height, bool repaint);
// Returns whether the window was visible before. SW_SHOW/SW_SHOWNORMAL/SW_RESTORE activate it.
bool showWindow(HWND hwnd, int command);
bool isWindowVisible(HWND hwnd);
bool isIconic(HWND hwnd);
bool setWindowText(HWND hwnd, const char* text);
std::string getWindowText(HWND hwnd);

// Focus and activation (one application: the foreground window is the active window while the
// application is active, 0 after the desktop took activation away).
HWND setFocus(HWND hwnd);  // returns the previous focus window
HWND getFocus();
HWND setActiveWindow(HWND hwnd);
HWND getActiveWindow();
bool setForegroundWindow(HWND hwnd);
HWND getForegroundWindow();
bool bringWindowToTop(HWND hwnd);

bool getWindowRect(HWND hwnd, RECT* rect);
bool getClientRect(HWND hwnd, RECT* rect);  // always at (0,0)
bool clientToScreen(HWND hwnd, POINT* pt);
bool screenToClient(HWND hwnd, POINT* pt);
// Grows a client rectangle to the window rectangle for the style (menus are not supported).
bool adjustWindowRectEx(RECT* rect, uint32_t style, bool hasMenu, uint32_t exStyle);
// The top-most visible window whose rectangle holds the point (0 = desktop).
HWND windowFromPoint(POINT pt);

intptr_t getWindowLongPtr(HWND hwnd, int index);
intptr_t setWindowLongPtr(HWND hwnd, int index, intptr_t value);  // returns the old value
LRESULT callWindowProc(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// WM_CLOSE destroys the window; WM_PAINT validates it; WM_ERASEBKGND, WM_QUERYENDSESSION and
// WM_QUERYNEWPALETTE-style questions give their neutral answers; WM_NCHITTEST gives HTCLIENT;
// WM_SYSCOMMAND minimises, restores or closes; Alt+F4 becomes SC_CLOSE.
LRESULT defWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// The system menu: seven entries (restore, move, size, minimise, maximise, separator, close).
HMENU getSystemMenu(HWND hwnd, bool revert);
// Returns the previous state (MF_GRAYED/MF_DISABLED bits) or -1 when there is no such item.
int enableMenuItem(HMENU menu, UINT item, UINT flags);
int getMenuState(HMENU menu, UINT item, UINT flags);

// ---- painting -------------------------------------------------------------------------------
// Adds to the update region (null = whole client area); WM_PAINT is generated when the queue
// has nothing else for the thread.
bool invalidateRect(HWND hwnd, const RECT* rect, bool erase);
bool validateRect(HWND hwnd, const RECT* rect);
// Sends WM_PAINT at once when the update region is not empty.
bool updateWindow(HWND hwnd);
uintptr_t beginPaint(HWND hwnd, PAINTSTRUCT* ps);  // validates the window
bool endPaint(HWND hwnd, const PAINTSTRUCT* ps);

// ---- messages -------------------------------------------------------------------------------
// hwnd 0 posts a thread message to the calling thread's queue. False for a dead window.
bool postMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
bool postThreadMessage(UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT sendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// WM_QUIT is returned once the queue holds nothing else posted.
void postQuitMessage(int exitCode);
// Filter: hwnd 0 = every message of the thread, HWND(-1) = thread messages only; min = max = 0
// accepts every number. Order: posted and input messages, WM_QUIT, WM_PAINT, WM_TIMER.
bool peekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);
// Waits for a message: 0 for WM_QUIT, 1 otherwise, -1 for a bad window filter. Waiting sleeps
// on the platform clock, so on the virtual clock time moves on while nothing arrives.
int getMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
// Calls the window's procedure (or the timer callback of a WM_TIMER whose lParam holds one).
LRESULT dispatchMessage(const MSG* msg);
// Characters arrive from the back-ends as WM_CHAR already; this only reports whether msg is a
// key message (so the usual get/translate/dispatch loop can be written unchanged).
bool translateMessage(const MSG* msg);

// A timer of elapse milliseconds (on the platform clock): WM_TIMER with wParam = id and
// lParam = the callback (or 0). Setting an existing id restarts it. Returns the id, 0 on error;
// hwnd 0 makes a thread timer with a fresh id.
uintptr_t setTimer(HWND hwnd, uintptr_t id, UINT elapseMs, TIMERPROC callback);
bool killTimer(HWND hwnd, uintptr_t id);

// ---- keyboard, cursor, system facts -----------------------------------------------------------
// High bit (the value is negative) when the key was down as of the last key message taken from
// the queue; low bit toggles at each press. VK_SHIFT, VK_CONTROL and VK_MENU cover both sides.
int16_t getKeyState(int virtualKey);
// The same, as of the latest input seen by the back-end.
int16_t getAsyncKeyState(int virtualKey);

// Cursors: shapes are not drawn here; a cursor whose every pixel is transparent (AND plane all
// ones, XOR plane all zeros) hides the pointer while it is over a window whose class uses it,
// any other shape shows the standard pointer. Planes are 1 bit per pixel, rows of (width+7)/8
// bytes. 0 for bad sizes (1..256) or missing planes.
HCURSOR createCursor(int32_t hotX, int32_t hotY, int32_t width, int32_t height, const uint8_t* andPlane,
                     const uint8_t* xorPlane);
HCURSOR loadArrowCursor();
bool destroyCursor(HCURSOR cursor);
// True when the window's class cursor hides the pointer over it.
bool windowHidesPointer(HWND hwnd);

bool getCursorPos(POINT* pt);
bool setCursorPos(int32_t x, int32_t y);
int showCursor(bool show);  // returns the new display count (visible while >= 0)
int getSystemMetrics(int index);

// ---- back-end ---------------------------------------------------------------------------------
enum class VideoBackend { Headless, Sdl };
VideoBackend videoBackend();       // decided once, at first use
const char* videoBackendName();    // "headless" or "sdl"

// ---- test control ---------------------------------------------------------------------------
// Destroys every window, clears every queue, timer, class and key state (between tests).
void resetWindowSystem();
// Forces the back-end for the rest of the process (before the first window only).
void setVideoBackendForTest(VideoBackend backend);
// Forces headless windows with the terminal's dialogs (a progress line on standard error), as a
// run from a terminal without a display gets (benchmarks).
void setTerminalDialogsForTest();

}  // namespace plat
