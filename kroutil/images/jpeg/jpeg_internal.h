// The JPEG codec's stages and the records they share.
//
// markers.cpp walks the stream and fills the frame and scan records; entropy.cpp holds the
// Huffman tables, the bit reader and the sequential and progressive block decoders; transform.cpp
// the integer inverse and forward 8x8 transforms; colour.cpp upsampling and the colour
// conversions; decoder.cpp drives a whole load into a caller's rows; writer.cpp encodes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvex::jpeg {

// Result codes, the values the image interface gives them.
enum : int32_t {
    kOk = 0,
    kErrArea = -1,
    kErrWrite = -3,
    kErrOpen = -4,
    kErrCreate = -10,
    kErrMemory = -14,
    kErrDepth = -26,
    kErrBadJpeg = -43,
    kErrBadSource = -52,
    kErrTruncated = -62,
    kErrTooLarge = -73,
};

// Natural (row-major) position of each zig-zag index; the 16 entries past 63 absorb a run that a
// damaged stream pushes beyond the block end, so that no decoder needs a test per coefficient.
extern const uint8_t kNaturalOrder[64 + 16];

// ---------------------------------------------------------------------------------------------
// Huffman decoding

constexpr int kLookupBits = 9;

struct HuffDecodeTable {
    bool defined = false;
    // Indexed by the next kLookupBits bits: code length in the low byte (0: longer code), symbol
    // in the high byte.
    uint16_t lookup[1 << kLookupBits];
    // For a code and its magnitude bits that fit in kLookupBits together: the value in the top 16
    // bits, the zero run in bits 8..11, the bits used in the low byte; 0 otherwise.
    int32_t fast[1 << kLookupBits];
    int32_t maxcode[18];   // largest code of each length, -1 when there is none; [17] a sentinel
    int32_t valoffset[17]; // symbol index of a code = code + valoffset[length]
    uint8_t values[256];
};

// Builds a table from the 16 code counts and the symbols; false for counts that over-fill the
// code space or name more than 256 symbols.
bool buildHuffDecodeTable(HuffDecodeTable& t, const uint8_t counts[16], const uint8_t* values);

// Bits of entropy-coded data, most significant first. The general bit readers of bytes/ cannot
// serve here: this data drops the 0x00 after every 0xFF and ends at the first real marker, so
// the refill has to look at every byte it loads. Past the end (a marker or the end of the
// buffer) zero bits are supplied and counted: overran() tells a decoder that it used them.
struct EntropyReader {
    const uint8_t* p = nullptr;    // next byte to load
    const uint8_t* end = nullptr;  // end of the stream
    uint64_t acc = 0;              // unread bits, the next in bit 63
    int32_t bits = 0;              // valid bits in acc
    int32_t pad = 0;               // how many of them (the last ones) are zero padding
    bool atMarker = false;         // loading stopped at a marker (or the end)

