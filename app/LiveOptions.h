// What a live run is asked for on the command line.
#pragma once

#include <cstdint>
#include <string>

#include "AravisCamera.h"

struct LiveOptions {
    std::string cameraAddress;    // empty: a replay
    std::string calibrationPath;  // a sequence (its calibration and white image) or a calibration block
    Vy::Live::CameraSettings camera;
    uint64_t frames = 0;  // the run ends in order after this many frames (0: until stopped)
};
