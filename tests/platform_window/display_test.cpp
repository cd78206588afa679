// Display service: presented pictures, palette, captured frames and log, clipping, the palette
// conversion and the letterbox arithmetic of the SDL path.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/display.h"
#include "platform/input.h"
#include "platform/sdl_video.h"
#include "platform/window.h"
#include "tests/support/test_support.h"

using namespace plat;

namespace {

LRESULT plainProc(HWND h, UINT m, WPARAM w, LPARAM l) { return defWindowProc(h, m, w, l); }

uint32_t le32(const std::vector<unsigned char>& b, size_t at) {
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) | (uint32_t(b[at + 3]) << 24);
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        setVirtualClock(true);
        setVideoBackendForTest(VideoBackend::Headless);
        resetWindowSystem();
        setInputScript({});
        WNDCLASS wc;
        wc.lpfnWndProc = plainProc;
        wc.lpszClassName = "Shown";
        ASSERT_NE(registerClass(wc), 0);
    }
    void TearDown() override {
        resetWindowSystem();
        setCaptureDirectory("");
        setVirtualClock(false);
    }
};

TEST_F(DisplayTest, CapturesChangedPresentsAsIndexedBitmapsWithALog) {
    testsupport::TempDir dir;
    ASSERT_TRUE(setCaptureDirectory(dir.path() + "/cap"));
    HWND w = createWindowEx(0, "Shown", "T", WS_POPUP | WS_VISIBLE, 0, 0, 100, 3, 0, nullptr);
    ASSERT_NE(w, 0u);
    // A bottom-up buffer, 100 wide with rows 104 bytes apart.
    std::vector<uint8_t> bits(104 * 3, 0xEE);
    for (int row = 0; row < 3; row++)
        for (int x = 0; x < 100; x++) bits[size_t(row) * 104 + size_t(x)] = uint8_t(row * 100 + x);
    ASSERT_TRUE(attachFrameBuffer(w, bits.data(), 100, 3, 104, true));
    PaletteEntry pal[3] = {{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 128, 64, 0}};
    ASSERT_TRUE(setPaletteEntries(w, 0, 3, pal));
    sleepMs(5);
    ASSERT_TRUE(presentAll(w));
    EXPECT_EQ(capturedFrameCount(), 1);

    auto bmp = testsupport::readFile(dir.path() + "/cap/frame_00000.bmp");
    ASSERT_EQ(bmp.size(), 1078u + 100 * 3);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(le32(bmp, 10), 1078u);
    EXPECT_EQ(le32(bmp, 18), 100u);
    EXPECT_EQ(le32(bmp, 22), 3u);
    EXPECT_EQ(bmp[28], 8);
    EXPECT_EQ(le32(bmp, 54 + 4), 0x00FF0000u) << "entry 1 red, stored blue-green-red";
    EXPECT_EQ(le32(bmp, 54 + 8), 0x00008040u);
    // Bitmap rows are bottom row first, as the bottom-up buffer is: the same bytes.
    for (int row = 0; row < 3; row++)
        EXPECT_EQ(std::memcmp(&bmp[1078 + size_t(row) * 100], &bits[size_t(row) * 104], 100), 0) << row;

    PresentedFrame f;
    ASSERT_TRUE(lastPresentedFrame(w, &f));
    EXPECT_EQ(f.pixels[0], 200) << "top-down: picture row 0 is the last buffer row";
    EXPECT_EQ(f.palette[1].red, 255);

    // Unchanged: no new frame. A change outside the presented rectangle is not shown.
    presentAll(w);
    bits[0] = 7;  // picture row 2, x 0
    presentRect(w, 1, 0, 99, 3);
    EXPECT_EQ(capturedFrameCount(), 1);
    ASSERT_TRUE(lastPresentedFrame(w, &f));
    EXPECT_EQ(f.pixels[200], 0);
    presentRect(w, 0, 2, 1, 1);
    EXPECT_EQ(capturedFrameCount(), 2);
    // A palette change alone makes the next present write a frame.
    pal[2].blue = 1;
    setPaletteEntries(w, 0, 3, pal);
    presentRect(w, 0, 0, 0, 0);
    EXPECT_EQ(capturedFrameCount(), 2) << "an empty rectangle presents nothing";
    presentRect(w, 5, 1, 1, 1);
    EXPECT_EQ(capturedFrameCount(), 3);
    setPaletteEntries(w, 0, 3, pal);  // same colours: logged as unchanged
    setFullScreen(w, true);
    captureLogLine("messagebox [Title] text");
    destroyWindow(w);

    EXPECT_EQ(readText(dir.path() + "/cap/events.log"),
              "t=0 create 0x10010 class=Shown title=\"T\" style=0x90000000 ex=0x0 rect=0,0,100,3\n"
              "t=0 show 0x10010\n"
              "t=0 activate 0x10010\n"
              "t=0 focus 0x10010\n"
              "t=0 buffer 0x10010 100x3 pitch=104 bottom-up\n"
              "t=0 palette 0x10010 first=0 count=3\n"
              "t=5 frame frame_00000.bmp\n"
              "t=5 frame frame_00001.bmp\n"
              "t=5 palette 0x10010 first=0 count=3\n"
              "t=5 frame frame_00002.bmp\n"
              "t=5 palette 0x10010 first=0 count=3 unchanged\n"
              "t=5 fullscreen 0x10010 on\n"
              "t=5 messagebox [Title] text\n"
              "t=5 destroy 0x10010\n");
}

