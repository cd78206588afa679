// TIFF files: the info record, loading the first image into a 1-, 8-, 16- or 24-bit image, and
// writing a single-image little-endian file with one of six compressions.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "bytes/byte_order.h"
#include "kroutil/images/image_core.h"
#include "kroutil/images/jpeg/jpeg_load.h"
#include "kroutil/images/tiff_codec.h"
#include "kroutil/images/tiff_load.h"

using namespace kroimg;

namespace {

// Compression values.
constexpr uint32_t kNone = 1, kFaxHuffman = 2, kFax3 = 3, kFax4 = 4, kLzw = 5, kOldJpeg = 6, kJpeg = 7,
                   kPackBits = 32773;

// Field types.
constexpr uint16_t kByte = 1, kShort = 3, kLong = 4, kUndefined = 7;

uint32_t typeSize(uint16_t type) {
    static constexpr uint8_t sizes[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < 14 ? sizes[type] : 0;
}

// The whole file in memory. Not zero-filled first: every byte is read over.
struct FileBytes {
    std::unique_ptr<uint8_t[]> bytes;
    size_t length = 0;
    const uint8_t* data() const { return bytes.get(); }
    size_t size() const { return length; }
    uint8_t operator[](size_t i) const { return bytes[i]; }
};

// What loading needs from the first directory.
struct Directory {
    bytes::Endian order = bytes::Endian::little;
    bool haveWidth = false, haveHeight = false;
    uint32_t width = 0, height = 0;
    uint16_t bitsPerSample[4] = {1, 1, 1, 1};
    uint32_t bitsCount = 0;
    uint32_t compression = kNone;
    int32_t photometric = -1;  // -1: no tag
    uint32_t fillOrder = 1;
    uint32_t orientation = 1;
    uint32_t samplesTag = 0;
    int64_t rowsPerStrip = 0;  // 0: the whole image
    uint32_t planar = 1;
    uint32_t t4Options = 0;
    uint32_t predictor = 1;
    uint32_t sampleFormat = 1;
    bool haveOffsets = false, haveCounts = false;
    std::vector<uint32_t> offsets, counts;
    std::vector<uint16_t> colorMap;
    size_t tablesPos = 0, tablesSize = 0;  // JPEGTables
    bool haveInterchange = false;
    uint32_t interchange = 0, interchangeSize = 0;
    bool tiled = false;

    // Derived.
    int32_t bitsPerPixel = 0;
    uint32_t samples = 1;
    int32_t photometricUsed = 1;
};

int32_t readDirectory(const FileBytes& file, Directory& d) {
    const size_t size = file.size();
    if (size < 8) return IMGERR_BAD_TIFF;
    if (file[0] == 'I' && file[1] == 'I') d.order = bytes::Endian::little;
    else if (file[0] == 'M' && file[1] == 'M') d.order = bytes::Endian::big;
    else return IMGERR_BAD_TIFF;
    bytes::ByteReader r(file.data(), size, d.order);
    r.seek(2);
    if (r.u16() != 42) return IMGERR_BAD_TIFF;
    const uint32_t at = r.u32();
    if (!r.seek(at) || !r.has(2)) return IMGERR_BAD_TIFF;
    const uint32_t entries = r.u16();
    if (entries > 512 || !r.has(size_t(entries) * 12)) return IMGERR_BAD_TIFF;

    for (uint32_t e = 0; e < entries; ++e) {
        const size_t entryPos = size_t(at) + 2 + size_t(e) * 12;
        r.seek(entryPos);
        const uint16_t tag = r.u16(), type = r.u16();
        const uint32_t count = r.u32();
        const uint64_t bytes = uint64_t(typeSize(type)) * count;
        size_t pos = entryPos + 8;
        if (bytes > 4) pos = r.u32();
        // The value's place in the file, checked only for the tags used.
        auto inFile = [&] { return typeSize(type) != 0 && pos <= size && bytes <= size - pos; };
        auto valueAt = [&](uint32_t i) -> uint32_t {
            const uint8_t* p = file.data() + pos;
            if (type == kShort) return d.order == bytes::Endian::little ? bytes::load16le(p + 2 * i) : bytes::load16be(p + 2 * i);
            return d.order == bytes::Endian::little ? bytes::load32le(p + 4 * i) : bytes::load32be(p + 4 * i);
        };
        // A numeric field: SHORT or LONG with one value.
        auto single = [&](uint32_t& out) -> bool {
            if ((type != kShort && type != kLong) || count != 1 || !inFile()) return false;
            out = valueAt(0);
            return true;
        };
        auto array = [&](std::vector<uint32_t>& out) -> bool {
            if ((type != kShort && type != kLong) || count == 0 || !inFile()) return false;
            out.resize(count);
            for (uint32_t i = 0; i < count; ++i) out[i] = valueAt(i);
            return true;
        };
        uint32_t v = 0;
        bool ok = true;
        switch (tag) {
            case 256: ok = single(d.width), d.haveWidth = ok; break;
            case 257: ok = single(d.height), d.haveHeight = ok; break;
            case 258:
                ok = type == kShort && count >= 1 && count <= 4 && inFile();
                if (ok) {
                    d.bitsCount = count;
                    for (uint32_t i = 0; i < count; ++i) d.bitsPerSample[i] = uint16_t(valueAt(i));
                }
                break;
            case 259: ok = single(d.compression); break;
            case 262: ok = single(v), d.photometric = int32_t(v); break;
            case 266: ok = single(v), d.fillOrder = v == 1 ? 1 : 2; break;
            case 273: ok = array(d.offsets), d.haveOffsets = ok; break;
            case 274: ok = single(d.orientation); break;
            case 277: ok = single(d.samplesTag); break;
            case 278: ok = single(v), d.rowsPerStrip = int32_t(v) < 0 ? 0 : int64_t(v); break;
            case 279: ok = array(d.counts), d.haveCounts = ok; break;
            case 284: ok = single(d.planar); break;
            case 292: ok = single(d.t4Options); break;
            case 317: ok = single(d.predictor); break;
            case 320:
                ok = type == kShort && count <= 768 && inFile();
                if (ok) {
                    d.colorMap.resize(count);
                    for (uint32_t i = 0; i < count; ++i) d.colorMap[i] = uint16_t(valueAt(i));
                }
                break;
            case 322:
            case 323:
            case 324:
            case 325: d.tiled = true; break;
            case 339:
                // Only to refuse floating-point samples.
                if ((type == kShort || type == kLong) && count >= 1 && inFile()) d.sampleFormat = valueAt(0);
                break;
            case 347:
                ok = (type == kUndefined || type == kByte) && inFile();
                d.tablesPos = pos;
                d.tablesSize = count;
                break;
            case 513: ok = single(d.interchange), d.haveInterchange = ok; break;
            case 514: ok = single(d.interchangeSize); break;
            default: break;
        }
        if (!ok) return IMGERR_BAD_TIFF;
    }

    // The layout: 24 bits for three or more samples of 8 bits.
    const uint32_t firstBits = d.bitsCount ? d.bitsPerSample[0] : 1;
    d.bitsPerPixel = firstBits == 8 && d.samplesTag >= 3 ? 24 : int32_t(firstBits);
    d.samples = d.samplesTag ? d.samplesTag : d.bitsPerPixel == 24 ? 3 : 1;
    if (d.photometric >= 0) d.photometricUsed = d.photometric;
    else if (d.bitsPerPixel == 24) d.photometricUsed = 2;
    else if (d.bitsPerPixel == 8 && !d.colorMap.empty()) d.photometricUsed = 3;
    else if (d.bitsPerPixel == 1 && (d.compression == kFaxHuffman || d.compression == kFax3 || d.compression == kFax4))
        d.photometricUsed = 0;
    else d.photometricUsed = 1;
    return IMG_OK;
}

int32_t readFile(const char* name, FileBytes& file) {
    InputFile in;
    if (int32_t e = in.open(name)) return e;
    if (in.size > uint64_t(INT32_MAX)) return IMGERR_MEMORY;
    file.bytes.reset(new uint8_t[size_t(in.size) + 1]);
    file.length = in.readAt(0, file.bytes.get(), size_t(in.size));
    return IMG_OK;
}

bool pairSupported(int32_t bits, uint32_t compression) {
    switch (bits) {
        case 1:
            return compression == kNone || compression == kPackBits || compression == kFaxHuffman ||
                   compression == kFax3 || compression == kFax4 || compression == kLzw;
        case 4:
        case 5:
        case 6: return compression == kNone || compression == kLzw || compression == kPackBits;
        case 8:
            return compression == kNone || compression == kLzw || compression == kPackBits || compression == kOldJpeg ||
                   compression == kJpeg;
        case 16: return compression == kNone;
        case 24: return compression == kNone || compression == kLzw || compression == kOldJpeg || compression == kJpeg;
        default: return false;
    }
}

bool isJpeg(uint32_t compression) { return compression == kOldJpeg || compression == kJpeg; }

// ---- loading ---------------------------------------------------------------------------------------

int32_t worse(int32_t a, int32_t b) {
    // Damaged data outrank data that end early.
    if (a == IMGERR_TIFF_CODING || b == IMGERR_TIFF_CODING) return IMGERR_TIFF_CODING;
    return a ? a : b;
}

int32_t statusCode(StripStatus s) {
    return s == StripStatus::ok ? IMG_OK : s == StripStatus::truncated ? IMGERR_TRUNCATED : IMGERR_TIFF_CODING;
}

struct Loader {
    const FileBytes& file;
    const Directory& d;
    ImageDescriptor* img;
    ImageDescriptor* alpha;
    int32_t storedRows = 0;  // rows of the picture that land in the area
    std::vector<uint8_t> out, alphaOut;

    // Turns one decoded file row into a row of the image's depth (and of alpha samples).
    void storeFileRow(const uint8_t* src, int64_t picRow) {
        const int32_t y = areaRow(img, picRow);
        if (y < 0) return;
        const uint32_t w = d.width;
        const int32_t bits = d.bitsPerPixel;
        const bool invert = d.photometricUsed == 0;
        const uint32_t spp = d.samples;
        bool haveAlpha = false;
        const int64_t n = std::min<int64_t>(w, areaWidth(img));
        if (bits == 1) {
            storeRow(img, y, src, w);
            return;
        }
        if (bits >= 4 && bits <= 6) {
            const uint32_t max = (1u << bits) - 1;
            for (int64_t x = 0; x < n; ++x) {
                const uint64_t bit = uint64_t(x) * uint32_t(bits);
                const uint32_t word = uint32_t(src[bit >> 3]) << 8 | ((bit >> 3) + 1 < (uint64_t(w) * bits + 7) / 8 ? src[(bit >> 3) + 1] : 0);
                uint32_t v = (word >> (16 - (bit & 7) - uint32_t(bits))) & max;
                out[size_t(x)] = uint8_t(invert ? max - v : v);
            }
        } else if (bits == 8) {
            for (int64_t x = 0; x < n; ++x) {
                const uint8_t v = src[size_t(x) * spp];
                out[size_t(x)] = invert ? uint8_t(255 - v) : v;
            }
            if (spp >= 2) {
                haveAlpha = true;
                for (int64_t x = 0; x < n; ++x) alphaOut[size_t(x)] = src[size_t(x) * spp + 1];
            }
        } else if (bits == 16) {
            for (int64_t x = 0; x < n; ++x) {
                uint16_t v = d.order == bytes::Endian::big ? bytes::load16be(src + 2 * x) : bytes::load16le(src + 2 * x);
                if (invert) v = uint16_t(65535 - v);
                bytes::store16le(out.data() + 2 * x, v);
            }
        } else {  // 24
            const bool cmyk = d.photometricUsed == 5;
            if (!cmyk && spp == 3) {
                uint8_t* q = out.data();
                for (int64_t x = 0; x < n; ++x, src += 3, q += 3) q[0] = src[2], q[1] = src[1], q[2] = src[0];
                storeRow(img, y, out.data(), n);
                return;
            }
            for (int64_t x = 0; x < n; ++x) {
                const uint8_t* p = src + size_t(x) * spp;
                uint8_t* q = out.data() + 3 * x;
                if (cmyk) {
                    // (255 - K)(255 - C) / 255 per channel, truncated.
                    const uint32_t k = 255u - p[3];
                    q[2] = uint8_t(k * (255u - p[0]) / 255u);
                    q[1] = uint8_t(k * (255u - p[1]) / 255u);
                    q[0] = uint8_t(k * (255u - p[2]) / 255u);
                } else {
                    q[0] = p[2], q[1] = p[1], q[2] = p[0];
                }
            }
            if (!cmyk && spp >= 4) {
                haveAlpha = true;
                for (int64_t x = 0; x < n; ++x) alphaOut[size_t(x)] = src[size_t(x) * spp + 3];
            }
        }
        storeRow(img, y, out.data(), n);
        if (alpha && haveAlpha) storeRow(alpha, areaRow(alpha, picRow), alphaOut.data(), std::min<int64_t>(n, areaWidth(alpha)));
    }

    int32_t decodeStrips() {
        const uint64_t rowBytes = (uint64_t(d.width) * d.samples * uint32_t(d.bitsPerSample[0] ? d.bitsPerSample[0] : 1) + 7) / 8;
        const int64_t rps = d.rowsPerStrip <= 0 || d.rowsPerStrip > d.height ? int64_t(d.height) : d.rowsPerStrip;
        const int64_t bufRows = std::min<int64_t>(rps, storedRows);
        if (rowBytes * uint64_t(bufRows) > (uint64_t(1) << 31)) return IMGERR_MEMORY;
        std::vector<uint8_t> strip(size_t(rowBytes * uint64_t(bufRows)) + 16);
        std::vector<uint8_t> reversed;
        const bool reverse = d.fillOrder == 2 && d.bitsPerPixel == 1;
        int32_t result = IMG_OK;
        const int64_t strips = (storedRows + rps - 1) / rps;
        for (int64_t s = 0; s < strips; ++s) {
            const int64_t firstRow = s * rps;
            const int64_t want = std::min<int64_t>(rps, storedRows - firstRow);
            if (size_t(s) >= d.offsets.size()) {
                result = worse(result, IMGERR_TRUNCATED);
                break;
            }
            const size_t off = d.offsets[size_t(s)];
            const size_t count = std::min<size_t>(d.counts[size_t(s)], file.size() - off);
            const bool cut = count < d.counts[size_t(s)];
            const uint8_t* src = file.data() + off;
            if (reverse) {
                reversed.assign(src, src + count);
                reverseBits(reversed.data(), count);
                src = reversed.data();
            }
            const size_t outSize = size_t(rowBytes * uint64_t(want));
            StripResult r;
            switch (d.compression) {
                case kNone:
                    r.produced = std::min(count, outSize);
                    std::memcpy(strip.data(), src, r.produced);
                    r.status = r.produced < outSize ? StripStatus::truncated : StripStatus::ok;
                    break;
                case kPackBits: r = unpackBits(src, count, strip.data(), outSize); break;
                case kLzw: r = lzwDecode(src, count, strip.data(), outSize); break;
                case kFaxHuffman: r = faxDecode(src, count, FaxCoding::modifiedHuffman, false, d.width, uint32_t(want), strip.data()); break;
                case kFax3: r = faxDecode(src, count, FaxCoding::group3, d.t4Options & 1, d.width, uint32_t(want), strip.data()); break;
                case kFax4: r = faxDecode(src, count, FaxCoding::group4, true, d.width, uint32_t(want), strip.data()); break;
                default: return IMGERR_COMPRESSION;
            }
            // Rows the data did not reach are stored as zeros.
            std::memset(strip.data() + r.produced, 0, outSize - r.produced);
            if (r.status == StripStatus::damaged && cut) r.status = StripStatus::truncated;
            const int64_t rows = r.status == StripStatus::ok ? want : int64_t((r.produced + rowBytes - 1) / rowBytes);
            if (d.compression == kLzw && d.predictor == 2) {
                // Horizontal differencing of 8-bit samples.
                const uint32_t spp = d.samples;
                for (int64_t k = 0; k < rows; ++k) {
                    uint8_t* row = strip.data() + size_t(k) * rowBytes;
                    for (size_t i = spp; i < rowBytes; ++i) row[i] = uint8_t(row[i] + row[i - spp]);
                }
            }
            for (int64_t k = 0; k < rows; ++k) storeFileRow(strip.data() + size_t(k) * rowBytes, firstRow + k);
            result = worse(result, statusCode(r.status));
        }
        return result;
    }

    // Decodes one JPEG stream into the picture rows from firstRow on.
    int32_t decodeJpeg(const std::vector<uint8_t>& stream, size_t length, int64_t firstRow, int64_t rows) {
        ImageDescriptor tmp{};
        const int32_t w = int32_t(std::min<int64_t>(d.width, areaWidth(img)));
        if (int32_t e = allocimage(&tmp, w, int32_t(rows), d.bitsPerPixel == 24 ? 24 : 8)) return e;
        const int32_t rc = loadJpegMemory(stream.data(), uint32_t(length), &tmp, d.photometricUsed != 2);
        if (rc == IMG_OK || rc == IMGERR_TRUNCATED) {
            for (int64_t k = 0; k < rows; ++k) {
                const int32_t y = areaRow(img, firstRow + k);
                if (y >= 0) storeRow(img, y, rowPointer(&tmp, int32_t(k)), w);
            }
        }
        freeimage(&tmp);
        if (rc == IMGERR_MEMORY || rc == IMGERR_TRUNCATED || rc == IMG_OK) return rc;
        return IMGERR_TIFF_CODING;
    }

    // The MCUs of one strip by the frame header of a stream's headers, or 0 when the strips do
    // not hold whole MCU rows.
    uint32_t stripMcus(const std::vector<uint8_t>& head) const {
        for (size_t i = 2; i + 4 <= head.size();) {
            if (head[i] != 0xFF) return 0;
            const uint8_t marker = head[i + 1];
            const size_t length = size_t(head[i + 2]) << 8 | head[i + 3];
            if (marker >= 0xC0 && marker <= 0xC2 && i + 2 + length <= head.size() && length >= 8) {
                const uint32_t components = head[i + 9];
                uint32_t maxH = 1, maxV = 1;
                for (uint32_t c = 0; c < components && i + 12 + 3 * c < head.size(); ++c) {
                    const uint8_t f = head[i + 11 + 3 * c];
                    maxH = std::max<uint32_t>(maxH, f >> 4);
                    maxV = std::max<uint32_t>(maxV, f & 15);
                }
                const int64_t rps = d.rowsPerStrip <= 0 || d.rowsPerStrip > d.height ? int64_t(d.height) : d.rowsPerStrip;
                if (maxH == 0 || maxV == 0 || rps % (8 * maxV) != 0) return 0;
                return uint32_t((d.width + 8 * maxH - 1) / (8 * maxH) * uint64_t(rps / (8 * maxV)));
            }
            i += 2 + length;
        }
        return 0;
    }

    static bool hasMarker(const uint8_t* p, size_t n, uint8_t marker) {
        for (size_t i = 0; i + 1 < n; ++i)
            if (p[i] == 0xFF && p[i + 1] == marker) return true;
        return false;
    }

    int32_t decodeJpegStrips() {
        const int64_t rps = d.rowsPerStrip <= 0 || d.rowsPerStrip > d.height ? int64_t(d.height) : d.rowsPerStrip;
        // The tables of every strip, without their end-of-image marker.
        const uint8_t* tables = nullptr;
        size_t tablesSize = 0;
        if (d.tablesSize >= 4) {
            tables = file.data() + d.tablesPos;
            tablesSize = d.tablesSize;
            if (tables[tablesSize - 2] == 0xFF && tables[tablesSize - 1] == 0xD9) tablesSize -= 2;
        }
        std::vector<uint8_t> stream;
        auto finish = [&](size_t length) {
            // A zeroed tail past the stream, as the decoder may look a few bytes ahead.
            stream.resize(length + 8, 0);
            return length;
        };
        if (d.compression == kOldJpeg && d.haveInterchange && d.interchange < file.size()) {
            // One stream for the whole picture: the interchange stream, completed by the strips
            // when it holds only the headers.
            size_t n = file.size() - d.interchange;
            if (d.interchangeSize && d.interchangeSize < n) n = d.interchangeSize;
            const uint8_t* head = file.data() + d.interchange;
            stream.assign(head, head + n);
            if (!hasMarker(head, n, 0xDA)) {
                if (stream.size() >= 2 && stream[stream.size() - 2] == 0xFF && stream.back() == 0xD9) stream.resize(stream.size() - 2);
                // The first strip starts the scan; every further strip starts afresh, as after a
                // restart marker: say so with a restart interval of one strip's MCUs.
                const uint32_t mcusPerStrip = stripMcus(stream);
                if (d.offsets.size() > 1 && mcusPerStrip && mcusPerStrip <= 65535) {
                    const uint8_t dri[6] = {0xFF, 0xDD, 0, 4, uint8_t(mcusPerStrip >> 8), uint8_t(mcusPerStrip)};
                    stream.insert(stream.end(), dri, dri + 6);
                }
                for (size_t s = 0; s < d.offsets.size(); ++s) {
                    const size_t off = d.offsets[s];
                    const size_t count = std::min<size_t>(d.counts[s], file.size() - off);
                    if (s > 0 && mcusPerStrip) {
                        stream.push_back(0xFF);
                        stream.push_back(uint8_t(0xD0 + ((s - 1) & 7)));
                    }
                    stream.insert(stream.end(), file.data() + off, file.data() + off + count);
                }
                stream.push_back(0xFF);
                stream.push_back(0xD9);
            }
            const size_t length = finish(stream.size());
            return decodeJpeg(stream, length, 0, storedRows);
        }
        int32_t result = IMG_OK;
        const int64_t strips = (storedRows + rps - 1) / rps;
        for (int64_t s = 0; s < strips; ++s) {
            if (size_t(s) >= d.offsets.size()) return worse(result, IMGERR_TRUNCATED);
            const size_t off = d.offsets[size_t(s)];
            const size_t count = std::min<size_t>(d.counts[size_t(s)], file.size() - off);
            const uint8_t* data = file.data() + off;
            stream.clear();
            if (tables) {
                // The shared tables, then the strip's own stream without its start-of-image marker.
                stream.assign(tables, tables + tablesSize);
                const size_t skip = count >= 2 && data[0] == 0xFF && data[1] == 0xD8 ? 2 : 0;
                stream.insert(stream.end(), data + skip, data + count);
            } else {
                stream.assign(data, data + count);
            }
            const size_t length = finish(stream.size());
            const int64_t firstRow = s * rps;
            const int32_t rc = decodeJpeg(stream, length, firstRow, std::min<int64_t>(rps, storedRows - firstRow));
            if (rc == IMGERR_MEMORY) return rc;
            result = worse(result, rc);
        }
        return result;
    }
};

// ---- orientation -----------------------------------------------------------------------------------

uint32_t getPixel(const ImageDescriptor* img, int32_t x, int32_t y) {
    const uint8_t* row = rowPointer(img, y);
    switch (imageBits(img)) {
        case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
        case 8: return row[x];
        case 16: return bytes::load16le(row + 2 * x);
        default: return uint32_t(row[3 * x]) | uint32_t(row[3 * x + 1]) << 8 | uint32_t(row[3 * x + 2]) << 16;
    }
}

void setPixel(ImageDescriptor* img, int32_t x, int32_t y, uint32_t v) {
    uint8_t* row = rowPointer(img, y);
    switch (imageBits(img)) {
        case 1: {
            const uint8_t m = uint8_t(0x80 >> (x & 7));
            row[x >> 3] = uint8_t(v ? row[x >> 3] | m : row[x >> 3] & ~m);
            break;
        }
        case 8: row[x] = uint8_t(v); break;
        case 16: bytes::store16le(row + 2 * x, uint16_t(v)); break;
        default: row[3 * x] = uint8_t(v), row[3 * x + 1] = uint8_t(v >> 8), row[3 * x + 2] = uint8_t(v >> 16); break;
    }
}

// Turns the w x h picture at the area's corner upright.
void applyOrientation(ImageDescriptor* img, uint32_t orientation, int32_t w, int32_t h) {
    if (orientation < 2 || orientation > 8 || w <= 0 || h <= 0) return;
    if (orientation >= 5 && areaWidth(img) != areaHeight(img)) return;
    const int32_t x0 = img->x1, y0 = img->y1;
    std::vector<uint32_t> px(size_t(w) * h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) px[size_t(y) * w + x] = getPixel(img, x0 + x, y0 + y);
    auto put = [&](int32_t x, int32_t y, uint32_t v) { setPixel(img, x0 + x, y0 + y, v); };
    if (orientation >= 5)
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) put(x, y, 0);
    for (int32_t r = 0; r < h; ++r) {
        for (int32_t c = 0; c < w; ++c) {
            const uint32_t v = px[size_t(r) * w + c];
            switch (orientation) {
                case 2: put(w - 1 - c, r, v); break;
                case 3: put(w - 1 - c, h - 1 - r, v); break;
                case 4: put(c, h - 1 - r, v); break;
                // Stored rows become columns.
                case 5: put(r, c, v); break;
                case 6: put(h - 1 - r, c, v); break;
                case 7: put(h - 1 - r, w - 1 - c, v); break;
                case 8: put(r, w - 1 - c, v); break;
            }
        }
    }
}

int32_t loadTiff(const char* name, ImageDescriptor* img, ImageDescriptor* alpha) {
    FileBytes file;
    if (int32_t e = readFile(name, file)) return e;
    if (int32_t e = checkImage(img, kDepthsTiff)) return e;
    if (alpha)
        if (int32_t e = checkImage(alpha, depthBit(8))) return e;
    Directory d;
    if (int32_t e = readDirectory(file, d)) return e;
    if (!d.haveWidth || !d.haveHeight || d.width == 0 || d.height == 0) return IMGERR_BAD_TIFF;

    const int32_t bits = d.bitsPerPixel;
    if (!pairSupported(bits, d.compression)) return IMGERR_COMPRESSION;
    if (d.tiled || (d.planar != 1 && d.samples > 1) || d.sampleFormat == 3) return IMGERR_COMPRESSION;
    if (bits == 24 && d.bitsPerSample[0] != 8) return IMGERR_COMPRESSION;
    if (d.compression == kLzw && d.predictor != 1 && d.predictor != 2) return IMGERR_COMPRESSION;
    if (d.compression == kLzw && d.predictor == 2 && d.bitsPerSample[0] != 8) return IMGERR_COMPRESSION;
    for (uint32_t i = 1; i < d.bitsCount && i < d.samples; ++i)
        if (d.bitsPerSample[i] != d.bitsPerSample[0]) return IMGERR_COMPRESSION;
    const bool jpeg = isJpeg(d.compression);
    if (bits == 24 && !jpeg) {
        const bool rgb = d.photometricUsed == 2 && (d.samples == 3 || d.samples == 4);
        const bool cmyk = d.photometricUsed == 5 && d.samples == 4;
        if (!rgb && !cmyk) return IMGERR_COMPRESSION;
    }
    if (bits == 8 && d.samples > 2) return IMGERR_COMPRESSION;
    if (bits != 8 && bits != 24 && d.samples != 1) return IMGERR_COMPRESSION;
    const int32_t depth = imageBits(img);
    if (depth != bits && !(depth == 8 && bits >= 4 && bits <= 6)) return IMGERR_DEPTH;
    if (!d.haveOffsets || !d.haveCounts || d.offsets.size() != d.counts.size()) return IMGERR_BAD_TIFF;
    for (uint32_t off : d.offsets)
        if (off > file.size()) return IMGERR_BAD_TIFF;

    // The table first, so that a file cut short keeps it.
    if (!d.colorMap.empty() && bits <= 8) {
        const int32_t n = std::min<int32_t>(int32_t(d.colorMap.size() / 3), 256);
        std::vector<uint8_t> quads(size_t(n) * 4, 0);
        const size_t third = d.colorMap.size() / 3;
        for (int32_t i = 0; i < n; ++i) {
            quads[4 * size_t(i)] = uint8_t(d.colorMap[2 * third + size_t(i)] >> 8);
            quads[4 * size_t(i) + 1] = uint8_t(d.colorMap[third + size_t(i)] >> 8);
            quads[4 * size_t(i) + 2] = uint8_t(d.colorMap[size_t(i)] >> 8);
        }
        setColourTable(img, quads.data(), n);
    } else if (bits == 1 && d.photometricUsed == 0) {
        const uint8_t quads[8] = {255, 255, 255, 0, 0, 0, 0, 0};
        setColourTable(img, quads, 2);
    } else if (bits >= 4 && bits <= 6) {
        // The raw values, shown through a ramp of their own range.
        const int32_t n = 1 << bits;
        std::vector<uint8_t> quads(size_t(n) * 4, 0);
        for (int32_t i = 0; i < n; ++i) {
            const uint8_t level = uint8_t((i * 255 + (n - 1) / 2) / (n - 1));
            quads[4 * size_t(i)] = quads[4 * size_t(i) + 1] = quads[4 * size_t(i) + 2] = level;
        }
        setColourTable(img, quads.data(), n);
    } else {
        setGreyTable(img);
    }

    Loader l{file, d, img, alpha, 0, {}, {}};
    l.storedRows = int32_t(std::min<int64_t>(areaHeight(img), d.height));
    const int64_t storedWidth = std::min<int64_t>(areaWidth(img), d.width);
    l.out.resize(size_t(storedWidth) * 3 + 8);
    l.alphaOut.resize(size_t(storedWidth) + 8);
    const int32_t rc = jpeg ? l.decodeJpegStrips() : l.decodeStrips();
    if (rc == IMGERR_MEMORY || rc == IMGERR_COMPRESSION) return rc;
    applyOrientation(img, d.orientation, int32_t(storedWidth), l.storedRows);
    if (alpha) {
        const int32_t aw = int32_t(std::min<int64_t>(storedWidth, areaWidth(alpha)));
        const int32_t ah = int32_t(std::min<int64_t>(l.storedRows, areaHeight(alpha)));
        if (d.orientation < 5 || areaWidth(alpha) == areaHeight(alpha)) applyOrientation(alpha, d.orientation, aw, ah);
    }
    return rc;
}

// ---- writing ---------------------------------------------------------------------------------------

struct DirectoryBuilder {
    std::vector<uint8_t> entries;
    int count = 0;
    void add(uint16_t tag, uint16_t type, uint32_t n, uint32_t value) {
        bytes::append16le(entries, tag);
        bytes::append16le(entries, type);
        bytes::append32le(entries, n);
        if (type == kShort && n == 1) {
            bytes::append16le(entries, uint16_t(value));
            bytes::append16le(entries, 0);
        } else {
            bytes::append32le(entries, value);
        }
        ++count;
    }
};

constexpr uint32_t kDirectoryBlock = 272;
constexpr uint32_t kRational = 5, kAscii = 2;

int32_t writeTiff(const char* name, ImageDescriptor* img, int32_t options) {
    if (int32_t e = checkImage(img, kDepthsTiff)) return e;
    if (options < 0) return IMGERR_COMPRESSION;
    const int32_t selector = options & ~0x30;
    if (selector > 5) return IMGERR_COMPRESSION;
    static constexpr uint32_t kCompressions[6] = {kNone, kLzw, kPackBits, kFaxHuffman, kFax4, kFax3};
    const uint32_t compression = kCompressions[selector];
    const int32_t bits = imageBits(img);
    if (!pairSupported(bits, compression)) return IMGERR_COMPRESSION;

    const uint32_t w = uint32_t(areaWidth(img)), h = uint32_t(areaHeight(img));
    const size_t rowBytes = bits == 1 ? (w + 7) / 8 : size_t(w) * uint32_t(bits / 8);
    const uint32_t rowsPerStrip =
        options & 0x10 ? h : uint32_t(std::min<size_t>(h, std::max<size_t>(1, 16384 / rowBytes)));
    const uint32_t strips = (h + rowsPerStrip - 1) / rowsPerStrip;
    const bool fax = compression == kFaxHuffman || compression == kFax3 || compression == kFax4;

    // Photometric interpretation and, for 1-bit images, whether the bits go out inverted.
    uint32_t photometric = 1;
    bool palette = false, invert = false;
    if (bits == 24) {
        photometric = 2;
    } else if (bits == 8) {
        palette = img->palette && img->colors > 0 && !isGreyTable(img->palette, img->colors, 8);
        if (palette) photometric = 3;
    } else if (bits == 1) {
        photometric = fax ? 0 : 1;
        // Black is 0 in the file for photometric 1 and 1 for photometric 0; the image's own
        // meaning of its bits comes from its first table entry.
        const uint8_t* first = img->palette && img->colors > 0 ? img->palette : nullptr;
        const bool zeroIsBlack = !first || (first[0] == 0 && first[1] == 0 && first[2] == 0);
        invert = photometric == 1 ? !zeroIsBlack : zeroIsBlack;
    }

    // The strips.
    std::vector<uint8_t> data;
    std::vector<uint32_t> stripStart(strips + 1, 0);
    std::vector<uint8_t> rows(rowBytes * rowsPerStrip + 8);
    std::vector<uint8_t> row(packedRowBytes(w, bits) + 8);
    for (uint32_t s = 0; s < strips; ++s) {
        const uint32_t first = s * rowsPerStrip;
        const uint32_t n = std::min(rowsPerStrip, h - first);
        for (uint32_t k = 0; k < n; ++k) {
            uint8_t* dst = rows.data() + size_t(k) * rowBytes;
            loadRow(img, img->y1 + int32_t(first + k), row.data());
            if (bits == 24) {
                for (uint32_t x = 0; x < w; ++x) {
                    dst[3 * x] = row[3 * x + 2];
                    dst[3 * x + 1] = row[3 * x + 1];
                    dst[3 * x + 2] = row[3 * x];
                }
            } else if (bits == 16) {
                for (uint32_t x = 0; x < w; ++x) bytes::store16le(dst + 2 * x, bytes::load16le(row.data() + 2 * x));
            } else {
                std::memcpy(dst, row.data(), rowBytes);
                if (invert) {
                    for (size_t i = 0; i < rowBytes; ++i) dst[i] = uint8_t(~dst[i]);
                    if (w & 7) dst[rowBytes - 1] &= uint8_t(0xFF00 >> (w & 7));
                }
            }
        }
        const uint8_t* src = rows.data();
        const size_t size = rowBytes * n;
        const size_t before = data.size();
        switch (compression) {
            case kNone: data.insert(data.end(), src, src + size); break;
            case kLzw: lzwEncode(src, size, data); break;
            case kPackBits:
                for (uint32_t k = 0; k < n; ++k) packBitsRow(src + size_t(k) * rowBytes, rowBytes, data);
                break;
            case kFaxHuffman: faxEncode(FaxCoding::modifiedHuffman, src, w, n, data); break;
            case kFax3: faxEncode(FaxCoding::group3, src, w, n, data); break;
            case kFax4: faxEncode(FaxCoding::group4, src, w, n, data); break;
        }
        if (bits == 1 && (options & 0x20)) reverseBits(data.data() + before, data.size() - before);
        if (data.size() > UINT32_MAX - (uint64_t(1) << 20)) return IMGERR_MEMORY;  // offsets are 32-bit
        stripStart[s + 1] = uint32_t(data.size());
    }

    // Layout: header, directory block, the strip arrays (several strips), the colour map, the data.
    const uint32_t arrays = 8 + kDirectoryBlock;
    const uint32_t arraysSize = strips > 1 ? strips * 8 : 0;
    const uint32_t mapAt = arrays + arraysSize;
    const uint32_t mapValues = palette ? 3u << bits : 0;
    const uint32_t dataAt = mapAt + mapValues * 2;

    // Values stored inside the block after the entries.
    const uint32_t entryCount = 16 + (compression == kLzw ? 1 : 0) + (palette ? 1 : 0);
    const uint32_t extraAt = 8 + 2 + entryCount * 12 + 4;
    const uint32_t bitsAt = extraAt, nameAt = extraAt + 6, xResAt = extraAt + 22, yResAt = extraAt + 30;

    DirectoryBuilder b;
    b.add(254, kLong, 1, 0);
    b.add(255, kShort, 1, 1);
    b.add(256, kLong, 1, w);
    b.add(257, kLong, 1, h);
    if (bits == 24) b.add(258, kShort, 3, bitsAt);
    else b.add(258, kShort, 1, uint32_t(bits));
    b.add(259, kShort, 1, compression);
    b.add(262, kShort, 1, photometric);
    if (bits == 1) b.add(266, kShort, 1, options & 0x20 ? 2 : 1);
    // The name's 16 bytes of room hold "Zovira" and zeros; the count stops at its terminating zero,
    // as a count over several zeros makes other readers warn.
    else b.add(269, kAscii, 7, nameAt);
    b.add(273, kLong, strips, strips > 1 ? arrays : dataAt);
    b.add(277, kShort, 1, bits == 24 ? 3 : 1);
    b.add(278, kLong, 1, rowsPerStrip);
    b.add(279, kLong, strips, strips > 1 ? arrays + strips * 4 : stripStart[1]);
    b.add(282, kRational, 1, xResAt);
    b.add(283, kRational, 1, yResAt);
    if (compression == kFax3) b.add(292, kLong, 1, 0);
    else b.add(284, kShort, 1, 1);
    b.add(296, kShort, 1, 2);
    if (compression == kLzw) b.add(317, kShort, 1, 1);
    if (palette) b.add(320, kShort, mapValues, mapAt);

    std::vector<uint8_t> head = {'I', 'I', 42, 0, 8, 0, 0, 0};
    bytes::append16le(head, uint16_t(b.count));
    head.insert(head.end(), b.entries.begin(), b.entries.end());
    bytes::append32le(head, 0);  // no next directory
    for (int i = 0; i < 3; ++i) bytes::append16le(head, 8);
    static const char kName[16] = "Zovira";
    head.insert(head.end(), kName, kName + 16);
    for (int i = 0; i < 2; ++i) {
        bytes::append32le(head, 300);
        bytes::append32le(head, 1);
    }
    head.resize(8 + kDirectoryBlock, 0);
    if (strips > 1) {
        for (uint32_t s = 0; s < strips; ++s) bytes::append32le(head, dataAt + stripStart[s]);
        for (uint32_t s = 0; s < strips; ++s) bytes::append32le(head, stripStart[s + 1] - stripStart[s]);
    }
    if (palette) {
        // All 2^bits entries of each colour: a shorter map is dropped by other readers.
        const int32_t have = std::min(tableCapacity(img), img->colors);
        const uint32_t n = 1u << bits;
        for (int channel = 2; channel >= 0; --channel)
            for (uint32_t i = 0; i < n; ++i)
                bytes::append16le(head, int32_t(i) < have ? uint16_t(img->palette[4 * i + uint32_t(channel)] << 8) : 0);
    }

    OutputFile out;
    if (int32_t e = out.create(name)) return e;
    out.put(head.data(), head.size());
    out.put(data.data(), data.size());
    return out.finish();
}

}  // namespace

