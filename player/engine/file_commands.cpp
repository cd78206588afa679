// File commands: text files in the file slot table, searches, path pieces, wildcard deletes,
// renames and copies, attributes, temporary names and drive types.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kroutil/kro_file.h"
#include "kroutil/kro_timer.h"
#include "platform/fs.h"
#include "platform/mci.h"
#include "player/engine/io_commands.h"
#include "player/engine/script.h"

namespace engine {

namespace {

constexpr int32_t kFileBuffer = 3072;
constexpr int kFileNumberBase = 5000;

struct FileSearch {
    bool active = false;
    std::vector<plat::FindEntry> entries;
    size_t next = 0;
    std::string directory;  // absolute, ending in '\'
};
FileSearch gSearch;

bool endsWithSeparator(const std::string& s) {
    return !s.empty() && (s.back() == '\\' || s.back() == '/' || s.back() == ':');
}

bool hasWildcards(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// The absolute drive form; a path that ends in a backslash keeps it (its name pieces are
// empty). A bare drive "D:" is that drive's current directory.
std::string absolutePath(const std::string& path) {
    if (!path.empty() && (path.back() == '\\' || path.back() == '/')) {
        std::string full = plat::fullPath(path + "A");
        full.pop_back();
        return full;
    }
    return plat::fullPath(path);
}

// A path naming an existing directory stands for everything in it.
void expandDirectory(std::string& path) {
    if (path.empty() || !plat::isDirectory(path)) return;
    if (!endsWithSeparator(path)) path += '\\';
    path += "*.*";
}

struct Pieces {
    std::string drive, directory, name, extension;
};

Pieces splitPieces(const std::string& absolute) {
    Pieces p;
    size_t start = 0;
    if (absolute.size() >= 2 && absolute[1] == ':') {
        p.drive = absolute.substr(0, 2);
        start = 2;
    }
    size_t first = absolute.find('\\', start);
    size_t last = absolute.rfind('\\');
    size_t nameStart = start;
    if (first != std::string::npos) {
        p.directory = absolute.substr(first, last - first + 1);
        nameStart = last + 1;
    }
    std::string rest = absolute.substr(nameStart);
    size_t dot = rest.rfind('.');
    if (dot == std::string::npos) {
        p.name = rest;
    } else {
        p.name = rest.substr(0, dot);
        p.extension = rest.substr(dot);
    }
    return p;
}

// A path naming an existing directory has empty name and extension pieces.
Pieces pathPieces(const std::string& path) {
    if (path.empty() || !plat::isDirectory(path)) return splitPieces(absolutePath(path));
    std::string full = plat::fullPath(path);
    if (full.empty() || full.back() != '\\') full += '\\';
    return splitPieces(full);
}

// The desktop system ignores dots at the end of a name ("README." is README); this host does
// not, so they go before the name reaches the file system.
std::string withoutTrailingDots(std::string name) {
    size_t slash = name.rfind('\\');
    std::string last = name.substr(slash == std::string::npos ? 0 : slash + 1);
    if (last == "." || last == "..") return name;
    while (!name.empty() && name.back() == '.' && name.size() > (slash == std::string::npos ? 0 : slash + 1))
        name.pop_back();
    return name;
}

// Fills a name or extension pattern from the source piece at equal positions.
std::string fillPattern(const std::string& pattern, const std::string& source) {
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '?') {
            if (i < source.size()) out += source[i];
        } else if (c == '*') {
            if (i < source.size()) out += source.substr(i);
            break;
        } else {
            out += c;
        }
    }
    return out;
}

bool equalsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y) return false;
    }
    return true;
}

