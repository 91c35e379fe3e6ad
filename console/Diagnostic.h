#pragma once

#include <string>

// Every diagnostic of the program that is not one of its regular console lines
// (progress, frame numbers, the summary) leaves through here, on standard error,
// one whole line at a time, so lines from different threads never interleave.
namespace Console {

// Writes text and a newline to standard error and flushes. Any thread.
void diagnostic(const std::string& text);

}  // namespace Console
