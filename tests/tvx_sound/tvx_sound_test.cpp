// tvx with sound: WAV files encoded as each coding and dumped back, bad WAV files and options,
// and tvx play on the headless display with the mix written to a WAV file.
#include "tests/tvx_sound/tvx_sound.h"

using namespace tvxsound;

namespace {

struct TrackCase {
    int track;
    uint32_t rate;
    int channels;
    int bits;
    const char* coding;  // as given to --audio
    double seconds;
};

// 15 frames of 32 x 16 at 15 frames a second.
const char* kFrameOptions = " --size 32x16 --rate -6667";

std::string describeTrack(const TrackCase& c) {
    return "track " + std::to_string(c.track) + " " + std::to_string(c.rate) + " Hz " + std::to_string(c.channels) + " ch " +
           std::to_string(c.bits) + "-bit " + c.coding;
}

}  // namespace

// Raw and DPCM tracks of all four sample formats, at ordinary and odd rates, longer and shorter
// than the frames, with and without a ring frame, come back from encode and dump bit for bit;
// a track number left out stays out of the file.
TEST(TvxSound, LosslessTracksComeBackBitForBit) {
    testsupport::TempDir dir;
    writeFrames(dir.file("src"), 15, 32, 16);
    const std::vector<std::vector<TrackCase>> files = {
        {{0, 8000, 1, 8, "raw", 1.3},
         {1, 44100, 2, 16, "raw", 0.71},
         {2, 11025, 2, 8, "dpcm", 1.0},
         {3, 22050, 1, 16, "dpcm", 0.5},
         {4, 37800, 2, 16, "dpcm", 1.2},
         {6, 8000, 1, 8, "dpcm", 0.9}},
        {{0, 11025, 2, 8, "raw", 1.0}, {1, 22050, 1, 16, "raw", 1.0}, {2, 44100, 2, 16, "dpcm", 1.0}},
    };
    int fileNo = 0;
    for (const auto& tracks : files) {
        std::string base = dir.file("f" + std::to_string(fileNo++));
        std::string opts;
        std::vector<std::vector<unsigned char>> pcm;
        for (const TrackCase& c : tracks) {
            pcm.push_back(tones(c.rate, c.channels, c.bits, c.seconds, {{330, 1250}, {520}}, 0.3, 0.05, unsigned(c.track + 7)));
            std::string wav = base + "_t" + std::to_string(c.track) + ".wav";
            testsupport::writeFile(wav, wavFile(c.rate, uint16_t(c.channels), uint16_t(c.bits), pcm.back()));
            opts += " --audio " + std::to_string(c.track) + "=" + wav + (std::string(c.coding) == "raw" ? "" : std::string(",") + c.coding);
        }
        std::string out;
        // The second file has a ring frame (which repeats frame 0's sound for loops).
        std::string ring = &tracks == &files.back() ? " --ring" : "";
        ASSERT_EQ(run("encode --frames " + dir.file("src") + " " + base + ".tvx" + kFrameOptions + ring + opts, &out), 0) << out;
        ASSERT_EQ(run("dump " + base + ".tvx " + base, &out), 0) << out;
        std::string info, json;
        ASSERT_EQ(run("info " + base + ".tvx", &info), 0);
        {
            std::vector<unsigned char> j = testsupport::readFile(base + "/info.json");
            json.assign(j.begin(), j.end());
        }
        int declared = 0;
        for (size_t i = 0; i < tracks.size(); ++i) {
            const TrackCase& c = tracks[i];
            SCOPED_TRACE(describeTrack(c));
            std::string name = base + "/track_" + std::to_string(c.track) + ".pcm";
            ASSERT_TRUE(fs::exists(name));
            EXPECT_TRUE(testsupport::readFile(name) == pcm[i]) << fs::file_size(name) << " bytes, " << pcm[i].size() << " given";
            char line[160];
            std::snprintf(line, sizeof line, "track %d:         %u Hz, %s, %d-bit, %s, largest chunk", c.track, c.rate,
                          c.channels == 2 ? "stereo" : "mono", c.bits, std::string(c.coding) == "raw" ? "raw" : "DPCM");
            EXPECT_NE(info.find(line), std::string::npos) << line << "\n" << info;
            std::string entry = "{\"track\": " + std::to_string(c.track) + ", \"rate\": " + std::to_string(c.rate) +
                                ", \"channels\": " + std::to_string(c.channels) + ", \"bits\": " + std::to_string(c.bits) +
                                ", \"coding\": \"" + c.coding + "\", \"pcm_bytes\": " + std::to_string(pcm[i].size()) + "}";
            EXPECT_NE(json.find(entry), std::string::npos) << entry << "\n" << json;
            ++declared;
        }
        // Only the given tracks exist (track 5 of the first file was left out).
        size_t listed = 0;
        for (size_t at = info.find("\ntrack "); at != std::string::npos; at = info.find("\ntrack ", at + 1)) ++listed;
        EXPECT_EQ(listed, size_t(declared)) << info;
        size_t dumped = 0;
        for (auto& e : fs::directory_iterator(base))
            if (e.path().extension() == ".pcm") ++dumped;
        EXPECT_EQ(dumped, size_t(declared));
        // A dump folder with its track list in info.json encodes again (the list is not read).
        ASSERT_EQ(run("encode --frames " + base + " " + base + "_again.tvx", &out), 0) << out;
    }
}

