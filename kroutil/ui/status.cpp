// The status window: a platform window with a panel (status line, detail line, Cancel button),
// its questions and boxes, and the closing summary to the owner.
#include "kroutil/status.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "kroutil/kro_file.h"
#include "platform/dialog.h"
#include "platform/fs.h"
#include "platform/input.h"
#include "platform/panel.h"
#include "platform/window.h"

namespace {

using namespace plat;

constexpr size_t kTextSize = 1024;  // the status and detail buffers (1023 characters and the end)
constexpr int32_t kCancelId = IDCANCEL;
constexpr int32_t kStatusLabel = 100, kDetailLabel = 101;
constexpr UINT kOwnerRestored = 0x900;
constexpr uintptr_t kSummaryTag = 0x1234;

struct StatusState {
    uintptr_t instance = 0;
    HWND owner = 0;
    bool noWait = false;
    HWND window = 0;
    bool button = false;
    KroCancelProc cancel = nullptr;
    int cancelled = 0;
    uint8_t requests = 0;  // the cancel request counter, a byte that wraps
    char status[kTextSize] = {};
    char detail[kTextSize] = {};
    RECT client;
    char className[16] = {};
    bool registered = false;
};
StatusState gStatus;

// Copies a text into a buffer, cut to fit (null counts as "").
void copyCut(char* dst, size_t size, const char* src) {
    size_t n = src ? strnlen(src, size - 1) : 0;
    if (n) std::memcpy(dst, src, n);
    dst[n] = 0;
}

void appendCut(char* dst, size_t size, const char* tail) {
    size_t have = strnlen(dst, size - 1);
    copyCut(dst + have, size - have, tail);
}

bool windowAlive() { return gStatus.window && isWindow(gStatus.window); }
bool windowVisible() { return windowAlive() && isWindowVisible(gStatus.window); }

std::string titleOf(size_t most) {
    if (!windowAlive()) return std::string();
    std::string t = getWindowText(gStatus.window);
    if (t.size() > most) t.resize(most);
    return t;
}

// Owner of boxes: the visible status window, else the caller's window.
HWND boxOwner() { return windowVisible() ? gStatus.window : gStatus.owner; }

void focusButton() {
    if (windowAlive() && gStatus.button) {
        setFocus(gStatus.window);
        panelFocusItem(gStatus.window, kCancelId);
    }
}

void destroyButtonAndWindow() {
    if (gStatus.button && windowAlive()) panelRemoveItem(gStatus.window, kCancelId);
    gStatus.button = false;
    if (windowAlive()) destroyWindow(gStatus.window);
}

void layOut(HWND h) {
    RECT c{};
    getClientRect(h, &c);
    gStatus.client = c;
    // Texts are centred on their baselines; the font's baseline is 12 of its 16 rows.
    PanelItem status;
    status.id = kStatusLabel;
    status.x = 0;
    status.width = c.right;
    status.y = c.bottom * 8 / 27 - 12;
    status.height = 16;
    status.centred = true;
    panelAddItem(h, status);
    PanelItem detail = status;
    detail.id = kDetailLabel;
    detail.y = c.bottom * 11 / 12 - 12;
    panelAddItem(h, detail);
}

void paint(HWND h) {
    PAINTSTRUCT ps;
    beginPaint(h, &ps);
    panelSetItemText(h, kStatusLabel, gStatus.status);
    panelSetItemText(h, kDetailLabel, gStatus.detail);
    panelPaint(h);
    endPaint(h, &ps);
}

LRESULT statusProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_DESTROY: postQuitMessage(0); return 0;
        case WM_SETFOCUS:
            if (gStatus.button) panelFocusItem(h, kCancelId);
            return 0;
        case WM_PAINT: paint(h); return 0;
        case WM_CLOSE:
            if (StatusDoCancel()) {
                if (gStatus.button) panelRemoveItem(h, kCancelId);
                gStatus.button = false;
                destroyWindow(h);
            }
            return 0;
        case WM_QUERYENDSESSION: return StatusDoCancel();
        case WM_ERASEBKGND: return 1;
        case WM_COMMAND: StatusDoCancel(); return 0;
        case WM_SYSCOMMAND: {
            HMENU menu = getSystemMenu(h, false);
            if ((wParam & 0xFFF0) == SC_MINIMIZE) {
                enableMenuItem(menu, 0, MF_BYPOSITION | MF_ENABLED);
                enableMenuItem(menu, 3, MF_BYPOSITION | MF_GRAYED);
            } else if ((wParam & 0xFFF0) == SC_RESTORE) {
                if (gStatus.owner && isWindow(gStatus.owner)) sendMessage(gStatus.owner, kOwnerRestored, 0, 0);
                enableMenuItem(menu, 0, MF_BYPOSITION | MF_GRAYED);
                enableMenuItem(menu, 3, MF_BYPOSITION | MF_ENABLED);
            }
            return defWindowProc(h, msg, wParam, lParam);
        }
        default: return defWindowProc(h, msg, wParam, lParam);
    }
}

