// The container format as sfxpack reads and writes it: record headers,
// the launcher image's PE header fields that matter to a container, and a
// reader that walks a container and says how it ends and what trails it.
//
// Nothing here touches a file.  Containers are read through `Source`, so
// the same code runs over a file, a memory buffer in a unit test, or a
// fuzzer's input.  The layout constants and the file name rule come from
// src/payload/container.h, which the launcher compiles too.
#ifndef SFXPACK_FORMAT_H
#define SFXPACK_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/source.h"
#include "base/status.h"
#include "base/text.h"
#include "payload/container.h"

namespace sfxpack {

constexpr uint64_t kImageSize = PAYLOAD_OFFSET;
constexpr size_t kHeaderSize = RECORD_HEADER_SIZE;
constexpr size_t kNameField = RECORD_NAME_SIZE;
constexpr size_t kMaxNameLength = RECORD_NAME_SIZE - 1;  // the NUL needs a byte
constexpr int64_t kMaxRecordData = MAX_RECORD_DATA;
constexpr size_t kCopyChunk = COPY_CHUNK_SIZE;

// ---- Record headers ---------------------------------------------------

struct RecordHeader {
    int32_t size = 0;        // END_RECORD_SIZE for the end record
    std::string name;        // bytes before the first NUL (the whole field if none)
    bool terminated = false; // a NUL lies within the name field
};

// Writes a data record's header: size, name, NUL, and zeros to the end of
// the field, so equal inputs give equal bytes.  `name` must be at most
// kMaxNameLength bytes and `size` 0..kMaxRecordData.
void encodeRecordHeader(int32_t size, std::string_view name, unsigned char* out);
// The end record: size -1 and an all-zero name field.
void encodeEndRecord(unsigned char* out);
RecordHeader decodeRecordHeader(const unsigned char* in);

// Whether `name` can be a record name, and if not why.  The rule
// itself is IsPlainFileName, walking the name by characters of the code
// page that `lead` describes (null: single-byte); this adds the length
// limit and the wording.
// `shown` is how the name appears in the message (default: printableName).
Status checkName(std::string_view name, LeadByteTest lead = nullptr, std::string_view shown = {});

// The longest name a typical system has room for: paths are limited to
// 259 bytes, and the launcher puts the name behind TEMP (typically
// C:\Users\ plus a user name of up to 20 letters plus \AppData\Local\Temp)
// and the extraction folder's name.
constexpr size_t kTypicalTempLength = sizeof("C:\\Users\\") - 1 + 20 + sizeof("\\AppData\\Local\\Temp") - 1;
constexpr size_t kTypicalNameBudget = 259 - kTypicalTempLength - (sizeof(EXTRACT_FOLDER_NAME) - 1);
// A warning when a name of `bytes` bytes exceeds that budget, or empty.
std::string nameLengthWarning(size_t bytes);

// Key under which Windows would treat two names as the same file: ASCII
// letters folded to upper case (not the trail bytes of a double-byte
// character, which only look like letters).
std::string collisionKey(std::string_view name, LeadByteTest lead = nullptr);

// Remembers names to find the ones Windows would treat as the same file,
// in memory that does not grow with the names' lengths and has a limit:
// per name a 64-bit hash of its collision key and the caller's tag (a
// record's header offset, an input's index).  Keys are not kept; when two
// hashes are equal, `keyOf(tag)` gives the remembered name's key back (a
// record's header is read again) so that a collision of hashes is never
// taken for a duplicate.
class NameSet {
public:
    using KeyOf = std::function<std::string(uint64_t tag)>;
    enum class Put {
        Added,     // a name not seen before
        Replaced,  // a duplicate (its tag replaces the earlier one's when asked to)
        Full,      // a new name beyond the limit: not remembered
    };
    NameSet(KeyOf keyOf, size_t limit) : keyOf_(std::move(keyOf)), limit_(limit) {}
    // Remembers `tag` for `key`; for a duplicate, `*earlier` receives the
    // tag remembered so far, which `replace` says whether to replace.
    Put put(std::string_view key, uint64_t tag, uint64_t* earlier, bool replace = true);
    // The tag remembered for `key`.
    bool find(std::string_view key, uint64_t* tag) const;
    size_t size() const { return used_; }

private:
    struct Slot {
        uint64_t hash = 0;
        uint64_t tag = kEmpty;
    };
    static constexpr uint64_t kEmpty = ~uint64_t(0);
    // The slot that holds `key`, or the empty slot where it would go.
    size_t locate(std::string_view key, uint64_t hash) const;
    size_t emptySlot(uint64_t hash) const;

