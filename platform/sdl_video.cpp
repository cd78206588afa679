// The SDL2 rows of the window and display back-ends: one SDL window, renderer and streaming
// texture per window.
#include "platform/sdl_video.h"

#include <SDL.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/display_backend.h"
#include "platform/window_backend.h"

namespace plat::sdlv {

bool desktopSize(int32_t* width, int32_t* height);

namespace {

struct SdlWindow {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    int32_t bufW = 0, bufH = 0;   // texture size
    int32_t logW = 0, logH = 0;   // client size the window was given
    int32_t logX = 0, logY = 0;   // client origin the window was given
    int32_t scale = 1;            // the real window is logW x logH times this
    int32_t offX = 0, offY = 0;   // client origin minus the real window's origin
    std::string pendingTitle;     // set from another thread, applied at the next pump
    bool titlePending = false;
    std::vector<uint32_t> shadow;  // converted picture, bufW per row
    bool dirty = true;
    bool reupload = false;  // the renderer may have dropped the texture's contents
    uint32_t lastFlush = 0;
};

struct SdlState {
    std::recursive_mutex lock;
    int started = -1;  // -1 not tried, 0 failed, 1 running
    bool textInput = false;
    std::thread::id videoThread;  // SDL's events are collected on the thread that started it
    std::map<HWND, SdlWindow> windows;
};
SdlState& st() {
    static SdlState* s = new SdlState;
    return *s;
}
using Lock = std::lock_guard<std::recursive_mutex>;

HWND byWindowId(uint32_t id) {
    Lock l(st().lock);
    for (auto& [h, w] : st().windows)
        if (w.window && SDL_GetWindowID(w.window) == id) return h;
    return 0;
}

void draw(SdlWindow& w) {
    if (w.reupload && w.texture && !w.shadow.empty()) SDL_UpdateTexture(w.texture, nullptr, w.shadow.data(), w.bufW * 4);
    w.reupload = false;
    SDL_SetRenderDrawColor(w.renderer, 0, 0, 0, 255);
    SDL_RenderClear(w.renderer);
    if (w.texture) {
        int ow = 0, oh = 0;
        SDL_GetRendererOutputSize(w.renderer, &ow, &oh);
        Placement p = placeBuffer(ow, oh, w.bufW, w.bufH);
        SDL_Rect dst{p.x, p.y, p.w, p.h};
        SDL_RenderCopy(w.renderer, w.texture, nullptr, &dst);
    }
}

void render(SdlWindow& w) {
    if (!w.renderer) return;
    draw(w);
    SDL_RenderPresent(w.renderer);
    w.dirty = false;
    w.lastFlush = SDL_GetTicks();
}

// Window coordinates (as in mouse events) to buffer coordinates.
bool toBuffer(HWND h, int32_t mx, int32_t my, int32_t* bx, int32_t* by) {
    Lock l(st().lock);
    auto it = st().windows.find(h);
    if (it == st().windows.end() || !it->second.window) return false;
    SdlWindow& w = it->second;
    int ww = 0, wh = 0;
    SDL_GetWindowSize(w.window, &ww, &wh);
    int32_t bw = w.texture ? w.bufW : w.logW, bh = w.texture ? w.bufH : w.logH;
    if (bw <= 0 || bh <= 0) return false;
    Placement p = placeBuffer(ww, wh, bw, bh);
    if (p.w <= 0 || p.h <= 0) return false;
    int64_t dx = int64_t(mx) - p.x, dy = int64_t(my) - p.y;
    // Floor division, so points in the left or top bar come out negative.
    *bx = int32_t(dx >= 0 ? dx * bw / p.w : -((-dx * bw + p.w - 1) / p.w));
    *by = int32_t(dy >= 0 ? dy * bh / p.h : -((-dy * bh + p.h - 1) / p.h));
    return true;
}

int mapKey(SDL_Keycode k, bool* extended) {
    *extended = false;
    if (k >= SDLK_a && k <= SDLK_z) return 'A' + int(k - SDLK_a);
    if (k >= SDLK_0 && k <= SDLK_9) return '0' + int(k - SDLK_0);
    if (k >= SDLK_F1 && k <= SDLK_F12) return VK_F1 + int(k - SDLK_F1);
    if (k >= SDLK_KP_1 && k <= SDLK_KP_9) return VK_NUMPAD0 + 1 + int(k - SDLK_KP_1);
    switch (k) {
        case SDLK_BACKSPACE: return VK_BACK;
        case SDLK_TAB: return VK_TAB;
        case SDLK_RETURN: return VK_RETURN;
        case SDLK_KP_ENTER: *extended = true; return VK_RETURN;
        case SDLK_ESCAPE: return VK_ESCAPE;
        case SDLK_SPACE: return VK_SPACE;
        case SDLK_PAGEUP: *extended = true; return VK_PRIOR;
        case SDLK_PAGEDOWN: *extended = true; return VK_NEXT;
        case SDLK_END: *extended = true; return VK_END;
        case SDLK_HOME: *extended = true; return VK_HOME;
        case SDLK_LEFT: *extended = true; return VK_LEFT;
        case SDLK_UP: *extended = true; return VK_UP;
        case SDLK_RIGHT: *extended = true; return VK_RIGHT;
        case SDLK_DOWN: *extended = true; return VK_DOWN;
        case SDLK_INSERT: *extended = true; return VK_INSERT;
        case SDLK_DELETE: *extended = true; return VK_DELETE;
        case SDLK_LSHIFT: case SDLK_RSHIFT: return VK_SHIFT;
        case SDLK_LCTRL: case SDLK_RCTRL: return VK_CONTROL;
        case SDLK_LALT: case SDLK_RALT: return VK_MENU;
        case SDLK_PAUSE: return VK_PAUSE;
        case SDLK_CAPSLOCK: return VK_CAPITAL;
        case SDLK_KP_0: return VK_NUMPAD0;
        case SDLK_KP_MULTIPLY: return VK_MULTIPLY;
        case SDLK_KP_PLUS: return VK_ADD;
        case SDLK_KP_MINUS: return VK_SUBTRACT;
        case SDLK_KP_PERIOD: return VK_DECIMAL;
        case SDLK_KP_DIVIDE: return VK_DIVIDE;
        case SDLK_MINUS: return 0xBD;
        case SDLK_EQUALS: return 0xBB;
        case SDLK_COMMA: return 0xBC;
        case SDLK_PERIOD: return 0xBE;
        case SDLK_SLASH: return 0xBF;
        case SDLK_SEMICOLON: return 0xBA;
        case SDLK_QUOTE: return 0xDE;
        case SDLK_LEFTBRACKET: return 0xDB;
        case SDLK_RIGHTBRACKET: return 0xDD;
        case SDLK_BACKSLASH: return 0xDC;
        case SDLK_BACKQUOTE: return 0xC0;
        default: return 0;
    }
}

void textToChars(HWND h, const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        uint32_t c = 0;
        int n = 0;
        if (*p < 0x80) {
            c = *p;
            n = 1;
        } else if ((*p & 0xE0) == 0xC0 && (p[1] & 0xC0) == 0x80) {
            c = ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
            n = 2;
        } else {
            n = 1;
            while ((p[n] & 0xC0) == 0x80) n++;
            c = 0;  // beyond the single-byte character set: not delivered
        }
        // Single-byte characters only: key tables take WM_CHAR as one byte.
        if (c && c <= 0xFF) win::deliverChar(h, c, false);
        p += n;
    }
}

// Gives the real window its size and place for the client rectangle: scale times larger, with
// the same centre, kept on the desktop's top-left side.
void applyGeometry(SdlWindow& w) {
    int64_t rw = int64_t(std::max(1, w.logW)) * w.scale, rh = int64_t(std::max(1, w.logH)) * w.scale;
    int64_t x = w.logX - (rw - w.logW) / 2, y = w.logY - (rh - w.logH) / 2;
    if (w.scale > 1) {
        x = std::max<int64_t>(x, 0);
        y = std::max<int64_t>(y, 0);
    }
    w.offX = int32_t(w.logX - x);
    w.offY = int32_t(w.logY - y);
    SDL_SetWindowPosition(w.window, int(x), int(y));
    int cw = 0, ch = 0;
    SDL_GetWindowSize(w.window, &cw, &ch);
    if (cw != rw || ch != rh) SDL_SetWindowSize(w.window, int(rw), int(rh));
    w.dirty = true;
}

}  // namespace

