#include "MeasurementLog.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "CLocaleScope.h"
#include "WarningSink.h"

namespace Vy::Analysis {
namespace {

constexpr size_t kRowBufferSize = 256;

}  // namespace

bool appendWhole(const std::string& fileName, const std::string& text) {
    std::error_code missing;
    const std::uintmax_t sizeBefore = std::filesystem::file_size(fileName, missing);
    std::ofstream file(fileName, std::ios::out | std::ios::app);
    if (!file) {
        return false;
    }
    file << text;
    file.flush();
    file.close();
    if (file.fail()) {
        // A full disk may have taken part of the row: take it back, so the log
        // holds whole rows only and the next row does not continue a broken one.
        std::error_code ignored;
        std::filesystem::resize_file(fileName, missing ? 0 : sizeBefore, ignored);
        return false;
    }
    return true;
}

std::optional<std::string> formatProfileRow(int frameNumber, double timeStamp, int frameId, int blobCount,
                                            double areaFigure) {
    const CLocaleScope cLocale;  // only fails without memory; the row then uses the current locale
    char buffer[kRowBufferSize];
    const int length = std::snprintf(buffer, sizeof buffer, "%d,%14.6f,%d,%d,%f", frameNumber, timeStamp, frameId,
                                     blobCount, areaFigure);
    if (length < 0 || static_cast<size_t>(length) >= sizeof buffer) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<size_t>(length));
}

void logProfileRow(const std::string& fileName, int frameNumber, double timeStamp, int frameId, int blobCount,
                   double areaFigure) {
    try {
        const std::optional<std::string> row = formatProfileRow(frameNumber, timeStamp, frameId, blobCount, areaFigure);
        if (!row) {
            Vy::Warn("measurement row too long for frame " + std::to_string(frameNumber) + ": not logged");
            return;
        }
        appendWhole(fileName, *row + '\n');
        std::cout << *row << '\n';
        std::cout.flush();
    } catch (...) {
        // Logging must never stop the processing of frames.
    }
}

}  // namespace Vy::Analysis
