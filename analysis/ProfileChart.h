// Draws the measurement log as a chart: blob count and area figure per frame.
#pragma once

#include <map>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "ProfileLogReader.h"

namespace Vy::Analysis {

constexpr int kProfileChartWidth = 1000;
constexpr int kProfileChartHeight = 500;

// White canvas of kProfileChartWidth x kProfileChartHeight (CV_8UC3): blob count in
// blue against the left axis, area figure in red against the right axis, frame
// numbers along the bottom. Rows are drawn in frame order. With meanDistance
// (frame index -> mm), the mean distance in green against an axis of its own.
cv::Mat drawProfileChart(std::vector<ProfileRow> rows, const std::map<int, double>& meanDistance = {});

// Reads the CSV log at csvPath and writes the chart to pngPath, with the mean
// distance from the particle table beside the log when there is one. False with a
// one-line reason in error when the log cannot be read, holds no
// rows, or the image cannot be written. Rows whose time stamp is not finite are
// charted like every other (by frame index), with one warning (Vy::Warn) naming how many.
bool writeProfileChart(const std::string& csvPath, const std::string& pngPath, std::string& error);

}  // namespace Vy::Analysis
