// Whether a signed file still holds what was signed, and whether the
// signature holds: the file's Authenticode digest, recomputed, against
// the digest inside its signature; the signature over the signed
// attributes; the certificate chain and the time stamp, judged against
// trusted certificates when they are given.  For the container and for
// every program inside it, read in place.  Reads through a Source, like
// the format code, and prints nothing.
#ifndef SFXPACK_AUTHENTICODE_H
#define SFXPACK_AUTHENTICODE_H

#include <string>
#include <vector>

#include "format/reader.h"
#include "format/summary.h"
#include "format/trailer.h"
#include "platform/digest.h"
#include "platform/signature.h"

namespace sfxpack {

// Feeds the bytes of `ranges` to `digest`; false when a read fails.
bool digestRanges(Source& src, const std::vector<ByteRange>& ranges, Digest& digest);

// The certificates to judge chains against: --ca, and --tsa-ca for time
// stamps (the same set when not given).  Without `ca`, trust is not
// judged.
struct TrustOptions {
    const TrustAnchors* ca = nullptr;
    std::string caName;  // the file, for messages
    const TrustAnchors* tsaCa = nullptr;
    std::string tsaCaName;
    int64_t now = 0;  // seconds since 1970, the time a signature without a valid time stamp is judged at
};

enum class SignatureState {
    Unsigned,     // no certificate table
    Matches,      // the file's digest is the one the signature holds
    Changed,      // it is not: the file was changed after signing
    Unreadable,   // no digest could be read or computed
    NotAProgram,  // a record whose data is no PE image
};

// A time stamp as judged: when, by whom, whether it holds and is trusted.
struct TimeStampCheck {
    TimeStampKind kind = TimeStampKind::None;
    int64_t time = 0;
    std::vector<CertificateFacts> chain;  // the authority's certificate first
    Status integrity;                     // its signature, digests and imprint
    Status trust;                         // against the time-stamp CA; OK when not judged
};

// The signer of a signature as judged.
struct SignerCheck {
    Status integrity;  // the message digest of the content and the signature over the attributes
    std::vector<CertificateFacts> chain;  // the signer's certificate first, then its issuers
    TimeStampCheck timeStamp;
    bool judged = false;  // trust judged (--ca given)
    Status trust;         // the chain to the CA, its validity periods and usages
    int64_t judgedAt = 0;
    bool atTimeStamp = false;  // judged at the time stamp's time, not now
};

struct SignatureCheck {
    SignatureState state = SignatureState::Unsigned;
    uint64_t offset = 0;     // the signature's certificate entry, as a file offset
    std::string algorithm;   // "SHA-256"
    std::string fileDigest;  // hexadecimal
    std::string signedDigest;
    std::string message;     // the finding, or what a match does and does not mean
    SignerCheck signer;      // when the signature could be read
    std::vector<SignatureCheck> nested;  // nested signatures, each checked as the primary one
    std::vector<std::string> further;    // what else the table holds, named, unchecked
    // Whether the signature passes every check: digest, signature,
    // time stamp, nested signatures, and trust when judged.
    bool passes() const;
};

// Checks the primary signature of a container whose structure `summary`
// describes.  Only a container whose trailer is a well-formed certificate
// table counts as signed.
SignatureCheck checkSignature(Source& src, const Summary& summary, const TrustOptions& trust = {});

// Checks the program in record `r` of `src`, in place: NotAProgram for
// data that is no PE image, else as a signed file of its own.  Offsets in
// the result are the container's.
SignatureCheck checkProgram(Source& src, const Record& r, const TrustOptions& trust = {});

const char* signatureStateName(SignatureState state);  // "unsigned", "matches", ..., "not a program"

// The report of a checked signature, a line each: its chain with validity
// periods, its time stamp, and its nested signatures (headed "nested
// signature N: "), for listings.
std::vector<std::string> describeSigner(const SignatureCheck& check);

// One line on a program's signature: its state, its signer and how it
// was judged.
std::string describeProgram(const SignatureCheck& check);

// "2026-12-10 12:34:56 UTC"
std::string formatTime(int64_t seconds);

}  // namespace sfxpack

#endif  // SFXPACK_AUTHENTICODE_H
