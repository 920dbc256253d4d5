// The command line: shared helpers for messages and option parsing, and
// one entry point per subcommand.
//
// Each subcommand declares its options on a CLI::App of its own and hands
// it to parseCommandLine, which prints the subcommand's help, turns every
// parse problem into the usage error below, and collects the operands.
// Adding an option is one add_option/add_flag line in the subcommand's run
// function plus a line in its help text.
#ifndef SFXPACK_CLI_H
#define SFXPACK_CLI_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace sfxpack {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // bad container, failed check, refused or failed work
constexpr int kExitUsage = 2;

// "sfxpack: MESSAGE" on stderr.
void error(const std::string& message);
// "sfxpack: warning: MESSAGE" on stderr, unless warnings are silenced.
void warning(const std::string& message);
// "sfxpack: FILE: offset N (0xN): MESSAGE": a finding inside a container.
void errorAt(const std::string& file, uint64_t offset, const std::string& message);
// Reports a usage error with a pointer to --help and returns kExitUsage.
int usageError(const std::string& command, const std::string& message);

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

// Parses `args` with `app`, which holds the subcommand's options; operands
// go to `operands`.  Returns -1 to go on, or the exit status: kExitOk after
// printing `help` for -h/--help, kExitUsage after reporting a usage error.
// `help` names the launcher image's length as {image}, which is printed as
// the number of bytes that src/payload/container.h gives.
int parseCommandLine(CLI::App& app, const std::string& command, const char* help,
                     const std::vector<std::string>& args, Operands* operands);

// The branding options of create and stub.
struct BrandingOptions {
    std::string icon;                           // --icon FILE.ico
    std::optional<std::string> fileVersion;     // --file-version A.B.C.D
    std::optional<std::string> productVersion;  // --product-version A.B.C.D
    std::vector<std::string> versionStrings;    // --version-string KEY=VALUE...
    bool version() const { return fileVersion || productVersion || !versionStrings.empty(); }
};

// Declares the branding options on a subcommand's app.
void addBrandingOptions(CLI::App& app, BrandingOptions* options);
// The branding options' lines of the create and stub help.
extern const char kBrandingHelp[];

// The launcher image to write: the built-in one or the file `stubPath`,
// checked, then branded as `options` say (and left as it is without
// them).  Returns -1 when *image is ready, or the exit status after
// reporting why not.
int loadImage(const char* command, const std::string& stubPath, const BrandingOptions& options,
              std::vector<unsigned char>* image);

// The --codepage option that every subcommand takes.  After parsing,
// `codePage` is kAsciiOnly when it was not given.
struct CodePageOption {
    std::string text;
    CLI::Option* option = nullptr;
    void add(CLI::App& app) { option = app.add_option("--codepage", text); }
    // Returns -1 to go on, or kExitUsage after reporting a value that is no
    // known code page.
    int read(const std::string& command, unsigned* codePage) const;
};

struct Summary;
// Read without a code page, a name the rule refused may be a double-byte
// code page's (a trail byte 5C looks like a backslash): then the finding
// says which --codepage would accept it.
void addCodePageHint(Summary* s, unsigned codePage);

// Warnings of a listing or extraction on stderr: those of the walk, and a
// missing end record, which verify counts as a finding.
void reportWarnings(const std::string& path, const Summary& s, uint64_t fileSize);

int runCreate(const std::vector<std::string>& args);
int runStub(const std::vector<std::string>& args);
int runList(const std::vector<std::string>& args);
int runVerify(const std::vector<std::string>& args);
int runExtract(const std::vector<std::string>& args);

}  // namespace sfxpack

#endif  // SFXPACK_CLI_H
