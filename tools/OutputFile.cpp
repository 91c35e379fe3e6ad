#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "CVyException.h"

namespace Vy::Synth {

bool sameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::string existsReason() { return "already exists (give --overwrite to replace it)"; }

StagedFile::StagedFile(const std::string& target, bool overwrite, const std::string& operation)
    : target_(target), operation_(operation), overwrite_(overwrite) {
    struct stat info {};
    // lstat: a link, even a dangling one, is a name taken.
    if (lstat(target.c_str(), &info) == 0) {
        struct stat followed {};
        if (stat(target.c_str(), &followed) == 0 && S_ISDIR(followed.st_mode))
            throw CVyException(operation, target, "output is a directory");
        if (!overwrite) throw CVyException(operation, target, existsReason());
    }
    // A name of our own beside the target: the rename stays within one file system.
    for (int attempt = 0;; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, attempt > 0 ? ".partial-%d-%d" : ".partial-%d", static_cast<int>(getpid()),
                      attempt);
        const std::string candidate = target + suffix;
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            temporary_ = candidate;
            return;
        }
        if (errno != EEXIST || attempt >= 100) throw CVyException(operation, target, std::strerror(errno));
    }
}

StagedFile::~StagedFile() {
    if (!committed_) ::unlink(temporary_.c_str());
}

void StagedFile::commit() {
    int result = 0;
    if (overwrite_) {
        result = std::rename(temporary_.c_str(), target_.c_str());
    } else {
        result = renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
        // File systems without RENAME_NOREPLACE: a hard link also refuses a name that is taken.
        if (result != 0 && errno == EINVAL) {
            result = ::link(temporary_.c_str(), target_.c_str());
            if (result == 0) ::unlink(temporary_.c_str());
        }
    }
    if (result != 0) {
        throw CVyException(operation_, target_, errno == EEXIST ? existsReason() : std::strerror(errno));
    }
    committed_ = true;
}

void writeWholeFile(const std::string& path, const std::string& bytes, bool overwrite, const std::string& operation) {
    StagedFile staged(path, overwrite, operation);
    const int fd = ::open(staged.path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) throw CVyException(operation, path, std::strerror(errno));
    int error = 0;
    for (size_t done = 0; done < bytes.size() && error == 0;) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? ENOSPC : errno;
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) {
        throw CVyException(
            operation, path,
            std::string("write failed: ") + std::strerror(error) + (error == EFBIG ? " (file-size limit)" : ""));
    }
    staged.commit();
}

}  // namespace Vy::Synth
