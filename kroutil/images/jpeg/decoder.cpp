// A whole load: frame checks, the MCU geometry, the three ways through the scans (one scan MCU
// row by MCU row; several sequential scans or a progressive file through coefficient buffers),
// and the output stage (inverse transform, upsampling, colour, storing).
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "kroutil/images/jpeg/jpeg_internal.h"

namespace torvex::jpeg {

namespace {

inline uint32_t absValue(int32_t v) { return v < 0 ? uint32_t(0) - uint32_t(v) : uint32_t(v); }

// ---------------------------------------------------------------------------------------------
// Block decoders. Each returns false for a code longer than 16 bits or a DC magnitude category
// above 15 (damaged data).

// A whole block of a sequential scan, dequantised into blk (zeroed by the caller); the OR of the
// magnitudes goes to *orAbs (a bound for the transform's choice of arithmetic).
inline bool decodeSequentialBlock(EntropyReader& br, const HuffDecodeTable& dc, const HuffDecodeTable& ac,
                                  int32_t& pred, const uint16_t* q, int32_t* blk, uint32_t* orAbs) {
    br.refill();
    int32_t diff;
    // A DC symbol above 15 (a run nibble in the entry) is refused below, as the slow path does.
    if (int32_t f = dc.fast[br.peek(kLookupBits)]; f && !(f & 0xF00)) {
        br.skip(f & 0xFF);
        diff = f >> 16;
    } else {
        int s = decodeSymbol(br, dc);
        if (s < 0 || s > 15) return false;
        diff = extendValue(br.get(s), s);
    }
    pred = int32_t(uint32_t(pred) + uint32_t(diff));  // wraps on crafted input, as stored values do
    int32_t v = int32_t(int16_t(pred)) * q[0];
    blk[0] = v;
    uint32_t acc = absValue(v);
    for (int k = 1; k < 64;) {
        br.refill();
        if (int32_t f = ac.fast[br.peek(kLookupBits)]) {
            br.skip(f & 0xFF);
            k += (f >> 8) & 15;
            int pos = kNaturalOrder[k];
            int32_t c = (f >> 16) * int32_t(q[pos]);
            blk[pos] = c;
            acc |= absValue(c);
            ++k;
            continue;
        }
        int rs = decodeSymbol(br, ac);
        if (rs < 0) return false;
        int r = rs >> 4, sz = rs & 15;
        if (sz) {
            k += r;
            int pos = kNaturalOrder[k];
            int32_t c = extendValue(br.get(sz), sz) * int32_t(q[pos]);
            blk[pos] = c;
            acc |= absValue(c);
            ++k;
        } else {
            if (r != 15) break;
            k += 16;
        }
    }
    *orAbs = acc;
    return true;
}

// The same into stored (not dequantised) coefficients.
inline bool decodeSequentialStored(EntropyReader& br, const HuffDecodeTable& dc, const HuffDecodeTable& ac,
                                   int32_t& pred, int16_t* blk) {
    int s = decodeSymbol(br, dc);
    if (s < 0 || s > 15) return false;
    int32_t diff = extendValue(br.get(s), s);
    pred = int32_t(uint32_t(pred) + uint32_t(diff));
    blk[0] = int16_t(pred);
    for (int k = 1; k < 64;) {
        int rs = decodeSymbol(br, ac);
        if (rs < 0) return false;
        int r = rs >> 4, sz = rs & 15;
        if (sz) {
            k += r;
            blk[kNaturalOrder[k]] = int16_t(extendValue(br.get(sz), sz));
            ++k;
        } else {
            if (r != 15) break;
            k += 16;
        }
    }
    return true;
}

inline bool decodeDcFirst(EntropyReader& br, const HuffDecodeTable& dc, int32_t& pred, int al, int16_t* blk) {
    int s = decodeSymbol(br, dc);
    if (s < 0 || s > 15) return false;
    int32_t diff = extendValue(br.get(s), s);
    pred = int32_t(uint32_t(pred) + uint32_t(diff));
    blk[0] = int16_t(uint32_t(pred) << al);
    return true;
}

inline void decodeDcRefine(EntropyReader& br, int al, int16_t* blk) {
    br.refill();
    if (br.get(1)) blk[0] = int16_t(blk[0] | (1 << al));
}

inline bool decodeAcFirst(EntropyReader& br, const HuffDecodeTable& ac, int ss, int se, int al, int32_t& eobrun,
                          int16_t* blk) {
    if (eobrun > 0) {
        --eobrun;
        return true;
    }
    for (int k = ss; k <= se; ++k) {
        int rs = decodeSymbol(br, ac);
        if (rs < 0) return false;
        int r = rs >> 4, s = rs & 15;
        if (s) {
            k += r;
            blk[kNaturalOrder[k]] = int16_t(uint32_t(extendValue(br.get(s), s)) << al);
        } else if (r == 15) {
            k += 15;
        } else {
            eobrun = 1 << r;
            if (r) eobrun += int32_t(br.get(r));
            --eobrun;
            break;
        }
    }
    return true;
}

// Successive approximation of AC coefficients: a correction bit for every coefficient already
// non-zero that the scan passes, new coefficients of magnitude 1 << al.
inline bool decodeAcRefine(EntropyReader& br, const HuffDecodeTable& ac, int ss, int se, int al, int32_t& eobrun,
                           int16_t* blk) {
    const int p1 = 1 << al;
    const int m1 = -p1;
    int k = ss;
    if (eobrun == 0) {
        for (; k <= se; ++k) {
            int rs = decodeSymbol(br, ac);
            if (rs < 0) return false;
            int r = rs >> 4, s = rs & 15;
            if (s) {
                // Any other size is damaged; it is read as a one-bit value all the same.
                s = br.get(1) ? p1 : m1;
            } else if (r != 15) {
                eobrun = 1 << r;
                if (r) eobrun += int32_t(br.get(r));
                break;
            }
            do {
                int16_t* coef = blk + kNaturalOrder[k];
                if (*coef != 0) {
                    br.refill();
                    if (br.get(1) && (*coef & p1) == 0) *coef = int16_t(*coef >= 0 ? *coef + p1 : *coef + m1);
                } else {
                    if (--r < 0) break;
                }
                ++k;
            } while (k <= se);
            if (s) blk[kNaturalOrder[k]] = int16_t(s);
        }
    }
    if (eobrun > 0) {
        for (; k <= se; ++k) {
            int16_t* coef = blk + kNaturalOrder[k];
            if (*coef != 0) {
                br.refill();
                if (br.get(1) && (*coef & p1) == 0) *coef = int16_t(*coef >= 0 ? *coef + p1 : *coef + m1);
            }
        }
        --eobrun;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------

// Restart: drop what is buffered, find the next marker and pass it when it is a restart marker.
void processRestart(Decoder& d) {
    const uint8_t* p = d.br.position();
    const uint8_t* end = d.data + d.size;
    while (end - p >= 2 && !(p[0] == 0xFF && p[1] != 0x00 && p[1] != 0xFF)) ++p;
    if (end - p >= 2 && p[1] >= 0xD0 && p[1] <= 0xD7) p += 2;
    d.br.start(p, end);
    for (auto& c : d.comp) c.dcPred = 0;
    d.eobrun = 0;
}

// After a scan the marker layer goes on from the first byte the bit reader did not load.
void endScan(Decoder& d) { d.pos = size_t(d.br.position() - d.data); }

int32_t checkFrame(Decoder& d) {
    const HeaderInfo& f = d.info;
    if (!d.sawFrame || d.secondFrame || f.frameType < 0 || f.frameType > 2) return kErrBadJpeg;
    if (f.width < 1 || f.width > 32767 || f.height < 1 || f.height > 32767) return kErrArea;
    if (f.precision != 8 || (d.ncomp != 1 && d.ncomp != 3 && d.ncomp != 4)) return kErrBadJpeg;
    int blocks = 0, hmax = 1, vmax = 1;
    for (int i = 0; i < d.ncomp; ++i) {
        const Component& c = d.comp[i];
        if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || c.tq > 3 || !d.qtDefined[c.tq]) return kErrBadJpeg;
        blocks += c.h * c.v;
        hmax = c.h > hmax ? c.h : hmax;
        vmax = c.v > vmax ? c.v : vmax;
    }
    if (d.ncomp > 1) {
        // A one-component scan is a grid of single blocks whatever the factors say; the limit and
        // the whole-number ratios matter only for several components.
        if (blocks > 10) return kErrBadJpeg;
        for (int i = 0; i < d.ncomp; ++i)
            if (hmax % d.comp[i].h || vmax % d.comp[i].v) return kErrBadJpeg;
    }
    return kOk;
}

void setupGeometry(Decoder& d) {
    if (d.ncomp == 1) d.comp[0].h = d.comp[0].v = 1;
    d.hmax = d.vmax = 1;
    for (int i = 0; i < d.ncomp; ++i) {
        d.hmax = d.comp[i].h > d.hmax ? d.comp[i].h : d.hmax;
        d.vmax = d.comp[i].v > d.vmax ? d.comp[i].v : d.vmax;
    }
    const int w = d.info.width, h = d.info.height;
    d.mcusX = (w + 8 * d.hmax - 1) / (8 * d.hmax);
    d.mcusY = (h + 8 * d.vmax - 1) / (8 * d.vmax);
    for (int i = 0; i < d.ncomp; ++i) {
        Component& c = d.comp[i];
        int cw = (w * c.h + d.hmax - 1) / d.hmax;
        int ch = (h * c.v + d.vmax - 1) / d.vmax;
        c.blocksW = (cw + 7) / 8;
        c.blocksH = (ch + 7) / 8;
        c.bufW = d.mcusX * c.h;
        c.bufH = d.mcusY * c.v;
        std::memcpy(c.quant, d.qt[c.tq], sizeof c.quant);
    }
}

struct Scratch {
    uint8_t* plane[3] = {nullptr, nullptr, nullptr};
    int stride[3] = {0, 0, 0};
    uint8_t* row[3] = {nullptr, nullptr, nullptr};
    int16_t* coefs[4] = {nullptr, nullptr, nullptr, nullptr};
    ~Scratch() {
        for (auto* p : plane) std::free(p);
        for (auto* p : row) std::free(p);
        for (auto* p : coefs) std::free(p);
    }
};

bool allocPlanes(Decoder& d, Scratch& s) {
    int n = d.ncomp < 3 ? d.ncomp : 3;
    for (int c = 0; c < n; ++c) {
        s.stride[c] = d.comp[c].bufW * 8;
        s.plane[c] = static_cast<uint8_t*>(std::malloc(size_t(s.stride[c]) * size_t(d.comp[c].v) * 8));
        s.row[c] = static_cast<uint8_t*>(std::malloc(size_t(d.mcusX) * 8 * size_t(d.hmax) + 8));
        if (!s.plane[c] || !s.row[c]) return false;
    }
    return true;
}

// Stores picture rows y0 .. y0 + count - 1 (those inside the output) from the planes of one MCU
// row, `cols` columns of each.
void emitRows(const Decoder& d, Scratch& s, int y0, int count, int cols, const JpegOutput& out, bool convert) {
    for (int r = 0; r < count; ++r) {
        int y = y0 + r;
        if (y >= out.height) break;
        uint8_t* dst = out.first + ptrdiff_t(y) * out.stride;
        if (out.channels == 1) {
            std::memcpy(dst, s.plane[0] + ptrdiff_t(r) * s.stride[0], size_t(cols));
            continue;
        }
        const uint8_t* src[3];
        for (int c = 0; c < 3; ++c) {
            const Component& comp = d.comp[c];
            int fy = d.vmax / comp.v, fx = d.hmax / comp.h;
            const uint8_t* line = s.plane[c] + ptrdiff_t(r / fy) * s.stride[c];
            if (fx == 1) {
                src[c] = line;
            } else {
                replicateRow(line, s.row[c], (cols + fx - 1) / fx, fx);
                src[c] = s.row[c];
            }
        }
        if (convert)
            yccToBgrRow(src[0], src[1], src[2], dst, cols);
        else
            rgbToBgrRow(src[0], src[1], src[2], dst, cols);
    }
}

bool tablesForScan(const Decoder& d, bool needDc, bool needAc, int n) {
    for (int i = 0; i < n; ++i) {
        const Component& c = d.comp[d.scanComp[i]];
        if (needDc && !d.dcTab[c.td].defined) return false;
        if (needAc && !d.acTab[c.ta].defined) return false;
    }
    return true;
}

// The one scan of a file that holds all components, MCU row by MCU row into the output.
int32_t decodeSingleScan(Decoder& d, Scratch& s, const JpegOutput& out, bool convert) {
    if (!tablesForScan(d, true, true, d.scanN)) return kErrBadJpeg;
    if (!allocPlanes(d, s)) return kErrMemory;
    alignas(32) int32_t blk[64];
    const int mcuW = 8 * d.hmax, mcuH = 8 * d.vmax;
    const int rowsNeeded = (out.height + mcuH - 1) / mcuH;
    const int mcusNeededX = (out.width + mcuW - 1) / mcuW;
    for (auto& c : d.comp) c.dcPred = 0;
    d.br.start(d.data + d.pos, d.data + d.size);
    int32_t todo = d.restartInterval;
    for (int my = 0; my < rowsNeeded; ++my) {
        for (int mx = 0; mx < d.mcusX; ++mx) {
            if (d.restartInterval) {
                if (todo == 0) {
                    processRestart(d);
                    todo = d.restartInterval;
                }
                --todo;
            }
            bool ok = true;
            for (int i = 0; i < d.scanN && ok; ++i) {
                int ci = d.scanComp[i];
                Component& c = d.comp[ci];
                const HuffDecodeTable& dc = d.dcTab[c.td];
                const HuffDecodeTable& ac = d.acTab[c.ta];
                for (int by = 0; by < c.v && ok; ++by)
                    for (int bx = 0; bx < c.h; ++bx) {
                        std::memset(blk, 0, sizeof blk);
                        uint32_t orAbs = 0;
                        if (!decodeSequentialBlock(d.br, dc, ac, c.dcPred, c.quant, blk, &orAbs)) {
                            ok = false;
                            break;
                        }
                        if (ci < 3 && mx < mcusNeededX)
                            idctBlock(blk, s.plane[ci] + ptrdiff_t(by) * 8 * s.stride[ci] + (mx * c.h + bx) * 8,
                                      s.stride[ci], orAbs);
                    }
            }
            if (!ok || d.br.overran()) {
                // The MCUs before this one are complete: store them and stop.
                int cols = mx * mcuW < out.width ? mx * mcuW : out.width;
                if (cols > 0) emitRows(d, s, my * mcuH, mcuH, cols, out, convert);
                return kErrTruncated;
            }
        }
        emitRows(d, s, my * mcuH, mcuH, out.width, out, convert);
    }
    return kOk;
}

// One scan into the coefficient buffers; kErrTruncated when its data are damaged or end early.
int32_t decodeScanToBuffers(Decoder& d, Scratch& s) {
    enum Kind { kSequential, kDcFirst, kDcRefine, kAcFirst, kAcRefine } kind;
    int n = d.scanN;
    if (d.info.frameType != 2) {
        kind = kSequential;
        if (!tablesForScan(d, true, true, n)) return kErrBadJpeg;
    } else {
        if (d.ss == 0) {
            if (d.se != 0) return kErrBadJpeg;
        } else if (d.se < d.ss || d.se > 63) {
            return kErrBadJpeg;
        }
        if ((d.ah != 0 && d.ah != d.al + 1) || d.al > 13) return kErrBadJpeg;
        if (d.ss == 0) {
            kind = d.ah == 0 ? kDcFirst : kDcRefine;
            if (kind == kDcFirst && !tablesForScan(d, true, false, n)) return kErrBadJpeg;
        } else {
            kind = d.ah == 0 ? kAcFirst : kAcRefine;
            n = 1;  // AC scans hold one component; only the first one named is decoded
            if (!tablesForScan(d, false, true, n)) return kErrBadJpeg;
        }
    }
    for (auto& c : d.comp) c.dcPred = 0;
    d.eobrun = 0;
    d.br.start(d.data + d.pos, d.data + d.size);

    auto decodeBlock = [&](Component& c, int16_t* blk) -> bool {
        switch (kind) {
            case kSequential:
                return decodeSequentialStored(d.br, d.dcTab[c.td], d.acTab[c.ta], c.dcPred, blk);
            case kDcFirst:
                return decodeDcFirst(d.br, d.dcTab[c.td], c.dcPred, d.al, blk);
            case kDcRefine:
                decodeDcRefine(d.br, d.al, blk);
                return true;
            case kAcFirst:
                return decodeAcFirst(d.br, d.acTab[c.ta], d.ss, d.se, d.al, d.eobrun, blk);
            case kAcRefine:
                return decodeAcRefine(d.br, d.acTab[c.ta], d.ss, d.se, d.al, d.eobrun, blk);
        }
        return false;
    };

    int32_t todo = d.restartInterval;
    auto restartCheck = [&]() {
        if (d.restartInterval) {
            if (todo == 0) {
                processRestart(d);
                todo = d.restartInterval;
            }
            --todo;
        }
    };

    if (n == 1) {
        int ci = d.scanComp[0];
        Component& c = d.comp[ci];
        int16_t* base = s.coefs[ci];
        for (int by = 0; by < c.blocksH; ++by)
            for (int bx = 0; bx < c.blocksW; ++bx) {
                restartCheck();
                bool ok = decodeBlock(c, base + (size_t(by) * size_t(c.bufW) + size_t(bx)) * 64);
                if (!ok || d.br.overran()) return kErrTruncated;
            }
    } else {
        for (int my = 0; my < d.mcusY; ++my)
            for (int mx = 0; mx < d.mcusX; ++mx) {
                restartCheck();
                bool ok = true;
                for (int i = 0; i < n && ok; ++i) {
                    int ci = d.scanComp[i];
                    Component& c = d.comp[ci];
                    for (int yy = 0; yy < c.v && ok; ++yy)
                        for (int xx = 0; xx < c.h && ok; ++xx) {
                            size_t index = size_t(my * c.v + yy) * size_t(c.bufW) + size_t(mx * c.h + xx);
                            ok = decodeBlock(c, s.coefs[ci] + index * 64);
                        }
                }
                if (!ok || d.br.overran()) return kErrTruncated;
            }
    }
    endScan(d);
    return kOk;
}

// Inverse transform of the buffered coefficients, MCU row by MCU row, into the output.
void outputFromBuffers(Decoder& d, Scratch& s, const JpegOutput& out, bool convert) {
    alignas(32) int32_t blk[64];
    const int mcuW = 8 * d.hmax, mcuH = 8 * d.vmax;
    const int rowsNeeded = (out.height + mcuH - 1) / mcuH;
    const int mcusNeededX = (out.width + mcuW - 1) / mcuW;
    const int n = d.ncomp < 3 ? d.ncomp : 3;
    for (int my = 0; my < rowsNeeded; ++my) {
        for (int ci = 0; ci < n; ++ci) {
            const Component& c = d.comp[ci];
            int blocksX = mcusNeededX * c.h;
            for (int by = 0; by < c.v; ++by) {
                const int16_t* src = s.coefs[ci] + size_t(my * c.v + by) * size_t(c.bufW) * 64;
                for (int bx = 0; bx < blocksX; ++bx, src += 64) {
                    uint32_t orAbs = 0;
                    for (int k = 0; k < 64; ++k) {
                        blk[k] = int32_t(src[k]) * int32_t(c.quant[k]);
                        orAbs |= absValue(blk[k]);
                    }
                    idctBlock(blk, s.plane[ci] + ptrdiff_t(by) * 8 * s.stride[ci] + bx * 8, s.stride[ci], orAbs);
                }
            }
        }
        emitRows(d, s, my * mcuH, mcuH, out.width, out, convert);
    }
}

int32_t decodeMultiScan(Decoder& d, Scratch& s, const JpegOutput& out, bool convert) {
    for (int ci = 0; ci < d.ncomp; ++ci) {
        const Component& c = d.comp[ci];
        s.coefs[ci] = static_cast<int16_t*>(std::calloc(size_t(c.bufW) * size_t(c.bufH), 64 * sizeof(int16_t)));
        if (!s.coefs[ci]) return kErrMemory;
    }
    if (!allocPlanes(d, s)) return kErrMemory;
    const bool progressive = d.info.frameType == 2;
    int componentsRead = 0;
    int32_t result = kOk;
    for (;;) {
        int32_t rc = decodeScanToBuffers(d, s);
        if (rc == kErrTruncated && progressive) {
            // What the scans gave so far makes the picture; the caller learns it is incomplete.
            result = kErrTruncated;
            break;
        }
        if (rc != kOk) return rc;
        componentsRead += d.scanN;
        if (!progressive && componentsRead >= d.ncomp) break;
        int ended = 0;
        rc = readTablesToScan(d, &ended);
        if (rc == kOk && !ended) rc = readScanHeader(d);
        if (rc == kErrTruncated || (rc == kOk && ended)) {
            if (!progressive) return kErrTruncated;
            break;  // a progressive file may end after any complete scan
        }
        if (rc != kOk) return rc;
    }
    outputFromBuffers(d, s, out, convert);
    return result;
}

int32_t prepare(Decoder& d, const uint8_t* data, size_t size) {
    d.data = data;
    d.size = size;
    int32_t rc = readHeaders(d);
    if (rc != kOk) return rc;
    return checkFrame(d);
}

}  // namespace

int32_t probeFrame(const uint8_t* data, size_t size, HeaderInfo* info) {
    std::unique_ptr<Decoder> d(new (std::nothrow) Decoder);
    if (!d) return kErrMemory;
    int32_t rc = prepare(*d, data, size);
    *info = d->info;
    return rc;
}

int32_t decodeJpeg(const uint8_t* data, size_t size, const JpegOutput& out, const LoadOptions& opts) {
    std::unique_ptr<Decoder> d(new (std::nothrow) Decoder);
    if (!d) return kErrMemory;
    int32_t rc = prepare(*d, data, size);
    if (rc != kOk) return rc;
    if ((d->ncomp == 1) != (out.channels == 1)) return kErrDepth;
    setupGeometry(*d);
    rc = readScanHeader(*d);
    if (rc != kOk) return kErrBadJpeg;
    JpegOutput o = out;
    if (o.width > d->info.width) o.width = d->info.width;
    if (o.height > d->info.height) o.height = d->info.height;
    if (o.width <= 0 || o.height <= 0) return kOk;
    const bool convert = !(opts.raw || (opts.honourNoTransform && d->noTransform));
    Scratch s;
    if (d->info.frameType != 2 && d->scanN == d->ncomp) return decodeSingleScan(*d, s, o, convert);
    return decodeMultiScan(*d, s, o, convert);
}

}  // namespace torvex::jpeg
