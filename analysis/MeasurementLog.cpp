#include "MeasurementLog.h"

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <locale.h>

namespace Vy::Analysis {
namespace {

constexpr size_t kRowBufferSize = 256;

// Switches this thread to the "C" locale for as long as it lives, so that
// snprintf writes a full stop whatever setlocale the program called.
class CLocaleScope {
public:
    CLocaleScope()
        : cLocale_(newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0)))
    {
        if (cLocale_ != static_cast<locale_t>(0)) {
            previous_ = uselocale(cLocale_);
        }
    }
    ~CLocaleScope()
    {
        if (cLocale_ != static_cast<locale_t>(0)) {
            uselocale(previous_);
            freelocale(cLocale_);
        }
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    locale_t cLocale_;
    locale_t previous_ = static_cast<locale_t>(0);
};

void appendToFile(const std::string& fileName, const std::string& row)
{
    std::error_code missing;
    const std::uintmax_t sizeBefore = std::filesystem::file_size(fileName, missing);
    std::ofstream file(fileName, std::ios::out | std::ios::app);
    if (!file) {
        return;
    }
    file << row << '\n';
    file.flush();
    file.close();
    if (file.fail()) {
        // A full disk may have taken part of the row: take it back, so the log
        // holds whole rows only and the next row does not continue a broken one.
        std::error_code ignored;
        std::filesystem::resize_file(fileName, missing ? 0 : sizeBefore, ignored);
    }
}

}  // namespace

std::optional<std::string> formatProfileRow(int frameNumber, double timeStamp, int frameId, int blobCount,
                                            double areaFigure)
{
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
                   double areaFigure)
{
    try {
        const std::optional<std::string> row = formatProfileRow(frameNumber, timeStamp, frameId, blobCount, areaFigure);
        if (!row) {
            std::cerr << "measurement row too long for frame " << frameNumber << ": not logged" << std::endl;
            return;
        }
        appendToFile(fileName, *row);
        std::cout << *row << '\n';
        std::cout.flush();
    } catch (...) {
        // Logging must never stop the processing of frames.
    }
}

}  // namespace Vy::Analysis
