// The one reader of a PE image's headers, for inspection, branding and
// the image padding step:
//
//   offset 0        DOS header, 64 bytes: "MZ" ... e_lfanew at 0x3c
//   e_lfanew        "PE\0\0", then the file header (20 bytes): machine,
//                   section count, time stamp, symbols, optional header
//                   size, characteristics
//   e_lfanew + 24   optional header: magic (0x10b PE32, 0x20b PE32+),
//                   entry point, image base, alignments, SizeOfImage,
//                   CheckSum, then the count of data directories and the
//                   directories, 8 bytes each (RVA, size)
//   behind it       section table, 40 bytes per section: name, virtual
//                   size, RVA, raw size, raw pointer, ..., characteristics
//
// The reader checks that each structure lies within the first `limit`
// bytes and stops at the first that does not; `fault` says which, and
// status() words it.  Pure: every byte comes through a Source.
#ifndef SFXPACK_PE_H
#define SFXPACK_PE_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "base/source.h"
#include "base/status.h"

namespace sfxpack {

// Data directory indices.
constexpr uint32_t kResourceDirectory = 2;
// The certificate table: its address is a file offset, unlike every
// other data directory's.
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kRelocationDirectory = 5;
constexpr uint32_t kMaxDirectories = 16;

constexpr uint16_t kPe32Magic = 0x10b;
constexpr uint16_t kPe32PlusMagic = 0x20b;

// Offsets within the file header, which follows the 4-byte signature.
constexpr uint32_t kSectionCountAt = 2;
constexpr uint32_t kOptionalSizeAt = 16;

// Offsets within the optional header; the same in PE32 and PE32+.
constexpr uint32_t kInitializedDataAt = 8;
constexpr uint32_t kEntryPointAt = 16;
constexpr uint32_t kSectionAlignmentAt = 32;
constexpr uint32_t kFileAlignmentAt = 36;
constexpr uint32_t kSizeOfImageAt = 56;
constexpr uint32_t kChecksumAt = 64;

// A section table entry: 8 name bytes, then these fields.
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kSectionVirtualSizeAt = 8;
constexpr uint32_t kSectionRvaAt = 12;
constexpr uint32_t kSectionRawSizeAt = 16;
constexpr uint32_t kSectionRawPointerAt = 20;
constexpr uint32_t kSectionFlagsAt = 36;

// The check a PE image failed first.
enum class PeFault {
    None,
    NoMz,              // fewer than 64 bytes, or no "MZ" at offset 0
    LfanewPastEnd,     // e_lfanew leaves no room for the signature, file header and magic
    NoSignature,       // no "PE\0\0" at e_lfanew
    BadMagic,          // the optional header is neither PE32 nor PE32+
    SectionTableCut,   // the section table runs past the limit
};

struct PeSection {
    uint64_t headerOffset = 0;  // of its 40-byte entry in the section table
    std::string name;           // up to 8 bytes, NUL-padded in the table
    uint32_t virtualSize = 0, va = 0, rawSize = 0, rawPointer = 0, flags = 0;
    uint64_t vaEnd() const { return uint64_t(va) + std::max(virtualSize, rawSize); }
    bool contains(uint64_t rva) const { return rva >= va && rva < vaEnd(); }
    uint64_t rawEnd() const { return uint64_t(rawPointer) + rawSize; }
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct PeImage {
    PeFault fault = PeFault::None;  // the fields behind the failed check are unset
    // The file header.
    uint32_t peOffset = 0;  // e_lfanew
    uint16_t sectionCount = 0;
    uint16_t optionalSize = 0;
    uint64_t optionalOffset = 0;  // peOffset + 24
    // The optional header.
    uint16_t magic = 0;
    uint32_t entryPoint = 0;
    uint64_t imageBase = 0;
    uint32_t sectionAlignment = 0, fileAlignment = 0;
    // The data directories that are there: those the count declares, at
    // most 16, within the optional header and the limit.
    uint64_t directoriesOffset = 0;
    std::vector<DataDirectory> directories;
    // The section table, in table order.
    uint64_t sectionTableOffset = 0;
    std::vector<PeSection> sections;

    bool pe32plus() const { return magic == kPe32PlusMagic; }
    uint64_t optionalSizeOffset() const { return uint64_t(peOffset) + 4 + kOptionalSizeAt; }
    uint64_t checksumOffset() const { return optionalOffset + kChecksumAt; }
    // Offset of the data directory count: 92 or 108 bytes into the optional header.
    uint32_t directoryCountAt() const { return pe32plus() ? 108 : 92; }
    DataDirectory directory(uint32_t i) const { return i < directories.size() ? directories[i] : DataDirectory{}; }
    uint64_t directoryEntryOffset(uint32_t i) const { return directoriesOffset + 8u * i; }
    // The problem `fault` stands for: "not a PE image (...)" with the offset
    // it concerns, or OK.  The one wording of each fault, for every reader.
    Status status() const;
};

// Reads the headers of the image in the first `limit` bytes of `src`.
PeImage readPeImage(Source& src, uint64_t limit);

}  // namespace sfxpack

#endif  // SFXPACK_PE_H
