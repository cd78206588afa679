// Panels: a window's client area laid out as labels and push buttons, as small dialogs need
// (a progress window, a tool's dialog). The caller owns the window and its procedure; the panel
// keeps the items, draws them on a screen (text in the built-in 8x16 font), and turns clicks and
// keys into the window's WM_COMMAND through isDialogMessage, as dialog navigation does.
//
// Without a screen the panel draws nothing: its text changes go to the capture log
// ("text 0xHWND id=N "..."") and, on a terminal, the newest panel is a progress line (see
// dialog_backend.h). The panel goes with its window.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win_defs.h"

namespace plat {

constexpr int32_t PANEL_LABEL = 0;
constexpr int32_t PANEL_BUTTON = 1;

struct PanelItem {
    int32_t kind = PANEL_LABEL;
    int32_t id = 0;
    std::string text;
    int32_t x = 0, y = 0, width = 0, height = 0;  // client coordinates
    bool centred = false;   // labels: centred across their width (buttons always are)
    bool isDefault = false; // the button Enter presses when no other button has the focus
};

// Gives the window a panel (false for a dead window; true when it has one already). The panel
// belongs to the calling thread: its views are finished there.
bool panelAttach(HWND hwnd);
// Adds an item, or replaces the item with the same id.
bool panelAddItem(HWND hwnd, const PanelItem& item);
bool panelRemoveItem(HWND hwnd, int32_t id);
bool panelHasItem(HWND hwnd, int32_t id);
// Changes an item's text (null = ""); the window is invalidated when it changed. Any thread.
bool panelSetItemText(HWND hwnd, int32_t id, const char* text);
std::string panelItemText(HWND hwnd, int32_t id);
// Keyboard focus among the buttons (0 = none).
bool panelFocusItem(HWND hwnd, int32_t id);
int32_t panelFocusedItem(HWND hwnd);
// Shows the panel as it is now (call from WM_PAINT). Views closer together than the back-end's
// interval are merged: the last one is shown when the interval is over.
void panelPaint(HWND hwnd);

// Dialog navigation: for a message to the panel's window, Enter presses the focused or default
// button, Escape sends IDCANCEL, Tab moves the focus, a button's key letter presses it, a click
// released over a button presses it (WM_COMMAND with the button's id); other messages to the
// window are dispatched. True when the message was for the window (then it was handled).
bool isDialogMessage(HWND hwnd, const MSG* msg);

// False when nobody can answer a panel waiting for the user (headless): such waits end
// once no scripted input is pending.
bool panelUserPresent();

// Text in the built-in 8x16 font into an 8-bit picture (clipped): each byte one glyph (codes
// outside 32..175 as '?'); with mnemonic, '&' underlines the next character ("&&" is '&').
// Returns the width drawn.
int32_t drawText(uint8_t* bits, int32_t pitch, int32_t width, int32_t height, int32_t x, int32_t y,
                 std::string_view text, uint8_t colour, bool mnemonic);
int32_t textWidth(std::string_view text, bool mnemonic);

}  // namespace plat
