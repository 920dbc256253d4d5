#include "base/text.h"

namespace sfxpack {

std::string hexDigits(std::string_view bytes)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

}  // namespace sfxpack
