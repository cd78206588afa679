// Animation slots, frame presentation, whole-file playback and the ANIMATION* commands.
#include "player/runtime/animation.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/mem_block.h"
#include "codec/torvex_tracks.h"
#include "codec/blit/blitter.h"
#include "codec/torvex.h"
#include "platform/clock.h"
#include "player/engine/script.h"
#include "player/runtime/bitmaps.h"
#include "player/runtime/display_surface.h"
#include "player/runtime/screen_draw.h"
#include "player/runtime/screen_window.h"

namespace runtime {

AnimationTable gAnimations;

bool animationSlotUsed(int slot) { return slot >= 0 && slot < kAnimationSlots && gAnimations.slots[slot].file; }

namespace {

using engine::kLineSize;

// ---- names ----------------------------------------------------------------------------------

// The name without its directory and extension.
std::string baseName(const std::string& path) {
    size_t lastSep = path.find_last_of("\\:/");
    std::string n = lastSep == std::string::npos ? path : path.substr(lastSep + 1);
    size_t dot = n.rfind('.');
    if (dot != std::string::npos) n.resize(dot);
    return n;
}

uint32_t openFlagsForMode(uint32_t mode) {
    return ((mode & 1) * 4 | (mode & 2)) << 8 | gAnimations.trackMask;
}

int32_t frameWidth(const TorvexFile* f) { return int32_t(f->header.width); }
int32_t frameHeight(const TorvexFile* f) { return int32_t(f->header.height); }

// ---- targets --------------------------------------------------------------------------------

// Frees what the codec and the target hold for writing; the kind stays, so that a screen
// target whose surface went away still counts as a screen target (it just draws nothing).
void detachTarget(TorvexFile* f, AnimationTarget& t) {
    if (f) TorvexSetTarget(f, 0, 0, 0, 0, nullptr, 0);
    TorvexMemFree(t.staging);
    t.staging = nullptr;
    t.surface = nullptr;
    t.bitmap = nullptr;
    t.bitmapPixels = nullptr;
    t.bitmapWidth = t.bitmapHeight = 0;
}

void clearTarget(TorvexFile* f, AnimationTarget& t) {
    detachTarget(f, t);
    t = AnimationTarget{};
}

// A zeroed frame-sized buffer as the codec's target.
bool stageFrame(TorvexFile* f, AnimationTarget& t) {
    uint64_t bytes = uint64_t(f->header.width) * f->header.height;
    if (bytes == 0 || bytes >= 0xFFFFFFFFu) return false;
    t.staging = static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(bytes)));
    if (!t.staging) return false;
    std::memset(t.staging, 0, size_t(bytes));
    if (TorvexSetTarget(f, 0, 0, frameWidth(f), frameHeight(f), t.staging, 0) == 1) return true;
    TorvexMemFree(t.staging);
    t.staging = nullptr;
    return false;
}

bool fitsInside(const TorvexFile* f, int32_t x, int32_t y, int64_t width, int64_t height) {
    return x >= 0 && y >= 0 && int64_t(x) + f->header.width <= width && int64_t(y) + f->header.height <= height;
}

// The frame at (x, y) of the screen buffer. False (no target) without a surface or memory.
bool setScreenTarget(TorvexFile* f, AnimationTarget& t, int32_t x, int32_t y) {
    clearTarget(f, t);
    DisplaySurface* s = gScreen.surface;
    t.kind = TARGET_SCREEN;
    t.x = x;
    t.y = y;
    if (!s) return false;
    if (fitsInside(f, x, y, s->width, s->height)) {
        if (TorvexSetTarget(f, x, y, s->pitch, s->height, s->bits, s->bottomUp ? 1 : 0) != 1) return false;
    } else if (!stageFrame(f, t)) {
        return false;
    }
    t.surface = s;
    return true;
}

