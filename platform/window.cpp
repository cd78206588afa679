// Windows and messages: the service keeps every window, queue and timer itself; the chosen
// back-end (window_backend.h) mirrors the windows on a screen when there is one.
#include "platform/window.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/display.h"
#include "platform/window_internal.h"

namespace plat {
namespace {

constexpr int kSysMenuItems = 7;

struct QueuedMessage {
    MSG msg;
    bool keyMessage = false;  // carries a key-state snapshot applied when it is taken
    int virtualKey = 0;
    bool down = false;
    win::KeyMods mods;
};

struct TimerRec {
    HWND hwnd = 0;
    uintptr_t id = 0;
    uint32_t elapse = 0;
    uint32_t due = 0;
    TIMERPROC callback = nullptr;
};

struct ThreadQueue {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<QueuedMessage> messages;
    bool quitPending = false;
    int quitCode = 0;
    std::vector<TimerRec> timers;
};

struct ClassRec {
    std::string name;
    WNDCLASS wc;
    ATOM atom = 0;
};

struct WindowRec {
    HWND id = 0;
    std::string classKey;
    std::string className;
    WNDPROC proc = nullptr;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    std::string title;
    RECT rect;
    HWND owner = 0;
    intptr_t userData = 0;
    bool visible = false;
    bool minimized = false;
    bool destroying = false;      // handle already dead for callers
    bool destroyStarted = false;  // WM_DESTROY under way
    bool hasUpdate = false;
    bool eraseUpdate = false;
    RECT update;
    std::array<UINT, kSysMenuItems> sysMenu{};
    std::shared_ptr<ThreadQueue> queue;
};

struct WindowState {
    std::recursive_mutex lock;
    std::map<std::string, ClassRec> classes;  // key: lower-case name
    std::map<HWND, WindowRec> windows;
    std::vector<HWND> zOrder;  // front = top
    std::map<std::thread::id, std::shared_ptr<ThreadQueue>> queues;
    HWND nextId = 0x10010;
    ATOM nextAtom = 0xC001;
    uintptr_t nextThreadTimer = 0x7F00;
    HWND focus = 0;
    HWND active = 0;
    POINT cursor;
    int cursorCount = 0;
    std::array<uint8_t, 256> syncKeys{};   // bit 0x80 down, bit 1 toggled
    std::array<uint8_t, 256> asyncKeys{};
    std::map<HCURSOR, bool> cursors;  // handle -> blank
    HCURSOR nextCursor = 0x20010;
    const WindowBackendOps* desktopFrom = nullptr;  // the row the desktop size was asked of
    int32_t desktopW = 1920, desktopH = 1080;
};
WindowState& ws() {
    static WindowState* s = new WindowState;  // outlives static destructors of callers
    return *s;
}

using Lock = std::lock_guard<std::recursive_mutex>;

std::string lower(const char* s) {
    std::string out = s ? s : "";
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

std::shared_ptr<ThreadQueue> myQueue() {
    thread_local std::shared_ptr<ThreadQueue> mine;
    if (!mine) {
        Lock l(ws().lock);
        auto& slot = ws().queues[std::this_thread::get_id()];
        if (!slot) slot = std::make_shared<ThreadQueue>();
        mine = slot;
    }
    return mine;
}

WindowRec* findLocked(HWND h) {
    auto it = ws().windows.find(h);
    if (it == ws().windows.end() || it->second.destroying) return nullptr;
    return &it->second;
}

void frameOf(uint32_t style, uint32_t ex, int32_t& l, int32_t& t, int32_t& r, int32_t& b) {
    int32_t f = 0;
    if (style & WS_THICKFRAME)
        f = 4;
    else if ((style & WS_DLGFRAME) || (ex & WS_EX_DLGMODALFRAME))
        f = 3;
    else if (style & WS_BORDER)
        f = 1;
    int32_t cap = ((style & WS_CAPTION) == WS_CAPTION) ? 20 : 0;
    l = r = b = f;
    t = f + cap;
}

void clientRectOnScreen(const WindowRec& w, RECT& out) {
    int32_t l, t, r, b;
    frameOf(w.style, w.exStyle, l, t, r, b);
    out.left = w.rect.left + l;
    out.top = w.rect.top + t;
    out.right = std::max(out.left, w.rect.right - r);
    out.bottom = std::max(out.top, w.rect.bottom - b);
}

std::string hwndText(HWND h) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)h);
    return buf;
}

bool matchesFilter(const MSG& m, HWND hwnd, UINT lo, UINT hi) {
    if (hwnd == HWND(-1)) {
        if (m.hwnd != 0) return false;
    } else if (hwnd != 0 && m.hwnd != hwnd) {
        return false;
    }
    if (lo == 0 && hi == 0) return true;
    return m.message >= lo && m.message <= hi;
}

bool inRange(UINT msg, UINT lo, UINT hi) { return (lo == 0 && hi == 0) || (msg >= lo && msg <= hi); }

// Key state tables (the synchronous and the asynchronous one): bit 0x80 while the key is down,
// bit 1 toggled at each press.
using KeyStates = std::array<uint8_t, 256>;

void setKeyDown(KeyStates& k, int vk, bool down) { k[vk] = uint8_t((k[vk] & 1) | (down ? 0x80 : 0)); }

void pressOrRelease(KeyStates& k, int vk, bool down) {
    if (down && !(k[vk] & 0x80)) k[vk] ^= 1;
    setKeyDown(k, vk, down);
}

void setMods(KeyStates& k, win::KeyMods mods) {
    setKeyDown(k, VK_SHIFT, mods.shift);
    setKeyDown(k, VK_CONTROL, mods.ctrl);
    setKeyDown(k, VK_MENU, mods.alt);
}

win::KeyMods modsOf(const KeyStates& k) {
    return win::KeyMods{bool(k[VK_SHIFT] & 0x80), bool(k[VK_CONTROL] & 0x80), bool(k[VK_MENU] & 0x80)};
}

