#include "MeasurementLog.h"
#include "ScratchDirTest.h"

#include <clocale>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace Vy::Analysis {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ConsoleText {
    std::string out;
    std::string err;
};

// Logs one row and returns what it printed.
ConsoleText logCapturingConsole(const fs::path& log, int frameNumber, double timeStamp, int frameId, int blobCount,
                                double areaFigure)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    logProfileRow(log.string(), frameNumber, timeStamp, frameId, blobCount, areaFigure);
    ConsoleText text;
    text.out = ::testing::internal::GetCapturedStdout();
    text.err = ::testing::internal::GetCapturedStderr();
    return text;
}

using MeasurementLogFile = ScratchDirTest;

TEST(MeasurementLogRow, FieldWidthsAndPrecision)
{
    EXPECT_EQ(formatProfileRow(0, 12.5, 7, 2, 265.0).value(), "0,     12.500000,7,2,265.000000");
    EXPECT_EQ(formatProfileRow(0, 12.5, 7, 2, 265.0)->size(), 31u);
    EXPECT_EQ(formatProfileRow(3, 1234567890.5, 1, 0, 0.0).value(), "3,1234567890.500000,1,0,0.000000");
    EXPECT_EQ(formatProfileRow(-1, -1.25, -2, 5, 0.1234567).value(), "-1,     -1.250000,-2,5,0.123457");
}

TEST(MeasurementLogRow, RowBeyond255CharactersRefused)
{
    EXPECT_FALSE(formatProfileRow(1, 1.0, 1, 1, 1e300).has_value());
    EXPECT_FALSE(formatProfileRow(1, 1e200, 1, 1, 1e200).has_value());
    EXPECT_TRUE(formatProfileRow(1, 1.0, 1, 1, 1e200).has_value());  // 208 characters still fit
}

TEST(MeasurementLogRow, FullStopEvenUnderACommaLocale)
{
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    const char* comma = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            comma = name;
            break;
        }
    }
    if (comma == nullptr) {
        GTEST_SKIP() << "no locale with a decimal comma installed";
    }
    const auto row = formatProfileRow(0, 12.5, 7, 2, 265.0);
    std::setlocale(LC_NUMERIC, previous.c_str());
    EXPECT_EQ(row.value(), "0,     12.500000,7,2,265.000000") << "under " << comma;
}

TEST_F(MeasurementLogFile, AppendsToExistingFileAndEchoesToConsole)
{
    const fs::path log = dir_ / "profile.csv";
    std::ofstream(log) << "earlier\n";

    ::testing::internal::CaptureStdout();
    logProfileRow(log.string(), 0, 12.5, 7, 2, 265.0);
    logProfileRow(log.string(), 1, 13.0, 8, 0, 0.0);
    const std::string console = ::testing::internal::GetCapturedStdout();

    const std::string rows = "0,     12.500000,7,2,265.000000\n1,     13.000000,8,0,0.000000\n";
    EXPECT_EQ(readFile(log), "earlier\n" + rows);
    EXPECT_EQ(console, rows);
}

TEST_F(MeasurementLogFile, UnopenableFileStillPrintsRow)
{
    const fs::path log = dir_ / "missing-dir" / "profile.csv";
    const ConsoleText console = logCapturingConsole(log, 4, 1.0, 2, 3, 4.5);
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(console.out, "4,      1.000000,2,3,4.500000\n");
    EXPECT_EQ(console.err, "");
}

TEST_F(MeasurementLogFile, TooLongRowWritesNothingAndSaysSo)
{
    const fs::path log = dir_ / "profile.csv";
    const ConsoleText console = logCapturingConsole(log, 9, 1.0, 2, 3, 1e300);
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(console.err, "measurement row too long for frame 9: not logged\n");
}

}  // namespace
}  // namespace Vy::Analysis
