// Process facts over the C library and /proc.
#include "platform/process.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cerrno>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/fs.h"

extern char** environ;

namespace plat {

bool envGet(std::string_view name, std::string& value) {
    std::string n(name);
    const char* v = std::getenv(n.c_str());
    if (!v) return false;
    value = v;
    return true;
}

bool envSet(std::string_view name, std::string_view value) {
    std::string n(name);
    if (n.empty() || n.find('=') != std::string::npos) return false;
    if (value.empty()) return unsetenv(n.c_str()) == 0;
    std::string v(value);
    return setenv(n.c_str(), v.c_str(), 1) == 0;
}

std::string executablePath() {
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return {};
    buf[n] = 0;
    return buf;
}

namespace {

// The fields LocalTime shares with struct tm, for both directions of the copy.
struct TimeField {
    int LocalTime::*ours;
    int tm::*theirs;
};
constexpr TimeField kTimeFields[] = {
    {&LocalTime::second, &tm::tm_sec},   {&LocalTime::minute, &tm::tm_min},
    {&LocalTime::hour, &tm::tm_hour},    {&LocalTime::day, &tm::tm_mday},
    {&LocalTime::month, &tm::tm_mon},    {&LocalTime::year, &tm::tm_year},
    {&LocalTime::weekday, &tm::tm_wday}, {&LocalTime::yearday, &tm::tm_yday},
    {&LocalTime::isDst, &tm::tm_isdst},
};

}  // namespace

LocalTime localTimeNow() {
    time_t now = time(nullptr);
    struct tm tmv;
    std::memset(&tmv, 0, sizeof tmv);
    localtime_r(&now, &tmv);
    LocalTime t;
    for (const TimeField& f : kTimeFields) t.*f.ours = tmv.*f.theirs;
    return t;
}

std::string formatTime(std::string_view format, const LocalTime& t, size_t maxSize) {
    static const char kPosix[] = "aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ";
    // Escape every '%' that does not start a POSIX conversion (optionally with E or O).
    std::string safe;
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c == 0) break;
        if (c != '%') {
            safe += c;
            continue;
        }
        size_t j = i + 1;
        if (j < format.size() && format[j] == '%') {
            safe += "%%";
            i = j;
            continue;
        }
        if (j < format.size() && (format[j] == 'E' || format[j] == 'O')) ++j;
        if (j < format.size() && format[j] && std::strchr(kPosix, format[j])) {
            safe.append(format.substr(i, j - i + 1));
            i = j;
        } else {
            safe += "%%";
        }
    }
    struct tm tmv;
    std::memset(&tmv, 0, sizeof tmv);
    for (const TimeField& f : kTimeFields) tmv.*f.theirs = t.*f.ours;
    if (maxSize == 0 || safe.empty()) return {};
    std::string out(maxSize, '\0');
    size_t n = strftime(out.data(), maxSize, safe.c_str(), &tmv);
    out.resize(n);
    return out;
}

namespace {

std::vector<std::string> splitCommandWords(std::string_view line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string w;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '"') quoted = !quoted;
            else w += line[i];
            ++i;
        }
        words.push_back(w);
    }
    return words;
}

}  // namespace

uint32_t startCommandLine(std::string_view commandLine) {
    std::vector<std::string> words = splitCommandWords(commandLine);
    if (words.empty() || words[0].empty()) return 2;
    std::string program = words[0];
    // A program named with a directory or drive is a system path; a bare name is searched on PATH.
    bool hasPath = program.find_first_of("\\/:") != std::string::npos;
    if (hasPath) program = hostPath(program);
    if (hasPath) {
        if (access(program.c_str(), F_OK) != 0) return 2;
        if (access(program.c_str(), X_OK) != 0) return 11;
    }
    std::vector<char*> argv;
    argv.push_back(program.data());
    for (size_t i = 1; i < words.size(); ++i) argv.push_back(words[i].data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = hasPath ? posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ)
                     : posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        if (rc == ENOENT) return 2;
        if (rc == EACCES || rc == ENOEXEC) return 11;
        return 0;
    }
    try {
        std::thread([pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // Without a thread the finished program stays a zombie until this process ends.
    }
    return 33;
}

uint64_t availablePhysicalMemory() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t value = 0;
    std::string unit;
    while (in >> key >> value) {
        std::getline(in, unit);
        if (key == "MemAvailable:") return value * 1024;
    }
    long pages = sysconf(_SC_AVPHYS_PAGES);
    long size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0) return 0;
    return uint64_t(pages) * uint64_t(size);
}

OsVersion osVersion() { return OsVersion{}; }

}  // namespace plat
