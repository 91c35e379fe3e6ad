#include "ParticleTable.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <numbers>
#include <opencv2/imgproc.hpp>

#include "CLocaleScope.h"
#include "CameraModel.h"
#include "FormattedText.h"
#include "MeasurementLog.h"

namespace Vy::Analysis {
namespace {

struct BlobPixels {
    cv::Point2d centre;
    double area = 0.0;  // bright area, px^2, edge pixels counted by their share
    std::optional<double> medianDepth;
};

BlobPixels measureBlob(const cv::Mat& focus, const cv::Mat& depth, const BlobRecord& blob, double edgeShare,
                       double depthGap) {
    BlobPixels out;
    const cv::Rect image(0, 0, focus.cols, focus.rows);
    const cv::Rect box = (cv::boundingRect(blob.outline) + cv::Size(2, 2) - cv::Point(1, 1)) & image;
    // The outline filled and widened by a pixel, so that its edge pixels count whole.
    cv::Mat inside = cv::Mat::zeros(box.size(), CV_8UC1);
    cv::drawContours(inside, std::vector<std::vector<cv::Point>>{blob.outline}, 0, cv::Scalar(255), cv::FILLED,
                     cv::LINE_8, cv::noArray(), INT_MAX, -box.tl());
    cv::dilate(inside, inside, cv::Mat());

    const cv::Mat samples = focus(box);
    double low = 0.0, high = 0.0;
    cv::minMaxLoc(samples, &low, &high, nullptr, nullptr, inside);
    // A pixel counts whole from 2 x edgeShare of the way between the blob's darkest
    // and brightest pixel, in part below: the blob's edge lies at edgeShare.
    const double step = 2.0 * edgeShare * (high - low);
    const double threshold = low + edgeShare * (high - low);
    double weight = 0.0, sx = 0.0, sy = 0.0;
    std::vector<float> depths;
    for (int y = 0; y < box.height; ++y) {
        const uint8_t* in = inside.ptr<uint8_t>(y);
        const uint16_t* s = samples.ptr<uint16_t>(y);
        const float* d = depth.empty() ? nullptr : depth.ptr<float>(box.y + y) + box.x;
        for (int x = 0; x < box.width; ++x) {
            if (in[x] == 0) {
                continue;
            }
            const double w = s[x] - low;
            // The centre weighs the bright pixels only: a faint, lopsided halo
            // around a small particle does not pull it aside.
            const double bright = std::max(0.0, s[x] - threshold);
            weight += bright;
            sx += bright * (box.x + x + 0.5);
            sy += bright * (box.y + y + 0.5);
            if (step > 0.0) {
                out.area += std::clamp(w / step, 0.0, 1.0);
            }
            if (d != nullptr && s[x] > threshold && d[x] > 0.0f && std::isfinite(d[x])) {
                depths.push_back(d[x]);
            }
        }
    }
    if (weight > 0.0) {
        out.centre = {sx / weight, sy / weight};
    } else {  // a flat blob: the middle of its outline
        const cv::Moments m = cv::moments(blob.outline);
        out.centre = m.m00 > 0.0 ? cv::Point2d(m.m10 / m.m00 + 0.5, m.m01 / m.m00 + 0.5)
                                 : cv::Point2d(box.x + box.width / 2.0, box.y + box.height / 2.0);
        out.area = blob.area;
    }
    out.medianDepth = blobDepth(std::move(depths), depthGap);
    return out;
}

// Appends ",value" with the given format, or a bare "," when there is none.
void field(std::string& line, const char* format, std::optional<double> value) {
    line += ',';
    if (value) {
        line += formattedText(format, *value);
    }
}

const char* verdictText(BlobVerdict verdict) {
    switch (verdict) {
        case BlobVerdict::Accepted:
            return "accepted";
        case BlobVerdict::RejectedAxis:
            return "rejected_axis";
        case BlobVerdict::RejectedArea:
            return "rejected_area";
    }
    return "?";
}

}  // namespace

namespace {

// The widest step between neighbouring values in sorted order, and how many values lie
// below it (the first of equal steps wins), found in linear time: values go into buckets
// no wider than the mean step, so the widest step lies between buckets, unless a bucket
// spans as much (floating point), which is then said by returning false.
bool widestStepInLinearTime(const std::vector<float>& values, float& widest, size_t& below) {
    const auto [minimum, maximum] = std::minmax_element(values.begin(), values.end());
    const float lo = *minimum, hi = *maximum;
    widest = 0.0f;
    below = 0;
    if (!(hi > lo)) {
        return std::isfinite(lo);  // all equal: no step
    }
    const size_t buckets = values.size() - 1;
    const double scale = static_cast<double>(buckets - 1) / (static_cast<double>(hi) - lo);
    std::vector<float> bucketLow(buckets, std::numeric_limits<float>::infinity());
    std::vector<float> bucketHigh(buckets, -std::numeric_limits<float>::infinity());
    std::vector<size_t> bucketCount(buckets, 0);
    for (const float v : values) {
        // Monotonic in v, so the buckets keep the values' order.
        const size_t b = std::min(buckets - 1, static_cast<size_t>((static_cast<double>(v) - lo) * scale));
        bucketLow[b] = std::min(bucketLow[b], v);
        bucketHigh[b] = std::max(bucketHigh[b], v);
        ++bucketCount[b];
    }
    float previousHigh = 0.0f, widestInside = 0.0f;
    size_t seen = 0;
    bool any = false;
    for (size_t b = 0; b < buckets; ++b) {
        if (bucketCount[b] == 0) continue;
        widestInside = std::max(widestInside, bucketHigh[b] - bucketLow[b]);
        if (any && bucketLow[b] - previousHigh > widest) {
            widest = bucketLow[b] - previousHigh;
            below = seen;
        }
        any = true;
        previousHigh = bucketHigh[b];
        seen += bucketCount[b];
    }
    // A step inside a bucket is at most the bucket's span.
    return widestInside < widest;
}

}  // namespace

std::optional<double> blobDepth(std::vector<float> depths, double gap) {
    if (depths.empty()) {
        return std::nullopt;
    }
    // The widest step between neighbouring values splits the far part from the near
    // part (virtual depth grows towards the camera). Large blobs (a rejected outline over
    // most of the frame) hold a million values: sorting them all cost more than the frame.
    size_t split = 0;
    float widest = 0.0f;
    const bool found = depths.size() > 64 && widestStepInLinearTime(depths, widest, split);
    if (!found) {
        std::sort(depths.begin(), depths.end());
        widest = 0.0f;
        split = 0;
        for (size_t i = 1; i < depths.size(); ++i) {
            if (depths[i] - depths[i - 1] > widest) {
                widest = depths[i] - depths[i - 1];
                split = i;
            }
        }
    }
    // A small particle's pixels partly show the surface behind it: when the near part
    // stands clear of the rest and is no stray pixel or two, it is the particle.
    constexpr double kNearShare = 0.25;
    size_t first = 0;
    if (widest > gap && static_cast<double>(depths.size() - split) >= kNearShare * depths.size()) {
        first = split;
    }
    const size_t middle = first + (depths.size() - first) / 2;
    if (found) {
        std::nth_element(depths.begin(), depths.begin() + static_cast<std::ptrdiff_t>(middle), depths.end());
    }
    return depths[middle];
}

std::vector<ParticleRow> measureParticles(const cv::Mat& totalFocus16, const cv::Mat& virtualDepth,
                                          const std::vector<BlobRecord>& blobs, const TableGeometry& geometry) {
    const bool depthUsable =
        !virtualDepth.empty() && virtualDepth.type() == CV_32FC1 && virtualDepth.size() == totalFocus16.size();
    const cv::Mat depth = depthUsable ? virtualDepth : cv::Mat();
    const CCalibration& c = geometry.calibration;
    std::vector<ParticleRow> rows;
    rows.reserve(blobs.size());
    for (size_t i = 0; i < blobs.size(); ++i) {
        const BlobRecord& blob = blobs[i];
        const BlobPixels pixels = measureBlob(totalFocus16, depth, blob, geometry.edgeShare, geometry.depthGap);
        ParticleRow row;
        row.number = static_cast<int>(i);
        row.verdict = blob.verdict;
        const cv::Rect box = cv::boundingRect(blob.outline);
        row.border = box.x <= 0 || box.y <= 0 || box.x + box.width >= totalFocus16.cols ||
                     box.y + box.height >= totalFocus16.rows;
        row.centre = pixels.centre;
        // Output position p of a W x H image turned by 180 degrees lies at (W, H) - p.
        row.turnedCentre = cv::Point2d(totalFocus16.cols, totalFocus16.rows) - pixels.centre;
        row.sensorCentre = pixels.centre * geometry.scale;
        row.outlineArea = blob.area;
        if (blob.fitted) {
            row.ellipse = blob.box;
        }
        row.diameterPx = 2.0 * std::sqrt(pixels.area / std::numbers::pi);
        if (pixels.medianDepth) {
            const double v = *pixels.medianDepth;
            const double z = Model::distanceFromVirtualDepth(c, v);
            // A depth beyond the main lens's focus maps to no distance in front of the camera.
            if (std::isfinite(z) && z > 0.0) {
                row.virtualDepth = v;
                row.distanceMm = z;
                const Model::Point at = Model::sceneFromVirtual(c, {row.sensorCentre.x, row.sensorCentre.y}, z);
                row.lateralMm = cv::Point2d(at.x, at.y);
                // One sensor pixel of the virtual image spans pixelSize * z / bi at distance z.
                row.diameterMm = row.diameterPx * geometry.scale * c.pixelSize * z / Model::imageDistance(c, z);
            } else {
                row.virtualDepth = v;
            }
        }
        rows.push_back(row);
    }
    return rows;
}

void trackParticles(ParticleTracker& tracker, double timeMs, std::vector<ParticleRow>& rows) {
    std::vector<std::optional<TrackInput>> particles(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const ParticleRow& r = rows[i];
        if (r.verdict == BlobVerdict::Accepted && !r.border && r.distanceMm && r.lateralMm && r.diameterMm &&
            r.diameterPx > 0.0) {
            particles[i] = TrackInput{cv::Point3d(r.lateralMm->x, r.lateralMm->y, *r.distanceMm), r.centre,
                                      *r.diameterMm / r.diameterPx};
        }
    }
    const std::vector<TrackAssignment> tracks = tracker.update(timeMs, particles);
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i].trackId = tracks[i].trackId;
        rows[i].velocity = tracks[i].velocity;
        rows[i].velocityPositions = tracks[i].velocity ? tracks[i].positions : 0;
        rows[i].velocitySd = tracks[i].velocity ? tracks[i].velocitySd : std::nullopt;
    }
}

