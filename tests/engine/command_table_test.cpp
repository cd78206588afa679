// The whole command table as the program has it (the runtime's commands registered): which
// commands still only report that they are not available.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "player/engine/script.h"
#include "player/runtime/runtime.h"

namespace {

std::vector<std::string> placeholders() {
    std::vector<std::string> out;
    const engine::CommandEntry* table = engine::commandTable();
    for (int i = 0; i < engine::kCommandCount; ++i)
        if (table[i].handler == engine::commandNotAvailable) out.push_back(table[i].name);
    return out;
}

TEST(CommandTable, PlaceholdersLeft) {
    runtime::installRuntime();
    std::vector<std::string> left = placeholders();
    std::cout << "commands still placeholders: " << left.size() << "\n";
    for (const std::string& n : left) std::cout << "  " << n << "\n";
    // Nothing outside the runtime's families may be left; once the runtime is complete the
    // list is empty.
    for (const std::string& n : left)
        EXPECT_TRUE(n.rfind("ANIMATION", 0) == 0 || n.rfind("BITMAP", 0) == 0 || n.rfind("SCREEN", 0) == 0 ||
                    n.rfind("TEXT", 0) == 0 || n.rfind("MOUSE", 0) == 0 || n.rfind("INPUT", 0) == 0 ||
                    n == "SOUND")
            << n;
}

}  // namespace
