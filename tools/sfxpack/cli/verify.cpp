// sfxpack verify: the whole container checked, its signature included;
// the findings as messages, or as JSON.
#include <cstdio>

#include "authenticode/authenticode.h"
#include "base/text.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/inspect.h"
#include "cli/signature_options.h"

namespace sfxpack {

namespace {

const char kVerifyHelp[] =
    "Usage: sfxpack verify [--json] [--codepage N] [--ca FILE [--tsa-ca FILE]]\n"
    "                      [--require-signed] CONTAINER...\n"
    "Exits 0 only when the launcher image is a PE image of exactly {image} bytes\n"
    "whose last section ends where the payload starts, with a well-formed resource\n"
    "section (icon group and version information included),\n"
    "every record is whole with a valid name, an end record is present, and\n"
    "nothing follows it but zero padding to a multiple of 8 and exactly the\n"
    "certificate table the image's security directory references.  Every\n"
    "finding is reported with its offset; duplicate names and an empty payload\n"
    "are warnings (the first 100 duplicates are listed, the others counted; of a\n"
    "container of more than 262144 distinct names, duplicates of the names\n"
    "beyond them are not found).  For a signed container, and for every program\n"
    "inside it that is signed, the Authenticode digest is recomputed and must be\n"
    "the one the signature holds, the signature over it must verify with the\n"
    "signer's key, and so must a time stamp and every nested signature; the chain\n"
    "is reported, and judged with --ca.\n"
    "\n"
    "  --json            print the findings, warnings and the signature's state as\n"
    "                    one JSON object per container (an array for several); a\n"
    "                    file that cannot be opened gets {\"container\": FILE,\n"
    "                    \"ok\": false, \"error\": MESSAGE}\n"
    "  --codepage N      also check that every name is text in Windows code page N\n"
    ;

// After the signature options.
const char kVerifyHelpTail[] =
    "  -q, --quiet       no warnings\n"
    "  --no-progress     taken as by every command; verify shows no progress bar\n"
    "  --fatal-warnings  a warning fails the command (exit 1)\n"
    "  -h, --help        show this help\n"
    "\n"
    "Exit status: 0 when every container is sound (with --require-signed: and it\n"
    "and every program inside carry a signature that holds), 1 when any is not,\n"
    "2 usage error.\n";

static_assert(kMaxRememberedNames == 262144 && kMaxListedDuplicates == 100, "the help text gives these numbers");

// What verify found in one container: the walk's summary with every
// finding of the image, the names and the signature added.
// A program inside the container and its own signature.
struct Program {
    ShownName name;
    uint64_t dataOffset = 0;
    SignatureCheck signature;
};

struct Verdict {
    Summary summary;
    SignatureCheck signature;
    std::vector<Program> programs;  // records whose data is a PE image
    uint64_t fileSize = 0;
    bool ok() const { return summary.findings.empty(); }
};

// A signature that does not hold is a finding, and so is one that
// --require-signed or --ca refuses.
void addSignatureFinding(Summary* s, const SignatureCheck& sig, const std::string& what, bool required)
{
    const std::string problem = required ? requireSignedProblem(sig) : sig.passes() ? "" : sig.message;
    if (!problem.empty() && (required || sig.state != SignatureState::Unsigned))
        s->findings.push_back({sig.offset, what + problem});
}

Verdict verifyFile(File& file, const InspectOptions& opt)
{
    Verdict v;
    v.fileSize = file.size();
    Summary& s = v.summary;
    std::vector<Problem> nameProblems;
    const TrustOptions& trust = opt.signatures.trust;
    s = inspectContainer(
        file,
        [&](const Record& r) {
            ShownName name = showName(r, opt.codePage, &nameProblems);
            SignatureCheck sig = checkProgram(file, r, trust);
            if (sig.state != SignatureState::NotAProgram)
                v.programs.push_back({std::move(name), r.dataOffset, std::move(sig)});
        },
        leadByteTest(opt.codePage));
    addCodePageHint(&s, opt.codePage);
    s.findings.insert(s.findings.end(), nameProblems.begin(), nameProblems.end());
    const ImageBranding b = readBranding(file);
    s.findings.insert(s.findings.begin(), b.findings.begin(), b.findings.end());
    v.signature = checkSignature(file, s, trust);
    const bool required = opt.signatures.requireSigned;
    for (const Program& p : v.programs)
        addSignatureFinding(&s, p.signature, "record '" + p.name.text + "': ", required);
    if (!required || v.signature.state != SignatureState::Unsigned)
        addSignatureFinding(&s, v.signature, "", required);
    else
        s.findings.push_back({0, "the container is unsigned (--require-signed asks for a signature)"});
    return v;
}

Json findingsJson(const std::vector<Problem>& list)
{
    Json out = Json::array();
    for (const Problem& f : list)
        out.push_back({{"offset", f.offset}, {"message", bytesAsCodePoints(f.what)}});
    return out;
}

Json verdictJson(const std::string& path, const Verdict& v)
{
    const Summary& s = v.summary;
    Json programs = Json::array();
    for (const Program& p : v.programs)
        programs.push_back(
            {{"name", p.name.json}, {"data_offset", p.dataOffset}, {"signature", signatureJson(p.signature)}});
    return {{"container", path},
            {"ok", v.ok()},
            {"records", s.records},
            {"data_bytes", s.dataBytes},
            {"end", {{"kind", endKindName(s.end.kind)}, {"offset", s.end.offset}}},
            {"signature", signatureJson(v.signature)},
            {"programs", std::move(programs)},
            {"findings", findingsJson(s.findings)},
            {"warnings", findingsJson(s.warnings)}};
}

// The warnings and findings on stderr, and for a sound container what was
// checked on stdout.
void printVerdict(GlobalOptions& global, const std::string& path, const Verdict& v)
{
    const Summary& s = v.summary;
    for (const Problem& w : s.warnings)
        warning(global, path + ": offset " + formatOffset(w.offset) + ": " + w.what);
    for (const Problem& f : s.findings)
        errorAt(path, f.offset, f.what);
    if (!v.ok())
        return;
    std::printf("%s: OK: %s\n", path.c_str(), v.signature.message.c_str());
    for (const std::string& line : describeSigner(v.signature))
        std::printf("%s: %s\n", path.c_str(), line.c_str());
    for (const Program& p : v.programs) {
        const std::string head = path + ": record '" + p.name.text + "': ";
        std::printf("%s%s\n", head.c_str(), describeProgram(p.signature).c_str());
        for (const std::string& line : describeSigner(p.signature))
            std::printf("%s%s\n", head.c_str(), line.c_str());
    }
    std::printf("%s: %llu record%s, %llu data bytes; %s; %s\n", path.c_str(),
                static_cast<unsigned long long>(s.records), s.records == 1 ? "" : "s",
                static_cast<unsigned long long>(s.dataBytes), describeEnd(s.end, v.fileSize).c_str(),
                describeTrailer(s.trailer, s.image).c_str());
    std::fflush(stdout);
}

// Verifies one container; `doc` receives its JSON object.
int verifyOne(GlobalOptions& global, const std::string& path, const InspectOptions& opt, Json* doc)
{
    Result<File> opened = File::openRead(path);
    if (!opened) {
        error(opened.message());
        *doc = {{"container", path}, {"ok", false}, {"error", opened.message()}};
        return kExitFailed;
    }
    const Verdict v = verifyFile(*opened, opt);
    if (opt.json) {
        *doc = verdictJson(path, v);
        noteWarnings(global, v.summary.warnings.size());
    } else {
        printVerdict(global, path, v);
    }
    return v.ok() ? kExitOk : kExitFailed;
}

}  // namespace

int runVerify(GlobalOptions& global, const std::vector<std::string>& args)
{
    CLI::App app;
    InspectOptions opt;
    addSignatureOptions(app, &opt.signatures);
    const std::string help = kVerifyHelp + std::string(kSignatureOptionsHelp) + kVerifyHelpTail;
    if (EarlyExit exit = parseInspectArgs(app, global, "verify", help.c_str(), args, &opt))
        return *exit;
    if (EarlyExit exit = loadSignatureOptions("verify", &opt.signatures))
        return *exit;
    return forEachContainer(global, opt, false, verifyOne);
}

}  // namespace sfxpack
