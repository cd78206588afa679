// The presentation runtime run in-process, headless, on the virtual clock: scripts held in
// memory draw into the window's surface, which the tests read back directly, through the
// display service's last picture, or through the captured frames and event log.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "player/engine/io_commands.h"
#include "player/runtime/screen_draw.h"
#include "tests/runtime/script_fixture.h"
#include "tests/support/test_support.h"

namespace {

using runtime::gDraw;
using runtime::gScreen;
using runtimetest::var;

class RuntimeTest : public runtimetest::ScriptFixture {
protected:
    // Every pixel of the surface that is not 0, as "x,y=c" items in row order.
    std::string nonZeroPixels() const {
        std::ostringstream out;
        const runtime::DisplaySurface* s = gScreen.surface;
        for (int32_t y = 0; y < s->height; ++y)
            for (int32_t x = 0; x < s->width; ++x)
                if (uint8_t c = *runtime::pixelAddress(s, x, y)) out << x << ',' << y << '=' << int(c) << ' ';
        return out.str();
    }
};

const char kNoWindow[] = "  A window hasn't been created yet (use ScreenGraphics first).\r\n";

// ---- drawing ---------------------------------------------------------------------------------

struct DrawCase {
    const char* name;
    const char* commands;  // after SCREENGRAPHICS R 20 10
    const char* pixels;    // nonZeroPixels() afterwards
};

TEST_F(RuntimeTest, DrawingCommandsSetExactlyTheirPixels) {
    const std::vector<DrawCase> cases = {
        {"box 1x1 is one pixel", "SCREENBOX 10 5 1 1 9", "10,5=9 "},
        {"box 3x2 is six pixels", "SCREENBOX 1 1 3 2 7", "1,1=7 2,1=7 3,1=7 1,2=7 2,2=7 3,2=7 "},
        {"box 4x4 outline", "SCREENBOX 0 0 4 4 1",
         "0,0=1 1,0=1 2,0=1 3,0=1 0,1=1 3,1=1 0,2=1 3,2=1 0,3=1 1,3=1 2,3=1 3,3=1 "},
        {"box over the top left corner is cut", "SCREENBOX -2 -2 5 5 3", "2,0=3 2,1=3 0,2=3 1,2=3 2,2=3 "},
        {"box of huge size draws the visible rows only", "SCREENBOX -2000000000 5 2100000000 3 4",
         "0,5=4 1,5=4 2,5=4 3,5=4 4,5=4 5,5=4 6,5=4 7,5=4 8,5=4 9,5=4 10,5=4 11,5=4 12,5=4 13,5=4 14,5=4 "
         "15,5=4 16,5=4 17,5=4 18,5=4 19,5=4 0,7=4 1,7=4 2,7=4 3,7=4 4,7=4 5,7=4 6,7=4 7,7=4 8,7=4 9,7=4 "
         "10,7=4 11,7=4 12,7=4 13,7=4 14,7=4 15,7=4 16,7=4 17,7=4 18,7=4 19,7=4 "},
        {"box of no or negative size draws nothing", "SCREENBOX 3 3 0 2 5 ; SCREENBOX 3 3 2 -1 5", ""},
        {"filled box at x = -1 draws nothing", "SCREENFILLEDBOX -1 0 5 5 2", ""},
        {"filled box cut at the right and bottom", "SCREENFILLEDBOX 18 8 5 5 2", "18,8=2 19,8=2 18,9=2 19,9=2 "},
        {"filled box of negative size draws nothing", "SCREENFILLEDBOX 2 2 -3 2 2 ; SCREENFILLEDBOX 2 2 3 -2 2", ""},
        {"line from the left of the screen starts at the right edge", "SCREENLINE -5 0 10 0 6",
         "10,0=6 11,0=6 12,0=6 13,0=6 14,0=6 15,0=6 16,0=6 17,0=6 18,0=6 19,0=6 "},
        {"x-major line", "SCREENLINE 0 0 4 2 8", "0,0=8 1,1=8 2,1=8 3,2=8 4,2=8 "},
        {"x-major line drawn the other way", "SCREENLINE 4 2 0 0 8", "0,0=8 1,1=8 2,1=8 3,2=8 4,2=8 "},
        {"x-major line to the left", "SCREENLINE 4 0 0 2 8", "4,0=8 2,1=8 3,1=8 0,2=8 1,2=8 "},
        {"y-major line", "SCREENLINE 0 0 1 3 5", "0,0=5 0,1=5 1,2=5 1,3=5 "},
        {"diagonal", "SCREENLINE 2 0 0 2 5", "2,0=5 1,1=5 0,2=5 "},
        {"line below the screen lands on the last row", "SCREENLINE 0 50 2 50 5", "0,9=5 1,9=5 2,9=5 "},
        {"pixels outside are ignored", "SCREENSETPIXEL -1 0 3 ; SCREENSETPIXEL 20 0 3 ; SCREENSETPIXEL 0 10 3", ""},
        {"pixel", "SCREENSETPIXEL 19 9 250", "19,9=250 "},
        {"drawing origin", "SCREENADJUSTXY 10 5\nSCREENSETPIXEL 1 1 3\nSCREENFILLEDBOX -10 -5 1 1 4", "0,0=4 11,6=3 "},
        {"clear", "SCREENSETPIXEL 3 3 1\nSCREENCLEAR 0", ""},
    };
    for (const DrawCase& c : cases) {
        std::string error = run(std::string("SCREENGRAPHICS R 20 10\n") + c.commands + "\n");
        ASSERT_EQ(error, "") << c.name;
        ASSERT_NE(gScreen.surface, nullptr) << c.name;
        EXPECT_EQ(nonZeroPixels(), c.pixels) << c.name;
        // What the window shows is what the buffer holds.
        plat::PresentedFrame frame;
        ASSERT_TRUE(plat::lastPresentedFrame(gScreen.window, &frame)) << c.name;
        for (int32_t y = 0; y < 10; ++y)
            for (int32_t x = 0; x < 20; ++x)
                ASSERT_EQ(frame.pixels[size_t(y) * 20 + size_t(x)], pixel(x, y)) << c.name << " at " << x << "," << y;
        runtime::resetPresentationForTest();
    }
}

TEST_F(RuntimeTest, GetPixelReadsTheBufferAndZeroOutside) {
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\nSCREENSETPIXEL 4 5 77\nSCREENGETPIXEL A 4 5\n"
                      "SCREENGETPIXEL B -1 5\nSCREENGETPIXEL C 4 10\nSCREENADJUSTXY 2 2\nSCREENGETPIXEL D 2 3\n"),
              "");
    EXPECT_EQ(var("A"), "77");
    EXPECT_EQ(var("B"), "0");
    EXPECT_EQ(var("C"), "0");
    EXPECT_EQ(var("D"), "77");
}

