#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/audio/dpcm.h"
#include "kroutil/output/dpcm_chunk.h"
#include "tests/support/test_support.h"

namespace {

using namespace torvex;

std::vector<uint8_t> encode(const std::vector<uint8_t>& pcm, bool stereo, bool sixteen) {
    testsupport::TempDir dir;
    std::string name = dir.file("chunk");
    KroFile* f = KroFileCreate(0, name.c_str());
    uint32_t n = TorvexWriteDpcmChunk(f, pcm.data(), uint32_t(pcm.size()), stereo, sixteen);
    KroFileClose(f);
    auto bytes = testsupport::readFile(name);
    EXPECT_EQ(n, bytes.size());
    EXPECT_EQ(n % 4, 0u);
    return bytes;
}

std::vector<uint8_t> walk(size_t bytes, bool sixteen, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> pcm(bytes);
    int32_t level[2] = {0, 0};
    for (size_t i = 0; i < bytes; i += sixteen ? 2 : 1) {
        int c = int((i / (sixteen ? 2 : 1)) & 1);
        level[c] += int32_t(rng() % 41) - 20;
        if (sixteen) {
            uint16_t v = uint16_t(int16_t(level[c] * 50));
            pcm[i] = uint8_t(v);
            if (i + 1 < bytes) pcm[i + 1] = uint8_t(v >> 8);
        } else {
            pcm[i] = uint8_t(0x80 + level[c]);
        }
    }
    return pcm;
}

TEST(Dpcm, RoundTripsBitExactInAllFormatsThroughAWrappingRing) {
    for (bool stereo : {false, true})
        for (bool sixteen : {false, true}) {
            uint32_t frame = (stereo ? 2 : 1) * (sixteen ? 2 : 1);
            for (uint32_t frames : {1u, 2u, 3u, 777u, 4000u}) {
                auto pcm = walk(frames * frame, sixteen, frames + frame);
                auto chunk = encode(pcm, stereo, sixteen);
                // A ring a little larger than the sound, written from near its end.
                std::vector<uint8_t> ring(pcm.size() + 37, 0xEE);
                std::vector<uint8_t> guard(kDpcmScratchBytes);
                DpcmOutput out{ring.data(), ring.data() + ring.size(), ring.data() + ring.size() - 11};
                uint32_t written = 0;
                ASSERT_EQ(TorvexDecodeDpcm(chunk.data(), chunk.data() + chunk.size(), uint32_t(pcm.size()), stereo, sixteen,
                                           guard.data(), out, &written),
                          DpcmStatus::Decoded);
                ASSERT_EQ(written, pcm.size());
                std::vector<uint8_t> got;
                for (size_t i = 0; i < pcm.size(); ++i) got.push_back(ring[(ring.size() - 11 + i) % ring.size()]);
                ASSERT_EQ(got, pcm) << "stereo " << stereo << " 16-bit " << sixteen << " frames " << frames;
            }
        }
}

TEST(Dpcm, FirstFrameIsRawRightChannelFirstHighByteFirst) {
    testsupport::LsbBitWriter w;
    w.put(1, 1), w.put(1, 1), w.put(1, 1);
    for (int t = 0; t < 4; ++t) {
        w.put(1, 1);  // not interpreted
        w.put(0, 1), w.put(0, 8), w.put(0, 1);  // a single-leaf tree, then its end bit
    }
    for (uint32_t b : {0x12u, 0x34u, 0x56u, 0x78u}) w.put(b, 8);  // right high, right low, left high, left low
    std::vector<uint8_t> out(4), scratch(kDpcmScratchBytes);
    DpcmOutput o{out.data(), out.data() + 4, out.data()};
    uint32_t written;
    ASSERT_EQ(TorvexDecodeDpcm(w.bytes.data(), w.bytes.data() + w.bytes.size(), 4, true, true, scratch.data(), o, &written),
              DpcmStatus::Decoded);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));  // left 0x5678, right 0x1234
}

TEST(Dpcm, SingleByteChunkIsItsInitialValue) {
    auto chunk = encode({0x9A}, false, false);
    std::vector<uint8_t> out(8, 0), scratch(kDpcmScratchBytes);
    DpcmOutput o{out.data(), out.data() + out.size(), out.data()};
    uint32_t written;
    ASSERT_EQ(TorvexDecodeDpcm(chunk.data(), chunk.data() + chunk.size(), 1, false, false, scratch.data(), o, &written),
              DpcmStatus::Decoded);
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(out[0], 0x9A);
    EXPECT_EQ(out[1], 0);
}

TEST(Dpcm, MalformedInputStaysInBounds) {
    auto pcm = walk(2000, true, 3);
    auto chunk = encode(pcm, true, true);
    std::vector<uint8_t> scratch(kDpcmScratchBytes);
    std::vector<uint8_t> out(pcm.size());
    uint32_t written;
    // Format bits that disagree with the track.
    DpcmOutput o{out.data(), out.data() + out.size(), out.data()};
    EXPECT_EQ(TorvexDecodeDpcm(chunk.data(), chunk.data() + chunk.size(), 2000, false, true, scratch.data(), o, &written),
              DpcmStatus::Malformed);
    // A stream cut short: decoding stops inside the output.
    for (size_t cut : {1u, 10u, 100u, 1000u}) {
        DpcmOutput oc{out.data(), out.data() + out.size(), out.data()};
        EXPECT_EQ(TorvexDecodeDpcm(chunk.data(), chunk.data() + cut, 2000, true, true, scratch.data(), oc, &written),
                  DpcmStatus::Malformed)
            << cut;
        EXPECT_LE(written, 2000u);
    }
    // An unpacked length that is no whole number of frames: only whole frames come out.
    DpcmOutput op{out.data(), out.data() + out.size(), out.data()};
    EXPECT_EQ(TorvexDecodeDpcm(chunk.data(), chunk.data() + chunk.size(), 1998, true, true, scratch.data(), op, &written),
              DpcmStatus::Decoded);
    EXPECT_EQ(written, 1996u);
    // The data-present bit 0.
    uint8_t none = 0;
    EXPECT_EQ(TorvexDecodeDpcm(&none, &none + 1, 100, false, false, scratch.data(), op, &written), DpcmStatus::NoData);
    // Random garbage never writes past the ring.
    std::mt19937 rng(9);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> junk(1 + rng() % 300);
        for (auto& b : junk) b = uint8_t(rng());
        std::vector<uint8_t> small(64);
        DpcmOutput og{small.data(), small.data() + small.size(), small.data() + 60};
        TorvexDecodeDpcm(junk.data(), junk.data() + junk.size(), 5000, (round & 1) != 0, (round & 2) != 0, scratch.data(), og,
                         &written);
        EXPECT_LE(written, 5000u);
    }
}

}  // namespace
