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
// The build passes PAYLOAD_OFFSET of src/payload/container.h as LENGTH
// (the top CMakeLists.txt reads it from there); the headers are read with
// sfxpack's PE reader (tools/sfxpack/format/pe.h).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/status.h"
#include "format/pe.h"

namespace {

int fail(const std::string& path, const std::string& what)
{
    std::fprintf(stderr, "padimage: %s: %s\n", path.c_str(), what.c_str());
    return 1;
}

// Whether the headers can be padded, and if not, why.
sfxpack::Status checkHeaders(const sfxpack::PeImage& pe)
{
    using sfxpack::PeFault;
    switch (pe.fault) {
    case PeFault::None:
        break;
    case PeFault::NoMz:
        return sfxpack::Status::fail("not a PE image (no MZ header)");
    case PeFault::LfanewPastEnd:
    case PeFault::NoSignature:
        return sfxpack::Status::fail("not a PE image (no PE signature)");
    case PeFault::BadMagic:
        return pe.status();
    case PeFault::SectionTableCut:
        return sfxpack::Status::fail("not a PE image (section table out of range)");
    }
    if (pe.sections.empty())
        return sfxpack::Status::fail("not a PE image (section table out of range)");
    if (pe.optionalSize < sfxpack::kChecksumAt + 4)
        return sfxpack::Status::fail("not a PE image (optional header of " +
                                     std::to_string(pe.optionalSize) + " bytes ends before its CheckSum)");
    return {};
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

    sfxpack::MemorySource src(b.data(), b.size());
    const sfxpack::PeImage pe = sfxpack::readPeImage(src, b.size());
    if (sfxpack::Status headers = checkHeaders(pe); !headers.ok())
        return fail(path, headers.message());

    // The section whose raw data ends last in the file.
    const sfxpack::PeSection* last = nullptr;
    uint32_t rawEnd = 0;
    for (const sfxpack::PeSection& s : pe.sections) {
        const uint32_t end = s.rawPointer + s.rawSize;
        if (end >= rawEnd) {
            rawEnd = end;
            last = &s;
        }
    }
    if (rawEnd != b.size())
        return fail(path, "has " + std::to_string(b.size() - rawEnd) +
                              " bytes behind its last section; pad the bare linked image");
    if (b.size() > target)
        return fail(path, "the image is " + std::to_string(b.size()) + " bytes, " +
                              std::to_string(b.size() - target) + " more than the " +
                              std::to_string(target) + " bytes it must fit in");
    if (pe.fileAlignment == 0 || (target - last->rawPointer) % pe.fileAlignment != 0)
        return fail(path, "length is not a multiple of the file alignment");

    const uint32_t newRawSize = static_cast<uint32_t>(target - last->rawPointer);
    unsigned char* header = &b[last->headerOffset];
    sfxpack::put32(header + 16, newRawSize);
    if (last->virtualSize < newRawSize) {
        sfxpack::put32(header + 8, newRawSize);
        const uint32_t imageEnd = uint32_t(sfxpack::alignUp(last->va + newRawSize, pe.sectionAlignment));
        unsigned char* sizeOfImage = &b[pe.optionalOffset + sfxpack::kSizeOfImageAt];
        if (imageEnd > sfxpack::get32(sizeOfImage))
            sfxpack::put32(sizeOfImage, imageEnd);
    }
    b.resize(target, 0);
    const size_t checksumAt = size_t(pe.checksumOffset());
    sfxpack::put32(&b[checksumAt], sfxpack::peChecksum(b.data(), b.size(), checksumAt));

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!out)
        return fail(path, "cannot write");
    return 0;
}
