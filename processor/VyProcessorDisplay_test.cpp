// What the operator sees of the processor: the depth colour range, the refocus plane and the status.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "CalibrationSamples.h"
#include "CameraModel.h"
#include "TestFiles.h"
#include "Viewer.h"
#include "VyProcessor.h"
#include "engine/SyntheticPlane.h"

namespace {

VyRunOptions options(const std::string& settings, const std::string& dir) {
    Viewer::setHeadless(true);
    VyRunOptions result;
    result.outputDir = dir;
    result.settingsPath = settings;
    return result;
}

std::string settingsFile(const Vy::Test::ScratchDir& dir, const std::string& lines) {
    const std::string path = dir.File("test.vyset");
    std::ofstream(path) << lines;
    return path;
}

}  // namespace

TEST(VyProcessorDisplay, TheShippedSettingsColourTheDistancesTheCalibrationCanMeasure) {
    Vy::Test::ScratchDir dir;
    const CCalibration c = Vy::Test::SmallCalibration();
    VyProcessor processor(options("", dir.File("")));
    processor.setupCompute(c);
    EXPECT_NEAR(processor.depthColourNear(), Vy::Model::distanceFromVirtualDepth(c, c.virtualDepthMax), 1e-6);
    EXPECT_NEAR(processor.depthColourFar(), Vy::Model::distanceFromVirtualDepth(c, c.virtualDepthMin), 1e-6);
    // The engine colours with the same range.
    EXPECT_EQ(processor.engineSetting(Params::CudaCompute_ColorNearDistance), processor.depthColourNear());
    EXPECT_EQ(processor.engineSetting(Params::CudaCompute_ColorFarDistance), processor.depthColourFar());
}

TEST(VyProcessorDisplay, SettingsCanFixNearAndFarAndGiveTheRefocusPlaneInMillimetres) {
    Vy::Test::ScratchDir dir;
    const CCalibration c = Vy::Test::SmallCalibration();
    {
        VyProcessor processor(options(settingsFile(dir, "color.near_mm = 400\ncolor.far_mm = 0\n"), dir.File("")));
        processor.setupCompute(c);
        EXPECT_EQ(processor.depthColourNear(), 400.0);
        EXPECT_NEAR(processor.depthColourFar(), Vy::Model::distanceFromVirtualDepth(c, c.virtualDepthMin), 1e-6);
    }
    const double nearest = Vy::Model::distanceFromVirtualDepth(c, c.virtualDepthMax);
    const double farthest = Vy::Model::distanceFromVirtualDepth(c, c.virtualDepthMin);
    const double middle = 0.5 * (nearest + farthest);
    VyProcessor processor(
        options(settingsFile(dir, "refocus.distance_mm = " + std::to_string(middle) + "\n"), dir.File("")));
    processor.setupCompute(c);
    EXPECT_NEAR(processor.refocusDistanceMm(), middle, 1e-3);
    // ']' moves the plane farther, '[' nearer, and never past the calibration's range.
    processor.moveRefocus(1);
    const double farther = processor.refocusDistanceMm();
    EXPECT_GT(farther, middle);
    processor.moveRefocus(-2);
    EXPECT_LT(processor.refocusDistanceMm(), middle);
    processor.moveRefocus(-100);
    EXPECT_NEAR(processor.refocusDistanceMm(), nearest, 1e-6);
    processor.moveRefocus(100);
    EXPECT_NEAR(processor.refocusDistanceMm(), farthest, 1e-6);
    // A plane outside the range is held at its end.
    VyProcessor beyond(options(settingsFile(dir, "refocus.distance_mm = 1e6\n"), dir.File("")));
    beyond.setupCompute(c);
    EXPECT_NEAR(beyond.refocusDistanceMm(), farthest, 1e-6);
}

