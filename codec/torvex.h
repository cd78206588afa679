// The Torvex codec: the record of an open file, opening and reading, frame decoding, dirty
// rectangles and the pacing of silent files.
//
// The record's public fields are read directly by callers; everything after `open` in the list
// below is the library's own. The record owns its sound tracks (up to seven): torvex_tracks.h
// opens, feeds and closes them; the track ring and the sound back-end (codec/audio) and the
// transform decoder (codec/transform) sit below and know nothing of files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bytes/byte_order.h"

namespace torvex {
struct TorvexTrack;
struct TorvexAudioDecoder;
}  // namespace torvex

// ---- open flags -------------------------------------------------------------------------------
constexpr uint32_t kTvxFromMemory = 0x10;
constexpr uint32_t kTvxPanControl = 0x20;
constexpr uint32_t kTvxVolumeControl = 0x40;
constexpr uint32_t kTvxRateOverride = 0x80;
constexpr uint32_t kTvxFillRing = 0x100;
constexpr uint32_t kTvxLoadAll = 0x200;
constexpr uint32_t kTvxNeverSkip = 0x400;
constexpr uint32_t kTvxFromHandle = 0x1000;
constexpr uint32_t kTvxTrack0 = 0x2000;  // << t for track t
constexpr uint32_t kTvxTrackBits = 0x2000u * 0x7Fu;
constexpr uint32_t kTvxForceInterlaced = 0x100000;
constexpr uint32_t kTvxForceDoubled = 0x200000;
constexpr uint32_t kTvxForceNormal = 0x300000;
constexpr uint32_t kTvxCallerRecord = 0x2000000;

// ---- header flags -----------------------------------------------------------------------------
constexpr uint32_t kTvxHasRing = 1;
constexpr uint32_t kTvxInterlaced = 2;
constexpr uint32_t kTvxDoubled = 4;

constexpr uint32_t kTvxHeaderSize = 104;
constexpr int kTvxTracks = 7;

struct TorvexHeader {
    char magic[4];
    uint32_t width;
    uint32_t height;  // displayed height after open
    uint32_t frames;
    int32_t frameRate;
    uint32_t flags;
    uint32_t audioChunkSize[kTvxTracks];
    uint32_t treeDataSize;
    uint32_t mapTreeSize;
    uint32_t colourTreeSize;
    uint32_t fullTreeSize;
    uint32_t typeTreeSize;
    uint32_t audioFormat[kTvxTracks];
    uint32_t reserved;
};
static_assert(sizeof(TorvexHeader) == kTvxHeaderSize);

// One decoded header tree: a first-level table (12 bits, 10 for the type tree), second-level
// tables for the codes that go past it, and the node words for the few codes longer still.
// Entry and node word: bit 31 = leaf; a leaf holds its value in bits 0-15 and its cache slot + 1
// in bits 16-17 (0 = an ordinary value); a table entry keeps its code length in bits 24-29.
// A non-leaf table entry holds the second-level table's start (bits 0-23) and width (24-28),
// or, with bit 30, a node index to walk from.
struct TorvexTree {
    uint8_t present = 0;
    uint8_t tableBits = 0;
    uint32_t* table = nullptr;    // first level followed by the second-level tables
    uint32_t tableEntries = 0;
    uint32_t* nodes = nullptr;    // two words per internal node: 0-branch, 1-branch
    uint32_t nodeCount = 0;       // internal nodes
    uint32_t cache[3] = {0, 0, 0};
};

struct TorvexTrees {
    TorvexTree tree[4];  // map, colour, full, type
    void* block = nullptr;      // one allocation holding all tables and nodes
    uint32_t blockSize = 0;
};

enum TorvexTreeId { kTreeMap = 0, kTreeColour = 1, kTreeFull = 2, kTreeType = 3 };

