// Finding the micro-image grid in white images of the synthetic camera with random grids,
// fall-off, noise, dead micro-images and dust; images without a grid are refused.
#include "GridCalibrator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <random>

#include "CVyException.h"
#include "CameraDesign.h"
#include "CameraModel.h"
#include "GridCalibratorTestImages.h"
#include "SceneScript.h"
#include "SyntheticCamera.h"
#include "VyTypes.h"

using namespace Vy::Synth;

namespace {

struct Errors {
    double centreRms = 0, pitchRelative = 0, rotationDegrees = 0;
};

// Compares the estimate with the true micro-image grid: the lens grid widened by B / D about the principal point.
Errors compare(const CCalibration& truth, const GridEstimate& g) {
    const double scale = 1.0 + truth.mlaToSensor / truth.exitPupilDistance;
    Errors e;
    e.pitchRelative = std::abs(g.pitch / (truth.lensPitch * scale) - 1.0);
    e.rotationDegrees = std::abs(g.rotation - truth.gridRotation) * 180.0 / Vy::kPi;
    const double ca = g.pitch * std::cos(g.rotation), sa = g.pitch * std::sin(g.rotation), h = std::sqrt(3.0) / 2;
    double sum = 0;
    int n = 0;
    for (int l = -2; l < 60; ++l)
        for (int k = -30; k < 60; ++k) {
            const Vy::Model::Point c = Vy::Model::lensCentre(truth, k, l);
            const double mx = c.x + (scale - 1) * (c.x - truth.principalX),
                         my = c.y + (scale - 1) * (c.y - truth.principalY);
            if (mx < 0 || my < 0 || mx > truth.sensorWidth || my > truth.sensorHeight) continue;
            // The estimated grid point nearest this micro-image.
            const double dx = mx - g.offsetX, dy = my - g.offsetY;
            const double w = (-sa * dx + ca * dy) / (g.pitch * g.pitch) / h,
                         u = (ca * dx + sa * dy) / (g.pitch * g.pitch);
            const double j = std::round(w), i = std::round(u - 0.5 * j);
            const double ex = g.offsetX + ca * (i + 0.5 * j) - sa * h * j,
                         ey = g.offsetY + sa * (i + 0.5 * j) + ca * h * j;
            sum += (ex - mx) * (ex - mx) + (ey - my) * (ey - my);
            ++n;
        }
    e.centreRms = std::sqrt(sum / n);
    return e;
}

cv::Mat whiteImage(const CCalibration& c, uint64_t seed, bool damaged) {
    RenderOptions render;
    render.samples = 2;
    render.bits = 12;
    cv::Mat1f white;
    SyntheticCamera(c, render).renderWhite(seed).convertTo(white, CV_32F);
    // Fall-off towards the corners, as a main lens's vignetting gives.
    for (int y = 0; y < white.rows; ++y)
        for (int x = 0; x < white.cols; ++x) {
            const double r = std::hypot(x - c.principalX, y - c.principalY) / c.sensorWidth;
            white(y, x) *= static_cast<float>(1.0 - 0.8 * r * r);
        }
    if (damaged) {
        std::mt19937_64 random(seed);
        std::uniform_real_distribution<double> unit(0, 1);
        const double pitch = c.lensPitch;
        // About 5 % of the micro-images dead, and a few dust spots.
        const int lenses = static_cast<int>(c.sensorWidth * c.sensorHeight / (pitch * pitch * 0.866));
        for (int n = 0; n < lenses / 20; ++n)
            cv::circle(white, cv::Point(int(unit(random) * c.sensorWidth), int(unit(random) * c.sensorHeight)),
                       int(pitch * 0.55), cv::Scalar(unit(random) * 100), cv::FILLED);
        for (int n = 0; n < 4; ++n) {
            cv::Mat1f spot(white.size(), 1.0f);
            cv::circle(spot, cv::Point(int(unit(random) * c.sensorWidth), int(unit(random) * c.sensorHeight)),
                       int(pitch * (0.3 + unit(random))), cv::Scalar(0.5), cv::FILLED);
            cv::GaussianBlur(spot, spot, cv::Size(0, 0), pitch * 0.2);
            white = white.mul(spot);
        }
    }
    cv::Mat1w out;
    white.convertTo(out, CV_16U);
    return out;
}

// Small sensors keep the test quick; larger ones (more micro-images) fit more closely.
constexpr int kSide = 400;

TEST(GridCalibrator, FindsRandomGridsInWhiteImages) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(0, 1);
    for (const bool damaged : {false, true}) {
        Errors worst;
        double rmsSum = 0;
        const int cases = 20;
        for (int n = 0; n < cases; ++n) {
            const double pitch = 14 + 26 * unit(random);
            const CCalibration c = calibrationWithGrid(kSide, kSide, pitch, (unit(random) * 4 - 2) * Vy::kPi / 180,
                                                       unit(random) * pitch, unit(random) * pitch);
            const GridEstimate g = findGrid(whiteImage(c, 100 + n, damaged), 0.0, "white");
            const Errors e = compare(c, g);
            rmsSum += e.centreRms;
            worst.centreRms = std::max(worst.centreRms, e.centreRms);
            worst.pitchRelative = std::max(worst.pitchRelative, e.pitchRelative);
            worst.rotationDegrees = std::max(worst.rotationDegrees, e.rotationDegrees);
            EXPECT_NEAR(g.radius, 0.45 * g.pitch, 0.1 * g.pitch) << "case " << n;
            // Known optics turn the micro-image grid back into the lens grid; unknown ones keep it.
            const CCalibration lenses = calibrationFromGrid(g, c.sensorWidth, c.sensorHeight, c);
            EXPECT_NEAR(lenses.lensPitch / c.lensPitch, 1.0, 5e-4) << "case " << n;
            // The same usable radius as the camera's own calibration: masks and matching discs depend on it.
            EXPECT_NEAR(lenses.microImageRadius / c.microImageRadius, 1.0, 2e-3) << "case " << n;
            const Vy::Model::Point corner = Vy::Model::lensCentre(c, 1, 1);
            int k = 0, l = 0;
            Vy::Model::nearestLens(lenses, corner, k, l);
            const Vy::Model::Point found = Vy::Model::lensCentre(lenses, k, l);
            EXPECT_LT(std::hypot(found.x - corner.x, found.y - corner.y), 0.5) << "case " << n;
            EXPECT_EQ(calibrationFromGrid(g, c.sensorWidth, c.sensorHeight, defaultOptics()).lensPitch, g.pitch);
        }
        std::printf(
            "%s: %d cases, centre RMS mean %.3f px worst %.3f px, pitch error worst %.1e, rotation error worst %.4f "
            "deg\n",
            damaged ? "damaged" : "clean", cases, rmsSum / cases, worst.centreRms, worst.pitchRelative,
            worst.rotationDegrees);
        // The synthetic camera samples each pixel at its centre, so a micro-image's rim lies on whole
        // pixels and its centre seen in the image moves with the grid's sub-pixel phase; on these small
        // frames that error is shared by most lenses (0.01..0.07 px for one grid moved in 1/8 px steps).
        EXPECT_LE(worst.centreRms, 0.06);
        EXPECT_LE(worst.pitchRelative, 2e-4);
        EXPECT_LE(worst.rotationDegrees, 0.01);
    }
}

