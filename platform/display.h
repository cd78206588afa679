// Display: a window's client area shows an 8-bit indexed frame buffer through a 256-entry
// palette.
//
// The caller owns the buffer; presenting a rectangle copies it (clipped to the buffer) into the
// window's picture at that moment, so later writes show only when presented again. The desktop
// is true-colour (24 bits): a palette change shows at the next present, which the caller makes
// after changing the palette.
//
// SDL: the picture is converted through the palette into a streaming texture (only the
// presented rectangles; the whole picture after a palette change) and scaled by the largest
// whole multiple that fits the window, nearest-neighbour, centred with black bars.
// Headless: with TORVEX_CAPTURE=DIR every present that changed the picture or its palette
// writes DIR/frame_NNNNN.bmp (8-bit indexed, with the palette), and DIR/events.log gets one
// line per window event, palette change, message box and written frame ("t=MS " in front when
// the clock is virtual, so the log is reproducible).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win_defs.h"

namespace plat {

struct PaletteEntry {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    uint8_t flags = 0;
};

// Attaches (or replaces) the window's frame buffer. bits must hold height rows of pitch bytes
// (pitch >= width); bottomUp means row 0 of the picture is the last row in memory. The buffer
// must stay valid until it is detached, replaced or the window is destroyed. False for a bad
// window or bad sizes (at most 16384 x 16384).
// scaleToDesktop (a presentation): on a screen the window opens at the largest whole multiple
// of the picture's size that fits within three quarters of the desktop (TORVEX_SCALE=N
// chooses N); client, picture and mouse coordinates stay in picture pixels.
bool attachFrameBuffer(HWND hwnd, const uint8_t* bits, int32_t width, int32_t height, int32_t pitch,
                       bool bottomUp, bool scaleToDesktop = true);
void detachFrameBuffer(HWND hwnd);
// Shows a rectangle of the buffer (clipped; an empty rectangle does nothing). False without a
// window or buffer.
bool presentRect(HWND hwnd, int32_t x, int32_t y, int32_t width, int32_t height);
inline bool presentAll(HWND hwnd) { return presentRect(hwnd, 0, 0, 16384, 16384); }

// Sets count entries starting at first (clipped to 0..255).
bool setPaletteEntries(HWND hwnd, int first, int count, const PaletteEntry* entries);
// The same from 4-byte blue, green, red, unused quads (a bitmap colour table).
bool setPaletteQuads(HWND hwnd, int first, int count, const uint8_t* quads);
bool getPaletteEntries(HWND hwnd, int first, int count, PaletteEntry* entries);

// Bits per pixel of the desktop (24 in both back-ends).
int desktopColorDepth();

// Full screen: the window covers the desktop in its full-screen mode; its buffer is scaled into
// it. Headless keeps the state and logs it.
bool setFullScreen(HWND hwnd, bool on);
bool isFullScreen(HWND hwnd);
// Size of the full-screen mode (the desktop's size).
bool fullScreenModeSize(int32_t* width, int32_t* height);

// The screen mode a window takes while it is full screen: width x height, or 0 x 0 for the
// desktop's own mode (the start value). The choice stays with the window until it is changed
// or the window is destroyed: it takes effect at once when the window is full screen, otherwise
// the next time it becomes full screen; leaving full screen always gives the desktop its own
// mode back. SDL picks the nearest mode the screen offers that is at least that large (false,
// and the desktop's mode, when there is none); headless records it and logs it. False for a bad
// window or sizes other than 0 x 0 or 1..16384 on both sides.
bool setFullScreenMode(HWND hwnd, int32_t width, int32_t height);
// The mode chosen for the window (0 x 0 = the desktop's own). False for a bad window.
bool fullScreenMode(HWND hwnd, int32_t* width, int32_t* height);

// Converts a rectangle of 8-bit pixels through a palette of 0x00RRGGBB words (the SDL path's
// inner loop; public for the benchmark).
void convertIndexedRect(const uint8_t* src, int32_t srcPitch, uint32_t* dst, int32_t dstPitchPixels,
                        int32_t width, int32_t height, const uint32_t* palette);

// ---- capture and test access --------------------------------------------------------------
struct PresentedFrame {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;  // top-down, width bytes per row
    std::array<PaletteEntry, 256> palette{};
    uint64_t presents = 0;        // presents that reached the window so far
};
// The picture as last presented (whatever the back-end). False without a buffer.
bool lastPresentedFrame(HWND hwnd, PresentedFrame* out);

// What the window shows, as 0x00RRGGBB pixels: under SDL the real window's drawable area
// (scaled and letterboxed, read back from the renderer); headless the presented picture through
// its palette at its own size. False without a window or picture.
bool readWindowPixels(HWND hwnd, std::vector<uint32_t>* pixels, int32_t* width, int32_t* height);

// Starts capturing into dir (created when missing), as TORVEX_CAPTURE would; "" stops. Frame
// numbers and the log restart.
bool setCaptureDirectory(const std::string& dir);
std::string captureDirectory();
// Frames written since capturing started.
int capturedFrameCount();
// Appends one line to the capture log (no-op while not capturing). For other services, e.g.
// message boxes.
void captureLogLine(const std::string& line);

}  // namespace plat
