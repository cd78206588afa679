// The terminal row's progress line (dialog_terminal.cpp), as a function for tests.
#pragma once

#include <cstdint>
#include <string>

namespace plat::term {

// The percentage a status text states as "N of M" (the last such pair; 0..100), -1 when it
// states none or M is 0.
int percentOf(const std::string& status);

// "title: status  42%  1:05  hint", cut to columns - 1 characters (the cursor stays on the line);
// line breaks become spaces. Elapsed time as m:ss, or h:mm:ss from an hour on.
std::string progressLine(const std::string& title, const std::string& status, const std::string& hint,
                         uint32_t elapsedMs, int columns);

}  // namespace plat::term
