// Colour conversion: true colour to a colour table by median cut with nearest-colour mapping, and
// a colour table image back to true colour.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "kroutil/images/image_core.h"

namespace kroimg {
namespace {

constexpr uint32_t kCells = 32768;
constexpr uint16_t kCountCap = 65534;

inline uint32_t cellOf(const uint8_t* bgr) { return uint32_t(bgr[2] >> 3) << 10 | uint32_t(bgr[1] >> 3) << 5 | uint32_t(bgr[0] >> 3); }

// The split axis from the three channel ranges: 0 red, 1 green, 2 blue.
int axisFor(int32_t rangeR, int32_t rangeG, int32_t rangeB) {
    if (rangeB < rangeR) return rangeR < rangeG ? 1 : 0;
    return rangeB < rangeG ? 1 : 2;
}

// Shell sort into decreasing key order. Gaps: the smallest of 1, 4, 13, 40, ... above n / 9, then
// each divided by 3 down to 1. An element moves forward only past strictly smaller keys, which
// fixes the order of equal keys (and so the boxes and the mapping's tie breaks).
template <class T, class Key>
void shellSortDecreasing(T* a, size_t n, Key key) {
    size_t gap = 1;
    while (gap <= n / 9) gap = 3 * gap + 1;
    for (;; gap /= 3) {
        for (size_t i = gap; i < n; ++i) {
            const T v = a[i];
            const int32_t kv = key(v);
            size_t j = i;
            while (j >= gap && key(a[j - gap]) < kv) {
                a[j] = a[j - gap];
                j -= gap;
            }
            a[j] = v;
        }
        if (gap == 1) break;
    }
}

struct Box {
    uint32_t total;
    uint32_t first, last;  // inclusive run of the cell list
};

inline int32_t channelOfCell(uint32_t cell, int axis) { return int32_t(cell >> (10 - 5 * axis)) & 31; }

int32_t medianCut(int32_t n, const ImageDescriptor* src, int32_t w, int32_t h, uint8_t* quadsOut) {
    std::vector<uint16_t> histogram(kCells, 0);
    for (int32_t r = 0; r < h; ++r) {
        const uint8_t* p = rowPointer(src, src->y1 + r) + int64_t(src->x1) * 3;
        for (int32_t x = 0; x < w; ++x, p += 3) {
            uint16_t& c = histogram[cellOf(p)];
            if (c < kCountCap) ++c;
        }
    }
    std::vector<uint16_t> cells;
    uint32_t total = 0;
    for (uint32_t c = 0; c < kCells; ++c) {
        if (histogram[c]) {
            cells.push_back(uint16_t(c));
            total += histogram[c];
        }
    }
    std::vector<Box> boxes;
    boxes.reserve(size_t(n));
    boxes.push_back({total, 0, uint32_t(cells.size() - 1)});
    while (int32_t(boxes.size()) < n) {
        int chosen = -1;
        for (size_t i = 0; i < boxes.size(); ++i)
            if (boxes[i].last > boxes[i].first && (chosen < 0 || boxes[i].total > boxes[size_t(chosen)].total)) chosen = int(i);
        if (chosen < 0) break;
        Box& box = boxes[size_t(chosen)];
        int32_t lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
        for (uint32_t k = box.first; k <= box.last; ++k)
            for (int a = 0; a < 3; ++a) {
                const int32_t v = channelOfCell(cells[k], a);
                lo[a] = std::min(lo[a], v);
                hi[a] = std::max(hi[a], v);
            }
        const int axis = axisFor(hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]);
        shellSortDecreasing(&cells[box.first], box.last - box.first + 1,
                            [axis](uint16_t c) { return channelOfCell(c, axis); });
        const uint32_t half = box.total >> 1;
        uint32_t sum = 0, k = box.first;
        do {
            sum += histogram[cells[k]];
            ++k;
        } while (sum < half && k < box.last);
        const Box rest{box.total - sum, k, box.last};
        box.total = sum;
        box.last = k - 1;
        boxes.push_back(rest);
    }
    for (size_t i = 0; i < boxes.size(); ++i) {
        // Count times channel value over up to 32768 cells: wider than 32 bits in general.
        uint64_t sums[3] = {0, 0, 0};
        for (uint32_t k = boxes[i].first; k <= boxes[i].last; ++k)
            for (int a = 0; a < 3; ++a) sums[a] += uint64_t(histogram[cells[k]]) * uint64_t(channelOfCell(cells[k], a));
        uint8_t* q = quadsOut + 4 * i;
        for (int a = 0; a < 3; ++a) {
            const uint32_t v = uint32_t(sums[a] / boxes[i].total);
            q[2 - a] = uint8_t(v << 3 | v >> 2);  // red, green, blue to the quad's blue, green, red
        }
        q[3] = 0;
    }
    for (size_t i = boxes.size(); i < size_t(n); ++i) std::memcpy(quadsOut + 4 * i, quadsOut, 4);
    return IMG_OK;
}

// Nearest-colour mapping of the common area into dst through dst's table.
void mapToTable(const ImageDescriptor* src, ImageDescriptor* dst, int32_t w, int32_t h) {
    const int32_t colors = dst->colors;
    const uint8_t* pal = dst->palette;
    // Axis value of entry i: the chosen channel of its quad (blue at 0, green 1, red 2).
    int32_t lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    for (int32_t i = 0; i < colors; ++i)
        for (int a = 0; a < 3; ++a) {
            const int32_t v = pal[4 * i + 2 - a];
            lo[a] = std::min(lo[a], v);
            hi[a] = std::max(hi[a], v);
        }
    const int axis = axisFor(hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]);
    const int quadByte = 2 - axis;
    std::vector<uint8_t> sorted(static_cast<size_t>(colors));
    for (int32_t i = 0; i < colors; ++i) sorted[size_t(i)] = uint8_t(i);
    auto axisOf = [&](uint8_t i) { return int32_t(pal[4 * i + quadByte]); };
    shellSortDecreasing(sorted.data(), sorted.size(), axisOf);
    // Start table: the position of the entry nearest to each axis value; midway goes to the
    // lower value, above the largest value to position 0, and among equal values the lowest
    // position wins (the first met in decreasing order).
    std::array<int32_t, 256> start{};
    for (int32_t v = 0; v < 256; ++v) {
        int32_t best = 0, bestDiff = INT32_MAX;
        for (int32_t pos = 0; pos < colors; ++pos) {
            const int32_t pv = axisOf(sorted[size_t(pos)]);
            const int32_t diff = std::abs(pv - v);
            // Positions go from larger to smaller values: at an equal distance the later (lower)
            // value wins, at an equal value the earlier position stays.
            if (diff < bestDiff || (diff == bestDiff && pv < axisOf(sorted[size_t(best)]))) {
                best = pos;
                bestDiff = diff;
            }
        }
        start[size_t(v)] = best;
    }

