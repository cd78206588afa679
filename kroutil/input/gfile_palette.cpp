// Graphics input: the palette of 8-bit deliveries. Sources of up to 256 colours hand their own
// palette through; others get palettes computed from the colours of analysis frames (the input
// itself or a palette picture), and frames are mapped to the nearest entries.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kroutil/input/gfile_internal.h"
#include "kroutil/input/palette.h"
#include "kroutil/util/status_send.h"

namespace gfile {

namespace {

constexpr int32_t kSourceEnded = 65536;
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

// The visible part of a processed frame, as palette mapping reads it: packed 24-bit pixels when
// the conversion mode asks for them, else the frame itself.
struct Visible {
    SourceFrame view;
    int32_t x = 0;
    int32_t y = 0;
};

Visible visiblePart(GFile* g, const SourceFrame& f) {
    GFilePrivate* p = g->priv;
    Visible v{f, g->leftMargin, g->topMargin};
    bool convert = p->conversionMode == 1 ||
                   (p->conversionMode == 0 && !g->trueColour && g->bitsPerPixel > 8 && p->frameCount > 9);
    if (convert && p->processor && f.pixels && g->kind != GFILE_KIND_LIST) {
        const SourceFrame* packed = p->processor->packed24(g->leftMargin, g->topMargin, g->visibleWidth, g->visibleHeight);
        if (packed) v = Visible{*packed, 0, 0};
    }
    return v;
}

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
    if (a->paletteThreshold >= 32000 && a->paletteMethod == 0 && f.depth <= 8) {
        if (f.palette) std::memcpy(palette + 3 * start, f.palette + 3 * start, size_t(count) * 3);
        if (a->paletteOption == 1) kro::writeSystemColours(palette);
        ap->pendingFrame = 0;
        return sourceEnded(a) ? kSourceEnded : 1;
    }
    // 3. The histogram of the analysed frames.
    kro::Histogram histogram;
    if (!histogram.valid()) {
        kro::statusError(a->status, "Out of memory");
        return 0;
    }
    int32_t counted = 0;
    int32_t result = 0;
    uint8_t lastPalette[768];
    bool lastPaletteKnown = false;
    int64_t before = outputFramesBefore(a, ap->firstIndex);
    for (;;) {
        char text[160];
        std::snprintf(text, sizeof text, "%s frame %li of %li...", a->progressCaption,
                      long(before + a->outputFrameCounter + (ap->pendingFrame ? 0 : 1)),
                      long(before + a->outputFrameCount));
        if (kro::statusProgress(a->status, text, counted == 0)) return 0;
        if (!ap->pendingFrame && !readAnalysisFrame(a, proc)) {
            result = kSourceEnded;
            break;
        }
        ap->pendingFrame = 0;
        f = analysedFrame(a);
        if (f.depth <= 8 && f.palette) {
            // Method 2 ends the analysis at a frame that brings another palette.
            if (a->paletteMethod == 2 && lastPaletteKnown && counted > 0 && std::memcmp(lastPalette, f.palette, 768)) {
                ap->pendingFrame = 1;
                result = counted;
                break;
            }
            std::memcpy(lastPalette, f.palette, 768);
            lastPaletteKnown = true;
        }
        Visible v = visiblePart(a, f);
        histogram.addView(v.view, v.x, v.y, a->visibleWidth, a->visibleHeight);
        // The canvas the frame leaves uncovered shows black.
        uint64_t cols = uint64_t(std::max(0, std::min(a->visibleWidth, f.width - a->leftMargin)));
        uint64_t rows = uint64_t(std::max(0, std::min(a->visibleHeight, f.height - a->topMargin)));
        histogram.add(0, uint64_t(a->canvasWidth) * uint64_t(a->canvasHeight) - cols * rows);
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
    // 4. Entries held by the system colours.
    kro::ReservedEntries reserved = kro::reservedEntries(start, count, a->paletteOption);
    if (a->paletteOption != 2) kro::writeSystemColours(palette);
    // 5. How much each entry shows on the canvas now.
    uint64_t weights[256] = {};
    const uint8_t* visible = canvas ? canvas + int64_t(yOffset) * pitch + xOffset : nullptr;
    uint64_t outside = 0;
    if (canvas) {
        uint64_t all = uint64_t(a->canvasWidth) * uint64_t(a->canvasHeight);
        uint64_t shown = uint64_t(std::max(visibleWidth, 0)) * uint64_t(std::max(visibleRows, 0));
        outside = all > shown ? all - shown : 0;
    }
    kro::usageWeights(visible, pitch, visibleWidth, visibleRows, outside, weights);
    (void)leftMargin;
    (void)topMargin;
    // 6. The reduction.
    KroStatusProc status = a->status;
    kro::PaletteProgress progress = [status](const char* text, int32_t level) -> int32_t {
        return kro::statusProgress(status, text, level == 1) ? 1 : 0;
    };
    kro::reducePalette(histogram, palette, reserved.start, reserved.count, reserved.low, reserved.high, weights,
                       progress);
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

// Maps the processed frame into the canvas: 8-bit frames through a table, deeper ones through
// the cached nearest-entry search.
void mapIntoCanvas(GFile* g, const Visible& v, const uint8_t* table) {
    GFilePrivate* p = g->priv;
    if (!v.view.pixels || g->visibleWidth <= 0 || g->visibleHeight <= 0) return;
    uint8_t* at = g->canvasBuffer + int64_t(g->visibleY) * g->canvasPitch + g->visibleX;
    if (v.view.depth <= 8) {
        kro::convertToCanvas8(v.view, v.x, v.y, g->visibleWidth, g->visibleHeight, at, g->canvasPitch, table);
        return;
    }
    if (p->mapperStale) {
        p->mapper->setPalette(g->workingPalette, g->paletteStart, g->paletteCount);
        p->mapperStale = false;
    }
    p->mapper->mapView(v.view, v.x, v.y, g->visibleWidth, g->visibleHeight, at, g->canvasPitch);
}

}  // namespace

bool deliverPalettised(GFile* g, const Processing& proc) {
    GFilePrivate* p = g->priv;
    SourceFrame f = processedFrame(g);
    g->paletteChanged = 0;
    int32_t fullCount = g->paletteCount + g->paletteReserve;
    // 1. Sources of up to 256 colours with their own palette.
    if (g->bitsPerPixel <= 8 && !g->paletteFile[0] && g->paletteMethod == 0 && g->paletteThreshold >= 32000) {
        static const uint8_t kBlack[768] = {};
        const uint8_t* source = f.depth <= 8 && f.palette ? f.palette : kBlack;
        if (std::memcmp(g->workingPalette, source, 768) != 0) g->paletteChanged = 1;
        std::memcpy(g->workingPalette, source, 768);
        bool remap = g->paletteOption == 1 || g->paletteStart != 0 || fullCount != 256;
        if (remap) {
            if (!p->remapValid || std::memcmp(p->remapPalette, source, 768) != 0) {
                std::memcpy(p->remapPalette, source, 768);
                p->remapValid = true;
                if (g->paletteOption == 1) kro::writeSystemColours(g->workingPalette);
                kro::buildRemapTable(source, g->workingPalette, g->paletteStart, fullCount, p->remap);
            } else if (g->paletteOption == 1) {
                kro::writeSystemColours(g->workingPalette);
            }
        }
        if (g->paletteChanged) p->mapperStale = true;
        mapIntoCanvas(g, Visible{f, g->leftMargin, g->topMargin}, remap ? p->remap : nullptr);
        return true;
    }
    // 2. Palettes computed from an analysis source, again whenever the countdown runs out.
    if (p->paletteCountdown == 0) {
        if (!openAnalysis(g)) return false;
        uint8_t before[768];
        std::memcpy(before, g->workingPalette, 768);
        if (f.depth <= 8 && f.palette) {
            // Entries outside the computed range come from the source.
            for (int32_t e = 0; e < 256; ++e)
                if (e < g->paletteStart || e >= g->paletteStart + g->paletteCount)
                    std::memcpy(g->workingPalette + 3 * e, f.palette + 3 * e, 3);
        }
        if (g->paletteReserve && !g->paletteFileDefaults) {
            // Successive palettes take turns between two overlapping ranges, so that a new
            // palette leaves alone the entries the frame on screen uses.
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
        // After the end of the analysis source the next palette comes 65535 frames later (from
        // its start again); after a cancel none comes.
        p->paletteCountdown = result == 0 ? UINT32_MAX : uint32_t(result - 1);
        if (std::memcmp(before, g->workingPalette, 768) != 0) {
            if (std::memcmp(before + 3 * g->paletteStart, g->workingPalette + 3 * g->paletteStart,
                            size_t(g->paletteCount) * 3) != 0)
                g->paletteChanged = 1;
            p->mapperStale = true;
        }
    } else {
        --p->paletteCountdown;
    }
    // 3. Mapping onto the entries of the range.
    Visible v = visiblePart(g, f);
    if (v.view.depth <= 8 && v.view.pixels) {
        // An 8-bit frame under a computed palette: each of its colours to the nearest entry.
        if (p->mapperStale) {
            p->mapper->setPalette(g->workingPalette, g->paletteStart, g->paletteCount);
            p->mapperStale = false;
        }
        uint8_t table[256];
        for (int i = 0; i < 256; ++i) {
            const uint8_t* c = v.view.palette ? v.view.palette + 3 * i : nullptr;
            table[i] = c ? p->mapper->map(kro::colourCode(c[0], c[1], c[2])) : p->mapper->map(kro::colourCode(i, i, i));
        }
        mapIntoCanvas(g, v, table);
        return true;
    }
    mapIntoCanvas(g, v, nullptr);
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
    p->mapperStale = true;
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
