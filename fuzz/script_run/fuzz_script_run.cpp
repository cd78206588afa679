// Runs the input as the top-level script. Every script name (CALL, CALLANDGOSUB) opens the same
// text, the debug file goes to /dev/null, the clock is virtual so waits take no time, message
// boxes are collected instead of printed, and a step limit ends endless loops.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dialog.h"
#include "player/engine/program.h"
#include "player/engine/script.h"

namespace {

std::string gInput;

bool inputSource(const char*, std::string& text) {
    text = gInput;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        plat::setVirtualClock(true);
        engine::gScript.source = inputSource;
        engine::gScript.debugFileOverride = "/dev/null";
        engine::gScript.maxSteps = 20000;
        return true;
    }();
    (void)once;
    gInput.assign(reinterpret_cast<const char*>(data), size);
    std::vector<plat::MessageBoxRecord> boxes;
    plat::setMessageBoxCapture(&boxes);
    engine::RunProgram("fuzz a b");
    plat::setMessageBoxCapture(nullptr);
    if (!engine::variableStoreConsistent()) __builtin_trap();
    return 0;
}
