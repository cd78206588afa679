// The SDL variant of the message box (see dialog.h for types, buttons and results).
#pragma once

#include <cstdint>

namespace plat {

// Shows a native box through SDL when the video back-end is SDL: the box's buttons in their
// usual order, Enter on the default button (MB_DEFBUTTONn), Escape or closing the box on Cancel
// where the set has one (else on the default button), the icon as error, warning or
// information. Carriage returns are dropped from the text. Returns the button's result (IDOK
// ...), or 0 when no SDL box could be shown (no SDL display, or SDL refused): the caller then
// uses the headless box.
int sdlMessageBox(uintptr_t owner, const char* text, const char* title, uint32_t type);

}  // namespace plat
