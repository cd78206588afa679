// Sound input (SFile) and sound conversion (CSFile): WAV files, windows, format and rate
// conversion against small models, raw PCM, lists, and blocks decoded back by the codec.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/audio/dpcm.h"
#include "codec/transform/audio_decoder.h"
#include "encoder/torvex_writer.h"
#include "kroutil/csfile.h"
#include "kroutil/output/avi_writer.h"
#include "kroutil/quarn.h"
#include "kroutil/sfile.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
void chunk(Bytes& b, const char* id, const Bytes& body, uint32_t claimed = 0xFFFFFFFF) {
    b.insert(b.end(), id, id + 4);
    put32(b, claimed == 0xFFFFFFFF ? uint32_t(body.size()) : claimed);
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() & 1) b.push_back(0);
}
Bytes fmtBody(uint32_t rate, uint16_t channels, uint16_t bits, uint16_t tag = 1, bool extensible = false) {
    Bytes f;
    put16(f, extensible ? 0xFFFE : tag);
    put16(f, channels);
    put32(f, rate);
    put32(f, rate * channels * bits / 8);
    put16(f, channels * bits / 8);
    put16(f, bits);
    if (extensible) {
        put16(f, 22);
        put16(f, bits);
        put32(f, channels == 2 ? 3 : 4);
        put16(f, tag);
        for (int i = 0; i < 14; ++i) f.push_back(uint8_t(i));
    }
    return f;
}
Bytes wav(uint32_t rate, uint16_t channels, uint16_t bits, const Bytes& data) {
    Bytes b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    chunk(b, "fmt ", fmtBody(rate, channels, bits));
    chunk(b, "data", data);
    return b;
}
Bytes pcm16(const std::vector<int16_t>& v) {
    Bytes b;
    for (int16_t s : v) put16(b, uint16_t(s));
    return b;
}
std::vector<int16_t> samples16(const Bytes& b) {
    std::vector<int16_t> v(b.size() / 2);
    for (size_t i = 0; i < v.size(); ++i) v[i] = int16_t(uint16_t(b[2 * i] | b[2 * i + 1] << 8));
    return v;
}
// Everything the reader delivers, taken in odd-sized pieces.
Bytes readAll(SFile* s, uint32_t piece = 1001) {
    Bytes all, buf(piece);
    for (;;) {
        uint32_t n = SFileGet(s, buf.data(), piece);
        if (n == 0) break;
        all.insert(all.end(), buf.begin(), buf.begin() + n);
    }
    return all;
}

std::vector<std::string> gMessages;
int32_t collect(const char* text, int32_t level) {
    if (level >= 2) gMessages.push_back(std::to_string(level) + ":" + (text ? text : ""));
    return 0;
}

class SoundIo : public ::testing::Test {
protected:
    void SetUp() override { gMessages.clear(); }
    std::string write(const std::string& name, const Bytes& b) {
        testsupport::writeFile(tmp_.file(name), b);
        return tmp_.file(name);
    }
    testsupport::TempDir tmp_;
};

