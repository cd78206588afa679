// Quarn writer: frames of 32-bit pixels become alpha, luma and chroma planes coded as
// docs/quarn-planes.md describes (residuals of a prediction through the library's Huffman
// encoder); sound tracks are coded in transform blocks, one packet per track per frame.
//
// Layout: the header, the track tables and the index are written last, into room kept at the
// start (the room grows, moving the frames, when more frames come than were announced).
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/mem_block.h"
#include "bytes/byte_order.h"
#include "kroutil/huffman.h"
#include "kroutil/kro_file.h"
#include "kroutil/output/audio_encoder.h"
#include "kroutil/quarn.h"
#include "kroutil/quarn/quarn_planes.h"

namespace {

constexpr uint32_t kMaxSide = 32767;
constexpr uint32_t kDefaultRoom = 1024;  // index entries kept when the frame count is unknown
constexpr uint32_t kFileBuffer = 1 << 20;

struct WriterTrack {
    uint32_t id = 0, format = 0, quality = 0, largest = 0;
    torvex::TorvexAudioEncoder* encoder = nullptr;
    uint32_t blockOut = 0;     // PCM bytes one block stands for
    std::vector<uint8_t> queue;  // PCM put and not yet taken by the encoder, from head
    size_t head = 0;
    uint64_t put = 0, delivered = 0;
};

enum { kAlpha = 0, kLuma = 1, kBlue = 2, kRed = 3 };

}  // namespace

struct QuarnWriter {
    KroFile* out = nullptr;
    std::string name;
    uint32_t width = 0, height = 0, rateNum = 0, rateDen = 0, flags = 0, keyInterval = 1;
    uint32_t room = 0;         // index entries the kept room holds
    uint32_t announced = 0;    // the frame count given at create (0: unknown)
    uint64_t dataStart = 0;
    std::vector<uint32_t> index;  // frame positions with the key bit
    uint32_t largestFrame = 0;
    std::vector<WriterTrack> tracks;
    bool started = false, failed = false;
    HuffEncoder* huff = nullptr;
    uint32_t pw[4] = {}, ph[4] = {};
    bool present[4] = {};
    std::vector<uint8_t> cur[4], prev[4];
    std::vector<uint32_t> residual;
};

