#include "OpticsFit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <string>

#include "CameraModel.h"
#include "KeyValueText.h"

namespace Vy::Synth {

namespace {

constexpr int kMaxIterations = 200;
constexpr double kStepTolerance = 1e-12;

// Parameters relative to the start: L / L0, B / B0.
constexpr int kParams = 2;
using Params = std::array<double, kParams>;

CCalibration withParams(const CCalibration& start, const Params& p) {
    CCalibration c = start;
    c.mainLensToMla = start.mainLensToMla * p[0];
    c.mlaToSensor = start.mlaToSensor * p[1];
    // The micro-image centres stay where they were: B / exit pupil is kept.
    if (start.exitPupilDistance > 0) c.exitPupilDistance = start.exitPupilDistance * p[1];
    return c;
}

// Relative distance errors; false where a plate's image would lie inside the focal length.
bool residuals(const CCalibration& start, const Params& p, const std::vector<PlateSample>& plates,
               std::vector<double>& r) {
    const CCalibration c = withParams(start, p);
    r.resize(plates.size());
    for (size_t i = 0; i < plates.size(); ++i) {
        const double z = distanceOf(c, plates[i].virtualDepth);
        if (!(z > 0)) return false;
        r[i] = (z - plates[i].distance) / plates[i].distance;
    }
    return true;
}

double sumOfSquares(const std::vector<double>& r) {
    double s = 0;
    for (double x : r) s += x * x;
    return s;
}

using Matrix = std::array<Params, kParams>;

// Solves the system a x = b by Gaussian elimination; false when singular.
bool solve(Matrix a, Params b, Params& x) {
    constexpr int n = kParams;
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int row = col + 1; row < n; ++row)
            if (std::abs(a[row][col]) > std::abs(a[pivot][col])) pivot = row;
        if (!(std::abs(a[pivot][col]) > 1e-300)) return false;
        std::swap(a[col], a[pivot]);
        std::swap(b[col], b[pivot]);
        for (int row = col + 1; row < n; ++row) {
            const double m = a[row][col] / a[col][col];
            for (int k = col; k < n; ++k) a[row][k] -= m * a[col][k];
            b[row] -= m * b[col];
        }
    }
    for (int row = n - 1; row >= 0; --row) {
        double s = b[row];
        for (int k = row + 1; k < n; ++k) s -= a[row][k] * x[k];
        x[row] = s / a[row][row];
    }
    return true;
}

// Start values: with f kept, each plate's image distance 1 / (1/f - 1/z) is L + v B, a straight
// line in v fitted with each plate weighed by how much a change of image distance moves its
// distance relative to itself (z / bi^2).
Params linearStart(const CCalibration& start, const std::vector<PlateSample>& plates) {
    double sw = 0, sv = 0, sb = 0, svv = 0, svb = 0;
    for (const PlateSample& p : plates) {
        const double bi = Model::imageDistance(start, p.distance);
        const double w = std::pow(p.distance / (bi * bi), 2);
        sw += w, sv += w * p.virtualDepth, sb += w * bi;
        svv += w * p.virtualDepth * p.virtualDepth, svb += w * p.virtualDepth * bi;
    }
    const double det = sw * svv - sv * sv;
    const double b = (sw * svb - sv * sb) / det;
    const double l = (sb - b * sv) / sw;
    return {l / start.mainLensToMla, b / start.mlaToSensor};
}

}  // namespace

double distanceOf(const CCalibration& c, double v) {
    const double bi = c.mainLensToMla + v * c.mlaToSensor;
    if (!(bi > c.mainFocalLength)) return 0.0;
    return Model::distanceFromVirtualDepth(c, v);
}

double squareMmOf(const CCalibration& c, double squarePixels, double v) {
    const double z = distanceOf(c, v);
    // sceneFromVirtual: lateral mm = virtual-image mm * z / bi.
    return squarePixels * c.pixelSize * z / (c.mainLensToMla + v * c.mlaToSensor);
}

OpticsFit fitOptics(const CCalibration& start, const std::vector<PlateSample>& plates) {
    constexpr int n = kParams;
    std::set<double> distinct;
    for (const PlateSample& p : plates) distinct.insert(p.distance);
    const int least = kLeastPlates;
    if (static_cast<int>(distinct.size()) < least)
        throw OpticsFitError(std::to_string(distinct.size()) + " distinct distance" +
                             (distinct.size() == 1 ? "" : "s") + "; the fit needs at least " + std::to_string(least) +
                             " (8 spread over the range are better)");
    if (!(start.mainLensToMla > 0 && start.mlaToSensor > 0 && start.mainFocalLength > 0))
        throw OpticsFitError("the calibration has no main lens, MLA or focal length to start from");
    Params p = linearStart(start, plates);
    std::vector<double> r;
    if (!(p[0] > 0 && p[1] > 0) || !residuals(start, p, plates, r))
        throw OpticsFitError("the fit does not converge: virtual depths do not fall as the distances grow (B " +
                             Vy::FormatNumber(p[1] * start.mlaToSensor) + " mm); check the table");
    double cost = sumOfSquares(r);
    // Levenberg-Marquardt on the relative parameters, numeric derivatives.
    double lambda = 1e-3;
    int iteration = 0;
    for (; iteration < kMaxIterations; ++iteration) {
        // Forward differences, backward where a step forward leaves the cameras that image every plate.
        std::vector<std::vector<double>> jacobian(n);
        for (int k = 0; k < n; ++k) {
            constexpr double h = 1e-7;
            Params q = p;
            q[k] += h;
            double sign = 1.0;
            if (!residuals(start, q, plates, jacobian[k])) {
                q[k] = p[k] - h;
                sign = -1.0;
                if (!residuals(start, q, plates, jacobian[k]))
                    throw OpticsFitError(
                        "the fit does not converge: it reaches the edge of the cameras that image "
                        "every plate");
            }
            for (size_t i = 0; i < r.size(); ++i) jacobian[k][i] = sign * (jacobian[k][i] - r[i]) / h;
        }
        Matrix a{};
        Params g{};
        for (int k = 0; k < n; ++k) {
            for (int m = 0; m < n; ++m)
                for (size_t i = 0; i < r.size(); ++i) a[k][m] += jacobian[k][i] * jacobian[m][i];
            for (size_t i = 0; i < r.size(); ++i) g[k] -= jacobian[k][i] * r[i];
        }
        bool improved = false;
        double stepSize = 0;
        while (lambda < 1e12) {
            auto damped = a;
            for (int k = 0; k < n; ++k) damped[k][k] *= 1.0 + lambda;
            Params step{};
            if (!solve(damped, g, step)) {
                lambda *= 10;
                continue;
            }
            Params q = p;
            for (int k = 0; k < n; ++k) q[k] += step[k];
            std::vector<double> rq;
            if (q[0] > 0 && q[1] > 0 && residuals(start, q, plates, rq) && sumOfSquares(rq) <= cost) {
                stepSize = 0;
                for (int k = 0; k < n; ++k) stepSize = std::max(stepSize, std::abs(step[k]));
                p = q;
                r = rq;
                cost = sumOfSquares(rq);
                lambda = std::max(lambda / 10, 1e-12);
                improved = true;
                break;
            }
            lambda *= 10;
        }
        if (!improved || stepSize < kStepTolerance) break;
    }
    if (iteration >= kMaxIterations)
        throw OpticsFitError("the fit does not converge in " + std::to_string(kMaxIterations) + " steps");
    OpticsFit fit;
    fit.calibration = withParams(start, p);
    fit.iterations = iteration + 1;
    return fit;
}

}  // namespace Vy::Synth
