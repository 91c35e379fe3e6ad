// The per-particle table beside the measurement log: every outline of a frame
// with its position, size and, where the depth map has a value, its distance,
// lateral position and diameter in mm.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CCalibration.h"
#include "ParticleTracker.h"
#include "ProfileMeasurement.h"

namespace Vy::Analysis {

struct ParticleRow {
    int frameIndex = 0;
    int frameId = 0;
    double timeMs = 0.0;
    int number = 0;  // place of the outline in the frame's outline search
    BlobVerdict verdict = BlobVerdict::Accepted;
    // The outline reaches the image's edge: part of the particle may lie outside,
    // so its centre and size are biased and it gets no track.
    bool border = false;
    cv::Point2d centre;        // output pixels, pixel (i, j) covering [i, i+1) x [j, j+1)
    cv::Point2d turnedCentre;  // the centre in the output image turned by 180 degrees, as every picture shows it
    cv::Point2d sensorCentre;  // sensor pixels (lateral virtual position)
    double outlineArea = 0.0;  // px^2 of the output image, as the acceptance test saw it
    std::optional<cv::RotatedRect> ellipse;
    double diameterPx = 0.0;  // equivalent diameter of the blob's bright area, output pixels
    // From the depth map; none when no pixel of the blob has a valid depth.
    std::optional<double> virtualDepth;
    std::optional<double> distanceMm;
    std::optional<cv::Point2d> lateralMm;  // X, Y from the optical axis
    std::optional<double> diameterMm;
    int64_t trackId = -1;                 // accepted particles with a distance only
    std::optional<cv::Point3d> velocity;  // mm/s
    int velocityPositions = 0;            // positions of the track the velocity rests on
    std::optional<double> velocitySd;     // mm/s, standard error of the velocity
};

// Where the output grid lies on the sensor, how the camera images and where a blob ends.
struct TableGeometry {
    CCalibration calibration;
    int scale = 2;  // sensor pixels per output pixel
    // Where a blob's edge lies between its darkest and brightest pixel (see docs/measurement.md).
    double edgeShare = 0.35;
    // Virtual depth step that parts a particle's own depth from the surface behind it (see docs/measurement.md).
    double depthGap = 0.3;
};

// One row per outline of result, in its order. totalFocus16: CV_16UC1 image the
// outlines were found in; virtualDepth: CV_32FC1 of the same size (0 = invalid),
// or empty when there is none.
std::vector<ParticleRow> measureParticles(const cv::Mat& totalFocus16, const cv::Mat& virtualDepth,
                                          const std::vector<BlobRecord>& blobs, const TableGeometry& geometry);

// The depth of a blob from the valid depths of its bright pixels: their median, or,
// when they split at a step wider than gap into a far and a near part holding a
// quarter of them or more, the median of the near part. None for no depths.
std::optional<double> blobDepth(std::vector<float> depths, double gap);

// Gives the accepted rows with a distance, away from the border, their track ids and velocities; a frame
// without rows still counts, as a frame in which every track was missed.
void trackParticles(ParticleTracker& tracker, double timeMs, std::vector<ParticleRow>& rows);

const std::string& particleTableHeader();
// One line without its line end; empty fields where a value is unknown. recording: the
// sequence the row was measured on (the last column, quoted where it holds a comma or a quote).
std::string formatParticleRow(const ParticleRow& row, const std::string& recording = {});

// Appends the rows to fileName, starting a new file with the header line.
// False when the file could not be written (nothing partial is left in it).
bool appendParticleRows(const std::string& fileName, const std::vector<ParticleRow>& rows,
                        const std::string& recording = {});

// text as one CSV field: as it is, or in double quotes (doubled inside) where it holds a comma
// or a quote; control characters written as \xNN, so a field never splits a line.
std::string csvField(const std::string& text);

// "<measurement log name>.particles.csv"
std::string particleTableName(const std::string& logFileName);

}  // namespace Vy::Analysis
