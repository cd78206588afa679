// Quarn pictures and the writer: files our writer made read back through the plane decoder
// (grey exactly, colour within the declared precision, alpha exactly), frames reached out of
// order, the index growing past the announced count, sound through the transform coder, and
// hand-built frames for what the writer never makes (old revisions without size fields,
// undecodable planes, empty picture parts).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kroutil/quarn.h"
#include "platform/fs.h"
#include "tests/kroutil/quarn/quarn_fixture.h"
#include "tests/support/test_support.h"

namespace {

using namespace quarntest;
using testsupport::TempDir;
using Picture = std::vector<uint32_t>;

// Moving shapes over a gradient, with noise: something for both predictions to work on.
Picture scene(uint32_t w, uint32_t h, uint32_t frame, bool grey, bool alpha, uint32_t seed = 1) {
    std::mt19937 rng(seed * 7919 + frame);
    Picture p(size_t(w) * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t r = (x * 255 / w + frame * 3) & 255, g = (y * 255 / h) & 255, b = ((x + y) * 2) & 255;
            if ((x - frame * 2) % 37 < 9 && y % 23 < 11) r = 250, g = 20, b = 60;
            if (rng() % 16 == 0) r ^= rng() & 15;
            if (grey) g = b = r;
            uint32_t a = alpha ? (x * 7 + y * 3 + frame) & 255 : 0;
            p[size_t(y) * w + x] = a << 24 | r << 16 | g << 8 | b;
        }
    return p;
}

struct Written {
    std::string path;
    std::vector<Picture> frames;
};

Written writeScene(const TempDir& dir, uint32_t w, uint32_t h, uint32_t count, uint32_t flags, uint32_t keyInterval,
                   uint32_t announce, bool greySource) {
    Written out{dir.file("scene.qrn"), {}};
    QuarnWriter* q = QuarnWriterCreate(out.path.c_str(), w, h, 25, 1, flags, announce, keyInterval);
    EXPECT_NE(q, nullptr);
    for (uint32_t i = 0; i < count; ++i) {
        out.frames.push_back(scene(w, h, i, greySource, flags & QUARN_WRITE_ALPHA));
        EXPECT_EQ(QuarnWriterPutFrame(q, out.frames.back().data(), int32_t(w * 4)), 1);
    }
    EXPECT_EQ(QuarnWriterClose(q), 1);
    return out;
}

// Every frame in order through a fresh stream.
std::vector<Picture> readAll(const std::string& path, uint32_t openFlags = QUARN_OPEN_ALPHA) {
    std::vector<Picture> got;
    QuarnStream* s = QuarnStreamOpen(path.c_str(), openFlags);
    EXPECT_NE(s, nullptr) << QuarnLastError();
    if (!s) return got;
    QuarnVideo* v = QuarnVideoOpen(s);
    EXPECT_NE(v, nullptr);
    for (uint32_t i = 0; i < s->frames; ++i) {
        if (i) {
            EXPECT_EQ(QuarnAdvance(s), 1);
        }
        Picture p(size_t(v->width) * v->height, 0xDEADBEEF);
        EXPECT_EQ(QuarnVideoDecode(v, p.data(), int32_t(v->width * 4)), 1) << "frame " << i + 1;
        got.push_back(std::move(p));
    }
    QuarnVideoClose(v);
    QuarnStreamClose(s);
    return got;
}

int channelError(uint32_t a, uint32_t b) {
    int worst = 0;
    for (int shift : {0, 8, 16}) worst = std::max(worst, std::abs(int(a >> shift & 255) - int(b >> shift & 255)));
    return worst;
}

TEST(QuarnPlanes, GreyComesBackExactly) {
    TempDir dir;
    // Odd sizes (chroma rounds up), with and without the grey flag, key frames every third.
    for (uint32_t flags : {0u, uint32_t(QUARN_WRITE_GREY)}) {
        Written wr = writeScene(dir, 61, 37, 7, flags, 3, 7, true);
        std::vector<Picture> got = readAll(wr.path);
        ASSERT_EQ(got.size(), 7u);
        for (size_t i = 0; i < got.size(); ++i)
            for (size_t k = 0; k < got[i].size(); ++k)
                ASSERT_EQ(got[i][k], wr.frames[i][k] & 0xFFFFFF) << "frame " << i << " pixel " << k << " flags " << flags;
        QuarnStream* s = QuarnStreamOpen(wr.path.c_str(), 0);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ((s->videoFlags & QUARN_VIDEO_GREY) != 0, flags == QUARN_WRITE_GREY);
        EXPECT_EQ(s->frameKey, 1u);
        EXPECT_EQ(s->rateNum, 25u);
        QuarnAdvance(s);
        EXPECT_EQ(s->frameKey, 0u);
        QuarnStreamClose(s);
    }
}

TEST(QuarnPlanes, ColourWithinTwoLevelsOnFlatBlocks) {
    // Every colour of a 64-level cube as an aligned 2 x 2 block: chroma is kept per block, so
    // only the rounding of the three planes separates source and result.
    TempDir dir;
    const uint32_t w = 1024, h = 1024;
    Picture p(size_t(w) * h);
    for (uint32_t i = 0; i < 64 * 64 * 64; ++i) {
        uint32_t r = (i >> 12) * 255 / 63, g = (i >> 6 & 63) * 255 / 63, b = (i & 63) * 255 / 63;
        uint32_t bx = i % (w / 2), by = i / (w / 2);
        for (uint32_t d = 0; d < 4; ++d) p[size_t(2 * by + d / 2) * w + 2 * bx + d % 2] = r << 16 | g << 8 | b;
    }
    std::string path = dir.file("cube.qrn");
    QuarnWriter* q = QuarnWriterCreate(path.c_str(), w, h, 1, 1, 0, 1, 1);
    ASSERT_NE(q, nullptr);
    ASSERT_EQ(QuarnWriterPutFrame(q, p.data(), int32_t(w * 4)), 1);
    ASSERT_EQ(QuarnWriterClose(q), 1);
    std::vector<Picture> got = readAll(path);
    ASSERT_EQ(got.size(), 1u);
    int worst = 0;
    for (size_t k = 0; k < p.size(); ++k) worst = std::max(worst, channelError(got[0][k], p[k]));
    EXPECT_LE(worst, 2);
}

TEST(QuarnPlanes, AlphaExactAndOnlyWhenAskedFor) {
    TempDir dir;
    Written wr = writeScene(dir, 40, 30, 4, QUARN_WRITE_ALPHA, 2, 4, false);
    std::vector<Picture> withAlpha = readAll(wr.path, QUARN_OPEN_ALPHA);
    std::vector<Picture> without = readAll(wr.path, 0);
    ASSERT_EQ(withAlpha.size(), 4u);
    ASSERT_EQ(without.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        for (size_t k = 0; k < withAlpha[i].size(); ++k) {
            ASSERT_EQ(withAlpha[i][k] >> 24, wr.frames[i][k] >> 24);
            ASSERT_EQ(without[i][k], withAlpha[i][k] & 0xFFFFFF);  // skipped by its size
        }
}

TEST(QuarnPlanes, FramesOutOfOrderResetAndScaling) {
    TempDir dir;
    Written wr = writeScene(dir, 33, 20, 9, 0, 4, 9, true);
    std::vector<Picture> seq = readAll(wr.path);
    // Make the file ask for doubling in both directions.
    Bytes file = testsupport::readFile(wr.path);
    setWord(file, 36, bytes::load32le(file.data() + 36) | 4u << 28);
    testsupport::writeFile(wr.path, file);
    QuarnStream* s = QuarnStreamOpen(wr.path.c_str(), 0);
    ASSERT_NE(s, nullptr);
    QuarnVideo* v = QuarnVideoOpen(s);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->width, 66u);
    ASSERT_EQ(v->height, 40u);
    Picture p(66 * 40);
    auto check = [&](uint32_t frame) {
        ASSERT_EQ(QuarnGotoFrame(s, frame), 1);
        ASSERT_EQ(QuarnVideoDecode(v, p.data(), 66 * 4), 1) << frame;
        for (uint32_t y = 0; y < 40; ++y)
            for (uint32_t x = 0; x < 66; ++x)
                ASSERT_EQ(p[y * 66 + x], seq[frame - 1][(y / 2) * 33 + x / 2]) << frame << " " << x << "," << y;
    };
    for (uint32_t frame : {7u, 8u, 3u, 9u, 1u, 2u, 6u}) check(frame);  // 7 and 3 start from a key frame
    QuarnVideoClose(v);
    QuarnStreamClose(s);
}

TEST(QuarnPlanes, IndexGrowsPastTheAnnouncedCountAndFailuresLeaveNoFile) {
    TempDir dir;
    for (uint32_t announce : {2u, 0u}) {
        Written wr = writeScene(dir, 16, 16, 5, 0, 2, announce, true);
        std::vector<Picture> got = readAll(wr.path);
        ASSERT_EQ(got.size(), 5u) << announce;
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(got[i], wr.frames[i]) << announce << " " << i;
    }
    std::string path = dir.file("none.qrn");
    QuarnWriter* q = QuarnWriterCreate(path.c_str(), 8, 8, 1, 1, 0, 0, 0);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(QuarnWriterClose(q), 0);  // no frame: nothing to keep
    EXPECT_FALSE(plat::pathExists(path));
    EXPECT_EQ(QuarnWriterCreate(dir.file("no/such/dir.qrn").c_str(), 8, 8, 1, 1, 0, 0, 0), nullptr);
    EXPECT_EQ(QuarnWriterCreate(path.c_str(), 0, 8, 1, 1, 0, 0, 0), nullptr);
    EXPECT_EQ(QuarnWriterCreate(path.c_str(), 8, 32768, 1, 1, 0, 0, 0), nullptr);
    EXPECT_EQ(QuarnWriterCreate(path.c_str(), 8, 8, 0, 1, 0, 0, 0), nullptr);
}

TEST(QuarnPlanes, AWriterThatFailsLeavesNoFile) {
    // Each write of the file layer fails in turn: the writer either completes a file that reads
    // back or reports the failure and removes what it wrote.
    TempDir dir;
    const std::string path = dir.file("faults.qrn");
    int failures = 0;
    for (uint64_t n = 1; n < 40; ++n) {
        plat::setFileFaultAt(n);
        QuarnWriter* q = QuarnWriterCreate(path.c_str(), 24, 20, 5, 1, 0, 2, 2);
        bool ok = q != nullptr;
        for (uint32_t i = 0; q && i < 3; ++i) {
            Picture p = scene(24, 20, i, true, false);
            ok = QuarnWriterPutFrame(q, p.data(), 24 * 4) && ok;
        }
        ok = q && QuarnWriterClose(q) && ok;
        plat::setFileFaultAt(0);
        if (ok) {
            EXPECT_EQ(readAll(path).size(), 3u) << n;
        } else {
            ++failures;
            EXPECT_FALSE(plat::pathExists(path)) << n;
        }
    }
    EXPECT_GT(failures, 0);
}

double snrDb(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
    double sig = 0, noise = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        sig += double(a[i]) * a[i];
        noise += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    }
    return 10 * std::log10(sig / std::max(noise, 1.0));
}

