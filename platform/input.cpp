// Injected input: the timed event file and the immediate test API.
#include "platform/input.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/clock.h"
#include "platform/window.h"
#include "platform/window_internal.h"

namespace plat {
namespace {

struct InputState {
    std::mutex lock;
    bool envRead = false;
    std::vector<InputEvent> pending;  // sorted by time
    size_t next = 0;
    bool baseSet = false;
    uint32_t baseTick = 0;
};
InputState& is() {
    static InputState* s = new InputState;
    return *s;
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return s;
}

bool parseNumber(const std::string& t, long long& out) {
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(t.c_str(), &end, 0);
    if (errno || !end || *end) return false;
    out = v;
    return true;
}

bool parseCoord(const std::string& t, int32_t& out) {
    long long v;
    if (!parseNumber(t, v) || v < -32768 || v > 32767) return false;
    out = int32_t(v);
    return true;
}

// Decodes one UTF-8 character that makes up the whole token; 0 when it is not one.
uint32_t singleChar(const std::string& t) {
    if (t.size() == 1) return uint8_t(t[0]);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(t.data());
    if (t.size() == 2 && (p[0] & 0xE0) == 0xC0 && (p[1] & 0xC0) == 0x80) return ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    if (t.size() == 3 && (p[0] & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80)
        return ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    return 0;
}

void deliver(const InputEvent& e, HWND h) {
    win::KeyMods mods{e.shift, e.ctrl, e.alt};
    switch (e.kind) {
        case InputEvent::Key: {
            bool ext = (e.virtualKey >= VK_PRIOR && e.virtualKey <= VK_DOWN) || e.virtualKey == VK_INSERT ||
                       e.virtualKey == VK_DELETE;
            if (e.phase != 2) {
                win::deliverKey(h, e.virtualKey, true, mods, false, ext);
                uint32_t c = charForKey(e.virtualKey, e.shift, e.ctrl);
                if (c && !e.alt) win::deliverChar(h, c, false);
                else if (c && e.alt && !e.ctrl) win::deliverChar(h, c, true);
            }
            if (e.phase != 1) {
                win::deliverKey(h, e.virtualKey, false, mods, false, ext);
                // Modifiers given as flags of a press are released with the key.
                if (e.phase == 0) win::setAsyncMods(win::KeyMods{});
            }
            break;
        }
        case InputEvent::Char: win::deliverChar(h, e.ch, false); break;
        case InputEvent::Move: win::deliverMouseMove(h, e.x, e.y); break;
        case InputEvent::Click:
            win::deliverMouseMove(h, e.x, e.y);
            win::deliverButton(h, e.button, true, e.x, e.y);
            win::deliverButton(h, e.button, false, e.x, e.y);
            break;
        case InputEvent::Close: win::deliverClose(h); break;
        case InputEvent::Activate: win::deliverActivation(h, true); break;
        case InputEvent::Deactivate: win::deliverActivation(h, false); break;
        case InputEvent::Expose: win::deliverExpose(h); break;
    }
}

std::string describe(const InputEvent& e) {
    char buf[96];
    switch (e.kind) {
        case InputEvent::Key:
            std::snprintf(buf, sizeof buf, "input key 0x%02x%s%s%s%s", e.virtualKey, e.shift ? " shift" : "",
                          e.ctrl ? " ctrl" : "", e.alt ? " alt" : "", e.phase == 1 ? " down" : e.phase == 2 ? " up" : "");
            break;
        case InputEvent::Char: std::snprintf(buf, sizeof buf, "input char %u", e.ch); break;
        case InputEvent::Move: std::snprintf(buf, sizeof buf, "input move %d %d", e.x, e.y); break;
        case InputEvent::Click:
            std::snprintf(buf, sizeof buf, "input click %s %d %d", e.button ? "right" : "left", e.x, e.y);
            break;
        case InputEvent::Close: return "input close";
        case InputEvent::Activate: return "input activate";
        case InputEvent::Deactivate: return "input deactivate";
        case InputEvent::Expose: return "input expose";
    }
    return buf;
}

void readEnvLocked() {
    InputState& s = is();
    if (s.envRead) return;
    s.envRead = true;
    const char* env = std::getenv("TORVEX_INPUT");
    if (!env || !*env) return;
    std::ifstream in(env, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "TORVEX_INPUT: cannot read %s\n", env);
        return;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    std::vector<std::string> errors;
    s.pending = parseInputScript(ss.str(), &errors);
    for (auto& e : errors) std::fprintf(stderr, "TORVEX_INPUT %s: %s\n", env, e.c_str());
    s.next = 0;
    s.baseSet = false;
}

}  // namespace

int virtualKeyFromName(const std::string& nameIn) {
    std::string n = upper(nameIn);
    if (n.size() == 1 && ((n[0] >= 'A' && n[0] <= 'Z') || (n[0] >= '0' && n[0] <= '9'))) return n[0];
    static const struct {
        const char* name;
        int vk;
    } names[] = {{"RETURN", VK_RETURN}, {"ENTER", VK_RETURN},   {"ESCAPE", VK_ESCAPE}, {"ESC", VK_ESCAPE},
                 {"TAB", VK_TAB},       {"BACK", VK_BACK},      {"BACKSPACE", VK_BACK}, {"SPACE", VK_SPACE},
                 {"LEFT", VK_LEFT},     {"RIGHT", VK_RIGHT},    {"UP", VK_UP},         {"DOWN", VK_DOWN},
                 {"PRIOR", VK_PRIOR},   {"PAGEUP", VK_PRIOR},   {"NEXT", VK_NEXT},     {"PAGEDOWN", VK_NEXT},
                 {"HOME", VK_HOME},     {"END", VK_END},        {"INSERT", VK_INSERT}, {"DELETE", VK_DELETE},
                 {"SHIFT", VK_SHIFT},   {"CONTROL", VK_CONTROL}, {"CTRL", VK_CONTROL}, {"MENU", VK_MENU},
                 {"ALT", VK_MENU},      {"PAUSE", VK_PAUSE}};
    for (auto& e : names)
        if (n == e.name) return e.vk;
    if (n.size() >= 2 && n[0] == 'F') {
        long long f;
        if (parseNumber(n.substr(1), f) && f >= 1 && f <= 12 && n[1] != '0') return VK_F1 + int(f) - 1;
    }
    long long v;
    if (parseNumber(nameIn, v) && v > 0 && v < 256) return int(v);
    return -1;
}

uint32_t charForKey(int vk, bool shift, bool ctrl) {
    if (vk >= 'A' && vk <= 'Z') {
        if (ctrl) return uint32_t(vk - 'A' + 1);
        return uint32_t(shift ? vk : vk + 32);
    }
    if (ctrl) return 0;
    if (vk >= '0' && vk <= '9') {
        static const char shifted[] = ")!@#$%^&*(";
        return shift ? uint32_t(uint8_t(shifted[vk - '0'])) : uint32_t(vk);
    }
    switch (vk) {
        case VK_RETURN: return 13;
        case VK_TAB: return 9;
        case VK_ESCAPE: return 27;
        case VK_BACK: return 8;
        case VK_SPACE: return 32;
        default: return 0;
    }
}

std::vector<InputEvent> parseInputScript(const std::string& text, std::vector<std::string>* errors) {
    std::vector<InputEvent> out;
    std::istringstream lines(text);
    std::string line;
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        if (errors) errors->push_back("line " + std::to_string(lineNo) + ": " + why);
    };
    while (std::getline(lines, line)) {
        lineNo++;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string t; words >> t;) w.push_back(t);
        if (w.empty()) continue;
        long long t;
        if (!parseNumber(w[0], t) || t < 0 || t > 0x7FFFFFFF) {
            fail("bad time \"" + w[0] + "\"");
            continue;
        }
        if (w.size() < 2) {
            fail("missing event");
            continue;
        }
        InputEvent e;
        e.timeMs = uint32_t(t);
        std::string kind = upper(w[1]);
        bool ok = true;
        if (kind == "KEY") {
            e.kind = InputEvent::Key;
            if (w.size() < 3 || (e.virtualKey = virtualKeyFromName(w[2])) < 0) {
                fail("unknown key");
                continue;
            }
            for (size_t i = 3; i < w.size() && ok; i++) {
                std::string m = upper(w[i]);
                if (m == "SHIFT") e.shift = true;
                else if (m == "CTRL" || m == "CONTROL") e.ctrl = true;
                else if (m == "ALT") e.alt = true;
                else if (m == "DOWN") e.phase = 1;
                else if (m == "UP") e.phase = 2;
                else ok = false;
            }
            if (!ok) {
                fail("unknown key flag");
                continue;
            }
        } else if (kind == "CHAR") {
            e.kind = InputEvent::Char;
            long long v = 0;
            if (w.size() != 3) {
                fail("char needs one character");
                continue;
            }
            e.ch = singleChar(w[2]);
            if (!e.ch) {
                if (!parseNumber(w[2], v) || v <= 0 || v > 0xFFFF) {
                    fail("bad character");
                    continue;
                }
                e.ch = uint32_t(v);
            }
        } else if (kind == "MOVE") {
            e.kind = InputEvent::Move;
            if (w.size() != 4 || !parseCoord(w[2], e.x) || !parseCoord(w[3], e.y)) {
                fail("move needs X Y");
                continue;
            }
        } else if (kind == "CLICK") {
            e.kind = InputEvent::Click;
            std::string b = w.size() > 2 ? upper(w[2]) : "";
            if (w.size() != 5 || (b != "LEFT" && b != "RIGHT") || !parseCoord(w[3], e.x) || !parseCoord(w[4], e.y)) {
                fail("click needs left|right X Y");
                continue;
            }
            e.button = b == "RIGHT" ? 1 : 0;
        } else if (kind == "CLOSE" || kind == "ACTIVATE" || kind == "DEACTIVATE" || kind == "EXPOSE") {
            if (w.size() != 2) {
                fail("unexpected words after " + w[1]);
                continue;
            }
            e.kind = kind == "CLOSE" ? InputEvent::Close
                     : kind == "ACTIVATE" ? InputEvent::Activate
                     : kind == "DEACTIVATE" ? InputEvent::Deactivate
                                            : InputEvent::Expose;
        } else {
            fail("unknown event \"" + w[1] + "\"");
            continue;
        }
        out.push_back(e);
    }
    std::stable_sort(out.begin(), out.end(), [](const InputEvent& a, const InputEvent& b) { return a.timeMs < b.timeMs; });
    return out;
}

