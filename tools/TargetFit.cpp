#include "TargetFit.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyException.h"
#include "CameraModel.h"
#include "DepthRange.h"
#include "DistanceTable.h"
#include "OpticsFit.h"
#include "PlateMeter.h"
#include "TextFile.h"

namespace Vy::Synth {

namespace {

// A plate whose depths pile at one end of the search by more than this share lies beyond it.
constexpr double kPiledPlate = 0.25;

std::string format(const char* pattern, double a, double b = 0, double c = 0, double d = 0) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c, d);
    return text;
}

cv::Mat view(const CVyImage& image) {
    const int type = image.GetDataType() == Vy::DataTypeUnsignedShort ? CV_16UC1 : CV_8UC1;
    return cv::Mat(image.GetHeight(), image.GetWidth(), type, const_cast<void*>(image.GetPixelData()));
}

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// The median and the largest of |relative errors|.
void spread(const std::vector<double>& errors, double& med, double& worst) {
    std::vector<double> magnitudes;
    for (double e : errors) magnitudes.push_back(std::abs(e));
    med = median(magnitudes);
    worst = magnitudes.empty() ? 0.0 : *std::max_element(magnitudes.begin(), magnitudes.end());
}

struct Recording {
    std::string path;
    CSeqFileReader reader;
    CRayImage image;
    long firstFrame = 0;  // over all recordings
};

// The frames a fit reads, and how.
struct Frames {
    std::vector<std::unique_ptr<Recording>>& recordings;
    const std::vector<DistanceEntry>& table;
    const cv::Mat& white;
    int bits;
    DepthRange search;
    std::ostream* progress;
};

struct Readings {
    std::vector<PlateRow> rows;  // near to far
    std::vector<PlateSample> samples;
};

// Reads every listed frame through the calibration and pools the readings by distance.
Readings readPlates(const Frames& f, const CCalibration& calibration, const TargetFitOptions& o) {
    PlateMeter meter(calibration, f.white, f.bits, f.search, o.squareMm > 0 ? o.innerCorners : cv::Size());
    std::unique_ptr<PlateMeter> wideMeter;  // made when a plate is not found in the camera's range
    // Readings pooled by distance.
    struct Pool {
        long firstFrame = -1;
        std::vector<double> depths, squares;
        double leastShare = 1.0;
    };
    std::map<double, Pool> pools;
    int done = 0;
    for (const DistanceEntry& e : f.table) {
        Recording* r = f.recordings.front().get();
        for (const auto& candidate : f.recordings)
            if (e.frame >= candidate->firstFrame) r = candidate.get();
        r->reader.Seek(static_cast<uint32_t>(e.frame - r->firstFrame));
        r->reader.ReadFrame(r->image);
        const PlateReading reading = meter.read(view(r->image));
        const std::string which = "frame " + std::to_string(e.frame - r->firstFrame) + " (" +
                                  format("%.1f", e.distance) + " mm, table line " + std::to_string(e.line) + ")";
        const auto piled = [](const PlateReading& p) { return std::max(p.nearEnd, p.farEnd) > kPiledPlate; };
        if (piled(reading) || reading.validShare < kLeastPlateShare) {
            // Beyond the camera's virtual depths, or no plate at all: the widest search tells which.
            if (!wideMeter)
                wideMeter = std::make_unique<PlateMeter>(calibration, f.white, f.bits, kWideSearch, cv::Size());
            const PlateReading wide = wideMeter->read(view(r->image));
            const std::string range = format("%.3g..%.3g", f.search.min, f.search.max);
            if (wide.validShare >= kLeastPlateShare && !piled(wide))
                throw CVyException("fit-optics", r->path,
                                   which +
                                       ": the plate lies outside the distances the camera sees: it shows at "
                                       "virtual depth " +
                                       format("%.3g", wide.virtualDepth) + ", beyond the camera's " + range);
            throw CVyException("fit-optics", r->path,
                               which + ": no plate found (" + format("%.0f", 100 * reading.validShare) +
                                   " % of the middle of the view has a depth at virtual depths " + range +
                                   "); a blank or unlit plate, one that does not fill the middle of the view, or "
                                   "one beyond what the camera can see");
        }
        Pool& pool = pools[e.distance];
        if (pool.firstFrame < 0) pool.firstFrame = e.frame;
        pool.depths.push_back(reading.virtualDepth);
        if (reading.squarePixels > 0) pool.squares.push_back(reading.squarePixels);
        pool.leastShare = std::min(pool.leastShare, reading.validShare);
        if (f.progress) *f.progress << "read " << ++done << "/" << f.table.size() << " frames\r" << std::flush;
    }
    if (f.progress) *f.progress << "\n";

    Readings out;
    for (const auto& [distance, pool] : pools) {
        PlateRow row;
        row.distance = distance;
        row.firstFrame = pool.firstFrame;
        row.frames = static_cast<int>(pool.depths.size());
        row.virtualDepth = median(pool.depths);
        row.validShare = pool.leastShare;
        out.rows.push_back(row);
        out.samples.push_back({distance, row.virtualDepth, median(pool.squares)});
    }
    return out;
}