TEST_F(RuntimeTest, PitchIsRoundedToEightAndEveryPrimitiveUsesIt) {
    ASSERT_EQ(run("SCREENGRAPHICS R 100 3\nSCREENFILLEDBOX 98 0 2 3 5\nSCREENLINE 0 0 0 2 6\n"
                      "SCREENSETPIXEL 50 1 7\n"),
              "");
    const runtime::DisplaySurface* s = gScreen.surface;
    EXPECT_EQ(s->pitch, 104);
    EXPECT_EQ(s->bottomUp, 0);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(s->bits[row * 104 + 98], 5);
        EXPECT_EQ(s->bits[row * 104 + 99], 5);
        EXPECT_EQ(s->bits[row * 104 + 100], 0) << "padding of row " << row;
        EXPECT_EQ(s->bits[row * 104], 6);
    }
    EXPECT_EQ(s->bits[104 + 50], 7);
    plat::PresentedFrame frame;
    ASSERT_TRUE(plat::lastPresentedFrame(gScreen.window, &frame));
    EXPECT_EQ(frame.width, 100);
    EXPECT_EQ(frame.pixels[100 + 50], 7);
    EXPECT_EQ(frame.pixels[2 * 100 + 99], 5);
}

// ---- palette -------------------------------------------------------------------------------

TEST_F(RuntimeTest, ScreenGraphicsAppliesTheDefaultPaletteThroughTheLock) {
    ASSERT_EQ(run("SCREENPALETTELOCK 250 20 1\nSCREENGRAPHICS R 20 10\n"
                      "SCREENGETBRIGHTESTPALETTEINDEX B\nSCREENGETDARKESTPALETTEINDEX D\n"),
              "");
    auto entry = [](int i) {
        const uint8_t* e = gDraw.screenPalette + i * 3;
        return std::to_string(e[0]) + "," + std::to_string(e[1]) + "," + std::to_string(e[2]);
    };
    EXPECT_EQ(entry(5), "5,5,5");
    EXPECT_EQ(entry(70), "6,0,0");
    EXPECT_EQ(entry(130), "0,2,0");
    EXPECT_EQ(entry(200), "0,0,8");
    EXPECT_EQ(entry(249), "0,0,57");
    // Entries 250..255 were locked before the palette came: they kept their black.
    for (int i = 250; i < 256; ++i) EXPECT_EQ(entry(i), "0,0,0") << i;
    EXPECT_EQ(gDraw.paletteLock[249], 0);
    EXPECT_EQ(gDraw.paletteGeneration, 1);
    // The grey ramp ends brightest; the first of the black entries is the darkest.
    EXPECT_EQ(var("B"), "63");
    EXPECT_EQ(var("D"), "0");
    // The window shows the same palette.
    plat::PaletteEntry shown[256];
    ASSERT_TRUE(plat::getPaletteEntries(gScreen.window, 0, 256, shown));
    EXPECT_EQ(shown[200].blue, 8);
    EXPECT_EQ(shown[70].red, 6);
}

TEST_F(RuntimeTest, PaletteLockRangesAreCutToTheTable) {
    struct Case {
        const char* command;
        int lockedFrom, lockedTo;  // [from, to) locked afterwards, all others not
    } cases[] = {
        {"SCREENPALETTELOCK 250 20 1", 250, 256},
        {"SCREENPALETTELOCK 300 5 1", 0, 0},
        {"SCREENPALETTELOCK -5 10 1", 0, 5},
        {"SCREENPALETTELOCK 10 -3 1", 0, 0},
        {"SCREENPALETTELOCK -2147483648 2147483647 1", 0, 0},
        {"SCREENPALETTELOCK 0 2147483647 1", 0, 256},
        {"SCREENPALETTELOCK 0 256 1 ; SCREENPALETTELOCK 1 254 0", 0, 1},
    };
    for (const Case& c : cases) {
        std::memset(gDraw.paletteLock, 0, sizeof gDraw.paletteLock);
        ASSERT_EQ(run(std::string(c.command) + "\n"), "") << c.command;
        for (int i = 0; i < 256; ++i) {
            bool locked = i >= c.lockedFrom && i < c.lockedTo;
            if (c.lockedFrom == 0 && c.lockedTo == 1) locked = i == 0 || i == 255;
            EXPECT_EQ(gDraw.paletteLock[i], locked ? 1 : 0) << c.command << " entry " << i;
        }
    }
}

