// Unit tests of the branding code: the .ico reader, the resource tree,
// version information and the image re-layout, on bytes built in memory.
// Each test plants one fault and checks the outcome and the message.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "format/brand.h"
#include "test_image.h"

namespace sfxpack {
namespace {

using testing_image::MakeBrandableImage;

// An .ico of one image per (size, bits); bits 0 makes a PNG image.
std::vector<unsigned char> MakeIco(std::vector<std::pair<unsigned, unsigned>> images, size_t pngExtra = 0)
{
    std::vector<unsigned char> out(6 + 16 * images.size());
    put16(&out[2], 1);
    put16(&out[4], uint16_t(images.size()));
    for (size_t i = 0; i < images.size(); ++i) {
        auto [size, bits] = images[i];
        std::vector<unsigned char> img;
        if (bits == 0) {
            const unsigned char head[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                          uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size),
                                          uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size),
                                          8, 6, 0, 0, 0};
            img.assign(head, head + sizeof head);
            img.resize(img.size() + pngExtra, 0x55);
        } else {
            img.resize(40 + size * size * bits / 8);
            put32(&img[0], 40);
            put32(&img[4], size);
            put32(&img[8], 2 * size);
            put16(&img[12], 1);
            put16(&img[14], uint16_t(bits));
        }
        unsigned char* e = &out[6 + 16 * i];
        e[0] = e[1] = uint8_t(size);
        put16(e + 6, uint16_t(bits == 0 ? 32 : 0));  // bitmap entries leave planes and depth 0
        put32(e + 8, uint32_t(img.size()));
        put32(e + 12, uint32_t(out.size()));
        out.insert(out.end(), img.begin(), img.end());
    }
    return out;
}

std::string IcoProblem(const std::vector<unsigned char>& ico)
{
    Result<std::vector<IconImage>> images = parseIcon(ico.data(), ico.size());
    if (images.ok())
        return "accepted";
    return std::to_string(images.status().offset()) + ": " + images.message();
}

TEST(IconTest, ReadsBitmapAndPngImages)
{
    std::vector<unsigned char> ico = MakeIco({{16, 8}, {256, 0}});
    Result<std::vector<IconImage>> read = parseIcon(ico.data(), ico.size());
    ASSERT_TRUE(read.ok()) << read.message();
    const std::vector<IconImage>& images = *read;
    ASSERT_EQ(2u, images.size());
    EXPECT_EQ(16, images[0].entry.width);
    EXPECT_EQ(1, images[0].entry.planes);    // taken from the bitmap header
    EXPECT_EQ(8, images[0].entry.bitCount);
    EXPECT_FALSE(images[0].png);
    EXPECT_EQ(40u + 16 * 16, images[0].data.size());
    EXPECT_EQ(0, images[1].entry.width);     // 256 is written as 0
    EXPECT_TRUE(images[1].png);
    EXPECT_EQ(0, std::memcmp(images[1].data.data(), "\x89PNG", 4));
}

TEST(IconTest, Refusals)
{
    std::vector<unsigned char> ico = MakeIco({{32, 32}});
    EXPECT_EQ("0: not an .ico file (only 4 bytes, too short for the icon header)",
              IcoProblem({ico.begin(), ico.begin() + 4}));
    std::vector<unsigned char> png = MakeIco({{256, 0}});
    png[6] = 128;
    EXPECT_EQ("6: not an .ico file (image 1's directory entry says 128x256, but its PNG header says 256x256)",
              IcoProblem(png));
    std::vector<unsigned char> notImage = ico;
    notImage[22] = 12;  // a BITMAPCOREHEADER
    EXPECT_EQ("22: not an .ico file (image 1 is neither a PNG nor a bitmap with a 40-byte BITMAPINFOHEADER)",
              IcoProblem(notImage));
}

// ---- The resource tree ----------------------------------------------------

TEST(ResourceTreeTest, WriteThenReadKeepsEveryResourceInDirectoryOrder)
{
    std::vector<Resource> in = testing_image::LauncherResources();
    in.push_back({{0, u"DATA"}, {0, u"Blob"}, resourceNumber(0), 1252, {9, 9, 9}, 0});
    std::vector<unsigned char> section = writeResources(in, 0x5000);
    Result<std::vector<Resource>> read = readResources(section.data(), section.size(), 0x5000);
    ASSERT_TRUE(read.ok()) << read.message();
    const std::vector<Resource>& out = *read;
    ASSERT_EQ(5u, out.size());
    EXPECT_EQ(u"DATA", out[0].type.name);  // named types first
    EXPECT_EQ(1252u, out[0].codePage);
    const uint16_t types[] = {kRtIcon, kRtDialog, kRtGroupIcon, kRtManifest};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(types[i], out[i + 1].type.number);
        EXPECT_EQ(0u, (out[i + 1].rva - 0x5000) % 8) << "data at a multiple of 8";
    }
    EXPECT_EQ((std::vector<unsigned char>{'D', 'L', 'G'}), out[2].data);
    EXPECT_EQ(section, writeResources(out, 0x5000));
}

