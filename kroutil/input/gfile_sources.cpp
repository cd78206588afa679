// Graphics input: finding the reader of a source and reading its frames one by one (Torvex,
// Quarn, Flic, RLA, the raw frame file and still images).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "codec/torvex.h"
#include "kroutil/flic.h"
#include "kroutil/images/tiff_load.h"
#include "kroutil/input/avi_reader.h"
#include "kroutil/input/gfile_internal.h"
#include "kroutil/sfile.h"
#include "kroutil/input/rla_reader.h"
#include "kroutil/kro_file.h"
#include "kroutil/quarn.h"
#include "kroutil/util.h"
#include "kroutil/util/status_send.h"
#include "platform/fs.h"

namespace gfile {

namespace {

constexpr int32_t kLargestStill = 8192;
constexpr uint32_t kRawHeader = 20;

const char* const kCrashTorvex =
    "Crashed while reading this Torvex file (possibly corrupted)!!\n\nThe Kro Video Tools will attempt to work "
    "around the crash.";
const char* const kCrashQuarn =
    "Crashed while reading this Quarn file (possibly corrupted)!!\n\nThe Kro Video Tools will attempt to work "
    "around the crash.";
const char* const kCrashRla =
    "Crashed while reading this RLA file (possibly corrupted)!!\n\nThe Kro Video Tools will attempt to work around "
    "the crash.";
const char* const kCrashAvi =
    "Windows crashed while reading this AVI file (possibly corrupted)!!\n\nThe Kro Video Tools will attempt to work "
    "around the crash.";
const char* const kCrashStill =
    "Crashed while reading this file (possibly corrupted)!!\n\nThe Kro Video Tools will attempt to work around the "
    "crash.";

struct KindName {
    int32_t kind;
    const char* name;
};
constexpr KindName kTypeNames[] = {
    {GFILE_KIND_BMP, "BMP still image"}, {GFILE_KIND_GIF, "GIF still image"},  {GFILE_KIND_TIF, "TIF still image"},
    {GFILE_KIND_JPEG, "JPEG still image"}, {GFILE_KIND_TGA, "TGA still image"}, {GFILE_KIND_PNG, "PNG still image"},
    {GFILE_KIND_PCX, "PCX still image"}, {GFILE_KIND_AVI, "AVI"},              {GFILE_KIND_QUICKTIME, "QuickTime"},
    {GFILE_KIND_DIRECTSHOW, "DirectShow"}, {GFILE_KIND_FLIC, "Flic"},          {GFILE_KIND_TORVEX, "Torvex"},
    {GFILE_KIND_RAW, ""},                  {GFILE_KIND_QUARN, "Quarn"},        {GFILE_KIND_RLA, "RLA still image"},
    {GFILE_KIND_LIST, "List"},             {GFILE_KIND_SOUND, "Sound-only"},
};

void setKind(GFile* g, int32_t kind) {
    g->kind = kind;
    g->typeName = "";
    for (const KindName& k : kTypeNames)
        if (k.kind == kind) g->typeName = k.name;
}

// The name as given, or with ext appended when it has none.
std::string withDefault(const char* name, const char* ext) {
    std::string s = name;
    if (ext && !HasExtension(name)) s += ext;
    return s;
}

bool readable(const std::string& name) {
    KroFile* f = KroFileOpen(4096, name.c_str(), KRO_FILE_READ);
    if (!f) return false;
    KroFileClose(f);
    return true;
}

void setName(GFile* g, const std::string& name) { std::snprintf(g->name, sizeof g->name, "%s", name.c_str()); }

void stillTail(GFile* g, int32_t kind, int32_t width, int32_t height, int32_t bits) {
    setKind(g, kind);
    g->sourceWidth = width;
    g->sourceHeight = height;
    g->bitsPerPixel = std::max(bits, 8);
    g->fileRateNum = 15;
    g->fileRateDen = 1;
    g->priv->frameCount = 1;
}

// ---- Torvex --------------------------------------------------------------------------------------

// Takes an open Torvex file as the source; false (the file closed) when it cannot be decoded.
bool adoptTorvex(GFile* g, TorvexFile* f, const std::string& n) {
    GFilePrivate* p = g->priv;
    uint32_t w = f->header.width, h = f->header.height;
    if (w == 0 || h == 0 || w > 16384 || h > 16384) {
        TorvexClose(f);
        return false;
    }
    p->picture.assign(size_t(w) * h, 0);
    p->picturePitch = w;
    if (TorvexSetTarget(f, 0, 0, int32_t(w), int32_t(h), p->picture.data(), 0) != 1) {
        TorvexClose(f);
        return false;
    }
    p->torvex = f;
    setKind(g, GFILE_KIND_TORVEX);
    setName(g, n);
    g->sourceWidth = int32_t(w);
    g->sourceHeight = int32_t(h);
    g->bitsPerPixel = 8;
    p->frameCount = int32_t(std::min<uint32_t>(f->header.frames, INT32_MAX));
    rateOfField(f->header.frameRate, &g->fileRateNum, &g->fileRateDen);
    for (int t = 0; t < kTvxTracks; ++t) {
        uint32_t a = f->header.audioFormat[t];
        if ((a & 0x40000000u || a & 0x04000000u) && (a & 0xFFFFFF)) g->hasSound = 1;
    }
    return true;
}

bool tryTorvex(GFile* g, const char* name) {
    std::string n = withDefault(name, ".tvx");
    TorvexFile* f = TorvexOpen(n.c_str(), kTvxNeverSkip, -1);
    return f && adoptTorvex(g, f, n);
}

bool readTorvex(GFile* g) {
    GFilePrivate* p = g->priv;
    TorvexFile* f = p->torvex;
    bool failed = f->readError != 0;
    if (!failed) {
        TorvexDecodeFrame(f);
        while (TorvexNextDirtyRect(f, 0)) {
        }
        failed = f->readError != 0;
        std::memcpy(p->sourcePalette, f->palette, 768);
        TorvexAdvance(f);
    }
    if (failed) kro::statusWarnOnce(g->status, "gfile: torvex", kCrashTorvex);
    return true;
}

// ---- self-running programs --------------------------------------------------------------------------

// Reads count bytes at pos of an open file; false when the file has fewer.
bool readAt(KroFile* f, uint64_t pos, void* dest, uint32_t count) {
    KroFileSetPos(f, pos);
    return KroFileGet(f, dest, count) == count;
}

// The text of string resource id of a program file (its string table as the executable format
// stores it: the resource tree, type 6, block id / 16 + 1, the first language), as bytes (the
// high bytes of the 16-bit characters dropped). Every read is bounded by the file.
bool programString(KroFile* f, uint32_t id, std::string* text) {
    uint8_t b[64];
    if (!readAt(f, 0, b, 64) || b[0] != 'M' || b[1] != 'Z') return false;
    uint64_t pe = bytes::load32le(b + 0x3C);
    uint8_t coff[24];
    if (!readAt(f, pe, coff, 24) || std::memcmp(coff, "PE\0\0", 4) != 0) return false;
    uint32_t sections = bytes::load16le(coff + 6), optionalSize = bytes::load16le(coff + 20);
    uint64_t optional = pe + 24;
    uint8_t magic[2];
    if (!readAt(f, optional, magic, 2)) return false;
    uint32_t directories = bytes::load16le(magic) == 0x20B ? 112 : 96;
    if (optionalSize < directories + 24) return false;
    uint8_t dir[8];
    if (!readAt(f, optional + directories + 16, dir, 8)) return false;
    uint32_t resourceRva = bytes::load32le(dir);
    if (!resourceRva || sections == 0 || sections > 96) return false;
    // Addresses of the image to file offsets, through the section table.
    std::vector<uint8_t> table(size_t(sections) * 40);
    if (!readAt(f, optional + optionalSize, table.data(), uint32_t(table.size()))) return false;
    auto toFile = [&](uint32_t rva, uint64_t* out) {
        for (uint32_t i = 0; i < sections; ++i) {
            const uint8_t* sec = &table[size_t(i) * 40];
            uint32_t va = bytes::load32le(sec + 12), raw = bytes::load32le(sec + 16), at = bytes::load32le(sec + 20);
            uint32_t size = std::max(bytes::load32le(sec + 8), raw);
            if (rva >= va && rva - va < size && rva - va < raw) {
                *out = uint64_t(at) + (rva - va);
                return true;
            }
        }
        return false;
    };
    uint64_t root = 0;
    if (!toFile(resourceRva, &root)) return false;
    // One level of the tree: the entry with this id; its offset (relative to the root) and kind.
    auto findEntry = [&](uint64_t directory, uint32_t wanted, bool any, uint32_t* offset) {
        uint8_t h[16];
        if (!readAt(f, directory, h, 16)) return false;
        uint32_t named = bytes::load16le(h + 12), ids = bytes::load16le(h + 14);
        for (uint32_t i = 0; i < named + ids && i < 4096; ++i) {
            uint8_t e[8];
            if (!readAt(f, directory + 16 + 8 * uint64_t(i), e, 8)) return false;
            if (i < named) continue;
            if (any || bytes::load32le(e) == wanted) {
                *offset = bytes::load32le(e + 4);
                return true;
            }
        }
        return false;
    };
    uint32_t off = 0;
    if (!findEntry(root, 6, false, &off) || !(off & 0x80000000u)) return false;
    if (!findEntry(root + (off & 0x7FFFFFFF), id / 16 + 1, false, &off) || !(off & 0x80000000u)) return false;
    if (!findEntry(root + (off & 0x7FFFFFFF), 0, true, &off) || (off & 0x80000000u)) return false;
    uint8_t data[8];
    uint64_t block = 0;
    if (!readAt(f, root + off, data, 8) || !toFile(bytes::load32le(data), &block)) return false;
    uint32_t size = std::min<uint32_t>(bytes::load32le(data + 4), 1u << 20);
    std::vector<uint8_t> strings(size);
    if (!readAt(f, block, strings.data(), size)) return false;
    size_t at = 0;
    for (uint32_t i = 0; i < 16; ++i) {
        if (at + 2 > strings.size()) return false;
        size_t length = bytes::load16le(&strings[at]);
        at += 2;
        if (at + 2 * length > strings.size()) return false;
        if (i == id % 16) {
            text->clear();
            for (size_t k = 0; k < length; ++k) text->push_back(char(strings[at + 2 * k]));
            return !text->empty();
        }
        at += 2 * length;
    }
    return false;
}

// A program file with a video inside names its offset in a string resource (2, else 1) as a
// ':' followed by decimal digits.
bool embeddedOffset(const std::string& name, uint64_t* offset) {
    KroFile* f = KroFileOpen(4096, name.c_str(), KRO_FILE_READ);
    if (!f) return false;
    std::string text;
    bool found = programString(f, 2, &text) || programString(f, 1, &text);
    KroFileClose(f);
    if (!found) return false;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != ':' || !std::isdigit(static_cast<unsigned char>(text[i + 1]))) continue;
        uint64_t v = 0;
        for (size_t k = i + 1; k < text.size() && std::isdigit(static_cast<unsigned char>(text[k])) && v < (1ull << 40); ++k)
            v = v * 10 + uint64_t(text[k] - '0');
        *offset = v;
        return true;
    }
    return false;
}