// g = B / exit pupil from squares that shrink with depth as a block without the exit pupil draws them:
// each measures r = 1 / (1 + g (v - 1)) of its size at the virtual depth v = v_read / r.
double microImageGrowthFromSquares(const CCalibration& c, const std::vector<PlateSample>& samples, double squareMm) {
    std::vector<double> growths;
    for (const PlateSample& p : samples) {
        if (!(p.squarePixels > 0)) continue;
        const double r = squareMmOf(c, p.squarePixels, p.virtualDepth) / squareMm;
        if (p.virtualDepth > r) growths.push_back((1.0 - r) / (p.virtualDepth - r));
    }
    return growths.size() >= kLeastPlates ? median(growths) : 0.0;
}

}  // namespace

TargetFit fitTarget(const TargetFitOptions& o, std::ostream* progress) {
    const auto started = std::chrono::steady_clock::now();
    if (o.recordings.empty()) throw CVyException("fit-optics", "arguments", "needs a recording of the target");
    const std::vector<DistanceEntry> table = readDistanceTable(o.distances);
    std::vector<std::unique_ptr<Recording>> recordings;
    long frames = 0;
    for (const std::string& path : o.recordings) {
        auto r = std::make_unique<Recording>();
        r->path = path;
        r->reader.Open(path.c_str(), 0);
        r->reader.StartReading(r->image);
        r->firstFrame = frames;
        frames += r->reader.GetFrameCount();
        if (!recordings.empty() &&
            r->reader.GetCalibration().ToText() != recordings.front()->reader.GetCalibration().ToText())
            throw CVyException("fit-optics", path,
                               "its calibration differs from " + recordings.front()->path +
                                   "'s; the frames of one fit come through one camera");
        recordings.push_back(std::move(r));
    }
    for (const DistanceEntry& e : table)
        if (e.frame >= frames)
            throw CVyException("fit-optics", o.distances,
                               "line " + std::to_string(e.line) + ": frame " + std::to_string(e.frame) +
                                   " is past the last frame (" + std::to_string(frames) + " in the recordings)");
    Recording& first = *recordings.front();
    TargetFit fit;
    fit.start = first.reader.GetCalibration();
    if (!o.calibration.empty()) {
        // Another calibration of this camera: a fitted one checked on a new recording, say.
        const CCalibration given =
            CCalibration::FromText(Vy::ReadTextFile(o.calibration, 1 << 20, "fit-optics"), o.calibration);
        if (given.sensorWidth != fit.start.sensorWidth || given.sensorHeight != fit.start.sensorHeight)
            throw CVyException("fit-optics", o.calibration,
                               "its sensor (" + std::to_string(given.sensorWidth) + " x " +
                                   std::to_string(given.sensorHeight) + ") is not the recordings' (" +
                                   std::to_string(fit.start.sensorWidth) + " x " +
                                   std::to_string(fit.start.sensorHeight) + ")");
        if (const std::string problem = given.Problem(); !problem.empty())
            throw CVyException("fit-optics", o.calibration, problem);
        fit.start = given;
    }
    const DepthRange search = hasDepthRange(fit.start)
                                  ? DepthRange{fit.start.virtualDepthMin, fit.start.virtualDepthMax}
                                  : rangeFromOptics(fit.start, first.path);
    const cv::Mat white = first.image.GetWhiteImage().IsEmpty() ? cv::Mat() : view(first.image.GetWhiteImage()).clone();
    const Frames source{recordings, table, white, first.reader.GetSignificantBits(), search, progress};
    Readings readings = readPlates(source, fit.start, o);
    fit.plates = readings.rows;
    for (PlateRow& row : fit.plates) row.before = distanceOf(fit.start, row.virtualDepth);
    const auto fitted = [&](const CCalibration& start) {
        try {
            return fitOptics(start, readings.samples).calibration;
        } catch (const OpticsFitError& e) {
            throw CVyException("fit-optics", o.distances, e.what());
        }
    };
    fit.calibration = o.checkOnly ? fit.start : fitted(fit.start);
    if (!o.checkOnly && fit.start.exitPupilDistance <= 0 && o.squareMm > 0) {
        // Without an exit pupil the block's lens grid is the micro-image grid, 1 + g times the lenses'. The
        // engine's depths then read low by about g (v - 1), which the fit takes up, but the total focus is
        // drawn v_read / v smaller: the squares shrink with depth, and tell g.
        const double g = microImageGrowthFromSquares(fit.calibration, readings.samples, o.squareMm);
        if (g > kLeastGrowth) {
            CCalibration regridded = Model::lensGridScaled(fit.start, 1.0 / (1.0 + g));
            regridded.exitPupilDistance = fit.start.mlaToSensor / g;
            readings = readPlates(source, regridded, o);
            for (size_t i = 0; i < fit.plates.size(); ++i) {
                const double before = fit.plates[i].before;
                fit.plates[i] = readings.rows[i];
                fit.plates[i].before = before;
            }
            fit.calibration = fitted(regridded);
            fit.growth = g;
        }
    }
    std::vector<double> before, after, squares;
    for (size_t i = 0; i < fit.plates.size(); ++i) {
        PlateRow& row = fit.plates[i];
        row.after = distanceOf(fit.calibration, row.virtualDepth);
        before.push_back(row.before > 0 ? (row.before - row.distance) / row.distance : 1.0);
        after.push_back(row.after > 0 ? (row.after - row.distance) / row.distance : 1.0);
        if (readings.samples[i].squarePixels > 0) {
            row.squareMm = squareMmOf(fit.calibration, readings.samples[i].squarePixels, row.virtualDepth);
            squares.push_back((row.squareMm - o.squareMm) / o.squareMm);
        }
    }
    spread(before, fit.medianBefore, fit.worstBefore);
    spread(after, fit.medianAfter, fit.worstAfter);
    fit.boards = static_cast<int>(squares.size());
    spread(squares, fit.squareMedian, fit.squareWorst);
    if (!squares.empty()) fit.squareMedian = median(squares);  // signed: a scale off shows its direction
    fit.cameraNear = distanceOf(fit.calibration, search.max);
    fit.cameraFar = distanceOf(fit.calibration, search.min);
    if (!o.checkOnly && fit.worstAfter > kWorstResidual) {
        const auto worst =
            std::max_element(after.begin(), after.end(), [](double a, double b) { return std::abs(a) < std::abs(b); });
        const PlateRow& row = fit.plates[static_cast<size_t>(worst - after.begin())];
        throw CVyException("fit-optics", o.distances,
                           "the plates do not follow one lens: " + format("%.1f", 100 * std::abs(*worst)) +
                               " % off at " + format("%.1f", row.distance) + " mm (frame " +
                               std::to_string(row.firstFrame) + "), more than " + format("%.0f", 100 * kWorstResidual) +
                               " %; check that distance");
    }
    fit.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return fit;
}

