// Authenticode signatures read with CryptoAPI: CryptMsg for the
// SignedData, CryptDecodeObjectEx (the decoder wintrust registers) for the
// SpcIndirectDataContent.
#include "platform/signature.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace sfxpack {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// One parameter of a decoded message, or false when it is not there.
bool messageParam(HCRYPTMSG msg, DWORD param, std::vector<unsigned char>* out)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, param, 0, nullptr, &size))
        return false;
    out->resize(size);
    if (size != 0 && !CryptMsgGetParam(msg, param, 0, out->data(), &size))
        return false;
    out->resize(size);  // the second call may need fewer bytes than the first said
    return true;
}

// Whether a parameter CryptMsg returned as a string is an OID, NUL
// included, equal to `oid`.
bool isOid(const std::vector<unsigned char>& param, const char* oid)
{
    return !param.empty() && std::memchr(param.data(), 0, param.size()) &&
           std::strcmp(reinterpret_cast<const char*>(param.data()), oid) == 0;
}

// The first signer's unauthenticated attributes, where further signatures
// are nested.  Every count and pointer is checked against the buffer
// CryptoAPI filled: a hostile signature may leave out any optional part.
void readNested(HCRYPTMSG msg, SignedDigest* out)
{
    std::vector<unsigned char> buf;
    if (!messageParam(msg, CMSG_SIGNER_UNAUTH_ATTR_PARAM, &buf) || buf.size() < sizeof(CRYPT_ATTRIBUTES))
        return;
    const auto* attrs = reinterpret_cast<const CRYPT_ATTRIBUTES*>(buf.data());
    if (!attrs->rgAttr)
        return;
    for (DWORD i = 0; i < attrs->cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attr = attrs->rgAttr[i];
        if (!attr.pszObjId || std::strcmp(attr.pszObjId, kNestedSignatureOid) != 0 || !attr.rgValue)
            continue;
        for (DWORD v = 0; v < attr.cValue; ++v) {
            const CRYPT_ATTR_BLOB& value = attr.rgValue[v];
            if (out->nested.size() >= kMaxNestedSignatures)
                ++out->unreadNested;
            else if (!value.pbData || value.cbData == 0)
                out->nested.push_back(Status::fail("a nested signature is not a SignedData"));
            else
                out->nested.push_back(readSignedDigest(value.pbData, value.cbData, false));
        }
    }
}

int64_t fileTimeSeconds(const FILETIME& t)
{
    const uint64_t ticks = uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime;
    return int64_t(ticks / 10000000) - 11644473600LL;
}

std::string nameText(const CERT_NAME_BLOB& blob)
{
    CERT_NAME_INFO* info = nullptr;
    DWORD size = 0;
    std::vector<std::pair<std::string, std::string>> parts;
    if (!CryptDecodeObjectEx(kEncoding, X509_UNICODE_NAME, blob.pbData, blob.cbData, CRYPT_DECODE_ALLOC_FLAG,
                             nullptr, &info, &size) || !info)
        return {};
    for (DWORD i = 0; i < info->cRDN; ++i)
        for (DWORD j = 0; j < info->rgRDN[i].cRDNAttr; ++j) {
            const CERT_RDN_ATTR& a = info->rgRDN[i].rgRDNAttr[j];
            const wchar_t* w = reinterpret_cast<const wchar_t*>(a.Value.pbData);
            const int wlen = int(a.Value.cbData / sizeof(wchar_t));
            std::string utf8(size_t(wlen) * 4, '\0');
            const int n = wlen ? WideCharToMultiByte(CP_UTF8, 0, w, wlen, utf8.data(), int(utf8.size()), nullptr,
                                                     nullptr)
                               : 0;
            utf8.resize(size_t(n > 0 ? n : 0));
            utf8.resize(std::min(utf8.size(), utf8.find('\0')));  // a value may count its terminator
            parts.emplace_back(a.pszObjId ? a.pszObjId : "", utf8);
        }
    LocalFree(info);
    return formatName(parts);
}