// The frame at the top-left corner of a bitmap.
bool setBitmapTarget(TorvexFile* f, AnimationTarget& t, Bitmap* b) {
    clearTarget(f, t);
    t.kind = TARGET_BITMAP;
    t.bitmap = b;
    t.bitmapPixels = b->pixels;
    t.bitmapWidth = b->width;
    t.bitmapHeight = b->height;
    if (!b->pixels) return true;  // an empty bitmap takes palettes only
    if (b->width >= f->header.width && b->height >= f->header.height) {
        if (TorvexSetTarget(f, 0, 0, int32_t(b->width), int32_t(b->height), b->pixels, 0) == 1) return true;
        detachTarget(f, t);
        return false;
    }
    if (!stageFrame(f, t)) {
        detachTarget(f, t);
        return false;
    }
    // The frame starts over what the bitmap holds, as it would when decoded in place.
    uint32_t w = std::min(b->width, f->header.width), h = std::min(b->height, f->header.height);
    for (uint32_t r = 0; r < h; ++r)
        std::memcpy(t.staging + size_t(r) * f->header.width, b->pixels + size_t(r) * b->width, w);
    return true;
}

bool bitmapStillThere(const AnimationTarget& t) {
    if (!t.bitmap) return false;
    for (Bitmap* b : gBitmaps.slots)
        if (b == t.bitmap)
            return b->pixels == t.bitmapPixels && b->width == t.bitmapWidth && b->height == t.bitmapHeight;
    return false;
}

// Before each decode: a bitmap freed since it became the target, or a screen buffer that is no
// longer the window's, is let go instead of written.
void checkTarget(TorvexFile* f, AnimationTarget& t) {
    if (t.kind == TARGET_BITMAP && t.bitmap && !bitmapStillThere(t)) detachTarget(f, t);
    if (t.kind == TARGET_SCREEN && t.surface && t.surface != gScreen.surface) detachTarget(f, t);
}

// After each decode: a staged frame goes into the part of the bitmap it covers.
void finishBitmapFrame(TorvexFile* f, AnimationTarget& t) {
    if (t.kind != TARGET_BITMAP || !t.staging || !t.bitmap) return;
    Bitmap* b = t.bitmap;
    uint32_t w = std::min(b->width, f->header.width), h = std::min(b->height, f->header.height);
    for (uint32_t r = 0; r < h; ++r)
        std::memcpy(b->pixels + size_t(r) * b->width, t.staging + size_t(r) * f->header.width, w);
}

struct ScreenRect {
    int32_t x, y, width, height;
};

// The image rectangle (ix, iy, iw, ih) of an image with rows stride bytes apart to (sx, sy) of
// the buffer, only the part inside the buffer. With back (same layout as the image), image
// pixels equal to key show back's pixel instead. Returns the buffer rectangle written.
ScreenRect copyToSurface(DisplaySurface* s, const uint8_t* image, int32_t stride, int32_t ix, int32_t iy, int32_t iw,
                         int32_t ih, int64_t sx, int64_t sy, const uint8_t* back, uint8_t key) {
    int64_t x0 = std::max<int64_t>(sx, 0), y0 = std::max<int64_t>(sy, 0);
    int64_t x1 = std::min<int64_t>(sx + iw, s->width), y1 = std::min<int64_t>(sy + ih, s->height);
    if (x0 >= x1 || y0 >= y1) return ScreenRect{0, 0, 0, 0};
    const int32_t w = int32_t(x1 - x0);
    for (int64_t y = y0; y < y1; ++y) {
        size_t at = size_t(iy + (y - sy)) * size_t(stride) + size_t(ix + (x0 - sx));
        uint8_t* dst = pixelAddress(s, int32_t(x0), int32_t(y));
        if (back) TorvexMergeKeyed(dst, 0, image + at, 0, w, 1, key, back + at);
        else std::memcpy(dst, image + at, size_t(w));
    }
    return ScreenRect{int32_t(x0), int32_t(y0), w, int32_t(y1 - y0)};
}

// The palette (a file's, or one saved before playing) becomes the screen palette when it
// differs from it.
void takeOverPalette(const uint8_t* palette) {
    if (std::memcmp(palette, gDraw.screenPalette, 768) == 0) return;
    applyPalette(palette);
    showScreenPalette();
    ++gDraw.paletteGeneration;
}

void hidePointerOver(const TorvexFile* f, const AnimationTarget& t) {
    if (t.kind == TARGET_SCREEN && gScreen.surface)
        gPointerHooks.hideIfOverlapping(t.x, t.y, frameWidth(f), frameHeight(f));
}

