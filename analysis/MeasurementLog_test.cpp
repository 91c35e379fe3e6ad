#include "MeasurementLog.h"

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <fstream>
#include <sstream>

#include "TestFiles.h"
#include "WarningSink.h"

namespace Vy::Analysis {
namespace {

TEST(MeasurementLogRow, FieldWidthsPrecisionAndLength) {
    EXPECT_EQ(formatProfileRow(0, 12.5, 7, 2, 265.0).value(), "0,     12.500000,7,2,265.000000");
    EXPECT_EQ(formatProfileRow(3, 1234567890.5, 1, 0, 0.0).value(), "3,1234567890.500000,1,0,0.000000");
    EXPECT_EQ(formatProfileRow(-1, -1.25, -2, 5, 0.1234567).value(), "-1,     -1.250000,-2,5,0.123457");
    EXPECT_TRUE(formatProfileRow(1, 1.0, 1, 1, 1e200).has_value());  // 208 characters still fit
    EXPECT_FALSE(formatProfileRow(1, 1e200, 1, 1, 1e200).has_value());
}

TEST(MeasurementLogRow, FullStopEvenUnderACommaLocale) {
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr && std::setlocale(LC_NUMERIC, "de_DE.utf8") == nullptr) {
        GTEST_SKIP() << "no German locale installed";
    }
    const auto row = formatProfileRow(0, 12.5, 7, 2, 265.0);
    std::setlocale(LC_NUMERIC, previous.c_str());
    EXPECT_EQ(row.value(), "0,     12.500000,7,2,265.000000");
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

TEST_F(MeasurementLogFile, UnopenableFileStillPrintsRowAndLongRowOnlyWarns) {
    const auto missing = dir_ / "missing-dir" / "profile.csv";
    EXPECT_EQ(logAndRead(missing, 4.5), (std::array<std::string, 4>{"", "4,      1.000000,2,3,4.500000\n", "", ""}));
    EXPECT_FALSE(std::filesystem::exists(missing));

    const auto log = dir_ / "profile.csv";
    EXPECT_EQ(logAndRead(log, 1e300),
              (std::array<std::string, 4>{"", "", "", "measurement row too long for frame 4: not logged\n"}));
    EXPECT_FALSE(std::filesystem::exists(log));
}

}  // namespace
}  // namespace Vy::Analysis
