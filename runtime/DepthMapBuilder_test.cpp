// Lens depths at depth edges: what the consistency check keeps and what hole
// filling puts into lenses that found nothing.
#include "engine/DepthMapBuilder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/SyntheticPlane.h"

namespace {

using namespace Vy::Engine;

constexpr float kNear = 4.4f;
constexpr float kFar = 2.8f;

class LensDepthEdges : public ::testing::Test {
protected:
    void SetUp() override { grid_ = LensGrid(Synthetic::MakeCalibration(384)); }

    // Every lens at kNear except those whose centre x lies in [x0, x1), at kFar.
    std::vector<LensDepth> Strip(float x0, float x1) const {
        std::vector<LensDepth> depths(grid_.Lenses().size());
        for (size_t i = 0; i < depths.size(); ++i) {
            const float x = grid_.Lenses()[i].centre.x;
            depths[i].virtualDepth = x >= x0 && x < x1 ? kFar : kNear;
        }
        return depths;
    }

    // The lens nearest to (x, y).
    size_t LensAt(float x, float y) const {
        size_t best = 0;
        float bestDistance = 1e30f;
        for (size_t i = 0; i < grid_.Lenses().size(); ++i) {
            const Vec2 c = grid_.Lenses()[i].centre;
            const float d = std::hypot(c.x - x, c.y - y);
            if (d < bestDistance) {
                bestDistance = d;
                best = i;
            }
        }
        return best;
    }

    LensGrid grid_;
};

// A strip of background two lenses wide between two foreground regions: the
// median of each strip lens's ring is the foreground's, yet the strip is a
// surface, not noise. A lone lens off its neighbours still goes.
TEST_F(LensDepthEdges, NarrowStripsSurviveAndLoneOutliersGo) {
    std::vector<LensDepth> depths = Strip(180.0f, 220.0f);
    const size_t outlier = LensAt(100.0f, 200.0f);
    depths[outlier].virtualDepth = 3.3f;
    RejectInconsistent(grid_, 0.1f, depths);
    size_t strip = 0;
    for (size_t i = 0; i < depths.size(); ++i) {
        const float x = grid_.Lenses()[i].centre.x;
        if (x >= 180.0f && x < 220.0f) {
            ++strip;
            EXPECT_EQ(depths[i].virtualDepth, kFar) << "strip lens " << i << " at x " << x;
        }
    }
    EXPECT_GT(strip, 10u);
    EXPECT_EQ(depths[outlier].virtualDepth, 0.0f);
}

// A small object in front sits in one lens's cell: that lens differs from all
// its neighbours, yet its depth is the object's, not an outlier's. The same
// depth on a lens not marked so still goes.
TEST_F(LensDepthEdges, SmallObjectsInFrontKeepTheirDepth) {
    std::vector<LensDepth> depths = Strip(0.0f, 1000.0f);
    const size_t object = LensAt(150.0f, 150.0f);
    const size_t outlier = LensAt(250.0f, 250.0f);
    for (size_t lens : {object, outlier}) {
        depths[lens].virtualDepth = kNear;
    }
    depths[object].compact = true;
    RejectInconsistent(grid_, 0.1f, depths);
    EXPECT_EQ(depths[object].virtualDepth, kNear);
    EXPECT_EQ(depths[outlier].virtualDepth, 0.0f);
    // The wall around the object is not judged against it.
    for (int d = 0; d < 6; ++d) {
        EXPECT_EQ(depths[grid_.Lenses()[object].neighbour[d]].virtualDepth, kFar);
    }
}

// A textured lens whose match failed beside an edge takes the farther surface
// (it is mostly what such a lens sees), never a mean of both, which belongs to
// no surface; an untextured one there, and any inside one surface, still takes
// the mean.
TEST_F(LensDepthEdges, HolesAtEdgesTakeTheFartherSurface) {
    std::vector<LensDepth> depths = Strip(200.0f, 1000.0f);
    const size_t atEdge = LensAt(200.0f, 190.0f);
    const size_t blank = LensAt(200.0f, 100.0f);
    const size_t inside = LensAt(100.0f, 190.0f);
    for (size_t lens : {atEdge, blank, inside}) {
        depths[lens].virtualDepth = 0.0f;
    }
    depths[atEdge].cost = 0.9f;  // rejected, not untextured
    depths[inside].cost = 0.9f;
    depths[LensAt(100.0f + grid_.Pitch(), 190.0f)].virtualDepth = 4.3f;
    // The lens straddles the edge: its first ring has both surfaces.
    float lo = 1e30f, hi = 0.0f;
    for (int d = 0; d < 6; ++d) {
        const int32_t n = grid_.Lenses()[atEdge].neighbour[d];
        ASSERT_GE(n, 0);
        if (depths[n].virtualDepth > 0.0f) {
            lo = std::min(lo, depths[n].virtualDepth);
            hi = std::max(hi, depths[n].virtualDepth);
        }
    }
    ASSERT_EQ(lo, kFar);
    ASSERT_EQ(hi, kNear);
    const std::vector<float> filled = FillLensDepths(grid_, depths, 4);
    EXPECT_EQ(filled[atEdge], kFar);
    EXPECT_GT(filled[blank], kFar * 1.06f);
    EXPECT_LT(filled[blank], kNear / 1.06f);
    // Five neighbours at 4.4 and one at 4.3 (a spread below an edge): their mean in 1/v.
    EXPECT_NEAR(filled[inside], 6.0f / (5.0f / kNear + 1.0f / 4.3f), 1e-4f);
}

}  // namespace

