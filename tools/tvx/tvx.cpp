// tvx: the Torvex file tool (info, dump, encode, play).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bytes/byte_order.h"
#include "codec/audio/sound_backend.h"
#include "codec/torvex_tracks.h"
#include "codec/torvex.h"
#include "encoder/torvex_writer.h"
#include "kroutil/sfile.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/display.h"
#include "platform/window.h"

namespace fs = std::filesystem;

namespace {

const char* kUsage =
    "usage: tvx COMMAND ...\n"
    "  tvx info FILE                      header, sizes, rate, tracks and buffering of a file\n"
    "  tvx dump FILE OUTDIR [--frames N]  decode in play order to OUTDIR/frame_kkkkk.idx/.pal,\n"
    "                                     OUTDIR/track_T.pcm per sound track (the stored\n"
    "                                     frames' sound once) and OUTDIR/info.json (N past\n"
    "                                     the end loops)\n"
    "  tvx encode --frames DIR OUT.tvx [--rate R] [--version 2|4] [--ring]\n"
    "             [--interlaced|--doubled] [--size WxH]\n"
    "             [--audio T=FILE.wav[,raw|dpcm|dct:Q|dft:Q]]...\n"
    "                                     write frame_*.idx/.pal files as a Torvex file, with\n"
    "                                     sound track T (0..6) from a PCM WAV file or any sound\n"
    "                                     the library reads (default raw)\n"
    "                                     .idx: one byte per pixel; .pal: 768 bytes of 8-bit red,\n"
    "                                     green, blue, stored with 6 bits per channel (the low\n"
    "                                     two bits of each are dropped)\n"
    "                                     --rate R: the frame-rate field: R > 0 is R milliseconds\n"
    "                                     per frame, R < 0 is -R hundredths of a millisecond per\n"
    "                                     frame, 0 plays unpaced (default 66, or info.json's)\n"
    "                                     dct:Q, dft:Q: transform quality Q, 0 (best) .. 99: 0 to\n"
    "                                     about 4 keep the sound (15 to 19 dB signal to noise on\n"
    "                                     music), 20 keeps a rough trace of it, 50 and above\n"
    "                                     keep none of it (silence); raw and dpcm are lossless\n"
    "  tvx play FILE [--track T] [--no-sound] [--scale N]\n"
    "                                     play in a window with its sound (Escape stops);\n"
    "                                     TORVEX_VIDEO and TORVEX_AUDIO choose the devices\n"
    "  tvx --help                         this text\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "tvx: %s\n%s", message.c_str(), kUsage);
    return 2;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "tvx: %s\n", message.c_str());
    return 1;
}

