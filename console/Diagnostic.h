#pragma once

#include <string>

// Every diagnostic of the program that is not one of its regular console lines
// (progress, frame numbers, the summary) leaves through here, on standard error,
// one whole line at a time, so lines from different threads never interleave.
namespace Console {

// Writes text (its control characters escaped) and a newline to standard error and flushes. Any thread.
void diagnostic(const std::string& text);
// The text with each control character written as an escape (\n, \r, \t, \xNN), so that
// a name holding one can neither split nor garble a one-line message.
std::string escapeControls(const std::string& text);

}  // namespace Console
