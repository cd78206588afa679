#include "kroutil/util/status_send.h"

#include <mutex>
#include <set>
#include <string>

namespace kro {

namespace {

struct WarnOnceState {
    std::mutex lock;
    std::set<std::string, std::less<>> shown;
};

WarnOnceState& warnOnce() {
    static WarnOnceState state;
    return state;
}

}  // namespace

bool statusProgress(KroStatusProc proc, const char* text, bool firstOfPhase) {
    if (!proc) return false;
    return proc(text ? text : "", firstOfPhase ? kStatusFirstProgress : kStatusProgress) != 0;
}

void statusError(KroStatusProc proc, const char* text) {
    if (proc) proc(text ? text : "", kStatusError);
}

void statusWarning(KroStatusProc proc, const char* text) {
    if (proc) proc(text ? text : "", kStatusWarning);
}

void statusDeclined(KroStatusProc proc) {
    if (proc) proc(nullptr, kStatusDeclined);
}

bool statusWarnOnce(KroStatusProc proc, std::string_view kind, const char* text) {
    if (!proc) return false;
    {
        WarnOnceState& s = warnOnce();
        std::lock_guard g(s.lock);
        if (!s.shown.emplace(kind).second) return false;
    }
    statusWarning(proc, text);
    return true;
}

void statusResetWarnOnce() {
    WarnOnceState& s = warnOnce();
    std::lock_guard g(s.lock);
    s.shown.clear();
}

}  // namespace kro
