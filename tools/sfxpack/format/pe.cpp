// The PE header reader.  Pure: every byte comes through a Source.
#include "format/pe.h"

#include <cstring>

#include "base/bytes.h"
#include "base/text.h"

namespace sfxpack {

namespace {

constexpr size_t kDosHeaderSize = 64;
constexpr uint32_t kLfanewAt = 0x3c;
// Signature and file header.
constexpr uint32_t kNtHeadersSize = 4 + 20;

// Reads `len` bytes at `at` when they lie within the first `limit` bytes.
bool readWithin(Source& src, uint64_t limit, uint64_t at, void* out, size_t len)
{
    return at <= limit && len <= limit - at && src.read(at, out, len);
}

// The optional header's fields up to its data directories.
void readOptionalHeader(const unsigned char* opt, PeImage* pe)
{
    pe->entryPoint = get32(opt + kEntryPointAt);
    pe->imageBase = pe->pe32plus() ? uint64_t(get32(opt + 24)) | uint64_t(get32(opt + 28)) << 32 : get32(opt + 28);
    pe->sectionAlignment = get32(opt + kSectionAlignmentAt);
    pe->fileAlignment = get32(opt + kFileAlignmentAt);
}

// The directories the count declares, at most 16, as far as both the
// optional header and the limit hold them.
void readDirectories(Source& src, uint64_t limit, PeImage* pe)
{
    const uint32_t countAt = pe->directoryCountAt();
    pe->directoriesOffset = pe->optionalOffset + countAt + 4;
    unsigned char count[4];
    if (pe->optionalSize < countAt + 4 || !readWithin(src, limit, pe->optionalOffset + countAt, count, 4))
        return;
    const uint64_t inHeader = (pe->optionalSize - countAt - 4) / 8;
    const uint64_t inLimit = limit > pe->directoriesOffset ? (limit - pe->directoriesOffset) / 8 : 0;
    const uint64_t n = std::min<uint64_t>({get32(count), kMaxDirectories, inHeader, inLimit});
    unsigned char entries[8 * kMaxDirectories];
    if (n == 0 || !src.read(pe->directoriesOffset, entries, size_t(8 * n)))
        return;
    for (uint64_t i = 0; i < n; ++i)
        pe->directories.push_back({get32(entries + 8 * i), get32(entries + 8 * i + 4)});
}

bool readSections(Source& src, uint64_t limit, PeImage* pe)
{
    pe->sectionTableOffset = pe->optionalOffset + pe->optionalSize;
    for (uint16_t i = 0; i < pe->sectionCount; ++i) {
        PeSection s;
        s.headerOffset = pe->sectionTableOffset + uint64_t(kSectionHeaderSize) * i;
        unsigned char h[kSectionHeaderSize];
        if (!readWithin(src, limit, s.headerOffset, h, sizeof h))
            return false;
        s.name.assign(reinterpret_cast<const char*>(h), size_t(std::find(h, h + 8, 0) - h));
        s.virtualSize = get32(h + kSectionVirtualSizeAt);
        s.va = get32(h + kSectionRvaAt);
        s.rawSize = get32(h + kSectionRawSizeAt);
        s.rawPointer = get32(h + kSectionRawPointerAt);
        s.flags = get32(h + kSectionFlagsAt);
        pe->sections.push_back(std::move(s));
    }
    return true;
}

}  // namespace

PeImage readPeImage(Source& src, uint64_t limit)
{
    PeImage pe;
    unsigned char dos[kDosHeaderSize];
    if (!readWithin(src, limit, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
        pe.fault = PeFault::NoMz;
        return pe;
    }
    pe.peOffset = get32(dos + kLfanewAt);
    unsigned char nt[kNtHeadersSize + 2];  // and the optional header's magic
    if (!readWithin(src, limit, pe.peOffset, nt, sizeof nt)) {
        pe.fault = PeFault::LfanewPastEnd;
        return pe;
    }
    if (std::memcmp(nt, "PE\0\0", 4) != 0) {
        pe.fault = PeFault::NoSignature;
        return pe;
    }
    pe.sectionCount = get16(nt + 4 + kSectionCountAt);
    pe.optionalSize = get16(nt + 4 + kOptionalSizeAt);
    pe.optionalOffset = uint64_t(pe.peOffset) + kNtHeadersSize;
    pe.magic = get16(nt + kNtHeadersSize);
    if (pe.magic != kPe32Magic && pe.magic != kPe32PlusMagic) {
        pe.fault = PeFault::BadMagic;
        return pe;
    }
    unsigned char opt[40];
    if (readWithin(src, limit, pe.optionalOffset, opt, sizeof opt))
        readOptionalHeader(opt, &pe);
    readDirectories(src, limit, &pe);
    if (!readSections(src, limit, &pe))
        pe.fault = PeFault::SectionTableCut;
    return pe;
}

Status PeImage::status() const
{
    switch (fault) {
    case PeFault::None:
        return {};
    case PeFault::NoMz:
        return Status::failAt(0, "not a PE image (no MZ header at offset 0)");
    case PeFault::LfanewPastEnd:
        return Status::failAt(kLfanewAt, "not a PE image (e_lfanew " + std::to_string(peOffset) +
                                             " points past the image)");
    case PeFault::NoSignature:
        return Status::failAt(peOffset, "not a PE image (no PE signature at offset " + std::to_string(peOffset) + ")");
    case PeFault::BadMagic:
        return Status::failAt(optionalOffset, "not a PE image (optional header magic " + formatHex(magic) +
                                                  " is neither PE32 nor PE32+)");
    case PeFault::SectionTableCut:
        return Status::failAt(sectionTableOffset, "not a PE image (section table at offset " +
                                                      std::to_string(sectionTableOffset) + " runs past the image)");
    }
    return {};
}

}  // namespace sfxpack
