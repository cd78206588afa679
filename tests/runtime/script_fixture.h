// The presentation runtime in-process, headless, on the virtual clock: scripts held in memory
// run through the interpreter without the program's shutdown, so the window they open stays for
// the test to look at. Error boxes and other message boxes are captured.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/display.h"
#include "platform/input.h"
#include "platform/window.h"
#include "player/engine/program.h"
#include "player/engine/script.h"
#include "player/runtime/display_surface.h"
#include "player/runtime/runtime.h"
#include "player/runtime/screen_window.h"
#include "tests/engine/memory_scripts.h"

namespace runtimetest {

using scripttest::var;

class ScriptFixture : public ::testing::Test {
protected:
    void SetUp() override {
        static bool installed = false;
        if (!installed) {
            plat::setVideoBackendForTest(plat::VideoBackend::Headless);
            runtime::installRuntime();
            installed = true;
        }
        plat::resetWindowSystem();
        plat::setVirtualClock(true);
        runtime::resetPresentationForTest();
        engine::resetEngine();
        plat::setMessageBoxCapture(&boxes);
        plat::setMessageBoxAnswers("");
    }
    void TearDown() override {
        runtime::resetPresentationForTest();
        plat::setInputScript({});
        plat::setMessageBoxCapture(nullptr);
        plat::setCaptureDirectory("");
        engine::gScript.source = nullptr;
    }

    // Runs main.ss (with the other files given) and returns the text of the error box, "" when
    // there was none.
    std::string run(const std::string& script, std::map<std::string, std::string> files = {}) {
        files["main.ss"] = script;
        scripttest::gScriptFiles = files;
        engine::resetEngine();
        engine::gScript.source = scripttest::memorySource;
        engine::gScript.maxSteps = 1'000'000;
        boxes.clear();
        try {
            EXPECT_TRUE(engine::RunScript("main", nullptr));
        } catch (const engine::ScriptAbort&) {
        }
        for (const auto& b : boxes)
            if (b.title == "Error") return b.text;
        return "";
    }

    uint8_t pixel(int32_t x, int32_t y) const { return *runtime::pixelAddress(runtime::gScreen.surface, x, y); }

    std::vector<plat::MessageBoxRecord> boxes;
};

}  // namespace runtimetest
