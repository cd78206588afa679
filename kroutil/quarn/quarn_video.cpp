// The picture decoder of a Quarn stream: finds the alpha, luma and chroma parts of a frame,
// decodes each plane (docs/quarn-planes.md) and turns the planes into 32-bit pixels at the
// display size. Plane codes are read with the codec's tree reader.
#include <cstring>
#include <new>

#include "base/mem_block.h"
#include "bytes/bit_reader.h"
#include "bytes/byte_order.h"
#include "codec/torvex.h"
#include "kroutil/quarn/quarn_internal.h"
#include "kroutil/quarn/quarn_planes.h"

namespace {

constexpr uint32_t kLeaf = 0x80000000u;
constexpr uint32_t kWalk = 0x40000000u;
constexpr int kAlpha = 0, kLuma = 1, kBlue = 2, kRed = 3;

struct Features {
    uint32_t allowed = QUARN_FEATURE_WIDE;
};
Features features;

}  // namespace

struct QuarnVideoPrivate {
    QuarnStream* stream;
    uint8_t* block;            // both plane sets
    uint8_t* cur[4];
    uint8_t* prev[4];
    uint32_t w[4], h[4];
    bool present[4];           // planes this file's frames carry and we keep
    TorvexFile* trees;         // a bare record for the codec's tree reader
    uint32_t* row;             // one stored row of pixels
    uint8_t* blueRow;          // chroma spread to the luma width
    uint8_t* redRow;
    bool good;                 // cur holds a correctly decoded frame (lastFrame)
};

namespace {

// One value through the tables the tree reader built (see TorvexTree), with the three-value
// cache the encoder's escapes refer to.
struct Code {
    const uint32_t* table;
    const uint32_t* nodes;
    uint32_t tableBits;
    uint32_t nodeCount;
    uint32_t tableEntries;
    uint32_t c0 = 0, c1 = 0, c2 = 0;

