// The Huffman encoder behind the tree streams of the animation headers and of compressed sound.
//
// Tree shape matters bit for bit: the readers walk exactly the tree written here, and tests
// compare whole streams. So the sorted list keeps the documented insertion rule, ties included.
#include "kroutil/huffman.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <vector>

#include "base/kro_file_bits.h"
#include "base/mem_block.h"

struct HuffEncoder {
    uint32_t bytesCoded;
    uint32_t workCounter;
    KroFile* output;
    HuffEncoder* low;
    HuffEncoder* high;
    uint32_t lasts[3];
    uint32_t hits[3];      // counting: repeats of lasts[j]; after the build: escape j's value
    uint32_t* weights;     // counting: counts; after the build: bit-reversed codes
    uint8_t* lengths;      // code lengths; 255 marks an escape without a code
    uint8_t hasStats;
    uint8_t tooDeep;
    // Our own bookkeeping.
    uint8_t byteMode;
    uint32_t alphabet;
    void* arrays;
};

namespace {

constexpr uint32_t kNodeBase = 65536;
constexpr uint8_t kNoCode = 255;
constexpr uint32_t kMaxCodeLength = 30;

// Work arrays shared by nested builds (word mode builds its byte sub-encoders inside its own
// build); created by the outermost call and released when it ends.
struct HuffWork {
    int depth = 0;
    uint32_t* nodeWeights = nullptr;
    uint32_t* left = nullptr;
    uint32_t* right = nullptr;
};
HuffWork work;

bool acquireWork() {
    if (work.depth++ > 0) return true;
    work.nodeWeights = static_cast<uint32_t*>(TorvexMemAlloc(65536 * 4));
    work.left = static_cast<uint32_t*>(TorvexMemAlloc(65536 * 4));
    work.right = static_cast<uint32_t*>(TorvexMemAlloc(65536 * 4));
    return work.nodeWeights && work.left && work.right;
}

void releaseWork() {
    if (--work.depth > 0) return;
    TorvexMemFree(work.nodeWeights);
    TorvexMemFree(work.left);
    TorvexMemFree(work.right);
    work = HuffWork{};
}

struct ListItem {
    uint64_t weight;
    uint32_t item;  // a symbol, or kNodeBase + node number
};

// The build keeps its items in a list sorted by descending weight and takes the two lightest
// from its end. An item is inserted behind every item at least as heavy, with one tie rule:
// when every item from the insertion point to the end weighs the same, the first of them moves
// to the end.
//
// The list sorted by descending weight with the insertion rule above, kept as groups of equal
// weight (each in list order) in a map by weight, so that an insertion costs a lookup and not
// a move of every item behind it. The list's end is the lightest group's last item.
class WeightList {
public:
    void insert(ListItem it) {
        // The items behind the insertion point are those lighter than it: when they are one
        // group, its first item moves to its end.
        auto lightest = groups_.begin();
        if (lightest != groups_.end() && lightest->first < it.weight) {
            auto next = std::next(lightest);
            if (next == groups_.end() || next->first >= it.weight) lightest->second.rotate();
        }
        groups_[it.weight].items.push_back(it.item);
        ++size_;
    }
    ListItem popBack() {
        auto lightest = groups_.begin();
        Group& g = lightest->second;
        ListItem last{lightest->first, g.items.back()};
        g.items.pop_back();
        if (g.items.size() == g.head) groups_.erase(lightest);
        --size_;
        return last;
    }
    size_t size() const { return size_; }

private:
    struct Group {
        std::vector<uint32_t> items;  // from items[head] on; the first `head` moved to the end
        size_t head = 0;
        void rotate() { items.push_back(items[head++]); }
    };
    std::map<uint64_t, Group> groups_;
    size_t size_ = 0;
};

void putBits(HuffEncoder* h, uint32_t value, uint32_t count) {
    KroFilePutBits(h->output, value, count);
    h->workCounter += count;
}

void updateLasts(HuffEncoder* h, uint32_t v) {
    if (v != h->lasts[0]) {
        h->lasts[2] = h->lasts[1];
        h->lasts[1] = h->lasts[0];
        h->lasts[0] = v;
    }
}

void writeSymbol(HuffEncoder* h, uint32_t v) {
    if (h->byteMode) {
        putBits(h, v, 8);
    } else {
        HuffEncode(h->low, v & 0xFF);
        HuffEncode(h->high, v >> 8);
    }
}

void writeEscapes(HuffEncoder* h) {
    for (uint32_t j = 0; j < 3; ++j) putBits(h, h->hits[j], 16);
}

void finishBuild(HuffEncoder* h) {
    h->bytesCoded = 0;
    h->workCounter = 0;
}

HuffEncoder* create(bool byteMode) {
    auto* h = static_cast<HuffEncoder*>(TorvexMemAlloc(sizeof(HuffEncoder)));
    if (!h) return nullptr;
    std::memset(h, 0, sizeof *h);
    h->byteMode = byteMode;
    h->alphabet = byteMode ? 256 : 65536;
    h->arrays = TorvexMemAlloc(h->alphabet * 5);
    if (!h->arrays) {
        TorvexMemFree(h);
        return nullptr;
    }
    // The code words first keeps them 4-byte aligned; the lengths follow.
    h->weights = static_cast<uint32_t*>(h->arrays);
    h->lengths = reinterpret_cast<uint8_t*>(h->weights + h->alphabet);
    std::memset(h->arrays, 0, h->alphabet * 5);
    return h;
}

// Builds and writes; the work arrays are held by the caller.
int32_t build(HuffEncoder* h) {
    std::memset(h->lasts, 0, sizeof h->lasts);
    if (!h->hasStats) {
        putBits(h, 0, 1);
        finishBuild(h);
        return 12;
    }
    putBits(h, 1, 1);
    uint32_t* counts = h->weights;
    std::memset(h->lengths, 0, h->alphabet);
    if (!h->byteMode) {
        HuffInitStats(h->low);
        HuffInitStats(h->high);
        // Escapes take values nobody uses, so that no real value is mistaken for a cache slot.
        uint32_t v = 0;
        for (uint32_t j = 0; j < 3; ++j) {
            while (v < 65536 && counts[v] != 0) ++v;
            if (v >= 65536) return -1;  // fewer than three unused values: no correct code exists
            uint32_t hitCount = h->hits[j];
            if (hitCount < 32) h->lengths[v] = kNoCode;
            else counts[v] = hitCount;
            h->hits[j] = v;  // from now on: escape j's value
            ++v;
        }
    }
    WeightList list;
    for (uint32_t v = 0; v < h->alphabet; ++v) {
        if (!counts[v]) continue;
        if (!h->byteMode) {
            HuffAddStat(h->low, v & 0xFF);
            HuffAddStat(h->high, v >> 8);
        }
        list.insert({counts[v], v});
    }
    if (!h->byteMode) {
        if (build(h->low) < 0) return -1;
        if (build(h->high) < 0) return -1;
    }
    if (list.size() == 1) {
        uint32_t sym = list.popBack().item;
        std::memset(counts, 0, h->alphabet * 4);
        h->lengths[sym] = 0;
        if (!h->byteMode) writeEscapes(h);
        putBits(h, 0, 1);
        writeSymbol(h, sym);
        putBits(h, 0, 1);
        finishBuild(h);
        return 20;
    }
    uint32_t nodes = 0;
    while (list.size() >= 2) {
        ListItem last = list.popBack();
        ListItem second = list.popBack();
        work.left[nodes] = second.item;
        work.right[nodes] = last.item;
        uint64_t sum = second.weight + last.weight;
        work.nodeWeights[nodes] = uint32_t(sum);
        list.insert({sum, kNodeBase + nodes});
        ++nodes;
    }
    uint32_t root = list.popBack().item;
    // Codes from the root down: a left branch is 0, a right branch 1, the first branch in bit 0.
    std::memset(counts, 0, h->alphabet * 4);
    struct Visit {
        uint32_t item, depth, code;
    };
    std::vector<Visit> stack{{root, 0, 0}};
    while (!stack.empty()) {
        Visit v = stack.back();
        stack.pop_back();
        if (v.item < kNodeBase) {
            if (v.depth > kMaxCodeLength) {
                h->tooDeep = 1;
                h->lengths[v.item] = uint8_t(std::min<uint32_t>(v.depth, 254));
            } else {
                h->lengths[v.item] = uint8_t(v.depth);
                counts[v.item] = v.code;
            }
            continue;
        }
        uint32_t n = v.item - kNodeBase;
        uint32_t bit = v.depth < 32 ? (1u << v.depth) : 0;
        stack.push_back({work.right[n], v.depth + 1, v.code | bit});
        stack.push_back({work.left[n], v.depth + 1, v.code});
    }
    if (h->tooDeep) return -1;
    if (!h->byteMode) writeEscapes(h);
    putBits(h, 1, 1);
    // Pre-order: each child as 0 + symbol, or 1 + its own children.
    std::vector<uint32_t> pending{work.right[root - kNodeBase], work.left[root - kNodeBase]};
    while (!pending.empty()) {
        uint32_t item = pending.back();
        pending.pop_back();
        if (item < kNodeBase) {
            putBits(h, 0, 1);
            writeSymbol(h, item);
        } else {
            putBits(h, 1, 1);
            pending.push_back(work.right[item - kNodeBase]);
            pending.push_back(work.left[item - kNodeBase]);
        }
    }
    putBits(h, 0, 1);
    finishBuild(h);
    return int32_t(16 + 8 * nodes);
}

}  // namespace

