// Animations in scripts run in-process, headless, on the virtual clock: the files are written
// by the project's writer at test time (solid frames whose pixel value is the frame number, so
// what the screen shows names the frame), and the tests read the surface, the picture the
// window last showed, the captured frames and the WAV capture of the mix.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/mem_block.h"
#include "base/timer.h"
#include "codec/audio/sound_backend.h"
#include "codec/torvex.h"
#include "encoder/torvex_writer.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/display.h"
#include "platform/fs.h"
#include "platform/input.h"
#include "platform/window.h"
#include "player/engine/program.h"
#include "player/engine/script.h"
#include "player/runtime/animation.h"
#include "player/runtime/bitmaps.h"
#include "player/runtime/display_surface.h"
#include "player/runtime/mouse.h"
#include "player/runtime/runtime.h"
#include "player/runtime/screen_draw.h"
#include "player/runtime/screen_window.h"
#include "tests/runtime/script_fixture.h"
#include "tests/support/test_support.h"

namespace {

using runtime::gDraw;
using runtime::gScreen;

using runtimetest::var;

// The palette every fixture carries: distinct colours, none equal to the start palette's.
std::vector<uint8_t> filePalette() {
    std::vector<uint8_t> p(768);
    for (int i = 0; i < 256; ++i) {
        p[size_t(i) * 3] = uint8_t(255 - i);
        p[size_t(i) * 3 + 1] = uint8_t(i);
        p[size_t(i) * 3 + 2] = uint8_t(100 + i / 4);
    }
    return p;
}

std::vector<uint8_t> shownPalette() {
    std::vector<uint8_t> in = filePalette(), out(768);
    TorvexWriterShownPalette(in.data(), out.data());
    return out;
}

struct FixtureOptions {
    uint32_t width = 16, height = 8;
    uint32_t frames = 10;
    int32_t frameRate = 66;  // milliseconds a frame
    // Pixels of frame k (1-based) at (x, y); the default is the frame number everywhere.
    uint8_t (*pixel)(uint32_t k, uint32_t x, uint32_t y) = nullptr;
    std::vector<TorvexWriterTrack> tracks;
};

TorvexWriterTrack tone(uint32_t rate, uint32_t channels, double seconds) {
    TorvexWriterTrack t;
    t.rate = rate;
    t.channels = channels;
    t.bits = 16;
    t.pcm = testsupport::sinePcm(rate, channels, 16, seconds, 440, 0, 10000.0 / 32767);
    return t;
}

// Sign changes of the left channel between two frame positions.
size_t signChanges(const std::string& wav) {
    auto b = testsupport::readFile(wav);
    size_t n = 0;
    int prev = 0;
    for (size_t at = 44; at + 4 <= b.size(); at += 4) {
        int16_t l = int16_t(b[at] | b[at + 1] << 8);
        int sign = l > 500 ? 1 : l < -500 ? -1 : 0;
        if (sign && prev && sign != prev) ++n;
        if (sign) prev = sign;
    }
    return n;
}

// The pixels and palette of a captured 8-bit BMP frame, rows top first.
struct CapturedFrame {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> pixels;
    std::vector<uint8_t> rgb;  // 256 x red, green, blue
};
bool readCapturedFrame(const std::string& path, CapturedFrame* out) {
    auto b = testsupport::readFile(path);
    auto u32 = [&](size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24; };
    if (b.size() < 54 + 1024 || b[0] != 'B' || b[1] != 'M' || (b[28] | b[29] << 8) != 8) return false;
    uint32_t offset = u32(10), width = u32(18), height = u32(22);
    uint32_t rowSize = (width + 3) & ~3u;
    if (width == 0 || height == 0 || width > 4096 || height > 4096 || offset + uint64_t(rowSize) * height > b.size())
        return false;
    out->width = int32_t(width);
    out->height = int32_t(height);
    out->pixels.resize(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y)
        std::memcpy(&out->pixels[size_t(y) * width], &b[offset + size_t(height - 1 - y) * rowSize], width);
    out->rgb.resize(768);
    for (int i = 0; i < 256; ++i) {
        out->rgb[size_t(i) * 3] = b[54 + size_t(i) * 4 + 2];
        out->rgb[size_t(i) * 3 + 1] = b[54 + size_t(i) * 4 + 1];
        out->rgb[size_t(i) * 3 + 2] = b[54 + size_t(i) * 4];
    }
    return true;
}

std::string frameFile(const std::string& dir, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%05d.bmp", n);
    return dir + name;
}

class AnimationTest : public runtimetest::ScriptFixture {
protected:
    void SetUp() override {
        plat::audioShutdown();
        plat::setAudioBackendForTest(plat::AudioBackend::Null);
        torvex::TorvexSoundResetForTest();
        runtime::closeAllAnimations();
        ScriptFixture::SetUp();
        KroTimerReset();
        runtime::freeAllBitmaps();
        runtime::resetMouse();
        engine::gProgram.mousePresent = false;
    }
    void TearDown() override {
        runtime::closeAllAnimations();
        runtime::freeAllBitmaps();
        runtime::resetMouse();
        torvex::TorvexSoundResetForTest();
        plat::audioShutdown();
        plat::setAudioBackendForTest(plat::AudioBackend::Null);
        ScriptFixture::TearDown();
    }
    static void resetRuntime() {
        runtime::closeAllAnimations();
        runtime::resetPresentationForTest();
        runtime::freeAllBitmaps();
        runtime::resetMouse();
    }

