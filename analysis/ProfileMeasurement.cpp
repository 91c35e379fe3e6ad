#include "ProfileMeasurement.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>

namespace Vy::Analysis {
namespace {

// Outlines with fewer points cannot be fitted with an ellipse.
constexpr size_t kMinPointsForEllipse = 6;

}  // namespace

cv::Mat toGray8(const cv::Mat& totalFocus16) {
    if (totalFocus16.empty() || totalFocus16.type() != CV_16UC1) {
        throw std::invalid_argument("measureProfile: expected a non-empty 16-bit single-channel image, got type " +
                                    std::to_string(totalFocus16.type()) + " of " + std::to_string(totalFocus16.cols) +
                                    "x" + std::to_string(totalFocus16.rows));
    }
    cv::Mat gray;
    totalFocus16.convertTo(gray, CV_8U, 0.015625, 0);
    return gray;
}

BlobTally acceptBlobs(const std::vector<std::vector<cv::Point>>& blobs, cv::Mat& annotated,
                      const DetectionBounds& bounds, std::vector<BlobRecord>* records) {
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
        BlobVerdict verdict = BlobVerdict::Accepted;
        if (std::max(box.size.width, box.size.height) >= bounds.maxAxis) {
            verdict = BlobVerdict::RejectedAxis;
        } else if (!(area > bounds.minArea) || !(area < bounds.maxArea)) {
            verdict = BlobVerdict::RejectedArea;
        }
        if (records != nullptr) {
            records->push_back({blob, area, box, fitted, verdict});
        }
        if (verdict != BlobVerdict::Accepted) {
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

OutlineCounts countOutlines(const std::vector<BlobRecord>& blobs) {
    OutlineCounts counts;
    for (const BlobRecord& blob : blobs) {
        int& count = blob.verdict != BlobVerdict::Accepted ? counts.rejected
                     : blob.fitted                         ? counts.ellipses
                                                           : counts.circles;
        ++count;
    }
    return counts;
}

double areaFigureOf(const BlobTally& tally) {
    return tally.acceptedCount > 0 ? tally.areaSum / tally.acceptedCount : tally.areaSum;
}

ProfileResult measureProfile(const cv::Mat& totalFocus16, const DetectionBounds& bounds) {
    if (bounds.closingSize < 1 || !(bounds.cannyLow >= 0.0) || !(bounds.cannyHigh >= 0.0)) {
        throw std::invalid_argument("measureProfile: closing size below 1 or a negative edge threshold");
    }
    const int size = bounds.closingSize;
    const cv::Mat kernel =
        cv::getStructuringElement(cv::MORPH_RECT, cv::Size(size, size), cv::Point(size / 2, size / 2));
    const cv::Mat gray = toGray8(totalFocus16);

    // Edges, then closed into solid outlines so each blob yields one contour.
    cv::Mat mask;
    cv::Canny(gray, mask, bounds.cannyLow, bounds.cannyHigh, 3, false);
    cv::dilate(mask, mask, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
    cv::erode(mask, mask, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());

    std::vector<std::vector<cv::Point>> blobs;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, blobs, hierarchy, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, cv::Point(0, 0));

    ProfileResult result;
    cv::Mat copy = gray.clone();
    cv::cvtColor(copy, result.annotated, cv::COLOR_GRAY2BGR);
    result.annotated *= 4.0;

    const BlobTally tally = acceptBlobs(blobs, result.annotated, bounds, &result.blobs);
    result.acceptedCount = tally.acceptedCount;
    result.areaSum = tally.areaSum;
    result.areaFigure = areaFigureOf(tally);
    return result;
}

}  // namespace Vy::Analysis
