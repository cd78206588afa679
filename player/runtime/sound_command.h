// SOUND: a tone of a frequency and length through the wave-output device when the emulated
// system's platform flag is set (always, here), otherwise a silent wait.
#pragma once

#include <cstdint>

namespace runtime {

// Plays a sine tone of frequency Hz for ms milliseconds and returns when its time has passed
// on the clock. Frequencies the system's beep does not take (below 37 or above 32767 Hz), or
// no sound device, give a silent wait of the same length.
void playTone(int32_t frequency, int32_t ms);
// Waits ms milliseconds, servicing sound and pumping window messages.
void silentWait(int32_t ms);

void registerSoundCommand();

}  // namespace runtime