    // Writes a fixture into the test's directory and returns its path without the extension.
    std::string write(const std::string& name, const FixtureOptions& fixture = {}) {
        std::vector<std::vector<uint8_t>> pictures(fixture.frames, std::vector<uint8_t>(fixture.width * fixture.height));
        std::vector<uint8_t> palette = filePalette();
        std::vector<TorvexWriterFrame> list;
        for (uint32_t k = 0; k < fixture.frames; ++k) {
            for (uint32_t y = 0; y < fixture.height; ++y)
                for (uint32_t x = 0; x < fixture.width; ++x)
                    pictures[k][y * fixture.width + x] = fixture.pixel ? fixture.pixel(k + 1, x, y) : uint8_t(k + 1);
            list.push_back({pictures[k].data(), palette.data(), false});
        }
        TorvexWriterOptions options;
        options.frameRate = fixture.frameRate;
        options.tracks = fixture.tracks;
        std::string error;
        EXPECT_TRUE(TorvexWrite(dir.file(name + ".tvx"), fixture.width, fixture.height, list, options, &error)) << error;
        return dir.file(name);
    }

    // Runs the script (every %D% in it replaced by the test's directory) and returns the error
    // box's text, "" when there was none.
    std::string run(std::string script) {
        for (size_t at; (at = script.find("%D%")) != std::string::npos;) script.replace(at, 3, dir.path());
        return ScriptFixture::run(script);
    }

    // The picture the window shows now.
    plat::PresentedFrame shown() const {
        plat::PresentedFrame f;
        EXPECT_TRUE(plat::lastPresentedFrame(gScreen.window, &f));
        return f;
    }

