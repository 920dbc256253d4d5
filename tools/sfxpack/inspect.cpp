// sfxpack list and sfxpack verify: both walk the container once.
#include <cstdio>

#include "authenticode.h"
#include "cli.h"
#include "codepage.h"
#include "fileio.h"
#include "format.h"

namespace sfxpack {

namespace {

const char kListHelp[] =
    "Usage: sfxpack list [--json] [--sha256] [--codepage N] CONTAINER...\n"
    "Shows one line per record (data offset, size, name), how the payload ends,\n"
    "and what follows the end record.  Offsets are byte offsets from the start\n"
    "of the file.  Several containers are listed one after the other.\n"
    "\n"
    "  --json          print one JSON object per container instead (an array\n"
    "                  of them for several containers)\n"
    "  --sha256        add each record's SHA-256 and the whole file's\n"
    "  --codepage N    read the names in Windows code page N and print them in\n"
    "                  UTF-8 (without it, bytes outside ASCII are shown as \\xNN)\n"
    "  -h, --help      show this help\n"
    "\n"
    "Exit status: 0 when every record of every container could be read, 1 when a\n"
    "file is not a container or a record or name is bad, 2 usage error.\n";

const char kVerifyHelp[] =
    "Usage: sfxpack verify [--json] [--codepage N] CONTAINER...\n"
    "Exits 0 only when the launcher image is a PE image of exactly 131072 bytes\n"
    "whose last section ends where the payload starts,\n"
    "every record is whole with a valid name, an end record is present, and\n"
    "nothing follows it but zero padding to a multiple of 8 and exactly the\n"
    "certificate table the image's security directory references.  Every\n"
    "finding is reported with its offset; duplicate names and an empty payload\n"
    "are warnings.  For a signed container, the file's Authenticode digest is\n"
    "recomputed and must be the one the signature holds; the signer's\n"
    "certificate is not checked.\n"
    "\n"
    "  --json          print the findings, warnings and the signature's state as\n"
    "                  one JSON object per container (an array for several)\n"
    "  --codepage N    also check that every name is text in Windows code page N\n"
    "  -h, --help      show this help\n"
    "\n"
    "Exit status: 0 when every container is sound, 1 when any is not, 2 usage error.\n";

// JSON string: names are bytes in the Windows ANSI code page; bytes above
// 127 are given as the code points of the same value.
std::string jsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 32 && c < 127) {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        }
    }
    return out + "\"";
}

const char* endKindName(PayloadEnd kind)
{
    switch (kind) {
    case PayloadEnd::EndRecord: return "end_record";
    case PayloadEnd::ShortHeader: return "short_header";
    case PayloadEnd::BadRecord: return "bad_record";
    case PayloadEnd::NoPayload: break;
    }
    return "not_a_container";
}

const char* trailerKindName(TrailerKind kind)
{
    switch (kind) {
    case TrailerKind::Nothing: return "nothing";
    case TrailerKind::CertificateTable: return "certificate_table";
    case TrailerKind::Unexplained: break;
    }
    return "unexplained";
}

// Options that list and verify share.
struct InspectOptions {
    bool json = false;
    bool sha256 = false;  // list only
    unsigned codePage = kAsciiOnly;
    std::vector<std::string> paths;
};

// Parses "[--json] [--codepage N] CONTAINER..."; returns -1 to go on, or
// the exit status.
int parseInspectArgs(const char* command, const char* help, const std::vector<std::string>& args,
                     bool allowSha256, InspectOptions* opt)
{
    ArgCursor cur(command, args);
    std::string value;
    while (!cur.done()) {
        if (cur.separator()) {
        } else if (cur.operand()) {
            opt->paths.push_back(cur.take());
        } else if (cur.option("-h", "--help")) {
            std::fputs(help, stdout);
            return kExitOk;
        } else if (cur.option(nullptr, "--json")) {
            opt->json = true;
        } else if (allowSha256 && cur.option(nullptr, "--sha256")) {
            opt->sha256 = true;
        } else if (cur.option(nullptr, "--codepage", &value)) {
            if (cur.missing())
                return usageError(command, "option " + cur.missingName() + " needs a value");
            if (!parseCodePage(value, &opt->codePage))
                return usageError(command, codePageUsage(value));
        } else {
            return usageError(command, "unknown option '" + cur.peek() + "'");
        }
    }
    if (opt->paths.empty())
        return usageError(command, "no container given");
    return -1;
}

