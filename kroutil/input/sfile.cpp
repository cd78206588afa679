// Sound input: one reader of WAV files, headerless PCM, Torvex audio tracks and lists of these,
// converting to the caller's rate, sample size and channel count.
#include "kroutil/sfile.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bytes/byte_order.h"
#include "codec/torvex_tracks.h"
#include "codec/torvex.h"
#include "kroutil/input/avi_reader.h"
#include "kroutil/quarn.h"
#include "kroutil/util/status_send.h"

namespace {

constexpr uint32_t kFileBuffer = 16384;
constexpr uint64_t kUnlimited = ~uint64_t(0);
constexpr uint32_t kLargestReadBuffer = 1u << 20;
// A sound without pictures counts a frame as 1/15 s (10-microsecond units), as graphics input
// does for such sources.
constexpr uint32_t kSoundOnlyPeriod = 6667;
constexpr uint32_t kTvxHas16Bit = 0x20000000u, kTvxHasStereo = 0x10000000u;

bool trackHasSound(uint32_t format) { return (format & 0x40000000u || format & 0x04000000u) && (format & 0xFFFFFF); }

struct ListEntry {
    std::string name;
    int32_t start, end;
};

}  // namespace

struct SFilePrivate {
    // Kind 1: the file and where its window starts.
    KroFile* file = nullptr;
    uint64_t dataStart = 0;  // first byte of the sound
    uint64_t windowStart = 0;
    // Kind 2: the Torvex file, the next stored frame to read and its decoded chunk.
    TorvexFile* tvx = nullptr;
    uint32_t nextFrame = 0;
    std::vector<uint8_t> chunk;
    uint32_t chunkPos = 0, chunkEnd = 0;
    // Kind 6: the Quarn file and its track; done after the last frame's sound was taken.
    QuarnStream* quarn = nullptr;
    QuarnAudioTrack* quarnTrack = nullptr;
    bool quarnDone = false;
    // Kind 3: the AVI file, its sound stream and the next sample frame (stream time).
    kro::AviReader* avi = nullptr;
    uint32_t aviStream = 0;
    uint64_t aviPosition = 0;
    // Decoded sources discard the window's skip while reading.
    uint64_t skip = 0, skipLeft = 0;
    // The window: source bytes still allowed (kUnlimited: to the end of the source).
    uint64_t window = kUnlimited, windowLeft = kUnlimited;
    uint64_t taken = 0;
    // Kind 4.
    std::vector<ListEntry> entries;
    size_t entry = 0;
    SFile* current = nullptr;
    uint32_t listRate = 0, listBits = 0, listChannels = 0;
    // The read buffer.
    std::vector<uint8_t> buffer;
    uint32_t bufPos = 0, bufEnd = 0;
    bool sourceDone = false;
    // Conversion state.
    bool started = false;
    bool haveNext = false;
    uint64_t boundary = 0;  // first output frame of the next source interval (upsampling)
};

