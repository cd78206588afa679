// kro: the media library's command-line front end (info, convert).
//
// Everything goes through the library's C interface, as any other caller would use it: sources
// through graphics and sound input, outputs through graphics output, sound conversion and, for
// Torvex files, the Torvex writer. Exit status: 0 done, 1 failed, 2 usage.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "encoder/torvex_writer.h"
#include "kroutil/csfile.h"
#include "kroutil/gfile.h"
#include "kroutil/kro_file.h"
#include "kroutil/ogfile.h"
#include "kroutil/quarn.h"
#include "kroutil/sfile.h"
#include "kroutil/status.h"
#include "kroutil/util.h"

namespace {

const char* kUsage =
    "usage: kro COMMAND ...\n"
    "  kro info FILE...              what the library reads from each file: kind, type, size,\n"
    "                                depth, frames, rates, alpha, sound format and length\n"
    "                                (Quarn files: also the input buffer and preloading)\n"
    "  kro convert IN OUT [--sound SOUNDFILE] [-p PICTURE-SWITCHES] [-s SOUND-SWITCHES]\n"
    "              [-b MS] [-y] [-q] [--window]\n"
    "                                convert pictures and sound; the output kind follows OUT's\n"
    "                                extension:\n"
    "                                  .png .jpg .bmp .tga .tif .pcx .gif  one still per frame,\n"
    "                                      numbered when there is more than one\n"
    "                                  .flc .fli  Flic animation (8-bit)\n"
    "                                  .avi   uncompressed AVI, with the input's sound or\n"
    "                                         --sound SOUNDFILE as its PCM track\n"
    "                                  .tvx   Torvex file (8-bit), sound in track 0\n"
    "                                  .qrn   Quarn file (lossless pictures), sound\n"
    "                                         transform-coded in track 0 (-s /L)\n"
    "                                  .wav   the sound of IN (or SOUNDFILE) as PCM\n"
    "                                  .kcs   the sound as coded blocks (see -s /L)\n"
    "  kro --help                    this text\n"
    "\n"
    "  -p SWITCHES   picture switches of the library's graphics input, e.g. -p \"/S1 /E10 /(320\n"
    "                /)-1 /Z1\": /S /E first and last frame, /F /A sampling and output rate,\n"
    "                /( /) width and height, /X /Y place, /W /H canvas, /Z palette method and\n"
    "                filter, /Q /I /$ /U /D /T /& palette controls, /~ /: /{ /[ /] /} processing\n"
    "  -s SWITCHES   sound switches of the library's sound input and conversion, e.g. -s \"/R22050\n"
    "                /B16 /C1\": /R rate, /B bits, /C channels, /S /E window, /T track, /Y /D /K\n"
    "                headerless PCM; /L coding level (.kcs and .tvx: 0 lossless delta, 1-99\n"
    "                coarser delta, 100-199 DCT and 200-299 DFT transform at quality level mod\n"
    "                100; .kcs and .qrn default 104, .tvx default plain samples; .qrn always\n"
    "                transform-codes)\n"
    "  -b MS         .kcs: the length of each coded block in milliseconds (default 1000)\n"
    "  -y            replace existing output files without asking\n"
    "  -q            no progress display\n"
    "  --window      show progress in a window instead of on the terminal\n"
    "\n"
    "exit status: 0 done, 1 failed, 2 usage\n";

// ---- status --------------------------------------------------------------------------------

struct Run {
    bool quiet = false;
    bool window = false;
    bool statusOpen = false;
    bool cancelled = false;
    bool declined = false;
    std::string error;  // the first error the library reported since the last clear
} run;

int usageError(const std::string& message) {
    std::fprintf(stderr, "kro: %s\n(kro --help lists the commands and switches)\n", message.c_str());
    return 2;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "kro: %s\n", message.c_str());
    return 1;
}

void onCancel() { run.cancelled = true; }

// The library's reports: errors are kept for the one line the command prints, warnings shown,
// progress handed to the status window (whose cancel is the answer).
int32_t statusProc(const char* text, int32_t level) {
    switch (level) {
        case 0:
        case 1:
            if (run.statusOpen && StatusSet(text)) run.cancelled = true;
            return run.cancelled ? 1 : 0;
        case 2:
            if (run.error.empty() && text) run.error = text;
            return 0;
        case 3:
            run.declined = true;
            return 0;
        case 4:
            if (text) std::fprintf(stderr, "kro: warning: %s\n", text);
            return 0;
        default:
            return 0;
    }
}

void progress(const std::string& text) {
    if (run.statusOpen && StatusSet(text.c_str())) run.cancelled = true;
}

void openStatus(const std::string& caption, const std::string& detail) {
    if (run.quiet) return;
    StatusInit(nullptr, nullptr, 1);
    run.statusOpen = StatusOpen(caption.c_str(), detail.c_str(), onCancel) != 0;
}

void closeStatus() {
    if (run.statusOpen) StatusClose(0);
    run.statusOpen = false;
}

std::string lastError(const std::string& fallback) { return run.error.empty() ? fallback : run.error; }

// ---- names ---------------------------------------------------------------------------------

std::string extensionOf(const std::string& name) {
    size_t slash = name.find_last_of("/\\");
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string e = name.substr(dot);
    for (char& c : e) c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return e;
}

