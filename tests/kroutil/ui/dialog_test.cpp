// The dialog thread headless on the virtual clock: the worker's result, "Done", closing while
// the worker runs, a dialog destroyed under a running worker, boxes, and the template.
#include <atomic>
#include <chrono>
#include <thread>

#include "kroutil/dialog.h"
#include "platform/panel.h"
#include "tests/kroutil/ui/ui_fixture.h"

using namespace plat;

namespace {

void* const kInstance = reinterpret_cast<void*>(0x4321);

const KroDialogItem kItems[] = {{0, 100, "Working...", 10, 10, 200, 16}, {1, 2, "&Cancel", 80, 40, 72, 24}};
const KroDialogTemplate kTemplate = {"Tool", 240, 80, kItems, 2};

struct Seen {
    std::vector<int32_t> commands;
    std::string titleAtEnd;  // the dialog's title when the worker's end arrived
    std::string buttonAtEnd;
    std::atomic<int32_t> keep{0};  // the command callback's answer
    std::atomic<bool> release{false};
    std::atomic<bool> sawClose{false};
};
Seen* gSeen = nullptr;

int32_t onCommand(int32_t id, void*) {
    gSeen->commands.push_back(id);
    if (id == 2) gSeen->sawClose = true;
    return gSeen->keep;
}

// On the worker's end: note the dialog's look and press Enter (the focused button).
intptr_t pressDoneAtEnd(void* window, uint32_t message, uintptr_t, intptr_t) {
    if (message == 0x8C88) {
        HWND h = reinterpret_cast<HWND>(window);
        gSeen->titleAtEnd = getWindowText(h);
        gSeen->buttonAtEnd = panelItemText(h, 2);
        injectKey(VK_RETURN, false, false, false, h);
    }
    return 0;
}

void waitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < 5000 && !flag; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class DialogTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        gSeen = &seen;
        KroDialogSetTemplate(kInstance, &kTemplate);
        KroDialogSetFilter(pressDoneAtEnd);
    }
    void TearDown() override {
        KroDialogSetFilter(nullptr);
        KroDialogSetTimer(nullptr, 0);
        UiTest::TearDown();
    }
    Seen seen;
};

int32_t gWorkerResult = 0;
int32_t returnResult(void*, void*) { return gWorkerResult; }

TEST_F(DialogTest, WorkerResultClosesTheDialogOrTurnsItIntoDone) {
    struct Case {
        int32_t result;
        int32_t autoClose;
        bool done;   // shows "&Done" and " - Done!"
        bool waits;  // and waits for the user to press it
    };
    const Case cases[] = {{7, 0, false, false}, {0, 0, true, true}, {0, 1, true, false}, {-3, 1, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        seen.commands.clear();
        seen.titleAtEnd.clear();
        gWorkerResult = c.result;
        seen.keep = 0;
        EXPECT_EQ(KroDialogInit(kInstance, nullptr, nullptr, SW_SHOW, c.autoClose, returnResult, onCommand), c.result);
        EXPECT_EQ(seen.titleAtEnd, c.done ? "Tool - Done!" : "Tool");
        EXPECT_EQ(seen.buttonAtEnd, c.done ? "&Done" : "&Cancel");
        // Only a waiting dialog needs the Enter press, which reaches the command callback.
        EXPECT_EQ(seen.commands, c.waits ? std::vector<int32_t>{2} : std::vector<int32_t>{});
    }
}

int32_t closeThenWait(void*, void* dialog) {
    postMessage(reinterpret_cast<HWND>(dialog), WM_CLOSE, 0, 0);
    waitFor(gSeen->sawClose);
    return 0;
}

TEST_F(DialogTest, ClosingWhileTheWorkerRunsAsksTheCallbackAndKeepsTheDialog) {
    seen.keep = 1;
    // The close goes to the callback, which keeps the dialog; then the worker ends with 0 and
    // the Done press (now let go) closes it.
    EXPECT_EQ(KroDialogInit(kInstance, nullptr, nullptr, SW_SHOW, 0, [](void* u, void* d) -> int32_t {
                  int32_t r = closeThenWait(u, d);
                  gSeen->keep = 0;
                  return r;
              }, onCommand),
              0);
    EXPECT_EQ(seen.commands, (std::vector<int32_t>{2, 2}));
    EXPECT_EQ(seen.titleAtEnd, "Tool - Done!");
}

std::atomic<bool> gOldRelease{false};
int32_t oldWorker(void*, void* dialog) {
    // As if the user pressed Cancel and the callback let the dialog go.
    postMessage(reinterpret_cast<HWND>(dialog), WM_COMMAND, 2, 0);
    waitFor(gOldRelease);
    return 0;
}
int32_t newWorker(void*, void*) {
    // The worker of the earlier run ends while this run's dialog is up.
    gOldRelease = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return 9;
}

TEST_F(DialogTest, ADialogDestroyedUnderItsWorkerReturnsAtOnceAndTheOldWorkerLeavesTheNextRunAlone) {
    capture();
    seen.keep = 0;  // the close's command lets the dialog go
    EXPECT_EQ(KroDialogInit(kInstance, nullptr, nullptr, SW_SHOW, 0, oldWorker, onCommand), 1);
    EXPECT_EQ(seen.commands, std::vector<int32_t>{2});
    EXPECT_EQ(KroDialogInit(kInstance, nullptr, nullptr, SW_SHOW, 0, newWorker, onCommand), 9);
    EXPECT_EQ(seen.titleAtEnd, "Tool");
    EXPECT_EQ(log().find("Done"), std::string::npos) << log();
}

TEST_F(DialogTest, QuestionsAndMessagesFollowTheStyle) {
    struct Case {
        bool ask;
        int32_t style;
        const char* answer;
        uint32_t type;
        int32_t result;
    };
    const Case cases[] = {
        {true, 0, "yes", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, 1},
        {true, 1, "no", MB_YESNO | MB_ICONQUESTION, 0},
        {true, 33, "cancel", MB_YESNOCANCEL | MB_ICONQUESTION, 2},
        {true, 34, "", MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON3, 2},
        {true, 32, "", MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2, 0},
        {false, 0, "", MB_OK | MB_ICONINFORMATION, 0},
        {false, 34, "cancel", MB_OKCANCEL | MB_ICONINFORMATION | MB_DEFBUTTON2, 2},
        {false, 64, "", MB_OK | MB_ICONINFORMATION, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.style);
        boxes.clear();
        setMessageBoxAnswers(c.answer);
        int32_t r = c.ask ? KroDialogAsk("Sure?", c.style) : KroDialogMessage("Note", c.style);
        EXPECT_EQ(r, c.result);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].type, c.type);
    }
}

