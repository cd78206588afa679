// File names, files and the questions asked before one is replaced.
#include <cctype>
#include <cstring>
#include <string>

#include "kroutil/kro_file.h"
#include "kroutil/util.h"
#include "platform/dialog.h"
#include "platform/fs.h"
#include "platform/win_defs.h"
#include "platform/window.h"

namespace {

constexpr size_t kPathLimit = 764;  // bytes with the terminating zero

bool isSeparator(char c) { return c == '\\' || c == '/'; }

std::string expanded(const char* path) { return plat::fullPath(path); }

// Writes a result that fits the path limit; longer results leave the caller's text alone.
bool store(char* path, const std::string& value) {
    if (value.size() >= kPathLimit) return false;
    std::memcpy(path, value.c_str(), value.size() + 1);
    return true;
}

bool sameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The helpers' boxes have no status window to belong to (yet): captioned "" as the status
// window's boxes are without one.
int32_t askYesNo(const std::string& question) {
    return plat::messageBox(0, question.c_str(), "", plat::MB_YESNO | plat::MB_ICONQUESTION | plat::MB_DEFBUTTON2) ==
           plat::IDYES;
}

}  // namespace

extern "C" {

void AddBackslash(char* path) {
    if (!path) return;
    TrimAscii(path);
    size_t len = std::strlen(path);
    if (len == 0 || path[len - 1] == ':' || isSeparator(path[len - 1])) return;
    path[len] = '\\';
    path[len + 1] = 0;
}

char* HasExtension(const char* name) {
    if (!name) return nullptr;
    for (size_t i = std::strlen(name); i-- > 0;) {
        if (name[i] == '.') return const_cast<char*>(name + i);
        if (name[i] == ':' || isSeparator(name[i])) return nullptr;
    }
    return nullptr;
}

void ExpandFileName(char* path) {
    if (path) store(path, expanded(path));
}

int32_t GetDrive(char* path) {
    if (!path) return 0;
    ExpandFileName(path);
    return std::toupper(static_cast<unsigned char>(path[0]));
}

int32_t IsDirectory(char* path, int32_t stay) {
    if (!path) return 0;
    std::string p = path;
    // The same trimming as Trim: blanks include bytes 128..255.
    size_t len = p.size(), first = 0;
    while (len > 0 && static_cast<signed char>(p[len - 1]) <= 32) --len;
    while (first < len && static_cast<signed char>(p[first]) <= 32) ++first;
    p = p.substr(first, len - first);
    if (!p.empty() && p.back() != ':' && !isSeparator(p.back())) p += '\\';
    p += '*';
    p = expanded(p.c_str());
    if (p.empty()) return 0;
    // "C:\*" keeps its backslash, "C:\X\*" loses both bytes.
    p.resize(p.size() > 4 ? p.size() - 2 : p.size() - 1);
    store(path, p);
    if (!plat::isDirectory(p)) return 0;
    // Only a caller that asks to stay gets a new current directory: other threads may be
    // reading relative paths meanwhile.
    if (stay & 0xFF) return plat::setCurrentDirectory(p) ? 1 : 0;
    return 1;
}

void GetFilePieces(char* path, int32_t keepDrive, int32_t keepDirectory, int32_t keepName, int32_t keepExtension) {
    if (!path) return;
    TrimAscii(path);
    if (!path[0]) return;
    std::string full = expanded(path);
    if (full.size() >= kPathLimit) return;
    char work[kPathLimit + 4];
    std::memcpy(work, full.c_str(), full.size() + 1);
    bool directory = IsDirectory(work, 0) != 0;
    if (directory) {
        AddBackslash(work);
        std::strcat(work, "*.*");
    } else {
        std::memcpy(work, full.c_str(), full.size() + 1);
    }
    std::string w = work;
    size_t driveEnd = (w.size() >= 2 && w[1] == ':') ? 2 : 0;
    size_t nameStart = driveEnd;
    for (size_t i = driveEnd; i < w.size(); ++i)
        if (isSeparator(w[i])) nameStart = i + 1;
    size_t extStart = w.size();
    for (size_t i = w.size(); i-- > nameStart;)
        if (w[i] == '.') {
            extStart = i;
            break;
        }
    std::string out;
    if (keepDrive & 0xFF) out += w.substr(0, driveEnd);
    if (keepDirectory & 0xFF) out += w.substr(driveEnd, nameStart - driveEnd);
    if (!directory && (keepName & 0xFF)) out += w.substr(nameStart, extStart - nameStart);
    if (!directory && (keepExtension & 0xFF)) out += w.substr(extStart);
    store(path, out);
}

char* GetTempName(char* output, const char* directory, const char* prefix, uint32_t number) {
    if (!output) return nullptr;
    char name[13];
    for (int i = 0; i < 12; ++i) name[i] = char('A' + (i < 8 ? (number >> (4 * i)) & 15 : 0));
    // A prefix longer than the eight name bytes is cut there rather than spilling into the dot.
    size_t p = prefix ? strnlen(prefix, 8) : 0;
    if (p) std::memcpy(name, prefix, p);
    name[8] = '.';
    name[12] = 0;
    std::string out = directory ? directory : "";
    out += name;
    std::memcpy(output, out.c_str(), out.size() + 1);
    return output;
}

uint64_t krofilesize(const char* name) {
    KroFile* f = KroFileOpen(0, name, KRO_FILE_READ);
    if (!f) return 0;
    uint64_t size = KroFileSize(f);
    KroFileClose(f);
    return size;
}

int32_t overwrite(const char* name, int32_t useDialog) {
    (void)useDialog;  // both forms are the same box until a dialog window exists to own it
    if (!name) return 1;
    // Existence, not readability: a file we may not read can still be replaced.
    if (plat::fileAttributes(name) == plat::kAttrInvalid) return 1;
    return askYesNo(std::string("File ") + name + " exists, overwrite?");
}

int32_t CheckForDup(const char* inputPath, const char* outputPath) {
    if (!inputPath || !outputPath) return 1;
    bool same = sameIgnoringAsciiCase(expanded(inputPath), expanded(outputPath));
    uint64_t inDev, inNode, outDev, outNode;
    // A link or another spelling of the input would otherwise be truncated under the reader.
    if (!same && plat::fileIdentity(inputPath, inDev, inNode) && plat::fileIdentity(outputPath, outDev, outNode))
        same = inDev == outDev && inNode == outNode;
    if (!same) return 1;
    plat::messageBox(0, "Output filename must be different than the input filename.", "",
                     plat::MB_OK | plat::MB_ICONHAND);
    return 0;
}

intptr_t CopyData(void* window, uintptr_t wParam, uintptr_t dwData, uint32_t cbData, const void* data) {
    plat::COPYDATASTRUCT record;
    record.dwData = dwData;
    record.cbData = cbData;
    record.lpData = data;
    return static_cast<intptr_t>(plat::sendMessage(reinterpret_cast<plat::HWND>(window), plat::WM_COPYDATA, wParam,
                                                   reinterpret_cast<plat::LPARAM>(&record)));
}

}  // extern "C"