TEST_F(RuntimeTest, ForcePaletteZeroBlackLocksAndUnlocks) {
    uint8_t grey[768];
    std::memset(grey, 40, sizeof grey);
    runtime::applyPalette(grey);
    ASSERT_EQ(run("SCREENFORCEPALETTEZEROBLACK 1\n"), "");
    EXPECT_EQ(gDraw.screenPalette[0], 0);
    EXPECT_EQ(gDraw.paletteLock[0], 1);
    std::memset(grey, 50, sizeof grey);
    runtime::applyPalette(grey);
    EXPECT_EQ(gDraw.screenPalette[0], 0) << "a locked entry 0 stays black";
    EXPECT_EQ(gDraw.screenPalette[3], 50);

    ASSERT_EQ(run("SCREENFORCEPALETTEZEROBLACK 0\n"), "");
    EXPECT_EQ(gDraw.paletteLock[0], 0);
    EXPECT_EQ(gDraw.screenPalette[0], 0) << "unlocking does not change the entry";
    runtime::applyPalette(grey);
    EXPECT_EQ(gDraw.screenPalette[0], 50);
}

int countPaletteChanges(const std::string& log) {
    std::istringstream in(log);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        if (line.find(" palette ") != std::string::npos && line.find("unchanged") == std::string::npos) ++n;
    return n;
}

