// Runs the script cases of this folder through the torvexscript program, headless and with the
// virtual clock, in a fresh directory holding copies of every script of the folder.
//
//   X.ss      the script (run as "torvexscript X", or with the words of X.args)
//   X.stderr  the message boxes it shows, as the headless dialog writes them
//   X.trace   (optional) the debug file trace.txt the script writes
//   X.status  (optional) the exit status, 0 when absent
//   X.events  (optional) the capture log (TORVEX_CAPTURE): window events, palette changes and
//             the frames written (message boxes are left out: X.stderr has them)
//   X.frames  (optional) captured frames: a line with the frame's file name, then its rows top
//             first, two hex digits a pixel; blocks are separated by blank lines. Only the frames
//             listed are compared.
//   X.input   (optional) timed input events (TORVEX_INPUT), times counted from the window
//   X.answers (optional) the answers to its message boxes (TORVEX_ANSWERS, one line)
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

// The pixels of an 8-bit indexed BMP as the capture writes it, as hex rows top first; "" when
// the file is not such a picture.
std::string bmpRows(const fs::path& p) {
    auto b = testsupport::readFile(p.string());
    auto u32 = [&](size_t at) {
        return at + 4 <= b.size() ? uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
                                        uint32_t(b[at + 3]) << 24
                                  : 0u;
    };
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M' || (b[28] | b[29] << 8) != 8) return "";
    uint32_t offset = u32(10), width = u32(18), height = u32(22);
    uint32_t rowSize = (width + 3) & ~3u;
    if (width == 0 || height == 0 || width > 4096 || height > 4096 || offset + uint64_t(rowSize) * height > b.size())
        return "";
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (uint32_t y = 0; y < height; ++y) {
        const unsigned char* row = b.data() + offset + size_t(height - 1 - y) * rowSize;  // bottom row first
        for (uint32_t x = 0; x < width; ++x) {
            out += hex[row[x] >> 4];
            out += hex[row[x] & 15];
        }
        out += '\n';
    }
    return out;
}

// The frames an X.frames file lists, each as "name\nrows", and the same read from dir.
void compareFrames(const fs::path& expectedFile, const fs::path& dir) {
    std::string text = readText(expectedFile);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\n\n", at);
        std::string block = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 2;
        while (!block.empty() && block[0] == '\n') block.erase(0, 1);
        if (block.empty()) continue;
        size_t nl = block.find('\n');
        std::string name = block.substr(0, nl);
        std::string rows = nl == std::string::npos ? "" : trimEnd(block.substr(nl + 1)) + "\n";
        EXPECT_EQ(bmpRows(dir / name), rows) << name;
    }
}

std::string withoutMessageBoxes(const std::string& log) {
    std::string out;
    size_t at = 0;
    while (at < log.size()) {
        size_t nl = log.find('\n', at);
        std::string line = log.substr(at, nl == std::string::npos ? std::string::npos : nl - at + 1);
        at = nl == std::string::npos ? log.size() : nl + 1;
        if (line.find(" messagebox ") == std::string::npos && line.rfind("messagebox ", 0) != 0) out += line;
    }
    return out;
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
    const bool capture = fs::exists(src / (name + ".events")) || fs::exists(src / (name + ".frames"));
    const fs::path input = src / (name + ".input"), answers = src / (name + ".answers");
    // env takes its -u options before the assignments.
    std::string unsets, sets;
    auto variable = [&](bool on, const std::string& assignment, const char* name) {
        if (on) sets += assignment + " ";
        else unsets += std::string("-u ") + name + " ";
    };
    variable(fs::exists(input), "TORVEX_INPUT='" + input.string() + "'", "TORVEX_INPUT");
    variable(fs::exists(answers), "TORVEX_ANSWERS='" + (fs::exists(answers) ? trimEnd(readText(answers)) : "") + "'",
             "TORVEX_ANSWERS");
    variable(capture, "TORVEX_CAPTURE=capture", "TORVEX_CAPTURE");
    const std::string command = "cd '" + dir.path() + "' && env " + unsets + sets +
                                "TORVEX_VIDEO=headless TORVEX_CLOCK=virtual TORVEX_AUDIO=null '" +
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
    if (fs::exists(src / (name + ".events"))) {
        EXPECT_EQ(withoutMessageBoxes(readText(out / "capture" / "events.log")), readText(src / (name + ".events")));
    }
    if (fs::exists(src / (name + ".frames"))) compareFrames(src / (name + ".frames"), out / "capture");
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptCase, ::testing::ValuesIn(caseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
