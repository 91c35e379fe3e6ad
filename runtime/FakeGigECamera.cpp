#include "FakeGigECamera.h"

#include <arv.h>

#include <cstring>

#include "CVyException.h"
#include "VyTypes.h"

namespace Vy::Live {

struct FakeGigECamera::Handles {
    ArvGvFakeCamera* server = nullptr;
    ~Handles() {
        if (server != nullptr) g_object_unref(server);
    }
};

namespace {

constexpr const char* kOperation = "fake camera";

ArvPixelFormat pixelFormatOf(const std::string& name) {
    if (name == "Mono8") return ARV_PIXEL_FORMAT_MONO_8;
    if (name == "Mono10") return ARV_PIXEL_FORMAT_MONO_10;
    if (name == "Mono12") return ARV_PIXEL_FORMAT_MONO_12;
    if (name == "Mono16") return ARV_PIXEL_FORMAT_MONO_16;
    if (name == "BayerGR8") return ARV_PIXEL_FORMAT_BAYER_GR_8;
    if (name == "BayerGR16") return ARV_PIXEL_FORMAT_BAYER_GR_16;
    return 0;
}

void fillPattern(ArvBuffer* buffer, void* self, guint32 /*exposure*/, guint32 /*gain*/, ArvPixelFormat /*format*/) {
    void* data = const_cast<void*>(arv_buffer_get_data(buffer, nullptr));
    FakeGigECamera::fillFrame(data, self);
}

}  // namespace

FakeGigECamera::FakeGigECamera(std::vector<CVyImage> served, double framesPerSecond, const std::string& pixelFormat)
    : frames(std::move(served)), handles(std::make_unique<Handles>()) {
    if (frames.empty() || frames.front().IsEmpty()) {
        throw CVyException(kOperation, pixelFormat, "no frames to serve");
    }
    const CVyImageFormat& format = frames.front().GetFormat();
    const ArvPixelFormat arvFormat = pixelFormatOf(pixelFormat);
    if (arvFormat == 0) {
        throw CVyException(kOperation, pixelFormat, "pixel format not served (Mono8/10/12/16, BayerGR8/16)");
    }
    if (format.width > ARV_FAKE_CAMERA_SENSOR_WIDTH || format.height > ARV_FAKE_CAMERA_SENSOR_HEIGHT) {
        throw CVyException(kOperation, std::to_string(format.width) + "x" + std::to_string(format.height),
                           "larger than the fake camera's sensor (2048x2048)");
    }
    for (const CVyImage& frame : frames) {
        if (frame.GetFormat() != format) {
            throw CVyException(kOperation, pixelFormat, "frames of more than one format");
        }
    }
    handles->server = arv_gv_fake_camera_new("127.0.0.1", "LIVE01");
    if (handles->server == nullptr || !arv_gv_fake_camera_is_running(handles->server)) {
        throw CVyException(kOperation, "127.0.0.1", "the fake GigE Vision camera did not start");
    }
    ArvFakeCamera* camera = arv_gv_fake_camera_get_fake_camera(handles->server);
    arv_fake_camera_write_register(camera, ARV_FAKE_CAMERA_REGISTER_WIDTH, static_cast<guint32>(format.width));
    arv_fake_camera_write_register(camera, ARV_FAKE_CAMERA_REGISTER_HEIGHT, static_cast<guint32>(format.height));
    arv_fake_camera_write_register(camera, ARV_FAKE_CAMERA_REGISTER_PIXEL_FORMAT, arvFormat);
    if (framesPerSecond > 0.0) {
        arv_fake_camera_write_register(camera, ARV_FAKE_CAMERA_REGISTER_ACQUISITION_FRAME_PERIOD_US,
                                       static_cast<guint32>(1e6 / framesPerSecond));
    }
    arv_fake_camera_set_fill_pattern(camera, fillPattern, this);
}

FakeGigECamera::~FakeGigECamera() = default;

void FakeGigECamera::fillFrame(void* data, void* self) {
    auto* camera = static_cast<FakeGigECamera*>(self);
    const uint64_t index = camera->filled.load();
    const CVyImage& frame = camera->frames[index % camera->frames.size()];
    // The buffer holds the camera's payload, width x height x bytes per pixel.
    std::memcpy(data, frame.GetPixelData(), frame.GetByteSize());
    camera->filled = index + 1;
}

void FakeGigECamera::stopSending() {
    ArvFakeCamera* camera = arv_gv_fake_camera_get_fake_camera(handles->server);
    arv_fake_camera_write_register(camera, ARV_FAKE_CAMERA_REGISTER_ACQUISITION, 0);
}

}  // namespace Vy::Live
