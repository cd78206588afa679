// Palettes for 8-bit output: the colour histogram, the reduction of a histogram to a palette
// by box splitting, the placement of the new colours so that what is on screen changes as
// little as possible, and the mapping of frames onto a palette (a remap table for 8-bit
// sources, a cached nearest-entry search for deeper ones).
//
// Colours are counted by an 18-bit colour code, 6 bits per channel:
// (R >> 2) << 12 | (G >> 2) << 6 | (B >> 2). Palettes are 256 entries of red, green, blue bytes
// (768 bytes), as in the GFile record's working palette.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "kroutil/input/frame_process.h"

namespace kro {

constexpr uint32_t kColourCodes = 262144;

inline uint32_t colourCode(uint32_t r, uint32_t g, uint32_t b) {
    return ((r >> 2) << 12) | ((g >> 2) << 6) | (b >> 2);
}
// The code of a 0xAARRGGBB pixel.
inline uint32_t colourCodeOf(uint32_t argb) {
    return ((argb >> 6) & 0x3F000) | ((argb >> 4) & 0xFC0) | ((argb >> 2) & 0x3F);
}
// A 6-bit channel value as an 8-bit one.
inline uint8_t expand6(uint32_t c) { return static_cast<uint8_t>((c << 2) | (c >> 4)); }

// Progress and cancel for the palette work: receives the status text and its level (1 for the
// first text of a phase, 0 after); a non-zero answer asks to cancel. An empty function never
// cancels. The GFile record forwards these to its status callback.
using PaletteProgress = std::function<int32_t(const char* text, int32_t level)>;

// Counts per colour code, 64-bit so that long analyses cannot wrap.
class Histogram {
public:
    Histogram();  // all counts 0; check valid() (the table is 2 MB)
    bool valid() const { return counts_ != nullptr; }
    void clear();

    void add(uint32_t code, uint64_t n) { counts_[code & (kColourCodes - 1)] += n; }
    uint64_t count(uint32_t code) const { return counts_[code & (kColourCodes - 1)]; }
    uint64_t* data() { return counts_.get(); }
    const uint64_t* data() const { return counts_.get(); }

    // One row of n pixels of each depth (see FrameView for the layouts). Indexed rows use
    // the palette (768 bytes; null reads as grey); 5-5-5 rows count the top 6 bits of each
    // channel as read (c << 3).
    void addIndexedRow(const uint8_t* row, int32_t n, const uint8_t* palette);
    void addNibbleRow(const uint8_t* row, int32_t n, const uint8_t* palette);
    void add555Row(const uint8_t* row, int32_t n);
    void add24Row(const uint8_t* row, int32_t n);
    void add32Row(const uint8_t* row, int32_t n);
    // The part of a picture at (x, y), width x rows, clipped to it, by its depth.
    void addView(const FrameView& picture, int32_t x, int32_t y, int32_t width, int32_t rows);

private:
    std::unique_ptr<uint64_t[]> counts_;
};

// The 20 fixed colours kept in entries 0-9 and 246-255 (red, green, blue).
extern const uint8_t kSystemColours[20][3];
// Writes them into entries 0-9 and 246-255 of a 768-byte palette.
void writeSystemColours(uint8_t* palette);

// Entries of [start, start + count) held by system colours under a palette option (0 and 1
// reserve them, 2 does not): `low` entries from start, `high` entries ending at start + count.
// The range is first cut to the part of it inside the palette.
struct ReservedEntries {
    int32_t start = 0;
    int32_t count = 0;
    int32_t low = 0;
    int32_t high = 0;
};
ReservedEntries reservedEntries(int32_t start, int32_t count, int32_t option);

// Usage weight of each palette index on the current canvas: the number of visible pixels
// (width x rows at `pixels`, rows `pitch` bytes apart; null pixels count nothing) that hold
// it, plus `outside` (the canvas pixels outside the visible part) for index 0.
void usageWeights(const uint8_t* pixels, ptrdiff_t pitch, int32_t width, int32_t rows,
                  uint64_t outside, uint64_t weights[256]);

struct ReduceResult {
    int32_t boxes = 0;        // new colours made (entries written from start + low on)
    bool cancelled = false;   // the progress callback stopped the splitting early
    bool failed = false;      // no memory: the palette is unchanged
};

// Reduces the histogram into entries [start + low, start + count - high) of `palette`:
// the colours of the reserved entries (low from start, high ending at start + count, as they
// stand in the palette) are removed from the histogram; the remaining colours are split into
// at most count - low - high boxes, each time splitting the box whose split lowers the error
// most; the box means are then placed on the entries so that the weighted change from the
// palette's previous colours is small (weights: 256 usage weights by palette index, null for
// all 0). Slots left without a colour keep theirs. Progress texts: "Reducing the number of
// colors (%i%%)..." while splitting (a non-zero answer stops the splitting; the boxes made so
// far are placed), then "Minimizing palette changes..." (level 1). The histogram is consumed.
ReduceResult reducePalette(Histogram& histogram, uint8_t* palette, int32_t start, int32_t count,
                           int32_t low, int32_t high, const uint64_t* weights,
                           const PaletteProgress& progress);

// The remap table of an 8-bit source onto entries [start, start + count) of `palette`: source
// colour j (of sourcePalette) goes to the entry e with the least |j - e| + 256 x (squared RGB
// distance), searching from the entry that corresponds to j. With an empty range every colour
// maps to itself.
void buildRemapTable(const uint8_t* sourcePalette, const uint8_t* palette, int32_t start,
                     int32_t count, uint8_t table[256]);

// Nearest-entry mapping of deep pixels onto entries [start, start + count) of a palette (least
// sum of squared 6-bit channel differences, the first entry on ties), cached per colour code.
// The cache lives as long as the mapper and is cleared whenever setPalette() sees a different
// palette or range.
class ColourMapper {
public:
    ColourMapper();
    ~ColourMapper();
    ColourMapper(const ColourMapper&) = delete;
    ColourMapper& operator=(const ColourMapper&) = delete;

    // The palette (768 bytes, copied) and range the next mappings use. False when the cache
    // memory could not be had.
    bool setPalette(const uint8_t* palette, int32_t start, int32_t count);
    void clear();

    // The palette index for a colour code (start when the range is empty).
    uint8_t map(uint32_t code);
    // Maps the part of a picture of depth 16, 24 or 32 at (x, y), width x rows (clipped to
    // it), into 8-bit indices at dst, rows dstPitch bytes apart. Pictures of depth 8 or less
    // are left to convertToCanvas8.
    void mapView(const FrameView& picture, int32_t x, int32_t y, int32_t width, int32_t rows,
                 uint8_t* dst, ptrdiff_t dstPitch);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Tests: when set, the mapper searches with its plain code even where AVX2 is there (both
// give the same entries).
extern bool gMapperPlainOnly;
// Tests: boxes of more colours than this keep their bucketed sums between splits (default 2048).
extern uint32_t gPaletteKeepBuckets;

}  // namespace kro
