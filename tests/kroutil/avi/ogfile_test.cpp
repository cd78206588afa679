// Graphics output: numbered still names, every still format read back by an independent reader,
// refusals with their exact messages, the overwrite question, AVI output with sound in step
// (checked by the independent structure check), Flic rows and the JPEG quality setting.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kroutil/flic.h"
#include "kroutil/input/avi_reader.h"
#include "kroutil/media.h"
#include "kroutil/util.h"
#include "kroutil/ogfile.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "tests/kroutil/avi/avi_check.h"
#include "tests/kroutil/images/image_test_util.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::TempDir;

std::vector<std::pair<std::string, int>> gStatus;
int32_t record(const char* text, int32_t level) {
    gStatus.emplace_back(text ? text : "(null)", level);
    return 0;
}

bool exists(const std::string& p) { return plat::pathExists(p); }

// A test picture: 32-bit frames (blue, green, red, x) or 8-bit frames with a palette.
struct Source {
    int32_t width, height, pitch;
    bool trueColour;
    Bytes pixels(uint32_t k) const {
        Bytes b(size_t(pitch) * uint32_t(height) * (trueColour ? 4 : 1), 0xCD);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                if (trueColour) {
                    uint8_t* p = &b[(size_t(y) * uint32_t(pitch) + uint32_t(x)) * 4];
                    p[0] = uint8_t(x * 6 + k);
                    p[1] = uint8_t(y * 9);
                    p[2] = uint8_t(x * 3 + y * 3);
                    p[3] = 0x77;
                } else {
                    b[size_t(y) * uint32_t(pitch) + uint32_t(x)] = uint8_t(x + y * 3 + k);
                }
            }
        return b;
    }
    static Bytes palette(uint32_t k) {
        Bytes p(768);
        for (int i = 0; i < 256; ++i) {
            // Smooth in the index, so that the pictures suit every format (JPEG included).
            p[size_t(i) * 3] = uint8_t(i + k);
            p[size_t(i) * 3 + 1] = uint8_t(255 - i);
            p[size_t(i) * 3 + 2] = uint8_t(i / 2 + 20);
        }
        return p;
    }
    // Frame k with palette p as top-down RGB, as every still file should show it.
    imgtest::Rgb rgb(uint32_t k, uint32_t p) const {
        imgtest::Rgb r{width, height, Bytes(size_t(width) * uint32_t(height) * 3)};
        Bytes px = pixels(k), pal = palette(p);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                uint8_t* d = &r.pixels[(size_t(y) * uint32_t(width) + uint32_t(x)) * 3];
                if (trueColour) {
                    const uint8_t* s = &px[(size_t(y) * uint32_t(pitch) + uint32_t(x)) * 4];
                    d[0] = s[2], d[1] = s[1], d[2] = s[0];
                } else {
                    const uint8_t* s = &pal[size_t(px[size_t(y) * uint32_t(pitch) + uint32_t(x)]) * 3];
                    d[0] = s[0], d[1] = s[1], d[2] = s[2];
                }
            }
        return r;
    }
};

OGFile* create(const std::string& name, uint32_t frames, const Source& s, int32_t flags = OGFILE_REPLACE,
               uint32_t num = 15, uint32_t den = 1) {
    return OGFileCreate(nullptr, name.c_str(), frames, num, den, s.width, s.height, s.pitch, record, flags,
                        s.trueColour ? 0 : 1);
}

