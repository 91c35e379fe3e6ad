#include "COmbraRuntime.h"

#include "DeviceList.h"

void COmbraRuntime::End() { Vy::ForgetComputeDevices(); }
