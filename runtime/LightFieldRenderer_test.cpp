// The renderer on micro-images whose pixels integrate the scene over their
// area, as a sensor's do: refocused at the plane's depth the image must keep
// the texture's contrast (the mean over each output pixel, no more, no less),
// and a flat scene must stay flat up to the rims.
#include "engine/LightFieldRenderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "VyTypes.h"
#include "engine/SyntheticPlane.h"

namespace {

using namespace Vy::Engine;

constexpr int32_t kSide = 384;
constexpr int kScale = 2;
constexpr double kDepth = 3.0;
constexpr double kPeriod = 16.0;  // virtual-image pixels

// Pre-processed micro-images of a plane at kDepth whose brightness (0 .. 1) at
// virtual x is scene(x): each pixel the mean of 4 x 4 points of its area;
// pixels off the micro-images 0.
template <typename Scene>
std::vector<uint16_t> RenderSensor(const CCalibration& c, Scene scene) {
    std::vector<uint16_t> image(static_cast<size_t>(kSide) * kSide, 0);
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            int k = 0, l = 0;
            Vy::Model::nearestLens(c, {x + 0.5, y + 0.5}, k, l);
            const Vy::Model::Point lens = Vy::Model::lensCentre(c, k, l);
            if (std::hypot(x + 0.5 - lens.x, y + 0.5 - lens.y) > c.microImageRadius) {
                continue;
            }
            double sum = 0.0;
            for (int s = 0; s < 16; ++s) {
                const double u = x + (s % 4 + 0.5) / 4.0;
                const double virtualX = lens.x + (u - lens.x) * kDepth;
                sum += scene(virtualX);
            }
            image[static_cast<size_t>(y) * kSide + x] =
                static_cast<uint16_t>(std::lround(Vy::kFullScale14 * sum / 16.0));
        }
    }
    return image;
}

struct Refocused {
    std::vector<uint16_t> pixels;
    int32_t width = kSide / kScale;
};

std::vector<uint16_t> RenderSensor(const CCalibration& c, double amplitude) {
    return RenderSensor(c, [amplitude](double x) { return 0.5 + amplitude * std::sin(2.0 * Vy::kPi * x / kPeriod); });
}

// sampleRadius: how far from their micro-image centre samples may lie (the engine's: the radius less 2 px).
// allInFocus: render through a depth map (total focus) that holds kDepth everywhere.
Refocused Refocus(const CCalibration& c, const std::vector<uint16_t>& sensor, double sampleRadius,
                  bool allInFocus = false) {
    const LensGrid grid(c);
    const OutputLookup lookup = grid.MakeOutputLookup(kSide / kScale, kSide / kScale, kScale);
    Refocused out;
    out.pixels.assign(static_cast<size_t>(out.width) * out.width, 0);
    const RenderSource source{sensor.data(), kSide, kSide, static_cast<float>(sampleRadius)};
    ThreadPool pool(2);
    const std::vector<float> inverseDepth(out.pixels.size(), static_cast<float>(1.0 / kDepth));
    RenderLightField(source, grid, lookup, allInFocus ? inverseDepth.data() : nullptr, static_cast<float>(kDepth),
                     RenderTarget{out.pixels.data(), out.width, out.width, kScale}, pool);
    return out;
}

// The microlenses focus sharply at kDepth, so only the pixel area and the interpolation blur.
CCalibration SharpAtDepth() {
    CCalibration c = Synthetic::MakeCalibration(kSide);
    c.microLensFocalLength = c.mlaToSensor * kDepth / (kDepth - 1.0);
    return c;
}

// Fitted amplitude of the sinusoid across the interior, over the output pixel centres, and the mean.
std::pair<double, double> FitSinusoid(const CCalibration& c, const Refocused& out) {
    const int margin = static_cast<int>(2 * c.lensPitch / kScale);
    double sinSum = 0.0, cosSum = 0.0, mean = 0.0;
    int count = 0;
    for (int j = margin; j < out.width - margin; ++j) {
        for (int i = margin; i < out.width - margin; ++i) {
            const double value = out.pixels[static_cast<size_t>(j) * out.width + i] / double{Vy::kFullScale14};
            const double phase = 2.0 * Vy::kPi * kScale * (i + 0.5) / kPeriod;
            sinSum += value * std::sin(phase);
            cosSum += value * std::cos(phase);
            mean += value;
            ++count;
        }
    }
    return {2.0 * std::hypot(sinSum, cosSum) / count, mean / count};
}

