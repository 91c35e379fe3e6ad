#include "EngineQuality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "CVyException.h"
#include "QualityMetrics.h"
#include "SequenceGenerator.h"
#include "TestFiles.h"
#include "VyTypes.h"

using namespace Vy::Synth;
namespace fs = std::filesystem;

TEST(QualityMetrics, DepthScoreCountsOnlyTexturedPixels) {
    cv::Mat1f truth(2, 4, 3.0f);
    cv::Mat1b textured(2, 4, uint8_t{255});
    textured(1, 3) = 0;  // its wild estimate must not count
    cv::Mat1f estimated(2, 4, 3.0f);
    estimated(0, 0) = 3.3f;    // 10 % off
    estimated(0, 1) = 2.94f;   // 2 % off
    estimated(0, 2) = 0.0f;    // invalid
    estimated(0, 3) = NAN;     // invalid
    estimated(1, 3) = 100.0f;  // not textured
    const DepthScore s = scoreDepth(estimated, truth, textured);
    EXPECT_EQ(s.texturedCount, 7u);
    EXPECT_EQ(s.validCount, 5u);
    EXPECT_NEAR(s.texturedValidShare, 5.0 / 7.0, 1e-9);
    EXPECT_NEAR(s.shareOver5Percent, 1.0 / 5.0, 1e-9);
    EXPECT_NEAR(s.medianRelativeError, 0.0, 1e-6);  // errors 0, 0, 0, 0.02, 0.1
    estimated.setTo(3.15f);
    EXPECT_NEAR(scoreDepth(estimated, truth, textured).medianRelativeError, 0.05, 1e-6);
}

// Two surfaces meeting at a vertical line between columns 49 and 50, v 3.0 and
// 4.0; rows 30.. of the left one at 3.1 (3.3 %, no edge). With a radius of 4
// the edge zone is columns 45..54; misses are planted in and out of it.
TEST(QualityMetrics, MissesSplitIntoNearADepthEdgeAndElsewhere) {
    cv::Mat1f truth(40, 100, 3.0f);
    truth(cv::Rect(50, 0, 50, 40)).setTo(4.0f);
    truth(cv::Rect(0, 30, 50, 10)).setTo(3.1f);
    const cv::Mat1b zone = depthEdgeZone(truth, 4.0);
    for (int j : {0, 29, 30, 39}) {
        EXPECT_FALSE(zone(j, 44)) << j;
        EXPECT_TRUE(zone(j, 45)) << j;
        EXPECT_TRUE(zone(j, 54)) << j;
        EXPECT_FALSE(zone(j, 55)) << j;
    }
    EXPECT_EQ(cv::countNonZero(zone), 40 * 10);  // the 3.3 % step makes none

    cv::Mat1f estimated = truth.clone();
    for (auto [j, i] : {std::pair{0, 47}, {5, 50}, {20, 54}}) estimated(j, i) = truth(j, i) * 1.1f;  // near
    for (auto [j, i] : {std::pair{0, 10}, {38, 90}, {0, 55}}) estimated(j, i) = truth(j, i) * 0.9f;  // elsewhere
    estimated(1, 48) = truth(1, 48) * 1.04f;  // near, but within 5 %
    estimated(2, 46) = 0.0f;                  // near, invalid
    const DepthScore s = scoreDepth(estimated, truth, cv::Mat1b(truth.size(), uint8_t{255}), zone);
    EXPECT_EQ(s.validCount, 3999u);
    EXPECT_EQ(s.nearEdgeValidCount, 399u);
    EXPECT_EQ(s.nearEdgeOverCount, 3u);
    EXPECT_EQ(s.elsewhereOverCount, 3u);
    EXPECT_NEAR(s.shareOver5NearEdge, 3.0 / 3999.0, 1e-12);
    EXPECT_NEAR(s.shareOver5Elsewhere, 3.0 / 3999.0, 1e-12);
    EXPECT_NEAR(s.shareOver5Percent, 6.0 / 3999.0, 1e-12);
    // Without a zone every miss lies elsewhere.
    const DepthScore plain = scoreDepth(estimated, truth, cv::Mat1b(truth.size(), uint8_t{255}));
    EXPECT_EQ(plain.nearEdgeOverCount, 0u);
    EXPECT_EQ(plain.elsewhereOverCount, 6u);
}

