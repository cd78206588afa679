// The loader, the record loop, labels, the script stack, the debug trace and ScriptError.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kroutil/kro_file.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/window.h"
#include "player/engine/commands.h"
#include "player/engine/io_commands.h"
#include "player/engine/program.h"
#include "player/engine/script.h"

namespace engine {

ScriptState gScript;

namespace {

void noop() {}
bool noFalse() { return false; }
uintptr_t noWindow() { return 0; }
void noLine(const char*) {}
void noMode(int32_t, int32_t) {}
// The host window is any window of the platform's window service (a handle that names none is
// not greeted).
bool hostIsWindow(uintptr_t handle) { return plat::isWindow(handle); }
std::string hostTitle(uintptr_t handle, int maxChars) {
    std::string t = plat::getWindowText(handle);
    if (t.size() > size_t(maxChars)) t.resize(size_t(maxChars));
    return t;
}
intptr_t hostSend(uintptr_t handle, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return plat::sendMessage(handle, message, wParam, lParam);
}
void hostCopyData(uintptr_t handle, uint32_t dwData, const char* data, uint32_t size) {
    plat::COPYDATASTRUCT cds;
    cds.dwData = dwData;
    cds.cbData = size;
    cds.lpData = data;
    plat::sendMessage(handle, plat::WM_COPYDATA, 0, reinterpret_cast<intptr_t>(&cds));
}

// Sorted by name in ascending byte order (the loader's binary search relies on it). A row
// names its handler, or for the presentation runtime's commands the runtime file that registers
// the handler at start-up (see CommandOwner).
CommandEntry gTable[kCommandCount] = {
    {"ANIMATIONADVANCE", CommandOwner::Animation},
    {"ANIMATIONADVANCENOPALETTE", CommandOwner::Animation},
    {"ANIMATIONBACKTOSTART", CommandOwner::Animation},
    {"ANIMATIONCLOSE", CommandOwner::Animation},
    {"ANIMATIONDELAY", CommandOwner::Animation},
    {"ANIMATIONFRAMES", CommandOwner::Animation},
    {"ANIMATIONGOTO", CommandOwner::Animation},
    {"ANIMATIONHEIGHT", CommandOwner::Animation},
    {"ANIMATIONLIST", CommandOwner::Animation},
    {"ANIMATIONLOADTOBITMAP", CommandOwner::Animation},
    {"ANIMATIONOPEN", CommandOwner::Animation},
    {"ANIMATIONPLAY", CommandOwner::Animation},
    {"ANIMATIONSTILLDELAY", CommandOwner::Animation},
    {"ANIMATIONTOBITMAP", CommandOwner::Animation},
    {"ANIMATIONTOSCREEN", CommandOwner::Animation},
    {"ANIMATIONTRACKS", CommandOwner::Animation},
    {"ANIMATIONWIDTH", CommandOwner::Animation},
    {"BITMAPALLOC", CommandOwner::Bitmaps},
    {"BITMAPBOX", CommandOwner::Bitmaps},
    {"BITMAPCHANGECOLOR", CommandOwner::Bitmaps},
    {"BITMAPCLEAR", CommandOwner::Bitmaps},
    {"BITMAPFADEINPALETTE", CommandOwner::Bitmaps},
    {"BITMAPFILLEDBOX", CommandOwner::Bitmaps},
    {"BITMAPFREE", CommandOwner::Bitmaps},
    {"BITMAPFROMSCREEN", CommandOwner::Bitmaps},
    {"BITMAPGETBRIGHTESTPALETTEINDEX", CommandOwner::Bitmaps},
    {"BITMAPGETDARKESTPALETTEINDEX", CommandOwner::Bitmaps},
    {"BITMAPGETPALETTE", CommandOwner::Bitmaps},
    {"BITMAPGETPALETTEVALUE", CommandOwner::Bitmaps},
    {"BITMAPGETPIXEL", CommandOwner::Bitmaps},
    {"BITMAPHEIGHT", CommandOwner::Bitmaps},
    {"BITMAPLINE", CommandOwner::Bitmaps},
    {"BITMAPLIST", CommandOwner::Bitmaps},
    {"BITMAPPALETTETOPALETTE", CommandOwner::Bitmaps},
    {"BITMAPSETPALETTE", CommandOwner::Bitmaps},
    {"BITMAPSETPALETTEVALUE", CommandOwner::Bitmaps},
    {"BITMAPSETPIXEL", CommandOwner::Bitmaps},
    {"BITMAPTEXT", CommandOwner::Bitmaps},
    {"BITMAPTOBITMAP", CommandOwner::Bitmaps},
    {"BITMAPTOBITMAPMASK", CommandOwner::Bitmaps},
    {"BITMAPTOBITMAPMERGE", CommandOwner::Bitmaps},
    {"BITMAPTOBITMAPTRANS", CommandOwner::Bitmaps},
    {"BITMAPTOSCREEN", CommandOwner::Bitmaps},
    {"BITMAPTOSCREENMASK", CommandOwner::Bitmaps},
    {"BITMAPTOSCREENMERGE", CommandOwner::Bitmaps},
    {"BITMAPTOSCREENTRANS", CommandOwner::Bitmaps},
    {"BITMAPWIDTH", CommandOwner::Bitmaps},
    {"CALL", cmdCall},
    {"CALLANDGOSUB", cmdCallAndGosub},
    {"COMPUTE", cmdCompute},
    {"COMPUTEABS", cmdComputeAbs},
    {"COMPUTESQRT", cmdComputeSqrt},
    {"DEBUGFILE", cmdDebugFile},
    {"DEBUGTEXT", cmdDebugText},
    {"DELAY", cmdDelay},
    {"DELAYUNTIL", cmdDelayUntil},
    {"DIRCHANGE", cmdDirChange},
    {"DIRCURRENT", cmdDirCurrent},
    {"DIREXISTS", cmdDirExists},
    {"DIRMAKE", cmdDirMake},
    {"DIRREMOVE", cmdDirRemove},
    {"DRIVEAVAIL", cmdDriveAvail},
    {"DRIVESIZE", cmdDriveSize},
    {"END", cmdEnd},
    {"ENVGET", cmdEnvGet},
    {"ENVSET", cmdEnvSet},
    {"EXECUTE", cmdExecute},
    {"EXIT", cmdExit},
    {"FILEAPPEND", cmdFileAppend},
    {"FILECDROM", cmdFileCdRom},
    {"FILECLOSE", cmdFileClose},
    {"FILECOPY", cmdFileCopy},
    {"FILECREATE", cmdFileCreate},
    {"FILEDELETE", cmdFileDelete},
    {"FILEEOF", cmdFileEof},
    {"FILEEXISTS", cmdFileExists},
    {"FILEFIND", cmdFileFind},
    {"FILEFINDNEXT", cmdFileFindNext},
    {"FILEFULLPATH", cmdFileFullPath},
    {"FILEGETATTRIB", cmdFileGetAttrib},
    {"FILELIST", cmdFileList},
    {"FILEOPEN", cmdFileOpen},
    {"FILEPIECES", cmdFilePieces},
    {"FILEREAD", cmdFileRead},
    {"FILEREMOTE", cmdFileRemote},
    {"FILEREMOVABLE", cmdFileRemovable},
    {"FILERENAME", cmdFileRename},
    {"FILESETATTRIB", cmdFileSetAttrib},
    {"FILESIZE", cmdFileSize},
    {"FILETEMP", cmdFileTemp},
    {"FILEWRITE", cmdFileWrite},
    {"GOSUB", cmdGosub},
    {"GOTO", cmdGoto},
    {"IF", cmdIf},
    {"IFSET", cmdIfSet},
    {"INPUTCHAR", CommandOwner::Input},
    {"INPUTCHARORDELAY", CommandOwner::Input},
    {"INPUTMSGWIN", CommandOwner::Input},
    {"INPUTSTR", CommandOwner::Input},
    {"INPUTSTRWIN", CommandOwner::Input},
    {"INTERPRET", cmdInterpret},
    {"MCISENDSTRING", cmdMciSendString},
    {"MOUSEADD", CommandOwner::Mouse},
    {"MOUSEAREA", CommandOwner::Mouse},
    {"MOUSEMODE", CommandOwner::Mouse},
    {"MOUSEPOP", CommandOwner::Mouse},
    {"MOUSEPRESENT", CommandOwner::Mouse},
    {"MOUSEPUSHANDREMOVEALL", CommandOwner::Mouse},
    {"MOUSEREMOVE", CommandOwner::Mouse},
    {"MOUSEREMOVEALL", CommandOwner::Mouse},
    {"MOUSESETXY", CommandOwner::Mouse},
    {"MOUSEX", CommandOwner::Mouse},
    {"MOUSEY", CommandOwner::Mouse},
    {"PRINTBEGIN", cmdPrintBegin},
    {"PRINTEND", cmdPrintEnd},
    {"PRINTPAGEADV", cmdPrintPageAdv},
    {"RANDOM", cmdRandom},
    {"RANDOMIZE", cmdRandomize},
    {"RETURN", cmdReturn},
    {"SCREENADJUSTXY", CommandOwner::Draw},
    {"SCREENBOX", CommandOwner::Draw},
    {"SCREENCLEAR", CommandOwner::Draw},
    {"SCREENFADEOUTCLEAR", CommandOwner::Draw},
    {"SCREENFADESPEED", CommandOwner::Draw},
    {"SCREENFILLEDBOX", CommandOwner::Draw},
    {"SCREENFORCEPALETTEZEROBLACK", CommandOwner::Draw},
    {"SCREENGETBRIGHTESTPALETTEINDEX", CommandOwner::Draw},
    {"SCREENGETDARKESTPALETTEINDEX", CommandOwner::Draw},
    {"SCREENGETPIXEL", CommandOwner::Draw},
    {"SCREENGRAPHICS", CommandOwner::Window},
    {"SCREENHEIGHT", CommandOwner::Window},
    {"SCREENINFO", CommandOwner::Window},
    {"SCREENLINE", CommandOwner::Draw},
    {"SCREENPALETTELOCK", CommandOwner::Draw},
    {"SCREENSETPIXEL", CommandOwner::Draw},
    {"SCREENSETTINGS", CommandOwner::Window},
    {"SCREENTEXT", CommandOwner::Window},
    {"SCREENWIDTH", CommandOwner::Window},
    {"SCREENWINDOWAUTOPAUSE", CommandOwner::Window},
    {"SCREENWINDOWBORDER", CommandOwner::Window},
    {"SCREENWINDOWHASFOCUS", CommandOwner::Window},
    {"SCREENWINDOWHPAL", CommandOwner::Window},
    {"SCREENWINDOWHWND", CommandOwner::Window},
    {"SCREENWINDOWPOS", CommandOwner::Window},
    {"SCREENWINDOWTITLE", CommandOwner::Window},
    {"SOUND", CommandOwner::Sound},
    {"STRADDBACKSLASH", cmdStrAddBackslash},
    {"STRFIND", cmdStrFind},
    {"STRFIRST", cmdStrFirst},
    {"STRISLABEL", cmdStrIsLabel},
    {"STRISNUMERIC", cmdStrIsNumeric},
    {"STRLCASE", cmdStrLCase},
    {"STRLENGTH", cmdStrLength},
    {"STRLPAD", cmdStrLPad},
    {"STRLPADZERO", cmdStrLPadZero},
    {"STRPIECE", cmdStrPiece},
    {"STRREPEAT", cmdStrRepeat},
    {"STRRPAD", cmdStrRPad},
    {"STRTRIM", cmdStrTrim},
    {"STRUCASE", cmdStrUCase},
    {"SYSTEMCOLORS", cmdSystemColors},
    {"SYSTEMCOMMANDLINE", cmdSystemCommandLine},
    {"SYSTEMCURRENTEXE", cmdSystemCurrentExe},
    {"SYSTEMCURRENTSCRIPT", cmdSystemCurrentScript},
    {"SYSTEMDATETIME", cmdSystemDateTime},
    {"SYSTEMDISPLAYRESOLUTION", cmdSystemDisplayResolution},
    {"SYSTEMMEMORY", cmdSystemMemory},
    {"SYSTEMOSMAJOR", cmdSystemOsMajor},
    {"SYSTEMOSMINOR", cmdSystemOsMinor},
    {"SYSTEMPLATFORM", cmdSystemPlatform},
    {"SYSTEMTIMER", cmdSystemTimer},
    {"SYSTEMUSEDIRECTSOUND", CommandOwner::System},
    {"SYSTEMUSEMMX", CommandOwner::System},
    {"TEXT", CommandOwner::Text},
    {"TEXTBACKCOLOR", CommandOwner::Text},
    {"TEXTBEGIN", CommandOwner::Text},
    {"TEXTCOLOR", CommandOwner::Text},
    {"TEXTFONTFROMBITMAP", CommandOwner::Text},
    {"TEXTNOCR", CommandOwner::Text},
    {"TEXTSETXY", CommandOwner::Text},
    {"TEXTTRANSCOLOR", CommandOwner::Text},
    {"TEXTX", CommandOwner::Text},
    {"TEXTY", CommandOwner::Text},
    {"VARFREE", cmdVarFree},
    {"VARLIST", cmdVarList},
    {"VARPOP", cmdVarPop},
    {"VARPUSH", cmdVarPush},
    {"VARSET", cmdVarSet},
};

constexpr int kScriptBufferSize = 3072;

// Without the runtime installed (the engine on its own) its commands have no handler.
inline void callHandler(int index) {
    if (CommandHandler h = gTable[index].handler) h();
    else commandNotAvailable();
}

// Reads script lines one at a time from a KroFile or from a text in memory. A line longer than
// 767 characters is cut there and the rest of it is dropped; the line end and any CR/LF before
// it are removed. A NUL byte ends the line's text.
struct LineReader {
    KroFile* file = nullptr;
    const std::string* text = nullptr;
    size_t pos = 0;

