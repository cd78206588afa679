#include "kroutil/input/frame_process.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kro {

namespace {

constexpr double kRoundBias = 0.4999989867210388;

inline uint32_t paletteColour(const uint8_t* palette, uint32_t index) {
    if (palette == nullptr) return index * 0x010101u;
    const uint8_t* p = palette + 3 * index;
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}

inline const uint8_t* rowAt(const FrameView& v, int32_t y) { return v.pixels + v.pitch * y; }

// Reads n pixels of row y from column x on as 0xAARRGGBB; the span lies inside the picture.
void readRow(const FrameView& v, int32_t y, int32_t x, int32_t n, uint32_t* out) {
    const uint8_t* row = rowAt(v, y);
    switch (v.depth) {
    case 32: {
        const uint8_t* p = row + 4 * size_t(x);
        for (int32_t i = 0; i < n; ++i, p += 4)
            out[i] = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
        break;
    }
    case 24: {
        const uint8_t* p = row + 3 * size_t(x);
        for (int32_t i = 0; i < n; ++i, p += 3)
            out[i] = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
        break;
    }
    case 16: {
        const uint8_t* p = row + 2 * size_t(x);
        for (int32_t i = 0; i < n; ++i, p += 2) {
            uint32_t w = uint32_t(p[0]) | (uint32_t(p[1]) << 8);
            out[i] = (((w >> 10) & 31) << 19) | (((w >> 5) & 31) << 11) | ((w & 31) << 3);
        }
        break;
    }
    case 4:
        for (int32_t i = 0; i < n; ++i) {
            int32_t px = x + i;
            uint8_t b = row[px >> 1];
            out[i] = paletteColour(v.palette, (px & 1) ? (b >> 4) : (b & 15));
        }
        break;
    default:
        for (int32_t i = 0; i < n; ++i) out[i] = paletteColour(v.palette, row[x + i]);
        break;
    }
}

inline uint32_t premultiplied(uint32_t p) {
    uint32_t a = p >> 24;
    uint32_t r = ((p >> 16) & 255) * a / 255;
    uint32_t g = ((p >> 8) & 255) * a / 255;
    uint32_t b = (p & 255) * a / 255;
    return (a << 24) | (r << 16) | (g << 8) | b;
}

double filterRadius(ScaleFilter f) {
    switch (f) {
    case ScaleFilter::Triangle: return 1.0;
    case ScaleFilter::Box: return 0.5;
    default: return 2.0;
    }
}

double filterWeight(ScaleFilter f, double x) {
    switch (f) {
    case ScaleFilter::Triangle: {
        double a = std::fabs(x);
        return a < 1.0 ? 1.0 - a : 0.0;
    }
    case ScaleFilter::Box:
        return (x > -0.5 && x <= 0.5) ? 1.0 : 0.0;
    default: {
        // Both parameters 1/3: smooth, with little ringing.
        double a = std::fabs(x);
        if (a < 1.0) return 7.0 / 6.0 * a * a * a - 2.0 * a * a + 8.0 / 9.0;
        if (a < 2.0) return -7.0 / 18.0 * a * a * a + 2.0 * a * a - 10.0 / 3.0 * a + 16.0 / 9.0;
        return 0.0;
    }
    }
}

// Position j mirrored into [0, n) about the edge samples, which are not repeated.
int32_t reflect(int64_t j, int32_t n) {
    if (n <= 1) return 0;
    int64_t period = 2 * int64_t(n - 1);
    j %= period;
    if (j < 0) j += period;
    if (j > n - 1) j = period - j;
    return int32_t(j);
}

inline int32_t atLeast1(int32_t v) { return v < 1 ? 1 : v; }

}  // namespace

ScaleFilter filterFromFlags(uint32_t flags) {
    if (flags & kFlagBox) return ScaleFilter::Box;
    if (flags & kFlagTriangle) return ScaleFilter::Triangle;
    return ScaleFilter::Cubic;
}

uint8_t roundChannel(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 254.5) return 255;
    return static_cast<uint8_t>(static_cast<int32_t>(v + kRoundBias));
}

