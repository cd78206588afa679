// The script engine run in-process on scripts held in memory: variables after the run, the
// error box, the trace and the exit status, for tables of small scripts grouped by family.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dialog.h"
#include "player/engine/program.h"
#include "player/engine/script.h"
#include "platform/fs.h"
#include "platform/window.h"
#include "tests/engine/program_run.h"
#include "tests/support/test_support.h"

namespace {

using enginetest::Outcome;
using enginetest::var;

Outcome run(const std::map<std::string, std::string>& files, const std::string& commandLine = "main",
            const std::string& tracePath = "") {
    return enginetest::runProgram(files, commandLine, tracePath);
}

// "A=1 B= C=x" : B must be unset. Values without blanks only.
void expectVars(const std::string& spec, const std::string& label) {
    std::istringstream in(spec);
    std::string item;
    while (in >> item) {
        size_t eq = item.find('=');
        ASSERT_NE(eq, std::string::npos) << item;
        EXPECT_EQ(var(item.substr(0, eq).c_str()), item.substr(eq + 1)) << label << ": " << item;
    }
}

struct Case {
    const char* name;
    const char* script;  // main.ss
    const char* vars;    // expected values after the run
    const char* error;   // expected start of the error box text, "" = none
};

void runTable(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        Outcome o = run({{"main.ss", c.script}});
        if (*c.error) {
            EXPECT_EQ(o.status, 1) << c.name;
            EXPECT_EQ(o.error.substr(0, std::strlen(c.error)), c.error) << c.name << "\nbox: " << o.error;
        } else {
            EXPECT_EQ(o.status, 0) << c.name << "\nbox: " << o.error;
            EXPECT_EQ(o.error, "") << c.name;
        }
        expectVars(c.vars, c.name);
        EXPECT_TRUE(engine::variableStoreConsistent()) << c.name;
    }
}

TEST(EngineTable, ComputeArithmetic) {
    runTable({
        {"self reference", "VARSET N 5\nCOMPUTE N N + 1\n", "N=6", ""},
        {"operators",
         "COMPUTE A = 10 -3\nCOMPUTE B = 7 / 0\nCOMPUTE C = 7 % 0\nCOMPUTE D = 7 / -2\n"
         "COMPUTE E = 7 % -2\nCOMPUTE F = -7 % 2\nCOMPUTE J = 6 & 3\nCOMPUTE K = 6 | 3\n"
         "COMPUTE L = 6 ^ 3\nCOMPUTE M = 3 * -4\nCOMPUTE P = 5 - 9\n",
         "A=7 B=0 C=0 D=-3 E=1 F=-1 J=2 K=7 L=5 M=-12 P=-4", ""},
        {"wrapping",
         "COMPUTE G = 2147483647 + 1\nCOMPUTE H = -2147483648 / -1\nCOMPUTE I = -2147483648 % -1\n"
         "COMPUTE M = 65536 * 65536\nCOMPUTE W = 4294967301 + 0\n",
         "G=-2147483648 H=-2147483648 I=0 M=0 W=5", ""},
        {"abs and sqrt",
         "COMPUTEABS A -5\nCOMPUTEABS B -2147483648\nCOMPUTESQRT C 16\nCOMPUTESQRT D 2\n"
         "COMPUTESQRT E 1073741824\nCOMPUTESQRT F -4\nCOMPUTESQRT G 0\nCOMPUTESQRT H 1073676289\n",
         "A=5 B=-2147483648 C=4 D=1 E=32768 F=32768 G=0 H=32767", ""},
        {"first operand unset", "COMPUTE X ABC + 1\n", "X=", "  Error in compute command:\r\n    COMPUTE X ABC + 1\r\n"},
        {"operand after = unset", "COMPUTE X = ABC + 1\n", "X=", "  Needed a number in command:\r\n    COMPUTE X = ABC + 1\r\n"},
        {"unknown operator", "COMPUTE X = 1 x 2\n", "", "  Unknown operator in command:\r\n    COMPUTE X = 1 x 2\r\n"},
        {"empty word as operator", "COMPUTE X = 1 $ 2\n", "", "  Needed a number in command:\r\n"},
        {"missing operator", "COMPUTE X = 1\n", "", "  Needed a parameter in command:\r\n"},
        {"lone minus needs b", "COMPUTE X = 5 -\n", "", "  Needed a number in command:\r\n"},
        {"target not a name", "COMPUTE 'X' = 1 + 1\n", "", "  Needed a variable in command:\r\n"},
    });
}

