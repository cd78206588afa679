// RLA still images: run-length-coded scanlines with a big-endian header, read into one 32-bit
// blue-green-red-alpha picture (the canvas layout of graphics input). Auxiliary channels named
// in the header's program text are shown as further panels to the right of the picture: depth
// in panel 1, motion in panels 2 and 3 (1 and 2 without depth), normals in panels 1 to 3.
#pragma once

#include <cstdint>

#include "kroutil/kro_file.h"

struct RlaImage {
    uint32_t width;   // of one panel
    uint32_t height;
    uint32_t panels;  // 1, 3 or 4
    // Our own state.
    KroFile* file;
    uint32_t channels;     // bit k: auxiliary channel k present (order Z E O U N R C B I G T V W M)
    bool matte;
    uint32_t* lineOffsets;  // height entries, relative to the first data byte, in picture row order
    uint64_t dataStart;
};

// Null for a file that cannot be read or whose header breaks the format's rules.
RlaImage* rlaOpen(const char* name);
// Decodes into picture: height rows of width x panels x 4 bytes, rowBytes apart, first table
// row first. False when the data cannot be read (memory or file); damaged scanlines end early
// and leave the rest of their row cleared.
bool rlaRead(RlaImage* image, uint8_t* picture, uint32_t rowBytes);
void rlaClose(RlaImage* image);
