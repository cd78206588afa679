// Huffman decoding tables and the reader of entropy-coded bytes.
#include <cstring>

#include "kroutil/images/jpeg/jpeg_internal.h"

namespace torvex::jpeg {

const uint8_t kNaturalOrder[64 + 16] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13,
    6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31,
    39, 46, 53, 60, 61, 54, 47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63};

bool buildHuffDecodeTable(HuffDecodeTable& t, const uint8_t counts[16], const uint8_t* values) {
    int total = 0;
    for (int i = 0; i < 16; ++i) total += counts[i];
    if (total > 256) return false;
    std::memset(t.lookup, 0, sizeof t.lookup);
    std::memset(t.fast, 0, sizeof t.fast);
    std::memset(t.values, 0, sizeof t.values);
    std::memcpy(t.values, values, size_t(total));
    int32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        int n = counts[len - 1];
        t.valoffset[len] = k - code;
        if (n == 0) {
            t.maxcode[len] = -1;
        } else {
            for (int i = 0; i < n; ++i, ++k, ++code) {
                // Codes of this length must fit in len bits; more would overlap longer codes.
                if (code >= (1 << len)) return false;
                if (len <= kLookupBits) {
                    int shift = kLookupBits - len;
                    uint16_t entry = uint16_t(t.values[k] << 8 | len);
                    for (int j = 0; j < (1 << shift); ++j) t.lookup[(code << shift) | j] = entry;
                    const int size = t.values[k] & 15, run = t.values[k] >> 4;
                    if (size && len + size <= kLookupBits) {
                        for (int j = 0; j < (1 << shift); ++j) {
                            uint32_t extra = uint32_t(j >> (shift - size)) & ((1u << size) - 1);
                            uint32_t value = uint32_t(extendValue(extra, size));
                            t.fast[(code << shift) | j] = int32_t(value << 16 | uint32_t(run) << 8 | uint32_t(len + size));
                        }
                    }
                }
            }
            t.maxcode[len] = code - 1;
        }
        code <<= 1;
    }
    t.maxcode[0] = -1;
    t.maxcode[17] = 0x7FFFFFFF;
    t.defined = true;
    return true;
}

void EntropyReader::refillSlow() {
    while (bits <= 56) {
        if (atMarker || p >= end) {
            atMarker = true;
            pad += 64 - bits;
            bits = 64;
            return;
        }
        uint32_t b = *p;
        if (b == 0xFF) {
            // Fill bytes may precede a marker; 0xFF 0x00 is a data byte 0xFF.
            const uint8_t* q = p + 1;
            while (q < end && *q == 0xFF) ++q;
            if (q < end && *q == 0x00) {
                p = q + 1;
            } else {
                p = q - 1;  // at the 0xFF that starts the marker
                atMarker = true;
                continue;
            }
        } else {
            ++p;
        }
        acc |= uint64_t(b) << (56 - bits);
        bits += 8;
    }
}

}  // namespace torvex::jpeg
