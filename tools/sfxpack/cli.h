// The command line: shared helpers for messages and option parsing, and
// one entry point per subcommand.
#ifndef SFXPACK_CLI_H
#define SFXPACK_CLI_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sfxpack {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // bad container, failed check, refused or failed work
constexpr int kExitUsage = 2;

// "sfxpack: MESSAGE" on stderr.
void error(const std::string& message);
// "sfxpack: warning: MESSAGE" on stderr.
void warning(const std::string& message);
// "sfxpack: FILE: offset N (0xN): MESSAGE": a finding inside a container.
void errorAt(const std::string& file, uint64_t offset, const std::string& message);
// Reports a usage error with a pointer to --help and returns kExitUsage.
int usageError(const std::string& command, const std::string& message);

// Splits "--opt=value" and "-oVALUE" forms; the subcommands share it.
class ArgCursor {
public:
    ArgCursor(const std::string& command, const std::vector<std::string>& args)
        : command_(command), args_(args) {}
    bool done() const { return i_ >= args_.size(); }
    const std::string& peek() const { return args_[i_]; }
    std::string take() { return args_[i_++]; }
    // Whether the current argument is the option `shortName`/`longName`;
    // consumes it (and its value, when `value` is given).  A missing value
    // sets `missing`.
    bool option(const char* shortName, const char* longName, std::string* value = nullptr);
    bool missing() const { return missing_; }
    // Consumes "--", after which every argument is an operand.
    bool separator()
    {
        if (operandsOnly_ || peek() != "--")
            return false;
        ++i_;
        operandsOnly_ = true;
        return true;
    }
    // Whether the current argument is an operand rather than an option.
    bool operand() const
    {
        const std::string& a = peek();
        return operandsOnly_ || a.empty() || a[0] != '-' || a == "-";
    }
    bool operandsOnly() const { return operandsOnly_; }
    const std::string& missingName() const { return missingName_; }

private:
    std::string command_;
    const std::vector<std::string>& args_;
    size_t i_ = 0;
    bool missing_ = false;
    bool operandsOnly_ = false;
    std::string missingName_;
};

// The branding options of create and stub.
struct BrandingOptions {
    std::string icon;                         // --icon FILE.ico
    std::optional<std::string> fileVersion;     // --file-version A.B.C.D
    std::optional<std::string> productVersion;  // --product-version A.B.C.D
    std::vector<std::string> versionStrings;    // --version-string KEY=VALUE...
    bool version() const { return fileVersion || productVersion || !versionStrings.empty(); }
};

// Consumes a branding option at the cursor; false when it is none.
bool brandingOption(ArgCursor& cur, BrandingOptions* options);
// The branding options' lines of the create and stub help.
extern const char kBrandingHelp[];

// The launcher image to write: the built-in one or the file `stubPath`,
// checked, then branded as `options` say (and left as it is without
// them).  Returns -1 when *image is ready, or the exit status after
// reporting why not.
int loadImage(const char* command, const std::string& stubPath, const BrandingOptions& options,
              std::vector<unsigned char>* image);

int runCreate(const std::vector<std::string>& args);
int runStub(const std::vector<std::string>& args);
int runList(const std::vector<std::string>& args);
int runVerify(const std::vector<std::string>& args);
int runExtract(const std::vector<std::string>& args);

}  // namespace sfxpack

#endif  // SFXPACK_CLI_H
