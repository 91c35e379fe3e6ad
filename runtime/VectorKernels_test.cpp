// The engine's plain kernels (CPUs without AVX2, other architectures) against
// its vector kernels: the same frame must give the same images, up to float
// rounding (fused multiply-adds round once instead of twice).
#include "engine/VectorKernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CCudaCompute.h"
#include "IImageAccess.h"
#include "engine/SyntheticPlane.h"

namespace {

using namespace Vy::Engine;

struct Images {
    CVyImage preProcessed, depth, totalFocus, refocused, colors;
};

// A near plane in front of a far one, so that edge refinement runs too.
Images RunAll(const CCalibration& calibration, const CVyImage& raw, bool vector) {
    AllowVectorKernels(vector);
    CCudaCompute engine;
    engine.ApplyCalibration(calibration, true);
    auto* access = static_cast<IImageAccess*>(engine.GetInterface(1));
    engine.UploadRawImage(raw);
    engine.Compute_PreProcess();
    engine.Compute_DepthRay();
    engine.Compute_DepthMap(LF::Space_VirtualImage);
    engine.Compute_TotalFocus(LF::Space_VirtualImage);
    engine.Compute_Depth3D();
    engine.Compute_DepthColorCode(LF::Space_VirtualImage);
    engine.Compute_RefocusBasic();
    Images images;
    access->GetImage(Vy::ImageIdPreProcessed, images.preProcessed);
    access->GetImage(Vy::ImageIdVirtualDepth, images.depth);
    access->GetImage(Vy::ImageIdTotalFocus, images.totalFocus);
    access->GetImage(Vy::ImageIdRefocused, images.refocused);
    access->GetImage(Vy::ImageIdDepthColorCoded, images.colors);
    AllowVectorKernels(true);
    return images;
}

template <typename T>
const T* Pixels(const CVyImage& image) {
    return static_cast<const T*>(image.GetPixelData());
}

// Share of 16-bit pixels that differ by more than `levels`, and the largest difference.
std::pair<double, int> Differences(const CVyImage& a, const CVyImage& b, int levels) {
    size_t over = 0;
    int largest = 0;
    const size_t count = static_cast<size_t>(a.GetWidth()) * a.GetHeight();
    for (size_t i = 0; i < count; ++i) {
        const int d = std::abs(int(Pixels<uint16_t>(a)[i]) - int(Pixels<uint16_t>(b)[i]));
        over += d > levels;
        largest = std::max(largest, d);
    }
    return {static_cast<double>(over) / count, largest};
}

// Micro-images on their lenses, and 1.5 % further out (lens selection around x' then differs from x);
// one microlens type, and three (each point then taken from the whole first ring, weighed by type).
struct Camera {
    double exitPupilDistance;
    int lensTypes;
};
class VectorKernels : public ::testing::TestWithParam<Camera> {};

TEST_P(VectorKernels, PlainPathGivesTheSameImages) {
    if (!UseAvx2Kernels()) {
        GTEST_SKIP() << "this CPU has no AVX2: only the plain kernels run here";
    }
    CCalibration calibration = Synthetic::MakeCalibration(512);
    calibration.exitPupilDistance = GetParam().exitPupilDistance;
    if (GetParam().lensTypes == 3) {
        calibration.microLensTypes = 3;
        calibration.microLensFocalLength1 = 0.45;
        calibration.microLensFocalLength2 = 0.38;
        calibration.lensTypeOffset = 1;
    }
    const double farV = 2.8, nearV = 4.6, edge = 256.0;
    const CVyImage raw = Synthetic::RenderScene(calibration, [&](Vy::Model::Point c, Vy::Model::Point d) {
        const double xNear = c.x + nearV * d.x;
        return xNear > edge ? Synthetic::Texture(0.8 * xNear + 100.0, 0.8 * (c.y + nearV * d.y))
                            : Synthetic::Texture(c.x + farV * d.x, c.y + farV * d.y);
    });
    const Images vector = RunAll(calibration, raw, true);
    const Images plain = RunAll(calibration, raw, false);
    ASSERT_TRUE(UseAvx2Kernels()) << "the vector kernels must be allowed again afterwards";

    const size_t sensor = static_cast<size_t>(raw.GetWidth()) * raw.GetHeight();
    EXPECT_EQ(0, std::memcmp(vector.preProcessed.GetPixelData(), plain.preProcessed.GetPixelData(), 2 * sensor));

    // Depth: a near tie at an edge may go either way on a few pixels.
    const size_t output = static_cast<size_t>(vector.depth.GetWidth()) * vector.depth.GetHeight();
    size_t depthDiffers = 0, valid = 0;
    for (size_t i = 0; i < output; ++i) {
        const float a = Pixels<float>(vector.depth)[i], b = Pixels<float>(plain.depth)[i];
        valid += a > 0.0f;
        depthDiffers += std::fabs(a - b) > 1e-3f * std::max(a, b);
    }
    EXPECT_GT(valid, output / 2);
    EXPECT_LT(depthDiffers, output / 200) << depthDiffers << " of " << output << " depths differ";

    const auto [focusShare, focusLargest] = Differences(vector.totalFocus, plain.totalFocus, 1);
    EXPECT_LT(focusShare, 0.005) << "largest difference " << focusLargest;
    const auto [refocusShare, refocusLargest] = Differences(vector.refocused, plain.refocused, 1);
    EXPECT_EQ(refocusShare, 0.0) << "largest difference " << refocusLargest;
    std::printf(
        "depths differing: %zu of %zu; total focus off by more than 1: %.4f %% (largest %d); refocus largest %d\n",
        depthDiffers, output, 100 * focusShare, focusLargest, refocusLargest);
}

INSTANTIATE_TEST_SUITE_P(Cameras, VectorKernels,
                         ::testing::Values(Camera{0.0, 1}, Camera{0.35 / 0.015, 1}, Camera{0.0, 3},
                                           Camera{0.35 / 0.015, 3}));

}  // namespace
