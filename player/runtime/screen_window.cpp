// The presentation window and the SCREEN* commands that create, describe, move and close it.
#include "player/runtime/screen_window.h"

#include <cstdio>
#include <cstring>

#include "codec/audio/sound_backend.h"
#include "platform/clock.h"
#include "platform/display.h"
#include "platform/window.h"
#include "player/engine/program.h"
#include "player/engine/script.h"
#include "player/runtime/screen_draw.h"

namespace runtime {

PresentationState gScreen;
TextOutputState gTextOutput;

namespace {

void noPointer() {}
void noPointerRect(int32_t, int32_t, int32_t, int32_t) {}

// The module handle stands for the instance: its low 16 bits name the window class.
constexpr uintptr_t kInstanceHandle = 0x00400000;
constexpr plat::UINT kFullScreenHitTest = 0x5A78;
constexpr int kBlankCursorSide = 32;

}  // namespace

PointerHooks gPointerHooks = {noPointer, noPointerRect, noPointer, noPointer};

void resetTextOutput() { gTextOutput = TextOutputState{}; }

std::string presentationClassName() {
    std::string name = "RIRUV";
    uint32_t low = uint32_t(kInstanceHandle & 0xFFFF);
    for (int shift = 12; shift >= 0; shift -= 4) name += char('A' + ((low >> shift) & 0xF));
    return name;
}

int32_t backendFromFlags(uint32_t flags) {
    switch (flags & kFlagBackendBits) {
        case 22: return BACKEND_FULLSCREEN_320X240;
        case 23: return (flags & kFlagBackendAlt) ? BACKEND_FULLSCREEN_320X200 : BACKEND_FULLSCREEN_320X200_DIRECT;
        case 24: return BACKEND_DIBS;
        case 25: return BACKEND_WING;
        default: return BACKEND_AUTOMATIC;
    }
}

uint32_t applyScreenSettings(uint32_t flags, int32_t value) {
    int32_t m = value & ~int32_t(kFlagNoDirectDraw);
    if (m == 0) {
        flags = (flags & ~uint32_t(7)) | 0x18;
    } else if (m >= 1 && m <= 4) {
        flags = (flags & ~kFlagBackendBits) | uint32_t(m + 21) | kFlagBackendAlt;
    }
    if (value & int32_t(kFlagNoDirectDraw)) flags |= kFlagNoDirectDraw;
    return flags;
}

void queueKey(uint8_t code) {
    if (gScreen.keyCount >= kKeyQueueSize) return;  // a full queue drops the key
    gScreen.keyQueue[gScreen.keyCount++] = code;
}

int keyCodeForMessage(plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) {
    const bool shift = plat::getKeyState(plat::VK_SHIFT) < 0;
    const bool control = plat::getKeyState(plat::VK_CONTROL) < 0;
    const int vk = int(wParam & 0xFFFF);
    auto functionKey = [&](int key) -> int {
        if (shift) return key + 106;
        if (control) return key + 116;
        return key + 96;
    };
    switch (msg) {
        case plat::WM_CHAR: {
            // Codes are one byte: characters beyond it have no code and are not queued.
            if (wParam > 0xFF) return -1;
            if (wParam == 9 && shift) return 137;
            return int(wParam);
        }
        case plat::WM_KEYDOWN:
            if (vk >= plat::VK_PRIOR && vk <= plat::VK_DOWN) return vk + 128;
            if (vk == plat::VK_INSERT || vk == plat::VK_DELETE) return vk + 128;
            if (vk >= plat::VK_F1 && vk <= plat::VK_F10) return functionKey(vk);
            return -1;
        case plat::WM_SYSKEYDOWN:
            if (vk == plat::VK_F10 && !(lParam & plat::KF_ALTDOWN_BIT)) return functionKey(vk);
            if (vk >= plat::VK_F1 && vk <= plat::VK_F10) return vk + 126;
            return -1;
        default: return -1;
    }
}

plat::LRESULT presentationWindowProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) {
    DisplaySurface* s = gScreen.surface;
    switch (msg) {
        case plat::WM_DESTROY: plat::postQuitMessage(0); return 0;
        case plat::WM_PAINT: {
            plat::PAINTSTRUCT ps;
            uintptr_t dc = plat::beginPaint(hwnd, &ps);
            if (s && s->window == hwnd) present(s, dc, 0, 0, 0, 0, s->width, s->height);
            plat::endPaint(hwnd, &ps);
            return 0;
        }
        case plat::WM_CLOSE: queueKey(kCloseKey); return 0;
        case plat::WM_WINDOWPOSCHANGING: {
            auto* pos = reinterpret_cast<plat::WINDOWPOS*>(lParam);
            if (pos && !(pos->flags & plat::SWP_NOMOVE)) {
                // Keep the client area on a multiple of 8 pixels (rounded down, also for
                // negative positions).
                int32_t left = pos->x + gScreen.clientLeft + 3;
                pos->x = (left & ~int32_t(7)) - gScreen.clientLeft;
            }
            return 0;
        }
        case plat::WM_NCHITTEST:
        case kFullScreenHitTest:
            if (s && s->fullScreen) return 1;
            return plat::defWindowProc(hwnd, msg, wParam, lParam);
        case plat::WM_QUERYENDSESSION:
        case plat::WM_ERASEBKGND: return 1;
        case plat::WM_KEYDOWN:
        case plat::WM_CHAR:
        case plat::WM_SYSKEYDOWN: {
            int code = keyCodeForMessage(msg, wParam, lParam);
            if (code >= 0) queueKey(uint8_t(code));
            return 0;
        }
        case plat::WM_SYSCOMMAND: {
            plat::HMENU menu = plat::getSystemMenu(hwnd, false);
            if ((wParam & 0xFFF0) == plat::SC_MINIMIZE) {
                plat::enableMenuItem(menu, 0, plat::MF_BYPOSITION | plat::MF_ENABLED);
                plat::enableMenuItem(menu, 3, plat::MF_BYPOSITION | plat::MF_GRAYED);
            } else if ((wParam & 0xFFF0) == plat::SC_RESTORE) {
                plat::enableMenuItem(menu, 0, plat::MF_BYPOSITION | plat::MF_GRAYED);
                plat::enableMenuItem(menu, 3, plat::MF_BYPOSITION | plat::MF_ENABLED);
            }
            return plat::defWindowProc(hwnd, msg, wParam, lParam);
        }
        case plat::WM_LBUTTONUP: ++gScreen.leftButtonUps; return 0;
        case plat::WM_RBUTTONUP: ++gScreen.rightButtonUps; return 0;
        case plat::WM_PALETTECHANGED:
            if (plat::HWND(wParam) == hwnd) return 0;
            return s ? realizePalette(s) : 0;
        case plat::WM_QUERYNEWPALETTE: return s ? realizePalette(s) : 0;
        default: return plat::defWindowProc(hwnd, msg, wParam, lParam);
    }
}

