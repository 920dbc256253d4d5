// The whole-container check behind `list` and `verify`.
#include "format/summary.h"

#include "format/record.h"
#include "format/wording.h"

namespace sfxpack {

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

namespace {

// The duplicate-name check over the records in file order: the first
// kMaxListedDuplicates duplicates warned about one by one, the rest
// counted, and one warning when the set of names is full.
class DuplicateNames {
public:
    DuplicateNames(Source& src, LeadByteTest lead)
        : src_(src), lead_(lead),
          seen_([&src, lead](uint64_t at) { return collisionKey(nameAt(src, at), lead); }, kMaxRememberedNames)
    {
    }

    void check(const Record& rec, Summary& s)
    {
        uint64_t earlier = 0;
        switch (seen_.put(collisionKey(rec.name, lead_), rec.headerOffset, &earlier)) {
        case NameSet::Put::Added:
            break;
        case NameSet::Put::Replaced:
            if (listed_ < kMaxListedDuplicates) {
                ++listed_;
                s.warnings.push_back({rec.headerOffset, "duplicate name " + quotedName(rec.name) +
                                                            " (same file on Windows as " +
                                                            quotedName(nameAt(src_, earlier)) + " at offset " +
                                                            std::to_string(earlier) +
                                                            "): the launcher keeps the later one"});
            } else if (unlisted_++ == 0) {
                firstUnlisted_ = rec.headerOffset;
            }
            break;
        case NameSet::Put::Full:
            if (!s.namesBeyondLimit++)
                s.warnings.push_back({rec.headerOffset, tooManyNames()});
            break;
        }
    }

    // The count of the duplicates not listed, if any.
    void finish(Summary& s) const
    {
        if (unlisted_)
            s.warnings.push_back({firstUnlisted_, std::to_string(unlisted_) + " more duplicate name" +
                                                      (unlisted_ == 1 ? "" : "s") + " from here on, not listed"});
    }

private:
    Source& src_;
    LeadByteTest lead_;
    NameSet seen_;
    size_t listed_ = 0;
    uint64_t unlisted_ = 0, firstUnlisted_ = 0;
};

// What the payload's end and the data behind it add to the findings.
void checkEnd(Source& src, Summary& s)
{
    switch (s.end.kind) {
    case PayloadEnd::EndRecord:
        s.trailer = inspectTrailer(src, s.image, s.end);
        if (s.trailer.kind == TrailerKind::Unexplained)
            s.findings.push_back({s.trailer.problem.offset(), "data after the end record: " +
                                                                  s.trailer.problem.message()});
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
        s.findings.push_back(s.end.problem.problem());
        break;
    case PayloadEnd::NoPayload:
        break;
    }
}

}  // namespace

Summary inspectContainer(Source& src, const std::function<void(const Record&)>& onRecord, LeadByteTest lead)
{
    Summary s;
    s.image = inspectImage(src);
    if (!s.image.container.ok()) {
        s.end.problem = s.image.container;
        s.findings.push_back(s.image.container.problem());
        return s;
    }
    // Problems of the image are listed at offset 0, the image as a whole.
    if (!s.image.pe.ok())
        s.findings.push_back({0, s.image.pe.message()});
    if (!s.image.layout.ok())
        s.findings.push_back({0, s.image.layout.message()});

    DuplicateNames duplicates(src, lead);
    RecordReader reader(src, lead);
    Record rec;
    while (reader.next(&rec)) {
        ++s.records;
        s.dataBytes += rec.size;
        duplicates.check(rec, s);
        if (onRecord)
            onRecord(rec);
    }
    duplicates.finish(s);
    s.end = reader.end();
    if (s.records == 0 && s.end.kind != PayloadEnd::BadRecord && s.end.kind != PayloadEnd::NoPayload)
        s.warnings.push_back({kImageSize, "the container holds no record: the launcher would find nothing "
                                          "to run and show \"Unable to launch\""});
    checkEnd(src, s);
    return s;
}

}  // namespace sfxpack
