// The SDL back-ends on a real (virtual-framebuffer) display: a window shows its buffer through
// the palette, scaled by whole multiples when the window grows, mouse positions come back in buffer
// coordinates, and a wave block plays to its end on the SDL sound device. Run by tests/support/on_xvfb.sh
// under xvfb-run with TORVEX_VIDEO=sdl and TORVEX_AUDIO=sdl.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/display.h"
#include "platform/sdl_video.h"
#include "platform/window.h"

using namespace plat;

namespace {

LRESULT proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_PAINT) {
        PAINTSTRUCT ps;
        beginPaint(h, &ps);
        presentAll(h);
        endPaint(h, &ps);
        return 0;
    }
    return defWindowProc(h, m, w, l);
}

// Pumps for a while (real time), keeping the last mouse position seen.
void pumpFor(uint32_t ms, POINT* mouse = nullptr) {
    uint32_t end = tickCount() + ms;
    MSG m;
    while (int32_t(tickCount() - end) < 0) {
        while (peekMessage(&m, 0, 0, 0, PM_REMOVE)) {
            if (m.message == WM_MOUSEMOVE && mouse) *mouse = {lParamX(m.lParam), lParamY(m.lParam)};
            dispatchMessage(&m);
        }
        sleepMs(5);
    }
}

TEST(SdlSmoke, WindowShowsThePaletteImageScaledAndMapsTheMouseBack) {
    ASSERT_EQ(videoBackend(), VideoBackend::Sdl) << "needs a display (run under xvfb-run)";
    WNDCLASS wc;
    wc.lpfnWndProc = proc;
    wc.lpszClassName = "Smoke";
    ASSERT_NE(registerClass(wc), 0);
    const int W = 64, H = 48;
    HWND h = createWindowEx(0, "Smoke", "Torvex smoke", WS_POPUP | WS_CAPTION | WS_VISIBLE, 40, 40, W + 6, H + 26, 0,
                            nullptr);
    ASSERT_NE(h, 0u);
    std::vector<uint8_t> bits(size_t(W) * H);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) bits[size_t(y) * W + size_t(x)] = uint8_t((x / 8 + y / 8) % 4);
    PaletteEntry pal[4] = {{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 255, 0, 0}, {10, 20, 250, 0}};
    ASSERT_TRUE(attachFrameBuffer(h, bits.data(), W, H, W, false));
    ASSERT_TRUE(setPaletteEntries(h, 0, 4, pal));
    ASSERT_TRUE(presentAll(h));
    pumpFor(200);

    auto expectPicture = [&](const char* what) {
        std::vector<uint32_t> px;
        int32_t ow = 0, oh = 0;
        ASSERT_TRUE(readWindowPixels(h, &px, &ow, &oh));
        sdlv::Placement p = sdlv::placeBuffer(ow, oh, W, H);
        ASSERT_GT(p.w, 0);
        int bad = 0;
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                // The centre of each scaled buffer pixel.
                int sx = p.x + (2 * x + 1) * p.w / (2 * W), sy = p.y + (2 * y + 1) * p.h / (2 * H);
                const PaletteEntry& e = pal[bits[size_t(y) * W + size_t(x)]];
                uint32_t want = (uint32_t(e.red) << 16) | (uint32_t(e.green) << 8) | e.blue;
                if ((px[size_t(sy) * size_t(ow) + size_t(sx)] & 0xFFFFFF) != want) bad++;
            }
        }
        EXPECT_EQ(bad, 0) << what << " " << ow << "x" << oh;
        if (p.x > 0) {
            EXPECT_EQ(px[size_t(oh / 2) * size_t(ow)] & 0xFFFFFF, 0u) << "letterbox bar is black";
        }
    };
    expectPicture("windowed");

    // A palette change shows at the next present, over the whole picture.
    pal[1] = {1, 2, 3, 0};
    setPaletteEntries(h, 1, 1, &pal[1]);
    presentRect(h, 0, 0, 1, 1);
    expectPicture("after a palette change");

    // The user makes the window larger: two whole multiples fit across, three down, so the
    // picture is doubled and centred between black bars.
    sdlv::resizeDrawable(h, 2 * W + 37, 3 * H + 5);
    pumpFor(300);
    {
        std::vector<uint32_t> px;
        int32_t ow = 0, oh = 0;
        ASSERT_TRUE(readWindowPixels(h, &px, &ow, &oh));
        EXPECT_EQ(ow, 2 * W + 37);
        sdlv::Placement p = sdlv::placeBuffer(ow, oh, W, H);
        EXPECT_EQ(p.w, 2 * W);
        EXPECT_EQ(p.h, 2 * H);
    }
    expectPicture("resized");

    // The pointer put on a buffer pixel comes back as that pixel.
    POINT screen{0, 0};
    clientToScreen(h, &screen);
    setCursorPos(screen.x + 21, screen.y + 13);
    POINT mouse{-1, -1};
    pumpFor(300, &mouse);
    EXPECT_EQ(mouse.x, 21);
    EXPECT_EQ(mouse.y, 13);

    // Under a window manager this fills the screen; a bare virtual display keeps the window.
    EXPECT_TRUE(setFullScreen(h, true));
    EXPECT_TRUE(isFullScreen(h));
    pumpFor(100);
    // A screen mode of its own: the virtual display's 1024x768 is the nearest one at least
    // 640x480; nothing is as large as 8000x6000, which keeps the desktop's mode.
    EXPECT_TRUE(setFullScreenMode(h, 640, 480));
    EXPECT_TRUE(isFullScreen(h));
    pumpFor(100);
    EXPECT_FALSE(setFullScreenMode(h, 8000, 6000));
    EXPECT_TRUE(isFullScreen(h));
    EXPECT_TRUE(setFullScreenMode(h, 0, 0));
    EXPECT_TRUE(isFullScreen(h));
    pumpFor(100);
    EXPECT_TRUE(setFullScreen(h, false));
    destroyWindow(h);
    pumpFor(50);
}

