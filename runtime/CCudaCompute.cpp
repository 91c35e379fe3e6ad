// The compute engine on the host CPU: the frame's results are kept here until
// the next upload; each Compute_* step checks that the steps it builds on ran.
#include "CCudaCompute.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "CVyException.h"
#include "CameraModel.h"
#include "RefocusPlane.h"
#include "engine/DepthColorMap.h"
#include "engine/DepthEdgeRefiner.h"
#include "engine/DepthEstimator.h"
#include "engine/DepthMapBuilder.h"
#include "engine/EngineParameters.h"
#include "engine/ImagePool.h"
#include "engine/ImageResizer.h"
#include "engine/LensGrid.h"
#include "engine/LightFieldRenderer.h"
#include "engine/PreProcessor.h"
#include "engine/ThreadPool.h"

using namespace Vy::Engine;

namespace {

const char* const kClass = "CCudaCompute::";

// The engine computes in the virtual-image space only.
void RequireVirtualImageSpace(const char* step, LF::ESpace space) {
    if (space != LF::Space_VirtualImage) {
        throw CVyException(
            std::string(kClass) + step, "space " + std::to_string(space),
            "only the virtual-image space (" + std::to_string(LF::Space_VirtualImage) + ") is supported");
    }
}
// Bounds on what one calibration may make the engine hold (tables grow with both).
constexpr double kMaxSensorPixels = 8192.0 * 8192.0;
constexpr double kMaxLenses = 1 << 20;
// Matched share of the micro-image radius when depth.patch_radius is 0.
constexpr double kAutomaticPatchShare = 0.6;

CVyException OrderError(const char* step, const std::string& missing) {
    return CVyException(std::string(kClass) + step, "frame", missing);
}

}  // namespace

struct CCudaCompute::Engine final : IImageAccess {
    CParameterSet params;
    EngineSettings settings;  // as read at the frame's first step
    std::unique_ptr<ThreadPool> pool;
    unsigned poolThreads = ~0u;

    // Camera model and what is precomputed from it.
    CCalibration calibration;
    bool calibrated = false;
    CVyImage white;
    LensGrid grid;
    PreProcessor preProcessor;
    double builtMargin = -1.0, builtWhiteMinimum = -1.0;
    bool preProcessorStale = true;
    OutputLookup lookup;  // nearest lens of each output pixel
    DepthEstimator estimator;

    // The current frame.
    CVyImage raw;
    bool uploaded = false;
    bool preProcessed = false, depthRay = false, depthMap = false, depth3d = false;
    int32_t outWidth = 0, outHeight = 0;
    std::vector<float> floatImage;
    std::vector<LensDepth> lensDepths;
    std::vector<float> lensFilled;
    std::vector<float> inverseDepth;  // 1 / v on the output grid, 0 = invalid
    std::map<uint32_t, CVyImage> results;
    ImagePool images;  // buffers of the results, reused once no image uses them

    Engine() {
        DeclareEngineParameters(params);
        settings = ReadEngineSettings(params);
    }

    void GetImage(uint32_t id, CVyImage& target) override {
        const auto found = results.find(id);
        if (found == results.end()) {
            const bool known = id == Vy::ImageIdPreProcessed || id == Vy::ImageIdRefocused ||
                               id == Vy::ImageIdTotalFocus || id == Vy::ImageIdDepthColorCoded ||
                               id == Vy::ImageIdVirtualDepth || id == Vy::ImageIdDistance;
            throw CVyException("CCudaCompute::GetImage", "image " + std::to_string(id),
                               known ? "not computed for this frame" : "unknown image id");
        }
        target = found->second;
        target.timeStamp = raw.timeStamp;
        target.frameId = raw.frameId;
    }

    ThreadPool& Pool() {
        if (!pool || poolThreads != settings.threads) {
            pool = std::make_unique<ThreadPool>(settings.threads);
            poolThreads = settings.threads;
        }
        return *pool;
    }

