// The encoder's streams are checked bit for bit on the worked example and, for everything else,
// by a reader written from the stream layout alone: trees are rebuilt from the stream and every
// value decoded with the three-slot cache must come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kroutil/huffman.h"
#include "tests/support/test_support.h"

namespace {

struct Bits {
    std::vector<unsigned char> data;
    size_t pos = 0;  // in bits
    bool overrun = false;
    uint32_t get(unsigned n) {
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i, ++pos) {
            if (pos / 8 >= data.size()) {
                overrun = true;
                continue;
            }
            v |= uint32_t((data[pos / 8] >> (pos % 8)) & 1) << i;
        }
        return v;
    }
};

// A tree as the reader sees it: node 0 is the root; a leaf holds a value.
struct Tree {
    struct Node {
        bool leaf = false;
        uint32_t value = 0;
        int child[2] = {-1, -1};
    };
    std::vector<Node> nodes;
    bool present = false;
};

// Reads a pre-order tree (1 = node, then its 0-branch and 1-branch; 0 = leaf, then its value)
// and its end bit; readLeaf reads a leaf's value.
template <typename ReadLeaf>
Tree readTree(Bits& b, ReadLeaf readLeaf) {
    Tree t;
    t.present = true;
    std::vector<std::pair<int, int>> todo;  // (parent, side) waiting for a subtree
    auto readNode = [&](int parent, int side) {
        int id = int(t.nodes.size());
        t.nodes.push_back({});
        if (parent >= 0) t.nodes[size_t(parent)].child[side] = id;
        if (b.get(1)) {
            todo.push_back({id, 1});
            todo.push_back({id, 0});
        } else {
            t.nodes[size_t(id)].leaf = true;
            t.nodes[size_t(id)].value = readLeaf();
        }
    };
    readNode(-1, 0);
    while (!todo.empty() && !b.overrun) {
        auto [p, s] = todo.back();
        todo.pop_back();
        readNode(p, s);
    }
    EXPECT_EQ(b.get(1), 0u) << "end bit";
    return t;
}

Tree readByteTree(Bits& b) {
    return readTree(b, [&] { return b.get(8); });
}

uint32_t walk(const Tree& t, Bits& b) {
    int n = 0;
    while (!t.nodes[size_t(n)].leaf && !b.overrun) n = t.nodes[size_t(n)].child[b.get(1)];
    return t.nodes[size_t(n)].value;
}

struct BigTree {
    Tree lowTree, highTree, values;
    uint32_t escapes[3] = {};
    int slotOf(uint32_t leafValue) const {
        for (int j = 0; j < 3; ++j)
            if (leafValue == escapes[j]) return j;
        return -1;
    }
};

uint32_t readSub(const Tree& t, Bits& b) { return t.present ? walk(t, b) : 0; }

BigTree readBigTree(Bits& b) {
    BigTree bt;
    EXPECT_EQ(b.get(1), 1u) << "present";
    if (b.get(1)) bt.lowTree = readByteTree(b);
    if (b.get(1)) bt.highTree = readByteTree(b);
    for (auto& e : bt.escapes) e = b.get(16);
    // A leaf's value: its low byte through the low tree, then its high byte.
    bt.values = readTree(b, [&] {
        uint32_t lo = readSub(bt.lowTree, b);
        uint32_t hi = readSub(bt.highTree, b);
        return lo | hi << 8;
    });
    return bt;
}

uint32_t decodeCached(const BigTree& bt, Bits& b, uint32_t cache[3]) {
    uint32_t leaf = walk(bt.values, b);
    int slot = bt.slotOf(leaf);
    uint32_t v = slot >= 0 ? cache[slot] : leaf;
    if (v != cache[0]) {
        cache[2] = cache[1];
        cache[1] = cache[0];
        cache[0] = v;
    }
    return v;
}

// Runs one block through an encoder writing to a fresh file and returns the bytes.
struct Encoded {
    int32_t result;
    std::vector<unsigned char> bytes;
};

