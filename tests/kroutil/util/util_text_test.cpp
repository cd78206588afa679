// The text, switch and number helpers: text in, result, text left.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "kroutil/util.h"

namespace {

struct Buf {
    char b[256];
    explicit Buf(const std::string& s) {
        std::memset(b, 0x55, sizeof b);
        std::memcpy(b, s.c_str(), s.size() + 1);
    }
    std::string str() const { return b; }
};

TEST(UtilText, TrimCountsHighBytesAsBlanks) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"\t x \xA0", "x"}, {"\x80\xFFz", "z"}, {"  ", ""}, {"", ""}, {"a b", "a b"}, {"\x01" "a\x1F", "a"},
    };
    for (const Case& c : cases) {
        Buf t(c.in);
        char* last = Trim(t.b);
        EXPECT_EQ(t.str(), c.out) << c.in;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(last) + 1, reinterpret_cast<uintptr_t>(t.b) + std::strlen(c.out)) << c.in;
        Buf a(c.in);
        TrimAscii(a.b);
        EXPECT_EQ(a.str(), c.out);
    }
    Buf l("  a \xA0");
    TrimL(l.b);
    EXPECT_EQ(l.str(), "a \xA0");
}

TEST(UtilText, WordSplitting) {
    struct Case {
        const char* in;
        const char* word;
        const char* rest;
    } cases[] = {
        {"abc , def", "abc", "def"},
        {"abc,def", "abc,def", ""},
        {"  a  b ", "a", "b "},
        {"a ,, b", "a", ", b"},
        {"\xA0x\xA0y", "x", "y"},
        {"", "", ""},
        {"   ", "", ""},
        {"\"q r\" s", "\"q", "r\" s"},
    };
    for (const Case& c : cases) {
        Buf t(c.in), w("garbage");
        GetAndRemoveFirst(w.b, t.b);
        EXPECT_EQ(w.str(), c.word) << c.in;
        EXPECT_EQ(t.str(), c.rest) << c.in;
    }
}

TEST(UtilText, QuotedWordSplitting) {
    struct Case {
        const char* in;
        const char* word;
        const char* rest;
    } cases[] = {
        {"\"my file\" rest ", "my file", "rest"},
        {" \" a b \",c", "a b", ",c"},  // the comma after a closing quote is not skipped
        {"\"open x ", "\"open x", ""},  // no closing quote: the rest of the line
        {"plain word ", "plain", "word"},
        {"one , two ", "one", "two"},
        {"\"\"", "", ""},
    };
    for (const Case& c : cases) {
        Buf t(c.in), w("garbage");
        GetAndRemoveFirstQuoted(w.b, t.b);
        EXPECT_EQ(w.str(), c.word) << c.in;
        EXPECT_EQ(t.str(), c.rest) << c.in;
    }
}

TEST(UtilText, RemoveQuotesAndFindchar) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{" \"x y\" ", "x y"}, {"\"", "\""}, {"\"\"", ""}, {"\"a", "\"a"}, {"a\"", "a\""}};
    for (const Case& c : cases) {
        Buf t(c.in);
        RemoveQuotes(t.b);
        EXPECT_EQ(t.str(), c.out) << c.in;
    }
    const char* s = "a/b/c";
    EXPECT_EQ(findchar(s, '/'), s + 1);
    EXPECT_EQ(findchar(s, 'z'), nullptr);
}

enum class Kind { Flag, Str, Num, Frac };