void pumpMessages() {
    plat::MSG m;
    while (plat::peekMessage(&m, 0, 0, 0, plat::PM_REMOVE)) {
        if (m.message == plat::WM_QUIT) {
            gScreen.window = 0;
            continue;
        }
        plat::translateMessage(&m);
        plat::dispatchMessage(&m);
    }
}

uint8_t waitKey() {
    while (gScreen.keyCount == 0) {
        engine::PumpMessages();
        if (gScreen.keyCount) break;
        // Nothing can arrive for a window that is gone.
        if (!gScreen.window) return 0;
        plat::yieldThread();
    }
    uint8_t code = gScreen.keyQueue[0];
    std::memmove(gScreen.keyQueue, gScreen.keyQueue + 1, size_t(gScreen.keyCount - 1));
    --gScreen.keyCount;
    return code;
}

bool hasFocus() {
    if (!gScreen.window) return false;
    if (gScreen.surface && gScreen.surface->fullScreen) return plat::getActiveWindow() == gScreen.window;
    return plat::getFocus() == gScreen.window;
}

namespace {

int32_t centredX(int32_t displayWidth) {
    int32_t desk = plat::getSystemMetrics(plat::SM_CXSCREEN);
    return (desk - displayWidth) / 2 - gScreen.clientLeft;
}
int32_t centredY(int32_t displayHeight) {
    int32_t desk = plat::getSystemMetrics(plat::SM_CYSCREEN);
    return (desk - displayHeight) / 2 - gScreen.clientTop;
}

void placeWindow(int32_t x, int32_t y, int32_t displayWidth, int32_t displayHeight) {
    if (x == -1) x = centredX(displayWidth);
    if (y == -1) y = centredY(displayHeight);
    plat::moveWindow(gScreen.window, x, y, displayWidth + gScreen.extraWidth, displayHeight + gScreen.extraHeight,
                     true);
    plat::sendMessage(gScreen.window, plat::WM_NCPAINT, 1, 0);
    gScreen.screenWidth = displayWidth;
    gScreen.screenHeight = displayHeight;
}

bool registerPresentationClass() {
    if (gScreen.classRegistered) return true;
    if (!gScreen.blankCursor) {
        int32_t cw = plat::getSystemMetrics(plat::SM_CXCURSOR);
        int32_t ch = plat::getSystemMetrics(plat::SM_CYCURSOR);
        if (cw <= 0 || cw > 256) cw = kBlankCursorSide;
        if (ch <= 0 || ch > 256) ch = kBlankCursorSide;
        size_t planeBytes = size_t((cw + 7) / 8) * size_t(ch);
        std::string andPlane(planeBytes, char(0xFF)), xorPlane(planeBytes, char(0));
        gScreen.blankCursor = plat::createCursor(0, 0, cw, ch, reinterpret_cast<const uint8_t*>(andPlane.data()),
                                                 reinterpret_cast<const uint8_t*>(xorPlane.data()));
    }
    static std::string className;
    className = presentationClassName();
    plat::WNDCLASS wc;
    wc.lpfnWndProc = presentationWindowProc;
    wc.hInstance = kInstanceHandle;
    wc.hCursor = gScreen.blankCursor;
    wc.lpszClassName = className.c_str();
    if (!plat::registerClass(wc)) return false;
    gScreen.classRegistered = true;
    return true;
}

uint32_t creationFlags(uint32_t flags) {
    uint32_t c = uint32_t(backendFromFlags(flags));
    if (flags & kFlagNoDirectDraw) c |= kSurfaceNoDirectDraw;
    if (flags & kFlagSmooth2x) c |= kSurfaceSmooth2x;
    if (flags & kFlagInterlaced2x) c |= kSurfaceInterlaced2x;
    return c;
}

}  // namespace

