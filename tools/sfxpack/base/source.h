// Read-only random access to bytes: the interface through which the
// format code reads a container, so the same code runs over a file, a
// memory buffer in a unit test, or a fuzzer's input.
#ifndef SFXPACK_SOURCE_H
#define SFXPACK_SOURCE_H

#include <cstddef>
#include <cstdint>

namespace sfxpack {

// Read-only random access to a container's bytes.
struct Source {
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    // Fills `len` bytes from `offset`; false when they are not all there or
    // the underlying read failed.
    virtual bool read(uint64_t offset, void* buf, size_t len) = 0;
};

class MemorySource : public Source {
public:
    MemorySource(const void* data, size_t len)
        : data_(static_cast<const unsigned char*>(data)), len_(len) {}
    uint64_t size() const override { return len_; }
    bool read(uint64_t offset, void* buf, size_t len) override;

private:
    const unsigned char* data_;
    size_t len_;
};

// The bytes [offset, offset + size) of another source, read as a source
// of their own: a record's data, for the readers that check a file.
class SliceSource : public Source {
public:
    SliceSource(Source& src, uint64_t offset, uint64_t size) : src_(src), offset_(offset), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, void* buf, size_t len) override
    {
        return offset <= size_ && len <= size_ - offset && src_.read(offset_ + offset, buf, len);
    }

private:
    Source& src_;
    uint64_t offset_;
    uint64_t size_;
};

}  // namespace sfxpack

#endif  // SFXPACK_SOURCE_H