TEST_F(SoundIo, WaveFilesOpenOrFailClearly) {
    Bytes data = pcm16({100, -100, 200, -200, 300, -300});
    Bytes listFirst = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    chunk(listFirst, "LIST", Bytes{'I', 'N', 'F', 'O', 'x'});  // odd size, padded
    chunk(listFirst, "fmt ", fmtBody(8000, 2, 16));
    chunk(listFirst, "junk", Bytes{1, 2, 3});  // odd-sized chunk before the data
    chunk(listFirst, "data", data);
    Bytes extensible = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    chunk(extensible, "fmt ", fmtBody(8000, 2, 16, 1, true));
    chunk(extensible, "data", data);
    Bytes notPcm = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    chunk(notPcm, "fmt ", fmtBody(8000, 2, 16, 3));
    chunk(notPcm, "data", data);
    Bytes claimsMore = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    chunk(claimsMore, "fmt ", fmtBody(8000, 2, 16));
    chunk(claimsMore, "data", data, 1000000);
    Bytes dataFirst = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    chunk(dataFirst, "data", data);
    chunk(dataFirst, "fmt ", fmtBody(8000, 2, 16));
    struct Case {
        const char* name;
        Bytes file;
        bool opens;
        size_t bytes;
    } cases[] = {
        {"list_first.wav", listFirst, true, data.size()},
        {"extensible.wav", extensible, true, data.size()},
        {"claims_more.wav", claimsMore, true, data.size()},  // the data that is there
        {"not_pcm.wav", notPcm, false, 0},
        {"data_first.wav", dataFirst, false, 0},
        {"empty.wav", Bytes{}, false, 0},
        {"cut.wav", Bytes{'R', 'I', 'F', 'F', 0, 0}, false, 0},
    };
    for (const Case& c : cases) {
        gMessages.clear();
        std::string path = write(c.name, c.file);
        SFile* s = SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, collect);
        ASSERT_EQ(s != nullptr, c.opens) << c.name;
        if (!s) {
            EXPECT_EQ(gMessages, std::vector<std::string>{"2:Error opening the audio input file."}) << c.name;
            continue;
        }
        EXPECT_STREQ(s->typeName, "Wave");
        EXPECT_EQ(s->sourceRate, 8000u);
        EXPECT_EQ(s->sourceChannels, 2u);
        EXPECT_EQ(s->sourceBits, 16u);
        EXPECT_EQ(readAll(s), Bytes(data.begin(), data.begin() + long(c.bytes))) << c.name;
        SFileClose(s);
    }
    // Without an extension the name is a WAV file's.
    write("plain.wav", wav(8000, 1, 8, Bytes{1, 2, 3}));
    SFile* s = SFileOpen(tmp_.file("plain").c_str(), 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(readAll(s), (Bytes{1, 2, 3}));
    SFileClose(s);
}

TEST_F(SoundIo, WindowsInMillisecondsAndFrames) {
    // 4 s of 44.1 kHz 16-bit stereo, each frame holding its own index.
    std::vector<int16_t> v;
    for (int i = 0; i < 4 * 44100; ++i) {
        v.push_back(int16_t(i & 0x7FFF));
        v.push_back(int16_t(-(i & 0x7FFF)));
    }
    Bytes data = pcm16(v);
    std::string path = write("four.wav", wav(44100, 2, 16, data));
    struct Case {
        int32_t start, end;
        size_t skip, bytes;
    } cases[] = {
        {1000, 3000, 176400, 352800},
        {0, 0, 0, data.size()},            // an end of 0 is the end of the sound
        {3000, 0, 529200, 176400},
        {1000, 500, 176400, data.size() - 176400},  // an end before the start does not cut
        {5000, 0, data.size(), 0},         // a start past the end leaves nothing
        // Frames of 1/15 s (6667 x 10 us): frame 16 starts after 15 frames, and the window holds
        // the 15 frames up to the end of frame 30.
        {-16, -30, 44102 * 4, 44102 * 4},
    };
    for (const Case& c : cases) {
        SFile* s = SFileOpen(path.c_str(), 0, 0, 0, c.start, c.end, 0, 0, 0, nullptr);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->totalBytes, c.bytes) << c.start << " " << c.end;
        Bytes got = readAll(s, 4096);
        EXPECT_EQ(got.size(), c.bytes) << c.start << " " << c.end;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + long(c.skip))) << c.start << " " << c.end;
        SFileReset(s);
        EXPECT_EQ(readAll(s, 4096), got);
        SFileClose(s);
    }
}