TEST(EngineTable, VariablesAndSubstitution) {
    runTable({
        {"set, replace, remove",
         "VARSET X 5\nVARSET X = 'longer_value'\nVARSET Y 1\nVARSET Y \"\"\nVARSET E '=' '='\n",
         "X=longer_value Y= E==", ""},
        {"names ignore case", "VARSET abc 3\nCOMPUTE ABC = Abc + 1\n", "ABC=4", ""},
        {"quoted references",
         "VARSET A 1\nVARSET B \"v%A%v_%Q%x_%A\"\nVARSET C 'p%a%q'\nVARSET D '%%A%%'\nVARSET S '%A'\n",
         "B=v1v_x_%A D= C=p1q S=%A", ""},
        {"missing value", "VARSET X\n", "", "  Needed a parameter in command:\r\n    VARSET X\r\n"},
        {"unquoted path", "VARSET P C:\\dir\n", "P=", "  Bad script command:\r\n    VARSET P C:\\dir\r\n"},
        {"free list", "VARSET A 1\nVARSET B 2\nVARSET C 3\nVARFREE A, B # gone\n", "A= B= C=3", ""},
        {"free needs a name", "VARFREE\n", "", "  Needed a variable in command:\r\n"},
        {"push and pop",
         "VARSET A 1\nVARPUSH A B\nVARSET A 9\nVARSET B 8\nVARPOP\n", "A=1 B=", ""},
        {"nested frames",
         "VARSET A 1\nVARPUSH A\nVARSET A 2\nVARPUSH A\nVARSET A 3\nVARPOP\nVARPOP\nVARPOP\n",
         "A=1", ""},
        {"pop of an empty stack", "VARSET A 1\nVARPOP\n", "A=1", ""},
        {"marker bytes in a value", "VARSET X 'a\xff\xfe\x01b'\nVARSET Y 2\nVARSET Z \"%X%\"\n", "Y=2", ""},
    });
    // The middle value of the nested frames.
    Outcome o = run({{"main.ss", "VARSET A 1\nVARPUSH A\nVARSET A 2\nVARPUSH A\nVARSET A 3\nVARPOP\nVARSET M \"%A%\"\n"}});
    EXPECT_EQ(var("M"), "2");
}

TEST(EngineVariables, SelfReferenceEnds) {
    // The command line is the only way to get a raw %NAME% into a value.
    Outcome o = run({{"main.ss", "SYSTEMCOMMANDLINE X\nVARSET Y \"%X%\"\nVARSET L \"%X%\"\nSTRLENGTH N \"%Y%\"\n"}},
                    "main a%X%b");
    EXPECT_EQ(o.status, 0) << o.error;
    EXPECT_EQ(var("X"), "a%X%b");
    std::string y = var("Y");
    EXPECT_GT(y.size(), 200u);
    EXPECT_LE(y.size(), 767u);
    EXPECT_EQ(y.substr(0, 3), "aaa");

    o = run({{"main.ss", "SYSTEMCOMMANDLINE X\nVARSET Y \"%X%\"\n"}}, "main %X%");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(var("Y"), "%X%");
}

TEST(EngineVariables, StoreAndPushStackLimits) {
    // 60 values of 700 bytes do not fit in 32,768 bytes: the later ones are silently not made.
    Outcome o = run({{"main.ss",
                      "STRREPEAT V 'x' 700\nVARSET I 0\n:L\nCOMPUTE I = I + 1\n"
                      "INTERPRET \"VARSET N%I% '%V%'\"\nIF I < 60 GOTO L\n"
                      "VARSET V 'short'\nVARSET N1 'y'\n"}});
    EXPECT_EQ(o.status, 0) << o.error;
    EXPECT_TRUE(engine::variableStoreConsistent());
    EXPECT_LE(engine::variableStoreUsed(), size_t(engine::kVarStoreSize));
    EXPECT_EQ(var("N1"), "y");
    EXPECT_EQ(var("N2").size(), 700u);
    EXPECT_EQ(var("N60"), "");
    EXPECT_EQ(var("V"), "short");

    // Frames that no longer fit are refused with an error, never half pushed.
    o = run({{"main.ss", "STRREPEAT V 'x' 700\n:L\nVARPUSH V V V\nGOTO L\n"}});
    EXPECT_EQ(o.status, 1);
    const std::string full = "  Variable push stack full in command:\r\n";
    EXPECT_EQ(o.error.substr(0, full.size()), full);
    EXPECT_LE(engine::pushStackUsed(), size_t(engine::kPushStackSize));
}

