#include "BenchScenes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "TestFiles.h"

namespace {

namespace fs = std::filesystem;
using Vy::Bench::LoadSceneFrame;

const fs::path kRaystool = fs::path(VY_BIN_DIR) / "raystool";
constexpr int kSide = 256;

bool SamePixels(const CVyImage& a, const CVyImage& b) {
    return a.GetWidth() == b.GetWidth() && a.GetHeight() == b.GetHeight() && a.GetDataType() == b.GetDataType() &&
           std::memcmp(a.GetPixelData(), b.GetPixelData(), a.GetFormat().GetByteSize()) == 0;
}

// The frame comes from the sequence rendered into the cache; later loads read that file and render nothing.
TEST(BenchScenes, RendersTheSceneOnceAndReadsTheCacheAfter) {
    const Vy::Test::ScratchDir cache;
    const Vy::Bench::SceneFrame first = LoadSceneFrame("demo", kSide, cache.Path(), kRaystool);
    EXPECT_EQ(first.raw.GetWidth(), kSide);
    EXPECT_EQ(first.raw.GetHeight(), kSide);
    EXPECT_EQ(first.calibration.sensorWidth, kSide);
    EXPECT_EQ(first.white.GetWidth(), kSide) << "the sequence's white image";
    EXPECT_TRUE(fs::exists(fs::path(cache.Path()) / "demo-256.rays"));
    EXPECT_FALSE(fs::exists(fs::path(cache.Path()) / "demo-256.rays.partial"));

    const Vy::Bench::SceneFrame again = LoadSceneFrame("demo", kSide, cache.Path(), "/nonexistent/raystool");
    EXPECT_TRUE(SamePixels(first.raw, again.raw));
    EXPECT_TRUE(SamePixels(first.white, again.white));
}

// The single-focus variant of the multifocus scene is the same camera through its middle lens type alone.
TEST(BenchScenes, TheMultifocusMiddleSceneHasOneLensType) {
    const Vy::Test::ScratchDir cache;
    EXPECT_EQ(LoadSceneFrame("multifocus", kSide, cache.Path(), kRaystool).calibration.microLensTypes, 3);
    const CCalibration middle = LoadSceneFrame("multifocus-middle", kSide, cache.Path(), kRaystool).calibration;
    EXPECT_EQ(middle.microLensTypes, 1);
    EXPECT_DOUBLE_EQ(middle.microLensFocalLength, 0.542);
}

// A render that cannot run or fails names the file it was to write and leaves nothing in the cache
// that a later run would take for the scene.
TEST(BenchScenes, AFailedRenderNamesTheFileAndLeavesNoSequence) {
    const Vy::Test::ScratchDir cache;
    const std::string file = (fs::path(cache.Path()) / "demo-256.rays").string();
    try {
        LoadSceneFrame("demo", kSide, cache.Path(), "/nonexistent/raystool");
        ADD_FAILURE() << "loaded without a raystool";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(file), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("could not be run"), std::string::npos) << error.what();
    }
    try {
        LoadSceneFrame("nosuchscene", kSide, cache.Path(), kRaystool);
        ADD_FAILURE() << "loaded a scene the synthetic camera does not have";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("nosuchscene-256.rays"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(fs::is_empty(cache.Path()));
}

// The reference plane needs no render.
TEST(BenchScenes, TheReferencePlaneIsDrawnWithoutACache) {
    const Vy::Bench::SceneFrame plane = LoadSceneFrame("plane", kSide, "/nonexistent/cache", "/nonexistent/raystool");
    EXPECT_EQ(plane.raw.GetWidth(), kSide);
    EXPECT_EQ(plane.calibration.sensorWidth, kSide);
    EXPECT_TRUE(plane.white.IsEmpty());
}

}  // namespace
