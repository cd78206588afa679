// The dialog service's back-end table: how message boxes and panels (windows of labels and
// buttons, see panel.h) reach the user.
//
// The service takes the scripted answer (TORVEX_ANSWERS, else the default button), writes the
// capture log and, when a row cannot show a box itself, reports it on standard error. It keeps
// every panel's items, turns clicks and keys into WM_COMMAND, and hands a row a finished view of
// a panel at most once per the row's interval (so that progress never sets a job's pace). Rows:
// "headless", "sdl" and "terminal" (a progress line on standard error with y/N questions and
// Ctrl-C as the window's close), chosen together with the window back-end (backend_choice.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/dialog.h"  // the button sets, icons and results
#include "platform/win_defs.h"

namespace plat {

struct PanelViewItem {
    int32_t kind = 0;  // 0 label, 1 button
    int32_t id = 0;
    std::string text;  // buttons: '&' marks the key letter
    RECT rect;         // client coordinates
    bool centred = false;
    bool isDefault = false;
    bool focused = false;
};

// What a panel shows at one moment.
struct PanelView {
    std::string title;
    int32_t width = 0, height = 0;  // client size
    std::vector<PanelViewItem> items;
};

struct DialogBackendOps {
    const char* name;
    // Shows a box owned by nativeOwner (the window back-end's object, may be null) and returns
    // the button chosen (IDOK ...), or 0 when it could not show one. scripted is the button the
    // answer list gave (0 when the list gave none). Null in a row that shows no boxes.
    int (*messageBox)(void* nativeOwner, const char* text, const char* title, uint32_t type, int scripted);
    // Shows a panel's view (null: panels are not shown).
    void (*panelRender)(HWND id, const PanelView& view);
    // The panel's window is gone (after its last view was rendered).
    void (*panelGone)(HWND id);
    // Looks at the row's own input (Ctrl-C, Enter); called whenever a thread pumps messages.
    void (*poll)();
    // The shortest time between two views of one panel.
    uint32_t renderIntervalMs;
    // Whether someone can answer a panel that waits for the user (press "Done").
    bool userPresent;
};

const DialogBackendOps& dialogOps();

extern const DialogBackendOps kHeadlessDialogOps;
extern const DialogBackendOps kSdlDialogOps;
extern const DialogBackendOps kTerminalDialogOps;

// What the service offers rows.
// Draws the view into the window's own 8-bit picture (built-in font, grey face) and presents it.
void panelDrawPicture(HWND id, const PanelView& view);
// The user closed the newest panel's window (Ctrl-C in the terminal); false without a panel.
bool panelUserClose();
// The user pressed a key in the newest panel (Enter in the terminal); false without a panel.
bool panelUserKey(int virtualKey);

}  // namespace plat
