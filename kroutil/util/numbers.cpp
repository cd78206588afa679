// Fractions, frame rates and number texts.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kroutil/util.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int64_t gcd64(int64_t a, int64_t b) {
    if (a < 0) a = -a;
    if (b < 0) b = -b;
    while (b) {
        int64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

void reduce(int64_t& num, int64_t& den) {
    if (num == 0 || den == 0) return;
    int64_t g = gcd64(num, den);
    num /= g;
    den /= g;
}

// Digits "d[.f]" as (d x 10^k + f) / 10^k. Both parts stay within 32 bits: integer digits past
// that saturate, fraction digits past it are read but no longer add precision.
const char* readDecimal(const char* p, int64_t& num, int64_t& den) {
    num = 0;
    den = 1;
    bool saturated = false;
    for (; isDigit(*p); ++p) {
        if (saturated) continue;
        num = num * 10 + (*p - '0');
        if (num > INT32_MAX) {
            num = INT32_MAX;
            saturated = true;
        }
    }
    if (*p == '.') {
        ++p;
        for (; isDigit(*p); ++p) {
            if (saturated || num * 10 + 9 > INT32_MAX || den * 10 > INT32_MAX) {
                saturated = true;
                continue;
            }
            num = num * 10 + (*p - '0');
            den *= 10;
        }
    }
    reduce(num, den);
    return p;
}

// Brings a fraction into 32 bits, keeping its value as closely as the bits allow; a value
// beyond the numerator's range saturates.
void fit32(int64_t num, int64_t den, int32_t& outNum, int32_t& outDen) {
    reduce(num, den);
    int64_t mag = num < 0 ? -num : num;
    int64_t big = mag > den ? mag : den;
    if (big > INT32_MAX) {
        int64_t scale = big / INT32_MAX + 1;
        int64_t d = (den + scale / 2) / scale;
        if (d == 0) {
            num = num < 0 ? -int64_t{INT32_MAX} : INT32_MAX;
            den = 1;
        } else {
            num = (num < 0 ? num - scale / 2 : num + scale / 2) / scale;
            den = d;
            reduce(num, den);
        }
    }
    outNum = static_cast<int32_t>(num);
    outDen = static_cast<int32_t>(den);
}

}  // namespace

extern "C" {

void GCDNums(int32_t* numerator, int32_t* denominator) {
    if (!numerator || !denominator || *numerator == 0 || *denominator == 0) return;
    int64_t n = *numerator, d = *denominator;
    reduce(n, d);  // in 64 bits: |INT32_MIN| has no 32-bit negation
    *numerator = static_cast<int32_t>(n);
    *denominator = static_cast<int32_t>(d);
}

char* atofr(const char* text, int32_t* numerator, int32_t* denominator) {
    int32_t dummyN, dummyD;
    if (!numerator) numerator = &dummyN;
    if (!denominator) denominator = &dummyD;
    if (!text) {
        *numerator = 0;
        *denominator = 1;
        return nullptr;
    }
    const char* p = text;
    if (!isDigit(*p) && *p != '.' && *p != '-') {
        *numerator = 0;
        *denominator = 1;
    }
    bool negative = *p == '-';
    if (negative) ++p;
    int64_t num, den;
    p = readDecimal(p, num, den);
    if (p[0] == ';' && isDigit(p[1])) {
        int64_t m, q;
        p = readDecimal(p + 1, m, q);
        // Each part is below 2^31, so the products fit 64 bits.
        num *= q;
        den *= m;
        reduce(num, den);
    }
    if (negative) num = -num;
    if (den == 0) den = 1;
    fit32(num, den, *numerator, *denominator);
    return const_cast<char*>(p);
}

char* U32toa(char* buffer, uint32_t value) {
    if (!buffer) return nullptr;
    int n = std::snprintf(buffer, 12, "%d", static_cast<int32_t>(value));
    return buffer + n;
}

uint32_t atoU32(const char* text) {
    if (!text) return 0;
    // atoi's reading, saturated instead of undefined on long digit runs.
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int64_t v = 0;
    for (; isDigit(*p); ++p) {
        v = v * 10 + (*p - '0');
        if (v > INT64_C(0x80000000)) v = INT64_C(0x80000000);
    }
    if (negative) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    return static_cast<uint32_t>(static_cast<int32_t>(v));
}

char* CommaNum(char* buffer, uint64_t value) {
    if (!buffer) return nullptr;
    char digits[21];
    int n = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    char* out = buffer;
    for (int i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) *out++ = ',';
        *out++ = digits[i];
    }
    *out = 0;
    return buffer;
}

char* GetElapsedTime(char* buffer, uint32_t t) {
    if (!buffer) return nullptr;
    char* p = buffer;
    auto number = [&](uint32_t v) { p = U32toa(p, v); };
    auto word = [&](const char* w) {
        size_t n = std::strlen(w);
        std::memcpy(p, w, n + 1);
        p += n;
    };
    if (t <= 999) {
        number(t);
        word(t == 1 ? " millisecond" : " milliseconds");
    } else if (t <= 59999) {
        uint32_t s = t / 1000;
        number(s);
        word(s == 1 ? " second" : " seconds");
    } else if (t <= 3599999) {
        uint32_t m = t / 60000, s = (t % 60000) / 1000;
        number(m);
        word(m == 1 ? " minute " : " minutes ");
        number(s);
        word(s == 1 ? " second" : " seconds");
    } else {
        uint32_t h = t / 3600000, m = (t % 3600000) / 60000;
        number(h);
        word(h == 1 ? " hour " : " hours ");
        number(m);
        word(m == 1 ? " minute" : " minutes");
    }
    return buffer;
}

int32_t MakeFrameRate(int32_t rate) {
    if (rate == 0) return 0;
    int64_t r = rate;
    int64_t period;
    if (r > 0)
        period = 100000 / r;
    else if (r >= -1500)
        period = -r * 100;
    else
        period = -r;  // -INT32_MIN is out of 32 bits: saturated below
    if (period < 5) period = 5;
    if (period > INT32_MAX) period = INT32_MAX;
    return static_cast<int32_t>(period);
}

int32_t is_64bit(void) {
    // Only a 32-bit process on a 64-bit system answers 1; this library is built 64-bit.
    return 0;
}

}  // extern "C"
