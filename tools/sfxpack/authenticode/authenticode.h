// Whether a signed container still holds what was signed: the file's
// Authenticode digest, recomputed, against the digest inside its primary
// signature.  Reads through a Source, like the format code.
#ifndef SFXPACK_AUTHENTICODE_H
#define SFXPACK_AUTHENTICODE_H

#include <string>
#include <vector>

#include "format/summary.h"
#include "format/trailer.h"
#include "platform/digest.h"

namespace sfxpack {

// Feeds the bytes of `ranges` to `digest`; false when a read fails.
bool digestRanges(Source& src, const std::vector<ByteRange>& ranges, Digest& digest);

enum class SignatureState {
    Unsigned,    // no certificate table
    Matches,     // the file's digest is the one the signature holds
    Changed,     // it is not: the file was changed after signing
    Unreadable,  // no digest could be read or computed
};

struct SignatureCheck {
    SignatureState state = SignatureState::Unsigned;
    uint64_t offset = 0;     // the signature's certificate entry
    std::string algorithm;   // "SHA-256"
    std::string fileDigest;  // hexadecimal
    std::string signedDigest;
    std::string message;     // the finding, or what a match does and does not mean
    std::vector<std::string> nested;  // the further signatures, named, unchecked
};

// Checks the primary signature of a container whose structure `summary`
// describes.  Only a container whose trailer is a well-formed certificate
// table counts as signed.
SignatureCheck checkSignature(Source& src, const Summary& summary);

const char* signatureStateName(SignatureState state);  // "unsigned", "matches", ...

}  // namespace sfxpack

#endif  // SFXPACK_AUTHENTICODE_H
