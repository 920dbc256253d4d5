// The .ico reader.  Pure: it works on the file's bytes in memory.
#include "format/icon.h"

#include <cstring>

#include "base/bytes.h"

namespace sfxpack {

namespace {

constexpr size_t kDirHeader = 6;
constexpr size_t kDirEntry = 16;
constexpr size_t kBitmapInfoHeader = 40;
const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

uint32_t getBe32(const unsigned char* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Bits per pixel of a PNG's IHDR colour type and bit depth.
uint16_t pngBitsPerPixel(uint8_t colorType, uint8_t depth)
{
    switch (colorType) {
    case 2: return uint16_t(depth * 3);   // RGB
    case 4: return uint16_t(depth * 2);   // grey and alpha
    case 6: return uint16_t(depth * 4);   // RGBA
    default: return depth;                // grey, palette
    }
}

Status iconFault(uint64_t offset, const std::string& what)
{
    return Status::failAt(offset, "not an .ico file (" + what + ")");
}

// The width, height and bits per pixel that an image's own header gives;
// a bitmap's odd height is ~0u.
struct ImageHeader {
    unsigned width = 0, height = 0;
    uint16_t bits = 0;
};

// Reads the header of image `which` (`length` bytes at `offset`), a PNG or
// a bitmap; marks a PNG and fills in a bitmap's planes the entry lacks.
Result<ImageHeader> readImageHeader(const unsigned char* p, uint32_t offset, uint32_t length,
                                    const std::string& which, IconImage& img)
{
    ImageHeader h;
    if (length >= 8 && std::memcmp(p, kPngSignature, 8) == 0) {
        // Signature, then the IHDR chunk: length 13, type, width, height,
        // bit depth, colour type.
        if (length < 8 + 8 + 13 || std::memcmp(p + 12, "IHDR", 4) != 0)
            return iconFault(offset, which + " is a PNG without its IHDR header");
        img.png = true;
        h.width = getBe32(p + 16);
        h.height = getBe32(p + 20);
        h.bits = pngBitsPerPixel(p[25], p[24]);
        return h;
    }
    if (length < kBitmapInfoHeader || get32(p) != kBitmapInfoHeader)
        return iconFault(offset, which + " is neither a PNG nor a bitmap with a 40-byte BITMAPINFOHEADER");
    h.width = get32(p + 4);
    // The height counts the XOR and the AND mask, so it is doubled.
    h.height = get32(p + 8) % 2 ? ~0u : get32(p + 8) / 2;
    h.bits = get16(p + 14);
    if (img.entry.planes == 0)
        img.entry.planes = get16(p + 12);
    return h;
}

// Image `i` of the directory: its entry at `at`, checked against its data.
Result<IconImage> readIconImage(const unsigned char* data, size_t size, uint16_t i)
{
    const size_t at = kDirHeader + kDirEntry * i;
    const unsigned char* e = data + at;
    const std::string which = "image " + std::to_string(i + 1);
    IconImage img;
    IconGroupEntry& entry = img.entry;
    entry.width = e[0];
    entry.height = e[1];
    entry.colorCount = e[2];
    entry.planes = get16(e + 4);
    entry.bitCount = get16(e + 6);
    const uint32_t length = get32(e + 8);
    entry.bytes = length;
    const uint32_t offset = get32(e + 12);
    if (offset > size || length > size - offset)
        return iconFault(at + 8, which + "'s data (" + std::to_string(length) + " bytes at offset " +
                                     std::to_string(offset) + ") lie outside the file of " + std::to_string(size) +
                                     " bytes");
    const unsigned char* p = data + offset;
    Result<ImageHeader> h = readImageHeader(p, offset, length, which, img);
    if (!h.ok())
        return h.status();
    const unsigned wantWidth = entry.width ? entry.width : 256;
    const unsigned wantHeight = entry.height ? entry.height : 256;
    if (h->width != wantWidth || h->height != wantHeight)
        return iconFault(at, which + "'s directory entry says " + std::to_string(wantWidth) + "x" +
                                 std::to_string(wantHeight) + ", but its " + (img.png ? "PNG" : "bitmap") +
                                 " header says " + std::to_string(h->width) + "x" +
                                 (h->height == ~0u ? std::string("(odd height)") : std::to_string(h->height)));
    if (entry.planes == 0)
        entry.planes = 1;
    if (entry.bitCount == 0)
        entry.bitCount = h->bits;
    img.data.assign(p, p + length);
    return img;
}

}  // namespace

Result<std::vector<IconImage>> parseIcon(const unsigned char* data, size_t size)
{
    if (size < kDirHeader)
        return iconFault(0, "only " + std::to_string(size) + " bytes, too short for the icon header");
    if (get16(data) != 0 || get16(data + 2) != 1)
        return iconFault(0, get16(data) == 0 && get16(data + 2) == 2
                                ? "a cursor file, type 2"
                                : "no icon header: reserved 0 and type 1 expected");
    const uint16_t count = get16(data + 4);
    if (count == 0)
        return iconFault(4, "it holds no image");
    if (size < kDirHeader + kDirEntry * count)
        return iconFault(kDirHeader,
                         "the directory of " + std::to_string(count) + " images runs past the end of the file");

    std::vector<IconImage> images;
    for (uint16_t i = 0; i < count; ++i) {
        Result<IconImage> img = readIconImage(data, size, i);
        if (!img.ok())
            return img.status();
        images.push_back(std::move(*img));
    }
    return images;
}

}  // namespace sfxpack
