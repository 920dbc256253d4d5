// Authenticode signatures read with CryptoAPI: CryptMsg for the
// SignedData, CryptDecodeObjectEx (the decoder wintrust registers) for the
// SpcIndirectDataContent.
#include "platform/signature.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

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

}  // namespace sfxpack
