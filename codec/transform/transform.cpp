// Split-array radix-2 FFT on 32-bit floats. Tables are built in double precision; each stage
// has its own contiguous twiddle table so that the butterfly loops run at unit stride and the
// compiler can use vector instructions for them.
#include "codec/transform/transform.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace torvex {
namespace {

struct Plan {
    size_t m = 0;                      // complex FFT length
    std::vector<uint32_t> bitrev;      // m entries
    std::vector<float> twr, twi;       // per stage (len = 8, 16, ..., m): half entries each
    std::vector<float> twiInverse;     // twi negated
    std::vector<float> realCos, realSin;  // exp(-2 pi i j / 2m) = cos - i sin, j < m
    std::vector<float> dctCos, dctSin;    // cos/sin(pi j / (4m)), j < 2m (cosine transforms of length 2m)
};

struct TransformState {
    std::mutex lock;
    std::unique_ptr<Plan> plans[16];  // by log2 of m
    std::atomic<const Plan*> ready[16] = {};
};
TransformState transforms;

const Plan& planFor(size_t m) {
    size_t lg = 0;
    while ((size_t(1) << lg) < m) ++lg;
    if (const Plan* ready = transforms.ready[lg].load(std::memory_order_acquire)) return *ready;
    std::lock_guard g(transforms.lock);
    auto& slot = transforms.plans[lg];
    if (!slot) {
        auto p = std::make_unique<Plan>();
        p->m = m;
        p->bitrev.resize(m);
        for (size_t i = 0; i < m; ++i) {
            size_t r = 0;
            for (size_t b = 0; b < lg; ++b)
                if (i & (size_t(1) << b)) r |= size_t(1) << (lg - 1 - b);
            p->bitrev[i] = uint32_t(r);
        }
        for (size_t len = 8; len <= m; len <<= 1)
            for (size_t k = 0; k < len / 2; ++k) {
                double a = -2.0 * M_PI * double(k) / double(len);
                p->twr.push_back(float(std::cos(a)));
                p->twi.push_back(float(std::sin(a)));
            }
        for (float w : p->twi) p->twiInverse.push_back(-w);
        size_t n = 2 * m;
        p->realCos.resize(m);
        p->realSin.resize(m);
        for (size_t j = 0; j < m; ++j) {
            double a = 2.0 * M_PI * double(j) / double(n);
            p->realCos[j] = float(std::cos(a));
            p->realSin[j] = float(std::sin(a));
        }
        p->dctCos.resize(n);
        p->dctSin.resize(n);
        for (size_t j = 0; j < n; ++j) {
            double a = M_PI * double(j) / (2.0 * double(n));
            p->dctCos[j] = float(std::cos(a));
            p->dctSin[j] = float(std::sin(a));
        }
        slot = std::move(p);
        transforms.ready[lg].store(slot.get(), std::memory_order_release);
    }
    return *slot;
}

// In-place complex FFT of length m (at least 4) on split arrays whose input was stored in
// bit-reversed order (callers store there as they prepare it). The inverse uses exp(+...) and
// does not scale.
void fftReordered(float* __restrict re, float* __restrict im, const Plan& p, bool inverse) {
    const size_t m = p.m;
    // The first two stages together: twiddles 1 and -i (forward) or +i (inverse).
    for (size_t i = 0; i < m; i += 4) {
        float ar = re[i] + re[i + 1], ai = im[i] + im[i + 1];
        float br = re[i] - re[i + 1], bi = im[i] - im[i + 1];
        float cr = re[i + 2] + re[i + 3], ci = im[i + 2] + im[i + 3];
        float dr = re[i + 2] - re[i + 3], di = im[i + 2] - im[i + 3];
        // d times -i is (di, -dr); times +i is (-di, dr).
        float er = inverse ? -di : di, ei = inverse ? dr : -dr;
        re[i] = ar + cr, im[i] = ai + ci;
        re[i + 2] = ar - cr, im[i + 2] = ai - ci;
        re[i + 1] = br + er, im[i + 1] = bi + ei;
        re[i + 3] = br - er, im[i + 3] = bi - ei;
    }
    size_t offset = 0;
    for (size_t len = 8; len <= m; len <<= 1) {
        const size_t half = len / 2;
        const float* __restrict wr = p.twr.data() + offset;
        const float* __restrict wi0 = (inverse ? p.twiInverse : p.twi).data() + offset;
        offset += half;
        for (size_t i = 0; i < m; i += len) {
            float* __restrict lr = re + i;
            float* __restrict li = im + i;
            float* __restrict hr = re + i + half;
            float* __restrict hi = im + i + half;
            for (size_t k = 0; k < half; ++k) {
                float wi = wi0[k];
                float vr = hr[k] * wr[k] - hi[k] * wi;
                float vi = hr[k] * wi + hi[k] * wr[k];
                float ur = lr[k], ui = li[k];
                lr[k] = ur + vr;
                li[k] = ui + vi;
                hr[k] = ur - vr;
                hi[k] = ui - vi;
            }
        }
    }
}

struct Scratch {
    std::vector<float> re, im, a, b;
};
thread_local Scratch scratch;

}  // namespace

