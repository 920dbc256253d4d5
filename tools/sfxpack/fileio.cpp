// File handling with a POSIX and a Windows branch.  Offsets are 64-bit on
// both, also in the 32-bit Windows build.
#include "fileio.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace sfxpack {

namespace {

#ifdef _WIN32
std::string systemError(DWORD code)
{
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             buf, sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == '.'))
        --n;
    return n ? std::string(buf, n) : "error " + std::to_string(code);
}
std::string lastError() { return systemError(GetLastError()); }
#else
std::string lastError() { return std::strerror(errno); }
#endif

bool fail(IoError* err, const std::string& what)
{
    if (err)
        err->message = what;
    return false;
}

// The temporary output that a signal must remove.  A fixed buffer: the
// handler may only use async-signal-safe calls.
char g_pendingTemp[4096];

#ifdef _WIN32
BOOL WINAPI removeTempOnCtrl(DWORD)
{
    // The file was opened with FILE_SHARE_DELETE, so it goes away when the
    // process ends and closes it.
    if (g_pendingTemp[0])
        DeleteFileA(g_pendingTemp);
    return FALSE;
}
#else
extern "C" void removeTempOnSignal(int sig)
{
    if (g_pendingTemp[0])
        unlink(g_pendingTemp);
    signal(sig, SIG_DFL);
    raise(sig);
}
#endif

void armSignalCleanup(const std::string& path)
{
    if (path.size() >= sizeof g_pendingTemp)
        return;
    std::memcpy(g_pendingTemp, path.c_str(), path.size() + 1);
#ifdef _WIN32
    SetConsoleCtrlHandler(removeTempOnCtrl, TRUE);
#else
    struct sigaction sa = {};
    sa.sa_handler = removeTempOnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
#endif
}

void disarmSignalCleanup()
{
#ifdef _WIN32
    g_pendingTemp[0] = '\0';
    SetConsoleCtrlHandler(removeTempOnCtrl, FALSE);
#else
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    g_pendingTemp[0] = '\0';
    sigprocmask(SIG_SETMASK, &old, nullptr);
#endif
}

}  // namespace

std::string baseName(const std::string& path)
{
#ifdef _WIN32
    size_t slash = path.find_last_of("/\\:");
#else
    size_t slash = path.rfind('/');
#endif
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- File ---------------------------------------------------------------

File::~File()
{
    IoError ignored;
    close(&ignored);
}

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        IoError ignored;
        close(&ignored);
#ifdef _WIN32
        std::swap(handle_, other.handle_);
#else
        std::swap(fd_, other.fd_);
        kernelCopy_ = other.kernelCopy_;
#endif
        path_ = std::move(other.path_);
        size_ = other.size_;
    }
    return *this;
}

#ifdef _WIN32

bool File::isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

bool File::openRead(const std::string& path, File* out, IoError* err)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail(err, path + ": " + lastError());
    File f;
    f.handle_ = h;
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
        if (!ReadFile(handle_, p, chunk, &got, &ov)) {
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
        if (!WriteFile(handle_, p, DWORD(std::min<size_t>(len, 1u << 30)), &put, nullptr))
            return fail(err, "write " + path_ + ": " + lastError());
        p += put;
        len -= put;
    }
    return true;
}

bool File::close(IoError* err)
{
    if (handle_ == INVALID_HANDLE_VALUE)
        return true;
    BOOL ok = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return ok ? true : fail(err, "close " + path_ + ": " + lastError());
}

#else  // POSIX

bool File::isOpen() const { return fd_ >= 0; }

bool File::openRead(const std::string& path, File* out, IoError* err)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(err, path + ": " + lastError());
    File f;
    f.fd_ = fd;
    f.path_ = path;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return fail(err, path + ": " + lastError());
    if (!S_ISREG(st.st_mode))
        return fail(err, path + ": not a regular file");
    f.size_ = uint64_t(st.st_size);
    *out = std::move(f);
    return true;
}

