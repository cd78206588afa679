// Makes the demo's pictures and sound at build time: 8-bit frames with their palettes as
// frame_NNNNN.idx/.pal folders (the input of `tvx encode --frames`) and two PCM WAV files.
// Everything is computed here from formulas and small tables, so the repository holds no
// picture or sound data.
//
//   demo_make_data OUTDIR
//
// writes OUTDIR/backdrop, OUTDIR/font, OUTDIR/show, OUTDIR/sprite, OUTDIR/music.wav,
// OUTDIR/effects.wav and, last of all, OUTDIR/stamp. On any failure the files written so far
// are removed again.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.14159265358979323846;

// The palette layout every demo file shares, so that the script can draw with fixed colour
// numbers over any of the pictures:
//   0 black (the key colour of the sprite), 1..15 plain colours for text and boxes,
//   16..79 sky gradient, 80..143 a cyclic rainbow that the played animation rotates,
//   144..175 red and 176..207 cream shading ramps of the ball, 208..223 far hills,
//   224..239 near hills, 240..255 grass.
constexpr int kSky = 16, kRainbow = 80, kRed = 144, kCream = 176, kFar = 208, kNear = 224, kGrass = 240;
constexpr int kShowWidth = 192, kShowHeight = 120, kShowFrames = 60, kShowPeriodMs = 50;
constexpr int kSpriteSize = 64, kSpriteFrames = 16;
constexpr int kScreenWidth = 320, kScreenHeight = 200;
constexpr int kSampleRate = 22050;

using Palette = std::array<uint8_t, 768>;

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
    Picture(int w, int h, uint8_t fill = 0) : width(w), height(h), pixels(size_t(w) * size_t(h), fill) {}
    void set(int x, int y, int colour) {
        if (x >= 0 && y >= 0 && x < width && y < height) pixels[size_t(y) * size_t(width) + size_t(x)] = uint8_t(colour);
    }
};

// The decoder keeps 6 bits per component and widens them again; the palettes written here
// already have that form, so the script sees exactly the values of the file.
uint8_t shown(double v) {
    int c = std::clamp(int(std::lround(v)), 0, 255) >> 2;
    return uint8_t((c << 2) | (c >> 4));
}

void setEntry(Palette& p, int i, double r, double g, double b) {
    p[size_t(3 * i)] = shown(r);
    p[size_t(3 * i + 1)] = shown(g);
    p[size_t(3 * i + 2)] = shown(b);
}

double mix(double a, double b, double t) { return a + (b - a) * t; }

void rainbow(double phase, double& r, double& g, double& b) {
    // Three offset cosines: a hue circle without a seam.
    r = 150 + 95 * std::cos(2 * kPi * phase);
    g = 150 + 95 * std::cos(2 * kPi * (phase - 1.0 / 3));
    b = 150 + 95 * std::cos(2 * kPi * (phase - 2.0 / 3));
}

Palette basePalette() {
    Palette p{};
    const double plain[16][3] = {{0, 0, 0},       {255, 255, 255}, {196, 196, 204}, {128, 128, 140},
                                 {64, 64, 76},    {255, 220, 72},  {224, 56, 48},   {72, 200, 88},
                                 {64, 104, 224},  {20, 28, 80},    {88, 220, 232},  {255, 150, 40},
                                 {8, 8, 24},      {48, 72, 160},   {160, 120, 255}, {255, 180, 200}};
    for (int i = 0; i < 16; ++i) setEntry(p, i, plain[i][0], plain[i][1], plain[i][2]);
    for (int i = 0; i < 64; ++i) {
        double t = i / 63.0;  // deep night blue at the top to a warm glow at the horizon
        double r = t < 0.6 ? mix(10, 120, t / 0.6) : mix(120, 255, (t - 0.6) / 0.4);
        double g = t < 0.6 ? mix(14, 60, t / 0.6) : mix(60, 160, (t - 0.6) / 0.4);
        double b = t < 0.6 ? mix(60, 150, t / 0.6) : mix(150, 110, (t - 0.6) / 0.4);
        setEntry(p, kSky + i, r, g, b);
        double rr, rg, rb;
        rainbow(i / 64.0, rr, rg, rb);
        setEntry(p, kRainbow + i, rr, rg, rb);
    }
    for (int i = 0; i < 32; ++i) {
        double t = i / 31.0;
        setEntry(p, kRed + i, mix(40, 255, t), mix(4, 90, t * t), mix(8, 70, t * t));
        setEntry(p, kCream + i, mix(60, 255, t), mix(52, 248, t), mix(40, 220, t));
    }
    for (int i = 0; i < 16; ++i) {
        double t = i / 15.0;
        setEntry(p, kFar + i, mix(70, 30, t), mix(60, 26, t), mix(120, 70, t));
        setEntry(p, kNear + i, mix(36, 12, t), mix(34, 14, t), mix(70, 36, t));
        setEntry(p, kGrass + i, mix(40, 90, t), mix(90, 170, t), mix(30, 60, t));
    }
    return p;
}

