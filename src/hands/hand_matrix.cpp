#include "hands/hand_matrix.h"

#include <cmath>

namespace corvane {

Matrix44 MatrixMultiply(const Matrix44& a, const Matrix44& b) {
    Matrix44 product;
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            float sum = 0.0f;
            for (int i = 0; i < 4; ++i) {
                sum += a.m[row][i] * b.m[i][column];
            }
            product.m[row][column] = sum;
        }
    }
    return product;
}

bool IsFinite(const Matrix44& matrix) {
    for (const auto& row : matrix.m) {
        for (float value : row) {
            if (!std::isfinite(value)) {
                return false;
            }
        }
    }
    return true;
}

Matrix44 Matrix34To44(const PoseMatrix34& pose) {
    Matrix44 result;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            result.m[row][column] = pose.m[row][column];
        }
    }
    return result;
}

Matrix44 Matrix44Copy(const Matrix4x4& matrix) {
    Matrix44 result;
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            result.m[row][column] = matrix.m[row][column];
        }
    }
    return result;
}

Matrix44 Translation(float x, float y, float z) {
    Matrix44 t;
    t.m[0][3] = x;
    t.m[1][3] = y;
    t.m[2][3] = z;
    return t;
}

Matrix44 Scaling(float x, float y, float z) {
    Matrix44 s;
    s.m[0][0] = x;
    s.m[1][1] = y;
    s.m[2][2] = z;
    return s;
}

Matrix44 RotationX(float radians) {
    const float c = std::cos(radians);
    const float s = std::sin(radians);
    Matrix44 r;
    r.m[1][1] = c;
    r.m[1][2] = -s;
    r.m[2][1] = s;
    r.m[2][2] = c;
    return r;
}

Matrix44 RotationY(float radians) {
    const float c = std::cos(radians);
    const float s = std::sin(radians);
    Matrix44 r;
    r.m[0][0] = c;
    r.m[0][2] = s;
    r.m[2][0] = -s;
    r.m[2][2] = c;
    return r;
}

Matrix44 RigidInverse(const Matrix44& pose) {
    Matrix44 view;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            view.m[row][column] = pose.m[column][row];
        }
    }
    for (int row = 0; row < 3; ++row) {
        view.m[row][3] =
            -(view.m[row][0] * pose.m[0][3] + view.m[row][1] * pose.m[1][3] + view.m[row][2] * pose.m[2][3]);
    }
    return view;
}

} // namespace corvane