    std::vector<uint8_t> cache(kCells, 0);
    std::vector<uint8_t> known(kCells / 8, 0);
    for (int32_t r = 0; r < h; ++r) {
        const uint8_t* p = rowPointer(src, src->y1 + r) + int64_t(src->x1) * 3;
        uint8_t* out = rowPointer(dst, dst->y1 + r) + dst->x1;
        for (int32_t x = 0; x < w; ++x, p += 3) {
            const uint32_t cell = cellOf(p);
            if (known[cell >> 3] & (1u << (cell & 7))) {
                out[x] = cache[cell];
                continue;
            }
            const int32_t B = p[0], G = p[1], R = p[2];
            const int32_t axisValue = p[quadByte];
            auto distance = [&](uint8_t i) {
                const uint8_t* q = pal + 4 * i;
                return (R - q[2]) * (R - q[2]) + (G - q[1]) * (G - q[1]) + (B - q[0]) * (B - q[0]);
            };
            const int32_t s = start[size_t(axisValue)];
            int32_t bestPos = s, d = distance(sorted[size_t(s)]);
            for (int32_t pos = s - 1; pos >= 0 && d; --pos) {
                const int32_t a = axisOf(sorted[size_t(pos)]) - axisValue;
                if (a * a >= d) break;
                const int32_t dd = distance(sorted[size_t(pos)]);
                if (dd < d) d = dd, bestPos = pos;
            }
            for (int32_t pos = s + 1; pos < colors && d; ++pos) {
                const int32_t a = axisOf(sorted[size_t(pos)]) - axisValue;
                if (a * a >= d) break;
                const int32_t dd = distance(sorted[size_t(pos)]);
                if (dd < d) d = dd, bestPos = pos;
            }
            const uint8_t index = sorted[size_t(bestPos)];
            cache[cell] = index;
            known[cell >> 3] |= uint8_t(1u << (cell & 7));
            out[x] = index;
        }
    }
}