namespace {

void setFormat(SFile* s, uint32_t rate, uint32_t bits, uint32_t channels) {
    s->sourceRate = rate;
    s->sourceBits = bits;
    s->sourceChannels = channels;
    s->sourceFrameBytes = channels * bits / 8;
}

// Source bytes of a time given in 10-microsecond units, in whole sample frames.
uint64_t bytesOfTime(const SFile* s, uint64_t tenUs) {
    return tenUs * s->sourceRate / 100000 * s->sourceFrameBytes;
}

uint64_t timeOf(int32_t ms, uint32_t period, bool isEnd) {
    if (ms >= 0) return uint64_t(ms) * 100;
    uint64_t n = uint64_t(-int64_t(ms));
    return (isEnd ? n : n - 1) * period;
}

// Applies the window to a sound of `length` source bytes.
void applyWindow(SFile* s, uint64_t length, int32_t start, int32_t end, uint32_t period) {
    SFilePrivate* p = s->priv;
    uint64_t skip = bytesOfTime(s, timeOf(start, period, false));
    uint64_t len = length;
    if (length == kUnlimited) {
        p->skip = skip;
        len = kUnlimited;
    } else if (skip < length) {
        p->skip = skip;
        len = length - skip;
    } else {
        // A start at or past the end leaves nothing, not the whole sound.
        p->skip = length;
        len = 0;
    }
    if (end != 0) {
        uint64_t s10 = timeOf(start, period, false), e10 = timeOf(end, period, true);
        if (e10 >= s10) {
            uint64_t most = bytesOfTime(s, e10 - s10);
            if (most < len) len = most;
        }
    }
    p->window = len;
}

bool isList(const char* name) {
    const char* ext = HasExtension(name);
    if (!ext) return false;
    return std::strlen(ext) == 4 && std::toupper((unsigned char)ext[1]) == 'L' &&
           std::toupper((unsigned char)ext[2]) == 'S' && std::toupper((unsigned char)ext[3]) == 'T';
}

// ---- WAV and raw files --------------------------------------------------------------------

bool openWave(SFile* s, const char* name, uint32_t rawCode, uint64_t rawOffset) {
    SFilePrivate* p = s->priv;
    KroFile* f = KroFileOpen(kFileBuffer, name, KRO_FILE_READ);
    if (!f) return false;
    uint64_t size = KroFileSize(f);
    uint64_t length;
    if (rawCode) {
        uint32_t rate = rawCode / 8;
        if (rate == 0) {  // a rate of 0 has no sound to give
            KroFileClose(f);
            return false;
        }
        setFormat(s, rate, (rawCode & 2) ? 16 : 8, 1 + (rawCode & 1));
        uint64_t start = rawOffset;
        if (size == 0)
            start = 0;
        else if (start >= size)
            start = size - 1;
        p->dataStart = start;
        length = size - start;
    } else {
        uint8_t head[12];
        if (KroFileGet(f, head, 12) != 12 || std::memcmp(head, "RIFF", 4) || std::memcmp(head + 8, "WAVE", 4)) {
            KroFileClose(f);
            return false;
        }
        bool haveFormat = false, ok = false;
        uint32_t tag = 0, channels = 0, rate = 0, bits = 0;
        uint64_t pos = 12;
        while (pos + 8 <= size) {
            uint8_t h[8];
            KroFileSetPos(f, pos);
            if (KroFileGet(f, h, 8) != 8) break;
            uint64_t chunkSize = bytes::load32le(h + 4);
            uint64_t body = pos + 8;
            if (!std::memcmp(h, "fmt ", 4)) {
                uint8_t fmt[40] = {};
                uint32_t n = uint32_t(chunkSize < 40 ? chunkSize : 40);
                if (n < 16 || KroFileGet(f, fmt, n) != n) break;
                tag = bytes::load16le(fmt);
                channels = bytes::load16le(fmt + 2);
                rate = bytes::load32le(fmt + 4);
                bits = bytes::load16le(fmt + 14);
                // The extensible layout names its coding in the first bytes of a sub-format.
                if (tag == 0xFFFE && n >= 26) tag = bytes::load16le(fmt + 24);
                haveFormat = true;
            } else if (!std::memcmp(h, "data", 4)) {
                ok = haveFormat && tag == 1 && (bits == 8 || bits == 16) && (channels == 1 || channels == 2) &&
                     rate > 0;
                if (ok) {
                    p->dataStart = body;
                    // A size past the end of the file (a cut or streamed file) means the rest.
                    length = chunkSize < size - body ? chunkSize : size - body;
                    setFormat(s, rate, bits, channels);
                }
                break;
            }
            pos = body + chunkSize + (chunkSize & 1);
        }
        if (!ok) {
            KroFileClose(f);
            return false;
        }
    }
    length -= length % s->sourceFrameBytes;
    p->file = f;
    s->kind = SFILE_KIND_WAVE;
    s->typeName = "Wave";
    s->readBufferSize = kFileBuffer;
    s->track = 0;
    p->windowStart = 0;
    s->totalBytes = length;
    return true;
}

// ---- Torvex tracks ------------------------------------------------------------------------

// 1: opened; 0: not a Torvex file; -1: a Torvex file without the sound asked for (reported).
int openTorvex(SFile* s, const char* name, uint32_t track) {
    SFilePrivate* p = s->priv;
    TorvexFile* f = TorvexOpen(name, 0, -1);
    if (!f) return 0;
    int t = -1;
    if (track == 0) {
        for (int i = 0; i < kTvxTracks && t < 0; ++i)
            if (trackHasSound(f->header.audioFormat[i])) t = i;
        if (t < 0) {
            kro::statusError(s->status, "No sound found in the Torvex file.");
            TorvexClose(f);
            return -1;
        }
    } else {
        t = int(track > 7 ? 7 : track) - 1;
        if (!trackHasSound(f->header.audioFormat[t])) {
            kro::statusError(s->status, "No sound found in the specified Torvex track.");
            TorvexClose(f);
            return -1;
        }
    }
    uint32_t format = f->header.audioFormat[t];
    setFormat(s, format & 0xFFFFFF, (format & kTvxHas16Bit) ? 16 : 8, (format & kTvxHasStereo) ? 2 : 1);
    p->tvx = f;
    p->nextFrame = 0;
    s->kind = SFILE_KIND_TORVEX;
    s->typeName = "Torvex";
    s->track = t;
    // The sound's length is known only once decoded: the header's duration stands in for
    // progress; the source's own end ends the sound.
    uint32_t period = f->period ? f->period : kSoundOnlyPeriod;
    s->totalBytes = bytesOfTime(s, uint64_t(f->header.frames) * period);
    return 1;
}

// Decodes the next stored frame's chunk; false after the last stored frame (the ring frame
// repeats sound already delivered).
bool nextTorvexChunk(SFile* s) {
    SFilePrivate* p = s->priv;
    TorvexFile* f = p->tvx;
    while (p->nextFrame < f->header.frames && !f->readError) {
        uint32_t room = TorvexExtractRoom(1u << s->track, f);
        uint32_t got = 0;
        if (room) {
            if (p->chunk.size() < room) p->chunk.resize(room);
            got = TorvexExtractAudio(1u << s->track, f, p->chunk.data(), room);
        }
        ++p->nextFrame;
        TorvexAdvance(f);
        if (got) {
            p->chunkPos = 0;
            p->chunkEnd = got;
            return true;
        }
    }
    return false;
}

void rewindTorvex(SFile* s) {
    SFilePrivate* p = s->priv;
    TorvexSeek(p->tvx, 0);
    p->nextFrame = 0;
    p->chunkPos = p->chunkEnd = 0;
}

// ---- Quarn tracks -------------------------------------------------------------------------

// 1: opened; 0: not a Quarn file; -1: a Quarn file without the track asked for (reported).
// *period: the file's frame period (10 us units).
int openQuarn(SFile* s, const char* name, uint32_t id, uint32_t* period) {
    SFilePrivate* p = s->priv;
    QuarnStream* q = QuarnStreamOpen(name, QUARN_OPEN_USE_TRACK_SELECTION | QUARN_OPEN_NO_THREAD);
    if (!q) return 0;
    int32_t index = QuarnFindTrack(q, id);
    QuarnAudioTrack* t = index >= 0 ? QuarnOpenAudioTrack(q, uint32_t(index)) : nullptr;
    if (t && ((t->bitsPerSample != 8 && t->bitsPerSample != 16) || (t->channels != 1 && t->channels != 2) ||
              t->sampleRate == 0 || t->bufferSize == 0)) {
        QuarnCloseAudioTrack(t);
        t = nullptr;
    }
    if (!t) {
        kro::statusError(s->status, "No sound found in the Quarn file.");
        QuarnStreamClose(q);
        return -1;
    }
    setFormat(s, t->sampleRate, t->bitsPerSample, t->channels);
    p->quarn = q;
    p->quarnTrack = t;
    p->quarnDone = false;
    s->kind = SFILE_KIND_QUARN;
    s->typeName = "Quarn";
    s->track = index;
    if (q->rateNum) {
        uint64_t tenUs = uint64_t(q->rateDen) * 100000 / q->rateNum;
        if (tenUs > 0 && tenUs < 0x7FFFFFFF) *period = uint32_t(tenUs);
    }
    // As for Torvex tracks, the length is known only once decoded: the duration stands in.
    s->totalBytes = bytesOfTime(s, uint64_t(q->frames) * *period);
    return 1;
}

// Takes the current frame's sound and moves on; false once the last frame's was taken.
bool nextQuarnChunk(SFile* s) {
    SFilePrivate* p = s->priv;
    while (!p->quarnDone) {
        if (p->chunk.size() < p->quarnTrack->bufferSize) p->chunk.resize(p->quarnTrack->bufferSize);
        uint32_t got = QuarnExtractAudio(p->quarnTrack, p->chunk.data());
        if (got > p->quarnTrack->bufferSize) got = p->quarnTrack->bufferSize;
        if (!QuarnAdvance(p->quarn)) p->quarnDone = true;
        if (got) {
            p->chunkPos = 0;
            p->chunkEnd = got;
            return true;
        }
    }
    return false;
}

// ---- AVI sound streams --------------------------------------------------------------------

// The AVI file's sound stream number `stream` (0-based, in file order), which must be PCM of 8
// or 16 bits, mono or stereo. *period: the video's frame period (10 us units), if it has one.
bool openAvi(SFile* s, const char* name, uint32_t stream, uint32_t* period) {
    SFilePrivate* p = s->priv;
    kro::AviReader* r = kro::aviOpen(name);
    if (!r) return false;
    const kro::AviSoundInfo* a = kro::aviSound(r, stream);
    if (!a || !a->pcm || (a->bits != 8 && a->bits != 16) || (a->channels != 1 && a->channels != 2) || a->rate == 0 ||
        a->blockAlign != a->channels * a->bits / 8) {
        kro::aviClose(r);
        return false;
    }
    setFormat(s, a->rate, a->bits, a->channels);
    p->avi = r;
    p->aviStream = stream;
    s->kind = SFILE_KIND_AVI;
    s->typeName = "AVI";
    s->track = int32_t(stream);
    s->readBufferSize = kFileBuffer;
    // Stream time 0 is the video's frame 0; sound that starts late is silence until then.
    s->totalBytes = (uint64_t(a->start) + a->samples) * s->sourceFrameBytes;
    const kro::AviVideoInfo& v = kro::aviVideo(r);
    if (v.present && v.rateNum) {
        uint64_t tenUs = uint64_t(v.rateDen) * 100000 / v.rateNum;
        if (tenUs > 0 && tenUs < 0x7FFFFFFF) *period = uint32_t(tenUs);
    }
    return true;
}

// ---- lists --------------------------------------------------------------------------------

bool openList(SFile* s, const char* name, uint32_t rate, uint32_t bits, uint32_t channels);

SFile* openEntry(SFile* list, size_t i) {
    SFilePrivate* p = list->priv;
    const ListEntry& e = p->entries[i];
    SFile* sub = SFileOpen(e.name.c_str(), p->listRate, p->listBits, p->listChannels, e.start, e.end, 0, 0, 0,
                           list->status);
    if (sub) sub->status = nullptr;  // the list reports the progress
    return sub;
}

// ---- reading ------------------------------------------------------------------------------

// Up to `want` source bytes of the window.
uint32_t readSource(SFile* s, uint8_t* dst, uint32_t want) {
    SFilePrivate* p = s->priv;
    if (p->windowLeft < want) want = uint32_t(p->windowLeft);
    uint32_t got = 0;
    switch (s->kind) {
    case SFILE_KIND_WAVE:
        got = KroFileGet(p->file, dst, want);
        break;
    case SFILE_KIND_TORVEX:
    case SFILE_KIND_QUARN:
        while (got < want) {
            if (p->chunkPos == p->chunkEnd && !(s->kind == SFILE_KIND_TORVEX ? nextTorvexChunk(s) : nextQuarnChunk(s)))
                break;
            uint32_t n = p->chunkEnd - p->chunkPos;
            if (p->skipLeft) {
                uint32_t k = p->skipLeft < n ? uint32_t(p->skipLeft) : n;
                p->skipLeft -= k;
                p->chunkPos += k;
                continue;
            }
            if (n > want - got) n = want - got;
            std::memcpy(dst + got, p->chunk.data() + p->chunkPos, n);
            p->chunkPos += n;
            got += n;
        }
        break;
    case SFILE_KIND_AVI: {
        uint32_t n = kro::aviReadSound(p->avi, p->aviStream, p->aviPosition, dst, want / s->sourceFrameBytes);
        p->aviPosition += n;
        got = n * s->sourceFrameBytes;
        break;
    }
    case SFILE_KIND_LIST:
        while (got < want && p->entry < p->entries.size()) {
            if (!p->current) {
                p->current = openEntry(s, p->entry);
                if (!p->current) {
                    ++p->entry;
                    continue;
                }
            }
            uint32_t n = SFileGet(p->current, dst + got, want - got);
            got += n;
            if (n == 0) {
                SFileClose(p->current);
                p->current = nullptr;
                ++p->entry;
            }
        }
        break;
    }
    if (p->windowLeft != kUnlimited) p->windowLeft -= got;
    p->taken += got;
    return got;
}

inline bool nextSourceFrame(SFile* s, int32_t& l, int32_t& r) {
    SFilePrivate* p = s->priv;
    const uint32_t fb = s->sourceFrameBytes;
    if (p->bufEnd - p->bufPos < fb) {
        if (p->sourceDone) return false;
        uint32_t keep = p->bufEnd - p->bufPos;
        std::memmove(p->buffer.data(), p->buffer.data() + p->bufPos, keep);
        p->bufPos = 0;
        p->bufEnd = keep;
        while (p->bufEnd < fb) {
            uint32_t n = readSource(s, p->buffer.data() + p->bufEnd, uint32_t(p->buffer.size()) - p->bufEnd);
            if (n == 0) {
                p->sourceDone = true;
                return false;
            }
            p->bufEnd += n;
        }
    }
    const uint8_t* b = p->buffer.data() + p->bufPos;
    p->bufPos += fb;
    if (s->sourceBits == 8) {
        l = (int32_t(b[0]) - 128) * 256;
        r = s->sourceChannels == 2 ? (int32_t(b[1]) - 128) * 256 : l;
    } else {
        l = int16_t(uint16_t(b[0] | b[1] << 8));
        r = s->sourceChannels == 2 ? int16_t(uint16_t(b[2] | b[3] << 8)) : l;
    }
    ++s->sourceFrames;
    return true;
}

inline uint8_t* putFrame(const SFile* s, uint8_t* out, int32_t l, int32_t r) {
    if (s->outputChannels == 1) l = (l + r) / 2;
    if (s->outputBits == 16) {
        *out++ = uint8_t(l);
        *out++ = uint8_t(uint32_t(l) >> 8);
        if (s->outputChannels == 2) {
            *out++ = uint8_t(r);
            *out++ = uint8_t(uint32_t(r) >> 8);
        }
    } else {
        *out++ = uint8_t(l / 256 + 128);
        if (s->outputChannels == 2) *out++ = uint8_t(r / 256 + 128);
    }
    return out;
}

void resetState(SFile* s) {
    SFilePrivate* p = s->priv;
    p->bufPos = p->bufEnd = 0;
    p->sourceDone = false;
    p->started = false;
    p->haveNext = false;
    s->accumulatorLeft = s->accumulatorRight = s->stepLeft = s->stepRight = 0;
    p->boundary = 0;
    p->skipLeft = p->skip;
    p->windowLeft = p->window;
    p->taken = 0;
    s->atEnd = 0;
    s->outputFrames = 0;
    s->sourceFrames = 0;
    s->remainingBytes = s->totalBytes;
}

void positionSource(SFile* s) {
    SFilePrivate* p = s->priv;
    switch (s->kind) {
    case SFILE_KIND_WAVE:
        // Files are positioned at the window directly.
        KroFileSetPos(p->file, p->dataStart + p->skip);
        p->skipLeft = 0;
        break;
    case SFILE_KIND_TORVEX:
        rewindTorvex(s);
        break;
    case SFILE_KIND_QUARN:
        QuarnGotoFrame(p->quarn, 1);
        p->quarnDone = false;
        p->chunkPos = p->chunkEnd = 0;
        break;
    case SFILE_KIND_AVI:
        p->aviPosition = p->skip / s->sourceFrameBytes;
        p->skipLeft = 0;
        break;
    case SFILE_KIND_LIST:
        if (p->current) SFileClose(p->current);
        p->current = nullptr;
        p->entry = 0;
        break;
    }
}

bool readable(const std::string& name) {
    KroFile* f = KroFileOpen(-1, name.c_str(), KRO_FILE_READ);
    KroFileClose(f);
    return f != nullptr;
}

bool openList(SFile* s, const char* name, uint32_t rate, uint32_t bits, uint32_t channels) {
    SFilePrivate* p = s->priv;
    KroFile* f = KroFileOpen(4096, name, KRO_FILE_READ);
    if (!f) return false;
    uint64_t size = KroFileSize(f);
    if (size > (4u << 20)) size = 4u << 20;  // a list is a short text
    std::string text(size_t(size), '\0');
    text.resize(KroFileGet(f, text.data(), uint32_t(size)));
    KroFileClose(f);
    std::string dir = name;
    size_t slash = dir.find_last_of("/\\:");
    dir = slash == std::string::npos ? "" : dir.substr(0, slash + 1);
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(at, nl - at);
        at = nl + 1;
        std::vector<char> buf(line.begin(), line.end());
        buf.push_back(0);
        TrimAscii(buf.data());
        if (!buf[0] || buf[0] == '#') continue;
        int32_t first = GetSwitchNum(buf.data(), 'S', 1);
        int32_t last = GetSwitchNum(buf.data(), 'E', 0);
        int32_t times = GetSwitchNum(buf.data(), 'L', 1);
        RemoveQuotes(buf.data());
        std::string entry = buf.data();
        if (entry.empty()) continue;
        // Names are taken as written, else beside the list.
        if (!readable(entry) && !dir.empty() && readable(dir + entry)) entry = dir + entry;
        ListEntry e{entry, first > 0 ? -first : 0, last > 0 ? -last : 0};
        for (int32_t k = 0; k < times && k < 10000; ++k) p->entries.push_back(e);
    }
    if (p->entries.empty()) {
        kro::statusError(s->status, "No files in the list file.");
        return true;  // recognised, but failed: the caller sees no entries
    }
    p->listRate = rate;
    p->listBits = (bits == 8 || bits == 16) ? bits : 0;
    p->listChannels = (channels == 1 || channels == 2) ? channels : 0;
    uint64_t total = 0;
    for (size_t i = 0; i < p->entries.size(); ++i) {
        SFile* sub = openEntry(s, i);
        if (!sub) {
            p->entries.clear();
            return true;
        }
        if (i == 0) {
            if (!p->listRate) p->listRate = sub->outputRate;
            if (!p->listBits) p->listBits = sub->outputBits;
            if (!p->listChannels) p->listChannels = sub->outputChannels;
            if (sub->outputRate != p->listRate || sub->outputBits != p->listBits ||
                sub->outputChannels != p->listChannels) {
                SFileClose(sub);
                sub = openEntry(s, i);
                if (!sub) {
                    p->entries.clear();
                    return true;
                }
            }
        }
        uint64_t frames = sub->totalBytes / sub->sourceFrameBytes;
        total += frames * sub->outputRate / sub->sourceRate * sub->outputFrameBytes;
        SFileClose(sub);
    }
    setFormat(s, p->listRate, p->listBits, p->listChannels);
    s->kind = SFILE_KIND_LIST;
    s->typeName = "List";
    s->totalBytes = total;
    return true;
}

}  // namespace

