// sfxpack list and sfxpack verify: both walk the container once.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "brand.h"
#include "cli.h"
#include "fileio.h"
#include "format.h"

namespace sfxpack {

namespace {

const char kListHelp[] =
    "Usage: sfxpack list [--json] CONTAINER\n"
    "Shows one line per record (data offset, size, name), how the payload ends,\n"
    "what follows the end record, and the launcher image's icon sizes and version\n"
    "information.  Offsets are byte offsets from the start of the file.\n"
    "\n"
    "  --json       print one JSON object instead\n"
    "  -q, --quiet  no warnings\n"
    "  -h, --help   show this help\n"
    "\n"
    "Exit status: 0 when every record could be read, 1 when the file is not a\n"
    "container or a record is bad, 2 usage error.\n";

const char kVerifyHelp[] =
    "Usage: sfxpack verify CONTAINER\n"
    "Exits 0 only when the launcher image is a PE image of exactly 131072 bytes\n"
    "whose last section ends where the payload starts, with a well-formed resource\n"
    "section (icon group and version information included),\n"
    "every record is whole with a valid name, an end record is present, and\n"
    "nothing follows it but zero padding to a multiple of 8 and exactly the\n"
    "certificate table the image's security directory references.  Every\n"
    "finding is reported with its offset; duplicate names are warnings.\n"
    "\n"
    "  -q, --quiet  no warnings\n"
    "  -h, --help   show this help\n";

// A name or path as a JSON string: the bytes are in the Windows ANSI code
// page, which the container does not record, so each byte is given as the
// code point of the same value (UTF-8 encoded, as JSON text must be).
std::string jsonText(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
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

// Version strings for a listing line: control characters escaped.
std::string printableText(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c < 32 || c == 127) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out;
}

// The icon and version resources of the container's launcher image.
ImageBranding readBranding(File& file)
{
    std::vector<unsigned char> image(static_cast<size_t>(kImageSize));
    if (file.size() < kImageSize || !file.read(0, image.data(), image.size()))
        return {};
    return inspectBranding(image);
}

// Parses "[OPTIONS] CONTAINER" with the options already declared on `app`
// and opens the container; returns -1 to go on, or the exit status.
int openContainerArg(CLI::App& app, const char* command, const char* help, const std::vector<std::string>& args,
                     std::string* path, File* file)
{
    Operands operands;
    if (int rc = parseCommandLine(app, command, help, args, &operands); rc >= 0)
        return rc;
    if (operands.values.size() != 1)
        return usageError(command, operands.values.empty() ? "no container given" : "one container at a time");
    *path = operands.values[0];
    IoError err;
    if (!File::openRead(*path, file, &err)) {
        error(err.message);
        return kExitFailed;
    }
    return -1;
}

}  // namespace

int runList(const std::vector<std::string>& args)
{
    CLI::App app;
    bool json = false;
    app.add_flag("--json", json);
    std::string path;
    File file;
    if (int rc = openContainerArg(app, "list", kListHelp, args, &path, &file); rc >= 0)
        return rc;
    if (file.size() < kImageSize) {
        error(path + ": " + inspectImage(file).notContainer);
        return kExitFailed;
    }

    using Json = nlohmann::ordered_json;
    Json records = Json::array();
    if (!json)
        std::printf("%14s %12s  %s\n", "data offset", "size", "name");
    Summary s = inspectContainer(file, [&](const Record& r) {
        if (json)
            records.push_back({{"name", jsonText(r.name)},
                               {"size", r.size},
                               {"header_offset", r.headerOffset},
                               {"data_offset", r.dataOffset}});
        else
            std::printf("%14llu %12u  %s\n", static_cast<unsigned long long>(r.dataOffset), r.size,
                        printableName(r.name).c_str());
    });
    const ImageBranding b = readBranding(file);

    if (json) {
        Json trailer = {{"kind", s.end.kind == PayloadEnd::EndRecord ? trailerKindName(s.trailer.kind) : "none"},
                        {"offset", s.trailer.offset},
                        {"size", s.trailer.size}};
        if (s.trailer.kind == TrailerKind::CertificateTable) {
            trailer["padding"] = s.trailer.padding;
            trailer["certificate_table"] = {{"offset", s.image.securityOffset}, {"size", s.image.securitySize}};
        }
        if (s.trailer.kind == TrailerKind::Unexplained) {
            trailer["problem"] = jsonText(s.trailer.problem);
            trailer["problem_offset"] = s.trailer.problemOffset;
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
        Json doc = {{"container", jsonText(path)},
                    {"size", file.size()},
                    {"records", std::move(records)},
                    {"end",
                     {{"kind", endKindName(s.end.kind)},
                      {"offset", s.end.offset},
                      {"description", jsonText(describeEnd(s.end, file.size()))}}},
                    {"trailer", std::move(trailer)},
                    {"image",
                     {{"pe", s.image.notPe.empty()},
                      {"security_directory",
                       {{"offset", s.image.securityOffset}, {"size", s.image.securitySize}}},
                      {"icon", std::move(icon)},
                      {"version", std::move(version)}}}};
        std::printf("%s\n", doc.dump(1, ' ', false, Json::error_handler_t::replace).c_str());
    } else {
        std::printf("%s\n", describeEnd(s.end, file.size()).c_str());
        if (s.end.kind == PayloadEnd::EndRecord)
            std::printf("%s\n", describeTrailer(s.trailer, s.image).c_str());
        if (!s.image.notPe.empty())
            std::printf("launcher image: %s\n", s.image.notPe.c_str());
        if (!s.image.layoutProblem.empty())
            std::printf("launcher image: %s\n", s.image.layoutProblem.c_str());
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
    }
    std::fflush(stdout);
    if (s.end.kind == PayloadEnd::BadRecord) {
        errorAt(path, s.end.offset, s.end.problem);
        return kExitFailed;
    }
    return kExitOk;
}

int runVerify(const std::vector<std::string>& args)
{
    CLI::App app;
    std::string path;
    File file;
    if (int rc = openContainerArg(app, "verify", kVerifyHelp, args, &path, &file); rc >= 0)
        return rc;
    Summary s = inspectContainer(file);
    const ImageBranding b = readBranding(file);
    s.findings.insert(s.findings.begin(), b.findings.begin(), b.findings.end());
    for (const Finding& w : s.warnings)
        warning(path + ": offset " + formatOffset(w.offset) + ": " + w.what);
    for (const Finding& f : s.findings)
        errorAt(path, f.offset, f.what);
    if (!s.findings.empty())
        return kExitFailed;
    std::printf("%s: OK: %llu record%s, %llu data bytes; %s; %s\n", path.c_str(),
                static_cast<unsigned long long>(s.records), s.records == 1 ? "" : "s",
                static_cast<unsigned long long>(s.dataBytes),
                describeEnd(s.end, file.size()).c_str(), describeTrailer(s.trailer, s.image).c_str());
    return kExitOk;
}

}  // namespace sfxpack
