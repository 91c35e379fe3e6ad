#include "CCalibration.h"

#include <gtest/gtest.h>

#include <cmath>

#include "CVyException.h"
#include "CalibrationSamples.h"

namespace {

std::string FromTextError(const std::string& text) {
    try {
        CCalibration::FromText(text, "cam.rays");
    } catch (const CVyException& error) {
        return error.Subject() + " " + error.Reason();
    }
    return "";
}

TEST(CCalibrationTest, TextRoundTripIsExact) {
    const CCalibration original = Vy::Test::SmallCalibration();
    const std::string text = original.ToText();
    EXPECT_EQ(text.rfind("# rays calibration\nversion = 2\n", 0), 0u) << text;
    const CCalibration back = CCalibration::FromText(text, "mem");
    EXPECT_EQ(back.ToText(), text);
    EXPECT_EQ(back.virtualDepthMax, original.virtualDepthMax);
    EXPECT_EQ(back.gridRotation, original.gridRotation);
    EXPECT_EQ(back.sensorHeight, 48);
    EXPECT_TRUE(back.IsValid()) << back.Problem();
}

// Blocks written before the exit pupil was known still open: their
// micro-images are centred on the lenses.
TEST(CCalibrationTest, VersionOneBlocksOpenWithoutTheExitPupil) {
    CCalibration original = Vy::Test::SmallCalibration();
    original.exitPupilDistance = 36.1;
    std::string text = original.ToText();
    EXPECT_NE(text.find("\nexitPupilDistance = 36.100000000000001\n"), std::string::npos) << text;
    EXPECT_EQ(CCalibration::FromText(text, "mem").exitPupilDistance, 36.1);
    std::string old = text.replace(text.find("version = 2"), 11, "version = 1");
    old.erase(old.find("exitPupilDistance"),
              old.find('\n', old.find("exitPupilDistance")) - old.find("exitPupilDistance") + 1);
    const CCalibration back = CCalibration::FromText(old, "mem");
    EXPECT_EQ(back.version, 1);
    EXPECT_EQ(back.exitPupilDistance, 0.0);
    EXPECT_TRUE(back.IsValid()) << back.Problem();
}

TEST(CCalibrationTest, MissingKeysKeepDefaults) {
    const CCalibration c = CCalibration::FromText("lensPitch = 10\n", "mem");
    EXPECT_EQ(c.lensPitch, 10.0);
    EXPECT_EQ(c.sensorWidth, 0);
    EXPECT_EQ(c.gridType, "hex");
    EXPECT_FALSE(c.IsValid());
}

TEST(CCalibrationTest, BadTextNamesSourceAndLine) {
    EXPECT_EQ(FromTextError("version = 1\nfocus = 3\n"), "cam.rays:2 unknown key 'focus'");
    EXPECT_EQ(FromTextError("lensPitch 12\n"), "cam.rays:1 malformed line (expected key = value)");
    EXPECT_EQ(FromTextError("\nlensPitch = 1,5\n"), "cam.rays:2 value '1,5' of 'lensPitch' is not a number");
    EXPECT_EQ(FromTextError("sensorWidth = 12.5\n"), "cam.rays:1 value '12.5' of 'sensorWidth' is not an integer");
    EXPECT_EQ(FromTextError("version = 3\n"), "cam.rays:1 unsupported calibration version 3");
    EXPECT_EQ(FromTextError("lensPitch = inf\n"), "cam.rays:1 value 'inf' of 'lensPitch' is not a number");
}

TEST(CCalibrationTest, ProblemNamesTheUnusablePart) {
    const auto problemWith = [](auto change) {
        CCalibration c = Vy::Test::SmallCalibration();
        change(c);
        return c.Problem();
    };
    EXPECT_EQ(CCalibration().Problem(), "sensor size 0x0 is not positive");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.sensorWidth = 40000; }), "sensor size 40000x48 exceeds 32768 pixels");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.lensPitch = 3.5; }), "lens pitch 3.5 px is outside [4, 1024]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.lensPitch = 2000; }), "lens pitch 2000 px is outside [4, 1024]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.microImageRadius = 13; }),
              "micro-image radius 13 px is outside (0, lens pitch 12.25]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.microImageRadius = 0; }),
              "micro-image radius 0 px is outside (0, lens pitch 12.25]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.mainFocalLength = 0; }), "mainFocalLength 0 mm is not positive");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.mlaToSensor = -1; }), "mlaToSensor -1 mm is not positive");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.pixelSize = 0; }), "pixel size 0 mm is not positive");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.virtualDepthMin = 1; }),
              "virtual depth range [1, 6.33333] is unusable (needs 1 < min < max)");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.virtualDepthMax = 2; }),
              "virtual depth range [2, 2] is unusable (needs 1 < min < max)");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.gridType = "square"; }),
              "grid type 'square' is not supported (only hex)");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.principalX = std::nan(""); }), "principalX is not a finite number");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.exitPupilDistance = 1.0; }),
              "exitPupilDistance 1 mm is neither 0 (unknown) nor at least 4 x mlaToSensor");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.exitPupilDistance = 36.1; }), "");
}

}  // namespace
