// sfxpack list: one line per record, then how the payload ends, what
// follows it and the launcher image's branding; or the same as JSON.
//
// The records are printed as the walk meets them (text) or collected
// (JSON); what the walk found about the whole container is gathered
// first and printed after, in either form.
#include <cstdio>

#include "authenticode/authenticode.h"
#include "base/text.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/inspect.h"

namespace sfxpack {

namespace {

const char kListHelp[] =
    "Usage: sfxpack list [--json] [--sha256] [--codepage N] CONTAINER...\n"
    "Shows one line per record (data offset, size, name), and below a program's\n"
    "line its own Authenticode signature (unsigned, or its digest and signature\n"
    "checked, with the signer), how the payload ends,\n"
    "what follows the end record, and the launcher image's icon sizes and version\n"
    "information.  Offsets are byte offsets from the start of the file.  Several\n"
    "containers are listed one after the other.\n"
    "\n"
    "  --json            print one JSON object per container instead (an array of\n"
    "                    them for several containers); a file that cannot be read\n"
    "                    as a container gets {\"container\": FILE, \"error\": MESSAGE}\n"
    "  --sha256          add each record's SHA-256 and the whole file's\n"
    "  --codepage N      read the names in Windows code page N and print them in\n"
    "                    UTF-8 (without it, bytes outside ASCII are shown as \\xNN)\n"
    "  -q, --quiet       no warnings\n"
    "  --no-progress     taken as by every command; list shows no progress bar\n"
    "  --fatal-warnings  a warning fails the command (exit 1)\n"
    "  -h, --help        show this help\n"
    "\n"
    "Exit status: 0 when every record of every container could be read, 1 when a\n"
    "file is not a container or a record or name is bad, 2 usage error.\n";

// One record as listed.
struct ListedRecord {
    const Record& record;
    ShownName name;
    std::string sha256;  // with --sha256
    SignatureCheck program;  // the record's own signature, or not a program
};

// What the listing of one container found besides its records.
struct Listing {
    Summary summary;
    ImageBranding branding;
    uint64_t fileSize = 0;
    std::string sha256;                 // of the whole file, with --sha256
    std::vector<Problem> nameProblems;  // names not text in the code page
    bool readFailed = false;            // a digest could not be computed
};

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

// Walks the container, handing each record to `onRecord`, and gathers
// the rest.
template <class OnRecord>
Listing gatherListing(File& file, const InspectOptions& opt, OnRecord onRecord)
{
    Listing l;
    l.fileSize = file.size();
    l.summary = inspectContainer(
        file,
        [&](const Record& r) {
            ListedRecord listed{r, showName(r, opt.codePage, &l.nameProblems), {}, checkProgram(file, r)};
            if (opt.sha256 && (listed.sha256 = sha256Of(file, r.dataOffset, r.size)).empty())
                l.readFailed = true;
            onRecord(listed);
        },
        leadByteTest(opt.codePage));
    addCodePageHint(&l.summary, opt.codePage);
    if (opt.sha256 && (l.sha256 = sha256Of(file, 0, file.size())).empty())
        l.readFailed = true;
    l.branding = readBranding(file);
    return l;
}

// ---- Text ----------------------------------------------------------------

void printRecordHeading(const InspectOptions& opt)
{
    std::printf("%14s %12s  %s%s\n", "data offset", "size", opt.sha256 ? "sha256" : "",
                opt.sha256 ? (std::string(60, ' ') + "name").c_str() : "name");
}

void printRecord(const ListedRecord& r, const InspectOptions& opt)
{
    std::printf("%14llu %12u  %s%s%s\n", static_cast<unsigned long long>(r.record.dataOffset), r.record.size,
                r.sha256.c_str(), opt.sha256 ? "  " : "", r.name.text.c_str());
    if (r.program.state != SignatureState::NotAProgram)
        std::printf("%29s program: %s\n", "", describeProgram(r.program).c_str());
}

void printBranding(const ImageBranding& b)
{
    if (!b.icons.empty())
        std::printf("icon: %s\n", describeIcons(b.icons).c_str());
    if (b.hasVersion) {
        std::printf("file version %s, product version %s\n", formatVersionNumber(b.version.fileVersion).c_str(),
                    formatVersionNumber(b.version.productVersion).c_str());
        for (const auto& [key, value] : b.version.strings)
            std::printf("%s: %s\n", printableText(key).c_str(), printableText(value).c_str());
    }
    for (const Problem& f : b.findings)
        std::printf("launcher image: %s (at offset %s)\n", f.what.c_str(), formatOffset(f.offset).c_str());
}

// Everything after the records: the end, the trailer, the image.
void printListing(const Listing& l, const InspectOptions& opt)
{
    const Summary& s = l.summary;
    std::printf("%s\n", describeEnd(s.end, l.fileSize).c_str());
    if (s.end.kind == PayloadEnd::EndRecord)
        std::printf("%s\n", describeTrailer(s.trailer, s.image).c_str());
    if (!s.image.pe.ok())
        std::printf("launcher image: %s\n", s.image.pe.message().c_str());
    if (!s.image.layout.ok())
        std::printf("launcher image: %s\n", s.image.layout.message().c_str());
    printBranding(l.branding);
    if (opt.sha256)
        std::printf("sha256 of the file: %s\n", l.sha256.c_str());
}

// ---- JSON ----------------------------------------------------------------

const char* trailerKindName(TrailerKind kind)
{
    switch (kind) {
    case TrailerKind::Nothing: return "nothing";
    case TrailerKind::CertificateTable: return "certificate_table";
    case TrailerKind::Unexplained: break;
    }
    return "unexplained";
}

Json recordJson(const ListedRecord& r, const InspectOptions& opt)
{
    Json rec = {{"name", r.name.json},
                {"size", r.record.size},
                {"header_offset", r.record.headerOffset},
                {"data_offset", r.record.dataOffset}};
    if (opt.sha256)
        rec["sha256"] = r.sha256;
    rec["program"] = signatureJson(r.program);
    return rec;
}

Json trailerJson(const Summary& s)
{
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
    return trailer;
}

Json imageJson(const ImageInfo& image, const ImageBranding& b)
{
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
    return {{"pe", image.pe.ok()},
            {"security_directory", {{"offset", image.securityOffset}, {"size", image.securitySize}}},
            {"icon", std::move(icon)},
            {"version", std::move(version)}};
}

Json listingJson(const std::string& path, const Listing& l, Json records, const InspectOptions& opt)
{
    const Summary& s = l.summary;
    Json doc = {{"container", path},
                {"size", l.fileSize},
                {"records", std::move(records)},
                {"end",
                 {{"kind", endKindName(s.end.kind)},
                  {"offset", s.end.offset},
                  {"description", bytesAsCodePoints(describeEnd(s.end, l.fileSize))}}},
                {"trailer", trailerJson(s)},
                {"image", imageJson(s.image, l.branding)}};
    if (opt.sha256)
        doc["sha256"] = l.sha256;
    return doc;
}

// ---- One container -------------------------------------------------------

// Reports on stderr what the listing found wrong; the exit status.
int reportProblems(GlobalOptions& global, const std::string& path, const Listing& l, File& file)
{
    std::fflush(stdout);  // the listing's lines come before its messages
    reportWarnings(global, path, l.summary, l.fileSize);
    int rc = kExitOk;
    for (const Problem& f : l.nameProblems) {
        errorAt(path, f.offset, f.what);
        rc = kExitFailed;
    }
    if (l.readFailed) {
        error(path + ": " + file.readError());
        rc = kExitFailed;
    }
    if (l.summary.end.kind == PayloadEnd::BadRecord) {
        errorAt(path, l.summary.end.offset, l.summary.end.problem.message());
        rc = kExitFailed;
    }
    return rc;
}

// A file that cannot be listed: the message, and for JSON an entry that
// says why, so that every container named has one.
int listFailed(const std::string& path, const std::string& message, Json* doc)
{
    error(message);
    *doc = {{"container", path}, {"error", message}};
    return kExitFailed;
}

// Lists one container; `doc` receives its JSON object.
int listOne(GlobalOptions& global, const std::string& path, const InspectOptions& opt, Json* doc)
{
    Result<File> opened = File::openRead(path);
    if (!opened)
        return listFailed(path, opened.message(), doc);
    File& file = *opened;
    if (file.size() < kImageSize)
        return listFailed(path, path + ": " + inspectImage(file).container.message(), doc);
    if (opt.json) {
        Json records = Json::array();
        const Listing l =
            gatherListing(file, opt, [&](const ListedRecord& r) { records.push_back(recordJson(r, opt)); });
        *doc = listingJson(path, l, std::move(records), opt);
        return reportProblems(global, path, l, file);
    }
    // Text lines are printed as the walk goes, so memory stays flat
    // however many records there are.
    printRecordHeading(opt);
    const Listing l = gatherListing(file, opt, [&](const ListedRecord& r) { printRecord(r, opt); });
    printListing(l, opt);
    return reportProblems(global, path, l, file);
}

}  // namespace

int runList(GlobalOptions& global, const std::vector<std::string>& args)
{
    CLI::App app;
    InspectOptions opt;
    app.add_flag("--sha256", opt.sha256);
    if (EarlyExit exit = parseInspectArgs(app, global, "list", kListHelp, args, &opt))
        return *exit;
    return forEachContainer(global, opt, true, listOne);
}

}  // namespace sfxpack