    bool atEnd() const { return file ? KroFileAtEnd(file) != 0 : pos >= text->size(); }
    int next() {
        if (file) return KroFileAtEnd(file) ? -1 : int(KroFileGet8(file) & 0xFF);
        return pos < text->size() ? int(static_cast<unsigned char>((*text)[pos++])) : -1;
    }
    void readLine(char* dest) {
        size_t n = 0;
        for (;;) {
            int c = next();
            if (c < 0 || c == '\n') break;
            if (n < size_t(kLineSize - 1)) dest[n++] = char(c);
        }
        while (n && (dest[n - 1] == '\n' || dest[n - 1] == '\r')) --n;
        dest[n] = 0;
    }
};

// Splits the command name off the front of src (up to the first blank; the blanks after it and
// one ',' after those are dropped) into gScript.commandName, upper-cased; returns the rest.
const char* splitCommandName(const char* src) {
    size_t n = 0;
    while (src[n] && !isBlank(src[n])) {
        gScript.commandName[n] = upperAscii(src[n]);
        ++n;
    }
    gScript.commandName[n] = 0;
    const char* rest = src + n;
    while (*rest && isBlank(*rest)) ++rest;
    if (*rest == ',') ++rest;
    return rest;
}

// True when the first word of a line is TEXTEND, in any letter case.
bool isTextEnd(const char* p) {
    while (*p && isBlank(*p)) ++p;
    static const char kWord[] = "TEXTEND";
    for (size_t i = 0; i < sizeof kWord - 1; ++i)
        if (upperAscii(p[i]) != kWord[i]) return false;
    return p[sizeof kWord - 1] == 0 || isBlank(p[sizeof kWord - 1]);
}

void addRecord(CompiledScript& out, uint32_t lineNumber, uint8_t command, const char* text) {
    Record r;
    r.line = lineNumber;
    r.command = command;
    r.length = uint16_t(std::strlen(text));
    r.text = uint32_t(out.text.size());
    out.text.insert(out.text.end(), text, text + r.length + 1);
    out.records.push_back(r);
}

void compile(LineReader& reader, CompiledScript& out) {
    char* line = gScript.commandText;
    uint32_t lineNumber = 1;
    bool inText = false;  // between a TEXTBEGIN line and its TEXTEND
    while (!reader.atEnd()) {
        PumpMessages();
        reader.readLine(line);
        gScript.currentLine = lineNumber;
        if (inText) {
            inText = !isTextEnd(line);
            addRecord(out, lineNumber, inText ? kTextLineRecord : kTextEndRecord, inText ? line : "");
            ++lineNumber;
            continue;
        }
        char* p = line;
        while (*p && isBlank(*p)) ++p;
        if (*p == 0 || *p == '#') {
        } else if (*p == ':') {
            if (gScript.labelCount >= kMaxLabels) ScriptError("  Too many labels.", nullptr, nullptr);
            char* hash = std::strchr(p, '#');
            if (hash) *hash = 0;
            size_t n = std::strlen(p);
            while (n && isBlank(p[n - 1])) --n;
            p[n] = 0;
            Label& label = gScript.labels[gScript.labelCount++];
            // Names longer than 31 characters keep their first 31 (the field's size).
            size_t k = 0;
            for (const char* q = p + 1; *q && k < size_t(kLabelSize - 1); ++q) label.name[k++] = upperAscii(*q);
            label.name[k] = 0;
            label.position = uint32_t(out.records.size());
        } else {
            std::memmove(line, p, std::strlen(p) + 1);
            const char* rest = splitCommandName(line);
            int index = findCommand(gScript.commandName);
            if (index < 0) {
                char detail[kLineSize * 2];
                std::snprintf(detail, sizeof detail, "%s %s", gScript.commandName, rest);
                ScriptError("  Bad script command:\r\n    ", detail, "\r\n");
            }
            addRecord(out, lineNumber, uint8_t(index), rest);
            inText = std::strcmp(gScript.commandName, "TEXTBEGIN") == 0;
        }
        ++lineNumber;
    }
}

void writeDebugLineEnd() {
    if (debugOpen()) debugWrite("\r\n", 2);
}

void betweenCommands() {
    PumpMessages();
    while (gHooks.autoPauseWaiting() && gScript.control != kEndAll) {
        plat::sleepMs(1);
        PumpMessages();
        CountStep();
    }
}

// Executes the command text (from INTERPRET, a true IF, or after ';'). False when there is
// nothing to execute.
bool executeText() {
    const char* t = gScript.commandText;
    if (*t == 0 || *t == '#') return false;
    std::memcpy(gScript.paramBuffer, t, std::strlen(t) + 1);
    const char* rest = splitCommandName(gScript.paramBuffer);
    int index = findCommand(gScript.commandName);
    if (index < 0) CommandError("  Bad script command:\r\n    ");
    gScript.param = const_cast<char*>(rest);
    if (debugOpen()) ReportScriptText(" -> ");
    callHandler(index);
    writeDebugLineEnd();
    CountStep();
    return true;
}

void executeRecords(const char* startLabel) {
    static const std::vector<size_t> nameLengths = [] {
        std::vector<size_t> v;
        for (const CommandEntry& e : gTable) v.push_back(std::strlen(e.name));
        return v;
    }();
    const CompiledScript& s = *gScript.script;
    if (startLabel) {
        char name[kLineSize];
        std::snprintf(name, sizeof name, "%s", startLabel);
        int index = LookupLabel(name);
        if (index < 0) ScriptError("  Label not found:\r\n    ", name, "\r\n");
        gScript.position = gScript.labels[index].position;
        writeDebugLineEnd();
    }
    while (gScript.position < gScript.end && gScript.control != kEndAll) {
        const Record& r = s.records[gScript.position++];
        if (r.command >= kCommandCount) continue;  // text that no TEXTBEGIN printed
        gScript.currentLine = r.line;
        const char* text = s.text.data() + r.text;
        std::memcpy(gScript.paramBuffer, text, size_t(r.length) + 1);
        gScript.param = gScript.paramBuffer;
        const char* name = gTable[r.command].name;
        size_t nameLength = nameLengths[r.command];
        std::memcpy(gScript.commandText, name, nameLength);
        gScript.commandText[nameLength] = ' ';
        size_t room = size_t(kLineSize - 2) - nameLength;
        size_t n = std::min<size_t>(r.length, room);
        std::memcpy(gScript.commandText + nameLength + 1, text, n);
        gScript.commandText[nameLength + 1 + n] = 0;
        if (debugOpen()) ReportScriptText("");
        callHandler(r.command);
        writeDebugLineEnd();
        CountStep();
        for (;;) {
            betweenCommands();
            uint8_t flag = gScript.control;
            if (flag == kExecuteText) {
                gScript.control = kRunOn;
                if (!executeText()) break;
                continue;
            }
            if (flag == kEndFile) {
                gScript.control = kRunOn;
                return;
            }
            if (flag == kEndAll) return;
            char* p = gScript.param;
            while (*p && isBlank(*p)) ++p;
            if (*p == ';') {
                ++p;
                while (*p && isBlank(*p)) ++p;
                size_t len = std::strlen(p);
                while (len && isBlank(p[len - 1])) --len;
                std::memmove(gScript.commandText, p, len);
                gScript.commandText[len] = 0;
                if (!executeText()) break;
                continue;
            }
            if (*p == 0 || *p == '#') break;
            CommandError("  Bad script command:\r\n    ");
        }
    }
}

}  // namespace

RuntimeHooks gHooks = {noop,   noop,    noop,   noop,   noFalse,   noFalse, noWindow,
                       noLine, hostIsWindow, hostTitle, hostSend, hostCopyData, noop,
                       noop,   noMode};

const CommandEntry* commandTable() { return gTable; }

int findCommand(const char* upperName) {
    int lo = 0, hi = kCommandCount - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int c = std::strcmp(gTable[mid].name, upperName);
        if (c == 0) return mid;
        if (c < 0) lo = mid + 1;
        else hi = mid - 1;
    }
    return -1;
}

