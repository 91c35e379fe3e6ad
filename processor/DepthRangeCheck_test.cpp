#include "DepthRangeCheck.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "CameraModel.h"

namespace {

// n depths spread evenly in 1/v over low .. high, both ends left out.
std::vector<float> spread(double low, double high, int n) {
    std::vector<float> depths;
    for (int i = 1; i <= n; ++i)
        depths.push_back(static_cast<float>(1.0 / (1.0 / low + (1.0 / high - 1.0 / low) * i / (n + 1))));
    return depths;
}

}  // namespace

// What the check is given as the searched range: what the engine searches.
TEST(DepthRangeCheck, SearchedRangeIsTheSettingsWithinTheCalibration) {
    CCalibration c;
    c.virtualDepthMin = 2.0;
    c.virtualDepthMax = 6.0;
    EXPECT_EQ(Vy::Model::searchedVirtualDepths(c, 1.5, 12.0), std::make_pair(2.0, 6.0));
    EXPECT_EQ(Vy::Model::searchedVirtualDepths(c, 3.0, 4.0), std::make_pair(3.0, 4.0));
    EXPECT_EQ(Vy::Model::searchedVirtualDepths(c, 1.01, 100.0), std::make_pair(2.0, 6.0));
    // Ranges that do not meet, and a calibration without one: the settings'.
    EXPECT_EQ(Vy::Model::searchedVirtualDepths(c, 8.0, 12.0), std::make_pair(8.0, 12.0));
    c.virtualDepthMin = c.virtualDepthMax = 0.0;
    EXPECT_EQ(Vy::Model::searchedVirtualDepths(c, 1.5, 12.0), std::make_pair(1.5, 12.0));
}

// A scene inside the range, even one that fills it to its ends, is no reason to warn: evenly spread,
// a sixtieth of its depths lies within a quarter of a search step of each end.
TEST(DepthRangeCheck, ASceneWithinTheRangeGivesNoWarning) {
    DepthRangeCheck check;
    check.setRange(2.0, 6.0, 16);
    std::vector<float> depths = spread(2.0, 6.0, 1000);
    depths.insert(depths.end(), 3000, 0.0f);  // invalid depths count for nothing
    depths.push_back(std::numeric_limits<float>::quiet_NaN());
    for (int frame = 0; frame < 10; ++frame) EXPECT_EQ(check.add(depths.data(), depths.size()), "");
    EXPECT_NEAR(check.lowShare(), 1.0 / 60, 0.002);
    EXPECT_NEAR(check.highShare(), 1.0 / 60, 0.002);
}

// Depths piled up on an end: one warning over the run, with the shares and what to change.
TEST(DepthRangeCheck, DepthsPiledAtAnEndWarnOnceNamingTheKeys) {
    DepthRangeCheck check;
    check.setRange(3.3, 3.6, 16);
    std::vector<float> depths = spread(3.35, 3.55, 940);
    // The first frame is inside; then 8 % of each frame's depths on the near end, just inside it:
    // the run's share passes 5 % in the third frame.
    EXPECT_EQ(check.add(depths.data(), depths.size()), "");
    depths.insert(depths.end(), 80, 3.5999f);
    EXPECT_EQ(check.add(depths.data(), depths.size()), "");  // 80 of 1960: 4.1 %
    const std::string line = check.add(depths.data(), depths.size());
    EXPECT_NEAR(check.highShare(), 160.0 / 2980, 1e-12);
    EXPECT_EQ(check.lowShare(), 0.0);
    EXPECT_EQ(line,
              "MarlinProfileProc: warning: 0.0 % of the depths lie at the far end and 5.4 % at the near end of the "
              "searched virtual depth range 3.3..3.6, so the scene reaches beyond it: widen the calibration's "
              "virtualDepthMin/virtualDepthMax (raystool calibrate WHITE FRAME finds them) and the settings' "
              "depth.virtual_min/depth.virtual_max to take them in")
        << line;
    for (int frame = 0; frame < 5; ++frame) EXPECT_EQ(check.add(depths.data(), depths.size()), "");

    // A new range starts the count again, and the far end warns alike.
    check.setRange(3.3, 3.6, 16);
    std::vector<float> far(100, 3.3f);
    EXPECT_NE(check.add(far.data(), far.size()).find("100.0 % of the depths lie at the far end"), std::string::npos);
    EXPECT_EQ(check.highShare(), 0.0);
}