bool File::read(uint64_t offset, void* buf, size_t len)
{
    auto* p = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t got = ::pread(fd_, p, len, off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            readError_ = got < 0 ? lastError() : "the file ended early";
            return false;
        }
        p += got;
        offset += uint64_t(got);
        len -= size_t(got);
    }
    return true;
}

bool File::writeAll(const void* buf, size_t len, IoError* err)
{
    auto* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t put = ::write(fd_, p, len);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return fail(err, "write " + path_ + ": " + lastError());
        p += put;
        len -= size_t(put);
    }
    return true;
}

bool File::close(IoError* err)
{
    if (fd_ < 0)
        return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 ? true : fail(err, "close " + path_ + ": " + lastError());
}

#endif

bool File::copyFrom(File& in, uint64_t offset, uint64_t len, std::vector<unsigned char>& buffer,
                    Progress* progress, IoError* err)
{
    auto shortRead = [&](uint64_t at) {
        return fail(err, "read " + in.path() + " at offset " + std::to_string(at) + ": " +
                             (in.readError().empty() ? "the file ended early" : in.readError()) +
                             " (did it change while being packed?)");
    };
#if defined(__linux__)
    // Progress is reported per step; steps are bounded so the bar moves.
    constexpr uint64_t kKernelStep = 8u << 20;
    while (kernelCopy_ && len > 0) {
        loff_t from = loff_t(offset);
        ssize_t n = copy_file_range(in.fd_, &from, fd_, nullptr, size_t(std::min(len, kKernelStep)), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                      errno == EBADF || errno == EPERM || errno == ETXTBSY)) {
            kernelCopy_ = false;  // not between these files: copy through the buffer
            break;
        }
        if (n < 0)
            return fail(err, "copy " + in.path() + " to " + path_ + ": " + lastError());
        if (n == 0)
            return shortRead(offset);
        offset += uint64_t(n);
        len -= uint64_t(n);
        if (progress)
            progress->advance(uint64_t(n));
    }
#endif
    while (len > 0) {
        size_t n = size_t(std::min<uint64_t>(len, buffer.size()));
        if (!in.read(offset, buffer.data(), n))
            return shortRead(offset);
        if (!writeAll(buffer.data(), n, err))
            return false;
        offset += n;
        len -= n;
        if (progress)
            progress->advance(n);
    }
    return true;
}

// ---- TempOutput ---------------------------------------------------------

bool pathExists(const std::string& path)
{
#ifdef _WIN32
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
#endif
}

TempOutput::~TempOutput()
{
    if (committed_ || tempPath_.empty())
        return;
    IoError ignored;
    file_.close(&ignored);
#ifdef _WIN32
    DeleteFileA(tempPath_.c_str());
#else
    unlink(tempPath_.c_str());
#endif
    disarmSignalCleanup();
}

#ifdef _WIN32

bool TempOutput::create(IoError* err)
{
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string path = target_ + ".sfxpack-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(attempt) + ".tmp";
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            tempPath_ = path;
            file_.handle_ = h;
            file_.path_ = path;
            armSignalCleanup(path);
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
    disarmSignalCleanup();
    return true;
}

#else

