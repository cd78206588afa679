// The Torvex writer: block choice against the previous decoded picture, runs, palette change
// lists, and the header trees from the Huffman encoder, in two passes over the frames.
#include "encoder/torvex_writer.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/kro_file_bits.h"
#include "bytes/byte_order.h"
#include "codec/torvex.h"
#include "kroutil/huffman.h"
#include "kroutil/kro_file.h"

namespace {

enum BlockKind : uint32_t { kMono = 0, kFull = 1, kSkip = 2, kSolid = 3 };

// Run codes: the longest run a code allows, taken greedily.
uint32_t runCodeFor(uint32_t remaining) {
    if (remaining >= 2048) return 63;
    if (remaining >= 1024) return 62;
    if (remaining >= 512) return 61;
    if (remaining >= 256) return 60;
    if (remaining >= 128) return 59;
    return remaining > 59 ? 58 : remaining - 1;
}

std::vector<uint8_t> paletteCommands(const uint8_t* old, const uint8_t* now) {
    auto same = [&](uint32_t a, uint32_t b) { return std::memcmp(now + 3 * a, old + 3 * b, 3) == 0; };
    std::vector<uint8_t> out;
    uint32_t i = 0;
    while (i < 256) {
        if (same(i, i)) {
            uint32_t run = 1;
            while (run < 128 && i + run < 256 && same(i + run, i + run)) ++run;
            out.push_back(uint8_t(0x80 | (run - 1)));
            i += run;
            continue;
        }
        uint32_t best = 0, from = 0;
        for (uint32_t j = 0; j < 256 && best < 64; ++j) {
            uint32_t run = 0;
            while (run < 64 && i + run < 256 && j + run < 256 && same(i + run, j + run)) ++run;
            if (run > best) {
                best = run;
                from = j;
            }
        }
        if (best >= 1) {  // two bytes for any copy beat three for one literal
            out.push_back(uint8_t(0x40 | (best - 1)));
            out.push_back(uint8_t(from));
            i += best;
        } else {
            for (int c = 0; c < 3; ++c) out.push_back(uint8_t(now[3 * i + c] >> 2));
            ++i;
        }
    }
    return out;
}

// A stored picture: rows of `width` bytes, `stride` apart (interlaced and doubled input keeps
// its even rows only, so the source's rows are used in place).
struct View {
    const uint8_t* pixels;
    size_t stride;
};

// The 16 pixels of a block as two words: rows 0 and 1, rows 2 and 3 (pixel i in byte i % 8).
struct Block {
    uint64_t top, bottom;
};

inline Block loadBlock(const View& v, uint32_t bx, uint32_t by) {
    const uint8_t* p = v.pixels + size_t(by) * 4 * v.stride + size_t(bx) * 4;
    uint32_t r[4];
    for (int i = 0; i < 4; ++i) std::memcpy(&r[i], p + size_t(i) * v.stride, 4);
    return {uint64_t(r[0]) | uint64_t(r[1]) << 32, uint64_t(r[2]) | uint64_t(r[3]) << 32};
}

// 0x80 in every byte of x that is zero, nothing elsewhere.
inline uint64_t zeroBytes(uint64_t x) {
    constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    return ~(((x & low7) + low7) | x | low7);
}

// Bit i set for byte i of a zeroBytes mask.
inline uint32_t maskBits(uint64_t m) { return uint32_t((((m >> 7) * 0x0102040810204080ull) >> 56) & 0xFF); }

constexpr uint64_t kOnes = 0x0101010101010101ull;

// A block's choice, as kept between the passes: kind | extra << 8, where extra is a solid
// block's colour or a full block's mode.
inline uint16_t choose(const Block& b, int version) {
    uint64_t first = (b.top & 0xFF) * kOnes;
    uint64_t x0 = b.top ^ first, x1 = b.bottom ^ first;
    if ((x0 | x1) == 0) return uint16_t(kSolid | (b.top & 0xFF) << 8);
    // The second colour is the first pixel that differs; a block of two colours is all either.
    uint64_t diff = x0 ? b.top : b.bottom;
    uint64_t nz = x0 ? x0 : x1;
    uint64_t second = ((diff >> (__builtin_ctzll(nz) & ~7)) & 0xFF) * kOnes;
    uint64_t allEither = (zeroBytes(x0) | zeroBytes(b.top ^ second)) & (zeroBytes(x1) | zeroBytes(b.bottom ^ second));
    if (allEither == 0x8080808080808080ull) return kMono;
    if (version != 4) return kFull;
    uint32_t r0 = uint32_t(b.top), r1 = uint32_t(b.top >> 32), r2 = uint32_t(b.bottom), r3 = uint32_t(b.bottom >> 32);
    bool rowsPaired = r0 == r1 && r2 == r3;
    auto pixelsPaired = [](uint32_t r) { return (r & 0xFF) == ((r >> 8) & 0xFF) && ((r >> 16) & 0xFF) == (r >> 24); };
    if (rowsPaired && pixelsPaired(r0) && pixelsPaired(r2)) return kFull | 1 << 8;
    if (rowsPaired) return kFull | 2 << 8;
    return kFull;
}

// Works out a frame's block choices against the previous picture (none: every block is
// painted) and packs them into run items: kind | run code << 2 | extra << 8 (the type value
// with a full block's mode where the type value has no colour).
void chooseRuns(const View& now, const View* prev, uint32_t bpr, uint32_t rows, int version,
                std::vector<uint16_t>& choice, std::vector<uint16_t>& items) {
    uint32_t total = bpr * rows;
    choice.resize(total);
    items.clear();
    for (uint32_t by = 0; by < rows; ++by) {
        uint16_t* c = choice.data() + size_t(by) * bpr;
        if (prev) {
            // A row of blocks that did not change is all skips: the common case of a still
            // background, decided with four comparisons of whole rows.
            bool same = true;
            for (uint32_t r = 0; r < 4 && same; ++r)
                same = std::memcmp(now.pixels + (size_t(by) * 4 + r) * now.stride,
                                   prev->pixels + (size_t(by) * 4 + r) * prev->stride, size_t(bpr) * 4) == 0;
            if (same) {
                std::fill(c, c + bpr, uint16_t(kSkip));
                continue;
            }
        }
        for (uint32_t bx = 0; bx < bpr; ++bx) {
            Block a = loadBlock(now, bx, by);
            if (prev) {
                Block b = loadBlock(*prev, bx, by);
                if (a.top == b.top && a.bottom == b.bottom) {
                    c[bx] = kSkip;
                    continue;
                }
            }
            c[bx] = choose(a, version);
        }
    }
    uint32_t k = 0;
    while (k < total) {
        uint32_t end = k + 1;
        while (end < total && choice[end] == choice[k]) ++end;
        while (k < end) {
            uint32_t code = runCodeFor(end - k);
            items.push_back(uint16_t(choice[k] | code << 2));
            k += TorvexRunLength(code);
        }
    }
}

// Where the symbols of the first pass go: the trees' statistics. Both passes fold every
// symbol into a check value, so that a second pass that differs is caught.
struct StatSink {
    HuffEncoder** enc;
    uint64_t check = 0;
    void fold(uint32_t x) { check = (check ^ x) * 0x9E3779B97F4A7C15ull; }
    void tree(uint32_t t, uint32_t v) {
        fold(t << 16 | v);
        HuffAddStat(enc[t], v);
    }
    void raw(uint32_t v, uint32_t bits) { fold(0x80000000u | bits << 16 | v); }
};

// ... and those of the second pass: the file.
struct CodeSink {
    HuffEncoder** enc;
    KroFile* out;
    uint64_t check = 0;
    void fold(uint32_t x) { check = (check ^ x) * 0x9E3779B97F4A7C15ull; }
    void tree(uint32_t t, uint32_t v) {
        fold(t << 16 | v);
        HuffEncode(enc[t], v);
    }
    void raw(uint32_t v, uint32_t bits) {
        fold(0x80000000u | bits << 16 | v);
        KroFilePutBitsInline(out, v, bits);
    }
};

// A frame's video symbols in bit order, from its run items and its picture.
template <class Sink>
void emitFrame(const uint16_t* items, size_t count, const View& now, uint32_t bpr, int version, Sink& sink,
               TorvexWriterStats* stats) {
    uint32_t k = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t item = items[i];
        uint32_t kind = item & 3, code = (item >> 2) & 63, extra = item >> 8;
        uint32_t n = TorvexRunLength(code);
        sink.tree(kTreeType, kind == kSolid ? item : (item & 0xFF));
        if (kind == kFull && version == 4) {
            // 1 = mode 1; 0 then 1 = mode 2; 0 then 0 = mode 0 (first bit in bit 0)
            if (extra == 1) sink.raw(1, 1);
            else sink.raw(extra == 2 ? 2 : 0, 2);
            if (stats) stats->fullModes[extra] += n;
        }
        if (stats) stats->blocks[kind] += n;
        if (kind == kMono) {
            for (uint32_t at = k; at < k + n; ++at) {
                Block b = loadBlock(now, at % bpr, at / bpr);
                uint32_t first = uint32_t(b.top & 0xFF), second = first;
                uint64_t x0 = b.top ^ first * kOnes, x1 = b.bottom ^ first * kOnes;
                uint64_t nz = x0 ? x0 : x1;
                second = uint32_t(((x0 ? b.top : b.bottom) >> (__builtin_ctzll(nz) & ~7)) & 0xFF);
                uint32_t lo = std::min(first, second), hi = std::max(first, second);
                uint64_t h = hi * kOnes;
                uint32_t pattern = maskBits(zeroBytes(b.top ^ h)) | maskBits(zeroBytes(b.bottom ^ h)) << 8;
                sink.tree(kTreeColour, lo | hi << 8);
                sink.tree(kTreeMap, pattern);
            }
        } else if (kind == kFull) {
            for (uint32_t at = k; at < k + n; ++at) {
                Block b = loadBlock(now, at % bpr, at / bpr);
                uint32_t r[4] = {uint32_t(b.top), uint32_t(b.top >> 32), uint32_t(b.bottom), uint32_t(b.bottom >> 32)};
                if (extra == 0) {
                    for (uint32_t row : r) {
                        sink.tree(kTreeFull, row >> 16);
                        sink.tree(kTreeFull, row & 0xFFFF);
                    }
                } else if (extra == 1) {
                    sink.tree(kTreeFull, (r[0] & 0xFF) | (r[0] >> 8 & 0xFF00));
                    sink.tree(kTreeFull, (r[2] & 0xFF) | (r[2] >> 8 & 0xFF00));
                } else {
                    for (uint32_t row : {r[0], r[2]}) {
                        sink.tree(kTreeFull, row >> 16);
                        sink.tree(kTreeFull, row & 0xFFFF);
                    }
                }
            }
        }
        k += n;
    }
}