    void RequireCalibration(const char* step) const {
        if (!calibrated) {
            throw OrderError(step, "no calibration applied (call ApplyCalibration first)");
        }
    }

    // Rebuilds the lookups that depend on settings which may have changed.
    void PrepareLookups() {
        // The gains depend on the raw frame's depth too: a sequence of 12-bit frames needs other gains than 8-bit.
        const int rawBits = uploaded ? raw.GetSignificantBits() : preProcessor.RawBits();
        if (preProcessorStale || builtMargin != settings.rimMargin || builtWhiteMinimum != settings.whiteMinimum ||
            rawBits != preProcessor.RawBits()) {
            preProcessor.Build(calibration, grid, white, settings.whiteMinimum, settings.rimMargin, rawBits);
            builtMargin = settings.rimMargin;
            builtWhiteMinimum = settings.whiteMinimum;
            preProcessorStale = false;
        }
        outWidth = Vy::Model::outputSize(calibration.sensorWidth, settings.outputScale);
        outHeight = Vy::Model::outputSize(calibration.sensorHeight, settings.outputScale);
        if (lookup.scale != settings.outputScale) {
            lookup = grid.MakeOutputLookup(outWidth, outHeight, settings.outputScale);
        }
    }

    // Usable virtual-depth range: the search range within the calibration's.
    std::pair<float, float> SearchRange() const {
        const auto [lo, hi] =
            Vy::Model::searchedVirtualDepths(calibration, settings.depthVirtualMin, settings.depthVirtualMax);
        return {static_cast<float>(lo), static_cast<float>(hi)};
    }

    float SampleRadius() const {
        return static_cast<float>(std::max(1.0, calibration.microImageRadius - settings.rimMargin - 1.0));
    }

    RenderSource Source() const {
        const CVyImage& pre = results.at(Vy::ImageIdPreProcessed);
        return {static_cast<const uint16_t*>(pre.GetPixelData()), pre.GetWidth(), pre.GetHeight(), SampleRadius()};
    }

    void Render(const float* inverseDepth, float fallback, uint32_t id) {
        void* pixels = nullptr;
        CVyImage out =
            images.Take(CVyImageFormat{outWidth, outHeight, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort}, pixels);
        const RenderSource source = Source();
        RenderTarget target{static_cast<uint16_t*>(pixels), outWidth, outHeight, settings.outputScale};
        RenderLightField(source, grid, lookup, inverseDepth, fallback, target, Pool());
        results[id] = std::move(out);
    }

    const float* FloatResult(uint32_t id) { return static_cast<const float*>(results.at(id).GetPixelData()); }
};

CCudaCompute::CCudaCompute() : engine_(std::make_unique<Engine>()) {}
CCudaCompute::~CCudaCompute() = default;

void CCudaCompute::SetCudaDevice(const CCudaDevice& device) {
    if (!device.IsCpu()) {
        throw CVyException("CCudaCompute::SetCudaDevice", "device " + std::to_string(device.GetIndex()),
                           "only the host CPU device is supported");
    }
}

void CCudaCompute::ApplyCalibration(const CCalibration& calibration, bool computeLookups) {
    const std::string problem = calibration.Problem();
    if (!problem.empty()) {
        throw CVyException("CCudaCompute::ApplyCalibration", "calibration", problem);
    }
    const double pixels = double(calibration.sensorWidth) * calibration.sensorHeight;
    if (pixels > kMaxSensorPixels) {
        throw CVyException("CCudaCompute::ApplyCalibration", "calibration",
                           "sensor " + std::to_string(calibration.sensorWidth) + "x" +
                               std::to_string(calibration.sensorHeight) + " is larger than the engine handles (" +
                               std::to_string(static_cast<long>(kMaxSensorPixels)) + " pixels)");
    }
    if (pixels / (calibration.lensPitch * calibration.lensPitch * 0.866) > kMaxLenses) {
        throw CVyException("CCudaCompute::ApplyCalibration", "calibration",
                           "lens pitch " + std::to_string(calibration.lensPitch) +
                               " px gives more lenses than the engine handles on this sensor");
    }
    Engine& e = *engine_;
    if (!e.white.IsEmpty() &&
        (e.white.GetWidth() != calibration.sensorWidth || e.white.GetHeight() != calibration.sensorHeight)) {
        e.white = CVyImage();  // a white image of another camera says nothing about this one
    }
    e.calibration = calibration;
    e.grid = LensGrid(calibration);
    e.calibrated = true;
    e.preProcessorStale = true;
    e.lookup = OutputLookup();
    e.uploaded = e.preProcessed = e.depthRay = e.depthMap = e.depth3d = false;
    e.results.clear();
    e.images.Clear();
    if (computeLookups) {
        e.settings = ReadEngineSettings(e.params);
        e.PrepareLookups();
    }
}

