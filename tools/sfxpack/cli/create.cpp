// sfxpack create: the launcher image, one record per input, the end record.
#include <cstdint>

#include "base/text.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/image_options.h"
#include "cli/signature_options.h"
#include "format/image.h"
#include "format/layout.h"
#include "format/record.h"
#include "platform/codepage.h"
#include "platform/fileio.h"
#include "platform/interrupt.h"
#include "platform/progress.h"

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
    "  --codepage N      store the names (given in UTF-8) in Windows code page N, the\n"
    "                    ANSI code page of the systems that will run the container:\n"
    "                    874, 932, 936, 949, 950, 1250-1258; without it names must\n"
    "                    be ASCII\n"
    "  -f, --force       replace OUT if it exists (otherwise an existing OUT is refused)\n"
    "  --sync            flush OUT and its directory to disk before finishing\n"
    "  -q, --quiet       no warnings, no progress bar\n"
    "  --no-progress     no progress bar\n"
    "  --fatal-warnings  a warning fails the command (exit 1) and nothing is written\n"
    "  -h, --help        show this help\n"
    "\n";

// After the image options.
const char kCreateHelpTail[] =
    "\n"
    "Names must be plain Windows file names of at most 1019 bytes, distinct even when\n"
    "compared without regard to case; each file may hold up to 2147483647 bytes.\n"
    "OUT is written to a temporary file beside it and renamed when complete; it is\n"
    "made executable.  Sign the container after packing, never the launcher before.\n"
    "OUT must not be one of the inputs (compared as files, not by name).  A container\n"
    "of more than 4 GiB less 512 bytes is refused: Windows does not start a program\n"
    "file that large.\n";

static_assert(kMaxNameLength == 1019 && kMaxRecordData == 2147483647, "the help text gives these numbers");

struct Input {
    std::string path;
    std::string name;    // as given: UTF-8
    std::string where = {};   // "list.txt:3: " for an input from a list file
    std::string stored = {};  // in the container's code page
    uint64_t size = 0;
    File file = {};  // opened by the check, while the process may hold that many
};

// What create's command line asks for.
struct CreateOptions {
    std::string out;  // "-" for standard output
    bool force = false;
    bool sync = false;
    unsigned codePage = kAsciiOnly;
    ImageOptions image;
    SignatureOptions signatures;  // --require-signed judges the programs packed
    std::vector<Input> inputs;  // in the order given
    std::vector<std::string> listFiles;
    bool toStdout() const { return out == "-"; }
    std::string outName() const { return toStdout() ? std::string("standard output") : out; }
};

// A name or line as the user wrote it, for a message: unchanged unless it
// holds what a terminal cannot show, which printableText escapes.
std::string asWritten(const std::string& text)
{
    std::string doubled;
    for (char c : text)
        doubled += c == '\\' ? std::string(2, c) : std::string(1, c);
    std::string printable = printableText(text);
    return printable == doubled ? text : printable;
}

// A "NAME=PATH" input; false when there is no '='.
bool namedInput(const std::string& value, Input* input)
{
    size_t eq = value.find('=');
    if (eq == std::string::npos)
        return false;
    *input = {value.substr(eq + 1), value.substr(0, eq)};
    return true;
}

// Adds the inputs that the list file names, each remembering its line;
// ends the command when the file cannot be read or a line names no file.
EarlyExit readListFile(const std::string& path, std::vector<Input>* inputs)
{
    const std::string shown = path == "-" ? std::string("standard input") : path;
    Result<std::string> read = readTextFile(path);
    if (!read) {
        // The platform's message names the file first: keep only the reason.
        const std::string& why = read.message();
        const bool named = why.compare(0, path.size() + 2, path + ": ") == 0;
        error(shown + ": cannot read the list file: " + (named ? why.substr(path.size() + 2) : why));
        return kExitFailed;
    }
    const std::string& text = *read;
    size_t pos = 0;
    for (size_t lineNumber = 1; pos < text.size(); ++lineNumber) {
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
        input.where = shown + ":" + std::to_string(lineNumber) + ": ";
        if (input.path.empty()) {
            error(input.where + "'" + asWritten(line) + "' names no file (NAME=PATH needs a PATH)");
            return kExitFailed;
        }
        inputs->push_back(std::move(input));
    }
    return std::nullopt;
}

