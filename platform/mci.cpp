// The command-string service over the wave-output device.
#include "platform/mci.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "bytes/byte_order.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace plat {

namespace {

enum class Mode { Stopped, Playing, Paused };

struct MciDevice {
    std::string alias;  // the name commands use (upper-cased for lookup)
    std::string element;
    WAVEFORMATEX format;
    std::vector<uint8_t> data;  // the sample frames
    HWAVEOUT out = 0;
    WAVEHDR header;
    bool queued = false;
    Mode mode = Mode::Stopped;
    uint32_t position = 0;   // bytes: while stopped the position; while playing the start of the play
    uint32_t playEnd = 0;    // bytes: where the current play ends
    bool closeWhenDone = false;
};

struct MciState {
    std::recursive_mutex lock;
    std::vector<std::unique_ptr<MciDevice>> devices;
    MciIdleCallback idle = nullptr;
};
MciState gMci;

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return s;
}

bool equalsWord(const std::string& a, const char* b) { return upper(a) == upper(b); }

bool endsWithNoCase(const std::string& s, const char* tail) {
    size_t n = std::strlen(tail);
    return s.size() >= n && upper(s.substr(s.size() - n)) == upper(tail);
}

// Words separated by blanks; double quotes group words. False for an unclosed quote.
bool splitWords(const char* text, std::vector<std::string>& words) {
    const char* p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
        if (!*p) return true;
        std::string w;
        if (*p == '"') {
            ++p;
            while (*p && *p != '"') w += *p++;
            if (*p != '"') return false;
            ++p;
        } else {
            while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') w += *p++;
        }
        words.push_back(w);
    }
}

using bytes::load16le;
using bytes::load32le;

// Reads a PCM WAV file: every chunk length is checked against the file before use.
MCIERROR loadWave(const std::string& name, WAVEFORMATEX& format, std::vector<uint8_t>& data) {
    FileHandle h = fileOpen(name, Access::Read, true);
    if (h == kInvalidFile) return MCIERR_FILE_NOT_FOUND;
    int64_t size = fileSize(h);
    std::vector<uint8_t> bytes;
    if (size > 0 && size < (int64_t(1) << 31)) {
        bytes.resize(size_t(size));
        if (fileRead(h, bytes.data(), bytes.size()) != size) bytes.clear();
    }
    fileClose(h);
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return MCIERR_INVALID_FILE;
    bool haveFormat = false, haveData = false;
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const uint8_t* c = bytes.data() + pos;
        uint32_t length = load32le(c + 4);
        size_t body = pos + 8;
        size_t available = bytes.size() - body;
        if (std::memcmp(c, "fmt ", 4) == 0) {
            if (length < 16 || length > available) return MCIERR_INVALID_FILE;
            const uint8_t* f = bytes.data() + body;
            format.wFormatTag = load16le(f);
            format.nChannels = load16le(f + 2);
            format.nSamplesPerSec = load32le(f + 4);
            format.nAvgBytesPerSec = load32le(f + 8);
            format.nBlockAlign = load16le(f + 12);
            format.wBitsPerSample = load16le(f + 14);
            format.cbSize = 0;
            haveFormat = true;
        } else if (std::memcmp(c, "data", 4) == 0) {
            // A data chunk cut short by the end of the file plays what is there.
            size_t n = std::min<size_t>(length, available);
            data.assign(bytes.begin() + long(body), bytes.begin() + long(body + n));
            haveData = true;
        }
        if (length > available) break;
        pos = body + length + (length & 1);
    }
    if (!haveFormat || !haveData) return MCIERR_INVALID_FILE;
    if (format.wFormatTag != WAVE_FORMAT_PCM || (format.nChannels != 1 && format.nChannels != 2) ||
        (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) || format.nSamplesPerSec < 1000 ||
        format.nSamplesPerSec > 192000)
        return MCIERR_INVALID_FILE;
    format.nBlockAlign = uint16_t(format.nChannels * format.wBitsPerSample / 8);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    data.resize(data.size() - data.size() % format.nBlockAlign);
    return 0;
}

