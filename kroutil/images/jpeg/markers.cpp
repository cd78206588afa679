// The marker layer: segments before and between scans, the frame header and the scan headers.
#include <cstring>
#include <new>

#include "bytes/byte_order.h"
#include "kroutil/images/jpeg/jpeg_internal.h"

namespace torvex::jpeg {

namespace {

bool isFrameMarker(int m) { return (m >= 0xC0 && m <= 0xC3) || (m >= 0xC9 && m <= 0xCB); }

int32_t readFrame(Decoder& d, int marker, bytes::ByteReader& r) {
    if (d.sawFrame) {
        // The first frame header describes the picture; a second one contradicts it.
        d.secondFrame = true;
        return kOk;
    }
    int precision = r.u8();
    int height = r.u16be();
    int width = r.u16be();
    int n = r.u8();
    if (!r.ok() || n > 4 || !r.has(size_t(3 * n))) return kErrBadJpeg;
    d.sawFrame = true;
    d.info.frameType = marker & 15;
    d.info.precision = precision;
    d.info.height = height;
    d.info.width = width;
    d.info.components = n;
    d.info.bitsPerPixel = n == 1 ? 8 : 24;
    d.ncomp = n;
    for (int i = 0; i < n; ++i) {
        Component& c = d.comp[i];
        c.id = r.u8();
        int hv = r.u8();
        c.h = hv >> 4;
        c.v = hv & 15;
        c.tq = r.u8();
        d.info.sampling[i] = hv;
    }
    return kOk;
}

int32_t readQuantTables(Decoder& d, bytes::ByteReader& r) {
    while (r.remaining() > 0) {
        int pq = r.u8();
        int tq = pq & 15;
        pq >>= 4;
        if (pq > 1 || tq > 3 || !r.has(size_t(64 << pq))) return kErrBadJpeg;
        for (int k = 0; k < 64; ++k) {
            uint16_t v = pq ? r.u16be() : r.u8();
            d.qt[tq][kNaturalOrder[k]] = v ? v : 1;  // a divisor of 0 means nothing: take it as 1
        }
        d.qtDefined[tq] = true;
    }
    return kOk;
}

int32_t readHuffTables(Decoder& d, bytes::ByteReader& r) {
    while (r.remaining() > 0) {
        int tcth = r.u8();
        int tc = tcth >> 4, th = tcth & 15;
        const uint8_t* counts = r.take(16);
        if (tc > 1 || th > 3 || !counts) return kErrBadJpeg;
        int total = 0;
        for (int i = 0; i < 16; ++i) total += counts[i];
        const uint8_t* values = r.take(size_t(total));
        if (!values || total > 256) return kErrBadJpeg;
        HuffDecodeTable& t = tc ? d.acTab[th] : d.dcTab[th];
        if (!buildHuffDecodeTable(t, counts, values)) return kErrBadJpeg;
    }
    return kOk;
}

void readApp14(Decoder& d, const uint8_t* p, size_t n) {
    if (n < 12) return;
    static const char kName[] = "adobe";
    for (int i = 0; i < 3; ++i)
        if ((p[i] | 0x20) != kName[i]) return;
    // The version's second byte as the old readers test it: 100..127, or 128 with a first byte 0.
    bool version = (p[6] >= 100 && p[6] <= 127) || (p[6] == 128 && p[5] == 0);
    if (version && p[11] == 0) d.noTransform = true;
}

}  // namespace

int nextMarker(Decoder& d) {
    while (d.pos < d.size) {
        if (d.data[d.pos] != 0xFF) {
            ++d.pos;  // not a marker: skipped
            continue;
        }
        if (d.pos + 1 >= d.size) break;
        int code = d.data[d.pos + 1];
        if (code == 0xFF) {
            ++d.pos;  // fill byte
            continue;
        }
        d.pos += 2;
        return code;
    }
    d.pos = d.size;
    return -1;
}

int32_t readTablesToScan(Decoder& d, int* ended) {
    *ended = 0;
    for (;;) {
        int m = nextMarker(d);
        if (m < 0 || m == 0xD9) {
            *ended = 1;
            return kOk;
        }
        if (m == 0xDA) return kOk;
        if (m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD8)) continue;  // no length
        if (d.size - d.pos < 2) return kErrTruncated;
        size_t len = bytes::load16be(d.data + d.pos);
        const bool parsed = isFrameMarker(m) || m == 0xDB || m == 0xC4 || m == 0xDD;
        if (len < 2) {
            // A segment we only skip may carry a length too small to be true: the bytes after the
            // length field go as data before the next marker (other readers do the same).
            if (parsed) return kErrBadJpeg;
            d.pos += 2;
            continue;
        }
        if (len > d.size - d.pos) return kErrTruncated;
        bytes::ByteReader r(d.data + d.pos + 2, len - 2, bytes::Endian::big);
        d.pos += len;
        int32_t rc = kOk;
        if (isFrameMarker(m))
            rc = readFrame(d, m, r);
        else if (m == 0xDB)
            rc = readQuantTables(d, r);
        else if (m == 0xC4)
            rc = readHuffTables(d, r);
        else if (m == 0xDD)
            d.restartInterval = len >= 4 ? bytes::load16be(r.data) : 0;
        else if (m == 0xEE)
            readApp14(d, r.data, r.size);
        if (rc != kOk) return rc;
    }
}

int32_t readHeaders(Decoder& d) {
    d.pos = 0;
    if (nextMarker(d) != 0xD8) return kErrBadJpeg;
    int ended = 0;
    int32_t rc = readTablesToScan(d, &ended);
    if (rc != kOk || ended) return kErrBadJpeg;  // headers cut short, or no scan at all
    return kOk;
}

int32_t readScanHeader(Decoder& d) {
    if (d.size - d.pos < 2) return kErrTruncated;
    size_t len = bytes::load16be(d.data + d.pos);
    if (len < 2) return kErrBadJpeg;
    if (len > d.size - d.pos) return kErrTruncated;
    bytes::ByteReader r(d.data + d.pos + 2, len - 2, bytes::Endian::big);
    d.pos += len;
    int ns = r.u8();
    if (ns == 0 || !r.has(size_t(2 * ns + 3))) return kErrBadJpeg;
    d.scanN = ns > 4 ? 4 : ns;
    for (int i = 0; i < ns; ++i) {
        int id = r.u8();
        int tables = r.u8();
        if (i >= 4) continue;
        int found = -1;
        for (int c = 0; c < d.ncomp; ++c)
            if (d.comp[c].id == id) {
                found = c;
                break;
            }
        if (found < 0) return kErrBadJpeg;
        for (int j = 0; j < i; ++j)
            if (d.scanComp[j] == found) return kErrBadJpeg;  // a component twice in one scan
        d.scanComp[i] = found;
        d.comp[found].td = tables >> 4;
        d.comp[found].ta = tables & 15;
        if (d.comp[found].td > 3 || d.comp[found].ta > 3) return kErrBadJpeg;
    }
    d.ss = r.u8();
    d.se = r.u8();
    int a = r.u8();
    d.ah = a >> 4;
    d.al = a & 15;
    return kOk;
}

int32_t readHeaderInfo(const uint8_t* data, size_t size, HeaderInfo* info) {
    Decoder* d = new (std::nothrow) Decoder;
    if (!d) return kErrMemory;
    d->data = data;
    d->size = size;
    int32_t rc = readHeaders(*d);
    *info = d->info;
    delete d;
    return rc;
}

}  // namespace torvex::jpeg
