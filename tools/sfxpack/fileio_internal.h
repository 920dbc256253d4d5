// What fileio.cpp and the two system files (fileio_posix.cpp,
// fileio_windows.cpp) share beyond fileio.h.  Only those three include it.
#ifndef SFXPACK_FILEIO_INTERNAL_H
#define SFXPACK_FILEIO_INTERNAL_H

#include <string>

#include "fileio.h"

namespace sfxpack {
namespace detail {

// Stores `what` in `err` (when given) and returns false.
bool fail(IoError* err, const std::string& what);

// The system's text for the last failed call ("No such file or directory").
std::string lastError();

// Removes a file by name, ignoring failure; for cleaning up after one.
void removeFile(const std::string& path);

// Whether stderr is a terminal.
bool stderrIsTerminal();

// Removes `path` if the process is interrupted until disarmed: SIGINT,
// SIGTERM and SIGHUP on POSIX, a console Ctrl event on Windows.
void armSignalCleanup(const std::string& path);
void disarmSignalCleanup();

}  // namespace detail
}  // namespace sfxpack

#endif  // SFXPACK_FILEIO_INTERNAL_H
