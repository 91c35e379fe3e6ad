// Faults of real sensors and optics the synthetic camera can render, so an
// engine can be tried on frames as dirty as a real capture. All zero is the
// clean camera; levels are in 8-bit units like the rest of RenderOptions.
#pragma once

#include <string>
#include <vector>

namespace Vy::Synth {

struct CameraFaults {
    double blackLevel = 0.0;       // levels every pixel reads in the dark
    double blackNoise = 0.0;       // levels, spread of a per-row offset drawn anew each frame (line noise)
    double prnu = 0.0;             // relative spread of the pixels' gains (photo-response non-uniformity)
    double dsnu = 0.0;             // levels, spread of the pixels' dark offsets (dark-signal non-uniformity)
    double hotPixels = 0.0;        // share of pixels with a large dark signal (30..220 levels)
    double deadPixels = 0.0;       // share of pixels blind to light
    double strayLight = 0.0;       // glow over the whole sensor, as a share of the frame's mean exposure
    double crosstalk = 0.0;        // share of each pixel's light that lands on its surroundings
    double crosstalkRadius = 3.0;  // px, spread (Gaussian sigma) of that light
    double lensSpread = 0.0;       // px, spread of the lens centres about the nominal grid
    double focalSpread = 0.0;      // relative spread of the microlens focal lengths
    double distortion = 0.0;       // radial distortion of the main lens at the sensor corner (< 0: barrel)
    // Optics off their design, as share of the design's value: B (MLA to sensor) and the main lens's
    // distance to the MLA. The camera is built so; the calibration it writes keeps the design's.
    double bError = 0.0;
    double mainDistanceError = 0.0;

    // A camera as dirty as a good real one; the `realistic` preset's.
    static CameraFaults realistic();
    bool sensorFaults() const;  // any fault applied to the exposure or the converted signal
    bool lensFaults() const;    // spreads of the microlenses
    bool opticsOff() const;     // optics other than the design's
};

// An option of `raystool create` that sets one fault.
struct FaultOption {
    const char* name;  // without the leading "--"
    double CameraFaults::*member;
    double minimum, maximum;
    const char* help;
};
const std::vector<FaultOption>& faultOptions();

// Sets the fault of option `name` (without "--"); throws CVyException for an
// unknown name or a value outside the option's range.
void setFault(CameraFaults& faults, const std::string& name, double value);

}  // namespace Vy::Synth
