// The fast transforms against their defining sums.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "codec/transform/transform.h"

namespace {

using torvex::dctForward;
using torvex::dctInverse;
using torvex::realDftForward;
using torvex::realDftInverse;

std::vector<float> noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1000, 1000);
    std::vector<float> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

void expectClose(const std::vector<float>& got, const std::vector<double>& want, const char* what, size_t n) {
    double peak = 1;
    for (double w : want) peak = std::max(peak, std::fabs(w));
    for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(got[i], want[i], peak * 2e-6) << what << " n=" << n << " i=" << i;
}

TEST(Transform, MatchDefinitions) {
    for (size_t n : {16, 64, 512, 4096}) {
        auto x = noise(n, unsigned(n));
        // Real DFT: R_0, R_{n/2}, R_1, I_1, ...
        std::vector<double> dft(n);
        for (size_t j = 0; j <= n / 2; ++j) {
            double re = 0, im = 0;
            for (size_t t = 0; t < n; ++t) {
                double a = 2 * M_PI * double(j * t % n) / double(n);
                re += x[t] * std::cos(a);
                im += x[t] * std::sin(a);
            }
            if (j == 0) dft[0] = re;
            else if (j == n / 2) dft[1] = re;
            else {
                dft[2 * j] = re;
                dft[2 * j + 1] = im;
            }
        }
        std::vector<float> got(n);
        realDftForward(x.data(), got.data(), n);
        expectClose(got, dft, "real DFT", n);

        std::vector<double> inv(n);
        for (size_t t = 0; t < n; ++t) {
            double s = (x[0] + x[1] * std::cos(M_PI * double(t))) / 2;
            for (size_t j = 1; j < n / 2; ++j) {
                double a = 2 * M_PI * double(j * t % n) / double(n);
                s += x[2 * j] * std::cos(a) + x[2 * j + 1] * std::sin(a);
            }
            inv[t] = s;
        }
        realDftInverse(x.data(), got.data(), n);
        expectClose(got, inv, "inverse real DFT", n);

        std::vector<double> dct(n), idct(n);
        for (size_t j = 0; j < n; ++j) {
            double s = 0, si = 0;
            for (size_t t = 0; t < n; ++t) {
                s += x[t] * std::cos(M_PI * double(j) * (double(t) + 0.5) / double(n));
                si += x[t] * std::cos(M_PI * double(t) * (double(j) + 0.5) / double(n));
            }
            dct[j] = s;
            idct[j] = si;  // x as coefficients, j as the sample index
        }
        dctForward(x.data(), got.data(), n);
        expectClose(got, dct, "DCT", n);
        dctInverse(x.data(), got.data(), n);
        expectClose(got, idct, "inverse DCT", n);
    }
}

}  // namespace
