// The fax codings of bilevel TIFF strips: modified Huffman rows, Group 3 one- and
// two-dimensional rows after end-of-line codes, and Group 4. Rows are handled as lists of the
// positions where the colour changes (white first); black pixels are 1 bits.
#include <algorithm>
#include <array>
#include <cstring>

#include "bytes/bit_reader.h"
#include "kroutil/images/tiff_codec.h"

namespace kroimg {

namespace {

struct Code {
    uint16_t bits;
    uint8_t length;
};

// Terminating codes, runs 0 to 63.
constexpr Code kWhiteTerm[64] = {
    {0b00110101, 8}, {0b000111, 6},   {0b0111, 4},     {0b1000, 4},     {0b1011, 4},     {0b1100, 4},
    {0b1110, 4},     {0b1111, 4},     {0b10011, 5},    {0b10100, 5},    {0b00111, 5},    {0b01000, 5},
    {0b001000, 6},   {0b000011, 6},   {0b110100, 6},   {0b110101, 6},   {0b101010, 6},   {0b101011, 6},
    {0b0100111, 7},  {0b0001100, 7},  {0b0001000, 7},  {0b0010111, 7},  {0b0000011, 7},  {0b0000100, 7},
    {0b0101000, 7},  {0b0101011, 7},  {0b0010011, 7},  {0b0100100, 7},  {0b0011000, 7},  {0b00000010, 8},
    {0b00000011, 8}, {0b00011010, 8}, {0b00011011, 8}, {0b00010010, 8}, {0b00010011, 8}, {0b00010100, 8},
    {0b00010101, 8}, {0b00010110, 8}, {0b00010111, 8}, {0b00101000, 8}, {0b00101001, 8}, {0b00101010, 8},
    {0b00101011, 8}, {0b00101100, 8}, {0b00101101, 8}, {0b00000100, 8}, {0b00000101, 8}, {0b00001010, 8},
    {0b00001011, 8}, {0b01010010, 8}, {0b01010011, 8}, {0b01010100, 8}, {0b01010101, 8}, {0b00100100, 8},
    {0b00100101, 8}, {0b01011000, 8}, {0b01011001, 8}, {0b01011010, 8}, {0b01011011, 8}, {0b01001010, 8},
    {0b01001011, 8}, {0b00110010, 8}, {0b00110011, 8}, {0b00110100, 8},
};
constexpr Code kBlackTerm[64] = {
    {0b0000110111, 10},   {0b010, 3},           {0b11, 2},            {0b10, 2},            {0b011, 3},
    {0b0011, 4},          {0b0010, 4},          {0b00011, 5},         {0b000101, 6},        {0b000100, 6},
    {0b0000100, 7},       {0b0000101, 7},       {0b0000111, 7},       {0b00000100, 8},      {0b00000111, 8},
    {0b000011000, 9},     {0b0000010111, 10},   {0b0000011000, 10},   {0b0000001000, 10},   {0b00001100111, 11},
    {0b00001101000, 11},  {0b00001101100, 11},  {0b00000110111, 11},  {0b00000101000, 11},  {0b00000010111, 11},
    {0b00000011000, 11},  {0b000011001010, 12}, {0b000011001011, 12}, {0b000011001100, 12}, {0b000011001101, 12},
    {0b000001101000, 12}, {0b000001101001, 12}, {0b000001101010, 12}, {0b000001101011, 12}, {0b000011010010, 12},
    {0b000011010011, 12}, {0b000011010100, 12}, {0b000011010101, 12}, {0b000011010110, 12}, {0b000011010111, 12},
    {0b000001101100, 12}, {0b000001101101, 12}, {0b000011011010, 12}, {0b000011011011, 12}, {0b000001010100, 12},
    {0b000001010101, 12}, {0b000001010110, 12}, {0b000001010111, 12}, {0b000001100100, 12}, {0b000001100101, 12},
    {0b000001010010, 12}, {0b000001010011, 12}, {0b000000100100, 12}, {0b000000110111, 12}, {0b000000111000, 12},
    {0b000000100111, 12}, {0b000000101000, 12}, {0b000001011000, 12}, {0b000001011001, 12}, {0b000000101011, 12},
    {0b000000101100, 12}, {0b000001011010, 12}, {0b000001100110, 12}, {0b000001100111, 12},
};
// Make-up codes, runs 64 to 1728 in steps of 64.
constexpr Code kWhiteMakeup[27] = {
    {0b11011, 5},      {0b10010, 5},      {0b010111, 6},     {0b0110111, 7},    {0b00110110, 8},   {0b00110111, 8},
    {0b01100100, 8},   {0b01100101, 8},   {0b01101000, 8},   {0b01100111, 8},   {0b011001100, 9},  {0b011001101, 9},
    {0b011010010, 9},  {0b011010011, 9},  {0b011010100, 9},  {0b011010101, 9},  {0b011010110, 9},  {0b011010111, 9},
    {0b011011000, 9},  {0b011011001, 9},  {0b011011010, 9},  {0b011011011, 9},  {0b010011000, 9},  {0b010011001, 9},
    {0b010011010, 9},  {0b011000, 6},     {0b010011011, 9},
};
constexpr Code kBlackMakeup[27] = {
    {0b0000001111, 10},    {0b000011001000, 12},  {0b000011001001, 12},  {0b000001011011, 12},  {0b000000110011, 12},
    {0b000000110100, 12},  {0b000000110101, 12},  {0b0000001101100, 13}, {0b0000001101101, 13}, {0b0000001001010, 13},
    {0b0000001001011, 13}, {0b0000001001100, 13}, {0b0000001001101, 13}, {0b0000001110010, 13}, {0b0000001110011, 13},
    {0b0000001110100, 13}, {0b0000001110101, 13}, {0b0000001110110, 13}, {0b0000001110111, 13}, {0b0000001010010, 13},
    {0b0000001010011, 13}, {0b0000001010100, 13}, {0b0000001010101, 13}, {0b0000001011010, 13}, {0b0000001011011, 13},
    {0b0000001100100, 13}, {0b0000001100101, 13},
};
// Make-up codes of both colours, runs 1792 to 2560 in steps of 64.
constexpr Code kSharedMakeup[13] = {
    {0b00000001000, 11},  {0b00000001100, 11},  {0b00000001101, 11},  {0b000000010010, 12}, {0b000000010011, 12},
    {0b000000010100, 12}, {0b000000010101, 12}, {0b000000010110, 12}, {0b000000010111, 12}, {0b000000011100, 12},
    {0b000000011101, 12}, {0b000000011110, 12}, {0b000000011111, 12},
};

constexpr uint32_t kRunBits = 13;  // the longest run code

// A run code looked up by its first 13 bits: the run and the code length (0: no such code).
struct RunEntry {
    uint16_t run;
    uint8_t length;
};
using RunTable = std::array<RunEntry, 1u << kRunBits>;

void addRunCode(RunTable& t, Code c, uint32_t run) {
    const uint32_t shift = kRunBits - c.length;
    const uint32_t first = uint32_t(c.bits) << shift;
    for (uint32_t i = 0; i < (1u << shift); ++i) t[first + i] = RunEntry{uint16_t(run), c.length};
}

RunTable makeRunTable(const Code* term, const Code* makeup) {
    RunTable t{};
    for (uint32_t r = 0; r < 64; ++r) addRunCode(t, term[r], r);
    for (uint32_t m = 0; m < 27; ++m) addRunCode(t, makeup[m], (m + 1) * 64);
    for (uint32_t m = 0; m < 13; ++m) addRunCode(t, kSharedMakeup[m], 1792 + m * 64);
    return t;
}

const RunTable& runTable(int colour) {
    static const RunTable white = makeRunTable(kWhiteTerm, kWhiteMakeup);
    static const RunTable black = makeRunTable(kBlackTerm, kBlackMakeup);
    return colour ? black : white;
}

// Two-dimensional modes by their first seven bits.
enum Mode : uint8_t { kBad, kPass, kHorizontal, kV0, kVR1, kVR2, kVR3, kVL1, kVL2, kVL3, kZeros };
struct ModeEntry {
    Mode mode;
    uint8_t length;
};
const std::array<ModeEntry, 128>& modeTable() {
    static const std::array<ModeEntry, 128> table = [] {
        std::array<ModeEntry, 128> t{};
        auto add = [&](uint32_t bits, uint8_t length, Mode m) {
            const uint32_t shift = 7 - length;
            for (uint32_t i = 0; i < (1u << shift); ++i) t[(bits << shift) + i] = ModeEntry{m, length};
        };
        add(0b1, 1, kV0);
        add(0b011, 3, kVR1);
        add(0b010, 3, kVL1);
        add(0b001, 3, kHorizontal);
        add(0b0001, 4, kPass);
        add(0b000011, 6, kVR2);
        add(0b000010, 6, kVL2);
        add(0b0000011, 7, kVR3);
        add(0b0000010, 7, kVL3);
        t[0] = ModeEntry{kZeros, 0};  // an end-of-line code, or damage
        return t;
    }();
    return table;
}

// Sets pixels [from, to) of a row to 1.
void setBits(uint8_t* row, uint32_t from, uint32_t to) {
    if (from >= to) return;
    uint32_t a = from >> 3;
    const uint32_t b = (to - 1) >> 3;
    const uint8_t headMask = uint8_t(0xFF >> (from & 7));
    const uint8_t tailMask = uint8_t(0xFF << (7 - ((to - 1) & 7)));
    if (a == b) {
        row[a] |= uint8_t(headMask & tailMask);
        return;
    }
    row[a++] |= headMask;
    if (b > a) std::memset(row + a, 0xFF, b - a);
    row[b] |= tailMask;
}

struct Decoder {
    bytes::BitReaderMsb bits;
    uint64_t totalBits;
    uint32_t width;
    std::vector<uint32_t> ref, cur;  // changes of the reference and the coding line, then sentinels