// After the last frame without a ring frame the move is left for the next advance, which
// then starts the file over.
void moveOn(AnimationSlot& a) {
    TorvexFile* f = a.file;
    if (f->frameIndex != f->header.frames - 1 || (f->header.flags & kTvxHasRing)) TorvexAdvance(f);
    else a.advancePending = 1;
}

void advanceSlot(AnimationSlot& a, bool palette) {
    TorvexFile* f = a.file;
    AnimationTarget& t = a.target;
    checkTarget(f, t);
    hidePointerOver(f, t);
    if (a.advancePending) {
        a.advancePending = 0;
        TorvexAdvance(f);
    }
    if (t.kind == TARGET_BITMAP) {
        TorvexDecodeFrame(f);
        finishBitmapFrame(f, t);
        if (palette && t.bitmap) {
            if (f->newPalette) {
                if (uint8_t* p = ensureBitmapPalette(t.bitmap)) std::memcpy(p, f->palette, 768);
            } else if (t.bitmap->palette) {
                TorvexMemFree(t.bitmap->palette);
                t.bitmap->palette = nullptr;
            }
        }
    } else {
        // A screen target let go with its window changes nothing on a later screen.
        const bool released = t.kind == TARGET_SCREEN && !t.surface;
        if (palette && f->newPalette && !released) takeOverPalette(f->palette);
        TorvexDecodeFrame(f);
        presentFrame(f, t);
    }
    moveOn(a);
}

// ---- parameters -----------------------------------------------------------------------------

int fetchAnimationSlot() {
    char text[kLineSize];
    if (engine::FetchParam(text, true) != engine::PARAM_NUMBER)
        engine::CommandError("  Needed a number in command:\r\n    ");
    return engine::ValidateAnimationNumber(text, animationSlotUsed);
}

AnimationSlot& fetchAnimation() { return gAnimations.slots[fetchAnimationSlot()]; }

Bitmap* fetchBitmapParam() {
    char text[kLineSize];
    if (engine::FetchParam(text, true) != engine::PARAM_NUMBER)
        engine::CommandError("  Needed a number in command:\r\n    ");
    return bitmapInSlot(engine::ValidateBitmapNumber(text, false, bitmapSlotUsed));
}

// True while the parameter text holds another item (not its end, a comment or ';').
bool moreParams() {
    engine::skipLeadingBlanks();
    char* p = engine::gScript.param;
    while (*p == ',' || (*p && engine::isBlank(*p))) ++p;
    engine::gScript.param = p;
    return *p && *p != '#' && *p != ';';
}

// A variable name of a list; false (nothing taken) when the next item is not one.
bool fetchListVariable(char* out) {
    char* saved = engine::gScript.param;
    if (engine::FetchParam(out, false) == engine::PARAM_WORD && out[0]) return true;
    engine::gScript.param = saved;
    return false;
}

// ---- commands -------------------------------------------------------------------------------

void cmdOpen() {
    char var[kLineSize], name[kLineSize];
    engine::fetchVariableName(var);
    int32_t mode = engine::fetchNumber();
    engine::fetchAny(name);
    int slot = -1;
    for (int i = 0; i < kAnimationSlots && slot < 0; ++i)
        if (!gAnimations.slots[i].file) slot = i;
    if (slot < 0) {
        engine::SetVariableNumber(var, 0);
        return;
    }
    std::string path = engine::withDefaultExtension(name, ".tvx");
    TorvexFile* f = TorvexOpen(path.c_str(), openFlagsForMode(uint32_t(mode)), -1);
    if (!f) {
        engine::SetVariableNumber(var, 0);
        return;
    }
    AnimationSlot& a = gAnimations.slots[slot];
    a.file = f;
    a.name = baseName(path);
    a.target = AnimationTarget{};
    a.advancePending = 0;
    engine::SetVariableNumber(var, kAnimationHandleBase + slot);
}

void closeSlot(AnimationSlot& a) {
    clearTarget(a.file, a.target);
    TorvexClose(a.file);
    a.file = nullptr;
    a.name.clear();
    a.advancePending = 0;
}

void cmdClose() { closeSlot(fetchAnimation()); }

