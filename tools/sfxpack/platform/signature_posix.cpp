// Authenticode signatures read with OpenSSL: d2i_PKCS7 for the SignedData,
// ASN.1 templates for the SpcIndirectDataContent that OpenSSL does not know,
// EVP for the signer's signature, X509_verify_cert for chains.
#include "platform/signature.h"

#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>

#include "platform/libcrypto_posix.h"

namespace sfxpack {

namespace {

// SpcIndirectDataContent ::= SEQUENCE {
//     data           SpcAttributeTypeAndOptionalValue,  -- what was signed
//     messageDigest  DigestInfo }                       -- its digest
// SpcAttributeTypeAndOptionalValue ::= SEQUENCE { type OID, value ANY OPTIONAL }
// DigestInfo is X509_SIG to OpenSSL.
struct SpcAttributeTypeAndOptionalValue {
    ASN1_OBJECT* type;
    ASN1_TYPE* value;
};

struct SpcIndirectDataContent {
    SpcAttributeTypeAndOptionalValue* data;
    X509_SIG* messageDigest;
};

}  // namespace

ASN1_SEQUENCE(SpcAttributeTypeAndOptionalValue) = {
    ASN1_SIMPLE(SpcAttributeTypeAndOptionalValue, type, ASN1_OBJECT),
    ASN1_OPT(SpcAttributeTypeAndOptionalValue, value, ASN1_ANY),
} ASN1_SEQUENCE_END(SpcAttributeTypeAndOptionalValue)

ASN1_SEQUENCE(SpcIndirectDataContent) = {
    ASN1_SIMPLE(SpcIndirectDataContent, data, SpcAttributeTypeAndOptionalValue),
    ASN1_SIMPLE(SpcIndirectDataContent, messageDigest, X509_SIG),
} ASN1_SEQUENCE_END(SpcIndirectDataContent)

namespace {

std::string oidText(const ASN1_OBJECT* obj)
{
    if (!obj)
        return {};
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    return n > 0 && size_t(n) < sizeof buf ? std::string(buf, size_t(n)) : std::string();
}

struct Pkcs7Free {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};

struct ContentFree {
    void operator()(SpcIndirectDataContent* p) const
    {
        ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(p), ASN1_ITEM_rptr(SpcIndirectDataContent));
    }
};

int64_t timeSeconds(const ASN1_TIME* t)
{
    struct tm tm = {};
    if (!t || !ASN1_TIME_to_tm(t, &tm))
        return 0;
    return secondsFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string stringText(const ASN1_STRING* s)
{
    const unsigned char* bytes = s ? ASN1_STRING_get0_data(s) : nullptr;
    return bytes && ASN1_STRING_length(s) > 0 ? std::string(reinterpret_cast<const char*>(bytes),
                                                            size_t(ASN1_STRING_length(s)))
                                              : std::string();
}

std::string nameText(const X509_NAME* name)
{
    std::vector<std::pair<std::string, std::string>> parts;
    for (int i = 0; name && i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        unsigned char* utf8 = nullptr;
        const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e));
        parts.emplace_back(oidText(X509_NAME_ENTRY_get_object(e)),
                           n > 0 ? std::string(reinterpret_cast<char*>(utf8), size_t(n)) : std::string());
        OPENSSL_free(utf8);
    }
    return formatName(parts);
}

std::string certificateDer(X509* cert)
{
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    std::string out = n > 0 ? std::string(reinterpret_cast<char*>(der), size_t(n)) : std::string();
    OPENSSL_free(der);
    return out;
}

CertificateFacts certificateFacts(X509* cert)
{
    CertificateFacts c;
    c.subject = nameText(X509_get_subject_name(cert));
    c.issuer = nameText(X509_get_issuer_name(cert));
    c.notBefore = timeSeconds(X509_get0_notBefore(cert));
    c.notAfter = timeSeconds(X509_get0_notAfter(cert));
    if (auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr))) {
        c.statesUsages = true;
        for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i)
            c.usages.push_back(oidText(sk_ASN1_OBJECT_value(eku, i)));
        EXTENDED_KEY_USAGE_free(eku);
    }
    c.der = certificateDer(cert);
    return c;
}

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};