int32_t chooseScale(int32_t pictureW, int32_t pictureH, int32_t desktopW, int32_t desktopH, const char* wanted) {
    if (pictureW <= 0 || pictureH <= 0) return 1;
    // Never larger than the largest window the display service accepts.
    int32_t most = std::max(1, std::min(16384 / pictureW, 16384 / pictureH));
    if (wanted && *wanted) {
        char* end = nullptr;
        long n = std::strtol(wanted, &end, 10);
        if (end && *end == 0 && n >= 1) return int32_t(std::min<long>(n, most));
    }
    int64_t fitW = int64_t(desktopW) * 3 / 4 / pictureW, fitH = int64_t(desktopH) * 3 / 4 / pictureH;
    return int32_t(std::clamp<int64_t>(std::min(fitW, fitH), 1, most));
}

Placement placeBuffer(int32_t windowW, int32_t windowH, int32_t bufferW, int32_t bufferH) {
    Placement p;
    if (windowW <= 0 || windowH <= 0 || bufferW <= 0 || bufferH <= 0) return p;
    int32_t s = std::min(windowW / bufferW, windowH / bufferH);
    if (s >= 1) {
        p.w = bufferW * s;
        p.h = bufferH * s;
    } else {
        // A window smaller than the buffer: shrink to fit, keeping the aspect ratio.
        if (int64_t(windowW) * bufferH <= int64_t(windowH) * bufferW) {
            p.w = windowW;
            p.h = std::max<int32_t>(1, int32_t(int64_t(bufferH) * windowW / bufferW));
        } else {
            p.h = windowH;
            p.w = std::max<int32_t>(1, int32_t(int64_t(bufferW) * windowH / bufferH));
        }
    }
    p.x = (windowW - p.w) / 2;
    p.y = (windowH - p.h) / 2;
    return p;
}

