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

// A straight line through (t, y), t relative to the latest position: the median
// of the slopes of every pair (Theil-Sen) finds the line whatever a few far-off
// values say; least squares over the values within three robust deviations of
// it then use every sound value fully (the median of slopes wastes part of them).
std::optional<LineFit> robustLine(const std::vector<double>& t, const std::vector<double>& y,
                                  std::vector<double>& scratch) {
    const size_t n = t.size();
    scratch.clear();
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = i + 1; j < n; ++j) {
            if (t[j] > t[i]) {
                scratch.push_back((y[j] - y[i]) / (t[j] - t[i]));
            }
        }
    }
    if (scratch.empty()) {
        return std::nullopt;
    }
    LineFit fit;
    fit.slope = median(scratch);
    scratch.clear();
    for (size_t i = 0; i < n; ++i) {
        scratch.push_back(y[i] - fit.slope * t[i]);
    }
    fit.at = median(scratch);
    for (size_t i = 0; i < n; ++i) {
        scratch[i] = std::abs(y[i] - fit.at - fit.slope * t[i]);
    }
    const double deviation = 1.4826 * median(scratch);
    const double limit = std::max(3.0 * deviation, 1e-9 * (1.0 + std::abs(fit.at)));
    double sw = 0.0, st = 0.0, sy = 0.0, stt = 0.0, sty = 0.0, syy = 0.0;
    for (size_t i = 0; i < n; ++i) {
        if (std::abs(y[i] - fit.at - fit.slope * t[i]) <= limit) {
            sw += 1.0, st += t[i], sy += y[i], stt += t[i] * t[i], sty += t[i] * y[i], syy += y[i] * y[i];
        }
    }
    const double spread = stt - st * st / sw;
    if (sw >= 2.0 && spread > 0.0) {
        fit.slope = (sty - st * sy / sw) / spread;
        fit.at = (sy - fit.slope * st) / sw;
        fit.spread = spread;
        fit.used = static_cast<int>(sw);
        // What the line leaves unexplained: sum of squares about the fit.
        fit.residual = std::max(0.0, (syy - sy * sy / sw) - fit.slope * fit.slope * spread);
    }
    return fit;
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

ParticleTracker::State ParticleTracker::Line::velocity() const {
    State v;
    for (int c = 0; c < State::channels; ++c) {
        v[c] = fits[c].slope;
    }
    return v;
}

ParticleTracker::State ParticleTracker::Line::atLast() const {
    State v;
    for (int c = 0; c < State::channels; ++c) {
        v[c] = fits[c].at;
    }
    return v;
}

std::optional<ParticleTracker::Line> ParticleTracker::fitLine(const std::deque<Sample>& h) {
    if (h.size() < 2) {
        return std::nullopt;
    }
    std::vector<double> t, y, scratch;
    for (const Sample& s : h) {
        t.push_back(s.seconds - h.back().seconds);
    }
    Line line;
    for (int c = 0; c < State::channels; ++c) {
        y.clear();
        for (const Sample& s : h) {
            y.push_back(s.state[c]);
        }
        const auto fit = robustLine(t, y, scratch);
        if (!fit) {
            return std::nullopt;
        }
        line.fits[c] = *fit;
    }
    return line;
}

std::vector<TrackAssignment> ParticleTracker::update(double timeMs,
                                                     const std::vector<std::optional<TrackInput>>& particles) {
    const double seconds = timeMs / 1000.0;
    if (!std::isfinite(seconds) || (lastSeconds_ && seconds <= *lastSeconds_)) {
        tracks_.clear();  // time went back (a new sequence, a broken stamp): nothing to predict from
        jitter_ = Jitter();
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
    // Per particle with a fitted path: its fit, for the velocity's uncertainty once this frame's scatter is pooled.
    std::vector<std::optional<Line>> fitted(particles.size());
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
        track.velocity = line ? line->velocity() : State::zeros();
        track.atLast = line ? line->atLast() : state;
        result[p].trackId = track.id;
        result[p].positions = static_cast<int>(track.history.size());
        if (line && result[p].positions >= std::clamp(settings_.velocityMinPositions, 2, static_cast<int>(keep))) {
            result[p].velocity = cv::Point3d(track.velocity[0], track.velocity[1], track.velocity[2]);
            fitted[p] = line;
        }
        if (line) {
            jitter_.add(*line, in.position.z);
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
    for (size_t p = 0; p < particles.size(); ++p) {
        if (fitted[p]) {
            result[p].velocitySd = jitter_.velocitySd(*fitted[p], *particles[p]);
        }
    }
    jitter_.endFrame();
    return result;
}

void ParticleTracker::Jitter::add(const Line& line, double distance) {
    // A line through n values leaves n - 2 degrees of freedom to its scatter.
    const LineFit& z = line.fits[2];
    if (z.used > 2 && distance > 0.0) {
        depthSquares += z.residual / (distance * distance);
        depthFreedom += z.used - 2;
    }
    for (int c : {3, 4}) {
        if (line.fits[c].used > 2) {
            imageSquares += line.fits[c].residual;
            imageFreedom += line.fits[c].used - 2;
        }
    }
}

void ParticleTracker::Jitter::endFrame() {
    // Older frames count less, so that the scatter follows a scene that changes.
    constexpr double kKeep = 0.9;
    depthSquares *= kKeep, depthFreedom *= kKeep, imageSquares *= kKeep, imageFreedom *= kKeep;
}

// The standard error of each velocity component from the pooled scatter of every
// track about its line (the depth's relative to the distance, the image position's in
// pixels) and how far apart in time this track's positions lie.
std::optional<double> ParticleTracker::Jitter::velocitySd(const Line& line, const TrackInput& particle) const {
    const LineFit& z = line.fits[2];
    const LineFit& u = line.fits[3];
    const LineFit& v = line.fits[4];
    if (depthFreedom <= 0.0 || imageFreedom <= 0.0 || z.spread <= 0.0 || u.spread <= 0.0 || v.spread <= 0.0) {
        return std::nullopt;
    }
    const double depth = std::sqrt(depthSquares / depthFreedom) * particle.position.z;
    const double image = std::sqrt(imageSquares / imageFreedom) * particle.mmPerPixel;
    return std::sqrt(depth * depth / z.spread + image * image / u.spread + image * image / v.spread);
}

}  // namespace Vy::Analysis
