// Bitmaps, text, mouse areas and input run in-process, headless, on the virtual clock: the
// errors scripts get, TEXTBEGIN's text records, the software pointer in the buffer, the message
// box button sets and the key names.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "player/runtime/bitmaps.h"
#include "player/runtime/input_commands.h"
#include "player/runtime/mouse.h"
#include "player/runtime/screen_draw.h"
#include "player/runtime/text.h"
#include "tests/runtime/script_fixture.h"
#include "tests/support/test_support.h"

namespace {

using runtime::gScreen;
using runtimetest::var;

// Bitmaps, the mouse and the font are cleared around each test too; a mouse is present.
class InteractionTest : public runtimetest::ScriptFixture {
protected:
    void SetUp() override {
        ScriptFixture::SetUp();
        clearInteraction();
        engine::gProgram.mousePresent = true;
    }
    void TearDown() override {
        ScriptFixture::TearDown();
        clearInteraction();
    }
    static void clearInteraction() {
        runtime::freeAllBitmaps();
        runtime::resetMouse();
        runtime::builtinFont();
    }
};

// The first line of an error box's text.
std::string firstLine(const std::string& text) { return text.substr(0, text.find("\r\n")); }

TEST_F(InteractionTest, BadParametersGiveTheirErrors) {
    struct Case {
        const char* script;
        const char* error;  // first line of the box
    };
    const Case cases[] = {
        {"BITMAPWIDTH W 9000\n", "  Bad frame parameter:"},
        {"BITMAPALLOC B 2 2\nBITMAPTOBITMAP B 9128 0 0\n", "  Bad frame parameter:"},
        {"BITMAPALLOC B 2 2\nBITMAPTOBITMAP B 8999 0 0\n", "  Bad frame parameter:"},
        {"VARSET B 'x'\nBITMAPFREE B\n", "  Bad frame parameter:"},
        {"BITMAPCLEAR\n", "  Needed a number in command:"},
        {"BITMAPALLOC B 2 2\nBITMAPTEXT B 0 0\n", "  Needed a parameter in command:"},
        {"BITMAPALLOC B 2 2\nBITMAPTOSCREEN B 0 0\n", "  A window hasn't been created yet (use ScreenGraphics first)."},
        {"BITMAPLIST\n", "  A window hasn't been created yet (use ScreenGraphics first)."},
        {"TEXTBEGIN\nline\nTEXTEND\n", "  A window hasn't been created yet (use ScreenGraphics first)."},
        {"TEXTFONTFROMBITMAP 0\n", "  Needed a number in command:"},
        {"TEXTFONTFROMBITMAP 9000 8 16 32 40\n", "  Bad frame parameter:"},
        {"BITMAPALLOC B 8 8\nTEXTFONTFROMBITMAP B 0 2 65 66\n", "  Bad font size in command:"},
        {"BITMAPALLOC B 8 8\nTEXTFONTFROMBITMAP B 2 0 65 66\n", "  Bad font size in command:"},
        {"BITMAPALLOC B 8 8\nTEXTFONTFROMBITMAP B 9 2 65 66\n", "  Bad font size in command:"},
        {"BITMAPALLOC B 8 8\nTEXTFONTFROMBITMAP B 4 4 65 74\n", "  Bad font size in command:"},
        {"BITMAPALLOC B 8 8\nTEXTFONTFROMBITMAP B 4 4 66 65\n", "  Bad font size in command:"},
        {"MOUSEADD '' 0 0 1 1 0\n", "  Needed a non-empty parameter in command:"},
        {"MOUSEADD 'a' 0 0 1 1 9000\n", "  Bad frame parameter:"},
        {"MOUSEREMOVE\n", "  Needed a non-empty parameter in command:"},
        {"MOUSEMODE\n", "  Needed a number in command:"},
        {"MOUSEPOP\n", "  No mouse area frame to pop in command:"},
        {"MOUSEPUSHANDREMOVEALL\nMOUSEPOP\nMOUSEPOP\n", "  No mouse area frame to pop in command:"},
        {"INPUTCHAR K\n", "  A window hasn't been created yet (use ScreenGraphics first)."},
        {"SCREENGRAPHICS R 16 16\nINPUTSTR S 5\n", "  Needed a parameter in command:"},
        {"SCREENGRAPHICS R 16 16\nINPUTCHARORDELAY K\n", "  Needed a number in command:"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(firstLine(run(c.script)), c.error) << c.script;
        // A refused font leaves the one in use.
        EXPECT_EQ(runtime::gFont.glyphWidth, 8) << c.script;
        EXPECT_EQ(runtime::gFont.glyphHeight, 16) << c.script;
        runtime::freeAllBitmaps();
        runtime::resetMouse();
    }
}

TEST_F(InteractionTest, TablesOfAreasAndFramesHaveTheirLimits) {
    // 128 areas fit; the 129th is refused.
    EXPECT_EQ(run("VARSET N 0\n:a\nMOUSEADD 'x' 0 0 1 1 0\nCOMPUTE N N + 1\nIF N < 128 GOTO a\n"), "");
    EXPECT_EQ(runtime::gMouse.areaCount, 128);
    EXPECT_EQ(firstLine(run("MOUSEADD 'x' 0 0 1 1 0\n")), "  Could not add mouse area in command:");
    runtime::resetMouse();
    // 34 frames can be pushed, not 35.
    EXPECT_EQ(run("VARSET N 0\n:a\nMOUSEPUSHANDREMOVEALL\nCOMPUTE N N + 1\nIF N < 34 GOTO a\n"), "");
    EXPECT_EQ(runtime::gMouse.depth, 34);
    EXPECT_EQ(firstLine(run("MOUSEPUSHANDREMOVEALL\n")), "  Too many mouse area frames in command:");
    EXPECT_EQ(runtime::gMouse.depth, 34);
}

TEST_F(InteractionTest, TextBeginPrintsItsLinesAndGoesOnAfterTextEnd) {
    testsupport::TempDir dir;
    const std::string out = dir.file("print.txt");
    // Printing does not make a window unnecessary.
    EXPECT_EQ(firstLine(run("PRINTBEGIN '" + dir.file("early.txt") + "'\nTEXT 'x'\n")),
              "  A window hasn't been created yet (use ScreenGraphics first).");
    const std::string script = "SCREENGRAPHICS R 64 64\nVARSET NAME 'World'\nPRINTBEGIN '" + out +
                               "'\nTEXTBEGIN\nHello %NAME%\n  :notalabel\nTEXT 'not run'\n# kept\ntextend of the text\n"
                               "TEXT 'after'\nGOTO skip\nTEXT 'skipped'\n:skip\nCALL 'sub'\nTEXT 'back'\nPRINTEND\n";
    // Without a TEXTEND the text runs to the end of the file, which ends that file only.
    const std::string sub = "TEXTBEGIN\nline one\nTEXT 'line two'\n";
    ASSERT_EQ(run(script, {{"sub.ss", sub}}), "");
    auto bytes = testsupport::readFile(out);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              "Hello World\r\n  :notalabel\r\nTEXT 'not run'\r\n# kept\r\nafter\r\nline one\r\nTEXT 'line two'\r\nback\r\n");
}

TEST_F(InteractionTest, TextBeginOnTheScreenAdvancesLikeText) {
    ASSERT_EQ(run("SCREENGRAPHICS R 64 64\nTEXTBEGIN\nab\nc\nTEXTEND\nTEXTX X\nTEXTY Y\n"), "");
    EXPECT_EQ(var("X"), "0");
    EXPECT_EQ(var("Y"), "32");
    EXPECT_EQ(pixel(0, 0) | pixel(3, 5), 7);  // something of "a" in the text colour
}

TEST_F(InteractionTest, ListsWithoutADebugFileGoToTheScreen) {
    ASSERT_EQ(run("SCREENGRAPHICS R 320 64\nBITMAPALLOC B 3 2\nBITMAPALLOC C 1 1\nBITMAPLIST\nTEXTY Y1\nVARLIST\n"
                  "TEXTY Y2\n"),
              "");
    EXPECT_EQ(var("Y1"), "32");  // two bitmaps, a line each
    EXPECT_EQ(var("Y2"), "48");  // B, C and Y1 do not all fit: the last new line is ignored
    int lit = 0;  // "Number: 9000 ..." begins at the top left: its "N" is in the first cell
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 8; ++x) lit += pixel(x, y) == 7;
    EXPECT_GT(lit, 10);
}