bool readWhole(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool writeWhole(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(static_cast<const char*>(data), std::streamsize(size));
    return bool(out);
}

// Why a file did not open: missing, not Torvex, or damaged.
std::string openFailure(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot open " + path;
    char magic[4] = {};
    in.read(magic, 4);
    if (in.gcount() < 4 || std::memcmp(magic, "TVX", 3) != 0 || (magic[3] != '2' && magic[3] != '4'))
        return path + ": not a Torvex file";
    return path + ": damaged or truncated Torvex file (header, tables or trees unusable)";
}

TorvexFile* openFile(const std::string& path, std::string& error) {
    TorvexFile* f = TorvexOpen(path.c_str(), 0, -1);
    if (!f) error = openFailure(path);
    return f;
}

uint32_t storedHeight(const TorvexFile* f) {
    return (f->openFlags & kTvxForceNormal) ? f->header.height / 2 : f->header.height;
}

std::string rateText(int32_t rate) {
    char buf[96];
    if (rate == 0) return "0 (no pacing)";
    double period = rate > 0 ? rate : -double(rate) / 100.0;  // milliseconds
    std::snprintf(buf, sizeof buf, "%d (%.3f ms per frame, %.3f frames/s)", rate, period, 1000.0 / period);
    return buf;
}

// A track's format word, as the decoder reads it.
struct TrackFormat {
    bool used = false;
    uint32_t rate = 0, channels = 1, bits = 8;
    const char* coding = "raw";      // info.json
    const char* codingText = "raw";  // tvx info
};

TrackFormat trackFormat(uint32_t a) {
    TrackFormat tf;
    // The decoder opens a track that has data (or is transform coded) at a nonzero rate.
    tf.used = (a & 0x40000000u || a & 0x04000000u) && (a & 0xFFFFFF);
    tf.rate = a & 0xFFFFFF;
    tf.channels = (a & 0x10000000u) ? 2 : 1;
    tf.bits = (a & 0x20000000u) ? 16 : 8;
    if (a & 0x04000000u) {
        tf.coding = "dct";
        tf.codingText = "transform DCT";
    } else if (a & 0x08000000u) {
        tf.coding = "dft";
        tf.codingText = "transform real-DFT";
    } else if (a & 0x80000000u) {
        tf.coding = "dpcm";
        tf.codingText = "DPCM";
    }
    return tf;
}

int cmdInfo(const std::vector<std::string>& args) {
    if (args.size() != 1) return usageError("info takes one file");
    std::string error;
    TorvexFile* f = openFile(args[0], error);
    if (!f) return failure(error);
    const TorvexHeader& h = f->header;
    std::printf("file:            %s\n", args[0].c_str());
    std::printf("magic:           %.4s (bitstream version %c)\n", h.magic, h.magic[3]);
    std::printf("stored size:     %u x %u\n", h.width, storedHeight(f));
    const char* display = (f->openFlags & kTvxForceNormal) == kTvxForceInterlaced ? "interlaced"
                          : (f->openFlags & kTvxForceNormal) == kTvxForceDoubled ? "doubled"
                                                                                 : "normal";
    std::printf("displayed size:  %u x %u (%s)\n", h.width, h.height, display);
    std::printf("frames:          %u%s\n", h.frames, (h.flags & kTvxHasRing) ? " + ring frame" : "");
    std::printf("frame rate:      %s\n", rateText(h.frameRate).c_str());
    std::printf("flags:           0x%X\n", h.flags);
    std::printf("tree data:       %u bytes; node storage map %u, colour %u, full %u, type %u\n", h.treeDataSize,
                h.mapTreeSize, h.colourTreeSize, h.fullTreeSize, h.typeTreeSize);
    int tracks = 0;
    for (int t = 0; t < kTvxTracks; ++t) {
        TrackFormat tf = trackFormat(h.audioFormat[t]);
        if (!tf.used) continue;
        ++tracks;
        std::printf("track %d:         %u Hz, %s, %u-bit, %s, largest chunk %u bytes\n", t, tf.rate,
                    tf.channels == 2 ? "stereo" : "mono", tf.bits, tf.codingText, h.audioChunkSize[t]);
    }
    if (!tracks) std::printf("tracks:          none\n");
    std::printf("largest frame:   %u bytes\n", f->largestFrame);
    std::printf("one-second peak: %u bytes from frame %u\n", f->peakSecond, f->peakSecondStart);
    std::printf("average frame:   %u bytes\n", f->stats.averageFrameSize);
    if (f->openFlags & kTvxLoadAll) std::printf("buffering:       load-all (%u bytes)\n", f->frameBufferSize);
    else std::printf("buffering:       ring of %u bytes, frame buffer %u bytes\n", f->ringSize, f->frameBufferSize);
    TorvexClose(f);
    return 0;
}

// Appends the current frame's sound of track t, as the library extracts it, to pcm.
void appendTrackAudio(TorvexFile* f, int t, std::vector<uint8_t>& pcm) {
    uint32_t room = TorvexExtractRoom(1u << t, f);
    if (room == 0) return;
    size_t at = pcm.size();
    pcm.resize(at + room);
    uint32_t got = TorvexExtractAudio(1u << t, f, pcm.data() + at, room);
    pcm.resize(at + got);
}

int cmdDump(const std::vector<std::string>& args) {
    std::vector<std::string> pos;
    long long played = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--frames") {
            if (i + 1 >= args.size()) return usageError("--frames needs a number");
            char* end = nullptr;
            played = std::strtoll(args[++i].c_str(), &end, 10);
            if (*end || played < 0) return usageError("--frames needs a number");
        } else {
            pos.push_back(args[i]);
        }
    }
    if (pos.size() != 2) return usageError("dump takes a file and an output folder");
    std::string error;
    TorvexFile* f = openFile(pos[0], error);
    if (!f) return failure(error);
    const TorvexHeader& h = f->header;
    uint32_t w = h.width, dh = h.height;
    if (played < 0) played = f->tableCount;
    std::error_code ec;
    bool madeFolder = !fs::exists(pos[1], ec);
    fs::create_directories(pos[1], ec);
    if (!fs::is_directory(pos[1])) {
        TorvexClose(f);
        return failure("cannot create " + pos[1]);
    }
    // A dump that fails leaves nothing behind of what it wrote.
    std::vector<std::string> created;
    auto abandon = [&](const std::string& message) {
        TorvexClose(f);
        for (const auto& name : created) fs::remove(name, ec);
        if (madeFolder) fs::remove(pos[1], ec);
        return failure(message);
    };
    std::vector<uint8_t> picture(size_t(w) * dh, 0);
    if (!picture.empty()) TorvexSetTarget(f, 0, 0, int32_t(w), int32_t(dh), picture.data(), 0);
    std::vector<int> flags;
    std::vector<uint8_t> sound[kTvxTracks];
    for (long long k = 0; k < played; ++k) {
        TorvexDecodeFrame(f);
        while (TorvexNextDirtyRect(f, 0)) {
        }
        if (f->readError) return abandon(pos[0] + ": truncated or damaged at frame " + std::to_string(k));
        // The track files hold each stored frame's sound once: the ring frame and looped
        // frames repeat sound already there.
        for (int t = 0; t < kTvxTracks && k < (long long)h.frames; ++t)
            if (trackFormat(h.audioFormat[t]).used) appendTrackAudio(f, t, sound[t]);
        flags.push_back(f->newPalette ? 1 : 0);
        char name[32];
        std::snprintf(name, sizeof name, "frame_%05lld", k);
        std::string base = pos[1] + "/" + name;
        created.push_back(base + ".idx");
        created.push_back(base + ".pal");
        if (!writeWhole(base + ".idx", picture.data(), picture.size()) || !writeWhole(base + ".pal", f->palette, 768))
            return abandon("cannot write " + base);
        TorvexAdvance(f);
    }
    std::ostringstream js;
    js << "{\n  \"magic\": \"" << std::string(h.magic, 4) << "\",\n";
    js << "  \"width\": " << h.width << ",\n  \"height\": " << storedHeight(f) << ",\n";
    js << "  \"frames\": " << h.frames << ",\n  \"frame_rate\": " << h.frameRate << ",\n";
    js << "  \"flags\": " << h.flags << ",\n";
    js << "  \"audio_chunk_sizes\": [";
    for (int t = 0; t < kTvxTracks; ++t) js << (t ? ", " : "") << h.audioChunkSize[t];
    js << "],\n  \"tree_data_size\": " << h.treeDataSize << ",\n";
    js << "  \"tree_sizes\": [" << h.mapTreeSize << ", " << h.colourTreeSize << ", " << h.fullTreeSize << ", "
       << h.typeTreeSize << "],\n";
    js << "  \"audio_formats\": [";
    for (int t = 0; t < kTvxTracks; ++t) js << (t ? ", " : "") << h.audioFormat[t];
    js << "],\n  \"reserved\": " << h.reserved << ",\n";
    js << "  \"displayed_width\": " << w << ",\n  \"displayed_height\": " << dh << ",\n";
    js << "  \"played\": " << played << ",\n  \"new_palette\": [";
    for (size_t k = 0; k < flags.size(); ++k) js << (k ? ", " : "") << flags[k];
    js << "],\n  \"tracks\": [";
    bool firstTrack = true;
    for (int t = 0; t < kTvxTracks; ++t) {
        TrackFormat tf = trackFormat(h.audioFormat[t]);
        if (!tf.used) continue;
        js << (firstTrack ? "\n" : ",\n") << "    {\"track\": " << t << ", \"rate\": " << tf.rate
           << ", \"channels\": " << tf.channels << ", \"bits\": " << tf.bits << ", \"coding\": \"" << tf.coding
           << "\", \"pcm_bytes\": " << sound[t].size() << "}";
        firstTrack = false;
        std::string name = pos[1] + "/track_" + std::to_string(t) + ".pcm";
        created.push_back(name);
        if (!writeWhole(name, sound[t].data(), sound[t].size())) return abandon("cannot write " + name);
    }
    js << (firstTrack ? "]\n}\n" : "\n  ]\n}\n");
    std::string text = js.str();
    created.push_back(pos[1] + "/info.json");
    if (!writeWhole(pos[1] + "/info.json", text.data(), text.size())) return abandon("cannot write info.json");
    TorvexClose(f);
    return 0;
}