uint32_t bytesToMs(const MciDevice& d, uint32_t bytes) {
    return uint32_t((uint64_t(bytes) * 1000 + d.format.nAvgBytesPerSec / 2) / d.format.nAvgBytesPerSec);
}
uint32_t msToBytes(const MciDevice& d, uint64_t ms) {
    uint64_t frames = ms * d.format.nSamplesPerSec / 1000;
    uint64_t bytes = frames * d.format.nBlockAlign;
    return uint32_t(std::min<uint64_t>(bytes, d.data.size()));
}

void releaseHeader(MciDevice& d) {
    if (!d.queued) return;
    waveOutReset(d.out);
    waveOutUnprepareHeader(d.out, &d.header, sizeof d.header);
    d.queued = false;
}

// Brings the device's mode up to date: a play whose block is done has stopped at its end.
void refresh(MciDevice& d) {
    if (d.mode == Mode::Playing && d.queued && (d.header.dwFlags.load() & WHDR_DONE)) {
        waveOutUnprepareHeader(d.out, &d.header, sizeof d.header);
        d.queued = false;
        d.mode = Mode::Stopped;
        d.position = d.playEnd;
    }
}

uint32_t currentPosition(MciDevice& d) {
    refresh(d);
    if (d.mode == Mode::Stopped) return d.position;
    uint64_t played = 0;
    waveOutGetPosition(d.out, &played);
    uint64_t p = uint64_t(d.position) + played;
    return uint32_t(std::min<uint64_t>(p, d.playEnd));
}

void stopDevice(MciDevice& d) {
    uint32_t pos = currentPosition(d);
    releaseHeader(d);
    if (d.out) waveOutRestart(d.out);  // a paused device starts the next play unpaused
    d.mode = Mode::Stopped;
    d.position = pos;
}

void closeDevice(MciDevice& d) {
    releaseHeader(d);
    if (d.out) waveOutClose(d.out);
    d.out = 0;
}

MciDevice* findDevice(const std::string& name) {
    std::string key = upper(name);
    for (auto& d : gMci.devices)
        if (d->alias == key) return d.get();
    return nullptr;
}

void removeDevice(MciDevice* d) {
    closeDevice(*d);
    auto& v = gMci.devices;
    v.erase(std::remove_if(v.begin(), v.end(), [d](const std::unique_ptr<MciDevice>& p) { return p.get() == d; }), v.end());
}

// Devices opened for one play only go away once it has ended.
void collectFinished() {
    std::vector<MciDevice*> done;
    for (auto& d : gMci.devices) {
        refresh(*d);
        if (d->closeWhenDone && d->mode == Mode::Stopped) done.push_back(d.get());
    }
    for (MciDevice* d : done) removeDevice(d);
}

void waitForEnd(MciDevice& d) {
    for (;;) {
        audioUpdate();
        refresh(d);
        if (d.mode != Mode::Playing) return;
        if (gMci.idle) gMci.idle();
        sleepMs(1);
    }
}

MCIERROR startPlay(MciDevice& d, uint32_t from, uint32_t to, bool wait) {
    releaseHeader(d);
    if (d.out) waveOutRestart(d.out);
    if (!d.out) {
        MMRESULT r = waveOutOpen(&d.out, WAVE_MAPPER, &d.format, nullptr, 0, CALLBACK_NULL);
        if (r != MMSYSERR_NOERROR) {
            d.out = 0;
            return MCIERR_WAVE_OUTPUTSUNSUITABLE;
        }
    }
    waveOutReset(d.out);
    d.position = from;
    d.playEnd = to;
    if (to <= from) {
        d.mode = Mode::Stopped;
        d.position = to;
        return 0;
    }
    d.header.lpData = reinterpret_cast<char*>(d.data.data() + from);
    d.header.dwBufferLength = to - from;
    d.header.dwFlags = 0;
    if (waveOutPrepareHeader(d.out, &d.header, sizeof d.header) != MMSYSERR_NOERROR ||
        waveOutWrite(d.out, &d.header, sizeof d.header) != MMSYSERR_NOERROR) {
        waveOutUnprepareHeader(d.out, &d.header, sizeof d.header);
        return MCIERR_HARDWARE;
    }
    d.queued = true;
    d.mode = Mode::Playing;
    if (wait) waitForEnd(d);
    return 0;
}