bool fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

// A stored picture of our own (the previous frame, frame 0 for the ring frame).
struct Picture {
    std::vector<uint8_t> pixels;
    View view(uint32_t width) const { return {pixels.data(), width}; }
    void take(const View& v, uint32_t width, uint32_t rows) {
        pixels.resize(size_t(width) * rows);
        for (uint32_t r = 0; r < rows; ++r) std::memcpy(&pixels[size_t(r) * width], v.pixels + r * v.stride, width);
    }
};

struct Track {
    TorvexSoundFormat format;
    TorvexSoundSource* source = nullptr;
    std::unique_ptr<TorvexMemorySound> own;
};

}  // namespace

TorvexFrameSource::Status TorvexFrameList::next(TorvexWriterFrame* frame, std::string*) {
    if (at_ >= frames_.size()) return Status::End;
    *frame = frames_[at_++];
    return Status::Frame;
}

void TorvexWriterShownPalette(const uint8_t* palette, uint8_t* shown) {
    for (int i = 0; i < 768; ++i) shown[i] = TorvexExpand6(palette[i] >> 2);
}

struct TorvexStreamWriter::State {
    std::string path;
    uint32_t width = 0, displayed = 0, stored = 0, bpr = 0, rows = 0;
    bool halved = false;
    TorvexWriterOptions options;  // without the tracks
    std::array<Track, kTvxTracks> tracks;
    size_t choiceBudget = 0;
    bool used = false;