int32_t rgbToPal(int32_t n, ImageDescriptor* src, ImageDescriptor* dst) {
    if (int32_t e = checkImage(src, kDepthsTgaJpegColour)) return e;
    if (int32_t e = checkImage(dst, kDepthsTgaJpegColour)) return e;
    if (imageBits(src) != 24 || imageBits(dst) != 8) return IMGERR_DEPTH;
    if (!dst->palette) return IMGERR_AREA;
    if (n < 2 || n > 256 || n > tableCapacity(dst)) return IMGERR_PARAMETER;
    const int32_t w = std::min(areaWidth(src), areaWidth(dst));
    const int32_t h = std::min(areaHeight(src), areaHeight(dst));
    std::vector<uint8_t> quads(size_t(n) * 4);
    if (int32_t e = medianCut(n, src, w, h, quads.data())) return e;
    std::memcpy(dst->palette, quads.data(), quads.size());
    dst->colors = n;
    {
        std::lock_guard lock(formatLock(Format::colourMap));
        mapToTable(src, dst, w, h);
    }
    dst->flags &= ~IMAGE_FLAG_GREY;
    return IMG_OK;
}

int32_t palToRgb(ImageDescriptor* src, ImageDescriptor* dst) {
    if (int32_t e = checkImage(src, kDepthsTgaJpegColour)) return e;
    if (int32_t e = checkImage(dst, kDepthsTgaJpegColour)) return e;
    if (imageBits(src) != 8 || imageBits(dst) != 24) return IMGERR_DEPTH;
    if (!src->palette) return IMGERR_AREA;
    const int32_t w = std::min(areaWidth(src), areaWidth(dst));
    const int32_t h = std::min(areaHeight(src), areaHeight(dst));
    // Indices beyond the table's room read as black rather than past it.
    std::array<uint8_t, 256 * 3> bgr{};
    const int32_t entries = tableCapacity(src);
    for (int32_t i = 0; i < entries; ++i) std::memcpy(&bgr[size_t(3 * i)], src->palette + 4 * i, 3);
    for (int32_t r = 0; r < h; ++r) {
        const uint8_t* in = rowPointer(src, src->y1 + r) + src->x1;
        uint8_t* out = rowPointer(dst, dst->y1 + r) + int64_t(dst->x1) * 3;
        for (int32_t x = 0; x < w; ++x, out += 3) std::memcpy(out, &bgr[size_t(3 * in[x])], 3);
    }
    return IMG_OK;
}

}  // namespace
}  // namespace kroimg

using namespace kroimg;

KRO_API int32_t convertrgbtopal(int32_t colors, ImageDescriptor* src, ImageDescriptor* dst) {
    return guarded([&] { return rgbToPal(colors, src, dst); });
}

KRO_API int32_t convertpaltorgb(ImageDescriptor* src, ImageDescriptor* dst) {
    return guarded([&] { return palToRgb(src, dst); });
}
