#include "SequenceGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyException.h"
#include "CameraDesign.h"
#include "CameraModel.h"
#include "GroundTruth.h"
#include "QualityMetrics.h"
#include "ReferenceFocus.h"
#include "SceneScript.h"
#include "SyntheticCamera.h"
#include "TestFiles.h"
#include "TextFile.h"
#include "VyTypes.h"

using namespace Vy::Synth;
namespace fs = std::filesystem;

namespace {

class SequenceGeneratorTest : public Vy::Test::ScratchDirTest {
protected:
    std::string create(const std::string& preset, int size, int frames, uint64_t seed) {
        CreateOptions o;
        o.preset = preset;
        o.size = size;
        o.frames = frames;
        o.seed = seed;
        const std::string path = (dir_ / (preset + ".rays")).string();
        createSequence(path, o, nullptr);
        return path;
    }

    cv::Mat1b pixels(const CVyImage& image) {
        return cv::Mat1b(image.GetHeight(), image.GetWidth(),
                         const_cast<uint8_t*>(static_cast<const uint8_t*>(image.GetPixelData())))
            .clone();
    }
};

}  // namespace

TEST_F(SequenceGeneratorTest, FileHoldsTheRenderedFramesWithTimeStampsIdsCalibrationAndWhite) {
    const std::string path = create("small", 160, 3, 5);
    CSeqFileReader reader;
    reader.Open(path.c_str(), 0);
    ASSERT_EQ(reader.GetFrameCount(), 3u);
    const CCalibration expected = defaultCalibration(160, 160);
    EXPECT_EQ(reader.GetCalibration().ToText(), expected.ToText());

    const PresetDefaults defaults = presetDefaults("small");
    RenderOptions options;
    options.samples = defaults.samples;
    const SyntheticCamera camera(expected, options);
    const SceneScript script("small", expected, 5, 3);
    CRayImage image;
    reader.StartReading(image);
    ASSERT_FALSE(image.GetWhiteImage().IsEmpty());
    EXPECT_EQ(cv::norm(pixels(image.GetWhiteImage()), camera.renderWhite(5), cv::NORM_INF), 0.0);
    for (uint32_t f = 0; f < 3; ++f) {
        reader.ReadFrame(image);
        EXPECT_EQ(image.frameId, 1000 + static_cast<int32_t>(f));
        EXPECT_DOUBLE_EQ(image.timeStamp, 1565344800000.0 + 40.0 * f);
        EXPECT_EQ(cv::norm(pixels(image), camera.render(script.sceneAt(f), 5, f), cv::NORM_INF), 0.0) << "frame " << f;
    }
}

TEST_F(SequenceGeneratorTest, WithoutWhiteOrTruthNeitherIsWritten) {
    CreateOptions o;
    o.preset = "small";
    o.size = 96;
    o.frames = 1;
    o.white = false;
    o.truth = false;
    const std::string path = (dir_ / "bare.rays").string();
    createSequence(path, o, nullptr);
    CSeqFileReader reader;
    reader.Open(path.c_str(), 0);
    CRayImage image;
    reader.StartReading(image);
    EXPECT_TRUE(image.GetWhiteImage().IsEmpty());
    EXPECT_FALSE(fs::exists(truthDirectory(path)));
}

