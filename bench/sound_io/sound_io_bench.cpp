// Sound input and sound conversion speed on one WAV file of 44100 Hz 16-bit stereo test music:
// SFile's format change (to 8-bit mono) and rate change (to 22050 Hz), each read whole and
// written to a file, in seconds of sound per second next to sox doing the same; CSFile at
// levels 0 and 104 as multiples of real time, and level 0's output size next to sox's FLAC.
// Every figure is the best of a few runs.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "kroutil/csfile.h"
#include "kroutil/kro_file.h"
#include "kroutil/sfile.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 3;
const char* const kSox = "/usr/bin/sox";

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// Music-like test sound: two tones, a decaying bell every half second and some hiss.
bool writeTestWave(const std::string& path, double seconds) {
    const uint32_t rate = 44100;
    const size_t frames = size_t(rate * seconds);
    std::vector<uint8_t> b = {'R', 'I', 'F', 'F'};
    put32(b, uint32_t(36 + frames * 4));
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(b, 16);
    put16(b, 1);
    put16(b, 2);
    put32(b, rate);
    put32(b, rate * 4);
    put16(b, 4);
    put16(b, 16);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put32(b, uint32_t(frames * 4));
    uint32_t seed = 1;
    for (size_t i = 0; i < frames; ++i) {
        double t = double(i) / rate;
        double music = 6000 * std::sin(2 * M_PI * 220 * t) + 3000 * std::sin(2 * M_PI * 330 * t + std::sin(t)) +
                       1500 * std::sin(2 * M_PI * 1760 * t) * std::exp(-std::fmod(t, 0.5) * 6);
        seed = seed * 1664525u + 1013904223u;
        double hiss = (int32_t(seed >> 16) - 32768) / 64.0;
        put16(b, uint16_t(int16_t(music + hiss)));
        put16(b, uint16_t(int16_t(music * 0.8 - hiss)));
    }
    KroFile* f = KroFileCreate(0, path.c_str());
    if (!f) return false;
    bool ok = KroFilePut(f, b.data(), uint32_t(b.size())) == b.size();
    KroFileClose(f);
    return ok;
}

// Reads the whole sound through SFile in the given output format and writes it to out;
// returns the best time.
double sfileConvert(const std::string& in, const std::string& out, uint32_t rate, uint32_t bits, uint32_t channels,
                    uint64_t* bytes) {
    double best = 1e30;
    std::vector<uint8_t> buffer(1 << 16);
    for (int r = 0; r < kRuns; ++r) {
        auto t0 = Clock::now();
        SFile* s = SFileOpen(in.c_str(), rate, bits, channels, 0, 0, 0, 0, 0, nullptr);
        KroFile* f = KroFileCreate(0, out.c_str());
        if (!s || !f) {
            std::fprintf(stderr, "cannot convert %s\n", in.c_str());
            std::exit(1);
        }
        *bytes = 0;
        for (uint32_t n; (n = SFileGet(s, buffer.data(), uint32_t(buffer.size()))) != 0;) {
            KroFilePut(f, buffer.data(), n);
            *bytes += n;
        }
        SFileClose(s);
        KroFileClose(f);
        best = std::min(best, since(t0));
    }
    return best;
}

// Best time of a sox command, or a negative value when sox is missing or fails.
double soxTime(const std::string& args) {
    if (!fs::exists(kSox)) return -1;
    double best = 1e30;
    for (int r = 0; r < kRuns; ++r) {
        auto t0 = Clock::now();
        if (std::system((std::string(kSox) + " " + args + " >/dev/null 2>&1").c_str()) != 0) return -1;
        best = std::min(best, since(t0));
    }
    return best;
}