bool init() {
    Lock l(st().lock);
    if (st().started >= 0) return st().started == 1;
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "0");
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    st().started = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0 ? 1 : 0;
    st().videoThread = std::this_thread::get_id();
    return st().started == 1;
}

bool available() {
    Lock l(st().lock);
    return st().started == 1;
}

bool createWindow(HWND id, const char* title, int32_t clientX, int32_t clientY, int32_t width, int32_t height,
                  bool caption, bool topmost) {
    if (!init()) return false;
    Uint32 flags = SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE;
    if (!caption) flags |= SDL_WINDOW_BORDERLESS;
    if (topmost) flags |= SDL_WINDOW_ALWAYS_ON_TOP;
    SDL_Window* win = SDL_CreateWindow(title, clientX, clientY, std::max(1, width), std::max(1, height), flags);
    if (!win) return false;
    SDL_Renderer* r = SDL_CreateRenderer(win, -1, 0);
    if (!r) r = SDL_CreateRenderer(win, -1, SDL_RENDERER_SOFTWARE);
    if (!r) {
        SDL_DestroyWindow(win);
        return false;
    }
    Lock l(st().lock);
    SdlWindow& w = st().windows[id];
    w.window = win;
    w.renderer = r;
    w.logW = width;
    w.logH = height;
    w.logX = clientX;
    w.logY = clientY;
    if (!st().textInput) {
        SDL_StartTextInput();
        st().textInput = true;
    }
    return true;
}

void destroyWindow(HWND id) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it == st().windows.end()) return;
    if (it->second.texture) SDL_DestroyTexture(it->second.texture);
    if (it->second.renderer) SDL_DestroyRenderer(it->second.renderer);
    if (it->second.window) SDL_DestroyWindow(it->second.window);
    st().windows.erase(it);
}

