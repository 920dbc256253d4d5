// Text helpers without I/O, shared by every layer.
#ifndef SFXPACK_TEXT_H
#define SFXPACK_TEXT_H

#include <string>
#include <string_view>

namespace sfxpack {

// Lower-case hexadecimal digits of `bytes`.
std::string hexDigits(std::string_view bytes);

}  // namespace sfxpack

#endif  // SFXPACK_TEXT_H