TEST(EngineTable, LinesLabelsAndChaining) {
    runTable({
        {"semicolon chains", "VARSET X 1 ; VARSET Y 2 ;VARSET Z 3\n", "X=1 Y=2 Z=3", ""},
        {"comment after parameters", "VARSET X 1 # note\n# a comment line\n\n   # indented\nVARSET Y 2\n", "X=1 Y=2", ""},
        {"leftover parameter", "VARSET X 1 2\n", "X=1", "  Bad script command:\r\n    VARSET X 1 2\r\n  In script file: main.ss  At line number: 1.\r\n"},
        {"comma after the name", "VARSET , X 4\nvarset y 5\n", "X=4 Y=5", ""},
        {"comma glued to the name", "VARSET, Z 1\n", "Z=", "  Bad script command:\r\n    VARSET, Z 1\r\n"},
        {"unknown command before anything runs", "VARSET X 1\n\nBOGUS thing\n", "X=",
         "  Bad script command:\r\n    BOGUS thing\r\n  In script file: main.ss  At line number: 3.\r\n"},
        {"blank after the colon", ": LBL\nGOTO LBL\n", "", "  Label not found:\r\n    LBL\r\n"},
        {"later label wins", "GOTO L\n:L\nVARSET A 1\nEND\n:l # again\nVARSET B 1\n", "A= B=1", ""},
        {"long label names", ":ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\nIF X = 1 END\nVARSET X 1\nGOTO abcdefghijklmnopqrstuvwxyz0123456789\n", "X=1", ""},
        {"quoted label with reference", "VARSET T 'DONE'\nGOTO \"%T%\"\nVARSET A 1\n:DONE\n", "A=", ""},
        {"empty label", "GOTO ''\n", "", "  Needed a non-empty parameter in command:\r\n"},
        {"not available yet", "SCREENGRAPHICS 640 480\n", "",
         "  Command not available yet:\r\n    SCREENGRAPHICS 640 480\r\n  In script file: main.ss  At line number: 1.\r\n"},
        {"empty script", "", "", ""},
        {"binary garbage", "\x01\x02\xff\xfeZ\x80\x13q\x00\x7f\n\x00\x00", "", "  Bad script command:\r\n    Z"},
    });
    std::string labels;
    for (int i = 0; i < 513; ++i) labels += ":L" + std::to_string(i) + "\n";
    Outcome o = run({{"main.ss", labels}});
    EXPECT_EQ(o.error, "  Too many labels.  In script file: main.ss  At line number: 513.\r\n");
    labels.resize(labels.size() - 6);  // 512 labels are fine
    EXPECT_EQ(run({{"main.ss", labels}}).status, 0);
}

TEST(EngineTable, Conditions) {
    runTable({
        {"numeric and text",
         "IF 1 = 01 VARSET A 1\nIF 'abc' = 'ABC' VARSET B 1\nIF 'abc' @= 'ABC' VARSET C 1\n"
         "IF 10 < 9 VARSET D 1\nIF '10' < 'x9' VARSET E 1\nIF 'b' > 'A' VARSET F 1\nIF 'B' @< 'a' VARSET G 1\n"
         "IF 1 <>= 1 VARSET H 1\nIF -5 <= -5 VARSET I 1\nIF 3 <> 4 VARSET J 1\nIF ' 7' >= 7 VARSET K 1\n",
         "A=1 B=1 C= D= E=1 F=1 G=1 H= I=1 J=1 K=1", ""},
        {"true runs the whole rest", "VARSET X 5\nIF X < 10 VARSET Y 1 ; VARSET Z 2\n", "Y=1 Z=2", ""},
        {"false drops the whole rest", "VARSET X 50\nIF X < 10 VARSET Y 1 ; VARSET Z 2\n", "Y= Z=", ""},
        {"true with nothing after", "IF 1 = 1\nVARSET A 1\n", "A=1", ""},
        {"ifset", "IFSET 1 = 1 R 'yes' 'no'\nIFSET a @= A S yes no\n", "R=yes S=", ""},
        {"ifset needs both texts", "IFSET 1 = 1 R 'yes'\n", "", "  Needed a parameter in command:\r\n"},
        {"missing operator", "IF 1\n", "", "  Needed a non-empty parameter in command:\r\n"},
        {"missing b", "IF 1 =\n", "", "  Needed a parameter in command:\r\n"},
    });
}

