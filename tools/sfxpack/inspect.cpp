// sfxpack list and sfxpack verify: both walk the container once.
#include <cstdio>

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
    "  --json      print one JSON object instead\n"
    "  -h, --help  show this help\n"
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
    "  -h, --help  show this help\n";

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

// JSON string of UTF-8 text (version strings): only quotes, backslashes
// and control characters need escapes.
std::string jsonUtf8(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 32) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
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

// Parses "[--json] CONTAINER" style arguments and opens the container;
// returns -1 to go on, or the exit status.
int openContainerArg(const char* command, const char* help, const std::vector<std::string>& args,
                     bool allowJson, bool* json, std::string* path, File* file)
{
    ArgCursor cur(command, args);
    std::vector<std::string> positional;
    while (!cur.done()) {
        if (cur.separator()) {
        } else if (cur.operand()) {
            positional.push_back(cur.take());
        } else if (cur.option("-h", "--help")) {
            std::fputs(help, stdout);
            return kExitOk;
        } else if (allowJson && cur.option(nullptr, "--json")) {
            *json = true;
        } else {
            return usageError(command, "unknown option '" + cur.peek() + "'");
        }
    }
    if (positional.size() != 1)
        return usageError(command, positional.empty() ? "no container given" : "one container at a time");
    *path = positional[0];
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
    bool json = false;
    std::string path;
    File file;
    if (int rc = openContainerArg("list", kListHelp, args, true, &json, &path, &file); rc >= 0)
        return rc;
    if (file.size() < kImageSize) {
        error(path + ": " + inspectImage(file).notContainer);
        return kExitFailed;
    }

    bool firstRecord = true;
    if (json)
        std::printf("{\"container\": %s, \"size\": %llu, \"records\": [", jsonString(path).c_str(),
                    static_cast<unsigned long long>(file.size()));
    else
        std::printf("%14s %12s  %s\n", "data offset", "size", "name");
    Summary s = inspectContainer(file, [&](const Record& r) {
        if (json) {
            std::printf("%s\n  {\"name\": %s, \"size\": %u, \"header_offset\": %llu, \"data_offset\": %llu}",
                        firstRecord ? "" : ",", jsonString(r.name).c_str(), r.size,
                        static_cast<unsigned long long>(r.headerOffset),
                        static_cast<unsigned long long>(r.dataOffset));
        } else {
            std::printf("%14llu %12u  %s\n", static_cast<unsigned long long>(r.dataOffset), r.size,
                        printableName(r.name).c_str());
        }
        firstRecord = false;
    });
    const ImageBranding b = readBranding(file);

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
        std::printf("},\n \"image\": {\"pe\": %s, \"security_directory\": {\"offset\": %u, \"size\": %u},\n",
                    s.image.notPe.empty() ? "true" : "false", s.image.securityOffset, s.image.securitySize);
        std::printf("  \"icon\": [");
        for (size_t i = 0; i < b.icons.size(); ++i)
            std::printf("%s{\"width\": %u, \"height\": %u, \"bit_count\": %u, \"id\": %u}", i ? ", " : "",
                        b.icons[i].width ? b.icons[i].width : 256u, b.icons[i].height ? b.icons[i].height : 256u,
                        b.icons[i].bitCount, b.icons[i].id);
        std::printf("],\n  \"version\": ");
        if (b.hasVersion) {
            std::printf("{\"file_version\": \"%s\", \"product_version\": \"%s\", \"strings\": [",
                        formatVersionNumber(b.version.fileVersion).c_str(),
                        formatVersionNumber(b.version.productVersion).c_str());
            for (size_t i = 0; i < b.version.strings.size(); ++i)
                std::printf("%s{\"key\": %s, \"value\": %s}", i ? ", " : "",
                            jsonUtf8(b.version.strings[i].first).c_str(), jsonUtf8(b.version.strings[i].second).c_str());
            std::printf("]}");
        } else {
            std::printf("null");
        }
        std::printf("}}\n");
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
    bool json = false;
    std::string path;
    File file;
    if (int rc = openContainerArg("verify", kVerifyHelp, args, false, &json, &path, &file); rc >= 0)
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
    std::printf("%s: OK: %llu records, %llu data bytes; %s; %s\n", path.c_str(),
                static_cast<unsigned long long>(s.records), static_cast<unsigned long long>(s.dataBytes),
                describeEnd(s.end, file.size()).c_str(), describeTrailer(s.trailer, s.image).c_str());
    return kExitOk;
}

}  // namespace sfxpack