void applyKeySnapshot(const QueuedMessage& q) {
    Lock l(ws().lock);
    KeyStates& k = ws().syncKeys;
    if (q.keyMessage) pressOrRelease(k, q.virtualKey & 0xFF, q.down);
    setMods(k, q.mods);
    if (q.msg.message >= WM_MOUSEMOVE && q.msg.message <= WM_RBUTTONUP) {
        setKeyDown(k, VK_LBUTTON, q.msg.wParam & MK_LBUTTON);
        setKeyDown(k, VK_RBUTTON, q.msg.wParam & MK_RBUTTON);
    }
}

bool postTo(std::shared_ptr<ThreadQueue> q, const QueuedMessage& m, bool coalesceMove = false) {
    if (!q) return false;
    {
        std::lock_guard<std::mutex> g(q->lock);
        if (coalesceMove && !q->messages.empty()) {
            QueuedMessage& last = q->messages.back();
            if (last.msg.message == WM_MOUSEMOVE && last.msg.hwnd == m.msg.hwnd) {
                last = m;
                q->wake.notify_all();
                return true;
            }
        }
        q->messages.push_back(m);
    }
    q->wake.notify_all();
    return true;
}

QueuedMessage makeQueued(HWND h, UINT msg, WPARAM w, LPARAM l) {
    QueuedMessage q;
    q.msg.hwnd = h;
    q.msg.message = msg;
    q.msg.wParam = w;
    q.msg.lParam = l;
    q.msg.time = tickCount();
    {
        Lock g(ws().lock);
        q.msg.pt = ws().cursor;
        q.mods = modsOf(ws().asyncKeys);
    }
    return q;
}

std::shared_ptr<ThreadQueue> queueOf(HWND h) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(h);
    return w ? w->queue : nullptr;
}

void sendIfAlive(HWND h, UINT msg, WPARAM w, LPARAM l) {
    if (isWindow(h)) sendMessage(h, msg, w, l);
}

void setFocusInternal(HWND h) {
    HWND old;
    {
        Lock l(ws().lock);
        old = ws().focus;
        if (old == h) return;
        ws().focus = h;
    }
    if (old) sendIfAlive(old, WM_KILLFOCUS, WPARAM(h), 0);
    if (h) {
        win::logEvent("focus " + hwndText(h));
        sendIfAlive(h, WM_SETFOCUS, WPARAM(old), 0);
    }
}

void activateInternal(HWND h) {
    HWND old;
    {
        Lock l(ws().lock);
        old = ws().active;
        if (old == h) return;
        ws().active = h;
    }
    if (old && isWindow(old)) {
        sendMessage(old, WM_ACTIVATE, WA_INACTIVE, LPARAM(h));
        if (!h) sendMessage(old, WM_ACTIVATEAPP, 0, 0);
    }
    if (!h) {
        win::logEvent("deactivate app");
        setFocusInternal(0);
        return;
    }
    win::logEvent("activate " + hwndText(h));
    if (!old) sendMessage(h, WM_ACTIVATEAPP, 1, 0);
    sendMessage(h, WM_ACTIVATE, WA_ACTIVE, LPARAM(old));
    setFocusInternal(h);
    bool raise = false;
    {
        Lock l(ws().lock);
        auto& z = ws().zOrder;
        z.erase(std::remove(z.begin(), z.end(), h), z.end());
        z.insert(z.begin(), h);
        raise = findLocked(h) != nullptr;
    }
    if (raise) windowOps().raise(h);
}

void pumpSources() {
    windowOps().pump();
    pumpInjectedInput();
    dialogPoll();
    displayFlushPending();
}

void destroyRecord(HWND h) {
    std::shared_ptr<ThreadQueue> q;
    {
        Lock l(ws().lock);
        auto it = ws().windows.find(h);
        if (it == ws().windows.end()) return;
        q = it->second.queue;
        ws().windows.erase(it);
        auto& z = ws().zOrder;
        z.erase(std::remove(z.begin(), z.end(), h), z.end());
        if (ws().focus == h) ws().focus = 0;
        if (ws().active == h) ws().active = 0;
    }
    if (q) {
        std::lock_guard<std::mutex> g(q->lock);
        auto& m = q->messages;
        m.erase(std::remove_if(m.begin(), m.end(), [&](const QueuedMessage& x) { return x.msg.hwnd == h; }),
                m.end());
        auto& t = q->timers;
        t.erase(std::remove_if(t.begin(), t.end(), [&](const TimerRec& x) { return x.hwnd == h; }), t.end());
    }
    panelWindowDestroyed(h);
    displayWindowDestroyed(h);
    windowOps().destroyWindow(h);
}

}  // namespace

// ---- classes ----------------------------------------------------------------------------------

ATOM registerClass(const WNDCLASS& wc) {
    if (!wc.lpszClassName || !*wc.lpszClassName || !wc.lpfnWndProc) return 0;
    Lock l(ws().lock);
    std::string key = lower(wc.lpszClassName);
    if (ws().classes.count(key)) return 0;
    ClassRec rec;
    rec.name = wc.lpszClassName;
    rec.wc = wc;
    rec.wc.lpszClassName = nullptr;  // the caller's string may not live on
    rec.atom = ws().nextAtom++;
    ws().classes[key] = rec;
    return rec.atom;
}

bool unregisterClass(const char* className) {
    Lock l(ws().lock);
    std::string key = lower(className);
    auto it = ws().classes.find(key);
    if (it == ws().classes.end()) return false;
    for (auto& [h, w] : ws().windows)
        if (w.classKey == key) return false;
    ws().classes.erase(it);
    return true;
}

// ---- windows ----------------------------------------------------------------------------------

