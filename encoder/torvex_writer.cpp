// The Torvex writer: block choice against the previous decoded picture, runs, palette change
// lists, and the header trees from the Huffman encoder.
#include "encoder/torvex_writer.h"

#include <cstring>

#include "codec/torvex.h"
#include "kroutil/huffman.h"
#include "kroutil/kro_file.h"

namespace {

// One item of a frame's video bitstream, in bit order: a value of a header tree, or raw bits.
struct Symbol {
    uint8_t tree;  // 0..3 a header tree, 4 raw bits
    uint8_t bits;  // raw bits: count
    uint16_t value;
};
constexpr uint8_t kRaw = 4;

struct CodedFrame {
    std::vector<uint8_t> paletteChunk;  // empty: none
    std::vector<Symbol> symbols;
};

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

struct Picture {
    uint32_t width, height;  // stored
    std::vector<uint8_t> pixels;
    const uint8_t* block(uint32_t bx, uint32_t by, uint8_t out[16]) const {
        for (int r = 0; r < 4; ++r) std::memcpy(out + 4 * r, &pixels[size_t(by * 4 + r) * width + bx * 4], 4);
        return out;
    }
};

enum BlockKind : uint32_t { kMono = 0, kFull = 1, kSkip = 2, kSolid = 3 };

struct BlockChoice {
    uint32_t kind;
    uint32_t extra;  // solid colour, or full mode
};

uint32_t fullMode(const uint8_t* p, int version) {
    if (version != 4) return 0;
    bool rowsPaired = std::memcmp(p, p + 4, 4) == 0 && std::memcmp(p + 8, p + 12, 4) == 0;
    bool pixelsPaired = p[0] == p[1] && p[2] == p[3] && p[8] == p[9] && p[10] == p[11];
    if (rowsPaired && pixelsPaired) return 1;
    if (rowsPaired) return 2;
    return 0;
}

void codeBlock(const uint8_t* p, const BlockChoice& c, std::vector<Symbol>& out) {
    auto pair = [&](int a, int b) { return uint16_t(p[a] | p[b] << 8); };
    if (c.kind == kMono) {
        uint8_t lo = p[0], hi = p[0];
        for (int i = 0; i < 16; ++i) {
            if (p[i] < lo) lo = p[i];
            if (p[i] > hi) hi = p[i];
        }
        uint32_t pattern = 0;
        for (int i = 0; i < 16; ++i)
            if (p[i] == hi && hi != lo) pattern |= 1u << i;
        out.push_back({kTreeColour, 0, uint16_t(lo | hi << 8)});
        out.push_back({kTreeMap, 0, uint16_t(pattern)});
    } else if (c.kind == kFull) {
        if (c.extra == 0) {
            for (int r = 0; r < 4; ++r) {
                out.push_back({kTreeFull, 0, pair(4 * r + 2, 4 * r + 3)});
                out.push_back({kTreeFull, 0, pair(4 * r, 4 * r + 1)});
            }
        } else if (c.extra == 1) {
            out.push_back({kTreeFull, 0, pair(0, 2)});
            out.push_back({kTreeFull, 0, pair(8, 10)});
        } else {
            for (int r = 0; r < 4; r += 2) {
                out.push_back({kTreeFull, 0, pair(4 * r + 2, 4 * r + 3)});
                out.push_back({kTreeFull, 0, pair(4 * r, 4 * r + 1)});
            }
        }
    }
}

// Codes one frame's picture against the previous decoded one.
void codePicture(const Picture& now, const Picture* prev, int version, std::vector<Symbol>& out,
                 TorvexWriterStats& stats) {
    uint32_t bpr = now.width / 4, rows = now.height / 4;
    uint32_t total = bpr * rows;
    std::vector<BlockChoice> choice(total);
    uint8_t a[16], b[16];
    for (uint32_t k = 0; k < total; ++k) {
        uint32_t bx = k % bpr, by = k / bpr;
        now.block(bx, by, a);
        if (prev && std::memcmp(a, prev->block(bx, by, b), 16) == 0) {
            choice[k] = {kSkip, 0};
            continue;
        }
        int distinct = 1;
        uint8_t first = a[0], second = 0;
        for (int i = 1; i < 16 && distinct < 3; ++i) {
            if (a[i] == first) continue;
            if (distinct == 1) {
                second = a[i];
                distinct = 2;
            } else if (a[i] != second) {
                distinct = 3;
            }
        }
        if (distinct == 1) choice[k] = {kSolid, first};
        else if (distinct == 2) choice[k] = {kMono, 0};
        else choice[k] = {kFull, fullMode(a, version)};
    }
    uint32_t k = 0;
    while (k < total) {
        uint32_t end = k + 1;
        while (end < total && choice[end].kind == choice[k].kind && choice[end].extra == choice[k].extra) ++end;
        while (k < end) {
            uint32_t code = runCodeFor(end - k);
            uint32_t n = TorvexRunLength(code);
            const BlockChoice& c = choice[k];
            uint32_t extra = c.kind == kSolid ? c.extra : 0;
            out.push_back({kTreeType, 0, uint16_t(c.kind | code << 2 | extra << 8)});
            if (c.kind == kFull && version == 4) {
                // 1 = mode 1; 0 then 1 = mode 2; 0 then 0 = mode 0 (first bit in bit 0)
                if (c.extra == 1) out.push_back({kRaw, 1, 1});
                else out.push_back({kRaw, 2, uint16_t(c.extra == 2 ? 2 : 0)});
                stats.fullModes[c.extra] += n;
            }
            stats.blocks[c.kind] += n;
            for (uint32_t i = 0; i < n; ++i) {
                uint32_t at = k + i;
                codeBlock(now.block(at % bpr, at / bpr, a), c, out);
            }
            k += n;
        }
    }
}

bool fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

}  // namespace

