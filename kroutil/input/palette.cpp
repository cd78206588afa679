#include "kroutil/input/palette.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#include <vector>

namespace kro {

const uint8_t kSystemColours[20][3] = {
    {0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128},
    {128, 0, 128},   {0, 128, 128},   {192, 192, 192}, {192, 220, 192}, {166, 202, 240},
    {255, 251, 240}, {160, 160, 164}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0},
    {255, 255, 0},   {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};

void writeSystemColours(uint8_t* palette) {
    if (palette == nullptr) return;
    for (int i = 0; i < 10; ++i) std::memcpy(palette + 3 * i, kSystemColours[i], 3);
    for (int i = 0; i < 10; ++i) std::memcpy(palette + 3 * (246 + i), kSystemColours[10 + i], 3);
}

namespace {

// The part of [start, start + count) that lies in the palette.
void clampRange(int32_t& start, int32_t& count) {
    const int64_t end = std::clamp<int64_t>(int64_t(start) + std::max(count, 0), 0, 256);
    start = std::clamp(start, 0, 256);
    count = int32_t(std::max<int64_t>(0, end - start));
}

inline uint32_t codeOfEntry(const uint8_t* palette, int32_t e) {
    return colourCode(palette[3 * e], palette[3 * e + 1], palette[3 * e + 2]);
}

}  // namespace

ReservedEntries reservedEntries(int32_t start, int32_t count, int32_t option) {
    ReservedEntries r;
    clampRange(start, count);
    r.start = start;
    r.count = count;
    if (option == 2) return r;
    r.low = start < 10 ? std::min(10 - start, count) : 0;
    r.high = start + count > 246 ? std::min(start + count - 246, count - r.low) : 0;
    return r;
}

void usageWeights(const uint8_t* pixels, ptrdiff_t pitch, int32_t width, int32_t rows,
                  uint64_t outside, uint64_t weights[256]) {
    std::fill(weights, weights + 256, uint64_t(0));
    if (pixels != nullptr)
        for (int32_t y = 0; y < rows; ++y) {
            const uint8_t* row = pixels + pitch * y;
            for (int32_t x = 0; x < width; ++x) ++weights[row[x]];
        }
    weights[0] += outside;
}

// ---- Histogram -------------------------------------------------------------------------

Histogram::Histogram() : counts_(new (std::nothrow) uint64_t[kColourCodes]()) {}

void Histogram::clear() {
    if (counts_) std::fill(counts_.get(), counts_.get() + kColourCodes, uint64_t(0));
}

void Histogram::addIndexedRow(const uint8_t* row, int32_t n, const uint8_t* palette) {
    if (!counts_) return;
    for (int32_t i = 0; i < n; ++i) {
        uint32_t e = row[i];
        counts_[palette ? codeOfEntry(palette, int32_t(e)) : colourCode(e, e, e)] += 1;
    }
}

void Histogram::addNibbleRow(const uint8_t* row, int32_t n, const uint8_t* palette) {
    if (!counts_) return;
    for (int32_t i = 0; i < n; ++i) {
        uint32_t e = (i & 1) ? row[i >> 1] >> 4 : row[i >> 1] & 15;
        counts_[palette ? codeOfEntry(palette, int32_t(e)) : colourCode(e, e, e)] += 1;
    }
}

void Histogram::add555Row(const uint8_t* row, int32_t n) {
    if (!counts_) return;
    for (int32_t i = 0; i < n; ++i) {
        uint32_t w = uint32_t(row[2 * i]) | (uint32_t(row[2 * i + 1]) << 8);
        // A 5-bit channel c reads as c << 3, whose top 6 bits are c << 1.
        uint32_t code = (((w >> 10) & 31) << 13) | (((w >> 5) & 31) << 7) | ((w & 31) << 1);
        counts_[code] += 1;
    }
}

void Histogram::add24Row(const uint8_t* row, int32_t n) {
    if (!counts_) return;
    for (int32_t i = 0; i < n; ++i, row += 3) counts_[colourCode(row[2], row[1], row[0])] += 1;
}

void Histogram::add32Row(const uint8_t* row, int32_t n) {
    if (!counts_) return;
    for (int32_t i = 0; i < n; ++i, row += 4) counts_[colourCode(row[2], row[1], row[0])] += 1;
}

void Histogram::addView(const FrameView& p, int32_t x, int32_t y, int32_t width, int32_t rows) {
    if (!counts_ || p.pixels == nullptr) return;
    const int64_t x0 = std::max<int64_t>(0, x), y0 = std::max<int64_t>(0, y);
    const int64_t x1 = std::min<int64_t>(p.width, int64_t(x) + width);
    const int64_t y1 = std::min<int64_t>(p.height, int64_t(y) + rows);
    if (x1 <= x0 || y1 <= y0) return;
    const int32_t n = int32_t(x1 - x0);
    for (int64_t yy = y0; yy < y1; ++yy) {
        const uint8_t* row = p.pixels + p.pitch * yy;
        switch (p.depth) {
        case 32: add32Row(row + 4 * x0, n); break;
        case 24: add24Row(row + 3 * x0, n); break;
        case 16: add555Row(row + 2 * x0, n); break;
        case 4:
            if (x0 & 1) {
                // Odd start: read through the getter rather than shift nibbles.
                for (int64_t xx = x0; xx < x1; ++xx) {
                    uint8_t b = row[xx >> 1];
                    uint32_t e = (xx & 1) ? b >> 4 : b & 15;
                    counts_[p.palette ? codeOfEntry(p.palette, int32_t(e)) : colourCode(e, e, e)] += 1;
                }
            } else {
                addNibbleRow(row + x0 / 2, n, p.palette);
            }
            break;
        default: addIndexedRow(row + x0, n, p.palette); break;
        }
    }
}

// ---- Reduction -------------------------------------------------------------------------

namespace {

// Channel weights of the error measure (red, green, blue), roughly the eye's sensitivity.
constexpr uint64_t kErrWeight[3] = {30, 58, 12};

inline uint32_t chan(uint32_t code, int c) { return (code >> (12 - 6 * c)) & 63; }

// Count, and per channel the sums of values and of squared values (6-bit), of a set of
// colours: enough to get its mean and its error about that mean without another pass. Eight
// words (one spare) so that adding two is a short vector loop.
struct Sums {
    // v[0] count, v[1..3] sums, v[4..6] sums of squares, per channel red, green, blue.
    uint64_t v[8] = {0, 0, 0, 0, 0, 0, 0, 0};