bool TempOutput::create(IoError* err)
{
    std::string dir, base = baseName(target_);
    if (base.size() != target_.size())
        dir = target_.substr(0, target_.size() - base.size());
    std::string path = dir + "." + base + ".sfxpack-XXXXXX";
    std::vector<char> buf(path.begin(), path.end());
    buf.push_back('\0');
    // Block the signals until the name is recorded, so that no signal can
    // leave the file behind.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, &old);
    int fd = mkstemp(buf.data());
    if (fd >= 0) {
        tempPath_ = buf.data();
        armSignalCleanup(tempPath_);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (fd < 0)
        return fail(err, "create a temporary file beside " + target_ + ": " + lastError());
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    file_.fd_ = fd;
    file_.path_ = tempPath_;
    return true;
}

bool TempOutput::commit(bool replace, IoError* err)
{
    // mkstemp made the file 0600; a program is rwx for whom the umask allows.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(file_.fd_, 0777 & ~mask) != 0)
        return fail(err, "chmod " + tempPath_ + ": " + lastError());
    if (fsync(file_.fd_) != 0 && errno != EINVAL)
        return fail(err, "sync " + tempPath_ + ": " + lastError());
    if (!file_.close(err))
        return false;
    if (replace) {
        if (rename(tempPath_.c_str(), target_.c_str()) != 0)
            return fail(err, "rename " + tempPath_ + " to " + target_ + ": " + lastError());
    } else if (link(tempPath_.c_str(), target_.c_str()) == 0) {
        // A hard link fails if the target appeared meanwhile: no replacing
        // a file someone else just made.
        unlink(tempPath_.c_str());
    } else if (errno == EEXIST) {
        return fail(err, target_ + ": already exists (use --force to replace it)");
    } else if (pathExists(target_)) {
        return fail(err, target_ + ": already exists (use --force to replace it)");
    } else if (rename(tempPath_.c_str(), target_.c_str()) != 0) {
        // File systems without hard links: rename after the check above.
        return fail(err, "rename " + tempPath_ + " to " + target_ + ": " + lastError());
    }
    committed_ = true;
    disarmSignalCleanup();
    return true;
}

#endif

// ---- OutputDir ----------------------------------------------------------

OutputDir::~OutputDir()
{
#ifndef _WIN32
    if (fd_ >= 0)
        ::close(fd_);
#endif
}

std::string OutputDir::display(const std::string& name) const
{
    if (path_ == ".")
        return name;
    char last = path_.empty() ? '/' : path_.back();
    return last == '/' || last == '\\' ? path_ + name : path_ + "/" + name;
}

#ifdef _WIN32

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
    f.handle_ = h;
    f.path_ = path;
    *out = std::move(f);
    return true;
}

void OutputDir::remove(const std::string& name) { DeleteFileA(display(name).c_str()); }

#else

bool OutputDir::open(const std::string& path, IoError* err)
{
    path_ = path;
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
        return fail(err, "create directory " + path + ": " + lastError());
    fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0)
        return fail(err, path + ": " + lastError());
    return true;
}

bool OutputDir::contains(const std::string& name) const
{
    struct stat st;
    return fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool OutputDir::createFile(const std::string& name, bool replace, File* out, IoError* err)
{
    const std::string path = display(name);
    // unlinkat removes a link itself, never its target; a directory is
    // left alone and the creation below reports it.
    if (replace && unlinkat(fd_, name.c_str(), 0) != 0 && errno != ENOENT && errno != EISDIR)
        return fail(err, "remove " + path + ": " + lastError());
    int fd = openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const bool exists = errno == EEXIST;
        return fail(err, "create " + path + ": " + lastError() +
                             (exists && !replace ? " (use --force to replace it)" : ""));
    }
    File f;
    f.fd_ = fd;
    f.path_ = path;
    *out = std::move(f);
    return true;
}

void OutputDir::remove(const std::string& name) { unlinkat(fd_, name.c_str(), 0); }

#endif

// ---- Progress -----------------------------------------------------------

namespace {
constexpr uint64_t kProgressThreshold = 64u << 20;

bool stderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}
}  // namespace

Progress::Progress(const std::string& label, uint64_t total)
    : label_(label), total_(total), enabled_(total > kProgressThreshold && stderrIsTerminal())
{
    if (enabled_)
        draw();
}

Progress::~Progress()
{
    if (enabled_)
        std::fprintf(stderr, "\r%*s\r", int(label_.size() + 50), "");
}

void Progress::advance(uint64_t bytes)
{
    done_ += bytes;
    if (enabled_)
        draw();
}

void Progress::draw()
{
    int percent = total_ ? int(std::min<uint64_t>(done_, total_) * 100 / total_) : 100;
    if (percent == shown_)
        return;
    shown_ = percent;
    char bar[31];
    int filled = percent * 30 / 100;
    for (int i = 0; i < 30; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[30] = '\0';
    std::fprintf(stderr, "\rsfxpack: %s [%s] %3d%%", label_.c_str(), bar, percent);
    std::fflush(stderr);
}

}  // namespace sfxpack
