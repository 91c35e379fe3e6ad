#include "Snapshot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <opencv2/imgcodecs.hpp>

#include "DepthScale.h"
#include "TestFiles.h"

TEST(Snapshot, BothFilesKeepTheirBitDepthAndAFailedWriteIsOneLine) {
    Vy::Test::ScratchDir dir;
    const std::string base =
        Snapshot::baseName(dir.File("").substr(0, dir.File("").size() - 1), "run7.rays", 42, 1042, 0);
    EXPECT_EQ(base, dir.File("run7.rays-frame42-id1042-type0"));
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

namespace {

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// A snapshot taken twice of the same frame, and a depth scale beside a recording
// name used before, go to the next free name; what was there stays as it was.
TEST(NeverOverwritten, SnapshotsAndTheDepthScaleTakeTheNextFreeName) {
    Vy::Test::ScratchDir dir;
    const std::string base = dir.File("run7.rays-frame5-type2");
    const cv::Mat result(4, 4, CV_8UC1, cv::Scalar(7)), shown(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
    std::ofstream(base + "-result.png") << "earlier result";
    EXPECT_EQ(Snapshot::write(base, result, shown), "snapshot: " + base + "-1-result.png " + base + "-1-view.png");
    EXPECT_EQ(contentOf(base + "-result.png"), "earlier result");
    EXPECT_FALSE(std::filesystem::exists(base + "-view.png")) << "a pair keeps one number";
    EXPECT_EQ(Snapshot::write(base, result, shown), "snapshot: " + base + "-2-result.png " + base + "-2-view.png");
    EXPECT_EQ(cv::imread(base + "-2-result.png", cv::IMREAD_UNCHANGED).at<uint8_t>(0, 0), 7);

    const std::string scale = dir.File("run.depth-scale.png");
    std::ofstream(scale) << "earlier scale";
    std::string error;
    EXPECT_EQ(DepthScale::writePng(scale, 500.0, 3000.0, error), dir.File("run.depth-scale-1.png")) << error;
    EXPECT_EQ(contentOf(scale), "earlier scale");
    EXPECT_EQ(cv::imread(dir.File("run.depth-scale-1.png")).rows, 512);

    // Nowhere to write: one reason, and no empty file left behind.
    EXPECT_EQ(DepthScale::writePng(dir.File("missing/run.depth-scale.png"), 500.0, 3000.0, error), "");
    EXPECT_EQ(error, "no such directory");
    const cv::Mat none;
    EXPECT_EQ(Snapshot::write(dir.File("run8"), none, shown),
              "snapshot not written (" + dir.File("run8") + "-*.png: no frame on show)");
    EXPECT_FALSE(std::filesystem::exists(dir.File("run8-result.png")));
}
