// tvx play in a real SDL window with SDL's sound (run by tests/support/on_xvfb.sh under a virtual display,
// with SDL's file-writing sound driver): the file plays to its end and its sound reaches the
// device without gaps.
#include "tests/tvx_sound/tvx_sound.h"

using namespace tvxsound;

TEST(TvxPlaySmoke, PlaysInAnSdlWindowWithSound) {
    const char* sound = std::getenv("SDL_DISKAUDIOFILE");
    ASSERT_NE(sound, nullptr) << "run through tests/support/on_xvfb.sh --sound";
    testsupport::TempDir dir;
    writeFrames(dir.file("src"), 15, 64, 48);
    testsupport::writeFile(dir.file("a.wav"), wavFile(22050, 2, 16, tones(22050, 2, 16, 1.0, {{440}, {660}}, 0.4)));
    std::string out;
    ASSERT_EQ(run("encode --frames " + dir.file("src") + " " + dir.file("a.tvx") + " --size 64x48 --rate -6667 --audio 0=" +
                      dir.file("a.wav") + ",dpcm",
                  &out),
              0)
        << out;
    ASSERT_EQ(run("play " + dir.file("a.tvx") + " --scale 2", &out), 0) << out;
    EXPECT_NE(out.find("played 15 of 15 frames"), std::string::npos) << out;
    // The device got the sound: a good part of what it wrote is not silence.
    std::vector<unsigned char> written = testsupport::readFile(sound);
    ASSERT_GT(written.size(), 4096u);
    size_t nonzero = 0;
    for (unsigned char b : written) nonzero += b != 0;
    EXPECT_GT(nonzero, written.size() / 4) << written.size() << " bytes written";
}

// Short bursts at the times of frames 0, 4, 9 and 14 reach the device as far apart as they are
// in the track: no silence is put between the first frame's sound and the rest. (The device
// writes 32-bit float stereo; its rate is what SDL gave, 44100 Hz unless it says otherwise.)
TEST(TvxPlaySmoke, TheSoundReachesTheDeviceWithoutGaps) {
    const char* sound = std::getenv("SDL_DISKAUDIOFILE");
    ASSERT_NE(sound, nullptr) << "run through tests/support/on_xvfb.sh --sound";
    testsupport::TempDir dir;
    writeFrames(dir.file("src"), 15, 64, 48);
    const int at[] = {0, 4, 9, 14};
    std::vector<unsigned char> pcm;
    for (size_t i = 0; i < 22050; ++i) {
        double v = 0;
        for (int k : at) {
            double from = k * 0.06667 * 22050;
            if (i >= from && i < from + 551) v = 0.4 * std::sin(2 * M_PI * 2000 * (i - from) / 22050);
        }
        put16(pcm, uint16_t(int16_t(std::lround(32767 * v))));
    }
    testsupport::writeFile(dir.file("b.wav"), wavFile(22050, 1, 16, pcm));
    std::string out;
    ASSERT_EQ(run("encode --frames " + dir.file("src") + " " + dir.file("b.tvx") + " --size 64x48 --rate -6667 --audio 0=" +
                      dir.file("b.wav"),
                  &out),
              0)
        << out;
    ASSERT_EQ(run("play " + dir.file("b.tvx"), &out), 0) << out;
    std::vector<unsigned char> written = testsupport::readFile(sound);
    const double rate = 44100;
    std::vector<double> heard;  // seconds
    size_t quiet = 44100;
    for (size_t i = 0; i + 8 <= written.size(); i += 8) {
        float left;
        std::memcpy(&left, &written[i], 4);
        if (std::fabs(left) > 0.15f) {
            if (quiet >= 44100 / 25) heard.push_back(double(i / 8) / rate);
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    ASSERT_EQ(heard.size(), 4u) << written.size() << " bytes written";
    for (size_t k = 1; k < 4; ++k)
        EXPECT_NEAR(heard[k] - heard[0], at[k] * 0.06667, 0.01) << "burst of frame " << at[k];
}
