#include "ProfileMeasurement.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

namespace Vy::Analysis {
namespace {

// Outlines with fewer points cannot be fitted with an ellipse.
constexpr size_t kMinPointsForEllipse = 6;
// A fitted axis this long means a scratch or an edge, not a blob.
constexpr double kMaxEllipseAxis = 20.0;
// Areas outside (kMinArea, kMaxArea) are noise or merged blobs.
constexpr double kMinArea = 3.0;
constexpr double kMaxArea = 400.0;

}  // namespace

cv::Mat toGray8(const cv::Mat& totalFocus16)
{
    if (totalFocus16.empty() || totalFocus16.type() != CV_16UC1) {
        throw std::invalid_argument("measureProfile: expected a non-empty 16-bit single-channel image, got type " +
                                    std::to_string(totalFocus16.type()) + " of " +
                                    std::to_string(totalFocus16.cols) + "x" + std::to_string(totalFocus16.rows));
    }
    cv::Mat gray;
    totalFocus16.convertTo(gray, CV_8U, 0.015625, 0);
    return gray;
}

BlobTally acceptBlobs(const std::vector<std::vector<cv::Point>>& blobs, cv::Mat& annotated)
{
    BlobTally tally;
    for (const auto& blob : blobs) {
        const cv::Rect rect = cv::boundingRect(blob);
        const double area = cv::contourArea(blob, false);
        tally.areaSum += area;  // every outline counts towards the sum, accepted or not

        cv::RotatedRect box;  // all zeros: an unfitted outline never fails the axis test
        const bool fitted = blob.size() >= kMinPointsForEllipse;
        if (fitted) {
            box = cv::fitEllipse(blob);
        }
        if (std::max(box.size.width, box.size.height) >= kMaxEllipseAxis) {
            continue;
        }
        if (!(area > kMinArea) || !(area < kMaxArea)) {
            continue;
        }

        ++tally.acceptedCount;
        if (fitted) {
            cv::ellipse(annotated, box, cv::Scalar(0, 255, 0), 1, cv::LINE_8);
        } else {
            const cv::Point centre(rect.x + rect.width / 2, rect.y + rect.height / 2);
            const int radius = static_cast<int>(std::sqrt(static_cast<double>(rect.width * rect.height)) * 0.5);
            cv::circle(annotated, centre, radius, cv::Scalar(0, 0, 255), 1, cv::LINE_8, 0);
        }
    }
    return tally;
}

double areaFigureOf(const BlobTally& tally)
{
    return tally.acceptedCount > 0 ? tally.areaSum / tally.acceptedCount : tally.areaSum;
}

ProfileResult measureProfile(const cv::Mat& totalFocus16)
{
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7), cv::Point(3, 3));
    const cv::Mat gray = toGray8(totalFocus16);

    // Edges, then closed into solid outlines so each blob yields one contour.
    cv::Mat mask;
    cv::Canny(gray, mask, 5.0, 75.0, 3, false);
    cv::dilate(mask, mask, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
    cv::erode(mask, mask, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());

    std::vector<std::vector<cv::Point>> blobs;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, blobs, hierarchy, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, cv::Point(0, 0));

    ProfileResult result;
    cv::Mat copy = gray.clone();
    cv::cvtColor(copy, result.annotated, cv::COLOR_GRAY2BGR);
    result.annotated *= 4.0;

    const BlobTally tally = acceptBlobs(blobs, result.annotated);
    result.acceptedCount = tally.acceptedCount;
    result.areaSum = tally.areaSum;
    result.areaFigure = areaFigureOf(tally);
    return result;
}

}  // namespace Vy::Analysis
