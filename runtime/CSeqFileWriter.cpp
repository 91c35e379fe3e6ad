#include "CSeqFileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "CVyException.h"
#include "RaysFormat.h"

namespace {

std::string FormatText(const CVyImageFormat& format) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%dx%d pixel type 0x%x data type 0x%x", format.width, format.height,
                  format.pixelType, format.dataType);
    return buffer;
}

// Writes size bytes at offset; 0, or the errno of the failure (a write that stops short counts as a full disk).
int WriteAll(int fd, const void* data, size_t size, uint64_t offset) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : ENOSPC;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return 0;
}

std::string ErrorText(int error) {
    // EFBIG comes from the file-size limit (ulimit -f) far more often than from the file system.
    return error == EFBIG ? std::string(std::strerror(error)) + " (file-size limit)" : std::strerror(error);
}

}  // namespace

// Owned by the writer's caller thread; one file at a time. Every write goes
// straight to the file at its offset (no stdio buffer), so the writer always
// knows which frames reached the file whole.
struct CSeqFileWriter::State {
    int fd = -1;
    std::string path;
    CVyImageFormat format;
    uint64_t firstFrameOffset = 0;
    uint32_t framesWritten = 0;

    uint64_t FrameOffset(uint32_t frame) const {
        return firstFrameOffset + static_cast<uint64_t>(frame) * (Vy::Rays::kRecordHeaderSize + format.GetByteSize());
    }
};

CSeqFileWriter::CSeqFileWriter() : state_(std::make_unique<State>()) {}

CSeqFileWriter::~CSeqFileWriter() {
    try {
        Close();
    } catch (const CVyException&) {
        // A destructor has no one to tell; callers who care call Close themselves.
    }
}

void CSeqFileWriter::Create(const CVyString& path, const CVyImageFormat& frameFormat, const CCalibration& calibration,
                            const CVyImage& white, int significantBits) {
    static const char* kOperation = "CSeqFileWriter::Create";
    Close();
    const std::string& file = path.ToStdString();
    const bool sixteen = frameFormat.dataType == Vy::DataTypeUnsignedShort;
    if (frameFormat.pixelType != Vy::PixelTypeLuminance ||
        (frameFormat.dataType != Vy::DataTypeUnsignedByte && !sixteen) || frameFormat.width < 1 ||
        frameFormat.height < 1 || frameFormat.width > Vy::Rays::kMaxSide || frameFormat.height > Vy::Rays::kMaxSide) {
        throw CVyException(kOperation, file,
                           "unsupported frame format " + FormatText(frameFormat) +
                               " (needs 8- or 16-bit luminance, 1..32768 pixels a side)");
    }
    const int bits = significantBits > 0 ? significantBits : (sixteen ? 16 : 8);
    if (!Vy::Rays::ValidSignificantBits(frameFormat.dataType, bits)) {
        throw CVyException(kOperation, file,
                           "significant bits " + std::to_string(bits) + " do not fit " + FormatText(frameFormat) +
                               " (8 for bytes, 10..16 for 16-bit samples)");
    }
    if (const std::string problem = calibration.Problem(); !problem.empty()) {
        throw CVyException(kOperation, file, "invalid calibration: " + problem);
    }
    if (calibration.sensorWidth != frameFormat.width || calibration.sensorHeight != frameFormat.height) {
        throw CVyException(kOperation, file,
                           "calibration sensor size " + std::to_string(calibration.sensorWidth) + "x" +
                               std::to_string(calibration.sensorHeight) + " differs from the frame size");
    }
    if (!white.IsEmpty() && white.GetFormat() != frameFormat) {
        throw CVyException(kOperation, file,
                           "white image " + FormatText(white.GetFormat()) + " differs from the frame format");
    }
    const std::string text = calibration.ToText();

    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw CVyException(kOperation, file, std::strerror(errno));
    }

    Vy::Rays::Header header;
    header.version = sixteen ? Vy::Rays::kVersion : Vy::Rays::kVersion8Bit;
    header.significantBits = static_cast<uint32_t>(bits);
    header.width = frameFormat.width;
    header.height = frameFormat.height;
    header.pixelType = frameFormat.pixelType;
    header.dataType = frameFormat.dataType;
    header.calibrationLength = static_cast<uint32_t>(text.size());
    header.whiteImage = white.IsEmpty() ? 0 : 1;
    header.firstFrameOffset = Vy::Rays::kHeaderSize + text.size() + (white.IsEmpty() ? 0 : white.GetByteSize());
    uint8_t bytes[Vy::Rays::kHeaderSize];
    Vy::Rays::EncodeHeader(header, bytes);
    int error = WriteAll(fd, bytes, sizeof bytes, 0);
    if (error == 0) {
        error = WriteAll(fd, text.data(), text.size(), Vy::Rays::kHeaderSize);
    }
    if (error == 0 && !white.IsEmpty()) {
        error = WriteAll(fd, white.GetPixelData(), white.GetByteSize(), Vy::Rays::kHeaderSize + text.size());
    }
    if (error != 0) {
        // Without its whole header and white image the file could not be read: no half of it stays.
        ::close(fd);
        ::unlink(file.c_str());
        throw CVyException(kOperation, file,
                           "write failed: " + ErrorText(error) + " (header and white image need " +
                               std::to_string(header.firstFrameOffset) + " bytes; the file was removed)");
    }
    state_->fd = fd;
    state_->path = file;
    state_->format = frameFormat;
    state_->firstFrameOffset = header.firstFrameOffset;
    state_->framesWritten = 0;
}

