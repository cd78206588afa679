// AVI reader: the RIFF tree, the stream headers, the indexes and frame and sound delivery.
//
// Every offset and size read from the file is checked against the file's size before use;
// list walks stop at the first chunk that does not fit its parent. Memory held per index entry
// is bounded by the file's size (every stored chunk takes at least 8 bytes of the file), so a
// small file cannot claim millions of frames.
#include "kroutil/input/avi_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bytes/byte_order.h"
#include "kroutil/kro_file.h"

namespace kro {

namespace {

constexpr uint32_t fourcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

constexpr uint32_t kRiff = fourcc("RIFF");
constexpr uint32_t kList = fourcc("LIST");
constexpr uint32_t kFormAvi = fourcc("AVI ");
constexpr uint32_t kFormAvix = fourcc("AVIX");
constexpr uint32_t kHdrl = fourcc("hdrl");
constexpr uint32_t kAvih = fourcc("avih");
constexpr uint32_t kStrl = fourcc("strl");
constexpr uint32_t kStrh = fourcc("strh");
constexpr uint32_t kStrf = fourcc("strf");
constexpr uint32_t kIndx = fourcc("indx");
constexpr uint32_t kMovi = fourcc("movi");
constexpr uint32_t kRec = fourcc("rec ");
constexpr uint32_t kIdx1 = fourcc("idx1");
constexpr uint32_t kVids = fourcc("vids");
constexpr uint32_t kAuds = fourcc("auds");

constexpr uint32_t kIndexKeyFrame = 0x10;
constexpr uint32_t kMaxSide = 32768;
constexpr uint64_t kMaxDibBytes = uint64_t(1) << 30;
constexpr uint32_t kMaxHeaderList = 64u << 20;
constexpr int kMaxDepth = 8;

struct Chunk {
    uint64_t offset;  // of the data, past the 8-byte header
    uint32_t size;
    bool key;
};

struct PaletteChange {
    uint64_t offset;
    uint32_t size;
    uint32_t frame;  // the first video frame it applies to
};

struct Stream {
    uint32_t type = 0;
    uint32_t handler = 0;
    uint32_t scale = 0;
    uint32_t rate = 0;
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t sampleSize = 0;
    std::vector<uint8_t> format;
    std::vector<uint8_t> superIndex;  // the "indx" chunk's data, when present
};

struct MoviList {
    uint64_t begin;  // first byte of the list's chunks
    uint64_t end;    // one past its last byte (clamped to the file)
    uint64_t listId; // offset of the "movi" word, the base of relative idx1 offsets
};

// The two decimal digits of a chunk id name its stream; -1 when they are not digits.
int chunkStream(uint32_t id) {
    int a = int(id & 0xFF) - '0';
    int b = int((id >> 8) & 0xFF) - '0';
    if (a < 0 || a > 9 || b < 0 || b > 9) return -1;
    return a * 10 + b;
}
uint32_t chunkKind(uint32_t id) { return id >> 16; }
constexpr uint32_t kKindPalette = uint32_t('p') | uint32_t('c') << 8;

}  // namespace

struct AviReader {
    // The bytes: a file through the buffered layer, or memory.
    KroFile* file = nullptr;
    const uint8_t* memory = nullptr;
    uint64_t size = 0;

    std::vector<Stream> streams;
    std::vector<MoviList> movis;
    uint64_t idx1Offset = 0;
    uint32_t idx1Size = 0;
    bool haveIdx1 = false;
    uint32_t usecPerFrame = 0;

    int videoStream = -1;
    AviVideoInfo video;
    std::vector<Chunk> frames;
    std::vector<PaletteChange> paletteChanges;
    uint32_t basePalette[256] = {};  // blue, green, red, 0 as stored in the format
    uint32_t baseColors = 0;
    uint32_t masks[3] = {};
    bool is565 = false;

    std::vector<int> soundStreams;
    std::vector<AviSoundInfo> sounds;
    std::vector<std::vector<Chunk>> soundChunks;
    std::vector<std::vector<uint64_t>> soundStarts;  // byte position of each chunk in its stream

    // Frame state: the DIB of the last frame decoded and the palette in force there.
    std::vector<uint8_t> dib;
    AviFrame frame;
    int64_t current = -1;  // frame the DIB holds; -1 none
    std::vector<uint8_t> chunkData;
    uint32_t palette[256] = {};
    size_t paletteNext = 0;    // palette changes applied so far
    int64_t paletteFrame = -1; // frame the palette is for