// The conversions written plainly: the reader's arithmetic, one output frame at a time.
std::vector<int32_t> upModel(const std::vector<int32_t>& f, uint64_t in, uint64_t out) {
    std::vector<int32_t> r;
    size_t n = f.size();
    for (size_t i = 0; i < n; ++i) {
        uint64_t b0 = i * out / in, b1 = (i + 1) * out / in;
        int32_t next = i + 1 < n ? f[i + 1] : f[i];
        int64_t step = (int64_t(next) - f[i]) * 1024 / int64_t(b1 - b0);
        for (uint64_t k = b0; k < b1; ++k) r.push_back(int32_t((int64_t(f[i]) * 1024 + int64_t(k - b0) * step) / 1024));
    }
    return r;
}
std::vector<int32_t> downModel(const std::vector<int32_t>& f, uint64_t in, uint64_t out) {
    std::vector<int32_t> r;
    uint64_t used = 0;
    for (uint64_t k = 1;; ++k) {
        int64_t sum = 0, count = 0;
        while (used * out / in < k && used < f.size()) sum += f[used++], ++count;
        if (!count) break;
        r.push_back(int32_t(sum / count));
    }
    return r;
}

TEST_F(SoundIo, RateConversionFollowsTheModels) {
    std::vector<int16_t> mono;
    for (int i = 0; i < 2000; ++i) mono.push_back(int16_t(12000 * std::sin(i * 0.05) + (i % 7) * 300 - 900));
    std::vector<int32_t> f(mono.begin(), mono.end());
    struct Case {
        uint32_t in, out;
        std::vector<int32_t> expected;
    } cases[] = {
        {22050, 44100, upModel(f, 22050, 44100)},
        {44100, 22050, downModel(f, 44100, 22050)},
        {22050, 48000, upModel(f, 22050, 48000)},
        {48000, 11025, downModel(f, 48000, 11025)},
    };
    for (const Case& c : cases) {
        std::string path = write("rate.wav", wav(c.in, 1, 16, pcm16(mono)));
        SFile* s = SFileOpen(path.c_str(), c.out, 16, 1, 0, 0, 0, 0, 0, nullptr);
        ASSERT_NE(s, nullptr);
        std::vector<int16_t> got = samples16(readAll(s));
        SFileClose(s);
        ASSERT_EQ(got.size(), c.expected.size()) << c.in << "->" << c.out;
        for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], c.expected[i]) << c.in << "->" << c.out << " at " << i;
    }
    EXPECT_EQ(upModel(f, 22050, 44100)[0], f[0]);  // upsampling starts at the first input frame
}

TEST_F(SoundIo, SampleSizeAndChannels) {
    struct Case {
        uint16_t bits, channels;
        Bytes in;
        uint32_t outBits, outChannels;
        Bytes out;
    } cases[] = {
        {16, 2, pcm16({1000, -1000}), 8, 1, Bytes{128}},
        {16, 2, pcm16({1000, -1000}), 16, 1, pcm16({0})},
        {16, 2, pcm16({-32768, 32767, 32767, 32767}), 8, 2, Bytes{0, 255, 255, 255}},
        {8, 1, Bytes{0, 128, 255}, 16, 2, pcm16({-32768, -32768, 0, 0, 32512, 32512})},
        {8, 2, Bytes{10, 20}, 8, 1, Bytes{15}},
        {16, 1, pcm16({-255, 255}), 8, 1, Bytes{128, 128}},  // value / 256 toward zero
    };
    for (const Case& c : cases) {
        std::string path = write("fmt.wav", wav(8000, c.channels, c.bits, c.in));
        SFile* s = SFileOpen(path.c_str(), 0, c.outBits, c.outChannels, 0, 0, 0, 0, 0, nullptr);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(readAll(s), c.out) << c.bits << "/" << c.channels << " -> " << c.outBits << "/" << c.outChannels;
        SFileClose(s);
    }
}