bool copyOneFile(const std::string& source, const std::string& destination) {
    if (equalsNoCase(source, destination)) return false;
    KroFile* in = KroFileOpen(kFileBuffer, source.c_str(), KRO_FILE_READ);
    if (!in) return false;
    KroFile* out = KroFileCreate(kFileBuffer, destination.c_str());
    if (!out) {
        KroFileClose(in);
        return false;
    }
    const uint64_t size = KroFileSize(in);
    uint64_t total = 0;
    bool ok = true;
    static uint8_t block[4096];
    while (total < size) {
        uint32_t n = KroFileGet(in, block, sizeof block);
        if ((n < sizeof block && total + n < size) || n == 0 || KroFilePut(out, block, n) != n) {
            ok = false;
            break;
        }
        total += n;
    }
    if (ok) {
        // Pending data goes out first so that the time set below is the last change.
        KroFileFlush(out, 0);
        ok = out->write_error == 0;
    }
    if (ok) KroFileSetTime(out, KroFileGetTime(in));
    KroFileClose(in);
    KroFileClose(out);
    if (!ok) KroFileErase(destination.c_str());
    return ok;
}

enum class WildOp { Delete, Rename, Copy };

bool wildcardOperation(WildOp op, std::string source, std::string destination) {
    expandDirectory(source);
    if (op != WildOp::Delete) {
        if (destination.empty()) destination = "*.*";
        else expandDirectory(destination);
    }
    const std::string sourceAbs = absolutePath(source);
    const Pieces sp = splitPieces(sourceAbs);
    Pieces dp;
    if (op != WildOp::Delete) dp = splitPieces(absolutePath(destination));

    std::vector<std::string> files;
    if (hasWildcards(sourceAbs)) {
        for (const plat::FindEntry& e : plat::findFiles(sourceAbs)) {
            // "." and ".." name the directories themselves, never a file to work on.
            if (e.name == "." || e.name == "..") continue;
            std::string name = e.name;
            if (name.find('.') == std::string::npos) name += '.';
            files.push_back(sp.drive + sp.directory + name);
        }
    } else {
        files.push_back(sourceAbs);
    }
    for (const std::string& file : files) {
        const std::string from = withoutTrailingDots(file);
        if (op == WildOp::Delete) {
            if (plat::fileErase(from) != plat::FsResult::Ok) return false;
            continue;
        }
        Pieces fp = splitPieces(file);
        std::string to = withoutTrailingDots(dp.drive + dp.directory + fillPattern(dp.name, fp.name) +
                                             fillPattern(dp.extension, fp.extension));
        bool ok = op == WildOp::Rename ? plat::fileRename(to, from) == plat::FsResult::Ok : copyOneFile(from, to);
        if (!ok) return false;
    }
    return true;
}

void storeFileNumber(const char* var, KroFile* f, int slot) {
    if (!f) {
        SetVariableNumber(var, 0);
        return;
    }
    gScript.fileSlots[slot] = f;
    SetVariableNumber(var, kFileNumberBase + slot);
}

void setTruth(const char* var, bool value) { SetVariable(var, value ? "1" : "0"); }

void fetchVarAndName(char* var, char* name) {
    fetchVariableName(var);
    fetchNonEmpty(name);
}

KroFile* fileFromNumber() {
    int32_t n = fetchNumber();
    char text[16];
    std::snprintf(text, sizeof text, "%d", n);
    return gScript.fileSlots[ValidateFileNumber(text)];
}

void storeSearchResult(const char* var) {
    while (gSearch.active && gSearch.next < gSearch.entries.size()) {
        const plat::FindEntry& e = gSearch.entries[gSearch.next++];
        SetVariable(var, (gSearch.directory + e.name).c_str());
        return;
    }
    gSearch = FileSearch{};
    SetVariable(var, "");
}

bool driveOfPathIs(const char* path, plat::DriveType type) {
    std::string full = plat::fullPath(path);
    if (full.empty()) return false;
    char letter = full[0];
    if (letter >= 'a' && letter <= 'z') letter = char(letter - 32);
    return plat::driveType(letter) == type;
}

}  // namespace

void resetIoCommands() {
    gSearch = FileSearch{};
    gSystemChoices = SystemChoices{};
    plat::mciCloseAll();
}

void cmdFileOpen() {
    char var[kLineSize], name[kLineSize];
    fetchVarAndName(var, name);
    int slot = findFreeSlot();
    storeFileNumber(var, slot < 0 ? nullptr : KroFileOpen(kFileBuffer, name, KRO_FILE_READ), slot);
}

