#include "ParticleTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <numbers>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "CalibrationSamples.h"
#include "CameraModel.h"
#include "ParticleTableReader.h"
#include "TestFiles.h"

namespace Vy::Analysis {
namespace {

// A lit bead of radius r (output pixels) centred at (cx, cy), brightest in its
// middle, on a dark background; each pixel is the mean of 8 x 8 points.
void drawBead(cv::Mat& image, double cx, double cy, double r) {
    for (int y = static_cast<int>(cy - r) - 1; y <= static_cast<int>(cy + r) + 1; ++y) {
        for (int x = static_cast<int>(cx - r) - 1; x <= static_cast<int>(cx + r) + 1; ++x) {
            double sum = 0.0;
            for (int sy = 0; sy < 8; ++sy) {
                for (int sx = 0; sx < 8; ++sx) {
                    const double dx = (x + (sx + 0.5) / 8 - cx) / r, dy = (y + (sy + 0.5) / 8 - cy) / r;
                    const double q = dx * dx + dy * dy;
                    sum += q < 1.0 ? 0.55 + 0.45 * std::sqrt(1.0 - q) : 0.05;
                }
            }
            image.at<uint16_t>(y, x) = static_cast<uint16_t>(std::lround(sum / 64 * 14000));
        }
    }
}

class ParticleTableFrame : public testing::Test {
protected:
    void SetUp() override {
        focus = cv::Mat(200, 300, CV_16UC1, cv::Scalar(std::lround(0.05 * 14000)));
        drawBead(focus, 60.3, 50.7, 6.0);                                                // depth known
        drawBead(focus, 150.6, 120.2, 3.5);                                              // no depth under it
        drawBead(focus, 240.0, 60.0, 9.0);                                               // depth known, another value
        cv::rectangle(focus, cv::Rect(20, 150, 260, 8), cv::Scalar(14000), cv::FILLED);  // a bar: rejected (axis)
        depth = cv::Mat(focus.size(), CV_32FC1, cv::Scalar(0.0f));
        depth(cv::Rect(40, 30, 40, 40)).setTo(3.5f);
        depth(cv::Rect(225, 45, 30, 30)).setTo(4.0f);
        geometry.calibration = Vy::Test::SmallCalibration(600, 400);
        geometry.scale = 2;
        result = measureProfile(focus);
        rows = measureParticles(focus, depth, result.blobs, geometry);
    }
    const ParticleRow* near(double x, double y) const {
        for (const ParticleRow& r : rows)
            if (std::hypot(r.centre.x - x, r.centre.y - y) < 2.0) return &r;
        return nullptr;
    }
    cv::Mat focus, depth;
    TableGeometry geometry;
    ProfileResult result;
    std::vector<ParticleRow> rows;
};

TEST_F(ParticleTableFrame, CentreSizeAndDepthOfEachBeadInPixelsAndMm) {
    ASSERT_EQ(rows.size(), result.blobs.size());
    EXPECT_EQ(result.acceptedCount, 3);
    const CCalibration& c = geometry.calibration;
    for (const auto& [x, y, r, v] : {std::tuple{60.3, 50.7, 6.0, 3.5}, std::tuple{240.0, 60.0, 9.0, 4.0}}) {
        const ParticleRow* row = near(x, y);
        ASSERT_NE(row, nullptr) << x << "," << y;
        EXPECT_EQ(row->verdict, BlobVerdict::Accepted);
        EXPECT_NEAR(row->centre.x, x, 0.05);
        EXPECT_NEAR(row->centre.y, y, 0.05);
        EXPECT_NEAR(row->sensorCentre.x, 2 * row->centre.x, 1e-9);
        EXPECT_NEAR(row->diameterPx, 2 * r, 0.05 * 2 * r);
        ASSERT_TRUE(row->virtualDepth && row->distanceMm && row->lateralMm && row->diameterMm);
        EXPECT_FLOAT_EQ(*row->virtualDepth, v);
        const double z = Model::distanceFromVirtualDepth(c, v);
        EXPECT_NEAR(*row->distanceMm, z, 1e-9);
        const Model::Point at = Model::sceneFromVirtual(c, {row->sensorCentre.x, row->sensorCentre.y}, z);
        EXPECT_NEAR(row->lateralMm->x, at.x, 1e-9);
        EXPECT_NEAR(row->lateralMm->y, at.y, 1e-9);
        // Back through the camera, the diameter in mm is the diameter in output pixels.
        EXPECT_NEAR(*row->diameterMm / (c.pixelSize * z / Model::imageDistance(c, z)) / geometry.scale, row->diameterPx,
                    1e-9);
        ASSERT_TRUE(row->ellipse.has_value());
    }
}

TEST_F(ParticleTableFrame, NoDepthMeansEmptyFieldsAndRejectedOutlinesSayWhy) {
    const ParticleRow* row = near(150.6, 120.2);
    ASSERT_NE(row, nullptr);
    EXPECT_FALSE(row->virtualDepth || row->distanceMm || row->lateralMm || row->diameterMm);
    ParticleRow stamped = *row;
    stamped.frameIndex = 3;
    stamped.frameId = 1003;
    stamped.timeMs = 1565344800120.0;
    const std::string line = formatParticleRow(stamped);
    EXPECT_EQ(std::count(line.begin(), line.end(), ','),
              std::count(particleTableHeader().begin(), particleTableHeader().end(), ','));
    EXPECT_EQ(line.rfind("3,1003,1565344800120.000,", 0), 0u) << line;
    EXPECT_NE(line.find(",accepted,"), std::string::npos);
    EXPECT_NE(line.find(",,,,,,,,,"), std::string::npos)
        << "depth, distance, X, Y, diameter, track, velocity empty: " << line;

    const auto bar = std::find_if(rows.begin(), rows.end(), [](const ParticleRow& r) { return r.centre.y > 150; });
    ASSERT_NE(bar, rows.end());
    EXPECT_EQ(bar->verdict, BlobVerdict::RejectedAxis);
    EXPECT_NE(formatParticleRow(*bar).find(",rejected_axis,"), std::string::npos);

    // Without a depth map at all (or one of another size), nothing gets a depth.
    for (const cv::Mat& none : {cv::Mat(), cv::Mat(10, 10, CV_32FC1, cv::Scalar(3.0f))})
        for (const ParticleRow& r : measureParticles(focus, none, result.blobs, geometry))
            EXPECT_FALSE(r.distanceMm.has_value());
}

TEST(ParticleTableBorder, AnOutlineAtTheEdgeIsFlaggedAndGetsNoTrack) {
    // Drawn on a wider image, then cropped: the first bead is cut by the left edge.
    cv::Mat wide(120, 170, CV_16UC1, cv::Scalar(std::lround(0.05 * 14000)));
    drawBead(wide, 12.5, 60.0, 6.0);
    drawBead(wide, 90.0, 60.0, 6.0);   // whole
    drawBead(wide, 160.0, 20.0, 6.0);  // whole, its halo two pixels from the right edge
    const cv::Mat focus = wide(cv::Rect(10, 0, 160, 120)).clone();
    const cv::Mat depth(focus.size(), CV_32FC1, cv::Scalar(3.5f));
    TableGeometry geometry;
    geometry.calibration = Vy::Test::SmallCalibration(320, 240);
    const ProfileResult result = measureProfile(focus);
    std::vector<ParticleRow> rows = measureParticles(focus, depth, result.blobs, geometry);
    ParticleTracker tracker;
    trackParticles(tracker, 1000.0, rows);
    ASSERT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](const ParticleRow& r) { return r.verdict == BlobVerdict::Accepted; }),
              3);
    for (const ParticleRow& r : rows) {
        const bool cut = r.centre.x < 20.0;
        EXPECT_EQ(r.border, cut) << r.centre;
        // Its depth is still measured; only the track is withheld.
        EXPECT_TRUE(r.distanceMm.has_value());
        EXPECT_EQ(r.trackId >= 0, !cut) << r.centre;
        const std::string line = formatParticleRow(r);
        EXPECT_NE(line.find(cut ? ",1," : ",0,", line.rfind(",,,,")), std::string::npos) << line;
    }
}