TEST(ResourceTreeTest, Refusals)
{
    std::vector<unsigned char> section = writeResources(testing_image::LauncherResources(), 0x5000);
    // The first data entry's RVA moved past the section.
    const size_t dataEntry = 16 + 4 * 8 + 4 * (16 + 8) + 4 * (16 + 8);
    std::vector<unsigned char> outside = section;
    put32(&outside[dataEntry], 0x5000 + uint32_t(section.size()) - 2);
    Result<std::vector<Resource>> out = readResources(outside.data(), outside.size(), 0x5000);
    EXPECT_FALSE(out.ok());
    EXPECT_EQ(std::to_string(dataEntry) + ": resource section: data of 4 bytes at RVA 0x" +
                  [&] { char b[16]; std::snprintf(b, sizeof b, "%zx", 0x5000 + section.size() - 2); return std::string(b); }() +
                  " lie outside the section (RVA 0x5000, " + std::to_string(section.size()) + " bytes)",
              std::to_string(out.status().offset()) + ": " + out.message());
    // The first type's subdirectory points back at the root.
    std::vector<unsigned char> loop = section;
    put32(&loop[16 + 4], 0x80000000u);
    out = readResources(loop.data(), loop.size(), 0x5000);
    EXPECT_FALSE(out.ok());
    EXPECT_EQ("0: resource section: directory at offset 0 is reached twice",
              std::to_string(out.status().offset()) + ": " + out.message());
    std::vector<unsigned char> many = section;
    put16(&many[14], 0xFFFF);
    out = readResources(many.data(), many.size(), 0x5000);
    EXPECT_FALSE(out.ok());
    EXPECT_EQ("resource section: directory at offset 0 has 65535 entries, more than fit in the section",
              out.message());
}

// ---- Version information ------------------------------------------------

TEST(VersionTest, NumbersAndTheirRefusals)
{
    uint16_t v[4];
    EXPECT_TRUE(parseVersionNumber("1.2", v).ok());
    EXPECT_EQ("1.2.0.0", formatVersionNumber(v));
    EXPECT_TRUE(parseVersionNumber("65535.0.7.65535", v).ok());
    EXPECT_EQ("65535.0.7.65535", formatVersionNumber(v));
    EXPECT_EQ("part '' of '1..2' is not a number", parseVersionNumber("1..2", v).message());
    EXPECT_EQ("part '' of '' is not a number", parseVersionNumber("", v).message());
    EXPECT_EQ("part '-1' of '-1' is not a number", parseVersionNumber("-1", v).message());
    EXPECT_EQ("part 99999999999 of '99999999999' is above 65535", parseVersionNumber("99999999999", v).message());
    EXPECT_EQ("'1.2.3.4.5' has more than four parts", parseVersionNumber("1.2.3.4.5", v).message());
}

TEST(VersionTest, EmptyAndAstralValuesRoundTrip)
{
    VersionInfo info;
    ASSERT_TRUE(parseVersionNumber("1.2.3.4", info.fileVersion).ok());
    ASSERT_TRUE(parseVersionNumber("5.6", info.productVersion).ok());
    info.strings = {{"CompanyName", "Acme \xc3\x9c"}, {"Comments", ""}, {"X", "\xf0\x9f\x98\x80"}};
    std::vector<unsigned char> b = encodeVersionInfo(info);
    EXPECT_EQ(b.size(), get16(&b[0]));
    VersionInfo back;
    Status decoded = decodeVersionInfo(b.data(), b.size(), &back);
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    EXPECT_EQ(info.strings, back.strings);
    EXPECT_EQ("5.6.0.0", formatVersionNumber(back.productVersion));
    b[0] = uint8_t(b.size() + 1);
    decoded = decodeVersionInfo(b.data(), b.size(), &back);
    EXPECT_FALSE(decoded.ok());
    EXPECT_EQ("version information: block length " + std::to_string(b.size() + 1) +
                  " does not fit its parent (" + std::to_string(b.size()) + " bytes left)",
              decoded.message());
}

