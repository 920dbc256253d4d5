// The launcher image that create packs and stub writes: the built-in one
// or --stub FILE, checked, and branded with the icon and version options.
#include "cli/image_options.h"

#include "base/text.h"
#include "cli/launcher_image.h"
#include "format/brand.h"
#include "format/image.h"
#include "format/layout.h"
#include "platform/fileio.h"

namespace sfxpack {

const char kImageOptionsHelp[] =
    "Branding (each rebuilds the image's resources; without them the image is unchanged):\n"
    "  --icon FILE.ico              replace the icon by the images of FILE.ico\n"
    "                               (any number and sizes, PNG-compressed ones too)\n"
    "  --file-version A.B.C.D       the file version; 1.2 stands for 1.2.0.0\n"
    "  --product-version A.B.C.D    the product version\n"
    "  --version-string KEY=VALUE   a version string, repeatable: CompanyName,\n"
    "                               FileDescription, LegalCopyright, ProductName,\n"
    "                               OriginalFilename, InternalName, Comments, ... (UTF-8)\n"
    "Any version option gives the image a version resource (English (United States));\n"
    "FileVersion and ProductVersion strings follow the numbers unless given.\n";

void addImageOptions(CLI::App& app, ImageOptions* options)
{
    app.add_option("--stub", options->stubPath);
    app.add_option("--icon", options->icon);
    app.add_option_function<std::string>("--file-version",
                                         [options](const std::string& v) { options->fileVersion = v; });
    app.add_option_function<std::string>("--product-version",
                                         [options](const std::string& v) { options->productVersion = v; });
    app.add_option("--version-string", options->versionStrings)->expected(1)->take_all()->allow_extra_args(false);
}

namespace {

// Reads the .ico file; ends the command after reporting what is wrong
// with it.
EarlyExit loadIcon(const std::string& path, std::vector<IconImage>* images)
{
    Result<File> opened = File::openRead(path);
    if (!opened) {
        error(opened.message());
        return kExitFailed;
    }
    File& f = *opened;
    if (f.size() > kImageSize) {
        error(path + ": " + std::to_string(f.size()) + " bytes, more than the launcher image holds (" +
              std::to_string(kImageSize) + ")");
        return kExitFailed;
    }
    std::vector<unsigned char> bytes(size_t(f.size()));
    if (!f.read(0, bytes.data(), bytes.size())) {
        error(path + ": " + f.readError());
        return kExitFailed;
    }
    Result<std::vector<IconImage>> icon = parseIcon(bytes.data(), bytes.size());
    if (!icon.ok()) {
        errorAt(path, icon.status().offset(), icon.message());
        return kExitFailed;
    }
    *images = std::move(*icon);
    return std::nullopt;
}

// Adds --version-string KEY=VALUE pairs to `info`; a repeated key replaces
// the earlier value.  Empty, or the usage problem.
std::string addVersionStrings(const std::vector<std::string>& pairs, VersionInfo* info)
{
    auto set = [info](const std::string& key, const std::string& value) {
        for (auto& kv : info->strings)
            if (kv.first == key) {
                kv.second = value;
                return;
            }
        info->strings.emplace_back(key, value);
    };
    for (const std::string& pair : pairs) {
        const size_t eq = pair.find('=');
        if (eq == std::string::npos || eq == 0)
            return "--version-string needs KEY=VALUE, got '" + printableName(pair) + "'";
        std::u16string ignored;
        size_t bad = 0;
        if (!utf8ToUtf16(pair, &ignored, &bad))
            return "--version-string '" + printableName(pair) + "' is not valid UTF-8 (byte " +
                   std::to_string(bad + 1) + ")";
        set(pair.substr(0, eq), pair.substr(eq + 1));
    }
    return {};
}

// The version options as a VersionInfo; empty, or the usage problem.
std::string versionFromOptions(const ImageOptions& o, VersionInfo* info)
{
    if (Status why = parseVersionNumber(o.fileVersion.value_or("0"), info->fileVersion); !why.ok())
        return "--file-version: " + why.message();
    if (Status why = parseVersionNumber(o.productVersion.value_or("0"), info->productVersion); !why.ok())
        return "--product-version: " + why.message();
    if (std::string why = addVersionStrings(o.versionStrings, info); !why.empty())
        return why;
    // The shell shows the text versions; they follow the numbers unless given.
    auto byDefault = [info](const char* key, const uint16_t* v) {
        for (const auto& kv : info->strings)
            if (kv.first == key)
                return;
        info->strings.emplace_back(key, formatVersionNumber(v));
    };
    if (o.fileVersion)
        byDefault("FileVersion", info->fileVersion);
    if (o.productVersion)
        byDefault("ProductVersion", info->productVersion);
    return {};
}

// The branding the options ask for; ends the command after reporting a
// bad version option or icon.
EarlyExit brandingFromOptions(const char* command, const ImageOptions& options, Branding* branding)
{
    if (options.version()) {
        branding->version = true;
        if (std::string why = versionFromOptions(options, &branding->versionInfo); !why.empty())
            return usageError(command, why);
    }
    if (!options.icon.empty())
        return loadIcon(options.icon, &branding->icon);
    return std::nullopt;
}

// Why `file` is no stub, or nothing.  A signed launcher is the image with
// its certificate table behind it, so its length is off: the image part
// alone then names the cause, the signature, rather than the length.
Status stubProblem(File& file)
{
    Status why = checkStub(file);
    if (why.ok() || file.size() <= kImageSize || !inspectImage(file).signedImage())
        return why;
    std::vector<unsigned char> image(static_cast<size_t>(kImageSize));
    if (!file.read(0, image.data(), image.size()))
        return why;
    MemorySource front(image.data(), image.size());
    Status frontWhy = checkStub(front);
    return frontWhy.ok() ? why : frontWhy;
}

// Reads the --stub file into `image`; ends the command after reporting
// why it is no launcher image.
EarlyExit readStub(const std::string& path, std::vector<unsigned char>* image)
{
    Result<File> opened = File::openRead(path);
    if (!opened) {
        error(opened.message());
        return kExitFailed;
    }
    File& f = *opened;
    if (Status why = stubProblem(f); !why.ok()) {
        error(path + ": " + why.message());
        return kExitFailed;
    }
    image->resize(size_t(kImageSize));
    if (!f.read(0, image->data(), image->size())) {
        error(path + ": " + f.readError());
        return kExitFailed;
    }
    return std::nullopt;
}

}  // namespace

bool checkImageInputs(const ImageOptions& options, const InputGuard& guard)
{
    const bool stub = options.stubPath.empty() || guard.allows(options.stubPath, "the --stub file");
    const bool icon = options.icon.empty() || guard.allows(options.icon, "the --icon file");
    return stub && icon;
}

EarlyExit loadImage(const char* command, const ImageOptions& options, std::vector<unsigned char>* image)
{
    Branding branding;
    if (EarlyExit exit = brandingFromOptions(command, options, &branding))
        return exit;
    std::string name = "built-in launcher";
    if (options.stubPath.empty()) {
        image->assign(kLauncherImage, kLauncherImage + kLauncherImageSize);
    } else {
        if (EarlyExit exit = readStub(options.stubPath, image))
            return exit;
        name = options.stubPath;
    }
    MemorySource source(image->data(), image->size());
    if (Status why = checkStub(source); !why.ok()) {
        error(name + ": " + why.message());
        return kExitFailed;
    }
    if (Status brand = branding.empty() ? Status() : brandImage(*image, branding); !brand.ok()) {
        errorAt(name, brand.offset(), brand.message());
        return kExitFailed;
    }
    return std::nullopt;
}

}  // namespace sfxpack
