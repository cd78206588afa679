// kro end to end: the tool runs on small files the library's own writers made, and what it
// writes is read back through the library (graphics and sound input, the AVI reader) and, for
// still images, through PIL.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kroutil/gfile.h"
#include "kroutil/input/avi_reader.h"
#include "kroutil/ogfile.h"
#include "kroutil/quarn.h"
#include "kroutil/sfile.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;
using Bytes = std::vector<uint8_t>;

struct Result {
    int rc = -1;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs kro with an environment prefix ("NAME=value ..."); stdout and stderr apart.
Result kro(const std::string& args, const std::string& env = "") {
    static const unsigned tag = std::random_device{}();
    static int calls = 0;
    std::string base = testing::TempDir() + "/kro_" + std::to_string(tag) + "_" + std::to_string(calls++);
    std::string cmd = "env TORVEX_ANSWERS=no " + env + " " + std::string(KRO_PATH) + " " + args + " >" + base +
                      ".out 2>" + base + ".err </dev/null";
    int rc = std::system(cmd.c_str());
    Result r;
    r.rc = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = slurp(base + ".out");
    r.err = slurp(base + ".err");
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return r;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A picture of few colours (so 8-bit outputs keep it exactly): a background that differs per
// frame, a diagonal and a block, as 0x00RRGGBB pixels.
std::vector<uint32_t> picture(int w, int h, int frame) {
    std::vector<uint32_t> px(size_t(w) * h, 0x00204080u + uint32_t(frame) * 0x00300000u);
    for (int y = 0; y < h; ++y) {
        if (y < w) px[size_t(y) * w + y] = 0x00FF0000u;
        for (int x = w / 2; x < w; ++x)
            if (y >= h / 2) px[size_t(y) * w + x] = 0x0000C000u + uint32_t(frame) * 0x10u;
    }
    return px;
}

// A still written by graphics output (one frame: no number in the name).
void writeStill(const std::string& name, int w, int h, int frame) {
    std::vector<uint32_t> px = picture(w, h, frame);
    OGFile* out = OGFileCreate(nullptr, name.c_str(), 1, 15, 1, w, h, w, nullptr, OGFILE_REPLACE, 0);
    ASSERT_NE(out, nullptr) << name;
    ASSERT_EQ(OGFilePut(out, px.data(), nullptr), 1);
    OGFileClose(out);
}

// PNG stills f0.png .. and a list file naming them, in dir.
std::string pngList(const TempDir& dir, int frames, int w, int h) {
    std::string list;
    for (int i = 0; i < frames; ++i) {
        std::string n = dir.file("f" + std::to_string(i) + ".png");
        writeStill(n, w, h, i);
        list += n + "\n";
    }
    testsupport::writeText(dir.file("frames.lst"), list);
    return dir.file("frames.lst");
}

void put16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// A 16-bit mono WAV file of a tone; its samples are returned.
std::vector<int16_t> writeWav(const std::string& name, uint32_t rate, uint32_t frames) {
    std::vector<int16_t> s(frames);
    for (uint32_t i = 0; i < frames; ++i) s[i] = int16_t(9000 * std::sin(i * 0.07) + 3000 * std::sin(i * 0.31));
    Bytes b = {'R', 'I', 'F', 'F'};
    put32(b, 36 + frames * 2);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(b, 16);
    put16(b, 1);
    put16(b, 1);
    put32(b, rate);
    put32(b, rate * 2);
    put16(b, 2);
    put16(b, 16);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put32(b, frames * 2);
    for (int16_t v : s) put16(b, uint16_t(v));
    testsupport::writeFile(name, std::vector<unsigned char>(b.begin(), b.end()));
    return s;
}

struct Frames {
    int width = 0, height = 0, count = 0, rateNum = 0, rateDen = 0;
    std::vector<std::vector<uint32_t>> px;  // 0x00RRGGBB, packed rows
};

// Every frame of a source as graphics input delivers it in true colour.
Frames readFrames(const std::string& name) {
    Frames f;
    GFile* g = GFileOpen(name.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 256, 0, 0, 0, nullptr, nullptr,
                         nullptr);
    if (!g) return f;
    f.width = g->canvasWidth;
    f.height = g->canvasHeight;
    f.count = g->outputFrameCount;
    f.rateNum = g->fileRateNum;
    f.rateDen = g->fileRateDen;
    while (g->outputFrameCounter < g->outputFrameCount && GFileGet(g, 0, 0, 0, 100, 1.0f, 0)) {
        std::vector<uint32_t> px(size_t(f.width) * f.height);
        for (int y = 0; y < f.height; ++y)
            std::memcpy(&px[size_t(y) * f.width], g->canvasBuffer + size_t(y) * g->canvasPitch, size_t(f.width) * 4);
        for (auto& p : px) p &= 0x00FFFFFFu;
        f.px.push_back(px);
    }
    GFileClose(g);
    return f;
}

// The whole sound of a source as 16-bit samples at its own rate and channels.
std::vector<int16_t> readSound(const std::string& name, uint32_t* rate = nullptr, uint32_t* bits = nullptr) {
    std::vector<int16_t> out;
    SFile* s = SFileOpen(name.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    if (!s) return out;
    if (rate) *rate = s->outputRate;
    if (bits) *bits = s->outputBits;
    std::vector<uint8_t> piece(4096);
    for (uint32_t n; (n = SFileGet(s, piece.data(), uint32_t(piece.size()))) != 0;) {
        if (s->outputBits == 16)
            for (uint32_t i = 0; i + 1 < n; i += 2) out.push_back(int16_t(piece[i] | piece[i + 1] << 8));
        else
            for (uint32_t i = 0; i < n; ++i) out.push_back(int16_t((piece[i] - 128) << 8));
    }
    SFileClose(s);
    return out;
}

// Largest channel difference between two pictures of the same size.
int maxDifference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    if (a.size() != b.size()) return 999;
    int most = 0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int sh = 0; sh < 24; sh += 8)
            most = std::max(most, std::abs(int((a[i] >> sh) & 0xFF) - int((b[i] >> sh) & 0xFF)));
    return most;
}

int stderrLines(const std::string& err) {
    int n = 0;
    for (char c : err) n += c == '\n';
    return n;
}

// A minimal Quarn file: a header, no sound tracks, an index and frames of raw bytes.
Bytes quarnFile(uint32_t frames, uint32_t frameBytes) {
    uint32_t pos = 44 + 4 * (frames + 1);
    Bytes b = {'Q', 'R', 'N', 'i'};
    uint32_t end = pos + frames * frameBytes;
    for (uint32_t v : {end - 8, frames, frameBytes, frames, 16u, 8u, 25u, 1u, 0u, 0u}) put32(b, v);
    for (uint32_t i = 0; i <= frames; ++i) put32(b, (pos + i * frameBytes) | 1u);
    b.resize(end, 0x11);
    return b;
}

TEST(Kro, UsageAndExitStatus) {
    struct Case {
        const char* args;
        int rc;
        const char* text;  // in stdout for 0, stderr otherwise
    } cases[] = {
        {"--help", 0, "kro convert IN OUT"},
        {"", 2, "no command"},
        {"frob", 2, "unknown command frob"},
        {"info", 2, "needs at least one file"},
        {"info --bogus x.png", 2, "unknown option --bogus"},
        {"convert a.png", 2, "an input and an output"},
        {"convert a.png b.png --bogus", 2, "unknown option --bogus"},
        {"convert a.png b.png -p", 2, "-p needs"},
        {"convert a.png b.png -p /zz", 2, "picture switches not understood: /zz"},
        {"convert a.wav b.kcs -s \"/R22050 /Q\"", 2, "sound switches not understood: /Q"},
        {"convert a.png b", 2, "needs an extension"},
    };
    for (const Case& c : cases) {
        Result r = kro(c.args);
        EXPECT_EQ(r.rc, c.rc) << c.args << "\n" << r.out << r.err;
        EXPECT_TRUE(has(c.rc == 0 ? r.out : r.err, c.text)) << c.args << "\n" << r.out << r.err;
    }
}

TEST(Kro, InfoReportsEachSourceAndWhyAFileFails) {
    TempDir dir;
    writeStill(dir.file("a.png"), 40, 30, 0);
    writeWav(dir.file("s.wav"), 22050, 11025);
    Bytes q = quarnFile(3, 100);
    testsupport::writeFile(dir.file("v.qrn"), std::vector<unsigned char>(q.begin(), q.end()));
    testsupport::writeFile(dir.file("bad.qrn"), std::vector<unsigned char>(64, 'x'));
    testsupport::writeText(dir.file("junk.png"), "not a picture");

    Result ok = kro("info " + dir.file("a.png") + " " + dir.file("s.wav") + " " + dir.file("v.qrn"));
    EXPECT_EQ(ok.rc, 0) << ok.out << ok.err;
    for (const char* line : {"type: PNG still image", "size: 40 x 30", "depth: 24 bits", "frames: 1",
                             "rate: 15 frames per second", "alpha: no", "sound: none", "kind: sound",
                             "sound: Wave, 22050 Hz, 16-bit, mono; 0.500 seconds (11025 sample frames)",
                             "size: 16 x 8", "frames: 3", "rate: 25 frames per second", "audio tracks: 0"})
        EXPECT_TRUE(has(ok.out, line)) << line << "\n" << ok.out;
    // The buffer and preloading as the stream itself reports them.
    QuarnStream* s = QuarnStreamOpen(dir.file("v.qrn").c_str(), QUARN_OPEN_NO_DECODER_BUFFERS | QUARN_OPEN_NO_THREAD);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(has(ok.out, "buffer size: " + std::to_string(s->bufferSize) + " bytes")) << ok.out;
    EXPECT_TRUE(has(ok.out, std::string("preloaded: ") + (s->preloaded ? "yes" : "no"))) << ok.out;
    QuarnStreamClose(s);

    // One bad file among good ones: every file is reported, the bad ones with their reason.
    ASSERT_EQ(QuarnStreamOpen(dir.file("bad.qrn").c_str(), QUARN_OPEN_NO_THREAD), nullptr);
    std::string quarnWhy = QuarnLastError();
    ASSERT_FALSE(quarnWhy.empty());
    Result bad = kro("info " + dir.file("a.png") + " " + dir.file("bad.qrn") + " " + dir.file("missing.png") + " " +
                     dir.path() + " " + dir.file("junk.png"));
    EXPECT_EQ(bad.rc, 1) << bad.out << bad.err;
    EXPECT_TRUE(has(bad.out, "size: 40 x 30")) << bad.out;
    EXPECT_TRUE(has(bad.out, dir.file("bad.qrn") + "\n  error: " + quarnWhy)) << bad.out;
    EXPECT_TRUE(has(bad.out, dir.file("missing.png") + "\n  error: no such file")) << bad.out;
    EXPECT_TRUE(has(bad.out, dir.path() + "\n  error: is a folder")) << bad.out;
    EXPECT_TRUE(has(bad.out, dir.file("junk.png") + "\n  error: ")) << bad.out;
}

// PNG stills and a WAV into a Torvex file (lossless delta-coded sound), then that file into an
// AVI with its sound: every frame and sample is checked against the sources.
TEST(Kro, PngSequenceWithWavToTorvexAndTorvexToAvi) {
    TempDir dir;
    std::string list = pngList(dir, 3, 40, 32);
    std::vector<int16_t> wav = writeWav(dir.file("s.wav"), 22050, 22050);
    Frames source = readFrames(list);
    ASSERT_EQ(source.count, 3);

    // The numbered stills as a sequence pattern.
    Result r = kro("convert '" + dir.file("f?.png*0") + "' " + dir.file("a.tvx") + " --sound " + dir.file("s.wav") +
                   " -s /L0 -q");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");  // -q: nothing on success
    Frames tvx = readFrames(dir.file("a.tvx"));
    ASSERT_EQ(tvx.count, 3);
    ASSERT_EQ(tvx.width, 40);
    ASSERT_EQ(tvx.height, 32);
    EXPECT_NEAR(double(tvx.rateNum) / tvx.rateDen, 15.0, 0.01) << tvx.rateNum << "/" << tvx.rateDen;
    for (int i = 0; i < 3; ++i) EXPECT_LE(maxDifference(tvx.px[i], source.px[i]), 3) << "frame " << i;  // 6-bit palette
    uint32_t rate = 0;
    std::vector<int16_t> sound = readSound(dir.file("a.tvx"), &rate);
    EXPECT_EQ(rate, 22050u);
    ASSERT_GE(sound.size(), wav.size());
    EXPECT_TRUE(std::equal(wav.begin(), wav.end(), sound.begin()));

    r = kro("convert " + dir.file("a.tvx") + " " + dir.file("b.avi"));
    ASSERT_EQ(r.rc, 0) << r.err;
    const char* why = nullptr;
    kro::AviReader* avi = kro::aviOpen(dir.file("b.avi").c_str(), &why);
    ASSERT_NE(avi, nullptr) << (why ? why : "");
    const kro::AviVideoInfo& v = kro::aviVideo(avi);
    EXPECT_EQ(v.width, 40);
    EXPECT_EQ(v.height, 32);
    ASSERT_EQ(v.frames, 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        const kro::AviFrame* f = kro::aviReadFrame(avi, i);
        ASSERT_NE(f, nullptr);
        std::vector<uint32_t> px(40 * 32);
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 40; ++x) {
                const uint8_t* row = f->pixels + size_t(31 - y) * f->stride;  // bottom-up
                const uint8_t* c = f->colors ? f->colors + 4 * row[x] : row + 3 * x;
                px[size_t(y) * 40 + x] = uint32_t(c[2]) << 16 | uint32_t(c[1]) << 8 | c[0];
            }
        EXPECT_EQ(maxDifference(px, tvx.px[i]), 0) << "frame " << i;
    }
    ASSERT_EQ(kro::aviSoundCount(avi), 1u);
    const kro::AviSoundInfo* si = kro::aviSound(avi, 0);
    EXPECT_EQ(si->rate, 22050u);
    EXPECT_EQ(si->bits, 16u);
    EXPECT_EQ(si->channels, 1u);
    // The sound lasts as long as the pictures: three frames at 15 a second.
    EXPECT_NEAR(double(si->samples), 22050.0 * 3 / 15, 4.0);
    std::vector<int16_t> pcm(size_t(si->samples));
    ASSERT_EQ(kro::aviReadSound(avi, 0, 0, pcm.data(), uint32_t(pcm.size())), pcm.size());
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), wav.begin()));
    kro::aviClose(avi);
}

