// The mixer behind the wave-output devices and streaming sound buffers, and its back-ends.
#include "platform/audio.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "bytes/byte_order.h"
#include "platform/clock.h"
#include "platform/sdl_audio.h"
#include "platform/window.h"

namespace plat {
namespace {

// ---- resampler --------------------------------------------------------------------------------
// A windowed-sinc filter (Kaiser window) of kTaps taps with kPhases tabulated fractional
// positions, linearly interpolated between neighbouring phases.
constexpr int kTaps = 32;
constexpr int kHalf = kTaps / 2;
constexpr int kPhases = 256;
constexpr double kKaiserBeta = 8.0;
// Passband edge as a fraction of the lower of the two Nyquist frequencies; the rest is the
// transition band that the 32 taps need.
constexpr double kPassband = 0.86;

double besselI0(double x) {
    double sum = 1, term = 1, q = x * x / 4;
    for (int k = 1; k < 64; k++) {
        term *= q / (double(k) * double(k));
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

std::vector<float> makeFilter(double fc) {
    std::vector<float> c(size_t(kPhases + 1) * kTaps);
    const double i0b = besselI0(kKaiserBeta);
    for (int p = 0; p <= kPhases; p++) {
        double phi = double(p) / kPhases;
        double v[kTaps];
        double sum = 0;
        for (int k = 0; k < kTaps; k++) {
            double x = double(k - (kHalf - 1)) - phi;
            double r = x / kHalf;
            double w = (r * r < 1) ? besselI0(kKaiserBeta * std::sqrt(1 - r * r)) / i0b : 0.0;
            double a = M_PI * fc * x;
            double s = std::fabs(a) < 1e-12 ? 1.0 : std::sin(a) / a;
            v[k] = fc * s * w;
            sum += v[k];
        }
        for (int k = 0; k < kTaps; k++) c[size_t(p) * kTaps + size_t(k)] = float(v[k] / sum);  // unity gain at DC
    }
    return c;
}

struct Resampler {
    bool bypass = true;
    uint64_t step = uint64_t(1) << 32;  // source frames per output frame, 32.32 fixed point
    uint64_t frac = 0;
    std::shared_ptr<const std::vector<float>> coef;
    float hist[2][2 * kTaps] = {};  // each tap stored twice, so the window is contiguous
    int head = 0;                   // oldest frame of the window

    void setup(uint32_t from, uint32_t to) {
        bypass = from == to;
        step = (uint64_t(from) << 32) / to;
        reset();
        if (bypass) return;
        double fc = kPassband * std::min(1.0, double(to) / double(from));
        static std::mutex cacheLock;
        static std::map<long, std::shared_ptr<const std::vector<float>>> cache;
        std::lock_guard<std::mutex> g(cacheLock);
        long key = std::lround(fc * 1e6);
        auto& slot = cache[key];
        if (!slot) slot = std::make_shared<const std::vector<float>>(makeFilter(fc));
        coef = slot;
    }
    void reset() {
        std::memset(hist, 0, sizeof hist);
        head = 0;
        frac = 0;
    }
    void push(float l, float r) {
        hist[0][head] = hist[0][head + kTaps] = l;
        hist[1][head] = hist[1][head + kTaps] = r;
        head = head + 1 == kTaps ? 0 : head + 1;
    }
    void output(float& l, float& r) const {
        uint32_t f = uint32_t(frac);
        int p = int(f >> 24);
        float s = float(f & 0xFFFFFF) * (1.0f / 16777216.0f);
        const float* c0 = coef->data() + size_t(p) * kTaps;
        const float* c1 = c0 + kTaps;
        const float* hl = hist[0] + head;
        const float* hr = hist[1] + head;
        float al = 0, ar = 0;
        for (int k = 0; k < kTaps; k++) {
            float c = c0[k] + s * (c1[k] - c0[k]);
            al += hl[k] * c;
            ar += hr[k] * c;
        }
        l = al;
        r = ar;
    }
};

// ---- streams ----------------------------------------------------------------------------------

struct Stream {
    bool isWave = true;
    WAVEFORMATEX fmt;
    uint32_t frameBytes = 0;
    Resampler rs;
    float gainL = 1, gainR = 1;
    uint32_t silentPushes = kTaps;  // the window holds only silence once this reaches kTaps
    // wave-output device
    std::deque<WAVEHDR*> queue;
    uint32_t headOffset = 0;
    bool paused = false;
    uint64_t bytesPlayed = 0;
    WaveOutProc callback = nullptr;
    uintptr_t instance = 0;
    uint32_t volume = 0xFFFFFFFF;
    // streaming buffer
    std::vector<uint8_t> data;
    uint32_t size = 0;
    uint32_t caps = 0;
    bool playing = false, looping = false;
    uint32_t readPos = 0;
    uint64_t fetchedSincePlay = 0;
    int32_t dbVolume = 0, pan = 0;
};

struct PendingCallback {
    WaveOutProc callback;
    HWAVEOUT device;
    uint32_t msg;
    uintptr_t instance;
    WAVEHDR* header;
};

struct AudioState {
    std::mutex lock;
    bool started = false;
    AudioBackend backend = AudioBackend::Null;
    bool testSet = false;
    AudioBackend testBackend = AudioBackend::Null;
    std::string testWavPath;
    uint32_t rate = 44100;
    std::map<uintptr_t, Stream> streams;
    uintptr_t nextHandle = 0x5010;
    // headless pacing
    uint64_t originTicks = 0;
    uint64_t originFreq = 1;
    uint64_t framesMixed = 0;
    // WAV output
    FILE* wav = nullptr;
    std::string wavPath;
    uint64_t wavFrames = 0;
    // mixing thread of the headless back-ends on the real clock
    std::thread worker;
    bool stopWorker = false;
    std::vector<PendingCallback> pending;
    std::vector<float> scratch;
    bool atexitSet = false;
};
AudioState& as() {
    static AudioState* s = new AudioState;  // never destroyed: the mixing threads may still run at exit
    return *s;
}

float decode(const Stream& s, const uint8_t* p, int ch) {
    if (s.fmt.wBitsPerSample == 8) return (float(p[ch]) - 128.0f) * (1.0f / 128.0f);
    int16_t v = int16_t(bytes::load16le(p + 2 * ch));
    return float(v) * (1.0f / 32768.0f);
}

void completeHead(Stream& s, HWAVEOUT h, AudioState& a) {
    WAVEHDR* hdr = s.queue.front();
    s.queue.pop_front();
    s.headOffset = 0;
    hdr->dwFlags.store((hdr->dwFlags.load() & ~WHDR_INQUEUE) | WHDR_DONE);
    if (s.callback) a.pending.push_back({s.callback, h, WOM_DONE, s.instance, hdr});
}

// Takes the next source frame; false (and silence) when the stream has nothing to give.
bool fetch(Stream& s, HWAVEOUT h, AudioState& a, float& l, float& r) {
    if (s.isWave) {
        while (!s.queue.empty()) {
            WAVEHDR* hdr = s.queue.front();
            if (uint64_t(s.headOffset) + s.frameBytes > hdr->dwBufferLength || !hdr->lpData) {
                completeHead(s, h, a);
                continue;
            }
            const uint8_t* p = reinterpret_cast<const uint8_t*>(hdr->lpData) + s.headOffset;
            l = decode(s, p, 0);
            r = s.fmt.nChannels == 2 ? decode(s, p, 1) : l;
            s.headOffset += s.frameBytes;
            s.bytesPlayed += s.frameBytes;
            if (uint64_t(s.headOffset) + s.frameBytes > hdr->dwBufferLength) completeHead(s, h, a);
            return true;
        }
        l = r = 0;
        return false;
    }
    if (!s.playing) {
        l = r = 0;
        return false;
    }
    const uint8_t* p = s.data.data() + s.readPos;
    l = decode(s, p, 0);
    r = s.fmt.nChannels == 2 ? decode(s, p, 1) : l;
    s.readPos += s.frameBytes;
    s.fetchedSincePlay++;
    if (s.readPos + s.frameBytes > s.size) {
        s.readPos = 0;
        if (!s.looping) s.playing = false;
    }
    return true;
}

bool hasSourceData(const Stream& s) { return s.isWave ? (!s.paused && !s.queue.empty()) : s.playing; }

void mixStream(Stream& s, HWAVEOUT h, AudioState& a, float* out, int frames) {
    if (s.isWave && s.paused) return;
    for (int i = 0; i < frames; i++) {
        float l, r;
        if (s.rs.bypass) {
            if (!fetch(s, h, a, l, r)) return;  // nothing more queued: the rest is silence
        } else {
            if (s.silentPushes >= uint32_t(kTaps) && !hasSourceData(s)) return;
            s.rs.output(l, r);
            s.rs.frac += s.rs.step;
            while (s.rs.frac >= (uint64_t(1) << 32)) {
                s.rs.frac -= uint64_t(1) << 32;
                float nl, nr;
                if (fetch(s, h, a, nl, nr))
                    s.silentPushes = 0;
                else if (s.silentPushes < uint32_t(kTaps))
                    s.silentPushes++;
                s.rs.push(nl, nr);
            }
        }
        out[2 * i] += l * s.gainL;
        out[2 * i + 1] += r * s.gainR;
    }
}

void mixLocked(AudioState& a, float* out, int frames) {
    std::fill(out, out + 2 * size_t(frames), 0.0f);
    for (auto& [h, s] : a.streams) mixStream(s, h, a, out, frames);
}

// ---- WAV output -------------------------------------------------------------------------------

bool writeWavHeader(FILE* f, uint64_t frames) {
    uint8_t h[44];
    uint64_t dataBytes64 = frames * 4;
    uint32_t dataBytes = dataBytes64 > 0xFFFFFFD0u ? 0xFFFFFFD0u : uint32_t(dataBytes64);
    std::memcpy(h, "RIFF", 4);
    bytes::store32le(h + 4, 36 + dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    bytes::store32le(h + 16, 16);
    h[20] = 1;  // PCM
    h[21] = 0;
    h[22] = 2;  // stereo
    h[23] = 0;
    bytes::store32le(h + 24, 44100);
    bytes::store32le(h + 28, 44100 * 4);
    h[32] = 4;
    h[33] = 0;
    h[34] = 16;
    h[35] = 0;
    std::memcpy(h + 36, "data", 4);
    bytes::store32le(h + 40, dataBytes);
    if (std::fseek(f, 0, SEEK_SET) != 0) return false;
    if (std::fwrite(h, 1, 44, f) != 44) return false;
    return std::fseek(f, 0, SEEK_END) == 0;
}

void failWavLocked(AudioState& a) {
    std::fprintf(stderr, "audio: cannot write %s; it is removed and sound goes nowhere\n", a.wavPath.c_str());
    std::fclose(a.wav);
    a.wav = nullptr;
    unlink(a.wavPath.c_str());
}

void writeWavLocked(AudioState& a, const float* mix, int frames) {
    if (!a.wav) return;
    std::vector<uint8_t> bytes(size_t(frames) * 4);
    for (int i = 0; i < 2 * frames; i++) {
        float v = mix[i] * 32768.0f;
        long q = std::lrint(std::clamp(v, -32768.0f, 32767.0f));
        uint16_t u = uint16_t(int16_t(q));
        bytes[size_t(i) * 2] = uint8_t(u);
        bytes[size_t(i) * 2 + 1] = uint8_t(u >> 8);
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), a.wav) != bytes.size()) {
        failWavLocked(a);
        return;
    }
    a.wavFrames += uint64_t(frames);
}

// ---- pacing -----------------------------------------------------------------------------------

void clockNow(uint64_t& ticks, uint64_t& freq) {
    if (queryPerformanceFrequency(freq) && freq && queryPerformanceCounter(ticks)) return;
    freq = 1000;
    ticks = tickCount();
}

// Headless back-ends: mix as many frames as the clock says have passed.
void catchUpLocked(AudioState& a) {
    if (!a.started || a.backend == AudioBackend::Sdl) return;
    uint64_t now, freq;
    clockNow(now, freq);
    if (freq != a.originFreq || now < a.originTicks) {
        // The clock was switched (virtual on or off): continue from here.
        a.originFreq = freq;
        a.originTicks = now - std::min<uint64_t>(now, uint64_t((unsigned __int128)a.framesMixed * freq / a.rate));
    }
    uint64_t target = uint64_t((unsigned __int128)(now - a.originTicks) * a.rate / freq);
    if (target <= a.framesMixed) return;
    if (a.streams.empty() && !a.wav) {
        a.framesMixed = target;
        return;
    }
    const int chunk = 1024;
    a.scratch.resize(size_t(chunk) * 2);
    while (a.framesMixed < target) {
        int n = int(std::min<uint64_t>(chunk, target - a.framesMixed));
        mixLocked(a, a.scratch.data(), n);
        writeWavLocked(a, a.scratch.data(), n);
        a.framesMixed += uint64_t(n);
    }
    if (a.wav && !writeWavHeader(a.wav, a.wavFrames)) failWavLocked(a);
    if (a.wav) std::fflush(a.wav);
}

void sdlMix(float* out, int frames);

void workerLoop() {
    for (;;) {
        timespec ts{0, 5 * 1000000L};
        nanosleep(&ts, nullptr);
        std::vector<PendingCallback> fire;
        {
            std::lock_guard<std::mutex> g(as().lock);
            if (as().stopWorker) return;
            if (clockIsVirtual()) continue;
            catchUpLocked(as());
            fire.swap(as().pending);
        }
        for (auto& p : fire) p.callback(p.device, p.msg, p.instance, reinterpret_cast<uintptr_t>(p.header), 0);
    }
}

void stopEverything();

void startLocked(AudioState& a) {
    if (a.started) return;
    AudioBackend b = AudioBackend::Null;
    std::string path;
    if (a.testSet) {
        b = a.testBackend;
        path = a.testWavPath;
    } else {
        const char* env = std::getenv("TORVEX_AUDIO");
        std::string v = env ? env : "";
        if (v == "null") {
            b = AudioBackend::Null;
        } else if (v == "sdl") {
            b = AudioBackend::Sdl;
        } else if (v.rfind("wav:", 0) == 0 && v.size() > 4) {
            b = AudioBackend::Wav;
            path = v.substr(4);
        } else {
            if (!v.empty()) std::fprintf(stderr, "TORVEX_AUDIO=%s is not known; using the default\n", v.c_str());
            b = videoBackend() == VideoBackend::Sdl ? AudioBackend::Sdl : AudioBackend::Null;
        }
    }
    a.rate = 44100;
    if (b == AudioBackend::Sdl) {
        uint32_t rate = 0;
        if (sdla::open(sdlMix, &rate) && rate >= 8000 && rate <= 384000) {
            a.rate = rate;
        } else {
            std::fprintf(stderr, "audio: no sound device; sound is timed but not heard\n");
            sdla::close();
            b = AudioBackend::Null;
        }
    }
    if (b == AudioBackend::Wav) {
        a.wavPath = path;
        a.wav = std::fopen(path.c_str(), "wb");
        a.wavFrames = 0;
        if (!a.wav || !writeWavHeader(a.wav, 0)) {
            if (a.wav) failWavLocked(a);
            else std::fprintf(stderr, "audio: cannot create %s; sound goes nowhere\n", path.c_str());
            b = AudioBackend::Null;
        }
    }
    a.backend = b;
    a.framesMixed = 0;
    clockNow(a.originTicks, a.originFreq);
    a.started = true;
    if (b != AudioBackend::Sdl && !a.worker.joinable()) {
        a.stopWorker = false;
        a.worker = std::thread(workerLoop);
    }
    if (!a.atexitSet) {
        a.atexitSet = true;
        std::atexit(stopEverything);
    }
}

// Locks the mixer, starts it when needed and brings it up to date; callbacks collected while
// locked run after the lock is released.
class Session {
public:
    Session() : lock_(as().lock) {
        startLocked(as());
        catchUpLocked(as());
    }
    ~Session() {
        std::vector<PendingCallback> fire;
        fire.swap(as().pending);
        lock_.unlock();
        for (auto& p : fire) p.callback(p.device, p.msg, p.instance, reinterpret_cast<uintptr_t>(p.header), 0);
    }
    AudioState& a() { return as(); }
    Stream* wave(HWAVEOUT h) {
        auto it = as().streams.find(h);
        return (it != as().streams.end() && it->second.isWave) ? &it->second : nullptr;
    }
    Stream* buffer(HSOUNDBUFFER h) {
        auto it = as().streams.find(h);
        return (it != as().streams.end() && !it->second.isWave) ? &it->second : nullptr;
    }

private:
    std::unique_lock<std::mutex> lock_;
};

void sdlMix(float* out, int frames) {
    std::vector<PendingCallback> fire;
    {
        std::lock_guard<std::mutex> g(as().lock);
        if (as().started && as().backend == AudioBackend::Sdl) {
            mixLocked(as(), out, frames);
            as().framesMixed += uint64_t(frames);
        } else {
            std::fill(out, out + 2 * size_t(frames), 0.0f);
        }
        fire.swap(as().pending);
    }
    for (auto& p : fire) p.callback(p.device, p.msg, p.instance, reinterpret_cast<uintptr_t>(p.header), 0);
}

bool validFormat(const WAVEFORMATEX* f) {
    if (!f || f->wFormatTag != WAVE_FORMAT_PCM) return false;
    if (f->nChannels != 1 && f->nChannels != 2) return false;
    if (f->wBitsPerSample != 8 && f->wBitsPerSample != 16) return false;
    if (f->nBlockAlign != f->nChannels * f->wBitsPerSample / 8) return false;
    return f->nSamplesPerSec >= 1000 && f->nSamplesPerSec <= 192000;
}

void setupStream(Stream& s, const WAVEFORMATEX* f, uint32_t deviceRate) {
    s.fmt = *f;
    s.fmt.nAvgBytesPerSec = f->nSamplesPerSec * f->nBlockAlign;
    s.fmt.cbSize = 0;
    s.frameBytes = f->nBlockAlign;
    s.rs.setup(f->nSamplesPerSec, deviceRate);
}

// A new stream of either kind under a fresh handle.
Stream& addStream(AudioState& a, bool isWave, const WAVEFORMATEX* format, uintptr_t* handle) {
    *handle = a.nextHandle;
    a.nextHandle += 0x10;
    Stream& st = a.streams[*handle];
    st.isWave = isWave;
    setupStream(st, format, a.rate);
    return st;
}

// After a jump in the source the filter starts again from silence.
void restartFilter(Stream& s) {
    s.rs.reset();
    s.silentPushes = kTaps;
}

void bufferGains(Stream& s) {
    float base = s.dbVolume <= DSBVOLUME_MIN ? 0.0f : float(std::pow(10.0, s.dbVolume / 2000.0));
    float l = s.pan >= DSBPAN_RIGHT ? 0.0f : s.pan > 0 ? float(std::pow(10.0, -s.pan / 2000.0)) : 1.0f;
    float r = s.pan <= DSBPAN_LEFT ? 0.0f : s.pan < 0 ? float(std::pow(10.0, s.pan / 2000.0)) : 1.0f;
    s.gainL = base * l;
    s.gainR = base * r;
}

constexpr HRESULT DSERR_CONTROLUNAVAIL = int32_t(0x8878001E);

// Volume and pan of a streaming buffer: values in [lo, hi], only for a buffer created with
// the control.
HRESULT setBufferControl(HSOUNDBUFFER buffer, uint32_t control, int32_t Stream::*field, int32_t value, int32_t lo,
                         int32_t hi) {
    Session s;
    Stream* st = s.buffer(buffer);
    if (!st || value < lo || value > hi) return DSERR_INVALIDPARAM;
    if (!(st->caps & control)) return DSERR_CONTROLUNAVAIL;
    st->*field = value;
    bufferGains(*st);
    return DS_OK;
}

HRESULT getBufferControl(HSOUNDBUFFER buffer, uint32_t control, int32_t Stream::*field, int32_t* value) {
    Session s;
    Stream* st = s.buffer(buffer);
    if (!st || !value) return DSERR_INVALIDPARAM;
    if (!(st->caps & control)) return DSERR_CONTROLUNAVAIL;
    *value = st->*field;
    return DS_OK;
}

void stopEverything() {
    std::thread worker;
    bool sdl = false;
    {
        std::lock_guard<std::mutex> g(as().lock);
        AudioState& a = as();
        for (auto& [h, s] : a.streams)
            for (WAVEHDR* hdr : s.queue) hdr->dwFlags.store((hdr->dwFlags.load() & ~WHDR_INQUEUE) | WHDR_DONE);
        a.streams.clear();
        a.pending.clear();
        if (a.wav) {
            writeWavHeader(a.wav, a.wavFrames);
            std::fclose(a.wav);
            a.wav = nullptr;
        }
        sdl = a.started && a.backend == AudioBackend::Sdl;
        a.started = false;
        a.stopWorker = true;
        worker.swap(a.worker);
    }
    // Outside the lock: SDL's callback and the worker both take it.
    if (sdl) sdla::close();
    if (worker.joinable()) worker.join();
}

}  // namespace

// ---- wave-output device -----------------------------------------------------------------------

uint32_t waveOutGetNumDevs() { return 1; }

MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t deviceId, const WAVEFORMATEX* format, WaveOutProc callback,
                     uintptr_t instance, uint32_t flags) {
    if (deviceId != 0 && deviceId != WAVE_MAPPER) return MMSYSERR_BADDEVICEID;
    if (!validFormat(format)) return WAVERR_BADFORMAT;
    uint32_t kind = flags & 0x70000;
    if (kind != CALLBACK_NULL && kind != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
    if (kind == CALLBACK_FUNCTION && !callback) return MMSYSERR_INVALPARAM;
    if (flags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
    if (!device) return MMSYSERR_INVALPARAM;
    Session s;
    HWAVEOUT h = 0;
    Stream& st = addStream(s.a(), true, format, &h);
    st.callback = kind == CALLBACK_FUNCTION ? callback : nullptr;
    st.instance = instance;
    *device = h;
    if (st.callback) s.a().pending.push_back({st.callback, h, WOM_OPEN, instance, nullptr});
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT device) {
    Session s;
    Stream* st = s.wave(device);
    if (!st) return MMSYSERR_INVALHANDLE;
    if (!st->queue.empty()) return WAVERR_STILLPLAYING;
    if (st->callback) s.a().pending.push_back({st->callback, device, WOM_CLOSE, st->instance, nullptr});
    s.a().streams.erase(device);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t headerSize) {
    Session s;
    if (!s.wave(device)) return MMSYSERR_INVALHANDLE;
    if (!header || headerSize < sizeof(WAVEHDR) || (!header->lpData && header->dwBufferLength))
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags.load() & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->dwFlags.store(header->dwFlags.load() | WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t headerSize) {
    Session s;
    if (!s.wave(device)) return MMSYSERR_INVALHANDLE;
    if (!header || headerSize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    if (header->dwFlags.load() & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->dwFlags.store(header->dwFlags.load() & ~WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, uint32_t headerSize) {
    Session s;
    Stream* st = s.wave(device);
    if (!st) return MMSYSERR_INVALHANDLE;
    if (!header || headerSize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    uint32_t f = header->dwFlags.load();
    if (!(f & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (f & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (!header->lpData && header->dwBufferLength) return MMSYSERR_INVALPARAM;
    header->dwFlags.store((f & ~WHDR_DONE) | WHDR_INQUEUE);
    st->queue.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT device) {
    Session s;
    Stream* st = s.wave(device);
    if (!st) return MMSYSERR_INVALHANDLE;
    while (!st->queue.empty()) completeHead(*st, device, s.a());
    st->bytesPlayed = 0;
    st->headOffset = 0;
    restartFilter(*st);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT device) {
    Session s;
    Stream* st = s.wave(device);
    if (!st) return MMSYSERR_INVALHANDLE;
    st->paused = true;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT device) {
    Session s;
    Stream* st = s.wave(device);
    if (!st) return MMSYSERR_INVALHANDLE;
    st->paused = false;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutSetVolume(HWAVEOUT device, uint32_t volume) {
    Session s;
    Stream* st = s.wave(device);
    if (!st) return MMSYSERR_INVALHANDLE;
    st->volume = volume;
    st->gainL = float(volume & 0xFFFF) / 65535.0f;
    st->gainR = float(volume >> 16) / 65535.0f;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetVolume(HWAVEOUT device, uint32_t* volume) {
    Session s;
    Stream* st = s.wave(device);
    if (!st) return MMSYSERR_INVALHANDLE;
    if (!volume) return MMSYSERR_INVALPARAM;
    *volume = st->volume;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetPosition(HWAVEOUT device, uint64_t* bytes) {
    Session s;
    Stream* st = s.wave(device);
    if (!st) return MMSYSERR_INVALHANDLE;
    if (!bytes) return MMSYSERR_INVALPARAM;
    *bytes = st->bytesPlayed;
    return MMSYSERR_NOERROR;
}

// ---- streaming sound buffer -------------------------------------------------------------------

HRESULT soundBufferCreate(const WAVEFORMATEX* format, uint32_t bytes, uint32_t flags, HSOUNDBUFFER* buffer) {
    if (!buffer) return DSERR_INVALIDPARAM;
    *buffer = 0;
    if (!validFormat(format)) return DSERR_BADFORMAT;
    if (bytes < DSBSIZE_MIN || bytes > DSBSIZE_MAX) return DSERR_INVALIDPARAM;
    uint32_t size = bytes - bytes % format->nBlockAlign;
    if (!size) return DSERR_INVALIDPARAM;
    std::vector<uint8_t> data;
    try {
        data.assign(size, format->wBitsPerSample == 8 ? 0x80 : 0);
    } catch (const std::bad_alloc&) {
        return DSERR_OUTOFMEMORY;
    }
    Session s;
    HSOUNDBUFFER h = 0;
    Stream& st = addStream(s.a(), false, format, &h);
    st.data.swap(data);
    st.size = size;
    st.caps = flags;
    *buffer = h;
    return DS_OK;
}

HRESULT soundBufferRelease(HSOUNDBUFFER buffer) {
    Session s;
    if (!s.buffer(buffer)) return DSERR_INVALIDPARAM;
    s.a().streams.erase(buffer);
    return DS_OK;
}

HRESULT soundBufferLock(HSOUNDBUFFER buffer, uint32_t offset, uint32_t bytes, void** p1, uint32_t* n1, void** p2,
                        uint32_t* n2, uint32_t flags) {
    Session s;
    Stream* st = s.buffer(buffer);
    if (!st || !p1 || !n1) return DSERR_INVALIDPARAM;
    if (flags & DSBLOCK_ENTIREBUFFER) {
        offset = 0;
        bytes = st->size;
    } else if (flags & DSBLOCK_FROMWRITECURSOR) {
        offset = st->readPos;
    }
    if (offset >= st->size || bytes == 0 || bytes > st->size) return DSERR_INVALIDPARAM;
    uint32_t first = std::min(bytes, st->size - offset);
    *p1 = st->data.data() + offset;
    *n1 = first;
    if (p2) *p2 = nullptr;
    if (n2) *n2 = 0;
    if (bytes > first && p2 && n2) {
        *p2 = st->data.data();
        *n2 = bytes - first;
    }
    return DS_OK;
}

HRESULT soundBufferUnlock(HSOUNDBUFFER buffer, void* p1, uint32_t n1, void* p2, uint32_t n2) {
    Session s;
    Stream* st = s.buffer(buffer);
    if (!st) return DSERR_INVALIDPARAM;
    auto inside = [&](void* p, uint32_t n) {
        if (!p) return n == 0;
        uint8_t* b = static_cast<uint8_t*>(p);
        uint8_t* lo = st->data.data();
        return b >= lo && b <= lo + st->size && n <= size_t(lo + st->size - b);
    };
    if (!inside(p1, n1) || !inside(p2, n2)) return DSERR_INVALIDPARAM;
    return DS_OK;
}

HRESULT soundBufferPlay(HSOUNDBUFFER buffer, uint32_t flags) {
    Session s;
    Stream* st = s.buffer(buffer);
    if (!st) return DSERR_INVALIDPARAM;
    if (!st->playing) st->fetchedSincePlay = 0;
    st->playing = true;
    st->looping = flags & DSBPLAY_LOOPING;
    return DS_OK;
}

HRESULT soundBufferStop(HSOUNDBUFFER buffer) {
    Session s;
    Stream* st = s.buffer(buffer);
    if (!st) return DSERR_INVALIDPARAM;
    st->playing = false;
    return DS_OK;
}

HRESULT soundBufferGetCurrentPosition(HSOUNDBUFFER buffer, uint32_t* play, uint32_t* write) {
    Session s;
    Stream* st = s.buffer(buffer);
    if (!st) return DSERR_INVALIDPARAM;
    uint32_t w = st->readPos;
    uint32_t p = w;
    if (st->playing && !st->rs.bypass) {
        // The frame being heard is the one at the filter's centre, behind the last one taken.
        uint64_t lag = std::min<uint64_t>(st->fetchedSincePlay, kHalf + 1) * st->frameBytes;
        p = uint32_t((uint64_t(w) + st->size - lag % st->size) % st->size);
    }
    if (play) *play = p;
    if (write) *write = w;
    return DS_OK;
}

HRESULT soundBufferSetCurrentPosition(HSOUNDBUFFER buffer, uint32_t position) {
    Session s;
    Stream* st = s.buffer(buffer);
    if (!st || position >= st->size) return DSERR_INVALIDPARAM;
    st->readPos = position - position % st->frameBytes;
    restartFilter(*st);
    st->fetchedSincePlay = 0;
    return DS_OK;
}

HRESULT soundBufferGetStatus(HSOUNDBUFFER buffer, uint32_t* status) {
    Session s;
    Stream* st = s.buffer(buffer);
    if (!st || !status) return DSERR_INVALIDPARAM;
    *status = st->playing ? (DSBSTATUS_PLAYING | (st->looping ? DSBSTATUS_LOOPING : 0)) : 0;
    return DS_OK;
}

HRESULT soundBufferSetVolume(HSOUNDBUFFER buffer, int32_t hundredthsDb) {
    return setBufferControl(buffer, DSBCAPS_CTRLVOLUME, &Stream::dbVolume, hundredthsDb, DSBVOLUME_MIN, DSBVOLUME_MAX);
}

HRESULT soundBufferGetVolume(HSOUNDBUFFER buffer, int32_t* hundredthsDb) {
    return getBufferControl(buffer, DSBCAPS_CTRLVOLUME, &Stream::dbVolume, hundredthsDb);
}

HRESULT soundBufferSetPan(HSOUNDBUFFER buffer, int32_t pan) {
    return setBufferControl(buffer, DSBCAPS_CTRLPAN, &Stream::pan, pan, DSBPAN_LEFT, DSBPAN_RIGHT);
}

HRESULT soundBufferGetPan(HSOUNDBUFFER buffer, int32_t* pan) {
    return getBufferControl(buffer, DSBCAPS_CTRLPAN, &Stream::pan, pan);
}

HRESULT soundBufferGetSize(HSOUNDBUFFER buffer, uint32_t* bytes) {
    Session s;
    Stream* st = s.buffer(buffer);
    if (!st || !bytes) return DSERR_INVALIDPARAM;
    *bytes = st->size;
    return DS_OK;
}

// ---- back-end and control ---------------------------------------------------------------------

AudioBackend audioBackend() {
    Session s;
    return s.a().backend;
}

const char* audioBackendName() {
    switch (audioBackend()) {
        case AudioBackend::Sdl: return "sdl";
        case AudioBackend::Wav: return "wav";
        default: return "null";
    }
}

uint32_t audioDeviceRate() {
    Session s;
    return s.a().rate;
}

void audioUpdate() { Session s; }

uint64_t audioFramesMixed() {
    Session s;
    return s.a().framesMixed;
}

void audioShutdown() { stopEverything(); }

void setAudioBackendForTest(AudioBackend backend, const std::string& wavPath) {
    std::lock_guard<std::mutex> g(as().lock);
    as().testSet = true;
    as().testBackend = backend;
    as().testWavPath = wavPath;
}

std::vector<float> resampleFrames(const float* in, size_t frames, int channels, uint32_t fromRate, uint32_t toRate) {
    std::vector<float> out;
    if (!in || (channels != 1 && channels != 2) || !fromRate || !toRate || !frames) return out;
    size_t outFrames = size_t((unsigned __int128)frames * toRate / fromRate);
    out.resize(outFrames * size_t(channels));
    size_t next = 0;
    auto take = [&](float& l, float& r) {
        if (next < frames) {
            l = in[next * size_t(channels)];
            r = channels == 2 ? in[next * 2 + 1] : l;
        } else {
            l = r = 0;
        }
        next++;
    };
    Resampler rs;
    rs.setup(fromRate, toRate);
    if (rs.bypass) {
        std::copy(in, in + outFrames * size_t(channels), out.begin());
        return out;
    }
    // Prime the window so that input frame 0 sits at the filter's centre for output frame 0.
    for (int i = 0; i < kHalf; i++) rs.push(0, 0);
    for (int i = 0; i < kHalf; i++) {
        float l, r;
        take(l, r);
        rs.push(l, r);
    }
    // The window's centre is index kHalf - 1 from the oldest; one more frame puts frame 0 there.
    {
        float l, r;
        take(l, r);
        rs.push(l, r);
    }
    for (size_t j = 0; j < outFrames; j++) {
        float l, r;
        rs.output(l, r);
        out[j * size_t(channels)] = l;
        if (channels == 2) out[j * 2 + 1] = r;
        rs.frac += rs.step;
        while (rs.frac >= (uint64_t(1) << 32)) {
            rs.frac -= uint64_t(1) << 32;
            float nl, nr;
            take(nl, nr);
            rs.push(nl, nr);
        }
    }
    return out;
}

}  // namespace plat
