// Drives the chunk walk and the IDAT chain behind a valid signature and IHDR. The first four
// bytes choose the layout, interlacing and a small size; the rest is a list of chunk records
// whose CRCs are made right unless the record asks for a bad one, so that the fuzzer reaches
// inflate, the filters, Adam7 and the row conversions instead of stopping at the first CRC.
//
// Records: kind byte, length byte, data. kind & 7: 0-3 IDAT with the data as they are, 4 IDAT
// holding the data deflated (a valid stream of arbitrary rows), 5 PLTE, 6 an ancillary chunk,
// 7 the bytes copied raw. kind & 0x80: a wrong CRC. IEND is appended.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bytes/byte_order.h"
#include "kroutil/images/png_codec.h"

namespace {

constexpr uint8_t kPairs[15][2] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                                   {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};

void chunk(std::vector<uint8_t>& f, const char* type, const uint8_t* data, size_t n, bool badCrc) {
    uint8_t head[8];
    bytes::store32be(head, uint32_t(n));
    std::memcpy(head + 4, type, 4);
    f.insert(f.end(), head, head + 8);
    f.insert(f.end(), data, data + n);
    uLong crc = crc32(0, head + 4, 4);
    if (n) crc = crc32(crc, data, uInt(n));
    uint8_t tail[4];
    bytes::store32be(tail, uint32_t(crc) ^ (badCrc ? 1u : 0u));
    f.insert(f.end(), tail, tail + 4);
}

uint64_t sink(uint64_t acc, uint32_t row, const uint8_t* p) { return acc + row + p[0]; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t* pair = kPairs[data[0] % 15];
    std::vector<uint8_t> f = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    uint8_t ihdr[13] = {};
    bytes::store32be(ihdr, 1u + data[2] % 64);
    bytes::store32be(ihdr + 4, 1u + data[3] % 64);
    ihdr[8] = pair[1];
    ihdr[9] = pair[0];
    ihdr[12] = data[1] & 1;
    chunk(f, "IHDR", ihdr, 13, false);
    for (size_t pos = 4; pos + 2 <= size;) {
        const uint8_t kind = data[pos];
        const size_t n = std::min<size_t>(data[pos + 1], size - pos - 2);
        const uint8_t* d = data + pos + 2;
        const bool bad = kind & 0x80;
        switch (kind & 7) {
        case 4: {
            uLongf zn = compressBound(uLong(n)) + 16;
            std::vector<uint8_t> z(zn);
            compress2(z.data(), &zn, d, uLong(n), 1 + kind % 9);
            chunk(f, "IDAT", z.data(), zn, bad);
            break;
        }
        case 5: chunk(f, "PLTE", d, n, bad); break;
        case 6: chunk(f, "tEXt", d, n, bad); break;
        case 7: f.insert(f.end(), d, d + n); break;
        default: chunk(f, "IDAT", d, n, bad); break;
        }
        pos += 2 + n;
    }
    chunk(f, "IEND", nullptr, 0, false);

    kroimg::PngStructure s;
    if (kroimg::pngReadStructure(f.data(), f.size(), &s) != kroimg::kPngOk) return 0;
    static uint64_t acc = 0;
    kroimg::pngDecodeRows(f.data(), f.size(), s, uint32_t(data[1] >> 1) % 70, [](void* c, uint32_t row, const uint8_t* p) {
        *static_cast<uint64_t*>(c) = sink(*static_cast<uint64_t*>(c), row, p);
    }, &acc);
    return 0;
}