bool tryProgram(GFile* g, const char* name) {
    if (!extensionIs(name, ".exe") && !extensionIs(name, ".scr")) return false;
    uint64_t offset = 0;
    if (!embeddedOffset(name, &offset)) return false;
    plat::FileHandle h = plat::fileOpen(name, plat::Access::Read, false);
    if (h == plat::kInvalidFile) return false;
    TorvexFile* f = nullptr;
    if (plat::fileSeek(h, offset))
        f = TorvexOpen(reinterpret_cast<const void*>(uintptr_t(uint32_t(h))), kTvxFromHandle | kTvxNeverSkip, 0);
    GFilePrivate* p = g->priv;
    if (!f || !adoptTorvex(g, f, name)) {
        plat::fileClose(h);
        return false;
    }
    p->embeddedHandle = h;
    return true;
}

// ---- Quarn ----------------------------------------------------------------------------------------

void closeQuarn(GFilePrivate* p) {
    QuarnVideoClose(p->quarnVideo);
    p->quarnVideo = nullptr;
    QuarnStreamClose(p->quarn);
    p->quarn = nullptr;
}

// Decodes the current frame into the picture and moves on; false when the decoder could not
// take it (a file from another writer, damaged data), which is reported once. The picture then
// still holds the last good frame, and the next key frame decodes again.
bool readQuarn(GFile* g) {
    GFilePrivate* p = g->priv;
    bool ok =
        QuarnVideoDecode(p->quarnVideo, reinterpret_cast<uint32_t*>(p->picture.data()), int32_t(p->picturePitch)) != 0;
    if (!ok) kro::statusWarnOnce(g->status, "gfile: quarn", kCrashQuarn);
    QuarnAdvance(p->quarn);
    return ok;
}

