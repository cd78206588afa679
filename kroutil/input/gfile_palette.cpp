// Graphics input: the palette of 8-bit deliveries. Sources of up to 256 colours hand their own
// palette through; others get palettes computed from the colours of analysis frames (the input
// itself or a palette picture), and frames are mapped to the nearest entries.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kroutil/input/gfile_internal.h"
#include "kroutil/util/status_send.h"

namespace gfile {

namespace {

constexpr int32_t kSourceEnded = 65536;
constexpr uint32_t kColourCodes = 1u << 18;

constexpr uint8_t kSystemColours[20][3] = {
    {0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128},
    {128, 0, 128},   {0, 128, 128},   {192, 192, 192}, {192, 220, 192}, {166, 202, 240},
    {255, 251, 240}, {160, 160, 164}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0},
    {255, 255, 0},   {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};

void writeSystemColours(uint8_t* palette) {
    for (int i = 0; i < 10; ++i) std::memcpy(palette + 3 * i, kSystemColours[i], 3);
    for (int i = 0; i < 10; ++i) std::memcpy(palette + 3 * (246 + i), kSystemColours[10 + i], 3);
}

inline uint32_t colourCode(uint32_t rgb) {
    return ((rgb >> 18) & 63) << 12 | ((rgb >> 10) & 63) << 6 | ((rgb >> 2) & 63);
}

// 0x00RRGGBB of a processed frame's pixel.
inline uint32_t rgbAt(const SourceFrame& f, const uint8_t* row, int32_t c) {
    switch (f.bits) {
    case 32: {
        uint32_t v;
        std::memcpy(&v, row + size_t(c) * 4, 4);
        return v & 0xFFFFFF;
    }
    case 24: {
        const uint8_t* q = row + size_t(c) * 3;
        return uint32_t(q[0]) | uint32_t(q[1]) << 8 | uint32_t(q[2]) << 16;
    }
    case 16: {
        uint32_t v = uint32_t(row[size_t(c) * 2]) | uint32_t(row[size_t(c) * 2 + 1]) << 8;
        return ((v >> 10) & 31) << 19 | ((v >> 5) & 31) << 11 | (v & 31) << 3;
    }
    default: {
        const uint8_t* e = f.palette + size_t(row[c]) * 3;
        return uint32_t(e[0]) << 16 | uint32_t(e[1]) << 8 | e[2];
    }
    }
}

// The palette entry in [start, start + count) nearest to a colour code (6-bit distance).
uint8_t nearestEntry(const uint8_t* palette, int32_t start, int32_t count, uint32_t code) {
    int32_t r = (code >> 12) & 63, g = (code >> 6) & 63, b = code & 63;
    uint32_t best = UINT32_MAX;
    int32_t bestEntry = start;
    for (int32_t e = start; e < start + count; ++e) {
        int32_t dr = r - (palette[3 * e] >> 2), dg = g - (palette[3 * e + 1] >> 2), db = b - (palette[3 * e + 2] >> 2);
        uint32_t d = uint32_t(dr * dr + dg * dg + db * db);
        if (d < best) {
            best = d;
            bestEntry = e;
            if (d == 0) break;
        }
    }
    return uint8_t(bestEntry);
}

// The 8-bit remap table: each source colour to the nearest entry of the range, ties to the
// nearer index, searching from the entry of the same number.
void buildRemap(const uint8_t* source, const uint8_t* palette, int32_t start, int32_t count, uint8_t* table) {
    for (int32_t j = 0; j < 256; ++j) {
        uint64_t best = UINT64_MAX;
        int32_t bestEntry = start;
        int32_t first = std::clamp(j, start, start + count - 1);
        for (int32_t k = 0; k < count; ++k) {
            int32_t e = start + (first - start + k) % count;
            int64_t dr = int64_t(source[3 * j]) - palette[3 * e], dg = int64_t(source[3 * j + 1]) - palette[3 * e + 1],
                    db = int64_t(source[3 * j + 2]) - palette[3 * e + 2];
            uint64_t dist = uint64_t(dr * dr + dg * dg + db * db);
            uint64_t d = uint64_t(std::abs(j - e)) + 256 * dist;
            if (d < best) {
                best = d;
                bestEntry = e;
                if (dist == 0) break;
            }
        }
        table[j] = uint8_t(bestEntry);
    }
}

// Reduces a histogram of colour codes to the entries [start, start + count) of palette.
void reduceHistogram(const uint64_t* histogram, uint8_t* palette, int32_t start, int32_t count, KroStatusProc status) {
    (void)status;
    std::vector<std::pair<uint64_t, uint32_t>> used;
    for (uint32_t c = 0; c < kColourCodes; ++c)
        if (histogram[c]) used.push_back({histogram[c], c});
    std::sort(used.begin(), used.end(), [](auto& a, auto& b) { return a.first > b.first || (a.first == b.first && a.second < b.second); });
    for (int32_t i = 0; i < count && size_t(i) < used.size(); ++i) {
        uint32_t c = used[size_t(i)].second;
        auto expand = [](uint32_t v) { return uint8_t((v << 2) | (v >> 4)); };
        palette[3 * (start + i)] = expand((c >> 12) & 63);
        palette[3 * (start + i) + 1] = expand((c >> 6) & 63);
        palette[3 * (start + i) + 2] = expand(c & 63);
    }
}

// Reads the analysis source's next output frame (processed); false when it has none left.
bool readAnalysisFrame(GFile* a, const Processing& proc) {
    if (a->outputFrameCounter >= a->outputFrameCount) return false;
    bool readAny = false;
    bool have = advanceFrame(a, proc, &readAny);
    ++a->outputFrameCounter;
    return have;
}

bool sourceEnded(const GFile* a) { return a->outputFrameCounter >= a->outputFrameCount; }

SourceFrame analysedFrame(const GFile* a) { return processedFrame(a); }

}  // namespace

// ---- histogram analysis ------------------------------------------------------------------------------

int32_t bestPalette(GFile* a, uint8_t* palette, const uint8_t* canvas, int32_t visibleWidth, int32_t visibleRows,
                    int32_t pitch, int32_t xOffset, int32_t yOffset, int32_t leftMargin, int32_t topMargin,
                    const Processing& proc) {
    GFilePrivate* ap = a->priv;
    int32_t start = a->paletteStart, count = a->paletteCount;
    // 1. A frame to look at.
    if (!ap->pendingFrame) {
        if (!readAnalysisFrame(a, proc)) return kSourceEnded;
        ap->pendingFrame = 1;
    }
    SourceFrame f = analysedFrame(a);
    // 2. Sources that bring their own palette.
    if (a->paletteThreshold >= 32000 && a->paletteMethod == 0 && f.bits <= 8) {
        std::memcpy(palette + 3 * start, f.palette + 3 * start, size_t(count) * 3);
        if (a->paletteOption == 1) writeSystemColours(palette);
        ap->pendingFrame = 0;
        return sourceEnded(a) ? kSourceEnded : 1;
    }
    // 3. The histogram of the analysed frames.
    std::vector<uint64_t> histogram(kColourCodes, 0);
    int32_t counted = 0;
    int32_t result = 0;
    uint8_t lastPalette[768];
    bool lastPaletteKnown = false;
    for (;;) {
        char text[160];
        int64_t first = 0;
        std::snprintf(text, sizeof text, "%s frame %li of %li...", a->progressCaption,
                      long(first + a->outputFrameCounter + (ap->pendingFrame ? 0 : 1)), long(a->outputFrameCount));
        if (kro::statusProgress(a->status, text, counted == 0)) return 0;
        if (!ap->pendingFrame) {
            if (!readAnalysisFrame(a, proc)) {
                result = kSourceEnded;
                break;
            }
        }
        ap->pendingFrame = 0;
        f = analysedFrame(a);
        if (f.bits <= 8 && f.palette) {
            // Method 2 ends the analysis at a frame that brings another palette.
            if (a->paletteMethod == 1 && lastPaletteKnown && counted > 0 && std::memcmp(lastPalette, f.palette, 768)) {
                ap->pendingFrame = 1;
                result = counted;
                break;
            }
            std::memcpy(lastPalette, f.palette, 768);
            lastPaletteKnown = true;
        }
        int32_t rows = std::min(a->visibleHeight, f.height - a->topMargin);
        int32_t cols = std::min(a->visibleWidth, f.width - a->leftMargin);
        uint64_t covered = 0;
        for (int32_t r = 0; r < rows; ++r) {
            const uint8_t* row = f.pixels + (int64_t(r) + a->topMargin) * f.pitch;
            for (int32_t c = 0; c < cols; ++c) ++histogram[colourCode(rgbAt(f, row, c + a->leftMargin))];
            covered += uint64_t(std::max(cols, 0));
        }
        histogram[0] += uint64_t(a->canvasWidth) * uint64_t(a->canvasHeight) - covered;
        ++counted;
        if (sourceEnded(a)) {
            result = kSourceEnded;
            break;
        }
        if (counted >= a->paletteThreshold) {
            result = counted;
            break;
        }
    }
    // 4. Reserved system colours.
    int32_t low = 0, high = 0;
    if (a->paletteOption != 2) {
        low = start < 10 ? 10 - start : 0;
        high = start + count > 246 ? start + count - 246 : 0;
        low = std::min(low, count);
        high = std::min(high, count - low);
        writeSystemColours(palette);
    }
    // 5. Usage weights of the entries on screen now.
    std::vector<uint64_t> weights(256, 0);
    if (canvas) {
        for (int32_t r = 0; r < visibleRows; ++r) {
            const uint8_t* row = canvas + (int64_t(r) + yOffset) * pitch + xOffset;
            for (int32_t c = 0; c < visibleWidth; ++c) ++weights[row[c]];
        }
    }
    (void)leftMargin;
    (void)topMargin;
    // 6. The reduction.
    for (int32_t e = start; e < start + low; ++e) {
        uint32_t code = (uint32_t(palette[3 * e]) >> 2) << 12 | (uint32_t(palette[3 * e + 1]) >> 2) << 6 | (palette[3 * e + 2] >> 2);
        histogram[code] = 0;
    }
    for (int32_t e = start + count - high; e < start + count; ++e) {
        uint32_t code = (uint32_t(palette[3 * e]) >> 2) << 12 | (uint32_t(palette[3 * e + 1]) >> 2) << 6 | (palette[3 * e + 2] >> 2);
        histogram[code] = 0;
    }
    reduceHistogram(histogram.data(), palette, start + low, count - low - high, a->status);
    return result;
}

// ---- 8-bit delivery -------------------------------------------------------------------------------------

namespace {

bool openAnalysis(GFile* g) {
    GFilePrivate* p = g->priv;
    if (p->analysis) return true;
    const char* caption = "Analyzing colors in";
    if (g->paletteFile[0]) {
        int32_t rates[4] = {p->openRates[0], p->openRates[1], p->openRates[2], p->openRates[3]};
        if (g->paletteFileDefaults) {
            p->analysis = openInternal(g->paletteFile, 1, (const int32_t[4]){0, 0, 0, 0}, 0, 0, 0, 0, 0, 0, 0, 0, 65536, 0,
                                       256, 0, 2, 2, "", caption, g->status, 0);
        } else {
            p->analysis = openInternal(g->paletteFile, 1, rates, 0, 0, 0, 0, 0, 0, 0, 0, g->paletteThreshold,
                                       g->paletteStart, g->paletteCount + g->paletteReserve, g->paletteReserve,
                                       g->paletteOption, 2, "", caption, g->status, 0);
        }
        if (!p->analysis) {
            kro::statusError(g->status, "Error opening palette graphics file.");
            return false;
        }
    } else {
        p->analysis = openInternal(g->name, p->openFlags, p->openRates, g->widthSpec, g->heightSpec, g->x, g->y,
                                   g->canvasWidth, g->canvasHeight, p->openFirst, p->openLast, g->paletteThreshold,
                                   g->paletteStart, g->paletteCount + g->paletteReserve, g->paletteReserve,
                                   g->paletteOption, p->conversionMode, "", caption, g->status, 0);
        if (!p->analysis) return false;
    }
    return true;
}

// Maps the processed frame into the canvas through the palette.
void mapIntoCanvas(GFile* g, bool throughRemap) {
    GFilePrivate* p = g->priv;
    SourceFrame f = processedFrame(g);
    if (!f.pixels) return;
    int32_t rows = std::min(g->visibleHeight, f.height - g->topMargin);
    int32_t cols = std::min(g->visibleWidth, f.width - g->leftMargin);
    int32_t start = g->paletteStart, count = g->paletteCount;
    if (f.bits > 8 && p->nearest.empty()) p->nearest.assign(kColourCodes, 0);
    for (int32_t r = 0; r < rows; ++r) {
        const uint8_t* src = f.pixels + (int64_t(r) + g->topMargin) * f.pitch;
        uint8_t* dst = g->canvasBuffer + (int64_t(r) + g->visibleY) * g->canvasPitch + g->visibleX;
        if (f.bits <= 8) {
            const uint8_t* s = src + g->leftMargin;
            if (throughRemap)
                for (int32_t c = 0; c < cols; ++c) dst[c] = p->remap[s[c]];
            else
                std::memcpy(dst, s, size_t(std::max(cols, 0)));
            continue;
        }
        for (int32_t c = 0; c < cols; ++c) {
            uint32_t code = colourCode(rgbAt(f, src, c + g->leftMargin));
            int16_t& known = p->nearest[code];
            if (!known) known = int16_t(nearestEntry(g->workingPalette, start, count, code) + 1);
            dst[c] = uint8_t(known - 1);
        }
    }
}

}  // namespace

bool deliverPalettised(GFile* g, const Processing& proc) {
    GFilePrivate* p = g->priv;
    SourceFrame f = processedFrame(g);
    g->paletteChanged = 0;
    int32_t fullCount = g->paletteCount + g->paletteReserve;
    // 1. Sources of up to 256 colours with their own palette.
    if (g->bitsPerPixel <= 8 && !g->paletteFile[0] && g->paletteMethod == 0 && g->paletteThreshold >= 32000) {
        if (std::memcmp(g->workingPalette, f.palette, 768) != 0) g->paletteChanged = 1;
        std::memcpy(g->workingPalette, f.palette, 768);
        bool remap = g->paletteOption == 1 || g->paletteStart != 0 || fullCount != 256;
        if (remap && f.bits <= 8 && (!p->remapValid || std::memcmp(p->remapPalette, f.palette, 768) != 0)) {
            std::memcpy(p->remapPalette, f.palette, 768);
            if (g->paletteOption == 1) writeSystemColours(g->workingPalette);
            buildRemap(f.palette, g->workingPalette, g->paletteStart, fullCount, p->remap);
            p->remapValid = true;
        } else if (remap && g->paletteOption == 1) {
            writeSystemColours(g->workingPalette);
        }
        if (g->paletteChanged) p->nearest.clear();
        mapIntoCanvas(g, remap);
        return true;
    }
    // 2. Palettes computed from an analysis source, again whenever the countdown runs out.
    if (p->paletteCountdown == 0) {
        if (!openAnalysis(g)) return false;
        uint8_t before[768];
        std::memcpy(before, g->workingPalette, 768);
        if (f.bits <= 8 && f.palette) {
            // Entries outside the computed range come from the source.
            for (int32_t e = 0; e < 256; ++e)
                if (e < g->paletteStart || e >= g->paletteStart + g->paletteCount)
                    std::memcpy(g->workingPalette + 3 * e, f.palette + 3 * e, 3);
        }
        if (g->paletteReserve && !g->paletteFileDefaults) {
            g->paletteStart = p->baseStart + (p->alternate ? g->paletteReserve : 0);
            p->alternate = !p->alternate;
        }
        GFile* a = p->analysis;
        a->paletteStart = g->paletteStart;
        a->paletteCount = g->paletteCount;
        int32_t result = bestPalette(a, g->workingPalette, g->outputFrameCounter > 1 ? g->canvasBuffer : nullptr,
                                     g->visibleWidth, g->visibleHeight, g->canvasPitch, g->visibleX, g->visibleY,
                                     g->leftMargin, g->topMargin, proc);
        g->newPalette = 1;
        if (result == kSourceEnded || result == 0) {
            GFileClose(p->analysis);
            p->analysis = nullptr;
        }
        p->paletteCountdown = result == 0 ? UINT32_MAX : uint32_t(result - 1);
        if (std::memcmp(before + 3 * g->paletteStart, g->workingPalette + 3 * g->paletteStart,
                        size_t(g->paletteCount) * 3) != 0) {
            g->paletteChanged = 1;
            p->nearest.clear();
        }
    } else {
        --p->paletteCountdown;
    }
    // 3. Mapping to the nearest entries.
    if (f.bits <= 8) {
        // An 8-bit frame under a computed palette goes through its colours.
        p->frame24.clear();
        if (p->nearest.empty()) p->nearest.assign(kColourCodes, 0);
        SourceFrame sf = f;
        int32_t rows = std::min(g->visibleHeight, sf.height - g->topMargin);
        int32_t cols = std::min(g->visibleWidth, sf.width - g->leftMargin);
        for (int32_t r = 0; r < rows; ++r) {
            const uint8_t* src = sf.pixels + (int64_t(r) + g->topMargin) * sf.pitch;
            uint8_t* dst = g->canvasBuffer + (int64_t(r) + g->visibleY) * g->canvasPitch + g->visibleX;
            for (int32_t c = 0; c < cols; ++c) {
                uint32_t code = colourCode(rgbAt(sf, src, c + g->leftMargin));
                int16_t& known = p->nearest[code];
                if (!known) known = int16_t(nearestEntry(g->workingPalette, g->paletteStart, g->paletteCount, code) + 1);
                dst[c] = uint8_t(known - 1);
            }
        }
        return true;
    }
    mapIntoCanvas(g, false);
    return true;
}

void resetPalette(GFile* g) {
    GFilePrivate* p = g->priv;
    closePalette(g);
    std::memset(g->workingPalette, 0, 768);
    g->paletteStart = p->baseStart;
    p->alternate = false;
    p->paletteCountdown = 0;
    p->remapValid = false;
    p->nearest.clear();
    p->pendingFrame = 0;
}

void closePalette(GFile* g) {
    GFilePrivate* p = g->priv;
    if (p->analysis) GFileClose(p->analysis);
    p->analysis = nullptr;
}

}  // namespace gfile

extern "C" KRO_API int32_t GFileBestPalette(GFile* analysis, uint8_t* palette, const uint8_t* canvas,
                                            int32_t visibleWidth, int32_t visibleRows, int32_t pitch, int32_t xOffset,
                                            int32_t yOffset, int32_t leftMargin, int32_t topMargin, int32_t median,
                                            int32_t softening, int32_t levels, int32_t brightness, float gamma,
                                            int32_t threshold) {
    if (!analysis || !analysis->priv || !palette) return 0;
    gfile::Processing proc;
    proc.median = median;
    proc.softening = softening;
    proc.levels = levels;
    proc.brightness = brightness;
    proc.gamma = gamma;
    proc.threshold = threshold;
    return gfile::bestPalette(analysis, palette, canvas, visibleWidth, visibleRows, pitch, xOffset, yOffset, leftMargin,
                              topMargin, proc);
}