AxisScaler buildAxisScaler(int32_t from, int32_t to, ScaleFilter filter) {
    AxisScaler s;
    s.from = atLeast1(from);
    s.to = atLeast1(to);
    s.identity = s.from == s.to;
    if (s.identity) return s;
    const int32_t n = s.from, m = s.to;
    const double e = (n == 1 || m == 1) ? double(m) / double(n) : double(m - 1) / double(n - 1);
    const double r = filterRadius(filter);
    const double reach = e >= 1.0 ? r : r / e;
    s.first.reserve(size_t(m) + 1);
    s.first.push_back(0);
    for (int32_t i = 0; i < m; ++i) {
        const double c = double(i) / e;
        const int64_t lo = int64_t(std::ceil(c - reach));
        const int64_t hi = int64_t(std::floor(c + reach));
        const size_t begin = s.source.size();
        double sum = 0.0;
        for (int64_t j = lo; j <= hi; ++j) {
            double w = e >= 1.0 ? filterWeight(filter, c - double(j))
                                : e * filterWeight(filter, (c - double(j)) * e);
            if (w == 0.0) continue;
            s.source.push_back(reflect(j, n));
            s.weight.push_back(w);
            sum += w;
        }
        if (sum == 0.0) {
            // Cannot happen with these filters, but an output sample must read something.
            s.source.resize(begin);
            s.weight.resize(begin);
            int64_t nearest = std::llround(c);
            s.source.push_back(reflect(nearest, n));
            s.weight.push_back(1.0);
            sum = 1.0;
        }
        for (size_t k = begin; k < s.weight.size(); ++k) s.weight[k] /= sum;
        s.first.push_back(int32_t(s.source.size()));
    }
    return s;
}

void readPixels(const FrameView& picture, int32_t y, int32_t x, int32_t n, uint32_t* out) {
    readRow(picture, y, x, n, out);
}

uint32_t readPixel(const FrameView& picture, int32_t x, int32_t y) {
    uint32_t p = 0;
    readRow(picture, y, x, 1, &p);
    return p;
}

struct FrameProcessor::Impl {
    uint32_t flags = 0;
    int32_t scaledW = 1, scaledH = 1;

    // Scalers and the sizes they were built for.
    bool haveScalers = false;
    int32_t keySrcW = 0, keySrcH = 0, keyInterW = 0, keyInterH = 0, keyOutW = 0, keyOutH = 0;
    ScaleFilter keyFilter = ScaleFilter::Cubic;
    bool softened = false;
    AxisScaler h1, v1, h2, v2;

    std::vector<uint32_t> work[2];
    int cur = -1;  // work picture holding the current result, -1: the source
    std::vector<double> across;      // ring of horizontally scaled rows, 4 channels per sample
    std::vector<int32_t> ringRow;    // source row held by each ring slot, -1: none
    std::vector<const double*> rowPtrs;
    std::vector<double> rowDouble;   // one source row, 4 channels per sample
    std::vector<uint32_t> rowA, rowB, rowC;
    std::vector<uint8_t> packed;
    FrameView packedView;

    void ensureScalers(int32_t srcW, int32_t srcH, uint32_t softening);
    void scale(const FrameView& in, bool premultiply, const AxisScaler& h, const AxisScaler& v,
               uint32_t* out);
};

