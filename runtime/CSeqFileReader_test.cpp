#include "CSeqFileReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "CSeqFileWriter.h"
#include "CVyException.h"
#include "CalibrationSamples.h"
#include "RaysFormat.h"
#include "TestFiles.h"
#include "WarningSink.h"

namespace {

constexpr int32_t kWidth = 64;
constexpr int32_t kHeight = 48;
const CVyImageFormat kFormat{kWidth, kHeight, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte};

CVyImage Frame(int32_t id, int32_t width = kWidth, int32_t height = kHeight) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>(i * 7 + id * 13);
    }
    CVyImage image;
    image.Create(width, height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, pixels.data());
    image.frameId = 1000 + id;
    image.timeStamp = 1.565e12 + id * 33.25;
    return image;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class CSeqFileReaderTest : public ::testing::Test {
protected:
    // Records frames 0..count-1 (with a white image when asked) and returns the path.
    std::string Record(const std::string& name, int count, bool withWhite) {
        const std::string path = dir.File(name);
        CVyImage white;
        if (withWhite) {
            white = Frame(77);
        }
        writer.Create(path, kFormat, Vy::Test::SmallCalibration(), white);
        for (int i = 0; i < count; ++i) {
            writer.WriteFrame(Frame(i));
        }
        writer.Close();
        return path;
    }

    // The reason Open gives for content, or "" when it opens.
    std::string OpenError(const std::string& content) {
        const std::string path = dir.Write("bad.rays", content);
        try {
            reader.Open(path, 0);
        } catch (const CVyException& error) {
            EXPECT_EQ(error.Operation(), "CSeqFileReader::Open");
            EXPECT_EQ(error.Subject(), path);
            EXPECT_FALSE(reader.IsOpen());
            return error.Reason();
        }
        return "";
    }

    // A good two-frame file with the header field at offset patched to value.
    std::string Patched(size_t offset, uint32_t value) {
        std::string bytes = ReadAll(Record("good.rays", 2, true));
        Vy::Rays::PutU32(reinterpret_cast<uint8_t*>(bytes.data()) + offset, value);
        return bytes;
    }

    Vy::Test::ScratchDir dir;
    CSeqFileWriter writer;
    CSeqFileReader reader;
};

TEST_F(CSeqFileReaderTest, RoundTripKeepsFramesStampsCalibrationAndWhite) {
    const std::string path = Record("round.rays", 5, true);
    reader.Open(path, 2);
    EXPECT_EQ(reader.GetFrameCount(), 5u);
    EXPECT_EQ(reader.GetPromisedFrameCount(), 5u);
    EXPECT_EQ(reader.GetFrameFormat(), kFormat);
    EXPECT_EQ(reader.GetCalibration().ToText(), Vy::Test::SmallCalibration().ToText());

    CRayImage image;
    reader.StartReading(image);
    EXPECT_EQ(image.GetCalibration().ToText(), Vy::Test::SmallCalibration().ToText());
    ASSERT_FALSE(image.GetWhiteImage().IsEmpty());
    EXPECT_EQ(std::memcmp(image.GetWhiteImage().GetPixelData(), Frame(77).GetPixelData(), Frame(77).GetByteSize()), 0);
    for (int i = 0; i < 5; ++i) {
        reader.ReadFrame(image);
        const CVyImage expected = Frame(i);
        EXPECT_EQ(image.frameId, expected.frameId);
        EXPECT_EQ(image.timeStamp, expected.timeStamp);
        ASSERT_EQ(image.GetFormat(), kFormat);
        EXPECT_EQ(std::memcmp(image.GetPixelData(), expected.GetPixelData(), expected.GetByteSize()), 0) << i;
    }
    EXPECT_EQ(reader.GetFrameIndex(), 5u);
    try {
        reader.ReadFrame(image);
        FAIL() << "read past the end";
    } catch (const CVyException& error) {
        EXPECT_EQ(error.Reason(), "no frame left (index 5 of 5)");
    }

    // A mapped frame is copied before it is written; the file stays as recorded.
    reader.Seek(1);
    reader.ReadFrame(image);
    static_cast<uint8_t*>(image.GetPixelDataForWrite())[0] ^= 0xFF;
    CRayImage again;
    reader.Seek(1);
    reader.ReadFrame(again);
    EXPECT_EQ(static_cast<const uint8_t*>(again.GetPixelData())[0],
              static_cast<const uint8_t*>(Frame(1).GetPixelData())[0]);
    EXPECT_THROW(reader.Seek(6), CVyException);
}

