// The program's command line: two positional arguments (the sequence and the
// initial display type) and options that may stand before or after them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "DisplayType.h"
#include "LiveOptions.h"
#include "RunOptions.h"

struct CommandLine {
    std::vector<std::string> positional;  // the sequence path (not for a live run) and the display type, as given
    VyRunOptions options;
    LiveOptions live;
    bool help = false;
    std::string error;  // a malformed option; empty when the line parsed
};

CommandLine parseCommandLine(int argc, const char* const argv[]);

// The initial display type named by the second argument: "0" to "4"; none for anything else.
std::optional<DisplayType> displayTypeArgument(const std::string& text);

// The text --help prints.
std::string usageText();
