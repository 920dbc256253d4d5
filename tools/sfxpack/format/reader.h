// Walking a container's records from the end of the image on, one at a
// time, and how the payload ends: at the end record, at a header cut
// short by the end of the file, or at a record the launcher would fail on.
#ifndef SFXPACK_READER_H
#define SFXPACK_READER_H

#include <cstdint>
#include <string>

#include "base/source.h"
#include "base/status.h"
#include "format/layout.h"

namespace sfxpack {

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
    Status problem;       // fails for BadRecord (at `offset`) and NoPayload (at 0): what is wrong
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

// One line on how the payload ends, for listings and warnings.
std::string describeEnd(const EndInfo& end, uint64_t fileSize);

}  // namespace sfxpack

#endif  // SFXPACK_READER_H
