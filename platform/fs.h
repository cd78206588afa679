// Paths and files: the one path model of the whole system.
//
// Scripts and media were authored on a desktop system with drive letters, backslashes and
// case-insensitive names. Every function here accepts both separators and an optional
// drive prefix "X:"; functions that produce absolute paths produce the drive form
// "C:\dir\file". A drive maps to a host directory (C: is "/" unless TORVEX_DRIVES says
// otherwise, e.g. "D=/media/cd:cdrom;E=/srv/data").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// ---- path model -------------------------------------------------------------------------

enum class DriveType { None = 0, Fixed, Removable, Remote, CdRom };

struct DriveMapping {
    char letter = 'C';      // upper case
    std::string root;       // host directory, no trailing slash except "/"
    DriveType type = DriveType::Fixed;
};

// Mappings from TORVEX_DRIVES (read once), C: always present.
const std::vector<DriveMapping>& driveMappings();
// Reloads the mappings from a text in TORVEX_DRIVES syntax (tests); empty text = defaults.
void setDriveMappings(std::string_view spec);
const DriveMapping* findDrive(char letter);

// Current drive letter and directory, in drive form ("C:\home\me").
std::string currentDirectory();
bool setCurrentDirectory(std::string_view path);
char currentDrive();

// Absolute drive form of a path ("..\x" and "." resolved textually, separators normalised to '\').
std::string fullPath(std::string_view path);

// Host path for a system path: drive mapped, separators turned into '/', and, when the path
// does not exist as written, resolved component by component without regard to letter case.
// Components that do not exist keep their spelling (so a file to create gets its name).
std::string hostPath(std::string_view path);

// Drive form of a host absolute path (the longest matching drive root wins; C: otherwise).
std::string drivePathFromHost(std::string_view hostAbsolute);

// The desktop system's wildcard rules: '*' any run, '?' one character, no case distinction,
// "*.*" matches every name, a trailing ".*" also matches names without a dot.
bool wildcardMatch(std::string_view pattern, std::string_view name);

// ---- file handles -----------------------------------------------------------------------

using FileHandle = int;
constexpr FileHandle kInvalidFile = -1;

enum class Access { Read, ReadWrite };

// Opens an existing file. Others may read it meanwhile; a file held by an exclusive writer
// cannot be opened.
FileHandle fileOpen(std::string_view path, Access access, bool sequential);
// Creates or truncates. Without allowReaders others may not open the file meanwhile.
FileHandle fileCreate(std::string_view path, bool allowReaders, bool sequential);
void fileClose(FileHandle h);
// Transfers; a negative result is a failure.
int64_t fileRead(FileHandle h, void* dest, size_t count);
int64_t fileWrite(FileHandle h, const void* src, size_t count);
// Fault injection for tests (every build): after setFileFaultAt(n) the nth read or write from
// then on fails (once); 0 turns it off. fileTransfers counts them since the last call.
void setFileFaultAt(uint64_t n);
uint64_t fileTransfers();
bool fileSeek(FileHandle h, uint64_t pos);
int64_t fileTell(FileHandle h);
int64_t fileSize(FileHandle h);  // -1 on failure; the file pointer is not moved
bool fileFlush(FileHandle h, bool commitToDisk);

// File times as 100-ns counts since 1601-01-01 (the desktop system's FILETIME).
uint64_t fileGetWriteTime(FileHandle h);
bool fileSetTimes(FileHandle h, uint64_t fileTime);
uint64_t fileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
void unixFromFileTime(uint64_t fileTime, int64_t& seconds, int64_t& nanoseconds);

enum class FsResult { Ok = 0, NotFound = 1, Failed = 2 };
FsResult fileErase(std::string_view path);
FsResult fileRename(std::string_view newName, std::string_view existingName);

// ---- attributes and searches ----------------------------------------------------------

// Attribute bits with the desktop system's values.
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrInvalid = 0xFFFFFFFF;

uint32_t fileAttributes(std::string_view path);
bool setFileAttributes(std::string_view path, uint32_t attributes);
bool pathExists(std::string_view path);
bool isDirectory(std::string_view path);
// The file's identity on disk (links and other spellings of one file give the same pair); false
// when it does not exist.
bool fileIdentity(std::string_view path, uint64_t& device, uint64_t& inode);
bool makeDirectory(std::string_view path);
bool removeDirectory(std::string_view path);

struct FindEntry {
    std::string name;  // the entry's own name
    uint32_t attributes = 0;
    uint64_t size = 0;
    uint64_t writeTime = 0;  // FILETIME
};
// All entries of the pattern's directory whose names match its last component, with "." and
// ".." included as the desktop system lists them. Empty when the directory does not exist.
std::vector<FindEntry> findFiles(std::string_view pattern);

// Drive facts.
DriveType driveType(char letter);
bool driveSpace(char letter, uint64_t& total, uint64_t& available);

}  // namespace plat
