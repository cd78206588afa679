// Start-up of the presentation runtime.
#include "player/runtime/runtime.h"

#include "player/engine/script.h"
#include "player/runtime/screen_draw.h"
#include "player/runtime/screen_window.h"

namespace runtime {

namespace {

bool windowExists() { return gScreen.window != 0; }
bool autoPauseWaiting() { return gScreen.autoPause && gScreen.window && !hasFocus(); }
uintptr_t windowHandle() { return gScreen.window; }
void closeWindowHook() { closeScreen(); }

}  // namespace

void installRuntime() {
    registerWindowCommands();
    registerDrawCommands();
    engine::gHooks.pumpMessages = pumpMessages;
    engine::gHooks.closeWindow = closeWindowHook;
    engine::gHooks.resetTextOutput = resetTextOutput;
    engine::gHooks.windowExists = windowExists;
    engine::gHooks.autoPauseWaiting = autoPauseWaiting;
    engine::gHooks.windowHandle = windowHandle;
}

}  // namespace runtime
