// Judging a signature's signer from the facts the platform read: the
// message digests recomputed, the time stamp, and with trusted
// certificates the chain's anchor, validity periods and usages; and the
// wording of the verdict, the same on every platform.
#include "authenticode/judge.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"

namespace sfxpack {

namespace {

// Chains are short; a longer one is cut here rather than followed.
constexpr size_t kMaxChain = 16;

std::string digestOf(DigestAlgorithm alg, const std::string& bytes)
{
    Result<Digest> d = Digest::start(alg);
    if (!d)
        return {};
    d->update(bytes.data(), bytes.size());
    return d->finish();
}

// The signer's certificate, then each one's issuer among `certs` by name,
// as far as they go.
std::vector<CertificateFacts> chainByName(const std::vector<CertificateFacts>& certs, int signer)
{
    std::vector<CertificateFacts> chain;
    if (signer < 0 || size_t(signer) >= certs.size())
        return chain;
    chain.push_back(certs[size_t(signer)]);
    while (chain.size() < kMaxChain && chain.back().subject != chain.back().issuer) {
        auto next = std::find_if(certs.begin(), certs.end(),
                                 [&](const CertificateFacts& c) { return c.subject == chain.back().issuer; });
        if (next == certs.end())
            break;
        chain.push_back(*next);
    }
    return chain;
}

// Whether a signer's message digest is that of what it covers (named by
// `content`), and its signature holds.
Status signerIntegrity(const SignerFacts& f, const char* content)
{
    DigestAlgorithm alg;
    if (!digestFromOid(f.digestOid, &alg))
        return Status::fail("its digest algorithm " + f.digestOid + " is not one sfxpack computes");
    if (f.messageDigest.empty())
        return Status::fail("its signed attributes hold no message digest");
    if (digestOf(alg, f.content) != f.messageDigest)
        return Status::fail(std::string("the message digest in its signed attributes is not the ") +
                            digestName(alg) + " of its " + content);
    return f.signature;
}

Status timeStampIntegrity(const SignedDigest& sig, TimeStampCheck* ts)
{
    const SignerFacts& f = *sig.timeStamp;
    if (sig.timeStampKind == TimeStampKind::CounterSignature) {
        if (!f.hasSigningTime)
            return Status::fail("the counter-signature holds no signing time");
        ts->time = f.signingTime;
        return signerIntegrity(f, "signer's signature value");
    }
    if (!sig.token)
        return sig.token.status();
    ts->time = sig.token->time;
    DigestAlgorithm alg;
    if (!digestFromOid(sig.token->imprintOid, &alg))
        return Status::fail("its imprint's digest algorithm " + sig.token->imprintOid +
                            " is not one sfxpack computes");
    if (digestOf(alg, sig.signer.signatureValue) != sig.token->imprint)
        return Status::fail("its imprint is not the digest of the signer's signature");
    return signerIntegrity(f, "TSTInfo");
}

TimeStampCheck checkTimeStamp(const SignedDigest& sig)
{
    TimeStampCheck ts;
    ts.kind = sig.timeStampKind;
    if (ts.kind == TimeStampKind::None)
        return ts;
    if (!sig.timeStamp) {
        ts.integrity = sig.timeStamp.status();
        return ts;
    }
    ts.chain = chainByName(sig.timeStamp->certificates, sig.timeStamp->signer);
    ts.integrity = timeStampIntegrity(sig, &ts);
    return ts;
}

bool allows(const CertificateFacts& c, const char* usage)
{
    return !c.statesUsages || std::find_if(c.usages.begin(), c.usages.end(), [&](const std::string& u) {
                                  return u == usage || u == kAnyUsageOid;
                              }) != c.usages.end();
}

// The chain from the signer to a certificate of `anchors`, each
// certificate valid at `at` and allowing `usage`.
Status judgeChain(const SignerFacts& f, const TrustAnchors& anchors, const std::string& anchorsName, int64_t at,
                  const std::string& when, const char* usage, const char* usageName,
                  std::vector<CertificateFacts>* chain)
{
    if (f.signer < 0)
        return Status::fail("the signer's certificate is not in the signature");
    Result<std::vector<CertificateFacts>> built = chainToAnchor(f.certificates, size_t(f.signer), anchors);
    if (!built)
        return Status::fail(built.message() == "no chain leads to a certificate of the trusted set"
                                ? "its chain does not lead to a certificate of " + anchorsName
                                : built.message());
    *chain = *built;
    for (const CertificateFacts& c : *chain) {
        if (at < c.notBefore || at > c.notAfter)
            return Status::fail("certificate " + c.subject + " is valid from " + formatTime(c.notBefore) + " to " +
                                formatTime(c.notAfter) + ", not " + when + " (" + formatTime(at) + ")");
        if (!allows(c, usage))
            return Status::fail("certificate " + c.subject + " does not allow " + usageName +
                                " (its extended key usages leave it out)");
    }
    return {};
}

}  // namespace

std::string formatTime(int64_t seconds)
{
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // The civil date of a day count, the inverse of secondsFromCivil.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return buf;
}

SignerCheck judgeSigner(const SignedDigest& sig, const TrustOptions& opt)
{
    SignerCheck s;
    s.integrity = signerIntegrity(sig.signer, "SpcIndirectDataContent");
    s.chain = chainByName(sig.signer.certificates, sig.signer.signer);
    s.timeStamp = checkTimeStamp(sig);
    if (!opt.ca)
        return s;
    s.judged = true;
    TimeStampCheck& ts = s.timeStamp;
    if (ts.kind != TimeStampKind::None && ts.integrity.ok() && sig.timeStamp)
        ts.trust = judgeChain(*sig.timeStamp, opt.tsaCa ? *opt.tsaCa : *opt.ca,
                              opt.tsaCa ? opt.tsaCaName : opt.caName, ts.time, "at the time stamp's time",
                              kTimeStampingUsageOid, "time stamping", &ts.chain);
    s.atTimeStamp = ts.kind != TimeStampKind::None && ts.integrity.ok() && ts.trust.ok();
    s.judgedAt = s.atTimeStamp ? ts.time : opt.now;
    s.trust = judgeChain(sig.signer, *opt.ca, opt.caName, s.judgedAt, s.atTimeStamp ? "at the time stamp's time" : "now",
                         kCodeSigningUsageOid, "code signing", &s.chain);
    if (s.trust.ok() && !ts.trust.ok())
        s.trust = Status::fail("its time stamp is not trusted: " + ts.trust.message());
    return s;
}

Status signerFailure(const SignerCheck& s)
{
    if (!s.integrity.ok())
        return Status::fail("the signature does not hold: " + s.integrity.message());
    if (s.timeStamp.kind != TimeStampKind::None && !s.timeStamp.integrity.ok())
        return Status::fail("the signature's time stamp does not hold: " + s.timeStamp.integrity.message());
    if (!s.trust.ok())
        return Status::fail("the signature is not trusted: " + s.trust.message());
    return {};
}

std::string describeTrust(const SignerCheck& s, const std::string& caName)
{
    if (!s.judged)
        return "trust was not judged (name the certificates to trust with --ca FILE to judge it)";
    const std::string anchor = s.chain.empty() ? std::string("?") : s.chain.back().subject;
    return "its chain leads to " + anchor + " of " + caName + ", valid " +
           (s.atTimeStamp ? "at the time stamp's time" : "now");
}

std::vector<std::string> describeChain(const SignerCheck& s)
{
    std::vector<std::string> lines;
    auto certLine = [](const char* role, const CertificateFacts& c) {
        return std::string(role) + c.subject + ", valid " + formatTime(c.notBefore) + " to " + formatTime(c.notAfter);
    };
    for (size_t i = 0; i < s.chain.size(); ++i)
        lines.push_back(certLine(i ? "issuer: " : "signer: ", s.chain[i]));
    const TimeStampCheck& ts = s.timeStamp;
    if (ts.kind == TimeStampKind::None) {
        lines.push_back("time stamp: none");
        return lines;
    }
    std::string kind = ts.kind == TimeStampKind::Rfc3161 ? "RFC 3161" : "counter-signature";
    if (!ts.integrity.ok()) {
        lines.push_back("time stamp: " + kind + ", does not hold: " + ts.integrity.message());
        return lines;
    }
    lines.push_back("time stamp: " + kind + ", " + formatTime(ts.time) +
                    (ts.chain.empty() ? "" : " by " + ts.chain.front().subject) +
                    (ts.trust.ok() ? "" : ", not trusted: " + ts.trust.message()));
    for (size_t i = 0; i < ts.chain.size(); ++i)
        lines.push_back(certLine(i ? "time stamp issuer: " : "time stamp signer: ", ts.chain[i]));
    return lines;
}

}  // namespace sfxpack
