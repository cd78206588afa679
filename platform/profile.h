// The user profile (an ini file) and the debugger output.
//
// The profile is $TORVEX_PROFILE, or ~/.config/torvex/win.ini. Sections and keys are matched
// without regard to letter case, as the desktop system does.
#pragma once

#include <string>
#include <string_view>

namespace plat {

int profileGetInt(std::string_view section, std::string_view key, int defaultValue);
std::string profileGetString(std::string_view section, std::string_view key, std::string_view defaultValue);
// Forget the cached file, so that a changed TORVEX_PROFILE or file is read again (tests).
void profileReload();

// The debugger output: goes to standard error, as is.
void debugOutput(std::string_view text);

}  // namespace plat