// Bands uniform in 1/v from the farthest to the nearest depth: far first, each
// scored on its own pixels, thin bands left out.
TEST(QualityMetrics, FocusPsnrByDepthBand) {
    cv::Mat1f depth(10, 100, 2.0f);
    depth(cv::Rect(50, 0, 50, 10)).setTo(4.0f);  // 1/v 0.5 and 0.25: two bands of 0.125 each
    depth(0, 0) = 0.0f;                          // no surface: never counted
    depth(0, 1) = 2.5f;                          // 1/v 0.4: the first band, but alone in a band of three
    const cv::Mat1w truth(10, 100, uint16_t{8000});
    cv::Mat1w image = truth.clone();
    image(cv::Rect(50, 0, 50, 10)).setTo(8000 + 164);  // 1 % of the peak off: 40 dB
    const cv::Mat1b all(10, 100, uint8_t{255});
    const auto two = psnrByDepth(image, truth, depth, all, 2, 0.0);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_NEAR(two[0].low, 2.0, 1e-9);
    EXPECT_NEAR(two[0].high, 1.0 / 0.375, 1e-9);
    EXPECT_EQ(two[0].count, 499u);
    EXPECT_TRUE(std::isinf(two[0].psnr));
    EXPECT_NEAR(two[1].high, 4.0, 1e-9);
    EXPECT_EQ(two[1].count, 500u);
    EXPECT_NEAR(two[1].psnr, 10.0 * std::log10(16383.0 * 16383.0 / (164.0 * 164.0)), 1e-9);
    // Four bands: the pixel at 2.5 sits in the second, which holds too few pixels to score.
    const auto four = psnrByDepth(image, truth, depth, all, 4, 0.01);
    ASSERT_EQ(four.size(), 2u);
    EXPECT_EQ(four[0].count, 498u);
    EXPECT_NEAR(four[1].low, 1.0 / 0.3125, 1e-9);
    EXPECT_TRUE(psnrByDepth(image, truth, depth, cv::Mat1b(10, 100, uint8_t{0}), 4, 0.0).empty());
}

TEST(QualityMetrics, EdgeZoneAroundAHoleAndOnAFlatSurface) {
    cv::Mat1f truth(21, 21, 3.0f);
    EXPECT_EQ(cv::countNonZero(depthEdgeZone(truth, 4.0)), 0);
    truth(10, 10) = 0.0f;  // no surface: a jump to every neighbour
    const cv::Mat1b zone = depthEdgeZone(truth, 4.0);
    EXPECT_TRUE(zone(10, 15));   // 4 from the jump pixel (10, 11)
    EXPECT_FALSE(zone(10, 16));  // 5
    EXPECT_TRUE(zone(6, 12));    // sqrt(13) from (9, 10)
    EXPECT_FALSE(zone(5, 14));   // about 5.7 from the nearest
    EXPECT_FALSE(zone(0, 0));
}

TEST(QualityMetrics, PsnrOverTheMaskOnly) {
    cv::Mat1w a(4, 4, uint16_t{1000}), b(4, 4, uint16_t{1000});
    cv::Mat1b mask(4, 4, uint8_t{255});
    EXPECT_TRUE(std::isinf(psnr14(a, b, mask)));
    b.setTo(1100);
    EXPECT_NEAR(psnr14(a, b, mask), 20.0 * std::log10(Vy::kFullScale14 / 100.0), 1e-9);
    b(0, 0) = 9000;
    mask(0, 0) = 0;
    EXPECT_NEAR(psnr14(a, b, mask), 20.0 * std::log10(Vy::kFullScale14 / 100.0), 1e-9);
    EXPECT_TRUE(std::isnan(psnr14(a, b, cv::Mat1b(4, 4, uint8_t{0}))));
}

class EngineQualityTest : public Vy::Test::ScratchDirTest {
protected:
    std::string create(const std::string& preset, int size, bool truth) {
        CreateOptions o;
        o.preset = preset;
        o.size = size;
        o.frames = 1;
        o.truth = truth;
        const std::string path = (dir_ / (preset + ".rays")).string();
        createSequence(path, o, nullptr);
        return path;
    }
    const std::string settings_ = std::string(VY_BIN_DIR) + "/CurrentSettings-2019-08-09.vyset";
};

