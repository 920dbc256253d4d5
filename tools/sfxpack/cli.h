// The command line: shared helpers for messages and option parsing, and
// one entry point per subcommand.
#ifndef SFXPACK_CLI_H
#define SFXPACK_CLI_H

#include <cstdint>
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

struct Summary;
// Warnings of a listing or extraction on stderr: those of the walk, and a
// missing end record, which verify counts as a finding.
void reportWarnings(const std::string& path, const Summary& s, uint64_t fileSize);

// The usage error for a --codepage value that is no known code page.
std::string codePageUsage(const std::string& value);

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

int runCreate(const std::vector<std::string>& args);
int runList(const std::vector<std::string>& args);
int runVerify(const std::vector<std::string>& args);
int runExtract(const std::vector<std::string>& args);

}  // namespace sfxpack

#endif  // SFXPACK_CLI_H
