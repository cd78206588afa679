// The status window headless: its window and texts in the capture log, the cancel question, the
// Done wait, the closing summary, boxes and questions, and the log file helper.
#include <sys/stat.h>

#include <cstring>

#include "kroutil/status.h"
#include "platform/panel.h"
#include "tests/kroutil/ui/ui_fixture.h"

using namespace plat;

namespace {

int gCancelCalls = 0;
void countCancel() { gCancelCalls++; }

std::string gSummary;
uintptr_t gSummaryTag = 0;
int gRestoredMessages = 0;
LRESULT ownerProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_COPYDATA) {
        auto* cd = reinterpret_cast<const COPYDATASTRUCT*>(static_cast<intptr_t>(l));
        gSummaryTag = cd->dwData;
        gSummary.assign(static_cast<const char*>(cd->lpData), cd->cbData);
        return 1;
    }
    if (m == 0x900) gRestoredMessages++;
    return defWindowProc(h, m, w, l);
}

HWND makeOwner() {
    WNDCLASS wc;
    wc.lpfnWndProc = ownerProc;
    wc.lpszClassName = "StatusOwner";
    registerClass(wc);
    return createWindowEx(0, "StatusOwner", "owner", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, 0, nullptr);
}

HWND statusWindow() { return reinterpret_cast<HWND>(StatusGetHWND()); }

class StatusTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        gCancelCalls = 0;
        gSummary.clear();
        gSummaryTag = 0;
        gRestoredMessages = 0;
    }
    void TearDown() override {
        StatusClose(0);
        UiTest::TearDown();
    }
};

TEST_F(StatusTest, WindowTextsAndSummaryReachTheCaptureLogAndTheOwner) {
    capture();
    HWND owner = makeOwner();
    ASSERT_EQ(StatusInit(reinterpret_cast<void*>(0x1234), reinterpret_cast<void*>(owner), 0),
              reinterpret_cast<void*>(0x1234));
    ASSERT_EQ(StatusOpen("Converting", "clip.avi", nullptr), 1);
    EXPECT_EQ(statusWindow(), owner) << "hidden until the first text";
    EXPECT_EQ(StatusSet("Frame 1 of 3"), 0);
    HWND w = statusWindow();
    ASSERT_NE(w, owner);
    RECT r;
    ASSERT_TRUE(getWindowRect(w, &r));
    // 32 x 18 by 7 x 20, centred on the 1920x1080 desktop.
    EXPECT_EQ(r.left, (1920 - 576) / 2);
    EXPECT_EQ(r.top, (1080 - 140) / 2);
    EXPECT_EQ(r.right - r.left, 576);
    EXPECT_EQ(r.bottom - r.top, 140);
    EXPECT_TRUE(panelHasItem(w, IDCANCEL));
    EXPECT_EQ(panelItemText(w, IDCANCEL), "&Cancel");
    EXPECT_EQ(StatusSet(nullptr), 0);
    EXPECT_EQ(StatusClose(0), 1);
    EXPECT_EQ(gSummaryTag, 0x1234u);
    EXPECT_EQ(gSummary, std::string("Converting - clip.avi\r\n  \0", 26));
    EXPECT_EQ(StatusGetHWND(), reinterpret_cast<void*>(owner));
    std::string events = log();
    for (const char* want : {"class=KROSTATUSBCDE title=\"Converting\"", "id=2 \"&Cancel\"", "\"Frame 1 of 3\"",
                             "id=101 \"clip.avi\"", "id=100 \"\""})
        EXPECT_NE(events.find(want), std::string::npos) << want << "\n" << events;
    EXPECT_EQ(StatusSet("no window"), 0);
}