void CSeqFileWriter::WriteFrame(const CVyImage& frame) {
    static const char* kOperation = "CSeqFileWriter::WriteFrame";
    State& s = *state_;
    if (s.fd < 0) {
        throw CVyException(kOperation, "", "no file is open");
    }
    if (frame.IsEmpty() || frame.GetFormat() != s.format) {
        throw CVyException(
            kOperation, s.path,
            "frame " + FormatText(frame.GetFormat()) + " differs from the file's " + FormatText(s.format));
    }
    if (s.framesWritten >= Vy::Rays::kMaxFrameCount) {
        throw CVyException(kOperation, s.path, "the file holds the most frames it can");
    }
    uint8_t record[Vy::Rays::kRecordHeaderSize];
    Vy::Rays::EncodeRecordHeader(frame.frameId, frame.timeStamp, record);
    const uint64_t offset = s.FrameOffset(s.framesWritten);
    int error = WriteAll(s.fd, record, sizeof record, offset);
    if (error == 0) {
        error = WriteAll(s.fd, frame.GetPixelData(), frame.GetByteSize(), offset + sizeof record);
    }
    if (error != 0) {
        // The part of the record that fitted goes again, so the file ends with its last whole frame
        // (shrinking needs no space). A later frame may fit once there is room.
        if (ftruncate(s.fd, static_cast<off_t>(offset)) != 0) {
            // Kept as it is: the reader ignores bytes after the last whole record.
        }
        throw CVyException(kOperation, s.path,
                           "write failed: " + ErrorText(error) + " after " + std::to_string(s.framesWritten) +
                               (s.framesWritten == 1 ? " whole frame" : " whole frames"));
    }
    ++s.framesWritten;
}

void CSeqFileWriter::Close() {
    static const char* kOperation = "CSeqFileWriter::Close";
    const int fd = state_->fd;
    if (fd < 0) {
        return;
    }
    state_->fd = -1;
    uint8_t count[4];
    Vy::Rays::PutU32(count, state_->framesWritten);
    // The header said "unfinished" while recording; now that every frame is out it gets the real count,
    // which only ever counts whole frames (a frame that failed was taken back).
    int error = WriteAll(fd, count, sizeof count, Vy::Rays::kFrameCountOffset);
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        throw CVyException(kOperation, state_->path, "finishing the file failed: " + ErrorText(error));
    }
}

uint32_t CSeqFileWriter::GetFramesWritten() const { return state_->framesWritten; }

bool CSeqFileWriter::IsOpen() const { return state_->fd >= 0; }
