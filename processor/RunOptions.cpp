#include "RunOptions.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

std::string defaultSettingsPath() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path directory = error ? std::filesystem::current_path(error) : self.parent_path();
    return (directory / "CurrentSettings-2019-08-09.vyset").string();
}
