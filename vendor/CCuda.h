// The compute devices of this machine. Without a CUDA device the host CPU is
// listed as device 0 and does the work.
#pragma once

#include <cstdint>

#include "CParameterSet.h"

class CCudaDevice {
public:
    // Params::ECudaDevice: 1 name, 20 clock (MHz), 5 memory (MB).
    const CParameterSet& GetParams() const { return params_; }
    int GetIndex() const { return index_; }
    bool IsCpu() const { return isCpu_; }

    // Runtime side.
    CCudaDevice(int index, bool isCpu, CParameterSet params)
        : index_(index), isCpu_(isCpu), params_(std::move(params)) {}

private:
    int index_;
    bool isCpu_;
    CParameterSet params_;
};

class CCuda {
public:
    // Finds the devices; returns how many there are. Safe to call again.
    static int EnumerateCudaDevices();
    static int GetDeviceCount();
    // Throws CVyException for an index out of range.
    static const CCudaDevice& GetDevice(int index);
};
