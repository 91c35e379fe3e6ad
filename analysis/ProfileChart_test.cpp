#include "ProfileChart.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "MeasurementLog.h"
#include "ParticleTable.h"
#include "ParticleTableReader.h"
#include "TestFiles.h"
#include "WarningSink.h"

namespace Vy::Analysis {
namespace {

TEST(ProfileLogReaderRow, ReadsWhatTheLogWritesAndRefusesMalformedLines) {
    const auto row = parseProfileRow(formatProfileRow(12, -1.25, 40, 7, 33.5));
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->frameNumber, 12);
    EXPECT_DOUBLE_EQ(row->timeStamp, -1.25);
    EXPECT_EQ(row->frameId, 40);
    EXPECT_EQ(row->blobCount, 7);
    EXPECT_DOUBLE_EQ(row->areaFigure, 33.5);
    EXPECT_TRUE(parseProfileRow("1, 2.5 ,3,4,5\r").has_value());
    // A camera's time stamp may be anything; it is kept as it was written.
    EXPECT_TRUE(std::isnan(parseProfileRow(formatProfileRow(1, std::nan(""), 2, 3, 4.0)).value().timeStamp));
    EXPECT_TRUE(std::isinf(parseProfileRow("1,-inf,3,4,5").value().timeStamp));
    const double widest = -std::numeric_limits<double>::max();
    const auto wide = parseProfileRow(formatProfileRow(1, widest, 2, 3, widest));
    ASSERT_TRUE(wide.has_value());
    EXPECT_EQ(wide->timeStamp, widest);
    EXPECT_EQ(wide->areaFigure, widest);
    for (const char* line : {"", "frame,time,id,count,area", "1,2,3,4", "1,2,3,4,5,6", "1,2,x,4,5", "1,2,3,4,5x",
                             "1,2,3,4,", "1,2,3.5,4,5", "1,2,3,4,nan", "1,2,3,4,inf", "99999999999,2,3,4,5"}) {
        EXPECT_FALSE(parseProfileRow(line).has_value()) << '"' << line << '"';
    }
}

class ProfileChartFiles : public Vy::Test::ScratchDirTest {
protected:
    std::string csvWith(const std::string& text) {
        const auto csv = dir_ / "profile.csv";
        std::ofstream(csv) << text;
        return csv.string();
    }
    std::string error_;
};

TEST_F(ProfileChartFiles, ReaderSkipsMalformedAndOverlongLines) {
    std::vector<ProfileRow> rows;
    const std::string text = "header\n0,1.0,1,2,3.0\n" + std::string(5000, '7') + "\nbad\n1,2.0,2,3,4.0\n2,3.0,3,4,5.0";
    ASSERT_TRUE(readProfileLog(csvWith(text), rows, error_)) << error_;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].frameNumber, 2);  // last line without a newline still counts
}

TEST_F(ProfileChartFiles, WritesReadablePngOfChartSize) {
    std::string text;
    for (int frame = 0; frame < 50; ++frame) {
        text += formatProfileRow(frame, frame * 0.04, frame + 100, frame % 7, 20.0 + frame) + "\n";
    }
    const auto png = (dir_ / "profile.csv.png").string();
    ASSERT_TRUE(writeProfileChart(csvWith(text), png, error_)) << error_;
    const cv::Mat chart = cv::imread(png, cv::IMREAD_COLOR);
    EXPECT_EQ(chart.size(), cv::Size(kProfileChartWidth, kProfileChartHeight));
}

TEST_F(ProfileChartFiles, FailsWithReasonWhenNothingToChartOrNowhereToWrite) {
    const auto png = (dir_ / "chart.png").string();
    EXPECT_FALSE(writeProfileChart(csvWith("only,a header\n"), png, error_));
    EXPECT_NE(error_.find("no measurement rows"), std::string::npos) << error_;
    EXPECT_FALSE(std::filesystem::exists(png));
    EXPECT_FALSE(writeProfileChart((dir_ / "absent.csv").string(), png, error_));
    EXPECT_NE(error_.find("absent.csv"), std::string::npos) << error_;

    const std::string csv = csvWith("0,1.0,1,2,3.0\n");
    EXPECT_FALSE(writeProfileChart(csv, (dir_ / "no-dir" / "chart.png").string(), error_));
    EXPECT_NE(error_.find("chart.png"), std::string::npos) << error_;
    EXPECT_FALSE(writeProfileChart(csv, (dir_ / "chart.unknown").string(), error_));
}

// Pixels of the count (blue) or area (red) line inside part of the chart.
int seriesPixels(const cv::Mat& chart, const cv::Rect& part, bool count) {
    cv::Mat hits;
    cv::inRange(chart(part), count ? cv::Scalar(150, 0, 0) : cv::Scalar(0, 0, 150),
                count ? cv::Scalar(255, 110, 110) : cv::Scalar(110, 110, 255), hits);
    return cv::countNonZero(hits);
}

