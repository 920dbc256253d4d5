// sfxpack: builds, lists, verifies and unpacks self-extracting containers.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "codepage.h"
#include "format.h"

#ifndef SFXPACK_VERSION
#define SFXPACK_VERSION "0"
#endif

namespace sfxpack {

void error(const std::string& message) { std::fprintf(stderr, "sfxpack: %s\n", message.c_str()); }

void warning(const std::string& message) { std::fprintf(stderr, "sfxpack: warning: %s\n", message.c_str()); }

void errorAt(const std::string& file, uint64_t offset, const std::string& message)
{
    error(file + ": offset " + formatOffset(offset) + ": " + message);
}

int usageError(const std::string& command, const std::string& message)
{
    std::fprintf(stderr, "sfxpack: %s%s%s\nTry 'sfxpack %s--help'.\n", command.c_str(),
                 command.empty() ? "" : ": ", message.c_str(), command.empty() ? "" : (command + " ").c_str());
    return kExitUsage;
}

// Warnings of a listing or extraction: duplicates, an empty payload, and a
// missing end record, which verify counts as a finding.
void reportWarnings(const std::string& path, const Summary& s, uint64_t fileSize)
{
    for (const Finding& w : s.warnings)
        warning(path + ": offset " + formatOffset(w.offset) + ": " + w.what);
    if (s.end.kind == PayloadEnd::ShortHeader)
        warning(path + ": offset " + formatOffset(s.end.offset) + ": " + describeEnd(s.end, fileSize));
}

std::string codePageUsage(const std::string& value)
{
    return "--codepage '" + value + "' is not a code page sfxpack converts to (" + kKnownCodePages + ")";
}

bool ArgCursor::option(const char* shortName, const char* longName, std::string* value)
{
    const std::string& arg = args_[i_];
    const size_t longLen = std::strlen(longName);
    const size_t shortLen = shortName ? std::strlen(shortName) : 0;
    bool exact = arg == longName || (shortName && arg == shortName);
    if (exact) {
        ++i_;
        if (!value)
            return true;
        if (done()) {
            missing_ = true;
            missingName_ = arg;
            return true;
        }
        *value = args_[i_++];
        return true;
    }
    if (!value)
        return false;
    if (arg.compare(0, longLen + 1, std::string(longName) + "=") == 0) {
        *value = arg.substr(longLen + 1);
        ++i_;
        return true;
    }
    if (shortName && arg.size() > shortLen && arg.compare(0, shortLen, shortName) == 0 &&
        arg.compare(0, 2, "--") != 0) {
        *value = arg.substr(shortLen);
        ++i_;
        return true;
    }
    return false;
}

}  // namespace sfxpack

namespace {

const char kUsage[] =
    "Usage: sfxpack COMMAND [OPTIONS] ...\n"
    "Builds, lists, verifies and unpacks self-extracting launcher containers.\n"
    "\n"
    "Commands:\n"
    "  create [--stub FILE] [--force] -o OUT FIRST [MORE...]\n"
    "                          pack files behind the launcher; FIRST is run after extraction\n"
    "  list [--json] CONTAINER  show the records and what follows them\n"
    "  verify CONTAINER         check the whole container; exit 0 only when it is sound\n"
    "  extract [-C DIR] [--force] CONTAINER [NAME...]\n"
    "                          unpack the files as the launcher would\n"
    "\n"
    "Run 'sfxpack COMMAND --help' for a command's options.\n"
    "Exit status: 0 success, 1 bad container or failed work, 2 usage error.\n";

}  // namespace

int main(int argc, char** argv)
{
    using namespace sfxpack;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "--version" || command == "-V") {
        std::printf("sfxpack %s\n", SFXPACK_VERSION);
        return kExitOk;
    }
    if (command == "create")
        return runCreate(args);
    if (command == "list")
        return runList(args);
    if (command == "verify")
        return runVerify(args);
    if (command == "extract")
        return runExtract(args);
    return usageError("", "unknown command '" + command + "'");
}
