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
// The engine makes one output pixel of output.scale x output.scale sensor pixels, and the
// scale goes up to 16: a narrower frame would leave it an empty output grid.
constexpr int32_t kEngineMinSide = 16;

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

[[noreturn]] void Refuse(const std::string& file, const std::string& reason) {
    throw CVyException(kOpen, file, reason);
}

// Where the blocks of a checked header lie and what its samples are.
struct Layout {
    int bits = 8;  // significant bits of frames and white image
    size_t bytesPerPixel = 1;
    uint64_t whiteOffset = 0;
    uint64_t frameBytes = 0;
    uint64_t whiteBytes = 0;
};

// Checks every size and offset of the header against the file size before
// anything is read or allocated.
Layout CheckHeader(const std::string& file, const Vy::Rays::Header& h, uint64_t size) {
    if (h.version != Vy::Rays::kVersion8Bit && h.version != Vy::Rays::kVersion) {
        Refuse(file, "unsupported format version " + std::to_string(h.version));
    }
    if (h.headerSize < Vy::Rays::kHeaderSize || h.headerSize > size) {
        Refuse(file, "header size " + std::to_string(h.headerSize) + " is outside [64, file size " +
                         std::to_string(size) + "]");
    }
    const std::string frameSize = std::to_string(h.width) + "x" + std::to_string(h.height);
    if (h.width < 1 || h.height < 1 || h.width > Vy::Rays::kMaxSide || h.height > Vy::Rays::kMaxSide) {
        Refuse(file, "frame size " + frameSize + " is outside 1..32768");
    }
    if (uint64_t(h.width) * uint64_t(h.height) > Vy::Rays::kMaxPixels) {
        Refuse(file, "frame size " + frameSize + " has more than " + std::to_string(Vy::Rays::kMaxPixels) + " pixels");
    }
    if (h.width < kEngineMinSide || h.height < kEngineMinSide) {
        Refuse(file, "frame size " + frameSize + " is below the engine's minimum of " + std::to_string(kEngineMinSide) +
                         "x" + std::to_string(kEngineMinSide) +
                         " pixels (one output pixel at the largest output.scale)");
    }
    const bool sixteen = h.dataType == Vy::DataTypeUnsignedShort && h.version >= 2;
    if (h.pixelType != Vy::PixelTypeLuminance || (h.dataType != Vy::DataTypeUnsignedByte && !sixteen)) {
        Refuse(file, "unsupported pixel type " + Hex(h.pixelType) + " / data type " + Hex(h.dataType) +
                         (h.version >= 2 ? " (only 8- or 16-bit luminance)" : " (only 8-bit luminance)"));
    }
    Layout layout;
    // Version 1 has no significant-bits field (its bytes are reserved).
    layout.bits = h.version >= 2 ? static_cast<int>(h.significantBits) : 8;
    if (h.version >= 2 && !Vy::Rays::ValidSignificantBits(h.dataType, layout.bits)) {
        Refuse(file, "significant bits " + std::to_string(h.significantBits) + " do not fit data type " +
                         Hex(h.dataType) + " (8 for bytes, 10..16 for 16-bit samples)");
    }
    layout.bytesPerPixel = sixteen ? 2 : 1;
    if (h.calibrationLength > Vy::Rays::kMaxCalibrationBytes) {
        Refuse(file, "calibration block of " + std::to_string(h.calibrationLength) + " bytes exceeds 1 MiB");
    }
    layout.whiteOffset = uint64_t{h.headerSize} + h.calibrationLength;
    if (layout.whiteOffset > size) {
        Refuse(file, "calibration block (" + Block(h.calibrationLength, h.headerSize) +
                         ") runs past the end of the file (" + std::to_string(size) + " bytes)");
    }
    if (h.whiteImage > 1) {
        Refuse(file, "white-image flag " + std::to_string(h.whiteImage) + " is neither 0 nor 1");
    }
    layout.frameBytes = Vy::Rays::FrameBytes(h.width, h.height, layout.bytesPerPixel);
    layout.whiteBytes = h.whiteImage ? layout.frameBytes : 0;
    if (layout.whiteOffset + layout.whiteBytes > size) {
        Refuse(file, "white image (" + Block(layout.whiteBytes, layout.whiteOffset) +
                         ") runs past the end of the file (" + std::to_string(size) + " bytes)");
    }
    if (h.firstFrameOffset != layout.whiteOffset + layout.whiteBytes) {
        Refuse(file, "first-frame offset " + std::to_string(h.firstFrameOffset) + " is inconsistent (expected " +
                         std::to_string(layout.whiteOffset + layout.whiteBytes) + ")");
    }
    return layout;
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

    // The steps of Open, in order; each throws CVyException naming the file.
    uint64_t OpenRegularFile();
    Vy::Rays::Header ReadHeader(uint64_t size) const;
    void ReadCalibration(const Vy::Rays::Header& h);
    void ReadWhiteImage(const Layout& layout);
    void CountFrames(const Layout& layout, uint64_t size);
};

