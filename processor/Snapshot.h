// Snapshots of the frame on show: the result lossless at its own bit depth and the
// 8-bit view as the window shows it.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

namespace Snapshot {

// "<dir>/<sequence>-frame<id>-type<type>": the files add "-result.png" and "-view.png".
std::string baseName(const std::string& dir, const std::string& sequence, int32_t frameId, int32_t type);

// Writes both files; the line to print: the two paths, or why they were not written.
// result: 8 or 16 bits per sample (kept as it is); shown: 8-bit, as the window shows it.
std::string write(const std::string& base, const cv::Mat& result, const cv::Mat& shown);

}  // namespace Snapshot
