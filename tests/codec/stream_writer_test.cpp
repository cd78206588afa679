// The streaming writer: the same bytes as the files the writer made before it streamed (stored
// fixtures), from frames handed over one at a time, and no file from frames that change between
// its two passes or sources that fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "encoder/torvex_writer.h"
#include "tests/codec/content.h"
#include "tests/support/test_support.h"

using namespace tvxtest;
namespace fs = std::filesystem;

namespace {

// The inputs of the stored fixtures (written by the one-call writer before it streamed).
struct Fixture {
    const char* file;
    int version;
    TorvexDisplay display;
    bool ring;
    uint32_t width, height;
    int32_t rate;
};

const Fixture kFixtures[] = {
    {"ring4.tvx", 4, TorvexDisplay::Normal, true, 37, 22, 66},         // raw and DPCM sound, forced palettes
    {"doubled2.tvx", 2, TorvexDisplay::Doubled, false, 100, 32, -6667},  // transform coded sound
};

TorvexWriterTrack tone(uint32_t rate, uint32_t channels, uint32_t bits, double seconds, TorvexAudioCoding coding) {
    TorvexWriterTrack t;
    t.rate = rate;
    t.channels = channels;
    t.bits = bits;
    t.coding = coding;
    t.quality = 10;
    t.pcm = testsupport::sinePcm(rate, channels, bits, seconds, 440, 110, 0.4);
    return t;
}

struct Input {
    Animation a;
    std::vector<TorvexWriterFrame> frames;
    TorvexWriterOptions options;
};

Input inputOf(const Fixture& f) {
    Input in;
    in.a = makeAnimation(f.width, f.height, 6, f.width * 31 + f.height, f.display != TorvexDisplay::Normal);
    for (size_t k = 0; k < 6; ++k) in.frames.push_back({in.a.pixels[k].data(), in.a.palettes[k].data(), k == 2});
    TorvexWriterOptions& o = in.options;
    o.version = f.version;
    o.display = f.display;
    o.ring = f.ring;
    o.ringForcePalette = f.ring;
    o.frameRate = f.rate;
    o.tracks.resize(3);
    if (f.ring) {
        o.tracks[0] = tone(8000, 1, 8, 0.3, TorvexAudioCoding::Raw);
        o.tracks[2] = tone(11025, 2, 16, 0.3, TorvexAudioCoding::Dpcm);
    } else {
        o.tracks[1] = tone(22050, 1, 16, 0.5, TorvexAudioCoding::Dct);
    }
    return in;
}

// Hands out copies of frames through one buffer that it overwrites (so the writer must not
// keep the pointers), and can change or drop frames on the second pass, or fail.
class CopyingSource : public TorvexFrameSource {
public:
    explicit CopyingSource(const std::vector<TorvexWriterFrame>& frames, size_t pixels) : frames_(frames), pixels_(pixels) {}
    int failIn = 0;          // pass (1 or 2) in which frame `at` fails
    int changeIn = 0;        // pass in which frame `at` gets a pixel changed
    int dropIn = 0;          // pass in which the frames end before frame `at`
    int addIn = 0;           // pass in which one frame more follows the last
    bool rewindFails = false;
    size_t at = 0;

    Status next(TorvexWriterFrame* f, std::string* error) override {
        if (dropIn == pass_ && k_ == at) return Status::End;
        if (k_ >= frames_.size() && !(addIn == pass_ && k_ == frames_.size())) return Status::End;
        const TorvexWriterFrame& src = frames_[std::min(k_, frames_.size() - 1)];
        if (failIn == pass_ && k_ == at) {
            *error = "frame " + std::to_string(k_) + " is unreadable";
            return Status::Failed;
        }
        buffer_.assign(src.pixels, src.pixels + pixels_);
        palette_.assign(src.palette, src.palette + 768);
        if (changeIn == pass_ && k_ == at) buffer_[8 * 37 + 1] ^= 0x55;  // in a block of noise
        *f = {buffer_.data(), palette_.data(), src.forcePalette};
        ++k_;
        return Status::Frame;
    }
    bool rewind(std::string* error) override {
        if (rewindFails) {
            *error = "cannot go back";
            return false;
        }
        ++pass_;
        k_ = 0;
        return true;
    }

private:
    const std::vector<TorvexWriterFrame>& frames_;
    size_t pixels_, k_ = 0;
    int pass_ = 0;
    std::vector<uint8_t> buffer_, palette_;
};

// Sound handed out as asked for; it can fail at a byte offset.
class PieceSound : public TorvexSoundSource {
public:
    PieceSound(const std::vector<uint8_t>& pcm, uint64_t failAt = ~uint64_t(0)) : pcm_(pcm), failAt_(failAt) {}
    uint64_t size() const override { return pcm_.size(); }
    bool read(uint8_t* out, size_t bytes, std::string* error) override {
        if (at_ + bytes > failAt_ || at_ + bytes > pcm_.size()) {
            *error = "the sound file ends early";
            return false;
        }
        std::copy(pcm_.begin() + long(at_), pcm_.begin() + long(at_ + bytes), out);
        at_ += bytes;
        return true;
    }

private:
    const std::vector<uint8_t>& pcm_;
    uint64_t failAt_, at_ = 0;
};

// Streams the fixture's input: frames from a copying source, sound from piece sources.
bool stream(const Fixture& f, const Input& in, const std::string& path, CopyingSource& source, size_t budget,
            std::string* error, uint64_t soundFailAt = ~uint64_t(0)) {
    TorvexWriterOptions o = in.options;
    o.tracks.clear();
    TorvexStreamWriter w;
    if (!w.open(path, f.width, f.height, o, error)) return false;
    if (budget != size_t(-1)) w.setChoiceBudget(budget);
    std::vector<std::unique_ptr<PieceSound>> sounds;
    for (size_t t = 0; t < in.options.tracks.size(); ++t) {
        if (in.options.tracks[t].pcm.empty()) continue;
        sounds.push_back(std::make_unique<PieceSound>(in.options.tracks[t].pcm, soundFailAt));
        if (!w.setSound(int(t), in.options.tracks[t], sounds.back().get(), error)) return false;
    }
    return w.write(source, error);
}

}  // namespace

