// Authenticode signatures read with OpenSSL: d2i_PKCS7 for the SignedData,
// ASN.1 templates for the SpcIndirectDataContent that OpenSSL does not know.
#include "signature.h"

#include <openssl/asn1t.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

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

void readNested(PKCS7* p7, SignedDigest* out)
{
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
    if (!signers || sk_PKCS7_SIGNER_INFO_num(signers) < 1)
        return;
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    STACK_OF(X509_ATTRIBUTE)* attrs = si->unauth_attr;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attrs); ++i) {
        X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(attrs, i);
        if (oidText(X509_ATTRIBUTE_get0_object(attr)) != kNestedSignatureOid)
            continue;
        for (int v = 0; v < X509_ATTRIBUTE_count(attr); ++v) {
            ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, v);
            if (!value || value->type != V_ASN1_SEQUENCE) {
                out->nested.push_back({"a nested signature is not a SignedData", {}, {}, {}});
                continue;
            }
            const ASN1_STRING* der = value->value.sequence;
            out->nested.push_back(readSignedDigest(ASN1_STRING_get0_data(der), size_t(ASN1_STRING_length(der)),
                                                   false));
        }
    }
}

}  // namespace

SignedDigest readSignedDigest(const unsigned char* der, size_t len, bool nested)
{
    SignedDigest out;
    const unsigned char* p = der;
    std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(nullptr, &p, long(len)));
    if (!p7 || !PKCS7_type_is_signed(p7.get())) {
        out.problem = "the signature is not a PKCS#7 SignedData";
        return out;
    }
    PKCS7* inner = p7->d.sign->contents;
    if (!inner || oidText(inner->type) != kSpcIndirectDataOid || !inner->d.other ||
        inner->d.other->type != V_ASN1_SEQUENCE) {
        out.problem = "the signature's content is not an Authenticode SpcIndirectDataContent";
        return out;
    }
    const ASN1_STRING* content = inner->d.other->value.sequence;
    const unsigned char* c = ASN1_STRING_get0_data(content);
    std::unique_ptr<SpcIndirectDataContent, ContentFree> spc(reinterpret_cast<SpcIndirectDataContent*>(
        ASN1_item_d2i(nullptr, &c, ASN1_STRING_length(content), ASN1_ITEM_rptr(SpcIndirectDataContent))));
    if (!spc) {
        out.problem = "the signature's SpcIndirectDataContent cannot be decoded";
        return out;
    }
    const X509_ALGOR* alg = nullptr;
    const ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_get0(spc->messageDigest, &alg, &digest);
    const ASN1_OBJECT* algOid = nullptr;
    X509_ALGOR_get0(&algOid, nullptr, nullptr, alg);
    out.algorithmOid = oidText(algOid);
    out.digest.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(digest)),
                      size_t(ASN1_STRING_length(digest)));
    if (nested)
        readNested(p7.get(), &out);
    return out;
}

}  // namespace sfxpack
