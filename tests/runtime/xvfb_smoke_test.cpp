// The presentation window on a real (virtual-framebuffer) X display: the demo script runs in an
// SDL window, a screenshot of the display is taken with xwd, and the window's client area must
// show exactly the last frame the headless back-end captured for the same script. Run by
// tests/support/on_xvfb.sh under xvfb-run with TORVEX_VIDEO=sdl.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/display.h"
#include "platform/window.h"
#include "player/engine/script.h"
#include "player/runtime/runtime.h"
#include "player/runtime/screen_window.h"
#include "tests/support/test_support.h"

namespace {

std::string gDemoText;

bool demoSource(const char* name, std::string& text) {
    if (std::string(name) != "demo.ss") return false;
    text = gDemoText;
    return true;
}

struct Picture {
    int32_t width = 0, height = 0;
    std::vector<uint32_t> rgb;  // 0xRRGGBB, top row first
};

// The last numbered frame of a capture directory, through its palette.
Picture lastCapturedFrame(const std::string& dir, int frames) {
    Picture p;
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%05d.bmp", frames - 1);
    auto b = testsupport::readFile(dir + name);
    auto u32 = [&](size_t at) {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
    };
    if (b.size() < 54 + 1024) return p;
    uint32_t offset = u32(10);
    p.width = int32_t(u32(18));
    p.height = int32_t(u32(22));
    uint32_t rowSize = (uint32_t(p.width) + 3) & ~3u;
    if (offset + uint64_t(rowSize) * uint32_t(p.height) > b.size()) return Picture{};
    for (int32_t y = 0; y < p.height; ++y) {
        const unsigned char* row = b.data() + offset + size_t(p.height - 1 - y) * rowSize;
        for (int32_t x = 0; x < p.width; ++x) {
            const unsigned char* q = b.data() + 54 + size_t(row[x]) * 4;  // blue, green, red, 0
            p.rgb.push_back(uint32_t(q[2]) << 16 | uint32_t(q[1]) << 8 | q[0]);
        }
    }
    return p;
}

uint32_t be32(const std::vector<unsigned char>& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// A true-colour ZPixmap screenshot written by xwd (packed 3-byte or 4-byte pixels; rows are
// bytes_per_line apart either way).
Picture readXwd(const std::string& path) {
    Picture p;
    auto b = testsupport::readFile(path);
    if (b.size() < 100) return p;
    uint32_t headerSize = be32(b, 0), format = be32(b, 8), width = be32(b, 16), height = be32(b, 20);
    uint32_t byteOrder = be32(b, 28), bitsPerPixel = be32(b, 44), bytesPerLine = be32(b, 48);
    uint32_t redMask = be32(b, 56), greenMask = be32(b, 60), blueMask = be32(b, 64), colours = be32(b, 76);
    if (format != 2 || (bitsPerPixel != 24 && bitsPerPixel != 32) || redMask != 0xFF0000 || greenMask != 0xFF00 ||
        blueMask != 0xFF || width == 0)
        return p;
    const size_t step = bitsPerPixel / 8;
    size_t data = size_t(headerSize) + size_t(colours) * 12;
    if (data + size_t(bytesPerLine) * height > b.size() || width > 16384 || bytesPerLine < width * step) return p;
    p.width = int32_t(width);
    p.height = int32_t(height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const unsigned char* q = b.data() + data + size_t(y) * bytesPerLine + size_t(x) * step;
            const size_t hi = step - 1;  // most significant byte of a big-endian pixel
            uint32_t v = byteOrder == 0 ? (uint32_t(q[0]) | uint32_t(q[1]) << 8 | uint32_t(q[2]) << 16)
                                        : (uint32_t(q[hi - 2]) << 16 | uint32_t(q[hi - 1]) << 8 | q[hi]);
            p.rgb.push_back(v & 0xFFFFFF);
        }
    }
    return p;
}

void pumpFor(uint32_t ms) {
    uint32_t end = plat::tickCount() + ms;
    while (int32_t(plat::tickCount() - end) < 0) {
        runtime::pumpMessages();
        plat::sleepMs(5);
    }
}

TEST(XvfbSmoke, WindowShowsWhatTheHeadlessCaptureHolds) {
    ASSERT_EQ(plat::videoBackend(), plat::VideoBackend::Sdl) << "needs a display (run under xvfb-run)";
    auto bytes = testsupport::readFile(DEMO_SCRIPT);
    gDemoText.assign(bytes.begin(), bytes.end());
    ASSERT_FALSE(gDemoText.empty());

    // The same script headless, captured.
    testsupport::TempDir dir;
    testsupport::writeText(dir.file("demo.ss"), gDemoText);
    std::string command = "cd '" + dir.path() +
                          "' && env -u TORVEX_ANSWERS -u TORVEX_INPUT TORVEX_VIDEO=headless TORVEX_CLOCK=virtual "
                          "TORVEX_AUDIO=null TORVEX_CAPTURE=capture '" TORVEXSCRIPT_PATH "' demo >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    int frames = 0;
    auto frameName = [&](int n) {
        char name[32];
        std::snprintf(name, sizeof name, "/capture/frame_%05d.bmp", n);
        return dir.path() + name;
    };
    while (std::ifstream(frameName(frames))) ++frames;
    ASSERT_GT(frames, 0);
    Picture want = lastCapturedFrame(dir.path() + "/capture", frames);
    ASSERT_EQ(want.width, 160);
    ASSERT_EQ(want.height, 120);

    // In a window, without the shutdown, so that the window stays up for the screenshot.
    runtime::installRuntime();
    engine::resetEngine();
    engine::gScript.source = demoSource;
    bool ran = false;
    try {
        ran = engine::RunScript("demo", nullptr);
    } catch (const engine::ScriptAbort&) {
    }
    ASSERT_TRUE(ran);
    ASSERT_NE(runtime::gScreen.window, 0u);
    pumpFor(500);

    std::string shot = dir.file("screen.xwd");
    ASSERT_EQ(std::system(("xwd -root -silent -out '" + shot + "'").c_str()), 0);
    Picture screen = readXwd(shot);
    ASSERT_GT(screen.width, 0) << "not a 32-bit screenshot";
    plat::POINT origin;
    ASSERT_TRUE(plat::clientToScreen(runtime::gScreen.window, &origin));
    ASSERT_GE(origin.x, 0);
    ASSERT_GE(origin.y, 0);
    ASSERT_LE(origin.x + want.width, screen.width);
    ASSERT_LE(origin.y + want.height, screen.height);
    int bad = 0;
    for (int32_t y = 0; y < want.height; ++y)
        for (int32_t x = 0; x < want.width; ++x)
            if (screen.rgb[size_t(origin.y + y) * size_t(screen.width) + size_t(origin.x + x)] !=
                want.rgb[size_t(y) * size_t(want.width) + size_t(x)])
                ++bad;
    EXPECT_EQ(bad, 0) << "pixels that differ, window client area at " << origin.x << "," << origin.y;
    runtime::closeScreen();
    engine::gScript.source = nullptr;
}

}  // namespace
