// Parameters, the variable store, the push stack and the VAR* and COMPUTE* commands.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "player/engine/commands.h"
#include "player/engine/script.h"

namespace engine {

namespace {

constexpr unsigned char kStartMark = 255;
constexpr unsigned char kSeparator = 254;

struct VariableState {
    // The entries, then room for the end marker (255, 0).
    unsigned char store[kVarStoreSize + 2];
    size_t used;
    unsigned char pushStack[kPushStackSize];
    size_t pushTop;
};
VariableState gVars;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isAlnum(char c) { return isDigit(c) || isAlpha(c); }

// Trims, upper-cases and cleans a name into a key "255 NAME 254"; returns the key's length
// (0 for a name that is empty after trimming).
size_t makeKey(const char* name, unsigned char* key) {
    while (*name && isBlank(*name)) ++name;
    size_t n = std::strlen(name);
    while (n && isBlank(name[n - 1])) --n;
    if (n > size_t(kLineSize - 1)) n = kLineSize - 1;
    size_t k = 0;
    key[k++] = kStartMark;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(upperAscii(name[i]));
        if (c == kStartMark || c == kSeparator) continue;
        key[k++] = c;
    }
    if (k == 1) return 0;
    key[k++] = kSeparator;
    return k;
}

// The next start mark at or after p (or end). Entries are mostly short, so a few bytes are
// looked at one by one before handing the rest to memchr.
const unsigned char* nextMark(const unsigned char* p, const unsigned char* end) {
    for (int i = 0; i < 16; ++i, ++p)
        if (p >= end || *p == kStartMark) return p;
    const void* hit = std::memchr(p, kStartMark, size_t(end - p));
    return hit ? static_cast<const unsigned char*>(hit) : end;
}

// Offset of the entry with this key, or -1. Keys can only match at entry starts (values hold
// no byte 255), so walking the entries finds what a search of the whole text would.
long findKey(const unsigned char* key, size_t keyLength) {
    const unsigned char* p = gVars.store;
    const unsigned char* end = gVars.store + gVars.used;
    while (p < end) {
        if (p[1] == key[1] && size_t(end - p) >= keyLength && std::memcmp(p, key, keyLength) == 0)
            return long(p - gVars.store);
        p = nextMark(p + 1, end);
    }
    return -1;
}

size_t valueEnd(size_t from) {
    return size_t(nextMark(gVars.store + from, gVars.store + gVars.used) - gVars.store);
}

void writeEndMarker() {
    gVars.store[gVars.used] = kStartMark;
    gVars.store[gVars.used + 1] = 0;
}

void skipBlanksAndCommas(char*& p) {
    while (*p && (isBlank(*p) || *p == ',')) ++p;
}

void copyCapped(char* out, const char* src, size_t n) {
    if (n > size_t(kLineSize - 1)) n = kLineSize - 1;
    std::memcpy(out, src, n);
    out[n] = 0;
}

}  // namespace

// ---- text helpers -------------------------------------------------------------------------

void trimInPlace(char* text) {
    char* p = text;
    while (*p && isBlank(*p)) ++p;
    size_t n = std::strlen(p);
    while (n && isBlank(p[n - 1])) --n;
    std::memmove(text, p, n);
    text[n] = 0;
}

void upperInPlace(char* text) {
    for (; *text; ++text) *text = upperAscii(*text);
}

void skipLeadingBlanks() {
    while (*gScript.param && isBlank(*gScript.param)) ++gScript.param;
}

bool IsNumeric(const char* text) {
    if (*text && isBlank(*text)) ++text;
    if (!*text) return false;
    if (*text == '-') ++text;
    for (; *text; ++text)
        if (!isDigit(*text)) return false;
    return true;
}

int32_t toNumber(const char* text) {
    while (*text && isBlank(*text)) ++text;
    bool negative = false;
    if (*text == '-' || *text == '+') negative = *text++ == '-';
    // Numbers outside the signed 32-bit range keep their low 32 bits (the arithmetic wraps).
    uint32_t v = 0;
    for (; isDigit(*text); ++text) v = v * 10u + uint32_t(*text - '0');
    if (negative) v = 0u - v;
    return static_cast<int32_t>(v);
}

