// Hand-built AVI files for the tests: RIFF chunks and lists put together byte by byte, so that
// the reader meets layouts our writer never makes (no index, "rec " groups, RLE8, 5-6-5,
// top-down rows, streams that start late, damage).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bytes/byte_order.h"

namespace avibuild {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, uint32_t v) { bytes::append16le(b, uint16_t(v)); }
inline void put32(Bytes& b, uint32_t v) { bytes::append32le(b, v); }
inline void putId(Bytes& b, const char* id) {
    for (int k = 0; k < 4; ++k) b.push_back(uint8_t(id[k]));
}
inline void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

inline Bytes chunk(const char* id, const Bytes& data) {
    Bytes b;
    putId(b, id);
    put32(b, uint32_t(data.size()));
    append(b, data);
    if (data.size() & 1) b.push_back(0);
    return b;
}

inline Bytes list(const char* id, const char* type, const std::vector<Bytes>& children) {
    Bytes body;
    putId(body, type);
    for (const Bytes& c : children) append(body, c);
    Bytes b;
    putId(b, id);
    put32(b, uint32_t(body.size()));
    append(b, body);
    return b;
}

inline Bytes avih(uint32_t usecPerFrame, uint32_t frames, uint32_t streams, uint32_t w, uint32_t h) {
    Bytes d;
    for (uint32_t v : {usecPerFrame, 0u, 0u, 0x10u, frames, 0u, streams, 0u, w, h, 0u, 0u, 0u, 0u}) put32(d, v);
    return chunk("avih", d);
}

struct StreamHeader {
    const char* type = "vids";
    const char* handler = "DIB ";
    uint32_t scale = 1, rate = 15, start = 0, length = 0, sampleSize = 0;
};

inline Bytes strh(const StreamHeader& s) {
    Bytes d;
    putId(d, s.type);
    putId(d, s.handler);
    put32(d, 0);  // flags
    put32(d, 0);  // priority, language
    put32(d, 0);  // initial frames
    put32(d, s.scale);
    put32(d, s.rate);
    put32(d, s.start);
    put32(d, s.length);
    put32(d, 0);  // suggested buffer
    put32(d, 0xFFFFFFFFu);
    put32(d, s.sampleSize);
    for (int k = 0; k < 4; ++k) put16(d, 0);
    return chunk("strh", d);
}

// A bitmap format: header, then masks (bitfields) or a colour table of B, G, R, 0 entries.
inline Bytes strfBitmap(int32_t w, int32_t h, uint32_t bits, uint32_t compression, const Bytes& extra = {}) {
    Bytes d;
    put32(d, 40);
    put32(d, uint32_t(w));
    put32(d, uint32_t(h));
    put16(d, 1);
    put16(d, bits);
    put32(d, compression);
    put32(d, 0);
    put32(d, 0);
    put32(d, 0);
    put32(d, bits == 8 ? uint32_t(extra.size() / 4) : 0);
    put32(d, 0);
    append(d, extra);
    return chunk("strf", d);
}

inline Bytes strfWave(uint32_t channels, uint32_t rate, uint32_t bits) {
    Bytes d;
    uint32_t block = channels * bits / 8;
    put16(d, 1);
    put16(d, channels);
    put32(d, rate);
    put32(d, rate * block);
    put16(d, block);
    put16(d, bits);
    return chunk("strf", d);
}

struct IndexEntry {
    std::string id;
    uint32_t flags;
    uint32_t offset;  // of the chunk header, counted from the "movi" word
    uint32_t size;
};

// A movi list of the given chunks, each optionally inside its own "rec " group, and the idx1
// entries that describe it (offsets from the "movi" word).
struct Movi {
    Bytes list;
    std::vector<IndexEntry> index;
};

struct Piece {
    std::string id;
    Bytes data;
    uint32_t flags = 0x10;
};

inline Movi movi(const std::vector<Piece>& pieces, bool recGroups = false) {
    Movi m;
    Bytes body;
    putId(body, "movi");
    for (const Piece& p : pieces) {
        Bytes c = chunk(p.id.c_str(), p.data);
        if (recGroups) {
            uint32_t at = uint32_t(body.size()) + 12;
            append(body, list("LIST", "rec ", {c}));
            m.index.push_back({p.id, p.flags, at, uint32_t(p.data.size())});
        } else {
            m.index.push_back({p.id, p.flags, uint32_t(body.size()), uint32_t(p.data.size())});
            append(body, c);
        }
    }
    putId(m.list, "LIST");
    put32(m.list, uint32_t(body.size()));
    append(m.list, body);
    return m;
}

inline Bytes idx1(const std::vector<IndexEntry>& entries, uint32_t add) {
    Bytes d;
    for (const IndexEntry& e : entries) {
        putId(d, e.id.c_str());
        put32(d, e.flags);
        put32(d, e.offset + add);
        put32(d, e.size);
    }
    return chunk("idx1", d);
}

enum class IndexKind { Relative, Absolute, None };

// The whole file: RIFF "AVI " with the header list of the given stream lists, the movi list
// and optionally idx1.
inline Bytes file(const Bytes& avihChunk, const std::vector<Bytes>& streamLists, const Movi& m, IndexKind kind) {
    std::vector<Bytes> hdrl{avihChunk};
    for (const Bytes& s : streamLists) hdrl.push_back(s);
    Bytes hdr = list("LIST", "hdrl", hdrl);
    Bytes body;
    putId(body, "AVI ");
    append(body, hdr);
    uint32_t moviWord = uint32_t(12 + hdr.size() + 8);  // file offset of "movi"
    append(body, m.list);
    if (kind == IndexKind::Relative) append(body, idx1(m.index, 0));
    if (kind == IndexKind::Absolute) append(body, idx1(m.index, moviWord));
    Bytes b;
    putId(b, "RIFF");
    put32(b, uint32_t(body.size()));
    append(b, body);
    return b;
}

}  // namespace avibuild
