// Message boxes with the desktop system's button sets, icons and results.
//
// Every box is answered first from TORVEX_ANSWERS, a comma list such as "yes,no,ok" taken one
// entry per box in order (an answer that names no button of the box's set, or a list that has
// run out, gives the default button), and written to the capture log with the answer taken. The
// back-end then shows it (dialog_backend.h): a native box under SDL, a prompt on a terminal;
// headless, it is written to standard error as "[title]", the text (carriage returns dropped)
// and a blank line, and the scripted answer stands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// Button sets (low four bits of the type).
constexpr uint32_t MB_OK = 0;
constexpr uint32_t MB_OKCANCEL = 1;
constexpr uint32_t MB_ABORTRETRYIGNORE = 2;
constexpr uint32_t MB_YESNOCANCEL = 3;
constexpr uint32_t MB_YESNO = 4;
constexpr uint32_t MB_RETRYCANCEL = 5;
// Icons.
constexpr uint32_t MB_ICONHAND = 0x10;
constexpr uint32_t MB_ICONERROR = MB_ICONHAND;
constexpr uint32_t MB_ICONQUESTION = 0x20;
constexpr uint32_t MB_ICONEXCLAMATION = 0x30;
constexpr uint32_t MB_ICONASTERISK = 0x40;
constexpr uint32_t MB_ICONINFORMATION = MB_ICONASTERISK;
// Default button (otherwise the first of the set).
constexpr uint32_t MB_DEFBUTTON1 = 0x000;
constexpr uint32_t MB_DEFBUTTON2 = 0x100;
constexpr uint32_t MB_DEFBUTTON3 = 0x200;

// Results.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Shows a box and returns the button chosen. owner is an opaque window handle (0 = none).
int messageBox(uintptr_t owner, const char* text, const char* title, uint32_t type);

// ---- test control -------------------------------------------------------------------------
struct MessageBoxRecord {
    std::string title;
    std::string text;
    uint32_t type = 0;
    int result = 0;
};
// While a sink is set, every box is appended to it instead of being written to standard error.
void setMessageBoxCapture(std::vector<MessageBoxRecord>* sink);
// Replaces the answer list (as TORVEX_ANSWERS would give it) and restarts at its first entry.
void setMessageBoxAnswers(const std::string& commaList);

}  // namespace plat