MCIERROR answer(const std::string& text, char* out, uint32_t size) {
    if (!out || size == 0) return 0;
    if (text.size() >= size) {
        out[0] = 0;
        return MCIERR_PARAM_OVERFLOW;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return 0;
}

bool parseMs(const std::string& w, uint64_t& value) {
    if (w.empty() || w.size() > 10) return false;
    value = 0;
    for (char c : w) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint64_t(c - '0');
    }
    return value <= 0xFFFFFFFFu;
}

// A short tone for a system sound: the event names differ in pitch only.
void makeSystemSound(const std::string& name, MciDevice& d) {
    static const char* const kNames[] = {"SYSTEMASTERISK", "SYSTEMEXCLAMATION", "SYSTEMHAND",
                                         "SYSTEMQUESTION", "SYSTEMSTART",       "SYSTEMEXIT"};
    double pitch = 880.0;  // the default sound, also for names that are not known
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i)
        if (upper(name) == kNames[i]) pitch = 440.0 + 110.0 * double(i);
    d.format.wFormatTag = WAVE_FORMAT_PCM;
    d.format.nChannels = 1;
    d.format.nSamplesPerSec = 22050;
    d.format.wBitsPerSample = 16;
    d.format.nBlockAlign = 2;
    d.format.nAvgBytesPerSec = 44100;
    const int frames = 22050 / 5;
    d.data.resize(size_t(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        double fade = std::min(1.0, double(frames - i) / 600.0);
        int16_t v = int16_t(std::lround(8000.0 * fade * std::sin(6.283185307179586 * pitch * i / 22050.0)));
        d.data[size_t(i) * 2] = uint8_t(v & 0xFF);
        d.data[size_t(i) * 2 + 1] = uint8_t((v >> 8) & 0xFF);
    }
}

MCIERROR commandOpen(const std::vector<std::string>& w, char* out, uint32_t size) {
    if (w.size() < 2) return MCIERR_MISSING_DEVICE_NAME;
    std::string element = w[1];
    std::string type, alias;
    for (size_t i = 2; i < w.size(); ++i) {
        if (equalsWord(w[i], "type") && i + 1 < w.size()) type = w[++i];
        else if (equalsWord(w[i], "alias") && i + 1 < w.size()) alias = w[++i];
        else if (equalsWord(w[i], "shareable") || equalsWord(w[i], "wait") || equalsWord(w[i], "notify")) {
        } else return MCIERR_UNRECOGNIZED_KEYWORD;
    }
    size_t bang = element.find('!');
    if (bang != std::string::npos) {
        type = element.substr(0, bang);
        element = element.substr(bang + 1);
    }
    if (!type.empty() && !equalsWord(type, "waveaudio")) return MCIERR_INVALID_DEVICE_NAME;
    if (type.empty() && !endsWithNoCase(element, ".wav")) {
        // A device name of a kind this platform does not have, or a file of another kind.
        if (element.find('.') != std::string::npos && pathExists(element)) return MCIERR_INVALID_FILE;
        return MCIERR_INVALID_DEVICE_NAME;
    }
    if (alias.empty()) alias = element;
    if (findDevice(alias)) return MCIERR_DUPLICATE_ALIAS;
    auto d = std::make_unique<MciDevice>();
    MCIERROR e = loadWave(element, d->format, d->data);
    if (e) return e;
    d->alias = upper(alias);
    d->element = element;
    gMci.devices.push_back(std::move(d));
    return answer("1", out, size);
}

}  // namespace