void cmdTracks() { gAnimations.trackMask = (uint32_t(engine::fetchNumber()) & 0x7F) << 13; }

void cmdToScreen() {
    AnimationSlot& a = fetchAnimation();
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    requireWindow();
    TorvexFile* f = a.file;
    // The centred place is on the whole screen; a given one is rounded before the origin is
    // added (wrapping, as every script coordinate).
    if (x == -1) x = int32_t((int64_t(gScreen.screenWidth) - frameWidth(f)) / 2);
    else x = int32_t(uint32_t(x & ~int32_t(3)) + uint32_t(gDraw.originX));
    if (y == -1) y = int32_t((int64_t(gScreen.screenHeight) - frameHeight(f)) / 2);
    else y = int32_t(uint32_t(y) + uint32_t(gDraw.originY));
    setScreenTarget(f, a.target, x, y);
}

void cmdToBitmap() {
    AnimationSlot& a = fetchAnimation();
    Bitmap* b = fetchBitmapParam();
    setBitmapTarget(a.file, a.target, b);
}

void cmdAdvance() { advanceSlot(fetchAnimation(), true); }
void cmdAdvanceNoPalette() { advanceSlot(fetchAnimation(), false); }

void cmdBackToStart() { TorvexSeek(fetchAnimation().file, 1); }

void cmdGoto() {
    AnimationSlot& a = fetchAnimation();
    int32_t frame = engine::fetchNumber();
    TorvexSetSoundActive(a.file, 0);
    TorvexSeek(a.file, uint32_t(frame));
    TorvexSetSoundActive(a.file, 1);
}

void cmdDelay() {
    TorvexFile* f = fetchAnimation().file;
    while (TorvexIsEarly(f)) {
        engine::PumpMessages();
        plat::sleepMs(1);
        engine::CountStep();
        if (engine::gScript.control == engine::kEndAll) break;
    }
}

void cmdStillDelay() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    TorvexFile* f = fetchAnimation().file;
    engine::SetVariableNumber(var, TorvexIsEarly(f) ? 1 : 0);
}

template <int32_t (*field)(const TorvexFile*)>
void cmdFileFact() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, field(fetchAnimation().file));
}
int32_t framesOf(const TorvexFile* f) { return int32_t(f->header.frames); }

void cmdList() {
    requireWindow();
    std::vector<std::string> lines;
    for (int i = 0; i < kAnimationSlots; ++i) {
        const AnimationSlot& a = gAnimations.slots[i];
        if (!a.file) continue;
        std::string line = "Number: " + std::to_string(kAnimationHandleBase + i) + "  Name: " + a.name +
                           "  Width: " + std::to_string(frameWidth(a.file)) +
                           "  Height: " + std::to_string(frameHeight(a.file));
        lines.push_back(line);
    }
    engine::WriteListing(lines, false);
}

void cmdLoadToBitmap() {
    char name[kLineSize], var[kLineSize];
    engine::fetchAny(name);
    std::string path = engine::withDefaultExtension(name, ".tvx");
    // Nothing loaded: every variable of the list receives 0.
    auto zeroEveryVariable = [&] {
        while (moreParams()) {
            if (!fetchListVariable(var)) engine::CommandError("  Needed a variable in command:\r\n    ");
            engine::SetVariableNumber(var, 0);
        }
    };
    TorvexFile* f = TorvexOpen(path.c_str(), 0, 0);
    if (!f) {
        zeroEveryVariable();
        return;
    }
    const int first = allocBitmapSlot(f->header.width, f->header.height);
    if (first < 0) {  // no bitmap to decode into
        TorvexClose(f);
        zeroEveryVariable();
        return;
    }
    Bitmap* a = gBitmaps.slots[first];
    AnimationTarget target{};
    setBitmapTarget(f, target, a);
    auto giveUp = [&](bool freeFirst) {
        clearTarget(f, target);
        TorvexClose(f);
        if (freeFirst) freeBitmapSlot(first);
    };
    if (!moreParams()) {
        giveUp(true);  // no variable to receive the bitmap
        return;
    }
    while (moreParams()) {
        if (!fetchListVariable(var)) {
            giveUp(true);
            engine::CommandError("  Needed a variable in command:\r\n    ");
        }
        const bool last = !moreParams();
        int slot = first;
        Bitmap* d = a;
        if (!last) {
            slot = allocBitmapSlot(f->header.width, f->header.height);
            d = slot >= 0 ? gBitmaps.slots[slot] : nullptr;
        }
        TorvexDecodeFrame(f);
        finishBitmapFrame(f, target);
        if (d) {
            if (d != a && d->pixels && a->pixels) std::memcpy(d->pixels, a->pixels, size_t(a->width) * a->height);
            if (f->newPalette)
                if (uint8_t* p = ensureBitmapPalette(d)) std::memcpy(p, f->palette, 768);
        }
        if (d != a) TorvexAdvance(f);
        engine::SetVariableNumber(var, d ? kBitmapHandleBase + slot : 0);
        if (d == a) {
            giveUp(false);
            return;
        }
    }
}

