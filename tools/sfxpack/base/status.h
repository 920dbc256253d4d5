// How the format and platform layers report a problem: a step returns a
// Status (it worked, or what failed and where) or a Result<T> (the value,
// or that Status).  The text is the line the user reads, already naming
// the file or field ("open setup.exe: No such file or directory",
// "not a PE image (no MZ header at offset 0)"); a problem found inside a
// container also carries the file offset it lies at, which listings and
// `verify` print before it.
#ifndef SFXPACK_STATUS_H
#define SFXPACK_STATUS_H

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace sfxpack {

// One problem: at which file offset (0 when it is not about a place in a
// file) and what.
struct Problem {
    uint64_t offset = 0;
    std::string what;
};

class [[nodiscard]] Status {
public:
    Status() = default;  // it worked
    Status(Problem problem) : problem_(std::move(problem)) {}
    static Status fail(std::string what) { return Problem{0, std::move(what)}; }
    static Status failAt(uint64_t offset, std::string what) { return Problem{offset, std::move(what)}; }

    bool ok() const { return !problem_; }
    explicit operator bool() const { return ok(); }
    // Only for a failed status.
    const Problem& problem() const
    {
        assert(problem_);
        return *problem_;
    }
    const std::string& message() const { return problem().what; }
    uint64_t offset() const { return problem().offset; }

private:
    std::optional<Problem> problem_;
};

// A value, or the Status that says why there is none.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Status failed) : status_(std::move(failed)) { assert(!status_.ok()); }
    Result(Problem problem) : status_(std::move(problem)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const Status& status() const { return status_; }
    const std::string& message() const { return status_.message(); }

    // Only for a result that holds a value.
    T& value()
    {
        assert(value_);
        return *value_;
    }
    const T& value() const
    {
        assert(value_);
        return *value_;
    }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::optional<T> value_;
    Status status_;
};

}  // namespace sfxpack

#endif  // SFXPACK_STATUS_H