TEST_F(SoundIo, RawPcm) {
    Bytes file = {9, 9, 9};
    Bytes body = pcm16({1, 2, 3, 4, 5, 6});
    file.insert(file.end(), body.begin(), body.end());
    std::string path = write("sound.raw", file);
    SFile* s = SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 0, 88203, 3, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->sourceRate, 11025u);
    EXPECT_EQ(s->sourceBits, 16u);
    EXPECT_EQ(s->sourceChannels, 2u);
    EXPECT_EQ(readAll(s), body);
    SFileClose(s);
    // An offset past the end starts at the last byte (less than a sample frame: nothing).
    s = SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 0, 88203, 1000, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(readAll(s).empty());
    SFileClose(s);
    gMessages.clear();
    EXPECT_EQ(SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 0, 3, 0, collect), nullptr);  // rate 0
    EXPECT_EQ(gMessages, std::vector<std::string>{"2:Error opening the audio input file."});
    std::string empty = write("empty.raw", Bytes{});
    s = SFileOpen(empty.c_str(), 0, 0, 0, 0, 0, 0, 88200, 5, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(readAll(s).empty());
    SFileClose(s);
}

TEST_F(SoundIo, CommandLine) {
    struct Case {
        const char* line;
        uint32_t rate, bits, channels;
        int32_t start, end;
        uint32_t track, code;
        uint64_t offset;
        const char* left;
    } cases[] = {
        {"in.wav /R22050 /B8 /C1 out", 22050, 8, 1, 0, 0, 0, 0, 0, "in.wav    out"},
        {"/S-5 /E3000 /T2", 0, 0, 0, -5, 3000, 2, 0, 0, "  "},
        {"/Y4 /K44", 0, 0, 0, 0, 0, 0, 11025 * 8 + 3, 44, " "},
        {"/Y1 /D8000", 0, 0, 0, 0, 0, 0, 64000, 0, " "},
        {"/Y6 /K9", 0, 0, 0, 0, 0, 0, 0, 0, " "},  // not raw: no offset either
        {"/K9", 0, 0, 0, 0, 0, 0, 0, 0, ""},
    };
    for (const Case& c : cases) {
        char line[128];
        std::strcpy(line, c.line);
        uint32_t rate = 9, bits = 9, channels = 9, track = 9, code = 9;
        int32_t start = 9, end = 9;
        uint64_t offset = 9;
        SFileCommandLine(line, &rate, &bits, &channels, &start, &end, &track, &code, &offset);
        EXPECT_EQ(rate, c.rate) << c.line;
        EXPECT_EQ(bits, c.bits) << c.line;
        EXPECT_EQ(channels, c.channels) << c.line;
        EXPECT_EQ(start, c.start) << c.line;
        EXPECT_EQ(end, c.end) << c.line;
        EXPECT_EQ(track, c.track) << c.line;
        EXPECT_EQ(code, c.code) << c.line;
        EXPECT_EQ(offset, c.offset) << c.line;
        EXPECT_STREQ(line, c.left);
    }
    char line[64] = "/L50 /P /R8000 x";
    int32_t level = 0, present = 0;
    uint32_t rate = 0;
    CSFileCommandline(line, &level, &present, &rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(level, 50);
    EXPECT_EQ(present, 1);
    EXPECT_EQ(rate, 8000u);
    char none[8] = "x";
    CSFileCommandline(none, &level, &present, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(level, 104);
    EXPECT_EQ(present, 0);
}

TEST_F(SoundIo, ListsConcatenate) {
    Bytes a = {1, 2, 3, 4}, b = {5, 6, 7};
    write("a.wav", wav(8000, 1, 8, a));
    write("b.wav", wav(8000, 1, 8, b));
    std::string list = tmp_.file("two.lst");
    testsupport::writeText(list, "# the two parts\n\na.wav\r\n" + tmp_.file("b.wav") + " /L2\n");
    SFile* s = SFileOpen(list.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->typeName, "List");
    EXPECT_EQ(s->totalBytes, 10u);
    Bytes all = readAll(s, 3);
    EXPECT_EQ(all, (Bytes{1, 2, 3, 4, 5, 6, 7, 5, 6, 7}));
    SFileReset(s);
    EXPECT_EQ(readAll(s, 5), all);
    SFileClose(s);
    std::string empty = tmp_.file("empty.LST");
    testsupport::writeText(empty, "# nothing\n");
    gMessages.clear();
    EXPECT_EQ(SFileOpen(empty.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, collect), nullptr);
    EXPECT_EQ(gMessages, std::vector<std::string>{"2:No files in the list file."});
}

// Torvex tracks: selector 0 is the first track with sound, n the file's track n - 1; what the
// reader delivers is what tvx dump writes for the track (the stored frames' sound, the ring
// frame's not again), and the lossless tracks give back what was stored.
TEST_F(SoundIo, TorvexTracksEqualTheDump) {
    auto track = [](uint32_t rate, uint32_t channels, uint32_t bits, TorvexAudioCoding coding) {
        TorvexWriterTrack t;
        t.rate = rate, t.channels = channels, t.bits = bits, t.coding = coding;
        t.pcm = testsupport::sinePcm(rate, channels, bits, 1.3, 300, 200, bits == 16 ? 9000 : 90);
        return t;
    };
    TorvexWriterOptions options;
    options.frameRate = -6667;
    options.ring = true;
    options.tracks = {{}, track(11025, 1, 8, TorvexAudioCoding::Raw), track(22050, 2, 16, TorvexAudioCoding::Dpcm),
                      track(22050, 1, 16, TorvexAudioCoding::Dct)};
    std::vector<uint8_t> picture(16 * 8, 3), palette(768, 9);
    std::vector<TorvexWriterFrame> frames(12, TorvexWriterFrame{picture.data(), palette.data(), false});
    std::string path = tmp_.file("tracks.tvx"), error;
    ASSERT_TRUE(TorvexWrite(path, 16, 8, frames, options, &error)) << error;
    std::string dump = tmp_.file("dump");
    int rc = std::system((std::string(TVX_PATH) + " dump " + path + " " + dump + " >/dev/null 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0);
    struct Case {
        uint32_t selector;
        int track;
        int32_t start;
    } cases[] = {{0, 1, 0}, {2, 1, 0}, {3, 2, 0}, {4, 3, 0}, {2, 1, 200}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selector);
        SFile* s = SFileOpen(path.c_str(), 0, 0, 0, c.start, 0, c.selector, 0, 0, nullptr);
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s->typeName, "Torvex");
        EXPECT_EQ(s->track, c.track);
        Bytes got = readAll(s);
        SFileClose(s);
        Bytes dumped = testsupport::readFile(dump + "/track_" + std::to_string(c.track) + ".pcm");
        // 200 ms of 11025 Hz 8-bit mono: 2205 bytes skipped.
        size_t skip = c.start ? 2205 : 0;
        ASSERT_GT(dumped.size(), skip);
        EXPECT_EQ(got, Bytes(dumped.begin() + long(skip), dumped.end()));
        if (c.track < 3) {
            const std::vector<uint8_t>& stored = options.tracks[size_t(c.track)].pcm;
            EXPECT_EQ(got, Bytes(stored.begin() + long(skip), stored.end()));
        }
    }
    gMessages.clear();
    EXPECT_EQ(SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 1, 0, 0, collect), nullptr);
    EXPECT_EQ(SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 99, 0, 0, collect), nullptr);  // counts as 7
    options.tracks.clear();
    ASSERT_TRUE(TorvexWrite(path, 16, 8, frames, options, &error)) << error;
    EXPECT_EQ(SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, collect), nullptr);
    EXPECT_EQ(gMessages, (std::vector<std::string>{"2:No sound found in the specified Torvex track.",
                                                   "2:No sound found in the specified Torvex track.",
                                                   "2:No sound found in the Torvex file."}));
}