// Transform-coded tracks come back at the signal-to-noise ratio measured when the thresholds
// were set (about 1.5 dB below the figures printed). The delivered sound is whole blocks: at
// least as long as what was given, in step with it from the first sample.
TEST(TvxSound, TransformTracksKeepTheSignal) {
    struct Case {
        uint32_t rate;
        int channels;
        const char* coding;
        double minSnr;
    };
    const Case cases[] = {
        {44100, 1, "dct:0", 30.0}, {22050, 2, "dft:0", 30.0}, {22050, 1, "dct:0", 29.0},
        {32000, 2, "dct:0", 33.0}, {16000, 1, "dft:0", 32.0},
        // The real-DFT variant at 44.1 kHz stereo codes the channels interleaved and loses most
        // of their difference; quality 20 keeps little above the lowest bands.
        {44100, 2, "dft:0", 1.5}, {22050, 1, "dct:20", 4.5}, {22050, 1, "dft:20", 5.0},
    };
    testsupport::TempDir dir;
    writeFrames(dir.file("src"), 15, 32, 16);
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz " + std::to_string(c.channels) + " ch " + c.coding);
        std::string base = dir.file("t" + std::to_string(i++));
        // A chord (three notes on the left, two on the right).
        std::vector<unsigned char> pcm = tones(c.rate, c.channels, 16, 1.0, {{262, 330, 392}, {440, 554}}, 0.2);
        testsupport::writeFile(base + ".wav", wavFile(c.rate, uint16_t(c.channels), 16, pcm));
        std::string out;
        ASSERT_EQ(run("encode --frames " + dir.file("src") + " " + base + ".tvx" + kFrameOptions + " --audio 0=" + base +
                          ".wav," + c.coding,
                      &out),
                  0)
            << out;
        ASSERT_EQ(run("dump " + base + ".tvx " + base, &out), 0) << out;
        std::vector<int16_t> in = samples16(pcm), got = samples16(testsupport::readFile(base + "/track_0.pcm"));
        EXPECT_GE(got.size(), in.size());
        double snr = snrDb(in, got);
        std::printf("  %5u Hz %d ch %-6s  SNR %6.1f dB\n", c.rate, c.channels, c.coding, snr);
        EXPECT_GE(snr, c.minSnr);
        std::string info;
        ASSERT_EQ(run("info " + base + ".tvx", &info), 0);
        EXPECT_NE(info.find(c.coding[1] == 'c' ? "transform DCT" : "transform real-DFT"), std::string::npos) << info;
    }
}

