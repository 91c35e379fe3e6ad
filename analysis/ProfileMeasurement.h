// Finds small bright blobs in a total-focus image, marks the accepted ones and
// sums their areas into one figure per frame.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace Vy::Analysis {

// Which outlines count as blobs; the defaults are the measurement's historic values.
struct DetectionBounds {
    double minArea = 3.0;  // accepted areas lie strictly between minArea and maxArea (px^2)
    double maxArea = 400.0;
    double maxAxis = 20.0;  // a fitted axis this long or longer is a scratch or an edge
    double cannyLow = 5.0;  // edge thresholds on the 8-bit image
    double cannyHigh = 75.0;
    int closingSize = 7;  // side of the square closing the edges into outlines
};

enum class BlobVerdict { Accepted, RejectedAxis, RejectedArea };

// One outline as the acceptance tests saw it, in the order the outline search found it.
struct BlobRecord {
    std::vector<cv::Point> outline;
    double area = 0.0;
    cv::RotatedRect box;  // all zeros when the outline has too few points for a fit
    bool fitted = false;
    BlobVerdict verdict = BlobVerdict::Accepted;
};

struct ProfileResult {
    cv::Mat annotated;              // CV_8UC3: gray frame brightened x4, accepted blobs drawn on it
    int acceptedCount = 0;          // blobs that passed the size tests
    double areaFigure = 0.0;        // areaSum / acceptedCount, or areaSum when none passed
    double areaSum = 0.0;           // area of every outline found, accepted or not
    std::vector<BlobRecord> blobs;  // every outline with its verdict
};

struct BlobTally {
    int acceptedCount = 0;
    double areaSum = 0.0;
};

// totalFocus16: CV_16UC1, rows packed. Throws std::invalid_argument for any other
// kind of image or for bounds that cannot be used; OpenCV's own exceptions pass through.
ProfileResult measureProfile(const cv::Mat& totalFocus16, const DetectionBounds& bounds = DetectionBounds());

// The 16-bit frame divided by 64, rounded and saturated to 8 bits.
cv::Mat toGray8(const cv::Mat& totalFocus16);

// Runs the acceptance tests over the outlines in order, drawing accepted ones on
// annotated (CV_8UC3): fitted ellipses in green, small outlines as red circles.
// With records given, every outline's verdict is appended to it.
BlobTally acceptBlobs(const std::vector<std::vector<cv::Point>>& blobs, cv::Mat& annotated,
                      const DetectionBounds& bounds = DetectionBounds(), std::vector<BlobRecord>* records = nullptr);

// The mean area of the accepted blobs; with none accepted, the undivided sum.
double areaFigureOf(const BlobTally& tally);

// The outlines of a frame as the annotated image draws them: accepted with a fitted
// ellipse (green), accepted without one (red circle), rejected (not drawn).
struct OutlineCounts {
    int ellipses = 0;
    int circles = 0;
    int rejected = 0;
};
OutlineCounts countOutlines(const std::vector<BlobRecord>& blobs);

}  // namespace Vy::Analysis
