// Paths and files on a POSIX host, presented the way the desktop system shows them.
#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace plat {
namespace {

struct FsState {
    std::mutex lock;
    bool drivesLoaded = false;
    std::vector<DriveMapping> drives;
    bool cwdKnown = false;
    char cwdDrive = 'C';
    std::vector<std::string> cwdParts;  // components below the drive root
};
FsState fs;

bool isSep(char c) { return c == '/' || c == '\\'; }
char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }
bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

std::vector<std::string> splitParts(std::string_view s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && isSep(s[i])) ++i;
        size_t j = i;
        while (j < s.size() && !isSep(s[j])) ++j;
        if (j > i) out.emplace_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

void appendResolved(std::vector<std::string>& parts, const std::vector<std::string>& more) {
    for (const auto& p : more) {
        if (p == ".") continue;
        if (p == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(p);
    }
}

std::string trimRoot(std::string root) {
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root.empty() ? std::string("/") : root;
}

void parseDrives(std::string_view spec, std::vector<DriveMapping>& out) {
    out.clear();
    out.push_back({'C', "/", DriveType::Fixed});
    size_t i = 0;
    while (i <= spec.size()) {
        size_t j = spec.find(';', i);
        if (j == std::string_view::npos) j = spec.size();
        std::string_view item = spec.substr(i, j - i);
        i = j + 1;
        if (item.size() < 3 || item[1] != '=') continue;
        char letter = upper(item[0]);
        if (letter < 'A' || letter > 'Z') continue;
        std::string root(item.substr(2));
        DriveType type = DriveType::Fixed;
        size_t colon = root.rfind(':');
        if (colon != std::string::npos) {
            std::string kind = root.substr(colon + 1);
            std::string lower;
            for (char c : kind) lower += char(std::tolower(static_cast<unsigned char>(c)));
            DriveType t = DriveType::None;
            if (lower == "cdrom" || lower == "cd") t = DriveType::CdRom;
            else if (lower == "removable") t = DriveType::Removable;
            else if (lower == "remote") t = DriveType::Remote;
            else if (lower == "fixed") t = DriveType::Fixed;
            if (t != DriveType::None) {
                type = t;
                root.resize(colon);
            }
        }
        if (root.empty()) continue;
        DriveMapping m{letter, trimRoot(root), type};
        auto it = std::find_if(out.begin(), out.end(), [&](const DriveMapping& d) { return d.letter == letter; });
        if (it != out.end()) *it = m;
        else out.push_back(m);
    }
}

void loadDrivesLocked() {
    if (fs.drivesLoaded) return;
    const char* env = std::getenv("TORVEX_DRIVES");
    parseDrives(env ? env : "", fs.drives);
    fs.drivesLoaded = true;
}

const DriveMapping* findDriveLocked(char letter) {
    loadDrivesLocked();
    letter = upper(letter);
    for (const auto& d : fs.drives)
        if (d.letter == letter) return &d;
    return nullptr;
}

// Host directory of a drive-relative component list.
std::string joinHost(const std::string& root, const std::vector<std::string>& parts, size_t count) {
    std::string out = root;
    for (size_t i = 0; i < count; ++i) {
        if (out.empty() || out.back() != '/') out += '/';
        out += parts[i];
    }
    return out;
}

// Drive letter and components of a host absolute path.
void splitHost(std::string_view host, char& letter, std::vector<std::string>& parts) {
    loadDrivesLocked();
    const DriveMapping* best = nullptr;
    for (const auto& d : fs.drives) {
        const std::string& r = d.root;
        bool match = r == "/" || (host.substr(0, r.size()) == r && (host.size() == r.size() || host[r.size()] == '/'));
        if (match && (!best || r.size() > best->root.size())) best = &d;
    }
    letter = best ? best->letter : 'C';
    std::string_view rest = host;
    if (best && best->root != "/") rest = host.substr(best->root.size());
    parts = splitParts(rest);
}

void loadCwdLocked() {
    if (fs.cwdKnown) return;
    char buf[PATH_MAX];
    if (getcwd(buf, sizeof buf)) {
        splitHost(buf, fs.cwdDrive, fs.cwdParts);
    } else {
        fs.cwdDrive = 'C';
        fs.cwdParts.clear();
    }
    fs.cwdKnown = true;
}

// Drive letter and resolved components of any system path.
void resolveLocked(std::string_view path, char& letter, std::vector<std::string>& parts) {
    loadCwdLocked();
    std::string_view rest = path;
    bool hasDrive = path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
    letter = hasDrive ? upper(path[0]) : fs.cwdDrive;
    if (hasDrive) rest = path.substr(2);
    parts.clear();
    bool absolute = !rest.empty() && isSep(rest[0]);
    if (!absolute && letter == fs.cwdDrive) parts = fs.cwdParts;
    appendResolved(parts, splitParts(rest));
}

std::string driveForm(char letter, const std::vector<std::string>& parts) {
    std::string out;
    out += letter;
    out += ":\\";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += '\\';
        out += parts[i];
    }
    return out;
}