TEST(LightFieldRenderer, RefocusKeepsTheContrastOfEachOutputPixelsFootprint) {
    const CCalibration c = SharpAtDepth();
    const double amplitude = 0.3;
    const auto [found, mean] = FitSinusoid(c, Refocus(c, RenderSensor(c, amplitude), c.microImageRadius - 2.0));
    // The mean over one output pixel (kScale virtual pixels wide) damps the sinusoid by a sinc.
    const double width = Vy::kPi * kScale / kPeriod;
    const double expected = amplitude * std::sin(width) / width;
    std::printf("refocused amplitude %.4f, footprint mean %.4f (ratio %.3f)\n", found, expected, found / expected);
    // Unsharpened, the pixel area and the interpolation (3 virtual pixels each at v = 3) leave about 0.85.
    EXPECT_NEAR(found / expected, 1.0, 0.05);
    EXPECT_NEAR(mean, 0.5, 0.01);
}

// Total focus takes back most of the same blur, but small bright blobs are
// measured on it: no pixel may ring past the levels on either side of an edge.
TEST(LightFieldRenderer, TotalFocusSharpensWithoutOvershoot) {
    const CCalibration c = SharpAtDepth();
    const double amplitude = 0.3;
    const auto [found, mean] = FitSinusoid(c, Refocus(c, RenderSensor(c, amplitude), c.microImageRadius - 2.0, true));
    const double width = Vy::kPi * kScale / kPeriod;
    const double ratio = found / (amplitude * std::sin(width) / width);
    // Unsharpened about 0.86; the limit flattens the crests a little (about 0.91, 0.985 unlimited).
    EXPECT_GT(ratio, 0.885) << "total focus left unsharpened";
    EXPECT_LT(ratio, 1.05);
    EXPECT_NEAR(mean, 0.5, 0.01);

    // A vertical step from 0.2 to 0.8, off the pixel grid.
    const double dark = 0.2, bright = 0.8, edge = kSide / 2 + 0.3;
    const Refocused out =
        Refocus(c, RenderSensor(c, [&](double x) { return x < edge ? dark : bright; }), c.microImageRadius - 2.0, true);
    const int margin = static_cast<int>(2 * c.lensPitch / kScale);
    int lowest = Vy::kFullScale14, highest = 0;
    for (int j = margin; j < out.width - margin; ++j) {
        for (int i = margin; i < out.width - margin; ++i) {
            lowest = std::min<int>(lowest, out.pixels[static_cast<size_t>(j) * out.width + i]);
            highest = std::max<int>(highest, out.pixels[static_cast<size_t>(j) * out.width + i]);
        }
    }
    std::printf("total focus: sinusoid ratio %.3f, step %d .. %d (levels %.0f .. %.0f)\n", ratio, lowest, highest,
                dark * Vy::kFullScale14, bright * Vy::kFullScale14);
    // Rounding only: the plain average of the samples cannot leave [dark, bright], nor may the sharpened one.
    EXPECT_GE(lowest, std::lround(dark * Vy::kFullScale14) - 1);
    EXPECT_LE(highest, std::lround(bright * Vy::kFullScale14) + 1);
}

// Samples kept near the micro-image centres leave holes between the lenses: the
// pixels around a hole have neighbours without samples, which must not count as dark.
TEST(LightFieldRenderer, FlatSceneStaysFlatUpToTheRims) {
    const CCalibration c = SharpAtDepth();
    const Refocused out = Refocus(c, RenderSensor(c, 0.0), 3.0);
    int valid = 0, off = 0;
    for (uint16_t value : out.pixels) {
        if (value == 0) {
            continue;  // no lens sees it
        }
        ++valid;
        off += std::abs(value - 8192) > 8192 / 100;
    }
    EXPECT_GT(valid, static_cast<int>(out.pixels.size() / 10));
    EXPECT_LT(valid, static_cast<int>(out.pixels.size() * 9 / 10)) << "no holes to test the rims on";
    EXPECT_EQ(off, 0) << "of " << valid << " output pixels";
}

}  // namespace

// A sensor narrower (or lower) than output.scale gives an output grid without pixels
// in one direction: nothing may be read or written, however many rows the other has.
TEST(LightFieldRenderer, AnOutputGridWithoutPixelsIsLeftAlone) {
    const CCalibration c = SharpAtDepth();
    const std::vector<uint16_t> sensor = RenderSensor(c, 0.3);
    const LensGrid grid(c);
    const RenderSource source{sensor.data(), kSide, kSide, static_cast<float>(c.microImageRadius - 2.0)};
    ThreadPool pool(2);
    for (const auto& [width, height] : {std::pair{0, 40}, std::pair{40, 0}}) {
        const OutputLookup lookup = grid.MakeOutputLookup(width, height, kScale);
        std::vector<uint16_t> guard(4, 0xBEEF);
        const std::vector<float> inverseDepth(guard.size(), static_cast<float>(1.0 / kDepth));
        for (const float* depth : {static_cast<const float*>(nullptr), inverseDepth.data()}) {
            RenderLightField(source, grid, lookup, depth, static_cast<float>(kDepth),
                             RenderTarget{guard.data(), width, height, kScale}, pool);
        }
        EXPECT_EQ(guard, std::vector<uint16_t>(4, 0xBEEF)) << width << "x" << height;
    }
}
