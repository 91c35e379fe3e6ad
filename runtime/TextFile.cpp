#include "TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

namespace {

// Bytes of the well-formed UTF-8 character of a printable code point at text[at], or 0.
size_t Utf8Length(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0; };
    const unsigned char lead = byte(0);
    const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    // U+0080..U+009F are control codes some terminals obey.
    if (lead == 0xC2 && byte(1) < 0xA0) {
        return 0;
    }
    return length;
}

}  // namespace

std::string QuoteText(std::string_view text, size_t maxBytes) {
    std::string quoted = "'";
    size_t at = 0;
    while (at < text.size() && quoted.size() <= maxBytes) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c >= 0x20 && c < 0x7F) {
            quoted += static_cast<char>(c);
            ++at;
        } else if (const size_t length = Utf8Length(text, at); length > 0) {
            quoted.append(text.substr(at, length));
            at += length;
        } else {
            char escape[8];
            if (c == '\t' || c == '\r' || c == '\n') {
                std::snprintf(escape, sizeof escape, "\\%c", c == '\t' ? 't' : c == '\r' ? 'r' : 'n');
            } else {
                std::snprintf(escape, sizeof escape, "\\x%02x", c);
            }
            quoted += escape;
            ++at;
        }
    }
    quoted += at < text.size() ? "'..." : "'";
    return quoted;
}

}  // namespace Vy
