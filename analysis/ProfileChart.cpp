#include "ProfileChart.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>

#include "ParticleTable.h"
#include "ParticleTableReader.h"
#include "WarningSink.h"

namespace Vy::Analysis {
namespace {

const cv::Scalar kWhite(255, 255, 255);
const cv::Scalar kBlack(0, 0, 0);
const cv::Scalar kGrid(225, 225, 225);
const cv::Scalar kCountColour(200, 0, 0);     // blue
const cv::Scalar kAreaColour(0, 0, 200);      // red
const cv::Scalar kDistanceColour(0, 140, 0);  // green
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
constexpr double kFontScale = 0.45;
constexpr int kTickCount = 5;

// The plot area inside the canvas; the margins hold the axis labels (two columns on the right).
const cv::Rect kPlot(80, 50, kProfileChartWidth - 240, kProfileChartHeight - 110);
constexpr int kDistanceLabelX = kProfileChartWidth - 80;

struct Range {
    double low = 0.0;
    double high = 1.0;
};

// Widens the range so it is never empty and ends on a round tick step.
Range roundedRange(double low, double high) {
    if (!(high > low)) {
        high = low + 1.0;
    }
    const double rough = (high - low) / kTickCount;
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    double step = magnitude;
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        step = factor * magnitude;
        if (step >= rough) {
            break;
        }
    }
    return {std::floor(low / step) * step, std::ceil(high / step) * step};
}

// Locale-independent short number for axis labels.
std::string numberLabel(double value) {
    if (std::fabs(value) < 1e-12) {
        value = 0.0;
    }
    char text[32];
    const auto [end, status] = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
    return status == std::errc() ? std::string(text, end) : std::string("?");
}

// Share of the way along a range, kept finite and near the plot for extreme values.
double shareOf(double value, const Range& range) {
    const double share = (value - range.low) / (range.high - range.low);
    return std::isfinite(share) ? std::clamp(share, -1.0, 2.0) : 0.0;
}

int toX(double frame, const Range& frames) {
    return kPlot.x + static_cast<int>(std::lround(shareOf(frame, frames) * kPlot.width));
}

int toY(double value, const Range& values) {
    return kPlot.y + kPlot.height - static_cast<int>(std::lround(shareOf(value, values) * kPlot.height));
}

void drawText(cv::Mat& canvas, const std::string& text, cv::Point at, const cv::Scalar& colour) {
    cv::putText(canvas, text, at, kFont, kFontScale, colour, 1, cv::LINE_AA);
}

int textWidth(const std::string& text) {
    int baseline = 0;
    return cv::getTextSize(text, kFont, kFontScale, 1, &baseline).width;
}

void drawAxes(cv::Mat& canvas, const Range& frames, const Range& counts, const Range& areas,
              const std::optional<Range>& distances) {
    for (int i = 0; i <= kTickCount; ++i) {
        const double share = static_cast<double>(i) / kTickCount;
        const int y = kPlot.y + kPlot.height - static_cast<int>(std::lround(share * kPlot.height));
        const int x = kPlot.x + static_cast<int>(std::lround(share * kPlot.width));
        cv::line(canvas, {kPlot.x, y}, {kPlot.x + kPlot.width, y}, kGrid, 1);

        const std::string count = numberLabel(counts.low + share * (counts.high - counts.low));
        drawText(canvas, count, {kPlot.x - 8 - textWidth(count), y + 5}, kCountColour);
        const std::string area = numberLabel(areas.low + share * (areas.high - areas.low));
        drawText(canvas, area, {kPlot.x + kPlot.width + 8, y + 5}, kAreaColour);
        if (distances) {
            const std::string distance = numberLabel(distances->low + share * (distances->high - distances->low));
            drawText(canvas, distance, {kDistanceLabelX, y + 5}, kDistanceColour);
        }
        const std::string frame = numberLabel(std::round(frames.low + share * (frames.high - frames.low)));
        cv::line(canvas, {x, kPlot.y + kPlot.height}, {x, kPlot.y + kPlot.height + 5}, kBlack, 1);
        drawText(canvas, frame, {x - textWidth(frame) / 2, kPlot.y + kPlot.height + 22}, kBlack);
    }
    cv::rectangle(canvas, kPlot, kBlack, 1);
    const std::string frameLabel = "frame index (frames measured before this one)";
    drawText(canvas, frameLabel, {kPlot.x + kPlot.width / 2 - textWidth(frameLabel) / 2, kProfileChartHeight - 12},
             kBlack);
    drawText(canvas, "blob count", {kPlot.x - 70, kPlot.y - 18}, kCountColour);
    drawText(canvas, "area figure (px^2)", {kPlot.x + kPlot.width - 60, kPlot.y - 18}, kAreaColour);
    if (distances) {
        const std::string distanceLabel = "mean distance (mm)";
        drawText(canvas, distanceLabel, {kProfileChartWidth - 6 - textWidth(distanceLabel), kPlot.y - 34},
                 kDistanceColour);
    }
    const std::string title =
        distances ? "Blob count, area figure and mean distance per frame" : "Blob count and area figure per frame";
    drawText(canvas, title, {kPlot.x + kPlot.width / 2 - textWidth(title) / 2, 20}, kBlack);
}

void drawPolyline(cv::Mat& canvas, const std::vector<cv::Point>& points, const cv::Scalar& colour) {
    if (points.size() == 1) {
        cv::circle(canvas, points.front(), 3, colour, cv::FILLED);
    }
    cv::polylines(canvas, points, false, colour, 1, cv::LINE_AA);
}

template <typename Value>
void drawSeries(cv::Mat& canvas, const std::vector<ProfileRow>& rows, Value value, const Range& frames,
                const Range& values, const cv::Scalar& colour) {
    std::vector<cv::Point> points;
    points.reserve(rows.size());
    for (const ProfileRow& row : rows) {
        points.emplace_back(toX(row.frameNumber, frames), toY(value(row), values));
    }
    drawPolyline(canvas, points, colour);
}

// The mean distance from the particle table beside the log; none when there is no
// readable table (a run without it, or one cut short).
std::map<int, double> meanDistanceBeside(const std::string& csvPath) {
    const std::string table = particleTableName(csvPath);
    std::error_code missing;
    if (!std::filesystem::exists(table, missing)) {
        return {};
    }
    try {
        return meanDistanceByFrame(readParticleTable(table));
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace

cv::Mat drawProfileChart(std::vector<ProfileRow> rows, const std::map<int, double>& meanDistance) {
    cv::Mat canvas(kProfileChartHeight, kProfileChartWidth, CV_8UC3, kWhite);
    if (rows.empty()) {
        return canvas;
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ProfileRow& a, const ProfileRow& b) { return a.frameNumber < b.frameNumber; });

    const auto [minCount, maxCount] = std::minmax_element(
        rows.begin(), rows.end(), [](const ProfileRow& a, const ProfileRow& b) { return a.blobCount < b.blobCount; });
    const auto [minArea, maxArea] = std::minmax_element(
        rows.begin(), rows.end(), [](const ProfileRow& a, const ProfileRow& b) { return a.areaFigure < b.areaFigure; });
    // Frame numbers are plotted as they are: an evenly spread axis, not rounded to ticks.
    Range frames{static_cast<double>(rows.front().frameNumber), static_cast<double>(rows.back().frameNumber)};
    if (!(frames.high > frames.low)) {
        frames.high = frames.low + 1.0;
    }
    const Range counts = roundedRange(std::min(0, minCount->blobCount), maxCount->blobCount);
    const Range areas = roundedRange(std::min(0.0, minArea->areaFigure), maxArea->areaFigure);

    std::optional<Range> distances;
    std::vector<cv::Point> distancePoints;
    if (!meanDistance.empty()) {
        double low = meanDistance.begin()->second, high = low;
        for (const auto& [frame, mm] : meanDistance) {
            low = std::min(low, mm);
            high = std::max(high, mm);
        }
        distances = roundedRange(low, high);
        // Frames with no particle at a known distance leave a gap in the line.
        for (const auto& [frame, mm] : meanDistance) {
            distancePoints.emplace_back(toX(frame, frames), toY(mm, *distances));
        }
    }
    drawAxes(canvas, frames, counts, areas, distances);
    drawSeries(
        canvas, rows, [](const ProfileRow& r) { return static_cast<double>(r.blobCount); }, frames, counts,
        kCountColour);
    drawSeries(
        canvas, rows, [](const ProfileRow& r) { return r.areaFigure; }, frames, areas, kAreaColour);
    if (!distancePoints.empty()) {
        drawPolyline(canvas, distancePoints, kDistanceColour);
    }
    return canvas;
}

bool writeProfileChart(const std::string& csvPath, const std::string& pngPath, std::string& error) {
    std::vector<ProfileRow> rows;
    if (!readProfileLog(csvPath, rows, error)) {
        return false;
    }
    if (rows.empty()) {
        error = csvPath + ": no measurement rows to chart";
        return false;
    }
    const auto unknownTimes =
        std::count_if(rows.begin(), rows.end(), [](const ProfileRow& row) { return !std::isfinite(row.timeStamp); });
    if (unknownTimes > 0) {
        Vy::Warn(csvPath + ": " + std::to_string(unknownTimes) + " of " + std::to_string(rows.size()) +
                 " rows without a finite time stamp; the chart goes by frame index, as always");
    }
    std::string reason;
    try {
        if (cv::imwrite(pngPath, drawProfileChart(std::move(rows), meanDistanceBeside(csvPath)))) {
            return true;
        }
        reason = "cannot write chart image";
    } catch (const cv::Exception& e) {
        reason = "cannot write chart image (" + e.err + ")";
    }
    error = pngPath + ": " + reason;
    return false;
}

}  // namespace Vy::Analysis
