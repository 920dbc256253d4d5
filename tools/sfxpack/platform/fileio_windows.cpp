// File handling on Windows: handles, overlapped reads for 64-bit offsets,
// MoveFileEx for the output, CREATE_NEW for extraction.  Paths are UTF-8
// inside sfxpack and UTF-16 to the system (the wide functions), so any
// file name works whatever the ANSI code page.
#include "platform/fileio.h"

#include <algorithm>
#include <cstdio>
#include <csignal>
#include <cstring>

#include <windows.h>
#include <io.h>

#include "platform/codepage.h"
#include "platform/fileio_internal.h"

namespace sfxpack {

using detail::lastError;

namespace detail {

namespace {

std::string systemError(DWORD code)
{
    wchar_t buf[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             buf, sizeof buf / sizeof buf[0], nullptr);
    while (n > 0 && (buf[n - 1] == L'\n' || buf[n - 1] == L'\r' || buf[n - 1] == L'.'))
        --n;
    return n ? utf8FromWide(std::wstring(buf, n)) : "error " + std::to_string(code);
}

BOOL WINAPI noteCtrlEvent(DWORD)
{
    g_interruptedBy = SIGINT;
    return TRUE;  // handled: the work stops and cleans up, then ends the process
}

}  // namespace

std::string lastError() { return systemError(GetLastError()); }

void removeFile(const std::string& path) { DeleteFileW(wideFromUtf8(path).c_str()); }

unsigned long processId() { return GetCurrentProcessId(); }

bool isSeparator(char c) { return c == '/' || c == '\\'; }

Status makeDirectory(const std::string& path, bool* created)
{
    // A drive ("C:") or an existing folder needs nothing.
    *created = false;
    if (isDirectory(path))
        return {};
    *created = CreateDirectoryW(wideFromUtf8(path).c_str(), nullptr) != 0;
    if (!*created)
        return Status::fail("create directory " + path + ": " + lastError());
    return {};
}

void removeDirectory(const std::string& path) { RemoveDirectoryW(wideFromUtf8(path).c_str()); }

bool stderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

int terminalColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void catchInterrupts(bool on) { SetConsoleCtrlHandler(noteCtrlEvent, on ? TRUE : FALSE); }

void endBy(int) { ExitProcess(STATUS_CONTROL_C_EXIT); }

}  // namespace detail

std::string baseName(const std::string& path)
{
    size_t slash = path.find_last_of("/\\:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool pathExists(const std::string& path)
{
    return GetFileAttributesW(wideFromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

Result<uint64_t> regularFileSize(const std::string& path)
{
    Result<File> f = File::openRead(path);
    if (!f)
        return f.status();
    return f->size();
}

bool isDirectory(const std::string& path)
{
    DWORD attr = GetFileAttributesW(wideFromUtf8(path).c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<FileIdentity> fileIdentity(const std::string& path)
{
    // No access asked for and every sharing mode allowed, so a file that
    // another handle holds open can be looked at; backup semantics open a
    // directory too.
    HANDLE h = CreateFileW(wideFromUtf8(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok)
        return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool stdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

// ---- File ---------------------------------------------------------------

NativeFile File::noFile() { return INVALID_HANDLE_VALUE; }

Result<File> File::openRead(const std::string& path)
{
    HANDLE h = CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Status::fail(path + ": " + lastError());
    File f;
    f.native_ = h;
    f.path_ = path;
    LARGE_INTEGER size;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size))
        return Status::fail(path + ": not a regular file");
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return Status::fail(path + ": not a regular file");
    f.size_ = uint64_t(size.QuadPart);
    return f;
}

// A process may hold millions of handles; this many keeps memory modest.
size_t File::openLimit() { return size_t(1) << 16; }

File File::standardOutput()
{
    File f;
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, GetStdHandle(STD_OUTPUT_HANDLE), self, &f.native_, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        f.native_ = INVALID_HANDLE_VALUE;
    f.path_ = "standard output";
    return f;
}

bool File::read(uint64_t offset, void* buf, size_t len)
{
    auto* p = static_cast<char*>(buf);
    while (len > 0) {
        OVERLAPPED ov = {};
        ov.Offset = DWORD(offset);
        ov.OffsetHigh = DWORD(offset >> 32);
        DWORD chunk = DWORD(std::min<size_t>(len, 1u << 30)), got = 0;
        if (!ReadFile(native_, p, chunk, &got, &ov)) {
            readError_ = GetLastError() == ERROR_HANDLE_EOF ? "the file ended early" : lastError();
            return false;
        }
        if (got == 0) {
            readError_ = "the file ended early";
            return false;
        }
        p += got;
        offset += got;
        len -= got;
    }
    return true;
}

Status File::writeAll(const void* buf, size_t len)
{
    auto* p = static_cast<const char*>(buf);
    while (len > 0) {
        if (interrupted())
            return detail::interruptedStatus();
        DWORD put = 0;
        if (!WriteFile(native_, p, DWORD(std::min<size_t>(len, 1u << 30)), &put, nullptr))
            return Status::fail("write " + path_ + ": " + lastError());
        p += put;
        len -= put;
    }
    return {};
}

Status File::close()
{
    if (native_ == INVALID_HANDLE_VALUE)
        return {};
    BOOL ok = CloseHandle(native_);
    native_ = INVALID_HANDLE_VALUE;
    if (!ok)
        return Status::fail("close " + path_ + ": " + lastError());
    return {};
}

// Windows has no kernel copy between two open handles: the buffer does it.
Status File::copyFrom(File& in, uint64_t offset, uint64_t len, std::vector<unsigned char>& buffer,
                      Progress* progress)
{
    return detail::bufferedCopy(*this, in, offset, len, buffer, progress);
}

// ---- Appender -----------------------------------------------------------

// Every piece is written as it comes.
struct Appender::Impl {
    File& out;
    Progress* progress;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(COPY_CHUNK_SIZE);
};

Appender::Appender(File& out, Progress* progress) : impl_(new Impl{out, progress}) {}

Appender::~Appender() = default;

Status Appender::add(const void* bytes, size_t len) { return impl_->out.writeAll(bytes, len); }

Status Appender::addFile(File& in, uint64_t offset, uint64_t len)
{
    return impl_->out.copyFrom(in, offset, len, impl_->buffer, impl_->progress);
}

Status Appender::finish() { return {}; }

// ---- TempOutput ---------------------------------------------------------

Status TempOutput::create()
{
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string path = target_ + ".sfxpack-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(attempt) + ".tmp";
        HANDLE h = CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            tempPath_ = path;
            file_.native_ = h;
            file_.path_ = target_;
            return {};
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            return detail::besideFailure(target_, detail::lastError());
    }
    return Status::fail("create a temporary file beside " + target_ + ": too many left over");
}

Status TempOutput::commit(bool replace)
{
    if (interrupted())
        return detail::interruptedStatus();
    if (sync_ && !FlushFileBuffers(file_.native_))
        return Status::fail("sync " + target_ + ": " + lastError());
    if (Status s = file_.close(); !s)
        return s;
    const DWORD flags = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | (sync_ ? MOVEFILE_WRITE_THROUGH : 0);
    if (!MoveFileExW(wideFromUtf8(tempPath_).c_str(), wideFromUtf8(target_).c_str(), flags)) {
        const DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)
            return Status::fail(target_ + ": already exists (use --force to replace it)");
        return Status::fail(target_ + ": " + lastError());
    }
    committed_ = true;
    return {};
}

// ---- OutputDir ----------------------------------------------------------

OutputDir::~OutputDir() { removeStaged(); }

Status OutputDir::openExisting()
{
    if (!isDirectory(path_))
        return Status::fail(path_ + ": not a directory");
    return {};
}

bool OutputDir::contains(const std::string& name) const
{
    return GetFileAttributesW(wideFromUtf8(display(name)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool OutputDir::holdsDirectory(const std::string& name) const
{
    DWORD attr = GetFileAttributesW(wideFromUtf8(display(name)).c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attr & FILE_ATTRIBUTE_REPARSE_POINT);
}

NativeFile OutputDir::createNew(const std::string& entry, bool* exists)
{
    // CREATE_NEW fails on any existing entry, a link included.
    HANDLE h = CreateFileW(wideFromUtf8(display(entry)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    *exists = h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
    return h;
}

Status OutputDir::place(const Staged& s, bool replace)
{
    // Replacing renames over a file or a link itself, never a link's target.
    if (MoveFileExW(wideFromUtf8(display(s.temp)).c_str(), wideFromUtf8(display(s.name)).c_str(),
                    replace ? MOVEFILE_REPLACE_EXISTING : 0))
        return {};
    const DWORD code = GetLastError();
    if (!replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS))
        return Status::fail(display(s.name) + ": already exists (use --force to replace it)");
    return Status::fail(display(s.name) + ": " + lastError());
}

void OutputDir::removeEntry(const std::string& entry) { DeleteFileW(wideFromUtf8(display(entry)).c_str()); }

}  // namespace sfxpack
