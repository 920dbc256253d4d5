// Digests with BCrypt (CNG).  The algorithm providers are opened once per
// digest; sfxpack computes only a handful of them per run.
#include "platform/digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <memory>

namespace sfxpack {

struct Digest::State {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State()
    {
        if (hash)
            BCryptDestroyHash(hash);
        if (alg)
            BCryptCloseAlgorithmProvider(alg, 0);
    }
};

Digest::Digest(std::unique_ptr<State> state) : state_(std::move(state)) {}
Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

Result<Digest> Digest::start(DigestAlgorithm algorithm)
{
    const wchar_t* id = BCRYPT_SHA512_ALGORITHM;
    switch (algorithm) {
    case DigestAlgorithm::Sha1: id = BCRYPT_SHA1_ALGORITHM; break;
    case DigestAlgorithm::Sha256: id = BCRYPT_SHA256_ALGORITHM; break;
    case DigestAlgorithm::Sha384: id = BCRYPT_SHA384_ALGORITHM; break;
    case DigestAlgorithm::Sha512: break;
    }
    auto state = std::make_unique<State>();
    NTSTATUS status = BCryptOpenAlgorithmProvider(&state->alg, id, nullptr, 0);
    if (status >= 0)
        status = BCryptCreateHash(state->alg, &state->hash, nullptr, 0, nullptr, 0, 0);
    if (status < 0) {
        char buf[16];
        wsprintfA(buf, "0x%08lx", static_cast<unsigned long>(status));
        return Status::fail(std::string(digestName(algorithm)) + " is not available: BCrypt status " + buf);
    }
    return Digest(std::move(state));
}

void Digest::update(const void* data, size_t len)
{
    // BCryptHashData takes a ULONG length and a non-const pointer.
    auto* p = static_cast<unsigned char*>(const_cast<void*>(data));
    while (len > 0) {
        const ULONG n = len > 0x40000000 ? 0x40000000 : ULONG(len);
        BCryptHashData(state_->hash, p, n, 0);
        p += n;
        len -= n;
    }
}

std::string Digest::finish()
{
    DWORD length = 0, got = 0;
    if (BCryptGetProperty(state_->alg, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&length),
                                   sizeof length, &got, 0) < 0)
        return {};
    std::string out(length, '\0');
    if (BCryptFinishHash(state_->hash, reinterpret_cast<PUCHAR>(&out[0]), length, 0) < 0)
        return {};
    return out;
}

}  // namespace sfxpack
