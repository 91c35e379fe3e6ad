// Reads a small text file whole (settings files), refusing directories and
// files too large to be what they claim; splits text into lines and quotes
// file content for messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Vy {

// Throws CVyException(operation, path, reason): strerror text for a file that
// cannot be opened or read, "is a directory", "not a regular file", "file larger than N bytes".
std::string ReadTextFile(const std::string& path, size_t maxBytes, const std::string& operation);

// The lines of a text, without their ends: LF, CRLF and a lone CR (old Mac
// editors) each end a line. A last line without an end counts; an end at the
// very end of the text adds no empty line.
std::vector<std::string_view> SplitLines(std::string_view text);

// Text from a file as a message may show it: in single quotes, bytes that are
// not printable ASCII or UTF-8 (NUL, ESC, CR, ...) written as \xNN or \t, \r, \n,
// and cut with "..." once the quoted text is maxBytes long, so a binary file
// cannot flood a terminal.
std::string QuoteText(std::string_view text, size_t maxBytes = 80);

}  // namespace Vy