extern "C" {

SFile* SFileOpen(const char* name, uint32_t rate, uint32_t bits, uint32_t channels, int32_t start, int32_t end,
                 uint32_t track, uint32_t rawCode, uint64_t rawOffset, KroStatusProc status) {
    if (!name || std::strlen(name) + 4 >= KRO_FILE_NAME_SIZE) {
        kro::statusError(status, "Error opening the audio input file.");
        return nullptr;
    }
    SFile* s = new (std::nothrow) SFile();
    SFilePrivate* p = s ? new (std::nothrow) SFilePrivate() : nullptr;
    if (!p) {
        delete s;
        return nullptr;
    }
    s->priv = p;
    s->status = status;
    std::strcpy(s->name, name);
    bool hadExtension = HasExtension(name) != nullptr;
    if (!hadExtension) std::strcat(s->name, ".wav");
    uint32_t period = kSoundOnlyPeriod;
    bool opened = false;
    if (isList(s->name)) {
        opened = openList(s, s->name, rate, bits, channels) && !p->entries.empty();
        if (!opened) {
            SFileClose(s);
            return nullptr;
        }
        p->window = kUnlimited;
    } else {
        opened = openWave(s, s->name, rawCode, rawOffset);
        if (!opened && !rawCode) {
            std::string tvxName = hadExtension ? std::string(name) : std::string(name) + ".tvx";
            int r = openTorvex(s, tvxName.c_str(), track);
            if (r < 0) {
                SFileClose(s);
                return nullptr;
            }
            opened = r > 0;
            if (opened && p->tvx->period) period = p->tvx->period;
        }
        if (!opened && !rawCode) {
            std::string qrnName = hadExtension ? std::string(name) : std::string(name) + ".qrn";
            int r = openQuarn(s, qrnName.c_str(), track, &period);
            if (r < 0) {
                SFileClose(s);
                return nullptr;
            }
            opened = r > 0;
        }
        if (!opened && !rawCode) {
            std::string aviName = hadExtension ? std::string(name) : std::string(name) + ".avi";
            opened = openAvi(s, aviName.c_str(), track, &period);
        }
        if (!opened) {
            kro::statusError(status, "Error opening the audio input file.");
            SFileClose(s);
            return nullptr;
        }
        // Files and streams know their length; decoded sources end where their data ends.
        const bool known = s->kind == SFILE_KIND_WAVE || s->kind == SFILE_KIND_AVI;
        applyWindow(s, known ? s->totalBytes : kUnlimited, start, end, period);
        if (known) s->totalBytes = p->window;
        else if (p->window != kUnlimited && p->window < s->totalBytes) s->totalBytes = p->window;
    }
    s->outputRate = rate ? rate : s->sourceRate;
    s->outputBits = (bits == 8 || bits == 16) ? bits : s->sourceBits;
    s->outputChannels = (channels == 1 || channels == 2) ? channels : s->sourceChannels;
    s->outputFrameBytes = s->outputBits / 8 * s->outputChannels;
    if (s->kind == SFILE_KIND_TORVEX || s->kind == SFILE_KIND_QUARN) {
        // Two seconds of the track, within reason: the rate comes from the file.
        uint64_t two = uint64_t(s->sourceRate) * s->sourceFrameBytes * 2;
        s->readBufferSize = uint32_t(two < kLargestReadBuffer ? two : kLargestReadBuffer);
    }
    if (s->kind == SFILE_KIND_LIST) s->readBufferSize = 65536;
    uint32_t bufferSize = s->readBufferSize < kFileBuffer ? kFileBuffer : s->readBufferSize;
    p->buffer.resize(bufferSize);
    resetState(s);
    positionSource(s);
    if (p->window == 0) s->atEnd = 1;  // a sound of length 0 starts at its end
    return s;
}

uint32_t SFileGet(SFile* s, void* buffer, uint32_t byteCount) {
    if (!s || !buffer) return 0;
    SFilePrivate* p = s->priv;
    if (s->status) {
        uint64_t done = s->totalBytes - (s->remainingBytes < s->totalBytes ? s->remainingBytes : s->totalBytes);
        int percent = s->totalBytes ? int(done * 100 / s->totalBytes) : 0;
        char text[64];
        std::snprintf(text, sizeof text, "Processing sound data (%i%%)...", percent);
        if (kro::statusProgress(s->status, text, s->outputFrames == 0)) return 0;
    }
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t frames = byteCount / s->outputFrameBytes;
    const uint64_t inRate = s->sourceRate, outRate = s->outputRate;
    uint32_t made = 0;
    while (made < frames && !s->atEnd) {
        int32_t l, r;
        if (inRate == outRate) {
            if (!nextSourceFrame(s, l, r)) {
                s->atEnd = 1;
                break;
            }
        } else if (outRate < inRate) {
            // Averages the source frames this output frame stands for.
            uint64_t target = s->outputFrames + 1;
            int64_t sumL = 0, sumR = 0;
            int32_t n = 0;
            while (s->sourceFrames * outRate / inRate < target) {
                int32_t a, b;
                if (!nextSourceFrame(s, a, b)) break;
                sumL += a;
                sumR += b;
                ++n;
            }
            if (n == 0) {
                s->atEnd = 1;
                break;
            }
            l = int32_t(sumL / n);
            r = int32_t(sumR / n);
        } else {
            // Linear interpolation in 10-bit fixed point between a source frame and the next;
            // the first output frame is the first source frame and the last one is held.
            uint64_t k = s->outputFrames;
            if (p->started && k < p->boundary) {
                s->accumulatorLeft += s->stepLeft;
                s->accumulatorRight += s->stepRight;
                l = int32_t(s->accumulatorLeft / 1024);
                r = int32_t(s->accumulatorRight / 1024);
            } else {
                if (!p->started) {
                    if (!nextSourceFrame(s, s->previousLeft, s->previousRight)) {
                        s->atEnd = 1;
                        break;
                    }
                    p->haveNext = nextSourceFrame(s, s->nextLeft, s->nextRight);
                    p->started = true;
                } else {
                    if (!p->haveNext) {
                        s->atEnd = 1;
                        break;
                    }
                    s->previousLeft = s->nextLeft;
                    s->previousRight = s->nextRight;
                    p->haveNext = nextSourceFrame(s, s->nextLeft, s->nextRight);
                }
                if (!p->haveNext) {
                    s->nextLeft = s->previousLeft;
                    s->nextRight = s->previousRight;
                }
                // The frame just taken is source frame (sourceFrames - 1 - haveNext).
                uint64_t index = s->sourceFrames - (p->haveNext ? 2 : 1);
                p->boundary = (index + 1) * outRate / inRate;
                uint64_t span = p->boundary > k ? p->boundary - k : 1;
                // Samples are 16-bit, so steps and accumulators stay within 27 bits.
                s->stepLeft = int32_t((int64_t(s->nextLeft) - s->previousLeft) * 1024 / int64_t(span));
                s->stepRight = int32_t((int64_t(s->nextRight) - s->previousRight) * 1024 / int64_t(span));
                s->accumulatorLeft = s->previousLeft * 1024;
                s->accumulatorRight = s->previousRight * 1024;
                l = s->previousLeft;
                r = s->previousRight;
            }
        }
        out = putFrame(s, out, l, r);
        ++s->outputFrames;
        ++made;
    }
    s->remainingBytes = p->taken < s->totalBytes ? s->totalBytes - p->taken : 0;
    return made * s->outputFrameBytes;
}

void SFileReset(SFile* s) {
    if (!s) return;
    resetState(s);
    positionSource(s);
    if (s->priv->window == 0) s->atEnd = 1;
}

void SFileClose(SFile* s) {
    if (!s) return;
    SFilePrivate* p = s->priv;
    if (p) {
        if (p->file) KroFileClose(p->file);
        if (p->tvx) TorvexClose(p->tvx);
        if (p->avi) kro::aviClose(p->avi);
        QuarnCloseAudioTrack(p->quarnTrack);
        QuarnStreamClose(p->quarn);
        if (p->current) SFileClose(p->current);
        delete p;
    }
    delete s;
}

void SFileCommandLine(char* commandLine, uint32_t* rate, uint32_t* bits, uint32_t* channels, int32_t* start,
                      int32_t* end, uint32_t* track, uint32_t* rawCode, uint64_t* rawOffset) {
    int32_t r = GetSwitchNum(commandLine, 'R', 0);
    int32_t b = GetSwitchNum(commandLine, 'B', 0);
    int32_t c = GetSwitchNum(commandLine, 'C', 0);
    int32_t s = GetSwitchNum(commandLine, 'S', 0);
    int32_t e = GetSwitchNum(commandLine, 'E', 0);
    int32_t t = GetSwitchNum(commandLine, 'T', 0);
    int32_t y = GetSwitchNum(commandLine, 'Y', 0);
    int32_t d = GetSwitchNum(commandLine, 'D', 11025);
    int32_t k = GetSwitchNum(commandLine, 'K', 0);
    uint32_t code = 0;
    if (y >= 1 && y <= 5) {
        int64_t v = int64_t(d) * 8 + y - 1;
        code = v < 0 ? 0 : v > int64_t(UINT32_MAX) ? UINT32_MAX : uint32_t(v);
    }
    if (rate) *rate = uint32_t(r);
    if (bits) *bits = uint32_t(b);
    if (channels) *channels = uint32_t(c);
    if (start) *start = s;
    if (end) *end = e;
    if (track) *track = uint32_t(t);
    if (rawCode) *rawCode = code;
    if (rawOffset) *rawOffset = code && k > 0 ? uint64_t(k) : 0;
}

}  // extern "C"
