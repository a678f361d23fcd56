// What the OpenXR back end works out between the presenter's frame (raw tangents, texture
// bounds, head matrices, controller records) and OpenXR's records (angles, pixel rectangles,
// eye poses, action states). Pure functions, any thread; no OpenXR header needed.
#pragma once

#include "vr/openvr_abi.h"
#include "vr/pose_math.h"

#include <cstdint>

namespace corvane {

// A view's field as OpenXR gives it: radians, left and down negative.
struct FovAngles {
    float angleLeft = 0.0f;
    float angleRight = 0.0f;
    float angleUp = 0.0f;
    float angleDown = 0.0f;
};

// The presenter's raw tangents (left, right, the downward one, the upward one) of a field, and
// back. The stand-in runtimes and the presenter both read the third tangent as the downward one.
void RawFromFov(const FovAngles& fov, float (&raw)[4]);
FovAngles FovFromRaw(const float (&raw)[4]);

// The projection matrix a runtime hands out for raw tangents: depth 0 at near, 1 at far, the
// eye looking down −z.
HmdMatrix44_t ProjectionFromRaw(const float (&raw)[4], float nearZ, float farZ);

struct PixelRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// What a projection view shows of one eye's texture: the pixels of the `width` × `height` image
// that the texture bounds cover, rounded to whole texels and kept inside the image, and the raw
// tangents of exactly those pixels (`raw` spans the whole bounds). Bounds running backwards cover
// the same pixels, unmirrored: a projection view cannot mirror. False for bounds that are not
// finite or cover no pixel.
[[nodiscard]] bool ViewAreaFromBounds(const VRTextureBounds_t& bounds, const float (&raw)[4], uint32_t width,
                                      uint32_t height, PixelRect& rect, float (&shownRaw)[4]);

// An eye's pose from the head pose it sits on and its offset along the head's x axis. False for
// a head matrix that is not finite or has no rotation.
[[nodiscard]] bool EyePoseFromHead(const HmdMatrix34_t& head, float eyeX, Quaternion& orientation,
                                   Vector3& position);

// The orientation of a level rectangle whose x axis is `right` (horizontal) and whose y axis is up:
// a turn about +y. Identity for a `right` with no horizontal length.
Quaternion LevelOrientationFromRight(const float (&right)[3]);

// A device pose in the presenter's record.
TrackedDevicePose_t DevicePoseFrom(bool valid, const Quaternion& orientation, const Vector3& position);

// One hand's actions as the last sync left them.
struct HandActions {
    bool active = false; // a controller is bound to this hand's actions
    bool primary = false;
    bool menu = false;
    bool stickClick = false;
    float squeeze = 0.0f;
    float trigger = 0.0f;
    float stickX = 0.0f;
    float stickY = 0.0f;
};

// The axes a hand reports: the stick on axis 0, the trigger on axis 1.
inline constexpr uint32_t kBridgeStickAxis = 0;
inline constexpr uint32_t kBridgeTriggerAxis = 1;

// The controller record the presenter reads for a hand: the primary button as A (7), the menu
// button as the application menu (1), the stick click as axis 0's press (32), a squeeze past
// half way as the grip (2); the stick on axis 0, the trigger on axis 1.
VRControllerState_t ControllerStateFromActions(const HandActions& actions, uint32_t packet);

} // namespace corvane
