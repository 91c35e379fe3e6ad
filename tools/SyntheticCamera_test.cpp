#include "SyntheticCamera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "CameraDesign.h"
#include "CameraModel.h"
#include "SceneScript.h"
#include "TestBeads.h"

using namespace Vy::Synth;

namespace {

RenderOptions quietOptions(int samples) {
    RenderOptions o;
    o.samples = samples;
    o.noise = false;
    return o;
}

// A bead whose image lies at lateral virtual position x and virtual depth v,
// about two pixels in radius in the micro-images.
Scene beadAt(const CCalibration& c, Vy::Model::Point x, double v) {
    Scene s;
    s.particles.push_back(beadImagedAt(c, x, v, 2.0));
    s.prepare(c.mainApertureDiameter);
    return s;
}

}  // namespace

// A point at virtual depth v must appear at u = c + (x - c) / v in every micro-image
// that sees it, sharp or blurred, for a rotated and shifted grid too.
TEST(SyntheticCamera, PointRendersWhereTheModelProjectsIt) {
    struct Case {
        double v;
        double rotation;
        double sharpAt;
    } cases[] = {{3.5, 0.0, 3.5}, {2.6, 0.013, 2.6}, {5.0, -0.02, 3.33}, {4.4, 0.0, 3.33}};
    for (const Case& k : cases) {
        CCalibration c = defaultCalibration(240, 220);
        c.gridRotation = k.rotation;
        c.principalX = 117.3;
        c.microLensFocalLength = microLensFocalLengthFor(c, k.sharpAt);
        const SyntheticCamera camera(c, quietOptions(64));
        const Vy::Model::Point x{121.7, 108.2};
        const cv::Mat1f image = camera.expose(beadAt(c, x, k.v));
        int lensesChecked = 0;
        for (int l = -3; l <= 12; ++l)
            for (int kk = -3; kk <= 12; ++kk) {
                const Vy::Model::Point lens = Vy::Model::lensCentre(c, kk, l);
                const Vy::Model::Point u = Vy::Model::projectToMicroImage(x, lens, k.v);
                // Only micro-images that hold the whole spot well inside their rim, of
                // lenses wholly inside the cone of light converging on the point (a lens
                // on the cone's edge sees a cut spot whose centroid moves off u).
                if (std::hypot(u.x - lens.x, u.y - lens.y) > c.microImageRadius - 5.0) continue;
                const double a = k.v * c.mlaToSensor;
                const double coneRadius = 0.5 * c.mainApertureDiameter * a / (c.mainLensToMla + a) / c.pixelSize;
                const double shrink = c.mainLensToMla / (c.mainLensToMla + a);
                const double coneX = c.principalX + (x.x - c.principalX) * shrink;
                const double coneY = c.principalY + (x.y - c.principalY) * shrink;
                const bool sharp = k.v == k.sharpAt;
                if (!sharp && std::hypot(lens.x - coneX, lens.y - coneY) + 0.5 * c.lensPitch > coneRadius - 1.0)
                    continue;
                double sum = 0.0, sx = 0.0, sy = 0.0;
                for (int py = static_cast<int>(u.y) - 5; py <= static_cast<int>(u.y) + 5; ++py)
                    for (int px = static_cast<int>(u.x) - 5; px <= static_cast<int>(u.x) + 5; ++px) {
                        const double value = image(py, px);
                        sum += value;
                        sx += value * (px + 0.5);
                        sy += value * (py + 0.5);
                    }
                if (sum < 2.0) continue;  // the main aperture does not reach this lens
                ++lensesChecked;
                EXPECT_NEAR(sx / sum, u.x, 0.25) << "v " << k.v << " lens " << kk << "," << l;
                EXPECT_NEAR(sy / sum, u.y, 0.25) << "v " << k.v << " lens " << kk << "," << l;
            }
        EXPECT_GE(lensesChecked, 2) << "v " << k.v;
    }
}

