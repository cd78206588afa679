// The whole command table as the program has it (the runtime's commands registered): every
// command has a real handler.
#include <gtest/gtest.h>

#include <string>

#include "player/engine/script.h"
#include "player/runtime/runtime.h"

namespace {

TEST(CommandTable, EveryCommandHasARealHandler) {
    const engine::CommandEntry* table = engine::commandTable();
    // On its own the engine leaves the runtime's commands without handlers.
    int withoutRuntime = 0;
    for (int i = 0; i < engine::kCommandCount; ++i) withoutRuntime += table[i].handler == nullptr;
    EXPECT_GT(withoutRuntime, 0);

    runtime::installRuntime();
    std::string missing;
    for (int i = 0; i < engine::kCommandCount; ++i)
        if (!table[i].handler || table[i].handler == engine::commandNotAvailable) missing += std::string(" ") + table[i].name;
    EXPECT_EQ(engine::kCommandCount, 188);
    EXPECT_EQ(missing, "") << "commands without a real handler";
}

}  // namespace
