#include "CCalibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "CCudaCompute.h"
#include "CSeqFileReader.h"
#include "CSeqFileWriter.h"
#include "CVyException.h"
#include "CalibrationSamples.h"
#include "CameraModel.h"
#include "TestFiles.h"

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

// A multi-focus block names its lens types and needs version 3; a single-focus
// block is written as before, so older readers of ours still open it.
TEST(CCalibrationTest, LensTypesRoundTripAndSingleFocusBlocksStayAsTheyWere) {
    CCalibration single = Vy::Test::SmallCalibration();
    const std::string singleText = single.ToText();
    EXPECT_EQ(singleText.find("microLensTypes"), std::string::npos) << singleText;
    EXPECT_EQ(singleText.rfind("# rays calibration\nversion = 2\n", 0), 0u);
    EXPECT_EQ(CCalibration::FromText(singleText, "mem").microLensTypes, 1);

    CCalibration multi = single;
    multi.microLensTypes = 3;
    multi.microLensFocalLength1 = 0.507;
    multi.microLensFocalLength2 = 0.542;
    multi.lensTypeOffset = 2;
    ASSERT_EQ(multi.Problem(), "");
    const std::string text = multi.ToText();
    EXPECT_EQ(text.rfind("# rays calibration\nversion = 3\n", 0), 0u) << text;
    const CCalibration back = CCalibration::FromText(text, "mem");
    EXPECT_EQ(back.ToText(), text);
    EXPECT_EQ(back.microLensTypes, 3);
    EXPECT_EQ(back.LensFocalLength(0), single.microLensFocalLength);
    EXPECT_EQ(back.LensFocalLength(1), 0.507);
    EXPECT_EQ(back.LensFocalLength(2), 0.542);
    EXPECT_EQ(back.lensTypeOffset, 2);

    const auto problemWith = [&](auto change) {
        CCalibration c = multi;
        change(c);
        return c.Problem();
    };
    EXPECT_EQ(problemWith([](CCalibration& c) { c.microLensTypes = 4; }), "microLensTypes 4 is outside [1, 3]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.microLensTypes = 0; }), "microLensTypes 0 is outside [1, 3]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.lensTypeOffset = 3; }), "lensTypeOffset 3 is outside [0, 2]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.microLensFocalLength2 = 0; }),
              "microLensFocalLength2 0 mm is not positive (microLensTypes is 3)");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.microLensFocalLength2 = std::nan(""); }),
              "microLensFocalLength2 nan mm is not positive (microLensTypes is 3)");
    EXPECT_EQ(problemWith([](CCalibration& c) {
                  c.microLensTypes = 2;
                  c.lensTypeOffset = 1;
              }),
              "");
}