// Where decoding writes (created by TorvexSetTarget, owned by the file).
struct TorvexTarget {
    uint8_t simple = 1;
    uint8_t doubled = 0;
    uint8_t kind = 0;          // high nibble: 0 8-bit, 0x8 5-5-5, 0xC 5-6-5; +2 for "TVX4"
    uint8_t interlaced = 0;
    uint8_t* first = nullptr;  // first output pixel
    uint32_t blocksPerRow = 0;
    uint32_t blockRows = 0;
    int64_t rowStep = 0;       // bytes from one stored row's first target row to the next one's
    int64_t pitch = 0;         // signed row pitch of the buffer (negative when bottom-up)
    uint32_t width = 0;
    uint32_t storedHeight = 0;
    uint32_t bitmapSize = 0;   // changed-block bitmap bytes (groups + spare)
    uint32_t groups = 0;       // groups of 16 blocks that exist
    uint8_t* bitmap = nullptr;
    uint16_t* colours = nullptr;  // 16-bit kinds: 256 pixel values
    uint32_t allocSize = 0;
};

struct TorvexRect {
    int32_t x1, y1, x2, y2;
};

// Plain data: it lives inside the zeroed record.
struct TorvexDirty {
    uint8_t state;          // 0 idle, 1 fresh frame, 2 strips pending
    uint8_t anyGroup;       // the frame painted at least one block
    uint8_t paletteChanged; // the frame's palette changed
    uint8_t havePending;
    uint32_t group;         // walker position in the bitmap
    uint32_t runEnd;        // pixel position (scan order) of the current run's end
    uint32_t pos;           // next pixel position of the current run
    TorvexRect pending;     // a strip that broke the last rectangle
    TorvexRect queue[4];
    int32_t queued;
};

struct TorvexStats {
    uint32_t bytesRead, readMs, readAheadMs, memInUse, memPeak, framesDecoded, framesSkipped;
    uint32_t audioMs, videoMs, firstDecodeTime, openTime, openMs, slowestMs, slowestFrame;
    uint32_t averageFrameSize, blitStart, frameStart;
};

struct TorvexFile {
    TorvexHeader header;
    uint32_t newPalette;
    uint8_t palette[768];
    uint32_t paletteSpare;  // cleared together with the palette
    uint32_t frameIndex;
    uint32_t frameSize;
    uint32_t videoOffset;
    int32_t rectX, rectY, rectWidth, rectHeight;
    uint32_t openFlags;
    int32_t targetX, targetY;
    uint32_t largestFrame, peakSecond, peakSecondStart, frameBufferSize;
    int64_t handle;  // -1 = none
    // ---- the library's own
    TorvexTrees* trees;
    TorvexTarget* target;
    uint16_t* colourTable;  // the target's 16-bit table
    uint32_t paletteDirty;  // palette changed since the 16-bit table was built
    uint64_t startPos;      // file position of the record's start
    uint8_t* frameBuffer;
    uint8_t* frame;         // current frame's data
    uint64_t frameDataStart;
    uint8_t* chunkStart;
    uint8_t* audioChunk[kTvxTracks];
    uint8_t* video;
    uint8_t* typeTable;
    uint32_t* sizeTable;
    uint32_t tableCount;    // frames + R
    uint32_t consumedPalette;  // index of the frame whose new palette was consumed
    TorvexDirty dirty;
    // pacing
    uint32_t released;
    uint32_t nextTime;      // 10 us units; all ones = not started
    uint32_t period;        // 10 us units
    uint32_t headerPeriod;
    torvex::TorvexTrack* tracks[kTvxTracks];
    torvex::TorvexAudioDecoder* trackDecoders[kTvxTracks];
    int32_t primaryTrack;
    uint32_t syncPending;
    uint32_t paused;
    uint32_t pauseFrame;
    // read-ahead ring
    uint8_t* ringStart;
    uint8_t* ringEnd;       // logical end
    uint8_t* ringRead;
    uint8_t* ringWrite;
    uint32_t ringSize;
    uint32_t ringHeld;
    uint64_t ringReadPos;   // file position (relative to the record's start) of ringRead
    uint32_t ringPeak;
    uint32_t readError;
    TorvexStats stats;
    // bounds of the data the frames live in
    uint64_t dataLength;    // valid bytes of the frame buffer / memory image from frameBuffer
    uint64_t filePos;       // next file position (relative) the file reads from
    uint32_t callerRecord;
    uint32_t callerHandle;
    uint64_t loadOffset;    // load-all: offset of the current frame in the buffer
};