TEST(UtilSwitches, FindAndCut) {
    struct Case {
        Kind kind;
        const char* line;
        char letter;
        int32_t result;  // found (Flag, Str, Frac) or the number (Num, default 7)
        const char* value;  // Str: the value (default "dflt"); Frac: "num/den" (default 1/2)
        const char* left;
    } cases[] = {
        {Kind::Flag, "/Q5", 'Q', 0, "", "/Q5"},
        {Kind::Flag, "/Q /R", 'Q', 1, "", " /R"},
        {Kind::Flag, "/q", 'Q', 1, "", ""},
        {Kind::Flag, "x /Q5 /Q", 'Q', 1, "", "x /Q5 "},
        {Kind::Flag, "/Q/R", 'Q', 1, "", "/R"},
        {Kind::Flag, "/Q,x", 'Q', 1, "", ",x"},
        {Kind::Flag, "/Q\xA0x", 'Q', 1, "", "\xA0x"},
        {Kind::Flag, "/O\"x/b\" /B", 'B', 1, "", "/O\"x/b\" "},  // a quoted value hides its slashes
        {Kind::Flag, "\"a /Q\"", 'Q', 0, "", "\"a /Q\""},
        {Kind::Flag, "a \"/Q", 'Q', 1, "", "a \""},  // an unbalanced quote hides nothing
        {Kind::Flag, "/", 'Q', 0, "", "/"},
        {Kind::Str, "/O\"my file.avi\" x", 'O', 1, "my file.avi", " x"},
        {Kind::Str, "/Oout.avi/B", 'O', 1, "out.avi", "/B"},
        {Kind::Str, "/o\"x/b\" /B", 'O', 1, "x/b", " /B"},
        {Kind::Str, "a /O\"open", 'O', 1, "open", "a "},
        {Kind::Str, "/O\"", 'O', 1, "", ""},
        {Kind::Str, "/O /B", 'O', 0, "dflt", "/O /B"},
        {Kind::Str, "/O", 'O', 0, "dflt", "/O"},
        {Kind::Num, "/F-12", 'F', -12, "", ""},
        {Kind::Num, "a /F12x", 'F', 12, "", "a x"},
        {Kind::Num, "/Fx /F3", 'F', 3, "", "/Fx "},
        {Kind::Num, "/F- 1", 'F', 7, "", "/F- 1"},
        {Kind::Num, "/F999999999999999999999999999999 z", 'F', INT_MAX, "", " z"},
        {Kind::Num, "/F-999999999999999999999999999999", 'F', INT_MIN, "", ""},
        {Kind::Num, "\"/F1\" /F2", 'F', 2, "", "\"/F1\" "},
        {Kind::Frac, "/R29.97 a", 'R', 1, "2997/100", " a"},
        {Kind::Frac, "/r30000;1001", 'R', 1, "30000/1001", ""},
        {Kind::Frac, "/R-2.5", 'R', 1, "-5/2", ""},
        {Kind::Frac, "/R.5", 'R', 0, "1/2", "/R.5"},
        {Kind::Frac, "/Rx", 'R', 0, "1/2", "/Rx"},
    };
    for (const Case& c : cases) {
        Buf line(c.line);
        switch (c.kind) {
        case Kind::Flag:
            EXPECT_EQ(GetSwitch(line.b, c.letter), c.result) << c.line;
            break;
        case Kind::Str: {
            Buf value("garbage");
            EXPECT_EQ(GetSwitchStr(line.b, c.letter, value.b, "dflt"), c.result) << c.line;
            EXPECT_EQ(value.str(), c.value) << c.line;
            break;
        }
        case Kind::Num:
            EXPECT_EQ(GetSwitchNum(line.b, c.letter, 7), c.result) << c.line;
            break;
        case Kind::Frac: {
            int32_t n = 0, d = 0;
            EXPECT_EQ(GetSwitchFractional(line.b, c.letter, &n, &d, 1, 2), c.result) << c.line;
            EXPECT_EQ(std::to_string(n) + "/" + std::to_string(d), c.value) << c.line;
            break;
        }
        }
        EXPECT_EQ(line.str(), c.left) << c.line;
    }
    Buf line("/N5");
    EXPECT_EQ(GetSwitchNumPtr(line.b, 'N', 0), 5);
}

TEST(UtilSwitches, RemoveMinusSwitches) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"/A5 /B /-A", " /B "},
        {"/A\"a b\" /a3 /B /-A /A9", "  /B  /A9"},
        {"x /-", "x "},
        {"/-", ""},
        {"\"/-A\" /A1", "\"/-A\" /A1"},
        {"/A1 /-a /B2 /-B", "   "},
        {"/A\"x /-A", ""},  // an unclosed quoted value runs to the cancellation
        {"no switches", "no switches"},
        {"//-/ x", "/ x"},  // the cancelled "//" would overlap its own cancellation
    };
    for (const Case& c : cases) {
        Buf t(c.in);
        RemoveMinusSwitches(t.b);
        EXPECT_EQ(t.str(), c.out) << c.in;
    }
}

constexpr size_t kAll = SIZE_MAX;

