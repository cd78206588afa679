// AVI write and read speed of 640 x 480 24-bit frames in MB/s next to cp of a file of the same
// size, and graphics output of still frames per second for each still format.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "kroutil/input/avi_reader.h"
#include "kroutil/ogfile.h"
#include "kroutil/output/avi_writer.h"
#include "kroutil/util.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

const char* const kUsage =
    "usage: bench_avi [FRAMES [DIR]]\n"
    "  Writes and reads an AVI of FRAMES (default 300) 640x480 24-bit frames in DIR (default /tmp)\n"
    "  and prints MB/s next to cp of a file of the same size (target: at least 0.8 times cp's\n"
    "  rate), then writes 100 frames of 640x480 through graphics output for each still format and\n"
    "  prints frames per second. Each AVI figure is the best of five runs.\n";

constexpr int32_t kWidth = 640, kHeight = 480;

}  // namespace

int main(int argc, char** argv) {
    bench::checkArgs(argc, argv, 2, kUsage);
    uint32_t frames = argc > 1 ? uint32_t(bench::positiveWhole(argv[1], "FRAMES", 100000, kUsage)) : 300;
    std::string dir = argc > 2 ? argv[2] : "/tmp";
    const std::string tag = std::to_string(Clock::now().time_since_epoch().count() % 1000000007);
    std::string avi = dir + "/bench_avi_" + tag + ".avi";
    std::string copy = avi + ".copy";

    // A few different frames, cycled, so that no two neighbours are equal.
    const uint32_t stride = kWidth * 3;
    std::vector<std::vector<uint8_t>> pictures(8, std::vector<uint8_t>(size_t(stride) * kHeight));
    for (size_t k = 0; k < pictures.size(); ++k)
        for (size_t i = 0; i < pictures[k].size(); ++i) pictures[k][i] = uint8_t(i * 7 + k * 31 + i / 1920);

    double bestWrite = 1e9, bestRead = 1e9, bestCp = 1e9;
    uint64_t size = 0;
    for (int run = 0; run < 5; ++run) {
        std::remove(avi.c_str());  // a fresh file each time, as cp's copy is
        auto t = Clock::now();
        kro::AviWriter* w = kro::aviWriterCreate(avi.c_str(), {kWidth, kHeight, 24, 30, 1});
        if (!w) {
            std::fprintf(stderr, "cannot create %s\n", avi.c_str());
            return 1;
        }
        for (uint32_t k = 0; k < frames; ++k) kro::aviWriterPutFrame(w, pictures[k % pictures.size()].data(), nullptr);
        size = kro::aviWriterClose(w);
        bestWrite = std::min(bestWrite, seconds(t));

        t = Clock::now();
        kro::AviReader* r = kro::aviOpen(avi.c_str());
        uint64_t checksum = 0;
        for (uint32_t k = 0; r && k < kro::aviVideo(r).frames; ++k)
            if (const kro::AviFrame* f = kro::aviReadFrame(r, k)) checksum += f->pixels[k % 1000];
        kro::aviClose(r);
        bestRead = std::min(bestRead, seconds(t));
        if (checksum == 0) std::fprintf(stderr, "(empty read)\n");

        t = Clock::now();
        std::string cmd = "cp '" + avi + "' '" + copy + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cp failed\n");
        bestCp = std::min(bestCp, seconds(t));
        std::remove(copy.c_str());
    }
    std::remove(avi.c_str());
    double mb = double(size) / 1e6;
    std::printf("AVI %u frames 640x480x24 (%.1f MB)\n", frames, mb);
    std::printf("  write  %8.1f MB/s  (%.2f x cp)\n", mb / bestWrite, bestCp / bestWrite);
    std::printf("  read   %8.1f MB/s  (%.2f x cp)\n", mb / bestRead, bestCp / bestRead);
    std::printf("  cp     %8.1f MB/s\n", mb / bestCp);

    // Still output through graphics output: 100 frames each.
    std::vector<uint8_t> frame32(size_t(kWidth) * kHeight * 4), frame8(size_t(kWidth) * kHeight), palette(768);
    for (size_t i = 0; i < frame32.size(); ++i) frame32[i] = uint8_t((i % 2560) / 10 + i / 25600);
    for (size_t i = 0; i < frame8.size(); ++i) frame8[i] = uint8_t((i % 640) / 3 + i / 64000);
    for (int i = 0; i < 768; ++i) palette[size_t(i)] = uint8_t(i / 3);
    struct Still {
        const char* ext;
        bool trueColour;
    } stills[] = {{"bmp", true}, {"jpg", true}, {"png", true}, {"tga", true}, {"tif", true},
                  {"bmp", false}, {"png", false}, {"pcx", false}, {"gif", false}};
    std::printf("Still output, 100 frames of 640x480\n");
    for (const Still& s : stills) {
        std::string name = dir + "/bench_still_" + tag + "." + s.ext;
        auto t = Clock::now();
        OGFile* o = OGFileCreate(nullptr, name.c_str(), 100, 30, 1, kWidth, kHeight, kWidth, nullptr, 2,
                                 s.trueColour ? 0 : 1);
        if (!o) {
            std::printf("  %-4s %-6s  not available\n", s.ext, s.trueColour ? "24-bit" : "8-bit");
            continue;
        }
        for (int k = 0; k < 100; ++k) OGFilePut(o, s.trueColour ? frame32.data() : frame8.data(), palette.data());
        int error = o->error;
        OGFileClose(o);
        double dt = seconds(t);
        std::printf("  %-4s %-6s %8.1f frames/s%s\n", s.ext, s.trueColour ? "24-bit" : "8-bit", 100 / dt,
                    error ? "  (a write failed)" : "");
        std::string base = name.substr(0, name.size() - 4);
        for (int k = 0; k < 100; ++k) {
            char n[16];
            std::snprintf(n, sizeof n, "%03d.", k);
            std::remove((base + n + s.ext).c_str());
        }
    }
    return 0;
}
