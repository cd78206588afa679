// Panels: items, dialog navigation, the paced views handed to the dialog back-end, and the
// drawing of a view into a window's picture for rows that show one.
#include "platform/panel.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/dialog_backend.h"
#include "platform/display.h"
#include "platform/font_data.h"
#include "platform/headless_capture.h"
#include "platform/input.h"
#include "platform/window.h"
#include "platform/window_internal.h"

namespace plat {
namespace {

constexpr int kGlyphW = 8, kGlyphH = 16;
// The picture's colours: face, text and dark edge, light edge, shadow.
constexpr uint8_t kFace = 0, kBlack = 1, kWhite = 2, kShadow = 3;

struct PanelRec {
    std::thread::id thread;
    std::vector<PanelViewItem> items;
    int32_t focus = 0;     // id of the focused button, 0 = none
    int32_t pressed = 0;   // id of the button the left button went down on
    bool pending = false;  // a view waits for the interval to pass
    bool rendered = false;
    uint32_t lastRender = 0;
    PanelView lastView;
    // The picture for rows that draw one.
    std::vector<uint8_t> pixels;
    int32_t pw = 0, ph = 0;
    HWND attachedTo = 0;
};

struct PanelState {
    std::recursive_mutex lock;
    std::map<HWND, PanelRec> panels;
};
PanelState& ps() {
    static PanelState* s = new PanelState;
    return *s;
}
using Lock = std::lock_guard<std::recursive_mutex>;

std::string hwndText(HWND h) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)h);
    return buf;
}

std::string flat(const std::string& s) {
    std::string out;
    for (char c : s) out += (c == '\r' || c == '\n') ? ' ' : c;
    return out;
}

PanelRec* findLocked(HWND h) {
    auto it = ps().panels.find(h);
    return it == ps().panels.end() ? nullptr : &it->second;
}

PanelViewItem* itemLocked(PanelRec& p, int32_t id) {
    for (auto& i : p.items)
        if (i.id == id) return &i;
    return nullptr;
}

void logText(HWND h, int32_t id, const std::string& text) {
    if (!capture::active()) return;  // progress texts change often: no line built for nobody
    char buf[48];
    std::snprintf(buf, sizeof buf, " id=%d \"", id);
    win::logEvent("text " + hwndText(h) + buf + flat(text) + "\"");
}

char mnemonicOf(const std::string& text) {
    for (size_t i = 0; i + 1 < text.size(); i++) {
        if (text[i] != '&') continue;
        if (text[i + 1] == '&') {
            i++;
            continue;
        }
        char c = text[i + 1];
        return (c >= 'a' && c <= 'z') ? char(c - 32) : c;
    }
    return 0;
}

// The view as it is now; a window that is gone keeps the title and size last seen.
PanelView buildViewLocked(HWND h, PanelRec& p) {
    PanelView v;
    RECT c;
    if (getClientRect(h, &c)) {
        v.title = getWindowText(h);
        v.width = c.right;
        v.height = c.bottom;
    } else {
        v.title = p.lastView.title;
        v.width = p.lastView.width;
        v.height = p.lastView.height;
    }
    v.items = p.items;
    for (auto& i : v.items) i.focused = i.kind == PANEL_BUTTON && i.id == p.focus;
    return v;
}

void render(HWND h, const PanelView& v) {
    if (const auto r = dialogOps().panelRender) r(h, v);
}

// Sends WM_COMMAND for a button (BN_CLICKED in the high word, which is 0).
void command(HWND h, int32_t id) { sendMessage(h, WM_COMMAND, WPARAM(uint16_t(id)), 0); }

HWND newestPanel() {
    Lock l(ps().lock);
    HWND best = 0;
    for (auto& [h, p] : ps().panels)
        if (isWindow(h)) best = std::max(best, h);
    return best;
}

void fillRect(PanelRec& p, int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint8_t c) {
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, p.pw);
    y1 = std::min(y1, p.ph);
    for (int32_t y = y0; y < y1; y++)
        for (int32_t x = x0; x < x1; x++) p.pixels[size_t(y) * size_t(p.pw) + size_t(x)] = c;
}

}  // namespace

bool panelAttach(HWND hwnd) {
    if (!isWindow(hwnd)) return false;
    Lock l(ps().lock);
    if (findLocked(hwnd)) return true;
    PanelRec& p = ps().panels[hwnd];
    p.thread = std::this_thread::get_id();
    return true;
}

