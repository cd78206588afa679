// The presentation window: creation and reuse, placement, the window procedure (keys, close,
// clicks, palette messages), the message pump, focus and the SCREEN* window commands.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win_defs.h"
#include "player/runtime/display_surface.h"

namespace runtime {

constexpr int kKeyQueueSize = 64;
constexpr uint8_t kCloseKey = 241;  // the user closed the window
constexpr uint32_t kInitialScreenFlags = 0x2000;

// ScreenFlags bits.
constexpr uint32_t kFlagBackendBits = 0x1F;
constexpr uint32_t kFlagNoDirectDraw = 0x20;
constexpr uint32_t kFlagSmooth2x = 0x40;
constexpr uint32_t kFlagInterlaced2x = 0x80;
constexpr uint32_t kFlagBackendAlt = 0x100;
constexpr uint32_t kFlagNoCaption = 0x200;
constexpr uint32_t kFlagKeepContents = 0x1000;
constexpr uint32_t kFlagNoModalFrame = 0x4000;
constexpr uint32_t kFlagBorder = 0x8000;
constexpr uint32_t kFlagTopmost = 0x10000;

struct PresentationState {
    uint32_t screenFlags = kInitialScreenFlags;
    plat::HWND window = 0;
    bool classRegistered = false;
    plat::HCURSOR blankCursor = 0;
    int32_t extraWidth = 0, extraHeight = 0;  // frame around the client area
    int32_t clientLeft = 0, clientTop = 0;    // client origin inside the window
    int32_t positionX = -1, positionY = -1;   // -1 = centred
    int32_t screenWidth = 0, screenHeight = 0;
    int32_t displaySizeSetting = 0;  // 0: the display is the buffer's size
    std::string title = "TorvexScript";
    bool autoPause = false;
    uint32_t leftButtonUps = 0, rightButtonUps = 0;
    uint8_t keyQueue[kKeyQueueSize] = {};
    int keyCount = 0;
    DisplaySurface* surface = nullptr;
};
extern PresentationState gScreen;

// The window class name: "RIRUV" and four letters from the instance handle.
std::string presentationClassName();

bool openScreen(int32_t width, int32_t height, int32_t x, int32_t y, uint32_t screenFlags);
void closeScreen();
void pumpMessages();
// The first queued key, waiting (pumping and yielding) while the queue is empty. Returns 0
// when the window goes away while waiting.
uint8_t waitKey();
bool hasFocus();
// Queues a key code unless 64 are waiting.
void queueKey(uint8_t code);
// The key code of a key or character message, -1 when the message queues nothing.
int keyCodeForMessage(plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam);

plat::LRESULT presentationWindowProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam);

// The back-end number ScreenFlags asks for (0 = automatic).
int32_t backendFromFlags(uint32_t flags);
// ScreenFlags after SCREENSETTINGS value.
uint32_t applyScreenSettings(uint32_t flags, int32_t value);

// The screen mode of the presentation while its window is full screen (width x height); 0 x 0
// gives the desktop its own mode back. A windowed presentation keeps the desktop as it is.
void changeDisplayMode(int32_t width, int32_t height);
void restoreDisplayMode();

// Raises the no-window error unless a window with a surface exists.
void requireWindow();

// Services of the mouse and pointer code (mouse.cpp), installed by installRuntime; no-ops before.
struct PointerHooks {
    void (*takeOff)();  // software pointer off the screen
    void (*hideIfOverlapping)(int32_t x, int32_t y, int32_t width, int32_t height);
    void (*newScreen)();         // areas of the current frame removed, the default image selected
    void (*forgetBackground)();  // the saved background under the pointer is dropped
};
extern PointerHooks gPointerHooks;

// Text output state shared with the text commands: colours and position.
struct TextOutputState {
    int32_t colour = 7;
    int32_t backColour = 0;
    int32_t transColour = 128;
    int32_t x = 0, y = 0;
};
extern TextOutputState gTextOutput;
void resetTextOutput();

// The SCREEN* commands.
void registerWindowCommands();

// Between tests: closes the window and puts every setting back to its start value.
void resetPresentationForTest();

}  // namespace runtime
