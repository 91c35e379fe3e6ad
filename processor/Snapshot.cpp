#include "Snapshot.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>

namespace Snapshot {
namespace {

// Numbered names tried when a name is taken, as for recordings.
constexpr int kMaxNumber = 999;

// Creates path empty unless it exists; errno tells why not.
bool createExclusive(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// imwrite gives no reason; the usual ones are a missing or read-only directory.
std::string reasonFor(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code error;
    if (!parent.empty() && !std::filesystem::is_directory(parent, error)) return "no such directory";
    return "cannot write " + path;
}

bool writeOne(const std::string& path, const cv::Mat& image, std::string& error) {
    try {
        // PNG compression level 1: snapshots are taken while the replay runs.
        if (!image.empty() && cv::imwrite(path, image, {cv::IMWRITE_PNG_COMPRESSION, 1})) return true;
        error = image.empty() ? "no frame on show" : reasonFor(path);
    } catch (const cv::Exception& exception) {
        error = exception.err;
    }
    return false;
}

}  // namespace

std::string baseName(const std::string& dir, const std::string& name, int32_t number, int32_t frameId, int32_t type) {
    return dir + "/" + name + "-frame" + std::to_string(number) + "-id" + std::to_string(frameId) + "-type" +
           std::to_string(type);
}

std::string claimFreeNames(const std::string& base, const std::vector<std::string>& suffixes, std::string& error) {
    for (int number = 0; number <= kMaxNumber; ++number) {
        const std::string candidate = number == 0 ? base : base + "-" + std::to_string(number);
        size_t made = 0;
        while (made < suffixes.size() && createExclusive(candidate + suffixes[made])) ++made;
        if (made == suffixes.size()) return candidate;
        const int reason = errno;
        for (size_t k = 0; k < made; ++k) std::remove((candidate + suffixes[k]).c_str());
        if (reason != EEXIST) {
            error = reason == ENOENT ? "no such directory" : std::strerror(reason);
            return {};
        }
    }
    error = "names up to -" + std::to_string(kMaxNumber) + " are taken";
    return {};
}

std::string write(const std::string& base, const cv::Mat& result, const cv::Mat& shown) {
    std::string error;
    if (result.empty() || shown.empty()) return "snapshot not written (" + base + "-*.png: no frame on show)";
    const std::string claimed = claimFreeNames(base, {"-result.png", "-view.png"}, error);
    if (claimed.empty()) return "snapshot not written (" + base + "-*.png: " + error + ")";
    const std::string resultPath = claimed + "-result.png";
    const std::string viewPath = claimed + "-view.png";
    if (!writeOne(resultPath, result, error) || !writeOne(viewPath, shown, error)) {
        // The claimed names hold nothing whole: they go again.
        std::remove(resultPath.c_str());
        std::remove(viewPath.c_str());
        return "snapshot not written (" + claimed + "-*.png: " + error + ")";
    }
    return "snapshot: " + resultPath + " " + viewPath;
}

}  // namespace Snapshot