std::string readLog(const std::string& dir) {
    auto bytes = testsupport::readFile(dir + "/events.log");
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(RuntimeTest, FadesGoThroughEveryStepEvenAtSpeedZero) {
    testsupport::TempDir dir;
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\nSCREENFILLEDBOX 0 0 20 10 63\n"), "");
    ASSERT_TRUE(plat::setCaptureDirectory(dir.path()));
    gDraw.fadeSpeed = 0;
    uint8_t target[768];
    for (int i = 0; i < 768; ++i) target[i] = uint8_t(i % 97 + 1);
    uint32_t before = plat::tickCount();
    runtime::fadeIn(target);
    EXPECT_EQ(countPaletteChanges(readLog(dir.path())), 17) << "16 steps and the target";
    EXPECT_EQ(std::memcmp(gDraw.screenPalette, target, 768), 0);
    EXPECT_EQ(plat::tickCount(), before) << "no waiting at speed 0";
    EXPECT_EQ(plat::capturedFrameCount(), 17) << "each step is shown";

    ASSERT_TRUE(plat::setCaptureDirectory(dir.path()));
    ASSERT_EQ(run("SCREENFADESPEED 0\nSCREENFADEOUTCLEAR 3\n"), "");
    EXPECT_EQ(countPaletteChanges(readLog(dir.path())), 16);
    // Components drop by at most 64 in all: 97 ends at 33, small ones at 0.
    EXPECT_EQ(gDraw.screenPalette[96], 33);
    EXPECT_EQ(gDraw.screenPalette[0], 0);
    EXPECT_EQ(pixel(5, 5), 3);
    EXPECT_EQ(gDraw.paletteGeneration, 3);
}

TEST_F(RuntimeTest, FadeStepsFollowTheFadeSpeedFromTheStart) {
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\n"), "");
    uint8_t target[768];
    std::memset(target, 100, sizeof target);
    gDraw.fadeSpeed = 15;
    uint32_t before = plat::tickCount();
    runtime::fadeIn(target);
    EXPECT_EQ(plat::tickCount() - before, 16u * 15u);
    before = plat::tickCount();
    runtime::fadeOut();
    EXPECT_EQ(plat::tickCount() - before, 16u * 15u);
    EXPECT_EQ(gDraw.screenPalette[0], 36);
}

TEST_F(RuntimeTest, LockedEntriesSurviveFades) {
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\nSCREENPALETTELOCK 60 4 1\nSCREENFADESPEED 0\nSCREENFADEOUTCLEAR 0\n"), "");
    EXPECT_EQ(gDraw.screenPalette[60 * 3], 60);
    EXPECT_EQ(gDraw.screenPalette[63 * 3 + 2], 63);
    EXPECT_EQ(gDraw.screenPalette[59 * 3], 0);
}

// ---- window ----------------------------------------------------------------------------------

TEST_F(RuntimeTest, CommandsThatNeedAWindowSayWhenThereIsNone) {
    const char* commands[] = {"SCREENBOX 0 0 1 1 1", "SCREENCLEAR 0", "SCREENFADEOUTCLEAR 0",
                              "SCREENFILLEDBOX 0 0 1 1 1", "SCREENGETPIXEL P 0 0", "SCREENLINE 0 0 1 1 1",
                              "SCREENSETPIXEL 0 0 1", "SCREENWINDOWHPAL H"};
    for (const char* c : commands) {
        std::string error = run(std::string(c) + "\n");
        EXPECT_EQ(error, std::string(kNoWindow) + "  In script file: main.ss  At line number: 1.\r\n") << c;
    }
    // After the window has closed again, too.
    EXPECT_EQ(run("SCREENGRAPHICS R 20 10\nSCREENTEXT\nSCREENSETPIXEL 0 0 1\n").substr(0, sizeof kNoWindow - 1),
              kNoWindow);
}

TEST_F(RuntimeTest, ScreenSizesAndInfoWithAndWithoutWindow) {
    ASSERT_EQ(run("SCREENWIDTH W0\nSCREENHEIGHT H0\nSCREENINFO I0\nSCREENWINDOWHWND N0\n"
                      "SCREENGRAPHICS R 64 48\nSCREENWIDTH W1\nSCREENHEIGHT H1\nSCREENINFO I1\nSCREENWINDOWHWND N1\n"
                      "SCREENWINDOWHASFOCUS F\n"),
              "");
    EXPECT_EQ(var("W0"), "80");
    EXPECT_EQ(var("H0"), "25");
    EXPECT_EQ(var("I0"), "");
    EXPECT_EQ(var("N0"), "0");
    EXPECT_EQ(var("R"), "1");
    EXPECT_EQ(var("W1"), "64");
    EXPECT_EQ(var("H1"), "48");
    EXPECT_EQ(var("I1"), "DIBSection");
    EXPECT_EQ(var("N1"), std::to_string(gScreen.window));
    EXPECT_EQ(var("F"), "1");
    EXPECT_EQ(gScreen.surface->rectMode, 0);
    plat::RECT client;
    ASSERT_TRUE(plat::getClientRect(gScreen.window, &client));
    EXPECT_EQ(client.right, 64);
    EXPECT_EQ(client.bottom, 48);

    EXPECT_EQ(run("SCREENGRAPHICS R 0 100\n").substr(0, 32), "  Zero dimension in command:\r\n  ");
    EXPECT_EQ(gScreen.window, 0u) << "the error closed the window";
}

TEST_F(RuntimeTest, SizesTheSurfaceCannotHoldFailQuietly) {
    ASSERT_EQ(run("SCREENGRAPHICS A -5 10\nSCREENGRAPHICS B 10 20000\nSCREENWIDTH W\n"), "");
    EXPECT_EQ(var("A"), "0");
    EXPECT_EQ(var("B"), "0");
    EXPECT_EQ(var("W"), "80");
    EXPECT_FALSE(plat::isWindow(gScreen.window));
}

TEST_F(RuntimeTest, ScreenSettingsChooseTheBackEnd) {
    struct Case {
        int32_t value;
        uint32_t flagsAfter;  // from the initial flags
        const char* info;     // after SCREENGRAPHICS R 320 200, "" = fails
    } cases[] = {
        {0, 0x2018, "Standard Windows DIBs"},
        {3, 0x2118, "Standard Windows DIBs"},
        {4, 0x2119, "DIBSection"},
        {1, 0x2116, "Full screen 320x240"},
        {2, 0x2117, "Full screen 320x200"},
        {7, 0x2000, "DIBSection"},
        {-64, 0x2000, "DIBSection"},
        {-1, 0x2020, "DIBSection"},  // negative, but bit 0x20 is set
        {0x20, 0x2038, "Standard Windows DIBs"},
        {0x21, 0x2136, "Full screen 320x240"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runtime::applyScreenSettings(runtime::kInitialScreenFlags, c.value), c.flagsAfter) << c.value;
        runtime::resetPresentationForTest();
        ASSERT_EQ(run("SCREENSETTINGS " + std::to_string(c.value) + "\nSCREENGRAPHICS R 320 200\nSCREENINFO I\n"), "");
        EXPECT_EQ(gScreen.screenFlags, c.flagsAfter) << c.value;
        EXPECT_EQ(var("I"), c.info) << c.value;
    }
    // SCREENSETTINGS 7 leaves an earlier choice alone.
    EXPECT_EQ(runtime::applyScreenSettings(0x2118, 7), 0x2118u);
    // Back-end 3 (direct video memory) is never there; automatic needs no explicit choice.
    EXPECT_EQ(runtime::backendFromFlags(0x17), runtime::BACKEND_FULLSCREEN_320X200_DIRECT);
    runtime::resetPresentationForTest();
    gScreen.screenFlags = 0x17;
    ASSERT_EQ(run("SCREENGRAPHICS R 320 200\n"), "");
    EXPECT_EQ(var("R"), "0");
}

TEST_F(RuntimeTest, FullScreenBackEnds) {
    ASSERT_EQ(run("SCREENSETTINGS 1\nSCREENGRAPHICS R 320 200\nSCREENHEIGHT H\n"), "");
    ASSERT_NE(gScreen.surface, nullptr);
    EXPECT_EQ(gScreen.surface->height, 204) << "back-end 1 raises 200 to 204";
    EXPECT_EQ(gScreen.surface->bottomUp, 1);
    EXPECT_EQ(gScreen.surface->rectMode, 1);
    EXPECT_TRUE(plat::isFullScreen(gScreen.window));
    EXPECT_EQ(var("H"), "204");
    EXPECT_EQ(gDraw.originY, 2);
    // Bottom-up rows: script row 0 is the last row in memory.
    ASSERT_EQ(run("SCREENSETPIXEL 1 0 9\n"), "");
    EXPECT_EQ(gScreen.surface->bits[203 * 320 + 1], 0);
    EXPECT_EQ(gScreen.surface->bits[(203 - 2) * 320 + 1], 9);
    EXPECT_EQ(runtime::present(gScreen.surface, 0, 0, 0, 0, 0, 1, 1), runtime::kPresentedWhole);
    // A larger windowed buffer in the same window ends the full-screen picture.
    ASSERT_EQ(run("SCREENSETTINGS 4\nSCREENGRAPHICS R 640 480\nSCREENINFO I\n"), "");
    EXPECT_EQ(var("R"), "1");
    EXPECT_EQ(var("I"), "DIBSection");
    EXPECT_FALSE(plat::isFullScreen(gScreen.window));
    plat::RECT client;
    ASSERT_TRUE(plat::getClientRect(gScreen.window, &client));
    EXPECT_EQ(client.right, 640);
    runtime::resetPresentationForTest();

    ASSERT_EQ(run("SCREENSETTINGS 2\nSCREENGRAPHICS A 320 240\nSCREENSETTINGS 1\nSCREENGRAPHICS B 640 480\n"), "");
    EXPECT_EQ(var("A"), "0");
    EXPECT_EQ(var("B"), "0");
}

// The full-screen mode the display service holds for the presentation window, as "WxH".
std::string presentationMode() {
    int32_t w = -1, h = -1;
    if (!plat::fullScreenMode(gScreen.window, &w, &h)) return "no window";
    return std::to_string(w) + "x" + std::to_string(h);
}

TEST_F(RuntimeTest, DisplayResolutionChangesOnlyAFullScreenPresentation) {
    ASSERT_EQ(run("SYSTEMDISPLAYRESOLUTION 2\nSYSTEMDISPLAYRESOLUTION 0\n"), "") << "no window: nothing to do";

    ASSERT_EQ(run("SCREENSETTINGS 1\nSCREENGRAPHICS R 320 240\n"), "");
    ASSERT_TRUE(plat::isFullScreen(gScreen.window));
    const struct {
        const char* mode;
        const char* want;
    } steps[] = {
        {"1", "640x400"}, {"2", "640x480"}, {"7", "640x480"}, {"-1", "640x480"},
        {"5", "640x480"}, {"3", "800x600"}, {"4", "1024x768"}, {"0", "0x0"},
    };
    for (const auto& s : steps) {
        ASSERT_EQ(run(std::string("SYSTEMDISPLAYRESOLUTION ") + s.mode + "\n"), "") << s.mode;
        EXPECT_EQ(presentationMode(), s.want) << "after mode " << s.mode;
        EXPECT_TRUE(plat::isFullScreen(gScreen.window));
    }
    runtime::resetPresentationForTest();

    // A windowed presentation leaves the desktop alone, also for its next full screen.
    ASSERT_EQ(run("SCREENGRAPHICS R 64 48\nSYSTEMDISPLAYRESOLUTION 3\n"), "");
    EXPECT_EQ(presentationMode(), "0x0");
    ASSERT_TRUE(plat::setFullScreen(gScreen.window, true));  // as the user's key would
    EXPECT_EQ(presentationMode(), "0x0");
    ASSERT_EQ(run("SYSTEMDISPLAYRESOLUTION 3\n"), "");
    EXPECT_EQ(presentationMode(), "800x600");
    // Back in a window the mode waits for the next full screen; mode 0 still gives the desktop
    // its own mode back.
    ASSERT_TRUE(plat::setFullScreen(gScreen.window, false));
    ASSERT_EQ(run("SYSTEMDISPLAYRESOLUTION 4\n"), "");
    EXPECT_EQ(presentationMode(), "800x600");
    ASSERT_EQ(run("SYSTEMDISPLAYRESOLUTION 0\n"), "");
    EXPECT_EQ(presentationMode(), "0x0");
}

TEST_F(RuntimeTest, SystemOptionsForTheCodec) {
    ASSERT_EQ(run("SYSTEMUSEMMX MMX 2\nSYSTEMUSEDIRECTSOUND\n"), "");
    EXPECT_TRUE(var("MMX") == "0" || var("MMX") == "1");
    EXPECT_TRUE(engine::gSystemChoices.useDirectSound);
}

TEST_F(RuntimeTest, SmallerRequestKeepsTheLargerSurfaceAndClearsIt) {
    ASSERT_EQ(run("SCREENGRAPHICS R 320 200\nSCREENFILLEDBOX 0 0 320 200 9\n"), "");
    runtime::DisplaySurface* first = gScreen.surface;
    ASSERT_EQ(run("SCREENGRAPHICS R 100 50\nSCREENWIDTH W\nSCREENHEIGHT H\nSCREENSETPIXEL 0 0 4\n"), "");
    EXPECT_EQ(gScreen.surface, first);
    EXPECT_EQ(var("W"), "320");
    EXPECT_EQ(var("H"), "200");
    EXPECT_EQ(gDraw.originX, 110);
    EXPECT_EQ(gDraw.originY, 75);
    EXPECT_EQ(pixel(110, 75), 4);
    EXPECT_EQ(pixel(0, 0), 0) << "cleared to colour 0";
    EXPECT_EQ(pixel(319, 199), 0);

    // A larger request replaces the surface in the same window, which grows to fit.
    plat::HWND window = gScreen.window;
    ASSERT_EQ(run("SCREENGRAPHICS R 400 300\nSCREENWIDTH W\n"), "");
    EXPECT_EQ(gScreen.window, window);
    EXPECT_EQ(gScreen.surface->width, 400);
    EXPECT_EQ(var("W"), "400");
    plat::RECT client;
    ASSERT_TRUE(plat::getClientRect(window, &client));
    EXPECT_EQ(client.right, 400);
    EXPECT_EQ(client.bottom, 300);
    plat::PresentedFrame frame;
    ASSERT_TRUE(plat::lastPresentedFrame(window, &frame));
    EXPECT_EQ(frame.width, 400);
}

TEST_F(RuntimeTest, KeysAreQueuedUpToSixtyFour) {
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\n"), "");
    for (int i = 0; i < 70; ++i) ASSERT_TRUE(plat::injectChar(uint32_t('0' + i)));
    runtime::pumpMessages();
    EXPECT_EQ(gScreen.keyCount, 64);
    EXPECT_EQ(runtime::waitKey(), '0');
    EXPECT_EQ(runtime::waitKey(), '1');
    EXPECT_EQ(gScreen.keyCount, 62);
    EXPECT_EQ(gScreen.keyQueue[61], '0' + 63) << "the 65th and later keys were dropped";

    // Closing the window queues 241 and leaves the window alone.
    gScreen.keyCount = 0;
    ASSERT_TRUE(plat::injectClose());
    runtime::pumpMessages();
    ASSERT_EQ(gScreen.keyCount, 1);
    EXPECT_EQ(gScreen.keyQueue[0], runtime::kCloseKey);
    EXPECT_TRUE(plat::isWindow(gScreen.window));
}

TEST_F(RuntimeTest, KeyMessagesBecomeKeyCodes) {
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\n"), "");
    struct Case {
        int vk;
        bool shift, ctrl, alt;
        std::vector<int> codes;
    } cases[] = {
        {plat::VK_F1, false, false, false, {208}},
        {plat::VK_F1, true, false, false, {218}},
        {plat::VK_F1, false, true, false, {228}},
        {plat::VK_F1, true, true, false, {218}},
        {plat::VK_F1, false, false, true, {238}},
        {plat::VK_F10, false, false, false, {217}},
        {plat::VK_F10, false, false, true, {247}},
        {plat::VK_F12, false, false, false, {}},
        {plat::VK_PRIOR, false, false, false, {161}},
        {plat::VK_DOWN, false, false, false, {168}},
        {plat::VK_LEFT, false, false, true, {}},
        {plat::VK_INSERT, false, false, false, {173}},
        {plat::VK_DELETE, false, false, false, {174}},
        {plat::VK_RETURN, false, false, false, {13}},
        {plat::VK_ESCAPE, false, false, false, {27}},
        {plat::VK_TAB, false, false, false, {9}},
        {plat::VK_TAB, true, false, false, {137}},
        {'A', false, false, false, {'a'}},
        {'A', true, false, false, {'A'}},
        {'A', false, false, true, {}},
        {plat::VK_SHIFT, false, false, false, {}},
    };
    for (const Case& c : cases) {
        gScreen.keyCount = 0;
        ASSERT_TRUE(plat::injectKey(c.vk, c.shift, c.ctrl, c.alt));
        runtime::pumpMessages();
        std::vector<int> got(gScreen.keyQueue, gScreen.keyQueue + gScreen.keyCount);
        EXPECT_EQ(got, c.codes) << "vk " << c.vk << " shift " << c.shift << " ctrl " << c.ctrl << " alt " << c.alt;
    }
    // Characters beyond one byte have no code.
    gScreen.keyCount = 0;
    ASSERT_TRUE(plat::injectChar(0x141));
    runtime::pumpMessages();
    EXPECT_EQ(gScreen.keyCount, 0);
}

TEST_F(RuntimeTest, PaletteMessagesAndTheSystemMenu) {
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\n"), "");
    plat::HWND w = gScreen.window;
    EXPECT_EQ(plat::sendMessage(w, plat::WM_QUERYNEWPALETTE, 0, 0), 256);
    EXPECT_EQ(plat::sendMessage(w, plat::WM_PALETTECHANGED, plat::WPARAM(w), 0), 0) << "caused by this window";
    EXPECT_EQ(plat::sendMessage(w, plat::WM_PALETTECHANGED, plat::WPARAM(w + 1), 0), 256);
    EXPECT_EQ(plat::sendMessage(w, plat::WM_ERASEBKGND, 0, 0), 1);

    plat::HMENU menu = plat::getSystemMenu(w, false);
    auto greyed = [&](plat::UINT item) {
        return (plat::getMenuState(menu, item, plat::MF_BYPOSITION) & plat::MF_GRAYED) != 0;
    };
    EXPECT_TRUE(greyed(0));
    EXPECT_FALSE(greyed(1));
    EXPECT_TRUE(greyed(2));
    EXPECT_FALSE(greyed(3));
    EXPECT_TRUE(greyed(4));
    plat::sendMessage(w, plat::WM_SYSCOMMAND, plat::SC_MINIMIZE, 0);
    EXPECT_FALSE(greyed(0));
    EXPECT_TRUE(greyed(3));
    plat::sendMessage(w, plat::WM_SYSCOMMAND, plat::SC_RESTORE, 0);
    EXPECT_TRUE(greyed(0));
    EXPECT_FALSE(greyed(3));
}

TEST_F(RuntimeTest, ButtonReleasesAreCounted) {
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\n"), "");
    ASSERT_TRUE(plat::injectClick(0, 3, 3));
    ASSERT_TRUE(plat::injectClick(1, 3, 3));
    ASSERT_TRUE(plat::injectClick(1, 4, 4));
    runtime::pumpMessages();
    EXPECT_EQ(gScreen.leftButtonUps, 1u);
    EXPECT_EQ(gScreen.rightButtonUps, 2u);
}

TEST_F(RuntimeTest, WindowPlacementStyleAndTitle) {
    ASSERT_EQ(run("SCREENWINDOWTITLE 'Show'\nSCREENGRAPHICS R 64 48\n"), "");
    plat::HWND w = gScreen.window;
    EXPECT_EQ(plat::getWindowText(w), "Show");
    uint32_t style = uint32_t(plat::getWindowLongPtr(w, plat::GWL_STYLE));
    uint32_t ex = uint32_t(plat::getWindowLongPtr(w, plat::GWL_EXSTYLE));
    EXPECT_EQ(style & plat::WS_CAPTION, plat::WS_CAPTION);
    EXPECT_TRUE(ex & plat::WS_EX_DLGMODALFRAME);
    EXPECT_FALSE(ex & plat::WS_EX_TOPMOST);

    // Centred on the desktop; the client area starts on a multiple of 8.
    plat::POINT origin;
    ASSERT_TRUE(plat::clientToScreen(w, &origin));
    int32_t deskW = plat::getSystemMetrics(plat::SM_CXSCREEN), deskH = plat::getSystemMetrics(plat::SM_CYSCREEN);
    EXPECT_EQ(origin.x % 8, 0);
    EXPECT_LE(std::abs(origin.x - (deskW - 64) / 2), 7);
    EXPECT_EQ(origin.y, (deskH - 48) / 2);

    plat::RECT before, after;
    ASSERT_TRUE(plat::getWindowRect(w, &before));
    ASSERT_EQ(run("SCREENWINDOWPOS 100 50\nSCREENWINDOWTITLE 'Next'\n"), "");
    ASSERT_TRUE(plat::getWindowRect(w, &after));
    EXPECT_EQ(after.top, 50);
    EXPECT_EQ((after.left + gScreen.clientLeft) % 8, 0);
    EXPECT_LE(std::abs(after.left - 100), 7);
    EXPECT_EQ(after.right - after.left, before.right - before.left) << "no size change";
    EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);
    EXPECT_EQ(plat::getWindowText(w), "Next");

    // Negative coordinates centre the window at once.
    ASSERT_EQ(run("SCREENWINDOWPOS -1 -1\n"), "");
    ASSERT_TRUE(plat::getWindowRect(w, &after));
    EXPECT_EQ(after.top, before.top);
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(gScreen.positionX, -1);

    // Without caption or border, and the title's effect without a window.
    runtime::resetPresentationForTest();
    ASSERT_EQ(run("SCREENWINDOWBORDER 2\nSCREENGRAPHICS R 64 48\n"), "");
    style = uint32_t(plat::getWindowLongPtr(gScreen.window, plat::GWL_STYLE));
    ex = uint32_t(plat::getWindowLongPtr(gScreen.window, plat::GWL_EXSTYLE));
    EXPECT_EQ(style & (plat::WS_CAPTION | plat::WS_BORDER), 0u);
    EXPECT_FALSE(ex & plat::WS_EX_DLGMODALFRAME);
    runtime::resetPresentationForTest();
    ASSERT_EQ(run("SCREENWINDOWTITLE ''\n"), "");
    EXPECT_TRUE(gScreen.screenFlags & runtime::kFlagNoCaption);
    ASSERT_EQ(run("SCREENWINDOWTITLE 'x'\nSCREENWINDOWBORDER 1\n"), "");
    EXPECT_FALSE(gScreen.screenFlags & runtime::kFlagNoCaption);
    EXPECT_EQ(gScreen.screenFlags & 0xC000, 0xC000u);
}

