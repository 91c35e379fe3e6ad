// The profile measurement after the engine: rows logged once per frame (not for a
// frame shown again), a row that cannot be written said when it happens and counted.
#include "ProfileStep.h"

#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgproc.hpp>
#include <string>

#include "CVyException.h"
#include "CalibrationSamples.h"
#include "TestFiles.h"
#include "VyTypes.h"

namespace {

// A 16-bit total focus with a few bright discs.
CVyImage discs() {
    cv::Mat frame(48, 64, CV_16UC1, cv::Scalar(400));
    cv::circle(frame, {16, 16}, 3, cv::Scalar(12000), cv::FILLED);
    cv::circle(frame, {44, 30}, 4, cv::Scalar(12000), cv::FILLED);
    CVyImage image;
    image.Create(frame.cols, frame.rows, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, frame.data);
    return image;
}

FrameInfo frameInfo(int32_t number, bool again = false) {
    FrameInfo info;
    info.number = number;
    info.frameId = 100 + number;
    info.timeStamp = 1000.0 + number;
    info.again = again;
    info.type = DisplayType::Profile;
    return info;
}

size_t linesIn(const std::string& path) {
    std::ifstream file(path);
    size_t lines = 0;
    for (std::string line; std::getline(file, line);) ++lines;
    return lines;
}

}  // namespace

TEST(ProfileStep, EachFrameIsLoggedOnceAndAFrameShownAgainNotAtAll) {
    Vy::Test::ScratchDir dir;
    ProfileStep step(dir.File("VyProc_1.csv"));
    step.setUp(Vy::Analysis::ProfileSettings{}, Vy::Test::SmallCalibration());
    testing::internal::CaptureStdout();
    const ProfileStep::Picture first = step.measure(discs(), CVyImage(), frameInfo(0));
    step.measure(discs(), CVyImage(), frameInfo(0, true));
    step.measure(discs(), CVyImage(), frameInfo(1));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("0,", 0), 0u) << printed;
    EXPECT_EQ(first.image.GetWidth(), 64);
    EXPECT_EQ(first.image.GetPixelType(), static_cast<uint32_t>(Vy::PixelTypeBGR));
    EXPECT_EQ(step.rows(), 2u);
    EXPECT_EQ(step.rowsWritten(), 2u);
    EXPECT_EQ(linesIn(step.logFile()), 2u);
    EXPECT_EQ(step.particleTableFile(), step.logFile() + ".particles.csv");
    EXPECT_EQ(step.tableFailures(), 0u);
    EXPECT_GE(linesIn(step.particleTableFile()), 1u);
    EXPECT_THROW(step.measure(CVyImage(), CVyImage(), frameInfo(2)), CVyException);
}

TEST(ProfileStep, ARowThatCannotBeWrittenIsSaidOnceWhenItHappensAndCounted) {
    Vy::Test::ScratchDir dir;
    ProfileStep step(dir.File("missing/VyProc_1.csv"));
    step.setUp(Vy::Analysis::ProfileSettings{}, Vy::Test::SmallCalibration());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    step.measure(discs(), CVyImage(), frameInfo(0));
    const std::string afterFirst = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    step.measure(discs(), CVyImage(), frameInfo(1));
    const std::string afterSecond = testing::internal::GetCapturedStderr();
    const std::string printed = testing::internal::GetCapturedStdout();
    // The rows still reach the console: they are the run's record.
    EXPECT_NE(printed.find("\n1,"), std::string::npos) << printed;
    EXPECT_EQ(afterFirst, "MarlinProfileProc: the row of frame 0 could not be written to " + step.logFile() +
                              "; the summary counts the rows missing\n"
                              "MarlinProfileProc: the particle rows of frame 0 could not be written to " +
                              step.particleTableFile() + "; the summary counts the frames missing\n");
    EXPECT_EQ(afterSecond, "");
    EXPECT_EQ(step.rows(), 2u);
    EXPECT_EQ(step.rowsWritten(), 0u);
    EXPECT_EQ(step.tableFailures(), 2u);
}
