#include "ProfileChart.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "MeasurementLog.h"
#include "ScratchDirTest.h"

namespace Vy::Analysis {
namespace {

namespace fs = std::filesystem;

TEST(ProfileLogReaderRow, ReadsWhatTheLogWrites)
{
    const auto row = parseProfileRow(formatProfileRow(12, -1.25, 40, 7, 33.5).value());
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->frameNumber, 12);
    EXPECT_DOUBLE_EQ(row->timeStamp, -1.25);
    EXPECT_EQ(row->frameId, 40);
    EXPECT_EQ(row->blobCount, 7);
    EXPECT_DOUBLE_EQ(row->areaFigure, 33.5);
    EXPECT_TRUE(parseProfileRow("1, 2.5 ,3,4,5\r").has_value());
}

TEST(ProfileLogReaderRow, RefusesMalformedLines)
{
    for (const char* line : {"", "frame,time,id,count,area", "1,2,3,4", "1,2,3,4,5,6", "1,2,x,4,5", "1,2,3,4,5x",
                             "1,2,3,4,", "1,2,3.5,4,5", "1,2,3,4,nan", "1,inf,3,4,5", "99999999999,2,3,4,5"}) {
        EXPECT_FALSE(parseProfileRow(line).has_value()) << '"' << line << '"';
    }
}

class ProfileChartFiles : public ScratchDirTest {
protected:
    fs::path writeCsv(const std::string& text)
    {
        const fs::path csv = dir_ / "profile.csv";
        std::ofstream(csv) << text;
        return csv;
    }
};

TEST_F(ProfileChartFiles, SkipsMalformedLinesAndLongLines)
{
    const fs::path csv = writeCsv("header\n0,1.0,1,2,3.0\n" + std::string(5000, '7') + "\nbad\n1,2.0,2,3,4.0\n2,3.0,3,4,5.0");
    std::vector<ProfileRow> rows;
    std::string error;
    ASSERT_TRUE(readProfileLog(csv.string(), rows, &error)) << error;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].blobCount, 2);
    EXPECT_EQ(rows[2].frameNumber, 2);  // last line without a newline still counts
}

TEST_F(ProfileChartFiles, WritesReadablePngOfChartSize)
{
    std::string csvText;
    for (int frame = 0; frame < 50; ++frame) {
        csvText += formatProfileRow(frame, frame * 0.04, frame + 100, frame % 7, 20.0 + frame).value() + "\n";
    }
    const fs::path csv = writeCsv(csvText);
    const fs::path png = dir_ / "profile.csv.png";
    std::string error;
    ASSERT_TRUE(writeProfileChart(csv.string(), png.string(), &error)) << error;
    const cv::Mat chart = cv::imread(png.string(), cv::IMREAD_COLOR);
    ASSERT_FALSE(chart.empty());
    EXPECT_EQ(chart.cols, kProfileChartWidth);
    EXPECT_EQ(chart.rows, kProfileChartHeight);
}

// Blue (count) and red (area) pixels inside the given part of the chart.
std::pair<int, int> seriesPixels(const cv::Mat& chart, const cv::Rect& part)
{
    cv::Mat blue, red;
    cv::inRange(chart(part), cv::Scalar(150, 0, 0), cv::Scalar(255, 110, 110), blue);
    cv::inRange(chart(part), cv::Scalar(0, 0, 150), cv::Scalar(110, 110, 255), red);
    return {cv::countNonZero(blue), cv::countNonZero(red)};
}

TEST(ProfileChartDrawing, SeriesUseTheirOwnScales)
{
    // Count rises 0 -> 10 while the area figure falls 5000 -> 0: both must span the plot height.
    const std::vector<ProfileRow> rows = {{10, 0.0, 0, 10, 0.0}, {0, 0.0, 0, 0, 5000.0}};  // out of frame order
    const cv::Mat chart = drawProfileChart(rows);
    ASSERT_EQ(chart.size(), cv::Size(kProfileChartWidth, kProfileChartHeight));
    const int midX = kProfileChartWidth / 2, midY = kProfileChartHeight / 2;
    const cv::Rect topLeft(100, 50, midX - 150, midY - 60), topRight(midX + 50, 50, midX - 150, midY - 60);
    const cv::Rect bottomLeft(100, midY + 10, midX - 150, midY - 80), bottomRight(midX + 50, midY + 10, midX - 150, midY - 80);
    EXPECT_GT(seriesPixels(chart, bottomLeft).first, 0);
    EXPECT_GT(seriesPixels(chart, topRight).first, 0);
    EXPECT_GT(seriesPixels(chart, topLeft).second, 0);
    EXPECT_GT(seriesPixels(chart, bottomRight).second, 0);
}

TEST_F(ProfileChartFiles, FailsWithReasonWhenNothingToChart)
{
    const fs::path png = dir_ / "chart.png";
    std::string error;
    EXPECT_FALSE(writeProfileChart(writeCsv("only,a header\n").string(), png.string(), &error));
    EXPECT_NE(error.find("no measurement rows"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(png));

    error.clear();
    EXPECT_FALSE(writeProfileChart((dir_ / "absent.csv").string(), png.string(), &error));
    EXPECT_NE(error.find("absent.csv"), std::string::npos) << error;

    error.clear();
    const fs::path csv = writeCsv("0,1.0,1,2,3.0\n");
    EXPECT_FALSE(writeProfileChart(csv.string(), (dir_ / "no-dir" / "chart.png").string(), &error));
    EXPECT_NE(error.find("chart.png"), std::string::npos) << error;
    EXPECT_FALSE(writeProfileChart(csv.string(), (dir_ / "chart.unknown").string(), nullptr));
}

}  // namespace
}  // namespace Vy::Analysis
