#include "CSeqFileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CVyException.h"
#include "PixelStorage.h"
#include "RaysFormat.h"
#include "WarningSink.h"

namespace {

constexpr const char* kOpen = "CSeqFileReader::Open";

std::string Hex(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%x", value);
    return buffer;
}

// "N bytes at offset O": where a block of the file claims to be.
std::string Block(uint64_t bytes, uint64_t offset) {
    return std::to_string(bytes) + " bytes at offset " + std::to_string(offset);
}

// Reads the pieces from offset on; false when the file ends first or a read fails.
// Frames are read into memory of their own, never mapped: a file cut short under
// a running replay then gives a short read here instead of a fault later.
bool ReadFully(int fd, struct iovec* pieces, int count, uint64_t offset) {
    while (count > 0) {
        const ssize_t n = preadv(fd, pieces, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        offset += static_cast<uint64_t>(n);
        for (size_t left = static_cast<size_t>(n); count > 0 && left > 0;) {
            const size_t taken = std::min(left, pieces->iov_len);
            pieces->iov_base = static_cast<uint8_t*>(pieces->iov_base) + taken;
            pieces->iov_len -= taken;
            left -= taken;
            if (pieces->iov_len == 0) {
                ++pieces;
                --count;
            }
        }
    }
    return true;
}

}  // namespace

// Owned by the thread that reads; every frame handed out owns its pixels.
struct CSeqFileReader::State {
    int fd = -1;
    std::string path;
    Vy::Rays::Header header;
    CVyImageFormat format;
    CCalibration calibration;
    CVyImage white;
    uint32_t frameCount = 0;
    uint32_t index = 0;
    uint32_t readAhead = 0;
    int bits = 8;  // significant bits of frames and white image
    std::vector<std::string> warnings;

