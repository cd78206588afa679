// The filter-graph media reader as graphics and sound input call it. The framework does not
// exist on this platform: every open returns null without a message, so that detection moves
// on to the next reader, and the other calls accept null.
#pragma once

#include <cstdint>

#include "kroutil/media.h"

namespace kro {

struct FilterGraphVideo;
struct FilterGraphSound;

FilterGraphVideo* filterGraphOpenVideo(const char* name);
// The next frame (a QTFile-shaped result), or null.
const QTFile* filterGraphNextFrame(FilterGraphVideo* video);
void filterGraphCloseVideo(FilterGraphVideo* video);

FilterGraphSound* filterGraphOpenSound(const char* name, uint32_t track);
const QTSFile* filterGraphSoundFormat(const FilterGraphSound* sound);
uint32_t filterGraphReadSound(FilterGraphSound* sound, void* buffer, uint32_t byteCount);
void filterGraphRestartSound(FilterGraphSound* sound);
void filterGraphCloseSound(FilterGraphSound* sound);

}  // namespace kro
