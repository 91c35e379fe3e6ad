#include "KeyValueText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "CVyException.h"
#include "TextFile.h"

namespace Vy {

namespace {

std::string_view Trim(std::string_view text) {
    const char* blanks = " \t\r\f\v";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t') || byte == 0x7F;
}

}  // namespace

std::string SourceLine(const std::string& source, int line) { return source + ":" + std::to_string(line); }

std::vector<KeyValueLine> ParseKeyValueText(std::string_view text, const std::string& source,
                                            const std::string& operation) {
    std::vector<KeyValueLine> entries;
    std::set<std::string, std::less<>> seen;
    int lineNumber = 0;
    for (std::string_view line : SplitLines(text)) {
        ++lineNumber;
        if (line.size() > kMaxKeyValueLineLength) {
            throw CVyException(operation, SourceLine(source, lineNumber),
                               "line longer than " + std::to_string(kMaxKeyValueLineLength) + " characters");
        }
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) {
            continue;
        }
        // A NUL or an escape sequence in a key or value would be cut or obeyed when a message shows it.
        if (std::any_of(line.begin(), line.end(), IsControl)) {
            throw CVyException(operation, SourceLine(source, lineNumber),
                               "line " + QuoteText(line) + " holds a control character");
        }
        const size_t equals = line.find('=');
        const std::string_view key =
            equals == std::string_view::npos ? std::string_view{} : Trim(line.substr(0, equals));
        if (key.empty() || key.find_first_of(" \t") != std::string_view::npos) {
            throw CVyException(operation, SourceLine(source, lineNumber), "malformed line (expected key = value)");
        }
        if (!seen.insert(std::string(key)).second) {
            throw CVyException(operation, SourceLine(source, lineNumber), "key " + QuoteText(key) + " given twice");
        }
        entries.push_back({std::string(key), std::string(Trim(line.substr(equals + 1))), lineNumber});
    }
    return entries;
}

bool ParseFiniteNumber(const std::string& text, double& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(parsed)) {
        return false;
    }
    value = parsed;
    return true;
}

std::string FormatNumber(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

}  // namespace Vy