TEST_F(RuntimeTest, ErrorsAndScreenTextCloseTheWindow) {
    std::string error = run("SCREENGRAPHICS R 20 10\nSCREENADJUSTXY 3 4\nVARSET\n");
    EXPECT_NE(error, "");
    EXPECT_EQ(gScreen.window, 0u);
    EXPECT_EQ(gScreen.surface, nullptr);

    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\nSCREENADJUSTXY 3 4\n"), "");
    plat::HWND w = gScreen.window;
    plat::HCURSOR blank = gScreen.blankCursor;
    ASSERT_NE(blank, 0u);
    EXPECT_TRUE(plat::windowHidesPointer(w));
    ASSERT_EQ(run("SCREENTEXT\n"), "");
    EXPECT_FALSE(plat::isWindow(w));
    EXPECT_EQ(gScreen.blankCursor, 0u);
    EXPECT_FALSE(plat::destroyCursor(blank)) << "closing the window destroyed its blank cursor";
    EXPECT_EQ(gDraw.originX, 0);
    EXPECT_EQ(runtime::gTextOutput.x, 0);
    EXPECT_EQ(runtime::gTextOutput.colour, 7);
    EXPECT_EQ(runtime::gTextOutput.transColour, 128);
    // A new window afterwards works as the first one did.
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\nSCREENSETPIXEL 1 1 1\n"), "");
    EXPECT_EQ(pixel(1, 1), 1);
    EXPECT_TRUE(plat::windowHidesPointer(gScreen.window));
}