    HuffEncoder* enc[4] = {};
    KroFile* out = nullptr;

    // Per frame (ring frame included): the first pass's check value and kept run items.
    struct FrameRecord {
        uint64_t check = 0;
        uint32_t itemsAt = 0;
        uint32_t itemCount = 0;  // kept items; kNotKept: worked out again
        bool kept() const { return itemCount != kNotKept; }
    };
    static constexpr uint32_t kNotKept = 0xFFFFFFFFu;
    std::vector<FrameRecord> records;
    std::vector<uint16_t> kept;  // the kept run items of all frames
    std::vector<uint16_t> choice, items;
    Picture prev, first;
    bool havePrev = false;

    // The file's tables, filled in by the second pass.
    uint32_t treeDataSize = 0;
    std::vector<uint32_t> sizes;
    std::vector<uint8_t> types;
    uint32_t soundFormat[kTvxTracks] = {}, largest[kTvxTracks] = {};

    // The file is written under a name of its own and takes the path's name once complete, so
    // that a failed write leaves an existing file as it was.
    std::string partPath() const { return path + ".part"; }

    ~State() {
        for (auto*& e : enc) HuffClose(e);
        if (out) {
            KroFileClose(out);
            KroFileErase(partPath().c_str());  // a half-written file is worse than none
        }
    }