    static Sums of(uint32_t code, uint64_t count) {
        Sums r;
        r.v[0] = count;
        for (int c = 0; c < 3; ++c) {
            const uint64_t x = chan(code, c);
            r.v[1 + c] = count * x;
            r.v[4 + c] = count * x * x;
        }
        return r;
    }
    void add(const Sums& o) {
        for (int i = 0; i < 8; ++i) v[i] += o.v[i];
    }
    void subtract(const Sums& o) {
        for (int i = 0; i < 8; ++i) v[i] -= o.v[i];
    }
    uint64_t n() const { return v[0]; }
    // 8-bit mean of a channel: sum of 6-bit values x 4 / count, truncated.
    uint32_t mean8(int c) const {
        const uint64_t num = v[1 + c] * 4, den = v[0];
        return den ? uint32_t(num / den) : 0;
    }
    // The three 8-bit means, with one floating division corrected to the exact truncated
    // quotient (the split search asks for thousands of them per box).
    void means8(uint64_t out[3]) const {
        const uint64_t den = v[0];
        if (den == 0) {
            out[0] = out[1] = out[2] = 0;
            return;
        }
        const double inv = 1.0 / double(den);
        for (int c = 0; c < 3; ++c) {
            const uint64_t num = v[1 + c] * 4;
            if (num >> 52) {
                out[c] = num / den;
                continue;
            }
            uint64_t q = uint64_t(double(num) * inv);
            while (q * den > num) --q;
            while ((q + 1) * den <= num) ++q;
            out[c] = q;
        }
    }
    // Sum of count x weight x (v - m)^2 with m the 8-bit mean shifted back to 6 bits.
    uint64_t error() const {
        uint64_t e = 0;
        uint64_t mean[3];
        means8(mean);
        for (int c = 0; c < 3; ++c) {
            const uint64_t m = mean[c] >> 2;
            // (q + m^2 n) - 2 m s is the sum of squares, never negative.
            e += kErrWeight[c] * ((v[4 + c] + m * m * v[0]) - 2 * m * v[1 + c]);
        }
        return e;
    }
};

struct Half {
    uint8_t mean[3] = {0, 0, 0};
    uint64_t error = 0;
};

// Candidate split i (0..511) bounds the channels whose bit (6 + channel) of i is clear at
// t = i mod 64: the inside half is the colours whose largest bounded channel is at most t. So
// each of the 7 sets of bounded channels sorts a box's colours into 64 buckets by that largest
// value, and running sums over the buckets give every candidate.
// For choosing a split the sums of squares do not matter: over both halves they add up to
// the box's, whatever the split. So the buckets carry only count and sums.
struct alignas(32) Counted {
    uint64_t v[4] = {0, 0, 0, 0};  // count, sums of red, green, blue
    void add(const Counted& o) {
        for (int i = 0; i < 4; ++i) v[i] += o.v[i];
    }
    // The error less the box's constant sum of squares: sum of weight x (m^2 n - 2 m s).
    int64_t variablePart() const {
        Sums s;
        for (int i = 0; i < 4; ++i) s.v[i] = v[i];
        uint64_t mean[3];
        s.means8(mean);
        int64_t e = 0;
        for (int c = 0; c < 3; ++c) {
            const int64_t m = int64_t(mean[c] >> 2);
            e += int64_t(kErrWeight[c]) * (m * m * int64_t(v[0]) - 2 * m * int64_t(v[1 + c]));
        }
        return e;
    }
};

struct Buckets {
    Counted b[7][64];
};

struct Box {
    size_t begin = 0, end = 0;  // run of the colour list
    uint8_t mean[3] = {0, 0, 0};
    uint64_t error = 0;
    // Best split.
    int32_t stored = -1;  // the reducer's kept buckets of this box, if any
    bool canSplit = false;
    uint32_t limit[3] = {63, 63, 63};
    Half inside, outside;
};

void setMean(const Sums& s, uint8_t mean[3]) {
    for (int c = 0; c < 3; ++c) mean[c] = uint8_t(s.mean8(c));
}

inline bool isInside(uint32_t code, const uint32_t limit[3]) {
    return chan(code, 0) <= limit[0] && chan(code, 1) <= limit[1] && chan(code, 2) <= limit[2];
}

bool cpuHasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

#if defined(__x86_64__) || defined(__i386__)
// Each colour's count and sums go into its bucket of each of the 7 kinds with one add.
__attribute__((target("avx2"))) void fillAvx2(Buckets& bk, const uint32_t* colours, size_t k,
                                              const uint64_t* counts) {
    for (size_t i = 0; i < k; ++i) {
        const uint32_t code = colours[i];
        const uint64_t n = counts[code];
        const uint32_t r = chan(code, 0), g = chan(code, 1), b = chan(code, 2);
        const __m256i one = _mm256_set_epi64x(int64_t(n * b), int64_t(n * g), int64_t(n * r), int64_t(n));
        const uint32_t keys[7] = {std::max({r, g, b}), std::max(g, b), std::max(r, b), b, std::max(r, g), g, r};
        for (int type = 0; type < 7; ++type) {
            __m256i* p = reinterpret_cast<__m256i*>(bk.b[type][keys[type]].v);
            _mm256_store_si256(p, _mm256_add_epi64(_mm256_load_si256(p), one));
        }
    }
}
#endif

}  // namespace

// Boxes of more colours than this keep their buckets, so that splitting one counts only its
// smaller half (the larger is what remains). They are disjoint, so few exist at any time.
uint32_t gPaletteKeepBuckets = 2048;

namespace {

class Reducer {
public:
    Reducer(const uint64_t* counts, std::vector<uint32_t>& colours)
        : counts_(counts), colours_(colours), scratch_(std::make_unique<Buckets>()) {}

