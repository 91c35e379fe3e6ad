// One CSV row per measured frame, appended to the log file and echoed to the console.
#pragma once

#include <optional>
#include <string>

namespace Vy::Analysis {

// "frame,timestamp,frameId,blobCount,areaFigure" with a full stop as decimal point
// whatever the program's locale; nullopt when the row would exceed 255 characters.
std::optional<std::string> formatProfileRow(int frameNumber, double timeStamp, int frameId, int blobCount,
                                            double areaFigure);

// Appends text to fileName in one write; a write cut short (a full disk) is
// taken back, so the file only ever holds whole rows. False when it failed.
bool appendWhole(const std::string& fileName, const std::string& text);

// Appends the row to fileName (failures to open or write are ignored), then prints
// it to stdout. A row too long to format is refused with one warning (Vy::Warn). Never throws.
void logProfileRow(const std::string& fileName, int frameNumber, double timeStamp, int frameId, int blobCount,
                   double areaFigure);

}  // namespace Vy::Analysis
