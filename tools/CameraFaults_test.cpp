// The synthetic camera's faults: each shows with the size it is set to, fixed
// patterns stay put, and the ground truth keeps describing what was rendered.
#include "CameraFaults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyException.h"
#include "CameraDesign.h"
#include "CameraModel.h"
#include "EngineQuality.h"
#include "GroundTruth.h"
#include "SequenceGenerator.h"
#include "SyntheticCamera.h"
#include "TestBeads.h"
#include "TestFiles.h"

using namespace Vy::Synth;

namespace {

constexpr double kLevels16 = 65535.0 / 255.0;  // stored levels per 8-bit level at 16 bits

RenderOptions faultyOptions(const CameraFaults& faults, bool noise = false) {
    RenderOptions o;
    o.samples = 4;
    o.noise = noise;
    o.bits = 16;
    o.faults = faults;
    return o;
}

// The converter's output in 8-bit levels.
cv::Mat1d levels(const cv::Mat& raw16) {
    cv::Mat1d out;
    raw16.convertTo(out, CV_64F, 1.0 / kLevels16);
    return out;
}

double spread(const std::vector<double>& values) {
    double sum = 0.0, squares = 0.0;
    for (double v : values) {
        sum += v;
        squares += v * v;
    }
    const double mean = sum / values.size();
    return std::sqrt(std::max(0.0, squares / values.size() - mean * mean));
}

}  // namespace

TEST(CameraFaults, PixelGainsOffsetsAndDefectsHaveTheirSizeAndStayPut) {
    const CCalibration c = defaultCalibration(256, 256);
    CameraFaults f;
    f.blackLevel = 16.0;
    f.prnu = 0.02;
    f.dsnu = 0.5;
    f.hotPixels = 0.002;
    f.deadPixels = 0.002;
    const SyntheticCamera camera(c, faultyOptions(f));
    const cv::Mat1d lit = levels(camera.quantise(cv::Mat1f(256, 256, 100.0f), 1, 0, 1.0));
    const cv::Mat1d dark = levels(camera.quantise(cv::Mat1f(256, 256, 0.0f), 1, 5, 1.0));
    int dead = 0, hot = 0;
    std::vector<double> gains, offsets;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            const bool hotHere = dark(y, x) > 16.0 + 25.0;
            EXPECT_EQ(hotHere, lit(y, x) > 116.0 + 25.0) << "hot in the dark, hot in the light: " << x << "," << y;
            if (hotHere) {
                ++hot;
            } else if (lit(y, x) < 20.0) {
                ++dead;
            } else {
                gains.push_back((lit(y, x) - dark(y, x)) / 100.0);
                offsets.push_back(dark(y, x));
            }
        }
    // 131 of each expected among 65536 pixels.
    EXPECT_NEAR(hot, 131, 40);
    EXPECT_NEAR(dead, 131, 40);
    EXPECT_NEAR(spread(gains), 0.02, 0.002);
    EXPECT_NEAR(spread(offsets), 0.5, 0.05);
    EXPECT_NEAR(cv::mean(dark)[0], 16.0, 0.2 + hot * 220.0 / 65536);

    // Another seed draws another pattern.
    RenderOptions other = faultyOptions(f);
    other.patternSeed = 2;
    const cv::Mat1d otherDark = levels(SyntheticCamera(c, other).quantise(cv::Mat1f(256, 256, 0.0f), 1, 5, 1.0));
    int same = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) same += dark(y, x) > 41.0 && otherDark(y, x) > 41.0;
    EXPECT_LT(same, 10);
}