    void start(const uint8_t* from, const uint8_t* to) {
        p = from;
        end = to;
        acc = 0;
        bits = pad = 0;
        atMarker = false;
    }
    void refillSlow();
    inline void refill() {
        if (bits > 56) return;
        if (!atMarker && end - p >= 8) {
            // Eight bytes at once when none of the bytes taken is 0xFF.
            uint64_t w = uint64_t(p[0]) << 56 | uint64_t(p[1]) << 48 | uint64_t(p[2]) << 40 | uint64_t(p[3]) << 32 |
                         uint64_t(p[4]) << 24 | uint64_t(p[5]) << 16 | uint64_t(p[6]) << 8 | uint64_t(p[7]);
            int n = (64 - bits) >> 3;
            uint64_t taken = w & (~uint64_t(0) << (64 - 8 * n));
            uint64_t inv = ~taken;
            if (((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0) {
                acc |= taken >> bits;
                bits += 8 * n;
                p += n;
                return;
            }
        }
        refillSlow();
    }
    inline uint32_t peek(int n) const { return uint32_t(acc >> (64 - n)); }  // 1 <= n <= 32
    inline void skip(int n) {
        acc <<= n;
        bits -= n;
    }
    inline uint32_t get(int n) {  // 0 <= n <= 16, after refill
        if (n == 0) return 0;
        uint32_t v = peek(n);
        skip(n);
        return v;
    }
    bool overran() const { return bits < pad; }
    // The first unread byte position in the stream, for finding the marker after a scan.
    const uint8_t* position() const { return p; }
    // Drops what is buffered (at a restart: the rest of the byte and any prefetched bytes).
    void reset(const uint8_t* from) { start(from, end); }
};

// Decodes one Huffman symbol; -1 for a code longer than 16 bits.
inline int decodeSymbol(EntropyReader& br, const HuffDecodeTable& t) {
    br.refill();
    uint32_t e = t.lookup[br.peek(kLookupBits)];
    if (e & 0xFF) {
        br.skip(int(e & 0xFF));
        return int(e >> 8);
    }
    uint32_t look = br.peek(16);
    int len = kLookupBits + 1;
    while (len <= 16 && int32_t(look >> (16 - len)) > t.maxcode[len]) ++len;
    if (len > 16) return -1;
    int32_t code = int32_t(look >> (16 - len));
    br.skip(len);
    return t.values[(code + t.valoffset[len]) & 0xFF];
}

// The value of an s-bit magnitude category (s 0..15) read as the standard codes it.
inline int32_t extendValue(uint32_t v, int s) {
    return (s == 0) ? 0 : (v < (1u << (s - 1)) ? int32_t(v) - int32_t((1u << s) - 1) : int32_t(v));
}

// ---------------------------------------------------------------------------------------------
// Frame, components and scans

struct Component {
    int id = 0;
    int h = 1, v = 1;  // sampling factors
    int tq = 0;        // quantisation table
    int td = 0, ta = 0;
    int32_t dcPred = 0;
    // Blocks of this component that carry picture: the grid of a scan of this component alone.
    int blocksW = 0, blocksH = 0;
    // Blocks kept per row and rows of blocks: whole MCUs (mcusX * h by mcusY * v).
    int bufW = 0, bufH = 0;
    int16_t* coefs = nullptr;  // bufW * bufH blocks of 64, natural order, multi-scan files only
    uint16_t quant[64];        // latched at the first scan
    bool seen = false;         // named by a scan already (multi-scan sequential files)
};

// The header record of the interface, field for field.
struct HeaderInfo {
    int32_t frameType = -1;
    int32_t width = 0;
    int32_t height = 0;
    int32_t components = 0;
    int32_t precision = 0;
    int32_t sampling[4] = {0, 0, 0, 0};
    int32_t bitsPerPixel = 0;
};

// The working state of one load: the tables, the frame, the current scan and the input.
struct Decoder {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;  // next byte of the marker layer

    HeaderInfo info;
    bool sawFrame = false;
    bool secondFrame = false;  // a second start-of-frame: inconsistent for decoding
    bool noTransform = false;  // APP14 says: red, green, blue as stored
    int ncomp = 0;
    Component comp[4];
    uint16_t qt[4][64];
    bool qtDefined[4] = {false, false, false, false};
    HuffDecodeTable dcTab[4];
    HuffDecodeTable acTab[4];
    int32_t restartInterval = 0;

    int hmax = 1, vmax = 1, mcusX = 0, mcusY = 0;

    // The current scan.
    int scanN = 0;
    int scanComp[4] = {0, 0, 0, 0};  // indices into comp
    int ss = 0, se = 63, ah = 0, al = 0;
    int32_t eobrun = 0;
    EntropyReader br;
};

// The marker layer. nextMarker skips bytes up to the next marker and returns its code (-1 at the
// end of the data). readHeaders starts at the beginning and stops after the first start-of-scan
// marker code; readTablesToScan goes on between scans and stops after the next start-of-scan
// (0), at the end-of-image marker or the end of the data (1). readScanHeader reads the segment.
int nextMarker(Decoder& d);
int32_t readHeaders(Decoder& d);
int32_t readTablesToScan(Decoder& d, int* ended);
int32_t readScanHeader(Decoder& d);

// ---------------------------------------------------------------------------------------------
// Transforms

// The range table: index = (transform result) AND 1023, value = the result plus 128 limited to
// 0..255, with the wrap of an out-of-range result kept.
extern const uint8_t kRangeLimit[1024];

// Inverse transform of one block of dequantised coefficients (natural order) into 8x8 samples.
// maxAbs bounds the coefficients' magnitudes; above 1024 the products are computed in 64 bits.
void idctBlock(const int32_t* in, uint8_t* out, ptrdiff_t stride, uint32_t maxAbs);
// The same through the plain scalar code only, for the tests that compare paths.
void idctBlockScalar(const int32_t* in, uint8_t* out, ptrdiff_t stride, uint32_t maxAbs);
// Forward transform of 8x8 samples (minus 128 already) in place: eight times the coefficients.
void fdctBlock(int32_t* data);

// ---------------------------------------------------------------------------------------------
// Colour

// Y, Cb, Cr rows of `count` samples to blue, green, red pixels.
void yccToBgrRow(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out, int count);
void yccToBgrRowScalar(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out, int count);
// Red, green, blue rows to blue, green, red pixels.
void rgbToBgrRow(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* out, int count);
// Repeats every sample `factor` times: count input samples, count * factor outputs.
void replicateRow(const uint8_t* in, uint8_t* out, int count, int factor);

// Processor features the run-time paths use (queried once).
bool cpuHasAvx2();
// Tests force the scalar paths with this (false: every path may be used).
extern bool gForceScalar;

// ---------------------------------------------------------------------------------------------
// Whole loads

// Where decoded pixels go: row r of the picture (r < height) starts at first + r * stride;
// `width` columns are stored. channels 1 (grey) or 3 (blue, green, red).
struct JpegOutput {
    uint8_t* first = nullptr;
    ptrdiff_t stride = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;
};

// Reads the headers up to the first scan: 0 or kErrBadJpeg.
int32_t readHeaderInfo(const uint8_t* data, size_t size, HeaderInfo* info);

struct LoadOptions {
    // Keeps the three samples as they are stored when the file says it holds red, green, blue.
    bool honourNoTransform = true;
    // Never converts from YCbCr: the three samples go out as they are stored (first sample in
    // the lowest byte: blue's place).
    bool raw = false;
};

// Checks the frame and reports what an image needs: 0, kErrBadJpeg, kErrArea.
int32_t probeFrame(const uint8_t* data, size_t size, HeaderInfo* info);
// Decodes into out (its channels must fit the file: 1 for one component, 3 otherwise).
int32_t decodeJpeg(const uint8_t* data, size_t size, const JpegOutput& out, const LoadOptions& opts);

// ---------------------------------------------------------------------------------------------
// Writing

// Where the writer's bytes go; returns false when the bytes could not all be written.
struct ByteSink {
    void* ctx = nullptr;
    bool (*write)(void* ctx, const uint8_t* data, size_t n) = nullptr;
};

// The picture to encode: row r (top first) starts at first + r * stride; channels 1 (grey
// levels, or palette indices when palette is set: 4-byte blue, green, red, 0 entries) or 3
// (blue, green, red).
struct JpegInput {
    const uint8_t* first = nullptr;
    ptrdiff_t stride = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;
    const uint8_t* palette = nullptr;
    int32_t colors = 0;
};

int32_t encodeJpeg(const JpegInput& in, int32_t quality, ByteSink& sink);
// The writer's rounded quotient (a + divisor / 2) / divisor, as it computes it.
uint32_t quantiseMagnitude(uint32_t a, uint32_t divisor);

}  // namespace torvex::jpeg