    inline uint32_t next(bytes::BitReaderLsb& br) {
        br.ensure(33);
        uint32_t e = table[br.peekLoaded(tableBits)];
        uint32_t r;
        if (e & kLeaf) {
            br.skipLoaded((e >> 24) & 63);
            r = e;
        } else {
            br.skipLoaded(tableBits);
            if (!(e & kWalk)) {
                uint32_t width = (e >> 24) & 31;
                uint32_t at = (e & 0xFFFFFF) + br.peekLoaded(width);
                uint32_t e2 = at < tableEntries ? table[at] : kLeaf;
                if (e2 & kLeaf) {
                    br.skipLoaded((e2 >> 24) & 63);
                    return settle(e2);
                }
                br.skipLoaded(width);
                e = e2;
            }
            // Codes longer than both table levels: one bit per node.
            uint32_t n = e & 0xFFFFFF;
            for (;;) {
                if (n >= nodeCount) return settle(kLeaf);
                uint32_t c = nodes[2 * n + br.bit()];
                if ((c & kLeaf) || br.overrun()) {
                    r = (c & kLeaf) ? c : kLeaf;
                    break;
                }
                n = c;
            }
        }
        return settle(r);
    }
    inline uint32_t settle(uint32_t r) {
        uint32_t slot = (r >> 16) & 3;
        uint32_t v = r & 0xFFFF;
        if (slot) v = slot == 1 ? c0 : slot == 2 ? c1 : c2;
        if (v != c0) {
            c2 = c1;
            c1 = c0;
            c0 = v;
        }
        return v;
    }
};

// Decodes one plane from [data, data + size) into cur (prev for temporal prediction); *used
// gets the bytes the plane took. False for anything malformed.
bool decodePlane(QuarnVideoPrivate* p, int k, const uint8_t* data, uint32_t size, uint32_t* used) {
    const uint32_t w = p->w[k], h = p->h[k];
    uint8_t* cur = p->cur[k];
    const uint8_t* prev = p->prev[k];
    if (size < 3 || data[0] != quarn::kPlaneMark) return false;
    const uint8_t kind = data[1];
    if (kind == quarn::kPlaneConstant) {
        std::memset(cur, data[2], size_t(w) * h);
        *used = 3;
        return true;
    }
    if ((kind != quarn::kPlaneSpatial && kind != quarn::kPlaneTemporal) || size < 4) return false;
    const uint32_t rows = bytes::load16le(data + 2);
    if (rows == 0) return false;
    uint32_t pos = 4;
    TorvexFile* f = p->trees;
    for (uint32_t y0 = 0; y0 < h; y0 += rows) {
        const uint32_t n = h - y0 < rows ? h - y0 : rows;
        if (size - pos < 4) return false;
        uint32_t treeBytes = bytes::load32le(data + pos);
        pos += 4;
        if (treeBytes > size - pos) return false;
        TorvexFreeTrees(f);
        if (!TorvexDecodeTrees(f, data + pos, treeBytes) || !f->trees->tree[0].present) return false;
        pos += treeBytes;
        const TorvexTree& t = f->trees->tree[0];
        Code code{t.table, t.nodes, t.tableBits, t.nodeCount, t.tableEntries};
        bytes::BitReaderLsb br(data + pos, size - pos);
        uint8_t* out = cur + size_t(y0) * w;
        if (kind == quarn::kPlaneTemporal) {
            const uint8_t* from = prev + size_t(y0) * w;
            for (size_t i = 0, count = size_t(n) * w; i < count; ++i) out[i] = uint8_t(from[i] + code.next(br));
        } else {
            for (uint32_t y = y0; y < y0 + n; ++y)
                for (uint32_t x = 0; x < w; ++x)
                    cur[size_t(y) * w + x] = uint8_t(quarn::predictSpatial(cur, w, x, y) + code.next(br));
        }
        if (br.overrun()) return false;
        pos += uint32_t((br.position() + 7) / 8);
    }
    *used = pos;
    return true;
}

// Where the frame's picture starts: after one sound packet per track.
bool videoStart(const QuarnStream* s, uint32_t* start) {
    uint32_t pos = 0;
    for (uint32_t t = 0; t < s->audioTracks; ++t) {
        if (s->frameBytes - pos < 4) return false;
        uint32_t length = bytes::load32le(s->frameData + pos);
        pos += 4;
        if (length > s->frameBytes - pos) return false;
        pos += length;
    }
    *start = pos;
    return true;
}

// A part with a size field counted from the field's first byte: [pos + 4, pos + size).
bool sizedPart(const QuarnStream* s, uint32_t pos, uint32_t* begin, uint32_t* end) {
    if (s->frameBytes - pos < 4) return false;
    uint32_t size = bytes::load32le(s->frameData + pos);
    if (size < 4 || size > s->frameBytes - pos) return false;
    *begin = pos + 4;
    *end = pos + size;
    return true;
}

// Decodes the stream's current frame into the plane buffers.
bool decodeFrame(QuarnVideo* v) {
    QuarnVideoPrivate* p = v->priv;
    QuarnStream* s = p->stream;
    for (int k = 0; k < 4; ++k) {
        uint8_t* t = p->cur[k];
        p->cur[k] = p->prev[k];
        p->prev[k] = t;
    }
    v->alphaEnd = v->lumaEnd = v->chromaEnd[0] = v->chromaEnd[1] = 0;
    quarn::ensureFrame(s);
    if (!s->frameData) return false;
    uint32_t pos;
    if (!videoStart(s, &pos)) return false;
    // An empty picture part repeats the last picture.
    if (pos == s->frameBytes) {
        for (int k = 0; k < 4; ++k)
            if (p->present[k]) std::memcpy(p->cur[k], p->prev[k], size_t(p->w[k]) * p->h[k]);
        v->alphaEnd = v->lumaEnd = v->chromaEnd[0] = v->chromaEnd[1] = pos;
        return true;
    }
    const uint8_t* d = s->frameData;
    uint32_t used = 0;
    if (s->fileHasAlpha) {
        uint32_t begin, end;
        if (!sizedPart(s, pos, &begin, &end)) return false;
        if (p->present[kAlpha] && !decodePlane(p, kAlpha, d + begin, end - begin, &used)) return false;
        pos = end;
        v->alphaEnd = pos;
    }
    if (!(s->videoFlags & QUARN_VIDEO_NO_LUMA_SIZE)) {
        uint32_t begin, end;
        if (!sizedPart(s, pos, &begin, &end)) return false;
        if (!decodePlane(p, kLuma, d + begin, end - begin, &used)) return false;
        pos = end;
    } else {
        if (!decodePlane(p, kLuma, d + pos, s->frameBytes - pos, &used)) return false;
        pos += used;
    }
    v->lumaEnd = pos;
    if (p->present[kBlue]) {
        for (int k = kBlue; k <= kRed; ++k) {
            if (!decodePlane(p, k, d + pos, s->frameBytes - pos, &used)) return false;
            pos += used;
            v->chromaEnd[k - kBlue] = pos;
        }
    }
    return true;
}

// Rows of 32-bit pixels from the planes; the wide form works on four pixels at a time in
// 128-bit lanes.
void convertRow(uint32_t* out, const uint8_t* y, const uint8_t* cb, const uint8_t* cr, const uint8_t* a, uint32_t n) {
    for (uint32_t x = 0; x < n; ++x) out[x] = quarn::rgbOf(y[x], cb[x], cr[x]) | (a ? uint32_t(a[x]) << 24 : 0);
}

typedef int32_t Lanes __attribute__((vector_size(16)));

inline Lanes clampLanes(Lanes v) {
    Lanes zero = {}, top = zero + 255;
    v = v < zero ? zero : v;
    return v > top ? top : v;
}

void convertRowWide(uint32_t* out, const uint8_t* y, const uint8_t* cb, const uint8_t* cr, const uint8_t* a, uint32_t n) {
    uint32_t x = 0;
    for (; x + 4 <= n; x += 4) {
        Lanes Y, B, R, A = {};
        for (int i = 0; i < 4; ++i) {
            Y[i] = y[x + i];
            B[i] = cb[x + i] - 128;
            R[i] = cr[x + i] - 128;
            if (a) A[i] = a[x + i];
        }
        Lanes r = clampLanes(Y + ((quarn::kCrToR * R + 32768) >> 16));
        Lanes g = clampLanes(Y - ((quarn::kCbToG * B + quarn::kCrToG * R + 32768) >> 16));
        Lanes b = clampLanes(Y + ((quarn::kCbToB * B + 32768) >> 16));
        Lanes px = (A << 24) | (r << 16) | (g << 8) | b;
        std::memcpy(out + x, &px, sizeof px);
    }
    convertRow(out + x, y + x, cb + x, cr + x, a ? a + x : nullptr, n - x);
}

void toPixels(QuarnVideo* v, uint32_t* pixels, int32_t pitch) {
    QuarnVideoPrivate* p = v->priv;
    const uint32_t w = p->w[kLuma], h = p->h[kLuma];
    const uint32_t dw = v->width, dh = v->height;
    const bool wide = features.allowed & QUARN_FEATURE_WIDE;
    uint8_t* out = reinterpret_cast<uint8_t*>(pixels);
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* luma = p->cur[kLuma] + size_t(y) * w;
        const uint8_t* alpha = v->hasAlpha ? p->cur[kAlpha] + size_t(y) * w : nullptr;
        if (p->present[kBlue]) {
            const uint8_t* cb = p->cur[kBlue] + size_t(y / 2) * p->w[kBlue];
            const uint8_t* cr = p->cur[kRed] + size_t(y / 2) * p->w[kRed];
            for (uint32_t x = 0; x < w; ++x) {
                p->blueRow[x] = cb[x / 2];
                p->redRow[x] = cr[x / 2];
            }
        }
        (wide ? convertRowWide : convertRow)(p->row, luma, p->blueRow, p->redRow, alpha, w);
        for (uint32_t copy = 0; copy < dh / h; ++copy) {
            uint32_t* dest = reinterpret_cast<uint32_t*>(out + int64_t(y * (dh / h) + copy) * pitch);
            if (dw == w) {
                std::memcpy(dest, p->row, size_t(w) * 4);
            } else {
                for (uint32_t x = 0; x < w; ++x) dest[2 * x] = dest[2 * x + 1] = p->row[x];
            }
        }
    }
}