// The figures are the engine's; what is checked here is that the tool finds
// the scene's planes, scores the right pixels and that its own yardstick holds.
TEST_F(EngineQualityTest, FindsThePlanesOfTheSceneAndScoresThem) {
    const std::string dump = (dir_ / "dump").string();
    const QualityReport r = measureEngineQuality(create("planes", 384, true), settings_, 0, dump);
    EXPECT_EQ(r.framesScored, 1u);
    ASSERT_EQ(r.planes.size(), 3u);
    EXPECT_NEAR(r.planes[0].depth, 2.8, 1e-3);
    EXPECT_NEAR(r.planes[1].depth, 3.4, 1e-3);
    EXPECT_NEAR(r.planes[2].depth, 4.4, 1e-3);
    EXPECT_GT(r.depth.texturedCount, 384u * 384u / 4 / 2);
    EXPECT_GT(r.referenceFocusPsnr, 30.0);
    EXPECT_TRUE(std::isfinite(r.focusPsnr));
    EXPECT_FALSE(r.scoredParticles);
    // The planes' outlines make an edge zone (two pitches, 24 output pixels wide
    // on either side, most of this small view); the rest lies outside it.
    EXPECT_GT(r.depth.nearEdgeValidCount, r.depth.validCount / 10);
    EXPECT_LT(r.depth.nearEdgeValidCount, r.depth.validCount - r.depth.validCount / 10);
    EXPECT_NEAR(r.depth.shareOver5NearEdge + r.depth.shareOver5Elsewhere, r.depth.shareOver5Percent, 1e-12);
    // The misses picture shows the two kinds of miss in their own colours, one pixel each.
    const cv::Mat picture =
        cv::imread((fs::path(dump) / "frame_00000_engine_misses.png").string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(picture.type(), CV_8UC3);
    auto count = [&](cv::Vec3b colour) {
        cv::Mat1b same;
        cv::inRange(picture, colour, colour, same);
        return static_cast<size_t>(cv::countNonZero(same));
    };
    EXPECT_EQ(count({0, 200, 255}), r.depth.nearEdgeOverCount);
    EXPECT_EQ(count({0, 0, 255}), r.depth.elsewhereOverCount);
    EXPECT_EQ(count({0, 200, 255}) + count({120, 72, 48}), r.depth.nearEdgeValidCount);
}

// The engine on the demo scene at 2048 x 2048, where micro-images sit up to
// 10 px off their lenses at the corners: every bar, the rims included.
TEST_F(EngineQualityTest, DemoSceneAt2048MeetsTheBars) {
    const QualityReport r = measureEngineQuality(create("demo", 2048, true), settings_, 1, "");
    EXPECT_LE(r.depth.medianRelativeError, QualityBars::kMedianRelativeError);
    EXPECT_LE(r.depth.shareOver5Percent, QualityBars::kShareOver5Percent);
    EXPECT_GE(r.depth.texturedValidShare, QualityBars::kTexturedValid);
    EXPECT_GE(r.outerDepth.texturedValidShare, QualityBars::kTexturedValid);
    EXPECT_GT(r.outerDepth.texturedCount, 0u);
    EXPECT_GE(r.focusPsnr, QualityBars::kFocusPsnr);
    EXPECT_GE(r.referenceFocusPsnr, 32.0);
    EXPECT_TRUE(r.Passed());
    std::printf(
        "demo 2048: median %.2f %%, %.2f %% more than 5 %% off, outer tenth %.1f %% valid, total focus %.1f dB\n",
        100 * r.depth.medianRelativeError, 100 * r.depth.shareOver5Percent, 100 * r.outerDepth.texturedValidShare,
        r.focusPsnr);
}

TEST_F(EngineQualityTest, SequenceWithoutTruthIsRefused) {
    const std::string path = create("small", 96, false);
    try {
        measureEngineQuality(path, settings_, 1, "");
        FAIL() << "no error";
    } catch (const CVyException& e) {
        EXPECT_NE(std::string(e.what()).find("has no ground truth"), std::string::npos) << e.what();
    }
}