// ---- variables ----------------------------------------------------------------------------

void resetVariables() {
    gVars.used = 0;
    writeEndMarker();
    gVars.pushTop = 0;
}

void GetVariable(char* out, const char* name) {
    unsigned char key[kLineSize + 2];
    size_t keyLength = makeKey(name, key);
    out[0] = 0;
    if (!keyLength) return;
    long at = findKey(key, keyLength);
    if (at < 0) return;
    size_t from = size_t(at) + keyLength;
    size_t to = valueEnd(from);
    copyCapped(out, reinterpret_cast<const char*>(gVars.store + from), to - from);
}

void SetVariable(const char* name, const char* valueIn) {
    unsigned char key[kLineSize + 2];
    size_t keyLength = makeKey(name, key);
    // Values are cut at 767 bytes (the line buffers' size) and lose any bytes 254 and 255,
    // which would break the store's entry marks.
    char value[kLineSize];
    size_t vn = 0;
    if (valueIn) {
        for (const char* v = valueIn; *v && vn < size_t(kLineSize - 1); ++v) {
            unsigned char c = static_cast<unsigned char>(*v);
            if (c != kStartMark && c != kSeparator) value[vn++] = char(c);
        }
    }
    value[vn] = 0;
    if (debugOpen()) {
        debugWrite("  ***");
        if (keyLength) debugWrite(reinterpret_cast<const char*>(key + 1), keyLength - 2);
        debugWrite("=\"");
        debugWrite(value, vn);
        debugWrite("\"");
    }
    if (!keyLength) return;  // a name that is empty after trimming names no variable
    long at = findKey(key, keyLength);
    if (at >= 0) {
        size_t start = size_t(at);
        size_t from = start + keyLength;
        size_t to = valueEnd(from);
        if (vn == 0) {
            std::memmove(gVars.store + start, gVars.store + to, gVars.used - to);
            gVars.used -= to - start;
        } else {
            size_t oldLength = to - from;
            // A longer value that would overflow the store leaves the old one in place.
            if (vn > oldLength && gVars.used + (vn - oldLength) > size_t(kVarStoreSize)) return;
            std::memmove(gVars.store + from + vn, gVars.store + to, gVars.used - to);
            std::memcpy(gVars.store + from, value, vn);
            gVars.used = gVars.used - oldLength + vn;
        }
        writeEndMarker();
        return;
    }
    if (vn == 0) return;
    if (gVars.used + keyLength + vn > size_t(kVarStoreSize)) return;
    std::memcpy(gVars.store + gVars.used, key, keyLength);
    std::memcpy(gVars.store + gVars.used + keyLength, value, vn);
    gVars.used += keyLength + vn;
    writeEndMarker();
}

void SetVariableNumber(const char* name, int32_t value) {
    // "%i" by hand: this runs for every COMPUTE.
    char text[16];
    char* p = text + sizeof text;
    *--p = 0;
    uint32_t u = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
    do {
        *--p = char('0' + u % 10u);
        u /= 10u;
    } while (u);
    if (value < 0) *--p = '-';
    SetVariable(name, p);
}

std::vector<std::string> listVariables() {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < gVars.used) {
        size_t end = i + 1;
        while (end < gVars.used && gVars.store[end] != kStartMark) ++end;
        std::string entry(reinterpret_cast<const char*>(gVars.store + i + 1), end - i - 1);
        size_t sep = entry.find(char(kSeparator));
        if (sep != std::string::npos) entry[sep] = '=';
        out.push_back(entry);
        i = end;
    }
    return out;
}