TEST_F(RuntimeTest, AQuitMessageTakesTheWindowAwayAndClosingStillDestroysIt) {
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\n"), "");
    plat::HWND w = gScreen.window;
    plat::postQuitMessage(0);
    runtime::pumpMessages();
    EXPECT_EQ(gScreen.window, 0u);
    EXPECT_EQ(run("SCREENSETPIXEL 0 0 1\n").substr(0, sizeof kNoWindow - 1), kNoWindow);
    EXPECT_FALSE(plat::isWindow(w)) << "the error's close destroyed the window the handle had named";
    EXPECT_EQ(gScreen.surface, nullptr);
}

TEST_F(RuntimeTest, AutoPauseWaitsWhileTheWindowHasNoFocus) {
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\nSCREENWINDOWAUTOPAUSE 1\n"), "");
    EXPECT_FALSE(engine::gHooks.autoPauseWaiting());
    plat::InputEvent off;
    off.kind = plat::InputEvent::Deactivate;
    ASSERT_TRUE(plat::injectEvent(off, gScreen.window));
    runtime::pumpMessages();
    EXPECT_FALSE(runtime::hasFocus());
    EXPECT_TRUE(engine::gHooks.autoPauseWaiting());
    ASSERT_EQ(run("SCREENWINDOWAUTOPAUSE 0\nSCREENWINDOWHASFOCUS F\n"), "");
    EXPECT_FALSE(engine::gHooks.autoPauseWaiting());
    EXPECT_EQ(var("F"), "0");
}

