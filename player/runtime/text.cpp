// Text output: the font, drawing glyphs into images, screen text and the TEXT* commands.
#include "player/runtime/text.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "player/engine/io_commands.h"
#include "player/engine/script.h"
#include "player/runtime/bitmaps.h"
#include "platform/font_data.h"
#include "player/runtime/screen_draw.h"
#include "player/runtime/screen_window.h"

namespace runtime {

Font gFont;

namespace {

const uint8_t* glyphBits() { return gFont.bits ? gFont.bits : &kBuiltinFont[0][0]; }

// How much of a span of size at position pos lies within 0 .. limit - 1 when it starts on it;
// 0 when it starts off it (copies to the screen leave such spans out).
int32_t visibleExtent(int32_t pos, int32_t size, int32_t limit) {
    if (pos < 0 || pos >= limit) return 0;
    return int32_t(std::min<int64_t>(size, int64_t(limit) - pos));
}

}  // namespace

void builtinFont() {
    delete[] gFont.customBits;
    gFont = Font{};
}

void drawText(const char* text, size_t n, uint8_t* image, uint32_t width, uint32_t height, int64_t x, int64_t y) {
    if (!image || !text) return;
    const Font& f = gFont;
    const uint8_t* bits = glyphBits();
    const int64_t rowBytes = fontRowBytes(f);
    const uint8_t tc = uint8_t(gTextOutput.colour), bc = uint8_t(gTextOutput.backColour);
    const uint8_t trans = uint8_t(gTextOutput.transColour);
    // transparent = text colour: only the background is drawn; transparent = background: only
    // the letters; otherwise both.
    const bool drawSet = trans != tc;
    const bool drawClear = trans == tc || trans != bc;
    for (int64_t r = 0; r < f.glyphHeight; ++r) {
        const int64_t py = y + r;
        if (py < 0 || py >= int64_t(height)) continue;
        uint8_t* row = image + size_t(py) * width;
        for (size_t i = 0; i < n; ++i) {
            const int32_t code = static_cast<unsigned char>(text[i]);
            const int64_t g = (code >= f.firstChar && code <= f.lastChar) ? code - f.firstChar : 0;
            const uint8_t* glyphRow = bits + (g * f.glyphHeight + r) * rowBytes;
            const int64_t left = x + int64_t(i) * f.glyphWidth;
            for (int64_t c = 0; c < f.glyphWidth; ++c) {
                const int64_t px = left + c;
                if (px < 0 || px >= int64_t(width)) continue;
                const bool set = (glyphRow[c >> 3] >> (7 - (c & 7))) & 1;
                if (set && drawSet) row[px] = tc;
                else if (!set && drawClear) row[px] = bc;
            }
        }
    }
}

void screenText(const char* text) {
    DisplaySurface* s = gScreen.surface;
    if (!text || !text[0] || !gScreen.window || !s) return;
    const int32_t gw = gFont.glyphWidth, gh = gFont.glyphHeight;
    TextOutputState& t = gTextOutput;
    if (text[0] == '\n') {
        // No scrolling: a new line that would leave too little room below is ignored.
        // Compared unsigned, with the sum taken modulo 2^32 as the position's type would.
        if (uint32_t(int64_t(t.y) + 2 * int64_t(gh)) > uint32_t(gScreen.screenHeight)) return;
        t.x = gDraw.originX;
        t.y = int32_t(uint32_t(t.y) + uint32_t(gh));
        return;
    }
    if (text[0] == 8) {
        t.x = t.x < 9 ? 0 : t.x - gw;
        // Only the part of the cell on the screen is needed.
        const int32_t cw = visibleExtent(t.x, gw, gScreen.screenWidth), ch = visibleExtent(t.y, gh, gScreen.screenHeight);
        if (cw < 1 || ch < 1) return;
        std::vector<uint8_t> cell(size_t(cw) * size_t(ch), uint8_t(t.backColour));
        gPointerHooks.hideIfOverlapping(t.x, t.y, cw, ch);
        screenCopyRect(s, cell.data(), 0, 0, cw, ch, cw, t.x, t.y, COPY_PLAIN, 0, nullptr);
        return;
    }
    int64_t n = int64_t(std::strlen(text));
    // Only the characters that fit entirely on the rest of the line are shown.
    if (int64_t(t.x) + n * gw > gScreen.screenWidth) n = std::max<int64_t>(0, (int64_t(gScreen.screenWidth) - t.x) / gw);
    if (n <= 0) return;
    const int64_t w = n * gw;
    // Rows below the screen are not drawn (a tall font would otherwise need a large area).
    const int32_t rows = visibleExtent(t.y, gh, gScreen.screenHeight);
    if (rows > 0 && t.x >= 0) {
        std::vector<uint8_t> area(size_t(w) * size_t(rows), uint8_t(t.backColour));
        // Reading the screen first lets the transparent parts show the picture underneath.
        gPointerHooks.hideIfOverlapping(t.x, t.y, int32_t(w), rows);
        screenReadRect(s, area.data(), 0, 0, int32_t(w), rows, int32_t(w), t.x, t.y);
        drawText(text, size_t(n), area.data(), uint32_t(w), uint32_t(rows), 0, 0);
        screenCopyRect(s, area.data(), 0, 0, int32_t(w), rows, int32_t(w), t.x, t.y, COPY_PLAIN, 0, nullptr);
    }
    t.x = int32_t(t.x + w);
}

bool fontFromBitmap(const Bitmap& b, int32_t w, int32_t h, int32_t first, int32_t last) {
    if (w < 1 || h < 1 || last < first || !b.pixels) return false;
    const int64_t count = int64_t(last) - first + 1;
    // Glyphs go left to right in bands of h rows; one that would cross the right edge starts
    // the next band, so every glyph lies wholly inside the bitmap.
    const int64_t perBand = int64_t(b.width) / w;
    if (perBand < 1) return false;
    const int64_t bands = (count + perBand - 1) / perBand;
    if (bands * h > int64_t(b.height)) return false;
    const int64_t rowBytes = (int64_t(w) + 7) / 8;
    uint8_t* bits = new (std::nothrow) uint8_t[size_t(rowBytes * count * h)]();
    if (!bits) return false;
    for (int64_t g = 0; g < count; ++g) {
        const int64_t x0 = (g % perBand) * w, y0 = (g / perBand) * h;
        for (int64_t r = 0; r < h; ++r) {
            const uint8_t* src = b.pixels + size_t(y0 + r) * b.width + size_t(x0);
            uint8_t* dst = bits + size_t((g * h + r) * rowBytes);
            for (int64_t c = 0; c < w; ++c)
                if (src[c]) dst[c >> 3] |= uint8_t(0x80 >> (c & 7));
        }
    }
    delete[] gFont.customBits;
    gFont.customBits = bits;
    gFont.bits = bits;
    gFont.glyphWidth = w;
    gFont.glyphHeight = h;
    gFont.firstChar = first;
    gFont.lastChar = last;
    return true;
}

void printText(const char* text, bool newLine) {
    if (engine::printFileOpen()) {
        engine::printFileWrite(text, std::strlen(text));
        if (newLine) engine::printFileWrite("\r\n", 2);
        return;
    }
    screenText(text);
    if (newLine) screenText("\n");
}

// ---- commands -------------------------------------------------------------------------------

namespace {

using engine::kLineSize;

void cmdText() {
    char text[kLineSize];
    engine::fetchAny(text);
    requireWindow();
    printText(text, true);
}

void cmdTextNoCr() {
    char text[kLineSize];
    engine::fetchAny(text);
    requireWindow();
    printText(text, false);
}

// The loader keeps the lines after a TEXTBEGIN line as text records, closed by a TEXTEND
// record; they are printed here and the script goes on behind the TEXTEND. Without one the
// text runs to the end of the file, which ends the script.
void cmdTextBegin() {
    requireWindow();
    const engine::CompiledScript* s = engine::gScript.script;
    if (!s) return;
    char line[kLineSize];
    while (engine::gScript.position < engine::gScript.end) {
        const engine::Record& r = s->records[engine::gScript.position];
        if (r.command == engine::kTextEndRecord) {
            ++engine::gScript.position;
            return;
        }
        if (r.command != engine::kTextLineRecord) return;
        ++engine::gScript.position;
        engine::gScript.currentLine = r.line;
        std::memcpy(line, s->text.data() + r.text, size_t(r.length) + 1);
        engine::SubstituteVariables(line);
        printText(line, true);
    }
}

void cmdTextColor() { gTextOutput.colour = engine::fetchNumber() & 0xFF; }
void cmdTextBackColor() { gTextOutput.backColour = engine::fetchNumber() & 0xFF; }
void cmdTextTransColor() { gTextOutput.transColour = engine::fetchNumber() & 0xFF; }

void cmdTextSetXY() {
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    gTextOutput.x = int32_t(uint32_t(x) + uint32_t(gDraw.originX));
    gTextOutput.y = int32_t(uint32_t(y) + uint32_t(gDraw.originY));
}

void cmdTextX() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, int32_t(uint32_t(gTextOutput.x) - uint32_t(gDraw.originX)));
}

