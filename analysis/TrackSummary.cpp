#include "TrackSummary.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "CLocaleScope.h"
#include "FormattedText.h"
#include "MeasurementLog.h"

namespace Vy::Analysis {

void TrackSummary::add(const std::vector<ParticleRow>& rows) {
    for (const ParticleRow& row : rows) {
        if (row.trackId < 0 || !row.distanceMm || !row.lateralMm) continue;
        const cv::Point3d position(row.lateralMm->x, row.lateralMm->y, *row.distanceMm);
        Sums& s = tracks_[row.trackId];
        TrackLine& line = s.line;
        if (line.frames == 0) {
            line.trackId = row.trackId;
            line.firstFrameIndex = row.frameIndex;
            line.firstFrameId = row.frameId;
            line.firstTimeMs = row.timeMs;
            s.origin = position;
        }
        ++line.frames;
        line.lastFrameIndex = row.frameIndex;
        line.lastFrameId = row.frameId;
        line.lastTimeMs = row.timeMs;
        s.last = position;
        const double t = (row.timeMs - line.firstTimeMs) / 1000.0;
        const cv::Vec3d p = position - s.origin;
        s.n += 1.0;
        s.t += t;
        s.tt += t * t;
        s.p += p;
        s.pp += p.mul(p);
        s.tp += t * p;
    }
}

std::vector<TrackLine> TrackSummary::lines() const {
    std::vector<TrackLine> out;
    out.reserve(tracks_.size());
    for (const auto& [id, s] : tracks_) {
        TrackLine line = s.line;
        line.displacementMm = cv::norm(s.last - s.origin);
        const double spread = s.tt - s.t * s.t / s.n;  // sum of (t - mean t)^2
        if (s.n >= 2.0 && spread > 0.0 && std::isfinite(spread)) {
            cv::Vec3d slope, slopeVariance;
            for (int k = 0; k < 3; ++k) {
                const double cross = s.tp[k] - s.t * s.p[k] / s.n;
                const double squares = s.pp[k] - s.p[k] * s.p[k] / s.n;
                slope[k] = cross / spread;
                // What the line leaves over the positions, with n - 2 degrees of freedom.
                const double residual = std::max(0.0, squares - slope[k] * cross);
                slopeVariance[k] = s.n > 2.0 ? residual / (s.n - 2.0) / spread : 0.0;
            }
            const double speed = cv::norm(slope);
            line.meanSpeed = speed;
            if (s.n > 2.0) {
                // The speed's error from the components': each weighs by its share of the direction.
                double variance = 0.0;
                for (int k = 0; k < 3; ++k) {
                    variance +=
                        speed > 0.0 ? slope[k] * slope[k] / (speed * speed) * slopeVariance[k] : slopeVariance[k];
                }
                line.meanSpeedSe = std::sqrt(variance);
            }
        }
        out.push_back(line);
    }
    return out;
}

const std::string& trackSummaryHeader() {
    static const std::string header =
        "track_id,frames,first_frame_index,first_frame_id,last_frame_index,last_frame_id,first_time_ms,last_time_ms,"
        "displacement_mm,mean_speed_mm_s,mean_speed_se_mm_s,recording";
    return header;
}

std::string formatTrackLine(const TrackLine& l, const std::string& recording) {
    const CLocaleScope cLocale;
    std::string text = formattedText("%lld,%d,%d,%d,%d,%d,%.3f,%.3f,%.3f,", static_cast<long long>(l.trackId), l.frames,
                                     l.firstFrameIndex, l.firstFrameId, l.lastFrameIndex, l.lastFrameId, l.firstTimeMs,
                                     l.lastTimeMs, l.displacementMm);
    if (l.meanSpeed) text += formattedText("%.3f", *l.meanSpeed);
    text += ',';
    if (l.meanSpeedSe) text += formattedText("%.3f", *l.meanSpeedSe);
    return text + ',' + csvField(recording);
}

std::string trackSummaryName(const std::string& logFileName) { return logFileName + ".tracks.csv"; }

bool writeTrackSummary(const std::string& fileName, const std::vector<TrackLine>& lines, const std::string& recording) {
    std::string text = trackSummaryHeader() + '\n';
    for (const TrackLine& line : lines) text += formatTrackLine(line, recording) + '\n';
    // Written beside, then moved over: a summary is whole or not there.
    const std::string partial = fileName + ".partial";
    std::error_code error;
    std::filesystem::remove(partial, error);
    if (!appendWhole(partial, text)) {
        std::filesystem::remove(partial, error);
        return false;
    }
    std::filesystem::rename(partial, fileName, error);
    if (!error) return true;
    std::filesystem::remove(partial, error);
    return false;
}

}  // namespace Vy::Analysis