TEST(ParticleTableDepth, TheNearPartWhenTheSurfaceBehindShowsThroughElseTheMedian) {
    EXPECT_FALSE(blobDepth({}, 0.3).has_value());
    // One value, or values spread without a clear step: their median.
    EXPECT_FLOAT_EQ(*blobDepth({3.5f}, 0.3), 3.5f);
    EXPECT_FLOAT_EQ(*blobDepth({3.4f, 3.6f, 3.5f, 3.55f, 3.45f}, 0.3), 3.5f);
    // A small particle over a far wall: the wall's pixels are the majority, the particle's a third.
    EXPECT_FLOAT_EQ(*blobDepth({2.2f, 2.21f, 2.19f, 2.2f, 3.9f, 3.95f, 2.2f, 3.92f, 2.18f}, 0.3), 3.92f);
    // A lone near pixel is noise, not the particle: the median stays.
    EXPECT_FLOAT_EQ(*blobDepth({3.0f, 3.02f, 3.01f, 2.99f, 3.0f, 3.03f, 2.98f, 3.8f}, 0.3), 3.01f);
    // The step must be wider than the gap.
    EXPECT_FLOAT_EQ(*blobDepth({3.0f, 3.0f, 3.0f, 3.25f, 3.25f}, 0.3), 3.0f);
    EXPECT_FLOAT_EQ(*blobDepth({3.0f, 3.0f, 3.0f, 3.25f, 3.25f}, 0.2), 3.25f);
}

