// Snapshots of the frame on show: the result lossless at its own bit depth and the
// 8-bit view as the window shows it.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace Snapshot {

// "<dir>/<name>-frame<number>-id<id>-type<type>": number is the frame's number on the console
// (and in the window's title), id the sequence's frame id; the files add "-result.png" and "-view.png".
std::string baseName(const std::string& dir, const std::string& name, int32_t number, int32_t frameId, int32_t type);

// Writes both files; the line to print: the two paths, or why they were not written.
// result: 8 or 16 bits per sample (kept as it is); shown: 8-bit, as the window shows it.
// An earlier file of the name is never overwritten: the pair gets the first free
// numbered base, "<base>-N-result.png" and "<base>-N-view.png".
std::string write(const std::string& base, const cv::Mat& result, const cv::Mat& shown);

// Claims base + suffix for every suffix, created empty and exclusively, or, where one of
// them is taken, the first "<base>-N" (N = 1..999) for which all are free. Returns the base
// claimed; empty with the reason in error when none could be (the directory, N past 999).
std::string claimFreeNames(const std::string& base, const std::vector<std::string>& suffixes, std::string& error);

}  // namespace Snapshot
