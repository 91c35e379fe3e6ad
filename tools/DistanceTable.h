// The table of a calibration target's recording: which frame shows the plate at which distance.
// Lines "frame,distance_mm" (frames counted from 0 over the recordings in the order given); a
// first line that is not a number (a header), blank lines and lines from '#' on are skipped.
#pragma once

#include <string>
#include <vector>

namespace Vy::Synth {

struct DistanceEntry {
    long frame = 0;
    double distance = 0.0;  // mm in front of the main lens
    int line = 0;           // in the file, from 1
};

// Throws CVyException("fit-optics", path, "line N: ...") for a malformed line, a distance that is
// not positive or a frame listed twice, and for a table without entries.
std::vector<DistanceEntry> readDistanceTable(const std::string& path);

}  // namespace Vy::Synth