// An AVI file's PCM stream, at 10 frames a second: the whole stream, and a window of frames
// 3 to 5 in the video's own frame period.
TEST_F(SoundIo, AviSound) {
    Bytes pcm = testsupport::sinePcm(11025, 2, 16, 1.0, 500, 100, 9000);
    std::string path = tmp_.file("clip.avi");
    kro::AviWriterVideo video;
    video.width = 4, video.height = 4, video.bits = 24, video.rateNum = 10, video.rateDen = 1;
    kro::AviWriter* w = kro::aviWriterCreate(path.c_str(), video);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(kro::aviWriterSetSound(w, 11025, 16, 2, 0));
    Bytes picture(4 * 4 * 3, 7);
    const uint32_t perFrame = 1102 * 4;
    for (uint32_t k = 0; k * perFrame < pcm.size(); ++k) {
        kro::aviWriterPutFrame(w, picture.data(), nullptr);
        uint32_t n = uint32_t(std::min<size_t>(perFrame, pcm.size() - k * perFrame));
        kro::aviWriterPutSound(w, pcm.data() + k * perFrame, n);
    }
    ASSERT_GT(kro::aviWriterClose(w), 0u);
    SFile* s = SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->typeName, "AVI");
    EXPECT_EQ(s->kind, SFILE_KIND_AVI);
    EXPECT_EQ(readAll(s), pcm);
    SFileClose(s);
    // Frame 3 starts at 0.2 s, frame 5 ends at 0.5 s: 2205 sample frames from 3307.
    s = SFileOpen(path.c_str(), 0, 0, 0, -3, -5, 0, 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    Bytes got = readAll(s);
    EXPECT_EQ(got, Bytes(pcm.begin() + 2205 * 4, pcm.begin() + (2205 + 3307) * 4));
    SFileReset(s);
    EXPECT_EQ(readAll(s, 4096), got);
    SFileClose(s);
    // No such sound stream.
    gMessages.clear();
    EXPECT_EQ(SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 1, 0, 0, collect), nullptr);
    EXPECT_EQ(gMessages, std::vector<std::string>{"2:Error opening the audio input file."});
}

