// Feeds arbitrary text through the log reader's row parser and the chart drawing.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ProfileChart.h"
#include "ProfileLogReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<Vy::Analysis::ProfileRow> rows;
    while (!text.empty() && rows.size() < 64) {
        const size_t end = text.find('\n');
        if (const auto row = Vy::Analysis::parseProfileRow(text.substr(0, end))) {
            rows.push_back(*row);
        }
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    Vy::Analysis::drawProfileChart(rows);
    return 0;
}
