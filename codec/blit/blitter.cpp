#include "codec/blit/blitter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define TORVEX_WIDE 1
#else
#define TORVEX_WIDE 0
#endif

#include "base/mem_block.h"

struct TorvexBlitter {
    uint32_t flags;
    uint8_t* palette;     // 768 bytes, or null in modes 0-2
    void* smooth;         // 65536 entries of 1 or 2 bytes, or null
    uint16_t* colours;    // 256 pixels, 16-bit modes only
    int mode;
    uint32_t changes;
    uint32_t coloursBuiltAt;
    uint32_t smoothBuiltAt;
    uint32_t smoothDepth;
    uint8_t firstPending;
};

namespace {

struct BlitState {
    int wideKnown = 0;      // detection done
    int wideAvailable = 0;
    int wideForbidden = 0;
    TorvexSoundServiceHook soundHook = nullptr;
};
BlitState blit;

bool wide() {
    if (!blit.wideKnown) {
        blit.wideAvailable = TORVEX_WIDE;  // every x86-64 processor has the vector unit we use
        blit.wideKnown = 1;
    }
    return blit.wideAvailable && !blit.wideForbidden;
}

bool is16(const TorvexBlitter* b) { return b->mode >= 6; }
bool isSmooth(const TorvexBlitter* b) { return b->mode == 3 || b->mode == 9; }

uint16_t pixelOf(uint32_t flags, uint32_t r, uint32_t g, uint32_t bl) {
    if (flags >= kBlit565) return uint16_t((r >> 3) << 11 | (g >> 2) << 5 | (bl >> 3));
    return uint16_t((r >> 3) << 10 | (g >> 3) << 5 | (bl >> 3));
}

void buildColours(TorvexBlitter* b) {
    if (b->flags < kBlit555) return;  // 16-bit without a colour table
    for (int i = 0; i < 256; ++i) {
        const uint8_t* c = b->palette + 3 * i;
        b->colours[i] = pixelOf(b->flags, c[0], c[1], c[2]);
    }
}

void buildSmooth16(TorvexBlitter* b) {
    auto* t = static_cast<uint16_t*>(b->smooth);
    if (b->flags < kBlit555) return;
    for (int i = 0; i < 256; ++i) {
        const uint8_t* ci = b->palette + 3 * i;
        for (int j = 0; j < 256; ++j) {
            const uint8_t* cj = b->palette + 3 * j;
            uint32_t r = ((ci[0] & 0xFE) + (cj[0] & 0xFE)) / 2;
            uint32_t g = ((ci[1] & 0xFE) + (cj[1] & 0xFE)) / 2;
            uint32_t bl = ((ci[2] & 0xFE) + (cj[2] & 0xFE)) / 2;
            t[i * 256 + j] = pixelOf(b->flags, r, g, bl);
        }
    }
}

// Nearest palette entry to the average of each pair, by a scan of the entries sorted by red
// that stops once red alone can no longer beat the best distance.
void buildSmooth8(TorvexBlitter* b) {
    auto* t = static_cast<uint8_t*>(b->smooth);
    const uint8_t* pal = b->palette;
    int order[256];
    for (int i = 0; i < 256; ++i) order[i] = i;
    std::stable_sort(order, order + 256, [&](int x, int y) { return pal[3 * x] < pal[3 * y]; });
    for (int i = 0; i < 256; ++i) {
        t[i * 256 + i] = uint8_t(i);
        for (int j = i + 1; j < 256; ++j) {
            int ar = (pal[3 * i] + pal[3 * j]) / 2;
            int ag = (pal[3 * i + 1] + pal[3 * j + 1]) / 2;
            int ab = (pal[3 * i + 2] + pal[3 * j + 2]) / 2;
            int best = 262144, bestIndex = 0;
            for (int k = 0; k < 256; ++k) {
                const uint8_t* c = pal + 3 * order[k];
                int dr = c[0] - ar;
                int d = dr * dr;
                if (d >= best) {
                    if (c[0] >= ar) break;
                    continue;
                }
                int dg = c[1] - ag, db = c[2] - ab;
                d += dg * dg + db * db;
                if (d < best) {
                    best = d;
                    bestIndex = order[k];
                }
            }
            t[i * 256 + j] = t[j * 256 + i] = uint8_t(bestIndex);
        }
    }
}

inline void copyRow(uint8_t* d, const uint8_t* s, int32_t n) { std::memcpy(d, s, size_t(n)); }

// One source row doubled horizontally into d (8-bit).
void doubleRow8(uint8_t* d, const uint8_t* s, int32_t n) {
    int32_t x = 0;
#if TORVEX_WIDE
    if (wide())
        for (; x + 16 <= n; x += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * x), _mm_unpacklo_epi8(v, v));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * x + 16), _mm_unpackhi_epi8(v, v));
        }
