// Image allocation and release, the check every reader and writer makes, colour tables, the row
// store, the vertical flip, the per-format locks and the readers' and writers' file helpers.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "kroutil/images/image_core.h"

namespace kroimg {

namespace {

// The headers allocimage handed out, so that freeimage releases only its own blocks and a
// second call on a copied or stale descriptor touches nothing.
struct Registry {
    std::mutex lock;
    std::unordered_set<const void*> blocks;
};
Registry& registry() {
    static Registry r;
    return r;
}

std::atomic<bool> vicInitialised{false};

int32_t tableSizeForBits(int32_t bits) { return bits < 16 ? 1 << bits : 0; }

uint8_t greyStep(int32_t bits) { return bits == 1 ? 255 : uint8_t(255 / ((1 << bits) - 1)); }

}  // namespace

// ---- checks ----------------------------------------------------------------------------------

int32_t checkImage(ImageDescriptor* img, uint32_t depths) {
    if (!img || !img->pixels || !img->header) return IMGERR_AREA;
    if (img->x2 < img->x1) std::swap(img->x1, img->x2);
    if (img->y2 < img->y1) std::swap(img->y1, img->y2);
    const KroBitmapInfoHeader* h = headerOf(img);
    const int32_t bits = h->bit_count;
    if (img->x1 < 0 || img->y1 < 0) return IMGERR_AREA;
    if (h->width <= 0 || h->height <= 0) return IMGERR_AREA;
    const int32_t xLimit = bits == 1 ? 65535 : 32768;
    if (img->x2 >= h->width || img->x2 >= xLimit) return IMGERR_AREA;
    if (img->y2 >= h->height || img->y2 >= 32768) return IMGERR_AREA;
    // Rounded up, so that a 1-bit row's last partial byte is inside the row.
    if (img->row_bytes <= 0 || int64_t(img->row_bytes) < (int64_t(h->width) * bits + 7) / 8) return IMGERR_AREA;
    if (h->compression != 0) return IMGERR_PACKED;
    if (!(depths & depthBit(bits))) return IMGERR_DEPTH;
    return IMG_OK;
}

// ---- rows ---------------------------------------------------------------------------------------

void storeRow(ImageDescriptor* img, int32_t y, const uint8_t* src, int64_t pixels) {
    if (y < 0 || pixels <= 0) return;
    const int32_t bits = imageBits(img);
    const int64_t n = std::min<int64_t>(pixels, areaWidth(img));
    uint8_t* row = rowPointer(img, y);
    if (bits != 1) {
        const int32_t bytesPerPixel = bits / 8;
        std::memcpy(row + int64_t(img->x1) * bytesPerPixel, src, size_t(n * bytesPerPixel));
        return;
    }
    const int32_t shift = img->x1 & 7;
    uint8_t* d = row + img->x1 / 8;
    if (shift == 0) {
        const int64_t whole = n / 8;
        std::memcpy(d, src, size_t(whole));
        if (const int32_t rest = int32_t(n & 7)) {
            const uint8_t mask = uint8_t(0xFF00 >> rest);  // the top `rest` bits
            d[whole] = uint8_t((d[whole] & ~mask) | (src[whole] & mask));
        }
        return;
    }
    // Bit-aligned: source bit i goes to destination bit shift + i.
    for (int64_t i = 0; i < n;) {
        const int64_t dbit = shift + i;
        const int32_t room = 8 - int32_t(dbit & 7);
        const int32_t take = int32_t(std::min<int64_t>(room, n - i));
        // `take` source bits starting at bit i (top first).
        const uint32_t word = uint32_t(src[i / 8]) << 8 | (i / 8 + 1 < (n + 7) / 8 ? src[i / 8 + 1] : 0);
        const uint32_t valueBits = (word >> (16 - int32_t(i & 7) - take)) & ((1u << take) - 1);
        const int32_t low = room - take;  // bits below the stored field in the destination byte
        const uint8_t mask = uint8_t(((1u << take) - 1) << low);
        uint8_t& out = d[dbit / 8];
        out = uint8_t((out & ~mask) | (valueBits << low));
        i += take;
    }
}

void loadRow(const ImageDescriptor* img, int32_t y, uint8_t* dst) {
    const int32_t bits = imageBits(img);
    const int64_t n = areaWidth(img);
    const uint8_t* row = rowPointer(img, y);
    if (bits != 1) {
        const int32_t bytesPerPixel = bits / 8;
        std::memcpy(dst, row + int64_t(img->x1) * bytesPerPixel, size_t(n * bytesPerPixel));
        return;
    }
    const size_t outBytes = packedRowBytes(n, 1);
    const int32_t shift = img->x1 & 7;
    const uint8_t* s = row + img->x1 / 8;
    // The row's last byte that holds area pixels; bytes past it are not read.
    const int64_t lastByte = (int64_t(img->x1) + n - 1) / 8 - img->x1 / 8;
    for (size_t k = 0; k < outBytes; ++k) {
        uint32_t hi = s[k];
        uint32_t lo = int64_t(k) + 1 <= lastByte ? s[k + 1] : 0;
        dst[k] = uint8_t((hi << shift | lo >> (8 - shift)) & 0xFF);
    }
    if (const int32_t rest = int32_t(n & 7)) dst[outBytes - 1] &= uint8_t(0xFF00 >> rest);
}

// ---- colour tables -------------------------------------------------------------------------------

int32_t tableCapacity(const ImageDescriptor* img) {
    const KroBitmapInfoHeader* h = headerOf(img);
    int32_t n = tableSizeForBits(h->bit_count);
    if (h->clr_used && int64_t(h->clr_used) < n) n = int32_t(h->clr_used);
    return img->palette ? n : 0;
}

bool isGreyTable(const uint8_t* quads, int32_t colors, int32_t bits) {
    if (!quads || colors <= 0 || bits >= 16 || bits <= 0) return false;
    const uint32_t step = greyStep(bits);
    for (int32_t i = 0; i < colors; ++i) {
        const uint8_t* q = quads + 4 * i;
        if (q[0] != q[1] || q[1] != q[2] || q[0] != uint32_t(i) * step) return false;
    }
    return true;
}

void setGreyTable(ImageDescriptor* img) {
    const int32_t bits = imageBits(img);
    if (bits >= 16) {
        img->colors = 0;
        if (bits == 16) img->flags |= IMAGE_FLAG_GREY;
        else img->flags &= ~IMAGE_FLAG_GREY;
        return;
    }
    const int32_t n = tableCapacity(img);
    const uint32_t step = greyStep(bits);
    for (int32_t i = 0; i < n; ++i) {
        uint8_t* q = img->palette + 4 * i;
        q[0] = q[1] = q[2] = uint8_t(uint32_t(i) * step);
        q[3] = 0;
    }
    img->colors = n;
    img->flags |= IMAGE_FLAG_GREY;
}

void updateGreyFlag(ImageDescriptor* img) {
    const int32_t bits = imageBits(img);
    const bool grey = bits == 16 || isGreyTable(img->palette, img->colors, bits);
    img->flags = grey ? (img->flags | IMAGE_FLAG_GREY) : (img->flags & ~IMAGE_FLAG_GREY);
}

void setColourTable(ImageDescriptor* img, const uint8_t* quads, int32_t count) {
    const int32_t n = std::min(count, tableCapacity(img));
    for (int32_t i = 0; i < n; ++i) {
        std::memcpy(img->palette + 4 * i, quads + 4 * i, 3);
        img->palette[4 * i + 3] = 0;
    }
    img->colors = std::max(n, 0);
    updateGreyFlag(img);
}

// ---- vertical flip ---------------------------------------------------------------------------------

int32_t flipVertical(ImageDescriptor* src, ImageDescriptor* dst) {
    if (int32_t e = checkImage(src, kDepthsBmpPcxGif)) return e;
    if (int32_t e = checkImage(dst, kDepthsBmpPcxGif)) return e;
    if (imageBits(src) != imageBits(dst)) return IMGERR_DEPTH;
    const int32_t w = std::min(areaWidth(src), areaWidth(dst));
    const int32_t h = std::min(areaHeight(src), areaHeight(dst));
    // The source rows are taken out first, so that the same image (or overlapping areas of it)
    // flips correctly. loadRow gives the whole source area's width; only w pixels are stored.
    const size_t fullLen = packedRowBytes(areaWidth(src), imageBits(src));
    std::vector<uint8_t> rows(fullLen * size_t(h));
    for (int32_t r = 0; r < h; ++r) loadRow(src, src->y1 + r, rows.data() + fullLen * size_t(r));
    for (int32_t r = 0; r < h; ++r) storeRow(dst, dst->y1 + (h - 1 - r), rows.data() + fullLen * size_t(r), w);
    return IMG_OK;
}

// ---- locks -----------------------------------------------------------------------------------------

std::mutex& formatLock(Format f) {
    static std::array<std::mutex, size_t(Format::count)> locks;
    return locks[size_t(f)];
}

// ---- files ------------------------------------------------------------------------------------------

InputFile::~InputFile() { KroFileClose(file); }

int32_t InputFile::open(const char* name, int32_t bufferSize) {
    if (!name) return IMGERR_OPEN;
    file = KroFileOpen(bufferSize, name, KRO_FILE_READ);
    if (!file) return IMGERR_OPEN;
    size = KroFileSize(file);
    return IMG_OK;
}

size_t InputFile::read(void* dst, size_t n) {
    size_t total = 0;
    auto* out = static_cast<uint8_t*>(dst);
    while (n) {
        const uint32_t chunk = uint32_t(std::min<size_t>(n, 1u << 30));
        const uint32_t got = KroFileGetNB(file, out, chunk);
        total += got;
        if (got < chunk) break;
        out += got;
        n -= got;
    }
    return total;
}

size_t InputFile::readAt(uint64_t offset, void* dst, size_t n) {
    if (offset >= size) return 0;
    KroFileSetPos(file, offset);
    return read(dst, size_t(std::min<uint64_t>(n, size - offset)));
}

int32_t InputFile::readRest(uint64_t offset, std::vector<uint8_t>& out, uint64_t maxBytes) {
    const uint64_t n = offset < size ? std::min(size - offset, maxBytes) : 0;
    if (n > uint64_t(INT32_MAX)) return IMGERR_MEMORY;
    out.resize(size_t(n));
    out.resize(readAt(offset, out.data(), size_t(n)));
    return IMG_OK;
}

uint64_t InputFile::position() const { return KroFileGetPos(file); }
void InputFile::seek(uint64_t offset) { KroFileSetPos(file, offset); }

OutputFile::~OutputFile() { discard(); }

int32_t OutputFile::create(const char* fileName, int32_t bufferSize) {
    if (!fileName || std::strlen(fileName) >= sizeof name) return IMGERR_CREATE;
    file = KroFileCreate(bufferSize, fileName);
    if (!file) return IMGERR_CREATE;
    std::strcpy(name, fileName);
    return IMG_OK;
}

bool OutputFile::put(const void* src, size_t n) {
    auto* in = static_cast<const uint8_t*>(src);
    while (n && !failed) {
        const uint32_t chunk = uint32_t(std::min<size_t>(n, 1u << 30));
        if (KroFilePutNB(file, in, chunk) != chunk || file->write_error) failed = true;
        in += chunk;
        n -= chunk;
    }
    return !failed;
}

bool OutputFile::putAt(uint64_t offset, const void* src, size_t n) {
    const uint64_t end = KroFileGetPos(file);
    KroFileSetPos(file, offset);
    put(src, n);
    KroFileSetPos(file, end);
    return !failed;
}

uint64_t OutputFile::position() const { return KroFileGetPos(file); }

int32_t OutputFile::finish() {
    if (!file) return IMGERR_CREATE;
    KroFileFlush(file, 0);
    if (file->write_error) failed = true;
    if (failed) {
        discard();
        return IMGERR_WRITE;
    }
    KroFileClose(file);
    file = nullptr;
    return IMG_OK;
}

void OutputFile::discard() {
    if (!file) return;
    KroFileClose(file);
    file = nullptr;
    KroFileErase(name);
}

}  // namespace kroimg