TEST_F(SequenceGeneratorTest, TruthFilesAreCompleteAndAgreeWithTheModel) {
    const std::string path = create("particles", 320, 2, 3);
    const std::string truthDir = truthDirectory(path);
    ASSERT_TRUE(fs::exists(fs::path(truthDir) / "truth.txt"));
    const CCalibration c = defaultCalibration(320, 320);
    for (uint32_t f = 0; f < 2; ++f) {
        const FrameTruth t = readTruth(truthDir, f);
        ASSERT_EQ(t.focus.cols, 160);
        ASSERT_EQ(t.focus.rows, 160);
        double maxFocus = 0;
        cv::minMaxLoc(t.focus, nullptr, &maxFocus);
        EXPECT_LE(maxFocus, Vy::kFullScale14);
        EXPECT_GT(maxFocus, 0.8 * Vy::kFullScale14) << "particles are nearly white";
        for (int j = 0; j < t.focus.rows; ++j)
            for (int i = 0; i < t.focus.cols; ++i) {
                ASSERT_GT(t.distance(j, i), 0.0f) << "the wall is everywhere behind";
                const double v = Vy::Model::virtualDepthFromDistance(c, t.distance(j, i));
                ASSERT_NEAR(t.virtualDepth(j, i), v, 0.002 + 0.0005 * v) << i << "," << j;
            }
        // Particles sit where the truth maps show them, at their depth; only they are textured.
        ASSERT_FALSE(t.particles.empty());
        for (const ParticleTruth& p : t.particles) {
            const int i = static_cast<int>(p.x), j = static_cast<int>(p.y);
            EXPECT_NEAR(t.virtualDepth(j, i), p.virtualDepth, 0.002) << "particle " << p.id;
            EXPECT_GT(t.focus(j, i), 0.5 * Vy::kFullScale14) << "particle " << p.id;
        }
        const double wallDepth = t.virtualDepth(0, 0);
        for (int j = 0; j < t.focus.rows; ++j)
            for (int i = 0; i < t.focus.cols; ++i) {
                if (t.textured(j, i)) {
                    ASSERT_GT(t.virtualDepth(j, i), wallDepth + 0.5) << i << "," << j;
                }
            }
    }
    // Particles drift between frames.
    EXPECT_NE(readTruth(truthDir, 0).particles[0].x, readTruth(truthDir, 1).particles[0].x);
}

// A lens sees a point from up to v micro-image radii away, so a much nearer surface
// shadows a far one from some lenses over (v_near - v_far) radii beside its edge:
// no depth is expected there, nor just behind any nearer surface's edge.
TEST_F(SequenceGeneratorTest, NearSurfacesShadowFarOnesInProportionToTheirDepthDifference) {
    const CCalibration c = deepRangeCalibration(512, 256);
    const SyntheticCamera camera(c, RenderOptions{});
    const auto plane = [&](double v, double xMin) {
        Plane p;
        p.z0 = Vy::Model::distanceFromVirtualDepth(c, v);
        p.texelSize = kTruthScale * c.pixelSize * (p.z0 / c.mainFocalLength - 1.0);
        p.xMin = xMin;  // where the pattern starts too
        p.texture = std::make_shared<Texture>(Texture::randomPattern(2000, 2000, 5, 0.5f, 0.2f));
        return p;
    };
    // The near plane covers the view's left half (scene x > 0 is the image's left).
    Scene scene;
    scene.planes = {plane(3.0, -50.0), plane(20.0, 0.0)};
    scene.prepare(c.mainApertureDiameter);
    const FrameTruth t = computeTruth(camera, scene, kTruthScale, kFocusGain);
    int edge = 0;
    while (edge < t.virtualDepth.cols && t.virtualDepth(64, edge) > 10.0f) ++edge;
    ASSERT_GT(edge, 100);
    ASSERT_LT(edge, 156);
    // 17 radii of 11.1 px are 94 output pixels; the rule takes radii doubling from half a
    // pitch (6 px) as far as the difference reaches: 48.
    EXPECT_EQ(t.textured(64, edge + 30), 0) << "shadowed by the near plane";
    EXPECT_EQ(t.textured(64, edge + 45), 0);
    EXPECT_EQ(t.textured(64, edge + 70), 255);
    EXPECT_EQ(t.textured(64, edge - 20), 255) << "the near plane itself is seen whole";
}

