// Runs the raystool binary the way a user does and checks what it prints.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "GridCalibratorTestImages.h"
#include "RaystoolRun.h"
#include "TestFiles.h"

namespace fs = std::filesystem;

TEST_F(RaystoolTest, BadArgumentsAndFilesGiveOneLineAndStatusOne) {
    std::ofstream(path("notes.rays")) << "these are not frames\n";
    ASSERT_EQ(run("create --preset small --size 96 --frames 1 --quiet --no-truth " + path("one.rays")).status, 0);
    const struct {
        std::string arguments;
        std::string expected;
    } cases[] = {
        {"", "no command"},
        {"frobnicate", "unknown command 'frobnicate'"},
        {"info", "info needs exactly one FILE"},
        {"info " + path("missing.rays"), "missing.rays: No such file or directory"},
        {"info " + path("notes.rays"), "notes.rays"},
        {"info " + dir_.string(), dir_.string()},
        {"create --size abc " + path("x.rays"), "--size: 'abc' is not a number"},
        {"create --size 10 " + path("x.rays"), "must be 64..4096"},
        {"create --height 5000 " + path("x.rays"), "--height 5000: must be 64..4096"},
        {"create --frames", "--frames needs a value"},
        {"create --preset nope " + path("x.rays"), "unknown preset"},
        {"create --bogus " + path("x.rays"), "unknown option --bogus"},
        {"create --black-level 100 " + path("x.rays"), "--black-level 100: must be 0..64"},
        {"create --prnu abc " + path("x.rays"), "--prnu: 'abc' is not a number"},
        {"create --focal-lengths 0.2 " + path("x.rays"), "focal length 0.2 mm: must lie between B (0.35 mm)"},
        {"create --focal-lengths 0.6,0.5,0.55,0.52 " + path("x.rays"), "needs 1..3 focal lengths, not 4"},
        {"create --focal-lengths , " + path("x.rays"), "--focal-lengths: '' is not a number"},
        {"create --focal-lengths 0.6,x " + path("x.rays"), "--focal-lengths: 'x' is not a number"},
        {"create --type-offset 5 " + path("x.rays"), "--type-offset: '5' is not a number in 0..2"},
        {"create --focal-lengths 0.6,0.5 --type-offset 2 " + path("x.rays"), "--type-offset 2: must be 0..1"},
        {"create", "create needs exactly one OUT.rays"},
        {"create --quiet --preset small --size 96 /proc/nowhere/x.rays", "/proc/nowhere"},
        {"export " + path("one.rays"), "export needs FILE and OUTDIR"},
        {"export " + path("one.rays") + " " + path("out") + " --first 5",
         "--first 5 is past the last frame (1 frames)"},
        {"export " + path("one.rays") + " " + path("out") + " --count -3", "--count: '-3' is not a number"},
    };
    for (const auto& c : cases) expectRefusal(c.arguments, "raystool: ", c.expected);
    // The usage names every preset and every camera fault.
    const std::string help = run("--help").stdoutText;
    for (const char* word : {"swarm", "realistic", "--black-level", "--dead-pixels", "--distortion", "--lens-spread"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
}

TEST_F(RaystoolTest, CreateThenInfoAndExport) {
    const std::string file = path("seq.rays");
    ASSERT_EQ(run("create --preset small --size 128 --frames 3 --seed 4 --quiet " + file).status, 0);
    EXPECT_TRUE(fs::exists(file + ".truth/truth.txt"));
    EXPECT_TRUE(fs::exists(file + ".truth/frame_00002_focus.png"));

    const Outcome info = run("info " + file);
    ASSERT_EQ(info.status, 0) << info.stderrText;
    EXPECT_NE(info.stdoutText.find("frame size: 128 x 128"), std::string::npos) << info.stdoutText;
    // Sensors of real proportions: width and height apart.
    const std::string wide = path("wide.rays");
    ASSERT_EQ(run("create --preset small --width 160 --height 96 --frames 1 --quiet --no-truth " + wide).status, 0);
    const auto wideInfo = run("info " + wide);
    EXPECT_NE(wideInfo.stdoutText.find("frame size: 160 x 96"), std::string::npos) << wideInfo.stdoutText;
    EXPECT_NE(info.stdoutText.find("frames: 3\n"), std::string::npos) << info.stdoutText;
    EXPECT_NE(info.stdoutText.find("white image: yes"), std::string::npos);
    EXPECT_NE(info.stdoutText.find("first frame: id 1000, 2019-08-09 10:00:00.000 UTC"), std::string::npos)
        << info.stdoutText;
    EXPECT_NE(info.stdoutText.find("last frame: id 1002, 2019-08-09 10:00:00.080 UTC"), std::string::npos)
        << info.stdoutText;
    EXPECT_NE(info.stdoutText.find("lensPitch = 24"), std::string::npos);

    const Outcome exported = run("export " + file + " " + path("png") + " --first 1 --count 5");
    ASSERT_EQ(exported.status, 0) << exported.stderrText;
    EXPECT_FALSE(fs::exists(path("png/frame_00000.png")));
    EXPECT_TRUE(fs::exists(path("png/frame_00001.png")));
    EXPECT_TRUE(fs::exists(path("png/frame_00002.png")));
    EXPECT_FALSE(fs::exists(path("png/frame_00003.png")));
}

// A 12-bit sequence with a turned grid out as PNG files and back in, its grid found in the white image.
TEST_F(RaystoolTest, ExportCalibrateImportRoundTrip) {
    const std::string file = path("deep.rays");
    ASSERT_EQ(run("create --preset small --size 256 --frames 2 --bits 12 --rotation 1 --pitch 20 --samples 1 --quiet "
                  "--no-truth " +
                  file)
                  .status,
              0);
    EXPECT_NE(run("info " + file).stdoutText.find("16-bit luminance, 12 significant bits"), std::string::npos);
    ASSERT_EQ(run("export " + file + " " + path("png")).status, 0);
    EXPECT_TRUE(fs::exists(path("png/white.png")));

    const Outcome calibrated = run("calibrate " + path("png/white.png") + " --overlay " + path("grid.png"));
    ASSERT_EQ(calibrated.status, 0) << calibrated.stderrText;
    EXPECT_NE(calibrated.stdoutText.find("exitPupilDistance = 0\n"), std::string::npos);
    EXPECT_NE(calibrated.stderrText.find("depth is in virtual units only"), std::string::npos);
    EXPECT_TRUE(fs::exists(path("grid.png")));

    const Outcome imported =
        run("import " + path("png") + " -o " + path("back.rays") + " --white " + path("png/white.png") +
            " --calibrate --optics " + path("png/calibration.txt") + " --bits 12 --first-id 5");
    ASSERT_EQ(imported.status, 0) << imported.stderrText;
    EXPECT_NE(imported.stdoutText.find("imported 2 frames into"), std::string::npos) << imported.stdoutText;
    const std::string info = run("info " + path("back.rays")).stdoutText;
    EXPECT_NE(info.find("16-bit luminance, 12 significant bits"), std::string::npos) << info;
    EXPECT_NE(info.find("first frame: id 5"), std::string::npos) << info;
    EXPECT_NE(info.find("lensPitch = 19.99"), std::string::npos) << info;

    std::ofstream(path("text.png")) << "not an image\n";
    for (const std::string& arguments :
         {"calibrate " + path("text.png"), "import " + path("png") + " -o " + path("x.rays"),
          "import " + path("png") + " -o " + path("x.rays") + " --calibrate",
          "import " + path("png") + " -o " + path("x.rays") + " --white " + path("text.png") + " --calibrate"}) {
        const Outcome o = run(arguments);
        EXPECT_EQ(o.status, 1) << arguments;
        EXPECT_EQ(std::count(o.stderrText.begin(), o.stderrText.end(), '\n'), 1) << arguments << " -> " << o.stderrText;
        EXPECT_FALSE(fs::exists(path("x.rays"))) << arguments;
    }
}

// No command replaces an existing output without --overwrite; the refusal is one line and the file stays.
TEST_F(RaystoolTest, OutputsAreNeverOverwrittenSilently) {
    const std::string file = path("seq.rays");
    const std::string create = "create --preset small --size 96 --frames 2 --quiet ";
    ASSERT_EQ(run(create + file).status, 0);
    const std::string size = std::to_string(fs::file_size(file));
    const auto refused = [&](const std::string& arguments, const std::string& name) {
        const Outcome o = run(arguments);
        EXPECT_EQ(o.status, 1) << arguments;
        EXPECT_EQ(o.stderrText, "raystool: " + name + ": already exists (give --overwrite to replace it)\n")
            << arguments;
    };
    std::ofstream(path("mine.rays")) << "an earlier file";
    refused(create + path("mine.rays"), "create: " + path("mine.rays"));
    EXPECT_EQ(slurp(path("mine.rays")), "an earlier file");
    ASSERT_EQ(run(create + "--overwrite --seed 2 " + path("mine.rays")).status, 0);
    EXPECT_TRUE(fs::exists(path("mine.rays.truth/truth.txt")));
    EXPECT_EQ(std::to_string(fs::file_size(path("mine.rays"))), size);

    ASSERT_EQ(run("export " + file + " " + path("png")).status, 0);
    refused("export " + file + " " + path("png"), "export: " + path("png/calibration.txt") + " (and 3 more)");
    std::ofstream(path("png/frame_00001.png")) << "a frame of mine";
    refused("export " + file + " " + path("png") + " --first 1",
            "export: " + path("png/calibration.txt") + " (and 2 more)");
    EXPECT_EQ(slurp(path("png/frame_00001.png")), "a frame of mine");
    ASSERT_EQ(run("export " + file + " " + path("png") + " --first 1 --overwrite").status, 0);
    EXPECT_NE(slurp(path("png/frame_00001.png")), "a frame of mine");

    const std::string import = "import " + path("png") + " --white " + path("png/white.png") + " --calibration " +
                               path("png/calibration.txt") + " -o ";
    refused(import + path("mine.rays"), "import: " + path("mine.rays"));
    EXPECT_EQ(std::to_string(fs::file_size(path("mine.rays"))), size);
    // The output spelled as a way to one of the inputs: refused even with --overwrite.
    const Outcome input = run(import + path("png/./white.png") + " --overwrite");
    EXPECT_EQ(input.status, 1);
    EXPECT_NE(input.stderrText.find("output is the input " + path("png/white.png")), std::string::npos)
        << input.stderrText;
    EXPECT_TRUE(fs::exists(path("png/white.png")));
    const Outcome replaced = run(import + path("mine.rays") + " --overwrite");
    EXPECT_EQ(replaced.status, 0) << replaced.stderrText;
    EXPECT_EQ(run("info " + path("mine.rays")).status, 0);
}

// Past the file-size limit every command that writes ends with one line naming the file, never by the signal.
TEST_F(RaystoolTest, AFileSizeLimitEndsWithOneLineAndLeavesNoHalfFile) {
    const std::string file = path("seq.rays");
    ASSERT_EQ(run("create --preset small --size 128 --frames 3 --bits 12 --quiet --no-truth " + file).status, 0);
    ASSERT_EQ(run("export " + file + " " + path("png")).status, 0);
    // ulimit -f counts 512-byte blocks in dash, 1024-byte ones in bash: 100 lets the 32 KiB white image through
    // in either, not all frames; 4 stops the first PNG.
    const struct {
        std::string arguments;
        std::string limit;
        std::string file;
    } cases[] = {
        {"import " + path("png") + " --white " + path("png/white.png") + " --calibration " +
             path("png/calibration.txt") + " -o " + path("in.rays"),
         "ulimit -f 100; ", "import: " + path("in.rays") + ": write failed: File too large (file-size limit) after"},
        {"create --preset small --size 128 --frames 3 --bits 12 --quiet --no-truth " + path("made.rays"),
         "ulimit -f 100; ", "create: " + path("made.rays") + ": write failed: File too large (file-size limit) after"},
        {"export " + file + " " + path("small"), "ulimit -f 4; ", "export: " + path("small/")},
    };
    for (const auto& c : cases) {
        const Outcome o = run(c.arguments, c.limit);
        EXPECT_EQ(o.status, 1) << c.arguments << " -> " << o.stderrText;
        EXPECT_EQ(std::count(o.stderrText.begin(), o.stderrText.end(), '\n'), 1) << o.stderrText;
        EXPECT_NE(o.stderrText.find("File too large (file-size limit)"), std::string::npos) << o.stderrText;
        EXPECT_EQ(o.stderrText.rfind("raystool: " + c.file, 0), 0u) << o.stderrText;
    }
    EXPECT_FALSE(fs::exists(path("in.rays")));
    EXPECT_FALSE(fs::exists(path("made.rays")));
    for (const auto& entry : fs::recursive_directory_iterator(dir_))
        EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();
}

// Calibrate writes the range it found and says from what: no fixed range, never 0 .. 0.
TEST_F(RaystoolTest, CalibrateFindsTheDepthRange) {
    ASSERT_EQ(run("create --preset demo --size 256 --frames 2 --samples 1 --quiet --no-truth " + path("d.rays")).status,
              0);
    ASSERT_EQ(run("export " + path("d.rays") + " " + path("png")).status, 0);
    const auto key = [](const std::string& text, const std::string& name) {
        const size_t at = text.find(name + " = ");
        return at == std::string::npos ? -1.0 : std::stod(text.substr(at + name.size() + 3));
    };
    // The demo scene lies at virtual depths 2.8 .. 4.6.
    const Outcome scene = run("calibrate " + path("png/white.png") + " " + path("png/frame_00000.png"));
    ASSERT_EQ(scene.status, 0) << scene.stderrText;
    EXPECT_GT(key(scene.stdoutText, "virtualDepthMin"), 1.5);
    EXPECT_LT(key(scene.stdoutText, "virtualDepthMin"), 2.8);
    EXPECT_GT(key(scene.stdoutText, "virtualDepthMax"), 4.6);
    EXPECT_LT(key(scene.stdoutText, "virtualDepthMax"), 12.0);
    EXPECT_NE(scene.stderrText.find("raystool: virtual depth range "), std::string::npos) << scene.stderrText;
    EXPECT_NE(scene.stderrText.find("the depths of " + path("png/frame_00000.png")), std::string::npos)
        << scene.stderrText;

    // A data sheet without the range: the optics' range.
    std::string sheet;
    {
        std::ifstream in(path("png/calibration.txt"));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("virtualDepth", 0) != 0) sheet += line + "\n";
    }
    std::ofstream(path("sheet.txt")) << sheet;
    const Outcome optics = run("calibrate " + path("png/white.png") + " --optics " + path("sheet.txt"));
    ASSERT_EQ(optics.status, 0) << optics.stderrText;
    EXPECT_GT(key(optics.stdoutText, "virtualDepthMin"), 1.0);
    EXPECT_GT(key(optics.stdoutText, "virtualDepthMax"), 6.0);
    EXPECT_NE(optics.stderrText.find("the range of the optics in " + path("sheet.txt")), std::string::npos)
        << optics.stderrText;

    // import --calibrate measures its first frame the same way.
    const Outcome imported = run("import " + path("png") + " -o " + path("back.rays") + " --white " +
                                 path("png/white.png") + " --calibrate");
    ASSERT_EQ(imported.status, 0) << imported.stderrText;
    EXPECT_NE(imported.stderrText.find("the depths of " + path("png/frame_00000.png")), std::string::npos)
        << imported.stderrText;
    const std::string info = run("info " + path("back.rays")).stdoutText;
    EXPECT_GT(key(info, "virtualDepthMax"), 4.6) << info;
    EXPECT_LT(key(info, "virtualDepthMax"), 12.0) << info;
}

// Every refusal of calibrate is one line "raystool: calibrate: <file or option>: <problem>"; import refuses
// the same pitch hints with the same words; an overlay never replaces a file unasked, nor an input at all.
TEST_F(RaystoolTest, CalibrateRefusalsAndOverlay) {
    ASSERT_EQ(
        run("create --preset small --size 128 --frames 1 --samples 1 --quiet --no-truth " + path("s.rays")).status, 0);
    ASSERT_EQ(run("export " + path("s.rays") + " " + path("png")).status, 0);
    const std::string white = path("png/white.png");
    std::ofstream(path("text.png")) << "not an image\n";
    std::ofstream(path("bad.txt")) << "lensPitch = 24\nthis is no key\n";
    {
        std::ifstream in(path("png/calibration.txt"));
        std::ofstream sheet(path("long.txt"));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("virtualDepth", 0) != 0 && line.rfind("microLensFocalLength", 0) != 0) sheet << line << "\n";
        sheet << "microLensFocalLength = 3\n";
    }
    cv::imwrite(path("flat.png"), cv::Mat(128, 128, CV_8UC1, cv::Scalar(200)));
    Vy::Synth::TestImages::LensArray squareArray;
    squareArray.square = true;
    squareArray.width = squareArray.height = 128;
    squareArray.principalX = squareArray.principalY = 64.0;
    cv::Mat squareWhite;
    Vy::Synth::TestImages::renderWhite(squareArray).convertTo(squareWhite, CV_8U, 1.0 / 16);  // as the frames: 8-bit
    cv::imwrite(path("square.png"), squareWhite);
    const struct {
        std::string arguments;
        std::string line;
    } cases[] = {
        {"calibrate", "calibrate: needs a WHITE image"},
        {"calibrate " + path("text.png"), "calibrate: " + path("text.png") + ": cannot read the image"},
        {"calibrate " + white + " " + path("text.png"), "calibrate: " + path("text.png") + ": cannot read"},
        {"calibrate " + white + " --pitch-hint abc", "calibrate: --pitch-hint: 'abc' is not a number"},
        {"calibrate " + white + " --pitch-hint -5", "calibrate: --pitch-hint -5: must be 5..400 px"},
        {"import " + path("png") + " -o " + path("x.rays") + " --white " + white + " --calibrate --pitch-hint -5",
         "import: --pitch-hint -5: must be 5..400 px"},
        {"calibrate " + white + " --pitch-hint 401", "calibrate: --pitch-hint 401: must be 5..400 px"},
        {"calibrate " + white + " --optics " + path("none.txt"), "calibrate: " + path("none.txt") + ": No such file"},
        {"calibrate " + white + " --optics " + path("bad.txt"), "calibrate: " + path("bad.txt") + ":2: "},
        {"calibrate " + white + " --bogus", "calibrate: unknown option --bogus"},
        {"calibrate " + white + " --overlay " + white + " --overwrite",
         "calibrate: " + white + ": output is the input " + white},
        {"calibrate " + white + " --overlay " + path("png/calibration.txt"),
         "calibrate: " + path("png/calibration.txt") + ": already exists (give --overwrite to replace it)"},
        // Optics whose lenses are sharp only where each lens sees its points alone; a white image without a grid.
        {"calibrate " + white + " --optics " + path("long.txt"),
         "calibrate: " + path("long.txt") + ": no virtual depth"},
        {"import " + path("png") + " -o " + path("x.rays") + " --white " + white + " --calibrate --optics " +
             path("long.txt"),
         "import: " + path("long.txt") + ": no virtual depth"},
        {"import " + path("png") + " -o " + path("x.rays") + " --white " + path("flat.png") + " --calibrate",
         "import: " + path("flat.png") + ": white image is flat"},
        // A square grid is found, and refused with the image named: the engine takes hexagonal grids only.
        {"calibrate " + path("square.png"), "calibrate: " + path("square.png") + ": square micro-image grid (pitch "},
        {"import " + path("png") + " -o " + path("x.rays") + " --white " + path("square.png") + " --calibrate",
         "import: " + path("square.png") + ": square micro-image grid (pitch "},
    };
    const std::string before = slurp(path("png/calibration.txt"));
    for (const auto& c : cases) {
        const Outcome o = run(c.arguments);
        EXPECT_EQ(o.status, 1) << c.arguments;
        EXPECT_EQ(o.stderrText.rfind("raystool: " + c.line, 0), 0u) << c.arguments << " -> " << o.stderrText;
        EXPECT_EQ(std::count(o.stderrText.begin(), o.stderrText.end(), '\n'), 1) << o.stderrText;
        EXPECT_EQ(o.stderrText.find("raystool: raystool:"), std::string::npos) << o.stderrText;
    }
    EXPECT_EQ(slurp(path("png/calibration.txt")), before);
    EXPECT_FALSE(fs::exists(path("x.rays")));
    EXPECT_NE(slurp(white).size(), 0u);
    EXPECT_EQ(cv::imread(white, cv::IMREAD_UNCHANGED).channels(), 1);

    ASSERT_EQ(run("calibrate " + white + " --overlay " + path("grid.png")).status, 0);
    EXPECT_EQ(cv::imread(path("grid.png"), cv::IMREAD_UNCHANGED).channels(), 3);
    EXPECT_EQ(run("calibrate " + white + " --overlay " + path("grid.png")).status, 1);
    const Outcome replaced = run("calibrate " + white + " --overlay " + path("png/calibration.txt") + " --overwrite");
    EXPECT_EQ(replaced.status, 0) << replaced.stderrText;
    EXPECT_EQ(cv::imread(path("png/calibration.txt"), cv::IMREAD_UNCHANGED).channels(), 3);
}

