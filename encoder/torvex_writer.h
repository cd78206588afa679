// The Torvex writer: writes a valid Torvex file from a sequence of 8-bit frames with 256-entry
// palettes.
//
// Writing is lossless for what the format can show: decoding the written file gives back each
// frame's pixels inside the 4x4 block grid (pixels right of width/4*4 and below the last whole
// block row are never painted and stay as the target had them) and its palette with 6-bit
// precision (TorvexWriterShownPalette). Interlaced storage keeps the even display rows (the odd
// ones are never painted); doubled storage keeps the even rows and shows each twice.
//
// The header trees are built with the word-mode Huffman encoder from the statistics of all the
// frames written (ring frame included). Each tree's node storage is declared as the encoder's
// result for it: 12 for an absent tree, 20 for a lone value, 16 + 8 x internal nodes otherwise,
// which is what the decoder needs (TorvexTreeStorage).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/audio/audio_chunks.h"

struct TorvexWriterFrame {
    const uint8_t* pixels = nullptr;   // width x displayed height indexes, top row first
    const uint8_t* palette = nullptr;  // 256 x (red, green, blue), 8 bits each
    bool forcePalette = false;         // write a palette chunk even when nothing changed
};

enum class TorvexDisplay { Normal, Interlaced, Doubled };

struct TorvexWriterOptions {
    int version = 2;                 // 2 = "TVX2", 4 = "TVX4"
    bool ring = false;               // add the ring frame (last frame back to frame 0)
    bool ringForcePalette = false;   // the ring frame carries a palette chunk even if unchanged
    TorvexDisplay display = TorvexDisplay::Normal;
    int32_t frameRate = 66;          // the header field as is
    // Up to seven sound tracks, entry t stored as audio track t; an entry without sound (empty
    // pcm) leaves track t out, so {a, {}, {}, b} writes tracks 0 and 3 only. One chunk per
    // frame: frame 0 holds the lead of sound the player queues (a period and a second), later
    // frames a period each; what outlasts the frames goes into the last one. The ring frame
    // repeats frame 0's chunk, so that a loop through it keeps the sound in time.
    std::vector<TorvexWriterTrack> tracks;
};

struct TorvexWriterStats {
    uint32_t blocks[4] = {0, 0, 0, 0};  // mono, full, skip, solid (blocks coded)
    uint32_t fullModes[3] = {0, 0, 0};  // "TVX4" full blocks by mode
    uint32_t paletteChunks = 0;
    uint32_t treeSizes[4] = {0, 0, 0, 0};
    uint64_t fileSize = 0;
};

// Writes the file; false with a message when the frames are unusable or writing fails.
bool TorvexWrite(const std::string& path, uint32_t width, uint32_t displayedHeight,
                 const std::vector<TorvexWriterFrame>& frames, const TorvexWriterOptions& options,
                 std::string* error = nullptr, TorvexWriterStats* stats = nullptr);

// The palette the decoder shows for an 8-bit palette (6-bit values expanded again).
void TorvexWriterShownPalette(const uint8_t* palette, uint8_t* shown);
