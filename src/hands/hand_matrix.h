// 4x4 single-precision matrices for the hand drawing: stored row by row, column-vector
// convention (translation in the last column). Render thread, pure arithmetic.
#pragma once

#include "headset/pose_matrices.h"

namespace corvane {

struct Matrix44 {
    float m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};

Matrix44 MatrixMultiply(const Matrix44& a, const Matrix44& b);
// Every element finite.
bool IsFinite(const Matrix44& matrix);
// A pose with the row (0, 0, 0, 1) appended; a 4x4 matrix as it is.
Matrix44 Matrix34To44(const PoseMatrix34& pose);
Matrix44 Matrix44Copy(const Matrix4x4& matrix);

Matrix44 Translation(float x, float y, float z);
Matrix44 Scaling(float x, float y, float z);
Matrix44 RotationX(float radians);
Matrix44 RotationY(float radians);

// Inverse of a rotation-plus-translation matrix: the view matrix of a camera pose.
Matrix44 RigidInverse(const Matrix44& pose);

} // namespace corvane