namespace {

// The depth as first written: everything sorted, the first widest step, the median above it.
float sortedBlobDepth(std::vector<float> depths, double gap) {
    std::sort(depths.begin(), depths.end());
    size_t split = 0;
    float widest = 0.0f;
    for (size_t i = 1; i < depths.size(); ++i) {
        if (depths[i] - depths[i - 1] > widest) {
            widest = depths[i] - depths[i - 1];
            split = i;
        }
    }
    const size_t first = widest > gap && (depths.size() - split) >= 0.25 * depths.size() ? split : 0;
    return depths[first + (depths.size() - first) / 2];
}

}  // namespace

TEST(ParticleTableDepth, LargeBlobsGiveExactlyTheDepthOfSortingEveryValue) {
    // Large blobs take a linear-time path; it must pick the same value to the bit.
    cv::RNG random(7);
    for (const int count : {65, 200, 4096, 250000}) {
        for (int kind = 0; kind < 6; ++kind) {
            std::vector<float> depths(static_cast<size_t>(count));
            for (size_t i = 0; i < depths.size(); ++i) {
                const double u = random.uniform(0.0, 1.0);
                switch (kind) {
                    case 0:  // one surface
                        depths[i] = static_cast<float>(2.0 + 0.3 * u);
                        break;
                    case 1:  // a particle over a far wall
                        depths[i] = static_cast<float>(i % 3 == 0 ? 3.9 + 0.05 * u : 2.2 + 0.02 * u);
                        break;
                    case 2:  // coarse depth steps: many equal values, equal steps between them
                        depths[i] = 1.5f + 0.25f * static_cast<float>(random.uniform(0, 16));
                        break;
                    case 3:  // a few far outliers
                        depths[i] = static_cast<float>(i % 97 == 0 ? 20.0 + u : 3.0 + 0.1 * u);
                        break;
                    case 4:  // evenly spaced, slightly uneven: the widest step may lie inside a bucket
                        depths[i] = static_cast<float>(1.0 + 0.5 * static_cast<double>(i) / count * 64 + 0.01 * u);
                        break;
                    default:  // all the same
                        depths[i] = 4.5f;
                }
            }
            for (const double gap : {0.05, 0.3}) {
                const std::optional<double> fast = blobDepth(depths, gap);
                ASSERT_TRUE(fast.has_value());
                EXPECT_EQ(static_cast<float>(*fast), sortedBlobDepth(depths, gap))
                    << count << " values of kind " << kind << ", gap " << gap;
            }
        }
    }
    // Evenly spaced and slightly uneven, many times: buckets wider than the mean step hold
    // two values now and then, and the widest step is sometimes the one between them.
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<float> depths(65);
        for (size_t i = 0; i < depths.size(); ++i) {
            depths[i] = static_cast<float>(1.0 + 0.5 * static_cast<double>(i) + random.uniform(0.0, 0.005));
        }
        EXPECT_EQ(static_cast<float>(*blobDepth(depths, 0.3)), sortedBlobDepth(depths, 0.3)) << trial;
    }
}

