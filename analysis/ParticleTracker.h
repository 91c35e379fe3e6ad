// Follows particles from frame to frame in 3D: each new position joins the
// live track whose predicted position is nearest (within a gate), or starts a
// new track; a track ends after it has been missed for a few frames.
#pragma once

#include <cstdint>
#include <deque>
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

namespace Vy::Analysis {

struct TrackerSettings {
    double gateMm = 8.0;       // largest distance from a track's prediction (mm)
    double depthWeight = 0.1;  // depth is measured less sharply than the lateral position: its share of the distance
    int maxMissed = 3;         // frames a track may go unseen before it ends
    int velocityFrames = 20;   // latest positions the path is fitted to (a distance is noisy frame by frame)
    // Positions a track needs before it gives a velocity: from fewer, the depth's jitter
    // from frame to frame outweighs the motion.
    int velocityMinPositions = 5;
};

// One particle of a frame as the tracker sees it.
struct TrackInput {
    cv::Point3d position;     // mm: X, Y lateral, Z distance
    cv::Point2d image;        // where it is in the image (pixels)
    double mmPerPixel = 1.0;  // lateral mm of one image pixel at its distance
};

// A straight line fitted to values over time: value = at + slope * t.
struct LineFit {
    double slope = 0.0;
    double at = 0.0;        // at t = 0, the latest position
    double spread = 0.0;    // sum of (t - mean t)^2 over the values used
    double residual = 0.0;  // sum of squares the line leaves over them
    int used = 0;           // values the line was fitted to (far-off ones left out)
};

struct TrackAssignment {
    int64_t trackId = -1;
    std::optional<cv::Point3d> velocity;  // mm/s; none before the track has velocityMinPositions positions
    int positions = 0;                    // the track's positions the velocity was fitted to
    // Standard error of the velocity (mm/s, all three components together), from how far
    // the tracks' positions scatter about their lines; none until that scatter is known.
    std::optional<double> velocitySd;
};

class ParticleTracker {
public:
    explicit ParticleTracker(const TrackerSettings& settings = TrackerSettings()) : settings_(settings) {}

    // One frame; nullopt for a particle without a position (it gets no track).
    // timeMs must grow from frame to frame; a frame at or before the previous one
    // restarts all tracks.
    std::vector<TrackAssignment> update(double timeMs, const std::vector<std::optional<TrackInput>>& particles);

    size_t liveTracks() const { return tracks_.size(); }

private:
    // X, Y, Z (mm) and the image position u, v (pixels).
    using State = cv::Vec<double, 5>;
    struct Sample {
        double seconds;
        State state;
    };
    struct Track {
        int64_t id;
        std::deque<Sample> history;
        State velocity;  // per second, zero until two positions are known
        State atLast;    // the fitted path at the latest position's time
        int missed = 0;
    };
    struct Line {
        LineFit fits[State::channels];
        State velocity() const;  // the slopes
        State atLast() const;    // the fitted values at the latest position's time
    };
    // The scatter of positions about their tracks' lines, pooled over the tracks of
    // the latest frames.
    struct Jitter {
        double depthSquares = 0.0, depthFreedom = 0.0;  // relative to the distance
        double imageSquares = 0.0, imageFreedom = 0.0;  // image pixels
        void add(const Line& line, double distance);
        void endFrame();
        std::optional<double> velocitySd(const Line& line, const TrackInput& particle) const;
    };

    double distance(const State& predicted, const TrackInput& particle) const;
    static std::optional<Line> fitLine(const std::deque<Sample>& history);

    TrackerSettings settings_;
    std::vector<Track> tracks_;
    int64_t nextId_ = 0;
    std::optional<double> lastSeconds_;
    Jitter jitter_;
};

}  // namespace Vy::Analysis
