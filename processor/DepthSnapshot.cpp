#include "DepthSnapshot.h"

#include <filesystem>

#include "ResultFiles.h"

namespace R = Vy::Results;

void DepthSnapshot::setUp(const CCalibration& c, int outputScale, double searchedLow, double searchedHigh,
                          const std::string& name) {
    calibration = c;
    scale = outputScale;
    sequence = name;
    virtualOnly = R::opticsProblem(c, searchedLow, searchedHigh);
    ready = true;
}

std::vector<Snapshot::Extra> DepthSnapshot::files(const CVyImage& depth, const FrameInfo& info) const {
    if (!ready || depth.IsEmpty() || depth.GetFormat().GetBitDepth() != 32 ||
        depth.GetFormat().GetChannelCount() != 1) {
        return {};
    }
    // A view of the engine's buffer: it is held until the frame's outputs are done.
    const cv::Mat1f virtualDepth(depth.GetHeight(), depth.GetWidth(),
                                 const_cast<float*>(static_cast<const float*>(depth.GetPixelData())));
    const bool metric = virtualOnly.empty();
    const cv::Mat1f values = metric ? R::depthMillimetres(virtualDepth, calibration) : R::depthVirtual(virtualDepth);
    R::Sidecar s;
    s.kind = "depth";
    s.units = metric ? "mm (NaN: no depth)" : "virtual depth (NaN: no depth)";
    s.note = metric ? "" : "the calibration's optics give no distance: " + virtualOnly;
    s.frameIndex = static_cast<uint32_t>(info.number);
    s.frameId = info.frameId;
    s.timeStampMs = info.timeStamp;
    s.width = values.cols;
    s.height = values.rows;
    s.outputScale = scale;
    if (metric) s.medianDepthMm = R::finiteMedian(values);
    s.sequence = sequence;
    s.calibrationSource = "the calibration block of " + sequence;
    s.tool = "MarlinProfileProc snapshot";
    const CCalibration& c = calibration;
    return {
        {"-depth-mm.tiff", [turned = R::turned(values)](
                               const std::string& path) { return R::encodeFloat(turned, R::FloatFormat::Tiff, path); }},
        {"-depth-mm.tiff.json", [s, c](const std::string& path) mutable {
             // The sidecar names its TIFF, the path without ".json".
             s.file = std::filesystem::path(path.substr(0, path.size() - 5)).filename().string();
             return R::sidecarJson(s, c);
         }}};
}