TEST(CameraFaults, BlackNoiseIsOneOffsetPerRowAndFrame) {
    const CCalibration c = defaultCalibration(128, 256);
    CameraFaults f;
    f.blackLevel = 16.0;
    f.blackNoise = 1.0;
    RenderOptions o = faultyOptions(f, true);
    o.readNoise = 0.0;
    const SyntheticCamera camera(c, o);
    const cv::Mat1d a = levels(camera.quantise(cv::Mat1f(256, 128, 0.0f), 3, 0, 1.0));
    const cv::Mat1d b = levels(camera.quantise(cv::Mat1f(256, 128, 0.0f), 3, 1, 1.0));
    std::vector<double> rows, changes;
    for (int y = 0; y < a.rows; ++y) {
        double lo = 0.0, hi = 0.0;
        cv::minMaxLoc(a.row(y), &lo, &hi);
        EXPECT_LT(hi - lo, 0.01) << "row " << y;
        rows.push_back(a(y, 0));
        changes.push_back(b(y, 0) - a(y, 0));
    }
    EXPECT_NEAR(spread(rows), 1.0, 0.12);
    EXPECT_NEAR(spread(changes), std::sqrt(2.0), 0.17);  // drawn anew each frame
    // The white image is the average of many exposures: its line noise is smaller.
    const cv::Mat1d white = levels(camera.quantise(cv::Mat1f(256, 128, 0.0f), 3, 0, 0.25));
    std::vector<double> whiteRows;
    for (int y = 0; y < white.rows; ++y) whiteRows.push_back(white(y, 0));
    EXPECT_NEAR(spread(whiteRows), 0.25, 0.04);
}

TEST(CameraFaults, CrosstalkAndStrayLightLightTheGaps) {
    const CCalibration c = defaultCalibration(256, 256);
    Scene white;
    white.background = 1.0f;
    const cv::Mat1f exposure = SyntheticCamera(c, faultyOptions({})).expose(white);
    const cv::Mat1b gaps = exposure == 0.0f;
    ASSERT_GT(cv::countNonZero(gaps), 1000);

    CameraFaults crosstalk;
    crosstalk.crosstalk = 0.05;
    const cv::Mat1d spread = levels(SyntheticCamera(c, faultyOptions(crosstalk)).quantise(exposure, 1, 0, 1.0));
    EXPECT_GT(cv::mean(spread, gaps)[0], 1.0);                           // light from the rims reaches the gaps
    EXPECT_NEAR(cv::sum(spread)[0] / cv::sum(exposure)[0], 1.0, 0.005);  // and none is lost

    CameraFaults stray;
    stray.strayLight = 0.04;
    const cv::Mat1d glow = levels(SyntheticCamera(c, faultyOptions(stray)).quantise(exposure, 1, 0, 1.0));
    const double meanExposure = cv::mean(exposure)[0];
    EXPECT_NEAR(cv::mean(glow)[0] - meanExposure, 0.04 * meanExposure, 0.1 * 0.04 * meanExposure);
    // Brighter at the optical axis than at the corners: 1.25 and 0.5 of its mean.
    cv::Mat1d exposureLevels;
    exposure.convertTo(exposureLevels, CV_64F);
    const cv::Mat1d added = glow - exposureLevels;
    EXPECT_NEAR(added(128, 128), 1.25 * 0.04 * meanExposure, 0.02);
    EXPECT_NEAR(added(0, 0), 0.506 * 0.04 * meanExposure, 0.03);  // r^2 = 0.992 at the corner pixel
}

