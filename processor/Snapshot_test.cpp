#include "Snapshot.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "TestFiles.h"

TEST(Snapshot, BothFilesKeepTheirBitDepthAndAFailedWriteIsOneLine) {
    Vy::Test::ScratchDir dir;
    const std::string base = Snapshot::baseName(dir.File("").substr(0, dir.File("").size() - 1), "run7.rays", 1042, 0);
    EXPECT_EQ(base, dir.File("run7.rays-frame1042-type0"));
    cv::Mat wide(6, 8, CV_16UC1);
    for (int i = 0; i < 48; ++i) wide.at<uint16_t>(i / 8, i % 8) = static_cast<uint16_t>(i * 300);
    const cv::Mat shown(6, 8, CV_8UC3, cv::Scalar(10, 20, 30));
    EXPECT_EQ(Snapshot::write(base, wide, shown), "snapshot: " + base + "-result.png " + base + "-view.png");
    const cv::Mat result = cv::imread(base + "-result.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(result.type(), CV_16UC1);
    EXPECT_EQ(cv::norm(result, wide, cv::NORM_INF), 0.0);  // lossless
    EXPECT_EQ(cv::imread(base + "-view.png", cv::IMREAD_UNCHANGED).type(), CV_8UC3);

    const std::string line = Snapshot::write(dir.File("missing/run7"), wide, shown);
    EXPECT_EQ(line, "snapshot not written (" + dir.File("missing/run7") + "-*.png: no such directory)");
    EXPECT_EQ(line.find('\n'), std::string::npos);
}
