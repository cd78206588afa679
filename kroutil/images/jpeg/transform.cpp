// The integer 8x8 transforms: 13-bit constants, two passes with two extra bits kept between them.
#include <cstring>

#include "kroutil/images/jpeg/jpeg_internal.h"

namespace torvex::jpeg {

namespace {

constexpr int32_t c0_298631336 = 2446;
constexpr int32_t c0_390180644 = 3196;
constexpr int32_t c0_541196100 = 4433;
constexpr int32_t c0_765366865 = 6270;
constexpr int32_t c0_899976223 = 7373;
constexpr int32_t c1_175875602 = 9633;
constexpr int32_t c1_501321110 = 12299;
constexpr int32_t c1_847759065 = 15137;
constexpr int32_t c1_961570560 = 16069;
constexpr int32_t c2_053119869 = 16819;
constexpr int32_t c2_562915447 = 20995;
constexpr int32_t c3_072711026 = 25172;

struct RangeTable {
    uint8_t t[1024];
    constexpr RangeTable() : t() {
        for (int k = 0; k < 1024; ++k) {
            if (k < 128)
                t[k] = uint8_t(k + 128);
            else if (k < 512)
                t[k] = 255;
            else if (k < 896)
                t[k] = 0;
            else
                t[k] = uint8_t(k - 896);
        }
    }
};
constexpr RangeTable kRange;

// One 1-D inverse pass over eight values in[0], in[step], ...; T is the arithmetic type (32-bit
// when the inputs are small enough, see idctBlock).
template <typename T, int Shift>
inline void idct1d(T d0, T d1, T d2, T d3, T d4, T d5, T d6, T d7, T round, T* o) {
    T z2 = d2, z3 = d6;
    T z1 = (z2 + z3) * c0_541196100;
    T tmp2 = z1 + z3 * (-c1_847759065);
    T tmp3 = z1 + z2 * c0_765366865;
    T tmp0 = (d0 + d4) * 8192 + round;
    T tmp1 = (d0 - d4) * 8192 + round;
    T tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3, tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;

    T t0 = d7, t1 = d5, t2 = d3, t3 = d1;
    T y1 = t0 + t3, y2 = t1 + t2, y3 = t0 + t2, y4 = t1 + t3;
    T z5 = (y3 + y4) * c1_175875602;
    t0 = t0 * c0_298631336;
    t1 = t1 * c2_053119869;
    t2 = t2 * c3_072711026;
    t3 = t3 * c1_501321110;
    y1 = y1 * (-c0_899976223);
    y2 = y2 * (-c2_562915447);
    y3 = y3 * (-c1_961570560) + z5;
    y4 = y4 * (-c0_390180644) + z5;
    t0 += y1 + y3;
    t1 += y2 + y4;
    t2 += y2 + y3;
    t3 += y1 + y4;

    o[0] = (tmp10 + t3) >> Shift;
    o[7] = (tmp10 - t3) >> Shift;
    o[1] = (tmp11 + t2) >> Shift;
    o[6] = (tmp11 - t2) >> Shift;
    o[2] = (tmp12 + t1) >> Shift;
    o[5] = (tmp12 - t1) >> Shift;
    o[3] = (tmp13 + t0) >> Shift;
    o[4] = (tmp13 - t0) >> Shift;
}

template <typename T>
void idctGeneric(const int32_t* in, uint8_t* out, ptrdiff_t stride) {
    T ws[64];
    // Columns; the rounding of the first pass (1024 before the shift by 11) rides on the DC term.
    for (int c = 0; c < 8; ++c) {
        const int32_t* col = in + c;
        if ((col[8] | col[16] | col[24] | col[32] | col[40] | col[48] | col[56]) == 0) {
            T dc = T(col[0]) * 4;
            for (int r = 0; r < 8; ++r) ws[r * 8 + c] = dc;
            continue;
        }
        T o[8];
        idct1d<T, 11>(col[0], col[8], col[16], col[24], col[32], col[40], col[48], col[56], T(1024), o);
        for (int r = 0; r < 8; ++r) ws[r * 8 + c] = o[r];
    }
    // Rows; 131072 rounds the shift by 18.
    for (int r = 0; r < 8; ++r) {
        const T* w = ws + r * 8;
        uint8_t* dst = out + r * stride;
        T o[8];
        idct1d<T, 18>(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], T(131072), o);
        for (int i = 0; i < 8; ++i) dst[i] = kRange.t[int(o[i] & 1023)];
    }
}

}  // namespace

