#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/mem_block.h"
#include "base/timer.h"
#include "platform/clock.h"

namespace {

class TimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat::setVirtualClock(true);
        KroTimerReset();
    }
    void TearDown() override {
        plat::setVirtualClock(false);
        KroTimerReset();
    }
    static void setSources(uint64_t counterMs, uint32_t tick) {
        plat::virtualSetCounter(counterMs * (plat::kVirtualFrequency / 1000));
        plat::virtualSetTick(tick);
    }
};

TEST_F(TimerTest, FirstCallIsZeroThenMillisecondsSinceIt) {
    setSources(5000, 77000);
    EXPECT_EQ(KroTimerRead(), 0u);
    setSources(5250, 77250);
    EXPECT_EQ(KroTimerRead(), 250u);
    plat::sleepMs(40);
    EXPECT_EQ(KroTimerRead(), 290u);
}

TEST_F(TimerTest, NeverRunsBackwards) {
    setSources(1000, 1000);
    KroTimerRead();
    setSources(1500, 1500);
    EXPECT_EQ(KroTimerRead(), 500u);
    setSources(1400, 1400);  // both sources step back
    EXPECT_EQ(KroTimerRead(), 500u);
    setSources(1600, 1600);
    EXPECT_EQ(KroTimerRead(), 600u);
}

TEST_F(TimerTest, LargeDriftFollowsTickCountAndIsKept) {
    setSources(0, 10000);
    KroTimerRead();
    setSources(100, 10100);
    EXPECT_EQ(KroTimerRead(), 100u);
    // The counter jumps 1000 ms while the tick count moves 100: drift -900.
    setSources(1100, 10200);
    EXPECT_EQ(KroTimerRead(), 200u);
    // Later readings keep the correction: counter 1200 - 900 = 300.
    setSources(1200, 10300);
    EXPECT_EQ(KroTimerRead(), 300u);
    // A small drift (<= 200) is not corrected.
    setSources(1350, 10400);
    EXPECT_EQ(KroTimerRead(), 450u);
}

TEST_F(TimerTest, WithoutCounterEveryCallIsTheMultimediaTime) {
    plat::virtualSetHasCounter(false);
    plat::virtualSetTick(1234);
    EXPECT_EQ(KroTimerRead(), 1234u);
    plat::virtualSetTick(1300);
    EXPECT_EQ(KroTimerRead(), 1300u);
}

TEST(MemBlock, NullSizesAndAlignment) {
    EXPECT_EQ(TorvexMemAlloc(0), nullptr);
    EXPECT_EQ(TorvexMemAlloc(0xFFFFFFFFu), nullptr);
    TorvexMemFree(nullptr);
    std::vector<void*> blocks;
    for (uint32_t size : {1u, 3u, 31u, 32u, 33u, 1000u, 65537u}) {
        auto* p = static_cast<uint8_t*>(TorvexMemAlloc(size));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
        EXPECT_GE(p[-1], 33);
        EXPECT_LE(p[-1], 64);
        EXPECT_EQ(p[-2], 0);  // private heap
        for (uint32_t i = 0; i < size; ++i) p[i] = uint8_t(i);  // the whole block is usable
        blocks.push_back(p);
    }
    for (void* p : blocks) TorvexMemFree(p);
}

namespace hook {
int allocations = 0, frees = 0;
bool fail = false;
void* alloc(uint32_t size) {
    if (fail) return reinterpret_cast<void*>(~uintptr_t(0));
    ++allocations;
    return ::operator new(size);
}
void release(void* p) {
    ++frees;
    ::operator delete(p);
}
}  // namespace hook

TEST(MemBlock, InstalledAllocatorIsUsedAndItsFailureReported) {
    TorvexMemSetAllocator(hook::alloc, hook::release);
    auto* p = static_cast<uint8_t*>(TorvexMemAlloc(100));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[-2], 3);
    EXPECT_EQ(hook::allocations, 1);
    TorvexMemFree(p);
    EXPECT_EQ(hook::frees, 1);
    hook::fail = true;
    EXPECT_EQ(TorvexMemAlloc(100), nullptr);
    TorvexMemSetAllocator(nullptr, nullptr);
    hook::fail = false;
}

}  // namespace