TEST_F(ParticleTableFrame, ABeadOverAFarWallTakesItsOwnDepth) {
    // The depth map shows the wall (2.2) over most of the first bead, the bead's own depth over a third.
    cv::Mat mixed = depth.clone();
    mixed(cv::Rect(40, 30, 40, 40)).setTo(2.2f);
    mixed(cv::Rect(61, 30, 19, 40)).setTo(3.5f);
    const std::vector<ParticleRow> seen = measureParticles(focus, mixed, result.blobs, geometry);
    const auto bead = std::find_if(seen.begin(), seen.end(), [](const ParticleRow& r) {
        return std::hypot(r.centre.x - 60.3, r.centre.y - 50.7) < 1;
    });
    ASSERT_NE(bead, seen.end());
    ASSERT_TRUE(bead->virtualDepth.has_value());
    EXPECT_FLOAT_EQ(*bead->virtualDepth, 3.5f);
    // The plain median would have taken the wall.
    TableGeometry noSplit = geometry;
    noSplit.depthGap = 100.0;
    const std::vector<ParticleRow> plain = measureParticles(focus, mixed, result.blobs, noSplit);
    EXPECT_FLOAT_EQ(*plain[bead - seen.begin()].virtualDepth, 2.2f);
}

class ParticleTableFile : public Vy::Test::ScratchDirTest {};

// A line of the table (or its header) without the named column, as tables written before it was added.
std::string withoutColumn(const std::string& text, const std::string& name) {
    const std::string& header = particleTableHeader();
    const size_t at = ("," + header + ",").find("," + name + ",");
    const size_t index = std::count(header.begin(), header.begin() + at, ',');
    std::vector<std::string> fields;
    std::stringstream in(text + ",");
    for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
    fields.erase(fields.begin() + index);
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) out += (i ? "," : "") + fields[i];
    return out;
}

TEST_F(ParticleTableFile, HeaderOnceThenRowsAndAFailedWriteSaysSo) {
    ParticleRow row;
    row.number = 7;
    const std::string file = (dir_ / "log.csv.particles.csv").string();
    ASSERT_TRUE(appendParticleRows(file, {row}));
    ASSERT_TRUE(appendParticleRows(file, {}));
    ASSERT_TRUE(appendParticleRows(file, {row, row}));
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], particleTableHeader());
    EXPECT_EQ(lines[1], formatParticleRow(row));
    EXPECT_FALSE(appendParticleRows((dir_ / "missing" / "x.csv").string(), {row}));
    EXPECT_EQ(particleTableName("/o/VyProc_1.csv"), "/o/VyProc_1.csv.particles.csv");
}

TEST_F(ParticleTableFile, ReadsBackTheBorderFlagAndTablesWrittenWithoutIt) {
    ParticleRow inside, cut;
    inside.number = 0;
    cut.number = 1;
    cut.border = true;
    cut.diameterPx = 4.5;
    cut.virtualDepth = 3.25;
    const std::string file = (dir_ / "now.particles.csv").string();
    ASSERT_TRUE(appendParticleRows(file, {inside, cut}));
    const std::vector<TableParticle> now = readParticleTable(file);
    ASSERT_EQ(now.size(), 2u);
    EXPECT_FALSE(now[0].border);
    EXPECT_TRUE(now[1].border);
    EXPECT_EQ(now[1].number, 1);
    EXPECT_DOUBLE_EQ(now[1].diameterPx, 4.5);
    EXPECT_DOUBLE_EQ(now[1].virtualDepth.value_or(0.0), 3.25);

    // A table from before the border column: every row reads as away from the border.
    const std::string old = (dir_ / "old.particles.csv").string();
    std::ofstream(old) << withoutColumn(particleTableHeader(), "border") << "\n"
                       << withoutColumn(formatParticleRow(cut), "border") << "\n";
    const std::vector<TableParticle> before = readParticleTable(old);
    ASSERT_EQ(before.size(), 1u);
    EXPECT_FALSE(before[0].border);
    EXPECT_TRUE(before[0].accepted);
}