namespace kroimg {

int32_t loadTiffWithAlpha(const char* name, ImageDescriptor* img, ImageDescriptor* alpha) {
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::tiff));
        return loadTiff(name, img, alpha);
    });
}

}  // namespace kroimg

extern "C" {

KRO_API int32_t tiffinfo(const char* name, TiffInfo* info) {
    if (!info) return IMGERR_PARAMETER;
    return guarded([&]() -> int32_t {
        std::lock_guard lock(formatLock(Format::tiff));
        FileBytes file;
        if (int32_t e = readFile(name, file)) return e;
        Directory d;
        if (int32_t e = readDirectory(file, d)) return e;
        std::memset(info, 0, sizeof *info);
        info->byte_order = d.order == bytes::Endian::little ? 18761 : 19789;
        info->width = int32_t(d.width);
        info->height = int32_t(d.height);
        info->bits_per_sample = d.bitsCount ? d.bitsPerSample[0] : 1;
        info->compression = int32_t(d.compression);
        info->samples_per_pixel = int32_t(d.samples);
        info->photometric = d.photometricUsed;
        info->planar_config = int32_t(d.planar);
        // 5- and 6-bit files load into 8-bit images, and allocimage knows no such depth.
        info->alloc_bits = d.bitsPerPixel == 5 || d.bitsPerPixel == 6 ? 8 : d.bitsPerPixel;
        return IMG_OK;
    });
}

KRO_API int32_t loadtif(const char* name, ImageDescriptor* img) {
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::tiff));
        return loadTiff(name, img, nullptr);
    });
}

KRO_API int32_t WriteTiffFile(const char* name, ImageDescriptor* img, int32_t options) {
    return guarded([&] {
        std::lock_guard lock(formatLock(Format::tiff));
        return writeTiff(name, img, options);
    });
}

}  // extern "C"
