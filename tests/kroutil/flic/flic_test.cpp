// Flic writing and reading: our files read back exactly by our reader and by an independent one
// (python3-pil), the writer's chunk choices and header fields, and hand-built files for what the
// writer never makes: other chunk kinds, FLI headers and damaged frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bytes/byte_order.h"
#include "kroutil/flic.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::TempDir;

// ---------------------------------------------------------------------------------------------
// Animations to write.

struct Animation {
    uint32_t width = 0, height = 0;
    std::vector<Bytes> pictures;
    std::vector<Bytes> palettes;  // empty: no palette given with that frame
};

Bytes rampPalette(int shift) {
    Bytes p(768);
    for (int i = 0; i < 256; ++i) {
        p[i * 3] = uint8_t(i + shift);
        p[i * 3 + 1] = uint8_t(255 - i);
        p[i * 3 + 2] = uint8_t(i * 7);
    }
    return p;
}

// A sprite moving over a still background, with a pause (an identical frame), a frame of noise
// (no delta pays) and palette changes of a few scattered entries.
Animation spriteAnimation(uint32_t w, uint32_t h, int frames = 8) {
    Animation a;
    a.width = w;
    a.height = h;
    Bytes background(size_t(w) * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            background[size_t(y) * w + x] = (y / 8) % 3 == 0 ? uint8_t(40 + y / 8) : uint8_t((x / 3 + y) * 5);
    std::mt19937 rng(7);
    Bytes palette = rampPalette(0);
    for (int k = 0; k < frames; ++k) {
        Bytes pic = background;
        int step = k == 3 ? 2 : k;  // frame 3 repeats frame 2
        uint32_t sx = (uint32_t(step) * 13) % (w > 24 ? w - 24 : 1), sy = (uint32_t(step) * 7) % (h > 16 ? h - 16 : 1);
        for (uint32_t y = 0; y < 16 && sy + y < h; ++y)
            for (uint32_t x = 0; x < 24 && sx + x < w; ++x)
                pic[size_t(sy + y) * w + sx + x] = uint8_t(200 + ((x ^ y) & 15) + (x == 0 ? 30 : 0));
        if (k == 5)
            for (auto& b : pic) b = uint8_t(rng());
        a.pictures.push_back(pic);
        if (k == 2) {
            for (int i : {10, 11, 12, 13, 19, 200, 255}) palette[i * 3 + 1] ^= 0x5A;
            a.palettes.push_back(palette);
        } else if (k == 4) {
            a.palettes.push_back({});
        } else if (k == 6) {
            a.palettes.push_back(rampPalette(99));  // every entry changes
            palette = a.palettes.back();
        } else {
            a.palettes.push_back(palette);
        }
    }
    return a;
}

uint32_t writeAnimation(const std::string& path, const Animation& a, int32_t rate = -6667) {
    KroOFlic* o = KroOFlicCreate(path.c_str(), int32_t(a.width), int32_t(a.height), rate);
    EXPECT_NE(o, nullptr);
    if (!o) return 0;
    for (size_t k = 0; k < a.pictures.size(); ++k)
        EXPECT_EQ(KroOFlicPutNext(o, a.pictures[k].data(), a.palettes[k].empty() ? nullptr : a.palettes[k].data()), 1);
    return KroOFlicClose(o);
}

// ---------------------------------------------------------------------------------------------
// A walker over a Flic file's frames, independent of the reader.

struct FrameInfo {
    uint64_t offset;
    uint32_t size;
    std::vector<uint16_t> chunkTypes;
    std::vector<Bytes> chunkData;
};

// Walks a delta chunk's lines and packets as the format lays them out; true when they use up
// the data exactly (so the line count is the number of lines that carry packets).
bool deltaFramingExact(uint16_t type, const Bytes& d) {
    size_t pos = 0;
    auto has = [&](size_t n) { return pos + n <= d.size(); };
    auto u8 = [&]() { return has(1) ? d[pos++] : 0; };
    auto u16 = [&]() {
        uint16_t v = has(2) ? bytes::load16le(&d[pos]) : 0;
        pos += 2;
        return v;
    };
    if (type == 12) u16();  // the first line
    uint32_t lines = u16();
    for (uint32_t l = 0; l < lines; ++l) {
        uint32_t packets = 0;
        if (type == 12) {
            packets = u8();
        } else {
            uint16_t w = u16();
            while ((w & 0xC000) == 0xC000) w = u16();
            if (w & 0x8000) return false;  // our writer never sets a last pixel
            packets = w;
        }
        for (uint32_t p = 0; p < packets; ++p) {
            u8();
            int8_t n = int8_t(u8());
            size_t unit = type == 12 ? 1 : 2;
            pos += n > 0 ? size_t(n) * unit : unit;
        }
        if (pos > d.size()) return false;
    }
    return pos == d.size();
}

std::vector<FrameInfo> walkFrames(const Bytes& file, uint64_t start, size_t frames) {
    std::vector<FrameInfo> out;
    uint64_t at = start;
    for (size_t k = 0; k < frames && at + 16 <= file.size(); ++k) {
        FrameInfo f{at, bytes::load32le(&file[at]), {}, {}};
        EXPECT_EQ(bytes::load16le(&file[at + 4]), 0xF1FA);
        uint64_t c = at + 16;
        for (int n = bytes::load16le(&file[at + 6]); n > 0 && c + 6 <= file.size(); --n) {
            uint32_t size = bytes::load32le(&file[c]);
            f.chunkTypes.push_back(bytes::load16le(&file[c + 4]));
            if (size >= 6 && c + size <= file.size())
                f.chunkData.emplace_back(file.begin() + long(c + 6), file.begin() + long(c + size));
            c += size;
        }
        EXPECT_EQ(c, at + f.size) << "frame " << k << ": chunk sizes add up to the frame size";
        out.push_back(f);
        at += f.size;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Hand-built files.

Bytes chunk(uint16_t type, const Bytes& data) {
    Bytes c(6);
    bytes::store32le(c.data(), uint32_t(data.size() + 6));
    bytes::store16le(c.data() + 4, type);
    c.insert(c.end(), data.begin(), data.end());
    return c;
}

Bytes frame(const std::vector<Bytes>& chunks, uint16_t type = 0xF1FA) {
    Bytes f(16);
    for (const Bytes& c : chunks) f.insert(f.end(), c.begin(), c.end());
    bytes::store32le(f.data(), uint32_t(f.size()));
    bytes::store16le(f.data() + 4, type);
    bytes::store16le(f.data() + 6, uint16_t(chunks.size()));
    return f;
}

struct HeaderFields {
    uint16_t magic = 0xAF12;
    uint16_t frames = 1;
    uint16_t width = 8, height = 4, depth = 8;
    uint32_t speed = 70;
    int32_t exact = 0;
    uint32_t frame1 = 128;
};

Bytes flicFile(const HeaderFields& h, const std::vector<Bytes>& frames) {
    Bytes f(128);
    bytes::store16le(&f[4], h.magic);
    bytes::store16le(&f[6], h.frames);
    bytes::store16le(&f[8], h.width);
    bytes::store16le(&f[10], h.height);
    bytes::store16le(&f[12], h.depth);
    bytes::store32le(&f[16], h.speed);
    bytes::store32le(&f[26], uint32_t(h.exact));
    bytes::store32le(&f[80], h.frame1);
    for (const Bytes& fr : frames) f.insert(f.end(), fr.begin(), fr.end());
    bytes::store32le(&f[0], uint32_t(f.size()));
    return f;
}

Bytes le16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Reader {
    KroFlic* flic = nullptr;
    Bytes picture;
    explicit Reader(const std::string& path) : flic(KroFlicOpen(path.c_str())) {
        if (flic) picture.assign(size_t(flic->pitch) * flic->roundedHeight + 64, 0xEE);
    }
    ~Reader() { KroFlicClose(flic); }
    int next() { return KroFlicGetNext(flic, picture.data()); }
    // The picture's visible part, width x height.
    Bytes visible() const {
        Bytes v;
        for (uint32_t y = 0; y < flic->height; ++y)
            v.insert(v.end(), picture.begin() + long(y) * flic->pitch, picture.begin() + long(y) * flic->pitch + flic->width);
        return v;
    }
    bool paddingClear() const {
        for (uint32_t y = 0; y < flic->roundedHeight; ++y)
            for (uint32_t x = 0; x < flic->pitch; ++x)
                if ((x >= flic->width || y >= flic->height) && picture[size_t(y) * flic->pitch + x] != 0) return false;
        return true;
    }
    Bytes palette() const { return Bytes(flic->palette, flic->palette + 768); }
};

// ---------------------------------------------------------------------------------------------
// Our writer, our reader.

struct RoundTripCase {
    uint32_t width, height;
    uint16_t deltaType;  // the delta chunk the writer must choose
};

class FlicRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(FlicRoundTrip, WrittenFramesReadBackExactlyWithTheExpectedChunks) {
    const RoundTripCase c = GetParam();
    TempDir dir;
    const std::string path = dir.file("anim.flc");
    Animation a = spriteAnimation(c.width, c.height);
    uint32_t size = writeAnimation(path, a);
    Bytes file = testsupport::readFile(path);
    ASSERT_EQ(size, file.size());
    EXPECT_EQ(bytes::load32le(&file[0]), file.size());
    EXPECT_EQ(bytes::load16le(&file[6]), a.pictures.size());

    // Chunk choices: frame 1 a byte run or copy, pause without a picture, noise as a full frame,
    // the others as the size's delta; a ring frame after the last.
    auto frames = walkFrames(file, 128, a.pictures.size() + 1);
    ASSERT_EQ(frames.size(), a.pictures.size() + 1);
    EXPECT_EQ(bytes::load32le(&file[84]), frames[1].offset);
    EXPECT_EQ(frames.back().offset + frames.back().size, file.size());
    EXPECT_EQ(frames[0].chunkTypes, (std::vector<uint16_t>{4, 15}));
    EXPECT_EQ(frames[1].chunkTypes, (std::vector<uint16_t>{c.deltaType}));
    EXPECT_EQ(frames[2].chunkTypes, (std::vector<uint16_t>{4, c.deltaType}));
    EXPECT_EQ(frames[3].chunkTypes, (std::vector<uint16_t>{}));
    EXPECT_EQ(frames[5].chunkTypes.back(), 16) << "noise does not compress";
    EXPECT_EQ(frames[6].chunkTypes.front(), 4);
    for (size_t k = 0; k < frames.size(); ++k)
        for (size_t i = 0; i < frames[k].chunkTypes.size(); ++i)
            if (frames[k].chunkTypes[i] == c.deltaType) {
                EXPECT_TRUE(deltaFramingExact(c.deltaType, frames[k].chunkData[i])) << "frame " << k;
            }

    Reader r(path);
    ASSERT_NE(r.flic, nullptr);
    EXPECT_EQ(r.flic->width, c.width);
    EXPECT_EQ(r.flic->height, c.height);
    EXPECT_EQ(r.flic->pitch, (c.width + 3) / 4 * 4);
    EXPECT_EQ(r.flic->frameCount, a.pictures.size());
    EXPECT_EQ(r.flic->frameRate, -6667);
    Bytes palette(768, 0);
    for (size_t k = 0; k < a.pictures.size(); ++k) {
        bool changed = !a.palettes[k].empty() && a.palettes[k] != palette;
        if (!a.palettes[k].empty()) palette = a.palettes[k];
        EXPECT_EQ(r.next(), changed ? 2 : 1) << "frame " << k;
        EXPECT_TRUE(r.visible() == a.pictures[k]) << "frame " << k;
        EXPECT_TRUE(r.palette() == palette) << "frame " << k;
        EXPECT_TRUE(r.paddingClear()) << "frame " << k;
    }

    // The ring frame, read as one more frame, leads back to frame 1 and its palette.
    bytes::store16le(&file[6], uint16_t(a.pictures.size() + 1));
    testsupport::writeFile(dir.file("ring.flc"), file);
    Reader ring(dir.file("ring.flc"));
    ASSERT_NE(ring.flic, nullptr);
    for (size_t k = 0; k <= a.pictures.size(); ++k) ring.next();
    EXPECT_TRUE(ring.visible() == a.pictures[0]);
    EXPECT_TRUE(ring.palette() == a.palettes[0]);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FlicRoundTrip,
                         ::testing::Values(RoundTripCase{320, 200, 12}, RoundTripCase{324, 100, 7},
                                           RoundTripCase{322, 100, 7}, RoundTripCase{640, 480, 7}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

// Deltas of single changed pixels and short patterns at the line ends, where an encoder that
// looked past the line would misjudge (the pictures are exactly width x height bytes, so a
// read past them is caught by the sanitizers).
TEST(FlicWriter, DeltasAtLineEndsRoundTrip) {
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{320, 200}, {6, 3}, {2, 2}, {1000, 4}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        TempDir dir;
        Animation a;
        a.width = w;
        a.height = h;
        Bytes pic(size_t(w) * h, 9);
        a.pictures.push_back(pic);
        const std::vector<std::vector<std::pair<uint32_t, uint8_t>>> edits = {
            {{w - 1, 1}},                                  // last pixel of the first line
            {{w * h - 1, 2}, {w * h - 2, 2}},              // last two of the last line
            {{w - 3, 5}, {w - 2, 5}, {w - 1, 5}},          // a run ending at the line end
            {{0, 7}, {w, 7}, {w * h - w, 7}},              // first pixels of lines
            {{w / 2, 1}, {w / 2 + 1, 2}, {w - 1, 3}},      // a literal and a lone end pixel
        };
        for (const auto& e : edits) {
            for (auto [at, v] : e) pic[at % pic.size()] = v;
            a.pictures.push_back(pic);
        }
        for (size_t k = 0; k < a.pictures.size(); ++k) a.palettes.push_back(k == 0 ? rampPalette(3) : Bytes{});
        writeAnimation(dir.file("edge.flc"), a);
        Reader r(dir.file("edge.flc"));
        ASSERT_NE(r.flic, nullptr);
        for (size_t k = 0; k < a.pictures.size(); ++k) {
            r.next();
            EXPECT_TRUE(r.visible() == a.pictures[k]) << "frame " << k;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// An independent reader.

TEST(FlicWriter, FilesReadByPythonImagingLibraryToTheSameIndexesAndPalettes) {
    if (std::system("/usr/bin/python3 -c 'import PIL' 2>/dev/null") != 0) {
        if (testsupport::underCi()) FAIL() << "python3-pil is missing";
        GTEST_SKIP() << "python3-pil is missing";
    }
    TempDir dir;
    const std::string script = dir.file("dump.py");
    // Writes, per frame, the palette (768 bytes) and the indexes (width x height bytes).
    testsupport::writeText(script,
                           "import sys\n"
                           "from PIL import Image\n"
                           "im = Image.open(sys.argv[1])\n"
                           "out = open(sys.argv[2], 'wb')\n"
                           "for k in range(im.n_frames):\n"
                           "    im.seek(k)\n"
                           "    pal = im.getpalette() or []\n"
                           "    out.write(bytes((pal + [0] * 768)[:768]))\n"
                           "    out.write(im.tobytes())\n");
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{320, 200}, {322, 100}, {640, 480}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        // That reader keeps frame 1's palette for all frames (it passes over later palette
        // chunks); the indexes of every frame must match all the same.
        Animation a = spriteAnimation(w, h);
        const std::string flc = dir.file("anim.flc"), dump = dir.file("dump.bin");
        writeAnimation(flc, a);
        std::string command = "/usr/bin/python3 " + script + " " + flc + " " + dump;
        ASSERT_EQ(std::system(command.c_str()), 0);
        Bytes d = testsupport::readFile(dump);
        const size_t frameBytes = 768 + size_t(w) * h;
        ASSERT_EQ(d.size(), frameBytes * a.pictures.size());
        for (size_t k = 0; k < a.pictures.size(); ++k) {
            EXPECT_TRUE(Bytes(d.begin() + long(k * frameBytes), d.begin() + long(k * frameBytes + 768)) == a.palettes[0])
                << "palette of frame " << k;
            EXPECT_TRUE(Bytes(d.begin() + long(k * frameBytes + 768), d.begin() + long((k + 1) * frameBytes)) ==
                        a.pictures[k])
                << "indexes of frame " << k;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Header fields and frame costs.

TEST(FlicWriter, IdenticalFrameCostsSixteenBytesAndBlackNeedsNoPalette) {
    TempDir dir;
    Animation a;
    a.width = 320;
    a.height = 200;
    a.pictures = {Bytes(64000, 0), Bytes(64000, 0)};
    a.palettes = {Bytes(768, 0), Bytes(768, 0)};
    writeAnimation(dir.file("black.flc"), a);
    Bytes file = testsupport::readFile(dir.file("black.flc"));
    auto frames = walkFrames(file, 128, 3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].chunkTypes, (std::vector<uint16_t>{15}));
    EXPECT_EQ(frames[1].size, 16u);
    EXPECT_EQ(frames[2].size, 16u) << "the ring frame of an unchanging animation";
    EXPECT_EQ(bytes::load16le(&file[38]), 6);
    EXPECT_EQ(bytes::load16le(&file[40]), 5);
}

TEST(FlicRates, WrittenFieldsAndTheRatesReadBack) {
    struct Case {
        int32_t rate;
        uint32_t speed;
        int32_t exact;
        int32_t read;
    };
    const Case cases[] = {
        {-6667, 66, -6667, -6667},  // 15 frames/s: kept exactly beside the rounded milliseconds
        {-20000, 200, -20000, -20000},
        {-4170, 41, -4170, -4170},
        {50, 50, 0, -5000},  // milliseconds
        {0, 0, 0, -20000},   // speed 0 plays at 200 ms
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        TempDir dir;
        Animation a;
        a.width = 4;
        a.height = 2;
        a.pictures = {Bytes(8, 1)};
        a.palettes = {{}};
        writeAnimation(dir.file("r.flc"), a, c.rate);
        Bytes file = testsupport::readFile(dir.file("r.flc"));
        EXPECT_EQ(bytes::load32le(&file[16]), c.speed);
        EXPECT_EQ(int32_t(bytes::load32le(&file[26])), c.exact);
        EXPECT_EQ(bytes::load16le(&file[38]), 1);
        Reader r(dir.file("r.flc"));
        ASSERT_NE(r.flic, nullptr);
        EXPECT_EQ(r.flic->frameRate, c.read);
    }
}

TEST(FlicRates, HeaderSpeedsOfBothKinds) {
    struct Case {
        uint16_t magic;
        uint32_t speed;
        int32_t exact;
        int32_t read;
    };
    const Case cases[] = {
        {0xAF11, 5, 0, -7142},        // 1/70 s units
        {0xAF11, 5, -20000, -7142},   // the exact field is ours, FLC only
        {0xAF12, 0, 0, -20000},
        {0xAF12, 30001, 0, -20000},
        {0xAF12, 66, -6667, -6667},
        {0xAF12, 66, -6700, -6600},   // does not match the milliseconds: not ours
        {0xAF12, 66, 6667, -6600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.magic) + " " + std::to_string(c.speed) + " " + std::to_string(c.exact));
        TempDir dir;
        HeaderFields h;
        h.magic = c.magic;
        h.speed = c.speed;
        h.exact = c.exact;
        testsupport::writeFile(dir.file("r.flc"), flicFile(h, {frame({})}));
        Reader r(dir.file("r.flc"));
        ASSERT_NE(r.flic, nullptr);
        EXPECT_EQ(r.flic->frameRate, c.read);
    }
}

// ---------------------------------------------------------------------------------------------
// Reader: moving about.

TEST(FlicReader, GotoWrapAndClearing) {
    TempDir dir;
    Animation a = spriteAnimation(26, 18, 7);
    writeAnimation(dir.file("anim.flc"), a);
    Reader r(dir.file("anim.flc"));
    ASSERT_NE(r.flic, nullptr);
    auto gotoFrame = [&](uint32_t n) { return KroFlicGoto(r.flic, n, r.picture.data()); };

    EXPECT_EQ(gotoFrame(3), 2);  // through frames 1 to 3, whose palettes came on the way
    EXPECT_EQ(r.flic->framesRead, 3u);
    EXPECT_TRUE(r.visible() == a.pictures[2]);
    EXPECT_EQ(gotoFrame(5), 1);  // frames 4 and 5 bring no palette
    EXPECT_TRUE(r.visible() == a.pictures[4]);
    EXPECT_EQ(gotoFrame(2), 2);  // backwards: from frame 1 again
    EXPECT_TRUE(r.visible() == a.pictures[1]);
    EXPECT_EQ(gotoFrame(1000), 2);  // limited to the last frame
    EXPECT_EQ(r.flic->framesRead, 7u);
    EXPECT_TRUE(r.visible() == a.pictures[6]);

    // Past the last frame: frame 1 again, drawn on a cleared picture.
    std::fill(r.picture.begin(), r.picture.end(), 0xEE);
    EXPECT_EQ(r.next(), 2);
    EXPECT_EQ(r.flic->framesRead, 1u);
    EXPECT_TRUE(r.visible() == a.pictures[0]);
    EXPECT_TRUE(r.paddingClear());

    EXPECT_EQ(gotoFrame(0), 1);  // rewinds; the next frame is frame 1
    EXPECT_EQ(r.flic->framesRead, 0u);
    EXPECT_EQ(r.next(), 2);
    EXPECT_TRUE(r.visible() == a.pictures[0]);

    EXPECT_EQ(KroFlicGetNext(nullptr, r.picture.data()), 0);
    EXPECT_EQ(KroFlicGetNext(r.flic, nullptr), 0);
    EXPECT_EQ(KroFlicGoto(nullptr, 1, r.picture.data()), 0);
    EXPECT_EQ(KroFlicGetPalette(nullptr), nullptr);
    EXPECT_EQ(KroFlicGetName(nullptr, nullptr), nullptr);
    KroFlicClose(nullptr);
}

TEST(FlicReader, DefaultExtensionsAndName) {
    TempDir dir;
    HeaderFields h;
    testsupport::writeFile(dir.file("only.fli"), flicFile(h, {frame({})}));
    testsupport::writeFile(dir.file("both.fli"), flicFile(h, {frame({})}));
    testsupport::writeFile(dir.file("both.flc"), flicFile(h, {frame({})}));
    testsupport::writeFile(dir.file("plain"), flicFile(h, {frame({})}));
    struct Case {
        std::string asked, opened;
    };
    const Case cases[] = {{"only", "only.fli"}, {"both", "both.flc"}, {"both.fli", "both.fli"}, {"none", ""}};
    for (const Case& c : cases) {
        Reader r(dir.file(c.asked));
        if (c.opened.empty()) {
            EXPECT_EQ(r.flic, nullptr) << c.asked;
            continue;
        }
        ASSERT_NE(r.flic, nullptr) << c.asked;
        char name[KRO_FILE_NAME_SIZE];
        EXPECT_EQ(KroFlicGetName(r.flic, name), name);
        EXPECT_EQ(std::string(name), dir.file(c.opened));
        EXPECT_EQ(std::string(KroFlicGetName(r.flic, nullptr)), dir.file(c.opened));
    }
    // A name without an extension always gets one: a file without one is not found.
    Reader plain(dir.file("plain"));
    EXPECT_EQ(plain.flic, nullptr);
}

TEST(FlicReader, RefusedHeaders) {
    struct Case {
        const char* what;
        HeaderFields h;
        size_t cut = 0;  // bytes removed from the end
    };
    auto with = [](auto change) {
        HeaderFields h;
        change(h);
        return h;
    };
    const Case cases[] = {
        {"short header", HeaderFields{}, 130},
        {"unknown magic", with([](HeaderFields& h) { h.magic = 0xAF13; })},
        {"FLC of 16 bits", with([](HeaderFields& h) { h.depth = 16; })},
        {"width 0", with([](HeaderFields& h) { h.width = 0; })},
        {"height 8193", with([](HeaderFields& h) { h.height = 8193; })},
        {"FLI wider than 8192", with([](HeaderFields& h) { h.magic = 0xAF11, h.width = 9000; })},
        {"FLI without height", with([](HeaderFields& h) { h.magic = 0xAF11, h.height = 0; })},
        {"no frames", with([](HeaderFields& h) { h.frames = 0; })},
    };
    for (const Case& c : cases) {
        TempDir dir;
        Bytes f = flicFile(c.h, {frame({})});
        f.resize(f.size() - std::min(c.cut, f.size()));
        testsupport::writeFile(dir.file("x.flc"), f);
        Reader r(dir.file("x.flc"));
        EXPECT_EQ(r.flic, nullptr) << c.what;
    }
    HeaderFields fli;
    fli.magic = 0xAF11;
    fli.depth = 0;  // FLI files need not state it
    TempDir dir;
    testsupport::writeFile(dir.file("ok.fli"), flicFile(fli, {frame({})}));
    Reader r(dir.file("ok.fli"));
    EXPECT_NE(r.flic, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Reader: chunk kinds our writer does not make.

TEST(FlicReader, HandBuiltChunks) {
    // 8 x 4 picture (pitch 8). Frame 1 a 64-level palette and a byte run with literals; frame 2
    // black; frame 3 a word delta with skipped lines and a last-pixel word; frame 4 a byte delta;
    // frame 5 a copy; a stamp chunk and a frame of another type are passed over.
    Bytes palette64 = le16(2) + Bytes{0, 2, 63, 0, 32, 1, 2, 3} + Bytes{1, 1, 10, 20, 30};
    Bytes byteRun;
    for (int y = 0; y < 4; ++y)
        byteRun = byteRun + Bytes{0, uint8_t(-3), uint8_t(y), 2, 3, 5, uint8_t(7 + y)};  // 3 literal, 5 repeated
    Bytes wordDelta = le16(2) + le16(uint16_t(-1)) + le16(0x8000 | 0x44) + le16(1) + Bytes{2, uint8_t(-2), 9, 8} +
                      le16(uint16_t(-1)) + le16(1) + Bytes{0, 1, 6, 6};
    Bytes byteDelta = le16(1) + le16(2) + Bytes{2, 2, 2, 7, 7, 0, uint8_t(-3), 5} + Bytes{0};
    Bytes copy(32);
    for (int i = 0; i < 32; ++i) copy[size_t(i)] = uint8_t(100 + i);

    HeaderFields h;
    h.frames = 5;
    std::vector<Bytes> frames = {
        frame({chunk(11, palette64), chunk(18, Bytes(20, 0xFF)), chunk(15, byteRun)}),
        frame({}, 0xF100),  // a prefix-like block between frames
        frame({chunk(13, {})}),
        frame({chunk(7, wordDelta)}),
        frame({chunk(12, byteDelta)}),
        frame({chunk(16, copy)}),
    };
    TempDir dir;
    testsupport::writeFile(dir.file("hand.flc"), flicFile(h, frames));
    Reader r(dir.file("hand.flc"));
    ASSERT_NE(r.flic, nullptr);

    EXPECT_EQ(r.next(), 2);
    const uint8_t expectedPalette[] = {255, 0, 130, 4, 8, 12, 0, 0, 0, 40, 81, 121};
    EXPECT_TRUE(Bytes(r.flic->palette, r.flic->palette + 12) == Bytes(std::begin(expectedPalette), std::end(expectedPalette)));
    Bytes first;
    for (int y = 0; y < 4; ++y) first = first + Bytes{uint8_t(y), 2, 3, uint8_t(7 + y), uint8_t(7 + y), uint8_t(7 + y), uint8_t(7 + y), uint8_t(7 + y)};
    EXPECT_TRUE(r.visible() == first);

    EXPECT_EQ(r.next(), 1);
    EXPECT_TRUE(r.visible() == Bytes(32, 0));

    EXPECT_EQ(r.next(), 1);
    Bytes third(32, 0);
    third[8 + 7] = 0x44;                         // last pixel of line 1
    third[8 + 2] = 9, third[8 + 3] = 8;           // two repeated words after a 2-byte skip
    third[8 + 4] = 9, third[8 + 5] = 8;
    third[24 + 0] = 6, third[24 + 1] = 6;        // line 3: one literal word
    EXPECT_TRUE(r.visible() == third);

    EXPECT_EQ(r.next(), 1);
    Bytes fourth = third;
    fourth[8 + 2] = 7, fourth[8 + 3] = 7;        // line 1: skip 2, copy 2
    fourth[8 + 4] = 5, fourth[8 + 5] = 5, fourth[8 + 6] = 5;  // skip 0, repeat 5 three times
    EXPECT_TRUE(r.visible() == fourth);

    EXPECT_EQ(r.next(), 1);
    EXPECT_TRUE(r.visible() == copy);
    EXPECT_EQ(r.flic->lastFrameSize, 38u);
}

TEST(FlicReader, PaletteEntriesPast256AreDropped) {
    // Skip 254, set 3: entries 254 and 255 are set, the third has no place.
    HeaderFields h;
    TempDir dir;
    Bytes packets = le16(1) + Bytes{254, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    testsupport::writeFile(dir.file("p.flc"), flicFile(h, {frame({chunk(4, packets), chunk(4, le16(1) + Bytes{0, 1, 60, 61, 62})})}));
    Reader r(dir.file("p.flc"));
    ASSERT_NE(r.flic, nullptr);
    EXPECT_EQ(r.next(), 2);
    EXPECT_TRUE(Bytes(r.flic->palette + 762, r.flic->palette + 768) == (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(Bytes(r.flic->palette, r.flic->palette + 3) == (Bytes{60, 61, 62})) << "the next chunk applies";
}

// Damaged frames end where they break, write nothing outside the picture (the sanitizers watch
// the exact-size buffer) and leave later frames readable.
TEST(FlicReader, DamagedFramesEndCleanly) {
    struct Case {
        const char* what;
        Bytes frame;
        Bytes expected;  // the 8 x 4 picture after the frame (frame 1 painted it 1 everywhere)
    };
    Bytes ones(32, 1);
    auto painted = [&](std::initializer_list<std::pair<int, uint8_t>> px) {
        Bytes p = ones;
        for (auto [i, v] : px) p[size_t(i)] = v;
        return p;
    };
    const Case cases[] = {
        {"chunk shorter than its header, before a palette", frame({Bytes{3, 0, 0, 0, 4, 0}, chunk(4, le16(1) + Bytes{0, 1, 9, 9, 9})}), ones},
        {"chunk longer than the frame", frame({Bytes{0, 1, 0, 0, 12, 0} + le16(0) + le16(1) + Bytes{1, 0, 1, 5}}),
         painted({{0, 5}})},
        {"byte run of length 0", frame({chunk(15, Bytes{0, 2, 4, 0, 0})}), painted({{0, 4}, {1, 4}})},
        {"byte run longer than the line", frame({chunk(15, Bytes{0, 100, 3})}), painted({{0, 3}, {1, 3}, {2, 3}, {3, 3}, {4, 3}, {5, 3}, {6, 3}, {7, 3}})},
        {"byte delta below the picture", frame({chunk(12, le16(3) + le16(5) + Bytes{1, 0, 1, 2} + Bytes{1, 0, 1, 2})}),
         painted({{24, 2}})},
        {"byte delta packet past the line", frame({chunk(12, le16(0) + le16(1) + Bytes{2, 6, uint8_t(-5), 3, 200, 1, 9})}),
         painted({{6, 3}, {7, 3}})},
        {"byte delta literal past the data", frame({chunk(12, le16(0) + le16(1) + Bytes{1, 0, 100, 1, 2})}), ones},
        {"word delta skipping below the picture", frame({chunk(7, le16(2) + le16(uint16_t(-3)) + le16(1) + Bytes{0, 1, 5, 5} + le16(uint16_t(-4)) + le16(1))}),
         painted({{24, 5}, {25, 5}})},
        {"word delta line count beyond the picture", frame({chunk(7, le16(9) + le16(0) + le16(0) + le16(0) + le16(0) + le16(0))}), ones},
        {"word delta run past the line", frame({chunk(7, le16(1) + le16(1) + Bytes{4, uint8_t(-100), 2, 3})}),
         painted({{4, 2}, {5, 3}, {6, 2}, {7, 3}})},
        {"frame size beyond the file", Bytes{0, 0, 0, 0x7F, 0xFA, 0xF1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0} + chunk(13, {}), Bytes(32, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HeaderFields h;
        h.frames = 3;
        Bytes fill(32, 1);
        std::vector<Bytes> frames = {frame({chunk(16, fill)}), c.frame, frame({chunk(12, le16(0) + le16(1) + Bytes{1, 0, 1, 8})})};
        Bytes file = flicFile(h, frames);
        if (c.frame[3] == 0x7F) file.resize(file.size() - frames[2].size());  // the bad frame is last
        TempDir dir;
        testsupport::writeFile(dir.file("bad.flc"), file);
        KroFlic* flic = KroFlicOpen(dir.file("bad.flc").c_str());
        ASSERT_NE(flic, nullptr);
        Bytes picture(size_t(flic->pitch) * flic->roundedHeight);
        EXPECT_EQ(KroFlicGetNext(flic, picture.data()), 1);
        Bytes palette(flic->palette, flic->palette + 768);
        EXPECT_EQ(KroFlicGetNext(flic, picture.data()), 1);
        EXPECT_TRUE(picture == c.expected);
        EXPECT_TRUE(Bytes(flic->palette, flic->palette + 768) == palette);
        if (c.frame[3] != 0x7F) {
            EXPECT_EQ(KroFlicGetNext(flic, picture.data()), 1);
            EXPECT_EQ(picture[0], 8) << "the next frame reads as usual";
        } else {
            EXPECT_EQ(KroFlicGetNext(flic, picture.data()), 1) << "a frame header past the end";
        }
        KroFlicClose(flic);
    }
}

// ---------------------------------------------------------------------------------------------
// Writer: refusals and limits.

TEST(FlicWriter, RefusedSizes) {
    TempDir dir;
    const std::pair<int32_t, int32_t> sizes[] = {{3, 2}, {0, 2}, {2, 0}, {8194, 2}, {2, 8193}, {-2, 2}};
    for (auto [w, h] : sizes) {
        EXPECT_EQ(KroOFlicCreate(dir.file("bad").c_str(), w, h, 100), nullptr) << w << "x" << h;
        EXPECT_FALSE(std::ifstream(dir.file("bad.flc")).good()) << "nothing created";
    }
    EXPECT_EQ(KroOFlicCreate(dir.file("missing/dir/x.flc").c_str(), 2, 2, 100), nullptr);
    EXPECT_EQ(KroOFlicPutNext(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(KroOFlicClose(nullptr), 0u);

    KroOFlic* o = KroOFlicCreate(dir.file("big").c_str(), 8192, 2, 100);
    ASSERT_NE(o, nullptr) << "8192 is allowed";
    EXPECT_GT(KroOFlicClose(o), 0u);
    EXPECT_TRUE(std::ifstream(dir.file("big.flc")).good()) << "\".flc\" added";
}

TEST(FlicWriter, MoreFramesThanTheHeaderHoldsFailAndRemoveTheFile) {
    TempDir dir;
    const std::string path = dir.file("many.flc");
    KroOFlic* o = KroOFlicCreate(path.c_str(), 2, 1, 100);
    ASSERT_NE(o, nullptr);
    uint8_t pic[2] = {0, 0};
    for (uint32_t k = 0; k < 65535; ++k) {
        pic[0] = uint8_t(k);
        ASSERT_EQ(KroOFlicPutNext(o, pic, nullptr), 1) << k;
    }
    EXPECT_EQ(KroOFlicPutNext(o, pic, nullptr), 0) << "frame 65536";
    EXPECT_EQ(KroOFlicPutNext(o, pic, nullptr), 0);
    EXPECT_EQ(KroOFlicClose(o), 0u);
    EXPECT_FALSE(std::ifstream(path).good());
}

}  // namespace
