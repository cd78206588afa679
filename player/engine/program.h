// The program: command line, host handshake, program body and shutdown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace engine {

constexpr const char* kProgramVersion = "4.2d";

struct ProgramState {
    uintptr_t hostWindow = 0;
    bool aboutFlag = true;
    std::string title = "TorvexScript";
    bool mousePresent = false;
    bool systemIsNT = true;  // the emulated system is of the NT platform
};
extern ProgramState gProgram;

// Cuts the host switch "/#" with its decimal number out of a command line (the first one);
// true when a switch was found (host then holds its number, 0 for a bare "/#").
bool TakeHostSwitch(std::string& line, uintptr_t& host);
// Splits the script name off a command line: up to the first blank, or a double-quoted name;
// a comma after the name and its blanks is skipped; both parts are trimmed.
void SplitScriptName(const std::string& line, std::string& name, std::string& remainder);

// This platform's command words: a word before the script name that starts with '/' or "--"
// and is not an existing path is a switch; "/#N" is the host switch, "--help" asks for the
// usage on standard output, any other switch shows the usage box. The script name and the
// words after it form the command line of the program body (a name with blanks is quoted).
struct CommandWords {
    std::string commandLine;
    uintptr_t host = 0;
    bool help = false;
    bool badSwitch = false;
};
CommandWords CommandLineFromArgs(const std::vector<std::string>& args);

const char* UsageText();

// The program body with a command line whose host switch is already taken out; returns the
// exit status: 0 after a normal end, 1 after an error box, 2 after the usage box.
int ProgramBody(const std::string& commandLine, bool badSwitch);
// The whole program on a command line in the desktop form (host switch included).
int RunProgram(const std::string& commandLine);
// The entry point of torvexscript.
int ProgramMain(int argc, char** argv);

}  // namespace engine