HWND createWindowEx(uint32_t exStyle, const char* className, const char* title, uint32_t style,
                    int32_t x, int32_t y, int32_t width, int32_t height, HWND owner, void* createParam) {
    const WindowBackendOps& ops = windowOps();
    HWND h;
    {
        Lock l(ws().lock);
        auto it = ws().classes.find(lower(className));
        if (it == ws().classes.end()) return 0;
        if (owner && !findLocked(owner)) return 0;
        if (x == CW_USEDEFAULT) x = y = 0;
        if (width == CW_USEDEFAULT) {
            width = 320;
            height = 240;
        }
        WindowRec w;
        w.id = h = ws().nextId;
        ws().nextId += 0x10;
        w.classKey = it->first;
        w.className = it->second.name;
        w.proc = it->second.wc.lpfnWndProc;
        w.style = style & ~WS_VISIBLE;
        w.exStyle = exStyle;
        w.title = title ? title : "";
        w.rect = {x, y, x + std::max(0, width), y + std::max(0, height)};
        w.owner = owner;
        w.queue = myQueue();
        for (int i = 0; i < kSysMenuItems; i++) w.sysMenu[i] = MF_ENABLED;
        ws().windows[h] = w;
        ws().zOrder.push_back(h);
    }
    char buf[160];
    std::snprintf(buf, sizeof buf, " style=0x%08x ex=0x%x rect=%d,%d,%d,%d", style, exStyle, x, y,
                  std::max(0, width), std::max(0, height));
    win::logEvent("create " + hwndText(h) + " class=" + std::string(className) + " title=\"" +
                  std::string(title ? title : "") + "\"" + buf);
    {
        RECT c;
        {
            Lock l(ws().lock);
            clientRectOnScreen(ws().windows[h], c);
        }
        bool ok = ops.createWindow(h, title ? title : "", c.left, c.top, c.right - c.left, c.bottom - c.top,
                                   (style & WS_CAPTION) == WS_CAPTION, exStyle & WS_EX_TOPMOST);
        if (!ok) {
            destroyRecord(h);
            return 0;
        }
    }
    CREATESTRUCT cs;
    cs.lpCreateParams = createParam;
    cs.hwndParent = owner;
    cs.x = x;
    cs.y = y;
    cs.cx = width;
    cs.cy = height;
    cs.style = style;
    cs.lpszName = title;
    cs.lpszClass = className;
    cs.dwExStyle = exStyle;
    if (sendMessage(h, WM_CREATE, 0, LPARAM(reinterpret_cast<intptr_t>(&cs))) == -1) {
        destroyWindow(h);
        return 0;
    }
    if (!isWindow(h)) return 0;
    if (style & WS_VISIBLE) showWindow(h, SW_SHOW);
    return h;
}

bool isWindow(HWND hwnd) {
    Lock l(ws().lock);
    return findLocked(hwnd) != nullptr;
}

bool destroyWindow(HWND hwnd) {
    std::vector<HWND> owned;
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        if (!w) return false;
        if (w->destroyStarted) return true;
        w->destroyStarted = true;
        for (auto& [h, o] : ws().windows)
            if (o.owner == hwnd && !o.destroying) owned.push_back(h);
    }
    for (HWND o : owned) destroyWindow(o);
    HWND active, focus;
    {
        Lock l(ws().lock);
        active = ws().active;
        focus = ws().focus;
    }
    if (focus == hwnd) setFocusInternal(0);
    if (active == hwnd) {
        sendMessage(hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
        Lock l(ws().lock);
        ws().active = 0;
    }
    if (!isWindow(hwnd)) return true;
    // The procedure still sees its window during WM_DESTROY; afterwards the handle is dead.
    sendMessage(hwnd, WM_DESTROY, 0, 0);
    {
        Lock l(ws().lock);
        if (WindowRec* w = findLocked(hwnd)) w->destroying = true;
    }
    win::logEvent("destroy " + hwndText(hwnd));
    destroyRecord(hwnd);
    return true;
}

bool setWindowPos(HWND hwnd, HWND insertAfter, int32_t x, int32_t y, int32_t cx, int32_t cy, UINT flags) {
    WINDOWPOS wp;
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        if (!w) return false;
        wp.hwnd = hwnd;
        wp.hwndInsertAfter = insertAfter;
        wp.x = (flags & SWP_NOMOVE) ? w->rect.left : x;
        wp.y = (flags & SWP_NOMOVE) ? w->rect.top : y;
        wp.cx = (flags & SWP_NOSIZE) ? w->rect.right - w->rect.left : cx;
        wp.cy = (flags & SWP_NOSIZE) ? w->rect.bottom - w->rect.top : cy;
        wp.flags = flags;
    }
    sendMessage(hwnd, WM_WINDOWPOSCHANGING, 0, LPARAM(reinterpret_cast<intptr_t>(&wp)));
    bool moved = false, sized = false;
    RECT client;
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        if (!w) return false;
        if (!(wp.flags & SWP_NOMOVE)) {
            moved = wp.x != w->rect.left || wp.y != w->rect.top;
            int32_t ww = w->rect.right - w->rect.left, hh = w->rect.bottom - w->rect.top;
            w->rect = {wp.x, wp.y, wp.x + ww, wp.y + hh};
        }
        if (!(wp.flags & SWP_NOSIZE)) {
            int32_t nw = std::max(0, wp.cx), nh = std::max(0, wp.cy);
            sized = nw != w->rect.right - w->rect.left || nh != w->rect.bottom - w->rect.top;
            w->rect.right = w->rect.left + nw;
            w->rect.bottom = w->rect.top + nh;
        }
        if (!(wp.flags & SWP_NOZORDER)) {
            if (wp.hwndInsertAfter == HWND_TOPMOST) w->exStyle |= WS_EX_TOPMOST;
            if (wp.hwndInsertAfter == HWND_NOTOPMOST) w->exStyle &= ~WS_EX_TOPMOST;
        }
        clientRectOnScreen(*w, client);
    }
    if (moved || sized) {
        char buf[96];
        RECT r;
        getWindowRect(hwnd, &r);
        std::snprintf(buf, sizeof buf, " rect=%d,%d,%d,%d", r.left, r.top, r.right - r.left, r.bottom - r.top);
        win::logEvent("move " + hwndText(hwnd) + buf);
        windowOps().setGeometry(hwnd, client.left, client.top, client.right - client.left,
                                client.bottom - client.top);
    }
    if (!(wp.flags & SWP_NOZORDER) && (wp.hwndInsertAfter == HWND_TOPMOST || wp.hwndInsertAfter == HWND_NOTOPMOST))
        windowOps().setTopmost(hwnd, wp.hwndInsertAfter == HWND_TOPMOST);
    if (wp.flags & SWP_SHOWWINDOW) showWindow(hwnd, (wp.flags & SWP_NOACTIVATE) ? SW_SHOWNA : SW_SHOW);
    if (wp.flags & SWP_HIDEWINDOW) showWindow(hwnd, SW_HIDE);
    sendMessage(hwnd, WM_WINDOWPOSCHANGED, 0, LPARAM(reinterpret_cast<intptr_t>(&wp)));
    if (moved) sendMessage(hwnd, WM_MOVE, 0, makeLParam(client.left, client.top));
    if (sized) {
        sendMessage(hwnd, WM_SIZE, SIZE_RESTORED, makeLParam(client.right - client.left, client.bottom - client.top));
        if (!(wp.flags & SWP_NOREDRAW)) invalidateRect(hwnd, nullptr, true);
    }
    if (!(wp.flags & SWP_NOACTIVATE) && isWindowVisible(hwnd) && !isIconic(hwnd)) activateInternal(hwnd);
    return true;
}