bool panelAddItem(HWND hwnd, const PanelItem& item) {
    {
        Lock l(ps().lock);
        PanelRec* p = findLocked(hwnd);
        if (!p) return false;
        PanelViewItem v;
        v.kind = item.kind == PANEL_BUTTON ? PANEL_BUTTON : PANEL_LABEL;
        v.id = item.id;
        v.text = item.text;
        v.rect = {item.x, item.y, item.x + std::max(0, item.width), item.y + std::max(0, item.height)};
        v.centred = item.centred || v.kind == PANEL_BUTTON;
        v.isDefault = item.isDefault;
        if (PanelViewItem* old = itemLocked(*p, item.id))
            *old = v;
        else
            p->items.push_back(v);
    }
    if (!item.text.empty()) logText(hwnd, item.id, item.text);
    invalidateRect(hwnd, nullptr, true);
    return true;
}

bool panelRemoveItem(HWND hwnd, int32_t id) {
    {
        Lock l(ps().lock);
        PanelRec* p = findLocked(hwnd);
        if (!p) return false;
        auto it = std::find_if(p->items.begin(), p->items.end(), [&](const PanelViewItem& i) { return i.id == id; });
        if (it == p->items.end()) return false;
        p->items.erase(it);
        if (p->focus == id) p->focus = 0;
        if (p->pressed == id) p->pressed = 0;
    }
    invalidateRect(hwnd, nullptr, true);
    return true;
}

bool panelHasItem(HWND hwnd, int32_t id) {
    Lock l(ps().lock);
    PanelRec* p = findLocked(hwnd);
    return p && itemLocked(*p, id);
}

bool panelSetItemText(HWND hwnd, int32_t id, const char* text) {
    std::string t = text ? text : "";
    {
        Lock l(ps().lock);
        PanelRec* p = findLocked(hwnd);
        PanelViewItem* i = p ? itemLocked(*p, id) : nullptr;
        if (!i) return false;
        if (i->text == t) return true;
        i->text = t;
    }
    logText(hwnd, id, t);
    invalidateRect(hwnd, nullptr, false);
    return true;
}

std::string panelItemText(HWND hwnd, int32_t id) {
    Lock l(ps().lock);
    PanelRec* p = findLocked(hwnd);
    PanelViewItem* i = p ? itemLocked(*p, id) : nullptr;
    return i ? i->text : std::string();
}

bool panelFocusItem(HWND hwnd, int32_t id) {
    {
        Lock l(ps().lock);
        PanelRec* p = findLocked(hwnd);
        if (!p) return false;
        PanelViewItem* i = itemLocked(*p, id);
        if (id != 0 && (!i || i->kind != PANEL_BUTTON)) return false;
        if (p->focus == id) return true;
        p->focus = id;
    }
    invalidateRect(hwnd, nullptr, false);
    return true;
}

int32_t panelFocusedItem(HWND hwnd) {
    Lock l(ps().lock);
    PanelRec* p = findLocked(hwnd);
    return p ? p->focus : 0;
}

void panelPaint(HWND hwnd) {
    const DialogBackendOps& ops = dialogOps();
    if (!ops.panelRender) return;  // a row that shows no panels needs no view
    PanelView v;
    {
        Lock l(ps().lock);
        PanelRec* p = findLocked(hwnd);
        if (!p || !isWindow(hwnd)) return;
        uint32_t now = tickCount();
        if (p->rendered && now - p->lastRender < ops.renderIntervalMs) {
            p->pending = true;  // the view is made when it is due
            return;
        }
        p->lastView = buildViewLocked(hwnd, *p);
        p->pending = false;
        p->rendered = true;
        p->lastRender = now;
        v = p->lastView;
    }
    render(hwnd, v);
}

