// The depth in mm that a snapshot of the depth picture writes beside its PNGs: a
// 32-bit float TIFF turned like the picture (NaN where there is no depth) and its
// JSON sidecar, as `raystool render --depth` writes them.
//
// Threads: the main thread sets it up before the processor thread starts; then
// only the output thread reads it.
#pragma once

#include <string>
#include <vector>

#include "CCalibration.h"
#include "CVyImage.h"
#include "FrameInfo.h"
#include "Snapshot.h"

class DepthSnapshot {
public:
    // The calibration in use, the sensor pixels per depth pixel, the virtual depths the engine
    // searches (where the optics give no distance there, the file holds virtual depths and says
    // so) and the sequence's name for the sidecar.
    void setUp(const CCalibration& calibration, int outputScale, double searchedLow, double searchedHigh,
               const std::string& sequence);
    // The files for a snapshot of a frame with these virtual depths (32-bit float); none for
    // other images or before setUp.
    std::vector<Snapshot::Extra> files(const CVyImage& depth, const FrameInfo& info) const;

private:
    bool ready = false;
    CCalibration calibration;
    int scale = 1;
    std::string sequence;
    std::string virtualOnly;  // why the depths stay virtual; empty when they are in mm
};
