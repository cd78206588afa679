// Tables shared by the transform audio decoder and encoder.
#pragma once

#include <cstdint>

namespace torvex {

constexpr int kBandCount = 25;
constexpr uint32_t kBandFrequency[kBandCount] = {0,    100,  200,  300,  400,  510,  630,  770,  920,
                                                 1080, 1270, 1480, 1720, 2000, 2320, 2700, 3150, 3700,
                                                 4400, 5300, 6400, 7700, 9500, 12000, 15500};
// Run lengths, in groups of 8 coefficients, of the 16 run codes.
constexpr uint32_t kRunGroups[16] = {2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 32, 64};
constexpr int kQuantSteps = 96;
// q[i] = e^(0.15289164787 i) as 32-bit floats.
const float* quantTable();

// Per-channel frame length for a sample rate (before any channel multiplication).
inline uint32_t frameLengthFor(uint32_t rate) { return rate < 22050 ? 512 : rate < 44100 ? 1024 : 2048; }
// Bands whose lower frequency lies below half the rate.
inline int bandCountFor(uint32_t halfRate) {
    int k = 0;
    while (k < kBandCount && kBandFrequency[k] < halfRate) ++k;
    return k;
}

}  // namespace torvex
