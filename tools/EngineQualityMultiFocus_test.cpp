// The engine on frames of multi-focus arrays from the synthetic camera: the
// depth at either end of a wide range and the total focus of the sharp types.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "CCudaCompute.h"
#include "CameraDesign.h"
#include "CameraModel.h"
#include "GroundTruth.h"
#include "IImageAccess.h"
#include "QualityMetrics.h"
#include "SyntheticCamera.h"
#include "VyTypes.h"

using namespace Vy::Synth;

namespace {

// A textured wall filling the view at virtual depth v, its pattern's texels
// texelScale output pixels wide there.
Scene wallAt(const CCalibration& c, double v, double texelScale) {
    Plane p;
    p.z0 = Vy::Model::distanceFromVirtualDepth(c, v);
    p.texelSize = texelScale * kTruthScale * c.pixelSize * (p.z0 / c.mainFocalLength - 1.0);
    const double half =
        0.6 * std::hypot(c.sensorWidth, c.sensorHeight) * c.pixelSize * p.z0 / Vy::Model::imageDistance(c, p.z0);
    p.xMin = p.yMin = -half;
    p.xMax = p.yMax = half;
    const int texels = static_cast<int>(std::ceil(2.0 * half / p.texelSize)) + 2;
    p.texture = std::make_shared<Texture>(Texture::randomPattern(texels, texels, 7, 0.5f, 0.2f));
    Scene s;
    s.planes.push_back(p);
    s.prepare(std::max(0.5 * c.mainApertureDiameter, std::hypot(c.sensorWidth, c.sensorHeight) * c.pixelSize));
    return s;
}

CVyImage toImage(const cv::Mat& raw) {
    CVyImage image;
    image.Create(raw.cols, raw.rows, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, raw.data);
    return image;
}

struct Result {
    double depthBias = 0.0;  // median relative error of the depth, signed
    double focusPsnr = 0.0;  // total focus against the truth, dB
    double refocusPsnr = 0.0;
};

// The engine on one frame of the wall, scored inside a border of two pitches.
Result run(const CCalibration& c, double v, double texelScale) {
    RenderOptions options;
    options.samples = 4;
    const SyntheticCamera camera(c, options);
    const Scene scene = wallAt(c, v, texelScale);
    const FrameTruth truth = computeTruth(camera, scene, kTruthScale, kFocusGain);
    CCudaCompute engine;
    engine.ApplyCalibration(c, true);
    engine.SetWhiteImage(toImage(camera.renderWhite(3)));
    engine.UploadRawImage(toImage(camera.render(scene, 3, 0)));
    engine.Compute_PreProcess();
    engine.Compute_DepthRay();
    engine.Compute_DepthMap(LF::Space_VirtualImage);
    engine.Compute_TotalFocus(LF::Space_VirtualImage);
    const double r = (1.0 / c.virtualDepthMin - 1.0 / v) / (1.0 / c.virtualDepthMin - 1.0 / c.virtualDepthMax);
    engine.GetParams().SetValue(Params::CudaCompute_RefocusVirtualDepth, r);
    engine.Compute_RefocusBasic();
    auto* access = static_cast<IImageAccess*>(engine.GetInterface(1));
    CVyImage depth, focus, refocused;
    access->GetImage(Vy::ImageIdVirtualDepth, depth);
    access->GetImage(Vy::ImageIdTotalFocus, focus);
    access->GetImage(Vy::ImageIdRefocused, refocused);
    const cv::Mat1f estimated =
        cv::Mat(depth.GetHeight(), depth.GetWidth(), CV_32FC1, const_cast<void*>(depth.GetPixelData()));
    const auto view = [](const CVyImage& image) -> cv::Mat1w {
        return cv::Mat(image.GetHeight(), image.GetWidth(), CV_16UC1, const_cast<void*>(image.GetPixelData()));
    };
    const int border = static_cast<int>(2 * c.lensPitch / kTruthScale);
    cv::Mat1b inside(estimated.size(), uint8_t{0});
    inside(cv::Rect(border, border, inside.cols - 2 * border, inside.rows - 2 * border)).setTo(255);
    std::vector<double> errors;
    for (int j = 0; j < estimated.rows; ++j)
        for (int i = 0; i < estimated.cols; ++i)
            if (inside(j, i) && estimated(j, i) > 0.0f) errors.push_back(estimated(j, i) / v - 1.0);
    EXPECT_GT(errors.size(), static_cast<size_t>(cv::countNonZero(inside)) * 9 / 10) << "v " << v;
    Result result;
    if (errors.empty()) return result;
    std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
    result.depthBias = errors[errors.size() / 2];
    result.focusPsnr = psnr14(view(focus), truth.focus, inside);
    result.refocusPsnr = psnr14(view(refocused), truth.focus, inside);
    return result;
}

}  // namespace

// Near the close end only the micro-images' rims overlap their neighbours';
// far away a pitch of baseline moves a match by a fraction of a pixel, and the
// types not focused there blur their rims. Both ends must keep their depth.
TEST(MultiFocusEngine, BothEndsOfAWideRangeKeepTheirDepth) {
    const CCalibration c = deepRangeCalibration(640, 480);
    for (const double v : {1.9, 17.0}) {
        const Result r = run(c, v, std::max(1.0, v / 2.0));
        EXPECT_LT(std::fabs(r.depthBias), 0.01) << "v " << v;
        std::printf("deep array, wall at v %.1f: depth bias %+.2f %%\n", v, 100 * r.depthBias);
    }
}

// Where one type of the published camera is sharp and the middle one is not,
// the three-type array's total focus and refocus beat the middle type's alone.
TEST(MultiFocusEngine, TotalFocusAndRefocusComeFromTheSharpType) {
    const CCalibration three = multiFocusCalibration(512, 512);
    const CCalibration middle = withLensTypes(three, {three.LensFocalLength(2)}, 0);
    const double v = 3.45;
    const Result a = run(three, v, 1.0), b = run(middle, v, 1.0);
    std::printf("wall at v %.2f: total focus %.2f dB (three types) / %.2f dB (middle type), refocus %.2f / %.2f dB\n",
                v, a.focusPsnr, b.focusPsnr, a.refocusPsnr, b.refocusPsnr);
    EXPECT_GT(a.focusPsnr, b.focusPsnr + 1.0);
    EXPECT_GT(a.refocusPsnr, b.refocusPsnr + 1.0);
    EXPECT_LT(std::fabs(a.depthBias), 0.01);
}