// A multi-focus array: every lens refracts with its own type's focal length, so
// a point at the depth one type focuses on is smallest in that type's micro-images.
TEST(SyntheticCamera, EachLensTypeIsSharpestAtItsOwnDepth) {
    CCalibration c = defaultCalibration(240, 220);
    c = withLensTypes(
        c, {microLensFocalLengthFor(c, 3.0), microLensFocalLengthFor(c, 4.2), microLensFocalLengthFor(c, 6.5)}, 1);
    const SyntheticCamera camera(c, quietOptions(64));
    for (int sharpType = 0; sharpType < 3; ++sharpType) {
        const double v = sharpestVirtualDepth(c, sharpType);
        double spread[3] = {0, 0, 0}, lenses[3] = {0, 0, 0};
        // Beads at a few places, so that every type has lenses that see one whole.
        for (const Vy::Model::Point x : {Vy::Model::Point{121.7, 108.2}, {97.1, 85.6}, {140.4, 131.3}}) {
            Scene scene;
            scene.particles.push_back(beadImagedAt(c, x, v, 0.7));
            scene.prepare(c.mainApertureDiameter);
            const cv::Mat1f image = camera.expose(scene);
            for (int l = -3; l <= 12; ++l)
                for (int k = -3; k <= 12; ++k) {
                    const Vy::Model::Point lens = Vy::Model::lensCentre(c, k, l);
                    const Vy::Model::Point u = Vy::Model::projectToMicroImage(x, lens, v);
                    // Whole spots only: inside the micro-image, from lenses inside the cone of light.
                    const double a = v * c.mlaToSensor;
                    const double coneRadius = 0.5 * c.mainApertureDiameter * a / (c.mainLensToMla + a) / c.pixelSize;
                    const double shrink = c.mainLensToMla / (c.mainLensToMla + a);
                    if (std::hypot(u.x - lens.x, u.y - lens.y) > c.microImageRadius - 5.0 ||
                        std::hypot(lens.x - (c.principalX + (x.x - c.principalX) * shrink),
                                   lens.y - (c.principalY + (x.y - c.principalY) * shrink)) +
                                0.5 * c.lensPitch >
                            coneRadius - 1.0)
                        continue;
                    double sum = 0.0, second = 0.0;
                    for (int py = static_cast<int>(u.y) - 5; py <= static_cast<int>(u.y) + 5; ++py)
                        for (int px = static_cast<int>(u.x) - 5; px <= static_cast<int>(u.x) + 5; ++px) {
                            const double value = image(py, px);
                            sum += value;
                            second += value * (std::pow(px + 0.5 - u.x, 2) + std::pow(py + 0.5 - u.y, 2));
                        }
                    if (sum < 2.0) continue;
                    const int type = Vy::Model::lensType(c, k, l);
                    spread[type] += std::sqrt(second / sum);
                    lenses[type] += 1.0;
                }
        }
        for (int type = 0; type < 3; ++type) {
            ASSERT_GT(lenses[type], 0.0) << "type " << type << " at v " << v;
            spread[type] /= lenses[type];
        }
        for (int type = 0; type < 3; ++type) {
            if (type != sharpType) {
                EXPECT_LT(spread[sharpType], 0.8 * spread[type])
                    << "a point at v " << v << ": type " << sharpType << " spot " << spread[sharpType] << " px, type "
                    << type << " " << spread[type] << " px";
            }
        }
    }
}

// A frame's few rays must not misjudge how much of the aperture a partly vignetted
// pixel sees: a uniform scene divided by the white image (traced with four times
// the rays) is uniform up to rounding, at the rims of the micro-images too.
TEST(SyntheticCamera, UniformSceneOverWhiteImageIsUniform) {
    const CCalibration c = multiFocusCalibration(160, 128);
    const SyntheticCamera camera(c, quietOptions(4));
    Scene grey;
    grey.background = 0.6f;
    const cv::Mat1f frame = camera.expose(grey);
    const cv::Mat1b white = camera.renderWhite(1);
    double worst = 0.0;
    int rim = 0;
    for (int y = 0; y < frame.rows; ++y)
        for (int x = 0; x < frame.cols; ++x) {
            if (white(y, x) < 20) continue;
            rim += white(y, x) < 150;
            worst = std::max(worst, std::abs(frame(y, x) - 0.6 * white(y, x)));
        }
    EXPECT_GT(rim, 1000) << "partly vignetted pixels to look at";
    EXPECT_LT(worst, 0.6 * 0.5 + 0.01) << "levels off the white image's rounding";
}