void setTitle(HWND id, const char* title) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it == st().windows.end()) return;
    // SDL's windows are changed on its own thread; a title from another thread (a worker
    // announcing its end) waits for the next pump.
    if (st().videoThread == std::this_thread::get_id()) {
        SDL_SetWindowTitle(it->second.window, title);
        it->second.titlePending = false;
    } else
    {
        it->second.pendingTitle = title ? title : "";
        it->second.titlePending = true;
    }
}

void setGeometry(HWND id, int32_t clientX, int32_t clientY, int32_t width, int32_t height) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it == st().windows.end()) return;
    SdlWindow& w = it->second;
    if (SDL_GetWindowFlags(w.window) & SDL_WINDOW_FULLSCREEN) {
        w.logW = width;
        w.logH = height;
        w.logX = clientX;
        w.logY = clientY;
        return;
    }
    w.logW = width;
    w.logH = height;
    w.logX = clientX;
    w.logY = clientY;
    applyGeometry(w);
}

void show(HWND id, bool visible, bool minimized) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it == st().windows.end()) return;
    SdlWindow& w = it->second;
    if (!visible) {
        SDL_HideWindow(w.window);
        return;
    }
    SDL_ShowWindow(w.window);
    bool isMin = SDL_GetWindowFlags(w.window) & SDL_WINDOW_MINIMIZED;
    if (minimized && !isMin) SDL_MinimizeWindow(w.window);
    if (!minimized && isMin) SDL_RestoreWindow(w.window);
    w.dirty = true;
}

void raise(HWND id) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it != st().windows.end() && (SDL_GetWindowFlags(it->second.window) & SDL_WINDOW_SHOWN))
        SDL_RaiseWindow(it->second.window);
}

void setTopmost(HWND id, bool topmost) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it != st().windows.end()) SDL_SetWindowAlwaysOnTop(it->second.window, topmost ? SDL_TRUE : SDL_FALSE);
}

bool setBufferSize(HWND id, int32_t width, int32_t height, bool scaleToDesktop) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it == st().windows.end()) return false;
    SdlWindow& w = it->second;
    if (width > 0 && height > 0) {
        int32_t s = 1;
        if (scaleToDesktop) {
            int32_t dw = 1920, dh = 1080;
            desktopSize(&dw, &dh);
            s = chooseScale(width, height, dw, dh, std::getenv("TORVEX_SCALE"));
        }
        if (s != w.scale) {
            w.scale = s;
            if (!(SDL_GetWindowFlags(w.window) & SDL_WINDOW_FULLSCREEN)) applyGeometry(w);
        }
    }
    if (w.texture && (w.bufW != width || w.bufH != height || width <= 0)) {
        SDL_DestroyTexture(w.texture);
        w.texture = nullptr;
    }
    w.bufW = std::max(0, width);
    w.bufH = std::max(0, height);
    w.dirty = true;
    if (width <= 0 || height <= 0) {
        w.shadow.clear();
        return true;
    }
    if (!w.texture)
        w.texture = SDL_CreateTexture(w.renderer, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, width, height);
    if (!w.texture) return false;
    w.shadow.assign(size_t(width) * size_t(height), 0);
    SDL_UpdateTexture(w.texture, nullptr, w.shadow.data(), width * 4);
    return true;
}

void updateRect(HWND id, const uint8_t* pixels, int32_t pitch, int32_t x, int32_t y, int32_t w, int32_t h,
                const uint32_t* palette) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it == st().windows.end() || !it->second.texture) return;
    SdlWindow& sw = it->second;
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || x + w > sw.bufW || y + h > sw.bufH) return;
    uint32_t* dst = sw.shadow.data() + size_t(y) * size_t(sw.bufW) + size_t(x);
    convertIndexedRect(pixels + size_t(y) * size_t(pitch) + size_t(x), pitch, dst, sw.bufW, w, h, palette);
    SDL_Rect r{x, y, w, h};
    SDL_UpdateTexture(sw.texture, &r, dst, sw.bufW * 4);
    sw.dirty = true;
}

