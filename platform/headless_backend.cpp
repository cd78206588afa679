// The headless rows: windows, pictures and boxes live only in the services' own state (and in
// the capture files the display service writes); nothing is mirrored on a screen.
#include <cstdio>
#include <cstdlib>

#include "platform/dialog_backend.h"
#include "platform/display_backend.h"
#include "platform/window_backend.h"

namespace plat {
namespace {

bool startHeadless() { return true; }
bool createWindow(HWND, const char*, int32_t, int32_t, int32_t, int32_t, bool, bool) { return true; }
void noWindow(HWND) {}
void noTitle(HWND, const char*) {}
void noGeometry(HWND, int32_t, int32_t, int32_t, int32_t) {}
void noShow(HWND, bool, bool) {}
void noFlag(HWND, bool) {}
void noWarp(HWND, int32_t, int32_t) {}
void noCursor(bool) {}
void noPump() {}
void* noNative(HWND) { return nullptr; }

// A desktop of 1920x1080 unless TORVEX_DESKTOP=WxH says otherwise.
bool desktopSize(int32_t* width, int32_t* height) {
    const char* env = std::getenv("TORVEX_DESKTOP");
    int a = 0, b = 0;
    if (!env || std::sscanf(env, "%dx%d", &a, &b) != 2 || a <= 0 || b <= 0 || a > 16384 || b > 16384) return false;
    *width = a;
    *height = b;
    return true;
}

bool setPictureSize(HWND, int32_t, int32_t, bool) { return true; }
void updateRect(HWND, const uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t, const uint32_t*) {}
void flush(bool) {}
bool setFullScreen(HWND, bool, int32_t, int32_t, bool* modeTaken) {
    // The service records the mode; no screen refuses it.
    if (modeTaken) *modeTaken = true;
    return true;
}

}  // namespace

const WindowBackendOps kHeadlessWindowOps{
    "headless", startHeadless, createWindow, noWindow, noTitle, noGeometry, noShow, noWindow, noFlag,
    noWarp,     noCursor,      desktopSize,  noPump,   noNative, 5};

const DisplayBackendOps kHeadlessDisplayOps{"headless", setPictureSize, updateRect, flush, setFullScreen, nullptr};

// Boxes go to standard error and the capture log; panels only to the capture log, and nobody
// is there to press their buttons.
const DialogBackendOps kHeadlessDialogOps{"headless", nullptr, nullptr, nullptr, nullptr, 0, false};

}  // namespace plat
