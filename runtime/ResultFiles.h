// Results as files other programs open: depth in mm (or virtual units where
// the optics give no distances) as float images, 16-bit stills, a point cloud
// and a small JSON sidecar for each. Everything is encoded into bytes here;
// the caller decides how the bytes reach the disk.
//
// Frame of the point cloud (docs/results.md): origin at the main lens's centre,
// Z along the optical axis into the scene (the distance in mm), X to the right
// and Y down in the pictures turned by 180 degrees as the program shows them
// (the main lens turns the scene over on the sensor; the turn undoes it).
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "CCalibration.h"

namespace Vy::Results {

// Why the calibration's optics give no distance for the virtual depths
// low .. high (non-positive or infinite); empty when they give one throughout.
std::string opticsProblem(const CCalibration& c, double low, double high);

// Per pixel: the distance in mm of the engine's virtual depth, NaN where the
// depth is not valid (0, negative, not finite) or the optics give no distance.
cv::Mat1f depthMillimetres(const cv::Mat1f& virtualDepth, const CCalibration& c);
// The virtual depth itself, NaN where it is not valid.
cv::Mat1f depthVirtual(const cv::Mat1f& virtualDepth);
// The median of the finite values (the upper one of an even count); 0 when there are none.
double finiteMedian(const cv::Mat1f& values);

// Turned by 180 degrees, as the program's window and snapshots show a frame.
cv::Mat turned(const cv::Mat& image);

enum class FloatFormat { Tiff, Exr, Pfm };
// "tiff", "exr", "pfm"; false for anything else.
bool parseFloatFormat(const std::string& text, FloatFormat& format);
const char* extension(FloatFormat format);

// A one-channel float image: 32-bit float TIFF, EXR (32-bit float) or PFM
// ("Pf", little-endian, rows stored bottom row first as PFM readers expect).
// Throws CVyException(operation, name, reason) when it cannot be encoded
// (an OpenCV built without EXR).
std::string encodeFloat(const cv::Mat1f& image, FloatFormat format, const std::string& name);

// The engine's 14-bit levels stretched to the full 16-bit range (16383 -> 65535, rounded to
// nearest); levels above 16383 (brighter than the white image) stay at 65535.
cv::Mat1w fullRange16(const cv::Mat1w& engineLevels);
// A PNG or TIFF (by ext: ".png", ".tiff") of an 8- or 16-bit image; throws as encodeFloat.
std::string encodeImage(const cv::Mat& image, const std::string& ext, const std::string& name);

// Binary little-endian PLY of the pixels with a finite depth: float x, y, z in mm in
// the frame above, uchar red, green, blue. depthMm and colour (8-bit grey or BGR)
// are on the engine's output grid of the given scale, not turned. Returns the bytes;
// points gets the number of vertices.
std::string encodePointCloud(const cv::Mat1f& depthMm, const cv::Mat& colour, const CCalibration& c, int scale,
                             size_t& points);

// What a sidecar says about one output file.
struct Sidecar {
    std::string file;  // the output's name, without folder
    std::string kind;  // depth, total-focus, refocus, depth-picture, point-cloud
    std::string units;
    uint32_t frameIndex = 0;
    int64_t frameId = 0;
    double timeStampMs = 0.0;
    int width = 0, height = 0;  // of the output grid (points for a point cloud)
    bool turned = true;
    int outputScale = 1;         // sensor pixels per output pixel
    double refocusMm = 0.0;      // refocus only
    double medianDepthMm = 0.0;  // the frame's median distance, 0 when none
    std::string sequence;
    std::string calibrationSource;
    std::string tool;
    std::string note;  // anything a reader must know (virtual units), empty if none
};

// The sidecar as JSON; the grid's scale comes from the calibration: an output
// pixel spans outputScale * pixelSize * (z / f - 1) mm at distance z.
std::string sidecarJson(const Sidecar& s, const CCalibration& c);

}  // namespace Vy::Results
