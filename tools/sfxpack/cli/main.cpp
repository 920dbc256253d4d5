// sfxpack: builds, lists, verifies and unpacks self-extracting containers.
#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "cli/cli.h"
#include "cli/launcher_image.h"
#include "format/layout.h"
#include "format/reader.h"
#include "format/record.h"
#include "format/summary.h"
#include "platform/codepage.h"
#include "platform/digest.h"
#include "platform/fileio.h"

#ifndef SFXPACK_VERSION
#define SFXPACK_VERSION "0"
#endif

namespace sfxpack {

namespace {
bool g_quiet = false;
}  // namespace

// Once interrupted, the work fails step by step as it unwinds; those
// failures are the interruption's, not the user's to read.
void error(const std::string& message)
{
    if (!interrupted())
        std::fprintf(stderr, "sfxpack: %s\n", message.c_str());
}

void warning(const std::string& message)
{
    if (!g_quiet && !interrupted())
        std::fprintf(stderr, "sfxpack: warning: %s\n", message.c_str());
}

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

void reportWarnings(const std::string& path, const Summary& s, uint64_t fileSize)
{
    for (const Finding& w : s.warnings)
        warning(path + ": offset " + formatOffset(w.offset) + ": " + w.what);
    if (s.end.kind == PayloadEnd::ShortHeader)
        warning(path + ": offset " + formatOffset(s.end.offset) + ": " + describeEnd(s.end, fileSize));
}

void addCodePageHint(Summary* s, unsigned codePage)
{
    if (codePage != kAsciiOnly || s->end.badName.empty())
        return;
    std::vector<std::string> fits;
    for (unsigned cp : {932u, 936u, 949u, 950u})
        if (checkName(s->end.badName, leadByteTest(cp)).ok())
            fits.push_back(std::to_string(cp));
    if (fits.empty())
        return;
    std::string pages = fits[0];
    for (size_t i = 1; i < fits.size(); ++i)
        pages += (i + 1 == fits.size() ? " or " : ", ") + fits[i];
    const std::string hinted = s->end.problem.message() + "; it is one in code page " + pages +
                               ": give the container's code page with --codepage";
    for (Finding& f : s->findings)
        if (f.offset == s->end.offset && f.what == s->end.problem.message())
            f.what = hinted;
    s->end.problem = Status::failAt(s->end.offset, hinted);
}

int CodePageOption::read(const std::string& command, unsigned* codePage) const
{
    *codePage = kAsciiOnly;
    if (!option || option->count() == 0 || parseCodePage(text, codePage))
        return -1;
    return usageError(command, "--codepage '" + text + "' is not a code page sfxpack converts to (" +
                                   kKnownCodePages + ")");
}

namespace {

// Index of the "--" that ends the options, or args.size().  An option's
// value is skipped, so "-o --" names the output "--" as CLI11 reads it.
size_t separatorIndex(const CLI::App& app, const std::vector<std::string>& args)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--")
            return i;
        if (a.size() > 1 && a[0] == '-' && a.find('=') == std::string::npos) {
            const CLI::Option* opt = app.get_option_no_throw(a);
            if (opt && opt->get_items_expected_min() > 0)
                ++i;
        }
    }
    return args.size();
}


// Where the operands begin that follow every option before `sep`: CLI11
// need not see those, which matters with thousands of inputs.  An option
// that may take the next argument as its value (or that is not known, a
// cluster like -qo, say) keeps that argument before the start.
size_t trailingOperandsStart(const CLI::App& app, const std::vector<std::string>& args, size_t sep)
{
    size_t start = 0;
    for (size_t i = 0; i < sep; ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || a[0] != '-')
            continue;
        const CLI::Option* opt = app.get_option_no_throw(a.substr(0, a.find('=')));
        const bool attached = a.find('=') != std::string::npos;
        if (opt && (attached || opt->get_items_expected_min() == 0)) {
            start = i + 1;
        } else {
            if (opt)
                ++i;  // its value, whatever it looks like
            start = std::min(sep, (opt ? i : i + 1) + 1);
        }
    }
    return start;
}
}  // namespace

