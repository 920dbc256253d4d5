// The signed-content check: locate the primary signature, read the digest
// it holds, and hash the file's signed bytes with the same algorithm.
#include "authenticode/authenticode.h"

#include <algorithm>

#include "authenticode/judge.h"
#include "base/text.h"
#include "format/pe.h"
#include "platform/signature.h"

namespace sfxpack {

namespace {

// Signatures are a few kilobytes; a larger one is not read, so that
// memory stays flat whatever the file holds.
constexpr uint64_t kMaxSignatureSize = 4u << 20;
constexpr size_t kReadChunk = 1u << 20;

// The table's entries beside the primary one `entry`, which Windows does
// not read: named as many as the trailer kept, the others counted.
std::vector<std::string> furtherEntries(const TrailerInfo& trailer, const CertificateEntry* entry)
{
    std::vector<std::string> names;
    for (const CertificateEntry& e : trailer.entries)
        if (&e != entry)
            names.push_back("a further certificate entry (type " + std::to_string(e.type) + ") at offset " +
                            std::to_string(e.offset));
    if (uint64_t more = trailer.entryCount - trailer.entries.size())
        names.push_back(std::to_string(more) + " more certificate entr" + (more == 1 ? "y" : "ies"));
    return names;
}

SignatureCheck unreadable(uint64_t offset, const std::string& why)
{
    SignatureCheck check;
    check.offset = offset;
    check.state = SignatureState::Unreadable;
    check.message = "the signature cannot be checked: " + why;
    return check;
}

// What a signature whose digest matches comes to: the first check it
// fails, or that it holds and how far it was judged.
std::string matchedMessage(const SignatureCheck& check, const TrustOptions& opt)
{
    if (Status failed = signerFailure(check.signer); !failed.ok())
        return failed.message();
    for (size_t i = 0; i < check.nested.size(); ++i)
        if (!check.nested[i].passes())
            return "nested signature " + std::to_string(i + 1) + ": " + check.nested[i].message;
    return check.algorithm + " digest matches the signature and the signature is intact; " +
           describeTrust(check.signer, opt.caName);
}

// Checks the signature `sig` against the bytes `ranges` of `src` cover.
SignatureCheck checkSigned(Source& src, const std::vector<ByteRange>& ranges, const SignedDigest& sig,
                           uint64_t offset, const TrustOptions& opt)
{
    DigestAlgorithm alg;
    if (!digestFromOid(sig.algorithmOid, &alg))
        return unreadable(offset, "its digest algorithm " + sig.algorithmOid + " is not one sfxpack computes");
    SignatureCheck check;
    check.offset = offset;
    check.algorithm = digestName(alg);
    check.signedDigest = hexDigits(sig.digest);
    Result<Digest> digest = Digest::start(alg);
    if (!digest)
        return unreadable(offset, digest.message());
    if (!digestRanges(src, ranges, *digest))
        return unreadable(offset, "the file cannot be read");
    check.fileDigest = hexDigits(digest->finish());
    if (check.fileDigest != check.signedDigest) {
        check.state = SignatureState::Changed;
        check.message = "the signed content has changed since signing (" + check.algorithm + " of the file " +
                        check.fileDigest + ", the signature holds " + check.signedDigest + ")";
        return check;
    }
    check.state = SignatureState::Matches;
    check.signer = judgeSigner(sig, opt);
    for (const Result<SignedDigest>& nested : sig.nested)
        check.nested.push_back(nested ? checkSigned(src, ranges, *nested, offset, opt)
                                      : unreadable(offset, nested.message()));
    if (sig.unreadNested)
        check.further.push_back(std::to_string(sig.unreadNested) + " more nested signature" +
                                (sig.unreadNested == 1 ? "" : "s"));
    check.message = matchedMessage(check, opt);
    return check;
}

// Checks the primary signature `entry` of the file `src` whose signed
// bytes are `ranges`; `base` is the file's offset in the container.
SignatureCheck checkEntry(Source& src, const std::vector<ByteRange>& ranges, const TrailerInfo& table,
                          const CertificateEntry& entry, uint64_t base, const TrustOptions& opt)
{
    const uint64_t offset = base + entry.offset;
    if (entry.contentSize > kMaxSignatureSize)
        return unreadable(offset, "it is " + std::to_string(entry.contentSize) + " bytes, more than the " +
                                      std::to_string(kMaxSignatureSize) + " sfxpack reads");
    std::vector<unsigned char> der(size_t(entry.contentSize));
    if (!src.read(entry.offset + 8, der.data(), der.size()))
        return unreadable(offset, "it cannot be read");
    Result<SignedDigest> read = readSignedDigest(der.data(), der.size());
    SignatureCheck check = read ? checkSigned(src, ranges, *read, offset, opt) : unreadable(offset, read.message());
    std::vector<std::string> further = furtherEntries(table, &entry);
    check.further.insert(check.further.end(), further.begin(), further.end());
    return check;
}

// The certificate table of a program whose headers `pe` describes, and
// the bytes its signature covers; fails with why it cannot be checked.
Result<std::vector<ByteRange>> programTable(Source& data, const PeImage& pe, TrailerInfo* table)
{
    const DataDirectory dir = pe.directory(kSecurityDirectory);
    const uint64_t entryEnd = pe.directoryEntryOffset(kSecurityDirectory) + 8;
    if (uint64_t(dir.rva) + dir.size > data.size() || dir.rva < entryEnd)
        return Status::fail("its security directory (" + std::to_string(dir.size) + " bytes at offset " +
                            std::to_string(dir.rva) + ") lies outside the program's " +
                            std::to_string(data.size()) + " bytes");
    if (Status read = readCertificateEntries(data, dir.rva, uint64_t(dir.rva) + dir.size, table); !read.ok())
        return read;
    ImageInfo image;
    image.checksumOffset = pe.checksumOffset();
    image.securityEntryOffset = pe.directoryEntryOffset(kSecurityDirectory);
    image.securityOffset = dir.rva;
    image.securitySize = dir.size;
    return signedRanges(image);
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

SignatureCheck checkSignature(Source& src, const Summary& summary, const TrustOptions& opt)
{
    const CertificateEntry* entry = nullptr;
    if (summary.end.kind != PayloadEnd::EndRecord || summary.trailer.kind != TrailerKind::CertificateTable ||
        !summary.image.pe.ok() || !(entry = primarySignature(summary.trailer))) {
        SignatureCheck check;
        check.message = "structure checked; this format carries no checksum, so changed content shows only "
                        "once the container is signed or its `list --sha256` is kept";
        return check;
    }
    SignatureCheck check = checkEntry(src, signedRanges(summary.image), summary.trailer, *entry, 0, opt);
    if (check.passes())
        check.message = "structure checked; " + check.message;
    return check;
}

SignatureCheck checkProgram(Source& src, const Record& r, const TrustOptions& opt)
{
    SliceSource data(src, r.dataOffset, r.size);
    const PeImage pe = readPeImage(data, data.size());
    SignatureCheck check;
    check.offset = r.dataOffset;
    if (pe.fault == PeFault::NoMz || pe.fault == PeFault::LfanewPastEnd || pe.fault == PeFault::NoSignature) {
        check.state = SignatureState::NotAProgram;
        check.message = "not a program";
        return check;
    }
    if (!pe.status().ok())
        return unreadable(r.dataOffset + pe.status().offset(), pe.status().message());
    const DataDirectory dir = pe.directory(kSecurityDirectory);
    if (dir.rva == 0 && dir.size == 0) {
        check.message = "unsigned";
        return check;
    }
    TrailerInfo table;
    Result<std::vector<ByteRange>> ranges = programTable(data, pe, &table);
    if (!ranges)
        return unreadable(r.dataOffset + (ranges.status().offset() ? ranges.status().offset() : dir.rva),
                          ranges.message());
    const CertificateEntry* entry = primarySignature(table);
    if (!entry)
        return unreadable(r.dataOffset + dir.rva, "its certificate table holds no PKCS#7 signature");
    return checkEntry(data, *ranges, table, *entry, r.dataOffset, opt);
}

bool SignatureCheck::passes() const
{
    return state == SignatureState::Matches && signerFailure(signer).ok() &&
           std::all_of(nested.begin(), nested.end(), [](const SignatureCheck& n) { return n.passes(); });
}

const char* signatureStateName(SignatureState state)
{
    switch (state) {
    case SignatureState::Unsigned: return "unsigned";
    case SignatureState::Matches: return "matches";
    case SignatureState::Changed: return "changed";
    case SignatureState::NotAProgram: return "not a program";
    case SignatureState::Unreadable: break;
    }
    return "unreadable";
}

std::vector<std::string> describeSigner(const SignatureCheck& check)
{
    if (check.state != SignatureState::Matches)
        return {};
    std::vector<std::string> lines = describeChain(check.signer);
    for (size_t i = 0; i < check.nested.size(); ++i) {
        const std::string head = "nested signature " + std::to_string(i + 1) + ": ";
        lines.push_back(head + check.nested[i].message);
        for (const std::string& line : describeSigner(check.nested[i]))
            lines.push_back(head + line);
    }
    for (const std::string& f : check.further)
        lines.push_back("also signed: " + f + ", not checked");
    return lines;
}

std::string describeProgram(const SignatureCheck& check)
{
    if (check.state != SignatureState::Matches || check.signer.chain.empty())
        return check.message;
    return check.message + "; signed by " + check.signer.chain.front().subject;
}

}  // namespace sfxpack