bool isDialogMessage(HWND hwnd, const MSG* msg) {
    if (!msg || !hwnd || msg->hwnd != hwnd || !isWindow(hwnd)) return false;
    {
        Lock l(ps().lock);
        if (!findLocked(hwnd)) {
            // A window without a panel: only the usual dispatch.
            translateMessage(msg);
            dispatchMessage(msg);
            return true;
        }
    }
    const UINT m = msg->message;
    if (m == WM_KEYDOWN) {
        int vk = int(msg->wParam);
        if (vk == VK_RETURN || vk == VK_ESCAPE || vk == VK_TAB || vk == VK_SPACE) {
            int32_t target = 0;
            {
                Lock l(ps().lock);
                PanelRec* p = findLocked(hwnd);
                if (!p) return true;
                if (vk == VK_TAB) {
                    std::vector<int32_t> ids;
                    for (auto& i : p->items)
                        if (i.kind == PANEL_BUTTON) ids.push_back(i.id);
                    if (!ids.empty()) {
                        auto it = std::find(ids.begin(), ids.end(), p->focus);
                        p->focus = (it == ids.end() || it + 1 == ids.end()) ? ids.front() : *(it + 1);
                    }
                } else if (vk == VK_ESCAPE) {
                    target = IDCANCEL;
                } else if (vk == VK_SPACE) {
                    target = p->focus;
                } else {
                    target = p->focus;
                    if (!target)
                        for (auto& i : p->items)
                            if (i.kind == PANEL_BUTTON && i.isDefault) target = i.id;
                    if (!target) target = IDOK;
                }
            }
            if (vk == VK_TAB) invalidateRect(hwnd, nullptr, false);
            if (target) command(hwnd, target);
            return true;
        }
    } else if (m == WM_CHAR || m == WM_SYSCHAR) {
        uint32_t c = uint32_t(msg->wParam);
        if (c == 13 || c == 27 || c == 9 || c == ' ') return true;  // handled as keys
        char up = (c >= 'a' && c <= 'z') ? char(c - 32) : char(c);
        int32_t target = 0;
        {
            Lock l(ps().lock);
            if (PanelRec* p = findLocked(hwnd))
                for (auto& i : p->items)
                    if (i.kind == PANEL_BUTTON && c < 128 && mnemonicOf(i.text) == up) target = i.id;
        }
        if (target) {
            command(hwnd, target);
            return true;
        }
    } else if (m == WM_LBUTTONDOWN || m == WM_LBUTTONUP) {
        int32_t x = lParamX(msg->lParam), y = lParamY(msg->lParam);
        int32_t hit = 0, pressed = 0;
        {
            Lock l(ps().lock);
            PanelRec* p = findLocked(hwnd);
            if (!p) return true;
            for (auto& i : p->items)
                if (i.kind == PANEL_BUTTON && x >= i.rect.left && x < i.rect.right && y >= i.rect.top &&
                    y < i.rect.bottom)
                    hit = i.id;
            if (m == WM_LBUTTONDOWN) {
                p->pressed = hit;
                if (hit) p->focus = hit;
            } else {
                pressed = p->pressed;
                p->pressed = 0;
            }
        }
        if (m == WM_LBUTTONDOWN && hit) invalidateRect(hwnd, nullptr, false);
        if (m == WM_LBUTTONUP && hit && hit == pressed) command(hwnd, hit);
        if (hit || pressed) return true;
    }
    translateMessage(msg);
    dispatchMessage(msg);
    return true;
}

bool panelUserPresent() { return dialogOps().userPresent; }

// ---- what rows may call ---------------------------------------------------------------------

bool panelUserClose() {
    HWND h = newestPanel();
    if (!h) return false;
    win::deliverClose(h);
    return true;
}

bool panelUserKey(int virtualKey) {
    HWND h = newestPanel();
    if (!h) return false;
    win::deliverKey(h, virtualKey, true, win::KeyMods{}, false, false);
    win::deliverKey(h, virtualKey, false, win::KeyMods{}, false, false);
    return true;
}