    View stored0(const TorvexWriterFrame& f) const { return {f.pixels, halved ? 2 * size_t(width) : width}; }

    bool pass1(TorvexFrameSource& src, std::string* error);
    bool pass2(TorvexFrameSource& src, std::string* error, TorvexWriterStats& stats);
    bool finish(std::string* error, TorvexWriterStats& stats);
};

TorvexStreamWriter::TorvexStreamWriter() = default;
TorvexStreamWriter::~TorvexStreamWriter() = default;

bool TorvexStreamWriter::open(const std::string& path, uint32_t width, uint32_t displayedHeight,
                              const TorvexWriterOptions& options, std::string* error) {
    s_.reset();
    if (options.version != 2 && options.version != 4) return fail(error, "the version must be 2 or 4");
    if (width == 0 || displayedHeight == 0 || width > 32768 || displayedHeight > 32768)
        return fail(error, "unusable picture size");
    bool halved = options.display != TorvexDisplay::Normal;
    if (halved && displayedHeight % 2) return fail(error, "interlaced and doubled pictures need an even height");
    if (options.tracks.size() > size_t(kTvxTracks)) return fail(error, "at most 7 sound tracks");
    auto s = std::make_unique<State>();
    s->path = path;
    s->width = width;
    s->displayed = displayedHeight;
    s->halved = halved;
    s->stored = halved ? displayedHeight / 2 : displayedHeight;
    s->bpr = width / 4;
    s->rows = s->stored / 4;
    s->options = options;
    s->options.tracks.clear();
    s->choiceBudget = std::max<size_t>(size_t(width) * s->stored * 4, 256 * 1024);
    for (size_t t = 0; t < options.tracks.size(); ++t) {
        const TorvexWriterTrack& tr = options.tracks[t];
        Track& k = s->tracks[t];
        k.format = tr;
        k.own = std::make_unique<TorvexMemorySound>(tr.pcm.data(), tr.pcm.size());
        k.source = k.own.get();
    }
    for (auto*& e : s->enc) {
        e = HuffOpen(0);
        if (!e) return fail(error, "out of memory");
        HuffInitStats(e);
    }
    s_ = std::move(s);
    return true;
}