    // Box 0: every colour.
    Box first() {
        Box all;
        all.begin = 0;
        all.end = colours_.size();
        Sums total{};
        for (size_t i = all.begin; i < all.end; ++i) total.add(Sums::of(colours_[i], counts_[colours_[i]]));
        setMean(total, all.mean);
        all.error = total.error();
        if (all.end - all.begin > size_t(gPaletteKeepBuckets)) {
            all.stored = take();
            fill(*store_[size_t(all.stored)], all);
        }
        bestSplit(all);
        return all;
    }

    // Splits box (whose best split is known) into itself (the inside half) and the returned
    // new box (the outside half), both with their best splits.
    Box split(Box& box) {
        // Inside first, outside swapped to the end (the order within the halves is not kept).
        size_t lo = box.begin, hi = box.end;
        if (box.end - box.begin <= 2) {
            lo = box.begin + 1;
        } else {
            while (lo < hi) {
                if (isInside(colours_[lo], box.limit)) ++lo;
                else std::swap(colours_[lo], colours_[--hi]);
            }
        }
        Box out;
        out.begin = lo;
        out.end = box.end;
        std::memcpy(out.mean, box.outside.mean, 3);
        out.error = box.outside.error;
        box.end = lo;
        std::memcpy(box.mean, box.inside.mean, 3);
        box.error = box.inside.error;
        if (box.stored < 0) {
            bestSplit(box);
            bestSplit(out);
            return out;
        }
        // The whole box's buckets: count the smaller half, take it off, and the rest is the
        // larger half's.
        const int32_t whole = box.stored;
        box.stored = -1;
        const bool outSmaller = out.end - out.begin <= box.end - box.begin;
        Box& small = outSmaller ? out : box;
        Box& large = outSmaller ? box : out;
        fill(*scratch_, small);
        subtract(*store_[size_t(whole)], *scratch_);
        if (large.end - large.begin > size_t(gPaletteKeepBuckets)) large.stored = whole;
        else release(whole);
        if (small.end - small.begin > size_t(gPaletteKeepBuckets)) {
            small.stored = take();
            *store_[size_t(small.stored)] = *scratch_;
        }
        if (small.end - small.begin <= 2) splitFew(small);
        else bestSplitFrom(small, *scratch_);
        clearScratch(small);
        bestSplit(large);
        return out;
    }

private:
    int32_t take() {
        if (!pool_.empty()) {
            const int32_t i = pool_.back();
            pool_.pop_back();
            for (auto& row : store_[size_t(i)]->b) std::fill(std::begin(row), std::end(row), Counted{});
            return i;
        }
        store_.push_back(std::make_unique<Buckets>());
        return int32_t(store_.size() - 1);
    }
    void release(int32_t i) { pool_.push_back(i); }

