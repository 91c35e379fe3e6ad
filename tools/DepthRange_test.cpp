#include "DepthRange.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "CVyException.h"
#include "CameraDesign.h"
#include "SceneScript.h"
#include "SyntheticCamera.h"

using namespace Vy::Synth;

namespace {

std::string refusal(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const CVyException& e) {
        return e.what();
    }
    return "";
}

}  // namespace

// The design's lenses (B 0.35 mm, f 0.5 mm) are sharpest at v 3.33; a blur of a quarter of the
// micro-image reaches 0.24 in 1/v either side, and two lenses see 90 % of a point from v 1.74.
TEST(DepthRangeFromOptics, SharpStereoAndBeyondInfinity) {
    CCalibration c = defaultCalibration(512, 512);
    const DepthRange r = rangeFromOptics(c);
    const double reach = kUsableBlur * 2 * c.microImageRadius / c.lensPitch;
    EXPECT_NEAR(1.0 / r.max, 0.3 - reach, 1e-9);
    EXPECT_NEAR(1.0 / r.min, 0.3 + reach, 1e-9);
    EXPECT_LT(r.min, 2.0);  // the presets' scenes fit
    EXPECT_GT(r.max, 6.0);

    // A main lens focused nearer pushes the image of infinity out to v 3: nothing lies in front of it.
    c.mainLensToMla = c.mainFocalLength - 3.0 * c.mlaToSensor;
    EXPECT_NEAR(rangeFromOptics(c).min, 3.0, 1e-9);

    // Lenses of a long focal length image only shallow depths, where each lens sees its points alone.
    c = defaultCalibration(512, 512);
    c.microLensFocalLength = 3.0;
    const std::string why = refusal([&] { rangeFromOptics(c, "sheet.txt"); });
    EXPECT_NE(why.find("sheet.txt"), std::string::npos) << why;
    EXPECT_NE(why.find("no virtual depth"), std::string::npos) << why;
}

// A multi-focus array is usable over the union of its types' ranges.
TEST(DepthRangeFromOptics, LensTypesWidenTheRange) {
    CCalibration one = defaultCalibration(512, 512);
    CCalibration three = one;
    three.microLensTypes = 3;
    three.microLensFocalLength1 = 0.6;   // sharpest at 1/v 0.417
    three.microLensFocalLength2 = 0.47;  // at 1/v 0.255
    const DepthRange a = rangeFromOptics(one), b = rangeFromOptics(three);
    EXPECT_LT(b.min, a.min);
    EXPECT_GT(b.max, a.max);
    const double reach = kUsableBlur * 2 * one.microImageRadius / one.lensPitch;
    EXPECT_NEAR(1.0 / b.max, (1.0 - 0.35 / 0.47) - reach, 1e-9);

    three.microLensFocalLength2 = 0.0;
    EXPECT_NE(refusal([&] { rangeFromOptics(three, "sheet.txt"); }).find("type 2 has no focal length"),
              std::string::npos);
    one.mlaToSensor = 0.0;
    EXPECT_NE(refusal([&] { rangeFromOptics(one, "sheet.txt"); }).find("mlaToSensor"), std::string::npos);
}

TEST(DepthRangeAround, MarginInInverseDepthWithinTheSearch) {
    SceneDepths d;
    d.searched = kWideSearch;
    d.used = {2.5, 5.0};  // 1/v 0.2 .. 0.4: a margin of 0.02 either side
    DepthRange r = rangeAround(d);
    EXPECT_NEAR(1.0 / r.min, 0.42, 1e-9);
    EXPECT_NEAR(1.0 / r.max, 0.18, 1e-9);

    // A scene at one depth still gets the least margin, 0.02 in 1/v.
    d.used = {4.0, 4.0};
    r = rangeAround(d);
    EXPECT_NEAR(1.0 / r.min, 0.27, 1e-9);
    EXPECT_NEAR(1.0 / r.max, 0.23, 1e-9);

    // Depths at the ends of the search keep the search's ends, never past them.
    d.used = {1.35, 38.0};
    r = rangeAround(d);
    EXPECT_DOUBLE_EQ(r.min, kWideSearch.min);
    EXPECT_DOUBLE_EQ(r.max, kWideSearch.max);
}

TEST(DepthRangeBits, LargestSampleGivesTheBits) {
    EXPECT_EQ(significantBits(cv::Mat1b(4, 4, uint8_t{255})), 8);
    EXPECT_EQ(significantBits(cv::Mat1w(4, 4, uint16_t{4095})), 12);
    EXPECT_EQ(significantBits(cv::Mat1w(4, 4, uint16_t{4096})), 13);
    EXPECT_EQ(significantBits(cv::Mat1w(4, 4, uint16_t{40})), 10);
    EXPECT_EQ(significantBits(cv::Mat1w(4, 4, uint16_t{65535})), 16);
}

// The engine's wide search on a rendered frame of the demo scene (planes and particles at
// virtual depths 2.8 .. 4.6) finds what the scene uses, and the range around it holds the scene.
TEST(DepthRangeScene, WideSearchFindsTheSceneDepths) {
    const CCalibration c = defaultCalibration(384, 384);
    RenderOptions options;
    options.samples = 4;
    const SyntheticCamera camera(c, options);
    const SceneScript script("demo", c, 7, 1);
    const cv::Mat frame = camera.render(script.sceneAt(0), 7, 0);
    const cv::Mat white = camera.renderWhite(7);
    const SceneDepths d = measureSceneDepths(c, white, {frame}, 8, kWideSearch, "demo");
    EXPECT_EQ(d.frames, 1);
    EXPECT_GT(d.validShare, 0.5);
    EXPECT_GT(d.used.min, 2.4);
    EXPECT_LT(d.used.min, 3.0);
    EXPECT_GT(d.used.max, 4.2);
    EXPECT_LT(d.used.max, 5.5);
    EXPECT_LT(d.lowEnd, 0.01);
    EXPECT_LT(d.highEnd, 0.01);
    const DepthRange r = rangeAround(d);
    EXPECT_LT(r.min, 2.8);
    EXPECT_GT(r.max, 4.6);
    EXPECT_GT(r.min, 2.0);
    EXPECT_LT(r.max, 7.0);

    // The same frame searched over too narrow a range piles up at the ends.
    const SceneDepths narrow = measureSceneDepths(c, white, {frame}, 8, {3.3, 3.6}, "demo");
    EXPECT_GT(narrow.lowEnd + narrow.highEnd, 0.3);

    // A white image as the scene has nothing to match.
    const std::string why = refusal([&] { measureSceneDepths(c, white, {white}, 8, kWideSearch, "white.png"); });
    EXPECT_NE(why.find("white.png"), std::string::npos) << why;
    EXPECT_NE(why.find("too little texture"), std::string::npos) << why;
}