// Averaging the raw frame over the lenses at the true depth must give back the
// truth's focus image: the renderer, the projection and the radiometry agree.
TEST_F(SequenceGeneratorTest, FocusTruthMatchesTheRawFrameSampledAtTrueDepth) {
    const std::string path = create("planes", 384, 1, 9);
    CSeqFileReader reader;
    reader.Open(path.c_str(), 0);
    CRayImage image;
    reader.StartReading(image);
    const cv::Mat1b white = pixels(image.GetWhiteImage());
    reader.ReadFrame(image);
    const FrameTruth t = readTruth(truthDirectory(path), 0);
    const cv::Mat1w focus =
        referenceFocus(reader.GetCalibration(), pixels(image), white, t.virtualDepth, kTruthScale, 0.3);
    ASSERT_GT(cv::countNonZero(t.textured), t.textured.total() / 2);
    EXPECT_GT(psnr14(focus, t.focus, t.textured), 30.0);
    // A wrong depth smears the pattern: the figure must notice.
    const cv::Mat1w off =
        referenceFocus(reader.GetCalibration(), pixels(image), white, t.virtualDepth * 1.3f, kTruthScale, 0.3);
    EXPECT_LT(psnr14(off, t.focus, t.textured), psnr14(focus, t.focus, t.textured) - 3.0);
}

