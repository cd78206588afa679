// File, directory, drive, environment, program, system, print and multimedia-string commands,
// run in-process on scripts held in memory, inside a fresh current directory.
#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/fs.h"
#include "platform/mci.h"
#include "player/engine/io_commands.h"
#include "player/engine/program.h"
#include "player/engine/script.h"
#include "tests/engine/program_run.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

using enginetest::Outcome;
using enginetest::var;

Outcome run(const std::string& script) { return enginetest::runProgram({{"main.ss", script}}, "main", "", 1'000'000); }

std::string readText(const std::string& path) {
    auto bytes = testsupport::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Every test runs in its own temporary directory, which is the current directory meanwhile.
class IoCommands : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = plat::currentDirectory();
        ASSERT_TRUE(plat::setCurrentDirectory(plat::drivePathFromHost(dir_.path())));
        drive_ = plat::currentDirectory();
    }
    void TearDown() override {
        plat::setCurrentDirectory(saved_);
        plat::setDriveMappings("");
    }
    // Runs a script that must end without an error box.
    void runOk(const std::string& script) {
        Outcome o = run(script);
        ASSERT_EQ(o.status, 0) << o.error;
    }
    void expectError(const std::string& script, const std::string& start) {
        Outcome o = run(script);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.error.substr(0, start.size()), start) << o.error;
    }
    std::string host(const std::string& name) const { return dir_.file(name); }

    testsupport::TempDir dir_;
    std::string saved_;
    std::string drive_;  // the temporary directory in drive form
};

TEST_F(IoCommands, AllSlotsInUse) {
    testsupport::writeText(host("a.txt"), "x\r\n");
    runOk("VARSET I 0\n:L\nCOMPUTE I = I + 1\nINTERPRET \"FILEOPEN F%I% 'a.txt'\"\nIF I < 64 GOTO L\n"
          "FILEOPEN X 'a.txt'\nFILEEXISTS E 'a.txt'\nFILECREATE C 'new.txt'\nFILEAPPEND P 'a.txt'\n"
          "FILECLOSE F64\nFILEEXISTS E2 'a.txt'\nFILEEXISTS E3 'missing.txt'\nFILEOPEN Y 'a.txt'\n");
    EXPECT_EQ(var("F1"), "5000");
    EXPECT_EQ(var("F63"), "5062");
    EXPECT_EQ(var("X"), "0");
    EXPECT_EQ(var("E"), "0");
    EXPECT_EQ(var("C"), "0");
    EXPECT_EQ(var("P"), "0");
    EXPECT_FALSE(fs::exists(host("new.txt")));
    EXPECT_EQ(var("E2"), "1");
    EXPECT_EQ(var("E3"), "0");
    EXPECT_EQ(var("Y"), "5063");
}

TEST_F(IoCommands, ReadWriteAppendAndSize) {
    runOk("FILECREATE F 'lines.txt'\nFILEWRITE F 'first'\nFILEWRITE F 'second'\nFILESIZE S1 F\nFILECLOSE F\n"
          "FILESIZE S2 'lines.txt'\nFILESIZE S3 'missing.txt'\n"
          "FILEAPPEND F 'lines.txt'\nFILEWRITE F 'third'\nFILECLOSE F\nFILEAPPEND G 'fresh.txt'\nFILEWRITE G 'only'\n"
          "FILECLOSE G\nFILEOPEN F 'lines.txt'\nFILEEOF E0 F\nFILEREAD L1 F\nFILEREAD L2 F\nFILEREAD L3 F\n"
          "FILEREAD L4 F\nFILEEOF E1 F\nFILECLOSE F\n"
          "STRREPEAT V 'x' 300\nFILECREATE F 'long.txt'\nFILEWRITE F \"%V%\"\nFILEWRITE F 'after'\nFILECLOSE F\n"
          "FILEOPEN F 'long.txt'\nFILEREAD LONG F\nSTRLENGTH N \"%LONG%\"\nFILEREAD NEXT F\nFILECLOSE F\n");
    EXPECT_EQ(var("S1"), "15");  // pending writes count
    EXPECT_EQ(var("S2"), "15");
    EXPECT_EQ(var("S3"), "0");
    EXPECT_EQ(var("E0"), "0");
    EXPECT_EQ(var("L1"), "first");
    EXPECT_EQ(var("L2"), "second");
    EXPECT_EQ(var("L3"), "third");
    EXPECT_EQ(var("L4"), "");  // past the end: removed
    EXPECT_EQ(var("E1"), "1");
    EXPECT_EQ(var("N"), "254");
    EXPECT_EQ(var("NEXT"), "after");  // the rest of the long line is skipped
    EXPECT_EQ(var("F"), "");  // FILECLOSE removes the variable
    EXPECT_EQ(readText(host("fresh.txt")), "only\r\n");
}

