// The launcher image that create packs and stub writes: the built-in one
// or --stub FILE, checked, and branded with the icon and version options.
#include <cstdio>

#include "base/text.h"
#include "cli/cli.h"
#include "cli/launcher_image.h"
#include "format/brand.h"
#include "format/image.h"
#include "format/layout.h"
#include "platform/fileio.h"

namespace sfxpack {

namespace {

// Reads the .ico file; reports what is wrong with it.
bool loadIcon(const std::string& path, std::vector<IconImage>* images)
{
    Result<File> opened = File::openRead(path);
    if (!opened) {
        error(opened.message());
        return false;
    }
    File& f = *opened;
    if (f.size() > kImageSize) {
        error(path + ": " + std::to_string(f.size()) + " bytes, more than the launcher image holds (" +
              std::to_string(kImageSize) + ")");
        return false;
    }
    std::vector<unsigned char> bytes(size_t(f.size()));
    if (!f.read(0, bytes.data(), bytes.size())) {
        error(path + ": " + f.readError());
        return false;
    }
    Result<std::vector<IconImage>> icon = parseIcon(bytes.data(), bytes.size());
    if (!icon.ok()) {
        errorAt(path, icon.status().offset(), icon.message());
        return false;
    }
    *images = std::move(*icon);
    return true;
}

// The version options as a VersionInfo; empty, or the usage problem.
std::string versionFromOptions(const BrandingOptions& o, VersionInfo* info)
{
    if (Status why = parseVersionNumber(o.fileVersion.value_or("0"), info->fileVersion); !why.ok())
        return "--file-version: " + why.message();
    if (Status why = parseVersionNumber(o.productVersion.value_or("0"), info->productVersion); !why.ok())
        return "--product-version: " + why.message();
    auto set = [info](const std::string& key, const std::string& value) {
        for (auto& kv : info->strings)
            if (kv.first == key) {
                kv.second = value;  // a repeated key replaces the earlier value
                return;
            }
        info->strings.emplace_back(key, value);
    };
    for (const std::string& pair : o.versionStrings) {
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

const char kStubHelp[] =
    "Usage: sfxpack stub [--stub FILE] [BRANDING...] [--force] -o STUB\n"
    "Writes the launcher image alone, exactly {image} bytes, branded with the options\n"
    "given: a stub for 'create --stub' or for a signing pipeline.  (Sign the finished\n"
    "container, not the stub: the payload would break the stub's signature.)\n"
    "\n"
    "Options:\n"
    "  -o, --output STUB  the image to write (required)\n"
    "  --stub FILE        start from FILE instead of the built-in launcher\n"
    "  -f, --force        replace STUB if it exists\n"
    "  -h, --help         show this help\n"
    "\n";

}  // namespace

const char kBrandingHelp[] =
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

void addBrandingOptions(CLI::App& app, BrandingOptions* options)
{
    app.add_option("--icon", options->icon);
    app.add_option_function<std::string>("--file-version",
                                         [options](const std::string& v) { options->fileVersion = v; });
    app.add_option_function<std::string>("--product-version",
                                         [options](const std::string& v) { options->productVersion = v; });
    app.add_option("--version-string", options->versionStrings)->expected(1)->take_all()->allow_extra_args(false);
}

int runStub(const std::vector<std::string>& args)
{
    CLI::App app;
    std::string out, stubPath;
    bool force = false;
    CLI::Option* outOpt = app.add_option("-o,--output", out);
    app.add_option("--stub", stubPath);
    app.add_flag("-f,--force", force);
    BrandingOptions branding;
    addBrandingOptions(app, &branding);
    Operands operands;
    const std::string help = kStubHelp + std::string(kBrandingHelp);
    if (int rc = parseCommandLine(app, "stub", help.c_str(), args, &operands); rc >= 0)
        return rc;
    if (!operands.values.empty())
        return usageError("stub", "unexpected operand '" + operands.values[0] + "'");
    if (outOpt->count() == 0 || out.empty())
        return usageError("stub", "no output given (-o STUB)");
    std::vector<unsigned char> image;
    if (int rc = loadImage("stub", stubPath, branding, &image); rc >= 0)
        return rc;
    if (!force && pathExists(out)) {
        error(out + ": already exists (use --force to replace it)");
        return kExitFailed;
    }
    TempOutput output(out, false);
    Status s = output.create();
    if (s)
        s = output.file().writeAll(image.data(), image.size());
    if (s)
        s = output.commit(force);
    if (!s) {
        error(s.message());
        return kExitFailed;
    }
    return kExitOk;
}

int loadImage(const char* command, const std::string& stubPath, const BrandingOptions& options,
              std::vector<unsigned char>* image)
{
    Branding branding;
    if (options.version()) {
        branding.version = true;
        if (std::string why = versionFromOptions(options, &branding.versionInfo); !why.empty())
            return usageError(command, why);
    }
    if (!options.icon.empty() && !loadIcon(options.icon, &branding.icon))
        return kExitFailed;

    image->assign(kLauncherImage, kLauncherImage + kLauncherImageSize);
    std::string name = "built-in launcher";
    if (!stubPath.empty()) {
        Result<File> opened = File::openRead(stubPath);
        if (!opened) {
            error(opened.message());
            return kExitFailed;
        }
        File& f = *opened;
        if (Status why = checkStub(f); !why.ok()) {
            error(stubPath + ": " + why.message());
            return kExitFailed;
        }
        image->resize(size_t(kImageSize));
        if (!f.read(0, image->data(), image->size())) {
            error(stubPath + ": " + f.readError());
            return kExitFailed;
        }
        name = stubPath;
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
    return -1;
}

}  // namespace sfxpack