void flush(bool force) {
    Lock l(st().lock);
    uint32_t now = SDL_GetTicks();
    for (auto& [h, w] : st().windows) {
        if (!w.dirty) continue;
        // Each drawing command presents its rectangle; showing the screen at most every 8 ms
        // keeps long runs of small presents cheap without visible delay.
        if (!force && now - w.lastFlush < 8) continue;
        render(w);
    }
}

bool setFullScreen(HWND id, bool on, int32_t modeWidth, int32_t modeHeight, bool* modeTaken) {
    if (modeTaken) *modeTaken = false;
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it == st().windows.end()) return false;
    SDL_Window* win = it->second.window;
    Uint32 flags = on ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0;
    bool taken = false;
    if (on && modeWidth > 0 && modeHeight > 0) {
        SDL_DisplayMode want{};
        want.w = modeWidth;
        want.h = modeHeight;
        SDL_DisplayMode closest{};
        int display = SDL_GetWindowDisplayIndex(win);
        // A mode of its own needs real full screen; the desktop kind always keeps the
        // desktop's mode.
        if (display >= 0 && SDL_GetClosestDisplayMode(display, &want, &closest) &&
            SDL_SetWindowDisplayMode(win, &closest) == 0) {
            flags = SDL_WINDOW_FULLSCREEN;
            taken = true;
        }
    }
    bool ok = SDL_SetWindowFullscreen(win, flags) == 0;
    if (!ok && taken) {
        taken = false;
        ok = SDL_SetWindowFullscreen(win, SDL_WINDOW_FULLSCREEN_DESKTOP) == 0;
    }
    it->second.dirty = it->second.reupload = true;
    if (modeTaken) *modeTaken = ok && taken;
    return ok;
}

bool isFullScreen(HWND id) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    // SDL_WINDOW_FULLSCREEN is part of both kinds of full screen.
    return it != st().windows.end() && (SDL_GetWindowFlags(it->second.window) & SDL_WINDOW_FULLSCREEN);
}

bool desktopSize(int32_t* width, int32_t* height) {
    if (!init()) return false;
    SDL_DisplayMode m;
    if (SDL_GetDesktopDisplayMode(0, &m) != 0) return false;
    *width = m.w;
    *height = m.h;
    return true;
}

void warpMouse(HWND id, int32_t x, int32_t y) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it == st().windows.end()) return;
    SdlWindow& w = it->second;
    int ww = 0, wh = 0;
    SDL_GetWindowSize(w.window, &ww, &wh);
    int32_t bw = w.texture ? w.bufW : w.logW, bh = w.texture ? w.bufH : w.logH;
    if (bw <= 0 || bh <= 0) return;
    Placement p = placeBuffer(ww, wh, bw, bh);
    // The centre of the scaled pixel, so that mapping back gives the same buffer point.
    int32_t mx = p.x + int32_t((int64_t(x) * p.w + p.w / 2) / bw);
    int32_t my = p.y + int32_t((int64_t(y) * p.h + p.h / 2) / bh);
    SDL_WarpMouseInWindow(w.window, mx, my);
}

void* nativeWindow(HWND id) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    return it == st().windows.end() ? nullptr : it->second.window;
}

bool pushTestKey(HWND id, const char* keyName, int mods, bool down) {
    SDL_Keycode k = SDL_GetKeyFromName(keyName);
    Uint32 wid;
    {
        Lock l(st().lock);
        auto it = st().windows.find(id);
        if (k == SDLK_UNKNOWN || it == st().windows.end()) return false;
        wid = SDL_GetWindowID(it->second.window);
    }
    SDL_Event e{};
    e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
    e.key.windowID = wid;
    e.key.state = down ? SDL_PRESSED : SDL_RELEASED;
    e.key.keysym.sym = k;
    e.key.keysym.scancode = SDL_GetScancodeFromKey(k);
    e.key.keysym.mod = Uint16(((mods & 1) ? KMOD_LSHIFT : 0) | ((mods & 2) ? KMOD_LCTRL : 0) | ((mods & 4) ? KMOD_LALT : 0));
    return SDL_PushEvent(&e) == 1;
}