// GIF stills into a numbered PNG sequence, checked by PIL; PNGs into a Flic and a GIF sequence,
// read back through graphics input.
TEST(Kro, GifToPngSequenceAndPicturesToFlic) {
    TempDir dir;
    std::string list = pngList(dir, 2, 24, 16);
    Frames source = readFrames(list);
    ASSERT_EQ(source.count, 2);
    Result r = kro("convert " + list + " " + dir.file("g.gif"));
    ASSERT_EQ(r.rc, 0) << r.err;
    ASSERT_TRUE(fs::exists(dir.file("g0.gif")) && fs::exists(dir.file("g1.gif")));
    testsupport::writeText(dir.file("gifs.lst"), dir.file("g0.gif") + "\n" + dir.file("g1.gif") + "\n");
    r = kro("convert " + dir.file("gifs.lst") + " " + dir.file("p.png"));
    ASSERT_EQ(r.rc, 0) << r.err;

    if (access("/usr/bin/python3", X_OK) != 0) {
        if (testsupport::underCi()) FAIL() << "/usr/bin/python3 is missing";
        GTEST_SKIP() << "no /usr/bin/python3";
    }
    for (int i = 0; i < 2; ++i) {
        std::string png = dir.file("p" + std::to_string(i) + ".png");
        std::string dump = png + ".rgb";
        std::string cmd = "/usr/bin/python3 -c \"import sys; from PIL import Image; im=Image.open(sys.argv[1]).convert('RGB'); "
                          "print(im.size[0], im.size[1]); open(sys.argv[2],'wb').write(im.tobytes())\" " +
                          png + " " + dump + " > " + dump + ".txt";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(slurp(dump + ".txt"), "24 16\n");
        std::string rgb = slurp(dump);
        ASSERT_EQ(rgb.size(), 24u * 16 * 3);
        std::vector<uint32_t> px(24 * 16);
        for (size_t k = 0; k < px.size(); ++k)
            px[k] = uint32_t(uint8_t(rgb[3 * k])) << 16 | uint32_t(uint8_t(rgb[3 * k + 1])) << 8 | uint8_t(rgb[3 * k + 2]);
        // Graphics input's palette for 8-bit output keeps 6 bits of each channel.
        EXPECT_LE(maxDifference(px, source.px[i]), 3) << png;
    }

    r = kro("convert " + list + " " + dir.file("m.flc") + " -p \"/F30\"");
    ASSERT_EQ(r.rc, 0) << r.err;
    Frames flic = readFrames(dir.file("m.flc"));
    ASSERT_EQ(flic.count, 2);
    EXPECT_NEAR(double(flic.rateNum) / flic.rateDen, 30.0, 0.01);
    for (int i = 0; i < 2; ++i) EXPECT_LE(maxDifference(flic.px[i], source.px[i]), 3) << "frame " << i;
}

