#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/clock.h"
#include "platform/profile.h"
#include "tests/support/test_support.h"

namespace {

TEST(Profile, SectionsAndKeysIgnoreCase) {
    testsupport::TempDir dir;
    std::string ini = dir.file("win.ini");
    testsupport::writeText(ini, "; comment\n[Torvex]\r\nDebug = 257\r\nname= some text \n[Other]\nDebug=x\nneg=-4\n");
    setenv("TORVEX_PROFILE", ini.c_str(), 1);
    plat::profileReload();
    EXPECT_EQ(plat::profileGetInt("torvex", "DEBUG", 0), 257);
    EXPECT_EQ(plat::profileGetInt("Torvex", "missing", 9), 9);
    EXPECT_EQ(plat::profileGetInt("Other", "Debug", 9), 0);  // not a number
    EXPECT_EQ(plat::profileGetInt("Other", "neg", 0), -4);
    EXPECT_EQ(plat::profileGetString("TORVEX", "Name", ""), "some text");
    EXPECT_EQ(plat::profileGetInt("Nowhere", "Debug", 3), 3);
    unsetenv("TORVEX_PROFILE");
    plat::profileReload();
}

TEST(VirtualClock, AdvancesOnlyOnSleepAndYield) {
    plat::setVirtualClock(true);
    uint64_t f = 0, c0 = 0, c1 = 0;
    ASSERT_TRUE(plat::queryPerformanceFrequency(f));
    EXPECT_EQ(f, plat::kVirtualFrequency);
    plat::queryPerformanceCounter(c0);
    EXPECT_EQ(plat::tickCount(), 0u);
    plat::sleepMs(60000);
    plat::yieldThread();
    plat::queryPerformanceCounter(c1);
    EXPECT_EQ(plat::tickCount(), 60001u);
    EXPECT_EQ(c1 - c0, 60001u * 1000u);
    plat::virtualSetHasCounter(false);
    EXPECT_FALSE(plat::queryPerformanceFrequency(f));
    plat::setVirtualClock(false);
    EXPECT_TRUE(plat::queryPerformanceFrequency(f));
}

}  // namespace