// The published multi-focus camera: its micro-image pitch, its three focal lengths
// in the order given, and the sensor it is rendered on unless a size is given.
TEST_F(SequenceGeneratorTest, MultiFocusCameraAndItsSingleTypeTwinSeeTheSameScene) {
    const CCalibration c = multiFocusCalibration(4080, 3068);
    EXPECT_NEAR(c.lensPitch * (1.0 + Vy::Model::microImageGrowth(c)), 23.32, 1e-9);
    ASSERT_EQ(c.microLensTypes, 3);
    EXPECT_EQ(c.LensFocalLength(0), 0.566);
    EXPECT_EQ(c.LensFocalLength(1), 0.507);
    EXPECT_EQ(c.LensFocalLength(2), 0.542);
    EXPECT_NEAR(Vy::Model::distanceFromVirtualDepth(c, 0.0), 450.0, 1e-6) << "the MLA sees 450 mm sharp";
    EXPECT_EQ(c.Problem(), "");
    const PresetDefaults defaults = presetDefaults("multifocus");
    EXPECT_EQ(defaults.width, 4080);
    EXPECT_EQ(defaults.height, 3068);

    CreateOptions o;
    o.preset = "multifocus";
    o.size = 192;
    o.frames = 1;
    o.samples = 1;
    const std::string three = (dir_ / "three.rays").string();
    createSequence(three, o, nullptr);
    o.focalLengths = {0.542};
    const std::string middle = (dir_ / "middle.rays").string();
    createSequence(middle, o, nullptr);
    CSeqFileReader a, b;
    a.Open(three.c_str(), 0);
    b.Open(middle.c_str(), 0);
    EXPECT_EQ(a.GetCalibration().microLensTypes, 3);
    EXPECT_EQ(b.GetCalibration().microLensTypes, 1);
    EXPECT_EQ(b.GetCalibration().microLensFocalLength, 0.542);
    CCalibration same = b.GetCalibration();
    same = withLensTypes(same, {0.566, 0.507, 0.542}, 0);
    EXPECT_EQ(same.ToText(), a.GetCalibration().ToText()) << "only the lens types may differ";
    const FrameTruth ta = readTruth(truthDirectory(three), 0), tb = readTruth(truthDirectory(middle), 0);
    EXPECT_EQ(cv::norm(ta.virtualDepth, tb.virtualDepth, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(ta.focus, tb.focus, cv::NORM_INF), 0.0);

    EXPECT_THROW(withLensTypes(c, {}, 0), CVyException);
    EXPECT_THROW(withLensTypes(c, {0.5, 0.5}, 2), CVyException);
    EXPECT_THROW(withLensTypes(c, {0.327}, 0), CVyException) << "a focal length of B focuses at infinity";
}

TEST_F(SequenceGeneratorTest, TargetsShowOnePlateAFrameThroughTheCameraAsBuilt) {
    CreateOptions o;
    o.preset = "target";
    o.size = 256;
    o.distances = {560, 600, 680};
    o.faults = {{"b-error", 0.08}, {"main-distance-error", 0.05}};
    const std::string file = path("target.rays");
    createSequence(file, o, nullptr);
    CSeqFileReader reader;
    reader.Open(file.c_str(), 0);
    EXPECT_EQ(reader.GetFrameCount(), 3u);
    const std::string truthDir = truthDirectory(file);
    EXPECT_EQ(Vy::ReadTextFile(truthDir + "/distances.csv", 4096, "test"),
              "frame,distance_mm\n0,560.000\n1,600.000\n2,680.000\n");
    EXPECT_EQ(truthIndexValue(truthDir, "inner_corners"), "8x6");
    EXPECT_EQ(truthIndexValue(truthDir, "camera.b-error"), "0.08");
    // The plate fills the view at its distance on every frame.
    for (uint32_t f = 0; f < 3; ++f) {
        const FrameTruth t = readTruth(truthDir, f);
        EXPECT_NEAR(t.distance(0, 0), o.distances[f], 0.01);
        EXPECT_NEAR(t.distance(64, 64), o.distances[f], 0.01);
    }
    // The file keeps the design's optics; the truth holds the camera as built.
    const CCalibration design = defaultCalibration(256, 256);
    const CCalibration& written = reader.GetCalibration();
    const CCalibration built =
        CCalibration::FromText(Vy::ReadTextFile(truthDir + "/calibration.txt", 1 << 16, "test"), "truth");
    EXPECT_EQ(written.mlaToSensor, design.mlaToSensor);
    EXPECT_EQ(written.mainLensToMla, design.mainLensToMla);
    EXPECT_NEAR(built.mlaToSensor, 0.35 * 1.08, 1e-12);
    EXPECT_NEAR(built.mainLensToMla, 50.5 * 1.05, 1e-12);
    // f-numbers still matched: the aperture's micro-image is as wide as the design's.
    EXPECT_NEAR(built.mainApertureDiameter * built.mlaToSensor / built.mainLensToMla,
                design.mainApertureDiameter * design.mlaToSensor / design.mainLensToMla, 1e-12);
    // The written grid puts the design's micro-image centres where the built camera's are.
    for (const auto& [k, l] : {std::pair{0, 0}, {9, 4}, {-1, 11}}) {
        const Vy::Model::Point m = Vy::Model::microImageCentre(written, Vy::Model::lensCentre(written, k, l));
        const Vy::Model::Point n = Vy::Model::microImageCentre(built, Vy::Model::lensCentre(built, k, l));
        EXPECT_NEAR(m.x, n.x, 1e-9);
        EXPECT_NEAR(m.y, n.y, 1e-9);
    }
}

TEST_F(SequenceGeneratorTest, TargetOptionsACameraCannotRenderAreRefused) {
    const auto problemOf = [&](CreateOptions o) -> std::string {
        o.size = 128;
        try {
            createSequence(path("x.rays"), o, nullptr);
        } catch (const CVyException& e) {
            return e.Subject() + ": " + e.Reason();
        }
        return "";
    };
    CreateOptions o;
    o.preset = "planes";
    o.distances = {1200, 1500};
    EXPECT_EQ(problemOf(o), "--distances: only the target presets show plates");
    o.preset = "target";
    o.frames = 3;
    EXPECT_EQ(problemOf(o), "--frames 3: a target shows one plate a frame and --distances lists 2");
    o.frames = 0;
    o.distances = {1200, 40};
    EXPECT_EQ(problemOf(o), "--distances 40: a plate must lie beyond the main lens's focal length (50 mm)");
    // 10 % shorter, the MLA would sit within the focal length of the default camera's lens.
    o.distances = {};
    o.faults = {{"main-distance-error", -0.1}};
    EXPECT_NE(problemOf(o).find("--main-distance-error -0.1: the camera would image no object"), std::string::npos);
}