bool pushTestText(HWND id, const char* utf8) {
    Uint32 wid;
    {
        Lock l(st().lock);
        auto it = st().windows.find(id);
        if (it == st().windows.end()) return false;
        wid = SDL_GetWindowID(it->second.window);
    }
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    e.text.windowID = wid;
    SDL_strlcpy(e.text.text, utf8, sizeof e.text.text);
    return SDL_PushEvent(&e) == 1;
}

void resizeDrawable(HWND id, int32_t width, int32_t height) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it == st().windows.end()) return;
    SDL_SetWindowSize(it->second.window, std::max(1, width), std::max(1, height));
    it->second.dirty = true;
}

bool readPixels(HWND id, std::vector<uint32_t>* pixels, int32_t* width, int32_t* height) {
    Lock l(st().lock);
    auto it = st().windows.find(id);
    if (it == st().windows.end() || !it->second.renderer) return false;
    SdlWindow& w = it->second;
    int ow = 0, oh = 0;
    SDL_GetRendererOutputSize(w.renderer, &ow, &oh);
    if (ow <= 0 || oh <= 0) return false;
    // Some GL drivers read back a stale drawable until a frame of the new size was shown.
    draw(w);
    SDL_RenderPresent(w.renderer);
    draw(w);
    pixels->assign(size_t(ow) * size_t(oh), 0);
    bool ok = SDL_RenderReadPixels(w.renderer, nullptr, SDL_PIXELFORMAT_RGB888, pixels->data(), ow * 4) == 0;
    SDL_RenderPresent(w.renderer);
    w.dirty = false;
    *width = ow;
    *height = oh;
    return ok;
}

void showCursor(bool visible) { SDL_ShowCursor(visible ? SDL_ENABLE : SDL_DISABLE); }

