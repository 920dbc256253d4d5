// Reading an Authenticode signature: the PKCS#7 SignedData of a
// certificate table entry, whose signed content (SpcIndirectDataContent)
// holds the digest of the signed file.  Parsed with OpenSSL on POSIX
// systems and with CryptoAPI on Windows.
//
// The platform reads facts and checks what needs its cryptography: the
// signature over the signed attributes with the signer's key, and whether
// a chain of certificates leads to a trust anchor.  What the facts mean
// (the message digests compared, the validity periods held against a
// time, the verdict's wording) is judged above it, once for both
// platforms.
#ifndef SFXPACK_SIGNATURE_H
#define SFXPACK_SIGNATURE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace sfxpack {

// Object identifiers of the Authenticode structures.
constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
constexpr char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
// Time stamps: an RFC 3161 token in an unsigned attribute, or a PKCS #9
// counter-signature.
constexpr char kRfc3161TimeStampOid[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kCounterSignatureOid[] = "1.2.840.113549.1.9.6";
constexpr char kTstInfoOid[] = "1.2.840.113549.1.9.16.1.4";
// Signed attributes.
constexpr char kMessageDigestOid[] = "1.2.840.113549.1.9.4";
constexpr char kSigningTimeOid[] = "1.2.840.113549.1.9.5";
// Extended key usages.
constexpr char kCodeSigningUsageOid[] = "1.3.6.1.5.5.7.3.3";
constexpr char kTimeStampingUsageOid[] = "1.3.6.1.5.5.7.3.8";
constexpr char kAnyUsageOid[] = "2.5.29.37.0";

// What one X.509 certificate says about itself.
struct CertificateFacts {
    std::string subject;  // "CN=Example, O=Example Ltd"
    std::string issuer;
    int64_t notBefore = 0;  // seconds since 1970-01-01 UTC
    int64_t notAfter = 0;
    bool statesUsages = false;       // it has an extended key usage extension
    std::vector<std::string> usages;  // its usages, dotted
    std::string der;
};

// Reads a DER certificate.
Result<CertificateFacts> readCertificate(const std::string& der);

// One signer of a SignedData (or of a counter-signature): the bytes its
// message digest attribute covers and what it signed with.
struct SignerFacts {
    std::string contentType;    // dotted; empty for a counter-signature
    std::string content;        // the bytes the messageDigest attribute covers
    std::string digestOid;      // the signer's digest algorithm
    std::string messageDigest;  // the signed attribute; empty when missing
    bool hasSigningTime = false;  // a counter-signature's signingTime attribute
    int64_t signingTime = 0;
    std::string signatureValue;  // what a time stamp covers
    // The platform's check of the signature over the signed attributes
    // with the signer's key.
    Status signature;
    std::vector<CertificateFacts> certificates;  // those the SignedData carries
    int signer = -1;                             // the signer's, in `certificates`; -1: not among them
};

// A time stamp's token content (TSTInfo): when, and the digest of the
// signature value it stamped.
struct TimeStampToken {
    int64_t time = 0;
    std::string imprintOid;
    std::string imprint;
};

enum class TimeStampKind { None, Rfc3161, CounterSignature };

struct SignedDigest {
    std::string algorithmOid;  // the digest algorithm, dotted
    std::string digest;        // its bytes
    SignerFacts signer;
    TimeStampKind timeStampKind = TimeStampKind::None;
    Result<SignerFacts> timeStamp = Status::fail("none");  // the token's signer, or the counter-signer
    Result<TimeStampToken> token = Status::fail("none");   // RFC 3161 only
    // The further signatures nested in the signer's unauthenticated
    // attributes (or why one could not be read): at most
    // kMaxNestedSignatures, the others are only counted.
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

// Certificates a chain may lead to, from a PEM file's text.
class TrustAnchors {
public:
    // Fails when the text holds no certificate or a malformed one.
    static Result<TrustAnchors> fromPem(const std::string& pem);
    ~TrustAnchors();
    TrustAnchors(TrustAnchors&&) noexcept;
    TrustAnchors& operator=(TrustAnchors&&) noexcept;
    struct State;
    const State& state() const { return *state_; }

private:
    explicit TrustAnchors(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// The chain from certificate `leaf` of `certificates`, through the others,
// to a certificate of `anchors`, each certificate's signature checked with
// its issuer's key; the validity periods and usages are left to the
// caller.  The chain's certificates run from the leaf to the anchor.  The
// failure says why ("no chain leads to a certificate of the trusted set").
Result<std::vector<CertificateFacts>> chainToAnchor(const std::vector<CertificateFacts>& certificates, size_t leaf,
                                                    const TrustAnchors& anchors);

// ---- Shared by both platforms (signature.cpp) -----------------------------

// The value octets of a DER element (its tag and length skipped), or
// empty when `der` is not one element.  The message digest of an
// Authenticode signature covers the SpcIndirectDataContent's value only.
std::string_view derValue(std::string_view der);

// A distinguished name's parts, each (dotted type, text), written
// "CN=..., O=..." from the most significant part (the last) to the least;
// types without a short name are written dotted.
std::string formatName(const std::vector<std::pair<std::string, std::string>>& parts);

// Seconds since 1970 from a calendar time in UTC.
int64_t secondsFromCivil(int year, int month, int day, int hour, int minute, int second);

}  // namespace sfxpack

#endif  // SFXPACK_SIGNATURE_H
