// The torvexscript program itself, headless on the virtual clock with the captures on: a script
// that steps one animation, plays another with its sound, beeps, and ends with animations (one
// with sound) still open.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "encoder/torvex_writer.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
    auto bytes = testsupport::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

void writeSolid(const std::string& path, uint32_t frames, bool sound) {
    const uint32_t w = 16, h = 8;
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<uint8_t> palette(768);
    for (int i = 0; i < 768; ++i) palette[size_t(i)] = uint8_t(i * 7);
    std::vector<TorvexWriterFrame> list;
    for (uint32_t k = 0; k < frames; ++k) pictures.emplace_back(w * h, uint8_t(k + 1));
    for (auto& p : pictures) list.push_back({p.data(), palette.data(), false});
    TorvexWriterOptions options;
    options.frameRate = -6667;  // 15 frames a second
    if (sound) {
        TorvexWriterTrack t;
        t.rate = 22050;
        t.pcm = testsupport::sinePcm(22050, 1, 16, frames / 15.0, 330, 0, 9000.0 / 32767);
        options.tracks.push_back(t);
    }
    std::string error;
    ASSERT_TRUE(TorvexWrite(path, w, h, list, options, &error)) << error;
}

TEST(AnimationProgram, StepsPlaysBeepsAndEndsWithAnimationsOpen) {
    testsupport::TempDir dir;
    writeSolid(dir.file("loop.tvx"), 4, false);
    writeSolid(dir.file("sound.tvx"), 15, true);
    std::ofstream(dir.file("show.ss")) << "SCREENGRAPHICS R 32 16\nANIMATIONOPEN A 0 'loop'\nANIMATIONTOSCREEN A 0 0\n"
                                          "ANIMATIONADVANCE A\nANIMATIONPLAY P -1 -1 1 0 'sound'\nDELAY 300\n"
                                          "SOUND 800 200\nDELAY 300\nANIMATIONADVANCE A\n"
                                          "ANIMATIONOPEN S 0 'sound'\nANIMATIONADVANCE S\n";
    const std::string command = "cd '" + dir.path() +
                                "' && env -u TORVEX_INPUT TORVEX_CAPTURE=capture TORVEX_AUDIO=wav:mix.wav "
                                "TORVEX_VIDEO=headless TORVEX_CLOCK=virtual '" TORVEXSCRIPT_PATH
                                "' show >out.txt 2>err.txt </dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << readAll(dir.file("err.txt"));
    EXPECT_EQ(readAll(dir.file("err.txt")).find("Error"), std::string::npos) << readAll(dir.file("err.txt"));

    // The last picture: the stepped animation's second frame at the corner over the played
    // one's last frame, centred.
    std::vector<fs::path> frames;
    for (const auto& e : fs::directory_iterator(dir.file("capture")))
        if (e.path().extension() == ".bmp") frames.push_back(e.path());
    std::sort(frames.begin(), frames.end());
    ASSERT_GE(frames.size(), 17u);
    auto bmp = testsupport::readFile(frames.back().string());
    ASSERT_GE(bmp.size(), 1078u + 32 * 16);
    auto at = [&](int x, int y) { return bmp[1078 + size_t(15 - y) * 32 + size_t(x)]; };  // bottom row first
    EXPECT_EQ(at(0, 0), 2);
    EXPECT_EQ(at(12, 6), 2);
    EXPECT_EQ(at(20, 10), 15);
    EXPECT_EQ(at(30, 14), 0);

    // The animation's second of sound, then the beep.
    std::vector<double> stretches = testsupport::loudStretches(dir.file("mix.wav"));
    ASSERT_GE(stretches.size(), 2u);
    EXPECT_NEAR(stretches[0], 1.0, 0.08);
    EXPECT_NEAR(stretches[1], 0.2, 0.02);
}

}  // namespace
