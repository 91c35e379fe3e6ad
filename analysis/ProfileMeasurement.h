// Finds small bright blobs in a total-focus image, marks the accepted ones and
// sums their areas into one figure per frame.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace Vy::Analysis {

struct ProfileResult {
    cv::Mat annotated;          // CV_8UC3: gray frame brightened x4, accepted blobs drawn on it
    int acceptedCount = 0;      // blobs that passed the size tests
    double areaFigure = 0.0;    // areaSum / acceptedCount, or areaSum when none passed
    double areaSum = 0.0;       // area of every outline found, accepted or not
};

struct BlobTally {
    int acceptedCount = 0;
    double areaSum = 0.0;
};

// totalFocus16: CV_16UC1, rows packed. Throws std::invalid_argument for any other
// kind of image; OpenCV's own exceptions pass through.
ProfileResult measureProfile(const cv::Mat& totalFocus16);

// The 16-bit frame divided by 64, rounded and saturated to 8 bits.
cv::Mat toGray8(const cv::Mat& totalFocus16);

// Runs the acceptance tests over the outlines in order, drawing accepted ones on
// annotated (CV_8UC3): fitted ellipses in green, small outlines as red circles.
BlobTally acceptBlobs(const std::vector<std::vector<cv::Point>>& blobs, cv::Mat& annotated);

// The mean area of the accepted blobs; with none accepted, the undivided sum.
double areaFigureOf(const BlobTally& tally);

}  // namespace Vy::Analysis
