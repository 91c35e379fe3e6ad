#include "VyProcessor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include "CVyException.h"
#include "CalibrationSamples.h"
#include "Viewer.h"

namespace {

VyRunOptions headlessOptions(const std::string& settings = "") {
    Viewer::setHeadless(true);
    VyRunOptions options;
    options.outputDir = "/tmp";
    options.settingsPath = settings;
    return options;
}

CVyImage frame(int32_t id) {
    CVyImage image;
    CVyImageFormat format{8, 8, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte};
    image.Create(format);
    image.frameId = id;
    return image;
}

// One frame through the outputs: the viewer then counts it as shown.
void showOneFrame(VyProcessor& processor) {
    CVyImage image = frame(0);
    testing::internal::CaptureStdout();
    processor.outputFrame(image);
    testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(VyProcessor, ConstructionStartsInProfileModeWithAFreshLogName) {
    testing::internal::CaptureStdout();
    VyProcessor processor(headlessOptions());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Initializing PanoraTool...\n");
    EXPECT_EQ(processor.currentDisplayType(), DisplayType::Profile);
    EXPECT_EQ(processor.refocusPosition(), 0.5);
    EXPECT_FALSE(processor.isCalibrated());
    EXPECT_FALSE(processor.isReady());
    EXPECT_FALSE(processor.imageShown());
    EXPECT_FALSE(processor.publishes());
    EXPECT_FALSE(processor.recordingOpen());
    EXPECT_EQ(processor.queueCapacity(), 512u);
    EXPECT_EQ(processor.lcmHandle(), nullptr);  // only a publishing run talks to LCM
    // 100 ns ticks since 1582: 18 digits for present-day dates.
    EXPECT_TRUE(std::regex_match(processor.logFile(), std::regex("/tmp/VyProc_[0-9]{18}\\.csv")))
        << processor.logFile();
}

TEST(VyProcessor, LogNameCountsTicksSinceTheGregorianCalendarBegan) {
    // 2026-12-08 00:00:00 UTC
    EXPECT_EQ(profileLogFileName("E:", 1796688000000000LL), "E:/VyProc_140159808000000000.csv");
    EXPECT_EQ(profileLogFileName("out", 0), "out/VyProc_122192928000000000.csv");
}

TEST(VyProcessor, StartIsRefusedWithoutCalibration) {
    VyProcessor processor(headlessOptions());
    testing::internal::CaptureStdout();
    EXPECT_EQ(processor.startProcessor(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't start processor thread without calibration.\n");
    EXPECT_FALSE(processor.isThreadRunning());
    EXPECT_EQ(processor.viewerHandle(), 0);
}

TEST(VyProcessor, MissingSettingsFileLeavesItUncalibrated) {
    VyProcessor processor(headlessOptions("/nonexistent/CurrentSettings-2019-08-09.vyset"));
    try {
        processor.setupCompute(Vy::Test::SmallCalibration());
        FAIL() << "setupCompute accepted a missing settings file";
    } catch (const CVyException& exception) {
        EXPECT_NE(std::string(exception.ToString(true).ToCString()).find("/nonexistent/"), std::string::npos);
    }
    EXPECT_FALSE(processor.isCalibrated());
    testing::internal::CaptureStdout();
    EXPECT_EQ(processor.startProcessor(), 1);
    testing::internal::GetCapturedStdout();
}

TEST(VyProcessor, SettingUpWithTheShippedSettingsCalibratesAndStarts) {
    VyProcessor processor(headlessOptions());
    processor.setupCompute(Vy::Test::SmallCalibration());
    EXPECT_TRUE(processor.isCalibrated());
    EXPECT_EQ(processor.startProcessor(), 0);
    EXPECT_TRUE(processor.isThreadRunning());
    EXPECT_GT(processor.viewerHandle(), 0);
    testing::internal::CaptureStdout();
    processor.startProcessor();  // a second start only prints the refusal of the thread base
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "- name:  - Cannot start, thread already running.");
    processor.stopThread();
    processor.waitForThread();
    EXPECT_FALSE(processor.isThreadRunning());
}

TEST(VyProcessor, DisplayTypeChangesClearTheSeriesFlag) {
    VyProcessor processor(headlessOptions());
    showOneFrame(processor);
    processor.setDisplayType(DisplayType::Profile);  // unchanged: the flag stays
    EXPECT_TRUE(processor.imageShown());
    processor.setDisplayType(DisplayType::TotalFocus);
    EXPECT_EQ(processor.currentDisplayType(), DisplayType::TotalFocus);
    EXPECT_FALSE(processor.imageShown());
    showOneFrame(processor);
    processor.setDisplayType(DisplayType::TotalFocus);
    EXPECT_TRUE(processor.imageShown());
    // Any value is taken, even one without a pipeline: it shows the raw image and says so by its number.
    processor.setDisplayType(static_cast<DisplayType>(-7));
    EXPECT_EQ(displayTypeNumber(processor.currentDisplayType()), -7);
    EXPECT_FALSE(processor.imageShown());
    EXPECT_NE(processor.statusText().find(" | type -7 raw | "), std::string::npos) << processor.statusText();
}

TEST(VyProcessor, AFullQueueWaitsForRoomInsteadOfDroppingFrames) {
    VyProcessor processor(headlessOptions());
    for (int32_t id = 0; id < 512; ++id) {
        ASSERT_TRUE(processor.addFrame(frame(id)));
    }
    // Without a way to wait, a full queue drops the frame and says so.
    testing::internal::CaptureStdout();
    EXPECT_FALSE(processor.addFrame(frame(512)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "proc: dropped Frame!\n");
    EXPECT_EQ(processor.framesDropped(), 1u);

    // With one, the frame goes in as soon as the consumer frees a slot.
    std::thread consumer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        CVyImage taken;
        processor.takeQueuedFrame(taken);
    });
    testing::internal::CaptureStdout();
    EXPECT_TRUE(processor.addFrame(frame(513), [] { return true; }));
    consumer.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(processor.framesQueued(), 512u);

    // A reader stopped while it waits abandons the frame with the message.
    std::atomic<bool> running{true};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        running = false;
    });
    testing::internal::CaptureStdout();
    EXPECT_FALSE(processor.addFrame(frame(514), [&] { return running.load(); }));
    stopper.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "proc: dropped Frame!\n");
    EXPECT_EQ(processor.framesDropped(), 2u);
}