TEST(EngineTable, JumpsAndSubroutines) {
    runTable({
        {"loop", "VARSET I 0\n:L\nCOMPUTE I = I + 1\nIF I < 100 GOTO L\n", "I=100", ""},
        {"gosub and return", "GOSUB S\nVARSET B 1\nEND\n:S\nVARSET A 1\nGOSUB T\nRETURN\n:T\nVARSET C 1\nRETURN\n",
         "A=1 B=1 C=1", ""},
        {"65th stack entry", "VARSET D 0\n:REC\nCOMPUTE D = D + 1\nGOSUB REC\n", "D=64",
         "  Too many GOSUBs.  In script file: main.ss  At line number: 4.\r\n"},
        {"return ends the top level", "RETURN\nVARSET X 1\n", "X=", ""},
        {"return twice on one line stays in the file", "GOSUB S\nVARSET B 1\nEND\n:S\nRETURN ; RETURN\n", "B=", ""},
        {"interpret", "INTERPRET 'VARSET X 5'\nVARSET C 'VARSET Y 7'\nINTERPRET C\nINTERPRET \"VARSET Z %X%\"\n",
         "X=5 Y=7 Z=5", ""},
        {"interpret unknown", "INTERPRET 'NOPE 1'\n", "", "  Bad script command:\r\n    NOPE 1\r\n"},
        {"end ignores the rest", "END whatever is here\nVARSET X 1\n", "X=", ""},
        {"delays", "SYSTEMTIMER A\nDELAY 60000\nSYSTEMTIMER B\nCOMPUTE D = B - A\nDELAYUNTIL 5\nDELAY 0\nDELAY -1\nVARSET OK 1\n",
         "D=60000 OK=1", ""},
        {"delay needs a number", "DELAY 'soon'\n", "", "  Needed a number in command:\r\n"},
        {"missing label", "GOSUB NOWHERE\n", "", "  Label not found:\r\n    NOWHERE\r\n"},
    });
}

TEST(EngineScripts, NestedFiles) {
    const std::string sub = "VARSET IN 1\nEXIT\nVARSET NO 1\n";
    Outcome o = run({{"main.ss", "CALL 'sub' ; VARSET SAME 1\nVARSET AFTER 1\n"}, {"sub.ss", sub}});
    EXPECT_EQ(o.status, 0) << o.error;
    expectVars("IN=1 NO= AFTER=1 SAME=1", "exit");

    o = run({{"main.ss", "CALL 'sub'\nVARSET AFTER 1\n"}, {"sub.ss", "VARSET IN 1\nEND\n"}});
    expectVars("IN=1 AFTER=", "end stops the caller");
    o = run({{"main.ss", "CALL 'sub'\nVARSET AFTER 1\n"}, {"sub.ss", "GOSUB X\nVARSET IN 1\nRETURN\n:X\nRETURN\n"}});
    expectVars("IN=1 AFTER=1", "return");

    // A second RETURN on the line of the one that ended the called file must not take the
    // caller's stack entries.
    o = run({{"main.ss", "CALL 'sub'\nVARSET AFTER 1\n"}, {"sub.ss", "RETURN ; RETURN\nVARSET NO 1\n"}});
    EXPECT_EQ(o.status, 0) << o.error;
    expectVars("AFTER=1 NO=", "return twice in a called file");

    o = run({{"main.ss", ":MINE\nSTRISLABEL M 'mine'\nCALL 'sub'\nGOTO THEIRS\n"},
             {"sub.ss", ":THEIRS\nSTRISLABEL S 'MINE'\nSTRISLABEL T 'THEIRS'\nSTRISLABEL U THEIRS\n"}});
    expectVars("M=1 S=0 T=1 U=0", "labels per file");
    EXPECT_EQ(o.error, "  Label not found:\r\n    THEIRS\r\n  In script file: main.ss  At line number: 4.\r\n");

    o = run({{"main.ss", "\nCALL 'sub'\n"}, {"sub.ss", "VARSET A 1\nGOTO MINE\n"}});
    EXPECT_EQ(o.error, "  Label not found:\r\n    MINE\r\n  In script file: sub.ss  At line number: 2.\r\n");

    o = run({{"main.ss", "CALLANDGOSUB 'sub' ENTRY\nVARSET AFTER 1\n"},
             {"sub.ss", "VARSET SKIPPED 1\n:ENTRY\nVARSET IN 1\n"}});
    expectVars("SKIPPED= IN=1 AFTER=1", "callandgosub");

    // Labels of files running at once share the 512 entries; those of a finished file are free.
    std::string labels300;
    for (int i = 0; i < 300; ++i) labels300 += ":L" + std::to_string(i) + "\n";
    o = run({{"main.ss", labels300 + "CALL 'sub'\n"}, {"sub.ss", labels300}});
    EXPECT_EQ(o.error, "  Too many labels.  In script file: sub.ss  At line number: 213.\r\n");
    o = run({{"main.ss", "CALL 'sub'\nCALL 'sub'\nCALL 'sub'\n"}, {"sub.ss", labels300}});
    EXPECT_EQ(o.status, 0) << o.error;

    o = run({{"main.ss", "CALL 'nope'\n"}});
    EXPECT_EQ(o.error, "  Error opening script in command:\r\n    CALL 'nope'\r\n  In script file: main.ss  At line number: 1.\r\n");

    // Every running file holds one stack entry: a file calling itself ends at the 65th.
    o = run({{"main.ss", "IF D = '' VARSET D 0\nCOMPUTE D = D + 1\nCALL 'main'\n"}});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.error, "  Too many GOSUBs.  In script file: main.ss  At line number: 3.\r\n");
    EXPECT_EQ(var("D"), "64");
}

