// Record headers, PE header checks and the container walk.  Pure: every
// byte comes through a Source.
#include "format/format.h"

#include "base/bytes.h"
#include "format/pe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sfxpack {

namespace {

uint64_t alignUp8(uint64_t v) { return (v + 7) & ~uint64_t(7); }

// Finds the first non-zero byte in [from, to); returns `to` when there is
// none, or when the bytes cannot be read (the caller has checked the range).
uint64_t firstNonZero(Source& src, uint64_t from, uint64_t to)
{
    unsigned char buf[4096];
    while (from < to) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buf, to - from));
        if (!src.read(from, buf, n))
            return to;
        for (size_t i = 0; i < n; ++i)
            if (buf[i] != 0)
                return from + i;
        from += n;
    }
    return to;
}

// "1 byte", "5 bytes".
std::string bytes(uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

std::string quoted(std::string_view name) { return "'" + printableName(name) + "'"; }

constexpr uint16_t kCertTypePkcsSignedData = 2;

}  // namespace

// ---- Record headers ---------------------------------------------------

void encodeRecordHeader(int32_t size, std::string_view name, unsigned char* out)
{
    std::memset(out, 0, kHeaderSize);
    put32(out, static_cast<uint32_t>(size));
    std::memcpy(out + 4, name.data(), std::min(name.size(), kMaxNameLength));
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
    const char* field = reinterpret_cast<const char*>(in + 4);
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
        return Status::fail("name " + (shown.empty() ? quoted(name) : "'" + std::string(shown) + "'") +
                            " is not a plain Windows file name (it must be non-empty, without \\ / : * ? \" < > | "
                            "or control characters, not end in a dot or blank, and not be a device name)");
    return {};
}

