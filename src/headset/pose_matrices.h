// The matrices poses and projections come as from either runtime, row by row: a rigid pose as
// 3 rows of 4 (rotation, then translation in metres in the last column) and a 4x4 projection.
#pragma once

namespace corvane {

struct PoseMatrix34 {
    float m[3][4] = {};
};

struct Matrix4x4 {
    float m[4][4] = {};
};

} // namespace corvane