// Opens the path and returns the file's size; only a regular file will do.
uint64_t CSeqFileReader::State::OpenRegularFile() {
    // Non-blocking so that a FIFO given as the path cannot hang the open.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        Refuse(path, std::strerror(errno));
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        Refuse(path, std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        Refuse(path, "is a directory");
    }
    if (!S_ISREG(info.st_mode)) {
        Refuse(path, "not a regular file");
    }
    return static_cast<uint64_t>(info.st_size);
}

Vy::Rays::Header CSeqFileReader::State::ReadHeader(uint64_t size) const {
    if (size < Vy::Rays::kHeaderSize) {
        Refuse(path, "file too short for a rays header (" + std::to_string(size) + " bytes)");
    }
    uint8_t bytes[Vy::Rays::kHeaderSize];
    if (pread(fd, bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        Refuse(path, std::string("cannot read the header: ") + std::strerror(errno));
    }
    if (!Vy::Rays::HasMagic(bytes)) {
        Refuse(path, "not a rays sequence file (bad magic)");
    }
    return Vy::Rays::DecodeHeader(bytes);
}

// Reads and checks the calibration block: it must parse, be usable and fit the frames.
void CSeqFileReader::State::ReadCalibration(const Vy::Rays::Header& h) {
    std::string text(h.calibrationLength, '\0');
    if (h.calibrationLength > 0 &&
        pread(fd, text.data(), text.size(), h.headerSize) != static_cast<ssize_t>(text.size())) {
        Refuse(path, std::string("cannot read the calibration block: ") + std::strerror(errno));
    }
    try {
        calibration = CCalibration::FromText(text, "calibration block");
    } catch (const CVyException& error) {
        // "calibration block:<line>: <reason>" reads as where in the file the fault is.
        Refuse(path, error.Subject() + ": " + error.Reason());
    }
    if (const std::string problem = calibration.Problem(); !problem.empty()) {
        Refuse(path, problem);
    }
    if (calibration.sensorWidth != h.width || calibration.sensorHeight != h.height) {
        Refuse(path, "calibration sensor size " + std::to_string(calibration.sensorWidth) + "x" +
                         std::to_string(calibration.sensorHeight) + " differs from the frame size " +
                         std::to_string(h.width) + "x" + std::to_string(h.height));
    }
    // Without one whole micro-image across, no lens sees anything the depth search could match.
    if (h.width < calibration.lensPitch || h.height < calibration.lensPitch) {
        char pitch[32];
        std::snprintf(pitch, sizeof pitch, "%g", calibration.lensPitch);
        Refuse(path, "frame size " + std::to_string(h.width) + "x" + std::to_string(h.height) +
                         " holds no whole micro-image (lens pitch " + pitch + " px)");
    }
}

// Reads the white image, when the header says there is one, in the frames' format.
void CSeqFileReader::State::ReadWhiteImage(const Layout& layout) {
    if (!header.whiteImage) {
        return;
    }
    auto storage = Vy::PixelStorage::Allocate(layout.frameBytes, false);
    struct iovec piece = {storage->MutableData(), layout.frameBytes};
    errno = 0;
    if (!ReadFully(fd, &piece, 1, layout.whiteOffset)) {
        Refuse(path, "cannot read the white image: " + std::string(errno ? std::strerror(errno) : "file shrank"));
    }
    const void* pixels = storage->Data();
    white = CVyImage::FromStorage(format, std::move(storage), pixels);
    white.significantBits = bits;
}

// Counts the whole frames the file holds. A file that holds fewer than its header
// promises, or whose recording was never finished, still opens with a warning.
void CSeqFileReader::State::CountFrames(const Layout& layout, uint64_t size) {
    const uint64_t whole =
        (size - header.firstFrameOffset) / Vy::Rays::RecordSize(header.width, header.height, layout.bytesPerPixel);
    const uint32_t present = static_cast<uint32_t>(std::min<uint64_t>(whole, Vy::Rays::kMaxFrameCount));
    if (header.frameCount == Vy::Rays::kUnfinishedCount) {
        frameCount = present;
        warnings.push_back(path + ": recording was not finished (no frame count), file holds " +
                           std::to_string(present) + " whole frames");
    } else if (present < header.frameCount) {
        frameCount = present;
        warnings.push_back(path + ": header promises " + std::to_string(header.frameCount) + " frames, file holds " +
                           std::to_string(present) + " whole frames");
    } else {
        frameCount = header.frameCount;
    }
    for (const std::string& warning : warnings) {
        Vy::Warn(warning);
    }
}

CSeqFileReader::CSeqFileReader() : state_(std::make_unique<State>()) { state_->Reset(); }

CSeqFileReader::~CSeqFileReader() { state_->Reset(); }

void CSeqFileReader::Open(const CVyString& path, uint32_t readAhead) {
    Close();
    State& s = *state_;
    s.path = path.ToStdString();
    try {
        const uint64_t size = s.OpenRegularFile();
        const Vy::Rays::Header header = s.ReadHeader(size);
        const Layout layout = CheckHeader(s.path, header, size);
        s.ReadCalibration(header);
        s.header = header;
        s.format = CVyImageFormat{header.width, header.height, Vy::PixelTypeLuminance, header.dataType};
        s.bits = layout.bits;
        s.ReadWhiteImage(layout);
        s.CountFrames(layout, size);
    } catch (...) {
        // A file refused, or a failure half-way, leaves the reader closed.
        s.Reset();
        throw;
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
