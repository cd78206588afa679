// Capture files: numbered 8-bit indexed BMP frames and a one-line-per-event log.
#include "platform/headless_capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "bytes/byte_order.h"
#include "platform/clock.h"

namespace plat {
namespace {

struct CaptureState {
    std::mutex lock;
    bool envRead = false;
    std::string dir;
    FILE* log = nullptr;
    int frames = 0;
};
CaptureState& cs() {
    static CaptureState* s = new CaptureState;
    return *s;
}

bool makeDirs(const std::string& dir) {
    std::string cur;
    for (size_t i = 0; i <= dir.size(); i++) {
        if (i == dir.size() || dir[i] == '/') {
            if (!cur.empty() && mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) return false;
        }
        if (i < dir.size()) cur += dir[i];
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool openLocked(const std::string& dir) {
    CaptureState& s = cs();
    if (s.log) {
        std::fclose(s.log);
        s.log = nullptr;
    }
    s.dir.clear();
    s.frames = 0;
    if (dir.empty()) return true;
    if (!makeDirs(dir)) {
        std::fprintf(stderr, "capture: cannot create directory %s\n", dir.c_str());
        return false;
    }
    std::string logPath = dir + "/events.log";
    s.log = std::fopen(logPath.c_str(), "w");
    if (!s.log) {
        std::fprintf(stderr, "capture: cannot write %s\n", logPath.c_str());
        return false;
    }
    s.dir = dir;
    return true;
}

void readEnvLocked() {
    CaptureState& s = cs();
    if (s.envRead) return;
    s.envRead = true;
    const char* env = std::getenv("TORVEX_CAPTURE");
    if (env && *env) openLocked(env);
}

void logLocked(const std::string& line) {
    CaptureState& s = cs();
    if (!s.log) return;
    if (clockIsVirtual())
        std::fprintf(s.log, "t=%u %s\n", tickCount(), line.c_str());
    else
        std::fprintf(s.log, "%s\n", line.c_str());
    std::fflush(s.log);
}

}  // namespace

namespace capture {

bool active() {
    std::lock_guard<std::mutex> g(cs().lock);
    readEnvLocked();
    return cs().log != nullptr;
}

void logLine(const std::string& line) {
    std::lock_guard<std::mutex> g(cs().lock);
    readEnvLocked();
    logLocked(line);
}

bool writeIndexedBmp(const std::string& path, const uint8_t* topDown, int32_t width, int32_t height,
                     const PaletteEntry* palette) {
    if (width <= 0 || height <= 0 || !topDown) return false;
    uint32_t rowSize = (uint32_t(width) + 3u) & ~3u;
    uint32_t image = rowSize * uint32_t(height);
    uint32_t offset = 14 + 40 + 1024;
    std::vector<uint8_t> head;
    head.reserve(offset);
    head.push_back('B');
    head.push_back('M');
    bytes::append32le(head, offset + image);
    bytes::append32le(head, 0);
    bytes::append32le(head, offset);
    bytes::append32le(head, 40);
    bytes::append32le(head, uint32_t(width));
    bytes::append32le(head, uint32_t(height));  // positive: rows stored bottom row first
    bytes::append16le(head, 1);
    bytes::append16le(head, 8);
    bytes::append32le(head, 0);
    bytes::append32le(head, image);
    bytes::append32le(head, 2835);
    bytes::append32le(head, 2835);
    bytes::append32le(head, 256);
    bytes::append32le(head, 0);
    for (int i = 0; i < 256; i++) {
        head.push_back(palette[i].blue);
        head.push_back(palette[i].green);
        head.push_back(palette[i].red);
        head.push_back(0);
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size();
    std::vector<uint8_t> row(rowSize, 0);
    for (int32_t y = height - 1; ok && y >= 0; y--) {
        std::copy(topDown + size_t(y) * size_t(width), topDown + size_t(y + 1) * size_t(width), row.begin());
        ok = std::fwrite(row.data(), 1, rowSize, f) == rowSize;
    }
    if (std::fclose(f) != 0) ok = false;
    if (!ok) unlink(path.c_str());
    return ok;
}

bool writeFrame(const uint8_t* topDown, int32_t width, int32_t height, const PaletteEntry* palette) {
    std::lock_guard<std::mutex> g(cs().lock);
    readEnvLocked();
    CaptureState& s = cs();
    if (!s.log) return false;
    char name[32];
    std::snprintf(name, sizeof name, "frame_%05d.bmp", s.frames);
    bool ok = writeIndexedBmp(s.dir + "/" + name, topDown, width, height, palette);
    if (ok) {
        s.frames++;
        logLocked(std::string("frame ") + name);
    } else {
        logLocked(std::string("frame write failed ") + name);
    }
    return ok;
}

}  // namespace capture

bool setCaptureDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> g(cs().lock);
    cs().envRead = true;
    return openLocked(dir);
}

std::string captureDirectory() {
    std::lock_guard<std::mutex> g(cs().lock);
    readEnvLocked();
    return cs().dir;
}

int capturedFrameCount() {
    std::lock_guard<std::mutex> g(cs().lock);
    return cs().frames;
}

void captureLogLine(const std::string& line) { capture::logLine(line); }

namespace win {
void logEvent(const std::string& line) { capture::logLine(line); }
}  // namespace win

}  // namespace plat
