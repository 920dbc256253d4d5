// A minimal PE image of exactly the launcher's length, and a certificate
// table entry, for tests that build containers in memory.
#ifndef SFXPACK_TEST_IMAGE_H
#define SFXPACK_TEST_IMAGE_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include <cstring>

#include "base/bytes.h"
#include "format/layout.h"
#include "format/pe.h"
#include "format/resources.h"

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
        img[section + kSectionRawSizeAt + i] = uint8_t(size >> (8 * i));
        img[section + kSectionRawPointerAt + i] = uint8_t(pointer >> (8 * i));
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


// A launcher-like image for the branding code: .text at RVA 0x1000 holding
// a relocated pointer into itself, .rsrc at 0x2000 with a dialog 130, a
// manifest 1 and the launcher icon group of one image, and .reloc behind it,
// padded to the image's end as the padding step does.
constexpr uint32_t kBrandableImageBase = 0x400000;
constexpr uint32_t kTextPointerRva = 0x1010;

inline void Put32(std::vector<unsigned char>& img, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        img[at + i] = uint8_t(v >> (8 * i));
}

inline std::vector<Resource> LauncherResources()
{
    std::vector<unsigned char> group = encodeIconGroup({{32, 32, 0, 1, 32, 4, 1}});
    return {
        {resourceNumber(kRtDialog), resourceNumber(130), resourceNumber(kEnglishUs), 0, {'D', 'L', 'G'}, 0},
        {resourceNumber(kRtManifest), resourceNumber(1), resourceNumber(kEnglishUs), 0, {'<', 'm', '/', '>'}, 0},
        {resourceNumber(kRtIcon), resourceNumber(1), resourceNumber(kEnglishUs), 0, {1, 2, 3, 4}, 0},
        {resourceNumber(kRtGroupIcon), resourceNumber(kLauncherIconGroup), resourceNumber(kEnglishUs), 0, group, 0},
    };
}

inline std::vector<unsigned char> MakeBrandableImage(const std::vector<Resource>& resources = LauncherResources())
{
    std::vector<unsigned char> img = MakePeImage();
    const uint32_t opt = kOptionalOffset;
    img[kPeOffset + 6] = 3;
    Put32(img, opt + kEntryPointAt, 0x1000);
    Put32(img, opt + 28, kBrandableImageBase);
    Put32(img, opt + kSectionAlignmentAt, 0x1000);
    Put32(img, opt + kFileAlignmentAt, 0x200);
    std::vector<unsigned char> rsrc = writeResources(resources, 0x2000);
    const uint32_t rsrcRaw = uint32_t(alignUp(rsrc.size(), 0x200));
    const uint32_t relocVa = uint32_t(0x2000 + alignUp(rsrc.size(), 0x1000));
    const uint32_t relocRaw = 0x600 + rsrcRaw;
    struct Row {
        const char* name;
        uint32_t virtualSize, va, rawSize, raw, flags;
    } rows[] = {{".text", 0x100, 0x1000, 0x200, 0x400, 0x60000020},
                {".rsrc", uint32_t(rsrc.size()), 0x2000, rsrcRaw, 0x600, 0x40000040},
                {".reloc", uint32_t(kImageSize) - relocRaw, relocVa, uint32_t(kImageSize) - relocRaw, relocRaw,
                 0x42000040}};
    for (int i = 0; i < 3; ++i) {
        const size_t h = opt + 224 + 40 * i;
        std::memcpy(&img[h], rows[i].name, std::strlen(rows[i].name));
        Put32(img, h + kSectionVirtualSizeAt, rows[i].virtualSize);
        Put32(img, h + kSectionRvaAt, rows[i].va);
        Put32(img, h + kSectionRawSizeAt, rows[i].rawSize);
        Put32(img, h + kSectionRawPointerAt, rows[i].raw);
        Put32(img, h + kSectionFlagsAt, rows[i].flags);
    }
    std::fill(img.begin() + 0x400, img.end(), 0);
    Put32(img, 0x400 + (kTextPointerRva - 0x1000), kBrandableImageBase + 0x1080);
    std::copy(rsrc.begin(), rsrc.end(), img.begin() + 0x600);
    // One relocation block: page 0x1000, the pointer, and a padding entry.
    Put32(img, relocRaw, 0x1000);
    Put32(img, relocRaw + 4, 12);
    img[relocRaw + 8] = uint8_t(kTextPointerRva & 0xFF);
    img[relocRaw + 9] = uint8_t(0x30 | ((kTextPointerRva >> 8) & 0x0F));
    Put32(img, opt + 96 + 8 * 2, 0x2000);
    Put32(img, opt + 96 + 8 * 2 + 4, uint32_t(rsrc.size()));
    Put32(img, opt + 96 + 8 * 5, relocVa);
    Put32(img, opt + 96 + 8 * 5 + 4, 12);
    Put32(img, opt + 56, uint32_t(alignUp(uint64_t(relocVa) + kImageSize - relocRaw, 0x1000)));
    return img;
}

}  // namespace testing_image
}  // namespace sfxpack

#endif  // SFXPACK_TEST_IMAGE_H
