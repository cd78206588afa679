#include "codec/transform/transform.h"

#include <cmath>
#include <complex>
#include <memory>
#include <mutex>
#include <vector>

namespace torvex {
namespace {

using cd = std::complex<double>;

// Tables for one complex FFT length m and the real/cosine transforms of length 2m built on it.
struct Plan {
    size_t m = 0;
    std::vector<uint32_t> bitrev;     // m entries
    std::vector<cd> twiddle;          // exp(-2 pi i k / m), k < m/2
    std::vector<cd> realTwiddle;      // exp(-2 pi i j / (2m)), j < m
    std::vector<double> dctCos, dctSin;  // cos/sin(pi j / (4m)) for the cosine transforms of length 2m
};

struct TransformState {
    std::mutex lock;
    std::unique_ptr<Plan> plans[16];  // by log2 of m
};
TransformState transforms;

const Plan& planFor(size_t m) {
    size_t lg = 0;
    while ((size_t(1) << lg) < m) ++lg;
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
        p->twiddle.resize(m / 2 ? m / 2 : 1);
        for (size_t k = 0; k < m / 2; ++k) p->twiddle[k] = std::polar(1.0, -2.0 * M_PI * double(k) / double(m));
        size_t n = 2 * m;
        p->realTwiddle.resize(m);
        for (size_t j = 0; j < m; ++j) p->realTwiddle[j] = std::polar(1.0, -2.0 * M_PI * double(j) / double(n));
        // The cosine transforms of length n use a real DFT of length n, i.e. this plan's m is n/2;
        // their angles are pi j / (2n).
        p->dctCos.resize(n);
        p->dctSin.resize(n);
        for (size_t j = 0; j < n; ++j) {
            double a = M_PI * double(j) / (2.0 * double(n));
            p->dctCos[j] = std::cos(a);
            p->dctSin[j] = std::sin(a);
        }
        slot = std::move(p);
    }
    return *slot;
}

// In-place complex FFT of length m; inverse uses exp(+...) and no scaling.
void fft(cd* a, const Plan& p, bool inverse) {
    size_t m = p.m;
    for (size_t i = 0; i < m; ++i) {
        size_t r = p.bitrev[i];
        if (r > i) std::swap(a[i], a[r]);
    }
    for (size_t len = 2; len <= m; len <<= 1) {
        size_t half = len / 2, step = m / len;
        for (size_t i = 0; i < m; i += len) {
            for (size_t k = 0; k < half; ++k) {
                cd w = p.twiddle[k * step];
                if (inverse) w = std::conj(w);
                cd u = a[i + k];
                cd v = a[i + k + half] * w;
                a[i + k] = u + v;
                a[i + k + half] = u - v;
            }
        }
    }
}

thread_local std::vector<cd> scratch;
thread_local std::vector<float> scratchReal;

}  // namespace

bool transformLengthOk(size_t n) { return n >= 16 && n <= kMaxTransform && (n & (n - 1)) == 0; }

void realDftForward(const float* x, float* out, size_t n) {
    size_t m = n / 2;
    const Plan& p = planFor(m);
    scratch.resize(m);
    cd* z = scratch.data();
    for (size_t k = 0; k < m; ++k) z[k] = cd(x[2 * k], x[2 * k + 1]);
    fft(z, p, false);
    // Split the half-length transform into the spectra of the even and odd samples.
    out[0] = float(z[0].real() + z[0].imag());
    out[1] = float(z[0].real() - z[0].imag());
    for (size_t j = 1; j < m; ++j) {
        cd a = z[j], b = std::conj(z[m - j]);
        cd even = (a + b) * 0.5;
        cd odd = (a - b) * cd(0, -0.5);
        cd xj = even + p.realTwiddle[j] * odd;
        out[2 * j] = float(xj.real());
        out[2 * j + 1] = float(-xj.imag());  // I_j is the sine sum: minus the imaginary part
    }
}

void realDftInverse(const float* in, float* x, size_t n) {
    size_t m = n / 2;
    const Plan& p = planFor(m);
    scratch.resize(m);
    cd* z = scratch.data();
    auto spectrum = [&](size_t j) -> cd {
        if (j == 0) return cd(in[0], 0);
        if (j == m) return cd(in[1], 0);
        return cd(in[2 * j], -double(in[2 * j + 1]));
    };
    for (size_t j = 0; j < m; ++j) {
        cd xj = spectrum(j);
        cd xo = std::conj(spectrum(m - j));  // X_{j+m}
        cd even = (xj + xo) * 0.5;
        cd odd = (xj - xo) * 0.5 * std::conj(p.realTwiddle[j]);
        z[j] = even + cd(0, 1) * odd;
    }
    fft(z, p, true);
    for (size_t k = 0; k < m; ++k) {
        x[2 * k] = float(z[k].real());
        x[2 * k + 1] = float(z[k].imag());
    }
}

void dctForward(const float* x, float* c, size_t n) {
    const Plan& p = planFor(n / 2);
    scratchReal.resize(2 * n);
    float* v = scratchReal.data();
    float* spec = v + n;
    for (size_t k = 0; k < n / 2; ++k) {
        v[k] = x[2 * k];
        v[n - 1 - k] = x[2 * k + 1];
    }
    realDftForward(v, spec, n);
    auto re = [&](size_t j) -> double { return j == 0 ? spec[0] : j == n / 2 ? spec[1] : spec[2 * j]; };
    auto im = [&](size_t j) -> double { return (j == 0 || j == n / 2) ? 0.0 : spec[2 * j + 1]; };
    for (size_t j = 0; j < n; ++j) {
        double cs = p.dctCos[j], sn = p.dctSin[j];
        if (j <= n / 2) c[j] = float(re(j) * cs - im(j) * sn);
        else c[j] = float(re(n - j) * cs + im(n - j) * sn);
    }
}

void dctInverse(const float* c, float* x, size_t n) {
    const Plan& p = planFor(n / 2);
    scratchReal.resize(2 * n);
    float* spec = scratchReal.data();
    float* v = spec + n;
    spec[0] = c[0];
    spec[1] = float(std::sqrt(2.0) * c[n / 2]);
    for (size_t j = 1; j < n / 2; ++j) {
        double cs = p.dctCos[j], sn = p.dctSin[j];
        double a = c[j], b = c[n - j];
        spec[2 * j] = float(a * cs + b * sn);        // Re V_j
        spec[2 * j + 1] = float(-(a * sn - b * cs));  // minus Im V_j
    }
    realDftInverse(spec, v, n);
    double half0 = 0.5 * c[0];
    for (size_t k = 0; k < n / 2; ++k) {
        x[2 * k] = float(v[k] + half0);
        x[2 * k + 1] = float(v[n - 1 - k] + half0);
    }
}

}  // namespace torvex