TEST_F(DisplayTest, PresentClipsAnyRectangleAndAttachRefusesBadBuffers) {
    HWND w = createWindowEx(0, "Shown", "", WS_POPUP, 0, 0, 10, 10, 0, nullptr);
    std::vector<uint8_t> bits(16 * 4);
    for (size_t i = 0; i < bits.size(); i++) bits[i] = uint8_t(i);
    EXPECT_FALSE(presentAll(w)) << "no buffer yet";
    EXPECT_FALSE(attachFrameBuffer(w, bits.data(), 16, 4, 15, false)) << "pitch below width";
    EXPECT_FALSE(attachFrameBuffer(w, bits.data(), 0, 4, 16, false));
    EXPECT_FALSE(attachFrameBuffer(w, nullptr, 16, 4, 16, false));
    EXPECT_FALSE(attachFrameBuffer(HWND(0x999990), bits.data(), 16, 4, 16, false));
    ASSERT_TRUE(attachFrameBuffer(w, bits.data(), 16, 4, 16, false));
    const int32_t rects[][4] = {{-5, -5, 8, 8},     {INT_MIN, INT_MIN, INT_MAX, INT_MAX}, {10, 2, INT_MAX, 1},
                                {20, 20, 5, 5},     {3, 3, -4, 2},                        {INT_MAX, 0, INT_MAX, 4}};
    for (auto& r : rects) EXPECT_TRUE(presentRect(w, r[0], r[1], r[2], r[3]));
    PresentedFrame f;
    ASSERT_TRUE(lastPresentedFrame(w, &f));
    EXPECT_EQ(f.pixels[0], 0);
    EXPECT_EQ(f.pixels[2 * 16 + 15], 2 * 16 + 15) << "right part of row 2 from {10,2,MAX,1}";
    EXPECT_EQ(f.pixels[3 * 16 + 15], 0) << "row 3 right was never inside a rectangle";
    EXPECT_EQ(f.presents, 2u) << "empty rectangles after clipping do not count";
    // Palette ranges are clipped to 0..255.
    std::vector<PaletteEntry> many(300, PaletteEntry{9, 9, 9, 0});
    EXPECT_TRUE(setPaletteEntries(w, -10, 300, many.data()));
    PaletteEntry got[2];
    getPaletteEntries(w, 254, 2, got);
    EXPECT_EQ(got[1].red, 9);
    EXPECT_TRUE(setPaletteEntries(w, 250, INT_MAX, many.data()));
    std::vector<uint32_t> shown;
    int32_t sw = 0, sh = 0;
    ASSERT_TRUE(readWindowPixels(w, &shown, &sw, &sh));
    ASSERT_EQ(sw, 16);
    ASSERT_EQ(sh, 4);
    EXPECT_EQ(shown[2 * 16 + 15], 0x090909u) << "the picture through the palette";
    detachFrameBuffer(w);
    EXPECT_FALSE(presentAll(w));
    EXPECT_FALSE(readWindowPixels(w, &shown, &sw, &sh));
}

