#include "engine/DepthColorMap.h"

#include <gtest/gtest.h>

#include "CalibrationSamples.h"
#include "CameraModel.h"

using Vy::Engine::MeasurableDistances;

TEST(DepthColorMap, TheMeasurableRangeIsTheCalibrationsVirtualDepthsAsDistances) {
    const CCalibration c = Vy::Test::SmallCalibration();
    // The searched range covers the calibration's: its virtual depths decide, the highest one nearest.
    const auto range = MeasurableDistances(c, 1.5, 12.0);
    EXPECT_NEAR(range.nearMm, Vy::Model::distanceFromVirtualDepth(c, c.virtualDepthMax), 1e-9);
    EXPECT_NEAR(range.farMm, Vy::Model::distanceFromVirtualDepth(c, c.virtualDepthMin), 1e-9);
    EXPECT_LT(range.nearMm, range.farMm);
    // Back through the model: the ends are the calibration's virtual depths again.
    EXPECT_NEAR(Vy::Model::virtualDepthFromDistance(c, range.nearMm), c.virtualDepthMax, 1e-9);

    // A narrower search narrows the range to what is searched.
    const auto searched = MeasurableDistances(c, 3.0, 4.0);
    EXPECT_NEAR(searched.nearMm, Vy::Model::distanceFromVirtualDepth(c, 4.0), 1e-9);
    EXPECT_NEAR(searched.farMm, Vy::Model::distanceFromVirtualDepth(c, 3.0), 1e-9);
    // A search outside the calibration's range leaves the calibration's.
    EXPECT_NEAR(MeasurableDistances(c, 20.0, 30.0).farMm, range.farMm, 1e-9);
}

TEST(DepthColorMap, ACalibrationWithoutARangeGivesNone) {
    CCalibration c = Vy::Test::SmallCalibration();
    c.virtualDepthMin = c.virtualDepthMax = 0.0;
    EXPECT_EQ(MeasurableDistances(c, 1.5, 12.0).farMm, 0.0);
    c = Vy::Test::SmallCalibration();
    c.mainFocalLength = 0.0;
    EXPECT_EQ(MeasurableDistances(c, 1.5, 12.0).nearMm, 0.0);
}
