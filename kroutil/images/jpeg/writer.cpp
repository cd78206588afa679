// The writer: baseline JFIF (extended sequential when a table needs 16-bit entries), 4:2:0 for
// colour, one component for grey, the standard Huffman tables.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "bytes/byte_order.h"
#include "kroutil/images/jpeg/jpeg_internal.h"

namespace torvex::jpeg {

namespace {

const uint8_t kLumaBase[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                               14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                               18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                               49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const uint8_t kChromaBase[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                 24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

const uint8_t kDcLumaBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const uint8_t kDcChromaBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const uint8_t kAcLumaBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const uint8_t kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71, 0x14,
    0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09,
    0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a,
    0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65,
    0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88,
    0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9,
    0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea,
    0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
const uint8_t kAcChromaBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const uint8_t kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22, 0x32,
    0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16,
    0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39,
    0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86,
    0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
    0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8,
    0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9,
    0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

struct HuffEncodeTable {
    uint16_t code[256];
    uint8_t size[256];
};

void buildEncodeTable(HuffEncodeTable& t, const uint8_t bits[16], const uint8_t* values) {
    std::memset(&t, 0, sizeof t);
    uint32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int i = 0; i < bits[len - 1]; ++i, ++k, ++code) {
            t.code[values[k]] = uint16_t(code);
            t.size[values[k]] = uint8_t(len);
        }
        code <<= 1;
    }
}

// The output: a 64 KB buffer written out when more than 65,519 bytes are pending, and the bit
// packer in front of it (0x00 after every 0xFF byte).
struct Output {
    ByteSink* sink = nullptr;
    uint8_t buf[65536 + 64];
    size_t n = 0;
    bool failed = false;
    uint64_t acc = 0;  // pending bits in the low `bits` bits
    int bits = 0;