    testsupport::TempDir dir;
};

std::string firstLine(const std::string& text) { return text.substr(0, text.find("\r\n")); }

// ---- slots and advancing ----------------------------------------------------------------------

TEST_F(AnimationTest, AdvancingShowsEveryFrameAndStartsOverAfterTheLast) {
    write("ten");
    std::string script = "SCREENGRAPHICS R 16 8\nANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONTOSCREEN A 0 0\n";
    for (int i = 1; i <= 11; ++i)
        script += "ANIMATIONADVANCE A ; SCREENGETPIXEL P" + std::to_string(i) + " 15 7\n";
    script += "ANIMATIONFRAMES F A\nANIMATIONWIDTH W A\nANIMATIONHEIGHT H A\n";
    ASSERT_EQ(run(script), "");
    EXPECT_EQ(var("A"), "3000");
    for (int i = 1; i <= 11; ++i) {
        std::string name = "P" + std::to_string(i);
        EXPECT_EQ(var(name.c_str()), std::to_string(i <= 10 ? i : 1)) << name;
    }
    EXPECT_EQ(var("F"), "10");
    EXPECT_EQ(var("W"), "16");
    EXPECT_EQ(var("H"), "8");
    // Each frame reached the window, with the file's palette taken over.
    plat::PresentedFrame f = shown();
    EXPECT_EQ(f.pixels[0], 1);
    EXPECT_EQ(f.pixels.back(), 1);
    std::vector<uint8_t> want = shownPalette();
    EXPECT_EQ(std::memcmp(gDraw.screenPalette, want.data(), 768), 0);
    EXPECT_EQ(f.palette[5].red, want[15]);
}

TEST_F(AnimationTest, SeekingAndThePaletteFreeAdvance) {
    write("ten");
    ASSERT_EQ(run("SCREENGRAPHICS R 16 8\nANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONTOSCREEN A 0 0\n"
                  "ANIMATIONGOTO A 7\nANIMATIONADVANCENOPALETTE A\nSCREENGETPIXEL G 0 0\n"
                  "ANIMATIONBACKTOSTART A\nANIMATIONADVANCENOPALETTE A\nSCREENGETPIXEL B 0 0\n"
                  "ANIMATIONGOTO A 10\nANIMATIONADVANCENOPALETTE A\nANIMATIONGOTO A 3\nANIMATIONADVANCENOPALETTE A\n"
                  "SCREENGETPIXEL T 0 0\n"),
              "");
    EXPECT_EQ(var("G"), "7");
    EXPECT_EQ(var("B"), "1");
    // GOTO leaves the advance-pending mark of the last frame alone: the next advance moves on.
    EXPECT_EQ(var("T"), "4");
    uint8_t start[768];
    runtime::buildDefaultPalette(start);
    EXPECT_EQ(std::memcmp(gDraw.screenPalette, start, 768), 0) << "no palette taken";    // The frame time: not yet due right after a frame, due once ANIMATIONDELAY has waited.
    ASSERT_EQ(run("ANIMATIONSTILLDELAY E1 3000\nSYSTEMTIMER T0\nANIMATIONDELAY 3000\nSYSTEMTIMER T1\n"
                  "ANIMATIONSTILLDELAY E2 3000\n"),
              "");
    EXPECT_EQ(var("E1"), "1");
    EXPECT_EQ(std::stoi(var("T1")) - std::stoi(var("T0")), 66);
    EXPECT_EQ(var("E2"), "0");
}

TEST_F(AnimationTest, PlacesOnTheScreenAreRoundedCentredAndCut) {
    write("ten");  // 16 x 8
    struct Case {
        const char* place;  // ANIMATIONTOSCREEN's x and y on a 24 x 12 screen
        int32_t left, top;  // where the frame lands
    };
    const Case cases[] = {
        {"0 0", 0, 0},     {"7 2", 4, 2},    {"-1 -1", 4, 2},  {"-5 -3", -8, -3},
        {"20 9", 20, 9},   {"100 100", 100, 100},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(run(std::string("SCREENGRAPHICS R 24 12\nANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONTOSCREEN A ") +
                      c.place + "\nANIMATIONADVANCE A\nANIMATIONADVANCE A\nANIMATIONCLOSE A\n"),
                  "")
            << c.place;
        plat::PresentedFrame f = shown();
        for (int32_t y = 0; y < 12; ++y)
            for (int32_t x = 0; x < 24; ++x) {
                bool inside = x >= c.left && x < c.left + 16 && y >= c.top && y < c.top + 8;
                ASSERT_EQ(pixel(x, y), inside ? 2 : 0) << c.place << " at " << x << "," << y;
                ASSERT_EQ(f.pixels[size_t(y) * 24 + size_t(x)], inside ? 2 : 0) << c.place << " shown at " << x << "," << y;
            }
    }
    // The drawing origin is added after the rounding.
    ASSERT_EQ(run("SCREENGRAPHICS R 24 12\nSCREENADJUSTXY 1 1\nANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONTOSCREEN A 3 0\n"
                  "ANIMATIONADVANCE A\n"),
              "");
    EXPECT_EQ(pixel(0, 0), 0);
    EXPECT_EQ(pixel(1, 1), 1);
    EXPECT_EQ(pixel(16, 8), 1);
    EXPECT_EQ(pixel(17, 8), 0);
}

TEST_F(AnimationTest, BitmapTargetsTakeFramesAndPalettes) {
    write("ten");
    ASSERT_EQ(run("BITMAPALLOC B 20 10\nBITMAPCLEAR B 99\nBITMAPALLOC S 8 4\nANIMATIONOPEN A 0 '%D%/ten'\n"
                  "ANIMATIONOPEN C 0 '%D%/ten'\nANIMATIONTOBITMAP A B\nANIMATIONTOBITMAP C S\n"
                  "ANIMATIONADVANCE A\nANIMATIONADVANCE A\nANIMATIONADVANCE C\n"
                  "BITMAPGETPIXEL P B 15 7\nBITMAPGETPIXEL Q B 16 8\nBITMAPGETPIXEL R S 7 3\n"),
              "");
    EXPECT_EQ(var("P"), "2");
    EXPECT_EQ(var("Q"), "99") << "outside the frame the bitmap keeps its pixels";
    EXPECT_EQ(var("R"), "1") << "a bitmap smaller than the frame takes its top-left part";
    EXPECT_EQ(gScreen.window, 0u) << "bitmap targets need no window";
    // The bitmap's palette follows the frames: the first frame's palette, none for a frame
    // without a palette change.
    const runtime::Bitmap* s = runtime::bitmapInSlot(1);
    ASSERT_NE(s->palette, nullptr);
    std::vector<uint8_t> want = shownPalette();
    EXPECT_EQ(std::memcmp(s->palette, want.data(), 768), 0);
    EXPECT_EQ(runtime::bitmapInSlot(0)->palette, nullptr);

    // A bitmap freed while it is a target is never written again.
    resetRuntime();
    ASSERT_EQ(run("BITMAPALLOC B 16 8\nANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONTOBITMAP A B\nANIMATIONADVANCE A\n"
                  "BITMAPFREE B\nBITMAPALLOC C 16 8\nBITMAPCLEAR C 50\nANIMATIONADVANCE A\nANIMATIONADVANCE A\n"
                  "BITMAPGETPIXEL P C 0 0\n"),
              "");
    EXPECT_EQ(var("P"), "50");
    // A bad bitmap or animation number is refused.
    resetRuntime();
    EXPECT_EQ(firstLine(run("ANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONTOBITMAP A 9000\n")), "  Bad frame parameter:");
    EXPECT_EQ(firstLine(run("ANIMATIONADVANCE 3031\n")), "  Bad animation parameter:");
    EXPECT_EQ(firstLine(run("ANIMATIONADVANCE 2999\n")), "  Bad animation parameter:");
    EXPECT_EQ(firstLine(run("ANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONCLOSE A\nANIMATIONFRAMES F A\n")),
              "  Bad animation parameter:");
    EXPECT_EQ(firstLine(run("ANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONTOSCREEN A 0 0\n")),
              "  A window hasn't been created yet (use ScreenGraphics first).");
}

TEST_F(AnimationTest, AScreenTargetGoesWithItsWindow) {
    write("ten");
    ASSERT_EQ(run("SCREENGRAPHICS R 16 8\nANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONTOSCREEN A 0 0\nANIMATIONADVANCE A\n"
                  "SCREENTEXT\nANIMATIONADVANCE A\nSCREENGRAPHICS R 32 16\nANIMATIONADVANCE A\n"
                  "SCREENGETPIXEL P 0 0\nANIMATIONTOSCREEN A 0 0\nANIMATIONADVANCE A\nSCREENGETPIXEL Q 0 0\n"),
              "");
    EXPECT_EQ(var("P"), "0") << "the new screen is not drawn on until the next ANIMATIONTOSCREEN";
    EXPECT_EQ(var("Q"), "4");
    uint8_t start[768];
    runtime::buildDefaultPalette(start);
    EXPECT_EQ(std::memcmp(gDraw.screenPalette, start, 768), 0) << "nor its palette changed";
    // A window that grows gets a new buffer: the old target is let go as well.
    ASSERT_EQ(run("SCREENGRAPHICS R 16 8\nANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONTOSCREEN A 0 0\n"
                  "SCREENGRAPHICS R 32 16\nANIMATIONADVANCE A\nSCREENGETPIXEL P 0 0\n"),
              "");
    EXPECT_EQ(var("P"), "0");
}

TEST_F(AnimationTest, TracksAndTheSlotTable) {
    FixtureOptions fixture;
    fixture.tracks = {tone(22050, 1, 0.7), tone(22050, 1, 0.7)};
    write("two", fixture);
    write("ten");
    ASSERT_EQ(run("ANIMATIONOPEN A 0 '%D%/two'\nANIMATIONTRACKS 1\nANIMATIONOPEN B 0 '%D%/two'\n"
                  "ANIMATIONTRACKS 0\nANIMATIONOPEN C 0 '%D%/two'\n"),
              "");
    ASSERT_EQ(var("A"), "3000");
    ASSERT_EQ(var("B"), "3001");
    ASSERT_EQ(var("C"), "3002");
    const uint32_t both = kTvxTrack0 | kTvxTrack0 << 1;
    EXPECT_EQ(runtime::gAnimations.slots[0].file->openFlags & kTvxTrackBits, both);
    EXPECT_EQ(runtime::gAnimations.slots[1].file->openFlags & kTvxTrackBits, kTvxTrack0);
    EXPECT_EQ(runtime::gAnimations.slots[2].file->openFlags & kTvxTrackBits, 0u);
    runtime::closeAllAnimations();

    // 32 slots; the 33rd open stores 0, a closed slot is taken again; the list shows the
    // whole base name.
    std::string script = "SCREENGRAPHICS R 320 200\nDEBUGFILE '%D%/trace.txt'\n";
    for (int i = 0; i < 33; ++i) script += "ANIMATIONOPEN H" + std::to_string(i) + " 0 '%D%/ten.tvx'\n";
    script += "ANIMATIONCLOSE 3005\nANIMATIONOPEN AGAIN 3 '%D%/ten'\nANIMATIONLIST\n";
    ASSERT_EQ(run(script), "");
    EXPECT_EQ(var("H31"), "3031");
    EXPECT_EQ(var("H32"), "0");
    EXPECT_EQ(var("AGAIN"), "3005");
    // Mode 1 never skips late frames, mode 2 loads all frame data at the open.
    EXPECT_EQ(runtime::gAnimations.slots[5].file->openFlags & (kTvxLoadAll | kTvxNeverSkip), kTvxLoadAll | kTvxNeverSkip);
    EXPECT_EQ(runtime::gAnimations.slots[4].file->openFlags & kTvxNeverSkip, 0u);
    auto bytes = testsupport::readFile(dir.file("trace.txt"));
    std::string trace(bytes.begin(), bytes.end());
    EXPECT_NE(trace.find("\r\nNumber: 3000  Name: ten  Width: 16  Height: 8\r\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Number: 3031  Name: ten  Width: 16  Height: 8\r\n"), std::string::npos);
}

TEST_F(AnimationTest, LongBaseNamesAreListedWhole) {
    write("a_rather_long_animation_name");
    ASSERT_EQ(run("SCREENGRAPHICS R 320 200\nDEBUGFILE '%D%/trace.txt'\n"
                  "ANIMATIONOPEN A 0 '%D%/a_rather_long_animation_name'\nANIMATIONLIST\n"),
              "");
    auto bytes = testsupport::readFile(dir.file("trace.txt"));
    std::string trace(bytes.begin(), bytes.end());
    EXPECT_NE(trace.find("Number: 3000  Name: a_rather_long_animation_name  Width: 16  Height: 8\r\n"),
              std::string::npos)
        << trace;
}

// ---- loading frames into bitmaps ----------------------------------------------------------------

TEST_F(AnimationTest, LoadToBitmapGivesTheFirstFrames) {
    write("ten");
    ASSERT_EQ(run("ANIMATIONLOADTOBITMAP '%D%/ten' X Y Z\nBITMAPGETPIXEL PX X 3 3\nBITMAPGETPIXEL PY Y 3 3\n"
                  "BITMAPGETPIXEL PZ Z 3 3\nBITMAPWIDTH W Z\nBITMAPGETPALETTEVALUE V X 2\n"
                  "ANIMATIONLOADTOBITMAP '%D%/missing' M N O\nANIMATIONLOADTOBITMAP '%D%/ten' ONE\n"
                  "BITMAPGETPIXEL P1 ONE 0 0\n"),
              "");
    EXPECT_EQ(var("PX"), "1");
    EXPECT_EQ(var("PY"), "2");
    EXPECT_EQ(var("PZ"), "3");
    EXPECT_EQ(var("W"), "16");
    EXPECT_NE(var("X"), var("Y"));
    EXPECT_NE(var("Y"), var("Z"));
    EXPECT_EQ(var("M"), "0");
    EXPECT_EQ(var("N"), "0");
    EXPECT_EQ(var("O"), "0");
    EXPECT_EQ(var("P1"), "1");
    int used = 0;
    for (int i = 0; i < runtime::kBitmapSlots; ++i) used += runtime::bitmapSlotUsed(i);
    EXPECT_EQ(used, 4) << "one bitmap per variable, nothing left over";

    // No free bitmap slot: every variable is 0.
    runtime::freeAllBitmaps();
    for (int i = 0; i < runtime::kBitmapSlots; ++i) ASSERT_GE(runtime::allocBitmapSlot(1, 1), 0);
    ASSERT_EQ(run("VARSET X 5\nANIMATIONLOADTOBITMAP '%D%/ten' X Y\n"), "");
    EXPECT_EQ(var("X"), "0");
    EXPECT_EQ(var("Y"), "0");
    runtime::freeAllBitmaps();
    // Something that is not a variable name ends the list with an error.
    EXPECT_EQ(firstLine(run("ANIMATIONLOADTOBITMAP '%D%/ten' X 'text'\n")), "  Needed a variable in command:");
    EXPECT_EQ(firstLine(run("ANIMATIONLOADTOBITMAP\n")), "  Needed a parameter in command:");
}

// ---- playing whole files ------------------------------------------------------------------------

TEST_F(AnimationTest, PlayCountsFramesAndTime) {
    write("ten");
    struct Case {
        int32_t count;
        int captured;      // frames the window showed during the play
        uint32_t elapsed;  // virtual milliseconds
    };
    // A frame every 66 ms: the wait after the last frame of each pass is left out.
    const Case cases[] = {{0, 0, 0}, {1, 10, 9 * 66}, {2, 20, 19 * 66}};
    for (const Case& c : cases) {
        ASSERT_EQ(run("SCREENGRAPHICS G 16 8\n"), "");
        testsupport::TempDir capture;
        ASSERT_TRUE(plat::setCaptureDirectory(capture.path()));
        uint32_t before = KroTimerRead();
        ASSERT_EQ(run("ANIMATIONPLAY R 0 0 " + std::to_string(c.count) + " 0 '%D%/ten'\n"), "") << c.count;
        uint32_t elapsed = KroTimerRead() - before;
        EXPECT_EQ(var("R"), "1") << c.count;
        EXPECT_EQ(plat::capturedFrameCount(), c.captured) << c.count;
        EXPECT_NEAR(double(elapsed), double(c.elapsed), 20.0) << c.count;
        EXPECT_EQ(pixel(0, 0), c.count ? 10 : 0) << c.count;
        plat::setCaptureDirectory("");
    }
    // Not waiting for the frame time takes no time at all.
    uint32_t before = KroTimerRead();
    ASSERT_EQ(run("ANIMATIONPLAY R 0 0 3 4 '%D%/ten'\n"), "");
    EXPECT_LT(KroTimerRead() - before, 20u);
    // Missing and damaged files store 0, and the script goes on.
    testsupport::writeText(dir.file("damaged.tvx"), std::string("TVX2") + std::string(200, '\x7f'));
    ASSERT_EQ(run("ANIMATIONPLAY R 0 0 1 0 '%D%/missing'\nANIMATIONPLAY S 0 0 1 0 '%D%/damaged'\n"
                  "ANIMATIONOPEN T 0 '%D%/damaged'\nANIMATIONOPEN U 0 '%D%/missing'\nVARSET GOES 'on'\n"),
              "");
    EXPECT_EQ(var("R"), "0");
    EXPECT_EQ(var("S"), "0");
    EXPECT_EQ(var("T"), "0");
    EXPECT_EQ(var("U"), "0");
    EXPECT_EQ(var("GOES"), "on");
    EXPECT_EQ(firstLine(run("ANIMATIONPLAY R 0 0 1 0 ''\n")), "  Needed a non-empty parameter in command:");
    resetRuntime();
    EXPECT_EQ(firstLine(run("ANIMATIONPLAY R 0 0 1 0 '%D%/ten'\n")),
              "  A window hasn't been created yet (use ScreenGraphics first).");
}

TEST_F(AnimationTest, EscapeStopsAfterTheCurrentFrameAndOtherKeysAreSwallowed) {
    write("ten");
    std::vector<plat::InputEvent> events(2);
    events[0].timeMs = 100;
    events[0].kind = plat::InputEvent::Char;
    events[0].ch = 'a';
    events[1].timeMs = 400;
    events[1].kind = plat::InputEvent::Key;
    events[1].virtualKey = plat::virtualKeyFromName("ESCAPE");
    plat::setInputScript(events);
    ASSERT_EQ(run("SCREENGRAPHICS G 16 8\nANIMATIONPLAY R 0 0 -1 128 '%D%/ten'\nSYSTEMTIMER T\n"), "");
    EXPECT_EQ(var("R"), "1");
    int32_t t = std::stoi(var("T"));
    EXPECT_GE(t, 400);
    EXPECT_LT(t, 400 + 2 * 66);
    EXPECT_EQ(gScreen.keyCount, 0) << "the letter was taken and dropped, Escape ended the play";
    // The frame shown last is whole: the one decoded when Escape came.
    plat::PresentedFrame f = shown();
    EXPECT_EQ(f.pixels.front(), pixel(0, 0));
    EXPECT_EQ(f.pixels.back(), pixel(0, 0));
    EXPECT_EQ(int(pixel(0, 0)), t / 66 % 10 + 1);

    // Without the flag the keys wait in the queue and the play runs to its end.
    plat::setInputScript(events);
    resetRuntime();
    ASSERT_EQ(run("SCREENGRAPHICS G 16 8\nANIMATIONPLAY R 0 0 1 0 '%D%/ten'\n"), "");
    EXPECT_EQ(pixel(0, 0), 10);
    ASSERT_EQ(gScreen.keyCount, 2);
    EXPECT_EQ(gScreen.keyQueue[0], 'a');
    EXPECT_EQ(gScreen.keyQueue[1], 27);
}

TEST_F(AnimationTest, PlaybackPausesWhileTheWindowIsInactive) {
    write("ten");
    std::vector<plat::InputEvent> events(2);
    events[0].timeMs = 100;
    events[0].kind = plat::InputEvent::Deactivate;
    events[1].timeMs = 1100;
    events[1].kind = plat::InputEvent::Activate;
    plat::setInputScript(events);
    ASSERT_EQ(run("SCREENGRAPHICS G 16 8\nSCREENWINDOWAUTOPAUSE 1\nSYSTEMTIMER T0\n"
                  "ANIMATIONPLAY R 0 0 1 0 '%D%/ten'\nSYSTEMTIMER T1\n"),
              "");
    // Unpaused the play takes 9 x 66 ms; the frames go on when the window is active again.
    int32_t elapsed = std::stoi(var("T1")) - std::stoi(var("T0"));
    EXPECT_GT(elapsed, 1100 + 4 * 66);
    EXPECT_LT(elapsed, 1100 + 9 * 66);
    EXPECT_EQ(pixel(0, 0), 10);
}

uint8_t halfTransparent(uint32_t k, uint32_t x, uint32_t) { return x < 8 ? 128 : uint8_t(k); }

TEST_F(AnimationTest, SaveAndMergePlaybackRestoreBackgroundAndPalette) {
    FixtureOptions fixture;
    fixture.pixel = halfTransparent;
    fixture.frames = 3;
    write("half", fixture);
    uint8_t start[768];
    runtime::buildDefaultPalette(start);
    for (int flags : {0x10, 0x100}) {
        testsupport::TempDir capture;
        ASSERT_EQ(run("SCREENGRAPHICS G 32 16\nSCREENFILLEDBOX 0 0 32 16 200\n"), "");
        ASSERT_TRUE(plat::setCaptureDirectory(capture.path()));
        ASSERT_EQ(run("ANIMATIONPLAY R 8 4 1 " + std::to_string(flags) + " '%D%/half'\n"), "") << flags;
        EXPECT_EQ(var("R"), "1");
        for (int32_t y = 0; y < 16; ++y)
            for (int32_t x = 0; x < 32; ++x) ASSERT_EQ(pixel(x, y), 200) << flags << " at " << x << "," << y;
        EXPECT_EQ(std::memcmp(gDraw.screenPalette, start, 768), 0) << flags;
        plat::PresentedFrame f = shown();
        EXPECT_EQ(f.pixels[size_t(8) * 32 + 20], 200) << flags;
        // The last frame of the play, as the window showed it before the restore (the last
        // captured picture).
        int n = plat::capturedFrameCount();
        ASSERT_EQ(n, 4) << flags;
        CapturedFrame played;
        ASSERT_TRUE(readCapturedFrame(frameFile(capture.path(), n - 2), &played)) << flags;
        uint8_t left = played.pixels[size_t(6) * 32 + 9], right = played.pixels[size_t(6) * 32 + 17];
        EXPECT_EQ(left, flags == 0x100 ? 200 : 128) << "merge shows the background through the transparent colour";
        EXPECT_EQ(right, 3) << flags;
        EXPECT_EQ(played.pixels[0], 200) << "outside the animation nothing changed";
        std::vector<uint8_t> want = shownPalette();
        EXPECT_EQ(played.rgb, want) << flags;
        plat::setCaptureDirectory("");
    }
}

TEST_F(AnimationTest, FadesAtSpeedZeroTakeNoTime) {
    write("ten");
    std::vector<uint8_t> want = shownPalette();
    uint8_t start[768];
    runtime::buildDefaultPalette(start);
    // From black alone, with the fade-out, ignoring the file's palette, and merged (which puts
    // the palette from before the play back at the end).
    for (int flags : {0x20, 0x60, 0x220, 0x120}) {
        ASSERT_EQ(run("SCREENGRAPHICS G 16 8\nSCREENFADESPEED 0\n"), "");
        testsupport::TempDir capture;
        ASSERT_TRUE(plat::setCaptureDirectory(capture.path()));
        uint32_t before = KroTimerRead();
        ASSERT_EQ(run("ANIMATIONPLAY R 0 0 1 " + std::to_string(flags) + " '%D%/ten'\n"), "");
        EXPECT_NEAR(double(KroTimerRead() - before), 9 * 66.0, 20.0) << flags;
        // The first picture of the play is the first frame on black.
        CapturedFrame first;
        ASSERT_TRUE(readCapturedFrame(frameFile(capture.path(), 0), &first)) << flags;
        EXPECT_EQ(first.pixels[0], 1) << flags;
        EXPECT_EQ(first.rgb, std::vector<uint8_t>(768, 0)) << flags;
        for (int i = 0; i < 768; ++i) {
            uint8_t expected = flags == 0x220   ? 0
                               : flags == 0x60  ? uint8_t(want[i] > 64 ? want[i] - 64 : 0)
                               : flags == 0x120 ? start[i]
                                                : want[i];
            ASSERT_EQ(gDraw.screenPalette[i], expected) << flags << " entry " << i / 3;
        }
        plat::setCaptureDirectory("");
    }
}

TEST_F(AnimationTest, PlayingASlotLeavesItOpenAfterTheLastFrame) {
    write("ten");
    ASSERT_EQ(run("SCREENGRAPHICS G 16 8\nANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONADVANCE A\n"
                  "ANIMATIONPLAY R 0 0 1 4 A\nSCREENGETPIXEL P 0 0\nANIMATIONADVANCE A\nSCREENGETPIXEL Q 0 0\n"
                  "ANIMATIONPLAY S 0 0 1 260 A\nANIMATIONADVANCE A\nSCREENGETPIXEL T 0 0\n"),
              "");
    EXPECT_EQ(var("R"), "1");
    EXPECT_EQ(var("P"), "10") << "the play went from frame 2 to the last one";
    EXPECT_EQ(var("Q"), "1") << "the slot stays on the screen, past the last frame played";
    EXPECT_EQ(var("S"), "1");
    // After a merge play (decoded off the screen) the slot goes back to the screen place it had.
    EXPECT_EQ(var("T"), "1");
    EXPECT_TRUE(runtime::animationSlotUsed(0));
}

TEST_F(AnimationTest, SoundPlaysWithoutAWindow) {
    FixtureOptions fixture;
    fixture.frames = 15;
    fixture.tracks = {tone(44100, 2, 1.0)};
    fixture.frameRate = -6667;
    write("sound", fixture);
    const std::string wav = dir.file("mix.wav");
    plat::audioShutdown();
    plat::setAudioBackendForTest(plat::AudioBackend::Wav, wav);
    uint32_t before = KroTimerRead();
    ASSERT_EQ(run("ANIMATIONPLAY R -1 -1 1 1024 '%D%/sound'\n"), "");
    uint32_t elapsed = KroTimerRead() - before;
    plat::audioShutdown();
    EXPECT_EQ(var("R"), "1");
    EXPECT_EQ(gScreen.window, 0u);
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 1200u);
    std::vector<double> stretches = testsupport::loudStretches(wav);
    ASSERT_FALSE(stretches.empty());
    // The whole second of the track is heard: the file is closed only after the last frame's
    // sound has played out.
    EXPECT_NEAR(stretches[0], 1.0, 0.02);
}