void cmdPlay() {
    char var[kLineSize], source[kLineSize];
    engine::fetchVariableName(var);
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    int32_t count = engine::fetchNumber();
    int32_t flags = engine::fetchNumber();
    engine::fetchNonEmpty(source);
    if (x != -1) x = int32_t(uint32_t(x) + uint32_t(gDraw.originX));
    if (y != -1) y = int32_t(uint32_t(y) + uint32_t(gDraw.originY));
    engine::SetVariableNumber(var, playAnimation(source, x, y, count, uint32_t(flags)));
}

void surfaceDestroyed(const DisplaySurface* s) { releaseScreenTargets(s); }

void bitmapFreed(const Bitmap* b) {
    for (AnimationSlot& a : gAnimations.slots)
        if (a.file && a.target.kind == TARGET_BITMAP && a.target.bitmap == b) detachTarget(a.file, a.target);
}

}  // namespace

// ---- presenting and playing -------------------------------------------------------------------

void presentFrame(TorvexFile* f, AnimationTarget& t) {
    DisplaySurface* s = gScreen.surface;
    if (t.kind != TARGET_SCREEN || !s || t.surface != s) return;
    beginCollect(s);
    bool whole = false;
    while (TorvexNextDirtyRect(f, s->rectMode)) {
        if (!t.staging) {
            if (present(s, 0, 0, 0, f->rectX, f->rectY, f->rectWidth, f->rectHeight) == kPresentedWhole) break;
            continue;
        }
        // Staged: the rectangle is in frame coordinates; every one is copied even after a whole
        // repaint, since the buffer must hold the frame.
        int32_t rx = std::max(f->rectX, 0), ry = std::max(f->rectY, 0);
        int32_t rw = std::min(f->rectX + f->rectWidth, frameWidth(f)) - rx;
        int32_t rh = std::min(f->rectY + f->rectHeight, frameHeight(f)) - ry;
        if (rw <= 0 || rh <= 0) {
            if (!whole) whole = present(s, 0, 0, 0, 0, 0, 0, 0) == kPresentedWhole;
            continue;
        }
        ScreenRect r = copyToSurface(s, t.staging, frameWidth(f), rx, ry, rw, rh, int64_t(t.x) + rx, int64_t(t.y) + ry,
                                     nullptr, 0);
        if (!whole && r.width > 0) whole = present(s, 0, 0, 0, r.x, r.y, r.width, r.height) == kPresentedWhole;
    }
    drainQueue(s);
}

namespace {

AnimationSlot* slotNamed(const char* source) {
    if (!engine::IsNumeric(source)) return nullptr;
    int32_t n = engine::toNumber(source);
    int slot = n - kAnimationHandleBase;
    if (n < kAnimationHandleBase || slot >= kAnimationSlots || !animationSlotUsed(slot)) return nullptr;
    return &gAnimations.slots[slot];
}

// Waits while the frame is not yet due. The wait sleeps between polls so that a paced file
// leaves the processor to others.
void waitForFrameTime(TorvexFile* f) {
    while (TorvexIsEarly(f)) {
        plat::sleepMs(1);
        engine::CountStep();
        if (engine::gScript.control == engine::kEndAll) return;
    }
}

// While the last frame's sound plays out: Escape (when the play listens for it) and the end of
// the program stop the wait at once.
bool stopSoundWait(void* context) {
    engine::PumpMessages();
    engine::CountStep();
    if (engine::gScript.control == engine::kEndAll) return true;
    const uint32_t flags = *static_cast<const uint32_t*>(context);
    return (flags & kPlayEscape) && gScreen.keyCount > 0 && waitKey() == 27;
}

struct SavedTarget {
    uint8_t kind;
    int32_t x, y;
    Bitmap* bitmap;
    bool valid;  // the place still existed (a let-go screen target stays let go)
};

}  // namespace

