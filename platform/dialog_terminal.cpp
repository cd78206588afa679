// The terminal row of the dialog back-end, for a program run from a terminal without a display:
// the newest panel is one progress line on standard error, redrawn in place; questions are y/N
// prompts read from standard input; Ctrl-C closes the newest panel (which asks whether to cancel)
// and Enter presses its default button. A second Ctrl-C before the program looked at the first
// ends it as Ctrl-C always does, so that a job that never pumps its messages can still be stopped.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dialog_backend.h"
#include "platform/terminal_line.h"

namespace plat {
namespace term {

int percentOf(const std::string& s) {
    int found = -1;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] < '0' || s[i] > '9' || (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9')) continue;
        // Saturating, so that a long run of digits cannot overflow.
        auto number = [&](size_t& at) {
            uint64_t v = 0;
            while (at < s.size() && s[at] >= '0' && s[at] <= '9') {
                v = v > 100000000000000000ull ? v : v * 10 + uint64_t(s[at] - '0');
                at++;
            }
            return v;
        };
        size_t at = i;
        uint64_t n = number(at);
        while (at < s.size() && s[at] == ' ') at++;
        if (s.compare(at, 2, "of") != 0) continue;
        at += 2;
        size_t spaces = at;
        while (at < s.size() && s[at] == ' ') at++;
        if (at == spaces || at >= s.size() || s[at] < '0' || s[at] > '9') continue;
        uint64_t m = number(at);
        if (m == 0) continue;
        found = n >= m ? 100 : int(n * 100 / m);
    }
    return found;
}

std::string progressLine(const std::string& title, const std::string& status, const std::string& hint,
                         uint32_t elapsedMs, int columns) {
    std::string line = title.empty() ? status : title + ": " + status;
    int pct = percentOf(status);
    if (pct >= 0) line += "  " + std::to_string(pct) + "%";
    uint32_t s = elapsedMs / 1000;
    char when[32];
    if (s >= 3600)
        std::snprintf(when, sizeof when, "  %u:%02u:%02u", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(when, sizeof when, "  %u:%02u", s / 60, s % 60);
    line += when;
    if (!hint.empty()) line += "  " + hint;
    for (char& c : line)
        if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    size_t most = columns > 1 ? size_t(columns - 1) : 1;
    if (line.size() > most) line.resize(most);
    return line;
}

}  // namespace term

namespace {

std::atomic<int> gInterrupts{0};

void onInterrupt(int) {
    if (gInterrupts.fetch_add(1) >= 1) {
        signal(SIGINT, SIG_DFL);
        raise(SIGINT);
    }
}

struct TerminalState {
    std::mutex lock;
    std::map<HWND, std::chrono::steady_clock::time_point> started;
    bool lineShown = false;
    bool hooked = false;
    struct sigaction previous {};
};
TerminalState& ts() {
    static TerminalState* s = new TerminalState;
    return *s;
}

void writeAll(const std::string& s) {
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t n = write(2, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= size_t(n);
    }
}

int columns() {
    struct winsize w {};
    if (ioctl(2, TIOCGWINSZ, &w) == 0 && w.ws_col > 0) return w.ws_col;
    const char* c = std::getenv("COLUMNS");
    int n = c ? std::atoi(c) : 0;
    return n > 0 ? n : 80;
}

// Takes the line away so that other output starts on a clean line (lock held).
void clearLineLocked() {
    if (ts().lineShown) writeAll("\r\x1b[K");
    ts().lineShown = false;
}

void hookLocked() {
    if (ts().hooked) return;
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a prompt's read returns when Ctrl-C is pressed
    if (sigaction(SIGINT, &sa, &ts().previous) == 0) ts().hooked = true;
    gInterrupts = 0;
}

void unhookLocked() {
    if (!ts().hooked) return;
    sigaction(SIGINT, &ts().previous, nullptr);
    ts().hooked = false;
}

void render(HWND id, const PanelView& v) {
    std::string status, hint;
    for (const PanelViewItem& i : v.items) {
        if (i.kind == 0 && status.empty()) status = i.text;
        if (i.kind == 1 && i.text == "&Done") hint = "(Enter: done)";
    }
    std::lock_guard<std::mutex> g(ts().lock);
    auto now = std::chrono::steady_clock::now();
    auto it = ts().started.emplace(id, now).first;
    hookLocked();
    uint32_t ms = uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now - it->second).count());
    writeAll("\r" + term::progressLine(v.title, status, hint, ms, columns()) + "\x1b[K");
    ts().lineShown = true;
}