// A Flic with a WAV into a Quarn file: the pictures come back through the plane decoder within
// its precision, and the sound through the transform decoder, as long as the pictures last.
TEST(Kro, FlicWithWavToQuarn) {
    TempDir dir;
    std::string list = pngList(dir, 4, 32, 24);
    std::vector<int16_t> wav = writeWav(dir.file("s.wav"), 22050, 22050);
    ASSERT_EQ(kro("convert " + list + " " + dir.file("m.flc")).rc, 0);
    Frames flic = readFrames(dir.file("m.flc"));
    ASSERT_EQ(flic.count, 4);
    Result r = kro("convert " + dir.file("m.flc") + " " + dir.file("m.qrn") + " --sound " + dir.file("s.wav") + " -s /L102");
    ASSERT_EQ(r.rc, 0) << r.err;

    QuarnStream* s = QuarnStreamOpen(dir.file("m.qrn").c_str(), QUARN_OPEN_NO_THREAD);
    ASSERT_NE(s, nullptr) << QuarnLastError();
    EXPECT_EQ(s->frames, 4u);
    EXPECT_EQ(s->width, 32u);
    EXPECT_EQ(s->height, 24u);
    EXPECT_NEAR(double(s->rateNum) / s->rateDen, 15.0, 0.01);
    ASSERT_EQ(s->audioTracks, 1u);
    Result info = kro("info " + dir.file("m.qrn"));
    EXPECT_TRUE(has(info.out, "track 0: identifier 0, 22050 Hz, 16-bit, mono, DCT blocks")) << info.out;
    QuarnVideo* v = QuarnVideoOpen(s);
    QuarnAudioTrack* t = QuarnOpenAudioTrack(s, 0);
    ASSERT_NE(v, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->sampleRate, 22050u);
    std::vector<uint32_t> px(32 * 24);
    std::vector<uint8_t> pcm(t->bufferSize);
    uint64_t soundBytes = 0;
    double energy = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_EQ(QuarnGotoFrame(s, i + 1), 1);
        ASSERT_EQ(QuarnVideoDecode(v, px.data(), 32 * 4), 1) << "frame " << i;
        // Colours that fill their 2 x 2 block come back within 2 levels (chroma is shared by
        // the block); the diagonal's blocks are blurred and left out.
        int checked = 0, most = 0;
        for (int y = 0; y < 24; y += 2)
            for (int x = 0; x < 32; x += 2) {
                const std::vector<uint32_t>& f = flic.px[i];
                uint32_t c = f[y * 32 + x];
                if (f[y * 32 + x + 1] != c || f[(y + 1) * 32 + x] != c || f[(y + 1) * 32 + x + 1] != c) continue;
                ++checked;
                for (int k : {y * 32 + x, y * 32 + x + 1, (y + 1) * 32 + x, (y + 1) * 32 + x + 1})
                    most = std::max(most, maxDifference({px[k] & 0x00FFFFFFu}, {c}));
            }
        EXPECT_GT(checked, 150) << "frame " << i;
        EXPECT_LE(most, 2) << "frame " << i;
        uint32_t n = QuarnExtractAudio(t, pcm.data());
        soundBytes += n;
        for (uint32_t k = 0; k + 1 < n; k += 2) energy += std::abs(double(int16_t(pcm[k] | pcm[k + 1] << 8)));
    }
    // Four frames at 15 a second of a tone of mean level about 7000.
    EXPECT_NEAR(double(soundBytes), 22050.0 * 2 * 4 / 15, 2 * 1024.0);
    EXPECT_GT(energy / (soundBytes / 2 + 1), 3000.0);
    QuarnCloseAudioTrack(t);
    QuarnVideoClose(v);
    QuarnStreamClose(s);
}