Encoded encodeBlock(bool byteMode, const std::vector<uint32_t>& values) {
    testsupport::TempDir dir;
    std::string name = dir.file("h");
    KroFile* f = KroFileCreate(0, name.c_str());
    HuffEncoder* h = HuffOpen(byteMode ? 1 : 0);
    EXPECT_NE(h, nullptr);
    HuffSetOutput(h, f);
    HuffInitStats(h);
    for (uint32_t v : values) HuffAddStat(h, v);
    Encoded e;
    e.result = HuffStartEncode(h);
    if (e.result >= 0) {
        HuffInitLasts(h);
        for (uint32_t v : values) HuffEncode(h, v);
    }
    HuffClose(h);
    KroFileClose(f);
    e.bytes = testsupport::readFile(name);
    return e;
}

std::string bitString(const std::vector<unsigned char>& bytes, size_t count) {
    std::string s;
    for (size_t i = 0; i < count; ++i) s += char('0' + ((bytes[i / 8] >> (i % 8)) & 1));
    return s;
}

std::string bits8(uint32_t v) {
    std::string s;
    for (int i = 0; i < 8; ++i) s += char('0' + ((v >> i) & 1));
    return s;
}

TEST(Huffman, WorkedExampleBitForBit) {
    const uint32_t a = 0x11, b = 0x22, c = 0x33;
    auto e = encodeBlock(true, {a, b, c, c});
    EXPECT_EQ(e.result, 32);
    // Tree: 1, 1, 0 c, 1, 0 b, 0 a, 0; then codes c=0, b=10, a=11 (first bit first).
    std::string tree = "11" "0" + bits8(c) + "1" "0" + bits8(b) + "0" + bits8(a) + "0";
    std::string codes = "11" "10" "0" "0";  // a, b, c, c
    std::string expect = tree + codes;
    ASSERT_GE(e.bytes.size() * 8, expect.size());
    EXPECT_EQ(bitString(e.bytes, expect.size()), expect);
}

TEST(Huffman, EmptyAndSingleSymbolBlocks) {
    auto empty = encodeBlock(true, {});
    EXPECT_EQ(empty.result, 12);
    EXPECT_EQ(empty.bytes, (std::vector<unsigned char>{0x00}));

    // One distinct value: 1, 0, symbol, 0 and no code bits for any of its repeats.
    auto one = encodeBlock(true, {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5});
    EXPECT_EQ(one.result, 20);
    EXPECT_EQ(bitString(one.bytes, 11), "10" + bits8(0xA5) + "0");
    EXPECT_EQ(one.bytes.size(), 2u);

    // Word mode: 20 copies are one count and 19 hits on slot 0, too few for an escape code.
    auto word = encodeBlock(false, std::vector<uint32_t>(20, 0x1234));
    EXPECT_EQ(word.result, 20);
    Bits bits{word.bytes};
    BigTree bt = readBigTree(bits);
    ASSERT_EQ(bt.values.nodes.size(), 1u);
    EXPECT_EQ(bt.values.nodes[0].value, 0x1234u);
    EXPECT_EQ(word.bytes.size(), (bits.pos + 7) / 8);  // the repeats cost nothing
}

TEST(Huffman, ByteModeRoundTrip) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::vector<uint32_t> values(1 + rng() % 3000);
        std::geometric_distribution<int> g(0.05 + 0.04 * (round % 10));
        for (auto& v : values) v = uint32_t(g(rng)) & 0xFF;
        auto e = encodeBlock(true, values);
        ASSERT_GE(e.result, 12);
        Bits bits{e.bytes};
        ASSERT_EQ(bits.get(1), 1u);
        Tree t = readByteTree(bits);
        for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(walk(t, bits), values[i]) << "round " << round << " value " << i;
        EXPECT_FALSE(bits.overrun);
    }
}