// A 4x4 ordered dither threshold in 0..1.
double bayer(int x, int y) {
    static const int m[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    return (m[y & 3][x & 3] + 0.5) / 16.0;
}

uint32_t hash(uint32_t x, uint32_t y) {
    uint32_t h = x * 374761393u + y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// Evening hills under a starry sky with a setting sun.
Picture backdrop() {
    Picture pic(kScreenWidth, kScreenHeight);
    const int horizon = 150;
    for (int y = 0; y < pic.height; ++y) {
        for (int x = 0; x < pic.width; ++x) {
            double farRidge = 118 - 16 * std::sin(x * 0.021 + 1.0) - 8 * std::sin(x * 0.057 + 2.0) - 3 * std::sin(x * 0.13);
            double nearRidge = 150 - 13 * std::sin(x * 0.017 + 4.0) - 6 * std::sin(x * 0.049) - 2 * std::sin(x * 0.11 + 1);
            int colour;
            if (y >= 176) {
                double t = (y - 176) / 24.0 * 15 + (hash(uint32_t(x), uint32_t(y)) & 3) * 0.6;
                colour = kGrass + std::clamp(int(t), 0, 15);
            } else if (y >= nearRidge) {
                colour = kNear + std::clamp(int((y - nearRidge) / 2 + bayer(x, y) * 2), 0, 15);
            } else if (y >= farRidge) {
                colour = kFar + std::clamp(int((y - farRidge) / 3 + bayer(x, y) * 2), 0, 15);
            } else {
                double dx = x - 236, dy = y - 104;
                double d = std::sqrt(dx * dx + dy * dy);
                if (d < 20) {
                    colour = 5;
                } else if (d < 23) {
                    colour = 11;
                } else {
                    double t = std::min(1.0, double(y) / horizon) * 63 + bayer(x, y) - 0.5;
                    colour = kSky + std::clamp(int(t), 0, 63);
                    if (y < 90 && hash(uint32_t(x), uint32_t(y)) % 280 == 0) colour = (hash(uint32_t(y), uint32_t(x)) & 1) ? 1 : 2;
                }
            }
            pic.set(x, y, colour);
        }
    }
    return pic;
}

// Glyphs of the codes 32..95 on a 5 x 7 grid, one byte a row, bit 4 the leftmost pixel.
const uint8_t kGlyphs[64][7] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04},  //   !
    {0x0A, 0x0A, 0x0A, 0x00, 0x00, 0x00, 0x00}, {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A},  // " #
    {0x04, 0x0F, 0x14, 0x0E, 0x05, 0x1E, 0x04}, {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03},  // $ %
    {0x0C, 0x12, 0x14, 0x08, 0x15, 0x12, 0x0D}, {0x0C, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00},  // & '
    {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}, {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08},  // ( )
    {0x00, 0x04, 0x15, 0x0E, 0x15, 0x04, 0x00}, {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00},  // * +
    {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}, {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00},  // , -
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}, {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00},  // . /
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},  // 0 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},  // 2 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},  // 4 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 6 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},  // 8 9
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}, {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x04, 0x08},  // : ;
    {0x02, 0x04, 0x08, 0x10, 0x08, 0x04, 0x02}, {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00},  // < =
    {0x08, 0x04, 0x02, 0x01, 0x02, 0x04, 0x08}, {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04},  // > ?
    {0x0E, 0x11, 0x01, 0x0D, 0x15, 0x15, 0x0E}, {0x0E, 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11},  // @ A
    {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}, {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E},  // B C
    {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}, {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F},  // D E
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}, {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F},  // F G
    {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}, {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E},  // H I
    {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}, {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11},  // J K
    {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}, {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11},  // L M
    {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}, {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E},  // N O
    {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}, {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D},  // P Q
    {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}, {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E},  // R S
    {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}, {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E},  // T U
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}, {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A},  // V W
    {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}, {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04},  // X Y
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}, {0x0E, 0x08, 0x08, 0x08, 0x08, 0x08, 0x0E},  // Z [
    {0x00, 0x10, 0x08, 0x04, 0x02, 0x01, 0x00}, {0x0E, 0x02, 0x02, 0x02, 0x02, 0x02, 0x0E},  // \ ]
    {0x04, 0x0A, 0x11, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F},  // ^ _
};