TEST(EngineTable, Strings) {
    runTable({
        {"find", "STRFIND A 1 'B' 'abc'\nSTRFIND B 0 'B' 'abc'\nSTRFIND C 256 'B' 'abc'\nSTRFIND D 0 '' 'abc'\nSTRFIND E 0 'c' 'abc'\n",
         "A=2 B=0 C=0 D=1 E=3", ""},
        {"first", "VARSET L 'a,b,c'\nSTRFIRST F1 L ','\nSTRFIRST F2 L ','\nSTRFIRST F3 L ','\n",
         "F1=a F2=b F3=c L=", ""},
        {"first into the same variable", "VARSET L 'x;y'\nSTRFIRST L L ';'\n", "L=x", ""},
        {"piece",
         "STRPIECE A 2 3 'abcdef'\nSTRPIECE B 0 2 'abcdef'\nSTRPIECE C 1 2 'abcdef'\nSTRPIECE D 7 1 'abcdef'\n"
         "STRPIECE E 3 100 'abcdef'\nSTRPIECE F -1 2 'abcdef'\nSTRPIECE G 2 -1 'abcdef'\n",
         "A=bcd B=ab C=ab D= E=cdef F= G=bcdef", ""},
        {"padding", "STRLPADZERO A 5 42\nSTRLPADZERO B 5 123456\nSTRLPAD C 4 'x'\nSTRRPAD D 3 'ab'\n",
         "A=00042 B=123456", ""},
        {"repeat", "STRREPEAT A 'x5' 3\nSTRREPEAT B 65 2\nSTRREPEAT C 'z' 0\nSTRREPEAT D 256 4\n", "A=xxx B=AA C= D=", ""},
        {"case, trim, length, numeric",
         "STRUCASE A 'mIx9'\nSTRLCASE B 'MiX9'\nSTRTRIM C '  t  '\nSTRLENGTH D 'four'\nSTRISNUMERIC E '-12'\n"
         "STRISNUMERIC F '1a'\nSTRISNUMERIC G '-'\nSTRISNUMERIC H ''\n",
         "A=MIX9 B=mix9 C=t D=4 E=1 F=0 G=1 H=0", ""},
        {"backslash", "STRADDBACKSLASH A 'C:'\nSTRADDBACKSLASH B ' C:\\dir '\nSTRADDBACKSLASH C 'x\\'\nVARSET D 1\nSTRADDBACKSLASH D ''\n",
         "A=C: B=C:\\dir\\ C=x\\ D=", ""},
        {"repeat needs a character", "STRREPEAT A '' 3\n", "", "  Needed a non-empty parameter in command:\r\n"},
    });
    Outcome o = run({{"main.ss", "STRLPAD C 4 'x'\nSTRRPAD D 3 'ab'\nSTRREPEAT E 5 3\nSTRLPAD W -1 'q'\n"}});
    EXPECT_EQ(var("C"), "   x");
    EXPECT_EQ(var("D"), "ab ");
    EXPECT_EQ(var("E"), "\x05\x05\x05");
    EXPECT_EQ(var("W").size(), 767u);
}

