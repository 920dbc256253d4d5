// What list and verify share: their common options, how a record's name
// is shown, the JSON of a walk's outcome, and running one command over
// several containers.  extract reports the walk's warnings and the code
// page hint the same way.
#ifndef SFXPACK_CLI_INSPECT_H
#define SFXPACK_CLI_INSPECT_H

#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/command_line.h"
#include "cli/signature_options.h"
#include "format/brand.h"
#include "format/reader.h"
#include "format/record.h"
#include "format/summary.h"
#include "format/trailer.h"
#include "platform/codepage.h"
#include "platform/fileio.h"

namespace sfxpack {

using Json = nlohmann::ordered_json;

// Options that list and verify share.
struct InspectOptions {
    bool json = false;
    bool sha256 = false;  // list only
    unsigned codePage = kAsciiOnly;
    SignatureOptions signatures;  // verify only
    std::vector<std::string> paths;
};

// Parses "[OPTIONS] CONTAINER..." with the command's own options already
// declared on `app`; ends the command for --help and usage errors.
EarlyExit parseInspectArgs(CLI::App& app, GlobalOptions& global, const char* command, const char* help,
                           const std::vector<std::string>& args, InspectOptions* opt);

// Runs `one` for every container, grouped by file: the text of several
// listings is headed by each file's name when `headed`, JSON documents of
// several containers form one array.  Exit status 1 when any fails.
int forEachContainer(GlobalOptions& global, const InspectOptions& opt, bool headed,
                     int (*one)(GlobalOptions&, const std::string&, const InspectOptions&, Json*));

// A record's name in a listing: UTF-8 with a code page, else the stored
// bytes (escaped for text, as code points for JSON).
struct ShownName {
    std::string text;
    std::string json;
};

// A name that is not text in the code page is shown as bytes and
// reported in `problems`, and so is text that names a device.
ShownName showName(const Record& r, unsigned codePage, std::vector<Problem>* problems);

const char* endKindName(PayloadEnd kind);  // "end_record", "short_header", ...

// The icon and version resources of the container's launcher image.
ImageBranding readBranding(File& file);

// Read without a code page, a name the rule refused may be a double-byte
// code page's (a trail byte 5C looks like a backslash): then the finding
// says which --codepage would accept it.
void addCodePageHint(Summary* s, unsigned codePage);

// Warnings of a listing or extraction on stderr: those of the walk, and a
// missing end record, which verify counts as a finding.
void reportWarnings(GlobalOptions& global, const std::string& path, const Summary& s, uint64_t fileSize);

}  // namespace sfxpack

#endif  // SFXPACK_CLI_INSPECT_H
