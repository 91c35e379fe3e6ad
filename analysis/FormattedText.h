// printf-style text of whatever length the values need: a row is written whole
// or, when formatting fails, not at all, never cut at a buffer's end.
#pragma once

#include <cstdio>
#include <string>

namespace Vy::Analysis {

// Empty when the format cannot be applied. The decimal point is the locale's:
// callers that write files hold a CLocaleScope.
template <typename... Values>
std::string formattedText(const char* format, Values... values) {
    const int length = std::snprintf(nullptr, 0, format, values...);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, format, values...);
    return text;
}

}  // namespace Vy::Analysis
