// sfxpack verify: the whole container checked, its signature included;
// the findings as messages, or as JSON.
#include <cstdio>

#include "authenticode/authenticode.h"
#include "base/text.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/inspect.h"

namespace sfxpack {

namespace {

const char kVerifyHelp[] =
    "Usage: sfxpack verify [--json] [--codepage N] CONTAINER...\n"
    "Exits 0 only when the launcher image is a PE image of exactly {image} bytes\n"
    "whose last section ends where the payload starts, with a well-formed resource\n"
    "section (icon group and version information included),\n"
    "every record is whole with a valid name, an end record is present, and\n"
    "nothing follows it but zero padding to a multiple of 8 and exactly the\n"
    "certificate table the image's security directory references.  Every\n"
    "finding is reported with its offset; duplicate names and an empty payload\n"
    "are warnings (the first 100 duplicates are listed, the others counted; of a\n"
    "container of more than 262144 distinct names, duplicates of the names\n"
    "beyond them are not found).  For a signed container, the file's Authenticode digest is\n"
    "recomputed and must be the one the signature holds; the signer's\n"
    "certificate is not checked.\n"
    "\n"
    "  --json            print the findings, warnings and the signature's state as\n"
    "                    one JSON object per container (an array for several); a\n"
    "                    file that cannot be opened gets {\"container\": FILE,\n"
    "                    \"ok\": false, \"error\": MESSAGE}\n"
    "  --codepage N      also check that every name is text in Windows code page N\n"
    "  -q, --quiet       no warnings\n"
    "  --no-progress     taken as by every command; verify shows no progress bar\n"
    "  --fatal-warnings  a warning fails the command (exit 1)\n"
    "  -h, --help        show this help\n"
    "\n"
    "Exit status: 0 when every container is sound, 1 when any is not, 2 usage error.\n";

static_assert(kMaxRememberedNames == 262144 && kMaxListedDuplicates == 100, "the help text gives these numbers");

// What verify found in one container: the walk's summary with every
// finding of the image, the names and the signature added.
struct Verdict {
    Summary summary;
    SignatureCheck signature;
    uint64_t fileSize = 0;
    bool ok() const { return summary.findings.empty(); }
};

Verdict verifyFile(File& file, unsigned codePage)
{
    Verdict v;
    v.fileSize = file.size();
    Summary& s = v.summary;
    std::vector<Problem> nameProblems;
    s = inspectContainer(
        file, [&](const Record& r) { showName(r, codePage, &nameProblems); }, leadByteTest(codePage));
    addCodePageHint(&s, codePage);
    s.findings.insert(s.findings.end(), nameProblems.begin(), nameProblems.end());
    const ImageBranding b = readBranding(file);
    s.findings.insert(s.findings.begin(), b.findings.begin(), b.findings.end());
    v.signature = checkSignature(file, s);
    if (v.signature.state == SignatureState::Changed || v.signature.state == SignatureState::Unreadable)
        s.findings.push_back({v.signature.offset, v.signature.message});
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
    const SignatureCheck& sig = v.signature;
    auto orNull = [](const std::string& text) { return text.empty() ? Json() : Json(text); };
    Json signature = {{"state", signatureStateName(sig.state)},
                      {"offset", sig.offset},
                      {"algorithm", orNull(sig.algorithm)},
                      {"file_digest", orNull(sig.fileDigest)},
                      {"signed_digest", orNull(sig.signedDigest)},
                      {"message", sig.message},
                      {"nested", sig.nested}};
    return {{"container", path},
            {"ok", v.ok()},
            {"records", s.records},
            {"data_bytes", s.dataBytes},
            {"end", {{"kind", endKindName(s.end.kind)}, {"offset", s.end.offset}}},
            {"signature", std::move(signature)},
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
    for (const std::string& n : v.signature.nested)
        std::printf("%s: also signed: %s, not checked\n", path.c_str(), n.c_str());
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
    const Verdict v = verifyFile(*opened, opt.codePage);
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
    if (EarlyExit exit = parseInspectArgs(app, global, "verify", kVerifyHelp, args, &opt))
        return *exit;
    return forEachContainer(global, opt, false, verifyOne);
}

}  // namespace sfxpack