std::string refusal(const cv::Mat& image, double pitchHint = 0.0) {
    try {
        findGrid(image, pitchHint, "w.png");
    } catch (const CVyException& e) {
        return std::string(e.what());
    }
    return std::string();
}

// Without a white image: the camera's own scene frames (textured planes filling the view) give
// the grid too, the scene in the micro-images only adding noise.
TEST(GridCalibrator, FindsTheGridInSceneFrames) {
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> unit(0, 1);
    Errors worst;
    for (int n = 0; n < 6; ++n) {
        const double pitch = 16 + 24 * unit(random);
        const CCalibration c = calibrationWithGrid(kSide, kSide, pitch, (unit(random) * 4 - 2) * Vy::kPi / 180,
                                                   unit(random) * pitch, unit(random) * pitch);
        RenderOptions render;
        render.samples = 2;
        const cv::Mat frame = SyntheticCamera(c, render).render(SceneScript("demo", c, 3 + n, 1).sceneAt(0), 9, 0);
        const GridEstimate g = findGrid(frame, 0.0, "frame");
        EXPECT_TRUE(g.looksLikeScene()) << "case " << n << ": " << g.sceneContent;
        EXPECT_EQ(g.kind, GridKind::Hex);
        const Errors e = compare(c, g);
        worst.centreRms = std::max(worst.centreRms, e.centreRms);
        worst.pitchRelative = std::max(worst.pitchRelative, e.pitchRelative);
    }
    std::printf("scene frames: centre RMS worst %.3f px, pitch error worst %.1e\n", worst.centreRms,
                worst.pitchRelative);
    // Looser than for white images: on these small frames (about 250 micro-images) the scene in
    // each micro-image moves its measured centre by a tenth of a pixel and more.
    EXPECT_LE(worst.centreRms, 0.1);
    EXPECT_LE(worst.pitchRelative, 3e-4);
    // A white image is not taken for a scene frame.
    const CCalibration c = calibrationWithGrid(kSide, kSide, 24, 0.01, 3, 5);
    EXPECT_FALSE(findGrid(whiteImage(c, 1, false), 0.0, "white").looksLikeScene());
}

TEST(GridCalibrator, ImagesWithoutAGridAreRefused) {
    const auto reason = [](const cv::Mat& image) { return refusal(image); };
    EXPECT_NE(reason(cv::Mat1w(200, 200, uint16_t{0})).find("black"), std::string::npos);
    EXPECT_NE(reason(cv::Mat1w(200, 200, uint16_t{900})).find("flat"), std::string::npos);
    // A "photo": smooth shapes, no periodic pattern.
    cv::Mat1w photo(200, 200, uint16_t{300});
    cv::circle(photo, {70, 90}, 40, cv::Scalar(2000), cv::FILLED);
    cv::rectangle(photo, cv::Rect(120, 20, 50, 150), cv::Scalar(1200), cv::FILLED);
    cv::GaussianBlur(photo, photo, cv::Size(0, 0), 3);
    EXPECT_NE(reason(photo).find("w.png"), std::string::npos);
    cv::Mat1w noise(200, 200);
    cv::randu(noise, 0, 4000);
    EXPECT_NE(reason(noise).find("no"), std::string::npos);
}

