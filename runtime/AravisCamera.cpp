#include "AravisCamera.h"

#include <arpa/inet.h>
#include <arv.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "CVyException.h"
#include "VyTypes.h"

namespace Vy::Live {

namespace {

// GigE Vision's control port: only used to ask the kernel which local address routes to the camera.
constexpr uint16_t kGvcpPort = 3956;
// Frames the stream may hold while the recorder is busy: at most this many bytes, within these counts.
constexpr uint64_t kBufferBytes = 768ull << 20;
constexpr uint64_t kFewestBuffers = 16;
constexpr uint64_t kMostBuffers = 256;

// Takes a GError's message (and frees it); empty when there was none.
std::string takeError(GError*& error) {
    if (error == nullptr) {
        return "";
    }
    std::string text = error->message != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    return text;
}

// The local address the kernel would send to the camera from (a UDP connect sends nothing).
std::string localAddressTowards(const std::string& device) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return "";
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(kGvcpPort);
    inet_pton(AF_INET, device.c_str(), &remote.sin_addr);
    std::string local;
    sockaddr_in mine{};
    socklen_t length = sizeof mine;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &length) == 0) {
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &mine.sin_addr, text, sizeof text) != nullptr) {
            local = text;
        }
    }
    ::close(fd);
    return local;
}

// The name of a pixel format a camera's description does not list (the code is the standard's).
std::string pixelFormatNameOf(ArvPixelFormat code) {
    switch (code) {
        case ARV_PIXEL_FORMAT_MONO_8:
            return "Mono8";
        case ARV_PIXEL_FORMAT_MONO_10:
            return "Mono10";
        case ARV_PIXEL_FORMAT_MONO_12:
            return "Mono12";
        case ARV_PIXEL_FORMAT_MONO_14:
            return "Mono14";
        case ARV_PIXEL_FORMAT_MONO_16:
            return "Mono16";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(code));
            return text;
        }
    }
}

const char* statusName(ArvBufferStatus status) {
    switch (status) {
        case ARV_BUFFER_STATUS_TIMEOUT:
            return "frame timed out before all its packets came";
        case ARV_BUFFER_STATUS_MISSING_PACKETS:
            return "missing packets";
        case ARV_BUFFER_STATUS_WRONG_PACKET_ID:
            return "wrong packet id";
        case ARV_BUFFER_STATUS_SIZE_MISMATCH:
            return "frame larger than its buffer";
        case ARV_BUFFER_STATUS_ABORTED:
            return "frame aborted";
        case ARV_BUFFER_STATUS_CLEARED:
        case ARV_BUFFER_STATUS_FILLING:
            return "frame not filled";
        default:
            return "unknown buffer status";
    }
}

}  // namespace

