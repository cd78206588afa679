// Torvex writer: encoding speed (frames per second) and peak resident memory, for 640 x 480
// noise of 255 colours and for a typical scene (a sprite moving over a still background).
//
// Memory is measured in a child process per case (its peak resident set, from wait4), so that
// each figure is that encode's alone. Frames are generated on the fly for the memory cases.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "encoder/torvex_writer.h"

namespace {

constexpr uint32_t kW = 640, kH = 480;

const char* kHelp =
    "usage: bench_encoder [--speed] [--memory] [--repeat N] [--frames N] [--one-call]\n"
    "  Torvex writer figures for 640 x 480 frames, version 4, no sound:\n"
    "  --speed       encode frames per second for noise of 255 colours and a typical scene\n"
    "                (a sprite moving over a still background), best, median and worst of\n"
    "                the repeats (targets: 300 and 1500 frames/s)\n"
    "  --memory      peak resident memory of encoding 300 and 9000 frames generated on the\n"
    "                fly, each in a child process (target: under 64 MB, not growing with the\n"
    "                count)\n"
    "  --repeat N    speed runs per case (default 5)\n"
    "  --frames N    frames per speed run (default 300)\n"
    "  --one-call    give the writer every frame at once (the one-call writer) instead of\n"
    "                a frame source\n"
    "  Without --speed or --memory both are measured. The machine may be shared: repeat and\n"
    "  read the range.\n";

uint32_t rnd(uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

enum class Kind { Noise, Scene };

const char* nameOf(Kind k) { return k == Kind::Noise ? "noise of 255 colours" : "typical scene"; }

std::vector<uint8_t> background() {
    std::vector<uint8_t> px(kW * kH);
    uint32_t s = 99;
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            uint32_t region = (x / 80 + y / 60) % 4;
            uint8_t v = region == 0 ? uint8_t(x / 80 * 9 + y / 60)
                        : region == 1 ? uint8_t(((x ^ y) & 4) ? 20 : 30)
                        : region == 2 ? uint8_t(40 + (x + y) / 16 % 32)
                                      : uint8_t(rnd(s) % 16 + 100);
            px[y * kW + x] = v;
        }
    return px;
}

// Makes frame k of a clip. Noise: fresh noise each frame (at most 255 colours: with all 256
// every 16-bit pair would occur and leave the full tree no value for its escapes). Scene: the
// background with a round sprite moving over it.
struct Generator {
    Kind kind;
    std::vector<uint8_t> bg, palette;
    explicit Generator(Kind k) : kind(k), palette(768) {
        for (int i = 0; i < 768; ++i) palette[size_t(i)] = uint8_t(i * 7);
        if (kind == Kind::Scene) bg = background();
    }
    void frame(uint32_t k, uint8_t* px) const {
        if (kind == Kind::Noise) {
            uint32_t s = 12345 + k * 7919;
            for (uint32_t i = 0; i < kW * kH; ++i) px[i] = uint8_t((rnd(s) >> 7) % 255);
            return;
        }
        std::memcpy(px, bg.data(), bg.size());
        uint32_t sx = (k * 6) % (kW - 64), sy = (k * 4) % (kH - 64);
        for (uint32_t y = 0; y < 64; ++y)
            for (uint32_t x = 0; x < 64; ++x) {
                uint32_t dx = x - 32, dy = y - 32;
                if (dx * dx + dy * dy < 30 * 30) px[(sy + y) * kW + sx + x] = uint8_t(200 + (x * 3 + y * 5 + k) % 40);
            }
    }
};

// Noise frames for the speed runs come from a bank of 16 (making noise costs more than a
// tenth of encoding it); scene frames are made as asked, which costs little.
constexpr uint32_t kBank = 16;

double seconds(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

std::string tempPath(const char* tag) {
    return (std::filesystem::temp_directory_path() / ("torvex_encoder_bench_" + std::to_string(getpid()) + tag + ".tvx")).string();
}

TorvexWriterOptions benchOptions() {
    TorvexWriterOptions o;
    o.version = 4;
    o.frameRate = 66;
    return o;
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_encoder: %s\n", what.c_str());
    std::exit(1);
}

// The one-call writer's input: every frame in memory at once.
struct AllFrames {
    Generator g;
    std::vector<std::vector<uint8_t>> pixels;
    std::vector<TorvexWriterFrame> list;
    AllFrames(Kind kind, uint32_t frames, bool banked) : g(kind) {
        uint32_t made = banked && kind == Kind::Noise ? std::min(frames, kBank) : frames;
        pixels.assign(made, std::vector<uint8_t>(kW * kH));
        for (uint32_t k = 0; k < made; ++k) g.frame(k, pixels[k].data());
        for (uint32_t k = 0; k < frames; ++k) list.push_back({pixels[k % made].data(), g.palette.data(), false});
    }
    void write(const std::string& path) const {
        std::string error;
        if (!TorvexWrite(path, kW, kH, list, benchOptions(), &error)) die(error);
    }
};

struct Settings {
    bool speed = false, memory = false, oneCall = false;
    int repeat = 5;
    uint32_t frames = 300;
};

// Frames made as the writer asks for them, through the one buffer (noise from the bank when
// banked).
class MadeFrames : public TorvexFrameSource {
public:
    MadeFrames(Kind kind, uint32_t frames, bool banked) : g_(kind), frames_(frames), pixels_(kW * kH) {
        if (banked && kind == Kind::Noise) {
            bank_.assign(std::min(frames, kBank), std::vector<uint8_t>(kW * kH));
            for (uint32_t k = 0; k < bank_.size(); ++k) g_.frame(k, bank_[k].data());
        }
    }
    Status next(TorvexWriterFrame* frame, std::string*) override {
        if (at_ >= frames_) return Status::End;
        const uint8_t* px = pixels_.data();
        if (bank_.empty()) g_.frame(at_, pixels_.data());
        else px = bank_[at_ % bank_.size()].data();
        *frame = {px, g_.palette.data(), false};
        ++at_;
        return Status::Frame;
    }
    bool rewind(std::string*) override {
        at_ = 0;
        return true;
    }

private:
    Generator g_;
    uint32_t frames_, at_ = 0;
    std::vector<uint8_t> pixels_;
    std::vector<std::vector<uint8_t>> bank_;
};

// One encode; for the one-call writer the frames are made before the clock starts, for the
// frame source as they are asked for (both passes).
double timedEncode(const Settings& s, Kind kind, uint32_t frames, const std::string& path, bool banked) {
    std::string error;
    if (s.oneCall) {
        AllFrames all(kind, frames, banked);
        auto start = std::chrono::steady_clock::now();
        all.write(path);
        return seconds(start);
    }
    MadeFrames source(kind, frames, banked);
    auto start = std::chrono::steady_clock::now();
    TorvexStreamWriter w;
    if (!w.open(path, kW, kH, benchOptions(), &error) || !w.write(source, &error)) die(error);
    return seconds(start);
}

void speed(const Settings& s) {
    std::printf("encode speed, %u x %u, %u frames per run, %d runs (%s):\n", kW, kH, s.frames, s.repeat,
                s.oneCall ? "one-call writer" : "frame source");
    for (Kind kind : {Kind::Noise, Kind::Scene}) {
        std::vector<double> rates;
        std::string path = tempPath("speed");
        for (int r = 0; r < s.repeat; ++r) {
            rates.push_back(s.frames / timedEncode(s, kind, s.frames, path, true));
        }
        std::remove(path.c_str());
        std::sort(rates.begin(), rates.end());
        double target = kind == Kind::Noise ? 300 : 1500;
        std::printf("  %-22s best %7.0f  median %7.0f  worst %7.0f frames/s  (target %.0f: %s)\n", nameOf(kind),
                    rates.back(), rates[rates.size() / 2], rates.front(), target,
                    rates[rates.size() / 2] >= target ? "met" : "NOT met");
    }
}

void memory(const Settings& s) {
    std::printf("peak resident memory, %u x %u frames generated on the fly (%s):\n", kW, kH,
                s.oneCall ? "one-call writer" : "frame source");
    for (Kind kind : {Kind::Scene, Kind::Noise}) {
        for (uint32_t frames : {300u, 9000u}) {
            if (s.oneCall && frames > 300) continue;  // would take gigabytes
            std::string path = tempPath("memory");
            auto start = std::chrono::steady_clock::now();
            pid_t child = fork();
            if (child < 0) die("fork failed");
            if (child == 0) {
                timedEncode(s, kind, frames, path, false);
                _exit(0);
            }
            int status = 0;
            struct rusage use {};
            if (wait4(child, &status, 0, &use) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
                die("the encoding child failed");
            double took = seconds(start);
            std::remove(path.c_str());
            std::printf("  %-22s %5u frames: %7.1f MB peak resident  (%.1f s; target under 64 MB: %s)\n", nameOf(kind),
                        frames, use.ru_maxrss / 1024.0, took, use.ru_maxrss < 64 * 1024 ? "met" : "NOT met");
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto number = [&](long lo, long hi) {
            if (i + 1 >= argc) die(a + " needs a number");
            char* end = nullptr;
            long v = std::strtol(argv[++i], &end, 10);
            if (*end || v < lo || v > hi) die(a + " needs a number from " + std::to_string(lo) + " to " + std::to_string(hi));
            return v;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--speed") {
            s.speed = true;
        } else if (a == "--memory") {
            s.memory = true;
        } else if (a == "--one-call") {
            s.oneCall = true;
        } else if (a == "--repeat") {
            s.repeat = int(number(1, 1000));
        } else if (a == "--frames") {
            s.frames = uint32_t(number(1, 100000));
        } else {
            std::fprintf(stderr, "bench_encoder: unknown argument %s\n%s", a.c_str(), kHelp);
            return 2;
        }
    }
    if (!s.speed && !s.memory) s.speed = s.memory = true;
    std::fflush(stdout);
    if (s.speed) speed(s);
    if (s.memory) memory(s);
    return 0;
}