// The signature of a signer over its signed attributes (DER as a SET),
// checked with `cert`'s key.
Status verifySignerInfo(PKCS7_SIGNER_INFO* si, X509* cert)
{
    if (!cert)
        return Status::fail("the signer's certificate is not in the signature");
    if (!si->auth_attr || sk_X509_ATTRIBUTE_num(si->auth_attr) == 0)
        return Status::fail("the signer has no signed attributes");
    unsigned char* attrs = nullptr;
    const int len = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attrs,
                                  ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    const EVP_MD* md = si->digest_alg ? EVP_get_digestbyobj(si->digest_alg->algorithm) : nullptr;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = len > 0 && md && ctx && si->enc_digest &&
                    EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, X509_get0_pubkey(cert)) == 1 &&
                    EVP_DigestVerify(ctx, si->enc_digest->data, size_t(si->enc_digest->length), attrs,
                                     size_t(len)) == 1;
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(attrs);
    ERR_clear_error();
    if (!md)
        return Status::fail("the signer's digest algorithm is not one sfxpack computes");
    return ok ? Status() : Status::fail("the signature over the signed attributes does not verify with the "
                                        "signer's key");
}

// What a signer signed with, and over what; `certs` are the SignedData's.
SignerFacts signerFacts(PKCS7_SIGNER_INFO* si, STACK_OF(X509)* certs, std::string content)
{
    SignerFacts f;
    f.content = std::move(content);
    if (si->digest_alg)
        f.digestOid = oidText(si->digest_alg->algorithm);
    if (ASN1_TYPE* md = PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest);
        md && md->type == V_ASN1_OCTET_STRING)
        f.messageDigest = stringText(md->value.octet_string);
    if (ASN1_TYPE* t = PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime);
        t && (t->type == V_ASN1_UTCTIME || t->type == V_ASN1_GENERALIZEDTIME)) {
        f.hasSigningTime = true;
        f.signingTime = timeSeconds(reinterpret_cast<const ASN1_TIME*>(t->value.asn1_string));
    }
    f.signatureValue = stringText(si->enc_digest);
    X509* cert = nullptr;
    if (si->issuer_and_serial)
        cert = X509_find_by_issuer_and_serial(certs, si->issuer_and_serial->issuer, si->issuer_and_serial->serial);
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* c = sk_X509_value(certs, i);
        if (c == cert)
            f.signer = int(f.certificates.size());
        if (c)
            f.certificates.push_back(certificateFacts(c));
    }
    f.signature = verifySignerInfo(si, cert);
    return f;
}

PKCS7_SIGNER_INFO* firstSigner(PKCS7* p7)
{
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
    return signers && sk_PKCS7_SIGNER_INFO_num(signers) >= 1 ? sk_PKCS7_SIGNER_INFO_value(signers, 0) : nullptr;
}

// The DER an attribute value of type SEQUENCE holds, or null.
const ASN1_STRING* sequenceValue(X509_ATTRIBUTE* attr, int v)
{
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, v);
    const ASN1_STRING* der = value && value->type == V_ASN1_SEQUENCE ? value->value.sequence : nullptr;
    return der && ASN1_STRING_get0_data(der) && ASN1_STRING_length(der) > 0 ? der : nullptr;
}

Result<TimeStampToken> readToken(const std::string& tstInfo)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(tstInfo.data());
    TS_TST_INFO* info = tstInfo.empty() ? nullptr : d2i_TS_TST_INFO(nullptr, &p, long(tstInfo.size()));
    if (!info)
        return Status::fail("the time stamp's TSTInfo cannot be decoded");
    TimeStampToken t;
    t.time = timeSeconds(TS_TST_INFO_get_time(info));
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info);
    if (X509_ALGOR* alg = imprint ? TS_MSG_IMPRINT_get_algo(imprint) : nullptr)
        t.imprintOid = oidText(alg->algorithm);
    if (imprint)
        t.imprint = stringText(TS_MSG_IMPRINT_get_msg(imprint));
    TS_TST_INFO_free(info);
    return t;
}

// An RFC 3161 token: a SignedData whose content is a TSTInfo.
void readRfc3161(const ASN1_STRING* der, SignedDigest* out)
{
    const unsigned char* p = ASN1_STRING_get0_data(der);
    std::unique_ptr<PKCS7, Pkcs7Free> token(d2i_PKCS7(nullptr, &p, ASN1_STRING_length(der)));
    const PKCS7* inner = token && PKCS7_type_is_signed(token.get()) && token->d.sign ? token->d.sign->contents
                                                                                     : nullptr;
    const ASN1_TYPE* other = inner && oidText(inner->type) == kTstInfoOid ? inner->d.other : nullptr;
    PKCS7_SIGNER_INFO* si = other && other->type == V_ASN1_OCTET_STRING ? firstSigner(token.get()) : nullptr;
    if (!si) {
        out->timeStamp = Status::fail("the time stamp is not a SignedData holding a TSTInfo");
        return;
    }
    const std::string tstInfo = stringText(other->value.octet_string);
    out->timeStamp = signerFacts(si, token->d.sign->cert, tstInfo);
    out->timeStamp->contentType = kTstInfoOid;
    out->token = readToken(tstInfo);
}

