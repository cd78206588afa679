// Frame decoding: the palette change list, the header trees, block painting, the target and
// the dirty rectangles.
#include <bit>
#include <cstring>
#include <vector>

#include "base/mem_block.h"
#include "bytes/bit_reader.h"
#include "codec/torvex.h"

namespace {

constexpr uint32_t kLeaf = 0x80000000u;
constexpr uint32_t kWalk = 0x40000000u;
constexpr uint32_t kMaxInternal = 1u << 20;  // far beyond any real tree (65536 values + 3 slots)
constexpr uint32_t kSubBits = 8;
constexpr uint32_t kWideBits = 16;

// ---- the palette ------------------------------------------------------------------------------

}  // namespace

void TorvexApplyPalette(TorvexFile* f, const uint8_t* chunk, uint32_t length) {
    uint8_t old[768];
    std::memcpy(old, f->palette, sizeof old);
    uint32_t i = 0, p = 1;
    // Commands that run past the chunk or the palette end the list; entries not reached keep
    // their colours.
    while (i < 256 && p < length) {
        uint8_t b = chunk[p++];
        if (b & 0x80) {
            uint32_t count = (b & 0x7Fu) + 1;
            if (count > 256 - i) count = 256 - i;
            i += count;  // the new palette starts as the old one
        } else if (b & 0x40) {
            if (p >= length) break;
            uint32_t from = chunk[p++];
            uint32_t count = (b & 0x3Fu) + 1;
            if (count > 256 - i) count = 256 - i;
            if (count > 256 - from) count = 256 - from;
            std::memcpy(f->palette + 3 * i, old + 3 * from, 3 * count);
            i += count;
        } else {
            if (length - p < 2) break;
            f->palette[3 * i] = TorvexExpand6(b);
            f->palette[3 * i + 1] = TorvexExpand6(chunk[p]);
            f->palette[3 * i + 2] = TorvexExpand6(chunk[p + 1]);
            p += 2;
            ++i;
        }
    }
}

// ---- the trees --------------------------------------------------------------------------------

namespace {

using TreeBits = bytes::BitReaderLsb;

// A tree as parsed: child words with kLeaf + payload or an internal node's index.
struct ParsedTree {
    bool present = false;
    uint32_t root = 0;
    std::vector<uint32_t> nodes;  // 2 per internal node
};

template <typename LeafFn>
bool parsePreorder(TreeBits& in, ParsedTree& t, uint32_t maxInternal, LeafFn leaf) {
    t.present = true;
    t.nodes.clear();
    if (in.bit() == 0) {
        t.root = kLeaf | leaf();
    } else {
        if (maxInternal == 0) return false;
        t.root = 0;
        t.nodes.assign(2, 0);
        struct Item {
            uint32_t node, side;
        };
        std::vector<Item> stack{{0, 0}};
        while (!stack.empty()) {
            Item it = stack.back();
            if (it.side == 0) stack.back().side = 1;
            else stack.pop_back();
            uint32_t b = in.bit();
            if (in.overrun()) return false;
            if (b) {
                uint32_t index = uint32_t(t.nodes.size() / 2);
                if (index >= maxInternal) return false;
                t.nodes.push_back(0);
                t.nodes.push_back(0);
                t.nodes[2 * it.node + it.side] = index;
                stack.push_back({index, 0});
            } else {
                t.nodes[2 * it.node + it.side] = kLeaf | leaf();
            }
        }
    }
    in.bit();  // the closing bit
    return !in.overrun();
}

uint32_t walkByteTree(TreeBits& in, const ParsedTree& t) {
    if (!t.present) return 0;
    uint32_t w = t.root;
    while (!(w & kLeaf)) {
        w = t.nodes[2 * w + in.bit()];
        if (in.overrun()) return 0;
    }
    return w & 0xFF;
}

struct Pending {
    uint32_t node, start, width;
};

// Builds the first-level table and the second-level tables of one parsed value tree: entries
// for codes up to the first level's width, a second-level table (up to 8 more bits) for each node
// at that depth, and node walks beyond.
void buildTables(const ParsedTree& t, uint32_t tableBits, std::vector<uint32_t>& table) {
    table.assign(size_t(1) << tableBits, 0);
    if (t.root & kLeaf) {
        for (auto& e : table) e = t.root;
        return;
    }
    uint32_t count = uint32_t(t.nodes.size() / 2);
    std::vector<uint32_t> height(count, 0);
    for (uint32_t i = count; i-- > 0;) {
        uint32_t h = 0;
        for (int s = 0; s < 2; ++s) {
            uint32_t c = t.nodes[2 * i + s];
            uint32_t ch = (c & kLeaf) ? 1 : height[c] + 1;
            if (ch > h) h = ch;
        }
        height[i] = h;
    }
    struct Item {
        uint32_t word, code, depth;
    };
    std::vector<Pending> pending;
    auto fill = [&](uint32_t base, uint32_t width, uint32_t rootNode, bool allowSub) {
        std::vector<Item> stack{{rootNode, 0, 0}};
        while (!stack.empty()) {
            Item it = stack.back();
            stack.pop_back();
            if (it.word & kLeaf) {
                for (uint32_t k = 0; k < (1u << (width - it.depth)); ++k)
                    table[base + (it.code | (k << it.depth))] = it.word | (it.depth << 24);
                continue;
            }
            if (it.depth == width) {
                if (allowSub) {
                    uint32_t w = height[it.word] < kSubBits ? height[it.word] : kSubBits;
                    uint32_t start = uint32_t(table.size());
                    table[base + it.code] = start | (w << 24);
                    table.resize(table.size() + (size_t(1) << w), 0);
                    pending.push_back({it.word, start, w});
                } else {
                    table[base + it.code] = kWalk | it.word;
                }
                continue;
            }
            stack.push_back({t.nodes[2 * it.word + 1], it.code | (1u << it.depth), it.depth + 1});
            stack.push_back({t.nodes[2 * it.word], it.code, it.depth + 1});
        }
    };
    fill(0, tableBits, t.root, true);
    for (size_t i = 0; i < pending.size(); ++i) fill(pending[i].start, pending[i].width, pending[i].node, false);
}

}  // namespace