// The few info.json fields encode reads back: numbers, strings and arrays of numbers.
struct Info {
    std::map<std::string, std::string> values;
    std::map<std::string, std::vector<long long>> arrays;
    bool has(const std::string& k) const { return values.count(k) > 0; }
    long long number(const std::string& k) const { return std::atoll(values.at(k).c_str()); }
};

// Steps over one string, or one object or list with everything nested in it.
bool skipValue(const std::string& text, size_t& i) {
    int depth = 0;
    bool inString = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') {
                inString = false;
                if (depth == 0) {
                    ++i;
                    return true;
                }
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth == 0) {
                ++i;
                return true;
            }
            if (depth < 0) return false;
        }
    }
    return false;
}

bool parseInfo(const std::string& text, Info& info) {
    size_t i = 0;
    auto skip = [&] {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    };
    skip();
    if (i >= text.size() || text[i] != '{') return false;
    ++i;
    for (;;) {
        skip();
        if (i < text.size() && text[i] == '}') return true;
        if (i >= text.size() || text[i] != '"') return false;
        size_t end = text.find('"', i + 1);
        if (end == std::string::npos) return false;
        std::string key = text.substr(i + 1, end - i - 1);
        i = end + 1;
        skip();
        if (i >= text.size() || text[i] != ':') return false;
        ++i;
        skip();
        if (i < text.size() && text[i] == '[') {
            ++i;
            std::vector<long long> list;
            for (;;) {
                skip();
                if (i < text.size() && text[i] == ']') {
                    ++i;
                    break;
                }
                if (i < text.size() && (text[i] == '{' || text[i] == '"')) {
                    // Objects and strings in lists (the track descriptions) are not read back.
                    if (!skipValue(text, i)) return false;
                } else {
                    char* stop = nullptr;
                    long long v = std::strtoll(text.c_str() + i, &stop, 10);
                    if (stop == text.c_str() + i) return false;
                    list.push_back(v);
                    i = size_t(stop - text.c_str());
                }
                skip();
                if (i < text.size() && text[i] == ',') ++i;
            }
            info.arrays[key] = list;
        } else if (i < text.size() && text[i] == '"') {
            size_t close = text.find('"', i + 1);
            if (close == std::string::npos) return false;
            info.values[key] = text.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            size_t start = i;
            while (i < text.size() && text[i] != ',' && text[i] != '}' && !std::isspace(static_cast<unsigned char>(text[i])))
                ++i;
            info.values[key] = text.substr(start, i - start);
        }
        skip();
        if (i < text.size() && text[i] == ',') ++i;
    }
}

