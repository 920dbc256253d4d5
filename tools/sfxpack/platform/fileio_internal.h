// What fileio.cpp and the two system files (fileio_posix.cpp,
// fileio_windows.cpp) share beyond fileio.h.  Only those three include it.
#ifndef SFXPACK_FILEIO_INTERNAL_H
#define SFXPACK_FILEIO_INTERNAL_H

#include <csignal>
#include <string>

#include "payload/container.h"
#include "platform/fileio.h"

namespace sfxpack {
namespace detail {

// The buffer of copies that pass through this process.
constexpr size_t kCopyBuffer = COPY_CHUNK_SIZE;

// Stores `what` in `err` (when given) and returns false.
bool fail(IoError* err, const std::string& what);
// The failure of work cut short by an interruption.
bool failInterrupted(IoError* err);

// The system's text for the last failed call ("No such file or directory").
std::string lastError();

// Removes a file by name, ignoring failure; for cleaning up after one.
void removeFile(const std::string& path);

unsigned long processId();

// Whether c separates path components.
bool isSeparator(char c);
// Creates one directory; an existing one is fine.  `created` says which.
bool makeDirectory(const std::string& path, bool* created, IoError* err);
// Removes an empty directory, ignoring failure.
void removeDirectory(const std::string& path);

bool stderrIsTerminal();
// The terminal's width in columns, 0 when unknown.
int terminalColumns();

// The signal (or Ctrl event) that interrupted the work; 0 while none has.
extern volatile std::sig_atomic_t g_interruptedBy;
// Starts or stops noting interruptions (see InterruptGuard).
void catchInterrupts(bool on);
// Ends the process as the interruption would have.
[[noreturn]] void endBy(int signal);

}  // namespace detail
}  // namespace sfxpack

#endif  // SFXPACK_FILEIO_INTERNAL_H