bool variableStoreConsistent() {
    if (gVars.used > size_t(kVarStoreSize)) return false;
    if (gVars.store[gVars.used] != kStartMark || gVars.store[gVars.used + 1] != 0) return false;
    size_t i = 0;
    while (i < gVars.used) {
        if (gVars.store[i] != kStartMark) return false;
        size_t end = i + 1, separators = 0, nameLength = 0;
        while (end < gVars.used && gVars.store[end] != kStartMark) {
            if (gVars.store[end] == kSeparator) ++separators;
            else if (!separators) ++nameLength;
            ++end;
        }
        if (separators != 1 || nameLength == 0 || end - i < nameLength + 3) return false;
        i = end;
    }
    return true;
}

size_t variableStoreUsed() { return gVars.used; }
size_t pushStackUsed() { return gVars.pushTop; }

// ---- substitution and parameters ----------------------------------------------------------

void SubstituteVariables(char* text) {
    if (!std::strchr(text, '%')) return;
    std::string cur = text;
    int replacements = 0;
    char value[kLineSize];
    bool changed = true;
    while (changed && replacements < kMaxSubstitutions) {
        changed = false;
        size_t i = 0, n = cur.size();
        while (i < n) {
            while (i < n && isBlank(cur[i])) ++i;
            size_t start = i;
            while (i < n && !isBlank(cur[i])) ++i;
            size_t wordEnd = i;
            while (i < n && isBlank(cur[i])) ++i;
            if (i < n && cur[i] == ',') ++i;
            if (wordEnd - start < 3) continue;
            size_t a = cur.find('%', start);
            if (a == std::string::npos || a >= wordEnd) continue;
            while (a < wordEnd && cur[a] == '%') ++a;
            size_t e = cur.find('%', a);
            if (e == std::string::npos || e >= wordEnd) continue;
            std::string name = cur.substr(a, e - a);
            GetVariable(value, name.c_str());
            std::string pattern = "%" + name + "%";
            size_t at = cur.find(pattern);
            if (at == std::string::npos) continue;
            cur.replace(at, pattern.size(), value);
            if (cur.size() > size_t(kLineSize - 1)) cur.resize(kLineSize - 1);
            ++replacements;
            changed = true;
            break;
        }
    }
    std::memcpy(text, cur.c_str(), cur.size() + 1);
}

ParamKind FetchParam(char* out, bool substitute) {
    char*& p = gScript.param;
    skipBlanksAndCommas(p);
    if (!*p) {
        out[0] = 0;
        return PARAM_NONE;
    }
    const char c = *p;
    if (c == '"' || c == '\'') {
        const char* body = p + 1;
        const char* close = std::strchr(body, c);
        size_t n = close ? size_t(close - body) : std::strlen(body);
        copyCapped(out, body, n);
        p = const_cast<char*>(close ? close + 1 : body + n);
        skipBlanksAndCommas(p);
        SubstituteVariables(out);
        return PARAM_TEXT;
    }
    if (c == '=' || c == '<' || c == '>' || (c == '@' && (p[1] == '=' || p[1] == '<' || p[1] == '>'))) {
        size_t n = 0;
        if (p[n] == '@') ++n;
        if (p[n] == '<') ++n;
        if (p[n] == '>') ++n;
        if (p[n] == '=') ++n;
        copyCapped(out, p, n);
        p += n;
        skipBlanksAndCommas(p);
        return PARAM_COMPARE;
    }
    if (c == '*' || c == '/' || c == '+' || c == '|' || c == '^' || c == '%' || c == '&' ||
        (c == '-' && !isDigit(p[1]))) {
        out[0] = c;
        out[1] = 0;
        ++p;
        skipBlanksAndCommas(p);
        return PARAM_OPERATOR;
    }
    size_t n = (c == '-') ? 1 : 0;
    while (isAlnum(p[n])) ++n;
    copyCapped(out, p, n);
    if (substitute && isAlpha(out[0])) {
        // A bare word is letters and digits only: its key needs no trimming or cleaning.
        unsigned char key[kLineSize + 2];
        size_t k = 0;
        key[k++] = kStartMark;
        for (size_t i = 0; i < n && i < size_t(kLineSize - 1); ++i)
            key[k++] = static_cast<unsigned char>(upperAscii(p[i]));
        key[k++] = kSeparator;
        long at = findKey(key, k);
        out[0] = 0;
        if (at >= 0) {
            size_t from = size_t(at) + k;
            copyCapped(out, reinterpret_cast<const char*>(gVars.store + from), valueEnd(from) - from);
        }
    }
    if (n) {
        p += n;
        skipBlanksAndCommas(p);
    }
    if (!substitute) return PARAM_WORD;
    return IsNumeric(out) ? PARAM_NUMBER : PARAM_TEXT;
}