// The font sheet: 16 x 24 cells, 16 glyphs a band, four bands (codes 32..95), each grid pixel
// a 3 x 3 square. The player cuts it with TEXTFONTFROMBITMAP sheet 16 24 32 95.
Picture fontSheet() {
    Picture pic(16 * 16, 4 * 24);
    for (int g = 0; g < 64; ++g) {
        int cx = (g % 16) * 16, cy = (g / 16) * 24;
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 5; ++col)
                if (kGlyphs[g][row] & (0x10 >> col))
                    for (int k = 0; k < 9; ++k) pic.set(cx + 1 + 3 * col + k % 3, cy + 2 + 3 * row + k / 3, 1);
    }
    return pic;
}

// A lit ball with six red and cream segments, turned by `angle` about its vertical axis, drawn
// with its centre at (cx, cy). Pixels outside it are left alone.
void drawBall(Picture& pic, double cx, double cy, double radius, double angle) {
    const double lx = -0.45, ly = -0.6, lz = 0.66;
    for (int y = int(cy - radius) - 1; y <= int(cy + radius) + 1; ++y) {
        for (int x = int(cx - radius) - 1; x <= int(cx + radius) + 1; ++x) {
            double nx = (x + 0.5 - cx) / radius, ny = (y + 0.5 - cy) / radius;
            double d = nx * nx + ny * ny;
            if (d > 1) continue;
            double nz = std::sqrt(1 - d);
            if (d > 0.93) {
                pic.set(x, y, 12);  // dark rim
                continue;
            }
            double px = nx * std::cos(angle) + nz * std::sin(angle);
            double pz = -nx * std::sin(angle) + nz * std::cos(angle);
            double lon = std::atan2(pz, px) + kPi;
            int segment = int(lon / (2 * kPi) * 6) % 2;
            double light = std::max(0.0, nx * lx + ny * ly + nz * lz);
            double shade = 0.18 + 0.82 * light;
            int level = std::clamp(int(shade * 31 + bayer(x, y) - 0.5), 0, 31);
            pic.set(x, y, (segment ? kCream : kRed) + level);
        }
    }
}

// The spinning ball on the key colour 0, for the script to compose over its background. Six
// segments repeat every third of a turn, so 16 frames over a third of a turn loop seamlessly.
std::vector<Picture> spriteFrames() {
    std::vector<Picture> frames;
    for (int f = 0; f < kSpriteFrames; ++f) {
        Picture pic(kSpriteSize, kSpriteSize, 0);
        drawBall(pic, kSpriteSize / 2.0, kSpriteSize / 2.0, kSpriteSize / 2.0 - 3, f * (2 * kPi / 3) / kSpriteFrames);
        frames.push_back(pic);
    }
    return frames;
}

// Where the ball of the played animation is in frame f: it crosses the picture and bounces on
// the floor every 20 frames (frames 0, 20 and 40 are floor contacts).
void showBall(int f, double& x, double& y) {
    const double radius = 14, floor = kShowHeight - radius - 3;
    double t = (f % 20) / 20.0;
    y = floor - 70 * 4 * t * (1 - t);
    double travel = kShowWidth - 2 * radius - 8;
    double s = std::fmod(f / 40.0, 2.0);
    x = radius + 4 + travel * (s < 1 ? s : 2 - s);
}

