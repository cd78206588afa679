// Mouse areas (named hot spots on a stack of frames), the mouse position and the software
// pointer the program draws itself while it waits for input.
#pragma once

#include <cstdint>

namespace runtime {

constexpr int kMouseAreas = 128;
constexpr int kMouseNameSize = 32;  // 31 characters and a NUL
constexpr int kMouseFrames = 34;
constexpr int kPointerWidth = 10, kPointerHeight = 19;

struct MouseArea {
    char name[kMouseNameSize];
    int32_t left, top, right, bottom;  // buffer coordinates, right and bottom exclusive
    int32_t pointerBitmap;             // bitmap slot of the pointer image inside, -1 for none
};

struct MouseState {
    MouseArea areas[kMouseAreas] = {};
    int areaCount = 0;
    int frameBase = 0;
    int savedCount[kMouseFrames] = {};
    int savedBase[kMouseFrames] = {};
    int depth = 0;
    int32_t x = -1, y = -1;  // buffer coordinates, -1/-1 while the cursor is outside
    // The software pointer.
    int32_t imageSlot = -1;  // bitmap slot of the current image, -1 for the built-in one
    uint8_t builtin[kPointerWidth * kPointerHeight] = {};
    uint8_t builtinKey = 1;
    int32_t recolouredAt = 0;
    bool recoloured = false;
    uint8_t* background = nullptr;  // the screen under the drawn pointer
    int32_t backgroundWidth = 0, backgroundHeight = 0;
    int32_t drawnX = -1, drawnY = -1;  // drawnX -1: not on the screen
    int32_t drawnSlot = -1;
};
extern MouseState gMouse;

// The area under (x, y) in the current frame, newest first; -1 when none.
int hitTest(int32_t x, int32_t y);
// Reads the cursor; true when the position differs from where the pointer is drawn.
bool updateMousePosition();
void setPointerImage(int32_t slot);
void drawPointer();
void takePointerOff();
void hidePointerIfOverlapping(int32_t x, int32_t y, int32_t w, int32_t h);
// A new screen: the pointer's saved background is gone with the old picture and the built-in
// image is selected; with a window (SCREENGRAPHICS) the areas of the current frame go too.
void pointerNewScreen();
// Between tests.
void resetMouse();

void registerMouseCommands();

}  // namespace runtime