// Inputs in the order given: operands (paths, @LISTFILE) and --name
// values, then the operands after "--", which are paths whatever they
// look like.
EarlyExit gatherInputs(const Operands& operands, const CLI::Option* nameOpt, const std::vector<std::string>& names,
                       CreateOptions* opt)
{
    std::vector<Input>* inputs = &opt->inputs;
    inputs->reserve(operands.values.size() + names.size());
    size_t nextOperand = 0, nextName = 0;
    for (const CLI::Option* given : operands.order) {
        if (given == nullptr) {
            const std::string& arg = operands.values[nextOperand++];
            if (arg.size() > 1 && arg[0] == '@') {
                opt->listFiles.push_back(arg.substr(1));
                if (EarlyExit exit = readListFile(arg.substr(1), inputs))
                    return exit;
            } else {
                inputs->push_back({arg, baseName(arg)});
            }
        } else if (given == nameOpt) {
            Input input;
            if (!namedInput(names[nextName], &input) || input.path.empty())
                return usageError("create", "--name needs NAME=PATH, got '" + names[nextName] + "'");
            ++nextName;
            inputs->push_back(std::move(input));
        }
    }
    for (size_t i = operands.literalFrom; i < operands.values.size(); ++i)
        inputs->push_back({operands.values[i], baseName(operands.values[i])});
    return std::nullopt;
}

// Parses create's command line into `opt`; ends the command for --help
// and usage errors, and when a list file cannot be read.
EarlyExit parseCreateArgs(GlobalOptions& global, const std::vector<std::string>& args, CreateOptions* opt)
{
    CLI::App app;
    CLI::Option* outOpt = app.add_option("-o,--output", opt->out);
    app.add_flag("-f,--force", opt->force);
    CodePageOption codePage;
    codePage.add(app);
    app.add_flag("--sync", opt->sync);
    std::vector<std::string> names;
    CLI::Option* nameOpt = app.add_option("--name", names)->expected(1)->take_all()->allow_extra_args(false);
    addImageOptions(app, &opt->image);
    addSignatureOptions(app, &opt->signatures);
    Operands operands;
    const std::string help = kCreateHelp + std::string(kImageOptionsHelp) + "\nSignatures (the container itself is signed after packing):\n" +
                             kSignatureOptionsHelp + kCreateHelpTail;
    if (EarlyExit exit = parseCommandLine(app, global, "create", help, args, &operands))
        return exit;
    if (EarlyExit exit = codePage.read("create", &opt->codePage))
        return exit;
    if (EarlyExit exit = gatherInputs(operands, nameOpt, names, opt))
        return exit;
    if (outOpt->count() == 0 || opt->out.empty())
        return usageError("create", "no output given (-o OUT)");
    if (opt->inputs.empty())
        return usageError("create", "no input files");
    return std::nullopt;
}

// Which part of the name rule the name `utf8` (as given) breaks, for
// "name 'X' ...".  The rule's verdict is checkName's; this only finds the
// first character or property that the rule refuses, so that the message
// names that one.  Empty when none is found here (a byte sequence of a
// double-byte code page).
std::string brokenNameRule(const std::string& utf8, unsigned codePage)
{
    if (utf8.empty())
        return "is empty";
    if (utf8 == "." || utf8 == "..")
        return "names a folder, not a file";
    for (char c : utf8) {
        if (c == '\\' || c == '/')
            return std::string("holds a path separator (") + c + ")";
        if (static_cast<unsigned char>(c) < 32)
            return "holds a control character (" + escapedByte(static_cast<unsigned char>(c)) + ")";
        if (std::string(":*?\"<>|").find(c) != std::string::npos)
            return std::string("holds '") + c + "', which Windows does not allow in a file name";
    }
    if (utf8.back() == '.' || utf8.back() == ' ')
        return std::string("ends in a ") + (utf8.back() == '.' ? "dot" : "blank") + ", which Windows drops";
    if (!deviceNameProblem(utf8, codePage).empty())
        return "is a device name";
    return {};
}

// The name as it is stored: converted into `codePage`, or, without one,
// ASCII as given.  Empty `problem` when it can be stored.
std::string storedName(const Input& input, unsigned codePage, std::string* problem)
{
    // The name as the user gave it is shown only when something is wrong.
    const std::string shown = asWritten(input.name);
    std::string stored;
    if (codePage == kAsciiOnly) {
        if (!isAscii(input.name)) {
            *problem = "name '" + shown +
                       "' is not ASCII: give the ANSI code page of the systems that will run "
                       "the container, e.g. --codepage 1252";
            return {};
        }
        stored = input.name;
    } else if (Result<std::string> encoded = encodeName(input.name, codePage)) {
        stored = *encoded;
    } else {
        *problem = "name '" + shown + "' cannot be stored in code page " + std::to_string(codePage) + ": " +
                   encoded.message();
        return {};
    }
    if (Status name = checkName(stored, leadByteTest(codePage), shown); !name.ok()) {
        const std::string rule = stored.size() > kMaxNameLength ? "" : brokenNameRule(input.name, codePage);
        *problem = rule.empty() ? name.message() : "name '" + shown + "' " + rule;
    } else if (codePage != kAsciiOnly) {
        *problem = deviceNameProblem(input.name, codePage);
    }
    return stored;
}