    bool exhausted() const { return bits.position() > totalBits; }

    // A run of one colour: make-up codes, then a terminating code. -1 for a bad code.
    int64_t run(int colour) {
        const RunTable& t = runTable(colour);
        int64_t total = 0;
        for (;;) {
            const RunEntry e = t[bits.peek(kRunBits)];
            if (e.length == 0 || exhausted()) return -1;
            bits.skip(e.length);
            total += e.run;
            if (e.run < 64) return total;
            if (total > int64_t(width) + 2560) return -1;
        }
    }

    // Skips fill bits and an end-of-line code at the start of a row: true when one was there.
    bool skipEndOfLine() {
        if (bits.peek(12) != 0 && bits.peek(12) != 1) return false;
        uint32_t zeros = 0;
        while (!exhausted() && bits.peek(1) == 0) {
            const uint32_t z = std::min<uint32_t>(32, uint32_t(std::countl_zero(bits.peek(32) | 1u)));
            bits.skip(z);
            zeros += z;
        }
        if (exhausted() || zeros < 11) return false;
        bits.skip(1);
        return true;
    }

    void finishLine() {
        cur.push_back(width);
        cur.push_back(width);
        cur.push_back(width);
        std::swap(ref, cur);
    }

    StripStatus oneDimensional() {
        cur.clear();
        uint32_t a0 = 0;
        int colour = 0;
        while (a0 < width) {
            const int64_t r = run(colour);
            if (r < 0) return exhausted() ? StripStatus::truncated : StripStatus::damaged;
            if (a0 + r > width) return StripStatus::damaged;
            a0 += uint32_t(r);
            cur.push_back(a0);
            colour ^= 1;
        }
        finishLine();
        return exhausted() ? StripStatus::truncated : StripStatus::ok;
    }

