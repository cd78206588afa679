// Graphics input: the command-line switches that make the arguments of GFileOpen and GFileGet.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kroutil/gfile.h"
#include "kroutil/util.h"

namespace {

int64_t gcd64(int64_t a, int64_t b) {
    a = a < 0 ? -a : a;
    b = b < 0 ? -b : b;
    while (b) {
        int64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// A frame rate from a switch: negative values are frame periods (milliseconds, or 10-microsecond
// units below -1500) and become frames per second. The sign is the numerator's: -0.5 is a
// period like -5 is.
void convertRate(int32_t* num, int32_t* den) {
    int64_t n = *num, d = *den;
    if (d < 0) {
        n = -n;
        d = -d;
    }
    if (n < 0 && d > 0) {
        int64_t an = -n;
        if (an > 1500 * d) n = d * 100000, d = an;  // n / d below -1500
        else n = d * 1000, d = an;
    }
    int64_t g = gcd64(n, d);
    if (n != 0 && d != 0 && g > 1) {
        n /= g;
        d /= g;
    }
    while (n > INT32_MAX || n < INT32_MIN || d > INT32_MAX) {
        n /= 2;
        d = std::max<int64_t>(d / 2, 1);
    }
    *num = int32_t(n);
    *den = int32_t(d);
}

// The ( and ) size specs: a negative fraction n/d is a scale factor (n x 1000 / d - 1000), any
// other a whole number of pixels (-1 stays the proportional spec).
int32_t sizeSpec(int32_t n, int32_t d) {
    if (n == 0 || d == 0) return 0;
    if ((n < 0 || d < 0) && int64_t(n) + d != 0) {
        int64_t v = int64_t(n) * 1000 / d - 1000;
        return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
    }
    return int32_t(int64_t(n) / d);
}

template <typename T>
void put(T* out, T value) {
    if (out) *out = value;
}

}  // namespace

extern "C" KRO_API void GFileCommandLine(char* commandLine, int32_t* flags, int32_t* samplingRateNum,
                                         int32_t* samplingRateDen, int32_t* outputRateNum, int32_t* outputRateDen,
                                         int32_t* median, int32_t* softening, int32_t* levels, int32_t* brightness,
                                         float* gamma, int32_t* threshold, int32_t* widthSpec, int32_t* heightSpec,
                                         int32_t* x, int32_t* y, int32_t* canvasWidth, int32_t* canvasHeight,
                                         int32_t* firstFrame, int32_t* lastFrame, int32_t* paletteThreshold,
                                         int32_t* paletteStart, int32_t* paletteCount, int32_t* paletteReserve,
                                         uint8_t* paletteOption, uint8_t* conversionMode, char* paletteFile) {
    if (!commandLine) return;
    {
        int32_t z = GetSwitchNum(commandLine, 'Z', 0);
        int32_t f = 0;
        if (z >= 10000) {
            f |= GFILE_COMMAND_LINE_BIT;
            z %= 10000;
        }
        if (z >= 1000) {
            f |= GFILE_KEEP_ALPHA;
            if (z >= 3000) f |= GFILE_PREMULTIPLY | GFILE_DIVIDE_ALPHA;
            else if (z >= 2000) f |= GFILE_PREMULTIPLY;
            z %= 1000;
        }
        if (z >= 200) {
            f |= GFILE_BOX;
            z %= 200;
        } else if (z >= 100) {
            f |= GFILE_TRIANGLE;
            z -= 100;
        }
        f |= z & GFILE_PALETTE_MASK;
        int32_t fields = GetSwitchNum(commandLine, ';', 0);
        if ((fields & 7) == 1) f |= GFILE_FIELD_1;
        if ((fields & 7) == 2) f |= GFILE_FIELD_2;
        if (fields & 8) f |= GFILE_FIELD_BLEND;
        put(flags, f);
    }
    int32_t n = 0, d = 0;
    GetSwitchFractional(commandLine, 'F', &n, &d, 0, 0);
    convertRate(&n, &d);
    put(samplingRateNum, n);
    put(samplingRateDen, d);
    n = d = 0;
    GetSwitchFractional(commandLine, 'A', &n, &d, 0, 0);
    convertRate(&n, &d);
    put(outputRateNum, n);
    put(outputRateDen, d);

    put(median, GetSwitchNum(commandLine, '~', 0));
    put(softening, GetSwitchNum(commandLine, ':', 0));
    put(levels, GetSwitchNum(commandLine, '{', 0));
    put(brightness, GetSwitchNum(commandLine, '[', 100));
    n = d = 1;
    GetSwitchFractional(commandLine, ']', &n, &d, 1, 1);
    put(gamma, d ? float(double(n) / double(d)) : 1.0f);
    put(threshold, GetSwitchNum(commandLine, '}', 0));

    n = d = 0;
    GetSwitchFractional(commandLine, '(', &n, &d, 0, 1);
    put(widthSpec, sizeSpec(n, d));
    n = d = 0;
    GetSwitchFractional(commandLine, ')', &n, &d, 0, 1);
    put(heightSpec, sizeSpec(n, d));
    put(x, GetSwitchNum(commandLine, 'X', 0));
    put(y, GetSwitchNum(commandLine, 'Y', 0));
    put(canvasWidth, GetSwitchNum(commandLine, 'W', 0));
    put(canvasHeight, GetSwitchNum(commandLine, 'H', 0));
    put(firstFrame, GetSwitchNum(commandLine, 'S', 0));
    put(lastFrame, GetSwitchNum(commandLine, 'E', 0));
    int32_t u = GetSwitchNum(commandLine, 'U', 65536);
    put(paletteThreshold, u <= 0 || u > 65536 ? 65536 : u);
    int32_t q = GetSwitchNum(commandLine, 'Q', 256);
    if (q <= 0 || q > 256) q = 256;
    int32_t i = GetSwitchNum(commandLine, 'I', (256 - q) / 2);
    i = std::clamp(i, 0, 256 - q);
    put(paletteStart, i);
    put(paletteCount, q);
    put(paletteReserve, GetSwitchNum(commandLine, '$', 0));
    put(paletteOption, uint8_t(GetSwitchNum(commandLine, 'D', 0)));
    put(conversionMode, uint8_t(GetSwitchNum(commandLine, 'T', 0)));
    // The switch is cut out even when nobody wants its value.
    std::string file(std::strlen(commandLine) + 1, '\0');
    GetSwitchStr(commandLine, '&', file.data(), "");
    if (paletteFile) std::strcpy(paletteFile, file.c_str());
}