int parseCommandLine(CLI::App& app, const std::string& command, const char* help,
                     const std::vector<std::string>& args, Operands* operands)
{
    app.set_help_flag("-h,--help");
    app.allow_extras();  // unknown options are reported below, in our words
    // A single-valued option given twice keeps the last value.
    for (CLI::Option* opt : app.get_options())
        if (opt->get_multi_option_policy() == CLI::MultiOptionPolicy::Throw)
            opt->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* positional = app.add_option("operands", operands->values);
    // Options every subcommand takes.
    bool noProgress = false;
    app.add_flag("-q,--quiet", g_quiet);
    app.add_flag("--no-progress", noProgress);

    const size_t sep = separatorIndex(app, args);
    const size_t tail = trailingOperandsStart(app, args, sep);
    std::vector<std::string> head(args.begin(), args.begin() + tail);
    std::vector<std::string> reversed(head.rbegin(), head.rend());  // CLI11 takes them last first
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        std::string text = help;
        const std::string image = "{image}";
        for (size_t at = text.find(image); at != std::string::npos; at = text.find(image, at))
            text.replace(at, image.size(), std::to_string(kImageSize));
        std::fputs(text.c_str(), stdout);
        return kExitOk;
    } catch (const CLI::ArgumentMismatch&) {
        // CLI11 takes the next argument as a value whatever it looks like,
        // so a value is missing only when the option came last.
        return usageError(command, "option " + head.back() + " needs a value");
    } catch (const CLI::ParseError& e) {
        return usageError(command, e.what());
    }
    const std::vector<std::string> unknown = app.remaining();
    if (!unknown.empty())
        return usageError(command, "unknown option '" + unknown.front() + "'");

    if (g_quiet || noProgress)
        Progress::switchOff();
    for (const CLI::Option* opt : app.parse_order())
        operands->order.push_back(opt == positional ? nullptr : opt);
    operands->values.insert(operands->values.end(), args.begin() + tail, args.begin() + sep);
    operands->order.insert(operands->order.end(), sep - tail, nullptr);
    operands->literalFrom = operands->values.size();
    if (sep < args.size())
        operands->values.insert(operands->values.end(), args.begin() + sep + 1, args.end());
    return -1;
}

}  // namespace sfxpack

namespace {

const char kUsage[] =
    "Usage: sfxpack COMMAND [OPTIONS] ...\n"
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
    "Run 'sfxpack COMMAND --help' for a command's options.\n"
    "Exit status: 0 success, 1 bad container or failed work, 2 usage error.\n";

}  // namespace

namespace sfxpack {

// Runs the command line `args` (without the program name), in UTF-8.
int runCommandLine(std::vector<std::string> args)
{
    // One line per subcommand; each parses its own options.
    struct Command {
        const char* name;
        int (*run)(const std::vector<std::string>& args);
    };
    static const Command kCommands[] = {
        {"create", runCreate},
        {"stub", runStub},
        {"list", runList},
        {"verify", runVerify},
        {"extract", runExtract},
    };

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
        // The image's digest tells which launcher this sfxpack writes.
        Result<Digest> sha256 = Digest::start(DigestAlgorithm::Sha256);
        if (!sha256) {
            error("SHA-256 of the built-in launcher image: " + sha256.message());
            return kExitFailed;
        }
        sha256->update(kLauncherImage, kLauncherImageSize);
        std::printf("sfxpack %s\nLicense: MIT, Copyright (c) the sfx authors\nLauncher image SHA-256: %s\n",
                    SFXPACK_VERSION, hexDigits(sha256->finish()).c_str());
        return kExitOk;
    }
    for (const Command& c : kCommands) {
        if (command == c.name) {
            const int status = c.run(args);
            endIfInterrupted();  // by the same signal, once the work has cleaned up
            return status;
        }
    }
    return usageError("", "unknown command '" + command + "'");
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
