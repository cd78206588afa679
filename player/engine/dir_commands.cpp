// Directory, drive, environment and program commands.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/fs.h"
#include "platform/process.h"
#include "player/engine/io_commands.h"
#include "player/engine/program.h"
#include "player/engine/script.h"

namespace engine {

namespace {

void setTruth(const char* var, bool value) { SetVariable(var, value ? "1" : "0"); }

// Enters the directory; unless keep is set (or the change fails) the previous current
// directory is restored afterwards. The result is whether the change succeeded.
bool enterDirectory(const char* pathIn, bool keep) {
    char path[kLineSize];
    std::snprintf(path, sizeof path, "%s", pathIn);
    trimInPlace(path);
    std::string p = path;
    if (p.empty() || (p.back() != ':' && p.back() != '\\' && p.back() != '/')) p += '\\';
    p += '*';
    std::string target = plat::fullPath(p);
    // "C:\dir\*" loses "\*"; a drive root "C:\*" keeps its backslash.
    if (target.size() > 4) target.resize(target.size() - 2);
    else if (!target.empty()) target.pop_back();
    const std::string saved = plat::currentDirectory();
    bool ok = plat::setCurrentDirectory(target);
    if (ok && keep) return true;
    plat::setCurrentDirectory(saved);
    return ok;
}

char driveLetterOf(const char* path) {
    std::string full = plat::fullPath(path);
    char letter = full.empty() ? 'C' : full[0];
    if (letter >= 'a' && letter <= 'z') letter = char(letter - 32);
    return letter;
}

// Free or total bytes in 32-bit arithmetic that wraps, as signed decimals (what scripts were
// written against); 0 when the drive cannot be asked.
void storeDriveSpace(bool total) {
    char var[kLineSize], root[kLineSize];
    fetchVariableName(var);
    fetchNonEmpty(root);
    uint64_t size = 0, available = 0;
    if (!plat::driveSpace(driveLetterOf(root), size, available)) {
        SetVariableNumber(var, 0);
        return;
    }
    SetVariableNumber(var, int32_t(uint32_t(total ? size : available)));
}

}  // namespace

void cmdDirCurrent() {
    char var[kLineSize];
    fetchVariableName(var);
    SetVariable(var, plat::currentDirectory().c_str());
}

void cmdDirChange() {
    char var[kLineSize], path[kLineSize];
    fetchVariableName(var);
    fetchNonEmpty(path);
    setTruth(var, enterDirectory(path, true));
}

void cmdDirExists() {
    char var[kLineSize], path[kLineSize];
    fetchVariableName(var);
    fetchNonEmpty(path);
    setTruth(var, enterDirectory(path, false));
}

void cmdDirMake() {
    char var[kLineSize], path[kLineSize];
    fetchVariableName(var);
    fetchNonEmpty(path);
    setTruth(var, plat::makeDirectory(path));
}

void cmdDirRemove() {
    char var[kLineSize], path[kLineSize];
    fetchVariableName(var);
    fetchNonEmpty(path);
    setTruth(var, plat::removeDirectory(path));
}

void cmdDriveAvail() { storeDriveSpace(false); }
void cmdDriveSize() { storeDriveSpace(true); }

void cmdEnvGet() {
    char var[kLineSize], name[kLineSize];
    fetchVariableName(var);
    fetchNonEmpty(name);
    upperInPlace(name);
    std::string value;
    if (!plat::envGet(name, value)) value.clear();
    SetVariable(var, value.c_str());
}

void cmdEnvSet() {
    char name[kLineSize], value[kLineSize];
    fetchAny(name);
    fetchAny(value);
    upperInPlace(name);
    plat::envSet(name, value);
}

void cmdExecute() {
    char var[kLineSize], line[kLineSize];
    fetchVariableName(var);
    fetchNonEmpty(line);
    // The pointer the program draws itself would stay on the screen under the other program.
    if (gProgram.mousePresent && gHooks.windowExists()) gHooks.removeSoftwarePointer();
    uint32_t result = plat::startCommandLine(line);
    gHooks.resetTextOutput();
    SetVariableNumber(var, int32_t(result));
}

}  // namespace engine