bool tryQuarn(GFile* g, const char* name) {
    std::string n = withDefault(name, ".qrn");
    QuarnStream* q =
        QuarnStreamOpen(n.c_str(), QUARN_OPEN_USE_TRACK_SELECTION | QUARN_OPEN_ALPHA | QUARN_OPEN_NO_THREAD);
    if (!q) return false;
    GFilePrivate* p = g->priv;
    p->quarn = q;
    p->quarnVideo = QuarnVideoOpen(q);
    QuarnVideo* v = p->quarnVideo;
    if (!v || v->width == 0 || v->height == 0 || v->width > 32767 || v->height > 32767) {
        closeQuarn(p);
        return false;
    }
    p->picturePitch = int64_t(v->width) * 4;
    p->picture.assign(size_t(p->picturePitch) * v->height, 0);
    // The first frame must decode, else the file is not one this decoder reads: its pictures
    // would be garbage.
    if (!readQuarn(g)) {
        closeQuarn(p);
        p->picture.clear();
        return false;
    }
    QuarnGotoFrame(q, 1);
    setKind(g, GFILE_KIND_QUARN);
    setName(g, n);
    g->sourceWidth = int32_t(v->width);
    g->sourceHeight = int32_t(v->height);
    g->bitsPerPixel = 32;
    g->hasAlpha = v->hasAlpha ? 1 : 0;
    g->hasSound = q->audioTracks ? 1 : 0;
    p->frameCount = int32_t(std::min<uint32_t>(q->frames, INT32_MAX));
    g->fileRateNum = int32_t(std::min<uint32_t>(q->rateNum, INT32_MAX));
    g->fileRateDen = int32_t(std::min<uint32_t>(q->rateDen, INT32_MAX));
    return true;
}

// ---- Flic ------------------------------------------------------------------------------------------

bool tryFlic(GFile* g, const char* name) {
    KroFlic* f = KroFlicOpen(name);
    if (!f) return false;
    GFilePrivate* p = g->priv;
    p->flic = f;
    setKind(g, GFILE_KIND_FLIC);
    KroFlicGetName(f, nullptr);
    setName(g, KroFlicGetName(f, nullptr));
    g->sourceWidth = int32_t(f->width);
    g->sourceHeight = int32_t(f->height);
    g->bitsPerPixel = 8;
    p->frameCount = int32_t(f->frameCount);
    rateOfField(f->frameRate, &g->fileRateNum, &g->fileRateDen);
    p->picture.assign(size_t(f->pitch) * f->roundedHeight, 0);
    p->picturePitch = f->pitch;
    return true;
}

// ---- RLA -------------------------------------------------------------------------------------------

bool tryRla(GFile* g, const char* name) {
    std::string n = withDefault(name, ".rla");
    RlaImage* r = rlaOpen(n.c_str());
    if (!r) return false;
    GFilePrivate* p = g->priv;
    p->rla = r;
    setName(g, n);
    stillTail(g, GFILE_KIND_RLA, int32_t(r->width * r->panels), int32_t(r->height), 32);
    g->hasAlpha = 1;
    return true;
}

