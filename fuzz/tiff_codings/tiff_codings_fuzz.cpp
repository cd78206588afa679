// The TIFF strip decoders on raw coded data, past the directory checks that keep most mutated
// files from reaching them: byte 0 picks the coding (0 PackBits, 1 LZW, 2 modified Huffman,
// 3 Group 3 one-dimensional, 4 Group 3 two-dimensional, 5 Group 4), bytes 1-2 the row width
// (fax) and byte 3 the row count; the rest is the strip. Decoded fax rows are coded again and
// must decode to the same rows.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kroutil/images/tiff_codec.h"

using namespace kroimg;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int coding = data[0] % 6;
    const uint32_t width = 1 + (uint32_t(data[1]) | uint32_t(data[2]) << 8) % 4000;
    const uint32_t rows = 1 + data[3];
    const uint8_t* strip = data + 4;
    const size_t n = size - 4;
    const size_t rowBytes = (width + 7) / 8;
    std::vector<uint8_t> out(rowBytes * rows);
    if (coding == 0) {
        unpackBits(strip, n, out.data(), out.size());
        return 0;
    }
    if (coding == 1) {
        lzwDecode(strip, n, out.data(), out.size());
        return 0;
    }
    static const FaxCoding codings[] = {FaxCoding::modifiedHuffman, FaxCoding::group3, FaxCoding::group3, FaxCoding::group4};
    const FaxCoding fax = codings[coding - 2];
    const StripResult r = faxDecode(strip, n, fax, coding == 4, width, rows, out.data());
    const uint32_t done = uint32_t(r.produced / rowBytes);
    if (done == 0 || coding == 4) return 0;  // the encoder writes no two-dimensional Group 3
    std::vector<uint8_t> again;
    faxEncode(fax, out.data(), width, done, again);
    std::vector<uint8_t> back(rowBytes * done);
    const StripResult b = faxDecode(again.data(), again.size(), fax, false, width, done, back.data());
    if (b.status != StripStatus::ok || std::memcmp(back.data(), out.data(), back.size()) != 0) std::abort();
    return 0;
}