bool registerCommand(CommandOwner owner, const char* name, CommandHandler handler) {
    int i = findCommand(name);
    if (i < 0 || gTable[i].owner != owner) return false;
    return registerCommand(name, handler);
}

bool registerCommand(const char* name, CommandHandler handler) {
    int i = findCommand(name);
    if (i < 0 || !handler) return false;
    gTable[i].handler = handler;
    return true;
}

void commandNotAvailable() { CommandError("  Command not available yet:\r\n    "); }

void resetEngine() {
    for (int i = 0; i < kFileSlots; ++i) {
        if (gScript.fileSlots[i]) KroFileClose(gScript.fileSlots[i]);
        gScript.fileSlots[i] = nullptr;
    }
    gScript.commandText[0] = gScript.paramBuffer[0] = gScript.commandName[0] = 0;
    gScript.param = gScript.paramBuffer;
    gScript.debugSlot = gScript.printSlot = kNoSlot;
    gScript.labelCount = gScript.firstLabel = 0;
    gScript.stackDepth = gScript.fileStackBase = 0;
    gScript.script = nullptr;
    gScript.position = gScript.end = 0;
    gScript.scriptName.clear();
    gScript.currentLine = 0;
    gScript.control = kRunOn;
    gScript.indent.clear();
    gScript.randomState = 0;
    gScript.commandLineRemainder.clear();
    gScript.steps = 0;
    resetVariables();
    resetIoCommands();
}

