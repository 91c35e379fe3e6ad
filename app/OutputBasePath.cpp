#include "OutputBasePath.h"

#include <cctype>
#include <filesystem>
#include <stdexcept>

namespace {

bool hasDrivePrefix(const std::string& path) {
    return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
           (path[2] == '\\' || path[2] == '/');
}

}  // namespace

std::string outputBasePath(const std::string& sequencePath, const std::string& outputDir) {
    if (sequencePath.empty()) {
        throw std::invalid_argument("the sequence path is empty: no name for the recording");
    }
    std::string rest;
    if (hasDrivePrefix(sequencePath)) {
        rest = sequencePath.substr(3);
    } else {
        const std::string absolute = std::filesystem::absolute(sequencePath).lexically_normal().string();
        rest = absolute.substr(absolute.find_first_not_of('/') == std::string::npos ? absolute.size()
                                                                                    : absolute.find_first_not_of('/'));
    }
    for (char& c : rest) {
        if (c == '/' || c == '\\') {
            c = '-';
        }
    }
    if (rest.empty() || rest.find_first_not_of('-') == std::string::npos) {
        throw std::invalid_argument("cannot derive a recording name from the sequence path '" + sequencePath + "'");
    }
    return outputDir + "/" + rest;
}
