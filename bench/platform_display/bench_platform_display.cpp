// Speed of showing a 640 x 480 8-bit frame: the palette conversion into 32-bit pixels that the
// SDL back-end runs for every presented rectangle, and a whole headless present; plus the
// mixer's resampler in frames per second.
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "bench/bench_args.h"
#include "platform/audio.h"
#include "platform/display.h"
#include "platform/window.h"

namespace {

double seconds(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

plat::LRESULT proc(plat::HWND h, plat::UINT m, plat::WPARAM w, plat::LPARAM l) { return plat::defWindowProc(h, m, w, l); }

}  // namespace

int main(int argc, char** argv) {
    bench::checkArgs(argc, argv, 0,
                     "Usage: bench_platform_display\n"
                     "Prints the speed of converting a 640 x 480 8-bit frame into 32-bit pixels, of a whole\n"
                     "headless present, and of the mixer's resampler.\n");
    const int w = 640, h = 480;
    std::mt19937 rng(1);
    std::vector<uint8_t> frame(size_t(w) * h);
    for (auto& b : frame) b = uint8_t(rng());
    std::vector<uint32_t> pal(256), out(size_t(w) * h);
    for (auto& p : pal) p = rng() & 0xFFFFFF;

    double best = 1e9;
    for (int round = 0; round < 5; round++) {
        const int reps = 200;
        auto t = std::chrono::steady_clock::now();
        for (int i = 0; i < reps; i++) {
            frame[size_t(i)] = uint8_t(i);  // keep each pass honest
            plat::convertIndexedRect(frame.data(), w, out.data(), w, w, h, pal.data());
        }
        best = std::min(best, seconds(t) / reps);
    }
    uint64_t check = 0;
    for (size_t i = 0; i < out.size(); i += 997) check += out[i];
    std::printf("palette conversion 640x480: %.0f Mpixel/s (%.3f ms a frame) [check %llu]\n",
                double(w) * h / best / 1e6, best * 1e3, (unsigned long long)check);

    plat::setVideoBackendForTest(plat::VideoBackend::Headless);
    plat::WNDCLASS wc;
    wc.lpfnWndProc = proc;
    wc.lpszClassName = "Bench";
    plat::registerClass(wc);
    plat::HWND win = plat::createWindowEx(0, "Bench", "", plat::WS_POPUP, 0, 0, w, h, 0, nullptr);
    plat::attachFrameBuffer(win, frame.data(), w, h, w, false);
    best = 1e9;
    for (int round = 0; round < 5; round++) {
        const int reps = 200;
        auto t = std::chrono::steady_clock::now();
        for (int i = 0; i < reps; i++) {
            frame[size_t(i) * 7] = uint8_t(i);
            plat::presentAll(win);
        }
        best = std::min(best, seconds(t) / reps);
    }
    std::printf("headless present 640x480: %.0f Mpixel/s (%.3f ms a frame)\n", double(w) * h / best / 1e6, best * 1e3);

    std::vector<float> pcm(22050 * 2 * 4);
    for (auto& s : pcm) s = float(int(rng() % 2001) - 1000) / 1000.0f;
    auto t = std::chrono::steady_clock::now();
    auto res = plat::resampleFrames(pcm.data(), pcm.size() / 2, 2, 22050, 44100);
    double s = seconds(t);
    std::printf("resampler 22050 -> 44100 stereo: %.1f M output frames/s (%.0fx real time) [%zu]\n",
                double(res.size() / 2) / s / 1e6, double(res.size() / 2) / 44100.0 / s, res.size());
    return 0;
}
