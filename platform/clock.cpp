// Real and virtual clocks.
#include "platform/clock.h"

#include <sched.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace plat {
namespace {

struct ClockState {
    std::atomic<int> mode{-1};  // -1 not yet decided, 0 real, 1 virtual
    std::atomic<uint64_t> counter{0};  // virtual counter, kVirtualFrequency per second
    std::atomic<uint32_t> tick{0};     // virtual tick count
    std::atomic<bool> hasCounter{true};
};
ClockState clk;

bool isVirtual() {
    int m = clk.mode.load(std::memory_order_relaxed);
    if (m < 0) {
        const char* env = std::getenv("TORVEX_CLOCK");
        m = (env && std::strcmp(env, "virtual") == 0) ? 1 : 0;
        int expected = -1;
        clk.mode.compare_exchange_strong(expected, m);
        m = clk.mode.load();
    }
    return m == 1;
}

uint64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ULL + uint64_t(ts.tv_nsec);
}

}  // namespace

bool queryPerformanceFrequency(uint64_t& frequency) {
    if (isVirtual()) {
        if (!clk.hasCounter.load()) return false;
        frequency = kVirtualFrequency;
        return true;
    }
    frequency = 1000000000ULL;
    return true;
}

bool queryPerformanceCounter(uint64_t& count) {
    if (isVirtual()) {
        if (!clk.hasCounter.load()) return false;
        count = clk.counter.load();
        return true;
    }
    count = monotonicNs();
    return true;
}

uint32_t tickCount() {
    if (isVirtual()) return clk.tick.load();
    return uint32_t(monotonicNs() / 1000000ULL);  // wraps like the system's tick count
}

uint32_t multimediaTime() { return tickCount(); }

void sleepMs(uint32_t milliseconds) {
    if (isVirtual()) {
        virtualAdvanceMs(milliseconds);
        return;
    }
    timespec ts{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void yieldThread() {
    if (isVirtual()) {
        virtualAdvanceMs(1);
        return;
    }
    sched_yield();
}

bool clockIsVirtual() { return isVirtual(); }

void setVirtualClock(bool on) {
    clk.mode.store(on ? 1 : 0);
    if (on) {
        clk.counter.store(0);
        clk.tick.store(0);
        clk.hasCounter.store(true);
    }
}

void virtualAdvanceMs(uint32_t milliseconds) {
    clk.counter.fetch_add(uint64_t(milliseconds) * (kVirtualFrequency / 1000));
    clk.tick.fetch_add(milliseconds);
}

void virtualSetCounter(uint64_t count) { clk.counter.store(count); }
void virtualSetTick(uint32_t tick) { clk.tick.store(tick); }
void virtualSetHasCounter(bool hasCounter) { clk.hasCounter.store(hasCounter); }

}  // namespace plat