// A Quarn file's track chosen by its identifier: the sound comes back close to what was
// written, a window skips the decoded sound exactly, and an unknown identifier is reported.
TEST_F(SoundIo, QuarnTracks) {
    Bytes pcm = testsupport::sinePcm(22050, 1, 16, 1.0, 440, 0, 9000);
    std::string path = tmp_.file("clip.qrn");
    QuarnWriter* w = QuarnWriterCreate(path.c_str(), 16, 16, 10, 1, 0, 0, 0);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(QuarnWriterAddTrack(w, 5, 22050, 1, 1, 1, 0), 0);
    std::vector<uint32_t> pixels(16 * 16, 0x808080);
    const uint32_t perFrame = 2205 * 2;
    for (uint32_t at = 0; at < pcm.size(); at += perFrame) {
        QuarnWriterPutAudio(w, 0, pcm.data() + at, uint32_t(std::min<size_t>(perFrame, pcm.size() - at)));
        ASSERT_EQ(QuarnWriterPutFrame(w, pixels.data(), 16 * 4), 1);
    }
    ASSERT_EQ(QuarnWriterClose(w), 1);
    SFile* s = SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 5, 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->typeName, "Quarn");
    EXPECT_EQ(s->sourceRate, 22050u);
    Bytes whole = readAll(s);
    SFileClose(s);
    std::vector<int16_t> ref = samples16(pcm), got = samples16(whole);
    ASSERT_GE(got.size(), ref.size() * 9 / 10);
    double signal = 0, noise = 0;
    for (size_t i = 0; i < std::min(got.size(), ref.size()); ++i) {
        signal += double(ref[i]) * ref[i];
        noise += double(got[i] - ref[i]) * (got[i] - ref[i]);
    }
    EXPECT_GT(10 * std::log10(signal / (noise + 1)), 15.0);
    // 200 ms of 22050 Hz 16-bit mono: 8820 bytes skipped.
    s = SFileOpen(path.c_str(), 0, 0, 0, 200, 0, 5, 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(readAll(s), Bytes(whole.begin() + 8820, whole.end()));
    SFileClose(s);
    gMessages.clear();
    EXPECT_EQ(SFileOpen(path.c_str(), 0, 0, 0, 0, 0, 9, 0, 0, collect), nullptr);
    EXPECT_EQ(gMessages, std::vector<std::string>{"2:No sound found in the Quarn file."});
}

// ---- CSFile: blocks decoded by the codec --------------------------------------------------

