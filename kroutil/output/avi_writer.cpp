// AVI writer. Layout of the file:
//
//   RIFF "AVI "  [header room: LIST hdrl (avih, strl video, strl sound, LIST odml) + JUNK]
//                LIST movi (00pc, 00db, 01wb chunks ..., ix00, ix01)   idx1
//   RIFF "AVIX"  LIST movi (... ix00, ix01)
//   ...
//
// Each stream's strl carries a super index ("indx") that lists the per-part standard indexes
// (ix00, ix01); idx1 describes the first part for readers that know nothing else. The header
// list goes into its room at close, when every count is known.
#include "kroutil/output/avi_writer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bytes/byte_order.h"
#include "kroutil/kro_file.h"

namespace kro {

namespace {

constexpr uint32_t kMaxParts = 256;   // super index entries kept per stream
constexpr uint32_t kMaxSide = 32768;
constexpr uint64_t kMoviStart = 10240; // the header room ends here
constexpr uint32_t kIndexKeyFrame = 0x10;
constexpr uint32_t kIndexNoTime = 0x100;
constexpr uint32_t kHasIndex = 0x10;
constexpr uint32_t kIsInterleaved = 0x100;
constexpr uint32_t kTrustChunkType = 0x800;

using Bytes = std::vector<uint8_t>;

void putId(Bytes& b, const char* id) {
    for (int k = 0; k < 4; ++k) b.push_back(uint8_t(id[k]));
}
void put16(Bytes& b, uint32_t v) { bytes::append16le(b, uint16_t(v)); }
void put32(Bytes& b, uint32_t v) { bytes::append32le(b, v); }
void put64(Bytes& b, uint64_t v) {
    put32(b, uint32_t(v));
    put32(b, uint32_t(v >> 32));
}

struct IxEntry {
    uint32_t offset;  // of the data, from the part's start
    uint32_t size;
};

struct SuperEntry {
    uint64_t offset;  // of the ix chunk
    uint32_t size;    // of the ix chunk with its header
    uint32_t duration;
};

struct StreamState {
    std::vector<IxEntry> part;    // entries of the current part
    std::vector<SuperEntry> parts;
    uint64_t length = 0;          // frames or sample frames written
    uint64_t partLength = 0;
    uint32_t largest = 0;
};

}  // namespace

struct AviWriter {
    KroFile* file = nullptr;
    std::string name;
    AviWriterVideo video;
    uint32_t stride = 0;
    uint32_t imageSize = 0;
    uint64_t partLimit = kAviPartLimit;
    bool failed = false;

    bool sound = false;
    uint32_t rate = 0, bits = 0, channels = 0, block = 0, preload = 0;

    uint64_t pos = 0;          // where the next chunk goes
    uint64_t partStart = 0;    // the current part's RIFF header
    uint64_t moviList = 0;     // the current part's movi LIST header
    uint32_t partNumber = 0;
    uint32_t firstPartFrames = 0;
    Bytes idx1;                // the first part's idx1 entries