TEST(Huffman, WordModeRoundTripWithCacheEscapes) {
    std::mt19937 rng(11);
    for (int round = 0; round < 12; ++round) {
        std::vector<uint32_t> values;
        // Runs of repeats and returns to recent values exercise the three escapes.
        uint32_t recent[3] = {0x1111, 0x2222, 0x3333};
        for (int i = 0; i < 4000; ++i) {
            uint32_t kind = rng() % 10;
            uint32_t v;
            if (kind < 4) v = recent[0];
            else if (kind < 6) v = recent[1];
            else if (kind < 7) v = recent[2];
            else v = (rng() % (round < 6 ? 200 : 20000)) * 3;
            values.push_back(v);
            if (v != recent[0]) {
                recent[2] = recent[1];
                recent[1] = recent[0];
                recent[0] = v;
            }
        }
        auto e = encodeBlock(false, values);
        ASSERT_GT(e.result, 20);
        Bits bits{e.bytes};
        BigTree bt = readBigTree(bits);
        uint32_t cache[3] = {0, 0, 0};
        for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(decodeCached(bt, bits, cache), values[i]) << round << ":" << i;
        EXPECT_FALSE(bits.overrun);
    }
}

TEST(Huffman, EscapeZeroNeedsMoreThan31Repeats) {
    // A value repeated right after itself is a hit on slot 0. With 32 hits the escape gets a
    // code; with 31 it has none and the value is always sent as itself.
    for (int repeats : {31, 32, 200}) {
        std::vector<uint32_t> values;
        for (int i = 0; i < 40; ++i) values.push_back(uint32_t(100 + i));  // many distinct values
        values.push_back(7);
        for (int i = 0; i < repeats; ++i) values.push_back(7);
        auto e = encodeBlock(false, values);
        Bits bits{e.bytes};
        BigTree bt = readBigTree(bits);
        bool escapeLeaf = false;
        for (const auto& n : bt.values.nodes)
            if (n.leaf && n.value == bt.escapes[0]) escapeLeaf = true;
        EXPECT_EQ(escapeLeaf, repeats >= 32) << repeats;
        EXPECT_EQ(bt.escapes[0], 0u);  // the lowest unused value
        uint32_t cache[3] = {0, 0, 0};
        for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(decodeCached(bt, bits, cache), values[i]) << repeats;
    }
}

TEST(Huffman, EqualWeightsFollowTheInsertionRule) {
    // Four values of equal weight. 4 and 3 join first; their node goes to the front and, as
    // the rest all weigh the same, 1 moves behind 2, so 1 and 2 join as (2, 1). Plain shifting
    // would give (1, 2).
    auto e = encodeBlock(true, {1, 2, 3, 4});
    EXPECT_EQ(e.result, 16 + 8 * 3);
    Bits bits{e.bytes};
    ASSERT_EQ(bits.get(1), 1u);
    Tree t = readByteTree(bits);
    // Leaves in pre-order tell the shape.
    std::vector<uint32_t> order;
    for (const auto& n : t.nodes)
        if (n.leaf) order.push_back(n.value);
    EXPECT_EQ(order, (std::vector<uint32_t>{3, 4, 2, 1}));
}