// A record's name for listing: UTF-8 with a code page, else as stored with
// other bytes escaped.  A name that is not valid in the code page is shown
// escaped and reported as a finding.
struct ShownName {
    std::string text;
    bool decoded = false;
};

ShownName showName(const Record& r, unsigned codePage, std::vector<Finding>* problems)
{
    ShownName shown;
    size_t bad = 0;
    if (codePage != kAsciiOnly && decodeName(r.name, codePage, &shown.text, &bad)) {
        shown.decoded = true;
        return shown;
    }
    shown.text = printableName(r.name);
    if (codePage != kAsciiOnly)
        problems->push_back({r.headerOffset + 4 + bad,
                             "record name '" + shown.text + "' is not valid in code page " +
                                 std::to_string(codePage) + " (byte " + std::to_string(bad) + " of the name)"});
    return shown;
}

// JSON string of UTF-8 text: control characters escaped, the rest as is.
std::string jsonText(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 32 || c == 127) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

int listOne(const std::string& path, const InspectOptions& opt, bool first)
{
    const bool json = opt.json;
    File file;
    IoError err;
    if (!File::openRead(path, &file, &err)) {
        error(err.message);
        return kExitFailed;
    }
    if (file.size() < kImageSize) {
        error(path + ": " + inspectImage(file).notContainer);
        return kExitFailed;
    }
    const bool several = opt.paths.size() > 1;
    if (json)
        std::printf("%s{\"container\": %s, \"size\": %llu, \"records\": [", several ? (first ? "" : ",\n ") : "",
                    jsonText(path).c_str(), static_cast<unsigned long long>(file.size()));
    else if (several)
        std::printf("%s%s:\n", first ? "" : "\n", path.c_str());
    if (!json)
        std::printf("%14s %12s  %s\n", "data offset", "size",
                    opt.sha256 ? ("sha256" + std::string(60, ' ') + "name").c_str() : "name");

    bool firstRecord = true;
    std::vector<Finding> nameProblems;
    bool readFailed = false;
    Summary s = inspectContainer(
        file,
        [&](const Record& r) {
            const ShownName name = showName(r, opt.codePage, &nameProblems);
            std::string digest;
            if (opt.sha256) {
                Digest d(DigestAlgorithm::Sha256);
                if (!d.ok() || !digestRanges(file, {{r.dataOffset, r.size}}, d))
                    readFailed = true;
                digest = hexDigits(d.finish());
            }
            if (json) {
                std::printf("%s\n  {\"name\": %s, \"size\": %u, \"header_offset\": %llu, \"data_offset\": %llu",
                            firstRecord ? "" : ",", name.decoded ? jsonText(name.text).c_str() : jsonString(r.name).c_str(),
                            r.size, static_cast<unsigned long long>(r.headerOffset),
                            static_cast<unsigned long long>(r.dataOffset));
                if (opt.sha256)
                    std::printf(", \"sha256\": \"%s\"", digest.c_str());
                std::printf("}");
            } else {
                std::printf("%14llu %12u  %s%s%s\n", static_cast<unsigned long long>(r.dataOffset), r.size,
                            digest.c_str(), opt.sha256 ? "  " : "", name.text.c_str());
            }
            firstRecord = false;
        },
        leadByteTest(opt.codePage));

    std::string fileDigest;
    if (opt.sha256) {
        Digest d(DigestAlgorithm::Sha256);
        if (!d.ok() || !digestRanges(file, {{0, file.size()}}, d))
            readFailed = true;
        fileDigest = hexDigits(d.finish());
    }
    if (json) {
        std::printf("%s],\n \"end\": {\"kind\": \"%s\", \"offset\": %llu, \"description\": %s},\n",
                    firstRecord ? "" : "\n", endKindName(s.end.kind),
                    static_cast<unsigned long long>(s.end.offset),
                    jsonString(describeEnd(s.end, file.size())).c_str());
        std::printf(" \"trailer\": {\"kind\": \"%s\", \"offset\": %llu, \"size\": %llu",
                    s.end.kind == PayloadEnd::EndRecord ? trailerKindName(s.trailer.kind) : "none",
                    static_cast<unsigned long long>(s.trailer.offset),
                    static_cast<unsigned long long>(s.trailer.size));
        if (s.trailer.kind == TrailerKind::CertificateTable)
            std::printf(", \"padding\": %llu, \"certificate_table\": {\"offset\": %u, \"size\": %u}",
                        static_cast<unsigned long long>(s.trailer.padding), s.image.securityOffset,
                        s.image.securitySize);
        if (s.trailer.kind == TrailerKind::Unexplained)
            std::printf(", \"problem\": %s, \"problem_offset\": %llu", jsonString(s.trailer.problem).c_str(),
                        static_cast<unsigned long long>(s.trailer.problemOffset));
        std::printf("},\n \"image\": {\"pe\": %s, \"security_directory\": {\"offset\": %u, \"size\": %u}}",
                    s.image.notPe.empty() ? "true" : "false", s.image.securityOffset, s.image.securitySize);
        if (opt.sha256)
            std::printf(",\n \"sha256\": \"%s\"", fileDigest.c_str());
        std::printf("}%s", several ? "" : "\n");
    } else {
        std::printf("%s\n", describeEnd(s.end, file.size()).c_str());
        if (s.end.kind == PayloadEnd::EndRecord)
            std::printf("%s\n", describeTrailer(s.trailer, s.image).c_str());
        if (!s.image.notPe.empty())
            std::printf("launcher image: %s\n", s.image.notPe.c_str());
        if (!s.image.layoutProblem.empty())
            std::printf("launcher image: %s\n", s.image.layoutProblem.c_str());
        if (opt.sha256)
            std::printf("sha256 of the file: %s\n", fileDigest.c_str());
    }
    std::fflush(stdout);
    reportWarnings(path, s, file.size());
    int rc = kExitOk;
    for (const Finding& f : nameProblems) {
        errorAt(path, f.offset, f.what);
        rc = kExitFailed;
    }
    if (readFailed) {
        error(path + ": " + file.readError());
        rc = kExitFailed;
    }
    if (s.end.kind == PayloadEnd::BadRecord) {
        errorAt(path, s.end.offset, s.end.problem);
        rc = kExitFailed;
    }
    return rc;
}