    void flush() {
        if (n && !failed && !sink->write(sink->ctx, buf, n)) failed = true;
        n = 0;
    }
    void maybeFlush() {
        if (n > 65519) flush();
    }
    void bytes(const uint8_t* p, size_t len) {
        for (size_t i = 0; i < len; ++i) {
            buf[n++] = p[i];
            maybeFlush();
        }
    }
    void byte(uint8_t b) {
        buf[n++] = b;
        maybeFlush();
    }
    inline void put(uint32_t value, int size) {
        acc = (acc << size) | value;
        bits += size;
        if (bits >= 32) {
            bits -= 32;
            uint32_t w = uint32_t(acc >> bits);
            for (int s = 24; s >= 0; s -= 8) {
                uint8_t b = uint8_t(w >> s);
                buf[n++] = b;
                if (b == 0xFF) buf[n++] = 0;
            }
            maybeFlush();
        }
    }
    // Pads the last byte with 1 bits and writes out every whole byte.
    void finishBits() {
        int padBits = (8 - bits % 8) % 8;
        if (padBits) put((1u << padBits) - 1, padBits);
        while (bits >= 8) {
            bits -= 8;
            uint8_t b = uint8_t(acc >> bits);
            buf[n++] = b;
            if (b == 0xFF) buf[n++] = 0;
            maybeFlush();
        }
    }
};

void segmentHeader(Output& o, uint8_t marker, size_t length) {
    uint8_t h[4] = {0xFF, marker, uint8_t(length >> 8), uint8_t(length)};
    o.bytes(h, 4);
}

void writeDht(Output& o, int cls, int id, const uint8_t bits[16], const uint8_t* values, int count) {
    segmentHeader(o, 0xC4, size_t(2 + 1 + 16 + count));
    o.byte(uint8_t(cls << 4 | id));
    o.bytes(bits, 16);
    o.bytes(values, size_t(count));
}

inline int bitLength(uint32_t v) { return v ? 32 - __builtin_clz(v) : 0; }

// Division by a constant as a multiplication: (a + c) * r >> shift equals (a + d / 2) / d for
// every divisor the tables give (8 to 32760, and 32767) and every magnitude below 32768 (the
// tests check all of them), and costs a fraction of a division.
struct Reciprocal {
    uint32_t r = 0;
    uint32_t c = 0;
    int shift = 0;
};

Reciprocal makeReciprocal(uint32_t d) {
    Reciprocal q;
    int b = 31 - __builtin_clz(d);
    int r = 16 + b;
    uint64_t fq = (uint64_t(1) << r) / d, fr = (uint64_t(1) << r) % d;
    uint32_t c = d / 2;
    if (fr == 0) {
        fq >>= 1;
        --r;
    } else if (fr <= d / 2) {
        ++c;
    } else {
        ++fq;
    }
    q.r = uint32_t(fq);
    q.c = c;
    q.shift = r;
    return q;
}

struct BlockCoder {
    const Reciprocal* divisor;
    const HuffEncodeTable* dc;
    const HuffEncodeTable* ac;
    int32_t lastDc = 0;
};

// Forward transform, quantisation and coding of one block of samples (0..255, stride 'stride').
inline void encodeBlock(Output& o, BlockCoder& bc, const uint8_t* src, ptrdiff_t stride) {
    alignas(32) int32_t data[64];
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) data[r * 8 + c] = int32_t(src[r * stride + c]) - 128;
    fdctBlock(data);
    int32_t q[64];
    for (int k = 0; k < 64; ++k) {
        int32_t v = data[k];
        const Reciprocal& d = bc.divisor[k];
        uint32_t a = uint32_t(v < 0 ? -v : v);
        int32_t m = int32_t((uint64_t(a + d.c) * d.r) >> d.shift);
        q[k] = v < 0 ? -m : m;
    }
    int32_t diff = q[0] - bc.lastDc;
    bc.lastDc = q[0];
    int32_t mag = diff < 0 ? -diff : diff;
    int nb = bitLength(uint32_t(mag));
    o.put(bc.dc->code[nb], bc.dc->size[nb]);
    if (nb) o.put(uint32_t(diff < 0 ? diff - 1 : diff) & ((1u << nb) - 1), nb);
    int run = 0;
    for (int k = 1; k < 64; ++k) {
        int32_t v = q[kNaturalOrder[k]];
        if (v == 0) {
            ++run;
            continue;
        }
        while (run > 15) {
            o.put(bc.ac->code[0xF0], bc.ac->size[0xF0]);
            run -= 16;
        }
        int32_t m = v < 0 ? -v : v;
        int s = bitLength(uint32_t(m));
        int sym = run << 4 | s;
        o.put(bc.ac->code[sym], bc.ac->size[sym]);
        o.put(uint32_t(v < 0 ? v - 1 : v) & ((1u << s) - 1), s);
        run = 0;
    }
    if (run > 0) o.put(bc.ac->code[0], bc.ac->size[0]);
}

struct WriterTables {
    uint16_t written[2][64];  // natural order
    Reciprocal divisor[2][64];
    bool wide[2];
    HuffEncodeTable dc[2], ac[2];
};

void makeQuantTables(WriterTables& t, int32_t quality) {
    int32_t scale;
    if (quality <= 0)
        scale = 5000;
    else if (quality > 100)
        scale = 0;
    else if (quality >= 50)
        scale = 200 - 2 * quality;
    else
        scale = 5000 / quality;
    for (int n = 0; n < 2; ++n) {
        const uint8_t* base = n ? kChromaBase : kLumaBase;
        t.wide[n] = false;
        for (int k = 0; k < 64; ++k) {
            int32_t e = (scale * base[k] + 50) / 100;
            if (e <= 0) e = 1;
            if (e >= 4096) {
                t.written[n][k] = 4095;
                t.divisor[n][k] = makeReciprocal(32767);
            } else {
                t.written[n][k] = uint16_t(e);
                t.divisor[n][k] = makeReciprocal(uint32_t(8 * e));
            }
            if (t.written[n][k] >= 256) t.wide[n] = true;
        }
    }
}

}  // namespace