namespace {

// The tree build restated as a plain list sorted by descending weight: each item goes behind
// every item at least as heavy, except that when all the items behind that point weigh the
// same, it takes the first one's place and that one moves to the end. The two last items join
// (the last on the 1-branch) until one is left. Returns the tree as its pre-order leaves and
// nodes ("n" for a node, the value for a leaf).
std::string referenceTree(const std::vector<uint32_t>& counts) {
    struct Item {
        uint64_t weight;
        int node;  // -1 for a leaf
        uint32_t value;
    };
    std::vector<std::pair<int, int>> children;  // per node: (0-branch item, 1-branch item) as indices
    std::vector<Item> all;
    std::vector<size_t> list;  // indices into all
    auto insert = [&](size_t i) {
        size_t p = 0;
        while (p < list.size() && all[list[p]].weight >= all[i].weight) ++p;
        if (p < list.size() && all[list[p]].weight == all[list.back()].weight) {
            list.push_back(list[p]);
            list[p] = i;
        } else {
            list.insert(list.begin() + long(p), i);
        }
    };
    for (uint32_t v = 0; v < counts.size(); ++v)
        if (counts[v]) {
            all.push_back({counts[v], -1, v});
            insert(all.size() - 1);
        }
    while (list.size() >= 2) {
        size_t last = list.back();
        list.pop_back();
        size_t second = list.back();
        list.pop_back();
        children.push_back({int(second), int(last)});
        all.push_back({all[second].weight + all[last].weight, int(children.size() - 1), 0});
        insert(all.size() - 1);
    }
    std::string out;
    std::vector<size_t> todo = {list[0]};
    while (!todo.empty()) {
        const Item& it = all[todo.back()];
        todo.pop_back();
        if (it.node < 0) {
            out += std::to_string(it.value) + " ";
        } else {
            out += "n ";
            todo.push_back(size_t(children[size_t(it.node)].second));
            todo.push_back(size_t(children[size_t(it.node)].first));
        }
    }
    return out;
}

std::string preorder(const Tree& t) {
    std::string out;
    std::vector<int> todo = {0};
    while (!todo.empty()) {
        const Tree::Node& n = t.nodes[size_t(todo.back())];
        todo.pop_back();
        if (n.leaf) {
            out += std::to_string(n.value) + " ";
        } else {
            out += "n ";
            todo.push_back(n.child[1]);
            todo.push_back(n.child[0]);
        }
    }
    return out;
}

}  // namespace

// Blocks whose counts repeat a few weights many times (so that the tie rule decides most
// insertions) give exactly the trees of the plain list.
TEST(Huffman, TreesEqualThePlainListBuild) {
    std::mt19937 rng(25);
    for (int trial = 0; trial < 300; ++trial) {
        const uint32_t symbols = 2 + rng() % 255, weights = 1 + rng() % 6;
        std::vector<uint32_t> counts(256, 0), values;
        for (uint32_t k = 0; k < symbols; ++k) counts[rng() % 256] = 1 + rng() % weights;
        for (uint32_t v = 0; v < 256; ++v) values.insert(values.end(), counts[v], v);
        if (std::count_if(counts.begin(), counts.end(), [](uint32_t c) { return c != 0; }) < 2) continue;
        std::shuffle(values.begin(), values.end(), rng);
        auto e = encodeBlock(true, values);
        ASSERT_GT(e.result, 0) << trial;
        Bits bits{e.bytes};
        ASSERT_EQ(bits.get(1), 1u);
        ASSERT_EQ(preorder(readByteTree(bits)), referenceTree(counts)) << trial;
    }
}

TEST(Huffman, TooDeepCodeFailsAndNextBlockRecovers) {
    // Fibonacci weights make a maximally skewed tree: 33 symbols give depth 32.
    std::vector<uint32_t> values;
    uint64_t f0 = 1, f1 = 1;
    for (uint32_t sym = 0; sym < 33; ++sym) {
        for (uint64_t i = 0; i < f0; ++i) values.push_back(sym);
        uint64_t f2 = f0 + f1;
        f0 = f1;
        f1 = f2;
    }
    testsupport::TempDir dir;
    KroFile* f = KroFileCreate(0, dir.file("deep").c_str());
    HuffEncoder* h = HuffOpen(1);
    HuffSetOutput(h, f);
    HuffInitStats(h);
    for (uint32_t v : values) HuffAddStat(h, v);
    EXPECT_EQ(HuffStartEncode(h), -1);
    HuffInitStats(h);
    for (uint32_t v : {1u, 2u, 2u}) HuffAddStat(h, v);
    EXPECT_EQ(HuffStartEncode(h), 24);
    HuffClose(h);
    KroFileClose(f);
}

TEST(Huffman, NullEncoderIsHarmless) {
    EXPECT_EQ(HuffStartEncode(nullptr), -1);
    HuffAddStat(nullptr, 1);
    HuffEncode(nullptr, 1);
    HuffClose(nullptr);
}

}  // namespace
