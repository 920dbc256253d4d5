// The container's layout as sfxpack sees it: the launcher image fills the
// first kImageSize bytes, records follow, each a fixed-size header (size,
// NUL-terminated name) and its data.  The numbers come from
// src/payload/container.h, which the launcher compiles too.
#ifndef SFXPACK_LAYOUT_H
#define SFXPACK_LAYOUT_H

#include <cstddef>
#include <cstdint>

#include "payload/container.h"

namespace sfxpack {

constexpr uint64_t kImageSize = PAYLOAD_OFFSET;
constexpr size_t kHeaderSize = RECORD_HEADER_SIZE;
constexpr size_t kNameOffset = RECORD_NAME_OFFSET;
constexpr size_t kNameField = RECORD_NAME_SIZE;
constexpr size_t kMaxNameLength = RECORD_NAME_SIZE - 1;  // the NUL needs a byte
constexpr int64_t kMaxRecordData = MAX_RECORD_DATA;

}  // namespace sfxpack

#endif  // SFXPACK_LAYOUT_H
