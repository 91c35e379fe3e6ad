// The lines a terminal would show for the bytes a program wrote to it.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace Vy::Test {

// The lines a terminal shows for the bytes: carriage returns go back to the line's start,
// ESC [ K erases to its end, other escape sequences are left out.
inline std::vector<std::string> screenOf(const std::string& bytes) {
    std::vector<std::string> lines;
    std::string line;
    size_t column = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.push_back(line);
            line.clear();
            column = 0;
        } else if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            size_t end = i + 2;
            while (end < bytes.size() && !std::isalpha(static_cast<unsigned char>(bytes[end]))) ++end;
            if (end < bytes.size() && bytes[end] == 'K') line.resize(std::min(line.size(), column));
            i = end;
        } else {
            if (column >= line.size()) line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    lines.push_back(line);
    return lines;
}

}  // namespace Vy::Test
