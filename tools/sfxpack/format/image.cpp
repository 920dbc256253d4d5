// The launcher image's headers, read through the one PE reader.
#include "format/image.h"

#include <algorithm>
#include <string>

#include "format/pe.h"

namespace sfxpack {

ImageInfo inspectImage(Source& src)
{
    ImageInfo info;
    const uint64_t total = src.size();
    info.size = std::min(total, kImageSize);
    if (total < kImageSize)
        info.container = Status::fail("not a container (image is " + std::to_string(total) + " bytes, expected " +
                                      std::to_string(kImageSize) + ")");

    const PeImage pe = readPeImage(src, info.size);
    if (Status status = pe.status(); !status.ok()) {
        info.pe = status;
        return info;
    }
    // The payload starts where the last section's raw data ends; anything
    // else means the image was not made for this container.
    uint64_t rawEnd = 0;
    for (const PeSection& s : pe.sections)
        if (s.rawSize != 0)
            rawEnd = std::max(rawEnd, s.rawEnd());
    if (rawEnd != kImageSize)
        info.layout = Status::fail("the image's sections end at offset " + std::to_string(rawEnd) + ", not at " +
                                   std::to_string(kImageSize) + " where the payload starts");

    // A directory beyond the declared count or the optional header is absent.
    if (pe.directories.size() <= kSecurityDirectory)
        return info;
    info.securityEntryOffset = pe.directoryEntryOffset(kSecurityDirectory);
    info.checksumOffset = pe.checksumOffset();
    info.securityOffset = pe.directory(kSecurityDirectory).rva;
    info.securitySize = pe.directory(kSecurityDirectory).size;
    return info;
}

Status checkStub(Source& src)
{
    if (src.size() != kImageSize)
        return Status::fail("not a launcher image (file is " + std::to_string(src.size()) + " bytes, expected " +
                            std::to_string(kImageSize) + ")");
    ImageInfo image = inspectImage(src);
    if (!image.pe.ok())
        return image.pe;
    if (!image.layout.ok())
        return Status::fail("not a launcher image (" + image.layout.message() + ")");
    if (image.signedImage())
        return Status::fail("already signed (its security directory points to " + std::to_string(image.securitySize) +
                            " bytes at offset " + std::to_string(image.securityOffset) +
                            "): the payload would break that signature; pack an unsigned launcher and sign "
                            "the finished container instead");
    return {};
}

bool looksLikeWindowsProgram(Source& src)
{
    const PeFault fault = readPeImage(src, src.size()).fault;
    return fault != PeFault::NoMz && fault != PeFault::LfanewPastEnd && fault != PeFault::NoSignature;
}

}  // namespace sfxpack
