// Graphics input: list files (one input per line, with its range and repeat switches) and
// numbered sequence patterns (pic???.tga*10-50), read as one source.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/mem_block.h"
#include "kroutil/input/gfile_internal.h"
#include "kroutil/kro_file.h"
#include "kroutil/util.h"
#include "kroutil/util/status_send.h"

namespace gfile {

namespace {

// Lists inside lists go at most this deep (a list naming itself ends there).
constexpr int kDeepestList = 16;
// A list or sequence expands to at most this many entries.
constexpr size_t kMostEntries = 1u << 20;
constexpr int64_t kMostFrames = INT32_MAX;

struct Pattern {
    std::string base;       // the name up to the '*'
    int64_t start = 0;
    int64_t end = -1;       // -1: until a numbered file is missing
};

bool parsePattern(const char* name, Pattern* out) {
    const char* q = std::strchr(name, '?');
    if (!q) return false;
    const char* star = std::strrchr(q, '*');
    if (!star || !std::isdigit(static_cast<unsigned char>(star[1]))) return false;
    const char* s = star + 1;
    int64_t start = 0;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) start = std::min<int64_t>(start * 10 + (*s - '0'), kMostFrames);
    int64_t end = -1;
    if (*s == '-' && std::isdigit(static_cast<unsigned char>(s[1]))) {
        end = 0;
        for (++s; std::isdigit(static_cast<unsigned char>(*s)); ++s) end = std::min<int64_t>(end * 10 + (*s - '0'), kMostFrames);
    }
    // Blanks may follow; anything else means the star belongs to the name.
    while (*s && static_cast<signed char>(*s) <= 32) ++s;
    if (*s) return false;
    if (out) {
        out->base.assign(name, size_t(star - name));
        out->start = start;
        out->end = end;
    }
    return true;
}

// The name of number n: its digits written into the '?' characters from the right; more digits
// than '?' characters widen the name at the first one.
std::string numberedName(const std::string& base, int64_t n) {
    std::string digits = std::to_string(n);
    std::vector<size_t> marks;
    for (size_t i = 0; i < base.size(); ++i)
        if (base[i] == '?') marks.push_back(i);
    std::string out = base;
    size_t d = digits.size();
    for (size_t k = marks.size(); k-- > 0;) out[marks[k]] = d > 0 ? digits[--d] : '0';
    if (d > 0) out.insert(marks.front(), digits.substr(0, d));
    return out;
}

bool fileExists(const std::string& name) {
    KroFile* f = KroFileOpen(4096, name.c_str(), KRO_FILE_READ);
    if (!f) return false;
    KroFileClose(f);
    return true;
}

// Expands one pattern into entries; with S and E (1-based, 0 = not given) selecting a part of
// the numbered files in counting order.
void expandPattern(const Pattern& pat, int32_t s, int32_t e, std::vector<ListEntry>& out) {
    int64_t from = pat.start;
    int64_t step = pat.end >= 0 && pat.end < pat.start ? -1 : 1;
    int64_t count = pat.end >= 0 ? (pat.end - pat.start) * step + 1 : kMostFrames;
    int64_t skip = s > 1 ? s - 1 : 0;
    if (e > 0) count = std::min<int64_t>(count, e);
    for (int64_t i = skip; i < count && out.size() < kMostEntries; ++i) {
        int64_t n = from + i * step;
        if (n < 0) break;
        std::string name = numberedName(pat.base, n);
        // Without an end the sequence runs until a number is missing.
        if (pat.end < 0 && i > skip && !fileExists(name)) break;
        out.push_back({name, 0, 0});
    }
}

std::string directoryOf(const char* name) {
    const char* slash = nullptr;
    for (const char* c = name; *c; ++c)
        if (*c == '/' || *c == '\\' || *c == ':') slash = c;
    return slash ? std::string(name, size_t(slash - name + 1)) : std::string();
}

bool isRelative(const std::string& name) {
    return !(name.empty() || name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':'));
}