void cmdFileCreate() {
    char var[kLineSize], name[kLineSize];
    fetchVarAndName(var, name);
    int slot = findFreeSlot();
    storeFileNumber(var, slot < 0 ? nullptr : KroFileCreate(kFileBuffer, name), slot);
}

void cmdFileAppend() {
    char var[kLineSize], name[kLineSize];
    fetchVarAndName(var, name);
    int slot = findFreeSlot();
    KroFile* f = nullptr;
    if (slot >= 0) {
        f = KroFileOpen(kFileBuffer, name, KRO_FILE_READWRITE);
        if (f) KroFileSetPos(f, KroFileSize(f));
        else f = KroFileCreate(kFileBuffer, name);
    }
    storeFileNumber(var, f, slot);
}

void cmdFileClose() {
    char var[kLineSize], value[kLineSize];
    fetchVariableName(var);
    GetVariable(value, var);
    int slot = ValidateFileNumber(value);
    KroFileClose(gScript.fileSlots[slot]);
    gScript.fileSlots[slot] = nullptr;
    // A script that closes the debug or print file by its number turns that feature off, so
    // that nothing writes to the freed slot afterwards.
    if (gScript.debugSlot == slot) gScript.debugSlot = kNoSlot;
    if (gScript.printSlot == slot) gScript.printSlot = kNoSlot;
    SetVariable(var, "");
}

void cmdFileRead() {
    char var[kLineSize];
    fetchVariableName(var);
    KroFile* f = fileFromNumber();
    if (KroFileAtEnd(f)) {
        SetVariable(var, "");
        return;
    }
    // One line per read: a line longer than 254 characters is cut there and the rest of it
    // skipped, so that the next read gets the next line.
    char line[256];
    size_t n = 0;
    while (!KroFileAtEnd(f)) {
        char c = char(KroFileGet8(f));
        if (c == '\n') break;
        if (n < 254) line[n++] = c;
    }
    while (n && line[n - 1] == '\r') --n;
    line[n] = 0;
    SetVariable(var, line);
}

void cmdFileWrite() {
    char text[kLineSize];
    KroFile* f = fileFromNumber();
    fetchAny(text);
    KroFilePut(f, text, uint32_t(std::strlen(text)));
    KroFilePut(f, "\r\n", 2);
}

void cmdFileEof() {
    char var[kLineSize];
    fetchVariableName(var);
    KroFile* f = fileFromNumber();
    setTruth(var, KroFileAtEnd(f) != 0);
}

void cmdFileSize() {
    char var[kLineSize], name[kLineSize];
    fetchVarAndName(var, name);
    if (IsNumeric(name)) {
        int32_t n = toNumber(name);
        if (n >= kFileNumberBase && n < kFileNumberBase + kFileSlots && gScript.fileSlots[n - kFileNumberBase]) {
            SetVariableNumber(var, int32_t(uint32_t(KroFileSize(gScript.fileSlots[n - kFileNumberBase]))));
            return;
        }
    }
    KroFile* f = KroFileOpen(kFileBuffer, name, KRO_FILE_READ);
    uint64_t size = f ? KroFileSize(f) : 0;
    KroFileClose(f);
    SetVariableNumber(var, int32_t(uint32_t(size)));
}

void cmdFileList() {
    std::vector<std::string> lines;
    for (int i = 0; i < kFileSlots; ++i) {
        KroFile* f = gScript.fileSlots[i];
        if (!f) continue;
        char line[KRO_FILE_NAME_SIZE + 40];
        std::snprintf(line, sizeof line, "Number: %i  File: %s", kFileNumberBase + i, f->name);
        lines.push_back(line);
    }
    WriteListing(lines, true);
}

void cmdFileExists() {
    char var[kLineSize], name[kLineSize];
    fetchVarAndName(var, name);
    bool exists = false;
    if (findFreeSlot() >= 0) {
        KroFile* f = KroFileOpen(kFileBuffer, name, KRO_FILE_READ);
        exists = f != nullptr;
        KroFileClose(f);
    }
    setTruth(var, exists);
}

void cmdFileDelete() {
    char var[kLineSize], name[kLineSize];
    fetchVarAndName(var, name);
    setTruth(var, wildcardOperation(WildOp::Delete, name, std::string()));
}