void gone(HWND id) {
    std::lock_guard<std::mutex> g(ts().lock);
    if (!ts().started.erase(id)) return;
    // The final state stays on the screen.
    if (ts().lineShown) writeAll("\n");
    ts().lineShown = false;
    if (ts().started.empty()) unhookLocked();
}

void pollInput() {
    if (gInterrupts.exchange(0) > 0) {
        {
            std::lock_guard<std::mutex> g(ts().lock);
            clearLineLocked();
        }
        panelUserClose();
    }
    // Enter is looked for every 50 ms: progress may be reported far more often.
    static const bool inputIsTerminal = isatty(0);
    static std::atomic<int64_t> nextLook{0};
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    if (!inputIsTerminal || now < nextLook.load()) return;
    nextLook = now + 50;
    {
        std::lock_guard<std::mutex> g(ts().lock);
        if (ts().started.empty()) return;
    }
    struct pollfd p {0, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return;
    char buf[256];
    ssize_t n = read(0, buf, sizeof buf);
    for (ssize_t i = 0; i < n; i++)
        if (buf[i] == '\n') {
            panelUserKey(VK_RETURN);
            break;
        }
}

struct Choice {
    char letter;
    int id;
};

int prompt(const char* text, const char* title, uint32_t type) {
    std::vector<Choice> set;
    switch (type & 0xF) {
        case MB_OKCANCEL: set = {{'o', IDOK}, {'c', IDCANCEL}}; break;
        case MB_ABORTRETRYIGNORE: set = {{'a', IDABORT}, {'r', IDRETRY}, {'i', IDIGNORE}}; break;
        case MB_YESNOCANCEL: set = {{'y', IDYES}, {'n', IDNO}, {'c', IDCANCEL}}; break;
        case MB_YESNO: set = {{'y', IDYES}, {'n', IDNO}}; break;
        case MB_RETRYCANCEL: set = {{'r', IDRETRY}, {'c', IDCANCEL}}; break;
        default: set = {{'o', IDOK}}; break;
    }
    size_t def = (type >> 8) & 0xF;
    if (def >= set.size()) def = 0;
    std::string body;
    for (const char* p = text ? text : ""; *p; p++)
        if (*p != '\r') body += *p;
    std::string head = (title && *title) ? std::string(title) + ": " : std::string();
    if (set.size() == 1) {
        writeAll(head + body + "\n");
        return set[0].id;
    }
    std::string keys = " [";
    for (size_t i = 0; i < set.size(); i++) {
        if (i) keys += '/';
        keys += i == def ? char(set[i].letter - 32) : set[i].letter;
    }
    keys += "] ";
    for (;;) {
        writeAll(head + body + keys);
        std::string answer;
        char c;
        bool interrupted = false, ended = false;
        for (;;) {
            ssize_t n = read(0, &c, 1);
            if (n < 0 && errno == EINTR) {
                interrupted = true;
                break;
            }
            if (n <= 0) {
                ended = true;
                break;
            }
            if (c == '\n') break;
            answer += c;
        }
        if (interrupted) {
            // Ctrl-C at the question: Cancel where the box has one, else its default.
            gInterrupts = 0;
            writeAll("\n");
            for (const Choice& ch : set)
                if (ch.id == IDCANCEL) return IDCANCEL;
            return set[def].id;
        }
        if (ended) {
            writeAll("\n");
            return set[def].id;
        }
        size_t b = answer.find_first_not_of(" \t");
        if (b == std::string::npos) return set[def].id;
        char a = answer[b];
        if (a >= 'A' && a <= 'Z') a = char(a + 32);
        for (const Choice& ch : set)
            if (ch.letter == a) return ch.id;
    }
}

int messageBox(void*, const char* text, const char* title, uint32_t type, int scripted) {
    {
        std::lock_guard<std::mutex> g(ts().lock);
        clearLineLocked();
    }
    // Scripted answers, and a terminal nobody can type into, are left to the service.
    if (scripted || !isatty(0)) return 0;
    return prompt(text, title, type);
}

}  // namespace

// Views at most 10 times a second.
const DialogBackendOps kTerminalDialogOps{"terminal", messageBox, render, gone, pollInput, 100, true};

}  // namespace plat
