// OpenVR's matrix records as the runtime-neutral ones the hands and the cinema screen draw
// with: the same rows, copied.
#pragma once

#include "hands/hand_matrix.h"
#include "headset/pose_matrices.h"
#include "vr/openvr_abi.h"

namespace corvane {

inline PoseMatrix34 ToPoseMatrix(const HmdMatrix34_t& pose) {
    PoseMatrix34 result;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            result.m[row][column] = pose.m[row][column];
        }
    }
    return result;
}

inline Matrix4x4 ToMatrix4x4(const HmdMatrix44_t& matrix) {
    Matrix4x4 result;
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            result.m[row][column] = matrix.m[row][column];
        }
    }
    return result;
}

inline HmdMatrix34_t ToHmdMatrix34(const PoseMatrix34& pose) {
    HmdMatrix34_t result{};
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            result.m[row][column] = pose.m[row][column];
        }
    }
    return result;
}

inline HmdMatrix44_t ToHmdMatrix44(const Matrix4x4& matrix) {
    HmdMatrix44_t result{};
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            result.m[row][column] = matrix.m[row][column];
        }
    }
    return result;
}

inline Matrix44 Matrix34To44(const HmdMatrix34_t& pose) {
    return Matrix34To44(ToPoseMatrix(pose));
}

inline Matrix44 Matrix44Copy(const HmdMatrix44_t& matrix) {
    return Matrix44Copy(ToMatrix4x4(matrix));
}

} // namespace corvane