#endif
    for (; x < n; ++x) d[2 * x] = d[2 * x + 1] = s[x];
}

void doubleRow16(uint16_t* d, const uint8_t* s, int32_t n, const uint16_t* colours) {
    int32_t x = 0;
#if TORVEX_WIDE
    if (wide())
        for (; x + 8 <= n; x += 8) {
            __m128i v = _mm_set_epi16(short(colours[s[x + 7]]), short(colours[s[x + 6]]), short(colours[s[x + 5]]),
                                      short(colours[s[x + 4]]), short(colours[s[x + 3]]), short(colours[s[x + 2]]),
                                      short(colours[s[x + 1]]), short(colours[s[x]]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * x), _mm_unpacklo_epi16(v, v));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * x + 8), _mm_unpackhi_epi16(v, v));
        }
#endif
    for (; x < n; ++x) d[2 * x] = d[2 * x + 1] = colours[s[x]];
}

template <typename Pixel>
void smoothBlit(const TorvexBlitter* b, uint8_t* dest, int32_t destPitch, const uint8_t* src, int32_t srcPitch, int32_t w,
                int32_t h) {
    const auto* t = static_cast<const Pixel*>(b->smooth);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = src + ptrdiff_t(y) * srcPitch;
        const uint8_t* above = y ? row - srcPitch : row;
        auto* top = reinterpret_cast<Pixel*>(dest + ptrdiff_t(2 * y) * destPitch);
        auto* bottom = reinterpret_cast<Pixel*>(dest + ptrdiff_t(2 * y + 1) * destPitch);
        for (int32_t x = 0; x < w; ++x) {
            uint32_t p = row[x], l = x ? row[x - 1] : p, a = above[x];
            top[2 * x] = t[l * 256 + a];
            top[2 * x + 1] = t[p * 256 + a];
            bottom[2 * x] = t[p * 256 + l];
            bottom[2 * x + 1] = sizeof(Pixel) == 1 ? Pixel(p) : t[p * 256 + p];
        }
    }
}

const char* const kModeNames[10] = {"8-bit 1x", "8-bit 2x", "8-bit 2x Interlaced", "8-bit 2x Smoothing", "", "",
                                    "16-bit 1x", "16-bit 2x", "16-bit 2x Interlaced", "16-bit 2x Smoothing"};

}  // namespace

TorvexBlitter* TorvexBlitterCreate(uint32_t blitFlags) {
    bool sixteen = blitFlags >= kBlit16Bit;
    int scale = (blitFlags & kBlitSmooth) ? 3 : (blitFlags & kBlitInterlaced) ? 2 : (blitFlags & kBlit2x) ? 1 : 0;
    int mode = (sixteen ? 6 : 0) + scale;
    bool keepsPalette = sixteen || scale == 3;
    size_t size = (sizeof(TorvexBlitter) + 31) & ~size_t(31);
    size_t paletteAt = size;
    if (keepsPalette) size += 768;
    size = (size + 31) & ~size_t(31);
    size_t coloursAt = size;
    if (sixteen) size += 512;
    size_t smoothAt = size;
    if (scale == 3) size += 65536 * (sixteen ? 2 : 1);
    auto* base = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(size)));
    if (!base) return nullptr;
    std::memset(base, 0, size);
    auto* b = reinterpret_cast<TorvexBlitter*>(base);
    b->flags = blitFlags;
    b->mode = mode;
    b->palette = keepsPalette ? base + paletteAt : nullptr;
    b->colours = sixteen ? reinterpret_cast<uint16_t*>(base + coloursAt) : nullptr;
    b->smooth = scale == 3 ? base + smoothAt : nullptr;
    b->firstPending = 1;
    return b;
}

void TorvexBlitterFree(TorvexBlitter* b) { TorvexMemFree(b); }

int TorvexBlitterMode(const TorvexBlitter* b) { return b ? b->mode : -1; }

