// Where library code leaves the warnings it does not throw: a sequence file cut
// short, a measurement row too long to log, an image a view cannot show. Library
// code never prints them itself; the program installs its diagnostic helper as
// the sink at start, and without a sink they are dropped.
#pragma once

#include <functional>
#include <string>

namespace Vy {

// Receives one warning, a whole line without its line end.
using WarningSink = std::function<void(const std::string& line)>;

// Installs sink for every thread (an empty one: none) and returns the one it replaces.
WarningSink SetWarningSink(WarningSink sink);

// Hands line to the installed sink, if there is one. Any thread.
void Warn(const std::string& line);

}  // namespace Vy