TEST_F(IoCommands, BadFileNumbers) {
    const std::string bad = "  Bad file parameter:\r\n    ";
    expectError("FILECREATE F 'w.txt'\nVARSET G F\nFILECLOSE F\nFILEWRITE G 'x'\n", bad + "FILEWRITE G 'x'\r\n");
    // A literal number is taken as the name of a variable, which has no value.
    expectError("FILECREATE F 'w.txt'\nFILECLOSE 5000\n", bad + "FILECLOSE 5000\r\n");
    expectError("FILEREAD L 5001\n", bad);
    expectError("FILEEOF E 4999\n", bad);
}

TEST_F(IoCommands, ClosingTheDebugFileByNumberStopsTracing) {
    Outcome o = run("DEBUGFILE 'trace.txt'\nVARSET D 5000\nFILECLOSE D\nFILECREATE F 'next.txt'\n"
                    "FILEWRITE F 'data'\nVARSET Z 1\n");
    ASSERT_EQ(o.status, 0) << o.error;
    EXPECT_EQ(var("F"), "5000");
    EXPECT_EQ(readText(host("next.txt")), "data\r\n");
    EXPECT_EQ(readText(host("trace.txt")).find("VARSET Z"), std::string::npos);
}

TEST_F(IoCommands, DeleteRenameCopyWithPatterns) {
    fs::create_directory(host("sub"));
    for (const char* n : {"a.tmp", "b.tmp", "keep.txt", "abc.txt", "sub/one.dat", "sub/two"})
        testsupport::writeText(host(n), std::string("content of ") + n);
    runOk("FILEDELETE N '*.none'\nFILEDELETE T '*.tmp'\nFILEDELETE D 'sub'\nFILEDELETE M 'missing.txt'\n"
          "FILERENAME R 'abc.txt' 'X?Z.*'\nFILECOPY C 'keep.txt' 'KEEP.TXT'\nDIRMAKE K 'out'\n"
          "FILECOPY C2 '*.txt' 'out\\*.bak'\nFILECOPY C3 'out\\*.*' '.'\n");
    EXPECT_EQ(var("N"), "1");  // nothing matched
    EXPECT_EQ(var("T"), "1");
    EXPECT_FALSE(fs::exists(host("a.tmp")));
    EXPECT_FALSE(fs::exists(host("b.tmp")));
    EXPECT_EQ(var("D"), "1");  // a directory stands for its files
    EXPECT_TRUE(fs::is_empty(host("sub")));
    EXPECT_EQ(var("M"), "0");
    EXPECT_EQ(var("R"), "1");
    EXPECT_TRUE(fs::exists(host("XbZ.txt")));
    EXPECT_EQ(var("C"), "0");  // onto itself in another letter case
    EXPECT_EQ(readText(host("keep.txt")), "content of keep.txt");
    EXPECT_EQ(var("C2"), "1");
    EXPECT_EQ(readText(host("out/keep.bak")), "content of keep.txt");
    EXPECT_EQ(readText(host("out/XbZ.bak")), "content of abc.txt");
    EXPECT_EQ(var("C3"), "1");  // a directory as destination takes the names
    EXPECT_EQ(readText(host("keep.bak")), "content of keep.txt");
}