void fetchVariableName(char* out) {
    if (FetchParam(out, false) != PARAM_WORD) CommandError("  Needed a variable in command:\r\n    ");
}

int32_t fetchNumber() {
    char buf[kLineSize];
    if (FetchParam(buf, true) != PARAM_NUMBER) CommandError("  Needed a number in command:\r\n    ");
    return toNumber(buf);
}

void fetchAny(char* out) {
    if (FetchParam(out, true) == PARAM_NONE) CommandError("  Needed a parameter in command:\r\n    ");
}

void fetchNonEmpty(char* out) {
    if (FetchParam(out, true) == PARAM_NONE || out[0] == 0)
        CommandError("  Needed a non-empty parameter in command:\r\n    ");
}

// ---- object numbers -----------------------------------------------------------------------

int ValidateBitmapNumber(const char* text, bool allowZero, bool (*slotUsed)(int)) {
    int32_t n = toNumber(text);
    if (allowZero && n == 0) return -1;
    if (n >= 9000 && n <= 9127 && slotUsed && slotUsed(n - 9000)) return n - 9000;
    CommandError("  Bad frame parameter:\r\n    ");
}

int ValidateAnimationNumber(const char* text, bool (*slotUsed)(int)) {
    int32_t n = toNumber(text);
    if (n >= 3000 && n <= 3031 && slotUsed && slotUsed(n - 3000)) return n - 3000;
    CommandError("  Bad animation parameter:\r\n    ");
}

int ValidateFileNumber(const char* text) {
    int32_t n = toNumber(text);
    if (n >= 5000 && n < 5000 + kFileSlots && gScript.fileSlots[n - 5000]) return n - 5000;
    CommandError("  Bad file parameter:\r\n    ");
}

// ---- commands -----------------------------------------------------------------------------

void cmdVarSet() {
    char name[kLineSize], value[kLineSize];
    fetchVariableName(name);
    fetchAny(value);
    if (std::strcmp(value, "=") == 0) fetchAny(value);
    SetVariable(name, value);
}

namespace {
// True while the parameter text still holds list items (not at its end, '#' or ';').
bool moreNames() {
    skipLeadingBlanks();
    char* p = gScript.param;
    while (*p == ',' || (*p && isBlank(*p))) ++p;
    gScript.param = p;
    return *p && *p != '#' && *p != ';';
}
// A list item: a bare word that is not empty (an empty word would not move the text on).
void fetchListName(char* out) {
    fetchVariableName(out);
    if (!out[0]) CommandError("  Needed a variable in command:\r\n    ");
}
}  // namespace

void cmdVarFree() {
    char name[kLineSize];
    if (!moreNames()) CommandError("  Needed a variable in command:\r\n    ");
    while (moreNames()) {
        fetchListName(name);
        SetVariable(name, "");
    }
}

void cmdVarPush() {
    char name[kLineSize], value[kLineSize];
    if (!moreNames()) CommandError("  Needed a variable in command:\r\n    ");
    // Collect the frame first: a frame that does not fit is refused whole, so that VARPOP never
    // meets half a frame.
    std::string frame(4, char(255));
    while (moreNames()) {
        fetchListName(name);
        GetVariable(value, name);
        upperInPlace(name);
        frame.back() = char(255);
        frame += name;
        frame += char(255);
        frame += value;
        frame += char(255);  // the next item's start mark (dropped after the last item)
    }
    frame.pop_back();
    if (gVars.pushTop + frame.size() + 1 > size_t(kPushStackSize))
        CommandError("  Variable push stack full in command:\r\n    ");
    std::memcpy(gVars.pushStack + gVars.pushTop, frame.data(), frame.size());
    gVars.pushTop += frame.size();
}