// ---- surface ---------------------------------------------------------------------------------

TEST_F(RuntimeTest, PresentRepaintsEverythingOnceAfterAPaletteChange) {
    ASSERT_EQ(run("SCREENGRAPHICS R 64 32\n"), "");
    runtime::DisplaySurface* s = gScreen.surface;
    runtime::present(s, 0, 0, 0, 1, 1, 2, 2);  // after the palette of SCREENGRAPHICS, unless a repaint came first
    EXPECT_EQ(s->repaintPending, 0);
    EXPECT_EQ(runtime::present(s, 0, 0, 0, 1, 1, 2, 2), 0);
    runtime::setPalette(s, gDraw.screenPalette);
    EXPECT_EQ(s->repaintPending, 1);
    EXPECT_EQ(runtime::present(s, 0, 0, 0, 1, 1, 2, 2), 256);
    EXPECT_EQ(runtime::present(s, 0, 0, 0, 1, 1, 2, 2), 0);
    EXPECT_EQ(s->displayColours, 1 << 24);
    EXPECT_EQ(s->firstFree, 0);
    EXPECT_EQ(s->lastFree, 256);
    EXPECT_EQ(s->freeEntries, 256);
}

TEST_F(RuntimeTest, CollectedRectanglesShowAtTheDrain) {
    ASSERT_EQ(run("SCREENGRAPHICS R 64 32\n"), "");
    runtime::DisplaySurface* s = gScreen.surface;
    EXPECT_EQ(s->queueCapacity, 16);
    runtime::present(s, 0, 0, 0, 0, 0, 64, 32);
    plat::PresentedFrame frame;
    ASSERT_TRUE(plat::lastPresentedFrame(gScreen.window, &frame));
    const uint64_t presents = frame.presents;

    runtime::beginCollect(s);
    for (int i = 0; i < 3; ++i) {
        *runtime::pixelAddress(s, i * 10, i) = uint8_t(i + 1);
        EXPECT_EQ(runtime::present(s, 0, 0, 0, i * 10, i, 1, 1), 0);
    }
    EXPECT_EQ(s->queueCount, 3);
    ASSERT_TRUE(plat::lastPresentedFrame(gScreen.window, &frame));
    EXPECT_EQ(frame.presents, presents) << "nothing shown while collecting";
    EXPECT_EQ(runtime::drainQueue(s), 0);
    ASSERT_TRUE(plat::lastPresentedFrame(gScreen.window, &frame));
    EXPECT_EQ(frame.pixels[1 * 64 + 10], 2);
    EXPECT_EQ(frame.pixels[2 * 64 + 20], 3);
    EXPECT_EQ(s->queueMode, runtime::QUEUE_DRAW);
    EXPECT_EQ(s->queueCount, 0);

    // A full queue draws at once; a palette change turns the drain into one whole repaint.
    runtime::beginCollect(s);
    for (int i = 0; i < 16; ++i) runtime::present(s, 0, 0, 0, 0, 0, 1, 1);
    *runtime::pixelAddress(s, 63, 31) = 7;
    runtime::present(s, 0, 0, 0, 63, 31, 1, 1);
    ASSERT_TRUE(plat::lastPresentedFrame(gScreen.window, &frame));
    EXPECT_EQ(frame.pixels[31 * 64 + 63], 7);
    runtime::setPalette(s, gDraw.screenPalette);
    EXPECT_EQ(runtime::drainQueue(s), 256);

    // Capacity grows with the buffer.
    runtime::resetPresentationForTest();
    ASSERT_EQ(run("SCREENGRAPHICS R 320 200\n"), "");
    EXPECT_EQ(gScreen.surface->queueCapacity, 125);
}

