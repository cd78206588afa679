// An independent structure check of the AVI files our writer makes, written from the file
// format alone (it shares no code with the library's reader): it walks the RIFF tree, checks
// every size against its parent, the stream headers and formats, idx1 and the large-file
// indexes against the chunks they name, and hands every frame (with the palette in force) and
// all the sound to the caller for comparison. Reads through a file handle, so that files past
// 1 GiB need no memory of their size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace avicheck {

using Bytes = std::vector<uint8_t>;

struct Expect {
    int32_t width = 0, height = 0;
    uint32_t bits = 24;
    uint32_t rateNum = 0, rateDen = 0;
    uint32_t frames = 0;
    bool sound = false;
    uint32_t soundRate = 0, soundBits = 0, soundChannels = 0;
};

struct Result {
    std::vector<std::string> problems;
    uint32_t parts = 0;
    uint32_t framesSeen = 0;
    uint64_t soundBytes = 0;
    uint32_t paletteChanges = 0;
    bool ok() const { return problems.empty(); }
    std::string text() const {
        std::string t;
        for (const std::string& p : problems) t += p + "\n";
        return t;
    }
};

class Checker {
public:
    // frame(k, pixels, colors): colors is the 1024-byte table in force (8 bits) or empty.
    using FrameFn = std::function<void(uint32_t, const Bytes&, const Bytes&)>;
    using SoundFn = std::function<void(uint64_t, const Bytes&)>;  // offset in the stream, bytes

    Result run(const std::string& path, const Expect& e, FrameFn onFrame, SoundFn onSound) {
        f_ = std::fopen(path.c_str(), "rb");
        if (!f_) return fail("cannot open " + path);
        std::fseek(f_, 0, SEEK_END);
        size_ = uint64_t(ftello(f_));
        e_ = e;
        onFrame_ = std::move(onFrame);
        onSound_ = std::move(onSound);
        walk();
        std::fclose(f_);
        return r_;
    }

private:
    struct Seen {
        std::string id;
        uint64_t header;  // offset of the chunk header
        uint32_t size;
    };

    FILE* f_ = nullptr;
    uint64_t size_ = 0;
    Expect e_;
    FrameFn onFrame_;
    SoundFn onSound_;
    Result r_;
    Bytes colors_;
    uint64_t soundPos_ = 0;
    uint64_t moviWord0_ = 0;
    std::vector<std::vector<Seen>> partChunks_;  // the stream chunks of each part's movi
    Bytes videoIndx_, soundIndx_;
    uint32_t dmlhFrames_ = 0;
    bool haveIdx1_ = false;
    Bytes idx1_;
    uint32_t avihStreams_ = 0, avihFirstFrames_ = 0;
    uint32_t videoLength_ = 0, soundLength_ = 0, soundBlock_ = 0;

    Result fail(const std::string& why) {
        r_.problems.push_back(why);
        return r_;
    }
    void problem(const std::string& why) {
        if (r_.problems.size() < 20) r_.problems.push_back(why);
    }
    Bytes read(uint64_t at, uint64_t n) {
        Bytes b;
        if (at > size_ || n > size_ - at) {
            problem("read past the end at " + std::to_string(at));
            return b;
        }
        b.resize(n);
        fseeko(f_, off_t(at), SEEK_SET);
        if (n && std::fread(b.data(), 1, n, f_) != n) problem("short read");
        return b;
    }
    static uint32_t u16(const Bytes& b, size_t at) { return b.size() >= at + 2 ? uint32_t(b[at] | b[at + 1] << 8) : 0; }
    static uint32_t u32(const Bytes& b, size_t at) {
        return b.size() >= at + 4 ? uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
                                        uint32_t(b[at + 3]) << 24
                                  : 0;
    }
    static uint64_t u64(const Bytes& b, size_t at) { return u32(b, at) | uint64_t(u32(b, at + 4)) << 32; }
    static std::string id(const Bytes& b, size_t at) {
        return b.size() >= at + 4 ? std::string(reinterpret_cast<const char*>(&b[at]), 4) : "????";
    }
    void expectEq(uint64_t got, uint64_t want, const std::string& what) {
        if (got != want) problem(what + ": " + std::to_string(got) + " instead of " + std::to_string(want));
    }

