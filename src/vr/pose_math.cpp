#include "vr/pose_math.h"

#include <cmath>

namespace corvane {
namespace {

constexpr float kFloatEpsilon = 1.1920929e-7f;
constexpr float kMinimumSquaredLength = 1e-8f;

} // namespace

Quaternion MatrixToQuaternion(const HmdMatrix34_t& matrix) {
    const auto& m = matrix.m;
    const float trace = m[0][0] + m[1][1] + m[2][2];
    Quaternion q;
    if (trace > 0.0f) {
        const float s = 2.0f * std::sqrt(trace + 1.0f);
        q = {(m[2][1] - m[1][2]) / s, (m[0][2] - m[2][0]) / s, (m[1][0] - m[0][1]) / s, s / 4.0f};
    } else if (m[0][0] > m[1][1] && m[0][0] > m[2][2]) {
        const float s = 2.0f * std::sqrt(1.0f + m[0][0] - m[1][1] - m[2][2]);
        q = {s / 4.0f, (m[0][1] + m[1][0]) / s, (m[0][2] + m[2][0]) / s, (m[2][1] - m[1][2]) / s};
    } else if (m[1][1] > m[2][2]) {
        const float s = 2.0f * std::sqrt(1.0f + m[1][1] - m[0][0] - m[2][2]);
        q = {(m[0][1] + m[1][0]) / s, s / 4.0f, (m[1][2] + m[2][1]) / s, (m[0][2] - m[2][0]) / s};
    } else {
        const float s = 2.0f * std::sqrt(1.0f + m[2][2] - m[0][0] - m[1][1]);
        q = {(m[0][2] + m[2][0]) / s, (m[1][2] + m[2][1]) / s, s / 4.0f, (m[1][0] - m[0][1]) / s};
    }
    const float length = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    if (length > kFloatEpsilon) {
        q = {q.x / length, q.y / length, q.z / length, q.w / length};
    }
    return q;
}

HmdMatrix34_t QuaternionToMatrix(const Quaternion& q, const Vector3& position) {
    const float x = q.x;
    const float y = q.y;
    const float z = q.z;
    const float w = q.w;
    HmdMatrix34_t m{};
    m.m[0][0] = 1.0f - 2.0f * (y * y + z * z);
    m.m[0][1] = 2.0f * (x * y - w * z);
    m.m[0][2] = 2.0f * (x * z + w * y);
    m.m[0][3] = position.x;
    m.m[1][0] = 2.0f * (x * y + w * z);
    m.m[1][1] = 1.0f - 2.0f * (x * x + z * z);
    m.m[1][2] = 2.0f * (y * z - w * x);
    m.m[1][3] = position.y;
    m.m[2][0] = 2.0f * (x * z - w * y);
    m.m[2][1] = 2.0f * (y * z + w * x);
    m.m[2][2] = 1.0f - 2.0f * (x * x + y * y);
    m.m[2][3] = position.z;
    return m;
}

bool NormalizeQuaternion(Quaternion& q) {
    if (!std::isfinite(q.x) || !std::isfinite(q.y) || !std::isfinite(q.z) || !std::isfinite(q.w)) {
        return false;
    }
    const float squared = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    if (!std::isfinite(squared) || squared < kMinimumSquaredLength) {
        return false;
    }
    const float scale = 1.0f / std::sqrt(squared);
    q = {q.x * scale, q.y * scale, q.z * scale, q.w * scale};
    return true;
}

Quaternion MultiplyQuaternions(const Quaternion& a, const Quaternion& b) {
    return {a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}

Quaternion ConjugateQuaternion(const Quaternion& q) {
    return {-q.x, -q.y, -q.z, q.w};
}

Vector3 MatrixTranslation(const HmdMatrix34_t& m) {
    return {m.m[0][3], m.m[1][3], m.m[2][3]};
}

Vector3 DisplacementInReferenceHeading(const Vector3& d, const Quaternion& r) {
    // Minus the third column of the reference rotation, flattened: where the reference looks.
    const float forwardX = -2.0f * (r.x * r.z + r.y * r.w);
    const float forwardZ = -(1.0f - 2.0f * (r.x * r.x + r.y * r.y));
    const float squared = forwardX * forwardX + forwardZ * forwardZ;
    if (!std::isfinite(squared) || squared < kMinimumSquaredLength) {
        return d;
    }
    const float length = std::sqrt(squared);
    const float c = forwardZ / length;
    const float s = forwardX / length;
    return {s * d.z - c * d.x, d.y, -s * d.x - c * d.z};
}

bool IsFinite(const Vector3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

bool IsFinite(const HmdMatrix34_t& m) {
    for (const auto& row : m.m) {
        for (const float value : row) {
            if (!std::isfinite(value)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace corvane
