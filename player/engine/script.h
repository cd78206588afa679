// The script engine: the interpreter state, the command table, parameters and variables.
//
// One interpreter per process. Every command handler is a function without arguments: it takes
// its parameters from the front of the current parameter text with FetchParam, stores results
// with SetVariable, steers the record loop only through the control flag, the position and the
// script stack, and reports problems through ScriptError, which never returns (it unwinds to the
// program body with a private exception type).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct KroFile;

namespace engine {

constexpr int kLineSize = 768;        // every line buffer: 767 characters and a NUL
constexpr int kCommandCount = 188;
constexpr int kFileSlots = 64;
constexpr int kStackSize = 64;
constexpr int kMaxLabels = 512;
constexpr int kLabelSize = 32;        // 31 characters and a NUL
constexpr int kVarStoreSize = 32768;
constexpr int kPushStackSize = 8192;
constexpr uint8_t kNoSlot = 255;
// SubstituteVariables gives up after this many replacements in one text, so that a value that
// refers to itself (directly or through others) still ends; the text is then taken as it is.
constexpr int kMaxSubstitutions = 256;

enum ParamKind : uint8_t {
    PARAM_TEXT = 0,
    PARAM_NUMBER = 1,
    PARAM_WORD = 2,
    PARAM_COMPARE = 3,
    PARAM_OPERATOR = 4,
    PARAM_NONE = 255,
};

// Control flag values.
enum : uint8_t { kRunOn = 0, kExecuteText = 1, kEndFile = 2, kEndAll = 3 };

using CommandHandler = void (*)();

// Who handles a command. The engine's own rows name their handler; the presentation runtime's
// rows name the runtime file whose handler it registers at start-up, so the table alone tells
// where every command is handled.
enum class CommandOwner : uint8_t {
    Engine,
    Window,     // player/runtime/screen_window.cpp
    Draw,       // player/runtime/screen_draw.cpp
    Bitmaps,    // player/runtime/bitmaps.cpp
    Text,       // player/runtime/text.cpp
    Mouse,      // player/runtime/mouse.cpp
    Input,      // player/runtime/input_commands.cpp
    Animation,  // player/runtime/animation.cpp
    Sound,      // player/runtime/sound_command.cpp
    System,     // player/runtime/system_options.cpp
};

struct CommandEntry {
    const char* name;
    CommandHandler handler;
    CommandOwner owner;

    constexpr CommandEntry(const char* n, CommandHandler h) : name(n), handler(h), owner(CommandOwner::Engine) {}
    constexpr CommandEntry(const char* n, CommandOwner o) : name(n), handler(nullptr), owner(o) {}
};

// Services of the presentation runtime: the engine calls the runtime only through these. On the
// engine's own (its tests, the fuzz target) they do nothing, as if no window existed; the host
// window services talk to the platform's window service. runtime::installRuntime fills them in
// before the program body starts.
struct RuntimeHooks {
    void (*pumpMessages)();            // remove and dispatch queued window messages
    void (*serviceSound)();            // TorvexServiceSound
    void (*closeWindow)();             // close the presentation window and all attached to it
    void (*resetTextOutput)();         // reset the text output state
    bool (*windowExists)();
    bool (*autoPauseWaiting)();        // auto-pause on, window exists and is not active
    uintptr_t (*windowHandle)();       // the presentation window, 0 = none
    void (*writeWindowLine)(const char* text);  // list lines on the window ("\n" appended)
    bool (*hostIsWindow)(uintptr_t handle);
    std::string (*windowTitle)(uintptr_t handle, int maxChars);
    intptr_t (*sendMessage)(uintptr_t handle, uint32_t message, uintptr_t wParam, intptr_t lParam);
    void (*sendCopyData)(uintptr_t handle, uint32_t dwData, const char* data, uint32_t size);
    void (*restoreDisplayMode)();
    void (*removeSoftwarePointer)();   // take the pointer the program draws itself off the screen
    // The presentation's full-screen mode size while its window is full screen (0, 0 = the
    // default mode); otherwise nothing.
    void (*changeDisplayMode)(int32_t width, int32_t height);
};
extern RuntimeHooks gHooks;

// One compiled command line.
struct Record {
    uint32_t line;      // 1-based source line (32 bits: files may have more than 65535 lines)
    uint8_t command;    // index in the command table, or one of the text record kinds below
    uint16_t length;    // bytes of the parameter text
    uint32_t text;      // offset of the parameter text in CompiledScript::text
};
// The lines after a TEXTBEGIN line are kept as raw text records (the parameter text is the
// whole line) up to a line whose first word is TEXTEND, kept as an end record. They are not
// commands: TEXTBEGIN prints them and the record loop passes over them.
constexpr uint8_t kTextLineRecord = 254;
constexpr uint8_t kTextEndRecord = 255;
static_assert(kCommandCount < kTextLineRecord, "text record kinds lie beyond the command table");

struct CompiledScript {
    std::vector<Record> records;
    std::vector<char> text;  // parameter texts, each NUL-terminated
};
struct Label {
    char name[kLabelSize];
    uint32_t position;  // record index after the label line
};

// Where script text comes from. Normally null: files are opened through the buffered file
// layer. Tests and the fuzz target may supply texts by name instead (false = cannot be opened).
using ScriptTextSource = bool (*)(const char* name, std::string& text);

struct ScriptState {
    char commandText[kLineSize];
    char paramBuffer[kLineSize];
    char* param;  // the parameter text: the part of paramBuffer not yet consumed
    char commandName[kLineSize];