    // Type bit c set: channel c is not bounded.
    static void keysOf(uint32_t code, uint32_t keys[7]) {
        const uint32_t r = chan(code, 0), g = chan(code, 1), b = chan(code, 2);
        keys[0] = std::max({r, g, b});
        keys[1] = std::max(g, b);
        keys[2] = std::max(r, b);
        keys[3] = b;
        keys[4] = std::max(r, g);
        keys[5] = g;
        keys[6] = r;
    }

    // Adds the box's colours into bk.
    void fill(Buckets& bk, const Box& box) const {
#if defined(__x86_64__) || defined(__i386__)
        if (cpuHasAvx2()) {
            fillAvx2(bk, colours_.data() + box.begin, box.end - box.begin, counts_);
            return;
        }
#endif
        uint32_t keys[7];
        for (size_t i = box.begin; i < box.end; ++i) {
            const uint32_t code = colours_[i];
            const uint64_t n = counts_[code];
            const Counted one{{n, n * chan(code, 0), n * chan(code, 1), n * chan(code, 2)}};
            keysOf(code, keys);
            for (int type = 0; type < 7; ++type) bk.b[type][keys[type]].add(one);
        }
    }

    static void subtract(Buckets& whole, const Buckets& part) {
        for (int type = 0; type < 7; ++type)
            for (int t = 0; t < 64; ++t)
                for (int i = 0; i < 4; ++i) whole.b[type][t].v[i] -= part.b[type][t].v[i];
    }

    // The scratch buckets are all zero between uses: clears what the box put there.
    void clearScratch(const Box& box) const {
        Buckets& bk = *scratch_;
        if (box.end - box.begin > 512) {
            for (auto& row : bk.b) std::fill(std::begin(row), std::end(row), Counted{});
            return;
        }
        uint32_t keys[7];
        for (size_t i = box.begin; i < box.end; ++i) {
            keysOf(colours_[i], keys);
            for (int type = 0; type < 7; ++type) bk.b[type][keys[type]] = Counted{};
        }
    }

    // One or two colours: the halves are the colours themselves (one colour twice).
    void splitFew(Box& box) const {
        const size_t k = box.end - box.begin;
        // A single colour splits into itself twice, which gains nothing.
        box.canSplit = k >= 2;
        const uint32_t a = colours_[box.begin];
        const uint32_t b = k == 2 ? colours_[box.begin + 1] : a;
        for (int c = 0; c < 3; ++c) {
            box.inside.mean[c] = expand6(chan(a, c));
            box.outside.mean[c] = expand6(chan(b, c));
        }
        box.inside.error = box.outside.error = 0;
    }

    void bestSplit(Box& box) const {
        if (box.end - box.begin <= 2) {
            splitFew(box);
            return;
        }
        if (box.stored >= 0) {
            bestSplitFrom(box, *store_[size_t(box.stored)]);
            return;
        }
        fill(*scratch_, box);
        bestSplitFrom(box, *scratch_);
        clearScratch(box);
    }

    void bestSplitFrom(Box& box, const Buckets& bk) const {
        box.canSplit = true;
        Counted total;
        for (int t = 0; t < 64; ++t) total.add(bk.b[0][t]);
        bool found = false;
        int64_t bestSum = 0;
        uint32_t bestType = 0, bestT = 0;
        for (uint32_t type = 0; type < 7; ++type) {
            Counted inside;
            for (uint32_t t = 0; t < 64; ++t) {
                // An empty bucket leaves the inside half as it was for t - 1.
                if (bk.b[type][t].v[0] == 0) continue;
                inside.add(bk.b[type][t]);
                if (inside.v[0] == total.v[0]) break;
                Counted outside;
                for (int i = 0; i < 4; ++i) outside.v[i] = total.v[i] - inside.v[i];
                const int64_t sum = inside.variablePart() + outside.variablePart();
                if (!found || sum < bestSum) {
                    found = true;
                    bestSum = sum;
                    bestType = type;
                    bestT = t;
                }
            }
        }
        if (!found) {
            // Distinct colours always differ somewhere, so this is only a guard.
            box.canSplit = false;
            return;
        }
        for (int c = 0; c < 3; ++c) box.limit[c] = (bestType & (1u << c)) ? 63 : bestT;
        // The halves in full, for their means and errors.
        Sums in, out;
        for (size_t i = box.begin; i < box.end; ++i) {
            const uint32_t code = colours_[i];
            (isInside(code, box.limit) ? in : out).add(Sums::of(code, counts_[code]));
        }
        setMean(in, box.inside.mean);
        box.inside.error = in.error();
        setMean(out, box.outside.mean);
        box.outside.error = out.error();
    }