TEST_F(IoCommands, CopyCarriesTheTimeAndLeavesNoPartialFile) {
    std::vector<unsigned char> big(10000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7);
    testsupport::writeFile(host("big.bin"), big);
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(host("big.bin"), old);
    runOk("FILECOPY C 'big.bin' 'copy.bin'\nFILECOPY L 'big.bin' 'nodir\\copy.bin'\nFILECOPY M 'nothere.bin' 'x.bin'\n");
    EXPECT_EQ(var("C"), "1");
    EXPECT_EQ(testsupport::readFile(host("copy.bin")), big);
    // The time is kept to the precision of its high 32 bits (about seven minutes).
    auto diff = fs::last_write_time(host("copy.bin")) - old;
    EXPECT_LT(std::abs(std::chrono::duration_cast<std::chrono::seconds>(diff).count()), 430);
    EXPECT_EQ(var("L"), "0");
    EXPECT_FALSE(fs::exists(host("nodir")));
    EXPECT_EQ(var("M"), "0");
    EXPECT_FALSE(fs::exists(host("x.bin")));

    // Writes beyond 5000 bytes fail: the half-written copy is deleted.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 5000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Outcome o = run("FILECOPY C 'big.bin' 'cut.bin'\n");
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(o.status, 0) << o.error;
    EXPECT_EQ(var("C"), "0");
    EXPECT_FALSE(fs::exists(host("cut.bin")));
    EXPECT_EQ(testsupport::readFile(host("big.bin")), big);
}

TEST_F(IoCommands, FindListsDotEntriesAndEnds) {
    fs::create_directory(host("sub"));
    testsupport::writeText(host("sub/one.txt"), "1");
    testsupport::writeText(host("sub/Two.txt"), "2");
    runOk("FILECREATE O 'found.txt'\nFILEFIND F 'sub'\nFILEWRITE O \"%F%\"\n"
          "FILEFINDNEXT F\nFILEWRITE O \"%F%\"\nFILEFINDNEXT F\nFILEWRITE O \"%F%\"\n"
          "FILEFINDNEXT F\nFILEWRITE O \"%F%\"\nFILEFINDNEXT F\nVARSET AFTER \"%F%x\"\nFILEFINDNEXT F\n"
          "FILEFIND G 'sub\\*.none'\nFILEFINDNEXT H\nFILECLOSE O\n");
    const std::string dir = drive_ + "\\sub\\";
    std::istringstream in(readText(host("found.txt")));
    std::set<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.insert(line);
    }
    EXPECT_EQ(lines, (std::set<std::string>{dir + ".", dir + "..", dir + "one.txt", dir + "Two.txt"}));
    EXPECT_EQ(var("AFTER"), "x");  // the search ended: removed
    EXPECT_EQ(var("G"), "");
    EXPECT_EQ(var("H"), "");
}

TEST_F(IoCommands, PathPiecesAndAttributes) {
    fs::create_directory(host("sub"));
    testsupport::writeText(host("ro.txt"), "r");
    runOk("FILEPIECES ALL 1 1 1 1 'docs\\read.me.txt'\nFILEPIECES NAME 0 0 1 0 'docs\\read.me.txt'\n"
          "FILEPIECES EXT 0 0 0 1 'docs\\read.me.txt'\nFILEPIECES DRV 1 0 0 0 'x'\n"
          "FILEPIECES LOW 256 1 0 0 'x'\nFILEPIECES DIRN 0 0 1 1 'sub'\nFILEPIECES DIRD 0 1 0 0 'sub'\n"
          "FILEFULLPATH FULL '..\\q.txt'\nFILEFULLPATH CUR 'c:'\nFILEPIECES CURD 0 1 0 0 'C:'\nFILESETATTRIB 'ro.txt' 1\nFILEGETATTRIB A1 'ro.txt'\n"
          "FILEGETATTRIB A2 'sub'\nFILEGETATTRIB A3 'r?.*'\nFILEGETATTRIB A4 'nothing.*'\nFILESETATTRIB 'ro.txt' 0\n"
          "FILETEMP T1 'prefix.dat'\n");
    const std::string parent = drive_.substr(0, drive_.rfind('\\'));
    EXPECT_EQ(var("ALL"), drive_ + "\\docs\\read.me.txt");
    EXPECT_EQ(var("NAME"), "read.me");
    EXPECT_EQ(var("EXT"), ".txt");
    EXPECT_EQ(var("DRV"), "C:");
    EXPECT_EQ(var("LOW"), drive_.substr(2) + "\\");
    EXPECT_EQ(var("DIRN"), "");
    EXPECT_EQ(var("DIRD"), drive_.substr(2) + "\\sub\\");
    EXPECT_EQ(var("FULL"), parent + "\\q.txt");
    EXPECT_EQ(var("CUR"), drive_);  // a bare drive is its current directory
    EXPECT_EQ(var("CURD"), drive_.substr(2) + "\\");
    EXPECT_EQ(var("A1"), "33");  // read-only and archive
    EXPECT_EQ(std::stoi(var("A2")) & 0x10, 0x10);
    EXPECT_EQ(var("A3"), "33");
    EXPECT_EQ(var("A4"), "0");
    std::string t = var("T1");
    ASSERT_EQ(t.substr(0, drive_.size() + 4), drive_ + "\\pre");
    EXPECT_EQ(t.size(), drive_.size() + 4 + 8);
    EXPECT_FALSE(plat::pathExists(t));
}