void FrameProcessor::Impl::ensureScalers(int32_t srcW, int32_t srcH, uint32_t softening) {
    int64_t sh = softening & 0xFFFFu;
    int64_t sv = softening >> 16;
    // Blend on its own de-interlaces by softening the picture vertically by half.
    if ((flags & kFlagFieldBlend) && !(flags & (kFlagKeepField1 | kFlagKeepField2)))
        sv = std::max<int64_t>(sv, 12800);
    // Scaling that already changes an axis by the softening's amount softens it enough.
    if (int64_t(std::abs(int64_t(scaledW) - srcW)) * 25600 / srcW >= sh) sh = 0;
    if (int64_t(std::abs(int64_t(scaledH) - srcH)) * 25600 / srcH >= sv) sv = 0;
    const bool soft = sh != 0 || sv != 0;
    int32_t interW = scaledW, interH = scaledH;
    if (soft) {
        interW = int32_t(std::max<int64_t>(1, int64_t(scaledW) * (25600 - sh) / 25600));
        interH = int32_t(std::max<int64_t>(1, int64_t(scaledH) * (25600 - sv) / 25600));
    }
    const ScaleFilter f = filterFromFlags(flags);
    if (haveScalers && keySrcW == srcW && keySrcH == srcH && keyInterW == interW &&
        keyInterH == interH && keyOutW == scaledW && keyOutH == scaledH && keyFilter == f &&
        softened == soft)
        return;
    haveScalers = false;
    h1 = buildAxisScaler(srcW, interW, f);
    v1 = buildAxisScaler(srcH, interH, f);
    if (soft) {
        h2 = buildAxisScaler(interW, scaledW, f);
        v2 = buildAxisScaler(interH, scaledH, f);
    } else {
        h2 = AxisScaler{};
        v2 = AxisScaler{};
    }
    keySrcW = srcW;
    keySrcH = srcH;
    keyInterW = interW;
    keyInterH = interH;
    keyOutW = scaledW;
    keyOutH = scaledH;
    keyFilter = f;
    softened = soft;
    haveScalers = true;
}

