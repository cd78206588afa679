#include "kroutil/output/audio_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/mem_block.h"
#include "codec/transform/audio_tables.h"
#include "codec/transform/transform.h"

namespace torvex {

struct TorvexAudioEncoder {
    uint32_t transformLength;  // N
    uint32_t frameLength;      // d
    uint32_t channels;
    uint32_t blockBytes;       // B
    uint32_t overlapBytes;     // B / 16
    uint32_t codedChannels;
    uint32_t variant;
    float scale;
    double snrOffset;          // O
    double frequencyFactor;
    uint8_t* input;            // B
    uint8_t* output;           // B + B / 2
    bool firstBlock;
    uint64_t bytesIn;
    uint64_t bytesOut;
    uint32_t halfRate;
    uint32_t bands;
    uint32_t binEdges[kBandCount + 1];
    float* ath;                // N, dB
    float* athPower;           // N, 10^(ath / 10)
    float athMin[kBandCount];
    float* history;            // per coded channel: magnitude and phase one and two blocks back
    float* analysis;           // N
    float* coding;             // N
    float* spectrum;           // N
    int32_t* values;           // N quantised coefficients
};

namespace {

constexpr double kSpread[11] = {0.0000038, 0.0010497, 0.1347701, 1.0,       0.07875,  0.0146941,
                                0.0052495, 0.0005273, 0.0000507, 0.0000048, 0.0000004};  // D = -3 .. 7

double spread(int d) { return (d < -3 || d > 7) ? 0.0 : kSpread[d + 3]; }

// LSB-first bit writer into 32-bit little-endian words.
struct BitWriter {
    uint8_t* out;
    uint64_t acc = 0;
    uint32_t fill = 0;
    uint32_t bytes = 0;
    void put(uint32_t value, uint32_t n) {
        if (!n) return;
        acc |= uint64_t(value & (n == 32 ? ~0u : ((1u << n) - 1))) << fill;
        fill += n;
        while (fill >= 8) {
            out[bytes++] = uint8_t(acc);
            acc >>= 8;
            fill -= 8;
        }
    }
    void padTo32() {
        uint32_t bits = bytes * 8 + fill;
        uint32_t pad = (32 - bits % 32) % 32;
        while (pad) {
            uint32_t k = std::min(pad, 16u);
            put(0, k);
            pad -= k;
        }
    }
};

uint32_t bitLength(uint32_t v) {
    uint32_t n = 0;
    while (v) {
        ++n;
        v >>= 1;
    }
    return n;
}

// exponent | mantissa << 5 | sign << 28, read back as mantissa x 2^(exponent - 23).
uint32_t leadingField(float x) {
    double a = std::fabs(double(x));
    uint32_t e = a < 1.0 ? 0 : bitLength(uint32_t(std::min(a, 2147483647.0)));
    double mant = std::nearbyint(std::ldexp(a, 23 - int(e)));
    if (mant >= 8388608.0) {  // rounding carried into a 24th bit: one more exponent step
        ++e;
        mant = std::nearbyint(std::ldexp(a, 23 - int(e)));
    }
    e = std::min<uint32_t>(e, 31);
    uint32_t m = uint32_t(std::min(mant, 8388607.0));
    return e | m << 5 | (x < 0 ? 1u << 28 : 0u);
}

double smoothStep(double u) { return 3 * u * u - 2 * u * u * u; }

}  // namespace

TorvexAudioEncoder* TorvexAudioEncoderCreate(uint32_t rate, uint32_t channels, uint32_t variant) {
    if (rate == 0 || rate > 0xFFFFFF || channels < 1 || channels > 2) return nullptr;
    TorvexAudioEncoder e{};
    e.variant = variant ? 1 : 0;
    e.channels = channels;
    e.frameLength = frameLengthFor(rate);
    uint32_t codedRate = rate;
    if (e.variant) {
        e.transformLength = e.frameLength;
        e.codedChannels = channels;
        e.snrOffset = 12.0;
        e.frequencyFactor = 1.0;
    } else {
        e.transformLength = e.frameLength * channels;
        e.codedChannels = 1;
        codedRate = rate * channels;
        e.snrOffset = 12.0 * channels;
        e.frequencyFactor = 1.0 / channels;
    }
    const uint32_t n = e.transformLength;
    e.blockBytes = e.frameLength * channels * 2;
    e.overlapBytes = e.blockBytes / 16;
    e.scale = float(1.0 / std::sqrt(double(n)));
    e.firstBlock = true;
    e.halfRate = (codedRate + 1) / 2;
    e.bands = uint32_t(bandCountFor(e.halfRate));
    for (uint32_t k = 0; k < e.bands; ++k) e.binEdges[k] = uint32_t(uint64_t(n / 2) * kBandFrequency[k] / e.halfRate);
    e.binEdges[e.bands] = n / 2;

    // All working memory in one allocation.
    size_t floats = 2 * size_t(n) /*ath, athPower*/ + size_t(e.codedChannels) * 4 * (n / 2) + 3 * size_t(n);
    size_t total = sizeof(TorvexAudioEncoder) + 64 + floats * 4 + size_t(n) * 4 + e.blockBytes + e.blockBytes * 3 / 2 + 64;
    if (total > 0xFFFFFFF0u) return nullptr;
    auto* base = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(total)));
    if (!base) return nullptr;
    std::memset(base, 0, total);
    auto* enc = reinterpret_cast<TorvexAudioEncoder*>(base);
    *enc = e;
    uint8_t* p = base + ((sizeof(TorvexAudioEncoder) + 31) & ~size_t(31));
    auto take = [&](size_t bytes) {
        uint8_t* r = p;
        p += (bytes + 31) & ~size_t(31);
        return r;
    };
    enc->ath = reinterpret_cast<float*>(take(n * 4));
    enc->athPower = reinterpret_cast<float*>(take(n * 4));
    enc->history = reinterpret_cast<float*>(take(size_t(enc->codedChannels) * 4 * (n / 2) * 4));
    enc->analysis = reinterpret_cast<float*>(take(n * 4));
    enc->coding = reinterpret_cast<float*>(take(n * 4));
    enc->spectrum = reinterpret_cast<float*>(take(n * 4));
    enc->values = reinterpret_cast<int32_t*>(take(n * 4));
    enc->input = take(enc->blockBytes);
    enc->output = take(enc->blockBytes * 3 / 2);
    if (p > base + total) {  // the layout above must fit what was allocated
        TorvexMemFree(base);
        return nullptr;
    }

    // Absolute threshold of hearing per coefficient index, and its least value per band.
    for (uint32_t j = 0; j < n; ++j) {
        uint32_t f = uint32_t(uint64_t(j) * enc->halfRate / n);
        double g = f / 1000.0 * enc->frequencyFactor;
        enc->ath[j] = j == 0 || g <= 0 ? std::numeric_limits<float>::infinity()
                                       : float(3.64 * std::pow(g, -0.8) - 6.5 * std::exp(-0.6 * (g - 3.3) * (g - 3.3)) +
                                               0.001 * std::pow(g, 4));
    }
    for (uint32_t j = 0; j < n; ++j) enc->athPower[j] = float(std::pow(10.0, double(enc->ath[j]) / 10.0));
    for (uint32_t k = 0; k < enc->bands; ++k) {
        float m = 1000.0f;
        for (uint32_t j = 2 * enc->binEdges[k]; j < 2 * enc->binEdges[k + 1]; ++j) m = std::min(m, enc->ath[j]);
        enc->athMin[k] = m;
    }
    return enc;
}

