#include "SceneScript.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "CameraDesign.h"
#include "CameraModel.h"

namespace Vy::Synth {
namespace {

// Where a particle shows on the sensor (pixels) and its radius there.
struct Seen {
    double x, y, r;
};
Seen onSensor(const CCalibration& c, const Particle& p) {
    const double k = Model::imageDistance(c, p.z) / p.z / c.pixelSize;
    return {c.principalX - p.x * k, c.principalY - p.y * k, p.radius * k};
}

TEST(SceneScriptSwarm, ParticlesMoveOnTheirOwnStraightPathsAndNeverMerge) {
    const CCalibration c = defaultCalibration(1024, 1024);
    const uint32_t frames = 20;
    const SceneScript script("swarm", c, 7, frames);
    std::vector<Scene> scenes;
    for (uint32_t f = 0; f < frames; ++f) scenes.push_back(script.sceneAt(f));
    const size_t n = scenes[0].particles.size();
    ASSERT_GE(n, 4u);

    std::set<long> directions;
    int nearer = 0, farther = 0;
    for (size_t i = 0; i < n; ++i) {
        const Particle& a = scenes[0].particles[i];
        const Particle& b = scenes[1].particles[i];
        EXPECT_EQ(a.id, static_cast<int>(i));
        EXPECT_EQ(scenes[frames - 1].particles[i].id, a.id) << "ids are kept";
        // Constant velocity in 3D: equal steps from frame to frame.
        const Particle& last = scenes[frames - 1].particles[i];
        EXPECT_NEAR(last.x - a.x, (b.x - a.x) * (frames - 1), 1e-9);
        EXPECT_NEAR(last.z - a.z, (b.z - a.z) * (frames - 1), 1e-6);
        EXPECT_NE(b.z, a.z) << "every particle moves in depth";
        (b.z < a.z ? nearer : farther)++;
        directions.insert(std::lround(std::atan2(b.y - a.y, b.x - a.x) * 10));
    }
    EXPECT_GT(directions.size(), n / 2) << "not one common drift";
    EXPECT_GT(nearer, 0);
    EXPECT_GT(farther, 0);

    // Never closer than the gap, edge to edge; and some paths cross (segments intersect).
    int crossings = 0;
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j) {
            for (const Scene& s : scenes) {
                const Seen a = onSensor(c, s.particles[i]), b = onSensor(c, s.particles[j]);
                EXPECT_GE(std::hypot(a.x - b.x, a.y - b.y), a.r + b.r + 16.0 - 1e-6);
            }
            const Seen p0 = onSensor(c, scenes[0].particles[i]), p1 = onSensor(c, scenes[frames - 1].particles[i]);
            const Seen q0 = onSensor(c, scenes[0].particles[j]), q1 = onSensor(c, scenes[frames - 1].particles[j]);
            const auto side = [](Seen a, Seen b, Seen p) {
                return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
            };
            if (side(p0, p1, q0) * side(p0, p1, q1) < 0 && side(q0, q1, p0) * side(q0, q1, p1) < 0) ++crossings;
        }
    EXPECT_GT(crossings, 0);
}

}  // namespace
}  // namespace Vy::Synth
