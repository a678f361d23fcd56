// The head pose submitted with the right eye's texture carries the live right-picture roll.
// Render thread (presenter), pure arithmetic.
#pragma once

#include "vr/openvr_abi.h"
#include "vr/tracking_state.h"

namespace corvane {

// The head pose a picture was rendered with as a tracking-space matrix; false for a record
// that is empty, has no epoch, a non-finite position or an orientation that cannot be
// normalised.
[[nodiscard]] bool PoseToMatrix(const EyeRenderPose& pose, HmdMatrix34_t& matrix);

// Rolls a 3x4 row-major pose about its own forward axis: columns 0 and 1 turn by the
// angle, column 2 and the translation stay. Rolls below 1e-7 degrees change nothing.
void ApplyRightEyeRoll(float (&pose)[3][4], float rollDegrees);

} // namespace corvane