    StreamState streams[2];
    bool havePalette = false;
    uint8_t firstColors[1024] = {};
    uint8_t colors[1024] = {};
};

namespace {

void write(AviWriter* w, const void* data, uint32_t n) {
    if (w->failed || n == 0) return;
    if (KroFilePutNB(w->file, data, n) != n || w->file->write_error) w->failed = true;
    w->pos += n;
}

void writeAt(AviWriter* w, uint64_t offset, const void* data, uint32_t n) {
    if (w->failed) return;
    KroFileSetPos(w->file, offset);
    if (KroFilePutNB(w->file, data, n) != n || w->file->write_error) w->failed = true;
    KroFileSetPos(w->file, w->pos);
}

void patch32(AviWriter* w, uint64_t offset, uint32_t v) {
    uint8_t b[4];
    bytes::store32le(b, v);
    writeAt(w, offset, b, 4);
}

void startPart(AviWriter* w, bool first) {
    w->partStart = w->pos;
    Bytes h;
    if (first) {
        putId(h, "RIFF");
        put32(h, 0);
        putId(h, "AVI ");
        write(w, h.data(), uint32_t(h.size()));
        Bytes room(kMoviStart - 12, 0);  // the header list's room, filled at close
        write(w, room.data(), uint32_t(room.size()));
        h.clear();
    } else {
        putId(h, "RIFF");
        put32(h, 0);
        putId(h, "AVIX");
    }
    w->moviList = w->pos + h.size();
    putId(h, "LIST");
    put32(h, 0);
    putId(h, "movi");
    write(w, h.data(), uint32_t(h.size()));
    for (StreamState& s : w->streams) {
        s.part.clear();
        s.partLength = 0;
    }
}

// The part's standard index of one stream, inside its movi list.
void writePartIndex(AviWriter* w, int stream) {
    StreamState& s = w->streams[stream];
    if (s.part.empty()) return;
    if (s.parts.size() >= kMaxParts) {
        w->failed = true;
        return;
    }
    Bytes ix;
    putId(ix, stream == 0 ? "ix00" : "ix01");
    put32(ix, uint32_t(24 + 8 * s.part.size()));
    put16(ix, 2);     // longs per entry
    ix.push_back(0);  // sub type
    ix.push_back(1);  // an index of chunks
    put32(ix, uint32_t(s.part.size()));
    putId(ix, stream == 0 ? "00db" : "01wb");
    put64(ix, w->partStart);
    put32(ix, 0);
    for (const IxEntry& e : s.part) {
        put32(ix, e.offset);
        put32(ix, e.size);  // bit 31 clear: every chunk is a key frame
    }
    s.parts.push_back({w->pos, uint32_t(ix.size()), uint32_t(s.partLength)});
    write(w, ix.data(), uint32_t(ix.size()));
}

void finishPart(AviWriter* w) {
    writePartIndex(w, 0);
    if (w->sound) writePartIndex(w, 1);
    patch32(w, w->moviList + 4, uint32_t(w->pos - w->moviList - 8));
    if (w->partNumber == 0) {
        w->firstPartFrames = uint32_t(w->streams[0].length);
        Bytes h;
        putId(h, "idx1");
        put32(h, uint32_t(w->idx1.size()));
        write(w, h.data(), uint32_t(h.size()));
        write(w, w->idx1.data(), uint32_t(w->idx1.size()));
    }
    patch32(w, w->partStart + 4, uint32_t(w->pos - w->partStart - 8));
}

// Room for a chunk of n bytes (plus its index entries) in the current part, else a new part.
void makeRoom(AviWriter* w, uint64_t n) {
    uint64_t entries = w->streams[0].part.size() + w->streams[1].part.size() + 4;
    uint64_t indexes = 64 + entries * 8 + (w->partNumber == 0 ? 8 + entries * 16 : 0);
    uint64_t used = w->pos - w->partStart;
    if (used + n + 16 + indexes <= w->partLimit) return;
    if (w->streams[0].part.empty() && w->streams[1].part.empty()) return;
    finishPart(w);
    ++w->partNumber;
    startPart(w, false);
}

// One chunk into the movi list, with its entries in the indexes. stream -1: a palette change.
void putChunk(AviWriter* w, const char* id, int stream, const uint8_t* data, uint32_t n, uint32_t flags) {
    uint64_t header = w->pos;
    Bytes h;
    putId(h, id);
    put32(h, n);
    write(w, h.data(), 8);
    // A large chunk goes from the caller's memory straight to the file: with the header still
    // in the buffer, the buffered layer would first copy a buffer's worth of it.
    if (n >= (1u << 16) && !w->failed) KroFileFlush(w->file, 0);
    write(w, data, n);
    if (n & 1) {
        uint8_t pad = 0;
        write(w, &pad, 1);
    }
    if (w->partNumber == 0) {
        putId(w->idx1, id);
        put32(w->idx1, flags);
        put32(w->idx1, uint32_t(header - (w->moviList + 8)));  // from the "movi" word
        put32(w->idx1, n);
    }
    if (stream >= 0) {
        StreamState& s = w->streams[stream];
        s.part.push_back({uint32_t(header + 8 - w->partStart), n});
        s.largest = std::max(s.largest, n);
    }
}

Bytes headerList(const AviWriter* w) {
    const AviWriterVideo& v = w->video;
    const StreamState& vs = w->streams[0];
    const StreamState& as = w->streams[1];
    uint32_t streams = w->sound ? 2 : 1;
    auto superIndex = [](Bytes& b, const char* id, const StreamState& s) {
        putId(b, "indx");
        put32(b, 24 + 16 * kMaxParts);
        put16(b, 4);
        b.push_back(0);
        b.push_back(0);  // an index of indexes
        put32(b, uint32_t(s.parts.size()));
        putId(b, id);
        put32(b, 0);
        put32(b, 0);
        put32(b, 0);
        for (uint32_t k = 0; k < kMaxParts; ++k) {
            SuperEntry e = k < s.parts.size() ? s.parts[k] : SuperEntry{0, 0, 0};
            put64(b, e.offset);
            put32(b, e.size);
            put32(b, e.duration);
        }
    };
    auto list = [](Bytes& b, const char* type, const Bytes& body) {
        putId(b, "LIST");
        put32(b, uint32_t(body.size() + 4));
        putId(b, type);
        b.insert(b.end(), body.begin(), body.end());
    };

    Bytes hdrl;
    putId(hdrl, "avih");
    put32(hdrl, 56);
    put32(hdrl, uint32_t(uint64_t(1000000) * v.rateDen / v.rateNum));
    uint64_t perSecond = (uint64_t(w->imageSize) + 8) * v.rateNum / v.rateDen + uint64_t(w->rate) * w->block;
    put32(hdrl, uint32_t(std::min<uint64_t>(perSecond, 0xFFFFFFFFu)));
    put32(hdrl, 0);
    put32(hdrl, kHasIndex | kTrustChunkType | (w->sound ? kIsInterleaved : 0));
    put32(hdrl, w->firstPartFrames);
    put32(hdrl, 0);
    put32(hdrl, streams);
    put32(hdrl, std::max(vs.largest, as.largest) + 8);
    put32(hdrl, uint32_t(v.width));
    put32(hdrl, uint32_t(v.height));
    for (int k = 0; k < 4; ++k) put32(hdrl, 0);

    Bytes strl;
    putId(strl, "strh");
    put32(strl, 56);
    putId(strl, "vids");
    putId(strl, "DIB ");
    put32(strl, 0);  // flags
    put32(strl, 0);  // priority, language
    put32(strl, 0);  // initial frames
    put32(strl, v.rateDen);
    put32(strl, v.rateNum);
    put32(strl, 0);  // start
    put32(strl, uint32_t(vs.length));
    put32(strl, w->imageSize);
    put32(strl, 0xFFFFFFFFu);  // quality: default
    put32(strl, 0);
    put16(strl, 0);
    put16(strl, 0);
    put16(strl, uint32_t(v.width));
    put16(strl, uint32_t(v.height));
    putId(strl, "strf");
    put32(strl, 40 + (v.bits == 8 ? 1024 : 0));
    put32(strl, 40);
    put32(strl, uint32_t(v.width));
    put32(strl, uint32_t(v.height));
    put16(strl, 1);
    put16(strl, v.bits);
    put32(strl, 0);
    put32(strl, w->imageSize);
    put32(strl, 0);
    put32(strl, 0);
    put32(strl, v.bits == 8 ? 256 : 0);
    put32(strl, 0);
    if (v.bits == 8) strl.insert(strl.end(), w->firstColors, w->firstColors + 1024);
    superIndex(strl, "00db", vs);
    list(hdrl, "strl", strl);

    if (w->sound) {
        Bytes a;
        putId(a, "strh");
        put32(a, 56);
        putId(a, "auds");
        put32(a, 0);
        put32(a, 0);
        put32(a, 0);
        put32(a, w->preload);
        put32(a, w->block);
        put32(a, w->rate * w->block);
        put32(a, 0);
        put32(a, uint32_t(std::min<uint64_t>(as.length, 0xFFFFFFFFu)));
        put32(a, as.largest);
        put32(a, 0xFFFFFFFFu);
        put32(a, w->block);
        for (int k = 0; k < 4; ++k) put16(a, 0);
        putId(a, "strf");
        put32(a, 16);
        put16(a, 1);  // PCM
        put16(a, w->channels);
        put32(a, w->rate);
        put32(a, w->rate * w->block);
        put16(a, w->block);
        put16(a, w->bits);
        superIndex(a, "01wb", as);
        list(hdrl, "strl", a);
    }

    Bytes odml;
    putId(odml, "dmlh");
    put32(odml, 248);
    put32(odml, uint32_t(vs.length));
    odml.resize(odml.size() + 244, 0);
    list(hdrl, "odml", odml);

    Bytes out;
    list(out, "hdrl", hdrl);
    return out;
}

}  // namespace

AviWriter* aviWriterCreate(const char* name, const AviWriterVideo& video, uint64_t partLimit) {
    if (!name || video.width <= 0 || video.height <= 0 || uint32_t(video.width) > kMaxSide ||
        uint32_t(video.height) > kMaxSide || (video.bits != 8 && video.bits != 24) || video.rateNum == 0 ||
        video.rateDen == 0)
        return nullptr;
    uint64_t stride = (uint64_t(video.bits) * uint32_t(video.width) + 31) / 32 * 4;
    // A frame with the header room and its index entries must fit in one part.
    if (stride * uint32_t(video.height) + kMoviStart + 4096 > std::min<uint64_t>(partLimit, 0x7FFFFFFF)) return nullptr;
    AviWriter* w = new (std::nothrow) AviWriter;
    if (!w) return nullptr;
    w->name = name;
    w->video = video;
    w->stride = uint32_t(stride);
    w->imageSize = uint32_t(stride * uint32_t(video.height));
    w->partLimit = partLimit;
    w->file = KroFileCreate(1 << 18, name);
    if (!w->file) {
        delete w;
        return nullptr;
    }
    startPart(w, true);
    return w;
}

bool aviWriterSetSound(AviWriter* w, uint32_t rate, uint32_t bits, uint32_t channels, uint32_t preloadSamples) {
    if (!w || w->sound || rate == 0 || rate > 1000000 || (bits != 8 && bits != 16) || channels < 1 || channels > 2)
        return false;
    w->sound = true;
    w->rate = rate;
    w->bits = bits;
    w->channels = channels;
    w->block = bits * channels / 8;
    w->preload = preloadSamples;
    return true;
}

uint32_t aviWriterPutFrame(AviWriter* w, const uint8_t* pixels, const uint8_t* colors) {
    if (!w || !pixels || w->failed) return 0;
    if (w->video.bits == 8) {
        if (!w->havePalette) {
            if (colors) std::memcpy(w->colors, colors, 1024);
            std::memcpy(w->firstColors, w->colors, 1024);
            w->havePalette = true;
        } else if (colors) {
            // The changed range only: first entry, count (0 for all 256), flags, then R, G, B, 0.
            auto same = [&](int k) { return std::memcmp(colors + k * 4, w->colors + k * 4, 3) == 0; };
            int first = 0, last = 255;
            while (first < 256 && same(first)) ++first;
            while (last > first && same(last)) --last;
            if (first < 256) {
                Bytes pc;
                pc.push_back(uint8_t(first));
                pc.push_back(uint8_t(last - first + 1));  // 256 wraps to 0
                put16(pc, 0);
                for (int k = first; k <= last; ++k) pc.insert(pc.end(), {colors[k * 4 + 2], colors[k * 4 + 1], colors[k * 4], 0});
                std::memcpy(w->colors, colors, 1024);
                makeRoom(w, pc.size() + 8 + w->imageSize + 8);
                putChunk(w, "00pc", -1, pc.data(), uint32_t(pc.size()), kIndexNoTime);
            }
        }
    }
    makeRoom(w, uint64_t(w->imageSize) + 8);
    putChunk(w, "00db", 0, pixels, w->imageSize, kIndexKeyFrame);
    ++w->streams[0].length;
    ++w->streams[0].partLength;
    return w->failed ? 0 : w->imageSize;
}

uint32_t aviWriterPutSound(AviWriter* w, const void* data, uint32_t n) {
    if (!w || !data || !w->sound || w->failed) return 0;
    n -= n % w->block;
    if (n == 0) return 0;
    makeRoom(w, uint64_t(n) + 9);
    putChunk(w, "01wb", 1, static_cast<const uint8_t*>(data), n, kIndexKeyFrame);
    w->streams[1].length += n / w->block;
    w->streams[1].partLength += n / w->block;
    return w->failed ? 0 : n;
}

bool aviWriterFailed(const AviWriter* w) { return !w || w->failed; }

uint32_t aviWriterFrames(const AviWriter* w) { return w ? uint32_t(w->streams[0].length) : 0; }

uint64_t aviWriterClose(AviWriter* w) {
    if (!w) return 0;
    finishPart(w);
    Bytes hdrl;
    try {
        hdrl = headerList(w);
    } catch (const std::bad_alloc&) {
        w->failed = true;
    }
    if (hdrl.size() + 8 > kMoviStart - 12) w->failed = true;
    if (!w->failed) {
        Bytes room(hdrl);
        putId(room, "JUNK");
        put32(room, uint32_t(kMoviStart - 12 - hdrl.size() - 8));
        room.resize(kMoviStart - 12, 0);
        writeAt(w, 12, room.data(), uint32_t(room.size()));
    }
    KroFileFlush(w->file, 0);
    bool failed = w->failed || w->file->write_error;
    uint64_t size = failed ? 0 : w->pos;
    KroFileClose(w->file);
    if (failed) KroFileErase(w->name.c_str());
    delete w;
    return size;
}

}  // namespace kro
