// AVI reader: our own RIFF code for video frames and PCM sound, used by graphics input, sound
// input and the tests of the AVI writer.
//
//   AviReader* r = kro::aviOpen(name, &why);        // null: not an AVI (why says what failed)
//   const AviVideoInfo& v = kro::aviVideo(r);         // size, rate, frame count, start
//   const AviFrame* f = kro::aviReadFrame(r, n);      // frame n (0 .. frames - 1) as a DIB
//   kro::aviReadSound(r, 0, position, buffer, count); // PCM sample frames of the first sound stream
//   kro::aviClose(r);
//
// What is read: the RIFF tree ("AVI " and its "AVIX" continuation parts), the header list with
// one stream list per stream, the "movi" lists with or without "rec " groups, and the index:
// the per-part indexes of the large-file extension when the streams carry them, else "idx1"
// (offsets counted from the file's start or from the "movi" list), else a walk of the "movi"
// lists. Frames come out as bottom-up DIBs: 8-bit (uncompressed or RLE8) with the palette in
// force at that frame (palette-change chunks applied), 24-bit (from 16-bit 5-5-5 or 5-6-5 and
// 24-bit frames), 32-bit (from 32-bit frames, fourth byte kept). Top-down frames are turned over.
// A zero-size chunk repeats the previous frame; RLE8 frames draw over the previous frame.
// Other compressions open (size, rate and count are known) but every frame read fails, so that
// the caller can move on to another reader.
//
// Frame and sound positions: frame n is the n-th stored frame of the first video stream; its
// stream time is start + n. Sound positions are in the stream's time (sample frames, the stored
// data begins at its start); sample frames before the start read as silence.
//
// Damaged files: sizes and offsets are checked against the file and the buffers; a frame or
// sound read that cannot be served fails (null or a short count) and says why in aviError.
// One reader is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kroutil/image.h"

namespace kro {

struct AviReader;

// BITMAPINFOHEADER compression values of the stream format.
constexpr uint32_t kAviRgb = 0;
constexpr uint32_t kAviRle8 = 1;
constexpr uint32_t kAviBitfields = 3;

struct AviVideoInfo {
    bool present = false;     // the file has a video stream
    int32_t width = 0;
    int32_t height = 0;       // always positive; topDown tells the stored row order
    bool topDown = false;
    uint32_t storedBits = 0;  // bits per pixel as stored
    uint32_t compression = 0; // the format's compression (kAvi* or a four-character code)
    uint32_t handler = 0;     // the stream header's handler code
    bool decodable = false;   // frames can be delivered
    uint32_t outBits = 0;     // bits per pixel of delivered frames: 8, 24 or 32
    uint32_t frames = 0;      // stored frames found in the index (or the walk)
    uint32_t start = 0;       // stream time of frame 0
    uint32_t rateNum = 0;     // frames per second as a reduced fraction (never 0 / 0)
    uint32_t rateDen = 1;
    uint32_t lengthHeader = 0;// the stream header's length, for reference
    bool paletteChanges = false;
};

struct AviSoundInfo {
    uint32_t stream = 0;      // stream number in the file
    uint32_t formatTag = 0;   // 1 = PCM; other tags cannot be read
    uint32_t channels = 0;
    uint32_t rate = 0;        // sample frames per second
    uint32_t bits = 0;
    uint32_t blockAlign = 0;  // bytes per sample frame
    uint32_t start = 0;       // stream time of the first stored sample frame
    uint64_t samples = 0;     // stored sample frames
    uint64_t bytes = 0;       // stored bytes
    bool pcm = false;         // readable with aviReadSound
};

// A delivered frame: one packed DIB (header, colour table for 8 bits, pixels) owned by the
// reader and valid until the next aviReadFrame or aviClose.
struct AviFrame {
    const uint8_t* dib = nullptr;          // the packed DIB, as the fields below point into it
    const KroBitmapInfoHeader* header = nullptr;  // positive height: rows bottom-up
    const uint8_t* colors = nullptr;       // 256 x blue, green, red, 0 (8-bit frames), else null
    const uint8_t* pixels = nullptr;
    uint32_t stride = 0;                   // bytes per row, a multiple of 4
    uint32_t storedBytes = 0;              // size of the frame's chunk in the file (0: repeat)
    uint32_t frame = 0;
};

// Opens a file; null when it is not an AVI we can use (no RIFF "AVI " form, no header list, no
// stream, or damage before the first stream); why (may be null) then holds a short reason.
AviReader* aviOpen(const char* name, const char** why = nullptr);
// The same over bytes in memory (kept by the caller until aviClose).
AviReader* aviOpenMemory(const uint8_t* data, size_t size, const char** why = nullptr);
void aviClose(AviReader* reader);

const AviVideoInfo& aviVideo(const AviReader* reader);
uint32_t aviSoundCount(const AviReader* reader);
// The index-th sound stream (0-based, in file order); null past the count.
const AviSoundInfo* aviSound(const AviReader* reader, uint32_t index);
// Stored size of frame n's chunk (0 for repeats and frames past the end).
uint32_t aviFrameStoredSize(const AviReader* reader, uint32_t frame);
// The reason of the last failure ("" when none).
const char* aviError(const AviReader* reader);
// The file's size in bytes.
uint64_t aviFileSize(const AviReader* reader);

// Frame n (0-based) decoded, or null (frame past the end, undecodable format, damaged data).
const AviFrame* aviReadFrame(AviReader* reader, uint32_t frame);
// Copies up to count sample frames from position (stream time) into dest; returns the sample
// frames delivered (fewer at the end of the stream or when the data cannot be read).
uint32_t aviReadSound(AviReader* reader, uint32_t soundIndex, uint64_t position, void* dest, uint32_t count);

}  // namespace kro