namespace {

bool cpuHasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

// The passes of the scaler, each in a plain and an AVX2 copy. Both add the same products in
// the same order without fused multiply-add, so they give the same bits.

// One row: dst (4 doubles per output sample) = weighted sums of rd (4 doubles per sample).
void horizontalPass(const double* rd, const AxisScaler& h, double* dst) {
    const int32_t* first = h.first.data();
    const int32_t* src = h.source.data();
    const double* wt = h.weight.data();
    for (int32_t x = 0; x < h.to; ++x) {
        int32_t k = first[x];
        const double* s = rd + 4 * size_t(src[k]);
        double w = wt[k];
        double a0 = w * s[0], a1 = w * s[1], a2 = w * s[2], a3 = w * s[3];
        for (++k; k < first[x + 1]; ++k) {
            w = wt[k];
            s = rd + 4 * size_t(src[k]);
            a0 += w * s[0];
            a1 += w * s[1];
            a2 += w * s[2];
            a3 += w * s[3];
        }
        dst[4 * x + 0] = a0;
        dst[4 * x + 1] = a1;
        dst[4 * x + 2] = a2;
        dst[4 * x + 3] = a3;
    }
}

// One output row of the vertical pass, rounded into pixels.
void verticalPass(const double* const* rows, size_t rowLen, const double* wt, int32_t taps,
                  uint32_t* out) {
    for (size_t i = 0; i < rowLen; i += 4) {
        uint32_t px = 0;
        for (size_t c = 0; c < 4; ++c) {
            double a = wt[0] * rows[0][i + c];
            for (int32_t k = 1; k < taps; ++k) a += wt[k] * rows[k][i + c];
            px |= uint32_t(roundChannel(a)) << (8 * c);
        }
        out[i / 4] = px;
    }
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void horizontalPassAvx2(const double* rd, const AxisScaler& h,
                                                         double* dst) {
    const int32_t* first = h.first.data();
    const int32_t* src = h.source.data();
    const double* wt = h.weight.data();
    for (int32_t x = 0; x < h.to; ++x) {
        int32_t k = first[x];
        __m256d a = _mm256_mul_pd(_mm256_set1_pd(wt[k]), _mm256_loadu_pd(rd + 4 * size_t(src[k])));
        for (++k; k < first[x + 1]; ++k)
            a = _mm256_add_pd(a, _mm256_mul_pd(_mm256_set1_pd(wt[k]), _mm256_loadu_pd(rd + 4 * size_t(src[k]))));
        _mm256_storeu_pd(dst + 4 * size_t(x), a);
    }
}

// roundChannel on four lanes: 0 for v <= 0 and NaN (max takes the second operand then),
// 255 from 254.5 on, else v + bias truncated.
__attribute__((target("avx2"))) inline uint32_t roundPixelAvx2(__m256d v) {
    __m256d r = _mm256_max_pd(_mm256_add_pd(v, _mm256_set1_pd(kRoundBias)), _mm256_setzero_pd());
    r = _mm256_blendv_pd(r, _mm256_set1_pd(255.0), _mm256_cmp_pd(v, _mm256_set1_pd(254.5), _CMP_GE_OQ));
    __m128i i = _mm256_cvttpd_epi32(r);
    i = _mm_packus_epi32(i, i);
    i = _mm_packus_epi16(i, i);
    return uint32_t(_mm_cvtsi128_si32(i));
}

__attribute__((target("avx2"))) void verticalPassAvx2(const double* const* rows, size_t rowLen,
                                                       const double* wt, int32_t taps,
                                                       uint32_t* out) {
    for (size_t i = 0; i < rowLen; i += 4) {
        __m256d a = _mm256_mul_pd(_mm256_set1_pd(wt[0]), _mm256_loadu_pd(rows[0] + i));
        for (int32_t k = 1; k < taps; ++k)
            a = _mm256_add_pd(a, _mm256_mul_pd(_mm256_set1_pd(wt[k]), _mm256_loadu_pd(rows[k] + i)));
        out[i / 4] = roundPixelAvx2(a);
    }
}

__attribute__((target("avx2"))) void roundRowAvx2(const double* line, size_t rowLen, uint32_t* out) {
    for (size_t i = 0; i < rowLen; i += 4) out[i / 4] = roundPixelAvx2(_mm256_loadu_pd(line + i));
}
#endif

}  // namespace

bool gScalerPlainOnly = false;

void FrameProcessor::Impl::scale(const FrameView& in, bool premultiply, const AxisScaler& h,
                                 const AxisScaler& v, uint32_t* out) {
    const int32_t inW = in.width;
    const int32_t outW = h.to, outH = v.to;
    const bool avx2 = cpuHasAvx2() && !gScalerPlainOnly;
    const size_t rowLen = size_t(outW) * 4;
    // Horizontally scaled rows live in a ring as wide as the widest run of source rows one
    // output row reads; the runs move down monotonically, so each row is mostly made once.
    int32_t ring = 1, maxTaps = 1;
    if (!v.identity)
        for (int32_t y = 0; y < outH; ++y) {
            int32_t lo = INT32_MAX, hi = INT32_MIN;
            for (int32_t k = v.first[y]; k < v.first[y + 1]; ++k) {
                lo = std::min(lo, v.source[k]);
                hi = std::max(hi, v.source[k]);
            }
            ring = std::max(ring, hi - lo + 1);
            maxTaps = std::max(maxTaps, v.first[y + 1] - v.first[y]);
        }
    across.resize(size_t(ring) * rowLen);
    ringRow.assign(size_t(ring), -1);
    rowPtrs.resize(size_t(maxTaps));
    rowA.resize(size_t(inW));
    rowDouble.resize(size_t(inW) * 4);

    auto scaledRow = [&](int32_t y) -> const double* {
        double* dst = across.data() + size_t(y % ring) * rowLen;
        if (ringRow[size_t(y % ring)] == y) return dst;
        ringRow[size_t(y % ring)] = y;
        readRow(in, y, 0, inW, rowA.data());
        double* rd = h.identity ? dst : rowDouble.data();
        for (int32_t x = 0; x < inW; ++x) {
            uint32_t p = premultiply ? premultiplied(rowA[x]) : rowA[x];
            rd[4 * x + 0] = double(p & 255);
            rd[4 * x + 1] = double((p >> 8) & 255);
            rd[4 * x + 2] = double((p >> 16) & 255);
            rd[4 * x + 3] = double(p >> 24);
        }
        if (h.identity) return dst;
#if defined(__x86_64__) || defined(__i386__)
        if (avx2) {
            horizontalPassAvx2(rd, h, dst);
            return dst;
        }
#endif
        horizontalPass(rd, h, dst);
        return dst;
    };

    for (int32_t y = 0; y < outH; ++y) {
        uint32_t* o = out + size_t(y) * size_t(outW);
        if (v.identity) {
            const double* line = scaledRow(y);
#if defined(__x86_64__) || defined(__i386__)
            if (avx2) {
                roundRowAvx2(line, rowLen, o);
                continue;
            }
#endif
            for (int32_t x = 0; x < outW; ++x) {
                const double* c = line + 4 * size_t(x);
                o[x] = uint32_t(roundChannel(c[0])) | (uint32_t(roundChannel(c[1])) << 8) |
                       (uint32_t(roundChannel(c[2])) << 16) | (uint32_t(roundChannel(c[3])) << 24);
            }
            continue;
        }
        const int32_t k0 = v.first[y], taps = v.first[y + 1] - k0;
        for (int32_t k = 0; k < taps; ++k) rowPtrs[size_t(k)] = scaledRow(v.source[size_t(k0 + k)]);
#if defined(__x86_64__) || defined(__i386__)
        if (avx2) {
            verticalPassAvx2(rowPtrs.data(), rowLen, v.weight.data() + k0, taps, o);
            continue;
        }
#endif
        verticalPass(rowPtrs.data(), rowLen, v.weight.data() + k0, taps, o);
    }
}

FrameProcessor::FrameProcessor() : impl_(std::make_unique<Impl>()) {}
FrameProcessor::~FrameProcessor() = default;

void FrameProcessor::configure(uint32_t flags, int32_t scaledWidth, int32_t scaledHeight) {
    impl_->flags = flags;
    impl_->scaledW = atLeast1(scaledWidth);
    impl_->scaledH = atLeast1(scaledHeight);
    impl_->haveScalers = false;
    result_ = FrameView{};
    ranStages_ = false;
}

namespace {

// Per-channel tables of the colour adjustments; the threshold sits between gamma and levels.
struct PointStages {
    bool gamma = false, threshold = false, levels = false, brightness = false;
    uint8_t gammaTable[256];
    uint8_t afterTable[256];  // levels then brightness
    int32_t limit = 0;

