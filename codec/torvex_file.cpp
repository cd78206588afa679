// Opening and closing Torvex files, the read-ahead ring, loading, seeking and splitting frames.
#include "codec/torvex.h"
#include "codec/torvex_tracks.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "base/mem_block.h"
#include "bytes/byte_order.h"
#include "kroutil/kro_timer.h"
#include "platform/fs.h"
#include "platform/profile.h"

namespace {

struct DebugState {
    uint32_t setting = 0;  // 0x1000 once read
};
DebugState debugState;

void debugLine(const std::string& text) {
    if (TorvexDebugOn()) plat::debugOutput(text + "\r\n");
}

bool fromMemory(const TorvexFile* f) { return f->openFlags & kTvxFromMemory; }
bool loadAll(const TorvexFile* f) { return f->openFlags & kTvxLoadAll; }

void* accountedAlloc(TorvexFile* f, uint64_t size) {
    if (size == 0 || size >= 0xFFFFFFFFu) return nullptr;
    void* p = TorvexMemAlloc(uint32_t(size));
    if (p) {
        f->stats.memInUse += uint32_t(size);
        if (f->stats.memInUse > f->stats.memPeak) f->stats.memPeak = f->stats.memInUse;
    }
    return p;
}

void accountedFree(TorvexFile* f, void* p, uint64_t size) {
    if (!p) return;
    TorvexMemFree(p);
    f->stats.memInUse -= uint32_t(size);
}

}  // namespace

void TorvexDebugReset() { debugState.setting = 0; }

bool TorvexDebugOn() {
    if (!(debugState.setting & 0x1000))
        debugState.setting = uint32_t(plat::profileGetInt("Torvex", "Debug", 0)) | 0x1000;
    return (debugState.setting & 0xFF) == 1;
}

// Reads straight from the source at filePos; memory sources copy within the image's bounds.
static uint32_t rawRead(TorvexFile* f, void* dest, uint32_t count) {
    uint32_t got = 0;
    if (fromMemory(f)) return 0;  // memory sources are always loaded whole
    uint32_t t0 = KroTimerRead();
    while (got < count) {
        int64_t n = plat::fileRead(plat::FileHandle(f->handle), static_cast<uint8_t*>(dest) + got, count - got);
        if (n <= 0) break;
        got += uint32_t(n);
    }
    f->filePos += got;
    f->stats.bytesRead += got;
    f->stats.readMs += KroTimerRead() - t0;
    return got;
}

static void ringReset(TorvexFile* f) {
    f->ringRead = f->ringWrite = f->ringStart;
    f->ringEnd = f->ringStart + f->ringSize;
    f->ringHeld = 0;
}

static void ringConsumed(TorvexFile* f, uint32_t n) {
    f->ringRead += n;
    f->ringHeld -= n;
    if (f->ringRead >= f->ringEnd) {
        f->ringRead = f->ringStart;
        f->ringEnd = f->ringStart + f->ringSize;
    }
    if (f->ringHeld == 0) ringReset(f);
    f->ringReadPos = f->filePos - f->ringHeld;
}

uint32_t TorvexReadAhead(TorvexFile* f) {
    if (!f || !f->ringStart || f->readError || f->frameIndex >= f->header.frames) return 0;
    if (int32_t(f->ringSize - f->ringHeld) < 4096) return 0;
    uint32_t t0 = KroTimerRead();
    uint32_t got = rawRead(f, f->ringWrite, 4096);
    f->ringWrite += got;
    f->ringHeld += got;
    if (f->ringHeld > f->ringPeak) f->ringPeak = f->ringHeld;
    if (f->ringWrite >= f->ringEnd) {
        f->ringEnd = f->ringWrite;
        f->ringWrite = f->ringStart;
    }
    f->ringReadPos = f->filePos - f->ringHeld;
    f->stats.readAheadMs += KroTimerRead() - t0;
    return got;
}

