// Animations in scripts: the 32-slot table (handles 3000 + slot), where each file decodes to
// (the screen at a place, or a bitmap), showing a decoded frame on the screen, whole-file
// playback with its sound, fades, looping and Escape, and the ANIMATION* commands.
#pragma once

#include <cstdint>
#include <string>

struct TorvexFile;

namespace runtime {

struct Bitmap;
struct DisplaySurface;

constexpr int kAnimationSlots = 32;
constexpr int32_t kAnimationHandleBase = 3000;
constexpr uint32_t kInitialTrackMask = 0xFE000;  // all seven sound tracks

// Play flags of ANIMATIONPLAY.
constexpr uint32_t kPlayNeverSkip = 0x1;
constexpr uint32_t kPlayLoadAll = 0x2;
constexpr uint32_t kPlayNoWait = 0x4;
constexpr uint32_t kPlayOffScreen = 0x8;
constexpr uint32_t kPlaySaveRestore = 0x10;
constexpr uint32_t kPlayFromBlack = 0x20;
constexpr uint32_t kPlayFadeOut = 0x40;
constexpr uint32_t kPlayEscape = 0x80;
constexpr uint32_t kPlayMerge = 0x100;
constexpr uint32_t kPlayIgnorePalette = 0x200;
constexpr uint32_t kPlayNoWindow = 0x400;

enum AnimationTargetKind : uint8_t { TARGET_NONE = 0, TARGET_SCREEN = 1, TARGET_BITMAP = 2, TARGET_BUFFER = 3 };

// Where a file decodes to. The codec writes without any bounds of its own, so a place the
// frame does not fit into (partly off the screen, a bitmap smaller than the frame) gets a
// frame-sized staging buffer, and the part that lies inside is copied after each frame.
struct AnimationTarget {
    uint8_t kind;
    DisplaySurface* surface;  // screen: the surface written into
    int32_t x, y;             // screen: the frame's place in the buffer
    Bitmap* bitmap;           // bitmap: the script bitmap
    // What the bitmap was when it became the target: a bitmap freed (or replaced in its slot)
    // since is never written.
    uint8_t* bitmapPixels;
    uint32_t bitmapWidth, bitmapHeight;
    uint8_t* staging;         // null when the codec writes straight into the place
};

struct AnimationSlot {
    TorvexFile* file;
    std::string name;  // listing name: the file's whole base name
    AnimationTarget target;
    uint8_t advancePending;
};

struct AnimationTable {
    AnimationSlot slots[kAnimationSlots] = {};
    uint32_t trackMask = kInitialTrackMask;
};
extern AnimationTable gAnimations;

bool animationSlotUsed(int slot);

// Shows the frame just decoded into a screen target: each dirty rectangle through the
// surface's rect queue, then one drain. Bitmap and buffer targets show nothing here.
void presentFrame(TorvexFile* file, AnimationTarget& target);

// Plays a file (or an open slot named by its handle) whole; 1 when it played (or count was
// 0), 0 when the file could not be opened. x and y are buffer coordinates or -1 (centred).
int32_t playAnimation(const char* source, int32_t x, int32_t y, int32_t count, uint32_t flags);

// The surface is going away: screen targets into it are released (never written again).
void releaseScreenTargets(const DisplaySurface* surface);

// Closes every slot and puts the track mask back (program end, tests).
void closeAllAnimations();

void registerAnimationCommands();

}  // namespace runtime
