// File handling on POSIX systems: file descriptors, pread, the kernel's
// copy on Linux, mkstemp and link/rename for the output, *at() calls for
// extraction.
#include "platform/fileio.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sendfile.h>
#endif

#include "platform/fileio_internal.h"

namespace sfxpack {

using detail::lastError;

namespace detail {

std::string lastError() { return std::strerror(errno); }

void removeFile(const std::string& path) { unlink(path.c_str()); }

unsigned long processId() { return static_cast<unsigned long>(getpid()); }

bool isSeparator(char c) { return c == '/'; }

Status makeDirectory(const std::string& path, bool* created)
{
    *created = mkdir(path.c_str(), 0777) == 0;
    if (*created || (errno == EEXIST && isDirectory(path)))
        return {};
    return Status::fail("create directory " + path + ": " + lastError());
}

void removeDirectory(const std::string& path) { rmdir(path.c_str()); }

bool stderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

int terminalColumns()
{
    struct winsize ws = {};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];
bool g_caught[3];

extern "C" void noteInterrupt(int sig) { g_interruptedBy = sig; }

}  // namespace

void catchInterrupts(bool on)
{
    for (int i = 0; i < 3; ++i) {
        if (!on) {
            if (g_caught[i])
                sigaction(kInterrupts[i], &g_previous[i], nullptr);
            g_caught[i] = false;
            continue;
        }
        // An ignored signal (nohup, or a shell's background job) stays
        // ignored.  No SA_RESTART: a blocked write returns and sees the note.
        sigaction(kInterrupts[i], nullptr, &g_previous[i]);
        if (g_previous[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction sa = {};
        sa.sa_handler = noteInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(kInterrupts[i], &sa, nullptr);
        g_caught[i] = true;
    }
}

void endBy(int sig)
{
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);
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

Result<uint64_t> regularFileSize(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return Status::fail(path + ": " + lastError());
    if (!S_ISREG(st.st_mode))
        return Status::fail(path + ": not a regular file");
    return uint64_t(st.st_size);
}

bool isDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<FileIdentity> fileIdentity(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return FileIdentity{uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

// ---- File ---------------------------------------------------------------

NativeFile File::noFile() { return -1; }

Result<File> File::openRead(const std::string& path)
{
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer.  It
    // has no effect on reading a regular file, the only kind accepted.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return Status::fail(path + ": " + lastError());
    File f;
    f.native_ = fd;
    f.path_ = path;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Status::fail(path + ": " + lastError());
    if (!S_ISREG(st.st_mode))
        return Status::fail(path + ": not a regular file");
    f.size_ = uint64_t(st.st_size);
    return f;
}

size_t File::openLimit()
{
    constexpr rlim_t kRoom = 64;  // standard streams, the output, the pipe, directories
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return 0;
    if (lim.rlim_cur != lim.rlim_max) {
        struct rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            lim = raised;
    }
    if (lim.rlim_cur == RLIM_INFINITY)
        return size_t(1) << 20;
    return lim.rlim_cur > kRoom ? size_t(std::min<rlim_t>(lim.rlim_cur - kRoom, rlim_t(1) << 20)) : 0;
}

File File::standardOutput()
{
    File f;
    f.native_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    f.path_ = "standard output";
    return f;
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

Status File::writeAll(const void* buf, size_t len)
{
    auto* p = static_cast<const char*>(buf);
    while (len > 0) {
        if (interrupted())
            return detail::interruptedStatus();
        ssize_t put = ::write(native_, p, len);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return Status::fail("write " + path_ + ": " + lastError());
        p += put;
        len -= size_t(put);
    }
    return {};
}

Status File::close()
{
    if (native_ < 0)
        return {};
    int rc = ::close(native_);
    native_ = -1;
    if (rc != 0)
        return Status::fail("close " + path_ + ": " + lastError());
    return {};
}

namespace {

// Copies what the kernel can copy from `in` to `out` without the data
// passing through this process; advances offset and len.  Fails only on
// an error that the buffered copy would meet as well.
Status kernelCopy(int in, const std::string& inPath, int out, const std::string& outPath, uint64_t& offset,
                  uint64_t& len, Progress* progress)
{
#if defined(__linux__)
    // Every copy tries copy_file_range first (within one file system the
    // data need not move at all), then sendfile (any regular input to any
    // output, one copy inside the kernel); what neither can do is left to
    // the buffer.  Steps are bounded so that the bar moves and an
    // interruption is seen.
    constexpr uint64_t kKernelStep = 8u << 20;
    bool useSendfile = false;
    while (len > 0) {
        if (interrupted())
            return detail::interruptedStatus();
        const size_t step = size_t(std::min(len, kKernelStep));
        ssize_t n;
        if (!useSendfile) {
            loff_t from = loff_t(offset);
            n = copy_file_range(in, &from, out, nullptr, step, 0);
        } else {
            off_t from = off_t(offset);
            n = sendfile(out, in, &from, step);
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                      errno == EBADF || errno == EPERM || errno == ETXTBSY)) {
            if (useSendfile)
                break;  // not between these files: copy through the buffer
            useSendfile = true;
            continue;
        }
        if (n < 0)
            return Status::fail("copy " + inPath + " to " + outPath + ": " + lastError());
        if (n == 0)
            break;  // the buffered copy reports the short file
        offset += uint64_t(n);
        len -= uint64_t(n);
        if (progress)
            progress->advance(uint64_t(n));
    }
#else
    (void)in, (void)inPath, (void)out, (void)outPath, (void)offset, (void)len, (void)progress;
#endif
    return {};
}

}  // namespace

Status File::copyFrom(File& in, uint64_t offset, uint64_t len, std::vector<unsigned char>& buffer,
                      Progress* progress)
{
    if (Status s = kernelCopy(in.native_, in.path(), native_, path_, offset, len, progress); !s)
        return s;
    return detail::bufferedCopy(*this, in, offset, len, buffer, progress);
}

// ---- Appender -----------------------------------------------------------

// On Linux the pieces gather in a pipe and reach the file a megabyte at a
// time, so its pages are written whole although a 1,024-byte header comes
// before every input, and the data is copied once, inside the kernel.
// Bytes go into the pipe with write, input data with splice (the pipe then
// holds references to the input's cached pages, nothing is copied), and
// splice moves the pipe's contents to the output in one write per pipe
// full.  The write end does not block: a full pipe returns EAGAIN, which
// empties it.  The read end blocks, so that an output that is itself a
// full pipe is waited for as a write would wait.  Without Linux's splice
// there is no pipe and every piece is written as it comes.
struct Appender::Impl {
    Impl(File& file, Progress* bar) : out(file), progress(bar), buffer(COPY_CHUNK_SIZE) {}
    ~Impl() { stopGathering(); }

    bool gathering() const { return pipe[1] >= 0; }
    // Opens the pipe where the system can splice; without one nothing gathers.
    void startGathering();
    void stopGathering();
    // The gather functions take what they can and advance their arguments
    // past it; what is left is written directly after drain() has written
    // everything gathered.
    Status gatherBytes(const char*& bytes, size_t& len);
    Status gatherFile(File& in, uint64_t& offset, uint64_t& len);
    Status drain();
    // Writes what is still in the pipe through the buffer, when splice
    // cannot write to the output; nothing gathers afterwards.
    Status drainThroughBuffer();

    File& out;
    Progress* progress;
    std::vector<unsigned char> buffer;  // for copies through this process
    int pipe[2] = {-1, -1};             // read end, write end
    uint64_t queued = 0;                // bytes in the pipe
};

void Appender::Impl::startGathering()
{
#if defined(__linux__)
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    if (fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    // A megabyte where the system allows; the default 64 KiB works too,
    // with more calls.
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    pipe[0] = fds[0];
    pipe[1] = fds[1];
#endif
}

void Appender::Impl::stopGathering()
{
    for (int& fd : pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

Status Appender::Impl::gatherBytes(const char*& bytes, size_t& len)
{
    while (len > 0 && gathering()) {
        if (interrupted())
            return detail::interruptedStatus();
        ssize_t n = ::write(pipe[1], bytes, len);
        if (n > 0) {
            bytes += n;
            len -= size_t(n);
            queued += uint64_t(n);
        } else if (n < 0 && errno == EAGAIN && queued > 0) {
            if (Status s = drain(); !s)
                return s;
        } else if (n >= 0 || errno != EINTR) {
            break;  // written directly
        }
    }
    return {};
}

Status Appender::Impl::gatherFile(File& in, uint64_t& offset, uint64_t& len)
{
#if defined(__linux__)
    constexpr uint64_t kStep = 1u << 30;
    while (len > 0 && gathering()) {
        if (interrupted())
            return detail::interruptedStatus();
        loff_t from = loff_t(offset);
        ssize_t n = splice(in.native_, &from, pipe[1], nullptr, size_t(std::min(len, kStep)), SPLICE_F_NONBLOCK);
        if (n > 0) {
            offset += uint64_t(n);
            len -= uint64_t(n);
            queued += uint64_t(n);
            if (progress)
                progress->advance(uint64_t(n));
        } else if (n < 0 && errno == EAGAIN && queued > 0) {
            if (Status s = drain(); !s)
                return s;
        } else if (n >= 0 || errno != EINTR) {
            // An input that cannot be spliced, or that ended early: the
            // direct copy does the rest or reports it.
            break;
        }
    }
#else
    (void)in, (void)offset, (void)len;
#endif
    return {};
}

Status Appender::Impl::drain()
{
#if defined(__linux__)
    while (queued > 0) {
        if (interrupted())
            return detail::interruptedStatus();
        ssize_t n = splice(pipe[0], nullptr, out.native_, nullptr, size_t(std::min<uint64_t>(queued, 1u << 30)), 0);
        if (n > 0) {
            queued -= uint64_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EINVAL)
            return drainThroughBuffer();  // an output splice cannot write (opened for appending, say)
        if (n < 0 && errno == ENODATA)
            // A page the pipe refers to left the cache: its file was cut short.
            return Status::fail("write " + out.path() + ": an input file was truncated while being packed");
        return Status::fail("write " + out.path() + ": " + (n < 0 ? lastError() : "nothing was written"));
    }
#endif
    return {};
}

Status Appender::Impl::drainThroughBuffer()
{
    while (queued > 0) {
        ssize_t n = ::read(pipe[0], buffer.data(), size_t(std::min<uint64_t>(queued, buffer.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Status::fail("write " + out.path() + ": " + (n < 0 ? lastError() : "the pipe ended early"));
        if (Status s = out.writeAll(buffer.data(), size_t(n)); !s)
            return s;
        queued -= uint64_t(n);
    }
    stopGathering();
    return {};
}

Appender::Appender(File& out, Progress* progress) : impl_(std::make_unique<Impl>(out, progress))
{
    impl_->startGathering();
}

Appender::~Appender() = default;

Status Appender::add(const void* bytes, size_t len)
{
    auto* p = static_cast<const char*>(bytes);
    if (Status s = impl_->gatherBytes(p, len); !s || len == 0)
        return s;
    if (Status s = impl_->drain(); !s)
        return s;
    return impl_->out.writeAll(p, len);
}

Status Appender::addFile(File& in, uint64_t offset, uint64_t len)
{
    if (Status s = impl_->gatherFile(in, offset, len); !s || len == 0)
        return s;
    if (Status s = impl_->drain(); !s)
        return s;
    return impl_->out.copyFrom(in, offset, len, impl_->buffer, impl_->progress);
}

Status Appender::finish() { return impl_->drain(); }

// ---- TempOutput ---------------------------------------------------------

namespace {

// Flushes the directory that holds `path`, so that a rename in it lasts.
Status syncDirectoryOf(const std::string& path)
{
    std::string base = baseName(path);
    std::string dir = base.size() == path.size() ? "." : path.substr(0, path.size() - base.size());
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Status::fail("sync " + dir + ": " + lastError());
    const bool ok = fsync(fd) == 0 || errno == EINVAL;
    const std::string why = ok ? "" : lastError();
    ::close(fd);
    if (!ok)
        return Status::fail("sync " + dir + ": " + why);
    return {};
}

}  // namespace

Status TempOutput::create()
{
    std::string dir, base = baseName(target_);
    if (base.size() != target_.size())
        dir = target_.substr(0, target_.size() - base.size());
    std::string path = dir + "." + base + ".sfxpack-XXXXXX";
    std::vector<char> buf(path.begin(), path.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd < 0)
        return detail::besideFailure(target_, detail::lastError());
    tempPath_ = buf.data();
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    file_.native_ = fd;
    file_.path_ = target_;
    return {};
}

Status TempOutput::commit(bool replace)
{
    if (interrupted())
        return detail::interruptedStatus();
    // mkstemp made the file 0600; a program is rwx for whom the umask allows.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(file_.native_, 0777 & ~mask) != 0)
        return Status::fail("chmod " + target_ + ": " + lastError());
    if (sync_ && fsync(file_.native_) != 0 && errno != EINVAL)
        return Status::fail("sync " + target_ + ": " + lastError());
    if (Status s = file_.close(); !s)
        return s;
    if (replace) {
        if (rename(tempPath_.c_str(), target_.c_str()) != 0)
            return Status::fail(target_ + ": " + lastError());
    } else if (link(tempPath_.c_str(), target_.c_str()) == 0) {
        // A hard link fails if the target appeared meanwhile: no replacing
        // a file someone else just made.
        unlink(tempPath_.c_str());
    } else if (errno == EEXIST || pathExists(target_)) {
        return Status::fail(target_ + ": already exists (use --force to replace it)");
    } else if (rename(tempPath_.c_str(), target_.c_str()) != 0) {
        // File systems without hard links: rename after the check above.
        return Status::fail(target_ + ": " + lastError());
    }
    committed_ = true;
    return sync_ ? syncDirectoryOf(target_) : Status();
}

// ---- OutputDir ----------------------------------------------------------

OutputDir::~OutputDir()
{
    removeStaged();
    if (native_ >= 0)
        ::close(native_);
}

Status OutputDir::openExisting()
{
    native_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (native_ < 0)
        return Status::fail(path_ + ": " + lastError());
    return {};
}

bool OutputDir::contains(const std::string& name) const
{
    struct stat st;
    return fstatat(native_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool OutputDir::holdsDirectory(const std::string& name) const
{
    struct stat st;
    return fstatat(native_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

NativeFile OutputDir::createNew(const std::string& entry, bool* exists)
{
    int fd = openat(native_, entry.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    *exists = fd < 0 && errno == EEXIST;
    return fd;
}

Status OutputDir::place(const Staged& s, bool replace)
{
    const char* temp = s.temp.c_str();
    const char* name = s.name.c_str();
    // renameat replaces a file or a link itself, never a link's target.
    if (replace) {
        if (renameat(native_, temp, native_, name) == 0)
            return {};
    } else if (linkat(native_, temp, native_, name, 0) == 0) {
        unlinkat(native_, temp, 0);
        return {};
    } else if (errno == EEXIST || contains(s.name)) {
        return Status::fail(display(s.name) + ": already exists (use --force to replace it)");
    } else if (renameat(native_, temp, native_, name) == 0) {
        return {};  // no hard links here: rename after the check above
    }
    return Status::fail(display(s.name) + ": " + lastError());
}

void OutputDir::removeEntry(const std::string& entry) { unlinkat(native_, entry.c_str(), 0); }

}  // namespace sfxpack
