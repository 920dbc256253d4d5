// sfxpack extract: writes the records' files as the launcher would, but
// only plain names, only inside the target directory, never through an
// existing entry, and never over one unless asked to.
#include <cstdio>
#include <set>

#include "base/text.h"
#include "cli/cli.h"
#include "format/layout.h"
#include "format/reader.h"
#include "format/record.h"
#include "format/summary.h"
#include "platform/codepage.h"
#include "platform/fileio.h"

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
    "                       UTF-8, and take NAMEs in UTF-8\n"
    "  -q, --quiet          no warnings, no progress bar\n"
    "  --no-progress        no progress bar\n"
    "  -h, --help           show this help\n"
    "\n"
    "NAMEs are compared without regard to case.  Files are written under\n"
    "temporary names and renamed once all are complete, so a failed or\n"
    "interrupted run leaves DIR as it was.  Nothing is written when the\n"
    "container has a bad record, a NAME is not in it, a file to write is\n"
    "blocked by a directory or (without --force) already exists, or the\n"
    "container holds more than 262144 distinct names.\n";

static_assert(kMaxRememberedNames == 262144, "the help text gives this number");

}  // namespace

int runExtract(const std::vector<std::string>& args)
{
    CLI::App app;
    std::string dirPath = ".";
    bool force = false;
    app.add_option("-C,--directory", dirPath);
    app.add_flag("-f,--force", force);
    CodePageOption codePageOpt;
    codePageOpt.add(app);
    Operands operands;
    if (int rc = parseCommandLine(app, "extract", kExtractHelp, args, &operands); rc >= 0)
        return rc;
    unsigned codePage = kAsciiOnly;
    if (int rc = codePageOpt.read("extract", &codePage); rc >= 0)
        return rc;
    const std::vector<std::string>& positional = operands.values;
    if (positional.empty())
        return usageError("extract", "no container given");
    if (dirPath.empty())
        return usageError("extract", "empty directory name");
    const std::string path = positional[0];
    const LeadByteTest lead = leadByteTest(codePage);
    // NAMEs are given as the user's text: in the code page's bytes they can
    // be compared with the stored names.
    std::set<std::string> wanted;
    for (auto it = positional.begin() + 1; it != positional.end(); ++it) {
        std::string stored = *it;
        if (codePage != kAsciiOnly) {
            if (Result<std::string> converted = encodeName(*it, codePage))
                stored = *converted;
        }
        wanted.insert(stored);
    }

    Result<File> opened = File::openRead(path);
    if (!opened) {
        error(opened.message());
        return kExitFailed;
    }
    File& container = *opened;

    // First pass: the whole structure and which record wins for each file
    // on Windows.  Names are compared as Windows compares them, so a NAME
    // selects its record whatever the case.  The winners are remembered by
    // the hash of their names and their offsets (names are read again when
    // needed), at most kMaxRememberedNames of them.
    auto keyAt = [&](uint64_t at) { return collisionKey(nameAt(container, at), lead); };
    NameSet winner(keyAt, kMaxRememberedNames);
    bool namesOk = true;
    uint64_t beyondLimit = 0;
    Summary s = inspectContainer(
        container,
        [&](const Record& r) {
            uint64_t earlier = 0;
            if (winner.put(collisionKey(r.name, lead), r.headerOffset, &earlier) == NameSet::Put::Full &&
                !beyondLimit)
                beyondLimit = r.headerOffset;
            if (codePage == kAsciiOnly)
                return;
            Result<std::string> text = decodeName(r.name, codePage);
            if (!text) {
                errorAt(path, r.headerOffset + 4 + text.status().offset(),
                        "record name '" + printableName(r.name) + "' is not valid in code page " +
                            std::to_string(codePage) + "; nothing extracted");
                namesOk = false;
            } else if (std::string device = deviceNameProblem(*text, codePage); !device.empty()) {
                errorAt(path, r.headerOffset + 4, "record " + device + "; nothing extracted");
                namesOk = false;
            }
        },
        lead);
    addCodePageHint(&s, codePage);
    if (s.end.kind == PayloadEnd::NoPayload) {
        error(path + ": " + s.end.problem.message());
        return kExitFailed;
    }
    if (s.end.kind == PayloadEnd::BadRecord) {
        errorAt(path, s.end.offset, s.end.problem.message() + "; nothing extracted");
        return kExitFailed;
    }
    if (!namesOk)
        return kExitFailed;
    if (beyondLimit) {
        errorAt(path, beyondLimit, "more than " + std::to_string(kMaxRememberedNames) +
                                       " distinct names, more than sfxpack extracts; nothing extracted");
        return kExitFailed;
    }
    // With a code page, each record's name on disk is its UTF-8 text
    // (checked above, so the conversion succeeds).
    auto diskName = [&](const Record& r) {
        if (codePage == kAsciiOnly)
            return r.name;
        Result<std::string> text = decodeName(r.name, codePage);
        return text ? *text : r.name;
    };
    bool ok = true;
    std::set<std::string> wantedKeys;
    for (const std::string& name : wanted) {
        uint64_t ignored = 0;
        wantedKeys.insert(collisionKey(name, lead));
        if (!winner.find(collisionKey(name, lead), &ignored)) {
            error(path + ": no record named '" + (codePage != kAsciiOnly ? printableText(name) : printableName(name)) +
                  "'");
            ok = false;
        }
    }
    if (!ok)
        return kExitFailed;
    auto selected = [&](const Record& r) {
        const std::string key = collisionKey(r.name, lead);
        uint64_t at = 0;
        return winner.find(key, &at) && at == r.headerOffset && (wanted.empty() || wantedKeys.count(key) != 0);
    };
    reportWarnings(path, s, container.size());

    // Every file is written under a temporary name and takes its own only
    // when all are written: a failure or an interruption leaves DIR as it was.
    InterruptGuard guard;
    OutputDir dir;
    if (Status s = dir.open(dirPath); !s) {
        error(s.message());
        return kExitFailed;
    }
    uint64_t total = 0;
    {
        RecordReader reader(container, lead);
        Record r;
        while (reader.next(&r)) {
            if (!selected(r))
                continue;
            total += r.size;
            if (dir.holdsDirectory(diskName(r))) {
                error(dir.display(diskName(r)) + ": is a directory");
                ok = false;
            } else if (!force && dir.contains(diskName(r))) {
                error(dir.display(diskName(r)) + ": already exists (use --force to replace it)");
                ok = false;
            }
        }
    }
    if (!ok)
        return kExitFailed;

    std::vector<unsigned char> buffer(kCopyChunk);
    Progress progress("extracting " + path, total);
    RecordReader reader(container, lead);
    Record r;
    while (reader.next(&r)) {
        if (!selected(r))
            continue;
        Result<File> out = dir.stage(diskName(r));
        Status s = out ? out->copyFrom(container, r.dataOffset, r.size, buffer, &progress) : out.status();
        if (s)
            s = out->close();
        if (!s) {
            error(s.message());
            return kExitFailed;
        }
    }
    if (Status s = dir.commit(force); !s) {
        error(s.message());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace sfxpack
