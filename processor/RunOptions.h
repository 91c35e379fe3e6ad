// Choices of one run that the command line can change.
#pragma once

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
};

// "CurrentSettings-2019-08-09.vyset" in the directory of the running executable.
std::string defaultSettingsPath();
