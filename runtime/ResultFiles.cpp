#include "ResultFiles.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "CVyException.h"
#include "CameraModel.h"
#include "VyTypes.h"

namespace Vy::Results {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Uncompressed: every TIFF reader reads it (tifffile needs an extra package for OpenCV's default LZW).
const std::vector<int> kUncompressedTiff = {cv::IMWRITE_TIFF_COMPRESSION, 1};

bool usableDistance(double z) { return std::isfinite(z) && z > 0.0; }

std::string encodeWith(const cv::Mat& image, const std::string& ext, const std::string& name,
                       const std::vector<int>& flags = {}) {
    std::vector<uchar> bytes;
    std::string reason;
    try {
        if (cv::imencode(ext, image, bytes, flags)) return std::string(bytes.begin(), bytes.end());
        reason = "OpenCV cannot encode it as " + ext.substr(1);
    } catch (const cv::Exception& e) {
        reason = "OpenCV cannot encode it as " + ext.substr(1) + " (" + e.err + ")";
    }
    throw CVyException("encode", name, reason);
}

std::string encodePfm(const cv::Mat1f& image) {
    char header[64];
    const int n = std::snprintf(header, sizeof header, "Pf\n%d %d\n-1.0\n", image.cols, image.rows);
    std::string bytes(header, static_cast<size_t>(n));
    const size_t rowBytes = sizeof(float) * static_cast<size_t>(image.cols);
    bytes.reserve(bytes.size() + rowBytes * image.rows);
    // The scale -1 says little-endian, which this machine is; PFM rows run from the bottom up.
    for (int j = image.rows - 1; j >= 0; --j)
        bytes.append(reinterpret_cast<const char*>(image.ptr<float>(j)), rowBytes);
    return bytes;
}

void appendFloat(std::string& out, float value) { out.append(reinterpret_cast<const char*>(&value), sizeof value); }

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string jsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

}  // namespace

std::string opticsProblem(const CCalibration& c, double low, double high) {
    const double nearMm = Vy::Model::distanceFromVirtualDepth(c, high);
    const double farMm = Vy::Model::distanceFromVirtualDepth(c, low);
    if (usableDistance(nearMm) && usableDistance(farMm)) return "";
    char text[200];
    std::snprintf(text, sizeof text,
                  "the calibration's optics (mainFocalLength %g mm, mainLensToMla %g mm, mlaToSensor %g mm) give no "
                  "distance for virtual depths %g..%g",
                  c.mainFocalLength, c.mainLensToMla, c.mlaToSensor, low, high);
    return text;
}

cv::Mat1f depthMillimetres(const cv::Mat1f& virtualDepth, const CCalibration& c) {
    // distanceFromVirtualDepth as z = f (L + v B) / ((L - f) + v B): the same thin lens without the
    // difference of two reciprocals, so that it holds in float and the loop vectorises.
    const float f = static_cast<float>(c.mainFocalLength), L = static_cast<float>(c.mainLensToMla),
                B = static_cast<float>(c.mlaToSensor), gap = static_cast<float>(c.mainLensToMla - c.mainFocalLength);
    cv::Mat1f mm(virtualDepth.size());
    for (int j = 0; j < mm.rows; ++j) {
        const float* v = virtualDepth.ptr<float>(j);
        float* out = mm.ptr<float>(j);
        for (int i = 0; i < mm.cols; ++i) {
            const float z = f * (L + v[i] * B) / (gap + v[i] * B);
            // Not valid: no depth (0, negative, NaN), or an image inside the focal length (no real distance).
            out[i] = v[i] > 0.0f && z > 0.0f && z < std::numeric_limits<float>::max() ? z : kNaN;
        }
    }
    return mm;
}

cv::Mat1f depthVirtual(const cv::Mat1f& virtualDepth) {
    cv::Mat1f out = virtualDepth.clone();
    for (float& v : out)
        if (!(std::isfinite(v) && v > 0.0f)) v = kNaN;
    return out;
}

double finiteMedian(const cv::Mat1f& values) {
    std::vector<float> finite;
    for (const float v : values)
        if (std::isfinite(v)) finite.push_back(v);
    if (finite.empty()) return 0.0;
    std::nth_element(finite.begin(), finite.begin() + finite.size() / 2, finite.end());
    return finite[finite.size() / 2];
}

cv::Mat turned(const cv::Mat& image) {
    cv::Mat out;
    cv::rotate(image, out, cv::ROTATE_180);
    return out;
}

bool parseFloatFormat(const std::string& text, FloatFormat& format) {
    for (const FloatFormat f : {FloatFormat::Tiff, FloatFormat::Exr, FloatFormat::Pfm})
        if (text == extension(f)) {
            format = f;
            return true;
        }
    return false;
}

const char* extension(FloatFormat format) {
    switch (format) {
        case FloatFormat::Exr:
            return "exr";
        case FloatFormat::Pfm:
            return "pfm";
        case FloatFormat::Tiff:
            break;
    }
    return "tiff";
}

std::string encodeFloat(const cv::Mat1f& image, FloatFormat format, const std::string& name) {
    switch (format) {
        case FloatFormat::Pfm:
            return encodePfm(image);
        case FloatFormat::Exr:
            // Debian's OpenCV reads this once, at its first EXR; a user's own setting stays.
            setenv("OPENCV_IO_ENABLE_OPENEXR", "1", 0);
            return encodeWith(image, ".exr", name, {cv::IMWRITE_EXR_TYPE, cv::IMWRITE_EXR_TYPE_FLOAT});
        case FloatFormat::Tiff:
            break;
    }
    return encodeWith(image, ".tiff", name, kUncompressedTiff);
}

cv::Mat1w fullRange16(const cv::Mat1w& engineLevels) {
    // In integers, rounded to nearest (a float scale would round some levels the other way), once for every level.
    static const std::vector<uint16_t> table = [] {
        std::vector<uint16_t> t(65536);
        for (uint32_t v = 0; v < t.size(); ++v)
            t[v] = static_cast<uint16_t>((std::min<uint32_t>(v, Vy::kFullScale14) * 65535u + Vy::kFullScale14 / 2) /
                                         Vy::kFullScale14);
        return t;
    }();
    cv::Mat1w out(engineLevels.size());
    for (int j = 0; j < out.rows; ++j) {
        const uint16_t* in = engineLevels.ptr<uint16_t>(j);
        uint16_t* o = out.ptr<uint16_t>(j);
        for (int i = 0; i < out.cols; ++i) o[i] = table[in[i]];
    }
    return out;
}

std::string encodeImage(const cv::Mat& image, const std::string& ext, const std::string& name) {
    return encodeWith(image, ext, name, ext == ".tiff" ? kUncompressedTiff : std::vector<int>{});
}

std::string encodePointCloud(const cv::Mat1f& depthMm, const cv::Mat& colour, const CCalibration& c, int scale,
                             size_t& points) {
    CV_Assert(colour.size() == depthMm.size() && colour.depth() == CV_8U &&
              (colour.channels() == 1 || colour.channels() == 3));
    std::string body;
    points = 0;
    for (int j = 0; j < depthMm.rows; ++j)
        for (int i = 0; i < depthMm.cols; ++i) {
            const float z = depthMm(j, i);
            if (!std::isfinite(z)) continue;
            const Vy::Model::Point p = Vy::Model::sceneFromVirtual(c, Vy::Model::outputPixelCentre(i, j, scale), z);
            appendFloat(body, static_cast<float>(p.x));
            appendFloat(body, static_cast<float>(p.y));
            appendFloat(body, z);
            const uchar* bgr = colour.ptr<uchar>(j) + i * colour.channels();
            const uchar rgb[3] = {bgr[colour.channels() == 3 ? 2 : 0], bgr[colour.channels() == 3 ? 1 : 0], bgr[0]};
            body.append(reinterpret_cast<const char*>(rgb), 3);
            ++points;
        }
    const std::string header =
        "ply\nformat binary_little_endian 1.0\n"
        "comment mm; origin main lens centre, z along the optical axis into the scene,\n"
        "comment x right and y down in the pictures turned by 180 degrees\n"
        "element vertex " +
        std::to_string(points) +
        "\nproperty float x\nproperty float y\nproperty float z\n"
        "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
    return header + body;
}

std::string sidecarJson(const Sidecar& s, const CCalibration& c) {
    const double perMmOfZ = s.outputScale * c.pixelSize / c.mainFocalLength;  // mm per output pixel = this * z - base
    const double base = s.outputScale * c.pixelSize;
    std::string j = "{\n";
    auto field = [&j](const char* key, const std::string& value, bool last = false) {
        j += "  " + jsonString(key) + ": " + value + (last ? "\n" : ",\n");
    };
    field("file", jsonString(s.file));
    field("kind", jsonString(s.kind));
    field("units", jsonString(s.units));
    field("frame_index", std::to_string(s.frameIndex));
    field("frame_id", std::to_string(s.frameId));
    field("time_stamp_ms", jsonNumber(s.timeStampMs));
    field("width", std::to_string(s.width));
    field("height", std::to_string(s.height));
    field("turned_180", s.turned ? "true" : "false");
    if (s.refocusMm > 0.0) field("refocus_mm", jsonNumber(s.refocusMm));
    std::string grid = "{\"sensor_pixels_per_output_pixel\": " + std::to_string(s.outputScale) +
                       ", \"pixel_size_mm\": " + jsonNumber(c.pixelSize) +
                       ", \"main_focal_length_mm\": " + jsonNumber(c.mainFocalLength) +
                       ", \"mm_per_output_pixel_at_z\": " +
                       jsonString("sensor_pixels_per_output_pixel * pixel_size_mm * (z / main_focal_length_mm - 1)");
    if (s.medianDepthMm > 0.0)
        grid += ", \"median_depth_mm\": " + jsonNumber(s.medianDepthMm) +
                ", \"mm_per_output_pixel_at_median_depth\": " + jsonNumber(perMmOfZ * s.medianDepthMm - base);
    field("grid", grid + "}");
    field("sequence", jsonString(s.sequence));
    field("calibration", jsonString(s.calibrationSource));
    if (!s.note.empty()) field("note", jsonString(s.note));
    field("tool", jsonString(s.tool), true);
    return j + "}\n";
}

}  // namespace Vy::Results
