// AVI writer: uncompressed frames (8-bit with palette changes, or 24-bit) and one interleaved
// PCM sound stream, with the idx1 index of the first part and the large-file extension (further
// "AVIX" parts and per-part indexes of each stream), so that a file can grow past 1 GiB.
//
//   AviWriter* w = kro::aviWriterCreate(name, video);
//   kro::aviWriterSetSound(w, 22050, 16, 2, preload);   // optional, before the first sound
//   kro::aviWriterPutFrame(w, pixels, colors); kro::aviWriterPutSound(w, data, n); ...
//   uint64_t size = kro::aviWriterClose(w);
//
// Frames are given as the file stores them: bottom-up rows of ((bits x width + 31) / 32) x 4
// bytes. The header list is written at close (its room is kept at the start of the file), so the
// stream lengths, the first frame's palette and the sound format may all be settled late. A
// writer that failed (a write the file did not take, too many parts) keeps going without
// effect and deletes its file at close.
#pragma once

#include <cstdint>

namespace kro {

struct AviWriter;

// The size a part of the file may reach before the next part begins.
constexpr uint64_t kAviPartLimit = uint64_t(1) << 30;

struct AviWriterVideo {
    int32_t width = 0;
    int32_t height = 0;
    uint32_t bits = 24;  // 8 or 24
    uint32_t rateNum = 0;
    uint32_t rateDen = 0;
};

// Creates (or replaces) the file; null for a size, depth or rate out of range, or a file that
// cannot be created. partLimit: tests may make parts smaller.
AviWriter* aviWriterCreate(const char* name, const AviWriterVideo& video, uint64_t partLimit = kAviPartLimit);
// Adds the sound stream: PCM of the given rate, bits (8 or 16) and channels (1 or 2);
// preloadSamples is recorded as the stream's initial frames. False when the values are out of
// range or sound was set already.
bool aviWriterSetSound(AviWriter* w, uint32_t rate, uint32_t bits, uint32_t channels, uint32_t preloadSamples);
// Appends a frame; colors (256 x blue, green, red, 0) for 8-bit frames, null keeping the last
// palette. A palette that differs from the one in force is stored as a palette change before
// the frame. Returns the frame's bytes, 0 when nothing was written.
uint32_t aviWriterPutFrame(AviWriter* w, const uint8_t* pixels, const uint8_t* colors);
// Appends the whole sample frames of bytes of sound. Returns the bytes written.
uint32_t aviWriterPutSound(AviWriter* w, const void* data, uint32_t bytes);
bool aviWriterFailed(const AviWriter* w);
uint32_t aviWriterFrames(const AviWriter* w);
// Completes the file and returns its size; 0 (and no file) when the writer failed.
uint64_t aviWriterClose(AviWriter* w);

}  // namespace kro