int findFreeSlot() {
    for (int i = 0; i < kFileSlots; ++i)
        if (!gScript.fileSlots[i]) return i;
    return -1;
}

void closeAllFiles() {
    for (int i = 0; i < kFileSlots; ++i) {
        if (gScript.fileSlots[i]) KroFileClose(gScript.fileSlots[i]);
        gScript.fileSlots[i] = nullptr;
    }
    gScript.debugSlot = gScript.printSlot = kNoSlot;
}

bool debugOpen() { return gScript.debugSlot != kNoSlot; }

void debugWrite(const char* text, size_t length) {
    if (!debugOpen() || !length) return;
    KroFilePut(gScript.fileSlots[gScript.debugSlot], text, uint32_t(length));
}
void debugWrite(const char* text) {
    if (text) debugWrite(text, std::strlen(text));
}
void debugFlush(bool commit) {
    if (debugOpen()) KroFileFlush(gScript.fileSlots[gScript.debugSlot], commit ? 1 : 0);
}

void WriteListing(const std::vector<std::string>& lines, bool windowRequired) {
    if (windowRequired && !gHooks.windowExists())
        ScriptError("  A window hasn't been created yet (use ScreenGraphics first).\r\n", nullptr, nullptr);
    if (debugOpen()) {
        debugWrite("\r\n");
        for (const std::string& line : lines) {
            debugWrite(line.data(), line.size());
            debugWrite("\r\n");
        }
        debugFlush(true);
        return;
    }
    for (const std::string& line : lines) gHooks.writeWindowLine(line.c_str());
}

