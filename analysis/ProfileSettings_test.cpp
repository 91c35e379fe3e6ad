#include "ProfileSettings.h"

#include <gtest/gtest.h>

#include <fstream>

#include "CVyException.h"

namespace Vy::Analysis {
namespace {

TEST(ProfileSettingsFile, DefaultsAreTheHistoricBoundsAndAFileChangesThem) {
    CParameterSet params;
    declareProfileSettings(params);
    const ProfileSettings defaults = readProfileSettings(params);
    EXPECT_EQ(defaults.bounds.minArea, 3.0);
    EXPECT_EQ(defaults.bounds.maxArea, 400.0);
    EXPECT_EQ(defaults.bounds.maxAxis, 20.0);
    EXPECT_EQ(defaults.bounds.cannyLow, 5.0);
    EXPECT_EQ(defaults.bounds.cannyHigh, 75.0);
    EXPECT_EQ(defaults.bounds.closingSize, 7);
    EXPECT_TRUE(defaults.particleTable);
    EXPECT_EQ(defaults.tracking.velocityMinPositions, 5);
    // An undeclared set (a runtime that never heard of them) gives the defaults too.
    EXPECT_EQ(readProfileSettings(CParameterSet()).bounds.maxArea, 400.0);

    const std::string file = testing::TempDir() + "/profile.vyset";
    std::ofstream(file) << "profile.max_area = 50\nprofile.closing_size = 5\nparticles.table = 0\ntrack.gate_mm = 3\n"
                           "track.velocity_min_positions = 8\n";
    params.ImportParameterFromFile(CVyString(file));
    const ProfileSettings changed = readProfileSettings(params);
    EXPECT_EQ(changed.bounds.maxArea, 50.0);
    EXPECT_EQ(changed.bounds.closingSize, 5);
    EXPECT_FALSE(changed.particleTable);
    EXPECT_EQ(changed.tracking.gateMm, 3.0);
    EXPECT_EQ(changed.tracking.velocityMinPositions, 8);
    std::ofstream(file) << "profile.closing_size = 0\n";
    EXPECT_THROW(params.ImportParameterFromFile(CVyString(file)), CVyException);
}

}  // namespace
}  // namespace Vy::Analysis