int32_t playAnimation(const char* source, int32_t x, int32_t y, int32_t count, uint32_t flags) {
    if (!(flags & kPlayNoWindow)) requireWindow();
    AnimationSlot* slot = slotNamed(source);
    TorvexFile* f = slot ? slot->file : nullptr;
    if (slot && slot->advancePending) {
        slot->advancePending = 0;
        TorvexAdvance(f);
    }
    DisplaySurface* s = gScreen.window ? gScreen.surface : nullptr;
    if (!s || s->rectMode != 2) flags &= ~kPlayOffScreen;
    // Without a window there is no screen to save, restore or merge over.
    if (!s) flags &= ~(kPlaySaveRestore | kPlayMerge);
    const uint8_t transparent = uint8_t(gTextOutput.transColour);
    if (count == 0) return 1;
    if (!slot) {
        std::string path = engine::withDefaultExtension(source, ".tvx");
        f = TorvexOpen(path.c_str(), openFlagsForMode(flags), -1);
        if (!f) return 0;
    }
    const int32_t w = frameWidth(f), h = frameHeight(f);
    if (x == -1) x = int32_t((int64_t(gScreen.screenWidth) - w) / 2);
    else x &= ~int32_t(3);
    if (y == -1) y = int32_t((int64_t(gScreen.screenHeight) - h) / 2);
    if (s) gPointerHooks.hideIfOverlapping(x, y, w, h);

    Bitmap* saved = nullptr;
    if (flags & (kPlaySaveRestore | kPlayMerge)) {
        saved = createBitmap(uint32_t(w), uint32_t(h));
        if (saved && saved->pixels) {
            std::memset(saved->pixels, 0, size_t(w) * size_t(h));
            screenReadRect(s, saved->pixels, 0, 0, w, h, w, x, y);
        }
        if (uint8_t* p = saved ? ensureBitmapPalette(saved) : nullptr) std::memcpy(p, gDraw.screenPalette, 768);
    }

    // A slot keeps the place it decodes to, except that it ends on the screen when played there.
    AnimationTarget local{};
    AnimationTarget& t = slot ? slot->target : local;
    SavedTarget before{t.kind, t.x, t.y, t.bitmap,
                       t.kind == TARGET_BITMAP ? bitmapStillThere(t) : t.surface && t.surface == gScreen.surface};
    bool offScreen = false;
    if (flags & (kPlayOffScreen | kPlayMerge)) {
        clearTarget(f, t);
        t.kind = TARGET_BUFFER;
        offScreen = stageFrame(f, t);
        if (!offScreen) setScreenTarget(f, t, x, y);  // no memory for the copy: straight to the screen
    } else if (!(flags & kPlayNoWindow)) {
        setScreenTarget(f, t, x, y);
    }

    if (flags & kPlayFromBlack) {
        applyPaletteGrey(0);
        showScreenPalette();
        ++gDraw.paletteGeneration;
    }
    bool fromBlack = flags & kPlayFromBlack;
    int64_t last = -1;
    bool advanced = true;
    bool played = false;  // ended after the last frame it was to show
    while (!f->readError) {
        advanced = false;
        engine::PumpMessages();
        while (engine::gHooks.autoPauseWaiting() && engine::gScript.control != engine::kEndAll) {
            plat::sleepMs(1);
            engine::PumpMessages();
            engine::CountStep();
        }
        checkTarget(f, t);
        TorvexDecodeFrame(f);
        finishBitmapFrame(f, t);
        bool shown = false;
        auto show = [&] {
            presentFrame(f, t);
            DisplaySurface* now = gScreen.surface;
            if (!offScreen || !now || shown) return;
            // The off-screen frame over the saved background (merge), or at the corner.
            ScreenRect r = (flags & kPlayMerge)
                               ? copyToSurface(now, t.staging, w, 0, 0, w, h, x, y,
                                               saved && saved->pixels ? saved->pixels : nullptr, transparent)
                               : copyToSurface(now, t.staging, w, 0, 0, w, h, 0, 0, nullptr, 0);
            if (r.width > 0) present(now, 0, 0, 0, r.x, r.y, r.width, r.height);
            shown = true;
        };
        if (f->newPalette && int64_t(f->frameIndex) != last) {
            if (!(flags & kPlayIgnorePalette)) {
                if (fromBlack) {
                    show();  // the first picture is on the screen, black, before it fades in
                    fadeIn(f->palette);
                    fromBlack = false;
                } else {
                    takeOverPalette(f->palette);
                }
            }
            last = f->frameIndex;
        }
        show();
        if (flags & kPlayEscape) {
            pumpMessages();
            if (gScreen.keyCount > 0 && waitKey() == 27) break;
        }
        if (f->frameIndex == f->header.frames - 1 && count > 0 && --count == 0) {
            played = true;
            break;
        }
        TorvexAdvance(f);
        advanced = true;
        if (f->readError) break;
        if (!(flags & kPlayNoWait)) waitForFrameTime(f);
        engine::CountStep();
        if (engine::gScript.control == engine::kEndAll) break;
    }

    if (offScreen) clearTarget(f, t);
    if (flags & kPlayFadeOut) fadeOut();
    if (saved) {
        if (saved->palette) takeOverPalette(saved->palette);
        if (DisplaySurface* now = gScreen.surface; now && saved->pixels) {
            ScreenRect r = copyToSurface(now, saved->pixels, w, 0, 0, w, h, x, y, nullptr, 0);
            if (r.width > 0) present(now, 0, 0, 0, r.x, r.y, r.width, r.height);
        }
        destroyBitmap(saved);
    }
    // A slot is left past the last frame it showed: the next advance or play moves on first.
    if (slot && !advanced) slot->advancePending = 1;
    if (!slot) {
        if (played) TorvexFinishSound(f, stopSoundWait, &flags);
        clearTarget(f, t);
        TorvexClose(f);
    } else if (offScreen) {
        // The copy buffer is gone: the slot goes back to where it decoded before.
        if (before.kind == TARGET_SCREEN && before.valid) setScreenTarget(f, t, before.x, before.y);
        else if (before.kind == TARGET_BITMAP && before.valid) setBitmapTarget(f, t, before.bitmap);
        else t.kind = before.kind;
    }
    return 1;
}

