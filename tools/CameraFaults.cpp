#include "CameraFaults.h"

#include <cstdio>

#include "CVyException.h"

namespace Vy::Synth {

namespace {
std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}
}  // namespace

CameraFaults CameraFaults::realistic() {
    CameraFaults f;
    f.blackLevel = 16.0;
    f.blackNoise = 0.4;
    f.prnu = 0.01;
    f.dsnu = 0.4;
    f.hotPixels = 2e-4;
    f.deadPixels = 1e-4;
    f.strayLight = 0.03;
    f.crosstalk = 0.02;
    f.crosstalkRadius = 3.0;
    f.lensSpread = 0.1;
    f.focalSpread = 0.01;
    f.distortion = -0.005;
    return f;
}

bool CameraFaults::sensorFaults() const {
    return blackLevel != 0.0 || blackNoise != 0.0 || prnu != 0.0 || dsnu != 0.0 || hotPixels != 0.0 ||
           deadPixels != 0.0 || strayLight != 0.0 || crosstalk != 0.0;
}

bool CameraFaults::lensFaults() const { return lensSpread != 0.0 || focalSpread != 0.0; }

bool CameraFaults::opticsOff() const { return bError != 0.0 || mainDistanceError != 0.0; }

const std::vector<FaultOption>& faultOptions() {
    static const std::vector<FaultOption> options = {
        {"black-level", &CameraFaults::blackLevel, 0.0, 64.0, "levels (8-bit units) read in the dark"},
        {"black-noise", &CameraFaults::blackNoise, 0.0, 8.0, "levels, per-row offset drawn each frame"},
        {"prnu", &CameraFaults::prnu, 0.0, 0.2, "relative spread of pixel gains"},
        {"dsnu", &CameraFaults::dsnu, 0.0, 8.0, "levels, spread of pixel dark offsets"},
        {"hot-pixels", &CameraFaults::hotPixels, 0.0, 0.01, "share of pixels with a large dark signal"},
        {"dead-pixels", &CameraFaults::deadPixels, 0.0, 0.01, "share of pixels blind to light"},
        {"stray-light", &CameraFaults::strayLight, 0.0, 0.5, "glow, share of the frame's mean exposure"},
        {"crosstalk", &CameraFaults::crosstalk, 0.0, 0.3, "share of a pixel's light spread around it"},
        {"crosstalk-radius", &CameraFaults::crosstalkRadius, 0.5, 12.0, "px, spread of that light"},
        {"lens-spread", &CameraFaults::lensSpread, 0.0, 2.0, "px, spread of lens centres about the grid"},
        {"focal-spread", &CameraFaults::focalSpread, 0.0, 0.1, "relative spread of microlens focal lengths"},
        {"distortion", &CameraFaults::distortion, -0.05, 0.05, "main lens radial distortion at the corner"},
        {"b-error", &CameraFaults::bError, -0.1, 0.1, "share B (MLA to sensor) is off its design"},
        {"main-distance-error", &CameraFaults::mainDistanceError, -0.1, 0.1, "share main lens to MLA is off"},
    };
    return options;
}

void setFault(CameraFaults& faults, const std::string& name, double value) {
    for (const FaultOption& o : faultOptions()) {
        if (name != o.name) continue;
        if (!(value >= o.minimum && value <= o.maximum))
            throw CVyException("create", "--" + name + " " + number(value),
                               "must be " + number(o.minimum) + ".." + number(o.maximum));
        faults.*o.member = value;
        return;
    }
    throw CVyException("create", "--" + name, "unknown camera fault");
}

}  // namespace Vy::Synth
