// The refocus value the operator moves (0 focuses at the lowest virtual depth
// of a range, its farthest plane; 1 at the highest, its nearest), linear in
// 1/v so that equal steps move the plane by similar distances on screen.
#pragma once

namespace Vy::Model {

// The virtual depth the value r focuses at, for the range [low, high] (0 < low < high).
inline double refocusVirtualDepth(double low, double high, double r) { return 1.0 / ((1.0 - r) / low + r / high); }

// The value that focuses at virtual depth v (not held to [0, 1]).
inline double refocusValueOf(double low, double high, double v) {
    return (1.0 / low - 1.0 / v) / (1.0 / low - 1.0 / high);
}

}  // namespace Vy::Model
