#include "FrameRender.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
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
                                            uint32_t index, const cv::Size& grid) const {
    Vy::Results::Sidecar s;
    s.file = name;
    s.kind = kind;
    s.frameIndex = index;
    s.frameId = frame.frameId;
    s.timeStampMs = frame.timeStamp;
    s.width = grid.width;
    s.height = grid.height;
    s.outputScale = scale_;
    s.sequence = options_.sequence;
    s.calibrationSource = "the calibration block of " + options_.sequence;
    s.tool = "raystool render";
    return s;
}

namespace {

// A frame's depth in mm and its median, converted once on the writer thread for
// all the outputs that need them.
class FrameDepth {
public:
    FrameDepth(cv::Mat1f virtualDepth, const CCalibration& c, bool metric)
        : virtualDepth_(std::move(virtualDepth)), calibration_(c), metric_(metric) {}
    const cv::Mat1f& millimetres() {
        std::call_once(converted_, [this] {
            if (!metric_) return;
            mm_ = Vy::Results::depthMillimetres(virtualDepth_, calibration_);
            // The median of every 4th pixel of every 4th row is plenty for the scale at that distance.
            cv::Mat1f sample;
            cv::resize(mm_, sample, cv::Size(), 0.25, 0.25, cv::INTER_NEAREST);
            median_ = Vy::Results::finiteMedian(sample);
        });
        return mm_;
    }
    double medianMm() {
        millimetres();
        return median_;
    }
    const cv::Mat1f& virtualDepth() const { return virtualDepth_; }

private:
    const cv::Mat1f virtualDepth_;
    const CCalibration& calibration_;
    const bool metric_;
    std::once_flag converted_;
    cv::Mat1f mm_;
    double median_ = 0.0;
};

}  // namespace

std::vector<RenderedFile> FrameRenderer::render(const CRayImage& frame, uint32_t index) {
    namespace R = Vy::Results;
    const std::vector<std::string> names = renderedNames(options_, index, frame.frameId);
    auto name = names.begin();
    std::vector<RenderedFile> files;
    engine_.UploadRawImage(frame);
    // One depth map serves depth, total focus and point cloud: the total-focus steps compute it.
    // Here only the engine runs; conversions and encoding are left to the writer thread.
    CVyImage image;
    cv::Mat focus, picture, virtualDepth;
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
    const auto depth = std::make_shared<FrameDepth>(virtualDepth, calibration_, metric);
    // Each job's sidecar: the kind and units, with the frame's median depth filled in on the writer thread.
    auto add = [&](const char* kind, const std::string& units, const cv::Size& grid,
                   std::function<std::string(R::Sidecar&)> encode) {
        R::Sidecar s = sidecar(*name, kind, frame, index, grid);
        s.units = units;
        if (!metric && std::string(kind) == "depth") s.note = virtualOnly_;
        files.push_back({*name++, [s, encode = std::move(encode), depth, this](std::string& text) mutable {
                             s.medianDepthMm = depth->medianMm();
                             std::string bytes = encode(s);
                             text = R::sidecarJson(s, calibration_);
                             return bytes;
                         }});
    };
    const cv::Size grid = virtualDepth.empty() ? focus.size() : virtualDepth.size();
    const std::string still = "." + options_.stillExtension;
    const char* const levels = "16-bit levels: the engine's 14-bit level times 65535 / 16383";
    if (options_.depth) {
        const R::FloatFormat format = options_.depthFormat;
        add("depth", metric ? "mm (NaN: no depth)" : "virtual depth (NaN: no depth); no mm: see note", grid,
            [depth, format, metric, n = *name](R::Sidecar&) {
                const cv::Mat1f values =
                    R::turned(metric ? depth->millimetres() : R::depthVirtual(depth->virtualDepth()));
                return R::encodeFloat(values, format, n);
            });
    }
    const auto stillJob = [still](const cv::Mat& levels14, const std::string& n) {
        return
            [levels14, still, n](R::Sidecar&) { return R::encodeImage(R::turned(R::fullRange16(levels14)), still, n); };
    };
    if (options_.totalFocus) add("total-focus", levels, grid, stillJob(focus, *name));
    for (size_t k = 0; k < refocusValues_.size(); ++k) {
        Vy::Engine::computeDisplayImage(engine_, *access_, DisplayType::Refocus, refocusValues_[k], image);
        const double mm = options_.refocusMm[k];
        auto job = stillJob(copied(image), *name);
        add("refocus", levels, grid, [job, mm](R::Sidecar& s) {
            s.refocusMm = mm;
            return job(s);
        });
    }
    if (options_.depthPicture)
        add("depth-picture", "8-bit BGR colours of distance, as the program shows display type 2", grid,
            [picture, n = *name](R::Sidecar&) { return R::encodeImage(R::turned(picture), ".png", n); });
    if (options_.pointCloud) {
        add("point-cloud", "mm: x right, y down (turned pictures), z along the optical axis; colour: total focus", grid,
            [depth, focus, this](R::Sidecar& s) {
                cv::Mat1b grey;
                focus.convertTo(grey, CV_8U, 255.0 / Vy::kFullScale14);
                size_t points = 0;
                std::string bytes = R::encodePointCloud(depth->millimetres(), grey, calibration_, scale_, points);
                s.width = static_cast<int>(points);  // points in the cloud
                s.height = 1;
                return bytes;
            });
    }
    return files;
}

}  // namespace Vy::Synth
