// The optics fit on rendered targets: cameras whose optics are off their design are fitted to
// within a fraction of a percent, and the recordings a fit cannot use are refused naming the frame.
#include "TargetFit.h"

#include <gtest/gtest.h>

#include <fstream>

#include "CSeqFileWriter.h"
#include "CVyException.h"
#include "CameraDesign.h"
#include "CameraModel.h"
#include "EngineImage.h"
#include "GroundTruth.h"
#include "SequenceGenerator.h"
#include "SyntheticCamera.h"
#include "TestFiles.h"
#include "TextFile.h"

using namespace Vy::Synth;

namespace {

class TargetFitTest : public Vy::Test::ScratchDirTest {
protected:
    // A target of the preset through a camera with B and the main lens's distance off by the shares.
    std::string target(const std::string& preset, double bError, double lError, const std::vector<double>& plates) {
        CreateOptions o;
        o.preset = preset;
        o.size = 512;
        o.distances = plates;
        o.faults = {{"b-error", bError}, {"main-distance-error", lError}};
        const std::string file = path(preset + ".rays");
        createSequence(file, o, nullptr);
        return file;
    }
    std::string problemOf(const TargetFitOptions& o) {
        try {
            fitTarget(o, nullptr);
        } catch (const CVyException& e) {
            return e.Subject() + ": " + e.Reason();
        }
        return "";
    }
    // The camera as it was built, from the truth.
    static CCalibration builtCamera(const std::string& sequence) {
        const std::string file = truthDirectory(sequence) + "/calibration.txt";
        return CCalibration::FromText(Vy::ReadTextFile(file, 1 << 16, "test"), file);
    }
};

}  // namespace

TEST_F(TargetFitTest, CamerasOffTheirDesignAreFittedFromEightPlates) {
    const struct {
        const char* preset;
        double bError, lError;
    } cameras[] = {{"target", -0.07, 0.06}, {"target-multifocus", 0.06, -0.08}};
    for (const auto& camera : cameras) {
        SCOPED_TRACE(camera.preset);
        TargetFitOptions o;
        o.recordings = {target(camera.preset, camera.bError, camera.lError, {})};
        o.distances = truthDirectory(o.recordings[0]) + "/distances.csv";
        o.squareMm = std::stod(truthIndexValue(truthDirectory(o.recordings[0]), "square_mm"));
        const TargetFit fit = fitTarget(o, nullptr);
        ASSERT_EQ(fit.plates.size(), 8u);
        EXPECT_GT(fit.medianBefore, 0.05);  // the design's optics are far off
        EXPECT_LT(fit.medianAfter, 0.003);
        EXPECT_LT(fit.worstAfter, 0.01);
        const CCalibration truth = builtCamera(o.recordings[0]);
        EXPECT_NEAR(fit.calibration.mlaToSensor / truth.mlaToSensor, 1.0, 0.02);
        EXPECT_NEAR(fit.calibration.mainLensToMla / truth.mainLensToMla, 1.0, 0.002);
        EXPECT_EQ(fit.calibration.Problem(), "");
        EXPECT_GE(fit.boards, 6);
        EXPECT_LT(std::abs(fit.squareMedian), 0.005);
        // The plates span the camera's middle; its whole range reaches a little beyond them.
        EXPECT_LT(fit.cameraNear, fit.plates.front().distance);
        EXPECT_GT(fit.cameraFar, fit.plates.back().distance);

        // Checked against the recording's own optics, nothing moves and the error stays.
        o.checkOnly = true;
        const TargetFit check = fitTarget(o, nullptr);
        EXPECT_EQ(check.calibration.ToText(), check.start.ToText());
        EXPECT_DOUBLE_EQ(check.medianAfter, fit.medianBefore);
        const std::string report = fitReport(fit, o);
        EXPECT_NE(report.find("holds over"), std::string::npos);

        // One distance in the table 10 % off: the fitted lens misses it, and the fit is refused.
        o.checkOnly = false;
        std::string table = "frame,distance_mm\n";
        for (const PlateRow& row : fit.plates)
            table += std::to_string(row.firstFrame) + "," +
                     std::to_string(row.firstFrame == 4 ? row.distance * 1.1 : row.distance) + "\n";
        o.distances = path("wrong.csv");
        std::ofstream(o.distances) << table;
        const std::string wrong = problemOf(o);
        EXPECT_NE(wrong.find("the plates do not follow one lens"), std::string::npos) << wrong;
        EXPECT_NE(wrong.find("(frame 4)"), std::string::npos) << wrong;
    }
}

TEST_F(TargetFitTest, FramesCountOverTheRecordingsAndPoolByDistance) {
    // One camera, two sessions: the plate at 640 mm was recorded in both.
    const std::vector<double> first = {560, 600, 640}, second = {640, 680, 700};
    TargetFitOptions o;
    o.recordings = {target("target", 0.05, 0.05, first), path("second.rays")};
    CreateOptions again;
    again.preset = "target";
    again.size = 512;
    again.distances = second;
    again.faults = {{"b-error", 0.05}, {"main-distance-error", 0.05}};
    createSequence(o.recordings[1], again, nullptr);
    o.distances = path("both.csv");
    // Frame 4 (680 mm in the second recording) is left out.
    std::ofstream(o.distances) << "0,560\n1,600\n2,640\n3,640\n5,700\n";
    const TargetFit fit = fitTarget(o, nullptr);
    ASSERT_EQ(fit.plates.size(), 4u);
    EXPECT_EQ(fit.plates[2].distance, 640);
    EXPECT_EQ(fit.plates[2].frames, 2);
    EXPECT_EQ(fit.plates[2].firstFrame, 2);
    EXPECT_EQ(fit.plates[3].frames, 1);
    EXPECT_EQ(fit.plates[3].firstFrame, 5);
    EXPECT_LT(fit.worstAfter, 0.01);
}

