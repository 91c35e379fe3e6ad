// The program as an operator sees it on a real (virtual) X display: the demo in display type 2,
// the window's title and what the window shows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <sstream>
#include <string>

#include "TestFiles.h"

namespace {

const std::string kProgram = VY_BIN_DIR "/MarlinProfileProc";
const std::string kDemo = VY_BIN_DIR "/../demo/demo.rays";

bool onPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string readAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Colour distance (L1, BGR).
bool near(const cv::Vec3b& pixel, const cv::Vec3b& colour, int tolerance = 60) {
    return std::abs(pixel[0] - colour[0]) + std::abs(pixel[1] - colour[1]) + std::abs(pixel[2] - colour[2]) < tolerance;
}

const cv::Vec3b kRed(0, 0, 255), kGreen(0, 255, 0), kBlue(255, 0, 0);

// Columns that run red at the top, through green, to blue at the bottom: the colour bar.
std::vector<int> scaleColumns(const cv::Mat& screen) {
    std::vector<int> columns;
    for (int x = 0; x < screen.cols; ++x) {
        int firstRed = -1, green = -1, lastBlue = -1, red = 0, blue = 0;
        for (int y = 0; y < screen.rows; ++y) {
            const cv::Vec3b pixel = screen.at<cv::Vec3b>(y, x);
            if (near(pixel, kRed)) {
                if (firstRed < 0) firstRed = y;
                ++red;
            } else if (near(pixel, kGreen) && firstRed >= 0) {
                green = y;
            } else if (near(pixel, kBlue) && green >= 0) {
                lastBlue = y;
                ++blue;
            }
        }
        // Each end a few rows long, in order, over most of a window's height.
        if (red >= 4 && blue >= 4 && lastBlue - firstRed > 200) columns.push_back(x);
    }
    return columns;
}

}  // namespace

TEST(ProgramOnX11, TheDepthPictureUsesTheWholeScaleShownBesideItAndTheTitleSaysWhere) {
    if (!onPath("xvfb-run") || !onPath("ffmpeg") || !onPath("xwininfo")) {
        GTEST_SKIP() << "xvfb-run, ffmpeg or xwininfo is not installed";
    }
    if (!std::filesystem::exists(kDemo)) GTEST_SKIP() << "no demo sequence at " << kDemo;
    Vy::Test::ScratchDir dir;
    const std::string shot = dir.File("shot.png"), titles = dir.File("titles.txt"), out = dir.File("out");
    // Paused as soon as it runs and stepped once, so a frame is on show whatever the machine's speed;
    // the screen and the window names are taken while it is paused, then it quits.
    const std::string script = "(sleep 3; printf p; sleep 1; printf n; sleep 6; printf q) | '" + kProgram +
                               "' --output-dir '" + out + "' '" + kDemo + "' 2 >'" + dir.File("stdout.txt") +
                               "' 2>&1 & sleep 8; ffmpeg -loglevel error -y -f x11grab " +
                               "-video_size 1280x1024 -i $DISPLAY -frames:v 1 '" + shot +
                               "' </dev/null; xwininfo -root -tree >'" + titles + "'; wait";
    const std::string command =
        "LCM_DEFAULT_URL=memq:// timeout 120 xvfb-run -a -s '-screen 0 1280x1024x24' bash -c \"" +
        std::regex_replace(script, std::regex("\\$"), "\\$") + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << readAll(dir.File("stdout.txt"));
    const std::string console = readAll(dir.File("stdout.txt"));

    // The title: sequence, frame k of 60 with its id, the type and the pause.
    const std::string names = readAll(titles);
    std::smatch title;
    ASSERT_TRUE(std::regex_search(names, title,
                                  std::regex("demo\\.rays \\| frame ([0-9]+) of 60 \\(id [0-9]+\\) \\| type 2 depth")))
        << names;
    EXPECT_NE(title.suffix().str().substr(0, 80).find("paused"), std::string::npos) << names;
    // The title gives the frame on show the number the console printed for it.
    std::smatch numbers;
    std::string lastNumber;
    for (auto it = console.cbegin(); std::regex_search(it, console.cend(), numbers, std::regex("\n([0-9]+)\n"));
         it = numbers[0].second - 1) {
        lastNumber = numbers[1].str();
    }
    EXPECT_EQ(lastNumber, title[1].str()) << console;

    const cv::Mat screen = cv::imread(shot, cv::IMREAD_COLOR);
    ASSERT_FALSE(screen.empty());
    const std::vector<int> scale = scaleColumns(screen);
    ASSERT_GE(scale.size(), 5u) << "no colour bar on the screen";
    // Left of the bar, the depth picture itself reaches both ends of the scale: its nearest and
    // farthest 15 % (red to orange, blue to light blue; green would be 153 or more there).
    int nearEnd = 0, farEnd = 0;
    for (int y = 0; y < screen.rows; ++y) {
        for (int x = 0; x < scale.front() - 4; ++x) {
            const cv::Vec3b pixel = screen.at<cv::Vec3b>(y, x);
            nearEnd += pixel[2] > 200 && pixel[0] < 60 && pixel[1] < 153;
            farEnd += pixel[0] > 200 && pixel[2] < 60 && pixel[1] < 153;
        }
    }
    EXPECT_GT(nearEnd, 2000) << "the nearest distances are not used";
    EXPECT_GT(farEnd, 2000) << "the farthest distances are not used";
    // The scale is written beside the recording once.
    EXPECT_NE(console.find("depth scale: " + out + "/"), std::string::npos) << console;
}
