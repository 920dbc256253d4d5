// How the format layer words sizes and names in its messages, so that a
// record name or a byte count reads the same in every message.
#ifndef SFXPACK_WORDING_H
#define SFXPACK_WORDING_H

#include <cstdint>
#include <string>
#include <string_view>

#include "base/text.h"

namespace sfxpack {

// "1 byte", "5 bytes".
inline std::string byteCount(uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// A record name in single quotes, made printable.
inline std::string quotedName(std::string_view name) { return "'" + printableName(name) + "'"; }

}  // namespace sfxpack

#endif  // SFXPACK_WORDING_H
