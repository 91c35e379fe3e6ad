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
    d.used = {2.5, 5.0};  // 1/v 0.2 .. 0.4: a margin of 0.1 either side
    DepthRange r = rangeAround(d);
    EXPECT_NEAR(1.0 / r.min, 0.5, 1e-9);
    EXPECT_NEAR(1.0 / r.max, 0.1, 1e-9);

    // A scene at one depth still gets the least margin, 0.08 in 1/v.
    d.used = {4.0, 4.0};
    r = rangeAround(d);
    EXPECT_NEAR(1.0 / r.min, 0.33, 1e-9);
    EXPECT_NEAR(1.0 / r.max, 0.17, 1e-9);

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

// One rendered frame of the demo scene (planes and particles at virtual depths 2.8 .. 4.6) and its
// white image, through the design's camera at 384 x 384.
class DepthRangeScene : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RenderOptions options;
        options.samples = 4;
        const SyntheticCamera camera(calibration(), options);
        frame_ = camera.render(SceneScript("demo", calibration(), 7, 1).sceneAt(0), 7, 0);
        white_ = camera.renderWhite(7);
    }
    static CCalibration calibration() { return defaultCalibration(384, 384); }
    static cv::Mat frame_, white_;
};
cv::Mat DepthRangeScene::frame_, DepthRangeScene::white_;

// The wide search finds what the scene uses, and the range around it holds the scene.
TEST_F(DepthRangeScene, WideSearchFindsTheSceneDepths) {
    const SceneDepths d = measureSceneDepths(calibration(), white_, {frame_}, 8, kWideSearch, "demo");
    EXPECT_TRUE(d.measured);
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
    EXPECT_GT(r.min, 1.7);
    EXPECT_LT(r.max, 9.0);

    // The same frame searched over too narrow a range piles up at the ends.
    const SceneDepths narrow = measureSceneDepths(calibration(), white_, {frame_}, 8, {3.3, 3.6}, "demo");
    EXPECT_GT(narrow.lowEnd + narrow.highEnd, 0.3);
    // ... and does not tell the scene's range (a white image at a larger size piles at the far end alike).
    EXPECT_FALSE(narrow.measured);

    // A white image as the scene has nothing to match, also where a faulty camera's hot pixels and
    // noise let a few lenses match (filled in from them, they gave the whole image one depth).
    EXPECT_FALSE(measureSceneDepths(calibration(), cv::Mat(), {white_}, 8, kWideSearch, "white.png").measured);
    RenderOptions faulty;
    faulty.samples = 1;
    faulty.faults = CameraFaults::realistic();
    const CCalibration large = defaultCalibration(1024, 1024);
    const cv::Mat faultyWhite = SyntheticCamera(large, faulty).renderWhite(7);
    EXPECT_FALSE(measureSceneDepths(large, cv::Mat(), {faultyWhite}, 8, kWideSearch, "white.png").measured);
}

// Which range a calibration gets, and that its line says where it came from.
TEST_F(DepthRangeScene, ChoiceKeepsAGivenRangeElseSearchesAndNarrows) {
    CCalibration c = calibration();
    c.virtualDepthMin = 2.2;
    c.virtualDepthMax = 9.0;
    RangeChoice chosen = chooseDepthRange(c, "optics.txt", white_, {frame_}, 8, "f.png");
    EXPECT_EQ(chosen.range.min, 2.2);
    EXPECT_EQ(chosen.range.max, 9.0);
    EXPECT_NE(chosen.line.find("as optics.txt gives it"), std::string::npos) << chosen.line;

    // A data sheet without the range: the optics' range, never 0 .. 0.
    c.virtualDepthMin = c.virtualDepthMax = 0.0;
    chosen = chooseDepthRange(c, "sheet.txt", white_, {}, 8, "");
    const DepthRange optics = rangeFromOptics(c);
    EXPECT_EQ(chosen.range.min, optics.min);
    EXPECT_EQ(chosen.range.max, optics.max);
    EXPECT_NE(chosen.line.find("the range of the optics in sheet.txt"), std::string::npos) << chosen.line;
    // ... narrowed by a scene frame, within it.
    chosen = chooseDepthRange(c, "sheet.txt", white_, {frame_}, 8, "f.png");
    EXPECT_GE(chosen.range.min, optics.min);
    EXPECT_LT(chosen.range.min, 2.8);
    EXPECT_GT(chosen.range.max, 4.6);
    EXPECT_LT(chosen.range.max, optics.max);

    // The default optics are not the camera's: the widest search, narrowed by the scene.
    chosen = chooseDepthRange(c, "", white_, {frame_}, 8, "f.png");
    EXPECT_LT(chosen.range.min, 2.8);
    EXPECT_GT(chosen.range.max, 4.6);
    EXPECT_LT(chosen.range.max, 9.0);
    EXPECT_EQ(chosen.line.rfind("virtual depth range ", 0), 0u) << chosen.line;
    EXPECT_NE(chosen.line.find("(virtualDepthMin/virtualDepthMax)"), std::string::npos) << chosen.line;
    EXPECT_NE(chosen.line.find("the depths of f.png"), std::string::npos) << chosen.line;
    chosen = chooseDepthRange(c, "", cv::Mat(), {white_}, 8, "white.png");
    EXPECT_EQ(chosen.range.min, kWideSearch.min);
    EXPECT_EQ(chosen.range.max, kWideSearch.max);
    EXPECT_NE(chosen.line.find("white.png shows too little texture"), std::string::npos) << chosen.line;
}
