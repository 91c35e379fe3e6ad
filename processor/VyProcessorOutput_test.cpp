// The frame output in viewer mode: rotation, the frame number, the
// viewer, and the recording checked with ffprobe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "Viewer.h"
#include "VyProcessor.h"

namespace {

CVyImage luminance16(int32_t width, int32_t height, uint16_t base) {
    std::vector<uint16_t> pixels(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(base + i);
    CVyImage image;
    image.Create(width, height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, pixels.data());
    return image;
}

class FrameOutput : public testing::Test {
protected:
    void SetUp() override {
        Viewer::setHeadless(true);
        dir = std::filesystem::temp_directory_path() / ("vyout_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        options.outputDir = dir.string();
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
    VyRunOptions options;
};

}  // namespace

TEST_F(FrameOutput, RotatesInPlaceNumbersAndShowsTheImage) {
    VyProcessor processor(options);
    std::vector<uint8_t> samples{10, 11, 12, 13, 14, 15, 16, 17};
    CVyImage image;
    image.Create(4, 2, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, samples.data());
    testing::internal::CaptureStdout();
    processor.outputFrame(image);
    const std::string printed = testing::internal::GetCapturedStdout();
    // No video is open: the writer takes the frame silently and records nothing.
    // The number is the count of frames done before this one.
    EXPECT_EQ(printed, "0\n");
    const auto* pixels = static_cast<const uint8_t*>(image.GetPixelData());
    // 180 degrees: the last sample comes first.
    EXPECT_EQ(pixels[0], 17);
    EXPECT_EQ(pixels[7], 10);
    EXPECT_EQ(pixels[3], 14);
    EXPECT_TRUE(processor.imageShown());
    EXPECT_EQ(processor.framesRecorded(), 0u);
}

TEST_F(FrameOutput, SixteenBitImagesAreReadInPlaceNotTurned) {
    // The pre-processed raw image: only the reduced frames are turned, and an
    // image shared with the engine is neither written nor copied.
    VyProcessor processor(options);
    CVyImage image = luminance16(4, 2, 100);
    const CVyImage shared = image;
    testing::internal::CaptureStdout();
    processor.outputFrame(image);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0\n");
    EXPECT_EQ(image.GetPixelData(), shared.GetPixelData());
    const auto* pixels = static_cast<const uint16_t*>(image.GetPixelData());
    for (int i = 0; i < 8; ++i) EXPECT_EQ(pixels[i], 100 + i);
    EXPECT_TRUE(processor.imageShown());
}

TEST_F(FrameOutput, EmptyImagesAreReportedAndStillNumbered) {
    VyProcessor processor(options);
    CVyImage empty;
    testing::internal::CaptureStdout();
    processor.outputFrame(empty);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("image empty\n0\n", 0), 0u) << printed;
    EXPECT_TRUE(processor.imageShown());
}

TEST_F(FrameOutput, RecordsGrayAndColourFramesAsA1024SquareVideo) {
    const std::string base = (dir / "data-trials-run7.rays").string();
    {
        VyProcessor processor(options);
        testing::internal::CaptureStdout();
        processor.openOutputVideo(base);
        ASSERT_TRUE(processor.recordingOpen());
        for (int i = 0; i < 5; ++i) {
            CVyImage gray = luminance16(300, 200, static_cast<uint16_t>(i * 1000));
            processor.outputFrame(gray);
        }
        // Twice the video side: handed over already halved.
        CVyImage sensor = luminance16(2048, 2048, 0);
        processor.outputFrame(sensor);
        // A colour image (the profile annotation, the depth colours) is recorded too.
        std::vector<uint8_t> bgr(64 * 48 * 3, 200);
        CVyImage colour;
        colour.Create(64, 48, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, bgr.data());
        processor.outputFrame(colour);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed, "0\n0\n0\n0\n0\n0\n0\n");
        processor.releaseVideo();
        EXPECT_EQ(processor.framesRecorded(), 7u);
    }
    const std::string probe = Vy::Test::CommandOutput(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,r_frame_rate,nb_read_frames -of csv=p=0 '" +
        base + ".mp4'");
    EXPECT_EQ(probe, "mpeg4,1024,1024,30/1,7\n");
}

TEST_F(FrameOutput, AVideoThatCannotBeOpenedIsReportedWithTheBasePath) {
    VyProcessor processor(options);
    testing::internal::CaptureStdout();
    processor.openOutputVideo((dir / "missing-dir" / "x.rays").string());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Could not open the output video for write: " + (dir / "missing-dir" / "x.rays").string() + "\n");
    EXPECT_FALSE(processor.recordingOpen());
}