namespace {

void fail(QuarnWriter* w) { w->failed = true; }

uint32_t queued(const WriterTrack& t) { return uint32_t(t.queue.size() - t.head); }

// Packs as many whole blocks as the queued sound allows (all of it, padding the last block,
// when final); returns the packet body: the decoded byte count, then the blocks.
std::vector<uint8_t> soundPacket(WriterTrack& t, bool final) {
    std::vector<uint8_t> body;
    uint64_t decoded = 0;
    while (t.encoder) {
        uint32_t want = torvex::TorvexAudioEncoderNextInputBytes(t.encoder);
        uint32_t have = queued(t);
        if (final ? t.delivered >= t.put : have < want) break;
        uint32_t got = std::min(want, have);
        uint32_t offset = torvex::TorvexAudioEncoderBlockBytes(t.encoder) - want;
        if (got) std::memcpy(torvex::TorvexAudioEncoderInput(t.encoder) + offset, t.queue.data() + t.head, got);
        t.head += got;
        const uint8_t* block;
        uint32_t blockBytes;
        if (!torvex::TorvexAudioEncodeBlock(t.encoder, got, t.quality, &block, &blockBytes)) break;
        if (body.empty()) body.resize(4);
        body.insert(body.end(), block, block + blockBytes);
        // The decoder delivers blockOut bytes a block; the last one counts only the sound left.
        uint64_t d = std::min<uint64_t>(t.blockOut, t.put - t.delivered);
        t.delivered += d;
        decoded += d;
    }
    if (t.head > (1u << 20) && t.head * 2 > t.queue.size()) {
        t.queue.erase(t.queue.begin(), t.queue.begin() + ptrdiff_t(t.head));
        t.head = 0;
    }
    if (!body.empty()) {
        bytes::store32le(body.data(), uint32_t(decoded));
        t.largest = std::max(t.largest, uint32_t(decoded));
    }
    return body;
}

void put32At(KroFile* f, uint64_t pos, uint32_t value) {
    uint64_t end = KroFileGetPos(f);
    KroFileSetPos(f, pos);
    KroFilePut32(f, value);
    KroFileSetPos(f, end);
}

// One plane as docs/quarn-planes.md lays it out.
bool writePlane(QuarnWriter* w, int k, bool key) {
    KroFile* f = w->out;
    const std::vector<uint8_t>& cur = w->cur[k];
    const std::vector<uint8_t>& prev = w->prev[k];
    const uint32_t pw = w->pw[k], ph = w->ph[k];
    KroFilePut8(f, quarn::kPlaneMark);
    if (std::all_of(cur.begin(), cur.end(), [&](uint8_t v) { return v == cur[0]; })) {
        KroFilePut8(f, quarn::kPlaneConstant);
        KroFilePut8(f, cur[0]);
        return true;
    }
    const size_t count = cur.size();
    w->residual.resize(count);
    if (key) {
        for (uint32_t y = 0; y < ph; ++y)
            for (uint32_t x = 0; x < pw; ++x) {
                size_t i = size_t(y) * pw + x;
                w->residual[i] = uint8_t(cur[i] - quarn::predictSpatial(cur.data(), pw, x, y));
            }
    } else {
        for (size_t i = 0; i < count; ++i) w->residual[i] = uint8_t(cur[i] - prev[i]);
    }
    const uint32_t rows = quarn::sliceRows(pw, ph);
    KroFilePut8(f, key ? quarn::kPlaneSpatial : quarn::kPlaneTemporal);
    KroFilePut16(f, rows);
    for (uint32_t y0 = 0; y0 < ph; y0 += rows) {
        const size_t first = size_t(y0) * pw, last = size_t(std::min(ph, y0 + rows)) * pw;
        const uint64_t sizeAt = KroFileGetPos(f);
        KroFilePut32(f, 0);
        HuffInitStats(w->huff);
        for (size_t i = first; i < last; ++i) HuffAddStat(w->huff, w->residual[i]);
        if (HuffStartEncode(w->huff) < 0) return false;
        KroFilePutBits(f, 0, 3);  // the tree reader's three other trees: absent
        KroFileByteAlign(f);
        const uint64_t codesAt = KroFileGetPos(f);
        for (size_t i = first; i < last; ++i) HuffEncode(w->huff, w->residual[i]);
        KroFileByteAlign(f);
        put32At(f, sizeAt, uint32_t(codesAt - sizeAt - 4));
    }
    return true;
}

// A part whose size field counts from its own first byte.
bool writeSizedPlane(QuarnWriter* w, int k, bool key) {
    const uint64_t at = KroFileGetPos(w->out);
    KroFilePut32(w->out, 0);
    if (!writePlane(w, k, key)) return false;
    uint64_t size = KroFileGetPos(w->out) - at;
    if (size > 0xFFFFFFFFu) return false;
    put32At(w->out, at, uint32_t(size));
    return true;
}

void splitPlanes(QuarnWriter* w, const uint32_t* pixels, int32_t pitch) {
    const uint32_t W = w->width, H = w->height;
    const uint8_t* base = reinterpret_cast<const uint8_t*>(pixels);
    auto px = [&](uint32_t x, uint32_t y) {
        uint32_t v;
        std::memcpy(&v, base + int64_t(y) * pitch + int64_t(x) * 4, 4);
        return v;
    };
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x) {
            uint32_t v = px(x, y);
            size_t i = size_t(y) * W + x;
            w->cur[kLuma][i] = quarn::lumaOf(v >> 16 & 255, v >> 8 & 255, v & 255);
            if (w->present[kAlpha]) w->cur[kAlpha][i] = uint8_t(v >> 24);
        }
    if (!w->present[kBlue]) return;
    // Chroma of the average colour of each 2 x 2 block (the part of it inside the picture).
    for (uint32_t cy = 0; cy < w->ph[kBlue]; ++cy)
        for (uint32_t cx = 0; cx < w->pw[kBlue]; ++cx) {
            int32_t r = 0, g = 0, b = 0, n = 0;
            for (uint32_t y = 2 * cy; y < std::min(H, 2 * cy + 2); ++y)
                for (uint32_t x = 2 * cx; x < std::min(W, 2 * cx + 2); ++x) {
                    uint32_t v = px(x, y);
                    r += v >> 16 & 255;
                    g += v >> 8 & 255;
                    b += v & 255;
                    ++n;
                }
            r = (r + n / 2) / n;
            g = (g + n / 2) / n;
            b = (b + n / 2) / n;
            size_t i = size_t(cy) * w->pw[kBlue] + cx;
            w->cur[kBlue][i] = quarn::blueDiffOf(r, g, b);
            w->cur[kRed][i] = quarn::redDiffOf(r, g, b);
        }
}