TEST(QuarnPlanes, SoundTracksRoundTrip) {
    TempDir dir;
    const uint32_t rate = 22050, frames = 12, fps = 10;
    for (uint32_t channels : {1u, 2u}) {
        for (uint32_t announce : {frames, 0u}) {  // unknown count: the rest goes into one more frame
            Bytes pcm = testsupport::sinePcm(rate, channels, 16, double(frames) / fps, 440, 110, 12000);
            std::string path = dir.file("sound.qrn");
            QuarnWriter* q = QuarnWriterCreate(path.c_str(), 8, 8, fps, 1, QUARN_WRITE_GREY, announce, 5);
            ASSERT_NE(q, nullptr);
            ASSERT_EQ(QuarnWriterAddTrack(q, 3, rate, channels, 1, 1, 0), 0);
            ASSERT_EQ(QuarnWriterAddTrack(q, 4, rate, channels, 0, 0, 0), 1);  // 8-bit delivery, other variant
            Picture pic(64, 0x404040);
            const size_t per = pcm.size() / frames;
            for (uint32_t i = 0; i < frames; ++i) {
                size_t from = i * per, to = i + 1 == frames ? pcm.size() : from + per;
                for (uint32_t t = 0; t < 2; ++t) ASSERT_EQ(QuarnWriterPutAudio(q, t, pcm.data() + from, uint32_t(to - from)), 1);
                ASSERT_EQ(QuarnWriterPutFrame(q, pic.data(), 32), 1);
            }
            ASSERT_EQ(QuarnWriterClose(q), 1);

            QuarnStream* s = QuarnStreamOpen(path.c_str(), 0);
            ASSERT_NE(s, nullptr) << QuarnLastError();
            EXPECT_EQ(s->frames, announce ? frames : frames + 1);
            QuarnAudioTrack* t16 = QuarnOpenAudioTrack(s, uint32_t(QuarnFindTrack(s, 3)));
            QuarnAudioTrack* t8 = QuarnOpenAudioTrack(s, uint32_t(QuarnFindTrack(s, 4)));
            ASSERT_NE(t16, nullptr);
            ASSERT_NE(t8, nullptr);
            EXPECT_EQ(t8->bitsPerSample, 8u);
            Bytes got16, got8, buf(t16->bufferSize);
            for (;;) {
                uint32_t n = QuarnExtractAudio(t16, buf.data());
                got16.insert(got16.end(), buf.begin(), buf.begin() + n);
                n = QuarnExtractAudio(t8, buf.data());
                got8.insert(got8.end(), buf.begin(), buf.begin() + n);
                if (!QuarnAdvance(s)) break;
            }
            // Every sample comes back, as long as it went in.
            ASSERT_EQ(got16.size(), pcm.size()) << channels << " " << announce;
            ASSERT_EQ(got8.size(), pcm.size() / 2);
            std::vector<int16_t> a(pcm.size() / 2), b(pcm.size() / 2), c(pcm.size() / 2);
            std::memcpy(a.data(), pcm.data(), pcm.size());
            std::memcpy(b.data(), got16.data(), got16.size());
            for (size_t k = 0; k < c.size(); ++k) c[k] = int16_t((int(got8[k]) - 128) * 256);
            EXPECT_GT(snrDb(a, b), 20.0) << channels;
            EXPECT_GT(snrDb(a, c), 15.0) << channels;
            QuarnCloseAudioTrack(t16);
            QuarnCloseAudioTrack(t8);
            QuarnStreamClose(s);
        }
    }
}

