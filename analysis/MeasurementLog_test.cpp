#include "MeasurementLog.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <clocale>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "TestFiles.h"
#include "WarningSink.h"

namespace Vy::Analysis {
namespace {

TEST(MeasurementLogRow, FieldWidthsPrecisionAndLength) {
    EXPECT_EQ(formatProfileRow(0, 12.5, 7, 2, 265.0), "0,     12.500000,7,2,265.000000");
    EXPECT_EQ(formatProfileRow(3, 1234567890.5, 1, 0, 0.0), "3,1234567890.500000,1,0,0.000000");
    EXPECT_EQ(formatProfileRow(-1, -1.25, -2, 5, 0.1234567), "-1,     -1.250000,-2,5,0.123457");
    EXPECT_EQ(formatProfileRow(1, std::nan(""), 1, 1, 2.0), "1,           nan,1,1,2.000000");
    // The widest values give the widest row, still whole.
    const double widest = -std::numeric_limits<double>::max();
    const std::string row = formatProfileRow(INT_MIN, widest, INT_MIN, INT_MIN, widest);
    EXPECT_GT(row.size(), 600u);
    EXPECT_LE(row.size(), kWidestProfileRow);
    EXPECT_EQ(row.substr(row.size() - 7), ".000000");
}

TEST(MeasurementLogRow, FullStopEvenUnderACommaLocale) {
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr && std::setlocale(LC_NUMERIC, "de_DE.utf8") == nullptr) {
        GTEST_SKIP() << "no German locale installed";
    }
    const auto row = formatProfileRow(0, 12.5, 7, 2, 265.0);
    std::setlocale(LC_NUMERIC, previous.c_str());
    EXPECT_EQ(row, "0,     12.500000,7,2,265.000000");
}

// Logs one row; returns the file's text, stdout, stderr and the warnings it handed to the sink.
std::array<std::string, 4> logAndRead(const std::filesystem::path& log, double areaFigure) {
    std::string warned;
    const WarningSink previous = SetWarningSink([&](const std::string& line) { warned += line + "\n"; });
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    logProfileRow(log.string(), 4, 1.0, 2, 3, areaFigure);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    SetWarningSink(previous);
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    return {text.str(), out, err, warned};
}

using MeasurementLogFile = Vy::Test::ScratchDirTest;

TEST_F(MeasurementLogFile, AppendsToExistingFileAndEchoesToConsole) {
    const auto log = dir_ / "profile.csv";
    std::ofstream(log) << "earlier\n";
    logAndRead(log, 4.5);
    const std::string row = "4,      1.000000,2,3,4.500000\n";
    EXPECT_EQ(logAndRead(log, 4.5), (std::array<std::string, 4>{"earlier\n" + row + row, row, "", ""}));
}

TEST_F(MeasurementLogFile, UnopenableFileStillPrintsRowAndAWideRowIsLoggedWhole) {
    const auto missing = dir_ / "missing-dir" / "profile.csv";
    EXPECT_EQ(logAndRead(missing, 4.5), (std::array<std::string, 4>{"", "4,      1.000000,2,3,4.500000\n", "", ""}));
    EXPECT_FALSE(std::filesystem::exists(missing));

    const auto log = dir_ / "profile.csv";
    const std::string row = formatProfileRow(4, 1.0, 2, 3, 1e300) + "\n";
    EXPECT_EQ(logAndRead(log, 1e300), (std::array<std::string, 4>{row, row, "", ""}));
}

}  // namespace
}  // namespace Vy::Analysis
