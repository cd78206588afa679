// The library's own part of an open Quarn stream, shared by the container, the sound tracks
// and the picture decoder.
#pragma once

#include <cstdint>

#include "kroutil/quarn.h"

struct QuarnStreamPrivate {
    uint32_t openFlags;
    int32_t handle;            // -1 for a memory image
    bool ownHandle;
    uint64_t startPos;         // file position of the stream's byte 0
    uint64_t available;        // bytes from startPos to the end of the file or image
    const uint8_t* image;      // memory image, or null
    uint32_t* tables;          // the three track tables and the index, one block
    uint32_t largestFrame;
    // input buffer: file bytes [bufferStart, bufferStart + bufferFill)
    uint8_t* buffer;
    uint32_t bufferAlloc;
    uint64_t bufferStart;
    uint32_t bufferFill;
    // frame data read whole at open: file bytes [preloadStart, preloadStart + preloadSize)
    uint8_t* preload;
    uint64_t preloadStart;
    uint32_t preloadSize;
    bool framePending;         // the current frame's bytes are read on first use
};

namespace quarn {

// Reads the current frame's bytes when the open left them for later; false on a short read.
bool ensureFrame(QuarnStream* s);
// Counts memory the stream's helpers hold (negative to release).
void countMemory(QuarnStream* s, int64_t bytes);

constexpr uint32_t kHeaderSize = 44;
constexpr uint32_t kReadBlock = 131072;

}  // namespace quarn