    std::string error;
};

namespace {

bool readAt(AviReader* r, uint64_t offset, void* dest, uint32_t count) {
    if (count == 0) return true;
    if (offset > r->size || count > r->size - offset) return false;
    if (r->memory) {
        std::memcpy(dest, r->memory + offset, count);
        return true;
    }
    KroFileSetPos(r->file, offset);
    return KroFileGetNB(r->file, dest, count) == count;
}

bool fail(AviReader* r, const char* why) {
    r->error = why;
    return false;
}

// Reads the chunk header at offset: id and size; false when the header is not in the file.
bool chunkHeader(AviReader* r, uint64_t offset, uint32_t& id, uint32_t& size) {
    uint8_t h[8];
    if (!readAt(r, offset, h, 8)) return false;
    id = bytes::load32le(h);
    size = bytes::load32le(h + 4);
    return true;
}

// One stream list of the header list: its stream header, format and super index.
void parseStreamList(const uint8_t* p, size_t n, Stream& s) {
    size_t pos = 0;
    while (pos + 8 <= n) {
        uint32_t id = bytes::load32le(p + pos);
        uint32_t size = bytes::load32le(p + pos + 4);
        size_t avail = n - pos - 8;
        size_t take = std::min<size_t>(size, avail);
        const uint8_t* d = p + pos + 8;
        if (id == kStrh && take >= 36) {
            s.type = bytes::load32le(d);
            s.handler = bytes::load32le(d + 4);
            s.scale = bytes::load32le(d + 20);
            s.rate = bytes::load32le(d + 24);
            s.start = bytes::load32le(d + 28);
            s.length = bytes::load32le(d + 32);
            if (take >= 48) s.sampleSize = bytes::load32le(d + 44);
        } else if (id == kStrf) {
            s.format.assign(d, d + take);
        } else if (id == kIndx) {
            s.superIndex.assign(d, d + take);
        }
        if (size > avail) break;
        pos += 8 + size_t(size) + (size & 1);
    }
}

bool parseHeaderList(AviReader* r, uint64_t offset, uint32_t size) {
    if (size > kMaxHeaderList) return fail(r, "header list too large");
    std::vector<uint8_t> h(size);
    if (!readAt(r, offset, h.data(), size)) return fail(r, "header list cut off");
    size_t pos = 0;
    while (pos + 8 <= h.size()) {
        uint32_t id = bytes::load32le(&h[pos]);
        uint32_t csize = bytes::load32le(&h[pos + 4]);
        size_t avail = h.size() - pos - 8;
        size_t take = std::min<size_t>(csize, avail);
        const uint8_t* d = &h[pos + 8];
        if (id == kAvih && take >= 4) {
            r->usecPerFrame = bytes::load32le(d);
        } else if (id == kList && take >= 4 && bytes::load32le(d) == kStrl) {
            if (r->streams.size() < 100) {
                r->streams.emplace_back();
                parseStreamList(d + 4, take - 4, r->streams.back());
            }
        }
        if (csize > avail) break;
        pos += 8 + size_t(csize) + (csize & 1);
    }
    return true;
}

// Walks one RIFF part's chunks: the header list, the movi list, idx1.
void walkPart(AviReader* r, uint64_t begin, uint64_t end, bool first) {
    uint64_t pos = begin;
    while (pos + 8 <= end) {
        uint32_t id, size;
        if (!chunkHeader(r, pos, id, size)) break;
        uint64_t data = pos + 8;
        uint64_t dataEnd = std::min<uint64_t>(data + size, end);
        if (id == kList && dataEnd >= data + 4) {
            uint8_t t[4];
            if (!readAt(r, data, t, 4)) break;
            uint32_t listType = bytes::load32le(t);
            if (listType == kHdrl && first && r->streams.empty()) {
                parseHeaderList(r, data + 4, uint32_t(dataEnd - data - 4));
            } else if (listType == kMovi) {
                r->movis.push_back({data + 4, dataEnd, data});
            }
        } else if (id == kIdx1 && first && !r->haveIdx1) {
            r->haveIdx1 = true;
            r->idx1Offset = data;
            r->idx1Size = uint32_t(dataEnd - data);
        }
        pos = data + uint64_t(size) + (size & 1);
    }
}

// The bound on index entries that a file of this size can really hold.
size_t entryLimit(const AviReader* r) { return size_t(r->size / 8) + 16; }

// Adds a stored chunk of stream s found in a walk or index.
void addChunk(AviReader* r, int s, uint32_t kind, uint64_t offset, uint32_t size, bool key) {
    if (s < 0) return;
    if (s == r->videoStream) {
        if (kind == kKindPalette) {
            if (r->paletteChanges.size() < entryLimit(r))
                r->paletteChanges.push_back({offset, size, uint32_t(r->frames.size())});
        } else if (r->frames.size() < entryLimit(r)) {
            r->frames.push_back({offset, size, key});
        }
        return;
    }
    for (size_t k = 0; k < r->soundStreams.size(); ++k) {
        if (r->soundStreams[k] == s && r->soundChunks[k].size() < entryLimit(r)) {
            r->soundChunks[k].push_back({offset, size, true});
        }
    }
}

// Walks the chunks of a movi list (and of "rec " lists inside it). onlyPalettes: add just the
// palette changes (the streams' own indexes gave the rest).
void walkMovi(AviReader* r, uint64_t begin, uint64_t end, int depth, bool onlyPalettes) {
    uint64_t pos = begin;
    while (pos + 8 <= end) {
        uint32_t id, size;
        if (!chunkHeader(r, pos, id, size)) break;
        uint64_t data = pos + 8;
        if (id == kList) {
            uint8_t t[4];
            if (size >= 4 && depth < kMaxDepth && readAt(r, data, t, 4) && bytes::load32le(t) == kRec)
                walkMovi(r, data + 4, std::min<uint64_t>(data + size, end), depth + 1, onlyPalettes);
        } else if (data + size <= end) {
            int s = chunkStream(id);
            if (!onlyPalettes || (s == r->videoStream && chunkKind(id) == kKindPalette))
                addChunk(r, s, chunkKind(id), data, size, true);
        } else {
            break;  // a chunk past its list: the file is cut off here
        }
        pos = data + uint64_t(size) + (size & 1);
    }
}

// idx1: 16-byte entries (id, flags, offset of the chunk header, size). The offsets count from
// the file's start or from the movi list's "movi" word; the first entry that names a stream
// tells which, by finding its own id at the place it points to.
bool readIdx1(AviReader* r) {
    if (!r->haveIdx1 || r->movis.empty() || r->idx1Size < 16) return false;
    uint32_t count = r->idx1Size / 16;
    std::vector<uint8_t> idx(size_t(count) * 16);
    if (!readAt(r, r->idx1Offset, idx.data(), uint32_t(idx.size()))) return false;
    uint64_t base = 0;
    bool found = false;
    for (uint32_t k = 0; k < count && !found; ++k) {
        const uint8_t* e = &idx[size_t(k) * 16];
        uint32_t id = bytes::load32le(e);
        if (chunkStream(id) < 0) continue;
        uint64_t off = bytes::load32le(e + 8);
        for (uint64_t candidate : {r->movis[0].listId, uint64_t(0)}) {
            uint32_t seen, seenSize;
            if (chunkHeader(r, candidate + off, seen, seenSize) && seen == id) {
                base = candidate;
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    if (!found) return false;
    for (uint32_t k = 0; k < count; ++k) {
        const uint8_t* e = &idx[size_t(k) * 16];
        uint32_t id = bytes::load32le(e);
        addChunk(r, chunkStream(id), chunkKind(id), base + bytes::load32le(e + 8) + 8, bytes::load32le(e + 12),
                 (bytes::load32le(e + 4) & kIndexKeyFrame) != 0);
    }
    return true;
}

// The large-file extension: a stream's super index lists standard index chunks, each with a
// base offset and (offset, size) pairs whose size has bit 31 set for frames that are not keys.
bool readSuperIndex(AviReader* r, int s) {
    const std::vector<uint8_t>& x = r->streams[size_t(s)].superIndex;
    if (x.size() < 24) return false;
    uint16_t longs = bytes::load16le(&x[0]);
    uint8_t type = x[3];
    uint32_t used = bytes::load32le(&x[4]);
    if (longs != 4 || type != 0) return false;
    used = std::min<uint32_t>(used, uint32_t((x.size() - 24) / 16));
    for (uint32_t k = 0; k < used; ++k) {
        const uint8_t* e = &x[24 + size_t(k) * 16];
        uint64_t off = bytes::load64le(e);
        uint32_t id, size;
        if (!chunkHeader(r, off, id, size) || size < 24) continue;
        uint8_t h[24];
        if (!readAt(r, off + 8, h, 24)) continue;
        if (bytes::load16le(h) != 2 || h[3] != 1) continue;
        uint32_t n = std::min<uint32_t>(bytes::load32le(h + 4), (size - 24) / 8);
        uint32_t chunkId = bytes::load32le(h + 8);
        uint64_t base = bytes::load64le(h + 12);
        uint64_t room = r->size - std::min(r->size, off + 32);
        n = uint32_t(std::min<uint64_t>(n, room / 8));
        std::vector<uint8_t> entries(size_t(n) * 8);
        if (!readAt(r, off + 32, entries.data(), uint32_t(entries.size()))) continue;
        for (uint32_t j = 0; j < n; ++j) {
            uint32_t eo = bytes::load32le(&entries[size_t(j) * 8]);
            uint32_t es = bytes::load32le(&entries[size_t(j) * 8 + 4]);
            addChunk(r, s, chunkKind(chunkId), base + eo, es & 0x7FFFFFFFu, (es & 0x80000000u) == 0);
        }
    }
    return true;
}

uint32_t gcd32(uint32_t a, uint32_t b) {
    while (b) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

void setupVideo(AviReader* r) {
    AviVideoInfo& v = r->video;
    const Stream& s = r->streams[size_t(r->videoStream)];
    v.present = true;
    v.handler = s.handler;
    v.start = s.start;
    v.lengthHeader = s.length;
    uint32_t num = s.rate, den = s.scale;
    if (num == 0 || den == 0) {
        num = 1000000;
        den = r->usecPerFrame;
    }
    if (num == 0 || den == 0) {
        num = 15;
        den = 1;
    }
    uint32_t g = gcd32(num, den);
    v.rateNum = num / g;
    v.rateDen = den / g;
    const std::vector<uint8_t>& f = s.format;
    if (f.size() < 40) return;
    uint32_t headerSize = bytes::load32le(&f[0]);
    int32_t w = int32_t(bytes::load32le(&f[4]));
    int32_t h = int32_t(bytes::load32le(&f[8]));
    v.storedBits = bytes::load16le(&f[14]);
    v.compression = bytes::load32le(&f[16]);
    v.topDown = h < 0;
    v.width = w;
    v.height = h < 0 ? (h == INT32_MIN ? 0 : -h) : h;
    uint32_t clrUsed = bytes::load32le(&f[32]);
    if (v.width <= 0 || v.height <= 0 || uint32_t(v.width) > kMaxSide || uint32_t(v.height) > kMaxSide) {
        v.width = std::max(v.width, 0);
        return;
    }
    bool plain = v.compression == kAviRgb || v.compression == fourcc("DIB ") || v.compression == fourcc("RGB ") ||
                 v.compression == fourcc("RAW ");
    if (v.compression == kAviRle8 && v.storedBits == 8 && !v.topDown) {
        v.decodable = true;
    } else if (plain && (v.storedBits == 8 || v.storedBits == 16 || v.storedBits == 24 || v.storedBits == 32)) {
        v.decodable = true;
    } else if (v.compression == kAviBitfields && (v.storedBits == 16 || v.storedBits == 32) && f.size() >= 52) {
        for (int k = 0; k < 3; ++k) r->masks[k] = bytes::load32le(&f[40 + size_t(k) * 4]);
        if (v.storedBits == 16) {
            r->is565 = r->masks[0] == 0xF800 && r->masks[1] == 0x07E0 && r->masks[2] == 0x001F;
            bool is555 = r->masks[0] == 0x7C00 && r->masks[1] == 0x03E0 && r->masks[2] == 0x001F;
            v.decodable = r->is565 || is555;
        } else {
            v.decodable = r->masks[0] == 0xFF0000 && r->masks[1] == 0xFF00 && r->masks[2] == 0xFF;
        }
    }
    v.outBits = v.storedBits == 8 ? 8 : v.storedBits == 32 ? 32 : 24;
    uint64_t stride = (uint64_t(v.outBits) * uint32_t(v.width) + 31) / 32 * 4;
    if (stride * uint32_t(v.height) > kMaxDibBytes) v.decodable = false;
    if (v.storedBits == 8) {
        uint32_t colors = clrUsed == 0 || clrUsed > 256 ? 256 : clrUsed;
        uint64_t table = std::max<uint32_t>(headerSize, 40);
        for (uint32_t k = 0; k < colors && table + k * 4 + 4 <= f.size(); ++k) {
            r->basePalette[k] = bytes::load32le(&f[size_t(table + k * 4)]) & 0xFFFFFFu;
            r->baseColors = k + 1;
        }
    }
}

void setupSound(AviReader* r) {
    for (size_t k = 0; k < r->streams.size(); ++k) {
        const Stream& s = r->streams[k];
        if (s.type != kAuds) continue;
        AviSoundInfo info;
        info.stream = uint32_t(k);
        info.start = s.start;
        const std::vector<uint8_t>& f = s.format;
        if (f.size() >= 16) {
            info.formatTag = bytes::load16le(&f[0]);
            info.channels = bytes::load16le(&f[2]);
            info.rate = bytes::load32le(&f[4]);
            info.blockAlign = bytes::load16le(&f[12]);
            info.bits = bytes::load16le(&f[14]);
            if (info.blockAlign == 0) info.blockAlign = info.channels * ((info.bits + 7) / 8);
            info.pcm = info.formatTag == 1 && info.channels > 0 && info.rate > 0 && info.blockAlign > 0 &&
                       (info.bits == 8 || info.bits == 16 || info.bits == 24 || info.bits == 32);
        }
        r->soundStreams.push_back(int(k));
        r->sounds.push_back(info);
    }
    r->soundChunks.resize(r->sounds.size());
    r->soundStarts.resize(r->sounds.size());
}

void finishSound(AviReader* r) {
    for (size_t k = 0; k < r->sounds.size(); ++k) {
        uint64_t total = 0;
        r->soundStarts[k].reserve(r->soundChunks[k].size());
        for (const Chunk& c : r->soundChunks[k]) {
            r->soundStarts[k].push_back(total);
            total += c.size;
        }
        r->sounds[k].bytes = total;
        if (r->sounds[k].blockAlign) r->sounds[k].samples = total / r->sounds[k].blockAlign;
    }
}

// Which frame each palette change comes before, by file position, for indexes that do not list
// palette changes themselves.
void placePaletteChanges(AviReader* r) {
    size_t i = 0;
    for (PaletteChange& p : r->paletteChanges) {
        while (i < r->frames.size() && r->frames[i].offset < p.offset) ++i;
        p.frame = uint32_t(i);
    }
}

bool openParsed(AviReader* r) {
    uint32_t id, size;
    uint8_t form[4];
    if (!chunkHeader(r, 0, id, size) || id != kRiff || !readAt(r, 8, form, 4) || bytes::load32le(form) != kFormAvi)
        return fail(r, "not an AVI file");
    uint64_t pos = 0;
    bool first = true;
    while (pos + 12 <= r->size) {
        if (!chunkHeader(r, pos, id, size) || id != kRiff) break;
        if (!readAt(r, pos + 8, form, 4)) break;
        uint32_t type = bytes::load32le(form);
        if (type != (first ? kFormAvi : kFormAvix)) break;
        uint64_t end = std::min<uint64_t>(pos + 8 + uint64_t(size), r->size);
        walkPart(r, pos + 12, end, first);
        if (first && r->streams.empty()) return fail(r, r->error.empty() ? "no stream headers" : r->error.c_str());
        first = false;
        if (size < 4) break;
        pos += 8 + uint64_t(size) + (size & 1);
    }
    for (size_t k = 0; k < r->streams.size(); ++k) {
        if (r->streams[k].type == kVids) {
            r->videoStream = int(k);
            break;
        }
    }
    if (r->videoStream >= 0) setupVideo(r);
    setupSound(r);

    // The streams' own indexes first (large files), else idx1 for the first part, else a walk.
    bool superIndexes = false;
    for (size_t k = 0; k < r->streams.size(); ++k) {
        bool wanted = int(k) == r->videoStream ||
                      std::find(r->soundStreams.begin(), r->soundStreams.end(), int(k)) != r->soundStreams.end();
        if (wanted && !r->streams[k].superIndex.empty()) superIndexes = true;
    }
    if (superIndexes) {
        for (size_t k = 0; k < r->streams.size(); ++k) readSuperIndex(r, int(k));
        if (r->videoStream >= 0 && r->video.storedBits == 8) {
            for (const MoviList& m : r->movis) walkMovi(r, m.begin, m.end, 0, true);
            placePaletteChanges(r);
        }
    } else if (readIdx1(r)) {
        // idx1 covers the first part only: later parts are walked.
        for (size_t k = 1; k < r->movis.size(); ++k) walkMovi(r, r->movis[k].begin, r->movis[k].end, 0, false);
    } else {
        r->frames.clear();
        r->paletteChanges.clear();
        for (auto& c : r->soundChunks) c.clear();
        for (const MoviList& m : r->movis) walkMovi(r, m.begin, m.end, 0, false);
    }
    r->video.frames = uint32_t(r->frames.size());
    r->video.paletteChanges = !r->paletteChanges.empty();
    finishSound(r);
    std::memcpy(r->palette, r->basePalette, sizeof r->palette);
    return true;
}

AviReader* finishOpen(AviReader* r, const char** why) {
    static thread_local std::string reason;
    bool ok = false;
    try {
        ok = openParsed(r);
    } catch (const std::bad_alloc&) {
        r->error = "out of memory";
    }
    if (ok) return r;
    reason = r->error;
    if (why) *why = reason.c_str();
    aviClose(r);
    return nullptr;
}

// ---- frame decoding -------------------------------------------------------------------------

void applyPalette(AviReader* r, const PaletteChange& p) {
    uint32_t n = std::min<uint32_t>(p.size, 4 + 256 * 4);
    uint8_t buf[4 + 256 * 4];
    if (n < 4 || !readAt(r, p.offset, buf, n)) return;
    uint32_t firstEntry = buf[0];
    uint32_t count = buf[1] ? buf[1] : 256;
    count = std::min(count, 256 - firstEntry);
    count = std::min(count, (n - 4) / 4);
    for (uint32_t k = 0; k < count; ++k) {
        const uint8_t* e = buf + 4 + k * 4;  // red, green, blue, flags
        r->palette[firstEntry + k] = uint32_t(e[2]) | uint32_t(e[1]) << 8 | uint32_t(e[0]) << 16;
    }
}

// Brings the palette to the one in force at frame n.
void paletteAt(AviReader* r, uint32_t n) {
    if (int64_t(n) < r->paletteFrame) {
        std::memcpy(r->palette, r->basePalette, sizeof r->palette);
        r->paletteNext = 0;
    }
    while (r->paletteNext < r->paletteChanges.size() && r->paletteChanges[r->paletteNext].frame <= n)
        applyPalette(r, r->paletteChanges[r->paletteNext++]);
    r->paletteFrame = n;
}

bool ensureDib(AviReader* r) {
    if (!r->dib.empty()) return true;
    const AviVideoInfo& v = r->video;
    uint32_t stride = (v.outBits * uint32_t(v.width) + 31) / 32 * 4;
    size_t table = v.outBits == 8 ? 1024 : 0;
    size_t total = 40 + table + size_t(stride) * uint32_t(v.height);
    try {
        r->dib.assign(total, 0);
    } catch (const std::bad_alloc&) {
        return fail(r, "out of memory");
    }
    KroBitmapInfoHeader h{};
    h.size = 40;
    h.width = v.width;
    h.height = v.height;
    h.planes = 1;
    h.bit_count = uint16_t(v.outBits);
    h.size_image = stride * uint32_t(v.height);
    h.clr_used = v.outBits == 8 ? 256 : 0;
    std::memcpy(r->dib.data(), &h, sizeof h);
    r->frame.dib = r->dib.data();
    r->frame.header = reinterpret_cast<const KroBitmapInfoHeader*>(r->dib.data());
    r->frame.colors = table ? r->dib.data() + 40 : nullptr;
    r->frame.pixels = r->dib.data() + 40 + table;
    r->frame.stride = stride;
    return true;
}

uint8_t* pixelRow(AviReader* r, uint32_t bottomUpRow) {
    return r->dib.data() + 40 + (r->video.outBits == 8 ? 1024 : 0) + size_t(bottomUpRow) * r->frame.stride;
}

// RLE8 over the previous picture: runs, end of line, end of picture, moves and literal runs;
// everything that would land outside the picture is dropped.
void decodeRle8(AviReader* r, const uint8_t* p, size_t n) {
    const int32_t w = r->video.width, h = r->video.height;
    int32_t x = 0, y = 0;
    size_t i = 0;
    while (i + 1 < n) {
        uint8_t a = p[i], b = p[i + 1];
        i += 2;
        if (a) {
            if (y < h) {
                uint8_t* row = pixelRow(r, uint32_t(y));
                int32_t run = std::min<int32_t>(a, std::max(0, w - x));
                if (run > 0) std::memset(row + x, b, size_t(run));
            }
            x += a;
        } else if (b == 0) {
            x = 0;
            ++y;
        } else if (b == 1) {
            return;
        } else if (b == 2) {
            if (i + 1 >= n) return;
            x += p[i];
            y += p[i + 1];
            i += 2;
        } else {
            size_t avail = std::min<size_t>(b, n - i);
            if (y < h && x < w) {
                uint8_t* row = pixelRow(r, uint32_t(y));
                size_t run = std::min<size_t>(avail, size_t(w - x));
                std::memcpy(row + x, p + i, run);
            }
            x += b;
            i += b + (b & 1);
        }
        if (y >= h) return;
    }
}

bool decodeFrame(AviReader* r, uint32_t n) {
    const Chunk& c = r->frames[n];
    if (c.size == 0) return true;  // repeats the previous frame
    const AviVideoInfo& v = r->video;
    if (c.offset > r->size || c.size > r->size - c.offset) return fail(r, "frame data outside the file");
    uint32_t w = uint32_t(v.width), h = uint32_t(v.height);
    uint64_t srcStride = (uint64_t(v.storedBits) * w + 31) / 32 * 4;
    // Only what the picture can use is read: a huge chunk costs no huge buffer.
    uint64_t useful = v.compression == kAviRle8 ? uint64_t(w) * h * 4 + uint64_t(h) * 4 + 1024 : srcStride * h;
    if (v.compression != kAviRle8 && c.size < useful) return fail(r, "frame data too short");
    uint32_t take = uint32_t(std::min<uint64_t>(c.size, useful));
    try {
        if (r->chunkData.size() < take) r->chunkData.resize(take);
    } catch (const std::bad_alloc&) {
        return fail(r, "out of memory");
    }
    if (!readAt(r, c.offset, r->chunkData.data(), take)) return fail(r, "frame data cannot be read");
    const uint8_t* src = r->chunkData.data();
    if (v.compression == kAviRle8) {
        decodeRle8(r, src, take);
        return true;
    }
    for (uint32_t y = 0; y < h; ++y) {
        // Stored rows are bottom-up unless the height was negative.
        const uint8_t* s = src + size_t(v.topDown ? h - 1 - y : y) * srcStride;
        uint8_t* d = pixelRow(r, y);
        switch (v.storedBits) {
            case 8:
            case 24:
            case 32:
                std::memcpy(d, s, size_t(w) * (v.storedBits / 8));
                break;
            case 16:
                for (uint32_t x = 0; x < w; ++x) {
                    uint32_t px = bytes::load16le(s + x * 2);
                    uint32_t red, green, blue = px & 31;
                    if (r->is565) {
                        red = px >> 11;
                        green = (px >> 5) & 63;
                        d[x * 3 + 1] = uint8_t(green << 2 | green >> 4);
                    } else {
                        red = (px >> 10) & 31;
                        green = (px >> 5) & 31;
                        d[x * 3 + 1] = uint8_t(green << 3 | green >> 2);
                    }
                    d[x * 3] = uint8_t(blue << 3 | blue >> 2);
                    d[x * 3 + 2] = uint8_t(red << 3 | red >> 2);
                }
                break;
        }
    }
    return true;
}

// A frame that does not need the frames before it.
bool standsAlone(const AviReader* r, uint32_t n) {
    const Chunk& c = r->frames[n];
    if (c.size == 0) return false;
    return r->video.compression != kAviRle8 || c.key;
}

}  // namespace

AviReader* aviOpen(const char* name, const char** why) {
    if (why) *why = "cannot open the file";
    if (!name) return nullptr;
    KroFile* f = KroFileOpen(1 << 16, name, KRO_FILE_READ);
    if (!f) return nullptr;
    AviReader* r = new (std::nothrow) AviReader;
    if (!r) {
        KroFileClose(f);
        return nullptr;
    }
    r->file = f;
    r->size = KroFileSize(f);
    return finishOpen(r, why);
}

AviReader* aviOpenMemory(const uint8_t* data, size_t size, const char** why) {
    if (why) *why = "no data";
    if (!data) return nullptr;
    AviReader* r = new (std::nothrow) AviReader;
    if (!r) return nullptr;
    r->memory = data;
    r->size = size;
    return finishOpen(r, why);
}

void aviClose(AviReader* r) {
    if (!r) return;
    if (r->file) KroFileClose(r->file);
    delete r;
}

const AviVideoInfo& aviVideo(const AviReader* r) {
    static const AviVideoInfo none;
    return r ? r->video : none;
}

uint32_t aviSoundCount(const AviReader* r) { return r ? uint32_t(r->sounds.size()) : 0; }

const AviSoundInfo* aviSound(const AviReader* r, uint32_t index) {
    if (!r || index >= r->sounds.size()) return nullptr;
    return &r->sounds[index];
}

uint32_t aviFrameStoredSize(const AviReader* r, uint32_t frame) {
    if (!r || frame >= r->frames.size()) return 0;
    return r->frames[frame].size;
}

const char* aviError(const AviReader* r) { return r ? r->error.c_str() : "no reader"; }

uint64_t aviFileSize(const AviReader* r) { return r ? r->size : 0; }

const AviFrame* aviReadFrame(AviReader* r, uint32_t n) {
    if (!r) return nullptr;
    r->error.clear();
    if (!r->video.present || n >= r->frames.size()) {
        fail(r, "no such frame");
        return nullptr;
    }
    if (!r->video.decodable) {
        fail(r, "the frames use a compression this reader does not decode");
        return nullptr;
    }
    if (!ensureDib(r)) return nullptr;
    if (r->current != int64_t(n)) {
        // Back to the nearest frame that stands alone, unless the picture held already lies on
        // the way from there.
        int64_t held = r->current < int64_t(n) ? r->current : -1;
        int64_t from = n;
        while (from > held && !standsAlone(r, uint32_t(from))) --from;
        if (from >= 0 && from == held) {
            ++from;
        } else {
            // A fresh start: nothing of an unrelated picture may show through.
            std::memset(pixelRow(r, 0), 0, size_t(r->frame.stride) * uint32_t(r->video.height));
            from = std::max<int64_t>(from, 0);
        }
        bool ok = true;
        for (int64_t k = from; k <= int64_t(n); ++k) {
            ok = decodeFrame(r, uint32_t(k));
            if (!ok && k < int64_t(n)) ok = true, r->error.clear();  // damage on the way: go on
        }
        if (!ok) {
            r->current = -1;
            return nullptr;
        }
        r->current = n;
    }
    if (r->video.outBits == 8) {
        paletteAt(r, n);
        for (int k = 0; k < 256; ++k) bytes::store32le(r->dib.data() + 40 + k * 4, r->palette[k]);
    }
    r->frame.storedBytes = r->frames[n].size;
    r->frame.frame = n;
    return &r->frame;
}

uint32_t aviReadSound(AviReader* r, uint32_t index, uint64_t position, void* dest, uint32_t count) {
    if (!r || !dest || index >= r->sounds.size()) return 0;
    const AviSoundInfo& s = r->sounds[index];
    if (!s.pcm) {
        fail(r, "the sound is not PCM");
        return 0;
    }
    auto* out = static_cast<uint8_t*>(dest);
    uint32_t done = 0;
    // Before the stream's start: silence.
    if (position < s.start) {
        uint64_t gap = std::min<uint64_t>(s.start - position, count);
        std::memset(out, s.bits == 8 ? 0x80 : 0, size_t(gap) * s.blockAlign);
        out += size_t(gap) * s.blockAlign;
        done += uint32_t(gap);
        position += gap;
    }
    uint64_t sample = position - s.start;
    if (sample >= s.samples) return done;
    uint32_t want = uint32_t(std::min<uint64_t>(count - done, s.samples - sample));
    uint64_t byte = sample * s.blockAlign;
    uint64_t left = uint64_t(want) * s.blockAlign;
    const std::vector<uint64_t>& starts = r->soundStarts[index];
    const std::vector<Chunk>& chunks = r->soundChunks[index];
    size_t k = size_t(std::upper_bound(starts.begin(), starts.end(), byte) - starts.begin());
    if (k == 0) return done;
    --k;
    uint64_t copied = 0;
    while (left && k < chunks.size()) {
        uint64_t inChunk = byte - starts[k];
        uint64_t n = std::min<uint64_t>(chunks[k].size - inChunk, left);
        if (n && !readAt(r, chunks[k].offset + inChunk, out + copied, uint32_t(n))) {
            fail(r, "sound data cannot be read");
            break;
        }
        copied += n;
        byte += n;
        left -= n;
        ++k;
    }
    return done + uint32_t(copied / s.blockAlign);
}

}  // namespace kro
