// sfxpack extract: writes the records' files as the launcher would, but
// only plain names, only inside the target directory, never through an
// existing entry, and never over one unless asked to.
#include <cstdio>
#include <set>

#include "base/text.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/inspect.h"
#include "format/layout.h"
#include "format/reader.h"
#include "format/record.h"
#include "format/summary.h"
#include "platform/codepage.h"
#include "platform/fileio.h"
#include "platform/interrupt.h"
#include "platform/progress.h"

namespace sfxpack {

namespace {

const char kExtractHelp[] =
    "Usage: sfxpack extract [-C DIR] [--force] [--codepage N] CONTAINER [NAME...]\n"
    "Writes the container's files into DIR (default: the current directory;\n"
    "created with its parents when missing), or only the records named.  When\n"
    "two records name the same file (compared without regard to case, as on\n"
    "Windows) the later one is written, as the launcher does.\n"
    "\n"
    "  -C, --directory DIR  extract into DIR\n"
    "  -f, --force          replace existing files (an existing link is replaced,\n"
    "                       never written through)\n"
    "  --codepage N         the names are in Windows code page N: write them in\n"
    "                       UTF-8, and take NAMEs in UTF-8 (without it, a name\n"
    "                       outside ASCII is refused)\n"
    "  -q, --quiet          no warnings, no progress bar\n"
    "  --no-progress        no progress bar\n"
    "  --fatal-warnings     a warning fails the command (exit 1) and nothing is\n"
    "                       written\n"
    "  -h, --help           show this help\n"
    "\n"
    "NAMEs are compared without regard to case.  Files are written under\n"
    "temporary names and renamed once all are complete, so a failed or\n"
    "interrupted run leaves DIR as it was.  Nothing is written when the\n"
    "container has a bad record, a NAME is not in it, a name to write is not\n"
    "ASCII and no --codepage is given, a file to write is blocked by a\n"
    "directory, is the container itself or (without --force) already exists,\n"
    "or the container holds more than 262144 distinct names.\n"
    "\n"
    "Exit status: 0 when every file was written, 1 when none was (a bad\n"
    "container, a refused or failed write), 2 usage error.\n";

static_assert(kMaxRememberedNames == 262144, "the help text gives this number");


// What extract's command line asks for.
struct ExtractOptions {
    std::string dirPath = ".";
    bool force = false;
    unsigned codePage = kAsciiOnly;
    std::string path;  // the container
    // The NAMEs in the code page's bytes, so that they compare with the
    // stored names; empty for every file.
    std::set<std::string> wanted;
};

// Parses extract's command line into `opt`; ends the command for --help
// and usage errors.
EarlyExit parseExtractArgs(GlobalOptions& global, const std::vector<std::string>& args, ExtractOptions* opt)
{
    CLI::App app;
    app.add_option("-C,--directory", opt->dirPath);
    app.add_flag("-f,--force", opt->force);
    CodePageOption codePage;
    codePage.add(app);
    Operands operands;
    if (EarlyExit exit = parseCommandLine(app, global, "extract", kExtractHelp, args, &operands))
        return exit;
    if (EarlyExit exit = codePage.read("extract", &opt->codePage))
        return exit;
    const std::vector<std::string>& positional = operands.values;
    if (positional.empty())
        return usageError("extract", "no container given");
    if (opt->dirPath.empty())
        return usageError("extract", "empty directory name");
    opt->path = positional[0];
    for (auto it = positional.begin() + 1; it != positional.end(); ++it) {
        std::string stored = *it;
        if (opt->codePage != kAsciiOnly) {
            if (Result<std::string> converted = encodeName(*it, opt->codePage))
                stored = *converted;
        }
        opt->wanted.insert(stored);
    }
    return std::nullopt;
}

// Which record wins for each file on Windows (the last of those whose
// names Windows compares equal), and which of the winners to write.  The
// winners are remembered by the hash of their names and their offsets
// (names are read again when needed), at most kMaxRememberedNames of them.
class Selection {
public:
    Selection(File& container, LeadByteTest lead)
        : lead_(lead),
          winners_([&container, lead](uint64_t at) { return collisionKey(nameAt(container, at), lead); },
                   kMaxRememberedNames)
    {
    }
    // Remembers `r` as the winner for its name; false when the name is
    // new and there is no room for it.
    bool add(const Record& r)
    {
        uint64_t earlier = 0;
        return winners_.put(collisionKey(r.name, lead_), r.headerOffset, &earlier) != NameSet::Put::Full;
    }
    // Selects the records of `names` only; false after reporting each name
    // no record has.  Names are compared as Windows compares them, so a
    // NAME selects its record whatever the case.
    bool only(const std::set<std::string>& names, const std::string& path, unsigned codePage)
    {
        bool ok = true;
        for (const std::string& name : names) {
            uint64_t ignored = 0;
            wanted_.insert(collisionKey(name, lead_));
            if (!winners_.find(collisionKey(name, lead_), &ignored)) {
                error(path + ": no record named '" +
                      (codePage != kAsciiOnly ? printableText(name) : printableName(name)) + "'");
                ok = false;
            }
        }
        return ok;
    }
    bool selected(const Record& r) const
    {
        const std::string key = collisionKey(r.name, lead_);
        uint64_t at = 0;
        return winners_.find(key, &at) && at == r.headerOffset && (wanted_.empty() || wanted_.count(key) != 0);
    }

private:
    LeadByteTest lead_;
    NameSet winners_;
    std::set<std::string> wanted_;  // collision keys; empty for all
};

// With a code page, false after reporting a record name that is no text
// in it or that names a device.
bool checkRecordName(const std::string& path, const Record& r, unsigned codePage)
{
    if (codePage == kAsciiOnly)
        return true;
    Result<std::string> text = decodeName(r.name, codePage);
    if (!text) {
        errorAt(path, r.headerOffset + kNameOffset + text.status().offset(),
                "record name '" + printableName(r.name) + "' is not valid in code page " +
                    std::to_string(codePage) + "; nothing extracted");
        return false;
    }
    if (std::string device = deviceNameProblem(*text, codePage); !device.empty()) {
        errorAt(path, r.headerOffset + kNameOffset, "record " + device + "; nothing extracted");
        return false;
    }
    return true;
}

// First pass: the whole structure, and the winner of each name.  Ends the
// command after reporting a container that cannot be extracted whole.
EarlyExit scanContainer(File& container, const ExtractOptions& opt, Selection* selection, Summary* s)
{
    bool namesOk = true;
    uint64_t beyondLimit = 0;
    *s = inspectContainer(
        container,
        [&](const Record& r) {
            if (!selection->add(r) && !beyondLimit)
                beyondLimit = r.headerOffset;
            namesOk = checkRecordName(opt.path, r, opt.codePage) && namesOk;
        },
        leadByteTest(opt.codePage));
    addCodePageHint(s, opt.codePage);
    if (s->end.kind == PayloadEnd::NoPayload) {
        error(opt.path + ": " + s->end.problem.message());
        return kExitFailed;
    }
    if (s->end.kind == PayloadEnd::BadRecord) {
        errorAt(opt.path, s->end.offset, s->end.problem.message() + "; nothing extracted");
        return kExitFailed;
    }
    if (!namesOk)
        return kExitFailed;
    if (beyondLimit) {
        errorAt(opt.path, beyondLimit, "more than " + std::to_string(kMaxRememberedNames) +
                                           " distinct names, more than sfxpack extracts; nothing extracted");
        return kExitFailed;
    }
    return std::nullopt;
}

// A record's file name on disk: with a code page its UTF-8 text (checked
// by the first pass, so the conversion succeeds), else its bytes.
std::string diskName(const Record& r, unsigned codePage)
{
    if (codePage == kAsciiOnly)
        return r.name;
    Result<std::string> text = decodeName(r.name, codePage);
    return text ? *text : r.name;
}

// Without a code page, false after reporting a name outside ASCII: its
// bytes are text in the container's code page, which a file name here
// would not show.
bool asciiUnlessCodePage(const std::string& path, const Record& r, unsigned codePage)
{
    if (codePage != kAsciiOnly || isAscii(r.name))
        return true;
    size_t at = 0;
    while (static_cast<unsigned char>(r.name[at]) < 0x80)
        ++at;
    errorAt(path, r.headerOffset + kNameOffset + at,
            "record name '" + printableName(r.name) +
                "' is not ASCII: give the code page the container was made with, e.g. --codepage 1252; "
                "nothing extracted");
    return false;
}

// Second pass: ends the command after reporting every selected file whose
// name needs a code page, that a directory blocks, that is the container
// itself or (without --force) that exists; `*total` receives the bytes to
// write.
EarlyExit checkTargets(File& container, const ExtractOptions& opt, const Selection& selection, OutputDir& dir,
                       uint64_t* total)
{
    bool ok = true;
    RecordReader reader(container, leadByteTest(opt.codePage));
    Record r;
    while (reader.next(&r)) {
        if (!selection.selected(r))
            continue;
        *total += r.size;
        const std::string name = diskName(r, opt.codePage);
        if (!asciiUnlessCodePage(opt.path, r, opt.codePage)) {
            ok = false;
        } else if (dir.holdsDirectory(name)) {
            error(dir.display(name) + ": is a directory");
            ok = false;
        } else if (dir.contains(name) && !InputGuard(dir.display(name)).allows(opt.path, "the container")) {
            ok = false;
        } else if (!opt.force && dir.contains(name)) {
            error(dir.display(name) + ": already exists (use --force to replace it)");
            ok = false;
        }
    }
    return ok ? EarlyExit() : kExitFailed;
}

// Third pass: writes the selected files under temporary names, then gives
// them their own.
int writeFiles(const GlobalOptions& global, File& container, const ExtractOptions& opt, const Selection& selection,
               OutputDir& dir, uint64_t total)
{
    std::vector<unsigned char> buffer(COPY_CHUNK_SIZE);
    Progress progress("extracting " + opt.path, total, global.progress());
    RecordReader reader(container, leadByteTest(opt.codePage));
    Record r;
    while (reader.next(&r)) {
        if (!selection.selected(r))
            continue;
        Result<File> out = dir.stage(diskName(r, opt.codePage));
        Status s = out ? out->copyFrom(container, r.dataOffset, r.size, buffer, &progress) : out.status();
        if (s)
            s = out->close();
        if (!s) {
            error(s.message());
            return kExitFailed;
        }
    }
    if (Status s = dir.commit(opt.force); !s) {
        error(s.message());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

int runExtract(GlobalOptions& global, const std::vector<std::string>& args)
{
    ExtractOptions opt;
    if (EarlyExit exit = parseExtractArgs(global, args, &opt))
        return *exit;
    Result<File> opened = File::openRead(opt.path);
    if (!opened) {
        error(opened.message());
        return kExitFailed;
    }
    File& container = *opened;
    Selection selection(container, leadByteTest(opt.codePage));
    Summary s;
    if (EarlyExit exit = scanContainer(container, opt, &selection, &s))
        return *exit;
    if (!selection.only(opt.wanted, opt.path, opt.codePage))
        return kExitFailed;
    reportWarnings(global, opt.path, s, container.size());
    if (EarlyExit exit = stopOnFatalWarnings(global))
        return *exit;

    // Every file is written under a temporary name and takes its own only
    // when all are written: a failure or an interruption leaves DIR as it was.
    InterruptGuard guard;
    OutputDir dir;
    if (Status s = dir.open(opt.dirPath); !s) {
        error(s.message());
        return kExitFailed;
    }
    uint64_t total = 0;
    if (EarlyExit exit = checkTargets(container, opt, selection, dir, &total))
        return *exit;
    return writeFiles(global, container, opt, selection, dir, total);
}

}  // namespace sfxpack
