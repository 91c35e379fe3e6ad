// Where image pixels live: heap memory the storage owns, or a window into a
// read-only memory-mapped file (a sequence file's frames) that keeps the
// mapping alive for as long as an image looks at it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Vy {

// A read-only mapping of a whole file; unmapped when the last user lets go.
class MappedFile {
public:
    // Maps fd (size bytes, size > 0) read-only; throws CVyException naming path on failure.
    MappedFile(int fd, size_t size, const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }
    // Drops the resident pages wholly inside [offset, offset + length). The data
    // stays readable: touched again, the pages come back from the file.
    void ReleasePages(size_t offset, size_t length) const;
    // Asks the kernel to read [offset, offset + length) ahead of use.
    void Prefetch(size_t offset, size_t length) const;

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

class PixelStorage {
public:
    // Owned heap memory of bytes bytes, zero-filled when zeroFill is set.
    static std::shared_ptr<PixelStorage> Allocate(size_t bytes, bool zeroFill);
    // A view of length bytes at offset of a mapped file (no copy). Its pages
    // are released when the view goes, so replay does not grow resident memory.
    static std::shared_ptr<const PixelStorage> MapView(std::shared_ptr<const MappedFile> file, size_t offset,
                                                       size_t length);

    ~PixelStorage();
    PixelStorage(const PixelStorage&) = delete;
    PixelStorage& operator=(const PixelStorage&) = delete;

    const uint8_t* Data() const { return data_; }
    // Writable bytes; null for a mapped view, which must be copied before writing.
    uint8_t* MutableData() { return owned_ ? owned_.get() : nullptr; }
    size_t Size() const { return size_; }
    bool IsReadOnly() const { return !owned_; }

private:
    PixelStorage() = default;

    std::unique_ptr<uint8_t[]> owned_;
    std::shared_ptr<const MappedFile> file_;
    size_t offset_ = 0;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace Vy