// ---- sound input --------------------------------------------------------------------------------

// The library reports why a sound cannot be opened through its status callback; the tool runs
// one open at a time.
std::string gSoundMessage;
int32_t keepSoundMessage(const char* text, int32_t level) {
    if (level == 2 && text) gSoundMessage = text;
    return 0;
}

// A track's sound read through the library's sound input, a piece at a time as the writer
// cuts it into the frames' chunks, so that it is never all in memory. The PCM is passed on as
// the source stores it (8-bit unsigned or 16-bit signed, mono or stereo, at its own rate).
class SoundInput : public TorvexSoundSource {
public:
    ~SoundInput() override { SFileClose(sound_); }

    // False with a message when the file holds no sound the library reads.
    bool open(const std::string& path, TorvexSoundFormat& format, std::string& error) {
        gSoundMessage.clear();
        sound_ = SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, keepSoundMessage);
        if (!sound_) {
            error = path + ": " + (gSoundMessage.empty() ? "cannot open the sound" : gSoundMessage);
            return false;
        }
        format.rate = sound_->outputRate;
        format.channels = sound_->outputChannels;
        format.bits = sound_->outputBits;
        if (sound_->kind == SFILE_KIND_WAVE) {
            size_ = sound_->totalBytes;
        } else {
            // Decoded sources know their length only once decoded: read them whole.
            std::vector<uint8_t> piece(1 << 16);
            for (uint32_t n; (n = SFileGet(sound_, piece.data(), uint32_t(piece.size()))) != 0;)
                whole_.insert(whole_.end(), piece.begin(), piece.begin() + n);
            size_ = whole_.size();
        }
        if (size_ < sound_->outputFrameBytes) {
            error = path + ": no sample data";
            return false;
        }
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
            uint32_t want = uint32_t(std::min<size_t>(bytes, size_t(1) << 20));
            uint32_t n = SFileGet(sound_, out, want);
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
    SFile* sound_ = nullptr;
    uint64_t size_ = 0, at_ = 0;
    std::vector<uint8_t> whole_;
};

