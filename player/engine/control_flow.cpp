// Control flow: conditions, jumps, subroutines, nested script files, executed text, waits.
#include <cstring>
#include <string>

#include "kroutil/kro_timer.h"
#include "platform/clock.h"
#include "player/engine/commands.h"
#include "player/engine/script.h"

namespace engine {

namespace {

// The left operand of a numeric comparison: digits only, after at most one blank and a minus.
bool isDigitsOnly(const char* t) {
    if (*t && isBlank(*t)) ++t;
    if (*t == '-') ++t;
    if (!*t) return false;
    for (; *t; ++t)
        if (*t < '0' || *t > '9') return false;
    return true;
}

}  // namespace

// Comparison of IF and IFSET (both operands already substituted).
bool compareValues(const char* a, const char* op, const char* b) {
    bool bytewise = op[0] == '@';
    const char* o = op + (bytewise ? 1 : 0);
    int c;
    if (isDigitsOnly(a) && IsNumeric(b)) {
        int32_t x = toNumber(a), y = toNumber(b);
        c = x < y ? -1 : (x > y ? 1 : 0);
    } else if (bytewise) {
        c = std::strcmp(a, b);  // strcmp compares as unsigned bytes
    } else {
        const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
        const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
        for (;; ++x, ++y) {
            unsigned char cx = static_cast<unsigned char>(upperAscii(char(*x)));
            unsigned char cy = static_cast<unsigned char>(upperAscii(char(*y)));
            if (cx != cy || !cx) {
                c = int(cx) - int(cy);
                break;
            }
        }
    }
    if (std::strcmp(o, "=") == 0) return c == 0;
    if (std::strcmp(o, "<>") == 0) return c != 0;
    if (std::strcmp(o, "<") == 0) return c < 0;
    if (std::strcmp(o, ">") == 0) return c > 0;
    if (std::strcmp(o, "<=") == 0) return c <= 0;
    if (std::strcmp(o, ">=") == 0) return c >= 0;
    return false;
}

namespace {

bool fetchCondition() {
    char a[kLineSize], op[kLineSize], b[kLineSize];
    fetchAny(a);
    fetchNonEmpty(op);
    fetchAny(b);
    bool result = compareValues(a, op, b);
    if (debugOpen()) debugWrite(result ? "  ***True " : "  ***False");
    return result;
}

// A label is taken as written when it is a bare word; a quoted label gets its %NAME%
// references. (Reading a bare word as a variable, as other text parameters are read, would make
// every GOTO DONE look up a variable DONE.)
void fetchLabel(char* out) {
    if (FetchParam(out, false) == PARAM_NONE || out[0] == 0)
        CommandError("  Needed a non-empty parameter in command:\r\n    ");
}

void jumpTo(char* label) {
    int index = LookupLabel(label);
    if (index < 0) ScriptError("  Label not found:\r\n    ", label, "\r\n");
    gScript.position = gScript.labels[index].position;
    if (debugOpen()) debugWrite("\r\n");
}

// Runs another script file; the caller's line buffers, line number and file name come back
// afterwards, so that what follows the CALL on its line and later errors refer to the caller.
void callScript(const char* name, const char* label) {
    std::string savedName = gScript.scriptName;
    std::string savedCommand = gScript.commandText;
    std::string savedParam = gScript.param;
    uint32_t savedLine = gScript.currentLine;
    if (!RunScript(name, label)) CommandError("  Error opening script in command:\r\n    ");
    gScript.scriptName = savedName;
    gScript.currentLine = savedLine;
    std::memcpy(gScript.commandText, savedCommand.c_str(), savedCommand.size() + 1);
    std::memcpy(gScript.paramBuffer, savedParam.c_str(), savedParam.size() + 1);
    gScript.param = gScript.paramBuffer;
}

void waitUntil(uint32_t target) {
    while (KroTimerRead() < target) {
        gHooks.serviceSound();
        uint32_t now = KroTimerRead();
        if (now >= target) break;
        if (plat::clockIsVirtual()) {
            // The virtual clock moves only when we sleep: take the whole wait at once.
            plat::sleepMs(target - now);
        } else {
            plat::sleepMs(target - now > 1 ? 1 : 0);
        }
        gHooks.pumpMessages();
        CountStep();
        if (gScript.control == kEndAll) break;
    }
}

}  // namespace

void cmdIf() {
    if (fetchCondition()) {
        std::memmove(gScript.commandText, gScript.param, std::strlen(gScript.param) + 1);
        gScript.control = kExecuteText;
    } else {
        *gScript.param = 0;
    }
}

void cmdIfSet() {
    char name[kLineSize], t[kLineSize], f[kLineSize];
    bool result = fetchCondition();
    fetchVariableName(name);
    fetchAny(t);
    fetchAny(f);
    SetVariable(name, result ? t : f);
}

void cmdGoto() {
    char label[kLineSize];
    fetchLabel(label);
    jumpTo(label);
}

void cmdGosub() {
    char label[kLineSize];
    fetchLabel(label);
    if (gScript.stackDepth >= kStackSize) ScriptError("  Too many GOSUBs.", nullptr, nullptr);
    int index = LookupLabel(label);
    if (index < 0) ScriptError("  Label not found:\r\n    ", label, "\r\n");
    gScript.indent += "  ";
    gScript.stack[gScript.stackDepth++] = gScript.position;
    gScript.position = gScript.labels[index].position;
    if (debugOpen()) debugWrite("\r\n");
}

void cmdReturn() {
    skipLeadingBlanks();
    // Only the running file's own entries are taken (its GOSUBs and the end of its records).
    if (gScript.stackDepth > gScript.fileStackBase) {
        gScript.position = gScript.stack[--gScript.stackDepth];
        if (gScript.indent.size() >= 2) gScript.indent.resize(gScript.indent.size() - 2);
    } else {
        gScript.control = kEndFile;
    }
    if (debugOpen()) debugWrite("\r\n");
}

void cmdCall() {
    char name[kLineSize];
    fetchNonEmpty(name);
    callScript(name, nullptr);
}

void cmdCallAndGosub() {
    char name[kLineSize], label[kLineSize];
    fetchNonEmpty(name);
    fetchLabel(label);
    callScript(name, label);
}

void cmdInterpret() {
    char text[kLineSize];
    fetchNonEmpty(text);
    std::memcpy(gScript.commandText, text, std::strlen(text) + 1);
    gScript.control = kExecuteText;
}

void cmdEnd() {
    skipLeadingBlanks();
    gScript.control = kEndAll;
}

void cmdExit() {
    skipLeadingBlanks();
    gScript.control = kEndFile;
}

void cmdDelay() {
    int32_t ms = fetchNumber();
    if (ms <= 0) return;  // a negative wait would be a wait of nearly 50 days: none instead
    waitUntil(KroTimerRead() + uint32_t(ms));
}

void cmdDelayUntil() {
    int32_t target = fetchNumber();
    if (target <= 0) return;  // already passed (a negative value would wait nearly 50 days)
    waitUntil(uint32_t(target));
}

}  // namespace engine