    explicit PointStages(const FrameArgs& a) {
        const double g = double(a.gamma);
        gamma = std::isfinite(g) && g > 0.0 && std::fabs(g - 1.0) > 0.0001;
        threshold = a.threshold > 0;
        limit = a.threshold;
        int32_t b = std::min(a.levels, 128);
        levels = b > 0;
        brightness = a.brightness != 100 && a.brightness >= 0;
        for (int32_t c = 0; c < 256; ++c) {
            double v = std::floor(255.0 * std::pow(c / 255.0, g) + 0.5);
            gammaTable[c] = gamma ? uint8_t(std::min(255.0, v)) : uint8_t(c);
            int32_t l = c;
            if (levels) {
                if (c >= 255 - b) l = 255;
                else if (c > b) l = (c - b) * 255 / (255 - 2 * b);
                else l = 0;
            }
            if (brightness) l = int32_t(std::min<int64_t>(255, int64_t(l) * a.brightness / 100));
            afterTable[c] = uint8_t(l);
        }
    }
    bool any() const { return gamma || threshold || levels || brightness; }
    uint32_t apply(uint32_t p) const {
        uint32_t r = gammaTable[(p >> 16) & 255];
        uint32_t g = gammaTable[(p >> 8) & 255];
        uint32_t b = gammaTable[p & 255];
        if (threshold && int32_t(r) <= limit && int32_t(g) <= limit && int32_t(b) <= limit)
            r = g = b = 0;
        return (p & 0xFF000000u) | (uint32_t(afterTable[r]) << 16) |
               (uint32_t(afterTable[g]) << 8) | afterTable[b];
    }
};

inline void sort2(uint8_t& a, uint8_t& b) {
    if (a > b) std::swap(a, b);
}

// Fifth smallest of nine.
inline uint8_t median9(uint8_t* p) {
    sort2(p[1], p[2]); sort2(p[4], p[5]); sort2(p[7], p[8]);
    sort2(p[0], p[1]); sort2(p[3], p[4]); sort2(p[6], p[7]);
    sort2(p[1], p[2]); sort2(p[4], p[5]); sort2(p[7], p[8]);
    sort2(p[0], p[3]); sort2(p[5], p[8]); sort2(p[4], p[7]);
    sort2(p[3], p[6]); sort2(p[1], p[4]); sort2(p[2], p[5]);
    sort2(p[4], p[7]); sort2(p[4], p[2]); sort2(p[6], p[4]);
    sort2(p[4], p[2]);
    return p[4];
}

inline uint32_t average2(uint32_t a, uint32_t b) {
    uint32_t out = 0;
    for (int s = 0; s < 32; s += 8) out |= ((((a >> s) & 255) + ((b >> s) & 255)) / 2) << s;
    return out;
}

inline uint32_t blend31(uint32_t kept, uint32_t other) {
    uint32_t out = 0;
    for (int s = 0; s < 32; s += 8) out |= ((3 * ((kept >> s) & 255) + ((other >> s) & 255)) / 4) << s;
    return out;
}

}  // namespace

bool FrameProcessor::process(const FrameView& source, const FrameArgs& args) {
    Impl& m = *impl_;
    result_ = FrameView{};
    ranStages_ = false;
    if (source.pixels == nullptr || source.width < 1 || source.height < 1) return false;
    try {
        const uint32_t flags = m.flags;
        FrameView cur = source;
        int curBuf = -1;
        auto target = [&](int32_t w, int32_t h) -> uint32_t* {
            int next = curBuf == 0 ? 1 : 0;
            m.work[next].resize(size_t(w) * size_t(h));
            return m.work[next].data();
        };
        auto advance = [&](int32_t w, int32_t h) {
            curBuf = curBuf == 0 ? 1 : 0;
            cur.pixels = reinterpret_cast<const uint8_t*>(m.work[curBuf].data());
            cur.width = w;
            cur.height = h;
            cur.depth = 32;
            cur.pitch = ptrdiff_t(w) * 4;
            cur.palette = nullptr;
        };

        // 1. Scaling and softening.
        const bool sourcePremultiply = (flags & kFlagPremultiply) && source.depth == 32;
        bool scaled = false;
        m.ensureScalers(source.width, source.height, args.softening);
        const AxisScaler* stages[2][2] = {{&m.h1, &m.v1}, {&m.h2, &m.v2}};
        for (int s = 0; s < (m.softened ? 2 : 1); ++s) {
            const AxisScaler& h = *stages[s][0];
            const AxisScaler& v = *stages[s][1];
            if (h.identity && v.identity) continue;
            uint32_t* out = target(h.to, v.to);
            m.scale(cur, sourcePremultiply && !scaled, h, v, out);
            advance(h.to, v.to);
            scaled = true;
        }

        const int32_t w = cur.width, hgt = cur.height;
        const size_t wz = size_t(w);
        m.rowA.resize(wz);
        m.rowB.resize(wz);
        m.rowC.resize(wz);

        // 2. Premultiply frames that no scaler read.
        if (sourcePremultiply && !scaled) {
            uint32_t* out = target(w, hgt);
            for (int32_t y = 0; y < hgt; ++y) {
                readRow(cur, y, 0, w, out + size_t(y) * wz);
                for (size_t x = 0; x < wz; ++x) out[size_t(y) * wz + x] = premultiplied(out[size_t(y) * wz + x]);
            }
            advance(w, hgt);
        }

        // 3. De-interlace.
        if ((flags & (kFlagKeepField1 | kFlagKeepField2)) && hgt > 1) {
            const int32_t field = (flags & kFlagKeepField1) ? 0 : 1;
            const bool blend = (flags & kFlagFieldBlend) != 0;
            const int32_t kept = (hgt - field + 1) / 2;
            uint32_t* out = target(w, hgt);
            // Kept line k, blended with the other field when asked, into dst.
            auto keptLine = [&](int32_t k, uint32_t* dst) {
                const int32_t y = field + 2 * k;
                readRow(cur, y, 0, w, dst);
                if (!blend) return;
                int32_t other = field == 0 ? y + 1 : y - 1;
                if (other >= hgt) other = y - 1;
                readRow(cur, other, 0, w, m.rowC.data());
                for (size_t x = 0; x < wz; ++x) dst[x] = blend31(dst[x], m.rowC[x]);
            };
            uint32_t* prev = m.rowA.data();
            uint32_t* line = m.rowB.data();
            keptLine(0, prev);
            std::memcpy(out, prev, wz * 4);
            int32_t lastRow = 0;
            for (int32_t k = 1; k < kept; ++k) {
                keptLine(k, line);
                uint32_t* mid = out + size_t(2 * k - 1) * wz;
                for (size_t x = 0; x < wz; ++x) mid[x] = average2(prev[x], line[x]);
                std::memcpy(out + size_t(2 * k) * wz, line, wz * 4);
                lastRow = 2 * k;
                std::swap(prev, line);
            }
            for (int32_t y = lastRow + 1; y < hgt; ++y)
                std::memcpy(out + size_t(y) * wz, out + size_t(lastRow) * wz, wz * 4);
            advance(w, hgt);
        }

        // 4-7. Gamma, black threshold, levels, brightness: per pixel, so one pass does all.
        const PointStages point(args);
        if (point.any()) {
            uint32_t* out = target(w, hgt);
            for (int32_t y = 0; y < hgt; ++y) {
                uint32_t* o = out + size_t(y) * wz;
                readRow(cur, y, 0, w, o);
                for (size_t x = 0; x < wz; ++x) o[x] = point.apply(o[x]);
            }
            advance(w, hgt);
        }

        // 8. Median.
        if (args.median != 0) {
            uint32_t* out = target(w, hgt);
            uint32_t* rows[3] = {m.rowA.data(), m.rowB.data(), m.rowC.data()};
            for (int32_t y = 0; y < hgt; ++y) {
                uint32_t* o = out + size_t(y) * wz;
                if (y == 0 || y == hgt - 1 || w < 3) {
                    readRow(cur, y, 0, w, o);
                    continue;
                }
                readRow(cur, y - 1, 0, w, rows[0]);
                readRow(cur, y, 0, w, rows[1]);
                readRow(cur, y + 1, 0, w, rows[2]);
                o[0] = rows[1][0];
                o[wz - 1] = rows[1][wz - 1];
                for (size_t x = 1; x + 1 < wz; ++x) {
                    uint32_t px = 0;
                    for (int s = 0; s < 32; s += 8) {
                        uint8_t v[9];
                        int n = 0;
                        for (int r = 0; r < 3; ++r)
                            for (size_t dx = 0; dx < 3; ++dx) v[n++] = uint8_t(rows[r][x - 1 + dx] >> s);
                        px |= uint32_t(median9(v)) << s;
                    }
                    o[x] = px;
                }
            }
            advance(w, hgt);
        }

        // 9. Divide by alpha.
        if (flags & kFlagDivideAlpha) {
            uint32_t* out = target(w, hgt);
            for (int32_t y = 0; y < hgt; ++y) {
                uint32_t* o = out + size_t(y) * wz;
                readRow(cur, y, 0, w, o);
                for (size_t x = 0; x < wz; ++x) {
                    uint32_t p = o[x], a = p >> 24;
                    if (a == 0) continue;
                    uint32_t q = p & 0xFF000000u;
                    for (int s = 0; s < 24; s += 8) q |= std::min<uint32_t>(255, ((p >> s) & 255) * 255 / a) << s;
                    o[x] = q;
                }
            }
            advance(w, hgt);
        }

        m.cur = curBuf;
        ranStages_ = curBuf >= 0;
        result_ = cur;
        return true;
    } catch (const std::bad_alloc&) {
        m.work[0] = {};
        m.work[1] = {};
        m.across = {};
        m.haveScalers = false;
        return false;
    } catch (const std::length_error&) {
        m.haveScalers = false;
        return false;
    }
}

namespace {

// The span of a rectangle's row that lies inside the picture: destination columns [i0, i1).
bool clipSpan(const FrameView& p, int32_t x, int32_t width, int32_t& i0, int32_t& i1) {
    int64_t lo = std::max<int64_t>(0, -int64_t(x));
    int64_t hi = std::min<int64_t>(width, int64_t(p.width) - x);
    if (hi <= lo) return false;
    i0 = int32_t(lo);
    i1 = int32_t(hi);
    return true;
}

}  // namespace

const FrameView* FrameProcessor::packed24(int32_t x, int32_t y, int32_t width, int32_t rows) {
    const FrameView& p = result_;
    if (p.pixels == nullptr) return nullptr;
    const int64_t x0 = std::max<int64_t>(0, x), y0 = std::max<int64_t>(0, y);
    const int64_t x1 = std::min<int64_t>(p.width, int64_t(x) + width);
    const int64_t y1 = std::min<int64_t>(p.height, int64_t(y) + rows);
    if (x1 <= x0 || y1 <= y0) return nullptr;
    const int32_t w = int32_t(x1 - x0), h = int32_t(y1 - y0);
    try {
        impl_->packed.resize(size_t(w) * 3 * size_t(h));
        impl_->rowA.resize(size_t(w));
    } catch (const std::exception&) {
        return nullptr;
    }
    uint8_t* out = impl_->packed.data();
    for (int32_t r = 0; r < h; ++r) {
        readRow(p, int32_t(y0) + r, int32_t(x0), w, impl_->rowA.data());
        uint8_t* o = out + size_t(r) * size_t(w) * 3;
        for (int32_t i = 0; i < w; ++i) {
            uint32_t px = impl_->rowA[i];
            o[3 * i] = uint8_t(px);
            o[3 * i + 1] = uint8_t(px >> 8);
            o[3 * i + 2] = uint8_t(px >> 16);
        }
    }
    impl_->packedView = FrameView{out, w, h, 24, ptrdiff_t(w) * 3, nullptr};
    return &impl_->packedView;
}

void convertToCanvas32(const FrameView& picture, int32_t x, int32_t y, int32_t width,
                       int32_t rows, uint32_t* canvas, ptrdiff_t canvasPitch, bool keepAlpha) {
    if (picture.pixels == nullptr || canvas == nullptr) return;
    int32_t i0, i1;
    if (!clipSpan(picture, x, width, i0, i1)) return;
    const uint32_t mask = (keepAlpha && picture.depth == 32) ? 0xFFFFFFFFu : 0x00FFFFFFu;
    for (int32_t r = 0; r < rows; ++r) {
        const int64_t py = int64_t(y) + r;
        if (py < 0 || py >= picture.height) continue;
        uint32_t* o = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(canvas) + canvasPitch * r);
        readRow(picture, int32_t(py), x + i0, i1 - i0, o + i0);
        if (mask != 0xFFFFFFFFu)
            for (int32_t i = i0; i < i1; ++i) o[i] &= mask;
    }
}

void convertToCanvas8(const FrameView& picture, int32_t x, int32_t y, int32_t width,
                      int32_t rows, uint8_t* canvas, ptrdiff_t canvasPitch,
                      const uint8_t* remap) {
    if (picture.pixels == nullptr || canvas == nullptr || picture.depth > 8) return;
    int32_t i0, i1;
    if (!clipSpan(picture, x, width, i0, i1)) return;
    for (int32_t r = 0; r < rows; ++r) {
        const int64_t py = int64_t(y) + r;
        if (py < 0 || py >= picture.height) continue;
        const uint8_t* src = rowAt(picture, int32_t(py));
        uint8_t* o = canvas + canvasPitch * r;
        for (int32_t i = i0; i < i1; ++i) {
            const int32_t px = x + i;
            uint8_t idx = picture.depth == 4 ? ((px & 1) ? src[px >> 1] >> 4 : src[px >> 1] & 15)
                                             : src[px];
            o[i] = remap ? remap[idx] : idx;
        }
    }
}

}  // namespace kro
