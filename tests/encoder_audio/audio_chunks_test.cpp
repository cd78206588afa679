// The writer's audio chunks decoded back with the codec's chunk decoders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "codec/audio/dpcm.h"
#include "codec/transform/audio_decoder.h"
#include "encoder/audio/audio_chunks.h"
#include "tests/support/test_support.h"

namespace {

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

TorvexWriterTrack tone(uint32_t rate, uint32_t channels, uint32_t bits, double seconds, TorvexAudioCoding coding) {
    TorvexWriterTrack t;
    t.rate = rate;
    t.channels = channels;
    t.bits = bits;
    t.coding = coding;
    t.pcm = testsupport::sinePcm(rate, channels, bits, seconds, 440, 110, 0.4);
    return t;
}

// Decodes every chunk in frame order, as the player's extraction does.
std::vector<uint8_t> decodeAll(const TorvexWriterTrack& tr, const TorvexTrackChunks& chunks) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> scratch(torvex::kDpcmScratchBytes);
    torvex::TorvexAudioDecoder* dec = nullptr;
    if (tr.coding == TorvexAudioCoding::Dct || tr.coding == TorvexAudioCoding::Dft)
        dec = torvex::TorvexAudioDecoderCreate(tr.rate, tr.channels, tr.coding == TorvexAudioCoding::Dct ? 1 : 0);
    for (const auto& c : chunks.chunk) {
        if (c.empty()) continue;
        EXPECT_EQ(le32(c.data()), c.size());
        if (tr.coding == TorvexAudioCoding::Raw) {
            out.insert(out.end(), c.begin() + 4, c.end());
            continue;
        }
        uint32_t unpacked = le32(c.data() + 4);
        const uint8_t* p = c.data() + 8;
        const uint8_t* end = c.data() + c.size();
        if (dec) {
            uint32_t produced = 0;
            while (produced < unpacked) {
                const int16_t* pcm;
                uint32_t bytes;
                const uint8_t* next;
                EXPECT_TRUE(torvex::TorvexAudioDecodeBlock(dec, p, end, &pcm, &bytes, &next));
                if (!bytes) break;
                auto* b = reinterpret_cast<const uint8_t*>(pcm);
                out.insert(out.end(), b, b + bytes);
                produced += bytes;
                p = next;
            }
            EXPECT_EQ(produced, unpacked);
            EXPECT_EQ(p, end);
        } else {
            std::vector<uint8_t> buf(unpacked);
            torvex::DpcmOutput o{buf.data(), buf.data() + buf.size(), buf.data()};
            uint32_t written = 0;
            EXPECT_EQ(torvex::TorvexDecodeDpcm(p, end, unpacked, tr.channels == 2, tr.bits == 16, scratch.data(), o, &written),
                      torvex::DpcmStatus::Decoded);
            EXPECT_EQ(written, unpacked);
            out.insert(out.end(), buf.begin(), buf.end());
        }
    }
    torvex::TorvexAudioDecoderFree(dec);
    return out;
}

TEST(WriterAudio, RawAndDpcmGiveBackEveryByteInFramePeriods) {
    for (auto coding : {TorvexAudioCoding::Raw, TorvexAudioCoding::Dpcm})
        for (uint32_t channels : {1u, 2u})
            for (uint32_t bits : {8u, 16u}) {
                auto tr = tone(11025, channels, bits, 1.3, coding);
                TorvexTrackChunks chunks;
                std::string error;
                // 15 frames of 66.67 ms hold one second; the rest goes into the last frame.
                ASSERT_TRUE(TorvexBuildTrackChunks(tr, 15, 6667, &chunks, &error)) << error;
                EXPECT_EQ(decodeAll(tr, chunks), tr.pcm);
                uint32_t frameBytes = channels * bits / 8;
                if (coding == TorvexAudioCoding::Raw) {
                    // Frame 1 holds one period of sound in whole sample frames.
                    uint64_t expect = (uint64_t(2) * 6667 * 11025 * frameBytes / 100000) / frameBytes * frameBytes -
                                      (uint64_t(6667) * 11025 * frameBytes / 100000) / frameBytes * frameBytes;
                    EXPECT_EQ(chunks.chunk[1].size() - 4, expect);
                    EXPECT_EQ(chunks.format & 0x80000000u, 0u);
                } else {
                    EXPECT_NE(chunks.format & 0x80000000u, 0u);
                }
                EXPECT_EQ(chunks.format & 0xFFFFFF, 11025u);
            }
}

TEST(WriterAudio, TransformChunksHoldWholeBlocks) {
    for (auto coding : {TorvexAudioCoding::Dct, TorvexAudioCoding::Dft}) {
        auto tr = tone(22050, 2, 16, 2.0, coding);
        TorvexTrackChunks chunks;
        std::string error;
        ASSERT_TRUE(TorvexBuildTrackChunks(tr, 30, 6667, &chunks, &error)) << error;
        auto out = decodeAll(tr, chunks);
        ASSERT_GE(out.size(), tr.pcm.size());
        double sig = 0, err = 0;
        for (size_t i = 0; i + 1 < tr.pcm.size(); i += 2) {
            double a = int16_t(tr.pcm[i] | tr.pcm[i + 1] << 8), b = int16_t(out[i] | out[i + 1] << 8);
            sig += a * a;
            err += (a - b) * (a - b);
        }
        EXPECT_GT(10 * std::log10(sig / err), 25.0) << (coding == TorvexAudioCoding::Dct ? "DCT" : "DFT");
        EXPECT_NE(chunks.format & (coding == TorvexAudioCoding::Dct ? 1u << 26 : 1u << 27), 0u);
    }
    TorvexTrackChunks chunks;
    std::string error;
    EXPECT_FALSE(TorvexBuildTrackChunks(tone(11025, 1, 16, 0.1, TorvexAudioCoding::Dct), 3, 6667, &chunks, &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
