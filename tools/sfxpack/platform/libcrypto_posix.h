// libcrypto started without its configuration file.  Left to itself,
// OpenSSL reads openssl.cnf (OPENSSL_CONF, or the folder it was built
// for) at its first call, and that file may load engines and providers
// from disk with dlopen.  sfxpack uses only what is built into libcrypto
// (the SHA digests of the default provider, the PKCS#7 and ASN.1 decoders),
// so it starts libcrypto before any other call with
// OPENSSL_INIT_NO_LOAD_CONFIG: no machine's configuration changes what it
// computes, and the static build never reaches dlopen.
#ifndef SFXPACK_LIBCRYPTO_POSIX_H
#define SFXPACK_LIBCRYPTO_POSIX_H

#include <openssl/crypto.h>

namespace sfxpack {

inline void startLibcrypto()
{
    static const int started = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    (void)started;
}

}  // namespace sfxpack

#endif  // SFXPACK_LIBCRYPTO_POSIX_H
