// The signed-content check: locate the primary signature, read the digest
// it holds, and hash the file's signed bytes with the same algorithm.
#include "authenticode/authenticode.h"

#include <algorithm>

#include "base/text.h"
#include "platform/signature.h"

namespace sfxpack {

namespace {

// Signatures are a few kilobytes; a larger one is not read, so that
// memory stays flat whatever the file holds.
constexpr uint64_t kMaxSignatureSize = 4u << 20;
constexpr size_t kReadChunk = 1u << 20;

std::string describeNested(const Result<SignedDigest>& nested)
{
    DigestAlgorithm alg;
    if (!nested)
        return "a nested signature that cannot be read (" + nested.message() + ")";
    if (digestFromOid(nested->algorithmOid, &alg))
        return std::string("a nested ") + digestName(alg) + " signature";
    return "a nested signature with digest algorithm " + nested->algorithmOid;
}

// The signatures beside the primary one `entry` holds, named: those
// nested in it, and the table's further entries, which Windows does not
// read (named as many as the trailer kept, the others counted).
std::vector<std::string> furtherSignatures(const SignedDigest& sig, const TrailerInfo& trailer,
                                           const CertificateEntry* entry)
{
    std::vector<std::string> names;
    for (const Result<SignedDigest>& nested : sig.nested)
        names.push_back(describeNested(nested));
    if (sig.unreadNested)
        names.push_back(std::to_string(sig.unreadNested) + " more nested signature" +
                        (sig.unreadNested == 1 ? "" : "s"));
    for (const CertificateEntry& e : trailer.entries)
        if (&e != entry)
            names.push_back("a further certificate entry (type " + std::to_string(e.type) + ") at offset " +
                            std::to_string(e.offset));
    if (uint64_t more = trailer.entryCount - trailer.entries.size())
        names.push_back(std::to_string(more) + " more certificate entr" + (more == 1 ? "y" : "ies"));
    return names;
}

}  // namespace

bool digestRanges(Source& src, const std::vector<ByteRange>& ranges, Digest& digest)
{
    uint64_t total = 0;
    for (const ByteRange& r : ranges)
        total += r.size;
    std::vector<unsigned char> buf(size_t(std::min<uint64_t>(kReadChunk, std::max<uint64_t>(total, 1))));
    for (const ByteRange& r : ranges) {
        for (uint64_t done = 0; done < r.size;) {
            const size_t n = size_t(std::min<uint64_t>(buf.size(), r.size - done));
            if (!src.read(r.offset + done, buf.data(), n))
                return false;
            digest.update(buf.data(), n);
            done += n;
        }
    }
    return true;
}

const char* signatureStateName(SignatureState state)
{
    switch (state) {
    case SignatureState::Unsigned: return "unsigned";
    case SignatureState::Matches: return "matches";
    case SignatureState::Changed: return "changed";
    case SignatureState::Unreadable: break;
    }
    return "unreadable";
}

SignatureCheck checkSignature(Source& src, const Summary& summary)
{
    SignatureCheck check;
    const CertificateEntry* entry = nullptr;
    if (summary.end.kind != PayloadEnd::EndRecord || summary.trailer.kind != TrailerKind::CertificateTable ||
        !summary.image.pe.ok() || !(entry = primarySignature(summary.trailer))) {
        check.message = "structure checked; this format carries no checksum, so changed content shows only "
                        "once the container is signed or its `list --sha256` is kept";
        return check;
    }
    check.offset = entry->offset;
    auto unreadable = [&check](std::string why) {
        check.state = SignatureState::Unreadable;
        check.message = "the signature cannot be checked: " + why;
        return check;
    };
    if (entry->contentSize > kMaxSignatureSize)
        return unreadable("it is " + std::to_string(entry->contentSize) + " bytes, more than the " +
                          std::to_string(kMaxSignatureSize) + " sfxpack reads");
    std::vector<unsigned char> der(size_t(entry->contentSize));
    if (!src.read(entry->offset + 8, der.data(), der.size()))
        return unreadable("it cannot be read");
    Result<SignedDigest> read = readSignedDigest(der.data(), der.size());
    if (!read)
        return unreadable(read.message());
    const SignedDigest& sig = *read;
    check.nested = furtherSignatures(sig, summary.trailer, entry);

    DigestAlgorithm alg;
    if (!digestFromOid(sig.algorithmOid, &alg))
        return unreadable("its digest algorithm " + sig.algorithmOid + " is not one sfxpack computes");
    check.algorithm = digestName(alg);
    check.signedDigest = hexDigits(sig.digest);
    Result<Digest> digest = Digest::start(alg);
    if (!digest)
        return unreadable(digest.message());
    if (!digestRanges(src, signedRanges(summary.image), *digest))
        return unreadable("the file cannot be read");
    check.fileDigest = hexDigits(digest->finish());
    if (check.fileDigest != check.signedDigest) {
        check.state = SignatureState::Changed;
        check.message = "the signed content has changed since signing (" + check.algorithm + " of the file " +
                        check.fileDigest + ", the signature holds " + check.signedDigest + ")";
        return check;
    }
    check.state = SignatureState::Matches;
    check.message = "structure checked; " + check.algorithm +
                    " digest matches the signature; the signer's certificate was not checked "
                    "(use osslsigncode verify or signtool verify)";
    return check;
}

}  // namespace sfxpack
