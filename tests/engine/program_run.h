// The program run in-process on script files held in memory, on the virtual clock, with its
// message boxes captured: what the engine tests share.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dialog.h"
#include "player/engine/program.h"
#include "player/engine/script.h"
#include "tests/engine/memory_scripts.h"
#include "tests/support/test_support.h"

namespace enginetest {

using scripttest::var;

struct Outcome {
    int status = 0;
    std::string error;  // text of the "Error" box, empty when none
    std::vector<plat::MessageBoxRecord> boxes;
    std::string trace;
};

// Runs the program on a command line with the given script files ("main.ss" is the usual one),
// with a debug trace when tracePath is given.
inline Outcome runProgram(const std::map<std::string, std::string>& files, const std::string& commandLine = "main",
                          const std::string& tracePath = "", uint64_t maxSteps = 10'000'000) {
    scripttest::gScriptFiles = files;
    plat::setVirtualClock(true);
    engine::gScript.source = scripttest::memorySource;
    engine::gScript.debugFileOverride = tracePath;
    engine::gScript.maxSteps = maxSteps;
    Outcome out;
    plat::setMessageBoxCapture(&out.boxes);
    plat::setMessageBoxAnswers("");
    out.status = engine::RunProgram(commandLine);
    plat::setMessageBoxCapture(nullptr);
    engine::gScript.source = nullptr;
    engine::gScript.debugFileOverride.clear();
    for (const auto& b : out.boxes)
        if (b.title == "Error") out.error = b.text;
    if (!tracePath.empty()) {
        auto bytes = testsupport::readFile(tracePath);
        out.trace.assign(bytes.begin(), bytes.end());
    }
    return out;
}

}  // namespace enginetest
