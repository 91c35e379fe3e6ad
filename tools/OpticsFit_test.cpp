#include "OpticsFit.h"

#include <gtest/gtest.h>

#include <string>

#include "CameraDesign.h"
#include "CameraModel.h"

using namespace Vy::Synth;

namespace {

// Plates at virtual depths spread over v 2.3 .. 5.1 of the camera `truth`, read without error.
std::vector<PlateSample> platesOf(const CCalibration& truth, int count) {
    std::vector<PlateSample> plates;
    for (int i = 0; i < count; ++i) {
        const double v = 1.0 / (1.0 / 5.1 + (1.0 / 2.3 - 1.0 / 5.1) * i / (count - 1));
        plates.push_back({Vy::Model::distanceFromVirtualDepth(truth, v), v, 0.0});
    }
    return plates;
}

std::string problemOf(const CCalibration& start, const std::vector<PlateSample>& plates) {
    try {
        fitOptics(start, plates);
    } catch (const OpticsFitError& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(OpticsFit, RecoversTheOpticsOfACameraOffItsDesign) {
    const CCalibration design = defaultCalibration(512, 512);
    for (const auto& [bError, lError] : {std::pair{0.08, 0.05}, {-0.1, 0.1}, {0.1, -0.005}}) {
        const CCalibration truth = builtOptics(design, bError, lError);
        const OpticsFit fit = fitOptics(design, platesOf(truth, 8));
        EXPECT_NEAR(fit.calibration.mlaToSensor, truth.mlaToSensor, 1e-7 * truth.mlaToSensor) << bError;
        EXPECT_NEAR(fit.calibration.mainLensToMla, truth.mainLensToMla, 1e-7 * truth.mainLensToMla) << lError;
        EXPECT_DOUBLE_EQ(fit.calibration.mainFocalLength, design.mainFocalLength);
        // The micro-image centres stay where the grid finder put them: B / exit pupil is kept.
        EXPECT_NEAR(Vy::Model::microImageGrowth(fit.calibration), Vy::Model::microImageGrowth(design), 1e-12);
        EXPECT_EQ(fit.calibration.lensPitch, design.lensPitch);
        for (const PlateSample& p : platesOf(truth, 5))
            EXPECT_NEAR(distanceOf(fit.calibration, p.virtualDepth), p.distance, 1e-6 * p.distance);
    }
}

TEST(OpticsFit, TakesUpADepthBiasThatIsAffineInTheVirtualDepth) {
    // An engine whose virtual depths read 1.5 % low and 0.03 high gives B and L that are not the lens's,
    // but the distances come out right: L + v B is affine in v.
    const CCalibration design = multiFocusCalibration(512, 512);
    const CCalibration truth = builtOptics(design, 0.05, -0.04);
    std::vector<PlateSample> plates = platesOf(truth, 8);
    for (PlateSample& p : plates) p.virtualDepth = 0.985 * p.virtualDepth + 0.03;
    const OpticsFit fit = fitOptics(design, plates);
    EXPECT_GT(std::abs(fit.calibration.mlaToSensor / truth.mlaToSensor - 1), 0.01);
    for (const PlateSample& p : plates)
        EXPECT_NEAR(distanceOf(fit.calibration, p.virtualDepth), p.distance, 1e-6 * p.distance);
    // A bias that bends with depth is left as a residual, smallest where the plates are.
    std::vector<PlateSample> bent = platesOf(truth, 8);
    for (PlateSample& p : bent) p.virtualDepth *= 1 + 0.002 * (p.virtualDepth - 2.5) * (p.virtualDepth - 2.5);
    const OpticsFit rough = fitOptics(design, bent);
    double worst = 0;
    for (const PlateSample& p : bent)
        worst = std::max(worst, std::abs(distanceOf(rough.calibration, p.virtualDepth) / p.distance - 1));
    EXPECT_GT(worst, 1e-5);
    EXPECT_LT(worst, 0.01);
}

TEST(OpticsFit, RefusesTooFewDistancesAndTablesNoLensFollows) {
    const CCalibration design = defaultCalibration(512, 512);
    std::vector<PlateSample> plates = platesOf(design, 8);
    // One distance, however many frames show it.
    std::vector<PlateSample> one(4, plates[2]);
    EXPECT_EQ(problemOf(design, one),
              "1 distinct distance; the fit needs at least 3 (8 spread over the range are better)");
    EXPECT_NE(problemOf(design, {plates[0], plates[5]}).find("2 distinct distances"), std::string::npos);
    EXPECT_EQ(problemOf(design, {plates[0], plates[3], plates[6]}), "");
    // Virtual depths that grow with the distance: no camera images so.
    std::vector<PlateSample> reversed = plates;
    for (size_t i = 0; i < plates.size(); ++i) reversed[i].virtualDepth = plates[plates.size() - 1 - i].virtualDepth;
    EXPECT_NE(problemOf(design, reversed).find("does not converge"), std::string::npos);
}

TEST(OpticsFit, SquaresFromTheVirtualImageFollowTheChiefRay) {
    const CCalibration c = builtOptics(defaultCalibration(512, 512), 0.05, 0.03);
    const double v = 3.4, z = distanceOf(c, v);
    // Two virtual-image points 40 px apart map to scene points squareMmOf apart.
    const Vy::Model::Point a = Vy::Model::sceneFromVirtual(c, {100, 200}, z);
    const Vy::Model::Point b = Vy::Model::sceneFromVirtual(c, {140, 200}, z);
    EXPECT_NEAR(squareMmOf(c, 40.0, v), std::abs(b.x - a.x), 1e-9);
    // An image inside the focal length has no distance.
    CCalibration inside = c;
    inside.mainLensToMla = c.mainFocalLength - 3 * c.mlaToSensor;
    EXPECT_EQ(distanceOf(inside, 2.0), 0.0);
}