    KroFile* fileSlots[kFileSlots];
    uint8_t debugSlot;
    uint8_t printSlot;

    Label labels[kMaxLabels];
    int labelCount;
    int firstLabel;

    uint32_t stack[kStackSize];
    int stackDepth;
    int fileStackBase;  // depth below the running file's own entries

    const CompiledScript* script;
    uint32_t position;
    uint32_t end;

    std::string scriptName;  // current script file name
    uint32_t currentLine;
    uint8_t control;
    std::string indent;      // debug indentation

    uint32_t randomState;
    std::string commandLineRemainder;

    // Harness controls (kept across resets).
    uint64_t steps;          // handler calls and wait rounds so far
    uint64_t maxSteps;       // 0 = no limit; reaching it ends all script files like END
    ScriptTextSource source;
    std::string debugFileOverride;  // non-empty: DEBUGFILE creates this file whatever its name
};
extern ScriptState gScript;

// Thrown by ScriptError, caught by the program body only.
struct ScriptAbort {};

// ---- interpreter (interpreter.cpp) --------------------------------------------------------

const CommandEntry* commandTable();  // kCommandCount entries, sorted by name
int findCommand(const char* upperName);  // binary search; -1 when unknown
// Sets the handler of a runtime command: false for unknown names and for a row that names
// another owner (the table says who handles each command).
bool registerCommand(CommandOwner owner, const char* name, CommandHandler handler);
// Replaces the handler of any command, whoever owns it (tests stand in their own handlers).
// False for unknown names.
bool registerCommand(const char* name, CommandHandler handler);
// What a command without a handler reports ("Command not available yet" and the text): the
// runtime's commands when the engine runs without the runtime installed.
void commandNotAvailable();

// Clears every piece of interpreter, variable and program state (the harness controls stay).
void resetEngine();
bool RunScript(const char* name, const char* startLabel);
// The name with the extension given ("." included) appended when its last part has none.
std::string withDefaultExtension(std::string name, const char* extension);
int LookupLabel(char* name);
[[noreturn]] void ScriptError(const char* message, const char* detail, const char* tail);
// The usual form: message, the command text, "\r\n".
[[noreturn]] void CommandError(const char* message);
void ReportScriptText(const char* prefix);
// Message box routine: joins up to three texts (max 2048 bytes) and shows the box.
int ScriptMessageBox(const char* title, const char* a, const char* b, const char* c, bool errorIcon);
void PumpMessages();  // pump and service sound
// Counts one step against the step limit (the limit ends all script files).
void CountStep();

bool debugOpen();
void debugWrite(const char* text);
void debugWrite(const char* text, size_t length);
void debugFlush(bool commit);
// Writes the lines of a listing command into the debug file when one is open, otherwise onto the
// presentation window. windowRequired (VARLIST, FILELIST): without a window the command fails
// with the script error box, debug file or not.
void WriteListing(const std::vector<std::string>& lines, bool windowRequired);
int findFreeSlot();
void closeAllFiles();

// ---- parameters and variables (variables.cpp) ---------------------------------------------

inline bool isBlank(char c) { return static_cast<signed char>(c) <= 32; }
inline char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }
ParamKind FetchParam(char* out, bool substitute);
void SubstituteVariables(char* text);
bool IsNumeric(const char* text);
int32_t toNumber(const char* text);
void GetVariable(char* out, const char* name);
void SetVariable(const char* name, const char* value);
void SetVariableNumber(const char* name, int32_t value);
int ValidateBitmapNumber(const char* text, bool allowZero, bool (*slotUsed)(int));
int ValidateAnimationNumber(const char* text, bool (*slotUsed)(int));
int ValidateFileNumber(const char* text);
void resetVariables();
// Store order listing ("NAME=value").
std::vector<std::string> listVariables();
// Variable store integrity (tests): entries well-formed and the end marker present.
bool variableStoreConsistent();
size_t variableStoreUsed();
size_t pushStackUsed();

// Parameter helpers with the conventional errors.
void fetchVariableName(char* out);  // PARAM_WORD, else "Needed a variable"
int32_t fetchNumber();              // PARAM_NUMBER, else "Needed a number"
void fetchAny(char* out);           // not PARAM_NONE, else "Needed a parameter"
void fetchNonEmpty(char* out);      // not PARAM_NONE and not empty
// Text helpers.
void trimInPlace(char* text);
void upperInPlace(char* text);
void skipLeadingBlanks();  // removes blanks from the front of the parameter text

// ---- system (system.cpp) ------------------------------------------------------------------
uint32_t nextRandom();

}  // namespace engine
