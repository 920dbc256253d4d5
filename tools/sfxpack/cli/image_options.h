// The launcher image options that create and stub share: --stub FILE,
// --icon and the version options.  Each command declares them on its app,
// names --stub in its own help and appends kImageOptionsHelp for the rest,
// then loads the image they describe.
#ifndef SFXPACK_CLI_IMAGE_OPTIONS_H
#define SFXPACK_CLI_IMAGE_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/command_line.h"

namespace sfxpack {

struct ImageOptions {
    std::string stubPath;                       // --stub FILE: instead of the built-in image
    std::string icon;                           // --icon FILE.ico
    std::optional<std::string> fileVersion;     // --file-version A.B.C.D
    std::optional<std::string> productVersion;  // --product-version A.B.C.D
    std::vector<std::string> versionStrings;    // --version-string KEY=VALUE...
    bool version() const { return fileVersion || productVersion || !versionStrings.empty(); }
};

// Declares the image options on a subcommand's app.
void addImageOptions(CLI::App& app, ImageOptions* options);

// The branding options' lines of the create and stub help.
extern const char kImageOptionsHelp[];

// False after reporting that the output `guard` protects is the --stub or
// the --icon file.
bool checkImageInputs(const ImageOptions& options, const InputGuard& guard);

// The launcher image to write: the built-in one or the file --stub names,
// checked, then branded as `options` say (and left as it is without
// them).  Ends the command after reporting why there is no such image.
EarlyExit loadImage(const char* command, const ImageOptions& options, std::vector<unsigned char>* image);

}  // namespace sfxpack

#endif  // SFXPACK_CLI_IMAGE_OPTIONS_H