struct Block {
    uint32_t size = 0, count = 0;
    Bytes body;  // after the count (coded) or the size (raw)
};

std::vector<Block> writeBlocks(CSFile* c, const std::string& path, uint32_t piece, int maxBlocks = 1000) {
    KroFile* f = KroFileCreate(0, path.c_str());
    CSFileSetOutput(c, f);
    std::vector<uint64_t> starts;
    for (int i = 0; i < maxBlocks; ++i) {
        uint64_t at = KroFileGetPos(f);
        uint32_t n = CSFilePut(c, piece);
        if (n == 0) break;
        EXPECT_EQ(KroFileGetPos(f), at + n);
        starts.push_back(at);
    }
    KroFileClose(f);
    Bytes all = testsupport::readFile(path);
    std::vector<Block> blocks;
    for (uint64_t at : starts) {
        Block b;
        b.size = uint32_t(all[at] | all[at + 1] << 8 | all[at + 2] << 16 | uint32_t(all[at + 3]) << 24);
        EXPECT_EQ(b.size % 4, 0u);
        b.count = uint32_t(all[at + 4] | all[at + 5] << 8 | all[at + 6] << 16 | uint32_t(all[at + 7]) << 24);
        b.body.assign(all.begin() + long(at + 8), all.begin() + long(at + b.size));
        blocks.push_back(b);
    }
    return blocks;
}

Bytes decodeDelta(const std::vector<Block>& blocks, bool stereo, bool sixteen) {
    Bytes out;
    for (const Block& b : blocks) {
        Bytes pcm(b.count);
        uint8_t scratch[torvex::kDpcmScratchBytes];
        torvex::DpcmOutput o{pcm.data(), pcm.data() + pcm.size(), pcm.data()};
        uint32_t written = 0;
        auto st = torvex::TorvexDecodeDpcm(b.body.data(), b.body.data() + b.body.size(), b.count, stereo, sixteen,
                                           scratch, o, &written);
        EXPECT_EQ(int(st), int(torvex::DpcmStatus::Decoded));
        EXPECT_EQ(written, b.count);
        out.insert(out.end(), pcm.begin(), pcm.begin() + written);
    }
    return out;
}

TEST_F(SoundIo, DeltaLevelZeroIsLossless) {
    struct Case {
        uint16_t bits, channels;
    } cases[] = {{8, 1}, {8, 2}, {16, 1}, {16, 2}};
    for (const Case& c : cases) {
        Bytes data = testsupport::sinePcm(22050, c.channels, c.bits, 0.7, 440, 110, c.bits == 16 ? 30000 : 120);
        std::string path = write("in.wav", wav(22050, c.channels, c.bits, data));
        // A block length of 1 s over 0.7 s of sound, put in blocks of 200 ms: the sound is
        // completed with silence up to the block length.
        CSFile* cs = CSFileOpen(path.c_str(), 0, 0, 0, 0, 1000, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
        ASSERT_NE(cs, nullptr);
        EXPECT_EQ(cs->transformEncoder, nullptr);
        uint32_t frameBytes = c.channels * c.bits / 8, blockBytes = 22050 / 5 * frameBytes;
        std::vector<Block> blocks = writeBlocks(cs, tmp_.file("out.bin"), blockBytes);
        EXPECT_EQ(cs->totalDelivered, 22050u * frameBytes);
        CSFileClose(cs);
        ASSERT_EQ(blocks.size(), 5u);
        Bytes got = decodeDelta(blocks, c.channels == 2, c.bits == 16);
        ASSERT_EQ(got.size(), 22050u * frameBytes);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin())) << c.bits << "/" << c.channels;
        for (size_t i = data.size(); i < got.size(); ++i) ASSERT_EQ(got[i], c.bits == 8 ? 0x80 : 0) << i;
    }
}