bool transformLengthOk(size_t n) { return n >= 16 && n <= kMaxTransform && (n & (n - 1)) == 0; }

void realDftForward(const float* x, float* out, size_t n) {
    const size_t m = n / 2;
    const Plan& p = planFor(m);
    scratch.re.resize(m);
    scratch.im.resize(m);
    float* zr = scratch.re.data();
    float* zi = scratch.im.data();
    const uint32_t* __restrict rev = p.bitrev.data();
    for (size_t k = 0; k < m; ++k) {
        zr[rev[k]] = x[2 * k];
        zi[rev[k]] = x[2 * k + 1];
    }
    fftReordered(zr, zi, p, false);
    // Split the half-length transform into the spectra of the even and odd samples:
    // X_j = E_j + w^j O_j with E = (Z_j + conj Z_{m-j}) / 2, O = (Z_j - conj Z_{m-j}) / 2i.
    out[0] = zr[0] + zi[0];
    out[1] = zr[0] - zi[0];
    for (size_t j = 1; j < m; ++j) {
        double ar = zr[j], ai = zi[j], br = zr[m - j], bi = -zi[m - j];
        double er = 0.5 * (ar + br), ei = 0.5 * (ai + bi);
        double orr = 0.5 * (ai - bi), oi = -0.5 * (ar - br);
        double c = p.realCos[j], s = p.realSin[j];  // w^j = c - i s
        double xr = er + orr * c + oi * s;
        double xi = ei + oi * c - orr * s;
        out[2 * j] = float(xr);
        out[2 * j + 1] = float(-xi);  // the sine sum is minus the imaginary part
    }
}

void realDftInverse(const float* in, float* x, size_t n) {
    const size_t m = n / 2;
    const Plan& p = planFor(m);
    scratch.re.resize(m);
    scratch.im.resize(m);
    float* __restrict zr = scratch.re.data();
    float* __restrict zi = scratch.im.data();
    // X_j = R_j - i I_j; X_{j+m} = conj X_{m-j}. Z_j = E + i O with E = (X_j + X_{j+m}) / 2 and
    // O = (X_j - X_{j+m}) conj(w^j) / 2. At j = 0 both X_0 and X_m are real.
    const uint32_t* __restrict rev = p.bitrev.data();
    zr[0] = 0.5f * (in[0] + in[1]);  // bit reversal keeps 0 in place
    zi[0] = 0.5f * (in[0] - in[1]);
    const float* __restrict c = p.realCos.data();
    const float* __restrict s = p.realSin.data();
    for (size_t j = 1; j < m; ++j) {
        float ar = in[2 * j], ai = -in[2 * j + 1];
        float br = in[2 * (m - j)], bi = in[2 * (m - j) + 1];
        float er = 0.5f * (ar + br), ei = 0.5f * (ai + bi);
        float dr = 0.5f * (ar - br), di = 0.5f * (ai - bi);
        float orr = dr * c[j] - di * s[j], oi = dr * s[j] + di * c[j];
        zr[rev[j]] = er - oi;
        zi[rev[j]] = ei + orr;
    }
    fftReordered(zr, zi, p, true);
    for (size_t k = 0; k < m; ++k) {
        x[2 * k] = zr[k];
        x[2 * k + 1] = zi[k];
    }
}

void dctForward(const float* x, float* c, size_t n) {
    const Plan& p = planFor(n / 2);
    scratch.a.resize(n);
    scratch.b.resize(n);
    float* v = scratch.a.data();
    float* spec = scratch.b.data();
    for (size_t k = 0; k < n / 2; ++k) {
        v[k] = x[2 * k];
        v[n - 1 - k] = x[2 * k + 1];
    }
    realDftForward(v, spec, n);
    const size_t h = n / 2;
    c[0] = spec[0];
    c[h] = float(double(spec[1]) * p.dctCos[h]);
    for (size_t j = 1; j < h; ++j) {
        double re = spec[2 * j], im = spec[2 * j + 1];
        c[j] = float(re * p.dctCos[j] - im * p.dctSin[j]);
        c[n - j] = float(re * p.dctCos[n - j] + im * p.dctSin[n - j]);
    }
}

void dctInverse(const float* c, float* x, size_t n) {
    const Plan& p = planFor(n / 2);
    scratch.a.resize(n);
    scratch.b.resize(n);
    float* spec = scratch.a.data();
    float* v = scratch.b.data();
    spec[0] = c[0];
    spec[1] = float(std::sqrt(2.0) * c[n / 2]);
    for (size_t j = 1; j < n / 2; ++j) {
        double cs = p.dctCos[j], sn = p.dctSin[j];
        double a = c[j], b = c[n - j];
        spec[2 * j] = float(a * cs + b * sn);         // Re V_j
        spec[2 * j + 1] = float(-(a * sn - b * cs));  // minus Im V_j
    }
    realDftInverse(spec, v, n);
    const float half0 = 0.5f * c[0];
    for (size_t k = 0; k < n / 2; ++k) {
        x[2 * k] = v[k] + half0;
        x[2 * k + 1] = v[n - 1 - k] + half0;
    }
}

}  // namespace torvex