bool readListFile(GFile* g, const char* name, std::vector<ListEntry>& out) {
    KroFile* f = KroFileOpen(4096, name, KRO_FILE_READ);
    if (!f) {
        char text[1100];
        std::snprintf(text, sizeof text, "Error opening: %s", name);
        kro::statusError(g->status, text);
        return false;
    }
    std::string dir = directoryOf(name);
    std::vector<char> line(4096);
    while (!KroFileAtEnd(f) && out.size() < kMostEntries) {
        if (!KroFileGetLine(f, line.data(), uint32_t(line.size()))) break;
        Trim(line.data());
        if (line[0] == 0 || line[0] == '#') continue;
        int32_t s = GetSwitchNum(line.data(), 'S', 0);
        int32_t e = GetSwitchNum(line.data(), 'E', 0);
        int32_t times = GetSwitchNum(line.data(), 'L', 1);
        RemoveQuotes(line.data());
        if (line[0] == 0) continue;
        std::string entry = line.data();
        // Names relative to the list are found beside it when they are not found as given.
        if (isRelative(entry) && !dir.empty() && !fileExists(entry) && !parsePattern(entry.c_str(), nullptr))
            entry = dir + entry;
        times = std::clamp(times, 1, 65536);
        for (int32_t t = 0; t < times && out.size() < kMostEntries; ++t) {
            Pattern pat;
            if (parsePattern(entry.c_str(), &pat)) expandPattern(pat, s, e, out);
            else out.push_back({entry, s, e});
        }
    }
    KroFileClose(f);
    return true;
}

}  // namespace

bool isSequencePattern(const char* name) { return parsePattern(name, nullptr); }

GFile* openSub(GFile* parent, const char* name, int32_t first, int32_t last, int depth) {
    GFilePrivate* p = parent->priv;
    // Entries deliver 8-bit frames with their own palette untouched when the list is 8-bit.
    int32_t flags = p->openFlags & ~(GFILE_PALETTE_MASK);
    if (!parent->trueColour) flags |= 1;
    GFile* sub = openInternal(name, flags, p->openRates, parent->widthSpec, parent->heightSpec, 0, 0, 0, 0, first, last,
                              65536, 0, 256, 0, 2, 2, "", "", parent->status, depth);
    if (sub && !sub->trueColour && sub->bitsPerPixel > 8) {
        // Deeper entries hand over true colour; the list makes the palette.
        sub->trueColour = 1;
        sub->paletteMethod = -1;
        sub->flags &= ~GFILE_PALETTE_MASK;
        TorvexMemFree(sub->canvasBuffer);
        sub->canvasBuffer = nullptr;
        int64_t pitch = ((int64_t(sub->canvasWidth) + 3) & ~int64_t(3)) * 4;
        sub->canvasPitch = int32_t(pitch);
        uint64_t bytes = uint64_t(pitch) * uint64_t(sub->canvasHeight);
        sub->canvasBuffer = bytes < 0xFFFFFFFFull ? static_cast<uint8_t*>(TorvexMemAlloc(uint32_t(bytes))) : nullptr;
        if (!sub->canvasBuffer) {
            GFileClose(sub);
            kro::statusError(parent->status, "Out of memory");
            return nullptr;
        }
        std::memset(sub->canvasBuffer, 0, bytes);
    }
    return sub;
}

