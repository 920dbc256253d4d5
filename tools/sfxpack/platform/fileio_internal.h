// What the files behind fileio.h, interrupt.h and progress.h share beyond
// those headers: fileio.cpp, interrupt.cpp, progress.cpp and the two system
// files (fileio_posix.cpp, fileio_windows.cpp).  Only they include it.
#ifndef SFXPACK_FILEIO_INTERNAL_H
#define SFXPACK_FILEIO_INTERNAL_H

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "payload/container.h"
#include "platform/fileio.h"
#include "platform/interrupt.h"
#include "platform/progress.h"

namespace sfxpack {
namespace detail {

// The failure of work cut short by an interruption.
Status interruptedStatus();

// The system's text for the last failed call ("No such file or directory").
std::string lastError();

// Removes a file by name, ignoring failure; for cleaning up after one.
void removeFile(const std::string& path);

unsigned long processId();

// Copies `len` bytes of `in` from `offset` to the end of `out` through
// `buffer`, for what the system could not copy by itself.
Status bufferedCopy(File& out, File& in, uint64_t offset, uint64_t len, std::vector<unsigned char>& buffer,
                    Progress* progress);

// Whether c separates path components.
bool isSeparator(char c);
// Creates one directory; an existing one is fine.  `created` says which.
Status makeDirectory(const std::string& path, bool* created);
// Why no file could be made beside `target`: "the folder D does not
// exist" or "D is not a folder" when that is the cause, else `reason`
// (the system's text).
Status besideFailure(const std::string& target, const std::string& reason);
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