void cmdVarPop() {
    // Items are "255 NAME 255 value"; a frame starts with three further 255 bytes.
    unsigned char* s = gVars.pushStack;
    while (gVars.pushTop >= 5) {
        size_t top = gVars.pushTop;
        size_t sep = top;
        while (sep > 0 && s[sep - 1] != 255) --sep;
        if (sep == 0) break;
        --sep;  // the separator between name and value
        size_t start = sep;
        while (start > 0 && s[start - 1] != 255) --start;
        if (start == 0) break;
        --start;  // the item's start mark
        std::string name(reinterpret_cast<char*>(s + start + 1), sep - start - 1);
        std::string value(reinterpret_cast<char*>(s + sep + 1), top - sep - 1);
        SetVariable(name.c_str(), value.c_str());
        bool frameStart = start >= 3 && s[start - 1] == 255 && s[start - 2] == 255 && s[start - 3] == 255;
        if (frameStart) {
            gVars.pushTop = start - 3;
            return;
        }
        gVars.pushTop = start;
    }
    gVars.pushTop = 0;
}

void cmdVarList() { WriteListing(listVariables(), true); }

void cmdCompute() {
    char name[kLineSize], a[kLineSize], op[kLineSize], b[kLineSize];
    fetchVariableName(name);
    ParamKind k = FetchParam(a, true);
    if (std::strcmp(a, "=") == 0) {
        if (FetchParam(a, true) != PARAM_NUMBER) CommandError("  Needed a number in command:\r\n    ");
    } else if (k != PARAM_NUMBER) {
        CommandError("  Error in compute command:\r\n    ");
    }
    if (FetchParam(op, true) == PARAM_NONE) CommandError("  Needed a parameter in command:\r\n    ");
    int32_t right;
    if (op[0] == '-' && op[1]) {
        right = toNumber(op + 1);
    } else {
        if (FetchParam(b, true) != PARAM_NUMBER) CommandError("  Needed a number in command:\r\n    ");
        right = toNumber(b);
    }
    const int32_t left = toNumber(a);
    // Unsigned arithmetic gives the wrapping that signed overflow would not promise.
    const uint32_t ua = uint32_t(left), ub = uint32_t(right);
    int32_t result;
    switch (op[0]) {
        case '+': result = int32_t(ua + ub); break;
        case '-': result = int32_t(ua - ub); break;
        case '*': result = int32_t(ua * ub); break;
        case '/':
            if (right == 0) result = 0;
            else if (left == INT32_MIN && right == -1) result = INT32_MIN;  // the wrapped quotient
            else result = left / right;
            break;
        case '%':
            if (right == 0 || right == -1) result = 0;
            else result = left % right;
            break;
        case '&': result = int32_t(ua & ub); break;
        case '|': result = int32_t(ua | ub); break;
        case '^': result = int32_t(ua ^ ub); break;
        default: CommandError("  Unknown operator in command:\r\n    ");
    }
    SetVariableNumber(name, result);
}

void cmdComputeAbs() {
    char name[kLineSize];
    fetchVariableName(name);
    int32_t n = fetchNumber();
    uint32_t u = uint32_t(n);
    if (n < 0) u = 0u - u;  // -2147483648 stays -2147483648
    SetVariableNumber(name, int32_t(u));
}

void cmdComputeSqrt() {
    char name[kLineSize];
    fetchVariableName(name);
    int32_t n = fetchNumber();
    int32_t result = 32768;
    if (n >= 0) {
        long r = std::lround(std::sqrt(double(n)));
        if (r < 32768) result = int32_t(r);
    }
    SetVariableNumber(name, result);
}

}  // namespace engine