// The picture switches reach graphics input: a range of frames and a scaled size.
TEST(Kro, PictureSwitchesChooseFramesAndSize) {
    TempDir dir;
    std::string list = pngList(dir, 3, 40, 30);
    Result r = kro("convert " + list + " " + dir.file("o.bmp") + " -p \"/S2 /E3\" -p \"/(20 /)-1\"");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_FALSE(fs::exists(dir.file("o2.bmp")));
    Frames f = readFrames(dir.file("o1.bmp"));
    EXPECT_EQ(f.width, 20);
    EXPECT_EQ(f.height, 15);
}

// Sound alone: converted to another rate and sample size as WAV, and coded into blocks.
TEST(Kro, SoundToWavAndCodedBlocks) {
    TempDir dir;
    writeWav(dir.file("s.wav"), 22050, 22050);
    Result r = kro("convert " + dir.file("s.wav") + " " + dir.file("o.wav") + " -s \"/R11025 /B8\"");
    ASSERT_EQ(r.rc, 0) << r.err;
    uint32_t rate = 0, bits = 0;
    std::vector<int16_t> s = readSound(dir.file("o.wav"), &rate, &bits);
    EXPECT_EQ(rate, 11025u);
    EXPECT_EQ(bits, 8u);
    EXPECT_EQ(s.size(), 11025u);

    // Transform-coded blocks of a quarter second: header, then blocks whose sample bytes add up
    // to the whole sound (rounded up to the coder's block).
    r = kro("convert " + dir.file("s.wav") + " " + dir.file("t.kcs") + " -s /L104 -b 250");
    ASSERT_EQ(r.rc, 0) << r.err;
    std::string k = slurp(dir.file("t.kcs"));
    ASSERT_GE(k.size(), 16u);
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        std::memcpy(&v, k.data() + at, 4);
        return v;
    };
    EXPECT_EQ(k.substr(0, 4), "KCS1");
    EXPECT_EQ(u32(4), 22050u);
    EXPECT_EQ(uint8_t(k[8]), 16);
    EXPECT_EQ(uint8_t(k[9]), 1);
    uint32_t blocks = u32(12);
    EXPECT_GE(blocks, 4u);
    size_t at = 16;
    uint64_t samples = 0;
    for (uint32_t b = 0; b < blocks; ++b) {
        ASSERT_LE(at + 8, k.size());
        uint32_t coded = u32(at);
        samples += u32(at + 4);
        at += 8 + coded;
    }
    // An empty block ends the file.
    ASSERT_EQ(at + 8, k.size());
    EXPECT_EQ(u32(at), 0u);
    EXPECT_EQ(u32(at + 4), 0u);
    EXPECT_GE(samples, 44100u);
    EXPECT_LT(samples, 44100u + 44100u / 4);
}