// ---- AVI -------------------------------------------------------------------------------------------

// Opens an AVI; `undecodable` is set when the video stream is there but its frames cannot be
// decoded (the caller then skips the still readers that would only misread it).
bool tryAvi(GFile* g, const char* name, bool* undecodable) {
    std::string n = withDefault(name, ".avi");
    kro::AviReader* r = kro::aviOpen(n.c_str());
    if (!r) return false;
    const kro::AviVideoInfo& v = kro::aviVideo(r);
    if (!v.present || !v.decodable || v.frames == 0 || v.width < 1 || v.height < 1 || v.width > 16384 ||
        v.height > 16384) {
        if (v.present && !v.decodable) *undecodable = true;
        kro::aviClose(r);
        return false;
    }
    GFilePrivate* p = g->priv;
    p->avi = r;
    setKind(g, GFILE_KIND_AVI);
    setName(g, n);
    g->sourceWidth = v.width;
    g->sourceHeight = v.height;
    g->bitsPerPixel = int32_t(v.outBits);
    g->hasAlpha = 0;
    p->frameCount = int32_t(std::min<uint32_t>(v.frames, INT32_MAX));
    g->fileRateNum = int32_t(std::min<uint32_t>(v.rateNum, INT32_MAX));
    g->fileRateDen = int32_t(std::min<uint32_t>(v.rateDen, INT32_MAX));
    for (uint32_t i = 0; i < kro::aviSoundCount(r); ++i)
        if (kro::aviSound(r, i)->pcm) g->hasSound = 1;
    int32_t bytes = v.outBits == 8 ? 1 : int32_t(v.outBits / 8);
    p->picturePitch = int64_t(v.width) * bytes;
    p->picture.assign(size_t(p->picturePitch) * size_t(v.height), 0);
    return true;
}

// Frame n of the range, turned top-down into the frame buffer; a frame that cannot be read
// leaves the previous picture.
void readAvi(GFile* g, uint32_t n) {
    GFilePrivate* p = g->priv;
    const kro::AviFrame* f = kro::aviReadFrame(p->avi, n);
    if (!f || !f->header || !f->pixels || f->header->width != g->sourceWidth || f->header->height != g->sourceHeight ||
        f->header->bit_count != g->bitsPerPixel) {
        kro::statusWarnOnce(g->status, "gfile: avi", kCrashAvi);
        return;
    }
    int32_t h = g->sourceHeight;
    for (int32_t y = 0; y < h; ++y)
        std::memcpy(p->picture.data() + size_t(y) * size_t(p->picturePitch),
                    f->pixels + size_t(h - 1 - y) * f->stride, size_t(p->picturePitch));
    if (f->colors)
        for (int i = 0; i < 256; ++i) {
            p->sourcePalette[3 * i] = f->colors[4 * i + 2];
            p->sourcePalette[3 * i + 1] = f->colors[4 * i + 1];
            p->sourcePalette[3 * i + 2] = f->colors[4 * i];
        }
}

// ---- sound-only sources ------------------------------------------------------------------------