TEST_F(IoCommands, DriveTypesFromMappings) {
    fs::create_directory(host("cd"));
    fs::create_directory(host("net"));
    fs::create_directory(host("usb"));
    plat::setDriveMappings("D=" + host("cd") + ":cdrom;E=" + host("net") + ":remote;F=" + host("usb") + ":removable");
    runOk("FILECDROM D1 'D:\\movie.tvx'\nFILECDROM D2 'd:x'\nFILECDROM C1 'C:\\'\nFILECDROM R1 'rel.txt'\n"
          "FILEREMOTE E1 'E:\\a'\nFILEREMOTE E2 'D:\\a'\nFILEREMOVABLE F1 'F:\\a'\nFILEREMOVABLE F2 'E:\\a'\n"
          "DRIVESIZE S 'C:\\'\nDRIVEAVAIL A 'C:\\'\nDRIVESIZE Q 'Q:\\'\n");
    EXPECT_EQ(var("D1"), "1");
    EXPECT_EQ(var("D2"), "1");
    EXPECT_EQ(var("C1"), "0");
    EXPECT_EQ(var("R1"), "0");
    EXPECT_EQ(var("E1"), "1");
    EXPECT_EQ(var("E2"), "0");
    EXPECT_EQ(var("F1"), "1");
    EXPECT_EQ(var("F2"), "0");
    uint64_t total = 0, avail = 0;
    ASSERT_TRUE(plat::driveSpace('C', total, avail));
    EXPECT_EQ(var("S"), std::to_string(int32_t(uint32_t(total))));
    EXPECT_EQ(var("Q"), "0");  // no such drive
}

TEST_F(IoCommands, DirectoriesChangeAndRestore) {
    fs::create_directory(host("sub"));
    testsupport::writeText(host("sub/f.txt"), "f");
    runOk("DIRCURRENT A\nDIRCHANGE R0 'nowhere\\deeper'\nDIRCURRENT B\nDIREXISTS E1 'sub'\nDIREXISTS E2 'nowhere'\n"
          "DIRCURRENT C\nDIRMAKE M1 'made'\nDIRMAKE M2 'made'\nDIRREMOVE X1 'sub'\nDIRREMOVE X2 'made'\n"
          "DIRCHANGE R1 'sub'\nDIRCURRENT D\nDIRCHANGE R2 '..\\'\nDIRCURRENT E\n");
    EXPECT_EQ(var("A"), drive_);
    EXPECT_EQ(var("R0"), "0");
    EXPECT_EQ(var("B"), drive_);
    EXPECT_EQ(var("E1"), "1");
    EXPECT_EQ(var("E2"), "0");
    EXPECT_EQ(var("C"), drive_);
    EXPECT_EQ(var("M1"), "1");
    EXPECT_EQ(var("M2"), "0");
    EXPECT_EQ(var("X1"), "0");  // not empty
    EXPECT_EQ(var("X2"), "1");
    EXPECT_EQ(var("R1"), "1");
    EXPECT_EQ(var("D"), drive_ + "\\sub");
    EXPECT_EQ(var("R2"), "1");
    EXPECT_EQ(var("E"), drive_);
}

