// The options that judge code signatures, which verify and create share:
// --ca FILE and --tsa-ca FILE (the certificates a chain must lead to) and
// --require-signed; and the JSON of a checked signature.
#ifndef SFXPACK_CLI_SIGNATURE_OPTIONS_H
#define SFXPACK_CLI_SIGNATURE_OPTIONS_H

#include <ctime>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "authenticode/authenticode.h"
#include "cli/command_line.h"

namespace sfxpack {

struct SignatureOptions {
    std::string ca;     // --ca FILE
    std::string tsaCa;  // --tsa-ca FILE
    bool requireSigned = false;
    // Filled by loadSignatureOptions; `trust` points into the anchors.
    std::optional<TrustAnchors> caAnchors, tsaAnchors;
    TrustOptions trust;
};

// Declares --ca, --tsa-ca and --require-signed on a subcommand's app.
void addSignatureOptions(CLI::App& app, SignatureOptions* options);

// The options' lines of the verify and create help.
extern const char kSignatureOptionsHelp[];

// Reads the certificate files; ends the command after saying what is
// wrong with one.
EarlyExit loadSignatureOptions(const char* command, SignatureOptions* options);

// Why a file fails --require-signed ("unsigned", or the failed check), or
// empty when its signature passes.
std::string requireSignedProblem(const SignatureCheck& check);

// A checked signature as JSON: its state and digests, the signer's chain,
// the time stamp, how trust was judged, and the nested signatures.
nlohmann::ordered_json signatureJson(const SignatureCheck& check);

}  // namespace sfxpack

#endif  // SFXPACK_CLI_SIGNATURE_OPTIONS_H