// A sound file is a source of small black frames, 15 a second, as long as its sound.
bool trySound(GFile* g, const char* name) {
    SFile* s = SFileOpen(name, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    if (!s) return false;
    uint64_t perSecond = uint64_t(s->sourceRate) * s->sourceFrameBytes;
    uint64_t frames = perSecond ? s->totalBytes * 15 / perSecond + 1 : 1;
    setKind(g, GFILE_KIND_SOUND);
    setName(g, s->name[0] ? std::string(s->name) : std::string(name));
    SFileClose(s);
    g->sourceWidth = 4;
    g->sourceHeight = 4;
    g->bitsPerPixel = 8;
    g->hasSound = 1;
    g->fileRateNum = 15;
    g->fileRateDen = 1;
    g->priv->frameCount = int32_t(std::min<uint64_t>(frames, INT32_MAX));
    g->priv->picture.assign(16, 0);
    g->priv->picturePitch = 4;
    return true;
}

bool isWave(const char* name) {
    KroFile* f = KroFileOpen(4096, name, KRO_FILE_READ);
    if (!f) return false;
    uint8_t h[12];
    bool wave = KroFileGet(f, h, 12) == 12 && std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WAVE", 4) == 0;
    KroFileClose(f);
    return wave;
}

// ---- raw frame file --------------------------------------------------------------------------------

bool tryRaw(GFile* g, const char* name) {
    std::string n = withDefault(name, ".raw");
    KroFile* f = KroFileOpen(65536, n.c_str(), KRO_FILE_READ);
    if (!f) return false;
    uint8_t h[kRawHeader];
    if (KroFileGet(f, h, kRawHeader) != kRawHeader || std::memcmp(h, "RAWB", 4) != 0) {
        KroFileClose(f);
        return false;
    }
    RawState& raw = g->priv->raw;
    raw.frames = bytes::load32le(h + 4);
    raw.width = bytes::load32le(h + 8);
    raw.height = bytes::load32le(h + 12);
    int32_t rate = int32_t(bytes::load32le(h + 16));
    if (raw.frames == 0 || raw.width == 0 || raw.height == 0 || raw.width > 16384 || raw.height > 16384) {
        KroFileClose(f);
        return false;
    }
    raw.file = f;
    raw.pitch = (raw.width + 3) & ~3u;
    raw.picture.assign(size_t(raw.pitch) * raw.height, 0);
    setKind(g, GFILE_KIND_RAW);
    setName(g, n);
    g->sourceWidth = int32_t(raw.width);
    g->sourceHeight = int32_t(raw.height);
    g->bitsPerPixel = 8;
    g->priv->frameCount = int32_t(std::min<uint32_t>(raw.frames, INT32_MAX));
    // A positive rate r is 100000 / r frames per second, otherwise 1000 / -r; 0 runs at 15.
    if (rate > 0) {
        g->fileRateNum = 100000;
        g->fileRateDen = rate;
    } else if (rate < 0) {
        g->fileRateNum = 1000;
        g->fileRateDen = rate == INT32_MIN ? INT32_MAX : -rate;
    } else {
        g->fileRateNum = 15;
        g->fileRateDen = 1;
    }
    return true;
}

bool readRaw(GFile* g) {
    RawState& raw = g->priv->raw;
    for (;;) {
        uint8_t tag[4];
        if (KroFileGet(raw.file, tag, 4) != 4) return false;
        uint32_t t = bytes::load32le(tag);
        if (t == 0) {
            uint8_t pal[768];
            if (KroFileGet(raw.file, pal, 768) != 768) return false;
            std::memcpy(raw.palette, pal, 768);
            continue;
        }
        if (t == 1) {
            for (uint32_t y = 0; y < raw.height; ++y) {
                if (KroFileGet(raw.file, raw.picture.data() + size_t(y) * raw.pitch, raw.width) != raw.width)
                    return false;
            }
        }
        return true;
    }
}

// ---- still images ----------------------------------------------------------------------------------

bool sizeFits(int32_t w, int32_t h) { return w >= 1 && h >= 1 && w <= kLargestStill && h <= kLargestStill; }

bool tryBmp(GFile* g, const char* name) {
    std::string n = withDefault(name, ".bmp");
    KroBitmapInfoHeader info{};
    if (bmpinfo(n.c_str(), &info) != IMG_OK || !sizeFits(info.width, info.height)) return false;
    setName(g, n);
    stillTail(g, GFILE_KIND_BMP, info.width, info.height, info.bit_count);
    return true;
}

bool tryPcx(GFile* g, const char* name) {
    std::string n = withDefault(name, ".pcx");
    PcxInfo info{};
    if (pcxinfo(n.c_str(), &info) != IMG_OK || !sizeFits(info.width, info.height)) return false;
    setName(g, n);
    stillTail(g, GFILE_KIND_PCX, info.width, info.height, info.bits * info.planes);
    return true;
}

bool tryTga(GFile* g, const char* name) {
    std::string n = withDefault(name, ".tga");
    TgaInfo info{};
    if (tgainfo(n.c_str(), &info) != IMG_OK || !sizeFits(info.width, info.height) || info.pixel_depth > 32)
        return false;
    setName(g, n);
    bool alpha = info.pixel_depth == 32 && info.alpha_bits == 8;
    stillTail(g, GFILE_KIND_TGA, info.width, info.height, alpha ? 32 : info.alloc_bits);
    g->hasAlpha = alpha ? 1 : 0;
    return true;
}

bool tryGif(GFile* g, const char* name) {
    std::string n = withDefault(name, ".gif");
    GifInfo info{};
    int32_t images = 0;
    if (gifinfo(n.c_str(), &info) != IMG_OK || !sizeFits(info.width, info.height)) return false;
    if (CountGifImages(n.c_str(), &images) != IMG_OK || images != 1) return false;
    setName(g, n);
    stillTail(g, GFILE_KIND_GIF, info.width, info.height, 8);
    return true;
}

bool tryTif(GFile* g, const char* name) {
    std::string n = withDefault(name, ".tif");
    TiffInfo info{};
    // 1-bit files are taken too: our image library reads them.
    if (tiffinfo(n.c_str(), &info) != IMG_OK || !sizeFits(info.width, info.height) || info.bits_per_sample < 1 ||
        info.bits_per_sample > 16)
        return false;
    setName(g, n);
    bool alpha = (info.alloc_bits == 24 && info.samples_per_pixel == 4 && info.photometric == 2) ||
                 (info.samples_per_pixel == 2 && (info.photometric == 0 || info.photometric == 1) &&
                  info.bits_per_sample == 8);
    stillTail(g, GFILE_KIND_TIF, info.width, info.height, alpha ? 32 : info.alloc_bits);
    g->hasAlpha = alpha ? 1 : 0;
    return true;
}

bool tryJpeg(GFile* g, const char* name) {
    std::string n = withDefault(name, ".jpg");
    JpegInfo info{};
    if (extensionIs(n.c_str(), ".mov") || extensionIs(n.c_str(), ".qt")) return false;
    if (jpeginfo(n.c_str(), &info) != IMG_OK || !sizeFits(info.width, info.height)) return false;
    setName(g, n);
    stillTail(g, GFILE_KIND_JPEG, info.width, info.height, info.alloc_bits);
    return true;
}

bool tryPng(GFile* g, const char* name) {
    std::string n = withDefault(name, ".png");
    PngInfoRecord info{};
    if (PngInfo(n.c_str(), &info) != IMG_OK || !sizeFits(info.width, info.height)) return false;
    setName(g, n);
    stillTail(g, GFILE_KIND_PNG, info.width, info.height, info.alloc_bits);
    return true;
}

// Loads a still with its alpha through load(alpha image) and joins colour and alpha into
// 0xAARRGGBB words in the frame buffer (8-bit colour through its table).
template <typename Load>
int32_t loadWithAlpha(GFile* g, Load load) {
    GFilePrivate* p = g->priv;
    ImageDescriptor& img = p->still;
    int32_t w = g->sourceWidth, h = g->sourceHeight;
    ImageDescriptor alpha{};
    int32_t e = allocimage(&alpha, w, h, 8);
    if (e != IMG_OK) return e;
    e = load(&alpha);
    if (e == IMG_OK || e == IMGERR_TRUNCATED || e == IMGERR_TIFF_CODING) {
        const KroBitmapInfoHeader* hdr = static_cast<const KroBitmapInfoHeader*>(img.header);
        int32_t bits = hdr ? hdr->bit_count : 0;
        p->picture.assign(size_t(w) * h * 4, 0);
        p->picturePitch = int64_t(w) * 4;
        for (int32_t y = 0; y < h; ++y) {
            const uint8_t* c = img.pixels + int64_t(h - 1 - y) * img.row_bytes;
            const uint8_t* a = alpha.pixels + int64_t(h - 1 - y) * alpha.row_bytes;
            uint8_t* d = p->picture.data() + size_t(y) * p->picturePitch;
            for (int32_t x = 0; x < w; ++x) {
                const uint8_t* bgr = bits == 24 ? c + 3 * x : bits == 8 && img.palette ? img.palette + 4 * c[x] : nullptr;
                if (bgr) std::memcpy(d + 4 * x, bgr, 3);
                d[4 * x + 3] = a[x];
            }
        }
    }
    freeimage(&alpha);
    return e;
}

// The still's pixels as 8-bit (with the palette) or 24-bit rows; 1-bit pictures are widened.
int32_t loadStill(GFile* g) {
    GFilePrivate* p = g->priv;
    ImageDescriptor& img = p->still;
    const char* n = g->name;
    int32_t w = g->sourceWidth, h = g->sourceHeight;
    int32_t e = IMG_OK;
    auto alloc = [&](int32_t bits) { return allocimage(&img, w, h, bits); };
    // Formats whose info record gives the depth to allocate and that load with one call.
    auto plain = [&](auto info, auto readInfo, auto load) {
        readInfo(n, &info);
        int32_t r = alloc(info.alloc_bits);
        return r == IMG_OK ? load(n, &img) : r;
    };
    switch (g->kind) {
    case GFILE_KIND_BMP: {
        KroBitmapInfoHeader info{};
        bmpinfo(n, &info);
        int32_t bits = info.bit_count == 1 ? 1 : info.bit_count <= 8 ? 8 : 24;
        e = alloc(bits);
        if (e == IMG_OK) e = loadbmp(n, &img);
        break;
    }
    case GFILE_KIND_PCX:
        e = plain(PcxInfo{}, pcxinfo, loadpcx);
        break;
    case GFILE_KIND_TGA: {
        TgaInfo info{};
        tgainfo(n, &info);
        e = alloc(info.alloc_bits);
        if (e == IMG_OK && g->hasAlpha) {
            e = loadWithAlpha(g, [&](ImageDescriptor* alpha) { return LoadTgaWithAlpha(n, &img, alpha); });
        } else if (e == IMG_OK) {
            e = loadtga(n, &img);
        }
        break;
    }
    case GFILE_KIND_TIF: {
        TiffInfo info{};
        tiffinfo(n, &info);
        e = alloc(info.alloc_bits);
        if (e == IMG_OK && g->hasAlpha)
            e = loadWithAlpha(g, [&](ImageDescriptor* alpha) { return kroimg::loadTiffWithAlpha(n, &img, alpha); });
        else if (e == IMG_OK)
            e = loadtif(n, &img);
        break;
    }
    case GFILE_KIND_GIF:
        e = plain(GifInfo{}, gifinfo, loadgif);
        break;
    case GFILE_KIND_JPEG:
        e = plain(JpegInfo{}, jpeginfo, loadjpg);
        break;
    case GFILE_KIND_PNG:
        e = plain(PngInfoRecord{}, PngInfo, LoadPngFile);
        break;
    default:
        e = IMGERR_PARAMETER;
    }
    return e;
}

// The loaded still as a frame: 8-bit (1-bit pictures widened), 24-bit or 32-bit with alpha.
bool stillFrame(GFile* g) {
    GFilePrivate* p = g->priv;
    if (!p->stillLoaded) {
        p->stillLoaded = true;
        int32_t e = loadStill(g);
        if (e == IMGERR_MEMORY) kro::statusError(g->status, "Out of memory");
        else if (e != IMG_OK) kro::statusWarnOnce(g->status, "gfile: still", kCrashStill);
        ImageDescriptor& img = p->still;
        if (!img.pixels || !img.header) {
            // Nothing came: a black picture of the still's size keeps delivery going.
            freeimage(&img);
            p->picture.assign(size_t(g->sourceWidth) * g->sourceHeight, 0);
            p->picturePitch = g->sourceWidth;
            std::memset(p->sourcePalette, 0, 768);
            p->stillFailed = true;
            return true;
        }
        const KroBitmapInfoHeader* hdr = static_cast<const KroBitmapInfoHeader*>(img.header);
        std::memset(p->sourcePalette, 0, 768);
        // The whole table the image has room for: damaged files may use entries past `colors`.
        int32_t entries = hdr->bit_count <= 8 ? 1 << hdr->bit_count : 0;
        for (int32_t i = 0; i < entries && img.palette; ++i) {
            p->sourcePalette[3 * i] = img.palette[4 * i + 2];
            p->sourcePalette[3 * i + 1] = img.palette[4 * i + 1];
            p->sourcePalette[3 * i + 2] = img.palette[4 * i];
        }
        if (hdr->bit_count == 1) {
            int32_t w = g->sourceWidth, h = g->sourceHeight;
            p->picture.assign(size_t(w) * h, 0);
            p->picturePitch = w;
            for (int32_t y = 0; y < h; ++y) {
                const uint8_t* s = img.pixels + int64_t(h - 1 - y) * img.row_bytes;
                uint8_t* d = p->picture.data() + size_t(y) * w;
                for (int32_t x = 0; x < w; ++x) d[x] = (s[x >> 3] >> (7 - (x & 7))) & 1;
            }
            freeimage(&img);
        } else if (hdr->bit_count == 16) {
            // Grey levels: the high byte through a grey ramp.
            int32_t w = g->sourceWidth, h = g->sourceHeight;
            p->picture.assign(size_t(w) * h, 0);
            p->picturePitch = w;
            for (int32_t y = 0; y < h; ++y) {
                const uint8_t* s = img.pixels + int64_t(h - 1 - y) * img.row_bytes;
                uint8_t* d = p->picture.data() + size_t(y) * w;
                for (int32_t x = 0; x < w; ++x) d[x] = s[2 * x + 1];
            }
            for (int i = 0; i < 256; ++i) std::memset(p->sourcePalette + 3 * i, i, 3);
            freeimage(&img);
        }
    }
    SourceFrame& f = p->frame;
    f.width = g->sourceWidth;
    f.height = g->sourceHeight;
    f.palette = p->sourcePalette;
    ImageDescriptor& img = p->still;
    if (!p->picture.empty()) {
        f.pixels = p->picture.data();
        f.pitch = p->picturePitch;
        f.depth = p->picturePitch == int64_t(g->sourceWidth) * 4 && g->hasAlpha ? 32 : 8;
    } else {
        const KroBitmapInfoHeader* hdr = static_cast<const KroBitmapInfoHeader*>(img.header);
        f.depth = hdr->bit_count;
        f.pixels = img.pixels + int64_t(g->sourceHeight - 1) * img.row_bytes;
        f.pitch = -int64_t(img.row_bytes);
    }
    return true;
}

}  // namespace

