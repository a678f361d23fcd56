// Quaternion and matrix helpers for OpenVR poses (x, y, z, w quaternions; 3 x 4 row-major
// matrices with the translation in column 3). Pure functions, any thread.
#pragma once

#include "vr/openvr_abi.h"

namespace corvane {

struct Quaternion {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float w = 1.0f;
};

struct Vector3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

// The rotation part of a pose matrix as a unit quaternion (unscaled when its length is
// below float epsilon).
Quaternion MatrixToQuaternion(const HmdMatrix34_t& m);

// The rotation matrix of a unit quaternion with the position in column 3.
HmdMatrix34_t QuaternionToMatrix(const Quaternion& q, const Vector3& position);

// Scales q to unit length; false (q unchanged) for non-finite or near-zero quaternions.
[[nodiscard]] bool NormalizeQuaternion(Quaternion& q);

// Hamilton product a * b.
Quaternion MultiplyQuaternions(const Quaternion& a, const Quaternion& b);

Quaternion ConjugateQuaternion(const Quaternion& q);

// The translation column of a pose matrix.
Vector3 MatrixTranslation(const HmdMatrix34_t& m);

// A displacement in tracking space expressed in the horizontal frame of a reference
// orientation: x right, y up, z backwards along the reference's heading. Unchanged when the
// reference has no usable heading (looking straight up or down).
Vector3 DisplacementInReferenceHeading(const Vector3& displacement, const Quaternion& reference);

bool IsFinite(const Vector3& v);
bool IsFinite(const HmdMatrix34_t& m);

} // namespace corvane