int verifyOne(const std::string& path, const InspectOptions& opt, bool first)
{
    File file;
    IoError err;
    const char* sep = opt.paths.size() > 1 && !first ? ",\n " : "";
    if (!File::openRead(path, &file, &err)) {
        if (opt.json)
            std::printf("%s{\"container\": %s, \"ok\": false, \"error\": %s}", sep, jsonText(path).c_str(),
                        jsonText(err.message).c_str());
        else
            error(err.message);
        return kExitFailed;
    }
    std::vector<Finding> nameProblems;
    Summary s = inspectContainer(
        file, [&](const Record& r) { showName(r, opt.codePage, &nameProblems); }, leadByteTest(opt.codePage));
    s.findings.insert(s.findings.end(), nameProblems.begin(), nameProblems.end());
    SignatureCheck sig = checkSignature(file, s);
    if (sig.state == SignatureState::Changed || sig.state == SignatureState::Unreadable)
        s.findings.push_back({sig.offset, sig.message});
    const bool ok = s.findings.empty();

    if (opt.json) {
        auto findings = [](const std::vector<Finding>& list) {
            std::string out = "[";
            for (const Finding& f : list)
                out += std::string(out.size() > 1 ? ", " : "") + "{\"offset\": " + std::to_string(f.offset) +
                       ", \"message\": " + jsonText(f.what) + "}";
            return out + "]";
        };
        std::vector<Finding> warnings = s.warnings;
        std::string nested = "[";
        for (const std::string& n : sig.nested)
            nested += std::string(nested.size() > 1 ? ", " : "") + jsonText(n);
        nested += "]";
        std::printf("%s{\"container\": %s, \"ok\": %s, \"records\": %llu, \"data_bytes\": %llu,\n"
                    "  \"end\": {\"kind\": \"%s\", \"offset\": %llu},\n"
                    "  \"signature\": {\"state\": \"%s\", \"offset\": %llu, \"algorithm\": %s, "
                    "\"file_digest\": %s, \"signed_digest\": %s, \"message\": %s, \"nested\": %s},\n"
                    "  \"findings\": %s,\n  \"warnings\": %s}%s",
                    sep, jsonText(path).c_str(), ok ? "true" : "false", static_cast<unsigned long long>(s.records),
                    static_cast<unsigned long long>(s.dataBytes), endKindName(s.end.kind),
                    static_cast<unsigned long long>(s.end.offset), signatureStateName(sig.state),
                    static_cast<unsigned long long>(sig.offset),
                    sig.algorithm.empty() ? "null" : jsonText(sig.algorithm).c_str(),
                    sig.fileDigest.empty() ? "null" : jsonText(sig.fileDigest).c_str(),
                    sig.signedDigest.empty() ? "null" : jsonText(sig.signedDigest).c_str(), jsonText(sig.message).c_str(),
                    nested.c_str(), findings(s.findings).c_str(), findings(warnings).c_str(),
                    opt.paths.size() > 1 ? "" : "\n");
        return ok ? kExitOk : kExitFailed;
    }
    for (const Finding& w : s.warnings)
        warning(path + ": offset " + formatOffset(w.offset) + ": " + w.what);
    for (const Finding& f : s.findings)
        errorAt(path, f.offset, f.what);
    if (!ok)
        return kExitFailed;
    std::printf("%s: OK: %s\n", path.c_str(), sig.message.c_str());
    for (const std::string& n : sig.nested)
        std::printf("%s: also signed: %s, not checked\n", path.c_str(), n.c_str());
    std::printf("%s: %llu record%s, %llu data bytes; %s; %s\n", path.c_str(),
                static_cast<unsigned long long>(s.records), s.records == 1 ? "" : "s",
                static_cast<unsigned long long>(s.dataBytes), describeEnd(s.end, file.size()).c_str(),
                describeTrailer(s.trailer, s.image).c_str());
    return kExitOk;
}

// Runs `one` for every container, as one JSON array when there are several.
template <typename Fn>
int forEachContainer(const InspectOptions& opt, Fn one)
{
    const bool array = opt.json && opt.paths.size() > 1;
    if (array)
        std::printf("[");
    int rc = kExitOk;
    for (size_t i = 0; i < opt.paths.size(); ++i)
        if (one(opt.paths[i], opt, i == 0) != kExitOk)
            rc = kExitFailed;
    if (array)
        std::printf("]\n");
    return rc;
}

}  // namespace

int runList(const std::vector<std::string>& args)
{
    InspectOptions opt;
    if (int rc = parseInspectArgs("list", kListHelp, args, true, &opt); rc >= 0)
        return rc;
    return forEachContainer(opt, listOne);
}

int runVerify(const std::vector<std::string>& args)
{
    InspectOptions opt;
    if (int rc = parseInspectArgs("verify", kVerifyHelp, args, false, &opt); rc >= 0)
        return rc;
    return forEachContainer(opt, verifyOne);
}

}  // namespace sfxpack
