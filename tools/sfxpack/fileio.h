// File handling for sfxpack: reading with 64-bit offsets, writing a
// container through a temporary file that becomes the output only when
// complete, creating extracted files without following links, and a
// progress bar.  Nothing here knows the container format.
//
// fileio.cpp holds what both systems share; fileio_posix.cpp and
// fileio_windows.cpp hold the system calls, one of them per build.
#ifndef SFXPACK_FILEIO_H
#define SFXPACK_FILEIO_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "format.h"

namespace sfxpack {

// What failed, as one line for the user ("open setup.exe: No such file").
struct IoError {
    std::string message;
};

class Progress;

#ifdef _WIN32
using NativeFile = void*;  // a HANDLE
#else
using NativeFile = int;  // a file descriptor
#endif

// An open file.  Closed on destruction.
class File : public Source {
public:
    File() = default;
    ~File() override;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens an existing file for reading; it must be a regular file.
    static bool openRead(const std::string& path, File* out, IoError* err);

    bool isOpen() const;
    const std::string& path() const { return path_; }
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, void* buf, size_t len) override;
    // Error text of the last failed read ("Input/output error", or that
    // the file ended early).
    const std::string& readError() const { return readError_; }

    bool writeAll(const void* buf, size_t len, IoError* err);
    // Appends `len` bytes of `in` from `offset` at the current position,
    // through the kernel's copy where it can and `buffer` otherwise.
    bool copyFrom(File& in, uint64_t offset, uint64_t len, std::vector<unsigned char>& buffer,
                  Progress* progress, IoError* err);
    bool close(IoError* err);

private:
    friend class TempOutput;
    friend class OutputDir;
    static NativeFile noFile();
    // Copies what the kernel can copy between the two files without the
    // data passing through this process; advances offset and len.  False
    // only on an error that the buffered copy would meet as well.
    bool kernelCopy(File& in, uint64_t& offset, uint64_t& len, Progress* progress, IoError* err);

    NativeFile native_ = noFile();
    bool kernelCopy_ = true;
    std::string path_;
    uint64_t size_ = 0;
    std::string readError_;
};

// A container being written: a temporary file beside the target, removed
// on every failure and on SIGINT/SIGTERM, renamed over the target (or to
// it, refusing an existing file) only once complete.
class TempOutput {
public:
    explicit TempOutput(std::string target) : target_(std::move(target)) {}
    ~TempOutput();  // removes the temporary file unless committed
    bool create(IoError* err);
    File& file() { return file_; }
    // Closes, makes the file executable and renames it to the target.
    bool commit(bool replace, IoError* err);

private:
    std::string target_;
    std::string tempPath_;
    File file_;
    bool committed_ = false;
};

bool pathExists(const std::string& path);

// A directory that files are extracted into.  Names are single path
// components (the record name rule guarantees it), created relative to the
// directory itself.
class OutputDir {
public:
    OutputDir() = default;
    ~OutputDir();
    OutputDir(const OutputDir&) = delete;
    OutputDir& operator=(const OutputDir&) = delete;
    // Opens `path`, creating it (one level) when missing.
    bool open(const std::string& path, IoError* err);
    // True when an entry of that name exists, of whatever type (a link is
    // not followed).
    bool contains(const std::string& name) const;
    // Creates `name` as a new file: never through an existing entry.  With
    // `replace` an existing file or link is removed first.
    bool createFile(const std::string& name, bool replace, File* out, IoError* err);
    // Removes a file this run created, after a failure while writing it.
    void remove(const std::string& name);
    std::string display(const std::string& name) const;

private:
    std::string path_;
    NativeFile native_ = File::noFile();  // the open directory, where the system has one
};

// A progress bar on stderr, shown only when stderr is a terminal and the
// work is large enough to wait for.
class Progress {
public:
    Progress(const std::string& label, uint64_t total);
    ~Progress();
    void advance(uint64_t bytes);

private:
    void draw();
    std::string label_;
    uint64_t total_;
    uint64_t done_ = 0;
    int shown_ = -1;
    bool enabled_;
};

// The base name of a path: what follows the last separator.
std::string baseName(const std::string& path);

}  // namespace sfxpack

#endif  // SFXPACK_FILEIO_H