TEST_F(RaystoolTest, FitOpticsWritesTheFittedBlockAndRefusesWhatItCannotUse) {
    const std::string target = path("target.rays");
    ASSERT_EQ(run("create --preset target --size 384 --frames 4 --b-error 0.05 --quiet " + target).status, 0);
    const std::string table = target + ".truth/distances.csv";
    const std::string fit = "fit-optics " + target + " --distances " + table + " ";
    const Outcome fitted = run(fit + "-o " + path("optics.txt"));
    ASSERT_EQ(fitted.status, 0) << fitted.stderrText;
    EXPECT_NE(fitted.stdoutText.find("residual: median "), std::string::npos) << fitted.stdoutText;
    EXPECT_NE(fitted.stdoutText.find("calibration written to " + path("optics.txt")), std::string::npos);
    const std::string block = slurp(path("optics.txt"));
    EXPECT_NE(block.find("mlaToSensor = 0.36"), std::string::npos) << block;  // 0.35 * 1.05, within the fit
    // The fitted block checked on its own target: what was left.
    const Outcome check = run(fit + "--check --calibration " + path("optics.txt"));
    EXPECT_EQ(check.status, 0) << check.stderrText;
    EXPECT_NE(check.stdoutText.find("optics (not fitted): mlaToSensor 0.36"), std::string::npos) << check.stdoutText;

    std::ofstream(path("bad.csv")) << "0,1000\n1,x\n";
    ASSERT_EQ(run("create --preset small --size 96 --frames 1 --quiet --no-truth " + path("small.rays")).status, 0);
    const struct {
        std::string arguments;
        std::string expected;
    } cases[] = {
        {"fit-optics", "fit-optics: needs a recording of the target"},
        {fit, "fit-optics: needs either -o CALIBRATION.txt or --check"},
        {fit + "--check -o " + path("x.txt"), "fit-optics: needs either -o CALIBRATION.txt or --check"},
        {"fit-optics " + target + " --check", "fit-optics: needs --distances CSV"},
        {fit + "--check --square -2", "fit-optics: --square must be a positive size in mm"},
        {fit + "--check --corners 8by6", "fit-optics: --corners: '8by6' is not COLUMNSxROWS (8x6)"},
        {fit + "-o " + path("optics.txt"), "fit-optics: " + path("optics.txt") + ": already exists"},
        {fit + "--overwrite -o " + table, "fit-optics: " + table + ": output is the input " + table},
        {"fit-optics " + target + " --check --distances " + path("bad.csv"),
         "fit-optics: " + path("bad.csv") + ": line 2: '1,x' is not frame,distance_mm"},
        {"fit-optics " + target + " --check --distances " + path("none.csv"), "fit-optics: " + path("none.csv") + ": "},
        {fit + "--check --calibration " + target + ".truth/truth.txt", "fit-optics: " + target + ".truth/truth.txt"},
        {"fit-optics " + target + " " + path("small.rays") + " --check --distances " + table,
         "fit-optics: " + path("small.rays") + ": its calibration differs from " + target + "'s"},
    };
    for (const auto& c : cases) {
        const Outcome o = run(c.arguments);
        EXPECT_EQ(o.status, 1) << c.arguments;
        EXPECT_EQ(o.stderrText.rfind("raystool: " + c.expected, 0), 0u) << c.arguments << "\n" << o.stderrText;
        EXPECT_EQ(std::count(o.stderrText.begin(), o.stderrText.end(), '\n'), 1) << o.stderrText;
    }
    EXPECT_EQ(block, slurp(path("optics.txt")));
}
