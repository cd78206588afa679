// Reads the switches of graphics input from a fuzzed command line: every output asked for, then
// none (the switches are cut out either way), and the result fed to the size and rate checks a
// caller would make.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kroutil/gfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> line(data, data + size);
    line.push_back(0);
    std::vector<char> copy = line;
    std::vector<char> file(line.size(), 0);
    int32_t v[24];
    float gamma = 0;
    uint8_t option = 0, mode = 0;
    GFileCommandLine(line.data(), &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &gamma, &v[9], &v[10],
                     &v[11], &v[12], &v[13], &v[14], &v[15], &v[16], &v[17], &v[18], &v[19], &v[20], &v[21], &option,
                     &mode, file.data());
    // Rates come out as fractions with a non-negative denominator.
    if (v[2] < 0 || v[4] < 0) __builtin_trap();
    // The palette range always fits the palette.
    if (v[19] < 0 || v[20] < 1 || v[20] > 256 || v[19] + v[20] > 256) __builtin_trap();
    if (std::strlen(file.data()) >= file.size()) __builtin_trap();
    GFileCommandLine(copy.data(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (std::strcmp(copy.data(), line.data()) != 0) __builtin_trap();
    return 0;
}