bool moveWindow(HWND hwnd, int32_t x, int32_t y, int32_t width, int32_t height, bool repaint) {
    return setWindowPos(hwnd, 0, x, y, width, height,
                        SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
}

bool showWindow(HWND hwnd, int command) {
    bool wasVisible, wasMin;
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        if (!w) return false;
        wasVisible = w->visible;
        wasMin = w->minimized;
    }
    bool visible = command != SW_HIDE;
    bool minimized = command == SW_MINIMIZE || command == SW_SHOWMINIMIZED;
    bool restore = command == SW_RESTORE || command == SW_SHOWNORMAL;
    bool keepMin = !minimized && !restore && wasMin && visible;
    minimized = minimized || keepMin;
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        w->visible = visible;
        w->minimized = visible && minimized;
        if (visible) w->style |= WS_VISIBLE; else w->style &= ~WS_VISIBLE;
        if (w->minimized) w->style |= WS_MINIMIZE; else w->style &= ~WS_MINIMIZE;
    }
    if (visible != wasVisible) {
        win::logEvent(std::string(visible ? "show " : "hide ") + hwndText(hwnd));
        sendMessage(hwnd, WM_SHOWWINDOW, visible ? 1 : 0, 0);
    }
    windowOps().show(hwnd, visible, visible && minimized);
    if (visible && minimized != wasMin) {
        win::logEvent(std::string(minimized ? "minimize " : "restore ") + hwndText(hwnd));
        int32_t cw = 0, ch = 0;
        win::clientSize(hwnd, &cw, &ch);
        sendMessage(hwnd, WM_SIZE, minimized ? SIZE_MINIMIZED : SIZE_RESTORED,
                    minimized ? 0 : makeLParam(cw, ch));
    }
    if (!visible || (visible && minimized)) {
        HWND active;
        {
            Lock l(ws().lock);
            active = ws().active;
        }
        if (active == hwnd) activateInternal(0);
    } else if (command == SW_SHOW || command == SW_SHOWNORMAL || command == SW_RESTORE) {
        activateInternal(hwnd);
    }
    if (visible && !wasVisible) invalidateRect(hwnd, nullptr, true);
    return wasVisible;
}

bool isWindowVisible(HWND hwnd) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    return w && w->visible;
}

bool isIconic(HWND hwnd) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    return w && w->minimized;
}

bool setWindowText(HWND hwnd, const char* text) {
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        if (!w) return false;
        w->title = text ? text : "";
    }
    win::logEvent("title " + hwndText(hwnd) + " \"" + std::string(text ? text : "") + "\"");
    windowOps().setTitle(hwnd, text ? text : "");
    return true;
}

std::string getWindowText(HWND hwnd) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    return w ? w->title : std::string();
}

HWND setFocus(HWND hwnd) {
    HWND old, active;
    {
        Lock l(ws().lock);
        old = ws().focus;
        active = ws().active;
        if (hwnd && !findLocked(hwnd)) return 0;
    }
    if (hwnd && active != hwnd) activateInternal(hwnd);
    setFocusInternal(hwnd);
    return old;
}

HWND getFocus() {
    Lock l(ws().lock);
    return ws().focus;
}

HWND setActiveWindow(HWND hwnd) {
    HWND old;
    {
        Lock l(ws().lock);
        old = ws().active;
        if (hwnd && !findLocked(hwnd)) return 0;
    }
    activateInternal(hwnd);
    return old;
}

HWND getActiveWindow() {
    Lock l(ws().lock);
    return ws().active;
}

bool setForegroundWindow(HWND hwnd) {
    if (!isWindow(hwnd)) return false;
    activateInternal(hwnd);
    return true;
}

HWND getForegroundWindow() { return getActiveWindow(); }

bool bringWindowToTop(HWND hwnd) { return setForegroundWindow(hwnd); }

bool getWindowRect(HWND hwnd, RECT* rect) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w || !rect) return false;
    *rect = w->rect;
    return true;
}

bool getClientRect(HWND hwnd, RECT* rect) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w || !rect) return false;
    RECT c;
    clientRectOnScreen(*w, c);
    *rect = {0, 0, c.right - c.left, c.bottom - c.top};
    return true;
}

bool clientToScreen(HWND hwnd, POINT* pt) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w || !pt) return false;
    RECT c;
    clientRectOnScreen(*w, c);
    pt->x += c.left;
    pt->y += c.top;
    return true;
}

bool screenToClient(HWND hwnd, POINT* pt) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w || !pt) return false;
    RECT c;
    clientRectOnScreen(*w, c);
    pt->x -= c.left;
    pt->y -= c.top;
    return true;
}

bool adjustWindowRectEx(RECT* rect, uint32_t style, bool hasMenu, uint32_t exStyle) {
    if (!rect) return false;
    int32_t l, t, r, b;
    frameOf(style, exStyle, l, t, r, b);
    rect->left -= l;
    rect->top -= t;
    rect->right += r;
    rect->bottom += b;
    return true;
}