bool extensionIs(const char* name, const char* ext) {
    const char* dot = HasExtension(name);
    if (!dot) return false;
    for (; *dot && *ext; ++dot, ++ext)
        if (std::tolower(static_cast<unsigned char>(*dot)) != std::tolower(static_cast<unsigned char>(*ext))) return false;
    return *dot == 0 && *ext == 0;
}

bool openSingle(GFile* g, const char* name) {
    if (HasExtension(name) && !readable(name)) {
        char text[1100];
        std::snprintf(text, sizeof text, "Error opening: %s", name);
        kro::statusError(g->status, text);
        return false;
    }
    // Wave files go straight to the sound reader.
    bool ok = false, wave = isWave(name);
    if (!wave) {
        ok = tryFlic(g, name) || tryTorvex(g, name) || tryQuarn(g, name) || tryProgram(g, name) || tryRla(g, name) ||
             tryBmp(g, name) || tryPcx(g, name) ||
             tryTga(g, name) || tryGif(g, name);
    }
    if (!ok && !wave) {
        // The media chain, by extension; the platform's movie readers do not exist here, so
        // only AVI and the still readers take part.
        bool undecodable = false;
        if (extensionIs(name, ".jpg") || extensionIs(name, ".jpeg") || extensionIs(name, ".tif") ||
            (extensionIs(name, ".png") && !(g->flags & GFILE_KEEP_ALPHA))) {
            ok = tryTif(g, name) || tryJpeg(g, name) || tryPng(g, name);
        } else if (extensionIs(name, ".qt") || extensionIs(name, ".mov")) {
            ok = tryAvi(g, name, &undecodable) || tryPng(g, name);
        } else if (extensionIs(name, ".png")) {
            ok = tryPng(g, name) || tryAvi(g, name, &undecodable);
        } else {
            ok = tryAvi(g, name, &undecodable) || (!undecodable && (tryTif(g, name) || tryJpeg(g, name))) ||
                 tryPng(g, name);
        }
    }
    if (!ok) ok = trySound(g, name);
    if (!ok && !wave) ok = tryRaw(g, name);
    if (!ok) {
        char text[1100];
        std::snprintf(text, sizeof text, "Error opening: %s", name);
        kro::statusError(g->status, text);
        return false;
    }
    g->fileSize = krofilesize(g->name);
    return true;
}

