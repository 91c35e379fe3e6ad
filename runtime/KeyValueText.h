// The "key = value" text shared by settings files and calibration blocks:
// one entry a line (LF, CRLF or a lone CR ends it), '#' starts a comment
// (whole line or trailing), blank lines are skipped, whitespace around key and
// value is trimmed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Vy {

struct KeyValueLine {
    std::string key;
    std::string value;
    int line = 0;  // 1-based
};

constexpr size_t kMaxKeyValueLineLength = 4096;

// Splits text into entries in file order. Throws CVyException(operation,
// "<source>:<line>", reason) for a malformed line, an over-long line, a line
// holding a control character (NUL, ESC, ...; tabs are blanks) or a key given twice.
std::vector<KeyValueLine> ParseKeyValueText(std::string_view text, const std::string& source,
                                            const std::string& operation);

// A finite number written out in full (strtod syntax, nothing left over).
bool ParseFiniteNumber(const std::string& text, double& value);

// Short form of a number for messages ("0.5", "1e+06").
std::string FormatNumber(double value);

// "<source>:<line>", the subject of an error in a text.
std::string SourceLine(const std::string& source, int line);

}  // namespace Vy
