// The dialog service's back-end table: how message boxes reach the user.
//
// The service takes the scripted answer (TORVEX_ANSWERS, else the default button), writes the
// capture log and, when a row cannot show a box itself, reports it on standard error. Rows:
// "headless" and "sdl", chosen together with the window back-end (backend_choice.cpp).
#pragma once

#include <cstdint>

#include "platform/dialog.h"  // the button sets, icons and results

namespace plat {

struct DialogBackendOps {
    const char* name;
    // Shows a box owned by nativeOwner (the window back-end's object, may be null) and returns
    // the button chosen (IDOK ...), or 0 when it could not show one. Null in a row that shows
    // no boxes.
    int (*messageBox)(void* nativeOwner, const char* text, const char* title, uint32_t type);
};

const DialogBackendOps& dialogOps();

extern const DialogBackendOps kHeadlessDialogOps;
extern const DialogBackendOps kSdlDialogOps;

}  // namespace plat