void freeVideo(QuarnVideo* v) {
    QuarnVideoPrivate* p = v->priv;
    if (p) {
        if (p->trees) {
            TorvexFreeTrees(p->trees);
            TorvexMemFree(p->trees);
        }
        TorvexMemFree(p->block);
        TorvexMemFree(p);
    }
    TorvexMemFree(v);
}

}  // namespace

extern "C" {

uint32_t QuarnControlPlatformFeatures(uint32_t wanted) {
    features.allowed = wanted & QUARN_FEATURE_WIDE;
    return features.allowed;
}

QuarnVideo* QuarnVideoOpen(QuarnStream* stream) {
    if (!stream) return nullptr;
    void* vm = TorvexMemAlloc(sizeof(QuarnVideo));
    void* pm = TorvexMemAlloc(sizeof(QuarnVideoPrivate));
    if (!vm || !pm) {
        TorvexMemFree(vm);
        TorvexMemFree(pm);
        return nullptr;
    }
    QuarnVideo* v = static_cast<QuarnVideo*>(vm);
    std::memset(v, 0, sizeof *v);
    QuarnVideoPrivate* p = static_cast<QuarnVideoPrivate*>(pm);
    std::memset(p, 0, sizeof *p);
    v->priv = p;
    p->stream = stream;
    v->width = stream->displayWidth;
    v->height = stream->displayHeight;
    v->hasAlpha = (stream->videoFlags & QUARN_VIDEO_ALPHA) ? 1 : 0;
    const uint32_t w = stream->width, h = stream->height;
    p->present[kAlpha] = v->hasAlpha;
    p->present[kLuma] = true;
    p->present[kBlue] = p->present[kRed] = !(stream->videoFlags & QUARN_VIDEO_GREY);
    for (int k = 0; k < 4; ++k) {
        bool chroma = k >= kBlue;
        p->w[k] = chroma ? quarn::chromaSide(w) : w;
        p->h[k] = chroma ? quarn::chromaSide(h) : h;
    }
    uint64_t planeBytes = 0;
    for (int k = 0; k < 4; ++k)
        if (p->present[k]) planeBytes += uint64_t(p->w[k]) * p->h[k];
    // Two plane sets, a pixel row and the two spread chroma rows.
    uint64_t total = 2 * planeBytes + uint64_t(w) * 6 + 64;
    if (total >= 0xFFFFFF00u || !(p->block = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(total))))) {
        freeVideo(v);
        return nullptr;
    }
    std::memset(p->block, 0, size_t(total));
    uint8_t* at = p->block;
    p->row = reinterpret_cast<uint32_t*>(at);
    at += uint64_t(w) * 4;
    p->blueRow = at;
    at += w;
    p->redRow = at;
    at += w;
    for (int k = 0; k < 4; ++k) {
        if (!p->present[k]) continue;
        size_t bytes = size_t(p->w[k]) * p->h[k];
        p->cur[k] = at;
        p->prev[k] = at + bytes;
        at += 2 * bytes;
    }
    // Grey files: the chroma rows stay at the neutral value.
    std::memset(p->blueRow, 128, w);
    std::memset(p->redRow, 128, w);
    void* tm = TorvexMemAlloc(sizeof(TorvexFile));
    if (!tm) {
        freeVideo(v);
        return nullptr;
    }
    std::memset(tm, 0, sizeof(TorvexFile));
    p->trees = new (tm) TorvexFile;
    // The reader checks each tree's nodes against the size a header declares: any size will do.
    p->trees->header.mapTreeSize = p->trees->header.colourTreeSize = p->trees->header.fullTreeSize =
        p->trees->header.typeTreeSize = 0xFFFFFFF0u;
    quarn::countMemory(stream, int64_t(total + sizeof(TorvexFile)));
    return v;
}