bool start(QuarnWriter* w) {
    w->started = true;
    w->dataStart = 44 + 12 * uint64_t(w->tracks.size()) + 4 * (uint64_t(w->room) + 1);
    std::vector<uint8_t> zeros(size_t(w->dataStart), 0);
    return KroFilePutNB(w->out, zeros.data(), uint32_t(zeros.size())) == zeros.size();
}

bool writeFrame(QuarnWriter* w, const uint32_t* pixels, int32_t pitch, bool finalSound) {
    KroFile* f = w->out;
    const uint64_t frameStart = KroFileGetPos(f);
    const uint32_t number = uint32_t(w->index.size());
    const bool key = w->keyInterval <= 1 || number % w->keyInterval == 0;
    if (frameStart > 0xFFFFFFF0u) return false;
    for (WriterTrack& t : w->tracks) {
        std::vector<uint8_t> body = soundPacket(t, finalSound);
        KroFilePut32(f, uint32_t(body.size()));
        if (!body.empty()) KroFilePutNB(f, body.data(), uint32_t(body.size()));
    }
    if (pixels) {
        splitPlanes(w, pixels, pitch);
    } else {
        for (int k = 0; k < 4; ++k) w->cur[k] = w->prev[k];  // the same picture again
    }
    if (w->present[kAlpha] && !writeSizedPlane(w, kAlpha, key)) return false;
    if (!writeSizedPlane(w, kLuma, key)) return false;
    if (w->present[kBlue] && (!writePlane(w, kBlue, key) || !writePlane(w, kRed, key))) return false;
    // Frames start on 4-byte boundaries: bit 0 of a position is the key mark.
    while (KroFileGetPos(f) & 3) KroFilePut8(f, 0);
    const uint64_t end = KroFileGetPos(f);
    if (end > 0xFFFFFFF0u) return false;
    w->largestFrame = std::max(w->largestFrame, uint32_t(end - frameStart));
    w->index.push_back(uint32_t(frameStart) | (key ? 1u : 0u));
    for (int k = 0; k < 4; ++k) std::swap(w->cur[k], w->prev[k]);
    return !f->write_error;
}

// Moves the frame data up by shift bytes (from the end down, so nothing is overwritten first).
bool moveFrames(QuarnWriter* w, uint64_t shift) {
    KroFile* f = w->out;
    const uint64_t end = KroFileGetPos(f);
    std::vector<uint8_t> chunk(kFileBuffer);
    for (uint64_t to = end; to > w->dataStart;) {
        uint64_t from = std::max<uint64_t>(w->dataStart, to > chunk.size() ? to - chunk.size() : 0);
        uint32_t n = uint32_t(to - from);
        KroFileSetPos(f, from);
        if (KroFileGetNB(f, chunk.data(), n) != n) return false;
        KroFileSetPos(f, from + shift);
        if (KroFilePutNB(f, chunk.data(), n) != n) return false;
        to = from;
    }
    for (uint32_t& e : w->index) e += uint32_t(shift);
    w->dataStart += shift;
    KroFileSetPos(f, end + shift);
    return true;
}