void TorvexFreeTrees(TorvexFile* f) {
    if (!f->trees) return;
    f->stats.memInUse -= f->trees->blockSize + uint32_t(sizeof(TorvexTrees));
    TorvexMemFree(f->trees->block);
    f->trees->~TorvexTrees();
    TorvexMemFree(f->trees);
    f->trees = nullptr;
}

bool TorvexDecodeTrees(TorvexFile* f, const uint8_t* data, uint32_t length) {
    TreeBits in(data, length);
    const uint32_t declared[4] = {f->header.mapTreeSize, f->header.colourTreeSize, f->header.fullTreeSize,
                                  f->header.typeTreeSize};
    ParsedTree value[4];
    uint32_t escape[4][3] = {};
    for (int k = 0; k < 4; ++k) {
        if (in.bit() == 0) {
            if (in.overrun()) return false;
            continue;  // absent
        }
        ParsedTree low, high;
        if (in.bit() && !parsePreorder(in, low, 4096, [&] { return in.get(8); })) return false;
        if (in.bit() && !parsePreorder(in, high, 4096, [&] { return in.get(8); })) return false;
        for (auto& e : escape[k]) e = in.get(16);
        if (in.overrun()) return false;
        // The header declares the node storage; a tree that needs more is rejected.
        if (declared[k] < TorvexTreeStorage(0)) return false;
        uint32_t maxInternal = (declared[k] - TorvexTreeStorage(0)) / 8;
        if (maxInternal > kMaxInternal) maxInternal = kMaxInternal;
        const uint32_t* esc = escape[k];
        if (!parsePreorder(in, value[k], maxInternal, [&] {
                uint32_t lo = walkByteTree(in, low);
                uint32_t hi = walkByteTree(in, high);
                uint32_t v = lo | hi << 8;
                for (uint32_t s = 0; s < 3; ++s)
                    if (v == esc[s]) return (s + 1) << 16;  // a cache slot; its value is 0
                return v;
            }))
            return false;
    }
    std::vector<uint32_t> tables[4];
    uint32_t widths[4] = {12, 12, 12, 10};
    uint64_t words = 0;
    for (int k = 0; k < 4; ++k) {
        if (!value[k].present) continue;
        // Trees of many long codes (the full tree of noisy pictures) get one wide table: a
        // single lookup in 256 KB beats two in twice that much.
        if (k != kTreeType && value[k].nodes.size() / 2 > 8192) widths[k] = kWideBits;
        buildTables(value[k], widths[k], tables[k]);
        words += tables[k].size() + value[k].nodes.size();
    }
    if (words * 4 >= 0xFFFFFF00u) return false;
    void* treesMemory = TorvexMemAlloc(sizeof(TorvexTrees));
    if (!treesMemory) return false;
    TorvexTrees* trees = new (treesMemory) TorvexTrees;
    trees->blockSize = uint32_t(words * 4);
    trees->block = words ? TorvexMemAlloc(trees->blockSize) : nullptr;
    if (words && !trees->block) {
        TorvexMemFree(treesMemory);
        return false;
    }
    uint32_t* w = static_cast<uint32_t*>(trees->block);
    for (int k = 0; k < 4; ++k) {
        TorvexTree& t = trees->tree[k];
        if (!value[k].present) continue;
        t.present = 1;
        t.tableBits = uint8_t(widths[k]);
        t.table = w;
        t.tableEntries = uint32_t(tables[k].size());
        std::memcpy(w, tables[k].data(), tables[k].size() * 4);
        w += tables[k].size();
        t.nodes = w;
        t.nodeCount = uint32_t(value[k].nodes.size() / 2);
        if (!value[k].nodes.empty()) std::memcpy(w, value[k].nodes.data(), value[k].nodes.size() * 4);
        w += value[k].nodes.size();
    }
    f->trees = trees;
    f->stats.memInUse += trees->blockSize + uint32_t(sizeof(TorvexTrees));
    if (f->stats.memInUse > f->stats.memPeak) f->stats.memPeak = f->stats.memInUse;
    return true;
}