bool isDirectory(const std::string& name) {
    struct stat st;
    return ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& name) {
    struct stat st;
    return ::stat(name.c_str(), &st) == 0;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The library's switch parsers work in place on one writable line.
std::vector<char> lineOf(const std::string& text) {
    std::vector<char> line(text.begin(), text.end());
    line.resize(line.size() + 1024, '\0');  // parsers may widen nothing, but keep room for quotes
    return line;
}

// What is left once a parser took its switches: anything but blanks is a switch it does not know.
std::string leftover(const std::vector<char>& line) {
    std::string s(line.data());
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

// ---- info ----------------------------------------------------------------------------------

std::string rateText(int64_t num, int64_t den) {
    if (num <= 0 || den <= 0) return "none";
    char buf[64];
    if (num % den == 0) std::snprintf(buf, sizeof buf, "%lld", (long long)(num / den));
    else std::snprintf(buf, sizeof buf, "%.4g (%lld/%lld)", double(num) / double(den), (long long)num, (long long)den);
    return buf;
}

std::string soundText(SFile* s) {
    uint64_t frames = 0;
    if (s->kind == SFILE_KIND_WAVE && s->sourceFrameBytes) {
        frames = s->totalBytes / s->sourceFrameBytes;
    } else {
        // Decoded sources know their length once decoded.
        std::vector<uint8_t> piece(1 << 16);
        uint64_t bytes = 0;
        for (uint32_t n; (n = SFileGet(s, piece.data(), uint32_t(piece.size()))) != 0;) bytes += n;
        frames = s->outputFrameBytes ? bytes / s->outputFrameBytes : 0;
    }
    char buf[256];
    double seconds = s->sourceRate ? double(frames) / s->sourceRate : 0.0;
    std::snprintf(buf, sizeof buf, "%s, %u Hz, %u-bit, %s; %.3f seconds (%llu sample frames)",
                  s->typeName ? s->typeName : "", s->sourceRate, s->sourceBits,
                  s->sourceChannels == 1 ? "mono" : s->sourceChannels == 2 ? "stereo" : "? channels", seconds,
                  (unsigned long long)frames);
    return buf;
}

GFile* openPicture(const std::string& name, int32_t flags = 0) {
    return GFileOpen(name.c_str(), flags, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 256, 0, 0, 0, nullptr, nullptr,
                     statusProc);
}

// One file's report; false (after printing the reason) when nothing in it could be read.
bool infoOne(const std::string& name) {
    std::printf("%s\n", name.c_str());
    if (isDirectory(name)) {
        std::printf("  error: is a folder\n");
        return false;
    }
    if (!exists(name)) {
        std::printf("  error: no such file\n");
        return false;
    }
    bool quarn = extensionOf(name) == ".qrn";
    QuarnStream* q = nullptr;
    std::string quarnError;
    if (quarn) {
        q = QuarnStreamOpen(name.c_str(), QUARN_OPEN_NO_DECODER_BUFFERS | QUARN_OPEN_NO_THREAD);
        if (!q) {
            quarnError = QuarnLastError();
            std::printf("  error: %s\n", quarnError.empty() ? "cannot open the file" : quarnError.c_str());
            return false;
        }
    }

    run.error.clear();
    // Alpha is reported only to a caller that keeps it.
    GFile* g = openPicture(name, GFILE_KEEP_ALPHA);
    std::string pictureError = run.error;
    run.error.clear();
    SFile* s = nullptr;
    if (!g || g->hasSound || g->kind == GFILE_KIND_SOUND || quarn)
        s = SFileOpen(name.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, statusProc);
    std::string soundError = run.error;

    bool ok = true;
    if (g && g->kind != GFILE_KIND_SOUND) {
        std::printf("  kind: pictures%s\n", s ? " and sound" : "");
        std::printf("  type: %s\n", g->typeName && *g->typeName ? g->typeName : "raw frames");
        std::printf("  size: %d x %d\n", g->sourceWidth, g->sourceHeight);
        std::printf("  depth: %d bits\n", g->bitsPerPixel);
        std::printf("  frames: %d\n", g->framesInRange);
        std::printf("  rate: %s frames per second\n", rateText(g->fileRateNum, g->fileRateDen).c_str());
        std::printf("  alpha: %s\n", g->hasAlpha ? "yes" : "no");
        std::printf("  file size: %llu bytes\n", (unsigned long long)g->fileSize);
    } else if (q) {
        // The pictures of a Quarn file, from its stream, even where they cannot be decoded.
        std::printf("  kind: pictures%s\n", s ? " and sound" : "");
        std::printf("  type: Quarn (revision %c)\n", char(q->revision ? q->revision : '?'));
        std::printf("  size: %u x %u (shown %u x %u)\n", q->width, q->height, q->displayWidth, q->displayHeight);
        std::printf("  depth: %s\n", (q->videoFlags & QUARN_VIDEO_GREY) ? "grey" : "colour");
        std::printf("  frames: %u\n", q->frames);
        std::printf("  rate: %s frames per second\n", rateText(q->rateNum, q->rateDen).c_str());
        std::printf("  alpha: %s\n", q->fileHasAlpha ? "yes" : "no");
        if (!pictureError.empty()) std::printf("  pictures: %s\n", pictureError.c_str());
    } else if (s) {
        std::printf("  kind: sound\n");
        std::printf("  type: %s\n", s->typeName ? s->typeName : "");
    }
    if (q) {
        std::printf("  audio tracks: %u\n", q->audioTracks);
        for (uint32_t t = 0; t < q->audioTracks; ++t) {
            uint32_t f = q->audioFormats[t];
            std::printf("  track %u: identifier %u, %u Hz, %s, %s, %s\n", t, q->trackIds[t], QUARN_AUDIO_RATE(f),
                        (f & QUARN_AUDIO_16BIT) ? "16-bit" : "8-bit", (f & QUARN_AUDIO_STEREO) ? "stereo" : "mono",
                        (f & QUARN_AUDIO_DCT) ? "DCT blocks" : (f & QUARN_AUDIO_DFT) ? "DFT blocks" : "not transform-coded");
        }
        std::printf("  buffer size: %u bytes\n", q->bufferSize);
        std::printf("  preloaded: %s\n", q->preloaded ? "yes" : "no");
    }
    if (s) std::printf("  sound: %s\n", soundText(s).c_str());
    else if (g && g->hasSound && !soundError.empty()) std::printf("  sound: %s\n", soundError.c_str());
    else if (g || (q && q->audioTracks == 0)) std::printf("  sound: none\n");

    if (!g && !s && !q) {
        std::string why = !pictureError.empty() ? pictureError : !soundError.empty() ? soundError : "not a file kro reads";
        std::printf("  error: %s\n", why.c_str());
        ok = false;
    }
    SFileClose(s);
    GFileClose(g);
    QuarnStreamClose(q);
    return ok;
}

int cmdInfo(const std::vector<std::string>& args) {
    if (args.empty()) return usageError("info needs at least one file");
    for (const auto& a : args)
        if (a.size() > 1 && a[0] == '-') return usageError("unknown option " + a);
    bool all = true;
    for (const auto& a : args) all = infoOne(a) && all;
    std::fflush(stdout);
    return all ? 0 : 1;
}

// ---- convert -------------------------------------------------------------------------------

struct Options {
    std::string in, out, sound;
    std::string pictureSwitches, soundSwitches;
    bool replace = false;
    uint32_t blockMs = 0;
};

// The picture switches as the library reads them.
struct PictureArgs {
    int32_t flags = 0, samplingNum = 0, samplingDen = 0, outputNum = 0, outputDen = 0;
    int32_t median = 0, softening = 0, levels = 0, brightness = 100, threshold = 0;
    float gamma = 1.0f;
    int32_t widthSpec = 0, heightSpec = 0, x = 0, y = 0, canvasWidth = 0, canvasHeight = 0;
    int32_t firstFrame = 0, lastFrame = 0, paletteThreshold = 65536, paletteStart = 0, paletteCount = 256;
    int32_t paletteReserve = 0;
    uint8_t paletteOption = 0, conversionMode = 0;
    char paletteFile[KRO_FILE_NAME_SIZE * 4] = {};
};

struct SoundArgs {
    int32_t level = 104, present = 0;
    bool levelGiven = false;
    uint32_t rate = 0, bits = 0, channels = 0, track = 0, rawCode = 0;
    int32_t start = 0, end = 0;
    uint64_t rawOffset = 0;
};

bool parsePicture(const std::string& text, PictureArgs& p, std::string& error) {
    std::vector<char> line = lineOf(text);
    GFileCommandLine(line.data(), &p.flags, &p.samplingNum, &p.samplingDen, &p.outputNum, &p.outputDen, &p.median,
                     &p.softening, &p.levels, &p.brightness, &p.gamma, &p.threshold, &p.widthSpec, &p.heightSpec, &p.x,
                     &p.y, &p.canvasWidth, &p.canvasHeight, &p.firstFrame, &p.lastFrame, &p.paletteThreshold,
                     &p.paletteStart, &p.paletteCount, &p.paletteReserve, &p.paletteOption, &p.conversionMode,
                     p.paletteFile);
    std::string rest = leftover(line);
    if (!rest.empty()) error = "picture switches not understood: " + rest;
    return rest.empty();
}

bool parseSound(const std::string& text, SoundArgs& s, std::string& error) {
    std::vector<char> line = lineOf(text);
    // /L given or not matters for Torvex output, whose default is plain samples.
    {
        std::vector<char> probe = line;
        s.levelGiven = GetSwitchNum(probe.data(), 'L', INT32_MIN) != INT32_MIN;
    }
    CSFileCommandline(line.data(), &s.level, &s.present, &s.rate, &s.bits, &s.channels, &s.start, &s.end, &s.track,
                      &s.rawCode, &s.rawOffset);
    std::string rest = leftover(line);
    if (!rest.empty()) error = "sound switches not understood: " + rest;
    return rest.empty();
}

SFile* openSound(const std::string& name, const SoundArgs& a) {
    return SFileOpen(name.c_str(), a.rate, a.bits, a.channels, a.start, a.end, a.track, a.rawCode, a.rawOffset,
                     statusProc);
}

// Files a failed conversion made are removed: no partial output is left behind.
struct Cleanup {
    std::vector<std::string> files;
    bool keep = false;
    ~Cleanup() {
        if (keep) return;
        for (const auto& f : files) ::unlink(f.c_str());
    }
};

// The Torvex writer's sound source over the library's sound input. Wave files are streamed;
// decoded sources know their length only once decoded, so they are read whole.
class SoundSource : public TorvexSoundSource {
public:
    explicit SoundSource(SFile* s) : sound_(s) {}
    ~SoundSource() override { SFileClose(sound_); }
    bool prepare() {
        if (sound_->kind == SFILE_KIND_WAVE && sound_->sourceRate == sound_->outputRate &&
            sound_->sourceBits == sound_->outputBits && sound_->sourceChannels == sound_->outputChannels) {
            size_ = sound_->totalBytes - sound_->totalBytes % sound_->outputFrameBytes;
            return true;
        }
        std::vector<uint8_t> piece(1 << 16);
        for (uint32_t n; (n = SFileGet(sound_, piece.data(), uint32_t(piece.size()))) != 0;) {
            if (run.cancelled) return false;
            whole_.insert(whole_.end(), piece.begin(), piece.begin() + n);
        }
        size_ = whole_.size();
        return true;
    }
    uint64_t size() const override { return size_; }
    bool read(uint8_t* out, size_t bytes, std::string* error) override {
        if (bytes > size_ - at_) return fail(error, "read past the end of the sound");
        if (!whole_.empty()) {
            std::memcpy(out, whole_.data() + at_, bytes);
            at_ += bytes;
            return true;
        }
        while (bytes) {
            uint32_t n = SFileGet(sound_, out, uint32_t(std::min<size_t>(bytes, size_t(1) << 20)));
            if (n == 0) return fail(error, std::string(sound_->name) + ": the sound ended early");
            out += n;
            bytes -= n;
            at_ += n;
        }
        return true;
    }

private:
    static bool fail(std::string* error, const std::string& text) {
        if (error) *error = text;
        return false;
    }
    SFile* sound_;
    uint64_t size_ = 0, at_ = 0;
    std::vector<uint8_t> whole_;
};

// The pictures of graphics input as the Torvex writer's frame source (it reads them twice).
class PictureFrames : public TorvexFrameSource {
public:
    PictureFrames(GFile* g, const PictureArgs& p) : g_(g), p_(p) {}
    Status next(TorvexWriterFrame* frame, std::string* error) override {
        if (g_->outputFrameCounter >= g_->outputFrameCount) return Status::End;
        if (!GFileGet(g_, p_.median, p_.softening, p_.levels, p_.brightness, p_.gamma, p_.threshold) || run.cancelled) {
            if (error) *error = run.cancelled ? "cancelled" : lastError("cannot read frame " + std::to_string(g_->outputFrameCounter + 1));
            return Status::Failed;
        }
        pass_ == 0 ? progress("Reading frame " + std::to_string(g_->outputFrameCounter) + " of " + std::to_string(g_->outputFrameCount))
                   : progress("Writing frame " + std::to_string(g_->outputFrameCounter) + " of " + std::to_string(g_->outputFrameCount));
        // Canvas rows may be padded: the writer wants them packed.
        size_t w = size_t(g_->canvasWidth);
        pixels_.resize(w * size_t(g_->canvasHeight));
        for (int32_t y = 0; y < g_->canvasHeight; ++y)
            std::memcpy(pixels_.data() + y * w, g_->canvasBuffer + size_t(y) * size_t(g_->canvasPitch), w);
        frame->pixels = pixels_.data();
        frame->palette = g_->workingPalette;
        frame->forcePalette = false;
        return Status::Frame;
    }
    bool rewind(std::string*) override {
        GFileReset(g_);
        ++pass_;
        return true;
    }

private:
    GFile* g_;
    const PictureArgs& p_;
    int pass_ = 0;
    std::vector<uint8_t> pixels_;
};

enum class OutKind { Pictures, Torvex, Wave, Blocks, Quarn };

OutKind outKindOf(const std::string& ext) {
    if (ext == ".tvx") return OutKind::Torvex;
    if (ext == ".wav") return OutKind::Wave;
    if (ext == ".kcs") return OutKind::Blocks;
    if (ext == ".qrn") return OutKind::Quarn;
    return OutKind::Pictures;
}

bool eightBitOnly(const std::string& ext) {
    return ext == ".gif" || ext == ".pcx" || ext == ".flc" || ext == ".fli" || ext == ".tvx";
}

// Asks before replacing an existing file, as graphics output does for its own outputs.
bool mayReplace(const Options& o, const std::string& name) {
    if (o.replace || !exists(name)) return true;
    if (overwrite(name.c_str(), 0)) return true;
    run.declined = true;
    return false;
}

// ---- pictures to graphics output -----------------------------------------------------------

int convertPictures(const Options& o, const PictureArgs& p, const SoundArgs& sa, GFile* g) {
    std::string ext = extensionOf(o.out);
    bool avi = ext == ".avi";
    SFile* sound = nullptr;
    std::unique_ptr<SFile, void (*)(SFile*)> soundHolder(nullptr, SFileClose);
    if (!o.sound.empty() && !avi) return failure(o.out + ": only AVI, Torvex and Quarn outputs carry sound");
    if (avi && (!o.sound.empty() || g->hasSound)) {
        std::string from = o.sound.empty() ? o.in : o.sound;
        run.error.clear();
        sound = openSound(from, sa);
        if (!sound) {
            if (!o.sound.empty()) return failure(from + ": " + lastError("cannot open the sound"));
            std::fprintf(stderr, "kro: warning: %s: the sound is left out: %s\n", from.c_str(), lastError("cannot open it").c_str());
        }
        soundHolder.reset(sound);
    }
    int32_t pitch = g->trueColour ? g->canvasPitch / 4 : g->canvasPitch;
    uint32_t rateNum = uint32_t(std::max(g->outputRateNum, 0)), rateDen = uint32_t(std::max(g->outputRateDen, 0));
    run.error.clear();
    OGFile* out = OGFileCreate(nullptr, o.out.c_str(), uint32_t(g->outputFrameCount), rateNum, rateDen, g->canvasWidth,
                               g->canvasHeight, pitch, statusProc, o.replace ? OGFILE_REPLACE : 0, g->trueColour ? 0 : 1);
    if (!out) {
        if (run.declined) return failure(o.out + ": exists; not replaced (-y replaces it)");
        return failure(o.out + ": " + lastError("cannot create the output"));
    }
    Cleanup cleanup;
    bool stills = out->kind != OGFILE_KIND_AVI && out->kind != OGFILE_KIND_FLIC;
    if (!stills) cleanup.files.push_back(o.out);
    std::vector<uint8_t> pcm;
    auto putSound = [&]() -> bool {
        uint32_t amount = OGFilePutSoundAmount(out, sound->outputRate, sound->outputBits, sound->outputChannels);
        pcm.resize(std::max<size_t>(amount, 1));
        uint32_t got = 0;
        while (got < amount) {
            uint32_t n = SFileGet(sound, pcm.data() + got, amount - got);
            if (n == 0) break;
            got += n;
        }
        // Called for every frame, even with nothing to give: the output counts the calls.
        return OGFilePutSound(out, pcm.data(), got) != 0;
    };
    std::string why;
    int32_t frames = g->outputFrameCount;
    while (g->outputFrameCounter < frames) {
        if (!GFileGet(g, p.median, p.softening, p.levels, p.brightness, p.gamma, p.threshold) || run.cancelled) {
            why = run.cancelled ? "cancelled" : o.in + ": " + lastError("cannot read frame " + std::to_string(g->outputFrameCounter + 1));
            break;
        }
        if (stills) {
            char name[sizeof out->namePattern + 16];
            std::snprintf(name, sizeof name, out->namePattern, int(out->frameCounter));
            cleanup.files.push_back(name);
        }
        if (!OGFilePut(out, g->canvasBuffer, g->trueColour ? nullptr : g->workingPalette)) {
            why = o.out + ": " + lastError("cannot write frame " + std::to_string(g->outputFrameCounter));
            break;
        }
        if (sound && !putSound()) {
            why = o.out + ": " + lastError("cannot write the sound");
            break;
        }
        progress("Frame " + std::to_string(g->outputFrameCounter) + " of " + std::to_string(frames));
        if (run.cancelled) {
            why = "cancelled";
            break;
        }
    }
    // The sound that leads the pictures is behind by the lead at the last frame.
    if (why.empty() && sound) {
        for (int guard = 0; guard < 1000 && out->soundExpected > 0; ++guard) {
            uint64_t before = out->soundDelivered;
            if (!putSound()) {
                why = o.out + ": " + lastError("cannot write the sound");
                break;
            }
            if (out->soundDelivered == before && OGFilePutSoundAmount(out, sound->outputRate, sound->outputBits, sound->outputChannels) == 0)
                break;
        }
    }
    bool failedWrite = out->error != 0;
    uint64_t bytes = OGFileClose(out);
    if (why.empty() && (failedWrite || (!stills && bytes == 0))) why = o.out + ": " + lastError("the output could not be completed");
    if (!why.empty()) return failure(why);
    cleanup.keep = true;
    return 0;
}

// ---- pictures to Torvex --------------------------------------------------------------------

int convertTorvex(const Options& o, const PictureArgs& p, const SoundArgs& sa, GFile* g) {
    if (!mayReplace(o, o.out)) return failure(o.out + ": exists; not replaced (-y replaces it)");
    TorvexWriterOptions options;
    if (g->outputRateNum > 0 && g->outputRateDen > 0) {
        // Hundredths of a millisecond per frame, as a negative field.
        int64_t period = (int64_t(100000) * g->outputRateDen + g->outputRateNum / 2) / g->outputRateNum;
        options.frameRate = -int32_t(std::clamp<int64_t>(period, 1, INT32_MAX));
    }
    std::string error;
    TorvexStreamWriter writer;
    if (!writer.open(o.out, uint32_t(g->canvasWidth), uint32_t(g->canvasHeight), options, &error))
        return failure(o.out + ": " + error);
    std::unique_ptr<SoundSource> sound;
    std::string from = o.sound.empty() && g->hasSound ? o.in : o.sound;
    if (!from.empty()) {
        run.error.clear();
        SFile* s = openSound(from, sa);
        if (!s) return failure(from + ": " + lastError("cannot open the sound"));
        sound = std::make_unique<SoundSource>(s);
        if (!sound->prepare()) return failure(run.cancelled ? "cancelled" : from + ": cannot read the sound");
        TorvexSoundFormat format;
        format.rate = s->outputRate;
        format.bits = s->outputBits;
        format.channels = s->outputChannels;
        if (sa.levelGiven) {
            if (sa.level >= 100 && s->outputBits == 16 && s->outputRate >= 16000) {
                format.coding = sa.level >= 200 ? TorvexAudioCoding::Dft : TorvexAudioCoding::Dct;
                format.quality = uint32_t(sa.level % 100);
            } else {
                format.coding = TorvexAudioCoding::Dpcm;
            }
        }
        if (!writer.setSound(0, format, sound.get(), &error)) return failure(from + ": " + error);
    }
    PictureFrames frames(g, p);
    if (!writer.write(frames, &error)) return failure(error.find(o.in) == 0 || error == "cancelled" ? error : o.out + ": " + error);
    return 0;
}

// ---- pictures to Quarn ---------------------------------------------------------------------

int convertQuarn(const Options& o, const PictureArgs& p, const SoundArgs& sa, GFile* g) {
    if (!mayReplace(o, o.out)) return failure(o.out + ": exists; not replaced (-y replaces it)");
    SFile* sound = nullptr;
    std::unique_ptr<SFile, void (*)(SFile*)> soundHolder(nullptr, SFileClose);
    std::string from = o.sound.empty() && g->hasSound ? o.in : o.sound;
    if (!from.empty()) {
        // The writer codes 16-bit sound.
        SoundArgs s16 = sa;
        s16.bits = 16;
        run.error.clear();
        sound = openSound(from, s16);
        if (!sound) return failure(from + ": " + lastError("cannot open the sound"));
        soundHolder.reset(sound);
    }
    uint32_t rateNum = uint32_t(std::max(g->outputRateNum, 1)), rateDen = uint32_t(std::max(g->outputRateDen, 1));
    uint32_t flags = g->trueColour && g->keepAlpha && g->hasAlpha ? QUARN_WRITE_ALPHA : 0;
    // A key frame about every second keeps seeking short.
    uint32_t keyInterval = std::max<uint32_t>(1, rateNum / rateDen);
    Cleanup cleanup;
    QuarnWriter* w = QuarnWriterCreate(o.out.c_str(), uint32_t(g->canvasWidth), uint32_t(g->canvasHeight), rateNum,
                                       rateDen, flags, uint32_t(g->outputFrameCount), keyInterval);
    if (!w) return failure(o.out + ": cannot create the file");
    cleanup.files.push_back(o.out);
    int32_t track = -1;
    if (sound) {
        uint32_t level = uint32_t(std::max(sa.level, 100));
        track = QuarnWriterAddTrack(w, 0, sound->outputRate, sound->outputChannels, sa.bits == 8 ? 0 : 1,
                                    level >= 200 ? 0 : 1, level % 100);
        if (track < 0) {
            QuarnWriterClose(w);
            return failure(o.out + ": cannot add a sound track of " + std::to_string(sound->outputRate) + " Hz");
        }
    }
    std::vector<uint32_t> frame(size_t(g->canvasWidth) * size_t(g->canvasHeight));
    std::vector<uint8_t> pcm;
    uint64_t soundFrames = 0;
    std::string why;
    int32_t frames = g->outputFrameCount;
    while (g->outputFrameCounter < frames) {
        if (!GFileGet(g, p.median, p.softening, p.levels, p.brightness, p.gamma, p.threshold) || run.cancelled) {
            why = run.cancelled ? "cancelled" : o.in + ": " + lastError("cannot read frame " + std::to_string(g->outputFrameCounter + 1));
            break;
        }
        if (sound) {
            // The sound due by the end of this frame, counted from the start so no rounding piles up.
            uint64_t due = uint64_t(sound->outputRate) * uint64_t(g->outputFrameCounter) * rateDen / rateNum;
            uint64_t bytes = (due - std::min(due, soundFrames)) * sound->outputFrameBytes;
            pcm.resize(size_t(bytes));
            uint32_t got = 0;
            while (got < bytes) {
                uint32_t n = SFileGet(sound, pcm.data() + got, uint32_t(bytes - got));
                if (n == 0) break;
                got += n;
            }
            soundFrames = due;
            if (got && !QuarnWriterPutAudio(w, uint32_t(track), pcm.data(), got)) {
                why = o.out + ": cannot write the sound";
                break;
            }
        }
        const uint32_t* pixels;
        int32_t pitch;
        if (g->trueColour) {
            pixels = reinterpret_cast<const uint32_t*>(g->canvasBuffer);
            pitch = g->canvasPitch;
        } else {
            // 8-bit canvases (palette switches given) through their palette.
            const uint8_t* pal = g->workingPalette;
            for (int32_t y = 0; y < g->canvasHeight; ++y)
                for (int32_t x = 0; x < g->canvasWidth; ++x) {
                    uint8_t i = g->canvasBuffer[size_t(y) * size_t(g->canvasPitch) + size_t(x)];
                    frame[size_t(y) * size_t(g->canvasWidth) + size_t(x)] =
                        uint32_t(pal[i * 3]) << 16 | uint32_t(pal[i * 3 + 1]) << 8 | pal[i * 3 + 2];
                }
            pixels = frame.data();
            pitch = g->canvasWidth * 4;
        }
        if (!QuarnWriterPutFrame(w, pixels, pitch)) {
            why = o.out + ": cannot write frame " + std::to_string(g->outputFrameCounter);
            break;
        }
        progress("Frame " + std::to_string(g->outputFrameCounter) + " of " + std::to_string(frames));
        if (run.cancelled) {
            why = "cancelled";
            break;
        }
    }
    bool closed = QuarnWriterClose(w) != 0;
    if (why.empty() && !closed) why = o.out + ": the output could not be completed";
    if (!why.empty()) return failure(why);
    cleanup.keep = true;
    return 0;
}

// ---- sound alone ---------------------------------------------------------------------------

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

bool writeAll(FILE* f, const void* data, size_t n) { return n == 0 || std::fwrite(data, 1, n, f) == n; }

int convertWave(const Options& o, const SoundArgs& sa, const std::string& from) {
    run.error.clear();
    SFile* s = openSound(from, sa);
    if (!s) return failure(from + ": " + lastError("cannot open the sound"));
    std::unique_ptr<SFile, void (*)(SFile*)> holder(s, SFileClose);
    if (!mayReplace(o, o.out)) return failure(o.out + ": exists; not replaced (-y replaces it)");
    Cleanup cleanup;
    FILE* f = std::fopen(o.out.c_str(), "wb");
    if (!f) return failure(o.out + ": cannot create the file: " + std::strerror(errno));
    cleanup.files.push_back(o.out);
    std::vector<uint8_t> header;
    auto headerFor = [&](uint64_t dataBytes) {
        uint32_t d = uint32_t(std::min<uint64_t>(dataBytes, 0xFFFFFFFFull - 36));
        header.clear();
        header.insert(header.end(), {'R', 'I', 'F', 'F'});
        put32(header, 36 + d);
        header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
        put32(header, 16);
        put16(header, 1);
        put16(header, s->outputChannels);
        put32(header, s->outputRate);
        put32(header, s->outputRate * s->outputFrameBytes);
        put16(header, s->outputFrameBytes);
        put16(header, s->outputBits);
        header.insert(header.end(), {'d', 'a', 't', 'a'});
        put32(header, d);
    };
    headerFor(0);
    bool ok = writeAll(f, header.data(), header.size());
    std::vector<uint8_t> piece(1 << 16);
    uint64_t total = 0;
    const uint64_t most = 0xFFFFFFFFull - 36;
    for (uint32_t n; ok && (n = SFileGet(s, piece.data(), uint32_t(piece.size()))) != 0;) {
        if (total + n > most) {
            std::fclose(f);
            return failure(o.out + ": the sound is too long for a WAV file");
        }
        ok = writeAll(f, piece.data(), n);
        total += n;
        progress("Sound: " + std::to_string(total / std::max<uint32_t>(s->outputFrameBytes, 1)) + " sample frames");
        if (run.cancelled) {
            std::fclose(f);
            return failure("cancelled");
        }
    }
    if (ok && total % 2) ok = writeAll(f, "", 1);  // chunks are padded to an even size
    headerFor(total);
    ok = ok && std::fseek(f, 0, SEEK_SET) == 0 && writeAll(f, header.data(), header.size());
    ok = std::fflush(f) == 0 && ok;
    int err = errno;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) return failure(o.out + ": cannot write the file: " + std::strerror(err ? err : EIO));
    cleanup.keep = true;
    return 0;
}

// Coded sound blocks: a 16-byte header ("KCS1", rate, bits and channels, level, block count),
// then per block its coded length, its sample bytes and the coded bytes as sound conversion
// writes them; a block of length 0 ends the file (all words little-endian).
int convertBlocks(const Options& o, const SoundArgs& sa, const std::string& from) {
    run.error.clear();
    CSFile* c = CSFileOpen(from.c_str(), sa.level, 0, 0, 0, 0, sa.rate, sa.bits, sa.channels, sa.start, sa.end,
                           sa.track, sa.rawCode, sa.rawOffset, statusProc);
    if (!c) return failure(from + ": " + lastError("cannot open the sound"));
    std::unique_ptr<CSFile, void (*)(CSFile*)> holder(c, CSFileClose);
    if (!mayReplace(o, o.out)) return failure(o.out + ": exists; not replaced (-y replaces it)");
    Cleanup cleanup;
    KroFile* f = KroFileCreate(1 << 16, o.out.c_str());
    if (!f) return failure(o.out + ": cannot create the file");
    cleanup.files.push_back(o.out);
    CSFileSetOutput(c, f);
    SFile* s = c->sound;
    KroFilePut(f, "KCS1", 4);
    KroFilePut32(f, s->outputRate);
    KroFilePut8(f, s->outputBits);
    KroFilePut8(f, s->outputChannels);
    KroFilePut16(f, uint32_t(sa.level) & 0xFFFF);
    uint64_t countAt = KroFileGetPos(f);
    KroFilePut32(f, 0);
    // The whole sound is one run, cut into pieces of the block length (default a second).
    uint64_t blockBytes = uint64_t(s->outputRate) * s->outputFrameBytes * (o.blockMs ? o.blockMs : 1000) / 1000;
    blockBytes -= blockBytes % s->outputFrameBytes;
    blockBytes = std::clamp<uint64_t>(blockBytes, s->outputFrameBytes, 1u << 24);
    uint32_t blocks = 0;
    while (!f->write_error) {
        uint64_t at = KroFileGetPos(f);
        KroFilePut32(f, 0);
        KroFilePut32(f, 0);
        uint32_t written = CSFilePut(c, uint32_t(blockBytes));
        if (written == 0) break;  // the sound ended: the empty block stays as the end mark
        KroFileByteAlign(f);
        uint64_t end = KroFileGetPos(f);
        KroFileSetPos(f, at);
        KroFilePut32(f, uint32_t(end - at - 8));
        KroFilePut32(f, c->lastDelivered);
        KroFileSetPos(f, end);
        ++blocks;
        progress("Sound block " + std::to_string(blocks));
        if (run.cancelled) break;
    }
    uint64_t end = KroFileGetPos(f);
    KroFileSetPos(f, countAt);
    KroFilePut32(f, blocks);
    KroFileSetPos(f, end);
    KroFileFlush(f, 1);
    bool ok = !f->write_error;
    KroFileClose(f);
    if (run.cancelled) return failure("cancelled");
    if (!ok) return failure(o.out + ": cannot write the file");
    cleanup.keep = true;
    return 0;
}

int cmdConvert(const std::vector<std::string>& args, bool replace) {
    Options o;
    o.replace = replace;
    std::vector<std::string> pos;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        std::string v;
        if (a == "--sound") {
            if (!value(o.sound)) return usageError("--sound needs a sound file");
        } else if (a == "-p") {
            if (!value(v)) return usageError("-p needs the picture switches");
            o.pictureSwitches += " " + v;
        } else if (a == "-s") {
            if (!value(v)) return usageError("-s needs the sound switches");
            o.soundSwitches += " " + v;
        } else if (a == "-b") {
            if (!value(v) || v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 7)
                return usageError("-b needs a block length in milliseconds");
            o.blockMs = uint32_t(std::stoul(v));
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option " + a);
        } else {
            pos.push_back(a);
        }
    }
    if (pos.size() != 2) return usageError("convert takes an input and an output file");
    o.in = pos[0];
    o.out = pos[1];
    PictureArgs p;
    SoundArgs sa;
    std::string error;
    if (!parsePicture(o.pictureSwitches, p, error) || !parseSound(o.soundSwitches, sa, error)) return usageError(error);

    std::string ext = extensionOf(o.out);
    if (ext.empty()) return usageError(o.out + ": the output needs an extension that names its kind");
    OutKind kind = outKindOf(ext);
    if (isDirectory(o.in)) return failure(o.in + ": is a folder");
    // Numbered sequences ("shot????.png*1") name no file of their own.
    bool pattern = o.in.find_first_of("?*") != std::string::npos;
    if (!pattern && !exists(o.in) && extensionOf(o.in) != "") return failure(o.in + ": no such file");
    if (isDirectory(o.out)) return failure(o.out + ": is a folder");
    if (sameFile(o.in, o.out) || (!o.sound.empty() && sameFile(o.sound, o.out)))
        return failure(o.out + ": the output would replace an input");

    if (kind == OutKind::Wave || kind == OutKind::Blocks) {
        std::string from = o.sound.empty() ? o.in : o.sound;
        openStatus("kro convert", from + " to " + o.out);
        int rc = kind == OutKind::Wave ? convertWave(o, sa, from) : convertBlocks(o, sa, from);
        closeStatus();
        return rc;
    }

    if (eightBitOnly(ext) && (p.flags & GFILE_PALETTE_MASK) == 0) p.flags |= 1;
    run.error.clear();
    GFile* g = GFileOpen(o.in.c_str(), p.flags, p.samplingNum, p.samplingDen, p.outputNum, p.outputDen, p.widthSpec,
                         p.heightSpec, p.x, p.y, p.canvasWidth, p.canvasHeight, p.firstFrame, p.lastFrame,
                         p.paletteThreshold, p.paletteStart, p.paletteCount, p.paletteReserve, p.paletteOption,
                         p.conversionMode, p.paletteFile, "Converting", statusProc);
    if (!g) return failure(o.in + ": " + lastError("cannot read the pictures"));
    std::unique_ptr<GFile, void (*)(GFile*)> holder(g, GFileClose);
    if (g->kind == GFILE_KIND_SOUND)
        return failure(o.in + ": has no pictures (convert its sound to .wav or .kcs)");
    if (g->outputFrameCount <= 0) return failure(o.in + ": no frames in the range");
    openStatus("kro convert", o.in + " to " + o.out);
    int rc = kind == OutKind::Torvex  ? convertTorvex(o, p, sa, g)
             : kind == OutKind::Quarn ? convertQuarn(o, p, sa, g)
                                      : convertPictures(o, p, sa, g);
    closeStatus();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool replace = false;
    std::vector<std::string> rest;
    for (const auto& a : args) {
        if (a == "-y") replace = true;
        else if (a == "-q") run.quiet = true;
        else if (a == "--window") run.window = true;
        else rest.push_back(a);
    }
    if (rest.empty()) return usageError("no command");
    if (rest[0] == "--help" || rest[0] == "-h" || rest[0] == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // The status window is a line on a terminal unless a window is asked for.
    if (run.window) setenv("TORVEX_VIDEO", "sdl", 1);
    else setenv("TORVEX_VIDEO", "headless", 1);
    std::string command = rest[0];
    rest.erase(rest.begin());
    if (command == "info") return cmdInfo(rest);
    if (command == "convert") return cmdConvert(rest, replace);
    return usageError("unknown command " + command);
}
