// sfxpack extract: writes the records' files as the launcher would, but
// only plain names, only inside the target directory, never through an
// existing entry, and never over one unless asked to.
#include <cstdio>
#include <set>
#include <unordered_map>

#include "cli.h"
#include "codepage.h"
#include "fileio.h"
#include "format.h"

namespace sfxpack {

namespace {

const char kExtractHelp[] =
    "Usage: sfxpack extract [-C DIR] [--force] [--codepage N] CONTAINER [NAME...]\n"
    "Writes the container's files into DIR (default: the current directory,\n"
    "created when missing), or only the records named.  When two records name\n"
    "the same file (compared without regard to case, as on Windows) the later\n"
    "one is written, as the launcher does.\n"
    "\n"
    "  -C, --directory DIR  extract into DIR\n"
    "  -f, --force          replace existing files (an existing link is removed,\n"
    "                       never written through)\n"
    "  --codepage N         the names are in Windows code page N: write them in\n"
    "                       UTF-8, and take NAMEs in UTF-8\n"
    "  -h, --help           show this help\n"
    "\n"
    "Nothing is written when the container has a bad record, a NAME is not in\n"
    "it, or (without --force) a file to write already exists.\n";

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
        std::string stored = *it, ignored;
        if (codePage != kAsciiOnly && !encodeName(*it, codePage, &stored, &ignored))
            stored = *it;
        wanted.insert(stored);
    }

    File container;
    IoError err;
    if (!File::openRead(path, &container, &err)) {
        error(err.message);
        return kExitFailed;
    }

    // First pass: the whole structure, which record wins for each file on
    // Windows, and which names exist.
    std::unordered_map<std::string, uint64_t> winner;
    std::unordered_map<uint64_t, std::string> diskNames;  // by header offset, with a code page
    std::set<std::string> present;
    bool namesOk = true;
    Summary s = inspectContainer(
        container,
        [&](const Record& r) {
            winner[collisionKey(r.name, lead)] = r.headerOffset;
            present.insert(r.name);
            size_t bad = 0;
            if (codePage != kAsciiOnly && !decodeName(r.name, codePage, &diskNames[r.headerOffset], &bad)) {
                errorAt(path, r.headerOffset + 4 + bad,
                        "record name '" + printableName(r.name) + "' is not valid in code page " +
                            std::to_string(codePage) + "; nothing extracted");
                namesOk = false;
            }
        },
        lead);
    addCodePageHint(&s, codePage);
    if (s.end.kind == PayloadEnd::NoPayload) {
        error(path + ": " + s.end.problem);
        return kExitFailed;
    }
    if (s.end.kind == PayloadEnd::BadRecord) {
        errorAt(path, s.end.offset, s.end.problem + "; nothing extracted");
        return kExitFailed;
    }
    if (!namesOk)
        return kExitFailed;
    // The name a record gets on disk: UTF-8 with a code page, else as stored.
    auto diskName = [&](const Record& r) -> const std::string& {
        return codePage != kAsciiOnly ? diskNames[r.headerOffset] : r.name;
    };
    bool ok = true;
    for (const std::string& name : wanted) {
        if (!present.count(name)) {
            error(path + ": no record named '" + printableText(name) + "'");
            ok = false;
        }
    }
    if (!ok)
        return kExitFailed;

    // With NAMEs, each named file gets the record that wins for it.
    std::set<std::string> wantedKeys;
    for (const std::string& name : wanted)
        wantedKeys.insert(collisionKey(name, lead));
    auto selected = [&](const Record& r) {
        const std::string key = collisionKey(r.name, lead);
        return winner[key] == r.headerOffset && (wanted.empty() || wantedKeys.count(key) != 0);
    };
    reportWarnings(path, s, container.size());

    OutputDir dir;
    if (!dir.open(dirPath, &err)) {
        error(err.message);
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
            if (!force && dir.contains(diskName(r))) {
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
        File out;
        if (!dir.createFile(diskName(r), force, &out, &err)) {
            error(err.message);
            return kExitFailed;
        }
        if (!out.copyFrom(container, r.dataOffset, r.size, buffer, &progress, &err) || !out.close(&err)) {
            // A partial file is not left behind to be taken for the real one.
            out.close(nullptr);
            dir.remove(diskName(r));
            error(err.message);
            return kExitFailed;
        }
    }
    return kExitOk;
}

}  // namespace sfxpack