std::string fitReport(const TargetFit& fit, const TargetFitOptions& o) {
    std::string text;
    int frames = 0;
    for (const PlateRow& row : fit.plates) frames += row.frames;
    text += "plates: " + std::to_string(frames) + " frames at " + std::to_string(fit.plates.size()) +
            " distances, read and fitted in " + format("%.1f", fit.seconds) + " s\n";
    text += "  distance_mm frames virtual_depth depth_share  before_mm before_%  fitted_mm residual_mm residual_%";
    text += o.squareMm > 0 ? "  square_mm\n" : "\n";
    for (const PlateRow& row : fit.plates) {
        text += format("  %11.2f %6.0f %13.4f %11.2f", row.distance, row.frames, row.virtualDepth, row.validShare);
        text += format(" %10.2f %8.2f %10.2f %11.3f", row.before, 100 * (row.before - row.distance) / row.distance,
                       row.after, row.after - row.distance);
        text += format(" %10.3f", 100 * (row.after - row.distance) / row.distance);
        if (o.squareMm > 0) text += row.squareMm > 0 ? format(" %10.3f", row.squareMm) : "          -";
        text += "\n";
    }
    const CCalibration& a = fit.start;
    const CCalibration& b = fit.calibration;
    if (o.checkOnly) {
        text += format("optics (not fitted): mlaToSensor %.5g mm, mainLensToMla %.6g mm, mainFocalLength %.6g mm\n",
                       a.mlaToSensor, a.mainLensToMla, a.mainFocalLength);
    } else {
        text += format("optics: mlaToSensor %.5g -> %.5g mm, mainLensToMla %.6g -> %.6g mm", a.mlaToSensor,
                       b.mlaToSensor, a.mainLensToMla, b.mainLensToMla);
        text += format(", mainFocalLength %.6g mm (kept)", a.mainFocalLength);
        if (a.exitPupilDistance > 0 || b.exitPupilDistance > 0)
            text += format(fit.growth > 0 ? ", exitPupilDistance %.6g -> %.6g mm (from the squares)"
                                          : ", exitPupilDistance %.6g -> %.6g mm (moved with B)",
                           a.exitPupilDistance, b.exitPupilDistance);
        text += "\n";
    }
    text += format("residual: median %.3f %%, worst %.3f %%", 100 * fit.medianAfter, 100 * fit.worstAfter);
    text += o.checkOnly ? "\n"
                        : format("; before the fit: median %.2f %%, worst %.2f %%\n", 100 * fit.medianBefore,
                                 100 * fit.worstBefore);
    if (fit.growth > 0)
        text += format(
            "grid: the block has no exit pupil; the squares show the micro-images %.2f %% further apart "
            "than the lenses (B / exit pupil), so the lens grid and exitPupilDistance were set so and "
            "the frames read again\n",
            100 * fit.growth);
    if (!o.checkOnly && fit.worstAfter > kDoubtfulResidual)
        text += format(
            "warning: a plate is %.2f %% off, more than the engine's own error (about 0.1 %%): check "
            "its distance in the table\n",
            100 * fit.worstAfter);
    const PlateRow& nearest = fit.plates.front();
    const PlateRow& farthest = fit.plates.back();
    text += format("holds over %.1f .. %.1f mm (the plates, virtual depths %.3g .. %.3g)", nearest.distance,
                   farthest.distance, nearest.virtualDepth, farthest.virtualDepth);
    text += format("; the camera's virtual depths %.3g .. %.3g reach ", b.virtualDepthMax, b.virtualDepthMin);
    text += fit.cameraFar > 0 ? format("%.1f .. %.1f mm", fit.cameraNear, fit.cameraFar)
                              : format("%.1f mm .. infinity", fit.cameraNear);
    const bool covered =
        fit.cameraNear >= nearest.distance * 0.99 && fit.cameraFar > 0 && fit.cameraFar <= farthest.distance * 1.01;
    text += covered ? "\n" : ", beyond the plates by extrapolation\n";
    if (o.squareMm > 0) {
        if (fit.boards == 0)
            text += format("lateral scale: no frame shows the board's %.0f x %.0f inner corners\n",
                           o.innerCorners.width, o.innerCorners.height);
        else
            text += format(
                        "lateral scale: squares measure %.4g mm (median over %.0f boards) against %.4g mm given: "
                        "%+.2f %%",
                        o.squareMm * (1 + fit.squareMedian), fit.boards, o.squareMm, 100 * fit.squareMedian) +
                    format(", worst %.2f %%\n", 100 * fit.squareWorst);
    }
    return text;
}

}  // namespace Vy::Synth
