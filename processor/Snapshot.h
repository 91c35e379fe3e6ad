// Snapshots of the frame on show: the result lossless at its own bit depth and the
// 8-bit view as the window shows it.
#pragma once

#include <cstdint>
#include <functional>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace Snapshot {

// "<dir>/<name>-frame<number>-id<id>-type<type>": number is the frame's number on the console
// (and in the window's title), id the sequence's frame id; the files add "-result.png" and "-view.png".
std::string baseName(const std::string& dir, const std::string& name, int32_t number, int32_t frameId, int32_t type);

// A file more that a snapshot writes under its base: base + suffix, with the bytes made for
// the path it gets (a numbered base where the name was taken).
struct Extra {
    std::string suffix;
    std::function<std::string(const std::string& path)> bytes;
};

// Writes both files (and the extras); the line to print: the paths, or why they were not
// written. result: 8 or 16 bits per sample (kept as it is); shown: 8-bit, as the window
// shows it. An earlier file of the name is never overwritten: the set gets the first free
// numbered base, "<base>-N-result.png" and "<base>-N-view.png". Nothing is left half
// written: where one file fails, none of the set stays.
std::string write(const std::string& base, const cv::Mat& result, const cv::Mat& shown,
                  const std::vector<Extra>& extras = {});

// Claims base + suffix for every suffix, created empty and exclusively, or, where one of
// them is taken, the first "<base>-N" (N = 1..999) for which all are free. Returns the base
// claimed; empty with the reason in error when none could be (the directory, N past 999).
std::string claimFreeNames(const std::string& base, const std::vector<std::string>& suffixes, std::string& error);

}  // namespace Snapshot
