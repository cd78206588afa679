// The user profile and the debugger output.
#include "platform/profile.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

namespace plat {
namespace {

struct ProfileState {
    std::mutex lock;
    bool loaded = false;
    std::map<std::string, std::map<std::string, std::string>> sections;  // keys lower case
};
ProfileState prof;

std::string lowerTrim(std::string_view s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
    std::string out(s.substr(a, b - a));
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

std::string trim(std::string_view s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
    return std::string(s.substr(a, b - a));
}

void loadLocked() {
    if (prof.loaded) return;
    prof.loaded = true;
    prof.sections.clear();
    std::string path;
    if (const char* env = std::getenv("TORVEX_PROFILE")) path = env;
    else if (const char* home = std::getenv("HOME")) path = std::string(home) + "/.config/torvex/win.ini";
    if (path.empty()) return;
    std::ifstream in(path);
    std::string line, section;
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') {
            size_t end = t.find(']');
            section = lowerTrim(t.substr(1, end == std::string::npos ? std::string::npos : end - 1));
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        auto& keys = prof.sections[section];
        std::string key = lowerTrim(t.substr(0, eq));
        if (!keys.count(key)) keys[key] = trim(t.substr(eq + 1));  // the first entry wins
    }
}

bool lookup(std::string_view section, std::string_view key, std::string& value) {
    std::lock_guard g(prof.lock);
    loadLocked();
    auto s = prof.sections.find(lowerTrim(section));
    if (s == prof.sections.end()) return false;
    auto k = s->second.find(lowerTrim(key));
    if (k == s->second.end()) return false;
    value = k->second;
    return true;
}

}  // namespace

int profileGetInt(std::string_view section, std::string_view key, int defaultValue) {
    std::string v;
    if (!lookup(section, key, v)) return defaultValue;
    // Leading decimal digits, as the desktop system reads them; anything else reads as 0.
    size_t i = 0;
    bool negative = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) negative = v[i++] == '-';
    uint32_t n = 0;
    while (i < v.size() && v[i] >= '0' && v[i] <= '9') n = n * 10u + uint32_t(v[i++] - '0');
    return int(negative ? 0u - n : n);
}

std::string profileGetString(std::string_view section, std::string_view key, std::string_view defaultValue) {
    std::string v;
    if (!lookup(section, key, v)) return std::string(defaultValue);
    return v;
}

void profileReload() {
    std::lock_guard g(prof.lock);
    prof.loaded = false;
}

void debugOutput(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace plat
