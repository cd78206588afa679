#include "base/timer.h"

#include "platform/clock.h"

namespace {

struct TimerState {
    bool firstCall = true;
    uint64_t frequency = 0;  // 0 = no counter
    uint64_t startCount = 0;
    uint32_t lastValue = 0;
    uint32_t lastTick = 0;
    int32_t correction = 0;
};
TimerState timer;

}  // namespace

void KroTimerReset() { timer = TimerState{}; }

extern "C" KRO_API uint32_t KroTimerRead(void) {
    if (timer.firstCall) {
        timer.firstCall = false;
        uint64_t f = 0;
        if (plat::queryPerformanceFrequency(f) && f != 0 && plat::queryPerformanceCounter(timer.startCount)) {
            timer.frequency = f;
            timer.lastValue = 0;
            timer.lastTick = plat::tickCount();
            return 0;
        }
        timer.frequency = 0;
    }
    uint64_t count = 0;
    if (timer.frequency == 0 || !plat::queryPerformanceCounter(count)) return plat::multimediaTime();
    uint32_t t = plat::tickCount();
    // Wider intermediate so that long runs at a nanosecond counter cannot overflow.
    unsigned __int128 elapsed = (unsigned __int128)(count - timer.startCount) * 1000u / timer.frequency;
    uint32_t c = uint32_t(uint64_t(elapsed)) + uint32_t(timer.correction);  // wraps as a 32-bit clock does
    // Signed difference of the two sources' progress since the last accepted reading.
    int32_t drift = int32_t((t - timer.lastTick) - (c - timer.lastValue));
    if (drift > 200 || drift < -200) {
        timer.correction = int32_t(uint32_t(timer.correction) + uint32_t(drift));
        c = timer.lastValue + (t - timer.lastTick);
    }
    if (uint32_t(c - timer.lastValue) > 0xC0000000u) return timer.lastValue;  // would run backwards
    timer.lastTick = t;
    timer.lastValue = c;
    return c;
}