// Hand-built frames of constant planes: one sound track, then the picture parts.
Bytes constantFrame(bool alpha, bool lumaSize, bool chroma, uint8_t a, uint8_t y, uint8_t cb, uint8_t cr) {
    Bytes f;
    put32(f, 0);  // the track's empty packet
    if (alpha) {
        put32(f, 4 + 3 + 5);  // a plane and five bytes the decoder must skip
        f.insert(f.end(), {'P', 'C', a, 9, 9, 9, 9, 9});
    }
    if (lumaSize) put32(f, 4 + 3);
    f.insert(f.end(), {'P', 'C', y});
    if (chroma) {
        f.insert(f.end(), {'P', 'C', cb});
        f.insert(f.end(), {'P', 'C', cr});
    }
    return f;
}

TEST(QuarnPlanes, RevisionsWithAndWithoutSizeFieldsAndWherePlanesEnd) {
    struct Case {
        char revision;
        uint32_t fileFlags;
        uint32_t pixel;
        uint32_t alphaEnd, lumaEnd, chroma0, chroma1;
    };
    const uint32_t A = QUARN_VIDEO_ALPHA, G = QUARN_VIDEO_GREY;
    // Luma 100, chroma 128/128: grey 100 (0x646464); alpha 200 in the top byte.
    const Case cases[] = {
        {'i', 0, 0x00646464, 0, 4 + 7, 14 + 0, 17},
        {'i', A, 0xC8646464, 4 + 12, 16 + 7, 26, 29},
        {'h', A, 0xC8646464, 4 + 12, 16 + 3, 22, 25},
        {'f', G, 0x00646464, 0, 4 + 3, 0, 0},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.revision = c.revision;
        f.flags = c.fileFlags;
        f.tracks = {{0, 8000 | QUARN_AUDIO_DCT, 0}};
        Bytes frame = constantFrame(c.fileFlags & A, c.revision == 'i', !(c.fileFlags & G), 200, 100, 128, 128);
        f.frames = {frame, Bytes{0, 0, 0, 0}};  // the second frame: sound only, the picture repeats
        Bytes b = f.build();
        QuarnStream* s = QuarnStreamOpenSized(b.data(), QUARN_OPEN_MEMORY | QUARN_OPEN_ALPHA, b.size());
        ASSERT_NE(s, nullptr) << QuarnLastError();
        QuarnVideo* v = QuarnVideoOpen(s);
        ASSERT_NE(v, nullptr);
        Picture p(48);
        ASSERT_EQ(QuarnVideoDecode(v, p.data(), 32), 1) << c.revision;
        EXPECT_EQ(p[47], c.pixel) << c.revision;
        EXPECT_EQ(v->alphaEnd, c.alphaEnd) << c.revision;
        EXPECT_EQ(v->lumaEnd, c.lumaEnd) << c.revision;
        EXPECT_EQ(v->chromaEnd[0], c.chroma0) << c.revision;
        EXPECT_EQ(v->chromaEnd[1], c.chroma1) << c.revision;
        ASSERT_EQ(QuarnAdvance(s), 1);
        p.assign(48, 0);
        ASSERT_EQ(QuarnVideoDecode(v, p.data(), 32), 1);
        EXPECT_EQ(p[0], c.pixel);
        QuarnVideoClose(v);
        QuarnStreamClose(s);
    }
}

