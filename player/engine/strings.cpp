// The STR* commands. Results longer than 767 bytes are cut there (the line buffers' size).
#include <cstring>
#include <string>

#include "player/engine/commands.h"
#include "player/engine/script.h"

namespace engine {

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

constexpr size_t kMaxResult = kLineSize - 1;

// width - length pad characters when the length is below the width (unsigned comparison, so a
// negative width asks for the most the result can hold).
void pad(char padChar, bool left) {
    char name[kLineSize], text[kLineSize];
    fetchVariableName(name);
    uint32_t width = uint32_t(fetchNumber());
    fetchAny(text);
    std::string result = text;
    uint32_t length = uint32_t(result.size());
    if (length < width) {
        size_t count = width - length;
        if (count > kMaxResult - length) count = kMaxResult - length;
        if (left) result.insert(0, count, padChar);
        else result.append(count, padChar);
    }
    SetVariable(name, result.c_str());
}

}  // namespace

void cmdStrAddBackslash() {
    char name[kLineSize], text[kLineSize];
    fetchVariableName(name);
    fetchAny(text);
    trimInPlace(text);
    size_t n = std::strlen(text);
    if (n && text[n - 1] != ':' && text[n - 1] != '\\' && n < kMaxResult) {
        text[n] = '\\';
        text[n + 1] = 0;
    }
    SetVariable(name, text);
}

void cmdStrFind() {
    char name[kLineSize], needle[kLineSize], haystack[kLineSize];
    fetchVariableName(name);
    int32_t flag = fetchNumber();
    fetchAny(needle);
    fetchAny(haystack);
    if (flag & 0xFF) {
        upperInPlace(needle);
        upperInPlace(haystack);
    }
    const char* hit = std::strstr(haystack, needle);
    SetVariableNumber(name, hit ? int32_t(hit - haystack) + 1 : 0);
}

void cmdStrFirst() {
    char first[kLineSize], rest[kLineSize], separators[kLineSize], value[kLineSize];
    fetchVariableName(first);
    fetchVariableName(rest);
    fetchAny(separators);
    GetVariable(value, rest);
    size_t at = separators[0] ? std::strcspn(value, separators) : std::strlen(value);
    if (value[at]) {
        std::string before(value, at);
        std::string after(value + at + 1);
        SetVariable(rest, after.c_str());
        SetVariable(first, before.c_str());
    } else {
        std::string whole = value;
        SetVariable(rest, "");
        SetVariable(first, whole.c_str());
    }
}

void cmdStrIsLabel() {
    char name[kLineSize], text[kLineSize];
    fetchVariableName(name);
    fetchAny(text);
    SetVariableNumber(name, LookupLabel(text) >= 0 ? 1 : 0);
}

void cmdStrIsNumeric() {
    char name[kLineSize], text[kLineSize];
    fetchVariableName(name);
    fetchAny(text);
    SetVariableNumber(name, IsNumeric(text) ? 1 : 0);
}

void cmdStrLCase() {
    char name[kLineSize], text[kLineSize];
    fetchVariableName(name);
    fetchAny(text);
    for (char* p = text; *p; ++p) *p = lowerAscii(*p);
    SetVariable(name, text);
}

void cmdStrUCase() {
    char name[kLineSize], text[kLineSize];
    fetchVariableName(name);
    fetchAny(text);
    for (char* p = text; *p; ++p) *p = upperAscii(*p);
    SetVariable(name, text);
}

void cmdStrLength() {
    char name[kLineSize], text[kLineSize];
    fetchVariableName(name);
    fetchAny(text);
    SetVariableNumber(name, int32_t(std::strlen(text)));
}

void cmdStrLPad() { pad(' ', true); }
void cmdStrLPadZero() { pad('0', true); }
void cmdStrRPad() { pad(' ', false); }

void cmdStrPiece() {
    char name[kLineSize], text[kLineSize];
    fetchVariableName(name);
    int32_t start = fetchNumber();
    uint32_t count = uint32_t(fetchNumber());  // a negative count counts as very large
    fetchAny(text);
    uint32_t length = uint32_t(std::strlen(text));
    uint32_t offset = start == 0 ? 0 : uint32_t(start) - 1u;
    std::string result;
    if (offset < length) {
        if (count > length - offset) count = length - offset;
        result.assign(text + offset, count);
    }
    SetVariable(name, result.c_str());
}

void cmdStrRepeat() {
    char name[kLineSize], ch[kLineSize];
    fetchVariableName(name);
    fetchNonEmpty(ch);
    uint32_t count = uint32_t(fetchNumber());
    unsigned char byte = IsNumeric(ch) ? static_cast<unsigned char>(toNumber(ch) & 0xFF)
                                       : static_cast<unsigned char>(ch[0]);
    std::string result;
    if (byte) result.assign(count > kMaxResult ? kMaxResult : count, char(byte));
    SetVariable(name, result.c_str());
}

void cmdStrTrim() {
    char name[kLineSize], text[kLineSize];
    fetchVariableName(name);
    fetchAny(text);
    trimInPlace(text);
    SetVariable(name, text);
}

}  // namespace engine