TEST(EngineTable, SystemCommands) {
    runTable({
        {"platform", "SYSTEMPLATFORM P\n", "P=Win32", ""},
        {"random sequence", "RANDOMIZE 12345\nRANDOM A 1000\nRANDOM B 1000\nRANDOM C 1000\nRANDOM Z 0\n", "A=231 B=585 C=788 Z=0", ""},
        {"random repeats", "RANDOMIZE 7\nRANDOM A 50\nRANDOMIZE 7\nRANDOM B 50\nIF A = B VARSET SAME 1\n", "SAME=1", ""},
        {"date", "SYSTEMDATETIME Y '^Y'\nSTRLENGTH N \"%Y%\"\nSYSTEMDATETIME Q '^Q^'\n", "N=4 Q=%Q%", ""},
        {"debug text without a file", "DEBUGTEXT 'nothing'\n", "", ""},
        {"varlist needs a window without a debug file", "VARLIST\n", "",
         "  A window hasn't been created yet (use ScreenGraphics first).\r\n  In script file"},
    });
    Outcome o = run({{"main.ss", "SYSTEMCOMMANDLINE C\nSYSTEMCURRENTSCRIPT S\n"}}, "\"main\" a  b");
    EXPECT_EQ(var("C"), "a  b");
    std::string s = var("S");
    EXPECT_EQ(s.substr(0, 3), "C:\\");
    EXPECT_EQ(s.substr(s.size() - 8), "\\main.ss");
}

TEST(EngineProgram, CommandLines) {
    Outcome o = run({{"autoexec.ss", "VARSET RAN 1\nSYSTEMCOMMANDLINE C\n"}}, "/#1234");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(var("RAN"), "1");
    EXPECT_EQ(engine::gProgram.hostWindow, 1234u);

    o = run({{"demo.ss", "VARSET A 1\n"}, {"demo.txt", "VARSET B 1\n"}}, "demo");
    EXPECT_EQ(var("A"), "1");
    o = run({{"demo.ss", "VARSET A 1\n"}, {"demo.txt", "VARSET B 1\n"}}, "demo.txt");
    EXPECT_EQ(var("B"), "1");
    EXPECT_EQ(var("A"), "");

    o = run({{"my show.ss", "SYSTEMCOMMANDLINE C\n"}}, "\"my show.ss\" a b");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(var("C"), "a b");
    o = run({{"show.ss", "SYSTEMCOMMANDLINE C\n"}}, "show , rest");
    EXPECT_EQ(var("C"), "rest");
    o = run({{"demo.ss", "SYSTEMCOMMANDLINE C\n"}}, "demo /#5 x");
    EXPECT_EQ(var("C"), "x");
    EXPECT_EQ(engine::gProgram.hostWindow, 5u);

    o = run({{"autoexec.ss", ""}}, "/nonexistent-switch");
    EXPECT_EQ(o.status, 2);
    ASSERT_FALSE(o.boxes.empty());
    EXPECT_EQ(o.boxes[0].text, engine::UsageText());

    o = run({}, "");
    EXPECT_EQ(o.status, 2);  // no autoexec.ss: usage box
    EXPECT_EQ(o.boxes[0].text, engine::UsageText());

    o = run({}, "nope");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.error, "  Error opening:\r\n    nope\r\n");

    // A normal end shows the about box (no host window answered).
    o = run({{"main.ss", "END\n"}});
    ASSERT_EQ(o.boxes.size(), 1u);
    EXPECT_EQ(o.boxes[0].title, "TorvexScript - V4.2d");
}

TEST(EngineProgram, ArgumentWords) {
    testsupport::TempDir dir;
    using W = std::vector<std::string>;
    testsupport::writeText(dir.file("show.ss"), "");
    engine::CommandWords w = engine::CommandLineFromArgs(W{dir.file("show.ss"), "/x", "--y"});
    EXPECT_FALSE(w.badSwitch);
    EXPECT_EQ(w.commandLine, dir.file("show.ss") + " /x --y");
    w = engine::CommandLineFromArgs(W{"/#77", dir.file("show.ss")});
    EXPECT_FALSE(w.badSwitch);
    EXPECT_EQ(w.host, 77u);
    // The host switch is cut out wherever it stands, before the script name is read.
    struct HostCase {
        W args;
        uintptr_t host;
        std::string line;
    };
    for (const HostCase& c : {HostCase{W{"/#12demo"}, 12, "demo"}, HostCase{W{"demo", "/#5", "x"}, 5, "demo x"},
                              HostCase{W{"demo", "a/#-3", "x"}, uintptr_t(-3), "demo a x"},
                              HostCase{W{"/#", "demo"}, 0, "demo"}, HostCase{W{"demo", "/#a"}, 0, "demo /#a"}}) {
        SCOPED_TRACE(c.line);
        w = engine::CommandLineFromArgs(c.args);
        EXPECT_FALSE(w.badSwitch);
        EXPECT_EQ(w.host, c.host);
        EXPECT_EQ(w.commandLine, c.line);
    }
    w = engine::CommandLineFromArgs(W{"/nonexistent/x.ss"});
    EXPECT_TRUE(w.badSwitch);
    w = engine::CommandLineFromArgs(W{"--help"});
    EXPECT_TRUE(w.help);
    w = engine::CommandLineFromArgs(W{"my show", "a"});
    EXPECT_EQ(w.commandLine, "\"my show\" a");
    std::string name, rest;
    engine::SplitScriptName("\"open quote a b", name, rest);
    EXPECT_EQ(name, "\"open quote a b");
    EXPECT_EQ(rest, "");
}

