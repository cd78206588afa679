// Start-up of the presentation runtime: the one place that plugs it into the script engine.
#include "player/runtime/runtime.h"

#include "codec/audio/sound_backend.h"
#include "player/engine/script.h"
#include "player/runtime/animation.h"
#include "player/runtime/bitmaps.h"
#include "player/runtime/input_commands.h"
#include "player/runtime/mouse.h"
#include "player/runtime/screen_draw.h"
#include "player/runtime/screen_window.h"
#include "player/runtime/sound_command.h"
#include "player/runtime/system_options.h"
#include "player/runtime/text.h"

namespace runtime {

namespace {

bool windowExists() { return gScreen.window != 0; }
bool autoPauseWaiting() { return gScreen.autoPause && gScreen.window && !hasFocus(); }
uintptr_t windowHandle() { return gScreen.window; }
void closeWindowHook() { closeScreen(); }
void serviceSound() { torvex::TorvexServiceSound(0); }

}  // namespace

void installRuntime() {
    // The handlers of the rows the command table names as the runtime's.
    registerWindowCommands();
    registerDrawCommands();
    registerBitmapCommands();
    registerTextCommands();
    registerMouseCommands();
    registerInputCommands();
    registerAnimationCommands();
    registerSoundCommand();
    registerSystemOptions();

    // The engine's hooks.
    engine::gHooks.pumpMessages = pumpMessages;
    engine::gHooks.serviceSound = serviceSound;
    engine::gHooks.closeWindow = closeWindowHook;
    engine::gHooks.resetTextOutput = resetTextOutput;
    engine::gHooks.windowExists = windowExists;
    engine::gHooks.autoPauseWaiting = autoPauseWaiting;
    engine::gHooks.windowHandle = windowHandle;
    engine::gHooks.writeWindowLine = writeWindowLine;
    engine::gHooks.removeSoftwarePointer = takePointerOff;
    engine::gHooks.changeDisplayMode = changeDisplayMode;
    engine::gHooks.restoreDisplayMode = restoreDisplayMode;

    // The window's calls into the pointer code (mouse.cpp).
    gPointerHooks.takeOff = takePointerOff;
    gPointerHooks.hideIfOverlapping = hidePointerIfOverlapping;
    gPointerHooks.newScreen = pointerNewScreen;
}

}  // namespace runtime