TEST_F(CSeqFileReaderTest, FramesOutliveTheReader) {
    reader.Open(Record("outlive.rays", 3, false), 0);
    CRayImage image;
    reader.StartReading(image);
    EXPECT_TRUE(image.GetWhiteImage().IsEmpty());
    reader.ReadFrame(image);
    reader.Close();
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(std::memcmp(image.GetPixelData(), Frame(0).GetPixelData(), Frame(0).GetByteSize()), 0);
    EXPECT_THROW(reader.ReadFrame(image), CVyException);
}

TEST_F(CSeqFileReaderTest, CutShortFileReplaysItsWholeFrames) {
    const std::string path = Record("cut.rays", 4, false);
    const size_t record = Vy::Rays::RecordSize(kWidth, kHeight);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(ReadAll(path).size() - record - 10)), 0);
    std::vector<std::string> sunk;
    const Vy::WarningSink previous = Vy::SetWarningSink([&](const std::string& line) { sunk.push_back(line); });
    ::testing::internal::CaptureStderr();
    reader.Open(path, 0);
    const std::string printed = ::testing::internal::GetCapturedStderr();
    Vy::SetWarningSink(previous);
    // The caller gets the warning, once, both ways; the reader prints nothing itself.
    const std::vector<std::string> expected = {path + ": header promises 4 frames, file holds 2 whole frames"};
    EXPECT_EQ(reader.GetWarnings(), expected);
    EXPECT_EQ(sunk, expected);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(reader.GetFrameCount(), 2u);
    EXPECT_EQ(reader.GetPromisedFrameCount(), 4u);
    CRayImage image;
    reader.StartReading(image);
    reader.ReadFrame(image);
    reader.ReadFrame(image);
    EXPECT_EQ(image.frameId, 1001);
    EXPECT_THROW(reader.ReadFrame(image), CVyException);
}