// Dispatches one message, the status window's through dialog navigation.
void handle(const MSG& m) {
    if (windowAlive() && isDialogMessage(gStatus.window, &m)) return;
    translateMessage(&m);
    dispatchMessage(&m);
}

// WM_QUIT was met: the handle is cleared only when the window is really gone (a quit posted by
// someone else must not make a live window unreachable).
void quitMet() {
    if (gStatus.window && !isWindow(gStatus.window)) {
        gStatus.window = 0;
        gStatus.button = false;
    }
}

}  // namespace

extern "C" {

void* StatusInit(void* instance, void* owner, int32_t noWait) {
    gStatus.instance = reinterpret_cast<uintptr_t>(instance);
    gStatus.owner = reinterpret_cast<HWND>(owner);
    gStatus.noWait = (noWait & 0xFF) != 0;
    return instance;
}

int32_t StatusOpen(const char* caption, const char* detail, KroCancelProc cancel) {
    gStatus.cancel = cancel;
    copyCut(gStatus.detail, kTextSize, detail);
    // A new job starts uncancelled.
    gStatus.cancelled = 0;
    gStatus.requests = 0;
    uint32_t low = uint32_t(gStatus.instance & 0xFFFF);
    std::snprintf(gStatus.className, sizeof gStatus.className, "KROSTATUS%c%c%c%c", 'A' + int((low >> 12) & 15),
                  'A' + int((low >> 8) & 15), 'A' + int((low >> 4) & 15), 'A' + int(low & 15));
    WNDCLASS wc;
    wc.lpfnWndProc = statusProc;
    wc.hInstance = gStatus.instance;
    wc.hCursor = loadArrowCursor();
    wc.lpszClassName = gStatus.className;
    if (!registerClass(wc)) return 0;
    gStatus.registered = true;

    const int32_t width = 32 * getSystemMetrics(SM_CXSIZE), height = 7 * getSystemMetrics(SM_CYCAPTION);
    const int32_t x = (getSystemMetrics(SM_CXSCREEN) - width) / 2, y = (getSystemMetrics(SM_CYSCREEN) - height) / 2;
    HWND h = createWindowEx(WS_EX_DLGMODALFRAME, gStatus.className, caption ? caption : "",
                            WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, width, height, 0,
                            nullptr);
    if (!h) {
        unregisterClass(gStatus.className);
        gStatus.registered = false;
        return 0;
    }
    gStatus.window = h;
    panelAttach(h);
    PanelItem button;
    button.kind = PANEL_BUTTON;
    button.id = kCancelId;
    button.text = "&Cancel";
    button.x = width * 7 / 16;
    button.y = height * 8 / 21;
    button.width = width / 8;
    button.height = height / 5;
    button.isDefault = true;
    panelAddItem(h, button);
    gStatus.button = true;
    layOut(h);

    HMENU menu = getSystemMenu(h, false);
    for (UINT item : {0u, 2u, 4u}) enableMenuItem(menu, item, MF_BYPOSITION | MF_GRAYED);
    for (UINT item : {1u, 3u}) enableMenuItem(menu, item, MF_BYPOSITION | MF_ENABLED);

    copyCut(gStatus.status, kTextSize, "Loading...");
    StatusCheck();
    focusButton();
    return 1;
}

int32_t StatusSet(const char* text) {
    if (!windowAlive()) return 0;
    if (!isWindowVisible(gStatus.window) && !isIconic(gStatus.window)) showWindow(gStatus.window, SW_SHOW);
    copyCut(gStatus.status, kTextSize, text);
    invalidateRect(gStatus.window, nullptr, true);
    updateWindow(gStatus.window);
    return StatusCheck();
}

int32_t StatusCheck(void) {
    MSG m;
    while (peekMessage(&m, 0, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) {
            quitMet();
            return 1;
        }
        handle(m);
    }
    return 0;
}

int32_t StatusMessageTitle(const char* text, const char* caption, int32_t error) {
    uint32_t type = MB_OK | ((error & 0xFF) ? MB_ICONHAND : MB_ICONINFORMATION);
    messageBox(boxOwner(), text ? text : "", caption ? caption : "", type);
    if (windowVisible()) {
        setForegroundWindow(gStatus.window);
        setActiveWindow(gStatus.window);
        focusButton();
        updateWindow(gStatus.window);
    }
    return StatusCheck();
}

int32_t StatusMessage(const char* text, int32_t error) {
    std::string caption = titleOf(255);
    return StatusMessageTitle(text, caption.c_str(), error);
}

int32_t StatusAsk(const char* question, int32_t defaultNo) {
    std::string caption = titleOf(255);
    copyCut(gStatus.status, kTextSize, question);
    uint32_t type = MB_YESNO | MB_ICONQUESTION | ((defaultNo & 0xFF) ? MB_DEFBUTTON2 : 0);
    bool yes = messageBox(boxOwner(), question ? question : "", caption.c_str(), type) == IDYES;
    appendCut(gStatus.status, kTextSize, yes ? " Yes." : " No.");
    if (windowVisible()) {
        focusButton();
        invalidateRect(gStatus.window, nullptr, false);
        updateWindow(gStatus.window);
    }
    StatusCheck();
    return yes ? 1 : 0;
}

int32_t StatusDoCancel(void) {
    gStatus.requests = uint8_t(gStatus.requests + 1);
    if (gStatus.cancelled) return 1;
    if (!StatusAsk("Do you want to cancel?", 1)) return 0;
    gStatus.cancelled = 1;
    if (gStatus.cancel) gStatus.cancel();
    return gStatus.cancelled;
}

int32_t StatusClose(int32_t wait) {
    if (windowAlive()) {
        if (gStatus.owner && isWindow(gStatus.owner)) {
            std::string summary = titleOf(256) + " - " + gStatus.detail + "\r\n  " + gStatus.status;
            COPYDATASTRUCT cd;
            cd.dwData = kSummaryTag;
            cd.cbData = uint32_t(summary.size() + 1);
            cd.lpData = summary.data();
            sendMessage(gStatus.owner, WM_COPYDATA, WPARAM(gStatus.window), LPARAM(reinterpret_cast<intptr_t>(&cd)));
        }
        uint8_t remembered = gStatus.requests;
        bool waiting = !gStatus.noWait && (wait & 0xFF) && isWindowVisible(gStatus.window);
        if (waiting) {
            gStatus.cancelled = 1;
            panelSetItemText(gStatus.window, kCancelId, "&Done");
            focusButton();
        } else {
            destroyButtonAndWindow();
        }
        MSG m;
        for (;;) {
            if (waiting && windowAlive()) {
                // Done (or closing the window) counts as a cancel request; without anyone to
                // press it, the wait ends once the scripted input has run out.
                if (gStatus.requests != remembered ||
                    (!panelUserPresent() && pendingInputEvents() == 0 && !peekMessage(&m, 0, 0, 0, PM_NOREMOVE)))
                    destroyButtonAndWindow();
            }
            int got = getMessage(&m, 0, 0, 0);
            if (got <= 0) break;
            handle(m);
        }
        quitMet();
        gStatus.window = 0;
        gStatus.button = false;
    }
    int32_t result = gStatus.registered && unregisterClass(gStatus.className) ? 1 : 0;
    if (result) gStatus.registered = false;
    return result;
}

void* StatusGetHWND(void) {
    return reinterpret_cast<void*>(windowVisible() ? gStatus.window : gStatus.owner);
}

void LogString(const char* fileName, const char* text) {
    if (!fileName || !text) return;
    KroFile* f = KroFileOpen(1024, fileName, KRO_FILE_READWRITE);
    if (f) {
        KroFileSetPos(f, KroFileSize(f));
    } else {
        // Only a missing log is created: one that exists but cannot be opened keeps its contents.
        if (plat::pathExists(fileName)) return;
        f = KroFileCreate(1024, fileName);
        if (!f) return;
    }
    KroFilePut(f, text, uint32_t(std::strlen(text)));
    KroFileClose(f);
}

}  // extern "C"
