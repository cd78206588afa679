// The display service: a copy of each window's picture, its palette, the capture files; the
// chosen back-end (display_backend.h) shows the picture on a screen.
#include "platform/display.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/display_backend.h"
#include "platform/headless_capture.h"
#include "platform/window.h"
#include "platform/window_internal.h"

namespace plat {
namespace {

constexpr int32_t kMaxSide = 16384;

struct DisplayRec {
    const uint8_t* bits = nullptr;
    int32_t width = 0, height = 0, pitch = 0;
    bool bottomUp = false;
    std::vector<uint8_t> picture;  // top-down copy as presented
    std::array<PaletteEntry, 256> palette{};
    std::array<uint32_t, 256> pal32{};
    bool changedSinceCapture = false;
    bool screenStale = true;  // the back-end needs the whole picture (palette change, new buffer)
    bool fullScreen = false;
    int32_t modeWidth = 0, modeHeight = 0;  // full-screen mode; 0 x 0 = the desktop's own
    uint64_t presents = 0;
};

struct DisplayState {
    std::mutex lock;
    std::map<HWND, DisplayRec> displays;
};
DisplayState& ds() {
    static DisplayState* s = new DisplayState;
    return *s;
}

std::string hwndText(HWND h) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)h);
    return buf;
}

std::string modeText(int32_t width, int32_t height) {
    if (width == 0 && height == 0) return "desktop";
    return std::to_string(width) + "x" + std::to_string(height);
}

void refreshPal32(DisplayRec& d) {
    for (int i = 0; i < 256; i++)
        d.pal32[i] = (uint32_t(d.palette[i].red) << 16) | (uint32_t(d.palette[i].green) << 8) | d.palette[i].blue;
}

bool setEntriesCommon(HWND hwnd, int first, int count, const PaletteEntry* entries, const uint8_t* quads) {
    if (!isWindow(hwnd) || (!entries && !quads)) return false;
    int lo = std::max(first, 0);
    int64_t hiWide = int64_t(first) + int64_t(std::max(count, 0));
    int hi = int(std::min<int64_t>(hiWide, 256));
    std::lock_guard<std::mutex> g(ds().lock);
    DisplayRec& d = ds().displays[hwnd];
    bool changed = false;
    for (int i = lo; i < hi; i++) {
        PaletteEntry e;
        if (entries) {
            e = entries[i - first];
        } else {
            const uint8_t* q = quads + size_t(i - first) * 4;
            e.blue = q[0];
            e.green = q[1];
            e.red = q[2];
        }
        PaletteEntry& cur = d.palette[i];
        if (cur.red != e.red || cur.green != e.green || cur.blue != e.blue) changed = true;
        cur = e;
    }
    if (changed) {
        refreshPal32(d);
        d.changedSinceCapture = true;
        d.screenStale = true;
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, " first=%d count=%d%s", lo, std::max(0, hi - lo), changed ? "" : " unchanged");
    win::logEvent("palette " + hwndText(hwnd) + buf);
    return true;
}

}  // namespace

bool attachFrameBuffer(HWND hwnd, const uint8_t* bits, int32_t width, int32_t height, int32_t pitch,
                       bool bottomUp, bool scaleToDesktop) {
    if (!isWindow(hwnd) || !bits || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
        pitch < width)
        return false;
    {
        std::lock_guard<std::mutex> g(ds().lock);
        DisplayRec& d = ds().displays[hwnd];
        d.bits = bits;
        d.width = width;
        d.height = height;
        d.pitch = pitch;
        d.bottomUp = bottomUp;
        d.picture.assign(size_t(width) * size_t(height), 0);
        d.changedSinceCapture = true;
        d.screenStale = true;
        refreshPal32(d);
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, " %dx%d pitch=%d%s", width, height, pitch, bottomUp ? " bottom-up" : "");
    win::logEvent("buffer " + hwndText(hwnd) + buf);
    displayOps().setPictureSize(hwnd, width, height, scaleToDesktop);
    return true;
}

void detachFrameBuffer(HWND hwnd) {
    {
        std::lock_guard<std::mutex> g(ds().lock);
        auto it = ds().displays.find(hwnd);
        if (it == ds().displays.end() || !it->second.bits) return;
        it->second.bits = nullptr;
        it->second.picture.clear();
        it->second.width = it->second.height = 0;
    }
    win::logEvent("buffer " + hwndText(hwnd) + " detached");
    if (isWindow(hwnd)) displayOps().setPictureSize(hwnd, 0, 0, false);
}