// Stripes repeat in one direction only: no grid, whatever their period or direction, and the
// refusal says what was looked for.
TEST(GridCalibrator, StripesAreRefused) {
    for (const double degrees : {0.0, 30.0, 90.0, 17.0})
        for (const double period : {8.64, 23.0, 61.0}) {
            cv::Mat1w stripes(300, 400);
            const double c = std::cos(degrees * Vy::kPi / 180), s = std::sin(degrees * Vy::kPi / 180);
            for (int y = 0; y < stripes.rows; ++y)
                for (int x = 0; x < stripes.cols; ++x) {
                    const double phase = std::fmod((c * x + s * y) / period + 100.0, 1.0);
                    stripes(y, x) = static_cast<uint16_t>(phase < 0.5 ? 3000 : 200);
                }
            cv::GaussianBlur(stripes, stripes, cv::Size(0, 0), 0.7);
            const std::string why = refusal(stripes);
            EXPECT_NE(why.find("w.png"), std::string::npos) << degrees << " deg, " << period << " px: " << why;
            EXPECT_NE(why.find("one direction only"), std::string::npos)
                << degrees << " deg, " << period << " px: " << why;
            EXPECT_NE(why.find("looked for a hexagonal or square grid"), std::string::npos) << why;
            EXPECT_EQ(why.find('\n'), std::string::npos) << why;
        }
}

// A lattice of the wrong shape (rectangular cells) is no hex or square grid either.
TEST(GridCalibrator, RectangularLatticeIsRefused) {
    cv::Mat1w dots(400, 400, uint16_t{100});
    for (int y = 10; y < 400; y += 40)
        for (int x = 12; x < 400; x += 25) cv::circle(dots, {x, y}, 9, cv::Scalar(3000), cv::FILLED, cv::LINE_AA);
    const std::string why = refusal(dots);
    EXPECT_NE(why.find("not on a hexagonal or square grid"), std::string::npos) << why;
}

// The pitch hint is checked before any search: outside the pitches searched it is refused,
// naming the hint and the range; inside it the search stays near it.
TEST(GridCalibrator, PitchHintOutsideTheSearchedRangeIsRefused) {
    TestImages::LensArray a;
    a.pitch = 24.0;
    const cv::Mat1w white = TestImages::renderWhite(a);
    for (const double hint : {-5.0, 3.0, 401.0, 1e9}) {
        const std::string why = refusal(white, hint);
        EXPECT_NE(why.find("--pitch-hint"), std::string::npos) << hint << ": " << why;
        EXPECT_NE(why.find("5.0..400 px"), std::string::npos) << hint << ": " << why;
    }
    EXPECT_NE(refusal(white, std::nan("")).find("--pitch-hint"), std::string::npos);
    EXPECT_NEAR(findGrid(white, 25.0, "w.png").pitch, a.microImagePitch(), 0.01);
    // A hint far from the true pitch finds nothing near it.
    EXPECT_FALSE(refusal(white, 60.0).empty());
}

// Square grids are found as square, at any rotation, and never handed to the engine as a hex grid.
TEST(GridCalibrator, SquareGridIsFoundButRefusedForCalibration) {
    TestImages::LensArray a;
    a.square = true;
    a.pitch = 30.0;
    a.rotation = 0.3;
    a.offsetX = 7;
    a.offsetY = 19;
    const GridEstimate g = findGrid(TestImages::renderWhite(a), 0.0, "w.png");
    ASSERT_EQ(g.kind, GridKind::Square);
    EXPECT_STREQ(g.typeName(), "square");
    EXPECT_NEAR(g.pitch, a.microImagePitch(), 0.01);
    // The rotation is told modulo 90 degrees, within +-45.
    EXPECT_NEAR(g.rotation, 0.3, 1e-3);
    try {
        calibrationFromGrid(g, a.width, a.height, defaultOptics());
        ADD_FAILURE() << "a square grid became a calibration";
    } catch (const CVyException& e) {
        const std::string why = e.what();
        EXPECT_NE(why.find("square micro-image grid (pitch 30 px)"), std::string::npos) << why;
        EXPECT_NE(why.find("the engine takes hexagonal grids only"), std::string::npos) << why;
    }
    // The same array as a hex grid passes.
    a.square = false;
    const GridEstimate hex = findGrid(TestImages::renderWhite(a), 0.0, "w.png");
    EXPECT_EQ(hex.kind, GridKind::Hex);
    EXPECT_EQ(calibrationFromGrid(hex, a.width, a.height, defaultOptics()).gridType, "hex");
}

}  // namespace
