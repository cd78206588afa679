// Waiting for input and the INPUT* commands.
#include "player/runtime/input_commands.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "kroutil/kro_timer.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "player/engine/program.h"
#include "player/engine/script.h"
#include "player/runtime/bitmaps.h"
#include "player/runtime/mouse.h"
#include "player/runtime/screen_draw.h"
#include "player/runtime/screen_window.h"
#include "player/runtime/text.h"

namespace runtime {

namespace {

bool pointerActive() { return engine::gProgram.mousePresent && gScreen.window; }

// The first queued key (the queue must not be empty).
uint8_t takeKey() {
    uint8_t code = gScreen.keyQueue[0];
    std::memmove(gScreen.keyQueue, gScreen.keyQueue + 1, size_t(gScreen.keyCount - 1));
    --gScreen.keyCount;
    return code;
}

// One round of waiting: pump, service sound, let time pass. False when the script has to stop
// (the step limit ended it) or the window went away, so that no wait can hang.
bool waitRound() {
    plat::yieldThread();
    engine::CountStep();
    return engine::gScript.control != engine::kEndAll && gScreen.window;
}

}  // namespace

std::string keyName(uint8_t code) {
    static const char* const kMoves[] = {"PAGEUP", "PAGEDOWN", "END", "HOME", "LEFT", "UP", "RIGHT", "DOWN"};
    switch (code) {
        case 8:
        case 127: return "BACKSPACE";
        case 9: return "TAB";
        case 137: return "BACKTAB";
        case 10:
        case 13: return "ENTER";
        case 27: return "ESCAPE";
        case 32: return "SPACE";
        case 173: return "INSERT";
        case 174: return "DELETE";
        default: break;
    }
    if (code >= 161 && code <= 168) return kMoves[code - 161];
    if (code >= 208 && code <= 217) return "F" + std::to_string(code - 207);
    if (code >= 218 && code <= 227) return "SHIFT F" + std::to_string(code - 217);
    if (code >= 228 && code <= 237) return "CONTROL F" + std::to_string(code - 227);
    if (code >= 238 && code <= 247) return "ALT F" + std::to_string(code - 237);
    return std::string(1, char(code));
}

std::string waitInput(bool limited, uint32_t limitMs) {
    const uint32_t t0 = KroTimerRead();
    for (;;) {
        engine::PumpMessages();
        if (gScreen.keyCount) break;
        if (pointerActive()) {
            if (updateMousePosition()) {
                int hit = hitTest(gMouse.x, gMouse.y);
                setPointerImage(hit >= 0 ? gMouse.areas[hit].pointerBitmap : -1);
            }
            drawPointer();
            if (gScreen.leftButtonUps > 0) {
                --gScreen.leftButtonUps;
                int hit = hitTest(gMouse.x, gMouse.y);
                return hit >= 0 ? gMouse.areas[hit].name : "LEFT MOUSE";
            }
            if (gScreen.rightButtonUps > 0) {
                --gScreen.rightButtonUps;
                return "RIGHT MOUSE";
            }
        }
        // Wrapping difference: the timer may pass 2^32 while waiting.
        if (limited && uint32_t(KroTimerRead() - t0) >= limitMs) return "DELAY";
        // A window closed under the wait (or the end of the run) reads as the user closing it.
        if (!waitRound()) return keyName(kCloseKey);
    }
    return keyName(takeKey());
}

std::string readLine(int32_t max, const std::string& defaultText) {
    // The count of typed characters is one byte.
    max = std::clamp(max, 0, 255);
    std::string line;
    for (;;) {
        engine::PumpMessages();
        if (!gScreen.keyCount) {
            if (!waitRound()) return defaultText;
            continue;
        }
        const uint8_t k = takeKey();
        if (k == 8) {
            if (!line.empty()) {
                screenText("\b");
                line.pop_back();
            }
        } else if (k == 13 && !line.empty()) {
            screenText("\n");
            return line;
        } else if (k == 13 || k == 27) {
            std::string d = defaultText.substr(0, size_t(max));
            if (!d.empty()) screenText(d.c_str());
            screenText("\n");
            return d;
        } else if (k >= 32 && k <= 127 && int32_t(line.size()) < max) {
            line += char(k);
            const char echo[2] = {char(k), 0};
            screenText(echo);
        }
    }
}

// ---- commands -------------------------------------------------------------------------------

namespace {

using engine::kLineSize;

void cmdInputChar() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    requireWindow();
    engine::SetVariable(var, waitInput(false, 0).c_str());
}

void cmdInputCharOrDelay() {
    char var[kLineSize];
    engine::fetchVariableName(var);
    int32_t ms = engine::fetchNumber();
    requireWindow();
    // A negative limit would be a wait of nearly 50 days: none instead.
    engine::SetVariable(var, waitInput(true, ms < 0 ? 0 : uint32_t(ms)).c_str());
}

void cmdInputStr() {
    char var[kLineSize], prompt[kLineSize];
    engine::fetchVariableName(var);
    int32_t max = engine::fetchNumber();
    engine::fetchAny(prompt);
    requireWindow();
    if (engine::gProgram.mousePresent) takePointerOff();
    screenText(prompt);
    engine::SetVariable(var, readLine(max, "").c_str());
}

// The box outline from corner (x1, y1) to (x2, y2), as BITMAPBOX draws it.
void boxOutline(Bitmap* b, int64_t x1, int64_t y1, int64_t x2, int64_t y2, uint8_t colour) {
    drawImageLine(b->pixels, b->width, b->height, x1, y1, x2, y1, colour);
    drawImageLine(b->pixels, b->width, b->height, x2, y1, x2, y2, colour);
    drawImageLine(b->pixels, b->width, b->height, x2, y2, x1, y2, colour);
    drawImageLine(b->pixels, b->width, b->height, x1, y2, x1, y1, colour);
}

void cmdInputStrWin() {
    char var[kLineSize], prompt[kLineSize];
    engine::fetchVariableName(var);
    int32_t x = engine::fetchNumber();
    int32_t y = engine::fetchNumber();
    int32_t max = std::clamp(engine::fetchNumber(), 0, 255);
    engine::fetchAny(prompt);
    requireWindow();
    const int32_t gw = gFont.glyphWidth, gh = gFont.glyphHeight;
    const int32_t promptLength = int32_t(std::strlen(prompt));
    const int64_t boxW = int64_t(std::max(max, promptLength) + 4) * gw, boxH = int64_t(6) * gh;
    Bitmap* box = (boxW > 0x7FFF || boxH > 0x7FFF) ? nullptr : createBitmap(uint32_t(boxW), uint32_t(boxH));
    Bitmap* saved = box ? createBitmap(box->width, box->height) : nullptr;
    if (!box || !saved) {
        destroyBitmap(box);
        engine::CommandError("  Could not make the input box in command:\r\n    ");
    }
    const int32_t W = int32_t(boxW), H = int32_t(boxH);
    if (x == -1) x = (gScreen.screenWidth - W) / 2;
    else x = int32_t((uint32_t(x) + uint32_t(gDraw.originX)) & ~uint32_t(3));  // down to a multiple of 4
    if (y == -1) y = (gScreen.screenHeight - H) / 2;
    else y = int32_t(uint32_t(y) + uint32_t(gDraw.originY));

    takePointerOff();
    std::memset(saved->pixels, 0, size_t(W) * size_t(H));
    screenReadRect(gScreen.surface, saved->pixels, 0, 0, W, H, W, x, y);
    const uint8_t tc = uint8_t(gTextOutput.colour);
    std::memset(box->pixels, uint8_t(gTextOutput.backColour), size_t(W) * size_t(H));
    boxOutline(box, 1, 1, W - 2, H - 2, tc);
    drawText(prompt, size_t(promptLength), box->pixels, box->width, box->height, (W - promptLength * gw) / 2,
             gh * 3 / 2);
    const int32_t f = (W - max * gw) / 2;
    boxOutline(box, f - gw / 2, 4 * gh - 4, f - gw / 2 + gw * (max + 1), 5 * gh, tc);
    screenCopyRect(gScreen.surface, box->pixels, 0, 0, W, H, W, x, y, COPY_PLAIN, 0, nullptr);
    gTextOutput.x = int32_t(uint32_t(x) + uint32_t(f));
    gTextOutput.y = int32_t(uint32_t(y) + uint32_t(4 * gh));
    std::string line = readLine(max, "");
    if (gScreen.surface) screenCopyRect(gScreen.surface, saved->pixels, 0, 0, W, H, W, x, y, COPY_PLAIN, 0, nullptr);
    destroyBitmap(box);
    destroyBitmap(saved);
    engine::SetVariable(var, line.c_str());
}

void cmdInputMsgWin() {
    char var[kLineSize], text[kLineSize];
    engine::fetchVariableName(var);
    (void)engine::fetchNumber();  // x and y: the box places itself
    (void)engine::fetchNumber();
    int32_t buttons = engine::fetchNumber();
    engine::fetchAny(text);
    if (pointerActive()) takePointerOff();
    uint32_t type;
    const bool cancel = buttons & 2, yesNo = buttons & (4 | 8);
    if (cancel && yesNo) type = plat::MB_YESNOCANCEL | plat::MB_ICONQUESTION;
    else if (cancel) type = plat::MB_OKCANCEL | plat::MB_ICONEXCLAMATION;
    else if (yesNo) type = plat::MB_YESNO | plat::MB_ICONQUESTION;
    else type = plat::MB_OK | plat::MB_ICONINFORMATION;
    int answer = plat::messageBox(gScreen.window, text, engine::gProgram.title.c_str(), type);
    int32_t result = answer == plat::IDOK ? 1 : answer == plat::IDYES ? 4 : answer == plat::IDNO ? 8 : 2;
    engine::SetVariableNumber(var, result);
}

}  // namespace

void writeWindowLine(const char* text) {
    screenText(text);
    screenText("\n");
}

void registerInputCommands() {
    engine::registerCommand(engine::CommandOwner::Input, "INPUTCHAR", cmdInputChar);
    engine::registerCommand(engine::CommandOwner::Input, "INPUTCHARORDELAY", cmdInputCharOrDelay);
    engine::registerCommand(engine::CommandOwner::Input, "INPUTSTR", cmdInputStr);
    engine::registerCommand(engine::CommandOwner::Input, "INPUTSTRWIN", cmdInputStrWin);
    engine::registerCommand(engine::CommandOwner::Input, "INPUTMSGWIN", cmdInputMsgWin);
}

}  // namespace runtime