// ---- The image ------------------------------------------------------------

class BrandTest : public ::testing::Test {
protected:
    BrandTest() : image_(MakeBrandableImage())
    {
        std::vector<unsigned char> ico = MakeIco({{16, 32}, {32, 32}, {256, 0}});
        branding_.icon = *parseIcon(ico.data(), ico.size());
        branding_.version = true;
        branding_.versionInfo.strings = {{"ProductName", "Widget"}};
    }
    uint32_t Field(size_t at) const { return get32(&image_[at]); }
    size_t Section(int i) const { return testing_image::kOptionalOffset + 224 + 40 * i; }
    size_t Directory(int i) const { return testing_image::kOptionalOffset + 96 + 8 * i; }
    std::string Brand()
    {
        std::vector<unsigned char> before = image_;
        Status branded = brandImage(image_, branding_);
        if (branded.ok())
            return "";
        EXPECT_EQ(before, image_) << "a refused image is left as it was";
        return std::to_string(branded.offset()) + ": " + branded.message();
    }

    std::vector<unsigned char> image_;
    Branding branding_;
};

TEST_F(BrandTest, RelocationsMoveBehindTheGrownResources)
{
    const std::vector<unsigned char> before = image_;
    const uint32_t oldRelocRaw = Field(Section(2) + kSectionRawPointerAt);
    ASSERT_EQ("", Brand());
    ASSERT_EQ(kImageSize, image_.size());
    const uint32_t rsrcSize = Field(Directory(2) + 4);
    EXPECT_EQ(rsrcSize, Field(Section(1) + kSectionVirtualSizeAt));
    EXPECT_EQ(alignUp(rsrcSize, 0x200), Field(Section(1) + kSectionRawSizeAt));
    const uint32_t relocVa = Field(Section(2) + kSectionRvaAt), relocRaw = Field(Section(2) + kSectionRawPointerAt);
    EXPECT_EQ(alignUp(0x2000 + rsrcSize, 0x1000), relocVa);
    EXPECT_EQ(0x600 + alignUp(rsrcSize, 0x200), relocRaw);
    EXPECT_EQ(kImageSize, relocRaw + Field(Section(2) + kSectionRawSizeAt)) << "the last section runs to the image's end";
    EXPECT_EQ(relocVa, Field(Directory(5)));
    EXPECT_EQ(12u, Field(Directory(5) + 4));
    EXPECT_EQ(0, std::memcmp(&before[oldRelocRaw], &image_[relocRaw], 12)) << "relocation blocks move unchanged";
    EXPECT_EQ(0, std::memcmp(&before[0x400], &image_[0x400], 0x200)) << ".text unchanged";
}

TEST_F(BrandTest, SectionsThatOthersReferToAreNotMoved)
{
    const std::string reloc = std::to_string(Section(2)) + ": section '.reloc' behind the resources cannot be moved: ";
    const uint32_t relocVa = Field(Section(2) + kSectionRvaAt);
    testing_image::Put32(image_, 0x400 + (testing_image::kTextPointerRva - 0x1000),
                         testing_image::kBrandableImageBase + relocVa + 4);
    EXPECT_EQ(reloc + "the pointer at RVA 0x1010 refers to it", Brand());
    image_ = MakeBrandableImage();
    testing_image::Put32(image_, testing_image::kOptionalOffset + kEntryPointAt, relocVa);
    EXPECT_EQ(reloc + "it holds the entry point", Brand());
    image_ = MakeBrandableImage();
    testing_image::Put32(image_, 0x400 + (testing_image::kTextPointerRva - 0x1000),
                         testing_image::kBrandableImageBase + 0x2000);
    EXPECT_EQ(std::to_string(Section(1)) +
                  ": the resource section cannot be rebuilt: the pointer at RVA 0x1010 refers to it",
              Brand());
}

TEST_F(BrandTest, HeadersPastTheImageAreRefused)
{
    testing_image::Put32(image_, 0x3c, 0xffffffe8);  // e_lfanew + 24 wraps around in 32 bits
    EXPECT_EQ("60: not a PE image (e_lfanew 4294967272 points past the image)", Brand());
    image_ = MakeBrandableImage();
    put16(&image_[testing_image::kPeOffset + 6], 0xffff);  // 65535 sections
    const std::string table = std::to_string(Section(0));
    EXPECT_EQ(table + ": not a PE image (section table at offset " + table + " runs past the image)", Brand());
}

}  // namespace
}  // namespace sfxpack
