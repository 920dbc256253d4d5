// The trailer behind the end record: the certificate table's entries,
// read through a window however many they are, and the signed byte ranges.
#include "format/trailer.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "base/text.h"
#include "format/wording.h"

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

constexpr uint16_t kCertTypePkcsSignedData = 2;

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

}  // namespace

// Each entry is dwLength (which counts its own 8-byte
// header), wRevision, wCertificateType and the certificate, and the next
// entry starts at the next multiple of 8.  A PKCS#7 signature is one DER
// SEQUENCE: anything behind it inside its entry, other than alignment
// zeros, is data the signature does not cover.
Status readCertificateEntries(Source& src, uint64_t at, uint64_t end, TrailerInfo* t)
{
    WindowReader table(src, end);
    if (at == end)
        return Status::failAt(at, "the certificate table is empty");
    while (at < end) {
        unsigned char head[8 + 6];
        if (end - at < 8 || !table.read(at, head, 8))
            return Status::failAt(at, "certificate entry header cut short by the end of the table");
        const uint32_t length = get32(head);
        const uint16_t type = get16(head + 6);
        if (length < 8 || length > end - at)
            return Status::failAt(at, "certificate entry length " + std::to_string(length) +
                                          " does not fit the table (" + std::to_string(end - at) + " bytes left)");
        const uint64_t entryEnd = at + length;
        uint64_t contentEnd = entryEnd;
        ++t->entryCount;
        CertificateEntry entry{at, length, type, length - 8u};
        if (type == kCertTypePkcsSignedData) {
            const uint64_t der = at + 8;
            size_t got = static_cast<size_t>(std::min<uint64_t>(6, entryEnd - der));
            if (got < 2 || !table.read(der, head + 8, got) || head[8] != 0x30)
                return Status::failAt(der, "certificate entry does not hold a DER SEQUENCE");
            uint64_t len = head[9];
            size_t headerLen = 2;
            if (len & 0x80) {
                size_t n = len & 0x7f;
                if (n == 0 || n > 4 || got < 2 + n)
                    return Status::failAt(der, "certificate entry's DER length is malformed");
                len = 0;
                for (size_t i = 0; i < n; ++i)
                    len = len << 8 | head[10 + i];
                headerLen += n;
            }
            if (headerLen + len > entryEnd - der)
                return Status::failAt(der, "signature of " + std::to_string(headerLen + len) +
                                               " bytes runs past its certificate entry");
            contentEnd = der + headerLen + len;
            entry.contentSize = headerLen + len;
        }
        if (t->entries.size() < kMaxKeptCertificates ||
            (type == kCertTypePkcsSignedData && !primarySignature(*t)))
            t->entries.push_back(entry);
        const uint64_t next = std::min(alignUp8(entryEnd), end);
        if (uint64_t bad = firstNonZero(table, contentEnd, next); bad != next)
            return Status::failAt(bad, "data after the signature inside the certificate table");
        at = next;
    }
    return {};
}

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
        t.problem = Status::failAt(offset, std::move(what));
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
        return fail(t.offset, byteCount(table - t.offset) +
                                  " between the end record and the certificate table at offset " +
                                  std::to_string(table) + " (only zero padding to a multiple of 8 belongs there)");
    if (tableEnd > total)
        return fail(std::min(table, total), "the certificate table (" + std::to_string(image.securitySize) +
                               " bytes) runs past the end of the file");
    if (uint64_t bad = firstNonZero(src, t.offset, table); bad != table)
        return fail(bad, "non-zero byte in the padding before the certificate table");
    if (tableEnd < total)
        return fail(tableEnd, byteCount(total - tableEnd) + " after the certificate table (" +
                                  std::to_string(image.securitySize) + " bytes at offset " +
                                  std::to_string(table) + ")");
    t.padding = table - t.offset;
    t.problem = readCertificateEntries(src, table, tableEnd, &t);
    t.kind = t.problem.ok() ? TrailerKind::CertificateTable : TrailerKind::Unexplained;
    return t;
}

std::string describeTrailer(const TrailerInfo& t, const ImageInfo& image)
{
    switch (t.kind) {
    case TrailerKind::Nothing:
        return "nothing follows the end record";
    case TrailerKind::CertificateTable: {
        std::string s = byteCount(t.size) + " after the end record: ";
        if (t.padding)
            s += byteCount(t.padding) + " of zero padding, then ";
        return s + "certificate table (" + std::to_string(image.securitySize) + " bytes) at offset " +
               formatOffset(image.securityOffset) + ", referenced by the image's security directory";
    }
    case TrailerKind::Unexplained:
        break;
    }
    return byteCount(t.size) + " after the end record at offset " + formatOffset(t.offset) +
           ": unexplained data (" + t.problem.message() + ", at offset " + formatOffset(t.problem.offset()) +
           ")";
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
