#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "bytes/bit_reader.h"
#include "bytes/byte_order.h"

namespace {

TEST(ByteOrder, LoadsAndStoresBothOrdersAtAnyAlignment) {
    const uint8_t src[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x89};
    struct Case {
        size_t at;
        uint64_t le64, be64;
    };
    for (const Case& c : {Case{0, 0x0706050403020100ull, 0x0001020304050607ull},
                          Case{1, 0x0807060504030201ull, 0x0102030405060708ull},
                          Case{2, 0x8908070605040302ull, 0x0203040506070889ull}}) {
        SCOPED_TRACE(c.at);
        const uint8_t* p = src + c.at;
        EXPECT_EQ(bytes::load64le(p), c.le64);
        EXPECT_EQ(bytes::load64be(p), c.be64);
        EXPECT_EQ(bytes::load32le(p), uint32_t(c.le64));
        EXPECT_EQ(bytes::load32be(p), uint32_t(c.be64 >> 32));
        EXPECT_EQ(bytes::load16le(p), uint16_t(c.le64));
        EXPECT_EQ(bytes::load16be(p), uint16_t(c.be64 >> 48));
        uint8_t out[9] = {};
        bytes::store64le(out + 1, c.le64);
        EXPECT_EQ(0, std::memcmp(out + 1, p, 8));
        bytes::store64be(out + 1, c.be64);
        EXPECT_EQ(0, std::memcmp(out + 1, p, 8));
        bytes::store32be(out + 1, uint32_t(c.be64 >> 32));
        bytes::store16le(out + 5, uint16_t(c.le64 >> 32));
        EXPECT_EQ(0, std::memcmp(out + 1, p, 6));
        EXPECT_EQ(out[0], 0);  // nothing written before the place
    }
    std::vector<uint8_t> v;
    bytes::append16le(v, 0xBEEF);
    bytes::append32le(v, 0x01020304);
    EXPECT_EQ(v, (std::vector<uint8_t>{0xEF, 0xBE, 0x04, 0x03, 0x02, 0x01}));
}

TEST(ByteReader, ReadsInItsOrderAndNeverPastTheEnd) {
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7};
    bytes::ByteReader le(data, sizeof data);
    EXPECT_EQ(le.u16(), 0x0201);
    EXPECT_EQ(le.u32(), 0x06050403u);
    EXPECT_TRUE(le.ok());
    EXPECT_EQ(le.remaining(), 1u);
    EXPECT_EQ(le.u16(), 0);  // one byte left: the read fails whole and reads as zero
    EXPECT_FALSE(le.ok());
    EXPECT_EQ(le.remaining(), 0u);

    bytes::ByteReader be(data, sizeof data, bytes::Endian::big);
    EXPECT_EQ(be.u16(), 0x0102);
    EXPECT_EQ(be.s32(), 0x03040506);
    uint8_t two[2] = {9, 9};
    EXPECT_FALSE(be.read(two, 2));
    EXPECT_EQ(two[0], 0);
    EXPECT_EQ(two[1], 0);

    bytes::ByteReader r(data, sizeof data);
    EXPECT_TRUE(r.seek(7));
    EXPECT_TRUE(r.ok());
    EXPECT_FALSE(r.seek(8));
    EXPECT_FALSE(r.ok());
    bytes::ByteReader s(data, sizeof data);
    EXPECT_FALSE(s.skip(SIZE_MAX));  // a huge count cannot wrap the position
    EXPECT_EQ(s.take(1), nullptr);
    EXPECT_FALSE(s.ok());
}

// Reads the same sequence of (width, value) fields from a stream written in each bit order, in
// spans short enough to take the byte-at-a-time path and long enough for the eight-byte one.
std::vector<uint8_t> pack(const std::vector<std::pair<uint32_t, uint32_t>>& fields, bool msb) {
    std::vector<uint8_t> out;
    uint64_t bit = 0;
    for (auto [n, v] : fields)
        for (uint32_t i = 0; i < n; ++i, ++bit) {
            if (bit / 8 >= out.size()) out.push_back(0);
            uint32_t b = msb ? (v >> (n - 1 - i)) & 1 : (v >> i) & 1;
            if (b) out[bit / 8] |= uint8_t(msb ? 0x80 >> (bit & 7) : 1 << (bit & 7));
        }
    return out;
}

TEST(BitReader, BothOrdersReadWhatWasPackedAndCountAnOverrun) {
    std::vector<std::pair<uint32_t, uint32_t>> fields;
    uint32_t s = 7;
    for (int i = 0; i < 200; ++i) {
        s = s * 1103515245u + 12345u;
        uint32_t n = s % 33;  // 0 to 32 bits
        uint32_t v = n == 32 ? s ^ 0xA5A5A5A5u : (s >> 3) & ((uint32_t(1) << n) - 1);
        fields.push_back({n, v});
    }
    for (size_t count : {size_t(3), size_t(11), fields.size()}) {
        std::vector<std::pair<uint32_t, uint32_t>> part(fields.begin(), fields.begin() + long(count));
        uint64_t total = 0;
        for (auto f : part) total += f.first;
        SCOPED_TRACE(count);
        std::vector<uint8_t> lsbData = pack(part, false), msbData = pack(part, true);
        bytes::BitReaderLsb lsb(lsbData.data(), lsbData.size());
        bytes::BitReaderMsb msb(msbData.data(), msbData.size());
        for (auto [n, v] : part) {
            EXPECT_EQ(lsb.get(n), v) << n;
            EXPECT_EQ(msb.get(n), v) << n;
        }
        EXPECT_EQ(lsb.position(), total);
        EXPECT_EQ(msb.position(), total);
        EXPECT_FALSE(lsb.overrun());
        EXPECT_FALSE(msb.overrun());
        // The padding bits of the last byte are zero; one bit more is an overrun, and it reads 0.
        uint32_t pad = uint32_t(lsbData.size() * 8 - total);
        EXPECT_EQ(lsb.get(pad), 0u);
        EXPECT_EQ(msb.get(pad), 0u);
        EXPECT_FALSE(lsb.overrun());
        EXPECT_EQ(lsb.bit(), 0u);
        EXPECT_EQ(msb.get(32), 0u);
        EXPECT_TRUE(lsb.overrun());
        EXPECT_TRUE(msb.overrun());
    }
}

TEST(BitReader, LoadedPeeksAlignmentAndAnEmptySpan) {
    const uint8_t data[] = {0xB5, 0x0F, 0xFF, 0x01, 0x80, 0x00, 0x00, 0x00, 0x00, 0x7E};
    bytes::BitReaderLsb r(data, sizeof data);
    r.ensure(33);
    EXPECT_GE(r.count, 33u);
    EXPECT_EQ(r.peekLoaded(4), 0x5u);
    r.skipLoaded(4);
    EXPECT_EQ(r.peekLoaded(8), 0xFBu);  // high half of 0xB5, low half of 0x0F
    r.alignToByte();
    EXPECT_EQ(r.position(), 8u);
    EXPECT_EQ(r.get(16), 0xFF0Fu);
    bytes::BitReaderMsb m(data, sizeof data);
    EXPECT_EQ(m.get(3), 0x5u);  // 101
    m.alignToByte();
    EXPECT_EQ(m.get(12), 0x0FFu);
    EXPECT_EQ(m.peek(0), 0u);

    bytes::BitReaderLsb none(nullptr, 0);
    EXPECT_EQ(none.get(5), 0u);
    EXPECT_TRUE(none.overrun());
}

}  // namespace
