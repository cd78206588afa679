// The SDL2 audio device behind the mixer (internal to platform/; includes no SDL header).
#pragma once

#include <cstdint>

namespace plat::sdla {

// Fills frames stereo float frames (interleaved) of output; runs on SDL's audio thread.
using MixFn = void (*)(float* out, int frames);

// Opens the default device (stereo float, 44100 asked for, any rate accepted) and starts it;
// false when there is none. rate receives the device's rate.
bool open(MixFn mix, uint32_t* rate);
void close();

}  // namespace plat::sdla
