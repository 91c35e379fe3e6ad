// particlescore: the program's particle table against a synthetic sequence's truth.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "GroundTruth.h"
#include "ParticleScore.h"
#include "ParticleTableReader.h"
#include "SequenceGenerator.h"

namespace {

const char* const kUsage =
    "usage: particlescore TABLE.particles.csv SEQUENCE.rays\n"
    "  scores the particle table of a display type 4 run of SEQUENCE against SEQUENCE.truth/\n";

const char* verdict(bool ok) { return ok ? "ok" : "MISSED"; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << kUsage;
        return 1;
    }
    using Bars = Vy::Synth::ParticleBars;
    try {
        const std::string sequence = argv[2];
        CSeqFileReader reader;
        reader.Open(sequence.c_str(), 2);
        CRayImage image;
        reader.StartReading(image);
        const CCalibration calibration = reader.GetCalibration();
        const std::string truthDir = Vy::Synth::truthDirectory(sequence);
        const int scale = std::atoi(Vy::Synth::truthIndexValue(truthDir, "output_scale").c_str());
        if (scale <= 0) {
            std::cerr << "particlescore: " << truthDir << "/truth.txt gives no output_scale\n";
            return 1;
        }
        const auto table = Vy::Analysis::readParticleTable(argv[1]);
        const Vy::Synth::ParticleScore s = Vy::Synth::scoreParticleTable(table, truthDir, calibration, scale);
        std::printf("frames %d, truth particles %zu, accepted %zu\n", s.frames, s.truthParticles, s.accepted);
        std::printf("matched (centre within %.0f px): %.2f %% of the truth (bar >= %.0f %%): %s\n", Bars::kMatchRadius,
                    100 * s.matchedShare(), 100 * Bars::kMatchedShare,
                    verdict(s.matchedShare() >= Bars::kMatchedShare));
        std::printf("unmatched detections: %.2f %% of accepted (bar <= %.0f %%): %s\n", 100 * s.unmatchedShare(),
                    100 * Bars::kUnmatchedShare, verdict(s.unmatchedShare() <= Bars::kUnmatchedShare));
        std::printf("centre error median: %.3f px (bar <= %.1f): %s\n", s.centreErrorMedian, Bars::kCentreError,
                    verdict(s.centreErrorMedian <= Bars::kCentreError));
        std::printf("distance error median: %.3f %% over %zu matched with a distance (bar <= %.0f %%): %s\n",
                    100 * s.distanceErrorMedian, s.withDistance, 100 * Bars::kDistanceError,
                    verdict(s.distanceErrorMedian <= Bars::kDistanceError));
        std::printf("equivalent diameter error median: %.2f %% (bar <= %.0f %%): %s\n", 100 * s.diameterErrorMedian,
                    100 * Bars::kDiameterError, verdict(s.diameterErrorMedian <= Bars::kDiameterError));
        std::printf("tracks kept: %.2f %% of %zu pairs (bar >= %.0f %%): %s\n", 100 * s.trackKeptShare(), s.trackPairs,
                    100 * Bars::kTrackKept, verdict(s.trackKeptShare() >= Bars::kTrackKept));
        std::printf("velocity error median: %.2f %% of the true speed over %zu (bar <= %.0f %%): %s\n",
                    100 * s.velocityErrorMedian, s.velocities, 100 * Bars::kVelocityError,
                    verdict(s.velocityErrorMedian <= Bars::kVelocityError));
        std::printf("overall: %s\n", verdict(s.Passed()));
        return s.Passed() ? 0 : 2;
    } catch (const std::exception& e) {
        std::cerr << "particlescore: " << e.what() << "\n";
        return 1;
    }
}
