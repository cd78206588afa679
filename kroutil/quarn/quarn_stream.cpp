// Opening a Quarn file: the header rules, the track tables, the frame index with its one-second
// peak, the input buffer (or the frame data read whole) and moving from frame to frame.
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "base/mem_block.h"
#include "bytes/byte_order.h"
#include "kroutil/quarn/quarn_internal.h"
#include "platform/fs.h"

namespace {

constexpr uint32_t kAlphaBit = QUARN_VIDEO_ALPHA;
constexpr uint32_t kGreyBit = QUARN_VIDEO_GREY;
constexpr uint32_t kCompatBits = QUARN_VIDEO_NO_LUMA_SIZE | QUARN_VIDEO_OLD_REVISION;
constexpr uint32_t kScalingBits = 0x70000000u;
constexpr uint32_t kMaxIndexEntries = 1000000;
constexpr uint32_t kMaxTracks = 256;
constexpr uint32_t kMaxSide = 32767;
constexpr uint32_t kSmallBuffer = 266240;
constexpr uint32_t kMaxSelection = 16;

struct Process {
    char lastError[256] = "";
    uint32_t selection[kMaxSelection] = {0};
    uint32_t selectionCount = 1;
};
Process state;

void setError(const char* text) {
    std::strncpy(state.lastError, text, sizeof state.lastError - 1);
    state.lastError[sizeof state.lastError - 1] = 0;
}

struct Opened {
    const uint8_t* image = nullptr;
    uint64_t imageSize = 0;
    int32_t handle = -1;
    bool own = false;
    uint64_t startPos = 0;
    uint64_t available = 0;

    // Reads count bytes at stream position pos; false unless all came.
    bool read(uint64_t pos, void* dest, uint32_t count) const {
        if (pos > available || count > available - pos) return false;
        if (image) {
            std::memcpy(dest, image + pos, count);
            return true;
        }
        if (!plat::fileSeek(handle, startPos + pos)) return false;
        uint32_t got = 0;
        while (got < count) {
            uint32_t step = count - got < quarn::kReadBlock ? count - got : quarn::kReadBlock;
            int64_t n = plat::fileRead(handle, static_cast<uint8_t*>(dest) + got, step);
            if (n <= 0) return false;
            got += uint32_t(n);
        }
        return true;
    }
    void close() {
        if (own && handle >= 0) plat::fileClose(handle);
        handle = -1;
    }
};

void releaseStream(QuarnStream* s) {
    QuarnStreamPrivate* p = s->priv;
    if (p) {
        TorvexMemFree(p->tables);
        TorvexMemFree(p->buffer);
        TorvexMemFree(p->preload);
        if (p->ownHandle && p->handle >= 0) plat::fileClose(p->handle);
        TorvexMemFree(p);
    }
    TorvexMemFree(s);
}

void* allocCounted(QuarnStream* s, uint64_t size) {
    if (size == 0 || size >= 0xFFFFFFFFu) return nullptr;
    void* m = TorvexMemAlloc(uint32_t(size));
    if (m) quarn::countMemory(s, int64_t(size));
    return m;
}

uint32_t framePosition(const QuarnStream* s, uint32_t i) { return s->frameIndex[i] & ~1u; }

// Reads the bytes of the current frame into the buffer (or points into memory).
bool loadFrame(QuarnStream* s) {
    QuarnStreamPrivate* p = s->priv;
    p->framePending = false;
    uint64_t pos = s->framePos, size = s->frameSize;
    s->frameData = nullptr;
    s->frameBytes = 0;
    auto within = [&](const uint8_t* base, uint64_t start, uint64_t length) {
        if (pos < start || pos - start > length) return false;
        uint64_t room = length - (pos - start);
        s->frameData = base + (pos - start);
        s->frameBytes = uint32_t(size < room ? size : room);
        return true;
    };
    if (p->image) {
        within(p->image, 0, p->available);
        return s->frameBytes == size;
    }
    if (p->preload) {
        within(p->preload, p->preloadStart, p->preloadSize);
        return s->frameBytes == size;
    }
    if (!p->buffer) return size == 0;
    if (pos >= p->bufferStart && pos + size <= p->bufferStart + p->bufferFill) {
        within(p->buffer, p->bufferStart, p->bufferFill);
        return true;
    }
    // Refill from the frame on: as much as the buffer holds, in read-sized blocks, so that the
    // frames after it come from memory.
    p->bufferStart = pos;
    p->bufferFill = 0;
    uint64_t want = p->available > pos ? p->available - pos : 0;
    if (want > p->bufferAlloc) want = p->bufferAlloc;
    if (want && plat::fileSeek(p->handle, p->startPos + pos)) {
        while (p->bufferFill < want) {
            uint64_t step = want - p->bufferFill;
            if (step > quarn::kReadBlock) step = quarn::kReadBlock;
            int64_t n = plat::fileRead(p->handle, p->buffer + p->bufferFill, size_t(step));
            if (n <= 0) break;
            p->bufferFill += uint32_t(n);
        }
    }
    within(p->buffer, p->bufferStart, p->bufferFill);
    return s->frameBytes == size;
}

void placeFrame(QuarnStream* s, uint32_t frame) {
    if (frame == 0) frame = 1;
    if (frame > s->frames) frame = s->frames;
    s->currentFrame = frame;
    s->framePos = framePosition(s, frame - 1);
    s->frameSize = framePosition(s, frame) - s->framePos;
    s->frameKey = s->frameIndex[frame - 1] & 1;
}

}  // namespace

