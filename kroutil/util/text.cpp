// Trimming, word splitting and the switch scanners over caller-owned command lines.
#include <cctype>
#include <cstdint>
#include <cstring>

#include "kroutil/util.h"

namespace {

// Bytes 128..255 count as blanks too: the tools' command lines were read as signed characters.
bool isBlank(char c) { return c != 0 && static_cast<signed char>(c) <= 32; }
bool isWordChar(char c) { return static_cast<signed char>(c) > 32; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

void cut(char* text, size_t from, size_t to) { std::memmove(text + from, text + to, std::strlen(text + to) + 1); }

size_t trimInPlace(char* text) {
    size_t len = std::strlen(text);
    while (len > 0 && isBlank(text[len - 1])) --len;
    size_t start = 0;
    while (start < len && isBlank(text[start])) ++start;
    std::memmove(text, text + start, len - start);
    text[len - start] = 0;
    return len - start;
}

// Where a double quote at i closes, or 0 when it does not: an unbalanced quote hides nothing.
size_t closingQuote(const char* text, size_t i) {
    const char* close = std::strchr(text + i + 1, '"');
    return close ? size_t(close - text) : 0;
}

bool letterMatches(char c, int32_t letter) {
    return c != 0 && std::toupper(static_cast<unsigned char>(c)) == (letter & 0xFF);
}

// The next slash + letter at or after `from`, outside quoted text, whose following byte passes
// `accept`; npos when there is none.
template <class Accept>
size_t findSwitch(const char* text, size_t from, int32_t letter, Accept accept) {
    for (size_t i = from; text[i]; ++i) {
        if (text[i] == '"') {
            if (size_t close = closingQuote(text, i)) i = close;
            continue;
        }
        if (text[i] == '/' && letterMatches(text[i + 1], letter) && accept(text + i + 2)) return i;
    }
    return SIZE_MAX;
}

// Up to where a switch's value reaches: through the closing quote of a quoted value (the end of
// the line without one), else to the next blank or slash. Never past `limit`.
size_t valueEnd(const char* text, size_t valueStart, size_t limit) {
    size_t j = valueStart;
    if (j < limit && text[j] == '"') {
        size_t close = closingQuote(text, j);
        return (close && close < limit) ? close + 1 : limit;
    }
    while (j < limit && isWordChar(text[j]) && text[j] != '/') ++j;
    return j;
}

bool numberFollows(const char* p) { return isDigit(p[0]) || (p[0] == '-' && isDigit(p[1])); }

}  // namespace

extern "C" {

char* Trim(char* text) {
    if (!text) return nullptr;
    size_t len = trimInPlace(text);
    // One before the start for an empty result: formed as an address, since the caller only
    // compares it with the text.
    return reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(text) + len - 1);
}

void TrimAscii(char* text) {
    if (text) trimInPlace(text);
}

void TrimL(char* text) {
    if (!text) return;
    size_t start = 0;
    while (isBlank(text[start])) ++start;
    if (start) cut(text, 0, start);
}

void GetAndRemoveFirst(char* word, char* text) {
    if (!word) return;
    word[0] = 0;
    if (!text) return;
    TrimL(text);
    size_t end = 0;
    while (isWordChar(text[end])) ++end;
    std::memmove(word, text, end);
    word[end] = 0;
    size_t rest = end;
    while (isBlank(text[rest])) ++rest;
    if (text[rest] == ',') ++rest;
    cut(text, 0, rest);
    TrimL(text);
}

void GetAndRemoveFirstQuoted(char* word, char* text) {
    if (!word) return;
    word[0] = 0;
    if (!text) return;
    TrimL(text);
    if (text[0] == '"') {
        size_t close = closingQuote(text, 0);
        if (close) {
            std::memmove(word, text + 1, close - 1);
            word[close - 1] = 0;
            cut(text, 0, close + 1);
        } else {
            // No closing quote: the whole rest, opening quote included.
            std::strcpy(word, text);
            text[0] = 0;
        }
        trimInPlace(word);
        trimInPlace(text);
        return;
    }
    GetAndRemoveFirst(word, text);
    trimInPlace(text);
}

void RemoveQuotes(char* text) {
    if (!text) return;
    size_t len = trimInPlace(text);
    if (len >= 2 && text[0] == '"' && text[len - 1] == '"') {
        std::memmove(text, text + 1, len - 2);
        text[len - 2] = 0;
    }
}

char* findchar(const char* text, int32_t character) {
    if (!text) return nullptr;
    return const_cast<char*>(std::strchr(text, static_cast<char>(character)));
}

int32_t GetSwitch(char* commandLine, int32_t letter) {
    if (!commandLine) return 0;
    size_t at = findSwitch(commandLine, 0, letter, [](const char* next) { return static_cast<signed char>(*next) <= 47; });
    if (at == SIZE_MAX) return 0;
    cut(commandLine, at, at + 2);
    return 1;
}

int32_t GetSwitchStr(char* commandLine, int32_t letter, char* value, const char* defaultValue) {
    size_t at = commandLine ? findSwitch(commandLine, 0, letter, [](const char* next) { return isWordChar(*next); })
                            : SIZE_MAX;
    if (at == SIZE_MAX) {
        if (value) {
            const char* d = defaultValue ? defaultValue : "";
            std::memmove(value, d, std::strlen(d) + 1);
        }
        return 0;
    }
    size_t start = at + 2;
    size_t len = std::strlen(commandLine);
    size_t end = valueEnd(commandLine, start, len);
    size_t from = start, to = end;
    if (commandLine[start] == '"') {
        from = start + 1;
        if (end > from && commandLine[end - 1] == '"' && end - 1 > start) to = end - 1;
    }
    if (value) {
        std::memmove(value, commandLine + from, to - from);
        value[to - from] = 0;
    }
    cut(commandLine, at, end);
    return 1;
}

int32_t GetSwitchNum(char* commandLine, int32_t letter, int32_t defaultValue) {
    if (!commandLine) return defaultValue;
    size_t at = findSwitch(commandLine, 0, letter, numberFollows);
    if (at == SIZE_MAX) return defaultValue;
    size_t j = at + 2;
    bool negative = commandLine[j] == '-';
    if (negative) ++j;
    // Saturate: a run of thirty digits is hostile input, not a reason for overflow.
    int64_t v = 0;
    for (; isDigit(commandLine[j]); ++j) v = v > INT64_C(0xFFFFFFFF) ? v : v * 10 + (commandLine[j] - '0');
    if (negative) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    cut(commandLine, at, j);
    return static_cast<int32_t>(v);
}

int32_t GetSwitchNumPtr(char* commandLine, int32_t letter, int32_t defaultValue) {
    return GetSwitchNum(commandLine, letter, defaultValue);
}

int32_t GetSwitchFractional(char* commandLine, int32_t letter, int32_t* numerator, int32_t* denominator,
                            int32_t defaultNumerator, int32_t defaultDenominator) {
    size_t at = commandLine ? findSwitch(commandLine, 0, letter, numberFollows) : SIZE_MAX;
    int32_t n = defaultNumerator, d = defaultDenominator;
    if (at != SIZE_MAX) {
        const char* end = atofr(commandLine + at + 2, &n, &d);
        cut(commandLine, at, size_t(end - commandLine));
    }
    if (numerator) *numerator = n;
    if (denominator) *denominator = d;
    return at != SIZE_MAX;
}

void RemoveMinusSwitches(char* commandLine) {
    if (!commandLine) return;
    size_t i = 0;
    for (;;) {
        size_t minus = findSwitch(commandLine, i, '-', [](const char*) { return true; });
        // findSwitch compares the letter after the slash: '-' has no case, so this finds "/-".
        if (minus == SIZE_MAX) return;
        char cancelled = commandLine[minus + 2];
        if (cancelled == 0) {
            commandLine[minus] = 0;
            return;
        }
        int32_t letter = std::toupper(static_cast<unsigned char>(cancelled));
        size_t pos = 0;
        for (;;) {
            size_t at = findSwitch(commandLine, pos, letter, [](const char*) { return true; });
            // Only switches that end before the cancellation (in "//-/" the cancelled "//"
            // would overlap it).
            if (at == SIZE_MAX || at + 2 > minus) break;
            size_t end = valueEnd(commandLine, at + 2, minus);
            cut(commandLine, at, end);
            minus -= end - at;
            pos = at;
        }
        cut(commandLine, minus, minus + 3);
        i = minus;
    }
}

}  // extern "C"