TEST(SyntheticCamera, WhiteImageFallsOffFromMicroImageCentreAndSensorCentre) {
    const CCalibration c = defaultCalibration(1024, 1024);
    const SyntheticCamera camera(c, quietOptions(16));
    Scene white;
    white.background = 1.0f;
    const cv::Mat1f image = camera.expose(white);

    // Rings around the lens nearest the optical axis get darker outwards.
    int k = 0, l = 0;
    Vy::Model::nearestLens(c, {c.principalX, c.principalY}, k, l);
    const Vy::Model::Point centre = Vy::Model::lensCentre(c, k, l);
    std::vector<double> ringSum(12, 0.0), ringCount(12, 0.0);
    for (int y = static_cast<int>(centre.y) - 12; y <= static_cast<int>(centre.y) + 12; ++y)
        for (int x = static_cast<int>(centre.x) - 12; x <= static_cast<int>(centre.x) + 12; ++x) {
            const double r = std::hypot(x + 0.5 - centre.x, y + 0.5 - centre.y);
            if (r < 12.0) {
                ringSum[static_cast<int>(r)] += image(y, x);
                ringCount[static_cast<int>(r)] += 1.0;
            }
        }
    EXPECT_NEAR(ringSum[0] / ringCount[0], camera.options().whiteLevel, 0.02 * camera.options().whiteLevel);
    for (int r = 1; r < 12; ++r)
        EXPECT_LE(ringSum[r] / ringCount[r], ringSum[r - 1] / ringCount[r - 1] + 0.5) << "ring " << r;
    EXPECT_LT(ringSum[11] / ringCount[11], 0.7 * ringSum[0] / ringCount[0]);
    EXPECT_EQ(image(static_cast<int>(centre.y + 13.5), static_cast<int>(centre.x)), 0.0f)
        << "outside the aperture's image";

    // Whole cells towards the corner collect less light.
    auto cellLight = [&](double px, double py) {
        int kk = 0, ll = 0;
        Vy::Model::nearestLens(c, {px, py}, kk, ll);
        const Vy::Model::Point lc = Vy::Model::lensCentre(c, kk, ll);
        double sum = 0.0;
        for (int y = static_cast<int>(lc.y) - 13; y <= static_cast<int>(lc.y) + 13; ++y)
            for (int x = static_cast<int>(lc.x) - 13; x <= static_cast<int>(lc.x) + 13; ++x) {
                double cx = 0, cy = 0;
                camera.lensCentreOfPixel(x, y, cx, cy);
                if (cx == static_cast<float>(lc.x) && cy == static_cast<float>(lc.y)) sum += image(y, x);
            }
        return sum;
    };
    const double middle = cellLight(512, 512), halfway = cellLight(300, 300), corner = cellLight(60, 60);
    EXPECT_GT(middle, halfway);
    EXPECT_GT(halfway, corner);
}

TEST(SyntheticCamera, SameSeedSameFrameWhateverTheThreads) {
    const CCalibration c = defaultCalibration(192, 160);
    RenderOptions one;
    one.samples = 4;
    one.threads = 1;
    RenderOptions two = one;
    two.threads = 2;
    const SceneScript script("small", c, 7, 3);
    const Scene scene = script.sceneAt(1);
    const cv::Mat1b a = SyntheticCamera(c, one).render(scene, 42, 1);
    const cv::Mat1b b = SyntheticCamera(c, two).render(scene, 42, 1);
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
    const cv::Mat1b otherSeed = SyntheticCamera(c, two).render(scene, 43, 1);
    const cv::Mat1b otherFrame = SyntheticCamera(c, two).render(scene, 42, 2);
    EXPECT_GT(cv::countNonZero(a != otherSeed), a.total() / 4) << "noise must follow the seed";
    EXPECT_GT(cv::countNonZero(a != otherFrame), a.total() / 4) << "noise must differ between frames";
    // Noise stays noise: the frames agree on average.
    EXPECT_LT(std::abs(cv::mean(a)[0] - cv::mean(otherSeed)[0]), 0.2);
}

