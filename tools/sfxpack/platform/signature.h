// Reading an Authenticode signature: the PKCS#7 SignedData of a
// certificate table entry, whose signed content (SpcIndirectDataContent)
// holds the digest of the signed file.  Parsed with OpenSSL on POSIX
// systems and with CryptoAPI on Windows.  Only the digest is read out: the
// signer's certificate and the signature over the content are left to
// the signing tools' own verifiers.
#ifndef SFXPACK_SIGNATURE_H
#define SFXPACK_SIGNATURE_H

#include <cstddef>
#include <string>
#include <vector>

#include "base/status.h"

namespace sfxpack {

// Object identifiers of the Authenticode structures.
constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
constexpr char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";

struct SignedDigest {
    std::string algorithmOid;  // the digest algorithm, dotted
    std::string digest;        // its bytes
    // The further signatures nested in the signer's unauthenticated
    // attributes, by their digest algorithms' identifiers (or why one
    // could not be read): at most kMaxNestedSignatures, the others are
    // only counted.
    std::vector<Result<SignedDigest>> nested;
    size_t unreadNested = 0;
};

// Real files carry one or two nested signatures; a hostile one may carry
// thousands, which are counted rather than kept.
constexpr size_t kMaxNestedSignatures = 16;

// Reads the DER of a PKCS#7 SignedData.  `nested` says whether to look for
// nested signatures (they are not searched for nested ones of their own).
// Any part may be missing or malformed: the failure then says why ("the
// signature is not a PKCS#7 SignedData").
Result<SignedDigest> readSignedDigest(const unsigned char* der, size_t len, bool nested = true);

}  // namespace sfxpack

#endif  // SFXPACK_SIGNATURE_H