bool readSourceFrame(GFile* g) {
    GFilePrivate* p = g->priv;
    if (g->kind == GFILE_KIND_LIST) return readListFrame(g);
    SourceFrame& f = p->frame;
    switch (g->kind) {
    case GFILE_KIND_TORVEX:
    case GFILE_KIND_FLIC: {
        if (!p->skipped) {
            // Sequential decoders reach the first frame of the range by decoding the ones before it.
            p->skipped = true;
            bool crashed = false;
            for (uint32_t i = 0; i < p->firstIndex; ++i) {
                char text[64];
                std::snprintf(text, sizeof text, "Skipping frame %li...", long(i + 1));
                sendProgress(g, text, i == 0, nullptr);
                if (p->torvex) {
                    bool before = p->torvex->readError != 0;
                    readTorvex(g);
                    if (!before && p->torvex->readError) crashed = true;
                    if (crashed) sendProgress(g, "Crash while reading input file...", false, nullptr);
                } else {
                    KroFlicGetNext(p->flic, p->picture.data());
                }
            }
        }
        if (p->torvex) readTorvex(g);
        else {
            KroFlicGetNext(p->flic, p->picture.data());
            std::memcpy(p->sourcePalette, KroFlicGetPalette(p->flic), 768);
        }
        f.pixels = p->picture.data();
        f.pitch = p->picturePitch;
        f.width = g->sourceWidth;
        f.height = g->sourceHeight;
        f.depth = 8;
        f.palette = p->sourcePalette;
        p->haveFrame = true;
        return true;
    }
    case GFILE_KIND_QUARN: {
        bool ok = false;
        if (!p->skipped) {
            p->skipped = true;
            for (uint32_t i = 0; i < p->firstIndex; ++i) {
                char text[64];
                std::snprintf(text, sizeof text, "Skipping frame %li...", long(i + 1));
                sendProgress(g, text, i == 0, nullptr);
                ok = readQuarn(g) || ok;
            }
        }
        ok = readQuarn(g) || ok;
        f.pixels = p->picture.data();
        f.pitch = p->picturePitch;
        f.width = g->sourceWidth;
        f.height = g->sourceHeight;
        f.depth = 32;
        f.palette = p->sourcePalette;
        // Until some frame has decoded there is nothing to show.
        p->haveFrame = p->haveFrame || ok;
        return true;
    }
    case GFILE_KIND_RAW: {
        if (!p->skipped) {
            p->skipped = true;
            for (uint32_t i = 0; i < p->firstIndex; ++i)
                if (!readRaw(g)) break;
        }
        bool ok = readRaw(g);
        f.pixels = p->raw.picture.data();
        f.pitch = p->raw.pitch;
        f.width = g->sourceWidth;
        f.height = g->sourceHeight;
        f.depth = 8;
        f.palette = p->raw.palette;
        p->haveFrame = true;
        return ok;
    }
    case GFILE_KIND_AVI: {
        readAvi(g, p->firstIndex + uint32_t(g->sourceFrameCounter));
        f.pixels = p->picture.data();
        f.pitch = p->picturePitch;
        f.width = g->sourceWidth;
        f.height = g->sourceHeight;
        f.depth = g->bitsPerPixel;
        f.palette = p->sourcePalette;
        p->haveFrame = true;
        return true;
    }
    case GFILE_KIND_SOUND: {
        f.pixels = p->picture.data();
        f.pitch = p->picturePitch;
        f.width = 4;
        f.height = 4;
        f.depth = 8;
        f.palette = p->sourcePalette;
        p->haveFrame = true;
        return true;
    }
    case GFILE_KIND_RLA: {
        if (p->picture.empty()) {
            p->picturePitch = int64_t(g->sourceWidth) * 4;
            p->picture.assign(size_t(p->picturePitch) * g->sourceHeight, 0);
            if (!rlaRead(p->rla, p->picture.data(), uint32_t(p->picturePitch)))
                kro::statusWarnOnce(g->status, "gfile: rla", kCrashRla);
        }
        f.pixels = p->picture.data();
        f.pitch = p->picturePitch;
        f.width = g->sourceWidth;
        f.height = g->sourceHeight;
        f.depth = 32;
        f.palette = p->sourcePalette;
        p->haveFrame = true;
        return true;
    }
    default:
        p->haveFrame = stillFrame(g);
        return p->haveFrame;
    }
}