void CCudaCompute::SetWhiteImage(const CVyImage& white) {
    const bool luminance =
        white.GetPixelType() == Vy::PixelTypeLuminance &&
        (white.GetDataType() == Vy::DataTypeUnsignedByte || white.GetDataType() == Vy::DataTypeUnsignedShort);
    if (!white.IsEmpty() && !luminance) {
        throw CVyException("CCudaCompute::SetWhiteImage", "white image", "must be 8- or 16-bit luminance");
    }
    Engine& e = *engine_;
    if (e.calibrated && !white.IsEmpty()) {
        // Checks the image against the sensor before anything changes.
        PreProcessor check;
        e.settings = ReadEngineSettings(e.params);
        check.Build(e.calibration, e.grid, white, e.settings.whiteMinimum, e.settings.rimMargin,
                    e.uploaded ? e.raw.GetSignificantBits() : white.GetSignificantBits());
        e.preProcessor = std::move(check);
        e.builtMargin = e.settings.rimMargin;
        e.builtWhiteMinimum = e.settings.whiteMinimum;
        e.preProcessorStale = false;
    } else {
        e.preProcessorStale = true;
    }
    e.white = white;
}

CParameterSet& CCudaCompute::GetParams() { return engine_->params; }

void* CCudaCompute::GetInterface(uint32_t id) {
    return id == 1 ? static_cast<void*>(static_cast<IImageAccess*>(engine_.get())) : nullptr;
}

void CCudaCompute::UploadRawImage(const CVyImage& raw) {
    const bool sixteen = raw.GetDataType() == Vy::DataTypeUnsignedShort;
    if (raw.IsEmpty() || raw.GetPixelType() != Vy::PixelTypeLuminance ||
        (raw.GetDataType() != Vy::DataTypeUnsignedByte && !sixteen)) {
        throw CVyException("CCudaCompute::UploadRawImage", "raw image", "must be 8- or 16-bit luminance");
    }
    const int bits = raw.GetSignificantBits();
    if (sixteen ? bits < 8 || bits > 16 : bits != 8) {
        throw CVyException("CCudaCompute::UploadRawImage", "raw image",
                           std::to_string(bits) + " significant bits do not fit its data type");
    }
    Engine& e = *engine_;
    e.raw = raw;
    e.uploaded = true;
    e.preProcessed = e.depthRay = e.depthMap = e.depth3d = false;
    e.results.clear();
}

