// padimage: brings a linked Windows executable to an exact length by
// extending its last section's raw data, so that whatever is appended
// behind the image starts at a fixed offset.
//
//   padimage IMAGE LENGTH
//
// The last section's SizeOfRawData (and, where it is smaller, its
// VirtualSize, with the image's SizeOfImage) grow to reach LENGTH; the
// file is filled with zeros up to LENGTH and the header checksum is
// recomputed.  The image still loads: the section is merely longer.  An
// image already longer than LENGTH is an error, not something to cut.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../sfxpack/base/bytes.h"

namespace {

uint32_t get32(const std::vector<unsigned char>& b, size_t at) { return sfxpack::get32(&b[at]); }

uint16_t get16(const std::vector<unsigned char>& b, size_t at) { return sfxpack::get16(&b[at]); }

void put32(std::vector<unsigned char>& b, size_t at, uint32_t v) { sfxpack::put32(&b[at], v); }

int fail(const std::string& path, const std::string& what)
{
    std::fprintf(stderr, "padimage: %s: %s\n", path.c_str(), what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: padimage IMAGE LENGTH\n");
        return 2;
    }
    const std::string path = argv[1];
    const unsigned long target = std::strtoul(argv[2], nullptr, 0);

    std::vector<unsigned char> b;
    {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return fail(path, "cannot open");
        b.assign(std::istreambuf_iterator<char>(in), {});
    }

    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z')
        return fail(path, "not a PE image (no MZ header)");
    const uint32_t pe = get32(b, 0x3C);
    if (pe > b.size() - 24 || get32(b, pe) != 0x00004550)
        return fail(path, "not a PE image (no PE signature)");
    const uint16_t sectionCount = get16(b, pe + 6);
    const uint16_t optionalSize = get16(b, pe + 20);
    const size_t opt = pe + 24;
    const size_t table = opt + optionalSize;
    if (sectionCount == 0 || table + 40 * size_t(sectionCount) > b.size())
        return fail(path, "not a PE image (section table out of range)");
    const uint32_t sectionAlignment = get32(b, opt + 32);
    const uint32_t fileAlignment = get32(b, opt + 36);

    // The section whose raw data ends last in the file.
    size_t last = 0;
    uint32_t rawEnd = 0;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const size_t s = table + 40 * size_t(i);
        const uint32_t end = get32(b, s + 20) + get32(b, s + 16);
        if (end >= rawEnd) {
            rawEnd = end;
            last = s;
        }
    }
    if (rawEnd != b.size())
        return fail(path, "has " + std::to_string(b.size() - rawEnd) +
                              " bytes behind its last section; pad the bare linked image");
    if (b.size() > target)
        return fail(path, "the image is " + std::to_string(b.size()) + " bytes, " +
                              std::to_string(b.size() - target) + " more than the " +
                              std::to_string(target) + " bytes it must fit in");
    const uint32_t rawPointer = get32(b, last + 20);
    if ((target - rawPointer) % fileAlignment != 0)
        return fail(path, "length is not a multiple of the file alignment");

    const uint32_t newRawSize = static_cast<uint32_t>(target - rawPointer);
    put32(b, last + 16, newRawSize);
    if (get32(b, last + 8) < newRawSize) {
        put32(b, last + 8, newRawSize);
        const uint32_t imageEnd = uint32_t(sfxpack::alignUp(get32(b, last + 12) + newRawSize, sectionAlignment));
        if (imageEnd > get32(b, opt + 56))
            put32(b, opt + 56, imageEnd);
    }
    b.resize(target, 0);
    put32(b, opt + 64, sfxpack::peChecksum(b.data(), b.size(), opt + 64));

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!out)
        return fail(path, "cannot write");
    return 0;
}
