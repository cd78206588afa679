// Graphics input: opening a source (detection, range, size, placement and rates), delivering
// frames at the output rate into the canvas, reset and close.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/mem_block.h"
#include "kroutil/input/gfile_internal.h"
#include "kroutil/util.h"
#include "kroutil/util/status_send.h"

namespace gfile {

namespace {

// Canvas and frame sides above this are refused at open: the canvas and the work pictures of a
// larger frame would not be worth attempting.
constexpr int64_t kLargestSide = 16384;
constexpr int32_t kAllFrames = 16777215;

using u128 = unsigned __int128;

int64_t clampToInt32(int64_t v) { return std::clamp<int64_t>(v, INT32_MIN, INT32_MAX); }

uint64_t gcd64(uint64_t a, uint64_t b) {
    while (b) {
        uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// A positive rate fraction reduced into 32 bits (precision dropped from both sides when it
// does not fit); 0 parts give 0/0.
void storeRate(uint64_t n, uint64_t d, int32_t* num, int32_t* den) {
    if (n == 0 || d == 0) {
        *num = *den = 0;
        return;
    }
    uint64_t g = gcd64(n, d);
    n /= g;
    d /= g;
    while (n > INT32_MAX || d > INT32_MAX) {
        n = std::max<uint64_t>(n >> 1, 1);
        d = std::max<uint64_t>(d >> 1, 1);
    }
    *num = int32_t(n);
    *den = int32_t(d);
}

// One side of the output size from its spec (-1 is handled by the caller).
int64_t sideFromSpec(int32_t spec, int64_t source) {
    if (spec == 0) return source;
    if (spec > 0) return spec;
    if (spec >= -1000) return source * -int64_t(spec);
    return source * (-1000 - int64_t(spec)) / 1000;
}

}  // namespace

int64_t outputFramesBefore(const GFile* g, int64_t i) {
    u128 num = u128(uint64_t(i)) * uint32_t(g->outputRateNum) * uint32_t(g->samplingRateDen);
    u128 den = u128(uint32_t(g->outputRateDen)) * uint32_t(g->samplingRateNum);
    if (den == 0) return i;
    u128 q = num / den;
    return q > INT32_MAX ? INT32_MAX : int64_t(q);
}

namespace {

void freeRecord(GFile* g) {
    if (!g) return;
    if (g->priv) {
        closePalette(g);
        closeSource(g);
        closeList(g);
        delete g->priv;
    }
    TorvexMemFree(g->canvasBuffer);
    delete g;
}

bool allocateCanvas(GFile* g) {
    TorvexMemFree(g->canvasBuffer);
    g->canvasBuffer = nullptr;
    int64_t rowPixels = (int64_t(g->canvasWidth) + 3) & ~int64_t(3);
    g->canvasPitch = int32_t(rowPixels * (g->trueColour ? 4 : 1));
    uint64_t bytes = uint64_t(g->canvasPitch) * uint64_t(g->canvasHeight);
    if (bytes >= 0xFFFFFFFFull) return false;
    g->canvasBuffer = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(bytes)));
    if (!g->canvasBuffer) return false;
    std::memset(g->canvasBuffer, 0, bytes);
    return true;
}

// Range, size, placement and rates, once the source is known (the common tail of every open).
bool finishOpen(GFile* g, int32_t firstFrame, int32_t lastFrame, int32_t canvasWidth, int32_t canvasHeight) {
    GFilePrivate* p = g->priv;
    // Range.
    int64_t count = std::max<int32_t>(p->frameCount, 1);
    int64_t first = std::max<int32_t>(firstFrame, 1);
    int64_t last = lastFrame > 0 ? lastFrame : kAllFrames;
    first = std::min(first, count);
    last = std::min(last, count);
    last = std::max(last, first);
    g->framesInRange = int32_t(last - first + 1);
    p->firstIndex = uint32_t(first - 1);

    // Output size.
    int64_t sw = std::max(g->sourceWidth, 1), sh = std::max(g->sourceHeight, 1);
    int32_t ws = g->kind == GFILE_KIND_LIST ? 0 : g->widthSpec;
    int32_t hs = g->kind == GFILE_KIND_LIST ? 0 : g->heightSpec;
    int64_t w, h;
    if (ws == -1 && hs == -1) {
        w = sw;
        h = sh;
    } else if (ws == -1) {
        h = sideFromSpec(hs, sh);
        w = h * sw / sh;
    } else if (hs == -1) {
        w = sideFromSpec(ws, sw);
        h = w * sh / sw;
    } else {
        w = sideFromSpec(ws, sw);
        h = sideFromSpec(hs, sh);
    }
    if (g->flags & GFILE_HALF_HEIGHT) h /= 2;
    if (g->flags & GFILE_HALF_WIDTH) w /= 2;
    w = std::max<int64_t>(w, 1);
    h = std::max<int64_t>(h, 1);
    int64_t cw = canvasWidth > 0 ? canvasWidth : w;
    int64_t ch = canvasHeight > 0 ? canvasHeight : h;
    if (w > kLargestSide || h > kLargestSide || cw > kLargestSide || ch > kLargestSide) {
        kro::statusError(g->status, "Out of memory");
        return false;
    }
    g->scaledWidth = int32_t(w);
    g->scaledHeight = int32_t(h);
    g->canvasWidth = int32_t(cw);
    g->canvasHeight = int32_t(ch);
    if (!allocateCanvas(g)) {
        kro::statusError(g->status, "Out of memory");
        return false;
    }

    // Placement, clipped to the canvas.
    g->leftMargin = g->x < 0 ? int32_t(std::min<int64_t>(-int64_t(g->x), w)) : 0;
    g->topMargin = g->y < 0 ? int32_t(std::min<int64_t>(-int64_t(g->y), h)) : 0;
    g->visibleX = int32_t(std::clamp<int64_t>(g->x, 0, cw));
    g->visibleY = int32_t(std::clamp<int64_t>(g->y, 0, ch));
    g->visibleWidth = int32_t(std::max<int64_t>(0, std::min(w - g->leftMargin, cw - g->visibleX)));
    g->visibleHeight = int32_t(std::max<int64_t>(0, std::min(h - g->topMargin, ch - g->visibleY)));

    // Rates.
    GCDNums(&g->fileRateNum, &g->fileRateDen);
    if (g->fileRateNum <= 0 || g->fileRateDen <= 0) {
        g->fileRateNum = 15;
        g->fileRateDen = 1;
    }
    const int32_t* r = p->openRates;
    if (r[0] > 0 && r[1] > 0) {
        storeRate(uint32_t(r[0]), uint32_t(r[1]), &g->samplingRateNum, &g->samplingRateDen);
    } else {
        g->samplingRateNum = g->fileRateNum;
        g->samplingRateDen = g->fileRateDen;
    }
    bool outputGiven = r[2] > 0 && r[3] > 0;
    if (outputGiven) {
        storeRate(uint32_t(r[2]), uint32_t(r[3]), &g->outputRateNum, &g->outputRateDen);
    } else {
        g->outputRateNum = g->samplingRateNum;
        g->outputRateDen = g->samplingRateDen;
    }
    auto outputCount = [&]() {
        u128 num = u128(uint32_t(g->framesInRange)) * uint32_t(g->outputRateNum) * uint32_t(g->samplingRateDen);
        u128 den = u128(uint32_t(g->outputRateDen)) * uint32_t(g->samplingRateNum);
        u128 q = num / den;
        return q > INT32_MAX ? int64_t(INT32_MAX) : int64_t(q);
    };
    int64_t frames = outputCount();
    if (frames == 0 && outputGiven) {
        g->outputRateNum = g->samplingRateNum;
        g->outputRateDen = g->samplingRateDen;
        frames = outputCount();
    }
    g->outputFrameCount = int32_t(std::max<int64_t>(frames, 1));
    g->outputRateField = int32_t(clampToInt32(-(int64_t(100000) * g->outputRateDen / g->outputRateNum)));
    return true;
}

// Deep frames are turned into packed 24-bit pixels before palette mapping when asked, or by
// default for deeper sources with more than 9 frames.
void decodeFlags(GFile* g, int32_t flags) {
    g->trueColour = (flags & GFILE_PALETTE_MASK) == 0;
    g->keepAlpha = (flags & GFILE_KEEP_ALPHA) ? 1 : 0;
    g->filter = (flags & GFILE_BOX) ? 2 : (flags & GFILE_TRIANGLE) ? 1 : 0;
    g->paletteMethod = g->trueColour ? -1 : (flags & GFILE_PALETTE_MASK) - 1;
}

}  // namespace

void sendProgress(GFile* g, const char* text, bool first, bool* cancelled) {
    if (!g->priv->captionGiven) return;
    if (kro::statusProgress(g->status, text, first) && cancelled) *cancelled = true;
}

void rateOfField(int32_t field, int32_t* num, int32_t* den) {
    if (field > 0) {
        *num = 1000;
        *den = field;
    } else if (field < 0) {
        *num = 100000;
        *den = field == INT32_MIN ? INT32_MAX : -field;
    } else {
        *num = 15;
        *den = 1;
    }
    GCDNums(num, den);
}

GFile* openInternal(const char* name, int32_t flags, const int32_t rates[4], int32_t widthSpec, int32_t heightSpec,
                    int32_t x, int32_t y, int32_t canvasWidth, int32_t canvasHeight, int32_t firstFrame,
                    int32_t lastFrame, int32_t paletteThreshold, int32_t paletteStart, int32_t paletteCount,
                    int32_t paletteReserve, int32_t paletteOption, int32_t conversionMode, const char* paletteFile,
                    const char* caption, KroStatusProc status, int depth) {
    if (!name) return nullptr;
    GFile* g = new (std::nothrow) GFile();
    if (!g) return nullptr;
    g->priv = new (std::nothrow) GFilePrivate();
    if (!g->priv) {
        delete g;
        return nullptr;
    }
    GFilePrivate* p = g->priv;
    g->status = status;
    decodeFlags(g, flags);
    g->flags = flags;
    p->openFlags = flags;
    std::copy(rates, rates + 4, p->openRates);
    p->openFirst = firstFrame;
    p->openLast = lastFrame;
    g->widthSpec = widthSpec;
    g->heightSpec = heightSpec;
    g->x = x;
    g->y = y;
    std::snprintf(g->name, sizeof g->name, "%s", name);
    // Palette controls: the start and count kept inside the palette, the reserve at most half
    // the count (rounded up) and never past the palette's end.
    int32_t start = std::clamp(paletteStart, 0, 255);
    int32_t count = paletteCount <= 0 ? 256 : std::min(paletteCount, 256 - start);
    int32_t reserve = std::clamp(paletteReserve, 0, (count + 1) / 2);
    g->paletteStart = start;
    p->baseStart = start;
    g->paletteReserve = reserve;
    g->paletteCount = count - reserve;
    g->paletteThreshold = paletteThreshold <= 0 ? 65536 : paletteThreshold;
    g->paletteOption = paletteOption & 0xFF;
    g->conversionMode = conversionMode & 0xFF;
    p->conversionMode = g->conversionMode;
    std::snprintf(g->paletteFile, sizeof g->paletteFile, "%s", paletteFile ? paletteFile : "");
    std::snprintf(g->progressCaption, sizeof g->progressCaption, "%s", caption ? caption : "Processing");
    p->captionGiven = !caption || caption[0];

    bool ok;
    bool pattern = isSequencePattern(name);
    if (pattern || extensionIs(name, ".lst")) ok = openList(g, name, pattern, depth);
    else ok = openSingle(g, name);
    if (ok) {
        // Premultiplying and dividing by alpha only mean something for sources with alpha.
        if (!g->hasAlpha) g->flags &= ~(GFILE_PREMULTIPLY | GFILE_DIVIDE_ALPHA);
        ok = finishOpen(g, firstFrame, lastFrame, canvasWidth, canvasHeight);
    }
    if (ok) {
        p->processor.reset(new (std::nothrow) kro::FrameProcessor());
        p->mapper.reset(new (std::nothrow) kro::ColourMapper());
        if (!p->processor || !p->mapper) {
            kro::statusError(g->status, "Out of memory");
            ok = false;
        } else {
            p->processor->configure(uint32_t(g->flags), g->scaledWidth, g->scaledHeight);
        }
    }
    if (!ok) {
        freeRecord(g);
        return nullptr;
    }
    rewindSource(g);
    return g;
}

// ---- frame delivery --------------------------------------------------------------------------------

namespace {

}  // namespace

SourceFrame processedFrame(const GFile* g) { return g->priv->processed; }

namespace {

void deliverTrueColour(GFile* g) {
    SourceFrame f = processedFrame(g);
    if (!f.pixels || g->visibleWidth <= 0 || g->visibleHeight <= 0) return;
    uint8_t* at = g->canvasBuffer + int64_t(g->visibleY) * g->canvasPitch + int64_t(g->visibleX) * 4;
    kro::convertToCanvas32(f, g->leftMargin, g->topMargin, g->visibleWidth, g->visibleHeight,
                           reinterpret_cast<uint32_t*>(at), g->canvasPitch, g->keepAlpha != 0);
}

}  // namespace

bool advanceFrame(GFile* g, const Processing& proc, bool* readAny) {
    GFilePrivate* p = g->priv;
    p->proc = proc;
    // Source frames are taken until the counter reaches the one that shows at this output time.
    u128 num = u128(uint32_t(g->outputFrameCounter)) * uint32_t(g->samplingRateNum) * uint32_t(g->outputRateDen);
    u128 den = u128(uint32_t(g->samplingRateDen)) * uint32_t(g->outputRateNum);
    u128 q = den ? num / den : num;
    int64_t target = q >= u128(INT32_MAX) ? INT32_MAX : int64_t(q) + 1;
    target = std::min<int64_t>(target, g->framesInRange);
    bool any = false;
    while (g->sourceFrameCounter < target) {
        if (!p->ended) {
            if (!readSourceFrame(g)) p->ended = true;
            any = true;
        }
        ++g->sourceFrameCounter;
    }
    if (readAny) *readAny = any;
    if (!p->haveFrame) return false;
    // A repeated frame is processed again only when the processing asked for changed.
    const Processing& last = p->processedWith;
    bool sameArgs = last.median == proc.median && last.softening == proc.softening && last.levels == proc.levels &&
                    last.brightness == proc.brightness && last.threshold == proc.threshold &&
                    std::memcmp(&last.gamma, &proc.gamma, sizeof(float)) == 0;
    if (any || !p->processedValid || !sameArgs) {
        processFrame(g, proc);
        p->processedWith = proc;
    }
    return true;
}

}  // namespace gfile