uint32_t TorvexReadBytes(uint32_t count, TorvexFile* f, void* destination) {
    if (!f) return 0;
    uint8_t* dest = static_cast<uint8_t*>(destination);
    if (!f->ringStart) {
        uint32_t got = rawRead(f, dest, count);
        if (got < count) f->readError = 1;
        return got;
    }
    uint32_t delivered = 0;
    for (;;) {
        while (delivered < count && f->ringHeld > 0) {
            uint32_t n = count - delivered;
            uint32_t contiguous = uint32_t(f->ringEnd - f->ringRead);
            if (n > contiguous) n = contiguous;
            if (n > f->ringHeld) n = f->ringHeld;
            std::memcpy(dest + delivered, f->ringRead, n);
            delivered += n;
            ringConsumed(f, n);
        }
        if (delivered >= count) break;
        // The ring is empty: large remainders go straight to the destination in pieces, so the
        // disk streams while the sound (once there is any) gets serviced between the reads.
        uint32_t missing = count - delivered;
        while (missing > 4096) {
            uint32_t n = missing & ~4095u;
            if (n > 16384) n = 16384;
            uint32_t got = rawRead(f, dest + delivered, n);
            delivered += got;
            missing -= got;
            if (got < n) {
                f->readError = 1;
                f->ringReadPos = f->filePos;
                return delivered;
            }
        }
        uint32_t got = rawRead(f, f->ringStart, 4096);
        f->ringRead = f->ringStart;
        f->ringWrite = f->ringStart + got;
        f->ringEnd = f->ringStart + f->ringSize;
        f->ringHeld = got;
        if (got > f->ringPeak) f->ringPeak = got;
        f->ringReadPos = f->filePos - got;
        if (got < missing) {
            std::memcpy(dest + delivered, f->ringStart, got);
            delivered += got;
            ringConsumed(f, got);
            f->readError = 1;
            return delivered;
        }
    }
    return delivered;
}

uint32_t TorvexLoadFrame(TorvexFile* f) {
    if (!f || f->readError) return 0;
    uint32_t index = f->frameIndex;
    uint32_t size = index < f->tableCount ? f->sizeTable[index] & ~3u : 0;
    f->frameSize = size;
    if (loadAll(f)) {
        if (f->loadOffset + size > f->dataLength) {
            f->readError = 1;  // the table promises more data than the file holds
            f->frame = f->frameBuffer;
            f->frameSize = 0;
            return 0;
        }
        f->frame = f->frameBuffer + f->loadOffset;
        return 0;
    }
    f->frame = f->frameBuffer;
    if (size > f->frameBufferSize) {
        f->readError = 1;
        f->frameSize = 0;
        return 0;
    }
    uint32_t got = TorvexReadBytes(size, f, f->frameBuffer);
    if (got < size) {
        f->readError = 1;
        f->frameSize = got;
    }
    return got;
}

static uint64_t frameOffset(const TorvexFile* f, uint32_t index) {
    uint64_t offset = 0;
    for (uint32_t i = 0; i < index && i < f->tableCount; ++i) offset += f->sizeTable[i] & ~3u;
    return offset;
}

void TorvexSeekFrame(TorvexFile* f) {
    if (!f || f->readError) return;
    if (f->frameIndex == 0) {
        std::memset(f->palette, 0, sizeof f->palette);
        f->paletteSpare = 0;
        f->paletteDirty = 1;
        TorvexResetTracks(f);
    }
    uint64_t offset = frameOffset(f, f->frameIndex);
    if (loadAll(f)) {
        f->loadOffset = offset;
        TorvexLoadFrame(f);
        return;
    }
    uint64_t target = f->frameDataStart + offset;
    uint64_t readPos = f->filePos - f->ringHeld;
    if (target >= readPos && target <= readPos + f->ringHeld) {
        uint64_t skip = target - readPos;
        while (skip > 0) {
            uint32_t n = uint32_t(f->ringEnd - f->ringRead);
            if (n > skip) n = uint32_t(skip);
            ringConsumed(f, n);
            skip -= n;
        }
    } else {
        ringReset(f);
        uint64_t absolute = f->startPos + target;
        if (!plat::fileSeek(plat::FileHandle(f->handle), absolute)) {
            f->readError = 1;
            return;
        }
        f->filePos = target;
        if (absolute % 4096) {
            uint32_t got = rawRead(f, f->ringStart, uint32_t(4096 - absolute % 4096));
            f->ringWrite = f->ringStart + got;
            f->ringHeld = got;
        }
        f->ringReadPos = f->filePos - f->ringHeld;
    }
    TorvexLoadFrame(f);
}

