// Fast real DFT and DCT of power-of-two lengths, as the transform audio coding uses them.
//
// Values are 32-bit floats; the butterflies run in double precision. Tables are built once per
// length, on first use (thread-safe).
#pragma once

#include <cstddef>

namespace torvex {

// Largest supported length (a 44100 Hz stereo block coded as one interleaved signal).
constexpr size_t kMaxTransform = 8192;

// True for the lengths the routines accept: powers of two from 16 to kMaxTransform.
bool transformLengthOk(size_t n);

// Forward real DFT of n samples: R_j = sum x_t cos(2 pi j t / n), I_j = sum x_t sin(2 pi j t / n),
// written as R_0, R_{n/2}, R_1, I_1, R_2, I_2, ... (n values).
void realDftForward(const float* x, float* out, size_t n);
// Inverse of that layout without the 1/n: x_t = (R_0 + R_{n/2} cos(pi t)) / 2
//   + sum_{j=1}^{n/2-1} (R_j cos(2 pi j t / n) + I_j sin(2 pi j t / n)).
void realDftInverse(const float* in, float* x, size_t n);

// c_j = sum_t x_t cos(pi j (t + 1/2) / n), j = 0 .. n-1.
void dctForward(const float* x, float* c, size_t n);
// x_t = sum_j c_j cos(pi j (t + 1/2) / n), t = 0 .. n-1.
void dctInverse(const float* c, float* x, size_t n);

}  // namespace torvex
