// particlescore: the program's particle table against a synthetic sequence's truth.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "Diagnostic.h"
#include "GroundTruth.h"
#include "ParticleScore.h"
#include "ParticleTableReader.h"
#include "SequenceGenerator.h"
#include "WarningSink.h"

namespace {

const char* const kUsage =
    "usage: particlescore [--verbose] [--reference] TABLE.particles.csv SEQUENCE.rays\n"
    "  scores the particle table of a display type 4 run of SEQUENCE against SEQUENCE.truth/;\n"
    "  --verbose lists every missed truth particle and every unmatched accepted row;\n"
    "  --reference first writes TABLE as measured on the truth's all-in-focus image and depth\n";

const char* verdict(bool ok) { return ok ? "ok" : "MISSED"; }

// One line of medians over groups of a count (frames, positions); groups without a value are left out.
void printByCount(const char* title, const Vy::Synth::ParticleScore& s,
                  double (*medianOf)(const Vy::Synth::ParticleScore&, int, int)) {
    std::printf("  %s", title);
    for (const auto& [first, last] : {std::pair{2, 2}, {3, 4}, {5, 5}, {6, 10}, {11, 15}, {16, 20}, {21, 1000000}}) {
        const double error = medianOf(s, first, last);
        if (std::isnan(error)) continue;
        if (first == last)
            std::printf(" %d: %.1f %%", first, 100 * error);
        else if (last > 1000)
            std::printf(" %d+: %.1f %%", first, 100 * error);
        else
            std::printf(" %d-%d: %.1f %%", first, last, 100 * error);
    }
    std::printf("\n");
}

void printBars(const char* title, const Vy::Synth::ParticleScore& s) {
    using Bars = Vy::Synth::ParticleBars;
    std::printf("%s: truth particles %zu, accepted %zu\n", title, s.truthParticles, s.accepted);
    std::printf("  matched (centre within %.0f px): %.2f %% of the truth (bar >= %.0f %%): %s\n", Bars::kMatchRadius,
                100 * s.matchedShare(), 100 * Bars::kMatchedShare, verdict(s.matchedShare() >= Bars::kMatchedShare));
    std::printf("  unmatched detections: %.2f %% of accepted (bar <= %.0f %%): %s\n", 100 * s.unmatchedShare(),
                100 * Bars::kUnmatchedShare, verdict(s.unmatchedShare() <= Bars::kUnmatchedShare));
    std::printf("  centre error median: %.3f px (bar <= %.1f): %s\n", s.centreErrorMedian, Bars::kCentreError,
                verdict(s.centreErrorMedian <= Bars::kCentreError));
    std::printf("  distance error median: %.3f %% over %zu matched with a distance (bar <= %.0f %%): %s\n",
                100 * s.distanceErrorMedian, s.withDistance, 100 * Bars::kDistanceError,
                verdict(s.distanceErrorMedian <= Bars::kDistanceError));
    std::printf("  equivalent diameter error median: %.2f %% (bar <= %.0f %%): %s\n", 100 * s.diameterErrorMedian,
                100 * Bars::kDiameterError, verdict(s.diameterErrorMedian <= Bars::kDiameterError));
    std::printf("  tracks kept: %.2f %% of %zu pairs (bar >= %.0f %%): %s\n", 100 * s.trackKeptShare(), s.trackPairs,
                100 * Bars::kTrackKept, verdict(s.trackKeptShare() >= Bars::kTrackKept));
    std::printf("  velocity error median: %.2f %% of the true speed over %zu (bar <= %.0f %%): %s\n",
                100 * s.velocityErrorMedian, s.velocities, 100 * Bars::kVelocityError,
                verdict(s.velocityErrorMedian <= Bars::kVelocityError));
    std::printf("  rows with a velocity: %zu of %zu accepted; errors within twice their stated error: %zu of %zu\n",
                s.rowsWithVelocity, s.accepted, s.velocitiesWithinTwoSd, s.velocitiesWithSd);
    printByCount("velocity error median by frames the track had held the particle:", s, Vy::Synth::velocityErrorMedian);
    printByCount("velocity error median by positions the velocity rests on:", s,
                 Vy::Synth::velocityErrorMedianByPositions);
    std::printf("  overall: %s\n", verdict(s.Passed()));
}

}  // namespace

