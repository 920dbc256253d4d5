// sfxpack extract: writes the records' files as the launcher would, but
// only plain names, only inside the target directory, never through an
// existing entry, and never over one unless asked to.
#include <cstdio>
#include <set>
#include <unordered_map>

#include "cli.h"
#include "fileio.h"
#include "format.h"

namespace sfxpack {

namespace {

const char kExtractHelp[] =
    "Usage: sfxpack extract [-C DIR] [--force] CONTAINER [NAME...]\n"
    "Writes the container's files into DIR (default: the current directory;\n"
    "created with its parents when missing), or only the records named.  When\n"
    "two records name the same file (compared without regard to case, as on\n"
    "Windows) the later one is written, as the launcher does.\n"
    "\n"
    "  -C, --directory DIR  extract into DIR\n"
    "  -f, --force          replace existing files (an existing link is replaced,\n"
    "                       never written through)\n"
    "  -q, --quiet          no warnings, no progress bar\n"
    "  --no-progress        no progress bar\n"
    "  -h, --help           show this help\n"
    "\n"
    "NAMEs are compared without regard to case.  Files are written under\n"
    "temporary names and renamed once all are complete, so a failed or\n"
    "interrupted run leaves DIR as it was.  Nothing is written when the\n"
    "container has a bad record, a NAME is not in it, a file to write is\n"
    "blocked by a directory or (without --force) already exists.\n";

}  // namespace

int runExtract(const std::vector<std::string>& args)
{
    CLI::App app;
    std::string dirPath = ".";
    bool force = false;
    app.add_option("-C,--directory", dirPath);
    app.add_flag("-f,--force", force);
    Operands operands;
    if (int rc = parseCommandLine(app, "extract", kExtractHelp, args, &operands); rc >= 0)
        return rc;
    const std::vector<std::string>& positional = operands.values;
    if (positional.empty())
        return usageError("extract", "no container given");
    if (dirPath.empty())
        return usageError("extract", "empty directory name");
    const std::string path = positional[0];
    const std::set<std::string> wanted(positional.begin() + 1, positional.end());

    File container;
    IoError err;
    if (!File::openRead(path, &container, &err)) {
        error(err.message);
        return kExitFailed;
    }

    // First pass: the whole structure and which record wins for each file
    // on Windows.  Names are compared as Windows compares them, so a NAME
    // selects its record whatever the case.
    std::unordered_map<std::string, uint64_t> winner;
    Summary s = inspectContainer(container, [&](const Record& r) { winner[collisionKey(r.name)] = r.headerOffset; });
    if (s.end.kind == PayloadEnd::NoPayload) {
        error(path + ": " + s.end.problem);
        return kExitFailed;
    }
    if (s.end.kind == PayloadEnd::BadRecord) {
        errorAt(path, s.end.offset, s.end.problem + "; nothing extracted");
        return kExitFailed;
    }
    bool ok = true;
    std::set<std::string> wantedKeys;
    for (const std::string& name : wanted) {
        wantedKeys.insert(collisionKey(name));
        if (!winner.count(collisionKey(name))) {
            error(path + ": no record named '" + printableName(name) + "'");
            ok = false;
        }
    }
    if (!ok)
        return kExitFailed;
    auto selected = [&](const Record& r) {
        const std::string key = collisionKey(r.name);
        return winner[key] == r.headerOffset && (wanted.empty() || wantedKeys.count(key) != 0);
    };
    for (const Finding& w : s.warnings)
        warning(path + ": offset " + formatOffset(w.offset) + ": " + w.what);

    // Every file is written under a temporary name and takes its own only
    // when all are written: a failure or an interruption leaves DIR as it was.
    InterruptGuard guard;
    OutputDir dir;
    if (!dir.open(dirPath, &err)) {
        error(err.message);
        return kExitFailed;
    }
    uint64_t total = 0;
    {
        RecordReader reader(container);
        Record r;
        while (reader.next(&r)) {
            if (!selected(r))
                continue;
            total += r.size;
            if (dir.holdsDirectory(r.name)) {
                error(dir.display(r.name) + ": is a directory");
                ok = false;
            } else if (!force && dir.contains(r.name)) {
                error(dir.display(r.name) + ": already exists (use --force to replace it)");
                ok = false;
            }
        }
    }
    if (!ok)
        return kExitFailed;

    std::vector<unsigned char> buffer(kCopyChunk);
    Progress progress("extracting " + path, total);
    RecordReader reader(container);
    Record r;
    while (reader.next(&r)) {
        if (!selected(r))
            continue;
        File out;
        if (!dir.stage(r.name, &out, &err) ||
            !out.copyFrom(container, r.dataOffset, r.size, buffer, &progress, &err) || !out.close(&err)) {
            error(err.message);
            return kExitFailed;
        }
    }
    if (!dir.commit(force, &err)) {
        error(err.message);
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace sfxpack