TEST_F(DisplayTest, FullScreenAndDesktopFacts) {
    HWND w = createWindowEx(0, "Shown", "", WS_POPUP, 0, 0, 10, 10, 0, nullptr);
    EXPECT_EQ(desktopColorDepth(), 24);
    int32_t fw = 0, fh = 0;
    ASSERT_TRUE(fullScreenModeSize(&fw, &fh));
    EXPECT_EQ(fw, getSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(fh, getSystemMetrics(SM_CYSCREEN));
    EXPECT_GT(fw, 0);
    EXPECT_FALSE(isFullScreen(w));
    EXPECT_TRUE(setFullScreen(w, true));
    EXPECT_TRUE(isFullScreen(w));
    EXPECT_TRUE(setFullScreen(w, false));
    EXPECT_FALSE(isFullScreen(w));
}

TEST_F(DisplayTest, FullScreenModeStaysWithTheWindowAndIsLogged) {
    testsupport::TempDir dir;
    ASSERT_TRUE(setCaptureDirectory(dir.path() + "/cap"));
    HWND w = createWindowEx(0, "Shown", "", WS_POPUP, 0, 0, 10, 10, 0, nullptr);
    int32_t mw = -1, mh = -1;
    ASSERT_TRUE(fullScreenMode(w, &mw, &mh));
    EXPECT_EQ(mw, 0) << "the desktop's own mode at first";
    EXPECT_EQ(mh, 0);

    const struct {
        int32_t width, height;
    } refused[] = {{-640, 480}, {640, 0}, {0, 480}, {16385, 480}, {640, INT_MIN}};
    for (const auto& r : refused) {
        EXPECT_FALSE(setFullScreenMode(w, r.width, r.height)) << r.width << "x" << r.height;
        ASSERT_TRUE(fullScreenMode(w, &mw, &mh));
        EXPECT_EQ(mw, 0) << "a refused size changes nothing";
    }
    EXPECT_FALSE(setFullScreenMode(0, 640, 480));
    EXPECT_FALSE(fullScreenMode(0, &mw, &mh));

    // Chosen while windowed, it waits for the next full screen.
    EXPECT_TRUE(setFullScreenMode(w, 640, 480));
    EXPECT_TRUE(setFullScreen(w, true));
    EXPECT_TRUE(setFullScreenMode(w, 800, 600));
    ASSERT_TRUE(fullScreenMode(w, &mw, &mh));
    EXPECT_EQ(mw, 800);
    EXPECT_EQ(mh, 600);
    EXPECT_TRUE(setFullScreen(w, false));
    EXPECT_TRUE(setFullScreen(w, true));
    EXPECT_TRUE(setFullScreenMode(w, 0, 0));
    destroyWindow(w);

    EXPECT_EQ(readText(dir.path() + "/cap/events.log"),
              "t=0 create 0x10010 class=Shown title=\"\" style=0x80000000 ex=0x0 rect=0,0,10,10\n"
              "t=0 fullscreen mode 0x10010 640x480 (later)\n"
              "t=0 fullscreen 0x10010 on mode 640x480\n"
              "t=0 fullscreen mode 0x10010 800x600\n"
              "t=0 fullscreen 0x10010 off\n"
              "t=0 fullscreen 0x10010 on mode 800x600\n"
              "t=0 fullscreen mode 0x10010 desktop\n"
              "t=0 destroy 0x10010\n");
}

TEST(DisplayConversion, MatchesAPlainLookupForEveryWidthAndOffset) {
    std::mt19937 rng(7);
    uint32_t pal[256];
    for (auto& p : pal) p = rng() & 0xFFFFFF;
    std::vector<uint8_t> src(40 * 3);
    for (auto& b : src) b = uint8_t(rng());
    for (int width = 1; width <= 37; width++) {
        std::vector<uint32_t> dst(64 * 3, 0xDEADBEEF);
        convertIndexedRect(src.data() + 1, 40, dst.data() + 2, 64, width, 3, pal);
        for (int y = 0; y < 3; y++) {
            for (int x = 0; x < 64; x++) {
                uint32_t want = (x >= 2 && x < 2 + width) ? pal[src[size_t(y) * 40 + 1 + size_t(x - 2)]] : 0xDEADBEEF;
                ASSERT_EQ(dst[size_t(y) * 64 + size_t(x)], want) << width << " " << x << " " << y;
            }
        }
    }
}

TEST(DisplayPlacement, WholeMultiplesCentredOrShrunkToFit) {
    struct Case {
        int32_t ww, wh, bw, bh;
        sdlv::Placement want;
    };
    const Case cases[] = {
        {640, 480, 320, 240, {0, 0, 640, 480}},     {800, 600, 320, 240, {80, 60, 640, 480}},
        {1920, 1080, 320, 200, {160, 40, 1600, 1000}}, {321, 1000, 320, 240, {0, 380, 320, 240}},
        {300, 300, 320, 240, {0, 37, 300, 225}},    {100, 50, 320, 240, {17, 0, 66, 50}},
        {0, 0, 320, 240, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        sdlv::Placement p = sdlv::placeBuffer(c.ww, c.wh, c.bw, c.bh);
        EXPECT_EQ(p.x, c.want.x) << c.ww << "x" << c.wh;
        EXPECT_EQ(p.y, c.want.y) << c.ww << "x" << c.wh;
        EXPECT_EQ(p.w, c.want.w) << c.ww << "x" << c.wh;
        EXPECT_EQ(p.h, c.want.h) << c.ww << "x" << c.wh;
    }
}

TEST(DisplayPlacement, PresentationScaleFitsThreeQuartersOfTheDesktopOrIsChosen) {
    struct Case {
        int32_t pw, ph, dw, dh;
        const char* wanted;
        int32_t want;
    };
    const Case cases[] = {
        {320, 200, 1920, 1080, nullptr, 4},   // 1280x800 within 1440x810
        {640, 480, 1920, 1080, nullptr, 1},   // 1280x960 would pass 810
        {640, 480, 3840, 2160, nullptr, 3},
        {160, 120, 1024, 768, "", 4},
        {1600, 1200, 1024, 768, nullptr, 1},  // larger than the desktop: never below 1
        {320, 200, 1920, 1080, "2", 2},
        {320, 200, 1920, 1080, "7", 7},       // chosen beyond the fit: the user's choice
        {320, 200, 1920, 1080, "0", 4},       // not a usable multiple: the fit
        {320, 200, 1920, 1080, "-3", 4},
        {320, 200, 1920, 1080, "2x", 4},
        {320, 200, 1920, 1080, "99999999999", 51},  // capped at a window side of 16384
        {0, 200, 1920, 1080, nullptr, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sdlv::chooseScale(c.pw, c.ph, c.dw, c.dh, c.wanted), c.want)
            << c.pw << "x" << c.ph << " on " << c.dw << "x" << c.dh << " wanted " << (c.wanted ? c.wanted : "(none)");
}

}  // namespace
