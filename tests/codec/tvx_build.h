// Hand-built Torvex files for the decoder tests: a bit writer, trees with chosen leaves and codes,
// and the container around them.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace tvxtest {

struct BitWriter {
    std::vector<uint8_t> bytes;
    uint64_t bits = 0;
    void put(uint32_t value, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            if (bits % 8 == 0) bytes.push_back(0);
            if ((value >> i) & 1) bytes.back() |= uint8_t(1u << (bits % 8));
            ++bits;
        }
    }
    void putCode(const std::vector<uint8_t>& code) {
        for (uint8_t b : code) put(b, 1);
    }
    void align4() {
        while (bytes.size() % 4) bytes.push_back(0);
        bits = bytes.size() * 8;
    }
};

// A leaf of a value tree: a value, or cache slot 0..2 (written as that slot's escape value).
struct Leaf {
    uint32_t value;
    int slot = -1;
};

// A value tree over the given leaves, balanced; codes[i] is leaf i's path (first bit first).
struct ValueTree {
    std::vector<Leaf> leaves;
    uint32_t escapes[3] = {0xFFF0, 0xFFF1, 0xFFF2};
    std::vector<std::vector<uint8_t>> codes;
    uint32_t internal = 0;

    // Writes present bit, the two byte trees (8 raw bits per byte: complete depth-8 trees),
    // the escapes and the value tree.
    void write(BitWriter& w) {
        codes.assign(leaves.size(), {});
        internal = 0;
        w.put(1, 1);
        for (int half = 0; half < 2; ++half) {
            w.put(1, 1);
            writeByteTree(w, 0, 0);
            w.put(0, 1);
        }
        for (uint32_t e : escapes) w.put(e, 16);
        std::vector<uint8_t> path;
        writeRange(w, 0, leaves.size(), path);
        w.put(0, 1);
    }
    uint32_t storage() const { return 16 + 8 * internal; }
    // The bits a decoded value takes: the leaf's code.
    const std::vector<uint8_t>& code(size_t leaf) const { return codes[leaf]; }

private:
    static void writeByteTree(BitWriter& w, int depth, uint32_t value) {
        if (depth == 8) {
            w.put(0, 1);
            w.put(value, 8);
            return;
        }
        w.put(1, 1);
        writeByteTree(w, depth + 1, value);
        writeByteTree(w, depth + 1, value | (1u << depth));
    }
    void writeRange(BitWriter& w, size_t a, size_t b, std::vector<uint8_t>& path) {
        if (b - a == 1) {
            if (path.empty()) {
                // a lone leaf: no code bits
            }
            w.put(0, 1);
            const Leaf& l = leaves[a];
            uint32_t v = l.slot >= 0 ? escapes[l.slot] : l.value;
            w.put(v & 0xFF, 8);  // low byte through the byte tree (8 code bits = the byte)
            w.put(v >> 8, 8);
            codes[a] = path;
            return;
        }
        ++internal;
        w.put(1, 1);
        size_t mid = a + (b - a + 1) / 2;
        path.push_back(0);
        writeRange(w, a, mid, path);
        path.back() = 1;
        writeRange(w, mid, b, path);
        path.pop_back();
    }
};

struct FileLayout {
    std::string magic = "TVX2";
    uint32_t width = 16, height = 8;
    int32_t frameRate = 0;
    uint32_t flags = 0;
    std::vector<uint8_t> treeBlock;
    uint32_t treeSizes[4] = {12, 12, 12, 12};
    std::vector<std::vector<uint8_t>> frames;  // ring frame last when flags bit 0
    std::vector<uint8_t> types;
    uint32_t audioFormat[7] = {};
};

inline void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

inline std::vector<uint8_t> buildFile(const FileLayout& s) {
    std::vector<uint8_t> out(s.magic.begin(), s.magic.end());
    out.resize(4);
    put32(out, s.width);
    put32(out, s.height);
    uint32_t n = uint32_t(s.frames.size());
    put32(out, (s.flags & 1) ? n - 1 : n);
    put32(out, uint32_t(s.frameRate));
    put32(out, s.flags);
    for (int t = 0; t < 7; ++t) put32(out, 0);
    put32(out, uint32_t(s.treeBlock.size()));
    for (uint32_t t : s.treeSizes) put32(out, t);
    for (uint32_t a : s.audioFormat) put32(out, a);
    put32(out, 0);
    for (const auto& f : s.frames) put32(out, uint32_t(f.size()));
    for (size_t i = 0; i < s.frames.size(); ++i) out.push_back(i < s.types.size() ? s.types[i] : 0);
    out.insert(out.end(), s.treeBlock.begin(), s.treeBlock.end());
    for (const auto& f : s.frames) out.insert(out.end(), f.begin(), f.end());
    return out;
}

// Type value helpers.
inline uint32_t typeValue(uint32_t kind, uint32_t runCode, uint32_t extra = 0) { return kind | runCode << 2 | extra << 8; }

}  // namespace tvxtest
