#include "ParticleScore.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <tuple>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyException.h"
#include "CameraModel.h"
#include "GroundTruth.h"
#include "ParticleTable.h"
#include "SequenceGenerator.h"

namespace Vy::Synth {
namespace {

double median(std::vector<double> values) {
    if (values.empty()) return std::nan("");
    auto middle = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

cv::Point3d truthPosition(const CCalibration& c, const ParticleTruth& p, int scale) {
    const Model::Point at = Model::sceneFromVirtual(c, {p.x * scale, p.y * scale}, p.distance);
    return {at.x, at.y, p.distance};
}

double nearestTo(const cv::Point2d& at, const std::vector<const Analysis::TableParticle*>& rows) {
    double best = std::numeric_limits<double>::infinity();
    for (const auto* r : rows) best = std::min(best, cv::norm(r->centre - at));
    return best;
}

double nearestTo(const cv::Point2d& at, const std::vector<cv::Point2d>& points) {
    double best = std::numeric_limits<double>::infinity();
    for (const cv::Point2d& p : points) best = std::min(best, cv::norm(p - at));
    return best;
}

double medianWithin(const std::vector<std::pair<int, double>>& errors, int first, int last) {
    std::vector<double> chosen;
    for (const auto& [count, error] : errors)
        if (count >= first && count <= last) chosen.push_back(error);
    return median(chosen);
}

}  // namespace

bool discCut(const ParticleTruth& p, const cv::Size& frame) {
    return p.x - p.radius < 0.0 || p.y - p.radius < 0.0 || p.x + p.radius > frame.width ||
           p.y + p.radius > frame.height;
}

void writeReferenceTable(const std::string& sequence, const std::string& tableFile) {
    CSeqFileReader reader;
    reader.Open(sequence.c_str(), 2);
    CRayImage image;
    reader.StartReading(image);
    const std::string truthDir = truthDirectory(sequence);
    Analysis::TableGeometry geometry;
    geometry.calibration = reader.GetCalibration();
    geometry.scale = std::atoi(truthIndexValue(truthDir, "output_scale").c_str());
    if (geometry.scale <= 0) throw CVyException("writeReferenceTable", truthDir, "truth.txt gives no output_scale");
    std::error_code ignored;
    std::filesystem::remove(tableFile, ignored);
    Analysis::ParticleTracker tracker;
    for (uint32_t f = 0; f < reader.GetFrameCount(); ++f) {
        reader.ReadFrame(image);
        const FrameTruth truth = readTruth(truthDir, f);
        const Analysis::ProfileResult result = Analysis::measureProfile(truth.focus);
        std::vector<Analysis::ParticleRow> rows =
            Analysis::measureParticles(truth.focus, truth.virtualDepth, result.blobs, geometry);
        for (Analysis::ParticleRow& row : rows) {
            row.frameIndex = static_cast<int>(f);
            row.frameId = static_cast<int>(image.frameId);
            row.timeMs = image.timeStamp;
        }
        Analysis::trackParticles(tracker, image.timeStamp, rows);
        if (!Analysis::appendParticleRows(tableFile, rows))
            throw CVyException("writeReferenceTable", tableFile, "cannot write the table");
    }
}

double velocityErrorMedian(const ParticleScore& s, int first, int last) {
    return medianWithin(s.velocityErrors, first, last);
}

double velocityErrorMedianByPositions(const ParticleScore& s, int first, int last) {
    return medianWithin(s.velocityErrorsByPositions, first, last);
}

bool ParticleScore::Passed() const {
    using B = ParticleBars;
    return matchedShare() >= B::kMatchedShare && unmatchedShare() <= B::kUnmatchedShare &&
           centreErrorMedian <= B::kCentreError && distanceErrorMedian <= B::kDistanceError &&
           diameterErrorMedian <= B::kDiameterError && trackKeptShare() >= B::kTrackKept &&
           velocityErrorMedian <= B::kVelocityError;
}

ParticleScore scoreParticleTable(const std::vector<Analysis::TableParticle>& table, const std::string& truthDir,
                                 const CCalibration& c, int scale, BorderRule rule) {
    std::map<int, std::vector<const Analysis::TableParticle*>> byFrame;
    for (const Analysis::TableParticle& p : table)
        if (p.accepted) byFrame[p.frameIndex].push_back(&p);
    std::map<int, double> frameTime;
    for (const Analysis::TableParticle& p : table) frameTime[p.frameIndex] = p.timeMs;
    const cv::Size frameSize(std::atoi(truthIndexValue(truthDir, "output_width").c_str()),
                             std::atoi(truthIndexValue(truthDir, "output_height").c_str()));
    const bool apart = rule == BorderRule::Apart;

    ParticleScore score;
    std::vector<double> centre, distance, diameter, velocity;
    // Truth id -> its particle, the track of its match and for how many frames in a row
    // that track has held it, on the previous frame.
    struct Held {
        ParticleTruth truth;
        int64_t track = -1;
        int frames = 0;
    };
    std::map<int, Held> previous;
    int previousFrame = -2;
    for (const auto& [frame, timeMs] : frameTime) {
        const std::vector<ParticleTruth> truth = readParticleTruth(truthDir, static_cast<uint32_t>(frame));
        const std::vector<const Analysis::TableParticle*>& found = byFrame[frame];
        ++score.frames;

        // Nearest pairs first, each truth and each row used once.
        std::vector<std::tuple<double, size_t, size_t>> pairs;
        for (size_t t = 0; t < truth.size(); ++t)
            for (size_t r = 0; r < found.size(); ++r) {
                const double d = std::hypot(found[r]->centre.x - truth[t].x, found[r]->centre.y - truth[t].y);
                if (d <= ParticleBars::kMatchRadius) pairs.emplace_back(d, t, r);
            }
        std::sort(pairs.begin(), pairs.end());
        std::vector<int> rowOfTruth(truth.size(), -1);
        std::vector<bool> rowUsed(found.size());
        std::vector<double> matchDistance(truth.size());
        for (const auto& [d, t, r] : pairs) {
            if (rowOfTruth[t] >= 0 || rowUsed[r]) continue;
            rowOfTruth[t] = static_cast<int>(r);
            rowUsed[r] = true;
            matchDistance[t] = d;
        }
        // A particle is at the border when its disc is not whole in the frame or
        // its detection's outline reaches the edge.
        std::vector<bool> truthAtBorder(truth.size());
        for (size_t t = 0; t < truth.size(); ++t) {
            const ParticleTruth& p = truth[t];
            truthAtBorder[t] = discCut(p, frameSize) || (rowOfTruth[t] >= 0 && found[rowOfTruth[t]]->border);
            if (truthAtBorder[t]) {
                ++score.borderTruth;
                if (rowOfTruth[t] >= 0) ++score.borderTruthMatched;
            }
        }
        for (size_t r = 0; r < found.size(); ++r)
            if (found[r]->border) {
                ++score.borderRows;
                if (!rowUsed[r]) ++score.borderRowsUnmatched;
            }

        std::map<int, Held> current;
        const bool consecutive = frame == previousFrame + 1;
        for (size_t t = 0; t < truth.size(); ++t) {
            if (apart && truthAtBorder[t]) continue;
            ++score.truthParticles;
            const ParticleTruth& p = truth[t];
            if (rowOfTruth[t] < 0) {
                score.misses.push_back({frame, p, nearestTo(cv::Point2d(p.x, p.y), found), truthAtBorder[t]});
                continue;
            }
            const Analysis::TableParticle& row = *found[rowOfTruth[t]];
            ++score.matched;
            centre.push_back(matchDistance[t]);
            if (row.distanceMm) {
                ++score.withDistance;
                distance.push_back(std::abs(*row.distanceMm / p.distance - 1.0));
            }
            if (row.diameterMm) {
                const double trueDiameter =
                    2.0 * p.radius * scale * c.pixelSize * p.distance / Model::imageDistance(c, p.distance);
                diameter.push_back(std::abs(*row.diameterMm / trueDiameter - 1.0));
            }
            current[p.id] = {p, row.trackId, 1};
            const auto before = previous.find(p.id);
            if (consecutive && before != previous.end()) {
                ++score.trackPairs;
                const bool kept = row.trackId >= 0 && row.trackId == before->second.track;
                if (kept) {
                    ++score.trackPairsKept;
                    current[p.id].frames = before->second.frames + 1;
                }
                const double dt = (timeMs - frameTime[previousFrame]) / 1000.0;
                if (row.velocity && dt > 0.0) {
                    const cv::Point3d truthVelocity =
                        (truthPosition(c, p, scale) - truthPosition(c, before->second.truth, scale)) * (1.0 / dt);
                    const double speed = cv::norm(truthVelocity);
                    if (speed > 0.0) {
                        ++score.velocities;
                        const double error = cv::norm(*row.velocity - truthVelocity);
                        velocity.push_back(error / speed);
                        if (row.velocitySd) {
                            ++score.velocitiesWithSd;
                            if (error <= 2.0 * *row.velocitySd) ++score.velocitiesWithinTwoSd;
                        }
                        score.velocityErrors.push_back({current[p.id].frames, velocity.back()});
                        score.velocityErrorsByPositions.push_back({row.velocityPositions, velocity.back()});
                    }
                }
            }
        }
        for (size_t r = 0; r < found.size(); ++r) {
            if (apart && found[r]->border) continue;
            ++score.accepted;
            if (found[r]->velocity) ++score.rowsWithVelocity;
            if (!rowUsed[r]) {
                ++score.unmatchedDetections;
                std::vector<cv::Point2d> truthCentres;
                for (const ParticleTruth& p : truth) truthCentres.emplace_back(p.x, p.y);
                score.unmatchedRows.push_back({frame, *found[r], nearestTo(found[r]->centre, truthCentres)});
            }
        }
        previous = std::move(current);
        previousFrame = frame;
    }
    score.centreErrorMedian = median(centre);
    score.distanceErrorMedian = median(distance);
    score.diameterErrorMedian = median(diameter);
    score.velocityErrorMedian = median(velocity);
    return score;
}

}  // namespace Vy::Synth