    const uint64_t* counts_;
    std::vector<uint32_t>& colours_;
    std::unique_ptr<Buckets> scratch_;
    std::vector<std::unique_ptr<Buckets>> store_;  // buckets kept by large boxes
    std::vector<int32_t> pool_;                    // entries of store_ free for reuse
};

inline int64_t reductionOf(const Box& b) {
    if (!b.canSplit) return 0;
    // Means are truncated, so the halves can, rarely, come out worse than the whole.
    return int64_t(b.error) - int64_t(b.inside.error + b.outside.error);
}

// ---- Placement ------------------------------------------------------------------------

struct Pair {
    int32_t colour = -1;
    int32_t slot = -1;
    uint64_t cost = 0;
    uint64_t weight = 0;
    uint32_t distance = 0;
    uint32_t position = 0;
};

// The better of two pairs for one colour or one slot: cheaper; then more used; then nearer;
// then closer in position.
inline bool better(const Pair& a, const Pair& b) {
    if (a.cost != b.cost) return a.cost < b.cost;
    if (a.weight != b.weight) return a.weight > b.weight;
    if (a.distance != b.distance) return a.distance < b.distance;
    return a.position < b.position;
}

// Which best pair is served first: the costliest; on equal cost the better pair.
inline bool outranks(const Pair& a, const Pair& b) {
    if (a.cost != b.cost) return a.cost > b.cost;
    if (a.weight != b.weight) return a.weight > b.weight;
    if (a.distance != b.distance) return a.distance < b.distance;
    return a.position < b.position;
}

// Whether the chosen colour goes to the runner-up's slot instead of its own.
inline bool takeRunnerSlot(const Pair& runner, const Pair& chosen) {
    if (runner.cost != chosen.cost) return runner.cost > chosen.cost;
    if (runner.weight != chosen.weight) return runner.weight > chosen.weight;
    if (runner.distance != chosen.distance) return runner.distance > chosen.distance;
    return runner.position < chosen.position;
}

// Both arrangements need, again and again, the best pair of a colour over the free slots and
// of a slot over the free colours. Each colour's slots and each slot's colours are sorted once
// by how good the pair is (the lower index first among equals, as a scan in index order would
// find); the best free one is then the first free one in that order.
class Placer {
public:
    Placer(int32_t colours, int32_t slots, int32_t base, const uint8_t* means,
           const uint8_t* palette, const uint64_t* weights)
        : nc_(colours), ns_(slots), base_(base) {
        dist_.resize(size_t(nc_) * size_t(ns_));
        weight_.resize(size_t(ns_));
        for (int32_t s = 0; s < ns_; ++s) weight_[s] = weights ? weights[base + s] : 0;
        for (int32_t c = 0; c < nc_; ++c)
            for (int32_t s = 0; s < ns_; ++s) {
                const uint8_t* p = palette + 3 * (base + s);
                double d2 = 0;
                for (int k = 0; k < 3; ++k) {
                    double d = double(means[3 * c + k]) - double(p[k]);
                    d2 += d * d;
                }
                dist_[size_t(c) * ns_ + s] = uint32_t(std::lround(100.0 * std::sqrt(d2)));
            }
        // For one slot the weight is fixed, so cost follows distance: distance, position,
        // colour number order the colours.
        colourOrder_.resize(size_t(ns_) * size_t(nc_));
        std::vector<uint64_t> keys(static_cast<size_t>(nc_));
        for (int32_t s = 0; s < ns_; ++s) {
            for (int32_t c = 0; c < nc_; ++c) {
                const Pair p = pair(c, s);
                keys[c] = (uint64_t(p.distance) << 40) | (uint64_t(p.position) << 20) | uint64_t(c);
            }
            std::sort(keys.begin(), keys.end());
            for (int32_t c = 0; c < nc_; ++c) colourOrder_[size_t(s) * nc_ + c] = int32_t(keys[c] & 0xFFFFF);
        }
        slotOrder_.resize(size_t(nc_) * size_t(ns_));
        std::vector<Pair> pairs(static_cast<size_t>(ns_));
        for (int32_t c = 0; c < nc_; ++c) {
            for (int32_t s = 0; s < ns_; ++s) pairs[s] = pair(c, s);
            std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
                return better(a, b) || (!better(b, a) && a.slot < b.slot);
            });
            for (int32_t s = 0; s < ns_; ++s) slotOrder_[size_t(c) * ns_ + s] = pairs[s].slot;
        }
    }

    Pair pair(int32_t c, int32_t s) const {
        Pair p;
        p.colour = c;
        p.slot = s;
        p.weight = weight_[s];
        p.distance = dist_[size_t(c) * ns_ + s];
        p.cost = p.weight * p.distance;
        const int32_t d = c - (base_ + s);
        p.position = uint32_t(d < 0 ? -d : d);
        return p;
    }

