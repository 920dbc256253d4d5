// Fuzz target for the container reader.  The input's first 8 bytes become
// the security directory of a fixed launcher image, the rest is what
// follows the image: records, end record and trailer as the fuzzer likes.
// The whole input is also read as a bare file, which exercises the image
// checks on short and malformed headers, and as the DER of a signature.
// A certificate table behind the end record goes through the signature
// check, as in `verify`: its primary signature is read with OpenSSL.
//
// Besides not crashing, the walk must keep its promises: records lie
// inside the file, back to back from the image on, every reported offset
// is within the file, and what is kept of a certificate table and its
// signatures stays bounded.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "authenticode/authenticode.h"
#include "format/image.h"
#include "format/record.h"
#include "format/summary.h"
#include "format/trailer.h"
#include "platform/signature.h"
#include "test_image.h"

namespace {

// The image followed by the input, without copying the 128 KiB image for
// every run.
class ImagePlusInput : public sfxpack::Source {
public:
    ImagePlusInput(const std::vector<unsigned char>& image, const uint8_t* data, size_t size)
        : image_(image), data_(data), size_(size) {}
    uint64_t size() const override { return image_.size() + size_; }
    bool read(uint64_t offset, void* buf, size_t len) override
    {
        if (offset > size() || len > size() - offset)
            return false;
        auto* out = static_cast<unsigned char*>(buf);
        while (len > 0 && offset < image_.size()) {
            *out++ = image_[size_t(offset++)];
            --len;
        }
        if (len)
            std::memcpy(out, data_ + (offset - image_.size()), len);
        return true;
    }

private:
    const std::vector<unsigned char>& image_;
    const uint8_t* data_;
    size_t size_;
};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void walk(sfxpack::Source& src)
{
    uint64_t expected = sfxpack::kImageSize;
    sfxpack::Summary s = sfxpack::inspectContainer(src, [&](const sfxpack::Record& r) {
        check(r.headerOffset == expected);
        check(r.dataOffset == r.headerOffset + sfxpack::kHeaderSize);
        check(r.dataOffset + r.size <= src.size());
        check(sfxpack::checkName(r.name).ok());
        expected = r.dataOffset + r.size;
        // Each record's own signature, read in place.
        sfxpack::SignatureCheck program = sfxpack::checkProgram(src, r);
        check(!program.message.empty() && program.offset <= src.size());
        check(program.nested.size() <= sfxpack::kMaxNestedSignatures);
    });
    if (s.end.kind != sfxpack::PayloadEnd::NoPayload)
        check(s.end.offset == expected);
    for (const auto& f : s.findings)
        check(f.offset <= src.size() && !f.what.empty());
    if (s.trailer.kind == sfxpack::TrailerKind::CertificateTable) {
        check(uint64_t(s.image.securityOffset) + s.image.securitySize == src.size());
        check(s.trailer.entries.size() <= sfxpack::kMaxKeptCertificates + 1);
        check(s.trailer.entries.size() <= s.trailer.entryCount);
    }
    sfxpack::SignatureCheck sig = sfxpack::checkSignature(src, s);
    check(!sig.message.empty() && sig.offset <= src.size());
    check(sig.nested.size() <= sfxpack::kMaxNestedSignatures);
    check(sig.further.size() <= sfxpack::kMaxKeptCertificates + 2);
    sfxpack::describeSigner(sig);
    sfxpack::describeEnd(s.end, src.size());
    sfxpack::describeTrailer(s.trailer, s.image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::vector<unsigned char> image = sfxpack::testing_image::MakePeImage();
    if (size >= 8) {
        std::memcpy(&image[sfxpack::testing_image::kSecurityEntryOffset], data, 8);
        ImagePlusInput src(image, data + 8, size - 8);
        walk(src);
    }
    sfxpack::MemorySource bare(data, size);
    walk(bare);
    sfxpack::Result<sfxpack::SignedDigest> sig = sfxpack::readSignedDigest(data, size);
    check(!sig || sig->nested.size() <= sfxpack::kMaxNestedSignatures);
    (void)sfxpack::checkStub(bare);
    sfxpack::looksLikeWindowsProgram(bare);
    return 0;
}
