// The switch and word helpers on arbitrary command lines. Each call gets a text in a buffer of
// exactly its own size (and outputs of that size), so any read or write beyond it is caught.
#include <cstdint>
#include <cstring>
#include <vector>

#include "kroutil/util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int32_t letter = 'A' + data[0] % 26;
    std::vector<char> text(data + 1, data + size);
    for (char& c : text)
        if (c == 0) c = ' ';  // the helpers take zero-terminated text
    text.push_back(0);
    std::vector<char> line, out(text.size());
    auto fresh = [&] {
        line = text;
        return line.data();
    };

    GetSwitch(fresh(), letter);
    GetSwitchStr(fresh(), letter, out.data(), "");
    GetSwitchNum(fresh(), letter, 0);
    int32_t n, d;
    GetSwitchFractional(fresh(), letter, &n, &d, 0, 1);
    if (d == 0) __builtin_trap();  // a denominator is never 0
    RemoveMinusSwitches(fresh());
    atofr(fresh(), &n, &d);
    if (d <= 0) __builtin_trap();

    // A command line taken apart the way a tool does: switches first, then words until empty.
    char* l = fresh();
    RemoveMinusSwitches(l);
    while (GetSwitchStr(l, letter, out.data(), "") || GetSwitch(l, letter)) {
    }
    for (int words = 0; l[0] && words < 1000; ++words) GetAndRemoveFirstQuoted(out.data(), l);
    if (l[0]) __builtin_trap();  // every word splitting step takes at least one byte away

    l = fresh();
    for (int words = 0; l[0] && words < 1000; ++words) GetAndRemoveFirst(out.data(), l);
    Trim(fresh());
    RemoveQuotes(fresh());
    HasExtension(fresh());
    return 0;
}