void TorvexAudioEncoderFree(TorvexAudioEncoder* enc) { TorvexMemFree(enc); }

uint8_t* TorvexAudioEncoderInput(TorvexAudioEncoder* enc) { return enc ? enc->input : nullptr; }
uint32_t TorvexAudioEncoderBlockBytes(const TorvexAudioEncoder* enc) { return enc ? enc->blockBytes : 0; }
uint32_t TorvexAudioEncoderOverlapBytes(const TorvexAudioEncoder* enc) { return enc ? enc->overlapBytes : 0; }
uint32_t TorvexAudioEncoderNextInputBytes(const TorvexAudioEncoder* enc) {
    if (!enc) return 0;
    return enc->firstBlock ? enc->blockBytes : enc->blockBytes - enc->overlapBytes;
}

namespace {

// Required signal-to-noise ratio per band from the analysis spectrum.
void psychoacoustics(TorvexAudioEncoder* enc, uint32_t ch, uint32_t quality, double* snr) {
    const uint32_t n = enc->transformLength, half = n / 2;
    const float* s = enc->spectrum;
    float* r1 = enc->history + size_t(ch) * 4 * half;
    float* p1 = r1 + half;
    float* r2 = p1 + half;
    float* p2 = r2 + half;
    double energy[kBandCount] = {}, tonal[kBandCount] = {};
    for (uint32_t k = 0; k < enc->bands; ++k) {
        double sumR = 0, sumRT = 0;
        uint32_t lo = enc->binEdges[k], hi = enc->binEdges[k + 1];
        for (uint32_t j = lo; j < hi; ++j) {
            double e, p;
            if (j == 0) {
                e = 1;
                p = 0;
            } else {
                double re = s[2 * j], im = s[2 * j + 1];
                e = re * re + im * im;
                p = std::atan2(-im, re);
                if (e <= 0.0005) {
                    e = 0.0005;
                    p = 0;
                }
            }
            energy[k] += e;
            double r = std::sqrt(e);
            double rp = 2.0 * r1[j] - r2[j];
            double pp = 2.0 * p1[j] - p2[j];
            r2[j] = r1[j];
            p2[j] = p1[j];
            r1[j] = float(r);
            p1[j] = float(p);
            double u = 0.5;
            if (r + std::fabs(rp) >= 2.5) {
                u = std::sqrt((pp - p) * (pp - p) + (rp - r) * (rp - r)) / (r + std::fabs(rp));
                if (u > 0.5 || u < 0.05) u = 0.5;
            }
            double bt = -0.29 - 0.43 * std::log(u);
            sumR += r;
            sumRT += r * bt;
        }
        double t = sumR < 2.5 * double(hi - lo) || sumR <= 0 ? 0.0 : sumRT / sumR;
        tonal[k] = t * energy[k];
    }
    for (uint32_t k = 0; k < enc->bands; ++k) {
        double se = 0, st = 0;
        for (uint32_t m = 0; m < enc->bands; ++m) {
            double w = spread(int(k) - int(m));
            se += energy[m] * w;
            st += tonal[m] * w;
        }
        double f = se <= 0.0005 ? 0.0 : std::clamp(st / se, 0.0, 1.0);
        double offset = k < 8 ? 2 * enc->snrOffset : enc->snrOffset;
        snr[k] = std::max(0.0, offset + f * (k + 15) + (1 - f) * 6 - 2.0 * quality);
    }
}

uint32_t bandIndex(const TorvexAudioEncoder* enc, uint32_t k, double snr, uint32_t quality) {
    const float* q = quantTable();
    const float* x = enc->coding;
    uint32_t lo = 2 * enc->binEdges[k], hi = 2 * enc->binEdges[k + 1];
    double power = 0, peak = 0;
    for (uint32_t j = lo; j < hi; ++j) {
        power += double(x[j]) * x[j];
        peak = std::max(peak, double(std::fabs(x[j])));
    }
    int t = 0;
    for (int i = 94; i >= 1; --i)
        if (q[i] <= peak) {
            t = i;
            break;
        }
    double allowed = power / std::pow(10.0, snr / 10.0);
    allowed += allowed * 0.0000001;
    int l = 0, h = t + 2, index = 0, mid = (l + h) / 2;
    double best = 0;
    for (;;) {
        double step = q[mid], inv = 1.0 / step, noise = 0;
        for (uint32_t j = lo; j < hi; ++j) {
            double a = std::fabs(double(x[j]));
            double v = std::min(32767.0, std::floor(a * inv + 0.5));
            double d = v * step - a;
            noise += d * d;
        }
        if (noise <= allowed) {
            if (noise >= best) {
                index = mid;
                best = noise;
            }
            l = mid;
        } else {
            h = mid;
        }
        int next = (l + h) / 2;
        if (next == mid) break;
        mid = next;
    }
    // Where the threshold of hearing lies above the band's noise, a coarser step costs nothing.
    double raised = quality + double(enc->athMin[k]);
    if (index < 255 && raised > 0.664 * index) {
        double r = std::nearbyint((raised + 0.3319) * 1.5060241);
        index = int(std::clamp(r, 0.0, 255.0));
    }
    return uint32_t(index);
}

void writeRuns(const TorvexAudioEncoder* enc, BitWriter& bw) {
    const uint32_t n = enc->transformLength;
    const int32_t* v = enc->values;
    uint32_t groups = (n - 2 + 7) / 8;
    auto widthOf = [&](uint32_t g) {
        uint32_t w = 0;
        for (uint32_t j = 2 + 8 * g; j < std::min(n, 2 + 8 * g + 8); ++j) w = std::max(w, bitLength(uint32_t(std::abs(v[j]))));
        return w;
    };
    // Widths once, then runs of equal widths.
    uint32_t widths[kMaxTransform / 8 + 1];
    for (uint32_t g = 0; g < groups; ++g) widths[g] = widthOf(g);
    uint32_t g = 0;
    while (g < groups) {
        uint32_t w = widths[g];
        int code = -1;
        uint32_t covered = 1;
        for (int c = 0; c < 16; ++c) {
            uint32_t span = std::min(kRunGroups[c], groups - g);
            bool same = true;
            for (uint32_t i = 0; i < span && same; ++i) same = widths[g + i] == w;
            if (!same) break;
            code = c;
            covered = span;
        }
        if (code >= 0) {
            bw.put(1, 1);
            bw.put(uint32_t(code), 4);
        } else {
            bw.put(0, 1);
        }
        bw.put(w, 4);
        if (w) {
            uint32_t from = 2 + 8 * g;
            uint32_t to = code >= 0 ? std::min<uint64_t>(n, uint64_t(from) + 8ull * kRunGroups[code]) : std::min(n, from + 8);
            for (uint32_t j = from; j < to; ++j) {
                uint32_t a = uint32_t(std::abs(v[j]));
                bw.put(a, w);
                if (a) bw.put(v[j] < 0 ? 1 : 0, 1);
            }
        }
        g += covered;
    }
}

}  // namespace