    void walk() {
        uint64_t pos = 0;
        while (pos < size_) {
            Bytes h = read(pos, 12);
            if (h.size() < 12) return;
            if (id(h, 0) != "RIFF") return problem("no RIFF at " + std::to_string(pos));
            std::string form = id(h, 8);
            if (form != (r_.parts == 0 ? "AVI " : "AVIX")) problem("part " + std::to_string(r_.parts) + " is " + form);
            uint32_t size = u32(h, 4);
            if (size & 1) problem("odd RIFF size");
            uint64_t end = pos + 8 + size;
            if (end > size_) return problem("RIFF part past the end of the file");
            partChunks_.emplace_back();
            walkPart(pos + 12, end);
            ++r_.parts;
            pos = end;
        }
        if (pos != size_) problem("bytes after the last part");
        checkHeaders();
        checkIdx1();
        checkSuperIndex(videoIndx_, "00db", "ix00", e_.frames);
        if (e_.sound) checkSuperIndex(soundIndx_, "01wb", "ix01", soundLength_);
        expectEq(r_.framesSeen, e_.frames, "frames stored");
        expectEq(videoLength_, e_.frames, "video stream length");
        expectEq(dmlhFrames_, e_.frames, "total frames of the extended header");
        if (e_.sound) expectEq(r_.soundBytes, uint64_t(soundLength_) * soundBlock_, "sound stream length in bytes");
    }

    void walkPart(uint64_t pos, uint64_t end) {
        while (pos < end) {
            Bytes h = read(pos, 12);
            if (h.size() < 8) return;
            std::string cid = id(h, 0);
            uint32_t size = u32(h, 4);
            uint64_t next = pos + 8 + size + (size & 1);
            if (next > end) return problem(cid + " runs past its part");
            if (cid == "LIST") {
                std::string type = id(h, 8);
                if (type == "hdrl" && r_.parts == 0) {
                    hdrl(read(pos + 12, size - 4));
                } else if (type == "movi") {
                    if (r_.parts == 0) moviWord0_ = pos + 8;
                    movi(pos + 12, pos + 8 + size);
                } else {
                    problem("unexpected list " + type);
                }
            } else if (cid == "idx1") {
                if (r_.parts != 0) problem("idx1 outside the first part");
                haveIdx1_ = true;
                idx1_ = read(pos + 8, size);
            } else if (cid != "JUNK") {
                problem("unexpected chunk " + cid);
            }
            pos = next;
        }
    }

    // Chunks of a list body as (id, data offset, size), checking they tile the body exactly.
    std::vector<Seen> chunks(const Bytes& body, size_t from) {
        std::vector<Seen> out;
        size_t pos = from;
        while (pos + 8 <= body.size()) {
            uint32_t size = u32(body, pos + 4);
            out.push_back({id(body, pos), pos, size});
            pos += 8 + size + (size & 1);
        }
        if (pos != body.size()) problem("a list's chunks do not fill it exactly");
        return out;
    }

    void hdrl(const Bytes& b) {
        int strl = 0;
        for (const Seen& c : chunks(b, 0)) {
            Bytes d(b.begin() + long(c.header + 8), b.begin() + long(std::min<size_t>(c.header + 8 + c.size, b.size())));
            if (c.id == "avih") {
                expectEq(c.size, 56, "avih size");
                expectEq(u32(d, 0), uint32_t(uint64_t(1000000) * e_.rateDen / e_.rateNum), "microseconds per frame");
                avihFirstFrames_ = u32(d, 16);
                avihStreams_ = u32(d, 24);
                expectEq(u32(d, 32), uint32_t(e_.width), "avih width");
                expectEq(u32(d, 36), uint32_t(e_.height), "avih height");
            } else if (c.id == "LIST" && id(d, 0) == "strl") {
                Bytes body(d.begin() + 4, d.end());
                if (strl++ == 0) videoList(body);
                else soundList(body);
            } else if (c.id == "LIST" && id(d, 0) == "odml") {
                Bytes body(d.begin() + 4, d.end());
                for (const Seen& o : chunks(body, 0))
                    if (o.id == "dmlh") dmlhFrames_ = u32(body, o.header + 8);
            } else {
                problem("unexpected header chunk " + c.id);
            }
        }
        expectEq(avihStreams_, e_.sound ? 2 : 1, "stream count");
        expectEq(strl, e_.sound ? 2 : 1, "stream lists");
    }