TEST(SdlSmoke, PresentationOpensAtAWholeMultipleAndKeepsItsCoordinates) {
    WNDCLASS wc;
    wc.lpfnWndProc = proc;
    wc.lpszClassName = "SmokeScale";
    ASSERT_NE(registerClass(wc), 0);
    const int W = 64, H = 48;
    std::vector<uint8_t> bits(size_t(W) * H, 1);
    PaletteEntry pal[2] = {{0, 0, 0, 0}, {200, 100, 50, 0}};
    struct Case {
        const char* scale;  // TORVEX_SCALE, null = unset
        int32_t want;
    };
    // The virtual display is 1024x768: three quarters are 768x576, twelve times 64x48.
    const Case cases[] = {{nullptr, 12}, {"3", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scale ? c.scale : "unset");
        if (c.scale)
            setenv("TORVEX_SCALE", c.scale, 1);
        else
            unsetenv("TORVEX_SCALE");
        HWND h = createWindowEx(0, "SmokeScale", "scaled", WS_POPUP | WS_VISIBLE, 30, 20, W, H, 0, nullptr);
        ASSERT_NE(h, 0u);
        ASSERT_TRUE(attachFrameBuffer(h, bits.data(), W, H, W, false));
        ASSERT_TRUE(setPaletteEntries(h, 0, 2, pal));
        ASSERT_TRUE(presentAll(h));
        pumpFor(200);
        std::vector<uint32_t> px;
        int32_t ow = 0, oh = 0;
        ASSERT_TRUE(readWindowPixels(h, &px, &ow, &oh));
        EXPECT_EQ(ow, c.want * W);
        EXPECT_EQ(oh, c.want * H);
        // The service's geometry stays in picture pixels.
        RECT client;
        ASSERT_TRUE(getClientRect(h, &client));
        EXPECT_EQ(client.right, W);
        EXPECT_EQ(client.bottom, H);
        POINT screen{0, 0};
        clientToScreen(h, &screen);
        EXPECT_EQ(screen.x, 30);
        EXPECT_EQ(screen.y, 20);
        // The pointer put on a picture pixel comes back as that pixel.
        setCursorPos(screen.x + 40, screen.y + 7);
        POINT mouse{-1, -1};
        pumpFor(300, &mouse);
        EXPECT_EQ(mouse.x, 40);
        EXPECT_EQ(mouse.y, 7);
        destroyWindow(h);
        pumpFor(50);
    }
    setenv("TORVEX_SCALE", "1", 1);
}