void PumpMessages() {
    gHooks.pumpMessages();
    gHooks.serviceSound();
}

void CountStep() {
    ++gScript.steps;
    if (gScript.maxSteps && gScript.steps >= gScript.maxSteps) gScript.control = kEndAll;
}

void ReportScriptText(const char* prefix) {
    if (!debugOpen()) return;
    char field[16];
    int n = std::snprintf(field, sizeof field, "%u:", unsigned(gScript.currentLine));
    for (; n < 7; ++n) field[n] = ' ';
    field[7] = 0;
    debugWrite(gScript.indent.data(), gScript.indent.size());
    debugWrite(prefix);
    debugWrite(field, 7);
    debugWrite(gScript.commandText);
}

int LookupLabel(char* name) {
    upperInPlace(name);
    char key[kLabelSize];  // compared within the field's 31 characters
    size_t n = 0;
    for (; name[n] && n < size_t(kLabelSize - 1); ++n) key[n] = name[n];
    key[n] = 0;
    for (int i = gScript.labelCount - 1; i >= gScript.firstLabel; --i)
        if (std::strcmp(gScript.labels[i].name, key) == 0) return i;
    return -1;
}

int ScriptMessageBox(const char* title, const char* a, const char* b, const char* c, bool errorIcon) {
    std::string text;
    for (const char* piece : {a, b, c})
        if (piece) text += piece;
    if (text.size() > 2047) text.resize(2047);
    // Owned by the presentation window, or by the host window while there is none.
    uintptr_t owner = gHooks.windowHandle();
    if (!owner) owner = gProgram.hostWindow;
    return plat::messageBox(owner, text.c_str(), title ? title : gProgram.title.c_str(),
                            errorIcon ? plat::MB_ICONHAND : 0);
}

