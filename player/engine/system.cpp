// System facts, the debug file and the random generator.
#include <cstring>
#include <string>

#include "kroutil/kro_file.h"
#include "kroutil/kro_timer.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "player/engine/commands.h"
#include "player/engine/script.h"

namespace engine {

uint32_t nextRandom() {
    gScript.randomState = gScript.randomState * 214013u + 2531011u;  // modulo 2^32
    return (gScript.randomState >> 16) & 0x7FFF;
}

void cmdDebugFile() {
    char name[kLineSize];
    fetchAny(name);
    if (debugOpen()) {
        KroFileClose(gScript.fileSlots[gScript.debugSlot]);
        gScript.fileSlots[gScript.debugSlot] = nullptr;
        gScript.debugSlot = kNoSlot;
    }
    if (!name[0]) return;
    int slot = findFreeSlot();
    if (slot < 0) return;
    const char* path = gScript.debugFileOverride.empty() ? name : gScript.debugFileOverride.c_str();
    KroFile* f = KroFileCreate(3072, path);
    if (!f) return;
    gScript.fileSlots[slot] = f;
    gScript.debugSlot = uint8_t(slot);
}

void cmdDebugText() {
    char text[kLineSize];
    fetchAny(text);
    if (!debugOpen()) return;
    debugWrite("\r\n");
    debugWrite(text);
    debugWrite("\r\n");
    debugFlush(true);
}

void cmdRandom() {
    char name[kLineSize];
    fetchVariableName(name);
    uint32_t max = uint32_t(fetchNumber());
    uint32_t r = nextRandom();
    uint32_t q = r * (max + 1u) / 32767u;  // unsigned 32-bit, wrapping
    if (q > max) q = max;
    SetVariableNumber(name, int32_t(q));
}

void cmdRandomize() { gScript.randomState = uint32_t(fetchNumber()); }

void cmdSystemCommandLine() {
    char name[kLineSize];
    fetchVariableName(name);
    SetVariable(name, gScript.commandLineRemainder.c_str());
}

void cmdSystemCurrentScript() {
    char name[kLineSize];
    fetchVariableName(name);
    std::string full = gScript.scriptName.empty() ? std::string() : plat::fullPath(gScript.scriptName);
    SetVariable(name, full.c_str());
}

void cmdSystemDateTime() {
    char name[kLineSize], format[kLineSize];
    fetchVariableName(name);
    fetchAny(format);
    for (char* p = format; *p; ++p)
        if (*p == '^') *p = '%';
    std::string text = plat::formatTime(format, plat::localTimeNow(), kLineSize);
    SetVariable(name, text.c_str());
}

void cmdSystemPlatform() {
    char name[kLineSize];
    fetchVariableName(name);
    SetVariable(name, "Win32");
}

void cmdSystemTimer() {
    char name[kLineSize];
    fetchVariableName(name);
    SetVariableNumber(name, int32_t(KroTimerRead()));
}

}  // namespace engine
