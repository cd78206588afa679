// Shared by the tvx sound tests: WAV files and animations to encode, running the tool, and
// measuring what comes back.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace tvxsound {

namespace fs = std::filesystem;

// Runs tvx with an environment prefix ("NAME=value ..."); its output lands in a file of the
// test's own folder (tests run in parallel).
inline int run(const std::string& args, std::string* output = nullptr, const std::string& env = "") {
    static const unsigned tag = std::random_device{}();
    static int calls = 0;
    std::string out = testing::TempDir() + "/tvx_sound_" + std::to_string(tag) + "_" + std::to_string(calls++) + ".txt";
    std::string cmd = (env.empty() ? "" : "env " + env + " ") + std::string(TVX_PATH) + " " + args + " >" + out + " 2>&1";
    int rc = std::system(cmd.c_str());
    if (output) {
        std::ifstream in(out);
        std::stringstream ss;
        ss << in.rdbuf();
        *output = ss.str();
    }
    std::remove(out.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline void put16(std::vector<unsigned char>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void put32(std::vector<unsigned char>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// A WAV file; tag, bits and block alignment as given (to make unreadable ones too).
inline std::vector<unsigned char> wavFile(uint32_t rate, uint16_t channels, uint16_t bits,
                                          const std::vector<unsigned char>& data, uint16_t tag = 1) {
    std::vector<unsigned char> b = {'R', 'I', 'F', 'F'};
    put32(b, uint32_t(4 + 8 + 16 + 8 + data.size() + (data.size() & 1)));
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(b, 16);
    put16(b, tag);
    put16(b, channels);
    put32(b, rate);
    put32(b, rate * channels * bits / 8);
    put16(b, uint16_t(channels * bits / 8));
    put16(b, bits);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put32(b, uint32_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    if (data.size() & 1) b.push_back(0);
    return b;
}

// Sound as stored: a sum of tones (per channel its own list of frequencies) plus some noise,
// so that DPCM deltas are not all alike.
inline std::vector<unsigned char> tones(uint32_t rate, int channels, int bits, double seconds,
                                        const std::vector<std::vector<double>>& freqs, double amplitude,
                                        double noise = 0.0, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    size_t n = size_t(seconds * rate);
    std::vector<unsigned char> out;
    for (size_t i = 0; i < n; ++i) {
        for (int c = 0; c < channels; ++c) {
            double v = 0;
            for (double f : freqs[size_t(c) % freqs.size()]) v += std::sin(2 * M_PI * f * double(i) / rate);
            v = v * amplitude + noise * u(rng);
            v = std::max(-1.0, std::min(1.0, v));
            if (bits == 8) out.push_back(uint8_t(std::lround(128 + 127 * v)));
            else put16(out, uint16_t(int16_t(std::lround(32767 * v))));
        }
    }
    return out;
}

inline std::vector<int16_t> samples16(const std::vector<unsigned char>& b, size_t offset = 0) {
    std::vector<int16_t> s;
    for (size_t i = offset; i + 1 < b.size(); i += 2) s.push_back(int16_t(b[i] | b[i + 1] << 8));
    return s;
}

inline double snrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& got) {
    double signal = 0, noise = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        double g = i < got.size() ? got[i] : 0;
        signal += double(ref[i]) * ref[i];
        noise += (ref[i] - g) * (ref[i] - g);
    }
    return noise == 0 ? 200.0 : 10 * std::log10(signal / noise);
}

// Power of one frequency in a stretch of a mono signal (Goertzel), per sample.
inline double tonePower(const std::vector<double>& x, size_t from, size_t count, double freq, double rate) {
    double k = 2 * std::cos(2 * M_PI * freq / rate), s1 = 0, s2 = 0;
    for (size_t i = from; i < from + count && i < x.size(); ++i) {
        double s0 = x[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return (s1 * s1 + s2 * s2 - k * s1 * s2) / double(count * count);
}

// The left channel of a 16-bit stereo WAV file written by the wav back-end, as doubles.
inline bool readMixLeft(const std::string& path, std::vector<double>* left, uint32_t* rate) {
    std::vector<unsigned char> b = testsupport::readFile(path);
    if (b.size() < 44 || std::memcmp(b.data(), "RIFF", 4) != 0) return false;
    size_t p = 12;
    uint16_t channels = 0, bits = 0;
    while (p + 8 <= b.size()) {
        uint32_t size = uint32_t(b[p + 4] | b[p + 5] << 8 | b[p + 6] << 16 | uint32_t(b[p + 7]) << 24);
        if (std::memcmp(&b[p], "fmt ", 4) == 0) {
            channels = uint16_t(b[p + 10] | b[p + 11] << 8);
            *rate = uint32_t(b[p + 12] | b[p + 13] << 8 | b[p + 14] << 16 | uint32_t(b[p + 15]) << 24);
            bits = uint16_t(b[p + 22] | b[p + 23] << 8);
        } else if (std::memcmp(&b[p], "data", 4) == 0) {
            if (channels != 2 || bits != 16) return false;
            size_t end = std::min<size_t>(b.size(), p + 8 + size);
            for (size_t i = p + 8; i + 3 < end; i += 4) left->push_back(int16_t(b[i] | b[i + 1] << 8));
            return true;
        }
        p += 8 + size + (size & 1);
    }
    return false;
}

// An animation of n frames, w x h, frame k filled with colour k + 1 (so every frame repaints
// the whole picture in one rectangle).
inline void writeFrames(const std::string& dir, int n, int w, int h) {
    fs::create_directories(dir);
    std::vector<unsigned char> pal(768);
    for (int i = 0; i < 768; ++i) pal[size_t(i)] = uint8_t(i * 37 + 11);
    for (int k = 0; k < n; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "/frame_%05d", k);
        testsupport::writeFile(dir + name + ".idx", std::vector<unsigned char>(size_t(w) * size_t(h), uint8_t(k + 1)));
        testsupport::writeFile(dir + name + ".pal", pal);
    }
}

}  // namespace tvxsound