void cmdFileRename() {
    char var[kLineSize], source[kLineSize], destination[kLineSize];
    fetchVarAndName(var, source);
    fetchNonEmpty(destination);
    setTruth(var, wildcardOperation(WildOp::Rename, source, destination));
}

void cmdFileCopy() {
    char var[kLineSize], source[kLineSize], destination[kLineSize];
    fetchVarAndName(var, source);
    fetchNonEmpty(destination);
    setTruth(var, wildcardOperation(WildOp::Copy, source, destination));
}

void cmdFileFind() {
    char var[kLineSize], pattern[kLineSize];
    fetchVariableName(var);
    fetchAny(pattern);
    std::string p = pattern[0] ? pattern : "*.*";
    if (endsWithSeparator(p) || plat::isDirectory(p)) {
        if (!endsWithSeparator(p)) p += '\\';
        p += "*.*";
    }
    const std::string absolute = absolutePath(p);
    const Pieces pieces = splitPieces(absolute);
    gSearch = FileSearch{};
    gSearch.directory = pieces.drive + pieces.directory;
    gSearch.entries = plat::findFiles(absolute);
    gSearch.active = !gSearch.entries.empty();
    storeSearchResult(var);
}

void cmdFileFindNext() {
    char var[kLineSize];
    fetchVariableName(var);
    storeSearchResult(var);
}

void cmdFileFullPath() {
    char var[kLineSize], name[kLineSize];
    fetchVarAndName(var, name);
    SetVariable(var, absolutePath(name).c_str());
}

void cmdFilePieces() {
    char var[kLineSize], path[kLineSize];
    fetchVariableName(var);
    int32_t drive = fetchNumber(), directory = fetchNumber(), name = fetchNumber(), extension = fetchNumber();
    fetchNonEmpty(path);
    Pieces p = pathPieces(path);
    std::string out;
    if (drive & 0xFF) out += p.drive;
    if (directory & 0xFF) out += p.directory;
    if (name & 0xFF) out += p.name;
    if (extension & 0xFF) out += p.extension;
    SetVariable(var, out.c_str());
}

void cmdFileGetAttrib() {
    char var[kLineSize], name[kLineSize];
    fetchVarAndName(var, name);
    std::vector<plat::FindEntry> found = plat::findFiles(absolutePath(name));
    SetVariableNumber(var, found.empty() ? 0 : int32_t(found.front().attributes));
}

void cmdFileSetAttrib() {
    char name[kLineSize];
    fetchNonEmpty(name);
    int32_t attributes = fetchNumber();
    plat::setFileAttributes(name, uint32_t(attributes));
}

void cmdFileTemp() {
    char var[kLineSize], templ[kLineSize];
    fetchVarAndName(var, templ);
    Pieces p = pathPieces(templ);
    std::string base = p.drive + p.directory + p.name.substr(0, 3);
    // A four-digit hexadecimal number and ".TMP", the first such name not in use.
    uint32_t start = KroTimerRead() & 0xFFFF;
    for (uint32_t i = 0; i < 0x10000; ++i) {
        uint32_t unique = (start + i) & 0xFFFF;
        if (unique == 0) continue;
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%04X.TMP", unsigned(unique));
        std::string candidate = base + suffix;
        if (!plat::pathExists(candidate)) {
            SetVariable(var, candidate.c_str());
            return;
        }
    }
    SetVariable(var, "");
}

void cmdFileCdRom() {
    char var[kLineSize], path[kLineSize];
    fetchVarAndName(var, path);
    setTruth(var, driveOfPathIs(path, plat::DriveType::CdRom));
}

void cmdFileRemote() {
    char var[kLineSize], path[kLineSize];
    fetchVarAndName(var, path);
    setTruth(var, driveOfPathIs(path, plat::DriveType::Remote));
}

void cmdFileRemovable() {
    char var[kLineSize], path[kLineSize];
    fetchVarAndName(var, path);
    setTruth(var, driveOfPathIs(path, plat::DriveType::Removable));
}

}  // namespace engine
