// tvx: the Torvex file tool (info, dump, encode).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "codec/torvex.h"
#include "encoder/torvex_writer.h"

namespace fs = std::filesystem;

namespace {

const char* kUsage =
    "usage: tvx COMMAND ...\n"
    "  tvx info FILE                      header, sizes, rate, tracks and buffering of a file\n"
    "  tvx dump FILE OUTDIR [--frames N]  decode in play order to OUTDIR/frame_kkkkk.idx/.pal\n"
    "                                     and OUTDIR/info.json (N past the end loops)\n"
    "  tvx encode --frames DIR OUT.tvx [--rate R] [--version 2|4] [--ring]\n"
    "             [--interlaced|--doubled] [--size WxH]\n"
    "                                     write frame_*.idx/.pal files as a Torvex file\n"
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
        uint32_t a = h.audioFormat[t];
        bool used = (a & 0x40000000u || a & 0x04000000u) && (a & 0xFFFFFF);
        if (!used) continue;
        ++tracks;
        uint32_t coding = (a >> 26) & 3;
        std::printf("track %d:         %u Hz, %s, %d-bit, %s, largest chunk %u bytes\n", t, a & 0xFFFFFF,
                    (a & 0x10000000u) ? "stereo" : "mono", (a & 0x20000000u) ? 16 : 8,
                    coding ? "transform-coded" : ((a & 0x80000000u) ? "DPCM-Huffman" : "raw"), h.audioChunkSize[t]);
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
    for (long long k = 0; k < played; ++k) {
        TorvexDecodeFrame(f);
        while (TorvexNextDirtyRect(f, 0)) {
        }
        if (f->readError) return abandon(pos[0] + ": truncated or damaged at frame " + std::to_string(k));
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
    js << "]\n}\n";
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
                char* stop = nullptr;
                long long v = std::strtoll(text.c_str() + i, &stop, 10);
                if (stop == text.c_str() + i) return false;
                list.push_back(v);
                i = size_t(stop - text.c_str());
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

int cmdEncode(const std::vector<std::string>& args) {
    std::string dir;
    std::vector<std::string> pos;
    std::string rate, version, size;
    bool ring = false, interlaced = false, doubled = false;
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
    std::vector<std::vector<uint8_t>> pixels(count), palettes(count);
    std::vector<TorvexWriterFrame> frames(count);
    const std::vector<long long>* flags = haveInfo && info.arrays.count("new_palette") ? &info.arrays["new_palette"] : nullptr;
    for (size_t k = 0; k < count; ++k) {
        std::string base = dir + "/" + names[k];
        if (!readWhole(base + ".idx", pixels[k])) return failure("cannot read " + base + ".idx");
        if (pixels[k].size() != size_t(width) * height)
            return failure(base + ".idx has " + std::to_string(pixels[k].size()) + " bytes, not " + std::to_string(width) +
                           " x " + std::to_string(height));
        if (!readWhole(base + ".pal", palettes[k]) || palettes[k].size() != 768)
            return failure(base + ".pal is missing or not 768 bytes");
        frames[k].pixels = pixels[k].data();
        frames[k].palette = palettes[k].data();
        frames[k].forcePalette = flags && k < flags->size() && (*flags)[k] != 0;
    }
    if (options.ring && flags && count < flags->size()) options.ringForcePalette = (*flags)[count] != 0;
    std::string error;
    if (!TorvexWrite(pos[0], width, height, frames, options, &error)) return failure(error);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usageError("no command");
    std::string cmd = args[0];
    args.erase(args.begin());
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "info") return cmdInfo(args);
    if (cmd == "dump") return cmdDump(args);
    if (cmd == "encode") return cmdEncode(args);
    return usageError("unknown command " + cmd);
}