void cmdTextY() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    engine::SetVariableNumber(var, int32_t(uint32_t(gTextOutput.y) - uint32_t(gDraw.originY)));
}

void cmdTextFontFromBitmap() {
    char text[kLineSize];
    if (engine::FetchParam(text, true) != engine::PARAM_NUMBER)
        engine::CommandError("  Needed a number in command:\r\n    ");
    const int slot = engine::ValidateBitmapNumber(text, true, bitmapSlotUsed);
    int32_t w = engine::fetchNumber();
    int32_t h = engine::fetchNumber();
    int32_t first = engine::fetchNumber();
    int32_t last = engine::fetchNumber();
    if (slot < 0) {
        builtinFont();
        return;
    }
    if (!fontFromBitmap(*gBitmaps.slots[slot], w, h, first, last))
        engine::CommandError("  Bad font size in command:\r\n    ");
}

}  // namespace

void registerTextCommands() {
    engine::registerCommand(engine::CommandOwner::Text, "TEXT", cmdText);
    engine::registerCommand(engine::CommandOwner::Text, "TEXTNOCR", cmdTextNoCr);
    engine::registerCommand(engine::CommandOwner::Text, "TEXTBEGIN", cmdTextBegin);
    engine::registerCommand(engine::CommandOwner::Text, "TEXTCOLOR", cmdTextColor);
    engine::registerCommand(engine::CommandOwner::Text, "TEXTBACKCOLOR", cmdTextBackColor);
    engine::registerCommand(engine::CommandOwner::Text, "TEXTTRANSCOLOR", cmdTextTransColor);
    engine::registerCommand(engine::CommandOwner::Text, "TEXTSETXY", cmdTextSetXY);
    engine::registerCommand(engine::CommandOwner::Text, "TEXTX", cmdTextX);
    engine::registerCommand(engine::CommandOwner::Text, "TEXTY", cmdTextY);
    engine::registerCommand(engine::CommandOwner::Text, "TEXTFONTFROMBITMAP", cmdTextFontFromBitmap);
}

}  // namespace runtime