void setInputScript(const std::vector<InputEvent>& events) {
    std::lock_guard<std::mutex> g(is().lock);
    is().envRead = true;
    is().pending = events;
    std::stable_sort(is().pending.begin(), is().pending.end(),
                     [](const InputEvent& a, const InputEvent& b) { return a.timeMs < b.timeMs; });
    is().next = 0;
    is().baseSet = false;
}

bool loadInputFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream ss;
    ss << in.rdbuf();
    std::vector<std::string> errors;
    auto ev = parseInputScript(ss.str(), &errors);
    for (auto& e : errors) std::fprintf(stderr, "%s %s\n", path.c_str(), e.c_str());
    setInputScript(ev);
    return true;
}

size_t pendingInputEvents() {
    std::lock_guard<std::mutex> g(is().lock);
    readEnvLocked();
    return is().pending.size() - is().next;
}

void pumpInjectedInput() {
    std::vector<InputEvent> due;
    {
        std::lock_guard<std::mutex> g(is().lock);
        readEnvLocked();
        InputState& s = is();
        if (s.next >= s.pending.size()) return;
        if (!s.baseSet) {
            if (!win::inputTarget()) return;
            s.baseSet = true;
            s.baseTick = tickCount();
        }
        uint32_t elapsed = tickCount() - s.baseTick;
        while (s.next < s.pending.size() && s.pending[s.next].timeMs <= elapsed) due.push_back(s.pending[s.next++]);
    }
    for (auto& e : due) injectEvent(e);
}