TEST(OGFile, StillNamesAreNumberedFromTheFrameCount) {
    TempDir dir;
    Source s{3, 2, 3, false};
    struct Case {
        uint32_t frames;
        const char* pattern;
        const char* first;
        const char* last;
    } cases[] = {{150, "pic%03i.bmp", "pic000.bmp", "pic149.bmp"},
                 {1, "pic.bmp", "pic.bmp", "pic.bmp"},
                 {9, "pic%01i.bmp", "pic0.bmp", "pic8.bmp"},
                 {10, "pic%02i.bmp", "pic00.bmp", "pic09.bmp"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frames);
        TempDir sub;
        OGFile* o = create(sub.file("pic.bmp"), c.frames, s);
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o->kind, OGFILE_KIND_BMP);
        EXPECT_EQ(std::string(o->namePattern), sub.file(c.pattern));
        Bytes px = s.pixels(0), pal = Source::palette(0);
        for (uint32_t k = 0; k < c.frames; ++k) EXPECT_EQ(OGFilePut(o, px.data(), pal.data()), 1);
        EXPECT_EQ(std::string(o->firstName), sub.file(c.first));
        EXPECT_EQ(std::string(o->description), std::string(c.first) + " to " + c.last);
        EXPECT_EQ(o->frameCounter, c.frames);
        EXPECT_TRUE(exists(sub.file(c.first)));
        EXPECT_TRUE(exists(sub.file(c.last)));
        uint64_t written = OGFileClose(o);
        if (c.frames == 1) {
            EXPECT_EQ(written, krofilesize(sub.file("pic.bmp").c_str()));
        } else {
            EXPECT_EQ(written, uint64_t(c.frames) * krofilesize(sub.file(c.first).c_str()));
        }
        EXPECT_FALSE(exists(sub.file(c.frames == 1 ? "pic0.bmp" : "pic.bmp")));
    }
    // A '%' in the name stays a character of the name.
    OGFile* o = create(dir.file("a%s.png"), 3, s);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(std::string(o->namePattern), dir.file("a%%s%01i.png"));
    Bytes px = s.pixels(0), pal = Source::palette(0);
    EXPECT_EQ(OGFilePut(o, px.data(), pal.data()), 1);
    OGFileClose(o);
    EXPECT_TRUE(exists(dir.file("a%s0.png")));
}

// Each format written from 8-bit and 32-bit frames (rows wider than the picture) reads back in
// PIL to the same pixels; JPEG to at least 40 dB at quality 100.
TEST(OGFile, EveryStillFormatReadsBackToTheSamePixels) {
    IMGTEST_REQUIRE_TOOL(imgtest::kPython);
    TempDir dir;
    struct Case {
        const char* ext;
        bool trueColour;
    } cases[] = {{"bmp", true},  {"png", true},  {"tga", true},  {"tif", true},  {"jpg", true},  {"bmp", false},
                 {"png", false}, {"tga", false}, {"tif", false}, {"pcx", false}, {"gif", false}, {"jpg", false}};
    for (const Case& c : cases) {
        std::string what = std::string(c.ext) + (c.trueColour ? " from 32-bit" : " from 8-bit");
        SCOPED_TRACE(what);
        Source s{37, 23, 41, c.trueColour};
        std::string name = dir.file(std::string("still_") + (c.trueColour ? "t." : "p.") + c.ext);
        OGFile* o = create(name, 1, s);
        ASSERT_NE(o, nullptr);
        Bytes px = s.pixels(5), pal = Source::palette(5);
        EXPECT_EQ(OGFilePut(o, px.data(), pal.data()), 1);
        EXPECT_EQ(o->error, 0);
        OGFileClose(o);
        imgtest::Rgb got;
        ASSERT_TRUE(imgtest::rgbFromCommand(imgtest::pilCommand(name), &got));
        imgtest::Rgb want = s.rgb(5, 5);
        if (std::string(c.ext) == "jpg") {
            ASSERT_EQ(got.pixels.size(), want.pixels.size());
            double se = 0;
            for (size_t i = 0; i < want.pixels.size(); ++i) se += std::pow(double(got.pixels[i]) - want.pixels[i], 2);
            double psnr = se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (se / double(want.pixels.size())));
            EXPECT_GE(psnr, 40.0);
        } else {
            EXPECT_EQ(got, want);
        }
        if (std::string(c.ext) == "tga") {
            TgaInfo info{};
            ASSERT_EQ(tgainfo(name.c_str(), &info), IMG_OK);
            EXPECT_EQ(info.pixel_depth, 24);  // 8-bit frames too, through their palette
        }
    }
}