// ---- the video bit reader ---------------------------------------------------------------------

namespace {

// Bits past the end of the frame read as zero; drawing stops once the reader has overrun.
using BitReader = bytes::BitReaderLsb;

// A tree's decoding state copied into locals for the frame: the painting stores go through
// byte pointers, which would otherwise force the cache and the bit reader out to memory after
// every pixel.
struct LocalTree {
    const uint32_t* table;
    const uint32_t* nodes;
    uint32_t tableBits;
    bool present;
    uint32_t c0, c1, c2;
};

LocalTree localTree(const TorvexTree& t) { return {t.table, t.nodes, t.tableBits, t.present != 0, 0, 0, 0}; }

void storeCache(TorvexTree& t, const LocalTree& l) {
    t.cache[0] = l.c0;
    t.cache[1] = l.c1;
    t.cache[2] = l.c2;
}

inline __attribute__((always_inline)) uint32_t decodeValue(LocalTree& t, BitReader& br) {
    if (!t.present) return 0;  // an absent tree gives 0 without reading bits
    // Both table levels together take at most 24 bits: one refill below 33 loaded bits serves.
    br.ensure(33);
    uint32_t e = t.table[br.peekLoaded(t.tableBits)];
    uint32_t r;
    if (e & kLeaf) {
        br.skipLoaded((e >> 24) & 63);
        r = e;
    } else {
        br.skipLoaded(t.tableBits);
        if (!(e & kWalk)) {
            uint32_t width = (e >> 24) & 31;
            uint32_t e2 = t.table[(e & 0xFFFFFF) + br.peekLoaded(width)];
            if (e2 & kLeaf) {
                br.skipLoaded((e2 >> 24) & 63);
                r = e2;
                goto done;
            }
            br.skipLoaded(width);
            e = e2;
        }
        // Codes longer than both table levels: one bit per node.
        uint32_t n = e & 0xFFFFFF;
        for (;;) {
            uint32_t c = t.nodes[2 * n + br.bit()];
            if (c & kLeaf) {
                r = c;
                break;
            }
            if (br.overrun()) {
                r = kLeaf;
                break;
            }
            n = c;
        }
    }
done:
    uint32_t slot = (r >> 16) & 3;
    uint32_t v = r & 0xFFFF;
    if (slot) v = slot == 1 ? t.c0 : slot == 2 ? t.c1 : t.c2;
    if (v != t.c0) {
        t.c2 = t.c1;
        t.c1 = t.c0;
        t.c0 = v;
    }
    return v;
}

// ---- painting ---------------------------------------------------------------------------------

template <int B>
inline void putRow(uint8_t* dst, const uint8_t* pix, const uint16_t* colours) {
    if constexpr (B == 1) {
        std::memcpy(dst, pix, 4);
    } else {
        uint16_t v[4] = {colours[pix[0]], colours[pix[1]], colours[pix[2]], colours[pix[3]]};
        std::memcpy(dst, v, 8);
    }
}

template <int B, bool Doubled>
struct Painter {
    uint8_t* row0;      // the block's first target row
    int64_t rowStep;    // target bytes from one stored row to the next
    int64_t pitch;      // for the doubled copy
    const uint16_t* colours;