// Failures: one line, status 1, and nothing left at the output.
TEST(Kro, FailuresLeaveNoOutput) {
    TempDir dir;
    std::string list = pngList(dir, 2, 16, 16);
    fs::create_directory(dir.file("out"));
    struct Case {
        std::string args;
        int rc;
        const char* text;
    } cases[] = {
        {"convert " + dir.file("nothere.png") + " " + dir.file("out/a.png"), 1, "no such file"},
        {"convert " + list + " " + dir.file("out/a.xyz"), 1, "out/a.xyz"},
        {"convert " + dir.path() + " " + dir.file("out/a.png"), 1, "is a folder"},
        {"convert " + list + " " + dir.file("out"), 2, "extension"},
        {"convert " + list + " " + dir.file("nofolder/a.avi"), 1, "nofolder/a.avi"},
        {"convert " + list + " " + dir.file("out/a.png") + " --sound " + dir.file("f0.png"), 1, "only AVI, Torvex and Quarn"},
        {"convert " + list + " " + dir.file("out/a.avi") + " --sound " + dir.file("none.wav"), 1, "none.wav"},
        {"convert " + list + " " + list, 1, "replace an input"},
    };
    std::string before = slurp(list);
    for (const Case& c : cases) {
        Result r = kro(c.args);
        EXPECT_EQ(r.rc, c.rc) << c.args << "\n" << r.err;
        EXPECT_TRUE(has(r.err, c.text)) << c.args << "\n" << r.err;
        EXPECT_EQ(stderrLines(r.err), c.rc == 2 ? 2 : 1) << c.args << "\n" << r.err;  // usage adds a hint
        EXPECT_TRUE(fs::is_empty(dir.file("out"))) << c.args;
        EXPECT_FALSE(fs::exists(dir.file("nofolder"))) << c.args;
    }
    EXPECT_EQ(slurp(list), before);

    if (geteuid() != 0) {
        fs::create_directory(dir.file("ro"));
        chmod(dir.file("ro").c_str(), 0555);
        Result r = kro("convert " + list + " " + dir.file("ro/a.avi"));
        EXPECT_EQ(r.rc, 1) << r.err;
        EXPECT_EQ(stderrLines(r.err), 1) << r.err;
        EXPECT_TRUE(fs::is_empty(dir.file("ro")));
        chmod(dir.file("ro").c_str(), 0755);
    }
}