TEST_F(IoCommands, EnvironmentAndPrograms) {
    runOk("VARSET N 'torvex_io_name'\nENVSET N 'from_word'\nENVGET A 'TORVEX_IO_NAME'\n"
          "ENVSET 'n' 'quoted'\nENVGET B 'n'\nENVSET 'n' ''\nENVGET C 'N'\n"
          "EXECUTE X1 'touch started.txt'\nEXECUTE X2 'no_such_program_anywhere'\n");
    EXPECT_EQ(var("A"), "from_word");
    EXPECT_EQ(var("B"), "quoted");
    EXPECT_EQ(var("C"), "");
    EXPECT_GT(std::stoi(var("X1")), 31);
    EXPECT_LE(std::stoi(var("X2")), 31);
    for (int i = 0; i < 500 && !fs::exists(host("started.txt")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(fs::exists(host("started.txt")));
}

int gPointerRemovals = 0, gTextResets = 0;
void countPointerRemoval() { ++gPointerRemovals; }
void countTextReset() { ++gTextResets; }
bool windowThere() { return true; }

TEST_F(IoCommands, ExecuteTakesThePointerOffAndResetsText) {
    const engine::RuntimeHooks saved = engine::gHooks;
    engine::gHooks.removeSoftwarePointer = countPointerRemoval;
    engine::gHooks.resetTextOutput = countTextReset;
    engine::gHooks.windowExists = windowThere;
    gPointerRemovals = gTextResets = 0;
    Outcome o = run("EXECUTE R 'true'\n");
    const int textResetsOfTheRun = gTextResets;
    engine::gHooks = saved;
    ASSERT_EQ(o.status, 0) << o.error;
    EXPECT_GT(std::stoi(var("R")), 31);
    // The program body asks the system for a mouse; this platform always reports one.
    ASSERT_TRUE(engine::gProgram.mousePresent);
    EXPECT_EQ(gPointerRemovals, 1);
    // The same script without EXECUTE resets the text output one time less.
    engine::gHooks.resetTextOutput = countTextReset;
    gTextResets = 0;
    run("VARSET X 1\n");
    const int resetsWithoutExecute = gTextResets;
    engine::gHooks = saved;
    EXPECT_EQ(textResetsOfTheRun, resetsWithoutExecute + 1);
}

TEST_F(IoCommands, RandomRepeatsForASeed) {
    runOk("RANDOMIZE 7\nRANDOM A 100\nRANDOM B 100\nRANDOMIZE 7\nRANDOM C 100\nRANDOM D 100\n"
          "RANDOM Z 0\nRANDOM Z2 0\nRANDOMIZE 0\nRANDOM TOP 32767\n");
    uint32_t state = 7;
    auto next = [&] {
        state = state * 214013u + 2531011u;
        return (state >> 16) & 0x7FFF;
    };
    uint32_t a = next() * 101 / 32767, b = next() * 101 / 32767;
    EXPECT_EQ(var("A"), std::to_string(std::min(a, 100u)));
    EXPECT_EQ(var("B"), std::to_string(std::min(b, 100u)));
    EXPECT_EQ(var("C"), var("A"));
    EXPECT_EQ(var("D"), var("B"));
    EXPECT_EQ(var("Z"), "0");
    EXPECT_EQ(var("Z2"), "0");
    state = 0;
    EXPECT_EQ(var("TOP"), std::to_string(std::min(next() * 32768u / 32767u, 32767u)));
}

int gPrintCalls = 0;
void printFromTextSide() {
    ++gPrintCalls;
    engine::printFileWrite("line\r\n", 6);
}

TEST_F(IoCommands, PrintFile) {
    runOk("PRINTBEGIN\nPRINTPAGEADV\nPRINTEND # closed\nPRINTPAGEADV ; VARSET AFTER 1\n"
          "VARSET REPORT 'other'\nPRINTBEGIN report\n");
    EXPECT_EQ(readText(host("lpt1")), "\f");
    EXPECT_EQ(var("AFTER"), "1");
    EXPECT_TRUE(fs::exists(host("report")));  // taken as written, not as a variable
    // A second PRINTBEGIN leaves its parameter over.
    expectError("PRINTBEGIN 'one.prn'\nPRINTBEGIN 'two.prn'\n",
                "  Bad script command:\r\n    PRINTBEGIN 'two.prn'\r\n");
    EXPECT_TRUE(fs::exists(host("one.prn")));
    EXPECT_FALSE(fs::exists(host("two.prn")));
    // The text commands' side, through a stand-in command: writes reach the open print file only.
    ASSERT_TRUE(engine::registerCommand("SOUND", printFromTextSide));
    Outcome o = run("SOUND\nPRINTBEGIN 'p.prn'\nSOUND\nPRINTPAGEADV\nSOUND\nPRINTEND\nSOUND\n");
    engine::registerCommand("SOUND", engine::commandNotAvailable);
    EXPECT_EQ(o.status, 0) << o.error;
    EXPECT_EQ(readText(host("p.prn")), "line\r\n\fline\r\n");
    EXPECT_EQ(gPrintCalls, 4);
}

std::vector<std::pair<int32_t, int32_t>> gModes;
void recordMode(int32_t w, int32_t h) { gModes.emplace_back(w, h); }

TEST_F(IoCommands, SystemFactsAndDisplayModes) {
    auto saved = engine::gHooks.changeDisplayMode;
    engine::gHooks.changeDisplayMode = recordMode;
    gModes.clear();
    runOk("SYSTEMDISPLAYRESOLUTION 7\nSYSTEMDISPLAYRESOLUTION -1\nSYSTEMDISPLAYRESOLUTION 3\n"
          "SYSTEMDISPLAYRESOLUTION 1\nSYSTEMDISPLAYRESOLUTION 0\n"
          "SYSTEMCOLORS COL\nSYSTEMOSMAJOR MAJ\nSYSTEMOSMINOR MIN\nSYSTEMMEMORY MEM\nSYSTEMCURRENTEXE EXE\n");
    engine::gHooks.changeDisplayMode = saved;
    EXPECT_EQ(gModes, (std::vector<std::pair<int32_t, int32_t>>{{800, 600}, {640, 400}, {0, 0}}));
    EXPECT_EQ(var("COL"), "16777216");
    EXPECT_EQ(var("MAJ"), "6");
    EXPECT_EQ(var("MIN"), "1");
    EXPECT_GT(std::stoll(var("MEM")), 0);
    std::string exe = var("EXE");
    EXPECT_EQ(exe.substr(1, 2), ":\\");
    EXPECT_NE(exe.find("test_engine_io"), std::string::npos) << exe;
}

// A 16-bit mono WAV file of a sine tone.
void writeTone(const std::string& path, uint32_t rate, uint32_t frames, double hz) {
    std::vector<unsigned char> b;
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    auto put16 = [&](uint16_t v) {
        b.push_back(static_cast<unsigned char>(v));
        b.push_back(static_cast<unsigned char>(v >> 8));
    };
    b.insert(b.end(), {'R', 'I', 'F', 'F'});
    put32(36 + frames * 2);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(16);
    put16(1);
    put16(1);
    put32(rate);
    put32(rate * 2);
    put16(2);
    put16(16);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put32(frames * 2);
    for (uint32_t i = 0; i < frames; ++i)
        put16(uint16_t(int16_t(std::lround(12000.0 * std::sin(6.283185307179586 * hz * i / rate)))));
    testsupport::writeFile(path, b);
}

TEST_F(IoCommands, SystemSoundsAndPlayWithoutOpen) {
    writeTone(host("tone.wav"), 11025, 11025 / 2, 300.0);  // half a second
    const std::string capture = host("capture.wav");
    plat::audioShutdown();
    plat::setAudioBackendForTest(plat::AudioBackend::Wav, capture);
    runOk("MCISENDSTRING S1 'sound SystemAsterisk wait'\nDELAY 300\nMCISENDSTRING S2 'sound NoSuchEvent wait'\n"
          "DELAY 300\nMCISENDSTRING P 'play tone.wav wait'\nMCISENDSTRING GONE 'status tone.wav mode'\n");
    plat::audioShutdown();
    plat::setAudioBackendForTest(plat::AudioBackend::Null);
    EXPECT_EQ(var("S1"), "");
    EXPECT_EQ(var("S2"), "");  // unknown names give the default sound
    EXPECT_EQ(var("P"), "");
    EXPECT_EQ(var("GONE").substr(0, 7), "Error: ");  // opened for that play only
    std::vector<double> stretches = testsupport::loudStretches(capture);
    ASSERT_EQ(stretches.size(), 3u);
    EXPECT_NEAR(stretches[0], 0.2, 0.03);
    EXPECT_NEAR(stretches[1], 0.2, 0.03);
    EXPECT_NEAR(stretches[2], 0.5, 0.03);
}

std::vector<std::string> gWindowLines;
void recordWindowLine(const char* text) { gWindowLines.push_back(text); }

// VARLIST and FILELIST list into the debug file when one is open, else onto the window; both need
// the window either way.
TEST_F(IoCommands, ListingsNeedTheWindowAndGoToTheTraceFirst) {
    testsupport::writeText(host("a.txt"), "a");
    const std::string files = "FILEOPEN A 'a.txt'\nFILECREATE B 'b.txt'\n";
    for (const char* list : {"FILELIST\n", "VARLIST\n"}) {
        SCOPED_TRACE(list);
        expectError(list, "  A window hasn't been created yet");
        expectError(std::string("DEBUGFILE 'trace.txt'\n") + list, "  A window hasn't been created yet");
        const engine::RuntimeHooks saved = engine::gHooks;
        engine::gHooks.windowExists = windowThere;
        engine::gHooks.writeWindowLine = recordWindowLine;
        gWindowLines.clear();
        Outcome o = run("DEBUGFILE 'trace.txt'\n" + files + list);  // the trace takes number 5000
        EXPECT_EQ(o.status, 0) << o.error;
        EXPECT_TRUE(gWindowLines.empty());
        std::string trace = readText(host("trace.txt"));
        Outcome w = run(files + list);
        EXPECT_EQ(w.status, 0) << w.error;
        engine::gHooks = saved;
        if (list[0] == 'F') {
            EXPECT_NE(trace.find("\r\nNumber: 5001  File: a.txt\r\nNumber: 5002  File: b.txt\r\n"), std::string::npos)
                << trace;
            EXPECT_EQ(gWindowLines, (std::vector<std::string>{"Number: 5000  File: a.txt", "Number: 5001  File: b.txt"}));
        } else {
            EXPECT_NE(trace.find("\r\nA=5001\r\nB=5002\r\n"), std::string::npos) << trace;
            EXPECT_EQ(gWindowLines, (std::vector<std::string>{"A=5000", "B=5001"}));
        }
    }
}

TEST_F(IoCommands, MultimediaStringErrors) {
    testsupport::writeText(host("text.wav"), "not a sound file");
    runOk("MCISENDSTRING A 'open nosuchdevice'\nMCISENDSTRING B 'play nothing_open'\n"
          "MCISENDSTRING C 'fly me'\nMCISENDSTRING D 'open missing.wav'\nMCISENDSTRING E 'open text.wav'\n"
          "MCISENDSTRING F 'status'\n");
    const std::string notOpen = "Error: The specified device is not open or is not recognized by MCI.";
    EXPECT_EQ(var("A"), notOpen);
    EXPECT_EQ(var("B"), notOpen);
    EXPECT_EQ(var("C"), "Error: The driver cannot recognize the specified command.");
    EXPECT_EQ(var("D"), "Error: Cannot find the specified file. Make sure the path and filename are correct.");
    EXPECT_EQ(var("E").substr(0, 39), "Error: The specified file cannot be pla");
    EXPECT_EQ(var("F"), "Error: No device name was specified.");
}

TEST_F(IoCommands, MultimediaPlaybackIsHeard) {
    writeTone(host("tone.wav"), 22050, 22050, 440.0);  // one second
    const std::string capture = host("capture.wav");
    plat::audioShutdown();
    plat::setAudioBackendForTest(plat::AudioBackend::Wav, capture);
    runOk("MCISENDSTRING O \"open tone.wav alias t\"\nMCISENDSTRING LEN 'status t length'\n"
          "MCISENDSTRING M0 'status t mode'\n"
          "MCISENDSTRING P \"play t from 250 to 750 wait\"\nMCISENDSTRING POS 'status t position'\n"
          "MCISENDSTRING M1 'status t mode'\nMCISENDSTRING P2 'play t from 0'\nMCISENDSTRING M2 'status t mode'\n"
          "MCISENDSTRING PA 'pause t'\nMCISENDSTRING M3 'status t mode'\nMCISENDSTRING SK 'seek t to 100'\n"
          "MCISENDSTRING POS2 'status t position'\nMCISENDSTRING M4 'status t mode'\n"
          "MCISENDSTRING CL 'close t'\nMCISENDSTRING GONE 'status t mode'\n");
    plat::audioShutdown();
    plat::setAudioBackendForTest(plat::AudioBackend::Null);
    EXPECT_EQ(var("O"), "1");
    EXPECT_EQ(var("LEN"), "1000");
    EXPECT_EQ(var("M0"), "stopped");
    EXPECT_EQ(var("POS"), "750");
    EXPECT_EQ(var("M1"), "stopped");
    EXPECT_EQ(var("M2"), "playing");
    EXPECT_EQ(var("M3"), "paused");
    EXPECT_EQ(var("POS2"), "100");
    EXPECT_EQ(var("M4"), "stopped");
    EXPECT_EQ(var("GONE").substr(0, 7), "Error: ");

    // The capture (16-bit stereo 44100 Hz) holds the half second played with "wait".
    auto bytes = testsupport::readFile(capture);
    ASSERT_GT(bytes.size(), 44u);
    size_t frames = (bytes.size() - 44) / 4;
    size_t first = frames, last = 0, loud = 0;
    for (size_t i = 0; i < frames; ++i) {
        int16_t l = int16_t(bytes[44 + 4 * i] | bytes[45 + 4 * i] << 8);
        if (std::abs(int(l)) > 2000) {
            first = std::min(first, i);
            last = i;
            ++loud;
        }
    }
    ASSERT_LT(first, last);
    const double seconds = double(last - first) / 44100.0;
    EXPECT_NEAR(seconds, 0.5, 0.03);
    EXPECT_GT(loud, size_t(44100 * 0.5 * 0.5));  // a sine above a quarter of its peak most of the time
}

TEST(IoCommandTable, NoPlaceholderAmongTheseCommands) {
    static const char* const kMine[] = {
        "FILEOPEN", "FILECREATE", "FILEAPPEND", "FILECLOSE", "FILEREAD", "FILEWRITE", "FILEEOF", "FILESIZE",
        "FILELIST", "FILEEXISTS", "FILEDELETE", "FILERENAME", "FILECOPY", "FILEFIND", "FILEFINDNEXT",
        "FILEFULLPATH", "FILEPIECES", "FILEGETATTRIB", "FILESETATTRIB", "FILETEMP", "FILECDROM", "FILEREMOTE",
        "FILEREMOVABLE", "DIRCURRENT", "DIRCHANGE", "DIREXISTS", "DIRMAKE", "DIRREMOVE", "DRIVEAVAIL",
        "DRIVESIZE", "ENVGET", "ENVSET", "EXECUTE", "SYSTEMCOLORS", "SYSTEMCURRENTEXE",
        "SYSTEMDISPLAYRESOLUTION", "SYSTEMMEMORY", "SYSTEMOSMAJOR", "SYSTEMOSMINOR", "PRINTBEGIN", "PRINTPAGEADV", "PRINTEND", "MCISENDSTRING", "RANDOM", "RANDOMIZE",
        "DEBUGFILE", "DEBUGTEXT", "SYSTEMCOMMANDLINE", "SYSTEMCURRENTSCRIPT", "SYSTEMDATETIME",
        "SYSTEMPLATFORM", "SYSTEMTIMER"};
    const engine::CommandEntry* table = engine::commandTable();
    std::vector<std::string> remaining;
    for (int i = 0; i < engine::kCommandCount; ++i)
        if (!table[i].handler || table[i].handler == engine::commandNotAvailable) remaining.push_back(table[i].name);
    // The presentation runtime registers the others at start-up (not linked here).
    for (const char* name : kMine) {
        int index = engine::findCommand(name);
        ASSERT_GE(index, 0) << name;
        EXPECT_NE(table[index].handler, engine::commandNotAvailable) << name;
    }
    for (const std::string& n : remaining)
        EXPECT_TRUE(n.rfind("ANIMATION", 0) == 0 || n.rfind("BITMAP", 0) == 0 || n.rfind("SCREEN", 0) == 0 ||
                    n.rfind("TEXT", 0) == 0 || n.rfind("MOUSE", 0) == 0 || n.rfind("INPUT", 0) == 0 ||
                    n == "SOUND" || n == "SYSTEMUSEDIRECTSOUND" || n == "SYSTEMUSEMMX")
            << n << " is not a runtime command";
}

}  // namespace