void displayWindowDestroyed(HWND hwnd) {
    std::lock_guard<std::mutex> g(ds().lock);
    ds().displays.erase(hwnd);
}

bool presentRect(HWND hwnd, int32_t x, int32_t y, int32_t width, int32_t height) {
    const DisplayBackendOps& ops = displayOps();
    std::vector<uint8_t> snapshot;
    std::array<PaletteEntry, 256> pal;
    int32_t fw = 0, fh = 0;
    {
        std::lock_guard<std::mutex> g(ds().lock);
        auto it = ds().displays.find(hwnd);
        if (it == ds().displays.end() || !it->second.bits || !isWindow(hwnd)) return false;
        DisplayRec& d = it->second;
        // Clip in 64-bit so that huge or negative sizes cannot wrap.
        int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
        int64_t x1 = std::min<int64_t>(int64_t(x) + std::max<int64_t>(width, 0), d.width);
        int64_t y1 = std::min<int64_t>(int64_t(y) + std::max<int64_t>(height, 0), d.height);
        if (x0 >= x1 || y0 >= y1) return true;
        size_t n = size_t(x1 - x0);
        for (int64_t row = y0; row < y1; row++) {
            int64_t srcRow = d.bottomUp ? d.height - 1 - row : row;
            const uint8_t* src = d.bits + size_t(srcRow) * size_t(d.pitch) + size_t(x0);
            uint8_t* dst = d.picture.data() + size_t(row) * size_t(d.width) + size_t(x0);
            if (!d.changedSinceCapture && std::memcmp(src, dst, n) != 0) d.changedSinceCapture = true;
            std::memcpy(dst, src, n);
        }
        d.presents++;
        if (d.screenStale) {
            ops.updateRect(hwnd, d.picture.data(), d.width, 0, 0, d.width, d.height, d.pal32.data());
            d.screenStale = false;
        } else {
            ops.updateRect(hwnd, d.picture.data(), d.width, int32_t(x0), int32_t(y0), int32_t(x1 - x0),
                           int32_t(y1 - y0), d.pal32.data());
        }
        if (d.changedSinceCapture && capture::active()) {
            d.changedSinceCapture = false;
            snapshot = d.picture;
            pal = d.palette;
            fw = d.width;
            fh = d.height;
        }
    }
    if (!snapshot.empty()) capture::writeFrame(snapshot.data(), fw, fh, pal.data());
    ops.flush(false);
    return true;
}

bool setPaletteEntries(HWND hwnd, int first, int count, const PaletteEntry* entries) {
    return setEntriesCommon(hwnd, first, count, entries, nullptr);
}

bool setPaletteQuads(HWND hwnd, int first, int count, const uint8_t* quads) {
    return setEntriesCommon(hwnd, first, count, nullptr, quads);
}

bool getPaletteEntries(HWND hwnd, int first, int count, PaletteEntry* entries) {
    if (!isWindow(hwnd) || !entries) return false;
    std::lock_guard<std::mutex> g(ds().lock);
    DisplayRec& d = ds().displays[hwnd];
    for (int i = 0; i < count; i++) {
        int64_t k = int64_t(first) + i;
        entries[i] = (k >= 0 && k < 256) ? d.palette[size_t(k)] : PaletteEntry{};
    }
    return true;
}

int desktopColorDepth() { return 24; }

bool setFullScreen(HWND hwnd, bool on) {
    if (!isWindow(hwnd)) return false;
    int32_t mw = 0, mh = 0;
    {
        std::lock_guard<std::mutex> g(ds().lock);
        DisplayRec& d = ds().displays[hwnd];
        if (d.fullScreen == on) return true;
        d.fullScreen = on;
        mw = d.modeWidth;
        mh = d.modeHeight;
    }
    if (!displayOps().setFullScreen(hwnd, on, mw, mh, nullptr)) {
        std::lock_guard<std::mutex> g(ds().lock);
        ds().displays[hwnd].fullScreen = !on;
        return false;
    }
    std::string line = std::string("fullscreen ") + hwndText(hwnd) + (on ? " on" : " off");
    if (on && (mw || mh)) line += " mode " + modeText(mw, mh);
    win::logEvent(line);
    invalidateRect(hwnd, nullptr, false);
    return true;
}

