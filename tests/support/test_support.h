// Helpers shared by the test modules.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under the system's temporary folder, removed with everything in it when
// the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<unsigned char> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<unsigned char>& data);
void writeText(const std::string& path, const std::string& text);

// Packs values least significant bit first, as the codec's bit readers take them.
struct LsbBitWriter {
    std::vector<unsigned char> bytes;
    size_t bit = 0;
    void put(unsigned value, int count) {
        for (int i = 0; i < count; ++i, ++bit) {
            if (bit % 8 == 0) bytes.push_back(0);
            bytes.back() |= static_cast<unsigned char>(((value >> i) & 1) << (bit % 8));
        }
    }
    void padTo32() {
        while (bit % 32) put(0, 1);
    }
};

// A tone as stored sound: interleaved 8-bit unsigned or 16-bit signed little-endian samples of
// amplitude * sin(2 pi (hz + c * hzPerChannel) t) on channel c, cut toward zero.
std::vector<unsigned char> sinePcm(unsigned rate, unsigned channels, unsigned bits, double seconds, double hz,
                                   double hzPerChannel, double amplitude);

// The stretches of sound in a captured 16-bit stereo 44100 Hz WAV file (the mix the headless
// audio back-end writes): their lengths in seconds. A stretch is a run of samples louder than
// 2000 on the left channel and ends after a tenth of a second of quiet.
std::vector<double> loudStretches(const std::string& wavPath);

// True when tests run under CI=true (a missing oracle tool is then a failure, not a skip).
bool underCi();

}  // namespace testsupport
