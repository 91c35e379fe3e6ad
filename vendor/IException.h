// The runtime's exception interface.
#pragma once

namespace Vy::Interop::Runtime31 {

class IException {
public:
    // The message of the failure.
    virtual const char* GetMessage() const noexcept = 0;

protected:
    ~IException() = default;
};

}  // namespace Vy::Interop::Runtime31
