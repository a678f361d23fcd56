// 4x4 single-precision matrices for the hand drawing: stored row by row, column-vector
// convention (translation in the last column). Render thread, pure arithmetic.
#pragma once

namespace corvane {

struct Matrix44 {
    float m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};

// A 3x4 row-major pose (the layout of HmdMatrix34_t).
struct Matrix34 {
    float m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
};

Matrix44 MatrixMultiply(const Matrix44& a, const Matrix44& b);
Matrix44 Matrix34To44(const Matrix34& pose);
Matrix44 Matrix44Copy(const float (&m)[4][4]);

Matrix44 Translation(float x, float y, float z);
Matrix44 Scaling(float x, float y, float z);
Matrix44 RotationX(float radians);
Matrix44 RotationY(float radians);

// Inverse of a rotation-plus-translation matrix: the view matrix of a camera pose.
Matrix44 RigidInverse(const Matrix44& pose);

} // namespace corvane
