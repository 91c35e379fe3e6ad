#include "TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CVyException.h"

namespace Vy {

std::string ReadTextFile(const std::string& path, size_t maxBytes, const std::string& operation) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        throw CVyException(operation, path, std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        throw CVyException(operation, path, std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        throw CVyException(operation, path, "is a directory");
    }
    // A FIFO or device would block or never end; only plain files are read.
    if (!S_ISREG(info.st_mode)) {
        throw CVyException(operation, path, "not a regular file");
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw CVyException(operation, path, std::strerror(errno));
        }
        if (got == 0) {
            return text;
        }
        // Checked while reading: a pipe or special file has no meaningful size up front.
        if (text.size() + static_cast<size_t>(got) > maxBytes) {
            throw CVyException(operation, path, "file larger than " + std::to_string(maxBytes) + " bytes");
        }
        text.append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace Vy
