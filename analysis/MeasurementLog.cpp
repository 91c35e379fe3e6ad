#include "MeasurementLog.h"

#include <filesystem>
#include <fstream>
#include <iostream>

#include "CLocaleScope.h"
#include "FormattedText.h"

namespace Vy::Analysis {

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

std::string formatProfileRow(int frameNumber, double timeStamp, int frameId, int blobCount, double areaFigure) {
    const CLocaleScope cLocale;  // only fails without memory; the row then uses the current locale
    return formattedText("%d,%14.6f,%d,%d,%f", frameNumber, timeStamp, frameId, blobCount, areaFigure);
}

bool logProfileRow(const std::string& fileName, int frameNumber, double timeStamp, int frameId, int blobCount,
                   double areaFigure) {
    try {
        const std::string row = formatProfileRow(frameNumber, timeStamp, frameId, blobCount, areaFigure);
        const bool written = appendWhole(fileName, row + '\n');
        std::cout << row << '\n';
        std::cout.flush();
        return written;
    } catch (...) {
        // Logging must never stop the processing of frames; the caller counts the row as missing.
        return false;
    }
}

}  // namespace Vy::Analysis
