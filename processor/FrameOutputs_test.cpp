// The outputs of a run that shows and records: the turn, the frame number, the
// viewer and the recording (checked with ffprobe); each output takes only the
// frame it is handed, so their order does not matter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "RecorderOutput.h"
#include "TestFiles.h"
#include "Viewer.h"
#include "ViewerOutput.h"
#include "VyProcessor.h"
#include "VyTypes.h"

namespace {

CVyImage luminance16(int32_t width, int32_t height, uint16_t base) {
    std::vector<uint16_t> pixels(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(base + i);
    CVyImage image;
    image.Create(width, height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, pixels.data());
    return image;
}

CVyImage colourImage(int32_t width, int32_t height, uint8_t value) {
    std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3, value);
    CVyImage colour;
    colour.Create(width, height, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, bgr.data());
    return colour;
}

std::string fileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class FrameOutputs : public testing::Test {
protected:
    void SetUp() override { Viewer::setHeadless(true); }
    // The frames below through the window and the recording at base, in either order; returns what was printed.
    std::string showAndRecord(const std::string& base, bool recorderFirst) {
        StageClock showClock, recordClock;
        ViewerOutput viewer(showClock);
        RecorderOutput recording(recordClock);
        testing::internal::CaptureStderr();
        recording.open(base);
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(recording.isOpen());
        std::vector<CVyImage> frames;
        for (int i = 0; i < 5; ++i) frames.push_back(luminance16(300, 200, static_cast<uint16_t>(i * 1000)));
        // Twice the video side: handed over already halved.
        frames.push_back(luminance16(2048, 2048, 0));
        // A colour image (the profile annotation, the depth colours) is recorded too.
        frames.push_back(colourImage(64, 48, 200));
        testing::internal::CaptureStdout();
        FrameInfo info;
        for (const CVyImage& image : frames) {
            const TurnedFrame turned = turnFrame(image);
            const OutputFrame frame{turned.image, turned, info};
            std::vector<FrameSink*> outputs{&viewer, &recording};
            if (recorderFirst) std::swap(outputs[0], outputs[1]);
            for (FrameSink* output : outputs) output->consume(frame);
            ++info.number;
        }
        const std::string printed = testing::internal::GetCapturedStdout();
        recording.close();
        EXPECT_EQ(recording.recorded(), 7u);
        return printed;
    }
    Vy::Test::ScratchDir dir;
};

}  // namespace

TEST_F(FrameOutputs, TheTurnReversesTheSamplesAndLeavesTheEnginesImageAlone) {
    std::vector<uint8_t> samples{10, 11, 12, 13, 14, 15, 16, 17};
    CVyImage image;
    image.Create(4, 2, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, samples.data());
    const TurnedFrame turned = turnFrame(image);
    ASSERT_FALSE(turned.wide);
    const auto* pixels = static_cast<const uint8_t*>(turned.image.GetPixelData());
    // 180 degrees: the last sample comes first.
    EXPECT_EQ(pixels[0], 17);
    EXPECT_EQ(pixels[7], 10);
    EXPECT_EQ(pixels[3], 14);
    EXPECT_EQ(turned.view.data, turned.image.GetPixelData());
    // The image it was made from (shared with the engine, or the profile picture) is unchanged.
    EXPECT_EQ(static_cast<const uint8_t*>(image.GetPixelData())[0], 10);
}

TEST_F(FrameOutputs, SixteenBitImagesAreReadInPlaceNotTurned) {
    // The pre-processed raw image: only the reduced frames are turned, and an
    // image shared with the engine is neither written nor copied.
    const CVyImage image = luminance16(4, 2, 100);
    const TurnedFrame turned = turnFrame(image);
    ASSERT_TRUE(turned.wide);
    EXPECT_EQ(turned.image.GetPixelData(), image.GetPixelData());
    const auto* pixels = static_cast<const uint16_t*>(image.GetPixelData());
    for (int i = 0; i < 8; ++i) EXPECT_EQ(pixels[i], 100 + i);
    // value / 64, turned: the last sample first.
    ASSERT_EQ(turned.recording.type(), CV_8UC1);
    EXPECT_EQ(turned.recording.at<uint8_t>(0, 0), 2);
    StageClock clock;
    ViewerOutput viewer(clock);
    testing::internal::CaptureStdout();
    viewer.consume(OutputFrame{turned.image, turned, FrameInfo{}});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0\n");
    EXPECT_TRUE(viewer.imageShown());
}

TEST_F(FrameOutputs, EmptyImagesAreReportedAndStillNumbered) {
    StageClock clock;
    ViewerOutput viewer(clock);
    const TurnedFrame turned = turnFrame(CVyImage());
    testing::internal::CaptureStdout();
    viewer.consume(OutputFrame{turned.image, turned, FrameInfo{}});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "image empty\n0\n");
    EXPECT_TRUE(viewer.imageShown());
}

TEST_F(FrameOutputs, RecordsGrayAndColourFramesAsA1024SquareVideoInWhicheverOrderTheOutputsRun) {
    const std::string viewerFirst = dir.File("viewer-first"), recorderFirst = dir.File("recorder-first");
    EXPECT_EQ(showAndRecord(viewerFirst, false), "0\n1\n2\n3\n4\n5\n6\n");
    EXPECT_EQ(showAndRecord(recorderFirst, true), "0\n1\n2\n3\n4\n5\n6\n");
    const std::string probe = Vy::Test::CommandOutput(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,r_frame_rate,nb_read_frames -of csv=p=0 '" +
        viewerFirst + ".mp4'");
    EXPECT_EQ(probe, "mpeg4,1024,1024,30/1,7\n");
    const std::string first = fileBytes(viewerFirst + ".mp4");
    EXPECT_GT(first.size(), 1000u);
    EXPECT_TRUE(first == fileBytes(recorderFirst + ".mp4"));
}

TEST_F(FrameOutputs, AVideoThatCannotBeOpenedIsReportedWithTheBasePath) {
    VyRunOptions options;
    options.outputDir = dir.Path();
    VyProcessor processor(options);
    testing::internal::CaptureStdout();
    processor.openOutputVideo(dir.File("missing-dir/x.rays"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Could not open the output video for write: " + dir.File("missing-dir/x.rays") + "\n");
    const RunReport report = processor.report();
    EXPECT_EQ(report.videoFile, "");
    EXPECT_EQ(report.videoOpenError, dir.File("missing-dir/x.rays.mp4") + ": No such file or directory");
}
