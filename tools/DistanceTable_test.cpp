#include "DistanceTable.h"

#include <gtest/gtest.h>

#include "CVyException.h"
#include "TestFiles.h"

using namespace Vy::Synth;

namespace {

class DistanceTableTest : public Vy::Test::ScratchDirTest {
protected:
    std::string problemOf(const std::string& content) {
        const std::string file = path("d.csv");
        std::ofstream(file) << content;
        try {
            readDistanceTable(file);
        } catch (const CVyException& e) {
            EXPECT_EQ(e.Subject(), file);
            return e.Reason();
        }
        return "";
    }
};

}  // namespace

TEST_F(DistanceTableTest, ReadsFramesAndDistancesPastHeaderCommentsAndBlankLines) {
    const std::string file = path("d.csv");
    std::ofstream(file) << "frame,distance_mm\r\n# the plate on the rail\n\n0, 1000.5\n 7 ,1250 # moved\r\n3,1100\n";
    const std::vector<DistanceEntry> t = readDistanceTable(file);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].frame, 0);
    EXPECT_DOUBLE_EQ(t[0].distance, 1000.5);
    EXPECT_EQ(t[0].line, 4);
    EXPECT_EQ(t[1].frame, 7);
    EXPECT_DOUBLE_EQ(t[1].distance, 1250.0);
    EXPECT_EQ(t[2].line, 6);
}

TEST_F(DistanceTableTest, MalformedTablesNameTheLine) {
    EXPECT_EQ(problemOf(""), "no frame,distance_mm lines");
    EXPECT_EQ(problemOf("frame,distance_mm\n# none yet\n"), "no frame,distance_mm lines");
    EXPECT_EQ(problemOf("0,1000\n1;1100\n"), "line 2: '1;1100' is not frame,distance_mm");
    EXPECT_EQ(problemOf("0,1000\n1,11OO\n"), "line 2: '1,11OO' is not frame,distance_mm");
    EXPECT_EQ(problemOf("0,1000\n1,-5\n"), "line 2: the distance must be a positive number of mm");
    EXPECT_EQ(problemOf("0,1000\n-1,900\n"), "line 2: frame -1 < 0");
    EXPECT_EQ(problemOf("0,1000\n2,1100\n0,1200\n"), "line 3: frame 0 is listed twice");
    // A header is only the first line.
    EXPECT_EQ(problemOf("0,1000\nframe,distance\n"), "line 2: 'frame,distance' is not frame,distance_mm");
    EXPECT_NE(problemOf(std::string("0,1000\n1,\x1b[2J\n")).find("\\x1b"), std::string::npos);
}