int main(int argc, char** argv) {
    Vy::SetWarningSink(Console::diagnostic);  // a sequence file cut short is named on stderr
    bool verbose = false, reference = false;
    int first = 1;
    for (; first < argc && std::string(argv[first]).rfind("--", 0) == 0; ++first) {
        const std::string option = argv[first];
        if (option == "--verbose") {
            verbose = true;
        } else if (option == "--reference") {
            reference = true;
        } else {
            std::cerr << "particlescore: unknown option " << option << "\n" << kUsage;
            return 1;
        }
    }
    if (argc - first != 2) {
        std::cerr << kUsage;
        return 1;
    }
    const char* const tableFile = argv[argc - 2];
    const char* const sequenceFile = argv[argc - 1];
    try {
        const std::string sequence = sequenceFile;
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
        if (reference) Vy::Synth::writeReferenceTable(sequence, tableFile);
        const auto table = Vy::Analysis::readParticleTable(tableFile);
        const Vy::Synth::ParticleScore s = Vy::Synth::scoreParticleTable(table, truthDir, calibration, scale);
        const Vy::Synth::ParticleScore apart =
            Vy::Synth::scoreParticleTable(table, truthDir, calibration, scale, Vy::Synth::BorderRule::Apart);
        if (verbose) {
            const double w = std::atof(Vy::Synth::truthIndexValue(truthDir, "output_width").c_str());
            const double h = std::atof(Vy::Synth::truthIndexValue(truthDir, "output_height").c_str());
            // Signed distance of a disc's rim from the nearest image edge: negative when cut.
            const auto rim = [w, h](double x, double y, double r) {
                return std::min({x - r, y - r, w - x - r, h - y - r});
            };
            std::printf("missed: frame id x y radius virtual_depth distance_mm rim_to_edge_px nearest_row_px border\n");
            for (const auto& m : s.misses) {
                const auto& t = m.truth;
                std::printf("missed %d %d %.2f %.2f %.2f %.3f %.1f %.2f %.2f %d\n", m.frame, t.id, t.x, t.y, t.radius,
                            t.virtualDepth, t.distance, rim(t.x, t.y, t.radius), m.nearestRowPx, m.atBorder ? 1 : 0);
            }
            std::printf(
                "unmatched: frame number x y diameter_px virtual_depth border rim_to_edge_px nearest_truth_px\n");
            for (const auto& u : s.unmatchedRows) {
                const auto& r = u.row;
                std::printf("unmatched %d %d %.2f %.2f %.2f %s %d %.2f %.2f\n", u.frame, r.number, r.centre.x,
                            r.centre.y, r.diameterPx, r.virtualDepth ? std::to_string(*r.virtualDepth).c_str() : "-",
                            r.border ? 1 : 0, rim(r.centre.x, r.centre.y, r.diameterPx / 2), u.nearestTruthPx);
            }
        }
        std::printf("frames %d, truth particles %zu, accepted %zu\n", s.frames, s.truthParticles, s.accepted);
        std::printf(
            "border class: %zu truth particles (%zu matched), %zu accepted rows flagged border (%zu unmatched)\n",
            s.borderTruth, s.borderTruthMatched, s.borderRows, s.borderRowsUnmatched);
        printBars("strict, every particle and row", s);
        printBars("border class apart", apart);
        return s.Passed() ? 0 : 2;
    } catch (const std::exception& e) {
        std::cerr << "particlescore: " << e.what() << "\n";
        return 1;
    }
}
