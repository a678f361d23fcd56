// Direct head look of the first-person camera: the headset's yaw and pitch (relative to the
// reference pose of the tracking epoch) as the camera applies them, the head pose shared by
// both eyes of an AER pair, and the render pose the presenter submits with the eye's picture.
// Called by the final-camera handler on the game thread that computes the camera.
#pragma once

#include "headset/tracking_state.h"

#include <cstdint>

namespace corvane {

// Settings the head look uses, read once by the handler call that asks for it.
struct HeadLookSettings {
    float yawScale = 1.0f;     // HeadYawScale
    float pitchScale = 1.0f;   // HeadPitchScale
    bool pairPoseLock = false; // SpacewarpCompatibleAER and LockHeadPoseAcrossAERPair
    uint32_t firstEye = 1;     // min(AERFirstEye, 1)
};

// Largest scaled head pitch the camera takes: 89 degrees.
inline constexpr float kMaxHeadPitch = 1.553343f;

// Fetches the head pose into `sample`, applies the AER pair pose lock when `lockAllowed`
// (the first eye stores its pose, the second eye of the same tracking epoch reuses it), and
// derives the scaled yaw (positive turns towards the camera's right) and pitch (positive looks
// up, at most 89 degrees either way). False when there is no valid pose or no usable heading.
[[nodiscard]] bool ComputeHeadYawPitch(float& yaw, float& pitch, HeadPoseSample& sample, uint32_t eye,
                                       bool lockAllowed, const HeadLookSettings& settings);

// The pose the camera really rendered: the reference orientation turned by yaw and pitch (no
// roll) at the headset's tracked position, in the sample's epoch. False (pose untouched) when
// the orientation does not normalise.
[[nodiscard]] bool MakeEyeRenderPose(float yaw, float pitch, const HeadPoseSample& sample,
                                     EyeRenderPose& pose) noexcept;

// Forgets that the pair-lock line was written (test programs).
void ResetHeadLookOnceLines() noexcept;

} // namespace corvane