// Writes the whole sound through CSFile in blocks of one second; returns the best time and the
// file size.
double csfileWrite(const std::string& in, const std::string& out, int32_t level, uint64_t* size) {
    double best = 1e30;
    for (int r = 0; r < kRuns; ++r) {
        auto t0 = Clock::now();
        CSFile* c = CSFileOpen(in.c_str(), level, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
        KroFile* f = KroFileCreate(0, out.c_str());
        if (!c || !f) {
            std::fprintf(stderr, "cannot write level %d\n", level);
            std::exit(1);
        }
        CSFileSetOutput(c, f);
        const uint32_t second = c->sound->outputRate * c->sound->outputFrameBytes;
        while (CSFilePut(c, second) != 0) {
        }
        CSFileClose(c);
        KroFileClose(f);
        best = std::min(best, since(t0));
    }
    *size = fs::file_size(out);
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "Usage: bench_sound_io [SECONDS]\n"
        "Writes SECONDS (default 60) of 44100 Hz 16-bit stereo test music as a WAV file and prints\n"
        "SFile's format change (8-bit mono) and rate change (22050 Hz) in seconds of sound per\n"
        "second next to sox, CSFile's level 0 and level 104 as multiples of real time, and level\n"
        "0's output size next to sox's FLAC.\n";
    bench::checkArgs(argc, argv, 1, usage);
    const double seconds = argc > 1 ? bench::positive(argv[1], "SECONDS", usage) : 60.0;
    const fs::path dir = fs::temp_directory_path() / ("bench_sound_io_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string in = (dir / "in.wav").string();
    if (!writeTestWave(in, seconds)) {
        std::fprintf(stderr, "cannot write %s\n", in.c_str());
        return 1;
    }
    std::printf("%.0f s of 44100 Hz 16-bit stereo test music (%.1f MB), best of %d runs\n\n", seconds,
                double(fs::file_size(in)) / 1e6, kRuns);

    std::printf("%-36s %14s %14s %8s %8s\n", "conversion (read, convert, write)", "SFile s/s", "sox s/s", "ratio",
                "target");
    struct Conversion {
        const char* what;
        uint32_t rate, bits, channels;
        const char* soxArgs;
        double target;
    } conversions[] = {
        {"16-bit stereo to 8-bit mono", 0, 8, 1, "-b 8 -c 1", 1.5},
        {"44100 Hz to 22050 Hz", 22050, 0, 0, "-r 22050", 2.0},
    };
    for (const Conversion& c : conversions) {
        uint64_t bytes = 0;
        double ours = sfileConvert(in, (dir / "sfile.raw").string(), c.rate, c.bits, c.channels, &bytes);
        double peer = soxTime(in + " " + c.soxArgs + " " + (dir / "sox.wav").string());
        if (peer > 0)
            std::printf("%-36s %14.0f %14.0f %7.2fx %7.1fx\n", c.what, seconds / ours, seconds / peer, peer / ours,
                        c.target);
        else
            std::printf("%-36s %14.0f %14s %8s %7.1fx\n", c.what, seconds / ours, "(no sox)", "-", c.target);
    }

    std::printf("\n%-36s %14s %14s %8s\n", "CSFile, blocks of 1 s", "x real time", "size MB", "target");
    uint64_t level0Size = 0;
    for (int32_t level : {0, 104}) {
        uint64_t size = 0;
        double t = csfileWrite(in, (dir / "csfile.bin").string(), level, &size);
        if (level == 0) level0Size = size;
        std::printf("level %-30d %14.0f %14.2f %7.0fx\n", level, seconds / t, double(size) / 1e6, level ? 100.0 : 50.0);
    }
    const std::string flac = (dir / "sox.flac").string();
    if (soxTime(in + " " + flac) > 0) {
        uint64_t flacSize = fs::file_size(flac);
        std::printf("\nlevel 0 size %.2f MB, sox FLAC %.2f MB (level 0 / FLAC = %.2f), WAV %.2f MB\n",
                    double(level0Size) / 1e6, double(flacSize) / 1e6, double(level0Size) / double(flacSize),
                    double(fs::file_size(in)) / 1e6);
    } else {
        std::printf("\nlevel 0 size %.2f MB (no sox for the FLAC size)\n", double(level0Size) / 1e6);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
