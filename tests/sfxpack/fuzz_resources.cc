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
    Finding f;
    std::vector<IconImage> icon;
    if (parseIcon(data, size, &icon, &f))
        check(!icon.empty());

    std::vector<Resource> res;
    if (readResources(data, size, 0x2000, &res, &f)) {
        const std::vector<unsigned char> written = writeResources(res, 0x2000);
        std::vector<Resource> back;
        check(readResources(written.data(), written.size(), 0x2000, &back, &f));
        check(back.size() == res.size());
        check(writeResources(back, 0x2000) == written);
    }
    VersionInfo version;
    decodeVersionInfo(data, size, &version, &f);
    std::vector<IconGroupEntry> group;
    decodeIconGroup(data, size, &group, &f);

    static const std::vector<unsigned char> base = testing_image::MakeBrandableImage();
    static const Branding branding = MakeBranding();
    std::vector<unsigned char> image = base;
    for (size_t i = 0; i < size && testing_image::kOptionalOffset + i < image.size(); ++i)
        image[testing_image::kOptionalOffset + i] ^= data[i];
    inspectBranding(image);
    if (brandImage(image, branding, &f)) {
        check(image.size() == kImageSize);
        ImageBranding b = inspectBranding(image);
        check(b.findings.empty() && b.icons.size() == 1 && b.hasVersion);
    }
    return 0;
}
