// Capture files of the display and window services (internal to platform/).
#pragma once

#include <cstdint>
#include <string>

#include "platform/display.h"

namespace plat::capture {

// True while a capture directory is set (TORVEX_CAPTURE, read once, or setCaptureDirectory).
bool active();
void logLine(const std::string& line);
// Writes the next numbered frame; false (and nothing left behind) when it cannot be written.
bool writeFrame(const uint8_t* topDown, int32_t width, int32_t height, const PaletteEntry* palette);
// An 8-bit indexed BMP of a top-down picture; removes a partial file on failure.
bool writeIndexedBmp(const std::string& path, const uint8_t* topDown, int32_t width, int32_t height,
                     const PaletteEntry* palette);

}  // namespace plat::capture
