// The bundled demo, run by torvexscript headless on virtual time with its scripted input in the
// folder the build made it in: it must end normally along the path the input takes, show both
// animations and leave audible sound in the WAV file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
    auto bytes = testsupport::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

uint32_t le32(const std::vector<unsigned char>& b, size_t at) {
    return at + 4 <= b.size() ? uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24
                              : 0;
}
uint16_t le16(const std::vector<unsigned char>& b, size_t at) {
    return at + 2 <= b.size() ? uint16_t(b[at] | b[at + 1] << 8) : 0;
}

// The colour numbers the demo's generated pictures use (see make_demo_data.cpp).
bool isRainbow(unsigned char c) { return c >= 80 && c <= 143; }
bool isBall(unsigned char c) { return c >= 144 && c <= 207; }

struct DemoRun {
    testsupport::TempDir dir;
    int status = -1;
    std::string trace, errors, events;
};

class Demo : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        run_ = std::make_unique<DemoRun>();
        DemoRun& r = *run_;
        fs::create_directory(r.dir.file("capture"));
        // The debug trace records every choice the menu makes; the demo itself writes none.
        testsupport::writeText(r.dir.file("run.ss"), "DEBUGFILE '" + r.dir.file("trace.txt") + "'\nCALL 'autoexec'\n");
        const std::string command = "cd '" DEMO_BUILD_DIR "' && env TORVEX_VIDEO=headless TORVEX_CLOCK=virtual TORVEX_INPUT='" DEMO_INPUT
                                    "' TORVEX_AUDIO='wav:" + r.dir.file("demo.wav") + "' TORVEX_CAPTURE='" + r.dir.file("capture") +
                                    "' TORVEX_ANSWERS=ok '" TORVEXSCRIPT_PATH "' '" + r.dir.file("run.ss") + "' >'" +
                                    r.dir.file("out.txt") + "' 2>'" + r.dir.file("err.txt") + "' </dev/null";
        int raw = std::system(command.c_str());
        r.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.trace = readAll(r.dir.file("trace.txt"));
        r.errors = readAll(r.dir.file("err.txt"));
        r.events = readAll(r.dir.file("capture/events.log"));
    }
    static void TearDownTestSuite() { run_.reset(); }
    static std::unique_ptr<DemoRun> run_;
};
std::unique_ptr<DemoRun> Demo::run_;

TEST_F(Demo, EndsNormallyAlongTheScriptedPath) {
    ASSERT_EQ(run_->status, 0) << run_->errors;
    std::vector<std::string> choices;
    for (size_t at = run_->trace.find("CHOICE=\""); at != std::string::npos; at = run_->trace.find("CHOICE=\"", at + 1))
        choices.push_back(run_->trace.substr(at + 8, run_->trace.find('"', at + 8) - at - 8));
    // The click on the first entry, key 2 and Escape: each part once, nothing picked by time-out.
    const std::vector<std::string> expected = {"PLAY", "FRAMES", "LEAVE"};
    EXPECT_EQ(choices, expected);
    EXPECT_EQ(run_->errors.find("[Error]"), std::string::npos) << run_->errors;
    // The window was closed by the script before the program's closing box.
    size_t destroyed = run_->events.find("destroy ");
    ASSERT_NE(destroyed, std::string::npos);
    EXPECT_NE(run_->events.find("messagebox title=\"TorvexScript - V", destroyed), std::string::npos);
}

TEST_F(Demo, CapturesTheFramesOfBothAnimations) {
    ASSERT_EQ(run_->status, 0) << run_->errors;
    size_t frames = 0, played = 0, composed = 0;
    for (auto& e : fs::directory_iterator(run_->dir.file("capture"))) {
        std::string name = e.path().filename().string();
        if (name.rfind("frame_", 0) != 0 || e.path().extension() != ".bmp") continue;
        ++frames;
        auto bmp = testsupport::readFile(e.path().string());
        uint32_t offset = le32(bmp, 10);
        ASSERT_EQ(le16(bmp, 28), 8) << name;
        ASSERT_LE(offset, bmp.size()) << name;
        bool rainbow = false, ball = false;
        for (size_t i = offset; i < bmp.size(); ++i) {
            rainbow = rainbow || isRainbow(bmp[i]);
            ball = ball || isBall(bmp[i]);
        }
        // The played animation is the only picture with the rainbow; the ball without it is the
        // one composed frame by frame over the backdrop.
        if (rainbow) ++played;
        else if (ball) ++composed;
    }
    EXPECT_GE(played, 50u);    // 60 frames in the file
    EXPECT_GE(composed, 90u);  // 96 steps across the screen
    EXPECT_GT(frames, played + composed);  // title, menu and farewell besides
}

TEST_F(Demo, WritesAudibleSound) {
    ASSERT_EQ(run_->status, 0) << run_->errors;
    auto wav = testsupport::readFile(run_->dir.file("demo.wav"));
    ASSERT_GE(wav.size(), 44u);
    ASSERT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    ASSERT_EQ(std::string(wav.begin() + 8, wav.begin() + 12), "WAVE");
    uint16_t channels = 0, bits = 0;
    uint32_t rate = 0;
    size_t data = 0, dataSize = 0;
    for (size_t p = 12; p + 8 <= wav.size();) {
        uint32_t size = le32(wav, p + 4);
        std::string id(wav.begin() + long(p), wav.begin() + long(p) + 4);
        if (id == "fmt ") {
            channels = le16(wav, p + 10);
            rate = le32(wav, p + 12);
            bits = le16(wav, p + 22);
        } else if (id == "data") {
            data = p + 8;
            dataSize = std::min<size_t>(size, wav.size() - data);
            break;
        }
        p += 8 + size + (size & 1);
    }
    ASSERT_EQ(bits, 16);
    ASSERT_GT(channels, 0);
    ASSERT_GT(rate, 0u);
    ASSERT_GT(data, 0u);
    size_t samples = dataSize / 2, loud = 0;
    for (size_t i = 0; i < samples; ++i) {
        int16_t v = int16_t(le16(wav, data + 2 * i));
        if (v > 2000 || v < -2000) ++loud;
    }
    // The animation's music and effects last three seconds; a good share of it is well above
    // silence.
    double seconds = double(samples) / channels / rate;
    EXPECT_GE(seconds, 3.0);
    EXPECT_GT(double(loud) / channels / rate, 0.5) << loud << " loud samples";
}

}  // namespace