void pump() {
    {
        Lock l(st().lock);
        if (st().started != 1 || st().videoThread != std::this_thread::get_id()) return;
        for (auto& [h, w] : st().windows)
            if (w.titlePending) {
                SDL_SetWindowTitle(w.window, w.pendingTitle.c_str());
                w.titlePending = false;
            }
    }
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        switch (e.type) {
            case SDL_WINDOWEVENT: {
                HWND h = byWindowId(e.window.windowID);
                if (!h) break;
                switch (e.window.event) {
                    case SDL_WINDOWEVENT_CLOSE: win::deliverClose(h); break;
                    case SDL_WINDOWEVENT_FOCUS_GAINED: win::deliverActivation(h, true); break;
                    case SDL_WINDOWEVENT_FOCUS_LOST: win::deliverActivation(h, false); break;
                    case SDL_WINDOWEVENT_EXPOSED:
                    case SDL_WINDOWEVENT_SIZE_CHANGED:
                    case SDL_WINDOWEVENT_RESTORED: {
                        {
                            Lock l(st().lock);
                            auto it = st().windows.find(h);
                            if (it != st().windows.end()) it->second.dirty = it->second.reupload = true;
                        }
                        if (e.window.event == SDL_WINDOWEVENT_EXPOSED) win::deliverExpose(h);
                        if (e.window.event == SDL_WINDOWEVENT_RESTORED) win::deliverMinimized(h, false);
                        break;
                    }
                    case SDL_WINDOWEVENT_MINIMIZED:
                        win::deliverMinimized(h, true);
                        break;
                    case SDL_WINDOWEVENT_ENTER:
                        if (win::hidesPointer(h)) SDL_ShowCursor(SDL_DISABLE);
                        break;
                    case SDL_WINDOWEVENT_LEAVE:
                        SDL_ShowCursor(win::cursorDisplayCount() >= 0 ? SDL_ENABLE : SDL_DISABLE);
                        break;
                    case SDL_WINDOWEVENT_MOVED: {
                        if (isFullScreen(h)) break;
                        int32_t ox = 0, oy = 0;
                        {
                            Lock l(st().lock);
                            auto it = st().windows.find(h);
                            if (it == st().windows.end()) break;
                            // The service keeps the client origin of the unscaled window.
                            ox = it->second.offX;
                            oy = it->second.offY;
                            it->second.logX = e.window.data1 + ox;
                            it->second.logY = e.window.data2 + oy;
                        }
                        win::deliverMovedBySystem(h, e.window.data1 + ox, e.window.data2 + oy);
                        break;
                    }
                    default: break;
                }
                break;
            }
            case SDL_KEYDOWN:
            case SDL_KEYUP: {
                HWND h = byWindowId(e.key.windowID);
                if (!h) h = win::inputTarget();
                if (!h) break;
                bool down = e.type == SDL_KEYDOWN;
                bool ext = false;
                int vk = mapKey(e.key.keysym.sym, &ext);
                if (!vk) break;
                Uint16 m = e.key.keysym.mod;
                win::KeyMods mods{(m & KMOD_SHIFT) != 0, (m & KMOD_CTRL) != 0, (m & KMOD_ALT) != 0};
                // A modifier key's own event reports the state after it.
                if (vk == VK_SHIFT) mods.shift = down;
                if (vk == VK_CONTROL) mods.ctrl = down;
                if (vk == VK_MENU) mods.alt = down;
                if (vk == VK_RETURN && mods.alt && !mods.ctrl) {
                    if (down && !e.key.repeat) win::deliverFullScreenToggle(h);
                    break;
                }
                win::deliverKey(h, vk, down, mods, e.key.repeat != 0, ext);
                if (down && !mods.alt) {
                    // Control characters do not come as text input.
                    uint32_t c = 0;
                    if (vk == VK_RETURN || vk == VK_TAB || vk == VK_ESCAPE || vk == VK_BACK) c = uint32_t(vk == VK_RETURN ? 13 : vk);
                    else if (mods.ctrl && vk >= 'A' && vk <= 'Z') c = uint32_t(vk - 'A' + 1);
                    if (c) win::deliverChar(h, c, false);
                }
                break;
            }
            case SDL_TEXTINPUT: {
                HWND h = byWindowId(e.text.windowID);
                if (!h) h = win::inputTarget();
                win::KeyMods mods = win::currentMods();
                if (h && !mods.alt && !mods.ctrl) textToChars(h, e.text.text);
                break;
            }
            case SDL_MOUSEMOTION: {
                HWND h = byWindowId(e.motion.windowID);
                int32_t bx, by;
                if (h && toBuffer(h, e.motion.x, e.motion.y, &bx, &by)) win::deliverMouseMove(h, bx, by);
                break;
            }
            case SDL_MOUSEBUTTONDOWN:
            case SDL_MOUSEBUTTONUP: {
                HWND h = byWindowId(e.button.windowID);
                int button = e.button.button == SDL_BUTTON_LEFT ? 0 : e.button.button == SDL_BUTTON_RIGHT ? 1 : -1;
                int32_t bx, by;
                if (h && button >= 0 && toBuffer(h, e.button.x, e.button.y, &bx, &by))
                    win::deliverButton(h, button, e.type == SDL_MOUSEBUTTONDOWN, bx, by);
                break;
            }
            case SDL_RENDER_TARGETS_RESET:
            case SDL_RENDER_DEVICE_RESET: {
                Lock l(st().lock);
                for (auto& [id, w] : st().windows) w.dirty = w.reupload = true;
                break;
            }
            default: break;
        }
    }
    flush(false);
}

}  // namespace plat::sdlv

namespace plat {

const WindowBackendOps kSdlWindowOps{
    "sdl",           sdlv::init,      sdlv::createWindow, sdlv::destroyWindow, sdlv::setTitle,
    sdlv::setGeometry, sdlv::show,    sdlv::raise,        sdlv::setTopmost,    sdlv::warpMouse,
    sdlv::showCursor, sdlv::desktopSize, sdlv::pump,      sdlv::nativeWindow,  2};

const DisplayBackendOps kSdlDisplayOps{"sdl", sdlv::setBufferSize, sdlv::updateRect, sdlv::flush,
                                       sdlv::setFullScreen, sdlv::readPixels};

}  // namespace plat
