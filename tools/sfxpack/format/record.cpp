// Record headers, the name rule's wording and the name set.
#include "format/record.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "format/wording.h"

namespace sfxpack {

void encodeRecordHeader(int32_t size, std::string_view name, unsigned char* out)
{
    std::memset(out, 0, kHeaderSize);
    put32(out, static_cast<uint32_t>(size));
    std::memcpy(out + kNameOffset, name.data(), std::min(name.size(), kMaxNameLength));
}

void encodeEndRecord(unsigned char* out)
{
    std::memset(out, 0, kHeaderSize);
    put32(out, static_cast<uint32_t>(END_RECORD_SIZE));
}

RecordHeader decodeRecordHeader(const unsigned char* in)
{
    RecordHeader h;
    h.size = static_cast<int32_t>(get32(in));
    const char* field = reinterpret_cast<const char*>(in + kNameOffset);
    const void* nul = std::memchr(field, 0, kNameField);
    h.terminated = nul != nullptr;
    h.name.assign(field, h.terminated ? static_cast<const char*>(nul) - field : kNameField);
    return h;
}

Status checkName(std::string_view name, LeadByteTest lead, std::string_view shown)
{
    if (name.size() > kMaxNameLength)
        return Status::fail("name is " + std::to_string(name.size()) + " bytes, longer than the " +
               std::to_string(kMaxNameLength) + " a record can hold");
    char field[kNameField] = {};
    std::memcpy(field, name.data(), name.size());
    if (name.find('\0') != std::string_view::npos || !IsPlainFileName(field, sizeof field, lead))
        return Status::fail("name " + (shown.empty() ? quotedName(name) : "'" + std::string(shown) + "'") +
                            " is not a plain Windows file name (it must be non-empty, without \\ / : * ? \" < > | "
                            "or control characters, not end in a dot or blank, and not be a device name)");
    return {};
}

Status fitsTypicalPath(size_t bytes)
{
    if (bytes <= kTypicalNameBudget)
        return {};
    return Status::fail("the name is " + std::to_string(bytes) + " bytes; a typical system has room for " +
                        std::to_string(kTypicalNameBudget) + " (259 bytes of path, less " +
                        std::to_string(kTypicalTempLength) +
                        " for a TEMP of C:\\Users\\ plus 20 letters plus \\AppData\\Local\\Temp and " +
                        std::to_string(sizeof(EXTRACT_FOLDER_NAME) - 1) +
                        " for the extraction folder's name), so the launcher may fail with "
                        "\"The path is too long.\"");
}

std::string collisionKey(std::string_view name, LeadByteTest lead)
{
    std::string key(name);
    for (size_t i = 0; i < key.size(); ++i) {
        char& c = key[i];
        if (lead && lead(static_cast<unsigned char>(c)))
            ++i;
        else if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return key;
}

namespace {

// FNV-1a, then a final mix so that the low bits, which pick the slot,
// depend on every byte.
uint64_t hashKey(std::string_view key)
{
    uint64_t h = 0xcbf29ce484222325u;
    for (unsigned char c : key)
        h = (h ^ c) * 0x100000001b3u;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdu;
    return h ^ (h >> 33);
}

}  // namespace

size_t NameSet::locate(std::string_view key, uint64_t hash) const
{
    const size_t mask = slots_.size() - 1;
    for (size_t i = size_t(hash) & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.tag == kEmpty || (slot.hash == hash && keyOf_(slot.tag) == key))
            return i;
    }
}

size_t NameSet::emptySlot(uint64_t hash) const
{
    const size_t mask = slots_.size() - 1;
    size_t i = size_t(hash) & mask;
    while (slots_[i].tag != kEmpty)
        i = (i + 1) & mask;
    return i;
}

NameSet::Put NameSet::put(std::string_view key, uint64_t tag, uint64_t* earlier, bool replace)
{
    const uint64_t hash = hashKey(key);
    if (!slots_.empty()) {
        Slot& slot = slots_[locate(key, hash)];
        if (slot.tag != kEmpty) {
            *earlier = slot.tag;
            if (replace)
                slot.tag = tag;
            return Put::Replaced;
        }
    }
    if (used_ >= limit_)
        return Put::Full;
    // At most half the slots are in use, so that a probe ends soon.
    if ((used_ + 1) * 2 > slots_.size()) {
        std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old)
            if (slot.tag != kEmpty)
                slots_[emptySlot(slot.hash)] = slot;
    }
    slots_[emptySlot(hash)] = {hash, tag};
    ++used_;
    return Put::Added;
}

bool NameSet::find(std::string_view key, uint64_t* tag) const
{
    if (slots_.empty())
        return false;
    const Slot& slot = slots_[locate(key, hashKey(key))];
    if (slot.tag == kEmpty)
        return false;
    *tag = slot.tag;
    return true;
}

}  // namespace sfxpack