// A spread lens shows a point where its actual centre c' projects it,
// u = c' + (x - c') / v: (1 - 1/v) of the lens's offset from the nominal
// grid, which the calibration still describes.
TEST(CameraFaults, SpreadLensesMoveWhatTheyShow) {
    const CCalibration c = defaultCalibration(192, 192);
    const double v = sharpestVirtualDepth(c);
    // Beads far enough apart that no micro-image shows two.
    std::vector<Vy::Model::Point> points;
    for (double py : {38.6, 96.3, 151.2})
        for (double px : {40.3, 95.6, 152.9}) points.push_back({px, py});
    Scene scene;
    for (const Vy::Model::Point& x : points) scene.particles.push_back(beadImagedAt(c, x, v, 1.5));
    scene.prepare(c.mainApertureDiameter);
    CameraFaults f;
    f.lensSpread = 0.5;
    f.focalSpread = 0.02;
    const SyntheticCamera spreadCamera(c, faultyOptions(f));
    const cv::Mat1f nominal = SyntheticCamera(c, faultyOptions({})).expose(scene);
    const cv::Mat1f moved = spreadCamera.expose(scene);
    std::vector<double> shifts;
    for (const Vy::Model::Point& x : points)
        for (int l = -2; l < 12; ++l)
            for (int k = -2; k < 10; ++k) {
                const Vy::Model::Point lens = Vy::Model::lensCentre(c, k, l);
                const Vy::Model::Point u = Vy::Model::projectToMicroImage(x, lens, v);
                if (std::hypot(u.x - lens.x, u.y - lens.y) > c.microImageRadius - 4.0) continue;
                const cv::Rect window(static_cast<int>(u.x) - 4, static_cast<int>(u.y) - 4, 9, 9);
                if ((window & cv::Rect(0, 0, 192, 192)) != window) continue;
                const cv::Moments a = cv::moments(nominal(window)), b = cv::moments(moved(window));
                if (a.m00 < 1.0) continue;  // a lens the main aperture hides the point from
                shifts.push_back(b.m10 / b.m00 - a.m10 / a.m00);
                shifts.push_back(b.m01 / b.m00 - a.m01 / a.m00);
            }
    ASSERT_GT(shifts.size(), 20u);
    EXPECT_NEAR(spread(shifts), 0.5 * (1.0 - 1.0 / v), 0.1);
    EXPECT_DOUBLE_EQ(spreadCamera.calibration().gridOffsetX, c.gridOffsetX);
}

// Every fault at once, noise included: the same frame on one thread as on three.
TEST(CameraFaults, RealisticRenderIsTheSameWhateverTheThreads) {
    const CCalibration c = defaultCalibration(160, 128);
    Scene scene;
    scene.background = 0.6f;
    scene.particles.push_back(beadImagedAt(c, {80.0, 64.0}, 3.5, 3.0));
    scene.prepare(c.mainApertureDiameter);
    RenderOptions one = faultyOptions(CameraFaults::realistic(), true), three = one;
    one.threads = 1;
    three.threads = 3;
    const cv::Mat a = SyntheticCamera(c, one).render(scene, 7, 2);
    const cv::Mat b = SyntheticCamera(c, three).render(scene, 7, 2);
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(a, SyntheticCamera(c, three).render(scene, 7, 3), cv::NORM_INF), 0.0);
}

TEST(CameraFaults, OptionsByNameWithTheirRanges) {
    CameraFaults f;
    setFault(f, "black-level", 12.0);
    setFault(f, "distortion", -0.01);
    EXPECT_EQ(f.blackLevel, 12.0);
    EXPECT_EQ(f.distortion, -0.01);
    EXPECT_TRUE(f.sensorFaults());
    EXPECT_FALSE(f.lensFaults());
    EXPECT_THROW(setFault(f, "black-level", 65.0), CVyException);
    EXPECT_THROW(setFault(f, "prnu", -0.01), CVyException);
    EXPECT_THROW(setFault(f, "prnu", NAN), CVyException);
    EXPECT_THROW(setFault(f, "smudge", 1.0), CVyException);
    // Every fault the realistic camera has is one an option can set back to none.
    const CameraFaults realistic = CameraFaults::realistic();
    CameraFaults cleared = realistic;
    for (const FaultOption& o : faultOptions())
        if (realistic.*o.member != 0.0 && o.minimum <= 0.0) setFault(cleared, o.name, 0.0);
    EXPECT_FALSE(cleared.sensorFaults() || cleared.lensFaults() || cleared.distortion != 0.0);
}

class CameraFaultsSequenceTest : public Vy::Test::ScratchDirTest {};

