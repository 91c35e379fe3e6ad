// The camera model of a focused light-field camera: a thin main lens and a
// hexagonal microlens array (MLA) in front of the sensor. The geometry is
// described in docs/camera-model.md; every field is one key of the
// calibration block of a sequence file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CCalibration {
public:
    // Version 2 added exitPupilDistance; version 1 blocks read with it 0.
    // Version 3 added microlens types; older blocks read as one type.
    static constexpr int kCurrentVersion = 3;
    // Most microlens types an array may have (commercial multi-focus arrays have three).
    static constexpr int kMaxLensTypes = 3;

    // The version read; ToText writes the lowest that holds the block (2, or 3 with lens types).
    int version = 2;
    // Sensor
    int32_t sensorWidth = 0;   // pixels
    int32_t sensorHeight = 0;  // pixels
    double pixelSize = 0.0;    // mm
    // Microlens array: lens (k, l) centre = offset + pitch * R(rotation) * (k + (l mod 2)/2, l*sqrt(3)/2)
    std::string gridType = "hex";
    double lensPitch = 0.0;             // pixels between neighbouring lens centres
    double gridRotation = 0.0;          // radians
    double gridOffsetX = 0.0;           // pixels, centre of lens (0, 0)
    double gridOffsetY = 0.0;           // pixels
    double microImageRadius = 0.0;      // pixels, radius of the usable micro-image
    double mlaToSensor = 0.0;           // B, mm
    double microLensFocalLength = 0.0;  // mm, of type 0 (the only type of a single-focus array)
    // Multi-focus arrays: microLensTypes kinds of microlens with their own focal
    // lengths (type 1 and 2 in microLensFocalLength1, 2), interleaved on the grid
    // so that no lens has a neighbour of its own type (Vy::Model::lensType);
    // lensTypeOffset shifts which type lens (0, 0) has.
    int32_t microLensTypes = 1;
    double microLensFocalLength1 = 0.0;  // mm, type 1 when microLensTypes >= 2
    double microLensFocalLength2 = 0.0;  // mm, type 2 when microLensTypes == 3
    int32_t lensTypeOffset = 0;          // 0 .. microLensTypes - 1
    // Main lens
    double mainFocalLength = 0.0;       // mm
    double mainLensToMla = 0.0;         // mm
    double mainApertureDiameter = 0.0;  // mm
    double principalX = 0.0;            // pixels, where the optical axis meets the sensor
    double principalY = 0.0;            // pixels
    // Distance (mm) of the main lens's exit pupil in front of the MLA. Each
    // micro-image is the image of that pupil through its microlens, centred
    // B / exitPupilDistance further out from the optical axis than its lens
    // centre; 0 = unknown, micro-image centres are taken as the lens centres.
    double exitPupilDistance = 0.0;
    // Usable virtual depth v = a / B (a: distance of the virtual image from the MLA)
    double virtualDepthMin = 0.0;
    double virtualDepthMax = 0.0;
    // Sensor faults, written only when known. The black level is in the raw
    // frame's stored sample units (what a pixel reads without light); below 0 it
    // is unknown and the engine estimates it from the gaps between micro-images.
    double blackLevel = -1.0;
    // Pixels (x, y) known to be defective; the engine fills them from their neighbours.
    std::vector<std::pair<int32_t, int32_t>> defectivePixels;

    // Focal length (mm) of microlens type 0 .. microLensTypes - 1.
    double LensFocalLength(int type) const;

    // True once a calibration was loaded or set up.
    bool IsValid() const;
    // One-line reason why the model is not usable; empty when it is.
    std::string Problem() const;

    // The versioned "key = value" text block.
    std::string ToText() const;
    // Parses a text block; throws CVyException naming source and line on a
    // malformed line, an unknown key, a bad value or an unsupported version.
    static CCalibration FromText(const std::string& text, const std::string& source);
};