TEST_F(ParticleTableFile, ReadsBackTheVelocityWithItsErrorAndTablesWrittenWithoutTheError) {
    ParticleRow moving;
    moving.trackId = 4;
    moving.velocity = cv::Point3d(1.5, -2.25, 180.0);
    moving.velocityPositions = 7;
    moving.velocitySd = 12.5;
    ParticleRow young = moving;
    young.velocity.reset();
    young.velocitySd.reset();
    const std::string file = (dir_ / "v.particles.csv").string();
    ASSERT_TRUE(appendParticleRows(file, {moving, young}));
    const std::vector<TableParticle> rows = readParticleTable(file);
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_TRUE(rows[0].velocity && rows[0].velocitySd);
    EXPECT_DOUBLE_EQ(rows[0].velocity->z, 180.0);
    EXPECT_DOUBLE_EQ(*rows[0].velocitySd, 12.5);
    EXPECT_EQ(rows[0].velocityPositions, 7);
    EXPECT_EQ(rows[1].velocityPositions, 0);
    // A track too young for a velocity leaves its velocity, positions and error empty.
    EXPECT_FALSE(rows[1].velocity || rows[1].velocitySd);
    const std::string youngLine = formatParticleRow(young);
    EXPECT_EQ(youngLine.substr(youngLine.size() - 17), ",0,,,0.000,0.000,")
        << "border 0, then positions and error empty, the turned centre and no recording";

    // A table from before the error column reads as stating none.
    const std::string old = (dir_ / "old.particles.csv").string();
    std::ofstream(old) << withoutColumn(particleTableHeader(), "velocity_sd_mm_s") << "\n"
                       << withoutColumn(formatParticleRow(moving), "velocity_sd_mm_s") << "\n";
    const std::vector<TableParticle> before = readParticleTable(old);
    ASSERT_EQ(before.size(), 1u);
    EXPECT_TRUE(before[0].velocity.has_value());
    EXPECT_FALSE(before[0].velocitySd.has_value());
}

// Values of any width give whole rows that read back; a time stamp that is not
// a number is written and read as it is.
TEST_F(ParticleTableFile, RowsOfAnyWidthAreWholeAndReadBack) {
    ParticleRow wide;
    wide.timeMs = std::numeric_limits<double>::max();
    wide.centre = {1e200, -1e200};
    wide.trackId = 3;
    wide.velocity = cv::Point3d(1e300, -1e300, 1e300);
    wide.velocityPositions = 5;
    wide.velocitySd = 1e300;
    ParticleRow unknownTime;
    unknownTime.timeMs = std::nan("");
    const std::string header = particleTableHeader();
    const auto columns = std::count(header.begin(), header.end(), ',') + 1;
    for (const ParticleRow& row : {wide, unknownTime}) {
        const std::string line = formatParticleRow(row);
        EXPECT_EQ(std::count(line.begin(), line.end(), ',') + 1, columns) << line.substr(0, 80);
    }
    const std::string file = (dir_ / "wide.particles.csv").string();
    ASSERT_TRUE(appendParticleRows(file, {wide, unknownTime}));
    const std::vector<TableParticle> rows = readParticleTable(file);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].timeMs, std::numeric_limits<double>::max());
    EXPECT_DOUBLE_EQ(rows[0].centre.x, 1e200);
    ASSERT_TRUE(rows[0].velocity.has_value());
    EXPECT_DOUBLE_EQ(rows[0].velocity->y, -1e300);
    EXPECT_DOUBLE_EQ(rows[0].velocitySd.value_or(0.0), 1e300);
    EXPECT_TRUE(std::isnan(rows[1].timeMs));
}

}  // namespace
}  // namespace Vy::Analysis

