#include "tests/support/test_support.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "torvex-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) throw std::runtime_error("cannot create a temporary directory");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::vector<unsigned char>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool underCi() {
    const char* ci = std::getenv("CI");
    return ci && std::strcmp(ci, "true") == 0;
}

std::vector<unsigned char> sinePcm(unsigned rate, unsigned channels, unsigned bits, double seconds, double hz,
                                   double hzPerChannel, double amplitude) {
    std::vector<unsigned char> pcm;
    for (size_t i = 0; i < size_t(rate * seconds); ++i)
        for (unsigned c = 0; c < channels; ++c) {
            double v = amplitude * std::sin(2 * M_PI * (hz + hzPerChannel * c) * double(i) / rate);
            if (bits == 8) {
                pcm.push_back(static_cast<unsigned char>(128 + int(v * 127)));
            } else {
                auto s = static_cast<int16_t>(v * 32767);
                pcm.push_back(static_cast<unsigned char>(s));
                pcm.push_back(static_cast<unsigned char>(static_cast<uint16_t>(s) >> 8));
            }
        }
    return pcm;
}

std::vector<double> loudStretches(const std::string& wavPath) {
    std::vector<unsigned char> b = readFile(wavPath);
    std::vector<double> out;
    size_t frames = b.size() > 44 ? (b.size() - 44) / 4 : 0, start = 0, lastLoud = 0;
    bool in = false;
    for (size_t i = 0; i < frames; ++i) {
        auto l = static_cast<int16_t>(b[44 + 4 * i] | b[45 + 4 * i] << 8);
        if (std::abs(int(l)) > 2000) {
            if (!in) start = i, in = true;
            lastLoud = i;
        } else if (in && i - lastLoud > 4410) {
            out.push_back(double(lastLoud - start) / 44100.0);
            in = false;
        }
    }
    if (in) out.push_back(double(lastLoud - start) / 44100.0);
    return out;
}

}  // namespace testsupport
