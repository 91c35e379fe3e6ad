// Importing frames from image files: order, depth, time stamps, and the bad inputs users bring.
#include "FrameImporter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyException.h"
#include "CameraDesign.h"
#include "TestFiles.h"

using namespace Vy::Synth;

namespace {

class FrameImporterTest : public Vy::Test::ScratchDirTest {
protected:
    void SetUp() override {
        Vy::Test::ScratchDirTest::SetUp();
        std::filesystem::create_directories(dir_ / "frames");
        std::ofstream(path("cal.txt")) << defaultCalibration(kW, kH).ToText();
        options.inputs = {path("frames")};
        options.calibration = path("cal.txt");
        options.startMs = 1000.0;
        options.firstId = 7;
    }
    // A 12-bit frame whose every pixel says which frame it is.
    cv::Mat1w frame(int n) const { return cv::Mat1w(kH, kW, static_cast<uint16_t>(100 + n * 300)); }
    void writeFrames(int count) {
        for (int n = 0; n < count; ++n) cv::imwrite(path("frames/frame_" + std::to_string(n) + ".png"), frame(n));
    }
    std::string errorOf() {
        try {
            importSequence(path("out.rays"), options, nullptr, nullptr);
        } catch (const CVyException& e) {
            EXPECT_FALSE(std::filesystem::exists(path("out.rays"))) << "left a file behind for: " << e.what();
            return e.what();
        }
        return "";
    }
    static constexpr int kW = 96, kH = 80;
    ImportOptions options;
};

TEST_F(FrameImporterTest, FramesKeepTheirOrderDepthAndTimes) {
    writeFrames(12);  // frame_10 and frame_11 sort after frame_9
    options.bits = 12;
    // The white image kept beside the frames is not a frame.
    cv::imwrite(path("frames/white.png"), cv::Mat1w(kH, kW, uint16_t{4000}));
    options.white = path("frames/white.png");
    const ImportSummary s = importSequence(path("out.rays"), options, nullptr, nullptr);
    EXPECT_EQ(s.frames, 12u);
    EXPECT_EQ(s.bytes, 12u * kW * kH * 2);
    CSeqFileReader reader;
    reader.Open(path("out.rays"), 0);
    EXPECT_EQ(reader.GetSignificantBits(), 12);
    CRayImage image;
    reader.StartReading(image);
    for (int n = 0; n < 12; ++n) {
        reader.ReadFrame(image);
        EXPECT_EQ(static_cast<const uint16_t*>(image.GetPixelData())[5], 100 + n * 300) << n;
        EXPECT_EQ(image.frameId, 7 + n);
        EXPECT_DOUBLE_EQ(image.timeStamp, 1000.0 + n * 40.0);
    }

    EXPECT_FALSE(image.GetWhiteImage().IsEmpty());
    std::ofstream(path("times.csv")) << "ms\n5\n6.5\n9\n";
    options.timestamps = path("times.csv");
    options.inputs = {path("frames/frame_2.png"), path("frames/frame_10.png"), path("frames/frame_1.png")};
    importSequence(path("out.rays"), options, nullptr, nullptr);
    reader.Open(path("out.rays"), 0);
    reader.StartReading(image);
    const double stamps[] = {5, 6.5, 9};
    const int order[] = {1, 2, 10};
    for (int n = 0; n < 3; ++n) {
        reader.ReadFrame(image);
        EXPECT_EQ(static_cast<const uint16_t*>(image.GetPixelData())[0], 100 + order[n] * 300);
        EXPECT_DOUBLE_EQ(image.timeStamp, stamps[n]);
    }
}

TEST_F(FrameImporterTest, AStopLeavesASequenceOfWholeFrames) {
    writeFrames(5);
    std::atomic<bool> stop{true};
    const ImportSummary s = importSequence(path("out.rays"), options, nullptr, &stop);
    EXPECT_TRUE(s.interrupted);
    CSeqFileReader reader;
    reader.Open(path("out.rays"), 0);
    EXPECT_EQ(reader.GetFrameCount(), 1u);
    EXPECT_EQ(reader.GetPromisedFrameCount(), 1u);
}

TEST_F(FrameImporterTest, BadInputIsOneLineNamingTheFileAndWritesNothing) {
    EXPECT_NE(errorOf().find("frames: folder holds no PNG, TIFF or PGM images"), std::string::npos);
    writeFrames(3);
    std::ofstream(path("frames/frame_1.png")) << "not a png";
    EXPECT_NE(errorOf().find("frame_1.png: cannot decode the image"), std::string::npos);
    cv::imwrite(path("frames/frame_1.png"), cv::Mat1w(kH + 2, kW, uint16_t{5}));
    EXPECT_NE(errorOf().find("frame_1.png: size 96x82 differs from the first frame's 96x80"), std::string::npos);
    cv::imwrite(path("frames/frame_1.png"), cv::Mat3b(kH, kW, cv::Vec3b(1, 2, 3)));
    EXPECT_NE(errorOf().find("frame_1.png: the image has 3 channels"), std::string::npos);
    cv::imwrite(path("frames/frame_1.png"), cv::Mat1b(kH, kW, uint8_t{5}));
    EXPECT_NE(errorOf().find("frame_1.png: 8-bit image among 16-bit ones"), std::string::npos);
    cv::imwrite(path("frames/frame_1.png"), frame(1));

    options.bits = 10;  // the good frames hold at most 700
    cv::imwrite(path("frames/frame_2.png"), cv::Mat1w(kH, kW, uint16_t{1024}));
    EXPECT_NE(errorOf().find("frame_2.png: value 1024 does not fit in 10 bits"), std::string::npos);
    options.bits = 0;

    cv::imwrite(path("white.png"), cv::Mat1w(kH / 2, kW, uint16_t{9}));
    options.white = path("white.png");
    EXPECT_NE(errorOf().find("white.png: white image is 96x40, frames are 96x80"), std::string::npos);
    cv::imwrite(path("white.png"), cv::Mat1w(kH, kW, uint16_t{9}));
    options.calibration.clear();
    options.calibrate = true;
    EXPECT_NE(errorOf().find("white.png: white image is flat"), std::string::npos);
    options.calibrate = false;
    options.white.clear();

    std::ofstream(path("bad.txt")) << "lensPitch = 2\n";
    options.calibration = path("bad.txt");
    EXPECT_NE(errorOf().find("bad.txt"), std::string::npos);
    std::ofstream(path("bad.txt")) << "sensorWidth = 96\nsensorHeight = 80\nnoSuchKey = 1\n";
    EXPECT_NE(errorOf().find("bad.txt:3"), std::string::npos);
    options.calibration = path("cal.txt");
    std::filesystem::create_directories(path("out.rays"));
    EXPECT_THROW(importSequence(path("out.rays"), options, nullptr, nullptr), CVyException);
    EXPECT_TRUE(std::filesystem::is_directory(path("out.rays")));
}

}  // namespace
