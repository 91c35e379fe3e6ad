#include "ProfileMeasurement.h"

#include <cmath>
#include <stdexcept>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace Vy::Analysis {
namespace {

using Contour = std::vector<cv::Point>;

const cv::Vec3b kRed(0, 0, 255);
const cv::Vec3b kGreen(0, 255, 0);

cv::Mat blankCanvas() { return cv::Mat(100, 100, CV_8UC3, cv::Scalar(0, 0, 0)); }

Contour rectangle(int x, int y, int w, int h) { return {{x, y}, {x + w, y}, {x + w, y + h}, {x, y + h}}; }

// Points on an upright ellipse with full axes (aw, ah) around (cx, cy).
Contour ellipsePoints(int cx, int cy, double aw, double ah, int count)
{
    Contour points;
    for (int i = 0; i < count; ++i) {
        const double t = 2.0 * CV_PI * i / count;
        points.emplace_back(cx + static_cast<int>(std::lround(aw / 2 * std::cos(t))),
                            cy + static_cast<int>(std::lround(ah / 2 * std::sin(t))));
    }
    return points;
}

int countPixels(const cv::Mat& image, const cv::Vec3b& colour)
{
    int n = 0;
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x) n += image.at<cv::Vec3b>(y, x) == colour;
    return n;
}

TEST(ProfileMeasurementGray, DividesBy64RoundsAndSaturates)
{
    cv::Mat frame = (cv::Mat_<uint16_t>(1, 6) << 0, 31, 64, 100, 16320, 65535);
    const cv::Mat before = frame.clone();
    const cv::Mat gray = toGray8(frame);
    ASSERT_EQ(gray.type(), CV_8UC1);
    EXPECT_EQ(gray.at<uint8_t>(0, 0), 0);
    EXPECT_EQ(gray.at<uint8_t>(0, 1), 0);
    EXPECT_EQ(gray.at<uint8_t>(0, 2), 1);
    EXPECT_EQ(gray.at<uint8_t>(0, 3), 2);
    EXPECT_EQ(gray.at<uint8_t>(0, 4), 255);
    EXPECT_EQ(gray.at<uint8_t>(0, 5), 255);
    EXPECT_EQ(cv::countNonZero(frame != before), 0) << "input must stay unchanged";
}

TEST(ProfileMeasurementGray, RejectsOtherImageKinds)
{
    EXPECT_THROW(measureProfile(cv::Mat()), std::invalid_argument);
    EXPECT_THROW(measureProfile(cv::Mat(10, 10, CV_8UC1, cv::Scalar(5))), std::invalid_argument);
    EXPECT_THROW(measureProfile(cv::Mat(10, 10, CV_16UC3, cv::Scalar(5))), std::invalid_argument);
}

TEST(ProfileMeasurementFrame, FrameWithoutOutlinesGivesNothingAndBrightenedGray)
{
    const cv::Mat frame(60, 80, CV_16UC1, cv::Scalar(3000));  // gray 47, brightened 188
    const ProfileResult result = measureProfile(frame);
    EXPECT_EQ(result.acceptedCount, 0);
    EXPECT_EQ(result.areaFigure, 0.0);
    EXPECT_EQ(result.areaSum, 0.0);
    ASSERT_EQ(result.annotated.type(), CV_8UC3);
    ASSERT_EQ(result.annotated.size(), frame.size());
    EXPECT_EQ(countPixels(result.annotated, cv::Vec3b(188, 188, 188)), 60 * 80);
}

TEST(ProfileMeasurementFrame, BrighteningSaturates)
{
    const cv::Mat frame(20, 20, CV_16UC1, cv::Scalar(8000));  // gray 125, x4 clips at 255
    const ProfileResult result = measureProfile(frame);
    EXPECT_EQ(countPixels(result.annotated, cv::Vec3b(255, 255, 255)), 400);
}

// Bright discs of radius 2..6 on a dark background: every disc is one accepted blob.
void expectDiscCount(int columns, int rows)
{
    cv::Mat frame(rows * 40 + 20, columns * 40 + 20, CV_16UC1, cv::Scalar(500));
    int discs = 0;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const int radius = 2 + (discs % 5);
            cv::circle(frame, cv::Point(30 + c * 40, 30 + r * 40), radius, cv::Scalar(12000), cv::FILLED);
            ++discs;
        }
    }
    const ProfileResult result = measureProfile(frame);
    EXPECT_EQ(result.acceptedCount, discs);
    EXPECT_GT(result.areaFigure, 3.0);
    EXPECT_LT(result.areaFigure, 400.0);
    EXPECT_NEAR(result.areaFigure, result.areaSum / discs, 1e-9);
    EXPECT_GT(countPixels(result.annotated, kGreen) + countPixels(result.annotated, kRed), 0);
}

TEST(ProfileMeasurementFrame, CountsBrightDiscs)
{
    expectDiscCount(5, 3);
    expectDiscCount(7, 4);
}

TEST(ProfileMeasurementFrame, LongStripeIsNotABlob)
{
    cv::Mat frame(80, 120, CV_16UC1, cv::Scalar(500));
    cv::rectangle(frame, cv::Rect(20, 30, 60, 4), cv::Scalar(12000), cv::FILLED);
    const ProfileResult result = measureProfile(frame);
    EXPECT_EQ(result.acceptedCount, 0);
    EXPECT_GT(result.areaSum, 0.0);
    EXPECT_EQ(result.areaFigure, result.areaSum);
}

