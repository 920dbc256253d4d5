// Little-endian field access and the PE header checksum,
// shared by the format code and the image padding step.
#ifndef SFXPACK_BYTES_H
#define SFXPACK_BYTES_H

#include <cstddef>
#include <cstdint>

namespace sfxpack {

inline uint16_t get16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

inline uint32_t get32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void put16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

inline void put32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// `v` rounded up to a multiple of `a`, a power of two.
inline uint64_t alignUp(uint64_t v, uint64_t a) { return (v + a - 1) & ~(a - 1); }

// The PE header checksum of `size` bytes: the 16-bit words summed with
// end-around carry, the checksum field (at `checksumAt`) taken as zero,
// plus the file length.
inline uint32_t peChecksum(const unsigned char* data, size_t size, size_t checksumAt)
{
    uint64_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) {
        if (i == checksumAt || i == checksumAt + 2)
            continue;
        sum += get16(data + i);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (size % 2)
        sum += data[size - 1];
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

}  // namespace sfxpack

#endif  // SFXPACK_BYTES_H