int32_t QuarnVideoDecode(QuarnVideo* video, uint32_t* pixels, int32_t pitch) {
    if (!video || !pixels) return 0;
    QuarnVideoPrivate* p = video->priv;
    QuarnStream* s = p->stream;
    const uint32_t n = s->currentFrame;
    bool ok = true;
    if (!(p->good && video->lastFrame == n)) {
        // A frame that does not follow the last one is reached from its key frame.
        if (!s->frameKey && !(p->good && video->lastFrame + 1 == n)) {
            uint32_t from = n;
            while (from > 1 && !(s->frameIndex[from - 1] & 1)) --from;
            if (p->good && video->lastFrame >= from && video->lastFrame < n) from = video->lastFrame + 1;
            for (uint32_t k = from; k < n && ok; ++k) {
                QuarnGotoFrame(s, k);
                ok = decodeFrame(video);
            }
            QuarnGotoFrame(s, n);
        }
        ok = ok && decodeFrame(video);
        p->good = ok;
        video->lastFrame = ok ? n : 0;
    }
    if (ok) toPixels(video, pixels, pitch);
    return ok ? 1 : 0;
}

void QuarnVideoClose(QuarnVideo* video) {
    if (!video) return;
    QuarnVideoPrivate* p = video->priv;
    if (p && p->stream) {
        uint64_t planeBytes = 0;
        for (int k = 0; k < 4; ++k)
            if (p->present[k]) planeBytes += uint64_t(p->w[k]) * p->h[k];
        quarn::countMemory(p->stream, -int64_t(2 * planeBytes + uint64_t(p->w[kLuma]) * 6 + 64 + sizeof(TorvexFile)));
    }
    freeVideo(video);
}

}  // extern "C"