// "T=FILE.wav[,raw|dpcm|dct:Q|dft:Q]"
bool parseAudioOption(const std::string& v, int& track, std::string& file, TorvexAudioCoding& coding,
                      uint32_t& quality) {
    if (v.size() < 3 || v[0] < '0' || v[0] > '6' || v[1] != '=') return false;
    track = v[0] - '0';
    file = v.substr(2);
    coding = TorvexAudioCoding::Raw;
    quality = 0;
    size_t comma = file.rfind(',');
    if (comma == std::string::npos) return !file.empty();
    std::string spec = file.substr(comma + 1);
    file.resize(comma);
    if (file.empty()) return false;
    if (spec == "raw") return true;
    if (spec == "dpcm") {
        coding = TorvexAudioCoding::Dpcm;
        return true;
    }
    if (spec.size() < 5 || spec[3] != ':' || (spec.compare(0, 3, "dct") != 0 && spec.compare(0, 3, "dft") != 0))
        return false;
    coding = spec[1] == 'c' ? TorvexAudioCoding::Dct : TorvexAudioCoding::Dft;
    std::string q = spec.substr(4);
    if (q.size() > 2 || !std::all_of(q.begin(), q.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    quality = uint32_t(std::atoi(q.c_str()));
    return true;
}

// The frame_*.idx/.pal files of a folder as a frame source; a dump's new_palette flags say
// which frames carry a palette chunk even though nothing changed.
class FolderFrames : public TorvexFrameSource {
public:
    FolderFrames(const std::string& dir, const std::vector<std::string>& names, size_t count, uint32_t width,
                 uint32_t height, const std::vector<long long>* flags)
        : dir_(dir), names_(names), count_(count), width_(width), height_(height), flags_(flags) {}

    Status next(TorvexWriterFrame* frame, std::string* error) override {
        if (at_ >= count_) return Status::End;
        std::string base = dir_ + "/" + names_[at_];
        if (!readWhole(base + ".idx", pixels_)) return failed(error, "cannot read " + base + ".idx");
        if (pixels_.size() != size_t(width_) * height_)
            return failed(error, base + ".idx has " + std::to_string(pixels_.size()) + " bytes, not " +
                                     std::to_string(width_) + " x " + std::to_string(height_));
        if (!readWhole(base + ".pal", palette_) || palette_.size() != 768)
            return failed(error, base + ".pal is missing or not 768 bytes");
        frame->pixels = pixels_.data();
        frame->palette = palette_.data();
        frame->forcePalette = flags_ && at_ < flags_->size() && (*flags_)[at_] != 0;
        ++at_;
        return Status::Frame;
    }
    bool rewind(std::string*) override {
        at_ = 0;
        return true;
    }

private:
    static Status failed(std::string* error, const std::string& message) {
        if (error) *error = message;
        return Status::Failed;
    }
    std::string dir_;
    const std::vector<std::string>& names_;
    size_t count_, at_ = 0;
    uint32_t width_, height_;
    const std::vector<long long>* flags_;
    std::vector<uint8_t> pixels_, palette_;
};

int cmdEncode(const std::vector<std::string>& args) {
    std::string dir;
    std::vector<std::string> pos;
    std::string rate, version, size;
    bool ring = false, interlaced = false, doubled = false;
    struct AudioOption {
        int track = 0;
        std::string file;
        TorvexAudioCoding coding = TorvexAudioCoding::Raw;
        uint32_t quality = 0;
    };
    std::vector<AudioOption> audio;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        if (a == "--frames") {
            if (!value(dir)) return usageError("--frames needs a folder");
        } else if (a == "--rate") {
            if (!value(rate)) return usageError("--rate needs a number");
        } else if (a == "--version") {
            if (!value(version)) return usageError("--version needs 2 or 4");
        } else if (a == "--size") {
            if (!value(size)) return usageError("--size needs WxH");
        } else if (a == "--audio") {
            std::string v;
            if (!value(v)) return usageError("--audio needs TRACK=FILE.wav[,raw|dpcm|dct:Q|dft:Q]");
            AudioOption o;
            if (!parseAudioOption(v, o.track, o.file, o.coding, o.quality))
                return usageError("--audio needs TRACK=FILE.wav[,raw|dpcm|dct:Q|dft:Q] (TRACK 0..6, Q 0..99), not " + v);
            for (const auto& other : audio)
                if (other.track == o.track) return usageError("--audio gives track " + std::to_string(o.track) + " twice");
            audio.push_back(o);
        } else if (a == "--ring") {
            ring = true;
        } else if (a == "--interlaced") {
            interlaced = true;
        } else if (a == "--doubled") {
            doubled = true;
        } else if (!a.empty() && a[0] == '-') {
            return usageError("unknown option " + a);
        } else {
            pos.push_back(a);
        }
    }
    if (dir.empty() || pos.size() != 1) return usageError("encode takes --frames DIR and an output file");
    if (interlaced && doubled) return usageError("--interlaced and --doubled exclude each other");

    Info info;
    bool haveInfo = false;
    std::vector<uint8_t> text;
    if (readWhole(dir + "/info.json", text)) {
        if (!parseInfo(std::string(text.begin(), text.end()), info)) return failure(dir + "/info.json is not readable");
        haveInfo = true;
    }
    TorvexWriterOptions options;
    uint32_t width = 0, height = 0;
    if (haveInfo) {
        if (info.has("displayed_width")) width = uint32_t(info.number("displayed_width"));
        if (info.has("displayed_height")) height = uint32_t(info.number("displayed_height"));
        if (info.has("frame_rate")) options.frameRate = int32_t(info.number("frame_rate"));
        if (info.has("magic") && info.values["magic"] == "TVX4") options.version = 4;
        if (info.has("flags")) {
            long long fl = info.number("flags");
            if (fl & kTvxHasRing) options.ring = true;
            if ((fl & 6) == kTvxInterlaced) options.display = TorvexDisplay::Interlaced;
            if ((fl & 6) == kTvxDoubled) options.display = TorvexDisplay::Doubled;
        }
    }
    if (!size.empty()) {
        unsigned w = 0, hgt = 0;
        if (std::sscanf(size.c_str(), "%ux%u", &w, &hgt) != 2 || !w || !hgt) return usageError("--size needs WxH");
        width = w;
        height = hgt;
    }
    if (!rate.empty()) {
        char* end = nullptr;
        long v = std::strtol(rate.c_str(), &end, 10);
        if (*end) return usageError("--rate needs a number");
        options.frameRate = int32_t(v);
    }
    if (!version.empty()) {
        if (version != "2" && version != "4") return usageError("--version needs 2 or 4");
        options.version = version == "4" ? 4 : 2;
    }
    if (ring) options.ring = true;
    if (interlaced) options.display = TorvexDisplay::Interlaced;
    if (doubled) options.display = TorvexDisplay::Doubled;
    if (!width || !height) return failure("no picture size: give --size WxH (no info.json in " + dir + ")");

    // The frames, in name order; a dump's info.json says how many of them are stored frames
    // (the rest are the ring frame and looped repeats).
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir, ec)) {
        std::string n = e.path().filename().string();
        if (n.size() > 10 && n.rfind("frame_", 0) == 0 && n.substr(n.size() - 4) == ".idx") names.push_back(n.substr(0, n.size() - 4));
    }
    if (ec) return failure("cannot read " + dir);
    std::sort(names.begin(), names.end());
    size_t count = names.size();
    if (haveInfo && info.has("frames") && size_t(info.number("frames")) <= count) count = size_t(info.number("frames"));
    if (count == 0) return failure("no frame_*.idx files in " + dir);
    const std::vector<long long>* flags = haveInfo && info.arrays.count("new_palette") ? &info.arrays["new_palette"] : nullptr;
    if (options.ring && flags && count < flags->size()) options.ringForcePalette = (*flags)[count] != 0;
    std::string error;
    // The writer reads the frames twice, one at a time, and the sound once, in step with them.
    FolderFrames frames(dir, names, count, width, height, flags);
    TorvexStreamWriter writer;
    if (!writer.open(pos[0], width, height, options, &error)) return failure(error);
    std::vector<std::unique_ptr<SoundInput>> sounds;
    for (const auto& o : audio) {
        TorvexSoundFormat format;
        format.coding = o.coding;
        format.quality = o.quality;
        sounds.push_back(std::make_unique<SoundInput>());
        if (!sounds.back()->open(o.file, format, error) || !writer.setSound(o.track, format, sounds.back().get(), &error))
            return failure(error);
    }
    if (!writer.write(frames, &error)) return failure(error);
    return 0;
}

