// Command-line handling shared by the benchmark programs: --help prints the usage and exits 0; an
// unknown option, a surplus argument or a number that is not positive prints the usage and exits
// 2, so that a mistyped run never prints figures for a workload nobody asked for.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

[[noreturn]] inline void usageExit(const char* usage, int code) {
    std::fputs(usage, code == 0 ? stdout : stderr);
    std::exit(code);
}

// Handles --help / -h and refuses options and more than maxArgs positional arguments.
inline void checkArgs(int argc, char** argv, int maxArgs, const char* usage) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) usageExit(usage, 0);
        // "-" followed by a digit is a (negative) number and is refused by positive() instead.
        if (argv[i][0] == '-' && !(argv[i][1] >= '0' && argv[i][1] <= '9')) {
            std::fprintf(stderr, "unknown option: %s\n", argv[i]);
            usageExit(usage, 2);
        }
    }
    if (argc - 1 > maxArgs) {
        std::fprintf(stderr, "too many arguments\n");
        usageExit(usage, 2);
    }
}

// The argument as a positive finite number, or the usage and exit 2.
inline double positive(const char* arg, const char* what, const char* usage) {
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(arg, &end);
    if (end == arg || *end != '\0' || errno != 0 || !std::isfinite(v) || v <= 0) {
        std::fprintf(stderr, "%s must be a positive number, not \"%s\"\n", what, arg);
        usageExit(usage, 2);
    }
    return v;
}

// As positive(), for a whole number no larger than max.
inline long long positiveWhole(const char* arg, const char* what, long long max, const char* usage) {
    double v = positive(arg, what, usage);
    if (v != std::floor(v) || v > double(max)) {
        std::fprintf(stderr, "%s must be a whole number from 1 to %lld, not \"%s\"\n", what, max, arg);
        usageExit(usage, 2);
    }
    return (long long)v;
}

}  // namespace bench
