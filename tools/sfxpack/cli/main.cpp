// sfxpack: builds, lists, verifies and unpacks self-extracting containers.
// This file only finds the command; each command's file does its work.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "platform/codepage.h"
#include "platform/interrupt.h"

namespace sfxpack {

namespace {

const char kUsage[] =
    "Usage: sfxpack [-q] [--no-progress] [--fatal-warnings] COMMAND [OPTIONS] ...\n"
    "Builds, lists, verifies and unpacks self-extracting launcher containers.\n"
    "\n"
    "Commands:\n"
    "  create [--stub FILE] [BRANDING...] [--codepage N] [--force] -o OUT FIRST [MORE...]\n"
    "                          pack files behind the launcher; FIRST is run after extraction\n"
    "  stub [--stub FILE] [BRANDING...] [--force] -o STUB\n"
    "                          write the launcher image alone, branded with icon and version\n"
    "  list [--json] [--sha256] [--codepage N] CONTAINER...\n"
    "                          show the records and what follows them\n"
    "  verify [--json] [--codepage N] CONTAINER...\n"
    "                          check the whole container and its signature; exit 0 only\n"
    "                          when it is sound\n"
    "  extract [-C DIR] [--force] [--codepage N] CONTAINER [NAME...]\n"
    "                          unpack the files as the launcher would\n"
    "\n"
    "Every command takes -q/--quiet, --no-progress and --fatal-warnings, before or\n"
    "after its name.  Run 'sfxpack COMMAND --help' for a command's options.\n"
    "Exit status: 0 success, 1 bad container or failed work, 2 usage error.\n";

// One line per subcommand; each parses its own options.
struct Command {
    const char* name;
    int (*run)(GlobalOptions& global, const std::vector<std::string>& args);
};

const Command kCommands[] = {
    {"create", runCreate},
    {"stub", runStub},
    {"list", runList},
    {"verify", runVerify},
    {"extract", runExtract},
};

const Command* findCommand(const std::string& name)
{
    for (const Command& c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

// An unknown command, with the nearest known one suggested.
int unknownCommand(const std::string& name)
{
    std::vector<std::string> known = {"help", "--help", "--version"};
    for (const Command& c : kCommands)
        known.push_back(c.name);
    return usageError("", "unknown command '" + name + "'" + didYouMean(name, known));
}

// "sfxpack help [COMMAND]": the top-level help, or that command's.
int runHelp(const std::vector<std::string>& args)
{
    if (args.empty() || (args.size() == 1 && (args[0] == "help" || args[0] == "--help" || args[0] == "-h"))) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (args.size() > 1)
        return usageError("", "help takes one command, got '" + args[0] + "' and '" + args[1] + "'");
    if (const Command* c = findCommand(args[0])) {
        GlobalOptions global;
        return c->run(global, {"--help"});
    }
    return unknownCommand(args[0]);
}

// The options every command takes, which may also come before the command,
// as git's do.
bool isCommonOption(const std::string& arg)
{
    return arg == "-q" || arg == "--quiet" || arg == "--no-progress" || arg == "--fatal-warnings";
}

}  // namespace

// Runs the command line `args` (without the program name), in UTF-8.
int runCommandLine(std::vector<std::string> args)
{
    size_t common = 0;
    while (common < args.size() && isCommonOption(args[common]))
        ++common;
    if (common > 0 && common == args.size())
        return usageError("", "no command given after " + args[common - 1]);
    // "sfxpack -q create ..." is "sfxpack create -q ...".
    if (common > 0)
        std::rotate(args.begin(), args.begin() + common, args.begin() + common + 1);
    if (common > 0 && !findCommand(args[0]))  // help, --version: nothing to quieten
        args.erase(args.begin() + 1, args.begin() + 1 + common);
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "help")
        return runHelp(args);
    if (command == "--version" || command == "-V")
        return runVersion();
    if (const Command* c = findCommand(command)) {
        GlobalOptions global;
        const int status = c->run(global, args);
        endIfInterrupted();  // by the same signal, once the work has cleaned up
        return warningStatus(global, status);
    }
    return unknownCommand(command);
}

}  // namespace sfxpack

#ifdef _WIN32
// The wide command line carries every character of a file name, whatever
// the ANSI code page; sfxpack works in UTF-8 from here on.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(sfxpack::utf8FromWide(argv[i]));
    return sfxpack::runCommandLine(std::move(args));
}
#else
int main(int argc, char** argv) { return sfxpack::runCommandLine(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