    uint64_t RecordOffset(uint32_t frame) const {
        return header.firstFrameOffset +
               static_cast<uint64_t>(frame) * (Vy::Rays::kRecordHeaderSize + format.GetByteSize());
    }
    void Reset() {
        if (fd >= 0) {
            ::close(fd);
        }
        *this = State{};
        header.frameCount = 0;
    }
    void RequireOpen(const char* operation) const {
        if (fd < 0) {
            throw CVyException(operation, "", "no sequence file is open");
        }
    }
};

CSeqFileReader::CSeqFileReader() : state_(std::make_unique<State>()) { state_->Reset(); }

CSeqFileReader::~CSeqFileReader() { state_->Reset(); }

void CSeqFileReader::Open(const CVyString& path, uint32_t readAhead) {
    Close();
    State& s = *state_;
    s.path = path.ToStdString();
    const std::string& file = s.path;
    const auto fail = [&](const std::string& reason) {
        const CVyException error(kOpen, file, reason);
        s.Reset();
        return error;
    };

    // Non-blocking so that a FIFO given as the path cannot hang the open.
    s.fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (s.fd < 0) {
        throw fail(std::strerror(errno));
    }
    struct stat info {};
    if (fstat(s.fd, &info) != 0) {
        throw fail(std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        throw fail("is a directory");
    }
    if (!S_ISREG(info.st_mode)) {
        throw fail("not a regular file");
    }
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    if (size < Vy::Rays::kHeaderSize) {
        throw fail("file too short for a rays header (" + std::to_string(size) + " bytes)");
    }
    uint8_t bytes[Vy::Rays::kHeaderSize];
    if (pread(s.fd, bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        throw fail(std::string("cannot read the header: ") + std::strerror(errno));
    }
    if (!Vy::Rays::HasMagic(bytes)) {
        throw fail("not a rays sequence file (bad magic)");
    }

    // Every size and offset of the header is checked against the file size before anything is read or allocated.
    const Vy::Rays::Header h = Vy::Rays::DecodeHeader(bytes);
    if (h.version != Vy::Rays::kVersion8Bit && h.version != Vy::Rays::kVersion) {
        throw fail("unsupported format version " + std::to_string(h.version));
    }
    if (h.headerSize < Vy::Rays::kHeaderSize || h.headerSize > size) {
        throw fail("header size " + std::to_string(h.headerSize) + " is outside [64, file size " +
                   std::to_string(size) + "]");
    }
    if (h.width < 1 || h.height < 1 || h.width > Vy::Rays::kMaxSide || h.height > Vy::Rays::kMaxSide) {
        throw fail("frame size " + std::to_string(h.width) + "x" + std::to_string(h.height) + " is outside 1..32768");
    }
    if (uint64_t(h.width) * uint64_t(h.height) > Vy::Rays::kMaxPixels) {
        throw fail("frame size " + std::to_string(h.width) + "x" + std::to_string(h.height) + " has more than " +
                   std::to_string(Vy::Rays::kMaxPixels) + " pixels");
    }
    const bool sixteen = h.dataType == Vy::DataTypeUnsignedShort && h.version >= 2;
    if (h.pixelType != Vy::PixelTypeLuminance || (h.dataType != Vy::DataTypeUnsignedByte && !sixteen)) {
        throw fail("unsupported pixel type " + Hex(h.pixelType) + " / data type " + Hex(h.dataType) +
                   (h.version >= 2 ? " (only 8- or 16-bit luminance)" : " (only 8-bit luminance)"));
    }
    // Version 1 has no significant-bits field (its bytes are reserved).
    const int bits = h.version >= 2 ? static_cast<int>(h.significantBits) : 8;
    if (h.version >= 2 && !Vy::Rays::ValidSignificantBits(h.dataType, bits)) {
        throw fail("significant bits " + std::to_string(h.significantBits) + " do not fit data type " +
                   Hex(h.dataType) + " (8 for bytes, 10..16 for 16-bit samples)");
    }
    const size_t bytesPerPixel = sixteen ? 2 : 1;
    if (h.calibrationLength > Vy::Rays::kMaxCalibrationBytes) {
        throw fail("calibration block of " + std::to_string(h.calibrationLength) + " bytes exceeds 1 MiB");
    }
    const uint64_t whiteOffset = uint64_t{h.headerSize} + h.calibrationLength;
    if (whiteOffset > size) {
        throw fail("calibration block (" + Block(h.calibrationLength, h.headerSize) +
                   ") runs past the end of the file (" + std::to_string(size) + " bytes)");
    }
    if (h.whiteImage > 1) {
        throw fail("white-image flag " + std::to_string(h.whiteImage) + " is neither 0 nor 1");
    }
    const uint64_t frameBytes = Vy::Rays::FrameBytes(h.width, h.height, bytesPerPixel);
    const uint64_t whiteBytes = h.whiteImage ? frameBytes : 0;
    if (whiteOffset + whiteBytes > size) {
        throw fail("white image (" + Block(whiteBytes, whiteOffset) + ") runs past the end of the file (" +
                   std::to_string(size) + " bytes)");
    }
    if (h.firstFrameOffset != whiteOffset + whiteBytes) {
        throw fail("first-frame offset " + std::to_string(h.firstFrameOffset) + " is inconsistent (expected " +
                   std::to_string(whiteOffset + whiteBytes) + ")");
    }

    std::string text(h.calibrationLength, '\0');
    if (h.calibrationLength > 0 &&
        pread(s.fd, text.data(), text.size(), h.headerSize) != static_cast<ssize_t>(text.size())) {
        throw fail(std::string("cannot read the calibration block: ") + std::strerror(errno));
    }
    try {
        s.calibration = CCalibration::FromText(text, "calibration block");
    } catch (const CVyException& error) {
        // "calibration block:<line>: <reason>" reads as where in the file the fault is.
        throw fail(error.Subject() + ": " + error.Reason());
    }
    if (const std::string problem = s.calibration.Problem(); !problem.empty()) {
        throw fail(problem);
    }
    if (s.calibration.sensorWidth != h.width || s.calibration.sensorHeight != h.height) {
        throw fail("calibration sensor size " + std::to_string(s.calibration.sensorWidth) + "x" +
                   std::to_string(s.calibration.sensorHeight) + " differs from the frame size " +
                   std::to_string(h.width) + "x" + std::to_string(h.height));
    }

    s.header = h;
    s.format = CVyImageFormat{h.width, h.height, Vy::PixelTypeLuminance, h.dataType};
    s.bits = bits;
    if (h.whiteImage) {
        auto storage = Vy::PixelStorage::Allocate(frameBytes, false);
        struct iovec piece = {storage->MutableData(), frameBytes};
        errno = 0;
        if (!ReadFully(s.fd, &piece, 1, whiteOffset)) {
            throw fail("cannot read the white image: " + std::string(errno ? std::strerror(errno) : "file shrank"));
        }
        const void* pixels = storage->Data();
        s.white = CVyImage::FromStorage(s.format, std::move(storage), pixels);
        s.white.significantBits = bits;
    }

    const uint64_t whole = (size - h.firstFrameOffset) / Vy::Rays::RecordSize(h.width, h.height, bytesPerPixel);
    const uint32_t present = static_cast<uint32_t>(std::min<uint64_t>(whole, Vy::Rays::kMaxFrameCount));
    if (h.frameCount == Vy::Rays::kUnfinishedCount) {
        s.frameCount = present;
        s.warnings.push_back(file + ": recording was not finished (no frame count), file holds " +
                             std::to_string(present) + " whole frames");
    } else if (present < h.frameCount) {
        s.frameCount = present;
        s.warnings.push_back(file + ": header promises " + std::to_string(h.frameCount) + " frames, file holds " +
                             std::to_string(present) + " whole frames");
    } else {
        s.frameCount = h.frameCount;
    }
    for (const std::string& warning : s.warnings) {
        Vy::Warn(warning);
    }
    s.readAhead = readAhead;
    s.index = 0;
}

void CSeqFileReader::StartReading(CRayImage& image) {
    state_->RequireOpen("CSeqFileReader::StartReading");
    image.SetCalibration(state_->calibration);
    image.SetWhiteImage(state_->white);
    Seek(0);
}

void CSeqFileReader::ReadFrame(CRayImage& image) {
    static const char* kOperation = "CSeqFileReader::ReadFrame";
    State& s = *state_;
    s.RequireOpen(kOperation);
    if (s.index >= s.frameCount) {
        throw CVyException(
            kOperation, s.path,
            "no frame left (index " + std::to_string(s.index) + " of " + std::to_string(s.frameCount) + ")");
    }
    const uint64_t offset = s.RecordOffset(s.index);
    const uint64_t end = s.RecordOffset(s.index + 1);
    const auto shrank = [&] {
        struct stat info {};
        const long long size = fstat(s.fd, &info) == 0 ? static_cast<long long>(info.st_size) : -1;
        return CVyException(kOperation, s.path,
                            "file shrank to " + std::to_string(size) + " bytes while reading (frame " +
                                std::to_string(s.index) + " needs " + std::to_string(end) + ")");
    };
    struct stat info {};
    if (fstat(s.fd, &info) != 0 || static_cast<uint64_t>(info.st_size) < end) {
        throw shrank();
    }
    const uint32_t ahead = std::min(s.readAhead, s.frameCount - s.index - 1);
    if (ahead > 0) {
        posix_fadvise(s.fd, static_cast<off_t>(end), static_cast<off_t>(s.RecordOffset(s.index + 1 + ahead) - end),
                      POSIX_FADV_WILLNEED);
    }
    uint8_t record[Vy::Rays::kRecordHeaderSize];
    auto storage = Vy::PixelStorage::Allocate(s.format.GetByteSize(), false);
    struct iovec pieces[2] = {{record, sizeof record}, {storage->MutableData(), s.format.GetByteSize()}};
    errno = 0;
    if (!ReadFully(s.fd, pieces, 2, offset)) {
        if (errno != 0) {
            throw CVyException(kOperation, s.path,
                               "cannot read frame " + std::to_string(s.index) + ": " + std::strerror(errno));
        }
        throw shrank();
    }
    const void* pixels = storage->Data();
    CVyImage frame = CVyImage::FromStorage(s.format, std::move(storage), pixels);
    Vy::Rays::DecodeRecordHeader(record, frame.frameId, frame.timeStamp);
    frame.significantBits = s.bits;
    static_cast<CVyImage&>(image) = std::move(frame);
    ++s.index;
}

void CSeqFileReader::Seek(uint32_t frame) {
    State& s = *state_;
    s.RequireOpen("CSeqFileReader::Seek");
    if (frame > s.frameCount) {
        throw CVyException(
            "CSeqFileReader::Seek", s.path,
            "frame " + std::to_string(frame) + " is past the end (" + std::to_string(s.frameCount) + " frames)");
    }
    s.index = frame;
}

uint32_t CSeqFileReader::GetFrameIndex() const { return state_->index; }

uint32_t CSeqFileReader::GetFrameCount() const { return state_->frameCount; }

uint32_t CSeqFileReader::GetPromisedFrameCount() const { return state_->header.frameCount; }

const CVyImageFormat& CSeqFileReader::GetFrameFormat() const { return state_->format; }

int CSeqFileReader::GetSignificantBits() const { return state_->bits; }

const CCalibration& CSeqFileReader::GetCalibration() const { return state_->calibration; }

const std::vector<std::string>& CSeqFileReader::GetWarnings() const { return state_->warnings; }

bool CSeqFileReader::IsOpen() const { return state_->fd >= 0; }

void CSeqFileReader::Close() { state_->Reset(); }