HWND windowFromPoint(POINT pt) {
    Lock l(ws().lock);
    for (int pass = 0; pass < 2; pass++) {
        for (HWND h : ws().zOrder) {
            WindowRec* w = findLocked(h);
            if (!w || !w->visible || w->minimized) continue;
            bool top = w->exStyle & WS_EX_TOPMOST;
            if ((pass == 0) != top) continue;
            if (pt.x >= w->rect.left && pt.x < w->rect.right && pt.y >= w->rect.top && pt.y < w->rect.bottom)
                return h;
        }
    }
    return 0;
}

intptr_t getWindowLongPtr(HWND hwnd, int index) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w) return 0;
    switch (index) {
        case GWLP_WNDPROC: return reinterpret_cast<intptr_t>(w->proc);
        case GWL_STYLE: return intptr_t(w->style);
        case GWL_EXSTYLE: return intptr_t(w->exStyle);
        case GWLP_USERDATA: return w->userData;
        default: return 0;
    }
}

intptr_t setWindowLongPtr(HWND hwnd, int index, intptr_t value) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w) return 0;
    intptr_t old = 0;
    switch (index) {
        case GWLP_WNDPROC:
            old = reinterpret_cast<intptr_t>(w->proc);
            if (value) w->proc = reinterpret_cast<WNDPROC>(value);
            break;
        case GWL_STYLE:
            old = intptr_t(w->style);
            w->style = uint32_t(value);
            break;
        case GWL_EXSTYLE:
            old = intptr_t(w->exStyle);
            w->exStyle = uint32_t(value);
            break;
        case GWLP_USERDATA:
            old = w->userData;
            w->userData = value;
            break;
        default: break;
    }
    return old;
}

LRESULT callWindowProc(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

LRESULT defWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CLOSE: destroyWindow(hwnd); return 0;
        case WM_PAINT: validateRect(hwnd, nullptr); return 0;
        case WM_ERASEBKGND: return 1;
        case WM_QUERYENDSESSION: return 1;
        case WM_NCHITTEST: return HTCLIENT;
        case WM_SYSKEYDOWN:
            if (wParam == WPARAM(VK_F4) && (lParam & KF_ALTDOWN_BIT)) sendMessage(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
            return 0;
        case WM_SYSCOMMAND:
            switch (wParam & 0xFFF0) {
                case SC_CLOSE: sendMessage(hwnd, WM_CLOSE, 0, 0); break;
                case SC_MINIMIZE: showWindow(hwnd, SW_MINIMIZE); break;
                case SC_RESTORE: showWindow(hwnd, SW_RESTORE); break;
                default: break;
            }
            return 0;
        default: return 0;
    }
}

HMENU getSystemMenu(HWND hwnd, bool revert) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w || !(w->style & WS_SYSMENU)) return 0;
    if (revert) {
        for (auto& s : w->sysMenu) s = MF_ENABLED;
        return 0;
    }
    return hwnd | 1;  // window handles are multiples of 16; the low bit marks the menu
}

namespace {
int menuIndex(UINT item, UINT flags) {
    if (flags & MF_BYPOSITION) return item < UINT(kSysMenuItems) ? int(item) : -1;
    switch (item & 0xFFF0) {
        case SC_RESTORE: return 0;
        case SC_MOVE: return 1;
        case SC_SIZE: return 2;
        case SC_MINIMIZE: return 3;
        case SC_MAXIMIZE: return 4;
        case SC_CLOSE: return 6;
        default: return -1;
    }
}
}  // namespace

int enableMenuItem(HMENU menu, UINT item, UINT flags) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(menu & ~HWND(1));
    int i = menuIndex(item, flags);
    if (!(menu & 1) || !w || i < 0) return -1;
    int old = int(w->sysMenu[i]);
    w->sysMenu[i] = flags & (MF_GRAYED | MF_DISABLED);
    return old;
}

int getMenuState(HMENU menu, UINT item, UINT flags) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(menu & ~HWND(1));
    int i = menuIndex(item, flags);
    if (!(menu & 1) || !w || i < 0) return -1;
    return int(w->sysMenu[i]);
}

// ---- painting -----------------------------------------------------------------------------------

bool invalidateRect(HWND hwnd, const RECT* rect, bool erase) {
    std::shared_ptr<ThreadQueue> q;
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        if (!w) return false;
        RECT c;
        clientRectOnScreen(*w, c);
        RECT full{0, 0, c.right - c.left, c.bottom - c.top};
        RECT r = rect ? *rect : full;
        r.left = std::max(r.left, 0);
        r.top = std::max(r.top, 0);
        r.right = std::min(r.right, full.right);
        r.bottom = std::min(r.bottom, full.bottom);
        if (r.left >= r.right || r.top >= r.bottom) {
            if (!(full.right == 0 || full.bottom == 0)) return true;
            r = full;  // an empty client area still gets its WM_PAINT
        }
        if (w->hasUpdate) {
            w->update.left = std::min(w->update.left, r.left);
            w->update.top = std::min(w->update.top, r.top);
            w->update.right = std::max(w->update.right, r.right);
            w->update.bottom = std::max(w->update.bottom, r.bottom);
        } else {
            w->update = r;
            w->hasUpdate = true;
        }
        w->eraseUpdate = w->eraseUpdate || erase;
        q = w->queue;
    }
    if (q) q->wake.notify_all();
    return true;
}

bool validateRect(HWND hwnd, const RECT* rect) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w) return false;
    // Partial validation keeps the whole bounding rectangle pending unless it covers it.
    if (!rect || (rect->left <= w->update.left && rect->top <= w->update.top &&
                  rect->right >= w->update.right && rect->bottom >= w->update.bottom)) {
        w->hasUpdate = false;
        w->eraseUpdate = false;
    }
    return true;
}

bool updateWindow(HWND hwnd) {
    bool pending;
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        if (!w) return false;
        pending = w->hasUpdate && w->visible;
    }
    if (pending) sendMessage(hwnd, WM_PAINT, 0, 0);
    return true;
}