void ScriptError(const char* message, const char* detail, const char* tail) {
    gHooks.closeWindow();
    gHooks.resetTextOutput();
    std::string location = tail ? tail : "";
    if (!gScript.scriptName.empty()) {
        location += "  In script file: ";
        location += gScript.scriptName;
        location += "  At line number: ";
        location += std::to_string(gScript.currentLine);
        location += ".\r\n";
    }
    if (debugOpen()) {
        debugWrite("\r\n");
        debugWrite(message);
        debugWrite(detail);
        debugWrite(tail);
        debugWrite("\r\n");
    }
    ScriptMessageBox("Error", message, detail, location.c_str(), true);
    throw ScriptAbort{};
}

void CommandError(const char* message) { ScriptError(message, gScript.commandText, "\r\n"); }

std::string withDefaultExtension(std::string name, const char* extension) {
    size_t lastSep = name.find_last_of("\\:/");
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || (lastSep != std::string::npos && dot < lastSep)) name += extension;
    return name;
}

bool RunScript(const char* nameIn, const char* startLabel) {
    const size_t savedIndent = gScript.indent.size();
    gScript.indent += "  ";
    std::string name = withDefaultExtension(nameIn ? nameIn : "", ".ss");

    // A file started while the script stack is full could not push the end of its records:
    // reported as for GOSUB, at the line that started it.
    if (gScript.stackDepth >= kStackSize) ScriptError("  Too many GOSUBs.", nullptr, nullptr);
    int slot = findFreeSlot();
    std::string memoryText;
    KroFile* file = nullptr;
    bool opened = false;
    if (slot >= 0) {
        if (gScript.source) {
            opened = gScript.source(name.c_str(), memoryText);
        } else {
            file = KroFileOpen(kScriptBufferSize, name.c_str(), KRO_FILE_READ);
            opened = file != nullptr;
        }
    }
    if (!opened) {
        gScript.indent.resize(savedIndent);
        return false;
    }
    gScript.fileSlots[slot] = file;  // a text from memory occupies no slot

    gScript.scriptName = name;
    const int callerFirstLabel = gScript.firstLabel;
    const int callerDepth = gScript.stackDepth;
    const int callerBase = gScript.fileStackBase;
    const CompiledScript* callerScript = gScript.script;
    const uint32_t callerPosition = gScript.position;
    const uint32_t callerEnd = gScript.end;
    gScript.firstLabel = gScript.labelCount;

    CompiledScript compiled;
    {
        LineReader reader;
        reader.file = file;
        reader.text = &memoryText;
        if (file) {
            uint64_t size = KroFileSize(file);
            compiled.text.reserve(size_t(std::min<uint64_t>(size, 1u << 26)) + 8);
        }
        compile(reader, compiled);
    }
    if (file) KroFileClose(file);
    gScript.fileSlots[slot] = nullptr;

    gScript.fileStackBase = gScript.stackDepth;
    gScript.stack[gScript.stackDepth++] = uint32_t(compiled.records.size());
    gScript.script = &compiled;
    gScript.position = 0;
    gScript.end = uint32_t(compiled.records.size());

    executeRecords(startLabel);

    gScript.labelCount = gScript.firstLabel;
    gScript.firstLabel = callerFirstLabel;
    gScript.stackDepth = callerDepth;
    gScript.fileStackBase = callerBase;
    gScript.script = callerScript;
    gScript.position = callerPosition;
    gScript.end = callerEnd;
    writeDebugLineEnd();
    // The indentation of the caller comes back whole, even when GOSUBs of this file were left
    // pending or a RETURN ended it.
    gScript.indent.resize(savedIndent);
    return true;
}

}  // namespace engine
