// A minimal PE image of exactly the launcher's length, and a certificate
// table entry, for tests that build containers in memory.
#ifndef SFXPACK_TEST_IMAGE_H
#define SFXPACK_TEST_IMAGE_H

#include <cstdint>
#include <vector>

#include "format.h"

namespace sfxpack {
namespace testing_image {

constexpr uint32_t kPeOffset = 0x80;
constexpr uint32_t kOptionalOffset = kPeOffset + 24;
constexpr uint32_t kDirectoryCountOffset = kOptionalOffset + 92;    // PE32
constexpr uint32_t kSecurityEntryOffset = kOptionalOffset + 96 + 32;  // PE32, directory 4
constexpr uint32_t kRawDataStart = 0x400;

// MZ header, PE signature, file header, an optional header with 16 data
// directories, all zero, and one section whose raw data run from 0x400 to
// the end of the image; `magic` 0x10b is PE32, 0x20b PE32+.
// Sets the first section's PointerToRawData and SizeOfRawData.
inline void SetSectionRaw(std::vector<unsigned char>& img, uint32_t pointer, uint32_t size,
                          uint16_t optionalSize = 224)
{
    const uint32_t section = kOptionalOffset + optionalSize;
    for (int i = 0; i < 4; ++i) {
        img[section + 16 + i] = uint8_t(size >> (8 * i));
        img[section + 20 + i] = uint8_t(pointer >> (8 * i));
    }
}

inline std::vector<unsigned char> MakePeImage(uint16_t magic = 0x10b)
{
    std::vector<unsigned char> img(kImageSize, 0);
    img[0] = 'M';
    img[1] = 'Z';
    img[0x3c] = kPeOffset;
    img[kPeOffset] = 'P';
    img[kPeOffset + 1] = 'E';
    img[kPeOffset + 4] = 0x4c;  // i386
    img[kPeOffset + 5] = 0x01;
    const uint16_t optionalSize = magic == 0x10b ? 224 : 240;
    img[kPeOffset + 4 + 16] = uint8_t(optionalSize);
    img[kOptionalOffset] = uint8_t(magic);
    img[kOptionalOffset + 1] = uint8_t(magic >> 8);
    img[kOptionalOffset + (magic == 0x10b ? 92 : 108)] = 16;
    img[kPeOffset + 6] = 1;  // one section
    SetSectionRaw(img, kRawDataStart, uint32_t(kImageSize) - kRawDataStart, optionalSize);
    return img;
}

// One WIN_CERTIFICATE of type PKCS_SIGNED_DATA whose certificate is a DER
// SEQUENCE of `content` bytes, zero-padded to a multiple of 8.
inline std::vector<unsigned char> MakeCertificateEntry(size_t content)
{
    std::vector<unsigned char> e(8);
    e.push_back(0x30);
    if (content < 0x80) {
        e.push_back(uint8_t(content));
    } else {
        e.push_back(0x82);
        e.push_back(uint8_t(content >> 8));
        e.push_back(uint8_t(content));
    }
    e.insert(e.end(), content, 0x42);
    const uint32_t length = uint32_t(e.size());
    for (int i = 0; i < 4; ++i)
        e[i] = uint8_t(length >> (8 * i));
    e[4] = 0x00;  // revision 2.0
    e[5] = 0x02;
    e[6] = 0x02;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
    while (e.size() % 8)
        e.push_back(0);
    return e;
}

}  // namespace testing_image
}  // namespace sfxpack

#endif  // SFXPACK_TEST_IMAGE_H
