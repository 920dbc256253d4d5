// The digest names and identifiers shared by both platforms.
#include "platform/digest.h"

namespace sfxpack {

const char* digestName(DigestAlgorithm algorithm)
{
    switch (algorithm) {
    case DigestAlgorithm::Sha1: return "SHA-1";
    case DigestAlgorithm::Sha256: return "SHA-256";
    case DigestAlgorithm::Sha384: return "SHA-384";
    case DigestAlgorithm::Sha512: break;
    }
    return "SHA-512";
}

bool digestFromOid(std::string_view oid, DigestAlgorithm* algorithm)
{
    static const struct {
        const char* oid;
        DigestAlgorithm algorithm;
    } known[] = {
        {"1.3.14.3.2.26", DigestAlgorithm::Sha1},
        {"2.16.840.1.101.3.4.2.1", DigestAlgorithm::Sha256},
        {"2.16.840.1.101.3.4.2.2", DigestAlgorithm::Sha384},
        {"2.16.840.1.101.3.4.2.3", DigestAlgorithm::Sha512},
    };
    for (const auto& k : known) {
        if (oid == k.oid) {
            *algorithm = k.algorithm;
            return true;
        }
    }
    return false;
}

}  // namespace sfxpack
