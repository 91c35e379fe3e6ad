// The recording's output: frames shown again are not recorded, a taken name
// gets a number, and the depth scale's name follows the recording's.
#include "RecorderOutput.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "TestFiles.h"
#include "VyTypes.h"

namespace {

CVyImage wide16(int32_t side) {
    std::vector<uint16_t> samples(static_cast<size_t>(side) * side, 4000);
    CVyImage image;
    image.Create(side, side, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, samples.data());
    return image;
}

}  // namespace

TEST(RecorderOutput, FramesShownAgainAreNotRecorded) {
    Vy::Test::ScratchDir dir;
    StageClock recordClock;
    RecorderOutput recording(recordClock);
    testing::internal::CaptureStderr();
    recording.open(dir.File("run"));
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(recording.isOpen());
    EXPECT_EQ(recording.fileName(), dir.File("run.mp4"));
    EXPECT_EQ(recording.depthScaleFileName(), dir.File("run.depth-scale.png"));
    FrameInfo info;
    for (bool again : {false, true, false, true, true}) {
        info.again = again;
        const TurnedFrame turned = turnFrame(wide16(64));
        ASSERT_FALSE(turned.recording.empty());
        recording.consume(OutputFrame{turned.image, turned, info});
    }
    recording.close();
    EXPECT_FALSE(recording.isOpen());
    EXPECT_EQ(recording.recorded(), 2u);
    EXPECT_EQ(recording.cutReason(), "");
}

TEST(RecorderOutput, ATakenNameGetsANumberAndAMissingDirectoryNoneAtAll) {
    Vy::Test::ScratchDir dir;
    StageClock recordClock;
    RecorderOutput first(recordClock), second(recordClock), lost(recordClock);
    testing::internal::CaptureStderr();
    first.open(dir.File("run"));
    second.open(dir.File("run"));
    const std::string said = testing::internal::GetCapturedStderr();
    const std::string line = "MarlinProfileProc: recording MPEG-4 (DIVX) under the MP4 tag 'mp4v'\n";
    EXPECT_EQ(said, line + line);
    EXPECT_EQ(first.fileName(), dir.File("run.mp4"));
    EXPECT_EQ(second.fileName(), dir.File("run-1.mp4"));
    EXPECT_EQ(second.depthScaleFileName(), dir.File("run-1.depth-scale.png"));

    testing::internal::CaptureStdout();
    lost.open(dir.File("missing/run"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Could not open the output video for write: " + dir.File("missing/run") + "\n");
    EXPECT_FALSE(lost.isOpen());
    EXPECT_EQ(lost.fileName(), "");
    EXPECT_EQ(lost.depthScaleFileName(), "");
    EXPECT_EQ(lost.openError(), dir.File("missing/run.mp4") + ": No such file or directory");
    first.close();
    second.close();
}

TEST(FrameRecorder, AFrameThatCannotBeConvertedIsCountedAsLostAndTheOthersAreRecorded) {
    Vy::Test::ScratchDir dir;
    FragmentedMp4Writer writer;
    ASSERT_TRUE(writer.open(dir.File("run.mp4"), FrameRecorder::kVideoSide, FrameRecorder::kVideoSide, 30.0));
    FrameRecorder recorder(writer, 2);
    testing::internal::CaptureStdout();
    recorder.record(cv::Mat(64, 64, CV_8UC1, cv::Scalar(100)));
    recorder.record(cv::Mat());  // nothing to convert
    recorder.record(cv::Mat(64, 64, CV_8UC3, cv::Scalar(1, 2, 3)));
    recorder.finish();
    testing::internal::GetCapturedStdout();
    writer.release();
    EXPECT_EQ(recorder.recorded(), 2u);
    EXPECT_EQ(recorder.lost(), 1u);
    EXPECT_NE(recorder.firstLoss().find("cvtColor"), std::string::npos) << recorder.firstLoss();
    EXPECT_EQ(recorder.cutReason(), "");
    EXPECT_TRUE(FrameRecorder::hasIndex(dir.File("run.mp4")));
}
