// File handling for sfxpack: reading with 64-bit offsets, writing a
// container through a temporary file that becomes the output only when
// complete, extracting through temporary files that take their names only
// when every one is written, and never following links.  The progress bar
// (progress.h) and the handling of interruptions (interrupt.h) have
// headers of their own.  Nothing here knows the container format.  A failure is a Status whose
// message is one line for the user, naming the file ("setup.exe: No such
// file or directory", "write c.exe: File too large").
//
// fileio.cpp holds what both systems share; fileio_posix.cpp and
// fileio_windows.cpp hold the system calls, one of them per build.
#ifndef SFXPACK_FILEIO_H
#define SFXPACK_FILEIO_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/source.h"
#include "base/status.h"

namespace sfxpack {

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

    // Opens an existing file for reading; it must be a regular file.  A
    // FIFO or device is refused without waiting for a writer.
    static Result<File> openRead(const std::string& path);
    // Standard output, for writing; messages call it "standard output".
    static File standardOutput();
    // How many more files the process can hold open at once, keeping room
    // for the few it needs besides; where the system has a soft limit
    // below its hard one, the soft limit is raised first.
    static size_t openLimit();

    bool isOpen() const;
    const std::string& path() const { return path_; }
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, void* buf, size_t len) override;
    // Error text of the last failed read ("Input/output error", or that
    // the file ended early).
    const std::string& readError() const { return readError_; }

    Status writeAll(const void* buf, size_t len);
    // Appends `len` bytes of `in` from `offset` at the current position,
    // through the kernel's copy where it can and `buffer` otherwise.
    Status copyFrom(File& in, uint64_t offset, uint64_t len, std::vector<unsigned char>& buffer,
                    Progress* progress);
    Status close();

private:
    friend class TempOutput;
    friend class OutputDir;
    friend class Appender;
    static NativeFile noFile();

    NativeFile native_ = noFile();
    std::string path_;  // as messages name the file
    uint64_t size_ = 0;
    std::string readError_;
};

// Writes pieces to a file in order: bytes, and ranges of input files.
// Where the system allows, the pieces gather and reach the file in large
// writes, so its pages are written whole although a small header comes
// before every input (fileio_posix.cpp says how); elsewhere each piece is
// written as it comes.  Messages name the file's path, or the input's.
class Appender {
public:
    Appender(File& out, Progress* progress);
    ~Appender();
    Appender(const Appender&) = delete;
    Appender& operator=(const Appender&) = delete;
    Status add(const void* bytes, size_t len);
    // `len` bytes of `in` from `offset`; a file that ends early fails.
    Status addFile(File& in, uint64_t offset, uint64_t len);
    // Writes what is gathered: the file is complete only after this.
    Status finish();

private:
    // The system's way of writing: each system's file defines it.
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A container being written: a temporary file beside the target, removed
// on every failure and on interruption, renamed over the target (or to it,
// refusing an existing file) only once complete.  Messages name the target.
class TempOutput {
public:
    // With `sync`, the file and then its directory are flushed to disk
    // before commit returns, so the container survives a crash.
    TempOutput(std::string target, bool sync) : target_(std::move(target)), sync_(sync) {}
    ~TempOutput();  // removes the temporary file unless committed
    Status create();
    File& file() { return file_; }
    // Closes, makes the file executable and renames it to the target.
    Status commit(bool replace);

private:
    std::string target_;
    bool sync_;
    std::string tempPath_;
    File file_;
    bool committed_ = false;
};

bool pathExists(const std::string& path);
// The size of a regular file, without opening it (one system call per
// input where the system allows); otherwise the reason, worded as
// File::openRead words it.  Whether it can be read shows on opening.
Result<uint64_t> regularFileSize(const std::string& path);
// An existing directory (a link to one counts).
bool isDirectory(const std::string& path);

// Which file a path names: the device and inode number on POSIX systems,
// the volume serial number and file index on Windows.  Two paths name the
// same file exactly when their identities are equal, whatever their
// spelling, case or the links between them.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t file = 0;
    bool operator==(const FileIdentity& other) const { return volume == other.volume && file == other.file; }
};
// The identity of the file `path` names (a link is followed); nothing when
// there is no such file or it cannot be looked at.
std::optional<FileIdentity> fileIdentity(const std::string& path);

// A directory that files are extracted into.  Names are single path
// components (the record name rule guarantees it), created relative to the
// directory itself.  Files are written under temporary names and take
// their own names in commit(), all of them or, on failure, none.
class OutputDir {
public:
    OutputDir() = default;
    ~OutputDir();  // removes the files written since open() unless committed
    OutputDir(const OutputDir&) = delete;
    OutputDir& operator=(const OutputDir&) = delete;
    // Opens `path`, creating it and its missing parents.
    Status open(const std::string& path);
    // True when an entry of that name exists, of whatever type (a link is
    // not followed).
    bool contains(const std::string& name) const;
    // True when the entry of that name is a directory (not a link to one).
    bool holdsDirectory(const std::string& name) const;
    // Creates a temporary file in the directory that becomes `name` on
    // commit.
    Result<File> stage(const std::string& name);
    // Gives every staged file its name.  Without `replace` an existing
    // entry is refused; with it an existing file or link is replaced (a
    // link itself, never its target).
    Status commit(bool replace);
    std::string display(const std::string& name) const;

private:
    struct Staged {
        std::string name;
        std::string temp;
        bool placed = false;  // renamed to `name`
        bool replaced = false;  // an entry of that name existed before
    };
    // Opens path_, which exists by now.
    Status openExisting();
    // Removes the staged files and the directories open() created, unless
    // committed.
    void removeStaged();
    // Creates the entry as a new file, never through an existing one;
    // noFile() on failure, with `exists` telling whether something is there.
    NativeFile createNew(const std::string& entry, bool* exists);
    // Renames one staged file to its name.
    Status place(const Staged& s, bool replace);
    // Removes an entry of the directory, ignoring failure.
    void removeEntry(const std::string& entry);
    std::string path_;
    NativeFile native_ = File::noFile();  // the open directory, where the system has one
    std::vector<Staged> staged_;
    std::vector<std::string> created_;  // by open(), outermost first
    bool committed_ = false;
};

// Reads a whole text file, or standard input for "-".
Result<std::string> readTextFile(const std::string& path);
bool stdoutIsTerminal();

// The base name of a path: what follows the last separator.
std::string baseName(const std::string& path);

}  // namespace sfxpack

#endif  // SFXPACK_FILEIO_H