// Sets the input's stored name; false after reporting why it has none.
bool storeName(GlobalOptions& global, Input& input, unsigned codePage)
{
    std::string why;
    input.stored = storedName(input, codePage, &why);
    if (!why.empty()) {
        error(input.where + input.path + ": " + why);
        return false;
    }
    if (Status longName = fitsTypicalPath(input.stored.size()); !longName.ok())
        warning(global, input.where + input.path + ": name '" + printableText(input.name) + "': " + longName.message());
    return true;
}

// Opens the input while `*mayOpen` allows (beyond that a look at its size
// suffices, and packing opens it); false after reporting why it cannot be
// read.
bool openInput(Input& input, size_t* mayOpen)
{
    if (*mayOpen == 0) {
        Result<uint64_t> size = regularFileSize(input.path);
        if (!size) {
            error(input.where + size.message());
            return false;
        }
        input.size = *size;
        return true;
    }
    Result<File> opened = File::openRead(input.path);
    if (!opened) {
        error(input.where + opened.message());
        return false;
    }
    input.file = std::move(*opened);
    input.size = input.file.size();
    --*mayOpen;
    return true;
}

// False after reporting an input too large for a record.
bool fitsRecord(const Input& input)
{
    if (input.size <= uint64_t(kMaxRecordData))
        return true;
    error(input.where + input.path + ": " + std::to_string(input.size) + " bytes, more than a record can hold (" +
          std::to_string(kMaxRecordData) + ")");
    return false;
}

// Checks every input; ends the command after reporting all problems.
// Inputs are opened here, so that one that cannot be read is reported
// before anything is written, and opened once.
EarlyExit checkInputs(GlobalOptions& global, std::vector<Input>& inputs, unsigned codePage)
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
    size_t mayOpen = File::openLimit();
    for (size_t index = 0; index < inputs.size(); ++index) {
        Input& input = inputs[index];
        if (!storeName(global, input, codePage) || !openInput(input, &mayOpen)) {
            ok = false;
            continue;
        }
        ok = fitsRecord(input) && ok;
        uint64_t earlier = 0;
        if (names.put(keyOf(input), index, &earlier, false) == NameSet::Put::Replaced) {
            const Input& first = inputs[size_t(earlier)];
            error(input.where + input.path + ": name '" + printableText(input.name) +
                  "' names the same file on Windows as '" + printableText(first.name) + "' (from " + first.path + ")");
            ok = false;
        }
    }
    return ok ? EarlyExit() : kExitFailed;
}

// False after reporting each file create reads that OUT is: replacing
// OUT would destroy it.
bool outputIsNoInput(const CreateOptions& opt)
{
    const InputGuard guard(opt.out);
    bool ok = checkImageInputs(opt.image, guard);
    for (const std::string& list : opt.listFiles)
        ok = (list == "-" || guard.allows(list, "the list file")) && ok;
    for (size_t i = 0; i < opt.inputs.size(); ++i)
        ok = guard.allows(opt.inputs[i].path, "input " + std::to_string(i + 1)) && ok;
    return ok;
}

// Ends the command when the output cannot or must not be written: a
// terminal, a directory, one of the inputs, or (without --force) an
// existing file.
EarlyExit checkOutput(const CreateOptions& opt)
{
    if (opt.toStdout())
        return std::nullopt;
    if (isDirectory(opt.out)) {
        error(opt.out + ": is a directory");
        return kExitFailed;
    }
    if (!outputIsNoInput(opt))
        return kExitFailed;
    if (!opt.force && pathExists(opt.out)) {
        error(opt.out + ": already exists (use --force to replace it)");
        return kExitFailed;
    }
    return std::nullopt;
}

// The launcher runs the first file: a warning when it is no Windows program.
void warnUnlessProgram(GlobalOptions& global, Input& first)
{
    File opened;
    File& file = first.file.isOpen() ? first.file : opened;
    if (!file.isOpen()) {
        if (Result<File> read = File::openRead(first.path))
            opened = std::move(*read);
    }
    if (file.isOpen() && !looksLikeWindowsProgram(file))
        warning(global, first.path + ": the first file is the one the launcher runs, but it does not look "
                                     "like a Windows program (no MZ/PE header)");
    (void)opened.close();
}

// A program file is mapped through 32-bit sizes, rounded up to 512-byte
// units: a larger file does not start ("Bad EXE format"), whatever it
// holds.  Measured under Wine, where 4 GiB less 512 bytes is the largest
// that starts.
constexpr uint64_t kMaxRunnableFile = (uint64_t(1) << 32) - 512;

