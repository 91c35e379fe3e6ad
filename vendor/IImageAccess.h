// Hands out the images the compute engine keeps, by image identifier.
#pragma once

#include <cstdint>

class CVyImage;

class IImageAccess {
public:
    // Copies image id (Vy::EImageId) into target. Throws CVyException for an
    // unknown id or one that was not computed for the current frame.
    virtual void GetImage(uint32_t id, CVyImage& target) = 0;

protected:
    ~IImageAccess() = default;
};