namespace quarn {

bool ensureFrame(QuarnStream* s) {
    if (!s->priv->framePending) return s->frameBytes == s->frameSize;
    return loadFrame(s);
}

void countMemory(QuarnStream* s, int64_t bytes) {
    int64_t now = int64_t(s->memInUse) + bytes;
    s->memInUse = now < 0 ? 0 : now > 0xFFFFFFFFll ? 0xFFFFFFFFu : uint32_t(now);
    if (s->memInUse > s->memPeak) s->memPeak = s->memInUse;
}

}  // namespace quarn

extern "C" {

const char* QuarnLastError(void) { return state.lastError; }

void QuarnSelectTracks(const uint32_t* ids, uint32_t count) {
    if (count > kMaxSelection) count = kMaxSelection;
    state.selectionCount = ids ? count : 0;
    for (uint32_t i = 0; i < state.selectionCount; ++i) state.selection[i] = ids[i];
}

QuarnStream* QuarnStreamOpen(const void* source, uint32_t flags) { return QuarnStreamOpenSized(source, flags, ~uint64_t(0)); }

QuarnStream* QuarnStreamOpenSized(const void* source, uint32_t flags, uint64_t imageSize) {
    if (!(flags & QUARN_OPEN_USE_TRACK_SELECTION)) {
        state.selection[0] = 0;
        state.selectionCount = 1;
    }
    state.lastError[0] = 0;
    if (!source && !(flags & QUARN_OPEN_HANDLE)) {
        setError("Error opening file.");
        return nullptr;
    }

    Opened in;
    if (flags & QUARN_OPEN_MEMORY) {
        in.image = static_cast<const uint8_t*>(source);
        in.available = imageSize;
    } else if (flags & QUARN_OPEN_HANDLE) {
        in.handle = int32_t(reinterpret_cast<intptr_t>(source));
        int64_t pos = in.handle >= 0 ? plat::fileTell(in.handle) : -1;
        int64_t size = in.handle >= 0 ? plat::fileSize(in.handle) : -1;
        if (pos < 0 || size < 0) {
            setError("Error opening file.");
            return nullptr;
        }
        in.startPos = uint64_t(pos);
        in.available = uint64_t(size) > in.startPos ? uint64_t(size) - in.startPos : 0;
    } else {
        in.handle = plat::fileOpen(static_cast<const char*>(source), plat::Access::Read, true);
        if (in.handle == plat::kInvalidFile) {
            setError("Error opening file.");
            return nullptr;
        }
        in.own = true;
        int64_t size = plat::fileSize(in.handle);
        in.available = size > 0 ? uint64_t(size) : 0;
    }

    uint8_t raw[quarn::kHeaderSize];
    if (!in.read(0, raw, quarn::kHeaderSize) || std::memcmp(raw, "QRN", 3) != 0 || raw[3] < 'f' || raw[3] > 'i') {
        in.close();
        setError("Not a Quarn file.");
        return nullptr;
    }
    uint32_t w[11];
    for (int i = 0; i < 11; ++i) w[i] = bytes::load32le(raw + 4 * i);
    const uint32_t dataSize = w[1], frames = w[2], largest = w[3], entries = w[4], width = w[5], height = w[6];
    const uint32_t rateNum = w[7], rateDen = w[8], fileFlags = w[9], tracks = w[10];
    if (frames == 0) {
        in.close();
        setError("The file doesn't contain any compressed frames yet.");
        return nullptr;
    }
    // A side of 0 has no picture to decode, and the buffers are sized by the largest frame.
    if (largest > dataSize || entries < frames || entries > kMaxIndexEntries || width == 0 || height == 0 ||
        width > kMaxSide || height > kMaxSide || rateNum == 0 || rateDen == 0 || tracks > kMaxTracks ||
        uint64_t(dataSize) < uint64_t(4) * entries * (tracks + 1)) {
        in.close();
        setError("The file has a corrupt header.");
        return nullptr;
    }
    // A memory image without a size is taken to be as long as the header says.
    if (in.image && imageSize == ~uint64_t(0)) in.available = uint64_t(dataSize) + 8;

    void* recordMemory = TorvexMemAlloc(sizeof(QuarnStream));
    void* privMemory = TorvexMemAlloc(sizeof(QuarnStreamPrivate));
    if (!recordMemory || !privMemory) {
        TorvexMemFree(recordMemory);
        TorvexMemFree(privMemory);
        in.close();
        setError("Out of memory.");
        return nullptr;
    }
    QuarnStream* s = static_cast<QuarnStream*>(recordMemory);
    std::memset(s, 0, sizeof *s);
    QuarnStreamPrivate* p = static_cast<QuarnStreamPrivate*>(privMemory);
    std::memset(p, 0, sizeof *p);
    s->priv = p;
    p->openFlags = flags;
    p->handle = in.handle;
    p->ownHandle = in.own;
    p->startPos = in.startPos;
    p->available = in.available;
    p->image = in.image;
    p->largestFrame = largest;
    quarn::countMemory(s, sizeof(QuarnStream) + sizeof(QuarnStreamPrivate));
    auto fail = [&](const char* message) -> QuarnStream* {
        releaseStream(s);
        setError(message);
        return nullptr;
    };

    s->revision = raw[3];
    s->fileHasAlpha = (fileFlags & kAlphaBit) ? 1 : 0;
    uint32_t scaling = (flags >> 28) & 7;
    if (scaling == 0) scaling = (fileFlags >> 28) & 7;
    uint32_t effective = flags & ~(kCompatBits | kGreyBit | kAlphaBit | kScalingBits);
    effective |= fileFlags & kGreyBit;
    if (flags & fileFlags & kAlphaBit) effective |= kAlphaBit;
    if (s->revision == 'f' || s->revision == 'g') effective |= QUARN_VIDEO_NO_LUMA_SIZE | QUARN_VIDEO_OLD_REVISION;
    if (s->revision == 'h') effective |= QUARN_VIDEO_NO_LUMA_SIZE;
    effective |= scaling << 28;
    s->videoFlags = effective;
    s->width = width;
    s->height = height;
    s->displayWidth = (scaling == 3 || scaling == 4 || scaling == 5) ? 2 * width : width;
    s->displayHeight = (scaling == 1 || scaling == 2 || scaling == 4 || scaling == 5) ? 2 * height : height;
    s->frames = frames;
    s->indexEntries = entries;
    s->rateNum = rateNum;
    s->rateDen = rateDen;
    s->dataSize = dataSize;
    s->audioTracks = tracks;

    // Tables and index are copied out of a memory image too: it need not be word-aligned.
    uint64_t words = uint64_t(3) * tracks + entries + 1;
    p->tables = static_cast<uint32_t*>(allocCounted(s, words * 4));
    if (!p->tables) return fail("Out of memory.");
    if (!in.read(quarn::kHeaderSize, p->tables, uint32_t(words * 4))) return fail("Error reading Quarn header.");
    if constexpr (std::endian::native == std::endian::big)
        for (uint64_t i = 0; i < words; ++i) p->tables[i] = __builtin_bswap32(p->tables[i]);
    s->audioSizes = p->tables;
    s->audioFormats = p->tables + tracks;
    s->trackIds = p->tables + 2 * tracks;
    s->frameIndex = p->tables + 3 * tracks;
    const uint32_t* e = s->frameIndex;

    // The index: positions strictly increasing (key bits included), no frame above the largest
    // the header declares, and the busiest second of the file.
    double fps = double(rateNum) / double(rateDen);
    uint64_t F = uint64_t(std::llround(fps));
    if (F < 1) F = 1;
    bool allKey = true;
    for (uint32_t i = 0; i < frames; ++i) {
        if (e[i] >= e[i + 1] || (e[i + 1] & ~1u) - (e[i] & ~1u) > largest) return fail("This file has bad frame size data.");
        allKey = allKey && (e[i] & 1);
    }
    allKey = allKey && (e[frames] & 1);
    s->allKeyFrames = allKey;
    uint64_t peak = 0, peakStart = 0;
    if (frames > F) {
        for (uint64_t j = 0; j + F < frames; ++j) {
            uint64_t d = uint64_t(e[j + F]) - e[j];
            if (d > peak) {
                peak = d;
                peakStart = j;
            }
        }
    }
    if (peak == 0) {
        peak = (uint64_t(e[frames]) - e[0]) * F / frames;
        peakStart = 0;
    }
    s->peakSecond = peak > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(peak);
    s->peakSecondStart = uint32_t(peakStart);

    uint64_t bufferSize = (peak + 131071) / 131072 * 131072;
    bufferSize = bufferSize > 262143 ? bufferSize + 4096 : kSmallBuffer;
    s->bufferSize = bufferSize > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(bufferSize);
    uint64_t first = e[0] & ~1u;
    if (bufferSize >= uint64_t(dataSize) / 10 * 9) {
        if (!p->image) {
            uint64_t size = p->available > first ? p->available - first : 0;
            if (size) {
                p->preload = static_cast<uint8_t*>(allocCounted(s, size));
                if (!p->preload) return fail("Out of memory.");
                if (!in.read(first, p->preload, uint32_t(size))) return fail("Error reading Quarn header.");
            }
            p->preloadStart = first;
            p->preloadSize = uint32_t(size);
            s->preloaded = 1;
            if (p->ownHandle) plat::fileClose(p->handle);
            p->handle = -1;
            p->ownHandle = false;
        }
    } else if (!p->image) {
        // Every frame must fit whole, whatever the busiest second says.
        uint64_t alloc = bufferSize > largest ? bufferSize : largest;
        p->buffer = static_cast<uint8_t*>(allocCounted(s, alloc));
        if (!p->buffer) return fail("Out of memory.");
        p->bufferAlloc = uint32_t(alloc);
    }

    placeFrame(s, 1);
    p->framePending = true;

    for (uint32_t t = 0; t < tracks; ++t)
        for (uint32_t k = 0; k < state.selectionCount; ++k)
            if (s->trackIds[t] == state.selection[k]) {
                ++s->selectedTracks;
                break;
            }

    if (s->preloaded || p->image || !(flags & QUARN_OPEN_NO_FILL)) loadFrame(s);
    return s;
}

void QuarnStreamClose(QuarnStream* stream) {
    if (stream) releaseStream(stream);
}

int32_t QuarnGotoFrame(QuarnStream* stream, uint32_t frame) {
    if (!stream) return 0;
    placeFrame(stream, frame);
    return loadFrame(stream) ? 1 : 0;
}

int32_t QuarnAdvance(QuarnStream* stream) {
    if (!stream || stream->currentFrame >= stream->frames) return 0;
    placeFrame(stream, stream->currentFrame + 1);
    return loadFrame(stream) ? 1 : 0;
}

}  // extern "C"