extern "C" {

KRO_API HuffEncoder* HuffOpen(int32_t byteSymbols) {
    HuffEncoder* h = create(byteSymbols != 0);
    if (!h || byteSymbols) return h;
    h->low = create(true);
    h->high = create(true);
    if (!h->low || !h->high) {
        HuffClose(h);
        return nullptr;
    }
    return h;
}

KRO_API void HuffSetOutput(HuffEncoder* h, KroFile* output) {
    if (!h) return;
    h->output = output;
    HuffSetOutput(h->low, output);
    HuffSetOutput(h->high, output);
}

KRO_API void HuffClose(HuffEncoder* h) {
    if (!h) return;
    HuffClose(h->low);
    HuffClose(h->high);
    TorvexMemFree(h->arrays);
    TorvexMemFree(h);
}

KRO_API void HuffInitStats(HuffEncoder* h) {
    if (!h) return;
    std::memset(h->weights, 0, h->alphabet * 4);
    std::memset(h->lasts, 0, sizeof h->lasts);
    std::memset(h->hits, 0, sizeof h->hits);
    h->hasStats = 0;
    // A new block gets a fresh chance: a code too deep for the last block says nothing of this one.
    h->tooDeep = 0;
}

KRO_API void HuffInitLasts(HuffEncoder* h) {
    if (h) std::memset(h->lasts, 0, sizeof h->lasts);
}

KRO_API void HuffAddStat(HuffEncoder* h, uint32_t value) {
    if (!h) return;
    value &= h->alphabet - 1;
    h->hasStats = 1;
    if (h->byteMode) {
        ++h->weights[value];
        return;
    }
    for (uint32_t j = 0; j < 3; ++j) {
        if (h->lasts[j] == value) {
            if (h->weights[value] == 0) h->weights[value] = 1;
            ++h->hits[j];
            if (j) updateLasts(h, value);
            return;
        }
    }
    updateLasts(h, value);
    ++h->weights[value];
}

KRO_API int32_t HuffStartEncode(HuffEncoder* h) {
    if (!h) return -1;
    if (!h->hasStats) return build(h);
    int32_t result = acquireWork() ? build(h) : -1;
    releaseWork();
    return result;
}

KRO_API void HuffEncode(HuffEncoder* h, uint32_t value) {
    if (!h) return;
    value &= h->alphabet - 1;
    uint32_t sym = value;
    if (!h->byteMode) {
        for (uint32_t j = 0; j < 3; ++j) {
            if (h->lasts[j] == value && h->lengths[value] > h->lengths[h->hits[j]]) {
                sym = h->hits[j];
                break;
            }
        }
        updateLasts(h, value);
    }
    uint8_t len = h->lengths[sym];
    if (len && len != kNoCode) {
        KroFilePutBitsInline(h->output, h->weights[sym], len);
        h->workCounter += len;
    }
    h->bytesCoded += h->byteMode ? 1 : 2;
}

}  // extern "C"
