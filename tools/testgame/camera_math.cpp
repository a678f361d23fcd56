#include "camera_math.h"

#include <cmath>

Mat4 Identity() {
    Mat4 r;
    for (int i = 0; i < 4; ++i) {
        r.m[i][i] = 1.0f;
    }
    return r;
}

Mat4 Multiply(const Mat4& a, const Mat4& b) {
    Mat4 r;
    for (int c = 0; c < 4; ++c) {
        for (int row = 0; row < 4; ++row) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k) {
                sum += a.m[k][row] * b.m[c][k];
            }
            r.m[c][row] = sum;
        }
    }
    return r;
}

Vec3 Transform(const Mat4& matrix, const Vec3& p, float* w) {
    float out[4];
    for (int row = 0; row < 4; ++row) {
        out[row] =
            matrix.m[0][row] * p.x + matrix.m[1][row] * p.y + matrix.m[2][row] * p.z + matrix.m[3][row];
    }
    if (w != nullptr) {
        *w = out[3];
    }
    return {out[0], out[1], out[2]};
}

namespace {
Vec3 Sub(const Vec3& a, const Vec3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec3 Cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float Dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
bool Normalise(Vec3& v) {
    const float length = std::sqrt(Dot(v, v));
    if (!(length > 1e-6f) || !std::isfinite(length)) {
        return false;
    }
    v = {v.x / length, v.y / length, v.z / length};
    return true;
}
} // namespace

Mat4 LookAt(const Vec3& eye, const Vec3& target) {
    Vec3 back = Sub(eye, target); // the camera looks down its own -z
    Vec3 right = Cross({0, 1, 0}, back);
    if (!Normalise(back) || !Normalise(right)) {
        return Identity();
    }
    const Vec3 up = Cross(back, right);
    Mat4 r = Identity();
    const Vec3 axes[3] = {right, up, back};
    for (int row = 0; row < 3; ++row) {
        r.m[0][row] = axes[row].x;
        r.m[1][row] = axes[row].y;
        r.m[2][row] = axes[row].z;
        r.m[3][row] = -Dot(axes[row], eye);
    }
    return r;
}

double AngleUnitsToRadians(int32_t angle) {
    return static_cast<double>(angle & 0xFFFF) * 2.0 * 3.14159265358979323846 / 65536.0;
}

Mat4 Perspective(int32_t angle, float aspect, float nearZ, float farZ) {
    const double tanY = std::tan(AngleUnitsToRadians(angle) / 2.0);
    Mat4 r;
    r.m[0][0] = static_cast<float>(1.0 / (tanY * aspect));
    r.m[1][1] = static_cast<float>(1.0 / tanY);
    r.m[2][2] = farZ / (nearZ - farZ);
    r.m[2][3] = -1.0f;
    r.m[3][2] = nearZ * farZ / (nearZ - farZ);
    return r;
}

Mat4 PixelOrtho(float width, float height) {
    Mat4 r = Identity();
    r.m[0][0] = 2.0f / width;
    r.m[1][1] = -2.0f / height;
    r.m[2][2] = 0.5f;
    r.m[3][0] = -1.0f;
    r.m[3][1] = 1.0f;
    r.m[3][2] = 0.5f;
    return r;
}