TEST(ProfileChartDrawing, SeriesUseTheirOwnScales) {
    // Count rises 0 -> 10 while the area figure falls 5000 -> 0: each spans the plot height.
    const cv::Mat chart = drawProfileChart({{10, 0.0, 0, 10, 0.0}, {0, 0.0, 0, 0, 5000.0}});  // out of frame order
    const cv::Rect topLeft(100, 50, 350, 190), topRight(550, 50, 350, 190);
    const cv::Rect bottomLeft(100, 260, 350, 170), bottomRight(550, 260, 350, 170);
    EXPECT_GT(seriesPixels(chart, bottomLeft, true), 0);
    EXPECT_GT(seriesPixels(chart, topRight, true), 0);
    EXPECT_GT(seriesPixels(chart, topLeft, false), 0);
    EXPECT_GT(seriesPixels(chart, bottomRight, false), 0);
}

}  // namespace
}  // namespace Vy::Analysis

namespace Vy::Analysis {
namespace {

int greenPixels(const cv::Mat& chart) {
    int count = 0;
    for (int y = 0; y < chart.rows; ++y)
        for (int x = 0; x < chart.cols; ++x) {
            const cv::Vec3b p = chart.at<cv::Vec3b>(y, x);
            count += (p[1] > p[0] + 60 && p[1] > p[2] + 60) ? 1 : 0;
        }
    return count;
}

TEST_F(ProfileChartFiles, MeanDistanceFromTheParticleTableGetsItsOwnLine) {
    const std::string csv = csvWith("0, 1.0,1,2,10.0\n1, 2.0,2,3,12.0\n2, 3.0,3,1,9.0\n");
    const std::string png = (dir_ / "chart.png").string();
    ASSERT_TRUE(writeProfileChart(csv, png, error_)) << error_;
    const int without = greenPixels(cv::imread(png));
    EXPECT_EQ(without, 0);

    // A table written before the turned centre and the recording's name were added.
    const std::string header = particleTableHeader().substr(0, particleTableHeader().find(",x_turned_px"));
    std::ofstream(particleTableName(csv)) << header << "\n"
                                          << "0,1,1.000,0,accepted,1,1,2,2,10,,,,3,3.5,1500.00,1,1,1,0,,,,,0,,\n"
                                          << "1,2,2.000,0,accepted,1,1,2,2,10,,,,3,3.5,1400.00,1,1,1,0,,,,,0,,\n"
                                          << "2,3,3.000,0,rejected_area,1,1,2,2,10,,,,3,3.5,1300.00,1,1,1,,,,,,0,,\n";
    ASSERT_TRUE(writeProfileChart(csv, png, error_)) << error_;
    EXPECT_GT(greenPixels(cv::imread(png)), 50);
    EXPECT_EQ(meanDistanceByFrame(readParticleTable(particleTableName(csv))),
              (std::map<int, double>{{0, 1500.0}, {1, 1400.0}}));
}

// A camera whose time stamps are NaN or infinite: the rows are kept and charted
// by frame index, with the mean distance of a table that holds the same stamps.
TEST_F(ProfileChartFiles, RowsWithoutAFiniteTimeStampAreChartedByFrameIndex) {
    std::string text;
    std::string table = particleTableHeader() + "\n";
    for (int frame = 0; frame < 10; ++frame) {
        const double time = frame < 5 ? std::nan("") : std::numeric_limits<double>::infinity();
        text += formatProfileRow(frame, time, frame + 1, 1, 10.0 + frame) + "\n";
        ParticleRow row;
        row.frameIndex = frame;
        row.timeMs = time;
        row.distanceMm = 1500.0 - 10.0 * frame;
        table += formatParticleRow(row) + "\n";
    }
    const std::string csv = csvWith(text);
    std::ofstream(particleTableName(csv)) << table;
    std::string warned;
    const WarningSink previous = SetWarningSink([&](const std::string& line) { warned += line + "\n"; });
    const std::string png = (dir_ / "chart.png").string();
    const bool written = writeProfileChart(csv, png, error_);
    SetWarningSink(previous);
    ASSERT_TRUE(written) << error_;
    EXPECT_EQ(warned, csv + ": 10 of 10 rows without a finite time stamp; the chart goes by frame index, as always\n");
    const cv::Mat chart = cv::imread(png);
    EXPECT_GT(seriesPixels(chart, cv::Rect(80, 50, 760, 390), true), 100);
    EXPECT_GT(greenPixels(chart), 50);
}

}  // namespace
}  // namespace Vy::Analysis
