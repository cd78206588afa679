// The clock: a monotonic high-resolution counter, the millisecond tick count, sleep and yield.
//
// With TORVEX_CLOCK=virtual the clock is virtual: it starts at 0 and advances only when the
// program sleeps (by the sleep's length) or yields (1 ms), so paced work runs instantly and
// deterministically. Tests may also drive the counter and the tick count independently.
#pragma once

#include <cstdint>

namespace plat {

// The performance counter; false when no counter is available (then the value is untouched).
bool queryPerformanceFrequency(uint64_t& frequency);
bool queryPerformanceCounter(uint64_t& count);
// Milliseconds since an arbitrary start, wrapping at 2^32 (the system tick count).
uint32_t tickCount();
// The multimedia timer's milliseconds (same source as the tick count here).
uint32_t multimediaTime();
void sleepMs(uint32_t milliseconds);
void yieldThread();

bool clockIsVirtual();

// ---- test control -------------------------------------------------------------------------
// Switches the virtual clock on or off at run time (TORVEX_CLOCK sets the initial state).
// Turning it on resets counter and tick count to 0.
void setVirtualClock(bool on);
// Virtual clock only: the counter ticks at this frequency (1 MHz).
constexpr uint64_t kVirtualFrequency = 1000000;
// Advances counter and tick count together.
void virtualAdvanceMs(uint32_t milliseconds);
// Drive the two sources apart (drift tests).
void virtualSetCounter(uint64_t count);
void virtualSetTick(uint32_t tick);
// Simulate a machine without a performance counter.
void virtualSetHasCounter(bool hasCounter);

}  // namespace plat
