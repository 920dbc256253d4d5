// A whole container read once: its image, records, end and trailer, and
// everything `list` and `verify` report about it (findings that fail
// verification, warnings that do not).
#ifndef SFXPACK_SUMMARY_H
#define SFXPACK_SUMMARY_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/source.h"
#include "base/status.h"
#include "format/image.h"
#include "format/reader.h"
#include "format/trailer.h"

namespace sfxpack {

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

// Duplicate-name warnings listed for one container; the rest are counted.
constexpr size_t kMaxListedDuplicates = 100;

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

}  // namespace sfxpack

#endif  // SFXPACK_SUMMARY_H