// The length of a frame's sound chunk at p with room bytes left in the frame: its length word,
// or the whole room when the word is missing, below 4 or larger than the room.
inline uint32_t TorvexChunkLength(const uint8_t* p, uint32_t room) {
    uint32_t length = room >= 4 ? bytes::load32le(p) : room;
    return length < 4 || length > room ? room : length;
}

// ---- opening and reading (torvex_file.cpp) ------------------------------------------------
// source: a file name; with 0x1000 the handle cast to a pointer (with 0x2000000 a block whose
// first 32-bit word is the handle); with 0x10 the file image. ioBufferSize -1 = automatic.
TorvexFile* TorvexOpen(const void* source, uint32_t flags, int32_t ioBufferSize);
// As TorvexOpen; for a memory image imageSize bounds every read (all ones = trust the header).
TorvexFile* TorvexOpenSized(const void* source, uint32_t flags, int32_t ioBufferSize, uint64_t imageSize);
void TorvexClose(TorvexFile* file);
uint32_t TorvexReadAhead(TorvexFile* file);
uint32_t TorvexReadBytes(uint32_t count, TorvexFile* file, void* dest);
uint32_t TorvexLoadFrame(TorvexFile* file);
void TorvexSeekFrame(TorvexFile* file);
void TorvexParseFrame(TorvexFile* file);
// The record's size (for callers that supply the memory, flag 0x2000000).
constexpr size_t kTorvexRecordSize = sizeof(TorvexFile);

// ---- frame decoding (torvex_decode.cpp) ---------------------------------------------------
void TorvexApplyPalette(TorvexFile* file, const uint8_t* chunk, uint32_t length);
// Decodes the four trees from the packed tree block; false when malformed or larger than the
// declared node storage.
bool TorvexDecodeTrees(TorvexFile* file, const uint8_t* data, uint32_t length);
void TorvexFreeTrees(TorvexFile* file);
// Returns 1 when a descriptor is in place afterwards.
int32_t TorvexSetTarget(TorvexFile* file, int32_t x, int32_t y, int32_t pitch, int32_t height, void* buffer,
                        uint32_t targetFlags);
void TorvexFreeTarget(TorvexFile* file);
void TorvexDrawFrame(TorvexFile* file);
int32_t TorvexNextDirtyRect(TorvexFile* file, int32_t mode);
// Node storage a value tree with this many internal nodes needs (what the header declares).
constexpr uint32_t TorvexTreeStorage(uint32_t internalNodes) { return 16 + 8 * internalNodes; }

// ---- pacing (torvex_play.cpp) -------------------------------------------------------------
int32_t TorvexDecodeFrame(TorvexFile* file);
void TorvexAdvance(TorvexFile* file);
int32_t TorvexIsEarly(TorvexFile* file);
// After the last frame shown, before the file is closed: waits until the sound queued for the
// frames shown has played (closing at once would cut about a frame period of it), at most one
// frame period plus the sound queue's lead. stop (may be null) is asked every millisecond and
// ends the wait at once when it says so (Escape, the end of the program).
void TorvexFinishSound(TorvexFile* file, bool (*stop)(void* context), void* context);
void TorvexSeek(TorvexFile* file, uint32_t frameNumber);

// ---- helpers shared with the tools ----------------------------------------------------------
// Colour expansion of a 6-bit palette value.
constexpr uint8_t TorvexExpand6(uint32_t v) { return uint8_t(((v & 63) << 2) | ((v & 63) >> 4)); }
// Run length of a run code.
constexpr uint32_t TorvexRunLength(uint32_t code) { return code < 59 ? code + 1 : 128u << (code - 59); }
// Debug output switch (profile section "Torvex", key "Debug"), read once.
bool TorvexDebugOn();
// Forgets the setting, so the next open reads the profile again (tests).
void TorvexDebugReset();
