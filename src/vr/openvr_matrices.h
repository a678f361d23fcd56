// OpenVR's matrix records as the runtime-neutral ones the hands and the cinema screen draw
// with: the same rows, copied.
#pragma once

#include "headset/pose_matrices.h"
#include "vr/openvr_abi.h"

#include <cstring>

namespace corvane {

template <typename To, typename From> To CopyMatrixRows(const From& from) {
    static_assert(sizeof(To::m) == sizeof(From::m), "the same rows of floats");
    To to;
    std::memcpy(to.m, from.m, sizeof(to.m));
    return to;
}

inline PoseMatrix34 ToPoseMatrix(const HmdMatrix34_t& pose) {
    return CopyMatrixRows<PoseMatrix34>(pose);
}

inline Matrix4x4 ToMatrix4x4(const HmdMatrix44_t& matrix) {
    return CopyMatrixRows<Matrix4x4>(matrix);
}

} // namespace corvane