    // Colour of each slot (-1: keeps its previous colour).
    std::vector<int32_t> colourFirst() const {
        std::vector<int32_t> result(size_t(ns_), -1);
        std::vector<char> colourFree(size_t(nc_), 1), slotFree(size_t(ns_), 1);
        std::vector<int32_t> next(size_t(nc_), 0);
        auto best = [&](int32_t c) {
            const int32_t* order = &slotOrder_[size_t(c) * ns_];
            while (!slotFree[order[next[c]]]) ++next[c];
            return pair(c, order[next[c]]);
        };
        int32_t left = std::min(nc_, ns_);
        while (left-- > 0) {
            int32_t e = -1, runner = -1;
            Pair pe, pr;
            for (int32_t c = 0; c < nc_; ++c) {
                if (!colourFree[c]) continue;
                const Pair p = best(c);
                if (e < 0 || outranks(p, pe)) {
                    runner = e, pr = pe;
                    e = c, pe = p;
                } else if (runner < 0 || outranks(p, pr)) {
                    runner = c, pr = p;
                }
            }
            const int32_t slot = (runner >= 0 && takeRunnerSlot(pr, pe)) ? pr.slot : pe.slot;
            result[slot] = e;
            colourFree[e] = 0;
            slotFree[slot] = 0;
        }
        return result;
    }

    std::vector<int32_t> slotFirst() const {
        std::vector<int32_t> result(size_t(ns_), -1);
        std::vector<char> colourFree(size_t(nc_), 1), slotFree(size_t(ns_), 1);
        std::vector<int32_t> next(size_t(ns_), 0);
        // The best free colour of slot s other than `except` (-1: none left).
        auto best = [&](int32_t s, int32_t except) -> int32_t {
            const int32_t* order = &colourOrder_[size_t(s) * nc_];
            while (next[s] < nc_ && !colourFree[order[next[s]]]) ++next[s];
            for (int32_t i = next[s]; i < nc_; ++i)
                if (colourFree[order[i]] && order[i] != except) return order[i];
            return -1;
        };
        int32_t left = std::min(nc_, ns_);
        while (left-- > 0) {
            int32_t d = -1;
            Pair pd;
            for (int32_t s = 0; s < ns_; ++s) {
                if (!slotFree[s]) continue;
                const Pair p = pair(best(s, -1), s);
                if (d < 0 || outranks(p, pd)) d = s, pd = p;
            }
            const int32_t e = pd.colour;
            int32_t d2 = -1;
            Pair p2;
            for (int32_t s = 0; s < ns_; ++s) {
                if (!slotFree[s]) continue;
                const int32_t c = best(s, e);
                if (c < 0) continue;
                const Pair p = pair(c, s);
                if (d2 < 0 || outranks(p, p2)) d2 = s, p2 = p;
            }
            const int32_t slot = (d2 >= 0 && takeRunnerSlot(p2, pd)) ? d2 : d;
            result[slot] = e;
            colourFree[e] = 0;
            slotFree[slot] = 0;
        }
        return result;
    }

    uint64_t score(const std::vector<int32_t>& result) const {
        uint64_t total = 0;
        for (int32_t s = 0; s < ns_; ++s)
            if (result[s] >= 0) total += pair(result[s], s).cost;
        return total;
    }

private:
    int32_t nc_, ns_, base_;
    std::vector<uint32_t> dist_;
    std::vector<uint64_t> weight_;
    std::vector<int32_t> colourOrder_;  // per slot, its colours best first
    std::vector<int32_t> slotOrder_;    // per colour, its slots best first
};

inline int32_t send(const PaletteProgress& progress, const char* text, int32_t level) {
    return progress ? progress(text, level) : 0;
}

}  // namespace

