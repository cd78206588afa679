// Quarn figures: opening a file whose index has 100000 entries, sound extraction as a multiple
// of real time, and pictures written and decoded per second at 640 x 480.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "kroutil/quarn.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

const char* kUsage =
    "usage: bench_quarn [DIR]\n"
    "  Writes its Quarn files in DIR (default /tmp) and prints: the time to open a file with a\n"
    "  100000-entry index (target: under 5 ms), sound extraction of a 60 s 44100 Hz stereo track\n"
    "  as a multiple of real time, and 640 x 480 colour pictures written and decoded per second.\n";

void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// 100000 frames of one empty sound packet and four picture bytes each, with one track.
bool writeBigIndex(const std::string& path, uint32_t frames) {
    std::vector<uint8_t> b = {'Q', 'R', 'N', 'i'};
    const uint32_t frameSize = 8, start = 44 + 12 + 4 * (frames + 1), end = start + frames * frameSize;
    for (uint32_t v : {end - 8, frames, frameSize, frames, 320u, 240u, 25u, 1u, uint32_t(QUARN_VIDEO_GREY), 1u})
        put32(b, v);
    put32(b, 4096);
    put32(b, 22050 | QUARN_AUDIO_DCT | QUARN_AUDIO_16BIT);
    put32(b, 0);
    for (uint32_t i = 0; i <= frames; ++i) put32(b, (start + i * frameSize) | (i % 25 == 0 ? 1 : 0));
    for (uint32_t i = 0; i < frames; ++i) {
        put32(b, 0);
        b.insert(b.end(), {'P', 'C', 0, 0});
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint32_t> picture(uint32_t w, uint32_t h, uint32_t frame) {
    std::vector<uint32_t> p(size_t(w) * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t r = (x + frame * 4) & 255, g = (y * 2) & 255, b = (x * y / 64) & 255;
            if ((x - frame * 3) % 160 < 40 && y % 120 < 50) r = 240, g = 200, b = 30;
            p[size_t(y) * w + x] = r << 16 | g << 8 | b;
        }
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    bench::checkArgs(argc, argv, 1, kUsage);
    const std::string dir = argc > 1 ? argv[1] : "/tmp";

    // Open of a 100000-entry index.
    const std::string indexPath = dir + "/bench_quarn_index.qrn";
    if (!writeBigIndex(indexPath, 100000)) {
        std::fprintf(stderr, "cannot write %s\n", indexPath.c_str());
        return 1;
    }
    std::vector<double> opens;
    for (int i = 0; i < 21; ++i) {
        Clock::time_point t = Clock::now();
        QuarnStream* s = QuarnStreamOpen(indexPath.c_str(), 0);
        double took = seconds(t);
        if (!s) {
            std::fprintf(stderr, "open failed: %s\n", QuarnLastError());
            return 1;
        }
        QuarnStreamClose(s);
        opens.push_back(took * 1000);
    }
    std::sort(opens.begin(), opens.end());
    std::printf("open, 100000-entry index: median %.2f ms, best %.2f ms (target under 5 ms)\n", opens[opens.size() / 2],
                opens[0]);
    std::remove(indexPath.c_str());

    // Sound: 60 s of 44100 Hz stereo at 25 frames per second.
    const std::string soundPath = dir + "/bench_quarn_sound.qrn";
    const uint32_t rate = 44100, fps = 25, secondsOfSound = 60, frames = secondsOfSound * fps;
    {
        QuarnWriter* q = QuarnWriterCreate(soundPath.c_str(), 16, 16, fps, 1, QUARN_WRITE_GREY, frames, 25);
        if (!q || QuarnWriterAddTrack(q, 0, rate, 2, 1, 1, 0) != 0) {
            std::fprintf(stderr, "cannot write %s\n", soundPath.c_str());
            return 1;
        }
        std::mt19937 rng(3);
        std::vector<uint32_t> pic(256, 0x808080);
        const uint32_t perFrame = rate / fps;
        std::vector<int16_t> pcm(perFrame * 2);
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t i = 0; i < perFrame; ++i) {
                double t = double(f * perFrame + i) / rate;
                pcm[2 * i] = int16_t(9000 * std::sin(2 * M_PI * 440 * t) + int(rng() % 600) - 300);
                pcm[2 * i + 1] = int16_t(7000 * std::sin(2 * M_PI * 660 * t));
            }
            QuarnWriterPutAudio(q, 0, pcm.data(), uint32_t(pcm.size() * 2));
            QuarnWriterPutFrame(q, pic.data(), 64);
        }
        if (!QuarnWriterClose(q)) {
            std::fprintf(stderr, "writing %s failed\n", soundPath.c_str());
            return 1;
        }
    }
    {
        Clock::time_point t = Clock::now();
        QuarnStream* s = QuarnStreamOpen(soundPath.c_str(), 0);
        QuarnAudioTrack* track = s ? QuarnOpenAudioTrack(s, 0) : nullptr;
        if (!track) {
            std::fprintf(stderr, "cannot read %s\n", soundPath.c_str());
            return 1;
        }
        std::vector<uint8_t> buffer(track->bufferSize);
        uint64_t bytes = 0;
        do bytes += QuarnExtractAudio(track, buffer.data());
        while (QuarnAdvance(s));
        double took = seconds(t);
        QuarnCloseAudioTrack(track);
        QuarnStreamClose(s);
        double audioSeconds = double(bytes) / (rate * 4);
        std::printf("sound extraction, 44100 Hz stereo: %.1f s of sound in %.3f s, %.0f x real time\n", audioSeconds,
                    took, audioSeconds / took);
    }
    std::remove(soundPath.c_str());

    // Pictures: 640 x 480 colour, a key frame every 25.
    const std::string picPath = dir + "/bench_quarn_pictures.qrn";
    const uint32_t w = 640, h = 480, count = 100;
    std::vector<std::vector<uint32_t>> pics;
    for (uint32_t f = 0; f < count; ++f) pics.push_back(picture(w, h, f));
    {
        Clock::time_point t = Clock::now();
        QuarnWriter* q = QuarnWriterCreate(picPath.c_str(), w, h, 25, 1, 0, count, 25);
        for (uint32_t f = 0; q && f < count; ++f) QuarnWriterPutFrame(q, pics[f].data(), int32_t(w * 4));
        if (!QuarnWriterClose(q)) {
            std::fprintf(stderr, "writing %s failed\n", picPath.c_str());
            return 1;
        }
        double took = seconds(t);
        std::printf("pictures written, 640x480 colour: %.1f frames/s\n", count / took);
    }
    {
        Clock::time_point t = Clock::now();
        QuarnStream* s = QuarnStreamOpen(picPath.c_str(), 0);
        QuarnVideo* v = s ? QuarnVideoOpen(s) : nullptr;
        if (!v) {
            std::fprintf(stderr, "cannot read %s\n", picPath.c_str());
            return 1;
        }
        std::vector<uint32_t> out(size_t(w) * h);
        uint32_t decoded = 0;
        do decoded += uint32_t(QuarnVideoDecode(v, out.data(), int32_t(w * 4)));
        while (QuarnAdvance(s));
        double took = seconds(t);
        FILE* f = std::fopen(picPath.c_str(), "rb");
        long size = 0;
        if (f) {
            std::fseek(f, 0, SEEK_END);
            size = std::ftell(f);
            std::fclose(f);
        }
        QuarnVideoClose(v);
        QuarnStreamClose(s);
        std::printf("pictures decoded, 640x480 colour: %.1f frames/s (%u of %u; %.1f KB a frame)\n", decoded / took,
                    decoded, count, size / 1024.0 / count);
    }
    std::remove(picPath.c_str());
    return 0;
}