TEST(ProfileMeasurementBlobs, AreaBoundsAreExclusive)
{
    cv::Mat canvas = blankCanvas();
    EXPECT_EQ(acceptBlobs({rectangle(0, 0, 3, 1)}, canvas).acceptedCount, 0);                    // 3.0
    EXPECT_EQ(acceptBlobs({{{0, 0}, {4, 0}, {3, 1}, {0, 1}}}, canvas).acceptedCount, 1);          // 3.5
    EXPECT_EQ(acceptBlobs({rectangle(0, 0, 20, 20)}, canvas).acceptedCount, 0);                   // 400.0
    EXPECT_EQ(acceptBlobs({{{0, 0}, {20, 0}, {20, 20}, {1, 20}, {0, 19}}}, canvas).acceptedCount, 1);  // 399.5
}

TEST(ProfileMeasurementBlobs, SumCoversRejectedBlobsAndFigureDividesByAccepted)
{
    cv::Mat canvas = blankCanvas();
    const BlobTally mixed = acceptBlobs({rectangle(0, 0, 5, 2), rectangle(10, 10, 5, 4), rectangle(0, 0, 25, 20)},
                                        canvas);
    EXPECT_EQ(mixed.acceptedCount, 2);
    EXPECT_DOUBLE_EQ(mixed.areaSum, 530.0);
    EXPECT_DOUBLE_EQ(areaFigureOf(mixed), 265.0);

    const BlobTally rejected = acceptBlobs({rectangle(0, 0, 25, 20), rectangle(0, 0, 3, 1)}, canvas);
    EXPECT_EQ(rejected.acceptedCount, 0);
    EXPECT_DOUBLE_EQ(rejected.areaSum, 503.0);
    EXPECT_DOUBLE_EQ(areaFigureOf(rejected), 503.0);

    EXPECT_EQ(areaFigureOf(acceptBlobs({}, canvas)), 0.0);
}

TEST(ProfileMeasurementBlobs, SmallOutlineDrawnAsRedCircle)
{
    cv::Mat canvas = blankCanvas();
    const BlobTally tally = acceptBlobs({rectangle(30, 30, 10, 10)}, canvas);  // area 100, 4 points
    EXPECT_EQ(tally.acceptedCount, 1);
    EXPECT_DOUBLE_EQ(tally.areaSum, 100.0);
    // Bounding box 11x11 at (30,30): centre (35,35), radius 5.
    EXPECT_EQ(canvas.at<cv::Vec3b>(35, 40), kRed);
    EXPECT_EQ(canvas.at<cv::Vec3b>(30, 35), kRed);
    EXPECT_NE(canvas.at<cv::Vec3b>(35, 35), kRed);
    EXPECT_EQ(countPixels(canvas, kGreen), 0);
}

TEST(ProfileMeasurementBlobs, CircleCentreAndRadiusFromBoundingBox)
{
    cv::Mat canvas = blankCanvas();
    acceptBlobs({rectangle(10, 10, 4, 3)}, canvas);  // bounding box 5x4: centre (12,12), radius 2
    EXPECT_EQ(canvas.at<cv::Vec3b>(12, 14), kRed);
    EXPECT_EQ(canvas.at<cv::Vec3b>(12, 10), kRed);
    EXPECT_EQ(canvas.at<cv::Vec3b>(10, 12), kRed);
    EXPECT_EQ(canvas.at<cv::Vec3b>(14, 12), kRed);
    EXPECT_NE(canvas.at<cv::Vec3b>(12, 15), kRed);
    EXPECT_NE(canvas.at<cv::Vec3b>(12, 12), kRed);
}

TEST(ProfileMeasurementBlobs, FittedOutlineDrawnAsGreenEllipse)
{
    cv::Mat canvas = blankCanvas();
    const BlobTally tally = acceptBlobs({ellipsePoints(50, 50, 12, 8, 16)}, canvas);
    EXPECT_EQ(tally.acceptedCount, 1);
    EXPECT_GT(countPixels(canvas, kGreen), 20);
    EXPECT_EQ(countPixels(canvas, kRed), 0);
    // The drawn ellipse reaches about 6 px either side of the centre, not beyond 8.
    cv::Mat green;
    cv::inRange(canvas, cv::Scalar(0, 255, 0), cv::Scalar(0, 255, 0), green);
    const cv::Rect extent = cv::boundingRect(green);
    EXPECT_NEAR(extent.width, 13, 2);
    EXPECT_NEAR(extent.height, 9, 2);
}

TEST(ProfileMeasurementBlobs, LongFittedAxisRejectedEvenWithAcceptableArea)
{
    cv::Mat canvas = blankCanvas();
    const Contour longBlob = ellipsePoints(50, 50, 24, 5, 24);
    ASSERT_GT(cv::contourArea(longBlob), 3.0);
    ASSERT_LT(cv::contourArea(longBlob), 400.0);
    const BlobTally tally = acceptBlobs({longBlob}, canvas);
    EXPECT_EQ(tally.acceptedCount, 0);
    EXPECT_DOUBLE_EQ(tally.areaSum, cv::contourArea(longBlob));
    EXPECT_EQ(cv::countNonZero(canvas.reshape(1)), 0);
}

}  // namespace
}  // namespace Vy::Analysis