    void videoList(const Bytes& b) {
        for (const Seen& c : chunks(b, 0)) {
            size_t d = c.header + 8;
            if (c.id == "strh") {
                if (id(b, d) != "vids" || id(b, d + 4) != "DIB ") problem("video stream header type or handler");
                expectEq(u32(b, d + 20), e_.rateDen, "video scale");
                expectEq(u32(b, d + 24), e_.rateNum, "video rate");
                videoLength_ = u32(b, d + 32);
            } else if (c.id == "strf") {
                expectEq(u32(b, d), 40, "bitmap header size");
                expectEq(u32(b, d + 4), uint32_t(e_.width), "bitmap width");
                expectEq(u32(b, d + 8), uint32_t(e_.height), "bitmap height (bottom-up)");
                expectEq(u16(b, d + 14), e_.bits, "bit count");
                expectEq(u32(b, d + 16), 0, "compression");
                uint32_t stride = (e_.bits * uint32_t(e_.width) + 31) / 32 * 4;
                expectEq(u32(b, d + 20), stride * uint32_t(e_.height), "image size");
                if (e_.bits == 8) {
                    expectEq(c.size, 40 + 1024, "format with its colour table");
                    colors_.assign(b.begin() + long(d + 40), b.begin() + long(std::min<size_t>(d + 40 + 1024, b.size())));
                }
            } else if (c.id == "indx") {
                videoIndx_.assign(b.begin() + long(d), b.begin() + long(std::min<size_t>(d + c.size, b.size())));
            }
        }
    }

    void soundList(const Bytes& b) {
        for (const Seen& c : chunks(b, 0)) {
            size_t d = c.header + 8;
            uint32_t block = e_.soundBits * e_.soundChannels / 8;
            if (c.id == "strh") {
                if (id(b, d) != "auds") problem("sound stream type");
                expectEq(u32(b, d + 20), block, "sound scale");
                expectEq(u32(b, d + 24), e_.soundRate * block, "sound rate");
                expectEq(u32(b, d + 44), block, "sound sample size");
                soundLength_ = u32(b, d + 32);
                soundBlock_ = block;
            } else if (c.id == "strf") {
                expectEq(u16(b, d), 1, "sound format tag");
                expectEq(u16(b, d + 2), e_.soundChannels, "channels");
                expectEq(u32(b, d + 4), e_.soundRate, "sample rate");
                expectEq(u32(b, d + 8), e_.soundRate * block, "bytes per second");
                expectEq(u16(b, d + 12), block, "block align");
                expectEq(u16(b, d + 14), e_.soundBits, "bits per sample");
            } else if (c.id == "indx") {
                soundIndx_.assign(b.begin() + long(d), b.begin() + long(std::min<size_t>(d + c.size, b.size())));
            }
        }
    }

    void movi(uint64_t pos, uint64_t end) {
        std::vector<Seen>& seen = partChunks_.back();
        while (pos < end) {
            Bytes h = read(pos, 8);
            if (h.size() < 8) return;
            std::string cid = id(h, 0);
            uint32_t size = u32(h, 4);
            uint64_t next = pos + 8 + size + (size & 1);
            if (next > end) return problem(cid + " runs past its movi list");
            if (cid == "00db") {
                uint32_t stride = (e_.bits * uint32_t(e_.width) + 31) / 32 * 4;
                expectEq(size, stride * uint32_t(e_.height), "frame chunk size");
                Bytes px = read(pos + 8, size);
                if (onFrame_) onFrame_(r_.framesSeen, px, colors_);
                ++r_.framesSeen;
                seen.push_back({cid, pos, size});
            } else if (cid == "00pc") {
                Bytes d = read(pos + 8, size);
                uint32_t first = d.size() > 0 ? d[0] : 0, count = d.size() > 1 ? (d[1] ? d[1] : 256) : 0;
                expectEq(size, 4 + count * 4, "palette change size");
                if (first + count > 256 || colors_.size() != 1024) problem("palette change outside the table");
                else
                    for (uint32_t k = 0; k < count && 4 + k * 4 + 3 <= d.size(); ++k) {
                        colors_[(first + k) * 4] = d[4 + k * 4 + 2];
                        colors_[(first + k) * 4 + 1] = d[4 + k * 4 + 1];
                        colors_[(first + k) * 4 + 2] = d[4 + k * 4];
                    }
                ++r_.paletteChanges;
                seen.push_back({cid, pos, size});
            } else if (cid == "01wb") {
                if (!e_.sound) problem("sound chunk in a file without sound");
                Bytes d = read(pos + 8, size);
                if (soundBlock_ && size % soundBlock_) problem("sound chunk of a partial sample frame");
                if (onSound_) onSound_(soundPos_, d);
                soundPos_ += size;
                r_.soundBytes += size;
                seen.push_back({cid, pos, size});
            } else if (cid != "ix00" && cid != "ix01" && cid != "JUNK") {
                problem("unexpected movi chunk " + cid);
            }
            pos = next;
        }
    }

