// The example menu (examples/menu) run by torvexscript headless with its scripted input: the
// events it sees, in order, and the two questions before leaving.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

std::string readAll(const std::string& path) {
    auto bytes = testsupport::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(ExampleMenu, ReactsToClicksKeysEscapeAndClosing) {
    testsupport::TempDir dir;
    std::filesystem::copy_file(std::string(MENU_DIR) + "/menu.ss", dir.file("menu.ss"));
    std::ofstream(dir.file("run.ss")) << "DEBUGFILE 'trace.txt'\nCALL 'menu'\n";
    const std::string command = "cd '" + dir.path() + "' && env -u TORVEX_CAPTURE TORVEX_INPUT='" MENU_DIR
                                "/menu.input' TORVEX_ANSWERS=no,yes TORVEX_VIDEO=headless TORVEX_CLOCK=virtual "
                                "TORVEX_AUDIO=null '" TORVEXSCRIPT_PATH "' run >out.txt 2>err.txt </dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << readAll(dir.file("err.txt"));
    const std::string trace = readAll(dir.file("trace.txt"));
    std::vector<std::string> seen;
    for (size_t at = trace.find("KEY=\""); at != std::string::npos; at = trace.find("KEY=\"", at + 1))
        seen.push_back(trace.substr(at + 5, trace.find('"', at + 5) - at - 5));
    // A key names its entry; the click beside the entries is an ordinary left click.
    const std::vector<std::string> expected = {"ITEM 2", "3", "ITEM 3", "LEFT MOUSE", "ESCAPE", "ALT F4"};
    EXPECT_EQ(seen, expected);
    const std::string boxes = readAll(dir.file("err.txt"));
    size_t questions = 0;
    for (size_t at = boxes.find("Leave the menu?"); at != std::string::npos; at = boxes.find("Leave the menu?", at + 1))
        ++questions;
    EXPECT_EQ(questions, 2u);
}

}  // namespace