// The three types interleave: no lens has a neighbour of its own type, each
// type holds a third of the lenses, and the offset rotates the types.
TEST(CCalibrationTest, LensTypeLayoutGivesEveryNeighbourAnotherType) {
    CCalibration c = Vy::Test::SmallCalibration();
    c.microLensTypes = 3;
    int count[3] = {0, 0, 0};
    for (int l = -7; l <= 7; ++l) {
        for (int k = -7; k <= 7; ++k) {
            const int type = Vy::Model::lensType(c, k, l);
            ASSERT_GE(type, 0);
            ASSERT_LT(type, 3);
            ++count[type];
            // The six nearest lens centres are the neighbours, whatever the row's parity.
            const Vy::Model::Point centre = Vy::Model::lensCentre(c, k, l);
            int neighbours = 0;
            for (int dl = -1; dl <= 1; ++dl) {
                for (int dk = -1; dk <= 1; ++dk) {
                    const Vy::Model::Point other = Vy::Model::lensCentre(c, k + dk, l + dl);
                    const double distance = std::hypot(other.x - centre.x, other.y - centre.y);
                    if (std::abs(distance - c.lensPitch) < 1e-6) {
                        ++neighbours;
                        EXPECT_NE(Vy::Model::lensType(c, k + dk, l + dl), type) << k << "," << l;
                    }
                }
            }
            EXPECT_EQ(neighbours, 6);
        }
    }
    EXPECT_EQ(count[0], 75);
    EXPECT_EQ(count[1], 75);
    EXPECT_EQ(count[2], 75);
    CCalibration shifted = c;
    shifted.lensTypeOffset = 1;
    EXPECT_EQ(Vy::Model::lensType(shifted, 4, -3), (Vy::Model::lensType(c, 4, -3) + 1) % 3);
    c.microLensTypes = 1;
    EXPECT_EQ(Vy::Model::lensType(c, 4, -3), 0);
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
    EXPECT_EQ(FromTextError("version = 4\n"), "cam.rays:1 unsupported calibration version 4");
    EXPECT_EQ(FromTextError("microLensTypes = 2.5\n"), "cam.rays:1 value '2.5' of 'microLensTypes' is not an integer");
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

// Values that pass as numbers but that the engine cannot build a lens grid from
// (they overflowed its lattice indices and crashed the renderer) are problems, so
// neither a sequence file nor the engine takes them.
TEST(CCalibrationTest, ValuesTheEngineCannotRepresentAreProblems) {
    const auto problemWith = [](auto change) {
        CCalibration c = Vy::Test::SmallCalibration();
        change(c);
        return c.Problem();
    };
    EXPECT_EQ(problemWith([](CCalibration& c) { c.gridOffsetX = 1e18; }), "gridOffsetX 1e+18 px is outside [-64, 128]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.gridOffsetX = 1e10; }), "gridOffsetX 1e+10 px is outside [-64, 128]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.gridOffsetY = -1e18; }),
              "gridOffsetY -1e+18 px is outside [-48, 96]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.gridOffsetY = 96.5; }), "gridOffsetY 96.5 px is outside [-48, 96]");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.gridOffsetX = -64; }), "");
    EXPECT_EQ(problemWith([](CCalibration& c) { c.sensorWidth = c.sensorHeight = 32768; }),
              "sensor size 32768x32768 has more than 67108864 pixels");
    EXPECT_EQ(problemWith([](CCalibration& c) {
                  c.sensorWidth = c.sensorHeight = 8192;
                  c.lensPitch = 4;
                  c.microImageRadius = 2;
              }),
              "lens pitch 4 px gives more lenses than the engine handles on a 8192x8192 sensor (1048576)");

    CCalibration far = Vy::Test::SmallCalibration();
    far.gridOffsetX = 1e18;
    CCudaCompute engine;
    try {
        engine.ApplyCalibration(far, true);
        ADD_FAILURE() << "the engine took an offset of 1e18";
    } catch (const CVyException& error) {
        EXPECT_EQ(error.Reason(), "gridOffsetX 1e+18 px is outside [-64, 128]");
    }

    // A file whose calibration text says so is refused when opened, naming the key.
    Vy::Test::ScratchDir dir;
    const std::string path = dir.File("far.rays");
    const CCalibration good = Vy::Test::SmallCalibration();
    const CVyImageFormat format{good.sensorWidth, good.sensorHeight, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte};
    CSeqFileWriter writer;
    writer.Create(CVyString(path), format, good, CVyImage());
    writer.Close();
    std::ifstream written(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    written.close();
    const size_t value = bytes.find("gridOffsetX = ") + 14;
    const size_t length = bytes.find('\n', value) - value;
    ASSERT_GE(length, 4u);
    bytes.replace(value, length, std::string(length - 4, '0') + "1e18");  // same length, so the header still fits
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    CSeqFileReader reader;
    try {
        reader.Open(CVyString(path), 0);
        ADD_FAILURE() << "the reader took an offset of 1e18";
    } catch (const CVyException& error) {
        EXPECT_EQ(error.Reason(), "gridOffsetX 1e+18 px is outside [-64, 128]");
    }
}

// Sensor faults are written only where known: a clean camera's block is as
// before, and blocks without them read as "black level unknown, no defects".
TEST(CCalibrationTest, SensorFaultsRoundTripAndStayOptional) {
    CCalibration c = Vy::Test::SmallCalibration();
    const std::string clean = c.ToText();
    EXPECT_EQ(clean.find("blackLevel"), std::string::npos);
    EXPECT_EQ(clean.find("defectivePixels"), std::string::npos);
    EXPECT_EQ(CCalibration::FromText(clean, "mem").blackLevel, -1.0);
    c.blackLevel = 64.5;
    c.defectivePixels = {{3, 4}, {63, 47}, {0, 0}};
    const std::string text = c.ToText();
    EXPECT_NE(text.find("\nblackLevel = 64.5\ndefectivePixels = 3,4 63,47 0,0\n"), std::string::npos) << text;
    const CCalibration back = CCalibration::FromText(text, "mem");
    EXPECT_EQ(back.blackLevel, 64.5);
    EXPECT_EQ(back.defectivePixels, c.defectivePixels);
    EXPECT_EQ(back.ToText(), text);
    EXPECT_TRUE(back.IsValid()) << back.Problem();

    EXPECT_EQ(FromTextError("defectivePixels = 3,4 5\n"),
              "cam.rays:1 value '3,4 5' of 'defectivePixels' is not a list of x,y pixel positions");
    EXPECT_EQ(FromTextError("defectivePixels = 3,4.5\n"),
              "cam.rays:1 value '3,4.5' of 'defectivePixels' is not a list of x,y pixel positions");
    EXPECT_EQ(FromTextError("blackLevel = dark\n"), "cam.rays:1 value 'dark' of 'blackLevel' is not a number");
    CCalibration off = back;
    off.defectivePixels.emplace_back(64, 2);
    EXPECT_EQ(off.Problem(), "defective pixel 64,2 lies off the 64x48 sensor");
    off = back;
    off.blackLevel = 70000.0;
    EXPECT_EQ(off.Problem(), "blackLevel 70000 is not a sample value (below 0: unknown, at most 65535)");
}

}  // namespace