TEST_F(AnimationTest, AFileThatGoesBadStopsThePlay) {
    FixtureOptions fixture;
    fixture.frames = 10;
    fixture.pixel = [](uint32_t k, uint32_t x, uint32_t y) { return uint8_t((x * 7 + y * 13 + k * 29) % 251); };
    fixture.width = 64;
    fixture.height = 32;
    std::string path = write("cut", fixture) + ".tvx";
    auto bytes = testsupport::readFile(path);
    bytes.resize(bytes.size() * 6 / 10);
    testsupport::writeFile(path, bytes);
    ASSERT_EQ(run("SCREENGRAPHICS G 64 32\nANIMATIONPLAY R 0 0 -1 0 '%D%/cut'\nVARSET GOES 'on'\n"
                  "ANIMATIONOPEN A 0 '%D%/cut'\nANIMATIONTOSCREEN A 0 0\n"
                  "ANIMATIONADVANCE A ; ANIMATIONADVANCE A ; ANIMATIONADVANCE A ; ANIMATIONADVANCE A\n"
                  "ANIMATIONADVANCE A ; ANIMATIONADVANCE A ; ANIMATIONADVANCE A ; ANIMATIONADVANCE A\n"),
              "");
    EXPECT_EQ(var("R"), "1") << "the file opened";
    EXPECT_EQ(var("A"), "3000");
    // The endless play ended at the read error (the step limit would have ended the script).
    EXPECT_EQ(var("GOES"), "on");
}

