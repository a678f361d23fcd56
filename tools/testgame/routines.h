// What the stand-in's final camera and projection functions last received (after any detour
// in front of them) and what they built from it. Written and read on the game's main thread.
#pragma once

#include "camera_math.h"

#include <cstdint>

struct ReceivedCamera {
    Vec3 eye;
    Vec3 target;
    uint32_t flags = 0;
    Mat4 view = Identity();
    uint32_t calls = 0;
};

struct ReceivedProjection {
    int32_t angle = 0;
    float aspect = 0;
    float nearZ = 0;
    float farZ = 0;
    Mat4 projection = Identity();
    uint32_t calls = 0;
};

ReceivedCamera& LastCamera();
ReceivedProjection& LastProjection();
