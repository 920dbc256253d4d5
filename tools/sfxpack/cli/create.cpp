// sfxpack create: the launcher image, one record per input, the end record.
#include <cstdio>
#include <cstdint>

#include "base/text.h"
#include "cli/cli.h"
#include "format/image.h"
#include "format/layout.h"
#include "format/record.h"
#include "platform/codepage.h"
#include "platform/fileio.h"

namespace sfxpack {

namespace {

const char kCreateHelp[] =
    "Usage: sfxpack create [--stub FILE] [BRANDING...] [--codepage N] [--force] [--sync] -o OUT FIRST [MORE...]\n"
    "Writes OUT: the launcher image, then one record per input in the order given,\n"
    "then the end record.  FIRST is the program the launcher runs after extraction.\n"
    "\n"
    "Inputs:\n"
    "  PATH              store the file under its base name\n"
    "  --name NAME=PATH  store the file PATH under the record name NAME\n"
    "  @LISTFILE         read inputs from LISTFILE (@- standard input), one per line:\n"
    "                    PATH or NAME=PATH; blank lines and lines starting with #\n"
    "                    are skipped\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT  the container to write (required); - writes it to standard\n"
    "                    output, which must not be a terminal\n"
    "  --stub FILE       use FILE as the launcher image instead of the built-in one;\n"
    "                    it must be an unsigned PE image of exactly {image} bytes\n"
    "  -f, --force       replace OUT if it exists (otherwise an existing OUT is refused)\n"
    "  --sync            flush OUT and its directory to disk before finishing\n"
    "  -q, --quiet       no warnings, no progress bar\n"
    "  --no-progress     no progress bar\n"
    "  -h, --help        show this help\n"
    "\n";

// After the branding options.
const char kCreateHelpTail[] =
    "\n"
    "Names must be plain Windows file names of at most 1019 bytes, distinct even when\n"
    "compared without regard to case; each file may hold up to 2147483647 bytes.\n"
    "OUT is written to a temporary file beside it and renamed when complete; it is\n"
    "made executable.  Sign the container after packing, never the launcher before.\n";

struct Input {
    std::string path;
    std::string name;    // as given: UTF-8
    std::string stored = {};  // in the container's code page
    uint64_t size = 0;
    File file = {};  // opened by the check, while the process may hold that many
};

// A "NAME=PATH" input; false when there is no '='.
bool namedInput(const std::string& value, Input* input)
{
    size_t eq = value.find('=');
    if (eq == std::string::npos)
        return false;
    *input = {value.substr(eq + 1), value.substr(0, eq)};
    return true;
}

bool readListFile(const std::string& path, std::vector<Input>* inputs)
{
    Result<std::string> read = readTextFile(path);
    if (!read) {
        error((path == "-" ? std::string("standard input") : path) + ": cannot read the list file");
        return false;
    }
    const std::string& text = *read;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#')
            continue;
        Input input;
        if (!namedInput(line, &input))
            input = {line, baseName(line)};
        inputs->push_back(std::move(input));
    }
    return true;
}

// The name as it is stored: converted into `codePage`, or, without one,
// ASCII as given.  Empty `problem` when it can be stored.
std::string storedName(const Input& input, unsigned codePage, std::string* problem)
{
    std::string stored;
    if (codePage == kAsciiOnly) {
        if (!isAscii(input.name)) {
            *problem = "name '" + printableText(input.name) +
                       "' is not ASCII: give the ANSI code page of the systems that will run "
                       "the container, e.g. --codepage 1252";
            return {};
        }
        stored = input.name;
    } else if (Result<std::string> encoded = encodeName(input.name, codePage)) {
        stored = *encoded;
    } else {
        *problem = "name '" + printableText(input.name) + "' cannot be stored in code page " +
                   std::to_string(codePage) + ": " + encoded.message();
        return {};
    }
    // The name as the user gave it is shown only when something is wrong.
    if (Status name = checkName(stored, leadByteTest(codePage), printableText(input.name)); !name.ok())
        *problem = name.message();
    else if (codePage != kAsciiOnly)
        *problem = deviceNameProblem(input.name, codePage);
    return stored;
}

// Checks every input and returns false after reporting all problems.
bool checkInputs(std::vector<Input>& inputs, unsigned codePage)
{
    bool ok = true;
    // With a code page the name's characters are known, and Windows
    // compares them without regard to case beyond ASCII too.
    auto keyOf = [codePage](const Input& input) {
        return codePage == kAsciiOnly ? collisionKey(input.stored) : upperCase(input.name);
    };
    // The inputs are in memory already: the set keeps a hash and an index
    // per name, not another copy of the name.
    NameSet names([&](uint64_t i) { return keyOf(inputs[size_t(i)]); }, SIZE_MAX);
    // Inputs are opened here, so that one that cannot be read is reported
    // before anything is written, and opened once.  Beyond what the
    // process may hold open, a look suffices and packing opens them.
    size_t mayOpen = File::openLimit();
    for (size_t index = 0; index < inputs.size(); ++index) {
        Input& input = inputs[index];
        std::string why;
        input.stored = storedName(input, codePage, &why);
        if (!why.empty()) {
            error(input.path + ": " + why);
            ok = false;
            continue;
        }
        if (Status longName = fitsTypicalPath(input.stored.size()); !longName.ok())
            warning(input.path + ": name '" + printableText(input.name) + "': " + longName.message());
        Status looked;
        if (mayOpen == 0) {
            Result<uint64_t> size = regularFileSize(input.path);
            if (size)
                input.size = *size;
            else
                looked = size.status();
        } else if (Result<File> opened = File::openRead(input.path)) {
            input.file = std::move(*opened);
            input.size = input.file.size();
            --mayOpen;
        } else {
            looked = opened.status();
        }
        if (!looked) {
            error(looked.message());
            ok = false;
            continue;
        }
        if (input.size > uint64_t(kMaxRecordData)) {
            error(input.path + ": " + std::to_string(input.size) + " bytes, more than a record can hold (" +
                  std::to_string(kMaxRecordData) + ")");
            ok = false;
        }
        uint64_t earlier = 0;
        if (names.put(keyOf(input), index, &earlier, false) == NameSet::Put::Replaced) {
            const Input& first = inputs[size_t(earlier)];
            error(input.path + ": name '" + printableText(input.name) + "' names the same file on Windows as '" +
                  printableText(first.name) + "' (from " + first.path + ")");
            ok = false;
        }
    }
    return ok;
}

// Writes the whole container to `file`; `label` names it in the bar.
bool writeContainer(File& file, const std::string& label, const unsigned char* stub, std::vector<Input>& inputs,
                    uint64_t total)
{
    Progress progress("packing " + label, total);
    Appender out(file, &progress);
    unsigned char header[kHeaderSize];
    Status status = out.add(stub, size_t(kImageSize));
    for (size_t i = 0; status && i < inputs.size(); ++i) {
        Input& input = inputs[i];
        File in = std::move(input.file);
        if (!in.isOpen()) {
            Result<File> opened = File::openRead(input.path);
            if (!opened) {
                status = opened.status();
                break;
            }
            in = std::move(*opened);
        }
        if (in.size() != input.size) {
            error(input.path + ": changed size while being packed (" + std::to_string(input.size) + " bytes, now " +
                  std::to_string(in.size()) + ")");
            return false;
        }
        encodeRecordHeader(int32_t(input.size), input.stored, header);
        status = out.add(header, sizeof header);
        if (status)
            status = out.addFile(in, 0, input.size);
    }
    encodeEndRecord(header);
    if (status)
        status = out.add(header, sizeof header);
    if (status)
        status = out.finish();
    if (!status) {
        error(status.message());
        return false;
    }
    return true;
}

}  // namespace

