// The launcher image built with this sfxpack, embedded at build time.
#ifndef SFXPACK_LAUNCHER_IMAGE_H
#define SFXPACK_LAUNCHER_IMAGE_H

#include <cstddef>

namespace sfxpack {
extern const unsigned char kLauncherImage[];
extern const size_t kLauncherImageSize;
}  // namespace sfxpack

#endif  // SFXPACK_LAUNCHER_IMAGE_H
