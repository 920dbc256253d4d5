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

using sfxpack::Status;

int fail(const std::string& path, const std::string& what)
{
    std::fprintf(stderr, "padimage: %s: %s\n", path.c_str(), what.c_str());
    return 1;
}

// Whether the headers can be padded, and if not, why.
Status checkHeaders(const sfxpack::PeImage& pe)
{
    if (Status headers = pe.status(); !headers.ok())
        return headers;
    if (pe.sections.empty())
        return Status::fail("not a PE image (it has no sections)");
    if (pe.optionalSize < sfxpack::kChecksumAt + 4)
        return Status::fail("not a PE image (optional header of " + std::to_string(pe.optionalSize) +
                            " bytes ends before its CheckSum)");
    return {};
}

// The section whose raw data ends last in the file.
const sfxpack::PeSection& lastSection(const sfxpack::PeImage& pe)
{
    const sfxpack::PeSection* last = &pe.sections.front();
    for (const sfxpack::PeSection& s : pe.sections)
        if (s.rawEnd() >= last->rawEnd())
            last = &s;
    return *last;
}

// Grows the last section of image `b` to `target` bytes, or says why it
// cannot be.
Status pad(std::vector<unsigned char>& b, unsigned long target)
{
    sfxpack::MemorySource src(b.data(), b.size());
    const sfxpack::PeImage pe = sfxpack::readPeImage(src, b.size());
    if (Status headers = checkHeaders(pe); !headers.ok())
        return headers;
    const sfxpack::PeSection& last = lastSection(pe);
    if (last.rawEnd() > b.size())
        return Status::fail("its last section's raw data end at offset " + std::to_string(last.rawEnd()) +
                            ", past the file's " + std::to_string(b.size()) + " bytes");
    if (last.rawEnd() != b.size())
        return Status::fail("has " + std::to_string(b.size() - last.rawEnd()) +
                            " bytes behind its last section; pad the bare linked image");
    if (b.size() > target)
        return Status::fail("the image is " + std::to_string(b.size()) + " bytes, " +
                            std::to_string(b.size() - target) + " more than the " + std::to_string(target) +
                            " bytes it must fit in");
    if (pe.fileAlignment == 0 || (target - last.rawPointer) % pe.fileAlignment != 0)
        return Status::fail("length is not a multiple of the file alignment");

    const uint32_t newRawSize = static_cast<uint32_t>(target - last.rawPointer);
    unsigned char* header = &b[last.headerOffset];
    sfxpack::put32(header + sfxpack::kSectionRawSizeAt, newRawSize);
    if (last.virtualSize < newRawSize) {
        sfxpack::put32(header + sfxpack::kSectionVirtualSizeAt, newRawSize);
        const uint32_t imageEnd = uint32_t(sfxpack::alignUp(last.va + newRawSize, pe.sectionAlignment));
        unsigned char* sizeOfImage = &b[pe.optionalOffset + sfxpack::kSizeOfImageAt];
        if (imageEnd > sfxpack::get32(sizeOfImage))
            sfxpack::put32(sizeOfImage, imageEnd);
    }
    b.resize(target, 0);
    const size_t checksumAt = size_t(pe.checksumOffset());
    sfxpack::put32(&b[checksumAt], sfxpack::peChecksum(b.data(), b.size(), checksumAt));
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
    if (Status padded = pad(b, target); !padded.ok())
        return fail(path, padded.message());

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!out)
        return fail(path, "cannot write");
    return 0;
}