std::string nameLengthWarning(size_t bytes)
{
    if (bytes <= kTypicalNameBudget)
        return {};
    return "the name is " + std::to_string(bytes) + " bytes; a typical system has room for " +
           std::to_string(kTypicalNameBudget) + " (259 bytes of path, less " + std::to_string(kTypicalTempLength) +
           " for a TEMP of C:\\Users\\ plus 20 letters plus \\AppData\\Local\\Temp and " +
           std::to_string(sizeof(EXTRACT_FOLDER_NAME) - 1) +
           " for the extraction folder's name), so the launcher may fail with \"The path is too long.\"";
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

// ---- The launcher image -------------------------------------------------

ImageInfo inspectImage(Source& src)
{
    ImageInfo info;
    const uint64_t total = src.size();
    info.size = std::min(total, kImageSize);
    if (total < kImageSize)
        info.notContainer = "not a container (image is " + std::to_string(total) +
                            " bytes, expected " + std::to_string(kImageSize) + ")";

    const PeImage pe = readPeImage(src, info.size);
    if (Status status = pe.status(); !status.ok()) {
        info.notPe = status.message();
        return info;
    }
    // The payload starts where the last section's raw data ends; anything
    // else means the image was not made for this container.
    uint64_t rawEnd = 0;
    for (const PeSection& s : pe.sections)
        if (s.rawSize != 0)
            rawEnd = std::max(rawEnd, s.rawEnd());
    if (rawEnd != kImageSize)
        info.layoutProblem = "the image's sections end at offset " + std::to_string(rawEnd) + ", not at " +
                             std::to_string(kImageSize) + " where the payload starts";

    // A directory beyond the declared count or the optional header is absent.
    if (pe.directories.size() <= kSecurityDirectory)
        return info;
    info.securityEntryOffset = pe.directoryEntryOffset(kSecurityDirectory);
    info.checksumOffset = pe.checksumOffset();
    info.securityOffset = pe.directory(kSecurityDirectory).rva;
    info.securitySize = pe.directory(kSecurityDirectory).size;
    return info;
}

Status checkStub(Source& src)
{
    if (src.size() != kImageSize)
        return Status::fail("not a launcher image (file is " + std::to_string(src.size()) + " bytes, expected " +
                            std::to_string(kImageSize) + ")");
    ImageInfo image = inspectImage(src);
    if (!image.notPe.empty())
        return Status::fail(image.notPe);
    if (!image.layoutProblem.empty())
        return Status::fail("not a launcher image (" + image.layoutProblem + ")");
    if (image.signedImage())
        return Status::fail("already signed (its security directory points to " + std::to_string(image.securitySize) +
                            " bytes at offset " + std::to_string(image.securityOffset) +
                            "): the payload would break that signature; pack an unsigned launcher and sign "
                            "the finished container instead");
    return {};
}

bool looksLikeWindowsProgram(Source& src)
{
    const PeFault fault = readPeImage(src, src.size()).fault;
    return fault != PeFault::NoMz && fault != PeFault::LfanewPastEnd && fault != PeFault::NoSignature;
}

// ---- Walking a container ------------------------------------------------

bool RecordReader::next(Record* rec)
{
    if (done_)
        return false;
    done_ = true;
    const uint64_t total = src_.size();
    if (total < kImageSize) {
        end_ = {PayloadEnd::NoPayload, 0, inspectImage(src_).notContainer, {}};
        return false;
    }
    end_.offset = pos_;
    if (total - pos_ < kHeaderSize) {
        end_.kind = PayloadEnd::ShortHeader;
        return false;
    }
    end_.kind = PayloadEnd::BadRecord;
    unsigned char buf[kHeaderSize];
    if (!src_.read(pos_, buf, sizeof buf)) {
        end_.problem = "cannot read the record header";
        return false;
    }
    RecordHeader h = decodeRecordHeader(buf);
    if (h.size == END_RECORD_SIZE) {
        end_.kind = PayloadEnd::EndRecord;
        return false;
    }
    if (h.size < END_RECORD_SIZE) {
        end_.problem = "record size " + std::to_string(h.size) + " is not valid (below -1)";
        return false;
    }
    if (!h.terminated) {
        end_.problem = "record name has no NUL within its " + std::to_string(kNameField) + " bytes";
        return false;
    }
    if (Status name = checkName(h.name, lead_); !name.ok()) {
        end_.problem = "record " + name.message();
        end_.badName = h.name;
        return false;
    }
    const uint64_t data = pos_ + kHeaderSize;
    if (uint64_t(h.size) > total - data) {
        end_.problem = "record " + quoted(h.name) + " declares " + std::to_string(h.size) +
                       " data bytes, but only " + std::to_string(total - data) +
                       " remain in the file";
        return false;
    }
    rec->headerOffset = pos_;
    rec->dataOffset = data;
    rec->size = uint32_t(h.size);
    rec->name = std::move(h.name);
    pos_ = data + uint64_t(h.size);
    done_ = false;
    return true;
}

namespace {

// Walks the WIN_CERTIFICATE entries of a certificate table that exactly
// fills [at, end): each entry is dwLength (which counts its own 8-byte
// header), wRevision, wCertificateType and the certificate, and the next
// entry starts at the next multiple of 8.  A PKCS#7 signature is one DER
// SEQUENCE: anything behind it inside its entry, other than alignment
// zeros, is data the signature does not cover.
// Reads a source up to `end` through a 4 KiB window: a hostile table
// holds millions of 8-byte entries, which are not read one by one.
class WindowReader : public Source {
public:
    WindowReader(Source& src, uint64_t end) : src_(src), end_(end) {}
    uint64_t size() const override { return end_; }
    bool read(uint64_t at, void* out, size_t len) override
    {
        if (at < start_ || at - start_ > filled_ || len > filled_ - (at - start_)) {
            if (at > end_ || len > end_ - at || len > sizeof buf_)
                return false;
            filled_ = size_t(std::min<uint64_t>(sizeof buf_, end_ - at));
            if (!src_.read(at, buf_, filled_)) {
                filled_ = 0;
                return false;
            }
            start_ = at;
        }
        std::memcpy(out, buf_ + (at - start_), len);
        return true;
    }

private:
    Source& src_;
    uint64_t end_;
    uint64_t start_ = 0;
    size_t filled_ = 0;
    unsigned char buf_[4096];
};

bool checkCertificateEntries(Source& src, uint64_t at, uint64_t end, TrailerInfo* t)
{
    WindowReader table(src, end);
    auto fail = [t](uint64_t offset, std::string what) {
        t->kind = TrailerKind::Unexplained;
        t->problemOffset = offset;
        t->problem = std::move(what);
        return false;
    };
    if (at == end)
        return fail(at, "the certificate table is empty");
    while (at < end) {
        unsigned char head[8 + 6];
        if (end - at < 8 || !table.read(at, head, 8))
            return fail(at, "certificate entry header cut short by the end of the table");
        const uint32_t length = get32(head);
        const uint16_t type = get16(head + 6);
        if (length < 8 || length > end - at)
            return fail(at, "certificate entry length " + std::to_string(length) +
                                " does not fit the table (" + std::to_string(end - at) + " bytes left)");
        const uint64_t entryEnd = at + length;
        uint64_t contentEnd = entryEnd;
        ++t->entryCount;
        CertificateEntry entry{at, length, type, length - 8u};
        if (type == kCertTypePkcsSignedData) {
            const uint64_t der = at + 8;
            size_t got = static_cast<size_t>(std::min<uint64_t>(6, entryEnd - der));
            if (got < 2 || !table.read(der, head + 8, got) || head[8] != 0x30)
                return fail(der, "certificate entry does not hold a DER SEQUENCE");
            uint64_t len = head[9];
            size_t headerLen = 2;
            if (len & 0x80) {
                size_t n = len & 0x7f;
                if (n == 0 || n > 4 || got < 2 + n)
                    return fail(der, "certificate entry's DER length is malformed");
                len = 0;
                for (size_t i = 0; i < n; ++i)
                    len = len << 8 | head[10 + i];
                headerLen += n;
            }
            if (headerLen + len > entryEnd - der)
                return fail(der, "signature of " + std::to_string(headerLen + len) +
                                     " bytes runs past its certificate entry");
            contentEnd = der + headerLen + len;
            entry.contentSize = headerLen + len;
        }
        if (t->entries.size() < kMaxKeptCertificates ||
            (type == kCertTypePkcsSignedData && !primarySignature(*t)))
            t->entries.push_back(entry);
        const uint64_t next = std::min(alignUp8(entryEnd), end);
        if (uint64_t bad = firstNonZero(table, contentEnd, next); bad != next)
            return fail(bad, "data after the signature inside the certificate table");
        at = next;
    }
    return true;
}

}  // namespace

TrailerInfo inspectTrailer(Source& src, const ImageInfo& image, const EndInfo& end)
{
    TrailerInfo t;
    if (end.kind != PayloadEnd::EndRecord)
        return t;
    const uint64_t total = src.size();
    t.offset = end.offset + kHeaderSize;
    t.size = total - t.offset;
    if (t.size == 0)
        return t;

    auto fail = [&t](uint64_t offset, std::string what) {
        t.kind = TrailerKind::Unexplained;
        t.problemOffset = offset;
        t.problem = std::move(what);
        return t;
    };
    if (!image.signedImage())
        return fail(t.offset, "the image's security directory is empty, so nothing should follow "
                              "the end record");
    const uint64_t table = image.securityOffset;
    const uint64_t tableEnd = table + image.securitySize;
    if (table < t.offset)
        return fail(t.offset, "the security directory points to offset " + std::to_string(table) +
                                  ", inside the launcher image or the payload");
    if (table != alignUp8(t.offset))
        return fail(t.offset, bytes(table - t.offset) +
                                  " between the end record and the certificate table at offset " +
                                  std::to_string(table) + " (only zero padding to a multiple of 8 belongs there)");
    if (tableEnd > total)
        return fail(std::min(table, total), "the certificate table (" + std::to_string(image.securitySize) +
                               " bytes) runs past the end of the file");
    if (uint64_t bad = firstNonZero(src, t.offset, table); bad != table)
        return fail(bad, "non-zero byte in the padding before the certificate table");
    if (tableEnd < total)
        return fail(tableEnd, bytes(total - tableEnd) + " after the certificate table (" +
                                  std::to_string(image.securitySize) + " bytes at offset " +
                                  std::to_string(table) + ")");
    t.padding = table - t.offset;
    if (checkCertificateEntries(src, table, tableEnd, &t))
        t.kind = TrailerKind::CertificateTable;
    return t;
}

std::string nameAt(Source& src, uint64_t headerOffset)
{
    unsigned char buf[kHeaderSize];
    return src.read(headerOffset, buf, sizeof buf) ? decodeRecordHeader(buf).name : std::string();
}

std::string tooManyNames()
{
    return "more than " + std::to_string(kMaxRememberedNames) +
           " distinct names: sfxpack remembers that many, so from here on a duplicate of a name not among "
           "them is not reported";
}

Summary inspectContainer(Source& src, const std::function<void(const Record&)>& onRecord, LeadByteTest lead)
{
    Summary s;
    s.image = inspectImage(src);
    if (!s.image.notContainer.empty()) {
        s.end.problem = s.image.notContainer;
        s.findings.push_back({0, s.image.notContainer});
        return s;
    }
    if (!s.image.notPe.empty())
        s.findings.push_back({0, s.image.notPe});
    if (!s.image.layoutProblem.empty())
        s.findings.push_back({0, s.image.layoutProblem});

    NameSet seen([&src, lead](uint64_t at) { return collisionKey(nameAt(src, at), lead); }, kMaxRememberedNames);
    size_t listed = 0;
    uint64_t unlisted = 0, firstUnlisted = 0;
    RecordReader reader(src, lead);
    Record rec;
    while (reader.next(&rec)) {
        ++s.records;
        s.dataBytes += rec.size;
        uint64_t earlier = 0;
        switch (seen.put(collisionKey(rec.name, lead), rec.headerOffset, &earlier)) {
        case NameSet::Put::Added:
            break;
        case NameSet::Put::Replaced:
            if (listed < kMaxListedDuplicates) {
                ++listed;
                s.warnings.push_back({rec.headerOffset, "duplicate name " + quoted(rec.name) +
                                                            " (same file on Windows as " +
                                                            quoted(nameAt(src, earlier)) + " at offset " +
                                                            std::to_string(earlier) +
                                                            "): the launcher keeps the later one"});
            } else if (unlisted++ == 0) {
                firstUnlisted = rec.headerOffset;
            }
            break;
        case NameSet::Put::Full:
            if (!s.namesBeyondLimit++)
                s.warnings.push_back({rec.headerOffset, tooManyNames()});
            break;
        }
        if (onRecord)
            onRecord(rec);
    }
    if (unlisted)
        s.warnings.push_back({firstUnlisted, std::to_string(unlisted) + " more duplicate name" +
                                                 (unlisted == 1 ? "" : "s") + " from here on, not listed"});
    s.end = reader.end();
    if (s.records == 0 && s.end.kind != PayloadEnd::BadRecord && s.end.kind != PayloadEnd::NoPayload)
        s.warnings.push_back({kImageSize, "the container holds no record: the launcher would find nothing "
                                          "to run and show \"Unable to launch\""});
    switch (s.end.kind) {
    case PayloadEnd::EndRecord:
        s.trailer = inspectTrailer(src, s.image, s.end);
        if (s.trailer.kind == TrailerKind::Unexplained)
            s.findings.push_back({s.trailer.problemOffset, "data after the end record: " + s.trailer.problem});
        else if (s.trailer.kind == TrailerKind::Nothing && s.image.signedImage())
            s.findings.push_back({s.image.securityEntryOffset,
                                  "the security directory points to " + std::to_string(s.image.securitySize) +
                                      " bytes at offset " + std::to_string(s.image.securityOffset) +
                                      ", but nothing follows the end record"});
        break;
    case PayloadEnd::ShortHeader:
        s.findings.push_back({s.end.offset, describeEnd(s.end, src.size())});
        break;
    case PayloadEnd::BadRecord:
        s.findings.push_back({s.end.offset, s.end.problem});
        break;
    case PayloadEnd::NoPayload:
        break;
    }
    return s;
}

std::string describeEnd(const EndInfo& end, uint64_t fileSize)
{
    switch (end.kind) {
    case PayloadEnd::EndRecord:
        return "end record at offset " + formatOffset(end.offset);
    case PayloadEnd::ShortHeader:
        if (fileSize == end.offset)
            return "no end record: the file ends at offset " + formatOffset(end.offset) +
                   " (the launcher reads this as complete)";
        return "no end record: " + bytes(fileSize - end.offset) + " at offset " +
               formatOffset(end.offset) + ", too short for a header (the launcher reads this as complete)";
    case PayloadEnd::BadRecord:
        return "bad record at offset " + formatOffset(end.offset) + ": " + end.problem;
    case PayloadEnd::NoPayload:
        break;
    }
    return end.problem;
}

std::string describeTrailer(const TrailerInfo& t, const ImageInfo& image)
{
    switch (t.kind) {
    case TrailerKind::Nothing:
        return "nothing follows the end record";
    case TrailerKind::CertificateTable: {
        std::string s = bytes(t.size) + " after the end record: ";
        if (t.padding)
            s += bytes(t.padding) + " of zero padding, then ";
        return s + "certificate table (" + std::to_string(image.securitySize) + " bytes) at offset " +
               formatOffset(image.securityOffset) + ", referenced by the image's security directory";
    }
    case TrailerKind::Unexplained:
        break;
    }
    return bytes(t.size) + " after the end record at offset " + formatOffset(t.offset) +
           ": unexplained data (" + t.problem + ", at offset " + formatOffset(t.problemOffset) + ")";
}

std::vector<ByteRange> signedRanges(const ImageInfo& image)
{
    std::vector<ByteRange> ranges;
    uint64_t at = 0;
    const ByteRange skipped[] = {{image.checksumOffset, 4}, {image.securityEntryOffset, 8}};
    for (const ByteRange& skip : skipped) {
        ranges.push_back({at, skip.offset - at});
        at = skip.offset + skip.size;
    }
    ranges.push_back({at, image.securityOffset - at});
    return ranges;
}

const CertificateEntry* primarySignature(const TrailerInfo& trailer)
{
    for (const CertificateEntry& e : trailer.entries)
        if (e.type == kCertTypePkcsSignedData)
            return &e;
    return nullptr;
}

}  // namespace sfxpack
