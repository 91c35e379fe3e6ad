#include "FrameRender.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "CCuda.h"
#include "CVyException.h"
#include "CameraModel.h"
#include "DisplayPipeline.h"
#include "IImageAccess.h"
#include "ProfileSettings.h"
#include "RefocusPlane.h"
#include "VyTypes.h"
#include "engine/DepthColorMap.h"

namespace Vy::Synth {

namespace {

// The program's own setting (refocus.distance_mm), declared so that its settings files load here too.
constexpr uint32_t kRefocusDistanceId = 0x220002;
const char* const kShippedSettings = "CurrentSettings-2019-08-09.vyset";

std::filesystem::path executableDirectory() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::current_path() : self.parent_path();
}

// A copy of an engine image (the engine reuses its buffers for the next frame).
cv::Mat copied(const CVyImage& image) {
    int type = CV_8UC1;
    if (image.GetDataType() == Vy::DataTypeUnsignedShort) type = CV_16UC1;
    if (image.GetDataType() == Vy::DataTypeFloat) type = CV_32FC1;
    if (image.GetPixelType() == Vy::PixelTypeBGR || image.GetPixelType() == Vy::PixelTypeRGB)
        type = CV_MAKETYPE(CV_MAT_DEPTH(type), 3);
    cv::Mat m = cv::Mat(image.GetHeight(), image.GetWidth(), type, const_cast<void*>(image.GetPixelData())).clone();
    if (image.GetPixelType() == Vy::PixelTypeRGB) cv::cvtColor(m, m, cv::COLOR_RGB2BGR);
    return m;
}

std::string frameStem(uint32_t index, int64_t id) {
    char stem[64];
    std::snprintf(stem, sizeof stem, "frame%05u_id%lld_", index, static_cast<long long>(id));
    return stem;
}

std::string millimetres(double mm) {
    char text[32];
    std::snprintf(text, sizeof text, "%gmm", mm);
    return text;
}

double median(const cv::Mat1f& values) {
    std::vector<float> finite;
    for (const float v : values)
        if (std::isfinite(v)) finite.push_back(v);
    if (finite.empty()) return 0.0;
    std::nth_element(finite.begin(), finite.begin() + finite.size() / 2, finite.end());
    return finite[finite.size() / 2];
}

}  // namespace

std::vector<std::string> renderedNames(const RenderOptions& o, uint32_t index, int64_t id) {
    const std::string stem = frameStem(index, id);
    std::vector<std::string> names;
    if (o.depth) names.push_back(stem + "depth." + Vy::Results::extension(o.depthFormat));
    if (o.totalFocus) names.push_back(stem + "focus." + o.stillExtension);
    for (const double mm : o.refocusMm) names.push_back(stem + "refocus-" + millimetres(mm) + "." + o.stillExtension);
    if (o.depthPicture) names.push_back(stem + "depth-picture.png");
    if (o.pointCloud) names.push_back(stem + "points.ply");
    return names;
}

FrameRenderer::FrameRenderer(const CCalibration& calibration, const CVyImage& white, const RenderOptions& options)
    : calibration_(calibration), options_(options) {
    CCuda::EnumerateCudaDevices();
    engine_.SetCudaDevice(CCuda::GetDevice(0));
    engine_.ApplyCalibration(calibration, true);
    if (!white.IsEmpty()) engine_.SetWhiteImage(white);
    CParameterSet& params = engine_.GetParams();
    Vy::Analysis::declareProfileSettings(params);
    if (!params.Has(kRefocusDistanceId)) params.Declare(kRefocusDistanceId, "refocus.distance_mm", 0, 0, 1e7);
    const std::string settings =
        options.settingsFile.empty() ? (executableDirectory() / kShippedSettings).string() : options.settingsFile;
    params.ImportParameterFromFile(settings.c_str());
    access_ = static_cast<IImageAccess*>(engine_.GetInterface(1));
    if (access_ == nullptr) throw CVyException("render", "engine", "the engine offers no image access");
    scale_ = std::max(1, static_cast<int>(params.GetNumber(Params::CudaCompute_OutputScale)));

    const auto [low, high] =
        Vy::Model::searchedVirtualDepths(calibration, params.GetNumber(Params::CudaCompute_DepthVirtualMin),
                                         params.GetNumber(Params::CudaCompute_DepthVirtualMax));
    virtualOnly_ = Vy::Results::opticsProblem(calibration, low, high);
    if (!virtualOnly_.empty() && options.pointCloud)
        throw CVyException("render", "--ply", "needs depth in mm, but " + virtualOnly_);
    // The depth picture's colours span what the program's window shows: the settings' range, or what
    // the calibration can measure where the settings leave it at 0.
    if (options.depthPicture) {
        const Vy::Engine::DistanceRange measurable =
            Vy::Engine::MeasurableDistances(calibration, params.GetNumber(Params::CudaCompute_DepthVirtualMin),
                                            params.GetNumber(Params::CudaCompute_DepthVirtualMax));
        double nearMm = params.GetNumber(Params::CudaCompute_ColorNearDistance);
        double farMm = params.GetNumber(Params::CudaCompute_ColorFarDistance);
        if (nearMm <= 0.0) nearMm = measurable.nearMm;
        if (farMm <= 0.0) farMm = measurable.farMm > 0.0 ? measurable.farMm : 3000.0;
        params.SetValue(Params::CudaCompute_ColorNearDistance, nearMm);
        params.SetValue(Params::CudaCompute_ColorFarDistance, farMm);
    }
    // Refocusing spans the calibration's virtual depths (RefocusPlane.h); a distance outside them is refused.
    const double vLow = calibration.virtualDepthMin, vHigh = calibration.virtualDepthMax;
    for (const double mm : options.refocusMm) {
        const double v = Vy::Model::virtualDepthFromDistance(calibration, mm);
        if (!(vHigh > vLow && vLow > 0.0))
            throw CVyException("render", "--refocus", "the calibration gives no virtual-depth range to refocus in");
        if (!(v >= vLow && v <= vHigh)) {
            char text[160];
            std::snprintf(text, sizeof text, "%g mm lies outside the refocus range %g..%g mm", mm,
                          Vy::Model::distanceFromVirtualDepth(calibration, vHigh),
                          Vy::Model::distanceFromVirtualDepth(calibration, vLow));
            throw CVyException("render", "--refocus", text);
        }
        refocusValues_.push_back(Vy::Model::refocusValueOf(vLow, vHigh, v));
    }
}