TEST(VyProcessor, AnIdleProcessorStopsPromptly) {
    // The end of every run waits for this: a long wait for frames that will not
    // come showed as a second added to each run's time and cut its rate.
    VyProcessor processor(headlessOptions());
    processor.startThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto asked = std::chrono::steady_clock::now();
    processor.stopThread();
    processor.waitForThread();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
}

// A frame whose computation fails is reported and not counted, in every display type:
// a run where every frame fails must not read as a run that processed them.
TEST(VyProcessor, AFrameThatFailsIsReportedAndNotCountedAsProcessed) {
    // The report's key wait must not need a key: stdin is at its end.
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    close(null);
    for (const DisplayType type : {DisplayType::Profile, DisplayType::TotalFocus}) {
        testing::internal::CaptureStdout();
        VyProcessor processor(headlessOptions());
        processor.setupCompute(Vy::Test::SmallCalibration());
        processor.setDisplayType(type);
        processor.markReady();
        ASSERT_EQ(processor.startProcessor(), 0);
        ASSERT_TRUE(processor.addFrame(frame(1)));  // 8 x 8: not the calibration's 64 x 48
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (processor.framesQueued() > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        processor.stopThread();
        processor.waitForThread();
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_NE(printed.find("Exception occured:\nCCudaCompute::Compute_PreProcess"), std::string::npos) << printed;
        EXPECT_EQ(processor.framesProcessed(), 0u) << displayTypeNumber(type);
        EXPECT_EQ(processor.profileRows(), 0u);
    }
}