uintptr_t beginPaint(HWND hwnd, PAINTSTRUCT* ps) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w) return 0;
    if (ps) {
        ps->hdc = hwnd;
        ps->fErase = w->eraseUpdate;
        ps->rcPaint = w->hasUpdate ? w->update : RECT{};
    }
    w->hasUpdate = false;
    w->eraseUpdate = false;
    return hwnd;
}

bool endPaint(HWND hwnd, const PAINTSTRUCT* ps) { return isWindow(hwnd); }

// ---- messages -----------------------------------------------------------------------------------

bool postMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd == 0) return postThreadMessage(msg, wParam, lParam);
    auto q = queueOf(hwnd);
    if (!q) return false;
    return postTo(q, makeQueued(hwnd, msg, wParam, lParam));
}

bool postThreadMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    return postTo(myQueue(), makeQueued(0, msg, wParam, lParam));
}

LRESULT sendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC p;
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        if (!w) return 0;
        p = w->proc;
    }
    return p ? p(hwnd, msg, wParam, lParam) : 0;
}

void postQuitMessage(int exitCode) {
    auto q = myQueue();
    {
        std::lock_guard<std::mutex> g(q->lock);
        q->quitPending = true;
        q->quitCode = exitCode;
    }
    q->wake.notify_all();
}

bool peekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
    if (!msg) return false;
    pumpSources();
    auto q = myQueue();
    bool remove = removeFlags & PM_REMOVE;
    {
        std::unique_lock<std::mutex> g(q->lock);
        for (auto it = q->messages.begin(); it != q->messages.end(); ++it) {
            if (!matchesFilter(it->msg, hwnd, filterMin, filterMax)) continue;
            *msg = it->msg;
            if (remove) {
                QueuedMessage taken = *it;
                q->messages.erase(it);
                g.unlock();
                applyKeySnapshot(taken);
            }
            return true;
        }
        if (q->quitPending && inRange(WM_QUIT, filterMin, filterMax)) {
            *msg = MSG{};
            msg->message = WM_QUIT;
            msg->wParam = WPARAM(int64_t(q->quitCode));
            msg->time = tickCount();
            if (remove) q->quitPending = false;
            return true;
        }
    }
    if (inRange(WM_PAINT, filterMin, filterMax) && hwnd != HWND(-1)) {
        Lock l(ws().lock);
        for (auto& [h, w] : ws().windows) {
            if (w.destroying || !w.hasUpdate || !w.visible || w.queue != q) continue;
            if (hwnd != 0 && h != hwnd) continue;
            *msg = MSG{};
            msg->hwnd = h;
            msg->message = WM_PAINT;
            msg->time = tickCount();
            msg->pt = ws().cursor;
            return true;
        }
    }
    if (inRange(WM_TIMER, filterMin, filterMax)) {
        uint32_t now = tickCount();
        std::lock_guard<std::mutex> g(q->lock);
        for (auto& t : q->timers) {
            if (int32_t(now - t.due) < 0) continue;
            if (hwnd == HWND(-1) ? t.hwnd != 0 : (hwnd != 0 && t.hwnd != hwnd)) continue;
            *msg = MSG{};
            msg->hwnd = t.hwnd;
            msg->message = WM_TIMER;
            msg->wParam = t.id;
            msg->lParam = LPARAM(reinterpret_cast<intptr_t>(t.callback));
            msg->time = now;
            if (remove) t.due = now + std::max<uint32_t>(1, t.elapse);
            return true;
        }
    }
    return false;
}

int getMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    if (!msg) return -1;
    if (hwnd != 0 && hwnd != HWND(-1) && !isWindow(hwnd)) return -1;
    for (;;) {
        if (peekMessage(msg, hwnd, filterMin, filterMax, PM_REMOVE)) return msg->message == WM_QUIT ? 0 : 1;
        if (clockIsVirtual()) {
            sleepMs(1);
            continue;
        }
        auto q = myQueue();
        std::unique_lock<std::mutex> g(q->lock);
        if (!q->messages.empty() || q->quitPending) continue;
        q->wake.wait_for(g, std::chrono::milliseconds(windowOps().waitSliceMs));
    }
}