uint32_t TorvexAudioEncodeBlock(TorvexAudioEncoder* enc, uint32_t bytesRead, uint32_t quality, const uint8_t** out,
                                uint32_t* outBytes) {
    if (!enc || !out || !outBytes) return 0;
    quality = std::min<uint32_t>(quality, 99);
    uint32_t limit = enc->firstBlock ? enc->blockBytes : enc->blockBytes - enc->overlapBytes;
    bytesRead = std::min(bytesRead, limit);
    uint32_t held = bytesRead + (enc->firstBlock ? 0 : enc->overlapBytes);
    enc->firstBlock = false;
    enc->bytesIn += bytesRead;

    const uint32_t n = enc->transformLength;
    const uint32_t stride = enc->variant ? enc->channels : 1;
    BitWriter bw{enc->output};
    if (enc->variant) bw.put(0, 2);
    const auto* pcm = reinterpret_cast<const uint8_t*>(enc->input);
    auto sample = [&](uint32_t i) { return float(int16_t(uint16_t(pcm[2 * i] | pcm[2 * i + 1] << 8))); };
    for (uint32_t ch = 0; ch < enc->codedChannels; ++ch) {
        uint32_t count = std::min(held / 2 / stride, n);
        // Coding copy: the samples, the last one repeated up to the transform length.
        float last = 0;
        for (uint32_t i = 0; i < n; ++i) {
            if (i < count) last = sample(i * stride + ch);
            enc->coding[i] = last;
        }
        // Analysis copy: the same, faded in and out at both ends.
        std::memcpy(enc->analysis, enc->coding, n * 4);
        uint32_t fade = n / 32;
        for (uint32_t i = 0; i < fade; ++i) {
            float& a = enc->analysis[i];
            a = float(a * smoothStep(double(i) / fade));
            if (std::fabs(a) <= 0.001f) a = 0;
            float& b = enc->analysis[n - fade + i];
            b = float(b * smoothStep(double(fade - i) / fade));
            if (std::fabs(b) <= 0.001f) b = 0;
        }
        realDftForward(enc->analysis, enc->spectrum, n);
        for (uint32_t i = 0; i < n; ++i) enc->spectrum[i] *= enc->scale;
        double snr[kBandCount];
        psychoacoustics(enc, ch, quality, snr);

        if (enc->variant) {
            dctForward(enc->coding, enc->spectrum, n);
            enc->spectrum[0] *= 0.5f;
        } else {
            realDftForward(enc->coding, enc->spectrum, n);
        }
        for (uint32_t i = 0; i < n; ++i) enc->coding[i] = enc->spectrum[i] * enc->scale;

        uint32_t index[kBandCount];
        for (uint32_t k = 0; k < enc->bands; ++k) index[k] = bandIndex(enc, k, snr[k], quality);

        const float* q = quantTable();
        std::memset(enc->values, 0, n * 4);
        const double upperRaise = std::pow(10.0, double(quality));  // 10 x quality dB from band 8 on
        for (uint32_t k = 0; k < enc->bands; ++k) {
            double inv = 1.0 / q[std::min<uint32_t>(index[k], kQuantSteps - 1)];
            double raise = k >= 8 ? upperRaise : 1.0;
            for (uint32_t j = std::max<uint32_t>(2, 2 * enc->binEdges[k]); j < 2 * enc->binEdges[k + 1]; ++j) {
                double x = enc->coding[j];
                if (double(enc->athPower[j]) * raise > x * x) continue;
                int32_t v = int32_t(std::min(32767.0, std::floor(std::fabs(x) * inv + 0.5)));
                enc->values[j] = x < 0 ? -v : v;
            }
        }
        bw.put(leadingField(enc->coding[0]), 29);
        bw.put(leadingField(enc->coding[1]), 29);
        for (uint32_t k = 0; k < enc->bands; ++k) bw.put(index[k], 8);
        writeRuns(enc, bw);
    }
    bw.padTo32();
    std::memmove(enc->input, enc->input + enc->blockBytes - enc->overlapBytes, enc->overlapBytes);
    uint64_t pending = enc->bytesIn - enc->bytesOut;
    uint32_t delivered = uint32_t(std::min<uint64_t>(enc->blockBytes - enc->overlapBytes, pending));
    enc->bytesOut += delivered;
    *out = enc->output;
    *outBytes = bw.bytes;
    return delivered;
}

}  // namespace torvex
