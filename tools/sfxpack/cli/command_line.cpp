// Messages, usage errors and option parsing for every subcommand.
#include "cli/command_line.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"
#include "format/layout.h"
#include "format/record.h"
#include "platform/codepage.h"
#include "platform/interrupt.h"

namespace sfxpack {

// Once interrupted, the work fails step by step as it unwinds; those
// failures are the interruption's, not the user's to read.
void error(const std::string& message)
{
    if (!interrupted())
        std::fprintf(stderr, "sfxpack: %s\n", message.c_str());
}

// A silenced warning (--quiet) is not issued, so it is not fatal either,
// as a compiler's -w wins over -Werror.
void warning(GlobalOptions& global, const std::string& message)
{
    if (!global.quiet && !interrupted()) {
        std::fprintf(stderr, "sfxpack: warning: %s\n", message.c_str());
        ++global.warnings;
    }
}

void noteWarnings(GlobalOptions& global, size_t count)
{
    if (!global.quiet)
        global.warnings += count;
}

EarlyExit stopOnFatalWarnings(GlobalOptions& global)
{
    if (!global.fatalWarnings || global.warnings == 0)
        return std::nullopt;
    if (!global.fatalReported)
        error("warnings are treated as errors (--fatal-warnings)");
    global.fatalReported = true;
    return kExitFailed;
}

int warningStatus(GlobalOptions& global, int status)
{
    if (status != kExitOk)
        return status;
    return stopOnFatalWarnings(global).value_or(status);
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

InputGuard::InputGuard(const std::string& out) : out_(out), outId_(fileIdentity(out)) {}

bool InputGuard::allows(const std::string& path, const std::string& what) const
{
    if (!outId_ || !(fileIdentity(path) == outId_))
        return true;
    error(out_ + ": would overwrite " + what + " (" + path + "); an output must not be one of the inputs");
    return false;
}

namespace {

// The optimal string alignment distance: letters replaced, inserted,
// deleted, and two neighbours swapped, each counting one.
size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string didYouMean(const std::string& word, const std::vector<std::string>& candidates)
{
    const size_t letters = word.size() - std::min(word.find_first_not_of('-'), word.size());
    if (letters < 3)
        return {};  // "-x" is as near to every short option
    size_t best = std::max<size_t>(1, letters / 3) + 1;
    std::string nearest;
    for (const std::string& candidate : candidates) {
        const size_t distance = editDistance(word, candidate);
        if (distance < best) {
            best = distance;
            nearest = candidate;
        }
    }
    return nearest.empty() ? std::string() : "; did you mean " + nearest + "?";
}

EarlyExit CodePageOption::read(const std::string& command, unsigned* codePage) const
{
    *codePage = kAsciiOnly;
    if (!option || option->count() == 0 || parseCodePage(text, codePage))
        return std::nullopt;
    return usageError(command, "--codepage '" + text + "' is not a code page sfxpack converts to (" +
                                   kKnownCodePages + ", or a name such as cp1252, windows-1252 or shift_jis)");
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

// Prints a subcommand's help with {image} replaced by the image length.
void printHelp(std::string text)
{
    const std::string image = "{image}";
    for (size_t at = text.find(image); at != std::string::npos; at = text.find(image, at))
        text.replace(at, image.size(), std::to_string(kImageSize));
    std::fputs(text.c_str(), stdout);
}

// "; did you mean --output?" for an unknown option near one of `app`'s.
std::string suggestOption(const CLI::App& app, const std::string& unknown)
{
    std::vector<std::string> names;
    for (const CLI::Option* opt : app.get_options()) {
        for (const std::string& name : opt->get_lnames())
            names.push_back("--" + name);
        for (const std::string& name : opt->get_snames())
            names.push_back("-" + name);
    }
    return didYouMean(unknown.substr(0, unknown.find('=')), names);
}

// Runs CLI11 over args[0, tail); ends the command for --help and for any
// problem CLI11 or the leftovers show.
EarlyExit parseOptions(CLI::App& app, const std::string& command, const std::string& help,
                       const std::vector<std::string>& args, size_t tail)
{
    std::vector<std::string> reversed(args.rend() - tail, args.rend());  // CLI11 takes them last first
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        printHelp(help);
        return kExitOk;
    } catch (const CLI::ArgumentMismatch&) {
        // CLI11 takes the next argument as a value whatever it looks like,
        // so a value is missing only when the option came last.
        return usageError(command, "option " + args[tail - 1] + " needs a value");
    } catch (const CLI::ParseError& e) {
        return usageError(command, e.what());
    }
    const std::vector<std::string> unknown = app.remaining();
    if (!unknown.empty())
        return usageError(command, "unknown option '" + unknown.front() + "'" + suggestOption(app, unknown.front()));
    return std::nullopt;
}

// Adds the operands CLI11 did not see, those of [tail, sep) and those
// after the "--" at `sep`, to what it collected.
void addOperands(const CLI::App& app, const CLI::Option* positional, const std::vector<std::string>& args,
                 size_t tail, size_t sep, Operands* operands)
{
    for (const CLI::Option* opt : app.parse_order())
        operands->order.push_back(opt == positional ? nullptr : opt);
    operands->values.insert(operands->values.end(), args.begin() + tail, args.begin() + sep);
    operands->order.insert(operands->order.end(), sep - tail, nullptr);
    operands->literalFrom = operands->values.size();
    if (sep < args.size())
        operands->values.insert(operands->values.end(), args.begin() + sep + 1, args.end());
}

}  // namespace

EarlyExit parseCommandLine(CLI::App& app, GlobalOptions& global, const std::string& command, const std::string& help,
                           const std::vector<std::string>& args, Operands* operands)
{
    app.set_help_flag("-h,--help");
    app.allow_extras();  // unknown options are reported by parseOptions, in our words
    // A single-valued option given twice keeps the last value.
    for (CLI::Option* opt : app.get_options())
        if (opt->get_multi_option_policy() == CLI::MultiOptionPolicy::Throw)
            opt->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* positional = app.add_option("operands", operands->values);
    app.add_flag("-q,--quiet", global.quiet);
    app.add_flag("--no-progress", global.noProgress);
    app.add_flag("--fatal-warnings", global.fatalWarnings);

    const size_t sep = separatorIndex(app, args);
    const size_t tail = trailingOperandsStart(app, args, sep);
    if (EarlyExit exit = parseOptions(app, command, help, args, tail))
        return exit;
    addOperands(app, positional, args, tail, sep, operands);
    return std::nullopt;
}

}  // namespace sfxpack