const uint8_t kRangeLimit[1024] = {
#define R4(k) kRange.t[k], kRange.t[k + 1], kRange.t[k + 2], kRange.t[k + 3]
#define R16(k) R4(k), R4(k + 4), R4(k + 8), R4(k + 12)
#define R64(k) R16(k), R16(k + 16), R16(k + 32), R16(k + 48)
#define R256(k) R64(k), R64(k + 64), R64(k + 128), R64(k + 192)
    R256(0), R256(256), R256(512), R256(768)
#undef R256
#undef R64
#undef R16
#undef R4
};

void idctBlockScalar(const int32_t* in, uint8_t* out, ptrdiff_t stride, uint32_t maxAbs) {
    // With every input at most 1024 in magnitude no intermediate of either pass leaves 32 bits
    // (the largest sum of absolute weights of any intermediate is 61214, and the first pass's
    // outputs stay below 30700); larger, crafted inputs take 64-bit arithmetic.
    if (maxAbs <= 1024)
        idctGeneric<int32_t>(in, out, stride);
    else
        idctGeneric<int64_t>(in, out, stride);
}

void fdctBlock(int32_t* data) {
    // Rows, outputs scaled up by 4.
    for (int r = 0; r < 8; ++r) {
        int32_t* d = data + r * 8;
        int32_t tmp0 = d[0] + d[7], tmp7 = d[0] - d[7];
        int32_t tmp1 = d[1] + d[6], tmp6 = d[1] - d[6];
        int32_t tmp2 = d[2] + d[5], tmp5 = d[2] - d[5];
        int32_t tmp3 = d[3] + d[4], tmp4 = d[3] - d[4];
        int32_t tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
        int32_t tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
        d[0] = (tmp10 + tmp11) * 4;
        d[4] = (tmp10 - tmp11) * 4;
        int32_t z1 = (tmp12 + tmp13) * c0_541196100;
        d[2] = (z1 + tmp13 * c0_765366865 + 1024) >> 11;
        d[6] = (z1 + tmp12 * (-c1_847759065) + 1024) >> 11;
        int32_t y1 = tmp4 + tmp7, y2 = tmp5 + tmp6, y3 = tmp4 + tmp6, y4 = tmp5 + tmp7;
        int32_t z5 = (y3 + y4) * c1_175875602;
        tmp4 *= c0_298631336;
        tmp5 *= c2_053119869;
        tmp6 *= c3_072711026;
        tmp7 *= c1_501321110;
        y1 *= -c0_899976223;
        y2 *= -c2_562915447;
        y3 = y3 * (-c1_961570560) + z5;
        y4 = y4 * (-c0_390180644) + z5;
        d[7] = (tmp4 + y1 + y3 + 1024) >> 11;
        d[5] = (tmp5 + y2 + y4 + 1024) >> 11;
        d[3] = (tmp6 + y2 + y3 + 1024) >> 11;
        d[1] = (tmp7 + y1 + y4 + 1024) >> 11;
    }
    // Columns: even terms lose the 4 again, rotated ones the 8192 * 4.
    for (int c = 0; c < 8; ++c) {
        int32_t* d = data + c;
        int32_t tmp0 = d[0] + d[56], tmp7 = d[0] - d[56];
        int32_t tmp1 = d[8] + d[48], tmp6 = d[8] - d[48];
        int32_t tmp2 = d[16] + d[40], tmp5 = d[16] - d[40];
        int32_t tmp3 = d[24] + d[32], tmp4 = d[24] - d[32];
        int32_t tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
        int32_t tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
        d[0] = (tmp10 + tmp11 + 2) >> 2;
        d[32] = (tmp10 - tmp11 + 2) >> 2;
        int32_t z1 = (tmp12 + tmp13) * c0_541196100;
        d[16] = (z1 + tmp13 * c0_765366865 + 16384) >> 15;
        d[48] = (z1 + tmp12 * (-c1_847759065) + 16384) >> 15;
        int32_t y1 = tmp4 + tmp7, y2 = tmp5 + tmp6, y3 = tmp4 + tmp6, y4 = tmp5 + tmp7;
        int32_t z5 = (y3 + y4) * c1_175875602;
        tmp4 *= c0_298631336;
        tmp5 *= c2_053119869;
        tmp6 *= c3_072711026;
        tmp7 *= c1_501321110;
        y1 *= -c0_899976223;
        y2 *= -c2_562915447;
        y3 = y3 * (-c1_961570560) + z5;
        y4 = y4 * (-c0_390180644) + z5;
        d[56] = (tmp4 + y1 + y3 + 16384) >> 15;
        d[40] = (tmp5 + y2 + y4 + 16384) >> 15;
        d[24] = (tmp6 + y2 + y3 + 16384) >> 15;
        d[8] = (tmp7 + y1 + y4 + 16384) >> 15;
    }
}

}  // namespace torvex::jpeg