// One call, and streaming with the first pass's block choices kept or all worked out again:
// byte for byte the stored files.
TEST(StreamWriterTest, WritesTheStoredFilesByteForByte) {
    testsupport::TempDir dir;
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.file);
        std::vector<unsigned char> want = testsupport::readFile(std::string(WRITER_FIXTURES) + "/" + f.file);
        ASSERT_FALSE(want.empty());
        Input in = inputOf(f);
        std::string error;
        ASSERT_TRUE(TorvexWrite(dir.file("one.tvx"), f.width, f.height, in.frames, in.options, &error)) << error;
        EXPECT_TRUE(testsupport::readFile(dir.file("one.tvx")) == want);
        for (size_t budget : {size_t(-1), size_t(0), size_t(40)}) {
            SCOPED_TRACE("choice budget " + std::to_string(budget));
            CopyingSource source(in.frames, in.a.pixels[0].size());
            ASSERT_TRUE(stream(f, in, dir.file("s.tvx"), source, budget, &error)) << error;
            EXPECT_TRUE(testsupport::readFile(dir.file("s.tvx")) == want);
        }
    }
}

// Frames that differ on the second pass would not fit the trees of the first: refused, as are
// failing sources; nothing is left behind and a file that was there before stays as it was.
TEST(StreamWriterTest, RefusesChangedFramesAndFailingSources) {
    testsupport::TempDir dir;
    const Fixture& f = kFixtures[0];
    Input in = inputOf(f);
    struct Case {
        const char* name;
        void (*setup)(CopyingSource&);
        size_t budget;
        uint64_t soundFailAt;
        const char* message;
    };
    const Case cases[] = {
        {"pixel changed, choices kept", [](CopyingSource& s) { s.changeIn = 2, s.at = 3; }, size_t(-1), ~0ull, "changed between"},
        {"pixel changed, choices redone", [](CopyingSource& s) { s.changeIn = 2, s.at = 3; }, 0, ~0ull, "changed between"},
        {"first frame changed", [](CopyingSource& s) { s.changeIn = 2, s.at = 0; }, size_t(-1), ~0ull, "changed between"},
        {"fewer frames", [](CopyingSource& s) { s.dropIn = 2, s.at = 4; }, size_t(-1), ~0ull, "changed between"},
        {"one frame more", [](CopyingSource& s) { s.addIn = 2; }, size_t(-1), ~0ull, "changed between"},
        {"fails in the first pass", [](CopyingSource& s) { s.failIn = 1, s.at = 2; }, size_t(-1), ~0ull, "frame 2 is unreadable"},
        {"fails in the second pass", [](CopyingSource& s) { s.failIn = 2, s.at = 5; }, size_t(-1), ~0ull, "frame 5 is unreadable"},
        {"no frames", [](CopyingSource& s) { s.dropIn = 1, s.at = 0; }, size_t(-1), ~0ull, "no frames"},
        {"cannot rewind", [](CopyingSource& s) { s.rewindFails = true; }, size_t(-1), ~0ull, "cannot go back"},
        {"sound ends early", [](CopyingSource&) {}, size_t(-1), 3000, "sound track 2: the sound file ends early"},
    };
    testsupport::writeText(dir.file("older.tvx"), "an older file");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file("bad.tvx");
        testsupport::writeText(path, "an older file");
        CopyingSource source(in.frames, in.a.pixels[0].size());
        c.setup(source);
        std::string error;
        EXPECT_FALSE(stream(f, in, path, source, c.budget, &error, c.soundFailAt));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(testsupport::readFile(path), testsupport::readFile(dir.file("older.tvx")));
        EXPECT_FALSE(fs::exists(path + ".part"));
    }
}