MCIERROR mciSendString(const char* command, char* returnText, uint32_t returnSize) {
    std::lock_guard g(gMci.lock);
    if (returnText && returnSize) returnText[0] = 0;
    if (!command) return MCIERR_MISSING_COMMAND_STRING;
    std::vector<std::string> w;
    if (!splitWords(command, w)) return MCIERR_NO_CLOSING_QUOTE;
    if (w.empty()) return MCIERR_MISSING_COMMAND_STRING;
    collectFinished();
    std::string verb = upper(w[0]);

    if (verb == "OPEN") return commandOpen(w, returnText, returnSize);
    if (verb == "SOUND") {
        std::string name = "SystemDefault";
        bool wait = false;
        for (size_t i = 1; i < w.size(); ++i) {
            if (equalsWord(w[i], "wait")) wait = true;
            else if (equalsWord(w[i], "notify")) {
            } else name = w[i];
        }
        MciDevice* old = findDevice("\x01sound");
        if (old) removeDevice(old);
        auto d = std::make_unique<MciDevice>();
        d->alias = upper("\x01sound");
        d->closeWhenDone = true;
        makeSystemSound(name, *d);
        MciDevice& ref = *d;
        gMci.devices.push_back(std::move(d));
        MCIERROR e = startPlay(ref, 0, uint32_t(ref.data.size()), wait);
        collectFinished();
        return e;
    }
    static const char* const kVerbs[] = {"PLAY", "STOP", "PAUSE", "RESUME", "SEEK", "CLOSE", "STATUS", "SET"};
    bool known = false;
    for (const char* v : kVerbs) known = known || verb == v;
    if (!known) return MCIERR_UNRECOGNIZED_COMMAND;
    if (w.size() < 2) return MCIERR_MISSING_DEVICE_NAME;

    if (verb == "CLOSE" && equalsWord(w[1], "all")) {
        mciCloseAll();
        return 0;
    }
    MciDevice* d = findDevice(w[1]);
    if (!d && verb == "PLAY" && endsWithNoCase(w[1], ".wav")) {
        // A sound file played without opening it first: it is opened for this play.
        std::vector<std::string> o = {"open", w[1]};
        MCIERROR e = commandOpen(o, nullptr, 0);
        if (e) return e;
        d = findDevice(w[1]);
        if (d) d->closeWhenDone = true;
    }
    if (!d) return MCIERR_INVALID_DEVICE_NAME;
    refresh(*d);

    if (verb == "PLAY") {
        uint64_t from = currentPosition(*d), to = d->data.size();
        bool wait = false, haveFrom = false;
        for (size_t i = 2; i < w.size(); ++i) {
            uint64_t ms = 0;
            if (equalsWord(w[i], "wait")) wait = true;
            else if (equalsWord(w[i], "notify")) {
            } else if ((equalsWord(w[i], "from") || equalsWord(w[i], "to")) && i + 1 < w.size()) {
                if (!parseMs(w[i + 1], ms)) return MCIERR_BAD_INTEGER;
                if (ms > bytesToMs(*d, uint32_t(d->data.size()))) return MCIERR_OUTOFRANGE;
                if (equalsWord(w[i], "from")) {
                    from = msToBytes(*d, ms);
                    haveFrom = true;
                } else {
                    to = msToBytes(*d, ms);
                }
                ++i;
            } else if (equalsWord(w[i], "from") || equalsWord(w[i], "to")) {
                return MCIERR_MISSING_PARAMETER;
            } else {
                return MCIERR_UNRECOGNIZED_KEYWORD;
            }
        }
        // Played to the end, a device starts again from the beginning.
        if (!haveFrom && from >= d->data.size()) from = 0;
        if (to < from) return MCIERR_OUTOFRANGE;
        MCIERROR e = startPlay(*d, uint32_t(from), uint32_t(to), wait);
        if (wait) collectFinished();
        return e;
    }
    if (verb == "STOP") {
        stopDevice(*d);
        return 0;
    }
    if (verb == "PAUSE") {
        if (d->mode == Mode::Playing) {
            waveOutPause(d->out);
            d->mode = Mode::Paused;
        }
        return 0;
    }
    if (verb == "RESUME") {
        if (d->mode == Mode::Paused) {
            waveOutRestart(d->out);
            d->mode = Mode::Playing;
        }
        return 0;
    }
    if (verb == "SEEK") {
        if (w.size() < 3 || !equalsWord(w[2], "to")) return MCIERR_MISSING_PARAMETER;
        uint32_t target = 0;
        if (w.size() < 4) return MCIERR_MISSING_PARAMETER;
        uint64_t ms = 0;
        if (equalsWord(w[3], "start")) target = 0;
        else if (equalsWord(w[3], "end")) target = uint32_t(d->data.size());
        else if (!parseMs(w[3], ms)) return MCIERR_BAD_INTEGER;
        else if (ms > bytesToMs(*d, uint32_t(d->data.size()))) return MCIERR_OUTOFRANGE;
        else target = msToBytes(*d, ms);
        stopDevice(*d);
        d->position = target;
        return 0;
    }
    if (verb == "CLOSE") {
        removeDevice(d);
        return 0;
    }
    if (verb == "SET") {
        // Milliseconds are the only time format.
        if (w.size() == 5 && equalsWord(w[2], "time") && equalsWord(w[3], "format") &&
            (equalsWord(w[4], "milliseconds") || equalsWord(w[4], "ms")))
            return 0;
        if (w.size() >= 4 && equalsWord(w[2], "time") && equalsWord(w[3], "format")) return MCIERR_BAD_CONSTANT;
        return MCIERR_UNRECOGNIZED_KEYWORD;
    }
    // STATUS
    if (w.size() < 3) return MCIERR_MISSING_PARAMETER;
    std::string item = upper(w[2]);
    if (item == "MODE") {
        const char* m = d->mode == Mode::Playing ? "playing" : d->mode == Mode::Paused ? "paused" : "stopped";
        return answer(m, returnText, returnSize);
    }
    if (item == "POSITION") return answer(std::to_string(bytesToMs(*d, currentPosition(*d))), returnText, returnSize);
    if (item == "LENGTH") return answer(std::to_string(bytesToMs(*d, uint32_t(d->data.size()))), returnText, returnSize);
    if (item == "READY") return answer("true", returnText, returnSize);
    if (item == "TIME" && w.size() >= 4 && equalsWord(w[3], "format")) return answer("milliseconds", returnText, returnSize);
    return MCIERR_UNRECOGNIZED_KEYWORD;
}

