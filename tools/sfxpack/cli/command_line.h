// The command line's shared ground: exit statuses, the messages sfxpack
// prints, and option parsing.
//
// Each subcommand declares its options on a CLI::App of its own and hands
// it to parseCommandLine, which prints the subcommand's help, turns every
// parse problem into a usage error, and collects the operands.  Adding an
// option is one add_option/add_flag line in the subcommand's file plus a
// line in its help text.
//
// The options every command takes travel as one GlobalOptions value that
// runCommandLine makes and hands down, never as hidden statics.
//
// A step that may end the command early returns an EarlyExit: the exit
// status after it reported why, or nothing when the command goes on.
//     if (EarlyExit exit = parseCommandLine(...))
//         return *exit;
#ifndef SFXPACK_CLI_COMMAND_LINE_H
#define SFXPACK_CLI_COMMAND_LINE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "platform/fileio.h"

namespace sfxpack {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // bad container, failed check, refused or failed work
constexpr int kExitUsage = 2;

// The exit status of a command that ends here, or nothing to go on.
using EarlyExit = std::optional<int>;

// The options every command takes, and the warnings issued under them:
// one value per run, which parseCommandLine fills in and the command
// passes to whatever warns or shows progress.
struct GlobalOptions {
    bool quiet = false;          // -q: no warnings, no progress bar
    bool noProgress = false;     // --no-progress
    bool fatalWarnings = false;  // --fatal-warnings
    size_t warnings = 0;         // issued, not silenced
    bool fatalReported = false;
    // Whether a progress bar may be shown.
    bool progress() const { return !quiet && !noProgress; }
};

// "sfxpack: MESSAGE" on stderr.
void error(const std::string& message);
// "sfxpack: warning: MESSAGE" on stderr, unless warnings are silenced.
void warning(GlobalOptions& global, const std::string& message);
// Counts warnings that went into a command's output (JSON) instead of
// stderr, so that --fatal-warnings sees them too.
void noteWarnings(GlobalOptions& global, size_t count);
// With --fatal-warnings, once a warning was issued: ends the command with
// kExitFailed after saying that warnings are fatal.  create and extract
// ask before they write anything; every command's status passes through
// warningStatus at its end.
EarlyExit stopOnFatalWarnings(GlobalOptions& global);
int warningStatus(GlobalOptions& global, int status);
// "sfxpack: FILE: offset N (0xN): MESSAGE": a finding inside a container.
void errorAt(const std::string& file, uint64_t offset, const std::string& message);
// Reports a usage error with a pointer to --help and returns kExitUsage.
// `command` is empty for a problem with the command name itself.
int usageError(const std::string& command, const std::string& message);

// Refuses to write an output over one of the command's own inputs, which
// it would destroy: files are compared by identity, not by name, so a
// link or another spelling of the same file is caught too.
class InputGuard {
public:
    explicit InputGuard(const std::string& out);  // looks the output up once
    // False after reporting that the input at `path`, which `what` names
    // ("input 2", "the --stub file"), is the output itself.
    bool allows(const std::string& path, const std::string& what) const;

private:
    std::string out_;
    std::optional<FileIdentity> outId_;
};

// "; did you mean --output?" naming the candidate nearest to the mistyped
// `word`, or empty when none is near: at most one edit (a letter wrong,
// missing or extra, two letters swapped) per three letters of the word,
// and at least one; a word of fewer than three letters gets no guess.
std::string didYouMean(const std::string& word, const std::vector<std::string>& candidates);

// What a subcommand's command line held besides its options.
struct Operands {
    // Operands in the order given.
    std::vector<std::string> values;
    // values[literalFrom...] followed "--": they are never taken for
    // anything but operands (an "@LIST" there is a file name).
    size_t literalFrom = 0;
    // The options and operands before "--", in the order given (CLI11's
    // parse order; a null entry is an operand).
    std::vector<const CLI::Option*> order;
};

// Parses `args` with `app`, which holds the subcommand's options, and the
// options every command takes into `global`; operands go to `operands`.  Ends the command with kExitOk after printing `help`
// for -h/--help, or with kExitUsage after reporting a usage error.
// `help` names the launcher image's length as {image}, which is printed as
// the number of bytes that src/payload/container.h gives.
EarlyExit parseCommandLine(CLI::App& app, GlobalOptions& global, const std::string& command, const std::string& help,
                           const std::vector<std::string>& args, Operands* operands);

// The --codepage option of create, list, verify and extract.
struct CodePageOption {
    std::string text;
    CLI::Option* option = nullptr;
    void add(CLI::App& app) { option = app.add_option("--codepage", text); }
    // The code page given, kAsciiOnly when none was; ends the command with
    // kExitUsage after reporting a value that is no known code page.
    EarlyExit read(const std::string& command, unsigned* codePage) const;
};

}  // namespace sfxpack

#endif  // SFXPACK_CLI_COMMAND_LINE_H