TEST_F(StatusTest, CancelIsAskedUntilConfirmedThenOnceOnlyAndTheNextJobStartsAfresh) {
    StatusInit(reinterpret_cast<void*>(0x1234), nullptr, 0);
    ASSERT_EQ(StatusOpen("Job", "", countCancel), 1);
    StatusSet("working");
    HWND w = statusWindow();
    setMessageBoxAnswers("no,yes,no");
    // Closing the window asks; "no" keeps it.
    ASSERT_TRUE(injectClose(w));
    EXPECT_EQ(StatusCheck(), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Do you want to cancel?");
    EXPECT_EQ(boxes[0].title, "Job");
    EXPECT_EQ(boxes[0].type, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    EXPECT_TRUE(isWindow(w));
    EXPECT_EQ(gCancelCalls, 0);
    // A click on Cancel asks again; "yes" cancels, runs the callback once and closes nothing yet.
    RECT c;
    getClientRect(w, &c);
    ASSERT_TRUE(injectClick(0, 576 * 7 / 16 + 10, 140 * 8 / 21 + 10, w));
    EXPECT_EQ(StatusCheck(), 0);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(gCancelCalls, 1);
    EXPECT_TRUE(isWindow(w));
    // Cancelled already: no more questions, and closing now destroys the window.
    EXPECT_EQ(StatusDoCancel(), 1);
    ASSERT_TRUE(injectClose(w));
    EXPECT_EQ(StatusCheck(), 1);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(gCancelCalls, 1);
    EXPECT_FALSE(isWindow(w));
    StatusClose(0);

    // The next job is not cancelled: it asks again.
    ASSERT_EQ(StatusOpen("Next", "", countCancel), 1);
    EXPECT_EQ(StatusDoCancel(), 0);
    EXPECT_EQ(boxes.size(), 3u);
}

TEST_F(StatusTest, ClicksOutsideTheButtonAndOtherKeysDoNotAsk) {
    StatusInit(nullptr, nullptr, 0);
    ASSERT_EQ(StatusOpen("Job", "", nullptr), 1);
    StatusSet("working");
    HWND w = statusWindow();
    injectClick(0, 5, 5, w);
    injectKey('X', false, false, false, w);
    StatusCheck();
    EXPECT_TRUE(boxes.empty());
    // Escape and the button's letter both press Cancel.
    injectKey(VK_ESCAPE, false, false, false, w);
    StatusCheck();
    injectChar('c', w);
    StatusCheck();
    EXPECT_EQ(boxes.size(), 2u);
}

TEST_F(StatusTest, DoneWaitEndsWithoutInputOrWhenTheUserPressesDone) {
    capture();
    StatusInit(nullptr, nullptr, 0);
    ASSERT_EQ(StatusOpen("Job", "", nullptr), 1);
    StatusSet("finished");
    EXPECT_EQ(StatusClose(1), 1);
    EXPECT_NE(log().find("id=2 \"&Done\""), std::string::npos);

    // With a click on Done scripted for later, the window stays until then.
    ASSERT_EQ(StatusOpen("Job", "", nullptr), 1);
    StatusSet("finished");
    InputEvent click;
    click.kind = InputEvent::Click;
    click.timeMs = 500;
    click.x = 576 * 7 / 16 + 5;
    click.y = 140 * 8 / 21 + 5;
    uint32_t start = tickCount();
    setInputScript({click});
    EXPECT_EQ(StatusClose(1), 1);
    EXPECT_GE(tickCount() - start, 500u);
    EXPECT_TRUE(boxes.empty()) << "Done closes without asking";

    // noWait: no Done at all.
    StatusInit(nullptr, nullptr, 1);
    ASSERT_EQ(StatusOpen("Quick", "", nullptr), 1);
    StatusSet("finished");
    EXPECT_EQ(StatusClose(1), 1);
    EXPECT_EQ(log().find("Quick"), log().rfind("Quick")) << "only the creation names it";
}

TEST_F(StatusTest, QuestionsAndBoxesTakeTheWindowCaptionAndTheirIcons) {
    HWND owner = makeOwner();
    StatusInit(nullptr, reinterpret_cast<void*>(owner), 0);
    ASSERT_EQ(StatusOpen("Caption", "", nullptr), 1);
    setMessageBoxAnswers("no,yes");
    EXPECT_EQ(StatusAsk("Overwrite?", 0), 0);
    EXPECT_EQ(StatusAsk("Really?", 0x100), 1) << "only the flag's low byte counts";
    StatusMessage("bad", 0x101);
    StatusMessageTitle("note", "Other", 0);
    ASSERT_EQ(boxes.size(), 4u);
    struct Want {
        const char* title;
        const char* text;
        uint32_t type;
    };
    const Want want[] = {{"Caption", "Overwrite?", MB_YESNO | MB_ICONQUESTION},
                         {"Caption", "Really?", MB_YESNO | MB_ICONQUESTION},
                         {"Caption", "bad", MB_OK | MB_ICONHAND},
                         {"Other", "note", MB_OK | MB_ICONINFORMATION}};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(boxes[i].title, want[i].title) << i;
        EXPECT_EQ(boxes[i].text, want[i].text) << i;
        EXPECT_EQ(boxes[i].type, want[i].type) << i;
    }
    // The answer stays on the status line.
    StatusSet(nullptr);
    StatusAsk("Keep?", 1);
    EXPECT_EQ(panelItemText(statusWindow(), 100), "Keep? No.");
    // Without a window the caption is empty.
    StatusClose(0);
    StatusMessage("alone", 0);
    EXPECT_EQ(boxes.back().title, "");
}

TEST_F(StatusTest, LongTextsAreCutAndMinimisedWindowsStayMinimised) {
    StatusInit(nullptr, nullptr, 0);
    std::string longText(5000, 'x');
    ASSERT_EQ(StatusOpen("Job", longText.c_str(), nullptr), 1);
    StatusSet(longText.c_str());
    HWND w = statusWindow();
    EXPECT_EQ(panelItemText(w, 100).size(), 1023u);
    EXPECT_EQ(panelItemText(w, 101).size(), 1023u);
    StatusAsk(longText.c_str(), 1);
    EXPECT_EQ(panelItemText(w, 100).size(), 1023u) << "the answer does not overflow either";

    showWindow(w, SW_MINIMIZE);
    StatusSet("still minimised");
    EXPECT_TRUE(isIconic(w));
    // A quit posted by someone else does
    // not make the live window unreachable.
    postQuitMessage(0);
    EXPECT_EQ(StatusCheck(), 1);
    EXPECT_TRUE(isWindow(w));
    showWindow(w, SW_RESTORE);
    EXPECT_EQ(statusWindow(), w);
}

TEST_F(StatusTest, RestoringTellsTheOwner) {
    HWND owner = makeOwner();
    StatusInit(nullptr, reinterpret_cast<void*>(owner), 0);
    ASSERT_EQ(StatusOpen("Job", "", nullptr), 1);
    StatusSet("x");
    HWND w = statusWindow();
    sendMessage(w, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    HMENU menu = getSystemMenu(w, false);
    EXPECT_EQ(getMenuState(menu, 0, MF_BYPOSITION), int(MF_ENABLED));
    EXPECT_EQ(getMenuState(menu, 3, MF_BYPOSITION), int(MF_GRAYED));
    sendMessage(w, WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_EQ(gRestoredMessages, 1);
    EXPECT_EQ(getMenuState(menu, 0, MF_BYPOSITION), int(MF_GRAYED));
    EXPECT_EQ(getMenuState(menu, 3, MF_BYPOSITION), int(MF_ENABLED));
}

TEST_F(StatusTest, LogStringAppendsCreatesAndNeverTruncates) {
    std::string name = dir.file("job.log");
    LogString(name.c_str(), "one ");
    LogString(name.c_str(), "two");
    auto bytes = testsupport::readFile(name);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "one two");
    // A log that cannot be opened for reading keeps what it holds.
    std::string locked = dir.file("locked.log");
    testsupport::writeText(locked, "kept");
    chmod(locked.c_str(), 0200);
    LogString(locked.c_str(), "+");
    chmod(locked.c_str(), 0600);
    bytes = testsupport::readFile(locked);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "kept");
    LogString(dir.file("no/such/dir.log").c_str(), "x");
    LogString(nullptr, "x");
}

}  // namespace