bool mciGetErrorString(MCIERROR error, char* text, uint32_t size) {
    static const struct {
        MCIERROR code;
        const char* text;
    } kTexts[] = {
        {MCIERR_INVALID_DEVICE_ID, "Invalid MCI device ID. Use the ID returned when opening the MCI device."},
        {MCIERR_UNRECOGNIZED_KEYWORD, "The driver cannot recognize the specified command parameter."},
        {MCIERR_UNRECOGNIZED_COMMAND, "The driver cannot recognize the specified command."},
        {MCIERR_HARDWARE, "There is a problem with your media device. Make sure it is working correctly or contact the device manufacturer."},
        {MCIERR_INVALID_DEVICE_NAME, "The specified device is not open or is not recognized by MCI."},
        {MCIERR_OUT_OF_MEMORY, "Your system does not have enough memory for this task. Quit one or more applications to increase available memory, and then try again."},
        {MCIERR_MISSING_COMMAND_STRING, "There is no specified command."},
        {MCIERR_PARAM_OVERFLOW, "The output string was too large to fit in the return buffer. Increase the size of the buffer."},
        {MCIERR_BAD_INTEGER, "The specified integer is invalid for this command."},
        {MCIERR_MISSING_PARAMETER, "The specified command requires a parameter. Please supply one."},
        {MCIERR_UNSUPPORTED_FUNCTION, "The MCI device you are using does not support the specified command."},
        {MCIERR_FILE_NOT_FOUND, "Cannot find the specified file. Make sure the path and filename are correct."},
        {MCIERR_OUTOFRANGE, "The specified parameter is out of range for the specified command."},
        {MCIERR_DEVICE_TYPE_REQUIRED, "The specified device cannot be found. Make sure it is installed or that the device name is spelled correctly."},
        {MCIERR_DUPLICATE_ALIAS, "The specified alias is already being used in this application. Use a unique alias."},
        {MCIERR_BAD_CONSTANT, "The specified parameter value is unknown."},
        {MCIERR_MISSING_DEVICE_NAME, "No device name was specified."},
        {MCIERR_NO_CLOSING_QUOTE, "A closing quotation mark is missing."},
        {MCIERR_INVALID_FILE, "The specified file cannot be played on the specified MCI device. The file may be corrupt, not in the correct format, or no file handler available for this format."},
        {MCIERR_WAVE_OUTPUTSUNSUITABLE, "No wave output device that can play files in the current format is installed."},
    };
    if (text && size) text[0] = 0;
    for (const auto& t : kTexts) {
        if (t.code != error) continue;
        if (text && size) std::snprintf(text, size, "%s", t.text);
        return true;
    }
    return false;
}

void mciSetIdleCallback(MciIdleCallback callback) {
    std::lock_guard g(gMci.lock);
    gMci.idle = callback;
}

void mciCloseAll() {
    std::lock_guard g(gMci.lock);
    for (auto& d : gMci.devices) closeDevice(*d);
    gMci.devices.clear();
}

}  // namespace plat
