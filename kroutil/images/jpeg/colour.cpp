// Upsampling by replication and the colour conversions of reading.
//
// The conversion is written as plain arithmetic on whole rows (the tables of the classic design
// are these same expressions evaluated once per value), so that the compiler turns it into
// vector code; a second copy is compiled for AVX2 and chosen at run time.
#include <cstring>

#include "kroutil/images/jpeg/jpeg_internal.h"

namespace torvex::jpeg {

bool gForceScalar = false;

bool cpuHasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

namespace {

inline uint8_t clamp255(int32_t v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// red = Y + (91881 (Cr - 128) + 32768) >> 16, blue = Y + (116130 (Cb - 128) + 32768) >> 16,
// green = Y + (-46802 (Cr - 128) - 22554 (Cb - 128) + 32768) >> 16. All three shifts are
// arithmetic (toward minus infinity), as every other decoder rounds.
#define KRO_YCC_BODY                                                                   \
    for (int i = 0; i < count; ++i) {                                                  \
        int32_t yy = y[i];                                                             \
        int32_t cbv = int32_t(cb[i]) - 128;                                            \
        int32_t crv = int32_t(cr[i]) - 128;                                            \
        int32_t r = yy + ((91881 * crv + 32768) >> 16);                                \
        int32_t g = yy + ((-46802 * crv - 22554 * cbv + 32768) >> 16);                 \
        int32_t b = yy + ((116130 * cbv + 32768) >> 16);                               \
        out[3 * i] = clamp255(b);                                                      \
        out[3 * i + 1] = clamp255(g);                                                  \
        out[3 * i + 2] = clamp255(r);                                                  \
    }

void yccScalar(const uint8_t* __restrict y, const uint8_t* __restrict cb, const uint8_t* __restrict cr,
               uint8_t* __restrict out, int count) {
    KRO_YCC_BODY
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void yccAvx2(const uint8_t* __restrict y, const uint8_t* __restrict cb,
                                              const uint8_t* __restrict cr, uint8_t* __restrict out, int count) {
    KRO_YCC_BODY
}
#endif

}  // namespace

void yccToBgrRowScalar(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out, int count) {
    yccScalar(y, cb, cr, out, count);
}

void yccToBgrRow(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out, int count) {
#if defined(__x86_64__)
    if (!gForceScalar && cpuHasAvx2()) return yccAvx2(y, cb, cr, out, count);
#endif
    yccScalar(y, cb, cr, out, count);
}

void rgbToBgrRow(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* out, int count) {
    for (int i = 0; i < count; ++i) {
        out[3 * i] = b[i];
        out[3 * i + 1] = g[i];
        out[3 * i + 2] = r[i];
    }
}

void replicateRow(const uint8_t* in, uint8_t* out, int count, int factor) {
    switch (factor) {
        case 1:
            std::memcpy(out, in, size_t(count));
            break;
        case 2:
            for (int i = 0; i < count; ++i) out[2 * i] = out[2 * i + 1] = in[i];
            break;
        default:
            for (int i = 0; i < count; ++i)
                for (int k = 0; k < factor; ++k) out[factor * i + k] = in[i];
            break;
    }
}

}  // namespace torvex::jpeg
