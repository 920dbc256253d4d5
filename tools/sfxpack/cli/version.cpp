// sfxpack --version.
#include <cstdio>

#include "base/text.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/launcher_image.h"
#include "platform/digest.h"

#ifndef SFXPACK_VERSION
#define SFXPACK_VERSION "0"
#endif

namespace sfxpack {

// The image's digest tells which launcher this sfxpack writes.
int runVersion()
{
    Result<Digest> sha256 = Digest::start(DigestAlgorithm::Sha256);
    if (!sha256) {
        error("SHA-256 of the built-in launcher image: " + sha256.message());
        return kExitFailed;
    }
    sha256->update(kLauncherImage, kLauncherImageSize);
    std::printf("sfxpack %s\nLicense: MIT, Copyright (c) the sfx authors\nLauncher image SHA-256: %s\n",
                SFXPACK_VERSION, hexDigits(sha256->finish()).c_str());
    return kExitOk;
}

}  // namespace sfxpack