// ---- play ---------------------------------------------------------------------------------------

// The player window's state (one window per process).
struct Player {
    bool stop = false;    // Escape
    bool closed = false;  // the window went away
    const uint8_t* bits = nullptr;
} player;

plat::LRESULT playerProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) {
    switch (msg) {
    case plat::WM_KEYDOWN:
        if (wParam == plat::WPARAM(plat::VK_ESCAPE)) player.stop = true;
        return 0;
    case plat::WM_PAINT: {
        plat::PAINTSTRUCT ps;
        plat::beginPaint(hwnd, &ps);
        if (player.bits) plat::presentAll(hwnd);
        plat::endPaint(hwnd, &ps);
        return 0;
    }
    case plat::WM_DESTROY:
        player.closed = true;
        return 0;
    default:
        return plat::defWindowProc(hwnd, msg, wParam, lParam);
    }
}

void pumpMessages() {
    plat::MSG m;
    while (plat::peekMessage(&m, 0, 0, 0, plat::PM_REMOVE)) {
        plat::translateMessage(&m);
        plat::dispatchMessage(&m);
    }
}

bool parseNumber(const std::string& text, long lo, long hi, long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    out = std::strtol(text.c_str(), &end, 10);
    return !*end && out >= lo && out <= hi;
}

int cmdPlay(const std::vector<std::string>& args) {
    std::vector<std::string> pos;
    long track = -1, scale = 1;
    bool sound = true;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--track") {
            if (i + 1 >= args.size() || !parseNumber(args[++i], 0, kTvxTracks - 1, track))
                return usageError("--track needs a track number 0..6");
        } else if (args[i] == "--scale") {
            if (i + 1 >= args.size() || !parseNumber(args[++i], 1, 16, scale)) return usageError("--scale needs 1..16");
        } else if (args[i] == "--no-sound") {
            sound = false;
        } else if (!args[i].empty() && args[i][0] == '-') {
            return usageError("unknown option " + args[i]);
        } else {
            pos.push_back(args[i]);
        }
    }
    if (pos.size() != 1) return usageError("play takes one file");
    if (!sound && track >= 0) return usageError("--track and --no-sound exclude each other");

    // Which tracks there are decides what to ask for.
    std::string error;
    TorvexFile* probe = openFile(pos[0], error);
    if (!probe) return failure(error);
    uint32_t declared = 0;
    for (int t = 0; t < kTvxTracks; ++t)
        if (trackFormat(probe->header.audioFormat[t]).used) declared |= 1u << t;
    TorvexClose(probe);
    if (track >= 0 && !(declared & (1u << track)))
        return failure(pos[0] + " has no sound track " + std::to_string(track));
    uint32_t wanted = !sound ? 0 : track >= 0 ? 1u << track : declared;
    // Wave output plays the tracks (the platform's TORVEX_AUDIO says where it goes).
    if (wanted) torvex::TorvexSelectWaveOut();
    TorvexFile* f = TorvexOpen(pos[0].c_str(), wanted * kTvxTrack0, -1);
    if (!f) return failure(openFailure(pos[0]));
    for (int t = 0; t < kTvxTracks; ++t)
        if ((wanted & (1u << t)) && !(f->openFlags & (kTvxTrack0 << t)))
            std::fprintf(stderr, "tvx: sound track %d cannot be played (unusable format, or no sound output); playing without it\n", t);

    const int32_t w = int32_t(f->header.width), h = int32_t(f->header.height);
    auto finish = [&](int rc, plat::HWND hwnd) {
        TorvexClose(f);
        if (hwnd && plat::isWindow(hwnd)) plat::destroyWindow(hwnd);
        pumpMessages();
        player.bits = nullptr;
        plat::unregisterClass("TvxPlayer");
        plat::audioShutdown();
        return rc;
    };
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384) return finish(failure(pos[0] + ": no picture to show"), 0);
    std::vector<uint8_t> bits(size_t(w) * size_t(h), 0);

    player = Player{};
    plat::WNDCLASS wc;
    wc.lpfnWndProc = playerProc;
    wc.lpszClassName = "TvxPlayer";
    if (!plat::registerClass(wc)) return finish(failure("cannot register the window class"), 0);
    plat::RECT r;
    r.right = int32_t(w * scale);
    r.bottom = int32_t(h * scale);
    plat::adjustWindowRectEx(&r, plat::WS_OVERLAPPEDWINDOW, false, 0);
    std::string title = "tvx - " + fs::path(pos[0]).filename().string();
    plat::HWND hwnd = plat::createWindowEx(0, "TvxPlayer", title.c_str(), plat::WS_OVERLAPPEDWINDOW, plat::CW_USEDEFAULT,
                                           plat::CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, 0, nullptr);
    if (!hwnd) return finish(failure("cannot create a window"), 0);
    if (!plat::attachFrameBuffer(hwnd, bits.data(), w, h, w, false))
        return finish(failure("cannot attach the frame buffer"), hwnd);
    player.bits = bits.data();
    plat::showWindow(hwnd, plat::SW_SHOWNORMAL);
    torvex::TorvexSoundWindow(uintptr_t(hwnd));
    if (TorvexSetTarget(f, 0, 0, w, h, bits.data(), 0) != 1) return finish(failure("cannot decode into the window"), hwnd);

    auto setPalette = [&] {
        plat::PaletteEntry e[256];
        for (int i = 0; i < 256; ++i) e[i] = {f->palette[3 * i], f->palette[3 * i + 1], f->palette[3 * i + 2], 0};
        plat::setPaletteEntries(hwnd, 0, 256, e);
    };
    // A frame waits at most this long for its sound clock; a device that stops moving must not
    // hang the player.
    const uint32_t kLongestWait = 5000;
    uint32_t shown = 0;
    const uint32_t frames = f->header.frames;
    for (uint32_t k = 0; k < frames && !player.stop && !player.closed; ++k) {
        TorvexDecodeFrame(f);
        if (f->readError) {
            std::string where = std::to_string(k);
            return finish(failure(pos[0] + ": truncated or damaged at frame " + where), hwnd);
        }
        bool palette = f->newPalette != 0;
        if (palette) setPalette();
        bool presented = false;
        while (TorvexNextDirtyRect(f, 0)) {
            plat::presentRect(hwnd, f->rectX, f->rectY, f->rectWidth, f->rectHeight);
            presented = true;
        }
        // A palette change alone shows at the next present.
        if (palette && !presented) plat::presentAll(hwnd);
        ++shown;
        uint32_t waitStart = plat::tickCount();
        while (!player.stop && !player.closed && TorvexIsEarly(f)) {
            pumpMessages();
            if (plat::tickCount() - waitStart > kLongestWait) break;
            plat::sleepMs(1);
        }
        pumpMessages();
        if (k + 1 < frames) TorvexAdvance(f);
    }
    // Let the sound of the last frames play out (Escape or closing the window stops at once).
    if (!player.stop && !player.closed) {
        auto stop = [](void*) {
            pumpMessages();
            return player.stop || player.closed;
        };
        TorvexFinishSound(f, stop, nullptr);
    }
    std::printf("played %u of %u frames (%u skipped as late)%s\n", shown, frames, f->stats.framesSkipped,
                player.stop ? ", stopped" : player.closed ? ", window closed" : "");
    return finish(0, hwnd);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usageError("no command");
    std::string cmd = args[0];
    args.erase(args.begin());
    // "tvx encode --help" and the like show the same text.
    bool help = cmd == "--help" || cmd == "-h" || cmd == "help";
    for (const std::string& a : args) help = help || a == "--help" || a == "-h";
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "info") return cmdInfo(args);
    if (cmd == "dump") return cmdDump(args);
    if (cmd == "encode") return cmdEncode(args);
    if (cmd == "play") return cmdPlay(args);
    return usageError("unknown command " + cmd);
}
