// tvx play in a real SDL window with SDL's sound (run by play_smoke.sh under a virtual display,
// with SDL's file-writing sound driver): the file plays to its end and its sound reaches the
// device.
#include "tests/tvx_sound/tvx_sound.h"

using namespace tvxsound;

TEST(TvxPlaySmoke, PlaysInAnSdlWindowWithSound) {
    const char* sound = std::getenv("TVX_SMOKE_SOUND");
    ASSERT_NE(sound, nullptr) << "run through play_smoke.sh";
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