int runCreate(const std::vector<std::string>& args)
{
    CLI::App app;
    std::string out, stubPath;
    bool force = false, sync = false;
    std::vector<std::string> names;
    CLI::Option* outOpt = app.add_option("-o,--output", out);
    app.add_option("--stub", stubPath);
    app.add_flag("-f,--force", force);
    CodePageOption codePageOpt;
    codePageOpt.add(app);
    app.add_flag("--sync", sync);
    CLI::Option* nameOpt = app.add_option("--name", names)->expected(1)->take_all()->allow_extra_args(false);
    BrandingOptions branding;
    addBrandingOptions(app, &branding);
    Operands operands;
    const std::string help = kCreateHelp + std::string(kBrandingHelp) + kCreateHelpTail;
    if (int rc = parseCommandLine(app, "create", help.c_str(), args, &operands); rc >= 0)
        return rc;
    unsigned codePage = kAsciiOnly;
    if (int rc = codePageOpt.read("create", &codePage); rc >= 0)
        return rc;

    // Inputs in the order given: operands (paths, @LISTFILE) and --name.
    std::vector<Input> inputs;
    inputs.reserve(operands.values.size() + names.size());
    size_t nextOperand = 0, nextName = 0;
    auto addOperand = [&](const std::string& arg, bool literal) {
        if (!literal && arg.size() > 1 && arg[0] == '@')
            return readListFile(arg.substr(1), &inputs);
        inputs.push_back({arg, baseName(arg)});
        return true;
    };
    for (const CLI::Option* opt : operands.order) {
        if (opt == nullptr) {
            if (!addOperand(operands.values[nextOperand++], false))
                return kExitFailed;
        } else if (opt == nameOpt) {
            Input input;
            if (!namedInput(names[nextName], &input))
                return usageError("create", "--name needs NAME=PATH, got '" + names[nextName] + "'");
            ++nextName;
            inputs.push_back(std::move(input));
        }
    }
    for (size_t i = operands.literalFrom; i < operands.values.size(); ++i)
        addOperand(operands.values[i], true);
    if (outOpt->count() == 0 || out.empty())
        return usageError("create", "no output given (-o OUT)");
    if (inputs.empty())
        return usageError("create", "no input files");

    std::vector<unsigned char> stub;
    if (int rc = loadImage("create", stubPath, branding, &stub); rc >= 0)
        return rc;

    const bool toStdout = out == "-";
    if (toStdout && stdoutIsTerminal()) {
        error("standard output is a terminal: refusing to write a container there (redirect it, or give -o FILE)");
        return kExitFailed;
    }
    if (!checkInputs(inputs, codePage))
        return kExitFailed;
    if (!toStdout && isDirectory(out)) {
        error(out + ": is a directory");
        return kExitFailed;
    }
    if (!toStdout && !force && pathExists(out)) {
        error(out + ": already exists (use --force to replace it)");
        return kExitFailed;
    }

    File first;
    File& firstFile = inputs[0].file.isOpen() ? inputs[0].file : first;
    if (!firstFile.isOpen()) {
        if (Result<File> opened = File::openRead(inputs[0].path))
            first = std::move(*opened);
    }
    if (firstFile.isOpen() && !looksLikeWindowsProgram(firstFile))
        warning(inputs[0].path + ": the first file is the one the launcher runs, but it does not look "
                                 "like a Windows program (no MZ/PE header)");
    (void)first.close();

    uint64_t total = kImageSize + kHeaderSize;
    uint64_t data = 0;
    for (const Input& input : inputs) {
        total += kHeaderSize + input.size;
        data += input.size;
    }
    if (total > uint64_t(kMaxRecordData))
        warning((toStdout ? std::string("standard output") : out) + ": the container will be " + std::to_string(total) +
                " bytes, over 2 GiB: code-signing tools reject files that large");

    InterruptGuard guard;
    if (toStdout) {
        File file = File::standardOutput();
        if (!writeContainer(file, "standard output", stub.data(), inputs, data))
            return kExitFailed;
        if (Status s = file.close(); !s) {
            error(s.message());
            return kExitFailed;
        }
        return kExitOk;
    }
    TempOutput output(out, sync);
    if (Status s = output.create(); !s) {
        error(s.message());
        return kExitFailed;
    }
    if (!writeContainer(output.file(), out, stub.data(), inputs, data))
        return kExitFailed;
    if (Status s = output.commit(force); !s) {
        error(s.message());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace sfxpack
