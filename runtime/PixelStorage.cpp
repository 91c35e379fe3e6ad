#include "PixelStorage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "CVyException.h"

namespace Vy {

namespace {

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

}  // namespace

MappedFile::MappedFile(int fd, size_t size, const std::string& path) : size_(size) {
    void* address = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        throw CVyException("CSeqFileReader::Open", path, std::string("cannot map the file: ") + std::strerror(errno));
    }
    data_ = static_cast<uint8_t*>(address);
}

MappedFile::~MappedFile() { munmap(data_, size_); }

void MappedFile::ReleasePages(size_t offset, size_t length) const {
    if (offset >= size_) {
        return;
    }
    length = std::min(length, size_ - offset);
    const size_t page = PageSize();
    // Only whole pages: the partial ones at both ends may belong to a neighbouring frame.
    const size_t first = (offset + page - 1) / page * page;
    const size_t last = (offset + length) / page * page;
    if (last > first) {
        madvise(data_ + first, last - first, MADV_DONTNEED);
    }
}

void MappedFile::Prefetch(size_t offset, size_t length) const {
    if (offset >= size_ || length == 0) {
        return;
    }
    length = std::min(length, size_ - offset);
    const size_t page = PageSize();
    const size_t first = offset / page * page;
    madvise(data_ + first, offset + length - first, MADV_WILLNEED);
}

std::shared_ptr<PixelStorage> PixelStorage::Allocate(size_t bytes, bool zeroFill) {
    std::shared_ptr<PixelStorage> storage(new PixelStorage());
    storage->owned_.reset(zeroFill ? new uint8_t[bytes]() : new uint8_t[bytes]);
    storage->data_ = storage->owned_.get();
    storage->size_ = bytes;
    return storage;
}

std::shared_ptr<const PixelStorage> PixelStorage::MapView(std::shared_ptr<const MappedFile> file, size_t offset,
                                                          size_t length) {
    std::shared_ptr<PixelStorage> storage(new PixelStorage());
    storage->data_ = file->Data() + offset;
    storage->size_ = length;
    storage->offset_ = offset;
    storage->file_ = std::move(file);
    return storage;
}

PixelStorage::~PixelStorage() {
    if (file_) {
        file_->ReleasePages(offset_, size_);
    }
}

}  // namespace Vy
