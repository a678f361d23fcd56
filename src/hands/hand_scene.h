// What one eye's hand drawing needs, as plain values the presenter fills on the render
// thread, and the arithmetic that turns it into a viewport, a view-projection and the
// boxes of each hand. Render thread, no Direct3D.
#pragma once

#include "hands/hand_geometry.h"
#include "hands/hand_matrix.h"
#include "vr/openvr_abi.h"
#include "vr/tracking_state.h"

#include <cstdint>
#include <span>

namespace corvane {

inline constexpr float kHandNearZ = 0.025f;
inline constexpr float kHandFarZ = 30.0f;

struct HandScene {
    bool headValid = false;
    // The presenter's render poses of this frame, indexed by OpenVR device; [0] is the
    // headset. Usually k_unMaxTrackedDeviceCount entries.
    std::span<const TrackedDevicePose_t> renderPoses;
    ControllerState controllers[2]; // left record, then right record
    // Per eye (0 left, 1 right): IVRSystem::GetEyeToHeadTransform and
    // IVRSystem::GetProjectionMatrix(eye, kHandNearZ, kHandFarZ).
    HmdMatrix34_t eyeToHead[2] = {};
    HmdMatrix44_t projection[2] = {};
    // The eye texture and the part of it that holds the game picture.
    uint32_t textureWidth = 0;
    uint32_t textureHeight = 0;
    float cropUMin = 0.0f;
    float cropUMax = 1.0f;
    float cropVMin = 0.0f;
    float cropVMax = 1.0f;
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

// The part of the eye texture the game picture covers, so the hands line up with it.
HandViewport HandViewportFor(const HandScene& scene);

// projection x view of the eye, the view being the inverse of headset pose x eye-to-head.
// False when the headset pose, the eye-to-head transform or the projection is not finite.
[[nodiscard]] bool EyeViewProjection(const HandScene& scene, int eye, Matrix44& viewProjection);

// The boxes of one controller's hand, or false when that hand is not to be drawn: not
// connected, no valid pose, a device index outside the render poses, or a pose (its own or
// the headset's) that is not finite.
[[nodiscard]] bool PlaceHand(const HandScene& scene, const ControllerState& controller, HandParts& parts);

// The 80 bytes of the hand shader's constant buffer: the model-view-projection row by row,
// then red, green, blue, alpha.
struct HandConstants {
    float modelViewProjection[16];
    float colour[4];
};
static_assert(sizeof(HandConstants) == 80);

HandConstants PackHandConstants(const Matrix44& modelViewProjection, const HandColour& colour);

} // namespace corvane