uint32_t TorvexBlitterSetPalette(TorvexBlitter* b, const void* palette, uint32_t flags) {
    if (!b || !b->palette || !palette) return 0;
    const auto* p = static_cast<const uint8_t*>(palette);
    uint32_t width = (flags & kPal16BitComponents) ? 2 : 1;
    uint32_t comps = (flags & kPalFourComponents) ? 4 : 3;
    uint32_t first = (comps == 4 && (flags & kPalPadFirst)) ? 1 : 0;  // where red (or blue) sits
    bool blueFirst = flags & kPalBlueFirst;
    uint8_t fresh[768];
    for (int i = 0; i < 256; ++i) {
        const uint8_t* e = p + size_t(i) * comps * width;
        uint8_t c0 = e[(first + 0) * width], c1 = e[(first + 1) * width], c2 = e[(first + 2) * width];
        fresh[3 * i] = blueFirst ? c2 : c0;
        fresh[3 * i + 1] = c1;
        fresh[3 * i + 2] = blueFirst ? c0 : c2;
    }
    if (!b->firstPending && std::memcmp(fresh, b->palette, 768) == 0) return 0;
    ++b->changes;
    std::memcpy(b->palette, fresh, 768);
    b->firstPending = 0;
    uint32_t depth = is16(b) ? 16 : 8;
    if (is16(b) && b->coloursBuiltAt != b->changes) {
        buildColours(b);
        b->coloursBuiltAt = b->changes;
    }
    if (isSmooth(b) && (b->smoothDepth != depth || b->smoothBuiltAt != b->changes)) {
        if (blit.soundHook) blit.soundHook();
        if (depth == 16) buildSmooth16(b);
        else buildSmooth8(b);
        if (blit.soundHook) blit.soundHook();
        b->smoothDepth = depth;
        b->smoothBuiltAt = b->changes;
    }
    return b->changes;
}

void TorvexBlitterDraw(TorvexBlitter* b, void* destVoid, int32_t destPitch, int32_t destX, int32_t destY,
                       const uint8_t* src, int32_t srcPitch, int32_t srcX, int32_t srcY, int32_t w, int32_t h) {
    if (!b || !destVoid || !src || w <= 0 || h <= 0) return;
    auto* dest = static_cast<uint8_t*>(destVoid);
    const uint8_t* s = src + ptrdiff_t(srcY) * srcPitch + srcX;
    const int bytes = is16(b) ? 2 : 1;
    const int scale = (b->mode % 6) == 0 ? 1 : 2;
    uint8_t* d = dest + ptrdiff_t(destY) * scale * destPitch + ptrdiff_t(destX) * scale * bytes;
    switch (b->mode) {
        case 0:
            for (int32_t y = 0; y < h; ++y) copyRow(d + ptrdiff_t(y) * destPitch, s + ptrdiff_t(y) * srcPitch, w);
            break;
        case 1:
        case 2:
            for (int32_t y = 0; y < h; ++y) {
                uint8_t* top = d + ptrdiff_t(2 * y) * destPitch;
                doubleRow8(top, s + ptrdiff_t(y) * srcPitch, w);
                if (b->mode == 1) copyRow(top + destPitch, top, 2 * w);
            }
            break;
        case 3:
            smoothBlit<uint8_t>(b, d, destPitch, s, srcPitch, w, h);
            break;
        case 6:
            for (int32_t y = 0; y < h; ++y) {
                auto* row = reinterpret_cast<uint16_t*>(d + ptrdiff_t(y) * destPitch);
                const uint8_t* sr = s + ptrdiff_t(y) * srcPitch;
                for (int32_t x = 0; x < w; ++x) row[x] = b->colours[sr[x]];
            }
            break;
        case 7:
        case 8:
            for (int32_t y = 0; y < h; ++y) {
                uint8_t* top = d + ptrdiff_t(2 * y) * destPitch;
                doubleRow16(reinterpret_cast<uint16_t*>(top), s + ptrdiff_t(y) * srcPitch, w, b->colours);
                if (b->mode == 7) copyRow(top + destPitch, top, 4 * w);
            }
            break;
        case 9:
            smoothBlit<uint16_t>(b, d, destPitch, s, srcPitch, w, h);
            break;
        default:
            break;
    }
}