// A PKCS #9 counter-signature: a SignerInfo over the signer's signature
// value, its certificate among the outer SignedData's.
void readCounterSignature(const ASN1_STRING* der, STACK_OF(X509)* certs, const SignerFacts& signer,
                          SignedDigest* out)
{
    const unsigned char* p = ASN1_STRING_get0_data(der);
    PKCS7_SIGNER_INFO* si = d2i_PKCS7_SIGNER_INFO(nullptr, &p, ASN1_STRING_length(der));
    if (!si) {
        out->timeStamp = Status::fail("the counter-signature is not a SignerInfo");
        return;
    }
    out->timeStamp = signerFacts(si, certs, signer.signatureValue);
    PKCS7_SIGNER_INFO_free(si);
}

// The signer's unauthenticated attributes: the first time stamp, and the
// nested signatures when `nested`.  Every pointer is checked: a hostile
// signature may leave out any optional part.
void readUnsigned(PKCS7* p7, PKCS7_SIGNER_INFO* si, bool nested, SignedDigest* out)
{
    STACK_OF(X509_ATTRIBUTE)* attrs = si->unauth_attr;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attrs); ++i) {
        X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(attrs, i);
        const std::string oid = attr ? oidText(X509_ATTRIBUTE_get0_object(attr)) : std::string();
        const bool stamp = oid == kRfc3161TimeStampOid || oid == kCounterSignatureOid;
        if (stamp && out->timeStampKind == TimeStampKind::None) {
            out->timeStampKind = oid == kRfc3161TimeStampOid ? TimeStampKind::Rfc3161 : TimeStampKind::CounterSignature;
            const ASN1_STRING* der = sequenceValue(attr, 0);
            if (!der)
                out->timeStamp = Status::fail("the time stamp attribute holds no SEQUENCE");
            else if (oid == kRfc3161TimeStampOid)
                readRfc3161(der, out);
            else
                readCounterSignature(der, p7->d.sign->cert, out->signer, out);
        }
        if (!nested || oid != kNestedSignatureOid)
            continue;
        for (int v = 0; v < X509_ATTRIBUTE_count(attr); ++v) {
            if (out->nested.size() >= kMaxNestedSignatures) {
                ++out->unreadNested;
                continue;
            }
            const ASN1_STRING* der = sequenceValue(attr, v);
            if (!der)
                out->nested.push_back(Status::fail("a nested signature is not a SignedData"));
            else
                out->nested.push_back(readSignedDigest(ASN1_STRING_get0_data(der), size_t(ASN1_STRING_length(der)),
                                                       false));
        }
    }
}

}  // namespace

Result<SignedDigest> readSignedDigest(const unsigned char* der, size_t len, bool nested)
{
    startLibcrypto();
    const unsigned char* p = der;
    std::unique_ptr<PKCS7, Pkcs7Free> p7(der && len ? d2i_PKCS7(nullptr, &p, long(len)) : nullptr);
    if (!p7 || !PKCS7_type_is_signed(p7.get()))
        return Status::fail("the signature is not a PKCS#7 SignedData");
    // A ContentInfo may name SignedData as its type and leave the content
    // out: OpenSSL then decodes it with no SignedData at all.
    if (!p7->d.sign)
        return Status::fail("the signature's PKCS#7 ContentInfo holds no SignedData");
    const PKCS7* inner = p7->d.sign->contents;
    const ASN1_TYPE* other = inner && inner->type && oidText(inner->type) == kSpcIndirectDataOid ? inner->d.other
                                                                                                  : nullptr;
    const ASN1_STRING* content = other && other->type == V_ASN1_SEQUENCE ? other->value.sequence : nullptr;
    if (!content)
        return Status::fail("the signature's content is not an Authenticode SpcIndirectDataContent");
    const unsigned char* c = ASN1_STRING_get0_data(content);
    std::unique_ptr<SpcIndirectDataContent, ContentFree> spc(
        c && ASN1_STRING_length(content) > 0
            ? reinterpret_cast<SpcIndirectDataContent*>(ASN1_item_d2i(
                  nullptr, &c, ASN1_STRING_length(content), ASN1_ITEM_rptr(SpcIndirectDataContent)))
            : nullptr);
    const X509_ALGOR* alg = nullptr;
    const ASN1_OCTET_STRING* digest = nullptr;
    if (spc && spc->messageDigest)
        X509_SIG_get0(spc->messageDigest, &alg, &digest);
    const ASN1_OBJECT* algOid = nullptr;
    if (alg)
        X509_ALGOR_get0(&algOid, nullptr, nullptr, alg);
    if (!algOid || !digest)
        return Status::fail("the signature's SpcIndirectDataContent cannot be decoded");
    SignedDigest out;
    out.algorithmOid = oidText(algOid);
    if (const unsigned char* bytes = ASN1_STRING_get0_data(digest); bytes && ASN1_STRING_length(digest) > 0)
        out.digest.assign(reinterpret_cast<const char*>(bytes), size_t(ASN1_STRING_length(digest)));
    PKCS7_SIGNER_INFO* si = firstSigner(p7.get());
    if (!si)
        return Status::fail("the signature has no signer");
    out.signer = signerFacts(si, p7->d.sign->cert, std::string(derValue(stringText(content))));
    out.signer.contentType = kSpcIndirectDataOid;
    readUnsigned(p7.get(), si, nested, &out);
    return out;
}