bool TorvexStreamWriter::setSound(int track, const TorvexSoundFormat& format, TorvexSoundSource* source,
                                  std::string* error) {
    if (!s_ || s_->used) return fail(error, "the writer is not open");
    if (track < 0 || track >= kTvxTracks) return fail(error, "sound tracks are numbered 0 to 6");
    Track& k = s_->tracks[size_t(track)];
    k.format = format;
    k.own.reset();
    k.source = source;
    return true;
}

void TorvexStreamWriter::setChoiceBudget(size_t bytes) {
    // Item offsets are 32-bit.
    if (s_) s_->choiceBudget = std::min<size_t>(bytes, size_t(1) << 30);
}

bool TorvexStreamWriter::State::pass1(TorvexFrameSource& src, std::string* error) {
    if (!src.rewind(error)) return false;
    StatSink sink{enc};
    havePrev = false;
    // Room for the whole budget at once (untouched room costs no memory): growing by copies
    // would need twice the budget for a moment.
    kept.reserve(choiceBudget / sizeof(uint16_t));
    for (;;) {
        TorvexWriterFrame f;
        std::string why;
        TorvexFrameSource::Status st = src.next(&f, &why);
        if (st == TorvexFrameSource::Status::Failed) return fail(error, why.empty() ? "reading a frame failed" : why);
        bool ring = st == TorvexFrameSource::Status::End;
        if (ring && (records.empty() || !options.ring)) break;
        if (!ring && (!f.pixels || !f.palette)) return fail(error, "a frame has no pixels or no palette");
        if (!ring && records.size() >= 0xFFFFFFF0u) return fail(error, "too many frames");
        View now = ring ? first.view(width) : stored0(f);
        View prevView = prev.view(width);
        chooseRuns(now, havePrev ? &prevView : nullptr, bpr, rows, options.version, choice, items);
        for (auto* e : enc) HuffInitLasts(e);
        sink.check = 0;
        emitFrame(items.data(), items.size(), now, bpr, options.version, sink, nullptr);
        FrameRecord r;
        r.check = sink.check;
        r.itemCount = kNotKept;
        if ((kept.size() + items.size()) * sizeof(uint16_t) <= choiceBudget) {
            r.itemsAt = uint32_t(kept.size());
            r.itemCount = uint32_t(items.size());
            kept.insert(kept.end(), items.begin(), items.end());
        }
        records.push_back(r);
        if (ring) break;
        if (records.size() == 1 && options.ring) first.take(now, width, stored);
        prev.take(now, width, stored);
        havePrev = true;
    }
    if (records.empty()) return fail(error, "no frames to write");
    return true;
}

bool TorvexStreamWriter::write(TorvexFrameSource& frames, std::string* error, TorvexWriterStats* statsOut) {
    if (!s_ || s_->used) return fail(error, "the writer is not open");
    State& s = *s_;
    s.used = true;
    TorvexWriterStats stats;
    bool ok = s.pass1(frames, error) && s.pass2(frames, error, stats) && s.finish(error, stats);
    if (ok && statsOut) *statsOut = stats;
    s_.reset();  // closes the encoders; erases the file unless finish() handed it over
    return ok;
}

