// The one sender of status texts for every media family: families say what happened, this
// module turns it into the callback's levels and keeps the warn-once-per-process flags.
#pragma once

#include <string_view>

#include "kroutil/status.h"

namespace kro {

enum StatusLevel : int32_t {
    kStatusProgress = 0,
    kStatusFirstProgress = 1,  // the first progress text of a phase
    kStatusError = 2,
    kStatusDeclined = 3,  // the user declined to overwrite; the text is null
    kStatusWarning = 4,
};

// A progress text; true when the caller asks to cancel. A null callback never cancels.
bool statusProgress(KroStatusProc proc, const char* text, bool firstOfPhase = false);
void statusError(KroStatusProc proc, const char* text);
void statusWarning(KroStatusProc proc, const char* text);
void statusDeclined(KroStatusProc proc);
// A warning shown once per process for its kind (e.g. "sound: damaged chunk"); true when it
// was sent now. Nothing is marked while no callback is there to see it.
bool statusWarnOnce(KroStatusProc proc, std::string_view kind, const char* text);
// Tests: forget which kinds were shown.
void statusResetWarnOnce();

}  // namespace kro
