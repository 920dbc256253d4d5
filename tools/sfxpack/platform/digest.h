// Message digests from the platform's library: OpenSSL's libcrypto on
// POSIX systems, BCrypt on Windows.
#ifndef SFXPACK_DIGEST_H
#define SFXPACK_DIGEST_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace sfxpack {

enum class DigestAlgorithm { Sha1, Sha256, Sha384, Sha512 };

const char* digestName(DigestAlgorithm algorithm);  // "SHA-256"
// The algorithm an object identifier in dotted form names; false for one
// that sfxpack does not compute.
bool digestFromOid(std::string_view oid, DigestAlgorithm* algorithm);

class Digest {
public:
    explicit Digest(DigestAlgorithm algorithm);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    // False when the library could not set the algorithm up; error() says why.
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    void update(const void* data, size_t len);
    // The digest's bytes; the object is spent afterwards.
    std::string finish();

private:
    struct State;
    std::unique_ptr<State> state_;
    std::string error_;
};

}  // namespace sfxpack

#endif  // SFXPACK_DIGEST_H
