// What may follow a container's end record: nothing, or zero padding and
// exactly the certificate table the image's security directory points
// to (a signed container); and the bytes a code signature's digest
// covers.
#ifndef SFXPACK_TRAILER_H
#define SFXPACK_TRAILER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/source.h"
#include "base/status.h"
#include "format/image.h"
#include "format/reader.h"

namespace sfxpack {

enum class TrailerKind {
    Nothing,           // the end record is the last thing in the file
    CertificateTable,  // zero padding, then exactly the table the image references
    Unexplained,
};

// One WIN_CERTIFICATE of the certificate table.
struct CertificateEntry {
    uint64_t offset = 0;    // of its 8-byte header
    uint32_t length = 0;    // dwLength, header included
    uint16_t type = 0;      // wCertificateType; 2 is a PKCS#7 SignedData
    uint64_t contentSize = 0;  // bytes of the certificate itself (the DER for type 2)
};

struct TrailerInfo {
    TrailerKind kind = TrailerKind::Nothing;
    uint64_t offset = 0;   // first byte after the end record
    uint64_t size = 0;     // bytes from there to the end of the file
    uint64_t padding = 0;  // zero bytes before the certificate table
    Status problem;        // fails for Unexplained: why it is not a certificate table, and where
    // For CertificateTable: the first kMaxKeptCertificates entries, and the
    // first PKCS#7 entry (the primary signature) wherever it lies; the
    // others are only counted, so that memory stays flat however many
    // entries a hostile table holds.
    std::vector<CertificateEntry> entries;
    uint64_t entryCount = 0;  // all entries of the table
};

// A signed file has one entry, rarely a few.
constexpr size_t kMaxKeptCertificates = 16;

// Walks the WIN_CERTIFICATE entries of a certificate table that exactly
// fills [at, end) of `src`, filling t->entries and t->entryCount; fails at
// the first entry that is malformed.
Status readCertificateEntries(Source& src, uint64_t at, uint64_t end, TrailerInfo* t);

// Classifies what follows the end record at `end.offset`.
TrailerInfo inspectTrailer(Source& src, const ImageInfo& image, const EndInfo& end);

// One line on what follows the end record, for listings.
std::string describeTrailer(const TrailerInfo& trailer, const ImageInfo& image);

// The first PKCS#7 entry of the certificate table, the primary signature,
// or null when there is none.
const CertificateEntry* primarySignature(const TrailerInfo& trailer);

struct ByteRange {
    uint64_t offset;
    uint64_t size;
};

// The bytes a code signature's digest covers: the whole file up to the
// certificate table except the CheckSum field and the security directory
// entry.  A signing tool pads the unsigned file with zeros to a multiple of
// 8 before hashing; in a signed container those zeros lie in the file
// before the table, so they are covered as they stand.  The image and
// payload are one run of bytes here (headers, sections, then the payload
// as data after the last section), which is what the section-by-section
// order of the Authenticode hash comes to for such a file.
std::vector<ByteRange> signedRanges(const ImageInfo& image);

}  // namespace sfxpack

#endif  // SFXPACK_TRAILER_H
