#include "Snapshot.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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

bool writeBytes(const std::string& path, const Extra& extra, std::string& error) {
    try {
        const std::string bytes = extra.bytes(path);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (out) return true;
        error = reasonFor(path);
    } catch (const std::exception& exception) {
        error = exception.what();
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

std::string write(const std::string& base, const cv::Mat& result, const cv::Mat& shown,
                  const std::vector<Extra>& extras) {
    std::string error;
    if (result.empty() || shown.empty()) return "snapshot not written (" + base + "-*.png: no frame on show)";
    std::vector<std::string> suffixes{"-result.png", "-view.png"};
    for (const Extra& extra : extras) suffixes.push_back(extra.suffix);
    const std::string files = extras.empty() ? "-*.png: " : "-*: ";
    const std::string claimed = claimFreeNames(base, suffixes, error);
    if (claimed.empty()) return "snapshot not written (" + base + files + error + ")";
    std::string line = "snapshot:";
    bool whole = writeOne(claimed + suffixes[0], result, error) && writeOne(claimed + suffixes[1], shown, error);
    for (size_t k = 0; k < extras.size() && whole; ++k) whole = writeBytes(claimed + suffixes[k + 2], extras[k], error);
    if (!whole) {
        // The claimed names hold nothing whole: they go again.
        for (const std::string& suffix : suffixes) std::remove((claimed + suffix).c_str());
        return "snapshot not written (" + claimed + files + error + ")";
    }
    for (const std::string& suffix : suffixes) line += " " + claimed + suffix;
    return line;
}

}  // namespace Snapshot