// Fault injection: each allocation, and each file read or write, of a script that opens a
// window, a bitmap, an animation with sound and a file fails in turn. Every run ends with the
// script's error box or a failure result and goes on, frees what it took (the sanitizer build
// checks) and never crashes; once the fault lies past the last one asked for, the script runs
// through without an error.
TEST_F(AnimationTest, EveryFailedAllocationOrFileTransferFailsCleanly) {
    FixtureOptions fixture;
    fixture.frames = 4;
    fixture.tracks = {tone(22050, 1, 0.3)};
    write("ten", fixture);
    testsupport::writeText(dir.file("data.txt"), "first\r\nsecond\r\n");
    const std::string script =
        "SCREENGRAPHICS G 16 8\nBITMAPALLOC B 8 8\nANIMATIONOPEN A 0 '%D%/ten'\nANIMATIONTOSCREEN A 0 0\n"
        "ANIMATIONADVANCE A\nANIMATIONPLAY R 0 0 1 1 '%D%/ten'\nFILEOPEN F '%D%/data.txt'\nFILEREAD L F\n"
        "FILECLOSE F\nFILECREATE W '%D%/out.txt'\nFILEWRITE W 'written'\nFILECLOSE W\n";
    struct Switch {
        const char* what;
        void (*set)(uint64_t);
        uint64_t (*count)();
    };
    for (const Switch& s : {Switch{"allocation", TorvexMemFailAt, TorvexMemAllocations},
                            Switch{"file transfer", plat::setFileFaultAt, plat::fileTransfers}}) {
        SCOPED_TRACE(s.what);
        uint64_t n = 1;
        for (; n < 100000; ++n) {
            s.set(n);
            std::string error = run(script);
            uint64_t reached = s.count();
            s.set(0);
            if (n > reached) {
                EXPECT_EQ(error, "") << "no fault reached, yet the script failed";
                break;
            }
        }
        EXPECT_GT(n, 1u);
        EXPECT_LT(n, 100000u);
        EXPECT_EQ(var("L"), "first");
    }
}