TEST(OGFile, RefusedOutputsSayWhyAndLeaveNoFile) {
    TempDir dir;
    struct Case {
        const char* name;
        bool trueColour;
        const char* message;
    } cases[] = {{"out.gif", true, "Unsupported output file type or color depth."},
                 {"out.pcx", true, "Unsupported output file type or color depth."},
                 {"out.flc", true, "Unsupported output file type or color depth."},
                 {"out.xyz", false, "Unsupported output file type or color depth."},
                 {"noextension", false, "Unsupported output file type or color depth."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Source s{4, 4, 4, c.trueColour};
        gStatus.clear();
        EXPECT_EQ(create(dir.file(c.name), 10, s), nullptr);
        ASSERT_EQ(gStatus.size(), 1u);
        EXPECT_EQ(gStatus[0], std::make_pair(std::string(c.message), 2));
        gStatus.clear();
        EXPECT_EQ(create(dir.file(c.name), 10, s, OGFILE_REPLACE | OGFILE_QUIET_TYPE), nullptr);
        EXPECT_TRUE(gStatus.empty());
        EXPECT_FALSE(exists(dir.file(c.name)));
    }
    // Rows shorter than the frame are refused instead of being read past.
    gStatus.clear();
    EXPECT_EQ(create(dir.file("short.bmp"), 1, Source{8, 2, 4, true}), nullptr);
    EXPECT_EQ(gStatus.size(), 1u);
}

TEST(OGFile, AZeroRateGivesStillsFifteenAndFailsAviAndFlic) {
    TempDir dir;
    Source s{4, 4, 4, false};
    OGFile* o = create(dir.file("z.png"), 2, s, OGFILE_REPLACE, 0, 1);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->rateNum, 15u);
    EXPECT_EQ(o->rateDen, 1u);
    OGFileClose(o);
    for (auto [name, message] : {std::pair{"z.avi", "Error creating the output AVI file."},
                                 std::pair{"z.flc", "Error creating the output flic."}}) {
        for (auto [num, den] : {std::pair{0u, 1u}, std::pair{15u, 0u}}) {
            gStatus.clear();
            EXPECT_EQ(create(dir.file(name), 2, s, OGFILE_REPLACE, num, den), nullptr);
            ASSERT_EQ(gStatus.size(), 1u);
            EXPECT_EQ(gStatus[0], std::make_pair(std::string(message), 2));
            EXPECT_FALSE(exists(dir.file(name)));
        }
    }
}

// The process answers every question "no" (see the test's environment).
TEST(OGFile, ADeclinedOverwriteLeavesTheFileAsItWas) {
    TempDir dir;
    Bytes keep{'k', 'e', 'e', 'p', 0, 1, 2};
    for (const char* name : {"old.avi", "old.flc", "old000.bmp"}) {
        SCOPED_TRACE(name);
        std::string path = dir.file(name);
        testsupport::writeFile(path, keep);
        std::string asked = std::string(name) == "old000.bmp" ? dir.file("old.bmp") : path;
        gStatus.clear();
        EXPECT_EQ(create(asked, 100, Source{4, 4, 4, false}, 0), nullptr);
        ASSERT_EQ(gStatus.size(), 1u);
        EXPECT_EQ(gStatus[0], std::make_pair(std::string("(null)"), 3));
        EXPECT_EQ(testsupport::readFile(path), keep);
        // Bit 1: replaced without a question.
        gStatus.clear();
        OGFile* o = create(asked, 100, Source{4, 4, 4, false}, OGFILE_REPLACE);
        ASSERT_NE(o, nullptr);
        Bytes px = Source{4, 4, 4, false}.pixels(0), pal = Source::palette(0);
        OGFilePut(o, px.data(), pal.data());
        EXPECT_GT(OGFileClose(o), 0u);
        EXPECT_TRUE(gStatus.empty());
        EXPECT_NE(testsupport::readFile(path), keep);
    }
}