bool openScreen(int32_t width, int32_t height, int32_t x, int32_t y, uint32_t flags) {
    const uint32_t surfaceFlags = creationFlags(flags);
    // The display is the buffer's size: nothing here enlarges it.
    const int32_t displayWidth = width, displayHeight = height;

    if (gScreen.window && plat::isWindow(gScreen.window)) {
        DisplaySurface* old = gScreen.surface;
        if (old && old->width >= width && old->height >= height) {
            if (!(flags & kFlagKeepContents)) clearSurface(old, 0);
            plat::updateWindow(gScreen.window);
            return true;
        }
        // The new buffer is made before the old one goes, so that a failure leaves the window
        // with the surface it had.
        DisplaySurface* fresh = createSurface(gScreen.window, surfaceFlags, width, height, displayWidth, displayHeight);
        if (!fresh) return false;
        if (old) {
            old->attached = 0;  // the window shows the new buffer already
            if (old->fullScreen && !fresh->fullScreen) plat::setFullScreen(gScreen.window, false);
            destroySurface(old);
        }
        gScreen.surface = fresh;
        if (!fresh->fullScreen) placeWindow(x, y, displayWidth, displayHeight);
        else {
            gScreen.screenWidth = fresh->width;
            gScreen.screenHeight = fresh->height;
        }
        plat::updateWindow(gScreen.window);
        return true;
    }
    gScreen.window = 0;
    if (!registerPresentationClass()) return false;

    uint32_t style = plat::WS_POPUP | plat::WS_CLIPCHILDREN | plat::WS_SYSMENU | plat::WS_MINIMIZEBOX;
    if (!(flags & kFlagNoCaption)) style |= plat::WS_CAPTION;
    if ((flags & kFlagNoCaption) && (flags & kFlagBorder)) style |= plat::WS_BORDER;
    uint32_t exStyle = 0;
    if (!(flags & kFlagNoModalFrame)) exStyle |= plat::WS_EX_DLGMODALFRAME;
    if (flags & kFlagTopmost) exStyle |= plat::WS_EX_TOPMOST;
    std::string className = presentationClassName();
    plat::HWND hwnd = plat::createWindowEx(exStyle, className.c_str(), gScreen.title.c_str(), style, 0, 0, 320, 240,
                                           engine::gProgram.hostWindow, nullptr);
    if (!hwnd) return false;
    plat::HMENU menu = plat::getSystemMenu(hwnd, false);
    for (plat::UINT item : {0u, 2u, 4u}) plat::enableMenuItem(menu, item, plat::MF_BYPOSITION | plat::MF_GRAYED);
    for (plat::UINT item : {1u, 3u}) plat::enableMenuItem(menu, item, plat::MF_BYPOSITION | plat::MF_ENABLED);

    plat::RECT client;
    plat::getClientRect(hwnd, &client);
    plat::POINT origin;
    plat::clientToScreen(hwnd, &origin);
    gScreen.extraWidth = 320 - (client.right - client.left);
    gScreen.extraHeight = 240 - (client.bottom - client.top);
    gScreen.clientLeft = origin.x;
    gScreen.clientTop = origin.y;

    gScreen.window = hwnd;
    DisplaySurface* s = createSurface(hwnd, surfaceFlags, width, height, displayWidth, displayHeight);
    if (!s) {
        gScreen.window = 0;
        plat::destroyWindow(hwnd);
        pumpMessages();  // takes the quit message of the window's destruction
        gScreen.window = 0;
        return false;
    }
    gScreen.surface = s;
    if (s->fullScreen) {
        gScreen.screenWidth = s->width;
        gScreen.screenHeight = s->height;
        return true;
    }
    placeWindow(x, y, displayWidth, displayHeight);
    plat::showWindow(hwnd, plat::SW_SHOW);
    plat::setForegroundWindow(hwnd);
    plat::setActiveWindow(hwnd);
    plat::setFocus(hwnd);
    return true;
}