CertificateFacts certificateFacts(PCCERT_CONTEXT cert)
{
    CertificateFacts c;
    const CERT_INFO* info = cert->pCertInfo;
    c.subject = nameText(info->Subject);
    c.issuer = nameText(info->Issuer);
    c.notBefore = fileTimeSeconds(info->NotBefore);
    c.notAfter = fileTimeSeconds(info->NotAfter);
    if (const CERT_EXTENSION* ext = CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension, info->rgExtension)) {
        CERT_ENHKEY_USAGE* usage = nullptr;
        DWORD size = 0;
        if (CryptDecodeObjectEx(kEncoding, X509_ENHANCED_KEY_USAGE, ext->Value.pbData, ext->Value.cbData,
                                CRYPT_DECODE_ALLOC_FLAG, nullptr, &usage, &size) && usage) {
            c.statesUsages = true;
            for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
                c.usages.push_back(usage->rgpszUsageIdentifier[i]);
            LocalFree(usage);
        }
    }
    c.der.assign(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded);
    return c;
}

// The first signer's facts: its digest algorithm and message digest
// attribute, the certificates, and the signature checked by CryptoAPI.
void readSigner(HCRYPTMSG msg, std::string content, SignerFacts* f)
{
    f->content = std::move(content);
    std::vector<unsigned char> buf;
    if (messageParam(msg, CMSG_SIGNER_INFO_PARAM, &buf) && buf.size() >= sizeof(CMSG_SIGNER_INFO)) {
        const auto* si = reinterpret_cast<const CMSG_SIGNER_INFO*>(buf.data());
        if (si->HashAlgorithm.pszObjId)
            f->digestOid = si->HashAlgorithm.pszObjId;
        f->signatureValue.assign(reinterpret_cast<const char*>(si->EncryptedHash.pbData), si->EncryptedHash.cbData);
        for (DWORD i = 0; si->AuthAttrs.rgAttr && i < si->AuthAttrs.cAttr; ++i) {
            const CRYPT_ATTRIBUTE& a = si->AuthAttrs.rgAttr[i];
            if (!a.pszObjId || std::strcmp(a.pszObjId, kMessageDigestOid) != 0 || a.cValue < 1)
                continue;
            CRYPT_DATA_BLOB* octets = nullptr;
            DWORD size = 0;
            if (CryptDecodeObjectEx(kEncoding, X509_OCTET_STRING, a.rgValue[0].pbData, a.rgValue[0].cbData,
                                    CRYPT_DECODE_ALLOC_FLAG, nullptr, &octets, &size) && octets) {
                f->messageDigest.assign(reinterpret_cast<const char*>(octets->pbData), octets->cbData);
                LocalFree(octets);
            }
        }
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, msg);
    PCCERT_CONTEXT signerCert = nullptr;
    std::vector<unsigned char> id;
    if (store && messageParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, &id) && id.size() >= sizeof(CERT_INFO))
        signerCert = CertGetSubjectCertificateFromStore(store, kEncoding, reinterpret_cast<CERT_INFO*>(id.data()));
    for (PCCERT_CONTEXT c = nullptr; store && (c = CertEnumCertificatesInStore(store, c));) {
        if (signerCert && CertCompareCertificate(kEncoding, c->pCertInfo, signerCert->pCertInfo))
            f->signer = int(f->certificates.size());
        f->certificates.push_back(certificateFacts(c));
    }
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para = {sizeof para, 0, 0, CMSG_VERIFY_SIGNER_CERT,
                                               const_cast<CERT_CONTEXT*>(signerCert)};
    if (!signerCert)
        f->signature = Status::fail("the signer's certificate is not in the signature");
    else if (!CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para))
        f->signature = Status::fail("the signature over the signed attributes does not verify with the "
                                    "signer's key");
    if (signerCert)
        CertFreeCertificateContext(signerCert);
    if (store)
        CertCloseStore(store, 0);
}

