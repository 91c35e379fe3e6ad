// Test helper: a lit bead placed by where the camera images it.
#pragma once

#include "CCalibration.h"
#include "CameraModel.h"
#include "Scene.h"

namespace Vy::Synth {

// A bead whose image lies at lateral virtual position x and virtual depth v,
// radiusInMicroImage pixels in radius in the micro-images.
inline Particle beadImagedAt(const CCalibration& c, Model::Point x, double v, double radiusInMicroImage) {
    Particle p;
    p.z = Model::distanceFromVirtualDepth(c, v);
    const Model::Point at = Model::sceneFromVirtual(c, x, p.z);
    p.x = at.x;
    p.y = at.y;
    p.radius = radiusInMicroImage * v * c.pixelSize * (p.z / c.mainFocalLength - 1.0);
    p.albedo = 1.0f;
    return p;
}

}  // namespace Vy::Synth
