// The strip codings of TIFF files over memory, below the file-level entry points of tiff.cpp:
// PackBits and LZW (tiff_lzw.cpp), the fax codings (tiff_fax.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kroimg {

// How a strip decoder ended. `produced` bytes of the output are valid in every case.
enum class StripStatus {
    ok,         // the output was filled
    truncated,  // the data ran out first
    damaged,    // a code that cannot be decoded
};
struct StripResult {
    StripStatus status = StripStatus::ok;
    size_t produced = 0;
};

// ---- PackBits ------------------------------------------------------------------------------------

StripResult unpackBits(const uint8_t* src, size_t size, uint8_t* out, size_t outSize);
// Packs one row and appends it (rows are packed one by one, so no run crosses a row).
void packBitsRow(const uint8_t* src, size_t size, std::vector<uint8_t>& out);

// ---- LZW (codes most significant bit first, widths growing one code early) ----------------------

// Decodes until the output is full, the end code or the end of the data. Data written with the
// old least-significant-bit-first coding are reported as damaged.
StripResult lzwDecode(const uint8_t* src, size_t size, uint8_t* out, size_t outSize);
// A clear code first, the end code last, and a clear code whenever the table fills.
void lzwEncode(const uint8_t* src, size_t size, std::vector<uint8_t>& out);

// ---- fax codings -----------------------------------------------------------------------------------

enum class FaxCoding {
    modifiedHuffman,  // one-dimensional, every row starting on a byte
    group3,           // one-dimensional, or two-dimensional with a tag bit after each end-of-line
    group4,           // two-dimensional throughout, no end-of-line codes
};

// Decodes up to `rows` rows of `width` pixels into out (rowBytes = (width + 7) / 8 per row, black
// pixels as 1 bits). status ok when all rows came; produced counts whole bytes of the rows done.
StripResult faxDecode(const uint8_t* src, size_t size, FaxCoding coding, bool twoDimensional, uint32_t width,
                      uint32_t rows, uint8_t* out);
// Encodes rows of (width + 7) / 8 bytes (black as 1 bits) and appends them: modified Huffman rows
// each padded to a byte, Group 3 one-dimensional rows each after an end-of-line code, Group 4
// with the end-of-block code last.
void faxEncode(FaxCoding coding, const uint8_t* rows, uint32_t width, uint32_t rowCount, std::vector<uint8_t>& out);

// Reverses the bit order of every byte (fill order 2).
void reverseBits(uint8_t* data, size_t size);

}  // namespace kroimg
