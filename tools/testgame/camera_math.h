// Camera maths of the stand-in game: a right-handed world with y up, column vectors
// (clip = projection x view x world), matrices stored column-major as the shaders read them.
#pragma once

#include <cstdint>

struct Vec3 {
    float x = 0, y = 0, z = 0;
};

// m[column][row]: the 16 floats in memory order.
struct Mat4 {
    float m[4][4] = {};
};

Mat4 Identity();
Mat4 Multiply(const Mat4& a, const Mat4& b); // a x b
Vec3 Transform(const Mat4& matrix, const Vec3& point, float* w = nullptr);
Mat4 LookAt(const Vec3& eye, const Vec3& target); // fails to identity for degenerate input
// Vertical field of view in 1/65536 turns, width over height, depth 0..1.
Mat4 Perspective(int32_t angle, float aspect, float nearZ, float farZ);
// Pixels (x right, y down) to clip space, for a HUD of width x height pixels.
Mat4 PixelOrtho(float width, float height);
double AngleUnitsToRadians(int32_t angle);
