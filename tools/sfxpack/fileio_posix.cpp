// File handling on POSIX systems: file descriptors, pread, copy_file_range
// on Linux, mkstemp and link/rename for the output, *at() calls for
// extraction.
#include "fileio.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio_internal.h"

namespace sfxpack {

using detail::fail;
using detail::lastError;

namespace detail {

std::string lastError() { return std::strerror(errno); }

void removeFile(const std::string& path) { unlink(path.c_str()); }

bool stderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

namespace {

// The temporary output that a signal must remove.  A fixed buffer: the
// handler may only use async-signal-safe calls.
char g_pendingTemp[4096];

extern "C" void removeTempOnSignal(int sig)
{
    if (g_pendingTemp[0])
        unlink(g_pendingTemp);
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void armSignalCleanup(const std::string& path)
{
    if (path.size() >= sizeof g_pendingTemp)
        return;
    std::memcpy(g_pendingTemp, path.c_str(), path.size() + 1);
    struct sigaction sa = {};
    sa.sa_handler = removeTempOnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

void disarmSignalCleanup()
{
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    g_pendingTemp[0] = '\0';
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace detail

std::string baseName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool pathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// ---- File ---------------------------------------------------------------

NativeFile File::noFile() { return -1; }

bool File::openRead(const std::string& path, File* out, IoError* err)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(err, path + ": " + lastError());
    File f;
    f.native_ = fd;
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
        ssize_t got = ::pread(native_, p, len, off_t(offset));
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
        ssize_t put = ::write(native_, p, len);
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
    if (native_ < 0)
        return true;
    int rc = ::close(native_);
    native_ = -1;
    return rc == 0 ? true : fail(err, "close " + path_ + ": " + lastError());
}

bool File::kernelCopy(File& in, uint64_t& offset, uint64_t& len, Progress* progress, IoError* err)
{
#if defined(__linux__)
    // Progress is reported per step; steps are bounded so the bar moves.
    constexpr uint64_t kKernelStep = 8u << 20;
    while (kernelCopy_ && len > 0) {
        loff_t from = loff_t(offset);
        ssize_t n = copy_file_range(in.native_, &from, native_, nullptr, size_t(std::min(len, kKernelStep)), 0);
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
            break;  // the buffered copy reports the short file
        offset += uint64_t(n);
        len -= uint64_t(n);
        if (progress)
            progress->advance(uint64_t(n));
    }
#else
    (void)in, (void)offset, (void)len, (void)progress, (void)err;
#endif
    return true;
}

// ---- TempOutput ---------------------------------------------------------

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
        detail::armSignalCleanup(tempPath_);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (fd < 0)
        return fail(err, "create a temporary file beside " + target_ + ": " + lastError());
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    file_.native_ = fd;
    file_.path_ = tempPath_;
    return true;
}

bool TempOutput::commit(bool replace, IoError* err)
{
    // mkstemp made the file 0600; a program is rwx for whom the umask allows.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(file_.native_, 0777 & ~mask) != 0)
        return fail(err, "chmod " + tempPath_ + ": " + lastError());
    if (fsync(file_.native_) != 0 && errno != EINVAL)
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
    detail::disarmSignalCleanup();
    return true;
}

// ---- OutputDir ----------------------------------------------------------

OutputDir::~OutputDir()
{
    if (native_ >= 0)
        ::close(native_);
}

bool OutputDir::open(const std::string& path, IoError* err)
{
    path_ = path;
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
        return fail(err, "create directory " + path + ": " + lastError());
    native_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (native_ < 0)
        return fail(err, path + ": " + lastError());
    return true;
}

bool OutputDir::contains(const std::string& name) const
{
    struct stat st;
    return fstatat(native_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool OutputDir::createFile(const std::string& name, bool replace, File* out, IoError* err)
{
    const std::string path = display(name);
    // unlinkat removes a link itself, never its target; a directory is
    // left alone and the creation below reports it.
    if (replace && unlinkat(native_, name.c_str(), 0) != 0 && errno != ENOENT && errno != EISDIR)
        return fail(err, "remove " + path + ": " + lastError());
    int fd = openat(native_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const bool exists = errno == EEXIST;
        return fail(err, "create " + path + ": " + lastError() +
                             (exists && !replace ? " (use --force to replace it)" : ""));
    }
    File f;
    f.native_ = fd;
    f.path_ = path;
    *out = std::move(f);
    return true;
}

void OutputDir::remove(const std::string& name) { unlinkat(native_, name.c_str(), 0); }

}  // namespace sfxpack