bool openList(GFile* g, const char* name, bool pattern, int depth) {
    GFilePrivate* p = g->priv;
    ListState& list = p->list;
    if (depth >= kDeepestList) {
        char text[1100];
        std::snprintf(text, sizeof text, "Error opening: %s", name);
        kro::statusError(g->status, text);
        return false;
    }
    list.depth = depth;
    if (pattern) {
        Pattern pat;
        parsePattern(name, &pat);
        expandPattern(pat, 0, 0, list.entries);
    } else if (!readListFile(g, name, list.entries)) {
        return false;
    }
    int64_t frames = 0;
    uint64_t size = 0;
    bool rateFound = false;
    for (ListEntry& e : list.entries) {
        char text[1100];
        std::snprintf(text, sizeof text, "Opening %s...", e.name.c_str());
        sendProgress(g, text, false, nullptr);
        GFile* sub = openSub(g, e.name.c_str(), e.first, e.last, depth + 1);
        if (!sub) return false;
        g->bitsPerPixel = std::max(g->bitsPerPixel, sub->bitsPerPixel);
        g->sourceWidth = std::max(g->sourceWidth, sub->canvasWidth);
        g->sourceHeight = std::max(g->sourceHeight, sub->canvasHeight);
        if (!rateFound) {
            // Entries already deliver at the list's output rate; the list only joins them.
            g->fileRateNum = sub->outputRateNum;
            g->fileRateDen = sub->outputRateDen;
            rateFound = true;
        }
        g->hasSound |= sub->hasSound;
        g->hasAlpha |= sub->hasAlpha;
        e.frames = sub->outputFrameCount;
        frames = std::min(frames + sub->outputFrameCount, kMostFrames);
        size += sub->fileSize;
        GFileClose(sub);
    }
    if (frames == 0) {
        kro::statusError(g->status, "No files in the list file.");
        return false;
    }
    g->kind = GFILE_KIND_LIST;
    g->typeName = "List";
    g->fileSize = size;
    p->frameCount = int32_t(frames);
    // The entries de-interlace; the list takes their frames as they come.
    g->flags &= ~(GFILE_FIELD_1 | GFILE_FIELD_2 | GFILE_FIELD_BLEND);
    // The entries run at the list's rates already.
    p->openRates[0] = p->openRates[1] = p->openRates[2] = p->openRates[3] = 0;
    return true;
}

bool readListFrame(GFile* g) {
    GFilePrivate* p = g->priv;
    ListState& list = p->list;
    if (!p->skipped) {
        p->skipped = true;
        // Whole entries before the range are passed over by their counts.
        uint32_t skip = p->firstIndex;
        while (list.next < list.entries.size() && uint32_t(list.entries[list.next].frames) <= skip) {
            skip -= uint32_t(list.entries[list.next].frames);
            ++list.next;
        }
        p->skipFrames = skip;
    }
    for (;;) {
        if (list.sub && list.sub->outputFrameCounter < list.sub->outputFrameCount) break;
        if (list.sub) GFileClose(list.sub);
        list.sub = nullptr;
        if (list.next >= list.entries.size()) return false;
        const ListEntry& e = list.entries[list.next++];
        list.sub = openSub(g, e.name.c_str(), e.first, e.last, list.depth + 1);
        if (!list.sub) return false;
    }
    const Processing& proc = p->proc;
    GFile* sub = list.sub;
    for (; p->skipFrames > 0 && sub->outputFrameCounter + 1 < sub->outputFrameCount; --p->skipFrames)
        GFileGet(sub, proc.median, proc.softening, proc.levels, proc.brightness, proc.gamma, proc.threshold);
    p->skipFrames = 0;
    GFileGet(sub, proc.median, proc.softening, proc.levels, proc.brightness, proc.gamma, proc.threshold);
    SourceFrame& f = p->frame;
    f.pixels = sub->canvasBuffer;
    f.pitch = sub->canvasPitch;
    f.width = sub->canvasWidth;
    f.height = sub->canvasHeight;
    f.depth = sub->trueColour ? 32 : 8;
    f.palette = sub->workingPalette;
    p->haveFrame = true;
    return true;
}

void rewindList(GFile* g) {
    ListState& list = g->priv->list;
    if (list.sub) GFileClose(list.sub);
    list.sub = nullptr;
    list.next = 0;
    g->priv->skipFrames = 0;
}

void closeList(GFile* g) { rewindList(g); }

}  // namespace gfile
