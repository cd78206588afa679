// System facts, the print file and multimedia command strings. The options that switch the
// codec's sound back-end and blitters are the runtime's (player/runtime/system_options.cpp).
#include <algorithm>
#include <cstring>
#include <string>

#include "kroutil/kro_file.h"
#include "platform/display.h"
#include "platform/fs.h"
#include "platform/mci.h"
#include "platform/process.h"
#include "player/engine/io_commands.h"
#include "player/engine/script.h"

namespace engine {

SystemChoices gSystemChoices;

namespace {

constexpr int32_t kFileBuffer = 3072;

void fetchVar(char* var) { fetchVariableName(var); }

}  // namespace

void cmdSystemColors() {
    char var[kLineSize];
    fetchVar(var);
    int bits = std::clamp(plat::desktopColorDepth(), 1, 24);
    SetVariableNumber(var, int32_t(1) << bits);
}

void cmdSystemCurrentExe() {
    char var[kLineSize];
    fetchVar(var);
    std::string host = plat::executablePath();
    SetVariable(var, host.empty() ? "" : plat::drivePathFromHost(host).c_str());
}

void cmdSystemDisplayResolution() {
    static const int32_t kModes[][2] = {{640, 400}, {640, 480}, {800, 600}, {1024, 768}};
    int32_t mode = fetchNumber();
    if (mode == 0) gHooks.changeDisplayMode(0, 0);
    else if (mode >= 1 && mode <= 4) gHooks.changeDisplayMode(kModes[mode - 1][0], kModes[mode - 1][1]);
}

void cmdSystemMemory() {
    char var[kLineSize];
    fetchVar(var);
    // A program of the emulated system is told at most 2 GB, never a negative amount.
    uint64_t bytes = std::min<uint64_t>(plat::availablePhysicalMemory(), 0x7FFFFFFF);
    SetVariableNumber(var, int32_t(bytes));
}

void cmdSystemOsMajor() {
    char var[kLineSize];
    fetchVar(var);
    SetVariableNumber(var, plat::osVersion().major & 0xFF);
}

void cmdSystemOsMinor() {
    char var[kLineSize];
    fetchVar(var);
    SetVariableNumber(var, plat::osVersion().minor & 0xFF);
}

// ---- print file ---------------------------------------------------------------------------

bool printFileOpen() { return gScript.printSlot != kNoSlot && gScript.fileSlots[gScript.printSlot]; }

void printFileWrite(const char* text, size_t length) {
    if (!printFileOpen() || !text) return;
    KroFilePut(gScript.fileSlots[gScript.printSlot], text, uint32_t(std::min<size_t>(length, 0xFFFFFFFFu)));
}

void cmdPrintBegin() {
    if (!printFileOpen()) {
        char name[kLineSize];
        // The name is taken as written: a bare word is a file name, not a variable.
        if (FetchParam(name, false) == PARAM_NONE || !name[0]) std::strcpy(name, "lpt1");
        int slot = findFreeSlot();
        if (slot >= 0) {
            KroFile* f = KroFileCreate(kFileBuffer, name);
            if (f) {
                gScript.fileSlots[slot] = f;
                gScript.printSlot = uint8_t(slot);
            }
        }
    }
    skipLeadingBlanks();
}

void cmdPrintPageAdv() {
    printFileWrite("\f", 1);
    skipLeadingBlanks();
}

void cmdPrintEnd() {
    if (printFileOpen()) {
        KroFileClose(gScript.fileSlots[gScript.printSlot]);
        gScript.fileSlots[gScript.printSlot] = nullptr;
        gScript.printSlot = kNoSlot;
    }
    skipLeadingBlanks();
}

// ---- multimedia command strings -----------------------------------------------------------

void cmdMciSendString() {
    char var[kLineSize], command[kLineSize];
    fetchVar(var);
    fetchAny(command);
    char answer[512];
    // A play with "wait" keeps the window answering meanwhile.
    plat::mciSetIdleCallback(PumpMessages);
    plat::MCIERROR error = plat::mciSendString(command, answer, sizeof answer);
    if (error) {
        char text[512];
        plat::mciGetErrorString(error, text, sizeof text);
        std::string stored = std::string("Error: ") + text;
        SetVariable(var, stored.c_str());
        return;
    }
    SetVariable(var, answer);
}

}  // namespace engine