void rewindSource(GFile* g) {
    GFilePrivate* p = g->priv;
    p->skipped = false;
    if (p->torvex) {
        TorvexSeek(p->torvex, 1);
        std::fill(p->picture.begin(), p->picture.end(), 0);
    }
    if (p->quarn) {
        QuarnGotoFrame(p->quarn, 1);
        std::fill(p->picture.begin(), p->picture.end(), 0);
    }
    if (p->flic) KroFlicGoto(p->flic, 0, p->picture.data());
    if (p->raw.file) {
        KroFileSetPos(p->raw.file, kRawHeader);
        std::fill(p->raw.picture.begin(), p->raw.picture.end(), 0);
        std::memset(p->raw.palette, 0, 768);
    }
    if (g->kind == GFILE_KIND_LIST) rewindList(g);
}

void closeSource(GFile* g) {
    GFilePrivate* p = g->priv;
    if (p->torvex) TorvexClose(p->torvex);
    p->torvex = nullptr;
    if (p->embeddedHandle != -1) plat::fileClose(p->embeddedHandle);
    p->embeddedHandle = -1;
    closeQuarn(p);
    if (p->flic) KroFlicClose(p->flic);
    p->flic = nullptr;
    if (p->avi) kro::aviClose(p->avi);
    p->avi = nullptr;
    if (p->rla) rlaClose(p->rla);
    p->rla = nullptr;
    if (p->raw.file) KroFileClose(p->raw.file);
    p->raw.file = nullptr;
    if (p->still.header) freeimage(&p->still);
}

}  // namespace gfile
