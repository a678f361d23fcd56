// What one eye's hand drawing needs, as plain values the presenter fills on the render
// thread, and the arithmetic that turns it into a viewport, a view-projection and the
// boxes of each hand. Render thread, no Direct3D.
#pragma once

#include "hands/hand_geometry.h"
#include "hands/hand_matrix.h"
#include "headset/pose_matrices.h"
#include "headset/tracking_state.h"

#include <cstdint>
#include <span>

namespace corvane {

inline constexpr float kHandNearZ = 0.025f;
inline constexpr float kHandFarZ = 30.0f;

struct HandScene {
    bool headValid = false;
    // The presenter's render poses of this frame, device to tracking space, indexed by tracked
    // device; [0] is the headset.
    std::span<const PoseMatrix34> renderPoses;
    ControllerState controllers[2]; // left record, then right record
    // The head pose the eye texture is submitted with, when it goes with one. Without it the
    // compositor takes the picture as seen from this frame's headset pose (renderPoses[0]),
    // and so do the hands.
    bool hasSubmittedHeadPose = false;
    PoseMatrix34 submittedHeadPose = {};
    // Per eye (0 left, 1 right): the eye-to-head transform and the eye's projection for depths
    // kHandNearZ to kHandFarZ.
    PoseMatrix34 eyeToHead[2] = {};
    Matrix4x4 projection[2] = {};
    // The eye texture and the part of it the hands are drawn into: the bounds it is submitted
    // with, which the compositor spreads over the eye's field.
    uint32_t textureWidth = 0;
    uint32_t textureHeight = 0;
    float areaUMin = 0.0f;
    float areaUMax = 1.0f;
    float areaVMin = 0.0f;
    float areaVMax = 1.0f;
    // Settings.
    bool visibleHands = false;
    float worldScale = 1.0f;
    float handScale = 1.0f;
};

struct HandViewport {
    float topLeftX = 0.0f;
    float topLeftY = 0.0f;
    float width = 0.0f;
    float height = 0.0f;
};

// The scene's hand area in texels.
HandViewport HandViewportFor(const HandScene& scene);

// projection x view of the eye, the view being the inverse of head pose x eye-to-head, with
// the head pose the texture is submitted with (or, without one, the headset's pose). False
// when that pose, the eye-to-head transform or the projection is not finite.
[[nodiscard]] bool EyeViewProjection(const HandScene& scene, int eye, Matrix44& viewProjection);

// The boxes of one controller's hand, or false when that hand is not to be drawn: not
// connected, no valid pose, a device index outside the render poses, or a pose (its own or
// the headset's) that is not finite.
[[nodiscard]] bool PlaceHand(const HandScene& scene, const ControllerState& controller, HandParts& parts);

} // namespace corvane
