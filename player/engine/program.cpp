// Start-up, the program body and shutdown of torvexscript.
#include "player/engine/program.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "kroutil/kro_timer.h"
#include "platform/fs.h"
#include "platform/window.h"
#include "player/engine/script.h"

namespace engine {

ProgramState gProgram;

namespace {

constexpr uint32_t kHostGreeting = 10019;  // WM_USER + 8995
constexpr intptr_t kHostAnswer = 8995;
constexpr uint32_t kCopyDataTag = 4660;

const char kUsage[] =
    "Usage: torvexscript [/#window] [script[.ss]] [arguments...]\r\n"
    "\r\n"
    "Runs a presentation script (autoexec.ss when none is named). The words after the\r\n"
    "script name are left for the script to read with SYSTEMCOMMANDLINE.\r\n"
    "  /#window   the decimal handle of the host window that started the player\r\n"
    "  --help     prints this text\r\n";

const char kAboutText[] =
    "TorvexScript plays multimedia presentations written in its script language:\r\n"
    "Torvex animations with their sound, pictures, text and interaction.\r\n"
    "It belongs to the Torvex family of palette video compression tools.\r\n";

void showUsage() { ScriptMessageBox(gProgram.title.c_str(), kUsage, nullptr, nullptr, false); }

bool isBlankChar(char c) { return static_cast<signed char>(c) <= 32; }

std::string trimmed(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && isBlankChar(s[a])) ++a;
    while (b > a && isBlankChar(s[b - 1])) --b;
    return s.substr(a, b - a);
}

void handshake() {
    uintptr_t host = gProgram.hostWindow;
    if (!host || !gHooks.hostIsWindow(host)) return;  // a handle of no window is not greeted
    std::string title = gHooks.windowTitle(host, 30);
    if (title.rfind("Torvex for Windows", 0) != 0) return;
    if (gHooks.sendMessage(host, kHostGreeting, 0, 0) == kHostAnswer) gProgram.hostWindow = 0;
    gProgram.aboutFlag = false;
}

void farewell() {
    uintptr_t host = gProgram.hostWindow;
    if (!host || !gHooks.hostIsWindow(host)) return;
    std::string version = std::string("TorvexScript ") + kProgramVersion;
    // The message announces 16 bytes more than the text: they are there, as zeros.
    std::vector<char> data(version.begin(), version.end());
    data.resize(version.size() + 16, 0);
    gHooks.sendCopyData(host, kCopyDataTag, data.data(), uint32_t(data.size()));
}

}  // namespace

const char* UsageText() { return kUsage; }

bool TakeHostSwitch(std::string& line, uintptr_t& host) {
    size_t at = 0;
    while ((at = line.find("/#", at)) != std::string::npos) {
        size_t i = at + 2;
        size_t digits = i;
        if (digits < line.size() && line[digits] == '-') ++digits;
        size_t end = digits;
        while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
        if (end > digits) {
            long long v = 0;
            for (size_t k = digits; k < end && k < digits + 18; ++k) v = v * 10 + (line[k] - '0');
            if (digits > i) v = -v;
            host = uintptr_t(v);
            line.erase(at, end - at);
            return true;
        }
        if (i >= line.size() || static_cast<unsigned char>(line[i]) <= 47) {
            host = 0;
            line.erase(at, 2);
            return true;
        }
        at = i;
    }
    return false;
}

void SplitScriptName(const std::string& lineIn, std::string& name, std::string& remainder) {
    std::string line = trimmed(lineIn);
    size_t restAt;
    if (!line.empty() && line[0] == '"') {
        size_t close = line.find('"', 1);
        if (close == std::string::npos) {
            name = line;
            restAt = line.size();
        } else {
            name = line.substr(1, close - 1);
            restAt = close + 1;
        }
    } else {
        size_t end = 0;
        while (end < line.size() && !isBlankChar(line[end])) ++end;
        name = line.substr(0, end);
        restAt = end;
    }
    while (restAt < line.size() && isBlankChar(line[restAt])) ++restAt;
    if (restAt < line.size() && line[restAt] == ',') ++restAt;
    name = trimmed(name);
    remainder = trimmed(line.substr(restAt));
}