namespace {

// The centre of a micro-image as found in a white image: the centroid of how
// much of each pixel is lit, its level against 40 % of the micro-image's
// brightest, at most 1 (inside, the cos^4 fall-off, down to 64 % at the far
// side of a corner micro-image, would otherwise pull the centroid towards the
// lens centre; at the rim, partly lit pixels place the aperture's edge to a
// fraction of a pixel).
Vy::Model::Point litCentroid(const cv::Mat1f& white, Vy::Model::Point predicted, double radius) {
    const int x0 = static_cast<int>(predicted.x - radius) - 1, x1 = static_cast<int>(predicted.x + radius);
    const int y0 = static_cast<int>(predicted.y - radius) - 1, y1 = static_cast<int>(predicted.y + radius);
    float brightest = 0.0f;
    for (int y = y0; y <= y1 + 1; ++y)
        for (int x = x0; x <= x1 + 1; ++x) brightest = std::max(brightest, white(y, x));
    double sx = 0.0, sy = 0.0, n = 0.0;
    for (int y = y0; y <= y1 + 1; ++y)
        for (int x = x0; x <= x1 + 1; ++x) {
            // A soft window edge, so that no pixel jumps in or out with the sub-pixel position.
            const double inside =
                std::clamp(radius + 0.5 - std::hypot(x + 0.5 - predicted.x, y + 0.5 - predicted.y), 0.0, 1.0);
            if (inside > 0.0) {
                const double lit = inside * std::min(1.0, white(y, x) / (0.4 * brightest));
                sx += lit * (x + 0.5);
                sy += lit * (y + 0.5);
                n += lit;
            }
        }
    return {sx / n, sy / n};
}

}  // namespace

// Micro-images lie where the exit pupil's chief rays put them, off their lens
// centres towards the rims, exactly on the calibration's micro-image grid.
// VY_CENTROID_SIDE renders another sensor size (4096 takes a few minutes).
TEST(SyntheticCamera, WhiteImageMicroImagesLieOnTheCalibratedGrid) {
    const char* side = std::getenv("VY_CENTROID_SIDE");
    const int n = side ? std::atoi(side) : 1024;
    const CCalibration c = defaultCalibration(n, n);
    // As many rays as the white image of a sequence gets.
    const SyntheticCamera camera(c, quietOptions(64));
    Scene white;
    white.background = 1.0f;
    const cv::Mat1f image = camera.expose(white);
    // Half the micro-image grid's pitch: where the next micro-image begins.
    const double radius = 0.5 * c.lensPitch * (1.0 + Vy::Model::microImageGrowth(c)) - 0.5;
    double worst = 0.0, worstShift = 0.0, largestShift = 0.0;
    int lenses = 0;
    for (int l = 0; l < 2 * n / c.lensPitch; ++l)
        for (int k = -1; k < n / c.lensPitch + 1; ++k) {
            const Vy::Model::Point lens = Vy::Model::lensCentre(c, k, l);
            const Vy::Model::Point m = Vy::Model::microImageCentre(c, lens);
            if (m.x < radius + 1 || m.y < radius + 1 || m.x > n - radius - 1 || m.y > n - radius - 1) continue;
            const Vy::Model::Point found = litCentroid(image, m, radius);
            const double miss = std::hypot(found.x - m.x, found.y - m.y);
            const double shift = std::hypot(m.x - lens.x, m.y - lens.y);
            if (miss > worst) {
                worst = miss;
                worstShift = shift;
            }
            largestShift = std::max(largestShift, shift);
            ++lenses;
        }
    ASSERT_GT(lenses, 100);
    EXPECT_LT(worst, 0.1) << "at a lens whose micro-image is shifted by " << worstShift << " px";
    EXPECT_GT(largestShift, 0.002 * n) << "the micro-images must move off their lenses towards the rims";
    std::printf("%dx%d: %d micro-images, centroids within %.3f px of the calibrated grid; shifts up to %.1f px\n", n, n,
                lenses, worst, largestShift);
}