using namespace kroimg;

// ---- the exported image functions ---------------------------------------------------------------

KRO_API void KroVICInit(void) { vicInitialised.store(true); }

KRO_API int32_t allocimage(ImageDescriptor* img, int32_t width, int32_t height, int32_t bits) {
    if (!img) return IMGERR_AREA;
    std::memset(img, 0, sizeof *img);
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24) return IMGERR_DEPTH;
    if (bits == 4) bits = 8;
    if (width <= 0 || height <= 0) return IMGERR_AREA;
    const int32_t colors = tableSizeForBits(bits);
    // In 64 bits: a wide 24-bit row or a tall image overflows 32-bit arithmetic.
    const int64_t rowBytes = ((int64_t(width) * bits + 31) / 8) & ~int64_t(3);
    const int64_t pixelBytes = rowBytes * height;
    const int64_t total = int64_t(sizeof(KroBitmapInfoHeader)) + 4 * colors + pixelBytes;
    if (rowBytes > INT32_MAX || total > INT32_MAX) return IMGERR_MEMORY;
    static_assert(sizeof(KroBitmapInfoHeader) == 40, "the header is 40 bytes");
    auto* block = static_cast<uint8_t*>(std::calloc(1, size_t(total)));
    if (!block) return IMGERR_MEMORY;
    try {
        std::lock_guard lock(registry().lock);
        registry().blocks.insert(block);
    } catch (...) {
        std::free(block);
        return IMGERR_MEMORY;
    }
    auto* h = reinterpret_cast<KroBitmapInfoHeader*>(block);
    h->size = 40;
    h->width = width;
    h->height = height;
    h->planes = 1;
    h->bit_count = uint16_t(bits);
    h->compression = 0;
    h->size_image = uint32_t(pixelBytes);
    h->clr_used = uint32_t(colors);
    h->clr_important = uint32_t(colors);
    img->header = block;
    img->palette = block + 40;
    img->pixels = block + 40 + 4 * colors;
    img->row_bytes = int32_t(rowBytes);
    setGreyTable(img);
    img->x1 = 0;
    img->y1 = 0;
    img->x2 = width - 1;
    img->y2 = height - 1;
    return IMG_OK;
}

KRO_API int32_t freeimage(ImageDescriptor* img) {
    if (!img || !img->header) return 1;
    {
        std::lock_guard lock(registry().lock);
        auto it = registry().blocks.find(img->header);
        if (it == registry().blocks.end()) return 1;
        registry().blocks.erase(it);
    }
    std::free(img->header);
    std::memset(img, 0, sizeof *img);
    return IMG_OK;
}