ReduceResult reducePalette(Histogram& histogram, uint8_t* palette, int32_t start, int32_t count,
                           int32_t low, int32_t high, const uint64_t* weights,
                           const PaletteProgress& progress) {
    ReduceResult result;
    if (!histogram.valid() || palette == nullptr) {
        result.failed = true;
        return result;
    }
    clampRange(start, count);
    low = std::clamp(low, 0, count);
    high = std::clamp(high, 0, count - low);
    const int32_t wanted = count - low - high;
    uint64_t* counts = histogram.data();

    // Colours the reserved entries already show need no entry of their own.
    for (int32_t e = start; e < start + low; ++e) counts[codeOfEntry(palette, e)] = 0;
    for (int32_t e = start + count - high; e < start + count; ++e) counts[codeOfEntry(palette, e)] = 0;
    if (wanted <= 0) return result;

    try {
        std::vector<uint32_t> colours;
        for (uint32_t code = 0; code < kColourCodes; ++code)
            if (counts[code]) colours.push_back(code);
        if (colours.empty()) return result;

        Reducer reducer(counts, colours);
        std::vector<Box> boxes;
        boxes.reserve(size_t(wanted));
        boxes.push_back(reducer.first());
        bool first = true;
        char text[64];
        while (int32_t(boxes.size()) < wanted) {
            const int32_t percent = int32_t(100 * (int64_t(boxes.size()) - 1) / wanted + 1);
            std::snprintf(text, sizeof text, "Reducing the number of colors (%i%%)...", percent);
            if (send(progress, text, first ? 1 : 0) != 0) {
                result.cancelled = true;
                break;
            }
            first = false;
            size_t chosen = 0;
            int64_t most = reductionOf(boxes[0]);
            for (size_t b = 1; b < boxes.size(); ++b) {
                const int64_t r = reductionOf(boxes[b]);
                if (r > most) {
                    most = r;
                    chosen = b;
                }
            }
            if (most <= 0) break;
            Box out = reducer.split(boxes[chosen]);
            boxes.push_back(out);
        }

        const int32_t made = int32_t(boxes.size());
        std::vector<uint8_t> means(size_t(made) * 3);
        for (int32_t b = 0; b < made; ++b) std::memcpy(&means[3 * size_t(b)], boxes[b].mean, 3);
        const int32_t base = start + low;
        send(progress, "Minimizing palette changes...", 1);
        Placer placer(made, wanted, base, means.data(), palette, weights);
        const std::vector<int32_t> byColour = placer.colourFirst();
        const std::vector<int32_t> bySlot = placer.slotFirst();
        const std::vector<int32_t>& chosen =
            placer.score(bySlot) <= placer.score(byColour) ? bySlot : byColour;
        for (int32_t s = 0; s < wanted; ++s)
            if (chosen[s] >= 0) std::memcpy(palette + 3 * (base + s), &means[3 * size_t(chosen[s])], 3);
        result.boxes = made;
    } catch (const std::bad_alloc&) {
        result = ReduceResult{};
        result.failed = true;
    }
    return result;
}

// ---- Mapping ---------------------------------------------------------------------------

void buildRemapTable(const uint8_t* sourcePalette, const uint8_t* palette, int32_t start,
                     int32_t count, uint8_t table[256]) {
    clampRange(start, count);
    for (int32_t j = 0; j < 256; ++j) table[j] = uint8_t(j);
    if (count == 0 || sourcePalette == nullptr || palette == nullptr) return;
    for (int32_t j = 0; j < 256; ++j) {
        const uint8_t* sc = sourcePalette + 3 * j;
        const int32_t from = std::clamp(j, start, start + count - 1);
        int64_t bestCost = INT64_MAX;
        int32_t best = from;
        for (int32_t k = 0; k < count; ++k) {
            const int32_t e = start + (from - start + k) % count;
            const uint8_t* pc = palette + 3 * e;
            int64_t d2 = 0;
            for (int c = 0; c < 3; ++c) {
                const int64_t d = int64_t(sc[c]) - pc[c];
                d2 += d * d;
            }
            const int64_t cost = std::abs(j - e) + 256 * d2;
            if (cost < bestCost) {
                bestCost = cost;
                best = e;
                if (cost == 0) break;
            }
        }
        table[j] = uint8_t(best);
    }
}

struct ColourMapper::Impl {
    uint8_t palette[768] = {};
    int32_t start = 0, count = 0;
    bool have = false;
    // The range's 6-bit channels, one array per channel, padded to a multiple of 16 with
    // copies of the first entry (which, coming first, wins every tie with its copies).
    alignas(32) int16_t red[256] = {};
    alignas(32) int16_t green[256] = {};
    alignas(32) int16_t blue[256] = {};
    int32_t padded = 0;
    std::unique_ptr<int16_t[]> cache;  // -1: not yet searched
    std::vector<uint32_t> row;
};

bool gMapperPlainOnly = false;

