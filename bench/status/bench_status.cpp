// The cost of progress reporting: StatusSet calls per second headless and in the terminal's
// rendering (its line goes to standard error, at most 10 times a second), and the share of a
// 640 x 480 frame loop's time that one call per frame takes.
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "bench/bench_args.h"
#include "kroutil/status.h"
#include "platform/display.h"
#include "platform/window.h"

namespace {

double seconds(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

plat::LRESULT proc(plat::HWND h, plat::UINT m, plat::WPARAM w, plat::LPARAM l) { return plat::defWindowProc(h, m, w, l); }

// Seconds per StatusSet call (best of five rounds), with a text that changes every call.
double statusSetCost(int calls) {
    StatusInit(reinterpret_cast<void*>(0x1234), nullptr, 1);
    if (!StatusOpen("Benchmark", "progress", nullptr)) return -1;
    char text[64];
    double best = 1e9;
    for (int round = 0; round < 5; round++) {
        auto t = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; i++) {
            std::snprintf(text, sizeof text, "Frame %d of %d", i + 1, calls);
            StatusSet(text);
        }
        best = std::min(best, seconds(t) / calls);
    }
    StatusClose(0);
    return best;
}

// Seconds per frame of a 640 x 480 loop: a changed picture converted through the palette (as
// the screen back-end does) and presented.
double frameCost() {
    const int w = 640, h = 480;
    std::mt19937 rng(1);
    std::vector<uint8_t> frame(size_t(w) * h);
    for (auto& b : frame) b = uint8_t(rng());
    std::vector<uint32_t> pal(256), out(size_t(w) * h);
    for (auto& p : pal) p = rng() & 0xFFFFFF;
    plat::WNDCLASS wc;
    wc.lpfnWndProc = proc;
    wc.lpszClassName = "BenchFrames";
    plat::registerClass(wc);
    plat::HWND win = plat::createWindowEx(0, "BenchFrames", "", plat::WS_POPUP, 0, 0, w, h, 0, nullptr);
    plat::attachFrameBuffer(win, frame.data(), w, h, w, false);
    double best = 1e9;
    for (int round = 0; round < 5; round++) {
        const int reps = 100;
        auto t = std::chrono::steady_clock::now();
        for (int i = 0; i < reps; i++) {
            frame[size_t(i) * 7] = uint8_t(i);
            plat::convertIndexedRect(frame.data(), w, out.data(), w, w, h, pal.data());
            plat::presentAll(win);
        }
        best = std::min(best, seconds(t) / reps);
    }
    plat::destroyWindow(win);
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    bench::checkArgs(argc, argv, 0,
                     "Usage: bench_status [2>/dev/null]\n"
                     "Prints StatusSet calls per second headless and in the terminal's rendering (its progress\n"
                     "line goes to standard error), and the share of a 640 x 480 frame loop's time that one\n"
                     "call per frame takes (target: under 1 %).\n");
    plat::setVideoBackendForTest(plat::VideoBackend::Headless);
    double frame = frameCost();
    double headless = statusSetCost(200000);
    plat::resetWindowSystem();
    plat::setTerminalDialogsForTest();
    double terminal = statusSetCost(200000);
    std::fprintf(stderr, "\n");
    std::printf("640x480 frame loop (palette conversion and present): %.3f ms a frame\n", frame * 1e3);
    std::printf("StatusSet headless: %.0f calls/s (%.2f us a call), %.3f %% of the frame loop\n", 1 / headless,
                headless * 1e6, 100 * headless / (frame + headless));
    std::printf("StatusSet terminal: %.0f calls/s (%.2f us a call), %.3f %% of the frame loop\n", 1 / terminal,
                terminal * 1e6, 100 * terminal / (frame + terminal));
    return 0;
}