void CCudaCompute::Compute_PreProcess() {
    Engine& e = *engine_;
    e.RequireCalibration("Compute_PreProcess");
    if (!e.uploaded) {
        throw OrderError("Compute_PreProcess", "no raw image uploaded");
    }
    const CCalibration& c = e.calibration;
    if (e.raw.GetWidth() != c.sensorWidth || e.raw.GetHeight() != c.sensorHeight) {
        throw CVyException("CCudaCompute::Compute_PreProcess", "raw image",
                           "size " + std::to_string(e.raw.GetWidth()) + "x" + std::to_string(e.raw.GetHeight()) +
                               " does not match the calibration's sensor " + std::to_string(c.sensorWidth) + "x" +
                               std::to_string(c.sensorHeight));
    }
    e.settings = ReadEngineSettings(e.params);
    e.PrepareLookups();
    void* pixels = nullptr;
    CVyImage out = e.images.Take(
        CVyImageFormat{c.sensorWidth, c.sensorHeight, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort}, pixels);
    // The calibration's black level where it has one, else this frame's from its gaps.
    auto* target = static_cast<uint16_t*>(pixels);
    if (e.raw.GetDataType() == Vy::DataTypeUnsignedShort) {
        const auto* samples = static_cast<const uint16_t*>(e.raw.GetPixelData());
        e.preProcessor.Run(samples, target, e.Pool(),
                           c.blackLevel >= 0.0 ? c.blackLevel : e.preProcessor.EstimateBlack(samples));
    } else {
        const auto* samples = static_cast<const uint8_t*>(e.raw.GetPixelData());
        e.preProcessor.Run(samples, target, e.Pool(),
                           c.blackLevel >= 0.0 ? c.blackLevel : e.preProcessor.EstimateBlack(samples));
    }
    // Hot and dead pixels the white image does not show are learnt from the first frames.
    e.preProcessor.LearnDefects(target, e.Pool());
    e.results[Vy::ImageIdPreProcessed] = std::move(out);
    e.preProcessed = true;
}

void CCudaCompute::Compute_DepthRay() {
    Engine& e = *engine_;
    if (!e.preProcessed) {
        throw OrderError("Compute_DepthRay", "not pre-processed (call Compute_PreProcess first)");
    }
    const CVyImage& pre = e.results.at(Vy::ImageIdPreProcessed);
    const size_t count = static_cast<size_t>(pre.GetWidth()) * pre.GetHeight();
    e.floatImage.resize(count + DepthEstimator::kImagePadding, 0.0f);
    const auto* in = static_cast<const uint16_t*>(pre.GetPixelData());
    float* out = e.floatImage.data();
    e.Pool().ParallelFor(count, 1 << 16, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            out[i] = in[i];
        }
    });
    DepthSettings depth;
    std::tie(depth.virtualMin, depth.virtualMax) = e.SearchRange();
    depth.steps = e.settings.depthSteps;
    // Rims see defocused points through part of their lens only, which biases
    // a match; by default only the inner part of each micro-image is compared.
    const double usable = e.calibration.microImageRadius - e.settings.rimMargin - 1.5;
    const double wanted =
        e.settings.patchRadius > 0 ? e.settings.patchRadius : kAutomaticPatchShare * e.calibration.microImageRadius;
    depth.matchRadius = static_cast<float>(std::min(usable, wanted));
    depth.widestRadius = static_cast<float>(usable);
    // A small bright object is compared on its own pixels, wherever a neighbour still sees it sharply.
    depth.blobReach = static_cast<float>(usable);
    depth.minContrast = static_cast<float>(e.settings.minContrast * Vy::kFullScale14 / 255.0);
    depth.maxCost = static_cast<float>(e.settings.maxCost);
    e.estimator.Estimate(e.floatImage.data(), pre.GetWidth(), pre.GetHeight(), e.grid, depth, e.Pool(), e.lensDepths);
    PreferSharpLenses(e.grid, e.lensDepths);
    RejectInconsistent(e.grid, static_cast<float>(e.settings.consistency), e.lensDepths);
    e.depthRay = true;
}

void CCudaCompute::Compute_DepthMap(LF::ESpace space) {
    Engine& e = *engine_;
    RequireVirtualImageSpace("Compute_DepthMap", space);
    if (!e.depthRay) {
        throw OrderError("Compute_DepthMap", "no depth estimate (call Compute_DepthRay first)");
    }
    e.lensFilled = FillLensDepths(e.grid, e.lensDepths, e.settings.fillIterations);
    void* pixels = nullptr;
    CVyImage map =
        e.images.Take(CVyImageFormat{e.outWidth, e.outHeight, Vy::PixelTypeLuminance, Vy::DataTypeFloat}, pixels);
    e.inverseDepth.resize(static_cast<size_t>(e.outWidth) * e.outHeight);
    BuildDepthMap(e.grid, e.lensFilled, e.lookup, e.outWidth, e.outHeight, e.Pool(), static_cast<float*>(pixels),
                  e.inverseDepth.data());
    RefineDepthEdges(e.Source(), e.grid, e.lookup, e.lensFilled, e.outWidth, e.outHeight, e.Pool(),
                     static_cast<float*>(pixels), e.inverseDepth.data());
    e.results[Vy::ImageIdVirtualDepth] = std::move(map);
    e.depthMap = true;
}