TEST_F(CSeqFileReaderTest, UnfinishedRecordingCountsWholeFrames) {
    // What an abrupt end leaves on disk: the count never patched, the last record incomplete.
    std::string bytes = ReadAll(Record("open.rays", 3, true));
    Vy::Rays::PutU32(reinterpret_cast<uint8_t*>(bytes.data()) + Vy::Rays::kFrameCountOffset,
                     Vy::Rays::kUnfinishedCount);
    bytes.resize(bytes.size() - 5);
    const std::string unfinished = dir.Write("unfinished.rays", bytes);
    ::testing::internal::CaptureStderr();
    reader.Open(unfinished, 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(reader.GetWarnings(),
              std::vector<std::string>{unfinished +
                                       ": recording was not finished (no frame count), file holds 2 whole frames"});
    EXPECT_EQ(reader.GetFrameCount(), 2u);
    EXPECT_EQ(reader.GetPromisedFrameCount(), Vy::Rays::kUnfinishedCount);

    // A whole file after it leaves no warning behind, nor does a file that fails to open.
    reader.Open(Record("whole.rays", 2, false), 0);
    EXPECT_TRUE(reader.GetWarnings().empty());
    reader.Open(unfinished, 1);
    EXPECT_THROW(reader.Open(dir.File("missing.rays"), 0), CVyException);
    EXPECT_TRUE(reader.GetWarnings().empty());
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(reader.GetFrameCount(), 0u);
}

TEST_F(CSeqFileReaderTest, FileThatShrinksWhileReadingThrowsInsteadOfCrashing) {
    const std::string path = Record("shrink.rays", 3, false);
    reader.Open(path, 0);
    CRayImage image;
    reader.StartReading(image);
    ASSERT_EQ(truncate(path.c_str(), 100), 0);
    try {
        reader.ReadFrame(image);
        FAIL() << "no error for a shrunk file";
    } catch (const CVyException& error) {
        EXPECT_NE(error.Reason().find("file shrank to 100 bytes"), std::string::npos) << error.Reason();
    }
}

TEST_F(CSeqFileReaderTest, BadFilesGiveTheDocumentedReason) {
    using namespace std::string_literals;
    const std::string good = ReadAll(Record("good.rays", 2, true));
    const uint32_t calibrationLength = static_cast<uint32_t>(Vy::Test::SmallCalibration().ToText().size());

    EXPECT_EQ(OpenError(""), "file too short for a rays header (0 bytes)");
    EXPECT_EQ(OpenError(good.substr(0, 63)), "file too short for a rays header (63 bytes)");
    EXPECT_EQ(OpenError("P5\n64 48\n255\n" + std::string(100, 'x')), "not a rays sequence file (bad magic)");
    EXPECT_EQ(OpenError(Patched(8, 3)), "unsupported format version 3");
    EXPECT_EQ(OpenError(Patched(12, 10)),
              "header size 10 is outside [64, file size " + std::to_string(good.size()) + "]");
    EXPECT_EQ(OpenError(Patched(16, 0)), "frame size 0x48 is outside 1..32768");
    EXPECT_EQ(OpenError(Patched(20, 40000)), "frame size 64x40000 is outside 1..32768");
    EXPECT_EQ(OpenError(Patched(20, 0xFFFFFFFF)), "frame size 64x-1 is outside 1..32768");
    EXPECT_EQ(OpenError(Patched(24, Vy::PixelTypeBGR)),
              "unsupported pixel type 0x80e0 / data type 0x1401 (only 8-bit luminance)");
    EXPECT_EQ(OpenError(Patched(28, Vy::DataTypeUnsignedShort)),
              "unsupported pixel type 0x1909 / data type 0x1403 (only 8-bit luminance)");
    EXPECT_EQ(OpenError(Patched(36, (1u << 20) + 1)), "calibration block of 1048577 bytes exceeds 1 MiB");
    EXPECT_EQ(OpenError(good.substr(0, 64 + 20)), "calibration block (" + std::to_string(calibrationLength) +
                                                      " bytes at offset 64) runs past the end "
                                                      "of the file (84 bytes)");
    EXPECT_EQ(OpenError(Patched(40, 7)), "white-image flag 7 is neither 0 nor 1");
    EXPECT_EQ(OpenError(good.substr(0, 64 + calibrationLength + 100)),
              "white image (3072 bytes at offset " + std::to_string(64 + calibrationLength) +
                  ") runs past the end of the file (" + std::to_string(64 + calibrationLength + 100) + " bytes)");
    EXPECT_EQ(OpenError(Patched(48, 12345)), "first-frame offset 12345 is inconsistent (expected " +
                                                 std::to_string(64 + calibrationLength + 3072) + ")");

    std::string badKey = good;
    badKey.replace(badKey.find("lensPitch"), 9, "lensPatch");
    EXPECT_EQ(OpenError(badKey), "calibration block:7: unknown key 'lensPatch'");
    std::string badPitch = good;
    badPitch.replace(badPitch.find("lensPitch = 12.25"), 17, "lensPitch = 2.250");
    EXPECT_EQ(OpenError(badPitch), "lens pitch 2.25 px is outside [4, 1024]");
    std::string otherSensor = good;
    otherSensor.replace(otherSensor.find("sensorWidth = 64"), 16, "sensorWidth = 65");
    EXPECT_EQ(OpenError(otherSensor), "calibration sensor size 65x48 differs from the frame size 64x48");
    EXPECT_EQ(OpenError(good), "");
}

// The engine needs one output pixel at its largest output scale (16) and one whole
// micro-image across: smaller frames would crash it or give nothing but errors.
TEST_F(CSeqFileReaderTest, FramesTooSmallForTheEngineAreRefusedNamingTheMinimum) {
    const auto openSized = [&](int32_t width, int32_t height, double pitch) {
        CCalibration calibration = Vy::Test::SmallCalibration(width, height);
        calibration.gridOffsetX = calibration.gridOffsetY = 0.5;
        calibration.lensPitch = pitch;
        calibration.microImageRadius = pitch * 0.45;
        const std::string path = dir.File("small.rays");
        writer.Create(path, CVyImageFormat{width, height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte},
                      calibration, CVyImage());
        writer.WriteFrame(Frame(0, width, height));
        writer.Close();
        try {
            reader.Open(path, 0);
            return std::string();
        } catch (const CVyException& error) {
            return error.Reason();
        }
    };
    const std::string minimum =
        " is below the engine's minimum of 16x16 pixels (one output pixel at the largest "
        "output.scale)";
    EXPECT_EQ(openSized(1, 48, 12.25), "frame size 1x48" + minimum);
    EXPECT_EQ(openSized(64, 1, 12.25), "frame size 64x1" + minimum);
    EXPECT_EQ(openSized(1, 1, 4), "frame size 1x1" + minimum);
    EXPECT_EQ(openSized(15, 48, 4), "frame size 15x48" + minimum);
    EXPECT_EQ(openSized(20, 48, 24.5), "frame size 20x48 holds no whole micro-image (lens pitch 24.5 px)");
    EXPECT_EQ(openSized(16, 16, 12.25), "");
    EXPECT_EQ(openSized(25, 48, 24.5), "");
}

TEST_F(CSeqFileReaderTest, MissingFilesAndDirectoriesNameThePath) {
    try {
        reader.Open(dir.File("absent.rays"), 0);
        FAIL();
    } catch (const CVyException& error) {
        EXPECT_EQ(std::string(error.what()),
                  "CSeqFileReader::Open: " + dir.File("absent.rays") + ": No such file or directory");
    }
    mkdir(dir.File("folder.rays").c_str(), 0755);
    try {
        reader.Open(dir.File("folder.rays"), 0);
        FAIL();
    } catch (const CVyException& error) {
        EXPECT_EQ(error.Reason(), "is a directory");
    }
    ASSERT_EQ(mkfifo(dir.File("pipe.rays").c_str(), 0600), 0);
    try {
        reader.Open(dir.File("pipe.rays"), 0);
        FAIL();
    } catch (const CVyException& error) {
        EXPECT_EQ(error.Reason(), "not a regular file");
    }
    CRayImage image;
    EXPECT_THROW(reader.StartReading(image), CVyException);
}

TEST_F(CSeqFileReaderTest, WriterRefusesWhatTheReaderWouldReject) {
    const std::string path = dir.File("w.rays");
    const CCalibration calibration = Vy::Test::SmallCalibration();
    EXPECT_THROW(writer.Create(path, CVyImageFormat{kWidth, kHeight, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte},
                               calibration, CVyImage()),
                 CVyException);
    EXPECT_THROW(writer.Create(path, kFormat, CCalibration(), CVyImage()), CVyException);
    EXPECT_THROW(writer.Create(path, kFormat, Vy::Test::SmallCalibration(32, 48), CVyImage()), CVyException);
    EXPECT_THROW(writer.Create(path, kFormat, calibration, Frame(1, 32, 48)), CVyException);
    EXPECT_THROW(writer.Create(dir.File("no/such/dir.rays"), kFormat, calibration, CVyImage()), CVyException);
    EXPECT_THROW(writer.WriteFrame(Frame(0)), CVyException);

    writer.Create(path, kFormat, calibration, CVyImage());
    EXPECT_THROW(writer.WriteFrame(Frame(0, 32, 48)), CVyException);
    writer.WriteFrame(Frame(0));
    EXPECT_EQ(writer.GetFramesWritten(), 1u);
    writer.Close();
    EXPECT_FALSE(writer.IsOpen());
    reader.Open(path, 0);
    EXPECT_EQ(reader.GetFrameCount(), 1u);
}

// A full disk, here the file-size limit: the file ends with its last whole frame, the
// count says no more, and a file without room for its header and white image is not left.
TEST_F(CSeqFileReaderTest, AFailedWriteLeavesOnlyWholeFramesAndAnHonestCount) {
    const std::string path = dir.File("full.rays");
    const CCalibration calibration = Vy::Test::SmallCalibration();
    const size_t start = Vy::Rays::kHeaderSize + calibration.ToText().size() + Frame(77).GetByteSize();
    const size_t record = Vy::Rays::RecordSize(kWidth, kHeight);
    {
        const Vy::Test::FileSizeLimit limit(start + 2 * record + record / 2);
        writer.Create(path, kFormat, calibration, Frame(77));
        writer.WriteFrame(Frame(0));
        writer.WriteFrame(Frame(1));
        try {
            writer.WriteFrame(Frame(2));
            FAIL() << "a frame past the limit was taken";
        } catch (const CVyException& error) {
            EXPECT_EQ(error.Subject(), path);
            EXPECT_EQ(error.Reason(), "write failed: File too large (file-size limit) after 2 whole frames");
        }
        EXPECT_EQ(writer.GetFramesWritten(), 2u);
        writer.Close();
    }
    EXPECT_EQ(ReadAll(path).size(), start + 2 * record) << "the part of frame 2 that fitted was left";
    reader.Open(path, 0);
    EXPECT_TRUE(reader.GetWarnings().empty());
    EXPECT_EQ(reader.GetFrameCount(), 2u);
    EXPECT_EQ(reader.GetPromisedFrameCount(), 2u);
    CRayImage image;
    for (reader.StartReading(image); reader.GetFrameIndex() < 2;) {
        const CVyImage expected = Frame(static_cast<int32_t>(reader.GetFrameIndex()));
        reader.ReadFrame(image);
        EXPECT_EQ(std::memcmp(image.GetPixelData(), expected.GetPixelData(), expected.GetByteSize()), 0);
    }
    reader.Close();

    const Vy::Test::FileSizeLimit limit(start - 100);
    try {
        writer.Create(path, kFormat, calibration, Frame(77));
        FAIL() << "a white image past the limit was taken";
    } catch (const CVyException& error) {
        EXPECT_NE(error.Reason().find("write failed: File too large"), std::string::npos) << error.what();
        EXPECT_NE(error.Reason().find("the file was removed"), std::string::npos) << error.what();
    }
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_EQ(access(path.c_str(), F_OK), -1) << "an unreadable header was left";
}

long ResidentKB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

TEST_F(CSeqFileReaderTest, ReplayDoesNotGrowResidentMemoryWithTheFile) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed frames resident in its quarantine";
#endif
    // 48 frames of 1 MiB: without releasing pages, replay would keep all 48 MiB resident.
    constexpr int32_t kSide = 1024;
    constexpr int kFrames = 48;
    CCalibration calibration = Vy::Test::SmallCalibration(kSide, kSide);
    const std::string path = dir.File("large.rays");
    {
        CVyImage frame;
        frame.Create(CVyImageFormat{kSide, kSide, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte});
        std::memset(frame.GetPixelDataForWrite(), 1, frame.GetByteSize());
        CSeqFileWriter large;
        large.Create(path, frame.GetFormat(), calibration, CVyImage());
        for (int i = 0; i < kFrames; ++i) {
            large.WriteFrame(frame);
        }
    }
    reader.Open(path, 2);
    CRayImage image;
    reader.StartReading(image);
    const long before = ResidentKB();
    uint64_t sum = 0;
    for (int i = 0; i < kFrames; ++i) {
        reader.ReadFrame(image);
        const auto* pixels = static_cast<const uint8_t*>(image.GetPixelData());
        sum = std::accumulate(pixels, pixels + image.GetByteSize(), sum);
    }
    image.Clear();
    const long grown = ResidentKB() - before;
    EXPECT_EQ(sum, uint64_t{kFrames} * kSide * kSide);
    EXPECT_LT(grown, 8 * 1024) << "resident memory grew by " << grown << " kB";
}

}  // namespace

