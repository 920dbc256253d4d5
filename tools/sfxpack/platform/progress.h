// A progress bar on stderr, shown only when stderr is a terminal, the work
// is large enough to wait for, and the user did not switch it off.  It
// fits the terminal's width.  progress.cpp draws it; the terminal is asked
// through fileio_internal.h.
#ifndef SFXPACK_PROGRESS_H
#define SFXPACK_PROGRESS_H

#include <cstdint>
#include <string>

namespace sfxpack {

class Progress {
public:
    // `wanted` is false when the user switched bars off (--quiet,
    // --no-progress): then nothing is ever drawn.
    Progress(const std::string& label, uint64_t total, bool wanted);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void advance(uint64_t bytes);

private:
    void draw();
    std::string label_;
    uint64_t total_;
    uint64_t done_ = 0;
    int shown_ = -1;
    int width_ = 0;  // the terminal's columns
    bool enabled_;
};

}  // namespace sfxpack

#endif  // SFXPACK_PROGRESS_H
