#include "Snapshot.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>

namespace Snapshot {
namespace {

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

std::string baseName(const std::string& dir, const std::string& sequence, int32_t frameId, int32_t type) {
    return dir + "/" + sequence + "-frame" + std::to_string(frameId) + "-type" + std::to_string(type);
}

std::string write(const std::string& base, const cv::Mat& result, const cv::Mat& shown) {
    std::string error;
    const std::string resultPath = base + "-result.png";
    const std::string viewPath = base + "-view.png";
    if (!writeOne(resultPath, result, error) || !writeOne(viewPath, shown, error)) {
        return "snapshot not written (" + base + "-*.png: " + error + ")";
    }
    return "snapshot: " + resultPath + " " + viewPath;
}

}  // namespace Snapshot