void CCudaCompute::Compute_TotalFocus(LF::ESpace space) {
    Engine& e = *engine_;
    RequireVirtualImageSpace("Compute_TotalFocus", space);
    if (!e.depthMap) {
        throw OrderError("Compute_TotalFocus", "no depth map (call Compute_DepthMap first)");
    }
    const auto [lo, hi] = e.SearchRange();
    e.Render(e.inverseDepth.data(), 2.0f / (1.0f / lo + 1.0f / hi), Vy::ImageIdTotalFocus);
}

void CCudaCompute::Compute_Depth3D() {
    Engine& e = *engine_;
    if (!e.depthMap) {
        throw OrderError("Compute_Depth3D", "no depth map (call Compute_DepthMap first)");
    }
    void* pixels = nullptr;
    CVyImage distance =
        e.images.Take(CVyImageFormat{e.outWidth, e.outHeight, Vy::PixelTypeLuminance, Vy::DataTypeFloat}, pixels);
    DepthToDistance(e.calibration, e.FloatResult(Vy::ImageIdVirtualDepth),
                    static_cast<size_t>(e.outWidth) * e.outHeight, e.Pool(), static_cast<float*>(pixels));
    e.results[Vy::ImageIdDistance] = std::move(distance);
    e.depth3d = true;
}

void CCudaCompute::Compute_DepthColorCode(LF::ESpace space) {
    Engine& e = *engine_;
    RequireVirtualImageSpace("Compute_DepthColorCode", space);
    if (!e.depthMap) {
        throw OrderError("Compute_DepthColorCode", "no depth map (call Compute_DepthMap first)");
    }
    if (!e.depth3d) {
        Compute_Depth3D();
    }
    void* pixels = nullptr;
    CVyImage colors =
        e.images.Take(CVyImageFormat{e.outWidth, e.outHeight, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte}, pixels);
    ColorCodeDistances(e.FloatResult(Vy::ImageIdDistance), static_cast<size_t>(e.outWidth) * e.outHeight,
                       static_cast<float>(e.settings.colorNear), static_cast<float>(e.settings.colorFar), e.Pool(),
                       static_cast<uint8_t*>(pixels));
    e.results[Vy::ImageIdDepthColorCoded] = std::move(colors);
}

void CCudaCompute::Compute_RefocusBasic() {
    Engine& e = *engine_;
    if (!e.preProcessed) {
        throw OrderError("Compute_RefocusBasic", "not pre-processed (call Compute_PreProcess first)");
    }
    // The value runs over the calibration's virtual depths (the search range without them).
    const double r = e.params.GetNumber(Params::CudaCompute_RefocusVirtualDepth);
    double lo = e.calibration.virtualDepthMin;
    double hi = e.calibration.virtualDepthMax;
    if (!(hi > lo && lo > 0.0)) {
        std::tie(lo, hi) = e.SearchRange();
    }
    const double v = Vy::Model::refocusVirtualDepth(lo, hi, r);
    e.Render(nullptr, static_cast<float>(v), Vy::ImageIdRefocused);
}

void CCudaCompute::ResizeImage(CVyImage* target, const CVyImage* source, int factor) {
    if (target == nullptr || source == nullptr) {
        throw CVyException("CCudaCompute::ResizeImage", target ? "source" : "target", "is a null pointer");
    }
    ResizeByArea(*source, factor, *target);
}