TEST(EngineTrace, LineFormat) {
    testsupport::TempDir dir;
    std::string script = "DEBUGFILE 'x'\n";
    for (int i = 2; i < 12; ++i) script += "#\n";
    script += "VARSET X 5\nIF X = 5 VARSET Y 1 ; VARSET Z 2\nGOSUB S\nEND\n:S\nRETURN\n";
    Outcome o = run({{"main.ss", script}}, "main", dir.file("trace.txt"));
    EXPECT_EQ(o.status, 0) << o.error;
    EXPECT_EQ(o.trace,
              "\r\n"
              "  12:    VARSET X 5  ***X=\"5\"\r\n"
              "  13:    IF X = 5 VARSET Y 1 ; VARSET Z 2  ***True \r\n"
              "   -> 13:    VARSET Y 1 ; VARSET Z 2  ***Y=\"1\"\r\n"
              "   -> 13:    VARSET Z 2  ***Z=\"2\"\r\n"
              "  14:    GOSUB S\r\n\r\n"
              "    17:    RETURN \r\n\r\n"
              "  15:    END \r\n"
              "\r\n");

    // The caller's indentation comes back whole after a file that ended with RETURN.
    o = run({{"main.ss", "DEBUGFILE 'x'\nCALL 'sub'\nVARSET A 1\n"}, {"sub.ss", "GOSUB S\n:S\nRETURN\n"}},
            "main", dir.file("t4.txt"));
    EXPECT_EQ(o.trace,
              "\r\n"
              "  2:     CALL 'sub'    1:     GOSUB S\r\n\r\n"
              "      3:     RETURN \r\n\r\n"
              "    3:     RETURN \r\n\r\n"
              "\r\n\r\n"
              "  3:     VARSET A 1  ***A=\"1\"\r\n"
              "\r\n");

    o = run({{"main.ss", "DEBUGFILE 'x'\nVARSET A 1\nDEBUGFILE ''\nVARSET B 2\n"}}, "main", dir.file("t2.txt"));
    EXPECT_EQ(o.trace, "\r\n  2:     VARSET A 1  ***A=\"1\"\r\n  3:     DEBUGFILE ''");

    o = run({{"main.ss", "DEBUGFILE 'x'\nVARSET A 1 2\n"}}, "main", dir.file("t3.txt"));
    EXPECT_EQ(o.trace,
              "\r\n  2:     VARSET A 1 2  ***A=\"1\"\r\n\r\n  Bad script command:\r\n    VARSET A 1 2\r\n\r\n");
}

TEST(EngineLoader, LongLinesAndManyLines) {
    std::string longLine = "VARSET X '" + std::string(2000, 'a') + "'\nVARSET Y 1\n";
    Outcome o = run({{"main.ss", longLine}});
    EXPECT_EQ(o.status, 0) << o.error;
    EXPECT_EQ(var("X").size(), 767u - 10u);
    EXPECT_EQ(var("Y"), "1");

    std::string many(70000, '\n');
    many += "BOGUS\n";
    o = run({{"main.ss", many}});
    EXPECT_EQ(o.error, "  Bad script command:\r\n    BOGUS \r\n  In script file: main.ss  At line number: 70001.\r\n");
}

