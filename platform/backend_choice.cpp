// The one place that chooses the back-ends of the window, display and dialog services. They
// are chosen together, once, at first use: TORVEX_VIDEO=sdl|headless, else SDL when a display
// is named (DISPLAY or WAYLAND_DISPLAY) and SDL's video starts, else headless. Headless dialogs
// are the terminal's when standard error is a terminal and nothing is being captured (a person
// is watching, not a test).
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/dialog_backend.h"
#include "platform/display_backend.h"
#include "platform/window.h"
#include "platform/window_internal.h"

namespace plat {
namespace {

struct BackendSet {
    VideoBackend kind;
    const WindowBackendOps* window;
    const DisplayBackendOps* display;
    const DialogBackendOps* dialog;
};

const BackendSet kHeadlessSet{VideoBackend::Headless, &kHeadlessWindowOps, &kHeadlessDisplayOps, &kHeadlessDialogOps};
const BackendSet kSdlSet{VideoBackend::Sdl, &kSdlWindowOps, &kSdlDisplayOps, &kSdlDialogOps};
const BackendSet kTerminalSet{VideoBackend::Headless, &kHeadlessWindowOps, &kHeadlessDisplayOps, &kTerminalDialogOps};

struct ChoiceState {
    std::mutex lock;
    std::atomic<const BackendSet*> chosen{nullptr};
};
ChoiceState& choice() {
    static ChoiceState* s = new ChoiceState;  // outlives static destructors of callers
    return *s;
}

std::string lower(const char* s) {
    std::string out = s ? s : "";
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

const BackendSet* decide() {
    const char* env = std::getenv("TORVEX_VIDEO");
    std::string want = env ? lower(env) : "";
    bool trySdl = false;
    if (want == "sdl") {
        trySdl = true;
    } else if (want == "headless") {
        trySdl = false;
    } else {
        if (!want.empty()) std::fprintf(stderr, "TORVEX_VIDEO=%s is not known; choosing by display\n", env);
        const char* d = std::getenv("DISPLAY");
        const char* wl = std::getenv("WAYLAND_DISPLAY");
        trySdl = (d && *d) || (wl && *wl);
    }
    if (trySdl) {
        if (kSdlSet.window->start()) return &kSdlSet;
        if (want == "sdl") std::fprintf(stderr, "SDL video could not start; using the headless back-end\n");
    }
    const char* capture = std::getenv("TORVEX_CAPTURE");
    if (isatty(2) && !(capture && *capture)) return &kTerminalSet;
    return &kHeadlessSet;
}

const BackendSet& chosenSet() {
    const BackendSet* s = choice().chosen.load(std::memory_order_acquire);
    if (s) return *s;
    std::lock_guard<std::mutex> g(choice().lock);
    s = choice().chosen.load(std::memory_order_relaxed);
    if (!s) {
        s = decide();
        choice().chosen.store(s, std::memory_order_release);
    }
    return *s;
}

}  // namespace

const WindowBackendOps& windowOps() { return *chosenSet().window; }
const DisplayBackendOps& displayOps() { return *chosenSet().display; }
const DialogBackendOps& dialogOps() { return *chosenSet().dialog; }

VideoBackend videoBackend() { return chosenSet().kind; }

const char* videoBackendName() { return chosenSet().window->name; }

void setTerminalDialogsForTest() {
    {
        std::lock_guard<std::mutex> g(choice().lock);
        choice().chosen.store(&kTerminalSet, std::memory_order_release);
    }
    win::forgetDesktopSize();
}

void setVideoBackendForTest(VideoBackend backend) {
    const BackendSet* s = backend == VideoBackend::Sdl ? &kSdlSet : &kHeadlessSet;
    if (!s->window->start()) return;
    {
        std::lock_guard<std::mutex> g(choice().lock);
        choice().chosen.store(s, std::memory_order_release);
    }
    win::forgetDesktopSize();
}

}  // namespace plat