    StripStatus twoDimensional() {
        cur.clear();
        const auto& modes = modeTable();
        int64_t a0 = -1;  // the imaginary white pixel before the row
        int colour = 0;
        size_t first = 0;  // the first reference change right of a0
        while (a0 < int64_t(width)) {
            while (int64_t(ref[first]) <= a0) ++first;
            const size_t i = first + ((first & 1) != size_t(colour) ? 1 : 0);
            const uint32_t b1 = ref[i], b2 = ref[i + 1];
            const ModeEntry m = modes[bits.peek(7)];
            if (exhausted()) return StripStatus::truncated;
            bits.skip(m.length);
            const uint32_t start = a0 < 0 ? 0 : uint32_t(a0);
            switch (m.mode) {
                case kPass:
                    a0 = b2;
                    break;
                case kHorizontal: {
                    const int64_t r1 = run(colour);
                    const int64_t r2 = r1 < 0 ? -1 : run(colour ^ 1);
                    if (r2 < 0) return exhausted() ? StripStatus::truncated : StripStatus::damaged;
                    if (start + r1 + r2 > width) return StripStatus::damaged;
                    cur.push_back(uint32_t(start + r1));
                    cur.push_back(uint32_t(start + r1 + r2));
                    a0 = start + r1 + r2;
                    break;
                }
                case kV0:
                case kVR1:
                case kVR2:
                case kVR3:
                case kVL1:
                case kVL2:
                case kVL3: {
                    static constexpr int kOffsets[] = {0, 0, 0, 0, 1, 2, 3, -1, -2, -3};
                    const int64_t a1 = int64_t(b1) + kOffsets[m.mode];
                    if (a1 < int64_t(start) || a1 > int64_t(width)) return StripStatus::damaged;
                    cur.push_back(uint32_t(a1));
                    a0 = a1;
                    colour ^= 1;
                    break;
                }
                case kZeros:
                    // An end-of-line code inside the data ends it (the end of a Group 4 block).
                    return bits.peek(12) == 1 ? StripStatus::truncated : StripStatus::damaged;
                default:
                    return StripStatus::damaged;
            }
        }
        finishLine();
        return exhausted() ? StripStatus::truncated : StripStatus::ok;
    }
};

// Positions where the colour of a row of bits changes (white first), then three sentinels.
void rowChanges(const uint8_t* row, uint32_t width, std::vector<uint32_t>& out) {
    out.clear();
    uint32_t x = 0;
    int colour = 0;
    while (x < width) {
        // Skip whole bytes of the current colour.
        const uint8_t same = colour ? 0xFF : 0x00;
        if ((x & 7) == 0) {
            while (x + 8 <= width && row[x >> 3] == same) x += 8;
            if (x >= width) break;
        }
        const int bit = (row[x >> 3] >> (7 - (x & 7))) & 1;
        if (bit != colour) {
            out.push_back(x);
            colour ^= 1;
        }
        ++x;
    }
    out.push_back(width);
    out.push_back(width);
    out.push_back(width);
}

struct BitWriter {
    std::vector<uint8_t>& out;
    uint64_t acc = 0;
    uint32_t count = 0;
    void put(uint32_t bits, uint32_t length) {
        acc = acc << length | bits;
        count += length;
        while (count >= 8) {
            count -= 8;
            out.push_back(uint8_t(acc >> count));
        }
    }
    void put(Code c) { put(c.bits, c.length); }
    void align() {
        if (count) out.push_back(uint8_t(acc << (8 - count)));
        count = 0;
    }
    void putRun(int colour, uint32_t run) {
        while (run >= 2624) {
            put(kSharedMakeup[12]);
            run -= 2560;
        }
        if (run >= 64) {
            const uint32_t m = run / 64;
            put(m <= 27 ? (colour ? kBlackMakeup : kWhiteMakeup)[m - 1] : kSharedMakeup[m - 28]);
            run -= m * 64;
        }
        put((colour ? kBlackTerm : kWhiteTerm)[run]);
    }
};

void encodeOneDimensional(BitWriter& w, const std::vector<uint32_t>& changes) {
    uint32_t a0 = 0;
    int colour = 0;
    for (size_t i = 0;; ++i) {
        const uint32_t a1 = changes[i];
        w.putRun(colour, a1 - a0);
        const uint32_t width = changes.back();
        if (a1 >= width) break;
        a0 = a1;
        colour ^= 1;
    }
}

void encodeTwoDimensional(BitWriter& w, const std::vector<uint32_t>& ref, const std::vector<uint32_t>& cur,
                          uint32_t width) {
    int64_t a0 = -1;
    int colour = 0;
    size_t first = 0, ci = 0;
    while (a0 < int64_t(width)) {
        while (int64_t(cur[ci]) <= a0) ++ci;
        while (int64_t(ref[first]) <= a0) ++first;
        const size_t i = first + ((first & 1) != size_t(colour) ? 1 : 0);
        const uint32_t a1 = cur[ci], b1 = ref[i], b2 = ref[i + 1];
        const uint32_t start = a0 < 0 ? 0 : uint32_t(a0);
        if (b2 < a1) {
            w.put(0b0001, 4);
            a0 = b2;
        } else if (int64_t(a1) - int64_t(b1) >= -3 && int64_t(a1) - int64_t(b1) <= 3) {
            static constexpr Code kVertical[7] = {{0b0000010, 7}, {0b000010, 6}, {0b010, 3}, {0b1, 1},
                                                  {0b011, 3},     {0b000011, 6}, {0b0000011, 7}};
            w.put(kVertical[int64_t(a1) - int64_t(b1) + 3]);
            a0 = a1;
            colour ^= 1;
        } else {
            const uint32_t a2 = cur[ci + 1];
            w.put(0b001, 3);
            w.putRun(colour, a1 - start);
            w.putRun(colour ^ 1, a2 - a1);
            a0 = a2;
        }
    }
}

}  // namespace

StripResult faxDecode(const uint8_t* src, size_t size, FaxCoding coding, bool twoDimensional, uint32_t width,
                      uint32_t rows, uint8_t* out) {
    const size_t rowBytes = (size_t(width) + 7) / 8;
    Decoder d{bytes::BitReaderMsb(src, size), uint64_t(size) * 8, width, {}, {}};
    d.ref.assign(3, width);  // an all-white reference line
    d.cur.reserve(size_t(width) + 8);
    d.ref.reserve(size_t(width) + 8);
    for (uint32_t r = 0; r < rows; ++r) {
        StripStatus s;
        if (coding == FaxCoding::modifiedHuffman) {
            d.bits.alignToByte();
            s = d.oneDimensional();
        } else if (coding == FaxCoding::group4) {
            s = d.twoDimensional();
        } else {
            const bool endOfLine = d.skipEndOfLine();
            bool oneD = true;
            if (twoDimensional) {
                oneD = d.bits.get(1) == 1;
                (void)endOfLine;
            }
            s = oneD ? d.oneDimensional() : d.twoDimensional();
        }
        if (s != StripStatus::ok) return {s, size_t(r) * rowBytes};
        // The line just decoded is now the reference line.
        uint8_t* row = out + size_t(r) * rowBytes;
        std::memset(row, 0, rowBytes);
        const std::vector<uint32_t>& c = d.ref;
        const size_t n = c.size() - 3;
        for (size_t k = 0; k < n; k += 2) setBits(row, c[k], k + 1 < n ? c[k + 1] : width);
    }
    return {StripStatus::ok, size_t(rows) * rowBytes};
}

void faxEncode(FaxCoding coding, const uint8_t* rows, uint32_t width, uint32_t rowCount, std::vector<uint8_t>& out) {
    const size_t rowBytes = (size_t(width) + 7) / 8;
    BitWriter w{out};
    std::vector<uint32_t> ref(3, width), cur;
    for (uint32_t r = 0; r < rowCount; ++r) {
        rowChanges(rows + size_t(r) * rowBytes, width, cur);
        // The one-dimensional coder stops at the first sentinel.
        std::vector<uint32_t> changes(cur.begin(), cur.end() - 2);
        switch (coding) {
            case FaxCoding::modifiedHuffman:
                encodeOneDimensional(w, changes);
                w.align();
                break;
            case FaxCoding::group3:
                w.put(1, 12);  // end-of-line before every row
                encodeOneDimensional(w, changes);
                break;
            case FaxCoding::group4:
                encodeTwoDimensional(w, ref, cur, width);
                std::swap(ref, cur);
                break;
        }
    }
    if (coding == FaxCoding::group4) {
        w.put(1, 12);
        w.put(1, 12);
    }
    w.align();
}

}  // namespace kroimg
