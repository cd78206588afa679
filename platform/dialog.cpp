// Message boxes: the scripted answer and the capture log here, the box itself through the chosen
// back-end (dialog_backend.h); standard error when the back-end shows none.
#include "platform/dialog.h"

#include "platform/dialog_backend.h"
#include "platform/display.h"
#include "platform/window_backend.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace plat {
namespace {

struct DialogState {
    std::mutex lock;
    bool answersLoaded = false;
    std::vector<std::string> answers;
    size_t nextAnswer = 0;
    std::vector<MessageBoxRecord>* capture = nullptr;
};
DialogState& dialogState() {
    static DialogState s;
    return s;
}

std::vector<std::string> splitAnswers(const std::string& list) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : list) {
        if (c == ',') {
            out.push_back(cur);
            cur.clear();
        } else if (c != ' ' && c != '\t') {
            cur += (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
        }
    }
    if (!cur.empty() || !out.empty()) out.push_back(cur);
    return out;
}

// The buttons of a set, in their order on the box.
std::vector<int> buttonsOf(uint32_t type) {
    switch (type & 0xF) {
        case MB_OKCANCEL: return {IDOK, IDCANCEL};
        case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
        case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
        case MB_YESNO: return {IDYES, IDNO};
        case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
        default: return {IDOK};
    }
}

const char* answerName(int id) {
    switch (id) {
        case IDOK: return "ok";
        case IDCANCEL: return "cancel";
        case IDABORT: return "abort";
        case IDRETRY: return "retry";
        case IDIGNORE: return "ignore";
        case IDYES: return "yes";
        case IDNO: return "no";
        default: return "none";
    }
}

int idOfAnswer(const std::string& a) {
    if (a == "ok") return IDOK;
    if (a == "cancel") return IDCANCEL;
    if (a == "abort") return IDABORT;
    if (a == "retry") return IDRETRY;
    if (a == "ignore") return IDIGNORE;
    if (a == "yes") return IDYES;
    if (a == "no") return IDNO;
    return 0;
}

}  // namespace

int messageBox(uintptr_t owner, const char* text, const char* title, uint32_t type) {
    DialogState& s = dialogState();
    std::unique_lock<std::mutex> guard(s.lock);
    if (!s.answersLoaded) {
        const char* env = std::getenv("TORVEX_ANSWERS");
        s.answers = splitAnswers(env ? env : "");
        s.answersLoaded = true;
    }
    std::vector<int> buttons = buttonsOf(type);
    size_t def = (type >> 8) & 0xF;
    if (def >= buttons.size()) def = 0;
    int result = buttons[def];
    bool scripted = false;
    if (s.nextAnswer < s.answers.size()) {
        int wanted = idOfAnswer(s.answers[s.nextAnswer++]);
        for (int b : buttons)
            if (b == wanted) {
                result = b;
                scripted = true;
            }
    }
    std::string t = title ? title : "";
    std::string x = text ? text : "";
    std::string flat;
    for (char c : x) flat += (c == '\r' || c == '\n') ? ' ' : c;
    auto logBox = [&](int answer) {
        captureLogLine("messagebox title=\"" + t + "\" text=\"" + flat + "\" answer=" + answerName(answer));
    };
    if (s.capture) {
        logBox(result);
        s.capture->push_back(MessageBoxRecord{t, x, type, result});
        return result;
    }
    if (const auto show = dialogOps().messageBox) {
        // The box waits for the user: the lock must not be held meanwhile.
        guard.unlock();
        int chosen = show(windowOps().nativeWindow(HWND(owner)), text, title, type, scripted ? result : 0);
        guard.lock();
        if (chosen) {
            logBox(chosen);
            return chosen;
        }
    }
    logBox(result);
    std::string shown;
    shown.reserve(x.size());
    for (char c : x)
        if (c != '\r') shown += c;
    std::fprintf(stderr, "[%s]\n%s\n\n", t.c_str(), shown.c_str());
    std::fflush(stderr);
    return result;
}

void setMessageBoxCapture(std::vector<MessageBoxRecord>* sink) {
    DialogState& s = dialogState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.capture = sink;
}

void setMessageBoxAnswers(const std::string& commaList) {
    DialogState& s = dialogState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.answers = splitAnswers(commaList);
    s.answersLoaded = true;
    s.nextAnswer = 0;
}

}  // namespace plat