TEST(VyProcessorDisplay, TheStatusNamesSequenceFrameTypeRateAndPause) {
    Vy::Test::ScratchDir dir;
    VyProcessor processor(options("", dir.File("")));
    processor.setupCompute(Vy::Test::SmallCalibration());
    processor.setSequence("run7.rays", 60);
    processor.setDisplayType(DisplayType::Refocus);
    EXPECT_EQ(processor.statusText().rfind("run7.rays | frame - of 60 | type 3 refocused at ", 0), 0u)
        << processor.statusText();
    EXPECT_EQ(processor.statusText().find("paused"), std::string::npos);
    processor.setPaused(true);
    EXPECT_EQ(processor.statusText().substr(processor.statusText().size() - 9), " | paused");
    // Not paused, 'n' has nothing to step.
    processor.setPaused(false);
    processor.stepOneFrame();
    EXPECT_FALSE(processor.wantsFrame());
    processor.setPaused(true);
    processor.stepOneFrame();
    EXPECT_TRUE(processor.wantsFrame());
    processor.setPaused(false);
    EXPECT_FALSE(processor.wantsFrame());
}

TEST(VyProcessorDisplay, RefocusKeysMoveTheSharpPlaneAndItsSharpnessPeaksAtThePlanesDistance) {
    Vy::Test::ScratchDir dir;
    const double planeDepth = 4.0;
    CCalibration c = Vy::Engine::Synthetic::MakeCalibration(256);
    // The frame is traced through pinhole microlenses, which for a single plane is
    // what microlenses focused on that plane give; say so, or the renderer would
    // undo a defocus blur the frame does not have.
    c.microLensFocalLength = c.mlaToSensor / (1.0 - 1.0 / planeDepth);
    const CVyImage raw = Vy::Engine::Synthetic::RenderPlane(c, planeDepth, Vy::Engine::Synthetic::Texture);
    VyProcessor processor(options("", dir.File("")));
    processor.setupCompute(c);
    processor.markReady();
    processor.setDisplayType(DisplayType::Refocus);
    testing::internal::CaptureStdout();
    processor.startThread();
    // From the nearest plane to the farthest, a key press at a time.
    processor.moveRefocus(-100);
    double bestSharpness = -1.0, bestDistance = 0.0;
    for (int step = 0; step <= 20; ++step) {
        const uint64_t before = processor.report().processed;
        // Each frame is written as the window shows it (16 bits, turned), named by its number and id.
        processor.requestSnapshot();
        ASSERT_TRUE(processor.addFrame(raw));
        for (int wait = 0; wait < 500 && processor.report().processed == before; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GT(processor.report().processed, before);
        const std::string base = dir.File("frame-frame" + std::to_string(step) + "-id0-type3");
        const cv::Mat image = cv::imread(base + "-result.png", cv::IMREAD_UNCHANGED);
        ASSERT_EQ(image.type(), CV_16UC1) << base;
        // Sharpness: how closely the plane's texture comes back (PSNR), inside the rim.
        double sum = 0.0;
        int count = 0;
        for (int32_t j = 24; j < image.rows - 24; ++j) {
            for (int32_t i = 24; i < image.cols - 24; ++i) {
                const double truth = Vy::Engine::Synthetic::Texture(2 * (i + 0.5), 2 * (j + 0.5)) * 250.0 / 255.0;
                const double d = image.at<uint16_t>(image.rows - 1 - j, image.cols - 1 - i) / 16383.0 - truth;
                sum += d * d;
                ++count;
            }
        }
        const double sharpness = 10.0 * std::log10(count / sum);
        if (sharpness > bestSharpness) {
            bestSharpness = sharpness;
            bestDistance = processor.refocusDistanceMm();
        }
        processor.moveRefocus(1);
    }
    processor.stopThread();
    processor.waitForThread();
    testing::internal::GetCapturedStdout();
    // Within one key step (a twentieth of the range in 1/v) of the plane.
    const double found = Vy::Model::virtualDepthFromDistance(c, bestDistance);
    const double step = 0.05 * (1.0 / c.virtualDepthMin - 1.0 / c.virtualDepthMax);
    EXPECT_LE(std::abs(1.0 / found - 1.0 / planeDepth), step) << "sharpest at virtual depth " << found;
}
