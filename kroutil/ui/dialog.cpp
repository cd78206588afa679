// The dialog thread: the caller's dialog (from its registered template) with its message loop on
// the calling thread and the caller's worker on a second thread.
#include "kroutil/dialog.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialog.h"
#include "platform/panel.h"
#include "platform/window.h"

namespace {

using namespace plat;

constexpr UINT kWorkerEnded = 0x8C88;
constexpr size_t kCaptionSize = 1024;
constexpr int32_t kCancelId = 2;
constexpr uintptr_t kTimerId = 1;

struct TemplateCopy {
    std::string title;
    int32_t width = 0, height = 0;
    struct Item {
        int32_t kind, id;
        std::string text;
        int32_t x, y, width, height;
    };
    std::vector<Item> items;
};

// One run of KroDialogInit. The worker thread holds its own run, so that a worker left over from
// an earlier run can only ever touch that run's (dead) dialog.
struct DialogRun {
    std::atomic<HWND> dialog{0};
    std::atomic<int32_t> result{1};
    std::atomic<int> finished{0};
    std::atomic<int> autoClose{0};
    void* user = nullptr;
    KroDialogWorker worker = nullptr;
};

struct DialogState {
    std::mutex lock;  // guards everything below shared by the two threads
    std::map<uintptr_t, TemplateCopy> templates;
    std::shared_ptr<DialogRun> current;
    std::string caption;  // the dialog caption, cut to 1023 characters
    HWND owner = 0;
    uintptr_t instance = 0;
    KroDialogCommand command = nullptr;
    KroDialogTimerProc timer = nullptr;
    KroDialogFilter filter = nullptr;
};
DialogState& ds() {
    static DialogState* s = new DialogState;  // detached workers may outlive static destruction
    return *s;
}

std::shared_ptr<DialogRun> currentRun() {
    std::lock_guard<std::mutex> g(ds().lock);
    return ds().current;
}

HWND currentDialog() {
    auto run = currentRun();
    return run ? run->dialog.load() : 0;
}

// Boxes belong to the dialog while it exists, else to the caller's window.
HWND boxOwner() {
    HWND d = currentDialog();
    if (d && isWindow(d)) return d;
    std::lock_guard<std::mutex> g(ds().lock);
    return ds().owner;
}

bool isCurrent(const std::shared_ptr<DialogRun>& run) {
    std::lock_guard<std::mutex> g(ds().lock);
    return ds().current == run;
}

std::string caption() {
    std::lock_guard<std::mutex> g(ds().lock);
    return ds().caption;
}

int32_t runCommand(int32_t id, HWND dialog) {
    KroDialogCommand c;
    {
        std::lock_guard<std::mutex> g(ds().lock);
        c = ds().command;
    }
    // Without a command callback nothing keeps the dialog.
    return c ? c(id, reinterpret_cast<void*>(dialog)) : 0;
}

void place(HWND h, HWND owner) {
    RECT d, o;
    if (!owner || !getWindowRect(h, &d) || !getWindowRect(owner, &o)) return;
    int32_t dw = d.right - d.left, dh = d.bottom - d.top, ow = o.right - o.left, oh = o.bottom - o.top;
    int32_t x = int64_t(dw) * 3 / 2 < ow ? o.left + (ow - dw) / 2 : o.right - 20;
    int32_t y = o.top + (oh - dh) / 2;
    int32_t sw = getSystemMetrics(SM_CXSCREEN), sh = getSystemMetrics(SM_CYSCREEN);
    if (x + dw > sw) x = sw - dw;
    if (y + dh > sh) y = sh - dh;
    setWindowPos(h, 0, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT dialogProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
    KroDialogFilter filter;
    KroDialogTimerProc timer;
    HWND owner;
    std::shared_ptr<DialogRun> run;
    {
        std::lock_guard<std::mutex> g(ds().lock);
        filter = ds().filter;
        timer = ds().timer;
        owner = ds().owner;
        run = ds().current;
    }
    if (filter) {
        intptr_t r = filter(reinterpret_cast<void*>(h), msg, uintptr_t(wParam), intptr_t(lParam));
        if (r) return r;
    }
    const bool finished = !run || run->finished.load();
    switch (msg) {
        case WM_CREATE:
            place(h, owner);
            return defWindowProc(h, msg, wParam, lParam);
        case WM_DESTROY:
            postQuitMessage(0);
            if (run && run->dialog.load() == h) run->dialog = 0;
            return 0;
        case WM_SETFOCUS: {
            // The default push button, else the first button.
            int32_t focus = 0;
            TemplateCopy t;
            {
                std::lock_guard<std::mutex> g(ds().lock);
                auto it = ds().templates.find(ds().instance);
                if (it != ds().templates.end()) t = it->second;
            }
            for (const auto& i : t.items)
                if (i.kind == PANEL_BUTTON && panelHasItem(h, i.id)) {
                    focus = i.id;
                    break;
                }
            if (focus) panelFocusItem(h, focus);
            return defWindowProc(h, msg, wParam, lParam);
        }
        case WM_PAINT: {
            PAINTSTRUCT ps;
            beginPaint(h, &ps);
            panelPaint(h);
            endPaint(h, &ps);
            return 0;
        }
        case WM_CLOSE:
            if (finished) return defWindowProc(h, msg, wParam, lParam);
            runCommand(kCancelId, h);
            return 1;
        case WM_QUERYENDSESSION:
            if (finished) return 1;
            return runCommand(kCancelId, h) == 0 ? 1 : 0;
        case WM_COMMAND:
            if (runCommand(int32_t(wParam & 0xFFFF), h) == 0) destroyWindow(h);
            return 0;
        case WM_TIMER:
            if (timer) timer(reinterpret_cast<void*>(h));
            return defWindowProc(h, msg, wParam, lParam);
        case kWorkerEnded:
            if (run && run->autoClose.load())
                destroyWindow(h);
            else
                setFocus(HWND(wParam));
            return defWindowProc(h, msg, wParam, lParam);
        default: return defWindowProc(h, msg, wParam, lParam);
    }
}

void workerMain(std::shared_ptr<DialogRun> run) {
    HWND dialog = run->dialog.load();
    int32_t result = run->worker ? run->worker(run->user, reinterpret_cast<void*>(dialog)) : 0;
    run->result = result;
    HWND now = run->dialog.load();
    if (now && isWindow(now) && isCurrent(run)) {
        if (result)
            run->autoClose = 1;
        else {
            panelSetItemText(now, kCancelId, "&Done");
            setWindowText(now, (caption() + " - Done!").c_str());
        }
        postMessage(now, kWorkerEnded, WPARAM(now), 0);
    }
    run->finished = 1;
}

}  // namespace

extern "C" {

void KroDialogSetTemplate(void* instance, const KroDialogTemplate* dialogTemplate) {
    std::lock_guard<std::mutex> g(ds().lock);
    uintptr_t key = reinterpret_cast<uintptr_t>(instance);
    if (!dialogTemplate) {
        ds().templates.erase(key);
        return;
    }
    TemplateCopy t;
    t.title = dialogTemplate->title ? dialogTemplate->title : "";
    t.width = std::clamp<int32_t>(dialogTemplate->width, 1, 4096);
    t.height = std::clamp<int32_t>(dialogTemplate->height, 1, 4096);
    if (dialogTemplate->items)
        for (int32_t i = 0; i < dialogTemplate->itemCount; i++) {
            const KroDialogItem& it = dialogTemplate->items[i];
            t.items.push_back({it.kind == PANEL_BUTTON ? PANEL_BUTTON : PANEL_LABEL, it.id, it.text ? it.text : "",
                               it.x, it.y, it.width, it.height});
        }
    ds().templates[key] = std::move(t);
}

int32_t KroDialogInit(void* instance, void* owner, void* user, int32_t showCommand, int32_t autoClose,
                      KroDialogWorker worker, KroDialogCommand command) {
    auto run = std::make_shared<DialogRun>();
    run->user = user;
    run->worker = worker;
    run->autoClose = autoClose ? 1 : 0;
    TemplateCopy t;
    bool haveTemplate;
    {
        std::lock_guard<std::mutex> g(ds().lock);
        ds().instance = reinterpret_cast<uintptr_t>(instance);
        ds().owner = reinterpret_cast<HWND>(owner);
        ds().command = command;
        ds().current = run;
        auto it = ds().templates.find(ds().instance);
        haveTemplate = it != ds().templates.end();
        if (haveTemplate) t = it->second;
        {
            WNDCLASS wc;
            wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
            wc.lpfnWndProc = dialogProc;
            wc.hInstance = ds().instance;
            wc.hCursor = loadArrowCursor();
            wc.lpszClassName = "KroClass";
            // The class stays registered for later runs (registering it again fails harmlessly).
            registerClass(wc);
        }
    }
    HWND ownerWindow = reinterpret_cast<HWND>(owner);
    HWND h = 0;
    if (haveTemplate) {
        const uint32_t style = WS_POPUP | WS_CAPTION | WS_SYSMENU, exStyle = WS_EX_DLGMODALFRAME;
        RECT r{0, 0, t.width, t.height};
        adjustWindowRectEx(&r, style, false, exStyle);
        int32_t w = r.right - r.left, hgt = r.bottom - r.top;
        int32_t x = (getSystemMetrics(SM_CXSCREEN) - w) / 2, y = (getSystemMetrics(SM_CYSCREEN) - hgt) / 2;
        h = createWindowEx(exStyle, "KroClass", t.title.c_str(), style, x, y, w, hgt, 0, nullptr);
    }
    if (!h) {
        messageBox(ownerWindow, "Couldn't create window.", caption().c_str(), MB_ICONINFORMATION);
        std::lock_guard<std::mutex> g(ds().lock);
        if (ds().current == run) ds().current.reset();
        return 0;
    }
    run->dialog = h;
    panelAttach(h);
    for (size_t i = 0; i < t.items.size(); i++) {
        const auto& it = t.items[i];
        PanelItem p;
        p.kind = it.kind;
        p.id = it.id;
        p.text = it.text;
        p.x = it.x;
        p.y = it.y;
        p.width = it.width;
        p.height = it.height;
        p.isDefault = it.kind == PANEL_BUTTON &&
                      std::find_if(t.items.begin(), t.items.begin() + ptrdiff_t(i), [](const TemplateCopy::Item& e) {
                          return e.kind == PANEL_BUTTON;
                      }) == t.items.begin() + ptrdiff_t(i);
        panelAddItem(h, p);
    }
    {
        std::lock_guard<std::mutex> g(ds().lock);
        ds().caption = getWindowText(h).substr(0, kCaptionSize - 1);
    }
    showWindow(h, showCommand);
    updateWindow(h);
    setFocus(h);

    run->finished = 0;
    // Detached: when the dialog is closed first, KroDialogInit returns while the worker runs on.
    std::thread(workerMain, run).detach();

    MSG m;
    while (getMessage(&m, 0, 0, 0) > 0) {
        HWND d = run->dialog.load();
        if (d && isDialogMessage(d, &m)) continue;
        translateMessage(&m);
        dispatchMessage(&m);
    }
    return run->result.load();
}

int32_t KroDialogAsk(const char* text, int32_t style) {
    HWND owner = boxOwner();
    uint32_t low = uint32_t(style) & 31;
    uint32_t type = ((uint32_t(style) & ~31u) == 32 ? MB_YESNOCANCEL : MB_YESNO) | MB_ICONQUESTION;
    if (low == 0)
        type |= MB_DEFBUTTON2;
    else if (low == 2)
        type |= MB_DEFBUTTON3;
    int r = messageBox(owner, text ? text : "", caption().c_str(), type);
    return r == IDYES ? 1 : r == IDNO ? 0 : 2;
}

int32_t KroDialogMessage(const char* text, int32_t style) {
    HWND owner = boxOwner();
    uint32_t type = ((style >= 32 && style < 64) ? MB_OKCANCEL : MB_OK) | MB_ICONINFORMATION;
    if ((uint32_t(style) & 31) == 2) type |= MB_DEFBUTTON2;
    return messageBox(owner, text ? text : "", caption().c_str(), type) == IDOK ? 0 : 2;
}

KroDialogFilter KroDialogSetFilter(KroDialogFilter filter) {
    std::lock_guard<std::mutex> g(ds().lock);
    ds().filter = filter;
    return filter;
}

uintptr_t KroDialogSetTimer(KroDialogTimerProc callback, uint32_t milliseconds) {
    {
        std::lock_guard<std::mutex> g(ds().lock);
        ds().timer = callback;
    }
    HWND d = currentDialog();
    return d ? setTimer(d, kTimerId, milliseconds, nullptr) : 0;
}

}  // extern "C"