LRESULT dispatchMessage(const MSG* msg) {
    if (!msg) return 0;
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        auto cb = reinterpret_cast<TIMERPROC>(static_cast<intptr_t>(msg->lParam));
        cb(msg->hwnd, WM_TIMER, uintptr_t(msg->wParam), msg->time);
        return 0;
    }
    if (!msg->hwnd) return 0;
    return sendMessage(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

bool translateMessage(const MSG* msg) {
    if (!msg) return false;
    return msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN;
}

uintptr_t setTimer(HWND hwnd, uintptr_t id, UINT elapseMs, TIMERPROC callback) {
    std::shared_ptr<ThreadQueue> q;
    if (hwnd) {
        q = queueOf(hwnd);
        if (!q) return 0;
    } else {
        q = myQueue();
        Lock l(ws().lock);
        id = ws().nextThreadTimer++;
    }
    {
        std::lock_guard<std::mutex> g(q->lock);
        TimerRec* t = nullptr;
        for (auto& x : q->timers)
            if (x.hwnd == hwnd && x.id == id) t = &x;
        if (!t) {
            q->timers.push_back(TimerRec{});
            t = &q->timers.back();
        }
        t->hwnd = hwnd;
        t->id = id;
        t->elapse = std::max<UINT>(elapseMs, 1);
        t->due = tickCount() + t->elapse;
        t->callback = callback;
    }
    q->wake.notify_all();
    return id;
}

bool killTimer(HWND hwnd, uintptr_t id) {
    std::shared_ptr<ThreadQueue> q = hwnd ? queueOf(hwnd) : myQueue();
    if (!q) return false;
    std::lock_guard<std::mutex> g(q->lock);
    auto& t = q->timers;
    auto it = std::find_if(t.begin(), t.end(), [&](const TimerRec& x) { return x.hwnd == hwnd && x.id == id; });
    if (it == t.end()) return false;
    t.erase(it);
    return true;
}

// ---- keyboard, cursor, system -------------------------------------------------------------------

namespace {
int foldKey(int vk) {
    switch (vk) {
        case VK_LSHIFT: case VK_RSHIFT: return VK_SHIFT;
        case VK_LCONTROL: case VK_RCONTROL: return VK_CONTROL;
        case VK_LMENU: case VK_RMENU: return VK_MENU;
        default: return vk & 0xFF;
    }
}
int16_t keyWord(uint8_t k) { return int16_t(((k & 0x80) ? 0x8000 : 0) | (k & 1)); }
}  // namespace

int16_t getKeyState(int virtualKey) {
    Lock l(ws().lock);
    return keyWord(ws().syncKeys[foldKey(virtualKey)]);
}

int16_t getAsyncKeyState(int virtualKey) {
    Lock l(ws().lock);
    return keyWord(ws().asyncKeys[foldKey(virtualKey)]);
}

bool getCursorPos(POINT* pt) {
    if (!pt) return false;
    Lock l(ws().lock);
    *pt = ws().cursor;
    return true;
}

bool setCursorPos(int32_t x, int32_t y) {
    HWND target = 0;
    POINT local{x, y};
    {
        Lock l(ws().lock);
        ws().cursor = {x, y};
    }
    target = windowFromPoint({x, y});
    if (target && screenToClient(target, &local)) windowOps().warpMouse(target, local.x, local.y);
    return true;
}

HCURSOR createCursor(int32_t hotX, int32_t hotY, int32_t width, int32_t height, const uint8_t* andPlane,
                     const uint8_t* xorPlane) {
    if (width < 1 || height < 1 || width > 256 || height > 256 || !andPlane || !xorPlane) return 0;
    size_t row = size_t(width + 7) / 8;
    bool blank = true;
    for (int32_t y = 0; y < height && blank; y++) {
        for (int32_t x = 0; x < width; x++) {
            uint8_t bit = uint8_t(0x80 >> (x & 7));
            size_t at = size_t(y) * row + size_t(x / 8);
            if (!(andPlane[at] & bit) || (xorPlane[at] & bit)) {
                blank = false;
                break;
            }
        }
    }
    Lock l(ws().lock);
    HCURSOR h = ws().nextCursor;
    ws().nextCursor += 0x10;
    ws().cursors[h] = blank;
    return h;
}

HCURSOR loadArrowCursor() {
    Lock l(ws().lock);
    for (auto& [h, blank] : ws().cursors)
        if (!blank) return h;
    HCURSOR h = ws().nextCursor;
    ws().nextCursor += 0x10;
    ws().cursors[h] = false;
    return h;
}

bool destroyCursor(HCURSOR cursor) {
    Lock l(ws().lock);
    return ws().cursors.erase(cursor) == 1;
}

bool windowHidesPointer(HWND hwnd) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w) return false;
    auto c = ws().classes.find(w->classKey);
    if (c == ws().classes.end()) return false;
    auto k = ws().cursors.find(c->second.wc.hCursor);
    return k != ws().cursors.end() && k->second;
}

}  // namespace plat
namespace plat::win {
int cursorDisplayCount() {
    Lock l(ws().lock);
    return ws().cursorCount;
}
}  // namespace plat::win
namespace plat {

int showCursor(bool show) {
    int count;
    {
        Lock l(ws().lock);
        ws().cursorCount += show ? 1 : -1;
        count = ws().cursorCount;
    }
    windowOps().showCursor(count >= 0);
    return count;
}

int getSystemMetrics(int index) {
    int32_t w = 0, h = 0;
    switch (index) {
        case SM_CXSCREEN: win::desktopSize(&w, &h); return w;
        case SM_CYSCREEN: win::desktopSize(&w, &h); return h;
        case SM_CXCURSOR:
        case SM_CYCURSOR: return 32;
        case SM_MOUSEPRESENT: return 1;
        case SM_CXSIZE: return 18;
        case SM_CYCAPTION: return 20;  // as the frame arithmetic above takes it
        default: return 0;
    }
}

void resetWindowSystem() {
    std::vector<HWND> all;
    {
        Lock l(ws().lock);
        for (auto& [h, w] : ws().windows) all.push_back(h);
    }
    for (HWND h : all) destroyRecord(h);
    Lock l(ws().lock);
    ws().classes.clear();
    ws().nextId = 0x10010;
    ws().focus = ws().active = 0;
    ws().cursor = {};
    ws().cursorCount = 0;
    ws().cursors.clear();
    ws().syncKeys.fill(0);
    ws().asyncKeys.fill(0);
    for (auto& [id, q] : ws().queues) {
        std::lock_guard<std::mutex> g(q->lock);
        q->messages.clear();
        q->timers.clear();
        q->quitPending = false;
    }
}

// ---- internal ---------------------------------------------------------------------------------

namespace win {

HWND inputTarget() {
    Lock l(ws().lock);
    if (ws().focus && findLocked(ws().focus)) return ws().focus;
    if (ws().active && findLocked(ws().active)) return ws().active;
    HWND best = 0;
    for (auto& [h, w] : ws().windows)
        if (!w.destroying && w.visible && !w.owner) best = std::max(best, h);
    return best;
}

KeyMods currentMods() {
    Lock l(ws().lock);
    return modsOf(ws().asyncKeys);
}

void setAsyncMods(KeyMods mods) {
    Lock l(ws().lock);
    setMods(ws().asyncKeys, mods);
}

void deliverKey(HWND hwnd, int virtualKey, bool down, KeyMods mods, bool repeat, bool extended) {
    int vk = virtualKey & 0xFF;
    {
        Lock l(ws().lock);
        setMods(ws().asyncKeys, mods);
        pressOrRelease(ws().asyncKeys, vk, down);
    }
    auto q = queueOf(hwnd);
    if (!q) return;
    // Alt turns key messages into their system variants (not with Control, which makes AltGr);
    // F10 and the Alt key itself are system keys on their own.
    bool sys = (mods.alt && !mods.ctrl) || vk == VK_F10 || (vk == VK_MENU && !mods.ctrl);
    UINT m = down ? (sys ? WM_SYSKEYDOWN : WM_KEYDOWN) : (sys ? WM_SYSKEYUP : WM_KEYUP);
    LPARAM lp = 1;
    if (extended) lp |= KF_EXTENDED_BIT;
    if (mods.alt) lp |= KF_ALTDOWN_BIT;
    if (repeat || !down) lp |= KF_REPEAT_BIT;
    if (!down) lp |= KF_UP_BIT;
    QueuedMessage qm = makeQueued(hwnd, m, WPARAM(vk), lp);
    qm.keyMessage = true;
    qm.virtualKey = vk;
    qm.down = down;
    qm.mods = mods;
    postTo(q, qm);
}

void deliverChar(HWND hwnd, uint32_t ch, bool alt) {
    auto q = queueOf(hwnd);
    if (!q) return;
    postTo(q, makeQueued(hwnd, alt ? WM_SYSCHAR : WM_CHAR, WPARAM(ch), alt ? (1 | KF_ALTDOWN_BIT) : 1));
}

namespace {
WPARAM mouseWParam() {
    Lock l(ws().lock);
    auto& a = ws().asyncKeys;
    WPARAM w = 0;
    if (a[VK_LBUTTON] & 0x80) w |= MK_LBUTTON;
    if (a[VK_RBUTTON] & 0x80) w |= MK_RBUTTON;
    if (a[VK_SHIFT] & 0x80) w |= MK_SHIFT;
    if (a[VK_CONTROL] & 0x80) w |= MK_CONTROL;
    return w;
}
bool moveCursorTo(HWND hwnd, int32_t x, int32_t y) {
    Lock l(ws().lock);
    WindowRec* w = findLocked(hwnd);
    if (!w) return false;
    RECT c;
    clientRectOnScreen(*w, c);
    ws().cursor = {c.left + x, c.top + y};
    return true;
}
}  // namespace

void deliverMouseMove(HWND hwnd, int32_t x, int32_t y) {
    if (!moveCursorTo(hwnd, x, y)) return;
    postTo(queueOf(hwnd), makeQueued(hwnd, WM_MOUSEMOVE, mouseWParam(), makeLParam(x, y)), true);
}

void deliverButton(HWND hwnd, int button, bool down, int32_t x, int32_t y) {
    if (!moveCursorTo(hwnd, x, y)) return;
    {
        Lock l(ws().lock);
        setKeyDown(ws().asyncKeys, button == 0 ? VK_LBUTTON : VK_RBUTTON, down);
    }
    UINT m = button == 0 ? (down ? WM_LBUTTONDOWN : WM_LBUTTONUP) : (down ? WM_RBUTTONDOWN : WM_RBUTTONUP);
    postTo(queueOf(hwnd), makeQueued(hwnd, m, mouseWParam(), makeLParam(x, y)));
}

void deliverClose(HWND hwnd) {
    logEvent("close request " + hwndText(hwnd));
    postMessage(hwnd, WM_CLOSE, 0, 0);
}

void deliverActivation(HWND hwnd, bool active) {
    if (active) {
        if (isWindow(hwnd)) activateInternal(hwnd);
    } else {
        HWND cur;
        {
            Lock l(ws().lock);
            cur = ws().active;
        }
        if (cur && (hwnd == 0 || cur == hwnd)) activateInternal(0);
    }
}

void deliverExpose(HWND hwnd) { invalidateRect(hwnd, nullptr, false); }

void deliverFullScreenToggle(HWND hwnd) { setFullScreen(hwnd, !isFullScreen(hwnd)); }

bool hidesPointer(HWND hwnd) { return windowHidesPointer(hwnd); }

bool inFullScreen(HWND hwnd) { return isFullScreen(hwnd); }

void forgetDesktopSize() {
    Lock l(ws().lock);
    ws().desktopFrom = nullptr;
}

void deliverMinimized(HWND hwnd, bool minimized) {
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        if (!w || !w->visible || w->minimized == minimized) return;
        w->minimized = minimized;
        if (minimized) w->style |= WS_MINIMIZE; else w->style &= ~WS_MINIMIZE;
    }
    logEvent(std::string(minimized ? "minimize " : "restore ") + hwndText(hwnd));
    int32_t cw = 0, ch = 0;
    clientSize(hwnd, &cw, &ch);
    postMessage(hwnd, WM_SIZE, minimized ? SIZE_MINIMIZED : SIZE_RESTORED, minimized ? 0 : makeLParam(cw, ch));
}

void deliverMovedBySystem(HWND hwnd, int32_t clientX, int32_t clientY) {
    RECT c;
    {
        Lock l(ws().lock);
        WindowRec* w = findLocked(hwnd);
        if (!w) return;
        clientRectOnScreen(*w, c);
        int32_t dx = clientX - c.left, dy = clientY - c.top;
        if (!dx && !dy) return;
        w->rect.left += dx;
        w->rect.right += dx;
        w->rect.top += dy;
        w->rect.bottom += dy;
    }
    sendMessage(hwnd, WM_MOVE, 0, makeLParam(clientX, clientY));
}

bool clientOrigin(HWND hwnd, POINT* pt) {
    POINT p{0, 0};
    if (!clientToScreen(hwnd, &p)) return false;
    *pt = p;
    return true;
}

bool clientSize(HWND hwnd, int32_t* width, int32_t* height) {
    RECT r;
    if (!getClientRect(hwnd, &r)) return false;
    *width = r.right;
    *height = r.bottom;
    return true;
}

bool desktopSize(int32_t* width, int32_t* height) {
    const WindowBackendOps& ops = windowOps();
    Lock l(ws().lock);
    if (ws().desktopFrom != &ops) {
        ws().desktopFrom = &ops;
        int32_t w = 1920, h = 1080;
        int32_t aw = 0, ah = 0;
        if (ops.desktopSize(&aw, &ah) && aw > 0 && ah > 0) {
            w = aw;
            h = ah;
        }
        ws().desktopW = w;
        ws().desktopH = h;
    }
    *width = ws().desktopW;
    *height = ws().desktopH;
    return true;
}

}  // namespace win
}  // namespace plat