// ---- SOUND ------------------------------------------------------------------------------------

TEST_F(AnimationTest, SoundCommandPlaysATone) {
    const std::string wav = dir.file("tone.wav");
    plat::audioShutdown();
    plat::setAudioBackendForTest(plat::AudioBackend::Wav, wav);
    uint32_t before = KroTimerRead();
    ASSERT_EQ(run("SOUND 1000 300\nSYSTEMTIMER A\nSOUND 10 200\nSYSTEMTIMER B\nSOUND 500 -5\nSYSTEMTIMER C\n"), "");
    plat::audioShutdown();
    EXPECT_EQ(std::stoi(var("A")) - int(before), 300);
    EXPECT_EQ(std::stoi(var("B")) - std::stoi(var("A")), 200) << "a frequency no beep takes waits silently";
    EXPECT_EQ(var("C"), var("B"));
    std::vector<double> stretches = testsupport::loudStretches(wav);
    ASSERT_EQ(stretches.size(), 1u);
    EXPECT_NEAR(stretches[0], 0.3, 0.02);
    EXPECT_NEAR(double(signChanges(wav)), 2 * 1000 * 0.3, 20.0) << "1000 Hz";
    EXPECT_EQ(firstLine(run("SOUND 440\n")), "  Needed a number in command:");
}

}  // namespace