void closeScreen() {
    // A quit message may have taken the handle already; the surface still knows its window.
    plat::HWND window = gScreen.window;
    if (!window && gScreen.surface) window = gScreen.surface->window;
    if (window && plat::isWindow(window)) {
        plat::destroyWindow(window);
        pumpMessages();
    }
    gScreen.window = 0;
    destroySurface(gScreen.surface);
    gScreen.surface = nullptr;
    if (gScreen.classRegistered) {
        plat::unregisterClass(presentationClassName().c_str());
        gScreen.classRegistered = false;
    }
    // The class was the cursor's only user; the next window's class makes a new one.
    if (gScreen.blankCursor) {
        plat::destroyCursor(gScreen.blankCursor);
        gScreen.blankCursor = 0;
    }
    gScreen.screenWidth = gScreen.screenHeight = 0;
}

void changeDisplayMode(int32_t width, int32_t height) {
    plat::HWND window = gScreen.window;
    if (!window || !plat::isWindow(window)) return;
    // Giving the desktop its own mode back is always safe; a mode of another size only ever
    // applies to a presentation that covers the screen.
    if (width == 0 && height == 0) {
        plat::setFullScreenMode(window, 0, 0);
        return;
    }
    if (!plat::isFullScreen(window)) return;
    plat::setFullScreenMode(window, width, height);
}

void restoreDisplayMode() { changeDisplayMode(0, 0); }

void requireWindow() {
    if (!gScreen.window || !gScreen.surface)
        engine::ScriptError("  A window hasn't been created yet (use ScreenGraphics first).\r\n", nullptr, nullptr);
}

void resetPresentationForTest() {
    closeScreen();
    gScreen = PresentationState{};
    resetTextOutput();
    resetDrawState();
}

// ---- commands -------------------------------------------------------------------------------

namespace {

using engine::kLineSize;

void cmdScreenGraphics() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    int32_t width = engine::fetchNumber();
    int32_t height = engine::fetchNumber();
    if (engine::gProgram.mousePresent && gScreen.window) gPointerHooks.takeOff();
    if (width == 0 || height == 0) engine::CommandError("  Zero dimension in command:\r\n    ");
    if (!openScreen(width, height, gScreen.positionX, gScreen.positionY, gScreen.screenFlags)) {
        engine::SetVariableNumber(var, 0);
        return;
    }
    if (torvex::TorvexSoundIsDirectSound()) torvex::TorvexSoundWindow(gScreen.window);
    gPointerHooks.newScreen();
    uint8_t palette[256 * 3];
    buildDefaultPalette(palette);
    applyPalette(palette);
    setPalette(gScreen.surface, gDraw.screenPalette);
    ++gDraw.paletteGeneration;
    gTextOutput.colour = 7;
    gTextOutput.backColour = 0;
    gTextOutput.transColour = 128;
    gPointerHooks.forgetBackground();
    gDraw.originX = (gScreen.screenWidth - width) / 2;
    gDraw.originY = (gScreen.screenHeight - height) / 2;
    gTextOutput.x = gDraw.originX;
    gTextOutput.y = gDraw.originY;
    engine::SetVariableNumber(var, 1);
}