// The inputs' data bytes in `data`; a warning when the whole container
// would be too large to sign, and the end when Windows could not run it.
EarlyExit dataBytes(GlobalOptions& global, const CreateOptions& opt, uint64_t* data)
{
    uint64_t total = kImageSize + kHeaderSize;
    *data = 0;
    for (const Input& input : opt.inputs) {
        total += kHeaderSize + input.size;
        *data += input.size;
    }
    if (total > kMaxRunnableFile) {
        error(opt.outName() + ": the container would be " + std::to_string(total) + " bytes; Windows does not start "
              "a program file of more than " + std::to_string(kMaxRunnableFile) + " bytes (4 GiB less 512); "
              "nothing written");
        return kExitFailed;
    }
    if (total > uint64_t(kMaxRecordData))
        warning(global, opt.outName() + ": the container will be " + std::to_string(total) +
                " bytes, over 2 GiB: code-signing tools reject files that large");
    return std::nullopt;
}

// With --require-signed, every program among the inputs must carry a
// signature that holds (and is trusted, with --ca).
EarlyExit checkSignedPrograms(CreateOptions& opt)
{
    if (!opt.signatures.requireSigned)
        return std::nullopt;
    if (EarlyExit exit = loadSignatureOptions("create", &opt.signatures))
        return exit;
    bool refused = false;
    for (Input& input : opt.inputs) {
        File opened;
        if (!input.file.isOpen()) {
            Result<File> read = File::openRead(input.path);
            if (!read) {
                error(read.message());
                return kExitFailed;
            }
            opened = std::move(*read);
        }
        File& file = input.file.isOpen() ? input.file : opened;
        const SignatureCheck sig =
            checkProgram(file, Record{0, 0, uint32_t(input.size), input.name}, opt.signatures.trust);
        if (const std::string problem = requireSignedProblem(sig);
            sig.state != SignatureState::NotAProgram && !problem.empty()) {
            error(input.where + input.path + ": " + problem);
            refused = true;
        }
    }
    if (refused)
        error(opt.outName() + ": a program is not signed as --require-signed asks; nothing written");
    return refused ? EarlyExit(kExitFailed) : std::nullopt;
}

// Writes the whole container to `file`; `label` names it in the bar.
bool writeContainer(const GlobalOptions& global, File& file, const std::string& label, const unsigned char* stub,
                    std::vector<Input>& inputs, uint64_t total)
{
    Progress progress("packing " + label, total, global.progress());
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

// Writes the container to standard output.
int writeToStdout(const GlobalOptions& global, const unsigned char* stub, std::vector<Input>& inputs, uint64_t data)
{
    File file = File::standardOutput();
    if (!writeContainer(global, file, "standard output", stub, inputs, data))
        return kExitFailed;
    if (Status s = file.close(); !s) {
        error(s.message());
        return kExitFailed;
    }
    return kExitOk;
}

// Writes the container to a temporary file that takes OUT's name once
// complete.
int writeToFile(const GlobalOptions& global, CreateOptions& opt, const unsigned char* stub, uint64_t data)
{
    TempOutput output(opt.out, opt.sync);
    if (Status s = output.create(); !s) {
        error(s.message());
        return kExitFailed;
    }
    if (!writeContainer(global, output.file(), opt.out, stub, opt.inputs, data))
        return kExitFailed;
    if (Status s = output.commit(opt.force); !s) {
        error(s.message());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

int runCreate(GlobalOptions& global, const std::vector<std::string>& args)
{
    CreateOptions opt;
    if (EarlyExit exit = parseCreateArgs(global, args, &opt))
        return *exit;
    std::vector<unsigned char> stub;
    if (EarlyExit exit = loadImage("create", opt.image, &stub))
        return *exit;
    if (opt.toStdout() && stdoutIsTerminal()) {
        error("standard output is a terminal: refusing to write a container there (redirect it, or give -o FILE)");
        return kExitFailed;
    }
    if (EarlyExit exit = checkInputs(global, opt.inputs, opt.codePage))
        return *exit;
    if (EarlyExit exit = checkOutput(opt))
        return *exit;
    warnUnlessProgram(global, opt.inputs[0]);
    uint64_t data = 0;
    if (EarlyExit exit = dataBytes(global, opt, &data))
        return *exit;
    if (EarlyExit exit = checkSignedPrograms(opt))
        return *exit;
    if (EarlyExit exit = stopOnFatalWarnings(global))
        return *exit;

    InterruptGuard guard;
    if (opt.toStdout())
        return writeToStdout(global, stub.data(), opt.inputs, data);
    return writeToFile(global, opt, stub.data(), data);
}

}  // namespace sfxpack
