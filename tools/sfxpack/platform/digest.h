// Message digests from the platform's library: OpenSSL's libcrypto on
// POSIX systems, BCrypt on Windows.
#ifndef SFXPACK_DIGEST_H
#define SFXPACK_DIGEST_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/status.h"

namespace sfxpack {

enum class DigestAlgorithm { Sha1, Sha256, Sha384, Sha512 };

const char* digestName(DigestAlgorithm algorithm);  // "SHA-256"
// The algorithm an object identifier in dotted form names; false for one
// that sfxpack does not compute.
bool digestFromOid(std::string_view oid, DigestAlgorithm* algorithm);

class Digest {
public:
    // A digest under way, or why the library could not set the algorithm
    // up ("SHA-256 is not available: ...").
    static Result<Digest> start(DigestAlgorithm algorithm);
    ~Digest();
    Digest(Digest&&) noexcept;
    Digest& operator=(Digest&&) noexcept;

    void update(const void* data, size_t len);
    // The digest's bytes; the object is spent afterwards.
    std::string finish();

private:
    struct State;
    explicit Digest(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace sfxpack

#endif  // SFXPACK_DIGEST_H
