// Plays a 640 x 480 animation at 15 frames a second with a 44100 Hz stereo sound track through
// ANIMATIONPLAY, headless (no picture is written anywhere) on the real clock, and prints the
// processor time the play used as a share of one core. The file is written first by the
// project's writer: a still background with a moving sprite and a rolling band, so that each
// frame changes a part of the picture as real presentations do, and a music-like tone mix.
//
// Usage: bench_animation_play [seconds (20)] [raw|dpcm|dct (dct)]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "encoder/torvex_writer.h"
#include "platform/audio.h"
#include "platform/dialog.h"
#include "platform/window.h"
#include "player/engine/script.h"
#include "player/runtime/runtime.h"

namespace {

constexpr uint32_t kWidth = 640, kHeight = 480, kRate = 44100;

std::string gScriptText;
bool source(const char*, std::string& text) {
    text = gScriptText;
    return true;
}

void drawFrame(std::vector<uint8_t>& px, uint32_t k) {
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x) px[y * kWidth + x] = uint8_t(16 + (x / 8 + y / 12) % 64);
    // A band of 32 rows rolling down the picture.
    uint32_t band = (k * 6) % kHeight;
    for (uint32_t y = band; y < band + 32 && y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x) px[y * kWidth + x] = uint8_t(96 + ((x + k * 4) / 16) % 32);
    // A 128 x 96 sprite moving on a circle.
    double a = double(k) * 0.05;
    int32_t sx = int32_t(256 + 200 * std::cos(a)), sy = int32_t(192 + 150 * std::sin(a));
    for (int32_t y = 0; y < 96; ++y)
        for (int32_t x = 0; x < 128; ++x) {
            int32_t X = sx + x, Y = sy + y;
            if (X < 0 || Y < 0 || X >= int32_t(kWidth) || Y >= int32_t(kHeight)) continue;
            px[uint32_t(Y) * kWidth + uint32_t(X)] = uint8_t(160 + ((x ^ y) + int32_t(k)) % 64);
        }
}

TorvexWriterTrack music(double seconds, TorvexAudioCoding coding) {
    TorvexWriterTrack t;
    t.rate = kRate;
    t.channels = 2;
    t.bits = 16;
    t.coding = coding;
    t.quality = 20;
    size_t frames = size_t(kRate * seconds);
    t.pcm.reserve(frames * 4);
    for (size_t i = 0; i < frames; ++i) {
        double s = double(i) / kRate;
        double note = 220.0 * std::pow(2.0, double(int(s * 4) % 12) / 12.0);
        double l = 0.25 * std::sin(2 * M_PI * note * s) + 0.1 * std::sin(2 * M_PI * 3 * note * s);
        double r = 0.25 * std::sin(2 * M_PI * note * 1.5 * s) + 0.1 * std::sin(2 * M_PI * 55.0 * s);
        for (double v : {l, r}) {
            auto x = int16_t(std::lround(v * 32767));
            t.pcm.push_back(uint8_t(x));
            t.pcm.push_back(uint8_t(uint16_t(x) >> 8));
        }
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "Usage: bench_animation_play [SECONDS] [raw|dpcm|dct]\n"
        "Plays a 640 x 480 animation of SECONDS (default 20) at 15 frames a second with a 44100 Hz\n"
        "stereo track in the given coding (default dct) through ANIMATIONPLAY, headless on the real\n"
        "clock, and prints the processor time it used as a share of one core.\n";
    bench::checkArgs(argc, argv, 2, usage);
    double seconds = argc > 1 ? bench::positive(argv[1], "SECONDS", usage) : 20.0;
    std::string codingName = argc > 2 ? argv[2] : "dct";
    if (codingName != "raw" && codingName != "dpcm" && codingName != "dct") {
        std::fprintf(stderr, "unknown coding: %s\n", codingName.c_str());
        bench::usageExit(usage, 2);
    }
    TorvexAudioCoding coding = codingName == "raw"    ? TorvexAudioCoding::Raw
                               : codingName == "dpcm" ? TorvexAudioCoding::Dpcm
                                                      : TorvexAudioCoding::Dct;
    const uint32_t frames = uint32_t(seconds * 15);

    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("bench_animation_play_" + std::to_string(std::time(nullptr)));
    fs::create_directories(dir);
    const std::string path = (dir / "show.tvx").string();
    {
        std::vector<std::vector<uint8_t>> pictures(frames, std::vector<uint8_t>(kWidth * kHeight));
        std::vector<uint8_t> palette(768);
        for (int i = 0; i < 256; ++i) {
            palette[size_t(i) * 3] = uint8_t(i);
            palette[size_t(i) * 3 + 1] = uint8_t((i * 3) & 255);
            palette[size_t(i) * 3 + 2] = uint8_t(255 - i);
        }
        std::vector<TorvexWriterFrame> list;
        for (uint32_t k = 0; k < frames; ++k) {
            drawFrame(pictures[k], k);
            list.push_back({pictures[k].data(), palette.data(), false});
        }
        TorvexWriterOptions options;
        options.frameRate = -6667;  // 15 frames a second
        options.tracks.push_back(music(seconds, coding));
        std::string error;
        if (!TorvexWrite(path, kWidth, kHeight, list, options, &error)) {
            std::fprintf(stderr, "writing the animation failed: %s\n", error.c_str());
            fs::remove_all(dir);
            return 1;
        }
        std::printf("animation: %u frames of %ux%u at 15 frames/s, 44100 Hz stereo (%s), %llu bytes\n", frames,
                    kWidth, kHeight, codingName.c_str(), (unsigned long long)fs::file_size(path));
    }

    plat::setVideoBackendForTest(plat::VideoBackend::Headless);
    plat::setAudioBackendForTest(plat::AudioBackend::Null);
    runtime::installRuntime();
    std::vector<plat::MessageBoxRecord> boxes;
    plat::setMessageBoxCapture(&boxes);
    gScriptText = "SCREENGRAPHICS G 640 480\nANIMATIONPLAY R -1 -1 1 0 '" + path + "'\n";
    engine::resetEngine();
    engine::gScript.source = source;

    auto t0 = std::chrono::steady_clock::now();
    std::clock_t c0 = std::clock();
    bool ran = false;
    try {
        ran = engine::RunScript("play", nullptr);
    } catch (const engine::ScriptAbort&) {
    }
    std::clock_t c1 = std::clock();
    auto t1 = std::chrono::steady_clock::now();
    char result[engine::kLineSize];
    engine::GetVariable(result, "R");
    fs::remove_all(dir);
    if (!ran || std::string(result) != "1") {
        std::fprintf(stderr, "the play failed (R=%s)\n", result);
        for (const auto& b : boxes) std::fprintf(stderr, "%s\n", b.text.c_str());
        return 1;
    }
    double wall = std::chrono::duration<double>(t1 - t0).count();
    double cpu = double(c1 - c0) / CLOCKS_PER_SEC;
    std::printf("played %.2f s of wall time, %.3f s of processor time: %.2f %% of one core (target: under 5 %%)\n",
                wall, cpu, 100.0 * cpu / wall);
    return 0;
}
