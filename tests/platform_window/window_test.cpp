// Window service: queue order and filters, quit, timers, creation and destruction, activation,
// positions and frames, painting, injected input and key state.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/display.h"
#include "platform/input.h"
#include "platform/window.h"

using namespace plat;

namespace {

struct Seen {
    HWND hwnd;
    UINT msg;
    WPARAM w;
    LPARAM l;
};
std::vector<Seen> seen;
LRESULT createAnswer = 0;
bool alignOnMove = false;

LRESULT recordingProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    seen.push_back({h, m, w, l});
    if (m == WM_CREATE) return createAnswer;
    if (m == WM_WINDOWPOSCHANGING && alignOnMove) {
        // The presentation window keeps its client area on a multiple of 8 pixels.
        auto* wp = reinterpret_cast<WINDOWPOS*>(static_cast<intptr_t>(l));
        if (!(wp->flags & SWP_NOMOVE)) {
            POINT origin{0, 0};
            RECT r;
            getWindowRect(h, &r);
            clientToScreen(h, &origin);
            int32_t left = origin.x - r.left;
            wp->x = ((wp->x + left + 3) & ~7) - left;
        }
        return 0;
    }
    if (m == WM_PAINT) {
        PAINTSTRUCT ps;
        beginPaint(h, &ps);
        endPaint(h, &ps);
        return 0;
    }
    if (m == 0x7777) return LRESULT(w * 2 + uint64_t(l));
    return defWindowProc(h, m, w, l);
}

std::vector<UINT> numbersOf(HWND h) {
    std::vector<UINT> out;
    for (auto& s : seen)
        if (!h || s.hwnd == h) out.push_back(s.msg);
    return out;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        setVirtualClock(true);
        setVideoBackendForTest(VideoBackend::Headless);
        resetWindowSystem();
        setCaptureDirectory("");
        setInputScript({});
        seen.clear();
        createAnswer = 0;
        alignOnMove = false;
        WNDCLASS wc;
        wc.lpfnWndProc = recordingProc;
        wc.lpszClassName = "TestClass";
        ASSERT_NE(registerClass(wc), 0);
    }
    void TearDown() override {
        resetWindowSystem();
        setVirtualClock(false);
    }
    HWND make(uint32_t style = WS_POPUP | WS_CAPTION | WS_SYSMENU, uint32_t ex = 0) {
        return createWindowEx(ex, "testclass", "Title", style, 10, 20, 330, 270, 0, nullptr);
    }
    // Takes everything waiting, in order.
    std::vector<MSG> drain() {
        std::vector<MSG> out;
        MSG m;
        while (peekMessage(&m, 0, 0, 0, PM_REMOVE)) {
            out.push_back(m);
            if (m.message == WM_QUIT) break;
            dispatchMessage(&m);
        }
        return out;
    }
};

