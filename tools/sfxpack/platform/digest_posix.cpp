// Digests with OpenSSL's EVP interface.
#include "platform/digest.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

#include "platform/libcrypto_posix.h"

namespace sfxpack {

struct Digest::State {
    EVP_MD_CTX* ctx = nullptr;
    ~State() { EVP_MD_CTX_free(ctx); }
};

Digest::Digest(std::unique_ptr<State> state) : state_(std::move(state)) {}
Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

Result<Digest> Digest::start(DigestAlgorithm algorithm)
{
    startLibcrypto();
    const EVP_MD* md = nullptr;
    switch (algorithm) {
    case DigestAlgorithm::Sha1: md = EVP_sha1(); break;
    case DigestAlgorithm::Sha256: md = EVP_sha256(); break;
    case DigestAlgorithm::Sha384: md = EVP_sha384(); break;
    case DigestAlgorithm::Sha512: md = EVP_sha512(); break;
    }
    auto state = std::make_unique<State>();
    state->ctx = EVP_MD_CTX_new();
    if (!state->ctx || !EVP_DigestInit_ex(state->ctx, md, nullptr)) {
        char buf[256];
        ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
        return Status::fail(std::string(digestName(algorithm)) + " is not available: " + buf);
    }
    return Digest(std::move(state));
}

void Digest::update(const void* data, size_t len) { EVP_DigestUpdate(state_->ctx, data, len); }

std::string Digest::finish()
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_DigestFinal_ex(state_->ctx, md, &len))
        return {};
    return std::string(reinterpret_cast<char*>(md), len);
}

}  // namespace sfxpack