TEST_F(RuntimeTest, CopyAndReadRectanglesStayInsideTheBuffer) {
    ASSERT_EQ(run("SCREENGRAPHICS R 20 10\n"), "");
    runtime::DisplaySurface* s = gScreen.surface;
    const uint8_t image[4 * 3] = {1, 2, 3, 4, 5, 0, 0, 6, 7, 8, 9, 0};
    const uint8_t mask[4 * 3] = {0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1};
    runtime::screenCopyRect(s, image, 0, 0, 4, 3, 4, 18, 8, runtime::COPY_PLAIN, 0, nullptr);
    EXPECT_EQ(nonZeroPixels(), "18,8=1 19,8=2 18,9=5 ");
    runtime::clearSurface(s, 9);
    runtime::screenCopyRect(s, image, 0, 0, 4, 3, 4, 0, 0, runtime::COPY_TRANSPARENT, 0, nullptr);
    EXPECT_EQ(pixel(1, 1), 9);
    EXPECT_EQ(pixel(3, 1), 6);
    runtime::screenCopyRect(s, image, 0, 0, 4, 3, 4, 4, 0, runtime::COPY_MASK, 0, mask);
    EXPECT_EQ(pixel(4, 0), 9);
    EXPECT_EQ(pixel(5, 0), 2);
    runtime::screenCopyRect(s, image, 0, 0, 4, 3, 4, 8, 0, runtime::COPY_MERGE, 0, mask);
    EXPECT_EQ(pixel(8, 1), 5);
    EXPECT_EQ(pixel(9, 1), 1) << "a key pixel takes the second image's pixel";
    // Negative targets count as beyond the edge: nothing is copied.
    runtime::clearSurface(s, 0);
    runtime::screenCopyRect(s, image, 0, 0, 4, 3, 4, -1, 0, runtime::COPY_PLAIN, 0, nullptr);
    runtime::screenCopyRect(s, image, 0, 0, 4, 3, 4, 0, 10, runtime::COPY_PLAIN, 0, nullptr);
    EXPECT_EQ(nonZeroPixels(), "");

    // Reading over the edge takes what is inside and leaves the rest of the image alone.
    *runtime::pixelAddress(s, 0, 0) = 4;
    *runtime::pixelAddress(s, 19, 9) = 5;
    uint8_t out[3 * 3];
    std::memset(out, 0xEE, sizeof out);
    runtime::screenReadRect(s, out, 0, 0, 3, 3, 3, -1, -1);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(out[4], 4);
    EXPECT_EQ(out[5], 0);
    std::memset(out, 0xEE, sizeof out);
    runtime::screenReadRect(s, out, 0, 0, 3, 3, 3, 18, 8);
    EXPECT_EQ(out[4], 5);
    EXPECT_EQ(out[5], 0xEE);
    EXPECT_EQ(out[8], 0xEE);
}

}  // namespace
