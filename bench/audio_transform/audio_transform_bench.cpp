// Transform audio coding speed for 44100 Hz 16-bit stereo, as multiples of real time, with the
// bit rate and signal-to-noise ratio at qualities 0, 4, 20 and 50.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/bench_args.h"
#include "codec/audio/dpcm.h"
#include "codec/transform/audio_decoder.h"
#include "kroutil/output/audio_encoder.h"
#include "kroutil/output/dpcm_chunk.h"

using namespace torvex;
using Clock = std::chrono::steady_clock;

constexpr int kDecodePasses = 5;

int main(int argc, char** argv) {
    const uint32_t rate = 44100, channels = 2;
    const char* usage =
        "Usage: bench_audio_transform [SECONDS]\n"
        "Codes SECONDS (default 10) of 44100 Hz stereo music-like sound with the transform coder at\n"
        "qualities 0, 4, 20 and 50 and prints the coding and decoding speed as multiples of real\n"
        "time, the bit rate and the signal-to-noise ratio.\n";
    bench::checkArgs(argc, argv, 1, usage);
    const double seconds = argc > 1 ? bench::positive(argv[1], "SECONDS", usage) : 10.0;
    const size_t frames = size_t(rate * seconds);
    std::vector<int16_t> pcm(frames * channels);
    uint32_t seed = 1;
    for (size_t i = 0; i < frames; ++i) {
        double t = double(i) / rate;
        double music = 6000 * std::sin(2 * M_PI * 220 * t) + 3000 * std::sin(2 * M_PI * 330 * t + std::sin(t)) +
                       1500 * std::sin(2 * M_PI * 1760 * t) * std::exp(-std::fmod(t, 0.5) * 6);
        seed = seed * 1664525u + 1013904223u;
        double hiss = (int32_t(seed >> 16) - 32768) / 32.0;
        pcm[i * 2] = int16_t(music + hiss);
        pcm[i * 2 + 1] = int16_t(music * 0.8 - hiss);
    }
    std::printf("44100 Hz 16-bit stereo, %.0f s of test music (decoding: best of %d passes)\n", seconds, kDecodePasses);
    for (uint32_t variant : {1u, 0u}) {
        for (uint32_t quality : {0u, 4u, 20u, 50u}) {
            TorvexAudioEncoder* e = TorvexAudioEncoderCreate(rate, channels, variant);
            std::vector<std::vector<uint8_t>> blocks;
            const auto* src = reinterpret_cast<const uint8_t*>(pcm.data());
            size_t total = pcm.size() * 2, taken = 0, coded = 0;
            auto t0 = Clock::now();
            for (;;) {
                uint32_t want = TorvexAudioEncoderNextInputBytes(e);
                uint32_t offset = TorvexAudioEncoderBlockBytes(e) - want;
                uint32_t got = uint32_t(std::min<size_t>(want, total - taken));
                std::memcpy(TorvexAudioEncoderInput(e) + offset, src + taken, got);
                taken += got;
                const uint8_t* out;
                uint32_t outBytes;
                uint32_t delivered = TorvexAudioEncodeBlock(e, got, quality, &out, &outBytes);
                if (!delivered) break;
                blocks.emplace_back(out, out + outBytes);
                coded += outBytes;
            }
            double encodeSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
            TorvexAudioEncoderFree(e);

            // Decoding is fast enough for the machine's other work to show: the best of a few
            // passes (each with a fresh decoder) is reported.
            std::vector<int16_t> decoded;
            decoded.reserve(pcm.size() + 8192);
            double decodeSeconds = 1e30;
            for (int pass = 0; pass < kDecodePasses; ++pass) {
                TorvexAudioDecoder* d = TorvexAudioDecoderCreate(rate, channels, variant);
                size_t sink = 0;
                t0 = Clock::now();
                for (const auto& b : blocks) {
                    const int16_t* p;
                    uint32_t bytes;
                    const uint8_t* next;
                    if (!TorvexAudioDecodeBlock(d, b.data(), b.data() + b.size(), &p, &bytes, &next)) continue;
                    if (pass == 0) decoded.insert(decoded.end(), p, p + bytes / 2);
                    else sink += size_t(p[bytes / 4]);
                }
                decodeSeconds = std::min(decodeSeconds, std::chrono::duration<double>(Clock::now() - t0).count());
                TorvexAudioDecoderFree(d);
                if (sink == 1) std::printf(" ");  // keeps the later passes' work
            }
            double sig = 0, err = 0;
            for (size_t i = 0; i < pcm.size() && i < decoded.size(); ++i) {
                sig += double(pcm[i]) * pcm[i];
                err += (double(pcm[i]) - decoded[i]) * (double(pcm[i]) - decoded[i]);
            }
            std::printf("%s q%-2u  encode %7.1f x real time  decode %7.1f x real time  %6.1f kbit/s  SNR %5.1f dB\n",
                        variant ? "DCT" : "DFT", quality, seconds / encodeSeconds, seconds / decodeSeconds,
                        coded * 8 / seconds / 1000, 10 * std::log10(sig / std::max(err, 1e-9)));
        }
    }
    // DPCM: chunks of 1/15 s, decoded into a ring as the player does.
    {
        const char* scratchName = "/tmp/torvex-bench-dpcm.bin";
        const uint32_t chunkBytes = rate / 15 * 4;
        std::vector<std::vector<uint8_t>> chunks;
        const auto* src = reinterpret_cast<const uint8_t*>(pcm.data());
        size_t total = pcm.size() * 2;
        for (size_t at = 0; at + chunkBytes <= total; at += chunkBytes) {
            KroFile* f = KroFileCreate(0, scratchName);
            uint32_t n = torvex::TorvexWriteDpcmChunk(f, src + at, chunkBytes, true, true);
            KroFileSetPos(f, 0);
            std::vector<uint8_t> c(n);
            KroFileGet(f, c.data(), n);
            KroFileClose(f);
            chunks.push_back(std::move(c));
        }
        KroFileErase(scratchName);
        std::vector<uint8_t> ring(1 << 20), trees(torvex::kDpcmScratchBytes);
        size_t coded = 0;
        for (const auto& c : chunks) coded += c.size();
        auto t0 = Clock::now();
        torvex::DpcmOutput out{ring.data(), ring.data() + ring.size(), ring.data()};
        for (const auto& c : chunks) {
            uint32_t written;
            torvex::TorvexDecodeDpcm(c.data(), c.data() + c.size(), chunkBytes, true, true, trees.data(), out, &written);
        }
        double s = std::chrono::duration<double>(Clock::now() - t0).count();
        double covered = double(chunks.size()) / 15.0;
        std::printf("DPCM     decode %7.1f x real time  %6.1f kbit/s  (lossless)\n", covered / s, coded * 8 / covered / 1000);
    }
    return 0;
}
