// Mouse areas, the mouse position and the software pointer.
#include "player/runtime/mouse.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/blit/blitter.h"
#include "platform/window.h"
#include "player/engine/program.h"
#include "player/engine/script.h"
#include "player/runtime/bitmaps.h"
#include "player/runtime/screen_draw.h"
#include "player/runtime/screen_window.h"

namespace runtime {

MouseState gMouse;

namespace {

// O outline, F fill, . transparent.
const char* const kPointerRows[kPointerHeight] = {
    "O.........", "OO........", "OFO.......", "OFFO......", "OFFFO.....", "OFFFFO....", "OFFFFFO...",
    "OFFFFFFO..", "OFFFFFFFO.", "OFFFFFFFFO", "OFFFFFOOOO", "OFFOFFO...", "OFO.OFFO..", "OO..OFFO..",
    ".....OFFO.", ".....OFFO.", "......OFFO", "......OFFO", ".......OO.",
};

struct PointerImage {
    const uint8_t* pixels;
    int32_t width, height;
    uint8_t key;
};

// The image of a slot; the built-in one for -1 and for a slot whose bitmap has gone or has no
// pixels.
PointerImage imageOf(int32_t slot) {
    if (const Bitmap* b = bitmapInSlot(slot); b && b->pixels && b->width <= 0xFFFF && b->height <= 0xFFFF)
        return {b->pixels, int32_t(b->width), int32_t(b->height), 0};
    return {gMouse.builtin, kPointerWidth, kPointerHeight, gMouse.builtinKey};
}

void recolourBuiltin() {
    if (gMouse.recoloured && gMouse.recolouredAt == gDraw.paletteGeneration) return;
    const int dark = TorvexDarkestColor(gDraw.screenPalette);
    const int bright = TorvexBrightestColor(gDraw.screenPalette);
    uint8_t t;
    if (dark == 0) t = bright == 1 ? 2 : 1;
    else if (dark == 1) t = bright == 2 ? 0 : 2;
    else t = bright == 1 ? 0 : 1;
    for (int r = 0; r < kPointerHeight; ++r)
        for (int c = 0; c < kPointerWidth; ++c) {
            char k = kPointerRows[r][c];
            gMouse.builtin[r * kPointerWidth + c] = k == 'O' ? uint8_t(dark) : k == 'F' ? uint8_t(bright) : t;
        }
    gMouse.builtinKey = t;
    gMouse.recoloured = true;
    gMouse.recolouredAt = gDraw.paletteGeneration;
}

void freeBackground() {
    delete[] gMouse.background;
    gMouse.background = nullptr;
    gMouse.backgroundWidth = gMouse.backgroundHeight = 0;
}

// Keeps the whole pointer image on the screen.
void limitPosition() {
    if (!gScreen.window || gMouse.x == -1) return;
    PointerImage img = imageOf(gMouse.imageSlot);
    int32_t maxX = gScreen.screenWidth - (img.width ? img.width : 1);
    int32_t maxY = gScreen.screenHeight - (img.height ? img.height : 1);
    gMouse.x = std::clamp(gMouse.x, 0, std::max(maxX, 0));
    gMouse.y = std::clamp(gMouse.y, 0, std::max(maxY, 0));
}

}  // namespace

int hitTest(int32_t x, int32_t y) {
    for (int i = gMouse.areaCount - 1; i >= gMouse.frameBase; --i) {
        const MouseArea& a = gMouse.areas[i];
        if (a.left <= x && x < a.right && a.top <= y && y < a.bottom) return i;
    }
    return -1;
}

void takePointerOff() {
    if (gMouse.drawnX == -1) return;
    if (gScreen.surface && gMouse.background)
        screenCopyRect(gScreen.surface, gMouse.background, 0, 0, gMouse.backgroundWidth, gMouse.backgroundHeight,
                       gMouse.backgroundWidth, gMouse.drawnX, gMouse.drawnY, COPY_PLAIN, 0, nullptr);
    gMouse.drawnX = gMouse.drawnY = -1;
}

bool updateMousePosition() {
    plat::POINT pt{};
    plat::getCursorPos(&pt);
    plat::POINT local = pt;
    const bool inside = gScreen.window && plat::windowFromPoint(pt) == gScreen.window &&
                        plat::screenToClient(gScreen.window, &local) && local.x >= 0 && local.y >= 0 &&
                        local.x < gScreen.screenWidth && local.y < gScreen.screenHeight;
    if (inside) {
        gMouse.x = local.x;
        gMouse.y = local.y;
        limitPosition();
    } else {
        takePointerOff();
        gMouse.x = gMouse.y = -1;
    }
    return gMouse.x != gMouse.drawnX || gMouse.y != gMouse.drawnY;
}

void setPointerImage(int32_t slot) {
    if (gMouse.x == -1 || slot == gMouse.imageSlot) return;
    if (gMouse.background) {
        takePointerOff();
        freeBackground();
    }
    gMouse.imageSlot = slot;
    limitPosition();
}

void drawPointer() {
    DisplaySurface* s = gScreen.surface;
    if (gMouse.x == -1 || !s) return;
    recolourBuiltin();
    PointerImage img = imageOf(gMouse.imageSlot);
    const bool sameImage = gMouse.drawnSlot == gMouse.imageSlot && gMouse.backgroundWidth == img.width &&
                           gMouse.backgroundHeight == img.height;
    if (gMouse.drawnX == gMouse.x && gMouse.drawnY == gMouse.y && sameImage) return;
    takePointerOff();
    // The saved background always has the size of the image drawn over it.
    if (gMouse.background && !sameImage) freeBackground();
    if (!gMouse.background) {
        gMouse.background = new (std::nothrow) uint8_t[size_t(img.width) * size_t(img.height)]();
        if (!gMouse.background) return;  // no memory: no pointer
        gMouse.backgroundWidth = img.width;
        gMouse.backgroundHeight = img.height;
    }
    screenReadRect(s, gMouse.background, 0, 0, img.width, img.height, img.width, gMouse.x, gMouse.y);
    screenCopyRect(s, img.pixels, 0, 0, img.width, img.height, img.width, gMouse.x, gMouse.y, COPY_TRANSPARENT,
                   img.key, nullptr);
    gMouse.drawnX = gMouse.x;
    gMouse.drawnY = gMouse.y;
    gMouse.drawnSlot = gMouse.imageSlot;
}

void hidePointerIfOverlapping(int32_t x, int32_t y, int32_t w, int32_t h) {
    if (!engine::gProgram.mousePresent || !gScreen.window || gMouse.drawnX == -1) return;
    const int64_t px = gMouse.drawnX, py = gMouse.drawnY;
    if (x < px + gMouse.backgroundWidth && px < int64_t(x) + w && y < py + gMouse.backgroundHeight &&
        py < int64_t(y) + h)
        takePointerOff();
}

void pointerNewScreen() {
    // The old picture (and the pointer in it) is gone: nothing to put back.
    freeBackground();
    gMouse.drawnX = gMouse.drawnY = -1;
    gMouse.imageSlot = -1;
    if (gScreen.window) gMouse.areaCount = gMouse.frameBase;
}

void resetMouse() {
    freeBackground();
    gMouse = MouseState{};
}

// ---- commands -------------------------------------------------------------------------------

namespace {

using engine::kLineSize;

void takeOffForCommand() {
    if (engine::gProgram.mousePresent && gScreen.window) takePointerOff();
}

void cmdAdd() {
    char name[kLineSize];
    engine::fetchNonEmpty(name);
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    int32_t w = engine::fetchNumber();
    int32_t h = engine::fetchNumber();
    char text[kLineSize];
    if (engine::FetchParam(text, true) != engine::PARAM_NUMBER)
        engine::CommandError("  Needed a number in command:\r\n    ");
    int slot = engine::ValidateBitmapNumber(text, true, bitmapSlotUsed);
    if (gMouse.areaCount >= kMouseAreas) engine::CommandError("  Could not add mouse area in command:\r\n    ");
    MouseArea& a = gMouse.areas[gMouse.areaCount++];
    // Longer names keep their first 31 characters.
    const size_t n = std::min(std::strlen(name), size_t(kMouseNameSize - 1));
    std::memcpy(a.name, name, n);
    a.name[n] = 0;
    a.left = int32_t(uint32_t(x) + uint32_t(gDraw.originX));
    a.top = int32_t(uint32_t(y) + uint32_t(gDraw.originY));
    a.right = int32_t(uint32_t(a.left) + uint32_t(w));
    a.bottom = int32_t(uint32_t(a.top) + uint32_t(h));
    a.pointerBitmap = slot;
    int hit = hitTest(gMouse.x, gMouse.y);
    setPointerImage(hit >= 0 ? gMouse.areas[hit].pointerBitmap : -1);
}

void cmdRemove() {
    char name[kLineSize];
    engine::fetchNonEmpty(name);
    for (int i = gMouse.areaCount - 1; i >= gMouse.frameBase; --i) {
        if (std::strcmp(gMouse.areas[i].name, name) != 0) continue;
        std::memmove(&gMouse.areas[i], &gMouse.areas[i + 1], sizeof(MouseArea) * size_t(gMouse.areaCount - 1 - i));
        --gMouse.areaCount;
        return;
    }
}

void cmdRemoveAll() { gMouse.areaCount = gMouse.frameBase; }

void cmdPushAndRemoveAll() {
    if (gMouse.depth >= kMouseFrames) engine::CommandError("  Too many mouse area frames in command:\r\n    ");
    takeOffForCommand();
    gMouse.savedCount[gMouse.depth] = gMouse.areaCount;
    gMouse.savedBase[gMouse.depth] = gMouse.frameBase;
    ++gMouse.depth;
    gMouse.frameBase = gMouse.areaCount;
}

void cmdPop() {
    if (gMouse.depth <= 0) engine::CommandError("  No mouse area frame to pop in command:\r\n    ");
    takeOffForCommand();
    --gMouse.depth;
    gMouse.areaCount = gMouse.savedCount[gMouse.depth];
    gMouse.frameBase = gMouse.savedBase[gMouse.depth];
}

void cmdArea() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    int hit = hitTest(gMouse.x, gMouse.y);
    engine::SetVariable(var, hit >= 0 ? gMouse.areas[hit].name : "");
}

void cmdX() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, int32_t(uint32_t(gMouse.x) - uint32_t(gDraw.originX)));
}