bool TorvexStreamWriter::State::pass2(TorvexFrameSource& src, std::string* error, TorvexWriterStats& stats) {
    const size_t count = records.size();
    const uint32_t storedFrames = uint32_t(count - (options.ring ? 1 : 0));

    // The sound: a chunker per track, read in step with the frames.
    std::array<TorvexTrackChunker, kTvxTracks> chunkers;
    std::array<bool, kTvxTracks> sounding{};
    std::array<std::vector<uint8_t>, kTvxTracks> firstChunk;
    {
        int32_t rate = options.frameRate;
        uint32_t period = rate > 0 ? uint32_t(rate) * 100u : rate < 0 ? 0u - uint32_t(rate) : 0u;
        for (size_t t = 0; t < tracks.size(); ++t) {
            // A track without a whole sample frame of sound is not declared: as the lowest
            // track it would hold back the sound of every other track in the player.
            const Track& tr = tracks[t];
            if (!tr.source) continue;
            uint64_t size = tr.source->size();
            bool usable = (tr.format.channels == 1 || tr.format.channels == 2) && (tr.format.bits == 8 || tr.format.bits == 16);
            if (size == 0 || (usable && size < tr.format.channels * tr.format.bits / 8)) continue;
            std::string why;
            if (!chunkers[t].open(tr.format, tr.source, storedFrames, period, &why))
                return fail(error, "sound track " + std::to_string(t) + ": " + why);
            sounding[t] = true;
            soundFormat[t] = chunkers[t].format();
        }
    }

    out = KroFileCreate(65536, partPath().c_str());
    if (!out) return fail(error, "cannot create " + path);
    std::vector<uint8_t> placeholder(kTvxHeaderSize + count * 5, 0);
    KroFilePut(out, placeholder.data(), uint32_t(placeholder.size()));
    uint64_t treeStart = placeholder.size();
    for (int k = 0; k < 4; ++k) {
        HuffSetOutput(enc[k], out);
        int32_t r = HuffStartEncode(enc[k]);
        if (r < 0) {
            static const char* names[4] = {"map", "colour", "full", "type"};
            return fail(error, std::string("the ") + names[k] + " tree cannot be built (a code longer than 30 bits, or all 65536 values in use so that no value is left for the escapes)");
        }
        stats.treeSizes[k] = uint32_t(r);
    }
    KroFileAlign(out, 4);  // frames start on a 4-byte boundary
    treeDataSize = uint32_t(KroFileGetPos(out) - treeStart);

    sizes.assign(count, 0);
    types.assign(count, 0);
    if (!src.rewind(error)) return false;
    const std::string changed = "the frames changed between the two passes over them";
    uint8_t prevShown[768] = {}, shown[768], firstShown[768];
    std::vector<uint8_t> chunk;
    CodeSink sink{enc, out};
    havePrev = false;
    bool allKept = std::all_of(records.begin(), records.end(), [](const FrameRecord& r) { return r.kept(); });
    for (size_t j = 0; j < count; ++j) {
        bool ring = options.ring && j + 1 == count;
        TorvexWriterFrame f;
        View now;
        if (ring) {
            now = first.view(width);
            std::memcpy(shown, firstShown, 768);
        } else {
            std::string why;
            TorvexFrameSource::Status st = src.next(&f, &why);
            if (st == TorvexFrameSource::Status::Failed) return fail(error, why.empty() ? "reading a frame failed" : why);
            if (st == TorvexFrameSource::Status::End || !f.pixels || !f.palette) return fail(error, changed);
            now = stored0(f);
            TorvexWriterShownPalette(f.palette, shown);
            if (j == 0) std::memcpy(firstShown, shown, 768);
        }
        uint64_t start = KroFileGetPos(out);
        bool force = ring ? options.ringForcePalette : f.forcePalette;
        if (force || std::memcmp(prevShown, shown, 768) != 0) {
            std::vector<uint8_t> cmds = paletteCommands(prevShown, shown);
            size_t length = (1 + cmds.size() + 3) & ~size_t(3);
            std::vector<uint8_t> pc(length, 0);
            pc[0] = uint8_t(length / 4);
            std::memcpy(&pc[1], cmds.data(), cmds.size());
            KroFilePut(out, pc.data(), uint32_t(pc.size()));
            types[j] = 1;
            ++stats.paletteChunks;
        }
        std::memcpy(prevShown, shown, 768);
        for (size_t t = 0; t < tracks.size(); ++t) {
            if (!sounding[t]) continue;
            // The ring frame shows frame 0 again and plays on into frame 1: it carries frame
            // 0's sound, the lead the loop needs to stay in time.
            if (ring) {
                chunk = firstChunk[t];
            } else {
                std::string why;
                if (!chunkers[t].next(chunk, &why)) return fail(error, "sound track " + std::to_string(t) + ": " + why);
                if (j == 0 && options.ring) firstChunk[t] = chunk;
            }
            if (chunk.empty()) continue;
            KroFilePut(out, chunk.data(), uint32_t(chunk.size()));
            types[j] |= uint8_t(2u << t);
        }
        for (size_t t = 0; t < tracks.size(); ++t)
            if (sounding[t]) largest[t] = chunkers[t].largest();

        const FrameRecord& r = records[j];
        const uint16_t* runItems;
        size_t runCount;
        if (r.kept()) {
            runItems = kept.data() + r.itemsAt;
            runCount = r.itemCount;
        } else {
            View prevView = prev.view(width);
            chooseRuns(now, havePrev ? &prevView : nullptr, bpr, rows, options.version, choice, items);
            runItems = items.data();
            runCount = items.size();
        }
        for (auto* e : enc) HuffInitLasts(e);
        sink.check = 0;
        emitFrame(runItems, runCount, now, bpr, options.version, sink, &stats);
        if (sink.check != r.check) return fail(error, changed);
        KroFileAlign(out, 4);
        sizes[j] = uint32_t(KroFileGetPos(out) - start);
        if (!allKept && !ring) {
            prev.take(now, width, stored);
            havePrev = true;
        }
    }
    TorvexWriterFrame f;
    std::string why;
    TorvexFrameSource::Status st = src.next(&f, &why);
    if (st == TorvexFrameSource::Status::Failed) return fail(error, why.empty() ? "reading a frame failed" : why);
    if (st != TorvexFrameSource::Status::End) return fail(error, changed);
    return true;
}

