// File handling on Windows: handles, overlapped reads for 64-bit offsets,
// MoveFileEx for the output, CREATE_NEW for extraction.
#include "fileio.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <windows.h>
#include <io.h>

#include "fileio_internal.h"

namespace sfxpack {

using detail::fail;
using detail::lastError;

namespace detail {

namespace {

std::string systemError(DWORD code)
{
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             buf, sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == '.'))
        --n;
    return n ? std::string(buf, n) : "error " + std::to_string(code);
}

// The temporary output that a Ctrl event must remove.
char g_pendingTemp[4096];

BOOL WINAPI removeTempOnCtrl(DWORD)
{
    // The file was opened with FILE_SHARE_DELETE, so it goes away when the
    // process ends and closes it.
    if (g_pendingTemp[0])
        DeleteFileA(g_pendingTemp);
    return FALSE;
}

}  // namespace

std::string lastError() { return systemError(GetLastError()); }

void removeFile(const std::string& path) { DeleteFileA(path.c_str()); }

bool stderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void armSignalCleanup(const std::string& path)
{
    if (path.size() >= sizeof g_pendingTemp)
        return;
    std::memcpy(g_pendingTemp, path.c_str(), path.size() + 1);
    SetConsoleCtrlHandler(removeTempOnCtrl, TRUE);
}

void disarmSignalCleanup()
{
    g_pendingTemp[0] = '\0';
    SetConsoleCtrlHandler(removeTempOnCtrl, FALSE);
}

}  // namespace detail

std::string baseName(const std::string& path)
{
    size_t slash = path.find_last_of("/\\:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool pathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// ---- File ---------------------------------------------------------------

NativeFile File::noFile() { return INVALID_HANDLE_VALUE; }

bool File::openRead(const std::string& path, File* out, IoError* err)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail(err, path + ": " + lastError());
    File f;
    f.native_ = h;
    f.path_ = path;
    LARGE_INTEGER size;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size))
        return fail(err, path + ": not a regular file");
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return fail(err, path + ": not a regular file");
    f.size_ = uint64_t(size.QuadPart);
    *out = std::move(f);
    return true;
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

bool File::writeAll(const void* buf, size_t len, IoError* err)
{
    auto* p = static_cast<const char*>(buf);
    while (len > 0) {
        DWORD put = 0;
        if (!WriteFile(native_, p, DWORD(std::min<size_t>(len, 1u << 30)), &put, nullptr))
            return fail(err, "write " + path_ + ": " + lastError());
        p += put;
        len -= put;
    }
    return true;
}

bool File::close(IoError* err)
{
    if (native_ == INVALID_HANDLE_VALUE)
        return true;
    BOOL ok = CloseHandle(native_);
    native_ = INVALID_HANDLE_VALUE;
    return ok ? true : fail(err, "close " + path_ + ": " + lastError());
}

// Windows has no kernel copy between two open handles: the buffer does it.
bool File::kernelCopy(File&, uint64_t&, uint64_t&, Progress*, IoError*) { return true; }

// ---- TempOutput ---------------------------------------------------------

bool TempOutput::create(IoError* err)
{
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string path = target_ + ".sfxpack-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(attempt) + ".tmp";
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            tempPath_ = path;
            file_.native_ = h;
            file_.path_ = path;
            detail::armSignalCleanup(path);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            return fail(err, "create " + path + ": " + lastError());
    }
    return fail(err, "create a temporary file beside " + target_ + ": too many left over");
}

bool TempOutput::commit(bool replace, IoError* err)
{
    if (!file_.close(err))
        return false;
    if (!MoveFileExA(tempPath_.c_str(), target_.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0))
        return fail(err, "rename " + tempPath_ + " to " + target_ + ": " + lastError());
    committed_ = true;
    detail::disarmSignalCleanup();
    return true;
}

// ---- OutputDir ----------------------------------------------------------

OutputDir::~OutputDir() {}

bool OutputDir::open(const std::string& path, IoError* err)
{
    path_ = path;
    DWORD attr = GetFileAttributesA(path.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES && !CreateDirectoryA(path.c_str(), nullptr))
        return fail(err, "create directory " + path + ": " + lastError());
    attr = GetFileAttributesA(path.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY))
        return fail(err, path + ": not a directory");
    return true;
}

bool OutputDir::contains(const std::string& name) const
{
    return GetFileAttributesA(display(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool OutputDir::createFile(const std::string& name, bool replace, File* out, IoError* err)
{
    const std::string path = display(name);
    if (replace && !DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return fail(err, "remove " + path + ": " + lastError());
    // CREATE_NEW fails on any existing entry, a link included, and the
    // reparse flag keeps a link planted in the meantime from being followed.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail(err, "create " + path + ": " + lastError());
    File f;
    f.native_ = h;
    f.path_ = path;
    *out = std::move(f);
    return true;
}

void OutputDir::remove(const std::string& name) { DeleteFileA(display(name).c_str()); }

}  // namespace sfxpack
