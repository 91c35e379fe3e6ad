#include "DistanceTable.h"

#include <charconv>
#include <cmath>
#include <set>

#include "CVyException.h"
#include "TextFile.h"

namespace Vy::Synth {

namespace {

std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

template <typename T>
bool parse(const std::string& text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::vector<DistanceEntry> readDistanceTable(const std::string& path) {
    // A table of a few hundred plates is kilobytes; more is not a table.
    const std::string text = Vy::ReadTextFile(path, 1 << 20, "fit-optics");
    std::vector<DistanceEntry> entries;
    std::set<long> frames;
    int number = 0;
    bool first = true;
    for (const std::string_view view : Vy::SplitLines(text)) {
        std::string line(view);
        ++number;
        if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        line = trimmed(line);
        if (line.empty()) continue;
        const bool header = first;
        first = false;
        const size_t comma = line.find(',');
        DistanceEntry e;
        e.line = number;
        const bool ok = comma != std::string::npos && parse(trimmed(line.substr(0, comma)), e.frame) &&
                        parse(trimmed(line.substr(comma + 1)), e.distance);
        if (!ok) {
            if (header) continue;
            throw CVyException(
                "fit-optics", path,
                "line " + std::to_string(number) + ": " + Vy::QuoteText(line) + " is not frame,distance_mm");
        }
        const std::string where = "line " + std::to_string(number) + ": ";
        if (e.frame < 0) throw CVyException("fit-optics", path, where + "frame " + std::to_string(e.frame) + " < 0");
        if (!(e.distance > 0) || !std::isfinite(e.distance))
            throw CVyException("fit-optics", path, where + "the distance must be a positive number of mm");
        if (!frames.insert(e.frame).second)
            throw CVyException("fit-optics", path, where + "frame " + std::to_string(e.frame) + " is listed twice");
        entries.push_back(e);
    }
    if (entries.empty()) throw CVyException("fit-optics", path, "no frame,distance_mm lines");
    return entries;
}

}  // namespace Vy::Synth
