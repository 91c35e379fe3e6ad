#include "EngineQuality.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <opencv2/imgcodecs.hpp>

#include "CCuda.h"
#include "CCudaCompute.h"
#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyException.h"
#include "DisplayPipeline.h"
#include "GroundTruth.h"
#include "IImageAccess.h"
#include "ProfileMeasurement.h"
#include "ProfileSettings.h"
#include "ReferenceFocus.h"
#include "RefocusPlane.h"
#include "SequenceGenerator.h"
#include "VyTypes.h"

namespace Vy::Synth {

namespace {
constexpr double kWhiteMinimum = 0.3;  // of the brightest white level, for the reference focus
constexpr double kPlaneShare = 0.01;   // a fronto plane covers at least this share of the grid
constexpr float kPlaneTolerance = 0.003f;
// Misses within this many lens pitches of a true depth jump of more than
// kEdgeJump count as near a depth edge: lenses there see both surfaces.
constexpr double kEdgePitches = 2.0;
constexpr double kEdgeJump = 0.05;
// Total focus is also scored in this many bands of depth, each with at least this share of the pixels.
constexpr int kFocusBands = 6;
constexpr double kFocusBandShare = 0.01;

// The misses picture: what each textured pixel's depth did, in BGR.
const cv::Vec3b kMissNearEdge{0, 200, 255};  // amber
const cv::Vec3b kMissElsewhere{0, 0, 255};   // red
const cv::Vec3b kHitNearEdge{120, 72, 48};   // dark blue-grey: the edge zone
const cv::Vec3b kHitElsewhere{96, 96, 96};   // grey

cv::Mat3b missesPicture(const cv::Mat1f& estimated, const FrameTruth& truth, const cv::Mat1b& nearEdge) {
    cv::Mat3b picture(truth.textured.size(), cv::Vec3b(0, 0, 0));
    for (int j = 0; j < picture.rows; ++j)
        for (int i = 0; i < picture.cols; ++i) {
            const float e = estimated(j, i);
            if (!truth.textured(j, i) || !(truth.virtualDepth(j, i) > 0.0f) || !std::isfinite(e) || e <= 0.0f) continue;
            const bool miss = std::abs(e / truth.virtualDepth(j, i) - 1.0f) > 0.05f;
            picture(j, i) =
                nearEdge(j, i) ? (miss ? kMissNearEdge : kHitNearEdge) : (miss ? kMissElsewhere : kHitElsewhere);
        }
    return picture;
}

cv::Mat view(const CVyImage& image, int type) {
    return cv::Mat(image.GetHeight(), image.GetWidth(), type, const_cast<void*>(image.GetPixelData()));
}

// A raw frame or white image as it is stored: 8-bit or 16-bit samples.
cv::Mat rawView(const CVyImage& image) {
    return view(image, image.GetDataType() == Vy::DataTypeUnsignedShort ? CV_16UC1 : CV_8UC1);
}

// Virtual depths of fronto-parallel planes: depths shared by many textured truth pixels.
std::vector<float> planeDepths(const FrameTruth& t) {
    std::map<int, int> counts;
    for (int j = 0; j < t.virtualDepth.rows; ++j)
        for (int i = 0; i < t.virtualDepth.cols; ++i)
            if (t.textured(j, i)) ++counts[static_cast<int>(std::lround(t.virtualDepth(j, i) * 1000.0f))];
    std::vector<float> depths;
    for (const auto& [key, count] : counts)
        if (count >= kPlaneShare * t.virtualDepth.total()) depths.push_back(key / 1000.0f);
    return depths;
}

cv::Mat1b planeMask(const FrameTruth& t, float depth) {
    return t.textured & (cv::abs(t.virtualDepth - depth) <= kPlaneTolerance);
}

double signedMedianError(const cv::Mat1f& estimated, const cv::Mat1b& mask, double truth) {
    std::vector<double> errors;
    for (int j = 0; j < mask.rows; ++j)
        for (int i = 0; i < mask.cols; ++i)
            if (mask(j, i) && estimated(j, i) > 0.0f) errors.push_back((estimated(j, i) - truth) / truth);
    if (errors.empty()) return std::nan("");
    std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
    return errors[errors.size() / 2];
}

// Refocuses at each fronto plane in turn: a plane must come out sharp when
// focused at and blurred when the focus is on another plane.
std::vector<PlaneScore> scorePlanes(CCudaCompute& engine, IImageAccess& access, const CCalibration& c,
                                    const FrameTruth& truth, const cv::Mat1f& estimated) {
    const double lo = c.virtualDepthMin, hi = c.virtualDepthMax;
    std::vector<float> depths;
    for (float v : planeDepths(truth))
        if (v >= lo && v <= hi) depths.push_back(v);
    std::vector<PlaneScore> scores(depths.size());
    for (size_t k = 0; k < depths.size(); ++k) {
        scores[k].depth = depths[k];
        scores[k].depthBias = signedMedianError(estimated, planeMask(truth, depths[k]), depths[k]);
        scores[k].elsewhereFocusedPsnr = -std::numeric_limits<double>::infinity();
    }
    for (size_t focusAt = 0; focusAt < depths.size(); ++focusAt) {
        engine.GetParams().SetValue(Params::CudaCompute_RefocusVirtualDepth,
                                    Vy::Model::refocusValueOf(lo, hi, depths[focusAt]));
        engine.Compute_RefocusBasic();
        CVyImage refocused;
        access.GetImage(Vy::ImageIdRefocused, refocused);
        const cv::Mat1w image = view(refocused, CV_16UC1);
        for (size_t k = 0; k < depths.size(); ++k) {
            const double psnr = psnr14(image, truth.focus, planeMask(truth, depths[k]));
            if (k == focusAt)
                scores[k].focusedPsnr = psnr;
            else
                scores[k].elsewhereFocusedPsnr = std::max(scores[k].elsewhereFocusedPsnr, psnr);
        }
    }
    return scores;
}
}  // namespace

bool QualityReport::Passed() const {
    bool ok = depth.medianRelativeError <= QualityBars::kMedianRelativeError &&
              depth.shareOver5Percent <= QualityBars::kShareOver5Percent &&
              depth.texturedValidShare >= QualityBars::kTexturedValid && focusPsnr >= QualityBars::kFocusPsnr &&
              (outerDepth.texturedCount == 0 || outerDepth.texturedValidShare >= QualityBars::kTexturedValid);
    for (const PlaneScore& p : planes)
        ok = ok && p.focusedPsnr >= QualityBars::kRefocusPsnr && p.elsewhereFocusedPsnr < p.focusedPsnr;
    if (scoredParticles) ok = ok && particles.worstDifference <= QualityBars::kParticleCountDifference;
    return ok;
}

QualityReport measureEngineQuality(const std::string& sequence, const std::string& settingsFile, uint32_t maxFrames,
                                   const std::string& dumpDir) {
    CSeqFileReader reader;
    reader.Open(sequence.c_str(), 2);
    const std::string truthDir = truthDirectory(sequence);
    if (!std::filesystem::exists(std::filesystem::path(truthDir) / "truth.txt"))
        throw CVyException("measureEngineQuality", sequence, "has no ground truth (" + truthDir + "/truth.txt)");
    CRayImage image;
    reader.StartReading(image);
    if (image.GetWhiteImage().IsEmpty()) throw CVyException("measureEngineQuality", sequence, "has no white image");
    const CCalibration& calibration = reader.GetCalibration();

    CCuda::EnumerateCudaDevices();
    CCudaCompute engine;
    engine.SetCudaDevice(CCuda::GetDevice(0));
    engine.ApplyCalibration(calibration, true);
    engine.SetWhiteImage(image.GetWhiteImage());
    Vy::Analysis::declareProfileSettings(engine.GetParams());  // the program's settings files may carry them
    engine.GetParams().ImportParameterFromFile(settingsFile.c_str());
    auto* access = static_cast<IImageAccess*>(engine.GetInterface(1));
    const int scale = static_cast<int>(engine.GetParams().GetNumber(Params::CudaCompute_OutputScale));
    // A dirty camera's black level (the truth knows it; the calibration does not)
    // comes off raw and white before the reference focus divides them.
    const double blackLevel = std::atof(truthIndexValue(truthDir, "black_level").c_str());
    cv::Mat white;
    rawView(image.GetWhiteImage()).convertTo(white, CV_32F, 1.0, -blackLevel);

    QualityReport report;
    const std::string preset = truthIndexValue(truthDir, "preset");
    report.scoredParticles = preset == "particles" || preset == "swarm";
    if (!dumpDir.empty()) std::filesystem::create_directories(dumpDir);
    report.framesInFile = reader.GetFrameCount();
    const uint32_t frames = maxFrames == 0 ? report.framesInFile : std::min(maxFrames, report.framesInFile);
    // Depth and focus figures pool the pixels of all scored frames.
    cv::Mat1f estimatedAll, truthAll;
    cv::Mat1b texturedAll, nearEdgeAll, focusMaskAll;
    cv::Mat1w focusAll, truthFocusAll;
    const double edgeRadius = kEdgePitches * calibration.lensPitch / std::max(scale, 1);
    double focusSquares = 0.0, referenceSquares = 0.0;
    size_t focusCount = 0, referenceCount = 0;
    auto accumulate = [](const cv::Mat1w& a, const cv::Mat1w& b, const cv::Mat1b& mask, double& squares, size_t& n) {
        for (int j = 0; j < a.rows; ++j)
            for (int i = 0; i < a.cols; ++i)
                if (mask(j, i)) {
                    const double d = double(a(j, i)) - double(b(j, i));
                    squares += d * d;
                    ++n;
                }
    };
    for (uint32_t f = 0; f < frames; ++f) {
        reader.ReadFrame(image);
        const FrameTruth truth = readTruth(truthDir, f);
        engine.UploadRawImage(image);
        CVyImage depth, focus;
        Vy::Engine::computeDisplayImage(engine, *access, DisplayType::TotalFocus, std::nullopt, focus);
        access->GetImage(Vy::ImageIdVirtualDepth, depth);
        const cv::Mat1f estimated = view(depth, CV_32FC1);
        const cv::Mat1w focusImage = view(focus, CV_16UC1);
        if (estimated.size() != truth.virtualDepth.size() || focusImage.size() != truth.focus.size())
            throw CVyException(
                "measureEngineQuality", sequence,
                "engine output grid (output.scale " + std::to_string(scale) + ") differs from the truth's grid");
        estimatedAll.push_back(estimated.clone());
        truthAll.push_back(truth.virtualDepth);
        texturedAll.push_back(truth.textured);
        const cv::Mat1b nearEdge = depthEdgeZone(truth.virtualDepth, edgeRadius, kEdgeJump);
        nearEdgeAll.push_back(nearEdge);
        const cv::Mat1b focusMask = (estimated > 0.0f) & (truth.virtualDepth > 0.0f);
        accumulate(focusImage, truth.focus, focusMask, focusSquares, focusCount);
        focusAll.push_back(focusImage.clone());
        truthFocusAll.push_back(truth.focus);
        focusMaskAll.push_back(focusMask);
        cv::Mat raw;
        rawView(image).convertTo(raw, CV_32F, 1.0, -blackLevel);
        const cv::Mat1w reference = referenceFocus(calibration, raw, white, truth.virtualDepth, scale, kWhiteMinimum);
        accumulate(reference, truth.focus, truth.textured, referenceSquares, referenceCount);

        if (f == 0) report.planes = scorePlanes(engine, *access, calibration, truth, estimated);
        if (report.scoredParticles) {
            const double accepted =
                Vy::Analysis::measureProfile(focusImage, Vy::Analysis::readProfileSettings(engine.GetParams()).bounds)
                    .acceptedCount;
            const double expected = static_cast<double>(truth.particles.size());
            report.particles.truthMean += expected / frames;
            report.particles.acceptedMean += accepted / frames;
            report.particles.worstDifference =
                std::max(report.particles.worstDifference, std::abs(accepted - expected) / std::max(expected, 1.0));
        }
        if (!dumpDir.empty()) {
            cv::imwrite(truthFile(dumpDir, f, "engine_focus.png"), focusImage);
            cv::Mat1w depthUnits;
            estimated.convertTo(depthUnits, CV_16U, 1000.0);
            cv::imwrite(truthFile(dumpDir, f, "engine_vdepth.png"), depthUnits);
            cv::imwrite(truthFile(dumpDir, f, "engine_misses.png"), missesPicture(estimated, truth, nearEdge));
        }
    }
    report.framesScored = frames;
    report.depth = scoreDepth(estimatedAll, truthAll, texturedAll, nearEdgeAll);
    // Micro-images shift most towards the rims, so the outer band is scored on its own.
    cv::Mat1b outer(texturedAll.size(), uint8_t{0});
    const int bandX = outer.cols / 10, rowsPerFrame = outer.rows / static_cast<int>(std::max(1u, frames));
    const int bandY = rowsPerFrame / 10;
    for (int j = 0; j < outer.rows; ++j)
        for (int i = 0; i < outer.cols; ++i) {
            const int y = j % rowsPerFrame;
            outer(j, i) = (i < bandX || i >= outer.cols - bandX || y < bandY || y >= rowsPerFrame - bandY) ? 255 : 0;
        }
    report.outerDepth = scoreDepth(estimatedAll, truthAll, texturedAll & outer, nearEdgeAll);
    auto toPsnr = [](double squares, size_t n) {
        return n == 0 ? std::nan("")
                      : 10.0 * std::log10(double{Vy::kFullScale14} * Vy::kFullScale14 / std::max(squares / n, 1e-12));
    };
    report.focusPsnr = toPsnr(focusSquares, focusCount);
    if (!focusAll.empty())
        report.focusByDepth =
            psnrByDepth(focusAll, truthFocusAll, truthAll, focusMaskAll & texturedAll, kFocusBands, kFocusBandShare);
    report.referenceFocusPsnr = toPsnr(referenceSquares, referenceCount);
    return report;
}

}  // namespace Vy::Synth