// An existing output is kept unless the question is answered yes or -y given.
TEST(Kro, ExistingOutputNeedsYes) {
    TempDir dir;
    std::string list = pngList(dir, 1, 16, 16);
    testsupport::writeText(dir.file("o.avi"), "keep me");
    testsupport::writeText(dir.file("o.wav"), "keep me");
    writeWav(dir.file("s.wav"), 8000, 800);
    for (const std::string& out : {dir.file("o.avi"), dir.file("o.wav")}) {
        std::string in = out == dir.file("o.avi") ? list : dir.file("s.wav");
        Result r = kro("convert " + in + " " + out);
        EXPECT_EQ(r.rc, 1) << r.err;
        EXPECT_TRUE(has(r.err, "not replaced")) << r.err;
        EXPECT_EQ(slurp(out), "keep me");
        r = kro("convert " + in + " " + out, "TORVEX_ANSWERS=yes");
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_NE(slurp(out), "keep me");
        testsupport::writeText(out, "keep me");
        r = kro("-y convert " + in + " " + out);
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_NE(slurp(out), "keep me");
    }
}

// A disk that fills up while the output is written: status 1 and no partial file (a small
// tmpfs in a private mount namespace).
TEST(Kro, FullDiskLeavesNoPartialFile) {
    if (std::system("unshare -rm true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no private mount namespace here";
    TempDir dir;
    std::string list = pngList(dir, 40, 160, 120);  // about 2.3 MB of AVI frames
    writeWav(dir.file("s.wav"), 22050, 22050 * 3);
    fs::create_directory(dir.file("small"));
    for (const char* out : {"a.avi", "a.bmp", "a.wav", "a.tvx"}) {
        std::string in = std::string(out) == "a.wav" ? dir.file("s.wav") : list;
        std::string script = "mount -t tmpfs -o size=8k tmpfs " + dir.file("small") + " && " + std::string(KRO_PATH) +
                             " convert " + in + " " + dir.file("small/") + out +
                             (std::string(out) == "a.tvx" ? " --sound " + dir.file("s.wav") : "") + " 2>" + dir.file("err.txt") +
                             "; echo $? > " + dir.file("rc.txt") + "; ls -A " + dir.file("small") + " > " +
                             dir.file("left.txt");
        ASSERT_EQ(std::system(("unshare -rm sh -c '" + script + "'").c_str()), 0) << script;
        EXPECT_EQ(slurp(dir.file("rc.txt")), "1\n") << out << ": " << slurp(dir.file("err.txt"));
        EXPECT_EQ(stderrLines(slurp(dir.file("err.txt"))), 1) << slurp(dir.file("err.txt"));
        EXPECT_EQ(slurp(dir.file("left.txt")), "") << out;
    }
}

}  // namespace
