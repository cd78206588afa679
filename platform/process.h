// Process facts: environment, the executable's path, local time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

// The value of an environment variable; false when it is not set.
bool envGet(std::string_view name, std::string& value);
// Sets (or with an empty value removes) an environment variable of this process.
bool envSet(std::string_view name, std::string_view value);
// The host path of the running program file (empty when unknown).
std::string executablePath();

// The local calendar time broken down as the C library does (fields of struct tm).
struct LocalTime {
    int second = 0, minute = 0, hour = 0, day = 1, month = 0, year = 70, weekday = 4, yearday = 0,
        isDst = 0;
};
LocalTime localTimeNow();
// strftime of the C library on a LocalTime; the result is empty when it does not fit in
// maxSize - 1 bytes. Only the POSIX conversions are passed on; any other '%' sequence is kept
// literally, so that arbitrary format texts are safe.
std::string formatTime(std::string_view format, const LocalTime& t, size_t maxSize);

}  // namespace plat

namespace plat {

// Starts a command line without waiting for the program (the desktop system's program start):
// the first word (double quotes group words) names the program, found on PATH unless it holds
// a path separator or a drive; the other words are its arguments. Returns a value above 31 on
// success, else 2 (program not found), 11 (not a program) or 0 (out of resources). The finished
// program is reaped in the background.
uint32_t startCommandLine(std::string_view commandLine);

// Physical memory not in use, in bytes (0 when unknown).
uint64_t availablePhysicalMemory();

// The version of the desktop system this platform stands in for.
struct OsVersion {
    int major = 6;
    int minor = 1;
    bool nt = true;
};
OsVersion osVersion();

}  // namespace plat