TEST(QuarnPlanes, PlanesFromElsewhereAreUndecodable) {
    struct Case {
        const char* what;
        Bytes video;
    };
    const Case cases[] = {
        {"unknown mark", {7, 0, 0, 0, 'X', 'C', 1, 0}},
        {"unknown kind", {8, 0, 0, 0, 'P', 'Z', 1, 0}},
        {"size field past the frame", {200, 0, 0, 0, 'P', 'C', 1, 0}},
        {"tree cut short", {20, 0, 0, 0, 'P', 'K', 6, 0, 50, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1}},
        {"zero rows", {12, 0, 0, 0, 'P', 'K', 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.flags = QUARN_VIDEO_GREY;
        f.frames = {c.video};
        Bytes b = f.build();
        QuarnStream* s = QuarnStreamOpenSized(b.data(), QUARN_OPEN_MEMORY, b.size());
        ASSERT_NE(s, nullptr);
        QuarnVideo* v = QuarnVideoOpen(s);
        ASSERT_NE(v, nullptr);
        Picture p(48, 0x12345678);
        EXPECT_EQ(QuarnVideoDecode(v, p.data(), 32), 0) << c.what;
        EXPECT_EQ(p[0], 0x12345678u) << c.what;
        QuarnVideoClose(v);
        QuarnStreamClose(s);
    }
}

TEST(QuarnPlanes, WideAndPlainColourConversionAgree) {
    TempDir dir;
    Written wr = writeScene(dir, 67, 19, 2, QUARN_WRITE_ALPHA, 1, 2, false);
    EXPECT_EQ(QuarnControlPlatformFeatures(0), 0u);
    std::vector<Picture> plain = readAll(wr.path);
    EXPECT_EQ(QuarnControlPlatformFeatures(~0u), uint32_t(QUARN_FEATURE_WIDE));
    std::vector<Picture> wide = readAll(wr.path);
    EXPECT_EQ(plain, wide);
}

}  // namespace