bool finish(QuarnWriter* w) {
    KroFile* f = w->out;
    // Sound still queued goes out with one more frame showing the last picture again.
    for (const WriterTrack& t : w->tracks)
        if (t.delivered < t.put) {
            if (!writeFrame(w, nullptr, 0, true)) return false;
            break;
        }
    const uint32_t frames = uint32_t(w->index.size());
    const uint32_t tracks = uint32_t(w->tracks.size());
    if (frames > w->room) {
        uint64_t shift = 4 * uint64_t(frames - w->room);
        if (KroFileGetPos(f) + shift > 0xFFFFFFF0u || !moveFrames(w, shift)) return false;
        w->room = frames;
    }
    const uint64_t end = KroFileGetPos(f);
    std::vector<uint8_t> head(size_t(w->dataStart), 0);
    uint8_t* p = head.data();
    std::memcpy(p, "QRNi", 4);
    uint32_t videoFlags = (w->present[kAlpha] ? QUARN_VIDEO_ALPHA : 0) | (w->present[kBlue] ? 0 : QUARN_VIDEO_GREY);
    const uint32_t words[10] = {uint32_t(end - 8), frames, w->largestFrame, frames,  w->width,
                                w->height,         w->rateNum, w->rateDen,    videoFlags, tracks};
    for (int i = 0; i < 10; ++i) bytes::store32le(p + 4 + 4 * i, words[i]);
    p += 44;
    for (const WriterTrack& t : w->tracks) bytes::store32le(p, t.largest), p += 4;
    for (const WriterTrack& t : w->tracks) bytes::store32le(p, t.format), p += 4;
    for (const WriterTrack& t : w->tracks) bytes::store32le(p, t.id), p += 4;
    for (uint32_t e : w->index) bytes::store32le(p, e), p += 4;
    bytes::store32le(p, uint32_t(end) | 1u);
    KroFileSetPos(f, 0);
    if (KroFilePutNB(f, head.data(), uint32_t(head.size())) != head.size()) return false;
    KroFileSetPos(f, end);
    KroFileFlush(f, 0);
    return !f->write_error;
}

void release(QuarnWriter* w) {
    for (WriterTrack& t : w->tracks) torvex::TorvexAudioEncoderFree(t.encoder);
    HuffClose(w->huff);
    delete w;
}

// The exported calls below catch running out of memory in the containers: no exception may
// leave the library.
QuarnWriter* createWriter(const char* name, uint32_t width, uint32_t height, uint32_t rateNum, uint32_t rateDen,
                               uint32_t flags, uint32_t frames, uint32_t keyInterval) {
    if (!name || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || !rateNum || !rateDen)
        return nullptr;
    if (frames > 1000000) return nullptr;
    QuarnWriter* w = new (std::nothrow) QuarnWriter;
    if (!w) return nullptr;
    w->name = name;
    w->width = width;
    w->height = height;
    w->rateNum = rateNum;
    w->rateDen = rateDen;
    w->flags = flags;
    w->keyInterval = keyInterval;
    w->announced = frames;
    w->room = frames ? frames : kDefaultRoom;
    w->present[kAlpha] = flags & QUARN_WRITE_ALPHA;
    w->present[kLuma] = true;
    w->present[kBlue] = w->present[kRed] = !(flags & QUARN_WRITE_GREY);
    for (int k = 0; k < 4; ++k) {
        w->pw[k] = k >= kBlue ? quarn::chromaSide(width) : width;
        w->ph[k] = k >= kBlue ? quarn::chromaSide(height) : height;
        if (w->present[k]) {
            try {
                w->cur[k].assign(size_t(w->pw[k]) * w->ph[k], 0);
                w->prev[k].assign(size_t(w->pw[k]) * w->ph[k], 0);
            } catch (const std::bad_alloc&) {
                release(w);
                return nullptr;
            }
        }
    }
    w->huff = HuffOpen(0);
    w->out = w->huff ? KroFileCreate(kFileBuffer, name) : nullptr;
    if (!w->out) {
        release(w);
        return nullptr;
    }
    HuffSetOutput(w->huff, w->out);
    return w;
}

