// Injected input: timed events from TORVEX_INPUT=FILE, and a C++ API for tests. Events become
// the same messages a keyboard and mouse would give (see window.h).
//
// File format, one event a line ('#' starts a comment, blank lines are ignored):
//   TIME key VK [shift] [ctrl] [alt] [down|up]   a key press: WM_KEYDOWN (WM_SYSKEYDOWN with
//                                                 Alt), the WM_CHAR the key types, WM_KEYUP;
//                                                 "down" or "up" sends only that half
//   TIME char C                                   WM_CHAR: a single character, or a number
//   TIME move X Y                                 WM_MOUSEMOVE at client point (X, Y)
//   TIME click left|right X Y                     move, button down, button up
//   TIME close                                    the user closes the window (WM_CLOSE)
//   TIME activate | deactivate                    the desktop gives or takes activation
//   TIME expose                                   the window must be repainted (WM_PAINT)
// TIME is milliseconds on the platform clock, counted from the moment a window first exists.
// VK is a number (decimal or 0x..), a letter or digit, or a name: F1..F12, RETURN (ENTER),
// ESCAPE (ESC), TAB, BACK (BACKSPACE), SPACE, LEFT, RIGHT, UP, DOWN, PRIOR (PAGEUP),
// NEXT (PAGEDOWN), HOME, END, INSERT, DELETE, SHIFT, CONTROL, MENU (ALT).
// Events go to the focus window, else the active one, else the newest visible window.
// A bad line is reported on standard error with its number and skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win_defs.h"

namespace plat {

struct InputEvent {
    enum Kind { Key, Char, Move, Click, Close, Activate, Deactivate, Expose };
    uint32_t timeMs = 0;
    Kind kind = Key;
    int virtualKey = 0;
    bool shift = false, ctrl = false, alt = false;
    int phase = 0;  // keys: 0 press (down and up), 1 down only, 2 up only
    uint32_t ch = 0;
    int32_t x = 0, y = 0;
    int button = 0;  // 0 left, 1 right
};

// Parses a script; bad lines are described in errors ("line N: ...") and left out.
std::vector<InputEvent> parseInputScript(const std::string& text, std::vector<std::string>* errors);
// A virtual-key code from a number or name as the file format accepts it; -1 when unknown.
int virtualKeyFromName(const std::string& name);
// The character a key types with the given modifiers (0 = none), as a US keyboard would.
uint32_t charForKey(int virtualKey, bool shift, bool ctrl);

// Replaces the pending timed events; their times count from the next moment a window exists.
void setInputScript(const std::vector<InputEvent>& events);
bool loadInputFile(const std::string& path);
size_t pendingInputEvents();

// Immediate delivery (hwnd 0 = the usual target). False when there is no target window.
bool injectEvent(const InputEvent& event, HWND hwnd = 0);
bool injectKey(int virtualKey, bool shift = false, bool ctrl = false, bool alt = false, HWND hwnd = 0);
bool injectChar(uint32_t ch, HWND hwnd = 0);
bool injectMouseMove(int32_t x, int32_t y, HWND hwnd = 0);
bool injectClick(int button, int32_t x, int32_t y, HWND hwnd = 0);
bool injectClose(HWND hwnd = 0);

}  // namespace plat