    void checkHeaders() {
        if (partChunks_.empty()) return;
        uint32_t firstFrames = 0;
        for (const Seen& s : partChunks_[0]) firstFrames += s.id == "00db";
        expectEq(avihFirstFrames_, firstFrames, "avih frames of the first part");
    }

    void checkIdx1() {
        if (!haveIdx1_) return problem("no idx1");
        if (partChunks_.empty()) return;
        const std::vector<Seen>& seen = partChunks_[0];
        expectEq(idx1_.size(), seen.size() * 16, "idx1 entries");
        for (size_t k = 0; k < seen.size() && k * 16 + 16 <= idx1_.size(); ++k) {
            const Seen& s = seen[k];
            if (id(idx1_, k * 16) != s.id) problem("idx1 entry " + std::to_string(k) + " names " + id(idx1_, k * 16));
            uint32_t flags = u32(idx1_, k * 16 + 4);
            if (s.id == "00pc" ? (flags & 0x100) == 0 : (flags & 0x10) == 0) problem("idx1 flags of " + s.id);
            expectEq(u32(idx1_, k * 16 + 8), s.header - moviWord0_, "idx1 offset (from the movi word)");
            expectEq(u32(idx1_, k * 16 + 12), s.size, "idx1 size");
        }
    }

    // The super index of a stream: one standard index per part, each entry naming a chunk of
    // that stream in that part, in order.
    void checkSuperIndex(const Bytes& x, const std::string& chunkId, const std::string& ixId, uint64_t length) {
        if (x.size() < 24) return problem("no super index for " + chunkId);
        expectEq(u16(x, 0), 4, "super index entry size");
        expectEq(x[3], 0, "super index type");
        if (id(x, 8) != chunkId) problem("super index names " + id(x, 8));
        uint32_t used = u32(x, 4);
        uint64_t duration = 0;
        size_t part = 0;
        for (uint32_t k = 0; k < used && 24 + k * 16 + 16 <= x.size(); ++k) {
            uint64_t off = u64(x, 24 + k * 16);
            uint32_t size = u32(x, 24 + k * 16 + 8);
            duration += u32(x, 24 + k * 16 + 12);
            Bytes ix = read(off, size);
            if (ix.size() < 32 || id(ix, 0) != ixId) {
                problem("super index entry " + std::to_string(k) + " does not point at " + ixId);
                continue;
            }
            expectEq(u32(ix, 4) + 8, size, "standard index size");
            expectEq(u16(ix, 8), 2, "standard index entry size");
            expectEq(ix[11], 1, "standard index type");
            uint64_t base = u64(ix, 20);
            uint32_t n = u32(ix, 12);
            // Find the part this index belongs to: the next one holding chunks of the stream.
            std::vector<Seen> mine;
            while (part < partChunks_.size()) {
                for (const Seen& s : partChunks_[part])
                    if (s.id == chunkId) mine.push_back(s);
                ++part;
                if (!mine.empty()) break;
            }
            expectEq(n, mine.size(), "standard index entries");
            for (uint32_t j = 0; j < n && j < mine.size() && 32 + j * 8 + 8 <= ix.size(); ++j) {
                expectEq(base + u32(ix, 32 + j * 8), mine[j].header + 8, "standard index offset");
                uint32_t es = u32(ix, 36 + j * 8);
                if (es & 0x80000000u) problem("a chunk not marked key");
                expectEq(es & 0x7FFFFFFFu, mine[j].size, "standard index chunk size");
            }
        }
        expectEq(duration, length, "super index duration of " + chunkId);
    }
};

}  // namespace avicheck
