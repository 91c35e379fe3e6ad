// The window's output after the turn: the numbers it prints, the series
// flag, snapshots of 8-bit and 16-bit frames, and the depth scale written once.
#include "ViewerOutput.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "TestFiles.h"
#include "Viewer.h"
#include "VyTypes.h"

namespace {

CVyImage gray8(std::vector<uint8_t> samples, int32_t width, int32_t height) {
    CVyImage image;
    image.Create(width, height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, samples.data());
    return image;
}

class ViewerOutputTest : public testing::Test {
protected:
    void SetUp() override { Viewer::setHeadless(true); }
    // The turn and the window, as the processor runs them; returns what was printed.
    std::string output(const CVyImage& image, const FrameInfo& info, ViewerOutput* to = nullptr) {
        testing::internal::CaptureStdout();
        const TurnedFrame turned = turnFrame(image);
        (to ? *to : viewer).consume(OutputFrame{turned.image, turned, info});
        return testing::internal::GetCapturedStdout();
    }
    StageClock showClock;
    ViewerOutput viewer{showClock};
    Vy::Test::ScratchDir dir;
};

}  // namespace

TEST_F(ViewerOutputTest, PrintsTheGivenNumberAndKeepsTheSeriesFlagForFramesShownAgain) {
    CVyImage image = gray8({1, 2, 3, 4}, 2, 2);
    FrameInfo info;
    info.number = 41;
    info.again = true;
    // Shown again: the number is printed, but the series has not begun.
    EXPECT_EQ(output(image, info), "41\n");
    EXPECT_FALSE(viewer.imageShown());
    info.again = false;
    info.number = 42;
    EXPECT_EQ(output(image, info), "42\n");
    EXPECT_TRUE(viewer.imageShown());
    viewer.beginSeries();
    EXPECT_FALSE(viewer.imageShown());
    EXPECT_GT(showClock.milliseconds(), 0.0);
}

TEST_F(ViewerOutputTest, SnapshotsHoldTheFrameAsShownAtItsOwnDepth) {
    // 8-bit: turned, written as it is.
    CVyImage narrow = gray8({10, 20, 30, 40, 50, 60}, 3, 2);
    FrameInfo info;
    info.number = 3;
    info.snapshotBase = dir.File("seq-frame7-type0");
    std::string printed = output(narrow, info);
    EXPECT_EQ(printed, "3\nsnapshot: " + info.snapshotBase + "-result.png " + info.snapshotBase + "-view.png\n");
    cv::Mat result = cv::imread(info.snapshotBase + "-result.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(result.type(), CV_8UC1);
    EXPECT_EQ(result.at<uint8_t>(0, 0), 60);
    EXPECT_EQ(result.at<uint8_t>(1, 2), 10);

    // 16-bit: the samples stay unturned in the image; the snapshot is turned, 16-bit,
    // and its view holds the top eight of the fourteen bits.
    std::vector<uint16_t> samples{64, 128, 16383, 0};
    CVyImage wide;
    wide.Create(2, 2, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, samples.data());
    info.snapshotBase = dir.File("seq-frame8-type0");
    printed = output(wide, info);
    EXPECT_EQ(printed, "3\nsnapshot: " + info.snapshotBase + "-result.png " + info.snapshotBase + "-view.png\n");
    EXPECT_EQ(static_cast<const uint16_t*>(wide.GetPixelData())[0], 64);
    result = cv::imread(info.snapshotBase + "-result.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(result.type(), CV_16UC1);
    EXPECT_EQ(result.at<uint16_t>(0, 0), 0);
    EXPECT_EQ(result.at<uint16_t>(0, 1), 16383);
    const cv::Mat view = cv::imread(info.snapshotBase + "-view.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(view.type(), CV_8UC1);
    EXPECT_EQ(view.at<uint8_t>(0, 1), 255);
    EXPECT_EQ(view.at<uint8_t>(1, 1), 1);

    // Without a request nothing is written.
    info.snapshotBase.clear();
    EXPECT_EQ(output(narrow, info), "3\n");
}

TEST_F(ViewerOutputTest, TheDepthScaleIsWrittenOnceBesideTheRecordingForDepthPicturesOnly) {
    const std::string scale = dir.File("run.depth-scale.png");
    viewer.setDepthColours(500.0, 3000.0);
    viewer.setDepthScaleFile(scale);
    std::vector<uint8_t> bgr(4 * 4 * 3, 90);
    CVyImage colours;
    colours.Create(4, 4, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, bgr.data());
    FrameInfo info;
    info.type = DisplayType::TotalFocus;
    EXPECT_EQ(output(colours, info), "0\n");
    EXPECT_FALSE(std::filesystem::exists(scale));
    info.type = DisplayType::Depth;
    EXPECT_EQ(output(colours, info), "0\ndepth scale: " + scale + "\n");
    EXPECT_TRUE(std::filesystem::exists(scale));
    EXPECT_EQ(output(colours, info), "0\n");

    // A directory that cannot be written to is said once, and the frames go on.
    ViewerOutput unwritable(showClock);
    const std::string missing = dir.File("missing/run.depth-scale.png");
    unwritable.setDepthScaleFile(missing);
    std::string printed = output(colours, info, &unwritable);
    printed += output(colours, info, &unwritable);
    EXPECT_EQ(printed.rfind("0\ndepth scale not written (" + missing + ": ", 0), 0u) << printed;
    EXPECT_TRUE(printed.ends_with(")\n0\n")) << printed;
}