// The built-in pointer: outline in the darkest entry, fill in the brightest, the rest left
// out; taken off (and the picture put back) by a drawing that overlaps it, not by others.
TEST_F(InteractionTest, PointerIsDrawnWhileWaitingAndHiddenByOverlappingDrawing) {
    // MOUSESETXY 35 25 is pulled back so that the 10 x 19 image fits on the 40 x 30 screen.
    ASSERT_EQ(run("SCREENGRAPHICS R 40 30\nSCREENCLEAR 200\nMOUSESETXY 35 25\nINPUTCHARORDELAY K 0\nMOUSEX X\n"
                  "MOUSEY Y\n"),
              "");
    EXPECT_EQ(var("K"), "DELAY");
    EXPECT_EQ(var("X"), "30");
    EXPECT_EQ(var("Y"), "11");
    const int dark = 0, bright = 63;  // of the default palette
    EXPECT_EQ(pixel(30, 11), dark);
    EXPECT_EQ(pixel(31, 13), bright);
    EXPECT_EQ(pixel(31, 11), 200);  // transparent part
    EXPECT_EQ(pixel(37, 29), dark);  // row 18 is ".......OO.", at x 30 .. 39
    EXPECT_EQ(pixel(39, 29), 200);
    EXPECT_EQ(pixel(37, 28), bright);
    ASSERT_EQ(run("SCREENFILLEDBOX 0 0 5 5 9\n"), "");
    EXPECT_EQ(pixel(31, 13), bright);  // elsewhere: the pointer stays
    ASSERT_EQ(run("SCREENSETPIXEL 30 11 9\n"), "");
    EXPECT_EQ(pixel(30, 11), 9);
    EXPECT_EQ(pixel(31, 13), 200);  // the picture under the pointer is back
    EXPECT_EQ(pixel(37, 29), 200);
}