CommandWords CommandLineFromArgs(const std::vector<std::string>& argsIn) {
    CommandWords out;
    // The host switch is cut out before anything else reads the command line, wherever it
    // stands: "/#12demo" leaves "demo", and "demo /#5 x" leaves "demo x".
    std::vector<std::string> args = argsIn;
    for (size_t k = 0; k < args.size(); ++k) {
        uintptr_t host = 0;
        if (TakeHostSwitch(args[k], host)) {
            out.host = host;
            if (trimmed(args[k]).empty()) args.erase(args.begin() + std::ptrdiff_t(k));
            break;
        }
    }
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("/#", 0) == 0) {
            std::string rest = a;
            uintptr_t host = 0;
            if (TakeHostSwitch(rest, host) && trimmed(rest).empty()) {
                out.host = host;
                continue;
            }
        }
        bool looksLikeSwitch = a.rfind("/", 0) == 0 || a.rfind("--", 0) == 0;
        if (!looksLikeSwitch || plat::pathExists(a)) break;
        if (a == "--help") out.help = true;
        else out.badSwitch = true;
        return out;
    }
    for (size_t k = i; k < args.size(); ++k) {
        const std::string& a = args[k];
        if (k > i) out.commandLine += ' ';
        bool quote = k == i && (a.empty() || a.find_first_of(" \t") != std::string::npos);
        if (quote) out.commandLine += '"' + a + '"';
        else out.commandLine += a;
    }
    return out;
}

int ProgramBody(const std::string& commandLine, bool badSwitch) {
    int status = 0;
    resetEngine();
    gScript.indent.clear();
    gScript.randomState = KroTimerRead();
    gHooks.resetTextOutput();
    gProgram.systemIsNT = true;
    gProgram.title = "TorvexScript";
    std::string line = trimmed(commandLine);
    gHooks.closeWindow();
    gHooks.resetTextOutput();
    gProgram.mousePresent = plat::getSystemMetrics(plat::SM_MOUSEPRESENT) != 0;

    bool skipFiles = false;
    if (badSwitch) {
        showUsage();
        skipFiles = true;
        status = 2;
    } else {
        std::string name, remainder;
        SplitScriptName(line, name, remainder);
        gScript.commandLineRemainder = remainder;
        gScript.scriptName.clear();
        try {
            if (!name.empty()) {
                if (!RunScript(name.c_str(), nullptr)) ScriptError("  Error opening:\r\n    ", name.c_str(), "\r\n");
            } else if (!RunScript("autoexec.ss", nullptr)) {
                showUsage();
                skipFiles = true;
                status = 2;
            }
        } catch (const ScriptAbort&) {
            status = 1;
        }
    }
    if (!skipFiles) {
        closeAllFiles();
        gHooks.closeWindow();
    }
    gHooks.resetTextOutput();
    gHooks.restoreDisplayMode();
    if (gProgram.aboutFlag) {
        std::string title = std::string("TorvexScript - V") + kProgramVersion;
        ScriptMessageBox(title.c_str(), kAboutText, nullptr, nullptr, false);
    }
    return status;
}

int RunProgram(const std::string& commandLineIn) {
    gProgram = ProgramState{};
    std::string line = commandLineIn;
    uintptr_t host = 0;
    if (TakeHostSwitch(line, host)) gProgram.hostWindow = host;
    handshake();
    gHooks.pumpMessages();
    // Only the first word can be a switch here: the script name and what follows it never are.
    std::string name, remainder;
    SplitScriptName(line, name, remainder);
    bool badSwitch = (name.rfind("/", 0) == 0 || name.rfind("--", 0) == 0) && !plat::pathExists(name);
    int status = ProgramBody(line, badSwitch);
    farewell();
    return status;
}

int ProgramMain(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    CommandWords words = CommandLineFromArgs(args);
    if (words.help) {
        for (const char* p = kUsage; *p; ++p)
            if (*p != '\r') std::fputc(*p, stdout);
        return 0;
    }
    gProgram = ProgramState{};
    gProgram.hostWindow = words.host;
    handshake();
    gHooks.pumpMessages();
    int status = ProgramBody(words.commandLine, words.badSwitch);
    farewell();
    return status;
}

}  // namespace engine