// The played animation: a spiral tunnel whose colours run through the rotating rainbow entries
// (palette changes only; its pixels stay) and a bouncing ball over it.
std::vector<Picture> showFrames(std::vector<Palette>& palettes) {
    Picture tunnel(kShowWidth, kShowHeight);
    for (int y = 0; y < kShowHeight; ++y) {
        for (int x = 0; x < kShowWidth; ++x) {
            double dx = x + 0.5 - kShowWidth / 2.0, dy = y + 0.5 - kShowHeight / 2.0;
            double r = std::sqrt(dx * dx + dy * dy);
            double a = std::atan2(dy, dx);
            int v = int(std::floor(a / (2 * kPi) * 64 + 1100.0 / (r + 10)));  // one ramp a turn: no seam
            tunnel.set(x, y, kRainbow + (v & 63));
        }
    }
    Palette base = basePalette();
    std::vector<Picture> frames;
    for (int f = 0; f < kShowFrames; ++f) {
        Picture pic = tunnel;
        double bx, by;
        showBall(f, bx, by);
        drawBall(pic, bx, by, 14, f * 0.25);
        frames.push_back(pic);
        Palette p = base;
        for (int i = 0; i < 64; ++i) {
            int from = kRainbow + (i + 2 * f) % 64;
            for (int c = 0; c < 3; ++c) p[size_t(3 * (kRainbow + i) + c)] = base[size_t(3 * from + c)];
        }
        palettes.push_back(p);
    }
    return frames;
}

double noteHz(int semitonesFromA4) { return 440.0 * std::pow(2.0, semitonesFromA4 / 12.0); }

// Three seconds of music, as long as the played animation: a plucked arpeggio over a soft bass,
// four chords of six sixteenth notes.
std::vector<int16_t> music() {
    const int total = kShowFrames * kShowPeriodMs * kSampleRate / 1000;
    std::vector<double> mixd(size_t(total), 0.0);
    // Chords as semitones from A4: C major, A minor, F major, G major.
    const int chords[4][3] = {{-9, -5, -2}, {-12, -9, -5}, {-16, -12, -9}, {-14, -10, -7}};
    const int noteLen = total / 24;
    for (int n = 0; n < 24; ++n) {
        const int* chord = chords[n / 6];
        static const int order[6] = {0, 1, 2, 3, 2, 1};  // up and down, the fourth note an octave up
        int k = order[n % 6];
        int semis = k == 3 ? chord[0] + 12 : chord[k];
        double hz = noteHz(semis + 12);
        for (int i = 0; i < noteLen * 2 && n * noteLen + i < total; ++i) {
            double t = double(i) / kSampleRate;
            double env = std::min(1.0, t / 0.004) * std::exp(-t * 7.0);
            double s = std::sin(2 * kPi * hz * t) + 0.3 * std::sin(2 * kPi * 2 * hz * t) + 0.12 * std::sin(2 * kPi * 3 * hz * t);
            mixd[size_t(n * noteLen + i)] += 0.22 * env * s;
        }
    }
    const int chordLen = total / 4;
    for (int c = 0; c < 4; ++c) {
        double hz = noteHz(chords[c][0] - 12);
        for (int i = 0; i < chordLen; ++i) {
            double t = double(i) / kSampleRate;
            double env = std::min(1.0, t / 0.02) * (0.6 + 0.4 * std::exp(-t * 3.0)) * std::min(1.0, (chordLen - i) / 400.0);
            mixd[size_t(c * chordLen + i)] += 0.25 * env * std::sin(2 * kPi * hz * t);
        }
    }
    std::vector<int16_t> out(static_cast<size_t>(total));
    for (int i = 0; i < total; ++i) out[size_t(i)] = int16_t(std::clamp(mixd[size_t(i)], -1.0, 1.0) * 26000);
    return out;
}

