// The helpers that list and verify share.
#include "cli/inspect.h"

#include <cstdio>

#include "base/text.h"
#include "format/layout.h"

namespace sfxpack {

EarlyExit parseInspectArgs(CLI::App& app, GlobalOptions& global, const char* command, const char* help,
                           const std::vector<std::string>& args, InspectOptions* opt)
{
    app.add_flag("--json", opt->json);
    CodePageOption codePage;
    codePage.add(app);
    Operands operands;
    if (EarlyExit exit = parseCommandLine(app, global, command, help, args, &operands))
        return exit;
    if (EarlyExit exit = codePage.read(command, &opt->codePage))
        return exit;
    if (operands.values.empty())
        return usageError(command, "no container given");
    opt->paths = operands.values;
    return std::nullopt;
}

namespace {

std::string jsonDump(const Json& doc)
{
    return doc.dump(1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

int forEachContainer(GlobalOptions& global, const InspectOptions& opt, bool headed,
                     int (*one)(GlobalOptions&, const std::string&, const InspectOptions&, Json*))
{
    const bool several = opt.paths.size() > 1;
    Json all = Json::array();
    int rc = kExitOk;
    for (size_t i = 0; i < opt.paths.size(); ++i) {
        if (headed && several && !opt.json)
            std::printf("%s%s:\n", i ? "\n" : "", opt.paths[i].c_str());
        Json doc;
        if (one(global, opt.paths[i], opt, &doc) != kExitOk)
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

ShownName showName(const Record& r, unsigned codePage, std::vector<Problem>* problems)
{
    ShownName shown;
    uint64_t bad = 0;
    if (codePage != kAsciiOnly) {
        Result<std::string> text = decodeName(r.name, codePage);
        if (text) {
            shown.text = *text;
            shown.json = shown.text;
            if (std::string device = deviceNameProblem(shown.text, codePage); !device.empty())
                problems->push_back({r.headerOffset + kNameOffset, "record " + device});
            return shown;
        }
        bad = text.status().offset();
    }
    shown.text = printableName(r.name);
    shown.json = bytesAsCodePoints(r.name);
    if (codePage != kAsciiOnly)
        problems->push_back({r.headerOffset + kNameOffset + bad, "record name '" + shown.text +
                                                                     "' is not valid in code page " +
                                                                     std::to_string(codePage)});
    return shown;
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

ImageBranding readBranding(File& file)
{
    std::vector<unsigned char> image(static_cast<size_t>(kImageSize));
    if (file.size() < kImageSize || !file.read(0, image.data(), image.size()))
        return {};
    return inspectBranding(image);
}

void addCodePageHint(Summary* s, unsigned codePage)
{
    if (codePage != kAsciiOnly || s->end.badName.empty())
        return;
    std::vector<std::string> fits;
    for (unsigned cp : kDoubleByteCodePages)
        if (checkName(s->end.badName, leadByteTest(cp)).ok())
            fits.push_back(std::to_string(cp));
    if (fits.empty())
        return;
    std::string pages = fits[0];
    for (size_t i = 1; i < fits.size(); ++i)
        pages += (i + 1 == fits.size() ? " or " : ", ") + fits[i];
    const std::string hinted = s->end.problem.message() + "; it is one in code page " + pages +
                               ": give the container's code page with --codepage";
    for (Problem& f : s->findings)
        if (f.offset == s->end.offset && f.what == s->end.problem.message())
            f.what = hinted;
    s->end.problem = Status::failAt(s->end.offset, hinted);
}

void reportWarnings(GlobalOptions& global, const std::string& path, const Summary& s, uint64_t fileSize)
{
    for (const Problem& w : s.warnings)
        warning(global, path + ": offset " + formatOffset(w.offset) + ": " + w.what);
    if (s.end.kind == PayloadEnd::ShortHeader)
        warning(global, path + ": offset " + formatOffset(s.end.offset) + ": " + describeEnd(s.end, fileSize));
}

}  // namespace sfxpack
