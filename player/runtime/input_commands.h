// Waiting for input (keys, clicks, time-outs) and the INPUT* commands: key names, line input,
// the input box and the message box.
#pragma once

#include <cstdint>
#include <string>

namespace runtime {

// The event name of a key code ("ENTER", "F3", "ALT F4", or the character itself).
std::string keyName(uint8_t code);
// Waits for the next key, click or (with a limit) the time-out; returns the event name.
std::string waitInput(bool limited, uint32_t limitMs);
// A line typed with echo at the text position; Escape (or Enter on an empty line) gives the
// default. At most max characters (max is limited to 255).
std::string readLine(int32_t max, const std::string& defaultText);

// A list line on the presentation window (VARLIST and the other listings), "\n" appended.
void writeWindowLine(const char* text);

void registerInputCommands();

}  // namespace runtime