// Finds the entry of dir whose name equals name without regard to case.
bool findNoCase(const std::string& dir, const std::string& name, std::string& found) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    bool ok = false;
    while (dirent* e = readdir(d)) {
        if (equalsNoCase(e->d_name, name)) {
            found = e->d_name;
            ok = true;
            break;
        }
    }
    closedir(d);
    return ok;
}

std::string hostPathLocked(std::string_view path) {
    char letter;
    std::vector<std::string> parts;
    resolveLocked(path, letter, parts);
    const DriveMapping* d = findDriveLocked(letter);
    if (!d) return std::string();
    std::string direct = joinHost(d->root, parts, parts.size());
    struct stat st;
    if (lstat(direct.c_str(), &st) == 0) return direct;
    // Walk down, fixing the case of each component that exists under another spelling.
    std::string cur = d->root;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string next = joinHost(cur, {parts[i]}, 1);
        if (lstat(next.c_str(), &st) != 0) {
            std::string found;
            if (findNoCase(cur, parts[i], found)) {
                next = joinHost(cur, {found}, 1);
            } else {
                // The rest does not exist: keep the spelling as given.
                std::vector<std::string> rest(parts.begin() + long(i), parts.end());
                return joinHost(cur, rest, rest.size());
            }
        }
        cur = next;
    }
    return cur;
}