char* TorvexBlitterDescribe(const TorvexBlitter* b, char* text) {
    if (!text) return text;
    text[0] = 0;
    if (!b || b->mode < 0 || b->mode > 9) return text;
    std::strcpy(text, kModeNames[b->mode]);
    int m = b->mode;
    if ((m == 1 || m == 2 || m == 7 || m == 8) && wide()) std::strcat(text, " using MMX");
    return text;
}

int TorvexUseMmx(int mode) {
    wide();
    if (mode == 0) blit.wideForbidden = 1;
    else if (mode == 1) blit.wideForbidden = 0;
    return wide() ? 1 : 0;
}

void TorvexBlitterSetSoundHook(TorvexSoundServiceHook hook) { blit.soundHook = hook; }

void TorvexCopyRect(uint8_t* dest, int32_t destSkip, const uint8_t* src, int32_t srcSkip, int32_t w, int32_t h) {
    if (!dest || !src || w <= 0) return;
    for (int32_t y = 0; y < h; ++y) {
        std::memcpy(dest, src, size_t(w));
        dest += w + destSkip;
        src += w + srcSkip;
    }
}

// One row of a keyed copy: d = (m ? keep : s) where m marks bytes equal to key in test.
static void keyedRow(uint8_t* d, const uint8_t* s, const uint8_t* test, const uint8_t* keep, int32_t w, uint8_t key) {
    int32_t x = 0;
#if TORVEX_WIDE
    if (wide()) {
        const __m128i k = _mm_set1_epi8(char(key));
        for (; x + 16 <= w; x += 16) {
            __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x));
            __m128i tv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(test + x));
            __m128i kv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keep + x));
            __m128i m = _mm_cmpeq_epi8(tv, k);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_or_si128(_mm_and_si128(m, kv), _mm_andnot_si128(m, sv)));
        }
    }
#endif
    for (; x < w; ++x) d[x] = test[x] == key ? keep[x] : s[x];
}

void TorvexCopyKeyed(uint8_t* dest, int32_t destSkip, const uint8_t* src, int32_t srcSkip, int32_t w, int32_t h,
                     uint8_t key) {
    if (!dest || !src || w <= 0) return;
    for (int32_t y = 0; y < h; ++y) {
        keyedRow(dest, src, src, dest, w, key);
        dest += w + destSkip;
        src += w + srcSkip;
    }
}

void TorvexMergeKeyed(uint8_t* dest, int32_t destSkip, const uint8_t* src, int32_t skip, int32_t w, int32_t h, uint8_t key,
                      const uint8_t* back) {
    if (!dest || !src || !back || w <= 0) return;
    for (int32_t y = 0; y < h; ++y) {
        keyedRow(dest, src, src, back, w, key);
        dest += w + destSkip;
        src += w + skip;
        back += w + skip;
    }
}

void TorvexCopyKeyedMask(uint8_t* dest, int32_t destSkip, const uint8_t* src, int32_t skip, int32_t w, int32_t h,
                         uint8_t key, const uint8_t* mask) {
    if (!dest || !src || !mask || w <= 0) return;
    for (int32_t y = 0; y < h; ++y) {
        keyedRow(dest, src, mask, dest, w, key);
        dest += w + destSkip;
        src += w + skip;
        mask += w + skip;
    }
}

void TorvexReplaceByte(uint8_t* buffer, uint32_t count, uint8_t from, uint8_t to) {
    if (!buffer) return;
    for (uint32_t i = 0; i < count; ++i)
        if (buffer[i] == from) buffer[i] = to;
}

int TorvexDarkestColor(const uint8_t* palette) {
    if (!palette) return 0;
    uint32_t best = ~0u;
    int index = 0;
    for (int i = 0; i < 256; ++i) {
        uint32_t r = palette[3 * i], g = palette[3 * i + 1], b = palette[3 * i + 2];
        uint32_t key = (std::max({r, g, b}) << 16) + r + g + b;
        if (key == 0) return i;
        if (key < best) {
            best = key;
            index = i;
        }
    }
    return index;
}

int TorvexBrightestColor(const uint8_t* palette) {
    if (!palette) return 0;
    uint32_t best = 0;
    int index = 0;
    for (int i = 0; i < 256; ++i) {
        uint32_t r = palette[3 * i], g = palette[3 * i + 1], b = palette[3 * i + 2];
        uint32_t key = (std::min({r, g, b}) << 16) + r + g + b;
        if (key >= best) {
            best = key;
            index = i;
        }
    }
    return index;
}
