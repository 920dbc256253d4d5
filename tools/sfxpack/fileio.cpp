// File handling that both systems share: moving and closing File objects,
// the buffered copy, the temporary output's cleanup, and the progress bar.
#include "fileio.h"

#include <algorithm>
#include <cstdio>

#include "fileio_internal.h"

namespace sfxpack {

namespace detail {

bool fail(IoError* err, const std::string& what)
{
    if (err)
        err->message = what;
    return false;
}

}  // namespace detail

using detail::fail;

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
        std::swap(native_, other.native_);
        kernelCopy_ = other.kernelCopy_;
        path_ = std::move(other.path_);
        size_ = other.size_;
    }
    return *this;
}

bool File::isOpen() const { return native_ != noFile(); }

bool File::copyFrom(File& in, uint64_t offset, uint64_t len, std::vector<unsigned char>& buffer,
                    Progress* progress, IoError* err)
{
    if (!kernelCopy(in, offset, len, progress, err))
        return false;
    while (len > 0) {
        size_t n = size_t(std::min<uint64_t>(len, buffer.size()));
        if (!in.read(offset, buffer.data(), n))
            return fail(err, "read " + in.path() + " at offset " + std::to_string(offset) + ": " +
                                 (in.readError().empty() ? "the file ended early" : in.readError()) +
                                 " (did it change while being packed?)");
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

TempOutput::~TempOutput()
{
    if (committed_ || tempPath_.empty())
        return;
    IoError ignored;
    file_.close(&ignored);
    detail::removeFile(tempPath_);
    detail::disarmSignalCleanup();
}

// ---- OutputDir ----------------------------------------------------------

std::string OutputDir::display(const std::string& name) const
{
    if (path_ == ".")
        return name;
    char last = path_.empty() ? '/' : path_.back();
    return last == '/' || last == '\\' ? path_ + name : path_ + "/" + name;
}

// ---- Progress -----------------------------------------------------------

namespace {
constexpr uint64_t kProgressThreshold = 64u << 20;
}  // namespace

Progress::Progress(const std::string& label, uint64_t total)
    : label_(label), total_(total), enabled_(total > kProgressThreshold && detail::stderrIsTerminal())
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
