// Authenticode signatures read with OpenSSL: d2i_PKCS7 for the SignedData,
// ASN.1 templates for the SpcIndirectDataContent that OpenSSL does not know.
#include "platform/signature.h"

#include <openssl/asn1t.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

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

// The SignedData's first signer's unauthenticated attributes, where
// further signatures are nested.  Every pointer is checked: a hostile
// signature may leave out any optional part.
void readNested(PKCS7* p7, SignedDigest* out)
{
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
    if (!signers || sk_PKCS7_SIGNER_INFO_num(signers) < 1)
        return;
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    if (!si)
        return;
    STACK_OF(X509_ATTRIBUTE)* attrs = si->unauth_attr;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attrs); ++i) {
        X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(attrs, i);
        if (!attr || oidText(X509_ATTRIBUTE_get0_object(attr)) != kNestedSignatureOid)
            continue;
        for (int v = 0; v < X509_ATTRIBUTE_count(attr); ++v) {
            if (out->nested.size() >= kMaxNestedSignatures) {
                ++out->unreadNested;
                continue;
            }
            ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, v);
            const ASN1_STRING* der = value && value->type == V_ASN1_SEQUENCE ? value->value.sequence : nullptr;
            const unsigned char* bytes = der ? ASN1_STRING_get0_data(der) : nullptr;
            if (!bytes || ASN1_STRING_length(der) <= 0) {
                out->nested.push_back(Status::fail("a nested signature is not a SignedData"));
                continue;
            }
            out->nested.push_back(readSignedDigest(bytes, size_t(ASN1_STRING_length(der)), false));
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
    if (nested)
        readNested(p7.get(), &out);
    return out;
}

}  // namespace sfxpack
