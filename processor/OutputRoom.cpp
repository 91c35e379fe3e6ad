#include "OutputRoom.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <filesystem>

std::string lackOfRoom(const std::string& path, uint64_t bytes) {
    struct rlimit limit {};
    struct stat file {};
    const uint64_t size = stat(path.c_str(), &file) == 0 ? static_cast<uint64_t>(file.st_size) : 0;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && size + bytes > limit.rlim_cur) {
        return "file-size limit reached";
    }
    const std::string directory = std::filesystem::path(path).parent_path().string();
    struct statvfs disk {};
    if (statvfs(directory.empty() ? "." : directory.c_str(), &disk) == 0 &&
        static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize < bytes) {
        return "disk full";
    }
    return "";
}