    inline void row(int r, const uint8_t* pix) const {
        uint8_t* d = row0 + rowStep * r;
        putRow<B>(d, pix, colours);
        if constexpr (Doubled) putRow<B>(d + pitch, pix, colours);
    }
    inline void block(const uint8_t pix[16]) const {
        for (int r = 0; r < 4; ++r) row(r, pix + 4 * r);
    }
};

template <int B, bool Doubled>
void drawFrame(TorvexFile* f, TorvexTarget* tg, const BitReader& start) {
    TorvexTree* trees = f->trees->tree;
    LocalTree mapTree = localTree(trees[kTreeMap]);
    LocalTree colourTree = localTree(trees[kTreeColour]);
    LocalTree fullTree = localTree(trees[kTreeFull]);
    LocalTree typeTree = localTree(trees[kTreeType]);
    BitReader br = start;
    const bool v4 = f->header.magic[3] == '4';
    const uint32_t bpr = tg->blocksPerRow;
    const uint32_t total = bpr * tg->blockRows;
    uint8_t* bitmap = tg->bitmap;
    std::memset(bitmap, 0, tg->groups + 1);
    bool any = false;
    Painter<B, Doubled> p{tg->first, tg->rowStep, tg->pitch, tg->colours};
    const int64_t blockRowStep = tg->rowStep * 4;
    uint8_t* rowBase = tg->first;
    uint32_t bx = 0;
    uint32_t b = 0;
    auto next = [&]() {
        if (++bx == bpr) {
            bx = 0;
            rowBase += blockRowStep;
        }
    };
    while (b < total) {
        uint32_t type = decodeValue(typeTree, br);
        if (br.overrun()) break;
        uint32_t n = TorvexRunLength((type >> 2) & 63);
        if (n > total - b) n = total - b;  // a run past the last block is cut there
        uint32_t kind = type & 3;
        if (kind == 2) {  // skip
            b += n;
            bx += n % bpr;
            rowBase += blockRowStep * int64_t(n / bpr);
            if (bx >= bpr) {
                bx -= bpr;
                rowBase += blockRowStep;
            }
            continue;
        }
        uint32_t mode = 0;
        if (kind == 1 && v4) {
            if (br.bit()) mode = 1;
            else if (br.bit()) mode = 2;
        }
        if (br.overrun()) break;
        uint32_t firstGroup = b >> 4;
        uint32_t done = 0;
        uint8_t pix[16];
        if (kind == 3) {  // solid
            std::memset(pix, int(type >> 8) & 0xFF, 16);
            for (; done < n; ++done) {
                p.row0 = rowBase + int64_t(bx) * 4 * B;
                p.block(pix);
                next();
            }
        } else if (kind == 0) {  // mono
            for (; done < n; ++done) {
                uint32_t pair = decodeValue(colourTree, br);
                uint32_t pattern = decodeValue(mapTree, br);
                if (br.overrun()) break;
                uint8_t c[2] = {uint8_t(pair), uint8_t(pair >> 8)};
                for (int i = 0; i < 16; ++i) pix[i] = c[(pattern >> i) & 1];
                p.row0 = rowBase + int64_t(bx) * 4 * B;
                p.block(pix);
                next();
            }
        } else {  // full
            for (; done < n; ++done) {
                if (mode == 0) {
                    for (int r = 0; r < 4; ++r) {
                        uint32_t right = decodeValue(fullTree, br);
                        uint32_t left = decodeValue(fullTree, br);
                        pix[4 * r] = uint8_t(left);
                        pix[4 * r + 1] = uint8_t(left >> 8);
                        pix[4 * r + 2] = uint8_t(right);
                        pix[4 * r + 3] = uint8_t(right >> 8);
                    }
                } else if (mode == 1) {
                    uint32_t first = decodeValue(fullTree, br);
                    uint32_t second = decodeValue(fullTree, br);
                    for (int r = 0; r < 4; ++r) {
                        uint32_t v = r < 2 ? first : second;
                        pix[4 * r] = pix[4 * r + 1] = uint8_t(v);
                        pix[4 * r + 2] = pix[4 * r + 3] = uint8_t(v >> 8);
                    }
                } else {
                    for (int r = 0; r < 4; r += 2) {
                        uint32_t right = decodeValue(fullTree, br);
                        uint32_t left = decodeValue(fullTree, br);
                        pix[4 * r] = pix[4 * r + 4] = uint8_t(left);
                        pix[4 * r + 1] = pix[4 * r + 5] = uint8_t(left >> 8);
                        pix[4 * r + 2] = pix[4 * r + 6] = uint8_t(right);
                        pix[4 * r + 3] = pix[4 * r + 7] = uint8_t(right >> 8);
                    }
                }
                if (br.overrun()) break;
                p.row0 = rowBase + int64_t(bx) * 4 * B;
                p.block(pix);
                next();
            }
        }
        if (done) {
            any = true;
            uint32_t lastGroup = (b + done - 1) >> 4;
            std::memset(bitmap + firstGroup, 1, lastGroup - firstGroup + 1);
        }
        b += done;
        if (done < n) break;  // the data ended inside the run
    }
    f->dirty.anyGroup = any;
    storeCache(trees[kTreeMap], mapTree);
    storeCache(trees[kTreeColour], colourTree);
    storeCache(trees[kTreeFull], fullTree);
    storeCache(trees[kTreeType], typeTree);
}

void buildColours(TorvexFile* f, TorvexTarget* tg) {
    uint32_t format = tg->kind & 0xF0;
    for (int i = 0; i < 256; ++i) {
        uint32_t r = f->palette[3 * i], g = f->palette[3 * i + 1], b = f->palette[3 * i + 2];
        uint16_t v = 0;
        if (format == 0x80) v = uint16_t((r >> 3) << 10 | (g >> 3) << 5 | (b >> 3));
        else if (format == 0xC0) v = uint16_t((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
        tg->colours[i] = v;
    }
}

}  // namespace

void TorvexDrawFrame(TorvexFile* f) {
    TorvexTarget* tg = f->target;
    f->dirty.state = 1;
    f->dirty.group = 0;
    f->dirty.pos = f->dirty.runEnd = 0;
    f->dirty.havePending = 0;
    f->dirty.anyGroup = 0;
    f->dirty.paletteChanged = f->newPalette ? 1 : 0;
    if (!tg || !f->trees) return;
    bool sixteen = (tg->kind & 0xF0) >= 0x40;
    if (sixteen && f->paletteDirty) {
        buildColours(f, tg);
        f->paletteDirty = 0;
    }
    for (auto& t : f->trees->tree) t.cache[0] = t.cache[1] = t.cache[2] = 0;
    uint64_t videoLength = f->video && f->frameSize >= f->videoOffset ? f->frameSize - f->videoOffset : 0;
    BitReader br{f->video, videoLength};
    if (sixteen) {
        if (tg->doubled) drawFrame<2, true>(f, tg, br);
        else drawFrame<2, false>(f, tg, br);
    } else {
        if (tg->doubled) drawFrame<1, true>(f, tg, br);
        else drawFrame<1, false>(f, tg, br);
    }
}

// ---- the target -------------------------------------------------------------------------------

void TorvexFreeTarget(TorvexFile* f) {
    if (!f->target) return;
    f->stats.memInUse -= f->target->allocSize;
    TorvexMemFree(f->target);
    f->target = nullptr;
    f->colourTable = nullptr;
}

int32_t TorvexSetTarget(TorvexFile* f, int32_t x, int32_t y, int32_t pitch, int32_t height, void* buffer,
                        uint32_t targetFlags) {
    if (!f) return 0;
    if (!buffer) {
        TorvexFreeTarget(f);
        return 0;
    }
    bool interlaced = f->openFlags & kTvxForceInterlaced && !(f->openFlags & kTvxForceDoubled);
    bool doubled = f->openFlags & kTvxForceDoubled && !(f->openFlags & kTvxForceInterlaced);
    uint32_t width = f->header.width;
    uint32_t stored = (interlaced || doubled) ? f->header.height / 2 : f->header.height;
    uint32_t bitmapSize = uint32_t(uint64_t(width) * stored / 256 + 32);
    uint32_t need = uint32_t(sizeof(TorvexTarget)) + 512 + bitmapSize;
    TorvexTarget* tg = f->target;
    if (!tg || tg->allocSize < need) {
        void* memory = TorvexMemAlloc(need);
        if (!memory) {
            TorvexFreeTarget(f);
            return 0;
        }
        std::memset(memory, 0, need);
        TorvexTarget* fresh = new (memory) TorvexTarget;
        fresh->allocSize = need;
        fresh->colours = reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(memory) + sizeof(TorvexTarget));
        fresh->bitmap = reinterpret_cast<uint8_t*>(fresh->colours) + 512;
        if (tg) {
            std::memcpy(fresh->colours, tg->colours, 512);  // the 16-bit table moves along
            fresh->kind = tg->kind;
        } else {
            f->paletteDirty = 1;
        }
        TorvexFreeTarget(f);
        f->target = tg = fresh;
        f->stats.memInUse += need;
        if (f->stats.memInUse > f->stats.memPeak) f->stats.memPeak = f->stats.memInUse;
    }
    uint32_t B = targetFlags >= 0x40000000u ? 2 : 1;
    uint8_t kind = uint8_t(B == 2 ? (targetFlags >> 24) & 0xF0 : 0);
    if ((kind & 0xF0) != (tg->kind & 0xF0)) f->paletteDirty = 1;  // the table is for another format
    if (f->header.magic[3] == '4') kind |= 2;
    tg->kind = kind;
    tg->simple = 1;
    tg->doubled = doubled;
    tg->interlaced = interlaced;
    bool bottomUp = targetFlags & 1;
    int64_t P = int64_t(pitch) * (interlaced ? 2 : 1);
    if (bottomUp) P = -P;
    int64_t firstRow = bottomUp ? int64_t(height) - y - 1 : y;
    tg->first = static_cast<uint8_t*>(buffer) + int64_t(pitch) * firstRow + int64_t(B) * x;
    tg->pitch = bottomUp ? -int64_t(pitch) : int64_t(pitch);
    tg->rowStep = doubled ? 2 * tg->pitch : P;
    tg->width = width;
    tg->storedHeight = stored;
    tg->blocksPerRow = width / 4;
    tg->blockRows = stored / 4;
    tg->bitmapSize = bitmapSize;
    uint64_t blocks = uint64_t(tg->blocksPerRow) * tg->blockRows;
    tg->groups = uint32_t((blocks + 15) / 16);
    f->colourTable = tg->colours;
    f->targetX = x;
    f->targetY = y;
    return 1;
}

// ---- dirty rectangles -------------------------------------------------------------------------

namespace {

bool nextStrip(TorvexFile* f, TorvexRect& s) {
    TorvexDirty& d = f->dirty;
    TorvexTarget* tg = f->target;
    uint32_t rowWidth = tg->blocksPerRow * 4;
    for (;;) {
        if (d.pos < d.runEnd) {
            uint32_t row = d.pos / rowWidth, x = d.pos % rowWidth;
            uint32_t len = rowWidth - x;
            if (len > d.runEnd - d.pos) len = d.runEnd - d.pos;
            s = {int32_t(x), int32_t(row * 4), int32_t(x + len), int32_t(row * 4 + 4)};
            d.pos += len;
            return true;
        }
        while (d.group < tg->groups && !tg->bitmap[d.group]) ++d.group;
        if (d.group >= tg->groups) return false;
        uint32_t start = d.group;
        while (d.group < tg->groups && tg->bitmap[d.group]) ++d.group;
        uint64_t totalPixels = uint64_t(tg->blocksPerRow) * tg->blockRows * 4;
        d.pos = start * 64;
        d.runEnd = uint32_t(uint64_t(d.group) * 64 < totalPixels ? uint64_t(d.group) * 64 : totalPixels);
    }
}

int64_t area(const TorvexRect& r) { return int64_t(r.x2 - r.x1) * (r.y2 - r.y1); }
TorvexRect unite(const TorvexRect& a, const TorvexRect& b) {
    return {a.x1 < b.x1 ? a.x1 : b.x1, a.y1 < b.y1 ? a.y1 : b.y1, a.x2 > b.x2 ? a.x2 : b.x2, a.y2 > b.y2 ? a.y2 : b.y2};
}

bool nextRect(TorvexFile* f, int32_t mode, TorvexRect& out) {
    TorvexDirty& d = f->dirty;
    TorvexRect s;
    if (mode == 1) {
        if (!nextStrip(f, s)) return false;
        out = s;
        while (nextStrip(f, s)) out = unite(out, s);
        return true;
    }
    if (d.havePending) {
        s = d.pending;
        d.havePending = 0;
    } else if (!nextStrip(f, s)) {
        return false;
    }
    TorvexRect cur = s;
    int64_t budget = area(s) * 5 / 4;
    while (nextStrip(f, s)) {
        TorvexRect grown = unite(cur, s);
        int64_t grownBudget = budget + area(s) * 5 / 4;
        if (area(grown) <= grownBudget) {
            cur = grown;
            budget = grownBudget;
        } else {
            d.pending = s;
            d.havePending = 1;
            break;
        }
    }
    out = cur;
    return true;
}

// Frame rectangle to target coordinates: 8-pixel alignment, doubled rows, target offsets.
TorvexRect placeRect(TorvexFile* f, TorvexRect r) {
    TorvexTarget* tg = f->target;
    int32_t tx = f->targetX, ty = f->targetY;
    int32_t x = r.x1, w = r.x2 - r.x1;
    int32_t X = x + tx;
    if (X % 8 != 0 && (X & ~7) > tx) {
        int32_t grown = (X & ~7) - tx;
        w += x - grown;
        x = grown;
    }
    if (w % 8 != 0 && ((w + 7) & ~7) < int32_t(f->header.width) - x) w = (w + 7) & ~7;
    int32_t scale = (tg->doubled || tg->interlaced) ? 2 : 1;
    return {x + tx, r.y1 * scale + ty, x + tx + w, r.y2 * scale + ty};
}

void enqueue(TorvexDirty& d, TorvexRect r) {
    for (bool merged = true; merged;) {
        merged = false;
        for (int i = 0; i < d.queued; ++i) {
            const TorvexRect& q = d.queue[i];
            bool vertical = q.x1 == r.x1 && q.x2 == r.x2 && (q.y2 == r.y1 || q.y1 == r.y2);
            bool horizontal = q.y1 == r.y1 && q.y2 == r.y2 && (q.x2 == r.x1 || q.x1 == r.x2);
            if (vertical || horizontal) {
                r = unite(q, r);
                for (int j = i; j + 1 < d.queued; ++j) d.queue[j] = d.queue[j + 1];
                --d.queued;
                merged = true;
                break;
            }
        }
    }
    d.queue[d.queued++] = r;
}

}  // namespace

int32_t TorvexNextDirtyRect(TorvexFile* f, int32_t mode) {
    if (!f) return 0;
    TorvexDirty& d = f->dirty;
    if (!f->target) d.state = 0;
    if (mode != 2) {
        while (d.queued < 4 && d.state != 0) {
            TorvexRect r;
            if (nextRect(f, mode, r)) {
                enqueue(d, placeRect(f, r));
                d.state = 2;
            } else {
                if (!d.anyGroup && d.paletteChanged) enqueue(d, TorvexRect{0, 0, 0, 0});
                d.state = 0;
            }
        }
    } else if (d.state != 0) {
        return 0;
    }
    if (d.queued == 0) return 0;
    TorvexRect r = d.queue[0];
    for (int j = 0; j + 1 < d.queued; ++j) d.queue[j] = d.queue[j + 1];
    --d.queued;
    f->rectX = r.x1;
    f->rectY = r.y1;
    f->rectWidth = r.x2 - r.x1;
    f->rectHeight = r.y2 - r.y1;
    return 1;
}
