// The head pose an eye texture is submitted with: the picture's render pose when it belongs to
// the current tracking epoch, and for the right eye the live right-picture roll on top. The
// hands drawn into the texture are seen from the same pose. Render thread (presenter), pure
// arithmetic.
#pragma once

#include "vr/openvr_abi.h"
#include "headset/tracking_state.h"

#include <cstdint>

namespace corvane {

// The head pose a picture was rendered with as a tracking-space matrix; false for a record
// that is empty, has no epoch, a non-finite position or an orientation that cannot be
// normalised.
[[nodiscard]] bool PoseToMatrix(const EyeRenderPose& pose, HmdMatrix34_t& matrix);

// Rolls a 3x4 row-major pose about its own forward axis: columns 0 and 1 turn by the
// angle, column 2 and the translation stay. Rolls below 1e-7 degrees change nothing.
void ApplyRightEyeRoll(float (&pose)[3][4], float rollDegrees);

// The matrix submitted with an eye texture whose picture carries `pose`: false when the
// texture goes without one (no usable pose, or one of another tracking epoch than
// `currentEpoch`, which is 0 while there is no head sample). Eye 1 gets the right roll.
[[nodiscard]] bool SubmittedHeadPose(const EyeRenderPose& pose, uint64_t currentEpoch, uint32_t eye,
                                     float rightRollDegrees, HmdMatrix34_t& matrix);

} // namespace corvane
