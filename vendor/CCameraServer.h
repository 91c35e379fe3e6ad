// Live camera access. Replay needs no camera: this holds no device and is
// kept only so that a run owns the same runtime objects as a live session.
#pragma once

class CCameraServer {
public:
    int GetCameraCount() const { return 0; }
};
