// Branding a launcher image: its icon group and version information
// replaced inside the fixed image length.
//
// The resource section is rebuilt from its resources; the sections behind
// it (in the launcher, only the relocations) move up or down with its new
// size, their data directory entries with them.  Their contents stay as
// they are, which is sound only when nothing refers to their addresses:
// relocation blocks name RVAs of other sections, so the relocation table
// can move; a section that holds the entry point, a relocated pointer's
// target or any other data directory cannot.  The last section's raw data
// then run up to the image's end again, as the padding step made them.
//
// Nothing here touches a file.
#ifndef SFXPACK_BRAND_H
#define SFXPACK_BRAND_H

#include <string>
#include <vector>

#include "base/source.h"
#include "base/status.h"
#include "format/icon.h"
#include "format/layout.h"
#include "format/resources.h"

namespace sfxpack {

struct Branding {
    std::vector<IconImage> icon;  // replaces the launcher's icon group (kLauncherIconGroup) when not empty
    bool version = false;         // adds or replaces version resource 1
    VersionInfo versionInfo;
    bool empty() const { return icon.empty() && !version; }
};

// Rebrands `image`, a launcher image of exactly kImageSize bytes that
// checkStub accepts.  On success `image` holds the new bytes; on failure
// it is unchanged and the problem carries the image offset involved.
Status brandImage(std::vector<unsigned char>& image, const Branding& branding);

// What a listing shows of an image's resources, and what `verify` checks.
struct ImageBranding {
    std::vector<IconGroupEntry> icons;  // of the launcher's icon group
    bool hasVersion = false;
    VersionInfo version;
    std::vector<Problem> findings;      // a resource section that is not well-formed
};

// Reads the resources of the first kImageSize bytes of a container.
ImageBranding inspectBranding(const std::vector<unsigned char>& image);

// "48x48 4 bpp, 256x256 32 bpp": an icon group's images.
std::string describeIcons(const std::vector<IconGroupEntry>& icons);

}  // namespace sfxpack

#endif  // SFXPACK_BRAND_H
