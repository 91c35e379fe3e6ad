// Choices of one run that the command line can change.
#pragma once

#include <cstdint>
#include <string>

struct VyRunOptions {
    // Where recordings and logs go (the program's output drive).
    std::string outputDir = ".";
    // The processing settings; empty means the file beside the executable.
    std::string settingsPath;
    // Publish each result over LCM instead of showing and recording it.
    bool lcmOutput = false;
    // No viewer window even when a display is present.
    bool noWindow = false;
    // Frames are read at the recording's own rate (their time stamps), not as fast as they go.
    bool realtime = false;
    // The frames replayed: from this index of the sequence (0 first), at most count of them (0: to the end).
    uint64_t firstFrame = 0;
    uint64_t frameCount = 0;
    // The first frame is shown and the run waits, paused, for p or n.
    bool startPaused = false;
    // Names the outputs in place of the sequence path and the log's time: "<name>.mp4",
    // "VyProc_<name>.csv", "<name>-frame..."; empty keeps those names.
    std::string runName;
};

// "CurrentSettings-2019-08-09.vyset" in the directory of the running executable.
std::string defaultSettingsPath();
