#include "CParameterSet.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "CVyException.h"
#include "TestFiles.h"

namespace {

constexpr uint32_t kSteps = 1;
constexpr uint32_t kScale = 2;
constexpr uint32_t kName = 3;

class CParameterSetTest : public ::testing::Test {
protected:
    CParameterSetTest() {
        params.Declare(kSteps, "depth.steps", 32, 2, 256);
        params.Declare(kScale, "output.scale", 2, 1, 16);
        params.DeclareText(kName, "camera.name", "none");
    }

    // The reason of the error importing content, or "" when it imports.
    std::string ImportError(const std::string& content, std::string* subject = nullptr) {
        const std::string file = dir.Write("settings.vyset", content);
        try {
            params.ImportParameterFromFile(file);
        } catch (const CVyException& error) {
            EXPECT_EQ(error.Operation(), "ImportParameterFromFile");
            if (subject) {
                *subject = error.Subject().substr(error.Subject().rfind('/') + 1);
            }
            return error.Reason();
        }
        return "";
    }

    Vy::Test::ScratchDir dir;
    CParameterSet params;
};

TEST_F(CParameterSetTest, ImportsNumbersTextCommentsAndBlanks) {
    EXPECT_EQ(ImportError("# header\n\n  depth.steps =  64  # trailing\r\ncamera.name = left cam\noutput.scale=4"), "");
    EXPECT_EQ(params.GetNumber(kSteps), 64);
    EXPECT_EQ(params.GetNumber(kScale), 4);
    CVyString name;
    params.GetValue(kName, name);
    EXPECT_EQ(name.ToStdString(), "left cam");
}

TEST_F(CParameterSetTest, ErrorsNameFileLineAndChangeNothing) {
    std::string subject;
    EXPECT_EQ(ImportError("depth.steps = 8\nfoo = 1\n", &subject), "unknown key 'foo'");
    EXPECT_EQ(subject, "settings.vyset:2");
    EXPECT_EQ(params.GetNumber(kSteps), 32) << "a bad file must change nothing";

    EXPECT_EQ(ImportError("\n\ndepth.steps\n", &subject), "malformed line (expected key = value)");
    EXPECT_EQ(subject, "settings.vyset:3");
    EXPECT_EQ(ImportError("= 3\n"), "malformed line (expected key = value)");
    EXPECT_EQ(ImportError("depth.steps = abc\n"), "value 'abc' of 'depth.steps' is not a number");
    EXPECT_EQ(ImportError("depth.steps = 12x\n"), "value '12x' of 'depth.steps' is not a number");
    EXPECT_EQ(ImportError("depth.steps = nan\n"), "value 'nan' of 'depth.steps' is not a number");
    EXPECT_EQ(ImportError("depth.steps =\n"), "value '' of 'depth.steps' is not a number");
    EXPECT_EQ(ImportError("output.scale = 99\n"), "value 99 of 'output.scale' is outside [1, 16]");
    EXPECT_EQ(ImportError("depth.steps = 4\ndepth.steps = 5\n", &subject), "key 'depth.steps' given twice");
    EXPECT_EQ(subject, "settings.vyset:2");
    EXPECT_EQ(ImportError("# " + std::string(5000, 'x') + "\n"), "line longer than 4096 characters");
    EXPECT_EQ(params.GetNumber(kSteps), 32);
}

// Files from other editors: every line end is one, so no setting hides in a "comment".
TEST_F(CParameterSetTest, ReadsCrLfAndCrOnlyLineEnds) {
    EXPECT_EQ(ImportError("# old editor\rdepth.steps = 64\routput.scale = 4\r"), "");
    EXPECT_EQ(params.GetNumber(kSteps), 64);
    EXPECT_EQ(params.GetNumber(kScale), 4);
    EXPECT_EQ(ImportError("depth.steps = 16\r\n\r\noutput.scale = 3\n\rcamera.name = mixed"), "");
    EXPECT_EQ(params.GetNumber(kSteps), 16);
    EXPECT_EQ(params.GetNumber(kScale), 3);
    std::string subject;
    EXPECT_EQ(ImportError("depth.steps = 8\rfoo = 1\r", &subject), "unknown key 'foo'");
    EXPECT_EQ(subject, "settings.vyset:2") << "a CR-only file counts its lines";
}

// What a message shows of a value is all of it, escaped: a NUL cuts nothing, an escape sequence does not reach the
// terminal, and a long value is cut.
TEST_F(CParameterSetTest, MessagesShowControlCharactersEscaped) {
    const std::string reason = ImportError(std::string("camera.name = left\0right\n", 25));
    EXPECT_EQ(reason, "line 'camera.name = left\\x00right' holds a control character");
    EXPECT_EQ(ImportError("depth.steps = 1\x1b[2J\n"), "line 'depth.steps = 1\\x1b[2J' holds a control character");
    EXPECT_EQ(ImportError("depth.steps = " + std::string(200, '7') + "x\n"),
              "value '" + std::string(80, '7') + "'... of 'depth.steps' is not a number");
    CVyString name;
    params.GetValue(kName, name);
    EXPECT_EQ(name.ToStdString(), "none");
}

TEST_F(CParameterSetTest, MissingFileOrDirectoryNamesThePath) {
    try {
        params.ImportParameterFromFile(dir.File("absent.vyset"));
        FAIL() << "no error for a missing file";
    } catch (const CVyException& error) {
        EXPECT_EQ(error.Subject(), dir.File("absent.vyset"));
        EXPECT_EQ(error.Reason(), "No such file or directory");
        EXPECT_EQ(std::string(error.what()),
                  "ImportParameterFromFile: " + dir.File("absent.vyset") + ": No such file or directory");
    }
    const auto reasonFor = [&](const std::string& path) {
        try {
            params.ImportParameterFromFile(path);
        } catch (const CVyException& error) {
            return error.Reason();
        }
        return std::string();
    };
    EXPECT_EQ(reasonFor(dir.File("")), "is a directory");
    ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
    EXPECT_EQ(reasonFor(dir.File("pipe")), "not a regular file");
    EXPECT_EQ(reasonFor(dir.Write("big", std::string((1 << 20) + 1, '#'))), "file larger than 1048576 bytes");
}

TEST_F(CParameterSetTest, SetAndGetCheckKindAndRange) {
    params.SetValue(kScale, 3.0);
    EXPECT_EQ(params.GetNumber(kScale), 3.0);
    EXPECT_THROW(params.SetValue(kScale, 17.0), CVyException);
    EXPECT_THROW(params.SetValue(kScale, std::nan("")), CVyException);
    EXPECT_THROW(params.SetValue(kName, 1.0), CVyException);
    EXPECT_THROW(params.GetNumber(kName), CVyException);
    EXPECT_THROW(params.GetNumber(99), CVyException);
    CVyString text;
    EXPECT_THROW(params.GetValue(kSteps, text), CVyException);
    EXPECT_TRUE(params.Has(kSteps));
    EXPECT_FALSE(params.Has(99));
}

TEST(CVyExceptionTest, FormatsOneLineWithOrWithoutSubject) {
    const CVyException full("Op", "file.rays", "bad magic");
    EXPECT_STREQ(full.what(), "Op: file.rays: bad magic");
    EXPECT_EQ(full.ToString(true).ToStdString(), "Op: file.rays: bad magic");
    EXPECT_EQ(full.ToString(false).ToStdString(), "bad magic");
    EXPECT_STREQ(full.GetMessage(), full.what());
    const CVyException bare("Op", "", "two\nlines");
    EXPECT_STREQ(bare.what(), "Op: two lines");
    EXPECT_EQ(bare.ToString(false).ToStdString(), "two lines");
}

}  // namespace
