// The transform audio coding both ways: block geometry, the bit layout on hand-built blocks,
// and encoder-to-decoder round trips measured as signal-to-noise ratio.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "codec/transform/audio_decoder.h"
#include "codec/transform/audio_tables.h"
#include "codec/transform/transform.h"
#include "kroutil/output/audio_encoder.h"
#include "tests/support/test_support.h"

namespace {

using namespace torvex;

TEST(AudioDecoder, BlockGeometry) {
    struct Case {
        uint32_t rate, channels, variant, n, blockBytes, bands;
    } cases[] = {
        {22050, 2, 0, 2048, 1920 * 2, 25},  // real DFT: 1024 x 2 coefficients, 960 per channel delivered
        {44100, 1, 1, 2048, 1920 * 2, 25},
        {16000, 1, 1, 512, 480 * 2, 22},
        {8000, 2, 1, 512, 960 * 2, 18},
    };
    for (const auto& c : cases) {
        TorvexAudioDecoder* d = TorvexAudioDecoderCreate(c.rate, c.channels, c.variant);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(TorvexAudioDecoderTransformLength(d), c.n) << c.rate;
        EXPECT_EQ(TorvexAudioDecoderBlockBytes(d), c.blockBytes) << c.rate;
        EXPECT_EQ(TorvexAudioDecoderBandCount(d), c.bands) << c.rate;
        TorvexAudioDecoderFree(d);
    }
    TorvexAudioDecoder* d = TorvexAudioDecoderCreate(44100, 1, 1);
    EXPECT_EQ(TorvexAudioDecoderEdges(d)[0], 2u);
    EXPECT_EQ(TorvexAudioDecoderEdges(d)[1], 8u);  // 2 x (1024 x 100 / 22050)
    EXPECT_EQ(TorvexAudioDecoderEdges(d)[25], 2048u);
    TorvexAudioDecoderFree(d);
    EXPECT_EQ(TorvexAudioDecoderCreate(0, 1, 1), nullptr);
    EXPECT_EQ(TorvexAudioDecoderCreate(44100, 3, 1), nullptr);
    EXPECT_EQ(TorvexAudioDecoderCreate(0x1000000, 1, 1), nullptr);
}

// A hand-built 16 kHz mono DCT block: one nonzero coefficient with quantiser index 200 (which
// must act as 95), the rest in width-0 runs. Decoding must give that coefficient's cosine.
TEST(AudioDecoder, HandBuiltBlockQuantiserCapAndOverlap) {
    const uint32_t n = 512, bands = 22;
    testsupport::LsbBitWriter w;
    w.put(0, 2);
    w.put(0, 29);
    w.put(0, 29);
    for (uint32_t k = 0; k < bands; ++k) w.put(200, 8);
    w.put(0, 1);  // a single group
    w.put(2, 4);  // width 2
    w.put(3, 2);  // coefficient 2 = 3 steps, negative
    w.put(1, 1);
    for (int i = 1; i < 8; ++i) w.put(0, 2);
    uint32_t groupsLeft = (n - 2 + 7) / 8 - 1;  // 63 groups: runs of 32 and then 31 (cut at the end)
    w.put(1, 1), w.put(14, 4), w.put(0, 4);
    w.put(1, 1), w.put(14, 4), w.put(0, 4);
    (void)groupsLeft;
    w.padTo32();

    TorvexAudioDecoder* d = TorvexAudioDecoderCreate(16000, 1, 1);
    const int16_t* pcm;
    uint32_t bytes;
    const uint8_t* next;
    ASSERT_TRUE(TorvexAudioDecodeBlock(d, w.bytes.data(), w.bytes.data() + w.bytes.size(), &pcm, &bytes, &next));
    EXPECT_EQ(next, w.bytes.data() + w.bytes.size());
    EXPECT_EQ(bytes, 480u * 2);
    const double coefficient = -3.0 * double(quantTable()[95]);
    const double scale = 2.0 / std::sqrt(double(n));
    for (uint32_t t = 0; t < 480; ++t) {
        double want = std::nearbyint(coefficient * std::cos(M_PI * 2 * (t + 0.5) / n) * scale);
        want = std::clamp(want, -32768.0, 32767.0);
        ASSERT_NEAR(pcm[t], want, 1.0) << t;
    }
    // The first block came out unblended (checked above). The same block again: its first 32
    // samples blend the kept tail (the block's last 32) into the new head.
    auto full = [&](uint32_t t) {
        double v = std::nearbyint(coefficient * std::cos(M_PI * 2 * (t + 0.5) / n) * scale);
        return int64_t(std::clamp(v, -32768.0, 32767.0));
    };
    ASSERT_TRUE(TorvexAudioDecodeBlock(d, w.bytes.data(), w.bytes.data() + w.bytes.size(), &pcm, &bytes, &next));
    const int64_t m = 32;
    for (int64_t i = 0; i < m; ++i) {
        int64_t sum = full(uint32_t(480 + i)) * (m - i) + full(uint32_t(i)) * i;
        int64_t want = sum >= 0 ? sum / m : -((-sum + m - 1) / m);  // floor
        ASSERT_NEAR(pcm[i], want, 1.0) << i;
    }
    for (uint32_t t = uint32_t(m); t < 480; ++t) ASSERT_NEAR(pcm[t], full(t), 1.0) << t;
    // The same block cut short runs past the input end: nothing is delivered.
    ASSERT_FALSE(TorvexAudioDecodeBlock(d, w.bytes.data(), w.bytes.data() + 20, &pcm, &bytes, &next));
    TorvexAudioDecoderFree(d);
}

TEST(AudioEncoder, SilenceBlockIsFortyBytes) {
    TorvexAudioEncoder* e = TorvexAudioEncoderCreate(44100, 1, 1);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(TorvexAudioEncoderBlockBytes(e), 4096u);
    std::memset(TorvexAudioEncoderInput(e), 0, 4096);
    const uint8_t* out;
    uint32_t outBytes;
    EXPECT_EQ(TorvexAudioEncodeBlock(e, 4096, 0, &out, &outBytes), 3840u);
    EXPECT_EQ(outBytes, 40u);  // 2 + 58 + 25 x 8 + 4 runs of 9 bits = 296 bits
    TorvexAudioDecoder* d = TorvexAudioDecoderCreate(44100, 1, 1);
    const int16_t* pcm;
    uint32_t bytes;
    const uint8_t* next;
    ASSERT_TRUE(TorvexAudioDecodeBlock(d, out, out + outBytes, &pcm, &bytes, &next));
    for (uint32_t i = 0; i < bytes / 2; ++i) ASSERT_EQ(pcm[i], 0);
    TorvexAudioDecoderFree(d);
    TorvexAudioEncoderFree(e);
}

TEST(AudioEncoder, StereoDctGeometry) {
    TorvexAudioEncoder* e = TorvexAudioEncoderCreate(44100, 2, 1);
    EXPECT_EQ(TorvexAudioEncoderBlockBytes(e), 8192u);
    EXPECT_EQ(TorvexAudioEncoderOverlapBytes(e), 512u);
    EXPECT_EQ(TorvexAudioEncoderNextInputBytes(e), 8192u);
    std::memset(TorvexAudioEncoderInput(e), 0, 8192);
    const uint8_t* out;
    uint32_t outBytes;
    EXPECT_EQ(TorvexAudioEncodeBlock(e, 8192, 50, &out, &outBytes), 7680u);
    EXPECT_EQ(out[0] & 3, 0);  // the two leading zero bits
    EXPECT_EQ(TorvexAudioEncoderNextInputBytes(e), 7680u);
    TorvexAudioEncoderFree(e);
}

// ---- round trips ------------------------------------------------------------------------

std::vector<int16_t> signal(const char* kind, uint32_t rate, uint32_t channels, double seconds) {
    size_t frames = size_t(rate * seconds);
    std::vector<int16_t> s(frames * channels);
    std::mt19937 rng(5);
    std::normal_distribution<double> g(0, 6000);
    for (size_t i = 0; i < frames; ++i) {
        double t = double(i) / rate;
        for (uint32_t c = 0; c < channels; ++c) {
            double v = 0;
            if (!std::strcmp(kind, "sweep")) {
                double f0 = 50, f1 = rate / 2.5;  // logarithmic sweep
                double k = std::log(f1 / f0) / seconds;
                v = 12000 * std::sin(2 * M_PI * f0 * (std::exp(k * t) - 1) / k + c);
            } else if (!std::strcmp(kind, "chord")) {
                for (double f : {261.63, 329.63, 392.0, 523.25}) v += 5000 * std::sin(2 * M_PI * f * (1 + 0.01 * c) * t);
            } else if (!std::strcmp(kind, "noise")) {
                v = g(rng);
            }
            s[i * channels + c] = int16_t(std::clamp(std::round(v), -32768.0, 32767.0));
        }
    }
    return s;
}

// Encodes the whole sound and decodes it again; returns the decoded samples and the coded size.
std::vector<int16_t> roundTrip(const std::vector<int16_t>& in, uint32_t rate, uint32_t channels, uint32_t variant,
                               uint32_t quality, size_t* codedBytes) {
    TorvexAudioEncoder* e = TorvexAudioEncoderCreate(rate, channels, variant);
    TorvexAudioDecoder* d = TorvexAudioDecoderCreate(rate, channels, variant);
    EXPECT_TRUE(e && d);
    std::vector<int16_t> out;
    const auto* src = reinterpret_cast<const uint8_t*>(in.data());
    size_t total = in.size() * 2, taken = 0;
    *codedBytes = 0;
    while (out.size() * 2 < total) {
        uint32_t want = TorvexAudioEncoderNextInputBytes(e);
        uint32_t offset = TorvexAudioEncoderBlockBytes(e) - want;
        uint32_t got = uint32_t(std::min<size_t>(want, total - taken));
        std::memcpy(TorvexAudioEncoderInput(e) + offset, src + taken, got);
        taken += got;
        const uint8_t* block;
        uint32_t blockBytes;
        uint32_t delivered = TorvexAudioEncodeBlock(e, got, quality, &block, &blockBytes);
        *codedBytes += blockBytes;
        const int16_t* pcm;
        uint32_t pcmBytes;
        const uint8_t* next;
        EXPECT_TRUE(TorvexAudioDecodeBlock(d, block, block + blockBytes, &pcm, &pcmBytes, &next));
        EXPECT_EQ(next, block + blockBytes);
        EXPECT_EQ(pcmBytes, TorvexAudioDecoderBlockBytes(d));
        out.insert(out.end(), pcm, pcm + std::min(pcmBytes, delivered) / 2);
        if (delivered == 0) break;
    }
    TorvexAudioEncoderFree(e);
    TorvexAudioDecoderFree(d);
    return out;
}

double snrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& got) {
    double sig = 0, err = 0;
    for (size_t i = 0; i < ref.size() && i < got.size(); ++i) {
        sig += double(ref[i]) * ref[i];
        double e = double(ref[i]) - got[i];
        err += e * e;
    }
    if (err == 0) return 200;
    return 10 * std::log10(sig / err);
}

