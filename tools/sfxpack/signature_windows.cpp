// Authenticode signatures read with CryptoAPI: CryptMsg for the
// SignedData, CryptDecodeObjectEx (the decoder wintrust registers) for the
// SpcIndirectDataContent.
#include "signature.h"

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
    return size == 0 || CryptMsgGetParam(msg, param, 0, out->data(), &size);
}

void readNested(HCRYPTMSG msg, SignedDigest* out)
{
    std::vector<unsigned char> buf;
    if (!messageParam(msg, CMSG_SIGNER_UNAUTH_ATTR_PARAM, &buf) || buf.empty())
        return;
    const auto* attrs = reinterpret_cast<const CRYPT_ATTRIBUTES*>(buf.data());
    for (DWORD i = 0; i < attrs->cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attr = attrs->rgAttr[i];
        if (!attr.pszObjId || std::strcmp(attr.pszObjId, kNestedSignatureOid) != 0)
            continue;
        for (DWORD v = 0; v < attr.cValue; ++v)
            out->nested.push_back(readSignedDigest(attr.rgValue[v].pbData, attr.rgValue[v].cbData, false));
    }
}

}  // namespace

SignedDigest readSignedDigest(const unsigned char* der, size_t len, bool nested)
{
    SignedDigest out;
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    if (!msg) {
        out.problem = "CryptoAPI cannot decode messages";
        return out;
    }
    std::vector<unsigned char> type, content;
    DWORD msgType = 0, size = sizeof msgType;
    if (!CryptMsgUpdate(msg, der, DWORD(len), TRUE) ||
        !CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &msgType, &size) || msgType != CMSG_SIGNED) {
        out.problem = "the signature is not a PKCS#7 SignedData";
    } else if (!messageParam(msg, CMSG_INNER_CONTENT_TYPE_PARAM, &type) || type.empty() ||
               std::strcmp(reinterpret_cast<const char*>(type.data()), kSpcIndirectDataOid) != 0 ||
               !messageParam(msg, CMSG_CONTENT_PARAM, &content)) {
        out.problem = "the signature's content is not an Authenticode SpcIndirectDataContent";
    } else {
        SPC_INDIRECT_DATA_CONTENT* spc = nullptr;
        DWORD spcSize = 0;
        if (!CryptDecodeObjectEx(kEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(), DWORD(content.size()),
                                 CRYPT_DECODE_ALLOC_FLAG, nullptr, &spc, &spcSize)) {
            out.problem = "the signature's SpcIndirectDataContent cannot be decoded";
        } else {
            out.algorithmOid = spc->DigestAlgorithm.pszObjId ? spc->DigestAlgorithm.pszObjId : "";
            out.digest.assign(reinterpret_cast<const char*>(spc->Digest.pbData), spc->Digest.cbData);
            LocalFree(spc);
            if (nested)
                readNested(msg, &out);
        }
    }
    CryptMsgClose(msg);
    return out;
}

}  // namespace sfxpack
