// Start-up of the presentation runtime.
#include "player/runtime/runtime.h"

#include "codec/audio/sound_backend.h"
#include "player/engine/script.h"
#include "player/runtime/animation.h"
#include "player/runtime/input_commands.h"
#include "player/runtime/screen_draw.h"
#include "player/runtime/screen_window.h"
#include "player/runtime/sound_command.h"

namespace runtime {

namespace {

bool windowExists() { return gScreen.window != 0; }
bool autoPauseWaiting() { return gScreen.autoPause && gScreen.window && !hasFocus(); }
uintptr_t windowHandle() { return gScreen.window; }
void closeWindowHook() { closeScreen(); }
void serviceSound() { torvex::TorvexServiceSound(0); }

}  // namespace

void installRuntime() {
    registerWindowCommands();
    registerDrawCommands();
    installInteraction();  // bitmaps, text, mouse areas and input
    registerAnimationCommands();
    registerSoundCommand();
    engine::gHooks.pumpMessages = pumpMessages;
    engine::gHooks.serviceSound = serviceSound;
    engine::gHooks.closeWindow = closeWindowHook;
    engine::gHooks.resetTextOutput = resetTextOutput;
    engine::gHooks.windowExists = windowExists;
    engine::gHooks.autoPauseWaiting = autoPauseWaiting;
    engine::gHooks.windowHandle = windowHandle;
}

}  // namespace runtime