TEST(OGFile, SoundAmountsKeepTheSoundAPreloadAhead) {
    TempDir dir;
    Source s{4, 2, 4, true};
    // 15 frames a second, 22050 Hz 16-bit stereo: a preload of 16540 sample frames.
    OGFile* o = create(dir.file("s.avi"), 100, s);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(OGFilePutSoundAmount(o, 22050, 16, 2), 66160u);
    EXPECT_EQ(o->preloadBytes, 66160u);
    EXPECT_EQ(o->soundTotal, 88200u * 100 / 15);
    Bytes sound(66160, 1);
    EXPECT_EQ(OGFilePutSound(o, sound.data(), 66160), 1);
    EXPECT_EQ(OGFilePutSoundAmount(o, 22050, 16, 2), 5880u);
    OGFileClose(o);

    // At 30000/1001 frames a second the amounts are whole sample frames and never drift: after
    // n calls the sound delivered is exactly the preload plus n frames' worth, to a sample frame.
    o = create(dir.file("ntsc.avi"), 600, s, OGFILE_REPLACE, 30000, 1001);
    ASSERT_NE(o, nullptr);
    Bytes buf(200000, 3);
    uint64_t delivered = 0;
    for (uint32_t n = 0; n < 600; ++n) {
        uint32_t amount = OGFilePutSoundAmount(o, 44100, 16, 2);
        ASSERT_EQ(amount % 4, 0u);
        // The target after n frames: the preload plus n frames' worth, to a whole sample frame.
        uint64_t due = uint64_t(176400) * n * 1001 / 30000 / 4 * 4;
        ASSERT_EQ(delivered + amount, std::min<uint64_t>(o->soundTotal, due + o->preloadBytes)) << n;
        ASSERT_EQ(OGFilePutSound(o, buf.data(), amount), 1);
        delivered += amount;
    }
    EXPECT_EQ(delivered, o->soundTotal);
    EXPECT_EQ(o->soundExpected, 0u);
    OGFileClose(o);

    // Other outputs take no sound.
    o = create(dir.file("x.bmp"), 1, s);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(OGFilePutSoundAmount(o, 22050, 16, 2), 0u);
    OGFileClose(o);
    o = create(dir.file("bad.avi"), 1, s);
    gStatus.clear();
    EXPECT_EQ(OGFilePutSoundAmount(o, 22050, 12, 2), 0u);
    EXPECT_EQ(gStatus, (std::vector<std::pair<std::string, int>>{{"Error creating the output sound track.", 2}}));
    OGFileClose(o);
}

// AVI output: 8-bit frames with palette changes and 32-bit frames, rows wider than the picture,
// sound as the amounts ask; the independent check and our reader see what was put.
TEST(OGFile, AviOutputCarriesFramesPalettesAndSound) {
    TempDir dir;
    for (bool trueColour : {false, true}) {
        SCOPED_TRACE(trueColour);
        Source s{9, 5, 12, trueColour};
        std::string name = dir.file("out.avi");
        const uint32_t frames = 20;
        OGFile* o = create(name, frames, s);
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o->kind, OGFILE_KIND_AVI);
        EXPECT_EQ(o->aviReady, 1);
        Bytes sound;
        for (uint32_t k = 0; k < frames; ++k) {
            uint32_t n = OGFilePutSoundAmount(o, 8000, 8, 1);
            Bytes chunk(n);
            for (uint8_t& b : chunk) b = uint8_t(sound.size() * 7 + (&b - chunk.data()) * 7);
            sound.insert(sound.end(), chunk.begin(), chunk.end());
            OGFilePutSound(o, chunk.data(), n);
            Bytes px = s.pixels(k), pal = Source::palette(k / 4);
            ASSERT_EQ(OGFilePut(o, px.data(), pal.data()), 1);
        }
        uint64_t size = OGFileClose(o);
        EXPECT_EQ(size, krofilesize(name.c_str()));

        avicheck::Expect e;
        e.width = 9;
        e.height = 5;
        e.bits = trueColour ? 24 : 8;
        e.rateNum = 15;
        e.rateDen = 1;
        e.frames = frames;
        e.sound = true;
        e.soundRate = 8000;
        e.soundBits = 8;
        e.soundChannels = 1;
        uint32_t badFrames = 0;
        avicheck::Checker checker;
        avicheck::Result r = checker.run(
            name, e,
            [&](uint32_t k, const Bytes& px, const Bytes& colors) {
                imgtest::Rgb want = s.rgb(k, k / 4);
                uint32_t stride = (e.bits * 9 + 31) / 32 * 4;
                for (int32_t y = 0; y < 5; ++y)
                    for (int32_t x = 0; x < 9; ++x) {
                        const uint8_t* w = &want.pixels[(size_t(y) * 9 + size_t(x)) * 3];
                        size_t row = size_t(4 - y) * stride;  // bottom-up
                        uint8_t b, g, rd;
                        if (trueColour) {
                            b = px[row + size_t(x) * 3], g = px[row + size_t(x) * 3 + 1], rd = px[row + size_t(x) * 3 + 2];
                        } else {
                            const uint8_t* t = &colors[size_t(px[row + size_t(x)]) * 4];
                            b = t[0], g = t[1], rd = t[2];
                        }
                        if (rd != w[0] || g != w[1] || b != w[2]) ++badFrames;
                    }
            },
            [&](uint64_t at, const Bytes& d) {
                for (size_t i = 0; i < d.size(); ++i)
                    if (at + i >= sound.size() || d[i] != sound[at + i]) ++badFrames;
            });
        EXPECT_TRUE(r.ok()) << r.text();
        EXPECT_EQ(badFrames, 0u);
        EXPECT_EQ(r.soundBytes, sound.size());
        EXPECT_EQ(r.paletteChanges, trueColour ? 0u : (frames - 1) / 4);
        kro::AviReader* rd = kro::aviOpen(name.c_str());
        ASSERT_NE(rd, nullptr);
        EXPECT_EQ(kro::aviVideo(rd).frames, frames);
        EXPECT_EQ(kro::aviSound(rd, 0)->samples, sound.size());
        kro::aviClose(rd);
    }
}