uint32_t quantiseMagnitude(uint32_t a, uint32_t divisor) {
    Reciprocal d = makeReciprocal(divisor);
    return uint32_t((uint64_t(a + d.c) * d.r) >> d.shift);
}

int32_t encodeJpeg(const JpegInput& in, int32_t quality, ByteSink& sink) {
    const int w = in.width, h = in.height;
    const bool grey = in.channels == 1 && !in.palette;
    const int ncomp = grey ? 1 : 3;
    std::unique_ptr<WriterTables> tables(new (std::nothrow) WriterTables);
    std::unique_ptr<Output> out(new (std::nothrow) Output);
    if (!tables || !out) return kErrMemory;
    WriterTables& t = *tables;
    Output& o = *out;
    o.sink = &sink;
    makeQuantTables(t, quality);
    const int ntables = grey ? 1 : 2;
    bool wide = t.wide[0] || (!grey && t.wide[1]);

    // Headers.
    static const uint8_t kSoiApp0[20] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F',
                                         0x00, 0x01, 0x02, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    o.bytes(kSoiApp0, sizeof kSoiApp0);
    for (int n = 0; n < ntables; ++n) {
        segmentHeader(o, 0xDB, t.wide[n] ? 2 + 1 + 128 : 2 + 1 + 64);
        o.byte(uint8_t((t.wide[n] ? 0x10 : 0) | n));
        for (int k = 0; k < 64; ++k) {
            uint16_t v = t.written[n][kNaturalOrder[k]];
            if (t.wide[n]) o.byte(uint8_t(v >> 8));
            o.byte(uint8_t(v));
        }
    }
    segmentHeader(o, wide ? 0xC1 : 0xC0, size_t(8 + 3 * ncomp));
    uint8_t sof[6] = {8, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w), uint8_t(ncomp)};
    o.bytes(sof, 6);
    for (int c = 0; c < ncomp; ++c) {
        uint8_t spec[3] = {uint8_t(c + 1), uint8_t(c == 0 && !grey ? 0x22 : 0x11), uint8_t(c == 0 ? 0 : 1)};
        o.bytes(spec, 3);
    }
    writeDht(o, 0, 0, kDcLumaBits, kDcValues, 12);
    writeDht(o, 1, 0, kAcLumaBits, kAcLumaValues, 162);
    if (!grey) {
        writeDht(o, 0, 1, kDcChromaBits, kDcValues, 12);
        writeDht(o, 1, 1, kAcChromaBits, kAcChromaValues, 162);
    }
    segmentHeader(o, 0xDA, size_t(6 + 2 * ncomp));
    o.byte(uint8_t(ncomp));
    for (int c = 0; c < ncomp; ++c) {
        uint8_t spec[2] = {uint8_t(c + 1), uint8_t(c == 0 ? 0x00 : 0x11)};
        o.bytes(spec, 2);
    }
    uint8_t tail[3] = {0, 63, 0};
    o.bytes(tail, 3);

    buildEncodeTable(t.dc[0], kDcLumaBits, kDcValues);
    buildEncodeTable(t.ac[0], kAcLumaBits, kAcLumaValues);
    buildEncodeTable(t.dc[1], kDcChromaBits, kDcValues);
    buildEncodeTable(t.ac[1], kAcChromaBits, kAcChromaValues);
    BlockCoder coder[3];
    for (int c = 0; c < 3; ++c) {
        int n = c == 0 ? 0 : 1;
        coder[c].divisor = t.divisor[n];
        coder[c].dc = &t.dc[n];
        coder[c].ac = &t.ac[n];
    }

    // Scan data, one MCU row at a time: planes padded to whole MCUs by repeating the last
    // column and row of the picture.
    const int mcu = grey ? 8 : 16;
    const int mcusX = (w + mcu - 1) / mcu, mcusY = (h + mcu - 1) / mcu;
    const int pw = mcusX * mcu;
    const size_t planeBytes = size_t(pw) * size_t(mcu);
    std::unique_ptr<uint8_t[]> planes(new (std::nothrow) uint8_t[planeBytes * 3 + size_t(pw) * 3]);
    if (!planes) return kErrMemory;
    uint8_t* yp = planes.get();
    uint8_t* cbp = yp + planeBytes;
    uint8_t* crp = cbp + planeBytes;
    uint8_t* rgb = crp + planeBytes;  // one expanded row of a palette image
    const int cw = pw / 2;
    uint8_t* cbs = cbp;  // the reduced chroma planes reuse the start of the full ones
    uint8_t* crs = crp;

    for (int my = 0; my < mcusY; ++my) {
        for (int r = 0; r < mcu; ++r) {
            int sy = my * mcu + r;
            if (sy >= h) sy = h - 1;
            const uint8_t* src = in.first + ptrdiff_t(sy) * in.stride;
            uint8_t* yr = yp + size_t(r) * size_t(pw);
            if (grey) {
                std::memcpy(yr, src, size_t(w));
            } else {
                if (in.channels == 1) {
                    for (int x = 0; x < w; ++x) {
                        int idx = src[x] < in.colors ? src[x] : 0;
                        const uint8_t* e = in.palette + 4 * idx;
                        rgb[3 * x] = e[0];
                        rgb[3 * x + 1] = e[1];
                        rgb[3 * x + 2] = e[2];
                    }
                    src = rgb;
                }
                uint8_t* cbr = cbp + size_t(r) * size_t(pw);
                uint8_t* crr = crp + size_t(r) * size_t(pw);
                for (int x = 0; x < w; ++x) {
                    int32_t b = src[3 * x], g = src[3 * x + 1], rr = src[3 * x + 2];
                    yr[x] = uint8_t((19595 * rr + 38470 * g + 7471 * b + 32768) >> 16);
                    cbr[x] = uint8_t((32768 * b - 11059 * rr - 21709 * g + 8421375) >> 16);
                    crr[x] = uint8_t((32768 * rr - 27439 * g - 5329 * b + 8421375) >> 16);
                }
                std::memset(cbr + w, cbr[w - 1], size_t(pw - w));
                std::memset(crr + w, crr[w - 1], size_t(pw - w));
            }
            std::memset(yr + w, yr[w - 1], size_t(pw - w));
        }
        if (!grey) {
            // 2x2 averages; the bias alternates 1, 2 across the output columns.
            for (int r = 0; r < 8; ++r)
                for (int pl = 0; pl < 2; ++pl) {
                    const uint8_t* a = (pl ? crp : cbp) + size_t(2 * r) * size_t(pw);
                    const uint8_t* b = a + pw;
                    uint8_t* dst = (pl ? crs : cbs) + size_t(r) * size_t(cw);
                    for (int x = 0; x < cw; ++x)
                        dst[x] = uint8_t((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 1 + (x & 1)) >> 2);
                }
        }
        for (int mx = 0; mx < mcusX; ++mx) {
            if (grey) {
                encodeBlock(o, coder[0], yp + mx * 8, pw);
                continue;
            }
            for (int by = 0; by < 2; ++by)
                for (int bx = 0; bx < 2; ++bx) encodeBlock(o, coder[0], yp + size_t(by * 8) * pw + mx * 16 + bx * 8, pw);
            encodeBlock(o, coder[1], cbs + mx * 8, cw);
            encodeBlock(o, coder[2], crs + mx * 8, cw);
        }
        if (o.failed) return kErrWrite;
    }
    o.finishBits();
    o.byte(0xFF);
    o.byte(0xD9);
    o.flush();
    return o.failed ? kErrWrite : kOk;
}

}  // namespace torvex::jpeg