void TorvexWriterShownPalette(const uint8_t* palette, uint8_t* shown) {
    for (int i = 0; i < 768; ++i) shown[i] = TorvexExpand6(palette[i] >> 2);
}

bool TorvexWrite(const std::string& path, uint32_t width, uint32_t displayedHeight,
                 const std::vector<TorvexWriterFrame>& frames, const TorvexWriterOptions& options,
                 std::string* error, TorvexWriterStats* statsOut) {
    TorvexWriterStats stats;
    if (frames.empty()) return fail(error, "no frames to write");
    if (options.version != 2 && options.version != 4) return fail(error, "the version must be 2 or 4");
    if (width == 0 || displayedHeight == 0 || width > 32768 || displayedHeight > 32768)
        return fail(error, "unusable picture size");
    bool halved = options.display != TorvexDisplay::Normal;
    if (halved && displayedHeight % 2) return fail(error, "interlaced and doubled pictures need an even height");
    uint32_t stored = halved ? displayedHeight / 2 : displayedHeight;
    for (const auto& fr : frames)
        if (!fr.pixels || !fr.palette) return fail(error, "a frame has no pixels or no palette");

    // Stored pictures and shown palettes; the ring frame returns to frame 0.
    size_t count = frames.size() + (options.ring ? 1 : 0);
    std::vector<Picture> pictures(count);
    std::vector<std::vector<uint8_t>> palettes(count, std::vector<uint8_t>(768));
    for (size_t j = 0; j < frames.size(); ++j) {
        Picture& p = pictures[j];
        p.width = width;
        p.height = stored;
        p.pixels.resize(size_t(width) * stored);
        for (uint32_t r = 0; r < stored; ++r)
            std::memcpy(&p.pixels[size_t(r) * width], frames[j].pixels + size_t(halved ? 2 * r : r) * width, width);
        TorvexWriterShownPalette(frames[j].palette, palettes[j].data());
    }
    if (options.ring) {
        pictures[count - 1] = pictures[0];
        palettes[count - 1] = palettes[0];
    }

    std::vector<CodedFrame> coded(count);
    std::vector<uint8_t> zero(768, 0);
    for (size_t j = 0; j < count; ++j) {
        const uint8_t* oldPalette = j == 0 ? zero.data() : palettes[j - 1].data();
        bool force = j < frames.size() ? frames[j].forcePalette : options.ringForcePalette;
        if (force || std::memcmp(oldPalette, palettes[j].data(), 768) != 0) {
            std::vector<uint8_t> cmds = paletteCommands(oldPalette, palettes[j].data());
            size_t length = (1 + cmds.size() + 3) & ~size_t(3);
            coded[j].paletteChunk.assign(length, 0);
            coded[j].paletteChunk[0] = uint8_t(length / 4);
            std::memcpy(&coded[j].paletteChunk[1], cmds.data(), cmds.size());
            ++stats.paletteChunks;
        }
        // Frame 0 paints every block: a looping player without a ring frame decodes it again
        // over the last frame's picture.
        codePicture(pictures[j], j == 0 ? nullptr : &pictures[j - 1], options.version, coded[j].symbols, stats);
    }

    // The header trees from the statistics of everything coded; the caches restart every frame.
    HuffEncoder* enc[4] = {};
    auto closeEncoders = [&]() {
        for (auto*& e : enc) {
            HuffClose(e);
            e = nullptr;
        }
    };
    for (auto*& e : enc) {
        e = HuffOpen(0);
        if (!e) {
            closeEncoders();
            return fail(error, "out of memory");
        }
        HuffInitStats(e);
    }
    for (const auto& c : coded) {
        for (auto* e : enc) HuffInitLasts(e);
        for (const Symbol& s : c.symbols)
            if (s.tree != kRaw) HuffAddStat(enc[s.tree], s.value);
    }

    // The sound: chunks per frame for each track.
    if (options.tracks.size() > size_t(kTvxTracks)) {
        closeEncoders();
        return fail(error, "at most 7 sound tracks");
    }
    std::vector<TorvexTrackChunks> sound(options.tracks.size());
    {
        int32_t rate = options.frameRate;
        uint32_t period = rate > 0 ? uint32_t(rate) * 100u : rate < 0 ? 0u - uint32_t(rate) : 0u;
        for (size_t t = 0; t < options.tracks.size(); ++t) {
            // A track without a whole sample frame of sound is not declared: as the lowest
            // track it would hold back the sound of every other track in the player.
            const TorvexWriterTrack& tr = options.tracks[t];
            bool usable = (tr.channels == 1 || tr.channels == 2) && (tr.bits == 8 || tr.bits == 16);
            if (tr.pcm.empty() || (usable && tr.pcm.size() < tr.channels * tr.bits / 8)) continue;
            std::string why;
            if (!TorvexBuildTrackChunks(options.tracks[t], uint32_t(frames.size()), period, &sound[t], &why)) {
                closeEncoders();
                return fail(error, "sound track " + std::to_string(t) + ": " + why);
            }
        }
    }

    KroFile* out = KroFileCreate(65536, path.c_str());
    if (!out) {
        closeEncoders();
        return fail(error, "cannot create " + path);
    }
    uint64_t n = count;
    std::vector<uint8_t> placeholder(kTvxHeaderSize + n * 5, 0);
    KroFilePut(out, placeholder.data(), uint32_t(placeholder.size()));
    uint64_t treeStart = placeholder.size();
    uint32_t treeSizes[4];
    for (int k = 0; k < 4; ++k) {
        HuffSetOutput(enc[k], out);
        int32_t r = HuffStartEncode(enc[k]);
        if (r < 0) {
            KroFileClose(out);
            KroFileErase(path.c_str());
            closeEncoders();
            static const char* names[4] = {"map", "colour", "full", "type"};
            return fail(error, std::string("the ") + names[k] + " tree cannot be built (a code longer than 30 bits, or all 65536 values in use so that no value is left for the escapes)");
        }
        treeSizes[k] = uint32_t(r);
        stats.treeSizes[k] = uint32_t(r);
    }
    KroFileAlign(out, 4);  // frames start on a 4-byte boundary
    uint32_t treeDataSize = uint32_t(KroFileGetPos(out) - treeStart);

    std::vector<uint32_t> sizes(count);
    std::vector<uint8_t> types(count);
    for (size_t j = 0; j < count; ++j) {
        uint64_t start = KroFileGetPos(out);
        const CodedFrame& c = coded[j];
        types[j] = c.paletteChunk.empty() ? 0 : 1;
        if (!c.paletteChunk.empty()) KroFilePut(out, c.paletteChunk.data(), uint32_t(c.paletteChunk.size()));
        for (size_t t = 0; t < sound.size(); ++t) {
            // The ring frame shows frame 0 again and plays on into frame 1: it carries frame
            // 0's sound, the lead the loop needs to stay in time.
            size_t from = options.ring && j == frames.size() ? 0 : j;
            if (from >= sound[t].chunk.size() || sound[t].chunk[from].empty()) continue;
            const auto& a = sound[t].chunk[from];
            KroFilePut(out, a.data(), uint32_t(a.size()));
            types[j] |= uint8_t(2u << t);
        }
        for (auto* e : enc) HuffInitLasts(e);
        for (const Symbol& s : c.symbols) {
            if (s.tree == kRaw) KroFilePutBits(out, s.value, s.bits);
            else HuffEncode(enc[s.tree], s.value);
        }
        KroFileAlign(out, 4);
        sizes[j] = uint32_t(KroFileGetPos(out) - start);
    }
    closeEncoders();

    uint8_t header[kTvxHeaderSize] = {};
    auto put32 = [&](int offset, uint32_t v) {
        for (int i = 0; i < 4; ++i) header[offset + i] = uint8_t(v >> (8 * i));
    };
    std::memcpy(header, options.version == 4 ? "TVX4" : "TVX2", 4);
    put32(4, width);
    put32(8, stored);
    put32(12, uint32_t(frames.size()));
    put32(16, uint32_t(options.frameRate));
    uint32_t flags = (options.ring ? kTvxHasRing : 0) | (options.display == TorvexDisplay::Interlaced ? kTvxInterlaced : 0) |
                     (options.display == TorvexDisplay::Doubled ? kTvxDoubled : 0);
    put32(20, flags);
    for (size_t t = 0; t < sound.size(); ++t) {
        put32(24 + 4 * int(t), sound[t].largest);
        put32(72 + 4 * int(t), sound[t].format);
    }
    put32(52, treeDataSize);
    for (int k = 0; k < 4; ++k) put32(56 + 4 * k, treeSizes[k]);
    stats.fileSize = KroFileGetPos(out);
    KroFileSetPos(out, 0);
    KroFilePut(out, header, kTvxHeaderSize);
    for (size_t j = 0; j < count; ++j) KroFilePut32(out, sizes[j]);
    KroFilePut(out, types.data(), uint32_t(count));
    bool writeError = out->write_error;
    KroFileClose(out);
    if (writeError) {
        KroFileErase(path.c_str());  // a half-written file is worse than none
        return fail(error, "writing " + path + " failed");
    }
    if (statsOut) *statsOut = stats;
    return true;
}