    KeyOf keyOf_;
    size_t limit_;
    size_t used_ = 0;
    std::vector<Slot> slots_;
};

// How many distinct names list, verify and extract remember of a
// container: 262,144, in an 8 MiB table at most.  Installers hold a few
// hundred files; a container of more names is still read whole, and only
// a duplicate of a name beyond the limit goes unnoticed (verify warns that
// the limit was reached; extract refuses such a container).
constexpr size_t kMaxRememberedNames = size_t(1) << 18;
// Duplicate-name warnings listed for one container; the rest are counted.
constexpr size_t kMaxListedDuplicates = 100;

// ---- The launcher image -------------------------------------------------

struct ImageInfo {
    uint64_t size = 0;          // bytes present of the image, at most kImageSize
    std::string notContainer;   // why the file cannot be a container, or empty
    std::string notPe;          // why the image is not a PE image, or empty
    std::string layoutProblem;  // why its sections do not end where the payload starts
    // The security directory (data directory 4).  Its address is a file
    // offset, unlike every other data directory's.
    uint32_t securityOffset = 0;
    uint32_t securitySize = 0;
    uint64_t securityEntryOffset = 0;  // where the directory entry itself lies
    uint64_t checksumOffset = 0;       // the optional header's CheckSum field
    bool signedImage() const { return securityOffset != 0 || securitySize != 0; }
};

// Reads the image's headers.  Fills notContainer when the file is shorter
// than an image; notPe when MZ/PE headers are missing or out of range.
ImageInfo inspectImage(Source& src);

// A stub for `create`: exactly kImageSize bytes, a PE image whose last
// section's raw data end at kImageSize, not signed.
Status checkStub(Source& src);

// Whether the first bytes of a file look like a Windows program (MZ
// header whose e_lfanew points at a PE signature within the file).
bool looksLikeWindowsProgram(Source& src);

// ---- Walking a container ------------------------------------------------

struct Record {
    uint64_t headerOffset = 0;
    uint64_t dataOffset = 0;
    uint32_t size = 0;
    std::string name;
};

enum class PayloadEnd {
    EndRecord,    // a header with size -1
    ShortHeader,  // fewer than kHeaderSize bytes left: read as complete
    BadRecord,    // a record the launcher would fail on
    NoPayload,    // the file is not even as long as the image
};

struct EndInfo {
    PayloadEnd kind = PayloadEnd::NoPayload;
    uint64_t offset = 0;  // header of the end/bad record, or where the short header starts
    std::string problem;  // for BadRecord: what is wrong with it
    std::string badName;  // for BadRecord: the name, when the name rule refused it
};

// Walks the records one at a time, so memory stays flat whatever the
// record count.
class RecordReader {
public:
    // Names are checked in the code page that `lead` describes.
    explicit RecordReader(Source& src, LeadByteTest lead = nullptr) : src_(src), lead_(lead) {}
    // The next data record, or false when the payload has ended (end()).
    bool next(Record* rec);
    const EndInfo& end() const { return end_; }

private:
    Source& src_;
    LeadByteTest lead_;
    uint64_t pos_ = kImageSize;
    bool done_ = false;
    EndInfo end_;
};

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
    std::string problem;   // for Unexplained: why it is not a certificate table
    uint64_t problemOffset = 0;
    // For CertificateTable: the first kMaxKeptCertificates entries, and the
    // first PKCS#7 entry (the primary signature) wherever it lies; the
    // others are only counted, so that memory stays flat however many
    // entries a hostile table holds.
    std::vector<CertificateEntry> entries;
    uint64_t entryCount = 0;  // all entries of the table
};

// A signed file has one entry, rarely a few.
constexpr size_t kMaxKeptCertificates = 16;

// Classifies what follows the end record at `end.offset`.
TrailerInfo inspectTrailer(Source& src, const ImageInfo& image, const EndInfo& end);

// One finding of `verify`: what is wrong and where.
using Finding = Problem;

struct Summary {
    ImageInfo image;
    EndInfo end;
    TrailerInfo trailer;
    uint64_t records = 0;
    uint64_t dataBytes = 0;
    std::vector<Problem> findings;  // everything that fails verification
    std::vector<Problem> warnings;  // duplicate names, an empty payload, a missing end record
    uint64_t namesBeyondLimit = 0;  // records whose new name the duplicate check could not remember
};

// The name in the record header at `headerOffset`, or empty when it
// cannot be read.
std::string nameAt(Source& src, uint64_t headerOffset);
// The warning for a container of more than kMaxRememberedNames names.
std::string tooManyNames();

// Reads a whole container, calling `onRecord` (if given) for each record,
// and collects what verification needs; names are checked in the code
// page that `lead` describes.  Duplicate detection remembers a hash and
// an offset per distinct name, up to kMaxRememberedNames, and lists at
// most kMaxListedDuplicates duplicates.
Summary inspectContainer(Source& src,
                         const std::function<void(const Record&)>& onRecord = {},
                         LeadByteTest lead = nullptr);

// ---- The Authenticode image hash ----------------------------------------

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

// The first PKCS#7 entry of the certificate table, the primary signature,
// or null when there is none.
const CertificateEntry* primarySignature(const TrailerInfo& trailer);

std::string describeEnd(const EndInfo& end, uint64_t fileSize);
std::string describeTrailer(const TrailerInfo& trailer, const ImageInfo& image);

}  // namespace sfxpack

#endif  // SFXPACK_FORMAT_H
