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

    // Exactly the rows that name a runtime owner wait for the runtime.
    for (int i = 0; i < engine::kCommandCount; ++i)
        EXPECT_EQ(table[i].handler == nullptr, table[i].owner != engine::CommandOwner::Engine) << table[i].name;

    runtime::installRuntime();
    std::string missing;
    for (int i = 0; i < engine::kCommandCount; ++i)
        if (!table[i].handler || table[i].handler == engine::commandNotAvailable) missing += std::string(" ") + table[i].name;
    EXPECT_EQ(engine::kCommandCount, 188);
    EXPECT_EQ(missing, "") << "commands without a real handler";
}

TEST(CommandTable, ARuntimeHandlerGoesOnlyToTheRowThatNamesItsOwner) {
    EXPECT_FALSE(engine::registerCommand(engine::CommandOwner::Sound, "SCREENCLEAR", engine::commandNotAvailable));
    EXPECT_FALSE(engine::registerCommand(engine::CommandOwner::Window, "STRFIND", engine::commandNotAvailable));
    EXPECT_FALSE(engine::registerCommand(engine::CommandOwner::Sound, "NOSUCH", engine::commandNotAvailable));
    const engine::CommandEntry& screenClear = engine::commandTable()[engine::findCommand("SCREENCLEAR")];
    EXPECT_NE(screenClear.handler, engine::commandNotAvailable);
}

}  // namespace
