#include "ParticleScore.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "CVyException.h"
#include "CameraModel.h"
#include "GroundTruth.h"

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

}  // namespace

bool ParticleScore::Passed() const {
    using B = ParticleBars;
    return matchedShare() >= B::kMatchedShare && unmatchedShare() <= B::kUnmatchedShare &&
           centreErrorMedian <= B::kCentreError && distanceErrorMedian <= B::kDistanceError &&
           diameterErrorMedian <= B::kDiameterError && trackKeptShare() >= B::kTrackKept &&
           velocityErrorMedian <= B::kVelocityError;
}

ParticleScore scoreParticleTable(const std::vector<Analysis::TableParticle>& table, const std::string& truthDir,
                                 const CCalibration& c, int scale) {
    std::map<int, std::vector<const Analysis::TableParticle*>> byFrame;
    for (const Analysis::TableParticle& p : table)
        if (p.accepted) byFrame[p.frameIndex].push_back(&p);
    std::map<int, double> frameTime;
    for (const Analysis::TableParticle& p : table) frameTime[p.frameIndex] = p.timeMs;

    ParticleScore score;
    std::vector<double> centre, distance, diameter, velocity;
    // Truth id -> (its particle, the track of its match) on the previous frame.
    std::map<int, std::pair<ParticleTruth, int64_t>> previous;
    int previousFrame = -2;
    for (const auto& [frame, timeMs] : frameTime) {
        const std::vector<ParticleTruth> truth = readParticleTruth(truthDir, static_cast<uint32_t>(frame));
        const std::vector<const Analysis::TableParticle*>& found = byFrame[frame];
        ++score.frames;
        score.truthParticles += truth.size();
        score.accepted += found.size();

        // Nearest pairs first, each truth and each row used once.
        std::vector<std::tuple<double, size_t, size_t>> pairs;
        for (size_t t = 0; t < truth.size(); ++t)
            for (size_t r = 0; r < found.size(); ++r) {
                const double d = std::hypot(found[r]->centre.x - truth[t].x, found[r]->centre.y - truth[t].y);
                if (d <= ParticleBars::kMatchRadius) pairs.emplace_back(d, t, r);
            }
        std::sort(pairs.begin(), pairs.end());
        std::vector<bool> truthUsed(truth.size()), rowUsed(found.size());
        std::map<int, std::pair<ParticleTruth, int64_t>> current;
        const bool consecutive = frame == previousFrame + 1;
        for (const auto& [d, t, r] : pairs) {
            if (truthUsed[t] || rowUsed[r]) continue;
            truthUsed[t] = rowUsed[r] = true;
            const ParticleTruth& p = truth[t];
            const Analysis::TableParticle& row = *found[r];
            ++score.matched;
            centre.push_back(d);
            if (row.distanceMm) {
                ++score.withDistance;
                distance.push_back(std::abs(*row.distanceMm / p.distance - 1.0));
            }
            if (row.diameterMm) {
                const double trueDiameter =
                    2.0 * p.radius * scale * c.pixelSize * p.distance / Model::imageDistance(c, p.distance);
                diameter.push_back(std::abs(*row.diameterMm / trueDiameter - 1.0));
            }
            current[p.id] = {p, row.trackId};
            const auto before = previous.find(p.id);
            if (consecutive && before != previous.end()) {
                ++score.trackPairs;
                if (row.trackId >= 0 && row.trackId == before->second.second) ++score.trackPairsKept;
                const double dt = (timeMs - frameTime[previousFrame]) / 1000.0;
                if (row.velocity && dt > 0.0) {
                    const cv::Point3d truthVelocity =
                        (truthPosition(c, p, scale) - truthPosition(c, before->second.first, scale)) * (1.0 / dt);
                    const double speed = cv::norm(truthVelocity);
                    if (speed > 0.0) {
                        ++score.velocities;
                        velocity.push_back(cv::norm(*row.velocity - truthVelocity) / speed);
                    }
                }
            }
        }
        score.unmatchedDetections += static_cast<size_t>(std::count(rowUsed.begin(), rowUsed.end(), false));
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