// 16-bit frames: version 2 with their significant bits; 8-bit files keep version 1 so older readers open them.
TEST_F(CSeqFileReaderTest, SixteenBitFramesRoundTripWithTheirSignificantBits) {
    const CVyImageFormat deep{kWidth, kHeight, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort};
    const auto frame16 = [&](int id) {
        std::vector<uint16_t> pixels(static_cast<size_t>(kWidth) * kHeight);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>((i * 37 + id * 101) % 4096);
        CVyImage image;
        image.Create(kWidth, kHeight, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, pixels.data());
        image.frameId = id;
        image.timeStamp = 5.0 * id;
        return image;
    };
    const std::string path = dir.File("deep.rays");
    writer.Create(path, deep, Vy::Test::SmallCalibration(), frame16(99), 12);
    for (int i = 0; i < 3; ++i) writer.WriteFrame(frame16(i));
    writer.Close();

    const std::string bytes = ReadAll(path);
    EXPECT_EQ(Vy::Rays::DecodeHeader(reinterpret_cast<const uint8_t*>(bytes.data())).version, 2u);
    EXPECT_EQ(
        Vy::Rays::DecodeHeader(reinterpret_cast<const uint8_t*>(ReadAll(Record("v1.rays", 1, false)).data())).version,
        1u);

    reader.Open(path, 2);
    EXPECT_EQ(reader.GetFrameFormat(), deep);
    EXPECT_EQ(reader.GetSignificantBits(), 12);
    CRayImage image;
    reader.StartReading(image);
    EXPECT_EQ(image.GetWhiteImage().GetSignificantBits(), 12);
    EXPECT_EQ(std::memcmp(image.GetWhiteImage().GetPixelData(), frame16(99).GetPixelData(), deep.GetByteSize()), 0);
    for (int i = 0; i < 3; ++i) {
        reader.ReadFrame(image);
        EXPECT_EQ(image.frameId, i);
        EXPECT_EQ(image.GetSignificantBits(), 12);
        EXPECT_EQ(std::memcmp(image.GetPixelData(), frame16(i).GetPixelData(), deep.GetByteSize()), 0);
    }
    reader.Close();

    // Bits the data type cannot hold, and 16-bit data in a version 1 header, are refused.
    std::string patched = bytes;
    Vy::Rays::PutU32(reinterpret_cast<uint8_t*>(patched.data()) + 44, 9);
    EXPECT_EQ(OpenError(patched),
              "significant bits 9 do not fit data type 0x1403 (8 for bytes, 10..16 for 16-bit samples)");
    patched = bytes;
    Vy::Rays::PutU32(reinterpret_cast<uint8_t*>(patched.data()) + 8, 1);
    EXPECT_EQ(OpenError(patched), "unsupported pixel type 0x1909 / data type 0x1403 (only 8-bit luminance)");
    EXPECT_THROW(writer.Create(dir.File("x.rays"), deep, Vy::Test::SmallCalibration(), CVyImage(), 9), CVyException);
    EXPECT_THROW(writer.Create(dir.File("x.rays"), kFormat, Vy::Test::SmallCalibration(), CVyImage(), 12),
                 CVyException);
}
