#include "ProfileMeasurement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "VyTypes.h"

namespace Vy::Analysis {
namespace {

using Contour = std::vector<cv::Point>;

const cv::Vec3b kRed(0, 0, 255);
const cv::Scalar kGreen(0, 255, 0);

Contour rectangle(int x, int y, int w, int h) { return {{x, y}, {x + w, y}, {x + w, y + h}, {x, y + h}}; }

// Points on an upright ellipse with full axes (aw, ah) around (cx, cy).
Contour ellipsePoints(int cx, int cy, double aw, double ah, int count) {
    Contour points;
    for (int i = 0; i < count; ++i) {
        const double t = 2.0 * Vy::kPi * i / count;
        points.emplace_back(cx + static_cast<int>(std::lround(aw / 2 * std::cos(t))),
                            cy + static_cast<int>(std::lround(ah / 2 * std::sin(t))));
    }
    return points;
}

int countColour(const cv::Mat& image, const cv::Scalar& colour) {
    cv::Mat match;
    cv::inRange(image, colour, colour, match);
    return cv::countNonZero(match);
}

BlobTally acceptOnBlank(const std::vector<Contour>& blobs, cv::Mat* drawn = nullptr) {
    cv::Mat canvas(100, 100, CV_8UC3, cv::Scalar(0, 0, 0));
    const BlobTally tally = acceptBlobs(blobs, canvas);
    if (drawn != nullptr) *drawn = canvas;
    return tally;
}

TEST(ProfileMeasurementFrame, GrayIsDividedBy64RoundedAndSaturated) {
    const cv::Mat frame = (cv::Mat_<uint16_t>(1, 5) << 31, 64, 100, 16320, 65535);
    const cv::Mat before = frame.clone();
    EXPECT_EQ(cv::countNonZero(toGray8(frame) != (cv::Mat_<uint8_t>(1, 5) << 0, 1, 2, 255, 255)), 0);
    EXPECT_EQ(cv::countNonZero(frame != before), 0) << "input must stay unchanged";
    EXPECT_THROW(measureProfile(cv::Mat()), std::invalid_argument);
    EXPECT_THROW(measureProfile(cv::Mat(10, 10, CV_8UC1, cv::Scalar(5))), std::invalid_argument);
}

TEST(ProfileMeasurementFrame, FrameWithoutOutlinesGivesNothingAndBrightenedGray) {
    const ProfileResult plain = measureProfile(cv::Mat(60, 80, CV_16UC1, cv::Scalar(3000)));  // gray 47
    EXPECT_EQ(plain.acceptedCount, 0);
    EXPECT_EQ(plain.areaFigure, 0.0);
    ASSERT_EQ(plain.annotated.type(), CV_8UC3);
    EXPECT_EQ(countColour(plain.annotated, cv::Scalar(188, 188, 188)), 60 * 80);
    const ProfileResult bright = measureProfile(cv::Mat(20, 20, CV_16UC1, cv::Scalar(8000)));  // 125 x4 clips
    EXPECT_EQ(countColour(bright.annotated, cv::Scalar(255, 255, 255)), 400);
}

// Bright discs of radius 2..6 on a dark background: every disc is one accepted blob.
void expectDiscCount(int columns, int rows) {
    cv::Mat frame(rows * 40 + 20, columns * 40 + 20, CV_16UC1, cv::Scalar(500));
    for (int i = 0; i < columns * rows; ++i) {
        cv::circle(frame, cv::Point(30 + i % columns * 40, 30 + i / columns * 40), 2 + i % 5, cv::Scalar(12000),
                   cv::FILLED);
    }
    const ProfileResult result = measureProfile(frame);
    EXPECT_EQ(result.acceptedCount, columns * rows);
    EXPECT_NEAR(result.areaFigure, result.areaSum / (columns * rows), 1e-9);
}

TEST(ProfileMeasurementFrame, CountsBrightDiscsButNotStripesAndJoinsCloseDiscs) {
    expectDiscCount(5, 3);
    expectDiscCount(7, 4);
    cv::Mat frame(80, 120, CV_16UC1, cv::Scalar(500));
    cv::rectangle(frame, cv::Rect(20, 30, 60, 4), cv::Scalar(12000), cv::FILLED);
    cv::circle(frame, cv::Point(20, 60), 3, cv::Scalar(12000), cv::FILLED);  // 4 px apart: the closing joins them
    cv::circle(frame, cv::Point(30, 60), 3, cv::Scalar(12000), cv::FILLED);
    const ProfileResult stripe = measureProfile(frame);
    EXPECT_EQ(stripe.acceptedCount, 1);
    EXPECT_GT(stripe.areaSum, 60.0 * 4.0);
}

TEST(ProfileMeasurementBlobs, AreaBoundsAreExclusive) {
    EXPECT_EQ(acceptOnBlank({rectangle(0, 0, 3, 1)}).acceptedCount, 0);                          // 3.0
    EXPECT_EQ(acceptOnBlank({{{0, 0}, {4, 0}, {3, 1}, {0, 1}}}).acceptedCount, 1);               // 3.5
    EXPECT_EQ(acceptOnBlank({rectangle(0, 0, 20, 20)}).acceptedCount, 0);                        // 400.0
    EXPECT_EQ(acceptOnBlank({{{0, 0}, {20, 0}, {20, 20}, {1, 20}, {0, 19}}}).acceptedCount, 1);  // 399.5
}

TEST(ProfileMeasurementBlobs, SumCoversRejectedBlobsAndFigureDividesByAccepted) {
    const BlobTally mixed = acceptOnBlank({rectangle(0, 0, 5, 2), rectangle(10, 10, 5, 4), rectangle(0, 0, 25, 20)});
    EXPECT_EQ(mixed.acceptedCount, 2);
    EXPECT_DOUBLE_EQ(areaFigureOf(mixed), 265.0);
    const BlobTally rejected = acceptOnBlank({rectangle(0, 0, 25, 20), rectangle(0, 0, 3, 1)});
    EXPECT_EQ(rejected.acceptedCount, 0);
    EXPECT_DOUBLE_EQ(areaFigureOf(rejected), 503.0);
    EXPECT_EQ(areaFigureOf(acceptOnBlank({})), 0.0);
}

TEST(ProfileMeasurementBlobs, FewPointOutlinesDrawnAsRedCircles) {
    cv::Mat drawn;
    EXPECT_DOUBLE_EQ(acceptOnBlank({rectangle(30, 30, 10, 10)}, &drawn).areaSum, 100.0);
    // Bounding box 11x11 at (30,30): centre (35,35), radius 5.
    EXPECT_EQ(drawn.at<cv::Vec3b>(35, 40), kRed);
    EXPECT_EQ(drawn.at<cv::Vec3b>(30, 35), kRed);
    EXPECT_NE(drawn.at<cv::Vec3b>(35, 35), kRed);
    EXPECT_EQ(countColour(drawn, kGreen), 0);

    acceptOnBlank({rectangle(10, 10, 4, 3)}, &drawn);  // bounding box 5x4: centre (12,12), radius 2
    for (const cv::Point on : {cv::Point(14, 12), cv::Point(10, 12), cv::Point(12, 10), cv::Point(12, 14)}) {
        EXPECT_EQ(drawn.at<cv::Vec3b>(on), kRed) << on;
    }
    EXPECT_NE(drawn.at<cv::Vec3b>(12, 15), kRed);
    EXPECT_NE(drawn.at<cv::Vec3b>(12, 12), kRed);
}

TEST(ProfileMeasurementBlobs, FittedOutlinesDrawnAsGreenEllipsesUnlessTooLong) {
    cv::Mat drawn;
    EXPECT_EQ(acceptOnBlank({ellipsePoints(50, 50, 12, 8, 16)}, &drawn).acceptedCount, 1);
    EXPECT_EQ(countColour(drawn, cv::Scalar(kRed)), 0);
    cv::Mat green;
    cv::inRange(drawn, kGreen, kGreen, green);
    const cv::Rect extent = cv::boundingRect(green);
    EXPECT_NEAR(extent.width, 13, 2);
    EXPECT_NEAR(extent.height, 9, 2);

    const Contour longBlob = ellipsePoints(50, 50, 24, 5, 24);  // area about 94, fitted axis 24
    const BlobTally tally = acceptOnBlank({longBlob}, &drawn);
    EXPECT_EQ(tally.acceptedCount, 0);
    EXPECT_DOUBLE_EQ(tally.areaSum, cv::contourArea(longBlob));
    EXPECT_EQ(cv::countNonZero(drawn.reshape(1)), 0);
}

// The counts the window's legend gives are the outlines drawn in each colour.
TEST(ProfileMeasurementBlobs, OutlineCountsAreWhatTheColoursShow) {
    cv::Mat canvas(100, 100, CV_8UC3, cv::Scalar(0, 0, 0));
    std::vector<BlobRecord> records;
    acceptBlobs({ellipsePoints(20, 20, 10, 8, 16), ellipsePoints(60, 60, 12, 8, 16), rectangle(80, 10, 6, 6),
                 ellipsePoints(50, 20, 30, 4, 24), rectangle(5, 80, 1, 1)},
                canvas, DetectionBounds(), &records);
    const OutlineCounts counts = countOutlines(records);
    EXPECT_EQ(counts.ellipses, 2);
    EXPECT_EQ(counts.circles, 1);
    EXPECT_EQ(counts.rejected, 2) << "one too long, one too small";
    EXPECT_GT(countColour(canvas, kGreen), 0);
    EXPECT_GT(countColour(canvas, cv::Scalar(kRed)), 0);
}

}  // namespace
}  // namespace Vy::Analysis