TEST_F(WindowTest, PostedMessagesComeInOrderThenQuitAndFiltersApply) {
    HWND a = make(), b = make();
    postMessage(a, WM_USER + 1, 1, 0);
    postMessage(b, WM_USER + 2, 2, 0);
    postQuitMessage(5);
    postMessage(a, WM_USER + 3, 3, 0);
    postThreadMessage(WM_USER + 4, 4, 0);

    MSG m;
    // Peeking without removing leaves the message; filters pick by window and by range.
    ASSERT_TRUE(peekMessage(&m, 0, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(m.message, WM_USER + 1);
    ASSERT_TRUE(peekMessage(&m, b, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_USER + 2);
    ASSERT_TRUE(peekMessage(&m, 0, WM_USER + 3, WM_USER + 4, PM_REMOVE));
    EXPECT_EQ(m.message, WM_USER + 3);
    ASSERT_TRUE(peekMessage(&m, HWND(-1), 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_USER + 4);
    EXPECT_EQ(m.hwnd, 0u);
    // The quit comes only after everything posted, and getMessage reports it as 0.
    ASSERT_EQ(getMessage(&m, 0, 0, 0), 1);
    EXPECT_EQ(m.message, WM_USER + 1);
    ASSERT_EQ(getMessage(&m, 0, 0, 0), 0);
    EXPECT_EQ(m.message, WM_QUIT);
    EXPECT_EQ(m.wParam, 5u);
    EXPECT_FALSE(peekMessage(&m, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(getMessage(&m, HWND(0xDEAD0), 0, 0), -1);
}

TEST_F(WindowTest, SendCallsTheProcedureAndDeadWindowsRefuse) {
    HWND a = make();
    EXPECT_EQ(sendMessage(a, 0x7777, 20, 2), 42);
    MSG m{};
    m.hwnd = a;
    m.message = 0x7777;
    m.wParam = 1;
    EXPECT_EQ(dispatchMessage(&m), 2);
    showWindow(a, SW_SHOW);
    drain();
    postMessage(a, WM_USER, 0, 0);
    seen.clear();
    EXPECT_TRUE(destroyWindow(a));
    EXPECT_EQ(numbersOf(a), std::vector<UINT>({WM_KILLFOCUS, WM_ACTIVATE, WM_DESTROY}));
    EXPECT_FALSE(isWindow(a));
    EXPECT_FALSE(postMessage(a, WM_USER, 0, 0));
    EXPECT_EQ(sendMessage(a, 0x7777, 1, 1), 0);
    EXPECT_FALSE(peekMessage(&m, 0, 0, 0, PM_REMOVE)) << "messages of a destroyed window are dropped";
    EXPECT_FALSE(destroyWindow(a));
}

TEST_F(WindowTest, CreationRefusedByProcedureOrUnknownClass) {
    createAnswer = -1;
    EXPECT_EQ(make(), 0u);
    EXPECT_EQ(numbersOf(0), std::vector<UINT>({WM_CREATE, WM_DESTROY}));
    createAnswer = 0;
    EXPECT_EQ(createWindowEx(0, "NoSuchClass", "", WS_POPUP, 0, 0, 10, 10, 0, nullptr), 0u);
    HWND a = make();
    EXPECT_FALSE(unregisterClass("TestClass")) << "a class with windows stays";
    destroyWindow(a);
    EXPECT_TRUE(unregisterClass("TESTCLASS"));
    WNDCLASS wc;
    wc.lpszClassName = "X";
    EXPECT_EQ(registerClass(wc), 0) << "no procedure";
}

TEST_F(WindowTest, ShowingActivatesAndFocusesInTheSystemOrder) {
    HWND a = make();
    EXPECT_EQ(getFocus(), 0u);
    seen.clear();
    EXPECT_FALSE(showWindow(a, SW_SHOW));
    EXPECT_EQ(numbersOf(a), std::vector<UINT>({WM_SHOWWINDOW, WM_ACTIVATEAPP, WM_ACTIVATE, WM_SETFOCUS}));
    EXPECT_EQ(getFocus(), a);
    EXPECT_EQ(getForegroundWindow(), a);

    HWND b = make(WS_POPUP | WS_VISIBLE);
    EXPECT_EQ(getActiveWindow(), b);
    seen.clear();
    setForegroundWindow(a);
    EXPECT_EQ(numbersOf(b), std::vector<UINT>({WM_ACTIVATE, WM_KILLFOCUS}));
    EXPECT_EQ(seen[0].w, WA_INACTIVE);
    EXPECT_EQ(getFocus(), a);

    // The desktop taking activation away leaves the application without focus.
    InputEvent off;
    off.kind = InputEvent::Deactivate;
    injectEvent(off, a);
    EXPECT_EQ(getFocus(), 0u);
    EXPECT_EQ(getForegroundWindow(), 0u);
    showWindow(a, SW_MINIMIZE);
    EXPECT_TRUE(isIconic(a));
    showWindow(a, SW_RESTORE);
    EXPECT_FALSE(isIconic(a));
    EXPECT_EQ(getFocus(), a);
}

TEST_F(WindowTest, FrameMetricsAndPositionAdjustment) {
    // Caption with a modal frame: 3-pixel frame, 20-pixel caption.
    HWND a = make(WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_EX_DLGMODALFRAME);
    RECT c, r;
    ASSERT_TRUE(getClientRect(a, &c));
    EXPECT_EQ(c.right, 330 - 6);
    EXPECT_EQ(c.bottom, 270 - 26);
    POINT p{0, 0};
    clientToScreen(a, &p);
    EXPECT_EQ(p.x, 13);
    EXPECT_EQ(p.y, 43);
    RECT want{0, 0, 320, 200};
    adjustWindowRectEx(&want, WS_POPUP | WS_CAPTION, false, WS_EX_DLGMODALFRAME);
    EXPECT_EQ(want.right - want.left, 326);
    EXPECT_EQ(want.bottom - want.top, 226);
    HWND plain = make(WS_POPUP);
    getClientRect(plain, &c);
    EXPECT_EQ(c.right, 330);

    // The procedure may change the position on its way in.
    alignOnMove = true;
    seen.clear();
    ASSERT_TRUE(setWindowPos(a, 0, 100, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    getWindowRect(a, &r);
    EXPECT_EQ(r.left, 101);  // (100 + 3 + 3) & ~7 = 104, minus the 3-pixel frame
    EXPECT_EQ(r.top, 50);
    EXPECT_EQ(r.right - r.left, 330);
    EXPECT_EQ(numbersOf(a), std::vector<UINT>({WM_WINDOWPOSCHANGING, WM_WINDOWPOSCHANGED, WM_MOVE}));
    EXPECT_EQ(lParamX(seen.back().l), 104);
    moveWindow(a, 0, 0, 200, 100, true);
    getClientRect(a, &c);
    EXPECT_EQ(c.right, 194);
    EXPECT_EQ(windowFromPoint({5, 5}), 0u) << "hidden windows are not hit";
    showWindow(a, SW_SHOW);
    EXPECT_EQ(windowFromPoint({5, 5}), a);
}

TEST_F(WindowTest, PaintComesAfterPostedMessagesUntilValidated) {
    HWND a = make(WS_POPUP | WS_VISIBLE);
    drain();
    postMessage(a, WM_USER, 0, 0);
    invalidateRect(a, nullptr, false);
    auto got = drain();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].message, WM_USER);
    EXPECT_EQ(got[1].message, WM_PAINT);
    MSG m;
    EXPECT_FALSE(peekMessage(&m, 0, 0, 0, PM_REMOVE)) << "beginPaint validated the window";
    invalidateRect(a, nullptr, false);
    seen.clear();
    updateWindow(a);
    EXPECT_EQ(numbersOf(a), std::vector<UINT>({WM_PAINT}));
}

TEST_F(WindowTest, TimersFireOnTheClockOnePerPeriodAndStopWhenKilled) {
    HWND a = make();
    ASSERT_EQ(setTimer(a, 7, 100, nullptr), 7u);
    MSG m;
    sleepMs(99);
    EXPECT_FALSE(peekMessage(&m, 0, WM_TIMER, WM_TIMER, PM_REMOVE));
    sleepMs(1);
    ASSERT_TRUE(peekMessage(&m, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_TIMER);
    EXPECT_EQ(m.wParam, 7u);
    EXPECT_FALSE(peekMessage(&m, 0, 0, 0, PM_REMOVE)) << "next period not reached";
    // A long stall gives one WM_TIMER, not a burst.
    sleepMs(1000);
    EXPECT_TRUE(peekMessage(&m, 0, 0, 0, PM_REMOVE));
    EXPECT_FALSE(peekMessage(&m, 0, 0, 0, PM_REMOVE));
    EXPECT_TRUE(killTimer(a, 7));
    sleepMs(500);
    EXPECT_FALSE(peekMessage(&m, 0, 0, 0, PM_REMOVE));
    EXPECT_FALSE(killTimer(a, 7));

    static int calls = 0;
    calls = 0;
    uintptr_t id = setTimer(0, 0, 10, [](HWND, UINT, uintptr_t, uint32_t) { calls++; });
    ASSERT_NE(id, 0u);
    // getMessage waits on the virtual clock until the timer is due.
    uint32_t before = tickCount();
    ASSERT_EQ(getMessage(&m, 0, 0, 0), 1);
    EXPECT_EQ(tickCount() - before, 10u);
    dispatchMessage(&m);
    EXPECT_EQ(calls, 1);
}

TEST_F(WindowTest, SystemMenuEntriesKeepTheirState) {
    HWND a = make();
    HMENU menu = getSystemMenu(a, false);
    ASSERT_NE(menu, 0u);
    EXPECT_EQ(enableMenuItem(menu, 0, MF_BYPOSITION | MF_GRAYED), int(MF_ENABLED));
    EXPECT_EQ(getMenuState(menu, SC_RESTORE, MF_BYCOMMAND), int(MF_GRAYED));
    EXPECT_EQ(enableMenuItem(menu, 9, MF_BYPOSITION), -1);
    EXPECT_EQ(getSystemMenu(make(WS_POPUP), false), 0u) << "no WS_SYSMENU, no menu";
}

TEST_F(WindowTest, ABlankClassCursorHidesThePointerOverItsWindows) {
    std::vector<uint8_t> ones(32 * 4, 0xFF), zeros(32 * 4, 0);
    HCURSOR blank = createCursor(0, 0, 32, 32, ones.data(), zeros.data());
    zeros[5] = 0x10;  // one visible pixel
    HCURSOR shape = createCursor(0, 0, 32, 32, ones.data(), zeros.data());
    ASSERT_NE(blank, 0u);
    ASSERT_NE(shape, 0u);
    EXPECT_EQ(createCursor(0, 0, 0, 32, ones.data(), zeros.data()), 0u);
    WNDCLASS wc;
    wc.lpfnWndProc = recordingProc;
    wc.hCursor = blank;
    wc.lpszClassName = "Blank";
    registerClass(wc);
    wc.hCursor = shape;
    wc.lpszClassName = "Shaped";
    registerClass(wc);
    EXPECT_TRUE(windowHidesPointer(createWindowEx(0, "Blank", "", WS_POPUP, 0, 0, 8, 8, 0, nullptr)));
    EXPECT_FALSE(windowHidesPointer(createWindowEx(0, "Shaped", "", WS_POPUP, 0, 0, 8, 8, 0, nullptr)));
    EXPECT_FALSE(windowHidesPointer(make()));
    EXPECT_TRUE(destroyCursor(blank));
    EXPECT_FALSE(destroyCursor(blank));
}

// ---- injected input ------------------------------------------------------------------------

TEST_F(WindowTest, InputScriptParsesAndReportsBadLines) {
    std::vector<std::string> errors;
    auto ev = parseInputScript(
        "# comment\n"
        "20 key F10\n"
        "10 key a shift ctrl\n"
        "30 char x\n"
        "40 click right 5 6   # trailing comment\n"
        "50 close\n"
        "60 key NOPE\n"
        "x key A\n"
        "70 move 1\n"
        "80 char 0x41\n"
        "90 wiggle\n",
        &errors);
    ASSERT_EQ(ev.size(), 6u);
    EXPECT_EQ(ev[0].timeMs, 10u) << "sorted by time";
    EXPECT_EQ(ev[0].virtualKey, 'A');
    EXPECT_TRUE(ev[0].shift && ev[0].ctrl && !ev[0].alt);
    EXPECT_EQ(ev[1].virtualKey, VK_F10);
    EXPECT_EQ(ev[2].ch, uint32_t('x'));
    EXPECT_EQ(ev[3].kind, InputEvent::Click);
    EXPECT_EQ(ev[3].button, 1);
    EXPECT_EQ(ev[3].y, 6);
    EXPECT_EQ(ev[4].kind, InputEvent::Close);
    EXPECT_EQ(ev[5].ch, 0x41u);
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[0].rfind("line 7:", 0), 0u);
    EXPECT_EQ(errors[3].rfind("line 11:", 0), 0u);
    EXPECT_EQ(virtualKeyFromName("pagedown"), VK_NEXT);
    EXPECT_EQ(virtualKeyFromName("F12"), VK_F12);
    EXPECT_EQ(virtualKeyFromName("F13"), -1);
}

TEST_F(WindowTest, KeysBecomeTheSystemsKeyAndCharacterMessages) {
    HWND a = make(WS_POPUP | WS_VISIBLE);
    drain();
    struct Case {
        int vk;
        bool shift, ctrl, alt;
        std::vector<UINT> msgs;
        uint32_t ch;
    };
    const Case cases[] = {
        {VK_F1, false, false, false, {WM_KEYDOWN, WM_KEYUP}, 0},
        {VK_F1, false, false, true, {WM_SYSKEYDOWN, WM_SYSKEYUP}, 0},
        {VK_F10, false, false, false, {WM_SYSKEYDOWN, WM_SYSKEYUP}, 0},
        {'A', true, false, false, {WM_KEYDOWN, WM_CHAR, WM_KEYUP}, 'A'},
        {'A', false, false, false, {WM_KEYDOWN, WM_CHAR, WM_KEYUP}, 'a'},
        {'C', false, true, false, {WM_KEYDOWN, WM_CHAR, WM_KEYUP}, 3},
        {VK_RETURN, false, false, false, {WM_KEYDOWN, WM_CHAR, WM_KEYUP}, 13},
        {VK_TAB, true, false, false, {WM_KEYDOWN, WM_CHAR, WM_KEYUP}, 9},
        {'1', true, false, false, {WM_KEYDOWN, WM_CHAR, WM_KEYUP}, '!'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.vk);
        ASSERT_TRUE(injectKey(c.vk, c.shift, c.ctrl, c.alt));
        std::vector<UINT> got;
        MSG m;
        while (peekMessage(&m, 0, 0, 0, PM_REMOVE)) {
            got.push_back(m.message);
            EXPECT_EQ(m.hwnd, a);
            if (m.message == WM_KEYDOWN || m.message == WM_SYSKEYDOWN) {
                EXPECT_EQ(m.wParam, WPARAM(c.vk));
                // The key state seen while handling the key matches the modifiers.
                EXPECT_EQ(getKeyState(VK_SHIFT) < 0, c.shift);
                EXPECT_EQ(getKeyState(VK_CONTROL) < 0, c.ctrl);
                EXPECT_EQ(getKeyState(VK_MENU) < 0, c.alt);
                EXPECT_LT(getKeyState(c.vk), 0);
                EXPECT_EQ((m.lParam & KF_ALTDOWN_BIT) != 0, c.alt);
                EXPECT_EQ(m.lParam & KF_UP_BIT, 0);
            }
            if (m.message == WM_CHAR) {
                EXPECT_EQ(m.wParam, c.ch);
            }
            if (m.message == WM_KEYUP || m.message == WM_SYSKEYUP) {
                EXPECT_NE(m.lParam & KF_UP_BIT, 0);
            }
        }
        EXPECT_EQ(got, c.msgs);
        EXPECT_GE(getKeyState(c.vk), 0) << "released";
    }
}

TEST_F(WindowTest, MouseCloseAndTimedScriptArriveAsMessages) {
    HWND a = make(WS_POPUP | WS_CAPTION | WS_VISIBLE);  // 3-pixel frame, caption
    drain();
    setInputScript(parseInputScript("0 move 7 8\n50 click left 30 40\n50 close\n", nullptr));
    MSG m;
    ASSERT_TRUE(peekMessage(&m, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_MOUSEMOVE);
    EXPECT_EQ(lParamX(m.lParam), 7);
    EXPECT_EQ(lParamY(m.lParam), 8);
    POINT cur;
    getCursorPos(&cur);
    EXPECT_EQ(cur.x, 10 + 3 + 7) << "screen position of the client point";
    sleepMs(49);
    EXPECT_FALSE(peekMessage(&m, 0, 0, 0, PM_REMOVE)) << "not before its time";
    sleepMs(1);
    std::vector<UINT> got;
    while (peekMessage(&m, 0, 0, 0, PM_REMOVE)) {
        got.push_back(m.message);
        if (m.message == WM_LBUTTONDOWN) {
            EXPECT_EQ(m.wParam & MK_LBUTTON, MK_LBUTTON);
            EXPECT_EQ(lParamX(m.lParam), 30);
            EXPECT_EQ(lParamY(m.lParam), 40);
        }
        if (m.message == WM_CLOSE) dispatchMessage(&m);
    }
    EXPECT_EQ(got, std::vector<UINT>({WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_CLOSE}));
    EXPECT_FALSE(isWindow(a)) << "the default answer to WM_CLOSE destroys the window";
    EXPECT_EQ(pendingInputEvents(), 0u);
}

}  // namespace
