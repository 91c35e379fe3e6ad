// rayquality: runs the light-field engine over a synthetic sequence with ground
// truth and prints how close its depth, total focus and refocus come.
//   rayquality [--frames N] [--settings FILE] [--dump DIR] SEQUENCE.rays
// Exit status: 0 all bars met, 2 a bar missed, 1 bad arguments or files.
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "CVyException.h"
#include "Diagnostic.h"
#include "EngineQuality.h"
#include "WarningSink.h"

namespace {

const char* const kUsage = "usage: rayquality [--frames N] [--settings FILE] [--dump DIR] SEQUENCE.rays\n";

std::string besideExecutable(const char* name) {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(name) : (self.parent_path() / name).string();
}

const char* verdict(bool ok) { return ok ? "PASS" : "FAIL"; }

void print(const Vy::Synth::QualityReport& r) {
    using Bars = Vy::Synth::QualityBars;
    const auto& d = r.depth;
    std::printf("frames scored: %u of %u\n", r.framesScored, r.framesInFile);
    std::printf("virtual depth median relative error: %6.2f %%  (bar <= %.0f %%)   %s\n", 100 * d.medianRelativeError,
                100 * Bars::kMedianRelativeError, verdict(d.medianRelativeError <= Bars::kMedianRelativeError));
    std::printf("valid pixels more than 5%% off:       %6.2f %%  (bar <= %.0f %%)  %s\n", 100 * d.shareOver5Percent,
                100 * Bars::kShareOver5Percent, verdict(d.shareOver5Percent <= Bars::kShareOver5Percent));
    const double nearRate = d.nearEdgeValidCount ? double(d.nearEdgeOverCount) / d.nearEdgeValidCount : 0.0;
    const size_t elsewhereValid = d.validCount - d.nearEdgeValidCount;
    const double elsewhereRate = elsewhereValid ? double(d.elsewhereOverCount) / elsewhereValid : 0.0;
    std::printf("  near a depth edge (2 pitches):     %6.2f %%  of valid pixels (%.2f %% of the %zu valid there)\n",
                100 * d.shareOver5NearEdge, 100 * nearRate, d.nearEdgeValidCount);
    std::printf("  elsewhere:                         %6.2f %%  of valid pixels (%.2f %% of the %zu valid there)\n",
                100 * d.shareOver5Elsewhere, 100 * elsewhereRate, elsewhereValid);
    std::printf("textured pixels valid:               %6.2f %%  (bar >= %.0f %%)  %s  (%zu of %zu)\n",
                100 * d.texturedValidShare, 100 * Bars::kTexturedValid,
                verdict(d.texturedValidShare >= Bars::kTexturedValid), d.validCount, d.texturedCount);
    const auto& o = r.outerDepth;
    std::printf(
        "outer tenth of the sensor: textured pixels valid %6.2f %% (bar >= %.0f %%) %s  (%zu of %zu); "
        "median error %.2f %%, more than 5%% off %.2f %%\n",
        100 * o.texturedValidShare, 100 * Bars::kTexturedValid,
        verdict(o.texturedCount == 0 || o.texturedValidShare >= Bars::kTexturedValid), o.validCount, o.texturedCount,
        100 * o.medianRelativeError, 100 * o.shareOver5Percent);
    std::printf("total focus PSNR over valid pixels:  %6.2f dB (bar >= %.0f dB) %s\n", r.focusPsnr, Bars::kFocusPsnr,
                verdict(r.focusPsnr >= Bars::kFocusPsnr));
    std::printf("total focus PSNR at the true depth:  %6.2f dB (renderer check, no bar)\n", r.referenceFocusPsnr);
    if (!r.focusByDepth.empty()) {
        std::printf("total focus PSNR by true virtual depth (textured, valid):");
        for (const auto& b : r.focusByDepth) std::printf("  %.2f-%.2f %.2f dB", b.low, b.high, b.psnr);
        std::printf("\n");
    }
    for (const auto& p : r.planes)
        std::printf(
            "plane at v %.3f: depth bias %+6.2f %%; refocused at it %6.2f dB (bar >= %.0f dB), "
            "focused elsewhere at most %6.2f dB  %s\n",
            p.depth, 100 * p.depthBias, p.focusedPsnr, Bars::kRefocusPsnr, p.elsewhereFocusedPsnr,
            verdict(p.focusedPsnr >= Bars::kRefocusPsnr && p.elsewhereFocusedPsnr < p.focusedPsnr));
    if (r.scoredParticles)
        std::printf(
            "particles per frame: %.1f in the truth, %.1f blobs accepted; worst frame %.1f %% off "
            "(bar <= %.0f %%)  %s\n",
            r.particles.truthMean, r.particles.acceptedMean, 100 * r.particles.worstDifference,
            100 * Bars::kParticleCountDifference,
            verdict(r.particles.worstDifference <= Bars::kParticleCountDifference));
    if (r.planes.empty()) std::printf("refocus: no fronto-parallel plane in the first frame to focus on\n");
    std::printf("overall: %s\n", verdict(r.Passed()));
}

}  // namespace

int main(int argc, char** argv) {
    Vy::SetWarningSink(Console::diagnostic);  // a sequence file cut short is named on stderr
    std::string settings = besideExecutable("CurrentSettings-2019-08-09.vyset");
    uint32_t frames = 3;
    std::string sequence;
    std::string dump;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--frames" || a == "--settings" || a == "--dump") && i + 1 >= argc) {
            std::cerr << "rayquality: " << a << " needs a value\n";
            return 1;
        }
        if (a == "--frames") {
            const std::string text = argv[++i];
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), frames);
            if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
                std::cerr << "rayquality: --frames: '" << text << "' is not a number\n";
                return 1;
            }
        } else if (a == "--settings") {
            settings = argv[++i];
        } else if (a == "--dump") {
            dump = argv[++i];
        } else if (a == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (a.rfind("--", 0) == 0 || !sequence.empty()) {
            std::cerr << "rayquality: unexpected argument '" << a << "'\n" << kUsage;
            return 1;
        } else {
            sequence = a;
        }
    }
    if (sequence.empty()) {
        std::cerr << kUsage;
        return 1;
    }
    try {
        const Vy::Synth::QualityReport report = Vy::Synth::measureEngineQuality(sequence, settings, frames, dump);
        print(report);
        return report.Passed() ? 0 : 2;
    } catch (const std::exception& e) {
        std::cerr << "rayquality: " << e.what() << "\n";
        return 1;
    }
}
