// The signature options and the JSON of a checked signature.
#include "cli/signature_options.h"

#include "base/text.h"
#include "platform/fileio.h"

namespace sfxpack {

using Json = nlohmann::ordered_json;

namespace {

// A CA bundle of every public root is a few hundred kilobytes.
constexpr uint64_t kMaxCertificateFile = 16u << 20;

EarlyExit loadAnchors(const std::string& option, const std::string& path, std::optional<TrustAnchors>* out)
{
    Result<File> opened = File::openRead(path);
    if (!opened) {
        error(opened.message());
        return kExitFailed;
    }
    File& f = *opened;
    if (f.size() > kMaxCertificateFile) {
        error(path + ": " + std::to_string(f.size()) + " bytes, more than the " +
              std::to_string(kMaxCertificateFile) + " sfxpack reads as certificates for " + option);
        return kExitFailed;
    }
    std::string text(size_t(f.size()), '\0');
    if (!f.read(0, text.data(), text.size())) {
        error(path + ": " + f.readError());
        return kExitFailed;
    }
    Result<TrustAnchors> anchors = TrustAnchors::fromPem(text);
    if (!anchors) {
        error(path + ": " + anchors.message() + " (" + option + " takes PEM certificates)");
        return kExitFailed;
    }
    out->emplace(std::move(*anchors));
    return std::nullopt;
}

Json certificateJson(const CertificateFacts& c)
{
    return {{"subject", c.subject},
            {"issuer", c.issuer},
            {"not_before", formatTime(c.notBefore)},
            {"not_after", formatTime(c.notAfter)}};
}

Json chainJson(const std::vector<CertificateFacts>& chain)
{
    Json out = Json::array();
    for (const CertificateFacts& c : chain)
        out.push_back(certificateJson(c));
    return out;
}

Json problemJson(const Status& s)
{
    return s.ok() ? Json() : Json(s.message());
}

Json timeStampJson(const TimeStampCheck& ts)
{
    if (ts.kind == TimeStampKind::None)
        return nullptr;
    return {{"kind", ts.kind == TimeStampKind::Rfc3161 ? "rfc3161" : "counter_signature"},
            {"time", ts.integrity.ok() ? Json(formatTime(ts.time)) : Json()},
            {"chain", chainJson(ts.chain)},
            {"problem", problemJson(ts.integrity)},
            {"trust_problem", problemJson(ts.trust)}};
}

}  // namespace

const char kSignatureOptionsHelp[] =
    "  --ca FILE         judge each signature's chain: it must lead to a certificate\n"
    "                    of FILE (PEM), each certificate allowing code signing where\n"
    "                    it states usages and valid at the time stamp's time (a time\n"
    "                    stamp that holds and whose own chain leads to FILE), else now\n"
    "  --tsa-ca FILE     judge time stamps' chains against FILE instead of --ca's\n"
    "  --require-signed  fail unless the container and every program inside it carry\n"
    "                    a signature that holds (and is trusted, with --ca)\n";

void addSignatureOptions(CLI::App& app, SignatureOptions* options)
{
    app.add_option("--ca", options->ca);
    app.add_option("--tsa-ca", options->tsaCa);
    app.add_flag("--require-signed", options->requireSigned);
}

EarlyExit loadSignatureOptions(const char* command, SignatureOptions* options)
{
    options->trust.now = int64_t(std::time(nullptr));
    if (!options->tsaCa.empty() && options->ca.empty())
        return usageError(command, "--tsa-ca judges time stamps only beside --ca");
    if (!options->ca.empty()) {
        if (EarlyExit exit = loadAnchors("--ca", options->ca, &options->caAnchors))
            return exit;
        options->trust.ca = &*options->caAnchors;
        options->trust.caName = options->ca;
    }
    if (!options->tsaCa.empty()) {
        if (EarlyExit exit = loadAnchors("--tsa-ca", options->tsaCa, &options->tsaAnchors))
            return exit;
        options->trust.tsaCa = &*options->tsaAnchors;
        options->trust.tsaCaName = options->tsaCa;
    }
    return std::nullopt;
}

std::string requireSignedProblem(const SignatureCheck& check)
{
    if (check.passes())
        return {};
    if (check.state == SignatureState::Unsigned)
        return "unsigned (--require-signed asks for a signature)";
    return check.message;
}

Json signatureJson(const SignatureCheck& check)
{
    auto orNull = [](const std::string& text) { return text.empty() ? Json() : Json(text); };
    Json doc = {{"state", signatureStateName(check.state)},
                {"offset", check.offset},
                {"algorithm", orNull(check.algorithm)},
                {"file_digest", orNull(check.fileDigest)},
                {"signed_digest", orNull(check.signedDigest)},
                {"passes", check.passes()},
                {"message", bytesAsCodePoints(check.message)}};
    if (check.state == SignatureState::Matches) {
        const SignerCheck& s = check.signer;
        doc["signer"] = s.chain.empty() ? Json() : Json(s.chain.front().subject);
        doc["chain"] = chainJson(s.chain);
        doc["problem"] = problemJson(s.integrity);
        doc["time_stamp"] = timeStampJson(s.timeStamp);
        doc["trust"] = !s.judged ? "not judged" : s.trust.ok() ? "trusted" : "refused";
        doc["trust_problem"] = problemJson(s.trust);
    }
    Json nested = Json::array();
    for (const SignatureCheck& n : check.nested)
        nested.push_back(signatureJson(n));
    doc["nested"] = std::move(nested);
    doc["further"] = check.further;
    return doc;
}

}  // namespace sfxpack