void releaseScreenTargets(const DisplaySurface* s) {
    for (AnimationSlot& a : gAnimations.slots)
        if (a.file && a.target.kind == TARGET_SCREEN && a.target.surface == s) detachTarget(a.file, a.target);
}

void closeAllAnimations() {
    for (AnimationSlot& a : gAnimations.slots)
        if (a.file) closeSlot(a);
    gAnimations.trackMask = kInitialTrackMask;
}

void registerAnimationCommands() {
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONOPEN", cmdOpen);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONCLOSE", cmdClose);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONTRACKS", cmdTracks);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONTOSCREEN", cmdToScreen);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONTOBITMAP", cmdToBitmap);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONADVANCE", cmdAdvance);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONADVANCENOPALETTE", cmdAdvanceNoPalette);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONBACKTOSTART", cmdBackToStart);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONGOTO", cmdGoto);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONDELAY", cmdDelay);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONSTILLDELAY", cmdStillDelay);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONFRAMES", cmdFileFact<framesOf>);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONWIDTH", cmdFileFact<frameWidth>);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONHEIGHT", cmdFileFact<frameHeight>);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONLIST", cmdList);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONLOADTOBITMAP", cmdLoadToBitmap);
    engine::registerCommand(engine::CommandOwner::Animation, "ANIMATIONPLAY", cmdPlay);
    gSurfaceDestroyedHook = surfaceDestroyed;
    gBitmapFreedHook = bitmapFreed;
}

}  // namespace runtime