TEST(EngineLoader, ScriptsFromFiles) {
    testsupport::TempDir dir;
    testsupport::writeText(dir.file("top.ss"), "VARSET A 1\r\nCALL 'sub'\r\nVARSET C \"%B%\"\r\n");
    testsupport::writeText(dir.file("sub.ss"), "VARSET B 2");  // no line end at the end
    std::vector<plat::MessageBoxRecord> boxes;
    plat::setMessageBoxCapture(&boxes);
    std::string old = plat::currentDirectory();
    ASSERT_TRUE(plat::setCurrentDirectory(plat::drivePathFromHost(dir.path())));
    int status = engine::RunProgram("top");
    plat::setCurrentDirectory(old);
    plat::setMessageBoxCapture(nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(var("C"), "2");
}

TEST(EngineTable, CommandTableIsSortedAndComplete) {
    const engine::CommandEntry* t = engine::commandTable();
    for (int i = 1; i < engine::kCommandCount; ++i) EXPECT_LT(std::strcmp(t[i - 1].name, t[i].name), 0) << t[i].name;
    EXPECT_EQ(engine::findCommand("ANIMATIONADVANCE"), 0);
    EXPECT_EQ(engine::findCommand("VARSET"), engine::kCommandCount - 1);
    EXPECT_EQ(engine::findCommand("VARSETX"), -1);
    EXPECT_TRUE(engine::registerCommand("SCREENGRAPHICS", [] { engine::SetVariable("G", "1"); }));
    run({{"main.ss", "SCREENGRAPHICS\n"}});
    EXPECT_EQ(var("G"), "1");
    EXPECT_TRUE(engine::registerCommand("SCREENGRAPHICS", engine::commandNotAvailable));
    EXPECT_FALSE(engine::registerCommand("NOSUCH", engine::commandNotAvailable));
}

}  // namespace

namespace {

struct HostRecord {
    int greetings = 0;
    int copies = 0;
    uintptr_t dwData = 0;
    std::string copied;
    uint32_t cbData = 0;
    plat::LRESULT answer = 0;
};
HostRecord gHost;

plat::LRESULT hostProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) {
    if (msg == 10019) {
        ++gHost.greetings;
        return gHost.answer;
    }
    if (msg == plat::WM_COPYDATA) {
        auto* cds = reinterpret_cast<const plat::COPYDATASTRUCT*>(lParam);
        ++gHost.copies;
        gHost.dwData = cds->dwData;
        gHost.cbData = cds->cbData;
        gHost.copied.assign(static_cast<const char*>(cds->lpData), cds->cbData);
        return 1;
    }
    return plat::defWindowProc(hwnd, msg, wParam, lParam);
}

TEST(EngineProgram, HostHandshake) {
    setenv("TORVEX_VIDEO", "headless", 1);
    plat::WNDCLASS wc;
    wc.lpfnWndProc = hostProc;
    wc.lpszClassName = "EngineTestHost";
    plat::registerClass(wc);
    plat::HWND host = plat::createWindowEx(0, "EngineTestHost", "Torvex for Windows - host", 0, 0, 0, 100, 100, 0, nullptr);
    ASSERT_NE(host, 0u);
    const std::string line = "/#" + std::to_string(host) + " main";

    // Answers 8995: the handle is dropped, nothing at the end, no about box.
    gHost = HostRecord{};
    gHost.answer = 8995;
    Outcome o = run({{"main.ss", "VARSET A 1\n"}}, line);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(gHost.greetings, 1);
    EXPECT_EQ(gHost.copies, 0);
    EXPECT_TRUE(o.boxes.empty());

    // Any other answer: the version text at the end, still no about box.
    gHost = HostRecord{};
    gHost.answer = 1;
    o = run({{"main.ss", "VARSET A 1\n"}}, line);
    EXPECT_EQ(gHost.greetings, 1);
    EXPECT_EQ(gHost.copies, 1);
    EXPECT_EQ(gHost.dwData, 4660u);
    const std::string version = "TorvexScript 4.2d";
    EXPECT_EQ(gHost.cbData, version.size() + 16);
    EXPECT_EQ(gHost.copied.substr(0, version.size()), version);
    EXPECT_TRUE(o.boxes.empty());

    // A title that does not match: not greeted, the about box stays, the version text at the end.
    plat::setWindowText(host, "Some other program");
    gHost = HostRecord{};
    o = run({{"main.ss", "VARSET A 1\n"}}, line);
    EXPECT_EQ(gHost.greetings, 0);
    EXPECT_EQ(gHost.copies, 1);
    ASSERT_EQ(o.boxes.size(), 1u);
    EXPECT_EQ(o.boxes[0].title, "TorvexScript - V4.2d");
    plat::destroyWindow(host);
}

}  // namespace
