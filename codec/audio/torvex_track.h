// One open audio track of a Torvex file: its sample ring and the sound back-end's fields.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/audio.h"

namespace torvex {

struct TorvexAudioDecoder;

struct TorvexTrack {
    // The sample ring. The back-end reads from write - held (wrapping).
    uint8_t* ringStart;
    uint8_t* ringEnd;
    void* ringAlloc;
    uint8_t* writePos;
    std::atomic<uint32_t> held;  // written by the feeder (adds) and the service (subtracts)
    uint32_t bytesPerSecond;
    uint32_t ringSize;
    uint32_t bytesPerFrame;      // 1/1024 bytes
    uint32_t expectedFrac;       // expected play position, 1/1024 bytes part
    uint32_t expectedWhole;      // and whole bytes part
    uint32_t lateThreshold;      // 1/1024 bytes
    uint32_t totalWritten;
    uint32_t cuts;
    uint32_t paddings;
    uint32_t audioLead;
    // ---- the back-end's fields
    TorvexTrack* next;           // the back-end's list
    TorvexAudioDecoder* decoder; // transform-coded tracks
    uint32_t playbackRate;
    uint32_t noData;
    uint32_t sixteenBit;
    uint32_t stereo;
    std::atomic<uint32_t> underrun;
    uint32_t paddingDone;
    uint32_t openFlags;
    // streaming buffer
    plat::HSOUNDBUFFER buffer;
    uint32_t bufferSize;
    uint32_t bufferFlags;
    uint32_t stopped;
    uint32_t writeOffset;
    uint32_t bytesWritten;
    uint32_t freeBytes;
    uint32_t lastPlayCursor;
    uint32_t tailStart;
    uint32_t tailEnd;            // kNoTail when none
    uint32_t lastReported;
    uint32_t lastReportedTime;
    uint32_t highestReported;
    // wave output
    plat::HWAVEOUT device;
    uint32_t chunkSize;
    plat::WAVEHDR headers[2];
    uint8_t* headerData;
    uint32_t bytesPlayed;
    uint32_t startTime;
    uint32_t duration;
    uint32_t inFlight;
    uint32_t everSent;
    // both
    uint32_t volume;
    uint32_t pan;
};

constexpr uint32_t kNoTail = 0xFFFFFFFF;

// The ring's read position: write - held, wrapping.
inline uint8_t* trackReadPos(const TorvexTrack* t) {
    uint32_t held = t->held.load();
    uint32_t writeAt = uint32_t(t->writePos - t->ringStart);
    uint32_t readAt = writeAt >= held ? writeAt - held : writeAt + t->ringSize - held;
    return t->ringStart + readAt;
}

// Takes up to n bytes out of the ring into dest (wrapping); returns the count taken.
uint32_t trackTake(TorvexTrack* t, uint8_t* dest, uint32_t n);

}  // namespace torvex
