#include "CSeqFileWriter.h"

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

}  // namespace

// Owned by the writer's caller thread; one file at a time.
struct CSeqFileWriter::State {
    std::FILE* file = nullptr;
    std::string path;
    CVyImageFormat format;
    uint32_t framesWritten = 0;

    void Write(const void* data, size_t bytes, const char* operation) {
        if (bytes > 0 && std::fwrite(data, 1, bytes, file) != bytes) {
            throw CVyException(operation, path, std::string("write failed: ") + std::strerror(errno));
        }
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

    std::FILE* handle = std::fopen(file.c_str(), "wb");
    if (handle == nullptr) {
        throw CVyException(kOperation, file, std::strerror(errno));
    }
    state_->file = handle;
    state_->path = file;
    state_->format = frameFormat;
    state_->framesWritten = 0;
    std::setvbuf(handle, nullptr, _IOFBF, 1 << 20);

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
    try {
        state_->Write(bytes, sizeof bytes, kOperation);
        state_->Write(text.data(), text.size(), kOperation);
        if (!white.IsEmpty()) {
            state_->Write(white.GetPixelData(), white.GetByteSize(), kOperation);
        }
    } catch (const CVyException&) {
        std::fclose(handle);
        state_->file = nullptr;
        throw;
    }
}

void CSeqFileWriter::WriteFrame(const CVyImage& frame) {
    static const char* kOperation = "CSeqFileWriter::WriteFrame";
    if (state_->file == nullptr) {
        throw CVyException(kOperation, "", "no file is open");
    }
    if (frame.IsEmpty() || frame.GetFormat() != state_->format) {
        throw CVyException(
            kOperation, state_->path,
            "frame " + FormatText(frame.GetFormat()) + " differs from the file's " + FormatText(state_->format));
    }
    if (state_->framesWritten >= Vy::Rays::kMaxFrameCount) {
        throw CVyException(kOperation, state_->path, "the file holds the most frames it can");
    }
    uint8_t record[Vy::Rays::kRecordHeaderSize];
    Vy::Rays::EncodeRecordHeader(frame.frameId, frame.timeStamp, record);
    state_->Write(record, sizeof record, kOperation);
    state_->Write(frame.GetPixelData(), frame.GetByteSize(), kOperation);
    ++state_->framesWritten;
}

void CSeqFileWriter::Close() {
    static const char* kOperation = "CSeqFileWriter::Close";
    std::FILE* handle = state_->file;
    if (handle == nullptr) {
        return;
    }
    state_->file = nullptr;
    uint8_t count[4];
    Vy::Rays::PutU32(count, state_->framesWritten);
    // The header said "unfinished" while recording; now that every frame is out it gets the real count.
    bool ok = std::fflush(handle) == 0 && std::fseek(handle, Vy::Rays::kFrameCountOffset, SEEK_SET) == 0 &&
              std::fwrite(count, 1, sizeof count, handle) == sizeof count && std::fflush(handle) == 0 &&
              fsync(fileno(handle)) == 0;
    int error = errno;
    if (std::fclose(handle) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        throw CVyException(kOperation, state_->path, std::string("finishing the file failed: ") + std::strerror(error));
    }
}

uint32_t CSeqFileWriter::GetFramesWritten() const { return state_->framesWritten; }

bool CSeqFileWriter::IsOpen() const { return state_->file != nullptr; }
