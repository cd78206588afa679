// The terminal's progress line: the percentage a status text states, the elapsed time, cutting.
#include <gtest/gtest.h>

#include "platform/terminal_line.h"

namespace {

TEST(TerminalLine, PercentageComesFromTheLastNOfM) {
    struct Case {
        const char* text;
        int want;
    };
    const Case cases[] = {
        {"Frame 3 of 12", 25},           {"Frame 12 of 12", 100},
        {"Frame 13 of 12", 100},         {"Loading...", -1},
        {"3 of 0", -1},                  {"file 1 of 2, frame 50 of 200", 25},
        {"3of 4", 75},                   {"3 of4", -1},
        {"offset 3 off 4", -1},          {"99999999999999999999999999999 of 3", 100},
        {"1 of 99999999999999999999999999999", 0}, {"x12 of 24", 50},
    };
    for (const Case& c : cases) EXPECT_EQ(plat::term::percentOf(c.text), c.want) << c.text;
}

TEST(TerminalLine, LineHoldsTitleStatusPercentTimeAndHintCutToTheTerminal) {
    struct Case {
        const char* title;
        const char* status;
        const char* hint;
        uint32_t ms;
        int columns;
        const char* want;
    };
    const Case cases[] = {
        {"Convert", "Frame 1 of 4", "", 65000, 80, "Convert: Frame 1 of 4  25%  1:05"},
        {"", "Loading...", "", 999, 80, "Loading...  0:00"},
        {"Job", "done\r\nnow", "(Enter: done)", 3723000, 80, "Job: done  now  1:02:03  (Enter: done)"},
        {"Convert", "Frame 1 of 4", "", 0, 12, "Convert: Fr"},
        {"A", "B", "", 0, 0, "A"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(plat::term::progressLine(c.title, c.status, c.hint, c.ms, c.columns), c.want) << c.want;
}

}  // namespace
