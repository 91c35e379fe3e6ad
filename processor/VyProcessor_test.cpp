#include "VyProcessor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "CVyException.h"
#include "CalibrationSamples.h"
#include "TestFiles.h"
#include "Viewer.h"

namespace {

VyRunOptions headlessOptions(const std::string& settings = "") {
    Viewer::setHeadless(true);
    VyRunOptions options;
    options.outputDir = "/tmp";
    options.settingsPath = settings;
    return options;
}

// side 8: a frame of the wrong size for the small calibration (64 x 48), which the engine refuses.
CVyImage frame(int32_t id, int32_t width = 8, int32_t height = 8) {
    CVyImage image;
    CVyImageFormat format{width, height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte};
    image.Create(format);
    image.frameId = id;
    return image;
}

// Waits until the processor has done `count` frames (at most ten seconds).
void waitForProcessed(const VyProcessor& processor, uint64_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (processor.report().processed < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

TEST(VyProcessor, ConstructionStartsInProfileModeWithAFreshLogName) {
    testing::internal::CaptureStdout();
    VyProcessor processor(headlessOptions());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Initializing PanoraTool...\n");
    EXPECT_EQ(processor.currentDisplayType(), DisplayType::Profile);
    EXPECT_EQ(processor.refocusDistanceMm(), 0.0);
    EXPECT_FALSE(processor.isCalibrated());
    EXPECT_FALSE(processor.imageShown());
    const RunReport report = processor.report();
    EXPECT_FALSE(report.publishes);
    EXPECT_FALSE(report.lcmReady);  // only a publishing run talks to LCM
    EXPECT_EQ(report.videoFile, "");
    EXPECT_EQ(report.processed + report.dropped + report.profileRows, 0u);
    // 100 ns ticks since 1582: 18 digits for present-day dates.
    EXPECT_TRUE(std::regex_match(report.logFile, std::regex("/tmp/VyProc_[0-9]{18}\\.csv"))) << report.logFile;
}

TEST(VyProcessor, LogNameCountsTicksSinceTheGregorianCalendarBegan) {
    // 2026-12-08 00:00:00 UTC
    EXPECT_EQ(profileLogFileName("E:", 1796688000000000LL), "E:/VyProc_140159808000000000.csv");
    EXPECT_EQ(profileLogFileName("out", 0), "out/VyProc_122192928000000000.csv");
}

// A named run never continues an earlier run's log, table, track summary or chart.
TEST(VyProcessor, ANamedLogTakesTheFirstNameNoFileOfItsRunHolds) {
    Vy::Test::ScratchDir dir;
    const std::string out = dir.File("");
    EXPECT_EQ(namedProfileLogFileName(out, "b7"), out + "/VyProc_b7.csv");
    std::ofstream(out + "/VyProc_b7.csv") << "0\n";
    std::ofstream(out + "/VyProc_b7-1.csv.tracks.csv") << "\n";
    EXPECT_EQ(namedProfileLogFileName(out, "b7"), out + "/VyProc_b7-2.csv");
    VyRunOptions named = headlessOptions();
    named.outputDir = out;
    named.runName = "b7";
    EXPECT_EQ(VyProcessor(named).report().logFile, out + "/VyProc_b7-2.csv");
}

TEST(VyProcessor, StartIsRefusedWithoutCalibration) {
    VyProcessor processor(headlessOptions());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(processor.startProcessor());
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
    EXPECT_FALSE(processor.startProcessor());
    testing::internal::GetCapturedStdout();
}

TEST(VyProcessor, SettingUpWithTheShippedSettingsCalibratesAndStarts) {
    VyProcessor processor(headlessOptions());
    processor.setupCompute(Vy::Test::SmallCalibration());
    EXPECT_TRUE(processor.isCalibrated());
    EXPECT_TRUE(processor.startProcessor());
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
    processor.setupCompute(Vy::Test::SmallCalibration());
    processor.setDisplayType(DisplayType::Raw);
    processor.markReady();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(processor.startProcessor());
    ASSERT_TRUE(processor.addFrame(frame(0, 64, 48)));
    waitForProcessed(processor, 1);
    EXPECT_TRUE(processor.imageShown());
    processor.setDisplayType(DisplayType::Raw);  // unchanged: the flag stays
    EXPECT_TRUE(processor.imageShown());
    processor.setDisplayType(DisplayType::TotalFocus);
    EXPECT_EQ(processor.currentDisplayType(), DisplayType::TotalFocus);
    EXPECT_FALSE(processor.imageShown());
    ASSERT_TRUE(processor.addFrame(frame(1, 64, 48)));
    waitForProcessed(processor, 2);
    processor.setDisplayType(DisplayType::TotalFocus);
    EXPECT_TRUE(processor.imageShown());
    processor.stopThread();
    processor.waitForThread();
    EXPECT_EQ(testing::internal::GetCapturedStdout().substr(0, 4), "0\n1\n");
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
    EXPECT_EQ(processor.report().dropped, 1u);

    // With one, the frame goes in as soon as the processor frees a slot (it drops what
    // it takes: the run is not ready).
    std::thread consumer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        processor.startThread();
    });
    testing::internal::CaptureStdout();
    EXPECT_TRUE(processor.addFrame(frame(513), [] { return true; }));
    consumer.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    processor.stopThread();
    processor.waitForThread();
    while (processor.framesQueued() < 512) {
        ASSERT_TRUE(processor.addFrame(frame(600)));
    }
    const uint64_t droppedBefore = processor.report().dropped;

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
    EXPECT_EQ(processor.report().dropped, droppedBefore + 1);
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

// A frame whose computation fails is reported and not counted, in every display type
// (the profile measurement too, which runs after the engine on another thread): a run
// where every frame fails must not read as a run that processed them.
TEST(VyProcessor, AFrameThatFailsIsReportedAndNotCountedAsProcessed) {
    // The report's key wait must not need a key: stdin is at its end.
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    close(null);
    for (const DisplayType type :
         {DisplayType::Profile, DisplayType::TotalFocus, DisplayType::Raw, DisplayType::Depth, DisplayType::Refocus}) {
        testing::internal::CaptureStdout();
        VyProcessor processor(headlessOptions());
        processor.setupCompute(Vy::Test::SmallCalibration());
        processor.setDisplayType(type);
        processor.markReady();
        ASSERT_TRUE(processor.startProcessor());
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
        EXPECT_EQ(processor.report().processed, 0u) << displayTypeNumber(type);
        EXPECT_EQ(processor.report().profileRows, 0u);
        // Nothing is left in work: a paused run without keys, which waits for it, can end.
        EXPECT_EQ(processor.framesInWork(), 0u) << displayTypeNumber(type);
    }
}

TEST(VyProcessor, TheNewestFrameReplacesTheOneStillWaiting) {
    VyProcessor processor(headlessOptions());
    // Not started: nothing takes frames, so each newer one replaces the one waiting.
    EXPECT_EQ(processor.addNewestFrame(frame(1)), 0u);
    EXPECT_EQ(processor.addNewestFrame(frame(2)), 1u);
    EXPECT_EQ(processor.addNewestFrame(frame(3)), 1u);
    EXPECT_EQ(processor.framesQueued(), 1u);
    // A replay's hand-over queues behind it; the next newest frame replaces both.
    EXPECT_TRUE(processor.addFrame(frame(4)));
    EXPECT_EQ(processor.addNewestFrame(frame(5)), 2u);
    EXPECT_EQ(processor.framesQueued(), 1u);
    EXPECT_EQ(processor.report().dropped, 0u);
    EXPECT_EQ(processor.report().skipped, 4u);
    // A live title counts them instead of the frames to come.
    EXPECT_NE(processor.statusText().find(" | frame - of 0 | "), std::string::npos) << processor.statusText();
    processor.markLive();
    EXPECT_NE(processor.statusText().find(" | frame -, 4 skipped for display | "), std::string::npos)
        << processor.statusText();
}
