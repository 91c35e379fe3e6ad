// One CSV row per measured frame, appended to the log file and echoed to the console.
#pragma once

#include <string>

namespace Vy::Analysis {

// "frame,timestamp,frameId,blobCount,areaFigure" with a full stop as decimal point
// whatever the program's locale, as wide as the values need (at most
// kWidestProfileRow characters, for time stamps and area figures near 1.8e308).
std::string formatProfileRow(int frameNumber, double timeStamp, int frameId, int blobCount, double areaFigure);
constexpr size_t kWidestProfileRow = 700;

// Appends text to fileName in one write; a write cut short (a full disk) is
// taken back, so the file only ever holds whole rows. False when it failed.
bool appendWhole(const std::string& fileName, const std::string& text);

// Appends the row to fileName, then prints it to stdout (whether or not it was
// written). Returns whether the row reached the file; never throws.
bool logProfileRow(const std::string& fileName, int frameNumber, double timeStamp, int frameId, int blobCount,
                   double areaFigure);

}  // namespace Vy::Analysis