TEST_F(InteractionTest, PointerIsRecolouredAfterAPaletteChangeAndAreasBringTheirImage) {
    // Darkest 0, brightest 1: the transparent key becomes 2.
    ASSERT_EQ(run("SCREENGRAPHICS R 40 30\nSCREENCLEAR 2\nBITMAPALLOC P 1 1\nBITMAPSETPALETTEVALUE P 1 16777215\n"
                  "BITMAPSETPALETTE P\nMOUSESETXY 0 0\nINPUTCHARORDELAY K 0\n"),
              "");
    EXPECT_EQ(pixel(0, 0), 0);
    EXPECT_EQ(pixel(1, 2), 1);
    EXPECT_EQ(pixel(1, 0), 2);  // left out, so the screen's 2 shows
    // An area's bitmap is drawn with key 0 while the mouse is inside the area.
    ASSERT_EQ(run("SCREENCLEAR 5\nBITMAPALLOC IMG 2 2\nBITMAPCLEAR IMG 0\nBITMAPSETPIXEL IMG 1 1 9\n"
                  "MOUSEADD 'here' 0 0 40 30 IMG\nINPUTCHARORDELAY K 0\n"),
              "");
    EXPECT_EQ(pixel(1, 1), 9);
    EXPECT_EQ(pixel(0, 0), 5);
    EXPECT_EQ(pixel(1, 2), 5);  // the built-in image is gone
    // The image's bitmap freed under it: the built-in image instead, no stale pixels.
    ASSERT_EQ(run("VARSET IMG 9001\nBITMAPFREE IMG\nMOUSESETXY 10 10\nINPUTCHARORDELAY K 0\n"), "");
    EXPECT_EQ(pixel(1, 1), 5);
    EXPECT_EQ(pixel(11, 12), 1);
}

TEST_F(InteractionTest, FadeInPaletteFadesWithAWindowAndAppliesAtOnceWithout) {
    const std::string fade =
        "BITMAPALLOC B 1 1\nBITMAPSETPALETTEVALUE B 7 16777215\nSYSTEMTIMER T0\nBITMAPFADEINPALETTE B\n"
        "SYSTEMTIMER T1\nSCREENGETBRIGHTESTPALETTEINDEX L\nCOMPUTE D T1 - T0\n";
    ASSERT_EQ(run(fade), "");
    EXPECT_EQ(var("L"), "7");
    EXPECT_EQ(var("D"), "0");
    runtime::freeAllBitmaps();
    ASSERT_EQ(run("SCREENGRAPHICS R 8 8\n" + fade), "");
    EXPECT_EQ(var("L"), "7");
    EXPECT_EQ(var("D"), "240");  // 16 steps of 15 ms
    EXPECT_EQ(runtime::gDraw.screenPalette[7 * 3], 255);
}

TEST_F(InteractionTest, MessageBoxButtonSets) {
    struct Case {
        int buttons;
        const char* answer;
        uint32_t type;
        const char* result;
    };
    const Case cases[] = {
        {6, "no", plat::MB_YESNOCANCEL | plat::MB_ICONQUESTION, "8"},
        {10, "cancel", plat::MB_YESNOCANCEL | plat::MB_ICONQUESTION, "2"},
        {2, "cancel", plat::MB_OKCANCEL | plat::MB_ICONEXCLAMATION, "2"},
        {2, "ok", plat::MB_OKCANCEL | plat::MB_ICONEXCLAMATION, "1"},
        {4, "yes", plat::MB_YESNO | plat::MB_ICONQUESTION, "4"},
        {8, "no", plat::MB_YESNO | plat::MB_ICONQUESTION, "8"},
        {1, "ok", plat::MB_OK | plat::MB_ICONINFORMATION, "1"},
        {0, "", plat::MB_OK | plat::MB_ICONINFORMATION, "1"},
    };
    for (const Case& c : cases) {
        plat::setMessageBoxAnswers(c.answer);
        ASSERT_EQ(run("INPUTMSGWIN M 5 5 " + std::to_string(c.buttons) + " 'Go on?'\n"), "");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].title, "TorvexScript");
        EXPECT_EQ(boxes[0].text, "Go on?");
        EXPECT_EQ(boxes[0].type & 0xFF, c.type) << c.buttons;
        EXPECT_EQ(var("M"), c.result) << c.buttons;
    }
}

