#include "CommandLine.h"

#include <gtest/gtest.h>

namespace {
CommandLine parse(std::vector<const char*> args) {
    args.insert(args.begin(), "MarlinProfileProc");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}
}  // namespace

TEST(CommandLine, OptionsMayStandAnywhereAndAreNotCountedAsArguments) {
    const CommandLine line =
        parse({"--output-dir", "/tmp/o", "a.rays", "--no-window", "2", "--lcm", "--settings", "s.vyset", "--realtime"});
    ASSERT_TRUE(line.error.empty()) << line.error;
    EXPECT_EQ(line.positional, (std::vector<std::string>{"a.rays", "2"}));
    EXPECT_EQ(line.options.outputDir, "/tmp/o");
    EXPECT_EQ(line.options.settingsPath, "s.vyset");
    EXPECT_TRUE(line.options.noWindow);
    EXPECT_TRUE(line.options.lcmOutput);
    EXPECT_TRUE(line.options.realtime);
    EXPECT_FALSE(line.help);
    EXPECT_FALSE(parse({"a.rays", "2"}).options.realtime);
}

// Every key the run acts on, and every option, is in the usage text.
TEST(CommandLine, UsageNamesEveryKeyAndOption) {
    const std::string usage = usageText();
    for (const char key : std::string("rtdfpn[]sq")) {
        EXPECT_NE(usage.find(std::string("  ") + key + "  "), std::string::npos) << "key " << key;
    }
    for (const char* option :
         {"--output-dir", "--settings", "--no-window", "--lcm", "--realtime", "--help", "--camera", "--calibration",
          "--exposure", "--gain", "--frame-rate", "--frames", "--first", "--count", "--paused", "--name"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
}

TEST(CommandLine, DefaultsAndPositionalCounts) {
    const CommandLine none = parse({});
    EXPECT_TRUE(none.positional.empty());
    EXPECT_EQ(none.options.outputDir, ".");
    EXPECT_FALSE(none.options.lcmOutput);
    EXPECT_EQ(parse({"a", "b", "c"}).positional.size(), 3u);
    // After "--" everything is positional, also names that look like options.
    EXPECT_EQ(parse({"--", "--lcm", "1"}).positional, (std::vector<std::string>{"--lcm", "1"}));
    EXPECT_EQ(parse({"-", "1"}).positional.size(), 2u);
}

TEST(CommandLine, MalformedOptionsAreErrors) {
    EXPECT_EQ(parse({"--output-dir"}).error, "option --output-dir needs a value");
    EXPECT_EQ(parse({"--settings", ""}).error, "option --settings needs a value");
    EXPECT_EQ(parse({"--fast", "a", "1"}).error, "unknown option --fast");
    EXPECT_TRUE(parse({"--help"}).help);
}

TEST(CommandLine, DisplayTypeArgument) {
    for (int type = 0; type <= 4; ++type) {
        const std::optional<DisplayType> named = displayTypeArgument(std::to_string(type));
        ASSERT_TRUE(named.has_value()) << type;
        EXPECT_EQ(displayTypeNumber(*named), type);
    }
    for (const char* other : {"5", "-1", "", "01", "1.0", "t", " 1"}) {
        EXPECT_FALSE(displayTypeArgument(other).has_value()) << other;
    }
}

TEST(CommandLine, LiveOptionsTakeAnAddressAFileAndNumbers) {
    const CommandLine line = parse({"--camera", "192.168.1.20", "--calibration", "c.rays", "--exposure", "2500",
                                    "--gain", "1.5", "--frame-rate", "30", "--frames", "600", "1"});
    ASSERT_TRUE(line.error.empty()) << line.error;
    EXPECT_EQ(line.positional, (std::vector<std::string>{"1"}));
    EXPECT_EQ(line.live.cameraAddress, "192.168.1.20");
    EXPECT_EQ(line.live.calibrationPath, "c.rays");
    EXPECT_EQ(line.live.camera.exposureUs, 2500.0);
    EXPECT_EQ(line.live.camera.gain, 1.5);
    EXPECT_EQ(line.live.camera.frameRate, 30.0);
    EXPECT_EQ(line.live.frames, 600u);
    // Unset camera values keep the camera's own.
    const CommandLine plain = parse({"--camera", "10.0.0.2", "1"});
    EXPECT_FALSE(plain.live.camera.exposureUs || plain.live.camera.gain || plain.live.camera.frameRate);
    EXPECT_EQ(plain.live.frames, 0u);
    EXPECT_TRUE(parse({"a.rays", "1"}).live.cameraAddress.empty());
}

TEST(CommandLine, LiveNumbersMustBePositive) {
    EXPECT_EQ(parse({"--camera"}).error, "option --camera needs a value");
    EXPECT_EQ(parse({"--gain", "-1"}).error, "option --gain needs a number of 0 or more, not '-1'");
    EXPECT_EQ(parse({"--gain", "0"}).live.camera.gain, 0.0);
    EXPECT_EQ(parse({"--exposure", "0"}).error, "option --exposure needs a number above 0, not '0'");
    EXPECT_EQ(parse({"--exposure", "10us"}).error, "option --exposure needs a number above 0, not '10us'");
    EXPECT_EQ(parse({"--frame-rate", "nan"}).error, "option --frame-rate needs a number above 0, not 'nan'");
    EXPECT_EQ(parse({"--frames", "2.5"}).error, "option --frames needs a number above 0, not '2.5'");
    EXPECT_EQ(parse({"--frames", "0"}).error, "option --frames needs a number above 0, not '0'");
}

TEST(CommandLine, FramesPauseAndNameOfAReplay) {
    const CommandLine line = parse({"--first", "12", "a.rays", "--count", "3", "--paused", "--name", "day2 run7", "4"});
    ASSERT_TRUE(line.error.empty()) << line.error;
    EXPECT_EQ(line.positional, (std::vector<std::string>{"a.rays", "4"}));
    EXPECT_EQ(line.options.firstFrame, 12u);
    EXPECT_EQ(line.options.frameCount, 3u);
    EXPECT_TRUE(line.options.startPaused);
    EXPECT_EQ(line.options.runName, "day2 run7");
    const CommandLine plain = parse({"a.rays", "4"});
    EXPECT_EQ(plain.options.firstFrame, 0u);
    EXPECT_EQ(plain.options.frameCount, 0u);  // to the end
    EXPECT_FALSE(plain.options.startPaused);
    EXPECT_TRUE(plain.options.runName.empty());
    EXPECT_EQ(parse({"--first", "0"}).options.firstFrame, 0u);

    EXPECT_EQ(parse({"--first", "-1"}).error, "option --first needs a whole number of 0 or more, not '-1'");
    EXPECT_EQ(parse({"--first", "1.5"}).error, "option --first needs a whole number of 0 or more, not '1.5'");
    EXPECT_EQ(parse({"--count", "0"}).error, "option --count needs a whole number above 0, not '0'");
    EXPECT_EQ(parse({"--count"}).error, "option --count needs a value");
    EXPECT_EQ(parse({"--name", "a/b"}).error, "option --name: 'a/b' holds a '/' (it names the output files)");
    EXPECT_NE(parse({"--name", "a\x1b[2Jb"}).error.find("holds a control character"), std::string::npos);
    EXPECT_NE(parse({"--name", ".."}).error.find("is not a file name"), std::string::npos);
    EXPECT_EQ(parse({"--name", ""}).error, "option --name needs a value");
}
