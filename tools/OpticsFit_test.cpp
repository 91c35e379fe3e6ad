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

std::string problemOf(const CCalibration& start, const std::vector<PlateSample>& plates, bool fitFocal) {
    try {
        fitOptics(start, plates, fitFocal);
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
        const OpticsFit fit = fitOptics(design, platesOf(truth, 8), false);
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

TEST(OpticsFit, FitsTheFocalLengthOnlyWhenAsked) {
    const CCalibration design = multiFocusCalibration(512, 512);
    CCalibration truth = builtOptics(design, 0.05, -0.04);
    truth.mainFocalLength *= 1.01;
    const std::vector<PlateSample> plates = platesOf(truth, 8);
    const OpticsFit kept = fitOptics(design, plates, false);
    EXPECT_DOUBLE_EQ(kept.calibration.mainFocalLength, design.mainFocalLength);
    const OpticsFit fitted = fitOptics(design, plates, true);
    EXPECT_NEAR(fitted.calibration.mainFocalLength, truth.mainFocalLength, 1e-4 * truth.mainFocalLength);
    EXPECT_NEAR(fitted.calibration.mlaToSensor, truth.mlaToSensor, 1e-3 * truth.mlaToSensor);
    // With f kept the fit is the best it can do, and worse than with f free.
    double keptWorst = 0, fittedWorst = 0;
    for (const PlateSample& p : plates) {
        keptWorst = std::max(keptWorst, std::abs(distanceOf(kept.calibration, p.virtualDepth) / p.distance - 1));
        fittedWorst = std::max(fittedWorst, std::abs(distanceOf(fitted.calibration, p.virtualDepth) / p.distance - 1));
    }
    EXPECT_LT(fittedWorst, 1e-5);
    EXPECT_GT(keptWorst, 10 * fittedWorst);
}

TEST(OpticsFit, RefusesTooFewDistancesAndTablesNoLensFollows) {
    const CCalibration design = defaultCalibration(512, 512);
    std::vector<PlateSample> plates = platesOf(design, 8);
    // One distance, however many frames show it.
    std::vector<PlateSample> one(4, plates[2]);
    EXPECT_EQ(problemOf(design, one, false),
              "1 distinct distance; the fit needs at least 3 (8 spread over the range are better)");
    EXPECT_NE(problemOf(design, {plates[0], plates[5]}, false).find("2 distinct distances"), std::string::npos);
    // Three are enough with f kept, not with f fitted.
    EXPECT_EQ(problemOf(design, {plates[0], plates[3], plates[6]}, false), "");
    EXPECT_NE(problemOf(design, {plates[0], plates[3], plates[6]}, true).find("at least 4"), std::string::npos);
    // Virtual depths that grow with the distance: no camera images so.
    std::vector<PlateSample> reversed = plates;
    for (size_t i = 0; i < plates.size(); ++i) reversed[i].virtualDepth = plates[plates.size() - 1 - i].virtualDepth;
    EXPECT_NE(problemOf(design, reversed, false).find("does not converge"), std::string::npos);
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