void panelDrawPicture(HWND id, const PanelView& v) {
    if (v.width <= 0 || v.height <= 0 || v.width > 4096 || v.height > 4096) return;
    bool attach = false;
    const uint8_t* bits = nullptr;
    {
        Lock l(ps().lock);
        PanelRec* p = findLocked(id);
        if (!p) return;
        if (p->pw != v.width || p->ph != v.height || p->attachedTo != id) {
            p->pw = v.width;
            p->ph = v.height;
            p->pixels.assign(size_t(v.width) * size_t(v.height), kFace);
            p->attachedTo = id;
            attach = true;
        }
        fillRect(*p, 0, 0, p->pw, p->ph, kFace);
        for (const PanelViewItem& i : v.items) {
            const RECT& r = i.rect;
            bool button = i.kind == PANEL_BUTTON;
            int32_t tw = textWidth(i.text, button);
            int32_t tx = i.centred ? r.left + (r.right - r.left - tw) / 2 : r.left;
            int32_t ty = button ? r.top + (r.bottom - r.top - kGlyphH) / 2 : r.top;
            if (button) {
                // Raised face: light top and left, dark bottom and right; the default button
                // (or the focused one) has a black outline.
                bool strong = i.isDefault || i.focused;
                fillRect(*p, r.left, r.top, r.right, r.bottom, strong ? kBlack : kShadow);
                fillRect(*p, r.left + 1, r.top + 1, r.right - 1, r.bottom - 1, kWhite);
                fillRect(*p, r.left + 2, r.top + 2, r.right - 1, r.bottom - 1, kShadow);
                fillRect(*p, r.left + 2, r.top + 2, r.right - 2, r.bottom - 2, kFace);
                if (i.focused)
                    for (int32_t x = r.left + 4; x < r.right - 4; x += 2) {
                        fillRect(*p, x, r.top + 4, x + 1, r.top + 5, kBlack);
                        fillRect(*p, x, r.bottom - 5, x + 1, r.bottom - 4, kBlack);
                    }
            }
            // Labels are cut at their rectangle's right edge, as a clipped text is.
            int32_t clipW = std::min(p->pw, int32_t(std::max(r.right, r.left)));
            drawText(p->pixels.data(), p->pw, clipW, p->ph, tx, ty, i.text, kBlack, button);
        }
        bits = p->pixels.data();
    }
    if (attach) {
        attachFrameBuffer(id, bits, v.width, v.height, v.width, false, false);
        const PaletteEntry pal[4] = {{192, 192, 192, 0}, {0, 0, 0, 0}, {255, 255, 255, 0}, {128, 128, 128, 0}};
        setPaletteEntries(id, 0, 4, pal);
    }
    presentAll(id);
}

// ---- the window service's hooks -----------------------------------------------------------

void panelWindowDestroyed(HWND hwnd) {
    PanelView last;
    bool flush = false;
    {
        Lock l(ps().lock);
        PanelRec* p = findLocked(hwnd);
        if (!p) return;
        flush = p->pending;
        if (flush) last = buildViewLocked(hwnd, *p);
    }
    // The last view is shown before the panel goes (the terminal keeps it as its final line).
    if (flush) render(hwnd, last);
    if (const auto gone = dialogOps().panelGone) gone(hwnd);
    Lock l(ps().lock);
    ps().panels.erase(hwnd);
}

void dialogPoll() {
    const DialogBackendOps& ops = dialogOps();
    if (ops.poll) ops.poll();
    std::vector<std::pair<HWND, PanelView>> due;
    {
        Lock l(ps().lock);
        if (ps().panels.empty()) return;
        uint32_t now = tickCount();
        auto me = std::this_thread::get_id();
        for (auto& [h, p] : ps().panels) {
            if (!p.pending || p.thread != me || now - p.lastRender < ops.renderIntervalMs) continue;
            p.pending = false;
            p.lastRender = now;
            p.lastView = buildViewLocked(h, p);
            due.push_back({h, p.lastView});
        }
    }
    for (auto& [h, v] : due) render(h, v);
}

// ---- text -----------------------------------------------------------------------------------

int32_t textWidth(std::string_view text, bool mnemonic) {
    int32_t n = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if (mnemonic && text[i] == '&') {
            if (i + 1 < text.size() && text[i + 1] == '&') i++;
            else continue;
        }
        n++;
    }
    return n * kGlyphW;
}

int32_t drawText(uint8_t* bits, int32_t pitch, int32_t width, int32_t height, int32_t x, int32_t y,
                 std::string_view text, uint8_t colour, bool mnemonic) {
    if (!bits || width <= 0 || height <= 0 || pitch < width) return 0;
    int32_t startX = x;
    bool underline = false;
    for (size_t i = 0; i < text.size() && x < width; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (mnemonic && c == '&') {
            if (i + 1 < text.size() && text[i + 1] == '&') {
                i++;
            } else {
                underline = true;
                continue;
            }
        }
        int code = (c >= kBuiltinFontFirst && c < kBuiltinFontFirst + kBuiltinFontGlyphs) ? c : '?';
        const uint8_t* glyph = kBuiltinFont[code - kBuiltinFontFirst];
        for (int row = 0; row < kGlyphH; row++) {
            int64_t py = int64_t(y) + row;
            if (py < 0 || py >= height) continue;
            uint8_t bitsRow = glyph[row];
            if (underline && row == kGlyphH - 2) bitsRow = 0xFF;
            for (int col = 0; col < kGlyphW; col++) {
                int64_t px = int64_t(x) + col;
                if (px < 0 || px >= width || !(bitsRow & (0x80 >> col))) continue;
                bits[size_t(py) * size_t(pitch) + size_t(px)] = colour;
            }
        }
        underline = false;
        x += kGlyphW;
    }
    return x - startX;
}

}  // namespace plat