int32_t askFromWorker(void*, void*) {
    setMessageBoxAnswers("no");
    return KroDialogAsk("Go on?", 1) == 0 ? 5 : 6;
}

TEST_F(DialogTest, TheWorkerAsksWithTheDialogCaptionAndAMissingTemplateFails) {
    EXPECT_EQ(KroDialogInit(kInstance, nullptr, nullptr, SW_SHOW, 0, askFromWorker, onCommand), 5);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Tool");
    EXPECT_EQ(boxes[0].text, "Go on?");

    boxes.clear();
    EXPECT_EQ(KroDialogInit(reinterpret_cast<void*>(0x999), nullptr, nullptr, SW_SHOW, 0, askFromWorker, onCommand), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Couldn't create window.");
    EXPECT_EQ(boxes[0].type, MB_ICONINFORMATION);
}

LRESULT plainProc(HWND h, UINT m, WPARAM w, LPARAM l) { return defWindowProc(h, m, w, l); }

RECT gPlaced;
intptr_t notePlace(void* window, uint32_t message, uintptr_t, intptr_t) {
    if (message == 0x8C88) getWindowRect(reinterpret_cast<HWND>(window), &gPlaced);
    return 0;
}

TEST_F(DialogTest, TheDialogIsPlacedOverItsOwnerAndKeptOnTheDesktop) {
    WNDCLASS wc;
    wc.lpfnWndProc = plainProc;
    wc.lpszClassName = "DialogOwner";
    registerClass(wc);
    // The dialog's window is 246 x 106 (client 240 x 80 with caption and modal frame).
    struct Case {
        RECT owner;
        int32_t x, y;
    };
    const Case cases[] = {
        {{100, 100, 700, 500}, 100 + (600 - 246) / 2, 100 + (400 - 106) / 2},  // wide: centred
        {{100, 100, 300, 300}, 280, 100 + (200 - 106) / 2},                     // narrow: at its right edge
        {{1700, 1000, 1900, 1080}, 1920 - 246, 1080 - 106},                     // pulled onto the desktop
    };
    KroDialogSetFilter(notePlace);
    gWorkerResult = 1;
    for (const Case& c : cases) {
        HWND owner = createWindowEx(0, "DialogOwner", "o", WS_POPUP, c.owner.left, c.owner.top,
                                    c.owner.right - c.owner.left, c.owner.bottom - c.owner.top, 0, nullptr);
        EXPECT_EQ(KroDialogInit(kInstance, reinterpret_cast<void*>(owner), nullptr, SW_SHOW, 0, returnResult, onCommand), 1);
        EXPECT_EQ(gPlaced.left, c.x) << c.owner.left;
        EXPECT_EQ(gPlaced.top, c.y) << c.owner.left;
        destroyWindow(owner);
    }
}

}  // namespace