// Decodes `der` in the open message `msg` and reads the digest it signs.
Result<SignedDigest> readMessage(HCRYPTMSG msg, const unsigned char* der, size_t len, bool nested)
{
    std::vector<unsigned char> type, content;
    DWORD msgType = 0, size = sizeof msgType;
    if (!CryptMsgUpdate(msg, der, DWORD(len), TRUE) ||
        !CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &msgType, &size) || msgType != CMSG_SIGNED)
        return Status::fail("the signature is not a PKCS#7 SignedData");
    if (!messageParam(msg, CMSG_INNER_CONTENT_TYPE_PARAM, &type) || !isOid(type, kSpcIndirectDataOid) ||
        !messageParam(msg, CMSG_CONTENT_PARAM, &content) || content.empty())
        return Status::fail("the signature's content is not an Authenticode SpcIndirectDataContent");
    SPC_INDIRECT_DATA_CONTENT* spc = nullptr;
    DWORD spcSize = 0;
    const bool decoded = CryptDecodeObjectEx(kEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(),
                                             DWORD(content.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &spc,
                                             &spcSize) &&
                         spc && spcSize >= sizeof *spc && spc->DigestAlgorithm.pszObjId;
    SignedDigest out;
    if (decoded) {
        out.algorithmOid = spc->DigestAlgorithm.pszObjId;
        if (spc->Digest.pbData && spc->Digest.cbData)
            out.digest.assign(reinterpret_cast<const char*>(spc->Digest.pbData), spc->Digest.cbData);
    }
    if (spc)
        LocalFree(spc);
    if (!decoded)
        return Status::fail("the signature's SpcIndirectDataContent cannot be decoded");
    readSigner(msg, std::string(derValue(std::string_view(reinterpret_cast<const char*>(content.data()),
                                                           content.size()))),
               &out.signer);
    out.signer.contentType = kSpcIndirectDataOid;
    if (nested)
        readNested(msg, &out);
    return out;
}

}  // namespace

Result<SignedDigest> readSignedDigest(const unsigned char* der, size_t len, bool nested)
{
    if (!der || len == 0)
        return Status::fail("the signature is not a PKCS#7 SignedData");
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    if (!msg)
        return Status::fail("CryptoAPI cannot decode messages");
    Result<SignedDigest> out = readMessage(msg, der, len, nested);
    CryptMsgClose(msg);
    return out;
}

struct TrustAnchors::State {
    HCERTSTORE store = nullptr;
    ~State()
    {
        if (store)
            CertCloseStore(store, 0);
    }
};

TrustAnchors::TrustAnchors(std::unique_ptr<State> state) : state_(std::move(state)) {}
TrustAnchors::~TrustAnchors() = default;
TrustAnchors::TrustAnchors(TrustAnchors&&) noexcept = default;
TrustAnchors& TrustAnchors::operator=(TrustAnchors&&) noexcept = default;

// Judging chains against a CA file is not built for Windows yet.
Result<TrustAnchors> TrustAnchors::fromPem(const std::string&)
{
    return Status::fail("cannot be used: the Windows build of sfxpack does not judge chains yet");
}

Result<CertificateFacts> readCertificate(const std::string& der)
{
    PCCERT_CONTEXT cert = CertCreateCertificateContext(kEncoding, reinterpret_cast<const BYTE*>(der.data()),
                                                       DWORD(der.size()));
    if (!cert)
        return Status::fail("not a DER X.509 certificate");
    CertificateFacts facts = certificateFacts(cert);
    CertFreeCertificateContext(cert);
    return facts;
}

Result<std::vector<CertificateFacts>> chainToAnchor(const std::vector<CertificateFacts>&, size_t, const TrustAnchors&)
{
    return Status::fail("the Windows build of sfxpack does not judge chains yet");
}

}  // namespace sfxpack
