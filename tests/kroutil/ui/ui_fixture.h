// Shared set-up of the status window and dialog tests: headless windows on the virtual clock,
// boxes recorded and answered from a list, an optional capture log.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/display.h"
#include "platform/input.h"
#include "platform/window.h"
#include "tests/support/test_support.h"

class UiTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat::setVirtualClock(true);
        plat::setVideoBackendForTest(plat::VideoBackend::Headless);
        plat::resetWindowSystem();
        plat::setInputScript({});
        plat::setMessageBoxAnswers("");
        plat::setMessageBoxCapture(&boxes);
    }
    void TearDown() override {
        plat::setMessageBoxCapture(nullptr);
        plat::setCaptureDirectory("");
        plat::resetWindowSystem();
    }
    void capture() { ASSERT_TRUE(plat::setCaptureDirectory(dir.file("cap"))); }
    std::string log() {
        auto bytes = testsupport::readFile(dir.file("cap/events.log"));
        return std::string(bytes.begin(), bytes.end());
    }
    std::vector<plat::MessageBoxRecord> boxes;
    testsupport::TempDir dir;
};