// WAV files the tool cannot take, and --audio options it does not understand: a clear message,
// a failing status, and no output file.
TEST(TvxSound, UnusableSoundIsRefusedClearly) {
    testsupport::TempDir dir;
    writeFrames(dir.file("src"), 3, 16, 16);
    std::vector<unsigned char> pcm = tones(22050, 1, 16, 0.1, {{440}}, 0.3);
    std::vector<unsigned char> noData = wavFile(22050, 1, 16, {});
    noData.resize(noData.size() - 8);  // the data chunk's header gone too
    std::vector<unsigned char> dataFirst = {'R', 'I', 'F', 'F', 12, 0, 0, 0, 'W', 'A', 'V', 'E', 'd', 'a', 't', 'a', 0, 0, 0, 0};
    struct Bad {
        const char* what;
        std::vector<unsigned char> file;  // empty: no file written
        const char* option;               // the coding part or a whole bad option
        int status;
        const char* message;
    };
    const Bad cases[] = {
        // The library's sound input reads only PCM WAV files of 8 or 16 bits, mono or stereo.
        {"float samples", wavFile(22050, 1, 32, pcm, 3), "", 1, "Error opening the audio input file."},
        {"24-bit", wavFile(22050, 1, 24, pcm), "", 1, "Error opening the audio input file."},
        {"three channels", wavFile(22050, 3, 16, pcm), "", 1, "Error opening the audio input file."},
        {"absurd rate", wavFile(500, 1, 16, pcm), "", 1, "500 Hz is out of range"},
        {"not a WAV file", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!'}, "", 1, "Error opening the audio input file."},
        {"no sample data", noData, "", 1, "Error opening the audio input file."},
        {"empty sample data", wavFile(22050, 1, 16, {}), "", 1, "no sample data"},
        {"data before format", dataFirst, "", 1, "Error opening the audio input file."},
        {"missing file", {}, "", 1, "Error opening the audio input file."},
        {"transform of 8-bit sound", wavFile(22050, 1, 8, pcm), ",dct:10", 1, "needs 16-bit sound"},
        {"unknown coding", wavFile(22050, 1, 16, pcm), ",mp9", 2, "--audio needs"},
        {"quality out of range", wavFile(22050, 1, 16, pcm), ",dft:100", 2, "--audio needs"},
    };
    int i = 0;
    for (const Bad& b : cases) {
        SCOPED_TRACE(b.what);
        std::string wav = dir.file("b" + std::to_string(i++) + ".wav");
        if (!b.file.empty()) testsupport::writeFile(wav, b.file);
        std::string out;
        EXPECT_EQ(run("encode --frames " + dir.file("src") + " " + dir.file("o.tvx") + " --size 16x16 --audio 1=" + wav + b.option, &out),
                  b.status);
        EXPECT_NE(out.find(b.message), std::string::npos) << out;
        EXPECT_FALSE(fs::exists(dir.file("o.tvx")));
    }
    std::string good = dir.file("good.wav"), out;
    testsupport::writeFile(good, wavFile(22050, 1, 16, pcm));
    for (std::string opt : std::vector<std::string>{"7=" + good, "x=" + good, "1" + good, "1=", "1=" + good + " --audio 1=" + good}) {
        EXPECT_EQ(run("encode --frames " + dir.file("src") + " " + dir.file("o.tvx") + " --size 16x16 --audio " + opt, &out), 2)
            << opt;
        EXPECT_NE(out.find("--audio"), std::string::npos) << out;
        EXPECT_FALSE(fs::exists(dir.file("o.tvx")));
    }
}

// ---- tvx play --------------------------------------------------------------------------------

namespace {

struct Played {
    int status = -1;
    std::string output;
    std::vector<double> mix;  // left channel of the mix
    uint32_t rate = 0;
    int frames = 0;                  // pictures captured
    std::vector<uint32_t> frameTimes;  // their times (ms, virtual clock)
};

Played play(const testsupport::TempDir& dir, const std::string& name, const std::string& args,
            const std::string& input = "") {
    Played p;
    std::string cap = dir.file(name + "_cap"), wav = dir.file(name + "_mix.wav");
    std::string env = "TORVEX_CLOCK=virtual TORVEX_VIDEO=headless TORVEX_AUDIO=wav:" + wav + " TORVEX_CAPTURE=" + cap;
    if (!input.empty()) {
        testsupport::writeText(dir.file(name + "_input.txt"), input);
        env += " TORVEX_INPUT=" + dir.file(name + "_input.txt");
    }
    p.status = run("play " + args, &p.output, env);
    if (fs::exists(wav)) readMixLeft(wav, &p.mix, &p.rate);
    std::ifstream log(cap + "/events.log");
    for (std::string line; std::getline(log, line);) {
        unsigned t = 0;
        if (line.find(" frame frame_") != std::string::npos && std::sscanf(line.c_str(), "t=%u", &t) == 1) {
            ++p.frames;
            p.frameTimes.push_back(t);
        }
    }
    return p;
}

// 10 ms windows of the mix whose level is clearly above silence.
int loudWindows(const std::vector<double>& x, uint32_t rate) {
    size_t w = rate / 100;
    int loud = 0;
    for (size_t i = 0; i + w <= x.size(); i += w) {
        double e = 0;
        for (size_t k = i; k < i + w; ++k) e += x[k] * x[k];
        if (std::sqrt(e / double(w)) > 1000) ++loud;
    }
    return loud;
}

}  // namespace

// A one-second file with a 440 Hz track 0 and an 1100 Hz track 1, played headless on the
// virtual clock: every frame is shown once, at n/15 s; the mix holds the tracks asked for, for
// as long as they last; Escape and closing the window stop early with success.
TEST(TvxPlay, HeadlessShowsEveryFrameOnTimeAndTheMixHoldsTheTrack) {
    testsupport::TempDir dir;
    writeFrames(dir.file("src"), 15, 32, 16);
    testsupport::writeFile(dir.file("a.wav"), wavFile(22050, 1, 16, tones(22050, 1, 16, 1.0, {{440}}, 0.4)));
    testsupport::writeFile(dir.file("b.wav"), wavFile(11025, 2, 8, tones(11025, 2, 8, 1.0, {{1100}}, 0.4)));
    std::string file = dir.file("a.tvx"), out;
    ASSERT_EQ(run("encode --frames " + dir.file("src") + " " + file + kFrameOptions + " --audio 0=" + dir.file("a.wav") +
                      ",dpcm --audio 1=" + dir.file("b.wav"),
                  &out),
              0)
        << out;

    struct Case {
        const char* args;
        double want, other;  // frequencies heard and not heard
    };
    for (const Case& c : {Case{" --track 0", 440, 1100}, Case{" --track 1", 1100, 440}, Case{"", 440, 0}}) {
        SCOPED_TRACE(c.args);
        Played p = play(dir, std::string("p") + (c.args[0] ? c.args + 9 : "all"), file + c.args);
        ASSERT_EQ(p.status, 0) << p.output;
        EXPECT_NE(p.output.find("played 15 of 15 frames (0 skipped as late)"), std::string::npos) << p.output;
        EXPECT_EQ(p.frames, 15);
        ASSERT_EQ(p.frameTimes.size(), 15u);
        for (size_t k = 1; k < p.frameTimes.size(); ++k)
            EXPECT_NEAR(double(p.frameTimes[k] - p.frameTimes[0]), k * 1000.0 / 15, 2.0) << "frame " << k;
        ASSERT_EQ(p.rate, 44100u);
        // The whole second of sound was played (and not much more of it).
        int loud = loudWindows(p.mix, p.rate);
        EXPECT_GE(loud, 97);
        EXPECT_LE(loud, 102);
        // Frame 0's sound starts with frame 0.
        EXPECT_GT(tonePower(p.mix, 0, 2205, c.want, p.rate), 1e5);
        double want = tonePower(p.mix, 0, p.mix.size(), c.want, p.rate);
        EXPECT_GT(want, 1e5);
        if (c.other) {
            EXPECT_LT(tonePower(p.mix, 0, p.mix.size(), c.other, p.rate), want / 1000);
        } else {  // both tracks together: the second is mixed in as well
            EXPECT_GT(tonePower(p.mix, 0, p.mix.size(), 1100, p.rate), want / 10);
        }
    }

    // Without sound the timer paces the frames and nothing is heard.
    Played quiet = play(dir, "quiet", file + " --no-sound");
    ASSERT_EQ(quiet.status, 0) << quiet.output;
    EXPECT_EQ(quiet.frames, 15);
    ASSERT_EQ(quiet.frameTimes.size(), 15u);
    // The timer clock rounds each period up to its millisecond.
    EXPECT_NEAR(double(quiet.frameTimes[14] - quiet.frameTimes[0]), 14 * 1000.0 / 15, 14.0);
    EXPECT_EQ(loudWindows(quiet.mix, 44100), 0);

    // The user stops: Escape after 300 ms, or closes the window.
    for (const char* event : {"300 key ESCAPE\n", "300 close\n"}) {
        SCOPED_TRACE(event);
        Played p = play(dir, event[4] == 'k' ? "esc" : "close", file, event);
        EXPECT_EQ(p.status, 0) << p.output;
        EXPECT_NE(p.output.find(event[4] == 'k' ? ", stopped" : ", window closed"), std::string::npos) << p.output;
        EXPECT_GE(p.frames, 4);
        EXPECT_LE(p.frames, 7);
    }
}

// Two seconds of frames whose sound is silence with a short 2 kHz burst at the time of some of
// them, played headless: each burst is in the mix when its frame is shown, for each coding.
// (The mix starts with the sound output at the start of the run, like the frame times.)
TEST(TvxPlay, TheSoundIsInTimeWithTheFrames) {
    testsupport::TempDir dir;
    writeFrames(dir.file("src"), 30, 32, 16);
    const std::vector<int> at = {0, 2, 7, 13, 20, 29};
    struct Case {
        uint32_t rate;
        int channels, bits;
        const char* coding;
    };
    for (const Case& c : {Case{22050, 1, 16, "raw"}, Case{11025, 2, 8, "dpcm"}, Case{44100, 2, 16, "dct:0"}, Case{32000, 1, 16, "dft:0"}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz " + c.coding);
        std::vector<double> x(size_t(2 * c.rate), 0.0);
        for (int k : at) {
            size_t from = size_t(std::llround(k * 0.06667 * c.rate));
            for (size_t i = from; i < from + c.rate / 40 && i < x.size(); ++i) x[i] = 0.4 * std::sin(2 * M_PI * 2000 * double(i - from) / c.rate);
        }
        std::vector<unsigned char> pcm;
        for (double v : x)
            for (int ch = 0; ch < c.channels; ++ch) {
                if (c.bits == 8) pcm.push_back(uint8_t(std::lround(128 + 127 * v)));
                else put16(pcm, uint16_t(int16_t(std::lround(32767 * v))));
            }
        std::string wav = dir.file(std::string("b_") + c.coding + ".wav"), file = dir.file(std::string("b_") + c.coding + ".tvx"), out;
        testsupport::writeFile(wav, wavFile(c.rate, uint16_t(c.channels), uint16_t(c.bits), pcm));
        ASSERT_EQ(run("encode --frames " + dir.file("src") + " " + file + kFrameOptions + " --audio 0=" + wav + "," + c.coding, &out), 0) << out;
        Played p = play(dir, std::string("b_") + c.coding, file);
        ASSERT_EQ(p.status, 0) << p.output;
        ASSERT_EQ(p.frameTimes.size(), 30u);
        ASSERT_GT(p.rate, 0u);
        // The bursts' beginnings: the first loud sample after 40 ms of quiet.
        std::vector<double> heard;
        size_t quiet = p.rate;
        for (size_t i = 0; i < p.mix.size(); ++i) {
            if (std::fabs(p.mix[i]) > 4000) {
                if (quiet >= p.rate / 25) heard.push_back(i * 1000.0 / p.rate);
                quiet = 0;
            } else {
                ++quiet;
            }
        }
        ASSERT_EQ(heard.size(), at.size());
        for (size_t i = 0; i < at.size(); ++i) {
            double offset = heard[i] - p.frameTimes[size_t(at[i])];
            std::printf("  %-6s frame %2d shown at %4u ms, its burst heard %+5.1f ms from then\n", c.coding, at[i],
                        p.frameTimes[size_t(at[i])], offset);
            // Measured within 1 ms, plus the frame times' millisecond steps.
            EXPECT_LE(std::fabs(offset), 3.0) << "frame " << at[i];
        }
    }
}

TEST(TvxPlay, BadFilesAndOptionsFailClearly) {
    testsupport::TempDir dir;
    writeFrames(dir.file("src"), 15, 32, 16);
    testsupport::writeFile(dir.file("a.wav"), wavFile(22050, 1, 16, tones(22050, 1, 16, 1.0, {{440}}, 0.4)));
    std::string file = dir.file("a.tvx"), out;
    ASSERT_EQ(run("encode --frames " + dir.file("src") + " " + file + kFrameOptions + " --audio 2=" + dir.file("a.wav"), &out), 0)
        << out;
    std::vector<unsigned char> bytes = testsupport::readFile(file);
    bytes.resize(bytes.size() * 2 / 3);
    testsupport::writeFile(dir.file("cut.tvx"), bytes);
    testsupport::writeText(dir.file("x.tvx"), "not a torvex file, not at all");
    struct Bad {
        std::string args;
        int status;
        const char* message;
    };
    const Bad cases[] = {
        {dir.file("missing.tvx"), 1, "cannot open"},
        {dir.file("x.tvx"), 1, "not a Torvex file"},
        {dir.file("cut.tvx"), 1, "truncated or damaged at frame"},
        {file + " --track 0", 1, "has no sound track 0"},
        {file + " --track 9", 2, "--track needs"},
        {file + " --scale 0", 2, "--scale needs"},
        {file + " --track 2 --no-sound", 2, "exclude each other"},
        {file + " --loud", 2, "unknown option"},
        {"", 2, "play takes one file"},
    };
    for (const Bad& b : cases) {
        SCOPED_TRACE(b.args);
        Played p = play(dir, "bad", b.args);
        EXPECT_EQ(p.status, b.status) << p.output;
        EXPECT_NE(p.output.find(b.message), std::string::npos) << p.output;
    }
}