bool isIpv4Address(const std::string& text) {
    in_addr address{};
    // inet_pton takes exactly four decimal parts, nothing else (no names, no short forms).
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::optional<PixelLayout> pixelLayoutOf(const std::string& name) {
    if (name == "Mono8") return PixelLayout{Vy::DataTypeUnsignedByte, 8};
    if (name == "Mono10") return PixelLayout{Vy::DataTypeUnsignedShort, 10};
    if (name == "Mono12") return PixelLayout{Vy::DataTypeUnsignedShort, 12};
    if (name == "Mono14") return PixelLayout{Vy::DataTypeUnsignedShort, 14};
    if (name == "Mono16") return PixelLayout{Vy::DataTypeUnsignedShort, 16};
    return std::nullopt;
}

struct AravisCamera::Handles {
    ArvCamera* camera = nullptr;
    ArvStream* stream = nullptr;
    bool acquiring = false;
    uint64_t payload = 0;
    std::atomic<uint64_t> underruns{0};

    ~Handles() {
        if (stream != nullptr) g_object_unref(stream);
        if (camera != nullptr) g_object_unref(camera);
    }
};

AravisCamera::AravisCamera(const std::string& cameraAddress, const CameraSettings& settings)
    : handles(std::make_unique<Handles>()), address(cameraAddress) {
    const std::string where = "camera " + address;
    if (!isIpv4Address(address)) {
        throw CVyException(where, "", "not an IPv4 address (cameras are opened by address, e.g. 192.168.1.20)");
    }
    const std::string local = localAddressTowards(address);
    if (local.empty()) {
        throw CVyException(where, "", "no route to the address");
    }
    GInetAddress* deviceAddress = g_inet_address_new_from_string(address.c_str());
    GInetAddress* interfaceAddress = g_inet_address_new_from_string(local.c_str());
    GError* error = nullptr;
    ArvDevice* device = arv_gv_device_new(interfaceAddress, deviceAddress, &error);
    g_object_unref(deviceAddress);
    g_object_unref(interfaceAddress);
    if (device == nullptr) {
        const std::string reason = takeError(error);
        throw CVyException(where, "", "no GigE Vision camera answers" + (reason.empty() ? "" : " (" + reason + ")"));
    }
    handles->camera = arv_camera_new_with_device(device, &error);
    g_object_unref(device);
    if (handles->camera == nullptr) {
        throw CVyException(where, "", "not usable as a camera: " + takeError(error));
    }
    ArvCamera* camera = handles->camera;
    const ArvPixelFormat code = arv_camera_get_pixel_format(camera, &error);
    if (const std::string reason = takeError(error); !reason.empty()) {
        throw CVyException(where, "", "pixel format not readable: " + reason);
    }
    const char* formatName = arv_camera_get_pixel_format_as_string(camera, &error);
    g_clear_error(&error);
    pixelFormat = formatName != nullptr && *formatName != '\0' ? formatName : pixelFormatNameOf(code);
    const std::optional<PixelLayout> layout = pixelLayoutOf(pixelFormat);
    if (!layout) {
        throw CVyException(where, "",
                           "pixel format " + pixelFormat + " is not taken (Mono8, Mono10, Mono12, Mono14, Mono16)");
    }
    gint x = 0, y = 0, width = 0, height = 0;
    arv_camera_get_region(camera, &x, &y, &width, &height, &error);
    if (const std::string reason = takeError(error); !reason.empty()) {
        throw CVyException(where, "", "frame size not readable: " + reason);
    }
    frameFormat = CVyImageFormat{width, height, Vy::PixelTypeLuminance, layout->dataType};
    bits = layout->significantBits;

    const auto apply = [&](const char* name, gboolean available, const std::optional<double>& value, auto set) {
        if (!value) return;
        if (!available) {
            throw CVyException(where, "", std::string("the camera offers no ") + name + " setting");
        }
        set(camera, *value, &error);
        if (const std::string reason = takeError(error); !reason.empty()) {
            throw CVyException(where, "", std::string(name) + " refused: " + reason);
        }
    };
    GError* ignored = nullptr;
    apply("exposure", arv_camera_is_exposure_time_available(camera, &ignored), settings.exposureUs,
          arv_camera_set_exposure_time);
    g_clear_error(&ignored);
    apply("gain", arv_camera_is_gain_available(camera, &ignored), settings.gain, arv_camera_set_gain);
    g_clear_error(&ignored);
    apply("frame rate", arv_camera_is_frame_rate_available(camera, &ignored), settings.frameRate,
          arv_camera_set_frame_rate);
    g_clear_error(&ignored);
    rate = arv_camera_get_frame_rate(camera, &ignored);
    if (ignored != nullptr || !(rate > 0.0)) rate = 0.0;
    g_clear_error(&ignored);

    // The largest packets the path takes: fewer packets a frame, fewer to lose.
    guint packet = 0;
    if (ARV_IS_GV_DEVICE(arv_camera_get_device(camera))) {
        packet = arv_gv_device_auto_packet_size(ARV_GV_DEVICE(arv_camera_get_device(camera)), &ignored);
        g_clear_error(&ignored);
    }
    char line[256];
    std::snprintf(line, sizeof line, "camera %s: %s %s, %dx%d %s, %.1f frames/s, packets of %u bytes", address.c_str(),
                  arv_camera_get_vendor_name(camera, &ignored), arv_camera_get_model_name(camera, &ignored), width,
                  height, pixelFormat.c_str(), rate, packet);
    g_clear_error(&ignored);
    describedAs = line;
}

AravisCamera::~AravisCamera() { stop(); }

void AravisCamera::start() {
    const std::string where = "camera " + address;
    GError* error = nullptr;
    ArvCamera* camera = handles->camera;
    arv_camera_set_acquisition_mode(camera, ARV_ACQUISITION_MODE_CONTINUOUS, &error);
    g_clear_error(&error);  // a camera with a single mode has nothing to set
    handles->payload = arv_camera_get_payload(camera, &error);
    if (const std::string reason = takeError(error); !reason.empty()) {
        throw CVyException(where, "", "payload size not readable: " + reason);
    }
    if (handles->payload < frameFormat.GetByteSize()) {
        throw CVyException(where, "",
                           "frames of " + std::to_string(handles->payload) + " bytes cannot hold " +
                               std::to_string(frameFormat.width) + "x" + std::to_string(frameFormat.height) + " " +
                               pixelFormat);
    }
    handles->stream = arv_camera_create_stream(camera, nullptr, nullptr, &error);
    if (handles->stream == nullptr) {
        throw CVyException(where, "", "no stream: " + takeError(error));
    }
    const uint64_t count =
        std::clamp(kBufferBytes / std::max<uint64_t>(handles->payload, 1), kFewestBuffers, kMostBuffers);
    for (uint64_t i = 0; i < count; ++i) {
        arv_stream_push_buffer(handles->stream, arv_buffer_new_allocate(handles->payload));
    }
    arv_camera_start_acquisition(camera, &error);
    if (const std::string reason = takeError(error); !reason.empty()) {
        throw CVyException(where, "", "acquisition not started: " + reason);
    }
    handles->acquiring = true;
}

bool AravisCamera::next(CVyImage& frame, int timeoutMs) {
    if (handles->stream == nullptr) {
        return false;
    }
    ArvBuffer* buffer = arv_stream_timeout_pop_buffer(handles->stream, static_cast<guint64>(timeoutMs) * 1000);
    guint64 completed = 0, failures = 0, underruns = 0;
    arv_stream_get_statistics(handles->stream, &completed, &failures, &underruns);
    handles->underruns = underruns;
    if (underruns > 0 && lossReason.empty()) {
        lossReason = "no free buffer for a frame";
    }
    if (buffer == nullptr) {
        return false;
    }
    bool whole = false;
    const ArvBufferStatus status = arv_buffer_get_status(buffer);
    if (status != ARV_BUFFER_STATUS_SUCCESS) {
        ++spoiled;
        if (lossReason.empty()) lossReason = statusName(status);
    } else {
        size_t size = 0;
        const void* data = arv_buffer_get_image_data(buffer, &size);
        const CVyImageFormat& f = frameFormat;
        if (data == nullptr || size < f.GetByteSize() || arv_buffer_get_image_width(buffer) != f.width ||
            arv_buffer_get_image_height(buffer) != f.height) {
            ++spoiled;
            if (lossReason.empty()) lossReason = "frame of another size than the camera's region";
        } else {
            frame.Create(f.width, f.height, f.pixelType, f.dataType, data);
            frame.significantBits = bits;  // as a replay of the recording gives it
            frame.frameId = static_cast<int32_t>(arv_buffer_get_frame_id(buffer));
            // The host's clock when the frame came: the camera's own ticks have no date.
            frame.timeStamp = static_cast<double>(arv_buffer_get_system_timestamp(buffer)) / 1e6;
            ++received;
            whole = true;
        }
    }
    arv_stream_push_buffer(handles->stream, buffer);
    return whole;
}

void AravisCamera::stop() {
    if (handles->acquiring) {
        GError* error = nullptr;
        arv_camera_stop_acquisition(handles->camera, &error);
        g_clear_error(&error);  // a camera that has gone cannot be stopped: nothing is lost by it
        handles->acquiring = false;
    }
}

AravisCamera::Counts AravisCamera::counts() const {
    return Counts{received.load(), spoiled.load() + handles->underruns.load()};
}

}  // namespace Vy::Live