TEST(AudioCodec, RoundTripSignalToNoise) {
    struct Case {
        const char* kind;
        uint32_t rate, channels, variant, quality;
        double minSnr;
    } cases[] = {
#include "snr_thresholds.inc"
    };
    for (const auto& c : cases) {
        auto in = signal(c.kind, c.rate, c.channels, 1.0);
        size_t coded = 0;
        auto out = roundTrip(in, c.rate, c.channels, c.variant, c.quality, &coded);
        ASSERT_EQ(out.size(), in.size()) << c.kind;
        double snr = snrDb(in, out);
        double kbps = coded * 8.0 / 1000.0;
        std::printf("  %-6s %5u Hz %u ch %s q%-2u  SNR %6.1f dB  %7.1f kbit/s\n", c.kind, c.rate, c.channels,
                    c.variant ? "DCT" : "DFT", c.quality, snr, kbps);
        EXPECT_GE(snr, c.minSnr) << c.kind << " " << c.rate << " variant " << c.variant << " q" << c.quality;
    }
}

TEST(AudioCodec, SilenceStaysSilent) {
    for (uint32_t variant : {0u, 1u}) {
        std::vector<int16_t> in(44100 * 2, 0);
        size_t coded = 0;
        auto out = roundTrip(in, 44100, 2, variant, 0, &coded);
        ASSERT_EQ(out.size(), in.size());
        for (int16_t s : out) ASSERT_EQ(s, 0);
    }
}

}  // namespace