// Flic rows are the width rounded up to 4; a caller's narrower rows are copied, not over-read.
TEST(OGFile, FlicOutputPadsNarrowRows) {
    TempDir dir;
    Source s{5, 3, 5, false};
    std::string name = dir.file("f.flc");
    OGFile* o = create(name, 3, s);
    ASSERT_NE(o, nullptr);
    for (uint32_t k = 0; k < 3; ++k) {
        Bytes px = s.pixels(k), pal = Source::palette(0);
        px.shrink_to_fit();  // exactly pitch x height bytes, so the sanitizer sees any over-read
        ASSERT_EQ(OGFilePut(o, px.data(), pal.data()), 1);
    }
    EXPECT_GT(OGFileClose(o), 0u);
    KroFlic* f = KroFlicOpen(name.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->width, 8u);
    EXPECT_EQ(f->frameCount, 3u);
    EXPECT_EQ(f->frameRate, -6666);
    Bytes picture(size_t(f->pitch) * f->roundedHeight);
    for (uint32_t k = 0; k < 3; ++k) {
        KroFlicGetNext(f, picture.data());
        Bytes want = s.pixels(k);
        for (int32_t y = 0; y < 3; ++y)
            EXPECT_EQ(0, std::memcmp(&picture[size_t(y) * f->pitch], &want[size_t(y) * 5], 5)) << k << " " << y;
    }
    KroFlicClose(f);
}

TEST(OGFile, JpegQualityComesFromTheProfile) {
    TempDir dir;
    std::string profile = dir.file("win.ini");
    const char* old = std::getenv("TORVEX_PROFILE");
    std::string saved = old ? old : "";
    setenv("TORVEX_PROFILE", profile.c_str(), 1);
    struct Case {
        const char* text;
        int32_t quality;
    } cases[] = {{"", 100}, {"[Kro Video Tools]\nJPEGLevel=75\n", 75}, {"[Kro Video Tools]\nJPEGLevel=0\n", 1},
                 {"[Kro Video Tools]\nJPEGLevel=250\n", 100}};
    for (const Case& c : cases) {
        testsupport::writeText(profile, c.text);
        plat::profileReload();
        OGFile* o = create(dir.file("q.jpg"), 1, Source{4, 4, 4, true});
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o->jpegQuality, c.quality) << c.text;
        OGFileClose(o);
    }
    if (old) setenv("TORVEX_PROFILE", saved.c_str(), 1);
    else unsetenv("TORVEX_PROFILE");
    plat::profileReload();
}

TEST(OGFile, NullRecordsAreIgnored) {
    gStatus.clear();
    EXPECT_EQ(OGFilePut(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(OGFilePutSoundAmount(nullptr, 1, 8, 1), 0u);
    EXPECT_EQ(OGFilePutSound(nullptr, nullptr, 4), 0);
    EXPECT_EQ(OGFileClose(nullptr), 0u);
    EXPECT_EQ(QTFileOpen("x.mov", 15, 1, record), nullptr);
    EXPECT_EQ(QTSFileOpen("x.mov", 1, record), nullptr);
    EXPECT_EQ(QTFileGet(nullptr), 0);
    EXPECT_EQ(QTSFileGet(nullptr, nullptr, 10), 0u);
    QTFileGoto(nullptr, 3);
    QTSFileGoto(nullptr, 3);
    QTFileClose(nullptr);
    QTSFileClose(nullptr);
    KroAVIInit();
    KroQTShutdown();
    EXPECT_TRUE(gStatus.empty());
}

}  // namespace