// The white image carries the frames' sensor faults: the same black level and
// the same dead pixels; the calibration is the nominal grid; the truth knows
// the black level.
TEST_F(CameraFaultsSequenceTest, RealisticWhiteImageSharesTheFramesFaults) {
    CreateOptions o;
    o.preset = "realistic";
    o.size = 256;
    o.frames = 1;
    o.bits = 12;
    o.faults = {{"dead-pixels", 0.002}};
    const std::string file = path("realistic.rays");
    createSequence(file, o, nullptr);
    CSeqFileReader reader;
    reader.Open(file.c_str(), 2);
    CRayImage image;
    reader.StartReading(image);
    const cv::Mat1w white(256, 256,
                          const_cast<uint16_t*>(static_cast<const uint16_t*>(image.GetWhiteImage().GetPixelData())));
    const cv::Mat1w whiteCopy = white.clone();
    reader.ReadFrame(image);
    const cv::Mat1w frame(256, 256, const_cast<uint16_t*>(static_cast<const uint16_t*>(image.GetPixelData())));
    const double black = 16.0 * 4095.0 / 255.0;
    double lowest = 0.0;
    cv::minMaxLoc(whiteCopy, &lowest);
    EXPECT_GT(lowest, black - 2.5 * 4095.0 / 255.0);  // the gaps read the black level (less DSNU), not 0
    int dead = 0;
    for (int y = 1; y < 255; ++y)
        for (int x = 1; x < 255; ++x) {
            const bool darkAmongBright = whiteCopy(y, x) < black + 60 && whiteCopy(y - 1, x) > 2000 &&
                                         whiteCopy(y + 1, x) > 2000 && whiteCopy(y, x - 1) > 2000 &&
                                         whiteCopy(y, x + 1) > 2000;
            if (!darkAmongBright) continue;
            ++dead;
            EXPECT_LT(frame(y, x), black + 60) << x << "," << y;
        }
    EXPECT_GT(dead, 20);
    const CCalibration nominal = defaultCalibration(256, 256);
    EXPECT_EQ(reader.GetCalibration().gridOffsetX, nominal.gridOffsetX);
    EXPECT_EQ(reader.GetCalibration().lensPitch, nominal.lensPitch);
    EXPECT_NEAR(std::atof(truthIndexValue(truthDirectory(file), "black_level").c_str()), black, 1e-3);
}

// Main-lens distortion moves the image; the truth must move with it, so the
// focus computed from the raw frames at the true depths still matches the
// truth's focus image, while the truth differs from the undistorted one.
TEST_F(CameraFaultsSequenceTest, DistortedTruthFollowsTheRenderedImage) {
    CreateOptions o;
    o.preset = "planes";
    o.size = 384;
    o.frames = 1;
    const std::string clean = path("clean.rays"), distorted = path("distorted.rays");
    createSequence(clean, o, nullptr);
    o.faults = {{"distortion", -0.03}};
    createSequence(distorted, o, nullptr);
    const std::string settings = std::string(VY_BIN_DIR) + "/CurrentSettings-2019-08-09.vyset";
    const QualityReport a = measureEngineQuality(clean, settings, 1, "");
    const QualityReport b = measureEngineQuality(distorted, settings, 1, "");
    EXPECT_GT(b.referenceFocusPsnr, a.referenceFocusPsnr - 1.0);
    const FrameTruth ta = readTruth(truthDirectory(clean), 0), tb = readTruth(truthDirectory(distorted), 0);
    const cv::Rect centre(76, 76, 40, 40), corner(12, 12, 30, 30);
    // The centre moves a little, the corner a lot more.
    EXPECT_GT(cv::norm(ta.focus(corner), tb.focus(corner), cv::NORM_L1) / corner.area(),
              4 * cv::norm(ta.focus(centre), tb.focus(centre), cv::NORM_L1) / centre.area());
}