#if defined(__x86_64__)
#include <immintrin.h>

namespace torvex::jpeg {

namespace {

#define KRO_MUL(a, c) _mm256_mullo_epi32((a), _mm256_set1_epi32(c))

// The 1-D pass on eight lanes at once (lane = column in the first pass, row in the second).
template <int Shift>
__attribute__((target("avx2"))) inline void idctPassAvx2(const __m256i* d, __m256i* o, __m256i round) {
    __m256i z1 = KRO_MUL(_mm256_add_epi32(d[2], d[6]), c0_541196100);
    __m256i tmp2 = _mm256_add_epi32(z1, KRO_MUL(d[6], -c1_847759065));
    __m256i tmp3 = _mm256_add_epi32(z1, KRO_MUL(d[2], c0_765366865));
    __m256i tmp0 = _mm256_add_epi32(_mm256_slli_epi32(_mm256_add_epi32(d[0], d[4]), 13), round);
    __m256i tmp1 = _mm256_add_epi32(_mm256_slli_epi32(_mm256_sub_epi32(d[0], d[4]), 13), round);
    __m256i tmp10 = _mm256_add_epi32(tmp0, tmp3), tmp13 = _mm256_sub_epi32(tmp0, tmp3);
    __m256i tmp11 = _mm256_add_epi32(tmp1, tmp2), tmp12 = _mm256_sub_epi32(tmp1, tmp2);

    __m256i y1 = _mm256_add_epi32(d[7], d[1]), y2 = _mm256_add_epi32(d[5], d[3]);
    __m256i y3 = _mm256_add_epi32(d[7], d[3]), y4 = _mm256_add_epi32(d[5], d[1]);
    __m256i z5 = KRO_MUL(_mm256_add_epi32(y3, y4), c1_175875602);
    __m256i t0 = KRO_MUL(d[7], c0_298631336), t1 = KRO_MUL(d[5], c2_053119869);
    __m256i t2 = KRO_MUL(d[3], c3_072711026), t3 = KRO_MUL(d[1], c1_501321110);
    y1 = KRO_MUL(y1, -c0_899976223);
    y2 = KRO_MUL(y2, -c2_562915447);
    y3 = _mm256_add_epi32(KRO_MUL(y3, -c1_961570560), z5);
    y4 = _mm256_add_epi32(KRO_MUL(y4, -c0_390180644), z5);
    t0 = _mm256_add_epi32(t0, _mm256_add_epi32(y1, y3));
    t1 = _mm256_add_epi32(t1, _mm256_add_epi32(y2, y4));
    t2 = _mm256_add_epi32(t2, _mm256_add_epi32(y2, y3));
    t3 = _mm256_add_epi32(t3, _mm256_add_epi32(y1, y4));

    o[0] = _mm256_srai_epi32(_mm256_add_epi32(tmp10, t3), Shift);
    o[7] = _mm256_srai_epi32(_mm256_sub_epi32(tmp10, t3), Shift);
    o[1] = _mm256_srai_epi32(_mm256_add_epi32(tmp11, t2), Shift);
    o[6] = _mm256_srai_epi32(_mm256_sub_epi32(tmp11, t2), Shift);
    o[2] = _mm256_srai_epi32(_mm256_add_epi32(tmp12, t1), Shift);
    o[5] = _mm256_srai_epi32(_mm256_sub_epi32(tmp12, t1), Shift);
    o[3] = _mm256_srai_epi32(_mm256_add_epi32(tmp13, t0), Shift);
    o[4] = _mm256_srai_epi32(_mm256_sub_epi32(tmp13, t0), Shift);
}
#undef KRO_MUL

__attribute__((target("avx2"))) inline void transpose8(__m256i* r) {
    __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
    __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
    __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
    __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
    __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
    __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
    __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
    __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
    r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
    r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
    r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
    r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
    r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
    r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
    r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
    r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// The scalar transform's result for inputs of at most 1024 in magnitude (its 32-bit range).
// The range table becomes arithmetic: ((v + 512) AND 1023) - 384 limited to 0..255 is T[v AND
// 1023] for every v, which the saturating packs do.
__attribute__((target("avx2"))) void idctAvx2(const int32_t* in, uint8_t* out, ptrdiff_t stride) {
    __m256i r[8];
    for (int k = 0; k < 8; ++k) r[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8 * k));
    __m256i ac = _mm256_blend_epi32(r[0], _mm256_setzero_si256(), 1);
    for (int k = 1; k < 8; ++k) ac = _mm256_or_si256(ac, r[k]);
    if (_mm256_testz_si256(ac, ac)) {
        uint8_t v = kRange.t[((in[0] * 4 + 16) >> 5) & 1023];
        for (int y = 0; y < 8; ++y) std::memset(out + y * stride, v, 8);
        return;
    }
    __m256i o[8];
    idctPassAvx2<11>(r, o, _mm256_set1_epi32(1024));
    transpose8(o);
    idctPassAvx2<18>(o, r, _mm256_set1_epi32(131072));
    transpose8(r);
    const __m256i k512 = _mm256_set1_epi32(512), k1023 = _mm256_set1_epi32(1023), k384 = _mm256_set1_epi32(384);
    for (int k = 0; k < 8; ++k) r[k] = _mm256_sub_epi32(_mm256_and_si256(_mm256_add_epi32(r[k], k512), k1023), k384);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (int half = 0; half < 2; ++half) {
        const __m256i* q = r + 4 * half;
        __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(q[0], q[1]), _mm256_packs_epi32(q[2], q[3]));
        bytes = _mm256_permutevar8x32_epi32(bytes, order);
        alignas(32) uint8_t rows[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(rows), bytes);
        for (int y = 0; y < 4; ++y) std::memcpy(out + (4 * half + y) * stride, rows + 8 * y, 8);
    }
}

}  // namespace

void idctBlock(const int32_t* in, uint8_t* out, ptrdiff_t stride, uint32_t maxAbs) {
    if (maxAbs <= 1024 && !gForceScalar && cpuHasAvx2()) return idctAvx2(in, out, stride);
    idctBlockScalar(in, out, stride, maxAbs);
}

}  // namespace torvex::jpeg

#else

namespace torvex::jpeg {

void idctBlock(const int32_t* in, uint8_t* out, ptrdiff_t stride, uint32_t maxAbs) {
    idctBlockScalar(in, out, stride, maxAbs);
}

}  // namespace torvex::jpeg

#endif