namespace Vy::Analysis {

// Every picture shows the frame turned by 180 degrees: each row's turned centre lies on its
// bead's brightest pixels there, while the unturned centre does not.
TEST_F(ParticleTableFrame, TheTurnedCentreLiesOnTheBlobInTheTurnedImage) {
    cv::Mat turned;
    cv::rotate(focus, turned, cv::ROTATE_180);
    const double background = 0.05 * 14000;
    int beads = 0;
    for (const ParticleRow& row : rows) {
        if (row.verdict != BlobVerdict::Accepted) continue;
        ++beads;
        EXPECT_DOUBLE_EQ(row.turnedCentre.x, focus.cols - row.centre.x);
        EXPECT_DOUBLE_EQ(row.turnedCentre.y, focus.rows - row.centre.y);
        const cv::Point at(static_cast<int>(row.turnedCentre.x), static_cast<int>(row.turnedCentre.y));
        double brightest = 0.0;
        cv::minMaxLoc(turned(cv::Rect(at - cv::Point(10, 10), cv::Size(21, 21)) & cv::Rect({}, turned.size())), nullptr,
                      &brightest);
        EXPECT_GE(turned.at<uint16_t>(at), 0.95 * brightest) << row.centre;
        const cv::Point unturned(static_cast<int>(row.centre.x), static_cast<int>(row.centre.y));
        EXPECT_LT(turned.at<uint16_t>(unturned), 1.5 * background) << row.centre;
    }
    EXPECT_EQ(beads, 3);
}

// The recording's name is the last column, quoted where it must be, and reads back whole;
// the turned centre reads back, and a table without either column still reads.
TEST_F(ParticleTableFile, TheRecordingAndTheTurnedCentreReadBackAndOldTablesStillRead) {
    ParticleRow row;
    row.centre = {10.25, 20.5};
    row.turnedCentre = {501.75, 491.5};
    const std::string file = (dir_ / "named.particles.csv").string();
    const std::string recording = "/data/day 2, \"wet\"/run7.rays";
    ASSERT_TRUE(appendParticleRows(file, {row, row}, recording));
    const std::vector<TableParticle> read = readParticleTable(file);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].recording, recording);
    ASSERT_TRUE(read[1].turnedCentre.has_value());
    EXPECT_EQ(*read[1].turnedCentre, cv::Point2d(501.75, 491.5));
    EXPECT_EQ(read[1].centre, cv::Point2d(10.25, 20.5));

    EXPECT_EQ(csvField("plain.rays"), "plain.rays");
    EXPECT_EQ(csvField("a,b"), "\"a,b\"");
    EXPECT_EQ(csvField("say \"x\""), "\"say \"\"x\"\"\"");
    // A control character never splits the row.
    EXPECT_EQ(csvField("a\nb"), "a\\x0ab");

    const std::string old = (dir_ / "old.particles.csv").string();
    const std::string header = particleTableHeader();
    const std::string line = formatParticleRow(row, recording);
    const size_t oldFields = std::count(header.begin(), header.begin() + header.find(",x_turned_px"), ',');
    size_t cut = 0;
    for (size_t commas = 0; commas <= oldFields; ++cut) commas += line[cut] == ',';
    std::ofstream(old) << header.substr(0, header.find(",x_turned_px")) << "\n" << line.substr(0, cut - 1) << "\n";
    const std::vector<TableParticle> before = readParticleTable(old);
    ASSERT_EQ(before.size(), 1u);
    EXPECT_FALSE(before[0].turnedCentre.has_value());
    EXPECT_TRUE(before[0].recording.empty());
    EXPECT_EQ(before[0].centre, cv::Point2d(10.25, 20.5));
}

}  // namespace Vy::Analysis
