#include "DepthEngine.h"

#include "CCuda.h"
#include "EngineImage.h"
#include "IImageAccess.h"
#include "VyTypes.h"

namespace Vy::Synth {

DepthEngine::DepthEngine(const CCalibration& calibration, const cv::Mat& white, int bits, DepthRange search, int steps)
    : bits_(bits) {
    CCalibration c = calibration;
    c.virtualDepthMin = search.min;
    c.virtualDepthMax = search.max;
    CCuda::EnumerateCudaDevices();
    engine_.SetCudaDevice(CCuda::GetDevice(0));
    engine_.ApplyCalibration(c, true);
    if (!white.empty()) engine_.SetWhiteImage(engineImage(white, bits));
    CParameterSet& params = engine_.GetParams();
    params.SetValue(Params::CudaCompute_DepthVirtualMin, search.min);
    params.SetValue(Params::CudaCompute_DepthVirtualMax, search.max);
    if (steps > 0) params.SetValue(Params::CudaCompute_DepthSteps, steps);
    // Filled in from neighbours, a few lenses matched on noise or a defect (a white image) would
    // stand for the whole image.
    params.SetValue(Params::CudaCompute_DepthFillIterations, 0);
    double scale = 2;
    params.GetValue(Params::CudaCompute_OutputScale, scale);
    scale_ = static_cast<int>(scale);
}

namespace {
cv::Mat viewOf(CCudaCompute& engine, uint32_t id, int type) {
    CVyImage image;
    static_cast<IImageAccess*>(engine.GetInterface(1))->GetImage(id, image);
    return cv::Mat(image.GetHeight(), image.GetWidth(), type, const_cast<void*>(image.GetPixelData()));
}
}  // namespace

cv::Mat1f DepthEngine::depth(const cv::Mat& frame) {
    engine_.UploadRawImage(engineImage(frame, bits_));
    engine_.Compute_PreProcess();
    engine_.Compute_DepthRay();
    engine_.Compute_DepthMap(LF::Space_VirtualImage);
    return viewOf(engine_, Vy::ImageIdVirtualDepth, CV_32FC1);
}

cv::Mat1w DepthEngine::totalFocus() {
    engine_.Compute_TotalFocus(LF::Space_VirtualImage);
    return viewOf(engine_, Vy::ImageIdTotalFocus, CV_16UC1);
}

}  // namespace Vy::Synth
