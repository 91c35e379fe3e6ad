#include "ProfileLegend.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace {

int pixelsOf(const cv::Mat& image, const cv::Scalar& low, const cv::Scalar& high) {
    cv::Mat match;
    cv::inRange(image, low, high, match);
    return cv::countNonZero(match);
}

// The window's profile picture gets a strip with the counts in the outlines' own colours;
// the picture above it stays as it was.
TEST(ProfileLegend, CountsInTheOutlinesColoursUnderAnUntouchedPicture) {
    EXPECT_EQ(Viewer::profileLegendText(4, 1, 9),
              "5 accepted: 4 ellipses (green), 1 circle (red, too few points to fit); 9 rejected (not drawn)");
    EXPECT_EQ(Viewer::profileLegendText(1, 0, 1),
              "1 accepted: 1 ellipse (green), 0 circles (red, too few points to fit); 1 rejected (not drawn)");

    for (const int width : {512, 1024, 160}) {
        cv::Mat picture(width, width, CV_8UC3, cv::Scalar(40, 40, 40));
        cv::circle(picture, {width / 2, width / 2}, width / 8, cv::Scalar(0, 255, 0), 1);
        const cv::Mat both = Viewer::withProfileLegend(picture, 4, 1, 9);
        SCOPED_TRACE(width);
        ASSERT_EQ(both.cols, width);
        ASSERT_GT(both.rows, width);
        EXPECT_LT(both.rows, width + width / 8) << "a small strip";
        EXPECT_EQ(cv::norm(both(cv::Rect(0, 0, width, width)), picture, cv::NORM_INF), 0.0);
        const cv::Mat strip = both(cv::Rect(0, width, width, both.rows - width));
        EXPECT_GT(pixelsOf(strip, cv::Scalar(0, 120, 0), cv::Scalar(80, 255, 80)), 20) << "green words";
        EXPECT_GT(pixelsOf(strip, cv::Scalar(0, 0, 120), cv::Scalar(80, 80, 255)), 20) << "red words";
        // The line ends inside the strip: nothing written on its last column.
        EXPECT_EQ(pixelsOf(strip.col(width - 1), cv::Scalar(100, 100, 100), cv::Scalar(255, 255, 255)), 0);
    }
}

}  // namespace