namespace {

// Three microlens types of sharp 1/v 0.125 (0.4 mm), 0.222 (0.45 mm) and 0.079 (0.38 mm).
CCalibration ThreeTypes() {
    CCalibration c = Synthetic::MakeCalibration(384);
    c.microLensTypes = 3;
    c.microLensFocalLength1 = 0.45;
    c.microLensFocalLength2 = 0.38;
    c.lensTypeOffset = 2;
    return c;
}

}  // namespace

// The grid's types are the camera model's, and every direction's type step holds
// for every lens: the vector kernels and the depth's pair weights rely on both.
TEST(LensTypes, GridTypesAndTypeStepsFollowTheLayout) {
    const CCalibration c = ThreeTypes();
    const LensGrid grid(c);
    ASSERT_EQ(grid.TypeCount(), 3);
    EXPECT_FLOAT_EQ(grid.SharpInverseDepth(1), static_cast<float>(1.0 - 0.35 / 0.45));
    int counts[3] = {0, 0, 0};
    for (const Lens& lens : grid.Lenses()) {
        int k = 0, l = 0;
        Vy::Model::nearestLens(c, {lens.centre.x, lens.centre.y}, k, l);
        EXPECT_EQ(lens.type, Vy::Model::lensType(c, k, l));
        ++counts[lens.type];
        for (int d = 0; d < kDirectionCount; ++d) {
            const int32_t n = lens.neighbour[d];
            if (n >= 0) {
                EXPECT_EQ(grid.Lenses()[n].type, (lens.type + grid.TypeStep(d)) % 3) << "direction " << d;
            }
        }
        for (int d = 0; d < 6; ++d) {
            EXPECT_NE(grid.TypeStep(d), 0) << "a first-ring neighbour of the lens's own type";
        }
    }
    EXPECT_NEAR(counts[0], counts[1], grid.Lenses().size() / 20);
    EXPECT_NEAR(counts[1], counts[2], grid.Lenses().size() / 20);
}

// A lens whose type is blurred at its depth takes its sharp neighbours' depth of the
// same surface; a sharp lens, a small object and another surface are left alone.
TEST(LensTypes, BlurredLensesTakeTheirSharpNeighboursDepths) {
    const LensGrid grid(ThreeTypes());
    // At v = 8 (1/v 0.125) type 0 is sharp, type 2 (0.079) a little off, type 1 (0.222)
    // far off: its lenses' matches came out 7 % too far.
    std::vector<LensDepth> depths(grid.Lenses().size());
    for (size_t i = 0; i < depths.size(); ++i) {
        depths[i].virtualDepth = grid.Lenses()[i].type == 1 ? 8.6f : 8.0f;
    }
    size_t blurred = 0, compact = 0;
    for (size_t i = 0; i < depths.size() && (blurred == 0 || compact == 0); ++i) {
        if (grid.Lenses()[i].type == 1 && grid.Lenses()[i].inside) {
            (blurred == 0 ? blurred : compact) = i;
        }
    }
    ASSERT_GT(compact, 0u);
    depths[compact].compact = true;
    const size_t sharp = grid.Lenses()[blurred].neighbour[grid.TypeStep(0) == 2 ? 0 : 1];
    ASSERT_EQ(grid.Lenses()[sharp].type, 0);
    std::vector<LensDepth> far = depths;
    far[blurred].virtualDepth = 12.0f;  // another surface than its neighbours'
    PreferSharpLenses(grid, depths);
    PreferSharpLenses(grid, far);
    float weights[3];
    grid.TypeWeights(1.0f / 8.6f, weights);
    ASSERT_LT(weights[1], kSharpEnough);
    EXPECT_NEAR(depths[blurred].virtualDepth, 8.0f, 0.05f) << "its sharp first ring outweighs it";
    EXPECT_EQ(depths[sharp].virtualDepth, 8.0f);
    EXPECT_EQ(depths[compact].virtualDepth, 8.6f);
    EXPECT_NEAR(far[blurred].virtualDepth, 12.0f, 1e-4f);

    // One type: nothing changes.
    const LensGrid single(Synthetic::MakeCalibration(384));
    std::vector<LensDepth> plain(single.Lenses().size());
    plain[0].virtualDepth = 5.0f;
    PreferSharpLenses(single, plain);
    EXPECT_EQ(plain[0].virtualDepth, 5.0f);
}
