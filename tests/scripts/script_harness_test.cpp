// Runs the script cases of this folder through the torvexscript program, headless and with the
// virtual clock, in a fresh directory holding copies of every script of the folder.
//
//   X.ss      the script (run as "torvexscript X", or with the words of X.args)
//   X.stderr  the message boxes it shows, as the headless dialog writes them
//   X.trace   (optional) the debug file trace.txt the script writes
//   X.status  (optional) the exit status, 0 when absent
// Carriage returns are ignored in the comparison so that the expected files stay readable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& p) {
    auto bytes = testsupport::readFile(p.string());
    std::string s;
    for (unsigned char c : bytes)
        if (c != '\r') s += char(c);
    return s;
}

std::string trimEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::vector<std::string> caseNames() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(SCRIPT_CASES_DIR)) {
        fs::path p = e.path();
        if (p.extension() != ".ss") continue;
        fs::path expected = p;
        expected.replace_extension(".stderr");
        if (fs::exists(expected)) names.push_back(p.stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class ScriptCase : public ::testing::TestWithParam<std::string> {};

TEST_P(ScriptCase, MatchesExpectedOutput) {
    const std::string name = GetParam();
    const fs::path src(SCRIPT_CASES_DIR);
    testsupport::TempDir dir;
    for (const auto& e : fs::directory_iterator(src))
        if (e.path().extension() == ".ss") fs::copy_file(e.path(), fs::path(dir.path()) / e.path().filename());

    std::string args = name;
    if (fs::exists(src / (name + ".args"))) args = trimEnd(readText(src / (name + ".args")));
    const std::string command = "cd '" + dir.path() +
                                "' && env -u TORVEX_ANSWERS TORVEX_VIDEO=headless TORVEX_CLOCK=virtual TORVEX_AUDIO=null '" +
                                std::string(TORVEXSCRIPT_PATH) + "' " + args +
                                " >stdout.txt 2>stderr.txt </dev/null; echo $? >status.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);

    const fs::path out(dir.path());
    EXPECT_EQ(readText(out / "stderr.txt"), readText(src / (name + ".stderr")));
    std::string status = "0";
    if (fs::exists(src / (name + ".status"))) status = trimEnd(readText(src / (name + ".status")));
    EXPECT_EQ(trimEnd(readText(out / "status.txt")), status);
    if (fs::exists(src / (name + ".trace"))) {
        ASSERT_TRUE(fs::exists(out / "trace.txt"));
        EXPECT_EQ(readText(out / "trace.txt"), readText(src / (name + ".trace")));
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptCase, ::testing::ValuesIn(caseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