Vy::Results::Sidecar FrameRenderer::sidecar(const std::string& name, const char* kind, const CRayImage& frame,
                                            uint32_t index) const {
    Vy::Results::Sidecar s;
    s.file = name;
    s.kind = kind;
    s.frameIndex = index;
    s.frameId = frame.frameId;
    s.timeStampMs = frame.timeStamp;
    s.outputScale = scale_;
    s.sequence = options_.sequence;
    s.calibrationSource = "the calibration block of " + options_.sequence;
    s.tool = "raystool render";
    return s;
}

std::vector<RenderedFile> FrameRenderer::render(const CRayImage& frame, uint32_t index) {
    namespace R = Vy::Results;
    const std::vector<std::string> names = renderedNames(options_, index, frame.frameId);
    auto name = names.begin();
    std::vector<RenderedFile> files;
    engine_.UploadRawImage(frame);
    // One depth map serves depth, total focus and point cloud: the total-focus steps compute it.
    CVyImage image;
    cv::Mat focus, picture;
    cv::Mat1f virtualDepth;
    const bool needsFocus = options_.totalFocus || options_.pointCloud || (options_.depth && !options_.depthPicture);
    if (needsFocus) {
        Vy::Engine::computeDisplayImage(engine_, *access_, DisplayType::TotalFocus, std::nullopt, image);
        focus = copied(image);
        access_->GetImage(Vy::ImageIdVirtualDepth, image);
        virtualDepth = copied(image);
    }
    if (options_.depthPicture) {
        Vy::Engine::computeDisplayImage(engine_, *access_, DisplayType::Depth, std::nullopt, image);
        picture = copied(image);
        if (virtualDepth.empty()) {
            access_->GetImage(Vy::ImageIdVirtualDepth, image);
            virtualDepth = copied(image);
        }
    }
    const bool metric = virtualOnly_.empty();
    cv::Mat1f depthMm;
    if (!virtualDepth.empty()) depthMm = metric ? R::depthMillimetres(virtualDepth, calibration_) : cv::Mat1f();
    const double medianMm = metric && !depthMm.empty() ? median(depthMm) : 0.0;
    auto add = [&](const char* kind, const std::string& units, const cv::Size& grid,
                   std::function<std::string()> encode, double refocusMm = 0.0) {
        R::Sidecar s = sidecar(*name, kind, frame, index);
        s.units = units;
        s.width = grid.width;
        s.height = grid.height;
        s.medianDepthMm = medianMm;
        s.refocusMm = refocusMm;
        if (!metric && std::string(kind) == "depth") s.note = virtualOnly_;
        files.push_back({*name++, std::move(encode), R::sidecarJson(s, calibration_)});
    };
    const std::string still = "." + options_.stillExtension;
    const char* const levels = "16-bit levels: the engine's 14-bit level times 65535 / 16383";
    if (options_.depth) {
        const cv::Mat1f depth = R::turned(metric ? depthMm : R::depthVirtual(virtualDepth));
        const R::FloatFormat format = options_.depthFormat;
        add("depth", metric ? "mm (NaN: no depth)" : "virtual depth (NaN: no depth); no mm: see note", depth.size(),
            [depth, format, n = *name] { return R::encodeFloat(depth, format, n); });
    }
    if (options_.totalFocus) {
        const cv::Mat1w stretched = R::turned(R::fullRange16(focus));
        add("total-focus", levels, stretched.size(),
            [stretched, still, n = *name] { return R::encodeImage(stretched, still, n); });
    }
    for (size_t k = 0; k < refocusValues_.size(); ++k) {
        Vy::Engine::computeDisplayImage(engine_, *access_, DisplayType::Refocus, refocusValues_[k], image);
        const cv::Mat1w stretched = R::turned(R::fullRange16(copied(image)));
        add(
            "refocus", levels, stretched.size(),
            [stretched, still, n = *name] { return R::encodeImage(stretched, still, n); }, options_.refocusMm[k]);
    }
    if (options_.depthPicture) {
        const cv::Mat shown = R::turned(picture);
        add("depth-picture", "8-bit BGR colours of distance, as the program shows display type 2", shown.size(),
            [shown, n = *name] { return R::encodeImage(shown, ".png", n); });
    }
    if (options_.pointCloud) {
        cv::Mat1b grey;
        focus.convertTo(grey, CV_8U, 255.0 / Vy::kFullScale14);
        const CCalibration c = calibration_;
        const int scale = scale_;
        const int valid = cv::countNonZero(depthMm == depthMm);  // NaN is the only value unequal to itself
        add("point-cloud", "mm: x right, y down (turned pictures), z along the optical axis; colour: total focus",
            cv::Size(valid, 1), [depthMm, grey, c, scale] {
                size_t points = 0;
                return R::encodePointCloud(depthMm, grey, c, scale, points);
            });
    }
    return files;
}

}  // namespace Vy::Synth