TEST(SdlSmoke, KeyboardEventsBecomeVirtualKeysAndCharacters) {
    WNDCLASS wc;
    wc.lpfnWndProc = proc;
    wc.lpszClassName = "SmokeKeys";
    ASSERT_NE(registerClass(wc), 0);
    HWND h = createWindowEx(0, "SmokeKeys", "keys", WS_POPUP | WS_VISIBLE, 0, 0, 32, 32, 0, nullptr);
    ASSERT_NE(h, 0u);
    pumpFor(100);
    struct Case {
        const char* key;
        int mods;  // 1 Shift, 2 Control, 4 Alt
        const char* text;
        std::vector<std::pair<UINT, WPARAM>> want;
    };
    const Case cases[] = {
        {"F1", 0, nullptr, {{WM_KEYDOWN, VK_F1}, {WM_KEYUP, VK_F1}}},
        {"F1", 4, nullptr, {{WM_SYSKEYDOWN, VK_F1}, {WM_KEYUP, VK_F1}}},
        {"F10", 0, nullptr, {{WM_SYSKEYDOWN, VK_F10}, {WM_SYSKEYUP, VK_F10}}},
        {"Return", 0, nullptr, {{WM_KEYDOWN, VK_RETURN}, {WM_CHAR, 13}, {WM_KEYUP, VK_RETURN}}},
        {"A", 2, nullptr, {{WM_KEYDOWN, 'A'}, {WM_CHAR, 1}, {WM_KEYUP, 'A'}}},
        {"Left", 0, nullptr, {{WM_KEYDOWN, VK_LEFT}, {WM_KEYUP, VK_LEFT}}},
        {"PageDown", 0, nullptr, {{WM_KEYDOWN, VK_NEXT}, {WM_KEYUP, VK_NEXT}}},
        {"Q", 1, "Q", {{WM_KEYDOWN, 'Q'}, {WM_CHAR, 'Q'}, {WM_KEYUP, 'Q'}}},
        {nullptr, 0, "\xc3\xa9\xe2\x82\xac", {{WM_CHAR, 0xE9}}},  // the euro sign has no single byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key ? c.key : c.text);
        if (c.key) {
            ASSERT_TRUE(sdlv::pushTestKey(h, c.key, c.mods, true));
        }
        if (c.text) {
            ASSERT_TRUE(sdlv::pushTestText(h, c.text));
        }
        if (c.key) {
            ASSERT_TRUE(sdlv::pushTestKey(h, c.key, 0, false));
        }
        std::vector<std::pair<UINT, WPARAM>> got;
        uint32_t end = tickCount() + 200;
        MSG m;
        while (int32_t(tickCount() - end) < 0 && got.size() < c.want.size()) {
            while (peekMessage(&m, 0, 0, 0, PM_REMOVE))
                if (m.message >= WM_KEYDOWN && m.message <= WM_SYSKEYUP) got.push_back({m.message, m.wParam});
            sleepMs(2);
        }
        EXPECT_EQ(got, c.want);
    }
    // Alt+Enter switches to full screen instead of reaching the window.
    ASSERT_TRUE(sdlv::pushTestKey(h, "Return", 4, true));
    pumpFor(100);
    EXPECT_TRUE(isFullScreen(h));
    destroyWindow(h);
    pumpFor(50);
}

TEST(SdlSmoke, WaveBlockPlaysThroughTheSdlDevice) {
    ASSERT_EQ(audioBackend(), AudioBackend::Sdl) << "SDL_AUDIODRIVER=disk should give a device";
    WAVEFORMATEX f;
    f.nChannels = 2;
    f.nSamplesPerSec = 22050;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 4;
    HWAVEOUT dev;
    ASSERT_EQ(waveOutOpen(&dev, WAVE_MAPPER, &f, nullptr, 0, 0), MMSYSERR_NOERROR);
    std::vector<int16_t> tone(2205 * 2);
    for (size_t i = 0; i < tone.size(); i++) tone[i] = int16_t((i / 2) % 50 < 25 ? 8000 : -8000);
    WAVEHDR hdr;
    hdr.lpData = reinterpret_cast<char*>(tone.data());
    hdr.dwBufferLength = uint32_t(tone.size() * 2);
    waveOutPrepareHeader(dev, &hdr, sizeof hdr);
    waveOutWrite(dev, &hdr, sizeof hdr);
    uint32_t start = tickCount();
    while (!(hdr.dwFlags & WHDR_DONE) && tickCount() - start < 3000) sleepMs(5);
    uint32_t took = tickCount() - start;
    EXPECT_TRUE(hdr.dwFlags & WHDR_DONE);
    EXPECT_GE(took, 40u) << "a 100 ms block cannot finish at once";
    uint64_t pos = 0;
    waveOutGetPosition(dev, &pos);
    EXPECT_EQ(pos, tone.size() * 2);
    waveOutUnprepareHeader(dev, &hdr, sizeof hdr);
    EXPECT_EQ(waveOutClose(dev), MMSYSERR_NOERROR);
    audioShutdown();
}

}  // namespace
