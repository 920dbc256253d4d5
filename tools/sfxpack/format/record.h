// Record headers and record names: the header's bytes, the name rule and
// its wording, and the keys under which Windows would take two names for
// the same file.
#ifndef SFXPACK_RECORD_H
#define SFXPACK_RECORD_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "format/layout.h"

namespace sfxpack {

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
// Fails, with the text of a warning, when a name of `bytes` bytes exceeds
// that budget.
Status fitsTypicalPath(size_t bytes);

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

}  // namespace sfxpack

#endif  // SFXPACK_RECORD_H
