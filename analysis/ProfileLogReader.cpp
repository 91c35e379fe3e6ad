#include "ProfileLogReader.h"

#include <array>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "MeasurementLog.h"

namespace Vy::Analysis {
namespace {

// A profile run of a day at 100 frames a second stays well below this.
constexpr size_t kMaxLines = 10'000'000;
// Longer lines than the widest row the log writes are skipped without being stored.
constexpr std::streamsize kLineBufferSize = static_cast<std::streamsize>(kWidestProfileRow) + 64;

std::string_view trimmed(std::string_view field) {
    const auto first = field.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = field.find_last_not_of(" \t\r");
    return field.substr(first, last - first + 1);
}

// The whole field must be the number; from_chars ignores the locale. Floating-point
// fields must be finite unless anyValue ("nan", "inf" are numbers then).
template <typename Number>
bool parseField(std::string_view field, Number& value, bool anyValue = false) {
    field = trimmed(field);
    if (field.empty()) {
        return false;
    }
    const char* end = field.data() + field.size();
    const auto [stop, status] = std::from_chars(field.data(), end, value);
    if (status != std::errc() || stop != end) {
        return false;
    }
    if constexpr (std::is_floating_point_v<Number>) {
        return anyValue || std::isfinite(value);
    }
    return true;
}

}  // namespace

std::optional<ProfileRow> parseProfileRow(std::string_view line) {
    std::array<std::string_view, 5> fields;
    size_t count = 0;
    while (true) {
        const auto comma = line.find(',');
        if (count == fields.size()) {
            return std::nullopt;  // a sixth field
        }
        fields[count++] = line.substr(0, comma);
        if (comma == std::string_view::npos) {
            break;
        }
        line.remove_prefix(comma + 1);
    }
    ProfileRow row;
    if (count != fields.size() || !parseField(fields[0], row.frameNumber) ||
        !parseField(fields[1], row.timeStamp, true) || !parseField(fields[2], row.frameId) ||
        !parseField(fields[3], row.blobCount) || !parseField(fields[4], row.areaFigure)) {
        return std::nullopt;
    }
    return row;
}

bool readProfileLog(const std::string& csvPath, std::vector<ProfileRow>& rows, std::string& error) {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(csvPath, ignored)) {
        error = csvPath + ": cannot read measurement log (no such file)";
        return false;
    }
    std::ifstream in(csvPath);
    if (!in) {
        error = csvPath + ": cannot read measurement log";
        return false;
    }
    std::array<char, kLineBufferSize> line;
    size_t lines = 0;
    while (in.getline(line.data(), kLineBufferSize) || (in.fail() && !in.eof() && !in.bad())) {
        if (++lines > kMaxLines) {
            error = csvPath + ": measurement log has more than " + std::to_string(kMaxLines) + " lines";
            return false;
        }
        if (in.fail()) {  // line longer than the buffer: drop the rest of it
            in.clear();
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            continue;
        }
        if (const auto row = parseProfileRow(std::string_view(line.data()))) {
            rows.push_back(*row);
        }
    }
    if (in.bad()) {
        error = csvPath + ": read error in measurement log";
        return false;
    }
    return true;
}

}  // namespace Vy::Analysis