// The effects track: a falling "boing" and a click at each floor contact of the ball, silence
// in between.
std::vector<int16_t> effects() {
    const int total = kShowFrames * kShowPeriodMs * kSampleRate / 1000;
    std::vector<int16_t> out(size_t(total), 0);
    uint32_t noise = 12345;
    for (int contact = 0; contact < kShowFrames; contact += 20) {
        int start = contact * kShowPeriodMs * kSampleRate / 1000;
        double phase = 0;
        for (int i = 0; i < kSampleRate * 35 / 100 && start + i < total; ++i) {
            double t = double(i) / kSampleRate;
            double hz = 90 + 260 * std::exp(-t * 18);
            phase += 2 * kPi * hz / kSampleRate;
            noise = noise * 1664525u + 1013904223u;
            double click = t < 0.015 ? (int32_t(noise >> 16 & 0xFFFF) - 32768) / 32768.0 * (1 - t / 0.015) : 0;
            double s = 0.7 * std::exp(-t * 9) * std::sin(phase) + 0.3 * click;
            out[size_t(start + i)] = int16_t(std::clamp(s, -1.0, 1.0) * 24000);
        }
    }
    return out;
}

struct Writer {
    std::vector<fs::path> created;
    bool failed = false;

    bool writeFile(const fs::path& path, const void* data, size_t size) {
        if (failed) return false;
        created.push_back(path);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), std::streamsize(size));
        out.close();
        if (!out) {
            std::fprintf(stderr, "demo_make_data: cannot write %s\n", path.string().c_str());
            failed = true;
        }
        return !failed;
    }

    bool makeDir(const fs::path& path) {
        if (failed) return false;
        std::error_code ec;
        if (!fs::exists(path, ec)) {
            if (!fs::create_directories(path, ec)) {
                std::fprintf(stderr, "demo_make_data: cannot create %s\n", path.string().c_str());
                failed = true;
                return false;
            }
            created.push_back(path);
        }
        return true;
    }

    // A frame folder for `tvx encode --frames`; stale frames of an earlier run are removed
    // first so that the folder holds exactly these.
    bool frames(const fs::path& dir, const std::vector<Picture>& pictures, const std::vector<Palette>& palettes) {
        std::error_code ec;
        fs::remove_all(dir, ec);
        if (!makeDir(dir)) return false;
        for (size_t k = 0; k < pictures.size(); ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "frame_%05zu", k);
            const Palette& pal = palettes[std::min(k, palettes.size() - 1)];
            if (!writeFile(dir / (std::string(name) + ".idx"), pictures[k].pixels.data(), pictures[k].pixels.size()) ||
                !writeFile(dir / (std::string(name) + ".pal"), pal.data(), pal.size()))
                return false;
        }
        return true;
    }

    bool wav(const fs::path& path, const std::vector<int16_t>& samples) {
        std::vector<uint8_t> b;
        auto put = [&b](uint32_t v, int bytes) {
            for (int i = 0; i < bytes; ++i) b.push_back(uint8_t(v >> (8 * i)));
        };
        uint32_t data = uint32_t(samples.size() * 2);
        b.insert(b.end(), {'R', 'I', 'F', 'F'});
        put(36 + data, 4);
        b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
        put(16, 4);
        put(1, 2);  // PCM
        put(1, 2);  // mono
        put(kSampleRate, 4);
        put(kSampleRate * 2, 4);
        put(2, 2);
        put(16, 2);
        b.insert(b.end(), {'d', 'a', 't', 'a'});
        put(data, 4);
        for (int16_t s : samples) put(uint16_t(s), 2);
        return writeFile(path, b.data(), b.size());
    }

    void undo() {
        std::error_code ec;
        for (auto it = created.rbegin(); it != created.rend(); ++it) fs::remove(*it, ec);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: demo_make_data OUTDIR\n");
        return 2;
    }
    fs::path out = argv[1];
    Writer w;
    std::error_code ec;
    fs::remove(out / "stamp", ec);
    Palette base = basePalette();
    std::vector<Palette> showPalettes;
    std::vector<Picture> show = showFrames(showPalettes);
    bool ok = w.makeDir(out) && w.frames(out / "backdrop", {backdrop()}, {base}) &&
              w.frames(out / "font", {fontSheet()}, {base}) && w.frames(out / "sprite", spriteFrames(), {base}) &&
              w.frames(out / "show", show, showPalettes) && w.wav(out / "music.wav", music()) &&
              w.wav(out / "effects.wav", effects()) && w.writeFile(out / "stamp", "made\n", 5);
    if (!ok) {
        w.undo();
        return 1;
    }
    return 0;
}
