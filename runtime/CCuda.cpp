#include "CCuda.h"

#include <memory>
#include <mutex>
#include <vector>

#include "CVyException.h"
#include "CpuInfo.h"
#include "DeviceList.h"
#include "VyTypes.h"

namespace {

// Guarded by the mutex. Devices forgotten by COmbraRuntime::End move to
// `retired` instead of being destroyed: callers may still hold references
// from GetDevice, which must stay valid for the life of the process.
struct DeviceRegistry {
    std::mutex mutex;
    bool enumerated = false;
    std::vector<std::unique_ptr<CCudaDevice>> devices;
    std::vector<std::unique_ptr<CCudaDevice>> retired;
};

DeviceRegistry& Registry() {
    static DeviceRegistry registry;
    return registry;
}

std::unique_ptr<CCudaDevice> MakeCpuDevice() {
    const Vy::CpuInfo cpu = Vy::ReadCpuInfo();
    CParameterSet params;
    params.DeclareText(Params::CudaDevice_Name, "name", cpu.name);
    params.Declare(Params::CudaDevice_ClockMHz, "clock_mhz", cpu.clockMHz, cpu.clockMHz, cpu.clockMHz);
    params.Declare(Params::CudaDevice_MemoryMB, "memory_mb", cpu.memoryMB, cpu.memoryMB, cpu.memoryMB);
    return std::make_unique<CCudaDevice>(0, true, std::move(params));
}

// Call with the registry locked.
void EnsureEnumerated(DeviceRegistry& registry) {
    if (!registry.enumerated) {
        registry.devices.push_back(MakeCpuDevice());
        registry.enumerated = true;
    }
}

}  // namespace

int CCuda::EnumerateCudaDevices() {
    DeviceRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    EnsureEnumerated(registry);
    return static_cast<int>(registry.devices.size());
}

int CCuda::GetDeviceCount() { return EnumerateCudaDevices(); }

const CCudaDevice& CCuda::GetDevice(int index) {
    DeviceRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    EnsureEnumerated(registry);
    if (index < 0 || index >= static_cast<int>(registry.devices.size())) {
        throw CVyException("CCuda::GetDevice", "device " + std::to_string(index),
                           "no such device (" + std::to_string(registry.devices.size()) + " present)");
    }
    return *registry.devices[static_cast<size_t>(index)];
}

void Vy::ForgetComputeDevices() {
    DeviceRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    for (auto& device : registry.devices) {
        registry.retired.push_back(std::move(device));
    }
    registry.devices.clear();
    registry.enumerated = false;
}