bool globMatch(std::string_view p, std::string_view n) {
    size_t pi = 0, ni = 0, starP = std::string_view::npos, starN = 0;
    while (ni < n.size()) {
        if (pi < p.size() && (p[pi] == '?' || upper(p[pi]) == upper(n[ni]))) {
            ++pi;
            ++ni;
        } else if (pi < p.size() && p[pi] == '*') {
            starP = pi++;
            starN = ni;
        } else if (starP != std::string_view::npos) {
            pi = starP + 1;
            ni = ++starN;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

FsResult errnoResult() { return (errno == ENOENT || errno == ENOTDIR) ? FsResult::NotFound : FsResult::Failed; }

}  // namespace

const std::vector<DriveMapping>& driveMappings() {
    std::lock_guard g(fs.lock);
    loadDrivesLocked();
    return fs.drives;
}

void setDriveMappings(std::string_view spec) {
    std::lock_guard g(fs.lock);
    parseDrives(spec, fs.drives);
    fs.drivesLoaded = true;
    fs.cwdKnown = false;
}

const DriveMapping* findDrive(char letter) {
    std::lock_guard g(fs.lock);
    return findDriveLocked(letter);
}

std::string currentDirectory() {
    std::lock_guard g(fs.lock);
    loadCwdLocked();
    return driveForm(fs.cwdDrive, fs.cwdParts);
}

char currentDrive() {
    std::lock_guard g(fs.lock);
    loadCwdLocked();
    return fs.cwdDrive;
}

bool setCurrentDirectory(std::string_view path) {
    std::lock_guard g(fs.lock);
    char letter;
    std::vector<std::string> parts;
    resolveLocked(path, letter, parts);
    std::string host = hostPathLocked(path);
    struct stat st;
    if (host.empty() || stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (chdir(host.c_str()) != 0) return false;
    // Keep the spelling that exists on disk.
    char l2;
    std::vector<std::string> real;
    splitHost(host, l2, real);
    fs.cwdDrive = letter;
    fs.cwdParts = (l2 == letter) ? real : parts;
    fs.cwdKnown = true;
    return true;
}

std::string fullPath(std::string_view path) {
    std::lock_guard g(fs.lock);
    char letter;
    std::vector<std::string> parts;
    resolveLocked(path, letter, parts);
    return driveForm(letter, parts);
}

std::string hostPath(std::string_view path) {
    std::lock_guard g(fs.lock);
    return hostPathLocked(path);
}

std::string drivePathFromHost(std::string_view hostAbsolute) {
    std::lock_guard g(fs.lock);
    char letter;
    std::vector<std::string> parts;
    splitHost(hostAbsolute, letter, parts);
    std::vector<std::string> resolved;
    appendResolved(resolved, parts);
    return driveForm(letter, resolved);
}

bool wildcardMatch(std::string_view pattern, std::string_view name) {
    if (pattern == "*" || pattern == "*.*") return true;
    if (globMatch(pattern, name)) return true;
    bool nameHasDot = name.find('.') != std::string_view::npos;
    // "name.*" also finds "name"; "name." finds "name" without an extension.
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" && !nameHasDot)
        return globMatch(pattern.substr(0, pattern.size() - 2), name);
    if (!pattern.empty() && pattern.back() == '.' && pattern != "." && pattern != ".." && !nameHasDot)
        return globMatch(pattern.substr(0, pattern.size() - 1), name);
    return false;
}

// ---- file handles -----------------------------------------------------------------------

static FileHandle openChecked(const std::string& host, int flags, int lockKind, bool sequential, bool truncate) {
    if (host.empty()) return kInvalidFile;
    int fd = ::open(host.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) return kInvalidFile;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return kInvalidFile;
    }
    // Sharing rules: readers share, an exclusive writer shuts everybody else out.
    if (lockKind && flock(fd, lockKind | LOCK_NB) != 0) {
        ::close(fd);
        errno = EACCES;
        return kInvalidFile;
    }
    if (truncate && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        ::close(fd);
        return kInvalidFile;
    }
    if (sequential) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

FileHandle fileOpen(std::string_view path, Access access, bool sequential) {
    int flags = access == Access::Read ? O_RDONLY : O_RDWR;
    return openChecked(hostPath(path), flags, LOCK_SH, sequential, false);
}

FileHandle fileCreate(std::string_view path, bool allowReaders, bool sequential) {
    return openChecked(hostPath(path), O_RDWR | O_CREAT, allowReaders ? LOCK_SH : LOCK_EX, sequential, true);
}

void fileClose(FileHandle h) {
    if (h >= 0) ::close(h);
}

namespace {
std::atomic<uint64_t> gFileFaultAt{0}, gFileTransfers{0};
bool injectedFault() { return ++gFileTransfers == gFileFaultAt.load(std::memory_order_relaxed); }
}  // namespace

void setFileFaultAt(uint64_t n) {
    gFileTransfers = 0;
    gFileFaultAt = n;
}
uint64_t fileTransfers() { return gFileTransfers.load(); }

int64_t fileRead(FileHandle h, void* dest, size_t count) {
    if (h < 0 || injectedFault()) return -1;
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::read(h, static_cast<char*>(dest) + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done ? int64_t(done) : -1;
        if (n == 0) break;
        done += size_t(n);
    }
    return int64_t(done);
}

int64_t fileWrite(FileHandle h, const void* src, size_t count) {
    if (h < 0 || injectedFault()) return -1;
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::write(h, static_cast<const char*>(src) + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done ? int64_t(done) : -1;
        done += size_t(n);
    }
    return int64_t(done);
}

bool fileSeek(FileHandle h, uint64_t pos) {
    if (h < 0 || pos > uint64_t(INT64_MAX)) return false;
    return ::lseek(h, off_t(pos), SEEK_SET) >= 0;
}

int64_t fileTell(FileHandle h) {
    if (h < 0) return -1;
    return ::lseek(h, 0, SEEK_CUR);
}

int64_t fileSize(FileHandle h) {
    struct stat st;
    if (h < 0 || fstat(h, &st) != 0) return -1;
    return st.st_size;
}

bool fileFlush(FileHandle h, bool commitToDisk) {
    if (h < 0) return false;
    return !commitToDisk || ::fsync(h) == 0;
}

constexpr int64_t kEpochDelta = 11644473600LL;  // seconds from 1601-01-01 to 1970-01-01

uint64_t fileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
    int64_t s = seconds + kEpochDelta;
    if (s < 0) return 0;
    return uint64_t(s) * 10000000ULL + uint64_t(nanoseconds / 100);
}

void unixFromFileTime(uint64_t fileTime, int64_t& seconds, int64_t& nanoseconds) {
    seconds = int64_t(fileTime / 10000000ULL) - kEpochDelta;
    nanoseconds = int64_t(fileTime % 10000000ULL) * 100;
}

uint64_t fileGetWriteTime(FileHandle h) {
    struct stat st;
    if (h < 0 || fstat(h, &st) != 0) return 0;
    return fileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

bool fileSetTimes(FileHandle h, uint64_t fileTime) {
    if (h < 0) return false;
    timespec ts[2];
    int64_t s, ns;
    unixFromFileTime(fileTime, s, ns);
    ts[0].tv_sec = time_t(s);
    ts[0].tv_nsec = long(ns);
    ts[1] = ts[0];
    return futimens(h, ts) == 0;
}

FsResult fileErase(std::string_view path) {
    std::string host = hostPath(path);
    if (host.empty()) return FsResult::NotFound;
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) return errnoResult();
    if (S_ISDIR(st.st_mode)) return FsResult::Failed;
    if (::unlink(host.c_str()) != 0) return errnoResult();
    return FsResult::Ok;
}

FsResult fileRename(std::string_view newName, std::string_view existingName) {
    std::string from = hostPath(existingName);
    struct stat st;
    if (from.empty() || lstat(from.c_str(), &st) != 0) return FsResult::NotFound;
    std::string to = hostPath(newName);
    if (to.empty()) return FsResult::Failed;
    if (to == from) {
        // Only the letter case changes: give the entry the new spelling.
        auto parts = splitParts(newName);
        if (parts.empty()) return FsResult::Failed;
        std::string dir = to.substr(0, to.rfind('/'));
        to = (dir.empty() ? std::string() : dir) + "/" + parts.back();
        if (to == from) return FsResult::Ok;
    } else if (lstat(to.c_str(), &st) == 0) {
        return FsResult::Failed;  // the target exists: never replaced
    }
    if (::rename(from.c_str(), to.c_str()) != 0) return errnoResult() == FsResult::NotFound ? FsResult::NotFound : FsResult::Failed;
    return FsResult::Ok;
}

// ---- attributes and searches ----------------------------------------------------------

static uint32_t attributesOf(const struct stat& st, std::string_view name) {
    uint32_t a = 0;
    if (S_ISDIR(st.st_mode)) a |= kAttrDirectory;
    else a |= kAttrArchive;
    if (!(st.st_mode & S_IWUSR)) a |= kAttrReadOnly;
    if (!name.empty() && name[0] == '.' && name != "." && name != "..") a |= kAttrHidden;
    return a;
}

static std::string lastComponent(std::string_view host) {
    size_t p = host.rfind('/');
    return std::string(p == std::string_view::npos ? host : host.substr(p + 1));
}

uint32_t fileAttributes(std::string_view path) {
    std::string host = hostPath(path);
    struct stat st;
    if (host.empty() || stat(host.c_str(), &st) != 0) return kAttrInvalid;
    return attributesOf(st, lastComponent(host));
}

bool setFileAttributes(std::string_view path, uint32_t attributes) {
    std::string host = hostPath(path);
    struct stat st;
    if (host.empty() || stat(host.c_str(), &st) != 0) return false;
    mode_t mode = st.st_mode & 07777;
    if (attributes & kAttrReadOnly) mode &= ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH);
    else mode |= S_IWUSR;
    return chmod(host.c_str(), mode) == 0;
}

bool pathExists(std::string_view path) {
    std::string host = hostPath(path);
    struct stat st;
    return !host.empty() && stat(host.c_str(), &st) == 0;
}

bool isDirectory(std::string_view path) {
    std::string host = hostPath(path);
    struct stat st;
    return !host.empty() && stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fileIdentity(std::string_view path, uint64_t& device, uint64_t& inode) {
    std::string host = hostPath(path);
    struct stat st;
    if (host.empty() || stat(host.c_str(), &st) != 0) return false;
    device = static_cast<uint64_t>(st.st_dev);
    inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool makeDirectory(std::string_view path) {
    std::string host = hostPath(path);
    return !host.empty() && ::mkdir(host.c_str(), 0777) == 0;
}

bool removeDirectory(std::string_view path) {
    std::string host = hostPath(path);
    return !host.empty() && ::rmdir(host.c_str()) == 0;
}

std::vector<FindEntry> findFiles(std::string_view pattern) {
    std::vector<FindEntry> out;
    // Split off the last component: that is the name pattern.
    size_t cut = std::string_view::npos;
    for (size_t i = pattern.size(); i-- > 0;)
        if (isSep(pattern[i]) || (i == 1 && pattern[1] == ':')) {
            cut = i;
            break;
        }
    std::string dirPart = cut == std::string_view::npos ? std::string(".") : std::string(pattern.substr(0, cut + 1));
    if (cut != std::string_view::npos && cut == 1 && pattern[1] == ':') dirPart += '.';
    std::string namePattern(cut == std::string_view::npos ? pattern : pattern.substr(cut + 1));
    if (namePattern.empty()) return out;
    std::string host = hostPath(dirPart);
    if (host.empty()) return out;
    DIR* d = opendir(host.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (!wildcardMatch(namePattern, e->d_name)) continue;
        std::string full = host + (host.back() == '/' ? "" : "/") + e->d_name;
        struct stat st;
        if (stat(full.c_str(), &st) != 0) continue;
        FindEntry fe;
        fe.name = e->d_name;
        fe.attributes = attributesOf(st, fe.name);
        fe.size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
        fe.writeTime = fileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        out.push_back(std::move(fe));
    }
    closedir(d);
    auto rank = [](const std::string& n) { return n == "." ? 0 : n == ".." ? 1 : 2; };
    std::sort(out.begin(), out.end(), [&](const FindEntry& a, const FindEntry& b) {
        int ra = rank(a.name), rb = rank(b.name);
        if (ra != rb) return ra < rb;
        std::string la = a.name, lb = b.name;
        for (auto& c : la) c = upper(c);
        for (auto& c : lb) c = upper(c);
        return la != lb ? la < lb : a.name < b.name;
    });
    return out;
}

DriveType driveType(char letter) {
    const DriveMapping* d = findDrive(letter);
    return d ? d->type : DriveType::None;
}

bool driveSpace(char letter, uint64_t& total, uint64_t& available) {
    const DriveMapping* d = findDrive(letter);
    struct statvfs sv;
    if (!d || statvfs(d->root.c_str(), &sv) != 0) return false;
    total = uint64_t(sv.f_blocks) * sv.f_frsize;
    available = uint64_t(sv.f_bavail) * sv.f_frsize;
    return true;
}

}  // namespace plat