void TorvexParseFrame(TorvexFile* f) {
    if (!f) return;
    f->released = 0;
    if (f->readError) {
        f->chunkStart = f->video = nullptr;
        for (auto& a : f->audioChunk) a = nullptr;
        return;
    }
    if (f->frameIndex >= f->header.frames) {
        bool ring = f->header.flags & kTvxHasRing;
        if (!ring) {
            f->frameIndex = 0;
            TorvexSeekFrame(f);
        } else if (f->frameIndex > f->header.frames) {
            f->frameIndex = 1;
            TorvexSeekFrame(f);
        }
        if (f->readError) {
            TorvexParseFrame(f);
            return;
        }
    }
    uint8_t* p = f->frame;
    uint8_t* end = f->frame + f->frameSize;
    uint8_t type = f->frameIndex < f->tableCount ? f->typeTable[f->frameIndex] : 0;
    f->chunkStart = p;
    bool palette = false;
    uint8_t* paletteChunk = nullptr;
    uint32_t paletteLength = 0;
    if ((type & 1) && p < end) {
        // Lengths that run past the frame are clipped to it.
        uint32_t length = uint32_t(p[0]) * 4;
        if (length > uint32_t(end - p)) length = uint32_t(end - p);
        palette = true;
        paletteChunk = p;
        paletteLength = length;
        p += length;
    }
    for (int t = 0; t < kTvxTracks; ++t) {
        f->audioChunk[t] = nullptr;
        if (!(type & (2u << t)) || p >= end) continue;
        uint32_t room = uint32_t(end - p);
        uint32_t length = TorvexChunkLength(p, room);
        f->audioChunk[t] = p;
        p += length;
    }
    f->video = p;
    f->videoOffset = uint32_t(p - f->frame);
    if (palette) {
        TorvexApplyPalette(f, paletteChunk, paletteLength);
        f->paletteDirty = 1;
        if (f->frameIndex != f->consumedPalette) f->newPalette = 1;
    } else {
        f->newPalette = 0;
    }
}

static void freeAll(TorvexFile* f) {
    TorvexFreeTarget(f);
    TorvexFreeTrees(f);
    accountedFree(f, f->sizeTable, uint64_t(f->tableCount) * 5 + 4);
    f->typeTable = nullptr;
    f->sizeTable = nullptr;
    if (!fromMemory(f)) accountedFree(f, f->frameBuffer, uint64_t(f->frameBufferSize) + 8);
    f->frameBuffer = nullptr;
    accountedFree(f, f->ringStart, uint64_t(f->ringSize) + 4096);
    f->ringStart = nullptr;
}

static void closeHandle(TorvexFile* f) {
    if (!fromMemory(f) && f->handle != -1 && !f->callerHandle) plat::fileClose(plat::FileHandle(f->handle));
    f->handle = -1;
}

static void releaseRecord(TorvexFile* f) {
    bool caller = f->callerRecord;
    std::memset(static_cast<void*>(f), 0, sizeof *f);
    if (!caller) TorvexMemFree(f);
}

// Reads the file's next bytes during open (before the ring exists); memory sources copy.
struct OpenReader {
    TorvexFile* f;
    const uint8_t* image;
    uint64_t imageSize;  // all ones = unknown
    bool read(void* dest, uint64_t count) {
        if (image) {
            if (imageSize != ~uint64_t(0) && (f->filePos > imageSize || count > imageSize - f->filePos)) return false;
            std::memcpy(dest, image + f->filePos, size_t(count));
            f->filePos += count;
            return true;
        }
        if (count > 0xFFFFFFFFu) return false;
        return rawRead(f, dest, uint32_t(count)) == count;
    }
};

TorvexFile* TorvexOpen(const void* source, uint32_t flags, int32_t ioBufferSize) {
    return TorvexOpenSized(source, flags, ioBufferSize, ~uint64_t(0));
}

