// Graphics output: frames in the form graphics input delivers them, written as an AVI file, a
// Flic animation or numbered still images.
#include "kroutil/ogfile.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/mem_block.h"
#include "kroutil/output/avi_writer.h"
#include "kroutil/util.h"
#include "kroutil/util/status_send.h"
#include "platform/profile.h"

struct OGFilePrivate {
    std::string prefix;     // still names: the name without its extension
    std::string extension;  // as the caller wrote it
    int digits = 0;         // of the frame number, 0 for none
    std::string flicName;
    std::vector<uint8_t> rows;  // Flic rows padded to the writer's width, or the AVI frame buffer
    std::vector<uint8_t> colors;  // the AVI colour table (256 x blue, green, red, 0)
    uint32_t flicWidth = 0;
    uint32_t soundCalls = 0;     // OGFilePutSound calls so far
    bool soundFailed = false;
};

namespace {

const char* const kUnsupported = "Unsupported output file type or color depth.";

struct KindRow {
    const char* extension;
    int32_t kind;
};
const KindRow kKinds[] = {{".FLC", OGFILE_KIND_FLIC}, {".AVI", OGFILE_KIND_AVI}, {".BMP", OGFILE_KIND_BMP},
                          {".JPG", OGFILE_KIND_JPG},  {".TGA", OGFILE_KIND_TGA}, {".TIF", OGFILE_KIND_TIF},
                          {".PCX", OGFILE_KIND_PCX},  {".GIF", OGFILE_KIND_GIF}, {".PNG", OGFILE_KIND_PNG}};

int32_t kindOf(const char* name) {
    const char* dot = HasExtension(name);
    if (!dot) return -1;
    std::string upper(dot);
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    for (const KindRow& k : kKinds)
        if (upper == k.extension) return k.kind;
    return -1;
}

void copyText(char* dest, size_t room, const std::string& text) {
    size_t n = std::min(text.size(), room - 1);
    std::memcpy(dest, text.data(), n);
    dest[n] = 0;
}

// The name without drive and directory.
std::string namePart(const std::string& path) {
    size_t cut = path.find_last_of("/\\:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string stillName(const OGFile* out, uint32_t number) {
    const OGFilePrivate* p = out->priv;
    if (p->digits == 0) return p->prefix + p->extension;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*u", p->digits, number);
    return p->prefix + digits + p->extension;
}

// How many digits the still names carry for a frame count.
int digitsFor(uint32_t frames) {
    if (frames >= 10000) return 5;
    if (frames >= 1000) return 4;
    if (frames >= 100) return 3;
    if (frames >= 10) return 2;
    if (frames >= 2) return 1;
    return 0;
}

void release(OGFile* out) {
    if (out->flic) KroOFlicClose(out->flic);
    if (out->aviFile) kro::aviWriterClose(static_cast<kro::AviWriter*>(out->aviFile));
    if (out->image.pixels) freeimage(&out->image);
    delete out->priv;
    delete out;
}

// The overwrite question unless the caller said to replace; a "no" is reported at level 3.
bool mayWrite(OGFile* out, const char* name, int32_t flags) {
    if (flags & OGFILE_REPLACE) return true;
    if (overwrite(name, flags & OGFILE_QUIET_TYPE)) return true;
    kro::statusDeclined(out->status);
    return false;
}

bool createFlic(OGFile* out, const char* name, int32_t flags) {
    if (!mayWrite(out, name, flags)) return false;
    if (out->rateNum == 0 || out->rateDen == 0) {
        kro::statusError(out->status, "Error creating the output flic.");
        return false;
    }
    int64_t speed = -(int64_t(100000) * out->rateDen / out->rateNum);
    speed = std::max<int64_t>(speed, INT32_MIN);
    out->priv->flicWidth = (uint32_t(out->width) + 3) & ~3u;
    out->flic = KroOFlicCreate(name, int32_t(out->priv->flicWidth), out->height, int32_t(speed));
    if (!out->flic) {
        kro::statusError(out->status, "Error creating the output flic.");
        return false;
    }
    out->priv->flicName = name;
    try {
        out->priv->rows.assign(size_t(out->priv->flicWidth) * uint32_t(out->height), 0);
    } catch (const std::bad_alloc&) {
        KroOFlicClose(out->flic);  // a writer that never got a frame
        out->flic = nullptr;
        KroFileErase(name);
        kro::statusError(out->status, "Out of memory.");
        return false;
    }
    return true;
}

bool createAvi(OGFile* out, const char* name, int32_t flags) {
    if (!mayWrite(out, name, flags)) return false;
    KroFileErase(name);
    kro::AviWriterVideo v;
    v.width = out->width;
    v.height = out->height;
    v.bits = uint32_t(out->bitsPerPixel);
    v.rateNum = out->rateNum;
    v.rateDen = out->rateDen;
    uint32_t stride = (v.bits * uint32_t(std::max(out->width, 0)) + 31) / 32 * 4;
    OGFilePrivate* p = out->priv;
    kro::AviWriter* w = nullptr;
    try {
        // The frame buffer handed to the writer: header, colour table (8 bits), bottom-up rows.
        p->rows.assign(sizeof(KroBitmapInfoHeader) + 1024 + size_t(stride) * uint32_t(std::max(out->height, 0)), 0);
        w = kro::aviWriterCreate(name, v);
    } catch (const std::bad_alloc&) {
        w = nullptr;
    }
    if (!w) {
        kro::statusError(out->status, "Error creating the output AVI file.");
        return false;
    }
    out->aviFile = w;
    out->aviReady = 1;
    auto* h = reinterpret_cast<KroBitmapInfoHeader*>(p->rows.data());
    h->size = 40;
    h->width = out->width;
    h->height = out->height;
    h->planes = 1;
    h->bit_count = uint16_t(v.bits);
    h->size_image = stride * uint32_t(out->height);
    h->clr_used = v.bits == 8 ? 256 : 0;
    out->dibHeader = h;
    out->dibPalette = p->rows.data() + sizeof(KroBitmapInfoHeader);
    out->dibStride = int32_t(stride);
    out->dibFirstRow = out->dibPalette + 1024 + size_t(stride) * uint32_t(out->height - 1);
    return true;
}

bool createStills(OGFile* out, const char* name, int32_t flags) {
    int quality = plat::profileGetInt("Kro Video Tools", "JPEGLevel", 100);
    out->jpegQuality = std::clamp(quality, 1, 100);
    int32_t bits = out->kind == OGFILE_KIND_TGA ? 24 : out->bitsPerPixel;
    if (allocimage(&out->image, out->width, out->height, bits) != IMG_OK) {
        kro::statusError(out->status, "Out of memory.");
        return false;
    }
    // The caller's frames carry their own palette: the default grey table means nothing here.
    out->image.flags = 0;
    out->imageRowStep = -out->image.row_bytes;
    out->imageFirstRow = out->image.pixels + size_t(out->image.row_bytes) * uint32_t(out->height - 1);

    OGFilePrivate* p = out->priv;
    const char* dot = HasExtension(name);
    p->prefix.assign(name, size_t(dot - name));
    p->extension = dot;
    p->digits = digitsFor(out->frameCount);
    // The public pattern is a format: a '%' of the name itself is doubled.
    std::string pattern;
    for (char c : p->prefix) pattern += c == '%' ? std::string("%%") : std::string(1, c);
    if (p->digits) pattern += "%0" + std::to_string(p->digits) + "i";
    for (char c : p->extension) pattern += c == '%' ? std::string("%%") : std::string(1, c);
    copyText(out->namePattern, sizeof out->namePattern, pattern);

    std::string first = stillName(out, 0);
    if (first.size() >= KRO_FILE_NAME_SIZE) {
        kro::statusError(out->status, kUnsupported);
        return false;
    }
    return mayWrite(out, first.c_str(), flags);
}

// The caller's top-down frame into the still image or the AVI frame buffer (bottom-up).
void copyFrame(const OGFile* out, const uint8_t* src, const uint8_t* palette, uint8_t* topRow, int32_t rowStep,
               int32_t outBits) {
    size_t srcStep = size_t(out->sourcePitch) * (out->trueColour ? 4 : 1);
    for (int32_t y = 0; y < out->height; ++y) {
        const uint8_t* s = src + size_t(y) * srcStep;
        uint8_t* d = topRow + std::ptrdiff_t(y) * rowStep;
        if (out->trueColour) {
            for (int32_t x = 0; x < out->width; ++x) {
                d[x * 3] = s[x * 4];
                d[x * 3 + 1] = s[x * 4 + 1];
                d[x * 3 + 2] = s[x * 4 + 2];
            }
        } else if (outBits == 24) {
            for (int32_t x = 0; x < out->width; ++x) {
                const uint8_t* rgb = palette + size_t(s[x]) * 3;
                d[x * 3] = rgb[2];
                d[x * 3 + 1] = rgb[1];
                d[x * 3 + 2] = rgb[0];
            }
        } else {
            std::memcpy(d, s, size_t(out->width));
        }
    }
}

// 256 red, green, blue triples into a blue, green, red, 0 table.
void tableFromPalette(uint8_t* table, const uint8_t* palette) {
    for (int k = 0; k < 256; ++k) {
        table[k * 4] = palette[k * 3 + 2];
        table[k * 4 + 1] = palette[k * 3 + 1];
        table[k * 4 + 2] = palette[k * 3];
        table[k * 4 + 3] = 0;
    }
}

int32_t putStill(OGFile* out, const uint8_t* pixels, const uint8_t* palette) {
    std::string name = stillName(out, out->frameCounter);
    ++out->frameCounter;
    ImageDescriptor& img = out->image;
    copyFrame(out, pixels, palette, out->imageFirstRow, out->imageRowStep, out->kind == OGFILE_KIND_TGA ? 24 : out->bitsPerPixel);
    if (!out->trueColour && img.palette && out->kind != OGFILE_KIND_TGA) {
        tableFromPalette(img.palette, palette);
        img.colors = 256;
    }
    int32_t result = IMGERR_PARAMETER;
    switch (out->kind) {
        case OGFILE_KIND_BMP: result = WriteBmpFile(name.c_str(), &img, 0); break;
        case OGFILE_KIND_JPG: result = WriteJpegFile(name.c_str(), &img, out->jpegQuality); break;
        case OGFILE_KIND_TGA: result = WriteTgaFile(name.c_str(), &img, 0); break;
        case OGFILE_KIND_TIF: result = WriteTiffFile(name.c_str(), &img, 0); break;
        case OGFILE_KIND_PCX: result = WritePcxFile(name.c_str(), &img); break;
        case OGFILE_KIND_GIF: result = WriteGifFile(name.c_str(), &img); break;
        case OGFILE_KIND_PNG: result = WritePngFile(name.c_str(), &img, 0); break;
        default: break;
    }
    if (result != IMG_OK) out->error = 1;
    out->bytesWritten += krofilesize(name.c_str());
    if (out->frameCounter == 1) copyText(out->firstName, sizeof out->firstName, name);
    copyText(out->description, sizeof out->description, namePart(out->firstName) + " to " + namePart(name));
    return result == IMG_OK;
}

int32_t putFlic(OGFile* out, const uint8_t* pixels, const uint8_t* palette) {
    OGFilePrivate* p = out->priv;
    // The writer takes rows of its own width: copied, never read past the caller's row.
    for (int32_t y = 0; y < out->height; ++y)
        std::memcpy(p->rows.data() + size_t(y) * p->flicWidth, pixels + size_t(y) * uint32_t(out->sourcePitch),
                    size_t(out->width));
    int32_t ok = KroOFlicPutNext(out->flic, p->rows.data(), palette);
    if (!ok) out->error = 1;
    ++out->frameCounter;
    out->bytesWritten = krofilesize(p->flicName.c_str());
    return ok ? 1 : 0;
}

int32_t putAvi(OGFile* out, const uint8_t* pixels, const uint8_t* palette) {
    copyFrame(out, pixels, palette, out->dibFirstRow, -out->dibStride, out->bitsPerPixel);
    if (!out->trueColour && palette) tableFromPalette(out->dibPalette, palette);
    uint8_t* bottom = out->dibPalette + 1024;
    uint32_t n = kro::aviWriterPutFrame(static_cast<kro::AviWriter*>(out->aviFile), bottom,
                                        out->trueColour ? nullptr : out->dibPalette);
    ++out->frameCounter;
    if (n == 0) {
        out->error = 1;
        return 0;
    }
    out->bytesWritten += n;
    return 1;
}

}  // namespace

extern "C" {

KRO_API OGFile* OGFileCreate(void* parent, const char* name, uint32_t frameCount, uint32_t rateNum, uint32_t rateDen,
                             int32_t width, int32_t height, int32_t sourcePitch, KroStatusProc status, int32_t flags,
                             int32_t format) {
    (void)parent;  // no compressor dialog: frames are stored uncompressed
    if (!name) return nullptr;
    OGFile* out = new (std::nothrow) OGFile{};
    if (!out) {
        kro::statusError(status, "Out of memory.");
        return nullptr;
    }
    out->priv = new (std::nothrow) OGFilePrivate;
    if (!out->priv) {
        delete out;
        kro::statusError(status, "Out of memory.");
        return nullptr;
    }
    out->status = status;
    out->trueColour = (format & 7) == 0;
    out->bitsPerPixel = out->trueColour ? 24 : 8;
    out->width = width;
    out->height = height;
    out->frameCount = frameCount;
    out->rateNum = rateNum;
    out->rateDen = rateDen;
    out->sourcePitch = sourcePitch == 0 ? width : sourcePitch;
    out->jpegQuality = 100;
    copyText(out->namePattern, sizeof out->namePattern, name);
    copyText(out->description, sizeof out->description, name);
    out->kind = kindOf(name);

    bool ok = false;
    if (width <= 0 || height <= 0 || out->sourcePitch < width) {
        // Rows shorter than the frame would be read past the caller's buffer.
        kro::statusError(status, kUnsupported);
    } else if (out->kind == OGFILE_KIND_FLIC && !out->trueColour) {
        ok = createFlic(out, name, flags);
    } else if (out->kind == OGFILE_KIND_AVI) {
        ok = createAvi(out, name, flags);
    } else if (out->kind < 0 || out->kind == OGFILE_KIND_FLIC ||
               (out->trueColour && (out->kind == OGFILE_KIND_PCX || out->kind == OGFILE_KIND_GIF))) {
        if (!(flags & OGFILE_QUIET_TYPE)) kro::statusError(status, kUnsupported);
    } else {
        if (out->rateNum == 0 || out->rateDen == 0) {
            out->rateNum = 15;
            out->rateDen = 1;
        }
        ok = createStills(out, name, flags);
    }
    if (!ok) {
        release(out);
        return nullptr;
    }
    return out;
}

KRO_API int32_t OGFilePut(OGFile* out, const void* pixels, const uint8_t* palette) {
    if (!out || !pixels) return 0;
    // An 8-bit frame without a palette keeps the last one (grey before the first).
    static const std::vector<uint8_t> grey = [] {
        std::vector<uint8_t> g(768);
        for (int k = 0; k < 768; ++k) g[size_t(k)] = uint8_t(k / 3);
        return g;
    }();
    OGFilePrivate* p = out->priv;
    if (!out->trueColour && palette) {
        p->colors.assign(palette, palette + 768);
    } else if (!out->trueColour && p->colors.empty()) {
        p->colors = grey;
    }
    const uint8_t* pal = out->trueColour ? nullptr : p->colors.data();
    const auto* px = static_cast<const uint8_t*>(pixels);
    if (out->kind == OGFILE_KIND_AVI) return putAvi(out, px, pal);
    if (out->kind == OGFILE_KIND_FLIC) return putFlic(out, px, palette);
    return putStill(out, px, pal);
}

KRO_API uint32_t OGFilePutSoundAmount(OGFile* out, uint32_t rate, uint32_t bits, uint32_t channels) {
    if (!out || out->kind != OGFILE_KIND_AVI || !out->aviFile) return 0;
    OGFilePrivate* p = out->priv;
    if (p->soundFailed) return 0;
    auto* w = static_cast<kro::AviWriter*>(out->aviFile);
    if (!out->audioStream) {
        // The sound leads the frames by three quarters of a second, in whole groups of four.
        uint32_t preload = uint32_t((uint64_t(rate) * 3 / 4 + 3) / 4 * 4);
        if (!kro::aviWriterSetSound(w, rate, bits, channels, preload)) {
            p->soundFailed = true;
            kro::statusError(out->status, "Error creating the output sound track.");
            return 0;
        }
        out->audioStream = w;
        KroWaveFormat& f = out->soundFormat;
        f.formatTag = 1;
        f.channels = uint16_t(channels);
        f.samplesPerSec = rate;
        f.bitsPerSample = uint16_t(bits);
        f.blockAlign = uint16_t(channels * bits / 8);
        f.avgBytesPerSec = rate * f.blockAlign;
        out->preloadBytes = preload * f.blockAlign;
        uint64_t total = uint64_t(f.avgBytesPerSec) * out->frameCount * out->rateDen / out->rateNum;
        out->soundTotal = total - total % f.blockAlign;
        out->soundExpected = out->soundTotal;
    }
    const KroWaveFormat& f = out->soundFormat;
    // What is due after so many frames, from the call count (so no rounding piles up), in whole
    // sample frames.
    uint64_t due = uint64_t(f.avgBytesPerSec) * p->soundCalls * out->rateDen / out->rateNum;
    due -= due % f.blockAlign;
    uint64_t want = due + out->preloadBytes;
    if (want <= out->soundDelivered) return 0;
    uint64_t amount = std::min(out->soundExpected, want - out->soundDelivered);
    amount -= amount % f.blockAlign;
    return uint32_t(std::min<uint64_t>(amount, 0x7FFFFFFF - 0x7FFFFFFF % f.blockAlign));
}

KRO_API int32_t OGFilePutSound(OGFile* out, const void* data, uint32_t bytes) {
    if (!out || !out->audioStream) return 0;
    auto* w = static_cast<kro::AviWriter*>(out->aviFile);
    ++out->priv->soundCalls;
    uint32_t n = bytes - bytes % out->soundFormat.blockAlign;
    if (n == 0) return 1;
    uint32_t written = data ? kro::aviWriterPutSound(w, data, n) : 0;
    if (written != n) {
        out->error = 1;
        return 0;
    }
    out->soundDelivered += written;
    out->bytesWritten += written;
    out->soundExpected -= std::min<uint64_t>(out->soundExpected, written);
    return 1;
}

KRO_API uint64_t OGFileClose(OGFile* out) {
    if (!out) return 0;
    uint64_t result = out->bytesWritten;
    if (out->kind == OGFILE_KIND_FLIC) {
        result = KroOFlicClose(out->flic);
        out->flic = nullptr;
    } else if (out->kind == OGFILE_KIND_AVI) {
        result = kro::aviWriterClose(static_cast<kro::AviWriter*>(out->aviFile));
        out->aviFile = nullptr;
    }
    release(out);
    return result;
}

}  // extern "C"
