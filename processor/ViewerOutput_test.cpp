// The window's output after the turn: the numbers it prints, the series
// flag, snapshots of 8-bit and 16-bit frames, and the depth scale written once.
#include "ViewerOutput.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "CalibrationSamples.h"
#include "CameraModel.h"
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
    std::string output(const CVyImage& image, const FrameInfo& info, ViewerOutput* to = nullptr,
                       const CVyImage* depth = nullptr) {
        testing::internal::CaptureStdout();
        const TurnedFrame turned = turnFrame(image);
        (to ? *to : viewer).consume(OutputFrame{turned.image, turned, info, depth});
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

TEST_F(ViewerOutputTest, ASnapshotOfTheDepthPictureWritesTheDepthInMillimetresTurnedLikeThePicture) {
    const CCalibration calibration = Vy::Test::SmallCalibration();
    DepthSnapshot depthFiles;
    depthFiles.setUp(calibration, 2, 2.0, 6.0, "run7.rays");
    viewer.setDepthSnapshot(depthFiles);
    // 3 x 2 virtual depths, one of them without a value.
    std::vector<float> virtualDepths{2.5f, 3.0f, 0.0f, 4.0f, 5.0f, 5.5f};
    CVyImage depth;
    depth.Create(3, 2, Vy::PixelTypeLuminance, Vy::DataTypeFloat, virtualDepths.data());
    std::vector<uint8_t> bgr(3 * 2 * 3, 90);
    CVyImage colours;
    colours.Create(3, 2, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, bgr.data());
    FrameInfo info;
    info.type = DisplayType::Depth;
    info.number = 4;
    info.frameId = 1042;
    info.snapshotBase = dir.File("run7.rays-frame4-id1042-type2");
    const std::string base = info.snapshotBase;
    EXPECT_EQ(output(colours, info, nullptr, &depth), "4\nsnapshot: " + base + "-result.png " + base + "-view.png " +
                                                          base + "-depth-mm.tiff " + base + "-depth-mm.tiff.json\n");
    const cv::Mat mm = cv::imread(base + "-depth-mm.tiff", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(mm.type(), CV_32FC1);
    ASSERT_EQ(mm.size(), cv::Size(3, 2));
    // Turned: the TIFF's pixel (x, y) is the depth map's (2 - x, 1 - y).
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            const float v = virtualDepths[(1 - y) * 3 + (2 - x)];
            if (v == 0.0f) {
                EXPECT_TRUE(std::isnan(mm.at<float>(y, x))) << x << "," << y;
            } else {
                EXPECT_NEAR(mm.at<float>(y, x), Vy::Model::distanceFromVirtualDepth(calibration, v),
                            1e-3 * Vy::Model::distanceFromVirtualDepth(calibration, v))
                    << x << "," << y;
            }
        }
    }
    std::ifstream sidecar(base + "-depth-mm.tiff.json");
    const std::string json{std::istreambuf_iterator<char>(sidecar), {}};
    EXPECT_NE(json.find("\"file\": \"run7.rays-frame4-id1042-type2-depth-mm.tiff\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"frame_id\": 1042"), std::string::npos) << json;
    EXPECT_NE(json.find("\"units\": \"mm"), std::string::npos) << json;

    // Taken again: the four files share the next number, the sidecar names its own TIFF.
    EXPECT_EQ(output(colours, info, nullptr, &depth), "4\nsnapshot: " + base + "-1-result.png " + base +
                                                          "-1-view.png " + base + "-1-depth-mm.tiff " + base +
                                                          "-1-depth-mm.tiff.json\n");
    std::ifstream again(base + "-1-depth-mm.tiff.json");
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(again), {}).find("type2-1-depth-mm.tiff\""),
              std::string::npos);

    // Other display types write the pictures only.
    info.type = DisplayType::TotalFocus;
    info.snapshotBase = dir.File("run7.rays-frame4-id1042-type1");
    EXPECT_EQ(output(colours, info, nullptr, &depth),
              "4\nsnapshot: " + info.snapshotBase + "-result.png " + info.snapshotBase + "-view.png\n");
}