void cmdScreenSettings() {
    int32_t v = engine::fetchNumber();
    gScreen.screenFlags = applyScreenSettings(gScreen.screenFlags, v);
}

void cmdScreenInfo() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    char text[128];
    text[0] = 0;
    if (gScreen.window && gScreen.surface) describe(gScreen.surface, text);
    engine::SetVariable(var, text);
}

void cmdScreenText() {
    closeScreen();
    resetTextOutput();
    gPointerHooks.forgetBackground();
    gDraw.originX = gDraw.originY = 0;
}

void cmdScreenWidth() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, gScreen.window ? gScreen.screenWidth : 80);
}

void cmdScreenHeight() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, gScreen.window ? gScreen.screenHeight : 25);
}

void cmdScreenWindowAutoPause() { gScreen.autoPause = engine::fetchNumber() != 0; }

void cmdScreenWindowBorder() {
    int32_t n = engine::fetchNumber();
    gScreen.screenFlags &= ~uint32_t(0xC000);
    if (n == 1) gScreen.screenFlags |= 0xC000;
    else if (n == 2) gScreen.screenFlags |= 0x4200;
}

void cmdScreenWindowHasFocus() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, hasFocus() ? 1 : 0);
}

void cmdScreenWindowHPal() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    requireWindow();
    char text[32];
    std::snprintf(text, sizeof text, "%llu", (unsigned long long)gScreen.surface->hPalette);
    engine::SetVariable(var, text);
}

void cmdScreenWindowHwnd() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    char text[32];
    std::snprintf(text, sizeof text, "%llu", (unsigned long long)gScreen.window);
    engine::SetVariable(var, text);
}

void cmdScreenWindowPos() {
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    gScreen.positionX = x;
    gScreen.positionY = y;
    if (!gScreen.window) return;
    // A negative coordinate cannot be a place on the desktop here: it centres the window on
    // that axis at once, as the stored -1 does at the next creation.
    if (x < 0) x = centredX(gScreen.screenWidth);
    if (y < 0) y = centredY(gScreen.screenHeight);
    plat::setWindowPos(gScreen.window, 0, x, y, 0, 0, plat::SWP_NOSIZE | plat::SWP_NOZORDER | plat::SWP_NOACTIVATE);
}

void cmdScreenWindowTitle() {
    char text[kLineSize];
    engine::fetchAny(text);
    gScreen.title = text;
    if (gScreen.window) {
        plat::setWindowText(gScreen.window, text);
    } else if (text[0] == 0) {
        gScreen.screenFlags |= kFlagNoCaption;
    } else {
        gScreen.screenFlags &= ~kFlagNoCaption;
    }
}

}  // namespace

void registerWindowCommands() {
    engine::registerCommand(engine::CommandOwner::Window, "SCREENGRAPHICS", cmdScreenGraphics);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENSETTINGS", cmdScreenSettings);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENINFO", cmdScreenInfo);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENTEXT", cmdScreenText);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENWIDTH", cmdScreenWidth);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENHEIGHT", cmdScreenHeight);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENWINDOWAUTOPAUSE", cmdScreenWindowAutoPause);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENWINDOWBORDER", cmdScreenWindowBorder);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENWINDOWHASFOCUS", cmdScreenWindowHasFocus);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENWINDOWHPAL", cmdScreenWindowHPal);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENWINDOWHWND", cmdScreenWindowHwnd);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENWINDOWPOS", cmdScreenWindowPos);
    engine::registerCommand(engine::CommandOwner::Window, "SCREENWINDOWTITLE", cmdScreenWindowTitle);
}

}  // namespace runtime