using namespace gfile;

extern "C" {

KRO_API GFile* GFileOpen(const char* name, int32_t flags, int32_t samplingRateNum, int32_t samplingRateDen,
                         int32_t outputRateNum, int32_t outputRateDen, int32_t widthSpec, int32_t heightSpec,
                         int32_t x, int32_t y, int32_t canvasWidth, int32_t canvasHeight, int32_t firstFrame,
                         int32_t lastFrame, int32_t paletteThreshold, int32_t paletteStart, int32_t paletteCount,
                         int32_t paletteReserve, int32_t paletteOption, int32_t conversionMode,
                         const char* paletteFile, const char* caption, KroStatusProc status) {
    int32_t rates[4] = {samplingRateNum, samplingRateDen, outputRateNum, outputRateDen};
    return openInternal(name, flags, rates, widthSpec, heightSpec, x, y, canvasWidth, canvasHeight, firstFrame,
                        lastFrame, paletteThreshold, paletteStart, paletteCount, paletteReserve, paletteOption,
                        conversionMode, paletteFile, caption, status, 0);
}

KRO_API int32_t GFileGet(GFile* g, int32_t median, int32_t softening, int32_t levels, int32_t brightness, float gamma,
                         int32_t threshold) {
    if (!g || !g->priv) return 0;
    GFilePrivate* p = g->priv;
    if (g->status && p->captionGiven) {
        int64_t before = outputFramesBefore(g, p->firstIndex);
        char text[128];
        std::snprintf(text, sizeof text, "%s frame %li of %li...", g->progressCaption,
                      long(before + std::min(g->outputFrameCounter, g->outputFrameCount - 1) + 1),
                      long(before + g->outputFrameCount));
        if (kro::statusProgress(g->status, text, false)) return 0;
    }
    Processing proc;
    proc.median = median;
    proc.softening = softening;
    proc.levels = levels;
    proc.brightness = brightness;
    proc.gamma = gamma;
    proc.threshold = threshold;
    bool readAny = false;
    bool have = advanceFrame(g, proc, &readAny);
    if (g->outputFrameCounter < g->outputFrameCount) ++g->outputFrameCounter;
    if (!have) return 1;
    if (g->trueColour) {
        deliverTrueColour(g);
        return 1;
    }
    return deliverPalettised(g, proc) ? 1 : 0;
}

KRO_API void GFileReset(GFile* g) {
    if (!g || !g->priv) return;
    GFilePrivate* p = g->priv;
    g->sourceFrameCounter = 0;
    g->outputFrameCounter = 0;
    p->ended = false;
    p->haveFrame = false;
    p->processedValid = false;
    resetPalette(g);
    if (g->canvasBuffer) std::memset(g->canvasBuffer, 0, size_t(g->canvasPitch) * size_t(g->canvasHeight));
    rewindSource(g);
}

KRO_API void GFileClose(GFile* g) { freeRecord(g); }

}  // extern "C"
