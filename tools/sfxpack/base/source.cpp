#include "base/source.h"

#include <cstring>

namespace sfxpack {

bool MemorySource::read(uint64_t offset, void* buf, size_t len)
{
    if (offset > len_ || len > len_ - offset)
        return false;
    std::memcpy(buf, data_ + offset, len);
    return true;
}

}  // namespace sfxpack
