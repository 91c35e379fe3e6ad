// Runtime-internal access to the device list behind CCuda, so that
// COmbraRuntime::End can drop it.
#pragma once

namespace Vy {

// Forgets the enumerated devices; the next CCuda call enumerates again.
void ForgetComputeDevices();

}  // namespace Vy