bool injectEvent(const InputEvent& event, HWND hwnd) {
    HWND h = hwnd ? hwnd : win::inputTarget();
    if (!h && !(event.kind == InputEvent::Deactivate)) return false;
    win::logEvent(describe(event));
    deliver(event, h);
    return true;
}

bool injectKey(int virtualKey, bool shift, bool ctrl, bool alt, HWND hwnd) {
    InputEvent e;
    e.kind = InputEvent::Key;
    e.virtualKey = virtualKey;
    e.shift = shift;
    e.ctrl = ctrl;
    e.alt = alt;
    return injectEvent(e, hwnd);
}

bool injectChar(uint32_t ch, HWND hwnd) {
    InputEvent e;
    e.kind = InputEvent::Char;
    e.ch = ch;
    return injectEvent(e, hwnd);
}

bool injectMouseMove(int32_t x, int32_t y, HWND hwnd) {
    InputEvent e;
    e.kind = InputEvent::Move;
    e.x = x;
    e.y = y;
    return injectEvent(e, hwnd);
}

bool injectClick(int button, int32_t x, int32_t y, HWND hwnd) {
    InputEvent e;
    e.kind = InputEvent::Click;
    e.button = button ? 1 : 0;
    e.x = x;
    e.y = y;
    return injectEvent(e, hwnd);
}

bool injectClose(HWND hwnd) {
    InputEvent e;
    e.kind = InputEvent::Close;
    return injectEvent(e, hwnd);
}

}  // namespace plat
