// File handling that both systems share: moving and closing File objects,
// the buffered copy, cleaning up temporary files, creating directories,
// and staging the files of an extraction.
#include "platform/fileio.h"

#include <algorithm>
#include <cstdio>

#include "platform/fileio_internal.h"

namespace sfxpack {

namespace detail {

Status interruptedStatus() { return Status::fail("interrupted"); }

Status bufferedCopy(File& out, File& in, uint64_t offset, uint64_t len, std::vector<unsigned char>& buffer,
                    Progress* progress)
{
    while (len > 0) {
        if (interrupted())
            return interruptedStatus();
        size_t n = size_t(std::min<uint64_t>(len, buffer.size()));
        if (!in.read(offset, buffer.data(), n))
            return Status::fail("read " + in.path() + " at offset " + std::to_string(offset) + ": " +
                                (in.readError().empty() ? "the file ended early" : in.readError()) +
                                " (did it change while being packed?)");
        if (Status s = out.writeAll(buffer.data(), n); !s)
            return s;
        offset += n;
        len -= n;
        if (progress)
            progress->advance(n);
    }
    return {};
}

Status besideFailure(const std::string& target, const std::string& reason)
{
    std::string dir = target.substr(0, target.size() - baseName(target).size());
    while (dir.size() > 1 && isSeparator(dir.back()))
        dir.pop_back();
    if (dir.empty())
        dir = ".";
    if (!pathExists(dir))
        return Status::fail(target + ": the folder " + dir + " does not exist");
    if (!isDirectory(dir))
        return Status::fail(target + ": " + dir + " is not a folder");
    return Status::fail("create a temporary file beside " + target + ": " + reason);
}

}  // namespace detail

// ---- File ---------------------------------------------------------------

File::~File() { (void)close(); }

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        (void)close();
        std::swap(native_, other.native_);
        path_ = std::move(other.path_);
        size_ = other.size_;
    }
    return *this;
}

bool File::isOpen() const { return native_ != noFile(); }

Result<std::string> readTextFile(const std::string& path)
{
    std::FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f)
        return Status::fail(path + ": " + detail::lastError());
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    const bool ok = !std::ferror(f);
    if (f != stdin)
        std::fclose(f);
    if (!ok)
        return Status::fail(path + ": read error");
    return text;
}

// ---- TempOutput ---------------------------------------------------------

TempOutput::~TempOutput()
{
    if (committed_ || tempPath_.empty())
        return;
    (void)file_.close();
    detail::removeFile(tempPath_);
}

// ---- OutputDir ----------------------------------------------------------

Status OutputDir::open(const std::string& path)
{
    path_ = path;
    // Every prefix that ends before a separator, then the whole path.
    for (size_t i = 1; i <= path.size(); ++i) {
        if ((i < path.size() && !detail::isSeparator(path[i])) || detail::isSeparator(path[i - 1]))
            continue;
        bool created = false;
        const std::string folder = path.substr(0, i);
        if (Status s = detail::makeDirectory(folder, &created); !s)
            return pathExists(folder) && !isDirectory(folder) ? Status::fail(folder + " is not a folder") : s;
        if (created)
            created_.push_back(path.substr(0, i));
    }
    return openExisting();
}

std::string OutputDir::display(const std::string& name) const
{
    if (path_ == ".")
        return name;
    char last = path_.empty() ? '/' : path_.back();
    return detail::isSeparator(last) ? path_ + name : path_ + "/" + name;
}

Result<File> OutputDir::stage(const std::string& name)
{
    // Short temporary names: a record name may already be as long as the
    // file system allows.
    for (unsigned attempt = 0;; ++attempt) {
        const std::string temp = ".sfxpack-" + std::to_string(detail::processId()) + "-" +
                                 std::to_string(staged_.size()) + "-" + std::to_string(attempt) + ".tmp";
        bool exists = false;
        NativeFile created = createNew(temp, &exists);
        if (created == File::noFile() && exists && attempt < 100)
            continue;
        if (created == File::noFile())
            return Status::fail("create a temporary file in " + path_ + ": " + detail::lastError());
        staged_.push_back({name, temp});
        File f;
        f.native_ = created;
        f.path_ = display(name);
        return f;
    }
}

Status OutputDir::commit(bool replace)
{
    if (interrupted())
        return detail::interruptedStatus();
    for (Staged& s : staged_) {
        s.replaced = contains(s.name);
        if (Status placed = place(s, replace); !placed) {
            // Files that replaced nothing are taken back; a replaced file
            // cannot be brought back, but the check before writing refuses
            // everything that could make a rename fail.
            for (const Staged& done : staged_)
                if (done.placed && !done.replaced)
                    removeEntry(done.name);
            return placed;
        }
        s.placed = true;
    }
    committed_ = true;
    return {};
}

void OutputDir::removeStaged()
{
    if (committed_)
        return;
    for (const Staged& s : staged_)
        if (!s.placed)
            removeEntry(s.temp);
    for (auto it = created_.rbegin(); it != created_.rend(); ++it)
        detail::removeDirectory(*it);
}

}  // namespace sfxpack