const std::string& particleTableHeader() {
    static const std::string header =
        "frame_index,frame_id,time_ms,number,status,x_px,y_px,sensor_x_px,sensor_y_px,outline_area_px2,"
        "ellipse_major_px,ellipse_minor_px,ellipse_angle_deg,diameter_px,virtual_depth,distance_mm,x_mm,y_mm,"
        "diameter_mm,track_id,vx_mm_s,vy_mm_s,vz_mm_s,speed_mm_s,border,velocity_positions,velocity_sd_mm_s,x_turned_"
        "px,y_turned_px,recording";
    return header;
}

std::string csvField(const std::string& text) {
    std::string field;
    bool quoted = false;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            field += formattedText("\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            continue;
        }
        quoted = quoted || c == ',' || c == '"';
        field += c;
        if (c == '"') field += '"';
    }
    return quoted ? '"' + field + '"' : field;
}

std::string formatParticleRow(const ParticleRow& r, const std::string& recording) {
    const CLocaleScope cLocale;
    std::string line = formattedText("%d,%d,%.3f,%d,%s,%.3f,%.3f,%.3f,%.3f,%.1f", r.frameIndex, r.frameId, r.timeMs,
                                     r.number, verdictText(r.verdict), r.centre.x, r.centre.y, r.sensorCentre.x,
                                     r.sensorCentre.y, r.outlineArea);
    const auto* e = r.ellipse ? &*r.ellipse : nullptr;
    field(line, "%.3f", e ? std::optional<double>(std::max(e->size.width, e->size.height)) : std::nullopt);
    field(line, "%.3f", e ? std::optional<double>(std::min(e->size.width, e->size.height)) : std::nullopt);
    field(line, "%.2f", e ? std::optional<double>(e->angle) : std::nullopt);
    field(line, "%.3f", r.diameterPx);
    field(line, "%.4f", r.virtualDepth);
    field(line, "%.2f", r.distanceMm);
    field(line, "%.3f", r.lateralMm ? std::optional<double>(r.lateralMm->x) : std::nullopt);
    field(line, "%.3f", r.lateralMm ? std::optional<double>(r.lateralMm->y) : std::nullopt);
    field(line, "%.4f", r.diameterMm);
    line += ',';
    if (r.trackId >= 0) {
        line += std::to_string(r.trackId);
    }
    const std::optional<cv::Point3d>& v = r.velocity;
    field(line, "%.2f", v ? std::optional<double>(v->x) : std::nullopt);
    field(line, "%.2f", v ? std::optional<double>(v->y) : std::nullopt);
    field(line, "%.2f", v ? std::optional<double>(v->z) : std::nullopt);
    field(line, "%.2f", v ? std::optional<double>(cv::norm(*v)) : std::nullopt);
    line += r.border ? ",1" : ",0";
    line += ',';
    if (r.velocity) {
        line += std::to_string(r.velocityPositions);
    }
    field(line, "%.2f", r.velocitySd);
    field(line, "%.3f", r.turnedCentre.x);
    field(line, "%.3f", r.turnedCentre.y);
    line += ',' + csvField(recording);
    return line;
}

bool appendParticleRows(const std::string& fileName, const std::vector<ParticleRow>& rows,
                        const std::string& recording) {
    std::error_code error;
    const bool fresh = !std::filesystem::exists(fileName, error) || std::filesystem::file_size(fileName, error) == 0;
    std::string text;
    if (fresh) {
        text = particleTableHeader() + '\n';
    }
    for (const ParticleRow& row : rows) {
        text += formatParticleRow(row, recording);
        text += '\n';
    }
    return appendWhole(fileName, text);
}

std::string particleTableName(const std::string& logFileName) { return logFileName + ".particles.csv"; }

}  // namespace Vy::Analysis