// raystool calibrate writes the micro-image grid as the lens grid and no exit pupil: distances still
// fit, and the squares, which such a block draws smaller the nearer they are, give the exit pupil.
TEST_F(TargetFitTest, ABlockWithoutExitPupilGetsItFromTheSquares) {
    TargetFitOptions o;
    o.recordings = {target("target", 0.08, 0.05, {})};
    o.distances = truthDirectory(o.recordings[0]) + "/distances.csv";
    const CCalibration truth = builtCamera(o.recordings[0]);
    const double g = Vy::Model::microImageGrowth(truth);
    CCalibration microImages = Vy::Model::lensGridScaled(truth, 1 + g);
    microImages.exitPupilDistance = 0;
    microImages.mlaToSensor = 0.35;  // the design's optics
    microImages.mainLensToMla = 50.5;
    o.calibration = path("micro.txt");
    std::ofstream(o.calibration) << microImages.ToText();

    const TargetFit depthsOnly = fitTarget(o, nullptr);
    EXPECT_EQ(depthsOnly.growth, 0.0);
    EXPECT_EQ(depthsOnly.calibration.exitPupilDistance, 0.0);
    EXPECT_LT(depthsOnly.worstAfter, 0.01);

    o.squareMm = std::stod(truthIndexValue(truthDirectory(o.recordings[0]), "square_mm"));
    const TargetFit fit = fitTarget(o, nullptr);
    EXPECT_NEAR(fit.growth, g, 0.15 * g);
    EXPECT_NEAR(Vy::Model::microImageGrowth(fit.calibration), fit.growth, 1e-9);
    // The micro-image centres stay where the block had them.
    const Vy::Model::Point m =
        Vy::Model::microImageCentre(fit.calibration, Vy::Model::lensCentre(fit.calibration, 20, 3));
    const Vy::Model::Point given = Vy::Model::lensCentre(microImages, 20, 3);
    EXPECT_NEAR(m.x, given.x, 1e-6);
    EXPECT_NEAR(m.y, given.y, 1e-6);
    EXPECT_LT(std::abs(fit.squareMedian), 0.005);
    EXPECT_LT(fit.medianAfter, 0.003);
    EXPECT_NEAR(fit.calibration.mlaToSensor / truth.mlaToSensor, 1.0, 0.01);
    EXPECT_NE(fitReport(fit, o).find("grid: the block has no exit pupil"), std::string::npos);
}

TEST_F(TargetFitTest, RefusesOneDistanceABlankPlateAndPlatesBeyondTheCamera) {
    TargetFitOptions o;
    // The design's own camera: it sees v 2 .. 6, about 1000 .. 2200 mm; 700 mm is v 9.6.
    o.recordings = {target("target", 0, 0, {1300, 1600, 700})};
    o.distances = path("one.csv");
    std::ofstream(o.distances) << "frame,distance_mm\n0,1300\n";
    EXPECT_EQ(problemOf(o),
              o.distances + ": 1 distinct distance; the fit needs at least 3 (8 spread over the range are better)");

    o.distances = path("beyond.csv");
    std::ofstream(o.distances) << "0,1300\n1,1600\n2,700\n";
    const std::string beyond = problemOf(o);
    EXPECT_EQ(beyond.rfind(o.recordings[0] + ": frame 2 (700.0 mm, table line 3): the plate lies outside the distances "
                                             "the camera sees: it shows at virtual depth ",
                           0),
              0u)
        << beyond;
    EXPECT_NE(beyond.find("beyond the camera's 2..6"), std::string::npos) << beyond;

    std::ofstream(path("past.csv")) << "0,1300\n1,1600\n3,1800\n";
    o.distances = path("past.csv");
    EXPECT_EQ(problemOf(o), o.distances + ": line 3: frame 3 is past the last frame (3 in the recordings)");

    // A plate without any pattern: nothing for the engine to match.
    const CCalibration c = defaultCalibration(512, 512);
    const SyntheticCamera camera(c, RenderOptions{});
    Scene blank;
    Plane plate;
    plate.z0 = 1500;
    plate.texture = std::make_shared<Texture>(Texture::uniform(0.6f));
    blank.planes.push_back(plate);
    blank.prepare(20);
    CSeqFileWriter writer;
    const std::string blankFile = path("blank.rays");
    writer.Create(blankFile, {512, 512, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte}, c,
                  engineImage(camera.renderWhite(1), 8), 8);
    for (uint32_t f = 0; f < 3; ++f) writer.WriteFrame(engineImage(camera.render(blank, 1, f), 8));
    writer.Close();
    o.recordings = {blankFile};
    o.distances = path("blank.csv");
    std::ofstream(o.distances) << "0,1300\n1,1500\n2,1700\n";
    const std::string none = problemOf(o);
    EXPECT_EQ(none.rfind(blankFile + ": frame 0 (1300.0 mm, table line 1): no plate found (", 0), 0u) << none;
}
