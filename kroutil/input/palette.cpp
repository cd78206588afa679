#include "kroutil/input/palette.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
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

void clampRange(int32_t& start, int32_t& count) {
    start = std::clamp(start, 0, 256);
    count = std::clamp(count, 0, 256 - start);
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
// colours: enough to get its mean and its error about that mean without another pass.
struct Sums {
    uint64_t n = 0;
    uint64_t s[3] = {0, 0, 0};
    uint64_t q[3] = {0, 0, 0};
    void add(uint32_t code, uint64_t count) {
        n += count;
        for (int c = 0; c < 3; ++c) {
            uint64_t v = chan(code, c);
            s[c] += count * v;
            q[c] += count * v * v;
        }
    }
    void add(const Sums& o) {
        n += o.n;
        for (int c = 0; c < 3; ++c) {
            s[c] += o.s[c];
            q[c] += o.q[c];
        }
    }
    Sums minus(const Sums& o) const {
        Sums r;
        r.n = n - o.n;
        for (int c = 0; c < 3; ++c) {
            r.s[c] = s[c] - o.s[c];
            r.q[c] = q[c] - o.q[c];
        }
        return r;
    }
    // 8-bit mean of a channel: sum of 6-bit values x 4 / count, truncated.
    uint32_t mean8(int c) const { return n ? uint32_t(s[c] * 4 / n) : 0; }
    // Sum of count x weight x (v - m)^2 with m the 8-bit mean shifted back to 6 bits.
    uint64_t error() const {
        uint64_t e = 0;
        for (int c = 0; c < 3; ++c) {
            uint64_t m = mean8(c) >> 2;
            // (q + m^2 n) - 2 m s is the sum of squares, never negative.
            e += kErrWeight[c] * ((q[c] + m * m * n) - 2 * m * s[c]);
        }
        return e;
    }
};

struct Half {
    uint8_t mean[3] = {0, 0, 0};
    uint64_t error = 0;
};

struct Box {
    size_t begin = 0, end = 0;  // run of the colour list
    uint8_t mean[3] = {0, 0, 0};
    uint64_t error = 0;
    // Best split.
    bool canSplit = false;
    uint32_t limit[3] = {63, 63, 63};
    size_t insideSize = 0;
    Half inside, outside;
};

void setMean(const Sums& s, uint8_t mean[3]) {
    for (int c = 0; c < 3; ++c) mean[c] = uint8_t(s.mean8(c));
}

class Reducer {
public:
    Reducer(const uint64_t* counts, std::vector<uint32_t>& colours)
        : counts_(counts), colours_(colours) {}

    Sums sumsOf(size_t begin, size_t end) const {
        Sums s;
        for (size_t i = begin; i < end; ++i) s.add(colours_[i], counts_[colours_[i]]);
        return s;
    }

    void bestSplit(Box& box) {
        const size_t k = box.end - box.begin;
        // A single colour splits into itself twice, which gains nothing.
        box.canSplit = k >= 2;
        if (k <= 2) {
            const uint32_t a = colours_[box.begin];
            const uint32_t b = k == 2 ? colours_[box.begin + 1] : a;
            for (int c = 0; c < 3; ++c) {
                box.inside.mean[c] = expand6(chan(a, c));
                box.outside.mean[c] = expand6(chan(b, c));
            }
            box.inside.error = box.outside.error = 0;
            box.insideSize = 1;
            return;
        }
        // Candidate i (0..511) bounds the channels whose bit (6 + channel) is clear at
        // t = i mod 64: the inside half is the colours whose largest bounded channel is at
        // most t. So each of the 7 bounded-channel sets sorts the colours into 64 buckets by
        // that largest value, and running sums over the buckets give every candidate.
        static_assert(sizeof(Sums) == 7 * sizeof(uint64_t));
        std::memset(buckets_, 0, sizeof(buckets_));
        Sums total;
        for (size_t i = box.begin; i < box.end; ++i) {
            const uint32_t code = colours_[i];
            const uint64_t n = counts_[code];
            const uint32_t v[3] = {chan(code, 0), chan(code, 1), chan(code, 2)};
            Sums one;
            one.add(code, n);
            total.add(one);
            for (uint32_t type = 0; type < 7; ++type) {
                uint32_t key = 0;
                for (int c = 0; c < 3; ++c)
                    if (!(type & (1u << c))) key = std::max(key, v[c]);
                buckets_[type][key].add(one);
            }
        }
        bool found = false;
        uint64_t bestSum = 0;
        Sums bestInside;
        uint32_t bestType = 0, bestT = 0;
        for (uint32_t type = 0; type < 7; ++type) {
            Sums inside;
            for (uint32_t t = 0; t < 64; ++t) {
                inside.add(buckets_[type][t]);
                if (inside.n == 0 || inside.n == total.n) continue;
                const Sums outside = total.minus(inside);
                const uint64_t sum = inside.error() + outside.error();
                if (!found || sum < bestSum) {
                    found = true;
                    bestSum = sum;
                    bestInside = inside;
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
        const Sums outside = total.minus(bestInside);
        for (int c = 0; c < 3; ++c) box.limit[c] = (bestType & (1u << c)) ? 63 : bestT;
        setMean(bestInside, box.inside.mean);
        box.inside.error = bestInside.error();
        setMean(outside, box.outside.mean);
        box.outside.error = outside.error();
        // Partition in place: inside colours first, outside ones swapped to the end.
        size_t lo = box.begin, hi = box.end;
        while (lo < hi) {
            const uint32_t code = colours_[lo];
            if (chan(code, 0) <= box.limit[0] && chan(code, 1) <= box.limit[1] &&
                chan(code, 2) <= box.limit[2]) {
                ++lo;
            } else {
                std::swap(colours_[lo], colours_[--hi]);
            }
        }
        box.insideSize = lo - box.begin;
    }

private:
    const uint64_t* counts_;
    std::vector<uint32_t>& colours_;
    Sums buckets_[7][64];
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
        std::vector<Pair> best(static_cast<size_t>(nc_));
        std::vector<char> stale(size_t(nc_), 1);
        int32_t left = std::min(nc_, ns_);
        while (left-- > 0) {
            for (int32_t c = 0; c < nc_; ++c)
                if (colourFree[c] && stale[c]) {
                    best[c] = bestForColour(c, slotFree, -1);
                    stale[c] = 0;
                }
            int32_t e = -1, runner = -1;
            for (int32_t c = 0; c < nc_; ++c) {
                if (!colourFree[c]) continue;
                if (e < 0 || outranks(best[c], best[e])) {
                    runner = e;
                    e = c;
                } else if (runner < 0 || outranks(best[c], best[runner])) {
                    runner = c;
                }
            }
            int32_t slot = best[e].slot;
            if (runner >= 0 && takeRunnerSlot(best[runner], best[e])) slot = best[runner].slot;
            result[slot] = e;
            colourFree[e] = 0;
            slotFree[slot] = 0;
            for (int32_t c = 0; c < nc_; ++c)
                if (colourFree[c] && best[c].slot == slot) stale[c] = 1;
        }
        return result;
    }

    std::vector<int32_t> slotFirst() const {
        std::vector<int32_t> result(size_t(ns_), -1);
        std::vector<char> colourFree(size_t(nc_), 1), slotFree(size_t(ns_), 1);
        std::vector<Pair> best(static_cast<size_t>(ns_)), without(static_cast<size_t>(ns_));
        for (int32_t s = 0; s < ns_; ++s) best[s] = bestForSlot(s, colourFree, -1);
        int32_t left = std::min(nc_, ns_);
        while (left-- > 0) {
            int32_t d = -1;
            for (int32_t s = 0; s < ns_; ++s)
                if (slotFree[s] && (d < 0 || outranks(best[s], best[d]))) d = s;
            const int32_t e = best[d].colour;
            // Each slot's best pair among the colours other than e.
            int32_t d2 = -1;
            for (int32_t s = 0; s < ns_; ++s) {
                if (!slotFree[s]) continue;
                without[s] = best[s].colour == e ? bestForSlot(s, colourFree, e) : best[s];
                if (without[s].colour < 0) continue;
                if (d2 < 0 || outranks(without[s], without[d2])) d2 = s;
            }
            int32_t slot = d;
            if (d2 >= 0 && takeRunnerSlot(without[d2], best[d])) slot = d2;
            result[slot] = e;
            colourFree[e] = 0;
            slotFree[slot] = 0;
            for (int32_t s = 0; s < ns_; ++s)
                if (slotFree[s] && best[s].colour == e) best[s] = without[s];
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
    Pair bestForColour(int32_t c, const std::vector<char>& slotFree, int32_t) const {
        Pair b;
        for (int32_t s = 0; s < ns_; ++s) {
            if (!slotFree[s]) continue;
            Pair p = pair(c, s);
            if (b.slot < 0 || better(p, b)) b = p;
        }
        return b;
    }
    Pair bestForSlot(int32_t s, const std::vector<char>& colourFree, int32_t except) const {
        Pair b;
        for (int32_t c = 0; c < nc_; ++c) {
            if (!colourFree[c] || c == except) continue;
            Pair p = pair(c, s);
            if (b.colour < 0 || better(p, b)) b = p;
        }
        return b;
    }

    int32_t nc_, ns_, base_;
    std::vector<uint32_t> dist_;
    std::vector<uint64_t> weight_;
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

        auto reducer = std::make_unique<Reducer>(counts, colours);
        std::vector<Box> boxes;
        boxes.reserve(size_t(wanted));
        {
            Box all;
            all.begin = 0;
            all.end = colours.size();
            const Sums s = reducer->sumsOf(all.begin, all.end);
            setMean(s, all.mean);
            all.error = s.error();
            reducer->bestSplit(all);
            boxes.push_back(all);
        }
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
            Box& box = boxes[chosen];
            Box out;
            out.begin = box.begin + box.insideSize;
            out.end = box.end;
            std::memcpy(out.mean, box.outside.mean, 3);
            out.error = box.outside.error;
            box.end = box.begin + box.insideSize;
            std::memcpy(box.mean, box.inside.mean, 3);
            box.error = box.inside.error;
            reducer->bestSplit(box);
            reducer->bestSplit(out);
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
    uint8_t six[256][3] = {};
    std::unique_ptr<int16_t[]> cache;  // -1: not yet searched
    std::vector<uint32_t> row;
};

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
    for (int e = 0; e < 256; ++e)
        for (int c = 0; c < 3; ++c) m.six[e][c] = uint8_t(m.palette[3 * e + c] >> 2);
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
    int32_t bestD = INT32_MAX, best = m.start;
    for (int32_t e = m.start; e < m.start + m.count; ++e) {
        const int32_t dr = r - m.six[e][0], dg = g - m.six[e][1], db = b - m.six[e][2];
        const int32_t d = dr * dr + dg * dg + db * db;
        if (d < bestD) {
            bestD = d;
            best = e;
            if (d == 0) break;
        }
    }
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