void cmdY() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, int32_t(uint32_t(gMouse.y) - uint32_t(gDraw.originY)));
}

void cmdSetXY() {
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    // Positions are 16-bit, as the pointer messages carry them.
    gMouse.x = int16_t(uint32_t(x) + uint32_t(gDraw.originX));
    gMouse.y = int16_t(uint32_t(y) + uint32_t(gDraw.originY));
    limitPosition();
    if (!gScreen.window) return;
    plat::POINT pt{gMouse.x, gMouse.y};
    plat::clientToScreen(gScreen.window, &pt);
    plat::setCursorPos(pt.x, pt.y);
}

void cmdPresent() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, engine::gProgram.mousePresent ? 1 : 0);
}

void cmdMode() { (void)engine::fetchNumber(); }

}  // namespace

void registerMouseCommands() {
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSEADD", cmdAdd);
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSEREMOVE", cmdRemove);
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSEREMOVEALL", cmdRemoveAll);
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSEPUSHANDREMOVEALL", cmdPushAndRemoveAll);
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSEPOP", cmdPop);
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSEAREA", cmdArea);
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSEX", cmdX);
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSEY", cmdY);
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSESETXY", cmdSetXY);
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSEPRESENT", cmdPresent);
    engine::registerCommand(engine::CommandOwner::Mouse, "MOUSEMODE", cmdMode);
}

}  // namespace runtime
