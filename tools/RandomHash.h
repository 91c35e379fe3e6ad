// Counter-based random numbers: the same (seed, frame, pixel) gives the same
// value whichever thread draws it, so renders are reproducible.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>

namespace Vy::Synth {

// splitmix64 finaliser.
inline uint64_t hash64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Uniform in [0, 1) from the low 21 bits' worth of the hash (enough for sample jitter).
inline double unitFromHash(uint64_t h) { return static_cast<double>(h & 0x1FFFFF) * (1.0 / 2097152.0); }

// Two independent standard normals from a hash (Box-Muller with two 26-bit uniforms).
inline void gaussianPairFromHash(uint64_t h, double& g1, double& g2) {
    const double u1 = (static_cast<double>(h & 0x3FFFFFF) + 0.5) * (1.0 / 67108864.0);
    const double u2 = static_cast<double>((h >> 26) & 0x3FFFFFF) * (1.0 / 67108864.0);
    const double r = std::sqrt(-2.0 * std::log(u1));
    g1 = r * std::cos(2.0 * std::numbers::pi * u2);
    g2 = r * std::sin(2.0 * std::numbers::pi * u2);
}

}  // namespace Vy::Synth
