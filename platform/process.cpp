// Process facts over the C library and /proc.
#include "platform/process.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

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

LocalTime localTimeNow() {
    time_t now = time(nullptr);
    struct tm tmv;
    std::memset(&tmv, 0, sizeof tmv);
    localtime_r(&now, &tmv);
    LocalTime t;
    t.second = tmv.tm_sec;
    t.minute = tmv.tm_min;
    t.hour = tmv.tm_hour;
    t.day = tmv.tm_mday;
    t.month = tmv.tm_mon;
    t.year = tmv.tm_year;
    t.weekday = tmv.tm_wday;
    t.yearday = tmv.tm_yday;
    t.isDst = tmv.tm_isdst;
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
    tmv.tm_sec = t.second;
    tmv.tm_min = t.minute;
    tmv.tm_hour = t.hour;
    tmv.tm_mday = t.day;
    tmv.tm_mon = t.month;
    tmv.tm_year = t.year;
    tmv.tm_wday = t.weekday;
    tmv.tm_yday = t.yearday;
    tmv.tm_isdst = t.isDst;
    if (maxSize == 0 || safe.empty()) return {};
    std::string out(maxSize, '\0');
    size_t n = strftime(out.data(), maxSize, safe.c_str(), &tmv);
    out.resize(n);
    return out;
}

}  // namespace plat
