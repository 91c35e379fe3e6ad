#include "CalibrateCamera.h"

#include "CVyException.h"
#include "DepthRange.h"
#include "KeyValueText.h"
#include "LensTypeFinder.h"
#include "TextFile.h"

namespace Vy::Synth {

void checkPitchHint(double hint, const std::string& operation) {
    if (hint == 0.0 || (hint >= kPitchHintMin && hint <= kPitchHintMax)) return;
    throw CVyException(
        operation, "--pitch-hint " + FormatNumber(hint),
        "must be " + FormatNumber(kPitchHintMin) + ".." + FormatNumber(kPitchHintMax) + " px (0 searches every pitch)");
}

CameraCalibration calibrateCamera(const cv::Mat& white, const std::string& whiteName,
                                  const std::vector<cv::Mat>& frames, const std::string& framesName, int bits,
                                  double pitchHint, const std::string& opticsFile, const std::string& operation) {
    checkPitchHint(pitchHint, operation);
    // One prefix for every refusal: the operation's, then the file (and line) at fault.
    const auto asOperation = [&](const auto& step) {
        try {
            return step();
        } catch (const CVyException& e) {
            throw CVyException(operation, e.Subject(), e.Reason());
        }
    };
    const CCalibration optics = opticsFile.empty() ? defaultOptics() : asOperation([&] {
        return CCalibration::FromText(ReadTextFile(opticsFile, 1 << 20, operation), opticsFile);
    });
    CameraCalibration result;
    result.grid = asOperation([&] { return findGrid(white, pitchHint, whiteName); });
    try {
        result.calibration = calibrationFromGrid(result.grid, white.cols, white.rows, optics);
    } catch (const CVyException& e) {  // a grid the engine cannot take: named with the image it was found in
        throw CVyException(operation, whiteName, e.Subject() + ": " + e.Reason());
    }
    // The grid's numbering starts wherever the finder did: which lens has which focal length
    // is read off the white image before the engine measures the range through them.
    if (result.calibration.microLensTypes > 1) {
        const LensTypeFit types = fitLensTypes(result.calibration, white);
        result.calibration = types.calibration;
        result.typesLine = describeLensTypeFit(types);
    }
    // Without scene frames the image itself is measured as a scene: it is a frame where no white image
    // was taken; a true white image shows too little texture, and the range stays the search.
    const RangeChoice range = asOperation([&] {
        return frames.empty() ? chooseDepthRange(result.calibration, opticsFile, cv::Mat(), {white}, bits, whiteName)
                              : chooseDepthRange(result.calibration, opticsFile, white, frames, bits, framesName);
    });
    result.calibration.virtualDepthMin = range.range.min;
    result.calibration.virtualDepthMax = range.range.max;
    result.rangeLine = range.line;
    if (const std::string problem = result.calibration.Problem(); !problem.empty())
        throw CVyException(operation, opticsFile.empty() ? whiteName : opticsFile, problem);
    return result;
}

}  // namespace Vy::Synth
