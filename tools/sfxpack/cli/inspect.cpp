// sfxpack list and sfxpack verify: both walk each container once.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "cli/authenticode.h"
#include "cli/cli.h"
#include "format/brand.h"
#include "format/image.h"
#include "format/layout.h"
#include "format/reader.h"
#include "format/record.h"
#include "format/summary.h"
#include "format/trailer.h"
#include "platform/codepage.h"
#include "platform/fileio.h"

namespace sfxpack {

namespace {

using Json = nlohmann::ordered_json;

const char kListHelp[] =
    "Usage: sfxpack list [--json] [--sha256] [--codepage N] CONTAINER...\n"
    "Shows one line per record (data offset, size, name), how the payload ends,\n"
    "what follows the end record, and the launcher image's icon sizes and version\n"
    "information.  Offsets are byte offsets from the start of the file.  Several\n"
    "containers are listed one after the other.\n"
    "\n"
    "  --json          print one JSON object per container instead (an array\n"
    "                  of them for several containers)\n"
    "  --sha256        add each record's SHA-256 and the whole file's\n"
    "  --codepage N    read the names in Windows code page N and print them in\n"
    "                  UTF-8 (without it, bytes outside ASCII are shown as \\xNN)\n"
    "  -q, --quiet     no warnings\n"
    "  -h, --help      show this help\n"
    "\n"
    "Exit status: 0 when every record of every container could be read, 1 when a\n"
    "file is not a container or a record or name is bad, 2 usage error.\n";

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
    "  --json          print the findings, warnings and the signature's state as\n"
    "                  one JSON object per container (an array for several)\n"
    "  --codepage N    also check that every name is text in Windows code page N\n"
    "  -q, --quiet     no warnings\n"
    "  -h, --help      show this help\n"
    "\n"
    "Exit status: 0 when every container is sound, 1 when any is not, 2 usage error.\n";

static_assert(kMaxRememberedNames == 262144 && kMaxListedDuplicates == 100, "the help text gives these numbers");

std::string jsonDump(const Json& doc)
{
    return doc.dump(1, ' ', false, Json::error_handler_t::replace);
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

// The icon and version resources of the container's launcher image.
ImageBranding readBranding(File& file)
{
    std::vector<unsigned char> image(static_cast<size_t>(kImageSize));
    if (file.size() < kImageSize || !file.read(0, image.data(), image.size()))
        return {};
    return inspectBranding(image);
}

// Options that list and verify share.
struct InspectOptions {
    bool json = false;
    bool sha256 = false;  // list only
    unsigned codePage = kAsciiOnly;
    std::vector<std::string> paths;
};

// Parses "[OPTIONS] CONTAINER..." with the command's own options already
// declared on `app`; returns -1 to go on, or the exit status.
int parseInspectArgs(CLI::App& app, const char* command, const char* help, const std::vector<std::string>& args,
                     InspectOptions* opt)
{
    app.add_flag("--json", opt->json);
    CodePageOption codePage;
    codePage.add(app);
    Operands operands;
    if (int rc = parseCommandLine(app, command, help, args, &operands); rc >= 0)
        return rc;
    if (int rc = codePage.read(command, &opt->codePage); rc >= 0)
        return rc;
    if (operands.values.empty())
        return usageError(command, "no container given");
    opt->paths = operands.values;
    return -1;
}

// A record's name in a listing: UTF-8 with a code page, else the stored
// bytes (escaped for text, as code points for JSON).  A name that is not
// text in the code page is shown as bytes and reported in `problems`, and
// so is text that names a device.
struct ShownName {
    std::string text;
    std::string json;
};

ShownName showName(const Record& r, unsigned codePage, std::vector<Finding>* problems)
{
    ShownName shown;
    uint64_t bad = 0;
    if (codePage != kAsciiOnly) {
        Result<std::string> text = decodeName(r.name, codePage);
        if (text) {
            shown.text = *text;
            shown.json = shown.text;
            if (std::string device = deviceNameProblem(shown.text, codePage); !device.empty())
                problems->push_back({r.headerOffset + 4, "record " + device});
            return shown;
        }
        bad = text.status().offset();
    }
    shown.text = printableName(r.name);
    shown.json = bytesAsCodePoints(r.name);
    if (codePage != kAsciiOnly)
        problems->push_back({r.headerOffset + 4 + bad, "record name '" + shown.text +
                                                           "' is not valid in code page " + std::to_string(codePage)});
    return shown;
}

// The SHA-256 of a range of the file, hexadecimal, or empty when it
// cannot be read.
std::string sha256Of(File& file, uint64_t offset, uint64_t size)
{
    Result<Digest> d = Digest::start(DigestAlgorithm::Sha256);
    if (!d) {
        error(d.message());
        return {};
    }
    if (!digestRanges(file, {{offset, size}}, *d))
        return {};
    return hexDigits(d->finish());
}

// Lists one container; `doc` receives its JSON object.
int listOne(const std::string& path, const InspectOptions& opt, Json* doc)
{
    Result<File> opened = File::openRead(path);
    if (!opened) {
        error(opened.message());
        return kExitFailed;
    }
    File& file = *opened;
    if (file.size() < kImageSize) {
        error(path + ": " + inspectImage(file).container.message());
        return kExitFailed;
    }

    Json records = Json::array();
    if (!opt.json)
        std::printf("%14s %12s  %s%s\n", "data offset", "size", opt.sha256 ? "sha256" : "",
                    opt.sha256 ? (std::string(60, ' ') + "name").c_str() : "name");
    std::vector<Finding> nameProblems;
    bool readFailed = false;
    Summary s = inspectContainer(
        file,
        [&](const Record& r) {
            const ShownName name = showName(r, opt.codePage, &nameProblems);
            std::string digest;
            if (opt.sha256 && (digest = sha256Of(file, r.dataOffset, r.size)).empty())
                readFailed = true;
            if (opt.json) {
                Json rec = {{"name", name.json},
                            {"size", r.size},
                            {"header_offset", r.headerOffset},
                            {"data_offset", r.dataOffset}};
                if (opt.sha256)
                    rec["sha256"] = digest;
                records.push_back(std::move(rec));
            } else {
                std::printf("%14llu %12u  %s%s%s\n", static_cast<unsigned long long>(r.dataOffset), r.size,
                            digest.c_str(), opt.sha256 ? "  " : "", name.text.c_str());
            }
        },
        leadByteTest(opt.codePage));
    addCodePageHint(&s, opt.codePage);
    std::string fileDigest;
    if (opt.sha256 && (fileDigest = sha256Of(file, 0, file.size())).empty())
        readFailed = true;
    const ImageBranding b = readBranding(file);

    if (opt.json) {
        Json trailer = {{"kind", s.end.kind == PayloadEnd::EndRecord ? trailerKindName(s.trailer.kind) : "none"},
                        {"offset", s.trailer.offset},
                        {"size", s.trailer.size}};
        if (s.trailer.kind == TrailerKind::CertificateTable) {
            trailer["padding"] = s.trailer.padding;
            trailer["certificate_table"] = {{"offset", s.image.securityOffset}, {"size", s.image.securitySize}};
        }
        if (s.trailer.kind == TrailerKind::Unexplained) {
            trailer["problem"] = bytesAsCodePoints(s.trailer.problem.message());
            trailer["problem_offset"] = s.trailer.problem.offset();
        }
        Json icon = Json::array();
        for (const IconGroupEntry& e : b.icons)
            icon.push_back({{"width", e.width ? e.width : 256},
                            {"height", e.height ? e.height : 256},
                            {"bit_count", e.bitCount},
                            {"id", e.id}});
        Json version = nullptr;
        if (b.hasVersion) {
            Json strings = Json::array();
            for (const auto& [key, value] : b.version.strings)
                strings.push_back({{"key", key}, {"value", value}});
            version = {{"file_version", formatVersionNumber(b.version.fileVersion)},
                       {"product_version", formatVersionNumber(b.version.productVersion)},
                       {"strings", std::move(strings)}};
        }
        *doc = {{"container", path},
                {"size", file.size()},
                {"records", std::move(records)},
                {"end",
                 {{"kind", endKindName(s.end.kind)},
                  {"offset", s.end.offset},
                  {"description", bytesAsCodePoints(describeEnd(s.end, file.size()))}}},
                {"trailer", std::move(trailer)},
                {"image",
                 {{"pe", s.image.pe.ok()},
                  {"security_directory", {{"offset", s.image.securityOffset}, {"size", s.image.securitySize}}},
                  {"icon", std::move(icon)},
                  {"version", std::move(version)}}}};
        if (opt.sha256)
            (*doc)["sha256"] = fileDigest;
    } else {
        std::printf("%s\n", describeEnd(s.end, file.size()).c_str());
        if (s.end.kind == PayloadEnd::EndRecord)
            std::printf("%s\n", describeTrailer(s.trailer, s.image).c_str());
        if (!s.image.pe.ok())
            std::printf("launcher image: %s\n", s.image.pe.message().c_str());
        if (!s.image.layout.ok())
            std::printf("launcher image: %s\n", s.image.layout.message().c_str());
        if (!b.icons.empty())
            std::printf("icon: %s\n", describeIcons(b.icons).c_str());
        if (b.hasVersion) {
            std::printf("file version %s, product version %s\n", formatVersionNumber(b.version.fileVersion).c_str(),
                        formatVersionNumber(b.version.productVersion).c_str());
            for (const auto& [key, value] : b.version.strings)
                std::printf("%s: %s\n", printableText(key).c_str(), printableText(value).c_str());
        }
        for (const Finding& f : b.findings)
            std::printf("launcher image: %s (at offset %s)\n", f.what.c_str(), formatOffset(f.offset).c_str());
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
        errorAt(path, s.end.offset, s.end.problem.message());
        rc = kExitFailed;
    }
    return rc;
}

Json findingsJson(const std::vector<Finding>& list)
{
    Json out = Json::array();
    for (const Finding& f : list)
        out.push_back({{"offset", f.offset}, {"message", bytesAsCodePoints(f.what)}});
    return out;
}

// Verifies one container; `doc` receives its JSON object.
int verifyOne(const std::string& path, const InspectOptions& opt, Json* doc)
{
    Result<File> opened = File::openRead(path);
    if (!opened) {
        error(opened.message());
        *doc = {{"container", path}, {"ok", false}, {"error", opened.message()}};
        return kExitFailed;
    }
    File& file = *opened;
    std::vector<Finding> nameProblems;
    Summary s = inspectContainer(
        file, [&](const Record& r) { showName(r, opt.codePage, &nameProblems); }, leadByteTest(opt.codePage));
    addCodePageHint(&s, opt.codePage);
    s.findings.insert(s.findings.end(), nameProblems.begin(), nameProblems.end());
    const ImageBranding b = readBranding(file);
    s.findings.insert(s.findings.begin(), b.findings.begin(), b.findings.end());
    const SignatureCheck sig = checkSignature(file, s);
    if (sig.state == SignatureState::Changed || sig.state == SignatureState::Unreadable)
        s.findings.push_back({sig.offset, sig.message});
    const bool ok = s.findings.empty();

    if (opt.json) {
        auto orNull = [](const std::string& v) { return v.empty() ? Json() : Json(v); };
        Json signature = {{"state", signatureStateName(sig.state)},
                          {"offset", sig.offset},
                          {"algorithm", orNull(sig.algorithm)},
                          {"file_digest", orNull(sig.fileDigest)},
                          {"signed_digest", orNull(sig.signedDigest)},
                          {"message", sig.message},
                          {"nested", sig.nested}};
        *doc = {{"container", path},
                {"ok", ok},
                {"records", s.records},
                {"data_bytes", s.dataBytes},
                {"end", {{"kind", endKindName(s.end.kind)}, {"offset", s.end.offset}}},
                {"signature", std::move(signature)},
                {"findings", findingsJson(s.findings)},
                {"warnings", findingsJson(s.warnings)}};
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
    std::fflush(stdout);
    return kExitOk;
}

// Runs `one` for every container, grouped by file: the text of several
// listings is headed by each file's name, JSON documents of several
// containers form one array.  Exit status 1 when any fails.
int forEachContainer(const InspectOptions& opt, bool headed,
                     int (*one)(const std::string&, const InspectOptions&, Json*))
{
    const bool several = opt.paths.size() > 1;
    Json all = Json::array();
    int rc = kExitOk;
    for (size_t i = 0; i < opt.paths.size(); ++i) {
        if (headed && several && !opt.json)
            std::printf("%s%s:\n", i ? "\n" : "", opt.paths[i].c_str());
        Json doc;
        if (one(opt.paths[i], opt, &doc) != kExitOk)
            rc = kExitFailed;
        if (opt.json && !doc.is_null()) {
            if (several)
                all.push_back(std::move(doc));
            else
                std::printf("%s\n", jsonDump(doc).c_str());
        }
    }
    if (opt.json && several)
        std::printf("%s\n", jsonDump(all).c_str());
    return rc;
}

}  // namespace

int runList(const std::vector<std::string>& args)
{
    CLI::App app;
    InspectOptions opt;
    app.add_flag("--sha256", opt.sha256);
    if (int rc = parseInspectArgs(app, "list", kListHelp, args, &opt); rc >= 0)
        return rc;
    return forEachContainer(opt, true, listOne);
}

int runVerify(const std::vector<std::string>& args)
{
    CLI::App app;
    InspectOptions opt;
    if (int rc = parseInspectArgs(app, "verify", kVerifyHelp, args, &opt); rc >= 0)
        return rc;
    return forEachContainer(opt, false, verifyOne);
}

}  // namespace sfxpack
