// Fuzz target for the branding code.  The input is read as an .ico file,
// as a resource section, as version information and as an icon group; and
// it is XORed into a launcher-like image from its optional header on (so
// zero bytes leave the image as it is), which is then rebranded.
//
// Besides not crashing: a resource section that reads back is written and
// read again to the same resources and bytes; a rebranded image keeps its
// length, reads back without findings and shows the new icon.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "format/brand.h"
#include "test_image.h"

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

sfxpack::Branding MakeBranding()
{
    sfxpack::Branding b;
    sfxpack::IconImage img;
    img.data.assign(40 + 4 + 4, 0);
    img.entry = {1, 1, 0, 1, 32, uint32_t(img.data.size()), 0};
    img.data[0] = 40;
    b.icon.push_back(img);
    b.version = true;
    b.versionInfo.strings = {{"ProductName", "fuzz"}};
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace sfxpack;
    if (Result<std::vector<IconImage>> icon = parseIcon(data, size); icon.ok())
        check(!icon->empty());

    if (Result<std::vector<Resource>> res = readResources(data, size, 0x2000); res.ok()) {
        const std::vector<unsigned char> written = writeResources(*res, 0x2000);
        Result<std::vector<Resource>> back = readResources(written.data(), written.size(), 0x2000);
        check(back.ok());
        check(back->size() == res->size());
        check(writeResources(*back, 0x2000) == written);
    }
    VersionInfo version;
    (void)decodeVersionInfo(data, size, &version);
    (void)decodeIconGroup(data, size);

    static const std::vector<unsigned char> base = testing_image::MakeBrandableImage();
    static const Branding branding = MakeBranding();
    std::vector<unsigned char> image = base;
    for (size_t i = 0; i < size && testing_image::kOptionalOffset + i < image.size(); ++i)
        image[testing_image::kOptionalOffset + i] ^= data[i];
    inspectBranding(image);
    if (brandImage(image, branding).ok()) {
        check(image.size() == kImageSize);
        ImageBranding b = inspectBranding(image);
        check(b.findings.empty() && b.icons.size() == 1 && b.hasVersion);
    }
    return 0;
}
