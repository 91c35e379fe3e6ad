// What an output needs to know of a frame besides its samples: the number the
// console shows, the raw frame's time and id, whether it is a paused frame
// shown again, and the display type it was made in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "DisplayType.h"
#include "ProfileMeasurement.h"

struct FrameInfo {
    // The frame number on the console: frames done before this one (a frame shown again keeps its number).
    int32_t number = 0;
    // The raw frame's time stamp (ms) and id, as the sequence gave them.
    double timeStamp = 0.0;
    int32_t frameId = 0;
    // A paused frame computed again (type change, refocus, snapshot): shown, neither recorded nor counted.
    bool again = false;
    DisplayType type = DisplayType::Profile;
    // A snapshot of this frame is wanted: the output thread names it once the frame has its number.
    bool snapshot = false;
    // Where the snapshot of this frame goes (see Snapshot::baseName); empty when none is wanted.
    std::string snapshotBase;
    // A profile frame's outlines, for the window's legend; none for other frames.
    std::optional<Vy::Analysis::OutlineCounts> outlines;
};
