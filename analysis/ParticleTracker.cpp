#include "ParticleTracker.h"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace Vy::Analysis {
namespace {

double median(std::vector<double>& values) {
    const auto middle = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 == 1) {
        return *middle;
    }
    return 0.5 * (*middle + *std::max_element(values.begin(), middle));
}

}  // namespace

// The lateral step is taken in the image: a depth far off on one frame moves the
// lateral mm with it, but not the pixels. Depth counts with its weight, and at
// most half the gate, so that such a frame still keeps the particle's track.
double ParticleTracker::distance(const State& predicted, const TrackInput& particle) const {
    const double du = predicted[3] - particle.image.x, dv = predicted[4] - particle.image.y;
    const double lateral2 = (du * du + dv * dv) * particle.mmPerPixel * particle.mmPerPixel;
    const double depth =
        std::min(std::abs(predicted[2] - particle.position.z) * settings_.depthWeight, 0.5 * settings_.gateMm);
    return std::sqrt(lateral2 + depth * depth);
}

// Median of the slopes between every two positions (Theil-Sen): a depth that is
// far off on one frame moves neither the velocity nor the prediction.
std::optional<ParticleTracker::Line> ParticleTracker::fitLine(const std::deque<Sample>& h) {
    if (h.size() < 2) {
        return std::nullopt;
    }
    Line line;
    std::vector<double> values;
    values.reserve(h.size() * h.size() / 2);
    for (int c = 0; c < State::channels; ++c) {
        values.clear();
        for (size_t i = 0; i < h.size(); ++i) {
            for (size_t j = i + 1; j < h.size(); ++j) {
                const double dt = h[j].seconds - h[i].seconds;
                if (dt > 0.0) {
                    values.push_back((h[j].state[c] - h[i].state[c]) / dt);
                }
            }
        }
        if (values.empty()) {
            return std::nullopt;
        }
        line.velocity[c] = median(values);
        values.clear();
        for (const Sample& s : h) {
            values.push_back(s.state[c] - line.velocity[c] * (s.seconds - h.back().seconds));
        }
        line.atLast[c] = median(values);
    }
    return line;
}

std::vector<TrackAssignment> ParticleTracker::update(double timeMs,
                                                     const std::vector<std::optional<TrackInput>>& particles) {
    const double seconds = timeMs / 1000.0;
    if (!std::isfinite(seconds) || (lastSeconds_ && seconds <= *lastSeconds_)) {
        tracks_.clear();  // time went back (a new sequence, a broken stamp): nothing to predict from
    }
    lastSeconds_ = seconds;

    // Every pair within the gate, nearest first: a greedy assignment that cannot
    // give one particle's track to a farther one while the nearer one is free.
    std::vector<std::tuple<double, size_t, size_t>> pairs;
    for (size_t t = 0; t < tracks_.size(); ++t) {
        const Track& track = tracks_[t];
        const State predicted = track.atLast + track.velocity * (seconds - track.history.back().seconds);
        for (size_t p = 0; p < particles.size(); ++p) {
            if (particles[p]) {
                const double d = distance(predicted, *particles[p]);
                if (d <= settings_.gateMm) {
                    pairs.emplace_back(d, t, p);
                }
            }
        }
    }
    std::sort(pairs.begin(), pairs.end());

    std::vector<TrackAssignment> result(particles.size());
    std::vector<bool> trackTaken(tracks_.size(), false);
    std::vector<bool> particleTaken(particles.size(), false);
    const size_t keep = static_cast<size_t>(std::max(2, settings_.velocityFrames));
    auto extend = [&](Track& track, size_t p) {
        const TrackInput& in = *particles[p];
        const State state(in.position.x, in.position.y, in.position.z, in.image.x, in.image.y);
        track.history.push_back({seconds, state});
        while (track.history.size() > keep) {
            track.history.pop_front();
        }
        track.missed = 0;
        const std::optional<Line> line = fitLine(track.history);
        track.velocity = line ? line->velocity : State::zeros();
        track.atLast = line ? line->atLast : state;
        result[p].trackId = track.id;
        result[p].positions = static_cast<int>(track.history.size());
        if (line) {
            result[p].velocity = cv::Point3d(line->velocity[0], line->velocity[1], line->velocity[2]);
        }
    };
    for (const auto& [d, t, p] : pairs) {
        if (!trackTaken[t] && !particleTaken[p]) {
            trackTaken[t] = particleTaken[p] = true;
            extend(tracks_[t], p);
        }
    }
    for (size_t t = 0; t < tracks_.size(); ++t) {
        if (!trackTaken[t]) {
            ++tracks_[t].missed;
        }
    }
    std::erase_if(tracks_, [this](const Track& t) { return t.missed > settings_.maxMissed; });
    for (size_t p = 0; p < particles.size(); ++p) {
        if (particles[p] && !particleTaken[p]) {
            tracks_.push_back({nextId_++, {}, State::zeros(), State::zeros(), 0});
            extend(tracks_.back(), p);
        }
    }
    return result;
}

}  // namespace Vy::Analysis
