// The launcher image at the front of a container: the PE header fields
// that matter to a container, the checks a stub for `create` must pass,
// and whether a file looks like a Windows program at all.
#ifndef SFXPACK_IMAGE_H
#define SFXPACK_IMAGE_H

#include <cstdint>

#include "base/source.h"
#include "base/status.h"
#include "format/layout.h"

namespace sfxpack {

struct ImageInfo {
    uint64_t size = 0;  // bytes present of the image, at most kImageSize
    Status container;   // fails when the file is too short to be a container
    Status pe;          // fails when the image is not a PE image
    Status layout;      // fails when its sections do not end where the payload starts
    // The security directory (data directory 4).  Its address is a file
    // offset, unlike every other data directory's.
    uint32_t securityOffset = 0;
    uint32_t securitySize = 0;
    uint64_t securityEntryOffset = 0;  // where the directory entry itself lies
    uint64_t checksumOffset = 0;       // the optional header's CheckSum field
    bool signedImage() const { return securityOffset != 0 || securitySize != 0; }
};

// Reads the image's headers.  `container` fails when the file is shorter
// than an image; `pe` when MZ/PE headers are missing or out of range.
ImageInfo inspectImage(Source& src);

// A stub for `create`: exactly kImageSize bytes, a PE image whose last
// section's raw data end at kImageSize, not signed.
Status checkStub(Source& src);

// Whether the first bytes of a file look like a Windows program (MZ
// header whose e_lfanew points at a PE signature within the file).
bool looksLikeWindowsProgram(Source& src);

}  // namespace sfxpack

#endif  // SFXPACK_IMAGE_H
