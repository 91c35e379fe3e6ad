#include "OutputBasePath.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

TEST(OutputBasePath, DrivePathsLoseTheirPrefixAndEverySeparator) {
    EXPECT_EQ(outputBasePath("C:\\a\\b.rays", "out"), "out/a-b.rays");
    EXPECT_EQ(outputBasePath("D:\\trials\\day2\\run7.rays", "/rec"), "/rec/trials-day2-run7.rays");
    // A '/' kept would point into a directory that does not exist.
    EXPECT_EQ(outputBasePath("C:/a/b.rays", "out"), "out/a-b.rays");
    EXPECT_EQ(outputBasePath("E:\\run7.rays", "out"), "out/run7.rays");
}

TEST(OutputBasePath, UnixPathsAreMadeAbsoluteFirst) {
    EXPECT_EQ(outputBasePath("/data/trials/day2/run7.rays", "out"), "out/data-trials-day2-run7.rays");
    EXPECT_EQ(outputBasePath("/data//trials/./run7.rays", "out"), "out/data-trials-run7.rays");
    const std::string cwd = std::filesystem::current_path().string();
    std::string expected = cwd.substr(1) + "/run7.rays";
    for (char& c : expected) {
        if (c == '/') c = '-';
    }
    EXPECT_EQ(outputBasePath("run7.rays", "."), "./" + expected);
    // Backslashes in a Unix name are separators of the recording name too.
    EXPECT_EQ(outputBasePath("/data/a\\b.rays", "o"), "o/data-a-b.rays");
}

TEST(OutputBasePath, PathsWithoutANameAreRefused) {
    EXPECT_THROW(outputBasePath("", "out"), std::invalid_argument);
    EXPECT_THROW(outputBasePath("/", "out"), std::invalid_argument);
    EXPECT_THROW(outputBasePath("C:\\", "out"), std::invalid_argument);
    EXPECT_THROW(outputBasePath("C:\\\\\\", "out"), std::invalid_argument);
}