TorvexFile* TorvexOpenSized(const void* source, uint32_t flags, int32_t ioBufferSize, uint64_t imageSize) {
    if (!source) return nullptr;
    TorvexDebugOn();
    uint32_t openStart = KroTimerRead();
    const uint8_t* image = nullptr;
    int64_t handle = -1;
    uint64_t startPos = 0;
    bool callerHandle = false;
    bool callerRecord = false;
    if (flags & kTvxFromMemory) {
        flags |= kTvxLoadAll;
        flags &= ~kTvxFromHandle;
        image = static_cast<const uint8_t*>(source);
    } else if (flags & kTvxFromHandle) {
        callerHandle = true;
        uint32_t h = (flags & kTvxCallerRecord) ? *static_cast<const uint32_t*>(source)
                                                 : uint32_t(reinterpret_cast<uintptr_t>(source));
        if (h == 0xFFFFFFFFu) {
            debugLine("Couldn't open the Torvex file");
            return nullptr;
        }
        handle = int32_t(h);
        debugLine("TorvexOpen - file handle: " + std::to_string(int32_t(h)));
        int64_t pos = plat::fileTell(plat::FileHandle(handle));
        startPos = pos > 0 ? uint64_t(pos) : 0;
        callerRecord = flags & kTvxCallerRecord;
    } else {
        const char* name = static_cast<const char*>(source);
        debugLine(std::string("TorvexOpen - file: ") + name);
        plat::FileHandle h = plat::fileOpen(name, plat::Access::Read, true);
        if (h == plat::kInvalidFile) {
            debugLine("Couldn't open the Torvex file");
            return nullptr;
        }
        handle = h;
    }
    auto closeOwn = [&]() {
        if (!image && !callerHandle && handle != -1) plat::fileClose(plat::FileHandle(handle));
    };

    void* memory = callerRecord ? const_cast<void*>(source) : TorvexMemAlloc(sizeof(TorvexFile));
    if (!memory) {
        debugLine("Couldn't allocate Torvex structure");
        closeOwn();
        return nullptr;
    }
    std::memset(memory, 0, sizeof(TorvexFile));
    TorvexFile* f = new (memory) TorvexFile;
    f->callerRecord = callerRecord;
    f->callerHandle = callerHandle;
    f->handle = image ? -1 : handle;
    f->startPos = startPos;
    f->openFlags = flags;  // reading consults the mode bits; replaced by the kept flags below
    f->primaryTrack = -1;
    f->nextTime = 0xFFFFFFFFu;
    f->consumedPalette = 0xFFFFFFFFu;  // no palette consumed yet: frame 0's sets the flag
    f->stats.memInUse = f->stats.memPeak = sizeof(TorvexFile);
    f->stats.openTime = openStart;
    OpenReader in{f, image, image ? imageSize : ~uint64_t(0)};
    auto fail = [&](const char* message) -> TorvexFile* {
        if (message) debugLine(message);
        freeAll(f);
        closeOwn();
        releaseRecord(f);
        return nullptr;
    };

    // Sizes we can check reads against: a file's length, or the image's.
    uint64_t available = ~uint64_t(0);
    if (image) {
        available = imageSize;
    } else {
        int64_t size = plat::fileSize(plat::FileHandle(handle));
        if (size >= 0) available = uint64_t(size) >= startPos ? uint64_t(size) - startPos : 0;
    }

    uint8_t raw[kTvxHeaderSize];
    if (!in.read(raw, kTvxHeaderSize) ||
        !(raw[0] == 'T' && raw[1] == 'V' && raw[2] == 'X' && (raw[3] == '2' || raw[3] == '4')))
        return fail("Wasn't a Torvex file");
    {
        uint32_t words[26];
        for (int i = 0; i < 26; ++i) words[i] = bytes::load32le(raw + 4 * i);
        TorvexHeader& h = f->header;
        std::memcpy(h.magic, raw, 4);
        h.width = words[1];
        h.height = words[2];
        h.frames = words[3];
        h.frameRate = int32_t(words[4]);
        h.flags = words[5];
        for (int t = 0; t < kTvxTracks; ++t) h.audioChunkSize[t] = words[6 + t];
        h.treeDataSize = words[13];
        h.mapTreeSize = words[14];
        h.colourTreeSize = words[15];
        h.fullTreeSize = words[16];
        h.typeTreeSize = words[17];
        for (int t = 0; t < kTvxTracks; ++t) h.audioFormat[t] = words[18 + t];
        h.reserved = words[25];
    }
    TorvexHeader& h = f->header;
    // Pictures beyond these sizes are damage, not animations; they would overflow the
    // descriptor arithmetic.
    if (h.width > 32768 || h.height > 32768 || uint64_t(h.width) * h.height > (1u << 28)) return fail(nullptr);

    // Frame period in 10 us units.
    auto periodOf = [](int32_t rate) -> uint32_t {
        return rate < 0 ? uint32_t(0) - uint32_t(rate) : uint32_t(rate) * 100u;
    };
    f->headerPeriod = periodOf(h.frameRate);
    if (flags & kTvxRateOverride) h.frameRate = 0;  // the process-wide override has no setter
    f->period = periodOf(h.frameRate);
    uint32_t fps = f->period == 0 ? 100000 : 100000 / f->period;
    if (fps < 1) fps = 1;

    uint32_t ring = (h.flags & kTvxHasRing) ? 1 : 0;
    uint64_t n = uint64_t(h.frames) + ring;
    if (h.frames == 0 || n * 5 + 4 > 0xFFFFFFF0u) return fail(nullptr);
    if (available != ~uint64_t(0) && kTvxHeaderSize + n * 5 + h.treeDataSize > available) return fail(nullptr);
    f->tableCount = uint32_t(n);
    // One block: the size table first, so that its words are aligned, then the type bytes.
    uint8_t* tables = static_cast<uint8_t*>(accountedAlloc(f, n * 5 + 4));
    if (!tables) return fail("Couldn't allocate track table");
    f->sizeTable = reinterpret_cast<uint32_t*>(tables);
    f->typeTable = tables + n * 4;
    {
        if (!in.read(tables, n * 4)) return fail(nullptr);
        for (uint64_t i = 0; i < n; ++i) f->sizeTable[i] = bytes::load32le(tables + 4 * i);
        if (!in.read(f->typeTable, n)) return fail(nullptr);
    }

    {
        uint64_t treeSize = h.treeDataSize;
        uint64_t bufferSize = (treeSize + 4099) & ~uint64_t(3);
        if (bufferSize < 8192) bufferSize = 8192;
        uint8_t* buffer = static_cast<uint8_t*>(accountedAlloc(f, bufferSize));
        if (!buffer) return fail("Couldn't allocate input buffer");
        bool ok = in.read(buffer + 4096, treeSize) && TorvexDecodeTrees(f, buffer + 4096, uint32_t(treeSize));
        accountedFree(f, buffer, bufferSize);
        if (!ok) return fail(nullptr);
    }
    f->frameDataStart = kTvxHeaderSize + n * 5 + h.treeDataSize;

    // Sizing statistics over the raw entries.
    uint64_t total = 0, cleared = 0;
    uint32_t largest = 0;
    for (uint64_t i = 0; i < n; ++i) {
        total += f->sizeTable[i];
        cleared += f->sizeTable[i] & ~3u;
        if (f->sizeTable[i] > largest) largest = f->sizeTable[i];
    }
    uint64_t peak = 0, peakStart = 0;
    if (n - 1 < fps) {
        peak = total;
    } else if (n - 1 > fps) {
        uint64_t sum = 0;
        for (uint64_t i = 1; i <= fps; ++i) sum += f->sizeTable[i];
        peak = sum;
        peakStart = 1;
        for (uint64_t s = 2; s <= n - 1 - fps; ++s) {
            sum += f->sizeTable[s + fps - 1];
            sum -= f->sizeTable[s - 1];
            if (sum > peak) {
                peak = sum;
                peakStart = s;
            }
        }
    }
    f->largestFrame = largest;
    f->peakSecond = uint32_t(peak);
    f->peakSecondStart = uint32_t(peakStart + 1);
    f->stats.averageFrameSize = uint32_t(total / n);

    // Buffering mode.
    uint64_t bufferSize;
    if (flags & kTvxLoadAll) {
        bufferSize = total;
    } else {
        uint64_t ringSize;
        if (ioBufferSize == -1) {
            ringSize = f->period == 0 ? 12288 : peak;
            if (ringSize > total / 4) ringSize = total / 4;
            if (ringSize < 12288) ringSize = 12288;
        } else {
            ringSize = uint32_t(ioBufferSize);
        }
        ringSize = (ringSize + 4095) & ~uint64_t(4095);
        if (ringSize < 8192) ringSize = 8192;
        if (total * 4 / 5 <= ringSize) {
            flags |= kTvxLoadAll;
            bufferSize = total;
        } else {
            if (ringSize > 0x7FFF0000u) return fail(nullptr);
            bufferSize = largest;
            // No frame holds more than the file has after the table: a larger claim would
            // only reserve memory for a frame that cannot be read whole anyway.
            if (available != ~uint64_t(0))
                bufferSize = std::min(bufferSize, available > f->frameDataStart ? available - f->frameDataStart : 0);
            f->ringSize = uint32_t(ringSize);
            f->ringStart = static_cast<uint8_t*>(accountedAlloc(f, ringSize + 4096));
            if (!f->ringStart) {
                f->ringSize = 0;
                return fail(nullptr);
            }
            ringReset(f);
        }
    }
    f->openFlags = flags;

    if (image) {
        f->frameBuffer = const_cast<uint8_t*>(image) + f->frameDataStart;
        f->frameBufferSize = uint32_t(total);
        uint64_t room = imageSize == ~uint64_t(0) ? cleared
                        : (imageSize > f->frameDataStart ? imageSize - f->frameDataStart : 0);
        f->dataLength = room;
    } else {
        if (bufferSize + 8 >= 0xFFFFFFFFu) return fail("Couldn't allocate I/O buffer");
        f->frameBufferSize = uint32_t(bufferSize);
        f->frameBuffer = static_cast<uint8_t*>(accountedAlloc(f, bufferSize + 8));
        if (!f->frameBuffer) {
            f->frameBufferSize = 0;
            return fail("Couldn't allocate I/O buffer");
        }
        if (flags & kTvxLoadAll) {
            // A file shorter than its table plays up to where its data ends (then the read
            // error stops it), like a stream that runs dry.
            uint64_t want = cleared;
            if (available != ~uint64_t(0) && f->frameDataStart + want > available)
                want = available > f->frameDataStart ? available - f->frameDataStart : 0;
            uint32_t got = want ? rawRead(f, f->frameBuffer, uint32_t(want)) : 0;
            f->dataLength = got;
            closeHandle(f);
        } else {
            uint64_t absolute = startPos + f->frameDataStart;
            f->filePos = f->frameDataStart;
            if (absolute % 4096) {
                uint32_t got = rawRead(f, f->ringStart, uint32_t(4096 - absolute % 4096));
                f->ringWrite = f->ringStart + got;
                f->ringHeld = got;
                f->ringPeak = got;
            }
            f->ringReadPos = f->filePos - f->ringHeld;
        }
    }
    f->frameIndex = 0;
    f->loadOffset = 0;
    TorvexLoadFrame(f);
    TorvexParseFrame(f);

    // Kept flags: track requests and display overrides replaced. (Tracks open in the audio part.)
    uint32_t kept = flags & ~(kTvxTrackBits | kTvxForceNormal);
    if (flags & kTvxFillRing)
        while (TorvexReadAhead(f)) {
        }
    uint32_t display = flags & kTvxForceNormal;
    if (display == kTvxForceInterlaced) h.flags = (h.flags & ~6u) | kTvxInterlaced;
    else if (display == kTvxForceDoubled) h.flags = (h.flags & ~6u) | kTvxDoubled;
    else if (display == kTvxForceNormal) h.flags &= ~6u;
    if ((h.flags & 6) == kTvxInterlaced) kept |= kTvxForceInterlaced;
    if ((h.flags & 6) == kTvxDoubled) kept |= kTvxForceDoubled;
    if (kept & kTvxForceNormal) h.height *= 2;
    f->openFlags = kept;
    // Each requested track that opens keeps its bit; the first becomes the primary track.
    for (int t = 0; t < kTvxTracks; ++t)
        if ((flags & (kTvxTrack0 << t)) && TorvexOpenTrack(f, t, f->headerPeriod, f->period)) f->openFlags |= kTvxTrack0 << t;

    f->stats.openMs = KroTimerRead() - openStart;
    f->stats.readMs += f->stats.readAheadMs;
    debugLine("TorvexOpen returned: " + std::to_string(reinterpret_cast<uintptr_t>(f)));
    return f;
}

void TorvexClose(TorvexFile* f) {
    if (!f) return;
    debugLine("TorvexClose: " + std::to_string(reinterpret_cast<uintptr_t>(f)));
    TorvexCloseTracks(f);
    closeHandle(f);
    freeAll(f);
    releaseRecord(f);
}