namespace {

// The first entry (offset in the range) with the least sum of squared channel differences.
int32_t nearestPlain(const int16_t* red, const int16_t* green, const int16_t* blue, int32_t count,
                     int32_t r, int32_t g, int32_t b) {
    int32_t bestD = INT32_MAX, best = 0;
    for (int32_t e = 0; e < count; ++e) {
        const int32_t dr = r - red[e], dg = g - green[e], db = b - blue[e];
        const int32_t d = dr * dr + dg * dg + db * db;
        if (d < bestD) {
            bestD = d;
            best = e;
            if (d == 0) break;
        }
    }
    return best;
}

#if defined(__x86_64__) || defined(__i386__)
// Sixteen entries at a time; distances are at most 3 x 63^2 and fit 16 bits.
__attribute__((target("avx2"))) int32_t nearestAvx2(const int16_t* red, const int16_t* green,
                                                    const int16_t* blue, int32_t padded,
                                                    int32_t r, int32_t g, int32_t b) {
    alignas(32) int16_t dist[256];
    const __m256i vr = _mm256_set1_epi16(int16_t(r)), vg = _mm256_set1_epi16(int16_t(g)),
                  vb = _mm256_set1_epi16(int16_t(b));
    __m256i least = _mm256_set1_epi16(0x7FFF);
    for (int32_t i = 0; i < padded; i += 16) {
        const __m256i dr = _mm256_sub_epi16(_mm256_load_si256(reinterpret_cast<const __m256i*>(red + i)), vr);
        const __m256i dg = _mm256_sub_epi16(_mm256_load_si256(reinterpret_cast<const __m256i*>(green + i)), vg);
        const __m256i db = _mm256_sub_epi16(_mm256_load_si256(reinterpret_cast<const __m256i*>(blue + i)), vb);
        const __m256i d = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(dr, dr), _mm256_mullo_epi16(dg, dg)),
                                           _mm256_mullo_epi16(db, db));
        _mm256_store_si256(reinterpret_cast<__m256i*>(dist + i), d);
        least = _mm256_min_epi16(least, d);
    }
    const __m128i half = _mm_min_epi16(_mm256_castsi256_si128(least), _mm256_extracti128_si256(least, 1));
    const int32_t m = _mm_cvtsi128_si32(_mm_minpos_epu16(half)) & 0xFFFF;
    const __m256i vm = _mm256_set1_epi16(int16_t(m));
    for (int32_t i = 0; i < padded; i += 16) {
        const uint32_t mask = uint32_t(_mm256_movemask_epi8(
            _mm256_cmpeq_epi16(_mm256_load_si256(reinterpret_cast<const __m256i*>(dist + i)), vm)));
        if (mask) return i + int32_t(__builtin_ctz(mask) / 2);
    }
    return 0;
}
#endif

}  // namespace

ColourMapper::ColourMapper() : impl_(std::make_unique<Impl>()) {}
ColourMapper::~ColourMapper() = default;

void ColourMapper::clear() {
    if (impl_->cache) std::fill(impl_->cache.get(), impl_->cache.get() + kColourCodes, int16_t(-1));
}

bool ColourMapper::setPalette(const uint8_t* palette, int32_t start, int32_t count) {
    Impl& m = *impl_;
    clampRange(start, count);
    if (!m.cache) {
        m.cache.reset(new (std::nothrow) int16_t[kColourCodes]);
        if (!m.cache) return false;
        m.have = false;
    }
    uint8_t next[768] = {};
    if (palette) std::memcpy(next, palette, sizeof next);
    const bool same = m.have && m.start == start && m.count == count &&
                      std::memcmp(m.palette + 3 * start, next + 3 * start, 3 * size_t(count)) == 0;
    if (same) return true;
    std::memcpy(m.palette, next, sizeof next);
    m.start = start;
    m.count = count;
    m.padded = (count + 15) / 16 * 16;
    for (int32_t i = 0; i < m.padded; ++i) {
        const int32_t e = start + (i < count ? i : 0);
        m.red[i] = int16_t(m.palette[3 * e] >> 2);
        m.green[i] = int16_t(m.palette[3 * e + 1] >> 2);
        m.blue[i] = int16_t(m.palette[3 * e + 2] >> 2);
    }
    m.have = true;
    clear();
    return true;
}

uint8_t ColourMapper::map(uint32_t code) {
    Impl& m = *impl_;
    code &= kColourCodes - 1;
    if (!m.cache || m.count == 0) return uint8_t(m.start & 255);
    const int16_t known = m.cache[code];
    if (known >= 0) return uint8_t(known);
    const int32_t r = int32_t(chan(code, 0)), g = int32_t(chan(code, 1)), b = int32_t(chan(code, 2));
    int32_t offset;
#if defined(__x86_64__) || defined(__i386__)
    if (cpuHasAvx2() && !gMapperPlainOnly)
        offset = nearestAvx2(m.red, m.green, m.blue, m.padded, r, g, b);
    else
#endif
        offset = nearestPlain(m.red, m.green, m.blue, m.count, r, g, b);
    const int32_t best = m.start + (offset < m.count ? offset : 0);
    m.cache[code] = int16_t(best);
    return uint8_t(best);
}

void ColourMapper::mapView(const FrameView& p, int32_t x, int32_t y, int32_t width, int32_t rows,
                           uint8_t* dst, ptrdiff_t dstPitch) {
    if (p.pixels == nullptr || dst == nullptr || p.depth <= 8) return;
    const int64_t lo = std::max<int64_t>(0, -int64_t(x));
    const int64_t hi = std::min<int64_t>(width, int64_t(p.width) - x);
    if (hi <= lo) return;
    const int32_t i0 = int32_t(lo), n = int32_t(hi - lo);
    try {
        impl_->row.resize(size_t(n));
    } catch (const std::bad_alloc&) {
        return;
    }
    for (int32_t r = 0; r < rows; ++r) {
        const int64_t py = int64_t(y) + r;
        if (py < 0 || py >= p.height) continue;
        readPixels(p, int32_t(py), x + i0, n, impl_->row.data());
        uint8_t* o = dst + dstPitch * r + i0;
        for (int32_t i = 0; i < n; ++i) o[i] = map(colourCodeOf(impl_->row[i]));
    }
}

}  // namespace kro