Result<CertificateFacts> readCertificate(const std::string& der)
{
    startLibcrypto();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<X509, X509Free> cert(der.empty() ? nullptr : d2i_X509(nullptr, &p, long(der.size())));
    if (!cert)
        return Status::fail("not a DER X.509 certificate");
    return certificateFacts(cert.get());
}

struct TrustAnchors::State {
    X509_STORE* store = nullptr;
    ~State() { X509_STORE_free(store); }
};

TrustAnchors::TrustAnchors(std::unique_ptr<State> state) : state_(std::move(state)) {}
TrustAnchors::~TrustAnchors() = default;
TrustAnchors::TrustAnchors(TrustAnchors&&) noexcept = default;
TrustAnchors& TrustAnchors::operator=(TrustAnchors&&) noexcept = default;

Result<TrustAnchors> TrustAnchors::fromPem(const std::string& pem)
{
    startLibcrypto();
    auto state = std::make_unique<State>();
    state->store = X509_STORE_new();
    BIO* bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    int count = 0;
    bool bad = !state->store || !bio;
    while (!bad) {
        std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
        if (!cert) {
            // The end of the text, or a block that is not a certificate.
            bad = ERR_GET_REASON(ERR_peek_last_error()) != PEM_R_NO_START_LINE;
            break;
        }
        bad = !X509_STORE_add_cert(state->store, cert.get());
        ++count;
    }
    BIO_free(bio);
    ERR_clear_error();
    if (bad)
        return Status::fail("holds a certificate that cannot be read");
    if (count == 0)
        return Status::fail("holds no PEM certificate");
    return TrustAnchors(std::move(state));
}

Result<std::vector<CertificateFacts>> chainToAnchor(const std::vector<CertificateFacts>& certificates, size_t leaf,
                                                    const TrustAnchors& anchors)
{
    startLibcrypto();
    std::vector<std::unique_ptr<X509, X509Free>> held;
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    for (const CertificateFacts& c : certificates) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(c.der.data());
        held.emplace_back(d2i_X509(nullptr, &p, long(c.der.size())));
        if (held.back() && untrusted)
            sk_X509_push(untrusted, held.back().get());
    }
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    bool ok = false;
    int error = 0;
    std::vector<CertificateFacts> chain;
    if (ctx && untrusted && leaf < held.size() && held[leaf] &&
        X509_STORE_CTX_init(ctx, anchors.state().store, held[leaf].get(), untrusted)) {
        // Validity periods and usages are judged by the caller, at the time
        // stamp's time; the chain may end at any certificate of the set.
        X509_STORE_CTX_set_flags(ctx, X509_V_FLAG_NO_CHECK_TIME | X509_V_FLAG_PARTIAL_CHAIN);
        ok = X509_verify_cert(ctx) == 1;
        error = X509_STORE_CTX_get_error(ctx);
        STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx);
        for (int i = 0; ok && i < sk_X509_num(built); ++i)
            chain.push_back(certificateFacts(sk_X509_value(built, i)));
    }
    X509_STORE_CTX_free(ctx);
    sk_X509_free(untrusted);
    ERR_clear_error();
    if (ok)
        return chain;
    if (error == X509_V_ERR_CERT_SIGNATURE_FAILURE)
        return Status::fail("a certificate's signature does not verify with its issuer's key");
    return Status::fail("no chain leads to a certificate of the trusted set");
}

}  // namespace sfxpack