int32_t addTrack(QuarnWriter* w, uint32_t id, uint32_t rate, uint32_t channels, uint32_t sixteenBit,
                            uint32_t variant, uint32_t quality) {
    if (!w || w->started || w->failed || w->tracks.size() >= 256 || rate < 1 || rate > 0xFFFF ||
        (channels != 1 && channels != 2) || variant > 1 || quality > 99)
        return -1;
    WriterTrack t;
    t.id = id;
    t.quality = quality;
    t.format = rate | (variant ? QUARN_AUDIO_DCT : QUARN_AUDIO_DFT) | (channels == 2 ? QUARN_AUDIO_STEREO : 0) |
               (sixteenBit ? QUARN_AUDIO_16BIT : 0);
    t.encoder = torvex::TorvexAudioEncoderCreate(rate, channels, variant);
    if (!t.encoder) return -1;
    t.blockOut = torvex::TorvexAudioEncoderBlockBytes(t.encoder) - torvex::TorvexAudioEncoderOverlapBytes(t.encoder);
    try {
        w->tracks.push_back(std::move(t));
    } catch (const std::bad_alloc&) {
        torvex::TorvexAudioEncoderFree(t.encoder);
        return -1;
    }
    return int32_t(w->tracks.size() - 1);
}

int32_t putAudio(QuarnWriter* w, uint32_t track, const void* pcm, uint32_t bytes) {
    if (!w || w->failed || track >= w->tracks.size() || (!pcm && bytes)) return 0;
    WriterTrack& t = w->tracks[track];
    const uint8_t* b = static_cast<const uint8_t*>(pcm);
    t.queue.insert(t.queue.end(), b, b + bytes);
    t.put += bytes;
    return 1;
}

int32_t putFrame(QuarnWriter* w, const uint32_t* pixels, int32_t pitch) {
    if (!w || w->failed || !pixels) return 0;
    if (!w->started && !start(w)) fail(w);
    // The announced last frame takes all the sound that is left.
    bool final = w->announced && w->index.size() + 1 == w->announced;
    if (!w->failed && (w->index.size() >= 1000000 || !writeFrame(w, pixels, pitch, final))) fail(w);
    return w->failed ? 0 : 1;
}

int32_t closeWriter(QuarnWriter* w) {
    if (!w) return 0;
    bool ok = false;
    try {
        ok = !w->failed && !w->index.empty() && finish(w);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    KroFileClose(w->out);
    w->out = nullptr;
    if (!ok) KroFileErase(w->name.c_str());
    release(w);
    return ok ? 1 : 0;
}

}  // namespace

extern "C" {

QuarnWriter* QuarnWriterCreate(const char* name, uint32_t width, uint32_t height, uint32_t rateNum, uint32_t rateDen,
                               uint32_t flags, uint32_t frames, uint32_t keyInterval) {
    try {
        return createWriter(name, width, height, rateNum, rateDen, flags, frames, keyInterval);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int32_t QuarnWriterAddTrack(QuarnWriter* w, uint32_t id, uint32_t rate, uint32_t channels, uint32_t sixteenBit,
                            uint32_t variant, uint32_t quality) {
    try {
        return addTrack(w, id, rate, channels, sixteenBit, variant, quality);
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

int32_t QuarnWriterPutAudio(QuarnWriter* w, uint32_t track, const void* pcm, uint32_t bytes) {
    try {
        return putAudio(w, track, pcm, bytes);
    } catch (const std::bad_alloc&) {
        if (w) fail(w);
        return 0;
    }
}

int32_t QuarnWriterPutFrame(QuarnWriter* w, const uint32_t* pixels, int32_t pitch) {
    try {
        return putFrame(w, pixels, pitch);
    } catch (const std::bad_alloc&) {
        if (w) fail(w);
        return 0;
    }
}

int32_t QuarnWriterClose(QuarnWriter* w) { return closeWriter(w); }

}  // extern "C"