TEST_F(SoundIo, DeltaLevel50StaysNearFullScaleSquare) {
    std::vector<int16_t> v;
    for (int i = 0; i < 8000; ++i) v.push_back((i / 37) % 2 ? 32767 : -32768);
    std::string path = write("square.wav", wav(22050, 1, 16, pcm16(v)));
    CSFile* cs = CSFileOpen(path.c_str(), 50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    ASSERT_NE(cs, nullptr);
    EXPECT_EQ(cs->deltaMask, ~127);
    EXPECT_EQ(cs->deltaTolerance, 128);
    std::vector<Block> blocks = writeBlocks(cs, tmp_.file("out.bin"), 1 << 30);
    CSFileClose(cs);
    ASSERT_EQ(blocks.size(), 1u);
    std::vector<int16_t> got = samples16(decodeDelta(blocks, false, true));
    ASSERT_EQ(got.size(), v.size());
    for (size_t i = 0; i < v.size(); ++i) ASSERT_LE(std::abs(got[i] - v[i]), 128) << i;
}

TEST_F(SoundIo, TransformLevelsDecodeInTheCodec) {
    Bytes data = testsupport::sinePcm(22050, 2, 16, 1.5, 440, 220, 12000);
    std::string path = write("tone.wav", wav(22050, 2, 16, data));
    for (int32_t level : {104, 204}) {
        CSFile* cs = CSFileOpen(path.c_str(), level, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
        ASSERT_NE(cs, nullptr);
        ASSERT_NE(cs->transformEncoder, nullptr);
        std::vector<Block> blocks = writeBlocks(cs, tmp_.file("out.bin"), 22050 * 4 / 2);
        CSFileClose(cs);
        ASSERT_FALSE(blocks.empty());
        torvex::TorvexAudioDecoder* d = torvex::TorvexAudioDecoderCreate(22050, 2, level < 200 ? 1 : 0);
        std::vector<int16_t> got;
        size_t counted = 0;
        for (const Block& b : blocks) {
            const uint8_t* p = b.body.data();
            const uint8_t* e = p + b.body.size();
            uint32_t produced = 0;
            while (p < e) {
                const int16_t* pcm;
                uint32_t bytes;
                const uint8_t* next;
                ASSERT_TRUE(torvex::TorvexAudioDecodeBlock(d, p, e, &pcm, &bytes, &next)) << level;
                got.insert(got.end(), pcm, pcm + bytes / 2);
                produced += bytes;
                p = next;
            }
            // The count is the sound the blocks stand for; only the last coded block of the
            // sound decodes to more (its end is the last sample repeated).
            EXPECT_GE(produced, b.count) << level;
            EXPECT_LT(produced - b.count, 1024u * 2 * 2 * 15 / 16) << level;
            counted += b.count;
        }
        EXPECT_EQ(counted, data.size()) << level;
        torvex::TorvexAudioDecoderFree(d);
        std::vector<int16_t> ref = samples16(data);
        ASSERT_GE(got.size(), ref.size() / 2);
        double signal = 0, noise = 0;
        size_t n = std::min(got.size(), ref.size());
        for (size_t i = 0; i < n; ++i) {
            signal += double(ref[i]) * ref[i];
            noise += double(got[i] - ref[i]) * (got[i] - ref[i]);
        }
        EXPECT_GT(10 * std::log10(signal / (noise + 1)), 15.0) << level;
    }
}

TEST_F(SoundIo, LeadInIsSilence) {
    Bytes data = testsupport::sinePcm(22050, 2, 16, 0.2, 440, 0, 20000);
    std::string path = write("short.wav", wav(22050, 2, 16, data));
    CSFile* cs = CSFileOpen(path.c_str(), 0, 0, 0, 500, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    ASSERT_NE(cs, nullptr);
    EXPECT_EQ(cs->leadInLength, 44100u);
    std::vector<Block> blocks = writeBlocks(cs, tmp_.file("out.bin"), 1 << 30);
    CSFileClose(cs);
    ASSERT_EQ(blocks.size(), 1u);
    Bytes got = decodeDelta(blocks, true, true);
    ASSERT_EQ(got.size(), 44100 + data.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 44100), Bytes(44100, 0));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin() + 44100));
}

}  // namespace