bool TorvexStreamWriter::State::finish(std::string* error, TorvexWriterStats& stats) {
    const size_t count = records.size();
    uint8_t header[kTvxHeaderSize] = {};
    std::memcpy(header, options.version == 4 ? "TVX4" : "TVX2", 4);
    bytes::store32le(header + 4, width);
    bytes::store32le(header + 8, stored);
    bytes::store32le(header + 12, uint32_t(count - (options.ring ? 1 : 0)));
    bytes::store32le(header + 16, uint32_t(options.frameRate));
    uint32_t flags = (options.ring ? kTvxHasRing : 0) | (options.display == TorvexDisplay::Interlaced ? kTvxInterlaced : 0) |
                     (options.display == TorvexDisplay::Doubled ? kTvxDoubled : 0);
    bytes::store32le(header + 20, flags);
    for (int t = 0; t < kTvxTracks; ++t) {
        bytes::store32le(header + 24 + 4 * t, largest[t]);
        bytes::store32le(header + 72 + 4 * t, soundFormat[t]);
    }
    bytes::store32le(header + 52, treeDataSize);
    for (int k = 0; k < 4; ++k) bytes::store32le(header + 56 + 4 * k, stats.treeSizes[k]);
    stats.fileSize = KroFileGetPos(out);
    KroFileSetPos(out, 0);
    KroFilePut(out, header, kTvxHeaderSize);
    for (size_t j = 0; j < count; ++j) KroFilePut32(out, sizes[j]);
    KroFilePut(out, types.data(), uint32_t(count));
    bool writeError = out->write_error;
    KroFileClose(out);
    out = nullptr;
    std::string part = partPath();
    if (writeError) {
        KroFileErase(part.c_str());  // a half-written file is worse than none
        return fail(error, "writing " + path + " failed");
    }
    KroFileErase(path.c_str());
    if (KroFileRename(path.c_str(), part.c_str()) != 0) {
        KroFileErase(part.c_str());
        return fail(error, "cannot create " + path);
    }
    return true;
}

bool TorvexWrite(const std::string& path, uint32_t width, uint32_t displayedHeight,
                 const std::vector<TorvexWriterFrame>& frames, const TorvexWriterOptions& options,
                 std::string* error, TorvexWriterStats* stats) {
    if (frames.empty()) return fail(error, "no frames to write");
    TorvexStreamWriter writer;
    if (!writer.open(path, width, displayedHeight, options, error)) return false;
    for (const auto& fr : frames)
        if (!fr.pixels || !fr.palette) return fail(error, "a frame has no pixels or no palette");
    TorvexFrameList list(frames);
    return writer.write(list, error, stats);
}