bool setFullScreenMode(HWND hwnd, int32_t width, int32_t height) {
    if (!isWindow(hwnd)) return false;
    const bool desktop = width == 0 && height == 0;
    if (!desktop && (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide)) return false;
    bool full = false;
    {
        std::lock_guard<std::mutex> g(ds().lock);
        DisplayRec& d = ds().displays[hwnd];
        if (d.modeWidth == width && d.modeHeight == height) return true;
        d.modeWidth = width;
        d.modeHeight = height;
        full = d.fullScreen;
    }
    bool ok = true;
    if (full) {
        bool taken = false;
        // The window stays full screen either way; only a mode the screen lacks fails.
        displayOps().setFullScreen(hwnd, true, width, height, &taken);
        ok = desktop || taken;
    }
    win::logEvent("fullscreen mode " + hwndText(hwnd) + " " + modeText(width, height) + (full ? "" : " (later)") +
                  (ok ? "" : " unavailable"));
    if (full) invalidateRect(hwnd, nullptr, false);
    return ok;
}

bool fullScreenMode(HWND hwnd, int32_t* width, int32_t* height) {
    if (!isWindow(hwnd) || !width || !height) return false;
    std::lock_guard<std::mutex> g(ds().lock);
    auto it = ds().displays.find(hwnd);
    *width = it == ds().displays.end() ? 0 : it->second.modeWidth;
    *height = it == ds().displays.end() ? 0 : it->second.modeHeight;
    return true;
}

bool isFullScreen(HWND hwnd) {
    if (!isWindow(hwnd)) return false;
    std::lock_guard<std::mutex> g(ds().lock);
    auto it = ds().displays.find(hwnd);
    return it != ds().displays.end() && it->second.fullScreen;
}

bool fullScreenModeSize(int32_t* width, int32_t* height) {
    if (!width || !height) return false;
    return win::desktopSize(width, height);
}

void convertIndexedRect(const uint8_t* src, int32_t srcPitch, uint32_t* dst, int32_t dstPitchPixels,
                        int32_t width, int32_t height, const uint32_t* palette) {
    for (int32_t y = 0; y < height; y++) {
        const uint8_t* s = src + size_t(y) * size_t(srcPitch);
        uint32_t* d = dst + size_t(y) * size_t(dstPitchPixels);
        int32_t x = 0;
        // Eight lookups per step keep the loads independent; the loop is bound by the stores.
        for (; x + 8 <= width; x += 8) {
            uint64_t v;
            std::memcpy(&v, s + x, 8);
            d[x + 0] = palette[v & 0xFF];
            d[x + 1] = palette[(v >> 8) & 0xFF];
            d[x + 2] = palette[(v >> 16) & 0xFF];
            d[x + 3] = palette[(v >> 24) & 0xFF];
            d[x + 4] = palette[(v >> 32) & 0xFF];
            d[x + 5] = palette[(v >> 40) & 0xFF];
            d[x + 6] = palette[(v >> 48) & 0xFF];
            d[x + 7] = palette[v >> 56];
        }
        for (; x < width; x++) d[x] = palette[s[x]];
    }
}

bool lastPresentedFrame(HWND hwnd, PresentedFrame* out) {
    if (!out) return false;
    std::lock_guard<std::mutex> g(ds().lock);
    auto it = ds().displays.find(hwnd);
    if (it == ds().displays.end() || !it->second.bits) return false;
    const DisplayRec& d = it->second;
    out->width = d.width;
    out->height = d.height;
    out->pixels = d.picture;
    out->palette = d.palette;
    out->presents = d.presents;
    return true;
}

bool readWindowPixels(HWND hwnd, std::vector<uint32_t>* pixels, int32_t* width, int32_t* height) {
    if (!pixels || !width || !height || !isWindow(hwnd)) return false;
    if (const auto read = displayOps().readPixels) return read(hwnd, pixels, width, height);
    std::lock_guard<std::mutex> g(ds().lock);
    auto it = ds().displays.find(hwnd);
    if (it == ds().displays.end() || !it->second.bits) return false;
    const DisplayRec& d = it->second;
    pixels->resize(d.picture.size());
    convertIndexedRect(d.picture.data(), d.width, pixels->data(), d.width, d.width, d.height, d.pal32.data());
    *width = d.width;
    *height = d.height;
    return true;
}

void displayFlushPending() { displayOps().flush(false); }

}  // namespace plat
