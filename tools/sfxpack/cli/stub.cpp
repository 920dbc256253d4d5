// sfxpack stub: writes the launcher image alone, branded as the options say.
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/image_options.h"
#include "platform/fileio.h"

namespace sfxpack {

namespace {

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
    "  -q, --quiet        no warnings\n"
    "  --no-progress      taken as by every command; stub shows no progress bar\n"
    "  --fatal-warnings   a warning fails the command (exit 1) and nothing is written\n"
    "  -h, --help         show this help\n"
    "\n";

}  // namespace

int runStub(GlobalOptions& global, const std::vector<std::string>& args)
{
    CLI::App app;
    std::string out;
    bool force = false;
    CLI::Option* outOpt = app.add_option("-o,--output", out);
    app.add_flag("-f,--force", force);
    ImageOptions imageOptions;
    addImageOptions(app, &imageOptions);
    Operands operands;
    if (EarlyExit exit = parseCommandLine(app, global, "stub", kStubHelp + std::string(kImageOptionsHelp), args, &operands))
        return *exit;
    if (!operands.values.empty())
        return usageError("stub", "unexpected operand '" + operands.values[0] + "'");
    if (outOpt->count() == 0 || out.empty())
        return usageError("stub", "no output given (-o STUB)");

    std::vector<unsigned char> image;
    if (EarlyExit exit = loadImage("stub", imageOptions, &image))
        return *exit;
    if (!checkImageInputs(imageOptions, InputGuard(out)))
        return kExitFailed;
    if (!force && pathExists(out)) {
        error(out + ": already exists (use --force to replace it)");
        return kExitFailed;
    }
    if (EarlyExit exit = stopOnFatalWarnings(global))
        return *exit;
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

}  // namespace sfxpack