TEST(UtilNumbers, Atofr) {
    struct Case {
        const char* in;
        int32_t num, den;
        size_t used;
    } cases[] = {
        {"29.97", 2997, 100, 5},
        {"30000;1001", 30000, 1001, 10},
        {"2.5", 5, 2, 3},
        {"-1.5x", -3, 2, 4},
        {".5", 1, 2, 2},
        {"abc", 0, 1, 0},
        {"-", 0, 1, 1},
        {"5;0", 5, 1, 3},
        {"3;x", 3, 1, 1},
        {"10;4", 5, 2, 4},
        {"123456789012345678901234567890", INT_MAX, 1, kAll},
        {"1.000000000000000000000000000001", 1, 1, kAll},
        {"2147483647;0.0000001", INT_MAX, 1, kAll},
        {"1;2147483647.5", 1, INT_MAX, 14},
    };
    for (const Case& c : cases) {
        int32_t n = 99, d = 99;
        const char* end = atofr(c.in, &n, &d);
        EXPECT_EQ(n, c.num) << c.in;
        EXPECT_EQ(d, c.den) << c.in;
        EXPECT_EQ(size_t(end - c.in), c.used == kAll ? std::strlen(c.in) : c.used) << c.in;
    }
}

TEST(UtilNumbers, GcdAndDecimalTexts) {
    struct Fraction {
        int32_t n, d, rn, rd;
    } fractions[] = {{6, 4, 3, 2}, {0, 5, 0, 5}, {5, 0, 5, 0}, {-6, 4, -3, 2}, {INT_MIN, 2, INT_MIN / 2, 1}, {7, 7, 1, 1}};
    for (const Fraction& f : fractions) {
        int32_t n = f.n, d = f.d;
        GCDNums(&n, &d);
        EXPECT_EQ(n, f.rn) << f.n << "/" << f.d;
        EXPECT_EQ(d, f.rd) << f.n << "/" << f.d;
    }
    struct Signed {
        uint32_t value;
        const char* text;
    } signedTexts[] = {{0, "0"}, {42, "42"}, {0x80000000u, "-2147483648"}, {0xFFFFFFFFu, "-1"}};
    for (const Signed& c : signedTexts) {
        char buf[16];
        char* end = U32toa(buf, c.value);
        EXPECT_STREQ(buf, c.text);
        EXPECT_EQ(end, buf + std::strlen(c.text));
    }
    EXPECT_EQ(atoU32(" 42x"), 42u);
    EXPECT_EQ(atoU32("-5"), uint32_t(-5));
    EXPECT_EQ(atoU32("99999999999999999999"), uint32_t(INT_MAX));
    struct Comma {
        uint64_t value;
        const char* text;
    } commas[] = {{0, "0"},           {999, "999"},         {1000, "1,000"},
                  {1234567, "1,234,567"}, {100000, "100,000"}, {UINT64_MAX, "18,446,744,073,709,551,615"}};
    for (const Comma& c : commas) {
        char buf[40];
        EXPECT_EQ(CommaNum(buf, c.value), buf);
        EXPECT_STREQ(buf, c.text);
    }
}

TEST(UtilNumbers, ElapsedTimeAndFrameRate) {
    struct Elapsed {
        uint32_t ms;
        const char* text;
    } times[] = {
        {0, "0 milliseconds"},       {1, "1 millisecond"},          {999, "999 milliseconds"},
        {1000, "1 second"},          {59999, "59 seconds"},         {60000, "1 minute 0 seconds"},
        {61000, "1 minute 1 second"}, {3599999, "59 minutes 59 seconds"}, {3600000, "1 hour 0 minutes"},
        {3660000, "1 hour 1 minute"}, {7200000, "2 hours 0 minutes"}, {UINT32_MAX, "1193 hours 2 minutes"},
    };
    for (const Elapsed& c : times) {
        char buf[64];
        EXPECT_EQ(GetElapsedTime(buf, c.ms), buf);
        EXPECT_STREQ(buf, c.text);
    }
    struct Rate {
        int32_t rate, period;
    } rates[] = {{0, 0},      {30, 3333},      {-40, 4000},     {-2000, 2000}, {100000, 5}, {1, 100000},
                 {-1, 100},   {-1500, 150000}, {-1501, 1501},   {-3, 300},     {INT_MAX, 5}, {INT_MIN, INT_MAX}};
    for (const Rate& c : rates) EXPECT_EQ(MakeFrameRate(c.rate), c.period) << c.rate;
}

}  // namespace
