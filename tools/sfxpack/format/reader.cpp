// The record walk and how the payload ends.
#include "format/reader.h"

#include "base/text.h"
#include "format/image.h"
#include "format/record.h"
#include "format/wording.h"

namespace sfxpack {

bool RecordReader::next(Record* rec)
{
    if (done_)
        return false;
    done_ = true;
    const uint64_t total = src_.size();
    if (total < kImageSize) {
        end_ = {PayloadEnd::NoPayload, 0, inspectImage(src_).container, {}};
        return false;
    }
    end_.offset = pos_;
    if (total - pos_ < kHeaderSize) {
        end_.kind = PayloadEnd::ShortHeader;
        return false;
    }
    end_.kind = PayloadEnd::BadRecord;
    // A record the launcher would fail on ends the walk, at its header.
    auto bad = [this](std::string what) {
        end_.problem = Status::failAt(pos_, std::move(what));
        return false;
    };
    unsigned char buf[kHeaderSize];
    if (!src_.read(pos_, buf, sizeof buf))
        return bad("cannot read the record header");
    RecordHeader h = decodeRecordHeader(buf);
    if (h.size == END_RECORD_SIZE) {
        end_.kind = PayloadEnd::EndRecord;
        return false;
    }
    if (h.size < END_RECORD_SIZE)
        return bad("record size " + std::to_string(h.size) + " is not valid (below -1)");
    if (!h.terminated)
        return bad("record name has no NUL within its " + std::to_string(kNameField) + " bytes");
    if (Status name = checkName(h.name, lead_); !name.ok()) {
        end_.badName = h.name;
        return bad("record " + name.message());
    }
    const uint64_t data = pos_ + kHeaderSize;
    if (uint64_t(h.size) > total - data)
        return bad("record " + quotedName(h.name) + " declares " + std::to_string(h.size) +
                   " data bytes, but only " + std::to_string(total - data) + " remain in the file");
    rec->headerOffset = pos_;
    rec->dataOffset = data;
    rec->size = uint32_t(h.size);
    rec->name = std::move(h.name);
    pos_ = data + uint64_t(h.size);
    done_ = false;
    return true;
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
        return "no end record: " + byteCount(fileSize - end.offset) + " at offset " +
               formatOffset(end.offset) + ", too short for a header (the launcher reads this as complete)";
    case PayloadEnd::BadRecord:
        return "bad record at offset " + formatOffset(end.offset) + ": " + end.problem.message();
    case PayloadEnd::NoPayload:
        break;
    }
    return end.problem.ok() ? std::string() : end.problem.message();
}

}  // namespace sfxpack
