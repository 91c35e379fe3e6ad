// Reads back the CSV rows that logProfileRow writes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vy::Analysis {

struct ProfileRow {
    int frameNumber = 0;
    double timeStamp = 0.0;
    int frameId = 0;
    int blobCount = 0;
    double areaFigure = 0.0;
};

// One "frame,timestamp,frameId,blobCount,areaFigure" line; nullopt when it is not
// exactly five numbers (spaces around fields allowed; a time stamp may be "nan" or
// "inf", as a camera's may be, other non-finite values are refused).
std::optional<ProfileRow> parseProfileRow(std::string_view line);

// Appends the well-formed rows of csvPath to rows, skipping other lines. False
// with a one-line reason when the file cannot be read or holds too many lines.
bool readProfileLog(const std::string& csvPath, std::vector<ProfileRow>& rows, std::string& error);

}  // namespace Vy::Analysis