TEST_F(InteractionTest, KeyCodesHaveTheirNames) {
    const std::pair<int, const char*> cases[] = {
        {8, "BACKSPACE"},   {127, "BACKSPACE"},  {9, "TAB"},         {137, "BACKTAB"},      {10, "ENTER"},
        {13, "ENTER"},      {27, "ESCAPE"},      {32, "SPACE"},      {161, "PAGEUP"},       {164, "HOME"},
        {168, "DOWN"},      {173, "INSERT"},     {174, "DELETE"},    {208, "F1"},           {217, "F10"},
        {218, "SHIFT F1"},  {227, "SHIFT F10"},  {228, "CONTROL F1"}, {237, "CONTROL F10"}, {238, "ALT F1"},
        {241, "ALT F4"},    {247, "ALT F10"},    {'a', "a"},         {169, "\xA9"},         {248, "\xF8"},
    };
    for (const auto& [code, name] : cases) EXPECT_EQ(runtime::keyName(uint8_t(code)), name) << code;
}

TEST_F(InteractionTest, ReadLineIsLimitedTo255Characters) {
    std::vector<plat::InputEvent> events;
    for (int i = 0; i < 300; ++i) {
        plat::InputEvent e;
        e.kind = plat::InputEvent::Char;
        e.ch = 'x';
        e.timeMs = uint32_t(i);
        events.push_back(e);
    }
    plat::InputEvent enter;
    enter.kind = plat::InputEvent::Char;
    enter.ch = 13;
    enter.timeMs = 400;
    events.push_back(enter);
    plat::setInputScript(events);
    ASSERT_EQ(run("SCREENGRAPHICS R 64 64\nINPUTSTR S 1000 ''\nSTRLENGTH N S\n"), "");
    EXPECT_EQ(var("N"), "255");
}

}  // namespace

namespace {

// The stepping line as the drawing code has always drawn it, plotting only inside the image.
void referenceLine(std::vector<uint8_t>& img, int64_t w, int64_t h, int64_t x1, int64_t y1, int64_t x2, int64_t y2) {
    if (y2 < y1) {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    int64_t dx = x2 - x1, dy = y2 - y1, step = dx <= 0 ? -1 : 1, adx = dx < 0 ? -dx : dx, x = x1, y = y1;
    auto plot = [&] {
        if (x >= 0 && y >= 0 && x < w && y < h) img[size_t(y * w + x)] = 1;
    };
    if (adx > dy) {
        for (int64_t i = 0, e = 2 * dy - adx; i <= adx; ++i, x += step, e += 2 * dy) {
            plot();
            if (e >= 0) ++y, e -= 2 * adx;
        }
    } else {
        for (int64_t i = 0, e = 2 * adx - dy; i <= dy; ++i, ++y, e += 2 * adx) {
            plot();
            if (e >= 0) x += step, e -= 2 * dy;
        }
    }
}

TEST(BitmapLine, WalksOnlyTheStepsInsideAndMatchesTheSteppingLine) {
    const int64_t w = 13, h = 9;
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return int64_t((seed >> 8) % 61) - 24;  // -24 .. 36: inside and around the image
    };
    for (int n = 0; n < 3000; ++n) {
        int64_t x1 = next(), y1 = next(), x2 = next(), y2 = next();
        std::vector<uint8_t> expected(size_t(w * h)), got(size_t(w * h));
        referenceLine(expected, w, h, x1, y1, x2, y2);
        runtime::drawImageLine(got.data(), uint32_t(w), uint32_t(h), x1, y1, x2, y2, 1);
        ASSERT_EQ(got, expected) << x1 << ',' << y1 << " - " << x2 << ',' << y2;
    }
    // End points billions apart still draw the part inside (and return at once).
    std::vector<uint8_t> img(size_t(w * h));
    runtime::drawImageLine(img.data(), uint32_t(w), uint32_t(h), -2000000000, 4, 2000000000, 4, 1);
    for (int64_t x = 0; x < w; ++x) EXPECT_EQ(img[size_t(4 * w + x)], 1) << x;
    runtime::drawImageLine(img.data(), uint32_t(w), uint32_t(h), -2147483648LL, -2147483648LL, 2147483647LL,
                           2147483647LL, 2);
    EXPECT_EQ(img[0], 2);
    EXPECT_EQ(img[size_t(8 * w + 8)], 2);
}

}  // namespace
